// Fuzz target of the start-up reading path: the input is a small study folder, written into
// a scratch folder and read by every reader of start-up in the run's order, up to the last
// check before the run is prepared (no analysis runs, no interpreter starts, nothing is
// backed up). A definition error ends the reading through the run's orderly refusal
// (RunExit), which is an answer like any other; a crash, a sanitizer report, a leak or a
// hang is a fault.
//
// Input framing: the files of the folder one after another, each opened by a line
//   ==> NAME <==
// (the form in which `head` prints several files) and holding the bytes up to the next such
// line. NAME is a path inside the folder: names of letters, digits, "_", "-" and "." (not
// starting with ".") joined by "/", such as "extraction/mass.def"; the study file is
// "study.in". Bytes before the first such line and files of other names are left out. An
// empty "study.in" stands in when the input has none.
#include <sanitizer/lsan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "base/file_handle.h"
#include "base/run_exit.h"
#include "definitions/method_settings.h"
#include "driver/driver.h"
#include "driver/method_table.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"

namespace karvo::fuzzing {
namespace {

constexpr std::size_t kMaxFiles = 16;
constexpr std::size_t kMaxNameLength = 64;
constexpr std::string_view kHeadOpen = "==> ";
constexpr std::string_view kHeadClose = " <==";

// The file name of a framing line, or "" when the line is none.
std::string framedName(std::string_view line) {
  if (line.size() <= kHeadOpen.size() + kHeadClose.size() || !line.starts_with(kHeadOpen) ||
      !line.ends_with(kHeadClose)) {
    return "";
  }
  std::string_view name =
      line.substr(kHeadOpen.size(), line.size() - kHeadOpen.size() - kHeadClose.size());
  if (name.size() > kMaxNameLength) return "";
  bool startOfPart = true;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
    if (c == '/' ? startOfPart || i + 1 == name.size() : !plain || (startOfPart && c == '.')) {
      return "";
    }
    startOfPart = c == '/';
  }
  return std::string(name);
}

// The files of the input by name (a later file of the same name replaces an earlier one).
std::map<std::string, std::string> splitFiles(std::string_view bytes) {
  std::map<std::string, std::string> files;
  std::string* current = nullptr;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t newline = bytes.find('\n', start);
    const std::size_t end = newline == std::string_view::npos ? bytes.size() : newline;
    const std::size_t next = newline == std::string_view::npos ? end : end + 1;
    const std::string_view line = bytes.substr(start, next - start);  // with its newline
    const std::string name = framedName(bytes.substr(start, end - start));
    if (!name.empty()) {
      current = nullptr;
      if (files.count(name) || files.size() < kMaxFiles) {
        current = &files[name];
        current->clear();
      }
    } else if (current) {
      current->append(line);
    }
    start = next;
  }
  return files;
}

void writeFiles(const std::map<std::string, std::string>& files) {
  for (const auto& [name, content] : files) {
    const std::string path = scratchFolder() + "/" + name;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::FILE* file = std::fopen(path.c_str(), "wb");  // fails when a folder has the name
    if (!file) continue;
    if (std::fwrite(content.data(), 1, content.size(), file) != content.size()) std::abort();
    std::fclose(file);
  }
}

// The start-up reading of an i= run (the run driver's own readStudyFolder), then the checks
// of runStudy and prepareRun that need no file system: the study checks and the completion of
// each agent's method settings.
void readAndCheckStudy() {
  karvo::readStudyFolder();
  checkProcessConsistency();
  checkRepresentationResolutions();
  prepareDependentVariables();
  if (run.startAgent > run.finalAgent || run.finalAgent > static_cast<int>(agents.size())) {
    fatalError("startpopnum or finishpopnum improper.");
  }
  for (Agent& agent : agents) {
    if (!agent.haveStudyRecord) continue;
    MethodRunFacts facts;
    facts.agentNumber = agent.number;
    facts.studyName = study.name;
    if (const Representation* representation = findRepresentation(agent.representation)) {
      facts.designVariables = representation->num_dvar;
      for (const VariableSlot& slot : representation->slots) {
        if (slot.kind == kSlotContinuous) ++facts.continuousVariables;
      }
    }
    facts.batchSize = std::max(1, study.nParallel);
    completeMethodSettings(facts, agent.method, methodTable());
  }
}

}  // namespace
}  // namespace karvo::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace karvo::fuzzing;
  openNullMessageFile();
  // A run has it set; the reader of compute resources names folders of the installation
  // after it.
  setenv("KARVO_ROOT", scratchFolder().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace karvo;
  using namespace karvo::fuzzing;
  std::map<std::string, std::string> files =
      splitFiles(std::string_view(reinterpret_cast<const char*>(data), size));
  files.try_emplace("study.in");
  emptyScratchFolder();
  writeFiles(files);

  resetStudyState();
  const std::string& folder = scratchFolder();
  run.workingDirectory = folder;
  run.settings.inputFileMode = 1;
  run.studyInputPath = folder + "/study.in";
  run.studyInputWork = run.studyInputPath;
  run.studyName = folder + "/study";
  run.messageFileName = folder + "/study.mes";
  run.studyFile = openFile(run.studyInputPath, "r");
  if (!run.studyFile) std::abort();
  // By the rules of tracked allocation, memory allocated while tracking is off and freed
  // after the run option "turnOnMemManagement" has switched it on is reported and kept, not
  // released: such an input leaks by design, so its allocations stay out of the leak check.
  const bool tracksMidway = std::string_view(reinterpret_cast<const char*>(data), size)
                                .find("turnOnMemManagement") != std::string_view::npos;
  if (tracksMidway) __lsan_disable();
  try {
    readAndCheckStudy();
  } catch (const RunExit& exit) {
    if (exit.code != kExitFatal) std::abort();
  }
  if (tracksMidway) __lsan_enable();
  if (run.studyFile) closeFile(run.studyFile);
  run.studyFile = nullptr;
  // The lock files of the agent records; a run prefix with a "/" may have put them outside
  // the scratch folder.
  for (const std::string& lock : workingDirectoryState.lockFiles) platform::removeFile(lock);
  resetStudyState();
  return 0;
}
