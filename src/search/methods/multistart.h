// The multi-start local search (MS): SQP runs from starting points spread over the design
// space, within the evaluation budget.
#pragma once

namespace karvo {

struct Agent;
struct EvaluationServices;

namespace search {

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runMultiStartCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetMultiStartState();

}  // namespace search
}  // namespace karvo
