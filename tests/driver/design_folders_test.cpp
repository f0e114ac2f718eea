// The folders and logs of designs through the real binary, with and without the run option
// noFolderWithoutAnalysis: a formula-only Latin hypercube study (its history read back with
// karvo export and checked by python), and a study whose process runs an analysis. (Without
// the option every design has its folders: the runs of history_run_test.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace karvo::testing;

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
