// The archive update of the multi-objective search: a 10 000-member archive plus a breeding
// set of 100 new points (selectArchive over 10 100 points, capacity 10 000), and the front
// split alone (paretoRanks). Arguments: the number of objectives (2 or 3) and the shape of
// the points:
//   0  near a front: points of the front f2 = 1 - sqrt(f1) (two objectives) or of the unit
//      sphere's positive octant (three), each objective moved by up to 1e-3 at random;
//   1  on the front exactly: every point non-dominated (a converged archive, the most
//      comparisons for the front split);
//   2  uniform in the unit box: many small fronts.
// Counters: the number of fronts and the size of the first one. The points are drawn once
// per benchmark from a fixed seed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "external/pareto_sort.h"
#include "search/pareto_archive.h"

namespace {

using karvo::support::ParetoPoint;

constexpr int kArchive = 10000;
constexpr int kBreeding = 100;

std::vector<ParetoPoint> drawPoints(int objectives, int shape, int count) {
  std::mt19937 draw(20190108);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<ParetoPoint> points(static_cast<std::size_t>(count));
  for (ParetoPoint& point : points) {
    point.objectives.resize(static_cast<std::size_t>(objectives));
    if (shape == 2) {
      for (double& value : point.objectives) value = unit(draw);
      continue;
    }
    if (objectives == 2) {
      const double u = unit(draw);
      point.objectives = {u, 1.0 - std::sqrt(u)};
    } else {
      double length = 0.0;
      for (double& value : point.objectives) {
        value = std::fabs(normal(draw));
        length += value * value;
      }
      length = std::sqrt(length);
      for (double& value : point.objectives) value /= length;
    }
    if (shape == 0) {
      for (double& value : point.objectives) value += 1e-3 * unit(draw);
    }
  }
  return points;
}

void setFrontCounters(benchmark::State& state, const std::vector<ParetoPoint>& points) {
  const std::vector<int> ranks = karvo::support::paretoRanks(points);
  state.counters["fronts"] = *std::max_element(ranks.begin(), ranks.end());
  state.counters["first_front"] =
      static_cast<double>(std::count(ranks.begin(), ranks.end(), 1));
}

void BM_ArchiveUpdate(benchmark::State& state) {
  const std::vector<ParetoPoint> points = drawPoints(
      static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), kArchive + kBreeding);
  for (auto _ : state) {
    const karvo::search::ArchiveSelection selection =
        karvo::search::selectArchive(points, kArchive);
    benchmark::DoNotOptimize(selection.members.data());
  }
  setFrontCounters(state, points);
}

void BM_ParetoRanks(benchmark::State& state) {
  const std::vector<ParetoPoint> points = drawPoints(
      static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), kArchive + kBreeding);
  for (auto _ : state) {
    const std::vector<int> ranks = karvo::support::paretoRanks(points);
    benchmark::DoNotOptimize(ranks.data());
  }
  setFrontCounters(state, points);
}

void shapes(benchmark::internal::Benchmark* benchmark) {
  for (const int objectives : {2, 3}) {
    for (const int shape : {0, 1, 2}) benchmark->Args({objectives, shape});
  }
  benchmark->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_ArchiveUpdate)->Apply(shapes);
BENCHMARK(BM_ParetoRanks)->Apply(shapes);

BENCHMARK_MAIN();
