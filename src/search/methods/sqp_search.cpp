// The SQP search (QP): the genetic core's cycle with a generation step that advances one run
// of the SQP solver by one iteration. The run starts from `startingDesign` (the baseline or
// a stored design), takes at most `numIter` iterations and `numLineSearches` function calls
// per line search; the agent is finished when the solver stops (its code and message are
// written to the message file).
#include "search/agent_record.h"
#include "search/methods/sqp_search.h"

#include <climits>
#include <cstdint>
#include <map>

#include "base/messages.h"
#include "base/state_archive.h"
#include "base/text.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "search/design_vectors.h"
#include "search/genetic.h"
#include "search/local_search.h"
#include "search/population.h"

namespace karvo::search {

namespace {

struct SqpRun {
  bool started = false;
  LocalSearch search;
};

std::map<int, SqpRun>& sqpRuns() {
  static std::map<int, SqpRun> table;
  return table;
}

void sqpGeneration(Agent& agent, Population& population, FileHandle* log,
                   const EvaluationServices& services) {
  SqpRun& r = sqpRuns()[agent.number];
  if (!r.started) {
    r.started = true;
    SqpSettings settings;
    settings.maxit = agent.method.local.numIter;
    settings.maxfun = agent.method.local.numLineSearches;
    settings.acc = 1e-6;
    const Design start = startingDesign(agent, population, agent.method.local.startingDesign);
    if (!localSearchBegin(r.search, agent, population, start, settings)) {
      fatalError(formatText(
          "At least 1 continuous variable must be active when using SQP as the optimization "
          "method. No continuous variables found for agent %d.",
          agent.number));
    }
  }
  const int iteration = r.search.sqp.iteration;
  while (r.search.running && r.search.sqp.iteration == iteration) {
    if (!localSearchStep(r.search, agent, population, log, services, LONG_MAX)) break;
  }
  ++population.counters.generation;
  if (!r.search.running) agent.runState = 2;
}

}  // namespace

void runSqpCycle(Agent& agent, const EvaluationServices& services) {
  runPopulationCycle(agent, services, sqpGeneration);
}

void resetSqpState() { sqpRuns().clear(); }

namespace {

constexpr std::int32_t kSqpSearchMark = 0x5350514e;  // "NQPS": the SQP search record follows

}  // namespace

void keepSqpSearchState(Agent& agent, StateArchive& archive) {
  const auto fields = [](StateArchive& a, SqpRun& r) {
    a.item(r.started);
    keepLocalSearch(a, r.search);
  };
  keepAgentRecord(sqpRuns(), agent.number, archive, kSqpSearchMark, fields,
                  [](const SqpRun&) { return true; });
}

}  // namespace karvo::search
