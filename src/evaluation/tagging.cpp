// Tagging of tagged input files, commands and the environment of launched commands: name
// resolution over every kind of variable, the internal variables and their values, and the
// replacement of "%name%" tags. Runs for every tag of every analysis of every design (tens
// to hundreds of look-ups per design); the tables searched hold at most a few hundred names.
#include "evaluation/tagging.h"

#include <cstdlib>

#include "definitions/definitions_common.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/print_formats.h"
#include "definitions/process_file.h"
#include "definitions/resources.h"
#include "definitions/study.h"
#include "definitions/response_definitions.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {

const char* const kInternalVariableNames[kInternalVariableCount] = {
    "Design_Num", "Analysis_Path", "Analysis_Name", "Agent_Num", "Job_Name",
    "Design_Path", "Project_Path", "Study_Path", "Study_Name", "Study_Folder_Name",
    "POST_Path", "Case_Num", "Job_ID", "INPUTFILE", "INPUTFILENAME",
    "MACHINENAME", "MACHINELIST", "ANALYSIS_INSTALL",
};

namespace {

constexpr const char* kNotDefined = "not defined";
constexpr const char* kLocalhost = "localhost";

// Order in which "%<name>%" tags are tried at each "%" of a command (the file name without
// extension before the input file).
constexpr int kCommandTagOrder[] = {
    kJobName,   kJobId,     kDesignNum,       kDesignPath, kAnalysisPath, kProjectPath,
    kStudyPath, kStudyName, kStudyFolderName, kPostPath,   kAnalysisName, kAgentNum,
    kCaseNum,   kInputFileName, kInputFile,   kMachineName, kMachineList, kAnalysisInstall,
};

// Internal variables exported as "KARVO_MDO_<name>", in order; INPUTFILENAME and
// ANALYSIS_INSTALL are not exported.
constexpr int kExportOrder[] = {
    kJobName,   kJobId,     kDesignNum,       kAnalysisPath, kDesignPath,   kProjectPath,
    kStudyPath, kStudyName, kStudyFolderName, kPostPath,     kAnalysisName, kAgentNum,
    kCaseNum,   kInputFile, kMachineName,     kMachineList,
};

bool isIntegerInternal(int index) {
  return index == kDesignNum || index == kAgentNum || index == kCaseNum;
}

void logToAnalysis(const char* severity, const std::string& text,
                   const EvaluationContext& context) {
  writeMessage("analysis", severity, text, context.designNumber, context.analysisName);
}

std::string studyFolder() { return run.workingDirectory; }

std::string agentFolderOf(const EvaluationContext& context) {
  if (!context.agentFolder.empty()) return context.agentFolder;
  return formatText("%s%c%s_%d", studyFolder().c_str(), platform::kPathSeparator,
                    run.runPrefix.c_str(), context.agentNumber);
}

// The last component of a folder path ("" for the root).
std::string folderName(const std::string& path) {
  std::size_t end = path.find_last_not_of(platform::kPathSeparator);
  if (end == std::string::npos) return "";
  std::size_t start = path.rfind(platform::kPathSeparator, end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end + 1 - start);
}

// The file name without its extension: cut at the last "." of the name's last component,
// unless that "." begins the component (".profile" stays whole).
std::string withoutExtension(const std::string& file) {
  std::size_t nameStart = file.rfind(platform::kPathSeparator);
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  std::size_t dot = file.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) return file;
  return file.substr(0, dot);
}

std::string machineName(const EvaluationContext& context) {
  const ComputeResource* resource = findComputeResource(context.jobResource);
  if (!resource || !resource->remote) return kLocalhost;
  if (!resource->computeNode.empty()) return resource->computeNode;
  if (resource->remoteMachine >= 0 &&
      resource->remoteMachine < static_cast<int>(remoteMachines.size()) &&
      !remoteMachines[static_cast<std::size_t>(resource->remoteMachine)].host.empty()) {
    return remoteMachines[static_cast<std::size_t>(resource->remoteMachine)].host;
  }
  return kLocalhost;
}

std::string machineList(const EvaluationContext& context) {
  const ComputeResource* resource = findComputeResource(context.jobResource);
  if (!resource || resource->machineList.empty()) return kLocalhost;
  std::string joined;
  for (const std::string& machine : resource->machineList) {
    if (!joined.empty()) joined += ',';
    joined += machine;
  }
  return joined;
}

// A text value as a number when the whole text is one, else as text.
void appendItem(const std::string& item, bool numeric, VariableValues& out) {
  if (numeric) {
    out.numbers.push_back(std::strtod(item.c_str(), nullptr));
  } else {
    out.texts.push_back(item);
  }
}

VariableValues noValue() { return VariableValues(); }

VariableValues oneNumber(double value) {
  VariableValues out;
  out.ok = true;
  out.numbers.push_back(value);
  return out;
}

VariableValues oneText(const std::string& text) {
  VariableValues out;
  out.ok = true;
  out.isText = true;
  out.texts.push_back(text);
  return out;
}

[[noreturn]] void failNotInStudy(const char* kindWord, const std::string& name) {
  fatalError(formatText("Error in the problem definition. The %s variable \"%s\" is used in a "
                        "formula but has not been added to the study variables.",
                        kindWord, name.c_str()));
}

VariableValues designVariableValues(const Variable& variable, const EvaluationContext& context,
                                    bool forFormula) {
  switch (variable.kind) {
    case VariableKind::Continuous: {
      auto found = context.numbers.find(variable.name);
      if (found != context.numbers.end()) return oneNumber(found->second);
      if (forFormula) failNotInStudy("continuous", variable.name);
      return noValue();
    }
    case VariableKind::Discrete: {
      auto found = context.choices.find(variable.name);
      if (found == context.choices.end()) {
        if (forFormula) failNotInStudy("discrete", variable.name);
        return noValue();
      }
      if (variable.setIndex < 0 || variable.setIndex >= static_cast<int>(definitions.sets.size())) {
        return noValue();
      }
      const DiscreteSet& set = definitions.sets[static_cast<std::size_t>(variable.setIndex)];
      if (found->second < 0 || found->second >= static_cast<int>(set.items.size())) {
        return noValue();
      }
      VariableValues out;
      out.ok = true;
      out.isText = !set.numeric;
      appendItem(set.items[static_cast<std::size_t>(found->second)], set.numeric, out);
      return out;
    }
    case VariableKind::Dependent: {
      auto found = context.numbers.find(variable.name);
      return found != context.numbers.end() ? oneNumber(found->second) : noValue();
    }
    case VariableKind::FixedParameter: {
      auto found = context.numbers.find(variable.name);
      return oneNumber(found != context.numbers.end() ? found->second : variable.baseline);
    }
    case VariableKind::StringParameter: {
      auto found = context.texts.find(variable.name);
      return oneText(found != context.texts.end() ? found->second : variable.baselineText);
    }
  }
  return noValue();
}

VariableValues responseValues(const std::string& name, const EvaluationContext& context) {
  auto found = context.responses.find(name);
  if (found == context.responses.end() || !found->second.present) return noValue();
  const ResponseValue& response = found->second;
  VariableValues out;
  if (!response.values.empty()) {
    out.numbers = response.values;
  } else if (!response.text.empty()) {
    out.isText = true;
    out.texts = response.text;
  } else {
    return noValue();
  }
  out.ok = true;
  return out;
}

VariableValues conditionValues(int index, const EvaluationContext& context) {
  int value = 0;
  if (context.conditionValue) {
    return context.conditionValue(index, value) ? oneNumber(value) : noValue();
  }
  const Condition& condition = conditions[static_cast<std::size_t>(index)];
  const int slot = context.designSlot;
  if (slot < 0 || slot >= static_cast<int>(condition.evaluated.size()) ||
      slot >= static_cast<int>(condition.value.size()) ||
      !condition.evaluated[static_cast<std::size_t>(slot)]) {
    return noValue();
  }
  return oneNumber(condition.value[static_cast<std::size_t>(slot)]);
}

VariableValues loopValues(const Loop& loop, const EvaluationContext& context) {
  int caseIndex = context.caseIndex;
  if (!loop.active) {
    logToAnalysis("note",
                  formatText("The loop %s is not active for this study. Only the first value in "
                             "the loop will be used.",
                             loop.name.c_str()),
                  context);
    caseIndex = 0;
  }
  if (caseIndex < 0 || caseIndex >= static_cast<int>(loop.values.size())) return noValue();
  const std::string& value = loop.values[static_cast<std::size_t>(caseIndex)];
  return defs::isNumberText(value) ? oneNumber(std::strtod(value.c_str(), nullptr))
                                   : oneText(value);
}

VariableValues setValues(const DiscreteSet& set) {
  if (set.items.empty()) return noValue();
  VariableValues out;
  out.ok = true;
  out.isText = !set.numeric;
  for (const std::string& item : set.items) appendItem(item, set.numeric, out);
  return out;
}

VariableValues curveValues(const Curve& curve) {
  if (curve.points.empty()) return noValue();
  VariableValues out;
  out.ok = true;
  for (const CurvePoint& point : curve.points) out.numbers.push_back(point.y);
  return out;
}

TagValueAnswer tagFailure(const std::string& name) {
  TagValueAnswer answer;
  answer.message = formatText(
      "\n\t**** ERROR ****\n\t Error in getting value for variable \"%s\" during tagging.\n",
      name.c_str());
  return answer;
}

}  // namespace

VariableLookup lookupVariable(const std::string& name) {
  VariableLookup out;
  auto variable = definitions.variableByName.find(name);
  if (variable != definitions.variableByName.end()) {
    out.index = variable->second;
    switch (definitions.variables[static_cast<std::size_t>(variable->second)].kind) {
      case VariableKind::Continuous:
        out.kindName = "continuous";
        out.kindCode = kKindContinuous;
        break;
      case VariableKind::Discrete:
        out.kindName = "discrete";
        out.kindCode = kKindDiscrete;
        break;
      case VariableKind::Dependent:
        out.kindName = "dependent";
        out.kindCode = kKindDependent;
        break;
      case VariableKind::FixedParameter:
        out.kindName = "numeric parameter";
        out.kindCode = kKindNumericParameter;
        break;
      case VariableKind::StringParameter:
        out.kindName = "string parameter";
        out.kindCode = kKindStringParameter;
        break;
    }
    return out;
  }
  auto found = [&](const char* kindName, int kindCode, std::size_t index) {
    out.kindName = kindName;
    out.kindCode = kindCode;
    out.index = static_cast<int>(index);
    return out;
  };
  if (int index = internalVariableIndex(name, false); index >= 0) {
    return found("internal", kKindInternal, static_cast<std::size_t>(index));
  }
  for (std::size_t i = 0; i < responseDefinitions.size(); ++i) {
    if (responseDefinitions[i].name == name) return found("response", kKindResponse, i);
  }
  for (std::size_t i = 0; i < conditions.size(); ++i) {
    if (conditions[i].name == name) return found("condition", kKindCondition, i);
  }
  for (std::size_t i = 0; i < definitions.loops.size(); ++i) {
    if (definitions.loops[i].name == name) return found("loop parameter", kKindLoop, i);
  }
  for (std::size_t i = 0; i < definitions.sets.size(); ++i) {
    if (definitions.sets[i].name == name) return found("discrete set", kKindDiscreteSet, i);
  }
  for (std::size_t i = 0; i < definitions.curves.size(); ++i) {
    if (definitions.curves[i].name == name) return found("curve", kKindCurve, i);
  }
  return out;
}

int internalVariableIndex(const std::string& name, bool strict) {
  for (int i = 0; i < kInternalVariableCount; ++i) {
    if (name == kInternalVariableNames[i]) return i;
  }
  if (strict) fatalError(formatText("Unsupported internal variable name --> %s ", name.c_str()));
  return -1;
}

std::string internalVariableRaw(int index, const EvaluationContext& context) {
  switch (index) {
    case kDesignNum: return formatText("%d", context.designNumber);
    case kAnalysisPath: return context.analysisPath;
    case kAnalysisName: return context.analysisName;
    case kAgentNum: return formatText("%d", context.agentNumber);
    case kJobName: return context.jobName.empty() ? kNotDefined : context.jobName;
    case kDesignPath:
      return formatText("%s%cDesign%d", agentFolderOf(context).c_str(), platform::kPathSeparator,
                        context.designNumber);
    case kProjectPath:
      return formatText("%s%c..", studyFolder().c_str(), platform::kPathSeparator);
    case kStudyPath: return studyFolder();
    case kStudyName: return run.studyName;
    case kStudyFolderName: return folderName(studyFolder());
    case kPostPath: {
      // The agent's post folder; the study folder only for a context of no known agent.
      if (!context.postFolder.empty()) return context.postFolder;
      const Agent* agent = findAgent(context.agentNumber);
      return agent && !agent->postFolder.empty() ? agent->postFolder : studyFolder();
    }
    case kCaseNum: return formatText("%d", context.caseIndex + 1);
    case kJobId: return context.jobId.empty() ? kNotDefined : context.jobId;
    case kInputFile: return context.analysis ? context.analysis->primaryInput : "";
    case kInputFileName:
      return context.analysis ? withoutExtension(context.analysis->primaryInput) : "";
    case kMachineName: return machineName(context);
    case kMachineList: return machineList(context);
    case kAnalysisInstall: return context.analysis ? context.analysis->install : "";
    default: return "";
  }
}

std::string internalVariableValue(const std::string& name, const std::string& fileName,
                                  const EvaluationContext& context) {
  const int index = internalVariableIndex(name, false);
  if (index < 0) {
    fatalError(formatText("Unsupported internal variable \"%s\" found in file \"%s\"",
                          name.c_str(), fileName.c_str()));
  }
  const PrintFormat& format = requirePrintFormat("Default", name);
  int width = format.totalLength;
  switch (format.kind) {
    case PrintFormatKind::Automatic:
      break;
    case PrintFormatKind::Integer:
    case PrintFormatKind::Float:
    case PrintFormatKind::Scientific:
    case PrintFormatKind::String: {
      std::string text = formatText(
          "Error in the format specification (%s) for variable %s. Only Automatic format is "
          "allowed for internal variables.",
          format.name.c_str(), name.c_str());
      logToAnalysis("warning",
                    formatText("%s Only the fixed length information if specified will be used.",
                               text.c_str()),
                    context);
      break;
    }
    default: {
      std::string text = formatText(
          "Incorrect definition of the format specification. Incomplete format definition (%s) "
          "for variable %s.",
          format.name.c_str(), name.c_str());
      logToAnalysis("warning", formatText("%s Using the automatic free format option", text.c_str()),
                    context);
      width = 0;
      break;
    }
  }
  if (index == kAnalysisInstall &&
      (context.analysis == nullptr || context.analysis->install.empty())) {
    logToAnalysis("warning", "Could not find the solver install path in analysis definition data",
                  context);
    return "";
  }
  if (isIntegerInternal(index)) {
    const int value = index == kDesignNum  ? context.designNumber
                      : index == kAgentNum ? context.agentNumber
                                           : context.caseIndex + 1;
    return width < 1 ? formatText("%d", value) : formatText("%*.*d", width, width, value);
  }
  // Texts are right-aligned in a fixed length but never cut: a cut path or name would point
  // somewhere else.
  std::string text = internalVariableRaw(index, context);
  if (width >= 1 && static_cast<int>(text.size()) < width) {
    text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  }
  return text;
}

VariableValues variableValues(const std::string& name, const EvaluationContext& context,
                              bool forFormula) {
  const VariableLookup found = lookupVariable(name);
  const std::size_t index = static_cast<std::size_t>(found.index);
  switch (found.kindCode) {
    case kKindContinuous:
    case kKindDiscrete:
    case kKindDependent:
    case kKindNumericParameter:
    case kKindStringParameter:
      return designVariableValues(definitions.variables[index], context, forFormula);
    case kKindInternal: {
      const std::string raw = internalVariableRaw(found.index, context);
      return isIntegerInternal(found.index) ? oneNumber(std::strtod(raw.c_str(), nullptr))
                                            : oneText(raw);
    }
    case kKindResponse: return responseValues(name, context);
    case kKindCondition: return conditionValues(found.index, context);
    case kKindLoop: return loopValues(definitions.loops[index], context);
    case kKindDiscreteSet: return setValues(definitions.sets[index]);
    case kKindCurve: return curveValues(definitions.curves[index]);
    default: return noValue();
  }
}

void writeFormatWarnings(const FormattedValue& value, const EvaluationContext& context) {
  for (const FormatWarning& warning : value.warnings) {
    logToAnalysis(warning.severity, warning.text, context);
  }
}

FormattedValue formatValue(const std::string& variableName, const VariableValues& values,
                           std::size_t i, const std::string& formatName,
                           const EvaluationContext& context) {
  const PrintFormat& format = requirePrintFormat(formatName, variableName);
  FormattedValue out = values.isText ? formatString(format, values.texts.at(i))
                                     : formatNumber(format, values.numbers.at(i), variableName);
  writeFormatWarnings(out, context);
  return out;
}

TagValueAnswer tagValue(const std::string& name, const std::string& format,
                        const EvaluationContext& context) {
  const VariableLookup found = lookupVariable(name);
  if (found.kindCode == kKindUnknown) return tagFailure(name);
  const std::string formatName = format.empty() ? std::string("Default") : format;
  requirePrintFormat(formatName, name);
  TagValueAnswer answer;
  if (found.kindCode == kKindInternal) {
    answer.values.push_back(internalVariableValue(name, "tagged input file", context));
    answer.ok = true;
    return answer;
  }
  const VariableValues values = variableValues(name, context);
  if (!values.ok || values.count() == 0) return tagFailure(name);
  for (std::size_t i = 0; i < values.count(); ++i) {
    FormattedValue text = formatValue(name, values, i, formatName, context);
    if (!text.ok) return tagFailure(name);
    answer.values.push_back(std::move(text.text));
  }
  answer.ok = true;
  return answer;
}

TagValueCallback tagValueCallback(const EvaluationContext& context) {
  return [&context](const std::string& name, const std::string& format) {
    return tagValue(name, format, context);
  };
}

namespace {

// "%<name>%" of internal variable `index`.
const std::string& internalTag(int index) {
  static const std::vector<std::string> tags = [] {
    std::vector<std::string> made;
    for (const char* name : kInternalVariableNames) made.push_back(formatText("%%%s%%", name));
    return made;
  }();
  return tags[static_cast<std::size_t>(index)];
}

// The values of a "%name%" tag of a command, written with "Default" and joined by blanks;
// false when a value cannot be had or written.
bool commandTagText(const std::string& name, const EvaluationContext& context,
                    std::string& text) {
  const VariableValues values = variableValues(name, context);
  if (!values.ok || values.count() == 0) return false;
  for (std::size_t i = 0; i < values.count(); ++i) {
    FormattedValue value = formatValue(name, values, i, "Default", context);
    if (!value.ok) return false;
    if (i > 0) text += ' ';
    text += value.text;
  }
  return true;
}

// Where a point of a command line stands for sh: outside quotes, inside '...' or "...".
enum class ShellRegion { kPlain, kSingleQuoted, kDoubleQuoted };

// Follows the quoting of the command as the user wrote it, one character at a time; a
// backslash outside single quotes takes the next character as it is.
struct ShellQuoting {
  ShellRegion region = ShellRegion::kPlain;
  bool escaped = false;  // the last character was a backslash that escapes the next one

  void pass(char c) {
    if (escaped) {
      escaped = false;
      return;
    }
    switch (region) {
      case ShellRegion::kPlain:
        if (c == '\\') escaped = true;
        if (c == '\'') region = ShellRegion::kSingleQuoted;
        if (c == '"') region = ShellRegion::kDoubleQuoted;
        break;
      case ShellRegion::kSingleQuoted:
        if (c == '\'') region = ShellRegion::kPlain;
        break;
      case ShellRegion::kDoubleQuoted:
        if (c == '\\') escaped = true;
        if (c == '"') region = ShellRegion::kPlain;
        break;
    }
  }
};

// Characters that sh takes literally in an unquoted word anywhere in it.
bool plainWordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '-' || c == '.' || c == '/' || c == ',' || c == ':' || c == '+' ||
         c == '@';
}

// `value` written so that sh reads it back unchanged at a point in `region`. Outside quotes
// the blanks of a fixed-length field stay in front as separators and the rest becomes one
// single-quoted word unless it is plain already; inside quotes only what would end the quotes
// or start an expansion is escaped.
std::string quotedForShell(const std::string& value, ShellRegion region) {
  std::string out;
  switch (region) {
    case ShellRegion::kPlain: {
      const std::size_t start = value.find_first_not_of(' ');
      if (start == std::string::npos) return value;
      out = value.substr(0, start);
      const std::string word = value.substr(start);
      bool plain = true;
      for (char c : word) plain = plain && plainWordCharacter(c);
      return out + (plain ? word : platform::shellQuote(word));
    }
    case ShellRegion::kSingleQuoted:
      for (char c : value) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
      return out;
    case ShellRegion::kDoubleQuoted:
      for (char c : value) {
        if (c == '$' || c == '`' || c == '"' || c == '\\') out += '\\';
        out += c;
      }
      return out;
  }
  return value;
}

// The command with its tags replaced, or the dummy command.
std::string substituteTags(const std::string& command, const EvaluationContext& context,
                           TagQuoting quoting) {
  std::string result;
  result.reserve(command.size());
  ShellQuoting shell;
  std::size_t i = 0;
  while (i < command.size()) {
    if (command[i] != '%') {
      shell.pass(command[i]);
      result += command[i++];
      continue;
    }
    bool internal = false;
    for (int index : kCommandTagOrder) {
      const std::string& tag = internalTag(index);
      if (command.compare(i, tag.size(), tag) == 0) {
        std::string value =
            internalVariableValue(kInternalVariableNames[index], "replaceTags", context);
        // The solver's own paths and names go to the shell as one word each; a design's own
        // values (below) are written as they are.
        if (quoting == TagQuoting::kShell && !isIntegerInternal(index)) {
          value = quotedForShell(value, shell.region);
        }
        result += value;
        i += tag.size();
        internal = true;
        break;
      }
    }
    if (internal) continue;
    const std::size_t close = command.find('%', i + 1);
    if (close != std::string::npos) {
      const std::string name = command.substr(i + 1, close - i - 1);
      if (lookupVariable(name).kindCode != kKindUnknown) {
        std::string text;
        if (!commandTagText(name, context, text)) {
          logToAnalysis("error",
                        formatText("Error in getting the value for \"%s\" for replacing on the "
                                   "command line. The execution command will be set to a dummy "
                                   "value to prevent running the analysis with an incomplete "
                                   "command.",
                                   name.c_str()),
                        context);
          return kDummyCommand;
        }
        result += text;
        i = close + 1;
        continue;
      }
    }
    shell.pass('%');
    result += '%';
    ++i;
  }
  return result;
}

}  // namespace

std::string replaceTags(const std::string& command, const EvaluationContext& context,
                        TagQuoting quoting) {
  std::string result = substituteTags(command, context, quoting);
  if (run.settings.verbose && result != command) {
    logToAnalysis("note", "Incoming command", context);
    logToAnalysis("none", command, context);
    logToAnalysis("note", "Updated command", context);
    logToAnalysis("none", result, context);
  }
  return result;
}

bool exportInternalVariables(const EvaluationContext& context) {
  bool allSet = true;
  for (int index : kExportOrder) {
    const char* name = kInternalVariableNames[index];
    const std::string value = internalVariableValue(name, "replaceTags", context);
    if (!platform::setEnv(formatText("KARVO_MDO_%s", name).c_str(), value)) allSet = false;
  }
  return allSet;
}

}  // namespace karvo
