// The space-filling arrays: Latin hypercube (with its pruned distance sweep, trial choice and
// the single-shuffle permutation of the run's generator), optimised Latin hypercube,
// Hammersley, and the D-optimal coordinate exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/random.h"
#include "definitions/method_settings.h"
#include "doe/d_optimal_internal.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "doe/latin_hypercube_internal.h"
#include "external/hammersley.h"
#include "external/latin_hypercube.h"
#include "external/sampling_random.h"
#include "support/message_capture.h"

namespace karvo::doe {
namespace {

using karvo::testing::MessageCaptureTest;
using karvo::testing::noteBlock;
using karvo::testing::warningBlock;

const char* const kLatinNote = "Generating the Latin Hypercube based design array...";
const char* const kDOptimalNote =
    "Please note that D-optimal is design to spread out the designs when a 2-level full "
    "factorial is not feasible. If the number of designs requested is close to the number of "
    "evaluations needed by a full factorial, D-optimal may not perform the number of "
    "evaluations requested but instead evaluate a ";

void seedWith(float value) {
  float seed = value;
  seedRandom(&seed, 0);
}

DoeRequest request(int kind, int factors, int runs) {
  DoeRequest r;
  r.kind = kind;
  r.agentNumber = 3;
  r.factors = factors;
  r.runs = runs;
  return r;
}

// Plain reference: every pair, every factor.
std::int64_t bruteMinimumDistance(const std::vector<int>& levels, int runs, int factors) {
  if (runs < 2) return static_cast<std::int64_t>(runs) * runs;
  std::int64_t best = INT64_MAX;
  for (int a = 0; a < runs; ++a)
    for (int b = a + 1; b < runs; ++b) {
      std::int64_t d = 0;
      for (int j = 0; j < factors; ++j)
        d += std::abs(static_cast<std::int64_t>(levels[a * factors + j]) - levels[b * factors + j]);
      best = std::min(best, d);
    }
  return best;
}

// Every field that does not depend on the draws.
void expectRecord(const DoeArray& array, int kind, int factors, int runs, int levels) {
  EXPECT_EQ(array.kind, kind);
  EXPECT_EQ(array.factors, factors);
  EXPECT_EQ(array.runs, runs);
  EXPECT_EQ(array.columns, factors);
  EXPECT_EQ(array.factorLevels, std::vector<int>(static_cast<std::size_t>(factors), levels));
  ASSERT_EQ(array.factorOrder.size(), static_cast<std::size_t>(factors));
  ASSERT_EQ(array.columnNames.size(), static_cast<std::size_t>(factors));
  for (int j = 0; j < factors; ++j) {
    EXPECT_EQ(array.factorOrder[static_cast<std::size_t>(j)], j);
    EXPECT_EQ(array.columnNames[static_cast<std::size_t>(j)], doeFactorName(j));
  }
  EXPECT_EQ(array.cells.size(), static_cast<std::size_t>(runs) * static_cast<std::size_t>(factors));
}

class SpaceFillingTest : public MessageCaptureTest {
 protected:
  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetRandom();
    seedWith(0.25f);
  }
  void TearDown() override {
    resetRandom();
    MessageCaptureTest::TearDown();
  }

  DoeArray build(DoeArrayBuilder builder, const DoeRequest& r) {
    DoeArray array;
    std::string error;
    EXPECT_TRUE(builder(r, array, error)) << error;
    EXPECT_EQ(error, "");
    return array;
  }
  std::string refusal(DoeArrayBuilder builder, const DoeRequest& r) {
    DoeArray array;
    std::string error;
    EXPECT_FALSE(builder(r, array, error));
    return error;
  }
};

// ---------------------------------------------------------------------------------------
// shufflePermutation

TEST_F(SpaceFillingTest, ShuffleIsOneFisherYatesPassWithNMinusOneDraws) {
  for (int n : {0, 1, 2, 3, 7, 50, 1000}) {  // no draw and no write for nothing
    seedWith(0.4f);
    std::vector<int> out(static_cast<std::size_t>(n), -1);
    shufflePermutation(n, out.data());
    const float after = nextUniform();

    // The same shuffle spelled out, and the draw that follows n - 1 draws.
    seedWith(0.4f);
    std::vector<int> expected(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) expected[static_cast<std::size_t>(i)] = i;
    for (int i = n - 1; i >= 1; --i)
      std::swap(expected[static_cast<std::size_t>(i)],
                expected[static_cast<std::size_t>(randomInt(0, i))]);
    EXPECT_EQ(out, expected) << n;
    EXPECT_EQ(after, nextUniform()) << n;
  }
}

// ---------------------------------------------------------------------------------------
// Latin hypercube: pieces

TEST_F(SpaceFillingTest, PrunedDistanceEqualsEveryPairReference) {
  seedWith(0.33f);
  for (int runs : {1, 2, 3, 5, 17, 64, 250}) {
    for (int factors : {1, 2, 3, 6}) {
      for (int range : {3, 40, 100000}) {  // small ranges give duplicate runs (distance 0)
        std::vector<int> levels(static_cast<std::size_t>(runs * factors));
        for (int& level : levels) level = randomInt(0, range - 1);
        const std::int64_t exact = bruteMinimumDistance(levels, runs, factors);
        latin::DistanceScratch scratch;
        const std::string where = std::to_string(runs) + "x" + std::to_string(factors) +
                                  " range " + std::to_string(range);
        EXPECT_EQ(latin::minimumDistance(levels.data(), runs, factors, -1, scratch), exact)
            << where;
        if (runs < 2) continue;
        // A floor below the minimum changes nothing; at or above it the sweep may stop with
        // any distance that does not exceed the floor.
        EXPECT_EQ(latin::minimumDistance(levels.data(), runs, factors, exact - 1, scratch), exact)
            << where;
        EXPECT_LE(latin::minimumDistance(levels.data(), runs, factors, exact, scratch), exact)
            << where;
        const std::int64_t stopped =
            latin::minimumDistance(levels.data(), runs, factors, exact + 1000, scratch);
        EXPECT_LE(stopped, exact + 1000) << where;
        EXPECT_GE(stopped, exact) << where;
      }
    }
  }
}

// The score a later trial must exceed, where its distance sweep may stop: the kept one's.
TEST_F(SpaceFillingTest, TrialChoiceFloorIsTheKeptScore) {
  latin::TrialChoice choice;
  EXPECT_EQ(choice.floor(), -1);
  EXPECT_TRUE(choice.offer(0, 30));
  EXPECT_EQ(choice.floor(), 30);
  EXPECT_FALSE(choice.offer(1, 30));
  EXPECT_EQ(choice.floor(), 30);
}

// ---------------------------------------------------------------------------------------
// Latin hypercube: the builder

// Each column a shuffle of its own: no two columns of a larger array share their strata order.
TEST_F(SpaceFillingTest, LatinHypercubeHasOneRunPerStratumInEveryFactor) {
  for (int runs : {1, 2, 3, 10, 57, 400}) {
    for (int factors : {2, 3, 10}) {
      const DoeArray array = build(buildLatinHypercube, request(kDoeLatinHypercube, factors, runs));
      expectRecord(array, kDoeLatinHypercube, factors, runs, 20 * runs);
      for (int j = 0; j < factors; ++j) {
        std::vector<int> perStratum(static_cast<std::size_t>(runs), 0);
        for (int r = 0; r < runs; ++r) {
          const int level = array.level(r, j);
          ASSERT_GE(level, 0);
          ASSERT_LT(level, 20 * runs);
          ++perStratum[static_cast<std::size_t>(level / 20)];
        }
        EXPECT_EQ(perStratum, std::vector<int>(static_cast<std::size_t>(runs), 1))
            << runs << " runs, factor " << j;
        for (int r = 0; j > 0 && runs >= 10 && r < runs; ++r) {
          if (array.level(r, j) / 20 != array.level(r, j - 1) / 20) break;
          EXPECT_LT(r, runs - 1) << "columns " << j - 1 << " and " << j << " alike";
        }
      }
    }
  }
}

// The builder's array is the first of its 20 trials with the largest smallest distance,
// measured here by the every-pair reference on the same draws.
TEST_F(SpaceFillingTest, LatinHypercubeKeepsTheFirstBestTrial) {
  for (int runs : {1, 2, 4, 12, 60}) {
    const int factors = 3;
    seedWith(0.15f);
    const DoeArray array = build(buildLatinHypercube, request(kDoeLatinHypercube, factors, runs));
    const float after = nextUniform();

    seedWith(0.15f);
    std::vector<int> trial(static_cast<std::size_t>(runs * factors)), kept;
    std::vector<int> permutation(static_cast<std::size_t>(runs)), column(permutation);
    std::int64_t bestScore = -1;
    int bestTrial = -1;
    for (int t = 0; t < latin::kTrials; ++t) {
      latin::drawTrial(runs, factors, 20, trial.data(), permutation.data(), column.data());
      const std::int64_t score = bruteMinimumDistance(trial, runs, factors);
      if (score > bestScore) {
        bestScore = score;
        bestTrial = t;
        kept = trial;
      }
    }
    if (runs == 1) {
      EXPECT_EQ(bestTrial, 0);  // every trial scores 1: the first one stays
    }
    EXPECT_EQ(std::vector<int>(array.cells.begin(), array.cells.end()), kept) << runs;
    EXPECT_EQ(after, nextUniform()) << runs;  // all 20 trials drawn, nothing more
  }
}

TEST_F(SpaceFillingTest, LatinHypercubeNoteFollowsTheRequest) {
  DoeRequest r = request(kDoeLatinHypercube, 2, 5);
  build(buildLatinHypercube, r);
  EXPECT_EQ(messages(), noteBlock(kLatinNote));
  clearMessages();
  r.announceLatin = false;
  build(buildLatinHypercube, r);
  EXPECT_EQ(messages(), "");
}

// ---------------------------------------------------------------------------------------
// Optimised Latin hypercube and Hammersley

// One draw of the run's generator seeds the component with trunc(100000 u); the design is
// the component's for that seed.
TEST_F(SpaceFillingTest, OptimizedLatinSeedsTheComponentFromOneDraw) {
  seedWith(0.55f);
  const DoeArray array = build(buildOptimizedLatinHypercube, request(kDoeOptimizedLatin, 3, 20));
  expectRecord(array, kDoeOptimizedLatin, 3, 20, 20);
  EXPECT_EQ(messages(), "");
  const float after = nextUniform();

  seedWith(0.55f);
  const unsigned seed = static_cast<unsigned>(static_cast<double>(nextUniform()) * 100000.0);
  EXPECT_EQ(support::Random::globalSeed(), seed);
  EXPECT_EQ(after, nextUniform());
  support::Random::setGlobalSeed(seed);
  const int counts[3] = {20, 20, 20};
  const support::LatinHypercubeDesign design =
      support::LatinHypercubeDesign::optimized(20, 3, counts, true, 60.0);
  ASSERT_TRUE(design.valid());
  EXPECT_EQ(std::vector<int>(array.cells.begin(), array.cells.end()), design.levelMatrix);

  seedWith(0.55f);
  EXPECT_EQ(build(buildOptimizedLatinHypercube, request(kDoeOptimizedLatin, 3, 20)).cells,
            array.cells);
}

TEST_F(SpaceFillingTest, HammersleyIsTheComponentsDesignAndDrawsNothing) {
  for (int runs : {1, 2, 8, 27, 100}) {
    for (int factors : {2, 4, 7}) {
      seedWith(0.2f);
      const DoeArray array = build(buildHammersley, request(kDoeHammersley, factors, runs));
      expectRecord(array, kDoeHammersley, factors, runs, runs);
      const support::HammersleyDesign design(runs, factors, runs);
      EXPECT_EQ(std::vector<int>(array.cells.begin(), array.cells.end()), design.levelMatrix);
      const float next = nextUniform();
      seedWith(0.2f);
      EXPECT_EQ(next, nextUniform());
    }
  }
}

// ---------------------------------------------------------------------------------------
// D-optimal

std::vector<double> randomStart(int runs, int factors) {
  std::vector<double> entries(static_cast<std::size_t>(runs * factors));
  for (double& entry : entries) entry = 2.0 * nextUniform() - 1.0;
  return entries;
}

// The two-level full factorial in -1/+1 coding, run r's factor j the bit j of r.
std::vector<double> fullFactorial(int factors) {
  const int runs = 1 << factors;
  std::vector<double> entries;
  for (int r = 0; r < runs; ++r)
    for (int j = 0; j < factors; ++j) entries.push_back((r >> j) & 1 ? 1.0 : -1.0);
  return entries;
}

TEST_F(SpaceFillingTest, ExchangeNeverLowersTheDeterminant) {
  const int sizes[][2] = {{3, 2}, {5, 2}, {4, 3}, {12, 5}, {30, 8}, {21, 20}, {200, 20}};
  for (const auto& size : sizes) {
    const int runs = size[0], factors = size[1];
    std::vector<double> entries = randomStart(runs, factors);
    const doptimal::ExchangeReport report = doptimal::exchange(entries, runs, factors);
    ASSERT_GE(report.passes, 1);
    ASSERT_LE(report.passes, doptimal::kMaxPasses);
    ASSERT_EQ(report.determinants.size(), static_cast<std::size_t>(report.passes) + 1);
    EXPECT_GT(report.determinants.back(), report.determinants.front());
    for (std::size_t p = 1; p < report.determinants.size(); ++p)
      EXPECT_GE(report.determinants[p], report.determinants[p - 1] * (1.0 - 1e-12))
          << runs << "x" << factors << " pass " << p;
    EXPECT_NEAR(report.determinants.back(), doptimal::modelDeterminant(entries, runs, factors),
                1e-9 * report.determinants.back());
    for (double entry : entries) {
      EXPECT_GE(entry, -1.0);
      EXPECT_LE(entry, 1.0);
    }
  }
}

TEST_F(SpaceFillingTest, ExchangeReachesTheFullFactorial) {
  for (int factors : {2, 3}) {
    const int runs = 1 << factors;
    const double optimum = std::pow(static_cast<double>(runs), factors + 1);

    std::vector<double> factorial = fullFactorial(factors);
    EXPECT_NEAR(doptimal::modelDeterminant(factorial, runs, factors), optimum, 1e-9 * optimum);
    // Already D-optimal: one pass that changes nothing.
    const doptimal::ExchangeReport unchanged = doptimal::exchange(factorial, runs, factors);
    EXPECT_EQ(unchanged.passes, 1);
    EXPECT_EQ(unchanged.changes, 0);
    EXPECT_EQ(factorial, fullFactorial(factors));

    // Shrunk towards the centre with some jitter: the exchange pushes every entry back out.
    std::vector<double> start = fullFactorial(factors);
    for (double& entry : start) entry *= 0.6 + 0.3 * nextUniform();
    const doptimal::ExchangeReport report = doptimal::exchange(start, runs, factors);
    EXPECT_NEAR(report.determinants.back(), optimum, 1e-9 * optimum) << factors;
    EXPECT_EQ(start, fullFactorial(factors)) << factors;
  }
}

// Coinciding runs make X^T X singular at the start; the exchange still spreads them out.
TEST_F(SpaceFillingTest, ExchangeRecoversFromASingularStart) {
  for (int factors : {2, 5, 12}) {
    const int runs = factors + 1;
    std::vector<double> entries(static_cast<std::size_t>(runs * factors), 0.25);
    const doptimal::ExchangeReport report = doptimal::exchange(entries, runs, factors);
    EXPECT_EQ(report.determinants.front(), 0.0);
    EXPECT_GT(report.determinants.back(), 1.0) << factors;
  }
}

TEST_F(SpaceFillingTest, DOptimalArrayHasTwoLevelsAndRepeatsFromTheSameSeed) {
  for (int factors : {2, 3, 7, 20}) {
    for (int extra : {1, 5, 40}) {
      const int runs = factors + extra;
      const DoeArray array = build(buildDOptimal, request(kDoeDOptimal, factors, runs));
      expectRecord(array, kDoeDOptimal, factors, runs, 2);
      for (std::int32_t level : array.cells) EXPECT_TRUE(level == 0 || level == 1) << level;
    }
  }
  // The same seed gives the same array.
  seedWith(0.9f);
  const DoeArray first = build(buildDOptimal, request(kDoeDOptimal, 6, 20));
  seedWith(0.9f);
  EXPECT_EQ(build(buildDOptimal, request(kDoeDOptimal, 6, 20)).cells, first.cells);
}

TEST_F(SpaceFillingTest, DOptimalMessages) {
  build(buildDOptimal, request(kDoeDOptimal, 2, 4));  // at most the full factorial: no warning
  EXPECT_EQ(messages(), noteBlock(kDOptimalNote));

  clearMessages();
  build(buildDOptimal, request(kDoeDOptimal, 2, 5));
  EXPECT_EQ(messages(), warningBlock("The requested number of runs (5) is greater than the max. "
                                     "possible runs (4) for the selected factors for the "
                                     "D-Optimal DOE sampling.") +
                            noteBlock(kDOptimalNote));

  clearMessages();
  build(buildDOptimal, request(kDoeDOptimal, 23, 30));  // 2^23 is not computed for 23 factors
  EXPECT_EQ(messages(), noteBlock(kDOptimalNote));
}

// ---------------------------------------------------------------------------------------
// Refusals: the exact texts (the components' own for their sizes), and no message

TEST_F(SpaceFillingTest, RefusalsGiveTheirTextsAndAnnounceNothing) {
  const auto few = [](const std::string& kind) {
    return "At least TWO factors need to be defined for using the " + kind + " DOE in agent # 3.";
  };
  const std::string latinRuns = "The number of runs (numEvals) of the Latin Hypercube DOE in "
                                "agent # 3 must be between 1 and 107374182. Found ";
  const int counts[2] = {0, 0};
  struct Case {
    DoeArrayBuilder builder;
    DoeRequest request;
    std::string text;
  };
  const Case cases[] = {
      {buildLatinHypercube, request(kDoeLatinHypercube, 1, 10), few("Latin Hypercube")},
      {buildLatinHypercube, request(kDoeLatinHypercube, 2, 0), latinRuns + "0."},
      {buildLatinHypercube, request(kDoeLatinHypercube, 2, INT_MAX / 20 + 1),
       latinRuns + "107374183."},
      {buildOptimizedLatinHypercube, request(kDoeOptimizedLatin, 1, 10),
       few("Optimized Latin Hypercube")},
      {buildOptimizedLatinHypercube, request(kDoeOptimizedLatin, 2, 0),
       support::LatinHypercubeDesign::optimized(0, 2, counts, true, 1.0).error},
      {buildHammersley, request(kDoeHammersley, 1, 10), few("Hammersley")},
      {buildHammersley, request(kDoeHammersley, 2, 0), support::HammersleyDesign(0, 2, 0).error},
      {buildDOptimal, request(kDoeDOptimal, 1, 10), few("D-Optimal")},
      {buildDOptimal, request(kDoeDOptimal, 5, 5),
       "The number of runs must be greater than the number of factors for the D-Optimal DOE "
       "sampling."},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.text, "");
    EXPECT_EQ(refusal(c.builder, c.request), c.text);
  }
  EXPECT_EQ(messages(), "");
}

}  // namespace
}  // namespace karvo::doe
