// What the robustness and reliability studies share: the random parameters of an agent with
// their distribution objects, the sample designs and their evaluation in batches, the
// statistics of a response over the samples, and the results files "RandR_<agent>_<response>.out".
// The studies themselves (one per file, registered in reliability_turn.cpp) are declared at
// the end.
//
// Random parameters: evaluation/random_parameters.h.
//
// Sample designs. The agent's baseline design (every design variable at its baseline, real
// values authoritative) with the random parameters' sampled values in their places among the
// parameter values that follow the variables (Design::reals). The other parameters keep their
// nominal values. The design store tells such designs apart by their parameter values, so a
// resumed study takes the stored samples' results and evaluates only the others.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/design.h"
#include "evaluation/random_parameters.h"

namespace karvo {

struct Agent;
struct EvaluationServices;

namespace reliability {

// Most sample designs handed to the evaluation flow at once (the history is saved between
// batches, and a batch's analyses run side by side as the process allows).
inline constexpr int kSampleBatchSize = 1000;

// The warning of an agent without random parameters: "There are no parameters (Fixed
// variables) defined with distributions applied to them for agent %d." followed by
// "%s No reliability calculation can be performed." (one message, on "outptr").
void warnNoRandomParameters(const Agent& agent);

// The sample design with the random parameters at `values` (one per parameter, in order).
Design sampleDesign(const Design& baseline, const std::vector<RandomParameter>& parameters,
                    const std::vector<double>& values);

// Evaluates `designs` for `agent` in batches of kSampleBatchSize; each design keeps its
// results (number, status, responses).
void evaluateSamples(Agent& agent, std::vector<Design>& designs,
                     const EvaluationServices& services);

// The first value of study response `r` of a design that did not fail, when it has a finite
// one.
bool sampleResponse(const Design& design, std::size_t r, double& value);

// Statistics of one response over the successfully evaluated samples.
inline constexpr int kProbabilityBins = 11;
struct ResponseStatistics {
  int samples = 0;                 // n
  double mean = 0.0;               // sum y / n
  double sumOfSquares = 0.0;       // sum y^2
  double squareOfSum = 0.0;        // (sum y)^2
  double variance = 0.0;           // (sum y^2 - (sum y)^2 / n) / (n - 1); 0 for n < 2
  double sigma = 0.0;              // sqrt(variance) when positive, else 0
  std::vector<double> sorted;      // the values, ascending
  std::vector<double> probability; // kProbabilityBins bins from the smallest to the largest
                                   // value; n < 2: every bin 0 except the first, 1 (none
                                   // without values)
};
ResponseStatistics responseStatistics(std::vector<double> values);

// The text of the statistics and probability sections of a results file (exact layout:
// docs/reliability.md).
std::string statisticsText(const std::string& response, const ResponseStatistics& statistics);
// The reliability section: "\n\n\n    ****** RELIABILITY RESULTS FOR R&R AGENT ******\n",
// "\n    Beta: %g", "\n    Probability of failure: %g".
std::string reliabilityText(double beta, double probability);

// The path "<study folder>/RandR_<agent>_<response>.out".
std::string resultsFilePath(int agent, const std::string& response);
// Writes a results file whole. A file that cannot be written ends the run with "Error in
// opening the R&R agents results file for writing." and "%s The name of the file is:  %s".
void writeResultsFile(int agent, const std::string& response, const std::string& text);

// Writes the results file of every study response of the agent's performance from the
// evaluated `samples`: the statistics and probability sections and, for a constraint, the
// reliability section with p the fraction of the successfully evaluated samples whose
// deviation (evaluation/performance.h) is positive and beta = reliabilityIndex(p). Also gives
// one note per constraint with its beta and p.
void writeSampleResults(const Agent& agent, const std::vector<Design>& samples);

// The sampled values of the random parameters, values[sample][parameter], drawn through the
// parameters' objects (their streams advance). Latin hypercube (latin_hypercube_sampling.cpp):
// each parameter's range cut into n intervals of equal probability, one value per interval,
// the intervals in an independent random order per parameter (drawn with the run's
// generator); gives the note "Generating the Latin Hypercube based design array...". Monte
// Carlo (monte_carlo_sampling.cpp): one random value per parameter and sample.
std::vector<std::vector<double>> latinHypercubeValues(const std::vector<RandomParameter>& parameters,
                                                      int n);
std::vector<std::vector<double>> monteCarloValues(const std::vector<RandomParameter>& parameters,
                                                  int n);

// The study of a sampling kind: the agent's random parameters (none: warnNoRandomParameters,
// and nothing is evaluated), agent.method.numEvals samples of them from `values` (one of the
// two functions above), evaluated as sample designs, then writeSampleResults.
using SampleValuesFn = std::vector<std::vector<double>> (*)(
    const std::vector<RandomParameter>& parameters, int n);
void runSampledStudy(Agent& agent, const EvaluationServices& services, SampleValuesFn values);

// The studies, one per file (the ReliabilityStudyFn shape of reliability_turn.h).
void runLatinHypercubeStudy(Agent& agent, const EvaluationServices& services);
void runMonteCarloStudy(Agent& agent, const EvaluationServices& services);
void runFirstOrderStudy(Agent& agent, const EvaluationServices& services);

}  // namespace reliability
}  // namespace karvo
