// The normal-law arithmetic of the reliability studies: the error function of the solver's
// rational approximation, the standard normal quantile built on it, and the conversions between
// a probability of failure and a reliability index. Pure functions, called a few times per
// constraint response.
#pragma once

namespace karvo::reliability {

// Largest reliability index written: +-kReliabilityInfinity stands for p = 0 and p = 1.
inline constexpr double kReliabilityInfinity = 1e300;

// erf(x) by the rational approximation
//   sign(x) (1 - t (a1 + t (a2 + t (a3 + t (a4 + t a5)))) exp(-x^2)),  t = 1 / (1 + 0.3275911 |x|)
// (absolute error below 1.5e-7).
double erfApprox(double x);

// The standard normal quantile: Acklam's rational approximation (central region
// 0.02425 <= p <= 0.97575, tail formulas outside it), then one Halley step on
// Phi(x) = (1 + erfApprox(x / sqrt 2)) / 2, so that normalCdf(normalQuantile(p)) = p to the
// accuracy of erfApprox. p above 0.9999999997 gives 4.0; p <= 0 gives -inf, p >= 1 (the
// limit above aside) +inf.
double normalQuantile(double p);

// Phi(x) with erfApprox: (1 + erfApprox(x / sqrt 2)) / 2.
double normalCdf(double x);

// The standard normal density exp(-z^2 / 2) / sqrt(6.2831853).
double normalDensity(double z);

// The reliability index of a probability of failure: -normalQuantile(p); -1e300 for p >= 1
// and 1e300 for p <= 0.
double reliabilityIndex(double p);

// The probability of failure of a reliability index: (1 + erfApprox(-beta / sqrt 2)) / 2.
double failureProbability(double beta);

}  // namespace karvo::reliability
