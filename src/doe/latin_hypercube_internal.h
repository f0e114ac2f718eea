// The parts of the Latin hypercube builder that its tests reach directly: the drawing of one
// trial array, the smallest city-block distance of an array (pruned, exact where it
// matters) and the choice of the trial that is kept.
#pragma once

#include <cstdint>
#include <vector>

namespace karvo::doe::latin {

inline constexpr int kStratumLevels = 20;  // levels per stratum; a factor has 20 n levels
inline constexpr int kTrials = 20;         // trial arrays drawn, the best one kept

// Draws one trial array into levels[0 .. runs*factors-1] (row-major): run r, factor j gets
// the level r*stratumLevels + min(trunc(u*stratumLevels), stratumLevels-1), u = nextUniform(),
// drawn run by run and within a run factor by factor; then every column in turn, factor 0
// first, is reordered by shufflePermutation (new run r takes old run permutation[r]).
// permutation and column are scratch of `runs` ints each. runs * factors + factors *
// (runs - 1) draws in all.
void drawTrial(int runs, int factors, int stratumLevels, int* levels, int* permutation,
               int* column);

// Buffers of minimumDistance, kept between trials so that a trial allocates nothing.
struct DistanceScratch {
  std::vector<std::int64_t> keys;  // level sum of each run
  std::vector<int> order;          // runs by ascending level sum
  std::vector<int> sorted;         // the rows in that order, runs x factors
  std::vector<std::int64_t> sortedKeys;  // their level sums, ascending
  std::vector<std::int64_t> filterKeys;  // per sorted row, its signed level sums (filters)
};

// The smallest city-block distance (sum over factors of the absolute level differences)
// between two runs of `levels` (runs x factors, row-major), or runs*runs when runs < 2.
//
// `floor` lets a trial that can no longer be kept stop early: as soon as a pair at distance
// <= floor is found, that distance is answered (some value <= floor, not necessarily the
// smallest). A result above floor is always the exact minimum; floor < 0 never stops early.
//
// Work: the runs are sorted by their level sum, whose difference is a lower bound of the
// distance of two runs, and pairs are taken by their gap in that order (all neighbours
// first), only while the sums lie within the smallest distance found so far. Four signed
// level sums filter a pair further before its distance is summed, and a pair's sum over the
// factors stops as soon as it reaches that distance. Far below the n^2 k of all pairs for
// few factors (10 000 runs x 10 factors: a tenth of the time of all pairs); with some twenty
// factors the closest runs are far apart in every projection and the sweep nears all pairs.
std::int64_t minimumDistance(const int* levels, int runs, int factors, std::int64_t floor,
                             DistanceScratch& scratch);

// Which trial is kept: the first one with the largest score.
struct TrialChoice {
  int trial = -1;            // the kept trial, -1 before the first offer
  std::int64_t score = -1;   // its score

  // The score a later trial must exceed to be kept (its distance sweep may stop at it).
  std::int64_t floor() const { return score; }
  // Offers trial `index` with `score`; true when it becomes the kept trial (the first offer,
  // or a score above the kept one: on a tie the earlier trial stays).
  bool offer(int index, std::int64_t offered) {
    if (trial >= 0 && offered <= score) return false;
    trial = index;
    score = offered;
    return true;
  }
};

}  // namespace karvo::doe::latin
