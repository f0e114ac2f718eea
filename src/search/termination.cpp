// Termination rules between generations; see termination.h.
#include "search/termination.h"

#include <algorithm>

#include "base/messages.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/representation.h"
#include "definitions/study.h"

namespace karvo::search {

namespace {

bool hybridSearch(const Agent& agent) {
  return agent.method.code == kMethodTolmar || agent.method.code == kMethodParetoTolmar;
}

bool allAgentsFinished() {
  bool any = false;
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    const Agent* agent = findAgent(number);
    if (!agent) continue;
    any = true;
    if (agent->runState != 2) return false;
  }
  return any;
}

// A multi-start agent that has done more evaluations than its budget ends the whole run.
bool multiStartOverBudget() {
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    const Agent* agent = findAgent(number);
    if (agent && agent->method.code == kMethodMultiStart && agent->method.numEvals > 0 &&
        agent->evaluatedDesigns > agent->method.numEvals) {
      return true;
    }
  }
  return false;
}

}  // namespace

long searchEvaluationLimit(const Agent& agent) {
  if (agent.method.numEvals > 0) return agent.method.numEvals;
  if (agent.numEvals > 0) return agent.numEvals;
  const long size = std::max(1, agent.method.populationSize);
  const long generations = static_cast<long>(std::max(1, agent.method.numCycles)) *
                           std::max(1, agent.method.generationsPerCycle);
  return size * (1 + generations) + 1;
}

bool searchMayGoOn(Agent& agent) {
  if (allAgentsFinished() || multiStartOverBudget()) exitRun(kExitNormal, true);
  if (agent.runState == 2) return false;
  const long limit = searchEvaluationLimit(agent);
  if (hybridSearch(agent) && agent.evaluatedDesigns >= limit) {
    agent.method.numCycles = std::min(agent.method.numCycles, run.currentCycle + 1);
  }
  if (hybridSearch(agent) || agent.method.code == kMethodGenetic) {
    Representation* representation = findRepresentation(agent.representation);
    const long long space =
        representation ? representationDesignCount(*representation, limit) : -1;
    if (space >= 0 && agent.evaluatedDesigns >= space) {
      std::string text =
          "The design space has been exhausted. KARVO has performed all possible";
      text = formatText("%s design evaluations for the current setup.", text.c_str());
      text = formatText("%s Try increasing the resolution of the variables if you want to "
                        "evaluate more designs in the current space.",
                        text.c_str());
      writeMessage("outptr", "note", text);
      exitRun(kExitNormal, true);
    }
  }
  return true;
}

}  // namespace karvo::search
