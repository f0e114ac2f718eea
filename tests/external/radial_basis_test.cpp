// Radial basis function models: the six kernels (formula, gradient against finite
// differences, definiteness, shape replacement, clone, factory), the fitted
// interpolant (exact interpolation, analytic gradient, leave-one-out residuals against refits,
// the shape search, ridge, degenerate polynomial parts, repeated points, a constant response),
// the text form (exact layout, bit-for-bit read-back, truncated and altered texts refused) and
// the refused inputs with their messages.
#include "external/radial_basis.h"
#include "support/damaged_bytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::support {
namespace {

const std::vector<std::string> kKernelNames = {"RBFGaussian",       "RBFMultiQuadratic",
                                               "RBFInvMultiQuadratic", "RBFLinear",
                                               "RBFThinPlateSpline", "RBFCubic"};

std::unique_ptr<RadialBasisFunctionBase> kernelNamed(const std::string& name, double shape) {
  std::string error;
  auto kernel = makeRadialBasisFunction(name, shape, error);
  EXPECT_TRUE(kernel) << error;
  return kernel;
}

// phi(r) written out from the kernel table, independently of the classes.
double tableValue(const std::string& name, double c, double r) {
  if (name == "RBFGaussian") return std::exp(-c * c * r * r);
  if (name == "RBFMultiQuadratic") return std::sqrt(c * c * r * r + 1);
  if (name == "RBFInvMultiQuadratic") return 1 / std::sqrt(c * c * r * r + 1);
  if (name == "RBFLinear") return c * r;
  if (name == "RBFThinPlateSpline") return r > 0 ? c * c * r * r * std::log(c * r) : 0.0;
  return c * c * c * r * r * r;
}

// Uniform numbers in [0, 1) from a fixed stream (the same on every platform).
class Uniform {
 public:
  explicit Uniform(std::uint64_t seed) : engine_(seed) {}
  double operator()() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

 private:
  std::mt19937_64 engine_;
};

// A smooth test function of two variables over x0 in [-1, 2], x1 in [10, 14].
double smoothSurface(const std::vector<double>& x) {
  return std::sin(1.3 * x[0]) + std::cos(0.8 * x[1]) + 0.2 * x[0] * (x[1] - 12);
}

std::vector<std::vector<double>> randomPoints(int count, Uniform& uniform) {
  std::vector<std::vector<double>> points;
  for (int i = 0; i < count; ++i) points.push_back({-1 + 3 * uniform(), 10 + 4 * uniform()});
  return points;
}

std::vector<double> surfaceResponses(const std::vector<std::vector<double>>& points) {
  std::vector<double> responses;
  for (const auto& point : points) responses.push_back(smoothSurface(point));
  return responses;
}

RadialBasisFunctionFit fitted(const std::vector<std::vector<double>>& points,
                              const std::vector<double>& responses, const std::string& kernel,
                              double shape = 0) {
  RadialBasisFunctionFit fit(points, responses, *kernelNamed(kernel, 1.0));
  fit.setShape(shape);
  std::string error;
  EXPECT_TRUE(fit.compute(error)) << kernel << ": " << error;
  return fit;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// FNV-1a 64 of each line followed by "\n": the checksum of the model text.
std::string checksumLine(const std::vector<std::string>& lines, std::size_t count) {
  std::uint64_t hash = 14695981039346656037ull;
  for (std::size_t i = 0; i < count; ++i) {
    for (unsigned char ch : lines[i] + "\n") {
      hash ^= ch;
      hash *= 1099511628211ull;
    }
  }
  char text[40];
  std::snprintf(text, sizeof text, "checksum %016llx", static_cast<unsigned long long>(hash));
  return text;
}

// --- Kernels -------------------------------------------------------------------------------

TEST(RadialBasisKernel, ValuesFollowTheTableAndGradientsMatchFiniteDifferences) {
  const std::vector<double> x = {0.3, -1.2, 0.7};
  const std::vector<double> y = {-0.4, 0.1, 1.5};
  const double r = std::sqrt(0.49 + 1.69 + 0.64);
  for (const std::string& name : kKernelNames) {
    SCOPED_TRACE(name);
    const auto kernel = kernelNamed(name, 1.7);
    EXPECT_EQ(name, kernel->name());
    EXPECT_NEAR(tableValue(name, 1.7, r), kernel->value(x, y),
                1e-14 * std::fabs(tableValue(name, 1.7, r)));
    EXPECT_EQ(kernel->value(x, y), kernel->value(y, x));
    EXPECT_EQ(name == "RBFGaussian" || name == "RBFInvMultiQuadratic",
              kernel->isPositiveDefinite());
    EXPECT_EQ(name == "RBFMultiQuadratic" || name == "RBFLinear" ? -1 : 1,
              kernel->definiteSign());
    // A copy keeps the class and the shape bit for bit.
    const std::unique_ptr<IKernelFunction> copy = kernel->clone();
    auto* radial = dynamic_cast<RadialBasisFunctionBase*>(copy.get());
    ASSERT_NE(nullptr, radial);
    EXPECT_EQ(name, radial->name());
    EXPECT_TRUE(sameBits(kernel->value(x, y), radial->value(x, y)));
    EXPECT_EQ(1.7, radial->shape());

    std::vector<double> gx;
    std::vector<double> gy;
    ASSERT_TRUE(kernel->gradientX(x, y, gx));
    ASSERT_TRUE(kernel->gradientY(x, y, gy));
    ASSERT_EQ(3u, gx.size());
    for (int k = 0; k < 3; ++k) {
      std::vector<double> up = x;
      std::vector<double> down = x;
      up[k] += 1e-6;
      down[k] -= 1e-6;
      const double difference = (kernel->value(up, y) - kernel->value(down, y)) / 2e-6;
      EXPECT_NEAR(difference, gx[k], 1e-7 * std::max(1.0, std::fabs(difference)));
      EXPECT_EQ(-gx[k], gy[k]);
    }
  }
  // The factory knows the six names only, spelt as above.
  std::string error;
  EXPECT_EQ(nullptr, makeRadialBasisFunction("RBFQuintic", 1.0, error));
  EXPECT_EQ(
      "Unrecognized radial basis function kernel \"RBFQuintic\"; the kernels are RBFGaussian, "
      "RBFMultiQuadratic, RBFInvMultiQuadratic, RBFLinear, RBFThinPlateSpline and RBFCubic.",
      error);
  EXPECT_EQ(nullptr, makeRadialBasisFunction("rbfgaussian", 1.0, error));
}

TEST(RadialBasisKernel, LinearGradientAtZeroDistanceIsNotFormed) {
  using Point = std::vector<double>;
  const auto linear = kernelNamed("RBFLinear", 2.0);
  std::vector<double> g = {7, 7};
  EXPECT_FALSE(linear->gradientX(Point{0.5, 0.5}, Point{0.5, 0.5 + 0.9e-4}, g));
  EXPECT_EQ((Point{0, 0}), g);
  EXPECT_FALSE(linear->gradientY(Point{0.5, 0.5}, Point{0.5, 0.5}, g));
  EXPECT_EQ((Point{0, 0}), g);
  EXPECT_TRUE(linear->gradientX(Point{0.5, 0.5}, Point{0.5, 0.5 + 1.1e-4}, g));
  EXPECT_EQ(0.0, g[0]);
  EXPECT_DOUBLE_EQ(-2.0, g[1]);

  // The thin-plate spline is 0 at r = 0 with a zero gradient there.
  const auto plate = kernelNamed("RBFThinPlateSpline", 2.0);
  EXPECT_EQ(0.0, plate->value(Point{1, 2}, Point{1, 2}));
  EXPECT_TRUE(plate->gradientX(Point{1, 2}, Point{1, 2}, g));
  EXPECT_EQ((Point{0, 0}), g);
  // Lengths that differ: no value and no gradient.
  EXPECT_TRUE(std::isnan(plate->value(Point{1, 2}, Point{1})));
  EXPECT_FALSE(plate->gradientX(Point{1, 2}, Point{1}, g));
}

TEST(RadialBasisKernel, ShapeNotAboveZeroBecomesOneThousandth) {
  const std::vector<double> origin = {0, 0};
  const std::vector<double> unit = {0, 1};
  for (double shape : {0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
    const auto cubic = kernelNamed("RBFCubic", shape);
    EXPECT_EQ(0.001, cubic->shape());
    EXPECT_EQ(1e-9, cubic->value(origin, unit));  // c^3 stored as 1e-9 exactly
    const auto gaussian = kernelNamed("RBFGaussian", 1.0);
    gaussian->setShape(shape);
    EXPECT_EQ(0.001, gaussian->shape());
    EXPECT_EQ(std::exp(-1e-6), gaussian->value(origin, unit));  // c^2 stored as 1e-6
  }
  const auto cubic = kernelNamed("RBFCubic", 2.0);
  EXPECT_EQ(2.0, cubic->shape());
  EXPECT_EQ(8.0, cubic->value(origin, unit));
}

// --- Fits ----------------------------------------------------------------------------------

// Leave-one-out residuals from the closed form equal those of models refitted without each
// point. The multiquadric reproduces constants and the left-out points are interior ones, so
// the refit has the same normalisation and shape.
TEST(RadialBasisFit, LeaveOneOutResidualsEqualRefitsWithoutThePoint) {
  Uniform uniform(13);
  std::vector<std::vector<double>> points = {{-1, 10}, {2, 10}, {-1, 14}, {2, 14}};
  for (int i = 0; i < 16; ++i) points.push_back({-0.9 + 2.8 * uniform(), 10.1 + 3.8 * uniform()});
  const auto responses = surfaceResponses(points);
  const RadialBasisFunctionFit fit = fitted(points, responses, "RBFMultiQuadratic", 2.0);
  ASSERT_EQ(20u, fit.PRESSResiduals().size());
  double press = 0;
  for (std::size_t i = 4; i < points.size(); ++i) {
    auto fewer = points;
    auto fewerResponses = responses;
    fewer.erase(fewer.begin() + static_cast<long>(i));
    fewerResponses.erase(fewerResponses.begin() + static_cast<long>(i));
    const RadialBasisFunctionFit refit = fitted(fewer, fewerResponses, "RBFMultiQuadratic", 2.0);
    EXPECT_NEAR(responses[i] - refit.evaluate(points[i]), fit.PRESSResiduals()[i], 1e-9) << i;
  }
  for (double e : fit.PRESSResiduals()) press += e * e;
  EXPECT_DOUBLE_EQ(press, fit.PRESS());
  EXPECT_DOUBLE_EQ(std::sqrt(press / 20), fit.crossValidation());
}

TEST(RadialBasisFit, ChosenShapeBeatsPoorFixedShapes) {
  Uniform uniform(14);
  const auto points = randomPoints(40, uniform);
  const auto responses = surfaceResponses(points);
  for (const std::string name : {"RBFGaussian", "RBFMultiQuadratic", "RBFInvMultiQuadratic"}) {
    SCOPED_TRACE(name);
    const RadialBasisFunctionFit chosen = fitted(points, responses, name);
    EXPECT_TRUE(chosen.shapeChosen());
    EXPECT_GT(chosen.shape(), 0.0);
    for (double poor : {40.0, 0.05 * chosen.shape(), 20.0 * chosen.shape()}) {
      const RadialBasisFunctionFit fixed = fitted(points, responses, name, poor);
      EXPECT_FALSE(fixed.shapeChosen());
      EXPECT_EQ(poor, fixed.shape());
      EXPECT_LT(chosen.PRESS(), fixed.PRESS()) << "shape " << poor;
    }
  }
  // The linear, cubic and thin-plate kernels have no shape to choose: 1.
  const RadialBasisFunctionFit cubic = fitted(points, responses, "RBFCubic");
  EXPECT_EQ(1.0, cubic.shape());
  EXPECT_FALSE(cubic.shapeChosen());

  // A shape set unfits the model until the next compute; one not above 0 is chosen again.
  RadialBasisFunctionFit fit = fitted(points, responses, "RBFGaussian");
  fit.setShape(4.0);
  EXPECT_FALSE(fit.fitted());
  std::string error;
  ASSERT_TRUE(fit.compute(error));
  EXPECT_EQ(4.0, fit.shape());
  EXPECT_FALSE(fit.shapeChosen());
  fit.setShape(-1);
  ASSERT_TRUE(fit.compute(error));
  EXPECT_TRUE(fit.shapeChosen());
}

TEST(RadialBasisFit, IllConditionedSystemGetsARidgeSignedByTheKernel) {
  Uniform uniform(15);
  const auto points = randomPoints(30, uniform);
  const auto responses = surfaceResponses(points);
  const RadialBasisFunctionFit gaussian = fitted(points, responses, "RBFGaussian", 0.1);
  EXPECT_GT(gaussian.ridge(), 0.0);
  const RadialBasisFunctionFit multiquadric = fitted(points, responses, "RBFMultiQuadratic", 0.1);
  EXPECT_LT(multiquadric.ridge(), 0.0);
  // Such flat kernels cannot follow the data closely, but they still follow it: the
  // deviations at the points are well below those of the responses from their mean.
  for (const RadialBasisFunctionFit* fit : {&gaussian, &multiquadric}) {
    double deviation = 0;
    double spread = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      deviation += std::pow(responses[i] - fit->evaluate(points[i]), 2);
      spread += std::pow(responses[i] - fit->yMean(), 2);
    }
    EXPECT_LT(deviation, 1e-4 * spread);
  }
}

TEST(RadialBasisFit, PolynomialColumnsThePointsCannotFixAreLeftOut) {
  // A variable with one value, and points on a line: the cubic and multiquadric kernels fit.
  const std::vector<std::vector<double>> flat = {{0, 5}, {1, 5}, {2, 5}, {3, 5}};
  const std::vector<std::vector<double>> line = {{0, 0}, {1, 2}, {2, 4}, {3, 6}, {4, 8}};
  for (const auto* points : {&flat, &line}) {
    std::vector<double> responses;
    for (const auto& p : *points) responses.push_back(std::sin(p[0]));
    for (const std::string name : {"RBFCubic", "RBFMultiQuadratic", "RBFLinear"}) {
      const RadialBasisFunctionFit fit = fitted(*points, responses, name, 1.0);
      for (std::size_t i = 0; i < points->size(); ++i)
        EXPECT_NEAR(responses[i], fit.evaluate((*points)[i]), 1e-10) << name;
    }
  }
  // Two points in six variables: the model runs linearly between them.
  const RadialBasisFunctionFit two =
      fitted({{0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 1}}, {1, 3}, "RBFCubic");
  EXPECT_NEAR(2.0, two.evaluate({0.5, 0.5, 0.5, 0.5, 0.5, 0.5}), 1e-12);
}

TEST(RadialBasisFit, ConstantResponseIsThatConstantEverywhere) {
  Uniform uniform(16);
  const auto points = randomPoints(12, uniform);
  const std::vector<double> responses(12, 0.1);
  for (const std::string name : {"RBFGaussian", "RBFCubic", "RBFMultiQuadratic"}) {
    const RadialBasisFunctionFit fit = fitted(points, responses, name);
    for (int t = 0; t < 20; ++t) {
      const std::vector<double> x = {-5 + 10 * uniform(), 5 * uniform()};
      EXPECT_EQ(0.1, fit.evaluate(x)) << name;
      std::vector<double> g;
      EXPECT_TRUE(fit.gradient(x, g));
      EXPECT_EQ((std::vector<double>{0, 0}), g);
    }
    EXPECT_EQ(0.0, fit.PRESS());
    EXPECT_EQ(0.0, fit.yStd());
  }
}

TEST(RadialBasisFit, RepeatedPointsWithEqualResponsesAreMerged) {
  const std::vector<std::vector<double>> points = {{0, 0}, {1, 0}, {0, 1}, {1, 0}, {1, 1}, {1, 0}};
  const RadialBasisFunctionFit fit = fitted(points, {1, 2, 3, 2, 4, 2}, "RBFThinPlateSpline");
  EXPECT_EQ(4, fit.centres());
  EXPECT_NEAR(2.0, fit.evaluate({1, 0}), 1e-12);
  EXPECT_NEAR(4.0, fit.evaluate({1, 1}), 1e-12);
  // The statistics are those of the four distinct points (sample deviations).
  EXPECT_EQ((std::vector<double>{0.5, 0.5}), fit.xMeans());
  EXPECT_EQ((std::vector<double>{std::sqrt(1.0 / 3.0), std::sqrt(1.0 / 3.0)}), fit.xStds());
  EXPECT_DOUBLE_EQ(2.5, fit.yMean());
  EXPECT_DOUBLE_EQ(std::sqrt(5.0 / 3.0), fit.yStd());
  EXPECT_EQ(2, fit.variables());
}

TEST(RadialBasisFit, RefusedInputs) {
  const auto gaussian = kernelNamed("RBFGaussian", 1.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::vector<std::vector<double>> points;
    std::vector<double> responses;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, {}, "A radial basis function model needs at least 2 distinct points; the data holds 0."},
      {{{1, 2}}, {3}, "A radial basis function model needs at least 2 distinct points; the data holds 1."},
      {{{1, 2}, {1, 2}, {1, 2}}, {3, 3, 3},
       "A radial basis function model needs at least 2 distinct points; the data holds 1."},
      {{{}, {}}, {1, 2}, "A radial basis function model needs at least 1 variable; the points have none."},
      {{{1, 2}, {3}}, {1, 2}, "Point 2 has 1 values; 2 were expected (as many as point 1 has)."},
      {{{1, 2}, {3, 4}}, {1, 2, 3},
       "3 responses were given for 2 points; there must be one response per point."},
      {{{1, 2}, {3, nan}}, {1, 2}, "Point 2, variable 2 is nan; only finite values can be fitted."},
      {{{1, 2}, {-inf, 4}}, {1, 2}, "Point 2, variable 1 is -inf; only finite values can be fitted."},
      {{{1, 2}, {3, 4}}, {inf, 2}, "The response of point 1 is inf; only finite values can be fitted."},
      {{{0, 0}, {1, 2}, {5, 5}, {1, 2}}, {1, 2, 3, 2.5},
       "Points 2 and 4 are the same point with different responses (2 and 2.5); an "
       "interpolating model cannot take two values at one point."},
      {{{-1e308, 0}, {1e308, 1}}, {1, 2},
       "Variable 1 runs from -1e+308 to 1e+308; that range is too large to be normalised."},
  };
  for (const Case& c : cases) {
    RadialBasisFunctionFit fit(c.points, c.responses, *gaussian);
    std::string error;
    EXPECT_FALSE(fit.compute(error));
    EXPECT_EQ(c.message, error);
    EXPECT_FALSE(fit.fitted());
    EXPECT_TRUE(fit.writeData().empty());
  }

  RadialBasisFunctionFit empty;
  std::string error;
  EXPECT_FALSE(empty.compute(error));
  EXPECT_EQ("A radial basis function model needs one of the six kernels; none was given.", error);
  EXPECT_TRUE(std::isnan(empty.evaluate({1, 2})));
  std::vector<double> g;
  EXPECT_FALSE(empty.gradient({1, 2}, g));

  // A fitted model asked at a point of another length.
  const RadialBasisFunctionFit fit = fitted({{0, 0}, {1, 1}, {0, 1}}, {1, 2, 3}, "RBFCubic");
  EXPECT_TRUE(std::isnan(fit.evaluate({1})));
  EXPECT_FALSE(fit.gradient({1, 2, 3}, g));
}

// --- Text form -----------------------------------------------------------------------------

TEST(RadialBasisText, LayoutOfAKnownModel) {
  // Three points, the thin-plate spline with its shape 1: the data lines are exact.
  const RadialBasisFunctionFit fit =
      fitted({{0, 10}, {4, 10}, {0, 12}}, {1, 2, 0.5}, "RBFThinPlateSpline");
  const std::vector<std::string> lines = fit.writeData();
  ASSERT_EQ(15u, lines.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 10),
            std::vector<std::string>({"Radial Basis Function model data",
                                      "kernel RBFThinPlateSpline", "shape 1 fixed", "ridge 0",
                                      "variables 2", "centres 3", "polynomial 3",
                                      "response 1.1666666666666667 0.83333333333333326",
                                      "minimum 0 10", "range 4 2"}));
  // Three points determine the plane: the polynomial is the plane.
  for (int i = 0; i < 3; ++i) {
    const std::string& line = lines[10 + i];
    EXPECT_EQ(0u, line.find(i == 0 ? "centre 0 10 1 " : i == 1 ? "centre 4 10 2 " : "centre 0 12 0.5 "))
        << line;
  }
  EXPECT_EQ("coefficients -0.20000000000000009 1.2000000000000002 -0.60000000000000009", lines[13]);
  EXPECT_EQ(checksumLine(lines, 14), lines[14]);
  // With as many points as polynomial terms no point can be left out: NaN residuals.
  EXPECT_TRUE(std::isnan(fit.PRESS()));
  EXPECT_NEAR(1.25, fit.evaluate({2, 11}), 1e-12);
}

// Every kernel, with its shape chosen and fixed: the fit interpolates the responses at the
// centres without a ridge, its gradient matches finite differences, and read back (with the
// variable list the solver's model file adds after the data, and with line ends of carriage
// returns) it writes the same lines and predicts bit for bit.
TEST(RadialBasisText, FitsInterpolateDifferentiateAndReadBackBitForBit) {
  Uniform uniform(18);
  const auto points = randomPoints(30, uniform);
  const auto responses = surfaceResponses(points);
  for (const std::string& name : kKernelNames) {
    for (double shape : {0.0, 2.7}) {
      SCOPED_TRACE(name + " shape " + std::to_string(shape));
      const RadialBasisFunctionFit fit = fitted(points, responses, name, shape);
      EXPECT_EQ(0.0, fit.ridge());
      for (std::size_t i = 0; i < points.size(); ++i)
        EXPECT_NEAR(responses[i], fit.evaluate(points[i]), 1e-9);
      std::vector<std::string> lines = fit.writeData();
      ASSERT_EQ("Radial Basis Function model data", lines[0]);
      lines.push_back("List of variables in order");
      lines.push_back("x1 x2 ");
      // With the shape fixed, as read from a file whose lines end in carriage returns.
      std::vector<std::string> text = lines;
      if (shape > 0) for (std::string& line : text) line += "\r";
      RadialBasisFunctionFit back;
      std::string error;
      ASSERT_TRUE(back.readData(text, error)) << error;
      EXPECT_EQ(name, back.kernel()->name());
      EXPECT_TRUE(sameBits(fit.shape(), back.shape()));
      EXPECT_EQ(fit.shapeChosen(), back.shapeChosen());
      for (int t = 0; t < 20; ++t) {
        const std::vector<double> x = {-1.5 + 4 * uniform(), 9 + 6 * uniform()};
        EXPECT_TRUE(sameBits(fit.evaluate(x), back.evaluate(x)));
        std::vector<double> g;
        std::vector<double> gBack;
        ASSERT_TRUE(fit.gradient(x, g));
        ASSERT_TRUE(back.gradient(x, gBack));
        ASSERT_EQ(2u, g.size());
        EXPECT_TRUE(sameBits(g[0], gBack[0]) && sameBits(g[1], gBack[1]));
        for (int k = 0; k < 2; ++k) {
          const double h = 1e-4;  // larger steps lose the gradient to rounding (weights ~1e4)
          std::vector<double> up = x;
          std::vector<double> down = x;
          up[k] += h;
          down[k] -= h;
          const double difference = (fit.evaluate(up) - fit.evaluate(down)) / (2 * h);
          EXPECT_NEAR(difference, g[k], 2e-5 * std::max(1.0, std::fabs(difference)));
        }
      }
      // The same lines again: the same centres, responses and leave-one-out residuals, so
      // the same statistics too.
      lines.resize(lines.size() - 2);
      EXPECT_EQ(lines, back.writeData());
    }
  }
  // The linear kernel has no gradient at a centre.
  const RadialBasisFunctionFit linear = fitted(points, responses, "RBFLinear");
  std::vector<double> g;
  EXPECT_FALSE(linear.gradient(points[3], g));
  EXPECT_EQ(2u, g.size());
}

TEST(RadialBasisText, EveryTruncationAndEveryAlteredCharacterIsRefused) {
  Uniform uniform(19);
  const auto points = randomPoints(4, uniform);
  const RadialBasisFunctionFit fit = fitted(points, surfaceResponses(points), "RBFCubic", 1.5);
  const std::vector<std::string> lines = fit.writeData();
  const std::string prefix = "Radial basis function model data, line ";

  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  const auto refused = [&](const std::string& damaged, std::size_t) {
    RadialBasisFunctionFit back;
    std::string error;
    EXPECT_FALSE(back.readData(testing::linesOf(damaged), error));
    EXPECT_EQ(prefix, error.substr(0, prefix.size())) << error;
    EXPECT_FALSE(back.fitted());
    EXPECT_TRUE(std::isnan(back.evaluate(points[0])));
  };
  // Whole lines and lines cut short, and every single character replaced.
  testing::forEachCut(std::string_view(text).substr(0, text.size() - 1), refused);
  testing::forEachReplacedByte(text, "x9 -.e", [&](const std::string& damaged, std::size_t at) {
    if (text[at] != '\n') refused(damaged, at);
  });
}

TEST(RadialBasisText, MessagesForRefusedTexts) {
  const RadialBasisFunctionFit fit =
      fitted({{0, 0}, {1, 0}, {0, 1}}, {1, 2, 3}, "RBFGaussian", 1.0);
  const std::vector<std::string> lines = fit.writeData();
  ASSERT_EQ(14u, lines.size());
  auto refusal = [](const std::vector<std::string>& text) {
    RadialBasisFunctionFit back;
    std::string error;
    EXPECT_FALSE(back.readData(text, error));
    return error;
  };
  auto with = [&](std::size_t index, const std::string& line) {
    std::vector<std::string> text = lines;
    text[index] = line;
    return text;
  };
  const std::vector<std::string> altered = with(3, "ridge 1e-300");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "1: the text is empty; \"Radial Basis Function model data\" was expected."},
      {with(0, "RSM coef"),
       "1: \"Radial Basis Function model data\" was expected; read \"RSM coef\"."},
      {with(1, "kernel RBFSpline"),
       "2: the kernel \"RBFSpline\" is not one of RBFGaussian, RBFMultiQuadratic, "
       "RBFInvMultiQuadratic, RBFLinear, RBFThinPlateSpline and RBFCubic."},
      {with(2, "shape -2 fixed"), "3: the shape is -2; it must be greater than 0."},
      {with(2, "shape 1x fixed"), "3: the shape is \"1x\"; a finite number was expected."},
      {with(4, "centres 3"), "5: a \"variables\" line was expected; read \"centres 3\"."},
      {with(5, "centres 99999"),
       "6: the number of centres is \"99999\"; a whole number from 2 to 14 was expected."},
      {with(6, "polynomial 3"),
       "7: the number of polynomial coefficients is \"3\"; a whole number from 0 to 0 was "
       "expected."},
      {with(10, "centre 1 0 2 3"), "11: the \"centre\" line has 4 values; 5 were expected."},
      {{lines.begin(), lines.begin() + 10},
       "11: the text ends here; a \"centre\" line was expected."},
      {altered, "14: the checksum is \"" + lines[13].substr(9) + "\" but the lines above give " +
                    checksumLine(altered, 13).substr(9) +
                    "; the text was changed after it was written."},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ("Radial basis function model data, line " + message, refusal(text));
  }
}

}  // namespace
}  // namespace karvo::support
