// Normal-law arithmetic of the reliability studies; see reliability_math.h.
#include "reliability/reliability_math.h"

#include <cmath>
#include <limits>

namespace karvo::reliability {

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt2Pi = 2.5066282746310002;
constexpr double kCentralLow = 0.02425;
constexpr double kCentralHigh = 1.0 - kCentralLow;
constexpr double kQuantileCap = 0.9999999997;  // above it the quantile is taken as 4

// Acklam's coefficients: central region (a over b), tails (c over d).
constexpr double kA[] = {-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02,
                         1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
constexpr double kB[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                         6.680131188771972e+01, -1.328068155288572e+01};
constexpr double kC[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                         -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
constexpr double kD[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                         3.754408661907416e+00};

// The lower-tail formula at q = sqrt(-2 ln p).
double tail(double q) {
  return (((((kC[0] * q + kC[1]) * q + kC[2]) * q + kC[3]) * q + kC[4]) * q + kC[5]) /
         ((((kD[0] * q + kD[1]) * q + kD[2]) * q + kD[3]) * q + 1.0);
}

double acklam(double p) {
  if (p < kCentralLow) return tail(std::sqrt(-2.0 * std::log(p)));
  if (p > kCentralHigh) return -tail(std::sqrt(-2.0 * std::log(1.0 - p)));
  const double q = p - 0.5;
  const double r = q * q;
  return (((((kA[0] * r + kA[1]) * r + kA[2]) * r + kA[3]) * r + kA[4]) * r + kA[5]) * q /
         (((((kB[0] * r + kB[1]) * r + kB[2]) * r + kB[3]) * r + kB[4]) * r + 1.0);
}

}  // namespace

double erfApprox(double x) {
  constexpr double a1 = 0.254829592, a2 = -0.284496736, a3 = 1.421413741, a4 = -1.453152027,
                   a5 = 1.061405429, p = 0.3275911;
  const double sign = x < 0.0 ? -1.0 : 1.0;
  const double ax = std::fabs(x);
  const double t = 1.0 / (1.0 + p * ax);
  const double y = 1.0 - t * (a1 + t * (a2 + t * (a3 + t * (a4 + t * a5)))) * std::exp(-ax * ax);
  return sign * y;
}

double normalCdf(double x) { return 0.5 * (1.0 + erfApprox(x / kSqrt2)); }

double normalDensity(double z) { return std::exp(-0.5 * z * z) / std::sqrt(6.2831853); }

double normalQuantile(double p) {
  if (p > kQuantileCap) return 4.0;
  if (!(p > 0.0)) return -std::numeric_limits<double>::infinity();
  double x = acklam(p);
  // One Halley step on the solver's own Phi.
  const double e = normalCdf(x) - p;
  const double u = e * kSqrt2Pi * std::exp(0.5 * x * x);
  x -= u / (1.0 + 0.5 * x * u);
  return x;
}

double reliabilityIndex(double p) {
  if (p >= 1.0) return -kReliabilityInfinity;
  if (p <= 0.0) return kReliabilityInfinity;
  return -normalQuantile(p);
}

double failureProbability(double beta) { return 0.5 * (1.0 + erfApprox(-beta / kSqrt2)); }

}  // namespace karvo::reliability
