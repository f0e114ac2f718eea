// Hammersley sampling designs. Built once per design-of-experiments agent; the cost is a
// sieve of the primes below n and one sort of n radical inverses per variable whose base
// is below n, all in exact integer arithmetic.
#include "external/hammersley.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <numeric>
#include <vector>

#include "base/messages.h"
#include "platform/platform.h"

namespace karvo::support {

namespace {

// The primes below `limit`, in increasing order, but no more than `count` of them (the
// sieve then stops near the count-th prime, below m (ln m + ln ln m) for m >= 6).
std::vector<int> primesBelow(int limit, int count) {
  if (count <= 0) return {};
  const double m = std::max(6.0, static_cast<double>(count));
  const double bound = m * (std::log(m) + std::log(std::log(m))) + 2.0;
  if (bound < static_cast<double>(limit)) limit = static_cast<int>(bound);
  std::vector<int> primes;
  if (limit <= 2) return primes;
  std::vector<char> composite(static_cast<std::size_t>(limit), 0);
  for (int p = 2; p < limit; ++p) {
    if (composite[p]) continue;
    primes.push_back(p);
    if (static_cast<int>(primes.size()) == count) break;
    for (std::int64_t multiple = static_cast<std::int64_t>(p) * p; multiple < limit; multiple += p)
      composite[static_cast<std::size_t>(multiple)] = 1;
  }
  return primes;
}

// Ranks of the radical inverses of 0 .. n-1 in `base` (2 <= base < n). With m digits,
// base^m >= n, the inverse of i is reversed(i) / base^m, so comparing the reversed m-digit
// numbers (below base * n, well within 64 bits) orders the points exactly.
void radicalInverseRanks(int n, int base, std::vector<int>& ranks) {
  std::uint64_t scale = 1;
  int digits = 0;
  while (scale < static_cast<std::uint64_t>(n)) {
    scale *= static_cast<std::uint64_t>(base);
    ++digits;
  }
  std::vector<std::uint64_t> reversed(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    std::uint64_t rest = static_cast<std::uint64_t>(i);
    std::uint64_t value = 0;
    for (int d = 0; d < digits; ++d) {
      value = value * static_cast<std::uint64_t>(base) + rest % static_cast<std::uint64_t>(base);
      rest /= static_cast<std::uint64_t>(base);
    }
    reversed[i] = value;
  }
  std::vector<int> order(static_cast<std::size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&reversed](int x, int y) { return reversed[x] < reversed[y]; });
  ranks.resize(static_cast<std::size_t>(n));
  for (int position = 0; position < n; ++position) ranks[order[position]] = position;
}

// Fills the matrix of `design` (arguments already checked).
void fillHammersley(SamplingDesign& design, int samples, int variables, int levels) {
  const int n = samples;
  const int k = variables;
  design.samples = n;
  design.variables = k;
  design.levelMatrix.resize(static_cast<std::size_t>(n) * k);
  // Bases from n up give the identity order, so only the primes below n are needed.
  const std::vector<int> primes = primesBelow(n, k - 1);
  std::vector<int> ranks(static_cast<std::size_t>(n));
  for (int j = 0; j < k; ++j) {
    const bool identity = j == 0 || static_cast<std::size_t>(j - 1) >= primes.size();
    if (identity) {
      std::iota(ranks.begin(), ranks.end(), 0);
    } else {
      radicalInverseRanks(n, primes[static_cast<std::size_t>(j - 1)], ranks);
    }
    for (int i = 0; i < n; ++i)
      design.levelMatrix[static_cast<std::size_t>(i) * k + j] =
          samplingLevelOfRank(ranks[i], n, levels);
  }
}

}  // namespace

HammersleyDesign::HammersleyDesign(int samples, int variables, int levels) {
  const double start = platform::monotonicSeconds();
  error = samplingCheckSize(samples, variables);
  if (error.empty()) error = samplingCheckLevelCount(-1, levels);
  if (!error.empty()) return;
  try {
    fillHammersley(*this, samples, variables, levels);
  } catch (const std::bad_alloc&) {
    this->samples = 0;
    this->variables = 0;
    std::vector<int>().swap(levelMatrix);
    error = formatText(
        "There is not enough memory for a Hammersley set of %d samples and %d "
        "variables.",
        samples, variables);
    return;
  }
  stop = SamplingStop::kNotOptimized;
  seconds = std::max(0.0, platform::monotonicSeconds() - start);
}

}  // namespace karvo::support
