// The runner of the search methods that this build does not have yet: the honest note of
// the first cycle. Called once per cycle per agent.
#include "search/search_turn.h"

#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"

namespace karvo::search {

void runUnavailableCycle(Agent& agent, const EvaluationServices&) {
  if (run.currentCycle > 0) return;  // said once, in the first cycle
  writeMethodUnavailableNote(agent);
}

}  // namespace karvo::search
