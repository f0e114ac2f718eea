// The results database of each agent while a run goes on: the stored-design table that keeps
// an identical design from being evaluated twice, and the encoded history entry of every
// design the agent evaluated or took over (evaluation/history_file.h writes them to the
// agent's ".hst" file). One record per agent number, made on first use.
//
// The two are kept apart on purpose: the table may be switched off (turnOffHashing, or when
// memory for it fails) and then forgets its designs, but the history still records every
// evaluated design.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "evaluation/design_store.h"

namespace karvo {

struct Agent;

// The encoded entries of the history, in table order. Entries are never changed once
// appended; they are kept in blocks of about 1 MB so that the writer hands the file large
// pieces and no entry is copied again when the list grows.
struct HistoryEntries {
  std::vector<std::string> blocks;  // concatenated entries; every block but the last is full
  std::size_t count = 0;            // entries appended
  std::size_t bytes = 0;            // total bytes of all entries
};

// Appends one encoded entry.
void appendHistoryEntry(HistoryEntries& entries, std::string_view entry);

struct AgentResults {
  bool storeCreated = false;    // `store` has been set up for the agent
  DesignStore store;            // the stored-design table
  HistoryEntries history;       // one entry per design of the history
  int counters[3] = {0, 0, 0};  // the agent counters of the history file's last item:
                                // evaluations done, cycles done, generations done
  int designsTakenOver = 0;     // designs taken over from the history by the last read
  bool historyRead = false;     // the history was read (or refused) for this run
  bool userDesignsRead = false; // a user designs file has been read for the agent before
  long historyWrites = 0;       // writes of the history file in this run
  std::size_t entriesWritten = 0;  // history.count at the last write
  double lastWriteSeconds = 0;  // how long the last write of the history file took
  double lastWriteEnd = 0;      // when it ended (platform::monotonicSeconds)
  double writeSeconds = 0;      // all writes of the history file in this run
  // An extended run goes on from the agent's last checkpoint, which may be older than the
  // history: the designs evaluated after it are kept aside in `replay` (numbers in
  // `replayPending`) instead of the table. When the search proposes one of them again (it
  // does, drawing what it drew before), it takes its results and its number as if it had
  // just been evaluated, and only then enters the table; its history entry is already kept.
  // New designs never take a pending number.
  int replayAfter = -1;         // the checkpoint's design count; -1: nothing is kept aside
  DesignStore replay;
  std::set<int> replayPending;
};

// The record of `agent`, made on first use; the stored-design table is created on first use
// with the agent's encoding context and the study option `turnOffHashing`.
AgentResults& agentResults(const Agent& agent);

// Back to no records (start of a run, tests).
void resetAgentResults();

// Whether the save point at the end of a batch rewrites the history file now. It does
// unless the work since the last write took less than nine times as long as that write: a
// study of designs that cost next to nothing then spends at most a tenth of its time on its
// history, and a crash can cost it only the designs of that short time (their folders stay).
// Designs that take seconds or more are always saved at once. The saves after each design
// (saveHistoryForEachEval) and at the end of the run are never put off.
bool historySaveDue(const AgentResults& results);

// The responses whose values each loop case of a design keeps in the history: the study
// responses of the agent's performance definition, each name once, in order.
std::vector<std::string> historyLoopValueNames(const Agent& agent);

// Rewrites the history file of every agent whose history has grown since it was last
// written (the closing steps of a run, also after a fatal error).
void saveChangedHistories();

}  // namespace karvo
