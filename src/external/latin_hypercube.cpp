// Maximin Latin hypercubes: a random Latin hypercube improved by rank swaps within one
// variable. A design-of-experiments agent asks for one design per cycle, typically 10 to
// 1 000 runs and up to a few dozen variables, and gives the search up to some minutes.
//
// Search state (all kept consistent after every accepted swap):
//   1. ranks[j * n + r] is the rank of run r in variable j; every variable is a permutation.
//   2. histogram[d] is the number of run pairs at city-block distance d (0 .. k(n-1)); two
//      runs differ in every variable, so no pair is nearer than k.
//   3. lowest is the smallest d with histogram[d] > 0.
//   4. distances (when n <= settings.storedDistanceSamples) holds every pair's distance,
//      both ways.
//   5. best* hold the best design met and its histogram; "better" compares histograms from
//      the smallest distance up: fewer pairs at the first distance where they differ.
// phi, the sum over pairs of (reference / d)^50 with the starting design's smallest distance
// as reference, steers the search; it is rebuilt from the histogram at the start of every
// outer loop so that rounding cannot drift.
#include "external/latin_hypercube.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "base/messages.h"
#include "platform/platform.h"

namespace karvo::support {

namespace {

// Row updates (one run against one other run) between two readings of the clock.
constexpr std::int64_t kClockWork = 1 << 16;

// Threshold-acceptance constants of the search: the starting threshold (relative to phi),
// the candidates tried per iteration and the iterations per outer loop (both at most).
constexpr double kInitialThreshold = 0.005;
constexpr std::int64_t kMostCandidates = 50;
constexpr std::int64_t kMostInnerIterations = 100;

// Most runs whose pair distances may be stored (n^2 ints: 64 MB).
constexpr int kMostStoredSamples = 4096;

// (ratio)^50 by a fixed chain of products, so that every platform rounds alike.
double weightOfRatio(double ratio) {
  const double r2 = ratio * ratio;
  const double r4 = r2 * r2;
  const double r8 = r4 * r4;
  const double r16 = r8 * r8;
  const double r32 = r16 * r16;
  return r32 * r16 * r2;
}

struct MaximinSearch {
  int n = 0;                                // runs, 3 .. kMaxOptimizedSamples
  int k = 0;                                // variables, >= 2
  std::vector<int> ranks;                   // n * k, column-major (invariant 1)
  std::vector<int> distances;               // n * n or empty (invariant 4)
  std::vector<std::int64_t> histogram;      // k(n-1) + 1 entries (invariant 2)
  int lowest = 0;                           // invariant 3
  std::vector<double> weight;               // (reference / d)^50 for each distance d
  double phi = 0.0;                         // sum of weight over all pairs
  std::vector<int> bestRanks;               // invariant 5: ranks of the best design
  std::vector<std::int64_t> bestHistogram;  // its histogram
  int bestLowest = 0;                       // its smallest distance
  std::vector<int> scratchA;                // distance rows computed on the fly, n each
  std::vector<int> scratchB;                // (unused while distances are stored)
  double deadline = 0.0;                    // monotonic seconds; may be +infinity
  std::int64_t work = 0;                    // row updates since the last clock reading
  bool timeUp = false;                      // the deadline has passed
};

// True once the deadline has passed; reads the clock only every kClockWork row updates.
bool searchTimeUp(MaximinSearch& search) {
  if (search.timeUp) return true;
  if (search.work < kClockWork) return false;
  search.work = 0;
  if (platform::monotonicSeconds() >= search.deadline) search.timeUp = true;
  return search.timeUp;
}

// Distances of run a to every run: the stored row, or one computed into `scratch`.
const int* searchDistanceRow(MaximinSearch& search, int a, std::vector<int>& scratch) {
  const int n = search.n;
  if (!search.distances.empty()) return search.distances.data() + static_cast<std::size_t>(a) * n;
  std::fill(scratch.begin(), scratch.end(), 0);
  for (int j = 0; j < search.k; ++j) {
    const int* column = search.ranks.data() + static_cast<std::size_t>(j) * n;
    const int value = column[a];
    for (int i = 0; i < n; ++i) scratch[i] += std::abs(value - column[i]);
  }
  search.work += static_cast<std::int64_t>(n) * search.k;
  return scratch.data();
}

// Change of phi if runs a and b exchanged their ranks in variable j. The pair (a, b) keeps
// its distance; run a moves by s = |xb - xi| - |xa - xi| from every other run i, b by -s
// (s = 0 adds exactly 0, so it needs no test). The runs are taken in three spans around a
// and b to keep the inner loop free of branches.
double searchSwapDelta(const MaximinSearch& search, int j, int a, int b, const int* rowA,
                       const int* rowB) {
  const int* column = search.ranks.data() + static_cast<std::size_t>(j) * search.n;
  const int xa = column[a];
  const int xb = column[b];
  const double* weight = search.weight.data();
  double delta = 0.0;
  auto addSpan = [&](int first, int end) {
    for (int i = first; i < end; ++i) {
      const int xi = column[i];
      const int s = std::abs(xb - xi) - std::abs(xa - xi);
      delta += (weight[rowA[i] + s] - weight[rowA[i]]) + (weight[rowB[i] - s] - weight[rowB[i]]);
    }
  };
  const int low = std::min(a, b);
  const int high = std::max(a, b);
  addSpan(0, low);
  addSpan(low + 1, high);
  addSpan(high + 1, search.n);
  return delta;
}

// Exchanges the ranks of runs a and b in variable j and updates invariants 2 to 4.
// rowA and rowB are the distance rows of a and b before the swap.
void searchApplySwap(MaximinSearch& search, int j, int a, int b, const int* rowA, const int* rowB) {
  const int n = search.n;
  int* column = search.ranks.data() + static_cast<std::size_t>(j) * n;
  const int xa = column[a];
  const int xb = column[b];
  const bool stored = !search.distances.empty();
  int* distances = search.distances.data();
  std::int64_t* histogram = search.histogram.data();
  for (int i = 0; i < n; ++i) {
    if (i == a || i == b) continue;
    const int xi = column[i];
    const int s = std::abs(xb - xi) - std::abs(xa - xi);
    if (s == 0) continue;
    const int oldA = rowA[i];
    const int oldB = rowB[i];
    const int newA = oldA + s;
    const int newB = oldB - s;
    --histogram[oldA];
    ++histogram[newA];
    --histogram[oldB];
    ++histogram[newB];
    if (stored) {
      distances[static_cast<std::size_t>(a) * n + i] = newA;
      distances[static_cast<std::size_t>(i) * n + a] = newA;
      distances[static_cast<std::size_t>(b) * n + i] = newB;
      distances[static_cast<std::size_t>(i) * n + b] = newB;
    }
    search.lowest = std::min(search.lowest, std::min(newA, newB));
  }
  column[a] = xb;
  column[b] = xa;
  while (histogram[search.lowest] == 0) ++search.lowest;
  search.work += n;
}

// Invariant 5's order: true when the current design is strictly better than the best.
bool searchBetterThanBest(const MaximinSearch& search) {
  const std::size_t size = search.histogram.size();
  for (std::size_t d = static_cast<std::size_t>(std::min(search.lowest, search.bestLowest));
       d < size; ++d) {
    if (search.histogram[d] != search.bestHistogram[d])
      return search.histogram[d] < search.bestHistogram[d];
  }
  return false;
}

void searchKeepBest(MaximinSearch& search) {
  search.bestRanks = search.ranks;
  search.bestHistogram = search.histogram;
  search.bestLowest = search.lowest;
}

double searchPhiFromHistogram(const MaximinSearch& search) {
  double phi = 0.0;
  for (std::size_t d = static_cast<std::size_t>(search.lowest); d < search.histogram.size(); ++d)
    if (search.histogram[d] != 0)
      phi += static_cast<double>(search.histogram[d]) * search.weight[d];
  return phi;
}

// Distances of all pairs into the histogram (and the stored matrix). False when the time
// limit passed first.
bool searchMeasureDesign(MaximinSearch& search, bool storeDistances) {
  const int n = search.n;
  const int k = search.k;
  search.histogram.assign(static_cast<std::size_t>(k) * (n - 1) + 1, 0);
  if (storeDistances) search.distances.assign(static_cast<std::size_t>(n) * n, 0);
  std::vector<int> row(static_cast<std::size_t>(n));
  for (int a = 0; a < n - 1; ++a) {
    std::fill(row.begin() + a + 1, row.end(), 0);
    for (int j = 0; j < k; ++j) {
      const int* column = search.ranks.data() + static_cast<std::size_t>(j) * n;
      const int value = column[a];
      for (int b = a + 1; b < n; ++b) row[b] += std::abs(value - column[b]);
    }
    for (int b = a + 1; b < n; ++b) {
      ++search.histogram[row[b]];
      if (!search.distances.empty()) {
        search.distances[static_cast<std::size_t>(a) * n + b] = row[b];
        search.distances[static_cast<std::size_t>(b) * n + a] = row[b];
      }
    }
    search.work += static_cast<std::int64_t>(n - a) * k;
    if (searchTimeUp(search)) return false;
  }
  search.lowest = 0;
  while (search.histogram[search.lowest] == 0) ++search.lowest;
  // Weights relative to the starting design's smallest distance: with d between k and
  // k(n-1) and n <= 65 536 every weight and every sum stays between 1e-241 and 1e251.
  const double reference = static_cast<double>(search.lowest);
  search.weight.assign(search.histogram.size(), 0.0);
  for (std::size_t d = 1; d < search.weight.size(); ++d)
    search.weight[d] = weightOfRatio(reference / static_cast<double>(d));
  search.phi = searchPhiFromHistogram(search);
  return true;
}

// Draws run b != a uniformly.
int drawOtherRun(int n, int a) {
  int b = static_cast<int>(Random::below(static_cast<std::uint64_t>(n - 1)));
  return b >= a ? b + 1 : b;
}

// The enhanced stochastic evolutionary search. Each outer loop runs `inner` iterations;
// iteration t works on variable t mod k, tries `candidates` random swaps there and takes
// the one that lowers phi most (or raises it least), accepting it when the rise is at most
// threshold * u * phi (u uniform). The threshold shrinks while the best design improves
// with many moves accepted, and otherwise swings between fast warming (to leave a local
// optimum) and slow cooling.
SamplingStop searchRun(MaximinSearch& search, const LatinOptimizeSettings& settings,
                       SamplingDesign& design) {
  const int n = search.n;
  const int k = search.k;
  const std::int64_t pairs = static_cast<std::int64_t>(n) * (n - 1) / 2;
  const std::int64_t candidates = std::clamp<std::int64_t>(pairs / 5, 1, kMostCandidates);
  const std::int64_t inner =
      std::clamp<std::int64_t>(2 * pairs * k / candidates, 1, kMostInnerIterations);
  double threshold = kInitialThreshold;
  bool warming = false;
  int stall = 0;
  std::int64_t iteration = 0;
  for (long long loop = 0; loop < settings.maxLoops; ++loop) {
    search.phi = searchPhiFromHistogram(search);
    std::int64_t accepted = 0;
    std::int64_t improved = 0;
    for (std::int64_t t = 0; t < inner; ++t, ++iteration) {
      const int j = static_cast<int>(iteration % k);
      int chosenA = 0;
      int chosenB = 0;
      double chosenDelta = 0.0;
      for (std::int64_t c = 0; c < candidates; ++c) {
        const int a = static_cast<int>(Random::below(static_cast<std::uint64_t>(n)));
        const int b = drawOtherRun(n, a);
        const int* rowA = searchDistanceRow(search, a, search.scratchA);
        const int* rowB = searchDistanceRow(search, b, search.scratchB);
        const double delta = searchSwapDelta(search, j, a, b, rowA, rowB);
        if (c == 0 || delta < chosenDelta) {
          chosenA = a;
          chosenB = b;
          chosenDelta = delta;
        }
      }
      search.work += candidates * n;
      const double u = Random::uniform();
      if (chosenDelta <= threshold * u * search.phi) {
        const int* rowA = searchDistanceRow(search, chosenA, search.scratchA);
        const int* rowB = searchDistanceRow(search, chosenB, search.scratchB);
        searchApplySwap(search, j, chosenA, chosenB, rowA, rowB);
        search.phi += chosenDelta;
        ++accepted;
        if (searchBetterThanBest(search)) {
          searchKeepBest(search);
          ++improved;
        }
      }
      design.iterations++;
      if (searchTimeUp(search)) return SamplingStop::kTimeLimit;
    }
    design.outerLoops++;
    const double acceptRatio = static_cast<double>(accepted) / static_cast<double>(inner);
    if (improved > 0) {
      stall = 0;
      if (acceptRatio > 0.1 && improved < accepted) {
        threshold *= 0.8;
      } else if (!(acceptRatio > 0.1 && improved == accepted)) {
        threshold /= 0.8;
      }
    } else {
      if (++stall >= settings.stallLoops) return SamplingStop::kConverged;
      if (acceptRatio < 0.1) warming = true;
      if (acceptRatio > 0.8) warming = false;
      threshold = warming ? threshold / 0.7 : threshold * 0.9;
    }
    threshold = std::clamp(threshold, 1e-12, 1e6);
  }
  return SamplingStop::kLoopLimit;
}

std::string checkArguments(int samples, int variables, const int* levelCounts,
                           double timeLimitSeconds, const LatinOptimizeSettings& settings) {
  std::string error = samplingCheckSize(samples, variables);
  if (!error.empty()) return error;
  if (levelCounts == nullptr)
    return formatText("The level counts of the %d variables are missing.", variables);
  for (int j = 0; j < variables; ++j) {
    error = samplingCheckLevelCount(j, levelCounts[j]);
    if (!error.empty()) return error;
  }
  if (!(timeLimitSeconds >= 0.0))
    return formatText("The time limit must be at least 0 seconds. Found (%g).", timeLimitSeconds);
  if (settings.stallLoops < 1) {
    return formatText(
        "The number of outer loops without improvement must be at least 1. "
        "Found (%d).",
        settings.stallLoops);
  }
  if (settings.maxLoops < 0) {
    return formatText("The largest number of outer loops must be at least 0. Found (%lld).",
                      settings.maxLoops);
  }
  if (settings.storedDistanceSamples < 0 || settings.storedDistanceSamples > kMostStoredSamples) {
    return formatText(
        "The largest number of samples with stored distances must be between 0 "
        "and %d. Found (%d).",
        kMostStoredSamples, settings.storedDistanceSamples);
  }
  return "";
}

// Draws the starting design, optimises it when asked and fills the design's matrix.
void buildDesign(LatinHypercubeDesign& design, int samples, int variables, const int* levelCounts,
                 bool optimize, double timeLimitSeconds, const LatinOptimizeSettings& settings,
                 double start) {
  const int n = samples;
  const int k = variables;
  MaximinSearch search;
  search.n = n;
  search.k = k;
  search.deadline = start + timeLimitSeconds;  // +infinity stays +infinity
  search.ranks.resize(static_cast<std::size_t>(n) * k);
  for (int j = 0; j < k; ++j) {
    int* column = search.ranks.data() + static_cast<std::size_t>(j) * n;
    for (int r = 0; r < n; ++r) column[r] = r;
    Random::shuffle(column, static_cast<std::size_t>(n));
  }

  if (!optimize) {
    design.stop = SamplingStop::kNotOptimized;
  } else if (n <= 2 || k == 1) {
    design.stop = SamplingStop::kNothingToImprove;
  } else if (n > kMaxOptimizedSamples) {
    design.stop = SamplingStop::kTooLarge;
  } else if (timeLimitSeconds == 0.0) {
    design.stop = SamplingStop::kTimeLimit;
  } else if (settings.maxLoops == 0) {
    design.stop = SamplingStop::kLoopLimit;
  } else {
    search.work = kClockWork;  // read the clock at the first check
    if (!searchMeasureDesign(search, n <= settings.storedDistanceSamples)) {
      design.stop = SamplingStop::kTimeLimit;
    } else {
      search.scratchA.assign(static_cast<std::size_t>(n), 0);
      search.scratchB.assign(static_cast<std::size_t>(n), 0);
      searchKeepBest(search);
      design.stop = searchRun(search, settings, design);
      search.ranks.swap(search.bestRanks);
      std::vector<int>().swap(search.bestRanks);  // release before the matrix is filled
      std::vector<int>().swap(search.distances);
    }
  }

  design.samples = n;
  design.variables = k;
  design.levelMatrix.resize(static_cast<std::size_t>(n) * k);
  for (int j = 0; j < k; ++j) {
    const int* column = search.ranks.data() + static_cast<std::size_t>(j) * n;
    for (int r = 0; r < n; ++r) {
      design.levelMatrix[static_cast<std::size_t>(r) * k + j] =
          samplingLevelOfRank(column[r], n, levelCounts[j]);
    }
  }
}

}  // namespace

LatinHypercubeDesign LatinHypercubeDesign::optimized(int samples, int variables,
                                                     const int* levelCounts, bool optimize,
                                                     double timeLimitSeconds) {
  return optimized(samples, variables, levelCounts, optimize, timeLimitSeconds,
                   LatinOptimizeSettings{});
}

LatinHypercubeDesign LatinHypercubeDesign::optimized(int samples, int variables,
                                                     const int* levelCounts, bool optimize,
                                                     double timeLimitSeconds,
                                                     const LatinOptimizeSettings& settings) {
  const double start = platform::monotonicSeconds();
  LatinHypercubeDesign design;
  design.error = checkArguments(samples, variables, levelCounts, timeLimitSeconds, settings);
  if (!design.error.empty()) return design;

  try {
    buildDesign(design, samples, variables, levelCounts, optimize, timeLimitSeconds, settings,
                start);
  } catch (const std::bad_alloc&) {
    design = LatinHypercubeDesign{};
    design.error = formatText(
        "There is not enough memory for a Latin hypercube of %d samples "
        "and %d variables.",
        samples, variables);
    return design;
  }
  design.seconds = std::max(0.0, platform::monotonicSeconds() - start);
  return design;
}

}  // namespace karvo::support
