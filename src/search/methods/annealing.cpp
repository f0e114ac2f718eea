// Simulated annealing (SA) on the genetic core's cycle: one cycle per temperature, one trial
// per generation. A trial costs one evaluation (or one batch of nParallel candidates); the
// bookkeeping is linear in the number of variables.
//
// The search works in the unit cube of the representation's fields (design_vectors.h) and
// minimises f = -(raw fitness); a failed design counts as worse than any other.
//
// One trial (generation) at temperature T (cycle c of numTemps, annealingTemperature):
//
//   budget used up -> nothing evaluated, the agent is finished (run state 2)
//   -> k = min(nParallel, budget left) neighbours of the current point x: each field moves
//        with probability 2/n (every field when n <= 2, at least one field always) by
//        w * N(0, 1), reflected at the faces of the cube, and the point is rounded to the
//        nearest field values; a neighbour that rounds back to x moves one field step along
//        a random field; a neighbour evaluated before (or already in the batch) is drawn
//        again (up to kRedraws times), so that each trial pays for a new design.
//        A long jump (a share kJumpShare of the trials, once w has fallen below the first
//        width): one field on average moved at the first width kInitialWidth, so that a
//        search that has settled in a basin still tries the neighbouring ones
//   -> the neighbours, evaluated as one batch; the best of them is the trial point y
//   -> Metropolis: d = f(y) - f(x); accepted when d <= 0, otherwise with probability
//      exp(-d / (T * s)), where s is the running mean of the rises d > 0 met so far (the
//      last kRiseMemory of them weigh in): T is measured in typical rises, so the same
//      temperatures suit objectives of any scale. A failed trial point is never accepted.
//   -> step width w (not after a long jump): multiplied by exp(kWidthRate * (a -
//      kTargetAcceptance)) with a = 1 for an accepted trial and 0 otherwise: it grows while
//      the temperature lets most trials through and shrinks as the acceptance falls with
//      the temperature, then follows the success rate of the descent; at most kMaxWidth;
//      once it falls to a quarter of the finest field step (the search has settled on the
//      grid) it starts again at kInitialWidth
//   -> the accepted point becomes the current point (the population's one member); the best
//      design met is kept by the genetic core's best tracking.
//
// At the start of each temperature after the first the current point returns to the best
// design met, so that every temperature anneals from the best region found so far.
#include "search/agent_record.h"
#include "search/methods/annealing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>

#include "base/random.h"
#include "base/run_state.h"
#include "base/state_archive.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "search/design_vectors.h"
#include "search/genetic.h"

namespace karvo::search {

namespace {

constexpr double kInitialWidth = 0.1;       // first step width, share of each range
constexpr double kMaxWidth = 0.5;           // widest step
constexpr double kTargetAcceptance = 0.3;   // acceptance rate the width settles at
constexpr double kWidthRate = 0.3;          // log change of the width per trial
constexpr int kRiseMemory = 20;             // rises averaged for the temperature unit
constexpr int kRedraws = 20;                // draws of a neighbour not evaluated before
constexpr double kMovedFields = 2.0;        // fields a move changes on average
constexpr double kJumpShare = 0.15;         // share of trials that are long jumps

struct AnnealingRun {
  bool ready = false;
  double width = kInitialWidth;    // step width w, share of each variable's range
  double minWidth = 0.0;           // a quarter of the finest field step
  double rise = 0.0;               // running mean of the rises met (the temperature unit)
  long rises = 0;                  // rises met
  int cycle = -1;                  // the cycle (temperature) of the last trial
};

std::map<int, AnnealingRun>& annealingRuns() {
  static std::map<int, AnnealingRun> table;
  return table;
}

double objectiveOf(const Member& member) {
  return fitnessCounted(member.raw) ? -member.raw : std::numeric_limits<double>::infinity();
}

// The starting point of the agent as its one member.
void setUp(Agent& agent, Population& population, AnnealingRun& a) {
  const int number = agent.method.local.startingDesign;
  Design start = startingDesign(agent, population, number);
  if (number > 0 && start.chromosome.size() == population.fieldSizes.size()) {
    Member member;
    member.design = std::move(start);
    member.raw = member.design.failed ? kFailedPerformance : member.design.performance;
    member.origin = kMadeHistory;
    population.members.assign(1, std::move(member));
  } else if (population.members.size() > 1) {
    auto best = std::max_element(population.members.begin(), population.members.end(),
                                 [](const Member& x, const Member& y) { return x.raw < y.raw; });
    Member kept = *best;
    population.members.assign(1, std::move(kept));
  }
  double finest = 1.0;
  for (int size : population.fieldSizes) {
    if (size > 1) finest = std::min(finest, 1.0 / (size - 1));
  }
  a.minWidth = 0.25 * finest;
  a.width = kInitialWidth;
  a.ready = true;
}

double reflected(double v) {
  if (v < 0.0) v = -v;
  if (v > 1.0) v = 2.0 - v;
  return std::clamp(v, 0.0, 1.0);
}

// A neighbour of `current` (field values) at step width `width` (see the top of the file).
std::vector<int> neighbour(const std::vector<int>& current, const std::vector<int>& sizes,
                           double width, double movedFields) {
  const std::vector<double> x = normalisedFields(current, sizes);
  std::vector<double> y = x;
  std::vector<int> active;
  for (std::size_t f = 0; f < sizes.size(); ++f) {
    if (sizes[f] > 1) active.push_back(static_cast<int>(f));
  }
  // Each field moves with probability kMovedFields / n (all of them for n <= kMovedFields);
  // at least one moves.
  const int n = static_cast<int>(active.size());
  const float share = static_cast<float>(std::min(1.0, movedFields / std::max(1, n)));
  bool moved = false;
  for (int f : active) {
    if (share < 1.0f && !flip(share)) continue;
    y[static_cast<std::size_t>(f)] = reflected(x[static_cast<std::size_t>(f)] + width * normalDeviate());
    moved = true;
  }
  if (!moved && n > 0) {
    const std::size_t f = static_cast<std::size_t>(active[static_cast<std::size_t>(randomInt(0, n - 1))]);
    y[f] = reflected(x[f] + width * normalDeviate());
  }
  std::vector<int> fields = fieldsAt(y, sizes);
  if (fields == current && !active.empty()) {
    const std::size_t f = static_cast<std::size_t>(
        active[static_cast<std::size_t>(randomInt(0, static_cast<int>(active.size()) - 1))]);
    const int up = flip(0.5f) ? 1 : -1;
    int value = fields[f] + up;
    if (value < 0 || value >= sizes[f]) value = fields[f] - up;
    fields[f] = value;
  }
  return fields;
}

// The best tracking of the genetic core sees every design that improves on the best ever,
// then the current point becomes the population's one member again.
void settle(Agent& agent, Population& population, FileHandle* log, const Member& current,
            const std::vector<Member>& batch) {
  const Member* best = nullptr;
  for (const Member& member : batch) {
    if (fitnessCounted(member.raw) && (!best || member.raw > best->raw)) best = &member;
  }
  if (best && best->raw > current.raw &&
      (!population.bestEver.valid || best->raw > population.bestEver.raw)) {
    population.members.assign(1, *best);
    finishGeneration(agent, population, log);
  }
  population.members.assign(1, current);
  finishGeneration(agent, population, log);
}

void annealingGeneration(Agent& agent, Population& population, FileHandle* log,
                         const EvaluationServices& services) {
  AnnealingRun& a = annealingRuns()[agent.number];
  const int generation = population.counters.generation + 1;
  population.counters.generation = generation;
  if (!a.ready) setUp(agent, population, a);
  const LocalSearchSettings& local = agent.method.local;
  const long remaining = static_cast<long>(agent.method.numEvals) - agent.evaluatedDesigns;
  if (remaining <= 0 || population.members.empty()) {
    agent.runState = 2;
    finishGeneration(agent, population, log);
    return;
  }
  // A new temperature starts from the best design met.
  if (a.cycle >= 0 && run.currentCycle != a.cycle && population.bestEver.valid &&
      population.bestEver.raw > population.members.front().raw &&
      population.bestEver.design.chromosome.size() == population.fieldSizes.size()) {
    Member best;
    best.design = population.bestEver.design;
    best.raw = population.bestEver.raw;
    best.origin = kMadeHistory;
    population.members.assign(1, std::move(best));
  }
  a.cycle = run.currentCycle;
  const double temperature =
      annealingTemperature(local.startTemp, local.endTemp, local.numTemps, run.currentCycle);

  Member current = population.members.front();
  const int count = static_cast<int>(std::clamp<long>(std::max(1, study.nParallel), 1, remaining));
  const DesignStore& store = agentResults(agent).store;
  // A long jump: one field (on average) moved at the first width, whatever the width has
  // become, so that a settled search still tries the neighbouring basins.
  const bool jump = a.width < kInitialWidth && flip(static_cast<float>(kJumpShare));
  const double width = jump ? kInitialWidth : a.width;
  const double movedFields = jump ? 1.0 : kMovedFields;
  std::vector<Member> trials;
  for (int k = 0; k < count; ++k) {
    std::vector<int> fields;
    for (int tries = 0; tries < kRedraws; ++tries) {
      fields = neighbour(current.design.chromosome, population.fieldSizes, width, movedFields);
      const bool inBatch = std::any_of(trials.begin(), trials.end(), [&](const Member& m) {
        return m.design.chromosome == fields;
      });
      if (inBatch) continue;
      if (!store.enabled) break;
      if (!designStoreFind(store, makeMemberDesign(agent, population, fields, generation))) break;
    }
    Member trial;
    trial.design = makeMemberDesign(agent, population, std::move(fields), generation);
    trial.birthGeneration = generation;
    trial.origin = kMadeMutation;
    trial.firstparent = current.raw;
    trial.mut_width = width;
    trials.push_back(std::move(trial));
  }
  population.counters.mutations += static_cast<long>(trials.size());
  evaluatePopulationMembers(agent, population, trials, services);

  std::size_t chosen = 0;
  for (std::size_t i = 1; i < trials.size(); ++i) {
    if (objectiveOf(trials[i]) < objectiveOf(trials[chosen])) chosen = i;
  }
  const double fx = objectiveOf(current);
  const double fy = objectiveOf(trials[chosen]);
  bool accepted = false;
  if (std::isfinite(fy)) {
    if (fy <= fx) {
      accepted = true;
    } else {
      const double rise = fy - fx;
      ++a.rises;
      a.rise += (rise - a.rise) / static_cast<double>(std::min<long>(a.rises, kRiseMemory));
      const double unit = temperature * a.rise;
      accepted = unit > 0.0 && static_cast<double>(nextUniform()) < std::exp(-rise / unit);
    }
  }
  if (!jump) a.width *= std::exp(kWidthRate * ((accepted ? 1.0 : 0.0) - kTargetAcceptance));
  // A width at its floor: the search has settled on the grid; it starts moving widely again.
  a.width = a.width <= a.minWidth ? kInitialWidth : std::clamp(a.width, a.minWidth, kMaxWidth);
  if (accepted) current = trials[chosen];
  settle(agent, population, log, current, trials);
  if (agent.evaluatedDesigns >= agent.method.numEvals) agent.runState = 2;
}

}  // namespace

double annealingTemperature(double startTemp, double endTemp, int numTemps, int cycle) {
  if (cycle <= 0 || numTemps <= 1) return startTemp;
  if (cycle >= numTemps - 1) return endTemp;
  return startTemp * std::pow(endTemp / startTemp,
                              static_cast<double>(cycle) / static_cast<double>(numTemps - 1));
}

void resetAnnealingState() { annealingRuns().clear(); }

namespace {

constexpr std::int32_t kAnnealingMark = 0x53414e41;  // "ANAS": the annealing record follows

// Every field of the record; a later generation reads all of them. `cycle` is compared with
// run.currentCycle: it holds the cycle numbering of the run that wrote it.
void keepFields(StateArchive& archive, AnnealingRun& a) {
  archive.items(a.ready, a.width, a.minWidth, a.rise, a.rises, a.cycle);
}

}  // namespace

void keepAnnealingState(Agent& agent, StateArchive& archive) {
  keepAgentRecord(annealingRuns(), agent.number, archive, kAnnealingMark,
                  [](const AnnealingRun& r) { return r.rises >= 0 && r.cycle >= -1; });
}

void runAnnealingCycle(Agent& agent, const EvaluationServices& services) {
  runPopulationCycle(agent, services, annealingGeneration);
}

}  // namespace karvo::search
