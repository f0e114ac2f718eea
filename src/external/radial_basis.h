// Radial basis function models: interpolants s(x) = sum_j w_j phi(|x - x_j|) (+ a linear
// polynomial for the kernels that need one) through the responses of evaluated designs.
//
// Two parts:
//   - the kernels, under the kernel interface IKernelFunction -> IRadialBasisFunction ->
//     RadialBasisFunctionBase, one class per kernel, made by name with
//     makeRadialBasisFunction;
//   - RadialBasisFunctionFit, which fits a kernel model to points and responses, chooses the
//     kernel's shape by leave-one-out error when none is set, evaluates the model and its
//     gradient, and writes and reads the model as text lines.
//
// Use:
//   std::string error;
//   std::unique_ptr<IRadialBasisFunction> kernel = makeRadialBasisFunction("RBFGaussian", 0, error);
//   RadialBasisFunctionFit fit(points, responses, *kernel);   // points: designs x variables
//   if (!fit.compute(error)) ... error ...;
//   double y = fit.evaluate(x);
//   std::vector<std::string> lines = fit.writeData();         // later: other.readData(lines, error)
//
// Workload: a search fits a model to a few hundred points per generation and evaluates it
// some thousands of times; a fit is O(N^3) in the number of points N (a few milliseconds for
// N = 150 per shape tried), an evaluation O(N d).
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include <Eigen/Dense>

namespace karvo::support {

// ---------------------------------------------------------------------------------------------
// Kernels
// ---------------------------------------------------------------------------------------------

// A symmetric kernel k(x, y) of two points of equal dimension. Boundary class: not copyable
// (use clone), virtual destructor. The operations are listed in their slot order.
class IKernelFunction {
 public:
  IKernelFunction() = default;
  IKernelFunction(const IKernelFunction&) = delete;
  IKernelFunction& operator=(const IKernelFunction&) = delete;
  virtual ~IKernelFunction() = default;

  // The kernel's name word, e.g. "RBFGaussian".
  virtual const char* name() const = 0;
  // k(x, y). x and y must have the same length; otherwise NaN.
  virtual double value(std::span<const double> x, std::span<const double> y) const = 0;
  // The gradient of k(x, y) with respect to x into `gradient` (resized to x's length).
  // False when it cannot be formed (the kernel is not differentiable there, or the lengths
  // differ); `gradient` is then all zeros.
  virtual bool gradientX(std::span<const double> x, std::span<const double> y,
                         std::vector<double>& gradient) const = 0;
  // The gradient with respect to y: the negated gradient with respect to x; false as above.
  virtual bool gradientY(std::span<const double> x, std::span<const double> y,
                         std::vector<double>& gradient) const = 0;
  // K(i, j) = k(points[i], points[j]) for every pair: a symmetric N x N matrix. All points
  // must have the same length (a point of another length gives NaN entries).
  virtual Eigen::MatrixXd kernelMatrix(const std::vector<std::vector<double>>& points) const = 0;
  // A new kernel of the same class and the same parameters (bit for bit).
  virtual std::unique_ptr<IKernelFunction> clone() const = 0;
  // True when every kernel matrix of distinct points is positive definite, so that the
  // interpolation system needs no polynomial part.
  virtual bool isPositiveDefinite() const = 0;
};

// A radial kernel phi(r), r = |x - y|, with a shape parameter c > 0.
class IRadialBasisFunction : public IKernelFunction {
 public:
  // Sets c and stores c^2 and c^3 with it. A shape <= 0 (or NaN or infinite) is replaced by
  // 0.001, stored with 1e-6 and 1e-9.
  virtual void setShape(double shape) = 0;
  // c.
  virtual double shape() const = 0;
  // 1 for the multiquadric family (RBFMultiQuadratic, RBFInvMultiQuadratic), 0 otherwise.
  virtual int family() const = 0;
};

// The common part of the six kernels: the shape triple and the operations that follow from
// the radial profile phi as a function of r^2 (the two operations added at the end).
class RadialBasisFunctionBase : public IRadialBasisFunction {
 public:
  double value(std::span<const double> x, std::span<const double> y) const override;
  bool gradientX(std::span<const double> x, std::span<const double> y,
                 std::vector<double>& gradient) const override;
  bool gradientY(std::span<const double> x, std::span<const double> y,
                 std::vector<double>& gradient) const override;
  Eigen::MatrixXd kernelMatrix(const std::vector<std::vector<double>>& points) const override;
  bool isPositiveDefinite() const override { return false; }
  void setShape(double shape) override;
  double shape() const override { return c_; }
  int family() const override { return 0; }

  // phi as a function of the squared distance r2 >= 0.
  virtual double profile(double r2) const = 0;
  // d phi / d(r2) into `slope`; false (slope 0) where phi is not differentiable. The
  // gradient with respect to x is 2 slope (x - y).
  virtual bool profileSlope(double r2, double& slope) const = 0;

  // The sign s for which s times the kernel matrix is positive definite on the vectors
  // orthogonal to the linear polynomials at the points: -1 for the multiquadric and the
  // linear kernel, +1 for the others. A ridge added to an ill-conditioned matrix takes it.
  int definiteSign() const { return sign_; }

 protected:
  RadialBasisFunctionBase(double shape, int definiteSign);
  // Copies c, c^2 and c^3 unchanged (for clone).
  void copyShape(const RadialBasisFunctionBase& other);

  double c_ = 0;   // shape c > 0
  double c2_ = 0;  // c^2
  double c3_ = 0;  // c^3

 private:
  int sign_;  // +1 or -1, see definiteSign
};

// exp(-c^2 r^2). Positive definite.
class RBFGaussian final : public RadialBasisFunctionBase {
 public:
  explicit RBFGaussian(double shape = 1.0) : RadialBasisFunctionBase(shape, 1) {}
  const char* name() const override { return "RBFGaussian"; }
  std::unique_ptr<IKernelFunction> clone() const override;
  bool isPositiveDefinite() const override { return true; }
  double profile(double r2) const override;
  bool profileSlope(double r2, double& slope) const override;
};

// sqrt(c^2 r^2 + 1). Conditionally negative definite of order 1.
class RBFMultiQuadratic final : public RadialBasisFunctionBase {
 public:
  explicit RBFMultiQuadratic(double shape = 1.0) : RadialBasisFunctionBase(shape, -1) {}
  const char* name() const override { return "RBFMultiQuadratic"; }
  std::unique_ptr<IKernelFunction> clone() const override;
  int family() const override { return 1; }
  double profile(double r2) const override;
  bool profileSlope(double r2, double& slope) const override;
};

// 1 / sqrt(c^2 r^2 + 1). Positive definite.
class RBFInvMultiQuadratic final : public RadialBasisFunctionBase {
 public:
  explicit RBFInvMultiQuadratic(double shape = 1.0) : RadialBasisFunctionBase(shape, 1) {}
  const char* name() const override { return "RBFInvMultiQuadratic"; }
  std::unique_ptr<IKernelFunction> clone() const override;
  bool isPositiveDefinite() const override { return true; }
  int family() const override { return 1; }
  double profile(double r2) const override;
  bool profileSlope(double r2, double& slope) const override;
};

// c r. Not differentiable at r = 0: below r^2 = 1e-8 the gradient is zero and false.
class RBFLinear final : public RadialBasisFunctionBase {
 public:
  explicit RBFLinear(double shape = 1.0) : RadialBasisFunctionBase(shape, -1) {}
  const char* name() const override { return "RBFLinear"; }
  std::unique_ptr<IKernelFunction> clone() const override;
  double profile(double r2) const override;
  bool profileSlope(double r2, double& slope) const override;
};

// c^2 r^2 ln(c r) for r > 0, 0 at r = 0.
class RBFThinPlateSpline final : public RadialBasisFunctionBase {
 public:
  explicit RBFThinPlateSpline(double shape = 1.0) : RadialBasisFunctionBase(shape, 1) {}
  const char* name() const override { return "RBFThinPlateSpline"; }
  std::unique_ptr<IKernelFunction> clone() const override;
  double profile(double r2) const override;
  bool profileSlope(double r2, double& slope) const override;
};

// c^3 r^3.
class RBFCubic final : public RadialBasisFunctionBase {
 public:
  explicit RBFCubic(double shape = 1.0) : RadialBasisFunctionBase(shape, 1) {}
  const char* name() const override { return "RBFCubic"; }
  std::unique_ptr<IKernelFunction> clone() const override;
  double profile(double r2) const override;
  bool profileSlope(double r2, double& slope) const override;
};

// The kernel of name word `name` (exactly one of the six class names) with shape `shape`
// (<= 0 becomes 0.001). An unknown name gives null and sets `error`:
//   Unrecognized radial basis function kernel "<name>"; the kernels are RBFGaussian,
//   RBFMultiQuadratic, RBFInvMultiQuadratic, RBFLinear, RBFThinPlateSpline and RBFCubic.
std::unique_ptr<RadialBasisFunctionBase> makeRadialBasisFunction(const std::string& name,
                                                                  double shape,
                                                                  std::string& error);

// ---------------------------------------------------------------------------------------------
// The fitted model
// ---------------------------------------------------------------------------------------------

// A radial basis function interpolant of N points in d variables.
//
// Normalisation: each variable is mapped to the unit interval, u = (x - min) / (max - min)
// over the points (a variable with one value in all points keeps its own units: u = x - min);
// the responses are centred and scaled, y' = (y - mean) / max |y - mean| (scale 1 when the
// responses are all equal). Distances, the shape and the polynomial part all refer
// to u; evaluate and gradient take and give the variables' own units.
//
// Model: s(u) = sum_j w_j phi(|u - u_j|^2) + t_0 + sum_k t_k u_k, where the polynomial part
// t is present only for the kernels that are not positive definite (multiquadric, linear,
// thin-plate spline, cubic); it makes the interpolation system
//     [ A + rI   P ] [w]   [y']
//     [ P^T      0 ] [t] = [0 ]        (A_ij = phi(|u_i - u_j|^2), P = [1 u])
// uniquely solvable. A column of P that the points do not determine (a variable with one
// value, points on a lower-dimensional plane) is left out: its coefficient is 0. The system
// is solved by LU with partial pivoting. When its estimated reciprocal condition number is
// below 1e-15 a ridge r (signed by the kernel's definiteSign) of 1e-14 times the largest
// column sum of |A| is added and raised tenfold until it is not (to 1e-6 times at most; below
// 1e-18 even then, the fit fails as singular). Without a ridge the model interpolates the
// responses to rounding; with one it passes within about r |w| of them. Only a fixed shape
// can need a ridge: the search below passes over such shapes.
//
// Shape: setShape(c > 0) fixes c (in normalised units). Without it (or after setShape(0)) the
// shape is chosen by leave-one-out error: Rippa's closed form gives the N residuals of the
// models fitted without each point, e_i = w_i / (B^-1)_ii (B the whole system above, ridge
// included), from one factorisation; the sum of their squares is minimised over 15 shapes
// spaced evenly in log c from 0.02/h to 20/h (h the mean distance of a point to its nearest
// neighbour), then by a golden-section search in log c between the neighbours of the best of
// them (12 steps). Shapes whose system has an estimated reciprocal condition number below
// 1e-12 are passed over (their residuals are lost to rounding); when no shape of the grid
// qualifies (or the responses are constant) the shape is 1/h. The linear, cubic and
// thin-plate kernels give the same model for every shape (up to the polynomial part), so for
// them an unset shape is 1 and nothing is searched.
//
// Points that coincide in every variable and have equal responses are merged into one centre
// (the first); coinciding points with different responses are refused. All other refusals
// are listed at compute.
class RadialBasisFunctionFit {
 public:
  // A model without data, for readData.
  RadialBasisFunctionFit() = default;
  // points: N rows of d values each (designs x variables); responses: N values; the kernel
  // is cloned. Nothing is checked or fitted until compute.
  RadialBasisFunctionFit(std::vector<std::vector<double>> points, std::vector<double> responses,
                         const IRadialBasisFunction& kernel);
  RadialBasisFunctionFit(const RadialBasisFunctionFit&) = delete;
  RadialBasisFunctionFit& operator=(const RadialBasisFunctionFit&) = delete;
  RadialBasisFunctionFit(RadialBasisFunctionFit&&) = default;
  RadialBasisFunctionFit& operator=(RadialBasisFunctionFit&&) = default;
  ~RadialBasisFunctionFit() = default;

  // Fixes the shape (c > 0, normalised units) or, for c <= 0 or NaN, leaves it to the
  // leave-one-out search. Takes effect at the next compute; the model is unfitted until then.
  void setShape(double shape);

  // Fits the model. False with `error` set (and the model unfitted) for, with points
  // numbered from 1:
  //   "A radial basis function model needs one of the six kernels; none was given."
  //   "A radial basis function model needs at least 2 distinct points; the data holds <n>."
  //   "A radial basis function model needs at least 1 variable; the points have none."
  //   "Point <i> has <m> values; <d> were expected (as many as point 1 has)."
  //   "<m> responses were given for <n> points; there must be one response per point."
  //   "Point <i>, variable <k> is <v>; only finite values can be fitted."
  //   "The response of point <i> is <v>; only finite values can be fitted."
  //   "Points <i> and <j> are the same point with different responses (<a> and <b>); an
  //    interpolating model cannot take two values at one point."
  //   "The interpolation system of the <kernel> kernel with shape <c> is singular (reciprocal
  //    condition <rc> with a ridge of <r>); the points may be too close together."
  // A constant response is fitted exactly: the model is that constant.
  bool compute(std::string& error);
  bool fitted() const { return fitted_; }

  // The model's value at x (d values, own units); NaN when unfitted or x has another length.
  double evaluate(const std::vector<double>& x) const;
  // The analytic gradient at x into g (d values). False when unfitted, when x has another
  // length, or when the kernel is not differentiable at x (the linear kernel within
  // 1e-4 of a centre in normalised distance): g then holds the gradient without the terms
  // of those centres.
  bool gradient(const std::vector<double>& x, std::vector<double>& g) const;

  // The model as text lines (empty when unfitted); the first is
  // "Radial Basis Function model data". Every real is printed with "%.17g", so that a model
  // read back predicts bit for bit what this one predicts. Layout:
  //   Radial Basis Function model data
  //   kernel <name>
  //   shape <c> <chosen|fixed>
  //   ridge <r>
  //   variables <d>
  //   centres <N>
  //   polynomial <0 | d + 1>
  //   response <mean> <scale>
  //   minimum <min_1> ... <min_d>
  //   range <range_1> ... <range_d>
  //   centre <x_1> ... <x_d> <y> <w> <leave-one-out residual>      (N lines, own units)
  //   coefficients <t_0> ... <t_d>                                 (when polynomial > 0)
  //   checksum <16 hex digits: FNV-1a 64 of the lines above, each followed by "\n">
  std::vector<std::string> writeData() const;
  // Reads what writeData wrote (lines after the checksum line are ignored; a trailing "\r"
  // is dropped). False with `error` = "Radial basis function model data, line <n>: <what>"
  // for any text that is not such a model, is truncated or was altered; the model is then
  // unfitted.
  bool readData(const std::vector<std::string>& lines, std::string& error);

  // Statistics of the fitted model (own units). The leave-one-out residuals y_i - s_{-i}(x_i),
  // one per centre, and their sum of squares (NaN where the model without the point is not
  // determined: no more points than polynomial terms).
  const std::vector<double>& PRESSResiduals() const { return looResiduals_; }
  double PRESS() const;
  // The root mean square leave-one-out residual, sqrt(PRESS / N).
  double crossValidation() const;
  // Means and sample standard deviations of the variables over the centres, and of the
  // responses.
  std::vector<double> xMeans() const;
  std::vector<double> xStds() const;
  double yMean() const { return yMean_; }
  double yStd() const;

  double shape() const { return kernel_ ? kernel_->shape() : 0.0; }
  bool shapeChosen() const { return shapeChosen_; }
  double ridge() const { return ridge_; }
  const RadialBasisFunctionBase* kernel() const { return kernel_.get(); }
  int variables() const { return variables_; }
  int centres() const { return static_cast<int>(responses_.size()); }

 private:
  struct System;  // the factorised interpolation system of one shape (radial_basis.cpp)

  bool prepare(std::string& error);
  bool solve(double shape, System& system, bool searching);
  void normaliseCentres();
  void clearFit();

  std::unique_ptr<RadialBasisFunctionBase> kernel_;  // owned clone
  std::vector<std::vector<double>> points_;  // the data, rows in own units; centres after compute
  std::vector<double> responses_;            // one per row of points_
  double fixedShape_ = 0;                    // > 0: fixed by setShape; 0: chosen
  bool shapeChosen_ = false;                 // the fitted shape came from the search
  bool fitted_ = false;

  int variables_ = 0;               // d >= 1 once fitted
  std::vector<double> minimum_;     // per variable, own units
  std::vector<double> range_;       // per variable, > 0 (1 for a variable with one value)
  std::vector<double> unit_;        // normalised centres, N x d row-major, in [0, 1]
  std::vector<int> polynomialColumns_;  // columns of P = [1 u] in the system (0 = constant)
  double yMean_ = 0;                // response centre
  double yScale_ = 1;               // response scale > 0
  double ridge_ = 0;                // signed ridge added to the diagonal of A
  std::vector<double> weights_;     // w, N (normalised response units)
  std::vector<double> polynomial_;  // t, d + 1 or empty; unused columns 0
  std::vector<double> looResiduals_;  // N, own units
};

}  // namespace karvo::support
