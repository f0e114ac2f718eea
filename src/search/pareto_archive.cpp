// The archive of the multi-objective hybrid search and its automatic termination; see
// pareto_archive.h. Runs once per cycle on the archive plus the breeding set (up to some
// 10 000 points); the front split of external/pareto_sort.h is most of the work.
#include "search/pareto_archive.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace karvo::search {

ArchiveSelection selectArchive(std::span<const support::ParetoPoint> points, int capacity) {
  ArchiveSelection selection;
  const int n = static_cast<int>(points.size());
  if (n == 0) return selection;
  const int room = std::min(n, std::max(capacity, 0));

  const std::vector<int> ranks = support::paretoRanks(points);
  const int frontCount = *std::max_element(ranks.begin(), ranks.end());
  std::vector<std::vector<int>> fronts(static_cast<std::size_t>(frontCount));
  for (int i = 0; i < n; ++i) fronts[ranks[i] - 1].push_back(i);

  std::vector<double> distance(points.size(), 0.0);
  selection.members.reserve(static_cast<std::size_t>(room));
  selection.rank.reserve(static_cast<std::size_t>(room));
  selection.crowding.reserve(static_cast<std::size_t>(room));
  int kept = 0;
  for (int f = 0; f < frontCount && kept < room; ++f) {
    std::vector<int>& front = fronts[f];
    const int left = room - kept;
    if (static_cast<int>(front.size()) > left) {
      // The first front that does not fit: the least crowded members stay; of equal
      // distances the earlier point stays (the stable sort keeps them in point order).
      support::crowdingDistances(points, front, distance);
      std::stable_sort(front.begin(), front.end(),
                       [&](int a, int b) { return distance[a] > distance[b]; });
      front.resize(static_cast<std::size_t>(left));
      std::sort(front.begin(), front.end());
    }
    support::crowdingDistances(points, front, distance);
    for (const int member : front) {
      selection.members.push_back(member);
      selection.rank.push_back(f + 1);
      selection.crowding.push_back(distance[member]);
    }
    kept += static_cast<int>(front.size());
  }
  return selection;
}

bool paretoSearchStalled(ParetoStopState& state, std::span<const double> crowding,
                         const ParetoStopInputs& inputs) {
  // The spread of this cycle: the largest share of one member in the archive's total.
  double sum = 0.0;
  double largest = 0.0;
  for (const double value : crowding) {
    if (value == support::kBoundaryCrowding) continue;
    sum += value;
    largest = std::max(largest, value);
  }
  const double r = sum > 0.0 ? largest / sum : 0.0;

  if (r * 1e-10 > std::fabs(r - state.previous)) {
    if (state.stall == 0) state.stallBegan = inputs.cycle;
    ++state.stall;
  } else {
    state.stall = 0;
    state.stallBegan = -1;
  }
  state.previous = r;
  state.ring[static_cast<std::size_t>(state.ringNext)] = r;
  state.ringNext = (state.ringNext + 1) % kSpreadRing;
  state.ringCount = std::min(state.ringCount + 1, kSpreadRing);

  const bool alternative = inputs.shutOff == 2;
  const long breeding = inputs.breedingSize;
  const long stallLimit = alternative ? 1000 : 2000;

  // A stall that has run more than three cycles past the limit of the constant-ring rule
  // without ending the search was counted while the rule could not apply (before cycle 40,
  // while some member was dominated, or while the ring still moved). Its count is stale: the
  // stall starts anew from this cycle at half the limit.
  if (breeding > 0 && breeding * state.stall > stallLimit + 3 * breeding) {
    state.stall = static_cast<int>((alternative ? 500 : 1000) / breeding);
    state.stallBegan = inputs.cycle;
  }

  if (inputs.cycle < kSpreadRing || !inputs.allFirstFront) return false;
  if (state.ringCount < kSpreadRing || inputs.archiveSize <= 0 || breeding <= 0) return false;

  // Population standard deviation of the ring, its deviations taken from the first value so
  // that a ring of equal values gives exactly 0.
  const double first = state.ring[0];
  double shift = 0.0;
  for (const double value : state.ring) shift += value - first;
  const double mean = first + shift / kSpreadRing;
  double squares = 0.0;
  for (const double value : state.ring) squares += (value - mean) * (value - mean);
  const double sigma = std::sqrt(squares / kSpreadRing);

  const double archive = inputs.archiveSize;
  double lambda = 0.0025 * std::sqrt(static_cast<double>(breeding) / archive) / std::sqrt(archive);
  if (alternative) lambda *= 10.0;

  if (sigma > 0.0) return sigma < lambda;
  const long stalled = breeding * state.stall;
  const long budgetShare = inputs.maxEvaluations / (alternative ? 20 : 10);
  return !(stalled <= stallLimit && stalled <= budgetShare);
}

}  // namespace karvo::search
