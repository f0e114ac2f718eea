// The sampled robustness and reliability studies without evaluation: Latin hypercube and
// Monte Carlo values, the statistics of a response, the bytes of a results file, and the
// reliability of a constraint over evaluated samples.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/random.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "external/distribution.h"
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
      ResponseValue response;
      response.values = {value};
      response.present = true;
      samples[i].responses.push_back(response);
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

}  // namespace
}  // namespace karvo::reliability
