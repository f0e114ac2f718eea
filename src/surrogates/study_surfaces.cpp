// Response surfaces after a study; see study_surfaces.h.
#include "surrogates/study_surfaces.h"

#include <cmath>
#include <memory>

#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "external/surface_file.h"
#include "platform/platform.h"

namespace karvo::surrogates {

namespace {

using support::KrigingFit;
using support::PolynomialModel;
using support::PolynomialVariable;
using support::RadialBasisFunctionFit;

// The inputs of the models: a position in a design's real values and a name.
struct ModelInput {
  std::size_t position = 0;
  std::string name;
};

std::vector<ModelInput> modelInputs(const Agent& agent) {
  std::vector<ModelInput> inputs;
  const Representation* representation = findRepresentation(agent.representation);
  if (agent.type == kAgentReliability) {
    // The parameters with a distribution follow the design variables in a design's values.
    const std::size_t first = representation ? representation->slots.size() : 0;
    std::size_t parameter = 0;
    for (const Variable& variable : definitions.variables) {
      if (variable.kind != VariableKind::FixedParameter) continue;
      if (!variable.distributionName.empty()) inputs.push_back({first + parameter, variable.name});
      ++parameter;
    }
    return inputs;
  }
  if (!representation) return inputs;
  for (std::size_t i = 0; i < representation->slots.size(); ++i) {
    const VariableSlot& slot = representation->slots[i];
    if (agent.type == kAgentDoe &&
        (slot.kind != kSlotContinuous || !slot.usesLevels || slot.levels.empty())) {
      continue;
    }
    inputs.push_back({i, slot.name});
  }
  return inputs;
}

struct ResponseData {
  std::vector<std::vector<double>> points;
  std::vector<double> values;
  std::vector<int> designNumbers;
};

ResponseData responseData(const Agent& agent, const std::vector<ModelInput>& inputs,
                          std::size_t response) {
  ResponseData data;
  const AgentResults& results = agentResults(agent);
  for (std::size_t i = 0; i < results.store.designs.size(); ++i) {
    const Design design = designStoreAt(results.store, i);
    if (design.failed || response >= design.responses.size()) continue;
    const ResponseValue& value = design.responses[response];
    if (!value.present || value.values.empty() || !std::isfinite(value.values.front())) continue;
    std::vector<double> point;
    for (const ModelInput& input : inputs) {
      point.push_back(input.position < design.reals.size() ? design.reals[input.position] : 0.0);
    }
    data.points.push_back(std::move(point));
    data.values.push_back(value.values.front());
    data.designNumbers.push_back(design.designNumber);
  }
  return data;
}

void warn(const std::string& text) { writeMessage("outptr", "warning", text); }

// Writes a whole file; a failure is reported with `warning` and answers false.
bool writeWhole(const std::string& path, const std::string& text, const std::string& warning) {
  if (platform::replaceFileContents(path, text)) return true;
  warn(warning);
  return false;
}

void writeErrorFile(const std::string& path, const support::PolynomialFitStatistics& statistics,
                    const std::vector<int>& designNumbers) {
  writeWhole(path, support::polynomialErrorFileText(statistics, designNumbers),
             support::polynomialErrorFileWarning(path));
}

// The error-file statistics of a kernel model from its leave-one-out residuals.
support::PolynomialFitStatistics leaveOneOutStatistics(const std::vector<double>& actual,
                                                       const std::vector<double>& residuals) {
  support::PolynomialFitStatistics statistics;
  const std::size_t m = actual.size();
  double mean = 0.0;
  for (double y : actual) mean += y;
  mean = m > 0 ? mean / static_cast<double>(m) : 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double residual = i < residuals.size() && std::isfinite(residuals[i]) ? residuals[i] : 0.0;
    const double predicted = actual[i] - residual;
    statistics.actual.push_back(actual[i]);
    statistics.predicted.push_back(predicted);
    statistics.residual.push_back(residual);
    statistics.percentError.push_back(actual[i] != 0.0 ? 100.0 * residual / std::fabs(actual[i])
                                                       : 0.0);
    statistics.maximumResidual = std::max(statistics.maximumResidual, std::fabs(residual));
    statistics.residualSumOfSquares += residual * residual;
    statistics.regressionSumOfSquares += (predicted - mean) * (predicted - mean);
    statistics.totalSumOfSquares += (actual[i] - mean) * (actual[i] - mean);
  }
  statistics.errorSumOfSquares = statistics.residualSumOfSquares;
  statistics.rmsError = m > 0 ? std::sqrt(statistics.residualSumOfSquares / static_cast<double>(m)) : 0.0;
  statistics.rSquared = statistics.totalSumOfSquares > 0.0
                            ? 1.0 - statistics.residualSumOfSquares / statistics.totalSumOfSquares
                            : 1.0;
  statistics.gcv = m > 0 ? statistics.residualSumOfSquares / static_cast<double>(m) : 0.0;
  return statistics;
}

// The polynomial of term set `termSet`: Linear (0) and Quadratic (1) are the default models;
// any other term set is the one the agent's `surfaceType` requested, named by its word in
// the notes, messages and files.
void fitPolynomial(const Agent& agent, int termSet, const std::string& response,
                   const std::vector<std::string>& names, const ResponseData& data) {
  const char* word = termSet == 0 ? "linear" : termSet == 1 ? "quadratic" : "requested";
  writeMessage("outptr", "note",
               formatText("Starting the %s least squares approximation to the response values.",
                          word));
  PolynomialModel model(termSet, support::polynomialVariablesFromData(names, data.points),
                        data.points, data.values);
  model.responseName = response;
  model.nameTermSetInMessages = termSet > 1;
  const int minimum = support::polynomialCoefficientCount(termSet, static_cast<int>(names.size()));
  std::string error;
  if (static_cast<int>(data.values.size()) < minimum) {
    warn(agent.type == kAgentDoe
             ? support::polynomialDoeTooFewDesignsMessage(support::polynomialTermSetWord(termSet),
                                                          minimum,
                                                          static_cast<int>(data.values.size()))
             : support::polynomialTooFewPointsMessage(static_cast<int>(data.values.size()),
                                                      minimum));
    return;
  }
  if (!model.compute(error)) {
    warn(error);
    return;
  }
  const char* modelWord = support::polynomialTermSetWord(termSet);
  const std::string path = studySurfacePath(response, modelWord, agent.number, ".mdl");
  if (writeWhole(path, support::writePolynomialModel(model),
                 support::polynomialModelFileCreateError(path))) {
    writeErrorFile(studySurfacePath(response, modelWord, agent.number, ".err"),
                   support::polynomialFitStatistics(model, data.points, data.values),
                   data.designNumbers);
  }
  writeMessage("outptr", "note",
               formatText("Completed the %s least squares approximation to the response values.",
                          word));
}

void fitKriging(const Agent& agent, const std::string& response,
                const std::vector<std::string>& names, const ResponseData& data) {
  writeMessage("outptr", "note", "Starting the kriging approximation to the response values.");
  KrigingFit model(data.points, data.values, 0, 0, 0.0);
  std::string error;
  if (!model.compute(error)) {
    warn(formatText("Could not fit a Kriging response surface to the data for response: %s. %s",
                    response.c_str(), error.c_str()));
    return;
  }
  const std::string path = studySurfacePath(response, "Kriging", agent.number, ".mdl");
  if (writeWhole(path, support::kernelModelFileText(model.writeData(), names),
                 support::polynomialModelFileCreateError(path))) {
    writeErrorFile(studySurfacePath(response, "Kriging", agent.number, ".err"),
                   leaveOneOutStatistics(data.values, model.PRESSResiduals()), data.designNumbers);
  }
  writeMessage("outptr", "note", "Completed the kriging approximation to the response values.");
}

void fitRadialBasis(const Agent& agent, const std::string& response,
                    const std::vector<std::string>& names, const ResponseData& data) {
  writeMessage("outptr", "note", "Starting the RBF approximation to the response values.");
  std::string error;
  std::unique_ptr<support::RadialBasisFunctionBase> kernel =
      support::makeRadialBasisFunction("RBFGaussian", 0.0, error);
  if (!kernel) {
    warn(error);
    return;
  }
  RadialBasisFunctionFit model(data.points, data.values, *kernel);
  model.setShape(0.0);  // chosen by leave-one-out error
  if (!model.compute(error)) {
    warn(formatText("Could not fit a RadialBasisFunction response surface to the data for "
                    "response: %s. %s",
                    response.c_str(), error.c_str()));
    return;
  }
  const std::string path =
      studySurfacePath(response, "RadialBasisFunction", agent.number, ".mdl");
  if (writeWhole(path, support::kernelModelFileText(model.writeData(), names),
                 support::polynomialModelFileCreateError(path))) {
    writeErrorFile(studySurfacePath(response, "RadialBasisFunction", agent.number, ".err"),
                   leaveOneOutStatistics(data.values, model.PRESSResiduals()), data.designNumbers);
  }
  writeMessage("outptr", "note", "Completed the RBF approximation to the response values.");
}

// Every model of one response, in the order of kStudySurfaceWords.
// Fits every model of one response, when there are enough points for the linear polynomial
// (otherwise the warning of too few points, and no model).
void fitModels(const Agent& agent, const std::string& response,
               const std::vector<std::string>& names, const ResponseData& data) {
  const int minimum = support::polynomialCoefficientCount(0, static_cast<int>(names.size()));
  if (static_cast<int>(data.values.size()) < minimum) {
    warn(agent.type == kAgentDoe
             ? support::polynomialDoeNoSurfaceMessage(minimum)
             : support::polynomialTooFewPointsMessage(static_cast<int>(data.values.size()),
                                                      minimum));
    return;
  }
  fitPolynomial(agent, 0, response, names, data);
  fitPolynomial(agent, 1, response, names, data);
  fitKriging(agent, response, names, data);
  fitRadialBasis(agent, response, names, data);
  if (agent.method.requestedTermSet > 1) {
    fitPolynomial(agent, agent.method.requestedTermSet, response, names, data);
  }
}

}  // namespace

std::string studySurfacePath(const std::string& response, const char* word, int agent,
                             const char* extension) {
  return formatText("%s%c%s-%s-%d%s", run.workingDirectory.c_str(), platform::kPathSeparator,
                    response.c_str(), word, agent, extension);
}

void fitResponseSurfaces(const Agent& agent) {
  const std::vector<ModelInput> inputs = modelInputs(agent);
  if (inputs.empty()) {
    std::string text = agent.type == kAgentReliability
                           ? formatText("There are no parameters (Fixed variables) defined with "
                                        "distributions applied to them for agent %d.",
                                        agent.number)
                           : formatText("There were no factors defined for agent %d.",
                                        agent.number);
    warn(formatText("%s No approximation models have been fit to the data.", text.c_str()));
    return;
  }
  std::vector<std::string> names;
  for (const ModelInput& input : inputs) names.push_back(input.name);
  const PerformanceDefinition* performance = findPerformance(agent.performance);
  if (!performance) return;
  for (int r = 0; r < performance->count; ++r) {
    const std::string& response = performance->name[static_cast<std::size_t>(r)];
    fitModels(agent, response, names,
              responseData(agent, inputs, static_cast<std::size_t>(r)));
  }
}

void fitDerivedResponseSurfaces(const Agent& agent, const std::string& response,
                                const std::vector<std::string>& names,
                                const std::vector<std::vector<double>>& points,
                                const std::vector<double>& values,
                                const std::vector<int>& pointNumbers) {
  if (names.empty()) {
    warn(formatText("There were no factors defined for agent %d. No approximation models have "
                    "been fit to the data.",
                    agent.number));
    return;
  }
  ResponseData data;
  for (std::size_t i = 0; i < points.size() && i < values.size(); ++i) {
    if (!std::isfinite(values[i])) continue;
    data.points.push_back(points[i]);
    data.values.push_back(values[i]);
    data.designNumbers.push_back(i < pointNumbers.size() ? pointNumbers[i]
                                                         : static_cast<int>(i) + 1);
  }
  fitModels(agent, response, names, data);
}

}  // namespace karvo::surrogates
