// The NSGA-III component (Deb and Jain, 2014): reference-point based many-objective genetic
// search over the fields of a representation. A run goes one generation per step; per
// generation the work is one evaluation callback, one non-dominated sort of twice the
// population and one niching pass over the reference lines, all small next to the designs'
// evaluation.
//
// A run, step by step (each step is one function over the run state NsgaRunState):
//
//   checkArguments          every argument against its rule, before any state exists
//   nsgaStartRun            settings, derived tables (nsgaDeriveTables), generator seeded,
//                           the initial population (completed by uniform draws)
//   nsgaEvaluate            one callback over a set of members; objectives, violation and
//                           the failed flag stored with each member
//   nsgaMakeChildren        random parent pairs, SBX and polynomial mutation
//   nsgaSelectSurvivors     population + children sorted into fronts; whole fronts kept,
//                           the last front thinned by niching on the reference lines
//
//   nsgaStart --> generation 0 --nsgaStep: evaluate the initial population--> 1
//     --nsgaStep: make children, evaluate, select--> 2 --> ... --> numGenerations (finished)
//
// Invariants between steps:
//   1. population holds populationSize members, every value in [0, largest value] of its
//      variable (largest value = the double just below the field size); they are evaluated
//      once generation >= 1;
//   2. generation counts the callbacks made (0 .. numGenerations);
//   3. every draw has come from `random`, so a run is a function of its seed and answers;
//   4. the derived tables (fieldSize, largestValue, referencePoints) follow from the
//      settings alone: a checkpoint holds the settings and remakes them.
#include "external/nsga3.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "base/state_archive.h"
#include "external/pareto_sort.h"

namespace karvo::support {

namespace {

// Settings of the variation operators. SBX mixes every variable of every pair: mixing each
// variable with chance 1/2 only (the other common form) reached a lower hypervolume on
// DTLZ2 with three objectives at 2000 designs (0.735 against 0.742, median of 61 seeds).
// A larger mutation index helps DTLZ2 slightly at 5000 designs but costs more on ZDT1.
constexpr double kCrossoverIndex = 30.0;  // SBX distribution index
constexpr double kMutationIndex = 20.0;   // polynomial mutation distribution index
// Normalisation: off-axis weight of the achievement scalarising function, and the smallest
// intercept (in objective units) that the hyperplane may give before the nadir is used.
constexpr double kOffAxisWeight = 1e-6;
constexpr double kSmallestIntercept = 1e-6;

// Codes answered by startNSGA_III.
constexpr int kWrongArgument = 1;
constexpr int kWrongAnswer = 2;
constexpr int kOutOfMemory = 3;

// Marks around a run's state in a checkpoint ("NSG3" and "NSG."). The reference table of a
// state read back may hold 16 reals per objective value of its population, or
// kSmallReferenceTable reals when that is more: a table of corners (more objectives than
// members) grows as the square of the objectives, and a corrupt count must not ask for
// gigabytes. Every run with at most 256 objectives, or at most 16 objectives per member,
// passes.
constexpr std::int32_t kStateMark = 0x4E534733;
constexpr std::int32_t kStateEndMark = 0x4E53472E;
constexpr long long kSmallReferenceTable = 65536;

std::uint64_t splitMix(std::uint64_t& x) {
  x += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = x;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

void randomSeed(NsgaRandom& r, double seed) {
  std::uint64_t x = std::bit_cast<std::uint64_t>(seed) ^ 0x4E53474133ULL;  // "NSGA3"
  for (auto& word : r.s) word = splitMix(x);
}

std::uint64_t randomNext(NsgaRandom& r) {
  auto rotl = [](std::uint64_t v, int k) { return (v << k) | (v >> (64 - k)); };
  const std::uint64_t result = rotl(r.s[1] * 5, 7) * 9;
  const std::uint64_t t = r.s[1] << 17;
  r.s[2] ^= r.s[0];
  r.s[3] ^= r.s[1];
  r.s[1] ^= r.s[2];
  r.s[0] ^= r.s[3];
  r.s[2] ^= t;
  r.s[3] = rotl(r.s[3], 45);
  return result;
}

// Uniform in [0, 1).
double randomUniform(NsgaRandom& r) { return static_cast<double>(randomNext(r) >> 11) * 0x1.0p-53; }

// Uniform in 0 .. n-1 (n >= 1).
std::size_t randomIndex(NsgaRandom& r, std::size_t n) {
  const auto i = static_cast<std::size_t>(randomUniform(r) * static_cast<double>(n));
  return std::min(i, n - 1);
}

std::string agentPrefix(int agent) { return "NSGA-III (agent " + std::to_string(agent) + "): "; }

std::string noCallbackText(int agent) {
  return agentPrefix(agent) + "no evaluation callback was given.";
}

// ---------------------------------------------------------------------------------------
// Reference points

// Number of points with `divisions` divisions on the simplex of `objectives` corners, that
// is C(divisions + objectives - 1, objectives - 1), or cap + 1 when it exceeds `cap`.
std::int64_t simplexPointCount(int objectives, std::int64_t divisions, std::int64_t cap) {
  std::int64_t count = 1;
  for (std::int64_t i = 1; i < objectives; ++i) {
    // C(d + i, i) = C(d + i - 1, i - 1) (d + i) / i, exact at every step.
    count = count * (divisions + i) / i;
    if (count > cap) return cap + 1;
  }
  return count;
}

// The most divisions whose point count does not exceed the population size, at least 1.
std::int64_t referenceDivisions(int objectives, int populationSize) {
  if (objectives == 2) return std::max(1, populationSize - 1);
  std::int64_t divisions = 1;
  while (simplexPointCount(objectives, divisions + 1, populationSize) <= populationSize)
    ++divisions;
  return divisions;
}

// Das-Dennis points: every vector of `objectives` multiples of 1/divisions summing to 1,
// in lexicographic order of the division counts (first objective largest first).
void nsgaReferencePoints(NsgaRunState& run) {
  const int m = run.numObjectives;
  const std::int64_t h = referenceDivisions(m, run.populationSize);
  run.referencePoints.clear();
  run.referencePoints.reserve(
      static_cast<std::size_t>(simplexPointCount(m, h, std::numeric_limits<std::int32_t>::max())));
  std::vector<std::int64_t> parts(static_cast<std::size_t>(m), 0);
  // Walk the compositions of h into m parts: parts[0 .. k] fixed, the rest go to the last.
  parts[0] = h;
  while (true) {
    std::vector<double> point(static_cast<std::size_t>(m));
    std::int64_t used = 0;
    for (int k = 0; k + 1 < m; ++k) {
      point[k] = static_cast<double>(parts[k]) / static_cast<double>(h);
      used += parts[k];
    }
    point[m - 1] = static_cast<double>(h - used) / static_cast<double>(h);
    run.referencePoints.push_back(std::move(point));
    // Next composition: one unit from the last non-zero of parts[0 .. m-2] and everything
    // in the (implicit) last part go to the part after it.
    int k = m - 2;
    while (k >= 0 && parts[k] == 0) --k;
    if (k < 0) break;
    --parts[k];
    if (k + 1 < m - 1) parts[k + 1] = h - used + 1;  // parts after k are 0: the rest was last
  }
}

// ---------------------------------------------------------------------------------------
// Start and evaluation

// Every argument against its rule; `evaluate` null: no callback to check (nsgaStart).
bool checkArguments(int option, int agent, int numVariables, const std::vector<int>& fieldSizes,
                    const std::vector<std::vector<double>>& initialPopulation, int numObjectives,
                    int numConstraints, int populationSize, int numGenerations,
                    const NsgaCallback* evaluate, std::string& errorText) {
  const std::string who = agentPrefix(agent);
  if (option != 1) {
    errorText = who + "the option must be 1; found " + std::to_string(option) + ".";
    return false;
  }
  if (numVariables < 1) {
    errorText = who + "the number of variables must be at least 1; found " +
                std::to_string(numVariables) + ".";
    return false;
  }
  if (fieldSizes.size() != static_cast<std::size_t>(numVariables)) {
    errorText = who + "there are " + std::to_string(fieldSizes.size()) + " field sizes for " +
                std::to_string(numVariables) + " variables.";
    return false;
  }
  for (int j = 0; j < numVariables; ++j) {
    if (fieldSizes[j] < 1) {
      errorText = who + "the field size of variable " + std::to_string(j + 1) +
                  " must be at least 1; found " + std::to_string(fieldSizes[j]) + ".";
      return false;
    }
  }
  for (std::size_t i = 0; i < initialPopulation.size(); ++i) {
    if (initialPopulation[i].size() != static_cast<std::size_t>(numVariables)) {
      errorText = who + "member " + std::to_string(i + 1) + " of the initial population has " +
                  std::to_string(initialPopulation[i].size()) + " values for " +
                  std::to_string(numVariables) + " variables.";
      return false;
    }
  }
  if (numObjectives < 2) {
    errorText = who + "the number of objectives must be at least 2; found " +
                std::to_string(numObjectives) + ".";
    return false;
  }
  if (numConstraints < 0) {
    errorText = who + "the number of constraints must be at least 0; found " +
                std::to_string(numConstraints) + ".";
    return false;
  }
  if (populationSize < 4 || populationSize % 4 != 0) {
    errorText = who + "the population size must be a positive multiple of 4; found " +
                std::to_string(populationSize) + ".";
    return false;
  }
  if (numGenerations < 2) {
    errorText = who + "the number of generations must be at least 2; found " +
                std::to_string(numGenerations) + ".";
    return false;
  }
  if (evaluate && !*evaluate) {
    errorText = noCallbackText(agent);
    return false;
  }
  return true;
}

// A value moved into [0, largest]; a non-finite value becomes 0.
double clampValue(double value, double largest) {
  if (!std::isfinite(value) || value < 0.0) return 0.0;
  return std::min(value, largest);
}

// The tables that follow from the settings: field sizes as reals, largest values and the
// reference points.
void nsgaDeriveTables(NsgaRunState& run) {
  run.fieldSize.assign(run.fieldSizes.begin(), run.fieldSizes.end());
  run.largestValue.resize(run.fieldSize.size());
  for (std::size_t j = 0; j < run.fieldSize.size(); ++j)
    run.largestValue[j] = std::nextafter(run.fieldSize[j], 0.0);
  nsgaReferencePoints(run);
}

// Settings, derived tables, generator and the first population (not yet evaluated): the
// initial members given, then uniform draws up to the population size.
void nsgaStartRun(NsgaRunState& run, double seed, int agent, int numVariables,
                  const std::vector<int>& fieldSizes,
                  const std::vector<std::vector<double>>& initialPopulation, int numObjectives,
                  int numConstraints, int populationSize, int numGenerations) {
  run.agent = agent;
  run.numVariables = numVariables;
  run.numObjectives = numObjectives;
  run.numConstraints = numConstraints;
  run.populationSize = populationSize;
  run.numGenerations = numGenerations;
  run.fieldSizes = fieldSizes;
  nsgaDeriveTables(run);
  randomSeed(run.random, seed);
  run.generation = 0;

  run.population.assign(static_cast<std::size_t>(populationSize), NsgaMember{});
  for (std::size_t i = 0; i < run.population.size(); ++i) {
    NsgaMember& member = run.population[i];
    member.objectives.assign(static_cast<std::size_t>(numObjectives), 0.0);
    std::vector<double>& values = member.values;
    values.resize(static_cast<std::size_t>(numVariables));
    for (int j = 0; j < numVariables; ++j) {
      if (i < initialPopulation.size())
        values[j] = clampValue(initialPopulation[i][j], run.largestValue[j]);
      else
        values[j] = clampValue(randomUniform(run.random) * run.fieldSize[j], run.largestValue[j]);
    }
  }
}

// The variable vectors of `members`, as the callback takes them.
std::vector<std::vector<double>> memberValues(const std::vector<NsgaMember>& members) {
  std::vector<std::vector<double>> values;
  values.reserve(members.size());
  for (const NsgaMember& member : members) values.push_back(member.values);
  return values;
}

// Stores the callback's answers with `members`. False (errorText set) when the answer has
// the wrong number of results, or a design that did not fail has the wrong number of values.
bool readAnswers(NsgaRunState& run, std::vector<NsgaMember>& members,
                 const std::vector<NsgaEvaluation>& results, std::string& errorText) {
  const std::string who = agentPrefix(run.agent);
  const std::string generation = std::to_string(run.generation + 1);
  if (results.size() != members.size()) {
    errorText = who + "the evaluation of generation " + generation + " answered " +
                std::to_string(results.size()) + " results for " + std::to_string(members.size()) +
                " designs.";
    return false;
  }
  const auto m = static_cast<std::size_t>(run.numObjectives);
  const auto c = static_cast<std::size_t>(run.numConstraints);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const NsgaEvaluation& result = results[i];
    NsgaMember& member = members[i];
    member.designNumber = result.designNumber;
    member.objectives.assign(m, 0.0);
    member.violation = 0.0;
    member.failed = result.failed != 0;
    if (member.failed) continue;
    const char* what = nullptr;
    std::size_t found = 0, expected = 0;
    if (result.objectives.size() != m) {
      what = "objective";
      found = result.objectives.size();
      expected = m;
    } else if (result.constraints.size() != c) {
      what = "constraint";
      found = result.constraints.size();
      expected = c;
    }
    if (what) {
      errorText = who + "design " + std::to_string(i + 1) + " of generation " + generation +
                  " (design number " + std::to_string(result.designNumber) + ") has " +
                  std::to_string(found) + " " + what + " values; " + std::to_string(expected) +
                  " expected.";
      return false;
    }
    double violation = 0.0;
    bool finite = true;
    for (std::size_t k = 0; k < m; ++k) {
      finite = finite && std::isfinite(result.objectives[k]);
      member.objectives[k] = result.objectives[k];
    }
    for (std::size_t k = 0; k < c; ++k) {
      const double g = result.constraints[k];
      finite = finite && std::isfinite(g);
      if (g > 0.0) violation -= g;
    }
    finite = finite && std::isfinite(violation);
    if (!finite) {
      member.failed = true;
      member.objectives.assign(m, 0.0);
      continue;
    }
    member.violation = violation;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Variation

// Simulated binary crossover of one variable (bounded form): x1, x2 in [0, upper].
void crossVariable(NsgaRandom& r, double upper, double& x1, double& x2) {
  const double y1 = std::min(x1, x2);
  const double y2 = std::max(x1, x2);
  if (y2 - y1 <= 1e-14 * std::max(1.0, upper)) return;
  const double u = randomUniform(r);
  const double exponent = 1.0 / (kCrossoverIndex + 1.0);
  auto spread = [&](double beta) {
    const double alpha = 2.0 - std::pow(beta, -(kCrossoverIndex + 1.0));
    if (u <= 1.0 / alpha) return std::pow(u * alpha, exponent);
    return std::pow(1.0 / (2.0 - u * alpha), exponent);
  };
  const double low = 0.5 * ((y1 + y2) - spread(1.0 + 2.0 * y1 / (y2 - y1)) * (y2 - y1));
  const double high = 0.5 * ((y1 + y2) + spread(1.0 + 2.0 * (upper - y2) / (y2 - y1)) * (y2 - y1));
  if (randomUniform(r) < 0.5) {
    x1 = low;
    x2 = high;
  } else {
    x1 = high;
    x2 = low;
  }
}

// Polynomial mutation of one variable (bounded form): x in [0, upper].
double mutateVariable(NsgaRandom& r, double upper, double x) {
  const double delta1 = x / upper;
  const double delta2 = (upper - x) / upper;
  const double u = randomUniform(r);
  const double exponent = 1.0 / (kMutationIndex + 1.0);
  double deltaq;
  if (u < 0.5) {
    const double value = 2.0 * u + (1.0 - 2.0 * u) * std::pow(1.0 - delta1, kMutationIndex + 1.0);
    deltaq = std::pow(value, exponent) - 1.0;
  } else {
    const double value =
        2.0 * (1.0 - u) + 2.0 * (u - 0.5) * std::pow(1.0 - delta2, kMutationIndex + 1.0);
    deltaq = 1.0 - std::pow(value, exponent);
  }
  return x + deltaq * upper;
}

// populationSize children: per pair two distinct parents drawn at random, SBX on every
// variable of the pair, then polynomial mutation of each variable with chance
// 1/numVariables. Values are kept in [0, largest value].
std::vector<NsgaMember> nsgaMakeChildren(NsgaRunState& run) {
  const std::size_t n = run.population.size();
  const double mutationRate = 1.0 / run.numVariables;
  std::vector<NsgaMember> children;
  children.reserve(n);
  while (children.size() < n) {
    const std::size_t a = randomIndex(run.random, n);
    std::size_t b = randomIndex(run.random, n - 1);
    if (b >= a) ++b;
    NsgaMember first, second;
    first.values = run.population[a].values;
    second.values = run.population[b].values;
    for (int j = 0; j < run.numVariables; ++j)
      crossVariable(run.random, run.fieldSize[j], first.values[j], second.values[j]);
    for (NsgaMember* child : {&first, &second}) {
      for (int j = 0; j < run.numVariables; ++j) {
        double& x = child->values[j];
        if (randomUniform(run.random) < mutationRate)
          x = mutateVariable(run.random, run.fieldSize[j], x);
        x = clampValue(x, run.largestValue[j]);
      }
    }
    children.push_back(std::move(first));
    children.push_back(std::move(second));
  }
  return children;
}

// ---------------------------------------------------------------------------------------
// Sorting and niching

}  // namespace

bool solveLinear(std::vector<std::vector<double>> a, std::vector<double> b,
                 std::vector<double>& x) {
  const std::size_t n = b.size();
  // A NaN entry would pass unnoticed through the largest-entry search and the pivot tests
  // (every comparison with it is false) and come back as a NaN solution.
  double scale = 0.0;
  for (const auto& row : a) {
    for (double v : row) {
      if (!std::isfinite(v)) return false;
      scale = std::max(scale, std::fabs(v));
    }
  }
  if (!(scale > 0.0)) return false;
  if (!std::all_of(b.begin(), b.end(), [](double v) { return std::isfinite(v); })) return false;
  for (std::size_t col = 0; col < n; ++col) {
    std::size_t pivot = col;
    for (std::size_t row = col + 1; row < n; ++row)
      if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
    if (std::fabs(a[pivot][col]) <= 1e-12 * scale) return false;
    std::swap(a[pivot], a[col]);
    std::swap(b[pivot], b[col]);
    for (std::size_t row = col + 1; row < n; ++row) {
      const double f = a[row][col] / a[col][col];
      for (std::size_t k = col; k < n; ++k) a[row][k] -= f * a[col][k];
      b[row] -= f * b[col];
    }
  }
  x.assign(n, 0.0);
  for (std::size_t row = n; row-- > 0;) {
    double sum = b[row];
    for (std::size_t k = row + 1; k < n; ++k) sum -= a[row][k] * x[k];
    x[row] = sum / a[row][row];
  }
  return true;
}

std::vector<double> normalisationScale(const NsgaRunState& run,
                                       const std::vector<NsgaMember>& merged,
                                       const std::vector<std::size_t>& used,
                                       const std::vector<int>& ranks,
                                       const std::vector<double>& ideal) {
  const auto m = static_cast<std::size_t>(run.numObjectives);
  // Extreme point of axis k: least achievement scalarising function with weight 1 on k.
  std::vector<std::vector<double>> extremes(m);
  for (std::size_t k = 0; k < m; ++k) {
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t i : used) {
      double asf = -std::numeric_limits<double>::infinity();
      for (std::size_t q = 0; q < m; ++q) {
        const double shifted = merged[i].objectives[q] - ideal[q];
        asf = std::max(asf, q == k ? shifted : shifted / kOffAxisWeight);
      }
      if (asf < best) {
        best = asf;
        extremes[k].resize(m);
        for (std::size_t q = 0; q < m; ++q) extremes[k][q] = merged[i].objectives[q] - ideal[q];
      }
    }
  }
  std::vector<double> worst(m, -std::numeric_limits<double>::infinity());
  std::vector<double> worstOfFront(m, -std::numeric_limits<double>::infinity());
  int bestRank = std::numeric_limits<int>::max();
  for (std::size_t i : used) bestRank = std::min(bestRank, ranks[i]);
  for (std::size_t i : used) {
    for (std::size_t q = 0; q < m; ++q) {
      worst[q] = std::max(worst[q], merged[i].objectives[q]);
      if (ranks[i] == bestRank)
        worstOfFront[q] = std::max(worstOfFront[q], merged[i].objectives[q]);
    }
  }

  std::vector<double> scale(m, 0.0);
  std::vector<double> plane;
  bool planeUsable = true;
  for (const auto& e : extremes) planeUsable = planeUsable && e.size() == m;
  planeUsable = planeUsable && solveLinear(extremes, std::vector<double>(m, 1.0), plane);
  for (std::size_t q = 0; planeUsable && q < m; ++q) {
    const double intercept = 1.0 / plane[q];
    planeUsable = std::isfinite(intercept) && intercept > kSmallestIntercept &&
                  ideal[q] + intercept <= worst[q];
    scale[q] = intercept;
  }
  if (!planeUsable)
    for (std::size_t q = 0; q < m; ++q) scale[q] = worstOfFront[q] - ideal[q];
  for (std::size_t q = 0; q < m; ++q) {
    if (!(scale[q] > kSmallestIntercept)) scale[q] = worst[q] - ideal[q];
    if (!(scale[q] > kSmallestIntercept) || !std::isfinite(scale[q])) scale[q] = 1.0;
  }
  return scale;
}

namespace {

// Chooses `count` members of `last` by niching and appends them to `chosen`; `chosen` and
// `last` together are the members considered for normalisation.
void nicheSelect(NsgaRunState& run, const std::vector<NsgaMember>& merged,
                 const std::vector<int>& ranks, std::vector<std::size_t>& chosen,
                 std::vector<std::size_t> last, std::size_t count) {
  NsgaRandom& random = run.random;
  // Failed members are never in a front with evaluated ones: a failed last front is
  // thinned at random.
  if (merged[last.front()].failed) {
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t pick = k + randomIndex(random, last.size() - k);
      std::swap(last[k], last[pick]);
      chosen.push_back(last[k]);
    }
    return;
  }
  const auto m = static_cast<std::size_t>(run.numObjectives);
  std::vector<std::size_t> used;
  for (std::size_t i : chosen)
    if (!merged[i].failed) used.push_back(i);
  used.insert(used.end(), last.begin(), last.end());

  std::vector<double> ideal(m, std::numeric_limits<double>::infinity());
  for (std::size_t i : used)
    for (std::size_t q = 0; q < m; ++q) ideal[q] = std::min(ideal[q], merged[i].objectives[q]);
  const std::vector<double> scale = normalisationScale(run, merged, used, ranks, ideal);

  // Association: each member to the reference line of least perpendicular distance.
  const std::size_t lines = run.referencePoints.size();
  std::vector<double> lineNorm(lines);
  for (std::size_t j = 0; j < lines; ++j) {
    double sum = 0.0;
    for (double w : run.referencePoints[j]) sum += w * w;
    lineNorm[j] = sum;
  }
  std::vector<std::size_t> line(merged.size(), 0);
  std::vector<double> distance(merged.size(), 0.0);
  std::vector<double> f(m);
  for (std::size_t i : used) {
    for (std::size_t q = 0; q < m; ++q) f[q] = (merged[i].objectives[q] - ideal[q]) / scale[q];
    double fNorm = 0.0;
    for (double v : f) fNorm += v * v;
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < lines; ++j) {
      const std::vector<double>& w = run.referencePoints[j];
      double dot = 0.0;
      for (std::size_t q = 0; q < m; ++q) dot += f[q] * w[q];
      const double squared = std::max(0.0, fNorm - dot * dot / lineNorm[j]);
      if (squared < best) {
        best = squared;
        line[i] = j;
      }
    }
    distance[i] = std::sqrt(best);
  }

  std::vector<std::size_t> niche(lines, 0);
  for (std::size_t i : chosen)
    if (!merged[i].failed) ++niche[line[i]];
  std::vector<std::vector<std::size_t>> waiting(lines);
  for (std::size_t i : last) waiting[line[i]].push_back(i);

  std::vector<std::size_t> open(lines);
  std::iota(open.begin(), open.end(), 0);
  std::vector<std::size_t> least;
  while (count > 0 && !open.empty()) {
    std::size_t fewest = std::numeric_limits<std::size_t>::max();
    for (std::size_t j : open) fewest = std::min(fewest, niche[j]);
    least.clear();
    for (std::size_t j : open)
      if (niche[j] == fewest) least.push_back(j);
    const std::size_t j = least[randomIndex(random, least.size())];
    std::vector<std::size_t>& members = waiting[j];
    if (members.empty()) {
      open.erase(std::find(open.begin(), open.end(), j));
      continue;
    }
    std::size_t pick = 0;
    if (niche[j] == 0) {
      for (std::size_t k = 1; k < members.size(); ++k)
        if (distance[members[k]] < distance[members[pick]]) pick = k;
    } else {
      pick = randomIndex(random, members.size());
    }
    chosen.push_back(members[pick]);
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(pick));
    ++niche[j];
    --count;
  }
}

// The next population from the population and its evaluated children: fronts by constraint
// domination, whole fronts while they fit, the rest of the last front by niching.
void nsgaSelectSurvivors(NsgaRunState& run, std::vector<NsgaMember>& children) {
  std::vector<NsgaMember> merged = std::move(run.population);
  for (NsgaMember& child : children) merged.push_back(std::move(child));
  std::vector<ParetoPoint> points(merged.size());
  for (std::size_t i = 0; i < merged.size(); ++i) {
    points[i].objectives = merged[i].objectives;
    points[i].violation = merged[i].violation;
    points[i].failed = merged[i].failed;
  }
  const std::vector<int> ranks = paretoRanks(points);
  const int maxRank = *std::max_element(ranks.begin(), ranks.end());
  std::vector<std::vector<std::size_t>> fronts(static_cast<std::size_t>(maxRank) + 1);
  for (std::size_t i = 0; i < merged.size(); ++i) fronts[ranks[i]].push_back(i);

  const auto n = static_cast<std::size_t>(run.populationSize);
  std::vector<std::size_t> chosen;
  for (const std::vector<std::size_t>& front : fronts) {
    if (chosen.size() >= n) break;
    if (front.empty()) continue;
    if (chosen.size() + front.size() <= n) {
      chosen.insert(chosen.end(), front.begin(), front.end());
    } else {
      nicheSelect(run, merged, ranks, chosen, front, n - chosen.size());
      break;
    }
  }
  run.population.clear();
  for (std::size_t i : chosen) run.population.push_back(std::move(merged[i]));
}

// Runs `step` and answers true, or answers false with errorText set when it ran out of
// memory (a bad_alloc or length_error of the component's own tables).
template <typename Step>
bool guarded(int agent, std::string& errorText, Step step) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    errorText = agentPrefix(agent) + "ran out of memory (" + e.what() + ").";
    return false;
  }
}

// One callback over `members`, answers stored. The callback runs outside `guarded`: what
// it throws (for instance the end of the run) passes through unchanged.
int nsgaEvaluate(NsgaRunState& run, std::vector<NsgaMember>& members, const NsgaCallback& evaluate,
                 std::string& errorText) {
  std::vector<std::vector<double>> values;
  std::vector<NsgaEvaluation> results;
  if (!guarded(run.agent, errorText, [&] { values = memberValues(members); })) return kOutOfMemory;
  evaluate(static_cast<int>(members.size()), values, results);
  bool answered = true;
  if (!guarded(run.agent, errorText,
               [&] { answered = readAnswers(run, members, results, errorText); }))
    return kOutOfMemory;
  if (!answered) return kWrongAnswer;
  ++run.generation;
  return 0;
}

// ---------------------------------------------------------------------------------------
// Checks of a state read from a checkpoint

// The settings of a started run, its generation and generator.
bool stateSettingsValid(const NsgaRunState& run) {
  if (run.numVariables < 1 || run.fieldSizes.size() != static_cast<std::size_t>(run.numVariables))
    return false;
  for (int size : run.fieldSizes)
    if (size < 1) return false;
  if (run.numObjectives < 2 || run.numConstraints < 0) return false;
  if (run.populationSize < 4 || run.populationSize % 4 != 0) return false;
  if (run.numGenerations < 2 || run.generation < 0 || run.generation > run.numGenerations)
    return false;
  return (run.random.s[0] | run.random.s[1] | run.random.s[2] | run.random.s[3]) != 0;
}

// The population lists of a read state against its (valid) settings: one entry per member,
// every value finite and inside its field, finite objectives, a violation <= 0.
bool statePopulationValid(const NsgaRunState& run, const std::vector<std::vector<double>>& values,
                          const std::vector<std::vector<double>>& objectives,
                          const std::vector<double>& violations, const std::vector<int>& failed,
                          const std::vector<int>& numbers) {
  const auto n = static_cast<std::size_t>(run.populationSize);
  if (values.size() != n || objectives.size() != n || violations.size() != n ||
      failed.size() != n || numbers.size() != n)
    return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (values[i].size() != static_cast<std::size_t>(run.numVariables)) return false;
    for (std::size_t j = 0; j < values[i].size(); ++j) {
      const double largest = std::nextafter(static_cast<double>(run.fieldSizes[j]), 0.0);
      if (!(values[i][j] >= 0.0 && values[i][j] <= largest)) return false;
    }
    if (objectives[i].size() != static_cast<std::size_t>(run.numObjectives)) return false;
    for (double f : objectives[i])
      if (!std::isfinite(f)) return false;
    if (!(violations[i] <= 0.0) || !std::isfinite(violations[i])) return false;
    if (failed[i] != 0 && failed[i] != 1) return false;
  }
  return true;
}

// Whether the reference table of a read state is of reasonable size (see
// kSmallReferenceTable). Called once the population has shown that the counts of members
// and objectives are backed by bytes read, so that the count itself is quick.
bool referenceTableFits(const NsgaRunState& run) {
  const long long points = nsgaReferencePointCount(run.numObjectives, run.populationSize);
  const long long table = points * run.numObjectives;
  return points >= 1 &&
         table <= std::max(16LL * run.populationSize * run.numObjectives, kSmallReferenceTable);
}

}  // namespace

int nsgaReferencePointCount(int numObjectives, int populationSize) {
  if (numObjectives < 2 || populationSize < 1) return 0;
  const std::int64_t divisions = referenceDivisions(numObjectives, populationSize);
  const std::int64_t count =
      simplexPointCount(numObjectives, divisions, std::numeric_limits<int>::max());
  return static_cast<int>(std::min<std::int64_t>(count, std::numeric_limits<int>::max()));
}

int nsgaStart(NsgaRunState& state, int option, double seed, int agent, int numVariables,
              const std::vector<int>& fieldSizes,
              const std::vector<std::vector<double>>& initialPopulation, int numObjectives,
              int numConstraints, int populationSize, int numGenerations,
              const std::string& studyFolder, std::string& errorText) {
  (void)studyFolder;  // the component writes no file of its own
  errorText.clear();
  if (!checkArguments(option, agent, numVariables, fieldSizes, initialPopulation, numObjectives,
                      numConstraints, populationSize, numGenerations, nullptr, errorText))
    return kWrongArgument;
  NsgaRunState run;
  if (!guarded(agent, errorText, [&] {
        nsgaStartRun(run, seed, agent, numVariables, fieldSizes, initialPopulation, numObjectives,
                     numConstraints, populationSize, numGenerations);
      }))
    return kOutOfMemory;
  state = std::move(run);
  return 0;
}

bool nsgaFinished(const NsgaRunState& state) {
  return state.populationSize > 0 && state.generation >= state.numGenerations;
}

int nsgaStep(NsgaRunState& state, std::string& errorText, const NsgaCallback& evaluate) {
  errorText.clear();
  if (!evaluate) {
    errorText = noCallbackText(state.agent);
    return kWrongArgument;
  }
  if (state.populationSize < 1 ||
      state.population.size() != static_cast<std::size_t>(state.populationSize)) {
    errorText = agentPrefix(state.agent) + "the run has not been started.";
    return kWrongArgument;
  }
  if (nsgaFinished(state)) {
    errorText = agentPrefix(state.agent) + "the run has already made all its " +
                std::to_string(state.numGenerations) + " generations.";
    return kWrongArgument;
  }
  if (state.generation == 0) return nsgaEvaluate(state, state.population, evaluate, errorText);
  std::vector<NsgaMember> children;
  if (!guarded(state.agent, errorText, [&] { children = nsgaMakeChildren(state); }))
    return kOutOfMemory;
  if (const int code = nsgaEvaluate(state, children, evaluate, errorText)) return code;
  if (!guarded(state.agent, errorText, [&] { nsgaSelectSurvivors(state, children); }))
    return kOutOfMemory;
  return 0;
}

std::vector<std::vector<double>> nsgaPopulationValues(const NsgaRunState& state) {
  return memberValues(state.population);
}

void keepNsgaRunState(StateArchive& archive, NsgaRunState& state) {
  NsgaRunState read;
  NsgaRunState& run = archive.reading() ? read : state;
  archive.mark(kStateMark);
  archive.items(run.agent, run.numVariables, run.numObjectives, run.numConstraints,
                run.populationSize, run.numGenerations, run.fieldSizes, run.generation);
  // The generator's words as int64 (their bits), the population as parallel lists.
  long long words[4] = {0, 0, 0, 0};
  std::vector<std::vector<double>> values, objectives;
  std::vector<double> violations;
  std::vector<int> failed, numbers;
  if (!archive.reading()) {
    for (int k = 0; k < 4; ++k) words[k] = std::bit_cast<long long>(run.random.s[k]);
    for (const NsgaMember& member : run.population) {
      values.push_back(member.values);
      objectives.push_back(member.objectives);
      violations.push_back(member.violation);
      failed.push_back(member.failed ? 1 : 0);
      numbers.push_back(member.designNumber);
    }
  }
  archive.item(words);
  archive.items(values, objectives, violations, failed, numbers);
  archive.mark(kStateEndMark);
  if (!archive.reading() || !archive.ok()) return;

  for (int k = 0; k < 4; ++k) run.random.s[k] = std::bit_cast<std::uint64_t>(words[k]);
  if (!stateSettingsValid(run) ||
      !statePopulationValid(run, values, objectives, violations, failed, numbers) ||
      !referenceTableFits(run)) {
    archive.fail();
    return;
  }
  const std::size_t n = values.size();
  std::string outOfMemory;
  if (!guarded(run.agent, outOfMemory, [&] {
        run.population.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
          NsgaMember& member = run.population[i];
          member.values = std::move(values[i]);
          member.objectives = std::move(objectives[i]);
          member.violation = violations[i];
          member.failed = failed[i] != 0;
          member.designNumber = numbers[i];
        }
        nsgaDeriveTables(run);
      })) {
    archive.fail();
    return;
  }
  state = std::move(run);
}

int nsgaRunWithFinalPopulation(int option, double seed, int agent, int numVariables,
                               const std::vector<int>& fieldSizes,
                               const std::vector<std::vector<double>>& initialPopulation,
                               int numObjectives, int numConstraints, int populationSize,
                               int numGenerations, const std::string& studyFolder,
                               std::string& errorText, const NsgaCallback& evaluate,
                               std::vector<std::vector<double>>& finalPopulation) {
  errorText.clear();
  finalPopulation.clear();
  if (!checkArguments(option, agent, numVariables, fieldSizes, initialPopulation, numObjectives,
                      numConstraints, populationSize, numGenerations, &evaluate, errorText))
    return kWrongArgument;
  NsgaRunState run;
  if (const int code = nsgaStart(run, option, seed, agent, numVariables, fieldSizes,
                                 initialPopulation, numObjectives, numConstraints,
                                 populationSize, numGenerations, studyFolder, errorText))
    return code;
  while (!nsgaFinished(run))
    if (const int code = nsgaStep(run, errorText, evaluate)) return code;
  if (!guarded(agent, errorText, [&] { finalPopulation = nsgaPopulationValues(run); }))
    return kOutOfMemory;
  return 0;
}

int startNSGA_III(int option, double seed, int agent, int numVariables,
                  const std::vector<int>& fieldSizes,
                  const std::vector<std::vector<double>>& initialPopulation, int numObjectives,
                  int numConstraints, int populationSize, int numGenerations,
                  const std::string& studyFolder, std::string& errorText,
                  const NsgaCallback& evaluate) {
  std::vector<std::vector<double>> finalPopulation;
  return nsgaRunWithFinalPopulation(option, seed, agent, numVariables, fieldSizes,
                                    initialPopulation, numObjectives, numConstraints,
                                    populationSize, numGenerations, studyFolder, errorText,
                                    evaluate, finalPopulation);
}

}  // namespace karvo::support
