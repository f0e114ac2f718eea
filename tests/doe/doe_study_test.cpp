// The mapping of array levels to factor values, the factors of a representation and the
// grid of a design sweep.
#include <gtest/gtest.h>

#include <vector>

#include "definitions/method_settings.h"
#include "definitions/representation.h"
#include "doe/doe_study.h"

namespace karvo::doe {
namespace {

TEST(DoeFactorValue, ListedLevelsAreUsedAsWrittenWhenTheArrayUsesThemAllOrSpreadAsARange) {
  // An unevenly spaced list is evaluated at the values the user wrote.
  const std::vector<double> list = {1, 2, 4, 8, 16};
  EXPECT_EQ(doeFactorValue(kDoeCentralComposite, list, 5, 3), 8.0);
  EXPECT_EQ(doeFactorValue(kDoeTwoLevelFull, {-1, 1}, 2, 0), -1.0);
  EXPECT_EQ(doeFactorValue(kDoeTwoLevelFull, {-1, 1}, 2, 1), 1.0);
  // A list of another length is spread evenly from its first to its last entry.
  EXPECT_EQ(doeFactorValue(kDoeCentralComposite, {0, 10}, 5, 3), 7.5);
  EXPECT_EQ(doeFactorValue(kDoeThreeLevelFull, {0, 5, 10, 20}, 3, 1), 10.0);
  // The space-filling kinds spread over the first two levels.
  for (int kind : {kDoeLatinHypercube, kDoeExisting, kDoeOptimizedLatin, kDoeHammersley}) {
    EXPECT_EQ(doeFactorValue(kind, {0, 10, 99}, 200, 0), 0.0) << kind;
    EXPECT_EQ(doeFactorValue(kind, {0, 10, 99}, 200, 199), 10.0) << kind;
    // Even with as many entries as levels, the list is a range here.
    EXPECT_EQ(doeFactorValue(kind, {0, 10}, 2, 1), 10.0) << kind;
  }
  EXPECT_DOUBLE_EQ(doeFactorValue(kDoeLatinHypercube, {2, 4}, 5, 2), 3.0);
}

TEST(DoeFactors, AreTheContinuousVariablesWithALevelList) {
  Representation representation;
  representation.slots.resize(4);
  representation.slots[0].levels = {1, 2};
  representation.slots[0].usesLevels = 1;
  representation.slots[2].levels = {0, 5, 9};
  representation.slots[2].usesLevels = 1;
  representation.slots[3].kind = kSlotDiscrete;  // discrete variables stay at their baseline
  representation.slots[3].levels = {0, 1};
  representation.slots[3].usesLevels = 1;
  const DoeFactors factors = doeFactorsOf(representation);
  EXPECT_EQ(factors.slots, (std::vector<int>{0, 2}));
  EXPECT_EQ(factors.levelLists[1], (std::vector<double>{0, 5, 9}));
}

TEST(SweepValueCounts, GivesTheLargestEvenGridWithinTheBudget) {
  EXPECT_EQ(sweepValueCounts(10, {10, 10}), (std::vector<int>{3, 3}));
  EXPECT_EQ(sweepValueCounts(30, {30, 30, 30}), (std::vector<int>{3, 3, 3}));
  EXPECT_EQ(sweepValueCounts(12, {12, 12}), (std::vector<int>{4, 3}));
  EXPECT_EQ(sweepValueCounts(7, {7}), (std::vector<int>{7}));
  // Too small a budget for every variable: the first ones vary, the others keep their
  // baseline.
  EXPECT_EQ(sweepValueCounts(5, {5, 5, 5}), (std::vector<int>{2, 2, 1}));
  EXPECT_EQ(sweepValueCounts(1, {4, 4}), (std::vector<int>{1, 1}));
  // A discrete variable with two items leaves the rest of the budget to the others.
  EXPECT_EQ(sweepValueCounts(20, {2, 20}), (std::vector<int>{2, 10}));
}

}  // namespace
}  // namespace karvo::doe
