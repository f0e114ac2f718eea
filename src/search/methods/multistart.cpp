// The multi-start local search (MS): the genetic core's cycle with a generation step that
// runs the SQP solver (search/local_search.h) from `populationSize` starting points:
//
//   cycle 0: the baseline (or the best stored design) first, then populationSize - 1 points
//            of a Latin hypercube over the design space;
//   cycle c > 0: populationSize points of a fresh Latin hypercube;
//   each point: one SQP run until the solver stops (its code and message in the message
//   file), then the next point; the best design found is the agent's best ever.
//
// Every design counts against `numEvals` (the baseline included); a request of the solver
// that no longer fits in what is left ends the agent. Designs the study has evaluated before
// are taken from the stored designs and cost nothing.
#include "search/agent_record.h"
#include "search/methods/multistart.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "base/run_state.h"
#include "base/state_archive.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "search/design_vectors.h"
#include "search/genetic.h"
#include "search/local_search.h"
#include "search/population.h"

namespace karvo::search {

namespace {

struct MultiStartRun {
  LocalSearch search;
  std::vector<Design> starts;   // starting points of the cycle not yet run
  int cycle = -1;               // the cycle whose starts were laid out
};

std::map<int, MultiStartRun>& multiStartRuns() {
  static std::map<int, MultiStartRun> table;
  return table;
}

long budgetLeft(const Agent& agent) {
  return static_cast<long>(agent.method.numEvals) - agent.evaluatedDesigns;
}

void layOutStarts(MultiStartRun& r, const Agent& agent, const Population& population) {
  r.cycle = run.currentCycle;
  r.starts.clear();
  int count = std::max(1, agent.method.populationSize);
  if (run.currentCycle == 0) {
    r.starts.push_back(startingDesign(agent, population, 0));
    --count;
  }
  if (count > 0) {
    const std::vector<Design> spread = makeLatinDesigns(agent, population, count);
    r.starts.insert(r.starts.end(), spread.begin(), spread.end());
  }
}

void multiStartGeneration(Agent& agent, Population& population, FileHandle* log,
                          const EvaluationServices& services) {
  MultiStartRun& r = multiStartRuns()[agent.number];
  if (r.cycle != run.currentCycle) layOutStarts(r, agent, population);
  SqpSettings settings;
  settings.acc = 1e-6;
  settings.maxfun = 10;
  for (;;) {
    if (!r.search.running) {
      if (r.starts.empty()) break;
      Design start = std::move(r.starts.front());
      r.starts.erase(r.starts.begin());
      localSearchBegin(r.search, agent, population, start, settings);
      continue;
    }
    if (!localSearchStep(r.search, agent, population, log, services, budgetLeft(agent))) {
      agent.runState = 2;  // the budget cannot pay for the solver's next request
      break;
    }
  }
  ++population.counters.generation;
}

}  // namespace

void runMultiStartCycle(Agent& agent, const EvaluationServices& services) {
  runPopulationCycle(agent, services, multiStartGeneration);
}

void resetMultiStartState() { multiStartRuns().clear(); }

namespace {

constexpr std::int32_t kMultiStartMark = 0x5354534d;  // "MSTS": the multi-start record follows

// Every field of the record. `cycle` is compared with run.currentCycle: it holds the cycle
// numbering of the run that wrote it.
void keepFields(StateArchive& archive, MultiStartRun& r) {
  keepLocalSearch(archive, r.search);
  archive.items(r.starts, r.cycle);
}

}  // namespace

void keepMultiStartState(Agent& agent, StateArchive& archive) {
  keepAgentRecord(multiStartRuns(), agent.number, archive, kMultiStartMark,
                  [](const MultiStartRun& r) { return r.cycle >= -1; });
}

}  // namespace karvo::search
