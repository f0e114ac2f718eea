// Distribution objects: quantiles and moments against closed forms and tables, sample
// statistics of fixed-seed streams, reproducible streams, and refused definitions.
#include "external/distribution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/properties_map.h"

namespace karvo {
namespace {

constexpr double kZ975 = 1.9599639845400536;  // standard normal quantile at 0.975
constexpr double kPi = 3.141592653589793;

std::unique_ptr<Distribution> make(const std::string& type, const DistributionProperties& lines) {
  std::string reason;
  auto distribution = createDistribution(type, lines, reason);
  EXPECT_NE(distribution, nullptr) << reason;
  return distribution;
}

// The reason a definition is refused (and that it is refused).
std::string refusal(const std::string& type, const DistributionProperties& lines) {
  std::string reason;
  auto distribution = createDistribution(type, lines, reason);
  EXPECT_EQ(distribution, nullptr);
  return reason;
}

double quantileOf(const Distribution& distribution, double p) {
  double x = 0.0;
  std::string reason;
  EXPECT_TRUE(distribution.quantile(p, x, reason)) << reason;
  return x;
}

double propertyOf(const Distribution& distribution, const std::string& name) {
  double value = 0.0;
  std::string reason;
  EXPECT_TRUE(distribution.property(name, value, reason)) << name << ": " << reason;
  return value;
}

double draw(Distribution& distribution) {
  double value = 0.0;
  std::string reason;
  EXPECT_TRUE(distribution.randomValue(value, reason)) << reason;
  return value;
}

TEST(DistributionQuantile, ContinuousFamiliesMatchClosedForms) {
  auto normal = make("Normal", {{"baseline", "10"}, {"standardDeviation", "2"}});
  EXPECT_NEAR(quantileOf(*normal, 0.025), 10 - 2 * kZ975, 1e-12);

  // Relative spread: 0.2 of |-10|.
  auto relative =
      make("Normal", {{"baseline", "-10"}, {"standardDeviation", "0.2"}, {"useRelative", "yes"}});
  EXPECT_NEAR(quantileOf(*relative, 0.975), -10 + 2 * kZ975, 1e-12);

  auto uniform = make("Uniform", {{"baseline", "5"}, {"variation", "1"}});
  EXPECT_DOUBLE_EQ(quantileOf(*uniform, 0.25), 4.5);

  // Mean 2, standard deviation 1: log-variance ln 1.25.
  auto lognormal = make("Lognormal", {{"baseline", "2"}, {"standardDeviation", "1"}});
  EXPECT_NEAR(quantileOf(*lognormal, 0.975), 4.515087727738048, 1e-11);

  // Shape 2, mean 1: scale 2/sqrt(pi).
  auto weibull = make("Weibull", {{"baseline", "1"}, {"shape", "2"}});
  EXPECT_NEAR(quantileOf(*weibull, 0.9), 1.712233160383746, 1e-12);
  // Coefficient of variation 1 is the shape 1: an exponential law of mean 3.
  auto weibullBySigma = make("Weibull", {{"baseline", "3"}, {"standardDeviation", "3"}});
  EXPECT_NEAR(propertyOf(*weibullBySigma, "shape"), 1.0, 1e-9);
  EXPECT_NEAR(quantileOf(*weibullBySigma, 0.5), 3 * std::log(2.0), 1e-8);

  // Standard deviation pi/sqrt(6) and mean Euler's constant: location 0, scale 1.
  auto gumbel = make(
      "Gumbel", {{"baseline", "0.5772156649015329"}, {"standardDeviation", "1.282549830161864"}});
  EXPECT_NEAR(propertyOf(*gumbel, "location"), 0.0, 1e-12);
  EXPECT_NEAR(propertyOf(*gumbel, "scale"), 1.0, 1e-12);
  EXPECT_NEAR(quantileOf(*gumbel, 0.9), 2.2503673273124454, 1e-12);

  // [-1, 3] with the mode 0: F(0) = 1/4.
  auto skewed =
      make("Triangular", {{"baseline", "0"}, {"lowerVariation", "1"}, {"upperVariation", "3"}});
  EXPECT_NEAR(quantileOf(*skewed, 0.0625), -0.5, 1e-12);
  EXPECT_NEAR(quantileOf(*skewed, 0.25), 0.0, 1e-12);
  EXPECT_NEAR(quantileOf(*skewed, 1 - 1.0 / 12), 2.0, 1e-12);

  auto shifted = make("Exponential", {{"baseline", "5"}, {"standardDeviation", "1"}});
  EXPECT_NEAR(quantileOf(*shifted, 0.5), 4 + std::log(2.0), 1e-12);
  EXPECT_DOUBLE_EQ(propertyOf(*shifted, "lowerBound"), 4.0);
}

// Poisson(3) cumulative probabilities, computed independently to full precision.
const double kPoisson3Cdf[] = {0.049787068367863944, 0.19914827347145578, 0.42319008112684353,
                               0.6472318887822313,   0.8152632445237721,  0.9160820579686966,
                               0.9664914646911589,   0.9880954961436427,  0.9961970079383241,
                               0.9988975118698846,   0.9997076630493528,  0.9999286133710259};

TEST(DistributionQuantile, DiscreteFamiliesGiveSmallestValueReachingP) {
  auto poisson = make("Poisson", {{"baseline", "3"}});
  // A grid of p that avoids the table values themselves by at least 1e-6.
  for (int i = 1; i < 1000; ++i) {
    double p = i / 1000.0 + 0.0000005;
    int expected = 0;
    while (kPoisson3Cdf[expected] < p) ++expected;
    ASSERT_EQ(quantileOf(*poisson, p), expected) << "p = " << p;
  }
  // Upper tail: Q(21) = 1.597e-12 > 1e-12 >= Q(22) = 2.07e-13.
  EXPECT_EQ(quantileOf(*poisson, 1 - 1e-12), 22);

  // Binomial(10, 0.5): F(4) = 386/1024 and F(5) = 638/1024, on either side of each.
  auto binomial = make("Binomial", {{"baseline", "5"}, {"trials", "10"}});
  EXPECT_EQ(quantileOf(*binomial, 386.0 / 1024 - 1e-9), 4);
  EXPECT_EQ(quantileOf(*binomial, 386.0 / 1024 + 1e-9), 5);
  EXPECT_EQ(quantileOf(*binomial, 638.0 / 1024 + 1e-9), 6);
  // Degenerate ends: every trial fails, every trial succeeds.
  auto none = make("Binomial", {{"baseline", "0"}, {"trials", "4"}});
  auto all = make("Binomial", {{"baseline", "4"}, {"trials", "4"}});
  EXPECT_EQ(quantileOf(*none, 0.999), 0);
  EXPECT_EQ(quantileOf(*all, 0.001), 4);
}

TEST(DistributionQuantile, UnusableQuantilesAreRefused) {
  auto normal = make("Normal", {{"baseline", "0"}, {"standardDeviation", "1"}});
  for (double p : {0.0, 1.0, -0.5, 1.5, std::nan("")}) {
    double x = 123;
    std::string reason;
    EXPECT_FALSE(normal->quantile(p, x, reason));
    EXPECT_EQ(x, 123);
    if (p == 0.0) {
      EXPECT_EQ(reason,
                "The probability (0) for the quantile of the Normal distribution is "
                "outside the range (0, 1).");
    }
  }
  // A value beyond the largest real is refused, not answered as infinity.
  auto huge = make("Normal", {{"baseline", "1e308"}, {"standardDeviation", "1e308"}});
  double x = 0;
  std::string reason;
  EXPECT_FALSE(huge->quantile(0.9, x, reason));
  EXPECT_EQ(reason,
            "The quantile at 0.9 of the Normal distribution is inf, not a finite number, "
            "at the baseline 1e+308.");
  // Draws go through the same check: about a fifth of them lie beyond the largest real.
  int failures = 0;
  for (int i = 0; i < 50; ++i) failures += huge->randomValue(x, reason) ? 0 : 1;
  EXPECT_GT(failures, 0);
  EXPECT_LT(failures, 50);
}

// One case per family: a definition with its closed-form mean, variance and kurtosis.
struct MomentCase {
  const char* type;
  DistributionProperties lines;
  double mean;
  double variance;
  double kurtosis;  // fourth central moment over variance squared
  bool continuous;
};

const std::vector<MomentCase>& momentCases() {
  static const std::vector<MomentCase> cases = {
      {"Normal", {{"baseline", "10"}, {"standardDeviation", "2"}}, 10, 4, 3, true},
      {"Uniform", {{"baseline", "5"}, {"variation", "1"}}, 5, 1.0 / 3, 1.8, true},
      {"Lognormal", {{"baseline", "2"}, {"standardDeviation", "1"}}, 2, 1, 8.03515625, true},
      {"Weibull", {{"baseline", "1"}, {"shape", "2"}}, 1, 4 / kPi - 1, 3.245089, true},
      {"Gumbel", {{"baseline", "-4"}, {"standardDeviation", "0.5"}}, -4, 0.25, 5.4, true},
      {"Triangular", {{"baseline", "1"}, {"variation", "1"}}, 1, 1.0 / 6, 2.4, true},
      {"Exponential", {{"baseline", "2"}}, 2, 4, 9, true},
      {"Exponential", {{"baseline", "5"}, {"standardDeviation", "0.5"}, {"useRelative", "1"}},
       5, 6.25, 9, true},
      {"Poisson", {{"baseline", "3"}}, 3, 3, 3 + 1.0 / 3, false},
      {"Binomial", {{"baseline", "5"}, {"trials", "10"}}, 5, 2.5, 3 - 2.0 / 10, false},
  };
  return cases;
}

// The properties against the closed forms; then draws of a fixed seed: the sample mean and
// variance lie within five standard errors, which for the sample size follow from the variance
// and kurtosis of the family.
TEST(DistributionMoments, PropertiesAndSampleMomentsOfFixedSeedStreams) {
  const int n = 20000;
  for (const MomentCase& c : momentCases()) {
    SCOPED_TRACE(c.type);
    DistributionProperties lines = c.lines;
    lines.emplace_back("randomSeed", "271828");
    auto distribution = make(c.type, lines);
    EXPECT_NEAR(propertyOf(*distribution, "mean"), c.mean, 1e-12 * (1 + std::fabs(c.mean)));
    EXPECT_NEAR(propertyOf(*distribution, "variance"), c.variance, 1e-12 * c.variance);
    bool continuous = !c.continuous;
    std::string reason;
    EXPECT_TRUE(distribution->isContinuous(continuous, reason));
    EXPECT_EQ(continuous, c.continuous);
    // The extreme uniform numbers of a draw still give finite, ordered values.
    double low = quantileOf(*distribution, 0x1p-53);
    double high = quantileOf(*distribution, 1 - 0x1p-53);
    EXPECT_TRUE(std::isfinite(low) && std::isfinite(high));
    EXPECT_LE(low, quantileOf(*distribution, 0.5));
    EXPECT_LE(quantileOf(*distribution, 0.5), high);
    double lower = propertyOf(*distribution, "lowerBound");
    double upper = propertyOf(*distribution, "upperBound");
    double sum = 0, sumSquares = 0;
    for (int i = 0; i < n; ++i) {
      double value = draw(*distribution);
      ASSERT_GE(value, lower);
      ASSERT_LE(value, upper);
      if (!c.continuous) {
        ASSERT_EQ(value, std::floor(value));
      }
      sum += value;
      sumSquares += value * value;
    }
    double mean = sum / n;
    double variance = (sumSquares - sum * sum / n) / (n - 1);
    EXPECT_NEAR(mean, c.mean, 5 * std::sqrt(c.variance / n));
    EXPECT_NEAR(variance, c.variance, 5 * c.variance * std::sqrt((c.kurtosis - 1) / n));
  }
}

// The stream is the standard 64-bit Mersenne twister: with the seed 5489 its 10000th
// output is 9981545732273789042 on every conforming library, and a draw of Uniform[0, 1]
// is exactly (top 52 bits + 0.5) / 2^52. Setting the seed restarts the stream; another seed
// gives another. (Two objects of one record draw the same stream: the property-list test.)
TEST(DistributionStream, PortableUniformDrawsRestartedBySetTheSeed) {
  auto unit = make("Uniform", {{"baseline", "0.5"}, {"variation", "0.5"}, {"randomSeed", "5489"}});
  const double first = draw(*unit);
  double value = first;
  for (int i = 1; i < 10000; ++i) value = draw(*unit);
  EXPECT_EQ(value, (static_cast<double>(9981545732273789042ULL >> 12) + 0.5) * 0x1p-52);
  std::string reason;
  ASSERT_TRUE(unit->setProperty("randomSeed", 5489, reason));
  EXPECT_EQ(draw(*unit), first);
  ASSERT_TRUE(unit->setProperty("randomSeed", 5490, reason));
  EXPECT_NE(draw(*unit), first);
}

TEST(DistributionDefinition, BadDefinitionsAreRefusedWithTheirMessages) {
  EXPECT_EQ(refusal("Gauss", {}),
            "Unknown distribution type \"Gauss\". The known types are Normal, Uniform, "
            "Lognormal, Weibull, Gumbel, Triangular, Exponential, Poisson and Binomial.");
  EXPECT_EQ(refusal("Normal", {{"type", "Uniform"}, {"standardDeviation", "1"}}),
            "The type \"Uniform\" in the property list does not match the distribution type "
            "\"Normal\".");
  EXPECT_EQ(refusal("Normal", {{"standardDeviation", "1"}, {"variation", "1"}}),
            "The property \"variation\" is not used by the Normal distribution. Its properties "
            "are \"name\", \"type\", \"baseline\", \"randomSeed\", \"useRelative\", "
            "\"standardDeviation\".");
  EXPECT_EQ(refusal("Normal", {{"name", "d1"}}),
            "The Normal distribution needs the property \"standardDeviation\".");
  EXPECT_EQ(refusal("Uniform", {{"variation", "1"}, {"standardDeviation", "1"}}),
            "The Uniform distribution takes only one of the properties \"standardDeviation\" "
            "and \"variation\"; both are given.");
  EXPECT_EQ(refusal("Gumbel", {{"standardDeviation", "0"}}),
            "The property \"standardDeviation\" of the Gumbel distribution is 0; it must be "
            "greater than 0.");
  EXPECT_EQ(refusal("Normal", {{"standardDeviation", "1e999"}}),
            "The value \"1e999\" of the property \"standardDeviation\" of the Normal "
            "distribution could not be converted into a number.");
  EXPECT_EQ(refusal("Normal", {{"standardDeviation", "1"}, {"useRelative", "Yes"}}),
            "The value \"Yes\" of the property \"useRelative\" of the Normal distribution must "
            "be true, false, yes, no, 1 or 0.");
  EXPECT_EQ(refusal("Exponential", {{"baseline", "0"}}),
            "The baseline of the Exponential distribution is 0; it must be greater than 0 when "
            "\"standardDeviation\" is not given.");
  EXPECT_EQ(refusal("Weibull", {{"shape", "0.01"}}),
            "The property \"shape\" of the Weibull distribution is 0.01; it must lie in "
            "[0.05, 100000].");
  EXPECT_EQ(refusal("Weibull", {{"standardDeviation", "1e9"}, {"useRelative", "true"}}),
            "The coefficient of variation of the Weibull distribution is 1e+09; it must lie in "
            "[1.28254e-05, 371277], the range of a Weibull shape in [0.05, 100000].");
  EXPECT_EQ(refusal("Triangular", {{"lowerVariation", "0"}, {"upperVariation", "0"}}),
            "The properties \"lowerVariation\" and \"upperVariation\" of the Triangular "
            "distribution are both 0; at least one must be greater than 0.");
  EXPECT_EQ(refusal("Binomial", {{"trials", "10"}, {"baseline", "10.5"}}),
            "The baseline of the Binomial distribution is 10.5; it must lie in [0, 10], the "
            "number of trials.");
  EXPECT_EQ(
      refusal("Normal", {{"standardDeviation", "0.1"}, {"useRelative", "true"}, {"baseline", "0"}}),
      "The Normal distribution has its spread relative to the baseline (useRelative), and "
      "the baseline is 0; the standard deviation must be greater than 0.");
  EXPECT_EQ(refusal("Uniform", {{"variation", "1"}, {"baseline", "1e300"}}),
            "The range [1e+300, 1e+300] of the Uniform distribution at the baseline 1e+300 "
            "cannot be represented; its spread is too small or too large for that baseline.");
}

TEST(DistributionBaseline, MissingOrRefusedBaselineBlocksUse) {
  auto normal = make("Normal", {{"standardDeviation", "1"}});
  double x = 0;
  std::string reason;
  EXPECT_FALSE(normal->randomValue(x, reason));
  EXPECT_EQ(reason, "The baseline of the Normal distribution has not been set.");
  EXPECT_FALSE(normal->quantile(0.5, x, reason));
  EXPECT_FALSE(normal->property("mean", x, reason));
  // Spreads as written are known without a baseline.
  EXPECT_EQ(propertyOf(*normal, "standardDeviation"), 1);

  // A refused first baseline is named by the next draw.
  auto lognormal = make("Lognormal", {{"standardDeviation", "1"}});
  EXPECT_FALSE(lognormal->setProperty("baseline", -2, reason));
  EXPECT_FALSE(lognormal->randomValue(x, reason));
  EXPECT_EQ(reason, "The baseline of the Lognormal distribution is -2; it must be greater than 0.");

  // A refused later baseline leaves the law as it was.
  ASSERT_TRUE(lognormal->setProperty("baseline", 2, reason));
  EXPECT_FALSE(lognormal->setProperty("baseline", 0, reason));
  EXPECT_FALSE(lognormal->setProperty("baseline", std::nan(""), reason));
  EXPECT_EQ(reason,
            "The baseline of the Lognormal distribution is nan; it must be a finite "
            "number.");
  EXPECT_NEAR(quantileOf(*lognormal, 0.5), 1.7888543819998317, 1e-12);

  EXPECT_FALSE(lognormal->setProperty("randomSeed", 2.5, reason));
  EXPECT_EQ(reason,
            "The random seed of the Lognormal distribution is 2.5; it must be a whole "
            "number in [0, 9007199254740992].");
  EXPECT_FALSE(lognormal->setProperty("standardDeviation", 2, reason));
  EXPECT_EQ(reason,
            "The property (standardDeviation) cannot be set for the distribution "
            "selected (Lognormal); only \"baseline\" and \"randomSeed\" can be set.");
}

TEST(DistributionProperty, WordsAnswerInTheRecordsForm) {
  std::string reason;
  double value = 0;
  auto normal =
      make("Normal", {{"baseline", "-10"}, {"standardDeviation", "0.2"}, {"useRelative", "true"}});
  EXPECT_EQ(propertyOf(*normal, "standardDeviation"), 0.2);  // as written, relative
  EXPECT_NEAR(propertyOf(*normal, "variance"), 4, 1e-12);
  EXPECT_FALSE(normal->property("variation", value, reason));
  EXPECT_EQ(reason,
            "The requested property (variation) is not available for the distribution "
            "selected (Normal).");

  // Derived spreads follow useRelative: a fraction of |baseline| = 4.
  auto uniform =
      make("Uniform", {{"baseline", "-4"}, {"variation", "0.5"}, {"useRelative", "true"}});
  EXPECT_EQ(propertyOf(*uniform, "variation"), 0.5);
  EXPECT_NEAR(propertyOf(*uniform, "standardDeviation"), 0.5 / std::sqrt(3.0), 1e-12);
  EXPECT_EQ(propertyOf(*uniform, "lowerBound"), -6);
  EXPECT_EQ(propertyOf(*uniform, "upperBound"), -2);

  auto skewed =
      make("Triangular", {{"baseline", "0"}, {"lowerVariation", "1"}, {"upperVariation", "3"}});
  EXPECT_FALSE(skewed->property("variation", value, reason));
  EXPECT_EQ(reason,
            "The Triangular distribution is not symmetric (lowerVariation 1, "
            "upperVariation 3); it has no single variation.");
  auto symmetric = make("Triangular", {{"baseline", "2"}, {"standardDeviation", "1"}});
  EXPECT_NEAR(propertyOf(*symmetric, "variation"), std::sqrt(6.0), 1e-12);

  auto binomial = make("Binomial", {{"baseline", "2.5"}, {"trials", "10"}});
  EXPECT_EQ(propertyOf(*binomial, "probability"), 0.25);
  EXPECT_EQ(propertyOf(*make("Exponential", {{"baseline", "4"}}), "rate"), 0.25);
  auto lognormal = make("Lognormal", {{"baseline", "2"}, {"standardDeviation", "1"}});
  EXPECT_NEAR(propertyOf(*lognormal, "logStandardDeviation"), std::sqrt(std::log(1.25)), 1e-15);
  EXPECT_NEAR(propertyOf(*lognormal, "logMean"), std::log(2.0) - std::log(1.25) / 2, 1e-15);
}

// Reads "name: value" lines as the definition reader does (one blank after the colon).
DistributionProperties parseLines(const std::string& text) {
  DistributionProperties lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    std::size_t colon = line.find(':');
    lines.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    start = end + 1;
  }
  return lines;
}

TEST(DistributionPropertyList, ListsTheRecordAndRecreatesAnEqualObject) {
  auto weibull = make("Weibull", {{"name", "wear"},
                                  {"type", "Weibull"},
                                  {"standardDeviation", "0.25"},
                                  {"useRelative", "yes"}});
  std::string reason;
  ASSERT_TRUE(weibull->setProperty("baseline", 0.1, reason));
  ASSERT_TRUE(weibull->setProperty("randomSeed", 77, reason));
  EXPECT_EQ(weibull->propertyList(),
            "name: wear\ntype: Weibull\nbaseline: 0.1\nrandomSeed: 77\nuseRelative: true\n"
            "standardDeviation: 0.25\n");

  auto copy = make(weibull->typeWord(), parseLines(weibull->propertyList()));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(draw(*copy), draw(*weibull));
  EXPECT_EQ(copy->propertyList(), weibull->propertyList());

  PropertiesMap map;
  map.setValue("trials", "12");
  map.setValue("baseline", "3");
  auto fromMap = createDistribution("Binomial", map, reason);
  ASSERT_NE(fromMap, nullptr) << reason;
  EXPECT_EQ(fromMap->propertyList(),
            "type: Binomial\nbaseline: 3\nrandomSeed: 0\nuseRelative: false\ntrials: 12\n");
}

}  // namespace
}  // namespace karvo
