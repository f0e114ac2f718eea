// Pareto ranking: the domination rules one by one (equal vectors, violations, failed
// points), fronts of one and two members (boundaries; the other points' distances left as
// they were), and the front ranks and crowding of many random point sets against plain
// reference methods (fronts peeled off one at a time, crowding found by counting) with ties,
// duplicates, infeasible and failed points mixed in.
#include "external/pareto_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

namespace karvo::support {
namespace {

ParetoPoint feasible(std::vector<double> objectives) {
  ParetoPoint point;
  point.objectives = std::move(objectives);
  return point;
}

ParetoPoint infeasible(std::vector<double> objectives, double violation) {
  ParetoPoint point;
  point.objectives = std::move(objectives);
  point.violation = violation;
  return point;
}

ParetoPoint failedPoint(std::vector<double> objectives) {
  ParetoPoint point;
  point.objectives = std::move(objectives);
  point.failed = true;
  return point;
}

// Both directions at once: dominance(a, b) and, as it must be, its negation for (b, a).
int dominanceBothWays(const ParetoPoint& a, const ParetoPoint& b) {
  const int forward = paretoDominance(a, b);
  EXPECT_EQ(-forward, paretoDominance(b, a));
  return forward;
}

// Fronts peeled off one at a time: a front is every remaining point that no remaining
// point dominates.
std::vector<int> peeledRanks(const std::vector<ParetoPoint>& points) {
  const std::size_t n = points.size();
  std::vector<int> rank(n, 0);
  std::size_t placed = 0;
  for (int front = 1; placed < n; ++front) {
    std::vector<std::size_t> members;
    for (std::size_t i = 0; i < n; ++i) {
      if (rank[i] != 0) continue;
      bool dominated = false;
      for (std::size_t j = 0; j < n && !dominated; ++j) {
        dominated = rank[j] == 0 && paretoDominance(points[j], points[i]) == 1;
      }
      if (!dominated) members.push_back(i);
    }
    for (const std::size_t i : members) rank[i] = front;
    placed += members.size();
  }
  return rank;
}

// Crowding worked out member by member: a member's place in the order of one objective is
// the count of members with a smaller value or an equal value earlier in the front.
std::vector<double> countedCrowding(const std::vector<ParetoPoint>& points,
                                    const std::vector<int>& front) {
  const std::size_t size = front.size();
  std::vector<double> result(size, 0.0);
  if (size <= 2) return std::vector<double>(size, kBoundaryCrowding);
  const std::size_t count = points[front[0]].objectives.size();
  std::vector<bool> boundary(size, false);
  for (std::size_t j = 0; j < count; ++j) {
    std::vector<std::size_t> place(size, 0);
    std::vector<std::size_t> atPlace(size, 0);
    for (std::size_t a = 0; a < size; ++a) {
      for (std::size_t b = 0; b < size; ++b) {
        const double va = points[front[a]].objectives[j];
        const double vb = points[front[b]].objectives[j];
        if (vb < va || (vb == va && b < a)) ++place[a];
      }
      atPlace[place[a]] = a;
    }
    const double low = points[front[atPlace[0]]].objectives[j];
    const double high = points[front[atPlace[size - 1]]].objectives[j];
    boundary[atPlace[0]] = true;
    for (std::size_t a = 0; a < size; ++a) {
      if (boundary[a] || place[a] == 0 || place[a] == size - 1 || high == low) continue;
      const double next = points[front[atPlace[place[a] + 1]]].objectives[j];
      const double previous = points[front[atPlace[place[a] - 1]]].objectives[j];
      result[a] += (next - previous) / (high - low);
    }
  }
  for (std::size_t a = 0; a < size; ++a) {
    result[a] = boundary[a] ? kBoundaryCrowding : result[a] / static_cast<double>(count);
  }
  return result;
}

// ---------------------------------------------------------------------------------------
// Domination

// Equal vectors dominate neither; feasible points compare by their objectives, the less
// violated beats the more violated whatever the objectives, feasible beats infeasible, and a
// failed point loses to everything (two failed tie). More objectives: the random sets below.
TEST(ParetoDominance, FeasibilityThenObjectives) {
  EXPECT_EQ(0, dominanceBothWays(feasible({1.0, 2.0}), feasible({1.0, 2.0})));
  EXPECT_EQ(1, dominanceBothWays(feasible({1.0, 2.0}), feasible({1.0, 3.0})));
  EXPECT_EQ(1, dominanceBothWays(feasible({0.0, 0.0}), feasible({1.0, 3.0})));
  EXPECT_EQ(-1, dominanceBothWays(feasible({2.0, 2.0}), feasible({1.0, 2.0})));
  EXPECT_EQ(0, dominanceBothWays(feasible({1.0, 3.0}), feasible({2.0, 2.0})));

  EXPECT_EQ(1, dominanceBothWays(infeasible({100.0, 100.0}, -0.1),
                                 infeasible({-100.0, -100.0}, -0.5)));
  EXPECT_EQ(0, dominanceBothWays(infeasible({1.0, 5.0}, -0.5), infeasible({0.0, 9.0}, -0.5)));
  EXPECT_EQ(0, dominanceBothWays(infeasible({0.0, 0.0}, -0.5), infeasible({1.0, 1.0}, -0.5)));
  EXPECT_EQ(1, dominanceBothWays(feasible({100.0, 100.0}), infeasible({0.0, 0.0}, -1e-12)));

  EXPECT_EQ(-1, dominanceBothWays(failedPoint({0.0, 0.0}), feasible({9.0, 9.0})));
  EXPECT_EQ(-1, dominanceBothWays(failedPoint({0.0, 0.0}), infeasible({9.0, 9.0}, -1e6)));
  EXPECT_EQ(0, dominanceBothWays(failedPoint({0.0, 0.0}), failedPoint({9.0, 9.0})));
  // A failed point that looks feasible and better still loses.
  ParetoPoint failedFeasible = failedPoint({-1.0, -1.0});
  failedFeasible.violation = 0.0;
  EXPECT_EQ(-1, dominanceBothWays(failedFeasible, feasible({0.0, 0.0})));
}

// ---------------------------------------------------------------------------------------
// Crowding distances

// (Fronts of two, and of one, are boundaries: the random sets below.)
TEST(CrowdingDistances, TheOtherPointsDistancesAreLeftAsTheyWere) {
  const std::vector<ParetoPoint> points = {feasible({0.0, 1.0}), feasible({1.0, 0.0}),
                                           feasible({0.5, 0.5})};
  std::vector<double> preset = {-1.0, -2.0, -3.0, -4.0};
  const std::vector<int> one = {1};
  crowdingDistances(points, one, preset);
  EXPECT_EQ(std::vector<double>({-1.0, kBoundaryCrowding, -3.0, -4.0}), preset);

  const std::vector<int> none;
  crowdingDistances(points, none, preset);
  EXPECT_EQ(std::vector<double>({-1.0, kBoundaryCrowding, -3.0, -4.0}), preset);
}

// ---------------------------------------------------------------------------------------
// Random sets against the reference methods

struct RandomSetup {
  int objectives;
  int levels;  // values drawn from 0..levels-1 (ties), or 0 for values spread continuously
};

std::vector<ParetoPoint> randomPoints(std::mt19937& draw, const RandomSetup& setup) {
  const int n = static_cast<int>(draw() % 80);
  std::vector<ParetoPoint> points;
  for (int i = 0; i < n; ++i) {
    const unsigned kind = draw() % 20;
    if (kind == 0 && !points.empty()) {  // a duplicate of an earlier point
      points.push_back(points[draw() % points.size()]);
      continue;
    }
    ParetoPoint point;
    for (int j = 0; j < setup.objectives; ++j) {
      const double value = setup.levels > 0 ? static_cast<double>(draw() % setup.levels)
                                            : static_cast<double>(draw()) / 4294967296.0;
      point.objectives.push_back(value);
    }
    if (kind == 1 || kind == 2) point.violation = -0.25 * static_cast<double>(1 + draw() % 4);
    if (kind == 3) point.failed = true;
    points.push_back(point);
  }
  return points;
}

void checkAgainstReferences(const RandomSetup& setup, unsigned seed) {
  std::mt19937 draw(seed);
  for (int set = 0; set < 300; ++set) {
    const std::vector<ParetoPoint> points = randomPoints(draw, setup);
    const std::vector<int> expected = peeledRanks(points);
    ASSERT_EQ(expected, paretoRanks(points))
        << setup.objectives << " objectives, " << setup.levels << " levels, set " << set;

    int fronts = 0;
    for (const int rank : expected) fronts = std::max(fronts, rank);
    std::vector<double> distance;
    for (int f = 1; f <= fronts; ++f) {
      std::vector<int> front;
      for (std::size_t i = 0; i < points.size(); ++i) {
        if (expected[i] == f) front.push_back(static_cast<int>(i));
      }
      crowdingDistances(points, front, distance);
      const std::vector<double> counted = countedCrowding(points, front);
      for (std::size_t a = 0; a < front.size(); ++a) {
        ASSERT_EQ(counted[a], distance[front[a]]) << "set " << set << ", front " << f;
      }
    }
  }
}

// One objective gives a chain of fronts; equal values (few levels) give ties.
TEST(ParetoRanksAgainstPeeling, OneToFiveObjectives) {
  checkAgainstReferences({2, 0}, 11);
  checkAgainstReferences({2, 4}, 12);
  checkAgainstReferences({2, 2}, 13);
  checkAgainstReferences({1, 5}, 41);
  checkAgainstReferences({3, 0}, 21);
  checkAgainstReferences({3, 3}, 22);
  checkAgainstReferences({5, 0}, 31);
  checkAgainstReferences({5, 3}, 32);
}

}  // namespace
}  // namespace karvo::support
