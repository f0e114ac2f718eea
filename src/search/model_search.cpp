// Model-based search decisions of the hybrid search: quadratic trust-region steps, the
// optimum of a global quadratic response surface, and a radial-basis candidate search; and
// the radial-basis screening of operator-made candidates. Called once per generation with at
// most a few thousand evaluated designs of up to ~20 variables: every fit here is a small
// dense least-squares or linear solve (at most kRbfCentres points), so a request costs
// milliseconds.
#include "search/model_search.h"

#include <Eigen/Dense>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>

#include "base/random.h"
#include "search/sqp.h"

namespace karvo::search {
namespace {

constexpr double kMetTolerance = 1e-9;     // a constraint value up to this counts as met
constexpr int kRbfCentres = 200;           // at most this many designs in a radial-basis fit
constexpr int kRbfNearest = 120;           // of which the nearest to the best design
constexpr double kRadiusMax = 0.5;         // trust radius after growth, at most
constexpr double kRadiusRestart = 0.2;     // trust radius after a restart
constexpr double kMovedRadiusShare = 0.5;  // of the distance a best design found elsewhere moved
// Local steps in a row whose improvement the models predicted within a factor of two,
// after which the local phase begins (two in a row lost more on valleys and many-basin
// problems than they saved near active constraints).
constexpr int kAccurateSteps = 1;
constexpr int kFailuresAtGrid = 3;         // failures at two grid steps before a restart
constexpr double kGridMargin = 1e-9;       // a grid value beside the nearest is taken when
                                           // the models rate it better by more than this
constexpr double kInfinity = std::numeric_limits<double>::infinity();

using Eigen::MatrixXd;
using Eigen::VectorXd;

// The rotation of the decision kinds: a request takes its kinds from here, starting at
// state.nextKind. Local steps dominate; a restart of the trust region moves the rotation to
// kRotationExplore so that the next decisions explore.
constexpr int kRotation[] = {kDecisionLocal, kDecisionExplore, kDecisionLocal,
                             kDecisionGlobal, kDecisionLocal,  kDecisionExplore};
constexpr int kRotationLength = 6;
constexpr int kRotationExplore = 1;
// The turn of the rotation that takes a step in the trust region of another basin, when
// there is one.
constexpr int kRotationBasin = 5;
// Good designs further apart than this (in every-coordinate distance, normalised) count as
// the bottoms of different basins.
constexpr double kBasinApart = 0.05;
// Trust radius of a step in another basin, at most.
constexpr double kBasinRadius = 0.1;

// Designs nearer each other than this share of the trust radius are one design to a local
// fit (localFitDesigns).
constexpr double kFitGap = 0.01;

// The weight of a design in the fit of a local constraint model is 1 / (|g| / spread + this):
// designs on the constraint's boundary count ten times as much as those a spread away.
constexpr double kBoundaryWeight = 0.1;

// Trust radius of the cautious second local design of a request, as a share of the radius.
constexpr double kCautiousRadius = 0.25;

// Coordinate hops, for one objective without constraints. When the best design has settled
// (the trust region restarts, or its steps fail three times in a row) in one of many basins,
// each coordinate lying further than kHopLeast from the optimum of the global model hops
// there, and settles along that coordinate by parabola steps: at most kHopDesigns designs,
// the first ones a kHopDivisions-th of the hop apart.
constexpr double kHopLeast = 0.005;
constexpr int kHopDesigns = 5;
constexpr double kHopDivisions = 8.0;

// A landscape of many basins, where the hops can gain: along the median coordinate the
// curvature of the objective at the settled best design exceeds the global model's this many
// times. Ripples on a trend curve far more sharply than the trend (the search suite's
// rippled problems measure 45 to 10 000); a smooth valley or bowl curves less near its floor
// than over the box (below 0.1), and there single-coordinate hops only spend designs the
// steps need.
constexpr double kRuggedRatio = 10.0;

// The basins' widths along the coordinates, estimated from the curvatures, are trusted when
// the widest is at most this many times the narrowest, and used when below kWidestBasin.
constexpr double kWidthAgreement = 1.5;
constexpr double kWidestBasin = 0.5;

// Weights of the predicted value against the distance to the nearest design in the
// radial-basis candidate search, cycling with the rotation.
constexpr double kExploreWeights[] = {0.3, 0.5, 0.8, 0.95};

double totalViolation(const ModelSample& s) {
  double v = 0.0;
  for (double g : s.constraints)
    if (g > kMetTolerance) v += g;
  return v;
}

// True when a is better than b: feasible first, then the objective, else less violation.
bool betterSample(const ModelSample& a, const ModelSample& b) {
  const double va = totalViolation(a), vb = totalViolation(b);
  if (va == 0.0 && vb == 0.0) return a.objective < b.objective;
  if (va == 0.0 || vb == 0.0) return va == 0.0;
  return va < vb;
}

int incumbentIndex(std::span<const ModelSample> samples) {
  int best = 0;
  for (int i = 1; i < static_cast<int>(samples.size()); ++i)
    if (betterSample(samples[i], samples[best])) best = i;
  return best;
}

double squaredDistance(std::span<const double> a, std::span<const double> b) {
  double d = 0.0;
  for (size_t i = 0; i < a.size(); ++i) d += (a[i] - b[i]) * (a[i] - b[i]);
  return d;
}

// Indices of the samples ordered by their distance to x (nearest first), the first `count`.
std::vector<int> nearestIndices(std::span<const ModelSample> samples,
                                std::span<const double> x, int count) {
  std::vector<std::pair<double, int>> d(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) d[i] = {squaredDistance(samples[i].x, x), int(i)};
  count = std::min<int>(count, static_cast<int>(d.size()));
  std::partial_sort(d.begin(), d.begin() + count, d.end());
  std::vector<int> out(count);
  for (int i = 0; i < count; ++i) out[i] = d[i].second;
  return out;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const size_t h = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + h, v.end());
  return v[h];
}

// ---------------------------------------------------------------------------------------------
// Quadratic models: f(x) = a + g'z + z'Hz/2 with z = (x - centre) / scale.
// ---------------------------------------------------------------------------------------------

enum class QuadKind { kLinear, kSeparable, kFull };

int termCount(QuadKind kind, int n) {
  switch (kind) {
    case QuadKind::kLinear: return n + 1;
    case QuadKind::kSeparable: return 2 * n + 1;
    case QuadKind::kFull: return (n + 1) * (n + 2) / 2;
  }
  return n + 1;
}

struct Quadratic {
  double a = 0.0;
  VectorXd g;
  MatrixXd h;

  double value(const VectorXd& z) const { return a + g.dot(z) + 0.5 * z.dot(h * z); }
  VectorXd gradient(const VectorXd& z) const { return g + h * z; }
};

void basisRow(QuadKind kind, const VectorXd& z, double* row) {
  const int n = static_cast<int>(z.size());
  int k = 0;
  row[k++] = 1.0;
  for (int i = 0; i < n; ++i) row[k++] = z[i];
  if (kind == QuadKind::kSeparable) {
    for (int i = 0; i < n; ++i) row[k++] = 0.5 * z[i] * z[i];
  } else if (kind == QuadKind::kFull) {
    for (int i = 0; i < n; ++i)
      for (int j = i; j < n; ++j) row[k++] = (i == j ? 0.5 : 1.0) * z[i] * z[j];
  }
}

Quadratic quadraticOfCoefficients(QuadKind kind, int n, const VectorXd& c) {
  Quadratic q;
  q.a = c[0];
  q.g = c.segment(1, n);
  q.h = MatrixXd::Zero(n, n);
  int k = n + 1;
  if (kind == QuadKind::kSeparable) {
    for (int i = 0; i < n; ++i) q.h(i, i) = c[k++];
  } else if (kind == QuadKind::kFull) {
    for (int i = 0; i < n; ++i)
      for (int j = i; j < n; ++j) {
        q.h(i, j) = c[k++];
        q.h(j, i) = q.h(i, j);
      }
  }
  return q;
}

// The objective and constraint models of one fit, all in the same z coordinates: z = (w(x) -
// w(centre)) / scale, where w is each variable's normalised value x or, for a variable with a
// shift s > 0, log(x + s), the logarithm of its field value up to a constant.
struct QuadraticFit {
  VectorXd centre;                           // normalised variables
  VectorXd origin;                           // w(centre)
  std::vector<double> shift;                 // per variable (or empty: none logarithmic)
  double scale = 1.0;
  Quadratic objective;
  std::vector<Quadratic> constraints;
  double objectiveScale = 1.0;               // spread of the fitted objective values
  std::vector<double> constraintScales;      // spread of each constraint's values

  double mapped(int i, double x) const {
    return shift.empty() || !(shift[i] > 0.0) ? x : std::log(x + shift[i]);
  }
  double unmapped(int i, double w) const {
    return shift.empty() || !(shift[i] > 0.0) ? w : std::exp(w) - shift[i];
  }
  VectorXd toZ(std::span<const double> x) const {
    VectorXd z(centre.size());
    for (int i = 0; i < z.size(); ++i) z[i] = (mapped(i, x[i]) - origin[i]) / scale;
    return z;
  }
  double zOf(int i, double x) const { return (mapped(i, x) - origin[i]) / scale; }
  double xOf(int i, double z) const { return unmapped(i, origin[i] + scale * z); }
};

double spread(const VectorXd& y) {
  const double mean = y.mean();
  const double s = std::sqrt((y.array() - mean).square().mean());
  return s > 1e-300 ? s : 1.0;
}

// Scales the columns of `a` to unit norm (a zero column stays as it is); answers the norms.
VectorXd scaleColumns(MatrixXd& a) {
  VectorXd norms = a.colwise().norm().transpose();
  for (int k = 0; k < a.cols(); ++k) {
    if (norms[k] < 1e-300) norms[k] = 1.0;
    a.col(k) /= norms[k];
  }
  return norms;
}

// The least-squares coefficients of `a` c = y (one column of c for each column of y); false
// when they are not finite. The columns of `a` are scaled to unit norm first, so that the rank
// decision does not depend on the units.
template <typename Rhs>
bool solveScaled(MatrixXd& a, const Rhs& y, Rhs& c) {
  const int terms = static_cast<int>(a.cols());
  const VectorXd norms = scaleColumns(a);
  // The rank threshold is set before the decomposition: the orthogonal factor of the
  // rank-deficient part is built for the rank found then, and a threshold set afterwards
  // would make the solve use a rank the factor was not built for (reading factors that were
  // never computed, so that the same designs gave different models from run to run).
  Eigen::CompleteOrthogonalDecomposition<MatrixXd> qr(a.rows(), a.cols());
  qr.setThreshold(1e-10);
  qr.compute(a);
  c = qr.solve(y);
  for (int k = 0; k < terms; ++k) c.row(k) /= norms[k];
  return c.allFinite();
}

// The coordinates of a fit centred at `centre` with the variable maps of `shift`: the scale
// takes the designs of `which` into [-1, 1].
void placeFit(std::span<const ModelSample> samples, const std::vector<int>& which,
              const VectorXd& centre, std::span<const double> shift, QuadraticFit& fit) {
  const int n = static_cast<int>(centre.size());
  fit.centre = centre;
  fit.shift.assign(shift.begin(), shift.end());
  fit.origin.resize(n);
  for (int i = 0; i < n; ++i) fit.origin[i] = fit.mapped(i, centre[i]);
  double reach = 0.0;
  for (int r : which)
    for (int i = 0; i < n; ++i)
      reach = std::max(reach, std::abs(fit.mapped(i, samples[r].x[i]) - fit.origin[i]));
  fit.scale = reach > 1e-12 ? reach : 1.0;
}

// The basis rows of the designs of `which` in the coordinates of `fit` (a) and their values
// (y: the objective, then each constraint).
void fitRows(std::span<const ModelSample> samples, const std::vector<int>& which,
             QuadKind kind, const QuadraticFit& fit, MatrixXd& a, MatrixXd& y) {
  const int n = static_cast<int>(fit.centre.size());
  const int m = static_cast<int>(samples[0].constraints.size());
  const int rows = static_cast<int>(which.size());
  const int terms = termCount(kind, n);
  a.resize(rows, terms);
  y.resize(rows, 1 + m);
  std::vector<double> row(terms);
  for (int r = 0; r < rows; ++r) {
    const ModelSample& s = samples[which[r]];
    basisRow(kind, fit.toZ(s.x), row.data());
    for (int k = 0; k < terms; ++k) a(r, k) = row[k];
    y(r, 0) = s.objective;
    for (int j = 0; j < m; ++j) y(r, 1 + j) = s.constraints[j];
  }
}

// Least-squares fit of the models of the objective and every constraint to the samples
// `which`, centred at `centre`, in the coordinates of `shift` (empty: the normalised
// variables). False when the fit is not finite.
bool fitQuadratics(std::span<const ModelSample> samples, const std::vector<int>& which,
                   QuadKind kind, const VectorXd& centre, QuadraticFit& fit,
                   std::span<const double> shift = {}) {
  const int n = static_cast<int>(centre.size());
  const int m = static_cast<int>(samples[0].constraints.size());
  placeFit(samples, which, centre, shift, fit);
  MatrixXd a, y;
  fitRows(samples, which, kind, fit, a, y);
  MatrixXd c;
  if (!solveScaled(a, y, c)) return false;
  fit.objective = quadraticOfCoefficients(kind, n, c.col(0));
  fit.objectiveScale = spread(y.col(0));
  fit.constraints.clear();
  fit.constraintScales.clear();
  for (int j = 0; j < m; ++j) {
    fit.constraints.push_back(quadraticOfCoefficients(kind, n, c.col(1 + j)));
    fit.constraintScales.push_back(spread(y.col(1 + j)));
  }
  return true;
}

// The leave-one-out error of the models fitQuadratics makes of the designs `which` in the
// coordinates of `shift`: for each response, the root mean square of the residuals the
// designs would have were each left out of the fit, over the spread of the response's values;
// summed over the objective and the constraints.
double leaveOneOutError(std::span<const ModelSample> samples, const std::vector<int>& which,
                        QuadKind kind, const VectorXd& centre, std::span<const double> shift) {
  QuadraticFit fit;
  placeFit(samples, which, centre, shift, fit);
  MatrixXd a, y;
  fitRows(samples, which, kind, fit, a, y);
  const int rows = static_cast<int>(a.rows());
  scaleColumns(a);  // the rank decision as in solveScaled; the leverages do not depend on it
  Eigen::ColPivHouseholderQR<MatrixXd> qr(a.rows(), a.cols());
  qr.setThreshold(1e-10);
  qr.compute(a);
  const int rank = static_cast<int>(qr.rank());
  // The leading `rank` columns of the orthogonal factor span the fitted values: the hat matrix
  // is q q^T, its diagonal the designs' leverages.
  const MatrixXd q = qr.householderQ() * MatrixXd::Identity(rows, rank);
  const MatrixXd residual = y - q * (q.transpose() * y);
  const VectorXd leverage = q.rowwise().squaredNorm();
  double error = 0.0;
  for (int j = 0; j < y.cols(); ++j) {
    double sum = 0.0;
    for (int r = 0; r < rows; ++r) {
      const double e = residual(r, j) / std::max(1.0 - leverage[r], 1e-6);
      sum += e * e;
    }
    error += std::sqrt(sum / rows) / spread(y.col(j));
  }
  return std::isfinite(error) ? error : kInfinity;
}

// Minimises the objective model subject to the constraint models <= 0 inside the box
// [lo, hi] (z coordinates) by an augmented Lagrangian over projected Newton steps.
class QuadraticProgram {
 public:
  QuadraticProgram(const QuadraticFit& fit, VectorXd lo, VectorXd hi)
      : fit_(fit), lo_(std::move(lo)), hi_(std::move(hi)),
        lambda_(VectorXd::Zero(static_cast<int>(fit.constraints.size()))) {}

  // The solution from `start`; `violation` receives the scaled modelled violation there.
  VectorXd solve(VectorXd z, double& objective, double& violation) {
    const int m = static_cast<int>(fit_.constraints.size());
    lambda_.setZero();
    mu_ = 10.0;
    z = project(z);
    double lastViolation = kInfinity;
    for (int outer = 0; outer < (m == 0 ? 1 : 12); ++outer) {
      z = minimiseMerit(z);
      double v = 0.0;
      for (int j = 0; j < m; ++j) {
        const double c = constraintValue(j, z);
        v = std::max(v, c);
        lambda_[j] = std::max(0.0, lambda_[j] + mu_ * c);
      }
      if (v < 1e-9) break;
      if (v > 0.25 * lastViolation) mu_ *= 10.0;
      lastViolation = v;
    }
    objective = fit_.objective.value(z) / fit_.objectiveScale;
    violation = 0.0;
    for (int j = 0; j < m; ++j) violation += std::max(0.0, constraintValue(j, z));
    return z;
  }

 private:
  double constraintValue(int j, const VectorXd& z) const {
    return fit_.constraints[j].value(z) / fit_.constraintScales[j];
  }

  VectorXd project(VectorXd z) const { return z.cwiseMax(lo_).cwiseMin(hi_); }

  double merit(const VectorXd& z) const {
    double f = fit_.objective.value(z) / fit_.objectiveScale;
    for (int j = 0; j < static_cast<int>(fit_.constraints.size()); ++j) {
      const double c = constraintValue(j, z);
      if (lambda_[j] + mu_ * c >= 0.0)
        f += lambda_[j] * c + 0.5 * mu_ * c * c;
      else
        f -= lambda_[j] * lambda_[j] / (2.0 * mu_);
    }
    return f;
  }

  void meritDerivatives(const VectorXd& z, VectorXd& grad, MatrixXd& hess) const {
    const double s = fit_.objectiveScale;
    grad = fit_.objective.gradient(z) / s;
    hess = fit_.objective.h / s;
    for (int j = 0; j < static_cast<int>(fit_.constraints.size()); ++j) {
      const double cs = fit_.constraintScales[j];
      const double c = constraintValue(j, z);
      const double w = lambda_[j] + mu_ * c;
      if (w <= 0.0) continue;
      const VectorXd gc = fit_.constraints[j].gradient(z) / cs;
      grad += w * gc;
      hess += w * fit_.constraints[j].h / cs + mu_ * gc * gc.transpose();
    }
  }

  VectorXd minimiseMerit(VectorXd z) const {
    const int n = static_cast<int>(z.size());
    VectorXd grad;
    MatrixXd hess;
    double f = merit(z);
    for (int iter = 0; iter < 60; ++iter) {
      meritDerivatives(z, grad, hess);
      // Free variables: not held at a bound by the gradient.
      std::vector<int> free;
      for (int i = 0; i < n; ++i) {
        const bool atLow = z[i] <= lo_[i] + 1e-14 && grad[i] > 0.0;
        const bool atHigh = z[i] >= hi_[i] - 1e-14 && grad[i] < 0.0;
        if (!atLow && !atHigh) free.push_back(i);
      }
      if (free.empty()) break;
      const int k = static_cast<int>(free.size());
      MatrixXd hf(k, k);
      VectorXd gf(k);
      for (int a = 0; a < k; ++a) {
        gf[a] = grad[free[a]];
        for (int b = 0; b < k; ++b) hf(a, b) = hess(free[a], free[b]);
      }
      // Newton step with the eigenvalues taken by magnitude (a descent direction also where
      // the model is not convex), floored relative to the largest.
      Eigen::SelfAdjointEigenSolver<MatrixXd> eig(hf);
      const VectorXd ev = eig.eigenvalues().cwiseAbs();
      const double floor = std::max(1e-8 * ev.maxCoeff(), 1e-12);
      const VectorXd coeff = eig.eigenvectors().transpose() * gf;
      VectorXd df = -(eig.eigenvectors() * (coeff.array() / ev.array().max(floor)).matrix());
      VectorXd d = VectorXd::Zero(n);
      for (int a = 0; a < k; ++a) d[free[a]] = df[a];
      if (!d.allFinite() || grad.dot(d) >= 0.0) d = -grad;
      bool moved = false;
      for (double t = 1.0; t > 1e-12; t *= 0.5) {
        VectorXd trial = project(z + t * d);
        const double ft = merit(trial);
        if (ft <= f + 1e-4 * grad.dot(trial - z) && ft <= f) {
          moved = (trial - z).lpNorm<Eigen::Infinity>() > 1e-13;
          z = trial;
          f = ft;
          break;
        }
      }
      if (!moved) break;
    }
    return z;
  }

  const QuadraticFit& fit_;
  VectorXd lo_, hi_;
  VectorXd lambda_;
  double mu_ = 10.0;
};

// The same program solved by the dense SQP solver of the local searches, from `start`, with
// the models' exact gradients (constraints turned to its g >= 0). Slower to set up than the
// augmented Lagrangian, but it follows the constraints' gradients onto a vertex where
// several of them meet, where the penalty terms of the augmented Lagrangian grow stiff and
// its steps stall.
VectorXd solveBySqp(const QuadraticFit& fit, const VectorXd& start, const VectorXd& lo,
                    const VectorXd& hi, double& objective, double& violation) {
  const int n = static_cast<int>(start.size());
  const int m = static_cast<int>(fit.constraints.size());
  SqpSettings settings;
  settings.acc = 1e-10;
  settings.maxit = 200;
  SqpState sqp;
  int request = sqpStart(sqp, settings, n, m, 0, {start.data(), start.data() + n},
                         {lo.data(), lo.data() + n}, {hi.data(), hi.data() + n});
  while (request < 0) {
    const VectorXd z = Eigen::Map<const VectorXd>(sqp.x.data(), n);
    if (request != kSqpNeedGradients) {
      sqp.f = fit.objective.value(z) / fit.objectiveScale;
      sqp.g.assign(m, 0.0);
      for (int j = 0; j < m; ++j)
        sqp.g[j] = -fit.constraints[j].value(z) / fit.constraintScales[j];
    }
    if (request != kSqpNeedValues) {
      const VectorXd df = fit.objective.gradient(z) / fit.objectiveScale;
      sqp.df.assign(df.data(), df.data() + n);
      sqp.dg.assign(static_cast<size_t>(m) * n, 0.0);
      for (int j = 0; j < m; ++j) {
        const VectorXd dg = fit.constraints[j].gradient(z) / fit.constraintScales[j];
        for (int i = 0; i < n; ++i) sqp.dg[static_cast<size_t>(j) * n + i] = -dg[i];
      }
    }
    request = sqpResume(sqp);
  }
  VectorXd z = start;
  if (!sqp.best.empty()) z = Eigen::Map<const VectorXd>(sqp.best.data(), n);
  z = z.cwiseMax(lo).cwiseMin(hi);
  objective = fit.objective.value(z) / fit.objectiveScale;
  violation = 0.0;
  for (int j = 0; j < m; ++j)
    violation += std::max(0.0, fit.constraints[j].value(z) / fit.constraintScales[j]);
  return z;
}

// The constrained minimiser of the fitted models in the box [lo, hi] (x coordinates), from
// the centre of the fit, the box centre and a few random starts: feasible (modelled) first,
// then the lowest modelled objective. When constraints hold the augmented Lagrangian's
// answer within 1 % of the box's half-width of the centre of the fit, the SQP solver tries
// from the same starts too, and the better answer stands.
std::vector<double> minimiseQuadratics(const QuadraticFit& fit, std::span<const double> lo,
                                       std::span<const double> hi, int randomStarts) {
  const int n = static_cast<int>(fit.centre.size());
  VectorXd zlo(n), zhi(n);
  for (int i = 0; i < n; ++i) {
    zlo[i] = fit.zOf(i, lo[i]);
    zhi[i] = fit.zOf(i, hi[i]);
  }
  QuadraticProgram program(fit, zlo, zhi);
  std::vector<VectorXd> starts{VectorXd::Zero(n), 0.5 * (zlo + zhi)};
  for (int s = 0; s < randomStarts; ++s) {
    VectorXd z(n);
    for (int i = 0; i < n; ++i) z[i] = zlo[i] + nextUniform() * (zhi[i] - zlo[i]);
    starts.push_back(z);
  }
  VectorXd best;
  double bestObjective = kInfinity, bestViolation = kInfinity;
  auto keepBetter = [&](const VectorXd& z, double f, double v) {
    const bool feasible = v <= 1e-6, bestFeasible = bestViolation <= 1e-6;
    const bool better = feasible && bestFeasible ? f < bestObjective
                        : feasible || bestFeasible ? feasible
                                                   : v < bestViolation;
    if (best.size() == 0 || better) {
      best = z;
      bestObjective = f;
      bestViolation = v;
    }
  };
  for (const VectorXd& start : starts) {
    double f = 0.0, v = 0.0;
    const VectorXd z = program.solve(start, f, v);
    keepBetter(z, f, v);
  }
  if (!fit.constraints.empty() &&
      best.lpNorm<Eigen::Infinity>() < 0.01 * 0.5 * (zhi - zlo).maxCoeff()) {
    for (const VectorXd& start : starts) {
      double f = 0.0, v = 0.0;
      const VectorXd z = solveBySqp(fit, start, zlo, zhi, f, v);
      keepBetter(z, f, v);
    }
  }
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i)
    x[i] = std::clamp(fit.xOf(i, best[i]), lo[i], hi[i]);
  return x;
}

// ---------------------------------------------------------------------------------------------
// The grid: proposals are designs the solver can evaluate, points of the variables' resolution.
// ---------------------------------------------------------------------------------------------

double onGrid(double u, double step) {
  u = std::clamp(u, 0.0, 1.0);
  if (step > 0.0) u = std::clamp(std::round(u / step) * step, 0.0, 1.0);
  return u;
}

// Tells whether a point differs from every evaluated design and earlier proposal.
using NewPoint = std::function<bool(std::span<const double>)>;

// The grid point the models rate best near the continuous optimum x: each coordinate at the
// grid value below or above x (the nearest first, then coordinate by coordinate the other
// one where the models prefer it; rounding each coordinate on its own can cost more than the
// step gains in a narrow valley). When that point is not new (the models' step from the
// centre of the fit is shorter than a grid step, or it was evaluated), the best new point by
// the models among its grid neighbours (one grid value in one coordinate) and the models'
// step stretched to one and to two grid values in its largest coordinate. Feasible
// (modelled) first, then the objective.
std::vector<double> bestGridPoint(const QuadraticFit& fit, std::vector<double> x,
                                  std::span<const double> step, const NewPoint& isNew) {
  const int n = static_cast<int>(x.size());
  const std::vector<double> continuous = x;
  auto rate = [&](const std::vector<double>& y, double& objective) {
    const VectorXd z = fit.toZ(y);
    objective = fit.objective.value(z) / fit.objectiveScale;
    double violation = 0.0;
    for (size_t j = 0; j < fit.constraints.size(); ++j)
      violation += std::max(0.0, fit.constraints[j].value(z) / fit.constraintScales[j]);
    return violation <= 1e-6 ? 0.0 : violation;
  };
  // Better by more than `margin` (scaled model units).
  auto better = [](double va, double fa, double vb, double fb, double margin) {
    return std::abs(va - vb) > margin ? va < vb : fa < fb - margin;
  };
  std::vector<double> below(n), above(n);
  for (int i = 0; i < n; ++i) {
    const double s = step[i] > 0.0 ? step[i] : 0.0;
    x[i] = onGrid(x[i], s);
    below[i] = above[i] = x[i];
    // A value on the grid (to rounding) has no other grid value beside it.
    if (s > 0.0 && std::abs(continuous[i] - x[i]) > 1e-7 * s) {
      below[i] = onGrid(std::floor(continuous[i] / s) * s, s);
      above[i] = onGrid(std::ceil(continuous[i] / s) * s, s);
    }
  }
  double f = 0.0;
  double v = rate(x, f);
  for (int pass = 0; pass < n; ++pass) {
    bool changed = false;
    for (int i = 0; i < n; ++i) {
      std::vector<double> y = x;
      y[i] = x[i] == below[i] ? above[i] : below[i];
      if (y[i] == x[i]) continue;
      double fy = 0.0;
      const double vy = rate(y, fy);
      if (better(vy, fy, v, f, kGridMargin)) {
        x = std::move(y);
        f = fy;
        v = vy;
        changed = true;
      }
    }
    if (!changed) break;
  }
  if (isNew(x)) return x;
  std::vector<std::vector<double>> candidates;
  for (int i = 0; i < n; ++i) {
    if (!(step[i] > 0.0)) continue;
    for (const double direction : {-1.0, 1.0}) {
      candidates.push_back(x);
      candidates.back()[i] = onGrid(x[i] + direction * step[i], step[i]);
    }
  }
  double longest = 0.0;  // the models' step in grid values, largest coordinate
  for (int i = 0; i < n; ++i) {
    if (step[i] > 0.0)
      longest = std::max(longest, std::abs(continuous[i] - fit.centre[i]) / step[i]);
  }
  for (const double stretch : {1.0, 2.0}) {
    if (!(longest > 0.0)) break;
    candidates.emplace_back(n);
    for (int i = 0; i < n; ++i) {
      candidates.back()[i] =
          onGrid(fit.centre[i] + (continuous[i] - fit.centre[i]) * stretch / longest, step[i]);
    }
  }
  std::vector<double> chosen;
  double chosenF = kInfinity, chosenV = kInfinity;
  for (std::vector<double>& y : candidates) {
    if (!isNew(y)) continue;
    double fy = 0.0;
    const double vy = rate(y, fy);
    if (chosen.empty() || better(vy, fy, chosenV, chosenF, 0.0)) {
      chosen = std::move(y);
      chosenF = fy;
      chosenV = vy;
    }
  }
  return chosen.empty() ? x : chosen;
}

// ---------------------------------------------------------------------------------------------
// Cubic radial-basis models with a linear tail, of the objective and every constraint.
// ---------------------------------------------------------------------------------------------

class RadialModel {
 public:
  // Fits to the samples `which`; false when the system cannot be solved.
  bool fit(std::span<const ModelSample> samples, const std::vector<int>& which) {
    n_ = static_cast<int>(samples[which[0]].x.size());
    m_ = static_cast<int>(samples[which[0]].constraints.size());
    const int p = static_cast<int>(which.size());
    centres_.resize(p, n_);
    for (int r = 0; r < p; ++r)
      for (int i = 0; i < n_; ++i) centres_(r, i) = samples[which[r]].x[i];
    // Objective values above the median are cut to it, so that a few huge values do not
    // flatten the model where it matters.
    std::vector<double> objectives;
    for (int r : which) objectives.push_back(samples[r].objective);
    const double cut = median(objectives);
    MatrixXd y = MatrixXd::Zero(p + n_ + 1, 1 + m_);
    for (int r = 0; r < p; ++r) {
      y(r, 0) = std::min(samples[which[r]].objective, cut);
      for (int j = 0; j < m_; ++j) y(r, 1 + j) = samples[which[r]].constraints[j];
    }
    scales_.assign(1 + m_, 1.0);
    for (int j = 0; j <= m_; ++j) scales_[j] = spread(y.col(j).head(p));
    objectiveLow_ = y.col(0).head(p).minCoeff();
    MatrixXd a = MatrixXd::Zero(p + n_ + 1, p + n_ + 1);
    for (int r = 0; r < p; ++r) {
      for (int c = r + 1; c < p; ++c) {
        const double d = (centres_.row(r) - centres_.row(c)).norm();
        a(r, c) = a(c, r) = d * d * d;
      }
      a(r, p) = a(p, r) = 1.0;
      for (int i = 0; i < n_; ++i) a(r, p + 1 + i) = a(p + 1 + i, r) = centres_(r, i);
    }
    weights_ = a.fullPivLu().solve(y);
    return weights_.allFinite();
  }

  // Predictions of the objective (column 0) and of the constraints at x.
  void predict(std::span<const double> x, std::vector<double>& out, double& nearest) const {
    const int p = static_cast<int>(centres_.rows());
    out.assign(1 + m_, 0.0);
    nearest = kInfinity;
    for (int r = 0; r < p; ++r) {
      double d2 = 0.0;
      for (int i = 0; i < n_; ++i) {
        const double t = x[i] - centres_(r, i);
        d2 += t * t;
      }
      nearest = std::min(nearest, d2);
      const double phi = d2 * std::sqrt(d2);
      for (int j = 0; j <= m_; ++j) out[j] += weights_(r, j) * phi;
    }
    for (int j = 0; j <= m_; ++j) {
      double v = weights_(p, j);
      for (int i = 0; i < n_; ++i) v += weights_(p + 1 + i, j) * x[i];
      out[j] += v;
    }
    nearest = std::sqrt(nearest);
  }

  // Sum of the predicted constraint violations, each scaled by its spread.
  double violation(const std::vector<double>& predicted) const {
    double v = 0.0;
    for (int j = 1; j <= m_; ++j) v += std::max(0.0, predicted[j]) / scales_[j];
    return v;
  }

  double objectiveScale() const { return scales_[0]; }
  double objectiveLow() const { return objectiveLow_; }

 private:
  int n_ = 0, m_ = 0;
  MatrixXd centres_;   // designs x variables
  MatrixXd weights_;   // kernel weights, then the constant and linear tail; one column a model
  std::vector<double> scales_;
  double objectiveLow_ = 0.0;
};

// The designs of a radial-basis fit: all when few, else the nearest to the best design and
// the best ones by feasibility and objective.
std::vector<int> radialCentres(std::span<const ModelSample> samples, int best) {
  const int count = static_cast<int>(samples.size());
  if (count <= kRbfCentres) {
    std::vector<int> all(count);
    std::iota(all.begin(), all.end(), 0);
    return all;
  }
  std::vector<int> chosen = nearestIndices(samples, samples[best].x, kRbfNearest);
  std::vector<char> taken(count, 0);
  for (int i : chosen) taken[i] = 1;
  std::vector<int> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::partial_sort(order.begin(), order.begin() + kRbfCentres, order.end(),
                    [&](int a, int b) { return betterSample(samples[a], samples[b]); });
  for (int i : order) {
    if (static_cast<int>(chosen.size()) >= kRbfCentres) break;
    if (!taken[i]) chosen.push_back(i);
  }
  return chosen;
}

// ---------------------------------------------------------------------------------------------
// Proposals
// ---------------------------------------------------------------------------------------------

class ProposalSet {
 public:
  ProposalSet(std::span<const ModelSample> samples, const ModelRequest& request)
      : samples_(samples), request_(request) {}

  // Rounds x to the grid and keeps it when it differs from every sample, `avoid` point and
  // earlier proposal; a colliding point is moved by one step in a random coordinate (a few
  // tries). False when dropped.
  bool add(std::vector<double> x, int code, std::vector<ModelProposal>& out) {
    const int n = static_cast<int>(x.size());
    for (int i = 0; i < n; ++i) x[i] = onGrid(x[i], request_.step[i]);
    for (int attempt = 0; attempt < 8; ++attempt) {
      if (isNew(x, out)) {
        out.push_back({std::move(x), code});
        return true;
      }
      const int i = randomInt(0, n - 1);
      const double step = std::max(request_.step[i], 1e-12);
      double u = x[i] + (flip(0.5f) ? step : -step);
      if (u < 0.0 || u > 1.0) u = x[i] - (u - x[i]);
      x[i] = onGrid(u, request_.step[i]);
    }
    return false;
  }

  // True when x differs from every sample, `avoid` point and proposal by half a step or more.
  bool isNew(std::span<const double> x, const std::vector<ModelProposal>& out) const {
    auto differs = [&](std::span<const double> y) {
      for (size_t i = 0; i < x.size(); ++i)
        if (std::abs(x[i] - y[i]) >= 0.5 * request_.step[i] && std::abs(x[i] - y[i]) > 0.0)
          return true;
      return false;
    };
    for (const ModelSample& s : samples_)
      if (!differs(s.x)) return false;
    for (const std::vector<double>& a : request_.avoid)
      if (!differs(a)) return false;
    for (const ModelProposal& p : out)
      if (!differs(p.x)) return false;
    return true;
  }

 private:
  std::span<const ModelSample> samples_;
  const ModelRequest& request_;
};

double largestChange(std::span<const double> a, std::span<const double> b) {
  double d = 0.0;
  for (size_t i = 0; i < a.size(); ++i) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
}

// Kind of quadratic model that `count` designs support in n variables (about 1.2 times the
// terms), and the number of nearest designs to fit it to.
QuadKind supportedKind(int count, int n) {
  if (count >= static_cast<int>(std::ceil(1.2 * termCount(QuadKind::kFull, n))))
    return QuadKind::kFull;
  if (count >= static_cast<int>(std::ceil(1.2 * termCount(QuadKind::kSeparable, n))))
    return QuadKind::kSeparable;
  return QuadKind::kLinear;
}

int fitSize(QuadKind kind, int n, int count) {
  const int terms = termCount(kind, n);
  return std::min(count, std::max(static_cast<int>(std::ceil(1.5 * terms)), 2 * n + 4));
}

// The `size` designs a local fit is made to: the nearest to `centre`, passing over each that
// lies within `gap` (every-coordinate distance) of one taken before it, and then, when too
// few are left, the nearest of those passed over. Steps at the scale of the grid crowd the
// best design with near copies of it; fitted to those, the models lose the slopes and
// curvatures at the scale of the trust region.
std::vector<int> localFitDesigns(std::span<const ModelSample> samples, int centre, int size,
                                 double gap) {
  const std::vector<int> order =
      nearestIndices(samples, samples[centre].x, static_cast<int>(samples.size()));
  std::vector<int> chosen, passed;
  for (int i : order) {
    if (static_cast<int>(chosen.size()) >= size) break;
    const bool apart = std::none_of(chosen.begin(), chosen.end(), [&](int c) {
      return largestChange(samples[i].x, samples[c].x) < gap;
    });
    (apart ? chosen : passed).push_back(i);
  }
  for (int i : passed) {
    if (static_cast<int>(chosen.size()) >= size) break;
    chosen.push_back(i);
  }
  return chosen;
}

// Raises each constraint model by its largest misfit at the n + 1 designs nearest the
// centre: a step aimed at the modelled boundary of an active constraint then lands inside the
// real one rather than just outside it, where it would count as a failed step. The misfit
// shrinks as the designs gather around the optimum, and with it the margin.
void keepConstraintMargins(std::span<const ModelSample> samples, int centre, QuadraticFit& fit) {
  const int n = static_cast<int>(fit.centre.size());
  const std::vector<int> nearest = nearestIndices(samples, samples[centre].x, n + 1);
  for (size_t j = 0; j < fit.constraints.size(); ++j) {
    double misfit = 0.0;
    for (int r : nearest) {
      const double modelled = fit.constraints[j].value(fit.toZ(samples[r].x));
      misfit = std::max(misfit, std::abs(modelled - samples[r].constraints[j]));
    }
    fit.constraints[j].a += misfit;
  }
}

// Refits each constraint model of a local fit to the same designs, each weighted by how near
// the constraint's boundary it lies: 1 / (|g| / spread + kBoundaryWeight). A step aimed at
// an active constraint lands where the constraint is zero, so that is where its model must
// be accurate; fitted evenly, the designs far inside or outside (large |g|, often the
// steepest part of a stress or a buckling load) set the curvature that misplaces the
// boundary by more than the margin covers.
void fitConstraintsNearBoundary(std::span<const ModelSample> samples,
                                const std::vector<int>& which, QuadKind kind,
                                QuadraticFit& fit) {
  const int n = static_cast<int>(fit.centre.size());
  const int rows = static_cast<int>(which.size());
  const int terms = termCount(kind, n);
  std::vector<double> row(terms);
  MatrixXd a(rows, terms);
  VectorXd y(rows);
  for (size_t j = 0; j < fit.constraints.size(); ++j) {
    for (int r = 0; r < rows; ++r) {
      const ModelSample& s = samples[which[r]];
      const double w =
          1.0 / (std::abs(s.constraints[j]) / fit.constraintScales[j] + kBoundaryWeight);
      basisRow(kind, fit.toZ(s.x), row.data());
      for (int k = 0; k < terms; ++k) a(r, k) = w * row[k];
      y[r] = w * s.constraints[j];
    }
    VectorXd c;
    if (solveScaled(a, y, c)) fit.constraints[j] = quadraticOfCoefficients(kind, n, c);
  }
}

// A trust-region step: the models fitted to the designs near `centre` (localFitDesigns, the
// constraints with their margins), optimised inside the box of half-width `radius` around it
// (at least two grid steps of each variable) and taken to the grid point the models rate best
// (bestGridPoint).
struct LocalStep {
  std::vector<double> x;            // empty when the models could not be fitted
  QuadraticFit fit;
};

LocalStep proposeLocal(std::span<const ModelSample> samples, int centre, double radius,
                       std::span<const double> gridStep, const NewPoint& isNew,
                       std::span<const double> shift = {}) {
  const int n = static_cast<int>(samples[centre].x.size());
  const int count = static_cast<int>(samples.size());
  const QuadKind kind = supportedKind(count, n);
  const std::vector<int> which =
      localFitDesigns(samples, centre, fitSize(kind, n, count), kFitGap * radius);
  LocalStep step;
  const VectorXd at = Eigen::Map<const VectorXd>(samples[centre].x.data(), n);
  // Logarithmic coordinates where they model the designs better than the normalised ones.
  std::span<const double> coordinates;
  if (std::any_of(shift.begin(), shift.end(), [](double s) { return s > 0.0; }) &&
      leaveOneOutError(samples, which, kind, at, shift) <
          leaveOneOutError(samples, which, kind, at, {}))
    coordinates = shift;
  if (!fitQuadratics(samples, which, kind, at, step.fit, coordinates)) return step;
  fitConstraintsNearBoundary(samples, which, kind, step.fit);
  keepConstraintMargins(samples, centre, step.fit);
  std::vector<double> lo(n), hi(n);
  for (int i = 0; i < n; ++i) {
    const double reach = std::max(radius, 2.0 * gridStep[i]);
    lo[i] = std::max(0.0, at[i] - reach);
    hi[i] = std::min(1.0, at[i] + reach);
  }
  step.x = bestGridPoint(step.fit, minimiseQuadratics(step.fit, lo, hi, 2), gridStep, isNew);
  return step;
}

// A space-filling subset of `count` samples (greedy max-min distance from the best design),
// so that a model over the whole box is not ruled by the cluster around the best design.
std::vector<int> spreadSubset(std::span<const ModelSample> samples, int best, int count) {
  const int total = static_cast<int>(samples.size());
  std::vector<double> gap(total, kInfinity);
  std::vector<int> chosen;
  int next = best;
  while (static_cast<int>(chosen.size()) < std::min(count, total)) {
    chosen.push_back(next);
    gap[next] = -1.0;
    int far = -1;
    for (int i = 0; i < total; ++i) {
      if (gap[i] < 0.0) continue;
      gap[i] = std::min(gap[i], squaredDistance(samples[i].x, samples[next].x));
      if (far < 0 || gap[i] > gap[far]) far = i;
    }
    if (far < 0) break;
    next = far;
  }
  return chosen;
}

std::vector<double> proposeGlobal(std::span<const ModelSample> samples, int best,
                                  bool bestHalf) {
  const int n = static_cast<int>(samples[best].x.size());
  const int count = static_cast<int>(samples.size());
  std::vector<int> which;
  if (bestHalf) {
    // The better half of the designs: the response surface of the promising region.
    which.resize(count);
    std::iota(which.begin(), which.end(), 0);
    const int keep = std::max(count / 2, static_cast<int>(std::ceil(1.2 * (2 * n + 1))));
    if (keep < count) {
      std::partial_sort(which.begin(), which.begin() + keep, which.end(),
                        [&](int a, int b) { return betterSample(samples[a], samples[b]); });
      which.resize(keep);
    }
  } else {
    const QuadKind kind = supportedKind(count, n);
    which = spreadSubset(samples, best, std::max(fitSize(kind, n, count), count / 4));
  }
  // A bowl or nothing: the full quadratic when its objective model is convex, else the
  // separable one, whose coordinates without upward curvature stay at the best design's
  // values (there the model knows no optimum, only a slope to a corner).
  const int size = static_cast<int>(which.size());
  QuadKind kind = supportedKind(size, n);
  if (kind == QuadKind::kLinear) return {};
  const VectorXd centre = VectorXd::Constant(n, 0.5);
  QuadraticFit fit;
  if (kind == QuadKind::kFull) {
    if (!fitQuadratics(samples, which, kind, centre, fit)) return {};
    Eigen::SelfAdjointEigenSolver<MatrixXd> eig(fit.objective.h, Eigen::EigenvaluesOnly);
    if (eig.eigenvalues().minCoeff() <= 1e-9 * eig.eigenvalues().cwiseAbs().maxCoeff())
      kind = QuadKind::kSeparable;
  }
  if (kind == QuadKind::kSeparable && !fitQuadratics(samples, which, kind, centre, fit))
    return {};
  std::vector<double> lo(n, 0.0), hi(n, 1.0);
  if (kind == QuadKind::kSeparable) {
    int free = 0;
    for (int i = 0; i < n; ++i) {
      if (fit.objective.h(i, i) > 0.0) {
        ++free;
      } else {
        lo[i] = hi[i] = samples[best].x[i];
      }
    }
    if (free == 0) return {};
  }
  return minimiseQuadratics(fit, lo, hi, 2);
}

// Radial-basis candidate search: candidates perturb the best design in a random subset of
// coordinates (Gaussian steps of about the trust radius) or are uniform over the box. In the
// local phase they all perturb the best design: while the local models predict well, an
// explored design serves them best beside the best design, where it spreads the designs the
// next fits are made to; far away it is spent on what the steps cannot follow up. The chosen
// one is predicted feasible if any is, and the best by a weighted sum of its scaled
// prediction and its closeness to the evaluated designs. The candidates are rated where they
// will be evaluated, on the grid: one that lands on an evaluated design is no candidate.
std::vector<double> proposeExplore(std::span<const ModelSample> samples, int best,
                                   const ModelSearchState& state, double weight,
                                   const std::vector<ModelProposal>& sofar,
                                   std::span<const double> step) {
  const int n = static_cast<int>(samples[best].x.size());
  RadialModel model;
  if (!model.fit(samples, radialCentres(samples, best))) return {};
  const int candidates = std::clamp(100 * n, 300, 1000);
  const double probability = std::min(1.0, 5.0 / n);
  const double sigma = std::max(state.radius, 1e-4);
  std::vector<std::vector<double>> points;
  std::vector<double> predicted, nearest, violation;
  std::vector<double> out;
  for (int c = 0; c < candidates; ++c) {
    std::vector<double> x = samples[best].x;
    if (c % 5 == 4 && !state.localPhase) {
      for (double& u : x) u = nextUniform();
    } else {
      const double s = (c % 5 == 3) ? 0.1 * sigma : sigma;
      bool changed = false;
      for (int i = 0; i < n; ++i) {
        if (nextUniform() < probability) {
          x[i] += s * normalDeviate();
          changed = true;
        }
      }
      if (!changed) {
        const int i = randomInt(0, n - 1);
        x[i] += s * normalDeviate();
      }
      for (double& u : x) {
        if (u < 0.0) u = std::min(-u, 1.0);
        if (u > 1.0) u = std::max(2.0 - u, 0.0);
      }
    }
    for (int i = 0; i < n; ++i) x[i] = onGrid(x[i], step[i]);
    double d = 0.0;
    model.predict(x, out, d);
    for (const ModelProposal& p : sofar) d = std::min(d, std::sqrt(squaredDistance(p.x, x)));
    points.push_back(std::move(x));
    predicted.push_back(out[0]);
    nearest.push_back(d);
    violation.push_back(model.violation(out));
  }
  const double minViolation = *std::min_element(violation.begin(), violation.end());
  double pLow = kInfinity, pHigh = -kInfinity, dLow = kInfinity, dHigh = -kInfinity;
  for (int c = 0; c < candidates; ++c) {
    if (violation[c] > minViolation) continue;
    pLow = std::min(pLow, predicted[c]);
    pHigh = std::max(pHigh, predicted[c]);
    dLow = std::min(dLow, nearest[c]);
    dHigh = std::max(dHigh, nearest[c]);
  }
  int chosen = -1;
  double bestScore = kInfinity;
  double smallestStep = kInfinity;
  for (double s : step)
    if (s > 0.0) smallestStep = std::min(smallestStep, s);
  const double same = std::isfinite(smallestStep) ? 0.5 * smallestStep : 0.0;
  for (int c = 0; c < candidates; ++c) {
    if (violation[c] > minViolation || nearest[c] <= same) continue;
    const double sp = pHigh > pLow ? (predicted[c] - pLow) / (pHigh - pLow) : 0.0;
    const double sd = dHigh > dLow ? (dHigh - nearest[c]) / (dHigh - dLow) : 0.0;
    const double score = weight * sp + (1.0 - weight) * sd;
    if (score < bestScore) {
      bestScore = score;
      chosen = c;
    }
  }
  if (chosen < 0) return {};
  return points[chosen];
}

class RadialScreening final : public ScreeningModel {
 public:
  explicit RadialScreening(RadialModel model) : model_(std::move(model)) {}

  double score(std::span<const double> x) const override {
    std::vector<double> out;
    double nearest = 0.0;
    model_.predict(x, out, nearest);
    const double predicted = (out[0] - model_.objectiveLow()) / model_.objectiveScale();
    return predicted - 0.05 * std::sqrt(nearest) + 1e3 * model_.violation(out);
  }

 private:
  RadialModel model_;
};

// Adds the trust-region step around samples[centre] with what the ratio of actual to
// predicted improvement needs. False when there is no model or no new design.
bool addLocal(ProposalSet& set, std::span<const ModelSample> samples, int centre,
              double radius, int region, const ModelRequest& request, const NewPoint& isNew,
              std::vector<ModelProposal>& out) {
  LocalStep step = proposeLocal(samples, centre, radius, request.step, isNew, request.logShift);
  if (step.x.empty() || !set.add(step.x, kDecisionLocal, out)) return false;
  ModelProposal& p = out.back();
  const int n = static_cast<int>(p.x.size());
  p.predictedGain = step.fit.objective.value(VectorXd::Zero(n)) -
                    step.fit.objective.value(step.fit.toZ(p.x));
  p.centreObjective = samples[centre].objective;
  p.centreViolation = totalViolation(samples[centre]);
  p.stepLength = largestChange(p.x, samples[centre].x);
  p.radius = radius;
  p.region = region;
  p.alone = request.count == 1 && request.avoid.empty();
  return true;
}

// The best designs of other basins: first `modelled` (when not negative: the design nearest
// the optimum of the global model), then, best first, the better fifth of the designs (at
// least 2n + 4); each taken when it lies further than `apart` (in every-coordinate distance)
// from the best design and from the basins taken before it, and dropped when its basin has
// converged: its nearest other design lies within `converged`. With each its trust radius:
// that nearest distance, at most kBasinRadius, so that a basin's region narrows as its
// designs gather. At most four basins.
std::vector<std::pair<int, double>> basinCentres(std::span<const ModelSample> samples,
                                                 int best, int modelled, double apart,
                                                 double converged) {
  const int count = static_cast<int>(samples.size());
  const int n = static_cast<int>(samples[best].x.size());
  std::vector<int> order(count);
  std::iota(order.begin(), order.end(), 0);
  const int good = std::min(count, std::max(count / 5, 2 * n + 4));
  std::partial_sort(order.begin(), order.begin() + good, order.end(),
                    [&](int a, int b) { return betterSample(samples[a], samples[b]); });
  order.resize(good);
  if (modelled >= 0) order.insert(order.begin(), modelled);
  std::vector<int> taken{best};
  std::vector<std::pair<int, double>> out;
  for (int i : order) {
    if (out.size() >= 4) break;
    if (std::any_of(taken.begin(), taken.end(), [&](int c) {
          return largestChange(samples[i].x, samples[c].x) <= apart;
        })) {
      continue;
    }
    taken.push_back(i);
    double nearest = kInfinity;
    for (int j = 0; j < count; ++j)
      if (j != i) nearest = std::min(nearest, largestChange(samples[i].x, samples[j].x));
    if (nearest <= converged) continue;
    out.push_back({i, std::min(kBasinRadius, nearest)});
  }
  return out;
}

// The smallest trust radius worth a step: two grid steps of the finest variable (a variable
// of a few values would otherwise keep every region at the size of the box).
double shortestRadius(const ModelRequest& request) {
  double smallestStep = 0.0;
  for (double s : request.step)
    if (s > 0.0 && (smallestStep == 0.0 || s < smallestStep)) smallestStep = s;
  return std::max(2.0 * smallestStep, 1e-6);
}

// What the designs tell of the landscape around the settled best design: whether it lies in
// one of many basins, and the width of those basins along each coordinate.
struct Landscape {
  bool manyBasins = false;
  std::vector<double> basinWidth;  // per coordinate, or empty: not known
};

// The separable quadratic of the designs nearest the best design against that of the spread
// subset, coordinate by coordinate, in the variables' own units. The landscape has many
// basins when the first curves much more sharply than the second (kRuggedRatio). Ripples of
// height A and width w curve 4 pi^2 A / w^2 at their bottoms, and their heights show in the
// global model's misfit (for ripples alike in n coordinates its root mean square is about
// A sqrt(n / 2)): that gives each coordinate's width, trusted when the coordinates' widths
// agree within kWidthAgreement, as they do on a lattice of basins.
Landscape surveyLandscape(std::span<const ModelSample> samples, int best) {
  Landscape land;
  const int n = static_cast<int>(samples[best].x.size());
  const int count = static_cast<int>(samples.size());
  const int local = fitSize(QuadKind::kSeparable, n, count);
  if (supportedKind(local, n) == QuadKind::kLinear) return land;
  QuadraticFit near, far;
  const std::vector<double>& x = samples[best].x;
  const std::vector<int> spread = spreadSubset(samples, best, std::max(local, count / 4));
  if (!fitQuadratics(samples, nearestIndices(samples, x, local), QuadKind::kSeparable,
                     Eigen::Map<const VectorXd>(x.data(), n), near) ||
      !fitQuadratics(samples, spread, QuadKind::kSeparable, VectorXd::Constant(n, 0.5), far))
    return land;
  // A coordinate along which the global model curves down or not at all (the side of a
  // valley's bend, a slope) tells nothing of ripples: it has no say.
  std::vector<double> ratio, curvature(n);
  for (int i = 0; i < n; ++i) {
    const double global = far.objective.h(i, i) / (far.scale * far.scale);
    curvature[i] = near.objective.h(i, i) / (near.scale * near.scale);
    if (global > 0.0) ratio.push_back(curvature[i] / global);
  }
  land.manyBasins = !ratio.empty() && median(ratio) > kRuggedRatio;
  if (!land.manyBasins) return land;
  double misfit = 0.0;
  for (int r : spread) {
    const double e = samples[r].objective - far.objective.value(far.toZ(samples[r].x));
    misfit += e * e;
  }
  const double height = std::sqrt(misfit / static_cast<double>(spread.size()) * 2.0 / n);
  std::vector<double> width(n);
  for (int i = 0; i < n; ++i) {
    if (!(curvature[i] > 0.0)) return land;
    width[i] = 2.0 * M_PI * std::sqrt(height / curvature[i]);
  }
  const auto [narrowest, widest] = std::minmax_element(width.begin(), width.end());
  if (*narrowest > 0.0 && *widest <= kWidthAgreement * *narrowest) land.basinWidth = width;
  return land;
}

// A sweep of coordinate hops from the settled best design, when it has one objective and no
// constraints and lies in one of many basins. There a design whose basin has converged often
// lies in the wrong basin in only a few coordinates; the operators' designs seldom land near
// enough to the bottom of the right one to beat it, and a full step of the trust region
// cannot cross the ridges. The global model's optimum says where each coordinate's trend
// points, but not accurately enough to name the basin: where the basins' width is known,
// each hop goes to the basin the trend points at, and at least to the next one that way (a
// hop within the best design's own basin would only find its bottom again). The coordinates
// furthest from their targets hop first; the local phase makes the hops' designs one batch
// at a time.
void startSweep(std::span<const ModelSample> samples, int best, const ModelRequest& request,
                ModelSearchState& state) {
  if (!request.followBest || !samples[best].constraints.empty()) return;
  // Once per best design: a sweep from the design of the last one would repeat its hops.
  if (!(samples[best].objective < state.sweepFrom)) return;
  const Landscape land = surveyLandscape(samples, best);
  if (!land.manyBasins) return;
  std::vector<double> target = proposeGlobal(samples, best, false);
  if (target.empty()) return;
  const std::vector<double>& x = samples[best].x;
  const int n = static_cast<int>(x.size());
  for (int i = 0; i < n && !land.basinWidth.empty(); ++i) {
    const double d = target[i] - x[i], w = land.basinWidth[i];
    if (std::abs(d) <= kHopLeast || !(w < kWidestBasin)) continue;
    const double basins = std::max(1.0, std::round(std::abs(d) / w));
    target[i] = std::clamp(x[i] + std::copysign(basins * w, d), 0.0, 1.0);
  }
  std::vector<int> order;
  for (int i = 0; i < n; ++i)
    if (request.step[i] > 0.0 && std::abs(target[i] - x[i]) > kHopLeast) order.push_back(i);
  if (order.empty()) return;
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return std::abs(target[a] - x[a]) > std::abs(target[b] - x[b]);
  });
  state.hopTarget = std::move(target);
  state.hopOrder = std::move(order);
  state.hopCoordinate = -1;
  state.sweepFrom = samples[best].objective;
  state.localPhase = 1;
}

// The radius halves on below two grid steps with each failure, so that the region restarts
// only when the models' best grid points nearby have failed kFailuresAtGrid times: then it
// has nothing left to find. The local phase ends and the rotation explores, unless a sweep of
// coordinate hops starts.
void restartIfShrunk(std::span<const ModelSample> samples, int best,
                     const ModelRequest& request, ModelSearchState& state) {
  if (state.radius >= std::max(std::ldexp(shortestRadius(request), -kFailuresAtGrid), 1e-6))
    return;
  state.radius = kRadiusRestart;
  state.failures = 0;
  state.localPhase = 0;
  state.nextKind = kRotationExplore;
  startSweep(samples, best, request, state);
}

// The minimum of the parabola through three points (u, f), the best first; without upward
// curvature, the best point moved away from the other two by twice its distance from their
// middle.
double parabolaMinimum(const std::array<std::pair<double, double>, 3>& p) {
  const auto [u0, f0] = p[0];
  const auto [u1, f1] = p[1];
  const auto [u2, f2] = p[2];
  const double d = (u0 - u1) * (u0 - u2) * (u1 - u2);
  if (d == 0.0) return u0;
  const double a = (u2 * (f1 - f0) + u1 * (f0 - f2) + u0 * (f2 - f1)) / d;
  const double b = (u2 * u2 * (f0 - f1) + u1 * u1 * (f2 - f0) + u0 * u0 * (f1 - f2)) / d;
  return a > 0.0 ? -b / (2.0 * a) : u0 + 2.0 * (u0 - 0.5 * (u1 + u2));
}

// The next design of the sweep under way: the current hop's base design with its coordinate
// at the target, then a spacing (a kHopDivisions-th of the hop, at least four grid steps)
// below and above it, then the minimum of the parabola through the three best designs of
// that line, at most two spacings from the best. A hop ends after kHopDesigns designs or when
// the parabola points at a design it has; the next coordinate's hop starts from the best
// design then, so that what one hop gained carries into the next. Empty when the next design
// must wait for the evaluation of the line's designs pending in this request or still
// running (`avoid`), or when the sweep is over: then the local phase goes on when the sweep
// improved the best design, and ends when it did not.
std::vector<double> nextHopDesign(std::span<const ModelSample> samples, int best,
                                  const ModelRequest& request, ModelSearchState& state,
                                  const std::vector<ModelProposal>& pending) {
  for (;;) {
    if (state.hopCoordinate < 0) {
      if (state.hopOrder.empty()) {
        if (!(samples[best].objective < state.sweepFrom)) state.localPhase = 0;
        state.hopTarget.clear();
        return {};
      }
      state.hopCoordinate = state.hopOrder.front();
      state.hopOrder.erase(state.hopOrder.begin());
      state.hopBase = samples[best].x;
      state.hopMade = 0;
    }
    const int i = state.hopCoordinate;
    const int n = static_cast<int>(state.hopBase.size());
    const double target = state.hopTarget[i];
    const double spacing = std::max(std::abs(target - state.hopBase[i]) / kHopDivisions,
                                    4.0 * request.step[i]);
    if (state.hopMade >= kHopDesigns) {
      state.hopCoordinate = -1;
      continue;
    }
    // The evaluated designs on the line through the base along coordinate i, near the target
    // (within a grid step of the base in every other coordinate: a proposal that collides
    // with an evaluated design moves by one).
    const auto onLine = [&](std::span<const double> x) {
      bool on = std::abs(x[i] - target) <= 4.0 * spacing;
      for (int j = 0; j < n && on; ++j)
        on = j == i || std::abs(x[j] - state.hopBase[j]) <= 1.5 * request.step[j];
      return on;
    };
    std::vector<std::pair<double, double>> line;
    for (const ModelSample& s : samples)
      if (onLine(s.x)) line.push_back({s.x[i], s.objective});
    // Its designs not evaluated yet: this request's and those still running.
    std::vector<double> waiting;
    for (const ModelProposal& p : pending)
      if (onLine(p.x)) waiting.push_back(p.x[i]);
    for (const std::vector<double>& a : request.avoid)
      if (onLine(a)) waiting.push_back(a[i]);
    const auto known = [&](double u) {
      for (const auto& point : line)
        if (std::abs(point.first - u) < 0.25 * spacing) return true;
      for (double w : waiting)
        if (std::abs(w - u) < 0.25 * spacing) return true;
      return false;
    };
    const auto hop = [&](double u) {
      std::vector<double> x = state.hopBase;
      x[i] = std::clamp(u, 0.0, 1.0);
      ++state.hopMade;
      return x;
    };
    if (!known(target)) return hop(target);
    if (line.size() < 3) {
      if (!known(target - spacing) && target - spacing >= 0.0) return hop(target - spacing);
      if (!known(target + spacing) && target + spacing <= 1.0) return hop(target + spacing);
      if (line.size() < 3 && !waiting.empty()) return {};
      if (line.size() < 3) {
        state.hopCoordinate = -1;
        continue;
      }
    }
    std::partial_sort(line.begin(), line.begin() + 3, line.end(),
                      [](const auto& a, const auto& b) { return a.second < b.second; });
    const double u = std::clamp(parabolaMinimum({line[0], line[1], line[2]}),
                                line[0].first - 2.0 * spacing, line[0].first + 2.0 * spacing);
    double nearest = kInfinity;
    for (const auto& point : line) nearest = std::min(nearest, std::abs(point.first - u));
    if (nearest < std::max(1e-3 * spacing, 2.0 * request.step[i])) {
      state.hopCoordinate = -1;
      continue;
    }
    return hop(u);
  }
}

// A best design that lies further than the trust radius from the last request's was found by
// something other than this region's steps (an operator, the global model, another basin),
// and the radius that the old centre's failures shrank says nothing of the new centre's
// surroundings: the region takes half the distance moved (at most the restart radius). On a
// rugged plateau, one failed step a generation would otherwise shrink the region to the
// ripples long before the search reaches a funnel, and its steps then crawl.
void followMovedBest(std::span<const double> best, ModelSearchState& state) {
  if (state.centre.size() == best.size()) {
    const double moved = largestChange(best, state.centre);
    if (moved > state.radius) {
      state.radius = std::max(state.radius, std::min(kMovedRadiusShare * moved, kRadiusRestart));
    }
  }
  state.centre.assign(best.begin(), best.end());
}

}  // namespace

std::vector<ModelProposal> proposeModelDesigns(std::span<const ModelSample> samples,
                                               const ModelRequest& request,
                                               ModelSearchState& state) {
  std::vector<ModelProposal> proposals;
  if (samples.empty() || request.count <= 0) return proposals;
  const int n = static_cast<int>(samples[0].x.size());
  if (n == 0 || static_cast<int>(samples.size()) < n + 2) return proposals;
  const int best = incumbentIndex(samples);
  restartIfShrunk(samples, best, request, state);
  if (state.sweepAsked != 0) {
    state.sweepAsked = 0;
    if (state.hopTarget.empty()) startSweep(samples, best, request, state);
  }
  if (request.followBest) followMovedBest(samples[best].x, state);
  // The trust region spans at least two grid steps of each variable: smaller, its steps would
  // round back onto the best design.
  const double radius = std::max(state.radius, shortestRadius(request));
  ModelSearchState region = state;
  region.radius = radius;
  ProposalSet set(samples, request);
  const NewPoint isNew = [&](std::span<const double> x) { return set.isNew(x, proposals); };
  bool localDone = false, globalDone = false, cautiousDone = false;
  for (int k = 0; k < request.count; ++k) {
    const int slot = state.nextKind;
    state.nextKind = (state.nextKind + 1) % (kRotationLength * 4);
    int code = kRotation[slot % kRotationLength];
    if (!state.hopTarget.empty()) {
      std::vector<double> x = nextHopDesign(samples, best, request, state, proposals);
      if (!x.empty() && set.add(std::move(x), kDecisionExplore, proposals)) continue;
    }
    // One trust-region optimum and one global design per request (a second would repeat
    // the first); a second local turn takes a cautious step, the optimum of the same models
    // in a region of a quarter of the radius, which succeeds where the full step overshoots.
    // One turn of the rotation goes to the trust regions of other basins, in turn.
    if (code == kDecisionLocal && localDone && !cautiousDone) {
      cautiousDone = true;
      if (addLocal(set, samples, best, radius * kCautiousRadius, 0, request, isNew, proposals))
        continue;
    } else if (request.basins && slot % kRotationLength == kRotationBasin) {
      // Every other basin turn starts from the basin the global model points at.
      int modelled = -1;
      if (state.basinTurn % 2 == 0) {
        const std::vector<double> g = proposeGlobal(samples, best, true);
        if (!g.empty()) modelled = nearestIndices(samples, g, 1).front();
      }
      const auto basins =
          basinCentres(samples, best, modelled, kBasinApart, shortestRadius(request));
      const int turn = state.basinTurn++;
      if (!basins.empty()) {
        const auto& [centre, basinRadius] =
            modelled >= 0 ? basins.front() : basins[(turn / 2) % basins.size()];
        if (addLocal(set, samples, centre, basinRadius, 1, request, isNew, proposals)) continue;
      }
    }
    if ((code == kDecisionLocal && localDone) || (code == kDecisionGlobal && globalDone))
      code = kDecisionExplore;
    std::vector<double> x;
    if (code == kDecisionLocal) {
      localDone = true;
      if (addLocal(set, samples, best, radius, 0, request, isNew, proposals)) continue;
    } else if (code == kDecisionGlobal) {
      globalDone = true;
      x = proposeGlobal(samples, best, (slot / kRotationLength) % 2 == 1);
    }
    if (!x.empty() && set.add(x, code, proposals)) continue;
    // No model, or no new design from it: explore instead.
    const double weight = kExploreWeights[(slot / 2) % 4];
    x = proposeExplore(samples, best, region, weight, proposals, request.step);
    if (!x.empty()) set.add(std::move(x), kDecisionExplore, proposals);
  }
  return proposals;
}

void noteLocalStep(ModelSearchState& state, const ModelProposal& proposal,
                   const ModelSample* result, bool moveRadius) {
  if (proposal.code != kDecisionLocal || proposal.region != 0) return;
  double ratio = -1.0;
  bool broke = false;  // the step broke a constraint that the centre met
  if (result) {
    const double violation = totalViolation(*result);
    broke = proposal.centreViolation == 0.0 && violation > 0.0;
    if (proposal.centreViolation > 0.0) {
      ratio = violation < proposal.centreViolation ? 1.0 : -1.0;
    } else if (violation == 0.0) {
      const double gain = proposal.centreObjective - result->objective;
      ratio = proposal.predictedGain > 0.0 ? gain / proposal.predictedGain
                                           : (gain > 0.0 ? 1.0 : -1.0);
    }
  }
  state.ratio = ratio;
  state.accurate = ratio >= 0.5 && ratio <= 2.0 ? state.accurate + 1 : 0;
  if (!moveRadius) {
    if (state.accurate >= kAccurateSteps) state.localPhase = 1;
    return;
  }
  if (ratio <= 0.0) {
    state.radius *= 0.5;
  } else if (ratio >= 0.1 && proposal.stepLength >= 0.5 * proposal.radius) {
    state.radius = std::max(state.radius, std::min(2.0 * proposal.radius, kRadiusMax));
  }
  if (ratio > 0.0) {
    ++state.successes;
    state.failures = 0;
    // While local steps succeed, the rotation stays on them.
    state.nextKind = (state.nextKind / kRotationLength) * kRotationLength;
  } else {
    ++state.failures;
    state.successes = 0;
  }
  if (state.accurate >= kAccurateSteps) state.localPhase = 1;
  // A step aimed at an active constraint's modelled boundary that lands just outside it
  // tells the next step's models where the boundary lies: made one at a time, the steps go
  // on (on a spring at 100 designs the phase otherwise ended at every step that crossed a
  // boundary by 1e-7, and the generation's mix spent the designs). Made a batch at a time,
  // the batch's other steps came from the same models, so the generations' mix takes over.
  // Steps that fail three times in a row have settled the best design's basin as well as a
  // restart has: on a landscape of many basins the next request sweeps the coordinates.
  if (state.failures >= 3 || (broke && !proposal.alone)) {
    if (state.failures >= 3 && state.localPhase == 1) state.sweepAsked = 1;
    state.localPhase = 0;
  }
}

void noteModelOutcome(ModelSearchState& state, int code, bool improved) {
  if (code != kDecisionLocal) return;
  if (improved) {
    state.radius = std::min(2.0 * state.radius, kRadiusMax);
    ++state.successes;
    state.failures = 0;
    // While local steps succeed, the rotation stays on them.
    state.nextKind = (state.nextKind / kRotationLength) * kRotationLength;
  } else {
    state.radius *= 0.5;
    ++state.failures;
    state.successes = 0;
  }
}

std::unique_ptr<ScreeningModel> fitScreeningModel(std::span<const ModelSample> samples) {
  if (samples.empty()) return nullptr;
  const int n = static_cast<int>(samples[0].x.size());
  if (n == 0 || static_cast<int>(samples.size()) < n + 2) return nullptr;
  RadialModel model;
  if (!model.fit(samples, radialCentres(samples, incumbentIndex(samples)))) return nullptr;
  return std::make_unique<RadialScreening>(std::move(model));
}

}  // namespace karvo::search
