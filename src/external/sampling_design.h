// What every space-filling sampling design of this component hands back: an n x k matrix of
// level indices (n runs, k variables) with the reason of a refusal, plus the checks and
// distance measures that the designs and their callers share.
//
// Level counts. The builders place the runs on ranks 0 .. n-1 in every variable (a Latin
// hypercube: each column a permutation of the ranks). A variable asked for with m levels
// gets the rank r mapped to level floor((2r + 1) m / (2n)), the level whose cell holds the
// centre of the rank's stratum:
//   - m = n: the level is the rank, so every column is a permutation of 0 .. n-1;
//   - m > n: n distinct levels, one in each of n equal strata of the m levels;
//   - m < n: every level is used floor(n/m) or ceil(n/m) times (a balanced column).
// Levels therefore always lie in 0 .. m-1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace karvo::support {

// Largest design the builders make: samples x variables cells.
inline constexpr long long kMaxSamplingCells = 1LL << 26;  // 67 108 864 (256 MB of levels)

// How a builder ended.
enum class SamplingStop {
  kRefused,           // the arguments were refused; `error` says why, the matrix is empty
  kNotOptimized,      // no optimisation asked for (plain Latin hypercube, Hammersley)
  kNothingToImprove,  // n <= 2 or k == 1: every Latin hypercube has the same distances
  kTooLarge,          // more runs than the optimiser takes; a plain Latin hypercube
  kConverged,         // the optimiser found no better design within its own budget
  kLoopLimit,         // the optimiser used its largest number of outer loops
  kTimeLimit,         // the time limit ended the optimisation (the best design so far)
};

// The result of a builder. The matrix is row-major: level of run r, variable j at
// levelMatrix[r * variables + j].
struct SamplingDesign {
  int samples = 0;               // n, rows; 1 .. kMaxSamplingCells; 0 when refused
  int variables = 0;             // k, columns; 1 .. kMaxSamplingCells; 0 when refused
  std::vector<int> levelMatrix;  // n * k level indices, each within its variable's count
  std::string error;             // why the arguments were refused; empty on success
  SamplingStop stop = SamplingStop::kRefused;
  long long iterations = 0;  // swap iterations of the optimiser (0 when none ran)
  long long outerLoops = 0;  // outer loops of the optimiser (0 when none ran)
  double seconds = 0.0;      // wall time spent building, >= 0

  bool valid() const { return error.empty() && !levelMatrix.empty(); }
  // Level of run `run`, variable `variable`; -1 outside the matrix.
  int level(int run, int variable) const;
  // Copies the matrix, row-major, into destination[0 .. count-1]. False (nothing copied)
  // when the design is not valid or `count` is not samples * variables.
  bool copyLevels(int* destination, std::size_t count) const;
};

// Level of rank `rank` (0 .. samples-1) for a variable of `levelCount` levels (see above).
int samplingLevelOfRank(int rank, int samples, int levelCount);

// The common argument checks. Answer "" when the arguments are acceptable, otherwise the
// message, which names the value read and the range allowed. `variable` is 0-based and
// named 1-based in the message; a negative one leaves the variable unnamed (a count shared
// by all variables).
std::string samplingCheckSize(long long samples, long long variables);
std::string samplingCheckLevelCount(int variable, long long levelCount);

// True when every column of `matrix` (samples x variables, row-major) is a permutation of
// 0 .. samples-1. An empty or mis-sized matrix is not a Latin hypercube.
bool samplingIsLatinHypercube(const std::vector<int>& matrix, int samples, int variables);

// Smallest city-block distance (sum over variables of the absolute level differences)
// between two runs; 0 for fewer than two runs or a mis-sized matrix. O(n^2 k).
std::int64_t samplingMinimumCityBlockDistance(const std::vector<int>& matrix, int samples,
                                              int variables);
// Smallest Euclidean distance between two runs, in level units; 0 as above.
double samplingMinimumEuclideanDistance(const std::vector<int>& matrix, int samples, int variables);

}  // namespace karvo::support
