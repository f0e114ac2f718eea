// Fitness of a subpopulation: statistics of the raw fitness (the performance of each member)
// and of the scaled fitness that selection uses, the rescaling of the scaled fitness, and
// the feasibility watch of studies with constraints.
//
// Members whose raw fitness is at or below the failure mark (-1e99, or not a number) are
// left out of every statistic and every scaling rule. Their scaled fitness is 0 when the
// selection needs non-negative values (so that a proportional selection never picks them)
// and the raw fitness otherwise (so that a tournament always prefers a scored member).
//
// One generation of a subpopulation, after its designs were scored:
//
//   fitnessUpdate
//     |-- scaled := raw (fitnessStart)
//     |-- method with scaling (every method but the hybrid search):
//     |     fitnessScale:  W >= 0      window scaling over the 20-entry ring
//     |                    W < 0       sigma truncation (c != 0), then linear scaling
//     |                                (scalemult > 1.0)
//     |                    negative scaled fitness left while the selection needs
//     |                    non-negative values: the user_scale_fitness stop
//     |-- fitnessStatistics (raw and scaled); a negative scaled fitness while the selection
//     |   needs non-negative values: the "Must rescale" stop
//   fitnessWatchFeasibility   (studies with constraints)
//
// The state is a plain record per agent; it holds nothing that cannot be copied into a
// checkpoint.
#pragma once

#include <span>

namespace karvo {

struct FileHandle;
class StateArchive;

inline constexpr int kScalingWindowSlots = 20;  // generations kept for window scaling

// Scaling settings of one agent.
struct FitnessSettings {
  bool scalingApplies = true;     // false for the hybrid search (method code 0): the scaled
                                  // fitness stays the raw fitness
  int scalingWindow = -1;         // W: >= 0 window scaling over the last W + 1 generations
                                  // (at most 20 are kept); < 0 window scaling off
  double sigmaCoefficient = 0.0;  // c: sigma truncation when W < 0 and c != 0
  double scaleMultiplier = 1.0;   // C (`scalemult`): linear scaling when W < 0 and C > 1.0
  bool requireNonNegative = false;  // the selection needs non-negative scaled fitness (every
                                    // selection but the tournament)
};

// Fitness state of one agent, kept from generation to generation.
struct FitnessState {
  double windowMinimum[kScalingWindowSlots] = {};  // minimum raw fitness of the generations
                                                   // entered, a ring
  int windowFilled = 0;         // entries written so far, 0..20
  int windowNext = 0;           // slot of the next generation's minimum, 0..19
  bool infeasibleStart = true;  // feasibility watch: on at the start of the run; cleared
                                // once, never set again
};

// Statistics of one generation over the members not at the failure mark. All zero when no
// member counts.
struct FitnessStatistics {
  int counted = 0;             // members taken into account, 0..population size
  double rawMin = 0.0;         // raw fitness (performance)
  double rawMax = 0.0;
  double rawAverage = 0.0;
  double rawSigma = 0.0;       // standard deviation over the counted members (divisor n)
  double scaledMin = 0.0;      // scaled fitness, as selection sees it
  double scaledMax = 0.0;
  double scaledAverage = 0.0;
  double scaledSum = 0.0;
  double scaledSigma = 0.0;    // divisor n
};

// The fields of the three records as a checkpoint keeps them (base/state_archive.h).
void keepFields(StateArchive& archive, FitnessSettings& settings);
void keepFields(StateArchive& archive, FitnessState& state);
void keepFields(StateArchive& archive, FitnessStatistics& statistics);

// Slope and intercept of linear scaling: scaled' = slope * scaled + intercept.
struct LinearScaling {
  double slope = 1.0;
  double intercept = 0.0;
};

// True when a member with this raw fitness enters the statistics and the scaling.
bool fitnessCounted(double raw);

// Sets each scaled fitness to its raw fitness (failed members: see the top of this file).
// `scaled` has the size of `raw`.
void fitnessStart(std::span<const double> raw, std::span<double> scaled,
                  bool requireNonNegative);

// Statistics of `raw` and `scaled` (same size). When `requireNonNegative` is set, a counted
// member with a negative scaled fitness ends the run through fatalError with "Must rescale
// negative fitnesses unless using tournament selection".
FitnessStatistics fitnessStatistics(std::span<const double> raw, std::span<const double> scaled,
                                    bool requireNonNegative);

// Linear scaling for average a, maximum M and minimum m of the scaled fitness with
// multiplier C > 1.0: the maximum becomes C * a where the minimum stays non-negative,
// otherwise the minimum becomes 0; the average is kept. Identity for a <= 0, where no
// increasing line keeps the average.
LinearScaling linearScaling(double average, double maximum, double minimum, double multiplier);

// Window scaling: enters this generation's minimum raw fitness into the ring and subtracts
// the smallest of the last W + 1 entries (only those written so far) from every counted
// scaled fitness, floored at 0. Nothing happens when no member counts.
void fitnessWindowScale(FitnessState& state, int window, std::span<const double> raw,
                        std::span<double> scaled);

// Sigma truncation: scaled' = scaled - (average - c * sigma) over the scaled fitness,
// floored at 0.
void fitnessSigmaTruncate(double coefficient, std::span<const double> raw,
                          std::span<double> scaled);

// Linear scaling of the counted scaled fitness with multiplier C, floored at 0.
void fitnessLinearScale(double multiplier, std::span<const double> raw, std::span<double> scaled);

// The scaling of one generation (see the top of this file); `scaled` starts as raw. When
// the selection needs non-negative values and a counted scaled fitness is negative after
// the scaling, the error lines go to `log` (the agent's genetic log; null: not written) and
// the run ends through fatalError.
void fitnessScale(const FitnessSettings& settings, FitnessState& state,
                  std::span<const double> raw, std::span<double> scaled, FileHandle* log);

// One generation's fitness work: fitnessScale when the scaling applies (fitnessStart
// otherwise), then fitnessStatistics. Answers the statistics after the scaling.
FitnessStatistics fitnessUpdate(const FitnessSettings& settings, FitnessState& state,
                                std::span<const double> raw, std::span<double> scaled,
                                FileHandle* log);

// Feasibility watch of one subpopulation: counts the members whose constraint violation is
// 0 and clears the infeasible-start flag once at least 3 members or at least 10% of the
// subpopulation are feasible. A study without constraints has nothing infeasible: the flag
// is cleared. An empty subpopulation changes nothing. Answers the flag.
bool fitnessWatchFeasibility(FitnessState& state, std::span<const double> violations,
                             int constraintCount);

}  // namespace karvo
