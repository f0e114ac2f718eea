// The multi-objective hybrid search (MOTOLMAR): an archive of designs ranked into Pareto
// fronts, bred from with the adaptive operators of the hybrid search, written to the Pareto
// file after each cycle. The cycle is described at the top of motolmar.cpp and for users
// in docs/multi-objective.md.
#pragma once

#include <string>

namespace karvo {

struct Agent;
class StateArchive;
struct EvaluationServices;
struct FileHandle;

namespace search {

struct Population;

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runParetoCycle(Agent& agent, const EvaluationServices& services);

// One generation (the GenerationStep shape of search/genetic.h): breeds, evaluates the
// breeding set as one batch, updates the archive, writes the Pareto file's block and checks
// the automatic termination.
void paretoGeneration(Agent& agent, Population& population, FileHandle* log,
                      const EvaluationServices& services);

// Forgets the archive ranks, operator probabilities and termination state of every agent
// (start-up and tests).
void resetParetoState();

// Keeps the MO-TOLMAR state of `agent` in a checkpoint (MethodStateFn of
// definitions/method_settings.h).
void keepParetoState(Agent& agent, StateArchive& archive);

// The note that ends a run by automatic termination.
std::string paretoStopNote();

}  // namespace search
}  // namespace karvo
