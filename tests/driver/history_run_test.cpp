// The history of a formula-only study through the real karvo binary: an evaluation agent
// evaluates the designs of its user designs file, a resumed run takes the stored designs over
// and evaluates only the new ones, with design numbers that go on where the first run stopped.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "base/run_files.h"
#include "base/run_state.h"
#include "definitions/study.h"
#include "driver/driver.h"
#include "platform/process.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using namespace karvo::testing;

void writeFormulaStudy(const std::string& dir, const std::string& runOptions = "") {
  writeFile(dir + "/Assembly.in",
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: reference\ntype: evaluation\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir + "/Definitions.in",
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 10\n"
            "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 10\n"
            "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x * x + y\n*END\n");
  writeFile(dir + "/Representation0.in",
            "*VARIABLE\nname: x\nid: 1\nresolution: 11\n*VARIABLE\nname: y\nid: 2\n"
            "resolution: 11\n*END\n");
  writeFile(dir + "/Performance0.in",
            "*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir + "/Process0.in", "*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n");
  writeFile(dir + "/study.in",
            "*STUDY\nname: formulas\nstartAgent: 0\nendAgent: 0\nfilePrefix: formulas\n"
            "randomSeed: 0.5\nmode: newStudy\n*RUN_OPTIONS\n" + runOptions +
                "useBaseline: 1\n*AGENT\nid: 0\nmethod: GA\npopulationSize: 4\nnumCycles: 1\n"
                "generationsPerCycle: 1\ncrossoverType: 1\nmutationType: 0\nselectionType: 0\n"
                "selectionParameter: 2\n*END\n");
}

std::string designsFile(const std::vector<std::string>& lines) {
  std::string text = "$ reference designs\n*DESIGN_ONLY\n";
  for (const std::string& line : lines) text += line + "\n";
  return text + "*END\n";
}

TEST(HistoryRun, ResumedRunEvaluatesOnlyTheNewDesignsAndGoesOnWithTheirNumbers) {
  TempDir dir("karvo-history-run");
  writeFormulaStudy(dir.path());
  const std::vector<std::string> first = {"dontMapDesign, a, 1, 2", "dontMapDesign, b, 3, 4",
                                          "mapDesign, c, 5, 6"};
  writeFile(dir.file("UserDesigns0_first.in"), designsFile(first));
  ProcessResult result = runStudy(dir);
  ASSERT_EQ(result.status, 0) << studyMessages(dir);
  EXPECT_THAT(studyMessages(dir), HasLines("Num in: 3, num existing: 0, num duplicates: 0\n"));
  EXPECT_TRUE(fs::exists(dir.file("formulas0.hst")));
  // The file was read: it is renamed so that it is not read twice.
  EXPECT_TRUE(fs::exists(dir.file("UserDesigns0_first.in_backup_at_3_evals")));
  EXPECT_FALSE(fs::exists(dir.file("UserDesigns0_first.in")));

  // The resumed run is offered the old designs again with two new ones.
  std::vector<std::string> second = first;
  second.push_back("dontMapDesign, d, 7, 8");
  second.push_back("dontMapDesign, e, 9, 9");
  writeFile(dir.file("UserDesigns0_second.in"), designsFile(second));
  result = runStudy(dir, {"useHistory"});
  ASSERT_EQ(result.status, 0) << studyMessages(dir);
  const std::string text = studyMessages(dir);
  EXPECT_THAT(text, HasLines("Read 3 designs from history with an identical problem presentation "
                             "(representation, performance) as agent 0.\n"))
      << text;
  EXPECT_THAT(text, HasLines("Num in: 2, num existing: 0, num duplicates: 0\n")) << text;
  EXPECT_THAT(text, ::testing::HasSubstr("Design \"a\" (number 1 in the order defined) in the user "
                                         "designs file already exists in the KARVO database and "
                                         "will not be evaluated."));
  // Designs 4 and 5 are the new ones, evaluated in this run.
  EXPECT_TRUE(fs::exists(dir.file("POST_0/Design4/design.log")));
  EXPECT_TRUE(fs::exists(dir.file("POST_0/Design5/design.log")));
  EXPECT_FALSE(fs::exists(dir.file("POST_0/Design6")));
  EXPECT_THAT(readFile(dir.file("POST_0/Design5/design.log")),
              ::testing::HasSubstr("Design 5 evaluated. Status: FEASIBLE. Performance: -90."));
  // Formula-only designs keep their folders by default, the notes in their design logs.
  EXPECT_THAT(text, ::testing::Not(::testing::HasSubstr("Design 5 evaluated.")));
}

// A run stopped before its designs were evaluated leaves the user designs file in place, so
// that the next run evaluates them; nothing was stored.
TEST(HistoryRun, StoppedRunLeavesItsUserDesignsFileForTheNextRun) {
  TempDir dir("karvo-history-stop");
  writeFormulaStudy(dir.path());
  writeFile(dir.file("UserDesigns0_first.in"),
            designsFile({"dontMapDesign, a, 1, 2", "dontMapDesign, b, 3, 4"}));
  writeFile(dir.file("study.io"), "stop\n");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  EXPECT_THAT(readFile(dir.file("formulas0.rpt")), HasLines("*EXIT STATE\nCancelled\n"));
  EXPECT_TRUE(fs::exists(dir.file("UserDesigns0_first.in")));
  EXPECT_FALSE(fs::exists(dir.file("formulas0.hst")));

  ASSERT_EQ(runStudy(dir, {"useHistory"}).status, 0) << studyMessages(dir);
  EXPECT_THAT(studyMessages(dir), HasLines("Num in: 2, num existing: 0, num duplicates: 0\n"));
  EXPECT_TRUE(fs::exists(dir.file("UserDesigns0_first.in_backup_at_2_evals")));
}

TEST(HistoryRun, DisabledHistoryWritesNoFile) {
  TempDir dir("karvo-history-off");
  writeFormulaStudy(dir.path(), "disableHistory: 1\n");
  writeFile(dir.file("UserDesigns0_first.in"), designsFile({"dontMapDesign, a, 1, 2"}));
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  EXPECT_FALSE(fs::exists(dir.file("formulas0.hst")));
  EXPECT_TRUE(fs::exists(dir.file("POST_0/Design1/design.log")));
}

// An evaluation agent waits for more designs only while an agent linked to it runs in
// another solver process: its lock file is there and its owner lives.
TEST(EvaluationAgentWait, WaitsOnlyForALinkedAgentRunningElsewhere) {
  TempDir dir("karvo-eval-wait");
  resetRunState();
  run.workingDirectory = dir.path();
  run.runPrefix = "demo";
  run.startAgent = run.finalAgent = 0;
  agents.clear();
  agents.resize(3);
  for (int a = 0; a < 3; ++a) agents[a].number = a;
  agents[0].type = kAgentEvaluation;
  agents[1].links.push_back({.donor = 0});  // agent 1 names the evaluation agent
  const Agent& evaluator = agents[0];
  EXPECT_FALSE(evaluationAgentWaits(evaluator));  // no lock file: agent 1 is not running

  writeFile(dir.file("demo1.lock"), "Lock File for Agent #: 1\n" + lockOwnerText());
  EXPECT_TRUE(evaluationAgentWaits(evaluator));
  run.finalAgent = 1;  // agent 1 in this process's own range: its turn comes here
  EXPECT_FALSE(evaluationAgentWaits(evaluator));
  run.finalAgent = 0;

  // An agent without a link to it does not count, running or not.
  fs::remove(dir.file("demo1.lock"));
  writeFile(dir.file("demo2.lock"), "Lock File for Agent #: 2\n" + lockOwnerText());
  EXPECT_FALSE(evaluationAgentWaits(evaluator));

  // The lock of a process that has ended is stale: nothing to wait for.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  writeFile(dir.file("demo1.lock"),
            "Lock File for Agent #: 1\n*OWNER\n" + platform::hostName() + " " +
                std::to_string(child) + " 1\n");
  EXPECT_FALSE(evaluationAgentWaits(evaluator));
  agents.clear();
  resetRunState();
}

}  // namespace
}  // namespace karvo
