// Pareto ranking: domination, fronts and crowding; see pareto_sort.h. Called once per cycle
// of a multi-objective search on the archive plus the new designs (a few hundred to some
// 10 000 points, 2 to a handful of objectives), and once per generation by NSGA-III.
//
// Fronts (paretoRanks), the efficient non-dominated sort with a binary search over the
// fronts:
//   1. The points are sorted so that no point can dominate one before it: not failed before
//      failed; of the others feasible before infeasible, infeasible by violation from the
//      least violated; then by the objectives in turn, ascending. Two points that domination
//      cannot tell apart (both failed, equal violations, equal objective vectors) dominate
//      neither each other, and every other point dominates both or neither.
//   2. The points are placed in that order. Every point that dominates the next one is
//      already placed, so its front is the first one holding no point that dominates it.
//   3. Invariant: each member of front k is dominated by a member of every front before k.
//      So "front k holds a point dominating p" is true for fronts 1..j and false after,
//      and a binary search finds the first front without such a point.
//   4. A front is searched from its last added member backwards: the recent members are
//      the ones nearest in the order and the likeliest to dominate. With two objectives the
//      last added member alone decides (frontDominates), which makes the split n log n.
//   5. A point that the order cannot tell apart from the one placed just before goes to
//      the same front at once (they have the same dominators); this keeps a run of failed
//      points, of equally violated points or of duplicates linear.
#include "external/pareto_sort.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <vector>

namespace karvo::support {

namespace {

// Where a point stands before its objectives are looked at; a smaller value is better.
enum Standing : int { kFeasible = 0, kInfeasible = 1, kFailed = 2 };

int standingOf(const ParetoPoint& point) {
  if (point.failed) return kFailed;
  return point.violation < 0.0 ? kInfeasible : kFeasible;
}

// The order of step 1: true when `a` goes before `b`.
bool sortsBefore(const ParetoPoint& a, const ParetoPoint& b) {
  const int standingA = standingOf(a);
  const int standingB = standingOf(b);
  if (standingA != standingB) return standingA < standingB;
  if (standingA == kFailed) return false;
  if (standingA == kInfeasible && a.violation != b.violation) return a.violation > b.violation;
  return std::lexicographical_compare(a.objectives.begin(), a.objectives.end(),
                                      b.objectives.begin(), b.objectives.end());
}

// The points in sorted order, laid out for the comparisons of the placement: position p
// holds standing[p], violation[p] and objectives values[p * count .. p * count + count).
struct SortedPoints {
  std::vector<int> standing;
  std::vector<double> violation;
  std::vector<double> values;
  std::size_t count = 0;  // objectives per point
};

// Whether the point at position `earlier` dominates the one at position `later`
// (earlier < later, so the later one can never dominate the earlier one).
bool earlierDominates(const SortedPoints& sorted, int earlier, int later) {
  const int standing = sorted.standing[earlier];
  if (standing != sorted.standing[later]) return true;
  if (standing == kFailed) return false;
  if (standing == kInfeasible) return sorted.violation[earlier] > sorted.violation[later];
  const double* a = sorted.values.data() + static_cast<std::size_t>(earlier) * sorted.count;
  const double* b = sorted.values.data() + static_cast<std::size_t>(later) * sorted.count;
  // Without branches inside the loop: the outcome of one objective is a coin toss for the
  // members of one front, and mispredicted branches cost more than the comparisons.
  bool noWorse = true;
  bool better = false;
  for (std::size_t j = 0; j < sorted.count; ++j) {
    noWorse &= a[j] <= b[j];
    better |= a[j] < b[j];
  }
  return noWorse && better;
}

// Whether the order cannot tell the two positions apart as far as domination goes.
bool sameStanding(const SortedPoints& sorted, int a, int b) {
  const int standing = sorted.standing[a];
  if (standing != sorted.standing[b]) return false;
  if (standing == kFailed) return true;
  if (standing == kInfeasible) return sorted.violation[a] == sorted.violation[b];
  const double* x = sorted.values.data() + static_cast<std::size_t>(a) * sorted.count;
  const double* y = sorted.values.data() + static_cast<std::size_t>(b) * sorted.count;
  return std::equal(x, x + sorted.count, y);
}

bool frontDominates(const SortedPoints& sorted, const std::vector<int>& front, int position) {
  // With at most two objectives the last added member decides: in placement order the
  // members of a front have the first objective rising and the second falling, so the last
  // one has the smallest second objective, and it dominates the new point whenever any
  // member does (a new point equal to it is placed at step 5 without this search).
  if (sorted.count <= 2) return earlierDominates(sorted, front.back(), position);
  // A front holds points of one standing only; unless both are feasible the last member
  // decides as well (a better standing, or a larger violation).
  if (sorted.standing[position] != kFeasible || sorted.standing[front.back()] != kFeasible) {
    return earlierDominates(sorted, front.back(), position);
  }
  // The hot loop of the split: every member against the new point.
  const std::size_t count = sorted.count;
  const double* b = sorted.values.data() + static_cast<std::size_t>(position) * count;
  for (auto member = front.rbegin(); member != front.rend(); ++member) {
    const double* a = sorted.values.data() + static_cast<std::size_t>(*member) * count;
    bool noWorse = true;
    bool better = false;
    for (std::size_t j = 0; j < count; ++j) {
      noWorse &= a[j] <= b[j];
      better |= a[j] < b[j];
    }
    if (noWorse && better) return true;
  }
  return false;
}

}  // namespace

int paretoDominance(const ParetoPoint& a, const ParetoPoint& b) {
  if (a.failed || b.failed) {
    if (a.failed && b.failed) return 0;
    return a.failed ? -1 : 1;
  }
  const bool infeasibleA = a.violation < 0.0;
  const bool infeasibleB = b.violation < 0.0;
  if (infeasibleA || infeasibleB) {
    if (infeasibleA && infeasibleB) {
      if (a.violation == b.violation) return 0;
      return a.violation > b.violation ? 1 : -1;
    }
    return infeasibleA ? -1 : 1;
  }
  bool aBetter = false;
  bool bBetter = false;
  const std::size_t count = std::min(a.objectives.size(), b.objectives.size());
  for (std::size_t j = 0; j < count; ++j) {
    if (a.objectives[j] < b.objectives[j]) aBetter = true;
    if (b.objectives[j] < a.objectives[j]) bBetter = true;
  }
  if (aBetter == bBetter) return 0;
  return aBetter ? 1 : -1;
}

std::vector<int> paretoRanks(std::span<const ParetoPoint> points) {
  const int n = static_cast<int>(points.size());
  std::vector<int> ranks(points.size(), 0);
  if (n == 0) return ranks;

  std::vector<int> order(points.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return sortsBefore(points[a], points[b]); });

  SortedPoints sorted;
  sorted.count = points[0].objectives.size();
  sorted.standing.resize(points.size());
  sorted.violation.resize(points.size());
  sorted.values.assign(points.size() * sorted.count, 0.0);
  for (int p = 0; p < n; ++p) {
    const ParetoPoint& point = points[order[p]];
    sorted.standing[p] = standingOf(point);
    sorted.violation[p] = point.violation;
    if (sorted.standing[p] == kFailed) continue;
    const std::size_t copied = std::min(sorted.count, point.objectives.size());
    std::copy(point.objectives.begin(), point.objectives.begin() + copied,
              sorted.values.begin() + static_cast<std::ptrdiff_t>(p * sorted.count));
  }

  std::vector<std::vector<int>> fronts;  // positions in sorted order, in placement order
  std::vector<int> frontOf(points.size(), 0);
  for (int p = 0; p < n; ++p) {
    int front = 0;
    if (p > 0 && sameStanding(sorted, p - 1, p)) {
      front = frontOf[p - 1];
    } else {
      int low = 0;
      int high = static_cast<int>(fronts.size());
      while (low < high) {
        const int middle = low + (high - low) / 2;
        if (frontDominates(sorted, fronts[middle], p)) {
          low = middle + 1;
        } else {
          high = middle;
        }
      }
      front = low;
      if (front == static_cast<int>(fronts.size())) fronts.emplace_back();
    }
    fronts[front].push_back(p);
    frontOf[p] = front;
    ranks[order[p]] = front + 1;
  }
  return ranks;
}

void crowdingDistances(std::span<const ParetoPoint> points, std::span<const int> front,
                       std::vector<double>& distance) {
  if (distance.size() < points.size()) distance.resize(points.size(), 0.0);
  const std::size_t size = front.size();
  if (size == 0) return;
  if (size <= 2) {
    for (const int member : front) distance[member] = kBoundaryCrowding;
    return;
  }

  const std::size_t count = points[front[0]].objectives.size();
  std::vector<double> sum(size, 0.0);
  std::vector<char> marked(size, 0);
  std::vector<int> order(size);  // positions in `front`
  for (std::size_t j = 0; j < count; ++j) {
    const auto value = [&](int position) { return points[front[position]].objectives[j]; };
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return value(a) < value(b); });
    marked[order[0]] = 1;
    const double smallest = value(order[0]);
    const double largest = value(order[size - 1]);
    if (largest == smallest) continue;
    const double range = largest - smallest;
    for (std::size_t t = 1; t + 1 < size; ++t) {
      if (marked[order[t]]) continue;
      sum[order[t]] += (value(order[t + 1]) - value(order[t - 1])) / range;
    }
  }
  for (std::size_t t = 0; t < size; ++t) {
    if (marked[t]) {
      distance[front[t]] = kBoundaryCrowding;
    } else {
      distance[front[t]] = count > 0 ? sum[t] / static_cast<double>(count) : 0.0;
    }
  }
}

}  // namespace karvo::support
