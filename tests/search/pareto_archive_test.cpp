// The archive of the multi-objective search: whole fronts while they fit, the cut front
// losing its most crowded members (of equal distances the later point), ranks, crowding
// measured again after the cut and the archive order, checked on random sets (ties among
// them) against a selection that removes the most crowded member one at a time.
// Then the automatic termination: the cycle-40 and first-front conditions, a small but
// positive spread deviation, the rules of a constant spread against the stall counter and
// the budget, the restart of a stale stall, and which crowding values count.
#include "search/pareto_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

namespace karvo::search {
namespace {

using support::kBoundaryCrowding;
using support::ParetoPoint;

std::vector<double> crowdingOf(const std::vector<ParetoPoint>& points,
                               const std::vector<int>& front) {
  std::vector<double> distance;
  support::crowdingDistances(points, front, distance);
  std::vector<double> result;
  for (const int member : front) result.push_back(distance[member]);
  return result;
}

// ---------------------------------------------------------------------------------------
// Selection on random sets

// Fronts peeled off one at a time; the cut front loses its most crowded member (smallest
// distance, the later point of equals) one at a time, the distances measured once over the
// whole front.
ArchiveSelection referenceSelection(const std::vector<ParetoPoint>& points, int capacity) {
  const std::size_t n = points.size();
  std::vector<int> rank(n, 0);
  ArchiveSelection selection;
  int kept = 0;
  for (int f = 1; kept < std::min<int>(capacity, static_cast<int>(n)); ++f) {
    std::vector<int> front;
    for (std::size_t i = 0; i < n; ++i) {
      if (rank[i] != 0) continue;
      bool dominated = false;
      for (std::size_t j = 0; j < n; ++j) {
        if (rank[j] == 0 && support::paretoDominance(points[j], points[i]) == 1) {
          dominated = true;
        }
      }
      if (!dominated) front.push_back(static_cast<int>(i));
    }
    for (const int i : front) rank[i] = f;
    const std::vector<double> whole = crowdingOf(points, front);
    std::vector<bool> out(front.size(), false);
    int size = static_cast<int>(front.size());
    while (kept + size > capacity) {
      std::size_t worst = front.size();
      for (std::size_t a = 0; a < front.size(); ++a) {
        if (!out[a] && (worst == front.size() || whole[a] <= whole[worst])) worst = a;
      }
      out[worst] = true;
      --size;
    }
    std::vector<int> stays;
    for (std::size_t a = 0; a < front.size(); ++a) {
      if (!out[a]) stays.push_back(front[a]);
    }
    const std::vector<double> measured = crowdingOf(points, stays);
    for (std::size_t a = 0; a < stays.size(); ++a) {
      selection.members.push_back(stays[a]);
      selection.rank.push_back(f);
      selection.crowding.push_back(measured[a]);
    }
    kept += size;
  }
  return selection;
}

TEST(SelectArchive, AgreesWithOneAtATimeRemovalOnRandomSets) {
  std::mt19937 draw(20240611);
  for (int set = 0; set < 400; ++set) {
    const int objectives = 2 + static_cast<int>(draw() % 2);
    const int levels = set % 2 == 0 ? 5 : 0;
    const int n = static_cast<int>(draw() % 60);
    std::vector<ParetoPoint> points;
    for (int i = 0; i < n; ++i) {
      ParetoPoint p;
      for (int j = 0; j < objectives; ++j) {
        p.objectives.push_back(levels > 0 ? static_cast<double>(draw() % levels)
                                          : static_cast<double>(draw()) / 4294967296.0);
      }
      const unsigned kind = draw() % 16;
      if (kind == 0) p.violation = -0.5 * static_cast<double>(1 + draw() % 2);
      if (kind == 1) p.failed = true;
      points.push_back(p);
    }
    const int capacity = static_cast<int>(draw() % 50);
    const ArchiveSelection expected = referenceSelection(points, capacity);
    const ArchiveSelection actual = selectArchive(points, capacity);
    ASSERT_EQ(expected.members, actual.members) << "set " << set;
    ASSERT_EQ(expected.rank, actual.rank) << "set " << set;
    ASSERT_EQ(expected.crowding, actual.crowding) << "set " << set;
  }
}

// ---------------------------------------------------------------------------------------
// Automatic termination

struct StopRun {
  ParetoStopState state;
  ParetoStopInputs inputs;

  StopRun(int breeding, int archive, long evaluations, int shutOff) {
    inputs.breedingSize = breeding;
    inputs.archiveSize = archive;
    inputs.maxEvaluations = evaluations;
    inputs.shutOff = shutOff;
    inputs.allFirstFront = true;
  }

  // The next cycle with the given crowding distances.
  bool cycle(const std::vector<double>& crowding) {
    ++inputs.cycle;
    return paretoSearchStalled(state, crowding, inputs);
  }
};

const std::vector<double> kConstant = {3.0, 1.0, kBoundaryCrowding};  // r = 0.75

// The first cycle (1, 2, ...) at which the run answers true, or 0 within `cycles`.
int firstStop(StopRun& run, int cycles, const std::vector<double>& crowding = kConstant) {
  for (int c = 0; c < cycles; ++c) {
    if (run.cycle(crowding)) return run.inputs.cycle;
  }
  return 0;
}

TEST(ParetoSearchStalled, SpreadIsTheLargestShareOfTheCountedValues) {
  StopRun run(10, 100, 100000, 1);
  run.cycle({kBoundaryCrowding, 3.0, kBoundaryCrowding, 1.0});
  EXPECT_EQ(0.75, run.state.previous);
  run.cycle({0.5, 0.25, 0.25});
  EXPECT_EQ(0.5, run.state.previous);
  for (const std::vector<double>& none :
       {std::vector<double>{}, std::vector<double>{kBoundaryCrowding, kBoundaryCrowding},
        std::vector<double>{0.0, 0.0}}) {
    run.cycle(none);
    EXPECT_EQ(0.0, run.state.previous);
  }
}

TEST(ParetoSearchStalled, NoSpreadNeverStallsNorStops) {
  // r = 0 every cycle: the change is 0, but so is r * 1e-10, and the counter stays at 0.
  StopRun run(10, 100, 100000, 1);
  EXPECT_EQ(0, firstStop(run, 200, {kBoundaryCrowding}));
  EXPECT_EQ(0, run.state.stall);
  EXPECT_EQ(-1, run.state.stallBegan);
}

TEST(ParetoSearchStalled, StallCounterAndRing) {
  StopRun run(10, 100, 100000, 1);
  run.cycle(kConstant);  // from 0 to 0.75: a change
  EXPECT_EQ(0, run.state.stall);
  run.cycle(kConstant);
  EXPECT_EQ(1, run.state.stall);
  EXPECT_EQ(2, run.state.stallBegan);
  run.cycle(kConstant);
  EXPECT_EQ(2, run.state.stall);
  EXPECT_EQ(2, run.state.stallBegan);
  run.cycle({1.0, 1.0});  // r = 0.5
  EXPECT_EQ(0, run.state.stall);
  EXPECT_EQ(-1, run.state.stallBegan);
  // A change below 1e-10 of r counts as none.
  run.cycle({1.0, 1.0 + 1e-12});
  EXPECT_EQ(1, run.state.stall);
  EXPECT_EQ(5, run.state.stallBegan);

  for (int c = 0; c < 40; ++c) run.cycle(kConstant);
  EXPECT_EQ(40, run.state.ringCount);
  EXPECT_EQ(5, run.state.ringNext);
  for (const double r : run.state.ring) EXPECT_EQ(0.75, r);
}

TEST(ParetoSearchStalled, NeverBeforeCycleFortyEvenWithAConstantSpread) {
  StopRun run(1000, 1000, 100000, 1);  // B * stall passes 2000 at cycle 4
  for (int c = 1; c < 40; ++c) EXPECT_FALSE(run.cycle(kConstant)) << "cycle " << c;
  EXPECT_TRUE(run.cycle(kConstant));
}

// Two spreads taken in turn: r = 0.75 and 3 / 4.0001, sigma = half their difference.
std::vector<double> alternating(int cycle) {
  return cycle % 2 == 0 ? std::vector<double>{3.0, 1.0} : std::vector<double>{3.0, 1.0001};
}

int firstStopAlternating(StopRun& run, int cycles) {
  for (int c = 0; c < cycles; ++c) {
    if (run.cycle(alternating(run.inputs.cycle))) return run.inputs.cycle;
  }
  return 0;
}

TEST(ParetoSearchStalled, SmallPositiveDeviationStopsFromCycleForty) {
  const double sigma = (0.75 - 3.0 / 4.0001) / 2.0;  // about 9.4e-6
  // lambda = 0.0025 sqrt(10 / 100) / 10, about 7.9e-5: sigma is below.
  ASSERT_LT(sigma, 0.0025 * std::sqrt(0.1) / 10.0);
  StopRun run(10, 100, 100000, 1);
  EXPECT_EQ(40, firstStopAlternating(run, 100));
  EXPECT_EQ(0, run.state.stall);

  // lambda = 0.0025 sqrt(10 / 1000) / sqrt(1000), about 7.9e-6: sigma is above...
  ASSERT_GT(sigma, 0.0025 * std::sqrt(0.01) / std::sqrt(1000.0));
  StopRun larger(10, 1000, 100000, 1);
  EXPECT_EQ(0, firstStopAlternating(larger, 200));
  // ...and below ten times that for the alternative setting.
  StopRun alternative(10, 1000, 100000, 2);
  EXPECT_EQ(40, firstStopAlternating(alternative, 100));
}

TEST(ParetoSearchStalled, NeverWhileSomeMemberIsDominated) {
  StopRun run(10, 100, 100000, 1);
  run.inputs.allFirstFront = false;
  EXPECT_EQ(0, firstStopAlternating(run, 300));
  StopRun constant(100, 100, 100000, 1);
  constant.inputs.allFirstFront = false;
  EXPECT_EQ(0, firstStop(constant, 300));
  // Once every member is non-dominated the check applies again at once.
  run.inputs.allFirstFront = true;
  EXPECT_TRUE(run.cycle(alternating(run.inputs.cycle)));
}

// With a constant spread from cycle 1 the counter stands at cycle - 1: the stall limit
// (2000, or 1000 with the alternative setting) and a tenth of the budget (a twentieth).
TEST(ParetoSearchStalled, ConstantSpreadAgainstTheStallLimitAndTheBudget) {
  struct Case {
    int breeding;
    long evaluations;
    int shutOff, stop;
  };
  const std::vector<Case> cases = {
      {52, 1000000, 1, 40},  // at cycle 40: 52 * 39 = 2028 > 2000
      {50, 1000000, 1, 42},  // 50 * 39 = 1950, 50 * 40 = 2000, 50 * 41 = 2050
      {50, 19000, 1, 40},    // 1950 > 19000 / 10
      {50, 19509, 1, 41},    // 19509 / 10 = 1950: not above, then 2000 > 1950
      {26, 1000000, 2, 40},  // 26 * 39 = 1014 > 1000
      {25, 1000000, 2, 42},  // 975, 1000, then 1025 > 1000
      {25, 19000, 2, 40},    // 975 > 19000 / 20; with setting 1: 975 <= 1900
      {25, 19000, 1, 78},    // 25 * 76 = 1900 is not above 1900, 25 * 77 is
  };
  for (const Case& c : cases) {
    StopRun run(c.breeding, 100, c.evaluations, c.shutOff);
    EXPECT_EQ(c.stop, firstStop(run, 100)) << "row " << &c - cases.data();
  }
}

TEST(ParetoSearchStalled, AStaleStallStartsAgainAtHalfTheLimit) {
  // B = 50: a counter above (2000 + 150) / 50 = 43 falls back to 1000 / 50 = 20. With the
  // alternative setting and B = 25: above (1000 + 75) / 25 = 43, back to 500 / 25 = 20.
  for (const auto& [breeding, shutOff] : {std::pair{50, 1}, std::pair{25, 2}}) {
    StopRun run(breeding, 100, 1000000, shutOff);
    run.inputs.allFirstFront = false;
    for (int c = 1; c <= 44; ++c) EXPECT_FALSE(run.cycle(kConstant));
    EXPECT_EQ(43, run.state.stall);
    EXPECT_EQ(2, run.state.stallBegan);
    EXPECT_FALSE(run.cycle(kConstant));
    EXPECT_EQ(20, run.state.stall);
    EXPECT_EQ(45, run.state.stallBegan);
    // From here the counter must climb to 41 (2050 > 2000, 1025 > 1000) before the search
    // stops.
    run.inputs.allFirstFront = true;
    EXPECT_EQ(66, firstStop(run, 100)) << breeding;
    EXPECT_EQ(41, run.state.stall);
  }
}

TEST(ParetoSearchStalled, AStallCountedBeforeCycleFortyIsStaleAsWell) {
  // B = 60: the counter passes (2000 + 180) / 60 at 37 (cycle 38) and falls back to 16; it
  // stands at 18 at cycle 40 and passes 2000 / 60 at 34, at cycle 56.
  StopRun run(60, 100, 1000000, 1);
  for (int c = 1; c <= 37; ++c) run.cycle(kConstant);
  EXPECT_EQ(36, run.state.stall);
  run.cycle(kConstant);
  EXPECT_EQ(16, run.state.stall);
  EXPECT_EQ(56, firstStop(run, 100));
}

}  // namespace
}  // namespace karvo::search
