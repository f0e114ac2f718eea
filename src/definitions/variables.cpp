// The variable table of the study: design variables and parameters from `*DEFINE_VARIABLE`
// records (and from representation files), their look-ups by name and id, and the checks of
// study relationships against it. Filled once at start-up (hundreds of records at most);
// look-ups by name and id are hash look-ups, done for every design by tagging and formulas.
#include "definitions/variables.h"

#include <cstdlib>

#include "definitions/definitions_common.h"
#include "definitions/definitions_records.h"
#include "definitions/reader.h"
#include "base/messages.h"

namespace karvo {

DefinitionTables definitions;

namespace {

// The word naming a kind in duplicate-name messages.
const char* duplicateWord(VariableKind kind) {
  switch (kind) {
    case VariableKind::Continuous: return "Continuous";
    case VariableKind::Discrete: return "Discrete";
    case VariableKind::Dependent: return "Dependent";
    case VariableKind::FixedParameter:
    case VariableKind::StringParameter: return "Fixed variable";
  }
  return "Continuous";
}

bool kindOfWord(const std::string& word, VariableKind& kind) {
  if (word == "Continuous") {
    kind = VariableKind::Continuous;
  } else if (word == "Discrete") {
    kind = VariableKind::Discrete;
  } else if (word == "Dependent") {
    kind = VariableKind::Dependent;
  } else if (word == "Parameter") {
    kind = VariableKind::FixedParameter;
  } else if (word == "String") {
    kind = VariableKind::StringParameter;
  } else {
    return false;
  }
  return true;
}

// Ends the run with a check's own text, followed by the variable, record and property it
// concerns (several of these texts name neither).
[[noreturn]] void failVariable(const DefinitionContext& context, const char* property,
                               const std::string& text) {
  fatalError(text + definitionPlace(context, property));
}

// The levels of the design-of-experiments form: every value of `levels` (list form), each
// value possibly holding several numbers separated by commas.
std::vector<double> readLevels(const DefinitionContext& context) {
  std::vector<std::string> values;
  std::string reason;
  getValues(context.fileLabel.c_str(), *context.record, "levels", values, false, reason);
  std::vector<double> levels;
  for (const std::string& value : values) {
    for (const std::string& field : splitTrimmed(value, ',')) {
      if (!defs::isNumberText(field)) {
        fatalError(definitionError(
            context.objectName, context.recordLabel, context.fileLabel, "levels",
            formatText("The read value \"%s\" could not be converted into a double.",
                       field.c_str())));
      }
      levels.push_back(std::strtod(field.c_str(), nullptr));
    }
  }
  return levels;
}

// The formula of a dependent variable: one line, or several in the list form.
std::string readFormula(const DefinitionContext& context) {
  std::vector<std::string> lines;
  std::string reason;
  if (getValues(context.fileLabel.c_str(), *context.record, "formula", lines, false, reason) ==
      0) {
    if (reason.empty()) reason = "The formula holds no lines.";
    fatalError(definitionError(context.objectName, context.recordLabel, context.fileLabel,
                               "formula", reason));
  }
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

void countKind(VariableKind kind, int step) {
  switch (kind) {
    case VariableKind::Continuous: definitions.continuousCount += step; break;
    case VariableKind::Discrete: definitions.discreteCount += step; break;
    case VariableKind::Dependent: definitions.dependentCount += step; break;
    case VariableKind::FixedParameter: definitions.fixedParameterCount += step; break;
    case VariableKind::StringParameter: definitions.stringParameterCount += step; break;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Look-ups

const Variable* findVariable(const std::string& name) {
  auto it = definitions.variableByName.find(name);
  return it == definitions.variableByName.end() ? nullptr : &definitions.variables[it->second];
}

const Variable* findVariableById(int id) {
  auto it = definitions.variableById.find(id);
  return it == definitions.variableById.end() ? nullptr : &definitions.variables[it->second];
}

const DiscreteSet* findSet(const std::string& name) {
  for (const DiscreteSet& set : definitions.sets) {
    if (set.name == name) return &set;
  }
  return nullptr;
}

const DistributionDefinition* findDistribution(const std::string& name) {
  for (const DistributionDefinition& distribution : definitions.distributions) {
    if (distribution.name == name) return &distribution;
  }
  return nullptr;
}

const Curve* findCurve(const std::string& name) {
  for (const Curve& curve : definitions.curves) {
    if (curve.name == name) return &curve;
  }
  return nullptr;
}

const Loop* findLoop(const std::string& name) {
  for (const Loop& loop : definitions.loops) {
    if (loop.name == name) return &loop;
  }
  return nullptr;
}

const StudyOption* findOption(const std::string& name) {
  for (const StudyOption& option : definitions.options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

void resetDefinitions() { definitions = DefinitionTables{}; }

// ---------------------------------------------------------------------------------------
// `*DEFINE_VARIABLE`

// Every property of a variable or parameter record, whatever its type; each type reads some.
constexpr const char* kVariableRecordNames[] = {"name",   "type",     "id",      "min",
                                                "baseline", "max",    "levels",  "factorType",
                                                "set",    "distribution", "formula"};

int defs::readVariableRecord(const Record& record, const std::string& fileLabel,
                             bool fromRepresentation) {
  DefinitionContext context{&record, fileLabel, "Parameter"};
  std::string name = requireString(context, "name");
  context.objectName = name;
  std::string typeWord = requireString(context, "type");

  VariableKind kind;
  bool known = kindOfWord(typeWord, kind);
  if (fromRepresentation && (!known || (kind != VariableKind::Continuous &&
                                        kind != VariableKind::Discrete))) {
    failVariable(context, "type",
                 formatText("Error in adding the parameter \"%s\" to the study. The specified "
                            "type \"%s\" is not supported for study variables. Only Continuous "
                            "and Discrete variables can be added to the study.",
                            name.c_str(), typeWord.c_str()));
  }
  if (!known) return -1;  // a type this solver does not know: skipped without a message

  if (findVariable(name)) {
    failVariable(context, "name",
                 formatText("%s %s name %s.",
                            "Cannot have duplicate names in design variable definitions.",
                            duplicateWord(kind), name.c_str()));
  }

  Variable variable;
  variable.name = name;
  variable.kind = kind;
  variable.recordText = joinRecordLines(record);

  switch (kind) {
    case VariableKind::Continuous: {
      std::string unused, reason;
      bool doeForm = getProperty(fileLabel.c_str(), record, "levels", unused, false, reason) != 0;
      context.recordLabel = doeForm ? "Continuous Variable (DOE)" : "Continuous Variable";
      variable.id = requireInt(context, "id");
      variable.lower = requireDouble(context, "min");
      variable.baseline = requireDouble(context, "baseline");
      variable.upper = requireDouble(context, "max");
      if (doeForm) {
        variable.levels = readLevels(context);
        variable.factorType = optionalString(context, "factorType", "");
      }
      break;
    }
    case VariableKind::Discrete: {
      context.recordLabel = "Discrete Variable";
      variable.id = requireInt(context, "id");
      std::string setName = requireString(context, "set");
      const DiscreteSet* set = findSet(setName);
      if (!set) {
        failVariable(context, "set",
                     formatText("The discrete set \"%s\" has not been defined prior to its use "
                                "for the definition of a discrete variable.",
                                setName.c_str()));
      }
      variable.setIndex = static_cast<int>(set - definitions.sets.data());
      variable.baselineChoice = requireInt(context, "baseline");
      int items = static_cast<int>(set->items.size());
      if (items < 2) {
        std::string text =
            "For a discrete variable, the number of items in a discrete set must be at least 2.";
        failVariable(context, "set",
                     formatText("%s The discrete set \"%s\" has only %d items.", text.c_str(),
                                setName.c_str(), items));
      }
      if (variable.baselineChoice < 1 || variable.baselineChoice > items) {
        failVariable(context, "baseline",
                     formatText("The baseline choice for a discrete variable must be between 1 "
                                "and number of items in the discrete set (%d).",
                                items));
      }
      variable.baseline = variable.baselineChoice;
      break;
    }
    case VariableKind::Dependent:
      context.recordLabel = "Dependent variable";
      variable.id = requireInt(context, "id");
      variable.distributionName = optionalString(context, "distribution", "");
      variable.formula = readFormula(context);
      break;
    case VariableKind::FixedParameter:
      context.recordLabel = "Fixed parameter";
      variable.id = requireInt(context, "id");
      variable.baseline = requireDouble(context, "baseline");
      variable.distributionName = optionalString(context, "distribution", "");
      break;
    case VariableKind::StringParameter:
      context.recordLabel = "String parameter";
      variable.id = requireInt(context, "id");
      variable.baselineText = requireString(context, "baseline");
      break;
  }

  if (findVariableById(variable.id)) {
    failVariable(context, "id", formatText("Cannot have duplicate variable ids %d.", variable.id));
  }
  if (kind == VariableKind::Continuous) {
    if (!(variable.lower < variable.upper)) {
      failVariable(context, "max",
                   formatText("Lower bound (%g) must be less than upper bound (%g).",
                              variable.lower, variable.upper));
    }
    if (variable.baseline < variable.lower || variable.baseline > variable.upper) {
      failVariable(context, "baseline",
                   formatText("The baseline value (%g) must be greater than the lower bound "
                              "(%g) and less than upper bound (%g).",
                              variable.baseline, variable.lower, variable.upper));
    }
  }

  // A record of a representation file is also the representation's; its reader warns.
  if (!fromRepresentation) warnUnknownProperties(context, kVariableRecordNames);
  int index = static_cast<int>(definitions.variables.size());
  definitions.variableByName[variable.name] = index;
  definitions.variableById[variable.id] = index;
  definitions.variables.push_back(std::move(variable));
  countKind(kind, 1);
  return index;
}

int addVariableFromRepresentation(const Record& record, const std::string& fileLabel) {
  return defs::readVariableRecord(record, fileLabel, true);
}

void defs::resolveVariableDistributions() {
  for (Variable& variable : definitions.variables) {
    if (variable.distributionName.empty()) continue;
    const DistributionDefinition* distribution = findDistribution(variable.distributionName);
    if (!distribution) {
      fatalError(formatText("Error in the project definition. The distribution \"%s\" is being "
                            "used, but has not been defined in the project.",
                            variable.distributionName.c_str()));
    }
    variable.distributionIndex =
        static_cast<int>(distribution - definitions.distributions.data());
  }
}

// ---------------------------------------------------------------------------------------
// Relationships against the finished variable table

void validateRelationships() {
  for (Relationship& relationship : definitions.relationships) {
    auto place = [&](const char* property) {
      return definitionPlace(defs::kDefinitionsFileLabel, "Study relationship", relationship.name,
                             relationship.recordLine, property);
    };
    const Variable* variable = findVariable(relationship.variable);
    if (!variable || (variable->kind != VariableKind::Continuous &&
                      variable->kind != VariableKind::Discrete)) {
      fatalError(formatText("Error in the definition of study relationship \"%s\". The variable "
                            "\"%s\" is not a continuous or discrete design variable of the "
                            "study.",
                            relationship.name.c_str(), relationship.variable.c_str()) +
                 place("variable"));
    }
    relationship.variableIndex = static_cast<int>(variable - definitions.variables.data());
    for (const std::string& name : relationship.dependencies) {
      if (!findVariable(name)) {
        fatalError(formatText("Error in the definition of study relationship \"%s\". The name "
                              "\"%s\" in its dependencies is not a variable or parameter of the "
                              "study.",
                              relationship.name.c_str(), name.c_str()) +
                   place("dependencies"));
      }
    }
  }
}

}  // namespace karvo
