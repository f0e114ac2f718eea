// Post-processing an earlier run (postNoEval) through the real karvo binary: the designs'
// results are read from the design folders the earlier run left, no analysis runs, and the
// history and the design folders stay byte for byte as they were. Also the run options that
// read results from disk, capture and trace the analysis commands' output, or have no effect.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using namespace karvo::testing;

// A full factorial over x and y (levels -1 and 1) whose analysis "calc" counts its runs in
// "count" and writes f = 10 + 3 x - 2 y into calc.out, from the design's values file.
void writePostStudy(const TempDir& dir) {
  writeFile(dir.file("Assembly.in"),
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: screening\ntype: doe\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: -2\nbaseline: 0\nmax: 2\n"
            "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: -2\nbaseline: 0\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n*END\n");
  writeFile(dir.file("Representation0.in"),
            "*VARIABLE\nname: x\nid: 1\nresolution: 5\n*VARIABLE\nname: y\nid: 2\n"
            "resolution: 5\n*FACTOR\nname: x\nlevels:2\n-1\n1\n*FACTOR\nname: y\nlevels:2\n-1\n1\n"
            "*END\n");
  writeFile(dir.file("Performance0.in"),
            "*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir.file("f.def"), "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("calc.sh"),
            "n=$(cat " + shellQuote(dir.file("count")) + " 2>/dev/null || echo 0)\n"
            "echo $((n + 1)) > " + shellQuote(dir.file("count")) + "\n"
            "echo calc ran\n"
            "awk -F, 'NR == 2 { printf \"RESULT F = %.6f\\n\", 10 + 3 * $1 - 2 * $2 }' "
            "../design_variable_and_parameter_values > calc.out\n");
  writeFile(dir.file("Process0.in"),
            "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\n*ANALYSIS\nname: calc\nid: 1\n"
            "outputFile: calc.out\noutputTagFile: f, f.def\noutputResponse: f\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh " + shellQuote(dir.file("calc.sh")) +
                "\nsuccessReturnValue: 0\n*END\n");
  writeFile(dir.file("study.in"),
            "*STUDY\nname: screening\nstartAgent: 0\nendAgent: 0\nfilePrefix: doe\n"
            "randomSeed: 0.5\nmode: newStudy\n*RUN_OPTIONS\nuseBaseline: 1\n*AGENT\nid: 0\n"
            "method: DOE\nsampleMethod: 2LevelFull\ngenRSMAfterStudy: 0\n*END\n");
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

TEST(PostProcessing, ReadsResultsFromTheDesignFoldersAndMarksDesignsWithoutTheirsAsErrors) {
  TempDir dir("karvo-post");
  writePostStudy(dir);
  ASSERT_EQ(runStudy(dir, {}).status, 0) << studyMessages(dir);
  ASSERT_EQ(readFile(dir.file("count")), "4\n");
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
  bool kept = false;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const fs::path copy = entry.path() / "DOE_0_f.out";
    if (entry.is_directory() && fs::exists(copy)) kept = readFile(copy.string()) == table;
  }
  EXPECT_TRUE(kept);
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

// scriptingVerboseMode makes the job script trace its commands into the captured output.
// Settings without an effect on this system are said so, once each, in the message file and
// on the terminal; the run goes on.
TEST(RunOptions, ScriptingVerboseTracesAndSettingsWithoutEffectWarnOnce) {
  TempDir dir("karvo-no-effect");
  writePostStudy(dir);
  addRunOptions(dir, "scriptingVerboseMode: 1\nsuppressOutputFiles: 1\nusingTcsh: 1\n");
  const ProcessResult result = runStudy(dir, {});
  ASSERT_EQ(result.status, 0) << studyMessages(dir);
  const std::string log = readFile(dir.file("POST_0/Design1/calc/analysis.log"));
  EXPECT_THAT(log, HasLines("calc ran\n"));
  EXPECT_THAT(log, HasLines("+ sh " + dir.file("calc.sh") + "\n"));
  const std::string warnings[] = {
      "The run option \"suppressOutputFiles\" has no effect: the solver writes no per-design "
      "output files other than the logs and the values file that the evaluation of a design "
      "needs.",
      "The run option \"usingTcsh\" has no effect: analysis commands run with /bin/sh, whose "
      "output is captured in the same form whatever the user's shell."};
  const std::string text = studyMessages(dir);
  for (const std::string& warning : warnings) {
    EXPECT_THAT(text, HasLines("*WARNING\n" + warning + "\n"));
    EXPECT_EQ(text.find(warning), text.rfind(warning)) << warning;
    EXPECT_THAT(unwrapped(result.err), ::testing::HasSubstr(warning));
  }
}

}  // namespace
}  // namespace karvo
