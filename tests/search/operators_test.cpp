// Tests of the genetic operators and of the normal deviate they draw: the documented draw
// order (replayed from the draws of a seed), the exact texts of the setting errors, the
// edge cases of each operator (tournament larger than the population, ranking with
// scalemult 2, all-zero fitness, parents that hardly differ, creep on a field of size 5,
// fields of size 1), and one sweep over thousands of random
// cases that every field stays within its field size.
#include "search/operators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/file_handle.h"
#include "base/random.h"
#include "support/message_capture.h"

namespace karvo::search {
namespace {

using Chromosome = std::vector<int>;

// The first draws after seeding; the generator is seeded again afterwards, so that the
// operator under test makes these same draws.
std::vector<float> drawsOfSeed(float seed, int count) {
  float again = seed;
  seedRandom(&seed, 0);
  std::vector<float> draws;
  for (int k = 0; k < count; ++k) draws.push_back(nextUniform());
  seedRandom(&again, 0);
  return draws;
}

// randomInt(low, high) for a draw r, as the generator computes it.
int intOfDraw(float r, int low, int high) {
  const int value = static_cast<int>(r * static_cast<float>(high - low + 1)) + low;
  return value > high ? high : value;
}

class OperatorsTest : public testing::MessageCaptureTest {
 protected:
  OperatorsTest() : MessageCaptureTest("karvo-operators") {}

  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetRandom();
  }
  void TearDown() override {
    resetRandom();
    MessageCaptureTest::TearDown();
  }

  static void seed(float value) { seedRandom(&value, 0); }
  // Draws since the last seeding, while fewer than 55.
  static int drawsSoFar() { return randomCursor; }

  std::string logPath() const { return dir_.file("genetic.log"); }
};

// ---------------------------------------------------------------------------------------
// Normal deviate

TEST_F(OperatorsTest, NormalDeviateDrawsTwiceEverySecondCallAndKeepsTheCosinePartner) {
  // Seed 0.5 draws r1 = 0x1.c03ae8p-1 and r2 = 0x1.c929f8p-3 first (see random_test).
  seed(0.5f);
  EXPECT_NEAR(normalDeviate(), 0.5085046372861216, 1e-12);  // sqrt(-2 ln r1) sin(2 pi r2)
  EXPECT_EQ(drawsSoFar(), 2);
  EXPECT_NEAR(normalDeviate(), 0.08636457228859322, 1e-12);  // ... cos(2 pi r2)
  EXPECT_EQ(drawsSoFar(), 2);
  normalDeviate();
  EXPECT_EQ(drawsSoFar(), 4);

  // Seeding drops a kept partner: the same seed gives the same sequence.
  seed(0.5f);
  EXPECT_NEAR(normalDeviate(), 0.5085046372861216, 1e-12);
  seed(0.5f);
  EXPECT_NEAR(normalDeviate(), 0.5085046372861216, 1e-12);
  EXPECT_EQ(drawsSoFar(), 2);

  // So does resetRandom. Its cleared table then draws 0 twice: r1 = 0 stands for 2^-52, so
  // the pair is sin(0) = 0 and sqrt(-2 ln 2^-52).
  resetRandom();
  EXPECT_EQ(normalDeviate(), 0.0);
  EXPECT_EQ(drawsSoFar(), 2);
  EXPECT_NEAR(normalDeviate(), 8.490424416849509, 1e-12);
  EXPECT_EQ(drawsSoFar(), 2);
}

// ---------------------------------------------------------------------------------------
// Tournament selection

TEST_F(OperatorsTest, TournamentKeepsTheFirstDrawUnlessALaterOneIsStrictlyBetter) {
  const std::vector<double> equal = {2.0, 2.0, 2.0, 2.0, 2.0};
  for (float s : {0.1f, 0.2f, 0.7f}) {
    const std::vector<float> draws = drawsOfSeed(s, 1);
    EXPECT_EQ(selectTournament(equal, 4), intOfDraw(draws[0], 0, 4));
    EXPECT_EQ(drawsSoFar(), 4);  // one draw per contestant
  }

  // Negative fitness: the highest wins once it is drawn (a size of 200 among 3 draws it).
  seed(0.4f);
  EXPECT_EQ(selectTournament(std::vector<double>{-3.0, -1.0, -2.0}, 200), 1);

  // Two contestants: the better of the two drawn.
  const std::vector<double> scaled = {4.0, 1.0, 3.0, 0.5, 2.0};
  for (float s : {0.15f, 0.25f, 0.35f, 0.45f}) {
    const std::vector<float> draws = drawsOfSeed(s, 2);
    const int first = intOfDraw(draws[0], 0, 4);
    const int second = intOfDraw(draws[1], 0, 4);
    EXPECT_EQ(selectTournament(scaled, 2), scaled[second] > scaled[first] ? second : first);
  }
}

// A tournament larger than the population is covered by the range sweep at the end.
TEST_F(OperatorsTest, TournamentOfOneOrNoMember) {
  seed(0.6f);
  EXPECT_EQ(selectTournament(std::vector<double>{7.0}, 5), 0);
  EXPECT_EQ(drawsSoFar(), 0);  // one member: nothing to draw
  EXPECT_EQ(selectTournament(std::vector<double>{}, 2), -1);
}

// ---------------------------------------------------------------------------------------
// Stochastic universal and linear ranking selection

TEST_F(OperatorsTest, UniversalSelectionOfAllZeroFitnessIsEveryMemberOnce) {
  seed(0.5f);
  SelectionList list;
  prepareUniversal(list, std::vector<double>(6, 0.0));
  EXPECT_EQ(list.entries, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(list.untaken, 6);
  EXPECT_EQ(drawsSoFar(), 0);

  // Ranking with an average of 0 gives the same list.
  prepareRanking(list, std::vector<double>(4, 0.0), 1.5, nullptr);
  EXPECT_EQ(list.entries, (std::vector<int>{0, 1, 2, 3}));

  SelectionList never;
  EXPECT_EQ(selectFromList(never), -1);
}

TEST_F(OperatorsTest, UniversalSelectionGivesEachMemberTheFloorOrCeilingOfItsExpectedCount) {
  std::mt19937 cases(7);
  std::uniform_real_distribution<double> fitness(0.0, 10.0);
  std::uniform_int_distribution<int> size(1, 30);
  seed(0.25f);
  for (int c = 0; c < 300; ++c) {
    std::vector<double> scaled(static_cast<std::size_t>(size(cases)));
    for (double& f : scaled) f = c % 5 == 0 ? std::floor(fitness(cases) / 4.0) : fitness(cases);
    const int n = static_cast<int>(scaled.size());
    const double average = std::accumulate(scaled.begin(), scaled.end(), 0.0) / n;
    SelectionList list;
    prepareUniversal(list, scaled);
    ASSERT_EQ(static_cast<int>(list.entries.size()), n);
    if (average == 0.0) continue;
    for (int i = 0; i < n; ++i) {
      const double expected = scaled[static_cast<std::size_t>(i)] / average;
      const auto count = std::count(list.entries.begin(), list.entries.end(), i);
      EXPECT_GE(static_cast<double>(count), std::floor(expected - 1e-9)) << c << " " << i;
      EXPECT_LE(static_cast<double>(count), std::ceil(expected + 1e-9)) << c << " " << i;
    }
  }
}

TEST_F(OperatorsTest, SelectionFromAListTakesEveryEntryOnceBeforeRebuilding) {
  seed(0.8f);
  SelectionList list;
  const std::vector<double> scaled = {1.0, 0.0, 2.0, 5.0, 2.0};
  prepareUniversal(list, scaled);
  std::vector<int> entries = list.entries;
  std::vector<int> picked;
  for (int k = 0; k < 5; ++k) picked.push_back(selectFromList(list));
  std::sort(entries.begin(), entries.end());
  std::sort(picked.begin(), picked.end());
  EXPECT_EQ(picked, entries);
  EXPECT_EQ(std::count(picked.begin(), picked.end(), 1), 0);  // fitness 0: never
  // The next pick starts a rebuilt list.
  EXPECT_EQ(list.untaken, 0);
  EXPECT_NE(selectFromList(list), 1);
  EXPECT_EQ(list.untaken, 4);

  // The draw order of one pick from a fresh list (built with one draw): randomInt(0,
  // untaken - 1), then the last untaken entry moves into the slot taken.
  for (float s : {0.15f, 0.55f, 0.95f}) {
    const std::vector<float> draws = drawsOfSeed(s, 2);
    prepareUniversal(list, scaled);
    const std::vector<int> before = list.entries;
    const int j = intOfDraw(draws[1], 0, 4);
    EXPECT_EQ(selectFromList(list), before[static_cast<std::size_t>(j)]);
    EXPECT_EQ(list.untaken, 4);
    EXPECT_EQ(list.entries[static_cast<std::size_t>(j)], before[4]);
    EXPECT_EQ(drawsSoFar(), 2);
  }
}

TEST_F(OperatorsTest, RankingExpectedCountsRunFromScalemultDownToTwoMinusScalemult) {
  EXPECT_EQ(rankingExpectedCount(0, 5, 2.0), 2.0);  // p = 2/n for the best
  EXPECT_EQ(rankingExpectedCount(2, 5, 2.0), 1.0);
  EXPECT_EQ(rankingExpectedCount(4, 5, 2.0), 0.0);  // exactly 0 for the worst
  EXPECT_DOUBLE_EQ(rankingExpectedCount(0, 3, 1.5), 1.5);
  EXPECT_DOUBLE_EQ(rankingExpectedCount(2, 3, 1.5), 0.5);
  EXPECT_EQ(rankingExpectedCount(0, 1, 2.0), 1.0);  // one member, no division by zero
}

TEST_F(OperatorsTest, RankingWithScalemultTwoNeverPicksTheWorstAndPicksTheBestTwiceInN) {
  // Ranks: member 0 (5.0), 2 (3.0), 3 (2.0), 1 (1.0); expected counts 2, 4/3, 2/3, 0.
  const std::vector<double> scaled = {5.0, 1.0, 3.0, 2.0};
  seed(0.9f);
  SelectionList list;
  prepareRanking(list, scaled, 2.0, nullptr);
  EXPECT_EQ(std::count(list.entries.begin(), list.entries.end(), 0), 2);
  EXPECT_EQ(std::count(list.entries.begin(), list.entries.end(), 1), 0);

  // 100 lists of 4: the best exactly 200 times, the worst never.
  std::vector<int> chosen(4, 0);
  for (int k = 0; k < 400; ++k) ++chosen[static_cast<std::size_t>(selectFromList(list))];
  EXPECT_EQ(chosen[0], 200);
  EXPECT_EQ(chosen[1], 0);
  EXPECT_EQ(chosen[2] + chosen[3], 200);
  EXPECT_GE(chosen[2], 100);  // 1 or 2 per list
  EXPECT_LE(chosen[3], 100);  // 0 or 1 per list
}

TEST_F(OperatorsTest, RankingRefusesScalemultOfOneOrLess) {
  const std::string expectedLog =
      "\n scalemult = 1.000000 \n"
      "\n***ERROR:  Window scaling and rank-based selection are incompatible.\n"
      "Parameter scalemult must be > 1.0 to use rank-based selection.\n"
      "Turn off window scaling and set 1.0 < scalemult <=2.0\n"
      "or use a different form of selection\n\n";
  const std::string stop =
      "Can't use window scaling with rank-based selection.  Turn off one or the other.";
  seed(0.5f);
  SelectionList list;
  FileHandle* log = openFile(logPath(), "w");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(failureOf([&] {
              prepareRanking(list, std::vector<double>{1.0, 2.0}, 1.0, log);
            }),
            fatalOutput(stop));
  closeFile(log);
  EXPECT_EQ(testing::readFile(logPath()), expectedLog);
  EXPECT_EQ(list.kind, SelectionList::Kind::kNone);  // refused before anything changed
  EXPECT_EQ(drawsSoFar(), 0);

  // Without a log only the stop is written; a NaN is refused too.
  EXPECT_EQ(failureOf([&] { prepareRanking(list, std::vector<double>{1.0}, 0.5, nullptr); }),
            fatalOutput(stop));
  EXPECT_EQ(
      failureOf([&] { prepareRanking(list, std::vector<double>{1.0}, std::nan(""), nullptr); }),
      fatalOutput(stop));
}

// ---------------------------------------------------------------------------------------
// Crossover

TEST_F(OperatorsTest, CrossoverCopiesWhenNotDrawnOrWhenTheParentsHardlyDiffer) {
  const Chromosome p1 = {1, 2, 3, 4, 5};
  const Chromosome p2 = {5, 4, 3, 2, 1};
  Chromosome c1 = {9};
  Chromosome c2;
  for (int type = 0; type <= 4; ++type) {
    seed(0.5f);
    EXPECT_EQ(crossover(type, p1, p2, 0.0, c1, c2), 0);
    EXPECT_EQ(c1, p1);
    EXPECT_EQ(c2, p2);
    EXPECT_EQ(drawsSoFar(), 1);  // the crossover flip only

    // One differing field, and none: copies even with pcross 1.
    const Chromosome q2 = {1, 2, 7, 4, 5};
    seed(0.5f);
    EXPECT_EQ(crossover(type, p1, q2, 1.0, c1, c2), 0);
    EXPECT_EQ(c1, p1);
    EXPECT_EQ(c2, q2);
    EXPECT_EQ(drawsSoFar(), 1);
    EXPECT_EQ(crossover(type, p1, p1, 1.0, c1, c2), 0);
    EXPECT_EQ(c1, p1);
    EXPECT_EQ(c2, p1);
  }
}

TEST_F(OperatorsTest, OnePointCrossoverNeverCutsAtFieldZero) {
  // Differing only at fields 0 and 1: the cut can only be field 1, and it takes no draw.
  Chromosome c1;
  Chromosome c2;
  seed(0.5f);
  EXPECT_EQ(crossover(0, {0, 0, 0, 0}, {1, 1, 0, 0}, 1.0, c1, c2), 1);
  EXPECT_EQ(c1, (Chromosome{0, 1, 0, 0}));
  EXPECT_EQ(c2, (Chromosome{1, 0, 0, 0}));
  EXPECT_EQ(drawsSoFar(), 1);

  // Parents differing everywhere: child 1 is a prefix of parent 1 (at least field 0) and the
  // rest of parent 2, each cut 1..n-1 showing up.
  const Chromosome p1 = {0, 0, 0, 0, 0};
  const Chromosome p2 = {1, 1, 1, 1, 1};
  std::vector<int> cuts(5, 0);
  seed(0.2f);
  for (int k = 0; k < 400; ++k) {
    ASSERT_EQ(crossover(0, p1, p2, 1.0, c1, c2), 1);
    const int cut = static_cast<int>(std::find(c1.begin(), c1.end(), 1) - c1.begin());
    ASSERT_GE(cut, 1);
    ASSERT_LT(cut, 5);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(c1[static_cast<std::size_t>(i)], i < cut ? 0 : 1);
      EXPECT_EQ(c2[static_cast<std::size_t>(i)], i < cut ? 1 : 0);
    }
    ++cuts[static_cast<std::size_t>(cut)];
  }
  EXPECT_EQ(cuts[0], 0);
  for (int cut = 1; cut < 5; ++cut) EXPECT_GT(cuts[static_cast<std::size_t>(cut)], 0) << cut;
}

TEST_F(OperatorsTest, TwoPointCrossoverTakesTheSpanFromAToBFromTheOtherParent) {
  // Replayed from the draws of seeds: i, then j among the others, over the differing
  // positions 1, 3, 4, 6; the fields from a up to b (b itself not) come from the other parent.
  Chromosome c1;
  Chromosome c2;
  const Chromosome q1 = {5, 0, 5, 0, 0, 5, 0, 5};
  const Chromosome q2 = {5, 1, 5, 1, 1, 5, 1, 5};
  const std::vector<int> differing = {1, 3, 4, 6};
  for (float s : {0.1f, 0.3f, 0.6f, 0.9f}) {
    const std::vector<float> draws = drawsOfSeed(s, 3);
    const int i = intOfDraw(draws[1], 0, 3);
    int j = intOfDraw(draws[2], 0, 2);
    if (j >= i) ++j;
    const int a = differing[static_cast<std::size_t>(std::min(i, j))];
    const int b = differing[static_cast<std::size_t>(std::max(i, j))];
    ASSERT_EQ(crossover(1, q1, q2, 1.0, c1, c2), 1);
    EXPECT_EQ(drawsSoFar(), 3);
    for (int f = 0; f < 8; ++f) {
      const bool inside = f >= a && f < b;
      EXPECT_EQ(c1[static_cast<std::size_t>(f)], (inside ? q2 : q1)[static_cast<std::size_t>(f)]);
      EXPECT_EQ(c2[static_cast<std::size_t>(f)], (inside ? q1 : q2)[static_cast<std::size_t>(f)]);
    }
  }
}

TEST_F(OperatorsTest, UniformCrossoverDrawsOncePerFieldAndAdaptiveAndUserActAsTwoPoint) {
  const Chromosome p1 = {0, 1, 2, 3, 4, 5};
  const Chromosome p2 = {10, 11, 2, 13, 14, 15};
  Chromosome c1;
  Chromosome c2;
  for (float s : {0.1f, 0.5f, 0.9f}) {
    const std::vector<float> draws = drawsOfSeed(s, 7);
    ASSERT_EQ(crossover(2, p1, p2, 1.0, c1, c2), 1);
    EXPECT_EQ(drawsSoFar(), 7);
    for (std::size_t i = 0; i < 6; ++i) {
      const bool keep = draws[i + 1] <= 0.5f;
      EXPECT_EQ(c1[i], keep ? p1[i] : p2[i]);
      EXPECT_EQ(c2[i], keep ? p2[i] : p1[i]);
    }
  }

  for (int type : {3, 4}) {
    for (float s : {0.2f, 0.7f}) {
      Chromosome t1;
      Chromosome t2;
      seed(s);
      crossover(1, p1, p2, 1.0, t1, t2);
      seed(s);
      crossover(type, p1, p2, 1.0, c1, c2);
      EXPECT_EQ(c1, t1);
      EXPECT_EQ(c2, t2);
    }
  }
}

TEST_F(OperatorsTest, CrossoverTypeOutsideZeroToFourStops) {
  Chromosome c1;
  Chromosome c2;
  for (int type : {5, 17, -1}) {
    seed(0.5f);
    EXPECT_EQ(failureOf([&] {
                crossover(type, {0, 1}, {1, 0}, 1.0, c1, c2);
              }),
              rendered("error", "crossover type error.") + fatalOutput("crossover type error."));
    EXPECT_EQ(drawsSoFar(), 0);
  }
}

// ---------------------------------------------------------------------------------------
// Normal field mutation

TEST_F(OperatorsTest, NormalFieldMutationFollowsItsDrawOrderAndCreepsByOneOnSizeFive) {
  // One field of size 5 holding 2: the flip, r1, then r2, then creep d = 2, b = 1: one step
  // draw (always <= 1, step 1) and the direction.
  const std::vector<int> sizes = {5};
  int creeps = 0;
  int resets = 0;
  int unchanged = 0;
  for (int k = 1; k <= 400; ++k) {
    const float s = static_cast<float>(k) / 401.0f;
    const std::vector<float> draws = drawsOfSeed(s, 5);
    Chromosome chromosome = {2};
    ASSERT_EQ(mutateNormalField(chromosome, sizes, 1.0), 1);
    if (draws[1] <= 0.2f) {
      ++resets;
      EXPECT_NE(chromosome[0], 2);
    } else if (draws[2] <= 0.2f) {
      ++unchanged;
      EXPECT_EQ(chromosome[0], 2);
      EXPECT_EQ(drawsSoFar(), 3);
    } else {
      ++creeps;
      EXPECT_EQ(chromosome[0], draws[4] <= 0.5f ? 1 : 3);
      EXPECT_EQ(drawsSoFar(), 5);
    }
  }
  EXPECT_GT(creeps, 100);
  EXPECT_GT(resets, 20);
  EXPECT_GT(unchanged, 20);
}

TEST_F(OperatorsTest, NormalFieldMutationCreepStepsOnALargeField) {
  // Size 1000: d = 100, b = 6, so a creep moves by 1..63 (2^6 - 1); a reset anywhere.
  const std::vector<int> sizes = {1000};
  int small = 0;
  seed(0.61f);
  for (int k = 0; k < 2000; ++k) {
    Chromosome chromosome = {500};
    mutateNormalField(chromosome, sizes, 1.0);
    if (std::abs(chromosome[0] - 500) <= 63) ++small;
  }
  // Resets (about 20%) land within 63 of 500 one time in eight; the rest are creeps or
  // unchanged: far more than 80% small moves.
  EXPECT_GT(small, 1600);
}

// (Fields of size 1 stay as they are: the range sweep at the end has many.)
TEST_F(OperatorsTest, NormalFieldMutationOfOneFieldOrNone) {
  // One field of size 1: m = 1 without a count draw, even though 1 - 1/n is 0.
  Chromosome one = {0};
  EXPECT_EQ(mutateNormalField(one, std::vector<int>{1}, 1.0), 1);
  Chromosome empty;
  seed(0.5f);
  EXPECT_EQ(mutateNormalField(empty, std::vector<int>{}, 1.0), 0);
  EXPECT_EQ(drawsSoFar(), 0);
}

// ---------------------------------------------------------------------------------------
// Multi-field mutation

TEST_F(OperatorsTest, MultiFieldMutationRefusesAnAverageWidthOfZeroOrLess) {
  const std::string stop = "Illegal value for avg_mut_width for multi-field mutation";
  Chromosome chromosome = {1, 2, 3};
  const std::vector<int> sizes = {5, 5, 5};
  std::vector<const Chromosome*> population = {&chromosome};
  seed(0.5f);
  FileHandle* log = openFile(logPath(), "w");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(failureOf([&] { mutateMultiField(chromosome, sizes, 1.0, 0.0, population, log); }),
            fatalOutput(stop));
  closeFile(log);
  EXPECT_EQ(testing::readFile(logPath()),
            "\n*** Illegal value for avg_mut_width for multi-field mutation ***\n");
  EXPECT_EQ(drawsSoFar(), 0);
  EXPECT_EQ(chromosome, (Chromosome{1, 2, 3}));

  // Refused also when no mutation would be drawn, and for NaN.
  EXPECT_EQ(failureOf([&] { mutateMultiField(chromosome, sizes, 0.0, -2.0, population); }),
            fatalOutput(stop));
  EXPECT_EQ(failureOf([&] { mutateMultiField(chromosome, sizes, 1.0, std::nan(""), population); }),
            fatalOutput(stop));
}

TEST_F(OperatorsTest, MultiFieldMutationResetsABlockThatWrapsRound) {
  // Draw order of a reset block: flip(p), flip(0.6), width draws, start, flip(0.5), then one
  // randomInt per field. Replayed from the draws of many seeds; fields outside the block stay.
  const int n = 6;
  const std::vector<int> sizes(n, 1000);
  const double avgWidth = 3.0;  // continuation limit 2/3
  int blocks = 0;
  int wrapped = 0;
  for (int k = 1; k <= 300; ++k) {
    const float s = static_cast<float>(k) / 301.0f;
    const std::vector<float> draws = drawsOfSeed(s, 20);
    if (draws[1] > 0.6f) continue;  // the normal field branch
    std::size_t next = 2;
    int width = 1;
    while (width < n && static_cast<double>(draws[next++]) <= 1.0 - 1.0 / avgWidth) ++width;
    const int start = intOfDraw(draws[next++], 0, n - 1);
    if (draws[next++] > 0.5f) continue;  // the normal step
    ++blocks;
    if (start + width > n) ++wrapped;

    // Fields outside the block keep -1 (out of range, so that a reset always shows); the
    // block is reset from its first field on, wrapping round.
    Chromosome expected(n, -1);
    for (int i = 0; i < width; ++i) {
      expected[static_cast<std::size_t>((start + i) % n)] = intOfDraw(draws[next++], 0, 999);
    }
    Chromosome chromosome(n, -1);
    Chromosome member(n, 0);
    std::vector<const Chromosome*> population = {&member};
    ASSERT_EQ(mutateMultiField(chromosome, sizes, 1.0, avgWidth, population), 1);
    EXPECT_EQ(chromosome, expected) << k;
    EXPECT_EQ(drawsSoFar(), static_cast<int>(next));
  }
  EXPECT_GT(blocks, 30);
  EXPECT_GT(wrapped, 5);
}

// The Box-Muller sine value of draws r1, r2.
double boxMuller(float r1, float r2) {
  double first = r1;
  if (first == 0.0) first = 2.220446049250313e-16;
  return std::sqrt(-2.0 * std::log(first)) * std::sin(6.2831853072 * static_cast<double>(r2));
}

TEST_F(OperatorsTest, MultiFieldNormalStepUsesTheSpreadOfThreeMembers) {
  // Replayed on one field of size 1000 holding 500: flip(p), flip(0.6), no width draw and no
  // start draw (one field), flip(0.5), three member draws, then the Box-Muller pair. The
  // members hold 0, 300, 600 and 950: sigma is the spread (divisor 3) of the three drawn,
  // 2.0 when they agree.
  const std::vector<int> one = {1000};
  const std::vector<Chromosome> members = {{0}, {300}, {600}, {950}};
  std::vector<const Chromosome*> population;
  for (const Chromosome& m : members) population.push_back(&m);
  int steps = 0;
  int agreeing = 0;
  for (int k = 1; k <= 600; ++k) {
    const float s = static_cast<float>(k) / 601.0f;
    const std::vector<float> draws = drawsOfSeed(s, 8);
    if (draws[1] > 0.6f || draws[2] <= 0.5f) continue;
    double values[3];
    for (int i = 0; i < 3; ++i) {
      values[i] = members[static_cast<std::size_t>(intOfDraw(draws[3 + i], 0, 3))][0];
    }
    const double mean = (values[0] + values[1] + values[2]) / 3.0;
    double squares = 0.0;
    for (double v : values) squares += (v - mean) * (v - mean);
    double sigma = std::sqrt(squares / 3.0);
    if (sigma == 0.0) {
      sigma = 2.0;
      ++agreeing;
    }
    const double moved = 500.0 + std::trunc(sigma / 5.0 * boxMuller(draws[6], draws[7]));
    const int expected = moved < 0.0 ? 0 : moved > 999.0 ? 999 : static_cast<int>(moved);
    Chromosome chromosome = {500};
    ASSERT_EQ(mutateMultiField(chromosome, one, 1.0, 2.0, population), 1);
    EXPECT_EQ(chromosome[0], expected) << k;
    EXPECT_EQ(drawsSoFar(), 8);
    ++steps;
  }
  EXPECT_GT(steps, 100);
  EXPECT_GT(agreeing, 0);
}

// The flip against the mutation probability comes first (the replays above use 1.0): with 0
// it fails and nothing else is drawn, in either mutation.
TEST_F(OperatorsTest, MutationWithProbabilityZeroDrawsOnlyTheFlip) {
  const Chromosome member(10, 50);
  std::vector<const Chromosome*> population = {&member, &member};
  Chromosome chromosome = member;
  seed(0.5f);
  EXPECT_EQ(mutateNormalField(chromosome, std::vector<int>(10, 100), 0.0), 0);
  EXPECT_EQ(drawsSoFar(), 1);
  seed(0.5f);
  EXPECT_EQ(mutateMultiField(chromosome, std::vector<int>(10, 100), 0.0, 2.0, population), 0);
  EXPECT_EQ(drawsSoFar(), 1);
  EXPECT_EQ(chromosome, member);
}

// ---------------------------------------------------------------------------------------
// Ranges

TEST_F(OperatorsTest, EveryOperatorKeepsEveryFieldWithinItsSize) {
  std::mt19937 cases(20240611);
  auto uniform = [&cases](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(cases);
  };
  auto real = [&cases](double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(cases);
  };
  auto inRange = [](const Chromosome& c, const std::vector<int>& sizes) {
    for (std::size_t i = 0; i < c.size(); ++i) {
      if (c[i] < 0 || c[i] >= sizes[i]) return false;
    }
    return c.size() == sizes.size();
  };
  seed(0.777f);
  for (int c = 0; c < 4000; ++c) {
    const int n = uniform(1, 24);
    std::vector<int> sizes(static_cast<std::size_t>(n));
    for (int& size : sizes) size = uniform(0, 3) == 0 ? uniform(1, 6) : uniform(1, 1000);
    auto randomChromosome = [&] {
      Chromosome chromosome(sizes.size());
      for (std::size_t i = 0; i < sizes.size(); ++i) chromosome[i] = uniform(0, sizes[i] - 1);
      return chromosome;
    };
    const Chromosome p1 = randomChromosome();
    // Parents that are equal, differ in at most one field, or are unrelated.
    Chromosome p2 = uniform(0, 1) == 0 ? p1 : randomChromosome();
    if (p2 == p1 && uniform(0, 1) == 0) {
      const std::size_t field = static_cast<std::size_t>(uniform(0, n - 1));
      p2[field] = uniform(0, sizes[field] - 1);
    }
    std::vector<Chromosome> members(static_cast<std::size_t>(uniform(0, 6)));
    for (Chromosome& m : members) m = randomChromosome();
    std::vector<const Chromosome*> population;
    for (const Chromosome& m : members) population.push_back(&m);

    Chromosome c1;
    Chromosome c2;
    const int type = uniform(0, 4);
    const int crossed = crossover(type, p1, p2, real(0.0, 1.0), c1, c2);
    ASSERT_TRUE(crossed == 0 || crossed == 1);
    ASSERT_TRUE(inRange(c1, sizes)) << c << " crossover " << type;
    ASSERT_TRUE(inRange(c2, sizes)) << c << " crossover " << type;

    const int normal = mutateNormalField(c1, sizes, real(0.0, 1.0));
    ASSERT_GE(normal, 0);
    ASSERT_LE(normal, n);
    ASSERT_TRUE(inRange(c1, sizes)) << c << " normal field mutation";

    const double width = uniform(0, 5) == 0 ? real(0.01, 1.0) : real(1.0, 50.0);
    const int multi = mutateMultiField(c2, sizes, real(0.0, 1.0), width, population);
    ASSERT_GE(multi, 0);
    ASSERT_LE(multi, n);
    ASSERT_TRUE(inRange(c2, sizes)) << c << " multi-field mutation";

    // Selection over a population of the same size as `members` (at least 1).
    std::vector<double> scaled(std::max<std::size_t>(members.size(), 1));
    for (double& f : scaled) f = uniform(0, 4) == 0 ? 0.0 : real(0.0, 100.0);
    const int count = static_cast<int>(scaled.size());
    const int tournament = selectTournament(scaled, uniform(1, 12));
    ASSERT_GE(tournament, 0);
    ASSERT_LT(tournament, count);
    SelectionList list;
    if (uniform(0, 1) == 0) {
      prepareUniversal(list, scaled);
    } else {
      prepareRanking(list, scaled, real(1.01, 2.0), nullptr);
    }
    ASSERT_EQ(static_cast<int>(list.entries.size()), count);
    for (int k = 0; k < count + 2; ++k) {
      const int picked = selectFromList(list);
      ASSERT_GE(picked, 0);
      ASSERT_LT(picked, count);
    }
  }
}

}  // namespace
}  // namespace karvo::search
