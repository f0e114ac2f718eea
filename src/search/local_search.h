// One run of the SQP solver (search/sqp.h) on an agent's designs: the local gradient search
// shared by the multi-start search (MS) and the SQP search (QP).
//
// The solver works on the active continuous variables of the representation, each mapped to
// [0, 1] (design_vectors.h); the other fields keep the values of the starting design. What
// it is handed for a design:
//   objective    the design's objective as the scoring forms it, to be minimised:
//                -(sum over the objectives of linearWt x d/n + s x quadWt x (d/n)^2), with d
//                the objective's deviation, n its normalisation and s its quadratic sign;
//   constraints  one per constraint response, non-negative when met, in units of the
//                constraint's normalisation n: (value - target)/n for ">=" and "==" (the
//                equalities go first, as equality constraints), (target - value)/n for "<=".
// A failed design is a point the solver cannot use (its line search steps back; a failed
// starting point ends the run with code 8).
//
// Gradients (`gradientMethod` 0): forward differences in the unit cube with the step
// `gradStepSize` (at least one field value); the perturbed designs, with the point itself
// when it is not evaluated yet, go to the evaluation flow as ONE batch, so they run side by
// side when the process allows it. A step that would leave the cube is taken backwards. The
// derivative uses the step actually taken after rounding to field values.
// (`gradientMethod` 1): read from the gradients file the analyses left in the point's design
// folder (definitions/gradient_file.h), converted to the unit cube and through the objective
// and constraint forms above; every problem with the file ends the run with its message.
//
// Lifecycle: localSearchBegin -> localSearchStep ... (each answers one request of the solver
// with one batch) -> search.request >= 0: the run has ended with that code (its message
// written by localSearchStep).
#pragma once

#include <vector>

#include "base/design.h"
#include "search/sqp.h"

namespace karvo {

class StateArchive;
struct Agent;
struct EvaluationServices;
struct FileHandle;
struct PerformanceDefinition;

namespace search {

struct Population;

struct LocalSearch {
  SqpState sqp;                     // the solver's state
  int request = kSqpSolved;         // pending request (< 0) or the code the run ended with
  bool running = false;             // a run is going on (request < 0)
  std::vector<int> fields;          // the fields the run varies (active continuous), n >= 1
  std::vector<int> chromosome;      // field values of the starting design; the other fields
                                    // keep them
  std::vector<int> equalities;      // response indexes of the equality constraints
  std::vector<int> inequalities;    // response indexes of the other constraints
  Design last;                      // the design whose values the solver has last been given
  bool haveLast = false;            // `last` holds such a design
  int startNumber = 0;              // design number of the starting design (messages)
  long evaluations = 0;             // designs this run sent to the evaluation flow
};

// The objective and the constraints (equalities first) handed to the solver for a scored
// design, as described at the top of this file. False when the design cannot be used
// (failed, a value missing or not finite).
bool localSearchValues(const PerformanceDefinition& definition, const Design& design, double& f,
                       std::vector<double>& g);

// Starts a run from `start` (a scored design of the agent's representation) with `settings`.
// False (nothing started) when the representation has no active continuous variable.
bool localSearchBegin(LocalSearch& search, const Agent& agent, const Population& population,
                      const Design& start, const SqpSettings& settings);

// Answers the pending request of the run: evaluates the designs it needs as one batch (at
// most `budget` designs; when it needs more, nothing is evaluated and the answer is false),
// makes them the population's members (scored by finishGeneration), hands their values to
// the solver and resumes it. When the run ends, its code and message are written to the
// message file ("SQP search of agent %d from design %d: %s (return code %d, %d iterations,
// %d function calls)."), with the solver's notes. True when a request was answered.
bool localSearchStep(LocalSearch& search, Agent& agent, Population& population, FileHandle* log,
                     const EvaluationServices& services, long budget);

// The number of designs the pending request needs (0 when the run has ended).
int localSearchRequestSize(const LocalSearch& search, const Agent& agent);

// Keeps `search` in a checkpoint (base/state_archive.h): every field in declaration order,
// the solver's state through keepSqpState. A read that does not fit together fails the
// archive and leaves `search` as it was: besides the solver's own checks, a run going on
// must wait for the request its solver waits for, vary as many fields as the solver has
// variables (each a field of the starting chromosome) and hand it as many equality and
// other constraints as it has; a run that has ended holds a return code 0..11.
void keepLocalSearch(StateArchive& archive, LocalSearch& search);

}  // namespace search
}  // namespace karvo
