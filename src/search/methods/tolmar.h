// The hybrid adaptive search (TOLMAR, method code 0): the genetic core's cycle with a
// population in fitness levels, adaptive operators credited by the improvements they make,
// and model-based search decisions throttled by their cost next to the analyses. The
// design is described for users in docs/tolmar.md; the generation is at the top of
// tolmar.cpp.
#pragma once

namespace karvo {

struct Agent;
class StateArchive;
struct EvaluationServices;
struct FileHandle;

namespace search {

struct Population;

// The TOLMAR method's runner (the AgentCycleFn shape): one cycle of `agent`.
void runTolmarCycle(Agent& agent, const EvaluationServices& services);

// One generation of the hybrid search (the GenerationStep shape of search/genetic.h).
void tolmarGeneration(Agent& agent, Population& population, FileHandle* log,
                      const EvaluationServices& services);

// Forgets the levels, operator probabilities, throttle and model state of every agent
// (start-up and tests).
void resetTolmarState();

// Keeps the TOLMAR state of `agent` in a checkpoint (MethodStateFn of
// definitions/method_settings.h).
void keepTolmarState(Agent& agent, StateArchive& archive);

}  // namespace search
}  // namespace karvo
