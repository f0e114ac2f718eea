// The response-extraction test (`karvo checkPerformance <id>`) end to end through the real
// binary: the exact listing of "checkPerformance.out" for a good extraction, a failing
// analysis and a missing value; "checkPerformance.lck" after a normal and a fatal end; no
// agent lock files and no design folders; only the analyses the performance needs run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver/check_performance.h"
#include "base/design.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using ::testing::HasSubstr;
using ::testing::Not;
using namespace karvo::testing;

const std::string kHeader = "\n\t********* OUTPUT FOR RESPONSE EXTRACTION TEST *********\n\n";
const std::string kTrailer =
    "\n\n\t****************** END OF OUTPUT **********************\n\n\tExiting normally.\n";

// One agent scored by Performance3.in (objective f, plain response g = f * 2) and run by a
// process of two analyses: "calc" extracts f and h from calc.out through the General portal
// and calculates g; "other" only calculates k, which the performance does not need.
void writeStudy(const std::string& dir, const std::string& script) {
  writeFile(dir + "/Assembly.in",
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
            "representation: 0\nperformance: 3\nprocess: 0\n*END\n");
  writeFile(dir + "/Definitions.in",
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1.5\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n*DEFINE_RESPONSE\nname: h\ntype: File\n"
            "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: f * 2\n"
            "*DEFINE_RESPONSE\nname: k\ntype: Formula\nformula: 1.0\n*END\n");
  writeFile(dir + "/Representation0.in", "*VARIABLE\nname: x\nid: 1\nresolution: 5\n*END\n");
  writeFile(dir + "/Performance3.in",
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: response\n*END\n");
  writeFile(dir + "/calc.sh", script);
  writeFile(dir + "/f.def", "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir + "/h.def", "file: calc.out\nanchor: RESULT H\nword: 4\n");
  writeFile(dir + "/Process0.in",
            "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n"
            "*ANALYSIS\nname: calc\nid: 1\noutputFile: calc.out\n"
            "outputTagFile: f, f.def\noutputTagFile: h, h.def\noutputResponse: f\n"
            "outputResponse: h\ncalculatedResponse: g\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nsuccessReturnValue: 0\n"
            "*ANALYSIS\nname: other\nid: 2\ncalculatedResponse: k\n"
            "*EXECUTION_DEFINITION\ntoolCmd: touch other.ran\n*END\n");
}

ProcessResult checkPerformance(const TempDir& dir, const std::string& id) {
  return runKarvo({"checkPerformance", id}, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

// Files and folders the test must not leave: agent lock files, design and post folders.
void expectNoRunFiles(const TempDir& dir) {
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(entry.path().extension() == ".lock") << name;
    EXPECT_FALSE(entry.is_directory()) << name;
  }
}

bool exists(const TempDir& dir, const std::string& name) { return fs::exists(dir.file(name)); }

// The error block of a value the portal could not extract from "calc.out" for `response`.
std::string portalError(const std::string& response, const TempDir& dir,
                        const std::string& reason) {
  return "*ERROR\nThe following message was received from the portal during extraction for "
         "response " + response + ":\nNo value extracted from the file \"" +
         workingDirectory(dir) + "/calc.out\" by the definition [anchor \"RESULT " +
         (response == "f" ? "F" : "H") + "\", occurrence first, line offset 0, word 4]: " +
         reason + "\n\n";
}

std::string noData(const std::string& response) {
  return "*ERROR\nThe processing of response \"" + response +
         "\" resulted in no data being extracted. This design will be marked as an error "
         "design.\n\n";
}

TEST(CheckPerformanceRun, ListsTheExtractedAndCalculatedResponses) {
  TempDir dir("karvo-checkperf");
  writeStudy(dir.path(), "echo 'RESULT F = 2.5' > calc.out\necho 'RESULT H = 7e-3' >> calc.out\n");
  ProcessResult result = checkPerformance(dir, "3");
  ASSERT_EQ(result.status, 0) << result.err << readFile(dir.file("checkPerformance.out"));
  EXPECT_EQ(readFile(dir.file("checkPerformance.out")),
            kHeader + "\n f = 2.5\n h = 0.007\n g = 5\n" + kTrailer);
  ASSERT_TRUE(exists(dir, "checkPerformance.lck"));
  EXPECT_EQ(readFile(dir.file("checkPerformance.lck")), "");
  // "other" gives nothing the performance needs: it does not run.
  EXPECT_FALSE(exists(dir, "other.ran"));
  expectNoRunFiles(dir);
  // Notes are suppressed everywhere in this mode.
  EXPECT_THAT(result.out, Not(HasSubstr("Starting submission")));
}

// The analysis fails and writes f but not h: the failure is reported, f is still read, h is
// listed as an error and g is calculated from f.
TEST(CheckPerformanceRun, FailingAnalysisIsReportedAndItsOutputStillReadAMissingValueListed) {
  TempDir dir("karvo-checkperf");
  writeStudy(dir.path(), "echo 'RESULT F = 1.25' > calc.out\nexit 3\n");
  ProcessResult result = checkPerformance(dir, "3");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(unwrapped(readFile(dir.file("checkPerformance.out"))),
            kHeader +
                "*ERROR\nError in running the analysis \"calc\" to evaluate responses associated "
                "with it.\n\n" + portalError("h", dir, "the anchor was not found.") + noData("h") +
                "\n f = 1.25\n h = ERROR\n g = 2.5\n" + kTrailer);
  EXPECT_TRUE(exists(dir, "checkPerformance.lck"));
  expectNoRunFiles(dir);
}

TEST(CheckPerformanceRun, AnalysisWithoutOutputGivesErrorForEveryResponse) {
  TempDir dir("karvo-checkperf");
  writeStudy(dir.path(), "exit 0\n");
  ProcessResult result = checkPerformance(dir, "3");
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string missing = "the file could not be opened (No such file or directory).";
  EXPECT_EQ(unwrapped(readFile(dir.file("checkPerformance.out"))),
            kHeader + portalError("f", dir, missing) + portalError("h", dir, missing) +
                "*ERROR\nThe output file \"" + workingDirectory(dir) +
                "/calc.out\" was not found.\n\n" +
                noData("f") + noData("h") +
                "*ERROR\nCould not set variable \"f\" in the Python session. The data for this "
                "variable was not available.\n\n\n f = ERROR\n h = ERROR\n g = ERROR\n" + kTrailer);
}

// The command names the variable x, which takes its baseline 1.5; the second analysis gives
// k, which the performance now needs too, and fails: its error starts on a line of its own
// after the list of the first analysis.
TEST(CheckPerformanceRun, VariablesTakeTheirBaselineAndEachListEndsItsLine) {
  TempDir dir("karvo-checkperf");
  writeStudy(dir.path(), "echo \"RESULT F = $1\" > calc.out\necho 'RESULT H = 1' >> calc.out\n");
  replaceIn(dir.path(), "Process0.in", "toolCmd: sh calc.sh", "toolCmd: sh calc.sh %x%");
  replaceIn(dir.path(), "Process0.in", "toolCmd: touch other.ran",
            "toolCmd: exit 4\nsuccessReturnValue: 0");
  writeFile(dir.file("Performance3.in"),
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: response\n"
            "*RESPONSE\nname: k\ntype: response\n*END\n");
  ProcessResult result = checkPerformance(dir, "3");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir.file("checkPerformance.out")),
            kHeader + "\n f = 1.5\n h = 1\n g = 3\n" +
                "*ERROR\nError in running the analysis \"other\" to evaluate responses associated "
                "with it.\n\n\n k = 1\n" +
                kTrailer);
}

// Each fatal end: the lock file stays, the error is the whole output, and nothing ran.
TEST(CheckPerformanceFatal, EndsWithLockFileAndItsErrorBeforeAnyAnalysisRuns) {
  const struct {
    const char* id;
    bool withoutProcess;
    std::string error;
  } cases[] = {
      {"4", false,
       "The performance id 4 given to checkPerformance is not used by any agent in "
       "\"Assembly.in\". There is no performance \ndefinition \"Performance4.in\" to check."},
      {"3", true,
       "No process is associated with the performance id 3: agent 0 (\"sizing\"), the first "
       "agent that uses it, has no process to run."},
  };
  for (const auto& c : cases) {
    TempDir dir("karvo-checkperf");
    SCOPED_TRACE(c.error);
    writeStudy(dir.path(), "touch calc.ran\n");
    if (c.withoutProcess) replaceIn(dir.path(), "Assembly.in", "process: 0\n", "");
    ProcessResult result = checkPerformance(dir, c.id);
    EXPECT_EQ(result.status, 133);
    EXPECT_TRUE(exists(dir, "checkPerformance.lck"));
    EXPECT_EQ(unwrapped(readFile(dir.file("checkPerformance.out"))),
              unwrapped("*ERROR\n" + c.error + "\n\nRun exiting due to an error\n"));
    EXPECT_FALSE(exists(dir, "calc.ran"));
    expectNoRunFiles(dir);
  }
}

TEST(CheckPerformanceValue, FormatsNumbersTextsAndMissingData) {
  ResponseValue value;
  EXPECT_EQ(checkPerformanceValueText(value), "ERROR");
  value.present = true;
  value.status = 1;
  value.values = {2.5, 1e-12, 123456789012345.0};
  EXPECT_EQ(checkPerformanceValueText(value), "2.5, 1e-12, 1.23456789012e+14");
  value.values.clear();
  value.text = {"steel", "S355"};
  EXPECT_EQ(checkPerformanceValueText(value), "steel, S355");
  value.status = 0;  // extracted, then refused (an accept range): no usable value
  EXPECT_EQ(checkPerformanceValueText(value), "ERROR");
}

}  // namespace
}  // namespace karvo
