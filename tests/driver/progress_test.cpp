// The text of the progress line (drawn on a terminal and on a pipe by the runs of
// first_hour_test).
#include <gtest/gtest.h>

#include <string>

#include "base/progress.h"

namespace karvo {
namespace {

TEST(ProgressLine, SaysWhereTheRunIsAndEstimatesTheTimeLeft) {
  ProgressState state;
  state.agent = 2;
  state.agentName = "sizing";
  state.cycle = 1;
  state.cycles = 3;
  state.evaluations = 40;
  state.budget = 100;
  state.doneInRun = 30;
  state.failed = 1;
  state.running = 2;
  state.queued = 5;
  state.runStart = 100.0;
  state.agentStart = 160.0;
  // Not a feasible design yet; no estimate without a budget.
  ProgressState unknown = state;
  unknown.budget = 0;
  EXPECT_EQ(progressText(unknown, 3800.0),
            "agent 2 (sizing)  cycle 2/3  evals 40  running 2  queued 5  failed 1  best -  "
            "01:01:40 elapsed");
  // 30 designs in 90 s, 60 to go: three minutes left.
  state.haveBest = true;
  state.best = -0.125;
  state.bestDesign = 17;
  EXPECT_EQ(progressText(state, 250.0),
            "agent 2 (sizing)  cycle 2/3  evals 40/100  running 2  queued 5  failed 1  "
            "best -0.125 (design 17)  00:02:30 elapsed  about 00:03:00 left");
  // A DOE agent scores every design 1: no best design.
  state.ranked = false;
  EXPECT_EQ(progressText(state, 250.0),
            "agent 2 (sizing)  cycle 2/3  evals 40/100  running 2  queued 5  failed 1  "
            "00:02:30 elapsed  about 00:03:00 left");
  EXPECT_EQ(progressClock(-3.0), "00:00:00");
  EXPECT_EQ(progressClock(359999.6), "100:00:00");
}

}  // namespace
}  // namespace karvo
