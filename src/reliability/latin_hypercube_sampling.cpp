// The Latin hypercube study of a robustness and reliability agent: each random parameter's
// range cut into as many intervals of equal probability as there are samples, one value per
// interval, the intervals shuffled independently per parameter. The quantiles cost N calls
// per parameter; the shuffle draws N - 1 numbers per parameter.
#include <algorithm>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/random.h"
#include "reliability/reliability_study.h"

namespace karvo::reliability {

namespace {

// Fewest draws of one rejection loop before the run gives up on a distribution. An end
// interval holds 1/n of the probability, so a loop takes n draws on average; the limit is at
// least 100 n, which a working distribution exceeds with a chance below e^-100.
constexpr long kMinRejectedDraws = 10000000;

// Draws from the parameter's own stream until `accept` holds for the value; n intervals.
template <typename Accept>
double drawUntil(const RandomParameter& parameter, int n, const char* interval, Accept accept) {
  const long limit = std::max(kMinRejectedDraws, 100L * n);
  for (long draw = 0; draw < limit; ++draw) {
    const double value = drawValue(parameter);
    if (accept(value)) return value;
  }
  fatalError(formatText("No random value of the %s distribution of parameter %s fell into the "
                        "%s interval of the Latin hypercube after %ld draws.",
                        parameter.distributionName.c_str(), parameter.name.c_str(), interval,
                        limit));
}

// The n values of one parameter, interval k at index k.
std::vector<double> intervalValues(const RandomParameter& parameter, int n) {
  if (n == 1) return {drawValue(parameter)};
  std::vector<double> bounds(static_cast<std::size_t>(n) + 1, 0.0);  // quantiles at k / n
  for (int k = 1; k < n; ++k) {
    bounds[static_cast<std::size_t>(k)] =
        quantileOf(parameter, static_cast<double>(k) / static_cast<double>(n));
  }
  const bool continuous = isContinuous(parameter);
  std::vector<double> values(static_cast<std::size_t>(n), 0.0);
  const double firstBound = bounds[1];
  values.front() = drawUntil(parameter, n, "first", [&](double v) { return !(v > firstBound); });
  for (int k = 1; k < n - 1; ++k) {
    const double lo = bounds[static_cast<std::size_t>(k)];
    const double hi = bounds[static_cast<std::size_t>(k) + 1];
    values[static_cast<std::size_t>(k)] =
        continuous ? lo + static_cast<double>(nextUniform()) * (hi - lo)
                   : (flip(0.5f) ? lo : hi);
  }
  const double lastBound = bounds[static_cast<std::size_t>(n) - 1];
  values.back() = drawUntil(parameter, n, "last", [&](double v) { return !(v < lastBound); });
  return values;
}

}  // namespace

std::vector<std::vector<double>> latinHypercubeValues(const std::vector<RandomParameter>& parameters,
                                                      int n) {
  writeMessage("outptr", "note", "Generating the Latin Hypercube based design array...");
  if (n < 1) return {};
  const std::size_t samples = static_cast<std::size_t>(n);
  std::vector<std::vector<double>> values(samples, std::vector<double>(parameters.size(), 0.0));
  std::vector<int> order(samples);
  for (std::size_t p = 0; p < parameters.size(); ++p) {
    const std::vector<double> interval = intervalValues(parameters[p], n);
    // One Fisher-Yates shuffle: n - 1 draws, where the repeated shuffle would take n (n - 1)
    // (hours at a million samples).
    shufflePermutation(n, order.data());
    for (std::size_t s = 0; s < samples; ++s) {
      values[s][p] = interval[static_cast<std::size_t>(order[s])];
    }
  }
  return values;
}

void runLatinHypercubeStudy(Agent& agent, const EvaluationServices& services) {
  runSampledStudy(agent, services, latinHypercubeValues);
}

}  // namespace karvo::reliability
