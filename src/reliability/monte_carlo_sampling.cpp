// The Monte Carlo study of a robustness and reliability agent: every sample takes one random
// value of each random parameter from the parameter's own stream.
#include <vector>

#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "evaluation/evaluation_flow.h"
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
  const Design baseline = baselineDesign(agent);
  const std::vector<RandomParameter> parameters =
      randomParametersOf(static_cast<std::size_t>(baseline.num_dvar));
  if (parameters.empty()) {
    warnNoRandomParameters(agent);
    return;
  }
  const std::vector<std::vector<double>> values =
      monteCarloValues(parameters, agent.method.numEvals);
  std::vector<Design> samples;
  samples.reserve(values.size());
  for (const std::vector<double>& sample : values) {
    samples.push_back(sampleDesign(baseline, parameters, sample));
  }
  evaluateSamples(agent, samples, services);
  writeSampleResults(agent, samples);
}

}  // namespace karvo::reliability
