// Maximum-likelihood choice of the Kriging parameters (the "thetas" of kriging.h: ln length
// scales, and ln nugget when it is estimated). Both methods maximise
// KrigingFit::thetaObjective inside the bounds thetaLower() .. thetaUpper() of a prepared
// fit and are deterministic: the same fit gives the same thetas.
#pragma once

#include <string>
#include <vector>

namespace karvo::support {

class KrigingFit;

class KrigingOpt {
 public:
  // Multi-start BFGS. The objective is screened at a fixed spread of max(10, 4m) parameter
  // points (m thetas; a Latin hypercube from a fixed seed over ln length scales in
  // [ln 0.05, ln 20] plus the point of all length scales 1); from the fit.starts() best of
  // them a projected BFGS run with the analytic gradient and a backtracking (Armijo) line
  // search climbs to a local maximum (at most 100 iterations each). The best end point is
  // returned in `thetas`. false (with a message) when the objective is -infinity (no
  // factorisation) at every screened point, or the fit is not prepared.
  static bool optimize(const KrigingFit& fit, std::vector<double>& thetas, std::string& error);

  // Particle swarm of min(40, 12 + 2m) particles (fixed seed, inertia 0.72, pulls 1.49
  // toward the own and the swarm's best), at most 40 generations and ending after 10
  // without gain, then one BFGS run from the swarm's best. Objective values only during the
  // swarm. false as optimize.
  static bool optimizePSO(const KrigingFit& fit, std::vector<double>& thetas, std::string& error);

  // The projected BFGS run alone, from `start` (clamped to the bounds); returns the objective
  // at the end point written to `thetas` (-infinity when `start` cannot be factorised).
  static double climb(const KrigingFit& fit, const std::vector<double>& start,
                      std::vector<double>& thetas);
};

}  // namespace karvo::support
