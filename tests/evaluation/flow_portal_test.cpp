// The portal calls of the evaluation flow. A portal of the test's own, registered with the
// extension manager for the analysis type "Recorder", notes every call and the map it gets
// and answers as each test asks; the General portal is seen on a real analysis (on a remote
// machine: EvaluationFlowRemote).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/working_directory.h"
#include "evaluation/app_access.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/responses.h"
#include "evaluation/running_log.h"
#include "external/extension_manager.h"
#include "external/portal.h"
#include "support/calc_study.h"

namespace karvo {
namespace {

using testing::CalcStudy;
using testing::HasLines;
using testing::readFile;
using testing::writeFile;
using ::testing::ElementsAre;
using ::testing::Not;

// A note and an error of an analysis log.
std::string note(const std::string& text) { return "*NOTE\n" + text + "\n"; }
std::string error(const std::string& text) { return "*ERROR\n" + text + "\n"; }

// ---- A portal that notes its calls -------------------------------------------------------------

// What the recording portal answers.
struct Answers {
  bool runHandled = true;
  // finishCheck answers in turn; the last one repeats.
  std::vector<FinishState> finish{FinishState::NotFinished, FinishState::Finished};
  bool finishAfterProgress = false;  // NotFinished until progress was asked, then Finished
  bool successOk = true;
  bool extractOk = true;
  std::vector<std::string> extraInputs{}, extraOutputs{}, extraDeletes{};
  std::map<std::string, std::string> paths{};  // resolvePath: name -> path; others fail
};

class RecordingPortal final : public Portal {
 public:
  explicit RecordingPortal(Answers answers) : answers_(std::move(answers)) {}

  const char* name() const override { return "Recorder"; }

  PortalInitResult initialize(const PropertiesMap& p) override {
    note("initialize", p);
    PortalInitResult result;
    result.ok = true;
    result.extraInputFiles = answers_.extraInputs;
    result.extraOutputFiles = answers_.extraOutputs;
    result.extraDeleteFiles = answers_.extraDeletes;
    return result;
  }
  PortalResult prepare(const PropertiesMap& p, const TagValueCallback& tagValue) override {
    note("prepare", p);
    writeFile(p.value("destDir") + "/calc.inp", tagValue("x", "").values.at(0) + "\n");
    return ok();
  }
  PortalPathResult resolvePath(const PropertiesMap& p, const std::string& file) override {
    note("resolvePath " + file, p);
    PortalPathResult result;
    auto found = answers_.paths.find(file);
    if (found == answers_.paths.end()) {
      result.messages.push_back("ERROR: The portal knows no file \"" + file + "\".");
      return result;
    }
    result.ok = true;
    result.path = found->second;
    return result;
  }
  PortalRunResult run(const PropertiesMap& p) override {
    note("run", p);
    PortalRunResult result;
    result.ok = true;
    result.handled = answers_.runHandled;
    if (result.handled) result.messages.push_back("The solver job was handed to the queue.");
    return result;
  }
  PortalProgressResult progress(const PropertiesMap& p) override {
    note("progress", p);
    progressAsked_ = true;
    PortalProgressResult result;
    result.ok = true;
    result.fraction = 0.25;
    return result;
  }
  PortalFinishResult finishCheck(const PropertiesMap& p) override {
    note("finishCheck", p);
    PortalFinishResult result;
    if (answers_.finishAfterProgress) {
      result.state = progressAsked_ ? FinishState::Finished : FinishState::NotFinished;
    } else {
      result.state = answers_.finish[std::min(finishAsked_++, answers_.finish.size() - 1)];
    }
    result.ok = result.state != FinishState::Error;
    if (!result.ok) result.messages.push_back("ERROR: The solver job has vanished.");
    return result;
  }
  PortalResult successCheck(const PropertiesMap& p) override {
    note("successCheck", p);
    PortalResult result = ok();
    if (!answers_.successOk) {
      result.ok = false;
      result.messages.push_back("ERROR: The solver ended with errors.");
    }
    return result;
  }
  PortalResult extract(const PropertiesMap& p, const ExtractionCallback& report) override {
    note("extract", p);
    report("f", {4.0}, true, "");
    PortalResult result = ok();
    if (!answers_.extractOk) {
      result.ok = false;
      result.messages.push_back("ERROR: The result file is incomplete.");
    }
    return result;
  }

  std::vector<std::string> calls;  // in order; resolvePath with the name asked for
  std::vector<PropertiesMap> maps;  // the map of each call

 private:
  static PortalResult ok() {
    PortalResult result;
    result.ok = true;
    return result;
  }
  void note(const std::string& call, const PropertiesMap& p) {
    calls.push_back(call);
    maps.push_back(p);
  }
  Answers answers_;
  std::size_t finishAsked_ = 0;
  bool progressAsked_ = false;
};

// ---- A batch of this process -------------------------------------------------------------------

// The study: "calc" copies no script, and its command only leaves a mark.
CalcStudy portalStudy(const std::string& extraAnalysis = "",
                      const std::string& command = "touch command.ran") {
  return {.script = "", .command = command, .extraAnalysis = extraAnalysis,
          .extraExecution = "numDesigns: 2\n", .withFormula = false};
}

class FlowPortal : public testing::CalcFlowTest {
 protected:
  FlowPortal() : CalcFlowTest("karvo-flow-portal") {}
  void SetUp() override {
    CalcFlowTest::SetUp();
    resetWorkingDirectoryState();
    run.studyName = "demo";
    run.settings.baselineSuppressed = 1;  // a failing design 1 does not end the run
    run.settings.skipEvalCheck = 1;
    workingDirectoryState.installationRoot = dir_.path();
  }
  void TearDown() override {
    ExtensionManager::release();
    CalcFlowTest::TearDown();
    resetWorkingDirectoryState();
  }

  // Registers the recording portal and reads the study.
  RecordingPortal& withPortal(const Answers& answers, const CalcStudy& study = portalStudy()) {
    ExtensionManager* manager = ExtensionManager::instance(&access_);
    EXPECT_NE(manager, nullptr);
    auto portal = std::make_unique<RecordingPortal>(answers);
    RecordingPortal& recorder = *portal;
    manager->registerPortal("Recorder", std::move(portal));
    CalcStudy recorded = study;
    recorded.extraAnalysis = "solver: Recorder\nversion: R12\n" + study.extraAnalysis;
    load(recorded);
    return recorder;
  }

  // Evaluates design 1 (x = 1) into designs_; answers the number of failed designs.
  int evaluateOne() {
    designs_ = {designAt(1.0)};
    return evaluate(designs_).failed;
  }

  std::string runFolder(int design = 1) const {
    return dir_.file("demo_0/Design" + std::to_string(design) + "/calc");
  }
  std::string analysisLog(int design = 1) const {
    return readFile(dir_.file("POST_0/Design" + std::to_string(design) + "/calc/analysis.log"));
  }
  solverAppAccess access_;
  std::vector<Design> designs_;
};

// ---- Launch and completion -------------------------------------------------------------------

TEST_F(FlowPortal, PortalThatRunsTheAnalysisIsPolledUntilItHasFinished) {
  RecordingPortal& portal = withPortal(Answers{});
  EXPECT_EQ(evaluateOne(), 0);
  EXPECT_THAT(portal.calls, ElementsAre("initialize", "prepare", "run", "finishCheck",
                                        "finishCheck", "successCheck", "extract"));
  EXPECT_EQ(designs_[0].status, kDesignFeasible);
  EXPECT_EQ(designs_[0].responses.at(0).values, std::vector<double>{4.0});
  EXPECT_EQ(readFile(runFolder() + "/calc.inp"), "1.00000\n");
  // The portal ran the analysis (its call above); the analysis command never ran.
  EXPECT_FALSE(std::filesystem::exists(runFolder() + "/command.ran"));

  const std::string log = analysisLog();
  EXPECT_THAT(log, HasLines(note("Calling run analysis implementation in the portal")));
  EXPECT_THAT(log, HasLines(note("The solver job was handed to the queue.")));
  EXPECT_THAT(log, HasLines(note("Portal run analysis execution completed.")));
  EXPECT_THAT(log, Not(HasLines(note("Running the analysis command."))));
  // The records in the order of the run: started, the portal's run with the time before and
  // after it, ended.
  const std::size_t started = log.find("*CMD_STARTTIME\n");
  const std::size_t calling = log.find("Calling run analysis implementation in the portal");
  const std::size_t firstTime = log.find("*NOTE\nCurrent time: ");
  const std::size_t completed = log.find("Portal run analysis execution completed.");
  const std::size_t secondTime = log.find("*NOTE\nCurrent time: ", completed);
  const std::size_t ended = log.find("*CMD_ENDTIME\n");
  ASSERT_NE(secondTime, std::string::npos) << log;
  EXPECT_LT(started, calling);
  EXPECT_LT(calling, firstTime);
  EXPECT_LT(firstTime, completed);
  EXPECT_LT(secondTime, ended);
  EXPECT_EQ(log.find("*NOTE\nCurrent time: ", firstTime + 1), secondTime);  // two, no more
  // "Current time: " and a time stamp ("%Y-%m-%dT%H:%M:%S.mmm").
  const std::size_t from = firstTime + std::string("*NOTE\nCurrent time: ").size();
  const std::string stamp = log.substr(from, log.find('\n', from) - from);
  EXPECT_EQ(stamp.size(), 23u) << stamp;
  EXPECT_EQ(stamp[10], 'T') << stamp;
}

TEST_F(FlowPortal, PortalThatLeavesTheRunToTheJobController) {
  RecordingPortal& portal = withPortal({.runHandled = false});
  EXPECT_EQ(evaluateOne(), 0);
  // Its job is watched through its process: the portal is not asked whether it finished.
  EXPECT_THAT(portal.calls,
              ElementsAre("initialize", "prepare", "run", "successCheck", "extract"));
  EXPECT_TRUE(std::filesystem::exists(runFolder() + "/command.ran"));
  const std::string log = analysisLog();
  EXPECT_THAT(log, HasLines(note("Running the analysis command.")));
  EXPECT_THAT(log, Not(HasLines(note("Calling run analysis implementation in the portal"))));
  EXPECT_EQ(log.find("*NOTE\nCurrent time: "), std::string::npos);
}

TEST_F(FlowPortal, NilCommandIsStillRunByAPortalThatRunsItsAnalyses) {
  RecordingPortal& portal = withPortal(Answers{}, portalStudy("", "nil"));
  EXPECT_EQ(evaluateOne(), 0);
  EXPECT_THAT(portal.calls, ElementsAre("initialize", "prepare", "run", "finishCheck",
                                        "finishCheck", "successCheck", "extract"));
  EXPECT_THAT(analysisLog(), Not(HasLines(note("No execution being performed for this "
                                               "analysis, since the execution command is "
                                               "\"nil\"."))));
}

// Each call of the portal that fails ends the analysis there, with the portal's message and
// the solver's own, and fails it: the calls up to the failing one, the log's texts.
TEST_F(FlowPortal, FailingCallEndsAndFailsTheAnalysis) {
  const struct {
    Answers answers;
    std::string extraAnalysis;
    std::vector<std::string> lastCalls;
    std::string log;
  } cases[] = {
      {{.finish = {FinishState::Error}}, "", {"initialize", "prepare", "run", "finishCheck"},
       error("The solver job has vanished.") +
           error("Call to check runInternal completion status returned error. Marking analysis "
                 "as complete.")},
      // Past its time limit.
      {{.finish = {FinishState::NotFinished}}, "maxTime: 1\n", {"finishCheck"},
       "*WARNING\nMaximum allowed time exceeded for analysis calc of design 1. This will be "
       "marked as completed. Will try to kill the analysis process.\n"},
      // Nothing is extracted after a failed success check.
      {{.successOk = false}, "", {"successCheck"},
       error("The solver ended with errors.") +
           error("Portal reports analysis failure. Setting analysis status to error.") +
           error("The processing of response \"f\" resulted in no data being extracted. This "
                 "design will be marked as an error design.")},
      // Every response was reported, yet the portal says the extraction failed.
      {{.extractOk = false}, "", {"extract"},
       error("The result file is incomplete.") +
           error("Portal reports analysis failure. Setting analysis status to error.")},
      // An extra file of initialize that the portal cannot place.
      {{.extraDeletes = {"unknown"}}, "", {"initialize", "resolvePath unknown"},
       error("The portal knows no file \"unknown\".") +
           error("Error in getting the correct path for the file \"unknown\" to be deleted "
                 "from the portal.")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lastCalls.back());
    TearDown();  // a fresh study for each
    std::filesystem::remove_all(dir_.file("demo_0"));
    std::filesystem::remove_all(dir_.file("POST_0"));
    SetUp();
    RecordingPortal& portal = withPortal(c.answers, portalStudy(c.extraAnalysis));
    EXPECT_EQ(evaluateOne(), 1);
    ASSERT_GE(portal.calls.size(), c.lastCalls.size());
    // All the calls when the list starts with "initialize", else the last ones.
    const auto from = c.lastCalls.front() == "initialize" ? portal.calls.begin()
                                                         : portal.calls.end() - c.lastCalls.size();
    EXPECT_EQ(std::vector<std::string>(from, portal.calls.end()), c.lastCalls);
    const std::string log = analysisLog();
    EXPECT_THAT(log, HasLines(c.log));
    EXPECT_THAT(log, HasLines("*STATUS\nERROR\n"));
  }
}

// The progress of a portal's analysis is asked for with the progress note, which comes at most
// every 10 seconds: this test takes that long.
TEST_F(FlowPortal, ProgressIsAskedWithTheProgressNote) {
  RecordingPortal& portal = withPortal({.finishAfterProgress = true});
  EXPECT_EQ(evaluateOne(), 0);
  ASSERT_GE(portal.calls.size(), 6u);
  EXPECT_EQ(portal.calls[portal.calls.size() - 4], "progress");
  EXPECT_EQ(portal.calls[portal.calls.size() - 3], "finishCheck");
  EXPECT_THAT(analysisLog(), HasLines(note("The portal reports the analysis 25% done.")));
}

// ---- The map -----------------------------------------------------------------------------------

TEST_F(FlowPortal, EveryCallGetsTheMapOfItsDesignCaseAndBatch) {
  RecordingPortal& portal = withPortal(Answers{});
  std::vector<Design> designs{designAt(1.0), designAt(2.0)};
  EXPECT_EQ(evaluate(designs).failed, 0);
  const std::string study = dir_.path();
  for (int design = 1; design <= 2; ++design) {
    const std::string run = runFolder(design);
    const std::map<std::string, std::string> expected{
        {"evalId", std::to_string(design)},
        {"caseIndex", "0"},
        {"evaluateResponsesOnly", "false"},
        {"analysisName", "calc"},
        {"studyDir", study},
        {"version", "R12"},
        {"remoteDir", ""},
        {"remoteStudyDir", ""},
        {"SID_AnlName", "demo_calc"},
        {"destDir", run},
        {"postDir", study + "/POST_0/Design" + std::to_string(design)},
        {"InTagged", "calc.inp\n"},
        {"InTagDef", "calc.tpl\n"},
        {"inputTagFilepaths", run + "/calc.inp\n"},
        {"inputFilenames", ""},
        {"inputFilepaths", ""},
        {"OutTagged", "f\n"},
        {"OutTagDef", "f.def\n"},
        {"outputFilenames", "calc.out\n"},
        {"outputFilepaths", run + "/calc.out\n"},
        {"outputTagFilepaths", study + "/f.def\n"},
        {"NoRemote", "true"},
        {"EvalRun", "true"},
        {"ResolvePaths", "true"},
        {"BatchInfo", std::to_string(design) + ":2"},
        {"remoteUpdate", "false"},
        {"remoteExtract", "false"},
        // The keys of the General portal.
        {"InputSource1", "calc.tpl"},
        {"InputTarget1", "calc.inp"},
        {"ResponseName1", "f"},
        {"ResponseDefinition1", "file: calc.out\nanchor: RESULT F\nword: 4\n"},
        {"jobFinished", "false"},
    };
    std::vector<std::string> calls;
    for (std::size_t i = 0; i < portal.calls.size(); ++i) {
      const PropertiesMap& map = portal.maps[i];
      if (map.value("evalId") != std::to_string(design)) continue;
      calls.push_back(portal.calls[i]);
      std::map<std::string, std::string> got(map.properties().begin(), map.properties().end());
      // The job controller's view reaches the calls after completion.
      std::map<std::string, std::string> want = expected;
      if (portal.calls[i] == "successCheck" || portal.calls[i] == "extract") {
        want["jobFinished"] = "true";
      }
      EXPECT_EQ(got, want) << portal.calls[i] << " of design " << design;
    }
    // Each call of the design got its map.
    calls.erase(std::remove(calls.begin(), calls.end(), "finishCheck"), calls.end());
    EXPECT_THAT(calls, ElementsAre("initialize", "prepare", "run", "successCheck", "extract"))
        << design;
  }
}

// ---- The extra files of initialize -------------------------------------------------------------

TEST_F(FlowPortal, ExtraInputFilesAreCopiedAndMarkedFilesDeletedAtTheStart) {
  writeFile(dir_.file("include.k"), "*INCLUDE\n");
  std::filesystem::create_directories(runFolder());
  writeFile(runFolder() + "/stale.out", "from an earlier run\n");
  RecordingPortal& portal = withPortal({.extraInputs = {dir_.file("include.k")},
                                        .extraDeletes = {"stale", "absent"},
                                        .paths = {{dir_.file("include.k"), dir_.file("include.k")},
                                                  {"stale", runFolder() + "/stale.out"},
                                                  {"absent", runFolder() + "/absent.out"}}});
  EXPECT_EQ(evaluateOne(), 0);
  EXPECT_THAT(std::vector<std::string>(portal.calls.begin(), portal.calls.begin() + 5),
              ElementsAre("initialize", "resolvePath " + dir_.file("include.k"),
                          "resolvePath stale", "resolvePath absent", "prepare"));
  EXPECT_EQ(readFile(runFolder() + "/include.k"), "*INCLUDE\n");
  EXPECT_FALSE(std::filesystem::exists(runFolder() + "/stale.out"));
  const std::string log = analysisLog();
  EXPECT_THAT(log, HasLines(note("Getting updated file path from portal") +
                            note("Deleting file \"stale.out\" at the start of the analysis from "
                                 "folder \"" + runFolder() + "\".")));
  // A file that is not there is not mentioned.
  EXPECT_EQ(log.find("absent.out"), std::string::npos);
}

}  // namespace
}  // namespace karvo
