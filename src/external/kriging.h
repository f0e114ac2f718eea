// Kriging response surfaces: a Gaussian-process interpolator with a polynomial trend
// (universal Kriging) whose length scales are chosen by maximum likelihood. A search fits
// a few hundred points per generation and then predicts thousands of designs, so a fit
// keeps its Cholesky factor and weights and a prediction costs O(n d) (O(n^2) with the
// variance).
//
// Use:
//   KrigingFit fit(points, responses, 0, 0, 0.0);    // constant trend, default starts, nugget
//   if (!fit.compute(error)) ... error ...;
//   double y = fit.evaluate(x), mse = fit.variance(x);
//   std::vector<std::string> lines = fit.writeData();  // model file text
//   KrigingFit back; back.readData(lines, error);      // predicts bit for bit as `fit`
//
// Model (all in normalised units):
//   z = (x - xMeans) / xStds (z-scores per variable; a variable with a single value keeps
//   std 1), t = (y - yMean) / yStd;
//   t(z) ~ f(z)'beta + Z(z), Z a zero-mean process of variance sigma2 and correlation
//   Matern 5/2:  r = (1 + sqrt5 rho + 5 rho^2 / 3) exp(-sqrt5 rho),
//   Gaussian:    r = exp(-rho^2 / 2),
//   rho^2 = sum_k ((z_k - z'_k) / l_k)^2, one length scale l_k per variable.
//   Unless setCorrelation() names one, compute() chooses the correlation by likelihood: the
//   Matern 5/2 fit as below, then one BFGS climb of the Gaussian likelihood from its length
//   scales times 0.6 (Gaussian optima lie at shorter scales); the Gaussian is kept only when
//   its concentrated log-likelihood is higher (both have the same parameters, so the
//   likelihoods compare directly). Smooth responses get the Gaussian, kinks and ripples the
//   Matern; the choice costs one more BFGS run.
//   With the Gaussian so chosen and the default nugget, the nugget is then lowered by
//   factors of 100 down to 1e-14, the length scales climbed again each time, for as long as
//   the log-likelihood gains more than 0.5: a smooth response free of noise is otherwise
//   held to the length scales the default nugget allows (in a 2-variable case with 50
//   points, 4e-6 of the response variance left unexplained on hold-out points, not 2e-8).
//   The correlation matrix of the training points carries `nugget` on its diagonal (relative
//   to sigma2): the default 1e-10 n (lowered for a chosen Gaussian, below) only keeps the
//   factorisation stable, so the model interpolates its points closely (to about 1e-6 of the
//   response spread at the smallest nuggets, where rounding limits it).
//   Trend f: order 0 the constant; 1 constant and z_1 .. z_d; 2 additionally z_i z_j for
//   i <= j, row by row over the upper triangle (z1z1, z1z2, .., z1zd, z2z2, .., zdzd).
//
// Trend estimate: the constant has a prior centred on the sample mean of the responses with
// their sample variance (in normalised units: mean 0, variance 1; the other trend terms have
// none), so beta = (F'R^-1F + P)^-1 F'R^-1 t, P = sigma2 on the constant's diagonal entry,
// zero elsewhere. A constant that the points determine well (F'R^-1F >> sigma2) stays at its
// generalised least-squares value; one they hardly determine, which long length scales can
// carry several response deviations outside the responses (20 Branin points: 347.9 against
// a sample mean of 52.9 and a deviation of 44.2), is pulled back towards the sample mean.
// sigma2 and the likelihood below are those of the generalised least-squares trend; the
// variance and the leave-one-out residuals include the prior.
//
// Parameters: the "thetas" are the natural logarithms of the length scales l_k (z-score
// units), bounded to [ln 0.01, ln 100]; with an estimated nugget a last entry holds ln nugget,
// bounded to [ln(base nugget), ln 1]. compute() maximises the concentrated log-likelihood
//   L = -(n ln sigma2 + ln det R) / 2,  sigma2 = (t - F beta)' R^-1 (t - F beta) / n,
// beta the generalised least-squares trend (no prior), by KrigingOpt::optimize (multi-start
// BFGS with the analytic gradient, kriging_opt.h) or KrigingOpt::optimizePSO (setOptimizer).
//
// Data rules of compute():
//   - points and responses must be finite and rows of equal length (>= 1 variable);
//   - identical points (all coordinates equal) are merged into one with the mean of their
//     responses (mergedPoints() counts the points dropped); near-identical points are handled
//     by the nugget, raised by factors of 10 (up to 1e-3) when the factorisation fails;
//   - at least trend terms + 1 distinct points (2, d + 2, (d + 1)(d + 2)/2 + 1);
//   - a constant response is fitted as the constant model: evaluate() gives that value,
//     gradient() zero, variance() zero; no parameters are optimised (thetas 0).
#pragma once

#include <Eigen/Dense>

#include <cstdint>
#include <string>
#include <vector>

namespace karvo::support {

enum class KrigingCorrelation { kMatern52, kGaussian };
enum class KrigingOptimizer { kMultiStartBfgs, kParticleSwarm };

class KrigingFit {
 public:
  KrigingFit() = default;
  // points: designs x variables, in the variables' own units; responses: one per design.
  // regressionOrder: 0 constant, 1 linear, 2 quadratic trend (others refused by compute).
  // starts: the number of gradient runs of the multi-start optimiser, at most 50; 0 = the
  // default: round(3 (150 / n)^3) clamped to 3 .. 10 (the cost of about 3 runs at 150 points). stabilisation: the nugget relative to the process variance (<= 0 = default 1e-10 n).
  KrigingFit(const std::vector<std::vector<double>>& points, const std::vector<double>& responses,
             int regressionOrder, int starts, double stabilisation);

  // Settings, before compute(). The correlation is chosen by likelihood unless set; with
  // fixed thetas (setThetas) and no correlation set it is Matern 5/2.
  void setCorrelation(KrigingCorrelation correlation) {
    correlation_ = correlation;
    correlationSet_ = true;
  }
  void setOptimizer(KrigingOptimizer optimizer) { optimizer_ = optimizer; }
  // true: the nugget is a further maximum-likelihood parameter (noisy responses).
  void setNuggetEstimated(bool estimated) { estimateNugget_ = estimated; }
  // Fixes the parameters (see "thetas" above; d entries, or d + 1 with an estimated nugget):
  // compute() then fits with them instead of optimising. An empty vector frees them again.
  // Entries are clamped to their bounds by compute().
  void setThetas(const std::vector<double>& thetas) { fixedThetas_ = thetas; }

  // Fits the model. false with a message in `error` (the model is then unfitted).
  bool compute(std::string& error);
  // Checks and normalises the data (compute() starts with it); after it thetaObjective may be
  // called. false with a message.
  bool prepare(std::string& error);

  bool fitted() const { return fitted_; }
  int variables() const { return d_; }
  int points() const { return n_; }  // distinct points used
  int mergedPoints() const { return merged_; }
  int trendTerms() const { return p_; }
  int regressionOrder() const { return order_; }
  KrigingCorrelation correlation() const { return correlation_; }  // in use (chosen or set)
  double nugget() const { return nugget_; }
  double processVariance() const { return sigma2_ * yStd_ * yStd_; }  // in response units^2
  const std::vector<double>& thetas() const { return thetas_; }  // fitted parameters
  double logLikelihood() const { return logLikelihood_; }  // of the fitted parameters

  // Predictions (fitted model; x has variables() entries in the variables' own units).
  double evaluate(const std::vector<double>& x) const;
  // The Kriging mean squared error of evaluate(x), in response units^2: zero at the
  // training points up to the nugget, growing towards processVariance() (and beyond, outside
  // the points, through the trend) away from them.
  double variance(const std::vector<double>& x) const;
  // d evaluate / d x_k (analytic). false when not fitted or x has the wrong size.
  bool gradient(const std::vector<double>& x, std::vector<double>& g) const;
  // E[max(best - Y(x), 0)] for Y(x) ~ N(evaluate(x), variance(x)): the expected improvement
  // on `best` for a minimisation.
  double expectedImprovement(const std::vector<double>& x, double best) const;

  // Concentrated log-likelihood of `thetas` on the prepared data, and its gradient when
  // asked; -infinity when the correlation matrix cannot be factorised (or not prepared).
  double thetaObjective(const std::vector<double>& thetas,
                        std::vector<double>* gradient = nullptr) const;
  // thetaObjective along theta `index` at `count` (>= 2) even steps from `from` to `to`, the
  // other thetas at their fitted values; empty when not fitted or the arguments are invalid.
  std::vector<double> sweepTheta(int index, double from, double to, int count) const;
  // Bounds of the thetas (shared with KrigingOpt).
  std::vector<double> thetaLower() const;
  std::vector<double> thetaUpper() const;
  int thetaCount() const { return d_ + (estimateNugget_ ? 1 : 0); }
  int starts() const { return startsInUse_; }  // of the prepared fit

  // Statistics of the fitted model (response units).
  // Leave-one-out residuals y_i - prediction without point i (same parameters and prior of
  // the constant), by the closed form gamma_i / Q_ii, Q = R^-1 - R^-1 F (F'R^-1F + P)^-1 F'R^-1.
  std::vector<double> PRESSResiduals() const;
  double PRESS() const;  // their sum of squares
  // Leave-one-out coefficient of determination 1 - PRESS / sum (y_i - yMean)^2 (1 for a
  // constant response).
  double crossValidation() const;
  const std::vector<double>& xMeans() const { return xMeans_; }
  const std::vector<double>& xStds() const { return xStds_; }
  double yMean() const { return yMean_; }
  double yStd() const { return yStd_; }

  // The model as text lines, first line "Kriging model"; reals printed with "%.17g" (layout in
  // kriging.cpp). Empty when not fitted.
  std::vector<std::string> writeData() const;
  // Reads what writeData wrote (lines after its last line are ignored). false with a message
  // naming the line for any text it did not write; the model is then unfitted.
  bool readData(const std::vector<std::string>& lines, std::string& error);

 private:
  bool finish(std::string& error);  // factor, weights and statistics for thetas_
  void chooseCorrelation();         // Matern 5/2 optimum in thetas_ -> the likelier kernel
  bool factor(std::string& error);  // L_, Ft_, trend factor from z_, thetas_, nugget_
  // trendLlt_ of F'R^-1F + constantPrecision on the constant's diagonal entry; false when
  // it cannot be factorised.
  bool factorTrend(double constantPrecision);
  double constantPrecision() const;  // of the constant's prior, from sigma2_
  void trendRow(const double* z, double* f) const;
  double correlationOf(double q, double* derivativeFactor) const;
  void clear();

  // Input as given.
  std::vector<std::vector<double>> rawPoints_;  // designs x variables
  std::vector<double> rawResponses_;
  int order_ = 0;                        // trend order 0 .. 2
  int starts_ = 0;                       // gradient runs, 0 (default) .. 50
  int startsInUse_ = 3;                  // starts_, or the default for n points
  double baseNugget_ = 0.0;              // <= 0: 1e-10 n
  KrigingCorrelation correlation_ = KrigingCorrelation::kMatern52;
  bool correlationSet_ = false;          // false: compute() chooses by likelihood
  KrigingOptimizer optimizer_ = KrigingOptimizer::kMultiStartBfgs;
  bool estimateNugget_ = false;
  std::vector<double> fixedThetas_;      // empty: optimise

  // Prepared data.
  bool prepared_ = false;
  int n_ = 0, d_ = 0, p_ = 0, merged_ = 0;
  std::vector<double> xMeans_, xStds_;  // normalisation of the variables (std > 0)
  double yMean_ = 0.0, yStd_ = 0.0;      // yStd_ 0: constant response
  Eigen::MatrixXd x_;                    // n x d distinct points, own units
  Eigen::VectorXd y_;                    // n responses, own units
  Eigen::MatrixXd z_;                    // n x d normalised points
  Eigen::VectorXd t_;                    // n normalised responses
  Eigen::MatrixXd f_;                    // n x p trend matrix
  double nugget_ = 0.0;                  // in use (base or raised)

  // Fitted model.
  bool fitted_ = false;
  std::vector<double> thetas_;           // ln length scales (+ ln nugget)
  Eigen::VectorXd inverseSquares_;       // 1 / l_k^2
  Eigen::VectorXd beta_;                 // p trend coefficients (normalised units)
  Eigen::VectorXd gamma_;                // n weights R^-1 (t - F beta)
  double sigma2_ = 0.0;                  // process variance, normalised units
  double logLikelihood_ = 0.0;
  Eigen::MatrixXd L_;                    // Cholesky factor of R (lower)
  Eigen::MatrixXd Ft_;                   // L^-1 F
  Eigen::LLT<Eigen::MatrixXd> trendLlt_; // of F'R^-1F
};

}  // namespace karvo::support
