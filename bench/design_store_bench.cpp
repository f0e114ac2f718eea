// The stored-design table at a million designs: inserts into an empty table, then look-ups
// of stored designs (found, results copied as before an evaluation that is saved) and of
// designs that are not stored (the usual case of a search). Designs are realistic: 20
// continuous variables of 101 values, two parameter values and three scalar responses. Each
// benchmark runs once over the whole million and reports the time per design.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <vector>

#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "evaluation/design_store.h"
#include "definitions/representation.h"

namespace {

using karvo::Design;
using karvo::DesignStore;

constexpr int kVariables = 20;
constexpr int kResolution = 101;
constexpr std::size_t kDesigns = 1000000;

karvo::EncodingContext context() {
  karvo::EncodingContext context;
  context.agentType = karvo::kAgentOptimization;
  context.methodCode = karvo::kMethodTolmar;
  context.parameters = {10.0, 0.25};
  return context;
}

void addRepresentation() {
  if (karvo::findRepresentation(1)) return;
  karvo::Representation table;
  table.number = 1;
  table.num_dvar = kVariables;
  for (int i = 0; i < kVariables; ++i) {
    karvo::VariableSlot slot;
    slot.id = i + 1;
    slot.resolution = kResolution;
    slot.lower = -1.0;
    slot.upper = 1.0;
    table.slots.push_back(slot);
  }
  karvo::user_set_field_sizes(table);
  karvo::representations.push_back(table);
}

// `count` designs drawn at random with the given seed (distinct in practice: 101^20 values).
std::vector<Design> drawDesigns(std::size_t count, unsigned seed) {
  std::mt19937 draw(seed);
  std::uniform_int_distribution<int> field(0, kResolution - 1);
  std::vector<Design> designs(count);
  for (std::size_t n = 0; n < count; ++n) {
    Design& design = designs[n];
    design.representation = 1;
    design.num_dvar = kVariables;
    design.chromosome.resize(kVariables);
    design.reals.resize(kVariables + 2);
    for (int i = 0; i < kVariables; ++i) {
      design.chromosome[i] = field(draw);
      design.reals[i] = -1.0 + 2.0 * design.chromosome[i] / (kResolution - 1);
    }
    design.reals[kVariables] = 10.0;
    design.reals[kVariables + 1] = 0.25;
    design.designNumber = static_cast<int>(n + 1);
    design.performance = -0.5 * static_cast<double>(n % 1000);
    design.status = karvo::kDesignFeasible;
    design.responses.resize(3);
    for (karvo::ResponseValue& response : design.responses) {
      response.values = {static_cast<double>(n) * 0.001};
      response.status = karvo::kDesignSuccess;
      response.present = true;
    }
  }
  return designs;
}

const std::vector<Design>& storedDesigns() {
  static const std::vector<Design> designs = drawDesigns(kDesigns, 1);
  return designs;
}

const std::vector<Design>& otherDesigns() {
  static const std::vector<Design> designs = drawDesigns(kDesigns, 2);
  return designs;
}

DesignStore& filledStore() {
  static DesignStore store;
  if (karvo::designStoreSize(store) == 0) {
    karvo::designStoreCreate(store, context(), 1);
    for (Design design : storedDesigns()) karvo::designStoreInsert(store, design);
  }
  return store;
}

// Time per design (shown with an SI prefix: "250n" is 250 ns) and designs per second.
void perDesign(benchmark::State& state, std::size_t designs) {
  state.SetItemsProcessed(static_cast<int64_t>(designs) * state.iterations());
  state.counters["time_per_design"] = benchmark::Counter(
      static_cast<double>(designs),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_InsertMillion(benchmark::State& state) {
  addRepresentation();
  std::vector<Design> designs = storedDesigns();  // copies: insert may promote in place
  for (auto _ : state) {
    state.PauseTiming();
    DesignStore store;
    state.ResumeTiming();
    karvo::designStoreCreate(store, context(), 1);
    for (Design& design : designs) karvo::designStoreInsert(store, design);
    benchmark::DoNotOptimize(karvo::designStoreSize(store));
    state.PauseTiming();
    if (karvo::designStoreSize(store) != kDesigns) state.SkipWithError("designs lost");
    store = DesignStore();  // released outside the timing
    state.ResumeTiming();
  }
  perDesign(state, kDesigns);
}

void BM_LookupMillionStored(benchmark::State& state) {
  addRepresentation();
  DesignStore& store = filledStore();
  std::vector<Design> probes = storedDesigns();
  for (Design& probe : probes) probe.responses.clear();
  std::size_t found = 0;
  for (auto _ : state) {
    found = 0;
    for (Design& probe : probes) found += karvo::designStoreReuse(store, probe) ? 1 : 0;
  }
  if (found != kDesigns) state.SkipWithError("stored designs not found");
  perDesign(state, kDesigns);
}

void BM_LookupMillionNotStored(benchmark::State& state) {
  addRepresentation();
  DesignStore& store = filledStore();
  const std::vector<Design>& probes = otherDesigns();
  std::size_t found = 0;
  for (auto _ : state) {
    found = 0;
    for (const Design& probe : probes) found += karvo::designStoreFind(store, probe) ? 1 : 0;
  }
  if (found != 0) state.SkipWithError("designs found that were never stored");
  perDesign(state, kDesigns);
}

}  // namespace

BENCHMARK(BM_InsertMillion)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupMillionStored)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupMillionNotStored)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
