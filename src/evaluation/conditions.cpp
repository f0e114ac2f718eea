// Conditions at run time: the test of every condition type for one design, with the value
// kept per design slot. Run, success and loop conditions are evaluated once per analysis
// and design; finish conditions once per completion check (forced), so a command or formula
// condition may run every few seconds for each running job.
#include "evaluation/conditions.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "evaluation/formula.h"
#include "definitions/process_file.h"
#include "definitions/resources.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {


namespace {

// Exit codes by which /bin/sh reports a command it could not find (127) or run (126).
constexpr int kShellNotFound = 127;
constexpr int kShellNotExecutable = 126;

// Bytes read at a time when searching a file for a text.
constexpr std::size_t kSearchBlock = 1u << 20;

void logTo(const EvaluationContext& context, const char* severity, const std::string& text) {
  writeMessage("analysis", severity, text, context.designNumber, context.analysisName);
}

// Writes "Error in evaluating the condition ... This condition will be treated as failed."
// and answers 0 (not met).
int failed(const EvaluationContext& context, const Condition& condition,
           const std::string& detail) {
  std::string head =
      formatText("Error in evaluating the condition \"%s\".", condition.name.c_str());
  logTo(context, "error",
        formatText("%s %s This condition will be treated as failed.", head.c_str(),
                   detail.c_str()));
  return 0;
}

// The folder conditions run in: the analysis folder, or the study folder without one.
std::string runFolder(const EvaluationContext& context) {
  return context.analysisPath.empty() ? run.workingDirectory : context.analysisPath;
}

// `text` with its tags replaced; false when a value could not be had (replaceTags has then
// logged why). Only a command that the shell runs has the solver's paths quoted.
bool tagged(const std::string& text, const EvaluationContext& context, std::string& out,
            TagQuoting quoting = TagQuoting::kNone) {
  out = replaceTags(text, context, quoting);
  return out != kDummyCommand || text == kDummyCommand;
}

bool isLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// `word` occurs in `text` neither preceded nor followed by a letter or digit.
bool containsWord(const std::string& text, const std::string& word) {
  if (word.empty()) return false;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const bool before = at > 0 && isLetterOrDigit(text[at - 1]);
    const std::size_t after = at + word.size();
    const bool following = after < text.size() && isLetterOrDigit(text[after]);
    if (!before && !following) return true;
  }
  return false;
}

// Strict number: the whole text (blanks around allowed) reads as a finite or infinite real.
bool readNumber(const std::string& text, double& value) {
  const std::string word = trimmed(text);
  if (word.empty()) return false;
  char* end = nullptr;
  value = std::strtod(word.c_str(), &end);
  return end && *end == '\0';
}

// ---------------------------------------------------------------------------------------
// Formula

// The compiled text of each formula condition, by its definition text: compiled once.
std::unordered_map<std::string, std::string>& compiledFormulas() {
  static std::unordered_map<std::string, std::string> table;
  return table;
}

const std::string& compiledFormula(const Condition& condition) {
  std::string key;
  for (const std::string& line : condition.formula) {
    key += line;
    key += '\n';
  }
  auto found = compiledFormulas().find(key);
  if (found != compiledFormulas().end()) return found->second;
  std::string text = compileFormula(condition.name, condition.formula);
  return compiledFormulas().emplace(key, std::move(text)).first->second;
}


// The variables handed to the interpreter: every known name of the formula with its current
// values. A name without values is handed over empty, so that the formula fails with the
// interpreter's "not available" message instead of a bare NameError.
std::vector<FormulaVariable> formulaVariables(const std::string& formula,
                                              const EvaluationContext& context) {
  std::vector<FormulaVariable> variables;
  for (const std::string& name : formulaNames(formula)) {
    const VariableLookup found = lookupVariable(name);
    if (found.kindCode == kKindUnknown) continue;
    if (found.kindCode == kKindInternal && found.index == kDesignNum) continue;  // set by run
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
    variable.integers = found.kindCode == kKindInternal;  // Agent_Num, Case_Num
    variable.asList = values.count() > 1 || found.kindCode == kKindDiscreteSet ||
                      found.kindCode == kKindCurve;
    variables.push_back(std::move(variable));
  }
  return variables;
}

int testFormula(const Condition& condition, const EvaluationContext& context) {
  const std::string& formula = compiledFormula(condition);
  std::vector<double> values;
  if (!evaluateFormula(condition.name, formula, formulaVariables(formula, context),
                       context.designNumber, values, context.analysisName)) {
    return failed(context, condition, "Its formula could not be evaluated.");
  }
  if (values.empty()) return failed(context, condition, "Its formula gave no value.");
  for (double value : values) {
    if (value == 0.0 || std::isnan(value)) return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------------------
// Parameter

int testParameter(const Condition& condition, const EvaluationContext& context) {
  const char* parameter = condition.paramRef.c_str();
  const VariableValues values = variableValues(condition.paramRef, context);
  if (!values.ok || values.count() == 0) {
    return failed(context, condition,
                  formatText("Could not get data for parameter used \"%s\".", parameter));
  }
  std::vector<double> numbers = values.numbers;
  if (values.isText) {
    for (const std::string& text : values.texts) {
      double number = 0.0;
      if (!readNumber(text, number)) {
        return failed(context, condition,
                      formatText("The parameter used \"%s\" resulted in non-numeric data.",
                                 parameter));
      }
      numbers.push_back(number);
    }
  }
  const std::string& op = condition.paramOp;
  const double limit = condition.paramVal;
  if (op != "<" && op != ">" && op != "<=" && op != ">=" && op != "=" && op != "!=") {
    std::string head = formatText("Internal error in evaluating the condition \"%s\".",
                                  condition.name.c_str());
    logTo(context, "error",
          formatText("%s Unsupported comparison operator \"%s\". This condition will be treated "
                     "as failed.",
                     head.c_str(), op.c_str()));
    return 0;
  }
  for (double x : numbers) {
    const bool holds = op == "<"    ? x < limit
                       : op == ">"  ? x > limit
                       : op == "<=" ? x <= limit
                       : op == ">=" ? x >= limit
                       : op == "="  ? x == limit
                                    : x != limit;
    if (!holds) return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------------------
// Files

// The full local path of the condition's file; false after logging why it cannot be had.
bool conditionFile(const Condition& condition, const EvaluationContext& context,
                   const ConditionServices& services, std::string& path) {
  std::string name;
  if (!tagged(condition.fileRef, context, name)) return false;
  bool ok;
  if (services.resolveFile) {
    ok = services.resolveFile(condition.fileType, name, context, path);
  } else if (!name.empty() && name[0] == platform::kPathSeparator) {
    path = name;
    ok = true;
  } else {
    const std::string folder = runFolder(context);
    ok = !name.empty() && !folder.empty();
    if (ok) path = platform::joinPath(folder, name);
  }
  if (!ok) {
    logTo(context, "error",
          formatText("Could not form the full path to the file \"%s\" of type \"%s\" being "
                     "refenced in the \"%s\" condition.",
                     name.c_str(), condition.fileType.c_str(), condition.name.c_str()));
    return false;
  }
  if (run.settings.verbose) {
    logTo(context, "note",
          formatText("Using the following file for evaluating condition \"%s\":\n%s.",
                     condition.name.c_str(), path.c_str()));
  }
  return true;
}

enum class SearchResult { kFound, kNotFound, kUnreadable };

// Searches the file block by block, so that output files of any size are searched with a
// bounded buffer; a match that spans two blocks is found.
SearchResult fileHolds(const std::string& path, const std::string& text, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = platform::systemErrorText(errno);
    return SearchResult::kUnreadable;
  }
  std::vector<char> block(kSearchBlock);
  std::string window;
  SearchResult result = SearchResult::kNotFound;
  for (;;) {
    const std::size_t n = std::fread(block.data(), 1, block.size(), file);
    if (n == 0) break;
    window.append(block.data(), n);
    if (window.find(text) != std::string::npos) {
      result = SearchResult::kFound;
      break;
    }
    const std::size_t keep = text.size() - 1;
    if (window.size() > keep) window.erase(0, window.size() - keep);
  }
  if (result == SearchResult::kNotFound && std::ferror(file)) {
    error = platform::systemErrorText(errno);
    result = SearchResult::kUnreadable;
  }
  std::fclose(file);
  return result;
}

// The text a FileContain / FileNotContain condition looks for; false after logging why it
// cannot be had.
bool searchText(const Condition& condition, const EvaluationContext& context,
                std::string& text) {
  if (!condition.findText.empty()) {
    if (!tagged(condition.findText, context, text)) {
      failed(context, condition,
             formatText("The tags of the text to find \"%s\" could not be replaced.",
                        condition.findText.c_str()));
      return false;
    }
  } else {
    const VariableValues values = variableValues(condition.findRef, context);
    bool ok = values.ok && values.count() > 0;
    for (std::size_t i = 0; ok && i < values.count(); ++i) {
      FormattedValue value = formatValue(condition.findRef, values, i, "Default", context);
      ok = value.ok;
      if (i > 0) text += ' ';
      text += value.text;
    }
    if (!ok) {
      failed(context, condition,
             formatText("Could not get the text to find from the variable \"%s\".",
                        condition.findRef.c_str()));
      return false;
    }
  }
  if (text.empty()) {
    failed(context, condition, "The text to find is empty.");
    return false;
  }
  return true;
}

int testFile(const Condition& condition, const EvaluationContext& context,
             const ConditionServices& services) {
  std::string path;
  if (!conditionFile(condition, context, services, path)) return 0;
  switch (condition.type) {
    case ConditionType::FileExist: return platform::pathExists(path) ? 1 : 0;
    case ConditionType::FileNotExist: return platform::pathExists(path) ? 0 : 1;
    default: break;
  }
  std::string text;
  if (!searchText(condition, context, text)) return 0;
  std::string error;
  const SearchResult result = fileHolds(path, text, error);
  if (result == SearchResult::kUnreadable) {
    return failed(context, condition,
                  formatText("Could not read the file \"%s\": %s.", path.c_str(), error.c_str()));
  }
  const bool found = result == SearchResult::kFound;
  return (condition.type == ConditionType::FileContain) == found ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// Statuses

int testAnalysisStatus(const Condition& condition, const EvaluationContext& context,
                       const ConditionServices& services) {
  int status = -1;
  if (!services.analysisStatus ||
      !services.analysisStatus(condition.statusRef, context, status)) {
    return failed(context, condition,
                  formatText("Could not get the status of the analysis \"%s\" for design %d.",
                             condition.statusRef.c_str(), context.designNumber));
  }
  return statusWordMatches(condition.statusVal, status) ? 1 : 0;
}

int testResponseStatus(const Condition& condition, const EvaluationContext& context) {
  if (lookupVariable(condition.statusRef).kindCode != kKindResponse) {
    return failed(context, condition,
                  formatText("The response used \"%s\" has not been defined.",
                             condition.statusRef.c_str()));
  }
  constexpr int kNotEvaluated = 4;
  auto found = context.responses.find(condition.statusRef);
  const int status = found == context.responses.end() ? kNotEvaluated : found->second.status;
  return statusWordMatches(condition.statusVal, status) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------
// Commands

// Runs the condition's command (tags replaced) in the run folder and keeps its output in
// "cmdOutputCapture". False after logging why it gave no usable result.
bool runConditionCommand(const Condition& condition, const EvaluationContext& context,
                         const ConditionServices& services,
                         platform::CapturedRun& result) {
  std::string command;
  if (!tagged(condition.command, context, command, TagQuoting::kShell)) {
    failed(context, condition,
           formatText("The tags of its command \"%s\" could not be replaced.",
                      condition.command.c_str()));
    return false;
  }
  const std::string folder = runFolder(context);
  const std::string capture = platform::joinPath(folder, kCommandOutputFile);
  platform::removeFile(capture);

  std::string local = command;
  // The job's resource, else the analysis's own (a set is never remote itself).
  const ComputeResource* resource = findComputeResource(
      context.jobResource.empty() && context.analysis ? context.analysis->computeResource
                                                      : context.jobResource);
  if (resource && resource->remote) {
    if (services.remoteCommand) {
      std::string error;
      if (!services.remoteCommand(command, context, local, error)) {
        failed(context, condition,
               formatText("Could not form the command for the remote machine of the compute "
                          "resource \"%s\":\n%s",
                          resource->name.c_str(), error.c_str()));
        return false;
      }
    } else {
      logTo(context, "warning",
            formatText("The compute resource \"%s\" runs on a remote machine, but no remote "
                       "command runner is set up for conditions. The command of the condition "
                       "\"%s\" runs on this machine.",
                       resource->name.c_str(), condition.name.c_str()));
    }
  }
  if (run.settings.verbose) {
    logTo(context, "note",
          formatText("Running the command of the condition \"%s\" in the folder \"%s\":\n%s",
                     condition.name.c_str(), folder.c_str(), local.c_str()));
  }

  result = platform::runCapturedCommand(local, folder, services.commandSeconds);
  if (!result.started) {
    failed(context, condition,
           formatText("Error in executing the following command (could not create the process "
                      "to run this):\n%s\n%s",
                      local.c_str(), result.error.c_str()));
    return false;
  }
  if (std::FILE* file = std::fopen(capture.c_str(), "wb")) {
    std::fwrite(result.output.data(), 1, result.output.size(), file);
    std::fclose(file);
  } else {
    logTo(context, "warning",
          formatText("Could not write the output of the command of the condition \"%s\" to "
                     "\"%s\": %s.",
                     condition.name.c_str(), capture.c_str(),
                     platform::systemErrorText(errno).c_str()));
  }
  if (result.timedOut) {
    failed(context, condition,
           formatText("The command \"%s\" did not finish within %g seconds and was stopped.",
                      local.c_str(), services.commandSeconds));
    return false;
  }
  if (result.exitStatus == kShellNotFound || result.exitStatus == kShellNotExecutable) {
    failed(context, condition,
           formatText("The command \"%s\" could not be run (exit code %d):\n%s", local.c_str(),
                      result.exitStatus, trimmed(result.output).c_str()));
    return false;
  }
  if (run.settings.verbose) {
    logTo(context, "note",
          formatText("The command of the condition \"%s\" ended with the exit code %d.",
                     condition.name.c_str(), result.exitStatus));
  }
  return true;
}

int testCommand(const Condition& condition, const EvaluationContext& context,
                const ConditionServices& services) {
  std::string text;
  if (!condition.cmdText.empty() && !tagged(condition.cmdText, context, text)) {
    return failed(context, condition,
                  formatText("The tags of the text to find \"%s\" could not be replaced.",
                             condition.cmdText.c_str()));
  }
  platform::CapturedRun result;
  if (!runConditionCommand(condition, context, services, result)) return 0;
  if (condition.cmdCheck && result.exitStatus != condition.cmdVal) return 0;
  if (!text.empty() && result.output.find(text) == std::string::npos) return 0;
  return 1;
}

int testScheduledJob(const Condition& condition, const EvaluationContext& context,
                     const ConditionServices& services) {
  const bool byId = condition.find == "ID";
  const std::string& job = byId ? context.jobId : context.jobName;
  if (job.empty()) {
    return failed(context, condition,
                  formatText("The analysis \"%s\" of design %d has no job %s to look for.",
                             context.analysisName.c_str(), context.designNumber,
                             byId ? "id" : "name"));
  }
  platform::CapturedRun result;
  if (!runConditionCommand(condition, context, services, result)) return 0;
  return containsWord(result.output, job) ? 1 : 0;
}

// ---------------------------------------------------------------------------------------

int evaluateIndex(int index, const EvaluationContext& context, int slot, bool force,
                  const ConditionServices& services);

int testComposite(const Condition& condition, const EvaluationContext& context, int slot,
                  bool force, const ConditionServices& services) {
  std::string details =
      formatText("Composite condition \"%s\" evaluation details", condition.name.c_str());
  int result = 1;
  bool andWithNext = true;
  for (std::size_t i = 0; i < condition.members.size(); ++i) {
    const CompositeMember& member = condition.members[i];
    int index = member.condition;
    if (index < 0) {
      const Condition* target = findCondition(member.name);
      if (!target) {
        fatalError(formatText("Error in locating \"%s\" in the list of defined conditions. This "
                              "condition has not been defined.",
                              member.name.c_str()));
      }
      index = static_cast<int>(target - conditions.data());
    }
    int value = 0;
    if (conditions[static_cast<std::size_t>(index)].type == ConditionType::Composite) {
      failed(context, condition,
             formatText("Its member \"%s\" is itself a composite condition.",
                        member.name.c_str()));
    } else {
      value = evaluateIndex(index, context, slot, force, services);
    }
    details = formatText("%s\nCondition %s was %s.", details.c_str(), member.name.c_str(),
                         value ? "met" : "NOT met");
    if (i == 0) {
      result = value;
    } else {
      result = andWithNext ? (result && value) : (result || value);
    }
    andWithNext = member.andNext == 1;
  }
  logTo(context, "note", details);
  return result ? 1 : 0;
}

int runTest(const Condition& condition, const EvaluationContext& context, int slot,
            bool force, const ConditionServices& services) {
  switch (condition.type) {
    case ConditionType::Formula: return testFormula(condition, context);
    case ConditionType::Parameter: return testParameter(condition, context);
    case ConditionType::FileExist:
    case ConditionType::FileNotExist:
    case ConditionType::FileContain:
    case ConditionType::FileNotContain: return testFile(condition, context, services);
    case ConditionType::AnalysisStatus: return testAnalysisStatus(condition, context, services);
    case ConditionType::ResponseStatus: return testResponseStatus(condition, context);
    case ConditionType::Command: return testCommand(condition, context, services);
    case ConditionType::Composite:
      return testComposite(condition, context, slot, force, services);
    case ConditionType::ScheduledJob: return testScheduledJob(condition, context, services);
  }
  return 0;
}

int evaluateIndex(int index, const EvaluationContext& context, int slot, bool force,
                  const ConditionServices& services) {
  if (index < 0 || index >= static_cast<int>(conditions.size())) return 0;
  const std::size_t at = static_cast<std::size_t>(slot);
  {
    Condition& condition = conditions[static_cast<std::size_t>(index)];
    if (slot >= 0 && at < condition.evaluated.size() && condition.evaluated[at] && !force) {
      const int value = at < condition.value.size() ? condition.value[at] : 0;
      if (run.settings.verbose) {
        logTo(context, "note",
              formatText("This condition \"%s\" has already been evaluated. Returning the "
                         "already calculated value of %d.",
                         condition.name.c_str(), value));
      }
      return value;
    }
  }
  const int value =
      runTest(conditions[static_cast<std::size_t>(index)], context, slot, force, services) ? 1 : 0;
  if (slot >= 0) {
    Condition& condition = conditions[static_cast<std::size_t>(index)];
    if (condition.evaluated.size() <= at) condition.evaluated.resize(at + 1, 0);
    if (condition.value.size() <= at) condition.value.resize(at + 1, 0);
    condition.evaluated[at] = 1;
    condition.value[at] = value;
  }
  return value;
}

}  // namespace

int evaluateCondition(int conditionIndex, const EvaluationContext& context, int slot,
                      bool force, const ConditionServices& services) {
  return evaluateIndex(conditionIndex, context, slot, force, services);
}

int evaluateCondition(const std::string& name, const EvaluationContext& context, int slot,
                      bool force, const ConditionServices& services) {
  const Condition* condition = findCondition(name);
  if (!condition) {
    fatalError(formatText("Error in locating \"%s\" in the list of defined conditions. This "
                          "condition has not been defined.",
                          name.c_str()));
  }
  return evaluateIndex(static_cast<int>(condition - conditions.data()), context, slot, force,
                       services);
}

void clearConditionSlot(int slot) {
  if (slot < 0) return;
  const std::size_t at = static_cast<std::size_t>(slot);
  for (Condition& condition : conditions) {
    if (at < condition.evaluated.size()) condition.evaluated[at] = 0;
    if (at < condition.value.size()) condition.value[at] = 0;
  }
}

void clearConditionValues() {
  for (Condition& condition : conditions) {
    condition.evaluated.clear();
    condition.value.clear();
  }
}

}  // namespace karvo
