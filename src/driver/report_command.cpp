// karvo report: writes the study's page (results/run_page.h) from the files a run left, as
// the run writes it at its end. It reads results only; a run may go on in the same folder.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/run_files.h"
#include "base/run_state.h"
#include "definitions/study.h"
#include "driver/study_tools.h"
#include "evaluation/agent_results.h"
#include "evaluation/history_file.h"
#include "platform/platform.h"
#include "results/run_page.h"

namespace karvo {

namespace {

namespace fs = std::filesystem;

constexpr const char* kReportUsage =
    "Usage: karvo report <study file> [--out <file>]\n"
    "Writes the study's page (default: <study>.html in the study's folder) from its results.\n";

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The agent's state as its files tell it: the exit state its report closed with; "running"
// while a live solver holds its lock; "stopped" when neither (a run that was killed).
std::string agentStateFromFiles(int agent) {
  const std::string report = fileText(agentFileName(agent, ".rpt"));
  const std::string key = "\n*EXIT STATE\n";
  const std::size_t at = report.rfind(key);
  if (at != std::string::npos) {
    std::string state = report.substr(at + key.size());
    state = state.substr(0, state.find('\n'));
    for (char& c : state) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!state.empty()) return state;
  }
  const std::string lock = agentFileName(agent, ".lock");
  if (platform::isRegularFile(lock) && !lockIsStale(fileText(lock))) return "running";
  return "stopped";
}

}  // namespace

int runReportCommand(int argc, char** argv) {
  std::string studyPath, outPath;
  bool haveOut = false;
  for (int i = 2; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--out") == 0) {
      if (haveOut || i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fputs(kReportUsage, stderr);
        return kExitCommandLine;
      }
      outPath = argv[++i];
      haveOut = true;
    } else if (argument[0] == '-' || argument[0] == '\0' || !studyPath.empty()) {
      std::fputs(kReportUsage, stderr);
      return kExitCommandLine;
    } else {
      studyPath = argument;
    }
  }
  if (studyPath.empty()) {
    std::fputs(kReportUsage, stderr);
    return kExitCommandLine;
  }
  std::error_code error;
  // Absolute before the reading of the study changes the current directory.
  const fs::path absoluteOut = haveOut ? fs::absolute(outPath, error) : fs::path();

  readStudyForTool(studyPath);

  runpage::PageView view;
  view.wholeStudy = true;
  for (Agent& agent : agents) {
    if (!platform::isRegularFile(historyFilePath(agent.number))) continue;
    // The answer is the one the end of the run gives: the history's designs taken over.
    readHistory(agent, agentResults(agent));
    view.agentStates[agent.number] = agentStateFromFiles(agent.number);
  }
  const std::string path = haveOut ? absoluteOut.string() : runpage::pagePath();
  view.pageFolder = fs::path(path).parent_path().string();
  view.now = platform::monotonicSeconds();
  std::string reason;
  if (!runpage::writePage(path, runpage::pageText(view), reason)) {
    std::fprintf(stderr, "The page %s cannot be written: %s.\n",
                 haveOut ? outPath.c_str() : path.c_str(), reason.c_str());
    return kExitCommandLine;
  }
  std::printf("%s\n", haveOut ? outPath.c_str() : path.c_str());
  return kExitNormal;
}

}  // namespace karvo
