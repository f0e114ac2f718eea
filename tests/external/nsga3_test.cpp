// The NSGA-III component: refused arguments and callback answers (exact texts), the shape of
// a run (one callback per generation, the initial population passed through, every value
// inside its field), repeatability from the seed, the reference-point counts, failed and
// non-finite designs, constraint handling, the quality reached on DTLZ2 and ZDT1 (hypervolume
// of the non-dominated designs among all evaluated ones, computed exactly) and the spread of
// the final population over the reference lines.
#include "external/nsga3.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

namespace karvo::support {
namespace {

using Values = std::vector<std::vector<double>>;

// The objectives (and constraints) of one design from its variable values.
using Problem = std::function<NsgaEvaluation(const std::vector<double>& values)>;

// What a run did: every call of the callback with its designs, and the objectives answered.
struct Recorder {
  std::vector<Values> calls;                    // per call the variable values given
  std::vector<std::vector<double>> objectives;  // per evaluated design (not failed), in order
  int designs = 0;
};

struct RunSetup {
  double seed = 0.25;
  int agent = 3;
  int numVariables = 2;
  std::vector<int> fieldSizes = {1000, 1000};
  Values initial;
  int numObjectives = 2;
  int numConstraints = 0;
  int populationSize = 8;
  int numGenerations = 3;
};

int runNsga(const RunSetup& s, const Problem& problem, Recorder& recorder, std::string& errorText) {
  NsgaCallback callback = [&](int count, const Values& variables,
                              std::vector<NsgaEvaluation>& results) {
    recorder.calls.push_back(variables);
    results.clear();
    for (int i = 0; i < count; ++i) {
      NsgaEvaluation e = problem(variables[i]);
      e.designNumber = ++recorder.designs;
      if (!e.failed) recorder.objectives.push_back(e.objectives);
      results.push_back(e);
    }
  };
  return startNSGA_III(1, s.seed, s.agent, s.numVariables, s.fieldSizes, s.initial, s.numObjectives,
                       s.numConstraints, s.populationSize, s.numGenerations, "/tmp", errorText,
                       callback);
}

// Two objectives of the field values (x, y): a plain convex trade-off.
NsgaEvaluation convexPair(const std::vector<double>& v) {
  NsgaEvaluation e;
  const double x = std::trunc(v[0]) / 999.0;
  const double y = std::trunc(v[1]) / 999.0;
  e.objectives = {x + y * y, (1.0 - x) + y};
  return e;
}

// ---------------------------------------------------------------------------------------
// Exact hypervolume of minimised points against a reference point.

double hypervolume2(std::vector<std::vector<double>> points, double r0, double r1) {
  std::erase_if(points, [&](const auto& p) { return !(p[0] < r0 && p[1] < r1); });
  std::sort(points.begin(), points.end());
  double area = 0.0;
  double level = r1;
  for (const auto& p : points) {
    if (p[1] < level) {
      area += (r0 - p[0]) * (level - p[1]);
      level = p[1];
    }
  }
  return area;
}

// Slices along the third objective: between consecutive third values the dominated area of
// the points below is constant.
double hypervolume3(std::vector<std::vector<double>> points, double r) {
  std::erase_if(points, [&](const auto& p) { return !(p[0] < r && p[1] < r && p[2] < r); });
  std::sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a[2] < b[2]; });
  double volume = 0.0;
  std::vector<std::vector<double>> below;
  for (std::size_t i = 0; i < points.size(); ++i) {
    below.push_back(points[i]);
    const double top = i + 1 < points.size() ? points[i + 1][2] : r;
    if (top > points[i][2]) volume += hypervolume2(below, r, r) * (top - points[i][2]);
  }
  return volume;
}

TEST(NsgaHypervolume, MatchesHandComputedVolumes) {
  EXPECT_DOUBLE_EQ(hypervolume2({{0.5, 0.5}}, 1.0, 1.0), 0.25);
  EXPECT_DOUBLE_EQ(hypervolume2({{0.0, 0.5}, {0.5, 0.0}, {0.6, 0.6}}, 1.0, 1.0), 0.75);
  EXPECT_DOUBLE_EQ(hypervolume3({{0.5, 0.5, 0.5}}, 1.0), 0.125);
  // Two boxes overlapping in [0.5,1]^3: 0.5 + 0.5 - 0.125.
  EXPECT_DOUBLE_EQ(hypervolume3({{0.0, 0.5, 0.5}, {0.5, 0.5, 0.0}, {2.0, 0.0, 0.0}}, 1.0), 0.375);
}

// ---------------------------------------------------------------------------------------
// Refused arguments and answers

TEST(NsgaArguments, EachWrongArgumentIsRefusedWithItsText) {
  struct Case {
    std::function<void(RunSetup&, int&)> change;
    std::string text;
  };
  const std::vector<Case> cases = {
      {[](RunSetup&, int& option) { option = 2; },
       "NSGA-III (agent 3): the option must be 1; found 2."},
      {[](RunSetup& s, int&) {
         s.numVariables = 0;
         s.fieldSizes.clear();
       },
       "NSGA-III (agent 3): the number of variables must be at least 1; found 0."},
      {[](RunSetup& s, int&) { s.fieldSizes = {10}; },
       "NSGA-III (agent 3): there are 1 field sizes for 2 variables."},
      {[](RunSetup& s, int&) {
         s.fieldSizes = {10, 0};
       },
       "NSGA-III (agent 3): the field size of variable 2 must be at least 1; found 0."},
      {[](RunSetup& s, int&) {
         s.initial = {{1.0, 2.0}, {1.0}};
       },
       "NSGA-III (agent 3): member 2 of the initial population has 1 values for 2 variables."},
      {[](RunSetup& s, int&) { s.numObjectives = 1; },
       "NSGA-III (agent 3): the number of objectives must be at least 2; found 1."},
      {[](RunSetup& s, int&) { s.numConstraints = -1; },
       "NSGA-III (agent 3): the number of constraints must be at least 0; found -1."},
      {[](RunSetup& s, int&) { s.populationSize = 10; },
       "NSGA-III (agent 3): the population size must be a positive multiple of 4; found 10."},
      {[](RunSetup& s, int&) { s.populationSize = 0; },
       "NSGA-III (agent 3): the population size must be a positive multiple of 4; found 0."},
      {[](RunSetup& s, int&) { s.populationSize = -4; },
       "NSGA-III (agent 3): the population size must be a positive multiple of 4; found -4."},
      {[](RunSetup& s, int&) { s.numGenerations = 1; },
       "NSGA-III (agent 3): the number of generations must be at least 2; found 1."},
  };
  for (const Case& c : cases) {
    RunSetup s;
    int option = 1;
    c.change(s, option);
    int calls = 0;
    std::string errorText = "left over";
    const int code = startNSGA_III(
        option, s.seed, s.agent, s.numVariables, s.fieldSizes, s.initial, s.numObjectives,
        s.numConstraints, s.populationSize, s.numGenerations, "/tmp", errorText,
        [&](int, const Values&, std::vector<NsgaEvaluation>&) { ++calls; });
    EXPECT_EQ(code, 1) << c.text;
    EXPECT_EQ(errorText, c.text);
    EXPECT_EQ(calls, 0) << c.text;
  }
  RunSetup s;
  std::string errorText;
  EXPECT_EQ(
      startNSGA_III(1, 0.5, 7, 2, s.fieldSizes, {}, 2, 0, 8, 3, "/tmp", errorText, NsgaCallback{}),
      1);
  EXPECT_EQ(errorText, "NSGA-III (agent 7): no evaluation callback was given.");
}

TEST(NsgaArguments, WrongAnswersOfTheCallbackStopTheRunWithTheirText) {
  RunSetup s;
  struct Case {
    int wrongCall;  // the call (1-based) that answers wrongly
    std::function<void(std::vector<NsgaEvaluation>&)> spoil;
    std::string text;
  };
  const std::vector<Case> cases = {
      {1, [](std::vector<NsgaEvaluation>& r) { r.pop_back(); },
       "NSGA-III (agent 3): the evaluation of generation 1 answered 7 results for 8 designs."},
      {2, [](std::vector<NsgaEvaluation>& r) { r.push_back(r.back()); },
       "NSGA-III (agent 3): the evaluation of generation 2 answered 9 results for 8 designs."},
      {2, [](std::vector<NsgaEvaluation>& r) { r[4].objectives.push_back(1.0); },
       "NSGA-III (agent 3): design 5 of generation 2 (design number 13) has 3 objective "
       "values; 2 expected."},
      {3, [](std::vector<NsgaEvaluation>& r) { r[0].constraints.push_back(1.0); },
       "NSGA-III (agent 3): design 1 of generation 3 (design number 17) has 1 constraint "
       "values; 0 expected."},
  };
  for (const Case& c : cases) {
    int calls = 0;
    int designs = 0;
    std::string errorText;
    const int code = startNSGA_III(
        1, s.seed, s.agent, s.numVariables, s.fieldSizes, {}, 2, 0, 8, 4, "/tmp", errorText,
        [&](int count, const Values& variables, std::vector<NsgaEvaluation>& results) {
          ++calls;
          results.clear();
          for (int i = 0; i < count; ++i) {
            results.push_back(convexPair(variables[i]));
            results.back().designNumber = ++designs;
          }
          if (calls == c.wrongCall) c.spoil(results);
        });
    EXPECT_EQ(code, 2) << c.text;
    EXPECT_EQ(errorText, c.text);
    EXPECT_EQ(calls, c.wrongCall) << c.text;
  }
}

// ---------------------------------------------------------------------------------------
// Shape of a run

TEST(NsgaRun, CallsOncePerGenerationWithThePopulationAndKeepsValuesInTheirFields) {
  RunSetup s;
  s.numVariables = 5;
  s.fieldSizes = {1, 2, 7, 1000, std::numeric_limits<int>::max()};
  s.initial = {{0.0, 1.0, 6.5, 999.0, 5.0}, {0.5, 0.0, 0.0, 0.0, 2147483646.0}, {0, 1, 2, 3, 4}};
  s.populationSize = 12;
  s.numGenerations = 6;
  Recorder recorder;
  std::string errorText;
  const int code = runNsga(
      s,
      [](const std::vector<double>& v) {
        NsgaEvaluation e;
        e.objectives = {v[2] + v[3], 1000.0 - v[3] + v[1]};
        return e;
      },
      recorder, errorText);
  ASSERT_EQ(code, 0) << errorText;
  EXPECT_EQ(errorText, "");
  ASSERT_EQ(recorder.calls.size(), 6u);
  for (const Values& call : recorder.calls) {
    ASSERT_EQ(call.size(), 12u);
    for (const auto& design : call) {
      ASSERT_EQ(design.size(), 5u);
      for (int j = 0; j < 5; ++j) {
        EXPECT_GE(design[j], 0.0);
        EXPECT_LT(design[j], static_cast<double>(s.fieldSizes[j]));
      }
      EXPECT_EQ(std::trunc(design[0]), 0.0);  // a field of one value
    }
  }
  for (std::size_t i = 0; i < s.initial.size(); ++i) EXPECT_EQ(recorder.calls[0][i], s.initial[i]);
}

TEST(NsgaRun, InitialMembersBeyondThePopulationAreDroppedAndOutOfFieldValuesMovedIn) {
  RunSetup s;
  s.populationSize = 4;
  s.numGenerations = 2;
  s.initial = {{1, 2}, {3, 4}, {5, 6}, {-3.0, 1000.0}, {9, 9}, {8, 8}};
  Recorder recorder;
  std::string errorText;
  ASSERT_EQ(runNsga(s, convexPair, recorder, errorText), 0) << errorText;
  const Values expected = {{1, 2}, {3, 4}, {5, 6}, {0.0, std::nextafter(1000.0, 0.0)}};
  EXPECT_EQ(recorder.calls[0], expected);
}

TEST(NsgaRun, SameSeedRepeatsTheRunAndAnotherSeedDoesNot) {
  RunSetup s;
  s.numGenerations = 5;
  Recorder first, again, other;
  std::string errorText;
  ASSERT_EQ(runNsga(s, convexPair, first, errorText), 0);
  ASSERT_EQ(runNsga(s, convexPair, again, errorText), 0);
  s.seed = 0.2500001;
  ASSERT_EQ(runNsga(s, convexPair, other, errorText), 0);
  EXPECT_EQ(first.calls, again.calls);
  ASSERT_EQ(other.calls.size(), first.calls.size());
  EXPECT_NE(other.calls[0], first.calls[0]);
  EXPECT_NE(other.calls[4], first.calls[4]);
}

TEST(NsgaReferencePoints, CountIsTheLargestSimplexLatticeWithinThePopulation) {
  EXPECT_EQ(nsgaReferencePointCount(2, 4), 4);
  EXPECT_EQ(nsgaReferencePointCount(2, 92), 92);
  EXPECT_EQ(nsgaReferencePointCount(3, 92), 91);    // 12 divisions
  EXPECT_EQ(nsgaReferencePointCount(3, 100), 91);   // 13 divisions would give 105
  EXPECT_EQ(nsgaReferencePointCount(3, 4), 3);      // the corners only
  EXPECT_EQ(nsgaReferencePointCount(3, 12), 10);    // 3 divisions
  EXPECT_EQ(nsgaReferencePointCount(5, 8), 5);      // fewer than the corners is not possible
  EXPECT_EQ(nsgaReferencePointCount(10, 100), 55);  // 2 divisions
  EXPECT_EQ(nsgaReferencePointCount(1, 92), 0);
  EXPECT_EQ(nsgaReferencePointCount(3, 0), 0);
}

// ---------------------------------------------------------------------------------------
// Failed designs and constraints

TEST(NsgaRun, FailedAndNonFiniteDesignsAreLeftBehind) {
  // Half of the first variable's field fails (flagged, or answered with NaN or infinity).
  RunSetup s;
  s.populationSize = 20;
  s.numGenerations = 12;
  Recorder recorder;
  std::string errorText;
  const Problem problem = [](const std::vector<double>& v) {
    NsgaEvaluation e = convexPair(v);
    if (v[0] < 250.0) {
      e.failed = 1;
      e.objectives.clear();  // the values of a failed design are not looked at
    } else if (v[0] < 400.0) {
      e.objectives[0] = std::numeric_limits<double>::quiet_NaN();
    } else if (v[0] < 500.0) {
      e.objectives[1] = -std::numeric_limits<double>::infinity();
    }
    return e;
  };
  ASSERT_EQ(runNsga(s, problem, recorder, errorText), 0) << errorText;
  auto failedShare = [](const Values& call) {
    double failed = 0;
    for (const auto& v : call) failed += v[0] < 500.0;
    return failed / call.size();
  };
  EXPECT_LE(failedShare(recorder.calls.back()), 0.2);

  // Every design failing is no reason to stop.
  Recorder allFailed;
  ASSERT_EQ(runNsga(
                s,
                [](const std::vector<double>&) {
                  return NsgaEvaluation{1, 0, {}, {}};
                },
                allFailed, errorText),
            0);
  EXPECT_EQ(allFailed.calls.size(), 12u);
}

TEST(NsgaRun, TheFinalPopulationLiesInASmallFeasibleRegion) {
  // Feasible: the disc of radius 0.1 around (0.8, 0.8) (about 3 % of the square) above the
  // line x + y = 1.5; both objectives would rather go to (0, 0), so the best designs are on
  // the boundary.
  RunSetup s;
  s.fieldSizes = {100001, 100001};
  s.numConstraints = 2;
  s.populationSize = 40;
  s.numGenerations = 25;
  auto unit = [](const std::vector<double>& v) {
    return std::vector<double>{std::trunc(v[0]) / 100000.0, std::trunc(v[1]) / 100000.0};
  };
  auto constraints = [&](const std::vector<double>& v) {
    const std::vector<double> p = unit(v);
    return std::vector<double>{(p[0] - 0.8) * (p[0] - 0.8) + (p[1] - 0.8) * (p[1] - 0.8) - 0.01,
                               1.5 - p[0] - p[1]};
  };
  auto feasible = [&](const std::vector<double>& v) {
    const std::vector<double> g = constraints(v);
    return g[0] <= 0.0 && g[1] <= 0.0;
  };
  int calls = 0;
  double feasibleAtFirst = 0.0;
  std::vector<std::vector<double>> finalPopulation;
  std::string errorText;
  const int code = nsgaRunWithFinalPopulation(
      1, 0.25, 3, 2, s.fieldSizes, {}, 2, 2, s.populationSize, s.numGenerations, "/tmp", errorText,
      [&](int count, const Values& variables, std::vector<NsgaEvaluation>& results) {
        results.assign(count, {});
        for (int i = 0; i < count; ++i) {
          results[i].objectives = unit(variables[i]);
          results[i].constraints = constraints(variables[i]);
          if (calls == 0) feasibleAtFirst += feasible(variables[i]);
        }
        ++calls;
      },
      finalPopulation);
  ASSERT_EQ(code, 0) << errorText;
  EXPECT_LE(feasibleAtFirst, 4.0);
  ASSERT_EQ(finalPopulation.size(), 40u);
  double sum = 0.0;
  for (const auto& v : finalPopulation) {
    EXPECT_TRUE(feasible(v)) << v[0] << " " << v[1];
    sum += unit(v)[0] + unit(v)[1];
  }
  EXPECT_LT(sum / 40.0, 1.55);  // pressed towards the line, not anywhere in the disc
}

TEST(NsgaRun, IdenticalObjectivesEverywhereStillRunWithValuesInTheirFields) {
  // Every normalisation scale is degenerate: the run must still choose and vary.
  RunSetup s;
  s.numObjectives = 3;
  s.populationSize = 16;
  s.numGenerations = 4;
  Recorder recorder;
  std::string errorText;
  ASSERT_EQ(runNsga(
                s,
                [](const std::vector<double>&) {
                  return NsgaEvaluation{0, 0, {1, 1, 1}, {}};
                },
                recorder, errorText),
            0);
  for (const Values& call : recorder.calls)
    for (const auto& v : call) {
      EXPECT_TRUE(v[0] >= 0.0 && v[0] < 1000.0);
      EXPECT_TRUE(v[1] >= 0.0 && v[1] < 1000.0);
    }
}

// ---------------------------------------------------------------------------------------
// Quality. Random search reaches about 0.53 on DTLZ2 and 0 on ZDT1 with the same budget.

constexpr int kFineField = 100000001;  // values mapped to [0, 1] by value / (size - 1)

std::vector<double> unitValues(const std::vector<double>& v) {
  std::vector<double> x(v.size());
  for (std::size_t j = 0; j < v.size(); ++j) x[j] = std::trunc(v[j]) / (kFineField - 1.0);
  return x;
}

std::vector<std::vector<double>> nonDominated(const std::vector<std::vector<double>>& points) {
  std::vector<std::vector<double>> front;
  for (std::size_t i = 0; i < points.size(); ++i) {
    bool dominated = false;
    for (std::size_t j = 0; j < points.size() && !dominated; ++j) {
      if (j == i) continue;
      bool noWorse = true, better = false;
      for (std::size_t k = 0; k < points[i].size(); ++k) {
        noWorse = noWorse && points[j][k] <= points[i][k];
        better = better || points[j][k] < points[i][k];
      }
      dominated = noWorse && (better || j < i);  // of equal points the first stays
    }
    if (!dominated) front.push_back(points[i]);
  }
  return front;
}

// DTLZ2 with three objectives on the unit values, objective k scaled by scale^k.
NsgaEvaluation dtlz2(const std::vector<double>& v, double scale = 1.0) {
  const std::vector<double> x = unitValues(v);
  double g = 0.0;
  for (std::size_t j = 2; j < x.size(); ++j) g += (x[j] - 0.5) * (x[j] - 0.5);
  const double a = x[0] * std::numbers::pi / 2, b = x[1] * std::numbers::pi / 2;
  NsgaEvaluation e;
  e.objectives = {(1 + g) * std::cos(a) * std::cos(b), scale * (1 + g) * std::cos(a) * std::sin(b),
                  scale * scale * (1 + g) * std::sin(a)};
  return e;
}

TEST(NsgaQuality, Dtlz2WithThreeObjectives) {
  RunSetup s;
  s.seed = 0.5;
  s.numVariables = 7;
  s.fieldSizes.assign(7, kFineField);
  s.numObjectives = 3;
  s.populationSize = 92;
  s.numGenerations = 22;
  Recorder recorder;
  std::string errorText;
  ASSERT_EQ(runNsga(
                s, [](const std::vector<double>& v) { return dtlz2(v); }, recorder, errorText),
            0)
      << errorText;
  ASSERT_EQ(recorder.objectives.size(), 92u * 22u);
  // Measured 0.745 with this seed; the whole front would give 1.1^3 - pi/6 = 0.807.
  EXPECT_GE(hypervolume3(nonDominated(recorder.objectives), 1.1), 0.74);
}

// The niching spreads the final population over the reference lines, whatever the scales of
// the objectives: on DTLZ2 with objectives scaled by 1, 10 and 100 the members, scaled back,
// sit nearest to most of the 91 lines (without the normalisation about 20 of them).
TEST(NsgaQuality, FinalPopulationCoversTheReferenceLinesOfScaledDtlz2) {
  const double scale = 10.0;
  std::vector<std::vector<double>> finalPopulation;
  std::string errorText;
  const int code = nsgaRunWithFinalPopulation(
      1, 0.5, 3, 7, std::vector<int>(7, kFineField), {}, 3, 0, 92, 60, "/tmp", errorText,
      [&](int count, const Values& variables, std::vector<NsgaEvaluation>& results) {
        results.clear();
        for (int i = 0; i < count; ++i) results.push_back(dtlz2(variables[i], scale));
      },
      finalPopulation);
  ASSERT_EQ(code, 0) << errorText;
  ASSERT_EQ(finalPopulation.size(), 92u);
  std::vector<std::vector<double>> lines;  // 12 divisions
  for (int i = 0; i <= 12; ++i)
    for (int j = 0; i + j <= 12; ++j) lines.push_back({i / 12.0, j / 12.0, (12 - i - j) / 12.0});
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(nsgaReferencePointCount(3, 92)));
  std::vector<int> covered(lines.size(), 0);
  for (const auto& member : finalPopulation) {
    std::vector<double> f = dtlz2(member, scale).objectives;
    f[1] /= scale;
    f[2] /= scale * scale;
    std::size_t nearest = 0;
    double least = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < lines.size(); ++j) {
      const auto& w = lines[j];
      const double dot = f[0] * w[0] + f[1] * w[1] + f[2] * w[2];
      const double distance = f[0] * f[0] + f[1] * f[1] + f[2] * f[2] -
                              dot * dot / (w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
      if (distance < least) {
        least = distance;
        nearest = j;
      }
    }
    covered[nearest] = 1;
  }
  // Measured 91 with this seed (80 to 91 over other seeds).
  EXPECT_GE(std::count(covered.begin(), covered.end(), 1), 80);
}

TEST(NsgaQuality, Zdt1WithTenVariables) {
  RunSetup s;
  s.seed = 0.5;
  s.numVariables = 10;
  s.fieldSizes.assign(10, kFineField);
  s.populationSize = 100;
  s.numGenerations = 20;
  const Problem zdt1 = [](const std::vector<double>& v) {
    const std::vector<double> x = unitValues(v);
    double sum = 0.0;
    for (std::size_t j = 1; j < x.size(); ++j) sum += x[j];
    const double g = 1.0 + 9.0 * sum / (x.size() - 1.0);
    NsgaEvaluation e;
    e.objectives = {x[0], g * (1.0 - std::sqrt(x[0] / g))};
    return e;
  };
  Recorder recorder;
  std::string errorText;
  ASSERT_EQ(runNsga(s, zdt1, recorder, errorText), 0) << errorText;
  // Measured 0.597 with this seed; the whole front would give 1.21 - 1/3 = 0.877.
  EXPECT_GE(hypervolume2(nonDominated(recorder.objectives), 1.1, 1.1), 0.5);
}

}  // namespace
}  // namespace karvo::support
