// The array builders and the analysis of the designs of experiments at the sizes a user
// might ask for: a 10 000-run Latin hypercube (10 and 20 factors), a D-optimal design of 20
// factors, a 2^16 full factorial, the orthogonal array L128, and the full two-level analysis
// of 13 factors (8192 runs, 8191 terms). Each benchmark reports the cells it made.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "base/random.h"
#include "definitions/method_settings.h"
#include "doe/doe_analysis.h"
#include "doe/doe_builders.h"

namespace {

using karvo::doe::DoeArray;
using karvo::doe::DoeRequest;

DoeRequest request(int kind, int factors, int runs) {
  DoeRequest r;
  r.kind = kind;
  r.factors = factors;
  r.runs = runs;
  r.announceLatin = false;
  r.factorLevelLists.assign(static_cast<std::size_t>(factors), 2);
  return r;
}

void run(benchmark::State& state, karvo::doe::DoeArrayBuilder build, const DoeRequest& r) {
  float seed = 0.5f;
  karvo::seedRandom(&seed, 0);
  DoeArray array;
  std::string error;
  for (auto _ : state) {
    if (!build(r, array, error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(array.cells.data());
  }
  state.counters["cells"] = static_cast<double>(array.cells.size());
}

void BM_LatinHypercube(benchmark::State& state) {
  run(state, karvo::doe::buildLatinHypercube,
      request(karvo::kDoeLatinHypercube, static_cast<int>(state.range(0)),
              static_cast<int>(state.range(1))));
}
BENCHMARK(BM_LatinHypercube)->Args({10, 10000})->Args({20, 10000})->Unit(benchmark::kMillisecond);

void BM_DOptimal(benchmark::State& state) {
  run(state, karvo::doe::buildDOptimal,
      request(karvo::kDoeDOptimal, static_cast<int>(state.range(0)),
              static_cast<int>(state.range(1))));
}
BENCHMARK(BM_DOptimal)->Args({20, 200})->Args({20, 1000})->Unit(benchmark::kMillisecond);

void BM_TwoLevelFull(benchmark::State& state) {
  run(state, karvo::doe::buildTwoLevelFull,
      request(karvo::kDoeTwoLevelFull, static_cast<int>(state.range(0)), 0));
}
BENCHMARK(BM_TwoLevelFull)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_OrthogonalArray(benchmark::State& state) {
  DoeRequest r = request(karvo::kDoeTaguchi, 64, 0);
  r.taguchiArray = "L128";
  run(state, karvo::doe::buildOrthogonalArray, r);
}
BENCHMARK(BM_OrthogonalArray)->Unit(benchmark::kMillisecond);

// The full analysis of a 2^13 factorial with a response that has effects of every size.
void BM_TwoLevelAnalysis(benchmark::State& state) {
  const int k = static_cast<int>(state.range(0));
  DoeArray array;
  std::string error;
  karvo::doe::buildTwoLevelFull(request(karvo::kDoeTwoLevelFull, k, 0), array, error);
  karvo::doe::DoeAnalysisInput input;
  input.array = &array;
  for (int r = 0; r < array.runs; ++r) {
    double y = 0.0;
    for (int j = 0; j < k; ++j) y += (j + 1) * array.level(r, j);
    input.responses.push_back(y + 0.001 * (r % 7));
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = karvo::doe::doeAnalysisText(input, error);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["file_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_TwoLevelAnalysis)->Arg(10)->Arg(13)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
