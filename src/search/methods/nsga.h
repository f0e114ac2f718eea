// NSGA-III (NSGA): the genetic core's cycle with a generation step that hands the whole run
// to the NSGA-III component (external/nsga3.h) and evaluates the designs it asks for, one
// generation per batch.
#pragma once

namespace karvo {

struct Agent;
struct EvaluationServices;
struct FileHandle;

namespace search {

struct Population;

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h); the method has
// one cycle.
void runNsgaCycle(Agent& agent, const EvaluationServices& services);

// The generation step (the GenerationStep shape of search/genetic.h): calls the component
// once with the population's designs as its initial population; each of its requests is
// one batch through the evaluation flow and one generation of the genetic core's reports.
// A non-zero answer ends the run with "Error in the execution of the NSGA-III optimization
// algorithm. The following error was received:\n%s". At the end the best fronts of every
// design the agent evaluated (at most the population size) are written to the Pareto file.
void nsgaGeneration(Agent& agent, Population& population, FileHandle* log,
                    const EvaluationServices& services);

}  // namespace search
}  // namespace karvo
