#include "support/study_runs.h"

#include <algorithm>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace karvo::testing {

namespace fs = std::filesystem;

ProcessResult runStudy(const TempDir& dir, const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {"i=study.in"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  return runKarvo(arguments, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

std::string studyMessages(const TempDir& dir) { return unwrapped(readFile(dir.file("study.mes"))); }

int designsReadFromHistory(const std::string& messages) {
  const std::size_t at = messages.find("Read ");
  if (at == std::string::npos) return -1;
  return std::stoi(messages.substr(at + 5));
}

StoppedAndResumed stopAndResume(const TempDir& dir, const std::string& report, int runs,
                                const std::string& resultFile) {
  StoppedAndResumed out;
  writeStoppingCounter(dir, 3, "study.io");
  const ProcessResult stopped = runStudy(dir);
  EXPECT_EQ(stopped.status, 0) << studyMessages(dir);
  EXPECT_THAT(readFile(dir.file(report)), HasLines("*EXIT STATE\nCancelled\n"));
  const int first = std::stoi(readFile(dir.file("count")));
  EXPECT_GE(first, 3);
  EXPECT_LT(first, runs);
  EXPECT_FALSE(fs::exists(dir.file(resultFile)));
  fs::remove(dir.file("study.io"));
  const ProcessResult resumed = runStudy(dir, {"useHistory"});
  out.messages = studyMessages(dir);
  EXPECT_EQ(resumed.status, 0) << out.messages;
  const int stored = designsReadFromHistory(out.messages);
  EXPECT_GE(stored, 2) << out.messages;
  if (stopped.status != 0 || resumed.status != 0 || first < 3 || first >= runs || stored < 2)
    return out;
  out.first = first;
  out.stored = stored;
  return out;
}

std::string workingDirectory(const TempDir& dir) { return fs::canonical(dir.path()).string(); }

std::vector<std::string> filesEndingIn(const std::string& dir, const std::string& tail) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= tail.size() &&
        name.compare(name.size() - tail.size(), tail.size(), tail) == 0) {
      found.push_back(name);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::set<std::string> backupFolders(const std::string& dir) {
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory() && name.rfind("RESULTS_BACKUP_", 0) == 0) found.insert(name);
  }
  return found;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

void replaceIn(const std::string& dir, const std::string& name, const std::string& from,
               const std::string& to) {
  std::string text = readFile(dir + "/" + name);
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << "\"" << from << "\" not in " << name;
  writeFile(dir + "/" + name, text.replace(at, from.size(), to));
}

}  // namespace karvo::testing
