// The archive of the multi-objective hybrid search: which designs of the old archive and of
// the newly evaluated ones form the next archive (whole fronts while they fit, the first
// front that does not fit cut by crowding), the front rank and crowding distance of each
// member, and the automatic termination of the search measured on the spread of the
// archive's crowding distances.
//
// Pure functions over points (external/pareto_sort.h); the search maps designs to points.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "external/pareto_sort.h"

namespace karvo {
class StateArchive;
}  // namespace karvo

namespace karvo::search {

// The next archive chosen from `points` (the old archive followed by the new designs).
struct ArchiveSelection {
  std::vector<int> members;        // indices into the points, archive order: by front rank,
                                   // within a front in the order of the points
  std::vector<int> rank;           // front rank of each member (1 = non-dominated)
  std::vector<double> crowding;    // crowding distance of each member within its front as
                                   // it stands in the new archive (a cut front is measured
                                   // after the cut); support::kBoundaryCrowding at the ends
};

// Splits `points` into fronts; whole fronts enter while they fit in `capacity`; the first
// front that does not fit is ordered by crowding distance (measured over the whole front)
// and its most crowded members (smallest distance; of equals, the later point) are left
// out. Then the crowding distances of the kept members are measured again within the kept
// fronts. Fewer points than the capacity: every point is kept.
ArchiveSelection selectArchive(std::span<const support::ParetoPoint> points, int capacity);

// The automatic termination of the search (agent option shutOff 1 or 2), kept per agent
// from cycle to cycle.
inline constexpr int kSpreadRing = 40;

struct ParetoStopState {
  std::array<double, kSpreadRing> ring{};  // the last spread values r, circular
  int ringCount = 0;                       // entries written (stops counting at 40)
  int ringNext = 0;                        // next slot
  double previous = 0.0;                   // r of the previous cycle (0 after a restart)
  int stall = 0;                           // cycles in a row with no change of r
  int stallBegan = -1;                     // cycle at which the current stall began
                                           // (-1 while there is none)
};

// The state's fields as a checkpoint keeps them (base/state_archive.h).
void keepFields(StateArchive& archive, ParetoStopState& state);

struct ParetoStopInputs {
  int cycle = 0;           // cycles completed by the agent, >= 1 (the check follows a cycle)
  int breedingSize = 0;    // B
  int archiveSize = 0;     // P
  long maxEvaluations = 0; // E
  int shutOff = 1;         // 1 normal, 2 the alternative setting
  bool allFirstFront = false;  // every archive member is non-dominated
};

// After each cycle: takes the crowding distances of the archive (members at
// support::kBoundaryCrowding carry no spread value) and answers true when the search has
// stopped making progress:
//   - S = sum and M = maximum of the spread values, r = M / S (0 when S <= 0);
//   - d = |r - previous|; when r * 1e-10 > d the stall counter grows by 1 (its first step
//     records the cycle as stallBegan), otherwise it returns to 0; r becomes `previous` and
//     enters the ring;
//   - the criterion can only be met from cycle 40 on and while allFirstFront;
//   - sigma = standard deviation of the 40 ring values (the population one: over 40);
//     lambda = 0.0025 sqrt(B / P) / sqrt(P) (10 lambda for shutOff 2);
//   - met when 0 < sigma < lambda; when sigma == 0 met unless B * stall <= 2000 (1000 for
//     shutOff 2) and B * stall <= E / 10 (E / 20 for shutOff 2);
//   - a stall counter with B * stall above 2000 + 3 B (1000 + 3 B) is reset to 1000 / B
//     (500 / B) when a new stall has begun. Such a count outlived the limit above by more
//     than three cycles without stopping the search, so it was counted while the criterion
//     could not be met: the stall begins anew at this cycle with that count (checked after
//     the counter's update, before the criterion);
//   - sigma needs the ring full (40 values written since the state was made).
bool paretoSearchStalled(ParetoStopState& state, std::span<const double> crowding,
                         const ParetoStopInputs& inputs);

}  // namespace karvo::search
