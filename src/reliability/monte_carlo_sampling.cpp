// The Monte Carlo study of a robustness and reliability agent: every sample takes one random
// value of each random parameter from the parameter's own stream.
#include <vector>

#include "reliability/reliability_study.h"

namespace karvo::reliability {

std::vector<std::vector<double>> monteCarloValues(const std::vector<RandomParameter>& parameters,
                                                  int n) {
  if (n < 1) return {};
  std::vector<std::vector<double>> values(static_cast<std::size_t>(n));
  for (std::vector<double>& sample : values) {
    sample.reserve(parameters.size());
    for (const RandomParameter& parameter : parameters) sample.push_back(drawValue(parameter));
  }
  return values;
}

void runMonteCarloStudy(Agent& agent, const EvaluationServices& services) {
  runSampledStudy(agent, services, monteCarloValues);
}

}  // namespace karvo::reliability
