// Readers of the "Definitions.in" records that describe more than single variables: discrete
// sets, user curves, distributions, loops, study relationships and options. Each record is
// read once at start-up; a study holds a few dozen of them at most.
#include "definitions/definitions_records.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "definitions/definitions_common.h"
#include "definitions/reader.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "external/distribution.h"

namespace karvo::defs {

namespace {

// The values of a list-valued property, with a negative count told apart: answers false
// (and no values) when the property is written in the list form with a negative count.
bool readListValues(const DefinitionContext& context, const char* name,
                    std::vector<std::string>& values) {
  std::string first, reason;
  int position =
      getProperty(context.fileLabel.c_str(), *context.record, name, first, false, reason);
  if (position < 0) {
    std::string text = trimmed(first);
    char* end = nullptr;
    long count = std::strtol(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0' && count < 0) return false;
  }
  getValues(context.fileLabel.c_str(), *context.record, name, values, false, reason);
  return true;
}

// All values of a list-valued property (empty when absent).
std::vector<std::string> optionalList(const DefinitionContext& context, const char* name) {
  std::vector<std::string> values;
  std::string reason;
  getValues(context.fileLabel.c_str(), *context.record, name, values, false, reason);
  return values;
}

// Splits a point line "X, Y, W" (commas or blanks between the fields).
std::vector<std::string> pointFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string current;
  for (char c : line) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!current.empty()) fields.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) fields.push_back(current);
  return fields;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// `*DEFINE_SET`

void readSetRecord(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Discrete Set"};
  DiscreteSet set;
  set.name = requireUniqueName(
      context, [](const std::string& name) { return findSet(name) != nullptr; },
      "Cannot have duplicate names for discrete sets. The discrete set %s has already been used.");
  set.ordered = optionalInt(context, "ordered", 0);
  requireString(context, "values");  // present, in either form
  if (!readListValues(context, "values", set.items)) {
    std::string text =
        "The number of items in a discrete set cannot be negative. The error is in the "
        "definition for the.";
    fatalError(formatText("%s discrete set \"%s\".", text.c_str(), set.name.c_str()));
  }
  for (const std::string& item : set.items) {
    if (isNumberText(item)) continue;
    set.numeric = false;
    std::string text = formatText(
        "At least one item (%s) in the discrete set \"%s\" is not a number. As a result, if "
        "this set is assigned to a discrete variable which is used in a formula,",
        item.c_str(), set.name.c_str());
    writeMessage("outptr", "warning",
                 formatText("%s the values will be used as text data and we will not try to "
                            "convert the data to a number.",
                            text.c_str()));
    break;
  }
  warnUnknownProperties(context);
  definitions.sets.push_back(std::move(set));
}

// ---------------------------------------------------------------------------------------
// `*DEFINE_CURVE`

void readCurveRecord(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Curve"};
  Curve curve;
  curve.name = requireUniqueName(
      context, [](const std::string& name) { return findCurve(name) != nullptr; },
      "Cannot have duplicate names in Curve definitions. Curve name %s has already been used.");
  int size = requireInt(context, "size");
  if (size < 2) {
    fatalError(formatText("The specified size (%d) of the defined curve (%s) must be atleast 2.",
                          size, curve.name.c_str()));
  }
  std::vector<std::string> lines;
  std::string reason;
  getRepeatedValues(fileLabel.c_str(), record, "point", lines, false, reason);
  if (static_cast<int>(lines.size()) > size) {
    fatalError(formatText("The curve (%s) has %d points defined, more than its specified size "
                          "(%d).",
                          curve.name.c_str(), static_cast<int>(lines.size()), size));
  }
  bool weightsChanged = false;
  for (int k = 1; k <= size; ++k) {
    std::vector<std::string> fields;
    if (k <= static_cast<int>(lines.size())) fields = pointFields(lines[k - 1]);
    if (fields.size() < 2 || !isNumberText(fields[0]) || !isNumberText(fields[1])) {
      fatalError(formatText("Expecting the X and Y values for this curve (%s) for point %d.",
                            curve.name.c_str(), k));
    }
    CurvePoint point;
    point.x = std::strtod(fields[0].c_str(), nullptr);
    point.y = std::strtod(fields[1].c_str(), nullptr);
    if (fields.size() > 3) {
      fatalError(definitionError(
          curve.name, context.recordLabel, fileLabel, "point",
          formatText("A point holds an X value, a Y value and a weight factor; the line \"%s\" "
                     "holds more.",
                     lines[k - 1].c_str())));
    }
    if (fields.size() == 3) {
      if (!isNumberText(fields[2])) {
        fatalError(definitionError(
            curve.name, context.recordLabel, fileLabel, "point",
            formatText("The read value \"%s\" could not be converted into a double.",
                       fields[2].c_str())));
      }
      point.weight = std::strtod(fields[2].c_str(), nullptr);
    }
    if (point.weight < 0.0) {
      writeMessage("outptr", "warning",
                   formatText("The weight factor (%g) for point # %d for the curve \"%s\" is "
                              "negative. Will use the absolute value instead.",
                              point.weight, k, curve.name.c_str()));
      point.weight = std::fabs(point.weight);
      weightsChanged = true;
    }
    curve.points.push_back(point);
  }
  for (int k = 1; k < size; ++k) {
    double previous = curve.points[k - 1].x;
    double current = curve.points[k].x;
    if (current == previous) {
      writeMessage("outptr", "warning",
                   formatText("Two adjacent points (# %d and # %d) for the curve \"%s\" have the "
                              "same X value.\nContinuing...",
                              k, k + 1, curve.name.c_str()));
    } else if (current < previous) {
      std::string text = "The curve definition needs to be monotonically increasing in X value.";
      fatalError(formatText("%s Two adjacent points (# %d and # %d with X values of %g and %g "
                            "respectively) for the curve \"%s\" do not meet this criterion.",
                            text.c_str(), k, k + 1, previous, current, curve.name.c_str()));
    }
  }
  if (weightsChanged) {
    std::string text = formatText(
        "The curve data information for \"%s\" after updating the weight factors:\n",
        curve.name.c_str());
    text = formatText("%s ID,            X value,            Y value,      Weight factor",
                      text.c_str());
    for (int k = 0; k < size; ++k) {
      const CurvePoint& point = curve.points[k];
      text = formatText("%s\n%3d, %18g, %18g, %18g", text.c_str(), k + 1, point.x, point.y,
                        point.weight);
    }
    writeMessage("outptr", "note", text);
  }
  warnUnknownProperties(context);
  definitions.curves.push_back(std::move(curve));
}

// ---------------------------------------------------------------------------------------
// `*DEFINE_DIST`

void readDistributionRecord(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Distribution"};
  DistributionDefinition distribution;
  distribution.name = requireUniqueName(
      context, [](const std::string& name) { return findDistribution(name) != nullptr; },
      "Cannot have duplicate names for distributions. The distribution \"%s\" has already "
      "been used.");
  distribution.type = requireString(context, "type");
  distribution.properties = recordPropertyPairs(record, fileLabel, false);
  std::string reason;
  std::unique_ptr<Distribution> object =
      createDistribution(distribution.type, distribution.properties, reason);
  if (!object) {
    std::string text = formatText(
        "Error in creating the distribution object from the distribution data for \"%s\".",
        distribution.name.c_str());
    fatalError(formatText("%s\n%s", text.c_str(), reason.c_str()));
  }
  distribution.object = std::move(object);
  definitions.distributions.push_back(std::move(distribution));
}

// ---------------------------------------------------------------------------------------
// `*DEFINE_LOOP`

void readLoopRecord(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Loop"};
  Loop loop;
  loop.name = requireUniqueName(
      context, [](const std::string& name) { return findLoop(name) != nullptr; },
      "Error in the loop definition. The loop name \"%s\" has already been used. The loop "
      "names need to be unique.");
  loop.active = optionalInt(context, "active", 1);
  loop.createCaseFolders = optionalInt(context, "createCaseFolders", 0);
  loop.reuseCaseInputFiles = optionalInt(context, "reuseCaseInputFiles", 0);
  loop.parallelType = optionalString(context, "parallelType", "analysis");
  if (loop.parallelType == "loop") loop.parallelType = "loop_serial";
  if (loop.parallelType != "analysis" && loop.parallelType != "loop_serial") {
    fatalError(formatText("Invalid parallelization type \"%s\" for loop \"%s\". Valid choices: "
                          "analysis or loop. Exiting.",
                          loop.parallelType.c_str(), loop.name.c_str()));
  }
  loop.type = requireString(context, "type");
  if (loop.type != "continuous" && loop.type != "paramList" && loop.type != "discrete") {
    fatalError(formatText("Invalid loop type \"%s\" for loop \"%s\". Exiting.", loop.type.c_str(),
                          loop.name.c_str()));
  }
  loop.errorMode = optionalString(context, "errorMode", "");
  loop.response = optionalString(context, "response", "");
  loop.condition = optionalString(context, "condition", "");
  if (loop.condition.compare(0, 7, "REMOTE:") == 0) {
    fatalError("The loop condition can only be executed on the local machine. Please correct "
               "this in the setup before running the study");
  }
  loop.breakText = optionalString(context, "break", "");
  loop.option = optionalString(context, "option", "");
  std::string reason;
  getRepeatedValues(fileLabel.c_str(), record, "analysis", loop.analyses, false, reason);
  loop.output = optionalString(context, "output", "");
  loop.values = optionalList(context, "values");
  loop.parameters = optionalList(context, "parameters");
  loop.recordText = joinRecordLines(record);
  warnUnknownProperties(context);
  definitions.loops.push_back(std::move(loop));
}

// ---------------------------------------------------------------------------------------
// `*DEFINE_RELATIONSHIP`

void readRelationshipRecord(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Study relationship"};
  Relationship relationship;
  relationship.name = requireUniqueName(
      context, [](const std::string& name) {
        return std::any_of(definitions.relationships.begin(), definitions.relationships.end(),
                           [&](const Relationship& other) { return other.name == name; });
      },
      "Error in the study relationship definition. The name \"%s\" has already been used. "
      "The names need to be unique.");
  relationship.type = requireString(context, "type");
  if (relationship.type == "equality") {
    relationship.kind = RelationshipType::Equality;
  } else if (relationship.type == "inequality") {
    relationship.kind = RelationshipType::Inequality;
  } else {
    fatalError(formatText("Error in the definition of study relationship \"%s\". The type \"%s\" "
                          "defined for this entity is not supported.",
                          relationship.name.c_str(), relationship.type.c_str()) +
               definitionPlace(context, "type"));
  }
  relationship.variable = requireString(context, "variable");
  std::string reason;
  if (getValues(fileLabel.c_str(), record, "parameters", relationship.parameters, false,
                reason) == 0) {
    if (reason.empty()) reason = "The expression holds no lines.";
    fatalError(definitionError(relationship.name, context.recordLabel, fileLabel, "parameters",
                               reason));
  }
  relationship.dependencies = optionalList(context, "dependencies");
  if (relationship.kind == RelationshipType::Inequality) {
    relationship.comparison = requireString(context, "comparison");
    if (relationship.comparison != "less_equal" && relationship.comparison != "greater_equal") {
      fatalError(formatText("Error in the definition of study relationship \"%s\". The "
                            "comparison \"%s\" is not supported. Valid choices: less_equal or "
                            "greater_equal.",
                            relationship.name.c_str(), relationship.comparison.c_str()) +
                 definitionPlace(context, "comparison"));
    }
  }
  relationship.recordText = joinRecordLines(record);
  relationship.recordLine = record.keywordLine;
  static constexpr const char* kComparison[] = {"comparison"};  // inequalities only
  warnUnknownProperties(context, kComparison);
  definitions.relationships.push_back(std::move(relationship));
}

// ---------------------------------------------------------------------------------------
// `*DEFINE_OPTION`

void readOptionRecord(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "KARVO Options"};
  StudyOption option;
  option.name = requireUniqueName(
      context, [](const std::string& name) { return findOption(name) != nullptr; },
      "Error in the option definition. The option name \"%s\" has already been used. The "
      "option names need to be unique.");
  option.value = requireString(context, "value");
  warnUnknownProperties(context);
  definitions.options.push_back(std::move(option));
}

}  // namespace karvo::defs
