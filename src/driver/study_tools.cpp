// Reading a study for the export and plot commands.
#include "driver/study_tools.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/file_handle.h"
#include "base/messages.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "base/text.h"
#include "driver/driver.h"
#include "platform/platform.h"

namespace karvo {

namespace {

// Copies what the reading wrote into the scratch message file to standard error.
void showScratchMessages() {
  if (!outptr || !outptr->stream) return;
  std::FILE* stream = outptr->stream;
  std::fflush(stream);
  std::rewind(stream);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) std::fwrite(buffer, 1, n, stderr);
  std::fflush(stderr);
}

}  // namespace

void readStudyForTool(const std::string& studyPath) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(studyPath, error);
  const std::string folder = absolute.parent_path().string();
  if (error || !platform::changeDirectory(folder)) {
    std::fprintf(stderr, "Input file %s cannot be read.\n", studyPath.c_str());
    exitRun(kExitCommandLine, false);
  }
  readWorkingDirectory();
  const std::string name = absolute.filename().string();
  std::FILE* file = std::fopen(name.c_str(), "r");
  if (!file) {
    std::fprintf(stderr, "Input file %s cannot be read.\n", studyPath.c_str());
    exitRun(kExitCommandLine, false);
  }
  run.settings.toolMode = 1;
  run.studyInputPath = name;
  run.studyInputWork = name;
  run.studyName = name.size() > 3 ? name.substr(0, name.size() - 3) : name;
  run.studyFile = new FileHandle{file, name, 0};
  if (std::FILE* scratch = std::tmpfile()) outptr = new FileHandle{scratch, "messages", 1};
  try {
    readStudyFolder();
  } catch (const RunExit&) {
    showScratchMessages();
    throw;
  }
}

std::vector<std::string> studyFilesWithPrefix(const std::string& folder,
                                              const std::string& prefix) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file(error) || name.size() < 4 ||
        name.compare(name.size() - 3, 3, ".in") != 0) {
      continue;
    }
    std::ifstream in(entry.path());
    std::string line;
    bool inStudy = false;
    while (std::getline(in, line)) {
      const std::string text = trimmed(line);
      if (!text.empty() && text[0] == '*') {
        inStudy = lowerCase(text) == "*study";
        continue;
      }
      const std::size_t colon = text.find(':');
      if (inStudy && colon != std::string::npos &&
          lowerCase(trimmed(text.substr(0, colon))) == "fileprefix" &&
          trimmed(text.substr(colon + 1)) == prefix) {
        found.push_back(entry.path().string());
        break;
      }
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace karvo
