// Tests of the model-based search decisions: the local and global proposals find the minimum
// of a quadratic bowl and stay on a linear constraint that cuts it; a local step to a curved
// constraint lands on its met side; near copies of the best design do not crowd the local
// fit; offered the logarithms of the variables, the local models stay in the variables
// where the designs fit those better; every proposal lies on the
// grid inside the box and apart from the evaluated designs, the `avoid` points and each
// other; too few designs give no proposal and no screening model; the screening model ranks
// a design near the minimum above a far one; on a coarse grid the local proposal is the grid
// point the models rate best, also when their step is shorter than a grid step; the trust
// radius follows the outcomes, spans at least two grid steps and restarts after three failures
// there; the ratio of a local step's actual to predicted improvement moves the region and the
// local phase; a design settled in the wrong basin in some coordinates hops them, one at a
// time, to the global model's optimum and settles there, without constraints only; one turn
// in six steps in another basin; a seed repeats the proposals exactly.
#include "search/model_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/random.h"
#include "base/state_archive.h"

namespace karvo::search {
namespace {

using Objective = std::function<double(const std::vector<double>&)>;
using Constraint = std::function<double(const std::vector<double>&)>;

class ModelSearchTest : public ::testing::Test {
 protected:
  void SetUp() override { seed(0.25f); }
  void TearDown() override { resetRandom(); }

  static void seed(float value) {
    resetRandom();
    seedRandom(&value, 0);
  }

  // `count` designs drawn uniformly from the box [0, 1]^n, rounded to 1e-6, evaluated.
  static std::vector<ModelSample> sampleBox(int n, int count, const Objective& f,
                                            const std::vector<Constraint>& g = {}) {
    std::vector<ModelSample> samples;
    for (int k = 0; k < count; ++k) {
      ModelSample s;
      for (int i = 0; i < n; ++i) s.x.push_back(std::round(nextUniform() * 1e6) / 1e6);
      s.objective = f(s.x);
      for (const Constraint& c : g) s.constraints.push_back(c(s.x));
      samples.push_back(s);
    }
    return samples;
  }

  static ModelRequest request(int n, int count, double step) {
    ModelRequest r;
    r.count = count;
    r.step.assign(n, step);
    return r;
  }

  // The state as a resumed run reads it back from its checkpoint.
  static ModelSearchState checkpointed(ModelSearchState state) {
    std::string bytes;
    StateArchive written(bytes);
    keepFields(written, state);
    ModelSearchState read;
    StateArchive reading{std::string_view(bytes)};
    keepFields(reading, read);
    EXPECT_TRUE(reading.ok());
    return read;
  }

  // The proposal of one kind: the rotation is started at that kind's first slot.
  static ModelProposal proposeOne(const std::vector<ModelSample>& samples, int n, int kind,
                                  ModelSearchState state = {}) {
    state.nextKind = kind == kDecisionLocal ? 0 : kind == kDecisionExplore ? 1 : 3;
    const std::vector<ModelProposal> p = proposeModelDesigns(samples, request(n, 1, 1e-6), state);
    EXPECT_EQ(p.size(), 1u);
    return p.empty() ? ModelProposal{} : p[0];
  }
};

const std::vector<double> kBowlCentre{0.3, 0.62, 0.45};

double bowl(const std::vector<double>& x) {
  double f = 1.5;
  for (size_t i = 0; i < x.size(); ++i)
    f += (i + 1.0) * (x[i] - kBowlCentre[i]) * (x[i] - kBowlCentre[i]);
  return f + 0.5 * (x[0] - kBowlCentre[0]) * (x[1] - kBowlCentre[1]);
}

// The design of the lowest objective (the first of equals).
int bestOf(const std::vector<ModelSample>& samples) {
  return static_cast<int>(std::min_element(samples.begin(), samples.end(),
                                           [](const ModelSample& a, const ModelSample& b) {
                                             return a.objective < b.objective;
                                           }) -
                          samples.begin());
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
  double d = 0.0;
  for (size_t i = 0; i < a.size(); ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(d);
}

TEST_F(ModelSearchTest, LocalAndGlobalProposalsFindTheMinimumOfABowl) {
  const std::vector<ModelSample> samples = sampleBox(3, 30, bowl);
  const ModelProposal local = proposeOne(samples, 3, kDecisionLocal, {.radius = 0.5});
  EXPECT_EQ(local.code, kDecisionLocal);
  EXPECT_LT(distance(local.x, kBowlCentre), 3e-6);
  const ModelProposal global = proposeOne(samples, 3, kDecisionGlobal);
  EXPECT_EQ(global.code, kDecisionGlobal);
  EXPECT_LT(distance(global.x, kBowlCentre), 3e-6);
}

TEST_F(ModelSearchTest, LocalProposalMeetsALinearConstraintThatCutsTheBowl) {
  // Minimum of the bowl centred at 0.5 under x0 + x1 <= 0.7: (0.35, 0.35, 0.5).
  auto f = [](const std::vector<double>& x) {
    return (x[0] - 0.5) * (x[0] - 0.5) + (x[1] - 0.5) * (x[1] - 0.5) + (x[2] - 0.5) * (x[2] - 0.5);
  };
  auto g = [](const std::vector<double>& x) { return x[0] + x[1] - 0.7; };
  const std::vector<ModelSample> samples = sampleBox(3, 30, f, {g});
  const ModelProposal local = proposeOne(samples, 3, kDecisionLocal, {.radius = 0.5});
  EXPECT_LE(g(local.x), 2e-6);
  EXPECT_GE(g(local.x), -2e-6);
  EXPECT_LT(distance(local.x, {0.35, 0.35, 0.5}), 1e-5);
  const ModelProposal global = proposeOne(samples, 3, kDecisionGlobal);
  EXPECT_LT(distance(global.x, {0.35, 0.35, 0.5}), 1e-5);
}

TEST_F(ModelSearchTest, LocalStepToACurvedConstraintLandsInsideIt) {
  // A cubic constraint that a quadratic model cannot follow exactly, and designs gathered
  // near its boundary at (0.5, 0.5): the step keeps the models' misfit there as a margin and
  // lands on the met side (up to the tolerance of a met constraint), close to the boundary
  // (the penalty solver alone stops up to 1.3e-3 short of it).
  auto f = [](const std::vector<double>& x) { return -x[0] - x[1]; };
  auto g = [](const std::vector<double>& x) { return x[0] * x[0] * x[0] + x[1] * x[1] * x[1] - 0.25; };
  for (const float value : {0.25f, 0.5f, 0.75f}) {
    seed(value);
    std::vector<ModelSample> samples = sampleBox(2, 20, f, {g});
    for (ModelSample& s : sampleBox(2, 10, f, {g})) {
      for (double& u : s.x) u = 0.45 + 0.1 * u;
      s.objective = f(s.x);
      s.constraints = {g(s.x)};
      samples.push_back(s);
    }
    const ModelProposal local = proposeOne(samples, 2, kDecisionLocal, {.radius = 0.1});
    EXPECT_LE(g(local.x), 1e-9) << value;
    EXPECT_GT(g(local.x), -2e-4) << value;
  }
}

TEST_F(ModelSearchTest, LocalStepFindsASteepConstraintsBoundary) {
  // A constraint that is linear up to just past its boundary at x0 = 0.5 and then climbs
  // steeply, like a stress past yield: fitted evenly, the steep designs set the curvature
  // and misplace the boundary; the step must reach it from the best design at x0 = 0.45.
  auto f = [](const std::vector<double>& x) { return -x[0] + (x[1] - 0.5) * (x[1] - 0.5); };
  auto g = [](const std::vector<double>& x) {
    const double past = std::max(0.0, x[0] - 0.55);
    return x[0] - 0.5 + 1000.0 * past * past;
  };
  std::vector<ModelSample> samples;
  for (const double x0 : {0.30, 0.35, 0.40, 0.45, 0.55, 0.62, 0.68, 0.74})
    for (const double x1 : {0.3, 0.5, 0.7})
      samples.push_back({{x0, x1}, f({x0, x1}), {g({x0, x1})}});
  const ModelProposal local = proposeOne(samples, 2, kDecisionLocal, {.radius = 0.1});
  EXPECT_LE(g(local.x), 1e-9);
  EXPECT_GT(g(local.x), -1e-2);
}

TEST_F(ModelSearchTest, LocalModelsStayInTheVariablesWhereTheDesignsFitThemBetter) {
  // Variables over [0.01, 100], their logarithms on offer: the bowl, quadratic in the
  // normalised x, is fitted exactly in x, and the step lands on its optimum. (A power law is
  // fitted in the logarithms: the hybrid search's run on one shows it.)
  ModelRequest logs = request(3, 1, 1e-6);
  logs.logShift.assign(3, 0.01 / 99.99);
  ModelSearchState state{.radius = 0.5};
  const std::vector<ModelProposal> p = proposeModelDesigns(sampleBox(3, 30, bowl), logs, state);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].code, kDecisionLocal);
  EXPECT_LT(distance(p[0].x, kBowlCentre), 3e-6);
}

TEST_F(ModelSearchTest, NearCopiesOfTheBestDesignDoNotCrowdTheLocalFit) {
  // Twenty designs within 1e-8 of the best one: fitted to them, the models would see no
  // curvature at the scale of the trust region.
  std::vector<ModelSample> samples = sampleBox(3, 30, bowl);
  const int best = bestOf(samples);
  for (int k = 0; k < 20; ++k) {
    ModelSample copy = samples[best];
    copy.x[k % 3] += 1e-9 * (k + 1);
    copy.objective = bowl(copy.x);
    samples.push_back(copy);
  }
  const ModelProposal local = proposeOne(samples, 3, kDecisionLocal, {.radius = 0.5});
  EXPECT_LT(distance(local.x, kBowlCentre), 1e-4);
}

TEST_F(ModelSearchTest, ProposalsAreOnTheGridInsideTheBoxAndApart) {
  // A coarse grid (step 0.05) and samples on it, one at the minimum, so that the models'
  // optima collide with evaluated designs and with the `avoid` points.
  const double step = 0.05;
  std::vector<ModelSample> samples = sampleBox(3, 40, bowl);
  for (ModelSample& s : samples) {
    for (double& u : s.x) u = std::round(u / step) * step;
    s.objective = bowl(s.x);
  }
  samples.push_back({{0.3, 0.6, 0.45}, bowl({0.3, 0.6, 0.45}), {}});
  ModelRequest r = request(3, 6, step);
  r.avoid = {{0.3, 0.65, 0.45}, {0.35, 0.6, 0.45}, {0.25, 0.6, 0.45}};
  for (int round = 0; round < 4; ++round) {
    ModelSearchState state{.radius = 0.3, .nextKind = round};
    const std::vector<ModelProposal> p = proposeModelDesigns(samples, r, state);
    ASSERT_GE(p.size(), 4u);
    for (size_t k = 0; k < p.size(); ++k) {
      EXPECT_TRUE(p[k].code == kDecisionLocal || p[k].code == kDecisionGlobal ||
                  p[k].code == kDecisionExplore);
      ASSERT_EQ(p[k].x.size(), 3u);
      for (double u : p[k].x) {
        EXPECT_GE(u, 0.0);
        EXPECT_LE(u, 1.0);
        EXPECT_NEAR(u / step, std::round(u / step), 1e-9);
      }
      for (const ModelSample& s : samples) EXPECT_GT(distance(p[k].x, s.x), step / 2);
      for (const std::vector<double>& a : r.avoid) EXPECT_GT(distance(p[k].x, a), step / 2);
      for (size_t j = 0; j < k; ++j) EXPECT_GT(distance(p[k].x, p[j].x), step / 2);
    }
  }
}

TEST_F(ModelSearchTest, OnACoarseGridTheLocalProposalIsTheGridPointTheModelsRateBest) {
  // A narrow valley along x0 - x1 = d on a grid of step 0.1, the best design at (0.5, 0.5).
  // d = 0.08: the models' optimum (0.545, 0.465) rounds coordinate by coordinate to the best
  // design itself, while (0.6, 0.5) lies near the valley floor. d = 0.02: the optimum is
  // within half a grid step of the best design, and (0.6, 0.5) is its best new neighbour.
  // Either way the proposal is (0.6, 0.5), whatever the seed.
  for (const double d : {0.08, 0.02}) {
    auto f = [d](const std::vector<double>& x) {
      const double across = x[0] - x[1] - d, along = x[0] + x[1] - 1.01;
      return 100 * across * across + along * along;
    };
    std::vector<ModelSample> samples;
    for (const std::vector<double>& x : std::vector<std::vector<double>>{
             {0.5, 0.5}, {0.3, 0.3}, {0.4, 0.4}, {0.6, 0.6}, {0.7, 0.7}, {0.2, 0.5},
             {0.5, 0.2}, {0.8, 0.5}, {0.5, 0.8}, {0.9, 0.1}}) {
      samples.push_back({x, f(x), {}});
    }
    for (const float value : {0.25f, 0.5f, 0.75f, 0.9f}) {
      seed(value);
      ModelSearchState state;
      const std::vector<ModelProposal> p = proposeModelDesigns(samples, request(2, 1, 0.1), state);
      ASSERT_EQ(p.size(), 1u);
      EXPECT_EQ(p[0].code, kDecisionLocal);
      EXPECT_NEAR(p[0].x[0], 0.6, 1e-12) << "d " << d << " seed " << value;
      EXPECT_NEAR(p[0].x[1], 0.5, 1e-12) << "d " << d << " seed " << value;
    }
  }
}

TEST_F(ModelSearchTest, TooFewDesignsGiveNothing) {
  // n + 1 designs cannot support a model of n variables.
  const std::vector<ModelSample> samples = sampleBox(3, 4, bowl);
  ModelSearchState state;
  EXPECT_TRUE(proposeModelDesigns(samples, request(3, 2, 1e-6), state).empty());
  EXPECT_EQ(fitScreeningModel(samples), nullptr);
  EXPECT_TRUE(proposeModelDesigns({}, request(3, 2, 1e-6), state).empty());
  EXPECT_EQ(fitScreeningModel({}), nullptr);
  // With one more they do; a request for no design gives none.
  const std::vector<ModelSample> enough = sampleBox(3, 5, bowl);
  EXPECT_EQ(proposeModelDesigns(enough, request(3, 2, 1e-6), state).size(), 2u);
  EXPECT_NE(fitScreeningModel(enough), nullptr);
  EXPECT_TRUE(proposeModelDesigns(enough, request(3, 0, 1e-6), state).empty());
}

TEST_F(ModelSearchTest, ScreeningRanksTheNearMinimumAboveFarDesigns) {
  const std::vector<ModelSample> samples = sampleBox(3, 40, bowl);
  const std::unique_ptr<ScreeningModel> model = fitScreeningModel(samples);
  ASSERT_NE(model, nullptr);
  const double nearMinimum = model->score(std::vector<double>{0.31, 0.6, 0.46});
  EXPECT_LT(nearMinimum, model->score(std::vector<double>{0.9, 0.1, 0.9}));
  EXPECT_LT(nearMinimum, model->score(std::vector<double>{0.5, 0.8, 0.2}));
  EXPECT_LT(model->score(std::vector<double>{0.5, 0.8, 0.2}),
            model->score(std::vector<double>{0.95, 0.05, 0.95}));
}

TEST_F(ModelSearchTest, ScreeningPenalisesPredictedViolation) {
  // The bowl's minimum lies where x0 + x1 <= 0.7 is violated: the screening prefers a
  // feasible design of a higher objective.
  auto g = [](const std::vector<double>& x) { return x[0] + x[1] - 0.7; };
  const std::vector<ModelSample> samples = sampleBox(3, 40, bowl, {g});
  const std::unique_ptr<ScreeningModel> model = fitScreeningModel(samples);
  ASSERT_NE(model, nullptr);
  EXPECT_LT(model->score(std::vector<double>{0.2, 0.45, 0.45}),
            model->score(std::vector<double>{0.3, 0.62, 0.45}));
}

TEST_F(ModelSearchTest, TrustRadiusFollowsTheOutcomesAndRestarts) {
  ModelSearchState state;
  noteModelOutcome(state, kDecisionLocal, true);
  EXPECT_DOUBLE_EQ(state.radius, 0.4);
  noteModelOutcome(state, kDecisionLocal, true);
  EXPECT_DOUBLE_EQ(state.radius, 0.5);
  EXPECT_EQ(state.successes, 2);
  noteModelOutcome(state, kDecisionLocal, false);
  noteModelOutcome(state, kDecisionLocal, false);
  EXPECT_DOUBLE_EQ(state.radius, 0.125);
  EXPECT_EQ(state.successes, 0);
  EXPECT_EQ(state.failures, 2);
  // Other kinds leave the trust region alone.
  noteModelOutcome(state, kDecisionExplore, false);
  noteModelOutcome(state, kDecisionGlobal, true);
  EXPECT_DOUBLE_EQ(state.radius, 0.125);
  // Shrunk below two grid steps (0.02), the region still spans two steps and the local step
  // moves by up to two grid values, downhill.
  state.radius = 0.015;
  std::vector<ModelSample> samples = sampleBox(3, 20, bowl);
  for (ModelSample& s : samples) {
    for (double& u : s.x) u = std::round(u * 100) / 100;
    s.objective = bowl(s.x);
  }
  const int best = bestOf(samples);
  std::vector<ModelProposal> p = proposeModelDesigns(samples, request(3, 1, 0.01), state);
  EXPECT_DOUBLE_EQ(state.radius, 0.015);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].code, kDecisionLocal);
  EXPECT_LT(bowl(p[0].x), samples[best].objective);
  for (int i = 0; i < 3; ++i) EXPECT_LE(std::abs(p[0].x[i] - samples[best].x[i]), 0.02 + 1e-9);
  // Three more failures there, and the region restarts at 0.2 with the next request, which
  // then explores.
  for (int k = 0; k < 3; ++k) noteModelOutcome(state, kDecisionLocal, false);
  p = proposeModelDesigns(samples, request(3, 1, 0.01), state);
  EXPECT_DOUBLE_EQ(state.radius, 0.2);
  EXPECT_EQ(state.failures, 0);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].code, kDecisionExplore);
  // A two-valued variable beside fine ones does not hold the region at its size.
  ModelRequest mixed = request(3, 1, 1e-6);
  mixed.step[2] = 1.0;
  state = {.radius = 0.05};
  p = proposeModelDesigns(samples, mixed, state);
  EXPECT_DOUBLE_EQ(state.radius, 0.05);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].code, kDecisionLocal);
}

TEST_F(ModelSearchTest, InTheLocalPhaseExploredDesignsStayBesideTheBestDesign) {
  // The designs fill the corner [0, 0.2]^3 of the box; with the distance to them weighed
  // most (the explore turn's first weight), an explored design lies far from the corner,
  // unless the local phase keeps it within a few trust radii of the best design.
  std::vector<ModelSample> samples = sampleBox(3, 30, bowl);
  for (ModelSample& s : samples) {
    for (double& u : s.x) u *= 0.2;
    s.objective = bowl(s.x);
  }
  const int best = bestOf(samples);
  const auto reach = [&](const ModelProposal& p) {
    double d = 0.0;
    for (int i = 0; i < 3; ++i) d = std::max(d, std::abs(p.x[i] - samples[best].x[i]));
    return d;
  };
  const ModelProposal anywhere = proposeOne(samples, 3, kDecisionExplore, {.radius = 0.02});
  EXPECT_EQ(anywhere.code, kDecisionExplore);
  EXPECT_GT(reach(anywhere), 0.3);
  const ModelProposal beside =
      proposeOne(samples, 3, kDecisionExplore, {.radius = 0.02, .localPhase = 1});
  EXPECT_EQ(beside.code, kDecisionExplore);
  EXPECT_LT(reach(beside), 0.1);
}

TEST_F(ModelSearchTest, DesignsNearlyOnAPlaneGiveTheMinimumInThePlane) {
  // x2 = x1 up to 1e-11: the model's x2 terms are all but collinear with its x1 terms, and
  // the fit keeps only the directions the designs determine. The minimum of the bowl in the
  // plane is (0.3, 0.6, 0.6).
  auto f = [](const std::vector<double>& x) {
    return (x[0] - 0.3) * (x[0] - 0.3) + (x[1] - 0.6) * (x[1] - 0.6) +
           (x[2] - 0.6) * (x[2] - 0.6);
  };
  std::vector<ModelSample> samples;
  for (int k = 0; k < 40; ++k) {
    ModelSample s;
    s.x = {nextUniform(), nextUniform(), 0.0};
    s.x[2] = s.x[1] + 1e-11 * (nextUniform() - 0.5);
    s.objective = f(s.x);
    samples.push_back(s);
  }
  for (int kind : {kDecisionLocal, kDecisionGlobal}) {
    const ModelProposal p = proposeOne(samples, 3, kind, {.radius = 0.5});
    EXPECT_LT(distance(p.x, {0.3, 0.6, 0.6}), 1e-3) << kind;
  }
}

TEST_F(ModelSearchTest, LocalStepRatioMovesTheRegionAndThePhase) {
  // On the bowl the quadratic models are exact: a step to the region's edge gains what they
  // predict (ratio 1), which starts the local phase and, in it, doubles the radius.
  const std::vector<ModelSample> samples = sampleBox(3, 30, bowl);
  const ModelProposal step = proposeOne(samples, 3, kDecisionLocal, {.radius = 0.01});
  ASSERT_EQ(step.code, kDecisionLocal);
  EXPECT_EQ(step.region, 0);
  EXPECT_TRUE(step.alone);  // one design asked for, none pending
  EXPECT_DOUBLE_EQ(step.radius, 0.01);
  EXPECT_NEAR(step.stepLength, 0.01, 1e-6);
  ModelSample result{step.x, bowl(step.x), {}};
  ModelSearchState outside{.radius = 0.01};
  noteLocalStep(outside, step, &result, false);
  EXPECT_NEAR(outside.ratio, 1.0, 1e-3);
  EXPECT_EQ(outside.localPhase, 1);
  EXPECT_DOUBLE_EQ(outside.radius, 0.01);  // outside the phase the generation moves it
  ModelSearchState inside{.radius = 0.01};
  noteLocalStep(inside, step, &result);
  EXPECT_DOUBLE_EQ(inside.radius, 0.02);
  EXPECT_EQ(inside.localPhase, 1);
  // A step that gains less than predicted starts no phase; a step that breaks a constraint
  // of a feasible centre counts as no improvement (the radius halves) and, unless it was
  // made alone, ends the phase at once; a failed design counts as no improvement, and three
  // in a row end the phase.
  ModelSearchState weak{.radius = 0.01};
  ModelSample half = result;
  half.objective = step.centreObjective - 0.2 * step.predictedGain;
  noteLocalStep(weak, step, &half);
  EXPECT_NEAR(weak.ratio, 0.2, 1e-9);
  EXPECT_EQ(weak.accurate, 0);
  EXPECT_EQ(weak.localPhase, 0);
  EXPECT_DOUBLE_EQ(weak.radius, 0.02);
  ModelSample broken = result;
  broken.constraints = {0.1};
  ModelProposal constrained = step;
  constrained.centreViolation = 0.0;
  ModelSearchState alone = inside;
  noteLocalStep(alone, constrained, &broken);
  EXPECT_DOUBLE_EQ(alone.radius, 0.01);
  EXPECT_EQ(alone.localPhase, 1);  // the next step's models include the broken one
  // Made beside other designs (a batch, or while others run): not alone.
  ModelRequest pending = request(3, 1, 1e-6);
  pending.avoid.push_back({0.9, 0.9, 0.9});
  for (const ModelRequest& r : {request(3, 2, 1e-6), pending}) {
    ModelSearchState fresh{.radius = 0.01};
    const std::vector<ModelProposal> made = proposeModelDesigns(samples, r, fresh);
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(made[0].code, kDecisionLocal);
    EXPECT_FALSE(made[0].alone) << r.count;
  }
  constrained.alone = false;
  noteLocalStep(inside, constrained, &broken);
  EXPECT_DOUBLE_EQ(inside.ratio, -1.0);
  EXPECT_DOUBLE_EQ(inside.radius, 0.01);
  EXPECT_EQ(inside.localPhase, 0);  // the constraint models mislead near the boundary
  ModelSearchState failing{.radius = 0.01, .localPhase = 1};
  noteLocalStep(failing, step, nullptr);
  noteLocalStep(failing, step, nullptr);
  EXPECT_EQ(failing.localPhase, 1);
  noteLocalStep(failing, step, nullptr);
  EXPECT_EQ(failing.failures, 3);
  EXPECT_EQ(failing.localPhase, 0);
  // Three failed steps have settled the basin: the next request may sweep (not so a phase
  // ended by a broken constraint); a resumed run still does.
  EXPECT_EQ(checkpointed(failing).sweepAsked, 1);
  EXPECT_EQ(inside.sweepAsked, 0);
  EXPECT_DOUBLE_EQ(failing.radius, 0.00125);
}

TEST_F(ModelSearchTest, RegionFollowsABestDesignFoundElsewhere) {
  // The last request's best design lay 0.3 from today's (in its largest coordinate): the
  // region shrunk around it takes half that distance; a best design within the radius, a
  // request that does not ask for it, or a first request leaves the radius as it was.
  const std::vector<ModelSample> samples = sampleBox(3, 30, bowl);
  const int best = bestOf(samples);
  std::vector<double> before = samples[best].x;
  before[1] += before[1] > 0.5 ? -0.3 : 0.3;
  ModelRequest follow = request(3, 1, 1e-6);
  follow.followBest = true;
  auto radiusAfter = [&](const ModelRequest& r, std::vector<double> centre, double radius) {
    ModelSearchState state{.radius = radius, .centre = std::move(centre)};
    proposeModelDesigns(samples, r, state);
    EXPECT_EQ(state.centre, samples[best].x);
    return state.radius;
  };
  EXPECT_NEAR(radiusAfter(follow, before, 1e-4), 0.15, 1e-12);
  EXPECT_DOUBLE_EQ(radiusAfter(follow, before, 0.4), 0.4);
  EXPECT_DOUBLE_EQ(radiusAfter(follow, {}, 1e-4), 1e-4);
  ModelRequest stay = request(3, 1, 1e-6);
  ModelSearchState state{.radius = 1e-4, .centre = before};
  proposeModelDesigns(samples, stay, state);
  EXPECT_DOUBLE_EQ(state.radius, 1e-4);
  // A resumed run follows from the same centre.
  EXPECT_EQ(checkpointed(state).centre, state.centre);
}

// Many basins 0.1 apart on a bowl centred at 0.5 in each coordinate; their bottoms at the
// multiples of 0.1.
double ripples(const std::vector<double>& x) {
  double f = 0.0;
  for (double u : x) {
    const double v = 10.0 * (u - 0.5);
    f += v * v - 10.0 * std::cos(2.0 * M_PI * v) + 10.0;
  }
  return f;
}

// A smooth curved valley (Rosenbrock's in y = 3u - 1), its floor rising to the optimum at
// u = 2/3 in each coordinate.
double valley(const std::vector<double>& x) {
  double f = 0.0;
  for (size_t i = 0; i + 1 < x.size(); ++i) {
    const double y = 3.0 * x[i] - 1.0, z = 3.0 * x[i + 1] - 1.0;
    f += 100.0 * (z - y * y) * (z - y * y) + (1.0 - y) * (1.0 - y);
  }
  return f;
}

// The designs a trust region leaves where it has settled: x, then x moved by 0.01 and 0.02
// either way in each coordinate.
void settleAt(std::vector<ModelSample>& samples, const std::vector<double>& x,
              double (*f)(const std::vector<double>&)) {
  samples.push_back({x, f(x), {}});
  for (size_t i = 0; i < x.size(); ++i)
    for (double d : {-0.02, -0.01, 0.01, 0.02}) {
      std::vector<double> near = x;
      near[i] += d;
      samples.push_back({near, f(near), {}});
    }
}

TEST_F(ModelSearchTest, ASettledDesignHopsItsCoordinatesToTheGlobalTrend) {
  // The best design has settled in the basin at (0.6, 0.5, 0.3): two coordinates in the
  // wrong basin. When the trust region restarts, the coordinates off the global model's
  // optimum hop towards it one at a time, the furthest first, each settling along its line;
  // the hops' designs move no other coordinate.
  std::vector<ModelSample> samples = sampleBox(3, 150, ripples);
  const std::vector<double> settled{0.6, 0.5, 0.3};
  settleAt(samples, settled, ripples);
  ASSERT_EQ(bestOf(samples), 150);
  const std::size_t before = samples.size();
  ModelRequest follow = request(3, 1, 1e-6);
  follow.followBest = true;
  ModelSearchState state{.radius = 1e-9, .localPhase = 1, .centre = settled};
  std::vector<double> base = settled;
  for (int k = 0; k < 20 && (k == 0 || !state.hopTarget.empty()); ++k) {
    const std::vector<ModelProposal> p = proposeModelDesigns(samples, follow, state);
    ASSERT_EQ(p.size(), 1u);
    if (state.hopTarget.empty()) break;
    EXPECT_EQ(p[0].code, kDecisionExplore);
    if (k == 0) {
      EXPECT_EQ(state.hopCoordinate, 2);
      // The hops go whole basins (0.1, as the curvatures and the global misfit estimate
      // it): coordinate 2 two of them. The global model's optimum lies a little off the
      // settled design in coordinate 1 too, which then tries the next basin that way.
      EXPECT_NEAR(state.hopTarget[2], 0.5, 0.02);
      EXPECT_NEAR(state.hopTarget[0], 0.5, 0.015);
      EXPECT_NEAR(state.hopTarget[1], 0.4, 0.015);
      EXPECT_EQ(state.hopOrder, (std::vector<int>{0, 1}));
      EXPECT_EQ(state.localPhase, 1);
      // A run resumed in the middle of a sweep goes on with the same hop.
      const ModelSearchState read = checkpointed(state);
      EXPECT_EQ(read.hopTarget, state.hopTarget);
      EXPECT_EQ(read.hopOrder, state.hopOrder);
      EXPECT_EQ(read.hopBase, state.hopBase);
      EXPECT_EQ(read.hopCoordinate, 2);
      EXPECT_EQ(read.hopMade, 1);
      EXPECT_EQ(read.sweepFrom, samples[150].objective);
    }
    if (state.hopBase != base) {  // each hop starts from the best design then
      EXPECT_EQ(state.hopBase, samples[static_cast<std::size_t>(bestOf(samples))].x);
      base = state.hopBase;
    }
    for (int i = 0; i < 3; ++i) {
      if (i != state.hopCoordinate) {
        EXPECT_EQ(p[0].x[i], base[i]) << k;
      }
    }
    samples.push_back({p[0].x, ripples(p[0].x), {}});
  }
  const ModelSample& best = samples[static_cast<std::size_t>(bestOf(samples))];
  EXPECT_LT(best.objective, 0.5);
  for (double u : best.x) EXPECT_NEAR(u, 0.5, 0.02);
  EXPECT_LE(samples.size(), before + 15u);  // three hops of at most five designs
  EXPECT_EQ(state.localPhase, 1);  // the sweep gained: the local phase goes on

  // A sweep from the bottom gains nothing, and the local phase ends with it.
  state.radius = 1e-9;
  for (int k = 0; k < 20 && (k == 0 || !state.hopTarget.empty()); ++k) {
    const std::vector<ModelProposal> p = proposeModelDesigns(samples, follow, state);
    ASSERT_EQ(p.size(), 1u);
    if (k == 0) {
      EXPECT_FALSE(state.hopTarget.empty());
    }
    samples.push_back({p[0].x, ripples(p[0].x), {}});
  }
  EXPECT_TRUE(state.hopTarget.empty());
  EXPECT_EQ(state.localPhase, 0);
  // Nor does the next restart from the same best design sweep again.
  state.radius = 1e-9;
  ASSERT_EQ(proposeModelDesigns(samples, follow, state).size(), 1u);
  EXPECT_TRUE(state.hopTarget.empty());

  // Three failed steps in a row ask for a sweep as a restart does, once.
  std::vector<ModelSample> again = sampleBox(3, 150, ripples);
  settleAt(again, settled, ripples);
  ModelSearchState failed{.radius = 0.05, .centre = settled, .sweepAsked = 1};
  ASSERT_EQ(proposeModelDesigns(again, follow, failed).size(), 1u);
  EXPECT_FALSE(failed.hopTarget.empty());
  EXPECT_EQ(failed.sweepAsked, 0);
  EXPECT_DOUBLE_EQ(failed.radius, 0.05);

  // With a constraint, for a caller without a single best design to follow, or on a smooth
  // valley, whose floor curves less than the whole box, the restart only explores.
  std::vector<ModelSample> constrained = samples;
  for (ModelSample& c : constrained) c.constraints = {-1.0};
  std::vector<ModelSample> smooth = sampleBox(3, 60, valley);
  settleAt(smooth, {0.6, 0.5467, 0.47}, valley);
  ASSERT_EQ(bestOf(smooth), 60);
  for (const auto& [designs, asked] :
       {std::pair{&constrained, follow}, std::pair{&samples, request(3, 1, 1e-6)},
        std::pair{&smooth, follow}}) {
    ModelSearchState restart{.radius = 1e-9, .localPhase = 1};
    const std::vector<ModelProposal> p = proposeModelDesigns(*designs, asked, restart);
    ASSERT_EQ(p.size(), 1u);
    EXPECT_TRUE(restart.hopTarget.empty());
    EXPECT_EQ(restart.localPhase, 0);
  }
}

TEST_F(ModelSearchTest, OneTurnInSixStepsInAnotherBasin) {
  // Two basins: the best design lies in the lower one near (0.25, 0.25); the basin turn of
  // the rotation steps around a good design of the other one, near (0.75, 0.75), within
  // its distance to its nearest design.
  auto f = [](const std::vector<double>& x) {
    const double a = (x[0] - 0.25) * (x[0] - 0.25) + (x[1] - 0.25) * (x[1] - 0.25);
    const double b = (x[0] - 0.75) * (x[0] - 0.75) + (x[1] - 0.75) * (x[1] - 0.75);
    return std::min(a, b + 0.01);
  };
  const std::vector<ModelSample> samples = sampleBox(2, 40, f);
  ModelSearchState state{.nextKind = 5, .basinTurn = 1};
  ModelRequest basins = request(2, 1, 1e-6);
  basins.basins = true;
  const std::vector<ModelProposal> p = proposeModelDesigns(samples, basins, state);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].code, kDecisionLocal);
  EXPECT_EQ(p[0].region, 1);
  EXPECT_EQ(state.basinTurn, 2);
  EXPECT_GT(p[0].x[0] + p[0].x[1], 1.0);
  EXPECT_LE(p[0].stepLength, p[0].radius + 1e-6);
  EXPECT_LE(p[0].radius, 0.1);
  EXPECT_LT(f(p[0].x), p[0].centreObjective);
}

TEST_F(ModelSearchTest, SameSeedSameProposals) {
  auto run = [](float value) {
    seed(value);
    const std::vector<ModelSample> samples = sampleBox(4, 60, [](const std::vector<double>& x) {
      return std::sin(5 * x[0]) + x[1] * x[1] + std::cos(3 * x[2] * x[3]);
    });
    ModelSearchState state;
    std::vector<ModelProposal> all;
    for (int round = 0; round < 6; ++round) {
      for (const ModelProposal& p : proposeModelDesigns(samples, request(4, 3, 1e-6), state))
        all.push_back(p);
      noteModelOutcome(state, kDecisionLocal, round % 2 == 0);
    }
    return all;
  };
  const std::vector<ModelProposal> first = run(0.4f), second = run(0.4f), other = run(0.7f);
  ASSERT_EQ(first.size(), second.size());
  bool differs = first.size() != other.size();
  for (size_t k = 0; k < first.size(); ++k) {
    EXPECT_EQ(first[k].code, second[k].code);
    EXPECT_EQ(first[k].x, second[k].x);
    if (!differs && first[k].x != other[k].x) differs = true;
  }
  EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace karvo::search
