// Good study folders run end to end through the real karvo binary: report-only and check-setup
// runs, the start-up banner, report closing blocks, lock files, and what a later run does with
// an earlier run's results (backup folder, `overwrite`, `backupDir=`); what a run may move or
// delete: only what it wrote (folder settings that name the study folder or one above it, an
// evaluation folder that also holds the user's files). Times are masked; paths are the real
// ones.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using ::testing::HasSubstr;
using ::testing::Not;
using namespace karvo::testing;

// Time stamps "2019-05-01T13:04:05.123" become "<TIME>", asctime texts "<ASCTIME>" and the
// elapsed seconds "<N>".
std::string masked(const std::string& text) {
  static const std::regex stamp(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3})");
  static const std::regex asctime(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d{2}:\d{2}:\d{2} \d{4})");
  static const std::regex elapsed(R"(Elapsed time: \d+ seconds)");
  std::string out = std::regex_replace(text, stamp, "<TIME>");
  out = std::regex_replace(out, asctime, "<ASCTIME>");
  return std::regex_replace(out, elapsed, "Elapsed time: <N> seconds");
}

// A study with three agents (two optimization, one robustness) run from agent 1
// to agent 2, with every kind of variable, an objective, a constraint, a plain response, a
// parallel process of one analysis and hashing turned off, so that each part of a report
// has something to show.
void writeBracketStudy(const std::string& dir) {
  writeFile(dir + "/Assembly.in",
            "*TYPE\nversion: 2019.01\n"
            "*AGENT\nid: 0\nname: sizing\ntype: optimization\nrepresentation: 0\nperformance: 0\n"
            "process: 0\n"
            "*AGENT\nid: 1\nname: layout\ntype: optimization\nrepresentation: 0\nperformance: 0\n"
            "process: 0\n"
            "*AGENT\nid: 2\nname: scatter\ntype: reliability and robustness\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir + "/Definitions.in",
            "*DEFINE_SET\nname: grades\nvalues:3\nS235\nS355\nS460\n"
            "*DEFINE_VARIABLE\nname: thickness\ntype: Continuous\nid: 1\nmin: 0.8\nbaseline: 1.0\n"
            "max: 1.6\n"
            "*DEFINE_VARIABLE\nname: grade\ntype: Discrete\nid: 2\nset: grades\nbaseline: 2\n"
            "*DEFINE_VARIABLE\nname: load\ntype: Parameter\nid: 3\nbaseline: 2500\n"
            "*DEFINE_VARIABLE\nname: area\ntype: Dependent\nid: 4\nformula:2\n"
            "w = thickness * 120.0\n_result = w + 1\n"
            "*DEFINE_VARIABLE\nname: label\ntype: String\nid: 5\nbaseline: bracket-A\n"
            "*DEFINE_RESPONSE\nname: mass\ntype: File\n"
            "*DEFINE_RESPONSE\nname: stress\ntype: File\n"
            "*DEFINE_RESPONSE\nname: massRatio\ntype: Formula\nformula: mass / 2.5\n*END\n");
  writeFile(dir + "/Representation0.in",
            "*VARIABLE\nname: thickness\nid: 1\nresolution: 21\n*VARIABLE\nname: grade\nid: 2\n"
            "*END\n");
  writeFile(dir + "/Performance0.in",
            "*RESPONSE\nname: mass\ntype: objective\noption: min_value\nfactor: baseline\n"
            "target: 0\nquadWt: 0\nlinearWt: 1\n"
            "*RESPONSE\nname: stress\ntype: constraint\noption: less_equal\nfactor: 250\n"
            "target: 250\nquadWt: 100\nlinearWt: 10\n"
            "*RESPONSE\nname: massRatio\ntype: response\n*END\n");
  writeFile(dir + "/Process0.in",
            "*PROCESS\nname: bracket process\nparallel: yes\n*ANALYSIS\nname: solve\nid: 1\n"
            "outputFile: result.txt\n*EXECUTION_DEFINITION\ntoolCmd: sh solve.sh\n"
            "numDesigns: 2\n*END\n");
  writeFile(dir + "/study.in",
            "*STUDY\nname: bracket\nstartAgent: 1\nendAgent: 2\nfilePrefix: bracket\n"
            "randomSeed: 0.25\nnParallel: 2\nmode: newStudy\n"
            "*RUN_OPTIONS\nturnOffHashing: 1\n"
            "*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 50\n"
            "*AGENT\nid: 1\nmethod: GA\npopulationSize: 8\nnumCycles: 2\ngenerationsPerCycle: 3\n"
            "crossoverType: 1\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n"
            "outputPrecision: 12\n"
            "*AGENT\nid: 2\nmethod: robustness\nnumEvals: 10\nsampleMethod: OtherLHC\n"
            "genRSMAfterStudy: 0\n*END\n");
}

// The report of agent 1 of the bracket study, byte for byte ({wd}: working directory, {exe}:
// the program as started).
const char* const kLayoutReport = R"(Version: 2019.1.0.8677
Start time: <TIME>

Working directory: {wd}
POST directory: {wd}/POST_1
Evaluation directory: {wd}/bracket_1
ExecCommand: {exe} i=study.in generateReportOnly

*********** GENERAL AGENT INFORMATION ***********

filePrefix: bracket

agentName: layout

Study Type: optimization

studyName: bracket

Agent ID: 1

Agents in this group:  1, 2,

processName: bracket process

Random seed: 0.250000


*********** VARIABLE INFORMATION ***********

Number of design variables: 2
 thickness,    1, CONTINUOUS, 8.000000e-01, 1.000000e+00, 1.600000e+00,         21,                     None,
 grade, 2, DISCRETE, grades,     3, 2, Choices ->S235,S355,S460


Number of parameters: 1

 load,    3, 2.50000000e+03, None


Number of dependents: 1

 area, 4, None, w = thickness * 120.0 _result = w + 1


Number of string parameters: 1

 label,    5, bracket-A


*********** RESPONSE VARIABLE INFORMATION ***********

Number of responses: 3

                 mass,  OBJECTIVE,  Minimize, , Norm = Use baseline design value
               stress, CONSTRAINT, Less than, 2.500000e+02 , Norm = 2.500000e+02
            massRatio, PREREQUISITE, mass / 2.5


*********** EVALUATION PROCESS INFORMATION ***********

Execution mode : PARALLEL

*ANALYSIS
name: solve
id: 1
outputFile: result.txt



*AGENT
id: 1
method: GA
populationSize: 8
numCycles: 2
generationsPerCycle: 3
crossoverType: 1
mutationType: 0
selectionType: 0
selectionParameter: 2
outputPrecision: 12



**** The design hashing has been turned off by the user. Same designs could be re-evaluated.)";

// ---------------------------------------------------------------------------------------
// generateReportOnly

// One report per agent in the range, each describing its own agent (agent 1's byte for byte),
// and the run ends straight after them.
TEST(ReportOnlyRun, WritesOneReportPerAgentInRangeAndEndsThere) {
  TempDir dir;
  writeBracketStudy(dir.path());
  const testing::ProcessResult result = runStudy(dir, {"generateReportOnly"});
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(filesEndingIn(dir.path(), ".rpt"),
              ::testing::ElementsAre("bracket1.rpt", "bracket2.rpt"));
  EXPECT_THAT(filesEndingIn(dir.path(), ".lock"), ::testing::IsEmpty());
  std::string expected = replaced(kLayoutReport, "{wd}", workingDirectory(dir));
  expected = replaced(expected, "{exe}", KARVO_BINARY);
  EXPECT_EQ(masked(readFile(dir.file("bracket1.rpt"))), expected);

  const std::string report = readFile(dir.file("bracket2.rpt"));
  EXPECT_THAT(report, Not(HasSubstr("*EXIT STATE")));
  EXPECT_THAT(report, HasLines("Evaluation directory: " + workingDirectory(dir) + "/bracket_2\n"));
  EXPECT_THAT(report, HasLines("\nagentName: scatter\n\nStudy Type: reliability and robustness\n"));
  // A robustness agent scores nothing: every response of its performance definition is listed
  // as a prerequisite, the objective and the constraint too.
  EXPECT_THAT(report, HasLines("\nNumber of responses: 3\n\n"
                               "                 mass, PREREQUISITE\n"
                               "               stress, PREREQUISITE\n"
                               "            massRatio, PREREQUISITE, mass / 2.5\n"));
  // No end-of-run notes, no cycles; the reports carry the start time of the banner.
  const std::string messages = readFile(dir.file("study.mes"));
  EXPECT_THAT(messages, HasLines("\t**********The evaluation directories are:**********\n"));
  EXPECT_THAT(messages, Not(HasSubstr("END OF RUN INFORMATION")));
  EXPECT_THAT(messages, Not(HasSubstr("End of Cycle")));
  const std::string marker =
      "\t**********     The run start time is:    **********\n\t**********     ";
  const std::size_t at = messages.find(marker);
  ASSERT_NE(at, std::string::npos);
  EXPECT_THAT(report, HasLines("Start time: " + messages.substr(at + marker.size(), 23) + "\n"));
}

// ---------------------------------------------------------------------------------------
// A normal run

const char* const kBanner =
    "\n\t***************************************************\n"
    "\t***************************************************\n"
    "\t**********                               **********\n"
    "\t**********KARVO MDO Version 2019.1.0.8677**********\n"
    "\t**********           Build: 8677         **********\n"
    "\t**********         Linux x86-64          **********\n"
    "\t**********   Multidisciplinary design    **********\n"
    "\t**********  exploration and optimisation **********\n"
    "\t**********                               **********\n"
    "\t***************************************************\n"
    "\t**********                               **********\n"
    "\t**********   Command-line solver for     **********\n"
    "\t**********   studies run unattended      **********\n"
    "\t**********                               **********\n"
    "\t***************************************************\n"
    "\t\n"
    "\t***************************************************\n"
    "\t**********    Directory information      **********\n"
    "\t***************************************************\n"
    "\t**********  The working directory is:    **********\n"
    "\t{wd}\n"
    "\t**********  The evaluation directory is: **********\n"
    "\tAgent 0: {wd}/demo_0\n"
    "\t\n"
    "\n"
    "\t**********     The run start time is:    **********\n"
    "\t**********     <TIME>\n"
    "\n";

class NormalRun : public ::testing::Test {
 protected:
  void SetUp() override { testing::writeMinimalStudy(dir.path()); }
  TempDir dir;
};

TEST_F(NormalRun, WritesTheBannerInTheStartUpOrder) {
  auto result = runStudy(dir);
  ASSERT_EQ(result.status, 0);
  // The sizing agent's batches each say that they are done; then the end of the run.
  std::string out = result.out;
  const std::string batchDone = "*NOTE\nCompleted design evaluation for all designs requested.\n";
  while (out.rfind(batchDone, 0) == 0) out.erase(0, batchDone.size());
  EXPECT_EQ(out,
            "*OUTPUT\nBest design of agent 0 (sizing): design 4\n  x = 0\n"
            "  f = 0 (objective: minimise)\n\n\n\n\tEnd of KARVO run.\n")
      << result.out;
  EXPECT_EQ(testing::withoutProgressLines(result.err), "");
  const std::string messages = masked(readFile(dir.file("study.mes")));
  const std::string banner = replaced(kBanner, "{wd}", workingDirectory(dir));
  EXPECT_THAT(messages, HasLines(banner.substr(1)));
  EXPECT_EQ(occurrences(messages, "The run start time is:"), 1u);
  // Command line, environment, study folder (banner), cycles, end of run.
  const std::string header =
      "\n\tSearch parameter input file name for this process is:\n\tstudy.in\n";
  EXPECT_EQ(messages.compare(0, header.size(), header), 0);
  const std::size_t environment = messages.find("KARVO_PYTHON_PATH was not set.");
  const std::size_t bannerAt = messages.find(banner);
  const std::size_t cycle = messages.find("\n *** End of Cycle ***\n\n");
  const std::size_t end = messages.find("*NOTE\n************END OF RUN INFORMATION************\n");
  EXPECT_LT(environment, bannerAt);
  EXPECT_LT(bannerAt, cycle);
  EXPECT_LT(cycle, end);
  EXPECT_NE(end, std::string::npos);
  EXPECT_THAT(
      messages,
      ::testing::EndsWith("*NOTE\n************END OF RUN INFORMATION************\nElapsed time: "
                          "<N> seconds\nCurrent time: <ASCTIME>\n\n*OUTPUT\nBest design of agent "
                          "0 (sizing): design 4\n  x = 0\n  f = 0 (objective: minimise)\n\n*NOTE\nEnd "
                          "of KARVO run.\n\n"));
}

// ---------------------------------------------------------------------------------------
// Earlier results

// A first run (its sizing agent evaluates designs), then known contents in the files it left
// beside its report, so that where they go can be followed.
class LaterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeMinimalStudy(dir.path());
    ASSERT_EQ(runStudy(dir).status, 0);
    // Nothing earlier to clean up: no clean-up log.
    ASSERT_FALSE(fs::exists(dir.file("StudyDirectoryCleanupLog.log")));
    firstMessages = readFile(dir.file("study.mes"));
    firstReport = readFile(dir.file("demo0.rpt"));
    foldersAfterFirstRun = backupFolders(dir.path());
    fs::create_directories(dir.file("demo_0/Design1"));
    writeFile(dir.file("demo_0/Design1/design.log"), "design 1 evaluated\n");
    writeFile(dir.file("demo0.hst"), "history of the first run");
    writeFile(dir.file("demo0.ckp"), "checkpoint of the first run");
  }

  // Expects `folder` to hold everything the first run left.
  void expectFirstRunIn(const std::string& folder) {
    EXPECT_EQ(readFile(folder + "/study.mes"), firstMessages);
    EXPECT_EQ(readFile(folder + "/demo0.rpt"), firstReport);
    EXPECT_EQ(readFile(folder + "/demo0.hst"), "history of the first run");
    EXPECT_EQ(readFile(folder + "/demo0.ckp"), "checkpoint of the first run");
    EXPECT_EQ(readFile(folder + "/demo_0/Design1/design.log"), "design 1 evaluated\n");
    // The new run evaluates its own designs into a new design folder and history.
    EXPECT_NE(readFile(dir.file("demo_0/Design1/design.log")), "design 1 evaluated\n");
    EXPECT_NE(readFile(dir.file("demo0.hst")), "history of the first run");
    EXPECT_NE(readFile(dir.file("demo0.ckp")), "checkpoint of the first run");
    EXPECT_THAT(readFile(dir.file("demo0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
    EXPECT_EQ(occurrences(readFile(dir.file("demo0.rpt")), "*EXIT STATE"), 1u);
  }

  TempDir dir;
  std::string firstMessages, firstReport;
  std::set<std::string> foldersAfterFirstRun;
};

TEST_F(LaterRun, MovesTheFirstRunsResultsIntoABackupFolder) {
  ASSERT_EQ(runStudy(dir).status, 0);
  // The folder made while the command line was read (both agent numbers 0) takes the message
  // file and then the agent's files. The first run made one too; it may be the same folder
  // when both runs started within one second.
  std::vector<std::string> holding;
  for (const std::string& name : backupFolders(dir.path())) {
    if (fs::exists(dir.file(name + "/study.mes"))) holding.push_back(name);
  }
  ASSERT_EQ(holding.size(), 1u);
  const std::string name = holding[0];
  EXPECT_TRUE(
      std::regex_match(name, std::regex(R"(RESULTS_BACKUP_0_0_\d{2}-\d{2}-\d{2}_\d{6}(AM|PM)(_\d+)?)")))
      << name;
  expectFirstRunIn(dir.file(name));
  const std::string wd = workingDirectory(dir);
  const std::string target = " \"" + wd + "/" + name + "/.\"\n";
  EXPECT_EQ(readFile(dir.file("StudyDirectoryCleanupLog.log")),
            "mv -f \"" + wd + "/demo_0\"" + target + "mv -f \"" + wd + "/demo0.dat\"" + target +
                "mv -f \"" + wd + "/demo0.ckp\"" + target + "mv -f \"" + wd + "/demo0.mem\"" +
                target + "mv -f \"" + wd + "/demo0.rpt\"" + target + "mv -f \"" + wd + "/demo0.hst\"" +
                target + "mv -f \"" + wd + "/demo0.hst.sum\"" + target);
}

TEST_F(LaterRun, OverwriteDeletesInsteadOfBackingUp) {
  ASSERT_EQ(runStudy(dir, {"overwrite"}).status, 0);
  EXPECT_EQ(backupFolders(dir.path()), foldersAfterFirstRun);
  for (const std::string& name : foldersAfterFirstRun) {
    EXPECT_TRUE(fs::is_empty(dir.file(name))) << name;
  }
  // Deleted: the new run's design folder and history are its own.
  EXPECT_NE(readFile(dir.file("demo_0/Design1/design.log")), "design 1 evaluated\n");
  EXPECT_NE(readFile(dir.file("demo0.hst")), "history of the first run");
  EXPECT_NE(readFile(dir.file("demo0.ckp")), "checkpoint of the first run");
  const std::string wd = workingDirectory(dir);
  EXPECT_EQ(readFile(dir.file("StudyDirectoryCleanupLog.log")),
            "rm -f \"" + wd + "/demo0.dat\"\nrm -f \"" + wd + "/demo0.ckp\"\nrm -f \"" + wd +
                "/demo0.mem\"\nrm -f \"" + wd + "/demo0.hst\"\nrm -f \"" + wd +
                "/demo0.hst.sum\"\nrm -rf \"" + wd + "/demo_0\"\n");
  // The message file and the report are written afresh.
  EXPECT_EQ(occurrences(readFile(dir.file("study.mes")), "Search parameter input file name"), 1u);
  EXPECT_EQ(occurrences(readFile(dir.file("demo0.rpt")), "*EXIT STATE"), 1u);
}

// The cleanup log's lines of a move are those of the backup folder above.
TEST_F(LaterRun, BackupDirReceivesThem) {
  ASSERT_EQ(runStudy(dir, {"backupDir=previous"}).status, 0);
  EXPECT_EQ(backupFolders(dir.path()), foldersAfterFirstRun);
  expectFirstRunIn(dir.file("previous"));
  EXPECT_THAT(readFile(dir.file("StudyDirectoryCleanupLog.log")),
              HasLines("mv -f \"" + workingDirectory(dir) + "/demo_0\" \"previous/.\"\n"));
}

// The backup folder is named to the second. A run that starts in the same second as an
// earlier one (a report-only run followed at once by a real run, say) finds a folder of that
// name holding the earlier run's backup, and must not overwrite what it holds. The folders
// of the next seconds are made here beforehand, so the collision does not depend on timing.
TEST_F(LaterRun, BackupFolderOfTheSameSecondIsNotOverwritten) {
  const std::time_t now = std::time(nullptr);
  std::vector<std::string> made;
  for (std::time_t t = now - 1; t <= now + 10; ++t) {
    std::tm local{};
    localtime_r(&t, &local);
    char name[64];
    std::snprintf(name, sizeof name, "RESULTS_BACKUP_0_0_%02d-%02d-%02d_%02d%02d%02d%s",
                  local.tm_mday, local.tm_mon + 1, local.tm_year + 1900 - 2000, local.tm_hour,
                  local.tm_min, local.tm_sec, local.tm_hour >= 12 ? "PM" : "AM");
    // The first run's own (empty) folder may be among them.
    fs::create_directories(dir.file(name));
    writeFile(dir.file(std::string(name) + "/study.mes"), std::string("kept in ") + name);
    writeFile(dir.file(std::string(name) + "/demo0.rpt"), std::string("kept in ") + name);
    made.push_back(name);
  }
  ASSERT_EQ(runStudy(dir).status, 0);
  for (const std::string& name : made) {
    EXPECT_EQ(readFile(dir.file(name + "/study.mes")), "kept in " + name);
    EXPECT_EQ(readFile(dir.file(name + "/demo0.rpt")), "kept in " + name);
  }
  // The first run's files went to a folder of their own.
  bool found = false;
  for (const std::string& name : backupFolders(dir.path())) {
    if (readFile(dir.file(name + "/study.mes")) == firstMessages &&
        readFile(dir.file(name + "/demo0.rpt")) == firstReport) {
      found = true;
    }
  }
  EXPECT_TRUE(found);
}

// ---------------------------------------------------------------------------------------
// Check-setup runs of one analysis that runs in the study folder

// The minimal study with a process: the analysis "calc" runs calc.sh where it lies, in the
// study folder (its input file is its own target), and its response f has an extraction
// definition but no "outputResponse" line. `prefix` starts every file (a byte-order mark).
void writeStudyFolderAnalysis(const TempDir& dir, const std::string& prefix = "") {
  testing::writeMinimalStudy(dir.path());
  auto write = [&](const std::string& name, const std::string& text) {
    writeFile(dir.file(name), prefix + text);
  };
  write("Assembly.in",
        "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
        "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  write("Definitions.in",
        "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
        "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
        "*DEFINE_RESPONSE\nname: f\ntype: File\n*END\n");
  write("Representation0.in", readFile(dir.file("Representation0.in")));
  write("Performance0.in", readFile(dir.file("Performance0.in")));
  write("study.in", readFile(dir.file("study.in")));
  write("Process0.in",
        "*PROCESS\nname: p\n*ANALYSIS\nname: calc\nid: 1\n"
        "inputFile: calc.sh, studyFolder, , file, yes\noutputTagFile: f, f.def\n"
        "*EXECUTION_DEFINITION\nanlFolder: studyFolder\ntoolCmd: sh calc.sh\n"
        "successReturnValue: 0\n*END\n");
  write("f.def", "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("calc.sh"), "echo 'RESULT F = 2.5' > calc.out\n");
}

const char* const kCheckSetupReport =
    "Check-setup run of agent 0 (\"sizing\"): baseline design 1, status FEASIBLE, performance "
    "-2.5.\nf = 2.5\n";

// Byte-order marks at the start of the study files are skipped; the analysis keeps its input
// file. A second run evaluates design 1 again: its design log starts afresh.
TEST(CheckSetupRun, AnalysisInTheStudyFolderExtractsItsTaggedResponseTwice) {
  TempDir dir;
  writeStudyFolderAnalysis(dir, "\xEF\xBB\xBF");
  ASSERT_EQ(runStudy(dir, {"checksetup"}).status, 0) << readFile(dir.file("study.mes"));
  EXPECT_THAT(studyMessages(dir), HasLines(kCheckSetupReport));
  EXPECT_EQ(readFile(dir.file("calc.sh")), "echo 'RESULT F = 2.5' > calc.out\n");
  const std::string log = dir.file("POST_0/Design1/design.log");
  const std::string first = readFile(log);
  EXPECT_THAT(first, HasSubstr("Design 1 evaluated."));
  ASSERT_EQ(runStudy(dir, {"checksetup"}).status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(readFile(log), first);
}

// A check-setup run evaluates the baseline design once: however many cycles the method plans
// (TOLMAR with 200 evaluations plans dozens), the run has one cycle, with one progress line
// and one end-of-cycle mark.
TEST(CheckSetupCycles, OneProgressLineAndOneEndOfCycle) {
  TempDir dir("karvo-check-setup");
  writeMinimalStudy(dir.path());
  const ProcessResult result = runStudy(dir, {"checksetup"});
  ASSERT_EQ(result.status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(occurrences(readFile(dir.file("study.mes")), "*** End of Cycle ***"), 1u);
  // Standard error is no terminal here: the progress line is written once per turn.
  static const std::regex progress("agent 0 \\(sizing\\)  cycle 1/1  evals 1/1  [^\n]*\n");
  EXPECT_TRUE(std::regex_match(result.err, progress)) << result.err;
}

// The post folder of the design cannot be made (a file stands in its way): the design fails
// with the reason in the message file instead of running without logs.
TEST(CheckSetupRun, PostFolderThatCannotBeMadeFailsTheDesign) {
  TempDir dir;
  writeStudyFolderAnalysis(dir);
  writeFile(dir.file("POST_0"), "a file, not a folder\n");
  EXPECT_EQ(runStudy(dir, {"checksetup"}).status, 133);
  const std::string messages = studyMessages(dir);
  EXPECT_THAT(messages, HasSubstr("*ERROR\nError in creating the POST folder \"" +
                                  workingDirectory(dir) + "/POST_0/Design1\" of design 1: "));
  EXPECT_THAT(messages, HasSubstr("The baseline design evaluation for agent 0 was unsuccessful."));
  EXPECT_FALSE(fs::exists(dir.file("calc.out")));
}

// ---------------------------------------------------------------------------------------
// What a run may move or delete: only what it wrote

// The minimal study in `folder` with `lines` added to agent 0's record.
void writeStudyWith(const std::string& folder, const std::string& lines) {
  testing::writeMinimalStudy(folder);
  testing::replaceIn(folder, "study.in", "numEvals: 200\n", "numEvals: 200\n" + lines);
}

testing::ProcessResult runIn(const std::string& folder, std::vector<std::string> options = {}) {
  options.insert(options.begin(), "i=study.in");
  return runKarvo(options, folder, {"KARVO_ROOT=" + folder});
}

std::set<std::string> entriesOf(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The study lives in root/study beside a file of the user's, root/keep.txt. Each setting
// names the study folder or its parent, directly or through a symbolic link.
TEST(FolderHoldingTheStudy, IsRefusedAndNothingIsMovedOrDeleted) {
  const struct {
    const char* lines;
    std::vector<std::string> options;
  } cases[] = {
      {"evaluationDirectory: ..\n", {"overwrite"}},
      {"evaluationDirectory: up\n", {}},  // a link to the parent
      {"postDirectory: ..\n", {"overwrite"}},
  };
  for (const auto& c : cases) {
    TempDir root("karvo-owned");
    const std::string study = root.file("study");
    fs::create_directory(study);
    writeFile(root.file("keep.txt"), "the user's\n");
    writeStudyWith(study, c.lines);
    fs::create_directory_symlink(root.path(), study + "/up");
    const std::set<std::string> before = entriesOf(study);
    testing::ProcessResult result = runIn(study, c.options);
    EXPECT_EQ(result.status, 133) << c.lines;
    EXPECT_EQ(readFile(root.file("keep.txt")), "the user's\n") << c.lines;
    std::set<std::string> after = entriesOf(study);
    after.erase("study.mes");
    EXPECT_EQ(after, before) << c.lines;
    EXPECT_THAT(testing::unwrapped(readFile(study + "/study.mes")),
                HasSubstr("is the study folder or holds it. A new run moves or deletes this "
                          "folder with the earlier results"))
        << c.lines;
  }
}

// backupDir= naming the study folder would "move" the earlier results onto themselves, and the
// new run would then write over them; its parent would receive the study itself.
TEST(BackupFolderHoldingTheStudy, IsRefusedBeforeTheEarlierResultsAreTouched) {
  TempDir dir("karvo-owned");
  testing::writeMinimalStudy(dir.path());
  ASSERT_EQ(runIn(dir.path()).status, 0);
  const std::string report = readFile(dir.file("demo0.rpt"));
  const std::string messages = readFile(dir.file("study.mes"));
  const std::set<std::string> before = entriesOf(dir.path());
  for (const std::string& folder : std::vector<std::string>{".", "..", dir.path()}) {
    testing::ProcessResult result = runIn(dir.path(), {"backupDir=" + folder});
    EXPECT_EQ(result.status, 254) << folder;
    EXPECT_EQ(result.err, "\n**** ERROR ****\n\tThe backup folder (" + folder +
                              ") is the study folder or holds it. Earlier results would be "
                              "moved into themselves.\n\tGive backupDir= a folder outside the "
                              "study folder, or one inside it.\n");
    EXPECT_EQ(readFile(dir.file("demo0.rpt")), report) << folder;
    EXPECT_EQ(readFile(dir.file("study.mes")), messages) << folder;
    EXPECT_EQ(entriesOf(dir.path()), before) << folder;
  }
  // A backup folder inside the evaluation folder would be moved into itself.
  writeStudyWith(dir.path(), "evaluationDirectory: work\n");
  fs::create_directories(dir.file("work/Design1"));
  testing::ProcessResult result = runIn(dir.path(), {"backupDir=work/old"});
  EXPECT_EQ(result.status, 133);
  EXPECT_THAT(testing::unwrapped(readFile(dir.file("study.mes"))),
              HasSubstr("The backup folder (work/old) is the evaluation folder of agent 0 (" +
                        testing::workingDirectory(dir) +
                        "/work), holds it or lies inside it."));
  EXPECT_TRUE(fs::is_directory(dir.file("work/Design1")));
}

// An evaluation folder the user named may hold files of theirs: a new run takes only the
// design folders out of it, into a backup folder of the same name (or deletes them with
// `overwrite`), and leaves the rest.
TEST(EvaluationFolderOfTheUser, KeepsWhatTheSolverDidNotWrite) {
  TempDir dir("karvo-owned");
  writeStudyWith(dir.path(), "evaluationDirectory: work\n");
  fs::create_directories(dir.file("work/Design1"));
  writeFile(dir.file("work/Design1/design.log"), "design 1\n");
  writeFile(dir.file("work/notes.txt"), "the user's\n");
  fs::create_directories(dir.file("work/Designs"));  // not a design folder's name
  ASSERT_EQ(runIn(dir.path(), {"backupDir=old"}).status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(readFile(dir.file("old/work/Design1/design.log")), "design 1\n");
  EXPECT_EQ(readFile(dir.file("work/notes.txt")), "the user's\n");
  EXPECT_TRUE(fs::is_directory(dir.file("work/Designs")));
  EXPECT_FALSE(fs::exists(dir.file("old/work/notes.txt")));

  fs::create_directories(dir.file("work/Design999"));
  ASSERT_EQ(runIn(dir.path(), {"overwrite"}).status, 0);
  EXPECT_FALSE(fs::exists(dir.file("work/Design999")));
  EXPECT_EQ(readFile(dir.file("work/notes.txt")), "the user's\n");
  EXPECT_TRUE(fs::is_directory(dir.file("work/Designs")));
}

}  // namespace
}  // namespace karvo
