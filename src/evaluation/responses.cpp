// Response processing for each design: the store of values the portals report, the
// calculated responses, the statuses and their roll-up, the accepted ranges and the hand-over
// to the scoring. Tens of responses per design; every look-up is by name in the context's
// hash table or a linear scan of the short definition lists.
#include "evaluation/responses.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "external/surface_file.h"
#include "platform/platform.h"
#include "evaluation/formula.h"
#include "definitions/process_file.h"
#include "evaluation/response_curvefit.h"
#include "evaluation/response_filter.h"
#include "evaluation/response_fld.h"
#include "evaluation/performance.h"
#include "definitions/performance_file.h"

namespace karvo {

namespace {

// Interpreter texts of formula responses, keyed by the formula's lines joined with newlines.
std::unordered_map<std::string, std::string>& compiledFormulas() {
  static std::unordered_map<std::string, std::string> table;
  return table;
}

void logTo(const EvaluationContext& context, const char* severity, const std::string& text) {
  writeMessage("analysis", severity, text, context.designNumber, context.analysisName);
}

void logToDesign(const EvaluationContext& context, const char* severity,
                 const std::string& text) {
  writeMessage("analysis", severity, text, context.designNumber, "");
}

bool contains(const std::vector<std::string>& list, const std::string& name) {
  for (const std::string& entry : list) {
    if (entry == name) return true;
  }
  return false;
}

// Appends `name` to `list` unless `seen` holds it already.
void addOnce(std::vector<std::string>& list, std::unordered_set<std::string>& seen,
             const std::string& name) {
  if (!name.empty() && seen.insert(name).second) list.push_back(name);
}

bool isCalculated(const ResponseDefinition& response) {
  return response.type != ResponseType::File;
}

// The shortest text that reads back as `value` ("2.5", "1e-07").
std::string numberText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// A whole word read as a finite number.
bool readNumber(const std::string& text, double& value) {
  const std::string word = trimmed(text);
  if (word.empty()) return false;
  char* end = nullptr;
  value = std::strtod(word.c_str(), &end);
  return end == word.c_str() + word.size() && std::isfinite(value);
}

// Stores values for `name` (data, SUCCESS): numbers for a numeric response, texts otherwise.
void storeNumbers(EvaluationContext& context, const ResponseDefinition& response,
                  const std::vector<double>& numbers) {
  ResponseValue& value = context.responses[response.name];
  value.values.clear();
  value.text.clear();
  if (response.numeric) {
    value.values = numbers;
  } else {
    for (double number : numbers) value.text.push_back(numberText(number));
  }
  value.present = true;
  value.status = kStatusSuccess;
}

// No data, ERROR.
void storeFailure(EvaluationContext& context, const std::string& name) {
  ResponseValue& value = context.responses[name];
  value.values.clear();
  value.text.clear();
  value.present = false;
  value.status = kStatusError;
}

// The definition of a reported response, or null after the warning that it is not used.
const ResponseDefinition* reportedResponse(const EvaluationContext& context,
                                           const std::string& name) {
  const ResponseDefinition* response = findResponseDefinition(name);
  if (!response) {
    logTo(context, "warning",
          formatText("The portal reported the response \"%s\", which is not a defined "
                     "response. The value was not used.",
                     name.c_str()));
    return nullptr;
  }
  if (context.analysis && !contains(context.analysis->outputResponses, name)) {
    logTo(context, "warning",
          formatText("The portal reported the response \"%s\", which the analysis \"%s\" does "
                     "not extract. The value was not used.",
                     name.c_str(), context.analysis->name.c_str()));
    return nullptr;
  }
  return response;
}

void logPortalMessage(const EvaluationContext& context, const std::string& name,
                      const std::string& message, bool errorInCall) {
  if (message.empty()) return;
  logTo(context, errorInCall ? "error" : "note",
        "The following message was received from the portal during extraction for response " +
            name + ":\n" + message);
}

void refuseValue(EvaluationContext& context, const std::string& name, const std::string& value) {
  logTo(context, "error",
        formatText("The value \"%s\" extracted for the numeric response \"%s\" is not a "
                   "number. The response has no data.",
                   value.c_str(), name.c_str()));
  storeFailure(context, name);
}

// ---------------------------------------------------------------------------------------
// Formula names


std::string joinedLines(const std::vector<std::string>& lines) {
  std::string key;
  for (const std::string& line : lines) {
    key += line;
    key += '\n';
  }
  return key;
}

const std::string& compiledFormula(const ResponseDefinition& response) {
  const std::string key = joinedLines(response.formula);
  auto found = compiledFormulas().find(key);
  if (found != compiledFormulas().end()) return found->second;
  std::string text = compileFormula(response.name, response.formula);
  return compiledFormulas().emplace(key, std::move(text)).first->second;
}

// Every known name of `formula` with its current values; a name without values is handed
// over empty, so that the formula fails with the interpreter's "not available" message.
std::vector<FormulaVariable> formulaVariables(const std::string& formula,
                                              const EvaluationContext& context) {
  std::vector<FormulaVariable> variables;
  for (const std::string& name : formulaNames(formula)) {
    const VariableLookup found = lookupVariable(name);
    if (found.kindCode == kKindUnknown) continue;
    if (found.kindCode == kKindInternal && found.index == kDesignNum) continue;  // always set
    const VariableValues values = variableValues(name, context, true);
    FormulaVariable variable;
    variable.name = name;
    if (values.ok) {
      if (values.isText) {
        variable.texts = values.texts;
      } else {
        variable.numbers = values.numbers;
      }
    }
    variable.integers = found.kindCode == kKindInternal;
    variable.asList = values.count() > 1 || found.kindCode == kKindDiscreteSet ||
                      found.kindCode == kKindCurve;
    variables.push_back(std::move(variable));
  }
  return variables;
}

// Names of defined responses only, without `self`, each once.
void addResponseNames(std::vector<std::string>& out, std::unordered_set<std::string>& seen,
                      const std::vector<std::string>& names, const std::string& self) {
  for (const std::string& name : names) {
    if (name != self && findResponseDefinition(name)) addOnce(out, seen, name);
  }
}

std::string rangeText(double low, double high) {
  const bool hasLow = low > -kNoAcceptLimit;
  const bool hasHigh = high < kNoAcceptLimit;
  if (hasLow && hasHigh) return formatText("The accepted range is %g to %g.", low, high);
  if (hasLow) return formatText("The accepted values are at least %g.", low);
  return formatText("The accepted values are at most %g.", high);
}

// The names joined as the lists of missing responses show them: " a,  b, " ("%s %s, ").
std::string nameList(const std::string& head, const std::vector<std::string>& names) {
  std::string text = head;
  for (const std::string& name : names) text = formatText("%s %s, ", text.c_str(), name.c_str());
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Statuses

int rollUpAnalysisStatus(bool skipped, bool failed, const std::vector<int>& responseStatuses) {
  if (skipped) return kStatusSkipped;
  int status = failed ? kStatusError : kStatusSuccess;
  for (int response : responseStatuses) {
    if (status == kStatusError) break;
    if (response == kStatusError) {
      status = kStatusError;
    } else if (response == kStatusFeasible) {
      if (status == kStatusSuccess) status = kStatusFeasible;
    } else if (response == kStatusInfeasible) {
      status = kStatusInfeasible;
    }
  }
  return status;
}

int analysisStatusOf(const Analysis& analysis, bool skipped, bool failed,
                     const EvaluationContext& context) {
  std::vector<int> statuses;
  for (const auto* list : {&analysis.outputResponses, &analysis.calculatedResponses}) {
    for (const std::string& name : *list) {
      auto found = context.responses.find(name);
      if (found != context.responses.end()) statuses.push_back(found->second.status);
    }
  }
  return rollUpAnalysisStatus(skipped, failed, statuses);
}

// ---------------------------------------------------------------------------------------
// The responses of a design

std::vector<std::string> responseDependencies(const ResponseDefinition& response) {
  std::vector<std::string> out;
  std::unordered_set<std::string> seen;
  const std::string& self = response.name;
  switch (response.type) {
    case ResponseType::Formula:
      addResponseNames(out, seen, formulaNames(joinedLines(response.formula)), self);
      break;
    case ResponseType::CurveFit:
      addResponseNames(out, seen, {response.curveFit.x, response.curveFit.y}, self);
      addResponseNames(out, seen, response.curveFit.dependsOn, self);
      break;
    case ResponseType::Filter:
      addResponseNames(out, seen, {response.filter.source}, self);
      addResponseNames(out, seen, response.filter.dependsOn, self);
      break;
    case ResponseType::FLD:
      addResponseNames(out, seen, {response.fld.minor, response.fld.major}, self);
      addResponseNames(out, seen, response.fld.dependsOn, self);
      break;
    case ResponseType::RSM:
      addResponseNames(out, seen, response.rsm.variables, self);
      break;
    case ResponseType::File: break;
  }
  return out;
}

std::vector<std::string> designResponseNames(const PerformanceDefinition* performance,
                                             const Process* process) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  if (process) {
    for (const Analysis& analysis : process->analyses) {
      for (const std::string& name : analysis.outputResponses) addOnce(names, seen, name);
      for (const std::string& name : analysis.calculatedResponses) addOnce(names, seen, name);
    }
  }
  if (performance) {
    for (const std::string& name : performance->name) addOnce(names, seen, name);
  }
  // The list grows while it is walked: dependencies of dependencies are added too.
  for (std::size_t i = 0; i < names.size(); ++i) {
    const ResponseDefinition* response = findResponseDefinition(names[i]);
    if (!response || !isCalculated(*response)) continue;
    for (const std::string& name : responseDependencies(*response)) addOnce(names, seen, name);
  }
  return names;
}

void startDesignResponses(EvaluationContext& context, const std::vector<std::string>& names) {
  context.responses.clear();
  for (const std::string& name : names) {
    ResponseValue value;
    value.status = kStatusNotEvaluated;
    context.responses[name] = value;
  }
}

// ---------------------------------------------------------------------------------------
// Extraction

void recordExtractedValues(EvaluationContext& context, const std::string& name,
                           const std::vector<std::string>& values, const std::string& message,
                           bool errorInCall) {
  logPortalMessage(context, name, message, errorInCall);
  const ResponseDefinition* response = reportedResponse(context, name);
  if (!response) return;
  if (errorInCall || values.empty()) {
    storeFailure(context, name);
    return;
  }
  if (!response->numeric) {
    ResponseValue& value = context.responses[name];
    value.values.clear();
    value.text = values;
    value.present = true;
    value.status = kStatusSuccess;
    return;
  }
  std::vector<double> numbers;
  for (const std::string& text : values) {
    double number = 0.0;
    if (!readNumber(text, number)) {
      refuseValue(context, name, text);
      return;
    }
    numbers.push_back(number);
  }
  storeNumbers(context, *response, numbers);
}

void recordExtractedNumbers(EvaluationContext& context, const std::string& name,
                            const std::vector<double>& values, const std::string& message,
                            bool errorInCall) {
  logPortalMessage(context, name, message, errorInCall);
  const ResponseDefinition* response = reportedResponse(context, name);
  if (!response) return;
  if (errorInCall || values.empty()) {
    storeFailure(context, name);
    return;
  }
  for (double value : values) {
    if (!std::isfinite(value)) {
      refuseValue(context, name, formatText("%g", value));
      return;
    }
  }
  storeNumbers(context, *response, values);
}

ExtractionCallback responseExtractionCallback(EvaluationContext& context) {
  return [&context](const std::string& response, const std::vector<double>& values, bool ok,
                    const std::string& message) {
    recordExtractedNumbers(context, response, values, message, !ok);
  };
}

// ---------------------------------------------------------------------------------------
// Calculated responses

bool evaluateFormulaResponse(const ResponseDefinition& response,
                             const EvaluationContext& context, std::vector<double>& values) {
  const std::string& formula = compiledFormula(response);
  if (!evaluateFormula(response.name, formula, formulaVariables(formula, context),
                       context.designNumber, values, context.analysisName)) {
    values.clear();
    return false;
  }
  if (values.empty()) {
    logTo(context, "error",
          formatText("%s\nThe formula gave no values (\"_result\" is an empty list).",
                     responseErrorHead(response.name).c_str()));
    return false;
  }
  return true;
}

namespace {

// Models read from their files, by path: each file is read once per run.
std::map<std::string, std::shared_ptr<support::SurfaceFile>>& surfaceFiles() {
  static std::map<std::string, std::shared_ptr<support::SurfaceFile>> files;
  return files;
}

// A response evaluated from a response-surface model file: the model's value at the design's
// values of the response's `variables` (in that order; the model's own list when none are
// given). A relative file name is taken in the study folder.
bool evaluateRsmResponse(const ResponseDefinition& response, EvaluationContext& context,
                         std::vector<double>& values) {
  std::string path = response.rsm.modelFile;
  if (!path.empty() && path.front() != '/') path = platform::joinPath(run.workingDirectory, path);
  std::shared_ptr<support::SurfaceFile>& model = surfaceFiles()[path];
  if (!model) {
    auto read = std::make_shared<support::SurfaceFile>();
    std::string error;
    if (!support::readSurfaceFile(path, *read, error)) {
      logTo(context, "error",
            formatText("%s\nThe response surface model could not be read: %s",
                       responseErrorHead(response.name).c_str(), error.c_str()));
      surfaceFiles().erase(path);
      return false;
    }
    model = std::move(read);
  }
  const std::vector<std::string>& names =
      response.rsm.variables.empty() ? model->variables : response.rsm.variables;
  if (names.size() != model->variables.size()) {
    logTo(context, "error",
          formatText("%s\nThe response lists %d variables, but its model \"%s\" takes %d.",
                     responseErrorHead(response.name).c_str(), static_cast<int>(names.size()),
                     response.rsm.modelFile.c_str(), static_cast<int>(model->variables.size())));
    return false;
  }
  std::vector<double> x;
  for (const std::string& name : names) {
    const auto computed = context.responses.find(name);
    if (computed != context.responses.end() && computed->second.present &&
        !computed->second.values.empty()) {
      x.push_back(computed->second.values.front());
      continue;
    }
    const VariableValues value = variableValues(name, context);
    if (!value.ok || value.isText || value.numbers.empty()) {
      logTo(context, "error",
            formatText("%s\nThe variable \"%s\" of the response surface model has no numeric "
                       "value for this design.",
                       responseErrorHead(response.name).c_str(), name.c_str()));
      return false;
    }
    x.push_back(value.numbers.front());
  }
  const double result = model->evaluate(x);
  if (!std::isfinite(result)) {
    logTo(context, "error",
          formatText("%s\nThe response surface model \"%s\" gave no finite value.",
                     responseErrorHead(response.name).c_str(), response.rsm.modelFile.c_str()));
    return false;
  }
  values.push_back(result);
  return true;
}

}  // namespace

bool calculateResponse(const ResponseDefinition& response, EvaluationContext& context) {
  std::vector<double> values;
  bool ok = false;
  switch (response.type) {
    case ResponseType::Formula:
      ok = evaluateFormulaResponse(response, context, values);
      break;
    case ResponseType::CurveFit: {
      double value = kCurveFitFailure;
      ok = evaluateCurveFitResponse(response, context, value);
      if (ok) values.push_back(value);
      break;
    }
    case ResponseType::Filter:
      ok = evaluateFilterResponse(response, context, values);
      break;
    case ResponseType::FLD:
      ok = evaluateFormingLimitResponse(response, context, values);
      break;
    case ResponseType::RSM:
      ok = evaluateRsmResponse(response, context, values);
      break;
    case ResponseType::File:
      logTo(context, "internal error",
            formatText("The response \"%s\" is extracted by an analysis; it cannot be "
                       "calculated.",
                       response.name.c_str()));
      break;
  }
  if (ok) {
    storeNumbers(context, response, values);
  } else {
    storeFailure(context, response.name);
  }
  return ok;
}

std::vector<std::string> processAnalysisResponses(const Analysis& analysis,
                                                  EvaluationContext& context,
                                                  const PerformanceDefinition* performance) {
  std::vector<std::string> missing;
  for (const std::string& name : analysis.outputResponses) {
    auto found = context.responses.find(name);
    if (found != context.responses.end() && found->second.present) continue;
    logTo(context, "error",
          formatText("The processing of response \"%s\" resulted in no data being extracted. "
                     "This design will be marked as an error design.",
                     name.c_str()));
    storeFailure(context, name);
    missing.push_back(name);
  }
  for (const std::string& name : analysis.calculatedResponses) {
    const ResponseDefinition* response = findResponseDefinition(name);
    if (!response) {
      logTo(context, "internal error",
            formatText("The calculated response \"%s\" of analysis \"%s\" is not defined.",
                       name.c_str(), analysis.name.c_str()));
      storeFailure(context, name);
      missing.push_back(name);
      continue;
    }
    if (!calculateResponse(*response, context)) missing.push_back(name);
  }
  if (performance) markConstraintStatuses(*performance, context);
  return missing;
}

std::string missingAnalysisResponsesText(const std::vector<std::string>& names,
                                         const std::string& analysisLog) {
  std::string text = nameList(
      "Could not extract result for all the responses associated with this analysis. The list "
      "of responses is provided below:\n",
      names);
  return formatText("%s\nANALYSIS LOG: %s", text.c_str(), analysisLog.c_str());
}

void markAnalysisResponsesSkipped(const Analysis& analysis, EvaluationContext& context) {
  for (const auto* list : {&analysis.outputResponses, &analysis.calculatedResponses}) {
    for (const std::string& name : *list) {
      ResponseValue& value = context.responses[name];
      if (!value.present) value.status = kStatusSkipped;
    }
  }
}

bool calculateDesignResponses(const std::vector<std::string>& names, EvaluationContext& context) {
  std::vector<const ResponseDefinition*> pending;
  std::unordered_set<std::string> waiting;
  for (const std::string& name : names) {
    const ResponseDefinition* response = findResponseDefinition(name);
    if (!response || !isCalculated(*response)) continue;
    auto found = context.responses.find(name);
    if (found != context.responses.end() &&
        (found->second.present || found->second.status != kStatusNotEvaluated)) {
      continue;
    }
    if (waiting.insert(name).second) pending.push_back(response);
  }
  bool ok = true;
  while (!pending.empty()) {
    // A response is ready when none of the responses it reads is still waiting. When none is
    // (a cycle of definitions), the first waiting one is computed all the same and fails for
    // want of data.
    std::size_t next = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      bool ready = true;
      for (const std::string& name : responseDependencies(*pending[i])) {
        if (waiting.count(name)) ready = false;
      }
      if (ready) {
        next = i;
        break;
      }
    }
    const ResponseDefinition* response = pending[next];
    pending.erase(pending.begin() + static_cast<long>(next));
    waiting.erase(response->name);
    if (!calculateResponse(*response, context)) ok = false;
  }
  return ok;
}

void markConstraintStatuses(const PerformanceDefinition& performance, EvaluationContext& context) {
  std::unordered_map<std::string, bool> violated;  // name -> any constraint violated
  std::vector<std::string> order;
  for (int i = 0; i < performance.count; ++i) {
    if (performance.flag[i] != kResponseConstraint) continue;
    const std::string& name = performance.name[i];
    auto found = context.responses.find(name);
    if (found == context.responses.end()) continue;
    const ResponseValue& value = found->second;
    if (!value.present || value.status == kStatusError || value.values.empty()) continue;
    auto [entry, fresh] = violated.emplace(name, false);
    if (fresh) order.push_back(name);
    for (double v : value.values) {
      if (!std::isfinite(v) || deviation(performance, i, v) > 0.0) entry->second = true;
    }
  }
  for (const std::string& name : order) {
    context.responses[name].status = violated[name] ? kStatusInfeasible : kStatusFeasible;
  }
}

// ---------------------------------------------------------------------------------------
// Accepted ranges and the end of a design

bool checkAcceptRanges(EvaluationContext& context, PerformanceDefinition* performance) {
  bool ok = true;
  for (const ResponseDefinition& response : responseDefinitions) {
    auto found = context.responses.find(response.name);
    if (found == context.responses.end() || !found->second.present) continue;
    ResponseValue& value = found->second;
    if (value.values.empty()) continue;

    struct Range {
      double low;
      double high;
    };
    std::vector<Range> ranges{{response.acceptMin, response.acceptMax}};
    if (performance) {
      for (int i = 0; i < performance->count; ++i) {
        if (performance->name[i] == response.name) {
          ranges.push_back({performance->minAllowed[i], performance->maxAllowed[i]});
        }
      }
    }
    std::string text;
    for (const Range& range : ranges) {
      if (!(range.low > -kNoAcceptLimit || range.high < kNoAcceptLimit)) continue;  // none
      for (double v : value.values) {
        if (v >= range.low && v <= range.high) continue;
        text = formatText("The value for the response \"%s\" = %f for design %d, lies outside "
                          "the range specified.",
                          response.name.c_str(), v, context.designNumber);
        text = formatText("%s This design will be marked as an error design.", text.c_str());
        text += "\n" + rangeText(range.low, range.high);
        break;
      }
      if (!text.empty()) break;
    }
    if (text.empty()) continue;
    ok = false;
    value.status = kStatusError;
    logToDesign(context, "error", text);
    if (performance) {
      for (int i = 0; i < performance->count; ++i) {
        if (performance->name[i] == response.name &&
            static_cast<int>(performance->err_msgs.size()) > i) {
          performance->err_msgs[i] = text;
        }
      }
    }
  }
  return ok;
}

bool finishDesignResponses(EvaluationContext& context, PerformanceDefinition* performance,
                           Design& design) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  if (performance) {
    for (const std::string& name : performance->name) addOnce(names, seen, name);
  } else {
    for (const ResponseDefinition& response : responseDefinitions) {
      if (context.responses.count(response.name)) addOnce(names, seen, response.name);
    }
  }
  std::vector<std::string> missing;
  for (const std::string& name : names) {
    auto found = context.responses.find(name);
    if (found == context.responses.end() || !found->second.present) missing.push_back(name);
  }
  bool ok = missing.empty();
  if (!ok) {
    logToDesign(context, "error",
                nameList("The evaluation of this design did not result in the extraction of "
                         "data for all the responses associated with this design. The list of "
                         "responses is provided below:\n",
                         missing));
  }
  if (!checkAcceptRanges(context, performance)) ok = false;

  design.responses.clear();
  if (performance) {
    for (const std::string& name : performance->name) {
      auto found = context.responses.find(name);
      if (found != context.responses.end()) {
        design.responses.push_back(found->second);
      } else {
        ResponseValue absent;
        absent.status = kStatusNotEvaluated;
        design.responses.push_back(absent);
      }
    }
  }
  if (!ok) {
    design.failed = true;
    design.status = kDesignError;
  }
  return ok;
}

// ---------------------------------------------------------------------------------------
// Start-up

void associateStudyResponses(PerformanceDefinition& performance, const Process& process) {
  for (int i = 0; i < performance.count; ++i) {
    const std::string& name = performance.name[i];
    std::vector<int> producers;
    for (std::size_t a = 0; a < process.analyses.size(); ++a) {
      const Analysis& analysis = process.analyses[a];
      if (contains(analysis.outputResponses, name) ||
          contains(analysis.calculatedResponses, name)) {
        producers.push_back(static_cast<int>(a));
      }
    }
    if (producers.empty()) {
      const ResponseDefinition* response = findResponseDefinition(name);
      if (!response || !isCalculated(*response)) {
        fatalError(formatText("The tagged response \"%s\" defined in Performance%d.in file has "
                              "not been associated with any analysis in the Process%d.in file.",
                              name.c_str(), performance.number, process.number));
      }
      performance.eval[i] = -1;
      performance.eval_tool[i] = -1;
      continue;
    }
    std::vector<int> unconditional;
    for (int a : producers) {
      if (trimmed(process.analyses[a].runCondition).empty()) unconditional.push_back(a);
    }
    if (unconditional.size() > 1) {
      fatalError(formatText(
          "The response \"%s\" is given by the analyses \"%s\" and \"%s\" of the Process%d.in "
          "file, neither of which has a run condition. When several analyses give one response, "
          "only one of them may run without a run condition.",
          name.c_str(), process.analyses[unconditional[0]].name.c_str(),
          process.analyses[unconditional[1]].name.c_str(), process.number));
    }
    performance.eval[i] = producers.front();
    performance.eval_tool[i] = process.analyses[producers.front()].id;
  }
}

void resetResponseProcessing() { compiledFormulas().clear(); }

}  // namespace karvo
