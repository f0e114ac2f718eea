// Model-based search decisions of the hybrid search: designs proposed from models of the
// designs evaluated so far, and the screening of operator-made candidates by those models.
// Works on normalised variables (every variable mapped to [0, 1]); the caller maps them to
// and from the representation's field values. The models are small dense least-squares and
// radial-basis fits (Eigen) made per request.
//
// A search decision is one of:
//   90 local    a quadratic model of the objective and of each constraint, fitted to the
//               designs nearest the best one (near copies of one another counted once),
//               in the logarithms of the positive variables (request.logShift) when that
//               fit's leave-one-out error is the smaller (power laws: stresses, buckling
//               loads, stiffnesses of dimensions spanning decades), else in the variables,
//               each constraint model weighted towards the designs near its boundary and
//               raised by its largest misfit at the designs nearest the best one,
//               optimised inside a trust region around the best design (feasibility
//               first: the modelled constraints must be met; an augmented Lagrangian, and
//               the SQP solver of the local searches where that stalls beside them),
//               taken to the grid point the models rate best beside that optimum (their
//               best new grid neighbour when the step is shorter than a grid step);
//               a request with a second local turn adds the optimum inside a quarter of
//               the trust radius (a cautious step beside the full one);
//               the trust radius grows after a success and shrinks after a failure, but
//               the region keeps at least two grid steps of each variable; after three
//               more failures there it restarts at 0.2 and the rotation explores.
//               With request.basins, one turn in six is a step in the trust region of
//               another basin instead of an explored design: around
//               the design nearest the global model's optimum (every other such turn) or
//               one of the best designs apart from the best one, in a radius of its
//               distance to its nearest design, so that a basin drops out once its
//               designs have gathered.
//   94 global   the optimum over the whole box of a quadratic response surface fitted to a
//               space-filling subset of the designs or, every other time, to the better
//               half: the full quadratic when it is convex, else the separable one, whose
//               variables without upward curvature keep the best design's values.
//   95 explore  a stochastic radial-basis candidate search: a cubic radial-basis model
//               with a linear tail (of the objective and of each constraint) scores
//               candidates made by Gaussian steps from the best design in a random subset
//               of variables and uniform ones over the box; among the candidates predicted
//               feasible (else the least violating) the one with the best weighted sum of
//               scaled prediction and distance to the evaluated designs is taken, the
//               weight cycling from exploration to exploitation.
// The proposals of one request are kept apart from each other and from every evaluated
// design by at least the resolution of each variable.
//
// Every random choice draws from the process-wide generator (base/random.h), so that a run
// repeats exactly from its seed.
#pragma once

#include <limits>
#include <memory>
#include <span>
#include <vector>

namespace karvo {
class StateArchive;
}  // namespace karvo

namespace karvo::search {

inline constexpr int kDecisionLocal = 90;
inline constexpr int kDecisionGlobal = 94;
inline constexpr int kDecisionExplore = 95;

// One evaluated design as the models see it (failed designs are left out by the caller).
struct ModelSample {
  std::vector<double> x;            // normalised variables, each in [0, 1]
  double objective = 0.0;           // to be minimised
  std::vector<double> constraints;  // each met when <= 0 (same count for every sample)
};

// What persists between requests (one per agent, checkpointed with it).
struct ModelSearchState {
  double radius = 0.2;              // trust radius of the local decisions (normalised)
  int successes = 0;                // consecutive local decisions that improved the best
  int failures = 0;                 // consecutive local decisions that did not
  int nextKind = 0;                 // rotation of the decision kinds
  int localPhase = 0;               // 1 while the local models predict well: most new designs
                                    // are then trust-region steps, evaluated a few at a time
  double ratio = 0.0;               // actual over predicted improvement of the last local step
  int accurate = 0;                 // local steps in a row predicted within a factor of two
  int basinTurn = 0;                // rotation over the basins of the good designs
  std::vector<double> centre{};     // the best design at the last request (normalised)
  // A sweep of coordinate hops from a settled best design (hopTarget empty: none under way).
  std::vector<double> hopTarget{};  // the global model's optimum when the sweep began
  std::vector<int> hopOrder{};      // coordinates still to hop, furthest from it first
  std::vector<double> hopBase{};    // the best design when the current hop began
  int hopCoordinate = -1;           // the coordinate hopping (-1: the next one starts)
  int hopMade = 0;                  // designs of the current hop so far
  double sweepFrom = std::numeric_limits<double>::infinity();  // the best objective when
                                    // the last sweep began
  int sweepAsked = 0;               // 1: the local phase ended by failed steps; the next
                                    // request sweeps
};

// The fields of the trust region and of a sample as a checkpoint keeps them
// (base/state_archive.h).
void keepFields(StateArchive& archive, ModelSearchState& state);
void keepFields(StateArchive& archive, ModelSample& sample);

struct ModelRequest {
  int count = 0;                    // designs wanted
  std::vector<double> step;         // per variable: normalised resolution (1 / (N - 1));
                                    // proposals are rounded to it
  std::vector<std::vector<double>> avoid;  // further points the proposals must differ from
                                           // (the other new designs of the batch)
  bool basins = false;              // one turn in six steps in another basin
  bool followBest = false;          // the trust region follows a best design that moved
                                    // further than its radius (one objective only)
  std::vector<double> logShift;     // per variable: lower / (upper - lower) when its values
                                    // are positive, else 0 (or empty): the local models may
                                    // work in the logarithm of the variable's value
};

struct ModelProposal {
  std::vector<double> x;            // normalised, on the resolution grid
  int code = kDecisionLocal;        // 90, 94 or 95
  // Local steps only: what the ratio of actual to predicted improvement needs.
  double predictedGain = 0.0;       // the models' objective at the centre minus at x
  double centreObjective = 0.0;     // the centre design's objective and violation
  double centreViolation = 0.0;
  double stepLength = 0.0;          // largest coordinate change from the centre
  double radius = 0.0;              // the trust radius the step was made in
  int region = 0;                   // 0: around the best design (its outcome moves the
                                    // trust region); 1: in another basin
  bool alone = false;               // made with no other new design pending: the next
                                    // request's models include its result
};

// Proposes up to request.count designs (fewer when the samples cannot support a model:
// fewer than n + 2 samples, or no proposal that differs from every sample). Answers them
// in the order of their kinds' rotation.
std::vector<ModelProposal> proposeModelDesigns(std::span<const ModelSample> samples,
                                               const ModelRequest& request,
                                               ModelSearchState& state);

// After a local step around the best design was evaluated (`result` null when it failed):
// the ratio of its actual to its predicted improvement (feasibility first: a step that
// breaks a constraint of a feasible centre has ratio -1). A ratio between 0.5 and 2 (the
// models predict well) starts the local phase. With `moveRadius` the ratio also moves the
// trust radius, as it does in the local phase: no improvement halves it, a ratio of 0.1 or
// more for a step of at least half the radius doubles it; three steps in a row without
// improvement end the phase, and so does one step that breaks a constraint the centre met,
// unless the step was made alone (the next step's models include it). (Outside the local
// phase the radius follows each generation's local designs together, by noteModelOutcome.)
void noteLocalStep(ModelSearchState& state, const ModelProposal& proposal,
                   const ModelSample* result, bool moveRadius = true);

// After the proposals were evaluated: `improved` says whether the proposal of kind `code`
// improved the best design (feasibility first); the trust radius follows.
void noteModelOutcome(ModelSearchState& state, int code, bool improved);

// Screening of candidates made by the operators: a cheap model fitted once per generation.
class ScreeningModel {
 public:
  virtual ~ScreeningModel() = default;
  // Lower is more promising: the predicted objective lowered by the model's uncertainty,
  // plus a large penalty for predicted constraint violation.
  virtual double score(std::span<const double> x) const = 0;
};

// Null when the samples cannot support a model (fewer than n + 2).
std::unique_ptr<ScreeningModel> fitScreeningModel(std::span<const ModelSample> samples);

}  // namespace karvo::search
