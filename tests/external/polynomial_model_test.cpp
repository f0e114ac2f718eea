// Polynomial response surfaces: the term sets and their coefficient order, exact recovery of
// polynomials of every term set and their model files read back, normalisation and
// gradients, fit refusals with their messages, the error-file text, the estimated range, the
// model file bytes, reading back and every reading refusal, corrupt and cut-off files, and
// the model file kinds.
#include "external/polynomial_model.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/damaged_bytes.h"
#include "support/test_support.h"

namespace karvo::support {
namespace {

using Points = std::vector<std::vector<double>>;
using Exponents = std::vector<int>;

// The monomials of a term set in coefficient order, built from the table of term sets.
std::vector<Exponents> referenceMonomials(int termSet, int n) {
  const bool linear = termSet != 2 && termSet != 3;
  const bool squares = termSet == 1 || termSet == 2 || termSet == 5 || termSet == 7 || termSet == 9;
  const bool cross = termSet == 1 || termSet == 4 || termSet == 8 || termSet == 9;
  const bool cubes = termSet == 3 || termSet >= 6;
  std::vector<Exponents> monomials{Exponents(n, 0)};
  // x_i^power, times x_j when j is given.
  auto add = [&](int i, int power, int j = -1) {
    Exponents e(n, 0);
    e[i] = power;
    if (j >= 0) e[j] = 1;
    monomials.push_back(e);
  };
  for (int i = 0; linear && i < n; ++i) add(i, 1);
  for (int i = 0; i < n; ++i)
    for (int j = i; j < n; ++j) {
      if (i == j && squares) add(i, 2);
      if (i != j && cross) add(i, 1, j);
    }
  for (int i = 0; cubes && i < n; ++i) add(i, 3);
  return monomials;
}

double normalized(double x, const PolynomialVariable& v) {
  return (2.0 * x - v.min - v.max) / (v.max - v.min);
}

double referenceValue(const std::vector<Exponents>& monomials, const std::vector<double>& c,
                      const std::vector<PolynomialVariable>& variables,
                      const std::vector<double>& x) {
  double sum = 0.0;
  for (std::size_t k = 0; k < monomials.size(); ++k) {
    double term = c[k];
    for (std::size_t i = 0; i < x.size(); ++i)
      term *= std::pow(normalized(x[i], variables[i]), monomials[k][i]);
    sum += term;
  }
  return sum;
}

std::vector<PolynomialVariable> namedRanges(const std::vector<std::pair<double, double>>& ranges) {
  std::vector<PolynomialVariable> variables;
  for (std::size_t i = 0; i < ranges.size(); ++i)
    variables.push_back({"x" + std::to_string(i + 1), ranges[i].first, ranges[i].second});
  return variables;
}

// A model fitted to `count` random points of the polynomial with coefficients `c`.
PolynomialModel fitExact(int termSet, const std::vector<PolynomialVariable>& variables,
                         const std::vector<double>& c, int count, unsigned seed = 7) {
  const int n = static_cast<int>(variables.size());
  const std::vector<Exponents> monomials = referenceMonomials(termSet, n);
  std::mt19937 engine(seed);
  Points points;
  std::vector<double> responses;
  for (int r = 0; r < count; ++r) {
    std::vector<double> x;
    for (const PolynomialVariable& v : variables)
      x.push_back(std::uniform_real_distribution<double>(v.min, v.max)(engine));
    responses.push_back(referenceValue(monomials, c, variables, x));
    points.push_back(x);
  }
  PolynomialModel model(termSet, variables, points, responses);
  std::string error;
  EXPECT_TRUE(model.compute(error)) << error;
  return model;
}

TEST(PolynomialTermSets, WordsCodesAndCounts) {
  const char* words[] = {
      "Linear",   "Quadratic",   "SquareTermsOnly",   "CubicTermsOnly",    "Bilinear",
      "LinAndSq", "LinAndCubic", "LinWithSqAndCubic", "BilinearWithCubic", "QuadWithCubic"};
  for (int code = 0; code < kPolynomialTermSets; ++code) {
    EXPECT_EQ(std::string(polynomialTermSetWord(code)), words[code]);
    EXPECT_EQ(polynomialTermSetCode(words[code]), code);
    EXPECT_EQ(polynomialTermSetCode(std::string(" ") + words[code] + "\t"), code);
  }
  EXPECT_EQ(polynomialTermSetCode("quadratic"), -1);
  EXPECT_EQ(polynomialTermSetCode("Kriging"), -1);
  EXPECT_EQ(polynomialTermSetCode(""), -1);
  EXPECT_EQ(std::string(polynomialTermSetWord(10)), "");
  EXPECT_EQ(std::string(polynomialTermSetWord(-1)), "");
  // The counts of every term set are checked against the monomials of the fits below.
  EXPECT_EQ(polynomialCoefficientCount(10, 3), -1);
  EXPECT_EQ(polynomialCoefficientCount(0, -1), -1);
  EXPECT_EQ(polynomialCoefficientCount(1, kMaxPolynomialVariables + 1), -1);
}

TEST(PolynomialFit, RecoversThePolynomialOfEveryTermSet) {
  std::mt19937 engine(11);
  std::uniform_real_distribution<double> coefficient(-2.0, 2.0);
  for (int termSet = 0; termSet < kPolynomialTermSets; ++termSet)
    for (int n = 1; n <= 4; ++n) {
      std::vector<std::pair<double, double>> ranges;
      for (int i = 0; i < n; ++i) ranges.push_back({-1.0 - 0.5 * i, 2.0 + 3.0 * i});
      const std::vector<PolynomialVariable> variables = namedRanges(ranges);
      const int p = polynomialCoefficientCount(termSet, n);
      ASSERT_EQ(p, static_cast<int>(referenceMonomials(termSet, n).size()));
      EXPECT_EQ(polynomialTermCounts(termSet, n).total(), p);
      std::vector<double> c(p);
      for (double& value : c) value = coefficient(engine);
      const PolynomialModel model = fitExact(termSet, variables, c, p + 6, 100 + termSet * 10 + n);
      ASSERT_TRUE(model.fitted());
      ASSERT_EQ(model.coefficients().size(), c.size());
      for (int k = 0; k < p; ++k)
        EXPECT_NEAR(model.coefficients()[k], c[k], 1e-10)
            << polynomialTermSetWord(termSet) << " n=" << n << " coefficient " << k;
      // Prediction away from the data, and the gradient in the variables' own units.
      const std::vector<Exponents> monomials = referenceMonomials(termSet, n);
      std::vector<double> x;
      for (const PolynomialVariable& v : variables) x.push_back(0.3 * v.min + 0.7 * v.max + 0.1);
      EXPECT_NEAR(model.evaluate(x), referenceValue(monomials, c, variables, x), 1e-9);
      std::vector<double> g;
      ASSERT_TRUE(model.gradient(x, g));
      ASSERT_EQ(g.size(), static_cast<std::size_t>(n));
      for (int i = 0; i < n; ++i) {
        const double h = 1e-6 * (variables[i].max - variables[i].min);
        std::vector<double> up = x, down = x;
        up[i] += h;
        down[i] -= h;
        const double slope = (referenceValue(monomials, c, variables, up) -
                              referenceValue(monomials, c, variables, down)) /
                             (2.0 * h);
        EXPECT_NEAR(g[i], slope, 1e-6 * (1.0 + std::fabs(slope)));
      }
      // The model file of every term set and size reads back to the same model.
      PolynomialModel read;
      std::string error;
      const std::string file = writePolynomialModel(model);
      ASSERT_TRUE(readPolynomialModel(polynomialModelLines(file), "m", n, read, error)) << error;
      EXPECT_EQ(read.termSet(), termSet);
      EXPECT_EQ(writePolynomialModel(read), file);
    }
}

TEST(PolynomialFit, NormalisesWithTheRecordedRange) {
  // y = x on [2, 6]: z = (x - 4) / 2, so y = 4 + 2 z.
  PolynomialModel model(0, {{"x", 2.0, 6.0}}, {{2.0}, {3.0}, {6.0}}, {2.0, 3.0, 6.0});
  std::string error;
  ASSERT_TRUE(model.compute(error)) << error;
  EXPECT_NEAR(model.coefficients()[0], 4.0, 1e-14);
  EXPECT_NEAR(model.coefficients()[1], 2.0, 1e-14);
  EXPECT_NEAR(model.evaluate({10.0}), 10.0, 1e-13);  // extrapolates
  std::vector<double> g;
  ASSERT_TRUE(model.gradient({5.0}, g));
  EXPECT_NEAR(g[0], 1.0, 1e-14);
  const double z = -1.0;
  EXPECT_NEAR(model.evaluateNormalized(&z), 2.0, 1e-14);

  // A variable whose min equals its max is 0 everywhere: it cannot carry a term.
  PolynomialModel constant(0, {{"x", 2.0, 6.0}, {"k", 5.0, 5.0}}, {{2, 5}, {3, 5}, {4, 5}, {6, 5}},
                           {1, 2, 3, 4});
  EXPECT_FALSE(constant.compute(error));
  EXPECT_EQ(error,
            "Could not fit a response surface to the data for response: . The X'X matrix is "
            "singular. Please choose a different sampling method for fitting the surface.");
  // A model file may record such a variable: every value of it evaluates as z = 0, slope 0.
  PolynomialModel read;
  ASSERT_TRUE(readPolynomialModel(
      {"LinAndSq", "RSM coefficients", "Constant coefficient:", "1.0",
       "Linear coefficients:", "2.0 3.0", "", "Quadratic coefficients:", "4.0 5.0", "",
       "VARIABLES USED FOR THE FIT AND THE RANGE USED FOR NORMALIZATION", "",
       "Number of variables used = 2", "x: min=0.000000, max=1.000000",
       "k: min=5.000000, max=5.000000"},
      "k.mdl", 2, read, error))
      << error;
  EXPECT_EQ(read.evaluate({1.0, 7.0}), 1.0 + 2.0 + 4.0);
  ASSERT_TRUE(read.gradient({1.0, 7.0}, g));
  EXPECT_EQ(g, (std::vector<double>{2.0 * (2.0 + 2.0 * 4.0), 0.0}));
  EXPECT_FALSE(read.hasEstimatedRange);

  EXPECT_TRUE(std::isnan(model.evaluate({1.0, 2.0})));
  EXPECT_FALSE(model.gradient({1.0, 2.0}, g));
  EXPECT_TRUE(std::isnan(PolynomialModel().evaluate({})));
  EXPECT_FALSE(PolynomialModel().gradient({}, g));

  // The ranges taken from the data: a point of another length is left out.
  const std::vector<PolynomialVariable> variables =
      polynomialVariablesFromData({"a", "b"}, {{1.0, -3.0}, {4.0, 2.0}, {2.0, 7.0}, {9.0}});
  ASSERT_EQ(variables.size(), 2u);
  EXPECT_EQ(variables[0].name, "a");
  EXPECT_EQ(variables[0].min, 1.0);
  EXPECT_EQ(variables[0].max, 4.0);
  EXPECT_EQ(variables[1].min, -3.0);
  EXPECT_EQ(variables[1].max, 7.0);
}

TEST(PolynomialFit, RefusalsAndTheirMessages) {
  std::string error;
  const std::vector<PolynomialVariable> two = namedRanges({{0, 1}, {0, 1}});
  const Points square = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};

  // Collinear data: x2 = 2 x1 in the same normalised units.
  PolynomialModel collinear(0, namedRanges({{0, 1}, {0, 2}}),
                            {{0, 0}, {0.5, 1}, {1, 2}, {0.25, 0.5}}, {1, 2, 3, 4});
  collinear.responseName = "weight";
  EXPECT_FALSE(collinear.compute(error));
  EXPECT_EQ(error,
            "Could not fit a response surface to the data for response: weight. The X'X matrix is "
            "singular. Please choose a different sampling method for fitting the surface.");
  EXPECT_FALSE(collinear.fitted());
  EXPECT_TRUE(collinear.coefficients().empty());
  collinear.nameTermSetInMessages = true;
  EXPECT_FALSE(collinear.compute(error));
  EXPECT_EQ(error,
            "Could not fit a Linear response surface to the data for response: weight. The X'X "
            "matrix is singular. Please choose a different sampling method for fitting a Linear "
            "surface.");

  // Each refusal of the data, for the response "f".
  const double inf = std::numeric_limits<double>::infinity();
  const std::string in = "Could not fit a response surface to the data for response: f. ";
  struct Refusal {
    int termSet;
    std::vector<PolynomialVariable> variables;
    Points points;
    std::vector<double> responses;
    std::string error;
  };
  const Refusal refusals[] = {
      // Enough points but too few distinct ones for the quadratic (2 levels per variable).
      {1, two, {{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0, 0}, {1, 1}}, {1, 2, 3, 4, 1, 4},
       in + "The X'X matrix is singular. Please choose a different sampling method for fitting "
            "the surface."},
      {1, two, square, {1, 2, 3, 4},
       "The number of points selected for fitting the least squares surface (4) is not "
       "sufficient. The minimum recommended number is 6."},
      {0, two, {{0, 0}, {1, 0}, {0, std::nan("")}, {1, 1}}, {1, 2, 3, 4},
       in + "Point 3 has the value nan for variable x2; every value must be a finite number."},
      {0, two, square, {1, 2, inf, 4},
       in + "Point 3 has the response value inf; every value must be a finite number."},
      {0, two, {{0, 0}, {1}, {0, 1}, {1, 1}}, {1, 2, 3, 4},
       in + "Point 2 has 1 values; the surface has 2 variables."},
      {0, two, square, {1, 2, 3}, in + "The data hold 4 points but 3 response values."},
      {0, {{"a", 0, 1}, {"b", 2, 1}}, square, {1, 2, 3, 4},
       in + "The range of variable b (min=2, max=1) is not valid: both must be finite numbers "
            "with min <= max."},
      {0, {}, {{}, {}}, {1, 2}, in + "The fit has 0 variables; it takes 1 .. 10000."},
      {12, two, square, {1, 2, 3, 4},
       "\n\t***** INTERNAL ERROR *****\n\t Could not determine the surface type from \"12\":  f"},
  };
  for (const Refusal& r : refusals) {
    PolynomialModel model(r.termSet, r.variables, r.points, r.responses);
    model.responseName = "f";
    EXPECT_FALSE(model.compute(error));
    EXPECT_EQ(error, r.error);
  }

  // Replicated points and a constant response are fitted.
  PolynomialModel replicated(0, two, {{0, 0}, {0, 0}, {1, 0}, {0, 1}}, {5, 5, 5, 5});
  ASSERT_TRUE(replicated.compute(error)) << error;
  EXPECT_NEAR(replicated.evaluate({0.3, 0.7}), 5.0, 1e-13);

  // The design-of-experiments study's messages.
  EXPECT_EQ(polynomialDoeNoSurfaceMessage(10),
            "Could not generate any response surface data. The number of designs is smaller than "
            "the minimum number needed (10).\n");
  EXPECT_EQ(polynomialDoeTooFewDesignsMessage("Quadratic", 10, 8),
            "Error in the definition of the surface to be generated from the DOE data. The "
            "specified surface type (Quadratic) requires a minimum. of 10 designs. The number of "
            "designs specified is 8. The surface will not be generated.");
}

// y = 1, 2, 4 at x = 0, 1, 2 on [0, 2] (z = -1, 0, 1): b0 = 7/3, b1 = 3/2; predictions 5/6,
// 7/3, 23/6; residuals 1/6, -1/3, 1/6; SSE 1/6; SST 42/9; SSR 9/2; R^2 = 27/28;
// adjusted 13/14; GCV = 3 (1/6) / 1 = 1/2.
TEST(PolynomialStatistics, ErrorFileTextOfAHandComputedCase) {
  PolynomialModel model(0, {{"x", 0.0, 2.0}}, {{0.0}, {1.0}, {2.0}}, {1.0, 2.0, 4.0});
  std::string error;
  ASSERT_TRUE(model.compute(error)) << error;
  const PolynomialFitStatistics s =
      polynomialFitStatistics(model, model.points(), model.responses());
  EXPECT_NEAR(s.rSquared, 27.0 / 28.0, 1e-14);
  EXPECT_NEAR(s.adjustedRSquared, 13.0 / 14.0, 1e-14);
  EXPECT_NEAR(s.gcv, 0.5, 1e-14);
  EXPECT_NEAR(s.regressionSumOfSquares, 4.5, 1e-13);
  EXPECT_EQ(polynomialErrorFileText(s, {4, 9, 12}),
            "\n Design #,   Actual values, Predicted values,    Residual, Percent Error"
            "\n        4,        1.000000,         0.833333,    0.166667,     16.666667"
            "\n        9,        2.000000,         2.333333,   -0.333333,    -16.666667"
            "\n       12,        4.000000,         3.833333,    0.166667,      4.166667"
            "\n\n\n Maximum Residual = 0.333333"
            "\n Residual Sum of Squares = 0.166667"
            "\n RMS Error = 0.235702"
            "\n\n\n Error sum of Squares = 0.166667"
            "\n Regression sum of squares = 4.500000"
            "\n Total Sum of Squares = 4.666667"
            "\n\n\n R squared (Coeff. of multiple determination) = 0.964286, Adjusted R squared = "
            "0.928571"
            "\n\n GCV (Generalized cross validation) = 0.500000");

  // As many points as coefficients: no adjusted R squared and no GCV; a zero actual value
  // has percent error 0.
  PolynomialModel exact(0, {{"x", 0.0, 1.0}}, {{0.0}, {1.0}}, {0.0, 3.0});
  ASSERT_TRUE(exact.compute(error)) << error;
  const PolynomialFitStatistics e =
      polynomialFitStatistics(exact, exact.points(), exact.responses());
  EXPECT_FALSE(e.hasAdjustedRSquared);
  EXPECT_EQ(e.gcv, std::numeric_limits<double>::infinity());
  EXPECT_EQ(e.percentError[0], 0.0);
  EXPECT_NEAR(e.rSquared, 1.0, 1e-14);

  // Such statistics as text (the layout is pinned above; here the lines that differ): design
  // numbers default to 1 .. m.
  const std::string text = polynomialErrorFileText(e, {7});
  EXPECT_NE(text.find("\n        2,        3.000000,         3.000000,"), std::string::npos)
      << text;
  EXPECT_TRUE(text.ends_with("determination) = 1.000000\n\n GCV (Generalized cross validation) = "
                             "inf")) << text;

  EXPECT_EQ(polynomialErrorFileWarning("/s/f-Linear-1.err"),
            "\n\t**** WARNING ****\n\t Could not create the error file /s/f-Linear-1.err.\n\t The "
            "error estimation for this surface will not be avaiable.\n\t Please make sure that "
            "the disk is not full.");
}

TEST(PolynomialEstimatedRange, GridLimits) {
  auto linearOf = [](int n) {
    std::vector<std::pair<double, double>> ranges(n, {0.0, 1.0});
    std::vector<double> c(n + 1);
    for (int i = 0; i <= n; ++i) c[i] = 0.5 * i + 1.0;
    return fitExact(0, namedRanges(ranges), c, n + 8);
  };
  double low = 0, high = 0;
  // Linear of 16 variables: 2^16 corners; constant 1, slopes 1.5 .. 9 summing to 84.
  ASSERT_TRUE(polynomialEstimateRange(linearOf(16), low, high));
  EXPECT_NEAR(low, -83.0 - 0.2 * 83.0, 1e-9);
  EXPECT_NEAR(high, 85.0 + 0.2 * 85.0, 1e-9);
  const PolynomialModel seventeen = linearOf(17);
  EXPECT_FALSE(polynomialEstimateRange(seventeen, low, high));
  EXPECT_FALSE(seventeen.hasEstimatedRange);
  EXPECT_NE(writePolynomialModel(seventeen).find(" \n\nError in estimating min, max\n\n\nVARIABLES"),
            std::string::npos);

  auto quadraticOf = [](int n) {
    std::vector<std::pair<double, double>> ranges(n, {-1.0, 1.0});
    std::vector<double> c(polynomialCoefficientCount(1, n), 0.0);
    c[0] = 2.0;  // 2 - z1^2: the grid gives 1 .. 2
    c[1 + n] = -1.0;
    return fitExact(1, namedRanges(ranges), c, static_cast<int>(c.size()) + 5);
  };
  const PolynomialModel ten = quadraticOf(10);
  ASSERT_TRUE(ten.hasEstimatedRange);
  EXPECT_NEAR(ten.estimatedMin, 0.8, 1e-9);
  EXPECT_NEAR(ten.estimatedMax, 2.4, 1e-9);
  EXPECT_FALSE(quadraticOf(11).hasEstimatedRange);
  EXPECT_FALSE(polynomialEstimateRange(PolynomialModel(), low, high));
}

// A 4-variable quadratic: 10 second-order coefficients (a line break after the eighth),
// negative coefficients one digit shorter.
const char kQuadraticFile[] =
    "Quadratic\n"
    "RSM coefficients\n"
    "Constant coefficient:\n"
    "2.50000000e+00 \n"
    "Linear coefficients:\n"
    "1.25000000e+00 -7.5000000e-01 3.00000000e+00 5.00000000e-01 \n"
    "\n"
    "Quadratic coefficients:\n"
    "1.25000000e-01 -1.5000000e+00 2.50000000e-01 2.00000000e+00 1.75000000e+00 -3.7500000e-01 "
    "6.25000000e-01 1.12500000e+00 \n"
    "-2.2500000e+00 8.75000000e-01 \n"
    "\n"
    "Estimated min = -3.450000\n"
    "Estimated max = 16.650000\n"
    "\n"
    "\n"
    "VARIABLES USED FOR THE FIT AND THE RANGE USED FOR NORMALIZATION\n"
    "\n"
    "Number of variables used = 4\n"
    "x1: min=0.000000, max=1.000000\n"
    "x2: min=-2.000000, max=2.000000\n"
    "x3: min=10.000000, max=20.000000\n"
    "x4: min=-1.000000, max=0.500000\n";

const std::vector<double> kQuadraticCoefficients = {
    2.5, 1.25, -0.75, 3.0, 0.5, 0.125, -1.5, 0.25, 2.0, 1.75, -0.375, 0.625, 1.125, -2.25, 0.875};

PolynomialModel quadraticModel() {
  return fitExact(1, namedRanges({{0, 1}, {-2, 2}, {10, 20}, {-1, 0.5}}), kQuadraticCoefficients,
                  30);
}

TEST(PolynomialModelFile, WritesTheLayoutByteForByte) {
  EXPECT_EQ(writePolynomialModel(quadraticModel()), kQuadraticFile);

  // Without linear terms the linear section is written empty.
  const PolynomialModel squares =
      fitExact(2, {{"a", -1.0, 1.0}, {"b", 0.0, 4.0}}, {1.0, 0.5, -0.25}, 6);
  EXPECT_EQ(writePolynomialModel(squares),
            "SquareTermsOnly\nRSM coefficients\nConstant coefficient:\n1.00000000e+00 "
            "\nLinear coefficients:\n\n"
            "\nQuadratic coefficients:\n5.00000000e-01 -2.5000000e-01 \n"
            "\nEstimated min = 0.600000\nEstimated max = 1.800000\n"
            "\n\nVARIABLES USED FOR THE FIT AND THE RANGE USED FOR NORMALIZATION\n"
            "\nNumber of variables used = 2\na: min=-1.000000, max=1.000000\n"
            "b: min=0.000000, max=4.000000\n");

  EXPECT_EQ(writePolynomialModel(PolynomialModel()), "");
  EXPECT_EQ(polynomialModelFileCreateError("/ro/f.mdl"),
            "\n\t***** ERROR *****\n\t Could not create the following file:  /ro/f.mdl\n\t Please "
            "make sure that the disk is not full or the directory is not write protected.");
}

// (A read model predicts with the ranges it read: the recorded-range test.)
TEST(PolynomialModelFile, ReadsBackWhatItWrites) {
  PolynomialModel read;
  std::string error;
  ASSERT_TRUE(readPolynomialModel(polynomialModelLines(kQuadraticFile), "q.mdl", 4, read, error))
      << error;
  EXPECT_EQ(read.coefficients(), kQuadraticCoefficients);
  EXPECT_EQ(writePolynomialModel(read), kQuadraticFile);  // names, ranges and estimates too

  // A fit with coefficients of many digits: 9 significant digits of a positive coefficient, 8
  // of a negative one survive, so predictions agree within 5e-8 of the coefficients' size.
  std::vector<double> c = {0.123456789123, -3.14159265358979, 2.718281828459045, 1e-3 / 7};
  const PolynomialModel odd = fitExact(7, {{"u", -3.0, 5.0}}, c, 9);
  ASSERT_TRUE(readPolynomialModel(polynomialModelLines(writePolynomialModel(odd)), "o.mdl", -1,
                                  read, error))
      << error;
  for (double u = -3.0; u <= 5.0; u += 0.5)
    EXPECT_NEAR(read.evaluate({u}), odd.evaluate({u}), 5e-8 * 6.0);

  // Carriage returns, leading blanks and the file path form.
  testing::TempDir dir;
  std::string crlf;
  for (const std::string& line : polynomialModelLines(kQuadraticFile)) crlf += "  " + line + "\r\n";
  testing::writeFile(dir.file("q.mdl"), crlf);
  ASSERT_TRUE(readPolynomialModelFile(dir.file("q.mdl"), -1, read, error)) << error;
  EXPECT_EQ(read.coefficients(), kQuadraticCoefficients);
  EXPECT_EQ(read.variables()[0].name, "x1");
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

std::string readError(const std::string& text, int expectedVariables = -1) {
  PolynomialModel model;
  std::string error;
  EXPECT_FALSE(
      readPolynomialModel(polynomialModelLines(text), "/s/r.mdl", expectedVariables, model, error));
  EXPECT_FALSE(model.fitted());
  return error;
}

TEST(PolynomialModelFile, ReadingRefusals) {
  const std::string file = kQuadraticFile;
  const std::string prefix =
      "\n\t***** ERROR *****\n\t Error in using the response surface file /s/r.mdl\n\t ";
  const std::string coefficients = "The number of coefficients read (";
  const std::string range = "The range of variable ";
  const std::string rangeForm =
      "\" (expected \"<name>: min=<value>, max=<value>\" with min <= max).";
  const std::string noHeader =
      "Error in reading the variable range data from the mdl file /s/r.mdl.\n\tCould not locate "
      "header.";
  struct Refusal {
    std::string from, to;
    int variables;  // the number the definition expects, -1 for any
    std::string error;  // after the prefix
  };
  const Refusal refusals[] = {
      {"Quadratic\n", "Cubic\n", -1,
       "Expecting surface type on the first line. The type read (Cubic) was not recognized as a "
       "supported type."},
      {"Quadratic coefficients:\n", "", -1,
       "The coefficient data for the quadratic terms could not be located in the file."},
      {"Quadratic\n", "QuadWithCubic\n", -1,
       "The coefficient data for the cubic terms could not be located in the file."},
      {"3.00000000e+00 5.00000000e-01", "3.00000000e+00", -1,
       coefficients + "3) is different than the number expected (4)."},
      {"\n-2.2500000e+00 8.75000000e-01 ", "\n-2.2500000e+00 ", -1,
       coefficients + "9) is different than the number expected (10)."},
      // A garbled number ends its section early.
      {"-2.2500000e+00", "-2.2500000f+00", -1,
       coefficients + "8) is different than the number expected (10)."},
      {"2.50000000e+00 \n", "2.50000000e+00 1.0\n", -1,
       coefficients + "2) is different than the number expected (1)."},
      // A word whose term set has fewer sections than the file: all coefficients counted.
      {"Quadratic\n", "Linear\n", -1,
       coefficients + "15) is different than the number expected (5)."},
      {"VARIABLES USED", "VARIABLES", -1, noHeader},
      {"VARIABLES USED", "VARIABLES", 4, noHeader},
      {"used = 4", "used = four", -1, noHeader},
      {"used = 4", "used = 4", 3,
       "The number of variables selected in the definition (3) is different than the number "
       "used in the mdl file (4)."},
      {"used = 4", "used = 3", -1, coefficients + "4) is different than the number expected (3)."},
      {"used = 4", "used = 0", -1,
       "The number of variables in the mdl file (0) is outside 1 .. 10000."},
      {"used = 4", "used = 2000000000", -1,
       "The number of variables in the mdl file (2000000000) is outside 1 .. 10000."},
      {"x3: min=10.000000, max=20.000000", "x3: min=30.000000, max=20.000000", -1,
       range + "3 could not be read from line 21: \"x3: min=30.000000, max=20.000000" + rangeForm},
      {"x1: min=0.000000,", "x1 min=0.000000,", -1,
       range + "1 could not be read from line 19: \"x1 min=0.000000, max=1.000000" + rangeForm},
      // Numbers are decimal only.
      {"max=0.500000", "max=0x500000", -1,
       range + "4 could not be read from line 22: \"x4: min=-1.000000, max=0x500000" + rangeForm},
      // A line with a word that is not a number ends the section before that line.
      {"5.00000000e-01 \n", "inf \n", -1,
       coefficients + "0) is different than the number expected (4)."},
      {"max = 16.650000", "max = 16.6.5", -1,
       "The estimated range could not be read from line 13: \"Estimated max = 16.6.5\"."},
      {"min = -3.450000", "min = ", -1,
       "The estimated range could not be read from line 12: \"Estimated min =\"."},
  };
  for (const Refusal& r : refusals) {
    EXPECT_EQ(readError(replaced(file, r.from, r.to), r.variables), prefix + r.error) << r.to;
  }
  const std::string early =
      "\n\t***** ERROR *****\n\t Error in the reading the file \"/s/r.mdl\" near line number ";
  const std::string end =
      ".\n\t Reached the end of the file without reading in all the data needed.";
  EXPECT_EQ(readError(replaced(file, "Linear coefficients:", "Linear coefficient:")),
            early + "22" + end);
  EXPECT_EQ(readError(file.substr(0, file.find("x4:"))), early + "21" + end);
  EXPECT_EQ(readError(""), early + "0" + end);

  PolynomialModel model;
  std::string error;
  EXPECT_FALSE(readPolynomialModelFile("/nonexistent/dir/r.mdl", 4, model, error));
  EXPECT_EQ(error,
            "\n\t***** ERROR *****\n\t Error in using the response surface file "
            "/nonexistent/dir/r.mdl\n\t Error in opening the mdl file /nonexistent/dir/r.mdl");
}

// A cut-off or garbled file is refused, or read to exactly the same numbers; never a crash.
TEST(PolynomialModelFile, CutOffAndGarbledFiles) {
  const std::string file = kQuadraticFile;
  PolynomialModel reference;
  std::string error;
  ASSERT_TRUE(readPolynomialModel(polynomialModelLines(file), "f", 4, reference, error));
  auto sameNumbers = [&](const PolynomialModel& model) {
    if (model.termSet() != reference.termSet() ||
        model.coefficients() != reference.coefficients() ||
        model.variableCount() != reference.variableCount())
      return false;
    for (int i = 0; i < model.variableCount(); ++i)
      if (model.variables()[i].min != reference.variables()[i].min ||
          model.variables()[i].max != reference.variables()[i].max)
        return false;
    return true;
  };
  testing::forEachCut(file, [&](const std::string& cut, std::size_t) {
    PolynomialModel model;
    EXPECT_FALSE(readPolynomialModel(polynomialModelLines(cut), "f", -1, model, error));
    EXPECT_FALSE(error.empty());
  });
  int accepted = 0;
  // Characters that cannot make a different number out of a number (a blank over a minus
  // sign could: such edits are not detectable); a line end only inside a word.
  testing::forEachReplacedByte(file, "x#=\n", [&](const std::string& text, std::size_t at) {
    if (text[at] == '\n' && !std::isalpha(static_cast<unsigned char>(file[at]))) return;
    for (int expected : {-1, 4}) {
      PolynomialModel model;
      if (readPolynomialModel(polynomialModelLines(text), "f", expected, model, error)) {
        ++accepted;
        EXPECT_TRUE(sameNumbers(model));
      } else {
        EXPECT_FALSE(error.empty());
      }
    }
  });
  EXPECT_GT(accepted, 0);  // e.g. a garbled variable name or "RSM coefficients" line
}

TEST(PolynomialModelFile, ModelFileType) {
  testing::TempDir dir;
  auto typeOf = [&](const std::string& text) {
    testing::writeFile(dir.file("m.mdl"), text);
    return modelFileType(dir.file("m.mdl"));
  };
  EXPECT_EQ(typeOf(kQuadraticFile), 0);
  EXPECT_EQ(typeOf("RSM coefficients\n"), 0);
  EXPECT_EQ(typeOf("Kriging model 1\n1 2 3\n"), 2);
  EXPECT_EQ(typeOf("  Kriging model\n"), 2);
  EXPECT_EQ(typeOf("header\nRadial Basis Function model data\n"), 3);
  EXPECT_EQ(typeOf("a\nb\nRSM coefficients\n"), -1);
  EXPECT_EQ(typeOf("Kriging\nmodel\n"), -1);
  EXPECT_EQ(typeOf(""), -1);
  EXPECT_EQ(modelFileType(dir.file("missing.mdl")), -1);
  EXPECT_EQ(modelFileTypeOfLines({"Quadratic", "RSM coefficients"}), 0);
}

}  // namespace
}  // namespace karvo::support
