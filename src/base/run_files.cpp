// Agent file names and lock files. Lock files are made exclusively at start-up and removed
// at every controlled end; only this process's own are ever removed.
#include "base/run_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/messages.h"
#include "base/run_state.h"
#include "platform/platform.h"

namespace karvo {

WorkingDirectoryState workingDirectoryState;

void resetWorkingDirectoryState() { workingDirectoryState = WorkingDirectoryState{}; }

std::string agentFileName(int agent, const char* extension) {
  return formatText("%s%c%s%d%s", run.workingDirectory.c_str(), platform::kPathSeparator,
                    run.runPrefix.c_str(), agent, extension);
}

// ---------------------------------------------------------------------------------------
// Lock files

void createLockFile(int agent) {
  std::string name = agentFileName(agent, ".lock");
  // Created exclusively: of two processes started at the same instant for the same agent,
  // exactly one gets the lock.
  int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    std::string text = formatText(
        "The lock file (%s) exists in the working directory. This means that either",
        name.c_str());
    text += " the agent being started is currently running, or was terminated abnormally.";
    text += " Please check that the old run has stopped or clean the lock file if the run was ";
    text += " terminated abnormally. Then try to submit the current run again.";
    fatalError(text);
  }
  if (fd < 0) {
    fatalError(formatText("Error in writing the KARVO lock file (%s). Exiting.", name.c_str()));
  }
  std::string content = formatText("Lock File for Agent #: %d\n", agent);
  bool written = ::write(fd, content.data(), content.size()) ==
                 static_cast<ssize_t>(content.size());
  ::close(fd);
  workingDirectoryState.lockFiles.push_back(name);
  workingDirectoryState.lockFilesCreated = true;
  if (!written) {
    fatalError(formatText("Error in writing the KARVO lock file (%s). Exiting.", name.c_str()));
  }
}

void removeLockFiles() {
  WorkingDirectoryState& s = workingDirectoryState;
  if (!s.lockFilesCreated || run.settings.checkPerformanceMode) return;
  platform::changeDirectory(run.workingDirectory);
  // Only this process's own lock files: one found at start belongs to another run.
  for (const std::string& name : s.lockFiles) platform::removeFile(name);
  s.lockFiles.clear();
  s.lockFilesCreated = false;
}

}  // namespace karvo
