// The generation loop of the genetic core (see genetic.h). Per generation the work is linear
// in population size x fields; the evaluation of the new designs is the whole cost.
#include "search/genetic.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <limits>
#include <numeric>

#include "base/file_handle.h"
#include "base/messages.h"
#include "base/random.h"
#include "base/state_archive.h"
#include "base/run_files.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "evaluation/encoding.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/user_designs.h"
#include "search/genetic_report.h"
#include "search/operators.h"
#include "search/population_file.h"
#include "search/termination.h"
#include "search/tolmar_operators.h"

namespace karvo::search {

namespace {

// Defaults of the settings that no method record gives.
constexpr double kAverageMutationWidth = 3.0;   // avg_mut_width of multi-field mutation
constexpr double kSigmaTruncation = 2.0;        // c of sigma truncation (proportional and
                                                // ranking selection)
constexpr double kGoodMemberDeviations = 1.0;   // "S.D.'s above mean" of a good member
constexpr int kFullConvergenceInterval = 10;    // generations between full statistics
constexpr double kReinitializeShare = 0.5;      // members reinitialised by default
constexpr int kReinitializeElitism = 1;         // the best member kept by default
constexpr int kReplacementDraws = 3;       // members drawn for the one a steady-state
                                           // child may replace (steadyReplacement)
constexpr int kRemutations = 16;                // mutation events that may make a child
                                                // new (geneticGeneration)

struct GeneticRun {
  std::unique_ptr<Population> population;
  FileHandle* log = nullptr;       // the genetic log, open for the run
  SelectionList selection;         // the choice list of proportional and ranking selection
  bool adaptiveReady = false;      // `adaptive` set up (GA with adaptive operators)
  AdaptiveState adaptive;          // probabilities and credit of the adaptive crossover and
                                   // mutation (family B, no levels)
};

std::map<int, GeneticRun>& runs() {
  static std::map<int, GeneticRun> table;
  return table;
}

GeneticRun& geneticRun(int agentNumber) {
  GeneticRun& entry = runs()[agentNumber];
  if (!entry.population) {
    entry.population = std::make_unique<Population>();
    entry.population->agent = agentNumber;
  }
  return entry;
}

bool minimising(const Agent& agent) {
  const PerformanceDefinition* performance = findPerformance(agent.performance);
  if (!performance) return false;
  for (int r = 0; r < performance->count; ++r) {
    if (performance->flag[static_cast<std::size_t>(r)] == 0) {
      return performance->opt[static_cast<std::size_t>(r)] == -1;
    }
  }
  return false;
}

// The local searches (simplex, annealing, SQP, multi-start, response surfaces) go on from one
// design: their population is that design, and they make their other designs themselves.
bool startsFromOneDesign(int code) {
  return code == kMethodSqp || code == kMethodAnnealing || code == kMethodSimplex ||
         code == kMethodMultiStart || code == kMethodSurfaceSearch;
}

int populationSizeOf(const Agent& agent) {
  if (startsFromOneDesign(agent.method.code)) return 1;
  const int size = std::max(1, agent.method.populationSize);
  if (agent.method.code == kMethodSwarm) return size;  // no pairs: every particle moves alone
  return size > 1 && size % 2 != 0 ? size + 1 : size;
}

FitnessSettings fitnessSettingsOf(const Agent& agent) {
  const GeneticSettings& genetic = agent.method.genetic;
  FitnessSettings settings;
  settings.scalingApplies = agent.method.code != kMethodTolmar;
  settings.requireNonNegative = genetic.selectionType != 0;
  settings.scalingWindow = genetic.scalingWindow;
  settings.sigmaCoefficient = genetic.selectionType != 0 ? kSigmaTruncation : 0.0;
  settings.scaleMultiplier = genetic.selectionType != 0 ? genetic.scaleMultiplier : 1.0;
  return settings;
}

// The whole numbers that act of a link's migration factors (see takeMigrants).
int crowdingFactorOf(const MigrationLink& link) {
  return static_cast<int>(std::min(link.crowdingAmount, 1.0e6));
}
int incestReductionOf(const MigrationLink& link) {
  return static_cast<int>(std::min(link.incestReduction, 1.0e6));
}

// Squared distance of two chromosomes with every field scaled to [0, 1].
double fieldDistance(const std::vector<int>& a, const std::vector<int>& b,
                     const std::vector<int>& fieldSizes) {
  double sum = 0.0;
  const std::size_t n = std::min({a.size(), b.size(), fieldSizes.size()});
  for (std::size_t f = 0; f < n; ++f) {
    const double span = fieldSizes[f] > 1 ? fieldSizes[f] - 1.0 : 1.0;
    const double d = (a[f] - b[f]) / span;
    sum += d * d;
  }
  return sum;
}

// Distance from `chromosome` to the nearest member of `population`.
double nearestMemberDistance(const std::vector<int>& chromosome, const Population& population) {
  double nearest = std::numeric_limits<double>::infinity();
  for (const Member& member : population.members) {
    nearest = std::min(nearest,
                       fieldDistance(chromosome, member.design.chromosome, population.fieldSizes));
  }
  return nearest;
}

ReportSettings reportSettingsOf(const Agent& agent, const Population& population) {
  const GeneticSettings& genetic = agent.method.genetic;
  ReportSettings settings;
  settings.selectionType = genetic.selectionType;
  settings.crossoverType = genetic.crossoverType;
  settings.mutationType = genetic.mutationType;
  settings.stochastic = agent.stochasticFitness != 0;
  settings.hashing = study.options.hashingEnabled != 0;
  settings.minimising = minimising(agent);
  settings.populationSize = static_cast<int>(population.members.size());
  settings.generationsPerCycle = agent.method.generationsPerCycle;
  settings.fieldCount = static_cast<int>(population.fieldSizes.size());
  settings.pcross = genetic.crossoverRate;
  settings.pmutation = genetic.mutationRate;
  settings.pMultimut = genetic.mutationRate;
  settings.avgMutWidth = kAverageMutationWidth;
  settings.scalingWindow = population.fitnessSettings.scalingWindow;
  settings.sigmaTruncation = population.fitnessSettings.sigmaCoefficient;
  settings.scaleMultiplier = genetic.scaleMultiplier;
  settings.tournamentSize = genetic.tournamentSize;
  settings.randomSeed = study.randomSeed;
  settings.sdAboveMean = kGoodMemberDeviations;
  settings.alwaysEvaluateMigrants = agent.stochasticFitness != 0;
  for (const MigrationLink& link : agent.links) {
    settings.crowdingFactor = std::max(settings.crowdingFactor, crowdingFactorOf(link));
    settings.incestReduction = std::max(settings.incestReduction, incestReductionOf(link));
  }
  return settings;
}

void writeLog(GeneticRun& entry, const std::string& text) {
  if (!entry.log) return;
  writeText(entry.log, text);
}

// A design of the representation with every field at 0.
Design blankDesign(const Agent& agent, const Population& population) {
  Design design;
  design.representation = population.representation;
  design.num_dvar = static_cast<int>(population.fieldSizes.size());
  design.source = agent.number;
  design.encoding = kEncodingChromosome;
  design.chromosome.assign(population.fieldSizes.size(), 0);
  return design;
}

// A random design of the representation: every field drawn uniformly.
Design randomDesign(const Agent& agent, const Population& population) {
  Design design = blankDesign(agent, population);
  for (std::size_t i = 0; i < population.fieldSizes.size(); ++i) {
    design.chromosome[i] = randomInt(0, population.fieldSizes[i] - 1);
  }
  return design;
}

// `count` random designs forming a Latin hypercube: each variable's range cut into `count`
// equal strata, every stratum used by one design, the value drawn uniformly inside it.
// Draws: per variable one shuffled order of the strata, then per design and variable one
// field value.
std::vector<Design> latinDesigns(const Agent& agent, const Population& population, int count) {
  const std::size_t fields = population.fieldSizes.size();
  std::vector<std::vector<int>> order(fields, std::vector<int>(static_cast<std::size_t>(count)));
  for (std::size_t f = 0; f < fields; ++f) shufflePermutation(count, order[f].data());
  std::vector<Design> designs;
  for (int d = 0; d < count; ++d) {
    Design design = blankDesign(agent, population);
    for (std::size_t f = 0; f < fields; ++f) {
      const long size = population.fieldSizes[f];
      const int stratum = order[f][static_cast<std::size_t>(d)];
      const long low = size * stratum / count;
      const long high = std::max(low, size * (stratum + 1) / count - 1);
      design.chromosome[f] = randomInt(static_cast<int>(low), static_cast<int>(high));
    }
    designs.push_back(std::move(design));
  }
  return designs;
}

// A design to evaluate from a chromosome made by the operators.
Design childDesign(const Agent& agent, const Population& population, std::vector<int> chromosome,
                   int generation) {
  Design design;
  design.representation = population.representation;
  design.num_dvar = static_cast<int>(chromosome.size());
  design.source = agent.number;
  design.encoding = kEncodingChromosome;
  design.chromosome = std::move(chromosome);
  design.generation = generation;
  design.cycle = run.currentCycle;
  return design;
}

// The field values of a design with real values (the baseline, user designs), so that the
// operators can work on it; its real values stay authoritative for its own evaluation.
void fillChromosome(Design& design, const Representation& representation,
                    const EncodingContext& context) {
  if (design.encoding == kEncodingChromosome && !design.chromosome.empty()) return;
  Design copy = design;
  dblsToInts(copy, kRoundNearest, representation, context);
  design.chromosome = copy.chromosome;
}

// Scores the members after their designs were evaluated, in batch order, into the on-line
// and off-line sums.
void takeResults(Population& population, std::vector<Member>& members) {
  double best = population.bestEver.valid ? population.bestEver.raw : kFailedPerformance;
  for (Member& member : members) {
    member.raw = member.design.failed ? kFailedPerformance : member.design.performance;
    if (fitnessCounted(member.raw)) best = std::max(best, member.raw);
    populationRecordPerformance(population.counters, member.raw, best);
  }
}

// Evaluates the designs of `members` as one batch and takes their results.
void evaluateMembers(Agent& agent, Population& population, std::vector<Member>& members,
                     const EvaluationServices& services) {
  if (members.empty()) return;
  std::vector<Design> designs;
  designs.reserve(members.size());
  for (Member& member : members) designs.push_back(std::move(member.design));
  const BatchSummary summary = evaluateDesigns(agent, designs, services);
  for (std::size_t i = 0; i < members.size(); ++i) members[i].design = std::move(designs[i]);
  population.counters.evaluations += summary.evaluated;
  population.counters.reevaluationsSaved +=
      static_cast<long>(members.size()) - summary.evaluated;
  takeResults(population, members);
}

// Fitness scaling, statistics and best tracking of the current members; the new-best lines.
void scoreGeneration(Agent& agent, Population& population, FileHandle* log) {
  std::vector<double> raw;
  std::vector<double> scaled(population.members.size());
  std::vector<double> violations;
  for (const Member& member : population.members) {
    raw.push_back(member.raw);
    violations.push_back(member.design.violation);
  }
  population.statistics =
      fitnessUpdate(population.fitnessSettings, population.fitnessState, raw, scaled, log);
  for (std::size_t i = 0; i < population.members.size(); ++i) {
    population.members[i].scaled = scaled[i];
  }
  if (const PerformanceDefinition* performance = findPerformance(agent.performance)) {
    fitnessWatchFeasibility(population.fitnessState, violations, performance->constraintCount);
  }
  if (populationTrackBest(population) && log) {
    writeText(log, newBestEverReport(agent.number, run.startAgent, run.finalAgent,
                                     population.bestEver, agent.evaluatedDesigns));
  }
}

void endOfGeneration(Agent& agent, GeneticRun& entry) {
  scoreGeneration(agent, *entry.population, entry.log);
}

// The first population of the agent (see genetic.h), evaluated as one batch.
void initialisePopulation(Agent& agent, GeneticRun& entry, const EvaluationServices& services) {
  Population& population = *entry.population;
  Representation* representation = findRepresentation(agent.representation);
  if (!representation) fatalError("Representation number set to illegal number, exit.");
  user_set_field_sizes(*representation);
  population.representation = representation->number;
  population.fieldSizes = representation->field_sizes;
  population.fitnessSettings = fitnessSettingsOf(agent);
  const EncodingContext context = encodingContextForAgent(agent);
  const int size = populationSizeOf(agent);
  ReportSettings report = reportSettingsOf(agent, population);
  report.populationSize = size;
  writeLog(entry, parameterReport(agent.number, run.startAgent == run.finalAgent, report));

  std::vector<Member> fresh;
  bool baselineJoins = false;
  if (run.settings.baselineSuppressed != 1) {
    Member baseline;
    baseline.design = baselineDesign(agent);
    fillChromosome(baseline.design, *representation, context);
    baseline.origin = kMadeBaseline;
    fresh.push_back(std::move(baseline));
    baselineJoins = run.settings.baselineInSearch != 0 || startsFromOneDesign(agent.method.code);
  }
  // User designs handed in for this agent.
  AgentResults& results = agentResults(agent);
  UserDesignSet userDesigns = readUserDesigns(agent, results);
  for (Design& design : userDesigns.toEvaluate) {
    Member member;
    member.design = std::move(design);
    fillChromosome(member.design, *representation, context);
    member.origin = kMadeUserDesign;
    fresh.push_back(std::move(member));
  }
  // The best designs of the agent's history (a resumed run) and those handed with results.
  std::vector<Member> stored;
  for (std::size_t i = 0; i < results.store.designs.size(); ++i) {
    Member member;
    member.design = designStoreAt(results.store, i);
    if (member.design.representation != population.representation) continue;
    fillChromosome(member.design, *representation, context);
    member.raw = member.design.failed ? kFailedPerformance : member.design.performance;
    member.origin = kMadeHistory;
    stored.push_back(std::move(member));
  }
  std::stable_sort(stored.begin(), stored.end(),
                   [](const Member& a, const Member& b) { return a.raw > b.raw; });

  const int members = static_cast<int>(fresh.size()) - (baselineJoins || fresh.empty() ? 0 : 1);
  const int fromHistory = std::clamp(size - members, 0, static_cast<int>(stored.size()));
  int random = std::max(0, size - members - fromHistory);
  const bool hybrid = isHybridSearch(agent.method.code);
  if (startsFromOneDesign(agent.method.code) && members + fromHistory > 0) random = 0;
  if (hybrid && agent.method.numEvals > 0) {
    // The budget counts every design, the baseline included.
    random = std::clamp(agent.method.numEvals - agent.evaluatedDesigns -
                            static_cast<int>(fresh.size()),
                        0, random);
  }
  const bool structured =
      agent.method.code == kMethodGenetic && agent.structuredInitialization != 0;
  if ((hybrid || agent.method.code == kMethodSwarm || structured) && random > 1) {
    // The hybrid search's models learn most from designs spread evenly over the space, and a
    // swarm explores more of it from there: a Latin hypercube, one stratum of each variable
    // per design. A GA takes one when the agent asks for a structured first population: a
    // small population then covers every part of each variable's range.
    const std::vector<Design> spread = latinDesigns(agent, population, random);
    for (const Design& design : spread) {
      Member member;
      member.design = design;
      member.origin = kMadeRandom;
      fresh.push_back(std::move(member));
    }
  } else {
    for (int i = 0; i < random; ++i) {
      Member member;
      member.design = randomDesign(agent, population);
      member.origin = kMadeRandom;
      fresh.push_back(std::move(member));
    }
  }
  evaluateMembers(agent, population, fresh, services);
  renameUserDesignsFiles(agent, userDesigns);

  population.members.clear();
  for (Member& member : fresh) {
    if (member.origin == kMadeBaseline && !baselineJoins) {
      // Evaluated (and counted), but not a member: keep it as a candidate for the best.
      if (fitnessCounted(member.raw) &&
          (!population.bestEver.valid || member.raw > population.bestEver.raw)) {
        population.bestEver.valid = true;
        population.bestEver.design = member.design;
        population.bestEver.raw = member.raw;
        population.bestEver.evaluation = population.counters.evaluations;
      }
      continue;
    }
    population.members.push_back(std::move(member));
  }
  for (int i = 0; i < fromHistory; ++i) population.members.push_back(std::move(stored[i]));
  // A population larger than asked (many user designs) keeps its best members.
  if (static_cast<int>(population.members.size()) > size) {
    std::stable_sort(population.members.begin(), population.members.end(),
                     [](const Member& a, const Member& b) { return a.raw > b.raw; });
    population.members.resize(static_cast<std::size_t>(size));
  }
  endOfGeneration(agent, entry);
  population.initialised = true;
  writeLog(entry, initialPopulationSummary(population));
}

// A migrant of `link` made from `chosen` (a design of the donor with raw fitness `raw`),
// shared into the receiver's representation.
Member migrantOf(const Agent& agent, const Population& population, const MigrationLink& link,
                 const Design& chosen, double raw, const EncodingContext& context) {
  Member migrant;
  migrant.design = chosen.representation == population.representation
                       ? chosen
                       : share(chosen, link.donor, agent.number, population.representation,
                               context);
  migrant.design.source = agent.number;
  migrant.raw = raw;
  migrant.origin = kMadeMigrant;
  return migrant;
}

// Incest reduction of a link with whole number I >= 1: each migrant is the one of I + 1
// candidates (each drawn by the link's own rule) that lies farthest from its nearest member
// of the receiving population, the first of equals; without it the one candidate drawn.
// `draw` answers false when the migration is cancelled, and leaves `candidate` without a
// design when the drawn member failed.
template <typename Draw>
bool drawMigrant(const MigrationLink& link, const Population& population, Draw draw,
                 std::vector<Member>& migrants) {
  const int candidates = 1 + incestReductionOf(link);
  Member kept;
  bool have = false;
  double keptDistance = -1.0;
  for (int c = 0; c < candidates; ++c) {
    Member candidate;
    bool drawn = false;
    if (!draw(candidate, drawn)) return false;
    if (!drawn) continue;
    const double distance =
        candidates > 1 ? nearestMemberDistance(candidate.design.chromosome, population) : 0.0;
    if (have && distance <= keptDistance) continue;
    kept = std::move(candidate);
    keptDistance = distance;
    have = true;
  }
  if (have) migrants.push_back(std::move(kept));
  return true;
}

// Migrants of `link` from the population file of its donor (search/population_file.h), as
// the donor wrote it at the end of its last cycle: for each migrant three members are drawn
// at random and the best of them (by raw fitness) is taken. A donor without a file gives
// none. A member that cannot be read writes "***OOPS, Migration Error***" to the message file
// and standard error and answers false: the migration is cancelled.
bool takeMigrantsFromFile(const Agent& agent, const Population& population,
                          const MigrationLink& link, std::vector<Member>& migrants,
                          std::vector<int>& crowding) {
  const Agent* donorAgent = findAgent(link.donor);
  PopulationFile file;
  if (!donorAgent || !InitCPRead(file, agentFileName(link.donor, ".mem"), -1) ||
      file.members < 1) {
    return true;
  }
  const EncodingContext context = encodingContextForAgent(agent);
  auto draw = [&](Member& migrant, bool& drawn) {
    Member best;
    bool any = false;
    for (int d = 0; d < 3; ++d) {
      Member candidate;
      if (!NthMemRead(file, *donorAgent, randomInt(0, file.members - 1), candidate.design,
                      candidate.raw)) {
        writeMessage("outptr|stderr", "none", "***OOPS, Migration Error***");
        return false;
      }
      if (!any || candidate.raw > best.raw) best = std::move(candidate);
      any = true;
    }
    drawn = fitnessCounted(best.raw);
    if (drawn) migrant = migrantOf(agent, population, link, best.design, best.raw, context);
    return true;
  };
  for (int m = 0; m < link.designCount; ++m) {
    if (!drawMigrant(link, population, draw, migrants)) {
      EndCPRead(file);
      return false;
    }
  }
  crowding.resize(migrants.size(), crowdingFactorOf(link));
  EndCPRead(file);
  return true;
}

// Where migrant `migrant` goes in a population of two or more members (`best`: the index of
// the best member, never replaced). Crowding factor C >= 1: the nearest to the migrant of C
// members drawn at random among the others; otherwise the next of the worst members
// (`worst`, taken in turn through `nextWorst`).
std::size_t migrantPlace(const Population& population, const Member& migrant, int crowd,
                         std::size_t best, const std::vector<std::size_t>& worst,
                         std::size_t& nextWorst) {
  if (crowd < 1) return worst[nextWorst++];
  const int others = static_cast<int>(population.members.size()) - 1;
  std::size_t place = 0;
  double nearest = std::numeric_limits<double>::infinity();
  for (int c = 0; c < crowd; ++c) {
    std::size_t index = static_cast<std::size_t>(randomInt(0, others - 1));
    if (index >= best) ++index;
    const double distance = fieldDistance(migrant.design.chromosome,
                                          population.members[index].design.chromosome,
                                          population.fieldSizes);
    if (distance < nearest) {
      nearest = distance;
      place = index;
    }
  }
  return place;
}

// Migrants from the agents named by the `neighbor` links: each link's donor gives its
// designCount best members (a tournament of two by raw fitness per migrant, with the link's
// incest reduction), shared into this agent's representation; they replace the worst members
// or, with the link's crowding factor, the members nearest to them. A population of one
// member takes the best migrant only when it is better than its best design.
void takeMigrants(Agent& agent, GeneticRun& entry, const EvaluationServices& services) {
  Population& population = *entry.population;
  if (agent.links.empty() || population.members.empty()) return;
  std::vector<Member> migrants;
  std::vector<int> crowding;  // the crowding factor of each migrant's link
  for (const MigrationLink& link : agent.links) {
    if (link.donor < run.startAgent || link.donor > run.finalAgent) {
      // A donor that runs in another solver process gives migrants from its population file.
      if (!takeMigrantsFromFile(agent, population, link, migrants, crowding)) return;
      continue;
    }
    auto donor = runs().find(link.donor);
    if (donor == runs().end() || !donor->second.population ||
        !donor->second.population->initialised) {
      continue;
    }
    const Population& from = *donor->second.population;
    const Agent* donorAgent = findAgent(link.donor);
    Representation* target = findRepresentation(agent.representation);
    if (!donorAgent || !target || from.members.empty()) continue;
    const EncodingContext context = encodingContextForAgent(agent);
    auto draw = [&](Member& migrant, bool& drawn) {
      const int a = randomInt(0, static_cast<int>(from.members.size()) - 1);
      const int b = randomInt(0, static_cast<int>(from.members.size()) - 1);
      const Member& chosen =
          from.members[static_cast<std::size_t>(from.members[b].raw > from.members[a].raw ? b : a)];
      drawn = fitnessCounted(chosen.raw);
      if (drawn) migrant = migrantOf(agent, population, link, chosen.design, chosen.raw, context);
      return true;
    };
    const int count = std::min(link.designCount, static_cast<int>(from.members.size()));
    for (int m = 0; m < count; ++m) drawMigrant(link, population, draw, migrants);
    crowding.resize(migrants.size(), crowdingFactorOf(link));
  }
  if (migrants.empty()) return;
  if (agent.stochasticFitness) {
    for (Member& migrant : migrants) migrant.design.designNumber = -1;
    evaluateMembers(agent, population, migrants, services);
  }
  if (population.members.size() == 1) {
    // One member: the best migrant replaces it only when it is better than the best design.
    auto best = std::max_element(migrants.begin(), migrants.end(),
                                 [](const Member& x, const Member& y) { return x.raw < y.raw; });
    const double own = population.bestEver.valid ? population.bestEver.raw
                                                 : population.members.front().raw;
    if (!fitnessCounted(best->raw) || best->raw <= own) {
      const char* text =
          "\n\n\tNo migration because migrant not better than the best and popsize equal to 1.\n";
      writeLog(entry, text);
      writeFormatted(outptr, "%s", text);
      return;
    }
    population.members.front() = std::move(*best);
    writeLog(entry, formatText("\n Agent %d took %d migrants.\n", agent.number, 1));
    endOfGeneration(agent, entry);
    return;
  }
  // The worst members make room; the best member is never replaced.
  std::vector<std::size_t> order(population.members.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return population.members[a].raw < population.members[b].raw;
  });
  const std::size_t bestIndex = order.back();
  const std::size_t room = std::min(migrants.size(), population.members.size() - 1);
  std::size_t nextWorst = 0;
  for (std::size_t i = 0; i < room; ++i) {
    const std::size_t place =
        migrantPlace(population, migrants[i], crowding[i], bestIndex, order, nextWorst);
    population.members[place] = std::move(migrants[i]);
  }
  writeLog(entry, formatText("\n Agent %d took %d migrants.\n", agent.number,
                             static_cast<int>(room)));
  endOfGeneration(agent, entry);
}

// User designs files added since the agent's first population (GA and TOLMAR agents, at the
// start of each later cycle): read as the first population reads them, the new designs
// evaluated as one batch, the files renamed; the designs then replace the worst members, the
// best member never.
void takeUserDesigns(Agent& agent, GeneticRun& entry, const EvaluationServices& services) {
  const int code = agent.method.code;
  if (code != kMethodGenetic && code != kMethodTolmar) return;
  Population& population = *entry.population;
  Representation* representation = findRepresentation(agent.representation);
  if (!representation || population.members.empty()) return;
  UserDesignSet set = readUserDesigns(agent, agentResults(agent));
  if (set.filesRead.empty()) return;
  const EncodingContext context = encodingContextForAgent(agent);
  std::vector<Member> fresh;
  for (Design& design : set.toEvaluate) {
    Member member;
    member.design = std::move(design);
    fillChromosome(member.design, *representation, context);
    member.birthGeneration = population.counters.generation;
    member.origin = kMadeUserDesign;
    fresh.push_back(std::move(member));
  }
  evaluateMembers(agent, population, fresh, services);
  renameUserDesignsFiles(agent, set);
  if (fresh.empty()) return;
  std::vector<std::size_t> order(population.members.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return population.members[a].raw < population.members[b].raw;
  });
  const std::size_t room = std::min(fresh.size(), population.members.size() - 1);
  for (std::size_t i = 0; i < room; ++i) population.members[order[i]] = std::move(fresh[i]);
  writeLog(entry, formatText("\n Agent %d took %d user designs.\n", agent.number,
                             static_cast<int>(room)));
  endOfGeneration(agent, entry);
}

// The chromosomes of the population, for the mutation that looks at the field spread.
std::vector<const std::vector<int>*> chromosomesOf(const Population& population) {
  std::vector<const std::vector<int>*> list;
  for (const Member& member : population.members) list.push_back(&member.design.chromosome);
  return list;
}

// The adaptive operators of a GA agent, set up before its first generation that uses them:
// the family without levels (family B), starting from the agent's crossover and mutation
// rates; after each generation the probabilities follow the operators' credit.
void setUpAdaptive(const Agent& agent, GeneticRun& entry) {
  const Population& population = *entry.population;
  const int fields = static_cast<int>(population.fieldSizes.size());
  adaptiveReset(entry.adaptive, static_cast<int>(population.members.size()),
                std::max(1.0, std::sqrt(static_cast<double>(fields))));
  std::vector<char> discrete(population.fieldSizes.size(), 0);
  entry.adaptive.fineGrained = mostlyFineGrained(population.fieldSizes, discrete) ? 1 : 0;
  entry.adaptive.pcross = agent.method.genetic.crossoverRate;
  entry.adaptive.pmutation = agent.method.genetic.mutationRate;
  entry.adaptiveReady = true;
}

// What the breeding of a genetic generation selects from: the members' scaled and raw fitness
// and constraint violation, the choice list of proportional and ranking selection, and
// whether the feasibility watch is on (a study with constraints and almost no feasible
// design: parents are then chosen by their constraint violation first,
// selectLeastViolation). The steady-state search keeps it up to date as members are replaced.
struct Breeding {
  int generation = 0;              // the generation the new designs belong to
  double pcross = 0.0;
  bool feasibilityFirst = false;
  std::vector<double> scaled;
  std::vector<double> raw;
  std::vector<double> violation;
  std::vector<const std::vector<int>*> chromosomes;  // for the mutations that look at spread
  double slope = 1.0;              // scaled = slope x raw + intercept for the members at the
  double intercept = 0.0;          // start (every scaling is such a line)
};

// The scaled fitness of a new member with raw fitness `raw` on the line of the generation's
// scaling (the scaling itself runs when the generation ends).
double scaledOnLine(const Breeding& b, const Population& population, double raw) {
  if (!fitnessCounted(raw)) return population.fitnessSettings.requireNonNegative ? 0.0 : raw;
  return b.slope * raw + b.intercept;
}

void noteMember(Breeding& b, std::size_t index, const Member& member) {
  b.scaled[index] = member.scaled;
  b.raw[index] = member.raw;
  b.violation[index] = member.design.violation;
}

Breeding startBreeding(const Agent& agent, GeneticRun& entry, int generation) {
  const Population& population = *entry.population;
  const GeneticSettings& genetic = agent.method.genetic;
  Breeding b;
  b.generation = generation;
  b.pcross = agent.method.code == kMethodDoe ? 0.0 : genetic.crossoverRate;
  const std::size_t n = population.members.size();
  b.scaled.resize(n);
  b.raw.resize(n);
  b.violation.resize(n);
  for (std::size_t i = 0; i < n; ++i) noteMember(b, i, population.members[i]);
  b.chromosomes = chromosomesOf(population);
  std::size_t low = n;
  std::size_t high = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (!fitnessCounted(b.raw[i])) continue;
    if (low == n || b.raw[i] < b.raw[low]) low = i;
    if (high == n || b.raw[i] > b.raw[high]) high = i;
  }
  if (low != n && b.raw[high] > b.raw[low]) {
    b.slope = (b.scaled[high] - b.scaled[low]) / (b.raw[high] - b.raw[low]);
    b.intercept = b.scaled[low] - b.slope * b.raw[low];
  } else if (low != n) {
    b.intercept = b.scaled[low] - b.raw[low];
  }
  b.feasibilityFirst = population.fitnessState.infeasibleStart;
  if (b.feasibilityFirst) {
    writeLog(entry, formatText("\n Generation %d: parents chosen by constraint violation (fewer "
                               "than 3 and fewer than 10%% of the members feasible)\n",
                               generation));
  }
  if (!b.feasibilityFirst && genetic.selectionType == 1) prepareUniversal(entry.selection, b.scaled);
  if (!b.feasibilityFirst && genetic.selectionType == 2) {
    prepareRanking(entry.selection, b.scaled, genetic.scaleMultiplier, entry.log);
  }
  return b;
}

const Member& selectParent(const Agent& agent, GeneticRun& entry, const Breeding& b) {
  const GeneticSettings& genetic = agent.method.genetic;
  int index;
  if (b.feasibilityFirst) {
    index = selectLeastViolation(b.violation, b.raw, b.scaled, genetic.tournamentSize);
  } else if (genetic.selectionType == 0) {
    index = selectTournament(b.scaled, genetic.tournamentSize);
  } else {
    index = selectFromList(entry.selection);
  }
  return entry.population->members[static_cast<std::size_t>(index)];
}

// Two parents selected, crossed and their children mutated: up to `room` children appended to
// `children`, each made new as long as `known` names it (a design evaluated before or
// another new one): it is mutated again, with the adaptive mutation through mutateUntilNew,
// otherwise up to kRemutations normal field mutation events, one at a time. A repeated design
// would take stored results: it would spend a place of the generation and teach nothing.
void breedPair(const Agent& agent, GeneticRun& entry, Breeding& b, std::vector<Member>& children,
               std::size_t room, const std::function<bool(const std::vector<int>&)>& known) {
  Population& population = *entry.population;
  const GeneticSettings& genetic = agent.method.genetic;
  const bool adaptiveCross = genetic.crossoverType == 3;
  const bool adaptiveMutate = genetic.mutationType == 2;
  const Member& first = selectParent(agent, entry, b);
  const Member& second = selectParent(agent, entry, b);
  std::vector<int> a;
  std::vector<int> c;
  int crossCode = 0;
  int crossed;
  if (adaptiveCross) {
    crossCode = adaptiveCrossover(entry.adaptive, false, first.design.chromosome,
                                  second.design.chromosome, population.fieldSizes, a, c);
    crossed = crossCode != 0 ? 1 : 0;
  } else {
    crossed = crossover(genetic.crossoverType, first.design.chromosome,
                        second.design.chromosome, b.pcross, a, c);
  }
  population.counters.crossovers += crossed;
  for (std::vector<int>* child : {&a, &c}) {
    if (room == 0) break;
    --room;
    int mutations = 0;
    int mutateCode = 0;
    double width = 1.0;
    if (adaptiveMutate) {
      mutateCode = adaptiveMutation(entry.adaptive, false, *child, population.fieldSizes,
                                    b.chromosomes, width);
      mutations = mutateCode != 0 ? 1 : 0;
      if (known(*child)) {
        mutateUntilNew(entry.adaptive, false, *child, population.fieldSizes, b.chromosomes,
                       known, mutateCode, width);
        mutations = mutateCode != 0 ? 1 : 0;
      }
    } else {
      if (genetic.mutationType == 1) {
        mutations = mutateMultiField(*child, population.fieldSizes, genetic.mutationRate,
                                     kAverageMutationWidth, b.chromosomes, entry.log);
      } else {
        mutations = mutateNormalField(*child, population.fieldSizes, genetic.mutationRate);
      }
      for (int tries = 0; tries < kRemutations && known(*child); ++tries) {
        mutations += normalFieldEvent(*child, population.fieldSizes);
      }
    }
    population.counters.mutations += mutations;
    Member member;
    member.design = childDesign(agent, population, std::move(*child), b.generation);
    member.birthGeneration = b.generation;
    member.origin = (crossed ? kMadeCrossover : kMadeCopy) | (mutations ? kMadeMutation : 0);
    if (adaptiveCross || adaptiveMutate) {
      member.ga_operator = mutateCode != 0 ? mutateCode : crossCode;
      member.firstparent = first.raw;
      member.secondparent = second.raw;
      member.mut_width = width;
    }
    children.push_back(std::move(member));
  }
}

// Whether `chromosome` is that of a design in the agent's stored-design table (hashing on)
// or of one of `fresh`.
bool knownDesign(const Agent& agent, const Population& population, const DesignStore& store,
                 const std::vector<int>& chromosome, const std::vector<Member>& fresh) {
  if (!store.enabled) return false;
  for (const Member& member : fresh) {
    if (member.design.chromosome == chromosome) return true;
  }
  return designStoreFind(store, childDesign(agent, population, chromosome, 0));
}

// One genetic generation: selection, crossover and mutation make a new population, which is
// evaluated as one batch; the best ever replaces the worst child when no child is better.
void geneticGeneration(Agent& agent, GeneticRun& entry, const EvaluationServices& services) {
  Population& population = *entry.population;
  const GeneticSettings& genetic = agent.method.genetic;
  const int n = static_cast<int>(population.members.size());
  const int generation = population.counters.generation + 1;
  if (n == 1) {
    // Nothing to select or cross: the current design is the best.
    population.counters.generation = generation;
    endOfGeneration(agent, entry);
    return;
  }
  const bool adaptive = genetic.crossoverType == 3 || genetic.mutationType == 2;
  if (adaptive && !entry.adaptiveReady) setUpAdaptive(agent, entry);
  Breeding b = startBreeding(agent, entry, generation);
  const double bestBefore =
      population.bestEver.valid ? population.bestEver.raw : kFailedPerformance;

  std::vector<Member> children;
  children.reserve(static_cast<std::size_t>(n));
  const DesignStore& store = agentResults(agent).store;
  auto known = [&](const std::vector<int>& chromosome) {
    return knownDesign(agent, population, store, chromosome, children);
  };
  while (static_cast<int>(children.size()) < n) {
    breedPair(agent, entry, b, children, static_cast<std::size_t>(n) - children.size(), known);
  }
  evaluateMembers(agent, population, children, services);
  if (adaptive) {
    for (const Member& child : children) {
      if (!fitnessCounted(child.raw)) continue;
      creditOperator(entry.adaptive, child.ga_operator, child.raw, child.firstparent,
                     child.secondparent, bestBefore, child.mut_width);
    }
  }

  // Elitism: the best ever survives when no child is as good.
  if (population.bestEver.valid) {
    auto worst = std::min_element(children.begin(), children.end(),
                                  [](const Member& x, const Member& y) { return x.raw < y.raw; });
    const bool better = std::any_of(children.begin(), children.end(), [&](const Member& c) {
      return c.raw >= population.bestEver.raw;
    });
    if (!better && worst != children.end()) {
      Member elite;
      elite.design = population.bestEver.design;
      elite.raw = population.bestEver.raw;
      elite.birthGeneration = population.bestEver.generation;
      *worst = std::move(elite);
    }
  }
  population.members = std::move(children);
  population.counters.generation = generation;
  endOfGeneration(agent, entry);
  if (adaptive) {
    adaptProbabilities(entry.adaptive, 0, static_cast<int>(population.fieldSizes.size()));
  }
}

// The steady-state genetic search (the SteadyStep shape): each freed slot gets one new design,
// bred from the members as they are then (the second child of a pair waits for the next
// slot), and each finished design replaces the member steadyReplacement names when it is at
// least as good as that member (the best member is therefore never lost). A generation ends after as many designs
// finished as the population has members: the members are then scored, the adaptive
// operators' probabilities adapt and the selection starts from the new scores.
void geneticSteady(Agent& agent, Population& population, FileHandle* log,
                   const EvaluationServices& services,
                   const std::function<bool()>& generationEnded) {
  GeneticRun& entry = geneticRun(agent.number);
  const int n = static_cast<int>(population.members.size());
  if (n < 2) return;
  const GeneticSettings& genetic = agent.method.genetic;
  const bool adaptive = genetic.crossoverType == 3 || genetic.mutationType == 2;
  if (adaptive && !entry.adaptiveReady) setUpAdaptive(agent, entry);
  Breeding b = startBreeding(agent, entry, population.counters.generation + 1);
  double bestBefore = population.bestEver.valid ? population.bestEver.raw : kFailedPerformance;
  const DesignStore& store = agentResults(agent).store;
  std::vector<Member> fresh;    // the designs handed out and not finished, then those bred
                                // and not handed out yet
  std::size_t handedOut = 0;    // of `fresh`, the first ones
  int finishedCount = 0;        // designs finished in the current generation
  bool goOn = true;
  // As many designs as the generations of the cycles left would make, no more.
  long left = static_cast<long>(std::max(1, agent.method.numCycles - run.currentCycle)) *
              std::max(1, agent.method.generationsPerCycle) * n;
  auto known = [&](const std::vector<int>& chromosome) {
    return knownDesign(agent, population, store, chromosome, fresh);
  };
  auto next = [&](Member& member, int) {
    if (!goOn || left <= 0) return false;
    --left;
    if (handedOut == fresh.size()) breedPair(agent, entry, b, fresh, 2, known);
    member = fresh[handedOut++];
    return true;
  };
  auto endGeneration = [&]() {
    population.counters.generation = b.generation;
    finishGeneration(agent, population, log);
    if (adaptive) {
      adaptProbabilities(entry.adaptive, 0, static_cast<int>(population.fieldSizes.size()));
    }
    finishedCount = 0;
    return generationEnded();
  };
  auto finished = [&](std::size_t, Member& child) {
    auto running = std::find_if(fresh.begin(), fresh.begin() + static_cast<long>(handedOut),
                                [&](const Member& m) {
                                  return m.design.chromosome == child.design.chromosome;
                                });
    if (running != fresh.begin() + static_cast<long>(handedOut)) {
      fresh.erase(running);
      --handedOut;
    }
    if (adaptive && fitnessCounted(child.raw)) {
      creditOperator(entry.adaptive, child.ga_operator, child.raw, child.firstparent,
                     child.secondparent, bestBefore, child.mut_width);
    }
    const std::size_t index = steadyReplacement(population);
    Member& replaced = population.members[index];
    if (child.raw >= replaced.raw) {
      child.scaled = scaledOnLine(b, population, child.raw);
      replaced = child;
      noteMember(b, index, replaced);
    }
    if (++finishedCount < n || !goOn) return;
    goOn = endGeneration();
    if (!goOn) return;
    fresh.resize(handedOut);  // bred for the generation that ended
    b = startBreeding(agent, entry, population.counters.generation + 1);
    bestBefore = population.bestEver.valid ? population.bestEver.raw : kFailedPerformance;
  };
  evaluateMembersSteady(agent, population, std::max(1, study.nParallel), next, finished,
                        services);
  // The designs of a generation that the end cut short.
  if (finishedCount > 0) endGeneration();
}

// Convergence: with the agent's reinitializeOptions (stall generations, share, elitism) the
// population counts as converged when the best ever has not improved for that many
// generations; without them when every locus has converged. A converged population has a
// share of its members replaced by random designs, evaluated as one batch.
void reinitialiseIfConverged(Agent& agent, GeneticRun& entry, const ConvergenceStatistics& stats,
                             const EvaluationServices& services) {
  Population& population = *entry.population;
  const int n = static_cast<int>(population.members.size());
  if (n < 2) return;
  const std::vector<double>& options = agent.reinitializeOptions;
  // The hybrid search keeps its diversity in its levels and its models, and a swarm's
  // particles carry their velocities and bests: they restart members only when the user asks
  // for it. The local searches' members are the designs of their last step, not a population.
  const int code = agent.method.code;
  if (code != kMethodGenetic && code != kMethodTolmar && code != kMethodSwarm) return;
  if ((code == kMethodTolmar || code == kMethodSwarm) && options.empty()) return;
  bool converged;
  if (!options.empty() && options[0] >= 1.0) {
    converged = population.counters.generation - population.counters.generationAtBest >=
                static_cast<int>(options[0]);
  } else {
    converged = stats.percentConverged >= 100.0;
  }
  if (!converged) return;
  const double share = options.size() > 1 ? options[1] : kReinitializeShare;
  const bool elitism = options.size() > 2 ? options[2] != 0.0 : kReinitializeElitism != 0;
  const int count = std::clamp(static_cast<int>(std::lround(share * n)), 0, n - (elitism ? 1 : 0));
  if (count == 0) return;
  std::string text = formatText("\n *** Subpopulation %d converged ***", agent.number);
  text = formatText("%s Reinitializing %d members,", text.c_str(), count);
  text = formatText(elitism ? "%s with" : "%s without", text.c_str());
  text = formatText("%s elitism.", text.c_str());
  writeLog(entry, text + "\n");
  // The best member stays first when elitism is on; the others are replaced from the end of
  // the fitness order.
  std::stable_sort(population.members.begin(), population.members.end(),
                   [](const Member& a, const Member& b) { return a.raw > b.raw; });
  std::vector<Member> fresh;
  for (int i = 0; i < count; ++i) {
    Member member;
    member.design = randomDesign(agent, population);
    member.birthGeneration = population.counters.generation;
    member.origin = kMadeRandom;
    fresh.push_back(std::move(member));
  }
  evaluateMembers(agent, population, fresh, services);
  for (int i = 0; i < count; ++i) {
    population.members[static_cast<std::size_t>(n - 1 - i)] = std::move(fresh[static_cast<std::size_t>(i)]);
  }
  endOfGeneration(agent, entry);
}


void reportGeneration(Agent& agent, GeneticRun& entry, const EvaluationServices* services) {
  Population& population = *entry.population;
  const ConvergenceStatistics stats =
      convergenceStatistics(population, kGoodMemberDeviations, minimising(agent));
  const bool full = population.counters.generation % kFullConvergenceInterval == 0;
  writeLog(entry, subpopulationReport(population, stats, full));
  if (services) reinitialiseIfConverged(agent, entry, stats, *services);
  writeFormatted(outptr, "**Subpop %d, Gen %d done; Total eval.'s this process: %ld\n",
                 agent.number, population.counters.generation,
                 static_cast<long>(agent.evaluatedDesigns));
  if (entry.log) flushFile(entry.log);
}

void endCycle(Agent& agent, GeneticRun& entry) {
  Population& population = *entry.population;
  writeLog(entry, endOfSubpopulationReport(agent.number, run.currentCycle,
                                           populationOnline(population.counters),
                                           populationOffline(population.counters)));
  writeFormatted(outptr, "\n Performance Recorded To Date in this Agent:");
  writeFormatted(outptr, "\n On-Line= %f, Off-line= %f\n", populationOnline(population.counters),
                 populationOffline(population.counters));
  if (entry.log) flushFile(entry.log);
  if (run.currentCycle + 1 >= agent.method.numCycles) agent.runState = 2;
}

}  // namespace

std::string geneticLogPath(int agentNumber) { return agentFileName(agentNumber, ".dat"); }

Population& agentPopulation(int agentNumber) { return *geneticRun(agentNumber).population; }

void closeGeneticLogs() {
  for (auto& [number, entry] : runs()) {
    if (entry.log) closeFile(entry.log);
    entry.log = nullptr;
  }
}

void resetGeneticState() {
  for (auto& [number, entry] : runs()) {
    if (entry.log) closeFile(entry.log);
  }
  runs().clear();
}

std::size_t steadyReplacement(const Population& population) {
  const int n = static_cast<int>(population.members.size());
  std::size_t place = static_cast<std::size_t>(randomInt(0, n - 1));
  for (int t = 1; t < kReplacementDraws; ++t) {
    const std::size_t other = static_cast<std::size_t>(randomInt(0, n - 1));
    if (population.members[other].raw < population.members[place].raw) place = other;
  }
  return place;
}

void evaluatePopulationMembers(Agent& agent, Population& population, std::vector<Member>& members,
                               const EvaluationServices& services) {
  evaluateMembers(agent, population, members, services);
}

void evaluateMembersSteady(Agent& agent, Population& population, int slots,
                           const MemberSource& next, const MemberSink& finished,
                           const EvaluationServices& services) {
  std::deque<Member> members;
  std::deque<Design> designs;
  bool more = true;
  // The next member, when the source has one; its design goes to the flow.
  auto add = [&](int pending) {
    if (!more) return;
    Member member;
    more = next(member, pending);
    if (!more) return;
    designs.push_back(std::move(member.design));
    members.push_back(std::move(member));
  };
  for (int i = 0; i < std::max(1, slots); ++i) add(i);
  const long before = population.counters.evaluations;
  const BatchSummary summary = evaluateDesignStream(
      agent, designs, services, [&](std::size_t index) {
        // Counted as it finishes, so that the generations ending in the stream report it.
        ++population.counters.evaluations;
        Member& member = members[index];
        member.design = designs[index];
        std::vector<Member> one(1);
        one.front() = std::move(member);
        takeResults(population, one);
        member = std::move(one.front());
        finished(index, member);
        add(0);
      });
  population.counters.evaluations = before + summary.evaluated;
  population.counters.reevaluationsSaved += static_cast<long>(members.size()) - summary.evaluated;
}

void finishGeneration(Agent& agent, Population& population, FileHandle* log) {
  scoreGeneration(agent, population, log);
}

Design makeMemberDesign(const Agent& agent, const Population& population,
                        std::vector<int> chromosome, int generation) {
  return childDesign(agent, population, std::move(chromosome), generation);
}

Member makeBredMember(const Agent& agent, const Population& population,
                      std::vector<int> chromosome, int generation, int crossed, int mutated,
                      const Member& first, const Member& second, double width) {
  Member member;
  member.design = childDesign(agent, population, std::move(chromosome), generation);
  member.birthGeneration = generation;
  member.origin = (crossed ? kMadeCrossover : kMadeCopy) | (mutated ? kMadeMutation : 0);
  member.ga_operator = mutated != 0 ? mutated : crossed;
  member.firstparent = first.raw;
  member.secondparent = second.raw;
  member.mut_width = width;
  return member;
}

Design makeRandomDesign(const Agent& agent, const Population& population) {
  return randomDesign(agent, population);
}

std::vector<Design> makeLatinDesigns(const Agent& agent, const Population& population,
                                     int count) {
  return latinDesigns(agent, population, count);
}

void keepPopulationState(int agentNumber, StateArchive& archive) {
  GeneticRun& entry = geneticRun(agentNumber);
  Population& population = *entry.population;
  int members = static_cast<int>(population.members.size());
  archive.items(population.representation, population.fieldSizes, population.initialised, members);
  if (archive.reading()) {
    // At least one field value and four bytes of fitness per member follow.
    if (!archive.ok() || members < 0 || static_cast<std::size_t>(members) > archive.remaining()) {
      archive.fail();
      return;
    }
    population.members.assign(static_cast<std::size_t>(members), Member{});
  }
  for (Member& member : population.members) {
    archive.items(member.raw, member.scaled, member.birthGeneration, member.origin,
                  member.ga_operator, member.firstparent, member.secondparent, member.mut_width);
  }
  archive.items(population.counters, population.bestOfGeneration, population.bestEver,
                population.fitnessSettings, population.fitnessState, population.statistics,
                entry.selection);
}

void keepGeneticState(Agent& agent, StateArchive& archive) {
  GeneticRun& entry = geneticRun(agent.number);
  const GeneticSettings& genetic = agent.method.genetic;
  if (archive.reading()) {
    // A checkpoint of a GA without adaptive operators holds nothing here: they start afresh.
    entry.adaptiveReady = false;
    if (archive.remaining() == 0) return;
  } else if (genetic.crossoverType != 3 && genetic.mutationType != 2) {
    return;
  }
  archive.items(entry.adaptiveReady, entry.adaptive);
}

void runGeneticCycle(Agent& agent, const EvaluationServices& services) {
  if (agent.method.steadyState) {
    runSteadyPopulationCycle(agent, services, geneticSteady);
    return;
  }
  runPopulationCycle(agent, services, nullptr);
}

void runPopulationCycle(Agent& agent, const EvaluationServices& services, GenerationStep step) {
  GeneticRun& entry = geneticRun(agent.number);
  Population& population = *entry.population;
  if (!entry.log) {
    entry.log = openFile(geneticLogPath(agent.number), population.initialised ? "a" : "w");
  }
  if (!population.initialised) {
    if (!searchMayGoOn(agent)) return;
    initialisePopulation(agent, entry, services);
  } else {
    takeMigrants(agent, entry, services);
    takeUserDesigns(agent, entry, services);
  }

  for (int g = 0; g < agent.method.generationsPerCycle; ++g) {
    if (!searchMayGoOn(agent)) break;
    const int from = population.counters.generation;
    writeFormatted(outptr, "\nAGENT NUMBER %d, GENERATION %d->%d\n", agent.number, from,
                   from + 1);
    if (step) {
      step(agent, population, entry.log, services);
    } else {
      geneticGeneration(agent, entry, services);
    }
    reportGeneration(agent, entry, &services);
  }
  endCycle(agent, entry);
}

void runSteadyPopulationCycle(Agent& agent, const EvaluationServices& services,
                              SteadyStep step) {
  GeneticRun& entry = geneticRun(agent.number);
  Population& population = *entry.population;
  if (!entry.log) {
    entry.log = openFile(geneticLogPath(agent.number), population.initialised ? "a" : "w");
  }
  if (!population.initialised) {
    if (!searchMayGoOn(agent)) return;
    initialisePopulation(agent, entry, services);
  } else {
    takeMigrants(agent, entry, services);
    takeUserDesigns(agent, entry, services);
  }
  // Every generation the cycles left would run, in one stream of designs.
  const int planned = std::max(1, agent.method.numCycles - run.currentCycle) *
                      std::max(1, agent.method.generationsPerCycle);
  int generations = 0;
  auto mayGoOn = [&]() { return generations < planned && searchMayGoOn(agent); };
  if (mayGoOn()) {
    writeFormatted(outptr, "\nAGENT NUMBER %d, GENERATION %d->%d (steady state)\n",
                   agent.number, population.counters.generation,
                   population.counters.generation + planned);
    step(agent, population, entry.log, services, [&]() {
      ++generations;
      reportGeneration(agent, entry, nullptr);
      return mayGoOn();
    });
  }
  // The stream ran the cycles left: this is the agent's last.
  agent.method.numCycles = run.currentCycle + 1;
  endCycle(agent, entry);
}


}  // namespace karvo::search
