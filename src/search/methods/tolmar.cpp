// The hybrid adaptive search (TOLMAR): the genetic core's cycle (initial population,
// migrants, generations, convergence, reports) with this generation step.
//
// One generation of an agent with P members and L levels:
//
//   members sorted by raw fitness (worst first) -> level thresholds, victims
//   -> slots: the new designs of this generation, the budget left spread over the cycles
//      left (at least 2, at most P; the same whether the designs run one at a time or side
//      by side: the sizing already makes P a multiple of the batch size)
//   -> model-based designs: the throttle's count of search decisions, and at least 30 % of
//      the slots while the throttle leaves decisions at full strength (at most slots - 1)
//   -> the other slots: parents from one level (a tournament of two inside the level, the
//      levels taken in turn from the top), adaptive crossover and adaptive mutation of that
//      level's family; a child equal to a parent or to a design evaluated before is mutated
//      again; with a model of the designs so far, 30 such candidates are made per slot and
//      the most promising one is kept (pre-screening)
//   -> the new designs, evaluated as one batch
//   -> operator credit, the trust region of the model-based decisions
//   -> each new design, best first, enters the highest level whose threshold it reaches
//      and that still has a victim, replacing the victim when it is better
//   -> fitness statistics and best tracking, then the adaptive operator probabilities.
//
// Only the random draws decide the designs (the throttle's timing aside, which only ever
// acts when model building is slow next to the analyses), so a run repeats from its seed
// whether its designs run one at a time or side by side.
#include "search/methods/tolmar.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_set>

#include "base/design.h"
#include "base/random.h"
#include "base/state_archive.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "evaluation/performance.h"
#include "platform/platform.h"
#include "search/design_vectors.h"
#include "search/fitness.h"
#include "search/genetic.h"
#include "search/model_search.h"
#include "search/tolmar_levels.h"
#include "search/tolmar_operators.h"

namespace karvo::search {

namespace {

constexpr int kScreenedCandidates = 30;  // operator-made candidates per slot with a model
constexpr double kDecisionShare = 0.3;   // least share of model-based new designs
// The same with constraints: the optimum then lies on the boundary of the active
// constraints, which the constraint models locate and the operators' designs only
// approach; without constraints the operators' designs carry the search between basins.
constexpr double kDecisionShareConstrained = 0.5;
constexpr double kFinalLocalShare = 0.15;  // share of the cycles at the end in the local phase

struct TolmarRun {
  bool ready = false;
  QhfcLevels levels;
  AdaptiveState adaptive;
  ThrottleState throttle;
  ModelSearchState model;
  std::vector<ModelSample> samples;      // every scored design of the agent, normalised
  std::unordered_set<int> sampled;       // their design numbers
  std::size_t storeSeen = 0;             // stored designs already looked at
  double analysisSeconds = 0.0;          // wall time of the batches, per design evaluated
  long analysisCount = 0;
};

std::map<int, TolmarRun>& tolmarRuns() {
  static std::map<int, TolmarRun> table;
  return table;
}

// The sample of a scored design: its point and the values the models minimise.
bool sampleOf(const Design& design, const PerformanceDefinition& definition,
              const std::vector<int>& fieldSizes, ModelSample& sample) {
  if (design.chromosome.size() != fieldSizes.size()) return false;
  if (!designGoals(design, definition, sample.objective, sample.constraints)) return false;
  sample.x = normalisedFields(design.chromosome, fieldSizes);
  return true;
}

void addSample(TolmarRun& t, const Design& design, const PerformanceDefinition* definition,
               const Population& population) {
  if (!definition || design.designNumber <= 0 ||
      design.representation != population.representation) {
    return;
  }
  if (!t.sampled.insert(design.designNumber).second) return;
  ModelSample sample;
  if (sampleOf(design, *definition, population.fieldSizes, sample)) {
    t.samples.push_back(std::move(sample));
  }
}

// Brings the samples up to date with the agent's stored designs (every design it evaluated,
// also in earlier runs) and with the current members.
void collectSamples(Agent& agent, const Population& population, TolmarRun& t) {
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  AgentResults& results = agentResults(agent);
  if (results.store.enabled) {
    // The store holds a batch's designs in the order they finished, which side by side
    // differs from run to run; the models see them in design order, so that the same seed
    // gives the same designs.
    const std::size_t size = designStoreSize(results.store);
    std::vector<Design> added;
    for (; t.storeSeen < size; ++t.storeSeen)
      added.push_back(designStoreAt(results.store, t.storeSeen));
    std::stable_sort(added.begin(), added.end(), [](const Design& a, const Design& b) {
      return a.designNumber < b.designNumber;
    });
    for (const Design& design : added) addSample(t, design, definition, population);
  }
  for (const Member& member : population.members) {
    addSample(t, member.design, definition, population);
  }
  if (population.bestEver.valid) addSample(t, population.bestEver.design, definition, population);
}

void sortAscending(std::vector<Member>& members) {
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.raw < b.raw; });
}

void setUp(Agent& agent, const Population& population, TolmarRun& t) {
  const int size = static_cast<int>(population.members.size());
  const int n = static_cast<int>(population.fieldSizes.size());
  const int count = qhfcLevelCount(size, agent.method.tolmar.qhfc);
  qhfcLevelSizes(size, count, t.levels);
  adaptiveReset(t.adaptive, size, std::max(1.0, std::sqrt(static_cast<double>(n))));
  std::vector<char> discrete(population.fieldSizes.size(), 0);
  t.adaptive.fineGrained = mostlyFineGrained(population.fieldSizes, discrete) ? 1 : 0;
  t.throttle = ThrottleState{};
  t.throttle.off = !agent.method.tolmar.searchDecisions;
  t.model = ModelSearchState{};
  t.ready = true;
}

// A parent from `level` (the whole population without levels): the better of two drawn
// from the level by raw fitness.
int pickParent(const QhfcLevels& levels, int level, int populationSize) {
  int low = 0;
  int high = populationSize - 1;
  if (levels.count > 0 && level >= 0) {
    low = levels.first[static_cast<std::size_t>(level)];
    high = levels.last[static_cast<std::size_t>(level)];
  }
  return randomInt(low, high);
}

int betterOf(const Population& population, int a, int b) {
  const auto& m = population.members;
  return m[static_cast<std::size_t>(b)].raw > m[static_cast<std::size_t>(a)].raw ? b : a;
}

// The number of new designs of this generation (see the top of the file); `pending`
// designs are made but not counted yet, and `cyclesLeft` generations are left.
int slotCount(const Agent& agent, const Population& population, int pending, long cyclesLeft) {
  const int size = static_cast<int>(population.members.size());
  const long limit = agent.method.numEvals > 0 ? agent.method.numEvals : 0;
  const long remaining = limit > 0 ? limit - agent.evaluatedDesigns - pending : size;
  if (remaining <= 0) return 0;
  cyclesLeft = std::max(1L, cyclesLeft);
  long slots = (remaining + cyclesLeft - 1) / cyclesLeft;
  slots = std::clamp<long>(slots, 2, size);
  return static_cast<int>(std::min(slots, remaining));
}

bool sameChromosome(const std::vector<int>& a, const Member& m) {
  return a == m.design.chromosome;
}

// Sorts the members worst first and, with levels, sets the level thresholds and marks the
// victims of this generation.
void rankMembers(Population& population, TolmarRun& t) {
  sortAscending(population.members);
  std::vector<double> raw;
  for (const Member& member : population.members) raw.push_back(member.raw);
  if (t.levels.count > 0) {
    qhfcThresholds(raw, t.levels);
    qhfcMarkVictims(t.levels);
  }
}

bool constrained(const PerformanceDefinition* definition) {
  return definition && definition->constraintCount > 0;
}

// How many of a generation's `slots` designs the local phase makes as trust-region steps:
// most of them, a quarter (at least one) left to the operators, whose designs keep the local
// fits spread and carry the search between basins; with constraints all of them (see
// kDecisionShareConstrained).
int localStepCount(const PerformanceDefinition* definition, int decisions, int slots) {
  if (constrained(definition)) return slots;
  return std::max(decisions, slots - std::max(1, slots / 4));
}

// The number of model-based designs among the `slots` new ones: the throttle's count, raised
// to the least share while the throttle leaves the decisions at full strength, and always
// leaving one slot to the operators.
int decisionCount(const Agent& agent, const Population& population,
                  const PerformanceDefinition* definition, int slots, TolmarRun& t) {
  const int size = static_cast<int>(population.members.size());
  const int n = static_cast<int>(population.fieldSizes.size());
  ThrottleInputs inputs;
  inputs.evaluated = static_cast<int>(t.samples.size());
  inputs.designVariables = n;
  inputs.responses = definition ? definition->count : 0;
  inputs.meanAnalysisTime = t.analysisCount > 0 ? t.analysisSeconds / t.analysisCount : 0.0;
  inputs.populationSize = size;
  inputs.cyclesLeft = std::max(0, agent.method.numCycles - run.currentCycle - 1);
  inputs.decisionsOn = agent.method.tolmar.searchDecisions;
  inputs.qhfc = t.levels.count > 0;
  t.throttle.fraction = t.adaptive.searchFraction;
  int decisions = searchDecisionCount(t.throttle, inputs);
  t.adaptive.searchFraction = t.throttle.fraction;
  // While the throttle leaves the decisions at full strength (a fraction of at least 1/P),
  // at least kDecisionShare of the new designs are model-based; its cut-backs act as they
  // are.
  if (!t.throttle.off && t.throttle.fraction * size >= 1.0 - 1e-9 && inputs.evaluated > n + 1) {
    const double share = constrained(definition) ? kDecisionShareConstrained : kDecisionShare;
    decisions = std::max(decisions, static_cast<int>(std::lround(share * slots)));
  }
  return std::clamp(decisions, 0, slots - 1);
}

// In the last cycles of the budget every generation is in the local phase (its model-based
// designs trust-region steps around the best design, evaluated a batch at a time): with so
// few designs left, one spent exploring can no longer be followed up, and the best design's
// region gains more. Only while the throttle leaves model-based designs at all.
void enterFinalLocalPhase(const Agent& agent, long cyclesLeft, int decisions, TolmarRun& t) {
  if (decisions > 0 && cyclesLeft < kFinalLocalShare * agent.method.numCycles) {
    t.model.localPhase = 1;
  }
}

ModelRequest modelRequest(const Population& population, int count) {
  ModelRequest request;
  request.count = count;
  request.basins = true;
  request.followBest = true;
  request.step.resize(population.fieldSizes.size());
  for (std::size_t f = 0; f < request.step.size(); ++f) {
    request.step[f] = population.fieldSizes[f] > 1 ? 1.0 / (population.fieldSizes[f] - 1) : 0.0;
  }
  // A continuous variable with a positive lower bound may be modelled in its logarithm:
  // lower + x (upper - lower) = (upper - lower) (x + shift).
  const Representation* representation = findRepresentation(population.representation);
  if (representation == nullptr) return request;
  request.logShift.assign(request.step.size(), 0.0);
  for (std::size_t f = 0; f < request.step.size() && f < representation->slots.size(); ++f) {
    const VariableSlot& slot = representation->slots[f];
    if (slot.kind == kSlotContinuous && slot.lower > 0.0 && slot.upper > slot.lower)
      request.logShift[f] = slot.lower / (slot.upper - slot.lower);
  }
  return request;
}

// The new design of a model proposal; its parents count as the best design so far.
Member modelMember(const Agent& agent, const Population& population,
                   const ModelProposal& proposal, int generation, double bestBefore) {
  Member member;
  member.design = makeMemberDesign(agent, population,
                                   fieldsAt(proposal.x, population.fieldSizes), generation);
  member.birthGeneration = generation;
  member.origin = kMadeDecision;
  member.ga_operator = proposal.code;
  member.firstparent = bestBefore;
  member.secondparent = bestBefore;
  return member;
}

// Asks `request` to keep its proposals apart from `designs` (designs not evaluated yet).
void keepApart(ModelRequest& request, std::span<const Member> designs,
               const Population& population) {
  for (const Member& member : designs) {
    request.avoid.push_back(normalisedFields(member.design.chromosome, population.fieldSizes));
  }
}

// Adds the model's proposals as new designs, apart from `apart` (designs not evaluated yet);
// `made` receives the proposals in the order of the designs.
void addModelDesigns(const Agent& agent, const Population& population, TolmarRun& t,
                     int decisions, int generation, double bestBefore,
                     std::vector<Member>& children, std::vector<ModelProposal>* made = nullptr,
                     std::span<const Member> apart = {}) {
  ModelRequest request = modelRequest(population, decisions);
  keepApart(request, apart, population);
  for (ModelProposal& proposal : proposeModelDesigns(t.samples, request, t.model)) {
    children.push_back(modelMember(agent, population, proposal, generation, bestBefore));
    if (made) made->push_back(std::move(proposal));
  }
}

// What the operator-made designs of one generation share.
struct Breeding {
  const Agent& agent;
  const Population& population;
  TolmarRun& t;
  const ScreeningModel* screen;                      // null: one candidate per slot
  std::vector<const std::vector<int>*> chromosomes;  // the members', for the mutations
  const DesignStore& store;                          // the designs evaluated before
  Design probe;                                      // looks a chromosome up in `store`
  int generation;
};

// The new design of one slot, bred from parents of `level` (-1: no levels; `lower`: a level
// of the lower half) by that level's operators: the most promising of the candidates by the
// screening model, each made new by mutation when it repeats a parent, a design made before
// in this generation or a stored design.
Member breedSlotDesign(Breeding& b, int level, bool lower, const std::vector<Member>& children) {
  const Population& population = b.population;
  TolmarRun& t = b.t;
  const int size = static_cast<int>(population.members.size());
  const int candidates = b.screen ? kScreenedCandidates : 1;
  Member best;
  double bestScore = 0.0;
  bool have = false;
  for (int c = 0; c < candidates; ++c) {
    const int pa = betterOf(population, pickParent(t.levels, level, size),
                            pickParent(t.levels, level, size));
    const int pb = betterOf(population, pickParent(t.levels, level, size),
                            pickParent(t.levels, level, size));
    const Member& first = population.members[static_cast<std::size_t>(pa)];
    const Member& second = population.members[static_cast<std::size_t>(pb)];
    std::vector<int> c1;
    std::vector<int> c2;
    const int crossed = adaptiveCrossover(t.adaptive, lower, first.design.chromosome,
                                          second.design.chromosome, population.fieldSizes, c1,
                                          c2);
    double width = 1.0;
    int mutated = adaptiveMutation(t.adaptive, lower, c1, population.fieldSizes, b.chromosomes,
                                   width);
    // A design evaluated before would cost nothing, but gain nothing either.
    auto duplicate = [&](const std::vector<int>& chromosome) {
      if (sameChromosome(chromosome, first) || sameChromosome(chromosome, second)) return true;
      if (std::any_of(children.begin(), children.end(),
                      [&](const Member& m) { return sameChromosome(chromosome, m); })) {
        return true;
      }
      if (!b.store.enabled) return false;
      b.probe.chromosome = chromosome;
      return designStoreFind(b.store, b.probe);
    };
    mutateUntilNew(t.adaptive, lower, c1, population.fieldSizes, b.chromosomes, duplicate,
                   mutated, width);
    const double score =
        b.screen ? b.screen->score(normalisedFields(c1, population.fieldSizes)) : 0.0;
    if (have && score >= bestScore) continue;
    have = true;
    bestScore = score;
    best = makeBredMember(b.agent, population, std::move(c1), b.generation, crossed,
                          mutated, first, second, width);
  }
  return best;
}

// Breeds the operator-made designs until the generation has `slots` new designs, the levels
// taken in turn from the top. With a model of the designs so far, each slot keeps the most
// promising of kScreenedCandidates candidates.
void addBredDesigns(Agent& agent, Population& population, TolmarRun& t, int slots,
                    int generation, std::vector<Member>& children) {
  std::unique_ptr<ScreeningModel> screen;
  if (agent.method.tolmar.searchDecisions && !t.throttle.off) screen = fitScreeningModel(t.samples);
  Breeding b{agent, population, t, screen.get(), {}, agentResults(agent).store, {}, generation};
  for (const Member& member : population.members) {
    b.chromosomes.push_back(&member.design.chromosome);
  }
  b.probe = makeMemberDesign(agent, population, population.members.front().design.chromosome,
                             generation);
  const int levelCount = t.levels.count;
  int slot = 0;
  while (static_cast<int>(children.size()) < slots) {
    const int level = levelCount > 0 ? (levelCount - 1) - slot % levelCount : -1;
    const bool lower = levelCount > 0 && level < levelCount / 2;
    ++slot;
    Member best = breedSlotDesign(b, level, lower, children);
    // The counters of the genetic log count what made the designs evaluated.
    population.counters.crossovers += (best.origin & kMadeCrossover) ? 1 : 0;
    population.counters.mutations += (best.origin & kMadeMutation) ? 1 : 0;
    children.push_back(std::move(best));
  }
}

// Evaluates the new designs as one batch and adds its wall time, per design and spread over
// the analyses that ran side by side, to the analysis time the throttle weighs.
void evaluateChildren(Agent& agent, Population& population, std::vector<Member>& children,
                      const EvaluationServices& services, TolmarRun& t) {
  const double started = platform::monotonicSeconds();
  const long before = population.counters.evaluations;
  evaluatePopulationMembers(agent, population, children, services);
  const long evaluated = population.counters.evaluations - before;
  if (evaluated > 0) {
    const int parallel = std::max(1, std::min<int>(static_cast<int>(evaluated),
                                                   std::max(1, study.nParallel)));
    t.analysisSeconds += (platform::monotonicSeconds() - started) * parallel;
    t.analysisCount += evaluated;
  }
}

// The local phase: `count` of the generation's designs are trust-region steps, made and
// evaluated a batch (nParallel designs) at a time, each batch from the models of every design
// evaluated before it; the trust region follows each step. Ends early when the phase does.
// Returns the number of designs made.
int runLocalPhase(Agent& agent, Population& population, TolmarRun& t, int count,
                  int generation, double bestBefore, const PerformanceDefinition* definition,
                  const EvaluationServices& services, std::vector<Member>& children) {
  const int batch = std::max(1, study.nParallel);
  int made = 0;
  while (made < count && t.model.localPhase) {
    const ModelRequest request = modelRequest(population, std::min(batch, count - made));
    const std::vector<ModelProposal> proposals =
        proposeModelDesigns(t.samples, request, t.model);
    if (proposals.empty()) break;
    std::vector<Member> round;
    for (const ModelProposal& proposal : proposals) {
      round.push_back(modelMember(agent, population, proposal, generation, bestBefore));
    }
    evaluateChildren(agent, population, round, services, t);
    for (std::size_t k = 0; k < round.size(); ++k) {
      const std::size_t known = t.samples.size();
      addSample(t, round[k].design, definition, population);
      noteLocalStep(t.model, proposals[k], t.samples.size() > known ? &t.samples.back() : nullptr);
      children.push_back(std::move(round[k]));
    }
    made += static_cast<int>(round.size());
  }
  return made;
}

// Credits the operators with what their designs gained, adds the new designs to the samples,
// measures how well the models predicted the local designs among the first `steps.size()`
// new designs (the model-based ones) and moves the trust region: it grows when one of the
// generation's local designs improved the best design.
void creditChildren(const std::vector<Member>& children, double bestBefore,
                    const PerformanceDefinition* definition, const Population& population,
                    const std::vector<ModelProposal>& steps, TolmarRun& t) {
  bool localTried = false;
  bool localImproved = false;
  for (std::size_t k = 0; k < children.size(); ++k) {
    const Member& child = children[k];
    creditOperator(t.adaptive, child.ga_operator, child.raw, child.firstparent,
                   child.secondparent, bestBefore, child.mut_width);
    const std::size_t known = t.samples.size();
    addSample(t, child.design, definition, population);
    if (k < steps.size()) {
      noteLocalStep(t.model, steps[k], t.samples.size() > known ? &t.samples.back() : nullptr,
                    false);
    }
    if (child.origin & kMadeDecision && child.ga_operator == kDecisionLocal) {
      localTried = true;
      localImproved = localImproved || (fitnessCounted(child.raw) && child.raw > bestBefore);
    }
  }
  if (localTried) noteModelOutcome(t.model, kDecisionLocal, localImproved);
}

// The first member marked as a victim in `level`; -1 when there is none.
int levelVictim(const QhfcLevels& levels, int level) {
  for (int m = levels.first[static_cast<std::size_t>(level)];
       m <= levels.last[static_cast<std::size_t>(level)]; ++m) {
    if (levels.victim[static_cast<std::size_t>(m)]) return m;
  }
  return -1;
}

// Admission: best first, each new design enters the highest level it reaches that still has
// a victim, replacing the victim when it is better (without levels: the worst member).
void admitChildren(std::vector<Member>& children, Population& population, TolmarRun& t) {
  std::vector<std::size_t> order(children.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return children[x].raw > children[y].raw;
  });
  for (std::size_t i : order) {
    Member& child = children[i];
    if (!fitnessCounted(child.raw)) continue;
    if (t.levels.count == 0) {
      auto worst = std::min_element(
          population.members.begin(), population.members.end(),
          [](const Member& x, const Member& y) { return x.raw < y.raw; });
      if (child.raw > worst->raw) *worst = std::move(child);
      continue;
    }
    int level = qhfcLevelOf(t.levels, child.raw);
    while (level >= 0 && !qhfcHasVictim(t.levels, level)) --level;
    if (level < 0) continue;
    const int victim = levelVictim(t.levels, level);
    if (victim < 0 || child.raw <= population.members[static_cast<std::size_t>(victim)].raw) {
      continue;
    }
    const int index = qhfcPromote(t.levels, level);
    population.members[static_cast<std::size_t>(index)] = std::move(child);
  }
}

}  // namespace

void resetTolmarState() { tolmarRuns().clear(); }

void keepTolmarState(Agent& agent, StateArchive& archive) {
  TolmarRun& t = tolmarRuns()[agent.number];
  archive.items(t.ready, t.levels, t.adaptive, t.throttle, t.model, t.samples, t.sampled,
                t.storeSeen, t.analysisSeconds, t.analysisCount);
}

void tolmarGeneration(Agent& agent, Population& population, FileHandle* log,
                      const EvaluationServices& services) {
  TolmarRun& t = tolmarRuns()[agent.number];
  const int size = static_cast<int>(population.members.size());
  const int n = static_cast<int>(population.fieldSizes.size());
  const int generation = population.counters.generation + 1;
  if (!t.ready) setUp(agent, population, t);
  const int slots =
      size < 2 ? 0 : slotCount(agent, population, 0, agent.method.numCycles - run.currentCycle);
  if (slots == 0) {
    population.counters.generation = generation;
    finishGeneration(agent, population, log);
    return;
  }

  rankMembers(population, t);
  collectSamples(agent, population, t);
  const double bestBefore =
      population.bestEver.valid ? population.bestEver.raw : population.members.back().raw;
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  const int decisions = decisionCount(agent, population, definition, slots, t);
  enterFinalLocalPhase(agent, agent.method.numCycles - run.currentCycle, decisions, t);

  // In the local phase most of the new designs are trust-region steps, evaluated first;
  // the other model-based designs and the operator-made ones follow as one batch.
  std::vector<Member> stepped;
  int modelDesigns = decisions;
  if (decisions > 0 && t.model.localPhase) {
    const int local = localStepCount(definition, decisions, slots);
    const int made = runLocalPhase(agent, population, t, local, generation, bestBefore,
                                   definition, services, stepped);
    modelDesigns = std::max(0, decisions - made);
  }
  std::vector<Member> children;
  std::vector<ModelProposal> steps;
  children.reserve(static_cast<std::size_t>(slots));
  if (modelDesigns > 0) {
    addModelDesigns(agent, population, t, modelDesigns, generation, bestBefore, children,
                    &steps);
  }
  addBredDesigns(agent, population, t, slots - static_cast<int>(stepped.size()), generation,
                 children);
  evaluateChildren(agent, population, children, services, t);
  creditChildren(children, bestBefore, definition, population, steps, t);
  for (const Member& child : stepped) {
    creditOperator(t.adaptive, child.ga_operator, child.raw, child.firstparent,
                   child.secondparent, bestBefore, child.mut_width);
  }
  children.insert(children.begin(), std::make_move_iterator(stepped.begin()),
                  std::make_move_iterator(stepped.end()));
  admitChildren(children, population, t);

  population.counters.generation = generation;
  sortAscending(population.members);
  finishGeneration(agent, population, log);
  adaptProbabilities(t.adaptive, t.levels.count, n);
}

namespace {

// What a design handed out came from, for the trust region once it has finished.
struct SteadyStep {
  ModelProposal proposal;
  bool local = false;      // a step of the local phase (moves the trust region)
  bool model = false;      // a model design of the generation (tells the local phase)
};

// What the steady-state search knows between two generation ends. A generation makes the
// designs a whole generation makes, in the same order: the local phase's steps one at a
// time, then its other model designs and its operator-made designs together; they are
// handed out as slots free. A slot that frees once they are all handed out gets a design bred
// from the members then.
struct SteadyContext {
  int generation = 0;      // generation the new designs belong to
  int slots = 0;           // designs that finish in it before its end (made by it or
                           // bred beyond it while its last designs run)
  int finished = 0;        // of them finished so far
  double bestBefore = 0.0;
  int decisions = 0;       // model-based designs of the generation
  int localLeft = 0;       // trust-region steps the local phase may still make
  int localMade = 0;       // of them made
  bool planned = false;    // the other designs of the generation were made
  std::deque<Member> queued;         // made and not handed out yet
  std::deque<SteadyStep> queuedSteps;  // what each of them came from
  std::vector<Member> done;  // the finished designs, credited and admitted at the
                             // generation's end
  std::vector<bool> doneLocal;  // of them the steps of the local phase
  bool localTried = false;   // a local model design of the generation finished
  bool localImproved = false;  // and one of them improved the best design
  int breedTurn = 0;         // designs bred beyond the generation's
  bool screened = false;     // the screening model was fitted for them
  std::unique_ptr<ScreeningModel> screen;
};

// In the local phase, the next trust-region step, apart from the designs still running; false
// when the phase is over for this generation.
bool nextLocalStep(const Population& population, TolmarRun& t, SteadyContext& c,
                   const std::vector<Member>& running, ModelProposal& step) {
  if (c.localLeft <= 0 || !t.model.localPhase) return false;
  ModelRequest request = modelRequest(population, 1);
  keepApart(request, running, population);
  std::vector<ModelProposal> proposals = proposeModelDesigns(t.samples, request, t.model);
  if (proposals.empty()) return false;
  --c.localLeft;
  ++c.localMade;
  step = std::move(proposals.front());
  return true;
}

// The generation's designs after its local phase, made as a whole generation makes them (kept
// apart from the designs still running) and queued.
void planSteadyGeneration(Agent& agent, Population& population, TolmarRun& t,
                          SteadyContext& c, const std::vector<Member>& running) {
  c.planned = true;
  c.localLeft = 0;
  std::vector<Member> made(running);
  const std::size_t first = made.size();
  std::vector<ModelProposal> steps;
  const int models = std::max(0, c.decisions - c.localMade);
  if (models > 0) {
    addModelDesigns(agent, population, t, models, c.generation, c.bestBefore, made, &steps,
                    running);
  }
  addBredDesigns(agent, population, t, static_cast<int>(first) + c.slots - c.localMade,
                 c.generation, made);
  for (std::size_t i = first; i < made.size(); ++i) {
    SteadyStep step;
    if (i - first < steps.size()) {
      step.proposal = std::move(steps[i - first]);
      step.model = true;
    }
    c.queued.push_back(std::move(made[i]));
    c.queuedSteps.push_back(std::move(step));
  }
}

// At a generation's end, as a whole generation does: the finished designs are credited to
// their operators (the steps of the local phase last) and admitted, and the trust region
// follows the generation's local model designs together.
void endSteadyGeneration(Population& population, TolmarRun& t, SteadyContext& c) {
  for (const bool local : {false, true}) {
    for (std::size_t k = 0; k < c.done.size(); ++k) {
      const Member& child = c.done[k];
      if (c.doneLocal[k] != local) continue;
      creditOperator(t.adaptive, child.ga_operator, child.raw, child.firstparent,
                     child.secondparent, c.bestBefore, child.mut_width);
    }
  }
  admitChildren(c.done, population, t);
  c.done.clear();
  c.doneLocal.clear();
  if (c.localTried) noteModelOutcome(t.model, kDecisionLocal, c.localImproved);
  c.localTried = false;
  c.localImproved = false;
}

// Ranks the members, brings the samples up to date and counts the generation's model-based
// designs, as a whole generation does before it makes them.
void startSteadyGeneration(Agent& agent, Population& population, TolmarRun& t,
                           SteadyContext& c, int pending, long generationsLeft) {
  c.generation = population.counters.generation + 1;
  c.finished = 0;
  c.slots = slotCount(agent, population, pending, generationsLeft);
  rankMembers(population, t);
  collectSamples(agent, population, t);
  c.bestBefore =
      population.bestEver.valid ? population.bestEver.raw : population.members.back().raw;
  c.queued.clear();
  c.queuedSteps.clear();
  c.decisions = 0;
  c.localLeft = 0;
  c.localMade = 0;
  c.planned = false;
  c.screen.reset();
  c.screened = false;
  c.breedTurn = 0;
  if (c.slots == 0) return;
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  c.decisions = decisionCount(agent, population, definition, c.slots, t);
  enterFinalLocalPhase(agent, generationsLeft, c.decisions, t);
  if (c.decisions > 0 && t.model.localPhase) {
    c.localLeft = localStepCount(definition, c.decisions, c.slots);
  }
}

// One new design: the next step of the local phase, else the next of the generation's
// designs, else one bred by the level whose turn it is from the members as they are now.
Member steadyDesign(Agent& agent, Population& population, TolmarRun& t, SteadyContext& c,
                    const std::vector<Member>& running, SteadyStep& made) {
  made = SteadyStep{};
  if (!c.planned && nextLocalStep(population, t, c, running, made.proposal)) {
    made.local = true;
    return modelMember(agent, population, made.proposal, c.generation, c.bestBefore);
  }
  if (!c.planned) planSteadyGeneration(agent, population, t, c, running);
  if (!c.queued.empty()) {
    Member member = std::move(c.queued.front());
    made = std::move(c.queuedSteps.front());
    c.queued.pop_front();
    c.queuedSteps.pop_front();
    return member;
  }
  if (!c.screened) {
    c.screened = true;
    if (agent.method.tolmar.searchDecisions && !t.throttle.off) {
      c.screen = fitScreeningModel(t.samples);
    }
  }
  Breeding b{agent, population, t, c.screen.get(), {}, agentResults(agent).store, {},
             c.generation};
  for (const Member& member : population.members) {
    b.chromosomes.push_back(&member.design.chromosome);
  }
  b.probe = makeMemberDesign(agent, population, population.members.front().design.chromosome,
                             c.generation);
  const int levelCount = t.levels.count;
  const int level = levelCount > 0 ? (levelCount - 1) - c.breedTurn % levelCount : -1;
  const bool lower = levelCount > 0 && level < levelCount / 2;
  ++c.breedTurn;
  Member best = breedSlotDesign(b, level, lower, running);
  population.counters.crossovers += (best.origin & kMadeCrossover) ? 1 : 0;
  population.counters.mutations += (best.origin & kMadeMutation) ? 1 : 0;
  return best;
}

// The steady-state search (the SteadyStep shape): each freed slot gets the generation's next
// design (SteadyContext), and each finished design is credited and added to the samples at
// once. A generation ends after as many designs finished as a whole generation would
// evaluate: the same bookkeeping then (admission, scores, adaptive probabilities, ranking).
// One slot at a time, it makes the designs whole generations make.
void tolmarSteady(Agent& agent, Population& population, FileHandle* log,
                  const EvaluationServices& services,
                  const std::function<bool()>& generationEnded) {
  TolmarRun& t = tolmarRuns()[agent.number];
  if (!t.ready) setUp(agent, population, t);
  if (population.members.size() < 2) return;
  const int n = static_cast<int>(population.fieldSizes.size());
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  long generationsLeft = std::max(1, agent.method.numCycles - run.currentCycle);
  SteadyContext c;
  startSteadyGeneration(agent, population, t, c, 0, generationsLeft);
  bool goOn = c.slots > 0;
  std::vector<Member> running;    // the designs handed out and not finished, to keep new ones
                                  // apart from them
  std::vector<SteadyStep> runningSteps;  // what each of them came from
  std::vector<double> started;    // per design in the order made: when it was handed out
  auto next = [&](Member& member, int pending) {
    if (!goOn) return false;
    const long limit = agent.method.numEvals;
    if (limit > 0 && agent.evaluatedDesigns + pending >= limit) return false;
    SteadyStep step;
    member = steadyDesign(agent, population, t, c, running, step);
    running.push_back(member);
    runningSteps.push_back(std::move(step));
    started.push_back(platform::monotonicSeconds());
    return true;
  };
  auto finished = [&](std::size_t index, Member& child) {
    t.analysisSeconds += platform::monotonicSeconds() - started[index];
    ++t.analysisCount;
    const auto at = std::find_if(running.begin(), running.end(), [&](const Member& m) {
      return m.design.chromosome == child.design.chromosome;
    });
    const SteadyStep step = std::move(runningSteps[static_cast<std::size_t>(at - running.begin())]);
    runningSteps.erase(runningSteps.begin() + (at - running.begin()));
    running.erase(at);
    if (child.origin & kMadeDecision && child.ga_operator == kDecisionLocal && !step.local) {
      c.localTried = true;
      c.localImproved =
          c.localImproved || (fitnessCounted(child.raw) && child.raw > c.bestBefore);
    }
    const std::size_t known = t.samples.size();
    addSample(t, child.design, definition, population);
    if (step.local || step.model) {
      // A step of the local phase moves the trust region; a model design of the generation
      // only says whether the models predict well enough for the phase.
      noteLocalStep(t.model, step.proposal,
                    t.samples.size() > known ? &t.samples.back() : nullptr, step.local);
    }
    c.done.push_back(child);
    c.doneLocal.push_back(step.local);
    if (++c.finished < c.slots || !goOn) return;
    endSteadyGeneration(population, t, c);
    population.counters.generation = c.generation;
    sortAscending(population.members);
    finishGeneration(agent, population, log);
    adaptProbabilities(t.adaptive, t.levels.count, n);
    --generationsLeft;
    goOn = generationEnded();
    // (The designs still running are numbered already: none is pending.)
    if (goOn) startSteadyGeneration(agent, population, t, c, 0, generationsLeft);
    goOn = goOn && c.slots > 0;
  };
  evaluateMembersSteady(agent, population, std::max(1, study.nParallel), next, finished,
                        services);
  if (c.finished > 0 && population.counters.generation < c.generation) {
    // The designs of a generation the budget or the end cut short.
    endSteadyGeneration(population, t, c);
    population.counters.generation = c.generation;
    sortAscending(population.members);
    finishGeneration(agent, population, log);
    adaptProbabilities(t.adaptive, t.levels.count, n);
    generationEnded();
  }
}

}  // namespace

void runTolmarCycle(Agent& agent, const EvaluationServices& services) {
  if (agent.method.steadyState) {
    runSteadyPopulationCycle(agent, services, tolmarSteady);
    return;
  }
  runPopulationCycle(agent, services, tolmarGeneration);
}

}  // namespace karvo::search
