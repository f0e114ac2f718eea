// What the robustness and reliability studies share: sample designs and their evaluation in
// batches, the statistics of the responses over the samples and the "RandR" results files.
// One call of each per study; the cost is the evaluation of the samples, the rest is a sort
// per response.
#include "reliability/reliability_study.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "base/messages.h"
#include "base/progress.h"
#include "base/run_state.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/performance.h"
#include "platform/platform.h"
#include "reliability/reliability_math.h"

namespace karvo::reliability {

namespace {

// A value on a bin's bound belongs to the bin within this tolerance.
constexpr double kBinTolerance = 2.220446049250313e-16;

}  // namespace

void warnNoRandomParameters(const Agent& agent) {
  const std::string text = formatText(
      "There are no parameters (Fixed variables) defined with distributions applied to them "
      "for agent %d.",
      agent.number);
  writeMessage("outptr", "warning",
               formatText("%s No reliability calculation can be performed.", text.c_str()));
}

Design sampleDesign(const Design& baseline, const std::vector<RandomParameter>& parameters,
                    const std::vector<double>& values) {
  Design design = baseline;
  for (std::size_t i = 0; i < parameters.size() && i < values.size(); ++i) {
    const std::size_t position = parameters[i].position;
    if (position >= design.reals.size()) design.reals.resize(position + 1, 0.0);
    design.reals[position] = values[i];
  }
  return design;
}

void evaluateSamples(Agent& agent, std::vector<Design>& designs,
                     const EvaluationServices& services) {
  progressExpect(static_cast<long>(designs.size()));
  for (std::size_t first = 0; first < designs.size(); first += kSampleBatchSize) {
    const std::size_t last =
        std::min(designs.size(), first + static_cast<std::size_t>(kSampleBatchSize));
    std::vector<Design> batch(std::make_move_iterator(designs.begin() + first),
                              std::make_move_iterator(designs.begin() + last));
    evaluateDesigns(agent, batch, services);
    std::move(batch.begin(), batch.end(), designs.begin() + first);
  }
}

bool sampleResponse(const Design& design, std::size_t r, double& value) {
  if (design.failed || design.status == kDesignError || r >= design.responses.size()) {
    return false;
  }
  const ResponseValue& response = design.responses[r];
  if (!response.present || response.values.empty()) return false;
  if (!std::isfinite(response.values.front())) return false;
  value = response.values.front();
  return true;
}

ResponseStatistics responseStatistics(std::vector<double> values) {
  ResponseStatistics s;
  s.samples = static_cast<int>(values.size());
  s.probability.assign(kProbabilityBins, 0.0);
  std::sort(values.begin(), values.end());
  s.sorted = values;
  if (values.empty()) return s;
  double sum = 0.0;
  for (double y : values) {
    sum += y;
    s.sumOfSquares += y * y;
  }
  s.squareOfSum = sum * sum;
  const double n = static_cast<double>(values.size());
  if (values.size() < 2) {
    s.mean = values.front();
    s.probability[0] = 1.0;
    return s;
  }
  s.mean = sum / n;
  // Identical values have no scatter, whatever the rounding of the sums says.
  const bool identical = values.front() == values.back();
  s.variance = identical ? 0.0 : (s.sumOfSquares - s.squareOfSum / n) / (n - 1.0);
  s.sigma = s.variance > 0.0 ? std::sqrt(s.variance) : 0.0;

  const double lowest = values.front();
  const double highest = values.back();
  const double width = (highest - lowest) / kProbabilityBins;
  std::vector<int> counts(kProbabilityBins, 0);
  for (double y : values) {
    int bin = kProbabilityBins - 1;  // rounding can leave a value just outside every bin
    for (int j = 0; j < kProbabilityBins; ++j) {
      const double lo = lowest + j * width;
      const double hi = j == kProbabilityBins - 1 ? highest : lowest + (j + 1) * width;
      if (y >= lo - kBinTolerance && y <= hi + kBinTolerance) {
        bin = j;
        break;
      }
    }
    ++counts[static_cast<std::size_t>(bin)];
  }
  for (int j = 0; j < kProbabilityBins; ++j) {
    s.probability[static_cast<std::size_t>(j)] = counts[static_cast<std::size_t>(j)] / n;
  }
  return s;
}

std::string statisticsText(const std::string& response, const ResponseStatistics& statistics) {
  std::string text = "\n    ****** ANOVA RESULTS FOR R&R AGENT ******";
  text +=
      "\n\n        Response,  #Samples,            Mean,     Sum of squares,      Square of sum,"
      "         Variance,           Sigma";
  text += formatText("\n%16s,%10d,%16f, %18f, %18f, %16f,%16f", response.c_str(),
                     statistics.samples, statistics.mean, statistics.sumOfSquares,
                     statistics.squareOfSum, statistics.variance, statistics.sigma);
  text += "\n\n\n    ****** PROBABILITY DISTRIBUTION RESULTS FOR R&R AGENT ******";
  text += "\n\n    Sorted Response Values";
  for (double y : statistics.sorted) text += formatText("\n        %18f", y);
  text += "\n\n       Probability";
  for (double p : statistics.probability) text += formatText("\n    %14f", p);
  text += "\n\n\n";
  return text;
}

std::string reliabilityText(double beta, double probability) {
  std::string text = "\n\n\n    ****** RELIABILITY RESULTS FOR R&R AGENT ******\n";
  text += formatText("\n    Beta: %g", beta);
  text += formatText("\n    Probability of failure: %g", probability);
  return text;
}

std::string resultsFilePath(int agent, const std::string& response) {
  return formatText("%s%cRandR_%d_%s.out", run.workingDirectory.c_str(),
                    platform::kPathSeparator, agent, response.c_str());
}

void writeResultsFile(int agent, const std::string& response, const std::string& text) {
  const std::string path = resultsFilePath(agent, response);
  if (platform::replaceFileContents(path, text)) return;
  const std::string message = "Error in opening the R&R agents results file for writing.";
  fatalError(formatText("%s The name of the file is:  %s", message.c_str(), path.c_str()));
}

void writeSampleResults(const Agent& agent, const std::vector<Design>& samples) {
  const PerformanceDefinition* performance = findPerformance(agent.performance);
  if (!performance) return;
  for (int r = 0; r < performance->count; ++r) {
    const std::size_t index = static_cast<std::size_t>(r);
    const std::string& response = performance->name[index];
    std::vector<double> values;
    for (const Design& design : samples) {
      double value = 0.0;
      if (sampleResponse(design, index, value)) values.push_back(value);
    }
    const bool constraint = index < performance->flag.size() && performance->flag[index] == 1;
    int failures = 0;
    if (constraint) {
      for (double value : values) {
        if (deviation(*performance, r, value) > 0.0) ++failures;
      }
    }
    const int n = static_cast<int>(values.size());
    std::string text = statisticsText(response, responseStatistics(std::move(values)));
    if (constraint && n > 0) {
      const double p = static_cast<double>(failures) / n;
      const double beta = reliabilityIndex(p);
      text += reliabilityText(beta, p);
      writeMessage("outptr", "note",
                   formatText("Agent %d: constraint %s: beta %g, probability of failure %g "
                              "(%d of %d samples failed).",
                              agent.number, response.c_str(), beta, p, failures, n));
    } else if (constraint) {
      writeMessage("outptr", "warning",
                   formatText("Agent %d: constraint %s: no sample was evaluated successfully; "
                              "no reliability is computed.",
                              agent.number, response.c_str()));
    }
    writeResultsFile(agent.number, response, text);
  }
}

void runSampledStudy(Agent& agent, const EvaluationServices& services, SampleValuesFn values) {
  const Design baseline = baselineDesign(agent);
  const std::vector<RandomParameter> parameters =
      randomParametersOf(static_cast<std::size_t>(baseline.num_dvar));
  if (parameters.empty()) {
    warnNoRandomParameters(agent);
    return;
  }
  std::vector<Design> samples;
  for (const std::vector<double>& sample : values(parameters, agent.method.numEvals)) {
    samples.push_back(sampleDesign(baseline, parameters, sample));
  }
  evaluateSamples(agent, samples, services);
  writeSampleResults(agent, samples);
}

}  // namespace karvo::reliability
