// The normal-law arithmetic of the reliability studies against the library's erf and a
// quantile found by bisection on the exact normal law; the first-order reliability iteration on
// limit states given as formulas: exact answers of linear limit states, uniform laws against
// the design point found by direct minimisation, the batches the iteration asks for, and its
// messages on the faults it meets.
#include "reliability/first_order.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/messages.h"
#include "reliability/reliability_math.h"

namespace karvo::reliability {
namespace {

// The exact standard normal quantile, by bisection on erfc.
double exactQuantile(double p) {
  double lo = -40.0, hi = 40.0;
  for (int i = 0; i < 200; ++i) {
    const double mid = 0.5 * (lo + hi);
    (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

TEST(ErfApprox, StaysWithinItsBoundOfTheExactFunctionAndIsOdd) {
  for (double x = -6.0; x <= 6.0; x += 0.01) {
    EXPECT_NEAR(erfApprox(x), std::erf(x), 1.5e-7) << x;
    EXPECT_EQ(erfApprox(-x), -erfApprox(x)) << x;
  }
  EXPECT_EQ(erfApprox(1e300), 1.0);
  EXPECT_EQ(erfApprox(-1e300), -1.0);
}

TEST(NormalQuantile, InvertsTheSolversOwnNormalLawInTheCentreAndBothTails) {
  // Both of Acklam's regions and the border between them.
  for (double p : {1e-9, 1e-6, 0.001, 0.02, 0.02425, 0.1, 0.3, 0.5, 0.7, 0.97575, 0.99, 0.999}) {
    const double x = normalQuantile(p);
    // The Halley step solves Phi(x) = p on the approximate Phi ...
    EXPECT_NEAR(normalCdf(x), p, 1e-9 + 1e-6 * p) << p;
    // ... which keeps x within the erf approximation's reach of the exact quantile: the
    // error of Phi (below 7.5e-8) over the density.
    EXPECT_NEAR(x, exactQuantile(p), 7.5e-8 / normalDensity(x)) << p;
  }
  // Above 0.9999999997 the quantile is taken as 4; up to it, it is the computed one.
  EXPECT_EQ(normalQuantile(0.99999999971), 4.0);
  EXPECT_NEAR(normalQuantile(0.9999999997), exactQuantile(0.9999999997), 0.01);
}

TEST(ReliabilityIndex, CoversCertainFailureAndCertainSuccess) {
  EXPECT_EQ(reliabilityIndex(0.0), 1e300);
  EXPECT_EQ(reliabilityIndex(1.0), -1e300);
  EXPECT_NEAR(reliabilityIndex(0.5), 0.0, 1e-6);
  EXPECT_NEAR(reliabilityIndex(0.0013498980316301), 3.0, 3e-5);
  EXPECT_NEAR(reliabilityIndex(0.841344746068543), -1.0, 1e-6);
  // And back: the probability of an index is that of the solver's own normal law.
  for (double p : {1e-5, 0.01, 0.2, 0.5, 0.9}) {
    EXPECT_NEAR(failureProbability(reliabilityIndex(p)), p, 1e-9 + 1e-6 * p) << p;
  }
  EXPECT_EQ(failureProbability(1e300), 0.0);
  EXPECT_EQ(failureProbability(-1e300), 1.0);
}

TEST(NormalDensity, UsesTheWrittenConstant) {
  EXPECT_DOUBLE_EQ(normalDensity(0.0), 1.0 / std::sqrt(6.2831853));
  EXPECT_DOUBLE_EQ(normalDensity(2.0), std::exp(-2.0) / std::sqrt(6.2831853));
}

using Point = std::vector<double>;

// A limit state of one point at a time that records every batch it is given.
struct Recorder {
  std::function<double(const Point&)> g;
  std::vector<std::vector<Point>> batches;
  LimitState state() {
    return [this](const std::vector<Point>& points, std::vector<double>& values) {
      batches.push_back(points);
      values.clear();
      for (const Point& x : points) values.push_back(g(x));
      return true;
    };
  }
};

constexpr char kBecause[] = "\nBecause of this error, the reliability may not be accurate.";

TEST(FirstOrder, LinearNormalLimitStateReachesTheExactBetaAfterOneUpdate) {
  // g = 3 - x1 - x2, x1 ~ N(1, 0.3), x2 ~ N(0.5, 0.4): beta = 1.5 / 0.5 = 3.
  Recorder limit{[](const Point& x) { return 3.0 - x[0] - x[1]; }, {}};
  const FormResult result = firstOrderReliability(
      {normalFormParameter(1.0, 0.3), normalFormParameter(0.5, 0.4)}, limit.state(), 100);
  EXPECT_NEAR(result.beta, 3.0, 1e-11);
  EXPECT_TRUE(result.converged);
  EXPECT_EQ(result.problems, "");
  // The start and one update, each one batch of the point and its two neighbours, stepped
  // back by 0.0001 of the value.
  EXPECT_EQ(result.evaluations, 6);
  ASSERT_EQ(limit.batches.size(), 2u);
  EXPECT_EQ(limit.batches[0], (std::vector<Point>{{1.0, 0.5}, {0.9999, 0.5}, {1.0, 0.49995}}));
  EXPECT_EQ(result.probability, failureProbability(result.beta));
  EXPECT_NEAR(result.probability, 0.0013498980316301, 2e-7);
}

// The converged beta of a uniform law is that of the design point: in one dimension the
// exact Phi^-1(F(c)), from either end of the range; with a normal beside it, the least
// distance to g = 0 in standard normal space found by direct minimisation (1.43890235).
TEST(FirstOrder, UniformLawsConvergeToTheDesignPoint) {
  struct Case {
    std::vector<FormParameter> parameters;
    std::function<double(const Point&)> g;
    double beta;
    double tolerance;
  };
  const std::vector<Case> cases = {
      {{uniformFormParameter(5.0, 10.0)}, [](const Point& x) { return 6.5 - x[0]; },
       0.38532046640757, 1e-6},  // p = 0.35
      {{uniformFormParameter(5.0, 10.0)}, [](const Point& x) { return x[0] - 0.5; },
       1.64485362695147, 1e-6},  // p = 0.05, below the centre
      {{uniformFormParameter(1.0, 2.0), normalFormParameter(1.0, 0.5)},
       [](const Point& x) { return 3.2 - x[0] - x[1]; }, 1.43890235478943, 2e-4},
  };
  for (const Case& c : cases) {
    Recorder limit{c.g, {}};
    const FormResult result = firstOrderReliability(c.parameters, limit.state(), 1000);
    EXPECT_TRUE(result.converged) << c.beta;
    EXPECT_EQ(result.problems, "");
    EXPECT_NEAR(result.beta, c.beta, c.tolerance);
    EXPECT_NEAR(result.probability, 1.0 - normalCdf(c.beta), c.tolerance);
  }
}

// A limit state that never fails within a uniform range drives the point to an end of the
// range, where F is 0 or 1: both ends give the same finite beta and p = 0.
TEST(FirstOrder, UniformRangeEndsGiveAFiniteBeta) {
  const std::vector<FormParameter> range = {uniformFormParameter(5.0, 10.0)};
  Recorder low{[](const Point& x) { return x[0] + 1.0; }, {}};
  Recorder high{[](const Point& x) { return 11.0 - x[0]; }, {}};
  const FormResult a = firstOrderReliability(range, low.state(), 100);
  const FormResult b = firstOrderReliability(range, high.state(), 100);
  EXPECT_EQ(low.batches[1][0], Point{0.0});
  EXPECT_EQ(high.batches[1][0], Point{10.0});
  EXPECT_TRUE(a.converged && b.converged);
  EXPECT_GT(a.beta, 100.0);
  EXPECT_NEAR(a.beta, b.beta, 1e-9 * a.beta);
  EXPECT_EQ(a.probability, 0.0);
  EXPECT_EQ(a.problems + b.problems, "");
}

// A nominal value of 0 is stepped by 0.0001 of its spread (0.0001 x would be no step); a
// start on g = 0 gives beta 0 and converges without dividing by it.
TEST(FirstOrder, ZeroValueAndZeroBetaAreHandled) {
  Recorder shifted{[](const Point& x) { return 1.0 - x[0] - x[1]; }, {}};
  const FormResult a = firstOrderReliability(
      {normalFormParameter(0.0, 2.0), uniformFormParameter(0.0, 4.0)}, shifted.state(), 100);
  EXPECT_EQ(shifted.batches[0], (std::vector<Point>{{0.0, 0.0}, {-0.0002, 0.0}, {0.0, -0.0004}}));
  EXPECT_TRUE(a.converged);
  EXPECT_TRUE(std::isfinite(a.beta));
  EXPECT_EQ(a.problems, "");

  Recorder balanced{[](const Point& x) { return -x[0]; }, {}};
  const FormResult b =
      firstOrderReliability({normalFormParameter(0.0, 1.0)}, balanced.state(), 100);
  EXPECT_TRUE(b.converged);
  EXPECT_EQ(b.beta, 0.0);
  EXPECT_NEAR(b.probability, 0.5, 1e-8);
  EXPECT_EQ(b.evaluations, 4);
}

TEST(FirstOrder, FaultsEndTheIterationWithTheirMessages) {
  const std::vector<FormParameter> two = {normalFormParameter(1.0, 0.3),
                                          normalFormParameter(2.0, 0.2)};
  // No gradient at all: beta 0 at the start.
  Recorder flat{[](const Point&) { return 5.0; }, {}};
  FormResult r = firstOrderReliability(two, flat.state(), 100);
  EXPECT_EQ(r.problems,
            std::string("Error in gradient calculation. The gradient is zero w.r.t. all the "
                        "parameters.") + kBecause);
  EXPECT_EQ(r.beta, 0.0);
  EXPECT_EQ(r.evaluations, 3);

  // The budget: a curved limit state needs more than two updates; 8 designs allow only the
  // start and one update (a second would need 3 more).
  Recorder curved{[](const Point& x) { return 4.0 - x[0] * x[0] * x[0] - x[1] * x[1]; }, {}};
  r = firstOrderReliability(two, curved.state(), 8);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.evaluations, 6);
  EXPECT_EQ(r.problems, formatText("\nBeta has not converged, iterations ended after 6 designs."
                                   "\nFinal Beta: %g.\n", r.beta));
  EXPECT_EQ(r.probability, failureProbability(r.beta));

  // A failed design in the update keeps the starting beta and no NaN.
  int calls = 0;
  const LimitState failing = [&](const std::vector<Point>& points, std::vector<double>& g) {
    g.clear();
    for (const Point& x : points) g.push_back(2.0 - x[0]);
    if (++calls == 2) g[1] = std::numeric_limits<double>::quiet_NaN();
    return true;
  };
  r = firstOrderReliability({normalFormParameter(1.0, 0.5)}, failing, 100);
  EXPECT_NEAR(r.beta, 2.0, 1e-11);  // the start: g 1, L 0.5
  EXPECT_EQ(r.problems,
            formatText("A design of the first-order iteration failed or gave a constraint value "
                       "that is not a finite number (after 4 designs). The iteration stops "
                       "with the last good Beta, %g.",
                       r.beta) + kBecause);
}

}  // namespace
}  // namespace karvo::reliability
