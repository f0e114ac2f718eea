// Tests of response processing: the portal's extraction reports and their log texts, text and
// numeric values, formula, curve-fit and filter responses (the filter against the known
// behaviour of CFC filters), forming-limit responses and response-surface models that
// cannot be read, accepted ranges, the finishing of a design, the start-up
// association of study responses with analyses, and the roll-up of statuses.
#include "evaluation/responses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "base/run_state.h"
#include "support/study_files_fixture.h"
#include "evaluation/formula.h"
#include "definitions/process_file.h"
#include "evaluation/response_curvefit.h"
#include "evaluation/response_filter.h"
#include "platform/platform.h"
#include "definitions/performance_file.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::fatalBlock;
using testing::readFile;

// Logs of the tests: "<folder>/log_<design>_<analysis>.txt" ("" analysis: the design log).
std::string gLogFolder;
std::string logPathFor(int designNumber, const std::string& analysisName) {
  return gLogFolder + "/log_" + std::to_string(designNumber) + "_" + analysisName + ".txt";
}

std::string block(const char* header, const std::string& text) {
  return std::string(header) + "\n" + text + "\n";
}
std::string errorLog(const std::string& text) { return block("*ERROR", text); }
std::string warningLog(const std::string& text) { return block("*WARNING", text); }
std::string noteLog(const std::string& text) { return block("*NOTE", text); }

const char* const kResponseDefinitions =
    "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
    "*DEFINE_VARIABLE\nname: thickness\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 5\n"
    "*DEFINE_CURVE\nname: target\nsize: 3\npoint: 0, 1\npoint: 1, 3\npoint: 2, 3, 4\n"
    "*DEFINE_RESPONSE\nname: mass\ntype: File\nacceptMin: 0\nacceptMax: 100\n"
    "*DEFINE_RESPONSE\nname: stress\ntype: File\n"
    "*DEFINE_RESPONSE\nname: label\ntype: File\ndataType: text\n"
    "*DEFINE_RESPONSE\nname: time\ntype: File\n"
    "*DEFINE_RESPONSE\nname: force\ntype: File\n"
    "*DEFINE_RESPONSE\nname: accel\ntype: File\n"
    "*DEFINE_RESPONSE\nname: double\ntype: Formula\nformula: 2 * mass + thickness\n"
    "*DEFINE_RESPONSE\nname: pair\ntype: Formula\nformula:2\n"
    "half = mass / 2\n_result = [half, (Design_Num, 3.5)]\n"
    "*DEFINE_RESPONSE\nname: first\ntype: Formula\nformula: later + 1\n"
    "*DEFINE_RESPONSE\nname: later\ntype: Formula\nformula: mass * 10\n"
    "*DEFINE_RESPONSE\nname: caption\ntype: Formula\ndataType: text\nformula: mass / 4\n"
    "*DEFINE_RESPONSE\nname: fit\ntype: Curve Fit\nfitTarget: target\nfitX: time\n"
    "fitY: force\nfitMode: Match\ncurveFitFormula: time+force\n"
    "*DEFINE_RESPONSE\nname: lostFit\ntype: Curve Fit\nfitTarget: nowhere\nfitX: time\n"
    "fitY: force\n"
    "*DEFINE_RESPONSE\nname: smooth\ntype: Filter\nfilter: accel\nfilterType: 2\nnumPts: 3\n"
    "*DEFINE_RESPONSE\nname: cfc\ntype: Filter\nfilter: accel\nfilterType: 1\ncutoff: 60\n"
    "interval: 1e-4\n"
    "*DEFINE_RESPONSE\nname: coarse\ntype: Filter\nfilter: accel\nfilterType: 1\ncutoff: 180\n"
    "interval: 0.002\n"
    "*DEFINE_RESPONSE\nname: fld\ntype: FLD\ncurveType: keeler\nminor: time\nmajor: force\n"
    "thickness: thickness\nhardening: 0.21\ncurveOffset: 0.1\n"
    "*DEFINE_RESPONSE\nname: lostFld\ntype: FLD\ncurveType: Curve\ntensileCurve: nowhere\n"
    "minor: time\nmajor: force\n"
    "*DEFINE_RESPONSE\nname: surrogate\ntype: RSM\nmdlFile: mass.mdl\nvariables: thickness\n"
    "*END\n";

ResponseValue numbers(std::vector<double> values) {
  ResponseValue value;
  value.values = std::move(values);
  value.present = true;
  value.status = kStatusSuccess;
  return value;
}

class ResponsesTest : public testing::StudyFilesTest {
 protected:
  void SetUp() override {
    StudyFilesTest::SetUp();
    gLogFolder = dir_.path();
    analysisLogPath = &logPathFor;
    read(kResponseDefinitions);
    clearMessages();
    resetResponseProcessing();
    runFolder_ = dir_.file("Design7/solve");
    ASSERT_TRUE(platform::makeDirectories(runFolder_));

    solve_.name = "solve";
    solve_.id = 3;
    solve_.outputResponses = {"mass", "stress", "label"};
    solve_.calculatedResponses = {"double"};

    context_.designNumber = 7;
    context_.analysisName = "solve";
    context_.analysis = &solve_;
    context_.analysisPath = runFolder_;
    context_.numbers = {{"thickness", 2.0}};
  }
  void TearDown() override {
    analysisLogPath = nullptr;
    resetResponseProcessing();
    StudyFilesTest::TearDown();
  }

  std::string log(const std::string& analysis = "solve") {
    const std::string path = logPathFor(7, analysis);
    return platform::pathExists(path) ? readFile(path) : "";
  }
  void clearLogs() {
    platform::removeFile(logPathFor(7, "solve"));
    platform::removeFile(logPathFor(7, ""));
  }
  const ResponseValue& value(const std::string& name) { return context_.responses.at(name); }

  // A performance definition made in the test: (name, flag, option, target) per response.
  struct StudyResponse {
    std::string name;
    int flag;
    int opt;
    double target;
  };
  static PerformanceDefinition performance(const std::vector<StudyResponse>& responses) {
    PerformanceDefinition table;
    table.number = 2;
    for (const StudyResponse& r : responses) {
      table.name.push_back(r.name);
      table.flag.push_back(r.flag);
      table.opt.push_back(r.opt);
      table.goal.push_back(-2);
      table.resp_value_type.push_back(0);
      table.eval.push_back(-1);
      table.eval_tool.push_back(-1);
      table.coef.push_back(0.0);
      table.target.push_back(r.target);
      table.norm.push_back(1.0);
      table.offset.push_back(1.0);
      table.minAllowed.push_back(-kNoAcceptLimit);
      table.maxAllowed.push_back(kNoAcceptLimit);
      table.err_msgs.push_back("");
      ++table.count;
    }
    return table;
  }

  std::string runFolder_;
  Analysis solve_;
  EvaluationContext context_;
};

// ---------------------------------------------------------------------------------------
// Statuses

TEST(ResponseStatus, RollUpTakesTheResponsesInOrder) {
  const int E = kStatusError, S = kStatusSuccess, F = kStatusFeasible, I = kStatusInfeasible,
            N = kStatusNotEvaluated, K = kStatusSkipped;
  EXPECT_EQ(rollUpAnalysisStatus(true, true, {F}), K);   // skipped beats everything
  EXPECT_EQ(rollUpAnalysisStatus(false, false, {}), S);
  EXPECT_EQ(rollUpAnalysisStatus(false, true, {F, I}), E);  // once ERROR, nothing changes it
  EXPECT_EQ(rollUpAnalysisStatus(false, false, {S, N, K, 17}), S);
  EXPECT_EQ(rollUpAnalysisStatus(false, false, {S, F, N}), F);
  EXPECT_EQ(rollUpAnalysisStatus(false, false, {I, F}), I);  // INFEASIBLE stays
  EXPECT_EQ(rollUpAnalysisStatus(false, false, {I, E, F}), E);
}

TEST_F(ResponsesTest, AnalysisStatusAndTheResponsesOfADesign) {
  context_.responses["mass"] = numbers({1.0});
  context_.responses["mass"].status = kStatusFeasible;
  EXPECT_EQ(analysisStatusOf(solve_, false, false, context_), kStatusFeasible);
  context_.responses["double"] = ResponseValue();  // ERROR
  EXPECT_EQ(analysisStatusOf(solve_, false, false, context_), kStatusError);
  EXPECT_EQ(analysisStatusOf(solve_, true, false, context_), kStatusSkipped);

  // ---------------------------------------------------------------------------------------
  // The responses of a design
  Process process;
  process.analyses.push_back(solve_);
  PerformanceDefinition table = performance({{"stress", 1, -1, 5.0}, {"fit", 3, 0, 0.0},
                                             {"first", 3, 0, 0.0}});
  EXPECT_THAT(designResponseNames(&table, &process),
              ElementsAre("mass", "stress", "label", "double", "fit", "first", "time", "force",
                          "later"));
  EXPECT_THAT(responseDependencies(*findResponseDefinition("pair")), ElementsAre("mass"));
  EXPECT_TRUE(responseDependencies(*findResponseDefinition("mass")).empty());

  startDesignResponses(context_, {"mass", "fit"});
  EXPECT_EQ(context_.responses.size(), 2u);
  EXPECT_FALSE(value("fit").present);
  EXPECT_EQ(value("fit").status, kStatusNotEvaluated);
}

// ---------------------------------------------------------------------------------------
// Extraction

TEST_F(ResponsesTest, ExtractionReportsWithTheirExactTexts) {
  // (A report of every value: ProcessingOrSkippingAnAnalysisMarksItsResponses.)
  ExtractionCallback report = responseExtractionCallback(context_);
  recordExtractedNumbers(context_, "stress", {250.0}, "Read from the last step.", false);
  EXPECT_EQ(log(), noteLog("The following message was received from the portal during "
                           "extraction for response stress:\nRead from the last step."));
  EXPECT_THAT(value("stress").values, ElementsAre(250.0));
  clearLogs();

  report("stress", {}, false, "The anchor \"VON MISES\" was not found in \"out.txt\".");
  EXPECT_EQ(log(), errorLog("The following message was received from the portal during "
                            "extraction for response stress:\nThe anchor \"VON MISES\" was not "
                            "found in \"out.txt\"."));
  EXPECT_TRUE(value("stress").values.empty());
  EXPECT_EQ(value("stress").status, kStatusError);
  clearLogs();

  recordExtractedValues(context_, "label", {"steel", "S355"}, "", false);
  EXPECT_THAT(value("label").text, ElementsAre("steel", "S355"));
  recordExtractedNumbers(context_, "label", {2.5, 1e-7, 3.0}, "", false);
  EXPECT_THAT(value("label").text, ElementsAre("2.5", "1e-07", "3"));

  recordExtractedValues(context_, "mass", {" 12.5 ", "-1.5e3"}, "", false);
  EXPECT_THAT(value("mass").values, ElementsAre(12.5, -1500.0));
  EXPECT_EQ(log(), "");

  recordExtractedValues(context_, "mass", {"12.5", "*****"}, "", false);
  EXPECT_EQ(log(), errorLog("The value \"*****\" extracted for the numeric response \"mass\" is "
                            "not a number. The response has no data."));
  EXPECT_TRUE(value("mass").values.empty());
  EXPECT_EQ(value("mass").status, kStatusError);
  clearLogs();

  // Reports of responses the analysis does not extract are not used.
  recordExtractedNumbers(context_, "volume", {1.0}, "", false);
  EXPECT_EQ(log(), warningLog("The portal reported the response \"volume\", which is not a "
                              "defined response. The value was not used."));
  clearLogs();
  recordExtractedNumbers(context_, "time", {1.0}, "", false);
  EXPECT_EQ(log(), warningLog("The portal reported the response \"time\", which the analysis "
                              "\"solve\" does not extract. The value was not used."));
  EXPECT_EQ(context_.responses.count("time"), 0u);
  EXPECT_EQ(context_.responses.count("volume"), 0u);
}

// ---------------------------------------------------------------------------------------
// Formula responses

TEST_F(ResponsesTest, FormulaResponses) {
  context_.responses["mass"] = numbers({5.0});
  ASSERT_TRUE(calculateResponse(*findResponseDefinition("double"), context_));
  EXPECT_THAT(value("double").values, ElementsAre(12.0));
  EXPECT_EQ(value("double").status, kStatusSuccess);
  ASSERT_TRUE(calculateResponse(*findResponseDefinition("pair"), context_));
  EXPECT_THAT(value("pair").values, ElementsAre(2.5, 7.0, 3.5));
  ASSERT_TRUE(calculateResponse(*findResponseDefinition("caption"), context_));
  EXPECT_THAT(value("caption").text, ElementsAre("1.25"));
  EXPECT_EQ(log(), "");

  context_.responses.erase("mass");
  context_.responses["double"] = numbers({1.0});
  // The formula reads a response without data: it fails and the old value goes.
  EXPECT_FALSE(calculateResponse(*findResponseDefinition("double"), context_));
  EXPECT_TRUE(value("double").values.empty());
  EXPECT_EQ(value("double").status, kStatusError);
  EXPECT_EQ(log(), errorLog("Could not set variable \"mass\" in the Python session. The data for "
                            "this variable was not available."));
  clearLogs();

  // Design responses are calculated in dependency order.
  startDesignResponses(context_, {"mass", "first", "later", "fld"});
  context_.responses["mass"] = numbers({2.0});
  context_.responses["fld"].status = kStatusError;  // already tried: left alone
  EXPECT_TRUE(calculateDesignResponses({"mass", "first", "later", "fld"}, context_));
  EXPECT_THAT(value("later").values, ElementsAre(20.0));
  EXPECT_THAT(value("first").values, ElementsAre(21.0));
  EXPECT_EQ(log(), "");
}

// ---------------------------------------------------------------------------------------
// Curve fit

Curve targetCurve() {
  Curve curve;
  curve.name = "target";
  curve.points = {{0.0, 1.0, 1.0}, {1.0, 3.0, 1.0}, {2.0, 3.0, 4.0}};
  return curve;
}

TEST(CurveFit, EachModeCountsItsSideOfTheInterpolatedTarget) {
  // Point (0.5, 3): T = 2, W = 1, 1 above. Point (1.5, 1): T = 3, W = 2.5, 10 below.
  auto fit = [](FitMode mode, bool normalised) {
    const CurveFitOutcome out =
        computeCurveFit("fit", {0.5, 1.5}, {3.0, 1.0}, targetCurve(), mode, normalised, 0);
    EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.compared, 2);
    return out.value;
  };
  EXPECT_DOUBLE_EQ(fit(FitMode::Match, false), std::sqrt(11.0 / 2.0));
  EXPECT_DOUBLE_EQ(fit(FitMode::Match, true), std::sqrt((0.25 + 10.0 / 9.0) / 2.0));  // / T^2
  EXPECT_DOUBLE_EQ(fit(FitMode::KeepBelow, false), std::sqrt(1.0 / 2.0));
  EXPECT_DOUBLE_EQ(fit(FitMode::KeepAbove, false), std::sqrt(10.0 / 2.0));
}

TEST(CurveFit, PointsOutsideAreSkippedAndBadCurvesFail) {
  const Curve target = targetCurve();
  const CurveFitOutcome some =
      computeCurveFit("fit", {-1.0, 1.0, 2.5}, {0.0, 4.0, 0.0}, target, FitMode::Match, false, 0);
  ASSERT_TRUE(some.ok);
  EXPECT_EQ(some.compared, 1);
  EXPECT_DOUBLE_EQ(some.value, 1.0);
  EXPECT_EQ(some.warnings.size(), 2u);  // their text: CurveFitWritesTheDesignCurve...

  const CurveFitOutcome none =
      computeCurveFit("fit", {3.0, 4.0}, {1.0, 1.0}, target, FitMode::Match, false, 0);
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.value, kCurveFitFailure);
  EXPECT_EQ(none.warnings.size(), 2u);
  EXPECT_EQ(none.error, "Error in evaluating response \"fit\".\nAll the points on the curve lie "
                        "outside the domain of the target curve. No points were compared.\n");

  CurveFitOutcome out =
      computeCurveFit("fit", {0.0, 1.0, 2.0}, {1.0, 2.0}, target, FitMode::Match, false, 0);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, "Error in evaluating response \"fit\".\nThe design curve has different "
                       "number of X and Y values.\nThe X data has 3 values, while the Y data has "
                       "2 values.");
  out = computeCurveFit("fit", {0.0, 1.0}, {1.0, 2.0}, target, FitMode::Match, false, 3);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.value, kCurveFitFailure);
  EXPECT_EQ(out.error, "Error in evaluating response \"fit\".\nThere are only 2 points on the new "
                       "design curve. The minimum valid number defined was 3.\n");
  // A NaN must not pass as a perfect fit of 0.
  out = computeCurveFit("fit", {0.5, 1.0}, {NAN, 3.0}, target, FitMode::Match, false, 0);
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.error, "Error in evaluating response \"fit\".\nThe point # 1 (0.5, nan) of the "
                       "design curve is not a finite number.");
}

TEST_F(ResponsesTest, CurveFitWritesTheDesignCurveAndLogsItsMessages) {
  context_.responses["time"] = numbers({0.5, 1.5, 9.0});
  context_.responses["force"] = numbers({3.0, 1.0, 0.25});
  ASSERT_TRUE(calculateResponse(*findResponseDefinition("fit"), context_));
  EXPECT_DOUBLE_EQ(value("fit").values.at(0), std::sqrt(11.0 / 2.0));
  EXPECT_EQ(readFile(runFolder_ + "/Curve_Data_fit.out"),
            " time, force\n 0.5, 3\n 1.5, 1\n 9, 0.25\n");
  EXPECT_EQ(log(), warningLog("The point # 3 (9, 0.25) of the design curve lies outside the "
                              "domain of the reference curve \"target\". This point will not be "
                              "used in the RMS calculation."));
  clearLogs();

  EXPECT_FALSE(calculateResponse(*findResponseDefinition("lostFit"), context_));
  EXPECT_EQ(log(), errorLog("Error in evaluating response \"lostFit\".\nThe target curve "
                            "\"nowhere\" has not been defined."));
  EXPECT_FALSE(value("lostFit").present);
  clearLogs();

  context_.responses.erase("force");
  EXPECT_FALSE(calculateResponse(*findResponseDefinition("fit"), context_));
  EXPECT_EQ(log(), errorLog("Error in evaluating response \"fit\".\nThe data for \"force\" (the "
                            "Y values of the design curve) is not available."));
}

// ---------------------------------------------------------------------------------------
// Filters

TEST(PointAverage, CentredWindowCutAtTheEnds) {
  const std::vector<double> signal{1.0, 2.0, 6.0, 4.0, 10.0};
  EXPECT_THAT(pointAverage(signal, 3), ElementsAre(1.5, 3.0, 4.0, 20.0 / 3.0, 7.0));
  // Even window: one back, two ahead.
  EXPECT_THAT(pointAverage(signal, 4), ElementsAre(3.0, 13.0 / 4.0, 22.0 / 4.0, 20.0 / 3.0, 7.0));
  EXPECT_THAT(pointAverage(signal, 1), ElementsAre(1.0, 2.0, 6.0, 4.0, 10.0));
  // A window longer than the signal: near the middle every value is averaged.
  EXPECT_THAT(pointAverage({3.0, 5.0}, 9), ElementsAre(4.0, 4.0));
  EXPECT_TRUE(pointAverage({}, 3).empty());
}

// The largest difference, away from the ends, between a unit sine of `hertz` sampled at 10 kHz
// and filtered by CFC `cfc`, and `gain` times the sine itself.
double largestDifference(double hertz, int cfc, double gain) {
  const double dt = 1e-4;
  std::vector<double> sine;
  for (int i = 0; i < 4000; ++i) sine.push_back(std::sin(2 * std::numbers::pi * hertz * i * dt));
  const std::vector<double> out = cfcFilter(sine, dt, cfc);
  double largest = 0.0;
  for (int i = 200; i < 3800; ++i) largest = std::max(largest, std::fabs(out[i] - gain * sine[i]));
  return largest;
}

TEST(CfcFilter, BehavesAsALowPassFilter) {
  // A constant stays constant (no ringing from a start away from zero).
  for (double value : cfcFilter(std::vector<double>(500, 7.25), 1e-4, 60)) {
    ASSERT_NEAR(value, 7.25, 1e-9);
  }
  EXPECT_LT(largestDifference(5.0, 60, 1.0), 0.005);    // passes nearly unchanged
  EXPECT_LT(largestDifference(1000.0, 60, 0.0), 0.01);  // damped to a trace
  // CFC 180 lets 300 Hz through far better than CFC 60 does.
  EXPECT_LT(largestDifference(300.0, 60, 0.0), 0.1);
  EXPECT_GT(largestDifference(300.0, 180, 0.0), 0.6);
  EXPECT_THAT(cfcFilter({4.0}, 1e-4, 60), ElementsAre(4.0));  // too short to filter
  EXPECT_TRUE(cfcFilter({}, 1e-4, 60).empty());
}

TEST_F(ResponsesTest, FilterResponsesAndTheirFailures) {
  context_.responses["accel"] = numbers({1.0, 2.0, 6.0, 4.0, 10.0});
  ASSERT_TRUE(calculateResponse(*findResponseDefinition("smooth"), context_));
  EXPECT_THAT(value("smooth").values, ElementsAre(1.5, 3.0, 4.0, 20.0 / 3.0, 7.0));
  ASSERT_TRUE(calculateResponse(*findResponseDefinition("cfc"), context_));
  EXPECT_EQ(value("cfc").values, cfcFilter({1.0, 2.0, 6.0, 4.0, 10.0}, 1e-4, 60));
  EXPECT_EQ(log(), "");

  EXPECT_FALSE(calculateResponse(*findResponseDefinition("coarse"), context_));
  EXPECT_EQ(log(), errorLog("Error in evaluating response \"coarse\".\nThe time step of the "
                            "signal (\"interval\", 0.002 s) must be greater than 0 and less than "
                            "0.00133333 s for the CFC 180 filter."));
  EXPECT_FALSE(value("coarse").present);
  clearLogs();
  context_.responses["accel"] = numbers({1.0, INFINITY});
  EXPECT_FALSE(calculateResponse(*findResponseDefinition("smooth"), context_));
  EXPECT_EQ(log(), errorLog("Error in evaluating response \"smooth\". The data for response "
                            "to be filtered \"accel\" resulted in non-numeric data."));
  clearLogs();
  context_.responses.erase("accel");
  EXPECT_FALSE(calculateResponse(*findResponseDefinition("smooth"), context_));
  EXPECT_EQ(log(), errorLog("Error in evaluating response \"smooth\".\nThe data for the "
                            "response to be filtered \"accel\" is not available."));
}

// ---------------------------------------------------------------------------------------
// Forming-limit and response-surface responses

TEST_F(ResponsesTest, FormingLimitAndMissingSurfaceModelResponses) {
  context_.numbers = {{"thickness", 1.0}};
  context_.responses["time"] = numbers({-0.1, 0.0, 0.05});
  context_.responses["force"] = numbers({0.3, 0.2, 0.25});
  ASSERT_TRUE(calculateResponse(*findResponseDefinition("fld"), context_));
  ASSERT_EQ(value("fld").values.size(), 1u);
  EXPECT_NEAR(value("fld").values[0], -0.009918101891514, 1e-12);
  EXPECT_EQ(log(), "");

  context_.numbers = {{"thickness", -1.0}};
  EXPECT_FALSE(calculateResponse(*findResponseDefinition("fld"), context_));
  context_.numbers = {{"thickness", 1.0}};
  context_.responses["force"] = numbers({0.3, 0.2});
  EXPECT_FALSE(calculateResponse(*findResponseDefinition("fld"), context_));
  EXPECT_FALSE(calculateResponse(*findResponseDefinition("lostFld"), context_));
  EXPECT_FALSE(calculateResponse(*findResponseDefinition("surrogate"), context_));
  // The model file is taken in the study folder, where there is none.
  const std::string model = run.workingDirectory + "/mass.mdl";
  EXPECT_EQ(log(), errorLog("Error in evaluating response \"fld\".\nThe value of \"thickness\" "
                            "(thickness) is not a number greater than 0 for this design.") +
                       errorLog("Error in evaluating response \"fld\".\nThe strains have "
                                "different numbers of values: 3 minor (\"time\") and 2 major "
                                "(\"force\").") +
                       errorLog("Error in evaluating response \"lostFld\".\nThe forming-limit "
                                "curve \"nowhere\" has not been defined.") +
                       errorLog("Error in evaluating response \"surrogate\".\nThe response "
                                "surface model could not be read: \n\t***** ERROR *****\n\t "
                                "Error in using the response surface file " + model +
                                "\n\t Error in opening the mdl file " + model));
  EXPECT_FALSE(value("fld").present);
  EXPECT_EQ(value("fld").status, kStatusError);
  EXPECT_FALSE(value("surrogate").present);
}

// ---------------------------------------------------------------------------------------
// After an analysis

TEST_F(ResponsesTest, ProcessingOrSkippingAnAnalysisMarksItsResponses) {
  startDesignResponses(context_, {"mass", "stress", "label", "double"});
  PerformanceDefinition table = performance({{"stress", 1, -1, 300.0}, {"mass", 0, -1, 0.0}});
  ExtractionCallback report = responseExtractionCallback(context_);
  report("mass", {5.0}, true, "");
  report("stress", {250.0, 310.0}, true, "");
  report("label", {}, false, "");
  const std::vector<std::string> missing = processAnalysisResponses(solve_, context_, &table);
  EXPECT_THAT(missing, ElementsAre("label"));
  EXPECT_EQ(log(), errorLog("The processing of response \"label\" resulted in no data being "
                            "extracted. This design will be marked as an error design."));
  EXPECT_THAT(value("double").values, ElementsAre(12.0));
  // The second stress value violates "<= 300".
  EXPECT_EQ(value("stress").status, kStatusInfeasible);
  EXPECT_EQ(value("mass").status, kStatusSuccess);
  EXPECT_EQ(analysisStatusOf(solve_, false, false, context_), kStatusError);

  EXPECT_EQ(missingAnalysisResponsesText(missing, "/study/POST_0/Design7/solve/analysis.log"),
            "Could not extract result for all the responses associated with this analysis. The "
            "list of responses is provided below:\n label, \nANALYSIS LOG: "
            "/study/POST_0/Design7/solve/analysis.log");

  table.target[0] = 400.0;
  markConstraintStatuses(table, context_);
  EXPECT_EQ(value("stress").status, kStatusFeasible);

  // A skipped analysis leaves the responses of other analyses alone.
  startDesignResponses(context_, {"mass", "stress", "label", "double"});
  context_.responses["mass"] = numbers({5.0});
  markAnalysisResponsesSkipped(solve_, context_);
  EXPECT_EQ(value("mass").status, kStatusSuccess);
  EXPECT_EQ(value("stress").status, kStatusSkipped);
  EXPECT_EQ(value("double").status, kStatusSkipped);
}

// ---------------------------------------------------------------------------------------
// Accepted ranges and the end of a design

TEST_F(ResponsesTest, ValueOutsideTheAcceptedRangeMakesAnErrorDesign) {
  PerformanceDefinition table = performance({{"mass", 0, -1, 0.0}, {"stress", 1, -1, 1.0}});
  table.maxAllowed[1] = 500.0;
  context_.responses["mass"] = numbers({12.5, 99.0});
  context_.responses["stress"] = numbers({400.0});
  EXPECT_TRUE(checkAcceptRanges(context_, &table));
  EXPECT_EQ(log(""), "");

  context_.responses["mass"] = numbers({12.5, 120.25});
  context_.responses["stress"] = numbers({501.0});
  EXPECT_FALSE(checkAcceptRanges(context_, &table));
  const std::string massText =
      "The value for the response \"mass\" = 120.250000 for design 7, lies outside the range "
      "specified. This design will be marked as an error design.\nThe accepted range is 0 to "
      "100.";
  const std::string stressText =
      "The value for the response \"stress\" = 501.000000 for design 7, lies outside the range "
      "specified. This design will be marked as an error design.\nThe accepted values are at "
      "most 500.";
  EXPECT_EQ(log(""), errorLog(massText) + errorLog(stressText));
  EXPECT_EQ(log(), "");
  EXPECT_EQ(value("mass").status, kStatusError);
  EXPECT_THAT(value("mass").values, ElementsAre(12.5, 120.25));  // kept for the history
  EXPECT_EQ(table.err_msgs[0], massText);
  EXPECT_EQ(table.err_msgs[1], stressText);

  // A value that is not a number lies outside any given range.
  context_.responses["mass"] = numbers({NAN});
  context_.responses["stress"] = numbers({1.0});
  EXPECT_FALSE(checkAcceptRanges(context_, nullptr));
  // Without any range, a value is never refused.
  context_.responses.erase("mass");
  context_.responses["stress"] = numbers({1e200});
  EXPECT_TRUE(checkAcceptRanges(context_, nullptr));
}

TEST_F(ResponsesTest, FinishingADesignCopiesTheStudyResponsesOrFailsIt) {
  PerformanceDefinition table =
      performance({{"stress", 1, -1, 300.0}, {"mass", 0, -1, 0.0}, {"double", 3, 0, 0.0}});
  startDesignResponses(context_, {"mass", "stress", "label", "double"});
  context_.responses["mass"] = numbers({5.0});
  context_.responses["stress"] = numbers({250.0});
  Design design;
  EXPECT_FALSE(finishDesignResponses(context_, &table, design));
  EXPECT_EQ(log(""), errorLog("The evaluation of this design did not result in the extraction "
                              "of data for all the responses associated with this design. The "
                              "list of responses is provided below:\n double, "));
  EXPECT_TRUE(design.failed);
  EXPECT_EQ(design.status, kDesignError);
  ASSERT_EQ(design.responses.size(), 3u);
  EXPECT_THAT(design.responses[0].values, ElementsAre(250.0));
  EXPECT_THAT(design.responses[1].values, ElementsAre(5.0));
  EXPECT_FALSE(design.responses[2].present);
  clearLogs();

  context_.responses["double"] = numbers({12.0});
  Design good;
  EXPECT_TRUE(finishDesignResponses(context_, &table, good));
  EXPECT_FALSE(good.failed);
  EXPECT_EQ(log(""), "");
  EXPECT_THAT(good.responses[2].values, ElementsAre(12.0));
}

// ---------------------------------------------------------------------------------------
// Start-up association

TEST_F(ResponsesTest, StudyResponsesAreAssociatedWithTheAnalysesGivingThem) {
  Process process;
  process.number = 4;
  Analysis mesh;
  mesh.name = "mesh";
  mesh.id = 1;
  mesh.outputResponses = {"time"};
  process.analyses = {mesh, solve_};
  PerformanceDefinition table =
      performance({{"stress", 1, -1, 1.0}, {"time", 3, 0, 0.0}, {"first", 3, 0, 0.0}});
  associateStudyResponses(table, process);
  EXPECT_THAT(table.eval, ElementsAre(1, 0, -1));
  EXPECT_THAT(table.eval_tool, ElementsAre(3, 1, -1));

  // Two analyses give "time": fine while only one of them runs unconditionally.
  process.analyses[1].outputResponses.push_back("time");
  process.analyses[1].runCondition = "coarseMesh";
  associateStudyResponses(table, process);
  EXPECT_THAT(table.eval, ElementsAre(1, 0, -1));
  EXPECT_EQ(messages(), "");
  process.analyses[1].runCondition = "";
  EXPECT_THROW(associateStudyResponses(table, process), RunExit);
  EXPECT_EQ(messages(),
            fatalBlock("The response \"time\" is given by the analyses \"mesh\" and \"solve\" of "
                       "the Process4.in file, neither of which has a run condition. When several "
                       "analyses give one response, only one of them may run without a run "
                       "condition."));

  clearMessages();
  table = performance({{"accel", 3, 0, 0.0}});
  EXPECT_THROW(associateStudyResponses(table, process), RunExit);
  EXPECT_EQ(messages(),
            fatalBlock("The tagged response \"accel\" defined in Performance2.in file has not "
                       "been associated with any analysis in the Process4.in file."));
}

}  // namespace
}  // namespace karvo
