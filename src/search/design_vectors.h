// Designs as points of the unit cube, for the searches that move through the design space
// by steps (simplex, annealing, swarm, SQP, response surfaces): each field of the
// representation becomes one coordinate in [0, 1] (field value k of a field of size N at
// k / (N - 1)), and a point goes back to the nearest field values. Also the objective and
// constraint values of a scored design in the form these searches minimise.
#pragma once

#include <vector>

#include "base/design.h"
#include "external/pareto_sort.h"

namespace karvo {

struct Agent;
struct PerformanceDefinition;

namespace search {

struct Population;

// The point of `chromosome`: field value k of a field of size N at k / (N - 1) (0 for a field
// of size 1).
std::vector<double> normalisedFields(const std::vector<int>& chromosome,
                                     const std::vector<int>& fieldSizes);

// The field values nearest to point `x` (coordinates clamped into [0, 1]).
std::vector<int> fieldsAt(const std::vector<double>& x, const std::vector<int>& fieldSizes);

// The objective to be minimised and the constraint values (a constraint is met when its
// value is <= 0) of a scored design: objective = -(sum over the objectives of the linear
// weight times the normalised deviation plus the signed quadratic weight times its square),
// constraint = normalised deviation from its target, as the performance scoring forms them.
// False for a failed design, a design without every objective and constraint value, or a
// non-finite objective.
bool designGoals(const Design& design, const PerformanceDefinition& definition,
                 double& objective, std::vector<double>& constraints);

// The objectives and constraints of a scored design as the multi-objective searches see them:
// objective i as -d / |n| (d its deviation, n its normalisation), so that every objective is
// minimised; constraint j as d / |n|, met when <= 0. False for a failed design (also one at
// the failure mark), or one without a finite value of every objective and constraint.
bool designObjectives(const Design& design, const PerformanceDefinition& definition,
                      std::vector<double>& objectives, std::vector<double>& constraints);

// The design as a point of the Pareto ranking: designObjectives, and the violation -sum of
// the positive constraint values (0 when feasible); a design designObjectives refuses is a
// failed point.
support::ParetoPoint paretoPointOf(const Design& design, const PerformanceDefinition& definition);

// The design a local search starts from: number 0 the baseline (the population's member
// when it holds the baseline, else its best member); another number the design of that
// number among the agent's stored designs. A number that is not stored ends the run with
// "The starting design %d was not found among the designs evaluated by agent %d.".
Design startingDesign(const Agent& agent, const Population& population, int number);

}  // namespace search
}  // namespace karvo
