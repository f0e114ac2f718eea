// Kriging models: interpolation and variance at the training points, the analytic gradients
// (prediction and likelihood) against finite differences, the closed-form leave-one-out
// residuals against refits, a 1-D case with a known answer, bit-for-bit read-back, refused
// text (truncated and garbled everywhere), refused data, duplicates, constant responses,
// determinism and both optimisers.
#include "external/kriging.h"
#include "external/kriging_opt.h"
#include "support/damaged_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::support {
namespace {

using Points = std::vector<std::vector<double>>;

// A fixed spread of points in [0, 1]^d (a shuffled grid-free sequence, same on every run).
Points spread(int n, int d, std::uint64_t seed = 17) {
  Points points(n, std::vector<double>(d));
  std::uint64_t state = seed;
  for (auto& point : points)
    for (double& v : point) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      v = static_cast<double>(state >> 11) * 0x1.0p-53;
    }
  return points;
}

double smooth(const std::vector<double>& x) {
  double v = 0.0;
  for (std::size_t k = 0; k < x.size(); ++k) v += std::sin(3.0 * x[k] + k) * (1.0 + 0.5 * k);
  return v + x[0] * x[0];
}

std::vector<double> responsesOf(const Points& points) {
  std::vector<double> y;
  for (const auto& p : points) y.push_back(smooth(p));
  return y;
}

KrigingFit fitted(const Points& points, int order = 0,
                  KrigingCorrelation correlation = KrigingCorrelation::kMatern52) {
  KrigingFit fit(points, responsesOf(points), order, 0, 0.0);
  fit.setCorrelation(correlation);
  std::string error;
  EXPECT_TRUE(fit.compute(error)) << error;
  return fit;
}

std::string refusal(const Points& points, const std::vector<double>& y, int order = 0,
                    int starts = 0, double nugget = 0.0) {
  KrigingFit fit(points, y, order, starts, nugget);
  std::string error;
  EXPECT_FALSE(fit.compute(error));
  EXPECT_FALSE(fit.fitted());
  return error;
}

// Each trend order and correlation: the fit interpolates with a small variance at the points
// and larger ones away, its gradient matches finite differences, a second fit of the same
// data writes the same text, and read back (with the lines the solver appends after the
// model) it writes that text again and predicts bit for bit.
TEST(KrigingFit, InterpolatesDifferentiatesAndReadsBackBitForBit) {
  for (int order = 0; order <= 2; ++order) {
    for (auto correlation : {KrigingCorrelation::kMatern52, KrigingCorrelation::kGaussian}) {
      const Points points = spread(20, 3);
      const KrigingFit fit = fitted(points, order, correlation);
      const double spreadVariance = fit.processVariance();
      ASSERT_GT(spreadVariance, 0.0);
      // The nugget leaves a residual nugget * weight at each point.
      double atPoints = 0.0;
      for (const auto& p : points) {
        EXPECT_NEAR(fit.evaluate(p), smooth(p), 1e-4 * fit.yStd()) << "order " << order;
        atPoints = std::max(atPoints, fit.variance(p));
      }
      EXPECT_LT(atPoints, 1e-7 * spreadVariance);
      // Between the points the error estimate is clearly larger, and far away larger still.
      std::vector<double> between(3);
      for (int k = 0; k < 3; ++k) between[k] = 0.5 * (points[0][k] + points[1][k]);
      EXPECT_GT(fit.variance(between), 10.0 * atPoints);
      EXPECT_GT(fit.variance({5.0, 5.0, 5.0}), fit.variance(between));

      const std::vector<std::string> lines = fit.writeData();
      ASSERT_EQ(lines[0], "Kriging model");
      EXPECT_EQ(fitted(points, order, correlation).writeData(), lines);
      std::vector<std::string> more = lines;
      more.push_back("List of variables in order");
      more.push_back("a b c ");
      KrigingFit back;
      std::string error;
      ASSERT_TRUE(back.readData(more, error)) << error;
      EXPECT_EQ(back.writeData(), lines);
      EXPECT_EQ(back.PRESSResiduals(), fit.PRESSResiduals());
      for (const auto& x : spread(6, 3, 99)) {
        EXPECT_EQ(back.evaluate(x), fit.evaluate(x));
        EXPECT_EQ(back.variance(x), fit.variance(x));
        std::vector<double> g, gBack;
        ASSERT_TRUE(fit.gradient(x, g));
        ASSERT_TRUE(back.gradient(x, gBack));
        EXPECT_EQ(g, gBack);
        for (int k = 0; k < 3; ++k) {
          std::vector<double> up = x, down = x;
          up[k] += 1e-6;
          down[k] -= 1e-6;
          const double fd = (fit.evaluate(up) - fit.evaluate(down)) / 2e-6;
          EXPECT_NEAR(g[k], fd, 1e-5 * (1.0 + std::abs(fd))) << "order " << order << " k " << k;
        }
      }
    }
  }
}

TEST(KrigingFit, OneVariableKnownAnswer) {
  // Two points and a constant trend with the length scale fixed: the generalised least-squares
  // mean of two symmetric points is their average, and at the middle both weights are equal,
  // so the prediction there is the average too; the fit is antisymmetric about it.
  KrigingFit fit({{0.0}, {1.0}, {2.0}}, {1.0, 3.0, 5.0}, 0, 0, 0.0);
  fit.setThetas({0.0});
  std::string error;
  ASSERT_TRUE(fit.compute(error)) << error;
  EXPECT_NEAR(fit.evaluate({1.0}), 3.0, 1e-12);
  EXPECT_NEAR(fit.evaluate({0.5}) + fit.evaluate({1.5}), 6.0, 1e-12);
  EXPECT_NEAR(fit.yMean(), 3.0, 0.0);
  EXPECT_NEAR(fit.yStd(), 2.0, 1e-15);
  EXPECT_NEAR(fit.xMeans()[0], 1.0, 0.0);
  EXPECT_NEAR(fit.xStds()[0], 1.0, 0.0);
  // A linear trend through linear data predicts the line exactly everywhere.
  KrigingFit line({{0.0}, {1.0}, {2.0}, {4.0}}, {1.0, 3.0, 5.0, 9.0}, 1, 0, 0.0);
  ASSERT_TRUE(line.compute(error)) << error;
  for (double x : {-3.0, 0.7, 3.3, 10.0}) EXPECT_NEAR(line.evaluate({x}), 1.0 + 2.0 * x, 1e-6);
  std::vector<double> g;
  ASSERT_TRUE(line.gradient({0.3}, g));
  EXPECT_NEAR(g[0], 2.0, 1e-6);
}

TEST(KrigingFit, LikelihoodGradientMatchesFiniteDifferences) {
  for (bool nugget : {false, true}) {
    for (auto correlation : {KrigingCorrelation::kMatern52, KrigingCorrelation::kGaussian}) {
      const Points points = spread(25, 2);
      KrigingFit fit(points, responsesOf(points), 1, 0, 1e-6);
      fit.setCorrelation(correlation);
      fit.setNuggetEstimated(nugget);
      std::string error;
      ASSERT_TRUE(fit.prepare(error)) << error;
      std::vector<double> thetas = {-0.4, 0.3};
      if (nugget) thetas.push_back(std::log(1e-3));
      std::vector<double> g;
      const double value = fit.thetaObjective(thetas, &g);
      ASSERT_TRUE(std::isfinite(value));
      for (std::size_t k = 0; k < thetas.size(); ++k) {
        std::vector<double> up = thetas, down = thetas;
        up[k] += 1e-6;
        down[k] -= 1e-6;
        const double fd = (fit.thetaObjective(up) - fit.thetaObjective(down)) / 2e-6;
        EXPECT_NEAR(g[k], fd, 1e-4 * (1.0 + std::abs(fd))) << k;
      }
    }
  }
}

// The optimum is a stationary point, no point of a sweep is better, and the particle swarm
// reaches it too.
TEST(KrigingFit, OptimumIsAStationaryPointAndBeatsTheSweep) {
  const Points points = spread(40, 2);
  KrigingFit fit = fitted(points);
  std::vector<double> g;
  const double best = fit.thetaObjective(fit.thetas(), &g);
  EXPECT_DOUBLE_EQ(best, fit.logLikelihood());
  for (double v : g) EXPECT_LT(std::abs(v), 1e-2);
  for (int k = 0; k < 2; ++k) {
    const std::vector<double> sweep = fit.sweepTheta(k, -3.0, 3.0, 25);
    ASSERT_EQ(sweep.size(), 25u);
    for (double v : sweep) EXPECT_LE(v, best + 1e-6);
  }
  EXPECT_TRUE(fit.sweepTheta(2, -1.0, 1.0, 5).empty());
  EXPECT_TRUE(fit.sweepTheta(0, -1.0, 1.0, 1).empty());
  KrigingFit swarm(points, responsesOf(points), 0, 0, 0.0);
  swarm.setOptimizer(KrigingOptimizer::kParticleSwarm);
  swarm.setCorrelation(KrigingCorrelation::kMatern52);
  std::string error;
  ASSERT_TRUE(swarm.compute(error)) << error;
  EXPECT_NEAR(swarm.logLikelihood(), best, 1e-4);
}

TEST(KrigingFit, CorrelationChosenByLikelihoodUnlessSet) {
  // A smooth response (Branin's function on [0, 1]^2) wants the Gaussian correlation, one
  // with kinks the Matern 5/2; each choice predicts unseen designs better than the other
  // kernel would. The smooth one, free of noise, also gets a nugget far below the default
  // and predicts better for it than the Gaussian with the default nugget.
  const Points points = spread(60, 2), unseen = spread(200, 2, 3);
  const auto branin = [](const std::vector<double>& x) {
    const double x1 = 15.0 * x[0] - 5.0, x2 = 15.0 * x[1];
    const double a = x2 - 5.1 / (4.0 * M_PI * M_PI) * x1 * x1 + 5.0 / M_PI * x1 - 6.0;
    return a * a + 10.0 * (1.0 - 1.0 / (8.0 * M_PI)) * std::cos(x1) + 10.0;
  };
  const auto kinked = [](const std::vector<double>& x) {
    return std::abs(x[0] - 0.4) + 2.0 * std::abs(x[1] - 0.55);
  };
  for (bool smoothCase : {true, false}) {
    const auto truthOf = [&](const std::vector<double>& x) {
      return smoothCase ? branin(x) : kinked(x);
    };
    std::vector<double> y;
    for (const auto& p : points) y.push_back(truthOf(p));
    const auto fitWith = [&](const KrigingCorrelation* set) {
      KrigingFit fit(points, y, 0, 0, 0.0);
      if (set) fit.setCorrelation(*set);
      std::string error;
      EXPECT_TRUE(fit.compute(error)) << error;
      return fit;
    };
    const KrigingCorrelation right = smoothCase ? KrigingCorrelation::kGaussian
                                                : KrigingCorrelation::kMatern52;
    const KrigingCorrelation wrong = smoothCase ? KrigingCorrelation::kMatern52
                                                : KrigingCorrelation::kGaussian;
    const KrigingFit chosen = fitWith(nullptr), other = fitWith(&wrong), set = fitWith(&right);
    EXPECT_EQ(chosen.correlation(), right) << "smooth " << smoothCase;
    EXPECT_EQ(other.correlation(), wrong);  // a set correlation is kept
    EXPECT_GE(chosen.logLikelihood(), set.logLikelihood() - 1e-6);
    const auto errorOf = [&](const KrigingFit& fit) {
      double sum = 0.0;
      for (const auto& x : unseen) sum += std::pow(fit.evaluate(x) - truthOf(x), 2);
      return sum;
    };
    EXPECT_LT(errorOf(chosen), errorOf(other));
    if (smoothCase) {
      EXPECT_LT(chosen.nugget(), 1e-3 * set.nugget());
      EXPECT_LT(errorOf(chosen), 0.1 * errorOf(set));
    } else {
      EXPECT_EQ(chosen.nugget(), set.nugget());
    }
  }
}

// Leave-one-out residuals against refits, and (constant trend) the expected improvement.
TEST(KrigingFit, LeaveOneOutResidualsMatchRefits) {
  for (int order = 0; order <= 1; ++order) {
    const Points points = spread(20, 2);
    const std::vector<double> y = responsesOf(points);
    const KrigingFit fit = fitted(points, order);
    const std::vector<double> residuals = fit.PRESSResiduals();
    ASSERT_EQ(residuals.size(), 20u);
    double press = 0.0;
    std::vector<double> refitResiduals;
    for (int i = 0; i < 20; ++i) {
      Points rest = points;
      std::vector<double> restY = y;
      rest.erase(rest.begin() + i);
      restY.erase(restY.begin() + i);
      KrigingFit refit(rest, restY, order, 0, fit.nugget());
      std::string error;
      ASSERT_TRUE(refit.prepare(error)) << error;
      // Same length scales in the variables' own units.
      std::vector<double> thetas(2);
      for (int k = 0; k < 2; ++k)
        thetas[k] = fit.thetas()[k] + std::log(fit.xStds()[k] / refit.xStds()[k]);
      refit.setThetas(thetas);
      ASSERT_TRUE(refit.compute(error)) << error;
      refitResiduals.push_back(y[i] - refit.evaluate(points[i]));
      press += residuals[i] * residuals[i];
    }
    // The refits centre the constant's prior on the mean of the other responses, the closed
    // form keeps the full fit's prior: they differ by up to 2 % of the residuals' size.
    const double size = std::sqrt(press / 20.0);
    for (int i = 0; i < 20; ++i) {
      EXPECT_NEAR(residuals[i], refitResiduals[i], 0.05 * size)
          << "order " << order << " point " << i;
    }
    EXPECT_NEAR(fit.PRESS(), press, 1e-12 * press);
    EXPECT_LT(fit.crossValidation(), 1.0);
    EXPECT_GT(fit.crossValidation(), 0.5);
    if (order > 0) continue;

    // The expected improvement. At a training point there is no uncertainty: only a certain
    // gain counts.
    EXPECT_NEAR(fit.expectedImprovement(points[0], y[0] + 1.0), 1.0, 1e-4);
    EXPECT_NEAR(fit.expectedImprovement(points[0], y[0] - 1.0), 0.0, 1e-6);
    // Between points: positive even when the mean is no better than `best`, growing with best.
    const std::vector<double> x = {0.37, 0.61};
    const double mean = fit.evaluate(x);
    EXPECT_GT(fit.expectedImprovement(x, mean), 0.0);
    EXPECT_NEAR(fit.expectedImprovement(x, mean), std::sqrt(fit.variance(x) / (2.0 * M_PI)),
                1e-12);
    EXPECT_GT(fit.expectedImprovement(x, mean + 0.1), fit.expectedImprovement(x, mean));
  }
}

// The stored trend constant (normalised units: response deviations from the sample mean).
double trendConstant(const KrigingFit& fit) {
  for (const std::string& line : fit.writeData())
    if (line.rfind("beta ", 0) == 0) return std::stod(line.substr(5));
  return std::nan("");
}

// Gaussian correlations with length scales set: a poorly determined trend constant, and a
// correlation matrix too ill-conditioned for the nugget asked for.
TEST(KrigingFit, PoorlyDeterminedConstantAndIllConditionedCorrelation) {
  // A steep rise sampled at 8 points with a long Gaussian length scale: the generalised
  // least-squares constant lies 11.9 response deviations above the sample mean, and far from
  // the points the model reverts to it (238, the largest response is 55). The constant's
  // prior keeps it within the responses' spread (0.1 deviations, 17.4).
  Points points;
  std::vector<double> y;
  for (int i = 0; i < 8; ++i) {
    points.push_back({i / 7.0});
    y.push_back(std::exp(4.0 * i / 7.0));
  }
  KrigingFit fit(points, y, 0, 0, 0.0);
  fit.setCorrelation(KrigingCorrelation::kGaussian);
  fit.setThetas({std::log(2.0)});
  std::string error;
  ASSERT_TRUE(fit.compute(error)) << error;
  EXPECT_LT(std::abs(trendConstant(fit)), 1.0);
  EXPECT_NEAR(fit.evaluate({100.0}), fit.yMean() + fit.yStd() * trendConstant(fit), 1e-9);
  EXPECT_LT(fit.evaluate({100.0}), y.back());

  // Gaussian correlation with length scales of 100 standard deviations: the correlation
  // matrix is numerically all ones, and a nugget of 1e-17 cannot stabilise it.
  const Points spreadOut = spread(20, 2);
  KrigingFit flat(spreadOut, responsesOf(spreadOut), 0, 0, 1e-17);
  flat.setCorrelation(KrigingCorrelation::kGaussian);
  flat.setThetas({std::log(100.0), std::log(100.0)});
  ASSERT_TRUE(flat.compute(error)) << error;
  EXPECT_GT(flat.nugget(), 1e-17);
  EXPECT_LE(flat.nugget(), 1e-3);
  EXPECT_TRUE(std::isfinite(flat.evaluate(spreadOut[3])));
}

TEST(KrigingFit, RefusesTruncatedAndGarbledText) {
  const KrigingFit fit = fitted(spread(12, 2));
  const std::vector<std::string> lines = fit.writeData();
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  KrigingFit back;
  std::string error;
  // Every truncation short of the last line's end, and one changed character anywhere
  // (digits, signs, blanks, letters).
  const auto refused = [&](const std::string& damaged, std::size_t) {
    ASSERT_FALSE(back.readData(testing::linesOf(damaged), error));
    ASSERT_FALSE(error.empty());
    ASSERT_FALSE(back.fitted());
  };
  testing::forEachCut(std::string_view(text).substr(0, text.size() - 1), refused);
  testing::forEachReplacedByte(text, "7- xe", [&](const std::string& damaged, std::size_t at) {
    if (text[at] != '\n') refused(damaged, at);
  });
  // The messages name the line.
  const auto refusalWith = [&](std::size_t index, const std::string& line) {
    std::vector<std::string> bad = lines;
    bad[index] = line;
    EXPECT_FALSE(back.readData(bad, error));
    return error;
  };
  EXPECT_EQ(refusalWith(6, "nugget abc"),
            "Kriging model text, line 7: \"abc\" is not a finite real number (line read: "
            "\"nugget abc\").");
  EXPECT_EQ(refusalWith(0, "Kriging modle"),
            "Kriging model text, line 1: expected \"Kriging model\" (line read: \"Kriging "
            "modle\").");
  EXPECT_EQ(refusalWith(8, "log_likelihood 2"),
            "Kriging model text, line 28: the checksum does not match the text above it (the text "
            "was changed) (line read: \"" + lines[27] + "\").");
  EXPECT_FALSE(back.readData({}, error));
  EXPECT_EQ(error, "Kriging model text: the text ends after 0 lines, before the model is complete.");
}

TEST(KrigingFit, RefusesBadData) {
  const Points points = spread(10, 2);
  const std::vector<double> y = responsesOf(points);
  EXPECT_EQ(refusal({}, {}), "Kriging: there are no points to fit.");
  EXPECT_EQ(refusal(points, {1.0}), "Kriging: there are 10 points but 1 responses.");
  EXPECT_EQ(refusal({{}, {}}, {1.0, 2.0}), "Kriging: the points have no variables.");
  EXPECT_EQ(refusal({{1.0, 2.0}, {1.0}}, {1.0, 2.0}),
            "Kriging: point 2 has 1 variables, point 1 has 2.");
  Points withNan = points;
  withNan[3][1] = std::nan("");
  EXPECT_EQ(refusal(withNan, y), "Kriging: variable 2 of point 4 is not a finite number (nan).");
  std::vector<double> yInf = y;
  yInf[9] = INFINITY;
  EXPECT_EQ(refusal(points, yInf), "Kriging: the response of point 10 is not a finite number (inf).");
  EXPECT_EQ(refusal(points, y, 3), "Kriging: the regression order 3 is not supported (0 constant, "
                                   "1 linear, 2 quadratic).");
  EXPECT_EQ(refusal(points, y, 0, 51), "Kriging: the number of optimiser starts 51 is outside 0 .. 50.");
  EXPECT_EQ(refusal(points, y, 0, 0, 0.5),
            "Kriging: the stabilisation nugget 0.5 is outside 0 .. 0.001 (0 = default).");
  EXPECT_EQ(refusal(spread(6, 2), responsesOf(spread(6, 2)), 2),
            "Kriging: 6 distinct points are too few for a quadratic trend in 2 variables (at "
            "least 7 are needed).");
  EXPECT_EQ(refusal({{1.0}}, {2.0}),
            "Kriging: 1 distinct points are too few for a constant trend in 1 variables (at "
            "least 2 are needed).");
  Points flat = points;
  for (auto& p : flat) p[1] = 4.0;
  EXPECT_EQ(refusal(flat, y, 1),
            "Kriging: the linear trend cannot be fitted: its 3 terms are linearly dependent at "
            "these points (a variable takes too few values).");
  KrigingFit wrongThetas(points, y, 0, 0, 0.0);
  wrongThetas.setThetas({0.0});
  std::string error;
  EXPECT_FALSE(wrongThetas.compute(error));
  EXPECT_EQ(error, "Kriging: 1 thetas were set, the model has 2.");
  // An unfitted model predicts nothing and writes nothing.
  KrigingFit empty;
  EXPECT_TRUE(std::isnan(empty.evaluate({1.0})));
  std::vector<double> g;
  EXPECT_FALSE(empty.gradient({1.0}, g));
  EXPECT_TRUE(empty.writeData().empty());
}

TEST(KrigingFit, MergesIdenticalPointsAndFitsConstantResponses) {
  Points points = spread(15, 2);
  std::vector<double> y = responsesOf(points);
  points.push_back(points[4]);
  y.push_back(y[4] + 2.0);
  KrigingFit fit(points, y, 0, 0, 0.0);
  std::string error;
  ASSERT_TRUE(fit.compute(error)) << error;
  EXPECT_EQ(fit.points(), 15);
  EXPECT_EQ(fit.mergedPoints(), 1);
  EXPECT_NEAR(fit.evaluate(points[4]), y[4] + 1.0, 1e-6);  // the mean of the two

  KrigingFit constant(spread(8, 3), std::vector<double>(8, 2.5), 1, 0, 0.0);
  ASSERT_TRUE(constant.compute(error)) << error;
  EXPECT_EQ(constant.evaluate({0.3, 0.9, 7.0}), 2.5);
  EXPECT_EQ(constant.variance({0.3, 0.9, 7.0}), 0.0);
  std::vector<double> g;
  ASSERT_TRUE(constant.gradient({0.3, 0.9, 7.0}, g));
  EXPECT_EQ(g, std::vector<double>(3, 0.0));
  EXPECT_EQ(constant.PRESS(), 0.0);
  EXPECT_EQ(constant.crossValidation(), 1.0);
  KrigingFit back;
  ASSERT_TRUE(back.readData(constant.writeData(), error)) << error;
  EXPECT_EQ(back.evaluate({0.1, 0.2, 0.3}), 2.5);
}

}  // namespace
}  // namespace karvo::support
