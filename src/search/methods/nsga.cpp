// NSGA-III through the component's evaluation callback; see nsga.h.
#include "search/methods/nsga.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "external/nsga3.h"
#include "search/design_vectors.h"
#include "search/fitness.h"
#include "search/genetic.h"
#include "search/pareto_archive.h"
#include "search/pareto_file.h"

namespace karvo::search {

namespace {

// The field values of a variable vector of the component: each value truncated, kept in
// the field.
std::vector<int> fieldsOf(const std::vector<double>& values, const std::vector<int>& fieldSizes) {
  std::vector<int> chromosome(fieldSizes.size(), 0);
  for (std::size_t f = 0; f < fieldSizes.size() && f < values.size(); ++f) {
    const double top = fieldSizes[f] - 1;
    const double value = std::isfinite(values[f]) ? std::trunc(values[f]) : 0.0;
    chromosome[f] = static_cast<int>(std::clamp(value, 0.0, top));
  }
  return chromosome;
}

support::NsgaEvaluation evaluationOf(const Member& member, const PerformanceDefinition& definition) {
  support::NsgaEvaluation result;
  result.designNumber = member.design.designNumber;
  if (!designObjectives(member.design, definition, result.objectives, result.constraints)) {
    result.failed = 1;
    result.objectives.assign(static_cast<std::size_t>(definition.objectiveCount), 0.0);
    result.constraints.assign(static_cast<std::size_t>(definition.constraintCount), 0.0);
  }
  return result;
}

// The Pareto file's block of the run: the best fronts of the agent's designs.
void writeFront(const Agent& agent, const std::vector<Member>& evaluated,
                const PerformanceDefinition& definition) {
  std::vector<support::ParetoPoint> points;
  points.reserve(evaluated.size());
  for (const Member& member : evaluated) points.push_back(paretoPointOf(member.design, definition));
  const ArchiveSelection selection = selectArchive(points, agent.method.populationSize);
  std::vector<int> numbers;
  for (int index : selection.members) {
    numbers.push_back(evaluated[static_cast<std::size_t>(index)].design.designNumber);
  }
  appendParetoBlock(paretoFilePath(agent.number, run.settings.postNoEval != 0), numbers,
                    selection.rank);
}

}  // namespace

void nsgaGeneration(Agent& agent, Population& population, FileHandle* log,
                    const EvaluationServices& services) {
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  if (!definition) {
    population.counters.generation += 1;
    finishGeneration(agent, population, log);
    return;
  }
  const std::vector<int>& fieldSizes = population.fieldSizes;
  std::vector<std::vector<double>> initial;
  std::map<std::vector<int>, Member> known;  // the members evaluated by the first cycle
  for (const Member& member : population.members) {
    initial.emplace_back(member.design.chromosome.begin(), member.design.chromosome.end());
    known.emplace(member.design.chromosome, member);
  }
  std::vector<Member> evaluated;  // every design of the run, for the Pareto file
  bool first = true;
  auto callback = [&](int count, const std::vector<std::vector<double>>& variables,
                      std::vector<support::NsgaEvaluation>& results) {
    const int generation = population.counters.generation + (first ? 0 : 1);
    std::vector<Member> batch;
    std::vector<Member> fresh;
    std::vector<int> slot;  // per design: its place in `fresh`, or -1 when known
    for (int i = 0; i < count && i < static_cast<int>(variables.size()); ++i) {
      std::vector<int> chromosome = fieldsOf(variables[static_cast<std::size_t>(i)], fieldSizes);
      auto found = first ? known.find(chromosome) : known.end();
      if (found != known.end()) {
        batch.push_back(found->second);
        slot.push_back(-1);
        continue;
      }
      Member member;
      member.design = makeMemberDesign(agent, population, std::move(chromosome), generation);
      member.birthGeneration = generation;
      member.origin = kMadeCrossover | kMadeMutation;
      slot.push_back(static_cast<int>(fresh.size()));
      fresh.push_back(std::move(member));
      batch.emplace_back();
    }
    if (!fresh.empty()) evaluatePopulationMembers(agent, population, fresh, services);
    results.clear();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (slot[i] >= 0) batch[i] = fresh[static_cast<std::size_t>(slot[i])];
      results.push_back(evaluationOf(batch[i], *definition));
      evaluated.push_back(batch[i]);
    }
    if (!first) {
      population.members = std::move(batch);
      population.counters.crossovers += count / 2;
      population.counters.mutations += count;
      population.counters.generation = generation;
      finishGeneration(agent, population, log);
    }
    first = false;
  };

  std::string error;
  const int answer = support::startNSGA_III(
      1, static_cast<double>(study.randomSeed), agent.number,
      static_cast<int>(fieldSizes.size()), fieldSizes, initial, definition->objectiveCount,
      definition->constraintCount, agent.method.populationSize, agent.method.nsga.numGen,
      run.workingDirectory, error, callback);
  if (answer != 0) {
    fatalError(formatText("Error in the execution of the NSGA-III optimization algorithm. The "
                          "following error was received:\n%s",
                          error.c_str()));
  }
  writeFront(agent, evaluated, *definition);
}

void runNsgaCycle(Agent& agent, const EvaluationServices& services) {
  runPopulationCycle(agent, services, nsgaGeneration);
}

}  // namespace karvo::search
