// Reading of the performance files "Performance%d.in" into the `per_type` table: the study
// responses of each performance definition with their options, weights, targets,
// normalisations and accepted ranges. Read once at start-up (tens of responses per file).
#include "definitions/performance_file.h"

#include <cmath>

#include "definitions/reader.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/text.h"
#include "base/run_state.h"
#include "definitions/response_definitions.h"
#include "platform/platform.h"

namespace karvo {

std::vector<PerformanceDefinition> per_type;

namespace {

constexpr const char* kResponseLabel = "Study response";

// Every property of a `*RESPONSE` record: objectives and constraints read all but "goal",
// plain responses only "goal".
constexpr const char* kResponseNames[] = {"name",   "type",    "goal",     "factor",
                                          "option", "target",  "quadWt",   "linearWt",
                                          "acceptMin", "acceptMax"};

[[noreturn]] void repeatedResponse(const DefinitionContext& context, const std::string& name) {
  std::string text = formatText(
      "The response name %s already exists in the list of study responses. The following "
      "rules apply for using the same response multiple times:",
      name.c_str());
  text = formatText("%s The response can only be used as an objective or a constraint.",
                    text.c_str());
  text = formatText("%s It can be used as an objective only once.", text.c_str());
  text = formatText("%s There is no limit on the number of constraints defined on a response.",
                    text.c_str());
  fatalError(text + definitionPlace(context, "name"));
}

// Name rules: not a variable's name, a defined response, an objective only once, and a
// response used more than once only as objective or constraint.
void checkResponseName(const DefinitionContext& context, const PerformanceDefinition& table,
                       int flag) {
  const std::string& name = context.objectName;
  const std::string& fileLabel = context.fileLabel;
  if (findVariable(name)) {
    fatalError(formatText("Error in the name definition of a response. The name \"%s\" has "
                          "already been used to define a variable.",
                          name.c_str()) +
               definitionPlace(context, "name"));
  }
  if (!findResponseDefinition(name)) {
    fatalError(formatText(
        "The study response \"%s\" in file \"%s\" has not been defined as a response of the "
        "study. Please define the response before using it as an objective, a constraint or "
        "a study response.",
        name.c_str(), fileLabel.c_str()));
  }
  for (int i = 0; i < table.count; ++i) {
    if (table.name[i] != name) continue;
    if (flag == kResponsePlain || table.flag[i] == kResponsePlain) {
      repeatedResponse(context, name);
    }
    if (flag == kResponseObjective && table.flag[i] == kResponseObjective) {
      fatalError(formatText("\nThe response variable name %s already exists as an objective.",
                            name.c_str()) +
                 definitionPlace(context, "name"));
    }
  }
}

[[noreturn]] void badObjectiveOption(const DefinitionContext& context, int code) {
  std::string text = formatText("Opt cannot be equal to %d. ", code);
  text = formatText("%s Set Opt equal to -1 to minimize the response value.\n", text.c_str());
  text = formatText("%s Set Opt equal to  0 to match response value to the target value.\n",
                    text.c_str());
  text = formatText("%s Set Opt equal to  1 to maximize the response value.\n", text.c_str());
  text = formatText(
      "%s Set Opt equal to  2 to push the response value away from the target value.\n",
      text.c_str());
  fatalError(text + definitionPlace(context, "option").substr(1));  // the text ends its line
}

[[noreturn]] void badConstraintOption(const DefinitionContext& context, int code) {
  std::string text = formatText("Opt cannot be equal to %d. ", code);
  text = formatText("%s Set Opt equal to -1 to keep the response below the constraint target.\n",
                    text.c_str());
  text = formatText(
      "%s Set Opt equal to  0 to match the response value to the constraint target).\n",
      text.c_str());
  text = formatText(
      "%s Set Opt equal to  1 to keep the response above the constraint target).\n",
      text.c_str());
  fatalError(text + definitionPlace(context, "option").substr(1));  // the text ends its line
}

// The `factor` of an objective or constraint: "baseline" (or absent) gives -1.0, a number
// its magnitude; 0 is refused unless the performance serves a reliability agent.
double readNormalisation(const DefinitionContext& context, bool forReliability) {
  std::string word = optionalString(context, "factor", "baseline");
  if (word == "baseline") return kNormFromBaseline;
  double value = requireDouble(context, "factor");
  const char* name = context.objectName.c_str();
  if (value == 0.0) {
    if (forReliability) return 1.0;
    std::string text =
        formatText("The normalization value for response \"%s\" was specified as 0.0.", name);
    text = formatText(
        "%s This value must be non-zero. Please fix this before resubmitting the run.",
        text.c_str());
    fatalError(text + definitionPlace(context, "factor"));
  }
  if (value < 0.0) {
    std::string text = formatText(
        "The normalization value for response \"%s\" was specified as a negative value (%g).",
        name, value);
    text = formatText(
        "%s Since KARVO does not allow negative values for normalization, the absolute value "
        "will be used.",
        text.c_str());
    writeMessage("outptr", "warning", text);
    value = -value;
  }
  return value;
}

void readResponseRecord(const DefinitionContext& base, PerformanceDefinition& table,
                        bool forReliability) {
  DefinitionContext context = base;
  context.objectName = requireString(context, "name");
  const std::string& name = context.objectName;
  std::string type = requireString(context, "type");
  int flag = 0;
  if (type == "objective") {
    flag = kResponseObjective;
  } else if (type == "constraint") {
    flag = kResponseConstraint;
  } else if (type == "response") {
    flag = kResponsePlain;
  } else {
    fatalError(formatText("Error in reading data for study response \"%s\". Unsupported "
                          "response type \"%s\" specified.",
                          name.c_str(), type.c_str()) +
               definitionPlace(context, "type"));
  }
  checkResponseName(context, table, flag);

  int opt = 0;
  int goal = kGoalNone;
  double norm = 1.0, target = 0.0, coef = 0.0, offset = 0.0;
  double minAllowed = -kNoAcceptLimit, maxAllowed = kNoAcceptLimit;
  if (flag == kResponsePlain) {
    std::string word = optionalString(context, "goal", "NONE");
    if (!goalCode(word, goal)) {
      std::string text =
          formatText("Invalid response goal type selected \"%s\".", word.c_str());
      text = formatText("%s Valid choices are NONE, smaller, target, nominal, and larger.",
                        text.c_str());
      fatalError(text + definitionPlace(context, "goal"));
    }
  } else {
    norm = readNormalisation(context, forReliability);
    std::string word = requireString(context, "option");
    if (!optionCode(word, opt)) {
      std::string text =
          formatText("Invalid option selected for an objective/constraint \"%s\".", name.c_str());
      text = formatText(
          "%s Valid choices are min_value, max_value, min_diff, max_diff for OBJECTIVES and "
          "less_equal, equal, greater_equal for CONSTRAINTS.",
          text.c_str());
      fatalError(text + definitionPlace(context, "option"));
    }
    if (flag == kResponseObjective && (opt < -1 || opt > 2)) badObjectiveOption(context, opt);
    if (flag == kResponseConstraint && (opt < -1 || opt > 1)) badConstraintOption(context, opt);
    target = requireDouble(context, "target");
    coef = requireDouble(context, "quadWt");
    offset = requireDouble(context, "linearWt");
    minAllowed = optionalDouble(context, "acceptMin", minAllowed);
    maxAllowed = optionalDouble(context, "acceptMax", maxAllowed);
    if (minAllowed > maxAllowed) {
      std::string text =
          formatText("Error in the definition of the study response \"%s\".\n", name.c_str());
      text = formatText(
          "%s The minimum allowed value (%g) cannot be greater than the maximum allowed value "
          "(%g).",
          text.c_str(), minAllowed, maxAllowed);
      fatalError(text + definitionPlace(context, "acceptMin"));
    }
  }

  table.name.push_back(name);
  table.flag.push_back(flag);
  table.opt.push_back(flag == kResponsePlain ? 0 : opt);
  table.goal.push_back(goal);
  table.resp_value_type.push_back(0);
  table.eval.push_back(-1);
  table.eval_tool.push_back(-1);
  table.coef.push_back(coef);
  table.target.push_back(target);
  table.norm.push_back(norm);
  table.offset.push_back(offset);
  table.minAllowed.push_back(minAllowed);
  table.maxAllowed.push_back(maxAllowed);
  table.err_msgs.emplace_back();
  ++table.count;
  if (flag == kResponseObjective) ++table.objectiveCount;
  if (flag == kResponseConstraint) ++table.constraintCount;
  warnUnknownProperties(context, kResponseNames);
}

bool usedByReliabilityAgent(int number) {
  for (const Agent& agent : agents) {
    if (agent.type == kAgentReliability && agent.performance == number) return true;
  }
  return false;
}

}  // namespace

PerformanceDefinition* findPerformance(int number) {
  for (PerformanceDefinition& definition : per_type) {
    if (definition.number == number) return &definition;
  }
  return nullptr;
}

bool optionCode(const std::string& word, int& code) {
  if (word == "min_value" || word == "-1" || word == "less_equal") {
    code = -1;
  } else if (word == "equal" || word == "0" || word == "min_diff") {
    code = 0;
  } else if (word == "max_value" || word == "1" || word == "greater_equal") {
    code = 1;
  } else if (word == "max_diff" || word == "2") {
    code = 2;
  } else {
    return false;
  }
  return true;
}

bool goalCode(const std::string& word, int& code) {
  static const struct {
    const char* word;
    int code;
  } kGoals[] = {{"NONE", -2}, {"smaller", -1}, {"target", 0}, {"nominal", 1}, {"larger", 2}};
  for (const auto& goal : kGoals) {
    if (word == goal.word) {
      code = goal.code;
      return true;
    }
  }
  return false;
}

void readPerformanceFile(int number) {
  readPerformanceFile(number, usedByReliabilityAgent(number));
}

void readPerformanceFile(int number, bool forReliability) {
  std::string fileLabel = formatText("Performance%d.in", number);
  std::string path = platform::joinPath(run.workingDirectory, fileLabel);
  FileHandle* file = openDefinitionFile(path);

  PerformanceDefinition table;
  table.number = number;
  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  try {
    Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
    {
      RecordScope scope(preamble);
      for (int i = 0; i < preamble.count; ++i) {
        if (!isBlankLine(preamble.lines[i])) {
          writeMessage("outptr", "warning",
                       formatText("Unknown keyword: %s", preamble.lines[i]));
        }
      }
    }
    while (!keyword.empty()) {
      std::string current = keyword;
      if (isKeyword(current, "*END")) break;
      Record record = readRecord(file, keyword, lineCounter, endOfFile);
      RecordScope scope(record);
      if (isKeyword(current, "*TYPE")) continue;
      if (!isKeyword(current, "*RESPONSE")) {
        writeMessage("outptr", "warning", formatText("Unknown keyword: %s", current.c_str()));
        continue;
      }
      DefinitionContext context{&record, fileLabel, kResponseLabel};
      readResponseRecord(context, table, forReliability);
    }
  } catch (...) {
    closeFile(file);
    throw;
  }
  closeFile(file);

  if (PerformanceDefinition* existing = findPerformance(number)) {
    *existing = std::move(table);
  } else {
    per_type.push_back(std::move(table));
  }
}

void resetPerformances() { per_type.clear(); }

}  // namespace karvo
