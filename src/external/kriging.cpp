// Kriging fit, prediction and model text. A fit is O(n^3) per likelihood evaluation (some
// tens to a few hundred per fit); a prediction O(n d), with its variance O(n^2). The file
// text keeps the weights and the training points, and the factor is rebuilt on reading by
// the same code that built it when fitting, so a model read back predicts bit for bit.
#include "external/kriging.h"

#include "external/kriging_opt.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <numeric>

namespace karvo::support {
namespace {

constexpr double kSqrt5 = 2.23606797749978969641;
constexpr double kLowerLength = 0.01;  // length scales, z-score units
constexpr double kUpperLength = 100.0;
constexpr double kMaxNugget = 1e-3;    // the automatic raise stops here
// Start of the Gaussian climb in the choice of the correlation: ln 0.6 added to the Matern
// 5/2 optimum's ln length scales (on smooth and rough test responses alike the Gaussian
// optimum lay 0.3 to 1.5 lower; a start at or above the Matern scales can end on the
// ill-conditioned long-scale plateau of the Gaussian likelihood).
constexpr double kGaussianStartShift = -0.5108256237659907;
// Smallest default nugget of a Gaussian model, and the log-likelihood gain that lowering the
// nugget by a factor of 100 must bring (noise-free smooth responses gain some tens).
constexpr double kSmoothNugget = 1e-14;
constexpr double kNuggetGain = 0.5;
constexpr double kSigma2Floor = 1e-12; // normalised responses have unit variance
// Prior variance of the trend's constant, in normalised units: the sample variance of the
// responses, the prior centred on their sample mean (0 in normalised units).
constexpr double kConstantPriorVariance = 1.0;
constexpr int kMaxStarts = 50;
constexpr const char* kFirstLine = "Kriging model";
constexpr const char* kEndWords = "end of Kriging model, checksum";

int trendTermCount(int order, int d) {
  if (order == 0) return 1;
  if (order == 1) return d + 1;
  return (d + 1) * (d + 2) / 2;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buffer[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}

std::string real(double v) { return format("%.17g", v); }

// FNV-1a over the lines, each followed by '\n'.
std::uint64_t checksumOf(const std::vector<std::string>& lines, std::size_t count) {
  std::uint64_t h = 1469598103934665603ULL;
  for (std::size_t i = 0; i < count; ++i) {
    for (unsigned char c : lines[i]) {
      h ^= c;
      h *= 1099511628211ULL;
    }
    h ^= '\n';
    h *= 1099511628211ULL;
  }
  return h;
}

// "constant", "linear" or "quadratic" for trend order 0, 1 or 2.
const char* trendWord(int order) {
  return order == 0 ? "constant" : order == 1 ? "linear" : "quadratic";
}

// The settings of a fit: trend order, optimiser starts and stabilisation nugget.
bool checkSettings(int order, int starts, double nugget, std::string& error) {
  if (order < 0 || order > 2) {
    error = format("Kriging: the regression order %d is not supported (0 constant, 1 linear, "
                   "2 quadratic).", order);
    return false;
  }
  if (starts < 0 || starts > kMaxStarts) {
    error = format("Kriging: the number of optimiser starts %d is outside 0 .. %d.", starts,
                   kMaxStarts);
    return false;
  }
  if (std::isnan(nugget) || nugget > kMaxNugget) {
    error = format("Kriging: the stabilisation nugget %g is outside 0 .. %g (0 = default).",
                   nugget, kMaxNugget);
    return false;
  }
  return true;
}

// The training data: some points, one response each, every point with the variables of the
// first (at least one), all finite; the message names the first fault, point by point.
bool checkTrainingData(const std::vector<std::vector<double>>& points,
                       const std::vector<double>& responses, std::string& error) {
  const int count = static_cast<int>(points.size());
  if (count == 0) {
    error = "Kriging: there are no points to fit.";
    return false;
  }
  if (responses.size() != points.size()) {
    error = format("Kriging: there are %d points but %zu responses.", count, responses.size());
    return false;
  }
  const int d = static_cast<int>(points[0].size());
  if (d == 0) {
    error = "Kriging: the points have no variables.";
    return false;
  }
  for (int i = 0; i < count; ++i) {
    if (static_cast<int>(points[i].size()) != d) {
      error = format("Kriging: point %d has %zu variables, point 1 has %d.", i + 1,
                     points[i].size(), d);
      return false;
    }
    for (int k = 0; k < d; ++k) {
      if (!std::isfinite(points[i][k])) {
        error = format("Kriging: variable %d of point %d is not a finite number (%g).", k + 1,
                       i + 1, points[i][k]);
        return false;
      }
    }
    if (!std::isfinite(responses[i])) {
      error = format("Kriging: the response of point %d is not a finite number (%g).", i + 1,
                     responses[i]);
      return false;
    }
  }
  return true;
}

// The distinct points of a training set, in the order of their first appearance.
struct DistinctPoints {
  std::vector<int> first;        // index of each distinct point's first copy in the set
  std::vector<double> response;  // its response, the mean over its copies
};

// Identical points merged into one with their mean response.
DistinctPoints mergeIdenticalPoints(const std::vector<std::vector<double>>& points,
                                    const std::vector<double>& responses) {
  const int count = static_cast<int>(points.size());
  std::vector<int> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return points[a] < points[b]; });
  std::vector<int> representative(count);
  for (int s = 0; s < count; ++s) {
    const int i = order[s];
    representative[i] = (s > 0 && points[order[s - 1]] == points[i])
                             ? representative[order[s - 1]]
                             : i;
  }
  std::vector<double> sum(count, 0.0);
  std::vector<int> times(count, 0);
  for (int i = 0; i < count; ++i) {
    sum[representative[i]] += responses[i];
    ++times[representative[i]];
  }
  DistinctPoints distinct;
  for (int i = 0; i < count; ++i) {
    if (representative[i] != i) continue;
    distinct.first.push_back(i);
    distinct.response.push_back(times[i] == 1 ? responses[i] : sum[i] / times[i]);
  }
  return distinct;
}

// Column means and sample standard deviations of x (a column with a single value keeps
// std 1), for the z-scores of the variables.
void variableScales(const Eigen::MatrixXd& x, std::vector<double>& means,
                    std::vector<double>& stds) {
  const Eigen::Index n = x.rows();
  const Eigen::Index d = x.cols();
  means.assign(d, 0.0);
  stds.assign(d, 1.0);
  for (Eigen::Index k = 0; k < d; ++k) {
    double mean = 0.0;
    for (Eigen::Index s = 0; s < n; ++s) mean += x(s, k);
    mean /= n;
    double ss = 0.0;
    for (Eigen::Index s = 0; s < n; ++s) ss += (x(s, k) - mean) * (x(s, k) - mean);
    const double sd = std::sqrt(ss / (n - 1));
    means[k] = mean;
    stds[k] = sd > 0.0 && std::isfinite(sd) ? sd : 1.0;
  }
}

// Mean and sample standard deviation of the responses; a constant response has its value
// as mean and deviation 0. Either may overflow to infinity.
struct ResponseScale {
  double mean = 0.0;
  double std = 0.0;
  bool constant = true;  // all responses equal
};

ResponseScale responseScale(const Eigen::VectorXd& y) {
  const Eigen::Index n = y.size();
  double mean = 0.0;
  for (Eigen::Index s = 0; s < n; ++s) mean += y(s);
  mean /= n;
  ResponseScale scale;
  for (Eigen::Index s = 0; s < n; ++s) scale.constant = scale.constant && y(s) == y(0);
  double ss = 0.0;
  for (Eigen::Index s = 0; s < n; ++s) ss += (y(s) - mean) * (y(s) - mean);
  scale.mean = scale.constant ? y(0) : mean;
  scale.std = scale.constant ? 0.0 : std::sqrt(ss / (n - 1));
  return scale;
}

// Whether the columns of the trend matrix are linearly independent (full column rank).
bool trendTermsIndependent(const Eigen::MatrixXd& f) {
  Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(f);
  qr.setThreshold(1e-10);
  return qr.rank() >= f.cols();
}

// Default number of optimiser starts: as many as cost about 3 runs at 150 points, between
// 3 and 10.
int defaultStarts(int n) {
  return static_cast<int>(std::clamp(std::round(3.0 * std::pow(150.0 / n, 3.0)), 3.0, 10.0));
}

}  // namespace

KrigingFit::KrigingFit(const std::vector<std::vector<double>>& points,
                       const std::vector<double>& responses, int regressionOrder, int starts,
                       double stabilisation)
    : rawPoints_(points),
      rawResponses_(responses),
      order_(regressionOrder),
      starts_(starts),
      baseNugget_(stabilisation) {}

void KrigingFit::clear() {
  prepared_ = false;
  fitted_ = false;
  n_ = d_ = p_ = merged_ = 0;
  xMeans_.clear();
  xStds_.clear();
  yMean_ = yStd_ = 0.0;
  thetas_.clear();
  sigma2_ = logLikelihood_ = 0.0;
}

std::vector<double> KrigingFit::thetaLower() const {
  std::vector<double> lower(d_, std::log(kLowerLength));
  if (estimateNugget_) lower.push_back(std::log(nugget_));
  return lower;
}

std::vector<double> KrigingFit::thetaUpper() const {
  std::vector<double> upper(d_, std::log(kUpperLength));
  if (estimateNugget_) upper.push_back(0.0);
  return upper;
}

bool KrigingFit::prepare(std::string& error) {
  clear();
  if (!checkSettings(order_, starts_, baseNugget_, error)) return false;
  if (!checkTrainingData(rawPoints_, rawResponses_, error)) return false;
  const int count = static_cast<int>(rawPoints_.size());
  const DistinctPoints distinct = mergeIdenticalPoints(rawPoints_, rawResponses_);
  n_ = static_cast<int>(distinct.first.size());
  d_ = static_cast<int>(rawPoints_[0].size());
  merged_ = count - n_;
  p_ = trendTermCount(order_, d_);
  if (n_ < p_ + 1) {
    error = format("Kriging: %d distinct points are too few for a %s trend in %d variables "
                   "(at least %d are needed).", n_, trendWord(order_), d_, p_ + 1);
    clear();
    return false;
  }
  x_.resize(n_, d_);
  y_.resize(n_);
  for (int s = 0; s < n_; ++s) {
    for (int k = 0; k < d_; ++k) x_(s, k) = rawPoints_[distinct.first[s]][k];
    y_(s) = distinct.response[s];
  }

  variableScales(x_, xMeans_, xStds_);
  const ResponseScale scale = responseScale(y_);
  yMean_ = scale.mean;
  yStd_ = scale.std;
  if (!std::isfinite(yStd_) || !std::isfinite(yMean_)) {
    error = "Kriging: the responses are too large to be normalised (overflow).";
    clear();
    return false;
  }
  if (!scale.constant && !(yStd_ > 0.0)) yStd_ = 1.0;  // spread below the smallest double
  z_.resize(n_, d_);
  for (int s = 0; s < n_; ++s)
    for (int k = 0; k < d_; ++k) z_(s, k) = (x_(s, k) - xMeans_[k]) / xStds_[k];
  t_.resize(n_);
  for (int s = 0; s < n_; ++s) t_(s) = scale.constant ? 0.0 : (y_(s) - yMean_) / yStd_;
  f_.resize(n_, p_);
  std::vector<double> f(p_);
  for (int s = 0; s < n_; ++s) {
    const Eigen::VectorXd zs = z_.row(s).transpose();
    trendRow(zs.data(), f.data());
    for (int c = 0; c < p_; ++c) f_(s, c) = f[c];
  }
  if (order_ > 0 && !trendTermsIndependent(f_)) {
    error = format("Kriging: the %s trend cannot be fitted: its %d terms are linearly "
                   "dependent at these points (a variable takes too few values).",
                   trendWord(order_), p_);
    clear();
    return false;
  }
  nugget_ = baseNugget_ > 0.0 ? baseNugget_ : 1e-10 * n_;
  startsInUse_ = starts_ > 0 ? starts_ : defaultStarts(n_);
  prepared_ = true;
  return true;
}

void KrigingFit::trendRow(const double* z, double* f) const {
  f[0] = 1.0;
  if (order_ == 0) return;
  for (int k = 0; k < d_; ++k) f[1 + k] = z[k];
  if (order_ == 1) return;
  int c = 1 + d_;
  for (int i = 0; i < d_; ++i)
    for (int j = i; j < d_; ++j) f[c++] = z[i] * z[j];
}

// r(q), q = rho^2; derivativeFactor c with dr/d(ln l_k) = c h_k and dr/dz_k = -c dz_k / l_k^2.
double KrigingFit::correlationOf(double q, double* derivativeFactor) const {
  if (correlation_ == KrigingCorrelation::kGaussian) {
    const double r = std::exp(-0.5 * q);
    if (derivativeFactor) *derivativeFactor = r;
    return r;
  }
  const double rho = std::sqrt(q);
  if (!(rho < 300.0)) {  // exp(-sqrt5 rho) underflows; also q = infinity
    if (derivativeFactor) *derivativeFactor = 0.0;
    return 0.0;
  }
  const double e = std::exp(-kSqrt5 * rho);
  if (derivativeFactor) *derivativeFactor = (5.0 / 3.0) * (1.0 + kSqrt5 * rho) * e;
  return (1.0 + kSqrt5 * rho + (5.0 / 3.0) * q) * e;
}

double KrigingFit::thetaObjective(const std::vector<double>& thetas,
                                  std::vector<double>* gradient) const {
  const double minusInfinity = -std::numeric_limits<double>::infinity();
  if (!prepared_ || static_cast<int>(thetas.size()) != thetaCount()) return minusInfinity;
  if (gradient) gradient->assign(thetas.size(), 0.0);
  if (yStd_ == 0.0) return 0.0;  // constant response: nothing to choose
  for (double v : thetas)
    if (!std::isfinite(v) || std::abs(v) > 300.0) return minusInfinity;
  Eigen::VectorXd w(d_);
  for (int k = 0; k < d_; ++k) w(k) = std::exp(-2.0 * thetas[k]);
  const double g = estimateNugget_ ? std::exp(thetas[d_]) : nugget_;

  // Lower triangle: R; strict upper triangle: the derivative factors c.
  const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> zr = z_;
  Eigen::MatrixXd R(n_, n_);
  for (int j = 0; j < n_; ++j) {
    R(j, j) = 1.0 + g;
    const double* zj = zr.data() + static_cast<std::ptrdiff_t>(j) * d_;
    for (int i = j + 1; i < n_; ++i) {
      const double* zi = zr.data() + static_cast<std::ptrdiff_t>(i) * d_;
      double q = 0.0;
      for (int k = 0; k < d_; ++k) {
        const double dz = zi[k] - zj[k];
        q += dz * dz * w(k);
      }
      double c;
      R(i, j) = correlationOf(q, &c);
      R(j, i) = c;
    }
  }
  Eigen::LLT<Eigen::MatrixXd> llt(R);
  if (llt.info() != Eigen::Success) return minusInfinity;
  const auto L = llt.matrixL();
  double logDet = 0.0;
  const Eigen::MatrixXd& factor = llt.matrixLLT();
  for (int i = 0; i < n_; ++i) logDet += 2.0 * std::log(factor(i, i));
  const Eigen::MatrixXd Ft = L.solve(f_);
  const Eigen::VectorXd tt = L.solve(t_);
  Eigen::LLT<Eigen::MatrixXd> trend(Ft.transpose() * Ft);
  if (trend.info() != Eigen::Success) return minusInfinity;
  const Eigen::VectorXd beta = trend.solve(Ft.transpose() * tt);
  const Eigen::VectorXd residual = tt - Ft * beta;
  const double sigma2 = std::max(residual.squaredNorm() / n_, kSigma2Floor);
  const double value = -0.5 * (n_ * std::log(sigma2) + logDet);
  if (!std::isfinite(value)) return minusInfinity;
  if (!gradient) return value;

  // dL/ds = -1/2 sum_ij W_ij dR_ij/ds, W = R^-1 - alpha alpha' / sigma2.
  const Eigen::VectorXd alpha = L.transpose().solve(residual);
  // R^-1 = L^-T L^-1, lower triangle only (a third of the work of solving for the identity).
  Eigen::MatrixXd Linv = Eigen::MatrixXd::Identity(n_, n_);
  L.solveInPlace(Linv);
  Eigen::MatrixXd Rinv = Eigen::MatrixXd::Zero(n_, n_);
  Rinv.selfadjointView<Eigen::Lower>().rankUpdate(Linv.transpose());
  std::vector<double>& grad = *gradient;
  Eigen::VectorXd sums = Eigen::VectorXd::Zero(d_);
  for (int j = 0; j < n_; ++j) {
    const double* zj = zr.data() + static_cast<std::ptrdiff_t>(j) * d_;
    const double aj = alpha(j) / sigma2;
    for (int i = j + 1; i < n_; ++i) {
      const double factorC = (Rinv(i, j) - alpha(i) * aj) * R(j, i);
      const double* zi = zr.data() + static_cast<std::ptrdiff_t>(i) * d_;
      for (int k = 0; k < d_; ++k) {
        const double dz = zi[k] - zj[k];
        sums(k) += factorC * dz * dz;
      }
    }
  }
  for (int k = 0; k < d_; ++k) grad[k] = -sums(k) * w(k);
  if (estimateNugget_) {
    double trace = 0.0;
    for (int i = 0; i < n_; ++i) trace += Rinv(i, i) - alpha(i) * alpha(i) / sigma2;
    grad[d_] = -0.5 * g * trace;
  }
  return value;
}

bool KrigingFit::factor(std::string& error) {
  inverseSquares_.resize(d_);
  for (int k = 0; k < d_; ++k) inverseSquares_(k) = std::exp(-2.0 * thetas_[k]);
  Eigen::MatrixXd R(n_, n_);
  for (int j = 0; j < n_; ++j) {
    R(j, j) = 1.0 + nugget_;
    for (int i = j + 1; i < n_; ++i) {
      double q = 0.0;
      for (int k = 0; k < d_; ++k) {
        const double dz = z_(i, k) - z_(j, k);
        q += dz * dz * inverseSquares_(k);
      }
      R(i, j) = correlationOf(q, nullptr);
    }
  }
  Eigen::LLT<Eigen::MatrixXd> llt(R);
  if (llt.info() != Eigen::Success) {
    error = format("Kriging: the correlation matrix of the points cannot be factorised with "
                   "nugget %g.", nugget_);
    return false;
  }
  L_ = llt.matrixL();
  Ft_ = L_.triangularView<Eigen::Lower>().solve(f_);
  if (!factorTrend(0.0)) {
    error = "Kriging: the trend terms are linearly dependent in the correlation metric.";
    return false;
  }
  return true;
}

bool KrigingFit::factorTrend(double constantPrecision) {
  Eigen::MatrixXd normal = Ft_.transpose() * Ft_;
  normal(0, 0) += constantPrecision;
  trendLlt_.compute(normal);
  return trendLlt_.info() == Eigen::Success;
}

double KrigingFit::constantPrecision() const { return sigma2_ / kConstantPriorVariance; }

bool KrigingFit::finish(std::string& error) {
  if (estimateNugget_) nugget_ = std::exp(thetas_[d_]);
  while (!factor(error)) {
    if (nugget_ >= kMaxNugget) {
      error += " The points are too close together for these length scales.";
      return false;
    }
    nugget_ = std::min(nugget_ * 10.0, kMaxNugget);
    if (estimateNugget_) thetas_[d_] = std::log(nugget_);
  }
  error.clear();
  const auto L = L_.triangularView<Eigen::Lower>();
  const Eigen::VectorXd tt = L.solve(t_);
  // The generalised least-squares trend gives the process variance and the likelihood of
  // the length scales; the trend kept is then the one with the constant's prior.
  const Eigen::VectorXd residual = tt - Ft_ * trendLlt_.solve(Ft_.transpose() * tt);
  if (yStd_ == 0.0) {
    sigma2_ = 0.0;
    logLikelihood_ = 0.0;
  } else {
    sigma2_ = std::max(residual.squaredNorm() / n_, kSigma2Floor);
    double logDet = 0.0;
    for (int i = 0; i < n_; ++i) logDet += 2.0 * std::log(L_(i, i));
    logLikelihood_ = -0.5 * (n_ * std::log(sigma2_) + logDet);
  }
  factorTrend(constantPrecision());  // cannot fail: a positive term added to a factored matrix
  beta_ = trendLlt_.solve(Ft_.transpose() * tt);
  gamma_ = L_.transpose().triangularView<Eigen::Upper>().solve(tt - Ft_ * beta_);
  fitted_ = true;
  return true;
}

bool KrigingFit::compute(std::string& error) {
  const std::vector<double> fixed = fixedThetas_;
  if (!correlationSet_) correlation_ = KrigingCorrelation::kMatern52;
  if (!prepare(error)) return false;
  const int m = thetaCount();
  if (yStd_ == 0.0) {
    thetas_.assign(m, 0.0);
    if (estimateNugget_) thetas_[d_] = std::log(nugget_);
    return finish(error);
  }
  if (!fixed.empty()) {
    if (static_cast<int>(fixed.size()) != m) {
      error = format("Kriging: %zu thetas were set, the model has %d.", fixed.size(), m);
      clear();
      return false;
    }
    const std::vector<double> lower = thetaLower(), upper = thetaUpper();
    thetas_.resize(m);
    for (int k = 0; k < m; ++k) {
      if (std::isnan(fixed[k])) {
        error = format("Kriging: theta %d is not a number.", k + 1);
        clear();
        return false;
      }
      thetas_[k] = std::clamp(fixed[k], lower[k], upper[k]);
    }
    if (!finish(error)) {
      clear();
      return false;
    }
    return true;
  }
  for (;;) {
    std::vector<double> best;
    const bool found = optimizer_ == KrigingOptimizer::kParticleSwarm
                           ? KrigingOpt::optimizePSO(*this, best, error)
                           : KrigingOpt::optimize(*this, best, error);
    if (found) {
      thetas_ = best;
      if (!correlationSet_) chooseCorrelation();
      break;
    }
    if (nugget_ >= kMaxNugget) {
      error = format("Kriging: the correlation matrix cannot be factorised at any length "
                     "scale tried, even with nugget %g.", nugget_);
      clear();
      return false;
    }
    nugget_ = std::min(nugget_ * 10.0, kMaxNugget);
  }
  if (!finish(error)) {
    clear();
    return false;
  }
  return true;
}

// thetas_ holds the Matern 5/2 optimum; one climb of the Gaussian likelihood from length
// scales 0.6 times as long, kept when it is the more likely model of the data.
void KrigingFit::chooseCorrelation() {
  const double matern = thetaObjective(thetas_);
  correlation_ = KrigingCorrelation::kGaussian;
  std::vector<double> start = thetas_, gaussian;
  for (int k = 0; k < d_; ++k) start[k] += kGaussianStartShift;
  double value = KrigingOpt::climb(*this, start, gaussian);
  if (!(value > matern)) {
    correlation_ = KrigingCorrelation::kMatern52;
    return;
  }
  thetas_ = gaussian;
  if (baseNugget_ > 0.0 || estimateNugget_) return;
  // A smooth response: the default nugget bounds its length scales. Lower it while the
  // likelihood gains and the correlation matrix can still be factorised.
  while (nugget_ > kSmoothNugget) {
    const double previous = nugget_;
    nugget_ = std::max(nugget_ * 0.01, kSmoothNugget);
    std::vector<double> next;
    const double gained = KrigingOpt::climb(*this, thetas_, next);
    if (!(gained > value + kNuggetGain)) {
      nugget_ = previous;
      return;
    }
    value = gained;
    thetas_ = next;
  }
}

std::vector<double> KrigingFit::sweepTheta(int index, double from, double to, int count) const {
  std::vector<double> values;
  if (!fitted_ || !prepared_ || index < 0 || index >= thetaCount() || count < 2 ||
      !std::isfinite(from) || !std::isfinite(to))
    return values;
  std::vector<double> thetas = thetas_;
  for (int i = 0; i < count; ++i) {
    thetas[index] = from + (to - from) * i / (count - 1);
    values.push_back(thetaObjective(thetas));
  }
  return values;
}

double KrigingFit::evaluate(const std::vector<double>& x) const {
  if (!fitted_ || static_cast<int>(x.size()) != d_) return std::numeric_limits<double>::quiet_NaN();
  double zBuffer[64];
  std::vector<double> zWide;
  double* z = zBuffer;
  if (d_ > 64) {
    zWide.resize(d_);
    z = zWide.data();
  }
  for (int k = 0; k < d_; ++k) z[k] = (x[k] - xMeans_[k]) / xStds_[k];
  double sum = 0.0;
  for (int i = 0; i < n_; ++i) {
    double q = 0.0;
    for (int k = 0; k < d_; ++k) {
      const double dz = z[k] - z_(i, k);
      q += dz * dz * inverseSquares_(k);
    }
    sum += gamma_(i) * correlationOf(q, nullptr);
  }
  double trend = beta_(0);
  if (order_ >= 1) {
    for (int k = 0; k < d_; ++k) trend += beta_(1 + k) * z[k];
    if (order_ == 2) {
      int c = 1 + d_;
      for (int i = 0; i < d_; ++i)
        for (int j = i; j < d_; ++j) trend += beta_(c++) * z[i] * z[j];
    }
  }
  return yMean_ + yStd_ * (trend + sum);
}

double KrigingFit::variance(const std::vector<double>& x) const {
  if (!fitted_ || static_cast<int>(x.size()) != d_) return std::numeric_limits<double>::quiet_NaN();
  if (yStd_ == 0.0) return 0.0;
  Eigen::VectorXd z(d_);
  for (int k = 0; k < d_; ++k) z(k) = (x[k] - xMeans_[k]) / xStds_[k];
  Eigen::VectorXd r(n_);
  for (int i = 0; i < n_; ++i) {
    double q = 0.0;
    for (int k = 0; k < d_; ++k) {
      const double dz = z(k) - z_(i, k);
      q += dz * dz * inverseSquares_(k);
    }
    r(i) = correlationOf(q, nullptr);
  }
  Eigen::VectorXd f(p_);
  trendRow(z.data(), f.data());
  const Eigen::VectorXd v = L_.triangularView<Eigen::Lower>().solve(r);
  const Eigen::VectorXd u = Ft_.transpose() * v - f;
  const double mse = sigma2_ * (1.0 - v.squaredNorm() + u.dot(trendLlt_.solve(u)));
  return std::max(mse, 0.0) * yStd_ * yStd_;
}

bool KrigingFit::gradient(const std::vector<double>& x, std::vector<double>& g) const {
  if (!fitted_ || static_cast<int>(x.size()) != d_) return false;
  g.assign(d_, 0.0);
  if (yStd_ == 0.0) return true;
  std::vector<double> z(d_), dz(d_);
  for (int k = 0; k < d_; ++k) z[k] = (x[k] - xMeans_[k]) / xStds_[k];
  for (int i = 0; i < n_; ++i) {
    double q = 0.0;
    for (int k = 0; k < d_; ++k) {
      dz[k] = z[k] - z_(i, k);
      q += dz[k] * dz[k] * inverseSquares_(k);
    }
    double c;
    correlationOf(q, &c);
    const double factorC = -gamma_(i) * c;
    for (int k = 0; k < d_; ++k) g[k] += factorC * dz[k] * inverseSquares_(k);
  }
  if (order_ >= 1) {
    for (int k = 0; k < d_; ++k) g[k] += beta_(1 + k);
    if (order_ == 2) {
      int c = 1 + d_;
      for (int i = 0; i < d_; ++i)
        for (int j = i; j < d_; ++j) {
          g[i] += beta_(c) * z[j];
          g[j] += beta_(c) * z[i];
          ++c;
        }
    }
  }
  for (int k = 0; k < d_; ++k) g[k] *= yStd_ / xStds_[k];
  return true;
}

double KrigingFit::expectedImprovement(const std::vector<double>& x, double best) const {
  const double mean = evaluate(x);
  const double s = std::sqrt(variance(x));
  if (std::isnan(mean) || std::isnan(s)) return std::numeric_limits<double>::quiet_NaN();
  const double gain = best - mean;
  if (!(s > 1e-300)) return std::max(gain, 0.0);
  const double u = gain / s;
  const double cdf = 0.5 * std::erfc(-u / std::sqrt(2.0));
  const double pdf = std::exp(-0.5 * u * u) / std::sqrt(2.0 * M_PI);
  return std::max(gain * cdf + s * pdf, 0.0);
}

std::vector<double> KrigingFit::PRESSResiduals() const {
  std::vector<double> residuals;
  if (!fitted_) return residuals;
  residuals.assign(n_, 0.0);
  if (yStd_ == 0.0) return residuals;
  const Eigen::MatrixXd Linv =
      L_.triangularView<Eigen::Lower>().solve(Eigen::MatrixXd::Identity(n_, n_));
  const Eigen::MatrixXd M = Linv.transpose() * Ft_;  // R^-1 F
  const Eigen::MatrixXd AinvMt = trendLlt_.solve(M.transpose());
  for (int i = 0; i < n_; ++i) {
    const double q = Linv.col(i).squaredNorm() - M.row(i).dot(AinvMt.col(i));
    residuals[i] = yStd_ * gamma_(i) / q;
  }
  return residuals;
}

double KrigingFit::PRESS() const {
  double sum = 0.0;
  for (double e : PRESSResiduals()) sum += e * e;
  return sum;
}

double KrigingFit::crossValidation() const {
  if (!fitted_) return std::numeric_limits<double>::quiet_NaN();
  if (yStd_ == 0.0) return 1.0;
  double total = 0.0;
  for (int i = 0; i < n_; ++i) total += (y_(i) - yMean_) * (y_(i) - yMean_);
  return 1.0 - PRESS() / total;
}

// ---------------------------------------------------------------------------------------------
// Model text. One item per line, reals "%.17g", values separated by one blank:
//   Kriging model
//   version 1
//   variables <d>
//   points <n>                       distinct training points
//   regression <0|1|2>
//   correlation <Matern52|Gaussian>
//   nugget <g>                       relative to the process variance
//   process_variance <sigma2>        normalised units
//   log_likelihood <L>
//   y_mean <mean>
//   y_std <std>                      0 for a constant response
//   x_means <d values>
//   x_stds <d values>
//   thetas <d values>                ln length scales, z-score units
//   beta <p values>                  trend coefficients, normalised units
//   point <x_1 .. x_d> <y> <weight>  n lines, own units; weight = (R^-1 (t - F beta))_i
//   end of Kriging model, checksum <16 hex digits>   FNV-1a 64 of all lines above, each + '\n'
// ---------------------------------------------------------------------------------------------

std::vector<std::string> KrigingFit::writeData() const {
  std::vector<std::string> lines;
  if (!fitted_) return lines;
  auto list = [](const char* word, const double* v, int count) {
    std::string line = word;
    for (int i = 0; i < count; ++i) {
      line += ' ';
      line += real(v[i]);
    }
    return line;
  };
  lines.push_back(kFirstLine);
  lines.push_back("version 1");
  lines.push_back(format("variables %d", d_));
  lines.push_back(format("points %d", n_));
  lines.push_back(format("regression %d", order_));
  lines.push_back(std::string("correlation ") +
                  (correlation_ == KrigingCorrelation::kGaussian ? "Gaussian" : "Matern52"));
  lines.push_back("nugget " + real(nugget_));
  lines.push_back("process_variance " + real(sigma2_));
  lines.push_back("log_likelihood " + real(logLikelihood_));
  lines.push_back("y_mean " + real(yMean_));
  lines.push_back("y_std " + real(yStd_));
  lines.push_back(list("x_means", xMeans_.data(), d_));
  lines.push_back(list("x_stds", xStds_.data(), d_));
  lines.push_back(list("thetas", thetas_.data(), d_));
  lines.push_back(list("beta", beta_.data(), p_));
  std::vector<double> row(d_ + 2);
  for (int i = 0; i < n_; ++i) {
    for (int k = 0; k < d_; ++k) row[k] = x_(i, k);
    row[d_] = y_(i);
    row[d_ + 1] = gamma_(i);
    lines.push_back(list("point", row.data(), d_ + 2));
  }
  lines.push_back(format("%s %016llx", kEndWords,
                         static_cast<unsigned long long>(checksumOf(lines, lines.size()))));
  return lines;
}

namespace {

// Reads "<word> v1 .. vcount" from one line; false with a message naming the line.
class LineReader {
 public:
  LineReader(const std::vector<std::string>& lines, std::string& error)
      : lines_(lines), error_(error) {}

  bool reals(const char* word, int count, double* values) {
    std::vector<std::string> tokens;
    if (!tokens_(word, count, tokens)) return false;
    for (int i = 0; i < count; ++i) {
      const char* text = tokens[i].c_str();
      char* end = nullptr;
      errno = 0;
      const double v = std::strtod(text, &end);
      if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        return fail(format("\"%s\" is not a finite real number", tokens[i].c_str()));
      values[i] = v;
    }
    ++line_;
    return true;
  }

  bool integer(const char* word, long lo, long hi, long& value) {
    std::vector<std::string> tokens;
    if (!tokens_(word, 1, tokens)) return false;
    const char* text = tokens[0].c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi)
      return fail(format("\"%s\" is not an integer in %ld .. %ld", tokens[0].c_str(), lo, hi));
    value = v;
    ++line_;
    return true;
  }

  bool word(const char* word, const std::vector<std::string>& allowed, int& which) {
    std::vector<std::string> tokens;
    if (!tokens_(word, 1, tokens)) return false;
    for (std::size_t i = 0; i < allowed.size(); ++i)
      if (tokens[0] == allowed[i]) {
        which = static_cast<int>(i);
        ++line_;
        return true;
      }
    return fail(format("\"%s\" is not a known value", tokens[0].c_str()));
  }

  bool exact(const char* text) {
    if (!available()) return false;
    if (current() != text) return fail(format("expected \"%s\"", text));
    ++line_;
    return true;
  }

  bool remaining(std::size_t count) const { return lines_.size() - line_ >= count; }
  std::size_t line() const { return line_; }
  const std::string& current() const { return lines_[line_]; }

  bool fail(const std::string& what) {
    std::string shown = line_ < lines_.size() ? lines_[line_] : std::string();
    if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
    error_ = format("Kriging model text, line %zu: %s (line read: \"%s\").", line_ + 1,
                    what.c_str(), shown.c_str());
    return false;
  }

  bool available() {
    if (line_ < lines_.size()) return true;
    error_ = format("Kriging model text: the text ends after %zu lines, before the model is "
                    "complete.", lines_.size());
    return false;
  }

 private:
  bool tokens_(const char* word, int count, std::vector<std::string>& tokens) {
    if (!available()) return false;
    const std::string& text = lines_[line_];
    std::size_t start = 0;
    std::vector<std::string> all;
    while (start <= text.size()) {
      const std::size_t blank = text.find(' ', start);
      const std::size_t stop = blank == std::string::npos ? text.size() : blank;
      all.push_back(text.substr(start, stop - start));
      if (blank == std::string::npos) break;
      start = blank + 1;
    }
    if (all.empty() || all[0] != word)
      return fail(format("expected \"%s\" and %d value%s", word, count, count == 1 ? "" : "s"));
    if (static_cast<int>(all.size()) - 1 != count)
      return fail(format("\"%s\" needs %d value%s, the line has %zu", word, count,
                         count == 1 ? "" : "s", all.size() - 1));
    tokens.assign(all.begin() + 1, all.end());
    return true;
  }

  const std::vector<std::string>& lines_;
  std::string& error_;
  std::size_t line_ = 0;
};

}  // namespace

bool KrigingFit::readData(const std::vector<std::string>& lines, std::string& error) {
  clear();
  LineReader in(lines, error);
  if (!in.exact(kFirstLine) || !in.exact("version 1")) return false;
  long d = 0, n = 0, order = 0;
  if (!in.integer("variables", 1, 10000, d) || !in.integer("points", 2, 10000000, n) ||
      !in.integer("regression", 0, 2, order))
    return false;
  int which = 0;
  if (!in.word("correlation", {"Matern52", "Gaussian"}, which)) return false;
  const KrigingCorrelation correlation =
      which == 1 ? KrigingCorrelation::kGaussian : KrigingCorrelation::kMatern52;
  const int p = trendTermCount(static_cast<int>(order), static_cast<int>(d));
  if (n < p + 1) {
    error = format("Kriging model text: %ld points are too few for the trend of %d terms.", n, p);
    return false;
  }
  // The remaining lines must be there before anything of size n is made.
  if (!in.remaining(10 + static_cast<std::size_t>(n))) {
    error = format("Kriging model text: %zu lines, fewer than the %zu that %ld points need.",
                   lines.size(), in.line() + 10 + static_cast<std::size_t>(n), n);
    return false;
  }
  double nugget = 0.0, sigma2 = 0.0, logLikelihood = 0.0, yMean = 0.0, yStd = 0.0;
  if (!in.reals("nugget", 1, &nugget)) return false;
  if (!(nugget > 0.0 && nugget <= 1.0)) return in.fail("the nugget must be in (0, 1]");
  if (!in.reals("process_variance", 1, &sigma2) || !in.reals("log_likelihood", 1, &logLikelihood) ||
      !in.reals("y_mean", 1, &yMean) || !in.reals("y_std", 1, &yStd))
    return false;
  if (sigma2 < 0.0 || yStd < 0.0) {
    error = "Kriging model text: the process variance and y_std must not be negative.";
    return false;
  }
  std::vector<double> means(d), stds(d), thetas(d), beta(p);
  if (!in.reals("x_means", static_cast<int>(d), means.data()) ||
      !in.reals("x_stds", static_cast<int>(d), stds.data()))
    return false;
  for (double s : stds)
    if (!(s > 0.0)) {
      error = "Kriging model text: every x_std must be positive.";
      return false;
    }
  if (!in.reals("thetas", static_cast<int>(d), thetas.data())) return false;
  for (double s : thetas)
    if (std::abs(s) > 300.0) {
      error = "Kriging model text: a theta lies outside -300 .. 300.";
      return false;
    }
  if (!in.reals("beta", p, beta.data())) return false;
  Eigen::MatrixXd x(n, d);
  Eigen::VectorXd y(n), gamma(n);
  std::vector<double> row(d + 2);
  for (long i = 0; i < n; ++i) {
    if (!in.reals("point", static_cast<int>(d) + 2, row.data())) return false;
    for (long k = 0; k < d; ++k) x(i, k) = row[k];
    y(i) = row[d];
    gamma(i) = row[d + 1];
  }
  if (!in.available()) return false;
  const std::string expected =
      format("%s %016llx", kEndWords,
             static_cast<unsigned long long>(checksumOf(lines, in.line())));
  if (in.current().rfind(kEndWords, 0) != 0)
    return in.fail(format("expected \"%s\" and the checksum", kEndWords));
  if (in.current() != expected)
    return in.fail("the checksum does not match the text above it (the text was changed)");

  // Rebuild the fitted state exactly as compute() left it.
  d_ = static_cast<int>(d);
  n_ = static_cast<int>(n);
  p_ = p;
  order_ = static_cast<int>(order);
  correlation_ = correlation;
  estimateNugget_ = false;
  nugget_ = nugget;
  sigma2_ = sigma2;
  logLikelihood_ = logLikelihood;
  yMean_ = yMean;
  yStd_ = yStd;
  xMeans_ = means;
  xStds_ = stds;
  thetas_ = thetas;
  beta_ = Eigen::Map<Eigen::VectorXd>(beta.data(), p);
  gamma_ = gamma;
  x_ = x;
  y_ = y;
  z_.resize(n_, d_);
  for (int s = 0; s < n_; ++s)
    for (int k = 0; k < d_; ++k) z_(s, k) = (x_(s, k) - xMeans_[k]) / xStds_[k];
  t_.resize(n_);
  for (int s = 0; s < n_; ++s) t_(s) = yStd_ == 0.0 ? 0.0 : (y_(s) - yMean_) / yStd_;
  f_.resize(n_, p_);
  std::vector<double> f(p_);
  for (int s = 0; s < n_; ++s) {
    const Eigen::VectorXd zs = z_.row(s).transpose();
    trendRow(zs.data(), f.data());
    for (int c = 0; c < p_; ++c) f_(s, c) = f[c];
  }
  if (!factor(error)) {
    error = "Kriging model text: " + error.substr(std::string("Kriging: ").size());
    clear();
    return false;
  }
  factorTrend(constantPrecision());
  rawPoints_.clear();
  rawResponses_.clear();
  prepared_ = true;
  fitted_ = true;
  return true;
}

}  // namespace karvo::support
