// Completion-check timing and time limits of running analyses. Called for every running job
// on every pass of the evaluation loop (a few per second at most), so everything here is a
// handful of comparisons on the job's clock.
#include "evaluation/analysis_timing.h"

#include <algorithm>
#include <climits>
#include <ctime>

#include "base/messages.h"

namespace karvo {

AnalysisTiming timingOf(const Analysis& analysis) {
  AnalysisTiming timing;
  timing.maxTime = analysis.maxTime;
  timing.initialWait = std::max(0, analysis.initialWait);
  timing.finishCheckFrequency = std::max(0, analysis.finishCheckFrequency);
  return timing;
}

JobClock timingSubmitted(double now, bool startedAtOnce) {
  JobClock clock;
  clock.submitTime = now;
  clock.runStartTime = startedAtOnce ? now : -1.0;
  clock.referenceTime = now;
  clock.lastMessageTime = now;
  return clock;
}

void timingMarkStarted(JobClock& clock, double now) {
  if (clock.runStartTime < 0.0) clock.runStartTime = now;
}

bool timingHasLimit(int maxTime) { return maxTime != kInfiniteTime && maxTime > 0; }

bool timingOverdue(const AnalysisTiming& timing, const JobClock& clock, double now) {
  if (!timingHasLimit(timing.maxTime) || clock.runStartTime < 0.0) return false;
  return now - clock.runStartTime > static_cast<double>(timing.maxTime);
}

bool timingInInitialWait(const AnalysisTiming& timing, const JobClock& clock, double now) {
  return now - clock.submitTime < static_cast<double>(timing.initialWait);
}

bool timingCheckDue(const AnalysisTiming& timing, const JobClock& clock, double now) {
  if (timingInInitialWait(timing, clock, now)) return false;
  return now - clock.referenceTime >= static_cast<double>(timing.finishCheckFrequency);
}

double timingNextCheckTime(const AnalysisTiming& timing, const JobClock& clock) {
  return std::max(clock.submitTime + timing.initialWait,
                  clock.referenceTime + timing.finishCheckFrequency);
}

bool timingProgressNoteDue(const AnalysisTiming& timing, const JobClock& clock, double now) {
  const int interval = std::max(timing.finishCheckFrequency, kMinimumProgressSeconds);
  return now - clock.lastMessageTime >= static_cast<double>(interval);
}

void timingCheckMade(JobClock& clock, double now, bool noteWritten) {
  clock.referenceTime = now;
  if (noteWritten) clock.lastMessageTime = now;
}

void timingCheckSeen(JobClock& clock, double seenAt) {
  if (seenAt >= 0 && seenAt < clock.referenceTime) clock.referenceTime = seenAt;
}

void timingPropose(SleepProposal& proposal, const AnalysisTiming& timing,
                   const JobClock& clock, double now) {
  const std::int64_t frequency = timing.finishCheckFrequency;
  if (proposal.millis < 0) proposal.millis = frequency * 100;
  const double left = (static_cast<double>(frequency) - (now - clock.referenceTime)) * 1000.0;
  // Truncated towards zero, as a whole number of milliseconds.
  const std::int64_t candidate = left <= -1e15 ? INT64_MIN / 2
                                 : left >= 1e15 ? INT64_MAX / 2
                                                : static_cast<std::int64_t>(left);
  proposal.millis = std::min(proposal.millis, candidate);
}

int timingLoopSleep(LoopWait reason, const SleepProposal& proposal) {
  switch (reason) {
    case LoopWait::kCannotStart:
      return kCannotStartSleepMillis;
    case LoopWait::kSerialNotReady:
      return kSerialNotReadySleepMillis;
    case LoopWait::kJobsRunning:
      break;
  }
  if (proposal.millis == -1) return 0;
  if (proposal.millis <= 0) return kMinimumLoopSleepMillis;
  return static_cast<int>(std::min<std::int64_t>(proposal.millis, INT_MAX));
}

std::string timingOverdueText(const std::string& analysisName, int designNumber) {
  std::string text = formatText("Maximum allowed time exceeded for analysis %s of design %d.",
                                analysisName.c_str(), designNumber);
  return formatText("%s This will be marked as completed. Will try to kill the analysis process.",
                    text.c_str());
}

std::string timingInitialWaitText(const AnalysisTiming& timing) {
  return formatText(
      "No completion check performed since the time elapsed is less than the initial wait "
      "time specified (%d).",
      timing.initialWait);
}

std::string timingProgressText(const std::string& analysisName, int designNumber,
                               const JobClock& clock, double now, bool verbose,
                               std::int64_t wallMillis) {
  const double sinceSubmission = now - clock.submitTime;
  if (!verbose) {
    return formatText(
        "Checking for completion for analysis \"%s\" of design %d (%d seconds since analysis "
        "start)\n",
        analysisName.c_str(), designNumber, static_cast<int>(sinceSubmission));
  }
  std::time_t seconds = static_cast<std::time_t>(wallMillis / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  std::string text = formatText("Checking for completion for analysis \"%s\" of design %d...\n",
                                analysisName.c_str(), designNumber);
  text = formatText("%sCurrent time: %02d:%02d:%02d\n", text.c_str(), local.tm_hour,
                    local.tm_min, local.tm_sec);
  text = formatText("%sTime since analysis submission (in secs) = %g\n", text.c_str(),
                    sinceSubmission);
  return formatText("%sTime since last completion check (in secs) = %d", text.c_str(),
                    static_cast<int>(now - clock.referenceTime));
}

}  // namespace karvo
