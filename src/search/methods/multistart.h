// The multi-start local search (MS): SQP runs from starting points spread over the design
// space, within the evaluation budget.
#pragma once

namespace karvo {

class StateArchive;
struct Agent;
struct EvaluationServices;

namespace search {

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runMultiStartCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetMultiStartState();

// Keeps the method's state of `agent` in a checkpoint (the MethodStateFn shape,
// definitions/method_settings.h): a writing archive gets the agent's record, or a record
// that reads back as "none yet" when the agent has none; a reading archive replaces the
// agent's record (a record read as "none yet" removes it). A read that fails, or whose
// record does not fit together, leaves the agent's record as it was.
void keepMultiStartState(Agent& agent, StateArchive& archive);

}  // namespace search
}  // namespace karvo
