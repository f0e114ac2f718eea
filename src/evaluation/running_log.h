// The running-analyses log: while a batch of designs is evaluated, the agent's lock file
// ("<working directory>/<run prefix><agent>.lock") is rewritten with the jobs that run now,
// so that the front end and the user can see what the solver is waiting for.
//
// Layout (every line ends in "\n"):
//
//   <analysis name>              one pair of lines per analysis, in process order
//   <d>.<c>, <d>.<c>             its running jobs: design number, "." and case number
//                                (loop case index + 1; 1 outside loops), separated by ", ";
//                                an empty line when none runs
//   *INPROGRESS
//   <d>,<d>,                     the design numbers that still have work, each followed by ","
//   *OWNER                       the owner record of every lock file (lockOwnerText), which
//   <host> <pid> <start ticks>   tells a later run whether the lock is stale
//
// The file is rewritten whole: the text goes to "<lock file>.tmp" in the same folder, which
// is then renamed over the lock file, so a reader sees either the old or the new text and
// the lock file never disappears. A write is tried kRunningLogAttempts times with a pause
// between attempts; when all fail the warning "Error in writing the running analyses log to
// the KARVO lock file:\n<lock file>." goes to the message file and the run goes on.
//
// Only a lock file this process created is ever written (workingDirectoryState.lockFiles),
// so a run without lock files (check-performance mode) never leaves one behind. A text equal
// to the one last written to an existing lock file is not written again.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace karvo {

// Attempts at writing the log, and the pause between two of them (milliseconds).
inline constexpr int kRunningLogAttempts = 5;
inline constexpr int kRunningLogRetryPauseMillis = 200;

// One running job of an analysis.
struct RunningJob {
  int design = 0;      // design number
  int caseNumber = 1;  // loop case index + 1; 1 for an analysis outside loops
};

// The running jobs of one analysis.
struct RunningAnalysis {
  std::string name;              // analysis name
  std::vector<RunningJob> jobs;  // in batch order
};

// What the log shows.
struct RunningAnalysesLog {
  std::vector<RunningAnalysis> analyses;  // every analysis of the process, in process order
  std::vector<int> designsInProgress;     // design numbers with work left, in batch order
};

// The text of the log (layout above).
std::string runningLogText(const RunningAnalysesLog& log);

// The outcome of runningLogWriteFile.
struct RunningLogWrite {
  bool written = false;  // the file holds the new text
  int attempts = 0;      // attempts made, 1..kRunningLogAttempts
  std::string error;     // the system's text of the last failure ("" when written)
};

// Called between two attempts with the number of the attempt that failed (1-based).
using RetryPause = std::function<void(int failedAttempt)>;

// Writes `text` to `path` through "<path>.tmp" and a rename, trying up to
// kRunningLogAttempts times; `pause` runs between attempts (by default a plain sleep of
// kRunningLogRetryPauseMillis). No message is written.
RunningLogWrite runningLogWriteFile(const std::string& path, const std::string& text,
                                    const RetryPause& pause = nullptr);

// Rewrites the lock file of `agent` with `log` when this process owns it. Answers false only
// when the write failed (after the warning); a lock file not owned, or a text unchanged
// since the last write, answers true without writing.
bool runningLogUpdate(int agent, const RunningAnalysesLog& log,
                      const RetryPause& pause = nullptr);

// Forgets the texts last written (start of a run, tests).
void resetRunningLog();

}  // namespace karvo
