// The reliability studies without evaluation: Latin hypercube and Monte Carlo values, the
// statistics of a response, the bytes of a results file and the reliability of a constraint
// over evaluated samples; the normal-law arithmetic against the library's erf and a quantile
// found by bisection on the exact normal law; the first-order iteration on limit states given
// as formulas: exact answers of linear limit states, uniform laws against the design point
// found by direct minimisation, the batches the iteration asks for, and its messages on the
// faults it meets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/random.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "external/distribution.h"
#include "reliability/first_order.h"
#include "reliability/reliability_math.h"
#include "reliability/reliability_study.h"
#include "support/message_capture.h"

namespace karvo::reliability {
namespace {

using testing::HasLines;

class SamplingTest : public testing::MessageCaptureTest {
 protected:
  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetRandom();
    float seed = 0.5f;
    seedRandom(&seed, 0);
  }
  void TearDown() override {
    per_type.clear();
    resetRandom();
    MessageCaptureTest::TearDown();
  }

  static RandomParameter parameter(const std::string& type, const DistributionProperties& record,
                                   double nominal, int seed) {
    RandomParameter p;
    p.name = type + "Parameter";
    p.distributionName = type + "Law";
    p.nominal = nominal;
    std::string reason;
    p.distribution = createDistribution(type, record, reason);
    EXPECT_TRUE(p.distribution) << reason;
    EXPECT_TRUE(p.distribution->setProperty("baseline", nominal, reason)) << reason;
    EXPECT_TRUE(p.distribution->setProperty("randomSeed", seed, reason)) << reason;
    return p;
  }
};

TEST_F(SamplingTest, LatinHypercubePutsOneSampleInEachInterval) {
  const std::vector<RandomParameter> parameters = {
      parameter("Uniform", {{"variation", "0.5"}}, 0.5, 11),
      parameter("Uniform", {{"variation", "0.5"}}, 0.5, 12)};
  const std::vector<std::vector<double>> values = latinHypercubeValues(parameters, 10);
  EXPECT_THAT(messages(), HasLines("Generating the Latin Hypercube based design array...\n"));
  ASSERT_EQ(values.size(), 10u);
  std::vector<int> tenths[2];
  for (const std::vector<double>& sample : values) {
    ASSERT_EQ(sample.size(), 2u);
    for (std::size_t p = 0; p < 2; ++p) {
      ASSERT_GE(sample[p], 0.0);
      ASSERT_LE(sample[p], 1.0);
      tenths[p].push_back(std::min(9, static_cast<int>(sample[p] * 10.0)));
    }
  }
  for (std::vector<int>& order : tenths) {
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  }
  // Each parameter has an order of its own.
  EXPECT_NE(tenths[0], tenths[1]);

  // A discrete law takes the bounds of its intervals, whole numbers.
  const std::vector<RandomParameter> counts = {parameter("Poisson", {}, 20.0, 3)};
  for (const std::vector<double>& sample : latinHypercubeValues(counts, 8)) {
    EXPECT_EQ(sample[0], std::floor(sample[0]));
  }
}

// g = R - S with R ~ N(10, 1) and S ~ N(8, 1.5): p = Phi(-2 / sqrt(3.25)) exactly.
TEST_F(SamplingTest, MonteCarloFailureRateOfALinearLimitState) {
  const std::vector<RandomParameter> parameters = {
      parameter("Normal", {{"standardDeviation", "1"}}, 10.0, 101),
      parameter("Normal", {{"standardDeviation", "1.5"}}, 8.0, 202)};
  const int n = 100000;
  const std::vector<std::vector<double>> values = monteCarloValues(parameters, n);
  ASSERT_EQ(values.size(), static_cast<std::size_t>(n));
  int failures = 0;
  for (const std::vector<double>& sample : values) {
    if (sample[0] - sample[1] < 0.0) ++failures;
  }
  const double exact = 0.5 * std::erfc(2.0 / std::sqrt(3.25) / std::sqrt(2.0));
  const double standardError = std::sqrt(exact * (1.0 - exact) / n);
  EXPECT_NEAR(static_cast<double>(failures) / n, exact, 3.0 * standardError);
}

TEST_F(SamplingTest, StatisticsOfAResponse) {
  // 0 .. 11: bins of width 1, a value on a shared bound in the lower bin.
  std::vector<double> values;
  for (int k = 11; k >= 0; --k) values.push_back(k);
  const ResponseStatistics s = responseStatistics(values);
  EXPECT_EQ(s.samples, 12);
  EXPECT_DOUBLE_EQ(s.mean, 5.5);
  EXPECT_DOUBLE_EQ(s.sumOfSquares, 506.0);
  EXPECT_DOUBLE_EQ(s.squareOfSum, 4356.0);
  EXPECT_DOUBLE_EQ(s.variance, 13.0);
  EXPECT_DOUBLE_EQ(s.sigma, std::sqrt(13.0));
  EXPECT_EQ(s.sorted.front(), 0.0);
  EXPECT_EQ(s.sorted.back(), 11.0);
  std::vector<double> bins(kProbabilityBins, 1.0 / 12.0);
  bins[0] = 2.0 / 12.0;
  EXPECT_EQ(s.probability, bins);

  const ResponseStatistics same = responseStatistics(std::vector<double>(7, 0.1));
  EXPECT_EQ(same.variance, 0.0);
  EXPECT_EQ(same.sigma, 0.0);
  EXPECT_EQ(same.probability[0], 1.0);

  const ResponseStatistics one = responseStatistics({4.0});
  EXPECT_EQ(one.mean, 4.0);
  EXPECT_EQ(one.variance, 0.0);
  EXPECT_EQ(one.probability[0], 1.0);

  const ResponseStatistics none = responseStatistics({});
  EXPECT_EQ(none.samples, 0);
  EXPECT_EQ(none.probability, std::vector<double>(kProbabilityBins, 0.0));
}

TEST_F(SamplingTest, ResultsFileBytes) {
  const std::string text =
      statisticsText("g", responseStatistics({2.0, 1.0})) + reliabilityText(1e300, 0.0);
  writeResultsFile(3, "g", text);
  EXPECT_EQ(resultsFilePath(3, "g"), dir_.file("RandR_3_g.out"));
  EXPECT_EQ(testing::readFile(dir_.file("RandR_3_g.out")),
            "\n    ****** ANOVA RESULTS FOR R&R AGENT ******"
            "\n\n        Response,  #Samples,            Mean,     Sum of squares,      Square of"
            " sum,         Variance,           Sigma"
            "\n               g,         2,        1.500000,           5.000000,           "
            "9.000000,         0.500000,        0.707107"
            "\n\n\n    ****** PROBABILITY DISTRIBUTION RESULTS FOR R&R AGENT ******"
            "\n\n    Sorted Response Values"
            "\n                  1.000000"
            "\n                  2.000000"
            "\n\n       Probability"
            "\n          0.500000\n          0.000000\n          0.000000\n          0.000000"
            "\n          0.000000\n          0.000000\n          0.000000\n          0.000000"
            "\n          0.000000\n          0.000000\n          0.500000"
            "\n\n\n"
            "\n\n\n    ****** RELIABILITY RESULTS FOR R&R AGENT ******\n"
            "\n    Beta: 1e+300"
            "\n    Probability of failure: 0");

  // A file that cannot be written ends the run.
  run.workingDirectory = dir_.file("missing");
  EXPECT_EQ(failureOf([] { writeResultsFile(0, "g", "x"); }),
            fatalOutput("Error in opening the R&R agents results file for writing. The name of "
                        "the file is:  " + dir_.file("missing/RandR_0_g.out")));
}

// A constraint g <= 2 and a plain response over four samples, one of which failed: the
// failed one is left out of the statistics and of the probability of failure.
TEST_F(SamplingTest, ReliabilityOfAConstraintOverTheEvaluatedSamples) {
  PerformanceDefinition definition;
  definition.number = 0;
  definition.count = 2;
  definition.name = {"g", "h"};
  definition.flag = {kResponseConstraint, kResponsePlain};
  definition.opt = {-1, 0};
  definition.target = {2.0, 0.0};
  definition.norm = {1.0, 1.0};
  per_type.push_back(definition);
  Agent agent;
  agent.number = 4;
  agent.performance = 0;

  std::vector<Design> samples(4);
  const double g[] = {1.0, 3.0, 2.5, 0.0};
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i].status = kDesignFeasible;
    for (double value : {g[i], 10.0 * g[i]}) {
      samples[i].responses.push_back(ResponseValue{{value}, {}, kDesignError, true});
    }
  }
  samples[3].failed = true;
  samples[3].status = kDesignError;
  writeSampleResults(agent, samples);

  const double beta = reliabilityIndex(2.0 / 3.0);
  EXPECT_THAT(messages(), HasLines(formatText("Agent 4: constraint g: beta %g, probability of "
                                              "failure %g (2 of 3 samples failed).\n",
                                              beta, 2.0 / 3.0)));
  const std::string file = testing::readFile(dir_.file("RandR_4_g.out"));
  EXPECT_THAT(file, HasLines("               g,         3,        2.166667,          16.250000,"
                             "          42.250000,         1.083333,        1.040833\n"));
  EXPECT_THAT(file, ::testing::EndsWith(reliabilityText(beta, 2.0 / 3.0)));
  // A plain response has no reliability section.
  const std::string plain = testing::readFile(dir_.file("RandR_4_h.out"));
  EXPECT_THAT(plain, HasLines("               h,         3,       21.666667,        1625.000000,"
                              "        4225.000000,       108.333333,       10.408330\n"));
  EXPECT_EQ(plain.find("RELIABILITY"), std::string::npos);

  // No sample evaluated: the files still tell so, the constraint has no reliability.
  writeSampleResults(agent, {samples[3]});
  EXPECT_THAT(testing::readFile(dir_.file("RandR_4_g.out")),
              HasLines("               g,         0,        0.000000,           0.000000,"
                       "           0.000000,         0.000000,        0.000000\n"));
  EXPECT_THAT(messages(), HasLines("*WARNING\nAgent 4: constraint g: no sample was evaluated "
                                   "successfully; no reliability is computed.\n"));
}

// ---------------------------------------------------------------------------------------
// The normal-law arithmetic and the first-order iteration

// The exact standard normal quantile, by bisection on erfc.
double exactQuantile(double p) {
  double lo = -40.0, hi = 40.0;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (lo + hi);
    (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

TEST(NormalLaw, ErfIsOddWithinItsBoundAndTheDensityUsesTheWrittenConstant) {
  for (double x = -6.0; x <= 6.0; x += 0.01) {
    EXPECT_NEAR(erfApprox(x), std::erf(x), 1.5e-7) << x;
    EXPECT_EQ(erfApprox(-x), -erfApprox(x)) << x;
  }
  EXPECT_EQ(erfApprox(1e300), 1.0);
  EXPECT_EQ(erfApprox(-1e300), -1.0);
  // The normal density uses the written constant.
  EXPECT_DOUBLE_EQ(normalDensity(0.0), 1.0 / std::sqrt(6.2831853));
  EXPECT_DOUBLE_EQ(normalDensity(2.0), std::exp(-2.0) / std::sqrt(6.2831853));
}

TEST(NormalQuantile, InvertsTheSolversOwnNormalLawInTheCentreAndBothTails) {
  // Both of Acklam's regions and the border between them.
  for (double p : {1e-9, 1e-6, 0.001, 0.02, 0.02425, 0.1, 0.3, 0.5, 0.7, 0.97575, 0.99, 0.999}) {
    const double x = normalQuantile(p);
    // The Halley step solves Phi(x) = p on the approximate Phi ...
    EXPECT_NEAR(normalCdf(x), p, 1e-9 + 1e-6 * p) << p;
    // ... which keeps x within the erf approximation's reach of the exact quantile: the
    // error of Phi (below 7.5e-8) over the density.
    EXPECT_NEAR(x, exactQuantile(p), 7.5e-8 / normalDensity(x)) << p;
  }
  // Above 0.9999999997 the quantile is taken as 4; up to it, it is the computed one.
  EXPECT_EQ(normalQuantile(0.99999999971), 4.0);
  EXPECT_NEAR(normalQuantile(0.9999999997), exactQuantile(0.9999999997), 0.01);
}

TEST(ReliabilityIndex, CoversCertainFailureAndCertainSuccess) {
  EXPECT_EQ(reliabilityIndex(0.0), 1e300);
  EXPECT_EQ(reliabilityIndex(1.0), -1e300);
  EXPECT_NEAR(reliabilityIndex(0.5), 0.0, 1e-6);
  EXPECT_NEAR(reliabilityIndex(0.0013498980316301), 3.0, 3e-5);
  EXPECT_NEAR(reliabilityIndex(0.841344746068543), -1.0, 1e-6);
  // And back: the probability of an index is that of the solver's own normal law.
  for (double p : {1e-5, 0.01, 0.2, 0.5, 0.9}) {
    EXPECT_NEAR(failureProbability(reliabilityIndex(p)), p, 1e-9 + 1e-6 * p) << p;
  }
  EXPECT_EQ(failureProbability(1e300), 0.0);
  EXPECT_EQ(failureProbability(-1e300), 1.0);
}

using Point = std::vector<double>;

// A limit state of one point at a time that records every batch it is given.
struct Recorder {
  std::function<double(const Point&)> g;
  std::vector<std::vector<Point>> batches;
  LimitState state() {
    return [this](const std::vector<Point>& points, std::vector<double>& values) {
      batches.push_back(points);
      values.clear();
      for (const Point& x : points) values.push_back(g(x));
      return true;
    };
  }
};

constexpr char kBecause[] = "\nBecause of this error, the reliability may not be accurate.";

TEST(FirstOrder, LinearNormalLimitStateReachesTheExactBetaAfterOneUpdate) {
  // g = 3 - x1 - x2, x1 ~ N(1, 0.3), x2 ~ N(0.5, 0.4): beta = 1.5 / 0.5 = 3.
  Recorder limit{[](const Point& x) { return 3.0 - x[0] - x[1]; }, {}};
  const FormResult result = firstOrderReliability(
      {normalFormParameter(1.0, 0.3), normalFormParameter(0.5, 0.4)}, limit.state(), 100);
  EXPECT_NEAR(result.beta, 3.0, 1e-11);
  EXPECT_TRUE(result.converged);
  EXPECT_EQ(result.problems, "");
  // The start and one update, each one batch of the point and its two neighbours, stepped
  // back by 0.0001 of the value.
  EXPECT_EQ(result.evaluations, 6);
  ASSERT_EQ(limit.batches.size(), 2u);
  EXPECT_EQ(limit.batches[0], (std::vector<Point>{{1.0, 0.5}, {0.9999, 0.5}, {1.0, 0.49995}}));
  EXPECT_EQ(result.probability, failureProbability(result.beta));
  EXPECT_NEAR(result.probability, 0.0013498980316301, 2e-7);
}

// The converged beta of a uniform law is that of the design point: in one dimension the
// exact Phi^-1(F(c)), from either end of the range; with a normal beside it, the least
// distance to g = 0 in standard normal space found by direct minimisation (1.43890235).
TEST(FirstOrder, UniformLawsConvergeToTheDesignPoint) {
  struct Case {
    std::vector<FormParameter> parameters;
    std::function<double(const Point&)> g;
    double beta;
    double tolerance;
  };
  const std::vector<Case> cases = {
      {{uniformFormParameter(5.0, 10.0)}, [](const Point& x) { return 6.5 - x[0]; },
       0.38532046640757, 1e-6},  // p = 0.35
      {{uniformFormParameter(5.0, 10.0)}, [](const Point& x) { return x[0] - 0.5; },
       1.64485362695147, 1e-6},  // p = 0.05, below the centre
      {{uniformFormParameter(1.0, 2.0), normalFormParameter(1.0, 0.5)},
       [](const Point& x) { return 3.2 - x[0] - x[1]; }, 1.43890235478943, 2e-4},
  };
  for (const Case& c : cases) {
    Recorder limit{c.g, {}};
    const FormResult result = firstOrderReliability(c.parameters, limit.state(), 1000);
    EXPECT_TRUE(result.converged) << c.beta;
    EXPECT_EQ(result.problems, "");
    EXPECT_NEAR(result.beta, c.beta, c.tolerance);
    EXPECT_NEAR(result.probability, 1.0 - normalCdf(c.beta), c.tolerance);
  }
}

// A limit state that never fails within a uniform range drives the point to an end of the
// range, where F is 0 or 1: both ends give the same finite beta and p = 0.
TEST(FirstOrder, UniformRangeEndsGiveAFiniteBeta) {
  const std::vector<FormParameter> range = {uniformFormParameter(5.0, 10.0)};
  Recorder low{[](const Point& x) { return x[0] + 1.0; }, {}};
  Recorder high{[](const Point& x) { return 11.0 - x[0]; }, {}};
  const FormResult a = firstOrderReliability(range, low.state(), 100);
  const FormResult b = firstOrderReliability(range, high.state(), 100);
  EXPECT_EQ(low.batches[1][0], Point{0.0});
  EXPECT_EQ(high.batches[1][0], Point{10.0});
  EXPECT_TRUE(a.converged && b.converged);
  EXPECT_GT(a.beta, 100.0);
  EXPECT_NEAR(a.beta, b.beta, 1e-9 * a.beta);
  EXPECT_EQ(a.probability, 0.0);
  EXPECT_EQ(a.problems + b.problems, "");
}

// A nominal value of 0 is stepped by 0.0001 of its spread (0.0001 x would be no step); a
// start on g = 0 gives beta 0 and converges without dividing by it.
TEST(FirstOrder, ZeroValueAndZeroBetaAreHandled) {
  Recorder shifted{[](const Point& x) { return 1.0 - x[0] - x[1]; }, {}};
  const FormResult a = firstOrderReliability(
      {normalFormParameter(0.0, 2.0), uniformFormParameter(0.0, 4.0)}, shifted.state(), 100);
  EXPECT_EQ(shifted.batches[0], (std::vector<Point>{{0.0, 0.0}, {-0.0002, 0.0}, {0.0, -0.0004}}));
  EXPECT_TRUE(a.converged);
  EXPECT_TRUE(std::isfinite(a.beta));
  EXPECT_EQ(a.problems, "");

  Recorder balanced{[](const Point& x) { return -x[0]; }, {}};
  const FormResult b =
      firstOrderReliability({normalFormParameter(0.0, 1.0)}, balanced.state(), 100);
  EXPECT_TRUE(b.converged);
  EXPECT_EQ(b.beta, 0.0);
  EXPECT_NEAR(b.probability, 0.5, 1e-8);
  EXPECT_EQ(b.evaluations, 4);
}

TEST(FirstOrder, FaultsEndTheIterationWithTheirMessages) {
  const std::vector<FormParameter> two = {normalFormParameter(1.0, 0.3),
                                          normalFormParameter(2.0, 0.2)};
  // No gradient at all: beta 0 at the start.
  Recorder flat{[](const Point&) { return 5.0; }, {}};
  FormResult r = firstOrderReliability(two, flat.state(), 100);
  EXPECT_EQ(r.problems,
            std::string("Error in gradient calculation. The gradient is zero w.r.t. all the "
                        "parameters.") + kBecause);
  EXPECT_EQ(r.beta, 0.0);
  EXPECT_EQ(r.evaluations, 3);

  // The budget: a curved limit state needs more than two updates; 8 designs allow only the
  // start and one update (a second would need 3 more).
  Recorder curved{[](const Point& x) { return 4.0 - x[0] * x[0] * x[0] - x[1] * x[1]; }, {}};
  r = firstOrderReliability(two, curved.state(), 8);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.evaluations, 6);
  EXPECT_EQ(r.problems, formatText("\nBeta has not converged, iterations ended after 6 designs."
                                   "\nFinal Beta: %g.\n", r.beta));
  EXPECT_EQ(r.probability, failureProbability(r.beta));

  // A failed design in the update keeps the starting beta and no NaN.
  int calls = 0;
  const LimitState failing = [&](const std::vector<Point>& points, std::vector<double>& g) {
    g.clear();
    for (const Point& x : points) g.push_back(2.0 - x[0]);
    if (++calls == 2) g[1] = std::numeric_limits<double>::quiet_NaN();
    return true;
  };
  r = firstOrderReliability({normalFormParameter(1.0, 0.5)}, failing, 100);
  EXPECT_NEAR(r.beta, 2.0, 1e-11);  // the start: g 1, L 0.5
  EXPECT_EQ(r.problems,
            formatText("A design of the first-order iteration failed or gave a constraint value "
                       "that is not a finite number (after 4 designs). The iteration stops "
                       "with the last good Beta, %g.",
                       r.beta) + kBecause);
}

}  // namespace
}  // namespace karvo::reliability
