// The evaluation flow end to end: check-setup runs of the karvo binary on a small study whose
// analysis is a sh script that reads its tagged input and writes a listing, and the faults
// an analysis can meet on the way.
#include "evaluation/evaluation_flow.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/working_directory.h"
#include "external/job_controller.h"
#include "platform/process.h"
#include "support/calc_study.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

using testing::CalcStudy;
using testing::HasLines;
using testing::kCalcScript;
using testing::readFile;
using testing::runKarvo;
using testing::TempDir;
using testing::writeCalcStudy;
using testing::writeFile;

// Long messages are wrapped at 110 columns in the logs: texts are compared without line
// breaks.
bool has(const std::string& text, const std::string& part) {
  auto flat = [](std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\n'), s.end());
    return s;
  };
  return flat(text).find(flat(part)) != std::string::npos;
}

std::string postLog(const TempDir& dir, const std::string& analysis) {
  return readFile(dir.file("POST_0/Design1/" + analysis + "/analysis.log"));
}
std::string designLog(const TempDir& dir) {
  return readFile(dir.file("POST_0/Design1/design.log"));
}

// Whether a process runs inside the test's folder now (its working folder is there or its
// command names it).
bool processInFolder(const TempDir& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code linkError;
    const std::string cwd = fs::read_symlink(entry.path() / "cwd", linkError).string();
    if (!linkError && cwd.rfind(dir.path(), 0) == 0) return true;
    std::string args = readFile(entry.path().string() + "/cmdline");
    for (char& c : args) {
      if (c == '\0') c = ' ';
    }
    if (args.find(dir.path() + "/demo_0") != std::string::npos) return true;
  }
  return false;
}

// Whether any process still runs inside the test's folder a second after the run: one that
// the run ended may still be on its way out (its folder is let go last), one left running is
// still there. Looking at the machine's "sleep 30" processes would see other tests'.
bool processesLeft(const TempDir& dir) {
  for (int look = 0; look < 50; ++look) {
    if (!processInFolder(dir)) return false;
    platform::sleepMillis(20);
  }
  return true;
}

testing::ProcessResult checkSetup(const TempDir& dir) {
  return runKarvo({"i=study.in", "checksetup"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

// ---- The good path ------------------------------------------------------------------------

// The baseline of a check-setup run, whose analysis also writes 5 MB of output: the log
// keeps its first and last kOutputKeptBytes, says what was left out, and the job's output
// file keeps the whole.
TEST(EvaluationFlowRun, CheckSetupEvaluatesTheBaselineDesign) {
  TempDir dir("karvo-flow");
  writeCalcStudy(dir.path(), {.script = "echo FIRST LINE\nhead -c 5000000 /dev/zero | tr '\\0' x\n"
                                        "echo\necho LAST LINE\n" + kCalcScript +
                                        "echo 'd f / d x = 1' > ../KARVOGrads.info\n"
                                        "echo \"$KARVO_MDO_POST_Path\" > post.path\n"});
  testing::ProcessResult result = checkSetup(dir);
  ASSERT_EQ(result.status, 0) << result.err << readFile(dir.file("study.mes"));
  EXPECT_EQ(readFile(dir.file("demo_0/Design1/calc/calc.inp")), "1.50000\n");
  const std::string log = postLog(dir, "calc");
  EXPECT_EQ(log.rfind("$ File type, version\nAnalysisLog, 2019.1.0.8677.0\n", 0), 0u);
  for (const char* record : {"*STARTTIME\n", "*COMMAND\nsh calc.sh\n", "*CMD_STARTTIME\n",
                             "*CMD_ENDTIME\n", "*ENDTIME\n", "*STATUS\nSUCCESS\n"}) {
    EXPECT_TRUE(has(log, record)) << record << "\n" << log.substr(0, 1500);
  }
  EXPECT_LT(log.find("*STARTTIME"), log.find("*CMD_STARTTIME"));
  EXPECT_LT(log.find("*CMD_ENDTIME"), log.find("*ENDTIME\n"));
  EXPECT_THAT(designLog(dir),
              HasLines("Design 1 evaluated. Status: FEASIBLE. Performance: -1.5.\n"));
  EXPECT_EQ(readFile(dir.file("POST_0/Design1/KARVOGrads.info")), "d f / d x = 1\n");
  // The analysis sees the agent's post folder, not the study folder.
  EXPECT_EQ(readFile(dir.file("demo_0/Design1/calc/post.path")), dir.file("POST_0") + "\n");
  EXPECT_FALSE(processesLeft(dir));

  EXPECT_LT(log.size(), 2 * kOutputKeptBytes + 4096);
  // (The solver's start notes, written once the command is launched, may come before or
  // after its first line.)
  EXPECT_LT(log.find("FIRST LINE\n"), log.find("xxx")) << log.substr(0, 1500);
  // The output file holds all the log received while the command ran: its output whole, and
  // the solver's notes of that time.
  const std::string output = dir.file("demo_0/Design1/calc/Execute_calc_Analysis.output");
  const std::string whole = readFile(output);
  EXPECT_LT(whole.find("FIRST LINE\n"),
            whole.find(std::string(5000000, 'x') + "\nLAST LINE\n"));
  EXPECT_NE(whole.find(std::string(5000000, 'x') + "\nLAST LINE\n"), std::string::npos);
  EXPECT_TRUE(has(log, formatText("xxx\n[... %lld bytes of output left out here; the whole "
                                  "output is in \"%s\" ...]\nxxx",
                                  static_cast<long long>(whole.size()) - 2 * kOutputKeptBytes,
                                  output.c_str())));
  EXPECT_NE(log.find("xxx\nLAST LINE\n*"), std::string::npos);
}

// A study folder whose path holds a blank, quotes and a command substitution: the command
// that names the solver's folders runs in them and nothing else; the log shows it as run.
// Its local analyses end when their process ends, not at the next tick of
// finishCheckFrequency: "calc" (finished once its listing exists) and "after" (no finish
// condition) both end at once. Each waiting for its 60 s tick would take the run past a
// minute; the bound is loose for a busy machine or a sanitizer build.
TEST(EvaluationFlowRun, CommandTagsOfAnOddStudyFolderRunAsOneWordEach) {
  TempDir dir("karvo flow $(touch pwned) 'q\"");
  writeCalcStudy(dir.path(),
                 {.script = "printf '%s\\n' \"$@\" > args.txt\n" + kCalcScript,
                  .command = "cd %Design_Path%/calc && sh calc.sh \"%Study_Path%/x\" "
                             "'%Analysis_Path%'",
                  .extraExecution = "finishCondition: listed\nfinishCheckFrequency: 60\n",
                  .extraDefinitions = "*DEFINE_CONDITION\nname: listed\ntype: FileExist\n"
                                      "fileType: output\nfileRef: calc.out\n",
                  .secondAnalysis = true,
                  .afterExecution = "finishCheckFrequency: 60\n",
                  .withFormula = false});
  const auto start = std::chrono::steady_clock::now();
  testing::ProcessResult result = checkSetup(dir);
  ASSERT_EQ(result.status, 0) << result.err << readFile(dir.file("study.mes"));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 30.0);
  const std::string analysis = dir.file("demo_0/Design1/calc");
  EXPECT_EQ(readFile(analysis + "/args.txt"), dir.path() + "/x\n" + analysis + "\n");
  // The folder is "<tmp>/karvo flow $(touch pwned) 'q\"-XXXXXX".
  const std::string tmp = std::filesystem::path(dir.path()).parent_path();
  const std::string unique = dir.path().substr(dir.path().size() - 7);
  EXPECT_TRUE(has(postLog(dir, "calc"),
                  "*COMMAND\ncd '" + tmp + "/karvo flow $(touch pwned) '\\''q\"" + unique +
                      "/demo_0/Design1'/calc && sh calc.sh \"" + tmp +
                      "/karvo flow \\$(touch pwned) 'q\\\"" + unique + "/x\" '" + tmp +
                      "/karvo flow $(touch pwned) '\\''q\"" + unique + "/demo_0/Design1/calc'\n"))
      << postLog(dir, "calc");
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    EXPECT_NE(entry.path().filename(), "pwned") << entry.path();
  }
  EXPECT_FALSE(std::filesystem::exists("pwned"));
}

// ---- Faults: each ends the check-setup run with the baseline error ------------------------

struct FaultOutcome {
  int status = -1;
  std::string messages;   // the message file
  std::string analysis;   // the analysis log of "calc"
  std::string design;     // the design log
};

FaultOutcome runFault(const CalcStudy& shape, TempDir& dir) {
  writeCalcStudy(dir.path(), shape);
  testing::ProcessResult result = checkSetup(dir);
  return {result.status, readFile(dir.file("study.mes")), postLog(dir, "calc"), designLog(dir)};
}

void expectBaselineFailure(const FaultOutcome& outcome) {
  EXPECT_EQ(outcome.status, 133);
  EXPECT_TRUE(has(outcome.messages, "The baseline design evaluation for agent 0 was unsuccessful."))
      << outcome.messages;
  EXPECT_TRUE(has(outcome.messages, "Check all evaluation and design input data."))
      << outcome.messages;
  EXPECT_THAT(outcome.messages, HasLines("x = 1.5\n"));
}

TEST(EvaluationFlowFaults, EachFaultFailsTheBaselineWithItsText) {
  struct Fault {
    CalcStudy shape;
    std::vector<std::string> analysis;  // texts of the analysis log of "calc"
    std::string absent{};               // a text that log must not hold
    std::string design{};               // a text of the design log
  };
  const std::string errorStatus = "*STATUS\nERROR\n";
  const Fault faults[] = {
      {{.script = "kill -9 0\n"}, {"The return value (137) for the analysis command"}},
      {{.script = "sleep 30\n", .extraAnalysis = "maxTime: 1\n"},
       {"Maximum allowed time exceeded for analysis calc of design 1. This will be marked as "
        "completed. Will try to kill the analysis process.",
        errorStatus}},
      {{.script = "echo 'RESULT F = diverged' > calc.out\n"},
       {"The processing of response \"f\" resulted in no data being extracted. This design will "
        "be marked as an error design.",
        "Could not extract result for all the responses associated with this analysis.",
        errorStatus}},
      // The analysis itself succeeds.
      {{.acceptRange = "acceptMin: 0\nacceptMax: 1\n"},
       {"*STATUS\nSUCCESS\n"},
       "",
       "The value for the response \"f\" = 1.500000 for design 1, lies outside the range "
       "specified. This design will be marked as an error design."},
      {{.extraExecution = "preAnalysisCmd: exit 4\npreAnalysisOptions: analysisFolder, , 0\n"},
       {"The return value (4) for the pre analysis command did not match the specified value "
        "(0). This design analysis will be SKIPPED and the design marked as an error.",
        "The execution of this analysis is being skipped since the pre analysis command "
        "resulted in an error."},
       "*CMD_STARTTIME"},
      // The analysis is skipped, so its response is missing.
      {{.extraExecution = "runCondition: small\n",
        .extraDefinitions = "*DEFINE_CONDITION\nname: small\ntype: Parameter\nparamRef: x\n"
                            "paramOp: <\nparamVal: 1\n"},
       {"Summary of run condition check for analysis \"calc\".\nThe overall condition was NOT "
        "met. This analysis will be skipped.",
        "*STATUS\nSKIPPED\n"},
       "*STARTTIME"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.shape.script + fault.shape.extraExecution + fault.shape.acceptRange);
    TempDir dir("karvo-flow");
    const FaultOutcome outcome = runFault(fault.shape, dir);
    expectBaselineFailure(outcome);
    for (const std::string& text : fault.analysis) {
      EXPECT_TRUE(has(outcome.analysis, text)) << text << "\n" << outcome.analysis;
    }
    if (!fault.absent.empty()) {
      EXPECT_FALSE(has(outcome.analysis, fault.absent));
    }
    EXPECT_TRUE(has(outcome.design, fault.design)) << outcome.design;
    EXPECT_FALSE(processesLeft(dir));
  }
}

// A failing analysis with errorMode STOP skips the analysis after it; without it, that one runs.
TEST(EvaluationFlowFaults, StopErrorModeSkipsTheRestOfTheDesign) {
  for (bool stop : {true, false}) {
    TempDir dir("karvo-flow");
    const FaultOutcome outcome = runFault(
        {.script = "exit 1\n", .extraAnalysis = stop ? "errorMode: STOP\n" : "",
         .secondAnalysis = true},
        dir);
    expectBaselineFailure(outcome);
    const std::string after = postLog(dir, "after");
    if (!stop) {
      EXPECT_TRUE(has(after, "*STATUS\nSUCCESS\n")) << after;
      continue;
    }
    EXPECT_TRUE(has(outcome.analysis, "Detected error in this design analysis. Since the option "
                                      "to quit the design evaluation process if this analysis "
                                      "fails was selected, the following analyses will be "
                                      "skipped:\n"))
        << outcome.analysis;
    EXPECT_TRUE(has(after, "This analysis will be skipped since the upstream analysis \"calc\" "
                           "had an error."))
        << after;
    EXPECT_TRUE(has(after, "*STATUS\nSKIPPED\n"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("demo_0/Design1/after/after.ran")));
  }
}

// ---- A parallel batch in this process --------------------------------------------------------

class EvaluationFlowBatch : public testing::CalcFlowTest {};

TEST_F(EvaluationFlowBatch, CheckSetupReportListsEveryValueOfAVectorResponse) {
  load(CalcStudy{});
  Design design = designAt(1.5);
  design.designNumber = 1;
  design.status = kDesignFeasible;
  design.performance = -1.5;
  design.responses.resize(2);
  design.responses[0].values = {1.5, 2.25, -3};
  design.responses[0].present = true;
  EXPECT_EQ(checkSetupReport(agents[0], design),
            "Check-setup run of agent 0 (\"sizing\"): baseline design 1, status FEASIBLE, "
            "performance -1.5.\nf = 1.5, 2.25, -3\ng = (no data)");
}

TEST_F(EvaluationFlowBatch, OneFailingDesignDoesNotStopTheOthers) {
  load({.script = "if [ \"$KARVO_MDO_Design_Num\" = 2 ]; then exit 5; fi\n" + kCalcScript,
        .extraExecution = "numDesigns: 2\n", .withFormula = false});
  // Design 2 may be the first to finish: the run goes on after design errors.
  run.settings.skipEvalCheck = 1;
  std::vector<Design> designs{designAt(1.0), designAt(1.5), designAt(2.0)};
  BatchSummary summary = evaluate(designs);
  EXPECT_EQ(summary.evaluated, 3);
  EXPECT_EQ(summary.failed, 1);
  EXPECT_EQ(designs[1].status, kDesignError);
  EXPECT_EQ(designs[2].status, kDesignFeasible);
  EXPECT_DOUBLE_EQ(designs[2].performance, -2.0);
  EXPECT_TRUE(has(readFile(dir_.file("POST_0/Design2/calc/analysis.log")),
                  "The return value (5) for the analysis command did not match the specified "
                  "value (0). This design analysis will be marked as an error."));
  // The next batch continues the agent's design numbers.
  std::vector<Design> more{designAt(0.5)};
  evaluate(more);
  EXPECT_EQ(more[0].designNumber, 4);
  EXPECT_EQ(readFile(dir_.file("demo_0/Design4/calc/calc.inp")), "0.500000\n");
  EXPECT_FALSE(processesLeft(dir_));
}

// A design already stored takes its stored results and a design repeated within a batch is
// evaluated once: only new designs run, and they take the next design numbers.
TEST_F(EvaluationFlowBatch, StoredAndRepeatedDesignsAreNotEvaluatedAgain) {
  load({.script = "echo $KARVO_MDO_Design_Num >> ../../../runs.log\n" + kCalcScript,
        .withFormula = false});
  std::vector<Design> first{designAt(1.0), designAt(1.5), designAt(1.0)};
  EXPECT_EQ(evaluate(first).evaluated, 2);
  EXPECT_EQ(first[2].designNumber, 1);
  EXPECT_DOUBLE_EQ(first[2].performance, -1.0);
  std::vector<Design> second{designAt(1.5), designAt(0.5)};
  EXPECT_EQ(evaluate(second).evaluated, 1);
  EXPECT_EQ(second[0].designNumber, 2);
  EXPECT_DOUBLE_EQ(second[0].performance, -1.5);
  EXPECT_EQ(second[1].designNumber, 3);
  EXPECT_EQ(readFile(dir_.file("runs.log")), "1\n2\n3\n");
  EXPECT_THAT(messages(), HasLines("Num in: 3, num existing: 0, num duplicates: 1\n"));
  EXPECT_THAT(messages(), HasLines("Num in: 2, num existing: 1, num duplicates: 0\n"));
}

// The study relationships act on every design of a batch before it is written out; an empty
// batch is refused.
TEST_F(EvaluationFlowBatch, RelationshipsActOnTheDesignsOfABatch) {
  load({.extraDefinitions = "*DEFINE_RELATIONSHIP\nname: cap\ntype: inequality\nvariable: x\n"
                            "parameters: 1.25\ncomparison: less_equal\n",
        .withFormula = false});
  validateRelationships();
  std::vector<Design> none;
  EXPECT_EQ(evaluate(none).evaluated, 0);
  EXPECT_TRUE(has(messages(), "Call to the evaluation routine with 0 designs to evaluate."));
  std::vector<Design> designs{designAt(2.0)};
  evaluate(designs);
  EXPECT_EQ(readFile(dir_.file("demo_0/Design1/calc/calc.inp")), "1.25000\n");
}

// A compute resource that takes two jobs at a time carries a batch of five designs that may
// each run at once: never more than two analyses run together, and every design is
// evaluated, so each job that ends gives its place back. (A job end that kept its place would
// leave the last designs waiting for ever: the alarm turns that into a failure.)
TEST_F(EvaluationFlowBatch, ResourceJobLimitHoldsAndEveryEndReleasesItsPlace) {
  // Each job notes its start and end in a shared log; the peak of starts without an end is
  // the number of jobs that ran together.
  load({.script = "log=../../../jobs.log\necho start >> $log\nsleep 0.2\necho end >> $log\n" +
                  kCalcScript,
        .extraAnalysis = "computeResource: pair\n",
        .extraExecution = "numDesigns: 5\nfinishCheckFrequency: 1\n",
        .extraDefinitions = "*DEFINE_COMPUTE_RESOURCE\nname: pair\ntype: Direct\nmaxJobs: 2\n",
        .withFormula = false});
  auto batchOfFive = [this] {
    alarm(60);
    std::vector<Design> designs{designAt(0.5), designAt(1.0), designAt(1.5), designAt(2.0),
                                designAt(0.0)};
    const BatchSummary summary = evaluate(designs);
    std::exit(summary.evaluated == 5 && summary.failed == 0 ? 0 : 1);
  };
  EXPECT_EXIT(batchOfFive(), ::testing::ExitedWithCode(0), "");
  int running = 0, peak = 0, starts = 0;
  std::istringstream log(readFile(dir_.file("jobs.log")));
  for (std::string line; std::getline(log, line);) {
    running += line == "start" ? 1 : -1;
    starts += line == "start" ? 1 : 0;
    peak = std::max(peak, running);
  }
  EXPECT_EQ(starts, 5);
  EXPECT_EQ(peak, 2);
  EXPECT_FALSE(processesLeft(dir_));
}

TEST_F(EvaluationFlowBatch, FreedSlotIsFilledWithoutWaitingForTheOtherJob) {
  // Two designs at a time. Design 2 ends at once; design 1 waits (about 0.3 s, well below
  // the loop's 500 ms floor between passes) for design 3's input to appear. Design 3 must
  // take design 2's slot as soon as that ends, not once design 1 has ended or the loop's
  // wait has run out.
  load({.script = "if [ \"$KARVO_MDO_Design_Num\" = 1 ]; then\n  i=0\n"
                  "  while [ ! -f ../../Design3/calc/calc.inp ] && [ $i -lt 30 ]; do sleep 0.01; "
                  "i=$((i+1)); done\n  [ -f ../../Design3/calc/calc.inp ] || exit 7\nfi\n" +
                  kCalcScript,
        .extraExecution = "numDesigns: 2\n", .withFormula = false});
  run.settings.baselineSuppressed = 1;
  run.settings.skipEvalCheck = 1;
  std::vector<Design> designs{designAt(1.0), designAt(1.5), designAt(2.0)};
  EXPECT_EQ(evaluate(designs).failed, 0)
      << readFile(dir_.file("POST_0/Design1/calc/analysis.log"));
  EXPECT_EQ(designs[0].status, kDesignFeasible);
}

TEST_F(EvaluationFlowBatch, SerialProcessRunsOneDesignAfterTheOther) {
  load({.secondAnalysis = true, .withFormula = false});
  processes[0].parallel = 0;
  std::vector<Design> designs{designAt(1.0), designAt(1.5)};
  EXPECT_EQ(evaluate(designs).failed, 0);
  // Design 2 starts only once the last analysis of design 1 has ended.
  auto stamp = [&](int design, const std::string& analysis, const std::string& record) {
    const std::string log = readFile(
        dir_.file("POST_0/Design" + std::to_string(design) + "/" + analysis + "/analysis.log"));
    const std::size_t at = log.find(record + "\n");
    return at == std::string::npos ? std::string() : log.substr(at + record.size() + 1, 23);
  };
  ASSERT_FALSE(stamp(1, "after", "*ENDTIME").empty());
  ASSERT_FALSE(stamp(2, "calc", "*STARTTIME").empty());
  EXPECT_LE(stamp(1, "after", "*ENDTIME"), stamp(2, "calc", "*STARTTIME"));
  EXPECT_LE(stamp(1, "calc", "*ENDTIME"), stamp(1, "after", "*STARTTIME"));
}

TEST_F(EvaluationFlowBatch, AnalysisIoFileCompletesARunningJob) {
  // The analysis writes its result, declares itself complete and would then hang.
  load({.script = kCalcScript + "echo complete > _calc.io\nsleep 30\n", .withFormula = false});
  std::vector<Design> designs{designAt(1.0)};
  evaluate(designs);
  EXPECT_EQ(designs[0].status, kDesignFeasible);
  const std::string log = readFile(dir_.file("POST_0/Design1/calc/analysis.log"));
  EXPECT_TRUE(has(log, "Analysis job killed successfully.")) << log;
  EXPECT_FALSE(processesLeft(dir_));
}

TEST_F(EvaluationFlowBatch, DesignFolderThatCannotBeCreated) {
  load({.withFormula = false});
  run.settings.baselineSuppressed = 1;  // design 1 is not a baseline that ends the run
  run.settings.skipEvalCheck = 1;       // nor does the first design to finish
  writeFile(dir_.file("demo_0"), "a file where the agent folder belongs\n");
  std::vector<Design> designs{designAt(1.0), designAt(1.5)};
  EXPECT_EQ(evaluate(designs).failed, 2);
  const std::string design = readFile(dir_.file("POST_0/Design2/design.log"));
  EXPECT_TRUE(has(design, "Evaluation directory: \n   " + dir_.path() +
                              "/demo_0/Design2 \neither exists or requires KARVO to create more "
                              "than one directories.\n"))
      << design;
  EXPECT_TRUE(has(readFile(dir_.file("POST_0/Design2/calc/analysis.log")), "*STATUS\nERROR\n"));
}

// ---- The first design to finish ------------------------------------------------------------

// A serial batch whose design 1 (not a baseline: the baseline is switched off) fails: as the
// first design to finish it stops the run, unless the study asks to go on after design errors
// (yet not when an objective waits for its baseline value). Only the first design to finish
// counts: design 2 failing after it, in this batch and the next, stops nothing.
TEST_F(EvaluationFlowBatch, FailingFirstDesignToFinishStopsTheRun) {
  const std::string stop = "The first design to complete all analyses resulted in errors. Exiting.";
  const struct {
    std::string failing;  // the test of the design numbers that fail
    int goOn;             // skipEvalCheck
    bool fromBaseline;    // the objective is normalised by the baseline design
    bool stops;
  } cases[] = {{"= 1", 0, false, true},
               {"= 1", 1, false, false},
               {"= 1", 1, true, true},
               {"!= 1", 0, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing + " " + std::to_string(c.goOn) + std::to_string(c.fromBaseline));
    TearDown();
    std::filesystem::remove_all(dir_.file("demo_0"));
    std::filesystem::remove_all(dir_.file("POST_0"));
    SetUp();
    load({.script = "if [ \"$KARVO_MDO_Design_Num\" " + c.failing + " ]; then exit 5; fi\n" +
                    kCalcScript,
          .withFormula = false});
    processes[0].parallel = 0;
    run.settings.baselineSuppressed = c.failing == "= 1" ? 1 : 0;
    run.settings.skipEvalCheck = c.goOn;
    if (c.fromBaseline) per_type[0].norm[0] = kNormFromBaseline;
    std::vector<Design> designs{designAt(1.0), designAt(1.5)};
    if (c.stops) {
      EXPECT_THROW(evaluate(designs), RunExit);
      // The run stopped before design 2 ran; no analysis is left behind.
      EXPECT_FALSE(std::filesystem::exists(dir_.file("demo_0/Design2/calc/calc.out")));
      EXPECT_FALSE(processesLeft(dir_));
    } else {
      EXPECT_EQ(evaluate(designs).failed, 1);
      EXPECT_TRUE(designs[c.failing == "= 1" ? 0 : 1].failed);
      EXPECT_EQ(designs[c.failing == "= 1" ? 1 : 0].status, kDesignFeasible);
      std::vector<Design> more{designAt(0.5)};
      EXPECT_EQ(evaluate(more).failed, c.failing == "= 1" ? 0 : 1);
    }
    EXPECT_EQ(has(messages(), stop), c.stops);
  }
}

// ---- Run interaction ------------------------------------------------------------------------

TEST(EvaluationFlowInteraction, StopKillsTheRunningAnalysis) {
  TempDir dir("karvo-flow");
  // The analysis asks for the stop itself, then hangs.
  writeCalcStudy(dir.path(), {.script = "echo stop > ../../../study.io\nsleep 30\n"});
  testing::ProcessResult result = checkSetup(dir);
  EXPECT_EQ(result.status, 0) << result.err;
  // (The notes of the stop and the renamed file: RunInteractionTest.)
  EXPECT_TRUE(has(readFile(dir.file("demo0.rpt")), "*EXIT STATE\nCancelled\n"))
      << readFile(dir.file("demo0.rpt"));
  EXPECT_FALSE(processesLeft(dir));
}

// ---- Loops: one job per case ---------------------------------------------------------------

// The study with "calc" (and, when asked, "after") inside the loop "loads" of three cases.
class EvaluationFlowLoop : public EvaluationFlowBatch {
 protected:
  void loadLoop(const std::string& loopLines, const std::string& script, bool withAfter) {
    load({.script = script,
          .extraDefinitions = "*DEFINE_LOOP\nname: loads\ntype: discrete\n" + loopLines +
                              "analysis: calc\n" + (withAfter ? "analysis: after\n" : "") +
                              "values:3\n10\n20\n30\n",
          .secondAnalysis = withAfter, .withFormula = false});
    writeFile(dir_.file("calc.tpl"), "{{x}} {{loads}} {{Case_Num}}\n");
    run.settings.skipEvalCheck = 1;
  }
  std::string caseLog(const std::string& analysis, int caseNumber) {
    return readFile(dir_.file("POST_0/Design1/" + analysis + "." + std::to_string(caseNumber) +
                              "/analysis.log"));
  }
  static constexpr const char* kScript =
      "read x v c < calc.inp\necho \"RESULT F = $x\" > calc.out\n";
};

// Each case runs in its own folder with its value and case number. Each case also copies the
// lock file while it runs, once the running log there names its own design and case (the log
// is rewritten just after the job has started).
TEST_F(EvaluationFlowLoop, EachCaseRunsInItsOwnFolderWithItsValueAndCaseNumber) {
  const std::string lock = agentFileName(0, ".lock");
  writeFile(lock, "");
  workingDirectoryState.lockFiles.push_back(lock);
  loadLoop("createCaseFolders: 1\n",
           "read x v c < calc.inp\necho \"RESULT F = $v\" > calc.out\ni=0\n"
           "while ! grep -qF \"$KARVO_MDO_Design_Num.$KARVO_MDO_Case_Num\" '" + lock +
               "' && [ $i -lt 300 ]; do sleep 0.01; i=$((i+1)); done\ncp '" + lock +
               "' lock.seen\n",
           false);
  processes[0].analyses[0].numDesigns = 2;
  std::vector<Design> designs{designAt(1.5), designAt(1.0)};
  evaluate(designs);
  EXPECT_FALSE(designs[0].failed) << caseLog("calc", 1);
  // The responses of an analysis inside a loop are those of its last case.
  ASSERT_EQ(designs[0].responses.size(), 1u);
  EXPECT_EQ(designs[0].responses[0].values, std::vector<double>{30.0});
  const char* const expected[] = {"1.50000 10.0000 1\n", "1.50000 20.0000 2\n",
                                  "1.50000 30.0000 3\n"};
  for (int c = 1; c <= 3; ++c) {
    EXPECT_EQ(readFile(dir_.file("demo_0/Design1/calc." + std::to_string(c) + "/calc.inp")),
              expected[c - 1]);
    for (int d = 1; d <= 2; ++d) {
      const std::string seen =
          readFile(dir_.file("demo_0/Design" + std::to_string(d) + "/calc." +
                             std::to_string(c) + "/lock.seen"));
      const std::string pair = std::to_string(d) + "." + std::to_string(c);
      EXPECT_NE(seen.find(pair), std::string::npos) << pair << "\n" << seen;
      EXPECT_EQ(seen.rfind("calc\n", 0), 0u) << seen;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.file("demo_0/Design1/calc")));
  EXPECT_FALSE(processesLeft(dir_));
  workingDirectoryState.lockFiles.clear();
}

// A condition met without the quit option lets the loop go on.
TEST_F(EvaluationFlowLoop, WithoutCaseFoldersTheCasesShareOneFolderAndRunInOrder) {
  loadLoop("condition: true\n", std::string(kScript) + "echo \"$KARVO_MDO_Case_Num\" >> cases.seen\n", false);
  std::vector<Design> designs{designAt(1.5)};
  evaluate(designs);
  EXPECT_FALSE(designs[0].failed);
  EXPECT_EQ(readFile(dir_.file("demo_0/Design1/calc/cases.seen")), "1\n2\n3\n");
  EXPECT_EQ(readFile(dir_.file("demo_0/Design1/calc/calc.inp")), "1.50000 30.0000 3\n");
  // Each case still keeps its own log.
  EXPECT_TRUE(has(caseLog("calc", 3), "*STATUS\nSUCCESS\n"));
  EXPECT_TRUE(has(caseLog("calc", 1),
                  "The condition of loop \"loads\" was met after case 1; the loop goes on "
                  "since it is not set to quit on it."));
}

TEST_F(EvaluationFlowLoop, LaterCasesReuseTheInputFilesOfTheFirstCase) {
  // The first case removes the study's copy of its script: the later cases can only run when
  // they take it from the first case's folder.
  const std::string script = std::string(kScript) + "rm -f '" + dir_.file("calc.sh") + "'\n";
  loadLoop("createCaseFolders: 1\nreuseCaseInputFiles: 1\n", script, false);
  std::vector<Design> designs{designAt(1.5)};
  evaluate(designs);
  EXPECT_FALSE(designs[0].failed) << caseLog("calc", 2);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("calc.sh")));
  for (int c = 2; c <= 3; ++c) {
    EXPECT_EQ(readFile(dir_.file("demo_0/Design1/calc." + std::to_string(c) + "/calc.sh")),
              script);
  }
}

TEST_F(EvaluationFlowLoop, WithoutReuseAMissingSourceFailsTheLaterCase) {
  const std::string script = std::string(kScript) + "rm -f '" + dir_.file("calc.sh") + "'\n";
  loadLoop("createCaseFolders: 1\n", script, false);
  run.settings.baselineSuppressed = 1;
  std::vector<Design> designs{designAt(1.5)};
  evaluate(designs);
  EXPECT_TRUE(designs[0].failed);
  EXPECT_TRUE(has(caseLog("calc", 2), "*STATUS\nERROR\n")) << caseLog("calc", 2);
  // The design has failed: the last case is not run.
  EXPECT_TRUE(has(caseLog("calc", 3),
                  "This case of the analysis will be skipped since case 2 of loop \"loads\" "
                  "ended with the design in error.\n*STATUS\nSKIPPED\n"))
      << caseLog("calc", 3);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("demo_0/Design1/calc.3")));
}

TEST_F(EvaluationFlowLoop, ConditionMetQuitsTheRemainingAnalysesAndCases) {
  loadLoop("createCaseFolders: 1\ncondition: test -f stop.flag\nbreak: yes\n", kScript, true);
  processes[0].analyses[1].command = "touch after.ran; [ \"$KARVO_MDO_Case_Num\" = 2 ] && "
                                     "touch stop.flag; true";
  std::vector<Design> designs{designAt(1.5)};
  evaluate(designs);
  EXPECT_FALSE(designs[0].failed);
  EXPECT_TRUE(has(caseLog("after", 2),
                  "Loop condition met. Since the option to quit the loop upon meeting the "
                  "condition was selected, the remaining analyses and cases associated with "
                  "this loop will be skipped."))
      << caseLog("after", 2);
  for (const char* analysis : {"calc", "after"}) {
    EXPECT_TRUE(has(caseLog(analysis, 3),
                    "This analysis will be skipped since the condition associated with loop "
                    "\"loads\" was met.\n*STATUS\nSKIPPED\n"))
        << caseLog(analysis, 3);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("demo_0/Design1/" + std::string(analysis) +
                                                   ".3")));
  }
  EXPECT_TRUE(std::filesystem::exists(dir_.file("demo_0/Design1/after.2/after.ran")));
}

TEST_F(EvaluationFlowLoop, ReferenceFromOutsideTheRunningLoopUsesTheFirstCase) {
  // "after" stands outside the loop and ends when its finish condition finds "calc"
  // successful. The loop's second case waits until "after" has ended, so the condition is
  // met while the loop still runs: on the first case's status, with the warning.
  const std::string afterLog = dir_.file("POST_0/Design1/after/analysis.log");
  load({.script = std::string(kScript) +
                  "if [ \"$KARVO_MDO_Case_Num\" = 2 ]; then i=0; while ! grep -q CMD_ENDTIME '" +
                  afterLog + "' && [ $i -lt 500 ]; do sleep 0.01; i=$((i+1)); done; fi\n",
        .extraDefinitions =
            "*DEFINE_LOOP\nname: loads\ntype: discrete\ncreateCaseFolders: 1\nanalysis: calc\n"
            "values:2\n10\n20\n*DEFINE_CONDITION\nname: calcDone\ntype: AnalysisStatus\n"
            "statusRef: calc\nstatusVal: Success\n",
        .secondAnalysis = true, .withFormula = false});
  writeFile(dir_.file("calc.tpl"), "{{x}} {{loads}} {{Case_Num}}\n");
  run.settings.skipEvalCheck = 1;
  Analysis& after = processes[0].analyses[1];
  after.dependencies.clear();
  after.command = "sleep 30";
  after.finishCondition = "calcDone";
  std::vector<Design> designs{designAt(1.5)};
  evaluate(designs);
  const std::string log = readFile(afterLog);
  EXPECT_TRUE(has(log, "Referencing analysis \"calc\" from loop \"loads\" inside analysis "
                       "\"after\"."))
      << log;
  EXPECT_TRUE(has(log, "*STATUS\nSUCCESS\n")) << log;
  EXPECT_TRUE(has(caseLog("calc", 2), "*STATUS\nSUCCESS\n"));
  EXPECT_FALSE(processesLeft(dir_));
}

// ---- Runs through the karvo binary: compute resources, jobs and their texts ----------------

using testing::occurrences;
using testing::unwrapped;

// The value line that follows the first record `keyword` ("*CMD_STARTTIME") of a log.
std::string recordValue(const std::string& log, const std::string& keyword) {
  const std::size_t at = log.find(keyword + "\n");
  if (at == std::string::npos) return "";
  const std::size_t start = at + keyword.size() + 1;
  return log.substr(start, log.find('\n', start) - start);
}

// A stand-in batch scheduler in `bin`, its state in "<bin>/state": sbatch queues the job
// (PENDING), prints "Submitted batch job <id>" (ids from 4711) and lets it run a moment later
// (RUNNING; the local time of that moment goes to "started.<id>", in the form of the log
// stamps); squeue lists "<id> <state>" for each job in the queue; scancel <id> takes a job
// out of the queue before it runs.
void writeFakeScheduler(const std::string& bin) {
  std::filesystem::create_directories(bin + "/state");
  const std::string state = "state=\"$(dirname \"$0\")/state\"\n";
  writeFile(bin + "/sbatch",
            "#!/bin/sh\n" + state +
                "id=$(cat \"$state/next\" 2>/dev/null || echo 4711)\n"
                "echo $((id + 1)) > \"$state/next\"\n"
                "echo PENDING > \"$state/job.$id\"\n"
                "( sleep 2; [ -f \"$state/job.$id\" ] || exit 0\n"
                "  date +%Y-%m-%dT%H:%M:%S > \"$state/started.$id\"\n"
                "  echo RUNNING > \"$state/job.$id\"; /bin/sh \"$1\"; rm -f \"$state/job.$id\"\n"
                ") >/dev/null 2>&1 &\n"
                "echo \"Submitted batch job $id\"\n");
  writeFile(bin + "/squeue",
            "#!/bin/sh\n" + state +
                "for f in \"$state\"/job.*; do [ -f \"$f\" ] && echo \"${f##*.} $(cat \"$f\")\"; "
                "done\nexit 0\n");
  writeFile(bin + "/scancel", "#!/bin/sh\n" + state + "rm -f \"$state/job.$1\"\n");
  for (const char* name : {"sbatch", "squeue", "scancel"}) {
    std::filesystem::permissions(bin + "/" + name, std::filesystem::perms::owner_all);
  }
}

class EvaluationFlowJobs : public ::testing::Test {
 protected:
  void SetUp() override { writeFakeScheduler(bin_); }

  // The compute resource "slurm" of the stand-in scheduler; `readId` reads the job id back
  // and watches the queue for the job's start and end.
  std::string slurm(bool readId) const {
    std::string record = "*DEFINE_COMPUTE_RESOURCE\nname: slurm\ntype: Scheduled\njobPrependPath: " +
                         bin_ + "\njobCommand: sbatch\n";
    if (readId) {
      record += "killCmd: scancel %JOBID%\njobReadID: 1\njobIDStart: Submitted batch job\n"
                "finishCmd: squeue\nfinishFindJob: ID\nuseJobStatus: yes\n"
                "jobStartedText: RUNNING\njobStartedCol: 2\n";
    } else {
      record += "killCmd: rm -f " + bin_ + "/state/job.*\n";  // without an id: every job
    }
    return record;
  }

  TempDir dir_{"karvo-flow"};
  std::string bin_ = dir_.file("bin");
};

// A job that waits in the scheduler's queue has started only when the queue shows it
// running: "*CMD_STARTTIME" is written then, once, and not at the submission. The job name
// and the id read back from the submission are logged.
TEST_F(EvaluationFlowJobs, QueuedJobStartsWhenTheSchedulerShowsItRunning) {
  writeCalcStudy(dir_.path(), {.extraAnalysis = "computeResource: slurm\n",
                           .extraExecution = "finishCheckFrequency: 1\n",
                           .extraDefinitions = slurm(true)});
  const testing::ProcessResult result = checkSetup(dir_);
  ASSERT_EQ(result.status, 0) << readFile(dir_.file("study.mes"));
  const std::string log = postLog(dir_, "calc");
  EXPECT_THAT(log, HasLines("*NOTE\nRunning the analysis command.\n*COMMAND\nsh calc.sh\n"
                            "*NOTE\nJobname: KARVO_D1_A1\n*NOTE\nJobID: 4711\n"));
  EXPECT_EQ(occurrences(log, "*CMD_STARTTIME\n"), 1u) << log;
  EXPECT_LT(log.find("JobID: 4711"), log.find("*CMD_STARTTIME\n"));
  EXPECT_LT(log.find("*CMD_STARTTIME\n"), log.find("*CMD_ENDTIME\n"));
  // Not before the scheduler let the job run (the stamps compare as texts).
  const std::string started = readFile(bin_ + "/state/started.4711");
  ASSERT_EQ(started.size(), 20u);
  EXPECT_GE(recordValue(log, "*CMD_STARTTIME").substr(0, 19), started.substr(0, 19));
}

// A finish condition that looks for the job by its id cannot work when the compute resource
// gives no id back: the analysis fails at once, and the queued job is cancelled.
TEST_F(EvaluationFlowJobs, FinishConditionOnTheJobIdNeedsTheIdReadBack) {
  FaultOutcome outcome = runFault(
      {.extraAnalysis = "computeResource: slurm\n",
       .extraExecution = "finishCondition: jobGone\nfinishCheckFrequency: 1\n",
       .extraDefinitions = slurm(false) + "*DEFINE_CONDITION\nname: jobGone\ntype: Command\n"
                                          "command: squeue %Job_ID%\ncmdCheck: yes\ncmdVal: 0\n"},
      dir_);
  expectBaselineFailure(outcome);
  EXPECT_THAT(unwrapped(outcome.analysis),
              HasLines("*NOTE\nJobname: KARVO_D1_A1\n*ERROR\nCould not read back the job id from "
                       "the compute resource. The finish condition \"jobGone\" refers to Job_ID, "
                       "so the end of the job cannot be detected. This design analysis will be "
                       "marked as error.\n"));
  EXPECT_THAT(outcome.analysis, HasLines("*STATUS\nERROR\n"));
  EXPECT_EQ(occurrences(outcome.analysis, "JobID:"), 0u);
  EXPECT_FALSE(std::filesystem::exists(bin_ + "/state/job.4711"));
}

testing::ProcessResult verboseCheckSetup(const TempDir& dir, const CalcStudy& shape) {
  writeCalcStudy(dir.path(), shape);
  return runKarvo({"i=study.in", "checksetup", "verbose"}, dir.path(),
                  {"KARVO_ROOT=" + dir.path()});
}

// With verbose output the log tells the initial wait (once here: the job ends within the
// first progress interval) and, for an analysis in job batch mode, the run mode. The job runs
// on this machine, on the resource called "default". A serial batch says when it has no design
// left; job batch mode needs the parallel option.
TEST(EvaluationFlowTexts, VerboseRunTellsTheInitialWaitTheRunModeAndTheEndOfASerialBatch) {
  TempDir dir("karvo-flow");
  testing::ProcessResult result = verboseCheckSetup(
      dir, {.extraAnalysis = "jobBatchMode: yes\n",
            .extraExecution = "initialWait: 2\nfinishCheckFrequency: 1\n"});
  ASSERT_EQ(result.status, 0) << readFile(dir.file("study.mes"));
  const std::string log = postLog(dir, "calc");
  EXPECT_THAT(log, HasLines("*NOTE\nCompute resource used: default\n"));
  EXPECT_THAT(log, HasLines("*NOTE\nAnalysis run mode = RunBatch\n*NOTE\nRunning the analysis "
                            "command.\n"));
  const std::string wait = "*NOTE\nNo completion check performed since the time elapsed is less "
                           "than the initial wait time specified (2).\n";
  EXPECT_EQ(occurrences(unwrapped(log), wait), 1u) << log;
  EXPECT_EQ(occurrences(result.out, "No more designs to process"), 0u);  // a parallel batch

  TempDir serial("karvo-flow");
  result = verboseCheckSetup(serial, {.extraAnalysis = "jobBatchMode: yes\n", .parallel = false});
  ASSERT_EQ(result.status, 0) << readFile(serial.file("study.mes"));
  EXPECT_THAT(result.out, HasLines("*NOTE\nNo more designs to process within this serial "
                                   "execution cycle.\n"));
  EXPECT_EQ(occurrences(postLog(serial, "calc"), "RunBatch"), 0u);
}

// ---- A run that writes analysis files only ------------------------------------------------

// The design, its analysis folder and the tagged input file are written; no command runs,
// nothing is extracted, the design stays NOT EVALUATED without being an error design, and the
// run ends in order after that first set of designs.
void expectFilesOnly(const TempDir& dir, const testing::ProcessResult& result) {
  const std::string messages = readFile(dir.file("study.mes"));
  ASSERT_EQ(result.status, 0) << messages;
  EXPECT_EQ(readFile(dir.file("demo_0/Design1/calc/calc.inp")), "1.50000\n");
  EXPECT_EQ(readFile(dir.file("demo_0/Design1/calc/calc.sh")), kCalcScript);
  EXPECT_EQ(readFile(dir.file("demo_0/Design1/design_variable_and_parameter_values")),
            "                   x\n  1.500000000000e+00\n");
  for (const char* made : {"calc.out", "pre.ran", "post.ran"}) {
    EXPECT_FALSE(std::filesystem::exists(dir.file(std::string("demo_0/Design1/calc/") + made)))
        << made;
  }
  const std::string log = postLog(dir, "calc");
  EXPECT_THAT(unwrapped(log),
              HasLines("*NOTE\nCreated new design files\n*NOTE\nOnly the analysis files are "
                       "written (designFilesOnly): no command of this analysis is run.\n"
                       "*ENDTIME\n"));
  const std::string end = "*STATUS\nNOT EVALUATED\n";
  EXPECT_EQ(log.compare(log.size() - end.size(), end.size(), end), 0) << log;
  EXPECT_EQ(occurrences(log, "*CMD_STARTTIME"), 0u);
  EXPECT_EQ(designLog(dir), "*NOTE\nDesign 1: analysis files written. Status: NOT EVALUATED.\n");
  const std::string flat = unwrapped(messages);
  EXPECT_THAT(flat, HasLines("*NOTE\nThe analysis files of design 1 of agent 0 have been "
                             "written. Since only analysis files are written, no analysis was "
                             "run and the run ends after this first set of designs.\n\n"
                             "*NOTE\n************END OF RUN INFORMATION************\n"));
  EXPECT_THAT(flat, HasLines("*NOTE\nEnd of KARVO run.\n"));
  EXPECT_EQ(occurrences(flat, "baseline design evaluation"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir.file("demo0.lock")));
}

// Asked for on the command line, or by the study modes "writeDesignFiles" and "noEvaluations".
TEST(EvaluationFlowFilesOnly, WritesTheFilesAndRunsNothing) {
  for (const char* mode : {"newStudy", "writeDesignFiles", "noEvaluations"}) {
    SCOPED_TRACE(mode);
    TempDir dir("karvo-flow");
    writeCalcStudy(dir.path(),
               {.extraExecution = "preCmd: touch pre.ran\npreUpdateOptions: analysisFolder, , 0\n"
                                  "postCmd: touch post.ran\npostAnalysisOptions: analysisFolder, "
                                  ", 0\n",
                .studyMode = mode});
    std::vector<std::string> arguments{"i=study.in", "checksetup"};
    if (std::string(mode) == "newStudy") arguments.push_back("designFilesOnly");
    expectFilesOnly(dir, runKarvo(arguments, dir.path(), {"KARVO_ROOT=" + dir.path()}));
  }
}

// ---- Reservations and remote study folders, through stand-in ssh and scp ------------------

class EvaluationFlowRemote : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& folder : {study_, bin_, remote_}) {
      std::filesystem::create_directories(folder);
    }
    testing::writeFakeRemoteTools(bin_);
  }

  std::string profile() const {
    return "*DEFINE_REMOTE_MACHINE\nname: cluster\nplatform: Linux\nhost: hpc1\nusername: ana\n"
           "remotePath: " + remote_ + "\nSSHcmd: " + bin_ + "/ssh\nSCPcmd: " + bin_ + "/scp\n";
  }
  // farNode: a Direct resource on that machine.
  std::string farNode() const {
    return profile() + "*DEFINE_COMPUTE_RESOURCE\nname: farNode\ntype: Direct\njobRemote: yes\n"
                       "jobRemoteProfile: cluster\n";
  }

  testing::ProcessResult run() {
    return runKarvo({"i=study.in", "checksetup"}, study_,
                    {"KARVO_ROOT=" + study_, "PATH=" + bin_ + ":/usr/bin:/bin"});
  }

  // "calc" runs on farNode, a Direct resource of the remote machine, and leaves "analysisRan"
  // in its run folder there, which nothing copies back; it succeeds when `condition`, the
  // command of its success condition, does. Its response is read from "result.lis", a file
  // that only the extraction definition names.
  void writeRemoteStudy(const std::string& condition) {
    writeCalcStudy(study_,
                   {.command = "sh calc.sh && cp calc.out result.lis && touch analysisRan",
                    .extraAnalysis = "computeResource: farNode\n",
                    .extraExecution = "successCondition: ranThere\nfinishCheckFrequency: 1\n",
                    .extraDefinitions = farNode() +
                                        "*DEFINE_CONDITION\nname: ranThere\ntype: Command\n"
                                        "command: " + condition + "\ncmdCheck: yes\ncmdVal: 0\n",
                    .extractFrom = "result.lis"});
  }

  // The one file called `name` below `folder`; "" when there is none.
  static std::string findBelow(const std::string& folder, const std::string& name) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (entry.path().filename() == name) return entry.path().string();
    }
    return "";
  }

  TempDir root_{"karvo-remote"};
  std::string study_ = root_.file("study"), bin_ = root_.file("bin"),
              remote_ = root_.file("remote");
};

// Before the first remote run the study files that the analysis takes from the study folder
// are copied to the remote study folder, with the progress in the message file and in
// "copyFilesToRemoteStudyFolder.msg". The success condition's command runs in the analysis's
// run folder there, through ssh and the analysis's shell (/bin/bash by default): it finds the
// file the analysis left, so the design succeeds; run here, it would not.
TEST_F(EvaluationFlowRemote, RemoteStudyFolderIsPreparedAtStartUpAndConditionsRunThere) {
  writeRemoteStudy("test -f analysisRan && pwd > conditionRanIn");
  const testing::ProcessResult result = run();
  const std::string messages = readFile(study_ + "/study.mes");
  ASSERT_EQ(result.status, 0) << messages;
  EXPECT_EQ(readFile(remote_ + "/study/calc.sh"), kCalcScript);
  EXPECT_EQ(readFile(study_ + "/copyFilesToRemoteStudyFolder.msg"),
            "Copying files for analysis: calc (remote profile: cluster)\n"
            "Done copying files to remote machine.\n");
  const std::string log = readFile(study_ + "/POST_0/Design1/calc/analysis.log");
  // The output file named only by the extraction definition comes back with the analysis's
  // own output file.
  EXPECT_EQ(readFile(study_ + "/demo_0/Design1/calc/result.lis"), "RESULT F = 1.50000\n");
  EXPECT_THAT(unwrapped(log),
              HasLines("*NOTE\nCopying output file calc.out from the remote machine back to the "
                       "analysis folder on the local machine.\n*NOTE\nCopying output file "
                       "result.lis from the remote machine back to the analysis folder on the "
                       "local machine.\n"));

  const std::string ran = findBelow(remote_, "analysisRan");
  ASSERT_FALSE(ran.empty());
  const std::string remoteFolder = std::filesystem::path(ran).parent_path().string();
  EXPECT_EQ(readFile(remoteFolder + "/conditionRanIn"), remoteFolder + "\n");
  EXPECT_EQ(findBelow(study_, "conditionRanIn"), "");
  EXPECT_THAT(readFile(bin_ + "/ssh.log"),
              HasLines("[-n][-o][BatchMode=yes][ana@hpc1][/bin/bash -c 'cd " + remoteFolder +
                       " && test -f analysisRan && pwd > conditionRanIn']\n"));
}

// A condition command that fails on the remote machine fails the analysis: the baseline
// design is unsuccessful and the run ends with exit status 133.
TEST_F(EvaluationFlowRemote, FailingRemoteConditionFailsTheAnalysis) {
  writeRemoteStudy("test -f neverWritten");
  const testing::ProcessResult result = run();
  EXPECT_EQ(result.status, 133);
  EXPECT_TRUE(has(readFile(study_ + "/study.mes"),
                  "The baseline design evaluation for agent 0 was unsuccessful."));
}

// An analysis that asks for a job-based reservation: the reservation is made at start-up,
// the job runs on the machine it reserved (through the reservation's remote profile), and the
// reservation is cancelled among the closing steps. (The notes of each step:
// ReservationTest.JobBasedReservationFromSubmitToCancel.)
TEST_F(EvaluationFlowRemote, JobBasedReservationRunsTheAnalysisOnTheReservedMachine) {
  writeCalcStudy(
      study_,
      {.extraAnalysis = "computeResource: hpc\nreserveType: job\nreserveNodes: 1\n",
       .extraExecution = "finishCheckFrequency: 1\n",
       .extraDefinitions =
           profile() +
           "*DEFINE_COMPUTE_RESOURCE\nname: hpc\ntype: Scheduled\njobCommand: sbatch\n"
           "reserveEnabled: 1\nreserveSubmitCmd: echo Reservation R42 granted\nreserveReadID: 1\n"
           "reserveIDStart: Reservation\nreserveIDEnd: granted\nreserveParseCmd: echo node7\n"
           "reserveCancelCmd: echo cancelled %RESVID% >> cancel.log\n"
           "reserveRemoteProfile: cluster\n"});
  const testing::ProcessResult result = run();
  ASSERT_EQ(result.status, 0) << readFile(study_ + "/study.mes");
  EXPECT_EQ(readFile(study_ + "/cancel.log"), "cancelled R42\n");
  const std::string log = readFile(study_ + "/POST_0/Design1/calc/analysis.log");
  EXPECT_THAT(log, HasLines("*NOTE\nCompute resource used: _Internal_calc_0\n"));
  // The analysis ran in its remote folder, reached as the reserved machine.
  EXPECT_EQ(readFile(remote_ + "/study/KARVO_0/Design1/calc/calc.out"), "RESULT F = 1.50000\n");
  EXPECT_NE(readFile(bin_ + "/ssh.log").find("[ana@node7]"), std::string::npos);
}

}  // namespace
}  // namespace karvo
