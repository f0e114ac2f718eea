// The method table: for every method code its word, family, reader, completion step and
// runner. A constant table, looked up once per agent at start-up and once per agent turn.
#include "driver/method_table.h"

#include "doe/doe_study.h"
#include "reliability/reliability_turn.h"
#include "search/genetic.h"
#include "search/methods/annealing.h"
#include "search/methods/swarm.h"
#include "search/methods/motolmar.h"
#include "search/methods/multistart.h"
#include "search/methods/nsga.h"
#include "search/methods/simplex.h"
#include "search/methods/sqp_search.h"
#include "search/methods/surface_search.h"
#include "search/methods/tolmar.h"
#include "search/search_turn.h"

namespace karvo {

namespace {

constexpr MethodEntry entry(int code, MethodFamily family, MethodSettingsReader read,
                            MethodSettingsCompletion complete, AgentCycleFn runCycle,
                            MethodStateFn keepState = nullptr) {
  return {code, kMethodWords[code], family, read, complete, runCycle, keepState};
}

constexpr MethodEntry kMethods[kMethodCount] = {
    entry(kMethodTolmar, kFamilySearch, readTolmarSettings, sizeTolmarMethod,
          search::runTolmarCycle, search::keepTolmarState),
    entry(kMethodMultiStart, kFamilySearch, readMultiStartSettings, completeMultiStartSettings,
          search::runMultiStartCycle, search::keepMultiStartState),
    entry(kMethodSqp, kFamilySearch, readSqpSettings, nullptr, search::runSqpCycle,
          search::keepSqpSearchState),
    entry(kMethodAnnealing, kFamilySearch, readAnnealingSettings, nullptr,
          search::runAnnealingCycle, search::keepAnnealingState),
    entry(kMethodSurfaceSearch, kFamilySearch, readSurfaceSearchSettings, nullptr,
          search::runSurfaceSearchCycle, search::keepSurfaceSearchState),
    entry(kMethodGenetic, kFamilySearch, readGeneticSettings, nullptr, search::runGeneticCycle,
          search::keepGeneticState),
    entry(kMethodDoe, kFamilyDoe, readDoeSettings, nullptr, doe::runDoeStudy),
    entry(kMethodRobustness, kFamilyReliability, readSamplingSettings, nullptr,
          reliability::runSamplingStudy),
    entry(kMethodParetoTolmar, kFamilySearch, readParetoSettings, completeParetoSettings,
          search::runParetoCycle, search::keepParetoState),
    entry(kMethodDesignSweep, kFamilyDoe, readDesignSweepSettings, nullptr,
          doe::runDesignSweep),
    entry(kMethodSimplex, kFamilySearch, readSimplexSettings, nullptr,
          search::runSimplexCycle, search::keepSimplexState),
    entry(kMethodSwarm, kFamilySearch, readSwarmSettings, nullptr, search::runSwarmCycle,
          search::keepSwarmState),
    entry(kMethodReliability, kFamilyReliability, readSamplingSettings, nullptr,
          reliability::runSamplingStudy),
    entry(kMethodNsga, kFamilySearch, readNsgaSettings, completeNsgaSettings,
          search::runNsgaCycle, search::keepNsgaState),
    // A design of experiments: its control and noise arrays come from the DOE builders.
    entry(kMethodRobustDesign, kFamilyDoe, readRobustDesignSettings, nullptr,
          doe::runRobustParameterDesign),
};

}  // namespace

std::span<const MethodEntry> methodTable() { return kMethods; }

}  // namespace karvo
