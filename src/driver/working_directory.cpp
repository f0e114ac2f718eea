// Working directory, lock files, earlier results and environment. Runs at start-up and at
// the controlled ends of a run; every file operation is done in-process and the clean-up
// ones are recorded in the study folder's clean-up log.
#include "driver/working_directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "definitions/study.h"
#include "driver/driver.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "evaluation/app_access.h"
#include "external/extension_manager.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace karvo {

// ---------------------------------------------------------------------------------------
// Environment

// KARVO_ROOT names the installation folder: the solver looks there for a bundled Python3
// folder, the extension environment is made from it, its parent "solver" folder leaves PATH
// for the analyses, and remote machine profiles take their job controller templates and
// Python command from it. When it is not set, the folder that holds the running karvo is
// that folder; it is exported, so that every later reader and the analyses see the same one.
void checkEnvironment() {
  if (!platform::hasEnv("KARVO_ROOT")) {
    const std::string folder = platform::executableFolder();
    if (folder.empty() || !platform::setEnv("KARVO_ROOT", folder)) {
      fatalError("The required environment variable KARVO_ROOT is not set.");
    }
    writeMessage("outptr", "note",
                 formatText("KARVO_ROOT was not set. Going to use the folder that holds the "
                            "running karvo, %s, as the installation folder.",
                            folder.c_str()));
  }
  WorkingDirectoryState& s = workingDirectoryState;
  s.installationRoot = platform::getEnv("KARVO_ROOT");
  if (platform::hasEnv("KARVO_PYTHON_PATH")) {
    s.pythonHome = platform::getEnv("KARVO_PYTHON_PATH");
  } else {
    writeMessage("outptr", "note",
                 "KARVO_PYTHON_PATH was not set. Going to use Python from the KARVO installed "
                 "Python3 folder.");
    s.pythonHome.clear();
    for (const char* relative : {"/../../Python3", "/../../../Python3"}) {
      std::string candidate = s.installationRoot + relative;
      if (platform::isRegularFile(candidate + "/README.txt")) {
        s.pythonHome = candidate;
        break;
      }
    }
    if (s.pythonHome.empty()) {
      writeMessage("outptr", "note",
                   "No Python3 folder was found at the same level as the platform folder or 1 "
                   "level above it. The system's own Python 3 will be used for formulas.");
    }
  }
  std::string error;
  if (!ExtensionManager::instance(applicationAccess(), &error)) {
    writeMessage("outptr|stderr", "error", "The extension environment could not be created: " + error + ".");
    fatalError("environment setup error");
  }
  s.environmentChecked = true;
}

// ---------------------------------------------------------------------------------------
// Clean-up

namespace {

constexpr const char* kCleanupLog = "StudyDirectoryCleanupLog.log";
const char* const kAgentResultExtensions[] = {".plot", ".dat", ".res", ".gph",     ".ckp",
                                              ".mem",  ".rpt", ".hst", ".hst.sum", ".pto"};
// The model words of the files of a study's response surfaces: the four default models and
// the polynomial term sets a `surfaceType` may request.
const char* const kSurfaceWords[] = {"Linear",         "Quadratic",         "Kriging",
                                     "RadialBasisFunction", "SquareTermsOnly", "CubicTermsOnly",
                                     "Bilinear",       "LinAndSq",          "LinAndCubic",
                                     "LinWithSqAndCubic", "BilinearWithCubic", "QuadWithCubic"};

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

void logCleanup(const std::string& line) {
  std::string name = platform::joinPath(run.workingDirectory, kCleanupLog);
  if (std::FILE* log = std::fopen(name.c_str(), "a")) {
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool startsWith(const std::string& text, const std::string& head) {
  return text.compare(0, head.size(), head) == 0;
}

// Result files of design-of-experiments, robustness and response-surface studies of `agent`
// in the working directory: "DOE_<agent>_*.out", "RandR_<agent>_*.out" and the model files
// "<response>-<model word>-<agent>.mdl/.err" (also "-means-" and "-SNratio-" models).
std::vector<std::string> studyOutputFiles(int agent, bool modelFilesOnly) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(run.workingDirectory, ec)) {
    if (!entry.is_regular_file(ec)) continue;
    std::string name = entry.path().filename().string();
    bool match = false;
    if (!modelFilesOnly) {
      for (const char* label : {"DOE", "RandR"}) {
        if (startsWith(name, formatText("%s_%d_", label, agent)) && endsWith(name, ".out")) {
          match = true;
        }
      }
    }
    for (const char* word : kSurfaceWords) {
      for (const char* ext : {".mdl", ".err"}) {
        if (endsWith(name, formatText("-%s-%d%s", word, agent, ext))) match = true;
      }
    }
    if (match) found.push_back(entry.path().string());
  }
  return found;
}

// Everything an earlier run of `agent` may have left: folders first, then files. An
// evaluation folder that holds anything but the design folders the solver makes in it
// ("Design<number>") is the user's: only those design folders are taken (`designsOf` names
// the folder they are in), and the folder with the rest of what it holds stays.
struct EarlierResults {
  std::vector<std::string> folders;
  std::vector<std::string> files;
  std::string designsOf;
  std::vector<std::string> designFolders;
};

bool isDesignFolderName(const std::string& name) {
  if (!startsWith(name, "Design") || name.size() == 6) return false;
  return name.find_first_not_of("0123456789", 6) == std::string::npos;
}

void addEvaluationFolder(const std::string& folder, EarlierResults& results) {
  std::vector<std::string> designs;
  bool others = false;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (isDesignFolderName(name) && entry.is_directory(ec)) {
      designs.push_back(entry.path().string());
    } else {
      others = true;
    }
  }
  if (!others) {
    results.folders.push_back(folder);
    return;
  }
  std::sort(designs.begin(), designs.end());
  results.designsOf = folder;
  results.designFolders = std::move(designs);
}

EarlierResults earlierResults(const Agent& agent, bool includeEvaluationFolder,
                            const std::vector<const char*>& extensions) {
  EarlierResults results;
  if (includeEvaluationFolder && !agent.evaluationFolder.empty() &&
      platform::isDirectory(agent.evaluationFolder)) {
    addEvaluationFolder(agent.evaluationFolder, results);
  }
  for (const char* ext : extensions) {
    std::string name = agentFileName(agent.number, ext);
    if (platform::pathExists(name)) results.files.push_back(name);
  }
  for (const std::string& name : studyOutputFiles(agent.number, false)) results.files.push_back(name);
  return results;
}

std::vector<Agent*> agentsInRange() {
  std::vector<Agent*> inRange;
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    if (Agent* agent = findAgent(number)) inRange.push_back(agent);
  }
  return inRange;
}

}  // namespace

bool runCleanupCommand(CleanupAction action, const std::string& source,
                       const std::string& target) {
  std::string error;
  bool ok = false;
  std::string line;
  switch (action) {
    case CleanupAction::Move:
      line = "mv -f " + quoted(source) + " " + quoted(target + "/.");
      ok = platform::movePath(source, target, &error);
      break;
    case CleanupAction::Copy:
      line = "cp -rf " + quoted(source) + " " + quoted(target + "/.");
      ok = platform::copyFile(source, target, &error);
      break;
    case CleanupAction::Remove:
      line = "rm -f " + quoted(source);
      ok = platform::removeFile(source, &error);
      break;
    case CleanupAction::RemoveTree:
      line = "rm -rf " + quoted(source);
      ok = platform::removeTree(source, &error);
      break;
  }
  if (!ok) line += "    # failed: " + error;
  logCleanup(line);
  if (!ok) {
    writeMessage("outptr", "warning",
                 formatText("The clean-up of an earlier run's results failed for \"%s\": %s",
                            source.c_str(), error.c_str()));
  }
  return ok;
}

void deletePreviousResults() {
  static const std::vector<const char*> extensions = {".gph", ".plot", ".dat",     ".ckp",
                                                      ".mem", ".hst",  ".hst.sum", ".pto"};
  for (Agent* agent : agentsInRange()) {
    EarlierResults results = earlierResults(*agent, true, extensions);
    for (const std::string& file : results.files) runCleanupCommand(CleanupAction::Remove, file);
    for (const std::string& folder : results.folders) {
      runCleanupCommand(CleanupAction::RemoveTree, folder);
    }
    for (const std::string& folder : results.designFolders) {
      runCleanupCommand(CleanupAction::RemoveTree, folder);
    }
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(run.workingDirectory, ec)) {
    std::string name = entry.path().filename().string();
    if (name == "check_status_junk" || startsWith(name, "check_output_")) {
      runCleanupCommand(CleanupAction::Remove, entry.path().string());
    }
  }
}


void checkBackupFolderPlace() {
  if (!run.settings.backupDirGiven) return;
  const std::string& folder = run.settings.backupDir;
  for (Agent* agent : agentsInRange()) {
    const std::string& evaluation = agent->evaluationFolder;
    if (evaluation.empty()) continue;
    if (platform::folderContains(folder, evaluation) ||
        platform::folderContains(evaluation, folder)) {
      fatalError(formatText("The backup folder (%s) is the evaluation folder of agent %d (%s), "
                            "holds it or lies inside it. Earlier results would be moved into "
                            "themselves. Give backupDir= a folder of its own.",
                            folder.c_str(), agent->number, evaluation.c_str()));
    }
  }
}

namespace {

// Moves or copies (`action`) what earlier runs of the agents in range left into the backup
// folder, their evaluation folders too when `evaluationFolders`.
void backupEarlierResults(bool evaluationFolders, CleanupAction action) {
  std::vector<const char*> extensions(std::begin(kAgentResultExtensions),
                                      std::end(kAgentResultExtensions));
  std::vector<EarlierResults> all;
  bool present = false;
  for (Agent* agent : agentsInRange()) {
    all.push_back(earlierResults(*agent, evaluationFolders, extensions));
    present = present || !all.back().files.empty() || !all.back().folders.empty() ||
              !all.back().designFolders.empty();
  }
  if (!present) return;

  std::string folder;
  if (run.settings.backupDirGiven || run.settings.backupDir != "Initialized") {
    folder = run.settings.backupDir;
  }
  if (folder.empty() || !platform::isDirectory(folder)) {
    if (folder.empty()) {
      folder = newBackupFolderName(run.startAgent, run.finalAgent);
    }
    if (!platform::makeDirectories(folder)) {
      fatalError(formatText("Error in creating the backup folder: %s.\nMake sure the working "
                            "directory is not write protected and run again.",
                            folder.c_str()));
    }
    run.settings.backupDir = folder;
  }
  for (const EarlierResults& results : all) {
    for (const std::string& item : results.folders) runCleanupCommand(action, item, folder);
    if (!results.designFolders.empty()) {
      // The design folders go to a folder of the evaluation folder's name, as if it had
      // been moved whole.
      const std::string into =
          platform::joinPath(folder, fs::path(results.designsOf).filename().string());
      if (!platform::makeDirectories(into)) {
        fatalError(formatText("Error in creating the backup folder: %s.\nMake sure the working "
                              "directory is not write protected and run again.",
                              into.c_str()));
      }
      for (const std::string& item : results.designFolders) runCleanupCommand(action, item, into);
    }
    for (const std::string& item : results.files) runCleanupCommand(action, item, folder);
  }
}

}  // namespace

void backupPreviousResults() {
  if (run.settings.postNoEval) return;
  const bool extending = study.extending != 0;
  const bool keepEvaluationFolders =
      (study.resume != 0 || extending) && !run.settings.backupDirGiven;
  // A run that goes on from these results (extended or resumed) reads its history and
  // checkpoint files from the working directory, and a run that reads designs' results from
  // disk reads them from the evaluation folders: they are copied, not moved.
  const bool copy = extending || study.resume != 0 || study.options.readDesignResultsFromDisk;
  backupEarlierResults(!keepEvaluationFolders, copy ? CleanupAction::Copy : CleanupAction::Move);
}

// A post-processing run reads the designs' results from the evaluation folders and rewrites
// the reports and the design-of-experiments, robustness and response-surface outputs: the
// earlier ones are copied into the backup folder first. The history and the evaluation
// folders stay where they are, unchanged (the run neither writes the history nor any file of
// a design folder).
void preparePostOnly() {
  run.settings.historyDisabled = 1;
  backupEarlierResults(false, CleanupAction::Copy);
}

// ---------------------------------------------------------------------------------------
// PATH

std::string pathWithoutSolverFolder(const std::string& path, const std::string& root,
                                    bool* changed) {
  if (changed) *changed = false;
  if (root.size() <= 9) return path;
  // "solver" must begin between 9 and 4 characters before the end of the root.
  std::size_t solverAt = std::string::npos;
  for (std::size_t pos = root.size() - 9; pos <= root.size() - 4; ++pos) {
    if (root.compare(pos, 6, "solver") == 0) {
      solverAt = pos;
      break;
    }
  }
  if (solverAt == std::string::npos || solverAt == 0) return path;
  const std::string folder = root.substr(0, solverAt - 1);
  std::string rebuilt;
  bool first = true;
  bool removed = false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string entry = path.substr(start, end - start);
    if (entry == folder) {
      removed = true;
    } else {
      if (!first) rebuilt += ':';
      rebuilt += entry;
      first = false;
    }
    start = end + 1;
  }
  if (!removed) return path;
  if (changed) *changed = true;
  return rebuilt;
}

void removeSolverFolderFromPath() {
  if (!platform::hasEnv("KARVO_ROOT")) return;
  const std::string root = platform::getEnv("KARVO_ROOT");
  for (const char* variable : {"PATH", "LD_LIBRARY_PATH"}) {
    if (!platform::hasEnv(variable)) continue;
    const std::string value = platform::getEnv(variable);
    if (run.settings.verbose) {
      writeMessage("outptr", "none", formatText("Getting environment variable value for %s", variable));
      writeMessage("outptr", "none", "PATH (LD_LIBRARY_PATH on Linux) variable value before update:");
      writeMessage("outptr", "none", value);
    }
    bool changed = false;
    std::string updated = pathWithoutSolverFolder(value, root, &changed);
    if (changed && !platform::setEnv(variable, updated)) {
      writeMessage("outptr", "warning",
                   "Could not update the path environment variable to remove the MDO path");
    }
    if (run.settings.verbose) {
      writeMessage("outptr", "none", "PATH (LD_LIBRARY_PATH on Linux) variable value after update:");
      writeMessage("outptr", "none", changed ? updated : value);
    }
  }
}

}  // namespace karvo
