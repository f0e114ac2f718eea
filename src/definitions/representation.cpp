// Reading of the representation files "Representation%d.in" into the representation table,
// the field sizes of a representation and the start-up check of its size. Each file is read
// once at start-up (a few to a few hundred variables); nothing here is on a per-design path.
#include "definitions/representation.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "definitions/reader.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/text.h"
#include "base/run_state.h"
#include "platform/platform.h"

namespace karvo {

std::vector<Representation> representations;

namespace {

constexpr const char* kVariableLabel = "Representation variable";
constexpr const char* kFactorLabel = "Factor";

// Every property of a `*VARIABLE` record: a continuous variable reads "resolution" and
// "distribution", a discrete one neither; without "Definitions.in" the record may also define
// the variable itself.
constexpr const char* kVariableNames[] = {"name", "id", "resolution", "distribution", "type",
                                          "min", "baseline", "max", "set", "levels",
                                          "factorType"};

[[noreturn]] void unsupportedKeyword(const std::string& line) {
  std::string text = "\n\t**** ERROR ****\n";
  text += formatText("\n\t Unsupported keyword:\n %s", line.c_str());
  fatalError(text);
}

// The field value nearest to `x` in a mode-1 field of `n` values over [lo, hi].
int nearestField(double x, double lo, double hi, int n) {
  if (n <= 1 || !(hi > lo)) return 0;
  double k = std::trunc((x - lo) * (n - 1) / (hi - lo) + 0.5);
  return static_cast<int>(std::clamp(k, 0.0, static_cast<double>(n - 1)));
}

// The factor levels of a `*FACTOR` record: one number per list line, or several numbers
// separated by commas or blanks in a single value.
std::vector<double> readLevels(const DefinitionContext& context) {
  std::vector<std::string> values;
  std::string reason;
  std::vector<double> levels;
  if (getValues(context.fileLabel.c_str(), *context.record, "levels", values, false, reason) ==
      0) {
    return levels;
  }
  for (const std::string& value : values) {
    std::string word;
    auto take = [&]() {
      if (word.empty()) return;
      char* end = nullptr;
      double level = std::strtod(word.c_str(), &end);
      if (end == word.c_str() || *end != '\0' || !std::isfinite(level)) {
        fatalError(definitionError(
            context.objectName, context.recordLabel, context.fileLabel, "levels",
            formatText("The read value \"%s\" could not be converted into a double.",
                       word.c_str())));
      }
      levels.push_back(level);
      word.clear();
    };
    for (char c : value) {
      if (c == ',' || c == ' ' || c == '\t') {
        take();
      } else {
        word.push_back(c);
      }
    }
    take();
  }
  return levels;
}

// The variable-table entry named by a `*VARIABLE` record, adding it when "Definitions.in"
// was not read and the record defines it.
const Variable& lookUpVariable(const DefinitionContext& context, int id,
                               const std::string& name) {
  const Variable* variable = findVariableById(id);
  std::string type, reason;
  if (!variable && !definitions.definitionsRead &&
      getProperty(context.fileLabel.c_str(), *context.record, "type", type, false, reason) !=
          0) {
    addVariableFromRepresentation(*context.record, context.fileLabel);
    variable = findVariableById(id);
  }
  if (!variable) {
    fatalError(formatText("Design Variable id %d is not defined in Definitions.in.\n", id));
  }
  if (variable->name != name) {
    fatalError(formatText(
        "The design variable \"%s\" with id %d in file \"%s\" does not match the variable with "
        "this id in Definitions.in, which is named \"%s\". Please correct the name or the id.",
        name.c_str(), id, context.fileLabel.c_str(), variable->name.c_str()));
  }
  if (variable->kind != VariableKind::Continuous && variable->kind != VariableKind::Discrete) {
    fatalError(formatText(
        "The variable \"%s\" (id %d) in file \"%s\" is not a design variable. Only continuous "
        "and discrete variables can be varied by a representation.",
        name.c_str(), id, context.fileLabel.c_str()));
  }
  return *variable;
}

VariableSlot readVariableRecord(const DefinitionContext& base, const Representation& table) {
  DefinitionContext context = base;
  context.objectName = requireString(context, "name");
  int id = requireInt(context, "id");
  for (const VariableSlot& slot : table.slots) {
    if (slot.id == id) fatalError(formatText("Cannot have duplicate variable ids %d.", id));
  }
  const Variable& variable = lookUpVariable(context, id, context.objectName);

  VariableSlot slot;
  slot.id = id;
  slot.name = variable.name;
  slot.resolutionMode = kResolutionValues;
  if (variable.kind == VariableKind::Discrete) {
    const DiscreteSet& set = definitions.sets.at(static_cast<std::size_t>(variable.setIndex));
    slot.iden = kIdenDiscrete;
    slot.kind = kSlotDiscrete;
    slot.resolution = static_cast<int>(set.items.size());
    slot.lower = 0.0;
    slot.upper = static_cast<double>(slot.resolution);
    slot.intValue = std::clamp(variable.baselineChoice - 1, 0, std::max(slot.resolution - 1, 0));
    slot.realValue = slot.intValue;
    slot.fixedValue = slot.intValue;
  } else {
    slot.iden = kIdenContinuous;
    slot.kind = kSlotContinuous;
    slot.resolution = requireInt(context, "resolution");
    checkMinimum(context, "resolution", slot.resolution, kMinimumResolution);
    slot.lower = variable.lower;
    slot.upper = variable.upper;
    slot.realValue = variable.baseline;
    slot.fixedValue = variable.baseline;
    slot.intValue = nearestField(variable.baseline, slot.lower, slot.upper, slot.resolution);
    std::string distribution = optionalString(context, "distribution", "");
    if (!distribution.empty() && distribution != "NONE") {
      if (!findDistribution(distribution)) {
        fatalError(formatText("Error in the project definition. The distribution \"%s\" is "
                              "being used, but has not been defined in the project.",
                              distribution.c_str()));
      }
      slot.distribution = distribution;
    }
  }
  if (!variable.levels.empty()) {
    slot.levels = variable.levels;
    slot.levelCount = static_cast<int>(slot.levels.size());
    slot.usesLevels = 1;
  }
  slot.factorType = variable.factorType;
  warnUnknownProperties(context, kVariableNames);
  return slot;
}

void readFactorRecord(const DefinitionContext& base, Representation& table,
                      std::vector<int>& factorSeen) {
  DefinitionContext context = base;
  context.objectName = requireString(context, "name");
  auto it = std::find_if(table.slots.begin(), table.slots.end(), [&](const VariableSlot& s) {
    return s.name == context.objectName;
  });
  if (it == table.slots.end()) {
    fatalError(formatText(
        "The factor \"%s\" in file \"%s\" is not a design variable of this representation. "
        "A *FACTOR record must name a variable of a *VARIABLE record of the same file.",
        context.objectName.c_str(), context.fileLabel.c_str()));
  }
  std::size_t index = static_cast<std::size_t>(it - table.slots.begin());
  if (factorSeen[index]) {
    fatalError(formatText("The factor \"%s\" is defined more than once in file \"%s\".",
                          context.objectName.c_str(), context.fileLabel.c_str()));
  }
  factorSeen[index] = 1;
  std::vector<double> levels = readLevels(context);
  if (!levels.empty()) {
    it->levels = levels;
    it->levelCount = static_cast<int>(levels.size());
    it->usesLevels = 1;
  }
  std::string factorType = optionalString(context, "factorType", it->factorType);
  if (!factorType.empty() && factorType != "control" && factorType != "noise") {
    fatalError(definitionError(
        context.objectName, context.recordLabel, context.fileLabel, "factorType",
        formatText("The factor type \"%s\" is not supported. Valid choices are control and "
                   "noise.",
                   factorType.c_str())));
  }
  it->factorType = factorType;
  warnUnknownProperties(context);
}

}  // namespace

Representation* findRepresentation(int number) {
  for (Representation& representation : representations) {
    if (representation.number == number) return &representation;
  }
  return nullptr;
}

void readRepresentationFile(int number) {
  std::string fileLabel = formatText("Representation%d.in", number);
  std::string path = platform::joinPath(run.workingDirectory, fileLabel);
  FileHandle* file = openDefinitionFile(path);

  Representation table;
  table.number = number;
  std::vector<int> factorSeen;
  std::vector<Record> factors;  // applied once every variable is known
  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  try {
    Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
    {
      RecordScope scope(preamble);
      for (int i = 0; i < preamble.count; ++i) {
        if (!isBlankLine(preamble.lines[i])) unsupportedKeyword(preamble.lines[i]);
      }
    }
    while (!keyword.empty()) {
      std::string current = keyword;
      if (isKeyword(current, "*END")) break;
      Record record = readRecord(file, keyword, lineCounter, endOfFile);
      if (isKeyword(current, "*FACTOR")) {
        factors.push_back(record);  // freed below
        continue;
      }
      RecordScope scope(record);
      if (isKeyword(current, "*TYPE")) continue;
      if (!isKeyword(current, "*VARIABLE")) unsupportedKeyword(current);
      DefinitionContext context{&record, fileLabel, kVariableLabel};
      table.slots.push_back(readVariableRecord(context, table));
    }
    factorSeen.assign(table.slots.size(), 0);
    for (Record& record : factors) {
      DefinitionContext context{&record, fileLabel, kFactorLabel};
      readFactorRecord(context, table, factorSeen);
    }
  } catch (...) {
    for (Record& record : factors) freeRecord(record);
    closeFile(file);
    throw;
  }
  for (Record& record : factors) freeRecord(record);
  closeFile(file);

  table.num_dvar = static_cast<int>(table.slots.size());
  user_set_field_sizes(table);
  definitions.maxDesignVariables = std::max(definitions.maxDesignVariables, table.num_dvar);
  if (Representation* existing = findRepresentation(number)) {
    *existing = std::move(table);
  } else {
    representations.push_back(std::move(table));
  }
}

void user_set_field_sizes(Representation& representation) {
  if (static_cast<int>(representation.slots.size()) != representation.num_dvar) {
    fatalError("number of fields != num_dvar in user_set_field_sizes, exit");
  }
  representation.field_sizes.assign(representation.slots.size(), 0);
  for (std::size_t i = 0; i < representation.slots.size(); ++i) {
    const VariableSlot& slot = representation.slots[i];
    int size = 0;
    if (slot.kind == kSlotDiscrete || slot.resolutionMode == kResolutionValues) {
      size = slot.resolution;
    } else if (slot.resolutionMode == kResolutionBits && slot.resolution >= 0 &&
               slot.resolution <= 30) {
      size = 1 << slot.resolution;
    } else {
      fatalError("Error, user_set_field_sizes");
    }
    representation.field_sizes[i] = size;
  }
}

long long representationDesignCount(Representation& representation, long long limit) {
  user_set_field_sizes(representation);
  long long count = 1;
  for (int size : representation.field_sizes) {
    if (size <= 0) return 0;
    if (count > limit / size) return -1;
    count *= size;
  }
  return count > limit ? -1 : count;
}

void checkResolutionAgainstRuns(int representationNumber, int agentNumber, int allowedRuns) {
  Representation* representation = findRepresentation(representationNumber);
  if (!representation) fatalError("Representation number set to illegal number, exit.");
  if (allowedRuns <= 0 || representation->num_dvar == 0) return;
  long long count = representationDesignCount(*representation, allowedRuns);
  if (count < 0 || count >= allowedRuns) return;
  std::string text = formatText(
      "The design variables of representation %d used by agent %d allow only %lld distinct "
      "designs, fewer than the %d evaluations allowed for the agent.",
      representationNumber, agentNumber, count, allowedRuns);
  text = formatText(
      "%s At most %lld designs will be evaluated. Increase the resolution of the variables to "
      "evaluate more designs.",
      text.c_str(), count);
  writeMessage("outptr", "warning", text);
}

void checkRepresentationResolutions() {
  for (const Agent& agent : agents) {
    if (agent.type != kAgentOptimization || agent.numEvals <= 0) continue;
    checkResolutionAgainstRuns(agent.representation, agent.number, agent.numEvals);
  }
}

void checkDoeAgentVariables() {
  for (const Agent& agent : agents) {
    if (agent.type != kAgentDoe || agent.number < run.startAgent || agent.number > run.finalAgent) {
      continue;
    }
    const Representation* representation = findRepresentation(agent.representation);
    if (representation && representation->num_dvar >= 1) continue;
    fatalError(formatText("No variables have been defined to be changed for the DOE agent(ID = "
                          "%d).\nThe agent \"%s\" uses the representation file "
                          "\"Representation%d.in\", which has no *VARIABLE record. Add one for "
                          "each variable the %s method of the agent is to change.",
                          agent.number, agent.name.c_str(), agent.representation,
                          agent.method.word.c_str()));
  }
}

void resetRepresentations() { representations.clear(); }

}  // namespace karvo
