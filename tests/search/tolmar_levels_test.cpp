// Tests of the fitness levels and of the search-decision throttle: level sizes against values
// worked out by hand for chosen populations and the invariants over every population of 4..40,
// the exact stop texts of the logic checks, thresholds and promotion, and the throttle's
// branches with the benchmark time preset (the decision time is then known exactly).
#include "search/tolmar_levels.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/random.h"
#include "support/message_capture.h"

namespace karvo::search {
namespace {

const std::string kSizeError = "\n *** BAD INPUT OR LOGIC IN QHFC LEVEL SIZE CALCULATION ***\n";
const std::string kDecisionNote =
    "\nMaking search decisions. This may take a few minutes... Thinking....... Let me keep "
    "running.\n";

class TolmarLevelsTest : public testing::MessageCaptureTest {
 protected:
  TolmarLevelsTest() : MessageCaptureTest("karvo-levels") {}
  void SetUp() override {
    MessageCaptureTest::SetUp();
    seed(0.5f);
  }
  void TearDown() override {
    resetRandom();
    MessageCaptureTest::TearDown();
  }

  static QhfcLevels levelsOf(int populationSize) {
    QhfcLevels levels;
    qhfcLevelSizes(populationSize, qhfcLevelCount(populationSize, true), levels);
    return levels;
  }
  static void seed(float value) { seedRandom(&value, 0); }
  // The first draw after seeding with `value`; the generator is then seeded again.
  static float firstDraw(float value) {
    seed(value);
    const float r = nextUniform();
    seed(value);
    return r;
  }
};

TEST_F(TolmarLevelsTest, LevelCountFollowsThePopulationBounds) {
  EXPECT_EQ(qhfcLevelCount(40, false), 0);
  const std::vector<std::pair<int, int>> cases = {{4, 1},  {9, 1},  {10, 2}, {19, 2},
                                                  {20, 3}, {31, 3}, {32, 4}, {200, 4}};
  for (const auto& [population, count] : cases) {
    EXPECT_EQ(qhfcLevelCount(population, true), count) << population;
  }
}

TEST_F(TolmarLevelsTest, SizesOfChosenPopulations) {
  // Worked out by hand: the ratio search, the rounded elite size and the real remainder.
  // 32 is a case where the remainder losing q times the rounded size above matters (with
  // the unrounded geometric sizes it would be 6, 8, 8, 10).
  const std::vector<std::pair<int, std::vector<int>>> cases = {
      {10, {5, 5}},         {12, {6, 6}},          {20, {6, 7, 7}},
      {24, {6, 8, 10}},     {32, {6, 7, 9, 10}},   {36, {6, 8, 10, 12}},
      {40, {7, 8, 11, 14}}, {80, {6, 12, 22, 40}}, {82, {7, 12, 22, 41}},
      {8, {8}}};
  for (const auto& [population, sizes] : cases) {
    EXPECT_EQ(levelsOf(population).size, sizes) << population;
  }
  EXPECT_EQ(messages(), "");
}

TEST_F(TolmarLevelsTest, EveryPopulationUpToFortyKeepsTheInvariants) {
  for (int population = 5; population <= 40; ++population) {
    SCOPED_TRACE(population);
    const QhfcLevels levels = levelsOf(population);
    const int count = levels.count;
    ASSERT_EQ(static_cast<int>(levels.size.size()), count);
    int sum = 0;
    for (int l = 0; l < count; ++l) {
      sum += levels.size[l];
      EXPECT_EQ(levels.last[l] - levels.first[l] + 1, levels.size[l]);
      if (l > 0) {
        EXPECT_EQ(levels.first[l], levels.last[l - 1] + 1);
        EXPECT_GE(levels.size[l], 3);
      }
    }
    EXPECT_EQ(sum, population);
    EXPECT_EQ(levels.first[0], 0);
    EXPECT_GE(levels.size[0], 5);
    EXPECT_EQ(levels.last[count - 1], population - 1);
    EXPECT_EQ(levels.victim, std::vector<char>(population, 0));  // none flagged yet
  }
}

TEST_F(TolmarLevelsTest, SizeChecksStopTheRun) {
  // Four members (the smallest population) make one level of 4: a single level is the
  // whole population, whatever its size.
  QhfcLevels levels;
  qhfcLevelSizes(4, 1, levels);
  EXPECT_EQ(levels.size, std::vector<int>({4}));
  // Ten members in four levels: 3, then a middle level of 7 - round(4.5) = 2.
  EXPECT_EQ(failureOf([&] { qhfcLevelSizes(10, 4, levels); }), fatalOutput(kSizeError));
  // No levels: nothing is set.
  qhfcLevelSizes(40, 0, levels);
  EXPECT_EQ(levels.count, 0);
  EXPECT_TRUE(levels.size.empty() && levels.victim.empty() && levels.threshold.empty());
}

TEST_F(TolmarLevelsTest, ThresholdsAndAdmission) {
  QhfcLevels levels = levelsOf(40);
  std::vector<double> raw(40);
  for (int i = 0; i < 40; ++i) raw[i] = 1.0 * i * i;
  qhfcThresholds(raw, levels);
  // Indices 13 + 2 first / 3: 17, 23 and 30.
  EXPECT_EQ(levels.threshold, (std::vector<double>{-1e300, 289.0, 529.0, 900.0}));

  EXPECT_EQ(qhfcLevelOf(levels, -5.0), 0);
  EXPECT_EQ(qhfcLevelOf(levels, 288.9), 0);
  EXPECT_EQ(qhfcLevelOf(levels, 289.0), 1);
  EXPECT_EQ(qhfcLevelOf(levels, 899.0), 2);
  EXPECT_EQ(qhfcLevelOf(levels, 900.0), 3);
  EXPECT_EQ(qhfcLevelOf(levels, 1e9), 3);

  levels.threshold[0] = 0.0;
  EXPECT_EQ(failureOf([&] { qhfcLevelOf(levels, -1.0); }),
            rendered("error", "\n***Logic error in promotion process, exiting.***\n") +
                fatalOutput("Internal error -431"));
  // A single level admits everything.
  QhfcLevels one = levelsOf(8);
  one.threshold[0] = 0.0;
  EXPECT_EQ(qhfcLevelOf(one, -1.0), 0);

  EXPECT_EQ(qhfcLevelOfMember(levels, 0), 0);
  EXPECT_EQ(qhfcLevelOfMember(levels, 6), 0);
  EXPECT_EQ(qhfcLevelOfMember(levels, 7), 1);
  EXPECT_EQ(qhfcLevelOfMember(levels, 25), 2);
  EXPECT_EQ(qhfcLevelOfMember(levels, 39), 3);
  EXPECT_EQ(qhfcLevelOfMember(levels, 40), -1);
  EXPECT_EQ(qhfcLevelOfMember(levels, -1), -1);
}

TEST_F(TolmarLevelsTest, VictimsArePromotedInOrderUntilNoneIsLeft) {
  QhfcLevels levels = levelsOf(40);  // sizes 7, 8, 11, 14
  levels.victim[30] = 1;             // cleared by the marking
  qhfcMarkVictims(levels);
  std::vector<char> expected(40, 0);
  for (int i : {0, 1, 2, 3, 7, 8, 9, 10, 15, 16, 17, 18, 19, 20, 26, 27, 28, 29, 30, 31, 32}) {
    expected[i] = 1;
  }
  EXPECT_EQ(levels.victim, expected);

  for (int k = 0; k < 6; ++k) {
    EXPECT_TRUE(qhfcHasVictim(levels, 2));
    EXPECT_EQ(qhfcPromote(levels, 2), 15 + k);
  }
  EXPECT_FALSE(qhfcHasVictim(levels, 2));
  EXPECT_EQ(levels.promotions, (std::vector<int>{0, 0, 6, 0}));
  EXPECT_EQ(levels.victim[15], 0);
  EXPECT_EQ(levels.victim[26], 1);
  EXPECT_EQ(failureOf([&] { qhfcPromote(levels, 2); }),
            fatalOutput("Logic bug, QHFC, level 2 victims not correct"));

  // A level of one member is never flagged; a level of two flags its worse member.
  QhfcLevels small;
  small.count = 2;
  small.first = {0, 2};
  small.size = {2, 1};
  small.last = {1, 2};
  small.promotions = {0, 0};
  small.victim.assign(3, 1);
  qhfcMarkVictims(small);
  EXPECT_EQ(small.victim, (std::vector<char>{1, 0, 0}));
  EXPECT_FALSE(qhfcHasVictim(small, 1));
  EXPECT_FALSE(qhfcHasVictim(small, 5));
}

// ---------------------------------------------------------------------------------------
// Throttle. Nine design variables make a linear model of 10 terms, so that the decision time
// is ticks * 5e-8 seconds without responses.

constexpr int kVariables = 9;
double ticksFor(double decisionSeconds) { return decisionSeconds / 5e-8; }

ThrottleInputs inputsOf(double meanAnalysisTime, int population = 10) {
  ThrottleInputs inputs;
  inputs.evaluated = 20;  // linear: at most 55 designs
  inputs.designVariables = kVariables;
  inputs.responses = 0;
  inputs.meanAnalysisTime = meanAnalysisTime;
  inputs.populationSize = population;
  inputs.cyclesLeft = 50;
  return inputs;
}

ThrottleState stateOf(double decisionSeconds, double fraction = 0.0) {
  ThrottleState state;
  state.fraction = fraction;
  state.ticksLinear = ticksFor(decisionSeconds);
  return state;
}

TEST_F(TolmarLevelsTest, DecisionTimeEstimate) {
  EXPECT_DOUBLE_EQ(decisionTimeEstimate(2e8, 10, 0), 10.0);
  EXPECT_DOUBLE_EQ(decisionTimeEstimate(2e8, 10, 4), 12.0);
  EXPECT_DOUBLE_EQ(decisionTimeEstimate(1.0, 55, 0), 5.0 * 55 * 55 * 55 / 1e11);
  EXPECT_GT(decisionBenchmarkTicks(), 0.0);
}

TEST_F(TolmarLevelsTest, SlowDecisionsAgainstFastAnalysesAreThrottledThenSwitchedOff) {
  // 0.05 s analyses (T = 80): 10 s decisions give R = 200, 0.5/P; 50 s give R = 1000 > 10T,
  // off. (R > 4T gives 0.125/P: see the thresholds below.)
  const float r = firstDraw(0.25f);
  ThrottleState state = stateOf(10.0);
  EXPECT_EQ(searchDecisionCount(state, inputsOf(0.05)), 0.5 >= r ? 1 : 0);
  EXPECT_DOUBLE_EQ(state.fraction, 0.05);
  EXPECT_EQ(randomCursor, 1);
  EXPECT_EQ(messages(), kDecisionNote);

  clearMessages();
  const int cursor = randomCursor;
  state = stateOf(50.0, 0.2);
  EXPECT_EQ(searchDecisionCount(state, inputsOf(0.05)), 0);
  EXPECT_EQ(state.fraction, 0.0);
  EXPECT_TRUE(state.off);
  // Once off, it stays off and nothing is drawn or written.
  EXPECT_EQ(searchDecisionCount(state, inputsOf(100.0)), 0);
  EXPECT_TRUE(state.off);
  EXPECT_EQ(randomCursor, cursor);
  EXPECT_EQ(messages(), "");
}

TEST_F(TolmarLevelsTest, FastDecisionsKeepTheFractionAndRaiseAZeroToOnePerPopulation) {
  // t_d < 1: T = 1e8, the fraction is kept; 0.25 of 10 members is 2 plus the rounding draw.
  const float r = firstDraw(0.5f);
  ThrottleState state = stateOf(0.9, 0.25);
  EXPECT_EQ(searchDecisionCount(state, inputsOf(1e-4)), 0.5 >= r ? 3 : 2);
  EXPECT_EQ(state.fraction, 0.25);

  for (bool qhfc : {true, false}) {
    state = stateOf(0.9);
    ThrottleInputs inputs = inputsOf(0.05, 8);
    inputs.qhfc = qhfc;
    EXPECT_GE(searchDecisionCount(state, inputs), 1);
    EXPECT_DOUBLE_EQ(state.fraction, 0.125);
  }
}

TEST_F(TolmarLevelsTest, ThresholdFollowsTheAnalysisTime) {
  struct Case {
    double decision, analysis, fraction;  // fraction afterwards, from 0, P = 10
  };
  const std::vector<Case> cases = {
      {7.9, 0.1, 0.1},     {8.1, 0.1, 0.05},     {32.5, 0.1, 0.0125},  // T = 80
      {19.9, 1.0, 0.1},    {20.1, 1.0, 0.05},    {80.1, 1.0, 0.0125},  // T = 20
      {9.9, 0.0, 0.1},     {10.1, 0.0, 0.05},  // no analysis time: 0.5 s, T = 20
      {299.0, 30.0, 0.1},  {301.0, 30.0, 0.05},  // T = 10
      {216.0, 31.0, 0.1},  {218.0, 31.0, 0.05},  // T = 7
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.decision << " s against " << c.analysis << " s");
    ThrottleState state = stateOf(c.decision);
    searchDecisionCount(state, inputsOf(c.analysis));
    EXPECT_DOUBLE_EQ(state.fraction, c.fraction);
    EXPECT_FALSE(state.off);
  }
}

TEST_F(TolmarLevelsTest, FewCyclesLeftProduceNothingUnlessDecisionsTakeFiveMinutes) {
  ThrottleInputs inputs = inputsOf(40.0);  // T = 7
  inputs.cyclesLeft = 9;
  ThrottleState state = stateOf(299.0);  // R = 7.475
  EXPECT_EQ(searchDecisionCount(state, inputs), 0);
  EXPECT_DOUBLE_EQ(state.fraction, 0.05);
  EXPECT_EQ(randomCursor, 0);
  EXPECT_EQ(messages(), "");

  seed(0.75f);
  state = stateOf(301.0);
  searchDecisionCount(state, inputs);
  EXPECT_EQ(randomCursor, 1);
  EXPECT_EQ(messages(), kDecisionNote);

  // Not throttled: the rule does not apply.
  clearMessages();
  state = stateOf(0.5);
  EXPECT_EQ(searchDecisionCount(state, inputs), 1);
  EXPECT_EQ(messages(), kDecisionNote);
}

TEST_F(TolmarLevelsTest, NothingBeforeEnoughDesignsAndTheBenchmarkOncePerModelKind) {
  ThrottleState state;
  ThrottleInputs inputs = inputsOf(1.0);
  inputs.evaluated = kVariables + 1;
  EXPECT_EQ(searchDecisionCount(state, inputs), 0);
  EXPECT_EQ(state.ticksLinear, -1.0);
  EXPECT_EQ(state.fraction, 0.0);
  EXPECT_EQ(messages(), "");

  inputs.evaluated = 55;  // (n + 1)(n + 2)/2 designs: still linear
  searchDecisionCount(state, inputs);
  EXPECT_GT(state.ticksLinear, 0.0);
  EXPECT_EQ(state.ticksQuadratic, -1.0);
  state.ticksLinear = 7.0;
  searchDecisionCount(state, inputs);
  EXPECT_EQ(state.ticksLinear, 7.0);
  inputs.evaluated = 56;
  searchDecisionCount(state, inputs);
  EXPECT_GT(state.ticksQuadratic, 0.0);
  EXPECT_EQ(state.ticksLinear, 7.0);

  // Decisions off for the agent: not timed, switched off, nothing made.
  ThrottleState offState;
  inputs.decisionsOn = false;
  EXPECT_EQ(searchDecisionCount(offState, inputs), 0);
  EXPECT_EQ(offState.ticksQuadratic, -1.0);
  EXPECT_TRUE(offState.off);
}

}  // namespace
}  // namespace karvo::search
