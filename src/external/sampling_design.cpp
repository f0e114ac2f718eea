// Shared pieces of the sampling designs: the result record, the argument checks, the
// mapping of ranks to level counts and the distance measures used to judge a design.
// The distance measures are O(n^2 k) and meant for checks and benchmarks, not inner loops.
#include "external/sampling_design.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/messages.h"

namespace karvo::support {

int SamplingDesign::level(int run, int variable) const {
  if (run < 0 || variable < 0 || run >= samples || variable >= variables) return -1;
  const std::size_t index =
      static_cast<std::size_t>(run) * static_cast<std::size_t>(variables) + variable;
  if (index >= levelMatrix.size()) return -1;
  return levelMatrix[index];
}

bool SamplingDesign::copyLevels(int* destination, std::size_t count) const {
  if (!valid() || destination == nullptr || count != levelMatrix.size()) return false;
  std::memcpy(destination, levelMatrix.data(), count * sizeof(int));
  return true;
}

int samplingLevelOfRank(int rank, int samples, int levelCount) {
  if (samples <= 0 || levelCount <= 0) return 0;
  if (levelCount == samples) return rank;
  // (2r + 1) m < 2 n m <= 2^63 for n, m below 2^31: no overflow.
  const std::uint64_t numerator =
      (2 * static_cast<std::uint64_t>(rank) + 1) * static_cast<std::uint64_t>(levelCount);
  return static_cast<int>(numerator / (2 * static_cast<std::uint64_t>(samples)));
}

std::string samplingCheckSize(long long samples, long long variables) {
  if (samples < 1 || samples > kMaxSamplingCells) {
    return formatText("The number of samples must be between 1 and %lld. Found (%lld).",
                      kMaxSamplingCells, samples);
  }
  if (variables < 1 || variables > kMaxSamplingCells) {
    return formatText("The number of variables must be between 1 and %lld. Found (%lld).",
                      kMaxSamplingCells, variables);
  }
  if (samples * variables > kMaxSamplingCells) {
    return formatText(
        "The number of samples times the number of variables must be at most %lld. "
        "Found (%lld x %lld = %lld).",
        kMaxSamplingCells, samples, variables, samples * variables);
  }
  return "";
}

std::string samplingCheckLevelCount(int variable, long long levelCount) {
  const long long most = std::numeric_limits<int>::max();
  if (levelCount >= 1 && levelCount <= most) return "";
  if (variable < 0) {
    return formatText("The level count must be between 1 and %lld. Found (%lld).", most,
                      levelCount);
  }
  return formatText("The level count of variable %d must be between 1 and %lld. Found (%lld).",
                    variable + 1, most, levelCount);
}

bool samplingIsLatinHypercube(const std::vector<int>& matrix, int samples, int variables) {
  if (samples < 1 || variables < 1) return false;
  if (matrix.size() != static_cast<std::size_t>(samples) * static_cast<std::size_t>(variables))
    return false;
  std::vector<char> seen(static_cast<std::size_t>(samples));
  for (int j = 0; j < variables; ++j) {
    std::fill(seen.begin(), seen.end(), 0);
    for (int r = 0; r < samples; ++r) {
      const int value = matrix[static_cast<std::size_t>(r) * variables + j];
      if (value < 0 || value >= samples || seen[value]) return false;
      seen[value] = 1;
    }
  }
  return true;
}

namespace {

bool matrixFits(const std::vector<int>& matrix, int samples, int variables) {
  return samples >= 2 && variables >= 1 &&
         matrix.size() == static_cast<std::size_t>(samples) * static_cast<std::size_t>(variables);
}

}  // namespace

std::int64_t samplingMinimumCityBlockDistance(const std::vector<int>& matrix, int samples,
                                              int variables) {
  if (!matrixFits(matrix, samples, variables)) return 0;
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  for (int a = 0; a < samples; ++a) {
    const int* rowA = matrix.data() + static_cast<std::size_t>(a) * variables;
    for (int b = a + 1; b < samples; ++b) {
      const int* rowB = matrix.data() + static_cast<std::size_t>(b) * variables;
      std::int64_t distance = 0;
      for (int j = 0; j < variables; ++j)
        distance += std::llabs(static_cast<long long>(rowA[j]) - rowB[j]);
      if (distance < best) best = distance;
    }
  }
  return best;
}

double samplingMinimumEuclideanDistance(const std::vector<int>& matrix, int samples,
                                        int variables) {
  if (!matrixFits(matrix, samples, variables)) return 0.0;
  double best = std::numeric_limits<double>::infinity();
  for (int a = 0; a < samples; ++a) {
    const int* rowA = matrix.data() + static_cast<std::size_t>(a) * variables;
    for (int b = a + 1; b < samples; ++b) {
      const int* rowB = matrix.data() + static_cast<std::size_t>(b) * variables;
      double squared = 0.0;
      for (int j = 0; j < variables; ++j) {
        const double difference = static_cast<double>(rowA[j]) - rowB[j];
        squared += difference * difference;
      }
      if (squared < best) best = squared;
    }
  }
  return std::sqrt(best);
}

}  // namespace karvo::support
