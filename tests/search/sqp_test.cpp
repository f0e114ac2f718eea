// Tests of the dense SQP solver, driven through its reverse-communication loop with analytic
// or forward-difference gradients: convergence on classic problems (a quadratic, Rosenbrock
// with and without an active bound, Hock-Schittkowski 71 and the tension
// spring in the unit cube), the request sequence, failed points, each return code that can be
// provoked with its exact text, the checks of the inputs and the notes.
#include "search/sqp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace karvo::search {
namespace {

using Vector = std::vector<double>;

// A problem as the callers hand it: values (false when the point cannot be evaluated) and,
// when `gradients` is empty, forward differences of step `fdStep` times the range (taken
// backwards where the forward point would leave the bounds).
struct Problem {
  int n = 0, m = 0, me = 0;
  Vector lower, upper;
  std::function<bool(const Vector& x, double& f, Vector& g)> values;
  std::function<void(const Vector& x, Vector& df, Vector& dg)> gradients;
  double fdStep = 5e-4;
};

// What a run did: its return code, final state, requests and the points asked for.
struct SolverRun {
  int code = -99;
  SqpState state;
  std::vector<int> requests;
  std::vector<Vector> points;  // point of each request
  int evaluations = 0;         // points evaluated, finite-difference neighbours included
  int failedPoints = 0;        // requests answered with state.failed
};

bool evaluate(const Problem& p, const Vector& x, double& f, Vector& g) {
  g.assign(p.m, 0.0);
  return p.values(x, f, g);
}

// Fills state.df and state.dg at state.x; false when a neighbour could not be evaluated.
bool answerGradients(const Problem& p, SqpState& s, SolverRun& run) {
  s.df.assign(p.n, 0.0);
  s.dg.assign(static_cast<std::size_t>(p.m) * p.n, 0.0);
  if (p.gradients) {
    p.gradients(s.x, s.df, s.dg);
    return true;
  }
  for (int i = 0; i < p.n; ++i) {
    Vector xi = s.x;
    double h = p.fdStep * (p.upper[i] - p.lower[i]);
    if (xi[i] + h > p.upper[i]) h = -h;
    xi[i] += h;
    double fi = 0.0;
    Vector gi;
    ++run.evaluations;
    if (!evaluate(p, xi, fi, gi)) return false;
    s.df[i] = (fi - s.f) / h;
    for (int j = 0; j < p.m; ++j) s.dg[static_cast<std::size_t>(j) * p.n + i] = (gi[j] - s.g[j]) / h;
  }
  return true;
}

// Drives the solver to its end and checks the request sequence on the way: the first request
// asks for values and gradients together, every point lies inside the bounds, no point is
// asked for values again within 200 value requests, and gradients are asked for at the point whose values were
// handed in last.
// `s` may carry a Hessian to start from (MODE 1).
SolverRun drive(const Problem& p, const SqpSettings& settings, const Vector& x0,
                SqpState s = SqpState{}) {
  SolverRun run;
  run.code = sqpStart(s, settings, p.n, p.m, p.me, x0, p.lower, p.upper);
  EXPECT_TRUE(run.code >= 0 || run.code == kSqpNeedBoth);
  Vector lastValues;
  std::vector<Vector> valuePoints;
  while (run.code < 0 && run.requests.size() < 20000) {
    run.requests.push_back(run.code);
    run.points.push_back(s.x);
    for (int i = 0; i < p.n; ++i) {
      EXPECT_GE(s.x[i], p.lower[i]);
      EXPECT_LE(s.x[i], p.upper[i]);
    }
    s.failed = false;
    if (run.code == kSqpNeedGradients) {
      EXPECT_EQ(s.x, lastValues);
    } else {
      const auto recent = valuePoints.end() - std::min<long>(200, valuePoints.size());
      EXPECT_TRUE(std::find(recent, valuePoints.end(), s.x) == valuePoints.end())
          << "point " << s.x[0] << " asked for again, request " << run.requests.size();
      valuePoints.push_back(s.x);
      lastValues = s.x;
      ++run.evaluations;
      s.failed = !evaluate(p, s.x, s.f, s.g);
    }
    if (run.code != kSqpNeedValues && !s.failed) s.failed = !answerGradients(p, s, run);
    if (s.failed) ++run.failedPoints;
    run.code = sqpResume(s);
  }
  run.state = s;
  return run;
}

double maxDistance(const Vector& a, const Vector& b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
  return d;
}

// ---------------------------------------------------------------------------------------
// Problems

// A problem on the box [lower, upper] with `m` constraints; the caller sets its functions.
Problem box(const Vector& lower, const Vector& upper, int m = 0) {
  Problem p;
  p.n = static_cast<int>(lower.size());
  p.m = m;
  p.lower = lower;
  p.upper = upper;
  return p;
}

// f = 1/2 x'Qx + c'x on [-10, 10]^4, minimum at Q^-1 (-c) = (1, -2, 0.5, 3).
const double kQ[4][4] = {{4, 1, 0, 0.5}, {1, 3, 0.2, 0}, {0, 0.2, 2, 0.3}, {0.5, 0, 0.3, 5}};
const Vector kQuadraticMinimum = {1.0, -2.0, 0.5, 3.0};

Problem quadratic() {
  Problem p = box(Vector(4, -10.0), Vector(4, 10.0));
  auto gradient = [](const Vector& x, Vector& df) {
    for (int i = 0; i < 4; ++i) {
      df[i] = 0.0;
      for (int k = 0; k < 4; ++k) df[i] += kQ[i][k] * (x[k] - kQuadraticMinimum[k]);
    }
  };
  p.values = [](const Vector& x, double& f, Vector&) {
    f = 7.0;
    for (int i = 0; i < 4; ++i) {
      for (int k = 0; k < 4; ++k) {
        f += 0.5 * (x[i] - kQuadraticMinimum[i]) * kQ[i][k] * (x[k] - kQuadraticMinimum[k]);
      }
    }
    return true;
  };
  p.gradients = [gradient](const Vector& x, Vector& df, Vector&) { gradient(x, df); };
  return p;
}

Problem rosenbrock(double upper0) {
  Problem p = box({-2.0, -2.0}, {upper0, 2.0});
  p.values = [](const Vector& x, double& f, Vector&) {
    f = 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
    return true;
  };
  p.gradients = [](const Vector& x, Vector& df, Vector&) {
    df[0] = -400.0 * x[0] * (x[1] - x[0] * x[0]) - 2.0 * (1.0 - x[0]);
    df[1] = 200.0 * (x[1] - x[0] * x[0]);
  };
  return p;
}

// Hock-Schittkowski 71: min x1 x4 (x1 + x2 + x3) + x3 s.t. x1^2 + x2^2 + x3^2 + x4^2 = 40,
// x1 x2 x3 x4 >= 25, 1 <= x <= 5; optimum 17.0140173 at (1, 4.7429994, 3.8211503, 1.3794082).
Problem hs71(bool analytic) {
  Problem p = box(Vector(4, 1.0), Vector(4, 5.0), 2);
  p.me = 1;
  p.values = [](const Vector& x, double& f, Vector& g) {
    f = x[0] * x[3] * (x[0] + x[1] + x[2]) + x[2];
    g[0] = x[0] * x[0] + x[1] * x[1] + x[2] * x[2] + x[3] * x[3] - 40.0;
    g[1] = x[0] * x[1] * x[2] * x[3] - 25.0;
    return true;
  };
  if (analytic) {
    p.gradients = [](const Vector& x, Vector& df, Vector& dg) {
      df = {x[3] * (2 * x[0] + x[1] + x[2]), x[0] * x[3], x[0] * x[3] + 1.0,
            x[0] * (x[0] + x[1] + x[2])};
      for (int i = 0; i < 4; ++i) dg[i] = 2.0 * x[i];
      dg[4] = x[1] * x[2] * x[3];
      dg[5] = x[0] * x[2] * x[3];
      dg[6] = x[0] * x[1] * x[3];
      dg[7] = x[0] * x[1] * x[2];
    };
  }
  return p;
}
const Vector kHs71Minimum = {1.0, 4.7429994, 3.8211503, 1.3794082};
constexpr double kHs71Best = 17.0140173;

// A problem of the search suite in the unit cube: `real` maps u to the problem's variables,
// the constraints c(x) <= 0 are handed as -c >= 0.
Problem unitCube(int n, int m, Vector lo, Vector hi,
                 std::function<void(const Vector& x, double& f, Vector& c)> real) {
  Problem p = box(Vector(n, 0.0), Vector(n, 1.0), m);
  p.values = [=](const Vector& u, double& f, Vector& g) {
    Vector x(n);
    for (int i = 0; i < n; ++i) x[i] = lo[i] + u[i] * (hi[i] - lo[i]);
    real(x, f, g);
    for (double& c : g) c = -c;
    return std::isfinite(f);
  };
  return p;
}

Problem tensionSpring() {
  return unitCube(3, 4, {0.05, 0.25, 2.0}, {2.0, 1.3, 15.0},
                  [](const Vector& x, double& f, Vector& c) {
    const double d = x[0], D = x[1], N = x[2];
    f = (N + 2.0) * D * d * d;
    c = {1.0 - D * D * D * N / (71785.0 * std::pow(d, 4)),
         (4.0 * D * D - d * D) / (12566.0 * (D * d * d * d - std::pow(d, 4))) +
             1.0 / (5108.0 * d * d) - 1.0,
         1.0 - 140.45 * d / (D * D * N), (D + d) / 1.5 - 1.0};
  });
}
constexpr double kTensionSpringBest = 0.0126652;

// ---------------------------------------------------------------------------------------
// Convergence

TEST(SqpConvergence, QuadraticStartedWithItsHessianIsSolvedByTheNewtonStep) {
  SqpSettings settings;
  settings.acc = 1e-14;  // |df'd| <= ACC |f| puts x within about sqrt(ACC) of the minimum
  // Started with the exact Hessian (MODE 1), the first step is the Newton step.
  SqpState state;
  state.hessian.assign(16, 0.0);
  for (int i = 0; i < 4; ++i) {
    for (int k = 0; k < 4; ++k) state.hessian[i * 4 + k] = kQ[i][k];
  }
  settings.mode = 1;
  const SolverRun newton = drive(quadratic(), settings, {0.0, 0.0, 0.0, 0.0}, state);
  EXPECT_EQ(newton.code, kSqpSolved);
  EXPECT_LT(maxDistance(newton.state.best, kQuadraticMinimum), 1e-9);
  EXPECT_LE(newton.state.iteration, 2);
  EXPECT_EQ(newton.state.functionCalls, 1 + 1);
}

TEST(SqpConvergence, RosenbrockWithAndWithoutAnActiveBound) {
  SqpSettings settings;
  const SolverRun unbounded = drive(rosenbrock(2.0), settings, {-1.2, 1.0});
  EXPECT_EQ(unbounded.code, kSqpSolved);
  EXPECT_LT(maxDistance(unbounded.state.best, {1.0, 1.0}), 1e-4);

  // x1 <= 0.5: the minimum lies on the bound, at (0.5, 0.25). A start outside the bounds is
  // moved into them.
  const SolverRun bounded = drive(rosenbrock(0.5), settings, {3.0, -7.0});
  EXPECT_EQ(bounded.points[0], Vector({0.5, -2.0}));
  EXPECT_EQ(bounded.code, kSqpSolved);
  EXPECT_LT(maxDistance(bounded.state.best, {0.5, 0.25}), 1e-6);
  EXPECT_EQ(bounded.state.best[0], 0.5);
}

// Both runs also show the order of the request kinds (drive() checks every request on the
// way: bounds, no point asked for twice, gradients at the point last evaluated).
TEST(SqpConvergence, HockSchittkowski71) {
  SqpSettings settings;
  for (bool analytic : {true, false}) {
    const SolverRun run = drive(hs71(analytic), settings, {1.0, 5.0, 5.0, 1.0});
    ASSERT_EQ(run.code, kSqpSolved);
    EXPECT_NEAR(run.state.bestF, kHs71Best, 1e-6 * kHs71Best);
    EXPECT_LT(maxDistance(run.state.best, kHs71Minimum), analytic ? 1e-5 : 1e-3);
    EXPECT_LE(run.state.bestViolation, 1e-6);

    EXPECT_EQ(run.requests[0], kSqpNeedBoth);
    EXPECT_EQ(run.points[0], Vector({1.0, 5.0, 5.0, 1.0}));
    int values = 1, gradients = 1;
    for (std::size_t k = 1; k < run.requests.size(); ++k) {
      EXPECT_NE(run.requests[k], kSqpNeedBoth);
      if (run.requests[k] == kSqpNeedGradients) {
        EXPECT_EQ(run.requests[k - 1], kSqpNeedValues);  // right after the accepted trial
        ++gradients;
      } else {
        ++values;
      }
    }
    EXPECT_EQ(run.requests.back(), kSqpNeedGradients);
    EXPECT_EQ(run.state.functionCalls, values);
    EXPECT_EQ(run.state.gradientCalls, gradients);
    EXPECT_EQ(run.state.result, kSqpSolved);
    // The solution is the last accepted point.
    EXPECT_EQ(run.state.best, run.points.back());
  }
}

TEST(SqpConvergence, TensionSpring) {
  // Near the optimum the wire diameter lies within 1.5 finite-difference steps of its lower
  // bound, where the derivatives of the d^-4 terms are off by about 5%: the run ends within
  // 2e-4 of the optimum from this start.
  SqpSettings settings;
  const SolverRun fd = drive(tensionSpring(), settings, {0.5, 0.5, 0.5});
  EXPECT_EQ(fd.code, kSqpSolved);
  EXPECT_LE(fd.state.bestViolation, 1e-6);
  EXPECT_NEAR(fd.state.bestF, kTensionSpringBest, 2e-4 * kTensionSpringBest);
}

// ---------------------------------------------------------------------------------------
// Requests

TEST(SqpRequests, FailedTrialPointShortensTheStep) {
  // f = 0.8 (x - 0.45)^2 on [0, 1]; points above 0.6 cannot be evaluated. The first step from
  // 0 reaches 0.72 and fails; the shorter steps go on to the minimum.
  Problem p = box({0.0}, {1.0});
  p.values = [](const Vector& x, double& f, Vector&) {
    f = 0.8 * std::pow(x[0] - 0.45, 2);
    return x[0] <= 0.6;
  };
  p.gradients = [](const Vector& x, Vector& df, Vector&) { df[0] = 1.6 * (x[0] - 0.45); };
  const SolverRun run = drive(p, SqpSettings{}, {0.0});
  EXPECT_NEAR(run.points[1][0], 0.72, 1e-15);
  EXPECT_NEAR(run.points[2][0], 0.072, 1e-15);
  EXPECT_EQ(run.failedPoints, 1);
  EXPECT_EQ(run.code, kSqpSolved);
  EXPECT_NEAR(run.state.best[0], 0.45, 1e-6);

  // Failed gradients at an accepted point count as a failed trial point too.
  Problem q = p;
  q.values = [](const Vector& x, double& f, Vector&) {
    f = 0.8 * std::pow(x[0] - 0.45, 2);
    return true;
  };
  q.gradients = [](const Vector& x, Vector& df, Vector&) {
    df[0] = x[0] > 0.6 ? std::nan("") : 1.6 * (x[0] - 0.45);
  };
  const SolverRun again = drive(q, SqpSettings{}, {0.0});
  ASSERT_GE(again.requests.size(), 4u);
  EXPECT_EQ(again.requests[1], kSqpNeedValues);
  EXPECT_EQ(again.requests[2], kSqpNeedGradients);
  EXPECT_EQ(again.requests[3], kSqpNeedValues);
  EXPECT_NEAR(again.points[3][0], 0.072, 1e-15);
  EXPECT_EQ(again.code, kSqpSolved);
  EXPECT_NEAR(again.state.best[0], 0.45, 1e-6);
}

// ---------------------------------------------------------------------------------------
// Return codes

TEST(SqpReturnCodes, ExactTexts) {
  const char* const texts[] = {
      "The optimality conditions are satisfied to the accuracy ACC.", "More than MAXIT iterations.",
      "The search direction is not profitable.", "Underflow in the BFGS update.",
      "Error in the line search.", "Insufficient working space.", "Wrong N, M, ME, L or MNN2.",
      "Underflow in D(T)*B*D.", "Wrong starting value.",
      ("Wrong input parameter (ACC, ACCQP, IFAIL, IOUT, IPRINT, MAXFUN, MAXIT, MAXNM, MODE, RHOB, "
       "STPMIN)."),
      "Internal inconsistency in QL.", "More than MAXFUN function calls in a line search.", "", ""};
  for (int code = -1; code <= 12; ++code) {
    EXPECT_EQ(sqpReturnText(code), texts[code < 0 ? 13 : code]) << code;
  }
}

TEST(SqpReturnCodes, MoreThanMaxitIterations) {
  SqpSettings settings;
  settings.maxit = 2;
  const SolverRun run = drive(rosenbrock(2.0), settings, {-1.2, 1.0});
  EXPECT_EQ(run.code, kSqpTooManyIterations);
  EXPECT_EQ(run.state.iteration, 2);
  EXPECT_EQ(run.state.result, kSqpTooManyIterations);
  EXPECT_EQ(run.state.best.size(), 2u);
  EXPECT_LT(run.state.bestF, 24.2);  // better than the start
}

// f = x on [0, 1] with a gradient that claims the opposite: every step up is refused.
Problem lyingGradient() {
  Problem p = box({0.0}, {1.0});
  p.values = [](const Vector& x, double& f, Vector&) {
    f = x[0];
    return true;
  };
  p.gradients = [](const Vector&, Vector& df, Vector&) { df[0] = -1.0; };
  return p;
}

TEST(SqpReturnCodes, LineSearchErrorAndTooManyFunctionCalls) {
  SqpSettings settings;
  const SolverRun error = drive(lyingGradient(), settings, {0.0});
  EXPECT_EQ(error.code, kSqpLineSearchError);
  EXPECT_LT(error.state.step, settings.stpmin);
  EXPECT_EQ(error.state.best, Vector({0.0}));

  settings.maxfun = 5;
  const SolverRun calls = drive(lyingGradient(), settings, {0.0});
  EXPECT_EQ(calls.code, kSqpTooManyFunctionCalls);
  EXPECT_EQ(calls.state.functionCalls, 1 + 5);

  // With RHOB > 0 the first failure restarts from the iterate with B = RHOB I; the second
  // one ends the run.
  settings.maxfun = 5;
  settings.rhob = 2.0;
  settings.iprint = 2;
  const SolverRun restarted = drive(lyingGradient(), settings, {0.0});
  EXPECT_EQ(restarted.code, kSqpTooManyFunctionCalls);
  EXPECT_EQ(restarted.state.functionCalls, 1 + 5 + 5);
  EXPECT_EQ(restarted.state.notes,
            std::vector<std::string>({"The BFGS matrix was reset to RHOB times the identity."}));
}

TEST(SqpReturnCodes, DirectionNotProfitableAtAnInfeasiblePoint) {
  // g = x - 2 >= 0 cannot be met in [0, 1]; f = (x - 1)^2. At x = 1 the relaxed subproblem
  // gives a zero direction at an infeasible point, also after the BFGS reset.
  Problem p = box({0.0}, {1.0}, 1);
  p.values = [](const Vector& x, double& f, Vector& g) {
    f = std::pow(x[0] - 1.0, 2);
    g[0] = x[0] - 2.0;
    return true;
  };
  p.gradients = [](const Vector& x, Vector& df, Vector& dg) {
    df[0] = 2.0 * (x[0] - 1.0);
    dg[0] = 1.0;
  };
  SqpSettings settings;
  settings.iprint = 2;
  const SolverRun run = drive(p, settings, {0.2});
  EXPECT_EQ(run.code, kSqpNotProfitable);
  EXPECT_EQ(run.state.best, Vector({1.0}));
  EXPECT_EQ(run.state.bestViolation, 1.0);
  ASSERT_FALSE(run.state.notes.empty());
  EXPECT_EQ(run.state.notes.back(), "The BFGS matrix was reset to the identity.");
}

TEST(SqpReturnCodes, WrongDimensions) {
  struct Case {
    int n, m, me;
    std::size_t x0, lower, upper;
    std::string error;
  };
  const std::vector<Case> cases = {
      {0, 0, 0, 0, 0, 0, "N = 0 is below 1"},
      {2, -1, 0, 2, 2, 2, "M = -1 is below 0"},
      {2, 1, -1, 2, 2, 2, "ME = -1 is below 0"},
      {2, 1, 2, 2, 2, 2, "ME = 2 is above M = 1"},
      {2, 1, 1, 3, 2, 2, "X0 has 3 values instead of N = 2"},
      {2, 1, 1, 2, 1, 2, "LOWER has 1 values instead of N = 2"},
      {2, 1, 1, 2, 2, 0, "UPPER has 0 values instead of N = 2"},
  };
  for (const Case& c : cases) {
    SqpState state;
    EXPECT_EQ(sqpStart(state, SqpSettings{}, c.n, c.m, c.me, Vector(c.x0, 0.5),
                       Vector(c.lower, 0.0), Vector(c.upper, 1.0)),
              kSqpWrongDimensions);
    EXPECT_EQ(state.error, c.error);
    EXPECT_EQ(state.result, kSqpWrongDimensions);
    EXPECT_TRUE(state.best.empty());
    EXPECT_EQ(sqpResume(state), kSqpWrongDimensions);
  }
  SqpState state;
  SqpSettings settings;
  settings.mode = 1;
  state.hessian = {1.0, 0.0, 0.0};
  EXPECT_EQ(sqpStart(state, settings, 2, 0, 0, {0.5, 0.5}, {0.0, 0.0}, {1.0, 1.0}),
            kSqpWrongDimensions);
  EXPECT_EQ(state.error, "HESSIAN has 3 values instead of N*N = 4");
}

TEST(SqpReturnCodes, WrongStartingValue) {
  const Vector zero = {0.0, 0.0}, one = {1.0, 1.0};
  SqpState state;
  EXPECT_EQ(sqpStart(state, SqpSettings{}, 2, 0, 0, {0.5, std::nan("")}, zero, one),
            kSqpWrongStartingValue);
  EXPECT_EQ(state.error, "X0(2) = nan is not finite");
  EXPECT_EQ(sqpStart(state, SqpSettings{}, 2, 0, 0, {0.5, 0.5}, {0.0, 1.5}, one),
            kSqpWrongStartingValue);
  EXPECT_EQ(state.error, "LOWER(2) = 1.5 is not below UPPER(2) = 1");

  SqpSettings settings;
  settings.mode = 1;
  state.hessian = {1.0, 2.0, 2.0, 1.0};
  EXPECT_EQ(sqpStart(state, settings, 2, 0, 0, {0.5, 0.5}, zero, one), kSqpWrongStartingValue);
  EXPECT_EQ(state.error, "HESSIAN is not positive definite");

  // The first point cannot be evaluated, or gives a value that is not finite.
  for (bool fails : {true, false}) {
    Problem p = quadratic();
    p.values = [fails](const Vector&, double& f, Vector&) {
      f = std::numeric_limits<double>::infinity();
      return !fails;
    };
    const SolverRun run = drive(p, SqpSettings{}, {0.0, 0.0, 0.0, 0.0});
    EXPECT_EQ(run.code, kSqpWrongStartingValue);
    EXPECT_EQ(run.requests, std::vector<int>({kSqpNeedBoth}));
    EXPECT_EQ(run.state.error, "the starting point could not be evaluated");
    EXPECT_TRUE(run.state.best.empty());
  }
}

TEST(SqpReturnCodes, WrongInputParameterNamesIt) {
  struct Case {
    std::function<void(SqpSettings&)> set;
    std::string error;
  };
  const double nan = std::nan("");
  const std::vector<Case> cases = {
      {[](SqpSettings& s) { s.acc = 0.0; }, "ACC = 0 is outside (0, 1)"},
      {[](SqpSettings& s) { s.acc = 1.0; }, "ACC = 1 is outside (0, 1)"},
      {[nan](SqpSettings& s) { s.acc = nan; }, "ACC = nan is outside (0, 1)"},
      {[](SqpSettings& s) { s.accqp = 1.5; }, "ACCQP = 1.5 is outside (0, 1)"},
      {[](SqpSettings& s) { s.stpmin = -1e-3; }, "STPMIN = -0.001 is outside (0, 1)"},
      {[](SqpSettings& s) { s.maxfun = 0; }, "MAXFUN = 0 is outside [1, 1000]"},
      {[](SqpSettings& s) { s.maxfun = 1001; }, "MAXFUN = 1001 is outside [1, 1000]"},
      {[](SqpSettings& s) { s.maxit = 0; }, "MAXIT = 0 is below 1"},
      {[](SqpSettings& s) { s.maxnm = 51; }, "MAXNM = 51 is outside [0, 50]"},
      {[](SqpSettings& s) { s.maxnm = -1; }, "MAXNM = -1 is outside [0, 50]"},
      {[](SqpSettings& s) { s.rhob = -0.5; }, "RHOB = -0.5 is outside [0, inf)"},
      {[](SqpSettings& s) { s.mode = 2; }, "MODE = 2 is neither 0 nor 1"},
      {[](SqpSettings& s) { s.iprint = 5; }, "IPRINT = 5 is outside [0, 4]"},
      {[](SqpSettings& s) { s.iprint = -1; }, "IPRINT = -1 is outside [0, 4]"},
      {[](SqpSettings& s) { s.iout = -1; }, "IOUT = -1 is below 0"},
      {[](SqpSettings& s) { s.ifail = 1; }, "IFAIL = 1 is neither 0 nor -1"},
  };
  for (const Case& c : cases) {
    SqpSettings settings;
    c.set(settings);
    SqpState state;
    EXPECT_EQ(sqpStart(state, settings, 1, 0, 0, {0.5}, {0.0}, {1.0}), kSqpWrongInput);
    EXPECT_EQ(state.error, c.error);
  }
  // The limits themselves are accepted.
  SqpSettings limits;
  limits.maxfun = 1000;
  limits.maxnm = 50;
  limits.iprint = 4;
  limits.iout = 0;
  limits.ifail = -1;
  limits.maxit = 1;
  SqpState state;
  EXPECT_EQ(sqpStart(state, limits, 1, 0, 0, {0.5}, {0.0}, {1.0}), kSqpNeedBoth);
  EXPECT_EQ(state.error, "");
}

// ---------------------------------------------------------------------------------------
// Notes

TEST(SqpNotes, WhichNotesAreKept) {
  // f = -x1 - x2 on [0, 1]^2: the first step reaches the corner, a feasible point better than
  // the start, where the direction is zero.
  Problem p = box({0.0, 0.0}, {1.0, 1.0});
  p.values = [](const Vector& x, double& f, Vector&) {
    f = -x[0] - x[1];
    return true;
  };
  p.gradients = [](const Vector&, Vector& df, Vector&) { df = {-1.0, -1.0}; };
  const std::vector<std::vector<std::string>> kept = {
      {},
      {"Zero search direction at a feasible point."},
      {"A feasible point better than the starting point was found in iteration 1.",
       "Zero search direction at a feasible point."}};
  SqpSettings settings;
  for (int iprint : {0, 1, 2, 4}) {
    settings.iprint = iprint;
    const SolverRun run = drive(p, settings, {0.25, 0.5});
    EXPECT_EQ(run.code, kSqpSolved);
    EXPECT_EQ(run.state.best, Vector({1.0, 1.0}));
    EXPECT_EQ(run.state.notes, kept[std::min(iprint, 2)]) << iprint;
  }
}

TEST(SqpNotes, NonMonotoneLineSearch) {
  // Rosenbrock with a non-monotone line search: steps that raise the merit function are
  // accepted (and noted), and the run still converges.
  const std::string raisedNote =
      "The non-monotone line search accepted a step that raised the merit function.";
  SqpSettings settings;
  settings.iprint = 2;
  settings.maxnm = 10;
  const SolverRun nm = drive(rosenbrock(2.0), settings, {-1.2, 1.0});
  EXPECT_EQ(nm.code, kSqpSolved);
  EXPECT_LT(maxDistance(nm.state.best, {1.0, 1.0}), 1e-4);
  EXPECT_GT(std::count(nm.state.notes.begin(), nm.state.notes.end(), raisedNote), 0);
  settings.maxnm = 0;
  const SolverRun monotone = drive(rosenbrock(2.0), settings, {-1.2, 1.0});
  EXPECT_EQ(std::count(monotone.state.notes.begin(), monotone.state.notes.end(), raisedNote), 0);
}

}  // namespace
}  // namespace karvo::search
