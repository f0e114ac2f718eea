// The NSGA-III component: a reference-point based many-objective genetic algorithm that the
// search runs one generation at a time (or hands a whole run to). It proposes designs as
// vectors of variable values and learns their objectives and constraints through the
// caller's evaluation callback, one generation (one call of the callback) at a time.
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
//
// A run may also be driven one generation at a time (nsgaStart, then nsgaStep until
// nsgaFinished), with its whole state in an NsgaRunState between the steps; keepNsgaRunState
// writes that state to a checkpoint and reads it back, and the run then goes on exactly as if
// it had never stopped. startNSGA_III is nsgaStart followed by every step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace karvo {
class StateArchive;
}

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

// ---------------------------------------------------------------------------------------
// A run one generation at a time

// One member of a run's population.
struct NsgaMember {
  std::vector<double> values;      // one per variable, in [0, largest value of the variable]
  std::vector<double> objectives;  // numObjectives values, minimised (zeros when failed or
                                   // not yet evaluated)
  double violation = 0.0;          // 0 feasible, else minus the sum of positive constraints
  bool failed = false;             // failed evaluation or a non-finite answer
  int designNumber = 0;            // the caller's number of the design (kept for reference)
};

// The component's generator: xoshiro256** seeded through splitmix64.
struct NsgaRandom {
  std::uint64_t s[4] = {0, 0, 0, 0};  // never all zero once seeded
};

// Everything a run needs to go on. Made by nsgaStart, advanced by nsgaStep, kept in a
// checkpoint by keepNsgaRunState; the derived tables are remade from the settings.
struct NsgaRunState {
  // Settings (as given to nsgaStart).
  int agent = 0;                     // the solver's agent number (error texts)
  int numVariables = 0;              // >= 1
  int numObjectives = 0;             // >= 2
  int numConstraints = 0;            // >= 0
  int populationSize = 0;            // positive multiple of 4; 0: not started
  int numGenerations = 0;            // >= 2; the run is finished once generation reaches it
  std::vector<int> fieldSizes;       // per variable, >= 1
  // Derived from the settings (not written to a checkpoint).
  std::vector<double> fieldSize;     // fieldSizes as reals
  std::vector<double> largestValue;  // per variable, the double just below its field size
  std::vector<std::vector<double>> referencePoints;  // Das-Dennis points, each sums to 1
  // Progress.
  NsgaRandom random;                 // every draw of the run
  int generation = 0;                // callbacks made so far, 0 .. numGenerations
  std::vector<NsgaMember> population;  // populationSize members; evaluated once
                                       // generation >= 1, the initial ones before
};

// Checks the arguments as startNSGA_III does (same codes and texts, without the callback)
// and makes the state of a new run: generator seeded, reference points, the initial
// population completed by uniform draws and not yet evaluated. Answers 0, 1 (wrong
// arguments) or 3 (out of memory) with errorText set; `state` is only changed on 0.
int nsgaStart(NsgaRunState& state, int option, double seed, int agent, int numVariables,
              const std::vector<int>& fieldSizes,
              const std::vector<std::vector<double>>& initialPopulation, int numObjectives,
              int numConstraints, int populationSize, int numGenerations,
              const std::string& studyFolder, std::string& errorText);

// The next generation of a started run: the first step evaluates the initial population,
// every later one makes, evaluates and selects populationSize children. One callback per
// step. Answers the codes of startNSGA_III: 0, 1 (no callback, a run not started or already
// finished; nothing is evaluated), 2 (wrong answer), 3 (out of memory), errorText set when
// not 0. What the callback throws passes through and leaves the state unusable.
int nsgaStep(NsgaRunState& state, std::string& errorText, const NsgaCallback& evaluate);

// Whether the run has made all its generations.
bool nsgaFinished(const NsgaRunState& state);

// The variable values of the current population (after the last step: what the run ends
// with), one vector per member.
std::vector<std::vector<double>> nsgaPopulationValues(const NsgaRunState& state);

// Writes `state` to a writing archive, or replaces it by what a reading archive holds. A
// read state is checked against every rule above (settings, sizes, every value inside its
// field, finite objectives, a seeded generator, reference tables of reasonable size); on
// anything inconsistent the archive is failed and `state` is left as it was, so that a
// corrupt checkpoint can never make a later step read out of range.
void keepNsgaRunState(StateArchive& archive, NsgaRunState& state);

// The number of reference points that a run with `numObjectives` objectives and
// `populationSize` members uses (e.g. 91 for 3 objectives and 92 members: 12 divisions);
// 0 when numObjectives < 2 or populationSize < 1.
int nsgaReferencePointCount(int numObjectives, int populationSize);

// Parts of the selection, declared here for their tests.

// Solves a x = b for the square matrix `a` (rows) by Gaussian elimination with partial
// pivoting; false when a pivot is negligible next to the largest entry, or an entry of a or b
// is not finite.
bool solveLinear(std::vector<std::vector<double>> a, std::vector<double> b,
                 std::vector<double>& x);

// Per objective the scale of the normalisation (nadir - ideal) over the members `used` of
// `merged` (all evaluated; `ranks` their fronts): the intercepts of the hyperplane through
// the extreme points, or the worst values of the best front among them when that plane is
// degenerate or gives an intercept that is not finite, tiny, or beyond the worst value
// present; where that is tiny too, the worst value present, and else 1.
std::vector<double> normalisationScale(const NsgaRunState& run,
                                       const std::vector<NsgaMember>& merged,
                                       const std::vector<std::size_t>& used,
                                       const std::vector<int>& ranks,
                                       const std::vector<double>& ideal);

}  // namespace karvo::support
