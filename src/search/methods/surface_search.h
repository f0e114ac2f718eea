// The search on response surfaces (RS): surfaces fitted to the designs evaluated so far,
// optimised with the SQP solver, and the proposals evaluated.
#pragma once

namespace karvo {

struct Agent;
struct EvaluationServices;

namespace search {

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runSurfaceSearchCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetSurfaceSearchState();

}  // namespace search
}  // namespace karvo
