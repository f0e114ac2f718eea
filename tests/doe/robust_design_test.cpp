// The pieces of the robust parameter design: the signal-to-noise ratios by hand, the ratio
// chosen for each kind of response, the default run counts, the crossed layout of control x
// noise runs and the derived values over failed noise runs.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "doe/doe_builders.h"
#include "doe/doe_study.h"

namespace karvo::doe {
namespace {

double ratioOf(int kind, const std::vector<double>& values) {
  double ratio = 12345.0;
  EXPECT_TRUE(signalToNoiseRatio(kind, values, ratio));
  return ratio;
}

bool refused(int kind, const std::vector<double>& values) {
  double ratio = 12345.0;
  const bool formed = signalToNoiseRatio(kind, values, ratio);
  EXPECT_EQ(ratio, 12345.0);  // untouched
  return !formed;
}

TEST(RobustDesign, SignalToNoiseRatiosByHand) {
  // mean(y^2) = (1 + 9) / 2 = 5.
  EXPECT_NEAR(ratioOf(kSmallerTheBetter, {1.0, -3.0}), -6.989700043360188, 1e-12);
  // mean(1 / y^2) = (1 + 1/4) / 2 = 0.625.
  EXPECT_NEAR(ratioOf(kLargerTheBetter, {1.0, -2.0}), 2.041199826559248, 1e-12);
  // ybar = 3, s^2 = ((2 - 3)^2 + (4 - 3)^2) / 1 = 2, ybar^2 / s^2 = 4.5.
  EXPECT_NEAR(ratioOf(kNominalTheBest, {2.0, 4.0}), 6.532125137753438, 1e-12);
  EXPECT_NEAR(ratioOf(kSmallerTheBetter, {0.0, 2.0}), -3.010299956639812, 1e-12);

  for (int kind : {kSmallerTheBetter, kLargerTheBetter, kNominalTheBest}) {
    EXPECT_TRUE(refused(kind, {})) << kind;
  }
  EXPECT_TRUE(refused(kLargerTheBetter, {2.0, 0.0}));
  EXPECT_TRUE(refused(kNominalTheBest, {5.0}));
  EXPECT_TRUE(refused(kNominalTheBest, {5.0, 5.0, 5.0}));  // s^2 = 0
  EXPECT_TRUE(refused(kNominalTheBest, {-1.0, 1.0}));      // ybar = 0
  EXPECT_TRUE(refused(kSmallerTheBetter, {0.0, 0.0}));     // mean(y^2) = 0
}

TEST(RobustDesign, RatioFollowsTheDirectionOfTheResponse) {
  EXPECT_EQ(signalToNoiseKindOf(kResponseObjective, -1, kGoalNone), kSmallerTheBetter);
  EXPECT_EQ(signalToNoiseKindOf(kResponseObjective, 0, kGoalNone), kNominalTheBest);
  EXPECT_EQ(signalToNoiseKindOf(kResponseObjective, 1, kGoalNone), kLargerTheBetter);
  EXPECT_EQ(signalToNoiseKindOf(kResponseObjective, 2, kGoalNone), kLargerTheBetter);
  EXPECT_EQ(signalToNoiseKindOf(kResponseConstraint, -1, kGoalNone), kSmallerTheBetter);
  EXPECT_EQ(signalToNoiseKindOf(kResponseConstraint, 0, kGoalNone), kNominalTheBest);
  EXPECT_EQ(signalToNoiseKindOf(kResponseConstraint, 1, kGoalNone), kLargerTheBetter);
  const int expected[] = {kNominalTheBest, kSmallerTheBetter, kNominalTheBest, kNominalTheBest,
                          kLargerTheBetter};
  for (int goal = -2; goal <= 2; ++goal) {
    EXPECT_EQ(signalToNoiseKindOf(kResponsePlain, 0, goal), expected[goal + 2]) << goal;
  }
  EXPECT_STREQ(signalToNoiseWord(kLargerTheBetter), "larger-the-better");
}

TEST(RobustDesign, DefaultRunsFitTheFactorCount) {
  EXPECT_EQ(robustDefaultRuns(kDoePlackettBurman, 11), 12);
  EXPECT_EQ(robustDefaultRuns(kDoePlackettBurman, 12), 20);
  EXPECT_EQ(robustDefaultRuns(kDoeDOptimal, 2), 4);
  EXPECT_EQ(robustDefaultRuns(kDoeDOptimal, 5), 12);
  EXPECT_EQ(robustDefaultRuns(kDoeLatinHypercube, 2), 5);
  EXPECT_EQ(robustDefaultRuns(kDoeHammersley, 4), 9);
  EXPECT_EQ(robustDefaultRuns(kDoeTwoLevelFull, 4), 0);
}

// Control: a 2-level full factorial of two variables (slots 0, 1); noise: one variable on a
// single-factor array of three levels (slot 2). A random parameter's column (position 4, after
// the variables) leaves the chromosome alone.
TEST(RobustDesign, CrossedLayoutPutsTheNoiseRunsOfEachControlRunTogether) {
  DoeRequest request;
  request.kind = kDoeTwoLevelFull;
  request.factors = 2;
  DoeArray control;
  std::string error;
  ASSERT_TRUE(buildTwoLevelFull(request, control, error)) << error;
  const DoeArray noise = singleFactorArray(3);
  ASSERT_EQ(noise.runs, 3);
  EXPECT_EQ(noise.kind, kDoeFile);

  Design baseline;
  baseline.encoding = 2;
  baseline.chromosome = {9, 9, 9, 9};
  baseline.reals = {0.5, 0.5, 0.5, 0.5, 7.0};
  const std::vector<CrossedColumn> controlColumns = {{0, true, {-1.0, 1.0}},
                                                     {1, true, {10.0, 20.0}}};
  const std::vector<CrossedColumn> noiseColumns = {{2, true, {0.25, 0.5, 0.75}}};
  const std::vector<Design> designs =
      crossedDesigns(baseline, control, controlColumns, noise, noiseColumns);
  ASSERT_EQ(designs.size(), 12u);
  // Design i * 3 + j: control run i (A fastest), noise run j.
  const double a[] = {-1.0, 1.0, -1.0, 1.0};
  const double b[] = {10.0, 10.0, 20.0, 20.0};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) {
      const Design& design = designs[static_cast<std::size_t>(i * 3 + j)];
      SCOPED_TRACE(i * 3 + j);
      EXPECT_EQ(design.reals, (std::vector<double>{a[i], b[i], 0.25 * (j + 1), 0.5, 7.0}));
      EXPECT_EQ(design.chromosome, (std::vector<int>{i % 2, i / 2, j, 9}));
    }
  }

  const std::vector<CrossedColumn> parameterColumn = {{4, false, {-2.0, 0.0, 2.0}}};
  const std::vector<Design> withParameter =
      crossedDesigns(baseline, control, controlColumns, noise, parameterColumn);
  EXPECT_EQ(withParameter[5].reals[4], 2.0);
  EXPECT_EQ(withParameter[5].chromosome, (std::vector<int>{1, 0, 9, 9}));
}

Design evaluated(double y, bool failed = false) {
  Design design;
  design.failed = failed;
  design.responses = {ResponseValue{{y}, {}, kDesignError, true}};
  return design;
}

// Two control runs of three noise runs; the second has two failed noise runs, so that its
// nominal-the-best ratio (one value) cannot be formed while its mean can.
TEST(RobustDesign, DerivedValuesUseTheSuccessfulNoiseRunsOnly) {
  const std::vector<Design> designs = {evaluated(2.0), evaluated(4.0),        evaluated(6.0),
                                       evaluated(5.0), evaluated(99.0, true), evaluated(99.0, true)};
  const RobustValues values = robustValuesOf(designs, 2, 3, 0, kNominalTheBest);
  EXPECT_EQ(values.means, (std::vector<double>{4.0, 5.0}));
  EXPECT_EQ(values.meanPresent, (std::vector<char>{1, 1}));
  EXPECT_EQ(values.ratioPresent, (std::vector<char>{1, 0}));
  EXPECT_NEAR(values.ratios[0], 10.0 * std::log10(16.0 / 4.0), 1e-12);

  // Every noise run failed: neither value.
  const std::vector<Design> failed = {evaluated(1.0, true), evaluated(1.0, true)};
  const RobustValues none = robustValuesOf(failed, 1, 2, 0, kSmallerTheBetter);
  EXPECT_EQ(none.meanPresent, (std::vector<char>{0}));
  EXPECT_EQ(none.ratioPresent, (std::vector<char>{0}));
}

}  // namespace
}  // namespace karvo::doe
