// Study relationships applied to decoded designs: each relationship's expression is
// evaluated (by the formula interpreter the caller hands in) and its variable set or moved
// onto the value. Runs once per decoded design when the study has relationships (a few per
// study); the expression evaluation dominates the cost.
#include "evaluation/relationships.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "definitions/variables.h"
#include "base/messages.h"
#include "evaluation/encoding.h"

namespace karvo {

namespace {

// Relative distance within which a computed value selects an item of a numeric discrete set
// (an expression such as 0.1 * 3 misses 0.3 by one unit in the last place).
constexpr double kChoiceTolerance = 1e-9;

bool itemNumber(const std::string& item, double& value) {
  const char* start = item.c_str();
  char* end = nullptr;
  value = std::strtod(start, &end);
  if (end == start) return false;
  while (*end == ' ' || *end == '\t') ++end;
  return *end == '\0' && std::isfinite(value);
}

// The number a discrete choice (0-based) stands for in expressions.
double choiceValue(const Variable& variable, int choice) {
  if (variable.setIndex >= 0 &&
      static_cast<std::size_t>(variable.setIndex) < definitions.sets.size()) {
    const DiscreteSet& set = definitions.sets[static_cast<std::size_t>(variable.setIndex)];
    double value = 0.0;
    if (set.numeric && choice >= 0 && static_cast<std::size_t>(choice) < set.items.size() &&
        itemNumber(set.items[static_cast<std::size_t>(choice)], value)) {
      return value;
    }
  }
  return choice + 1;
}

// The 0-based choice whose value is `value`, or -1.
int choiceOf(const Variable& variable, double value) {
  if (variable.setIndex < 0 ||
      static_cast<std::size_t>(variable.setIndex) >= definitions.sets.size()) {
    return -1;
  }
  const DiscreteSet& set = definitions.sets[static_cast<std::size_t>(variable.setIndex)];
  const int count = static_cast<int>(set.items.size());
  if (!set.numeric) {
    if (value != std::floor(value) || value < 1.0 || value > count) return -1;
    return static_cast<int>(value) - 1;
  }
  for (int c = 0; c < count; ++c) {
    double item = 0.0;
    if (!itemNumber(set.items[static_cast<std::size_t>(c)], item)) continue;
    if (std::fabs(item - value) <= kChoiceTolerance * std::max(1.0, std::fabs(item))) return c;
  }
  return -1;
}

int slotOf(const Representation& representation, int id) {
  for (std::size_t i = 0; i < representation.slots.size(); ++i) {
    if (representation.slots[i].id == id) return static_cast<int>(i);
  }
  return -1;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  return text;
}

void markFailed(Design& design, const RelationshipSettings& settings, const std::string& reason) {
  if (design.designNumber < 1 && settings.nextDesignNumber) {
    design.designNumber = (*settings.nextDesignNumber)++;
  }
  writeMessage("analysis", "error",
               formatText("Error in updating design (%d) variable values based on the study "
                          "relation. The following error message was received:\n%s\nThis "
                          "design will be marked as an error.",
                          design.designNumber, reason.c_str()),
               design.designNumber, "");
  design.failed = true;
  design.performance = kFailedPerformance;
  design.violation = kFailedViolation;
  design.status = kDesignError;
}

}  // namespace

std::vector<std::pair<std::string, double>> relationshipValues(
    const Design& design, const Representation& representation) {
  std::vector<std::pair<std::string, double>> values;
  values.reserve(definitions.variables.size());
  const std::size_t n = representation.slots.size();
  std::size_t parameter = 0;
  for (const Variable& variable : definitions.variables) {
    if (variable.kind == VariableKind::FixedParameter) {
      const std::size_t at = n + parameter++;
      values.emplace_back(variable.name,
                          at < design.reals.size() ? design.reals[at] : variable.baseline);
      continue;
    }
    if (variable.kind != VariableKind::Continuous && variable.kind != VariableKind::Discrete) {
      continue;
    }
    const int i = slotOf(representation, variable.id);
    const std::size_t at = static_cast<std::size_t>(i);
    if (variable.kind == VariableKind::Continuous) {
      values.emplace_back(
          variable.name, i >= 0 && at < design.reals.size() ? design.reals[at] : variable.baseline);
    } else {
      const int choice = i >= 0 && at < design.chromosome.size() ? design.chromosome[at]
                                                                 : variable.baselineChoice - 1;
      values.emplace_back(variable.name, choiceValue(variable, choice));
    }
  }
  return values;
}

bool applyStudyRelationships(Design& design, Representation& representation,
                             const EncodingContext& context, const RelationshipSettings& settings) {
  for (const Relationship& relationship : definitions.relationships) {
    const Variable* variable =
        relationship.variableIndex >= 0 &&
                static_cast<std::size_t>(relationship.variableIndex) < definitions.variables.size()
            ? &definitions.variables[static_cast<std::size_t>(relationship.variableIndex)]
            : findVariable(relationship.variable);
    if (!variable ||
        (variable->kind != VariableKind::Continuous && variable->kind != VariableKind::Discrete)) {
      markFailed(design, settings,
                 formatText("The variable \"%s\" of the study relationship \"%s\" is not a "
                            "continuous or discrete design variable of the study.",
                            relationship.variable.c_str(), relationship.name.c_str()));
      return false;
    }
    const int i = slotOf(representation, variable->id);
    if (i < 0) continue;  // not varied by this representation
    const std::size_t at = static_cast<std::size_t>(i);
    if (at >= design.reals.size() || at >= design.chromosome.size()) continue;  // not decoded
    VariableSlot& slot = representation.slots[at];

    if (!settings.evaluator) {
      markFailed(design, settings,
                 formatText("No expression evaluator is available for the study relationship "
                            "\"%s\".",
                            relationship.name.c_str()));
      return false;
    }
    double result = 0.0;
    std::string error;
    if (!settings.evaluator(joinLines(relationship.parameters),
                            relationshipValues(design, representation), result, error)) {
      if (error.empty()) error = "The expression could not be evaluated.";
      markFailed(
          design, settings,
          formatText("Study relationship \"%s\": %s", relationship.name.c_str(), error.c_str()));
      return false;
    }
    if (!std::isfinite(result)) {
      markFailed(design, settings,
                 formatText("The study relationship \"%s\" gave a value (%g) that is not a "
                            "finite number.",
                            relationship.name.c_str(), result));
      return false;
    }

    const bool discrete = variable->kind == VariableKind::Discrete;
    const double current =
        discrete ? choiceValue(*variable, design.chromosome[at]) : design.reals[at];
    bool moves = true;
    if (relationship.kind == RelationshipType::Inequality) {
      if (relationship.comparison == "less_equal") {
        moves = current > result;
      } else if (relationship.comparison == "greater_equal") {
        moves = current < result;
      } else {
        markFailed(design, settings,
                   formatText("The comparison \"%s\" of the study relationship \"%s\" is not "
                              "supported. Valid choices: less_equal or greater_equal.",
                              relationship.comparison.c_str(), relationship.name.c_str()));
        return false;
      }
    }
    if (!moves) continue;

    if (discrete) {
      const int choice = choiceOf(*variable, result);
      if (choice < 0 || choice >= slot.resolution) {
        const std::string setName =
            variable->setIndex >= 0 &&
                    static_cast<std::size_t>(variable->setIndex) < definitions.sets.size()
                ? definitions.sets[static_cast<std::size_t>(variable->setIndex)].name
                : "";
        markFailed(
            design, settings,
            formatText("The value (%g) of the study relationship \"%s\" is not one of "
                       "the choices of the discrete variable \"%s\" (discrete set "
                       "\"%s\").",
                       result, relationship.name.c_str(), variable->name.c_str(), setName.c_str()));
        return false;
      }
      design.chromosome[at] = choice;
      design.reals[at] = choice;
      slot.intValue = choice;
      slot.realValue = choice;
      continue;
    }
    if (result < slot.lower || result > slot.upper) {
      markFailed(design, settings,
                 formatText("The value (%g) of the study relationship \"%s\" for the variable "
                            "\"%s\" is outside its bounds [%g, %g].",
                            result, relationship.name.c_str(), variable->name.c_str(), slot.lower,
                            slot.upper));
      return false;
    }
    const int field = encodingRealToField(slot, i, result, kRoundNearest, context);
    design.reals[at] = result;
    design.chromosome[at] = field;
    slot.realValue = result;
    slot.intValue = field;
    if (encodingFieldToReal(slot, i, field, context) != result) design.encoding = kEncodingReal;
  }
  return true;
}

}  // namespace karvo
