// The simplex search (NMS), plain or annealed: the method table's runner for its method code.
#pragma once

namespace karvo {

struct Agent;
struct EvaluationServices;

namespace search {

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runSimplexCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetSimplexState();

}  // namespace search
}  // namespace karvo
