// The SQP search (QP): one run of the SQP solver from the starting design, one solver
// iteration per generation (search/local_search.h says what the solver is handed).
#pragma once

namespace karvo {

struct Agent;
struct EvaluationServices;

namespace search {

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runSqpCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetSqpState();

}  // namespace search
}  // namespace karvo
