// Tests of the scoring of designs: deviations for every option, the worked examples of
// objectives and constraints, statuses, the normalisations taken from the baseline design
// (double precision, the zero stop, the read-from-disk note), failed designs, designs of
// design-of-experiments agents and studies with nothing to score.
#include "evaluation/performance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "definitions/study.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

struct Entry {
  std::string name;
  int flag;
  int opt;
  double target;
  double norm;
  double coef;    // quadWt
  double offset;  // linearWt
};

PerformanceDefinition definitionOf(const std::vector<Entry>& entries) {
  PerformanceDefinition d;
  d.number = 1;
  for (const Entry& e : entries) {
    d.name.push_back(e.name);
    d.flag.push_back(e.flag);
    d.opt.push_back(e.opt);
    d.goal.push_back(kGoalNone);
    d.resp_value_type.push_back(0);
    d.eval.push_back(-1);
    d.eval_tool.push_back(-1);
    d.coef.push_back(e.coef);
    d.target.push_back(e.target);
    d.norm.push_back(e.norm);
    d.offset.push_back(e.offset);
    d.minAllowed.push_back(-1e300);
    d.maxAllowed.push_back(1e300);
    d.err_msgs.emplace_back();
    ++d.count;
    if (e.flag == kResponseObjective) ++d.objectiveCount;
    if (e.flag == kResponseConstraint) ++d.constraintCount;
  }
  return d;
}

Entry objective(int opt, double target, double norm, double coef, double offset,
                const std::string& name = "mass") {
  return {name, kResponseObjective, opt, target, norm, coef, offset};
}

Entry constraint(int opt, double target, double norm, double coef, double offset,
                 const std::string& name = "stress") {
  return {name, kResponseConstraint, opt, target, norm, coef, offset};
}

Entry plain(const std::string& name = "cost") { return {name, kResponsePlain, 0, 0.0, 1.0, 0, 0}; }

Design evaluated(int number, int status = kDesignSuccess) {
  return {.chromosome = {}, .reals = {}, .status = status, .designNumber = number,
          .responses = {}};
}

class PerformanceTest : public testing::MessageCaptureTest {
 protected:
  PerformanceTest() : MessageCaptureTest("karvo-scoring") {}

  double score(Design& design, PerformanceDefinition& definition,
               const std::vector<double>& values, ScoringContext context = {}) {
    return performance(design, definition, values, context);
  }
};

// ---------------------------------------------------------------------------------------
// Deviation (the other options: through the scores below)

TEST_F(PerformanceTest, DeviationOfAMetConstraintIsNegativeAndAPendingNormalisationKeepsItsSign) {
  PerformanceDefinition d = definitionOf({constraint(-1, 10.0, 2.0, 0, 1)});
  EXPECT_DOUBLE_EQ(deviation(d, 0, 8.0), -2.0);
  // A pending normalisation never turns a match into a push away.
  d = definitionOf({objective(0, 3.0, kNormFromBaseline, 0, 1)});
  EXPECT_DOUBLE_EQ(deviation(d, 0, 5.0), -4.0);
}

// ---------------------------------------------------------------------------------------
// Performance of scored designs

TEST_F(PerformanceTest, QuadraticWeightSignFollowsTheObjectiveOption) {
  struct Case {
    int opt;
    double value;
    double expected;
  } cases[] = {
      {-1, 8.0, -2.0 - 2.0 * 4.0},  // g = -8/4 = -2, s = -1
      {1, 6.0, 3.0 + 2.0 * 9.0},    // g = 6/2 = 3, s = +1
      {0, 5.0, -1.0 - 2.0 * 1.0},   // d = -(5-3)^2/2 = -2, g = -1, s = -1
      {2, 5.0, 1.0 + 2.0 * 1.0},    // d = 2, g = 1, s = +1
  };
  for (const Case& c : cases) {
    double norm = c.opt == -1 ? 4.0 : 2.0;
    PerformanceDefinition d = definitionOf({objective(c.opt, 3.0, norm, 2.0, 1.0)});
    Design design = evaluated(3);
    EXPECT_DOUBLE_EQ(score(design, d, {c.value}), c.expected) << "option " << c.opt;
    EXPECT_EQ(design.status, kDesignFeasible);
  }
}

TEST_F(PerformanceTest, ConstraintsSumTheirNormalisedViolationsUnlessACheckpointIsReplayed) {
  PerformanceDefinition d = definitionOf({constraint(-1, 10.0, 2.0, 1.0, 1.0, "a"),
                                          constraint(0, 5.0, 4.0, 0.0, 2.0, "b"),
                                          constraint(1, 0.0, 1.0, 0.0, 1.0, "c")});
  Design design = evaluated(4);
  // a: g = (12 - 10)/2 = 1; b: g = |3 - 5|/4 = 0.5; c: 2 >= 0 met.
  EXPECT_DOUBLE_EQ(score(design, d, {12.0, 3.0, 2.0}), -(1.0 + 1.0) - (0.0 + 2.0 * 0.5));
  EXPECT_DOUBLE_EQ(design.violation, 1.5);
  EXPECT_EQ(design.status, kDesignInfeasible);

  Design exact = evaluated(5);
  EXPECT_EQ(score(exact, d, {10.0, 5.0, 0.0}), 0.0);
  EXPECT_EQ(exact.status, kDesignFeasible);
  EXPECT_EQ(exact.violation, 0.0);

  d = definitionOf({constraint(-1, 10.0, 1.0, 0.0, 1.0)});
  Design replayed = evaluated(9);
  replayed.violation = 0.75;
  ScoringContext context;
  context.replayingCheckpoint = true;
  EXPECT_DOUBLE_EQ(score(replayed, d, {12.0}, context), -2.0);
  EXPECT_EQ(replayed.violation, 0.75);
  EXPECT_EQ(replayed.status, kDesignInfeasible);
}

// ---------------------------------------------------------------------------------------
// Nothing to score, design-of-experiments agents, failed designs

TEST_F(PerformanceTest, OnlyPlainResponsesOrADesignOfExperimentsAgentGiveOne) {
  PerformanceDefinition d = definitionOf({plain("cost"), plain("mass")});
  Design design = evaluated(2, kDesignFeasible);
  EXPECT_EQ(score(design, d, {3.0, -7.0}), 1.0);
  EXPECT_EQ(design.status, kDesignSuccess);
  PerformanceDefinition empty = definitionOf({});
  EXPECT_EQ(score(design, empty, {}), 1.0);

  // A design-of-experiments agent scores one and keeps the status.
  d = definitionOf({objective(-1, 0.0, 1.0, 0.0, 1.0), constraint(1, 10.0, 1.0, 0, 1)});
  ScoringContext context;
  context.agentType = kAgentDoe;
  Design doe = evaluated(4, kDesignSuccess);
  EXPECT_EQ(score(doe, d, {50.0, 0.0}, context), 1.0);
  EXPECT_EQ(doe.status, kDesignSuccess);
  EXPECT_EQ(doe.violation, 0.0);
}

TEST_F(PerformanceTest, FailedDesignsScoreTheFailureMarks) {
  PerformanceDefinition d = definitionOf({objective(-1, 0.0, 1.0, 0.0, 1.0)});
  for (int agentType : {kAgentOptimization, kAgentDoe, kAgentReliability}) {
    ScoringContext context;
    context.agentType = agentType;
    Design design = evaluated(4, kDesignError);
    EXPECT_EQ(score(design, d, {1.0}, context), -1e99);
    EXPECT_EQ(design.performance, kFailedPerformance);
    EXPECT_EQ(design.violation, 10.0);
    EXPECT_EQ(design.status, kDesignError);
  }
  Design marked = evaluated(5, kDesignSuccess);
  marked.failed = true;
  EXPECT_EQ(score(marked, d, {1.0}), -1e99);
  EXPECT_EQ(marked.status, kDesignError);
}

TEST_F(PerformanceTest, ValuesThatCannotBeScoredFailTheDesignWithAWarning) {
  PerformanceDefinition d = definitionOf({plain("cost"), objective(-1, 0.0, 1.0, 0.0, 1.0)});
  Design design = evaluated(12);
  EXPECT_EQ(score(design, d, {1.0, std::nan("")}), -1e99);
  EXPECT_EQ(design.status, kDesignError);
  EXPECT_TRUE(design.failed);
  EXPECT_EQ(design.violation, 10.0);
  EXPECT_EQ(messages(), rendered("warning",
                                 "The value of the study response \"mass\" of design 12 is not a "
                                 "finite number. The design is scored as a failed design."));

  Design missing = evaluated(13);
  EXPECT_EQ(score(missing, d, {1.0}), -1e99);  // no value for "mass"
  EXPECT_EQ(missing.status, kDesignError);

  // A plain response that is not a number is not scored and harms nothing.
  Design fine = evaluated(14);
  EXPECT_EQ(score(fine, d, {std::numeric_limits<double>::infinity(), 2.0}), -2.0);

  // So does a performance that is not a finite number.
  clearMessages();
  d = definitionOf({objective(1, 0.0, 1.0, 1.0, 0.0)});
  Design huge = evaluated(8);
  EXPECT_EQ(score(huge, d, {1e200}), -1e99);
  EXPECT_EQ(huge.status, kDesignError);
  EXPECT_EQ(messages(), rendered("warning",
                                 "The performance of design 8 is not a finite number. The design "
                                 "is scored as a failed design."));
}

// ---------------------------------------------------------------------------------------
// Baseline normalisation

TEST_F(PerformanceTest, BaselineDesignSetsPendingNormalisationsInSinglePrecision) {
  PerformanceDefinition d = definitionOf({objective(-1, 0.0, kNormFromBaseline, 0.0, 1.0, "m"),
                                          objective(0, 3.0, kNormFromBaseline, 0.0, 1.0, "t"),
                                          objective(2, 3.0, kNormFromBaseline, 0.0, 1.0, "p"),
                                          constraint(0, 2.0, kNormFromBaseline, 0.0, 1.0, "e"),
                                          constraint(1, 2.0, kNormFromBaseline, 0.0, 1.0, "g"),
                                          objective(1, 0.0, 7.0, 0.0, 1.0, "fixed")});
  Design baseline = evaluated(1);
  score(baseline, d, {0.1, 3.5, 1.0, 2.25, -1.5, 9.0});
  EXPECT_EQ(d.norm[0], 0.1);                         // |v|, not rounded to a float
  EXPECT_EQ(d.norm[1], 0.5);                         // |v - t| for option 0
  EXPECT_EQ(d.norm[2], 2.0);                         // |v - t| for option 2
  EXPECT_EQ(d.norm[3], 0.25);                        // equality constraint: |v - t|
  EXPECT_EQ(d.norm[4], 1.5);                         // |v|
  EXPECT_EQ(d.norm[5], 7.0);                         // given: untouched
  // The baseline itself is scored with the new normalisations.
  // m: g = -0.1/n; t: g = -(0.5^2/0.5)/0.5 = -1; p: g = (2^2/2)/2 = 1; e: g = 0.25/0.25 = 1
  // violated; g: g = (2 + 1.5)/1.5 violated; fixed: g = 9/7.
  // The objective m of the baseline is exactly -1 (-0.1 / 0.1).
  EXPECT_EQ(deviation(d, 0, 0.1) / d.norm[0], -1.0);
  EXPECT_DOUBLE_EQ(baseline.performance, -1.0 - 1.0 + 1.0 - 1.0 - 3.5 / 1.5 + 9.0 / 7.0);
  EXPECT_DOUBLE_EQ(baseline.violation, 1.0 + 3.5 / 1.5);

  // Later designs, and the baseline scored again, change nothing.
  Design later = evaluated(1);
  score(later, d, {5.0, 9.0, 9.0, 9.0, 9.0, 9.0});
  EXPECT_EQ(d.norm[0], 0.1);
  EXPECT_EQ(d.norm[1], 0.5);
}

TEST_F(PerformanceTest, OnlyTheBaselineDesignSetsNormalisationsAndOnlyWhenItSucceeds) {
  PerformanceDefinition d = definitionOf({objective(-1, 0.0, kNormFromBaseline, 0.0, 1.0)});
  Design second = evaluated(2);
  EXPECT_DOUBLE_EQ(score(second, d, {6.0}), -6.0);  // scored with |n| = 1 meanwhile
  EXPECT_EQ(d.norm[0], kNormFromBaseline);
  ScoringContext context;
  context.baselineProcessing = true;
  Design zero = evaluated(0);
  score(zero, d, {6.0}, context);
  EXPECT_EQ(d.norm[0], 6.0);

  d = definitionOf({objective(-1, 0.0, kNormFromBaseline, 0.0, 1.0)});
  Design baseline = evaluated(1, kDesignError);
  score(baseline, d, {0.0});
  EXPECT_EQ(d.norm[0], kNormFromBaseline);

  Design notANumber = evaluated(1);
  score(notANumber, d, {std::nan("")});
  EXPECT_EQ(d.norm[0], kNormFromBaseline);
  EXPECT_EQ(notANumber.status, kDesignError);

  // (The baselines that set normalisations: the designs scored here and in the tests around.)
  ScoringContext none;
  EXPECT_FALSE(isBaselineDesign(evaluated(0), none));
  ScoringContext disk;
  disk.readingFromDisk = true;
  EXPECT_FALSE(isBaselineDesign(evaluated(7), disk));
  ScoringContext post;
  post.postProcessOnly = true;
  EXPECT_TRUE(isBaselineDesign(evaluated(42), post));
  ScoringContext earlier;
  earlier.baselineProcessing = true;
  EXPECT_FALSE(isBaselineDesign(evaluated(3), earlier));
}

TEST_F(PerformanceTest, ZeroBaselineNormalisationStopsTheRunAndADesignReadFromDiskIsNoted) {
  // A match at the target, and a value of 0.
  const Entry cases[] = {objective(0, 3.0, kNormFromBaseline, 0.0, 1.0, "mass"),
                         objective(-1, 0.0, kNormFromBaseline, 0.0, 1.0, "tiny")};
  const double values[] = {3.0, 0.0};
  for (int i = 0; i < 2; ++i) {
    PerformanceDefinition d = definitionOf({cases[i]});
    Design baseline = evaluated(1);
    EXPECT_EQ(failureOf([&] { score(baseline, d, {values[i]}); }),
              fatalOutput("The normalization value for response \"" + cases[i].name +
                          "\" based on the baseline design evaluated to 0.0. This value must "
                          "be non-zero. Please fix this before resubmitting the run."));
  }

  clearMessages();
  PerformanceDefinition d = definitionOf({objective(-1, 0.0, kNormFromBaseline, 0.0, 1.0, "a"),
                                          objective(1, 0.0, kNormFromBaseline, 0.0, 1.0, "b")});
  ScoringContext context;
  context.readingFromDisk = true;
  context.firstDesignRead = true;
  Design first = evaluated(7);
  score(first, d, {2.0, 4.0}, context);
  EXPECT_EQ(d.norm[0], 2.0);
  EXPECT_EQ(d.norm[1], 4.0);
  EXPECT_EQ(messages(),
            rendered("note",
                     "Since the option to read analysis data from disk has been selected and "
                     "design 1 was not in the read list of designs, the response data from "
                     "design 7 is being used for the normalization."));

  // Design 1 read from disk needs no note; nothing pending, nothing set and no note.
  PerformanceDefinition other = definitionOf({objective(-1, 0.0, kNormFromBaseline, 0.0, 1.0)});
  const std::string before = messages();
  EXPECT_EQ(applyBaselineNormalisation(other, std::vector<double>{2.0}, 1, true), 1);
  EXPECT_EQ(applyBaselineNormalisation(other, std::vector<double>{3.0}, 7, true), 0);
  EXPECT_EQ(messages(), before);
  EXPECT_EQ(other.norm[0], 2.0);
}

}  // namespace
}  // namespace karvo
