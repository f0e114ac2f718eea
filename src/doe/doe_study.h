// The runners of the design-of-experiments methods: a DOE agent lays out its array, maps the
// runs to designs through its factors' level lists, evaluates them in batches through the
// evaluation flow and writes one analysis file per study response; a design sweep evaluates
// a grid over the whole design space. Both run in the agent's one turn.
//
// Factors. The factors of a DOE agent are the continuous variables of its representation
// that have a level list (a *FACTOR record with `levels`), in representation order; every
// other variable stays at its baseline. The array decides how many levels it uses for each
// factor (2 for two-level arrays, 3, 5 for the central composite, n or 20 n for the Latin
// hypercubes ...). A factor's value at level index l of N levels is
//   - the level list's entry l, when the list has exactly N entries and the kind is not one
//     of the space-filling kinds (Latin hypercube, existing designs, optimised Latin
//     hypercube, Hammersley);
//   - otherwise lo + (hi - lo) l / (N - 1), with lo the list's first entry and hi its second
//     entry for the space-filling kinds and its last entry for the others.
// The designs hold these values (real values authoritative), so an unevenly spaced level
// list is evaluated at the values the user wrote.
//
// Batches. The runs are evaluated in batches of up to kDoeBatchSize designs, so that the
// runs of a batch go side by side as the process allows (nParallel, each analysis's
// numDesigns) and the history is saved between batches. Runs already stored (a resumed
// study) take their stored results and are not evaluated again.
//
// Analysis files. For each study response of the agent's performance definition,
// "<study folder>/DOE_<agent>_<response>.out" (doe_analysis.h), written whole or not at all.
// A file that cannot be written ends the run with "Error in opening the DOE results file for
// writing." and "%s The name of the file is:  %s" (every design is already in the history).
#pragma once

#include <string>
#include <vector>

#include "base/design.h"
#include "doe/doe_array.h"

namespace karvo {

struct Agent;
struct EvaluationServices;
struct Representation;

namespace doe {

// Most designs handed to the evaluation flow at once.
inline constexpr int kDoeBatchSize = 1000;

// The factors of a representation (see the top of this file).
struct DoeFactors {
  std::vector<int> slots;                      // representation slot of each factor
  std::vector<std::vector<double>> levelLists; // its level list (at least one entry)
};
DoeFactors doeFactorsOf(const Representation& representation);

// The value of a factor with level list `list` at level `level` of `levels` (>= 1) levels of
// an array of kind `kind` (see the top of this file).
double doeFactorValue(int kind, const std::vector<double>& list, int levels, int level);

// The designs of the runs of `array` for `agent`: encoding 2, every variable at its baseline
// except the factors, the parameters' current values after the variables. array.factorOrder
// maps the array's factors to `factors`.
std::vector<Design> doeDesignsOf(const Agent& agent, const DoeArray& array,
                                 const DoeFactors& factors);

// The number of values of each variable in a design sweep of at most `budget` designs:
// the same count m for every variable where possible (m^k <= budget), then one more for the
// first variables while the product stays within the budget. caps[i] (>= 1) limits variable
// i (a discrete variable's items); what a capped variable cannot take is offered to the
// others. Every count is >= 1; a count of 1 keeps the variable at its baseline.
std::vector<int> sweepValueCounts(int budget, const std::vector<int>& caps);

// The runners of the method table (the AgentCycleFn shape).
void runDoeStudy(Agent& agent, const EvaluationServices& services);
void runDesignSweep(Agent& agent, const EvaluationServices& services);

}  // namespace doe
}  // namespace karvo
