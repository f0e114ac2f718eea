// The searches built on the SQP solver, through the real karvo binary on formula-only
// studies: the SQP search (QP) from the baseline with forward-difference gradients and with
// gradients read from the analyses' gradients file, the multi-start search (MS) within its
// budget, and the search on response surfaces (RS).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "definitions/gradient_file.h"
#include "support/search_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using testing::bestSearchPerformance;
using testing::readFile;
using testing::runSearchStudy;
using testing::SearchStudy;
using testing::searchDesignResults;
using testing::searchMessages;
using testing::TempDir;
using testing::writeFile;
using testing::writeSearchStudy;

const char* const kBowl = "(x - 3)**2 + 2*(y - 7)**2";

// The end-of-run note of the SQP solver, its code and its counts.
struct SqpEnd {
  int code = -1;
  int iterations = -1;
  int calls = -1;
};

SqpEnd sqpEnd(const std::string& messages, const std::string& text) {
  SqpEnd end;
  const std::regex note("SQP search of agent 0 from design 1: " + text +
                        " \\(return code ([0-9]+), ([0-9]+) iterations, ([0-9]+) function "
                        "calls\\)\\.");
  std::smatch match;
  if (std::regex_search(messages, match, note)) {
    end.code = std::stoi(match[1]);
    end.iterations = std::stoi(match[2]);
    end.calls = std::stoi(match[3]);
  }
  return end;
}

const char* const kSolved = "The optimality conditions are satisfied to the accuracy ACC\\.";

// Writes `study` (objective kBowl unless it names one) into `dir` and runs it to a normal end;
// answers the messages.
std::string runToEnd(const TempDir& dir, SearchStudy study) {
  if (study.f.empty()) study.f = kBowl;
  writeSearchStudy(dir, study);
  const auto result = runSearchStudy(dir);
  const std::string messages = searchMessages(dir);
  EXPECT_EQ(result.status, 0) << messages;
  return messages;
}

TEST(SqpSearchRun, ConvergesOnABowlFromTheBaselineWithForwardDifferences) {
  TempDir dir("karvo-qp-bowl");
  SearchStudy study;
  study.agent = "method: QP\nnumIter: 40\nnumLineSearches: 10\nstartingDesign: Baseline\n"
                "gradientMethod: 0\n";
  study.resolution = 10001;
  const std::string messages = runToEnd(dir, study);
  const SqpEnd end = sqpEnd(messages, kSolved);
  ASSERT_EQ(end.code, 0) << messages;
  const auto designs = searchDesignResults(dir);
  // The baseline (6^2 + 2 * 2^2 = 44), then its two neighbours one step of 0.0005 x 10
  // away as one batch.
  EXPECT_EQ(designs.at(1), "FEASIBLE -44.");
  // Forward differences of step 0.005 put the answer about 0.0025 off the optimum.
  EXPECT_GE(bestSearchPerformance(designs, "FEASIBLE"), -1e-4) << messages;
  // At most the function calls and two neighbours for each gradient (one per iteration and
  // the first point's).
  EXPECT_LE(static_cast<int>(designs.size()), end.calls + 2 * (end.iterations + 1)) << messages;
  EXPECT_THAT(readFile(dir.file("search0.rpt")), testing::HasLines("*EXIT STATE\nComplete\n"));
}

// The analysis writes the exact gradient of f into the design folder: the search evaluates
// no finite-difference designs and says where its gradients came from.
TEST(SqpSearchRun, TakesTheGradientsFromTheAnalysesGradientsFile) {
  TempDir dir("karvo-qp-file");
  writeFile(dir.file("grads.sh"),
            "awk -v x=\"$1\" -v y=\"$2\" 'BEGIN { printf \"*RESPONSE_GRADIENT_INFO\\n"
            "responseName: f\\ngradInfo: %.17g, %.17g\\n*END\\n\", 2*(x-3), 4*(y-7) }' "
            "> KARVOGrads.info\n");
  SearchStudy study;
  study.agent = "method: QP\nnumIter: 40\nnumLineSearches: 10\nstartingDesign: Baseline\n"
                "gradientMethod: 1\n";
  study.resolution = 10001;
  study.process = "*PROCESS\nname: p\n*ANALYSIS\nname: grad\nid: 1\n"
                  "*EXECUTION_DEFINITION\nanlFolder: designFolder\ntoolCmd: sh " +
                  dir.file("grads.sh") + " %x% %y%\nsuccessReturnValue: 0\n*END\n";
  const std::string messages = runToEnd(dir, study);
  EXPECT_THAT(messages, ::testing::HasSubstr(
                            "Successfully read the gradient information from the file.\n"));
  const SqpEnd end = sqpEnd(messages, kSolved);
  ASSERT_EQ(end.code, 0) << messages;
  const auto designs = searchDesignResults(dir);
  EXPECT_EQ(static_cast<int>(designs.size()), end.calls);
  EXPECT_GE(bestSearchPerformance(designs, "FEASIBLE"), -1e-6) << messages;
}

TEST(SqpSearchRun, MissingGradientsFileEndsTheRunWithItsMessage) {
  TempDir dir("karvo-qp-nofile");
  SearchStudy study;
  study.agent = "method: QP\nnumIter: 5\nnumLineSearches: 10\nstartingDesign: Baseline\n"
                "gradientMethod: 1\n";
  study.f = kBowl;
  writeSearchStudy(dir, study);
  const auto result = runSearchStudy(dir);
  EXPECT_NE(result.status, 0);
  EXPECT_THAT(searchMessages(dir),
              ::testing::ContainsRegex("Error in opening the KARVOGrads\\.info file in the design "
                                     "directory \"[^\"]*/search_0/Design1\"\\."));
}

TEST(GradientFile, ReadsEveryRecordAndNamesTheUnreadableOnes) {
  TempDir dir("karvo-grad-file");
  writeFile(dir.file("KARVOGrads.info"),
            "$ gradients\n*RESPONSE_GRADIENT_INFO\nresponseName: f\ngradInfo: 1.5, -2 3e-1\n"
            "*RESPONSE_GRADIENT_INFO\nresponseName: g\ngradInfo:2\n4\n5\n"
            "*RESPONSE_GRADIENT_INFO\nresponseName: h\ngradInfo: 1, two\n"
            "*RESPONSE_GRADIENT_INFO\nresponseName: k\n*END\n");
  std::vector<ResponseGradient> gradients;
  std::vector<std::string> unreadable;
  ASSERT_TRUE(readGradientFile(dir.file("KARVOGrads.info"), gradients, unreadable));
  ASSERT_EQ(gradients.size(), 2u);
  EXPECT_EQ(gradients[0].response, "f");
  EXPECT_EQ(gradients[0].values, (std::vector<double>{1.5, -2.0, 0.3}));
  EXPECT_EQ(gradients[1].response, "g");
  EXPECT_EQ(gradients[1].values, (std::vector<double>{4.0, 5.0}));
  EXPECT_EQ(unreadable, (std::vector<std::string>{"h", "k"}));
  EXPECT_FALSE(readGradientFile(dir.file("none.info"), gradients, unreadable));
}

// x + y >= 12 cuts off the bowl's centre (3, 7); the optimum on the line is x = 4, y = 8
// with f = 2. The budget is never exceeded.
TEST(MultiStartRun, MeetsTheConstraintWithinItsBudget) {
  TempDir dir("karvo-ms-constraint");
  SearchStudy study;
  study.agent = "method: MS\nnumEvals: 60\npopulationSize: 20\nnumCycles: 1\ngradientMethod: 0\n";
  study.f = "(x - 3)**2 + (y - 7)**2";
  study.g = "12 - x - y";
  study.resolution = 10001;
  const std::string messages = runToEnd(dir, study);
  const auto designs = searchDesignResults(dir);
  EXPECT_LE(designs.size(), 60u);
  EXPECT_GE(designs.size(), 58u);  // a last request of three designs may not fit
  EXPECT_GE(bestSearchPerformance(designs, "FEASIBLE"), -2.001) << messages;
  EXPECT_THAT(readFile(dir.file("search0.rpt")), testing::HasLines("*EXIT STATE\nComplete\n"));
}

TEST(SurfaceSearchRun, KrigingSurfacesFindTheBowlsOptimum) {
  TempDir dir("karvo-rs-bowl");
  SearchStudy study;
  study.agent = "method: RS\nsurfaceType: Kriging\nnumIters: 8\nnumLineSearches: 10\n"
                "numExtraEvals: 1\n";
  study.resolution = 1001;
  const std::string messages = runToEnd(dir, study);
  const auto designs = searchDesignResults(dir);
  // The baseline, a Latin hypercube of 2n + 1 - 1 = 4 designs, then two designs in each of
  // the 7 cycles left.
  EXPECT_EQ(designs.size(), 1u + 4u + 14u);
  EXPECT_GE(bestSearchPerformance(designs, "FEASIBLE"), -0.01) << messages;
}

}  // namespace
}  // namespace karvo
