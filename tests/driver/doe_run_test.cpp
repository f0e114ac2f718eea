// Formula-only and analysis studies through the real karvo binary. Designs of experiments: a
// factorial whose analysis file the hand computation predicts (and its plots), an orthogonal
// array run by a real analysis script two at a time, resumed and killed studies that evaluate
// only the runs not stored, a design sweep, user arrays; post-processing an earlier run
// (postNoEval) and the run options that read results from disk, capture and trace the analysis
// commands' output, or have no effect. The history of an evaluation agent: its user designs
// file, a resumed run that evaluates only the new designs with numbers that go on where the
// first run stopped; and the folders and logs of designs under noFolderWithoutAnalysis.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "base/run_files.h"
#include "base/run_state.h"
#include "definitions/study.h"
#include "driver/driver.h"
#include "platform/process.h"
#include "support/one_agent_study.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace karvo::testing;

// Three variables at the levels -1 and +1 (so that their values are the +-1 codes) and the
// response f = 10 + 3 x - 2 y + 1.5 x y, which does not depend on z.
void writeFactorialStudy(const TempDir& dir, const std::string& agentMethod) {
  OneAgentStudy study{.name = "screening", .type = "doe", .prefix = "doe"};
  study.definitions = kDefaultFormat;
  int id = 0;
  for (const char* name : {"x", "y", "z"}) {
    study.definitions += continuous(name, ++id, "-2", "0", "2");
    study.representation += slot(name, id, 5);
  }
  for (const char* name : {"x", "y", "z"}) {
    study.representation += std::string("*FACTOR\nname: ") + name + "\nlevels:2\n-1\n1\n";
  }
  study.definitions += formulaResponse("f", "10 + 3*x - 2*y + 1.5*x*y");
  study.performance = minimised("f");
  study.runOptions = "useBaseline: 1\n";
  study.agent = agentMethod + "genRSMAfterStudy: 0\n";
  writeOneAgentStudy(dir.path(), study);
}

// A run stopped after some designs keeps them in its history; the resumed run evaluates the
// others only, so that every run of the array is evaluated exactly once, and its analysis file
// is the one the hand computation predicts (and its plots).
TEST(DoeRun, ResumedFactorialEvaluatesOnlyTheRunsNotStoredAndGivesTheHandComputedAnalysis) {
  TempDir dir("karvo-doe-resume");
  writeFactorialStudy(dir, "method: DOE\nsampleMethod: 2LevelFull\n");
  // The design whose analysis the stop cut off has no result: it is evaluated again, the
  // others are not.
  const auto [first, stored, text] = stopAndResume(dir, "doe0.rpt", 8, "DOE_0_f.out");
  ASSERT_GE(stored, 0);
  EXPECT_THAT(text, HasLines("Num in: 8, num existing: " + std::to_string(stored) +
                             ", num duplicates: 0\n\n*NOTE\nEvaluations saved by hashing so far: " +
                             std::to_string(stored) + "\n"));
  EXPECT_EQ(std::stoi(readFile(dir.file("count"))), first + 8 - stored);
  const std::string table = readFile(dir.file("DOE_0_f.out"));
  // The run table: standard order, A changing fastest.
  EXPECT_EQ(table.substr(0, 541),
            "DOE INFORMATION\n"
            "---------------\n"
            "Number of factors:     3\n"
            "Number of Runs:        8\n"
            "        A,           B,           C,      Response\n"
            "     1,        0,           0,           0,          1.05000000e+01\n"
            "     2,        1,           0,           0,          1.35000000e+01\n"
            "     3,        0,           1,           0,          3.50000000e+00\n"
            "     4,        1,           1,           0,          1.25000000e+01\n"
            "     5,        0,           0,           1,          1.05000000e+01\n"
            "     6,        1,           0,           1,          1.35000000e+01\n");
  // The full two-level analysis of these runs (worked by hand in doe_analysis_test): the
  // interaction of the two factors that matter, and the total sum of squares.
  EXPECT_THAT(table, HasLines("AB, 8.5, 11.5, 3, 18, 0.147541,10.5, 3.5, 13.5, 12.5 \n"));
  EXPECT_THAT(table, HasLines("Error = 0\nTotal = 122\n"));
  EXPECT_THAT(text,
              HasLines("Agent 0 (\"screening\"): 8 runs over 3 factors (A = x, 2 levels; B = y, "
                       "2 levels; C = z, 2 levels).\n"));
  // The plots of the results: the main effects (two means of each of the three factors) and
  // the normal plot of the three main effects and the three two-factor interactions.
  const ProcessResult plot =
      runKarvo({"plot", "study.in", "--out", "out"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(plot.status, 0) << plot.err;
  EXPECT_EQ(plot.out, "out/effects_0_f.svg\nout/normal_0_f.svg\n");
  const std::string effects = readFile(dir.file("out/effects_0_f.svg"));
  EXPECT_EQ(occurrences(effects, " class=\"mean\""), 6u);
  EXPECT_EQ(occurrences(effects, " class=\"means\""), 3u);
  const std::string normal = readFile(dir.file("out/normal_0_f.svg"));
  EXPECT_EQ(occurrences(normal, " class=\"effect\""), 6u);
  EXPECT_THAT(normal, ::testing::HasSubstr(">y*z<"));
}

// An L9 orthogonal array over two three-level factors, run by a real analysis two at a time;
// `wait` goes before the analysis's work and `after` after it.
void writeArrayAnalysisStudy(const TempDir& dir, const std::string& wait = "",
                             const std::string& after = "") {
  writeFactorialStudy(dir, "method: DOE\nsampleMethod: Taguchi\ntaguchiArray: L9\n");
  // Three levels for x and y; z keeps two and is laid on a three-level column (its values
  // spread over its range).
  replaceIn(dir.path(), "Representation0.in",
            "x\nlevels:2\n-1\n1\n*FACTOR\nname: y\nlevels:2\n-1\n1",
            "x\nlevels:3\n-1\n0\n1.5\n*FACTOR\nname: y\nlevels:3\n0\n1\n2");
  replaceIn(dir.path(), "Definitions.in", "type: Formula\nformula: 10 + 3*x - 2*y + 1.5*x*y",
            "type: File");
  writeFile(dir.file("Process0.in"),
            "*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: calc\nid: 1\n"
            "inputFile: calc.sh, studyFolder, , file, yes\ninputTagFile: calc.tpl, calc.inp\n"
            "outputFile: calc.out\noutputTagFile: f, f.def\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nnumDesigns: 2\nsuccessReturnValue: 0\n"
            "*END\n");
  writeFile(dir.file("calc.tpl"), "{{x}} {{y}} {{z}}\n");
  writeFile(dir.file("f.def"), "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("calc.sh"),
            wait + "read x y z < calc.inp\n"
            "python3 -c \"print('RESULT F = %.10g' % (2*$x + $y*$y + 0*$z))\" > calc.out\n" +
                after);
  replaceIn(dir.path(), "study.in", "mode: newStudy", "nParallel: 2\nmode: newStudy");
}

// A batch killed while its designs run keeps the designs it finished: each analysis of a
// second is stored as it ends, not only when the whole array is done, and the resumed run
// evaluates only the others. The level averages of the file are those of the script's
// response.
TEST(DoeRun, KilledArrayOfARealAnalysisKeepsTheDesignsItFinished) {
  TempDir dir("karvo-doe-killed");
  writeArrayAnalysisStudy(dir, "sleep 1\n", "echo $PWD >> " + dir.file("finished") + "\n");
  // Killed once six of the nine analyses have ended; the two running then end by themselves.
  writeFile(dir.file("kill.sh"),
            "KARVO_ROOT=. " + shellQuote(KARVO_BINARY) + " i=study.in >/dev/null 2>&1 &\n"
            "pid=$!\n"
            "while [ \"$(cat finished 2>/dev/null | wc -l)\" -lt 6 ]; do sleep 0.02; done\n"
            "kill -9 $pid\nwait $pid\nsleep 1.5\n");
  const ProcessResult killed = runShell("sh kill.sh || true", dir.path());
  ASSERT_EQ(killed.status, 0) << killed.err;
  const std::string before = readFile(dir.file("finished"));
  const auto ended = std::count(before.begin(), before.end(), '\n');
  ASSERT_TRUE(fs::exists(dir.file("doe0.hst")));

  ASSERT_EQ(runStudy(dir, {"useHistory"}).status, 0) << studyMessages(dir);
  const std::string text = studyMessages(dir);
  const int stored = designsReadFromHistory(text);
  ASSERT_GE(stored, 0) << text;
  // Six had ended when the run was killed; how many of them the run had noticed by then
  // depends on the machine's load, but a run that stored only whole arrays kept none.
  EXPECT_GE(stored, 1);
  EXPECT_THAT(text, HasLines("Num in: 9, num existing: " + std::to_string(stored) +
                             ", num duplicates: 0\n"));
  const std::string finished = readFile(dir.file("finished"));
  EXPECT_EQ(std::count(finished.begin(), finished.end(), '\n'), ended + 9 - stored);
  const std::string table = readFile(dir.file("DOE_0_f.out"));
  // x at -1, 0, 1.5 adds -2, 0, 3 to the mean of y*y over y = 0, 1, 2 (5/3).
  EXPECT_THAT(table, HasLines("Source, Avg Lev 0, Avg Lev 1, Avg Lev 2\n"));
  EXPECT_THAT(table, HasLines("   A,  -0.333333,   1.666667,   4.666667\n")) << table;
  EXPECT_THAT(table, HasLines("   B,   0.333333,   1.333333,   4.333333\n")) << table;
}

TEST(DoeRun, DesignSweepEvaluatesAnEvenGridWithinItsBudget) {
  TempDir dir("karvo-doe-sweep");
  writeFactorialStudy(dir, "method: DesignSweep\nnumEvals: 30\n");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  EXPECT_THAT(studyMessages(dir),
              HasLines("Agent 0 (\"screening\"): the design sweep evaluates a grid of 27 designs "
                       "(30 allowed); values per variable: x: 3, y: 3, z: 3.\n"));
  EXPECT_THAT(studyMessages(dir), HasLines("Num in: 27, num existing: 0, num duplicates: 0\n"));
  EXPECT_TRUE(fs::exists(dir.file("doe0.hst")));
}

// The user's array of Doe_input.in, and existing designs handed in a user designs file.
TEST(DoeRun, UserArrayAndExistingDesignsAreEvaluatedAndTabled) {
  TempDir dir("karvo-doe-file");
  writeFactorialStudy(dir, "method: DOE\nsampleMethod: OtherFile\n");
  writeFile(dir.file("Doe_input.in"), "3 3 2\n0 0 0\n1 1 0\n1 0 1\n");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  EXPECT_THAT(studyMessages(dir), HasLines("Num in: 3, num existing: 0, num duplicates: 0\n"));
  EXPECT_THAT(readFile(dir.file("DOE_0_f.out")),
              HasLines("     3,        1,           0,           1,          1.35000000e+01\n"));

  // The same folder, run again with existing designs.
  writeFactorialStudy(dir, "method: DOE\nsampleMethod: OtherExisting\n");
  writeFile(dir.file("UserDesigns0_old.in"),
            "*DESIGN_ONLY\ndontMapDesign, a, -1, -1, 0\ndontMapDesign, b, 1, 1, 0\n"
            "dontMapDesign, c, 0, 1, 0\n*END\n");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  const std::string text = readFile(dir.file("DOE_0_f.out"));
  // Three designs: levels on a grid of three between -1 and 1.
  EXPECT_THAT(text, HasLines("Number of Runs:        3\n"));
  EXPECT_THAT(text, HasLines("     3,        1,           2,           1,          8.00000000e+00\n"))
      << text;
}

TEST(DoeRun, DefinitionErrorsEndTheRunWithTheirMessage) {
  TempDir dir("karvo-doe-errors");
  writeFactorialStudy(dir, "method: DOE\nsampleMethod: 2LevelPartial\ngenerator: 1\n");
  // Three factors, one generator: allowed (C = AB), four runs.
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  EXPECT_THAT(studyMessages(dir), HasLines("Num in: 4, num existing: 0, num duplicates: 0\n"));

  // Two generators for three factors: refused.
  writeFactorialStudy(dir, "method: DOE\nsampleMethod: 2LevelPartial\ngenerator: 2\n");
  EXPECT_NE(runStudy(dir).status, 0);
  EXPECT_THAT(studyMessages(dir), HasSubstr("Error when generating fractional factorial array."));
}

// ---------------------------------------------------------------------------------------
// Post-processing an earlier run, and run options of the analyses

// A full factorial over x and y (levels -1 and 1) whose analysis "calc" counts its runs in
// "count" and writes f = 10 + 3 x - 2 y into calc.out, from the design's values file.
void writePostStudy(const TempDir& dir) {
  writeOneAgentStudy(
      dir.path(),
      {.name = "screening", .type = "doe", .prefix = "doe",
       .definitions = kDefaultFormat + continuous("x", 1, "-2", "0", "2") +
                      continuous("y", 2, "-2", "0", "2") +
                      "*DEFINE_RESPONSE\nname: f\ntype: File\n",
       .representation = slot("x", 1, 5) + slot("y", 2, 5) +
                         "*FACTOR\nname: x\nlevels:2\n-1\n1\n*FACTOR\nname: y\nlevels:2\n-1\n1\n",
       .performance = minimised("f"),
       .process = "*PROCESS\nname: p\n*ANALYSIS\nname: calc\nid: 1\noutputFile: calc.out\n"
                  "outputTagFile: f, f.def\noutputResponse: f\n"
                  "*EXECUTION_DEFINITION\ntoolCmd: sh " +
                  shellQuote(dir.file("calc.sh")) + "\nsuccessReturnValue: 0\n",
       .runOptions = "useBaseline: 1\n",
       .agent = "method: DOE\nsampleMethod: 2LevelFull\ngenRSMAfterStudy: 0\n"});
  writeFile(dir.file("f.def"), "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("calc.sh"),
            "n=$(cat " + shellQuote(dir.file("count")) + " 2>/dev/null || echo 0)\n"
            "echo $((n + 1)) > " + shellQuote(dir.file("count")) + "\n"
            "echo calc ran\n"
            "awk -F, 'NR == 2 { printf \"RESULT F = %.6f\\n\", 10 + 3 * $1 - 2 * $2 }' "
            "../design_variable_and_parameter_values > calc.out\n");
}

// Adds `lines` to the study file's run options.
void addRunOptions(const TempDir& dir, const std::string& lines) {
  replaceIn(dir.path(), "study.in", "useBaseline: 1\n", "useBaseline: 1\n" + lines);
}

// Every file under `folder`, by its path relative to it, with its bytes.
std::map<std::string, std::string> filesUnder(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), folder).string()] = readFile(entry.path().string());
    }
  }
  return files;
}

// The earlier run also traces its commands into the captured output (scriptingVerboseMode),
// and is given two settings without an effect on this system: each is said so once, in the
// message file and on the terminal, and the run goes on.
TEST(PostProcessing, ReadsResultsFromTheDesignFoldersAndMarksDesignsWithoutTheirsAsErrors) {
  TempDir dir("karvo-post");
  writePostStudy(dir);
  addRunOptions(dir, "scriptingVerboseMode: 1\nsuppressOutputFiles: 1\nusingTcsh: 1\n");
  const ProcessResult first = runStudy(dir, {});
  ASSERT_EQ(first.status, 0) << studyMessages(dir);
  ASSERT_EQ(readFile(dir.file("count")), "4\n");
  const std::string log = readFile(dir.file("POST_0/Design1/calc/analysis.log"));
  EXPECT_THAT(log, HasLines("calc ran\n"));
  EXPECT_THAT(log, HasLines("+ sh " + dir.file("calc.sh") + "\n"));
  for (const std::string& warning :
       {std::string("The run option \"suppressOutputFiles\" has no effect: the solver writes no "
                    "per-design output files other than the logs and the values file that the "
                    "evaluation of a design needs."),
        std::string("The run option \"usingTcsh\" has no effect: analysis commands run with "
                    "/bin/sh, whose output is captured in the same form whatever the user's "
                    "shell.")}) {
    const std::string text = studyMessages(dir);
    EXPECT_THAT(text, HasLines("*WARNING\n" + warning + "\n"));
    EXPECT_EQ(text.find(warning), text.rfind(warning)) << warning;
    EXPECT_THAT(unwrapped(first.err), ::testing::HasSubstr(warning));
  }
  const std::string history = readFile(dir.file("doe0.hst"));
  const std::string table = readFile(dir.file("DOE_0_f.out"));
  // The earlier run's result of design 2 (x = 1, y = -1: 15) is edited by hand: the
  // post-processing must take it from the folder.
  writeFile(dir.file("doe_0/Design2/calc/calc.out"), "RESULT F = 21.5\n");
  const std::map<std::string, std::string> designs = filesUnder(dir.file("doe_0"));

  const ProcessResult post = runStudy(dir, {"postNoEval"});
  ASSERT_EQ(post.status, 0) << studyMessages(dir);
  EXPECT_EQ(readFile(dir.file("count")), "4\n");  // no analysis ran
  EXPECT_EQ(readFile(dir.file("doe0.hst")), history);
  EXPECT_EQ(filesUnder(dir.file("doe_0")), designs);
  const std::string newTable = readFile(dir.file("DOE_0_f.out"));
  EXPECT_THAT(newTable, ::testing::HasSubstr("     2,        1,           0,          2.15000000e+01\n"));
  EXPECT_THAT(table, ::testing::HasSubstr("     2,        1,           0,          1.50000000e+01\n"));
  // The earlier outputs it rewrote are kept in the backup folder.
  const std::set<std::string> backups = backupFolders(dir.path());
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(readFile(dir.file(*backups.begin() + "/DOE_0_f.out")), table);
  EXPECT_THAT(unwrapped(readFile(dir.file("POST_0/Design1/calc/analysis.log"))),
              ::testing::HasSubstr("The results of this analysis are read from its folder (" +
                                   workingDirectory(dir) +
                                   "/doe_0/Design1/calc) as an earlier evaluation left it. No "
                                   "command is run.\n"));

  // A design the earlier run did not leave, or whose folder holds other values, is an error
  // design; nothing is run and its folder stays as it is.
  fs::remove_all(dir.file("doe_0/Design3"));
  std::string values = readFile(dir.file("doe_0/Design4/design_variable_and_parameter_values"));
  values.replace(values.rfind("1.0"), 3, "1.5");
  writeFile(dir.file("doe_0/Design4/design_variable_and_parameter_values"), values);
  addRunOptions(dir, "dontStopOnDesignErrors: 1\n");

  ASSERT_EQ(runStudy(dir, {"postNoEval"}).status, 0) << studyMessages(dir);
  EXPECT_EQ(readFile(dir.file("count")), "4\n");
  EXPECT_FALSE(fs::exists(dir.file("doe_0/Design3")));
  EXPECT_EQ(readFile(dir.file("doe_0/Design4/design_variable_and_parameter_values")), values);
  const std::string root = workingDirectory(dir);
  EXPECT_THAT(studyMessages(dir),
              HasLines("*ERROR\nDesign 3 of agent 0 has no design folder (" + root +
                       "/doe_0/Design3) with the results of an earlier evaluation. Since "
                       "designs are only post-processed (postNoEval), it is not evaluated and "
                       "is marked as an error design.\n"));
  EXPECT_THAT(studyMessages(dir),
              HasLines("*ERROR\nThe design folder " + root +
                       "/doe_0/Design4 does not hold design 4 of agent 0: its file "
                       "\"design_variable_and_parameter_values\" is missing or gives other "
                       "values. Its results are not read and the folder is left as it is; the "
                       "design is marked as an error design.\n"));
}

// captureOutput 0 keeps the output of every analysis out of its log. A new run with
// readDesignResultsFromDisk takes the results of the designs whose folders the earlier run left
// (copied, not moved, into the backup folder) and runs nothing.
TEST(RunOptions, CaptureOutputZeroThenReadDesignResultsFromDiskRunsNothing) {
  TempDir dir("karvo-read-disk");
  writePostStudy(dir);
  addRunOptions(dir, "captureOutput: 0\n");
  ASSERT_EQ(runStudy(dir, {}).status, 0) << studyMessages(dir);
  const std::string log = readFile(dir.file("POST_0/Design1/calc/analysis.log"));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("calc ran")));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("*OUTPUTFILE")));
  const std::string table = readFile(dir.file("DOE_0_f.out"));
  addRunOptions(dir, "readDesignResultsFromDisk: 1\n");
  ASSERT_EQ(runStudy(dir, {}).status, 0) << studyMessages(dir);
  EXPECT_EQ(readFile(dir.file("count")), "4\n");
  EXPECT_EQ(readFile(dir.file("DOE_0_f.out")), table);
  EXPECT_TRUE(fs::exists(dir.file("doe_0/Design4/calc/calc.out")));
}

// ---------------------------------------------------------------------------------------
// The history of a formula-only evaluation agent, and design folders

void writeFormulaStudy(const std::string& dir, const std::string& runOptions = "") {
  writeOneAgentStudy(
      dir, {.name = "reference", .type = "evaluation", .prefix = "formulas",
            .definitions = continuous("x", 1, "0", "1", "10") + continuous("y", 2, "0", "1", "10") +
                           formulaResponse("f", "x * x + y"),
            .representation = slot("x", 1, 11) + slot("y", 2, 11),
            .performance = minimised("f"),
            .runOptions = runOptions + "useBaseline: 1\n",
            .agent = "method: GA\npopulationSize: 4\nnumCycles: 1\ngenerationsPerCycle: 1\n"
                     "crossoverType: 1\nmutationType: 0\nselectionType: 0\n"
                     "selectionParameter: 2\n"});
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
  // A run stopped before its designs were evaluated leaves the user designs file in place, so
  // that the next run evaluates them; nothing was stored.
  writeFile(dir.file("study.io"), "stop\n");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  EXPECT_THAT(readFile(dir.file("formulas0.rpt")), HasLines("*EXIT STATE\nCancelled\n"));
  EXPECT_TRUE(fs::exists(dir.file("UserDesigns0_first.in")));
  EXPECT_FALSE(fs::exists(dir.file("formulas0.hst")));
  ProcessResult result = runStudy(dir, {"useHistory"});
  ASSERT_EQ(result.status, 0) << studyMessages(dir);
  EXPECT_THAT(studyMessages(dir), HasLines("Num in: 3, num existing: 0, num duplicates: 0\n"));
  EXPECT_TRUE(fs::exists(dir.file("formulas0.hst")));
  // The file was read: it is renamed so that it is not read twice.
  EXPECT_TRUE(fs::exists(dir.file("UserDesigns0_first.in_backup_at_3_evals")));
  EXPECT_FALSE(fs::exists(dir.file("UserDesigns0_first.in")));
  // The evaluation folder of the earlier run: a resumed run keeps it in place.
  fs::create_directories(dir.file("formulas_0"));
  writeFile(dir.file("formulas_0/notes.txt"), "design 1\n");

  // The resumed run (of a study whose mode is still "newStudy") is offered the old designs
  // again with two new ones.
  std::vector<std::string> second = first;
  second.push_back("dontMapDesign, d, 7, 8");
  second.push_back("dontMapDesign, e, 9, 9");
  writeFile(dir.file("UserDesigns0_second.in"), designsFile(second));
  result = runStudy(dir, {"useHistory"});
  ASSERT_EQ(result.status, 0) << studyMessages(dir);
  const std::string text = studyMessages(dir);
  EXPECT_THAT(text, HasLines("*WARNING\nSince the \"useHistory\" command line option was "
                             "specified, the study will be treated as a resumed study instead of "
                             "a new study.\n\n"));
  EXPECT_EQ(readFile(dir.file("formulas_0/notes.txt")), "design 1\n");
  EXPECT_THAT(readFile(dir.file("formulas0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
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
  writeOneAgentStudy(
      dir.path(),
      {.name = "lhs", .type = "doe", .prefix = "lhs",
       .definitions = kDefaultFormat + continuous("x", 1, "0", "1", "4") +
                      continuous("y", 2, "0", "1", "4") + formulaResponse("f", "x * x + y") +
                      formulaResponse("g", "x + y"),
       .representation = slot("x", 1, 41) + slot("y", 2, 41) +
                         "*FACTOR\nname: x\nlevels: 0, 4\n*FACTOR\nname: y\nlevels: 0, 4\n",
       .performance = minimised("f") + atMost("g", "10", "10"),
       .runOptions = runOptions,
       .agent = "method: DOE\nsampleMethod: OtherLHC\nnumEvals: " + std::to_string(kRuns) +
                "\ngenRSMAfterStudy: 0\n"});
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
  // The run table shows the values the runs were evaluated at: on each variable's grid
  // (steps of 0.1 from 0), within the factor's range, with the response at those values.
  std::istringstream table(readFile(dir.file("DOE_0_f.out")));
  std::string line;
  for (int i = 0; i < 5; ++i) std::getline(table, line);
  EXPECT_EQ(line, "               A,               B,   Response");
  int runs = 0;
  while (std::getline(table, line) && !line.empty()) {
    SCOPED_TRACE(line);
    int number = 0;
    double x = 0, y = 0, f = 0;
    char comma = 0;
    std::istringstream row(line);
    ASSERT_TRUE(row >> number >> comma >> x >> comma >> y >> comma >> f);
    EXPECT_EQ(number, ++runs);
    EXPECT_NEAR(x * 10, std::round(x * 10), 1e-9);
    EXPECT_NEAR(y * 10, std::round(y * 10), 1e-9);
    EXPECT_TRUE(x >= 0 && x <= 4 && y >= 0 && y <= 4);
    EXPECT_DOUBLE_EQ(f, x * x + y);
  }
  EXPECT_EQ(runs, kRuns);
  // The notes of the design logs are in the message file.
  const std::string messages = readFile(dir.file("study.mes"));
  EXPECT_THAT(messages, HasSubstr("Design 1 evaluated. Status: SUCCESS. Performance: "));
  EXPECT_THAT(messages, HasSubstr("Design " + std::to_string(kRuns) +
                                  " evaluated. Status: SUCCESS. Performance: "));
}

// A process that runs an analysis keeps every folder and log under the option; with the
// history disabled, no history file is written.
TEST(DesignFolders, DesignsThatRunAnAnalysisKeepTheirFoldersWithTheOption) {
  TempDir dir("karvo-analysis-folders");
  writeHypercubeStudy(dir, "noFolderWithoutAnalysis: 1\ndisableHistory: 1\n");
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
  EXPECT_FALSE(fs::exists(dir.file("lhs0.hst")));
}

}  // namespace
}  // namespace karvo
