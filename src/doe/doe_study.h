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
// list is evaluated at the values the user wrote. The space-filling arrays that interpolate
// (Latin hypercube, optimised Latin hypercube, Hammersley) put each value on the variable's
// grid, its resolution's values between its bounds (doeGridValue): a design lies where a
// search over the same variables could put it. Their run tables show these values.

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

#include <cstddef>
#include <string>
#include <vector>

#include "base/design.h"
#include "doe/doe_array.h"

namespace karvo {

struct Agent;
struct EvaluationServices;
struct Representation;
struct VariableSlot;

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

// The value of `slot`'s grid (resolution values from its lower to its upper bound) nearest
// to `value` among those within [low, high] (the factor's range, either order); `value`
// itself when no grid value lies there, or for a slot that is not continuous.
double doeGridValue(const VariableSlot& slot, double value, double low, double high);

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

// Evaluates `designs` for `agent` in batches of kDoeBatchSize; each design keeps its results
// (stored designs take their stored results).
void evaluateDoeDesigns(Agent& agent, std::vector<Design>& designs,
                        const EvaluationServices& services);

// The first value of study response `r` of a design that did not fail, when it has a finite
// one.
bool doeResponseValue(const Design& design, std::size_t r, double& value);

struct DoeAnalysisInput;
// Writes the analysis file "<study folder>/DOE_<agent>_<name>.out" of `input` whole, or ends
// the run (see the top of this file).
void writeDoeResultsFile(int agent, const std::string& name, const DoeAnalysisInput& input);

// The runners of the method table (the AgentCycleFn shape).
void runDoeStudy(Agent& agent, const EvaluationServices& services);
void runDesignSweep(Agent& agent, const EvaluationServices& services);

// ---------------------------------------------------------------------------------------
// Robust parameter design (robust_design.cpp): method RobustParameterDesign, or DOE with
// sampleMethod RobustParameterDesign.
//
// Factors. Control factors are the factors of the representation (doeFactorsOf) whose
// factorType is not "noise"; noise factors are the factors whose factorType is "noise", then
// the random parameters of the study (evaluation/random_parameters.h). A random parameter at
// level l of an array factor with N levels takes the quantile of its distribution at
// (l + 0.5) / N; a variable takes doeFactorValue of the array's kind. A design without a
// control or without a noise factor ends the run with a message naming the agent.
//
// Arrays. The control array (controlSampleMethod) and the noise array (noiseSampleMethod) are
// laid out by the builders of doe_builders.h, each with a request of its own factors. The
// kinds that take a run count take the method's numEvals, or robustDefaultRuns when it is 0.
// A random parameter counts as a factor with numLevels entries (0 when not given) for the
// orthogonal arrays that put two-entry factors on their 2-level columns. An array of one
// factor, which no builder lays out, has one run per level: the entries of the variable's
// level list, or numLevels (3 when not given) quantiles of a random parameter.
//
// Designs: control run i with noise run j is design i * (noise runs) + j, evaluated in
// batches; a resumed study takes the stored results (the designs keep their parameter values,
// so that the design store tells the noise runs apart) and evaluates the others.
//
// Derived responses. Per study response and control run, over the noise runs that succeeded:
// "<response>-means", the mean, and "<response>-SNratio", the signal-to-noise ratio of the
// response's direction (signalToNoiseKindOf). Each is analysed over the control array into
// "<study folder>/DOE_<agent>_<response>_means.out" and "..._SNratio.out" (doe_analysis.h);
// a control run without a value shows "failed". With genRSMAfterStudy 1 both get the
// response surfaces of surrogates/study_surfaces.h over the control factors.

// The signal-to-noise ratio of a response.
enum SignalToNoiseKind : int {
  kSmallerTheBetter = 0,  // SN = -10 log10(mean(y^2))
  kLargerTheBetter = 1,   // SN = -10 log10(mean(1 / y^2))
  kNominalTheBest = 2,    // SN = 10 log10(ybar^2 / s^2), s^2 the sample variance (n - 1)
};

// The ratio of a study response by its flag (kResponseObjective, kResponseConstraint,
// kResponsePlain), option and goal (definitions/performance_file.h): minimise, <= and goal
// smaller are smaller-the-better; maximise, push away, >= and goal larger are
// larger-the-better; match the target, == and the goals NONE, target and nominal are
// nominal-the-best.
int signalToNoiseKindOf(int flag, int option, int goal);

// "smaller-the-better", "larger-the-better" or "nominal-the-best".
const char* signalToNoiseWord(int kind);

// The ratio of `kind` over `values`. False, with `ratio` untouched, when it cannot be formed:
// no value; a zero value (larger-the-better); fewer than two values or s^2 = 0
// (nominal-the-best); or a result that is not a finite number (all values 0 for
// smaller-the-better, ybar = 0 for nominal-the-best).
bool signalToNoiseRatio(int kind, const std::vector<double>& values, double& ratio);

// The runs of an array of kind `kind` with `factors` factors when the method gives none:
// Plackett-Burman the smallest size with more than `factors` runs (12 ... 64); D-optimal
// min(2^k, 2 (k + 1)); Latin hypercubes and Hammersley 2 k + 1, at least 5; 0 for the kinds
// whose array fixes its size.
int robustDefaultRuns(int kind, int factors);

// The array of a single factor: one run per level (0 ... levels - 1), kind kDoeFile.
DoeArray singleFactorArray(int levels);

// One factor of a crossed layout, in array factor order.
struct CrossedColumn {
  std::size_t position = 0;    // index of its value in Design::reals
  bool variable = false;       // a design variable: its chromosome entry holds the level
  std::vector<double> values;  // its value at each level of the array
};

// The designs of `control` x `noise` from `baseline`: control run i with noise run j at
// i * noise.runs + j, every value not set by a column left as in the baseline.
std::vector<Design> crossedDesigns(const Design& baseline, const DoeArray& control,
                                   const std::vector<CrossedColumn>& controlColumns,
                                   const DoeArray& noise,
                                   const std::vector<CrossedColumn>& noiseColumns);

// The derived values of one response over the control runs; `present` 0 marks a run without
// a value.
struct RobustValues {
  std::vector<double> means, ratios;
  std::vector<char> meanPresent, ratioPresent;
};
// Over designs laid out by crossedDesigns (controlRuns x noiseRuns), study response `r`.
RobustValues robustValuesOf(const std::vector<Design>& designs, int controlRuns, int noiseRuns,
                            std::size_t r, int kind);

void runRobustParameterDesign(Agent& agent, const EvaluationServices& services);

}  // namespace doe
}  // namespace karvo
