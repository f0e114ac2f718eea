// The progress line: its text, drawn live on a terminal, one plain line per agent turn on a
// pipe.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "base/progress.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using testing::readFile;
using testing::runKarvo;
using testing::runShell;
using testing::shellQuote;
using testing::TempDir;
using testing::writeFile;
using testing::writeMinimalStudy;

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

class ProgressRun : public ::testing::Test {
 protected:
  void SetUp() override {
    writeMinimalStudy(dir.path());
    // Two cycles of a genetic search of 4 designs per generation, 2 generations per cycle,
    // on more values of x than they evaluate (the run would end once every value is).
    writeFile(dir.file("Representation0.in"),
              "*VARIABLE\nname: x\nid: 1\nresolution: 1001\n*END\n");
    writeFile(dir.file("study.in"),
              "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\n"
              "randomSeed: 0.5\nmode: newStudy\n*AGENT\nid: 0\nmethod: GA\npopulationSize: 4\n"
              "numCycles: 2\ngenerationsPerCycle: 2\ncrossoverType: 1\nmutationType: 0\n"
              "selectionType: 0\nselectionParameter: 2\n*END\n");
  }
  TempDir dir{"karvo-progress"};
};

// On a pipe: no control characters, one line per cycle of the agent.
TEST_F(ProgressRun, OnAPipeOneLinePerCycleWithoutControlCharacters) {
  const testing::ProcessResult result =
      runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::regex line(
      "agent 0 \\(sizing\\)  cycle ([12])/2  evals (\\d+)/16  running 0  queued 0  failed 0  "
      "best f -?[0-9.e+-]+ \\(design \\d+\\)  \\d\\d:\\d\\d:\\d\\d elapsed( +about "
      "\\d\\d:\\d\\d:\\d\\d left)?\n");
  std::string rest = result.err;
  std::smatch match;
  int lines = 0;
  while (std::regex_search(rest, match, line, std::regex_constants::match_continuous)) {
    ++lines;
    EXPECT_EQ(match[1].str(), std::to_string(lines));
    rest = match.suffix();
  }
  EXPECT_EQ(lines, 2) << result.err;
  EXPECT_EQ(rest, "") << result.err;
}

// On a terminal (a pseudo-terminal made by script(1)): the line is redrawn in place, and
// the messages of the run start on a clean line.
TEST_F(ProgressRun, OnATerminalTheLineIsRedrawnInPlace) {
  const testing::ProcessResult result = runShell(
      "KARVO_ROOT=" + shellQuote(dir.path()) + " script -qec " +
          shellQuote(shellQuote(KARVO_BINARY) + " i=study.in") + " /dev/null",
      dir.path());
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_THAT(result.out, ::testing::HasSubstr("\ragent 0 (sizing)  cycle 1/2  evals "));
  EXPECT_THAT(result.out, ::testing::HasSubstr("\x1b[K"));
  // The end-of-run note is not written onto the line.
  EXPECT_THAT(result.out, ::testing::HasSubstr("\r\x1b[K"));
  EXPECT_THAT(result.out, ::testing::HasSubstr("End of KARVO run."));
}

}  // namespace
}  // namespace karvo
