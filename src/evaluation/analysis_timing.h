// Time limits and completion-check timing of running analyses, as pure functions over plain
// records: when a job may be checked, when it is overdue, when a progress note is due, and
// how long the evaluation loop waits between passes. Nothing here reads a clock or writes a
// message: the caller passes "now" (seconds of platform::monotonicSeconds) and writes the
// texts these functions build.
//
// Settings of an analysis (Process%d.in, definitions/process_file.h):
//   maxTime               seconds a started job may run; kInfiniteTime ("infinite") = no limit
//   initialWait           seconds after submission before the first completion check
//   finishCheckFrequency  F, seconds between completion checks of one job (0: every pass)
//
// Times of one job (JobClock), all monotonic seconds:
//   submitTime       submission started; "seconds since analysis start" count from here
//   runStartTime     the job was seen running (at once for direct runs; when the compute
//                    resource reports the start for queued jobs); the time limit counts
//                    from here, so time spent waiting in a queue is never charged to it
//   referenceTime    the last completion check (submission until the first one); the time
//                    of the compute resource's report when a check read an earlier one
//   lastMessageTime  the last "Checking for completion" note (submission until the first)
//
// The loop's wait between passes (timingLoopSleep):
//   an analysis cannot start now           2 000 ms
//   serial mode, the analysis is not ready 10 000 ms
//   jobs are running                       the proposal of the completion checks: F·100 ms
//                                          for the first job examined in the pass, then the
//                                          smallest (F − seconds since the job's reference
//                                          time)·1000 ms over the jobs examined; a proposal
//                                          that is zero or negative becomes
//                                          kMinimumLoopSleepMillis, so the loop never spins
//                                          (the wait still ends at once when a child exits)
#pragma once

#include <cstdint>
#include <string>

#include "definitions/process_file.h"

namespace karvo {

// Waits of the evaluation loop (milliseconds).
inline constexpr int kCannotStartSleepMillis = 2000;      // an analysis cannot start now
inline constexpr int kSerialNotReadySleepMillis = 10000;  // serial mode, analysis not ready
inline constexpr int kMinimumLoopSleepMillis = 500;       // floor while jobs run
// Shortest interval between two "Checking for completion" notes of one job (seconds).
inline constexpr int kMinimumProgressSeconds = 10;

// The timing settings of one analysis.
struct AnalysisTiming {
  int maxTime = kInfiniteTime;    // seconds, >= 1; kInfiniteTime (0): no limit
  int initialWait = 0;            // seconds, >= 0
  int finishCheckFrequency = 0;   // seconds, >= 0
};

// The timing settings of `analysis`.
AnalysisTiming timingOf(const Analysis& analysis);

// The times of one job (monotonic seconds).
struct JobClock {
  double submitTime = 0.0;       // submission started
  double runStartTime = -1.0;    // seen running; < 0 while not yet started (queued)
  double referenceTime = 0.0;    // last completion check; submitTime before the first
  double lastMessageTime = 0.0;  // last progress note; submitTime before the first
};

// A job submitted at `now`; `startedAtOnce` for direct runs (not queued).
JobClock timingSubmitted(double now, bool startedAtOnce);
// The compute resource reported the start of a queued job (the first report counts).
void timingMarkStarted(JobClock& clock, double now);

// True when `maxTime` sets a limit (anything but kInfiniteTime or a negative value).
bool timingHasLimit(int maxTime);
// True when a started job has run longer than its maxTime. Never for "infinite".
bool timingOverdue(const AnalysisTiming& timing, const JobClock& clock, double now);

// True while the initial wait after submission has not passed.
bool timingInInitialWait(const AnalysisTiming& timing, const JobClock& clock, double now);
// True when a completion check may be made now: the initial wait has passed and at least F
// seconds have passed since the reference time.
bool timingCheckDue(const AnalysisTiming& timing, const JobClock& clock, double now);
// The earliest time at which timingCheckDue holds.
double timingNextCheckTime(const AnalysisTiming& timing, const JobClock& clock);
// True when a "Checking for completion" note is due: max(F, 10) seconds since the last one.
bool timingProgressNoteDue(const AnalysisTiming& timing, const JobClock& clock, double now);
// A completion check was made at `now`: the reference time becomes now, and the time of
// the last note too when `noteWritten`.
void timingCheckMade(JobClock& clock, double now, bool noteWritten);
// The check just made read what the compute resource reported at `seenAt` (before now when
// the jobs of a resource share one finish-check run): the next check counts from then, so
// that no job waits longer than F from the report it read, and jobs that read one report
// are checked together again. A report not earlier than the reference time changes nothing.
void timingCheckSeen(JobClock& clock, double seenAt);

// The proposal of the completion checks of one pass (milliseconds; -1: none made yet).
struct SleepProposal {
  std::int64_t millis = -1;  // -1 until the first job is examined
};

// Adds one examined running job to the proposal of the pass (before its check is made).
void timingPropose(SleepProposal& proposal, const AnalysisTiming& timing,
                   const JobClock& clock, double now);

// Why the loop waits.
enum class LoopWait {
  kJobsRunning,     // the proposal of the completion checks
  kCannotStart,     // an analysis could not start now
  kSerialNotReady,  // serial mode: the analysis is not ready to be submitted
};

// The wait before the next pass (milliseconds, for platform::waitForChildExitOrTimeout).
// kJobsRunning without any job examined gives 0: nothing to wait for.
int timingLoopSleep(LoopWait reason, const SleepProposal& proposal);

// Texts of the completion check. `wallMillis` is the wall-clock time (platform::nowMillis)
// for the verbose "Current time" line.
std::string timingOverdueText(const std::string& analysisName, int designNumber);
std::string timingInitialWaitText(const AnalysisTiming& timing);
std::string timingProgressText(const std::string& analysisName, int designNumber,
                               const JobClock& clock, double now, bool verbose,
                               std::int64_t wallMillis);

}  // namespace karvo
