// The NSGA-III component: refused arguments and callback answers (exact texts), the shape of
// a run (one callback per generation, the initial population passed through, every value
// inside its field), repeatability from the seed, the reference-point counts, failed and
// non-finite designs, constraint handling, the spread of the final population over the
// reference lines of a scaled DTLZ2, and a run stepped one generation at a time through a
// checkpoint (the same calls as a whole run; inconsistent archives refused).
#include "external/nsga3.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/state_archive.h"

namespace karvo::support {
namespace {

using Values = std::vector<std::vector<double>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The objectives (and constraints) of one design from its variable values.
using Problem = std::function<NsgaEvaluation(const std::vector<double>& values)>;

struct RunSetup {
  double seed = 0.25;
  int agent = 3;
  int numVariables = 2;
  std::vector<int> fieldSizes = {1000, 1000};
  Values initial = {};
  int numObjectives = 2;
  int numConstraints = 0;
  int populationSize = 8;
  int numGenerations = 3;
  int option = 1;
};

int run(const RunSetup& s, const NsgaCallback& callback, std::string& errorText) {
  return startNSGA_III(s.option, s.seed, s.agent, s.numVariables, s.fieldSizes, s.initial,
                       s.numObjectives, s.numConstraints, s.populationSize, s.numGenerations,
                       "/tmp", errorText, callback);
}

int runToTheEnd(const RunSetup& s, const NsgaCallback& callback, Values& finalPopulation,
                std::string& errorText) {
  return nsgaRunWithFinalPopulation(s.option, s.seed, s.agent, s.numVariables, s.fieldSizes,
                                    s.initial, s.numObjectives, s.numConstraints,
                                    s.populationSize, s.numGenerations, "/tmp", errorText,
                                    callback, finalPopulation);
}

int start(NsgaRunState& state, const RunSetup& s, std::string& errorText) {
  return nsgaStart(state, s.option, s.seed, s.agent, s.numVariables, s.fieldSizes, s.initial,
                   s.numObjectives, s.numConstraints, s.populationSize, s.numGenerations, "/tmp",
                   errorText);
}

// A callback that answers `problem` for each design.
NsgaCallback answering(Problem problem) {
  return [problem](int count, const Values& variables, std::vector<NsgaEvaluation>& results) {
    results.clear();
    for (int i = 0; i < count; ++i) results.push_back(problem(variables[i]));
  };
}

// FNV-1a over the bit patterns of every value handed to the callback (and the count of each
// call), then over the final population: two runs with the same fingerprint made the same
// calls with the same values in the same order.
struct Fingerprint {
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  void add(std::uint64_t word) {
    for (int b = 0; b < 8; ++b) {
      hash ^= (word >> (8 * b)) & 0xFF;
      hash *= 0x100000001B3ULL;
    }
  }
  void add(const Values& values) {
    add(static_cast<std::uint64_t>(values.size()));
    for (const auto& v : values)
      for (double x : v) add(std::bit_cast<std::uint64_t>(x));
  }
};

// What a run did. Its callback answers `problem` with design numbers 1, 2, ... and keeps
// every call and a fingerprint.
struct Recorder {
  explicit Recorder(Problem p) : problem(std::move(p)) {}
  Problem problem;
  std::vector<Values> calls;  // per call the variable values given
  Fingerprint fingerprint;    // of the calls, then the final population
  Values finalPopulation;
  int designs = 0;
  NsgaCallback callback() {
    return [this](int count, const Values& variables, std::vector<NsgaEvaluation>& results) {
      calls.push_back(variables);
      fingerprint.add(static_cast<std::uint64_t>(count));
      fingerprint.add(variables);
      results.clear();
      for (int i = 0; i < count; ++i) {
        NsgaEvaluation e = problem(variables[i]);
        e.designNumber = ++designs;
        results.push_back(e);
      }
    };
  }
};

// A whole run of `s` on `problem` in one call.
Recorder wholeRun(const RunSetup& s, const Problem& problem) {
  Recorder recorder(problem);
  std::string errorText;
  EXPECT_EQ(runToTheEnd(s, recorder.callback(), recorder.finalPopulation, errorText), 0)
      << errorText;
  recorder.fingerprint.add(recorder.finalPopulation);
  return recorder;
}

// Two objectives of the field values (x, y): a plain convex trade-off.
NsgaEvaluation convexPair(const std::vector<double>& v) {
  NsgaEvaluation e;
  const double x = std::trunc(v[0]) / 999.0;
  const double y = std::trunc(v[1]) / 999.0;
  e.objectives = {x + y * y, (1.0 - x) + y};
  return e;
}

// The field values as trunc(value) / top, per variable.
std::vector<double> unitValues(const std::vector<double>& v, const std::vector<double>& top) {
  std::vector<double> x(v.size());
  for (std::size_t j = 0; j < v.size(); ++j) x[j] = std::trunc(v[j]) / top[j];
  return x;
}

std::vector<double> unitValues(const std::vector<double>& v, double top) {
  return unitValues(v, std::vector<double>(v.size(), top));
}

// DTLZ2 with three objectives on unit values, objective k scaled by scale^k.
NsgaEvaluation dtlz2(const std::vector<double>& x, double scale = 1.0) {
  double g = 0.0;
  for (std::size_t j = 2; j < x.size(); ++j) g += (x[j] - 0.5) * (x[j] - 0.5);
  const double a = x[0] * std::numbers::pi / 2, b = x[1] * std::numbers::pi / 2;
  NsgaEvaluation e;
  e.objectives = {(1 + g) * std::cos(a) * std::cos(b), scale * (1 + g) * std::cos(a) * std::sin(b),
                  scale * scale * (1 + g) * std::sin(a)};
  return e;
}

// ZDT1 on unit values.
NsgaEvaluation zdt1(const std::vector<double>& x) {
  double sum = 0.0;
  for (std::size_t j = 1; j < x.size(); ++j) sum += x[j];
  const double g = 1.0 + 9.0 * sum / (x.size() - 1.0);
  NsgaEvaluation e;
  e.objectives = {x[0], g * (1.0 - std::sqrt(x[0] / g))};
  return e;
}

// ---------------------------------------------------------------------------------------
// Refused arguments and answers

TEST(NsgaArguments, EachWrongArgumentIsRefusedWithItsText) {
  const std::vector<std::pair<std::function<void(RunSetup&)>, std::string>> cases = {
      {[](RunSetup& s) { s.option = 2; }, "the option must be 1; found 2."},
      {[](RunSetup& s) { s.numVariables = 0, s.fieldSizes.clear(); },
       "the number of variables must be at least 1; found 0."},
      {[](RunSetup& s) { s.fieldSizes = {10}; }, "there are 1 field sizes for 2 variables."},
      {[](RunSetup& s) { s.fieldSizes = {10, 0}; },
       "the field size of variable 2 must be at least 1; found 0."},
      {[](RunSetup& s) { s.initial = {{1.0, 2.0}, {1.0}}; },
       "member 2 of the initial population has 1 values for 2 variables."},
      {[](RunSetup& s) { s.numObjectives = 1; },
       "the number of objectives must be at least 2; found 1."},
      {[](RunSetup& s) { s.numConstraints = -1; },
       "the number of constraints must be at least 0; found -1."},
      {[](RunSetup& s) { s.populationSize = 10; },
       "the population size must be a positive multiple of 4; found 10."},
      {[](RunSetup& s) { s.populationSize = 0; },
       "the population size must be a positive multiple of 4; found 0."},
      {[](RunSetup& s) { s.numGenerations = 1; },
       "the number of generations must be at least 2; found 1."},
  };
  for (const auto& [change, rule] : cases) {
    const std::string text = "NSGA-III (agent 3): " + rule;
    RunSetup s;
    change(s);
    int calls = 0;
    std::string errorText = "left over";
    EXPECT_EQ(run(s, [&](int, const Values&, std::vector<NsgaEvaluation>&) { ++calls; },
                  errorText),
              1)
        << text;
    EXPECT_EQ(errorText, text);
    EXPECT_EQ(calls, 0) << text;
    // nsgaStart refuses them alike and leaves the state as it was.
    NsgaRunState state;
    state.agent = -9;
    std::string startText;
    EXPECT_EQ(start(state, s, startText), 1) << text;
    EXPECT_EQ(startText, text);
    EXPECT_EQ(state.agent, -9);
    EXPECT_TRUE(state.population.empty());
  }
  RunSetup s{.agent = 7};
  std::string errorText;
  EXPECT_EQ(run(s, NsgaCallback{}, errorText), 1);
  EXPECT_EQ(errorText, "NSGA-III (agent 7): no evaluation callback was given.");
}

TEST(NsgaArguments, WrongAnswersOfTheCallbackStopTheRunWithTheirText) {
  RunSetup s{.numGenerations = 4};
  struct Case {
    int wrongCall;  // the call (1-based) that answers wrongly
    std::function<void(std::vector<NsgaEvaluation>&)> spoil;
    std::string text;
  };
  const std::vector<Case> cases = {
      {1, [](std::vector<NsgaEvaluation>& r) { r.pop_back(); },
       "the evaluation of generation 1 answered 7 results for 8 designs."},
      {2, [](std::vector<NsgaEvaluation>& r) { r.push_back(r.back()); },
       "the evaluation of generation 2 answered 9 results for 8 designs."},
      {2, [](std::vector<NsgaEvaluation>& r) { r[4].objectives.push_back(1.0); },
       "design 5 of generation 2 (design number 13) has 3 objective values; 2 expected."},
      {3, [](std::vector<NsgaEvaluation>& r) { r[0].constraints.push_back(1.0); },
       "design 1 of generation 3 (design number 17) has 1 constraint values; 0 expected."},
  };
  for (const Case& c : cases) {
    int calls = 0;
    int designs = 0;
    std::string errorText;
    const int code = run(
        s,
        [&](int count, const Values& variables, std::vector<NsgaEvaluation>& results) {
          ++calls;
          results.clear();
          for (int i = 0; i < count; ++i) {
            results.push_back(convexPair(variables[i]));
            results.back().designNumber = ++designs;
          }
          if (calls == c.wrongCall) c.spoil(results);
        },
        errorText);
    EXPECT_EQ(code, 2) << c.text;
    EXPECT_EQ(errorText, "NSGA-III (agent 3): " + c.text);
    EXPECT_EQ(calls, c.wrongCall) << c.text;
  }
}

// ---------------------------------------------------------------------------------------
// Shape of a run

TEST(NsgaRun, CallsOncePerGenerationWithThePopulationAndKeepsValuesInTheirFields) {
  const RunSetup s{
      .numVariables = 5,
      .fieldSizes = {1, 2, 7, 1000, std::numeric_limits<int>::max()},
      .initial = {{0.0, 1.0, 6.5, 999.0, 5.0}, {0.5, 0.0, 0.0, 0.0, 2147483646.0}, {0, 1, 2, 3, 4}},
      .populationSize = 12,
      .numGenerations = 6};
  Recorder recorder([](const std::vector<double>& v) {
    return NsgaEvaluation{0, 0, {v[2] + v[3], 1000.0 - v[3] + v[1]}, {}};
  });
  std::string errorText = "left over";
  ASSERT_EQ(run(s, recorder.callback(), errorText), 0) << errorText;  // startNSGA_III
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
  const RunSetup s{.initial = {{1, 2}, {3, 4}, {5, 6}, {-3.0, 1000.0}, {9, 9}, {8, 8}},
                   .populationSize = 4, .numGenerations = 2};
  const Recorder recorder = wholeRun(s, convexPair);
  ASSERT_EQ(recorder.calls.size(), 2u);
  const Values expected = {{1, 2}, {3, 4}, {5, 6}, {0.0, std::nextafter(1000.0, 0.0)}};
  EXPECT_EQ(recorder.calls[0], expected);
}

TEST(NsgaReferencePoints, CountIsTheLargestSimplexLatticeWithinThePopulation) {
  EXPECT_EQ(nsgaReferencePointCount(2, 92), 92);
  EXPECT_EQ(nsgaReferencePointCount(3, 100), 91);   // 13 divisions would give 105
  EXPECT_EQ(nsgaReferencePointCount(3, 4), 3);      // the corners only
  EXPECT_EQ(nsgaReferencePointCount(5, 8), 5);      // fewer than the corners is not possible
  EXPECT_EQ(nsgaReferencePointCount(10, 100), 55);  // 2 divisions
  EXPECT_EQ(nsgaReferencePointCount(1, 92), 0);
  EXPECT_EQ(nsgaReferencePointCount(3, 0), 0);
}

// ---------------------------------------------------------------------------------------
// Failed designs and constraints

TEST(NsgaRun, FailedAndNonFiniteDesignsAreLeftBehind) {
  // Half of the first variable's field fails (flagged, or answered with NaN or infinity).
  RunSetup s{.populationSize = 20, .numGenerations = 12};
  const Recorder recorder = wholeRun(s, [](const std::vector<double>& v) {
    NsgaEvaluation e = convexPair(v);
    if (v[0] < 250.0) {
      e.failed = 1;
      e.objectives.clear();  // the values of a failed design are not looked at
    } else if (v[0] < 400.0) {
      e.objectives[0] = kNaN;
    } else if (v[0] < 500.0) {
      e.objectives[1] = -kInf;
    }
    return e;
  });
  ASSERT_EQ(recorder.calls.size(), 12u);
  const Values& last = recorder.calls.back();
  EXPECT_LE(std::count_if(last.begin(), last.end(), [](const auto& v) { return v[0] < 500.0; }),
            4);  // a fifth

  // Every design failing is no reason to stop.
  const Problem failing = [](const std::vector<double>&) { return NsgaEvaluation{1, 0, {}, {}}; };
  EXPECT_EQ(wholeRun(s, failing).calls.size(), 12u);
}

TEST(NsgaRun, TheFinalPopulationLiesInASmallFeasibleRegion) {
  // Feasible: the disc of radius 0.1 around (0.8, 0.8) (about 3 % of the square) above the
  // line x + y = 1.5; both objectives would rather go to (0, 0), so the best designs are on
  // the boundary.
  const RunSetup s{.fieldSizes = {100001, 100001}, .numConstraints = 2, .populationSize = 40,
                   .numGenerations = 25};
  auto constraints = [](const std::vector<double>& v) {
    const std::vector<double> p = unitValues(v, 100000.0);
    return std::vector<double>{(p[0] - 0.8) * (p[0] - 0.8) + (p[1] - 0.8) * (p[1] - 0.8) - 0.01,
                               1.5 - p[0] - p[1]};
  };
  auto feasible = [&](const std::vector<double>& v) {
    const std::vector<double> g = constraints(v);
    return g[0] <= 0.0 && g[1] <= 0.0;
  };
  const Recorder recorder = wholeRun(s, [&](const std::vector<double>& v) {
    return NsgaEvaluation{0, 0, unitValues(v, 100000.0), constraints(v)};
  });
  ASSERT_FALSE(recorder.calls.empty());
  EXPECT_LE(std::count_if(recorder.calls[0].begin(), recorder.calls[0].end(), feasible), 4);
  ASSERT_EQ(recorder.finalPopulation.size(), 40u);
  double sum = 0.0;
  for (const auto& v : recorder.finalPopulation) {
    EXPECT_TRUE(feasible(v)) << v[0] << " " << v[1];
    sum += unitValues(v, 100000.0)[0] + unitValues(v, 100000.0)[1];
  }
  EXPECT_LT(sum / 40.0, 1.55);  // pressed towards the line, not anywhere in the disc
}

// ---------------------------------------------------------------------------------------
// Quality

constexpr int kFineField = 100000001;  // values mapped to [0, 1] by value / (size - 1)

// The niching spreads the final population over the reference lines, whatever the scales of
// the objectives: on DTLZ2 with objectives scaled by 1, 10 and 100 the members, scaled back,
// sit nearest to most of the 91 lines (without the normalisation about 20 of them).
TEST(NsgaQuality, FinalPopulationCoversTheReferenceLinesOfScaledDtlz2) {
  const double scale = 10.0;
  const RunSetup s{.seed = 0.5, .numVariables = 7, .fieldSizes = std::vector<int>(7, kFineField),
                   .numObjectives = 3, .populationSize = 92, .numGenerations = 60};
  Values finalPopulation;
  std::string errorText;
  const auto scaled = [&](const std::vector<double>& v) {
    return dtlz2(unitValues(v, kFineField - 1.0), scale);
  };
  ASSERT_EQ(runToTheEnd(s, answering(scaled), finalPopulation, errorText), 0) << errorText;
  ASSERT_EQ(finalPopulation.size(), 92u);
  std::vector<std::vector<double>> lines;  // 12 divisions
  for (int i = 0; i <= 12; ++i)
    for (int j = 0; i + j <= 12; ++j) lines.push_back({i / 12.0, j / 12.0, (12 - i - j) / 12.0});
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(nsgaReferencePointCount(3, 92)));
  std::vector<int> covered(lines.size(), 0);
  for (const auto& member : finalPopulation) {
    std::vector<double> f = scaled(member).objectives;
    f[1] /= scale;
    f[2] /= scale * scale;
    std::size_t nearest = 0;
    double least = kInf;
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

// ---------------------------------------------------------------------------------------
// Runs whose fingerprints the stepped runs must repeat

struct FingerprintCase {
  RunSetup setup;
  Problem problem;
};

// ZDT1 on 10 variables with one constraint (x1 + x2 <= 1.2) and failures: designs whose
// third variable falls in the lowest tenth fail, the next twentieth answer NaN.
FingerprintCase zdt1Case() {
  return {{.seed = 0.375, .numVariables = 10, .fieldSizes = std::vector<int>(10, 1000001),
           .numConstraints = 1, .populationSize = 24, .numGenerations = 15},
          [](const std::vector<double>& v) {
            const std::vector<double> x = unitValues(v, 1000000.0);
            if (x[2] < 0.1) return NsgaEvaluation{1, 0, {}, {}};
            NsgaEvaluation e = zdt1(x);
            e.constraints = {x[0] + x[1] - 1.2};
            if (x[2] < 0.15) e.objectives[1] = kNaN;
            return e;
          }};
}

// DTLZ2 with three objectives on 7 variables of mixed field sizes, two constraints, a given
// initial population and failures.
FingerprintCase dtlz2Case() {
  return {{.seed = 0.625, .agent = 2, .numVariables = 7,
           .fieldSizes = {1001, 1001, 50, 1001, 7, 1001, 1001},
           .initial = {{0, 0, 0, 0, 0, 0, 0}, {1000, 1000, 49, 1000, 6, 1000, 1000},
                       {500.5, 250, 25, 12, 3, 999.9, 1}},
           .numObjectives = 3, .numConstraints = 2, .populationSize = 32, .numGenerations = 12},
          [](const std::vector<double>& v) {
            const std::vector<double> x = unitValues(v, {1000, 1000, 49, 1000, 6, 1000, 1000});
            if (x[4] == 0.0 && x[5] < 0.5) return NsgaEvaluation{1, 0, {}, {}};
            NsgaEvaluation e = dtlz2(x);
            e.constraints = {0.2 - e.objectives[2], x[3] - 0.9};
            return e;
          }};
}

// ---------------------------------------------------------------------------------------
// A run one generation at a time, through a checkpoint

std::string archived(NsgaRunState& state) {
  std::string bytes;
  StateArchive archive(bytes);
  keepNsgaRunState(archive, state);
  return bytes;
}

NsgaRunState started(const RunSetup& s) {
  NsgaRunState state;
  std::string errorText;
  EXPECT_EQ(start(state, s, errorText), 0) << errorText;
  return state;
}

// A run of `c` one step at a time; after `stopAfter` steps its state goes through an
// archive into a fresh state, which takes the rest of the run (the first state is dropped).
// The fingerprint covers the same calls and final population as wholeRun's.
Recorder steppedRun(const FingerprintCase& c, int stopAfter) {
  Recorder recorder(c.problem);
  const NsgaCallback callback = recorder.callback();
  NsgaRunState state = started(c.setup);
  std::string errorText;
  for (int step = 0;; ++step) {
    if (step == stopAfter) {
      const std::string bytes = archived(state);
      auto fresh = std::make_unique<NsgaRunState>();
      StateArchive reader{std::string_view(bytes)};
      keepNsgaRunState(reader, *fresh);
      EXPECT_TRUE(reader.ok()) << "after step " << step;
      EXPECT_EQ(reader.remaining(), 0u);
      EXPECT_EQ(archived(*fresh), bytes) << "after step " << step;  // nothing lost or added
      state = NsgaRunState{};
      state = std::move(*fresh);
    }
    if (nsgaFinished(state)) break;
    EXPECT_EQ(nsgaStep(state, errorText, callback), 0) << errorText;
    EXPECT_EQ(state.generation, step + 1);
  }
  recorder.fingerprint.add(nsgaPopulationValues(state));
  return recorder;
}

// (Another seed gives another run.)
TEST(NsgaSteps, ARunResumedFromItsCheckpointMakesTheSameCallsAsAnUninterruptedOne) {
  for (const FingerprintCase& c : {zdt1Case(), dtlz2Case()}) {
    const std::uint64_t whole = wholeRun(c.setup, c.problem).fingerprint.hash;
    RunSetup reseeded = c.setup;
    reseeded.seed += 1e-7;
    EXPECT_NE(wholeRun(reseeded, c.problem).fingerprint.hash, whole);
    const int last = c.setup.numGenerations;
    for (int stopAfter : {-1, 0, 1, 2, last / 2, last - 1, last}) {
      EXPECT_EQ(steppedRun(c, stopAfter).fingerprint.hash, whole)
          << c.setup.numObjectives << " objectives, stopped after " << stopAfter << " steps";
    }
  }
}

TEST(NsgaSteps, StepsOutsideARunAreRefusedWithTheirText) {
  RunSetup s{.agent = 4};
  int calls = 0;
  const NsgaCallback count = [&](int n, const Values& variables,
                                 std::vector<NsgaEvaluation>& results) {
    ++calls;
    answering(convexPair)(n, variables, results);
  };
  std::string errorText = "left over";
  NsgaRunState never;
  never.agent = 4;
  EXPECT_EQ(nsgaStep(never, errorText, count), 1);
  EXPECT_EQ(errorText, "NSGA-III (agent 4): the run has not been started.");
  EXPECT_FALSE(nsgaFinished(never));

  NsgaRunState state = started(s);
  EXPECT_EQ(state.generation, 0);
  EXPECT_EQ(nsgaStep(state, errorText, NsgaCallback{}), 1);
  EXPECT_EQ(errorText, "NSGA-III (agent 4): no evaluation callback was given.");
  EXPECT_EQ(state.generation, 0);
  while (!nsgaFinished(state)) ASSERT_EQ(nsgaStep(state, errorText, count), 0) << errorText;
  EXPECT_EQ(errorText, "");
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(nsgaStep(state, errorText, count), 1);
  EXPECT_EQ(errorText, "NSGA-III (agent 4): the run has already made all its 3 generations.");
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(nsgaPopulationValues(state).size(), 8u);
}

// Reads `bytes` into a state that holds a recognisable run; answers whether the archive was
// accepted, and checks that a refused archive left the state as it was.
bool readsBack(std::string_view bytes, NsgaRunState& state) {
  RunSetup other;
  other.agent = 77;
  state = started(other);
  const std::string before = archived(state);
  StateArchive reader(bytes);
  keepNsgaRunState(reader, state);
  if (!reader.ok()) {
    EXPECT_EQ(archived(state), before);
  }
  return reader.ok();
}

TEST(NsgaSteps, InconsistentStatesAreRefused) {
  NsgaRunState good = started(RunSetup{});
  std::string errorText;
  ASSERT_EQ(nsgaStep(good, errorText, answering(convexPair)), 0);
  using R = NsgaRunState;
  const std::vector<std::pair<std::string, std::function<void(R&)>>> spoils = {
      {"value at its field size", [](R& r) { r.population[2].values[1] = 1000.0; }},
      {"negative value", [](R& r) { r.population[0].values[0] = -0.5; }},
      {"NaN value", [](R& r) { r.population[0].values[0] = kNaN; }},
      {"infinite objective", [](R& r) { r.population[3].objectives[1] = kInf; }},
      {"positive violation", [](R& r) { r.population[1].violation = 0.5; }},
      {"member with a value missing", [](R& r) { r.population[1].values.pop_back(); }},
      {"member with an objective more", [](R& r) { r.population[1].objectives.push_back(0.0); }},
      {"member missing", [](R& r) { r.population.pop_back(); }},
      {"field sizes for another count of variables", [](R& r) { r.fieldSizes.pop_back(); }},
      {"field size 0", [](R& r) { r.fieldSizes[0] = 0; }},
      {"one objective", [](R& r) { r.numObjectives = 1; }},
      {"negative constraint count", [](R& r) { r.numConstraints = -1; }},
      {"population not a multiple of 4", [](R& r) { r.populationSize = 6; }},
      {"one generation", [](R& r) { r.numGenerations = 1; }},
      {"generation beyond the last", [](R& r) { r.generation = 4; }},
      {"negative generation", [](R& r) { r.generation = -1; }},
      {"generator of zeros", [](R& r) { r.random = NsgaRandom{}; }},
      // A table of 5000 corners of 5000 objectives for 4 members: 25 million reals.
      {"huge reference table",
       [](R& r) {
         r.numObjectives = 5000;
         r.populationSize = 4;
         r.population.resize(4);
         for (NsgaMember& m : r.population) m.objectives.assign(5000, 0.0);
       }},
  };
  NsgaRunState state;
  for (const auto& [what, spoil] : spoils) {
    NsgaRunState copy = good;
    spoil(copy);
    EXPECT_FALSE(readsBack(archived(copy), state)) << what;
  }
  // Another mark in front: the bytes of another record.
  std::string bytes = archived(good);
  bytes[0] = static_cast<char>(bytes[0] ^ 1);
  EXPECT_FALSE(readsBack(bytes, state));
  // The design numbers, last before the end mark, cut to an empty list: the members no
  // longer each have a number.
  bytes = archived(good);
  const std::size_t numbersAt = bytes.size() - 4 * (good.population.size() + 2);
  bytes = bytes.substr(0, numbersAt) + std::string(4, '\0') + bytes.substr(bytes.size() - 4);
  EXPECT_FALSE(readsBack(bytes, state));
  // The unspoilt state reads back, and the derived tables are remade.
  ASSERT_TRUE(readsBack(archived(good), state));
  EXPECT_EQ(state.referencePoints, good.referencePoints);
  EXPECT_EQ(state.largestValue, good.largestValue);
  EXPECT_EQ(state.fieldSize, good.fieldSize);
}

}  // namespace
TEST(NsgaNormalisation, SolveLinearPivotsAndRefusesSingularSystems) {
  // A zero first pivot: solved only by exchanging rows.
  std::vector<double> x;
  ASSERT_TRUE(solveLinear({{0, 2, 1}, {1, 1, 1}, {2, 1, 0}}, {-1, 2, 0}, x));
  ASSERT_EQ(x.size(), 3u);
  EXPECT_NEAR(x[0], 1.0, 1e-12);
  EXPECT_NEAR(x[1], -2.0, 1e-12);
  EXPECT_NEAR(x[2], 3.0, 1e-12);
  EXPECT_FALSE(solveLinear({{1, 2}, {2, 4}}, {1, 1}, x));  // dependent rows
  EXPECT_FALSE(solveLinear({{0, 0}, {0, 0}}, {1, 1}, x));  // nothing to solve
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(solveLinear({{1, 0}, {nan, 1}}, {1, 1}, x));  // NaN below the first pivot
  EXPECT_FALSE(solveLinear({{1, 0}, {0, 1}}, {nan, 1}, x));
}

TEST(NsgaNormalisation, ScaleFromThePlaneElseTheFrontElseTheWorstElseOne) {
  NsgaRunState run;
  run.numObjectives = 2;
  auto scale = [&](const Values& objectives, const std::vector<int>& ranks,
                   const std::vector<double>& ideal) {
    std::vector<NsgaMember> merged(objectives.size());
    std::vector<std::size_t> used;
    for (std::size_t i = 0; i < objectives.size(); ++i) {
      merged[i].objectives = objectives[i];
      used.push_back(i);
    }
    return normalisationScale(run, merged, used, ranks, ideal);
  };
  // The extreme points (3, 0) and (0, 4) give the intercepts; the dominated (5, 5) only
  // bounds them.
  EXPECT_EQ(scale({{0, 4}, {1, 1}, {3, 0}, {5, 5}}, {0, 0, 0, 1}, {0, 0}),
            (std::vector<double>{3, 4}));
  // The plane through (2, 1) and (1, 2) reaches 3, beyond every value present: the worst of
  // the front instead.
  EXPECT_EQ(scale({{2, 1}, {1, 2}}, {0, 0}, {0, 0}), (std::vector<double>{2, 2}));
  // Both extremes the same design (no plane) and a front of that design alone: the worst
  // value of all.
  EXPECT_EQ(scale({{0, 0}, {5, 5}}, {0, 1}, {0, 0}), (std::vector<double>{5, 5}));
  // Every design the same: nothing to scale by.
  EXPECT_EQ(scale({{3, 3}, {3, 3}}, {0, 0}, {3, 3}), (std::vector<double>{1, 1}));
}

}  // namespace karvo::support
