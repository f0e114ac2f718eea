// The process-wide random number generator: one lagged-subtractive generator (lags 24 and
// 55) over a table of 55 doubles, seeded from the study. Every stochastic decision of the
// solver draws from it, so a run is reproducible bit for bit from its seed and the order of
// its draws. There is one global instance and no per-agent stream.
//
// Drawing: `randomCursor` holds the index of the value drawn last. A draw advances the
// cursor; when it reaches 55 the table is refilled (`advanceRandom`) and the cursor restarts
// at 1, so index 0 is never returned directly after a refill and the first draw after
// seeding returns index 1. Callers that draw in tight loops may read `randomTable` through
// the cursor themselves, provided they follow exactly that rule and convert the value with
// `uniformFromTable`; the sequence is then the same whichever way it is drawn.
//
// Draw counts (later draws depend on them):
//   nextUniform, flip                 1 draw
//   randomInt(low, high)              1 draw, none when low >= high
//   randomPermutation(n, ...)         n * (n - 1) draws, none when n < 2
//   shufflePermutation(n, ...)        n - 1 draws, none when n < 2
//   normalDeviate                     2 draws on the first call after seeding or reset and on
//                                     every second call after it; none on the calls between,
//                                     which answer the kept partner
#pragma once

#include <cstdint>

namespace karvo {

inline constexpr int kRandomTableSize = 55;  // values in the table, indices 0..54

extern double randomTable[kRandomTableSize];  // each value in [0, 1]; see uniformFromTable
extern std::int32_t randomCursor;             // index of the value drawn last, 0..54
extern bool randomSeedAnnounced;              // the seed note was written in this process

// The value of a table entry as a draw: the double rounded to single precision. A double
// within 2^-25 of 1 would round to 1.0f; such a value is answered as the largest float below
// 1, so that every draw lies in [0, 1) and an index made by truncating r * n stays below n.
inline float uniformFromTable(double value) {
  float r = static_cast<float>(value);
  return r < 1.0f ? r : 0x1.fffffep-1f;
}

// The seed derived from the clock for a seed of 0: with t the calendar time in whole
// seconds and s the first agent run by this process (negative counts as 0),
// v = (s + 1) * 12345 + (t mod 10 000 000) and the seed is the fractional part of
// v / 100 000, rounded to single precision. A fraction of exactly 0 would read back as
// "derive from the clock" and the run could not be repeated from its reported seed, so it
// is answered as 0.00001 (the next value of the same grid).
float clockDerivedSeed(std::int64_t seconds, int firstAgent);

// Seeds the generator. `seed` points at the run's single-precision seed in [0, 1]; a value
// of exactly 0 is replaced (written back through `seed`) by clockDerivedSeed of the current
// time and `run.runStartAgent`, so that reports show the seed actually used. When `announce`
// is non-zero and no seed has been announced yet in this process, the note
// "\n\tRandom seed=%f.\n\n" goes to the message file, which is then flushed. Fills the
// table, refills it three times and sets the cursor to 0.
void seedRandom(float* seed, int announce);

// Refills all 55 table values in place: entries 0..23 subtract entry j + 31, then entries
// 24..54 subtract entry j - 24 (already updated); 1.0 is added to a negative difference.
// Called by the drawing operations and by seeding only.
void advanceRandom();

// Next value in [0, 1), single precision. One draw.
float nextUniform();

// Integer in [low, high]; low when low >= high, without drawing. Otherwise one draw r and
// low + truncate(r * (high - low + 1)) in single precision, capped at high. Safe for the
// whole int range.
int randomInt(int low, int high);

// 1 with probability `probability` (1 when probability >= r for one draw r), else 0.
int flip(float probability);

// Writes a permutation of 0..n-1 into `out` (n ints), with `work` (n ints) as scratch.
// Nothing happens when n < 1. The shuffle is repeated n times, each from the identity, and
// the last one is kept: n * (n - 1) draws in all.
void randomPermutation(int n, int* out, int* work);

// Writes a uniformly random permutation of 0..n-1 into `out` (n ints) by one Fisher-Yates
// shuffle from the identity: for i = n-1 down to 1, out[i] is swapped with out[randomInt(0,
// i)]. n - 1 draws; nothing is drawn when n < 2 (and nothing written when n < 1). Same
// distribution as randomPermutation at a fraction of its draws, for large n.
void shufflePermutation(int n, int* out);

// A standard normal deviate by the Box-Muller method. A call without a kept partner draws
// r1 then r2 (r1 = 0 is taken as 2.220446049250313e-16), answers
// sqrt(-2 ln r1) * sin(6.2831853072 * r2) and keeps sqrt(-2 ln r1) * cos(6.2831853072 * r2);
// the next call answers the kept value without drawing. Seeding and resetRandom drop a kept
// partner, so that the same seed gives the same sequence.
double normalDeviate();

// Reseeds the generator for a search agent's evaluation batch, without announcement, from a
// private single-precision value that starts at 0.99 and is multiplied by 0.999 before each
// reseeding. Answers the seed used.
float reseedForBatch();

// Everything the generator's later draws depend on: the table and cursor, the value of the
// next batch reseeding, and the kept normal deviate. A checkpoint saves it and an extended
// run puts it back, so that the run goes on drawing exactly what it would have drawn.
struct RandomState {
  double table[kRandomTableSize] = {};
  std::int32_t cursor = 0;
  float batchReseed = 0.0f;
  bool partnerKept = false;
  double partner = 0.0;
};
RandomState randomState();
void setRandomState(const RandomState& state);

// Back to the state at process start: table cleared, cursor 0, no seed announced yet,
// reseeding value 0.99, no normal deviate kept. Used at start-up and by tests.
void resetRandom();

}  // namespace karvo
