// The generation loop of the genetic core: the population of each search agent, its
// initial population, one generation of selection, crossover and mutation evaluated as one
// batch, fitness scaling, best tracking, convergence and reinitialisation, migration between
// agents, and the genetic log. The GA method's runner is this loop with the genetic
// generation; the hybrid and multi-objective searches reuse its pieces.
//
// One cycle of an agent (runGeneticCycle):
//
//   first cycle:  parameter report -> initial population (below), evaluated as one batch
//                 -> fitness, best, initial summary
//   later cycles: migrants from the agents named by the agent's `neighbor` links
//   then per generation (generationsPerCycle of them):
//     termination test (search/termination.h) -- stop --> end of cycle
//     "AGENT NUMBER %d, GENERATION %d->%d" -> selection, crossover, mutation of a new
//     population -> one batch through the evaluation flow -> elitism (the best ever replaces
//     the worst child when no child is better) -> fitness scaling and statistics -> best
//     tracking (new best lines) -> subpopulation report -> convergence and reinitialisation
//     -> "**Subpop %d, Gen %d done; ..."
//   end of cycle: end-of-subpopulation lines, "Performance Recorded To Date", the agent is
//   marked finished after its last cycle.
//
// Initial population: the baseline design first when the study uses it (it is always
// evaluated first, as design 1, so that baseline normalisations are taken from it; it joins
// the population only with `baselineIsAGoodDesign` / `useBaselineInSearch`), then the user
// designs handed in, then the best designs of the agent's history (a resumed run), then
// random designs up to the population size (a Latin hypercube for the hybrid search, the
// swarm and a GA agent with `structuredInitialization: 1`). The local searches (simplex, annealing, SQP, multi-start, response surfaces) start
// from one design: their population is the baseline (or, without it, the best stored design,
// else one random design), and their step picks its own starting design and makes the rest.
//
// A GA agent with `steadyState: 1` runs its generations as one stream of designs
// (runSteadyPopulationCycle): each freed slot gets one new design bred from the members as
// they are then, and each finished design replaces at once the worst of three members drawn
// at random (steadyReplacement) when it is at least as good as that one; a generation ends after as many finished designs as the population has
// members. A child that repeats a stored design or another new design is mutated again until
// it is new, in both forms.
//
// Crossover type 3 and mutation type 2 are the adaptive operators of the hybrid search
// (search/tolmar_operators.h), used without levels; their probabilities start from the
// agent's rates and follow the credit of the operators after each generation. The study
// reader refuses the user-programmed operators.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "search/population.h"

namespace karvo {

struct Agent;
struct EvaluationServices;
struct FileHandle;
class StateArchive;

namespace search {

// The population of search agent `agentNumber`, made on first use and kept for the run.
Population& agentPopulation(int agentNumber);

// Forgets every population and genetic log (start-up and tests).
void resetGeneticState();

// Closes every open genetic log (a closing step of the run, on every kind of end); the
// populations stay.
void closeGeneticLogs();

// The GA method's runner (the AgentCycleFn shape): one cycle of `agent`.
void runGeneticCycle(Agent& agent, const EvaluationServices& services);

// One generation of a population method: makes the new members, evaluates them as one batch
// (evaluatePopulationMembers), installs them in the population and ends with
// finishGeneration. `log` is the agent's genetic log (may be null).
using GenerationStep = void (*)(Agent& agent, Population& population, FileHandle* log,
                                const EvaluationServices& services);

// One cycle of `agent` as runGeneticCycle, with `step` in place of the genetic generation
// (null: the genetic generation). The hybrid search's runner is this with its own step.
void runPopulationCycle(Agent& agent, const EvaluationServices& services, GenerationStep step);

// A steady-state generation step: makes and evaluates new members one at a time as slots
// free (evaluateMembersSteady), calling `generationEnded` after each generation's worth of
// finished designs (the step has scored it through finishGeneration); it makes no further
// member once that answers false.
using SteadyStep = void (*)(Agent& agent, Population& population, FileHandle* log,
                            const EvaluationServices& services,
                            const std::function<bool()>& generationEnded);

// One cycle of `agent` that runs every generation of the cycles left as one stream of
// designs (`step`): the generation reports as runPopulationCycle writes them, without
// reinitialisation (it would need a batch of its own); then the agent ends.
void runSteadyPopulationCycle(Agent& agent, const EvaluationServices& services,
                              SteadyStep step);

// The members of a steady-state evaluation: `next` fills a new member (false: none now or
// later; `pending` designs it made are not numbered yet), `finished` gets each evaluated
// member (raw fitness taken, on-line and off-line sums counted) with its position in the
// order `next` made them.
using MemberSource = std::function<bool(Member& member, int pending)>;
using MemberSink = std::function<void(std::size_t index, Member& member)>;

// Evaluates members as `next` makes them, at most `slots` at a time, each new one as soon as
// one finishes (evaluation/evaluation_flow.h: evaluateDesignStream), and counts the
// evaluations.
void evaluateMembersSteady(Agent& agent, Population& population, int slots,
                           const MemberSource& next, const MemberSink& finished,
                           const EvaluationServices& services);

// The member that a finished design of the steady-state GA may replace: the worst (lowest raw
// fitness, the first drawn of equals) of three members drawn at random, repeats allowed.
// Replacing the worst member of all at once makes each child compete with the population's
// bottom only: the members soon crowd round one point (on a narrow feasible ridge, one point
// of the ridge). Three draws still replace the worst members most often (the worst of 20
// members in 14 % of the replacements) and the best almost never (1 in 8000, and only by a
// design at least as good).
std::size_t steadyReplacement(const Population& population);

// Evaluates the designs of `members` as one batch through the evaluation flow and takes
// their results (raw fitness, the run counters, on-line and off-line sums).
void evaluatePopulationMembers(Agent& agent, Population& population, std::vector<Member>& members,
                               const EvaluationServices& services);

// Fitness scaling and statistics of the current members, best tracking and the new-best
// lines of the genetic log.
void finishGeneration(Agent& agent, Population& population, FileHandle* log);

// A new design of the agent from a chromosome made by operators, stamped with `generation`.
Design makeMemberDesign(const Agent& agent, const Population& population,
                        std::vector<int> chromosome, int generation);
// A member bred by the adaptive operators of the hybrid searches from `first` and `second`:
// its design from `chromosome`, stamped with `generation`; its origin from the crossover and
// mutation codes (0: none); the operator code, the parents' raw fitness and the block width
// kept for the credit of the operators.
Member makeBredMember(const Agent& agent, const Population& population,
                      std::vector<int> chromosome, int generation, int crossed, int mutated,
                      const Member& first, const Member& second, double width);
// A random design of the representation: every field drawn uniformly.
Design makeRandomDesign(const Agent& agent, const Population& population);
// `count` random designs forming a Latin hypercube over the representation's fields (each
// field's range cut into `count` strata, each stratum used once).
std::vector<Design> makeLatinDesigns(const Agent& agent, const Population& population,
                                     int count);

// Keeps the genetic core's state of agent `agentNumber` in a checkpoint
// (base/state_archive.h): the representation and field sizes, the member count and each
// member's fitness and origin, the counters, the best of the generation and the best ever,
// the fitness settings, state and statistics, the selection list and the initialised flag.
// The members' designs are not in it: the population file holds them. On reading the
// population gets as many members as were written, each with an empty design.
void keepPopulationState(int agentNumber, StateArchive& archive);

// The GA method's own state (the MethodStateFn shape): the set-up flag and the state of the
// adaptive operators when the agent uses them; nothing otherwise. Reading an empty part (a
// checkpoint of a GA without adaptive operators) leaves them to start afresh.
void keepGeneticState(Agent& agent, StateArchive& archive);

// The path of the agent's genetic log: "<study folder>/<prefix><agent>.dat".
std::string geneticLogPath(int agentNumber);

}  // namespace search
}  // namespace karvo
