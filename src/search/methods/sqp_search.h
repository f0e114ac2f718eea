// The SQP search (QP): one run of the SQP solver from the starting design, one solver
// iteration per generation (search/local_search.h says what the solver is handed).
#pragma once

namespace karvo {

class StateArchive;
struct Agent;
struct EvaluationServices;

namespace search {

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runSqpCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetSqpState();

// Keeps the method's state of `agent` in a checkpoint (the MethodStateFn shape,
// definitions/method_settings.h): a writing archive gets the agent's record, or a record
// that reads back as "none yet" when the agent has none; a reading archive replaces the
// agent's record (a record read as "none yet" removes it). A read that fails, or whose
// record does not fit together, leaves the agent's record as it was.
void keepSqpSearchState(Agent& agent, StateArchive& archive);

}  // namespace search
}  // namespace karvo
