// The history of a formula-only study through the real karvo binary: an evaluation agent
// evaluates the designs of its user designs file, a resumed run takes the stored designs over
// and evaluates only the new ones, with design numbers that go on where the first run stopped.
// Also the folders and logs of designs under the run option noFolderWithoutAnalysis.
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

using ::testing::HasSubstr;
using ::testing::StartsWith;
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

// ---------------------------------------------------------------------------------------
// Design folders with and without noFolderWithoutAnalysis

constexpr int kRuns = 30;

// f = x*x + y (objective) and g = x + y (constraint) over a 30-run Latin hypercube;
// `runOptions` is the body of the study's *RUN_OPTIONS record.
void writeHypercubeStudy(const TempDir& dir, const std::string& runOptions) {
  writeFile(dir.file("Assembly.in"),
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: lhs\ntype: doe\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 4\n"
            "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 4\n"
            "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x * x + y\n"
            "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: x + y\n*END\n");
  writeFile(dir.file("Representation0.in"),
            "*VARIABLE\nname: x\nid: 1\nresolution: 41\n*VARIABLE\nname: y\nid: 2\n"
            "resolution: 41\n*FACTOR\nname: x\nlevels: 0, 4\n*FACTOR\nname: y\nlevels: 0, 4\n"
            "*END\n");
  writeFile(dir.file("Performance0.in"),
            "*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: constraint\noption: less_equal\n"
            "factor: 10\ntarget: 10\nquadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir.file("Process0.in"), "*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n");
  writeFile(dir.file("study.in"),
            "*STUDY\nname: lhs\nstartAgent: 0\nendAgent: 0\nfilePrefix: lhs\nrandomSeed: 0.5\n"
            "mode: newStudy\n*RUN_OPTIONS\n" + runOptions + "*AGENT\nid: 0\nmethod: DOE\n"
            "sampleMethod: OtherLHC\nnumEvals: " + std::to_string(kRuns) +
            "\ngenRSMAfterStudy: 0\n*END\n");
}

// The entries of `folder` whose names start with "Design".
int designEntries(const std::string& folder) {
  int count = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.path().filename().string().rfind("Design", 0) == 0) ++count;
  }
  return count;
}

// The history exported and checked by python: every run once, each with f and g of its x, y.
std::string checkHistory(const TempDir& dir) {
  const ProcessResult exported =
      runKarvo({"export", "lhs0.hst", "--out", "history.csv"}, dir.path(),
               {"KARVO_ROOT=" + dir.path()});
  if (exported.status != 0) return "export failed: " + exported.err;
  writeFile(dir.file("check.py"),
            "import csv\n"
            "rows = list(csv.DictReader(open('history.csv', newline='')))\n"
            "assert sorted(int(r['design']) for r in rows) == list(range(1, len(rows) + 1))\n"
            "for r in rows:\n"
            "    x, y, f, g = (float(r[k]) for k in ('x', 'y', 'f', 'g'))\n"
            "    assert r['status'] == 'ok', r\n"
            "    assert abs(f - (x * x + y)) < 1e-9 and abs(g - (x + y)) < 1e-9, r\n"
            "print(len(rows), 'rows')\n");
  return runShell("/usr/bin/python3 check.py 2>&1", dir.path()).out;
}

TEST(DesignFolders, FormulaOnlyDesignsGetNoFoldersWithTheOption) {
  TempDir dir("karvo-no-design-folders");
  writeHypercubeStudy(dir, "noFolderWithoutAnalysis: 1\n");
  ASSERT_EQ(runStudy(dir).status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(designEntries(dir.file("POST_0")), 0);
  EXPECT_EQ(designEntries(dir.file("lhs_0")), 0);
  EXPECT_EQ(checkHistory(dir), std::to_string(kRuns) + " rows\n");
  // The notes of the design logs are in the message file.
  const std::string messages = readFile(dir.file("study.mes"));
  EXPECT_THAT(messages, HasSubstr("Design 1 evaluated. Status: SUCCESS. Performance: "));
  EXPECT_THAT(messages, HasSubstr("Design " + std::to_string(kRuns) +
                                  " evaluated. Status: SUCCESS. Performance: "));
}

// A process that runs an analysis keeps every folder and log under the option.
TEST(DesignFolders, DesignsThatRunAnAnalysisKeepTheirFoldersWithTheOption) {
  TempDir dir("karvo-analysis-folders");
  writeHypercubeStudy(dir, "noFolderWithoutAnalysis: 1\n");
  replaceIn(dir.path(), "Definitions.in", "type: Formula\nformula: x * x + y", "type: File");
  writeFile(dir.file("Process0.in"),
            "*PROCESS\nname: p\n*ANALYSIS\nname: calc\nid: 1\n"
            "inputFile: calc.sh, studyFolder, , file, yes\ninputTagFile: calc.tpl, calc.inp\n"
            "outputFile: calc.out\noutputTagFile: f, f.def\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nsuccessReturnValue: 0\n*END\n");
  writeFile(dir.file("calc.tpl"), "{{x}} {{y}}\n");
  writeFile(dir.file("f.def"), "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("calc.sh"),
            "read x y < calc.inp\n"
            "python3 -c \"print('RESULT F = %.17g' % ($x * $x + $y))\" > calc.out\n");
  replaceIn(dir.path(), "study.in", "numEvals: 30", "numEvals: 4");
  ASSERT_EQ(runStudy(dir).status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(designEntries(dir.file("POST_0")), 4);
  EXPECT_THAT(readFile(dir.file("POST_0/Design4/design.log")),
              StartsWith("*NOTE\nDesign 4 evaluated. Status: SUCCESS. "));
  EXPECT_TRUE(fs::exists(dir.file("POST_0/Design4/calc/analysis.log")));
  EXPECT_TRUE(fs::exists(dir.file("lhs_0/Design4/calc/calc.out")));
  EXPECT_TRUE(fs::exists(dir.file("lhs_0/Design4/design_variable_and_parameter_values")));
}

}  // namespace
}  // namespace karvo
