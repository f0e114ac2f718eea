// Spread of optimised Latin hypercubes against plain random ones of the same size. Each
// benchmark reports, as counters averaged over its iterations, the smallest city-block
// distance between two runs (min_L1, in level units) and the smallest Euclidean distance
// (min_L2); the optimised one also reports its outer loops and the share of runs that
// ended on their own budget (converged). Iteration i uses the seed i + 1.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "external/sampling.h"

namespace {

using karvo::support::HammersleyDesign;
using karvo::support::LatinHypercubeDesign;
using karvo::support::Random;
using karvo::support::SamplingStop;

void addDistances(benchmark::State& state, const karvo::support::SamplingDesign& design,
                  double& sumL1, double& sumL2) {
  state.PauseTiming();
  sumL1 += static_cast<double>(karvo::support::samplingMinimumCityBlockDistance(
      design.levelMatrix, design.samples, design.variables));
  sumL2 += karvo::support::samplingMinimumEuclideanDistance(design.levelMatrix, design.samples,
                                                            design.variables);
  state.ResumeTiming();
}

void setDistanceCounters(benchmark::State& state, double sumL1, double sumL2) {
  const double runs = static_cast<double>(state.iterations());
  state.counters["min_L1"] = sumL1 / runs;
  state.counters["min_L2"] = sumL2 / runs;
}

// Plain random Latin hypercubes (one random permutation per variable).
void BM_PlainLatinHypercube(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int k = static_cast<int>(state.range(1));
  const std::vector<int> levels(k, n);
  double sumL1 = 0.0;
  double sumL2 = 0.0;
  unsigned seed = 1;
  for (auto _ : state) {
    Random::setGlobalSeed(seed++);
    const LatinHypercubeDesign design =
        LatinHypercubeDesign::optimized(n, k, levels.data(), false, 0.0);
    benchmark::DoNotOptimize(design.levelMatrix.data());
    addDistances(state, design, sumL1, sumL2);
  }
  setDistanceCounters(state, sumL1, sumL2);
}

// The best of 20 plain random Latin hypercubes by the smallest city-block distance, the
// way the solver's own Latin hypercube keeps the best of its trials.
void BM_BestOfTwentyLatinHypercubes(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int k = static_cast<int>(state.range(1));
  const std::vector<int> levels(k, n);
  double sumL1 = 0.0;
  double sumL2 = 0.0;
  unsigned seed = 1;
  for (auto _ : state) {
    Random::setGlobalSeed(seed++);
    LatinHypercubeDesign best;
    std::int64_t bestDistance = -1;
    for (int trial = 0; trial < 20; ++trial) {
      LatinHypercubeDesign design =
          LatinHypercubeDesign::optimized(n, k, levels.data(), false, 0.0);
      const std::int64_t distance = karvo::support::samplingMinimumCityBlockDistance(
          design.levelMatrix, design.samples, design.variables);
      if (distance > bestDistance) {
        bestDistance = distance;
        best = std::move(design);
      }
    }
    addDistances(state, best, sumL1, sumL2);
  }
  setDistanceCounters(state, sumL1, sumL2);
}

// Optimised Latin hypercubes with the default budget and no binding time limit.
void BM_OptimizedLatinHypercube(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int k = static_cast<int>(state.range(1));
  const std::vector<int> levels(k, n);
  double sumL1 = 0.0;
  double sumL2 = 0.0;
  double loops = 0.0;
  double converged = 0.0;
  unsigned seed = 1;
  for (auto _ : state) {
    Random::setGlobalSeed(seed++);
    const LatinHypercubeDesign design = LatinHypercubeDesign::optimized(
        n, k, levels.data(), true, std::numeric_limits<double>::infinity());
    loops += static_cast<double>(design.outerLoops);
    if (design.stop == SamplingStop::kConverged) converged += 1.0;
    addDistances(state, design, sumL1, sumL2);
  }
  setDistanceCounters(state, sumL1, sumL2);
  state.counters["loops"] = loops / static_cast<double>(state.iterations());
  state.counters["converged"] = converged / static_cast<double>(state.iterations());
}

// Optimised Latin hypercubes cut short by a one-second time limit.
void BM_OptimizedLatinHypercubeOneSecond(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int k = static_cast<int>(state.range(1));
  const std::vector<int> levels(k, n);
  double sumL1 = 0.0;
  double sumL2 = 0.0;
  unsigned seed = 1;
  for (auto _ : state) {
    Random::setGlobalSeed(seed++);
    const LatinHypercubeDesign design =
        LatinHypercubeDesign::optimized(n, k, levels.data(), true, 1.0);
    addDistances(state, design, sumL1, sumL2);
  }
  setDistanceCounters(state, sumL1, sumL2);
}

void BM_Hammersley(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int k = static_cast<int>(state.range(1));
  double sumL1 = 0.0;
  double sumL2 = 0.0;
  for (auto _ : state) {
    const HammersleyDesign design(n, k, n);
    benchmark::DoNotOptimize(design.levelMatrix.data());
    addDistances(state, design, sumL1, sumL2);
  }
  setDistanceCounters(state, sumL1, sumL2);
}

BENCHMARK(BM_PlainLatinHypercube)
    ->Args({50, 5})
    ->Args({100, 10})
    ->Iterations(100)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BestOfTwentyLatinHypercubes)
    ->Args({50, 5})
    ->Args({100, 10})
    ->Args({200, 20})
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizedLatinHypercube)
    ->Args({50, 5})
    ->Args({100, 10})
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_OptimizedLatinHypercubeOneSecond)
    ->Args({200, 20})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_PlainLatinHypercube)->Args({200, 20})->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Hammersley)
    ->Args({50, 5})
    ->Args({100, 10})
    ->Args({200, 20})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
