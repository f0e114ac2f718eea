// Maximum-likelihood search of the Kriging parameters: a screened multi-start projected
// BFGS, and a small particle swarm. Each objective evaluation is one Cholesky factorisation
// of the n x n correlation matrix (with the gradient, one inverse more), so the searches
// count evaluations: some tens per BFGS run.
#include "external/kriging_opt.h"

#include "external/kriging.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

namespace karvo::support {
namespace {

constexpr double kScreenLow = -2.995732273553991;  // ln 0.05
constexpr double kScreenHigh = 2.995732273553991;  // ln 20
constexpr int kMaxIterations = 100;

// splitmix64: the same stream on every platform.
class Stream {
 public:
  explicit Stream(std::uint64_t seed) : state_(seed) {}
  double uniform() {  // [0, 1)
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
  }
  int below(int n) { return std::min(static_cast<int>(uniform() * n), n - 1); }

 private:
  std::uint64_t state_;
};

using Vector = Eigen::VectorXd;

struct Problem {
  const KrigingFit& fit;
  Vector lower, upper;
  // Objective to minimise: the negative log-likelihood.
  double value(const Vector& x, Vector* gradient) const {
    std::vector<double> theta(x.data(), x.data() + x.size()), g;
    const double v = fit.thetaObjective(theta, gradient ? &g : nullptr);
    if (gradient) *gradient = -Eigen::Map<Vector>(g.data(), static_cast<Eigen::Index>(g.size()));
    return -v;
  }
  Vector clamp(const Vector& x) const { return x.cwiseMax(lower).cwiseMin(upper); }
};

Problem problemOf(const KrigingFit& fit) {
  const std::vector<double> lo = fit.thetaLower(), hi = fit.thetaUpper();
  Problem problem{fit, Eigen::Map<const Vector>(lo.data(), static_cast<Eigen::Index>(lo.size())),
                  Eigen::Map<const Vector>(hi.data(), static_cast<Eigen::Index>(hi.size()))};
  return problem;
}

// Projected BFGS from x (clamped); minimises; returns the final value, x the end point.
double bfgs(const Problem& problem, Vector& x) {
  const int m = static_cast<int>(x.size());
  x = problem.clamp(x);
  Vector g;
  double f = problem.value(x, &g);
  if (!std::isfinite(f)) return f;
  Eigen::MatrixXd H = Eigen::MatrixXd::Identity(m, m);
  bool scaled = false;
  int small = 0;  // iterations in a row with a tiny step or gain
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    // Coordinates held at a bound by the gradient leave the step.
    std::vector<bool> held(m, false);
    double projected = 0.0;
    for (int k = 0; k < m; ++k) {
      held[k] = (x(k) <= problem.lower(k) && g(k) > 0.0) || (x(k) >= problem.upper(k) && g(k) < 0.0);
      if (!held[k]) projected = std::max(projected, std::abs(g(k)));
    }
    if (projected < 1e-4) break;
    Vector gFree = g;
    for (int k = 0; k < m; ++k)
      if (held[k]) gFree(k) = 0.0;
    Vector direction = -(H * gFree);
    for (int k = 0; k < m; ++k)
      if (held[k]) direction(k) = 0.0;
    if (direction.dot(gFree) >= 0.0) {
      H.setIdentity();
      direction = -gFree;
    }
    // No coordinate moves more than 2 (a factor e^2 in a length scale) in one step.
    const double longest = direction.cwiseAbs().maxCoeff();
    if (longest > 2.0) direction *= 2.0 / longest;
    double step = 1.0, fNew = f;
    Vector xNew, gNew;
    bool accepted = false;
    for (int trial = 0; trial < 30; ++trial, step *= 0.5) {
      xNew = problem.clamp(x + step * direction);
      fNew = problem.value(xNew, &gNew);
      if (std::isfinite(fNew) && fNew <= f + 1e-4 * g.dot(xNew - x)) {
        accepted = true;
        break;
      }
    }
    if (!accepted) break;
    const Vector s = xNew - x, y = gNew - g;
    const double gain = f - fNew;
    x = xNew;
    g = gNew;
    f = fNew;
    const double sy = s.dot(y);
    if (sy > 1e-10 * s.norm() * y.norm()) {
      if (!scaled) {
        H *= sy / y.squaredNorm();
        scaled = true;
      }
      const double rho = 1.0 / sy;
      const Vector Hy = H * y;
      H += (rho * rho * y.dot(Hy) + rho) * s * s.transpose() - rho * (Hy * s.transpose() + s * Hy.transpose());
    }
    // Log-likelihood differences far below 1e-6 do not change the model.
    if (s.cwiseAbs().maxCoeff() < 1e-6 || gain < 1e-7) {
      if (++small >= 2) break;
    } else {
      small = 0;
    }
  }
  return f;
}

}  // namespace

double KrigingOpt::climb(const KrigingFit& fit, const std::vector<double>& start,
                         std::vector<double>& thetas) {
  const Problem problem = problemOf(fit);
  if (static_cast<int>(start.size()) != problem.lower.size())
    return -std::numeric_limits<double>::infinity();
  Vector x = Eigen::Map<const Vector>(start.data(), static_cast<Eigen::Index>(start.size()));
  const double f = bfgs(problem, x);
  thetas.assign(x.data(), x.data() + x.size());
  return -f;
}

bool KrigingOpt::optimize(const KrigingFit& fit, std::vector<double>& thetas, std::string& error) {
  const Problem problem = problemOf(fit);
  const int m = static_cast<int>(problem.lower.size());
  if (m == 0 || fit.points() == 0) {
    error = "Kriging: the parameters cannot be optimised before the data are prepared.";
    return false;
  }
  const int d = fit.variables();
  // The screened spread: all length scales 1, then a Latin hypercube.
  const int count = std::max(10, 4 * m);
  std::vector<Vector> candidates;
  Vector centre(m);
  for (int k = 0; k < m; ++k) centre(k) = k < d ? 0.0 : 0.5 * (problem.lower(k) + problem.upper(k));
  candidates.push_back(problem.clamp(centre));
  Stream stream(0x4b72696769ULL);
  std::vector<std::vector<int>> ranks(m, std::vector<int>(count - 1));
  for (int k = 0; k < m; ++k) {
    std::iota(ranks[k].begin(), ranks[k].end(), 0);
    for (int i = count - 2; i > 0; --i) std::swap(ranks[k][i], ranks[k][stream.below(i + 1)]);
  }
  for (int i = 0; i < count - 1; ++i) {
    Vector x(m);
    for (int k = 0; k < m; ++k) {
      const double u = (ranks[k][i] + stream.uniform()) / (count - 1);
      const double lo = k < d ? kScreenLow : problem.lower(k);
      const double hi = k < d ? kScreenHigh : problem.upper(k);
      x(k) = lo + u * (hi - lo);
    }
    candidates.push_back(problem.clamp(x));
  }
  std::vector<double> values(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) values[i] = problem.value(candidates[i], nullptr);
  std::vector<int> order(candidates.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const double va = std::isfinite(values[a]) ? values[a] : std::numeric_limits<double>::max();
    const double vb = std::isfinite(values[b]) ? values[b] : std::numeric_limits<double>::max();
    return va < vb;
  });
  double best = std::numeric_limits<double>::infinity();
  Vector bestX;
  int runs = 0;
  for (int index : order) {
    if (runs >= fit.starts() || !std::isfinite(values[index])) break;
    Vector x = candidates[index];
    const double f = bfgs(problem, x);
    ++runs;
    if (std::isfinite(f) && f < best) {
      best = f;
      bestX = x;
    }
  }
  if (!std::isfinite(best)) {
    error = "Kriging: the correlation matrix cannot be factorised at any screened length scale.";
    return false;
  }
  thetas.assign(bestX.data(), bestX.data() + m);
  return true;
}

bool KrigingOpt::optimizePSO(const KrigingFit& fit, std::vector<double>& thetas,
                             std::string& error) {
  const Problem problem = problemOf(fit);
  const int m = static_cast<int>(problem.lower.size());
  if (m == 0 || fit.points() == 0) {
    error = "Kriging: the parameters cannot be optimised before the data are prepared.";
    return false;
  }
  const int swarm = std::min(40, 12 + 2 * m);
  Stream stream(0x50534f4b72ULL);
  const Vector span = problem.upper - problem.lower;
  std::vector<Vector> position(swarm), velocity(swarm), own(swarm);
  std::vector<double> ownValue(swarm);
  Vector global;
  double globalValue = std::numeric_limits<double>::infinity();
  for (int i = 0; i < swarm; ++i) {
    position[i].resize(m);
    velocity[i].resize(m);
    for (int k = 0; k < m; ++k) {
      position[i](k) = problem.lower(k) + stream.uniform() * span(k);
      velocity[i](k) = (stream.uniform() - 0.5) * 0.2 * span(k);
    }
    own[i] = position[i];
    ownValue[i] = problem.value(position[i], nullptr);
    if (!std::isfinite(ownValue[i])) ownValue[i] = std::numeric_limits<double>::infinity();
    if (ownValue[i] < globalValue) {
      globalValue = ownValue[i];
      global = position[i];
    }
  }
  int stall = 0;
  for (int generation = 0; generation < 40 && stall < 10; ++generation) {
    const double before = globalValue;
    for (int i = 0; i < swarm; ++i) {
      for (int k = 0; k < m; ++k) {
        double v = 0.72 * velocity[i](k) + 1.49 * stream.uniform() * (own[i](k) - position[i](k));
        if (global.size() == m) v += 1.49 * stream.uniform() * (global(k) - position[i](k));
        velocity[i](k) = std::clamp(v, -0.5 * span(k), 0.5 * span(k));
      }
      position[i] = problem.clamp(position[i] + velocity[i]);
      double value = problem.value(position[i], nullptr);
      if (!std::isfinite(value)) value = std::numeric_limits<double>::infinity();
      if (value < ownValue[i]) {
        ownValue[i] = value;
        own[i] = position[i];
        if (value < globalValue) {
          globalValue = value;
          global = position[i];
        }
      }
    }
    stall = globalValue < before - 1e-9 * (1.0 + std::abs(before)) ? 0 : stall + 1;
  }
  if (!std::isfinite(globalValue)) {
    error = "Kriging: the correlation matrix cannot be factorised at any length scale of the swarm.";
    return false;
  }
  Vector x = global;
  const double polished = bfgs(problem, x);
  if (!(std::isfinite(polished) && polished <= globalValue)) x = global;
  thetas.assign(x.data(), x.data() + m);
  return true;
}

}  // namespace karvo::support
