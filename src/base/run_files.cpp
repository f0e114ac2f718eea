// Agent file names and lock files. Lock files are made exclusively at start-up and removed
// at every controlled end; only this process's own are ever removed, and a stale one (its
// owner, a process of this host, has gone) is taken over.
#include "base/run_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "base/messages.h"
#include "base/run_state.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {

WorkingDirectoryState workingDirectoryState;

void resetWorkingDirectoryState() { workingDirectoryState = WorkingDirectoryState{}; }

std::string agentFileName(int agent, const char* extension) {
  return formatText("%s%c%s%d%s", run.workingDirectory.c_str(), platform::kPathSeparator,
                    run.runPrefix.c_str(), agent, extension);
}

// ---------------------------------------------------------------------------------------
// Lock files

namespace {

std::string fileText(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

// Moves a stale lock out of the way. The file is first renamed aside and read again there:
// when it is no longer the stale lock that was judged (another run took it over in between
// and made its own), that one is put back.
bool takeOverStaleLock(const std::string& name) {
  const std::string judged = fileText(name);
  if (!lockIsStale(judged)) return false;
  const std::string aside = formatText("%s.stale.%ld", name.c_str(), static_cast<long>(::getpid()));
  if (std::rename(name.c_str(), aside.c_str()) != 0) return false;
  if (fileText(aside) != judged) {
    if (::link(aside.c_str(), name.c_str()) == 0) ::unlink(aside.c_str());
    return false;
  }
  ::unlink(aside.c_str());
  std::size_t at = judged.find("\n*OWNER\n");
  std::string owner = judged.substr(at + 8);
  std::istringstream fields(owner);
  std::string host;
  long pid = 0;
  fields >> host >> pid;
  writeMessage("outptr", "warning",
               formatText("The lock file (%s) was left behind by a run (process %ld on this "
                          "host) that has ended. This run takes it over.",
                          name.c_str(), pid));
  return true;
}

}  // namespace

std::string lockOwnerText() {
  const pid_t self = ::getpid();
  return formatText("*OWNER\n%s %ld %llu\n", platform::hostName().c_str(),
                    static_cast<long>(self), platform::processStartTicks(self));
}

bool lockIsStale(const std::string& content) {
  const std::size_t at = content.find("\n*OWNER\n");
  if (at == std::string::npos) return false;
  std::istringstream fields(content.substr(at + 8));
  std::string host;
  long pid = 0;
  unsigned long long ticks = 0;
  if (!(fields >> host >> pid >> ticks) || pid <= 0) return false;
  const std::string here = platform::hostName();
  if (here.empty() || host != here) return false;
  const unsigned long long now = platform::processStartTicks(static_cast<pid_t>(pid));
  return now == 0 || now != ticks;
}

namespace {

// Makes the lock file with its whole content, or answers errno (EEXIST when it is there
// already). The text is written to a file aside and linked to the lock's name, which fails
// when that name exists: a run killed at any moment leaves either no lock file or one whose
// owner record tells the next run that it is stale, never an empty one. A file system
// without hard links gets the lock made exclusively and then written; `made` tells whether
// the name was made, even when its writing failed.
int makeLockFile(const std::string& name, const std::string& content, bool& made) {
  made = false;
  const std::string aside = formatText("%s.new.%ld", name.c_str(), static_cast<long>(::getpid()));
  int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    bool written = ::write(fd, content.data(), content.size()) ==
                   static_cast<ssize_t>(content.size());
    written = ::close(fd) == 0 && written;
    int error = 0;
    if (!written) {
      error = errno != 0 ? errno : EIO;
    } else if (::link(aside.c_str(), name.c_str()) != 0) {
      error = errno;
    } else {
      made = true;
    }
    ::unlink(aside.c_str());
    if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP && error != EXDEV) {
      return error;
    }
  }
  fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  made = true;
  bool written = ::write(fd, content.data(), content.size()) ==
                 static_cast<ssize_t>(content.size());
  written = ::close(fd) == 0 && written;
  return written ? 0 : EIO;
}

}  // namespace

void createLockFile(int agent) {
  std::string name = agentFileName(agent, ".lock");
  // Of two processes started at the same instant for the same agent, exactly one gets the
  // lock.
  const std::string content = formatText("Lock File for Agent #: %d\n", agent) + lockOwnerText();
  bool made = false;
  int error = makeLockFile(name, content, made);
  if (error == EEXIST && takeOverStaleLock(name)) error = makeLockFile(name, content, made);
  if (error == EEXIST) {
    std::string text = formatText(
        "The lock file (%s) exists in the working directory. This means that either",
        name.c_str());
    text += " the agent being started is currently running, or was terminated abnormally.";
    text += " Please check that the old run has stopped or clean the lock file if the run was ";
    text += " terminated abnormally. Then try to submit the current run again.";
    fatalError(text);
  }
  if (made) {
    // Made, perhaps only in part: it is this run's own and goes at the end.
    workingDirectoryState.lockFiles.push_back(name);
    workingDirectoryState.lockFilesCreated = true;
  }
  if (error != 0) {
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
