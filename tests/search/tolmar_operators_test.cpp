// Tests of the adaptive operators of the hybrid search: the exact credit-ring contents per
// code group, one adaptive update computed by hand for several rings, the 0.66 family sum,
// the fine-grained pull of the blend codes, the mutation-width rule, the draw order and
// answers of adaptivx, the field blend on worked cases, and sweeps over many random draws
// that every child and mutant stays inside its field range and every mutation kind changes
// the chromosome.
#include "search/tolmar_operators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "base/random.h"
#include "search/operators.h"

namespace karvo::search {
namespace {

using Chromosome = std::vector<int>;

class TolmarOperatorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRandom();
    adaptiveReset(state_, 6, 2.0);
  }
  void TearDown() override { resetRandom(); }

  static void seed(float value) { seedRandom(&value, 0); }
  static int drawsSoFar() { return randomCursor; }  // while fewer than 55 since seeding

  // Only `code` of its mutation family can be drawn, and the family always mutates.
  void onlyMutation(int code) {
    for (int c : {1, 2, 3, 4, 6, 7, 8, 9}) state_.probability[c] = c == code ? 0.1 : 0.0;
    state_.pmutation = 1.0;
    state_.familyAMutation = 1.0 + state_.probability[90];
  }
  // Only `code` of its crossover family can be drawn, and the family always crosses.
  void onlyCrossover(int code) {
    for (int c : {10, 20, 35, 60, 70, 85}) state_.probability[c] = c == code ? 0.1 : 0.0;
    state_.pcross = 1.0;
    state_.familyACross = 1.0;
  }

  AdaptiveState state_;
};

bool inRange(const Chromosome& c, const std::vector<int>& sizes) {
  for (std::size_t i = 0; i < c.size(); ++i) {
    if (c[i] < 0 || c[i] > std::max(1, sizes[i]) - 1) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Reset, fine-grained representations, credit

TEST_F(TolmarOperatorsTest, ResetSetsTheStartingProbabilitiesRingsAndRates) {
  // (The empty rings show in the credit test below.)
  EXPECT_EQ(state_.avgMutWidth, 2.0);
  EXPECT_EQ(state_.pcross, 0.5);
  EXPECT_EQ(state_.pmutation, 0.2);
  EXPECT_EQ(state_.searchFraction, 0.0);
  // The starting probabilities of the codes show in the updates below.
  EXPECT_EQ(state_.probability[30], 0.0);  // kept under 35

  adaptiveReset(state_, 4, 0.3);  // a width below 1 starts at 1
  EXPECT_EQ(state_.avgMutWidth, 1.0);
  EXPECT_EQ(probabilityCode(30), 35);
  EXPECT_EQ(probabilityCode(80), 85);
  EXPECT_EQ(probabilityCode(94), 90);
  EXPECT_EQ(probabilityCode(95), 90);
  EXPECT_EQ(probabilityCode(7), 7);
}

TEST_F(TolmarOperatorsTest, MostlyFineGrainedAllowsAThirdCoarseAndAThirdDiscrete) {
  const std::vector<char> none = {0, 0, 0};
  EXPECT_TRUE(mostlyFineGrained(std::vector<int>{100, 40, 39}, none));
  EXPECT_FALSE(mostlyFineGrained(std::vector<int>{100, 39, 39}, none));
  EXPECT_TRUE(mostlyFineGrained(std::vector<int>{100, 100, 100}, std::vector<char>{1, 0, 0}));
  EXPECT_FALSE(mostlyFineGrained(std::vector<int>{100, 100, 100}, std::vector<char>{1, 0, 1}));
  EXPECT_FALSE(mostlyFineGrained(std::vector<int>{}, std::vector<char>{}));
}

TEST_F(TolmarOperatorsTest, CreditWritesTheEntriesOfEachCodeGroup) {
  // Mutation and search codes: one entry for beating the first parent, two more at the best.
  creditOperator(state_, 2, 5.0, 4.0, 99.0, 10.0, 3.0);
  creditOperator(state_, 7, 10.0, 4.0, 99.0, 10.0, 4.0);
  creditOperator(state_, 1, 12.0, 12.0, 0.0, 10.0, 1.0);  // no better than its parent
  creditOperator(state_, 94, 11.0, 4.0, 0.0, 10.0, 1.0);
  EXPECT_EQ(state_.creditRing, (std::vector<int>{94, 7, 7, 7, 94, 94}));
  EXPECT_EQ(state_.creditNext, 1);
  EXPECT_EQ(state_.widthRing[0], 3.0);  // codes 2 and 7 record their width, 94 does not
  EXPECT_EQ(state_.widthRing[1], 4.0);
  EXPECT_EQ(state_.widthRing[2], 2.0);
  EXPECT_EQ(state_.widthNext, 2);

  // Continuous blends: two for beating the first parent; two more at the best.
  adaptiveReset(state_, 6, 2.0);
  creditOperator(state_, 35, 5.0, 4.0, 9.0, 10.0, 1.0);
  creditOperator(state_, 85, 10.0, 11.0, 12.0, 10.0, 1.0);  // the best only
  creditOperator(state_, 30, 10.0, 4.0, 9.0, 10.0, 1.0);    // the wrap: 30 is "other"
  EXPECT_EQ(state_.creditRing, (std::vector<int>{30, 35, 85, 85, 30, 30}));
  EXPECT_EQ(state_.widthRing[0], 2.0);

  // Other crossover codes: one for beating both parents, two more at the best.
  adaptiveReset(state_, 6, 2.0);
  creditOperator(state_, 20, 5.0, 4.0, 6.0, 10.0, 1.0);  // beats only one: nothing
  creditOperator(state_, 60, 7.0, 4.0, 6.0, 10.0, 1.0);
  creditOperator(state_, 70, 10.0, 11.0, 1.0, 10.0, 1.0);
  creditOperator(state_, 0, 50.0, 4.0, 6.0, 10.0, 1.0);  // no operator
  EXPECT_EQ(state_.creditRing, (std::vector<int>{60, 70, 70, -1, -1, -1}));
}

// ---------------------------------------------------------------------------------------
// Adaptive probabilities

TEST_F(TolmarOperatorsTest, UpdateFromAnEmptyRingWithoutLevels) {
  // Every count 0.5. Family B ratios in twelfths: 6 -> 50, 7, 8, 9, 70, 85 -> 100 each,
  // 60 -> 25; 575 in all, so each code gets 0.8 p + 0.2 * 0.66 * ratio / 575.
  adaptiveReset(state_, 10, 2.0);
  adaptProbabilities(state_, 0, 4);
  const auto& p = state_.probability;
  EXPECT_NEAR(p[6], 0.096 + 0.132 * 50.0 / 575.0, 1e-15);
  EXPECT_NEAR(p[7], 0.048 + 0.132 * 100.0 / 575.0, 1e-15);
  EXPECT_NEAR(p[60], 0.192 + 0.132 * 25.0 / 575.0, 1e-15);
  EXPECT_NEAR(p[85], 0.048 + 0.132 * 100.0 / 575.0, 1e-15);
  EXPECT_EQ(p[1], 0.06);  // family A untouched without levels
  EXPECT_EQ(state_.familyACross, 0.5);
  EXPECT_NEAR(state_.pcross, p[60] + p[70] + p[85], 1e-15);
  EXPECT_NEAR(state_.pcross, 0.3396521739130435, 1e-14);
  EXPECT_NEAR(state_.pmutation, 0.3203478260869565, 1e-14);
  EXPECT_EQ(state_.searchFraction, 0.0);  // stays 0
  EXPECT_EQ(state_.avgMutWidth, 2.0);     // sqrt(4) = 2 is not above the mean width 2
}

TEST_F(TolmarOperatorsTest, UpdateFromARingFullOfCode60WithTwoLevels) {
  adaptiveReset(state_, 10, 2.0);
  state_.creditRing.assign(10, 60);
  adaptProbabilities(state_, 2, 4);
  const auto& p = state_.probability;
  // Family B: count 10.5 for 60 gives ratio 525/12 of 1075/12 in all.
  EXPECT_NEAR(p[60], 0.192 + 0.132 * 525.0 / 1075.0, 1e-15);
  EXPECT_NEAR(p[6], 0.096 + 0.132 * 50.0 / 1075.0, 1e-15);
  // Family A, all counts 0.5; ratios in 36ths: 1 -> 300, 2, 3, 90 -> 600, 4 -> 100,
  // 10 -> 75, 20, 35 -> 300; 2875 in all.
  EXPECT_NEAR(p[4], 0.144 + 0.132 * 100.0 / 2875.0, 1e-15);
  EXPECT_NEAR(p[90], 0.024 + 0.132 * 600.0 / 2875.0, 1e-15);
  EXPECT_NEAR(p[10], 0.192 + 0.132 * 75.0 / 2875.0, 1e-15);
  EXPECT_NEAR(state_.familyACross, p[10] + p[20] + p[35], 1e-15);
  EXPECT_NEAR(state_.familyAMutation, p[1] + p[2] + p[3] + p[4] + p[90], 1e-15);
  EXPECT_NEAR(state_.familyAMutation, 0.36500869565217386, 1e-14);
  EXPECT_NEAR(p[35], 0.061773913043478, 1e-14);  // no fine-grained pull below 3 levels
}

TEST_F(TolmarOperatorsTest, SearchFractionJoinsFamilyBWhileNotZero) {
  // B + fraction = 0.66. Counts: 90 (with 94, 95) 3.5, 6 1.5. Ratios: 6 -> 18.75,
  // 7, 8, 9, 70, 85 -> 8.333.. each, 60 -> 2.0833.., search 3.5 / 0.04 = 87.5: 150 in all.
  state_.probability[6] = 0.08;
  state_.searchFraction = 0.04;
  state_.creditRing = {90, 94, 95, 6, -1, -1};
  adaptProbabilities(state_, 0, 1);
  EXPECT_NEAR(state_.searchFraction, 0.032 + 0.132 * 87.5 / 150.0, 1e-15);
  EXPECT_NEAR(state_.probability[6], 0.064 + 0.132 * 18.75 / 150.0, 1e-15);
  EXPECT_EQ(state_.probability[90], 0.03);  // family A is not updated without levels
  EXPECT_NEAR(state_.pmutation, 0.3555, 1e-14);
  double sum = state_.searchFraction;
  for (int c : {6, 7, 8, 9, 60, 70, 85}) sum += state_.probability[c];
  EXPECT_NEAR(sum, 0.66, 1e-14);
}

TEST_F(TolmarOperatorsTest, FamiliesTendToTheSumOf066) {
  adaptiveReset(state_, 20, 2.0);
  seed(0.37f);
  const int codes[] = {1, 2, 3, 4, 10, 20, 30, 35, 90, 94, 95, 6, 7, 8, 9, 60, 70, 80, 85};
  for (int k = 1; k <= 40; ++k) {
    for (int& entry : state_.creditRing) entry = codes[randomInt(0, 18)];
    adaptProbabilities(state_, 4, 9);
    double a = 0.0;
    double b = 0.0;
    for (int c : {1, 2, 3, 4, 10, 20, 35, 90}) a += state_.probability[c];
    for (int c : {6, 7, 8, 9, 60, 70, 85}) b += state_.probability[c];
    EXPECT_NEAR(b, 0.66, 1e-12) << "update " << k;  // starts at 0.66 and keeps it
    EXPECT_NEAR(a, 0.66 + 0.03 * std::pow(0.8, k), 1e-12) << "update " << k;
    EXPECT_GT(state_.probability[4], 0.0);
  }
}

TEST_F(TolmarOperatorsTest, FineGrainedRepresentationsPullTheBlendCodesTowards03) {
  adaptiveReset(state_, 10, 2.0);
  state_.fineGrained = 1;
  adaptProbabilities(state_, 3, 4);
  // The plain updates are those of the empty-ring cases above.
  EXPECT_NEAR(state_.probability[85], (0.048 + 0.132 * 100.0 / 575.0 + 0.3) * 0.5, 1e-15);
  EXPECT_NEAR(state_.probability[35], (0.048 + 0.132 * 300.0 / 2875.0 + 0.3) * 0.5, 1e-15);
  EXPECT_NEAR(state_.pcross, 0.45417391304347826, 1e-14);

  adaptiveReset(state_, 10, 2.0);
  state_.fineGrained = 0;
  adaptProbabilities(state_, 3, 4);
  EXPECT_NEAR(state_.probability[85], 0.048 + 0.132 * 100.0 / 575.0, 1e-15);
}

TEST_F(TolmarOperatorsTest, MutationWidthFollowsTheRingAndTheSquareRootOfTheVariables) {
  // Mean 2 below c = 4: 0.8 * 2 + 0.2 * 4 = 2.4; with 3 levels then (8 + 2.4) / 2 = 5.2.
  adaptiveReset(state_, 6, 2.0);
  adaptProbabilities(state_, 0, 16);
  EXPECT_NEAR(state_.avgMutWidth, 2.4, 1e-15);
  adaptiveReset(state_, 6, 2.0);
  adaptProbabilities(state_, 3, 16);
  EXPECT_NEAR(state_.avgMutWidth, 5.2, 1e-15);

  // Mean 3 above c = 2: kept with 2 levels, (4 + 3) / 2 = 3.5 with 3.
  adaptiveReset(state_, 6, 3.0);
  adaptProbabilities(state_, 2, 4);
  EXPECT_EQ(state_.avgMutWidth, 3.0);
  adaptiveReset(state_, 6, 3.0);
  adaptProbabilities(state_, 3, 4);
  EXPECT_NEAR(state_.avgMutWidth, 3.5, 1e-15);

  // A successful block of width 6 in a ring of 1s: mean 1.5, above c = 1.
  adaptiveReset(state_, 6, 1.0);
  creditOperator(state_, 3, 2.0, 1.0, 0.0, 5.0, 6.0);
  adaptProbabilities(state_, 0, 1);
  EXPECT_NEAR(state_.avgMutWidth, 1.5, 1e-15);
}

// ---------------------------------------------------------------------------------------
// adaptivx

TEST_F(TolmarOperatorsTest, CrossoverCopiesWithoutItsFlipOrWithFewerThanTwoDifferences) {
  const std::vector<int> sizes = {10, 10, 10, 10};
  const Chromosome p1 = {1, 2, 3, 4};
  Chromosome c1;
  Chromosome c2;
  onlyCrossover(60);
  seed(0.2f);
  EXPECT_EQ(adaptiveCrossover(state_, false, p1, {1, 2, 3, 9}, sizes, c1, c2), 0);
  EXPECT_EQ(c1, p1);
  EXPECT_EQ(c2, (Chromosome{1, 2, 3, 9}));
  EXPECT_EQ(drawsSoFar(), 1);  // the flip only

  state_.familyACross = 0.0;  // lower levels use the family A rate
  EXPECT_EQ(adaptiveCrossover(state_, true, p1, {5, 6, 7, 8}, sizes, c1, c2), 0);
  EXPECT_EQ(c2, (Chromosome{5, 6, 7, 8}));
  EXPECT_EQ(adaptiveCrossover(state_, false, p1, {5, 6, 7, 8}, sizes, c1, c2), 60);
}

TEST_F(TolmarOperatorsTest, TwoPointAndUniformAreThoseOfTheGeneticCore) {
  const std::vector<int> sizes(8, 20);
  const Chromosome p1 = {0, 1, 2, 3, 4, 5, 6, 7};
  const Chromosome p2 = {10, 11, 12, 13, 14, 15, 16, 17};
  for (const auto& [code, type, lower] : {std::tuple{10, 1, true}, std::tuple{60, 1, false},
                                          std::tuple{20, 2, true}, std::tuple{70, 2, false}}) {
    onlyCrossover(code);
    for (float s : {0.11f, 0.42f, 0.83f}) {
      Chromosome c1;
      Chromosome c2;
      seed(s);
      EXPECT_EQ(adaptiveCrossover(state_, lower, p1, p2, sizes, c1, c2), code);
      // Replay: the family flip and the sub-operator draw, then the core's crossover.
      seed(s);
      nextUniform();
      nextUniform();
      Chromosome e1;
      Chromosome e2;
      crossover(type, p1, p2, 1.0, e1, e2);
      EXPECT_EQ(c1, e1) << code << " seed " << s;
      EXPECT_EQ(c2, e2) << code << " seed " << s;
    }
  }
}

TEST_F(TolmarOperatorsTest, FieldBlendRoundsAndReflectsWorkedCases) {
  int c1 = -1;
  int c2 = -1;
  // alpha 1.24, a 2, b 9, N 10: 10.68 -> 11 -> 2 * 9 - 11 = 7; 2.48 - 2.16 = 0.32 -> 0.
  blendFieldValues(2, 9, 1.24, 10, c1, c2);
  EXPECT_EQ(c1, 7);
  EXPECT_EQ(c2, 0);
  // alpha -0.25, a 0, b 8, N 10: -2 -> trunc(2.5) = 2; 10 -> 2 * 9 - 10 = 8.
  blendFieldValues(0, 8, -0.25, 10, c1, c2);
  EXPECT_EQ(c1, 2);
  EXPECT_EQ(c2, 8);
  // Halves round up: 4.5 -> 5 for both; -0.4 -> trunc(0.9) = 0.
  blendFieldValues(3, 6, 0.5, 10, c1, c2);
  EXPECT_EQ(c1, 5);
  EXPECT_EQ(c2, 5);
  blendFieldValues(1, 8, 1.2, 10, c1, c2);  // 9.4 -> 9, -0.4 -> 0
  EXPECT_EQ(c1, 9);
  EXPECT_EQ(c2, 0);

  // Through adaptivx without the fine-grained blend: code 85 becomes 80; draws are the
  // flip, the sub-operator, then per field an alpha (size > 2) or a coin (unequal, size 2).
  onlyCrossover(85);
  state_.fineGrained = 0;
  const std::vector<int> sizes = {10, 2, 10, 2, 10};
  const Chromosome p1 = {2, 0, 9, 1, 5};
  const Chromosome p2 = {7, 1, 8, 1, 5};
  seed(0.61f);
  std::vector<float> d;
  for (int k = 0; k < 6; ++k) d.push_back(nextUniform());
  seed(0.61f);
  Chromosome k1;
  Chromosome k2;
  EXPECT_EQ(adaptiveCrossover(state_, false, p1, p2, sizes, k1, k2), 80);
  EXPECT_EQ(drawsSoFar(), 6);
  Chromosome e1 = p1;
  Chromosome e2 = p2;
  blendFieldValues(2, 7, 1.5 * d[2] - 0.25, 10, e1[0], e2[0]);
  e1[1] = d[3] <= 0.5f ? 1 : 0;
  e2[1] = 1 - e1[1];
  blendFieldValues(9, 8, 1.5 * d[4] - 0.25, 10, e1[2], e2[2]);
  EXPECT_EQ(k1, e1);
  EXPECT_EQ(k2, e2);

  onlyCrossover(35);  // family A falls back to 30
  seed(0.61f);
  EXPECT_EQ(adaptiveCrossover(state_, true, p1, p2, sizes, k1, k2), 30);
}

TEST_F(TolmarOperatorsTest, CrossoverDrawsItsCodesByProbability) {
  state_.pcross = 1.0;
  state_.fineGrained = 1;
  const std::vector<int> sizes = {100, 100, 100, 50};
  const Chromosome p1 = {10, 40, 70, 3};
  const Chromosome p2 = {20, 35, 90, 3};
  seed(0.29f);
  std::vector<int> counts(100, 0);
  for (int k = 0; k < 3000; ++k) {
    Chromosome c1;
    Chromosome c2;
    const int code = adaptiveCrossover(state_, false, p1, p2, sizes, c1, c2);
    ++counts[code];
    if (code == 85) {
      EXPECT_TRUE((c1 != p1 && c1 != p2) || (c2 != p1 && c2 != p2));
    }
  }
  // Codes 60 : 70 : 85/80 drawn as 0.24 : 0.06 : 0.06.
  EXPECT_EQ(counts[60] + counts[70] + counts[85] + counts[80], 3000);
  EXPECT_NEAR(counts[60] / 3000.0, 2.0 / 3.0, 0.03);
  EXPECT_NEAR((counts[85] + counts[80]) / 3000.0, 1.0 / 6.0, 0.03);
  EXPECT_GT(counts[85], 0);
  EXPECT_GT(counts[80], 0);  // every crossing draw of the blend failed
}

TEST_F(TolmarOperatorsTest, EveryChildStaysInsideItsFieldRange) {
  seed(0.71f);
  for (int trial = 0; trial < 4000; ++trial) {
    const int n = randomInt(1, 8);
    std::vector<int> sizes;
    Chromosome p1;
    Chromosome p2;
    for (int i = 0; i < n; ++i) {
      sizes.push_back(randomInt(1, 60));
      p1.push_back(randomInt(0, sizes.back() - 1));
      p2.push_back(randomInt(0, sizes.back() - 1));
    }
    adaptiveReset(state_, 6, 2.0);
    state_.pcross = 1.0;
    state_.familyACross = 1.0;
    state_.fineGrained = trial % 2;
    Chromosome c1;
    Chromosome c2;
    const int code = adaptiveCrossover(state_, trial % 3 == 0, p1, p2, sizes, c1, c2);
    ASSERT_TRUE(inRange(c1, sizes) && inRange(c2, sizes)) << trial << " code " << code;
    ASSERT_EQ(c1.size(), p1.size());
  }
}

// ---------------------------------------------------------------------------------------
// Adaptive mutation

TEST_F(TolmarOperatorsTest, MutationWithoutItsFlipLeavesTheChromosome) {
  state_.pmutation = 0.0;
  Chromosome c = {1, 2, 3};
  double width = 7.0;
  seed(0.5f);
  EXPECT_EQ(adaptiveMutation(state_, false, c, std::vector<int>{5, 5, 5}, {}, width), 0);
  EXPECT_EQ(c, (Chromosome{1, 2, 3}));
  EXPECT_EQ(width, 1.0);
  EXPECT_EQ(drawsSoFar(), 1);
  // The search fraction that the last update put into pmutation is not a mutation share,
  // also when the throttle has changed the fraction since.
  state_.pmutation = 1.0;
  state_.pmutationDecisions = 1.0;
  state_.searchFraction = 0.25;
  EXPECT_EQ(adaptiveMutation(state_, false, c, std::vector<int>{5, 5, 5}, {}, width), 0);
}

TEST_F(TolmarOperatorsTest, EveryMutationKindChangesTheChromosomeAndStaysInRange) {
  seed(0.13f);
  for (int code : {1, 2, 3, 4, 6, 7, 8, 9}) {
    onlyMutation(code);
    state_.avgMutWidth = 3.0;
    for (int trial = 0; trial < 800; ++trial) {
      const int n = randomInt(1, 7);
      std::vector<int> sizes;
      Chromosome c;
      std::vector<Chromosome> members(static_cast<std::size_t>(randomInt(0, 5)));
      for (int i = 0; i < n; ++i) {
        sizes.push_back(trial % 5 == 0 ? randomInt(2, 3) : randomInt(1, 80));
        c.push_back(randomInt(0, sizes.back() - 1));
        for (auto& m : members) {
          m.push_back(trial % 4 == 0 ? c.back() : randomInt(0, sizes.back() - 1));
        }
      }
      std::vector<const Chromosome*> population;
      for (const auto& m : members) population.push_back(&m);
      const Chromosome before = c;
      double width = 0.0;
      ASSERT_EQ(adaptiveMutation(state_, code <= 4, c, sizes, population, width), code);
      ASSERT_TRUE(inRange(c, sizes)) << "code " << code << " trial " << trial;
      bool canChange = false;
      for (int s : sizes) canChange = canChange || s >= 2;
      ASSERT_EQ(c != before, canChange) << "code " << code << " trial " << trial;
      const bool block = code == 2 || code == 3 || code == 7 || code == 8;
      ASSERT_TRUE(block ? width >= 1.0 && width <= n && width == std::floor(width) : width == 1.0);
    }
  }
}

TEST_F(TolmarOperatorsTest, FamilyBResetStaysNearTheCurrentValue) {
  onlyMutation(8);
  state_.avgMutWidth = 4.0;
  const std::vector<int> sizes(5, 101);
  seed(0.44f);
  for (int trial = 0; trial < 500; ++trial) {
    Chromosome c(5, 50);
    double width = 0.0;
    adaptiveMutation(state_, false, c, sizes, {}, width);
    for (int v : c) ASSERT_LE(std::abs(v - 50), 10);  // +-10% of the range of 100
  }
}

TEST_F(TolmarOperatorsTest, DifferenceStepMovesByTheScaledDifferenceAndReflects) {
  const Chromosome low(4, 40);
  const Chromosome high(4, 60);
  const std::vector<const Chromosome*> population = {&low, &high};
  const std::vector<int> sizes(4, 101);
  seed(0.52f);
  for (const auto& [code, step] : {std::pair{9, 10}, std::pair{4, 16}}) {
    onlyMutation(code);
    for (int trial = 0; trial < 200; ++trial) {
      Chromosome c(4, 50);
      double width = 0.0;
      adaptiveMutation(state_, code == 4, c, sizes, population, width);
      int moved = 0;
      for (int v : c) {
        ASSERT_TRUE(v == 50 || v == 50 - step || v == 50 + step) << v;
        moved += v != 50 ? 1 : 0;
      }
      ASSERT_GE(moved, 1);
    }
  }

  // 95 + 0.8 * (+-100): 175 reflects to 200 - 175 = 25; 15 stays.
  onlyMutation(4);
  const Chromosome zero = {0};
  const Chromosome top = {100};
  const std::vector<const Chromosome*> ends = {&zero, &top};
  for (int trial = 0; trial < 20; ++trial) {
    Chromosome c = {95};
    double width = 0.0;
    adaptiveMutation(state_, true, c, std::vector<int>{101}, ends, width);
    ASSERT_TRUE(c[0] == 25 || c[0] == 15) << c[0];
  }

  // Equal members make no difference: one field is nudged by one field value.
  const std::vector<const Chromosome*> same = {&low, &low};
  Chromosome c(4, 50);
  double width = 0.0;
  adaptiveMutation(state_, true, c, sizes, same, width);
  int distance = 0;
  for (int v : c) distance += std::abs(v - 50);
  EXPECT_EQ(distance, 1);
}

}  // namespace
}  // namespace karvo::search
