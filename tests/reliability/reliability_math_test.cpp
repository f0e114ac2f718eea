// The normal-law arithmetic of the reliability studies against the library's erf and a
// quantile found by bisection on the exact normal law.
#include <gtest/gtest.h>

#include <cmath>

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

}  // namespace
}  // namespace karvo::reliability
