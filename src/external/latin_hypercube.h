// Latin hypercube designs whose runs are spread out as far as possible: the smallest
// city-block distance between two runs is made large (maximin) by an optimisation that
// runs until it stops improving or until the time limit.
//
// Use: Random::setGlobalSeed(seed); then
//   LatinHypercubeDesign design = LatinHypercubeDesign::optimized(n, k, counts, true, seconds);
//   if (!design.valid()) ... design.error ...;
//   design.copyLevels(destination, n * k);
#pragma once

#include "external/sampling_design.h"
#include "external/sampling_random.h"

namespace karvo::support {

// Most runs the optimiser takes. Larger designs come back as plain random Latin hypercubes
// (stop kTooLarge): a swap there costs so much that no useful search fits a time limit.
inline constexpr int kMaxOptimizedSamples = 65536;

// Own budget of the optimisation; the defaults suit every design size.
struct LatinOptimizeSettings {
  int stallLoops = 100;              // outer loops in a row without a better design before
                                     // the search ends (kConverged); >= 1
  long long maxLoops = 1000000;      // outer loops at most (kLoopLimit); >= 0, 0 = no search
  int storedDistanceSamples = 2048;  // up to this many runs the distances of all pairs are
                                     // kept (n^2 ints: 16 MB at 2048); above it a swap
                                     // recomputes the two rows it needs, O(nk) instead of
                                     // O(n). Same design either way. 0 .. 4096
};

struct LatinHypercubeDesign : SamplingDesign {
  // Builds a Latin hypercube of `samples` runs (n) and `variables` variables (k).
  //
  // Inputs: levelCounts[0 .. k-1], the level count of each variable (1 .. 2^31-1; the
  // solver passes n for each, see sampling_design.h for other counts); `optimize`: true
  // to improve the design's spread, false for a plain random Latin hypercube;
  // timeLimitSeconds >= 0 (may be infinite), measured from the call.
  //
  // The starting design is a random Latin hypercube (one random permutation per variable,
  // variable by variable, from the Random stream). The optimisation then swaps the ranks of
  // two runs within one variable at a time (an enhanced stochastic evolutionary search
  // with threshold acceptance on the phi_50 criterion of the city-block distances; each
  // swap is tried at O(n) cost) and keeps the best design met: the one with the largest
  // smallest distance, then the fewest pairs at that distance, then the same for the next
  // distances. It ends after settings.stallLoops outer loops without a better design,
  // after settings.maxLoops outer loops, or when the time limit has passed. The clock is
  // read at the end of an iteration (or of a row while the starting distances are
  // measured) once about 65 000 distance updates have been made since the last reading:
  // the limit is overrun by at most one iteration or those updates, well under a
  // millisecond for designs of up to some thousand runs.
  //
  // Output: the n x k level matrix, every column a permutation of 0 .. n-1 when its level
  // count is n; `stop`, `iterations`, `outerLoops` and `seconds` describe the search.
  // The same seed, arguments and settings give the same design unless the time limit
  // ends the search: then the design is the best found so far, and the stream has been
  // advanced by a number of draws that depends on timing.
  //
  // Failure: invalid arguments give a design with `error` set, an empty matrix and stop
  // kRefused; nothing is drawn from the stream then. When memory runs out the design is
  // refused likewise (the stream may have been advanced).
  static LatinHypercubeDesign optimized(int samples, int variables, const int* levelCounts,
                                        bool optimize, double timeLimitSeconds);
  static LatinHypercubeDesign optimized(int samples, int variables, const int* levelCounts,
                                        bool optimize, double timeLimitSeconds,
                                        const LatinOptimizeSettings& settings);
};

}  // namespace karvo::support
