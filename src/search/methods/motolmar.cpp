// The multi-objective hybrid search (MOTOLMAR) on the genetic core's cycle.
//
// The population is the archive (archiveSize members). The first cycle evaluates it (a
// Latin hypercube, with the baseline and user designs, as for TOLMAR). Each generation
// (one per cycle):
//
//   ranks and crowding of the archive (kept from the last update)
//   -> breeding set: breedingSize new designs (fewer when the budget has less left), in
//      pairs: each parent the winner of a tournament of two archive members (the lower
//      front rank, then the larger crowding distance, then the first drawn), the adaptive
//      crossover of the hybrid search makes two children and each is mutated by its
//      adaptive mutation; a child equal to a parent, to another child or to a design
//      evaluated before is mutated again (then single fields are redrawn)
//   -> the breeding set, evaluated as one batch
//   -> operator credit: one entry when a child dominates one of its parents, three when it
//      dominates both
//   -> archive update: the old archive and the breeding set split into fronts, whole fronts
//      kept while they fit, the first front that does not fit cut by crowding
//   -> statistics and best tracking of the genetic core (on the scalar performance, for the
//      reports), the adaptive operator probabilities
//   -> the Pareto file's block, then the automatic termination check (shutOff 1 or 2).
//
// A run continued from its history restores its archive from the last block of the Pareto
// file that the history covers (search/pareto_file.h); without such a block the archive is
// chosen from every stored design of the agent by the same update.
#include "search/methods/motolmar.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/messages.h"
#include "base/state_archive.h"
#include "base/random.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "base/text.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "search/design_vectors.h"
#include "search/fitness.h"
#include "search/genetic.h"
#include "search/pareto_archive.h"
#include "search/model_search.h"
#include "search/pareto_file.h"
#include "search/termination.h"
#include "search/tolmar_operators.h"

namespace karvo::search {

namespace {

constexpr double kDecisionShare = 0.5;  // share of the breeding set proposed by models
constexpr double kOffPenalty = 2.0;     // weight of the squared distance off the direction
constexpr int kDirectionCandidates = 50;  // random directions looked at per decision
constexpr double kEdgeShare = 0.3;        // of them on a face of the sphere's positive part

// One scored design as the model-based decisions see it.
struct ParetoSample {
  std::vector<double> x;                // normalised variables
  std::vector<double> objectives;       // minimised
  std::vector<double> constraints;      // met when <= 0
};

// The scalar form of the objectives that one model-based decision improves: with z the
// objectives scaled between the ideal point and the first front's worst values, and u the
// unit direction aimed at, the distance along u plus kOffPenalty times the squared distance
// off it, u.z + 2 |z - (u.z) u|^2. Smooth, so that the models of the hybrid search fit it well,
// and smallest on the front near where the direction meets it.
void keepFields(StateArchive& archive, ParetoSample& sample) {
  archive.items(sample.x, sample.objectives, sample.constraints);
}

struct Scalarisation {
  std::vector<double> ideal;            // per objective: the least value among the samples
  std::vector<double> span;             // the first front's extent beyond the ideal point
  std::vector<double> direction;        // u, a unit vector
  double best = 0.0;                    // the least value among the samples (feasible first)
  int code = 0;                         // the decision's kind
};

double scalarValue(const std::vector<double>& objectives, const Scalarisation& form) {
  const std::size_t m = std::min(objectives.size(), form.direction.size());
  std::vector<double> z(m);
  double along = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    z[i] = (objectives[i] - form.ideal[i]) / form.span[i];
    along += form.direction[i] * z[i];
  }
  double off = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double away = z[i] - along * form.direction[i];
    off += away * away;
  }
  return along + kOffPenalty * off;
}

struct ParetoRun {
  bool ready = false;
  AdaptiveState adaptive;
  std::vector<int> rank;               // per member of the population (the archive)
  std::vector<double> crowding;        // per member
  ParetoStopState stop;
  std::string path;                    // the Pareto file
  ModelSearchState model;              // trust region of the model-based decisions
  std::vector<ParetoSample> samples;   // every scored design of the agent
  std::unordered_set<int> sampled;     // their design numbers
  std::size_t storeSeen = 0;           // stored designs already looked at
};

std::map<int, ParetoRun>& paretoRuns() {
  static std::map<int, ParetoRun> table;
  return table;
}

std::vector<support::ParetoPoint> pointsOf(const std::vector<Member>& members,
                                           const PerformanceDefinition& definition) {
  std::vector<support::ParetoPoint> points;
  points.reserve(members.size());
  for (const Member& member : members) points.push_back(paretoPointOf(member.design, definition));
  return points;
}

// The archive chosen from `candidates`: the population's members become the selection, in
// archive order, with their ranks and crowding distances.
void installArchive(Population& population, ParetoRun& p, std::vector<Member>& candidates,
                    const PerformanceDefinition& definition, int capacity) {
  const ArchiveSelection selection = selectArchive(pointsOf(candidates, definition), capacity);
  std::vector<Member> archive;
  archive.reserve(selection.members.size());
  for (int index : selection.members) {
    archive.push_back(std::move(candidates[static_cast<std::size_t>(index)]));
  }
  population.members = std::move(archive);
  p.rank = selection.rank;
  p.crowding = selection.crowding;
}

// The member that wins a tournament of two: the lower front rank, then the larger crowding
// distance, then the first drawn.
int tournament(const ParetoRun& p, int size) {
  const int a = randomInt(0, size - 1);
  const int b = randomInt(0, size - 1);
  const auto ra = p.rank[static_cast<std::size_t>(a)];
  const auto rb = p.rank[static_cast<std::size_t>(b)];
  if (ra != rb) return rb < ra ? b : a;
  return p.crowding[static_cast<std::size_t>(b)] > p.crowding[static_cast<std::size_t>(a)] ? b : a;
}

Member storedMember(const Design& design) {
  Member member;
  member.design = design;
  member.raw = design.failed ? kFailedPerformance : design.performance;
  member.origin = kMadeHistory;
  return member;
}

// A continued run: the archive of the last Pareto-file block that the history covers, or
// the best fronts of every stored design.
void restoreArchive(Agent& agent, Population& population, ParetoRun& p,
                    const PerformanceDefinition& definition) {
  AgentResults& results = agentResults(agent);
  const std::size_t stored = designStoreSize(results.store);
  const std::size_t taken = std::min<std::size_t>(
      stored, static_cast<std::size_t>(std::max(0, results.designsTakenOver)));
  int lastHistoryDesign = 0;
  std::unordered_map<int, std::size_t> byNumber;
  for (std::size_t i = 0; i < stored; ++i) {
    const Design design = designStoreAt(results.store, i);
    if (i < taken) lastHistoryDesign = std::max(lastHistoryDesign, design.designNumber);
    if (design.representation == population.representation && design.designNumber > 0) {
      byNumber.emplace(design.designNumber, i);
    }
  }
  const int size = agent.method.populationSize;
  std::vector<Member> candidates;
  ParetoBlock block;
  if (restartParetoFile(p.path, lastHistoryDesign, block)) {
    if (static_cast<int>(block.designs.size()) != size) {
      writeMessage("outptr", "warning",
                   formatText("The population size in the problem setup (%d) is different than "
                              "the size read from the PTO file (%d). This may cause errors. "
                              "Continuing if possible.",
                              size, static_cast<int>(block.designs.size())));
    }
    for (int number : block.designs) {
      auto found = byNumber.find(number);
      if (found != byNumber.end()) {
        candidates.push_back(storedMember(designStoreAt(results.store, found->second)));
      }
    }
  } else {
    for (const auto& [number, index] : byNumber) {
      candidates.push_back(storedMember(designStoreAt(results.store, index)));
    }
    std::sort(candidates.begin(), candidates.end(), [](const Member& a, const Member& b) {
      return a.design.designNumber < b.design.designNumber;
    });
  }
  // The members the genetic core made up the rest when the archive read back is short.
  for (Member& member : population.members) {
    const bool known = std::any_of(candidates.begin(), candidates.end(), [&](const Member& m) {
      return m.design.designNumber == member.design.designNumber;
    });
    if (!known) candidates.push_back(std::move(member));
  }
  installArchive(population, p, candidates, definition, size);
}

void setUp(Agent& agent, Population& population, ParetoRun& p,
           const PerformanceDefinition& definition) {
  const int n = static_cast<int>(population.fieldSizes.size());
  adaptiveReset(p.adaptive, agent.method.populationSize,
                std::max(1.0, std::sqrt(static_cast<double>(n))));
  std::vector<char> discrete(population.fieldSizes.size(), 0);
  p.adaptive.fineGrained = mostlyFineGrained(population.fieldSizes, discrete) ? 1 : 0;
  p.path = paretoFilePath(agent.number, run.settings.postNoEval != 0);
  p.stop = ParetoStopState{};
  if (agentResults(agent).designsTakenOver > 0) {
    restoreArchive(agent, population, p, definition);
  } else {
    std::vector<Member> candidates = std::move(population.members);
    installArchive(population, p, candidates, definition, agent.method.populationSize);
  }
  p.ready = true;
}

// The new designs of this generation: the breeding size, or what the budget has left.
int breedingCount(const Agent& agent) {
  const int breeding = std::max(2, agent.method.pareto.breedingSize);
  const long limit = searchEvaluationLimit(agent);
  const long remaining = limit - agent.evaluatedDesigns;
  if (remaining <= 0) return 0;
  return static_cast<int>(std::min<long>(breeding, remaining));
}

// Breeds `count` children from the archive; `parents` receives the archive positions of
// each child's two parents.
std::vector<Member> breed(const Agent& agent, const Population& population, ParetoRun& p,
                          int count, int generation, std::vector<std::pair<int, int>>& parents) {
  const int size = static_cast<int>(population.members.size());
  std::vector<const std::vector<int>*> chromosomes;
  for (const Member& member : population.members) chromosomes.push_back(&member.design.chromosome);
  const DesignStore& store = agentResults(agent).store;
  Design probe = makeMemberDesign(agent, population, population.members.front().design.chromosome,
                                  generation);
  std::vector<Member> children;
  children.reserve(static_cast<std::size_t>(count));
  auto seenBefore = [&](const std::vector<int>& chromosome, const Member& a, const Member& b) {
    if (chromosome == a.design.chromosome || chromosome == b.design.chromosome) return true;
    for (const Member& child : children) {
      if (child.design.chromosome == chromosome) return true;
    }
    if (!store.enabled) return false;
    probe.chromosome = chromosome;
    return designStoreFind(store, probe);
  };
  while (static_cast<int>(children.size()) < count) {
    const int a = tournament(p, size);
    const int b = tournament(p, size);
    const Member& first = population.members[static_cast<std::size_t>(a)];
    const Member& second = population.members[static_cast<std::size_t>(b)];
    std::vector<int> pair[2];
    const int crossed = adaptiveCrossover(p.adaptive, false, first.design.chromosome,
                                          second.design.chromosome, population.fieldSizes,
                                          pair[0], pair[1]);
    for (int c = 0; c < 2 && static_cast<int>(children.size()) < count; ++c) {
      std::vector<int>& chromosome = pair[c];
      double width = 1.0;
      int mutated = adaptiveMutation(p.adaptive, false, chromosome, population.fieldSizes,
                                     chromosomes, width);
      mutateUntilNew(p.adaptive, false, chromosome, population.fieldSizes, chromosomes,
                     [&](const std::vector<int>& c) { return seenBefore(c, first, second); },
                     mutated, width);
      children.push_back(makeBredMember(agent, population, std::move(chromosome), generation,
                                        crossed, mutated, first, second, width));
      parents.emplace_back(a, b);
    }
  }
  return children;
}

void addSample(ParetoRun& p, const Design& design, const PerformanceDefinition& definition,
               const Population& population) {
  if (design.designNumber <= 0 || design.representation != population.representation ||
      design.chromosome.size() != population.fieldSizes.size()) {
    return;
  }
  if (!p.sampled.insert(design.designNumber).second) return;
  ParetoSample sample;
  if (!designObjectives(design, definition, sample.objectives, sample.constraints)) return;
  sample.x = normalisedFields(design.chromosome, population.fieldSizes);
  p.samples.push_back(std::move(sample));
}

// Brings the samples up to date with the agent's stored designs and the archive.
void collectSamples(Agent& agent, const Population& population, ParetoRun& p,
                    const PerformanceDefinition& definition) {
  AgentResults& results = agentResults(agent);
  if (results.store.enabled) {
    const std::size_t size = designStoreSize(results.store);
    for (; p.storeSeen < size; ++p.storeSeen) {
      addSample(p, designStoreAt(results.store, p.storeSeen), definition, population);
    }
  }
  for (const Member& member : population.members) addSample(p, member.design, definition, population);
}

// The direction of the least explored part of the front: of kDirectionCandidates random
// directions (uniform over the positive part of the unit sphere), the one farthest in
// angle from every direction in `taken` (the first front's scaled points and the
// directions already chosen in this generation).
std::vector<double> openDirection(std::size_t objectives,
                                  const std::vector<std::vector<double>>& taken) {
  std::vector<double> best;
  double bestGap = -1.0;
  for (int c = 0; c < kDirectionCandidates; ++c) {
    std::vector<double> d(objectives);
    double length = 0.0;
    for (double& value : d) {
      value = std::fabs(normalDeviate());
      length += value * value;
    }
    // The edges of the front count as much as its inside (they bound what it dominates):
    // some candidates lie on a face of the positive part of the sphere.
    if (objectives > 1 && nextUniform() < kEdgeShare) {
      double& zeroed = d[static_cast<std::size_t>(randomInt(0, static_cast<int>(objectives) - 1))];
      length -= zeroed * zeroed;
      zeroed = 0.0;
    }
    length = std::sqrt(length);
    if (length <= 0.0) continue;
    for (double& value : d) value /= length;
    double gap = 2.0;  // 1 - cos of the nearest direction taken
    for (const std::vector<double>& t : taken) {
      double dot = 0.0;
      for (std::size_t i = 0; i < objectives; ++i) dot += d[i] * t[i];
      gap = std::min(gap, 1.0 - dot);
    }
    if (gap > bestGap) {
      bestGap = gap;
      best = std::move(d);
    }
  }
  return best;
}

// A unit vector along `v` (null vectors stay as they are).
std::vector<double> unit(std::vector<double> v) {
  double length = 0.0;
  for (double value : v) length += value * value;
  length = std::sqrt(length);
  if (length > 0.0) {
    for (double& value : v) value /= length;
  }
  return v;
}

// Model-based designs: for each, the samples' objectives are combined into the scalar form
// (Scalarisation) aimed at the least explored direction of the front (openDirection); the
// model-based search of the hybrid search proposes the design that improves that scalar.
std::vector<Member> proposeDecisions(const Agent& agent, const Population& population,
                                     ParetoRun& p, int count, int generation,
                                     const PerformanceDefinition& definition,
                                     std::vector<Scalarisation>& forms) {
  std::vector<Member> proposed;
  const std::size_t n = population.fieldSizes.size();
  if (count <= 0 || p.samples.size() < n + 2) return proposed;
  const std::size_t m = static_cast<std::size_t>(definition.objectiveCount);
  std::vector<double> ideal(m, 1e300), worst(m, -1e300);
  for (const ParetoSample& sample : p.samples) {
    for (std::size_t i = 0; i < m; ++i) ideal[i] = std::min(ideal[i], sample.objectives[i]);
  }
  for (std::size_t a = 0; a < population.members.size(); ++a) {
    if (p.rank[a] != 1) continue;
    std::vector<double> objectives, constraints;
    if (!designObjectives(population.members[a].design, definition, objectives, constraints)) continue;
    for (std::size_t i = 0; i < m; ++i) worst[i] = std::max(worst[i], objectives[i]);
  }
  std::vector<double> span(m, 1.0);
  for (std::size_t i = 0; i < m; ++i) {
    if (worst[i] > ideal[i]) span[i] = worst[i] - ideal[i];
  }
  // The directions of the first front's members, scaled as above.
  std::vector<std::vector<double>> taken;
  for (std::size_t a = 0; a < population.members.size(); ++a) {
    std::vector<double> objectives, constraints;
    if (p.rank[a] != 1 ||
        !designObjectives(population.members[a].design, definition, objectives, constraints)) {
      continue;
    }
    for (std::size_t i = 0; i < m; ++i) objectives[i] = (objectives[i] - ideal[i]) / span[i];
    taken.push_back(unit(std::move(objectives)));
  }
  ModelRequest request;
  request.count = 1;
  request.step.resize(n);
  for (std::size_t f = 0; f < n; ++f) {
    request.step[f] = population.fieldSizes[f] > 1 ? 1.0 / (population.fieldSizes[f] - 1) : 0.0;
  }
  std::vector<ModelSample> scalar(p.samples.size());
  for (int k = 0; k < count; ++k) {
    const std::vector<double> d = openDirection(m, taken);
    if (d.empty()) break;
    taken.push_back(d);
    Scalarisation form{ideal, span, d, 0.0, 0};
    double bestFeasible = 1e300, bestAny = 1e300;
    for (std::size_t s = 0; s < p.samples.size(); ++s) {
      const ParetoSample& sample = p.samples[s];
      scalar[s].x = sample.x;
      scalar[s].objective = scalarValue(sample.objectives, form);
      scalar[s].constraints = sample.constraints;
      bestAny = std::min(bestAny, scalar[s].objective);
      if (std::all_of(sample.constraints.begin(), sample.constraints.end(),
                      [](double g) { return g <= 0.0; })) {
        bestFeasible = std::min(bestFeasible, scalar[s].objective);
      }
    }
    form.best = bestFeasible < 1e300 ? bestFeasible : bestAny;
    for (const ModelProposal& proposal : proposeModelDesigns(scalar, request, p.model)) {
      Member member;
      member.design =
          makeMemberDesign(agent, population, fieldsAt(proposal.x, population.fieldSizes),
                           generation);
      member.birthGeneration = generation;
      member.origin = kMadeDecision;
      member.ga_operator = proposal.code;
      request.avoid.push_back(proposal.x);
      proposed.push_back(std::move(member));
      form.code = proposal.code;
      forms.push_back(form);
    }
  }
  return proposed;
}

}  // namespace

void resetParetoState() { paretoRuns().clear(); }

void keepParetoState(Agent& agent, StateArchive& archive) {
  ParetoRun& p = paretoRuns()[agent.number];
  archive.items(p.ready, p.adaptive, p.rank, p.crowding, p.stop, p.path, p.model, p.samples,
                p.sampled, p.storeSeen);
  if (archive.reading() && p.rank.size() != p.crowding.size()) archive.fail();
}

std::string paretoStopNote() {
  std::string text = "This MO-Tolmar Pareto search agent has met one of the criteria for ";
  text = formatText("%s termination of the run before the specified maximum number ", text.c_str());
  text = formatText("%s of evaluations has been performed. If you wish to avoid this ",
                    text.c_str());
  text = formatText("%s early termination and execute the full max number of evaluations ",
                    text.c_str());
  text = formatText("%s regardless of the amount of progress being made, disable ", text.c_str());
  text = formatText("%s automatic termination in the MO-TOLMAR methods section of the ",
                    text.c_str());
  return formatText("%s KARVO Modeler.\n", text.c_str());
}

void paretoGeneration(Agent& agent, Population& population, FileHandle* log,
                      const EvaluationServices& services) {
  PerformanceDefinition* definition = findPerformance(agent.performance);
  if (!definition || population.members.empty()) {
    population.counters.generation += 1;
    finishGeneration(agent, population, log);
    return;
  }
  ParetoRun& p = paretoRuns()[agent.number];
  if (!p.ready) setUp(agent, population, p, *definition);
  const int generation = population.counters.generation + 1;
  const int n = static_cast<int>(population.fieldSizes.size());
  const int count = breedingCount(agent);

  if (count > 0) {
    collectSamples(agent, population, p, *definition);
    const int wanted = agent.method.tolmar.searchDecisions
                           ? std::min(count - 1, static_cast<int>(std::lround(kDecisionShare * count)))
                           : 0;
    std::vector<Scalarisation> forms;
    std::vector<Member> decisions =
        proposeDecisions(agent, population, p, wanted, generation, *definition, forms);
    std::vector<std::pair<int, int>> parentsOf;
    std::vector<Member> children = breed(agent, population, p,
                                         count - static_cast<int>(decisions.size()), generation,
                                         parentsOf);
    const std::size_t bred = children.size();
    for (Member& decision : decisions) children.push_back(std::move(decision));
    for (const Member& child : children) {
      population.counters.crossovers += (child.origin & kMadeCrossover) ? 1 : 0;
      population.counters.mutations += (child.origin & kMadeMutation) ? 1 : 0;
    }
    evaluatePopulationMembers(agent, population, children, services);

    const std::vector<support::ParetoPoint> archive = pointsOf(population.members, *definition);
    for (std::size_t c = 0; c < bred; ++c) {
      const support::ParetoPoint point = paretoPointOf(children[c].design, *definition);
      const auto& first = archive[static_cast<std::size_t>(parentsOf[c].first)];
      const auto& second = archive[static_cast<std::size_t>(parentsOf[c].second)];
      creditByDomination(p.adaptive, children[c].ga_operator,
                         support::paretoDominance(point, first) == 1,
                         support::paretoDominance(point, second) == 1, children[c].mut_width);
    }

    // The trust region follows the generation's local decisions together: it grows when
    // one of them improved the scalar form it was made for (feasible designs first).
    bool localTried = false, localImproved = false;
    for (std::size_t c = bred; c < children.size(); ++c) {
      const Scalarisation& form = forms[c - bred];
      if (form.code != kDecisionLocal) continue;
      localTried = true;
      std::vector<double> objectives, constraints;
      if (!designObjectives(children[c].design, *definition, objectives, constraints)) continue;
      const bool feasible = std::all_of(constraints.begin(), constraints.end(),
                                        [](double g) { return g <= 0.0; });
      localImproved = localImproved || (feasible && scalarValue(objectives, form) < form.best);
    }
    if (localTried) noteModelOutcome(p.model, kDecisionLocal, localImproved);

    std::vector<Member> candidates = std::move(population.members);
    for (Member& child : children) candidates.push_back(std::move(child));
    installArchive(population, p, candidates, *definition, agent.method.populationSize);
  }

  population.counters.generation = generation;
  finishGeneration(agent, population, log);
  adaptProbabilities(p.adaptive, 0, n);
  // The budget's last cycle may have nothing left to breed: the archive stands as the last
  // block wrote it.
  if (count == 0) return;

  std::vector<int> numbers;
  numbers.reserve(population.members.size());
  for (const Member& member : population.members) numbers.push_back(member.design.designNumber);
  appendParetoBlock(p.path, numbers, p.rank);

  if (agent.method.pareto.shutOff != 0) {
    ParetoStopInputs inputs;
    inputs.cycle = run.currentCycle + 1;
    inputs.breedingSize = agent.method.pareto.breedingSize;
    inputs.archiveSize = static_cast<int>(population.members.size());
    inputs.maxEvaluations = searchEvaluationLimit(agent);
    inputs.shutOff = agent.method.pareto.shutOff;
    inputs.allFirstFront = std::all_of(p.rank.begin(), p.rank.end(), [](int r) { return r == 1; });
    if (paretoSearchStalled(p.stop, p.crowding, inputs)) {
      writeMessage("outptr", "note", paretoStopNote());
      exitRun(kExitNormal, true);
    }
  }
}

void runParetoCycle(Agent& agent, const EvaluationServices& services) {
  runPopulationCycle(agent, services, paretoGeneration);
}

}  // namespace karvo::search
