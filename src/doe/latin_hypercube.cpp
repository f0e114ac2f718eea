// The Latin hypercube array (kind 4): each factor's 20 n levels are cut into n strata, every
// run takes one stratum per factor, and of 20 random trial arrays the one whose closest two
// runs lie farthest apart is kept. Users ask up to some ten thousand runs, so a trial costs
// O(nk) draws and a pruned distance sweep, never a full O(n^2 k) pass for every trial.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "base/messages.h"
#include "base/random.h"
#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "doe/latin_hypercube_internal.h"

namespace karvo::doe {

namespace latin {

namespace {

// Further lower bounds of a pair's distance, checked before the distance itself: for signs
// s_j = +-1, |sum s_j (a_j - b_j)| <= sum |a_j - b_j|. The signs are rows 1..4 of a
// Walsh-Hadamard matrix, (nearly) uncorrelated with the level sum and with each other, so
// that each key passes only part of the pairs the previous ones let through. With two factors the
// first one makes the bound exact (|d0 + d1| or |d0 - d1| is |d0| + |d1|).
constexpr int kFilterKeys = 4;

// True when factor j has the sign -1 in Walsh row `row` (parity of the common bits).
inline bool filterSign(int row, int j) {
  return (std::popcount(static_cast<unsigned>(row & j)) & 1) != 0;
}

// City-block distance of two rows, abandoned once it reaches `bound` (then some value >=
// bound is answered).
inline std::int64_t rowDistance(const int* a, const int* b, int factors, std::int64_t bound) {
  std::int64_t sum = 0;
  int j = 0;
  // Four factors between checks: fewer branches, and the four terms add independently.
  for (; j + 4 <= factors; j += 4) {
    sum += std::abs(static_cast<std::int64_t>(a[j]) - b[j]) +
           std::abs(static_cast<std::int64_t>(a[j + 1]) - b[j + 1]) +
           std::abs(static_cast<std::int64_t>(a[j + 2]) - b[j + 2]) +
           std::abs(static_cast<std::int64_t>(a[j + 3]) - b[j + 3]);
    if (sum >= bound) return sum;
  }
  for (; j < factors; ++j) sum += std::abs(static_cast<std::int64_t>(a[j]) - b[j]);
  return sum;
}

}  // namespace

void drawTrial(int runs, int factors, int stratumLevels, int* levels, int* permutation,
               int* column) {
  const float width = static_cast<float>(stratumLevels);
  std::size_t cell = 0;
  for (int r = 0; r < runs; ++r) {
    const int base = r * stratumLevels;
    for (int j = 0; j < factors; ++j) {
      const int offset = static_cast<int>(nextUniform() * width);
      levels[cell++] = base + std::min(offset, stratumLevels - 1);
    }
  }
  const std::size_t stride = static_cast<std::size_t>(factors);
  for (int j = 0; j < factors; ++j) {
    shufflePermutation(runs, permutation);
    for (int r = 0; r < runs; ++r)
      column[r] = levels[static_cast<std::size_t>(permutation[r]) * stride + j];
    for (int r = 0; r < runs; ++r) levels[static_cast<std::size_t>(r) * stride + j] = column[r];
  }
}

std::int64_t minimumDistance(const int* levels, int runs, int factors, std::int64_t floor,
                             DistanceScratch& scratch) {
  if (runs < 2) return static_cast<std::int64_t>(runs) * runs;
  const std::size_t n = static_cast<std::size_t>(runs);
  const std::size_t width = static_cast<std::size_t>(factors);

  // |sum(a) - sum(b)| <= sum |a_j - b_j|: runs whose level sums differ by at least the best
  // distance so far cannot come closer, and neither can any later run in sum order.
  scratch.keys.resize(n);
  scratch.order.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    std::int64_t sum = 0;
    for (std::size_t j = 0; j < width; ++j) sum += levels[r * width + j];
    scratch.keys[r] = sum;
    scratch.order[r] = static_cast<int>(r);
  }
  std::sort(scratch.order.begin(), scratch.order.end(), [&](int a, int b) {
    return scratch.keys[a] < scratch.keys[b] || (scratch.keys[a] == scratch.keys[b] && a < b);
  });
  // Rows and keys in sorted order, so that the sweep reads memory in sequence, with the
  // filter keys of every row.
  const int filters = std::min(kFilterKeys, factors - 1);
  const std::size_t fw = static_cast<std::size_t>(filters);
  scratch.sorted.resize(n * width);
  scratch.sortedKeys.resize(n);
  scratch.filterKeys.resize(n * fw);
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t r = static_cast<std::size_t>(scratch.order[p]);
    const int* row = levels + r * width;
    std::copy(row, row + width, scratch.sorted.begin() + static_cast<std::ptrdiff_t>(p * width));
    scratch.sortedKeys[p] = scratch.keys[r];
    for (int f = 0; f < filters; ++f) {
      std::int64_t key = 0;
      for (int j = 0; j < factors; ++j)
        key += filterSign(f + 1, j) ? -static_cast<std::int64_t>(row[j]) : row[j];
      scratch.filterKeys[p * fw + static_cast<std::size_t>(f)] = key;
    }
  }
  const std::int64_t* keys = scratch.sortedKeys.data();
  const std::int64_t* filterKeys = scratch.filterKeys.data();
  const int* rows = scratch.sorted.data();

  // A pair whose filter keys differ by at least `bound` is no closer than `bound`.
  auto filtered = [&](std::size_t p, std::size_t q, std::int64_t bound) {
    for (std::size_t f = 0; f < fw; ++f)
      if (std::abs(filterKeys[p * fw + f] - filterKeys[q * fw + f]) >= bound) return true;
    return false;
  };

  // Pairs are taken by their gap in sum order, gap 1 for all runs first, then gap 2, ...:
  // the pairs most likely to be close come first over the whole array, so the bound shrinks
  // early (fewer pairs measured) and a trial that cannot win finds out soon. A gap at which
  // no pair lies within the bound ends the sweep, since the sums only grow apart with it.
  std::int64_t best = INT64_MAX;
  for (std::size_t gap = 1; gap < n; ++gap) {
    bool within = false;
    for (std::size_t p = 0, q = gap; q < n; ++p, ++q) {
      if (keys[q] - keys[p] >= best) continue;
      within = true;
      if (filtered(p, q, best)) continue;
      const std::int64_t d = rowDistance(rows + p * width, rows + q * width, factors, best);
      if (d < best) {
        best = d;
        if (best <= floor) return best;
      }
    }
    if (!within) break;
  }
  return best;
}

}  // namespace latin

bool buildLatinHypercube(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  const int n = request.runs;
  if (k < 2) {
    error = formatText("At least TWO factors need to be defined for using the Latin Hypercube "
                       "DOE in agent # %d.",
                       request.agentNumber);
    return false;
  }
  constexpr int kMaxRuns = INT_MAX / latin::kStratumLevels;
  if (n < 1 || n > kMaxRuns) {
    error = formatText("The number of runs (numEvals) of the Latin Hypercube DOE in agent # %d "
                       "must be between 1 and %d. Found %d.",
                       request.agentNumber, kMaxRuns, n);
    return false;
  }
  if (request.announceLatin)
    writeMessage("outptr|stdout", "note", "Generating the Latin Hypercube based design array...");

  const int levels = latin::kStratumLevels * n;
  const std::size_t cells = static_cast<std::size_t>(n) * static_cast<std::size_t>(k);
  const char* failed = "factor levels";
  try {
    doeShapeFactors(array, kDoeLatinHypercube, k, n, levels);
    failed = "permutation array";
    std::vector<int> permutation(static_cast<std::size_t>(n));
    std::vector<int> column(static_cast<std::size_t>(n));
    failed = "wory array";
    std::vector<int> kept(cells);
    std::vector<int> trial(cells);
    latin::DistanceScratch scratch;

    latin::TrialChoice choice;
    for (int t = 0; t < latin::kTrials; ++t) {
      latin::drawTrial(n, k, latin::kStratumLevels, trial.data(), permutation.data(),
                       column.data());
      const std::int64_t score =
          latin::minimumDistance(trial.data(), n, k, choice.floor(), scratch);
      if (choice.offer(t, score)) std::swap(kept, trial);
    }
    array.cells.assign(kept.begin(), kept.end());
  } catch (const std::bad_alloc&) {
    error = formatText("\n\t**** ERROR ****\n\t Error allocating LHS: %s\n\nCannot continue.",
                       failed);
    return false;
  }
  return true;
}

}  // namespace karvo::doe
