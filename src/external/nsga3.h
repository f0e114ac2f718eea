// The NSGA-III component: a reference-point based many-objective genetic algorithm that the
// search hands a whole run to. It proposes designs as vectors of variable values and learns
// their objectives and constraints through the caller's evaluation callback, one generation
// (one call of the callback) at a time.
//
// The variables are the fields of the solver's representation: variable j takes values in
// [0, fieldSizes[j]) and the caller truncates each value to its integer field value.
//
// One run (startNSGA_III):
//
//   reference points: Das-Dennis points on the unit simplex, the most divisions whose
//                      count does not exceed the population size (at least the M corners)
//   generation 1:      the initial population given (members beyond the population size
//                      dropped, missing ones drawn uniformly), evaluated by one callback
//   generations 2..G:  parents drawn at random, simulated binary crossover and polynomial
//                      mutation make as many children as the population size, evaluated
//                      by one callback; parents and children together are split into
//                      fronts by constraint domination (external/pareto_sort.h); whole
//                      fronts enter the next population while they fit, and the members of
//                      the last front are chosen by niching: objectives translated by the
//                      ideal point and scaled by the intercepts of the hyperplane through
//                      the extreme points (the worst values of the first front when that
//                      plane is degenerate), each member associated with its nearest
//                      reference line, the least crowded reference lines served first
//
// All draws come from the component's own generator, seeded from `seed`, so that a run
// repeats exactly from its seed and is untouched by the solver's other draws.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace karvo::support {

// What the caller learnt about one design of a callback.
struct NsgaEvaluation {
  int failed = 0;                   // 1: the design failed (its values are not used; it is
                                    // dominated by every design that did not fail)
  int designNumber = 0;             // the solver's number of the design
  std::vector<double> objectives;   // numObjectives values, every one minimised
  std::vector<double> constraints;  // numConstraints values; a constraint is met when its
                                    // value is <= 0, and a positive value is its violation
};

// The evaluation callback: `count` designs, `variables[i]` the values of design i (one per
// variable); fills `results` with `count` entries in the same order.
using NsgaCallback =
    std::function<void(int count, const std::vector<std::vector<double>>& variables,
                       std::vector<NsgaEvaluation>& results)>;

// Runs NSGA-III for `numGenerations` generations (the initial population is the first):
// populationSize x numGenerations designs go through `evaluate`.
//   option            always 1
//   seed              the run's random seed, in [0, 1]
//   agent             the solver's agent number (used in error texts)
//   numVariables      >= 1, the size of fieldSizes and of every variable vector
//   fieldSizes        the field size of each variable (>= 1)
//   initialPopulation per member the variable values (each in [0, field size)); may be empty
//   numObjectives     >= 2
//   numConstraints    >= 0
//   populationSize    a positive multiple of 4
//   numGenerations    >= 2
//   studyFolder       the study folder (the component writes no file of its own)
//   errorText         receives the reason when the answer is not 0
// Answers 0 on success, otherwise a non-zero code with errorText set: 1 wrong arguments
// (checked before the first callback), 2 a callback that answered a different number of
// results or of values than asked, 3 out of memory. A design answered with a non-finite
// objective or constraint value counts as failed. What the callback throws passes through.
int startNSGA_III(int option, double seed, int agent, int numVariables,
                  const std::vector<int>& fieldSizes,
                  const std::vector<std::vector<double>>& initialPopulation, int numObjectives,
                  int numConstraints, int populationSize, int numGenerations,
                  const std::string& studyFolder, std::string& errorText,
                  const NsgaCallback& evaluate);

// startNSGA_III that also answers the population kept after the last generation's selection
// (populationSize members, per member its variable values): what a run ends with.
int nsgaRunWithFinalPopulation(int option, double seed, int agent, int numVariables,
                               const std::vector<int>& fieldSizes,
                               const std::vector<std::vector<double>>& initialPopulation,
                               int numObjectives, int numConstraints, int populationSize,
                               int numGenerations, const std::string& studyFolder,
                               std::string& errorText, const NsgaCallback& evaluate,
                               std::vector<std::vector<double>>& finalPopulation);

// The number of reference points that a run with `numObjectives` objectives and
// `populationSize` members uses (e.g. 91 for 3 objectives and 92 members: 12 divisions);
// 0 when numObjectives < 2 or populationSize < 1.
int nsgaReferencePointCount(int numObjectives, int populationSize);

}  // namespace karvo::support
