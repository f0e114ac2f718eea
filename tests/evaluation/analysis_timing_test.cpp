// Tests of completion-check timing: the time limit ("infinite" never fires, queue time is not
// charged), the initial wait, the finish-check frequency, the one-per-10-seconds progress
// note, the loop's wait between passes, and the exact texts.
#include "evaluation/analysis_timing.h"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>

namespace karvo {
namespace {

AnalysisTiming timing(int maxTime, int initialWait, int frequency) {
  AnalysisTiming t;
  t.maxTime = maxTime;
  t.initialWait = initialWait;
  t.finishCheckFrequency = frequency;
  return t;
}

TEST(AnalysisTimingTest, OverdueAfterMaxTimeOfRunningNotQueuingAndNeverWhenInfinite) {
  const AnalysisTiming t = timing(60, 0, 0);
  JobClock running = timingSubmitted(100.0, true);
  EXPECT_FALSE(timingOverdue(t, running, 160.0));
  EXPECT_TRUE(timingOverdue(t, running, 160.5));
  EXPECT_FALSE(timingOverdue(timing(kInfiniteTime, 0, 0), running, 100.0 + 1e9));

  JobClock queued = timingSubmitted(100.0, false);
  EXPECT_FALSE(timingOverdue(t, queued, 1000.0));  // still in the queue
  timingMarkStarted(queued, 1000.0);
  timingMarkStarted(queued, 1030.0);  // a later report does not move the start
  EXPECT_FALSE(timingOverdue(t, queued, 1060.0));
  EXPECT_TRUE(timingOverdue(t, queued, 1061.0));
}

TEST(AnalysisTimingTest, ChecksWaitForTheInitialWaitThenTheFinishCheckFrequency) {
  JobClock clock = timingSubmitted(0.0, true);
  const AnalysisTiming waiting = timing(kInfiniteTime, 30, 0);
  EXPECT_TRUE(timingInInitialWait(waiting, clock, 29.9));
  EXPECT_FALSE(timingCheckDue(waiting, clock, 29.9));
  EXPECT_TRUE(timingCheckDue(waiting, clock, 30.0));

  const AnalysisTiming t = timing(kInfiniteTime, 0, 20);
  EXPECT_FALSE(timingCheckDue(t, clock, 19.0));
  EXPECT_TRUE(timingCheckDue(t, clock, 20.0));
  timingCheckMade(clock, 21.0, false);
  EXPECT_FALSE(timingCheckDue(t, clock, 40.9));
  EXPECT_TRUE(timingCheckDue(t, clock, 41.0));
  // The later of the two bounds wins.
  EXPECT_DOUBLE_EQ(timingNextCheckTime(timing(kInfiniteTime, 60, 20), clock), 60.0);

  // A check at 45 that read a scheduler listing taken at 41 (by another job of the resource) is
  // due again 20 s after the listing, as a check of its own would have been; a report that is
  // not earlier than the check changes nothing.
  clock = timingSubmitted(0.0, false);
  timingCheckMade(clock, 45.0, false);
  timingCheckSeen(clock, 41.0);
  EXPECT_TRUE(timingCheckDue(t, clock, 61.0));
  timingCheckMade(clock, 61.0, false);
  timingCheckSeen(clock, 61.0);
  timingCheckSeen(clock, -1.0);  // no report: a job that is not a scheduler's
  EXPECT_FALSE(timingCheckDue(t, clock, 80.9));
  EXPECT_TRUE(timingCheckDue(t, clock, 81.0));
}

TEST(AnalysisTimingTest, ProgressNoteAtMostEveryTenSecondsEvenWithAShortFrequency) {
  JobClock clock = timingSubmitted(0.0, true);
  const AnalysisTiming fast = timing(kInfiniteTime, 0, 3);
  EXPECT_FALSE(timingProgressNoteDue(fast, clock, 9.9));
  EXPECT_TRUE(timingProgressNoteDue(fast, clock, 10.0));
  timingCheckMade(clock, 10.0, true);
  EXPECT_FALSE(timingProgressNoteDue(fast, clock, 19.0));
  timingCheckMade(clock, 13.0, false);  // a check without a note keeps the note's time
  EXPECT_TRUE(timingProgressNoteDue(fast, clock, 20.0));
  JobClock other = timingSubmitted(0.0, true);
  EXPECT_FALSE(timingProgressNoteDue(timing(kInfiniteTime, 0, 30), other, 29.0));
}

TEST(AnalysisTimingTest, LoopSleepStartsAtOneTenthOfTheFrequencyTakesTheSmallestNeverSpins) {
  const AnalysisTiming t = timing(kInfiniteTime, 0, 10);
  SleepProposal proposal;
  EXPECT_EQ(timingLoopSleep(LoopWait::kJobsRunning, proposal), 0);  // nothing examined
  timingPropose(proposal, t, timingSubmitted(96.0, true), 100.0);  // 4 s since reference
  EXPECT_EQ(proposal.millis, 1000);                                   // 10·100 ms < 6 s
  timingPropose(proposal, t, timingSubmitted(90.5, true), 100.0);  // 9.5 s since reference
  EXPECT_EQ(timingLoopSleep(LoopWait::kJobsRunning, proposal), 500);
  EXPECT_EQ(timingLoopSleep(LoopWait::kCannotStart, proposal), 2000);
  EXPECT_EQ(timingLoopSleep(LoopWait::kSerialNotReady, proposal), 10000);

  SleepProposal none;
  timingPropose(none, timing(kInfiniteTime, 0, 0), timingSubmitted(0.0, true), 5.0);
  EXPECT_EQ(none.millis, -5000);
  EXPECT_EQ(timingLoopSleep(LoopWait::kJobsRunning, none), kMinimumLoopSleepMillis);

  SleepProposal huge;  // does not overflow
  timingPropose(huge, timing(kInfiniteTime, 0, INT_MAX), timingSubmitted(0.0, true), 1.0);
  EXPECT_EQ(huge.millis, static_cast<std::int64_t>(INT_MAX) * 100);
  EXPECT_EQ(timingLoopSleep(LoopWait::kJobsRunning, huge), INT_MAX);
}

TEST(AnalysisTimingTest, Texts) {
  // The initial-wait text is checked in a verbose run (EvaluationFlowTexts).
  JobClock clock = timingSubmitted(100.0, true);
  EXPECT_EQ(timingProgressText("solve", 7, clock, 142.7, false, 0),
            "Checking for completion for analysis \"solve\" of design 7 (42 seconds since "
            "analysis start)\n");

  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 4;
  local.tm_mday = 6;
  local.tm_hour = 7;
  local.tm_min = 8;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  const std::int64_t wallMillis = static_cast<std::int64_t>(std::mktime(&local)) * 1000 + 250;
  timingCheckMade(clock, 130.0, true);
  EXPECT_EQ(timingProgressText("solve", 7, clock, 142.5, true, wallMillis),
            "Checking for completion for analysis \"solve\" of design 7...\n"
            "Current time: 07:08:09\n"
            "Time since analysis submission (in secs) = 42.5\n"
            "Time since last completion check (in secs) = 12");
}

}  // namespace
}  // namespace karvo
