// Designs as points of the unit cube for the step-wise searches, and the objective and
// constraint values they minimise. Called once per design proposed or scored: cheap next to
// an evaluation.
#include "search/design_vectors.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/messages.h"
#include "base/text.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "evaluation/performance.h"
#include "search/fitness.h"
#include "search/population.h"

namespace karvo::search {

std::vector<double> normalisedFields(const std::vector<int>& chromosome,
                                     const std::vector<int>& fieldSizes) {
  std::vector<double> x(chromosome.size(), 0.0);
  for (std::size_t f = 0; f < chromosome.size() && f < fieldSizes.size(); ++f) {
    if (fieldSizes[f] > 1) {
      x[f] = static_cast<double>(chromosome[f]) / static_cast<double>(fieldSizes[f] - 1);
    }
  }
  return x;
}

std::vector<int> fieldsAt(const std::vector<double>& x, const std::vector<int>& fieldSizes) {
  std::vector<int> chromosome(fieldSizes.size(), 0);
  for (std::size_t f = 0; f < fieldSizes.size() && f < x.size(); ++f) {
    const double top = fieldSizes[f] - 1;
    const double value = std::isfinite(x[f]) ? x[f] : 0.0;
    chromosome[f] = static_cast<int>(std::clamp(std::round(value * top), 0.0, top));
  }
  return chromosome;
}

namespace {

// The normalised deviation d / |n| of every objective (with its response index) and of every
// constraint of a design, in definition order; false for a failed design or one without a
// finite value of each.
bool normalisedDeviations(const Design& design, const PerformanceDefinition& definition,
                          std::vector<std::pair<std::size_t, double>>& objectives,
                          std::vector<double>& constraints) {
  objectives.clear();
  constraints.clear();
  if (design.failed || design.status == kDesignError) return false;
  if (design.responses.size() < static_cast<std::size_t>(definition.count)) return false;
  for (int r = 0; r < definition.count; ++r) {
    const std::size_t i = static_cast<std::size_t>(r);
    const int flag = definition.flag[i];
    if (flag != kResponseObjective && flag != kResponseConstraint) continue;
    const ResponseValue& response = design.responses[i];
    if (!response.present || response.values.empty() || !std::isfinite(response.values[0])) {
      return false;
    }
    double norm = std::fabs(definition.norm[i]);
    if (norm == 0.0) norm = 1.0;
    const double g = deviation(definition, r, response.values[0]) / norm;
    if (flag == kResponseObjective) {
      objectives.emplace_back(i, g);
    } else {
      constraints.push_back(g);
    }
  }
  return true;
}

}  // namespace

bool designGoals(const Design& design, const PerformanceDefinition& definition,
                 double& objective, std::vector<double>& constraints) {
  std::vector<std::pair<std::size_t, double>> deviations;
  if (!normalisedDeviations(design, definition, deviations, constraints)) return false;
  double score = 0.0;
  for (const auto& [i, g] : deviations) {
    const double sign = definition.opt[i] == 1 || definition.opt[i] == 2 ? 1.0 : -1.0;
    score += definition.offset[i] * g + sign * definition.coef[i] * g * g;
  }
  objective = -score;
  return std::isfinite(objective);
}

bool designObjectives(const Design& design, const PerformanceDefinition& definition,
                      std::vector<double>& objectives, std::vector<double>& constraints) {
  objectives.clear();
  std::vector<std::pair<std::size_t, double>> deviations;
  if (!fitnessCounted(design.performance) ||
      !normalisedDeviations(design, definition, deviations, constraints)) {
    constraints.clear();
    return false;
  }
  for (const auto& [i, g] : deviations) {
    if (!std::isfinite(g)) return false;
    objectives.push_back(-g);
  }
  return true;
}

support::ParetoPoint paretoPointOf(const Design& design, const PerformanceDefinition& definition) {
  support::ParetoPoint point;
  std::vector<double> constraints;
  if (!designObjectives(design, definition, point.objectives, constraints)) {
    point.objectives.assign(static_cast<std::size_t>(definition.objectiveCount), 0.0);
    point.failed = true;
    return point;
  }
  for (double g : constraints) {
    if (g > 0.0) point.violation -= g;
  }
  return point;
}

Design startingDesign(const Agent& agent, const Population& population, int number) {
  if (number <= 0) {
    const Member* best = nullptr;
    for (const Member& member : population.members) {
      if (member.origin & kMadeBaseline) return member.design;
      if (!best || member.raw > best->raw) best = &member;
    }
    if (best) return best->design;
    if (population.bestEver.valid) return population.bestEver.design;
  } else {
    AgentResults& results = agentResults(agent);
    const std::size_t size = designStoreSize(results.store);
    for (std::size_t i = 0; i < size; ++i) {
      Design design = designStoreAt(results.store, i);
      if (design.designNumber == number && design.representation == population.representation) {
        return design;
      }
    }
    for (const Member& member : population.members) {
      if (member.design.designNumber == number) return member.design;
    }
  }
  fatalError(formatText(
      "The starting design %d was not found among the designs evaluated by agent %d.", number,
      agent.number));
}

}  // namespace karvo::search
