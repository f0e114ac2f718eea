// NSGA-III (NSGA): the genetic core's cycle with a generation step that runs one generation
// of the NSGA-III component (external/nsga3.h) and evaluates the designs it asks for as one
// batch. The component's run state lives between the cycles and is kept in the checkpoint.
#pragma once

namespace karvo {

struct Agent;
struct EvaluationServices;
struct FileHandle;
class StateArchive;

namespace search {

struct Population;

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h): one generation.
// The method has numGen - 1 cycles (definitions/method_settings.cpp).
void runNsgaCycle(Agent& agent, const EvaluationServices& services);

// The generation step (the GenerationStep shape of search/genetic.h). The first call
// starts the component's run with the population's designs as its initial population and
// makes its first two generations: the first is the population itself (its members are
// answered from their known results, nothing is evaluated again), the second the first
// batch of children. Every later call makes one generation: one batch through the
// evaluation flow and one generation of the genetic core's reports. A non-zero answer of
// the component ends the run with "Error in the execution of the NSGA-III optimization
// algorithm. The following error was received:\n%s". After the last generation the best
// fronts of every design the run evaluated (at most the population size) are written to
// the Pareto file.
void nsgaGeneration(Agent& agent, Population& population, FileHandle* log,
                    const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetNsgaState();

// Keeps the NSGA state of `agent` in a checkpoint (see definitions/method_settings.h,
// MethodStateFn).
void keepNsgaState(Agent& agent, StateArchive& archive);

}  // namespace search
}  // namespace karvo
