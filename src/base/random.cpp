// The lagged-subtractive generator shared by the whole process. Search methods, sampling and
// design-of-experiments draw from it millions of times per run, one value at a time, so a draw
// is an increment, a compare and a table read; a refill costs 55 subtractions every 54 draws.
#include "base/random.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <string>

#include "base/messages.h"
#include "base/run_state.h"

namespace karvo {

double randomTable[kRandomTableSize] = {};
std::int32_t randomCursor = 0;
bool randomSeedAnnounced = false;

namespace {

// Private seed of the batch reseedings; single precision like every seed variable.
constexpr float kReseedStart = 0.99f;
float batchReseedValue = kReseedStart;

// The cosine partner of the last Box-Muller pair, answered by the next normalDeviate.
bool normalPartnerKept = false;
double normalPartner = 0.0;

// Box-Muller constants: the stand-in for a first draw of 0 (whose logarithm is -inf) and
// the angle factor.
constexpr double kSmallestFirstDraw = 2.220446049250313e-16;
constexpr double kTwoPi = 6.2831853072;

// Warm-up constants of seeding.
constexpr double kWarmUpStart = 0.123456789;
constexpr int kWarmUpStride = 21;
constexpr int kWarmUpModulus = 54;
constexpr int kWarmUpLimit = 1135;  // the loop runs while 21 * j stays below this
constexpr int kSeedingRefills = 3;

// Lags of the refill.
constexpr int kFirstLagCount = 24;  // entries 0..23 subtract entry j + 31
constexpr int kLongLag = 31;

}  // namespace

float clockDerivedSeed(std::int64_t seconds, int firstAgent) {
  const std::int64_t agent = firstAgent < 0 ? 0 : firstAgent;
  const std::int64_t clockPart = seconds % 10000000;
  const double v = static_cast<double>((agent + 1) * 12345 + clockPart);
  const double scaled = v / 100000.0;
  float seed = static_cast<float>(scaled - std::floor(scaled));
  // A zero seed would mean "derive from the clock" again wherever the seed is used or
  // reported, and the run could not be repeated from it.
  if (seed == 0.0f) seed = static_cast<float>(1.0 / 100000.0);
  return seed;
}

void advanceRandom() {
  for (int j = 0; j < kFirstLagCount; ++j) {
    double value = randomTable[j] - randomTable[j + kLongLag];
    if (value < 0.0) value += 1.0;
    randomTable[j] = value;
  }
  for (int j = kFirstLagCount; j < kRandomTableSize; ++j) {
    double value = randomTable[j] - randomTable[j - kFirstLagCount];
    if (value < 0.0) value += 1.0;
    randomTable[j] = value;
  }
}

void seedRandom(float* seed, int announce) {
  randomCursor = 0;
  normalPartnerKept = false;
  if (*seed == 0.0f) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    *seed = clockDerivedSeed(now, run.runStartAgent);
  }
  if (announce != 0 && !randomSeedAnnounced) {
    randomSeedAnnounced = true;
    writeMessage("outptr", "note",
                 formatText("\n\tRandom seed=%f.\n\n", static_cast<double>(*seed)));
    if (outptr) flushFile(outptr);
  }

  for (double& value : randomTable) value = 0.0;
  randomTable[kRandomTableSize - 1] = static_cast<double>(*seed);

  double newValue = kWarmUpStart;
  double previous = static_cast<double>(*seed);
  for (int j = 1; kWarmUpStride * j < kWarmUpLimit; ++j) {
    const int i = (kWarmUpStride * j) % kWarmUpModulus;
    randomTable[i] = newValue;
    newValue = previous - newValue;
    if (newValue < 0.0) newValue += 1.0;
    previous = randomTable[i];
  }

  for (int k = 0; k < kSeedingRefills; ++k) advanceRandom();
  randomCursor = 0;
}

float nextUniform() {
  ++randomCursor;
  if (randomCursor >= kRandomTableSize) {
    randomCursor = 1;
    advanceRandom();
  }
  return uniformFromTable(randomTable[randomCursor]);
}

int randomInt(int low, int high) {
  if (low >= high) return low;
  const float r = nextUniform();
  // The span may exceed the int range (up to 2^32); the product stays below 2^33 and is
  // truncated in 64 bits, so no conversion overflows.
  const std::int64_t span = static_cast<std::int64_t>(high) - low + 1;
  const float product = r * static_cast<float>(span);
  const std::int64_t value = static_cast<std::int64_t>(product) + low;
  return value > high ? high : static_cast<int>(value);
}

int flip(float probability) {
  const float r = nextUniform();
  return probability >= r ? 1 : 0;
}

void randomPermutation(int n, int* out, int* work) {
  if (n < 1) return;
  for (int round = 0; round < n; ++round) {
    for (int i = 0; i < n; ++i) work[i] = i;
    for (int i = 0; i < n; ++i) {
      const int remaining = n - i;
      int k = 0;
      if (remaining - 1 >= 1) {
        const float r = nextUniform();
        const float product = r * static_cast<float>(remaining);
        const int picked = static_cast<int>(product);
        k = picked < remaining - 1 ? picked : remaining - 1;
      }
      out[i] = work[k];
      work[k] = work[remaining - 1];
    }
  }
}

void shufflePermutation(int n, int* out) {
  if (n < 1) return;
  for (int i = 0; i < n; ++i) out[i] = i;
  for (int i = n - 1; i >= 1; --i) {
    const int j = randomInt(0, i);
    const int held = out[i];
    out[i] = out[j];
    out[j] = held;
  }
}

double normalDeviate() {
  if (normalPartnerKept) {
    normalPartnerKept = false;
    return normalPartner;
  }
  double r1 = static_cast<double>(nextUniform());
  const double r2 = static_cast<double>(nextUniform());
  if (r1 == 0.0) r1 = kSmallestFirstDraw;
  const double radius = std::sqrt(-2.0 * std::log(r1));
  normalPartner = radius * std::cos(kTwoPi * r2);
  normalPartnerKept = true;
  return radius * std::sin(kTwoPi * r2);
}

float reseedForBatch() {
  // Same arithmetic as `value *= 0.999` on a float: the product in double, then rounded.
  batchReseedValue = static_cast<float>(static_cast<double>(batchReseedValue) * 0.999);
  float seed = batchReseedValue;
  seedRandom(&seed, 0);
  return seed;
}

void resetRandom() {
  for (double& value : randomTable) value = 0.0;
  randomCursor = 0;
  randomSeedAnnounced = false;
  batchReseedValue = kReseedStart;
  normalPartnerKept = false;
  normalPartner = 0.0;
}

RandomState randomState() {
  RandomState state;
  std::copy(std::begin(randomTable), std::end(randomTable), state.table);
  state.cursor = randomCursor;
  state.batchReseed = batchReseedValue;
  state.partnerKept = normalPartnerKept;
  state.partner = normalPartner;
  return state;
}

void setRandomState(const RandomState& state) {
  std::copy(std::begin(state.table), std::end(state.table), randomTable);
  randomCursor = state.cursor;
  batchReseedValue = state.batchReseed;
  normalPartnerKept = state.partnerKept;
  normalPartner = state.partner;
}

}  // namespace karvo
