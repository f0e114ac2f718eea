// Scoring of designs: the extracted response values of one design, read through the
// agent's performance definition (`per_type`, see definitions/performance_file.h), become one
// scalar performance that every single-objective search maximises, a design status and a
// summed, normalised constraint violation.
//
// Order of the scoring of one design (performance):
//
//   1. status 0 on entry, or the design marked failed: violation 10.0, performance -1e99.
//   2. the design sets the normalisations still taken from the baseline design when
//      isBaselineDesign says so (applyBaselineNormalisation); a zero result ends the run.
//   3. a design-of-experiments agent: performance 1.0, status unchanged.
//   4. no objective and no constraint: status 1, performance 1.0.
//   5. otherwise status 2 and, for each response in definition order, g = d / |n|
//      (d = deviation, n = normalisation):
//        objective:        P += linearWt * g + s * quadWt * g * g,
//                          s = +1 for maximise (1) and push away (2), -1 for minimise (-1)
//                          and match (0);
//        constraint g > 0: status 3, V += g, P -= quadWt * g * g + linearWt * g.
//      A value of an objective or constraint that is not a finite number cannot be scored:
//      the design is scored as a failed design (step 1), with a warning on its design log;
//      so is a design whose sum overflows to an infinite performance.
#pragma once

#include <span>

#include "base/design.h"
#include "definitions/performance_file.h"

namespace karvo {

// What the scoring needs to know about the owner of the design and about the situation in
// which it is scored. Filled by the caller for each batch of designs.
struct ScoringContext {
  int agentType = 0;                 // AgentType of the agent owning the design (0..4);
                                     // design-of-experiments agents (1) score 1.0
  bool readingFromDisk = false;      // the design's results are being read from disk
  bool firstDesignRead = false;      // with readingFromDisk: this is the first design read
  bool postProcessOnly = false;      // the agent only post-processes results: any design
                                     // sets the normalisations still pending
  bool baselineProcessing = false;   // earlier results are being read back: a design
                                     // numbered 0 also sets the pending normalisations
  bool replayingCheckpoint = false;  // a checkpoint is being replayed: the constraint
                                     // violation of a scored design is left as it is
};

// Deviation d of `value` for study response `response` (0 <= response < count) of
// `definition`; a positive deviation of a constraint is a violation.
//   objective:  minimise -v; maximise v; match the target -(v - t)^2 / |n|;
//               push away from the target (v - t)^2 / |n|
//   constraint: <= target v - t; >= target t - v; == target |v - t|
//   plain response: 0 (it is not scored)
// The magnitude of n is used, so that a normalisation still waiting for the baseline
// design (-1.0) never turns a match into a push away.
double deviation(const PerformanceDefinition& definition, int response, double value);

// True when `design` is the one whose values set the normalisations still taken from the
// baseline design: design number 1, the first design read from disk, any design of an agent
// that only post-processes, or design 0 while earlier results are processed.
bool isBaselineDesign(const Design& design, const ScoringContext& context);

// Sets every normalisation of `definition` that is still negative from the baseline
// design's `values` (one per study response): |v - t| for options 0 and 2, |v| otherwise,
// kept in double precision for the rest of the run (a baseline scored against its own value
// is exactly -1). A result of 0 ends the run
// through fatalError. When `fromDisk` is set and `designNumber` is not 1, a note says which
// design the normalisations come from. Answers the number of normalisations set.
int applyBaselineNormalisation(PerformanceDefinition& definition, std::span<const double> values,
                               int designNumber, bool fromDisk);

// Scores `design` with `values` (one per study response of `definition`, in its order;
// missing entries count as values that cannot be scored). Reads the status on entry and
// writes design.status, design.performance and (unless a checkpoint is replayed)
// design.violation; may set pending normalisations of `definition`. Answers the performance.
double performance(Design& design, PerformanceDefinition& definition,
                   std::span<const double> values, const ScoringContext& context);

}  // namespace karvo
