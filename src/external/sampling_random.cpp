// The sampling designs' random stream: a std::mt19937_64 and portable mappings of its
// output to integer ranges and reals. An optimised Latin hypercube draws a few million
// numbers, so each draw is a handful of integer operations.
#include "external/sampling_random.h"

#include <random>
#include <utility>

namespace karvo::support {

namespace {

struct RandomStream {
  std::mt19937_64 engine{Random::kDefaultSeed};  // the generator proper
  unsigned seed = Random::kDefaultSeed;          // last seed given
};

RandomStream& stream() {
  static RandomStream state;
  return state;
}

}  // namespace

void Random::setGlobalSeed(unsigned seed) {
  stream().engine.seed(static_cast<std::mt19937_64::result_type>(seed));
  stream().seed = seed;
}

unsigned Random::globalSeed() { return stream().seed; }

std::uint64_t Random::nextBits() { return stream().engine(); }

std::uint64_t Random::below(std::uint64_t bound) {
  if (bound <= 1) return 0;
  // Values below `threshold` (= 2^64 mod bound) would make the low residues more likely;
  // they are drawn again. At most half of the range is ever rejected.
  const std::uint64_t threshold = (0 - bound) % bound;
  for (;;) {
    const std::uint64_t bits = nextBits();
    if (bits >= threshold) return bits % bound;
  }
}

double Random::uniform() {
  return static_cast<double>(nextBits() >> 11) * (1.0 / 9007199254740992.0);  // 2^-53
}

void Random::shuffle(int* values, std::size_t count) {
  for (std::size_t i = count; i > 1; --i) {
    const std::size_t j = static_cast<std::size_t>(below(i));
    std::swap(values[i - 1], values[j]);
  }
}

}  // namespace karvo::support
