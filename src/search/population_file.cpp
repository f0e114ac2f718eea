// The population file of a search agent, "<prefix><agent>.mem"; see population_file.h.
#include "search/population_file.h"

#include <algorithm>
#include <cstdio>

#include "base/data_value.h"
#include "base/messages.h"
#include "base/verified_file.h"
#include "definitions/representation.h"
#include "search/population.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "evaluation/history_file.h"

namespace karvo::search {

namespace {

constexpr int kMemOpenAttempts = 10;

void toErrorLog(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}



int nominalRecordSize(int variables, int parameters, int block) {
  return block + 4 * (variables + 2 * (variables + parameters + 8)) +
         (variables % 2 == 0 ? 4 : 0);
}

void appendMemberRecord(std::string& out, const Agent& agent, const Design& design, double raw,
                        const HistoryShape& shape) {
  const HistoryEntry entry = historyEntryOf(agent, design, nullptr, {}, &shape);
  const int v = static_cast<int>(design.chromosome.size());
  std::string record;
  appendInt32(record, 0);  // the size, filled in below
  for (int word : {v, design.representation, design.source, design.status,
                   design.failed ? 1 : 0, design.encoding}) {
    appendInt32(record, word);
  }
  for (int i = 0; i < v + shape.parameters; ++i) {
    appendReal(record, static_cast<std::size_t>(i) < design.reals.size()
                           ? design.reals[static_cast<std::size_t>(i)]
                           : 0.0);
  }
  for (int r = 0; r < shape.responses; ++r) {
    writeValue(record, static_cast<std::size_t>(r) < entry.responses.size()
                           ? entry.responses[static_cast<std::size_t>(r)]
                           : DataValue{});
  }
  for (int d = 0; d < shape.dependents; ++d) {
    writeValue(record, static_cast<std::size_t>(d) < entry.dependents.size()
                           ? entry.dependents[static_cast<std::size_t>(d)]
                           : DataValue{});
  }
  appendReal(record, raw);
  appendReal(record, design.performance);
  appendReal(record, design.violation);
  for (int word : {design.designNumber, design.generation, design.cycle, design.tag}) {
    appendInt32(record, word);
  }
  for (int field : design.chromosome) appendInt32(record, field);
  if (v % 2 == 0) appendInt32(record, 0);
  for (std::int32_t word : entry.blockInts) appendInt32(record, word);
  const std::size_t reals = static_cast<std::size_t>(std::max(shape.performanceBlock - 16, 0) / 8);
  for (std::size_t k = 0; k < reals; ++k) {
    appendReal(record, k < entry.blockReals.size() ? entry.blockReals[k] : 0.0);
  }
  const std::int32_t size = static_cast<std::int32_t>(record.size());
  std::string word;
  appendInt32(word, size);
  record.replace(0, 4, word);
  out += record;
}

// One member record from `reader` (positioned at its size word). False when it is malformed.
bool readMemberRecord(ByteReader& reader, const Agent& agent, const HistoryShape& shape,
                      Design& design, double& raw) {
  const std::size_t start = reader.at;
  std::int32_t size = 0;
  if (!readInt32(reader, size) || size < 28 ||
      static_cast<std::size_t>(size) - 4 > bytesLeft(reader)) {
    return false;
  }
  ByteReader record{reader.data + start, static_cast<std::size_t>(size), 4};
  std::int32_t words[6] = {};
  for (std::int32_t& word : words) {
    if (!readInt32(record, word)) return false;
  }
  const int v = words[0];
  if (v < 0 || static_cast<std::size_t>(v) > bytesLeft(record) / 4) return false;
  HistoryEntry entry;
  std::vector<double> reals(static_cast<std::size_t>(v + shape.parameters));
  for (double& value : reals) {
    if (!readReal(record, value)) return false;
  }
  entry.responses.resize(static_cast<std::size_t>(shape.responses));
  for (DataValue& value : entry.responses) {
    if (!readValue(record, value)) return false;
  }
  entry.dependents.resize(static_cast<std::size_t>(shape.dependents));
  for (DataValue& value : entry.dependents) {
    if (!readValue(record, value)) return false;
  }
  double performance = 0.0, violation = 0.0;
  std::int32_t stamps[4] = {};
  if (!readReal(record, raw) || !readReal(record, performance) || !readReal(record, violation)) {
    return false;
  }
  for (std::int32_t& word : stamps) {
    if (!readInt32(record, word)) return false;
  }
  std::vector<int> chromosome(static_cast<std::size_t>(v));
  for (int& field : chromosome) {
    if (!readInt32(record, field)) return false;
  }
  std::int32_t padding = 0;
  if (v % 2 == 0 && !readInt32(record, padding)) return false;
  for (std::int32_t& word : entry.blockInts) {
    if (!readInt32(record, word)) return false;
  }
  const std::size_t blockReals =
      static_cast<std::size_t>(std::max(shape.performanceBlock - 16, 0) / 8);
  if (blockReals > bytesLeft(record) / 8) return false;
  entry.blockReals.resize(blockReals);
  for (double& value : entry.blockReals) {
    if (!readReal(record, value)) return false;
  }
  // The responses come back by name through the history's own reading.
  entry.chromosome = chromosome;
  entry.chromosome.push_back(0);
  entry.reals.assign(reals.begin(), reals.begin() + v);
  entry.reals.insert(entry.reals.end(), reals.begin() + v, reals.end());
  entry.reals.push_back(0.0);
  entry.numVariables = v;
  design = designOfHistoryEntry(agent, entry);
  design.num_dvar = v;
  design.representation = words[1];
  design.source = words[2];
  design.status = words[3];
  design.failed = words[4] != 0;
  design.encoding = words[5];
  design.chromosome = std::move(chromosome);
  design.reals = std::move(reals);
  design.performance = performance;
  design.violation = violation;
  design.designNumber = stamps[0];
  design.generation = stamps[1];
  design.cycle = stamps[2];
  design.tag = stamps[3];
  reader.at = start + static_cast<std::size_t>(size);
  return true;
}

}  // namespace

bool multiObjectiveSearch(const Agent& agent) {
  return agent.method.code == kMethodParetoTolmar || agent.method.code == kMethodNsga;
}

std::string populationFileData(const Agent& agent, const Population& population,
                               int stamp) {
  const HistoryShape shape = historyShapeOfAgent(agent);
  const int v = static_cast<int>(population.fieldSizes.size());
  int bestIndex = -1;
  for (std::size_t i = 0; i < population.members.size(); ++i) {
    if (population.bestEver.valid &&
        population.members[i].design.designNumber == population.bestEver.design.designNumber) {
      bestIndex = static_cast<int>(i);
      break;
    }
  }
  std::string data;
  for (int word : {kHistoryVersion, static_cast<int>(population.members.size()),
                   nominalRecordSize(v, shape.parameters, shape.performanceBlock), stamp, v,
                   bestIndex, multiObjectiveSearch(agent) ? 1 : 0}) {
    appendInt32(data, word);
  }
  for (const Member& member : population.members) appendInt32(data, member.origin);
  for (const Member& member : population.members) {
    appendMemberRecord(data, agent, member.design, member.raw, shape);
  }
  if (population.bestEver.valid) {
    appendMemberRecord(data, agent, population.bestEver.design, population.bestEver.raw, shape);
  } else if (!population.members.empty()) {
    appendMemberRecord(data, agent, population.members.front().design,
                       population.members.front().raw, shape);
  }
  return data;
}

bool InitCPRead(PopulationFile& file, const std::string& path, int stamp) {
  file = PopulationFile{};
  VerifiedSlot current, other;
  if (readVerifiedFile(path, current, other, kMemOpenAttempts) != VerifiedRead::kRead) return false;
  // A write cut off between the two files leaves the population file one step ahead of
  // the header: its other slot then holds the population the header belongs to.
  VerifiedSlot* slot = stamp < 0 ? (current.valid ? &current : nullptr)
                       : current.valid && current.stamp == stamp ? &current
                       : other.valid && other.stamp == stamp     ? &other
                                                                 : nullptr;
  if (!slot) return false;
  file.previousSlot = slot == &other;
  ByteReader reader = byteReaderOf(slot->data);
  std::int32_t words[7] = {};
  for (std::int32_t& word : words) {
    if (!readInt32(reader, word)) return false;
  }
  if (words[0] != kHistoryVersion || words[1] < 0 ||
      static_cast<std::size_t>(words[1]) > bytesLeft(reader) / 4) {
    return false;
  }
  reader.at += 4 * static_cast<std::size_t>(words[1]);  // the members' origin flags
  const bool previous = file.previousSlot;
  file.open = true;
  file.previousSlot = previous;
  file.path = path;
  file.data = std::move(slot->data);
  file.first = reader.at;
  file.members = words[1];
  file.stamp = words[3];
  file.bestIndex = words[5];
  return true;
}

bool NthMemRead(PopulationFile& file, const Agent& agent, int n, Design& design, double& raw) {
  if (!file.open) {
    toErrorLog("No file pointer in NthMemRead().\n");
    return false;
  }
  ByteReader reader = byteReaderOf(file.data);
  reader.at = file.first;
  for (int i = 0; i < n; ++i) {
    std::int32_t size = 0;
    if (!readInt32(reader, size)) {
      toErrorLog(formatText("Can't read member size in NthMemRead(%d).\n", n));
      return false;
    }
    const std::size_t next = reader.at - 4 + static_cast<std::size_t>(std::max(size, 0));
    if (size < 4 || next > file.data.size()) {
      toErrorLog(formatText("Can't set filepointer to %ld in NthMemRead(%d).\n",
                            static_cast<long>(next), n));
      return false;
    }
    reader.at = next;
  }
  if (!file.haveShape) {
    file.shape = historyShapeOfAgent(agent);
    file.haveShape = true;
  }
  return readMemberRecord(reader, agent, file.shape, design, raw);
}

bool EndCPRead(PopulationFile& file) {
  const bool wasOpen = file.open;
  file = PopulationFile{};
  return wasOpen;
}

}  // namespace karvo::search
