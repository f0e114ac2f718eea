// The fitness levels of the hybrid search and the throttle of its model-based search
// decisions. Plain arithmetic over a few dozen members, run once per generation (levels,
// thresholds, victims) or once per admitted design (qhfcLevelOf, qhfcPromote).
#include "search/tolmar_levels.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "base/file_handle.h"
#include "base/messages.h"
#include "base/random.h"

namespace karvo::search {

namespace {

constexpr double kSmallestShareLargePopulation = 0.075;  // smallest level share from P = 81
constexpr int kLargePopulation = 81;
constexpr double kRatioStep = 0.95;       // the level-size ratio shrinks by this factor
constexpr int kSmallestLevel = 3;         // first and middle levels: at least this many
constexpr int kSmallestBottomLevel = 5;   // level 0: at least this many
constexpr double kLowestAdmission = -1e300;

constexpr int kBenchmarkSide = 100;       // the benchmark's 100 x 100 multiply-accumulate
constexpr double kLeastTicks = 1e-6;      // milliseconds answered for an unmeasurably short run
constexpr double kDecisionsOffTime = 1e6; // seconds: the estimate when decisions are off
constexpr double kStandInTime = 0.5;      // seconds: stands for a zero decision or analysis time
constexpr int kCyclesForSlowDecisions = 10;
constexpr double kSlowDecisionTime = 300.0;  // seconds

// The benchmark's operands come through a volatile so that its loop is not folded at
// compile time, and its sum leaves through one so that the loop is not dropped.
volatile int benchmarkSeed = 7;
volatile long long benchmarkSink = 0;

const char* const kSizeError = "\n *** BAD INPUT OR LOGIC IN QHFC LEVEL SIZE CALCULATION ***\n";
const char* const kDecisionNote =
    "\nMaking search decisions. This may take a few minutes... Thinking....... Let me keep "
    "running.";

int roundHalfUp(double x) { return static_cast<int>(x + 0.5); }

// Share of the smallest of L geometric levels with ratio q.
double smallestShare(double q, int levelCount) {
  const double qL = std::pow(q, levelCount);
  return (std::pow(q, levelCount - 1) - qL) / (1.0 - qL);
}

}  // namespace

int qhfcLevelCount(int populationSize, bool on) {
  if (!on) return 0;
  if (populationSize < 10) return 1;
  if (populationSize < 20) return 2;
  if (populationSize < 32) return 3;
  return 4;
}

void qhfcLevelSizes(int populationSize, int levelCount, QhfcLevels& levels) {
  const int P = populationSize;
  const int L = levelCount < 0 ? 0 : levelCount;
  levels = QhfcLevels{};
  levels.count = L;
  if (L == 0) return;
  levels.first.assign(L, 0);
  levels.size.assign(L, 0);
  levels.last.assign(L, 0);
  levels.threshold.assign(L, kLowestAdmission);
  levels.promotions.assign(L, 0);
  levels.victim.assign(P > 0 ? P : 0, 0);

  // The ratio: the smallest q (in steps of 0.95) whose smallest level still holds share t.
  const double t = P < kLargePopulation ? 6.0 / P : kSmallestShareLargePopulation;
  double q = 1.0;
  if (L > 1 && smallestShare(kRatioStep, L) >= t) {
    q = kRatioStep;
    while (smallestShare(q, L) >= t) q *= kRatioStep;
    q /= kRatioStep;
  }

  // The elite level L - 1 first, then downwards. Each size is the integer remainder minus
  // the rounded real remainder; the real remainder starts from the unrounded elite size and
  // loses q times the size of the level above at each step. Level 0 takes the rest.
  const double realFirst =
      std::fabs(q - 1.0) < 0.001 ? static_cast<double>(P) / L
                                 : P * (1.0 - q) / (1.0 - std::pow(q, L));
  levels.size[L - 1] = roundHalfUp(realFirst);
  double realRemainder = P - realFirst;
  int remainder = P - levels.size[L - 1];
  for (int l = L - 2; l >= 1; --l) {
    realRemainder -= q * levels.size[l + 1];
    levels.size[l] = remainder - roundHalfUp(realRemainder);
    remainder -= levels.size[l];
  }
  if (L > 1) levels.size[0] = remainder;

  int end = P;  // one past the last index of the level being placed
  for (int l = L - 1; l >= 0; --l) {
    levels.last[l] = end - 1;
    levels.first[l] = end - levels.size[l];
    end = levels.first[l];
  }

  // A single level is the whole population: a small population (P = 4) has no bottom
  // level to keep apart.
  bool bad = L > 1 && levels.size[0] < kSmallestBottomLevel;
  for (int l = 1; l < L; ++l) bad = bad || levels.size[l] < kSmallestLevel;
  if (bad) fatalError(kSizeError);
}

void qhfcThresholds(std::span<const double> rawAscending, QhfcLevels& levels) {
  const int P = static_cast<int>(rawAscending.size());
  if (levels.count == 0) return;
  levels.threshold.assign(levels.count, kLowestAdmission);
  for (int l = 1; l < levels.count; ++l) {
    int index = P / 3 + (2 * levels.first[l]) / 3;
    if (index > P - 1) index = P - 1;
    if (index >= 0) levels.threshold[l] = rawAscending[index];
  }
}

int qhfcLevelOf(const QhfcLevels& levels, double raw) {
  for (int l = levels.count - 1; l >= 0; --l) {
    if (levels.threshold[l] <= raw) return l;
  }
  if (levels.count > 1) {
    writeMessage("outptr", "error", "\n***Logic error in promotion process, exiting.***\n");
    fatalError("Internal error -431");
  }
  return 0;
}

int qhfcLevelOfMember(const QhfcLevels& levels, int index) {
  for (int l = 0; l < levels.count; ++l) {
    if (index >= levels.first[l] && index <= levels.last[l]) return l;
  }
  return -1;
}

void qhfcMarkVictims(QhfcLevels& levels) {
  std::fill(levels.victim.begin(), levels.victim.end(), 0);
  for (int l = 0; l < levels.count; ++l) {
    const int size = levels.size[l];
    if (size < 2) continue;
    const int flagged = size - size / 2;
    for (int k = 0; k < flagged; ++k) levels.victim[levels.first[l] + k] = 1;
  }
}

bool qhfcHasVictim(const QhfcLevels& levels, int level) {
  if (level < 0 || level >= levels.count) return false;
  for (int i = levels.first[level]; i <= levels.last[level]; ++i) {
    if (levels.victim[i]) return true;
  }
  return false;
}

int qhfcPromote(QhfcLevels& levels, int level) {
  if (level >= 0 && level < levels.count) {
    for (int i = levels.first[level]; i <= levels.last[level]; ++i) {
      if (!levels.victim[i]) continue;
      levels.victim[i] = 0;
      ++levels.promotions[level];
      return i;
    }
  }
  fatalError(formatText("Logic bug, QHFC, level %d victims not correct", level));
}

// ---------------------------------------------------------------------------------------
// Search-decision throttle.

double decisionBenchmarkTicks() {
  const int base = benchmarkSeed;
  const auto start = std::chrono::steady_clock::now();
  long long sum = 0;
  for (int i = 0; i < kBenchmarkSide; ++i) {
    for (int j = 0; j < kBenchmarkSide; ++j) sum += static_cast<long long>(base + i) * (base + j);
  }
  benchmarkSink = sum;
  const auto stop = std::chrono::steady_clock::now();
  const double ms = std::chrono::duration<double, std::milli>(stop - start).count();
  return ms > kLeastTicks ? ms : kLeastTicks;
}

double decisionTimeEstimate(double ticks, int terms, int responses) {
  const double t = static_cast<double>(terms);
  return ticks / 1000.0 * 5.0 * (t * t * t) / 1e8 * (1.0 + 0.05 * responses);
}

int searchDecisionCount(ThrottleState& state, const ThrottleInputs& inputs) {
  const int n = inputs.designVariables;
  const int P = inputs.populationSize;
  if (inputs.evaluated <= n + 1 || P <= 0) return 0;

  // The decision time of the model the evaluated designs support.
  const bool inUse = inputs.decisionsOn && !state.off;
  const int quadraticTerms = (n + 1) * (n + 2) / 2;
  double decisionTime = kDecisionsOffTime;
  if (inUse) {
    const bool quadratic = inputs.evaluated > quadraticTerms;
    double& ticks = quadratic ? state.ticksQuadratic : state.ticksLinear;
    if (ticks < 0.0) ticks = decisionBenchmarkTicks();
    decisionTime =
        decisionTimeEstimate(ticks, quadratic ? quadraticTerms : n + 1, inputs.responses);
  }
  const double analysisTime = inputs.meanAnalysisTime > 0.0 ? inputs.meanAnalysisTime
                                                            : kStandInTime;
  if (decisionTime == 0.0) decisionTime = kStandInTime;

  double limit = 7.0;
  if (decisionTime < 1.0) {
    limit = 1e8;
  } else if (analysisTime <= 0.1) {
    limit = 80.0;
  } else if (analysisTime <= 1.0) {
    limit = 20.0;
  } else if (analysisTime <= 30.0) {
    limit = 10.0;
  }
  const double ratio = decisionTime / analysisTime;

  if (ratio > limit) {
    if (ratio > 10.0 * limit) {
      state.fraction = 0.0;
      state.off = true;
    } else if (ratio > 4.0 * limit) {
      state.fraction = 0.125 / P;
    } else {
      state.fraction = 0.5 / P;
    }
    if (inputs.cyclesLeft < kCyclesForSlowDecisions && ratio < 10.0 * limit &&
        decisionTime < kSlowDecisionTime) {
      return 0;
    }
  } else if (state.fraction < 1.0 / P) {
    state.fraction = 1.0 / P;
  }
  if (!inUse || state.off || state.fraction <= 0.0) return 0;

  const double product = P * state.fraction;
  int count = static_cast<int>(product);
  if (product - count >= nextUniform()) ++count;
  writeFormatted(outptr, "%s\n", kDecisionNote);
  return count;
}

}  // namespace karvo::search
