// Sampling designs: the portable random stream, maximin Latin hypercubes (validity, seed
// repeatability, each stop rule, quality against brute force and against random designs,
// level counts other than n, refused arguments) and Hammersley sets (known values,
// permutation property, large bases, refused arguments).
#include "external/sampling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

namespace karvo::support {
namespace {

std::vector<int> counts(int variables, int levels) { return std::vector<int>(variables, levels); }

std::vector<int> column(const SamplingDesign& design, int variable) {
  std::vector<int> values;
  for (int r = 0; r < design.samples; ++r) values.push_back(design.level(r, variable));
  return values;
}

std::int64_t minimumDistance(const SamplingDesign& design) {
  return samplingMinimumCityBlockDistance(design.levelMatrix, design.samples, design.variables);
}

LatinHypercubeDesign optimizedWithSeed(unsigned seed, int n, int k,
                                       const LatinOptimizeSettings& settings = {}) {
  Random::setGlobalSeed(seed);
  const std::vector<int> levels = counts(k, n);
  return LatinHypercubeDesign::optimized(n, k, levels.data(), true,
                                         std::numeric_limits<double>::infinity(), settings);
}

LatinHypercubeDesign plainWithSeed(unsigned seed, int n, int k) {
  Random::setGlobalSeed(seed);
  const std::vector<int> levels = counts(k, n);
  return LatinHypercubeDesign::optimized(n, k, levels.data(), false, 0.0);
}

// Largest smallest city-block distance of any n-run Latin hypercube in k = 2 or 3
// variables, by enumeration (the first column fixed to the identity).
std::int64_t bruteForceMaximin(int n, int k) {
  std::vector<int> p(n);
  std::iota(p.begin(), p.end(), 0);
  std::vector<std::vector<int>> perms;
  do perms.push_back(p);
  while (std::next_permutation(p.begin(), p.end()));
  std::int64_t best = 0;
  std::vector<int> partial(static_cast<std::size_t>(n) * n);
  for (const auto& second : perms) {
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        partial[i * n + j] = std::abs(i - j) + std::abs(second[i] - second[j]);
    if (k == 2) {
      std::int64_t smallest = std::numeric_limits<std::int64_t>::max();
      for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
          smallest = std::min<std::int64_t>(smallest, partial[i * n + j]);
      best = std::max(best, smallest);
      continue;
    }
    for (const auto& third : perms) {
      std::int64_t smallest = std::numeric_limits<std::int64_t>::max();
      for (int i = 0; i < n && smallest > best; ++i)
        for (int j = i + 1; j < n; ++j)
          smallest =
              std::min<std::int64_t>(smallest, partial[i * n + j] + std::abs(third[i] - third[j]));
      best = std::max(best, smallest);
    }
  }
  return best;
}

// ---------------------------------------------------------------------------------------
// Random stream

TEST(SamplingRandom, StandardTwisterAndRangesKeptAndUnbiased) {
  // The C++ standard fixes the 10 000th output of a default-seeded mt19937_64.
  Random::setGlobalSeed(5489u);
  EXPECT_EQ(Random::globalSeed(), 5489u);
  for (int i = 0; i < 9999; ++i) Random::nextBits();
  EXPECT_EQ(Random::nextBits(), 9981545732273789042ULL);

  // Bounds 0 and 1 answer 0 without consuming a draw.
  const std::uint64_t next = [] {
    Random::setGlobalSeed(3);
    return Random::nextBits();
  }();
  Random::setGlobalSeed(3);
  EXPECT_EQ(Random::below(0), 0u);
  EXPECT_EQ(Random::below(1), 0u);
  EXPECT_EQ(Random::nextBits(), next);

  // Just above 2^63 half of all draws are rejected; the rest must stay in range.
  const std::uint64_t large = (1ULL << 63) + 1;
  for (int i = 0; i < 200; ++i) EXPECT_LT(Random::below(large), large);

  // 3 does not divide 2^64: the counts of the residues stay within 2% of a third.
  int seen[3] = {0, 0, 0};
  for (int i = 0; i < 30000; ++i) ++seen[Random::below(3)];
  for (int value : seen) EXPECT_NEAR(value, 10000, 200);

  for (int i = 0; i < 1000; ++i) {
    const double u = Random::uniform();
    ASSERT_TRUE(u >= 0.0 && u < 1.0) << u;
  }
}

// ---------------------------------------------------------------------------------------
// Latin hypercubes

TEST(LatinHypercube, EveryColumnIsAPermutationForAllShapes) {
  const int shapes[][2] = {{1, 1}, {1, 6}, {2, 3}, {3, 7}, {5, 1}, {10, 3}, {17, 17}, {40, 4}};
  const LatinOptimizeSettings brief{.maxLoops = 10};
  for (const auto& shape : shapes) {
    for (bool optimize : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << shape[0] << " x " << shape[1] << " optimize " << optimize);
      Random::setGlobalSeed(11);
      const std::vector<int> levels = counts(shape[1], shape[0]);
      const LatinHypercubeDesign design =
          LatinHypercubeDesign::optimized(shape[0], shape[1], levels.data(), optimize, 60.0, brief);
      ASSERT_TRUE(design.valid()) << design.error;
      EXPECT_EQ(design.samples, shape[0]);
      EXPECT_EQ(design.variables, shape[1]);
      EXPECT_TRUE(samplingIsLatinHypercube(design.levelMatrix, shape[0], shape[1]));
    }
  }
}

TEST(LatinHypercube, EachStopRuleFires) {
  const std::vector<int> levels = counts(4, 30);
  Random::setGlobalSeed(5);
  EXPECT_EQ(LatinHypercubeDesign::optimized(30, 4, levels.data(), false, 60.0).stop,
            SamplingStop::kNotOptimized);
  EXPECT_EQ(LatinHypercubeDesign::optimized(2, 4, levels.data(), true, 60.0).stop,
            SamplingStop::kNothingToImprove);
  EXPECT_EQ(LatinHypercubeDesign::optimized(30, 1, levels.data(), true, 60.0).stop,
            SamplingStop::kNothingToImprove);

  const LatinHypercubeDesign converged = optimizedWithSeed(5, 12, 3);
  EXPECT_EQ(converged.stop, SamplingStop::kConverged);
  EXPECT_GE(converged.outerLoops, 100);

  const LatinHypercubeDesign capped = optimizedWithSeed(5, 30, 4, {.maxLoops = 3});
  EXPECT_EQ(capped.stop, SamplingStop::kLoopLimit);
  EXPECT_EQ(capped.outerLoops, 3);
  EXPECT_TRUE(samplingIsLatinHypercube(capped.levelMatrix, 30, 4));

  // A time limit that has passed before the first reading of the clock still gives a valid
  // design: the starting one. Zero time does the same without reading the clock.
  for (double limit : {0.0, 1e-9}) {
    Random::setGlobalSeed(5);
    const LatinHypercubeDesign cut =
        LatinHypercubeDesign::optimized(30, 4, levels.data(), true, limit);
    EXPECT_EQ(cut.stop, SamplingStop::kTimeLimit);
    EXPECT_EQ(cut.levelMatrix, plainWithSeed(5, 30, 4).levelMatrix);
  }

  // A limit that ends the search part-way gives the best design met so far. Converging
  // would take this design far longer than 50 ms, so the limit is what stops it.
  const std::vector<int> wideLevels = counts(10, 300);
  Random::setGlobalSeed(5);
  const LatinHypercubeDesign partway =
      LatinHypercubeDesign::optimized(300, 10, wideLevels.data(), true, 0.05);
  EXPECT_EQ(partway.stop, SamplingStop::kTimeLimit);
  EXPECT_TRUE(samplingIsLatinHypercube(partway.levelMatrix, 300, 10));
  EXPECT_GE(minimumDistance(partway), minimumDistance(plainWithSeed(5, 300, 10)));

  // Beyond the largest optimised size the design is a plain Latin hypercube.
  const int big = kMaxOptimizedSamples + 1;
  const LatinHypercubeDesign tooLarge = optimizedWithSeed(5, big, 2);
  EXPECT_EQ(tooLarge.stop, SamplingStop::kTooLarge);
  EXPECT_TRUE(samplingIsLatinHypercube(tooLarge.levelMatrix, big, 2));
}

// The same seed gives the same design, whether the distances are stored or recomputed;
// without a new seed the stream goes on, and another seed gives another design.
TEST(LatinHypercube, SameSeedGivesTheSameDesign) {
  const LatinOptimizeSettings stored{.maxLoops = 10, .storedDistanceSamples = 2048};
  const LatinOptimizeSettings recompute{.maxLoops = 10, .storedDistanceSamples = 0};
  const LatinHypercubeDesign first = optimizedWithSeed(77, 30, 4, stored);
  ASSERT_EQ(first.stop, SamplingStop::kLoopLimit);
  const LatinHypercubeDesign again = optimizedWithSeed(77, 30, 4, recompute);
  EXPECT_EQ(again.levelMatrix, first.levelMatrix);
  EXPECT_EQ(again.iterations, first.iterations);
  const std::vector<int> levels = counts(4, 30);
  EXPECT_NE(LatinHypercubeDesign::optimized(30, 4, levels.data(), true, 60.0, stored).levelMatrix,
            first.levelMatrix);
  EXPECT_NE(optimizedWithSeed(78, 30, 4, stored).levelMatrix, first.levelMatrix);
}

TEST(LatinHypercube, ReachesTheBruteForceOptimumOnTinyDesigns) {
  const std::int64_t optimum72 = bruteForceMaximin(7, 2);
  const std::int64_t optimum63 = bruteForceMaximin(6, 3);
  EXPECT_EQ(optimum72, 4);
  EXPECT_EQ(optimum63, 6);
  for (unsigned seed : {1u, 2u, 3u}) {
    EXPECT_EQ(minimumDistance(optimizedWithSeed(seed, 7, 2)), optimum72) << "seed " << seed;
    EXPECT_EQ(minimumDistance(optimizedWithSeed(seed, 6, 3)), optimum63) << "seed " << seed;
  }
}

TEST(LatinHypercube, OtherLevelCountsAreSpreadOverTheirLevels) {
  // Rank r of n runs goes to level floor((2r + 1) m / (2n)).
  EXPECT_EQ(samplingLevelOfRank(7, 10, 10), 7);
  const int toFour[] = {0, 0, 1, 1, 1, 2, 2, 3, 3, 3};
  const int toTwentyFive[] = {1, 3, 6, 8, 11, 13, 16, 18, 21, 23};
  for (int r = 0; r < 10; ++r) {
    EXPECT_EQ(samplingLevelOfRank(r, 10, 4), toFour[r]);
    EXPECT_EQ(samplingLevelOfRank(r, 10, 25), toTwentyFive[r]);
    EXPECT_EQ(samplingLevelOfRank(r, 10, 1), 0);
  }
  EXPECT_EQ(samplingLevelOfRank(65535, 65536, std::numeric_limits<int>::max()),
            std::numeric_limits<int>::max() - 16384);

  Random::setGlobalSeed(21);
  const int levels[] = {10, 4, 25, 1};
  const LatinHypercubeDesign design = LatinHypercubeDesign::optimized(10, 4, levels, true, 60.0);
  ASSERT_TRUE(design.valid()) << design.error;
  auto sorted = [&design](int variable) {
    std::vector<int> values = column(design, variable);
    std::sort(values.begin(), values.end());
    return values;
  };
  EXPECT_EQ(sorted(0), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(sorted(1), std::vector<int>(std::begin(toFour), std::end(toFour)));
  EXPECT_EQ(sorted(2), std::vector<int>(std::begin(toTwentyFive), std::end(toTwentyFive)));
  EXPECT_EQ(sorted(3), std::vector<int>(10, 0));
}

TEST(LatinHypercube, RefusesInvalidArgumentsWithoutDrawing) {
  const std::vector<int> ten = counts(3, 10);
  const int withZero[] = {10, 0, 10};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    int n, k;
    const int* levels;
    double limit;
    LatinOptimizeSettings settings;
    const char* message;
  } cases[] = {
      {0, 3, ten.data(), 1.0, {},
       "The number of samples must be between 1 and 67108864. Found (0)."},
      {10, -2, ten.data(), 1.0, {},
       "The number of variables must be between 1 and 67108864. Found (-2)."},
      {100000, 1000, ten.data(), 1.0, {},
       "The number of samples times the number of variables must be at most 67108864. Found "
       "(100000 x 1000 = 100000000)."},
      {10, 3, nullptr, 1.0, {}, "The level counts of the 3 variables are missing."},
      {10, 3, withZero, 1.0, {},
       "The level count of variable 2 must be between 1 and 2147483647. Found (0)."},
      {10, 3, ten.data(), nan, {}, "The time limit must be at least 0 seconds. Found (nan)."},
      {10, 3, ten.data(), 1.0, {.stallLoops = 0},
       "The number of outer loops without improvement must be at least 1. Found (0)."},
      {10, 3, ten.data(), 1.0, {.maxLoops = -1},
       "The largest number of outer loops must be at least 0. Found (-1)."},
      {10, 3, ten.data(), 1.0, {.storedDistanceSamples = 4097},
       "The largest number of samples with stored distances must be between 0 and 4096. "
       "Found (4097)."},
  };
  Random::setGlobalSeed(8);
  const std::uint64_t firstDraw = Random::nextBits();
  for (const Case& c : cases) {
    Random::setGlobalSeed(8);
    const LatinHypercubeDesign design =
        LatinHypercubeDesign::optimized(c.n, c.k, c.levels, true, c.limit, c.settings);
    EXPECT_EQ(design.error, c.message);
    EXPECT_FALSE(design.valid());
    EXPECT_EQ(design.stop, SamplingStop::kRefused);
    EXPECT_TRUE(design.levelMatrix.empty());
    EXPECT_EQ(design.samples, 0);
    EXPECT_EQ(Random::nextBits(), firstDraw);
    int destination[30];
    EXPECT_FALSE(design.copyLevels(destination, 30));
  }
}

TEST(SamplingDesign, CopiesAndReadsTheMatrixOnlyWithinItsSize) {
  const LatinHypercubeDesign design = optimizedWithSeed(4, 5, 3);
  std::vector<int> copy(15, -7);
  EXPECT_FALSE(design.copyLevels(copy.data(), 14));
  EXPECT_EQ(copy, std::vector<int>(15, -7));
  ASSERT_TRUE(design.copyLevels(copy.data(), 15));
  EXPECT_EQ(copy, design.levelMatrix);
  EXPECT_EQ(design.level(4, 2), design.levelMatrix[14]);
  EXPECT_EQ(design.level(5, 0), -1);
  EXPECT_EQ(design.level(0, 3), -1);

  EXPECT_FALSE(samplingIsLatinHypercube({0, 1, 1, 1, 2, 0}, 3, 2));  // level 1 twice in column 1
  EXPECT_TRUE(samplingIsLatinHypercube({0, 1, 1, 2, 2, 0}, 3, 2));
  EXPECT_FALSE(samplingIsLatinHypercube({0, 1, 1, 2, 2, 3}, 3, 2));  // level 3 out of range
  EXPECT_EQ(samplingMinimumCityBlockDistance({0, 1, 1, 2, 2, 0}, 3, 2), 2);
  EXPECT_DOUBLE_EQ(samplingMinimumEuclideanDistance({0, 1, 1, 2, 2, 0}, 3, 2), std::sqrt(2.0));
  EXPECT_EQ(samplingMinimumCityBlockDistance({4}, 1, 1), 0);
}

// ---------------------------------------------------------------------------------------
// Hammersley sets

TEST(Hammersley, KnownSetsPermutationsAndLargeBases) {
  const HammersleyDesign four(4, 3, 4);
  ASSERT_TRUE(four.valid()) << four.error;
  EXPECT_EQ(four.stop, SamplingStop::kNotOptimized);
  // i; base 2: 0, 1/2, 1/4, 3/4; base 3: 0, 1/3, 2/3, 1/9.
  EXPECT_EQ(four.levelMatrix, (std::vector<int>{0, 0, 0, 1, 2, 2, 2, 1, 3, 3, 3, 1}));

  const HammersleyDesign eight(8, 2, 8);  // a power of the base: the bit reversal
  EXPECT_EQ(column(eight, 1), (std::vector<int>{0, 4, 2, 6, 1, 5, 3, 7}));

  // Every column is a permutation; large bases repeat the first column.
  const int shapes[][2] = {{1, 1},    {1, 40},    {2, 5},    {7, 3},
                           {100, 12}, {1000, 30}, {5, 1000}, {20000, 3}};
  for (const auto& shape : shapes) {
    const HammersleyDesign design(shape[0], shape[1], shape[0]);
    ASSERT_TRUE(design.valid()) << design.error;
    EXPECT_TRUE(samplingIsLatinHypercube(design.levelMatrix, shape[0], shape[1]))
        << shape[0] << " x " << shape[1];
  }
  // 5 runs: the bases 2 and 3 (columns 1, 2) reorder the runs; 5, 7, 11, ... do not.
  const HammersleyDesign wide(5, 1000, 5);
  const std::vector<int> first = column(wide, 0);
  EXPECT_NE(column(wide, 1), first);
  EXPECT_NE(column(wide, 2), first);
  for (int j = 3; j < 1000; ++j) EXPECT_EQ(column(wide, j), first) << "column " << j;

  const HammersleyDesign single(1, 4, 1);
  EXPECT_EQ(single.levelMatrix, (std::vector<int>{0, 0, 0, 0}));
}

TEST(Hammersley, OtherLevelCountsAndRefusals) {
  const HammersleyDesign coarse(4, 2, 2);  // ranks 0 1 2 3 -> levels 0 0 1 1
  EXPECT_EQ(coarse.levelMatrix, (std::vector<int>{0, 0, 0, 1, 1, 0, 1, 1}));

  const HammersleyDesign noRuns(0, 2, 4);
  EXPECT_EQ(noRuns.error, "The number of samples must be between 1 and 67108864. Found (0).");
  EXPECT_TRUE(noRuns.levelMatrix.empty());
  EXPECT_EQ(noRuns.stop, SamplingStop::kRefused);
  const HammersleyDesign noLevels(4, 2, 0);
  EXPECT_EQ(noLevels.error, "The level count must be between 1 and 2147483647. Found (0).");
  EXPECT_FALSE(noLevels.valid());
}

}  // namespace
}  // namespace karvo::support
