// Fitness statistics, fitness scaling (window, sigma truncation, linear) and the feasibility
// watch of a subpopulation. Runs once per generation of each subpopulation over its members
// (tens to a few thousand), a handful of passes each; nothing is allocated.
#include "search/fitness.h"

#include <algorithm>
#include <cmath>

#include "base/messages.h"
#include "base/design.h"

namespace karvo {

namespace {

struct Moments {
  int counted = 0;
  double min = 0.0;
  double max = 0.0;
  double sum = 0.0;
  double average = 0.0;
  double sigma = 0.0;
};

// Minimum, maximum, sum, average and standard deviation (divisor n) of `values` over the
// members counted by `raw`. Two passes, so that the deviation keeps its digits when the
// values are large and close together.
Moments momentsOf(std::span<const double> raw, std::span<const double> values) {
  Moments m;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (!fitnessCounted(raw[i])) continue;
    const double v = values[i];
    if (m.counted == 0) {
      m.min = m.max = v;
    } else {
      m.min = std::min(m.min, v);
      m.max = std::max(m.max, v);
    }
    m.sum += v;
    ++m.counted;
  }
  if (m.counted == 0) return m;
  m.average = m.sum / m.counted;
  double squares = 0.0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (!fitnessCounted(raw[i])) continue;
    const double d = values[i] - m.average;
    squares += d * d;
  }
  m.sigma = std::sqrt(squares / m.counted);
  return m;
}

// scaled' = max(0, slope * scaled + intercept) for every counted member.
void transformCounted(std::span<const double> raw, std::span<double> scaled, double slope,
                      double intercept) {
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (fitnessCounted(raw[i])) scaled[i] = std::max(0.0, slope * scaled[i] + intercept);
  }
}

bool anyCountedNegative(std::span<const double> raw, std::span<const double> scaled) {
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (fitnessCounted(raw[i]) && scaled[i] < 0.0) return true;
  }
  return false;
}

}  // namespace

bool fitnessCounted(double raw) { return raw > kFailedPerformance; }

void fitnessStart(std::span<const double> raw, std::span<double> scaled,
                  bool requireNonNegative) {
  for (std::size_t i = 0; i < raw.size(); ++i) {
    scaled[i] = (!fitnessCounted(raw[i]) && requireNonNegative) ? 0.0 : raw[i];
  }
}

FitnessStatistics fitnessStatistics(std::span<const double> raw, std::span<const double> scaled,
                                    bool requireNonNegative) {
  if (requireNonNegative && anyCountedNegative(raw, scaled)) {
    fatalError("Must rescale negative fitnesses unless using tournament selection");
  }
  const Moments r = momentsOf(raw, raw);
  const Moments s = momentsOf(raw, scaled);
  FitnessStatistics stats;
  stats.counted = r.counted;
  stats.rawMin = r.min;
  stats.rawMax = r.max;
  stats.rawAverage = r.average;
  stats.rawSigma = r.sigma;
  stats.scaledMin = s.min;
  stats.scaledMax = s.max;
  stats.scaledAverage = s.average;
  stats.scaledSum = s.sum;
  stats.scaledSigma = s.sigma;
  return stats;
}

LinearScaling linearScaling(double average, double maximum, double minimum, double multiplier) {
  const double a = average, M = maximum, m = minimum, C = multiplier;
  LinearScaling line;
  if (a <= 0.0) return line;  // a decreasing line would reverse the order of the members
  if (m > (C * a - M) / (C - 1.0)) {
    if (M - a < 1e-6 * a) return line;
    line.slope = (C - 1.0) * a / (M - a);
    line.intercept = (M - C * a) * a / (M - a);
  } else if (a - m > 1e-6 * a) {
    line.slope = a / (a - m);
    line.intercept = -m * a / (a - m);
  }
  return line;
}

void fitnessWindowScale(FitnessState& state, int window, std::span<const double> raw,
                        std::span<double> scaled) {
  const Moments r = momentsOf(raw, raw);
  if (r.counted == 0) return;
  state.windowMinimum[state.windowNext] = r.min;
  state.windowNext = (state.windowNext + 1) % kScalingWindowSlots;
  state.windowFilled = std::min(state.windowFilled + 1, kScalingWindowSlots);

  const int span = std::min(window + 1, state.windowFilled);
  double smallest = r.min;
  for (int k = 1; k <= span; ++k) {
    const int slot = (state.windowNext - k + kScalingWindowSlots) % kScalingWindowSlots;
    smallest = std::min(smallest, state.windowMinimum[slot]);
  }
  transformCounted(raw, scaled, 1.0, -smallest);
}

void fitnessSigmaTruncate(double coefficient, std::span<const double> raw,
                          std::span<double> scaled) {
  const Moments s = momentsOf(raw, scaled);
  if (s.counted == 0) return;
  transformCounted(raw, scaled, 1.0, -(s.average - coefficient * s.sigma));
}

void fitnessLinearScale(double multiplier, std::span<const double> raw, std::span<double> scaled) {
  const Moments s = momentsOf(raw, scaled);
  if (s.counted == 0) return;
  const LinearScaling line = linearScaling(s.average, s.max, s.min, multiplier);
  if (line.slope == 1.0 && line.intercept == 0.0) return;
  transformCounted(raw, scaled, line.slope, line.intercept);
}

void fitnessScale(const FitnessSettings& settings, FitnessState& state,
                  std::span<const double> raw, std::span<double> scaled, FileHandle* log) {
  fitnessStart(raw, scaled, settings.requireNonNegative);
  if (settings.scalingWindow >= 0) {
    fitnessWindowScale(state, settings.scalingWindow, raw, scaled);
  } else {
    if (settings.sigmaCoefficient != 0.0) {
      fitnessSigmaTruncate(settings.sigmaCoefficient, raw, scaled);
    }
    if (settings.scaleMultiplier > 1.0) fitnessLinearScale(settings.scaleMultiplier, raw, scaled);
  }
  if (settings.requireNonNegative && anyCountedNegative(raw, scaled)) {
    if (log) {
      writeText(log,
                "\n*** ERROR in user_scale_fitness -- Must return"
                " NON-NEGATIVE values to be maximized***\n");
      flushFile(log);
    }
    fatalError("Error in user_scale_fitness -- Must return non-neg. values to be maximized.");
  }
}

FitnessStatistics fitnessUpdate(const FitnessSettings& settings, FitnessState& state,
                                std::span<const double> raw, std::span<double> scaled,
                                FileHandle* log) {
  if (settings.scalingApplies) {
    fitnessScale(settings, state, raw, scaled, log);
  } else {
    fitnessStart(raw, scaled, settings.requireNonNegative);
  }
  return fitnessStatistics(raw, scaled, settings.requireNonNegative);
}

bool fitnessWatchFeasibility(FitnessState& state, std::span<const double> violations,
                             int constraintCount) {
  if (!state.infeasibleStart) return false;
  if (constraintCount <= 0) {
    state.infeasibleStart = false;
    return false;
  }
  const long members = static_cast<long>(violations.size());
  if (members == 0) return state.infeasibleStart;
  long feasible = 0;
  for (double v : violations) {
    if (v == 0.0) ++feasible;
  }
  if (feasible >= 3 || 10 * feasible >= members) state.infeasibleStart = false;
  return state.infeasibleStart;
}

}  // namespace karvo
