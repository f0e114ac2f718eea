// The per-agent records of a search method (a std::map from agent number to the method's run
// record) as a checkpoint keeps them.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

#include "base/state_archive.h"

namespace karvo::search {

// Keeps agent `agent`'s record of `table`: a mark, whether the agent has a record, then the
// record's fields as `fields(archive, record)` lists them. On reading, the record read
// replaces the agent's (none read: the agent's record is removed) only when the whole of it
// was read and `sound(record)` holds; otherwise the archive fails and the table stays as it
// was.
template <class Run, class Fields, class Sound>
void keepAgentRecord(std::map<int, Run>& table, int agent, StateArchive& archive,
                     std::int32_t mark, Fields&& fields, Sound&& sound) {
  archive.mark(mark);
  const auto found = table.find(agent);
  bool present = found != table.end();
  archive.item(present);
  if (!archive.reading()) {
    if (present) fields(archive, found->second);
    return;
  }
  Run read;
  if (present) fields(archive, read);
  if (archive.ok() && present && !sound(read)) archive.fail();
  if (!archive.ok()) return;
  if (present) {
    table[agent] = std::move(read);
  } else {
    table.erase(agent);
  }
}

// The same for a record whose fields keepFields(StateArchive&, Run&) lists.
template <class Run, class Sound>
void keepAgentRecord(std::map<int, Run>& table, int agent, StateArchive& archive,
                     std::int32_t mark, Sound&& sound) {
  keepAgentRecord(table, agent, archive, mark, [](StateArchive& a, Run& r) { a.item(r); },
                  sound);
}

}  // namespace karvo::search
