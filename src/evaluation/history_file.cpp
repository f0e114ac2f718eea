// The agent history file: one entry per evaluated or taken-over design, written at every save
// point of a run (often after every generation, sometimes after every design) and read back
// once per agent when a run is resumed or extended. Entries are encoded once and kept as
// bytes, so a rewrite costs one pass over the kept blocks; reading parses the whole file in
// memory and checks every count against the bytes left before it allocates anything.
#include "evaluation/history_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "base/messages.h"
#include "base/verified_file.h"
#include "base/run_state.h"
#include "definitions/design_list.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/response_definitions.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "evaluation/performance.h"
#include "evaluation/tagging.h"
#include "platform/platform.h"

namespace karvo {

namespace {

// File versions that changed the layout.
constexpr int kVersionDesignTexts = 201505;    // items 3-4 (name, second text) present
constexpr int kVersionDistributionTexts = 2014;  // distribution name and type word as strings
constexpr int kVersionValueTypes = 600;        // value types of item 4; violation of item 9

// Longest distribution name and type word a sound file holds (bytes, exclusive).
constexpr std::size_t kDistributionNameLimit = 2056;
constexpr std::size_t kDistributionTypeLimit = 100;

// Two bounds closer than this are the same bound.
constexpr double kBoundTolerance = 2.220446049250313e-16;

constexpr const char* kDestination = "outptr";

const char* const kHeaderUnreadable = "Error in reading header in history file for agent %d.";
const char* const kOtherVersion =
    "The history file for agent %d is from a different version of KARVO (%d) and cannot be "
    "read using this version.";
const char* const kStochasticityChanged =
    "The user has changed the stochasticity of Agent %d from the previous run. History cannot "
    "be used.";
const char* const kVariablesAltered =
    "The structure of the design variables in the history file has been altered from the "
    "previous run and is no longer valid.";
const char* const kDistributionChanged =
    "The distribution data applied to one of the variables has been modified. Continuing with "
    "the run if possible..";
const char* const kPrintCountsChanged =
    "The number of dependent variables and/or parameters in the history file has been altered "
    "from the previous run. This would not affect the results, but could affect the plotting "
    "of the results.";
const char* const kResponseCountDiffers =
    "The number of responses from the history file(%d) is different than the number in the "
    "project(%d).";
const char* const kResponseCountUnreadable =
    "Could not read the number of responses from the history file.";
const char* const kToolIdUnreadable =
    "Could not read the tool id for response %d from the history file.";
const char* const kDirectionUnreadable =
    "Could not read the direction for response %d from the history file.";
const char* const kDirectionDiffers =
    "The objective/constraint search goal (minimize/maximize or <=/>=) for response %d from the "
    "history file (%d) does not match the direction in project (%d).";
const char* const kVectorResponse =
    "The response \"%s\" was marked as a vector response based on data read from the history "
    "file.";
const char* const kValueTypeUnreadable =
    "Could not read the resp_value_type for response %s from the history file.";
const char* const kResponsesAltered =
    "The structure of the study responses from the history file has been altered from the "
    "previous run and are no longer valid.";
const char* const kCriteriaLines =
    "\n\tThe designs of the history were scored with other responses than the study"
    "\n\tdefines now, so the history is not read. Restore the responses of the earlier"
    "\n\trun to resume it, or start the study anew (mode newStudy).";
const char* const kTooManyLoops =
    "The number of loops for the designs from history (%d) is larger than the number of active "
    "loops in the current project (%d). This suggests that the structure of the project has "
    "changed. The history will not be read.";
const char* const kCorrupt = "The structure of the history file is corrupt.";
const char* const kBadDesignList = "Error in processing the design list for continuing study.";
const char* const kDesignsNotFound =
    "Could not find all designs specified in the design list for continuing the study. The "
    "list of designs not found is:";
const char* const kTakenOverFirst = "Read %d designs from history with an identical problem";
const char* const kTakenOverSecond = "%s presentation (representation, performance) as agent %d.";
const char* const kWriteFailed =
    "\n\t**** WARNING ****\n\n\t Could not write history file for agent %d.";

const char* const kSumFileTitle = "KARVO history checksum 1";
const char* const kDamaged =
    "The history file \"%s\" does not match the checksum kept in \"%s\": it was changed or "
    "damaged after the solver wrote it.";
const char* const kDamagedNotUsed =
    "Its designs are not taken over; the run goes on without them and leaves the file as it "
    "is until the run's first save of the history.";

// One line of a checksum file: the size and checksum of a history it accepts.
struct HistorySum {
  bool present = false;    // the line was read
  std::size_t bytes = 0;
  std::uint32_t sum = 0;
  bool titled = false;     // (first entry only) the file starts with kSumFileTitle
};

// The two lines of the checksum file at `path`; an entry that is not there is not present.
// A file that is missing or does not start with the title is no checksum file (untitled).
std::vector<HistorySum> readHistorySumFile(const std::string& path) {
  std::vector<HistorySum> sums(2);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return sums;
  char line[128];
  std::string title = std::fgets(line, sizeof line, file) ? line : "";
  if (title == std::string(kSumFileTitle) + "\n") {
    sums.front().titled = true;
    for (HistorySum& sum : sums) {
      unsigned long long bytes = 0;
      unsigned int value = 0;
      char end = 0;
      if (!std::fgets(line, sizeof line, file) ||
          std::sscanf(line, "%llu %8x%c", &bytes, &value, &end) != 3 || end != '\n') {
        break;
      }
      sum.present = true;
      sum.bytes = static_cast<std::size_t>(bytes);
      sum.sum = value;
    }
  }
  std::fclose(file);
  return sums;
}

// Set while a history file is being read.
bool readingHistory = false;

struct ReadingHistory {
  ReadingHistory() { readingHistory = true; }
  ~ReadingHistory() { readingHistory = false; }
  ReadingHistory(const ReadingHistory&) = delete;
  ReadingHistory& operator=(const ReadingHistory&) = delete;
};

// Print flags of the dependent variables and parameters, per agent number, as the last history
// read stored them; a flag not stored is 1 (printed).
struct PrintFlags {
  std::vector<std::int32_t> dependents;
  std::vector<std::int32_t> parameters;
};

std::unordered_map<int, PrintFlags>& printFlagTable() {
  static std::unordered_map<int, PrintFlags> table;
  return table;
}

void warn(const std::string& text) { writeMessage(kDestination, "warning", text); }

// ---------------------------------------------------------------------------------------
// Primitives

void appendString(std::string& out, std::string_view text) {
  appendInt32(out, static_cast<std::int32_t>(text.size()));
  out.append(text);
}

// A string of fewer than `limit` bytes (and no more than the bytes left).
bool readString(ByteReader& reader, std::string& text,
                std::size_t limit = std::numeric_limits<std::size_t>::max()) {
  const std::size_t start = reader.at;
  std::int32_t length = 0;
  if (!readInt32(reader, length)) return false;
  if (length < 0 || static_cast<std::size_t>(length) >= limit ||
      !readText(reader, static_cast<std::size_t>(length), text)) {
    reader.at = start;
    return false;
  }
  return true;
}

bool readInt32s(ByteReader& reader, std::size_t count, std::vector<std::int32_t>& values) {
  if (count > bytesLeft(reader) / 4) return false;
  values.resize(count);
  for (std::int32_t& value : values) readInt32(reader, value);
  return true;
}

bool readReals(ByteReader& reader, std::size_t count, std::vector<double>& values) {
  if (count > bytesLeft(reader) / 8) return false;
  values.resize(count);
  for (double& value : values) readReal(reader, value);
  return true;
}

bool readValues(ByteReader& reader, std::size_t count, std::vector<DataValue>& values) {
  if (count > bytesLeft(reader) / 4) return false;  // a value takes at least its count
  values.resize(count);
  for (DataValue& value : values) {
    if (!readValue(reader, value)) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Study look-ups

std::vector<const Variable*> variablesOfKind(VariableKind kind) {
  std::vector<const Variable*> found;
  for (const Variable& variable : definitions.variables) {
    if (variable.kind == kind) found.push_back(&variable);
  }
  return found;
}

int responseIndex(const std::string& name) {
  for (std::size_t i = 0; i < responseDefinitions.size(); ++i) {
    if (responseDefinitions[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

int activeLoopCount() {
  return static_cast<int>(std::count_if(definitions.loops.begin(), definitions.loops.end(),
                                        [](const Loop& loop) { return loop.active != 0; }));
}

// The distribution name of a slot and its type word, "NONE" for either when absent.
std::string distributionNameOf(const VariableSlot& slot) {
  return slot.distribution.empty() ? "NONE" : slot.distribution;
}

std::string distributionTypeOf(const VariableSlot& slot) {
  const DistributionDefinition* distribution =
      slot.distribution.empty() ? nullptr : findDistribution(slot.distribution);
  return distribution ? distribution->type : "NONE";
}

template <typename T>
T elementOr(const std::vector<T>& values, std::size_t index, T fallback) {
  return index < values.size() ? values[index] : fallback;
}

// ---------------------------------------------------------------------------------------
// Entries

enum class EntryOutcome { Read, Malformed, TooManyLoops };

// Bytes the smallest entry of `shape` written by `version` takes: every item at its fixed
// width, every typed value missing, no loops.
std::size_t smallestEntryBytes(const HistoryShape& shape, int version) {
  const std::size_t t = static_cast<std::size_t>(shape.totalVariables);
  const std::size_t p = static_cast<std::size_t>(shape.parameters);
  std::size_t bytes = 8;
  if (version >= kVersionDesignTexts) bytes += 8;
  bytes += 4 * (t + 1) + 8 * (t + p + 1);
  bytes += 4 * static_cast<std::size_t>(shape.responses + shape.dependents);
  bytes += 8 * (version >= kVersionValueTypes ? 6 : 5);
  bytes += 4 * 6 + static_cast<std::size_t>(shape.performanceBlock) + 4;
  return bytes;
}

bool readLoop(ByteReader& reader, const HistoryShape& shape, HistoryLoopCases& loop) {
  std::int32_t cases = 0;
  if (!readString(reader, loop.name) || !readInt32(reader, cases) || cases < 0) return false;
  // Each case takes its value's length, its reals and a presence flag per dependent.
  const std::size_t caseBytes = 4 + 8 * static_cast<std::size_t>(shape.loopValues) +
                                4 * static_cast<std::size_t>(shape.dependents);
  if (static_cast<std::size_t>(cases) > bytesLeft(reader) / caseBytes) return false;
  loop.caseValues.resize(static_cast<std::size_t>(cases));
  for (std::string& value : loop.caseValues) {
    if (!readString(reader, value)) return false;
  }
  loop.performanceValues.assign(loop.caseValues.size(), {});
  loop.dependentValues.assign(loop.caseValues.size(), {});
  for (std::size_t c = 0; c < loop.caseValues.size(); ++c) {
    if (!readReals(reader, static_cast<std::size_t>(shape.loopValues),
                   loop.performanceValues[c])) {
      return false;
    }
    std::vector<DataValue>& values = loop.dependentValues[c];
    values.resize(static_cast<std::size_t>(shape.dependents));
    for (DataValue& value : values) {
      std::int32_t present = 0;
      if (!readInt32(reader, present)) return false;
      if (present != 0 && !readValue(reader, value)) return false;
    }
  }
  return readInt32(reader, loop.trailer);
}

// One entry; `loopLimit` < 0 accepts any loop count, else a larger count is TooManyLoops with
// the count read in `loopsRead`.
EntryOutcome readEntry(ByteReader& reader, const HistoryShape& shape, int version,
                       int loopLimit, HistoryEntry& entry, int& loopsRead) {
  entry = HistoryEntry{};
  const std::size_t t = static_cast<std::size_t>(shape.totalVariables);
  const std::size_t p = static_cast<std::size_t>(shape.parameters);
  if (!readInt32(reader, entry.source) || !readInt32(reader, entry.encoding)) {
    return EntryOutcome::Malformed;
  }
  if (version >= kVersionDesignTexts &&
      (!readString(reader, entry.name) || !readString(reader, entry.note))) {
    return EntryOutcome::Malformed;
  }
  if (!readInt32s(reader, t + 1, entry.chromosome) || !readReals(reader, t + p + 1, entry.reals) ||
      !readValues(reader, static_cast<std::size_t>(shape.responses), entry.responses) ||
      !readValues(reader, static_cast<std::size_t>(shape.dependents), entry.dependents)) {
    return EntryOutcome::Malformed;
  }
  bool ok = readReal(reader, entry.performance);
  if (version >= kVersionValueTypes) ok = ok && readReal(reader, entry.violation);
  for (double& kept : entry.kept) ok = ok && readReal(reader, kept);
  for (std::int32_t* field : {&entry.status, &entry.failed, &entry.designNumber,
                              &entry.generation, &entry.cycle, &entry.numVariables}) {
    ok = ok && readInt32(reader, *field);
  }
  for (std::int32_t& value : entry.blockInts) ok = ok && readInt32(reader, value);
  if (!ok || shape.performanceBlock < 16 ||
      !readReals(reader, static_cast<std::size_t>(shape.performanceBlock - 16) / 8,
                 entry.blockReals)) {
    return EntryOutcome::Malformed;
  }
  std::int32_t loops = 0;
  if (!readInt32(reader, loops) || loops < 0) return EntryOutcome::Malformed;
  if (loopLimit >= 0 && loops > loopLimit) {
    loopsRead = loops;
    return EntryOutcome::TooManyLoops;
  }
  // A loop takes at least its name's length, its case count and its closing integer.
  if (static_cast<std::size_t>(loops) > bytesLeft(reader) / 12) return EntryOutcome::Malformed;
  entry.loops.resize(static_cast<std::size_t>(loops));
  for (HistoryLoopCases& loop : entry.loops) {
    if (!readLoop(reader, shape, loop)) return EntryOutcome::Malformed;
  }
  return EntryOutcome::Read;
}

// An entry read with the dependent and parameter counts of an older study brought to the
// counts of the current one: parameters the file lacks take their current values, dependent
// values it lacks are missing.
void bringToShape(HistoryEntry& entry, const HistoryShape& from, const HistoryShape& to) {
  if (from.parameters != to.parameters) {
    const std::size_t t = static_cast<std::size_t>(to.totalVariables);
    const std::vector<double> current = encodingParameterValues();
    std::vector<double> reals(entry.reals.begin(),
                              entry.reals.begin() + static_cast<std::ptrdiff_t>(t));
    for (int k = 0; k < to.parameters; ++k) {
      reals.push_back(k < from.parameters ? entry.reals[t + static_cast<std::size_t>(k)]
                                          : elementOr(current, static_cast<std::size_t>(k), 0.0));
    }
    reals.push_back(0.0);
    entry.reals = std::move(reals);
  }
  if (from.dependents != to.dependents) {
    const std::size_t d = static_cast<std::size_t>(to.dependents);
    entry.dependents.resize(d);
    for (HistoryLoopCases& loop : entry.loops) {
      for (std::vector<DataValue>& values : loop.dependentValues) values.resize(d);
    }
  }
}

// ---------------------------------------------------------------------------------------
// The file's sections before the designs

std::string headerBytes(const Agent& agent, const AgentResults& results) {
  std::string out;
  appendInt32(out, kHistoryVersion);
  appendInt32(out, agent.stochasticFitness);

  const Representation* representation = findRepresentation(agent.representation);
  const std::size_t variables = representation ? representation->slots.size() : 0;
  appendInt32(out, static_cast<std::int32_t>(variables));
  for (std::size_t i = 0; i < variables; ++i) {
    const VariableSlot& slot = representation->slots[i];
    appendInt32(out, slot.id);
    appendInt32(out, slot.kind);
    appendInt32(out, slot.resolutionMode);
    appendInt32(out, slot.resolution);
    appendReal(out, slot.lower);
    appendReal(out, slot.upper);
    appendString(out, distributionNameOf(slot));
    appendString(out, distributionTypeOf(slot));
  }

  const HistoryShape shape = historyShapeOfStudy();
  const PrintFlags* stored = nullptr;
  if (auto it = printFlagTable().find(agent.number); it != printFlagTable().end()) {
    stored = &it->second;
  }
  appendInt32(out, shape.dependents);
  for (int k = 0; k < shape.dependents; ++k) {
    appendInt32(out, stored ? elementOr(stored->dependents, static_cast<std::size_t>(k), 1) : 1);
  }
  appendInt32(out, shape.parameters);
  for (int k = 0; k < shape.parameters; ++k) {
    appendInt32(out, stored ? elementOr(stored->parameters, static_cast<std::size_t>(k), 1) : 1);
  }

  const PerformanceDefinition* performance = findPerformance(agent.performance);
  const int count = performance ? performance->count : 0;
  appendInt32(out, count);
  for (int i = 0; i < count; ++i) {
    appendInt32(out, elementOr(performance->eval_tool, static_cast<std::size_t>(i), -1));
  }
  for (int i = 0; i < count; ++i) {
    appendInt32(out, elementOr(performance->opt, static_cast<std::size_t>(i), 0));
  }
  for (int i = 0; i < count; ++i) {
    appendInt32(out, elementOr(performance->resp_value_type, static_cast<std::size_t>(i), 0));
  }

  appendInt32(out, static_cast<std::int32_t>(results.history.count));
  return out;
}

std::string counterBytes(const AgentResults& results) {
  std::string out;
  for (int counter : results.counters) appendInt32(out, counter);
  return out;
}

enum class SectionOutcome { Accepted, Refused, Corrupt };

// Step 4: the variable structure against the agent's representation.
SectionOutcome readVariableStructure(ByteReader& reader, int version, const Agent& agent) {
  const Representation* representation = findRepresentation(agent.representation);
  const std::size_t current = representation ? representation->slots.size() : 0;
  std::int32_t count = 0;
  if (!readInt32(reader, count)) return SectionOutcome::Corrupt;
  if (count < 0 || static_cast<std::size_t>(count) != current) {
    warn(kVariablesAltered);
    return SectionOutcome::Refused;
  }
  bool distributionChanged = false;
  for (std::size_t i = 0; i < current; ++i) {
    const VariableSlot& slot = representation->slots[i];
    std::int32_t id = 0, kind = 0, mode = 0, resolution = 0;
    double lower = 0.0, upper = 0.0;
    if (!readInt32(reader, id) || !readInt32(reader, kind) || !readInt32(reader, mode) ||
        !readInt32(reader, resolution) || !readReal(reader, lower) || !readReal(reader, upper)) {
      return SectionOutcome::Corrupt;
    }
    std::string name = "NONE", type = "NONE";
    if (version >= kVersionDistributionTexts) {
      if (!readString(reader, name, kDistributionNameLimit) ||
          !readString(reader, type, kDistributionTypeLimit)) {
        return SectionOutcome::Corrupt;
      }
    } else {
      std::int32_t unused = 0;
      double unusedReal = 0.0;
      if (!readInt32(reader, unused) || !readInt32(reader, unused) ||
          !readReal(reader, unusedReal)) {
        return SectionOutcome::Corrupt;
      }
    }
    bool same = id == slot.id && kind == slot.kind && mode == slot.resolutionMode &&
                resolution == slot.resolution;
    if (same && slot.kind == kSlotContinuous) {
      // A bound that is not a number never agrees.
      same = std::fabs(lower - slot.lower) <= kBoundTolerance &&
             std::fabs(upper - slot.upper) <= kBoundTolerance;
    }
    if (!same) {
      warn(kVariablesAltered);
      return SectionOutcome::Refused;
    }
    if (slot.kind == kSlotContinuous && version >= kVersionDistributionTexts &&
        (!slot.distribution.empty() || name != "NONE") &&
        (name != distributionNameOf(slot) || type != distributionTypeOf(slot))) {
      distributionChanged = true;
    }
  }
  if (distributionChanged) warn(kDistributionChanged);
  return SectionOutcome::Accepted;
}

// Step 5: the print flags; the file's flags replace the stored ones where both have a flag.
// `dependents` and `parameters` receive the file's counts.
SectionOutcome readPrintInfo(ByteReader& reader, const Agent& agent, int& dependents,
                             int& parameters) {
  const HistoryShape shape = historyShapeOfStudy();
  std::vector<std::int32_t> dependentFlags, parameterFlags;
  std::int32_t count = 0;
  if (!readInt32(reader, count) || count < 0 ||
      !readInt32s(reader, static_cast<std::size_t>(count), dependentFlags)) {
    return SectionOutcome::Corrupt;
  }
  if (!readInt32(reader, count) || count < 0 ||
      !readInt32s(reader, static_cast<std::size_t>(count), parameterFlags)) {
    return SectionOutcome::Corrupt;
  }
  dependents = static_cast<int>(dependentFlags.size());
  parameters = static_cast<int>(parameterFlags.size());
  if (dependents != shape.dependents || parameters != shape.parameters) {
    warn(kPrintCountsChanged);
  }
  PrintFlags& flags = printFlagTable()[agent.number];
  flags.dependents.resize(static_cast<std::size_t>(shape.dependents), 1);
  flags.parameters.resize(static_cast<std::size_t>(shape.parameters), 1);
  std::copy_n(dependentFlags.begin(), std::min(dependentFlags.size(), flags.dependents.size()),
              flags.dependents.begin());
  std::copy_n(parameterFlags.begin(), std::min(parameterFlags.size(), flags.parameters.size()),
              flags.parameters.begin());
  return SectionOutcome::Accepted;
}

// Step 6: the performance metrics against the agent's performance definition. A refusal has
// written its messages.
bool readPerformanceMetrics(ByteReader& reader, int version, const Agent& agent) {
  PerformanceDefinition* performance = findPerformance(agent.performance);
  const int current = performance ? performance->count : 0;
  auto refuse = [](const std::string& reason) {
    warn(reason);
    // The refusal says what the user can do about it: the history cannot be taken over
    // with other responses.
    warn(std::string(kResponsesAltered) + kCriteriaLines);
    return false;
  };
  std::int32_t count = 0;
  if (!readInt32(reader, count)) return refuse(kResponseCountUnreadable);
  if (count != current) return refuse(formatText(kResponseCountDiffers, count, current));
  for (int i = 0; i < count; ++i) {
    std::int32_t tool = 0;
    if (!readInt32(reader, tool)) return refuse(formatText(kToolIdUnreadable, i + 1));
  }
  for (int i = 0; i < count; ++i) {
    std::int32_t direction = 0;
    if (!readInt32(reader, direction)) return refuse(formatText(kDirectionUnreadable, i + 1));
    const int expected = elementOr(performance->opt, static_cast<std::size_t>(i), 0);
    if (direction != expected) warn(formatText(kDirectionDiffers, i + 1, direction, expected));
  }
  if (version < kVersionValueTypes || count == 0) return true;
  if (performance->resp_value_type.size() < static_cast<std::size_t>(count)) {
    performance->resp_value_type.resize(static_cast<std::size_t>(count), 0);
  }
  for (int i = 0; i < count; ++i) {
    const std::string& name = performance->name[static_cast<std::size_t>(i)];
    std::int32_t type = 0;
    if (!readInt32(reader, type)) return refuse(formatText(kValueTypeUnreadable, name.c_str()));
    performance->resp_value_type[static_cast<std::size_t>(i)] = type;
    if (type == 1) writeMessage(kDestination, "note", formatText(kVectorResponse, name.c_str()));
  }
  return true;
}

// Everything of a file that passed the checks.
struct AcceptedHistory {
  HistoryShape shape;                 // the entries' shape as written
  std::vector<HistoryEntry> entries;  // in file order
  int counters[3] = {0, 0, 0};
  bool haveCounters = false;
};

// Steps 2-7 and the reading of step 10. False when the file was refused (messages written).
bool parseHistory(const std::string& bytes, Agent& agent, AcceptedHistory& accepted) {
  ByteReader reader = byteReaderOf(bytes);
  std::int32_t version = 0;
  if (!readInt32(reader, version)) {
    warn(formatText(kHeaderUnreadable, agent.number));
    return false;
  }
  if (version != kHistoryVersion) fatalError(formatText(kOtherVersion, agent.number, version));
  std::int32_t stochastic = 0;
  if (!readInt32(reader, stochastic)) {
    warn(formatText(kHeaderUnreadable, agent.number));
    return false;
  }
  if (stochastic != agent.stochasticFitness) {
    warn(formatText(kStochasticityChanged, agent.number));
    return false;
  }

  switch (readVariableStructure(reader, version, agent)) {
    case SectionOutcome::Accepted: break;
    case SectionOutcome::Refused: return false;
    case SectionOutcome::Corrupt: warn(kCorrupt); return false;
  }
  HistoryShape shape = historyShapeOfAgent(agent);
  if (readPrintInfo(reader, agent, shape.dependents, shape.parameters) !=
      SectionOutcome::Accepted) {
    warn(kCorrupt);
    return false;
  }
  if (!readPerformanceMetrics(reader, version, agent)) return false;

  std::int32_t designs = 0;
  if (!readInt32(reader, designs) || designs < 0 ||
      static_cast<std::size_t>(designs) > bytesLeft(reader) / smallestEntryBytes(shape, version)) {
    warn(kCorrupt);
    return false;
  }
  const int loopLimit = activeLoopCount();
  accepted.entries.resize(static_cast<std::size_t>(designs));
  for (HistoryEntry& entry : accepted.entries) {
    int loops = 0;
    switch (readEntry(reader, shape, version, loopLimit, entry, loops)) {
      case EntryOutcome::Read: break;
      case EntryOutcome::TooManyLoops:
        warn(formatText(kTooManyLoops, loops, loopLimit));
        return false;
      case EntryOutcome::Malformed: warn(kCorrupt); return false;
    }
  }
  if (study.extending) {
    for (int& counter : accepted.counters) {
      if (!readInt32(reader, counter)) {
        warn(kCorrupt);
        return false;
      }
    }
    accepted.haveCounters = true;
  }
  accepted.shape = shape;
  return true;
}

bool takesEveryDesign(const std::string& list) {
  std::string word;
  for (char c : list) {
    if (c == ' ' || c == '\t') continue;
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return word.empty() || word == "all";
}

// The normalisations that the baseline design (design 1) set when the run that wrote the
// history scored it are set again from its values: the designs that follow are scored as in
// that run, although the baseline itself is not scored again.
void takeBaselineNormalisations(const Agent& agent, const Design& baseline) {
  PerformanceDefinition* definition = findPerformance(agent.performance);
  if (!definition || baseline.failed) return;
  std::vector<double> values;
  for (const ResponseValue& response : baseline.responses) {
    values.push_back(response.present && !response.values.empty()
                         ? response.values.front()
                         : std::numeric_limits<double>::quiet_NaN());
  }
  applyBaselineNormalisation(*definition, values, 1, false);
}

// Steps 8 and 9.
void takeOver(Agent& agent, AgentResults& results, AcceptedHistory& accepted) {
  std::vector<int> listed;
  const bool everyDesign = takesEveryDesign(agent.continueDesigns);
  if (!everyDesign && !parseDesignList(agent.continueDesigns, listed)) {
    fatalError(kBadDesignList);
  }
  const std::unordered_set<int> wanted(listed.begin(), listed.end());
  std::unordered_set<int> found;

  const HistoryShape current = historyShapeOfAgent(agent);
  std::string encoded;
  for (HistoryEntry& entry : accepted.entries) {
    bool sameProblem = entry.source == agent.number;
    if (!sameProblem) {
      const Agent* maker = findAgent(entry.source);
      sameProblem = maker && maker->representation == agent.representation &&
                    maker->performance == agent.performance && maker->process == agent.process;
    }
    if (!sameProblem) continue;
    if (!everyDesign) {
      if (!wanted.count(entry.designNumber)) continue;
      found.insert(entry.designNumber);
    }
    bringToShape(entry, accepted.shape, current);
    Design design = designOfHistoryEntry(agent, entry);
    if (entry.designNumber == 1) takeBaselineNormalisations(agent, design);
    agentResultsConsider(results, design);
    // With the run option reevaluateDesigns the designs of the history stay in the file but
    // not in the table: one proposed again is evaluated again.
    const bool later = results.replayAfter >= 0 && entry.designNumber > results.replayAfter;
    if (later) {
      if (!results.replay.enabled && results.replayPending.empty()) {
        designStoreCreate(results.replay, results.store.context, 1);
      }
      if (design.encoding == kEncodingReal) designStorePromote(results.replay, design);
      designStoreInsert(results.replay, design);
      results.replayPending.insert(entry.designNumber);
    } else if (!study.options.reevaluateDesigns) {
      if (design.encoding == kEncodingReal) designStorePromote(results.store, design);
      designStoreInsert(results.store, design);
    }
    encoded.clear();
    encodeHistoryEntry(encoded, entry, current);
    appendHistoryEntry(results.history, encoded);
    // (The designs kept aside count once they are taken again.)
    if (!later) ++results.designsTakenOver;
    if (!later) agent.evaluatedDesigns = std::max(agent.evaluatedDesigns, entry.designNumber);
  }

  if (!everyDesign && found.size() < wanted.size()) {
    std::string text = kDesignsNotFound;
    for (int number : listed) {
      if (!found.count(number)) text += formatText(" %d,", number);
    }
    warn(text);
  }
  if (accepted.haveCounters) std::copy_n(accepted.counters, 3, results.counters);
  const std::string first = formatText(kTakenOverFirst, results.designsTakenOver);
  writeMessage(kDestination, "note", formatText(kTakenOverSecond, first.c_str(), agent.number));
}

bool readWholeFile(const std::string& path, std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  char buffer[1 << 16];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
  std::fclose(file);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Shapes

HistoryShape historyShapeOfStudy() {
  HistoryShape shape;
  for (const Variable& variable : definitions.variables) {
    switch (variable.kind) {
      case VariableKind::Continuous:
      case VariableKind::Discrete: ++shape.totalVariables; break;
      case VariableKind::FixedParameter: ++shape.parameters; break;
      case VariableKind::Dependent: ++shape.dependents; break;
      case VariableKind::StringParameter: break;
    }
  }
  shape.responses = static_cast<int>(responseDefinitions.size());
  int largest = 0;
  for (const PerformanceDefinition& performance : per_type) {
    largest = std::max(largest, performance.count);
  }
  const bool stochastic = std::any_of(agents.begin(), agents.end(),
                                      [](const Agent& agent) { return agent.stochasticFitness; });
  shape.performanceBlock = 16 + (stochastic ? 32 : 16) * largest;
  return shape;
}

HistoryShape historyShapeOfAgent(const Agent& agent) {
  HistoryShape shape = historyShapeOfStudy();
  shape.loopValues = static_cast<int>(historyLoopValueNames(agent).size());
  return shape;
}

// ---------------------------------------------------------------------------------------
// Entries

void encodeHistoryEntry(std::string& out, const HistoryEntry& entry, const HistoryShape& shape) {
  const std::size_t t = static_cast<std::size_t>(shape.totalVariables);
  const std::size_t p = static_cast<std::size_t>(shape.parameters);
  appendInt32(out, entry.source);
  appendInt32(out, entry.encoding);
  appendString(out, entry.name);
  appendString(out, entry.note);
  for (std::size_t i = 0; i < t + 1; ++i) appendInt32(out, elementOr(entry.chromosome, i, 0));
  for (std::size_t i = 0; i < t + p + 1; ++i) appendReal(out, elementOr(entry.reals, i, 0.0));
  static const DataValue missing;
  for (int i = 0; i < shape.responses; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    writeValue(out, k < entry.responses.size() ? entry.responses[k] : missing);
  }
  for (int i = 0; i < shape.dependents; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    writeValue(out, k < entry.dependents.size() ? entry.dependents[k] : missing);
  }
  appendReal(out, entry.performance);
  appendReal(out, entry.violation);
  for (double kept : entry.kept) appendReal(out, kept);
  for (std::int32_t value : {entry.status, entry.failed, entry.designNumber, entry.generation,
                             entry.cycle, entry.numVariables}) {
    appendInt32(out, value);
  }
  for (std::int32_t value : entry.blockInts) appendInt32(out, value);
  const std::size_t blockReals =
      static_cast<std::size_t>(std::max(shape.performanceBlock - 16, 0)) / 8;
  for (std::size_t i = 0; i < blockReals; ++i) appendReal(out, elementOr(entry.blockReals, i, 0.0));
  appendInt32(out, static_cast<std::int32_t>(entry.loops.size()));
  for (const HistoryLoopCases& loop : entry.loops) {
    appendString(out, loop.name);
    appendInt32(out, static_cast<std::int32_t>(loop.caseValues.size()));
    for (const std::string& value : loop.caseValues) appendString(out, value);
    for (std::size_t c = 0; c < loop.caseValues.size(); ++c) {
      static const std::vector<double> noReals;
      static const std::vector<DataValue> noValues;
      const std::vector<double>& reals =
          c < loop.performanceValues.size() ? loop.performanceValues[c] : noReals;
      const std::vector<DataValue>& values =
          c < loop.dependentValues.size() ? loop.dependentValues[c] : noValues;
      for (int k = 0; k < shape.loopValues; ++k) {
        appendReal(out, elementOr(reals, static_cast<std::size_t>(k), 0.0));
      }
      for (int k = 0; k < shape.dependents; ++k) {
        const std::size_t index = static_cast<std::size_t>(k);
        if (index >= values.size() || cellCount(values[index]) == 0) {
          appendInt32(out, 0);
          continue;
        }
        appendInt32(out, 1);
        writeValue(out, values[index]);
      }
    }
    appendInt32(out, loop.trailer);
  }
}

bool decodeHistoryEntry(ByteReader& reader, const HistoryShape& shape, int version,
                        HistoryEntry& entry) {
  int loops = 0;
  return readEntry(reader, shape, version, -1, entry, loops) == EntryOutcome::Read;
}

HistoryEntry historyEntryOf(const Agent& agent, const Design& design,
                            const EvaluationContext* context,
                            const std::vector<HistoryLoopCases>& loops,
                            const HistoryShape* given) {
  const HistoryShape shape = given ? *given : historyShapeOfAgent(agent);
  const std::size_t t = static_cast<std::size_t>(shape.totalVariables);
  const std::size_t n = static_cast<std::size_t>(std::max(design.num_dvar, 0));
  HistoryEntry entry;
  entry.source = design.source;
  entry.encoding = design.encoding;
  entry.name = design.name;
  entry.note = design.note;

  entry.chromosome.assign(t + 1, 0);
  for (std::size_t i = 0; i < std::min({n, t, design.chromosome.size()}); ++i) {
    entry.chromosome[i] = design.chromosome[i];
  }
  entry.reals.assign(t + static_cast<std::size_t>(shape.parameters) + 1, 0.0);
  for (std::size_t i = 0; i < std::min({n, t, design.reals.size()}); ++i) {
    entry.reals[i] = design.reals[i];
  }
  const std::vector<double> baselines = encodingParameterValues();
  for (int k = 0; k < shape.parameters; ++k) {
    const std::size_t index = static_cast<std::size_t>(k);
    entry.reals[t + index] = n + index < design.reals.size() ? design.reals[n + index]
                                                             : elementOr(baselines, index, 0.0);
  }

  const PerformanceDefinition* performance = findPerformance(agent.performance);
  entry.responses.resize(responseDefinitions.size());
  for (std::size_t i = 0; i < responseDefinitions.size(); ++i) {
    const std::string& name = responseDefinitions[i].name;
    if (context) {
      if (auto it = context->responses.find(name); it != context->responses.end()) {
        entry.responses[i] = dataValueOf(it->second);
        continue;
      }
    }
    if (!performance) continue;
    auto at = std::find(performance->name.begin(), performance->name.end(), name);
    const std::size_t k = static_cast<std::size_t>(at - performance->name.begin());
    if (at != performance->name.end() && k < design.responses.size()) {
      entry.responses[i] = dataValueOf(design.responses[k]);
    }
  }
  for (const Variable* dependent : variablesOfKind(VariableKind::Dependent)) {
    DataValue value;
    if (context) {
      if (auto it = context->numbers.find(dependent->name); it != context->numbers.end()) {
        value = realValue(it->second);
      }
    }
    entry.dependents.push_back(std::move(value));
  }

  entry.performance = design.performance;
  entry.violation = design.violation;
  entry.status = design.status;
  entry.failed = design.failed ? 1 : 0;
  entry.designNumber = design.designNumber;
  entry.generation = design.generation;
  entry.cycle = design.cycle;
  entry.numVariables = design.num_dvar;
  const int count = performance ? performance->count : 0;
  entry.blockInts[0] = agent.representation;
  entry.blockInts[1] = agent.performance;
  entry.blockInts[2] = agent.process;
  entry.blockInts[3] = count;
  entry.blockReals.assign(static_cast<std::size_t>(std::max(shape.performanceBlock - 16, 0)) / 8,
                          0.0);
  for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
    if (2 * i + 1 >= entry.blockReals.size()) break;
    double value = std::numeric_limits<double>::quiet_NaN();
    int status = kStatusError;
    if (i < design.responses.size()) {
      const ResponseValue& response = design.responses[i];
      if (response.present && !response.values.empty()) value = response.values.front();
      status = response.status;
    }
    entry.blockReals[2 * i] = value;
    entry.blockReals[2 * i + 1] = status;
  }
  entry.loops = loops;
  return entry;
}

Design designOfHistoryEntry(const Agent& agent, const HistoryEntry& entry) {
  // The entry's own sizes: T + 1 chromosome fields, T + P + 1 reals.
  const std::size_t t = entry.chromosome.empty() ? 0 : entry.chromosome.size() - 1;
  const std::size_t p = entry.reals.size() > t + 1 ? entry.reals.size() - t - 1 : 0;
  const Representation* representation = findRepresentation(agent.representation);
  const std::size_t n = std::min(
      t, static_cast<std::size_t>(std::max(representation ? representation->num_dvar
                                                          : entry.numVariables, 0)));
  Design design;
  design.representation = agent.representation;
  design.num_dvar = static_cast<int>(n);
  design.source = entry.source;
  design.encoding = entry.encoding;
  design.chromosome.assign(entry.chromosome.begin(),
                           entry.chromosome.begin() + static_cast<std::ptrdiff_t>(n));
  design.reals.reserve(n + p);
  for (std::size_t i = 0; i < n; ++i) design.reals.push_back(elementOr(entry.reals, i, 0.0));
  for (std::size_t k = 0; k < p; ++k) design.reals.push_back(entry.reals[t + k]);
  design.performance = entry.performance;
  design.violation = entry.violation;
  design.status = entry.status;
  design.failed = entry.failed != 0;
  design.designNumber = entry.designNumber;
  design.generation = entry.generation;
  design.cycle = entry.cycle;
  design.name = entry.name;
  design.note = entry.note;

  if (const PerformanceDefinition* performance = findPerformance(agent.performance)) {
    design.responses.reserve(performance->name.size());
    for (std::size_t k = 0; k < performance->name.size(); ++k) {
      const int index = responseIndex(performance->name[k]);
      ResponseValue response;
      if (index >= 0 && static_cast<std::size_t>(index) < entry.responses.size()) {
        response = responseValueOf(entry.responses[static_cast<std::size_t>(index)]);
      }
      // The block keeps each response's status beside its first value.
      if (2 * k + 1 < entry.blockReals.size()) {
        const double status = entry.blockReals[2 * k + 1];
        if (status >= static_cast<double>(kStatusError) &&
            status <= static_cast<double>(kStatusSkipped)) {
          response.status = static_cast<int>(status);
        }
      }
      design.responses.push_back(std::move(response));
    }
  }
  return design;
}

// ---------------------------------------------------------------------------------------
// The file

std::string historyFilePath(int agentNumber, bool extendedPrefix) {
  const std::string& prefix = extendedPrefix && !study.extendedRunPrefix.empty()
                                  ? study.extendedRunPrefix
                                  : run.runPrefix;
  return formatText("%s%c%s%d.hst", run.workingDirectory.c_str(), platform::kPathSeparator,
                    prefix.c_str(), agentNumber);
}

std::string historyFileBytes(const Agent& agent, const AgentResults& results) {
  std::string bytes = headerBytes(agent, results);
  for (const std::string& block : results.history.blocks) bytes += block;
  bytes += counterBytes(results);
  return bytes;
}

void writeHistory(const Agent& agent, AgentResults& results) {
  if (run.settings.historyDisabled) return;
  const std::string path = historyFilePath(agent.number);
  const std::string header = headerBytes(agent, results);
  const std::string counters = counterBytes(results);
  std::vector<std::string_view> pieces;
  pieces.reserve(results.history.blocks.size() + 2);
  pieces.emplace_back(header);
  for (const std::string& block : results.history.blocks) pieces.emplace_back(block);
  pieces.emplace_back(counters);
  const double start = platform::monotonicSeconds();

  // The checksum: full blocks never change, so the sum of the header and the full blocks
  // runs on from the last write while the header stays the same.
  if (header != results.sumHeader || results.sumBlocks > results.history.blocks.size()) {
    results.sumHeader = header;
    results.sumBlocks = 0;
    results.sumPrefix = verifiedChecksum(header);
  }
  const std::size_t fullBlocks =
      results.history.blocks.empty() ? 0 : results.history.blocks.size() - 1;
  for (; results.sumBlocks < fullBlocks; ++results.sumBlocks) {
    results.sumPrefix = verifiedChecksum(results.history.blocks[results.sumBlocks], results.sumPrefix);
  }
  std::uint32_t sum = results.sumPrefix;
  std::size_t size = header.size() + counters.size();
  for (std::size_t b = 0; b < results.history.blocks.size(); ++b) {
    size += results.history.blocks[b].size();
    if (b >= fullBlocks) sum = verifiedChecksum(results.history.blocks[b], sum);
  }
  sum = verifiedChecksum(counters, sum);

  // The checksum file goes first and names the file on disk too, so that a solver killed
  // between the two renames leaves a history that matches one of its two lines.
  HistorySum previous;
  if (results.sumKnown) {
    previous = {true, results.sumBytes, results.sum};
  } else {
    previous = readHistorySumFile(historySumPath(path)).front();
  }
  std::string text = formatText("%s\n%zu %08x\n", kSumFileTitle, size, sum);
  if (previous.present) text += formatText("%zu %08x\n", previous.bytes, previous.sum);
  if (!platform::replaceFileContents(historySumPath(path), text) ||
      !platform::replaceFileContents(path, pieces)) {
    writeMessage(kDestination, "none", formatText(kWriteFailed, agent.number));
    results.lastWriteEnd = platform::monotonicSeconds();
    results.lastWriteFailed = true;
    return;
  }
  results.sumKnown = true;
  results.sumBytes = size;
  results.sum = sum;
  results.lastWriteEnd = platform::monotonicSeconds();
  results.lastWriteSeconds = results.lastWriteEnd - start;
  results.writeSeconds += results.lastWriteSeconds;
  results.lastWriteFailed = false;
  results.slowDesignPending = false;
  ++results.historyWrites;
  results.entriesWritten = results.history.count;
}

std::string historySumPath(const std::string& historyPath) { return historyPath + ".sum"; }

HistorySumCheck historySumCheck(const std::string& historyPath, std::string_view bytes) {
  const std::vector<HistorySum> sums = readHistorySumFile(historySumPath(historyPath));
  if (!sums.front().titled) return HistorySumCheck::kUnchecked;
  const std::uint32_t sum = verifiedChecksum(bytes);
  for (const HistorySum& line : sums) {
    if (line.present && line.bytes == bytes.size() && line.sum == sum) {
      return HistorySumCheck::kMatches;
    }
  }
  return HistorySumCheck::kMismatch;
}

std::string historyDamageText(const std::string& historyPath) {
  return formatText(kDamaged, historyPath.c_str(), historySumPath(historyPath).c_str());
}

int readHistory(Agent& agent, AgentResults& results) {
  ReadingHistory reading;
  results.designsTakenOver = 0;
  results.historyRead = true;
  std::string bytes;
  const std::string path = historyFilePath(agent.number, study.extending && !study.resume);
  if (!readWholeFile(path, bytes)) return 0;
  if (historySumCheck(path, bytes) == HistorySumCheck::kMismatch) {
    writeMessage("outptr|stderr", "warning", historyDamageText(path) + " " + kDamagedNotUsed);
    return 0;
  }
  if (path == historyFilePath(agent.number)) {
    // The file the run's saves replace: the checksum file of the first save names it too.
    results.sumKnown = true;
    results.sumBytes = bytes.size();
    results.sum = verifiedChecksum(bytes);
  }
  AcceptedHistory accepted;
  if (!parseHistory(bytes, agent, accepted)) return 0;
  takeOver(agent, results, accepted);
  return 1;
}

bool historyBeingRead() { return readingHistory; }

void resetHistoryFileState() { printFlagTable().clear(); }

}  // namespace karvo
