// The process-wide random generator of the sampling designs. The optimised Latin hypercube
// draws every random number it needs from here, so a design repeats exactly after the same
// setGlobalSeed. The solver's own generator (seeded from the study) is a separate stream;
// the design-of-experiments builder hands a seed from that stream to setGlobalSeed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace karvo::support {

// A 64-bit Mersenne Twister (std::mt19937_64, whose output the C++ standard fixes) with
// this component's own mapping of its output to ranges, so that the same seed gives the
// same draws with every standard library. One stream per process, used from one thread.
// Until setGlobalSeed is called the stream starts from kDefaultSeed.
struct Random {
  static constexpr unsigned kDefaultSeed = 5489u;

  // Restarts the stream from `seed`; every later draw depends only on the seed and on the
  // draws made since.
  static void setGlobalSeed(unsigned seed);
  // The seed of the last setGlobalSeed (kDefaultSeed before any).
  static unsigned globalSeed();

  // 64 uniform random bits.
  static std::uint64_t nextBits();
  // Uniform integer in [0, bound), without bias (rejection of the short top range).
  // Answers 0 when bound is 0 or 1 (and then draws nothing).
  static std::uint64_t below(std::uint64_t bound);
  // Uniform real in [0, 1) with 53 random bits.
  static double uniform();
  // Puts values[0 .. count-1] into a uniformly random order (Fisher-Yates, last slot first).
  static void shuffle(int* values, std::size_t count);
};

}  // namespace karvo::support
