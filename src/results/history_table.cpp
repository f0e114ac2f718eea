// An agent's history file read as a table for the commands that look at results. Unlike a
// resumed run, which reads the file to take its designs over (and leaves a file that does not
// fit aside with a warning), this reading only names the stored values: it checks that the
// file's sections fit the study, decodes every entry with the run's own decoder and keeps the
// values a user asks for. It writes no message and changes no state of the study.
#include "results/history_table.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/data_value.h"
#include "base/design.h"
#include "base/messages.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/response_definitions.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/history_file.h"

namespace karvo {

namespace {

// Components of a vector or text value with several cells are joined with this.
constexpr const char* kComponentSeparator = ";";

bool readWholeFile(const std::string& path, std::string& bytes, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = formatText("History file %s cannot be read (%s).", path.c_str(),
                       std::strerror(errno));
    return false;
  }
  char buffer[1 << 16];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  if (!ok) error = formatText("History file %s cannot be read.", path.c_str());
  return ok;
}

bool readString(ByteReader& reader, std::string& text) {
  std::int32_t length = 0;
  return readInt32(reader, length) && length >= 0 &&
         readText(reader, static_cast<std::size_t>(length), text);
}

bool skipInt32s(ByteReader& reader, std::int32_t count) {
  if (count < 0 || static_cast<std::size_t>(count) > bytesLeft(reader) / 4) return false;
  reader.at += 4 * static_cast<std::size_t>(count);
  return true;
}

// The text and number of a typed value (see HistoryTable::Row).
void cellsOf(const DataValue& value, std::string& text, double& number) {
  text.clear();
  number = std::numeric_limits<double>::quiet_NaN();
  const std::size_t count = cellCount(value);
  if (count == 0) return;
  std::string joined;
  for (std::size_t i = 0; i < count; ++i) {
    const DataCell& cell = value.cells[i];
    if (!cell.present) return;  // an unset component: the value is missing
    if (i > 0) joined += kComponentSeparator;
    switch (cell.type) {
      case kCellReal: joined += formatText("%.17g", cell.real); break;
      case kCellInteger: joined += formatText("%lld", static_cast<long long>(cell.integer)); break;
      case kCellString: joined += cell.text; break;
      default: return;
    }
  }
  text = std::move(joined);
  if (count == 1 && value.cells[0].type == kCellReal) number = value.cells[0].real;
  if (count == 1 && value.cells[0].type == kCellInteger) {
    number = static_cast<double>(value.cells[0].integer);
  }
}

// Sections 1 to 4 of the file against the study; on success `shape` holds the entries'
// shape and `designs` their count.
bool readHeader(ByteReader& reader, const Agent& agent, const std::string& path,
                HistoryShape& shape, std::int32_t& designs, std::string& error) {
  const char* file = path.c_str();
  auto cutShort = [&]() {
    error = formatText("History file %s is cut short: it ends inside its header.", file);
    return false;
  };
  std::int32_t version = 0, stochastic = 0;
  if (!readInt32(reader, version)) return cutShort();
  if (version != kHistoryVersion) {
    error = formatText("History file %s has layout version %d, not %d: it was not written by "
                       "this solver version.",
                       file, version, kHistoryVersion);
    return false;
  }
  if (!readInt32(reader, stochastic)) return cutShort();
  if (stochastic != agent.stochasticFitness) {
    error = formatText("History file %s does not fit agent %d of the study: the stochastic "
                       "fitness setting differs.",
                       file, agent.number);
    return false;
  }

  const Representation* representation = findRepresentation(agent.representation);
  const std::size_t slots = representation ? representation->slots.size() : 0;
  std::int32_t count = 0;
  if (!readInt32(reader, count)) return cutShort();
  if (count < 0 || static_cast<std::size_t>(count) != slots) {
    error = formatText("History file %s does not fit agent %d of the study: it holds %d design "
                       "variables, the agent's representation %zu.",
                       file, agent.number, count, slots);
    return false;
  }
  for (std::size_t i = 0; i < slots; ++i) {
    std::int32_t id = 0, kind = 0, mode = 0, resolution = 0;
    double lower = 0.0, upper = 0.0;
    std::string name, type;
    if (!readInt32(reader, id) || !readInt32(reader, kind) || !readInt32(reader, mode) ||
        !readInt32(reader, resolution) || !readReal(reader, lower) || !readReal(reader, upper) ||
        !readString(reader, name) || !readString(reader, type)) {
      return cutShort();
    }
    const VariableSlot& slot = representation->slots[i];
    if (id != slot.id || kind != slot.kind) {
      error = formatText("History file %s does not fit agent %d of the study: design variable "
                         "%zu of the file is not \"%s\".",
                         file, agent.number, i + 1, slot.name.c_str());
      return false;
    }
  }

  shape = historyShapeOfAgent(agent);
  std::int32_t dependents = 0, parameters = 0;
  if (!readInt32(reader, dependents) || !skipInt32s(reader, dependents) ||
      !readInt32(reader, parameters) || !skipInt32s(reader, parameters)) {
    return cutShort();
  }
  if (parameters != shape.parameters) {
    error = formatText("History file %s does not fit the study: it holds %d fixed parameters, "
                       "the study %d.",
                       file, parameters, shape.parameters);
    return false;
  }
  // Dependent values are not part of the table; the entries carry as many as the file says.
  shape.dependents = dependents;

  const PerformanceDefinition* performance = findPerformance(agent.performance);
  const int responses = performance ? performance->count : 0;
  if (!readInt32(reader, count)) return cutShort();
  if (count != responses) {
    error = formatText("History file %s does not fit agent %d of the study: its performance "
                       "has %d responses, the agent's %d.",
                       file, agent.number, count, responses);
    return false;
  }
  if (!skipInt32s(reader, count) || !skipInt32s(reader, count) || !skipInt32s(reader, count) ||
      !readInt32(reader, designs)) {
    return cutShort();
  }
  if (designs < 0) {
    error = formatText("History file %s is damaged: its design count is %d.", file, designs);
    return false;
  }
  return true;
}

HistoryTable::Row rowOf(const HistoryEntry& entry, std::size_t variables,
                        std::size_t totalVariables) {
  HistoryTable::Row row;
  row.designNumber = entry.designNumber;
  row.name = entry.name;
  row.agent = entry.source;
  const bool failed = entry.failed != 0 || entry.status == kDesignError;
  row.status = failed ? "failed" : "ok";
  row.feasible = !failed && (entry.status == kDesignSuccess || entry.status == kDesignFeasible);
  row.performance = entry.performance;
  row.violation = entry.violation;
  row.cycle = entry.cycle;
  row.generation = entry.generation;
  row.variables.assign(entry.reals.begin(),
                       entry.reals.begin() + static_cast<std::ptrdiff_t>(variables));
  row.parameters.assign(entry.reals.begin() + static_cast<std::ptrdiff_t>(totalVariables),
                        entry.reals.end() - 1);
  row.responseTexts.resize(entry.responses.size());
  row.responseValues.resize(entry.responses.size());
  for (std::size_t i = 0; i < entry.responses.size(); ++i) {
    cellsOf(entry.responses[i], row.responseTexts[i], row.responseValues[i]);
  }
  return row;
}

}  // namespace

bool readHistoryTable(int agentNumber, const std::string& path, HistoryTable& table,
                      std::string& error) {
  table = HistoryTable{};
  const Agent* agent = findAgent(agentNumber);
  if (!agent) {
    error = formatText("The study has no agent %d for history file %s.", agentNumber,
                       path.c_str());
    return false;
  }
  std::string bytes;
  if (!readWholeFile(path, bytes, error)) return false;
  if (historySumCheck(path, bytes) == HistorySumCheck::kMismatch) {
    table.warning = historyDamageText(path) + " The values read from it may be wrong.";
  }

  ByteReader reader = byteReaderOf(bytes);
  HistoryShape shape;
  std::int32_t designs = 0;
  if (!readHeader(reader, *agent, path, shape, designs, error)) return false;

  if (const Representation* representation = findRepresentation(agent->representation)) {
    for (const VariableSlot& slot : representation->slots) table.variables.push_back(slot.name);
  }
  for (const Variable& variable : definitions.variables) {
    if (variable.kind == VariableKind::FixedParameter) table.parameters.push_back(variable.name);
  }
  for (const ResponseDefinition& response : responseDefinitions) {
    table.responses.push_back(response.name);
  }

  const std::size_t variables = table.variables.size();
  const std::size_t totalVariables = static_cast<std::size_t>(shape.totalVariables);
  if (variables > totalVariables) {
    error = formatText("History file %s does not fit the study: the agent has more design "
                       "variables than the study.",
                       path.c_str());
    return false;
  }
  HistoryEntry entry;
  for (std::int32_t i = 0; i < designs; ++i) {
    if (!decodeHistoryEntry(reader, shape, kHistoryVersion, entry)) {
      error = formatText("History file %s does not fit the study or is cut short: design entry "
                         "%d of %d cannot be read with the study's sizes.",
                         path.c_str(), i + 1, designs);
      table.rows.clear();
      return false;
    }
    table.rows.push_back(rowOf(entry, variables, totalVariables));
  }
  // The three counters close the file.
  if (bytesLeft(reader) != 12) {
    error = bytesLeft(reader) < 12
                ? formatText("History file %s is cut short: it ends before its closing "
                             "counters.",
                             path.c_str())
                : formatText("History file %s does not fit the study: %zu bytes follow its "
                             "design entries, not 12.",
                             path.c_str(), bytesLeft(reader));
    table.rows.clear();
    return false;
  }
  return true;
}

}  // namespace karvo
