// NSGA-III through the component's evaluation callback, one generation per cycle; see
// nsga.h. Per generation the work is one batch of populationSize designs; the method's own
// bookkeeping (the candidates of the Pareto file) costs populationSize x candidates
// domination tests, small next to the evaluations.
//
// State of an agent between cycles (NsgaRun, kept in the checkpoint by keepNsgaState):
//
//   the component's run state      settings, generator, population (external/nsga3.h)
//   the front candidates           every design the run evaluated that may still be among
//                                  the best fronts written at its end (FrontCandidates)
//
// The Pareto file's block at the end of the run is selectArchive over every design the run
// evaluated (in evaluation order, one point per design of each batch). A design that at
// least `capacity` (the population size) others dominate can never be chosen: every design
// dominating it lies in an earlier front, so the fronts before its own already hold
// `capacity` designs, and leaving it out changes neither the fronts before it nor their
// order. The candidates are the evaluated designs less those: the same block, from a list
// that stays near the size of the best fronts instead of growing with every generation.
#include "search/methods/nsga.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/state_archive.h"
#include "base/text.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "external/nsga3.h"
#include "external/pareto_sort.h"
#include "search/design_vectors.h"
#include "search/fitness.h"
#include "search/genetic.h"
#include "search/pareto_archive.h"
#include "search/pareto_file.h"

namespace karvo::search {

namespace {

// Marks around an agent's NSGA state in a checkpoint ("NSGA" and "NSG/").
constexpr std::int32_t kStateMark = 0x4E534741;
constexpr std::int32_t kStateEndMark = 0x4E53472F;

// The evaluated designs that may still be chosen for the Pareto file (see the top of this
// file), in evaluation order.
struct FrontCandidates {
  std::vector<support::ParetoPoint> points;  // as paretoPointOf makes them
  std::vector<int> numbers;                  // design number of each point
  std::vector<int> dominators;               // designs seen that dominate each point, >= 0
                                             // (a lower bound of all that do)
};

struct NsgaRun {
  bool started = false;               // the component's run has been started
  support::NsgaRunState component;    // the component's run
  FrontCandidates candidates;
};

std::map<int, NsgaRun>& nsgaRuns() {
  static std::map<int, NsgaRun> table;
  return table;
}

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

// Adds the designs of one batch to the candidates, then drops every candidate that at least
// `capacity` designs dominate (none when capacity < 1).
void addCandidates(FrontCandidates& candidates, const std::vector<Member>& batch,
                   const PerformanceDefinition& definition, int capacity) {
  for (const Member& member : batch) {
    support::ParetoPoint point = paretoPointOf(member.design, definition);
    int dominators = 0;
    for (std::size_t k = 0; k < candidates.points.size(); ++k) {
      const int d = support::paretoDominance(candidates.points[k], point);
      if (d > 0) ++dominators;
      if (d < 0) ++candidates.dominators[k];
    }
    candidates.points.push_back(std::move(point));
    candidates.numbers.push_back(member.design.designNumber);
    candidates.dominators.push_back(dominators);
  }
  if (capacity < 1) return;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < candidates.points.size(); ++k) {
    if (candidates.dominators[k] >= capacity) continue;
    if (kept != k) {
      candidates.points[kept] = std::move(candidates.points[k]);
      candidates.numbers[kept] = candidates.numbers[k];
      candidates.dominators[kept] = candidates.dominators[k];
    }
    ++kept;
  }
  candidates.points.resize(kept);
  candidates.numbers.resize(kept);
  candidates.dominators.resize(kept);
}

// The Pareto file's block of the run: the best fronts of the designs it evaluated.
void writeFront(const Agent& agent, const FrontCandidates& candidates) {
  const ArchiveSelection selection =
      selectArchive(candidates.points, agent.method.populationSize);
  std::vector<int> numbers;
  for (int index : selection.members) {
    numbers.push_back(candidates.numbers[static_cast<std::size_t>(index)]);
  }
  appendParetoBlock(paretoFilePath(agent.number, run.settings.postNoEval != 0), numbers,
                    selection.rank);
}

[[noreturn]] void componentFailed(const std::string& error) {
  fatalError(formatText("Error in the execution of the NSGA-III optimization algorithm. The "
                        "following error was received:\n%s",
                        error.c_str()));
}

// One generation of the component. Its callback evaluates the designs asked for as one
// batch. The component's first generation is the population the genetic core has evaluated:
// its members are answered from `known` (by their field values), and it is not a generation
// of the genetic core's reports; every later one is.
void stepComponent(Agent& agent, Population& population, FileHandle* log,
                   const EvaluationServices& services, NsgaRun& state,
                   const PerformanceDefinition& definition,
                   const std::map<std::vector<int>, Member>& known) {
  const bool first = state.component.generation == 0;
  const std::vector<int>& fieldSizes = population.fieldSizes;
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
      results.push_back(evaluationOf(batch[i], definition));
    }
    addCandidates(state.candidates, batch, definition, agent.method.populationSize);
    if (!first) {
      population.members = std::move(batch);
      population.counters.crossovers += count / 2;
      population.counters.mutations += count;
      population.counters.generation = generation;
      finishGeneration(agent, population, log);
    }
  };
  std::string error;
  if (support::nsgaStep(state.component, error, callback) != 0) componentFailed(error);
}

// Starts the component's run from the population (a state left by an earlier run is
// dropped) and answers the members by their field values.
std::map<std::vector<int>, Member> startComponent(const Agent& agent, const Population& population,
                                                  const PerformanceDefinition& definition,
                                                  NsgaRun& state) {
  const std::vector<int>& fieldSizes = population.fieldSizes;
  std::vector<std::vector<double>> initial;
  std::map<std::vector<int>, Member> known;
  for (const Member& member : population.members) {
    initial.emplace_back(member.design.chromosome.begin(), member.design.chromosome.end());
    known.emplace(member.design.chromosome, member);
  }
  state = NsgaRun{};
  std::string error;
  if (support::nsgaStart(state.component, 1, static_cast<double>(study.randomSeed), agent.number,
                         static_cast<int>(fieldSizes.size()), fieldSizes, initial,
                         definition.objectiveCount, definition.constraintCount,
                         agent.method.populationSize, agent.method.nsga.numGen,
                         run.workingDirectory, error) != 0) {
    componentFailed(error);
  }
  state.started = true;
  return known;
}

// The candidates' fields; on reading, checked against `objectives` values per point.
void keepCandidates(StateArchive& archive, FrontCandidates& candidates, int objectives) {
  const auto m = static_cast<std::size_t>(objectives);
  std::vector<double> values;  // the objectives of every point, one after the other
  std::vector<double> violations;
  std::vector<int> failed;
  if (!archive.reading()) {
    for (const support::ParetoPoint& point : candidates.points) {
      values.insert(values.end(), point.objectives.begin(), point.objectives.end());
      violations.push_back(point.violation);
      failed.push_back(point.failed ? 1 : 0);
    }
  }
  archive.items(values, violations, failed, candidates.numbers, candidates.dominators);
  if (!archive.reading() || !archive.ok()) return;
  const std::size_t count = candidates.numbers.size();
  bool valid = m > 0 && violations.size() == count && failed.size() == count &&
               candidates.dominators.size() == count && values.size() / m == count &&
               values.size() % m == 0;
  for (std::size_t k = 0; valid && k < count; ++k) {
    valid = std::isfinite(violations[k]) && violations[k] <= 0.0 &&
            (failed[k] == 0 || failed[k] == 1) && candidates.dominators[k] >= 0;
  }
  for (std::size_t i = 0; valid && i < values.size(); ++i) valid = std::isfinite(values[i]);
  if (!valid) {
    archive.fail();
    return;
  }
  candidates.points.assign(count, {});
  for (std::size_t k = 0; k < count; ++k) {
    support::ParetoPoint& point = candidates.points[k];
    point.objectives.assign(values.begin() + static_cast<std::ptrdiff_t>(k * m),
                            values.begin() + static_cast<std::ptrdiff_t>((k + 1) * m));
    point.violation = violations[k];
    point.failed = failed[k] != 0;
  }
}

}  // namespace

void nsgaGeneration(Agent& agent, Population& population, FileHandle* log,
                    const EvaluationServices& services) {
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  NsgaRun& state = nsgaRuns()[agent.number];
  std::map<std::vector<int>, Member> known;
  // A population at generation 0 has just been made: a new run starts from it.
  if (definition && (!state.started || population.counters.generation == 0)) {
    known = startComponent(agent, population, *definition, state);
  }
  // An extended run may ask for more generations than the run it goes on from.
  if (state.started) {
    state.component.numGenerations =
        std::max(state.component.numGenerations, agent.method.nsga.numGen);
  }
  if (!definition || !state.started || support::nsgaFinished(state.component)) {
    population.counters.generation += 1;
    finishGeneration(agent, population, log);
    return;
  }
  if (state.component.generation == 0) {
    stepComponent(agent, population, log, services, state, *definition, known);
  }
  stepComponent(agent, population, log, services, state, *definition, known);
  if (support::nsgaFinished(state.component)) writeFront(agent, state.candidates);
}

void runNsgaCycle(Agent& agent, const EvaluationServices& services) {
  runPopulationCycle(agent, services, nsgaGeneration);
}

void resetNsgaState() { nsgaRuns().clear(); }

void keepNsgaState(Agent& agent, StateArchive& archive) {
  NsgaRun read;
  NsgaRun* state = &read;
  if (!archive.reading()) {
    auto found = nsgaRuns().find(agent.number);
    if (found != nsgaRuns().end()) state = &found->second;
  }
  archive.mark(kStateMark);
  archive.item(state->started);
  if (state->started) {
    support::keepNsgaRunState(archive, state->component);
    keepCandidates(archive, state->candidates, state->component.numObjectives);
  }
  archive.mark(kStateEndMark);
  if (!archive.reading() || !archive.ok()) return;
  if (read.started) {
    // The run must be this agent's, with the objectives and constraints of its performance.
    const PerformanceDefinition* definition = findPerformance(agent.performance);
    if (read.component.agent != agent.number ||
        (definition && (definition->objectiveCount != read.component.numObjectives ||
                        definition->constraintCount != read.component.numConstraints))) {
      archive.fail();
      return;
    }
  }
  nsgaRuns()[agent.number] = std::move(read);
}

}  // namespace karvo::search
