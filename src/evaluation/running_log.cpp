// The running-analyses log in the agent's lock file. Rewritten after every submission and
// every pass of the evaluation loop; an unchanged text is not written again, so a long wait
// on slow analyses costs one string comparison and one stat per pass.
#include "evaluation/running_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>

#include "base/messages.h"
#include "base/run_files.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {

namespace {

// The last text written to each lock file (full path).
std::map<std::string, std::string> lastWritten;

// One attempt: the whole text into the temporary file, then the rename. Answers 0 or errno.
int writeOnce(const std::string& path, const std::string& temporary, const std::string& text) {
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  std::size_t done = 0;
  int error = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}

}  // namespace

std::string runningLogText(const RunningAnalysesLog& log) {
  std::string text;
  for (const RunningAnalysis& analysis : log.analyses) {
    text += analysis.name;
    text += '\n';
    for (std::size_t i = 0; i < analysis.jobs.size(); ++i) {
      if (i > 0) text += ", ";
      text += formatText("%d.%d", analysis.jobs[i].design, analysis.jobs[i].caseNumber);
    }
    text += '\n';
  }
  text += "*INPROGRESS\n";
  for (int design : log.designsInProgress) text += formatText("%d,", design);
  text += '\n';
  return text;
}

RunningLogWrite runningLogWriteFile(const std::string& path, const std::string& text,
                                    const RetryPause& pause) {
  RunningLogWrite result;
  const std::string temporary = path + ".tmp";
  for (int attempt = 1; attempt <= kRunningLogAttempts; ++attempt) {
    result.attempts = attempt;
    int error = writeOnce(path, temporary, text);
    if (error == 0) {
      result.written = true;
      result.error.clear();
      return result;
    }
    result.error = platform::systemErrorText(error);
    if (attempt == kRunningLogAttempts) break;
    if (pause) {
      pause(attempt);
    } else {
      platform::sleepMillis(kRunningLogRetryPauseMillis);
    }
  }
  return result;
}

bool runningLogUpdate(int agent, const RunningAnalysesLog& log, const RetryPause& pause) {
  const std::string path = agentFileName(agent, ".lock");
  const std::vector<std::string>& owned = workingDirectoryState.lockFiles;
  if (std::find(owned.begin(), owned.end(), path) == owned.end()) return true;
  std::string text = runningLogText(log) + lockOwnerText();
  auto last = lastWritten.find(path);
  if (last != lastWritten.end() && last->second == text && platform::isRegularFile(path)) {
    return true;
  }
  RunningLogWrite result = runningLogWriteFile(path, text, pause);
  if (!result.written) {
    lastWritten.erase(path);
    writeMessage("outptr", "warning",
                 formatText("Error in writing the running analyses log to the KARVO lock "
                            "file:\n%s.",
                            path.c_str()));
    return false;
  }
  lastWritten[path] = std::move(text);
  return true;
}

void resetRunningLog() { lastWritten.clear(); }

}  // namespace karvo
