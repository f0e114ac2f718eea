// Study folders run end to end through the real karvo binary. Good ones: report-only and
// check-setup runs, the start-up banner, report closing blocks, lock files, and what a later
// run does with an earlier run's results (backup folder, `overwrite`, `backupDir=`); what a run
// may move or delete: only what it wrote. Broken ones, each starting from the small valid study
// and breaking one thing: exit status 133, the exact error text in the message file and on the
// terminal, "Run exiting due to an error", no lock file of its own left behind and no report
// (or, for an error found after the reports exist, reports closed with "Error"). And the
// settings accepted with a warning or that change what the run writes. Stopping a run from
// outside: SIGINT, SIGTERM and SIGHUP end a check-setup run in order while its analysis runs;
// after a SIGKILL the guard ends the analysis and the next run takes the stale lock file over;
// which lock files are stale; what an analysis left running in the background ends with the
// run, unless "stop keep" keeps it. Times are masked; paths are the real ones.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/run_files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "support/calc_study.h"
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

// ---------------------------------------------------------------------------------------
// Earlier results

// A first run (its sizing agent evaluates designs), then known contents in the files it left
// beside its report, so that where they go can be followed.
class LaterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeMinimalStudy(dir.path());
    first = runStudy(dir);
    ASSERT_EQ(first.status, 0);
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
  testing::ProcessResult first;
  std::string firstMessages, firstReport;
  std::set<std::string> foldersAfterFirstRun;
};

// The first run itself: its output, and its message file in the start-up order. Then a run
// with `overwrite`: it deletes the first run's results instead of backing them up.
TEST_F(LaterRun, FirstRunWritesTheBannerInTheStartUpOrderAndOverwriteDeletesItsResults) {
  // The sizing agent's batches each say that they are done; then the end of the run.
  std::string out = first.out;
  const std::string batchDone = "*NOTE\nCompleted design evaluation for all designs requested.\n";
  while (out.rfind(batchDone, 0) == 0) out.erase(0, batchDone.size());
  EXPECT_EQ(out,
            "*OUTPUT\nBest design of agent 0 (sizing): design 4\n  x = 0\n"
            "  f = 0 (objective: minimise)\n\n\n\n\tEnd of KARVO run.\n")
      << first.out;
  EXPECT_EQ(testing::withoutProgressLines(first.err), "");
  const std::string messages = masked(firstMessages);
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

// The cleanup log's lines of a move are those of the backup folder above. The folder's name
// is as long as allowed (one character more is refused: CommandLineRefusals).
TEST_F(LaterRun, BackupDirReceivesThem) {
  const std::string previous(255, 'p');
  ASSERT_EQ(runStudy(dir, {"backupDir=" + previous}).status, 0);
  EXPECT_EQ(backupFolders(dir.path()), foldersAfterFirstRun);
  expectFirstRunIn(dir.file(previous));
  EXPECT_THAT(readFile(dir.file("StudyDirectoryCleanupLog.log")),
              HasLines("mv -f \"" + workingDirectory(dir) + "/demo_0\" \"" + previous + "/.\"\n"));
}

// The backup folder is named to the second. A run that starts in the same second as an
// earlier one (a report-only run followed at once by a real run, say) finds a folder of that
// name holding the earlier run's backup, and must not overwrite what it holds. The folders
// of the next seconds are made here beforehand, so the collision does not depend on timing:
// the folder made while the command line was read (both agent numbers 0) takes the message
// file and then the agent's files, under a name of its own.
TEST_F(LaterRun, MovesTheFirstRunsResultsIntoABackupFolderOfItsOwn) {
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
  std::vector<std::string> holding;
  for (const std::string& name : backupFolders(dir.path())) {
    if (readFile(dir.file(name + "/study.mes")) == firstMessages) holding.push_back(name);
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

// ---------------------------------------------------------------------------------------
// Check-setup runs of one analysis that runs in the study folder

// The calc study whose analysis runs calc.sh where it lies, in the study folder (its input
// file is its own target), and whose response f has an extraction definition but no
// "outputResponse" line. `prefix` starts every study file (a byte-order mark).
void writeStudyFolderAnalysis(const TempDir& dir, const std::string& prefix) {
  writeCalcStudy(dir.path(), {.script = "echo 'RESULT F = 2.5' > calc.out\n",
                              .extraExecution = "anlFolder: studyFolder\n", .withFormula = false});
  replaceIn(dir.path(), "Process0.in", "outputResponse: f\n", "");
  replaceIn(dir.path(), "study.in", "numEvals: 20\n", "numEvals: 200\n");
  for (const char* name : {"Assembly.in", "Definitions.in", "Representation0.in",
                           "Performance0.in", "Process0.in", "study.in", "f.def"}) {
    writeFile(dir.file(name), prefix + readFile(dir.file(name)));
  }
}

const char* const kCheckSetupReport =
    "Check-setup run of agent 0 (\"sizing\"): baseline design 1, status FEASIBLE, performance "
    "-2.5.\nf = 2.5\n";

// Byte-order marks at the start of the study files are skipped; the analysis keeps its input
// file. A second run evaluates design 1 again: its design log starts afresh. However many
// cycles the method plans (TOLMAR with 200 evaluations plans dozens), the run has one cycle,
// with one progress line and one end-of-cycle mark.
TEST(CheckSetupRun, AnalysisInTheStudyFolderExtractsItsTaggedResponseTwice) {
  TempDir dir;
  writeStudyFolderAnalysis(dir, "\xEF\xBB\xBF");
  const ProcessResult result = runStudy(dir, {"checksetup"});
  ASSERT_EQ(result.status, 0) << readFile(dir.file("study.mes"));
  EXPECT_THAT(studyMessages(dir), HasLines(kCheckSetupReport));
  EXPECT_EQ(occurrences(readFile(dir.file("study.mes")), "*** End of Cycle ***"), 1u);
  // Standard error is no terminal here: the progress line is written once per turn.
  static const std::regex progress("agent 0 \\(sizing\\)  cycle 1/1  evals 1/1  [^\n]*\n");
  EXPECT_TRUE(std::regex_match(result.err, progress)) << result.err;
  EXPECT_EQ(readFile(dir.file("calc.sh")), "echo 'RESULT F = 2.5' > calc.out\n");
  const std::string log = dir.file("POST_0/Design1/design.log");
  const std::string first = readFile(log);
  EXPECT_THAT(first, HasSubstr("Design 1 evaluated."));
  ASSERT_EQ(runStudy(dir, {"checksetup"}).status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(readFile(log), first);

  // The post folder of the design cannot be made (a file stands in its way): the design fails
  // with the reason in the message file instead of running without logs.
  fs::remove_all(dir.file("POST_0"));
  fs::remove(dir.file("calc.out"));
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
    const std::vector<std::string> before = filesEndingIn(study, "");
    testing::ProcessResult result = runIn(study, c.options);
    EXPECT_EQ(result.status, 133) << c.lines;
    EXPECT_EQ(readFile(root.file("keep.txt")), "the user's\n") << c.lines;
    std::vector<std::string> after = filesEndingIn(study, "");
    std::erase(after, "study.mes");
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
  const std::vector<std::string> before = filesEndingIn(dir.path(), "");
  for (const std::string& folder : std::vector<std::string>{".", "..", dir.path()}) {
    testing::ProcessResult result = runIn(dir.path(), {"backupDir=" + folder});
    EXPECT_EQ(result.status, 254) << folder;
    EXPECT_EQ(result.err, "\n**** ERROR ****\n\tThe backup folder (" + folder +
                              ") is the study folder or holds it. Earlier results would be "
                              "moved into themselves.\n\tGive backupDir= a folder outside the "
                              "study folder, or one inside it.\n");
    EXPECT_EQ(readFile(dir.file("demo0.rpt")), report) << folder;
    EXPECT_EQ(readFile(dir.file("study.mes")), messages) << folder;
    EXPECT_EQ(filesEndingIn(dir.path(), ""), before) << folder;
  }
}

// An evaluation folder the user named may hold files of theirs: a new run takes only the
// design folders out of it, into a backup folder of the same name (or deletes them with
// `overwrite`), and leaves the rest. A backup folder inside it would be moved into itself.
TEST(EvaluationFolderOfTheUser, KeepsWhatTheSolverDidNotWrite) {
  TempDir dir("karvo-owned");
  writeStudyWith(dir.path(), "evaluationDirectory: work\n");
  fs::create_directories(dir.file("work/Design1"));
  writeFile(dir.file("work/Design1/design.log"), "design 1\n");
  writeFile(dir.file("work/notes.txt"), "the user's\n");
  fs::create_directories(dir.file("work/Designs"));  // not a design folder's name
  EXPECT_EQ(runIn(dir.path(), {"backupDir=work/old"}).status, 133);
  EXPECT_THAT(testing::unwrapped(readFile(dir.file("study.mes"))),
              HasSubstr("The backup folder (work/old) is the evaluation folder of agent 0 (" +
                        testing::workingDirectory(dir) + "/work), holds it or lies inside it."));
  EXPECT_EQ(readFile(dir.file("work/Design1/design.log")), "design 1\n");
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

// ---------------------------------------------------------------------------------------
// Broken study folders and settings accepted with a warning

constexpr int kFatalStatus = 133;
const std::string kRunExiting = "Run exiting due to an error\n";
const std::string kEndOfRunStdout = "\n\n\tEnd of KARVO run.\n";

// Rewrites "Assembly.in" and the study file for optimization agents named `names` (ids 0, 1,
// ...), all on the minimal study's representation and performance, run from `start` to `end`.
void writeAgents(const std::string& dir, const std::vector<std::string>& names, int start,
                 int end) {
  std::string assembly = "*TYPE\nversion: 2019.01\n";
  std::string study = "*STUDY\nname: demo\nstartAgent: " + std::to_string(start) +
                      "\nendAgent: " + std::to_string(end) +
                      "\nfilePrefix: demo\nrandomSeed: 0.5\nmode: newStudy\n";
  for (std::size_t id = 0; id < names.size(); ++id) {
    assembly += "*AGENT\nid: " + std::to_string(id) + "\nname: " + names[id] +
                "\ntype: optimization\nrepresentation: 0\nperformance: 0\n";
    study += "*AGENT\nid: " + std::to_string(id) + "\nmethod: TOLMAR\nnumEvals: 200\n";
  }
  writeFile(dir + "/Assembly.in", assembly + "*END\n");
  writeFile(dir + "/study.in", study + "*END\n");
}

// The body of the fatal error block: the text between the last "*ERROR" header before
// "Run exiting due to an error" and that line, unwrapped.
std::string fatalBlock(const std::string& messages) {
  const std::string text = unwrapped(messages);
  const std::size_t exiting = text.find("\n\n" + kRunExiting);
  if (exiting == std::string::npos) return "(no \"Run exiting\" line)";
  const std::size_t header = text.rfind("*ERROR\n", exiting);
  if (header == std::string::npos) return "(no *ERROR block)";
  return text.substr(header + 7, exiting - header - 7);
}

// Checks what every fatal end leaves: status, the exact error block, the closing notes, the
// standard streams, and no lock file.
void expectFatalEnd(const ProcessResult& result, const std::string& dir,
                    const std::string& errorText) {
  EXPECT_EQ(result.status, kFatalStatus);
  // The terminal gets the error block too, then the line that ends the run.
  EXPECT_EQ(fatalBlock(result.err), errorText);
  EXPECT_THAT(result.err, ::testing::EndsWith("\n\n" + kRunExiting));
  EXPECT_EQ(result.out, kEndOfRunStdout);
  const std::string messages = readFile(dir + "/study.mes");
  EXPECT_EQ(fatalBlock(messages), errorText);
  EXPECT_EQ(occurrences(messages, kRunExiting), 1u);
  EXPECT_THAT(messages, HasLines("*NOTE\n************END OF RUN INFORMATION************\n"));
  EXPECT_THAT(messages, HasLines("*NOTE\nEnd of KARVO run.\n\n"));
  EXPECT_THAT(filesEndingIn(dir, ".lock"), ::testing::IsEmpty());
}

// ---------------------------------------------------------------------------------------
// One broken folder per case

struct BadStudyCase {
  const char* label;                                    // test name
  std::function<void(const std::string& dir)> breakIt;  // breaks the minimal study in dir
  std::string errorText;  // the fatal block as written, "{wd}" for the folder
  std::string before = "";  // text just before the block's header ("": not checked)
};

void PrintTo(const BadStudyCase& c, std::ostream* os) { *os << c.label; }

class BadStudy : public ::testing::TestWithParam<BadStudyCase> {};

TEST_P(BadStudy, EndsWithItsErrorAndLeavesNoLockOrReport) {
  const BadStudyCase& c = GetParam();
  TempDir dir;
  writeMinimalStudy(dir.path());
  c.breakIt(dir.path());
  if (HasFatalFailure()) return;
  auto result = runStudy(dir);
  const std::string wd = workingDirectory(dir);
  expectFatalEnd(result, dir.path(), replaced(c.errorText, "{wd}", wd));
  EXPECT_THAT(readFile(dir.file("study.mes")), ::testing::EndsWith("*NOTE\nEnd of KARVO run.\n\n"));
  if (!c.before.empty()) {
    EXPECT_THAT(studyMessages(dir),
                HasLines(replaced(c.before + "*ERROR\n" + c.errorText + "\n\n", "{wd}", wd) +
                         kRunExiting));
  }
  // Every one of these errors is found before the reports are created.
  EXPECT_THAT(filesEndingIn(dir.path(), ".rpt"), ::testing::IsEmpty());
}

// Breaks `file` of the minimal study by replacing `from` with `to`.
std::function<void(const std::string&)> edit(const std::string& file, const std::string& from,
                                             const std::string& to) {
  return [=](const std::string& d) { replaceIn(d, file, from, to); };
}

// The study file with `lines` added to agent 0's record.
std::function<void(const std::string&)> agentWith(const std::string& lines) {
  return edit("study.in", "numEvals: 200", "numEvals: 200\n" + lines);
}

// Agents 0 to 2 run from `start` to `end`.
std::function<void(const std::string&)> threeAgents(int start, int end) {
  return [=](const std::string& d) { writeAgents(d, {"sizing", "shape", "tuning"}, start, end); };
}

// Messages pinned by the unit tests of a reader appear here once per reader, for the shape of
// a fatal end; the study file and Assembly.in have no unit tests of their own.
std::vector<BadStudyCase> badStudies() {
  return {
      {"UnknownKeywordInAssembly", edit("Assembly.in", "*END", "*NEIGHBOUR\nx: 1\n*END"),
       "Unsupported keyword:\n*NEIGHBOUR\non line 9 of file {wd}/Assembly.in."},
      {"DuplicateAgentId",
       edit("Assembly.in", "*END",
            "*AGENT\nid: 0\nname: again\ntype: optimization\nrepresentation: 0\nperformance: 0\n"
            "*END"),
       "Agent 0 is defined more than once in the Assembly.in file."},
      {"UnknownAgentType", edit("Assembly.in", "type: optimization", "type: genetic"),
       "Setup error",
       "*ERROR\nUnsupported agent type specified (genetic). Allowed types are: optimization, "
       "doe, reliability and robustness, evaluation\n\n"},
      {"MissingStudyName", edit("study.in", "name: demo\n", ""),
       "When reading data for \"Name not defined yet\" of type \"Study\" from file \"Study "
       "Input file\", KARVO encountered the following error in reading the data for property "
       "\"name\":\nThe property is not defined."},
      // A variable's error names the variable, the record and the property.
      {"UndefinedDiscreteSet",
       edit("Definitions.in", "*DEFINE_RESPONSE",
            "*DEFINE_VARIABLE\nname: m\ntype: Discrete\nid: 2\nset: mats\nbaseline: 1\n"
            "*DEFINE_RESPONSE"),
       "The discrete set \"mats\" has not been defined prior to its use for the definition of a "
       "discrete variable.\nThe error is in property \"set\" of the Discrete Variable \"m\" "
       "(record on line 8 of file \"Definitions.in\")."},
      {"MissingRepresentationFile",
       [](const std::string& d) { fs::remove(d + "/Representation0.in"); }, "\tExiting.",
       "\n\n\tError in attempting to read file:\n\t{wd}/Representation0.in\n\n\tError message "
       "received: No such file or directory\n"},
      // Refused: the prefix would put the run's files (lock files among them) elsewhere.
      {"FilePrefixWithAFolder", edit("study.in", "filePrefix: demo", "filePrefix: ../demo"),
       "When reading data for \"demo\" of type \"Study\" from file \"Study Input file\", KARVO "
       "encountered the following error in reading the data for property \"filePrefix\":\nThe "
       "file prefix \"../demo\" names a folder. It may not contain \"/\"."},
      // Refused: the run's log of that name, which a new run deletes, lies outside the folder.
      {"StudyNameWithAFolder", edit("study.in", "name: demo", "name: ../victim"),
       "When reading data for \"../victim\" of type \"Study\" from file \"Study Input file\", "
       "KARVO encountered the following error in reading the data for property \"name\":\nThe "
       "study name \"../victim\" names a folder. It may not contain \"/\"."},
      // Refused: a new run moves or deletes the evaluation folder with the earlier results.
      {"EvaluationFolderIsTheStudyFolder", agentWith("evaluationDirectory: ."),
       "When reading data for \"sizing\" of type \"Agent\" from file \"Study Input file\", "
       "KARVO encountered the following error in reading the data for property "
       "\"evaluationDirectory\":\nThe folder \".\" is the study folder or holds it. A new run "
       "moves or deletes this folder with the earlier results, so it must be a folder of its "
       "own, inside or outside the study folder."},
      {"SeedAboveOne", edit("study.in", "randomSeed: 0.5", "randomSeed: 1.0001"),
       "When reading \"randomSeed\" input for \"demo\" of type \"Study\" from file \"Study Input "
       "file\", the value read (1.0001) is outside the expected range [0, 1]"},
      {"AnalysisOnUndefinedComputeResource",
       [](const std::string& d) {
         replaceIn(d, "Assembly.in", "performance: 0\n", "performance: 0\nprocess: 0\n");
         writeFile(d + "/Process0.in",
                   "*PROCESS\nname: chain\n*ANALYSIS\nname: solve\nid: 1\n"
                   "computeResource: cluster\n*EXECUTION_DEFINITION\ntoolCmd: nil\n*END\n");
       },
       "The compute resource \"cluster\" used in analysis \"solve\" has not been defined in the "
       "model.\nThe error is in property \"computeResource\" of the Analysis definition \"solve\" "
       "(record on line 3 of file \"Process0.in\")."},
      {"UnknownObjectiveOption", edit("Performance0.in", "option: min_value", "option: minimum"),
       "Invalid option selected for an objective/constraint \"f\". Valid choices are min_value, "
       "max_value, min_diff, max_diff for OBJECTIVES and less_equal, equal, greater_equal for "
       "CONSTRAINTS.\nThe error is in property \"option\" of the Study response \"f\" (record on "
       "line 1 of file \"Performance0.in\")."},
      {"StudyFileWithoutStudyRecord", edit("study.in", "*STUDY\n", "$ the study record\n"),
       "No study definition found in the study input file"},
      {"OutputPrecisionTooLarge", agentWith("outputPrecision: 31"),
       "Error in the definition of the study results output precision. The defined value (31) "
       "is too large. It must be smaller than 30. "},
      {"OutputPrecisionTooSmall", agentWith("outputPrecision: 2"),
       "Error in the definition of the study results output precision. The defined value (2) "
       "is too small. It must be at least 3. "},
      {"StartAgentAfterEndAgent", threeAgents(2, 1),
       "The ending agent number (1) defined in the study file must be greater than starting "
       "agent (2)."},
      {"EndAgentBeyondTheAgents", threeAgents(0, 3),
       "Illegal value for starting (0) or finishing (3) agent number defined in the study file; "
       "must be <= 2"},
      {"NegativeStartAgent", threeAgents(-1, 1),
       "Illegal value for starting agent number (-1) defined in the study file. Must be greater "
       "than or equal to zero."},
      // The next two fail after agent 0's lock file was made: it must be gone again.
      {"AgentInRangeWithoutStudyRecord",
       [](const std::string& d) {
         writeAgents(d, {"sizing", "shape"}, 0, 1);
         replaceIn(d, "study.in", "*AGENT\nid: 1\nmethod: TOLMAR\nnumEvals: 200\n", "");
       },
       "The study file has no *AGENT record for agent 1 (\"shape\"), which is in the range of "
       "agents to run."},
      {"ComponentLinksFile",
       [](const std::string& d) { writeFile(d + "/Vantrel_Interfaces.in", "*END\n"); },
       "The study folder holds the component links file \"{wd}/Vantrel_Interfaces.in\". "
       "Component studies, whose agents are linked through that file, cannot be run by this "
       "solver: its agents would run unlinked. Remove the file to run the agents as separate "
       "agents."},
      {"SecondAgentWithUnknownMethod",
       [](const std::string& d) {
         writeAgents(d, {"sizing", "shape"}, 0, 1);
         replaceIn(d, "study.in", "id: 1\nmethod: TOLMAR", "id: 1\nmethod: NSGA3");
       },
       "Error in defining the method details. The method used \"NSGA3\" is not supported."},
      // Found when the study is read, so that a report-only run finds it too.
      {"DoeWithoutVariables",
       [](const std::string& d) {
         replaceIn(d, "Assembly.in", "*END\n",
                   "*AGENT\nid: 1\nname: screening\ntype: doe\nrepresentation: 1\n"
                   "performance: 0\n*END\n");
         writeFile(d + "/Representation1.in", "*END\n");
         replaceIn(d, "study.in", "endAgent: 0\n", "endAgent: 1\n");
         replaceIn(d, "study.in", "*END\n",
                   "*AGENT\nid: 1\nmethod: DOE\nsampleMethod: OtherLHC\nnumEvals: 10\n"
                   "genRSMAfterStudy: 0\n*END\n");
       },
       "No variables have been defined to be changed for the DOE agent(ID = 1).\nThe agent "
       "\"screening\" uses the representation file \"Representation1.in\", which has no *VARIABLE "
       "record. Add one for each variable the DOE method of the agent is to change."},
  };
}

INSTANTIATE_TEST_SUITE_P(Folders, BadStudy, ::testing::ValuesIn(badStudies()),
                         [](const ::testing::TestParamInfo<BadStudyCase>& info) {
                           return std::string(info.param.label);
                         });

// ---------------------------------------------------------------------------------------
// Lock files of another run

// The lock file of an agent outside the range does not matter; of a second agent in it, it
// ends the run, which keeps it (it belongs to the run that made it) and removes its own.
TEST(LeftoverLockFile, OfASecondAgentInTheRangeOnly) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  writeAgents(dir.path(), {"sizing", "shape"}, 0, 0);
  const std::string content = "Lock File for Agent #: 1\nrunning: solve\n";
  writeFile(dir.file("demo1.lock"), content);
  EXPECT_EQ(runStudy(dir).status, 0);
  writeAgents(dir.path(), {"sizing", "shape"}, 0, 1);
  EXPECT_EQ(runStudy(dir).status, kFatalStatus);
  EXPECT_EQ(fatalBlock(readFile(dir.file("study.mes"))),
            "The lock file (" + workingDirectory(dir) +
                "/demo1.lock) exists in the working directory. This means that either the agent "
                "being started is currently running, or was terminated abnormally. Please check "
                "that the old run has stopped or clean the lock file if the run was  terminated "
                "abnormally. Then try to submit the current run again.");
  EXPECT_THAT(filesEndingIn(dir.path(), ".lock"), ::testing::ElementsAre("demo1.lock"));
  EXPECT_EQ(readFile(dir.file("demo1.lock")), content);
}

// ---------------------------------------------------------------------------------------
// Environment

TEST(BadEnvironment, KarvoRootNotAFolderEndsTheStartWithoutABackupFolder) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  const std::string root = dir.path() + "/missing/solver";
  auto result = runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + root});
  expectFatalEnd(result, dir.path(), "environment setup error");
  EXPECT_THAT(studyMessages(dir),
              HasLines("*ERROR\nThe extension environment could not be created: the "
                       "installation folder \"" +
                       root + "\" (KARVO_ROOT) is not a folder.\n"));
  // A start that ends at once has no earlier results to move: it makes no backup folder. The
  // next start moves the message file it left into one.
  EXPECT_EQ(filesEndingIn(dir.path(), ""),
            (std::vector<std::string>{"Assembly.in", "Definitions.in", "Performance0.in",
                                      "Representation0.in", "study.in", "study.mes"}));
  const std::string first = readFile(dir.file("study.mes"));
  ASSERT_EQ(runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + root}).status, kFatalStatus);
  const std::set<std::string> backups = backupFolders(dir.path());
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(filesEndingIn(dir.file(*backups.begin()), ""), std::vector<std::string>{"study.mes"});
  EXPECT_EQ(readFile(dir.file(*backups.begin() + "/study.mes")), first);
}

// ---------------------------------------------------------------------------------------
// An error found once the reports exist closes them with "Error"

TEST(ErrorAfterReports, ClosesTheWrittenReportsWithError) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  writeAgents(dir.path(), {"sizing", "shape"}, 0, 1);
  // Agent 1's report cannot be created: a folder holds its name (`overwrite` leaves
  // reports in place, so the folder is not moved away first).
  fs::create_directory(dir.file("demo1.rpt"));
  auto result = runStudy(dir, {"overwrite"});
  const std::string reportError =
      "Error in creating the KARVO report file. Please ensure that the working directory is "
      "writable and there is disk space available.";
  expectFatalEnd(result, dir.path(), reportError);
  const std::string report = readFile(dir.file("demo0.rpt"));
  EXPECT_THAT(report, HasLines("*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 200\n"
                               "\nEnd of KARVO run.\n*EXIT STATE\nError\n*ENDTIME\n"));
  EXPECT_EQ(occurrences(report, "*EXIT STATE"), 1u);
  // The report that could not be opened for its closing block is named once more, as a
  // warning after the end-of-run notes.
  EXPECT_THAT(studyMessages(dir),
              ::testing::EndsWith("*NOTE\nEnd of KARVO run.\n\n*WARNING\n" + reportError + "\n\n"));
}

// ---------------------------------------------------------------------------------------
// Settings accepted, with or without a warning

// Settings of one run, each seen in the report or the message file: the study record may
// follow the agent records; a random seed of 0 comes from the clock. The option "verbose" is
// observed through the PATH notes of the run preparation, which only a verbose run writes;
// "verbose: 0" in the study overrides the command line (KARVO_ROOT ends in "solver", so its
// parent leaves PATH).
TEST(AcceptedSettings, StudyRecordAfterTheAgentRecordsSeedZeroVerboseAndTheOtherSettings) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  writeFile(dir.file("study.in"),
            "*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 200\noutputPrecision: 9\n*STUDY\n"
            "name: late\nstartAgent: 0\nendAgent: 0\nfilePrefix: late\nrandomSeed: 0\n"
            "nParallel: 1\nmode: newStudy\n*END\n");
  fs::create_directories(dir.file("karvo/solver"));
  const auto verboseRun = [&dir] {
    return runKarvo({"i=study.in", "verbose"}, dir.path(),
                    {"-LD_LIBRARY_PATH", "KARVO_ROOT=" + dir.file("karvo/solver"),
                     "PATH=" + dir.file("karvo") + ":/usr/bin:/bin"});
  };
  EXPECT_EQ(verboseRun().status, 0);
  EXPECT_THAT(readFile(dir.file("study.mes")),
              HasLines("Getting environment variable value for PATH\nPATH (LD_LIBRARY_PATH on "
                       "Linux) variable value before update:\n" + dir.file("karvo") +
                       ":/usr/bin:/bin\nPATH (LD_LIBRARY_PATH on Linux) variable value after "
                       "update:\n/usr/bin:/bin\n"));
  const std::string report = readFile(dir.file("late0.rpt"));
  EXPECT_THAT(report, HasLines("\nstudyName: late\n"));
  EXPECT_THAT(report, HasLines("*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 200\n"));
  EXPECT_THAT(report, HasLines("\nExecution mode : SERIAL\n"));
  EXPECT_THAT(studyMessages(dir),
              HasLines("*WARNING\nThe value for the study results output precision defined (9) "
                       "is very small. This may lead to loss in precision of the data during post "
                       "processing and importing designs into other studies. Please use a higher "
                       "value (at least 10), if possible. \n\n"));
  // The seed derived from the clock lies in (0, 1).
  EXPECT_THAT(report, ::testing::ContainsRegex("\n\nRandom seed: 0\\.[0-9]{6}\n"));
  EXPECT_THAT(report, Not(HasLines("\nRandom seed: 0.000000\n")));
  EXPECT_THAT(filesEndingIn(dir.path(), ".lock"), ::testing::IsEmpty());

  replaceIn(dir.path(), "study.in", "mode: newStudy\n",
            "mode: newStudy\n*RUN_OPTIONS\nverbose: 0\n");
  EXPECT_EQ(verboseRun().status, 0);
  EXPECT_THAT(readFile(dir.file("study.mes")), Not(HasSubstr("Getting environment variable")));
}

// ---------------------------------------------------------------------------------------
// Stopping a run from outside; stale locks; what an analysis leaves running

// A study of one analysis, "calc", whose script is `script`; `execution` is added to its
// execution definition and `definitions` to "Definitions.in".
void writeScriptStudy(const std::string& dir, const std::string& script,
                      const std::string& execution = "", const std::string& definitions = "") {
  writeCalcStudy(dir, {.script = script, .extraExecution = execution,
                       .extraDefinitions = definitions, .withFormula = false});
}

// The analysis notes its own pid and those of a program it leaves in the background in its
// process group and of one in a session of its own, then waits.
const char* kHangingScript =
    "setsid sh -c 'echo $$ > ../../../escaped.pid; exec sleep 300' &\n"
    "sleep 300 & echo $! > ../../../background.pid\necho $$ > ../../../analysis.pid\nwait\n";

// Starts `karvo i=study.in checksetup` in `dir` without waiting for it.
pid_t startKarvo(const TempDir& dir) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("KARVO_ROOT", dir.path().c_str(), 1);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
    int out = ::open("karvo.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execl(KARVO_BINARY, KARVO_BINARY, "i=study.in", "checksetup", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

int waitedStatus(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Whether `done` holds within `seconds` (asked every 20 ms).
bool within(double seconds, const std::function<bool()>& done) {
  for (double until = platform::monotonicSeconds() + seconds; !done(); platform::sleepMillis(20)) {
    if (platform::monotonicSeconds() >= until) return false;
  }
  return true;
}

// The pid written into `path` by the analysis (waits up to 30 s for it).
pid_t pidIn(const std::string& path) {
  within(30, [&path] { return readFile(path).find('\n') != std::string::npos; });
  return static_cast<pid_t>(std::atol(readFile(path).c_str()));
}

// Waits (up to 10 s) until process `pid` is gone or a zombie.
bool goneWithin10s(pid_t pid) {
  return within(10, [pid] { return platform::processStartTicks(pid) == 0; });
}

// Starts a check-setup run whose analysis hangs; answers the pids of the solver, the analysis,
// the analysis's background child and the program it started in a session of its own.
std::array<pid_t, 4> startHangingRun(const TempDir& dir, const std::string& scriptStart = "") {
  writeScriptStudy(dir.path(), scriptStart + kHangingScript);
  const pid_t karvo = startKarvo(dir);
  return {karvo, pidIn(dir.file("analysis.pid")), pidIn(dir.file("background.pid")),
          pidIn(dir.file("escaped.pid"))};
}

// SIGINT, SIGTERM and SIGHUP each end the run in order, and the analysis with it. While the
// first run goes on, a second start of the study stops before it touches any of the study's
// files: the running run's message file is neither moved away nor (with `overwrite`) cut, and
// no backup folder is made.
TEST(StopSignal, EndsTheRunInOrderAndTheAnalysisWithIt) {
  for (const auto& [signal, name] : std::vector<std::pair<int, std::string>>{
           {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
    SCOPED_TRACE(name);
    TempDir dir("karvo-signal");
    const auto [karvo, analysis, background, escaped] = startHangingRun(dir);
    ASSERT_GT(analysis, 1) << readFile(dir.file("study.mes"));
    ASSERT_GT(background, 1);
    ASSERT_GT(escaped, 1);
    ASSERT_TRUE(fs::exists(dir.file("demo0.lock")));
    // The analysis may write its process numbers before the run logs it as running in the lock.
    ASSERT_TRUE(within(10, [&dir] {
      return readFile(dir.file("demo0.lock")).find("*INPROGRESS\n1,\n") != std::string::npos;
    })) << readFile(dir.file("demo0.lock"));
    const std::string messages = readFile(dir.file("study.mes"));
    const std::string lock = readFile(dir.file("demo0.lock"));
    const std::vector<std::string> before = testing::filesEndingIn(dir.path(), "");
    for (const char* option : {"checksetup", "overwrite"}) {
      if (signal != SIGINT) break;  // once: a second start does not depend on the signal
      SCOPED_TRACE(option);
      const testing::ProcessResult second = testing::runStudy(dir, {option});
      EXPECT_EQ(second.status, 133);
      EXPECT_EQ(second.err,
                "\n**** ERROR ****\n\tThe study file (study.in) is in use by another solver run "
                "in this folder.\n\tThis run stops without touching any file of the study. Wait "
                "until the other run has ended, or stop it, and start this one again.\n");
      EXPECT_EQ(readFile(dir.file("study.mes")), messages);
      EXPECT_EQ(readFile(dir.file("demo0.lock")), lock);
      EXPECT_EQ(testing::filesEndingIn(dir.path(), ""), before);
    }

    ::kill(karvo, signal);
    const int status = waitedStatus(karvo);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
    // Ended before the solver exits, not later by its guard.
    EXPECT_EQ(platform::processStartTicks(analysis), 0u);
    EXPECT_EQ(platform::processStartTicks(background), 0u);
    EXPECT_EQ(platform::processStartTicks(escaped), 0u);
    EXPECT_FALSE(fs::exists(dir.file("demo0.lock")));
    EXPECT_THAT(readFile(dir.file("demo0.rpt")),
                HasSubstr("\nEnd of KARVO run.\n*EXIT STATE\nCancelled\n*ENDTIME\n"));
    EXPECT_THAT(studyMessages(dir),
                HasSubstr("The process has been terminated by the signal " + name +
                          ". The currently running local analyses will be terminated."));
  }
}

TEST(StopSignalKeep, SignalKeepInTheInteractionFileLeavesTheAnalysisRunning) {
  TempDir dir("karvo-signal");
  const auto [karvo, analysis, background, escaped] =
      startHangingRun(dir, "echo signal keep > ../../../study.io\n");
  ASSERT_GT(analysis, 1) << readFile(dir.file("study.mes"));
  // The interaction file is read (and renamed) at the next poll of the evaluation loop.
  within(30, [&dir] { return !fs::exists(dir.file("study.io")); });
  ::kill(karvo, SIGTERM);
  const int status = waitedStatus(karvo);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
  EXPECT_THAT(studyMessages(dir),
              HasSubstr("The process has been terminated by the signal SIGTERM. The currently "
                        "running analyses will not be terminated."));
  platform::sleepMillis(300);
  EXPECT_NE(platform::processStartTicks(analysis), 0u) << "the kept analysis should still run";
  EXPECT_NE(platform::processStartTicks(escaped), 0u);
  const pid_t group = ::getpgid(analysis);
  if (group > 1) ::kill(-group, SIGKILL);
  if (escaped > 1) ::kill(escaped, SIGKILL);
  EXPECT_TRUE(goneWithin10s(analysis));
}

TEST(KilledRun, LeavesNoAnalysisAndItsLockIsTakenOverByTheNextRun) {
  TempDir dir("karvo-signal");
  const auto [karvo, analysis, background, escaped] = startHangingRun(dir);
  ASSERT_GT(analysis, 1) << readFile(dir.file("study.mes"));
  ::kill(karvo, SIGKILL);
  waitedStatus(karvo);
  EXPECT_TRUE(goneWithin10s(analysis));
  EXPECT_TRUE(goneWithin10s(background));
  EXPECT_TRUE(goneWithin10s(escaped));
  ASSERT_TRUE(fs::exists(dir.file("demo0.lock")));

  writeFile(dir.file("calc.sh"), "echo 'RESULT F = 2.5' > calc.out\n");
  testing::ProcessResult next = testing::runStudy(dir, {"checksetup", "overwrite"});
  EXPECT_EQ(next.status, 0) << readFile(dir.file("study.mes"));
  const std::string lock = testing::workingDirectory(dir) + "/demo0.lock";
  EXPECT_THAT(studyMessages(dir),
              HasSubstr("The lock file (" + lock + ") was left behind by a run (process " +
                        std::to_string(karvo) + " on this host) that has ended. This run takes "
                        "it over."));
  EXPECT_FALSE(fs::exists(dir.file("demo0.lock")));
}

// ---- What an analysis leaves running ----------------------------------------------------

// The analysis script starts a solver in the background in a session of its own and a
// program in its own process group, notes their pids and exits at once. The solver writes
// the output half a second later, then both sleep; with `stopKeep` the solver writes nothing
// and the script asks the run to "stop keep". The analysis is over once the output exists
// (its finish condition).
void writeBackgroundSolverStudy(const TempDir& dir, bool stopKeep) {
  // The output is written aside and renamed, so that the finish condition never sees it half
  // written.
  const std::string output =
      stopKeep ? "" : "sleep 0.5; echo \"RESULT F = 2.5\" > calc.tmp; mv calc.tmp calc.out; ";
  writeScriptStudy(dir.path(),
                   "setsid sh -c 'echo $$ > ../../../escaped.pid; " + output + "exec sleep 30' &\n"
                   "sleep 30 & echo $! > ../../../background.pid\n" +
                       (stopKeep ? "echo stop keep > ../../../study.io\n" : ""),
                   "finishCondition: outputWritten\n",
                   "*DEFINE_CONDITION\nname: outputWritten\ntype: FileExist\nfileType: output\n"
                   "fileRef: calc.out\n");
}

// The exit status of `pid`, which is killed (and -1 answered) when it has not ended after
// 30 s.
int statusWithin30s(pid_t pid) {
  int status = 0;
  if (within(30, [&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) return status;
  ::kill(pid, SIGKILL);
  waitedStatus(pid);
  return -1;
}

// The background solver runs until the analysis is over (it writes the output) and not past
// the run; "stop keep" (its solver writes nothing) keeps what the analysis left running.
TEST(LeftRunning, EndsWithTheRunUnlessStopKeepKeepsIt) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "stop keep" : "");
    TempDir dir("karvo-leftover");
    writeBackgroundSolverStudy(dir, keep);
    EXPECT_EQ(statusWithin30s(startKarvo(dir)), 0) << readFile(dir.file("karvo.out"));
    const pid_t escaped = pidIn(dir.file("escaped.pid"));
    const pid_t background = pidIn(dir.file("background.pid"));
    ASSERT_GT(escaped, 1);
    ASSERT_GT(background, 1);
    if (keep) platform::sleepMillis(300);  // the guard has had its chance
    EXPECT_EQ(platform::processStartTicks(escaped) != 0, keep);
    EXPECT_EQ(platform::processStartTicks(background) != 0, keep);
    ::kill(escaped, SIGKILL);
    ::kill(background, SIGKILL);
  }
}

// ---- Which locks are stale -------------------------------------------------------------

std::string lockOf(const std::string& host, pid_t pid, unsigned long long ticks) {
  return "Lock File for Agent #: 0\n*OWNER\n" + host + " " + std::to_string(pid) + " " +
         std::to_string(ticks) + "\n";
}

TEST(StaleLock, OnlyAProcessOfThisHostThatHasGoneLeavesAStaleLock) {
  const std::string here = platform::hostName();
  const pid_t self = ::getpid();
  const unsigned long long started = platform::processStartTicks(self);
  ASSERT_NE(started, 0u);
  platform::ChildProcess ended;
  ASSERT_TRUE(platform::spawnShellCommand("exit 0", {}, ended));
  platform::waitProcess(ended);

  EXPECT_FALSE(lockIsStale(lockOf(here, self, started)));     // alive
  EXPECT_TRUE(lockIsStale(lockOf(here, self, started + 1)));  // the pid was given again
  EXPECT_FALSE(lockIsStale(lockOf("elsewhere.example", ended.pid, 1234)));  // another host
  EXPECT_FALSE(lockIsStale("Lock File for Agent #: 0\n"));  // no owner record
  EXPECT_FALSE(lockIsStale("Lock File for Agent #: 0\n*OWNER\n" + here + "\n"));  // cut short
  // While analyses run the owner record follows the running-analyses log (its process gone).
  EXPECT_TRUE(lockIsStale("calc\n1.1\n*INPROGRESS\n1,\n*OWNER\n" + here + " " +
                          std::to_string(ended.pid) + " 99\n"));
}

}  // namespace
}  // namespace karvo
