// Radial basis function kernels and the fitted interpolant (see radial_basis.h). A fit costs
// one LU factorisation and one inverse of the (N + d + 1)-square interpolation system per
// shape tried (about 36 with the shape search); an evaluation is one pass over the centres.
#include "external/radial_basis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <utility>

#include "base/messages.h"

namespace karvo::support {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

const char* const kHeader = "Radial Basis Function model data";

// Below this estimated reciprocal condition number the system gets a ridge. LU with partial
// pivoting leaves small residuals also in badly conditioned systems, so the ridge is kept for
// those near to singular, where the weights would otherwise be lost to rounding.
constexpr double kIllConditioned = 1e-15;
// With the largest ridge the system is still accepted down to this reciprocal condition.
constexpr double kSingular = 1e-18;
// The ridge, relative to the largest column sum of |A|: first and largest.
constexpr double kFirstRidge = 1e-14;
constexpr double kLargestRidge = 1e-6;

// The shape search: grid of log-spaced shapes from kGridLow / h to kGridHigh / h, then
// golden-section steps between the neighbours of the best grid shape.
constexpr int kGridShapes = 15;
constexpr double kGridLow = 0.02;
constexpr double kGridHigh = 20.0;
constexpr int kGoldenSteps = 12;
// The search passes over shapes whose system is worse conditioned than this: their
// leave-one-out residuals are lost to rounding, and near the flat limit they would need a ridge.
constexpr double kSearchConditioned = 1e-12;

// A column of P = [1 u] counts as determined by the points above this relative pivot.
constexpr double kPolynomialRankThreshold = 1e-10;

double squaredDistance(std::span<const double> x, std::span<const double> y) {
  double sum = 0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    const double d = x[k] - y[k];
    sum += d * d;
  }
  return sum;
}

// The kernels that give the same model for every shape (up to the polynomial part).
bool shapeFree(const RadialBasisFunctionBase& kernel) {
  const std::string name = kernel.name();
  return name == "RBFLinear" || name == "RBFCubic" || name == "RBFThinPlateSpline";
}

std::string real(double value) { return formatText("%.17g", value); }

// FNV-1a, 64 bits, of each line followed by "\n".
std::uint64_t checksumOf(const std::vector<std::string>& lines, std::size_t count) {
  std::uint64_t hash = 14695981039346656037ull;
  for (std::size_t i = 0; i < count; ++i) {
    for (unsigned char ch : lines[i]) {
      hash ^= ch;
      hash *= 1099511628211ull;
    }
    hash ^= static_cast<unsigned char>('\n');
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Kernels
// ---------------------------------------------------------------------------------------------

RadialBasisFunctionBase::RadialBasisFunctionBase(double shape, int definiteSign)
    : sign_(definiteSign) {
  setShape(shape);
}

void RadialBasisFunctionBase::setShape(double shape) {
  if (shape > 0 && std::isfinite(shape)) {
    c_ = shape;
    c2_ = shape * shape;
    c3_ = c2_ * shape;
  } else {
    c_ = 0.001;
    c2_ = 1e-6;
    c3_ = 1e-9;
  }
}

void RadialBasisFunctionBase::copyShape(const RadialBasisFunctionBase& other) {
  c_ = other.c_;
  c2_ = other.c2_;
  c3_ = other.c3_;
}

double RadialBasisFunctionBase::value(std::span<const double> x, std::span<const double> y) const {
  if (x.size() != y.size()) return kNaN;
  return profile(squaredDistance(x, y));
}

bool RadialBasisFunctionBase::gradientX(std::span<const double> x, std::span<const double> y,
                                        std::vector<double>& gradient) const {
  gradient.assign(x.size(), 0.0);
  if (x.size() != y.size()) return false;
  double slope = 0;
  if (!profileSlope(squaredDistance(x, y), slope)) return false;
  for (std::size_t k = 0; k < x.size(); ++k) gradient[k] = 2.0 * slope * (x[k] - y[k]);
  return true;
}

bool RadialBasisFunctionBase::gradientY(std::span<const double> x, std::span<const double> y,
                                        std::vector<double>& gradient) const {
  const bool formed = gradientX(x, y, gradient);
  for (double& g : gradient) g = -g;
  return formed;
}

Eigen::MatrixXd RadialBasisFunctionBase::kernelMatrix(
    const std::vector<std::vector<double>>& points) const {
  const Eigen::Index n = static_cast<Eigen::Index>(points.size());
  Eigen::MatrixXd matrix(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    matrix(i, i) = value(points[i], points[i]);
    for (Eigen::Index j = 0; j < i; ++j) {
      matrix(i, j) = value(points[i], points[j]);
      matrix(j, i) = matrix(i, j);
    }
  }
  return matrix;
}

std::unique_ptr<IKernelFunction> RBFGaussian::clone() const {
  auto copy = std::make_unique<RBFGaussian>();
  copy->copyShape(*this);
  return copy;
}
double RBFGaussian::profile(double r2) const { return std::exp(-c2_ * r2); }
bool RBFGaussian::profileSlope(double r2, double& slope) const {
  slope = -c2_ * std::exp(-c2_ * r2);
  return true;
}

std::unique_ptr<IKernelFunction> RBFMultiQuadratic::clone() const {
  auto copy = std::make_unique<RBFMultiQuadratic>();
  copy->copyShape(*this);
  return copy;
}
double RBFMultiQuadratic::profile(double r2) const { return std::sqrt(c2_ * r2 + 1.0); }
bool RBFMultiQuadratic::profileSlope(double r2, double& slope) const {
  slope = 0.5 * c2_ / std::sqrt(c2_ * r2 + 1.0);
  return true;
}

std::unique_ptr<IKernelFunction> RBFInvMultiQuadratic::clone() const {
  auto copy = std::make_unique<RBFInvMultiQuadratic>();
  copy->copyShape(*this);
  return copy;
}
double RBFInvMultiQuadratic::profile(double r2) const { return 1.0 / std::sqrt(c2_ * r2 + 1.0); }
bool RBFInvMultiQuadratic::profileSlope(double r2, double& slope) const {
  const double q = c2_ * r2 + 1.0;
  slope = -0.5 * c2_ / (q * std::sqrt(q));
  return true;
}

std::unique_ptr<IKernelFunction> RBFLinear::clone() const {
  auto copy = std::make_unique<RBFLinear>();
  copy->copyShape(*this);
  return copy;
}
double RBFLinear::profile(double r2) const { return c_ * std::sqrt(r2); }
bool RBFLinear::profileSlope(double r2, double& slope) const {
  if (r2 < 1e-8) {
    slope = 0;
    return false;
  }
  slope = 0.5 * c_ / std::sqrt(r2);
  return true;
}

std::unique_ptr<IKernelFunction> RBFThinPlateSpline::clone() const {
  auto copy = std::make_unique<RBFThinPlateSpline>();
  copy->copyShape(*this);
  return copy;
}
double RBFThinPlateSpline::profile(double r2) const {
  return r2 > 0 ? c2_ * r2 * std::log(c_ * std::sqrt(r2)) : 0.0;
}
bool RBFThinPlateSpline::profileSlope(double r2, double& slope) const {
  // d/d(r^2) of c^2 r^2 ln(c r) = c^2 (ln(c r) + 1/2); times 2 (x - y) it tends to 0 at r = 0.
  slope = r2 > 0 ? c2_ * (std::log(c_ * std::sqrt(r2)) + 0.5) : 0.0;
  return true;
}

std::unique_ptr<IKernelFunction> RBFCubic::clone() const {
  auto copy = std::make_unique<RBFCubic>();
  copy->copyShape(*this);
  return copy;
}
double RBFCubic::profile(double r2) const { return c3_ * r2 * std::sqrt(r2); }
bool RBFCubic::profileSlope(double r2, double& slope) const {
  slope = 1.5 * c3_ * std::sqrt(r2);
  return true;
}

std::unique_ptr<RadialBasisFunctionBase> makeRadialBasisFunction(const std::string& name,
                                                                  double shape,
                                                                  std::string& error) {
  if (name == "RBFGaussian") return std::make_unique<RBFGaussian>(shape);
  if (name == "RBFMultiQuadratic") return std::make_unique<RBFMultiQuadratic>(shape);
  if (name == "RBFInvMultiQuadratic") return std::make_unique<RBFInvMultiQuadratic>(shape);
  if (name == "RBFLinear") return std::make_unique<RBFLinear>(shape);
  if (name == "RBFThinPlateSpline") return std::make_unique<RBFThinPlateSpline>(shape);
  if (name == "RBFCubic") return std::make_unique<RBFCubic>(shape);
  error = formatText(
      "Unrecognized radial basis function kernel \"%s\"; the kernels are RBFGaussian, "
      "RBFMultiQuadratic, RBFInvMultiQuadratic, RBFLinear, RBFThinPlateSpline and RBFCubic.",
      name.c_str());
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The fitted model
// ---------------------------------------------------------------------------------------------

// The interpolation system of one shape, factorised.
struct RadialBasisFunctionFit::System {
  Eigen::PartialPivLU<Eigen::MatrixXd> lu;
  double reciprocalCondition = 0;  // estimate, of the system with the ridge
  double ridge = 0;                // signed, added to the diagonal of A
  Eigen::VectorXd solution;        // w (N), then the used polynomial coefficients
  Eigen::VectorXd loo;             // leave-one-out residuals, normalised units
  bool solved = false;
};

RadialBasisFunctionFit::RadialBasisFunctionFit(std::vector<std::vector<double>> points,
                                               std::vector<double> responses,
                                               const IRadialBasisFunction& kernel)
    : points_(std::move(points)), responses_(std::move(responses)) {
  std::unique_ptr<IKernelFunction> copy = kernel.clone();
  if (auto* radial = dynamic_cast<RadialBasisFunctionBase*>(copy.get())) {
    copy.release();
    kernel_.reset(radial);
  }
}

void RadialBasisFunctionFit::setShape(double shape) {
  fixedShape_ = (shape > 0 && std::isfinite(shape)) ? shape : 0.0;
  fitted_ = false;
}

void RadialBasisFunctionFit::clearFit() {
  fitted_ = false;
  shapeChosen_ = false;
  ridge_ = 0;
  weights_.clear();
  polynomial_.clear();
  looResiduals_.clear();
}

void RadialBasisFunctionFit::normaliseCentres() {
  const std::size_t n = points_.size();
  const std::size_t d = static_cast<std::size_t>(variables_);
  unit_.assign(n * d, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t k = 0; k < d; ++k)
      unit_[i * d + k] = (points_[i][k] - minimum_[k]) / range_[k];
}

// Checks the data, merges repeated points and sets the normalisation and the polynomial
// columns.
bool RadialBasisFunctionFit::prepare(std::string& error) {
  if (!kernel_) {
    error = "A radial basis function model needs one of the six kernels; none was given.";
    return false;
  }
  const int n = static_cast<int>(points_.size());
  if (static_cast<int>(responses_.size()) != n) {
    error = formatText(
        "%d responses were given for %d points; there must be one response per point.",
        static_cast<int>(responses_.size()), n);
    return false;
  }
  if (n < 2) {
    error = formatText(
        "A radial basis function model needs at least 2 distinct points; the data holds %d.", n);
    return false;
  }
  const int d = static_cast<int>(points_[0].size());
  if (d < 1) {
    error = "A radial basis function model needs at least 1 variable; the points have none.";
    return false;
  }
  for (int i = 0; i < n; ++i) {
    if (static_cast<int>(points_[i].size()) != d) {
      error = formatText("Point %d has %d values; %d were expected (as many as point 1 has).",
                         i + 1, static_cast<int>(points_[i].size()), d);
      return false;
    }
    for (int k = 0; k < d; ++k)
      if (!std::isfinite(points_[i][k])) {
        error = formatText("Point %d, variable %d is %g; only finite values can be fitted.", i + 1,
                           k + 1, points_[i][k]);
        return false;
      }
    if (!std::isfinite(responses_[i])) {
      error = formatText("The response of point %d is %g; only finite values can be fitted.",
                         i + 1, responses_[i]);
      return false;
    }
  }

  // Repeated points: sorted so that equal points are neighbours, the first of equal ones kept.
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return points_[a] < points_[b]; });
  std::vector<char> dropped(static_cast<std::size_t>(n), 0);
  for (int s = 1; s < n; ++s) {
    const int first = order[s - 1];
    const int second = order[s];
    if (points_[first] != points_[second]) continue;
    // stable_sort keeps equal points in index order; compare with the first of the run.
    int kept = first;
    for (int t = s - 1; t >= 0 && points_[order[t]] == points_[second]; --t) kept = order[t];
    if (responses_[kept] != responses_[second]) {
      error = formatText(
          "Points %d and %d are the same point with different responses (%.17g and %.17g); an "
          "interpolating model cannot take two values at one point.",
          kept + 1, second + 1, responses_[kept], responses_[second]);
      return false;
    }
    dropped[second] = 1;
  }
  if (std::find(dropped.begin(), dropped.end(), 1) != dropped.end()) {
    std::vector<std::vector<double>> points;
    std::vector<double> responses;
    for (int i = 0; i < n; ++i)
      if (!dropped[i]) {
        points.push_back(std::move(points_[i]));
        responses.push_back(responses_[i]);
      }
    points_ = std::move(points);
    responses_ = std::move(responses);
    if (points_.size() < 2) {
      error = formatText(
          "A radial basis function model needs at least 2 distinct points; the data holds %d.",
          static_cast<int>(points_.size()));
      return false;
    }
  }

  variables_ = d;
  minimum_.assign(d, 0.0);
  range_.assign(d, 1.0);
  for (int k = 0; k < d; ++k) {
    double low = points_[0][k];
    double high = low;
    for (const auto& point : points_) {
      low = std::min(low, point[k]);
      high = std::max(high, point[k]);
    }
    const double range = high - low;
    if (!std::isfinite(range)) {
      error = formatText(
          "Variable %d runs from %g to %g; that range is too large to be normalised.", k + 1,
          low, high);
      return false;
    }
    minimum_[k] = low;
    range_[k] = range > 0 ? range : 1.0;
  }
  normaliseCentres();

  // Responses: centred on their mean and scaled by the largest deviation from it.
  const std::size_t m = responses_.size();
  const bool constant = std::all_of(responses_.begin(), responses_.end(),
                                    [&](double y) { return y == responses_[0]; });
  if (constant) {
    yMean_ = responses_[0];
    yScale_ = 1.0;
  } else {
    double sum = 0;
    for (double y : responses_) sum += y;
    yMean_ = sum / static_cast<double>(m);
    double largest = 0;
    for (double y : responses_) largest = std::max(largest, std::fabs(y - yMean_));
    yScale_ = largest > 0 && std::isfinite(largest) ? largest : 1.0;
    if (!std::isfinite(yMean_) || !std::isfinite(largest)) {
      error = "The responses are too large to be scaled; only finite values can be fitted.";
      return false;
    }
  }

  // The polynomial columns the points determine.
  polynomialColumns_.clear();
  if (!kernel_->isPositiveDefinite()) {
    Eigen::MatrixXd p(static_cast<Eigen::Index>(m), d + 1);
    for (std::size_t i = 0; i < m; ++i) {
      p(static_cast<Eigen::Index>(i), 0) = 1.0;
      for (int k = 0; k < d; ++k) p(static_cast<Eigen::Index>(i), k + 1) = unit_[i * d + k];
    }
    Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(p.rows(), p.cols());
    qr.setThreshold(kPolynomialRankThreshold);
    qr.compute(p);
    const Eigen::Index rank = qr.rank();
    for (Eigen::Index r = 0; r < rank; ++r)
      polynomialColumns_.push_back(static_cast<int>(qr.colsPermutation().indices()(r)));
    std::sort(polynomialColumns_.begin(), polynomialColumns_.end());
  }
  return true;
}

// Builds and factorises the system for `shape` (adding a ridge when it is ill-conditioned;
// while searching, such a shape is refused at once), solves it for the normalised responses
// and forms the leave-one-out residuals.
bool RadialBasisFunctionFit::solve(double shape, System& system, bool searching) {
  kernel_->setShape(shape);
  const Eigen::Index n = static_cast<Eigen::Index>(responses_.size());
  const Eigen::Index m = static_cast<Eigen::Index>(polynomialColumns_.size());
  const std::size_t d = static_cast<std::size_t>(variables_);
  Eigen::MatrixXd b = Eigen::MatrixXd::Zero(n + m, n + m);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double* ui = &unit_[static_cast<std::size_t>(i) * d];
    b(i, i) = kernel_->profile(0.0);
    for (Eigen::Index j = 0; j < i; ++j) {
      const double* uj = &unit_[static_cast<std::size_t>(j) * d];
      double r2 = 0;
      for (std::size_t k = 0; k < d; ++k) {
        const double diff = ui[k] - uj[k];
        r2 += diff * diff;
      }
      b(i, j) = b(j, i) = kernel_->profile(r2);
    }
    for (Eigen::Index c = 0; c < m; ++c) {
      const int column = polynomialColumns_[static_cast<std::size_t>(c)];
      const double value = column == 0 ? 1.0 : ui[column - 1];
      b(i, n + c) = b(n + c, i) = value;
    }
  }
  double norm = b.topLeftCorner(n, n).cwiseAbs().colwise().sum().maxCoeff();
  if (!(norm > 0) || !std::isfinite(norm)) norm = 1.0;

  system.solved = false;
  const Eigen::VectorXd diagonal = b.diagonal().head(n);
  for (int attempt = 0;; ++attempt) {
    const double relative = attempt == 0 ? 0.0 : kFirstRidge * std::pow(10.0, attempt - 1);
    system.ridge = attempt == 0 ? 0.0 : kernel_->definiteSign() * relative * norm;
    if (attempt > 0) b.diagonal().head(n) = diagonal.array() + system.ridge;
    system.lu.compute(b);
    system.reciprocalCondition = system.lu.rcond();
    if (system.reciprocalCondition >= kIllConditioned) break;
    if (searching) return false;  // the search passes over such shapes
    if (relative >= kLargestRidge * 0.999) {
      if (system.reciprocalCondition >= kSingular) break;
      return false;
    }
  }

  Eigen::VectorXd rhs = Eigen::VectorXd::Zero(n + m);
  for (Eigen::Index i = 0; i < n; ++i)
    rhs(i) = (responses_[static_cast<std::size_t>(i)] - yMean_) / yScale_;
  system.solution = system.lu.solve(rhs);
  if (!system.solution.allFinite()) return false;
  {
    const Eigen::MatrixXd inverse = system.lu.inverse();
    system.loo.resize(n);
    for (Eigen::Index i = 0; i < n; ++i) system.loo(i) = system.solution(i) / inverse(i, i);
  }
  system.solved = true;
  return true;
}

bool RadialBasisFunctionFit::compute(std::string& error) {
  clearFit();
  if (!prepare(error)) return false;
  const std::size_t n = responses_.size();
  const std::size_t d = static_cast<std::size_t>(variables_);

  double shape = fixedShape_;
  System system;
  if (shape <= 0 && shapeFree(*kernel_)) shape = 1.0;
  if (shape <= 0) {
    // The mean nearest-neighbour distance sets the scale of the shapes tried.
    double sumNearest = 0;
    for (std::size_t i = 0; i < n; ++i) {
      double nearest = kInfinity;
      for (std::size_t j = 0; j < n; ++j) {
        if (j == i) continue;
        double r2 = 0;
        for (std::size_t k = 0; k < d; ++k) {
          const double diff = unit_[i * d + k] - unit_[j * d + k];
          r2 += diff * diff;
        }
        nearest = std::min(nearest, r2);
      }
      sumNearest += std::sqrt(nearest);
    }
    const double h = std::max(sumNearest / static_cast<double>(n), 1e-12);
    const bool flat = std::all_of(responses_.begin(), responses_.end(),
                                  [&](double y) { return y == responses_[0]; });
    if (flat) {
      shape = 1.0 / h;
    } else {
      // Sum of squared leave-one-out residuals as a function of log(shape).
      auto cost = [&](double logShape) {
        System trial;
        if (!solve(std::exp(logShape), trial, true) ||
            trial.reciprocalCondition < kSearchConditioned)
          return kInfinity;
        const double sum = trial.loo.squaredNorm();
        return std::isfinite(sum) ? sum : kInfinity;
      };
      const double low = std::log(kGridLow / h);
      const double step = (std::log(kGridHigh / h) - low) / (kGridShapes - 1);
      std::vector<double> costs(kGridShapes);
      int best = 0;
      for (int g = 0; g < kGridShapes; ++g) {
        costs[g] = cost(low + step * g);
        if (costs[g] < costs[best]) best = g;
      }
      double bestLog = low + step * best;
      double bestCost = costs[best];
      if (std::isfinite(bestCost)) {
        // Golden-section search on the bracket around the best grid shape.
        const double ratio = (std::sqrt(5.0) - 1.0) / 2.0;
        double a = low + step * std::max(best - 1, 0);
        double bEnd = low + step * std::min(best + 1, kGridShapes - 1);
        double x1 = bEnd - ratio * (bEnd - a);
        double x2 = a + ratio * (bEnd - a);
        double f1 = cost(x1);
        double f2 = cost(x2);
        for (int s = 0; s < kGoldenSteps; ++s) {
          if (f1 < bestCost) { bestCost = f1; bestLog = x1; }
          if (f2 < bestCost) { bestCost = f2; bestLog = x2; }
          if (f1 <= f2) {
            bEnd = x2;
            x2 = x1;
            f2 = f1;
            x1 = bEnd - ratio * (bEnd - a);
            f1 = cost(x1);
          } else {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = a + ratio * (bEnd - a);
            f2 = cost(x2);
          }
        }
        if (f1 < bestCost) { bestCost = f1; bestLog = x1; }
        if (f2 < bestCost) { bestCost = f2; bestLog = x2; }
        shape = std::exp(bestLog);
      } else {
        // No shape gives usable leave-one-out residuals (as many polynomial terms as points,
        // or every system badly conditioned).
        shape = 1.0 / h;
      }
    }
    shapeChosen_ = true;
  }

  if (!solve(shape, system, false)) {
    error = formatText(
        "The interpolation system of the %s kernel with shape %g is singular (reciprocal "
        "condition %g with a ridge of %g); the points may be too close together.",
        kernel_->name(), shape, system.reciprocalCondition, system.ridge);
    shapeChosen_ = false;
    return false;
  }
  ridge_ = system.ridge;
  weights_.assign(system.solution.data(), system.solution.data() + n);
  if (!kernel_->isPositiveDefinite()) {
    polynomial_.assign(d + 1, 0.0);
    for (std::size_t c = 0; c < polynomialColumns_.size(); ++c)
      polynomial_[static_cast<std::size_t>(polynomialColumns_[c])] =
          system.solution(static_cast<Eigen::Index>(n + c));
  }
  looResiduals_.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    looResiduals_[i] = system.loo(static_cast<Eigen::Index>(i)) * yScale_;
  fitted_ = true;
  return true;
}

double RadialBasisFunctionFit::evaluate(const std::vector<double>& x) const {
  if (!fitted_ || static_cast<int>(x.size()) != variables_) return kNaN;
  const std::size_t d = static_cast<std::size_t>(variables_);
  double u[64];
  std::vector<double> heap;
  double* unit = u;
  if (d > 64) {
    heap.resize(d);
    unit = heap.data();
  }
  for (std::size_t k = 0; k < d; ++k) unit[k] = (x[k] - minimum_[k]) / range_[k];
  double sum = 0;
  const std::size_t n = weights_.size();
  for (std::size_t j = 0; j < n; ++j) {
    const double* centre = &unit_[j * d];
    double r2 = 0;
    for (std::size_t k = 0; k < d; ++k) {
      const double diff = unit[k] - centre[k];
      r2 += diff * diff;
    }
    sum += weights_[j] * kernel_->profile(r2);
  }
  if (!polynomial_.empty()) {
    sum += polynomial_[0];
    for (std::size_t k = 0; k < d; ++k) sum += polynomial_[k + 1] * unit[k];
  }
  return yMean_ + yScale_ * sum;
}

bool RadialBasisFunctionFit::gradient(const std::vector<double>& x, std::vector<double>& g) const {
  const std::size_t d = static_cast<std::size_t>(variables_);
  g.assign(x.size(), 0.0);
  if (!fitted_ || x.size() != d) return false;
  std::vector<double> unit(d);
  for (std::size_t k = 0; k < d; ++k) unit[k] = (x[k] - minimum_[k]) / range_[k];
  bool formed = true;
  const std::size_t n = weights_.size();
  for (std::size_t j = 0; j < n; ++j) {
    const double* centre = &unit_[j * d];
    double r2 = 0;
    for (std::size_t k = 0; k < d; ++k) {
      const double diff = unit[k] - centre[k];
      r2 += diff * diff;
    }
    double slope = 0;
    if (!kernel_->profileSlope(r2, slope)) {
      formed = false;
      continue;
    }
    const double factor = 2.0 * weights_[j] * slope;
    for (std::size_t k = 0; k < d; ++k) g[k] += factor * (unit[k] - centre[k]);
  }
  for (std::size_t k = 0; k < d; ++k) {
    if (!polynomial_.empty()) g[k] += polynomial_[k + 1];
    g[k] *= yScale_ / range_[k];
  }
  return formed;
}

double RadialBasisFunctionFit::PRESS() const {
  double sum = 0;
  for (double e : looResiduals_) sum += e * e;
  return sum;
}

double RadialBasisFunctionFit::crossValidation() const {
  if (looResiduals_.empty()) return kNaN;
  return std::sqrt(PRESS() / static_cast<double>(looResiduals_.size()));
}

std::vector<double> RadialBasisFunctionFit::xMeans() const {
  std::vector<double> means(static_cast<std::size_t>(variables_), 0.0);
  if (points_.empty()) return means;
  for (const auto& point : points_)
    for (std::size_t k = 0; k < means.size(); ++k) means[k] += point[k];
  for (double& mean : means) mean /= static_cast<double>(points_.size());
  return means;
}

std::vector<double> RadialBasisFunctionFit::xStds() const {
  const std::vector<double> means = xMeans();
  std::vector<double> stds(means.size(), 0.0);
  if (points_.size() < 2) return stds;
  for (const auto& point : points_)
    for (std::size_t k = 0; k < stds.size(); ++k)
      stds[k] += (point[k] - means[k]) * (point[k] - means[k]);
  for (double& s : stds) s = std::sqrt(s / static_cast<double>(points_.size() - 1));
  return stds;
}

double RadialBasisFunctionFit::yStd() const {
  if (responses_.size() < 2) return 0.0;
  // The mean as a shift from the first response: exact when all are equal.
  double shift = 0;
  for (double y : responses_) shift += y - responses_[0];
  const double mean = responses_[0] + shift / static_cast<double>(responses_.size());
  double squares = 0;
  for (double y : responses_) squares += (y - mean) * (y - mean);
  return std::sqrt(squares / static_cast<double>(responses_.size() - 1));
}

// ---------------------------------------------------------------------------------------------
// Text form
// ---------------------------------------------------------------------------------------------

std::vector<std::string> RadialBasisFunctionFit::writeData() const {
  std::vector<std::string> lines;
  if (!fitted_) return lines;
  lines.push_back(kHeader);
  lines.push_back(std::string("kernel ") + kernel_->name());
  lines.push_back("shape " + real(kernel_->shape()) + (shapeChosen_ ? " chosen" : " fixed"));
  lines.push_back("ridge " + real(ridge_));
  lines.push_back(formatText("variables %d", variables_));
  lines.push_back(formatText("centres %d", centres()));
  lines.push_back(formatText("polynomial %d", static_cast<int>(polynomial_.size())));
  lines.push_back("response " + real(yMean_) + " " + real(yScale_));
  std::string minimum = "minimum";
  std::string range = "range";
  for (int k = 0; k < variables_; ++k) {
    minimum += " " + real(minimum_[k]);
    range += " " + real(range_[k]);
  }
  lines.push_back(minimum);
  lines.push_back(range);
  for (std::size_t i = 0; i < responses_.size(); ++i) {
    std::string line = "centre";
    for (double v : points_[i]) line += " " + real(v);
    line += " " + real(responses_[i]) + " " + real(weights_[i]) + " " + real(looResiduals_[i]);
    lines.push_back(std::move(line));
  }
  if (!polynomial_.empty()) {
    std::string line = "coefficients";
    for (double t : polynomial_) line += " " + real(t);
    lines.push_back(std::move(line));
  }
  lines.push_back(formatText("checksum %016llx", static_cast<unsigned long long>(
                                                     checksumOf(lines, lines.size()))));
  return lines;
}

namespace {

// Reads the model text line by line; every failure names the line (from 1) and what was wrong.
class ModelReader {
 public:
  explicit ModelReader(const std::vector<std::string>& lines) : lines_(lines) {}

  // The next line split at blanks, its first word required to be `keyword` and followed by
  // `count` words (-1: any number); false with the error set otherwise.
  bool next(const char* keyword, int count, std::vector<std::string>& words) {
    current_ = index_ + 1;
    if (index_ >= lines_.size()) {
      return fail(formatText("the text ends here; a \"%s\" line was expected", keyword));
    }
    line_ = lines_[index_];
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    cleaned_.push_back(line_);
    ++index_;
    words.clear();
    std::size_t at = 0;
    while (at < line_.size()) {
      if (line_[at] == ' ') {
        ++at;
        continue;
      }
      const std::size_t end = std::min(line_.find(' ', at), line_.size());
      words.push_back(line_.substr(at, end - at));
      at = end;
    }
    if (words.empty() || words[0] != keyword)
      return fail(formatText("a \"%s\" line was expected; read \"%s\"", keyword,
                             shortened(line_).c_str()));
    words.erase(words.begin());
    if (count >= 0 && static_cast<int>(words.size()) != count)
      return fail(formatText("the \"%s\" line has %d values; %d were expected", keyword,
                             static_cast<int>(words.size()), count));
    return true;
  }

  // The first line, which must be the header exactly.
  bool header() {
    if (lines_.empty()) return fail(formatText("the text is empty; \"%s\" was expected", kHeader));
    line_ = lines_[0];
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    cleaned_.push_back(line_);
    index_ = 1;
    if (line_ != kHeader)
      return fail(formatText("\"%s\" was expected; read \"%s\"", kHeader,
                             shortened(line_).c_str()));
    return true;
  }

  bool real(const std::string& word, const char* what, bool finite, double& value) {
    char* end = nullptr;
    value = std::strtod(word.c_str(), &end);
    if (word.empty() || end != word.c_str() + word.size() || (finite && !std::isfinite(value)))
      return fail(formatText("%s is \"%s\"; a %snumber was expected", what,
                             shortened(word).c_str(), finite ? "finite " : ""));
    return true;
  }

  bool integer(const std::string& word, const char* what, int low, int high, int& value) {
    const bool digits = !word.empty() && word.size() <= 9 &&
                        std::all_of(word.begin(), word.end(), [](char ch) {
                          return ch >= '0' && ch <= '9';
                        });
    value = digits ? std::atoi(word.c_str()) : -1;
    if (!digits || value < low || value > high)
      return fail(formatText("%s is \"%s\"; a whole number from %d to %d was expected", what,
                             shortened(word).c_str(), low, high));
    return true;
  }

  bool fail(const std::string& what) {
    error_ = formatText("Radial basis function model data, line %d: %s.",
                        static_cast<int>(current_), what.c_str());
    return false;
  }

  static std::string shortened(const std::string& text) {
    return text.size() <= 40 ? text : text.substr(0, 40) + "...";
  }

  std::size_t lineCount() const { return lines_.size(); }
  const std::vector<std::string>& cleaned() const { return cleaned_; }
  const std::string& error() const { return error_; }

 private:
  const std::vector<std::string>& lines_;
  std::vector<std::string> cleaned_;  // the lines read so far, without a trailing "\r"
  std::size_t index_ = 0;             // lines read
  std::size_t current_ = 1;           // the line concerned, from 1
  std::string line_;
  std::string error_;
};

}  // namespace

bool RadialBasisFunctionFit::readData(const std::vector<std::string>& lines, std::string& error) {
  clearFit();
  ModelReader in(lines);
  std::vector<std::string> w;
  auto failed = [&]() {
    error = in.error();
    return false;
  };

  if (!in.header()) return failed();
  if (!in.next("kernel", 1, w)) return failed();
  std::string kernelError;
  std::unique_ptr<RadialBasisFunctionBase> kernel = makeRadialBasisFunction(w[0], 1.0, kernelError);
  if (!kernel) {
    in.fail(formatText("the kernel \"%s\" is not one of RBFGaussian, RBFMultiQuadratic, "
                       "RBFInvMultiQuadratic, RBFLinear, RBFThinPlateSpline and RBFCubic",
                       ModelReader::shortened(w[0]).c_str()));
    return failed();
  }
  double shape = 0;
  if (!in.next("shape", 2, w) || !in.real(w[0], "the shape", true, shape)) return failed();
  if (!(shape > 0)) {
    in.fail(formatText("the shape is %.17g; it must be greater than 0", shape));
    return failed();
  }
  if (w[1] != "chosen" && w[1] != "fixed") {
    in.fail(formatText("the shape is followed by \"%s\"; \"chosen\" or \"fixed\" was expected",
                       ModelReader::shortened(w[1]).c_str()));
    return failed();
  }
  const bool chosen = w[1] == "chosen";
  double ridge = 0;
  if (!in.next("ridge", 1, w) || !in.real(w[0], "the ridge", true, ridge)) return failed();
  int d = 0;
  if (!in.next("variables", 1, w) || !in.integer(w[0], "the number of variables", 1, 100000, d))
    return failed();
  // Every centre takes a line of its own: a count beyond the text is refused before any use.
  const int maxCentres = static_cast<int>(std::min<std::size_t>(in.lineCount(), 100000000));
  int n = 0;
  if (!in.next("centres", 1, w) || !in.integer(w[0], "the number of centres", 2, maxCentres, n))
    return failed();
  const int expectedPolynomial = kernel->isPositiveDefinite() ? 0 : d + 1;
  int m = 0;
  if (!in.next("polynomial", 1, w) ||
      !in.integer(w[0], "the number of polynomial coefficients", expectedPolynomial,
                  expectedPolynomial, m))
    return failed();
  double mean = 0;
  double scale = 0;
  if (!in.next("response", 2, w) || !in.real(w[0], "the response mean", true, mean) ||
      !in.real(w[1], "the response scale", true, scale))
    return failed();
  if (!(scale > 0)) {
    in.fail(formatText("the response scale is %.17g; it must be greater than 0", scale));
    return failed();
  }
  std::vector<double> minimum(static_cast<std::size_t>(d));
  std::vector<double> range(static_cast<std::size_t>(d));
  if (!in.next("minimum", d, w)) return failed();
  for (int k = 0; k < d; ++k)
    if (!in.real(w[k], "a minimum", true, minimum[k])) return failed();
  if (!in.next("range", d, w)) return failed();
  for (int k = 0; k < d; ++k) {
    if (!in.real(w[k], "a range", true, range[k])) return failed();
    if (!(range[k] > 0)) {
      in.fail(formatText("range %d is %.17g; it must be greater than 0", k + 1, range[k]));
      return failed();
    }
  }
  // Rows are added as their lines are read, so that memory stays within the text's size.
  std::vector<std::vector<double>> points;
  std::vector<double> responses;
  std::vector<double> weights;
  std::vector<double> loo;
  for (int i = 0; i < n; ++i) {
    if (!in.next("centre", d + 3, w)) return failed();
    std::vector<double> point(static_cast<std::size_t>(d));
    double response = 0;
    double weight = 0;
    double residual = 0;
    for (int k = 0; k < d; ++k)
      if (!in.real(w[k], "a centre coordinate", true, point[k])) return failed();
    if (!in.real(w[d], "a response", true, response) ||
        !in.real(w[d + 1], "a weight", true, weight) ||
        !in.real(w[d + 2], "a leave-one-out residual", false, residual))
      return failed();
    points.push_back(std::move(point));
    responses.push_back(response);
    weights.push_back(weight);
    loo.push_back(residual);
  }
  std::vector<double> polynomial(static_cast<std::size_t>(m));
  if (m > 0) {
    if (!in.next("coefficients", m, w)) return failed();
    for (int c = 0; c < m; ++c)
      if (!in.real(w[c], "a polynomial coefficient", true, polynomial[c])) return failed();
  }
  const std::uint64_t expected = checksumOf(in.cleaned(), in.cleaned().size());
  if (!in.next("checksum", 1, w)) return failed();
  if (w[0] != formatText("%016llx", static_cast<unsigned long long>(expected))) {
    in.fail(formatText("the checksum is \"%s\" but the lines above give %016llx; the text "
                       "was changed after it was written",
                       ModelReader::shortened(w[0]).c_str(),
                       static_cast<unsigned long long>(expected)));
    return failed();
  }

  kernel->setShape(shape);
  kernel_ = std::move(kernel);
  fixedShape_ = chosen ? 0.0 : shape;
  shapeChosen_ = chosen;
  ridge_ = ridge;
  variables_ = d;
  minimum_ = std::move(minimum);
  range_ = std::move(range);
  points_ = std::move(points);
  responses_ = std::move(responses);
  yMean_ = mean;
  yScale_ = scale;
  weights_ = std::move(weights);
  polynomial_ = std::move(polynomial);
  looResiduals_ = std::move(loo);
  polynomialColumns_.clear();
  normaliseCentres();
  fitted_ = true;
  return true;
}

}  // namespace karvo::support
