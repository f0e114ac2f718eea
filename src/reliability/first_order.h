// The first-order reliability iteration (sampling kind "OtherFORM"): the reliability index of
// one constraint from a linearisation of its limit state g(x) at the most probable failure
// point, found by the Hasofer-Lind iteration with equivalent normal laws for uniform
// parameters. g < 0 means failure; g is the negative of the constraint's violation measure.
//
// firstOrderReliability is the pure core: it knows the random parameters as laws and the
// limit state as a function of a batch of points, so that it runs without designs. The study
// (runFirstOrderStudy, reliability_study.h) hands it the agent's random parameters and a limit
// state that evaluates each batch as designs.
//
// The iteration, n random parameters:
//   1. Start at the nominal values x (a normal's mean, a uniform's centre).
//   2. g and its gradient at x from one batch of 1 + n points: x itself and, per parameter,
//      x with that parameter stepped back by delta_i (backward differences,
//      dg/dx_i = (g(x) - g(x - delta_i e_i)) / delta_i). delta_i = 0.0001 x_i, but never
//      smaller in size than 0.0001 times the parameter's spread (standard deviation, or the
//      width of a uniform range), so that a value of 0 still gets a step.
//   3. Equivalent normal at x: a normal keeps its mean and standard deviation; a uniform on
//      [a, b] has F = (x - a) / (b - a) (limited to [0, 1]), z = Phi^-1(F),
//      sigma' = phi(z) (b - a), mu' = x - z sigma'. Phi^-1 is normalQuantile for F >= 0.5 and
//      its mirror -normalQuantile(1 - F) below, so that both ends of the range give a finite z
//      (normalQuantile answers 4 near F = 1 but -infinity at F = 0).
//   4. At the start: L = sqrt(sum (sigma'_i dg_i)^2), beta = g / L,
//      alpha_i = -sigma'_i dg_i / L.
//   5. Update: x_i = mu'_i + beta sigma'_i alpha_i (a uniform limited to [a, b]); then mu',
//      sigma', g and the gradient at the new x, u_i = (x_i - mu'_i) / sigma'_i with those
//      equivalent normals (for a uniform u_i = z_i), beta_new = (g - sum sigma'_i dg_i u_i) / L,
//      alpha recomputed.
//   6. Converged when |beta_new - beta| <= 0.001 max(|beta|, 1): relative to beta, absolute
//      while |beta| < 1 (beta may be 0). An update is made only when its whole batch of
//      1 + n designs fits in the budget; the starting batch is always evaluated.
//   7. p = (1 + erf(-beta / sqrt 2)) / 2 (failureProbability).
//
// The messages of the iteration collect in FormResult::problems, each appended to those
// before it: a zero gradient norm, "Error in gradient calculation. The gradient is zero w.r.t.
// all the parameters." (the iteration ends with the current beta, 0 at the start); a failed
// design or a limit state that is not a finite number (the iteration ends with the last good
// beta, 0 at the start); the budget spent before convergence, "\nBeta has not converged,
// iterations ended after %d designs." and "\nFinal Beta: %g.\n". After an error of the first
// two kinds "\nBecause of this error, the reliability may not be accurate." follows.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace karvo::reliability {

// Fraction of a parameter's value (or, at least, of its spread) taken as the difference step.
inline constexpr double kFormStepFraction = 0.0001;
// Convergence tolerance on beta (relative, absolute below |beta| = 1).
inline constexpr double kFormTolerance = 0.001;

// One random parameter as the iteration sees it.
struct FormParameter {
  bool uniform = false;  // uniform on [a, b]; otherwise normal (mean, sd)
  double mean = 0.0;     // a normal's mean, a uniform's centre: the starting value
  double sd = 0.0;       // a normal's standard deviation (> 0)
  double a = 0.0;        // a uniform's lower end
  double b = 0.0;        // a uniform's upper end (> a)
  double spread = 0.0;   // sd of a normal, b - a of a uniform: the smallest difference step
                         // is kFormStepFraction times it
};

FormParameter normalFormParameter(double mean, double sd);
FormParameter uniformFormParameter(double centre, double width);

struct FormResult {
  double beta = 0.0;         // reliability index
  double probability = 0.5;  // probability of failure of beta
  int evaluations = 0;       // points evaluated (designs)
  bool converged = false;    // the tolerance was met
  std::string problems;      // the iteration's messages (see the top of this file); "" without
};

// Evaluates the limit state at every point of a batch (points[k][i]: parameter i of point k):
// g[k] for each point, NaN (or any value that is not finite) where a point could not be
// evaluated. Answers false when the batch as a whole could not be evaluated.
using LimitState =
    std::function<bool(const std::vector<std::vector<double>>& points, std::vector<double>& g)>;

// The first-order reliability of the limit state over `parameters` (at least one), with at
// most `maxEvaluations` points in all, the starting batch always evaluated (see the top of
// this file).
FormResult firstOrderReliability(const std::vector<FormParameter>& parameters,
                                 const LimitState& limitState, int maxEvaluations);

}  // namespace karvo::reliability
