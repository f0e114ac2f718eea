// Pareto ranking of points with several objectives: the domination of one point over another
// (failed points last, then constraint violation, then the objectives), the split of a set
// of points into fronts, and the crowding distance of the members of one front. Shared by
// the multi-objective hybrid search's archive and the NSGA-III component.
//
// Every objective is minimised. The violation of a point is 0 when it meets every
// constraint and negative otherwise (a more negative value is more violated).
//
// The fronts are found by sorting the points so that no point can dominate one before it
// (failed points last, then by violation, then by the objectives in turn) and placing each
// point, in that order, in the first front that holds no point dominating it (a binary
// search over the fronts). For the archives of a search (up to some 10 000 points) this is
// far below the n^2 comparisons of the plain method.
#pragma once

#include <span>
#include <vector>

namespace karvo::support {

// Crowding distance of a boundary member (and of every member of a front of one or two).
inline constexpr double kBoundaryCrowding = 1.2345e308;

struct ParetoPoint {
  std::vector<double> objectives;  // every value finite; all points of a set have as many
  double violation = 0.0;          // 0 feasible; < 0 violated (more negative: worse)
  bool failed = false;             // not evaluated successfully (objectives not used)
};

// Domination of `a` over `b`: 1 when a is better, -1 when b is better, 0 when neither is.
//   - a failed and b not: -1; b failed and a not: 1; both failed: 0;
//   - both infeasible: the smaller violation (the larger value) is better, equal ones give 0;
//     one infeasible: the feasible one is better;
//   - both feasible: a is better when it is no worse in every objective and better in at
//     least one; symmetrically for b; otherwise 0 (equal vectors give 0).
int paretoDominance(const ParetoPoint& a, const ParetoPoint& b);

// The front rank of every point (1 = dominated by no point; front k + 1 = dominated by no
// point outside fronts 1..k). Same answer as the plain pairwise method.
std::vector<int> paretoRanks(std::span<const ParetoPoint> points);

// Crowding distances of the members of one front (`front`: indices into `points`), written
// to distance[i] for each member i (`distance` is resized to points.size() when smaller;
// other entries are left as they are):
//   - a front of one or two members: every member gets kBoundaryCrowding;
//   - otherwise, for each objective in turn, the members are ordered by that objective
//     (equal values keep the order of `front`); the first (smallest value) gets
//     kBoundaryCrowding; each member from the second to the second-to-last that is not
//     marked gains (next - previous) / (largest - smallest), nothing when largest equals
//     smallest;
//   - finally every member that is not marked has its sum divided by the number of
//     objectives.
void crowdingDistances(std::span<const ParetoPoint> points, std::span<const int> front,
                       std::vector<double>& distance);

}  // namespace karvo::support
