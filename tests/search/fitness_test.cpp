// Tests of fitness statistics and scaling: failed members left out, the three cases of
// linear scaling (average kept, maximum C times the average), the 20-entry window ring and
// its wrap-around, sigma truncation alone and before linear scaling, the exact texts of the
// non-negative stops, and the one-way feasibility watch.
#include "search/fitness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "base/design.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

double averageOf(const std::vector<double>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
}

double maxOf(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

class FitnessTest : public testing::MessageCaptureTest {
 protected:
  FitnessTest() : MessageCaptureTest("karvo-fitness") {}
};

// ---------------------------------------------------------------------------------------
// Statistics

TEST_F(FitnessTest, FailedMembersAreLeftOutOfTheStatistics) {
  EXPECT_FALSE(fitnessCounted(kFailedPerformance));
  EXPECT_FALSE(fitnessCounted(std::nan("")));
  EXPECT_TRUE(fitnessCounted(-1e98));

  std::vector<double> raw = {1.0, kFailedPerformance, 2.0, 3.0, 4.0};
  std::vector<double> scaled = {2.0, 0.0, 4.0, 6.0, 8.0};
  FitnessStatistics s = fitnessStatistics(raw, scaled, true);
  EXPECT_EQ(s.counted, 4);
  EXPECT_EQ(s.rawMin, 1.0);
  EXPECT_DOUBLE_EQ(s.rawAverage, 2.5);
  EXPECT_DOUBLE_EQ(s.rawSigma, std::sqrt(1.25));
  EXPECT_EQ(s.scaledMax, 8.0);
  EXPECT_DOUBLE_EQ(s.scaledSum, 20.0);
  EXPECT_DOUBLE_EQ(s.scaledSigma, std::sqrt(5.0));

  // A generation without scored members has zero statistics.
  raw = {kFailedPerformance, kFailedPerformance};
  scaled.assign(2, 1.0);
  FitnessSettings settings;
  settings.scaleMultiplier = 1.5;
  settings.requireNonNegative = true;
  FitnessState state;
  s = fitnessUpdate(settings, state, raw, scaled, nullptr);
  EXPECT_EQ(s.counted, 0);
  EXPECT_EQ(s.rawAverage, 0.0);
  EXPECT_EQ(s.scaledSum, 0.0);
  EXPECT_EQ(scaled, (std::vector<double>{0.0, 0.0}));
}

TEST_F(FitnessTest, FailedMembersScaledForTheSelectionInUse) {
  std::vector<double> raw = {-3.0, kFailedPerformance};
  std::vector<double> scaled(2);
  fitnessStart(raw, scaled, false);
  EXPECT_EQ(scaled, (std::vector<double>{-3.0, kFailedPerformance}));
  fitnessStart(std::vector<double>{3.0, kFailedPerformance}, scaled, true);
  EXPECT_EQ(scaled, (std::vector<double>{3.0, 0.0}));
}

// ---------------------------------------------------------------------------------------
// Linear scaling

TEST_F(FitnessTest, LinearScalingMovesTheMinimumToZeroWhenTheMaximumCannotReachCTimesAverage) {
  // a = 8, M = 10, m = 2, C = 2: m <= (16 - 10)/1, so the minimum goes to 0 instead.
  std::vector<double> raw = {2.0, 10.0, 10.0, 10.0};
  std::vector<double> scaled = raw;
  fitnessLinearScale(2.0, raw, scaled);
  EXPECT_DOUBLE_EQ(scaled[0], 0.0);
  EXPECT_DOUBLE_EQ(averageOf(scaled), 8.0);
  EXPECT_LT(maxOf(scaled), 2.0 * 8.0);
}

TEST_F(FitnessTest, LinearScalingOfAFlatPopulationOrANonPositiveAverageIsTheIdentity) {
  for (LinearScaling line : {linearScaling(5.0, 5.0, 5.0, 2.0),
                             linearScaling(5.0 + 3e-8, 5.0 + 1e-7, 5.0, 2.0)}) {
    EXPECT_EQ(line.slope, 1.0);
    EXPECT_EQ(line.intercept, 0.0);
  }

  LinearScaling line = linearScaling(-4.0, -1.0, -10.0, 1.3);
  EXPECT_EQ(line.slope, 1.0);
  EXPECT_EQ(line.intercept, 0.0);

  // With a tournament the members keep their raw order.
  std::vector<double> raw = {-10.0, -1.0, -1.0};
  std::vector<double> scaled(3);
  FitnessSettings settings;
  settings.scaleMultiplier = 1.3;
  FitnessState state;
  fitnessScale(settings, state, raw, scaled, nullptr);
  EXPECT_EQ(scaled, raw);
}

// ---------------------------------------------------------------------------------------
// Window scaling

TEST_F(FitnessTest, WindowScalingSubtractsTheSmallestOfTheLastWPlusOneMinima) {
  FitnessState state;
  std::vector<double> scaled(2);
  fitnessWindowScale(state, 1, std::vector<double>{-5.0, 1.0}, scaled);  // ring: -5
  scaled = {4.0, 9.0};
  fitnessWindowScale(state, 1, std::vector<double>{4.0, 9.0}, scaled);   // ring: -5, 4
  EXPECT_EQ(scaled, (std::vector<double>{9.0, 14.0}));
  scaled = {6.0, 7.0};
  fitnessWindowScale(state, 1, std::vector<double>{6.0, 7.0}, scaled);   // last two: 4, 6
  EXPECT_EQ(scaled, (std::vector<double>{2.0, 3.0}));

  // Window 0: this generation's minimum only.
  FitnessState fresh;
  scaled = {6.0, 7.0, kFailedPerformance};
  fitnessWindowScale(fresh, 0, std::vector<double>{6.0, 7.0, kFailedPerformance}, scaled);
  EXPECT_EQ(scaled, (std::vector<double>{0.0, 1.0, kFailedPerformance}));
}

TEST_F(FitnessTest, WindowRingWrapsAroundAfterTwentyGenerations) {
  FitnessSettings settings;
  settings.scalingWindow = 25;  // more than the ring holds: all 20 entries
  settings.requireNonNegative = true;
  FitnessState state;
  std::vector<double> scaled(2);

  fitnessScale(settings, state, std::vector<double>{-100.0, 0.0}, scaled, nullptr);
  EXPECT_EQ(scaled, (std::vector<double>{0.0, 100.0}));
  for (int generation = 1; generation < 20; ++generation) {
    fitnessScale(settings, state, std::vector<double>{0.0, 5.0}, scaled, nullptr);
    EXPECT_EQ(scaled, (std::vector<double>{100.0, 105.0})) << "generation " << generation;
  }
  EXPECT_EQ(state.windowFilled, 20);
  EXPECT_EQ(state.windowNext, 0);

  // The 21st generation overwrites the first entry: -100 is forgotten.
  fitnessScale(settings, state, std::vector<double>{0.0, 5.0}, scaled, nullptr);
  EXPECT_EQ(scaled, (std::vector<double>{0.0, 5.0}));
  EXPECT_EQ(state.windowFilled, 20);
  EXPECT_EQ(state.windowNext, 1);
  EXPECT_EQ(state.windowMinimum[0], 0.0);
}

TEST_F(FitnessTest, WindowScalingTakesPrecedenceOverTheOtherRules) {
  FitnessSettings settings;
  settings.scalingWindow = 0;
  settings.sigmaCoefficient = 2.0;
  settings.scaleMultiplier = 2.0;
  FitnessState state;
  std::vector<double> scaled(3);
  fitnessScale(settings, state, std::vector<double>{1.0, 2.0, 6.0}, scaled, nullptr);
  EXPECT_EQ(scaled, (std::vector<double>{0.0, 1.0, 5.0}));
}

// ---------------------------------------------------------------------------------------
// Sigma truncation

TEST_F(FitnessTest, SigmaTruncationShiftsByAverageLessCSigmaFlooredAtZero) {
  std::vector<double> raw = {1.0, 2.0, 3.0, 4.0, kFailedPerformance};
  std::vector<double> scaled = {1.0, 2.0, 3.0, 4.0, 0.0};
  fitnessSigmaTruncate(1.0, raw, scaled);
  const double shift = 2.5 - std::sqrt(1.25);
  EXPECT_EQ(scaled[0], 0.0);
  EXPECT_DOUBLE_EQ(scaled[1], 2.0 - shift);
  EXPECT_DOUBLE_EQ(scaled[3], 4.0 - shift);
  EXPECT_EQ(scaled[4], 0.0);
}

TEST_F(FitnessTest, SigmaTruncationComesBeforeLinearScaling) {
  FitnessSettings settings;
  settings.sigmaCoefficient = 1.0;
  settings.scaleMultiplier = 1.5;
  settings.requireNonNegative = true;
  FitnessState state;
  std::vector<double> raw = {1.0, 2.0, 3.0, 4.0};
  std::vector<double> scaled(4);
  FitnessStatistics s = fitnessUpdate(settings, state, raw, scaled, nullptr);

  const double shift = 2.5 - std::sqrt(1.25);
  const double truncatedAverage = (0.0 + (2.0 - shift) + (3.0 - shift) + (4.0 - shift)) / 4.0;
  EXPECT_NEAR(s.scaledAverage, truncatedAverage, 1e-12);
  EXPECT_NEAR(s.scaledMax, 1.5 * truncatedAverage, 1e-12);
  EXPECT_DOUBLE_EQ(s.rawAverage, 2.5);
  EXPECT_EQ(state.windowFilled, 0);
}

// ---------------------------------------------------------------------------------------
// Non-negative stops

TEST_F(FitnessTest, NegativeFitnessStopsInsideTheScalingOrWithoutAnyInTheStatistics) {
  FitnessSettings settings;  // no window, no sigma truncation, scalemult 1.0
  settings.requireNonNegative = true;
  FitnessState state;
  std::vector<double> raw = {-1.0, 2.0};
  std::vector<double> scaled(2);
  FileHandle* log = openFile(dir_.file("genetic.log"), "w");
  ASSERT_NE(log, nullptr);
  EXPECT_THROW(fitnessUpdate(settings, state, raw, scaled, log), RunExit);
  closeFile(log);
  EXPECT_EQ(testing::readFile(dir_.file("genetic.log")),
            "\n*** ERROR in user_scale_fitness -- Must return NON-NEGATIVE values to be "
            "maximized***\n");
  EXPECT_EQ(messages(), fatalOutput("Error in user_scale_fitness -- Must return non-neg. values "
                                    "to be maximized."));

  // The hybrid search, without any scaling, stops in the statistics.
  clearMessages();
  settings.scalingApplies = false;
  EXPECT_THROW(fitnessUpdate(settings, state, raw, scaled, nullptr), RunExit);
  EXPECT_EQ(messages(), fatalOutput("Must rescale negative fitnesses unless using tournament "
                                    "selection"));
}

// ---------------------------------------------------------------------------------------
// Feasibility watch

TEST_F(FitnessTest, InfeasibleStartClearsAtThreeFeasibleMembersOrTenPercentAndNeverReturns) {
  FitnessState state;
  std::vector<double> violations(40, 0.5);
  violations[0] = violations[1] = 0.0;
  violations[2] = kFailedViolation;
  EXPECT_TRUE(fitnessWatchFeasibility(state, violations, 2));  // 2 of 40
  violations[3] = 0.0;
  EXPECT_FALSE(fitnessWatchFeasibility(state, violations, 2));  // 3 of 40
  EXPECT_FALSE(fitnessWatchFeasibility(state, std::vector<double>(40, 1.0), 2));
  EXPECT_FALSE(state.infeasibleStart);

  FitnessState small;
  violations.assign(20, 0.25);
  violations[5] = 0.0;
  EXPECT_TRUE(fitnessWatchFeasibility(small, violations, 1));  // 1 of 20: 5%
  violations[6] = 0.0;
  EXPECT_FALSE(fitnessWatchFeasibility(small, violations, 1));  // 2 of 20: 10%

  // Without members the start stays infeasible; without constraints it never is.
  FitnessState empty;
  EXPECT_TRUE(fitnessWatchFeasibility(empty, std::vector<double>{}, 1));
  FitnessState unconstrained;
  EXPECT_FALSE(fitnessWatchFeasibility(unconstrained, std::vector<double>{10.0}, 0));
}

}  // namespace
}  // namespace karvo
