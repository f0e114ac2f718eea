// Reading the user designs files of an agent (see user_designs.h for the file layout). Runs
// once per agent turn; the files are small (a few to a few thousand designs, written by hand or
// by a script), so each is read whole and every line is checked before anything is stored.
//
// Order of one read:
//   1. list the study folder for the agent's files (sorted by name)
//   2. refuse them for optimization methods other than GA, TOLMAR and MOTOLMAR
//   3-6. read each file: sections, field counts, values and bounds, mapping, design numbers
//   7. drop duplicates among the designs read and of designs already in the database
//   8. score and store the designs with results; hand back the others
//   9. rename each file read and write the summary block
#include "evaluation/user_designs.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "evaluation/encoding.h"
#include "evaluation/history_file.h"
#include "evaluation/performance.h"
#include "evaluation/tagging.h"
#include "platform/platform.h"

namespace karvo {

namespace {

constexpr const char* kMapDesign = "mapDesign";
constexpr const char* kDontMapDesign = "dontMapDesign";

// What a design line of the agent must hold.
struct LineLayout {
  const Representation* representation = nullptr;
  std::vector<std::string> parameterNames;  // fixed parameters, in variable-table order
  std::vector<std::string> responseNames;   // study responses of the agent's performance
};

// One design read from a file.
struct ReadDesign {
  Design design;
  bool withResults = false;           // from a *DESIGN_AND_RESULTS section
  std::vector<double> values;         // with results: one per study response (NaN for a text)
  int order = 0;                      // 1-based position among all designs read
};

// Where a line is, for the messages: "... on line number %d of file \n     -> %s".
struct LinePlace {
  const std::string* path;
  int line;
};

std::string placeText(const LinePlace& place) {
  return formatText("line number %d of file \n     -> %s", place.line, place.path->c_str());
}

std::string errorAt(const std::string& text, const LinePlace& place) {
  return text + "\nThe error is on " + placeText(place);
}

std::string fileNameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// The "Wrong amount of data" report: the layout of a line, the counts and the expected names.
std::string wrongAmountText(const LineLayout& layout, bool withResults, int found,
                            const LinePlace& place) {
  const Representation& representation = *layout.representation;
  const int expected = representation.num_dvar +
                       static_cast<int>(layout.parameterNames.size()) + 2 +
                       (withResults ? static_cast<int>(layout.responseNames.size()) : 0);
  std::string text = formatText("Wrong amount of data on line number %d of file \n     -> %s",
                                place.line, place.path->c_str());
  text += withResults ? "\nA design line of a *DESIGN_AND_RESULTS section holds: evaluation "
                        "type, design name, [integer, design number,] <design variable "
                        "values>, <parameter values>, <response values>."
                      : "\nA design line of a *DESIGN_ONLY section holds: evaluation type, "
                        "design name, [integer, design number,] <design variable values>, "
                        "<parameter values>.";
  text = formatText("%s Expecting %d entries, found %d.", text.c_str(), expected, found);
  text += "\nThe entries expected are: evaluation type, design name, [integer, design number,]";
  bool first = true;
  auto name = [&](const std::string& word) {
    text += first ? " " : ", ";
    text += word;
    first = false;
  };
  for (const VariableSlot& slot : representation.slots) name(slot.name);
  for (const std::string& parameter : layout.parameterNames) name(parameter);
  if (withResults) {
    for (const std::string& response : layout.responseNames) name(response);
  }
  return text;
}

// Reads the variable and parameter values of a line into design.reals (discrete variables
// as their 0-based item). Answers "" or the error text.
std::string readValues(const std::vector<std::string>& fields, std::size_t at,
                       const LineLayout& layout, const LinePlace& place, Design& design) {
  const Representation& representation = *layout.representation;
  design.reals.clear();
  for (const VariableSlot& slot : representation.slots) {
    const std::string& field = fields[at++];
    double value = 0.0;
    if (!parseReal(field, value)) {
      return formatText("The value \"%s\" given for the design variable %s on %s is not a "
                        "number.",
                        field.c_str(), slot.name.c_str(), placeText(place).c_str());
    }
    if (slot.kind == kSlotDiscrete) {
      if (value != std::floor(value) || value < 1.0 || value > slot.resolution) {
        std::string text = formatText(
            "Illegal design variable value for variable %s, must be greater than 0 and",
            slot.name.c_str());
        text = formatText("%s less than or equal to the user-defined resolution of %d.\n",
                          text.c_str(), slot.resolution);
        return errorAt(text, place);
      }
      design.reals.push_back(value - 1.0);
    } else {
      if (value < slot.lower || value > slot.upper) {
        std::string text = formatText(
            "Design variable %s must be greater than or equal to it's lower bound",
            slot.name.c_str());
        text = formatText("%s (%8f) and smaller than or equal to it's upper bound (%8f).",
                          text.c_str(), slot.lower, slot.upper);
        text = formatText("%s The value was read as %8f.", text.c_str(), value);
        return errorAt(text, place);
      }
      design.reals.push_back(value);
    }
  }
  for (const std::string& parameter : layout.parameterNames) {
    const std::string& field = fields[at++];
    double value = 0.0;
    if (!parseReal(field, value)) {
      return formatText("The value \"%s\" given for the parameter %s on %s is not a number.",
                        field.c_str(), parameter.c_str(), placeText(place).c_str());
    }
    design.reals.push_back(value);
  }
  return "";
}

// "mapDesign": the chromosome nearest to the values given; the variable values become those
// of the chromosome and the report lists what moved. Parameter values stay as given.
void mapToResolution(Design& design, const Representation& representation,
                     const EncodingContext& context) {
  const std::vector<double> input = design.reals;
  dblsToInts(design, kRoundNearest, representation, context);
  intsToDbls(design, representation, context);
  design.reals.resize(input.size());
  const std::size_t n = representation.slots.size();
  std::copy(input.begin() + static_cast<std::ptrdiff_t>(n), input.end(),
            design.reals.begin() + static_cast<std::ptrdiff_t>(n));

  std::string text = formatText(
      "Mapping the values of user design \"%s\" to the resolution of the design variables:",
      design.name.c_str());
  for (std::size_t i = 0; i < n; ++i) {
    const VariableSlot& slot = representation.slots[i];
    // Discrete values are reported as the 1-based item numbers of the file.
    const double offset = slot.kind == kSlotDiscrete ? 1.0 : 0.0;
    const double given = input[i] + offset;
    const double mapped = design.reals[i] + offset;
    text += formatText("\n  %s: INPUT = %16.8e, INTEGER = %d, MAPPED = %16.8e", slot.name.c_str(),
                       given, design.chromosome[i], mapped);
    if (given != mapped) {
      text += formatText(", INPUT and MAPPED values different (%16.8e)", std::fabs(mapped - given));
    }
  }
  writeMessage("outptr", "note", text);
}

// Reads one design line. Answers "" or the error text.
std::string readLine(const std::vector<std::string>& fields, bool withResults,
                     const LineLayout& layout, const EncodingContext& context, const Agent& agent,
                     const LinePlace& place, ReadDesign& read) {
  const Representation& representation = *layout.representation;
  const std::size_t base = static_cast<std::size_t>(representation.num_dvar) +
                           layout.parameterNames.size() + 2 +
                           (withResults ? layout.responseNames.size() : 0);
  if (fields.size() != base && fields.size() != base + 2) {
    return wrongAmountText(layout, withResults, static_cast<int>(fields.size()), place);
  }
  for (const std::string& field : fields) {
    if (equalsIgnoreCase(field, "nil")) {
      return errorAt(withResults ? "Incomplete definition for one of the user designs. Some "
                                   "variable and/or response values are empty."
                                 : "Incomplete definition for one of the user designs. Some "
                                   "variable values are empty.",
                     place);
    }
  }
  Design& design = read.design;
  read.withResults = withResults;
  if (equalsIgnoreCase(fields[0], kMapDesign)) {
    design.encoding = kEncodingChromosome;
  } else if (equalsIgnoreCase(fields[0], kDontMapDesign)) {
    design.encoding = kEncodingReal;
  } else {
    return formatText("The evaluation type \"%s\" on %s is not supported.", fields[0].c_str(),
                      placeText(place).c_str()) +
           "\nThe evaluation type must be \"mapDesign\" or \"dontMapDesign\".";
  }
  design.name = fields[1];
  design.representation = representation.number;
  design.num_dvar = representation.num_dvar;
  design.source = agent.number;
  design.cycle = run.currentCycle;

  std::size_t at = 2;
  if (fields.size() == base + 2) {
    if (!parseInteger(fields[2], design.tag)) {
      return formatText("The value \"%s\" given for the integer field on %s is not an integer.",
                        fields[2].c_str(), placeText(place).c_str());
    }
    int number = 0;
    if (equalsIgnoreCase(fields[3], "default")) {
      number = 0;
    } else if (!parseInteger(fields[3], number)) {
      return formatText("The design number \"%s\" on %s must be an integer or \"default\".",
                        fields[3].c_str(), placeText(place).c_str());
    } else if (number < 1) {
      writeMessage("outptr", "warning",
                   formatText("Invalid design number (%d) specified for user design \"%s\". The "
                              "default design numbering scheme will be used to assign a design "
                              "id to this design.",
                              number, design.name.c_str()));
      number = 0;
    } else if (number <= agent.evaluatedDesigns) {
      writeMessage("outptr", "warning",
                   formatText("The design number (%d) specified for user design \"%s\" is less "
                              "than the current number of design evaluations for this study. "
                              "This could result in multiple designs with the same design ID.",
                              number, design.name.c_str()));
    }
    design.requestedNumber = number;
    at = 4;
  }
  if (std::string error = readValues(fields, at, layout, place, design); !error.empty()) {
    return error;
  }
  at += static_cast<std::size_t>(representation.num_dvar) + layout.parameterNames.size();
  if (design.encoding == kEncodingChromosome) {
    mapToResolution(design, representation, context);
  } else {
    dblsToInts(design, kRoundNearest, representation, context);
  }

  if (withResults) {
    for (const std::string& field : std::vector<std::string>(fields.begin() + at, fields.end())) {
      ResponseValue response;
      response.present = true;
      response.status = kDesignSuccess;
      double value = 0.0;
      if (parseReal(field, value)) {
        response.values.push_back(value);
      } else {
        response.text.push_back(field);
        value = std::nan("");
      }
      design.responses.push_back(std::move(response));
      read.values.push_back(value);
    }
  }
  return "";
}

enum class FileOutcome { Read, Refused };

// Reads one file into `designs`. A bad line ends the run, or (when the study goes on after
// design errors) refuses the whole file, whose designs are then not taken.
FileOutcome readUserDesignsFile(const std::string& path, const LineLayout& layout,
                     const EncodingContext& context, const Agent& agent,
                     std::vector<ReadDesign>& designs) {
  std::ifstream in(path, std::ios::binary);
  std::vector<ReadDesign> fromFile;
  std::string error;
  if (!in) {
    error = formatText("The user designs file \"%s\" could not be opened.", path.c_str());
  }
  enum class Section { None, DesignOnly, WithResults } section = Section::None;
  std::string raw;
  int lineNumber = 0;
  while (error.empty() && std::getline(in, raw)) {
    ++lineNumber;
    const std::string line = trimmed(raw);
    if (line.empty() || line[0] == '$') continue;
    if (line[0] == '*') {
      const std::string keyword = trimmed(line.substr(0, line.find_first_of(" \t,")));
      if (equalsIgnoreCase(keyword, "*DESIGN_ONLY")) {
        section = Section::DesignOnly;
      } else if (equalsIgnoreCase(keyword, "*DESIGN_AND_RESULTS")) {
        section = Section::WithResults;
      } else if (equalsIgnoreCase(keyword, "*END")) {
        section = Section::None;
      }
      continue;  // other keywords are not ours
    }
    if (section == Section::None) continue;
    ReadDesign read;
    error = readLine(splitTrimmed(line, ','), section == Section::WithResults, layout, context,
                     agent, LinePlace{&path, lineNumber}, read);
    if (error.empty()) fromFile.push_back(std::move(read));
  }
  if (!error.empty()) {
    if (!run.settings.skipEvalCheck) fatalError(error);
    writeMessage("outptr", "error", error);
    writeMessage("outptr", "warning",
                 formatText("Error in reading the %s file. Please see the error message above. "
                            "Continuing run.",
                            fileNameOf(path).c_str()));
    return FileOutcome::Refused;
  }
  for (ReadDesign& read : fromFile) designs.push_back(std::move(read));
  return FileOutcome::Read;
}

// The agent's files in the study folder, sorted by name; false when the folder cannot be
// listed.
bool listFiles(int agentNumber, std::vector<std::string>& paths) {
  std::error_code error;
  std::filesystem::directory_iterator it(run.workingDirectory, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (isUserDesignsFileName(name, agentNumber) && !it->is_directory()) {
      paths.push_back(platform::joinPath(run.workingDirectory, name));
    }
  }
  if (error) return false;
  std::sort(paths.begin(), paths.end());
  return true;
}

bool takesUserDesigns(const Agent& agent) {
  if (agent.type != kAgentOptimization) return true;
  const int code = agent.method.code;
  return code == kMethodGenetic || code == kMethodTolmar || code == kMethodParetoTolmar;
}

std::string quotedDesign(const ReadDesign& read) {
  return formatText("Design \"%s\" (number %d in the order defined) in the user designs file",
                    read.design.name.c_str(), read.order);
}

// Step 7: answers the designs to keep, in the order defined. Identity is that of the
// stored-design table. Of two identical designs the earlier is kept, unless only the later
// one has results.
std::vector<ReadDesign> withoutDuplicates(std::vector<ReadDesign> designs,
                                          const AgentResults& results) {
  writeMessage("outptr", "note", "Checking for duplicates...");
  DesignStore seen;  // the designs kept so far; their designNumber is their slot in `kept`
  designStoreCreate(seen, results.store.context, 1);
  std::vector<ReadDesign> kept;
  std::vector<char> dropped;
  for (ReadDesign& read : designs) {
    Design probe = read.design;
    designStorePromote(results.store, probe);
    if (designStoreFind(results.store, probe)) {
      writeMessage("outptr", "warning",
                   quotedDesign(read) +
                       " already exists in the KARVO database and will not be evaluated. This "
                       "design will not be re-evaluated.");
      continue;
    }
    if (Design earlier; designStoreFind(seen, probe, &earlier)) {
      const std::size_t slot = static_cast<std::size_t>(earlier.designNumber);
      ReadDesign& other = kept[slot];
      if (read.withResults && !other.withResults) {
        writeMessage("outptr", "warning",
                     quotedDesign(other) + " is a duplicate of design \"" + read.design.name +
                         formatText("\" (number %d in the order defined) in the user designs "
                                    "file. This design will not be evaluated.",
                                    read.order));
        other = std::move(read);
      } else {
        writeMessage("outptr", "warning",
                     quotedDesign(read) + " is a duplicate of design \"" + other.design.name +
                         formatText("\" (number %d in the order defined) in the user designs "
                                    "file. This design will not be evaluated.",
                                    other.order));
      }
      continue;
    }
    probe.designNumber = static_cast<int>(kept.size());
    designStoreInsert(seen, probe);
    kept.push_back(std::move(read));
  }
  return kept;
}

// Step 8 for one design with results: scored, numbered, stored with its history entry.
void storeWithResults(Agent& agent, AgentResults& results, ReadDesign& read,
                      const LineLayout& layout, const HistoryShape& shape) {
  Design& design = read.design;
  design.status = kDesignSuccess;
  design.failed = false;
  if (PerformanceDefinition* definition = findPerformance(agent.performance)) {
    ScoringContext scoring;
    scoring.agentType = agent.type;
    performance(design, *definition, read.values, scoring);
  } else {
    design.performance = 1.0;
  }
  if (design.requestedNumber > 0) {
    design.designNumber = design.requestedNumber;
    agent.evaluatedDesigns = std::max(agent.evaluatedDesigns, design.designNumber);
  } else {
    design.designNumber = ++agent.evaluatedDesigns;
  }
  designStoreInsert(results.store, design);
  EvaluationContext context;
  context.agentNumber = agent.number;
  context.designNumber = design.designNumber;
  for (std::size_t i = 0; i < layout.responseNames.size() && i < design.responses.size(); ++i) {
    context.responses[layout.responseNames[i]] = design.responses[i];
  }
  std::string entry;
  encodeHistoryEntry(entry, historyEntryOf(agent, design, &context, {}, &shape), shape);
  appendHistoryEntry(results.history, entry);
  results.counters[0] = agent.evaluatedDesigns;
}

std::string summaryText(const Agent& agent, const AgentResults& results,
                        const UserDesignSet& set) {
  std::string text = results.userDesignsRead ? "USER ADDED DESIGNS INFORMATION"
                                             : "USER INITIALIZED DESIGNS INFORMATION";
  text += formatText("\n%s a total of %d designs for agent %d.", "The user designs files defined",
                     set.defined, agent.number);
  text += formatText("\n  Total # of Designs defined = %d", set.defined);
  text += formatText("\n  # of designs without results defined = %d", set.withoutResults);
  text += formatText("\n  # of previously evaluated designs defined = %d", set.withResults);
  text += formatText("\n  # of integer based designs %s (type=1) = %d", "defined",
                     set.integerBased);
  text += formatText("\n  # of real value designs %s (type=2)    = %d", "defined",
                     set.realBased);
  return text;
}

}  // namespace

bool isUserDesignsFileName(const std::string& fileName, int agentNumber) {
  const std::string head = formatText("UserDesigns%d_", agentNumber);
  return fileName.size() >= head.size() + 3 && fileName.compare(0, head.size(), head) == 0 &&
         fileName.compare(fileName.size() - 3, 3, ".in") == 0;
}

UserDesignSet readUserDesigns(Agent& agent, AgentResults& results) {
  UserDesignSet set;
  std::vector<std::string> paths;
  if (!listFiles(agent.number, paths)) {
    std::string text =
        "Error in reading the contents of the project directory while scanning for user design "
        "files.";
    text = formatText("%s Project directory: %s", text.c_str(), run.workingDirectory.c_str());
    text = formatText("%s The user design files, if any, will not be read at this time. "
                      "Continuing run if possible...",
                      text.c_str());
    writeMessage("outptr", "warning", text);
    return set;
  }
  if (paths.empty()) return set;
  set.anyFile = true;
  if (!takesUserDesigns(agent)) {
    std::string text =
        "The user designs option is not available for the optimization method selected. Only "
        "GA, TOLMAR, and MO-TOLMAR methods";
    text = formatText("%s are supported for this feature with an optimization agent. No user "
                      "design data will be read.",
                      text.c_str());
    writeMessage("outptr", "warning", text);
    return set;
  }

  LineLayout layout;
  layout.representation = findRepresentation(agent.representation);
  if (!layout.representation) fatalError("Representation number set to illegal number, exit.");
  for (const Variable& variable : definitions.variables) {
    if (variable.kind == VariableKind::FixedParameter) {
      layout.parameterNames.push_back(variable.name);
    }
  }
  if (const PerformanceDefinition* definition = findPerformance(agent.performance)) {
    layout.responseNames = definition->name;
  }
  const EncodingContext context = encodingContextForAgent(agent);

  // Steps 3-6.
  std::vector<ReadDesign> designs;
  for (const std::string& path : paths) {
    if (readUserDesignsFile(path, layout, context, agent, designs) == FileOutcome::Read) {
      set.filesRead.push_back(path);
    }
  }
  for (std::size_t i = 0; i < designs.size(); ++i) {
    const ReadDesign& read = designs[i];
    designs[i].order = static_cast<int>(i) + 1;
    ++set.defined;
    ++(read.withResults ? set.withResults : set.withoutResults);
    ++(read.design.encoding == kEncodingChromosome ? set.integerBased : set.realBased);
  }

  if (set.defined > 0) {
    // Step 7.
    std::vector<ReadDesign> kept = withoutDuplicates(std::move(designs), results);

    // Step 8: design numbers given move the numbering on, so that no later design takes one.
    int largest = 0;
    for (const ReadDesign& read : kept) largest = std::max(largest, read.design.requestedNumber);
    if (largest > agent.evaluatedDesigns) {
      std::string text = formatText(
          "The maximum design number for the designs in the shared design set is %d, which is "
          "larger than the total number of evaluations performed currently.",
          largest);
      text = formatText("%s The design numbering of this agent will continue after this number,",
                        text.c_str());
      text = formatText("%s so that the next design without a design number given will be "
                        "design %d.",
                        text.c_str(), largest + 1);
      writeMessage("outptr", "note", text);
      agent.evaluatedDesigns = largest;
      results.counters[0] = agent.evaluatedDesigns;
    }
    const HistoryShape shape = historyShapeOfAgent(agent);
    for (ReadDesign& read : kept) {
      if (read.withResults) {
        storeWithResults(agent, results, read, layout, shape);
        ++set.stored;
      } else {
        set.toEvaluate.push_back(std::move(read.design));
      }
    }
    if (set.stored > 0) writeHistory(agent, results);
    if (agent.numEvals > 0) {
      const int remaining = std::max(agent.numEvals - agent.evaluatedDesigns, 0);
      if (static_cast<int>(set.toEvaluate.size()) > remaining) {
        writeMessage("outptr", "warning",
                     formatText("The number of designs shared (%d) is greater than the number "
                                "of designs remaining (%d) for this study. Designs past the "
                                "number of designs allowed for this study will not be run.",
                                static_cast<int>(set.toEvaluate.size()), remaining));
        set.toEvaluate.resize(static_cast<std::size_t>(remaining));
      }
    }
    if (!set.toEvaluate.empty()) {
      writeMessage("outptr", "note", "Sending designs from user shared designs for evaluation.");
    }
  }

  if (set.defined == 0) {
    writeMessage("outptr", "note",
                 "No designs were found in the UserDesigns files in the project directory");
    return set;
  }
  writeMessage("outptr", "output", summaryText(agent, results, set));
  results.userDesignsRead = true;
  return set;
}

void renameUserDesignsFiles(const Agent& agent, const UserDesignSet& set) {
  for (const std::string& path : set.filesRead) {
    const std::string target = path + formatText("_backup_at_%d_evals", agent.evaluatedDesigns);
    std::string error;
    if (!platform::movePath(path, target, &error)) {
      writeMessage("outptr", "warning",
                   formatText("The user designs file \"%s\" could not be renamed to \"%s\" (%s). "
                              "It will be read again when the agent starts its next turn.",
                              path.c_str(), target.c_str(), error.c_str()));
    }
  }
}

}  // namespace karvo
