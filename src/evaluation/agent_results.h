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
#include <cstdint>
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
  bool lastWriteFailed = false; // the last write of the history file failed
  bool slowDesignPending = false;  // a design that took a second or more waits for a write
  // The checksum file beside the history (history_file.h): what the file on disk holds as
  // far as this run knows, and the checksum of the header and the full entry blocks of the
  // last write, from which the next write of the same header runs on.
  bool sumKnown = false;        // sumBytes and sum describe the history file on disk
  std::size_t sumBytes = 0;     // its size
  std::uint32_t sum = 0;        // its checksum
  std::string sumHeader;        // header bytes of the last write
  std::size_t sumBlocks = 0;    // full entry blocks summed after that header
  std::uint32_t sumPrefix = 0;  // checksum of the header and those blocks
  // An extended run goes on from the agent's last checkpoint, which may be older than the
  // history: the designs evaluated after it are kept aside in `replay` (numbers in
  // `replayPending`) instead of the table. When the search proposes one of them again (it
  // does, drawing what it drew before), it takes its results and its number as if it had
  // just been evaluated, and only then enters the table; its history entry is already kept.
  // New designs never take a pending number.
  int replayAfter = -1;         // the checkpoint's design count; -1: nothing is kept aside
  DesignStore replay;
  std::set<int> replayPending;
  // The answer of the agent so far (agentResultsConsider): its feasible design of the highest
  // performance, else its least infeasible design (smallest violation); failed designs never.
  bool haveBest = false;        // `best` holds a design
  Design best;
};

// Takes an evaluated design (of this run, or taken over from the history) into account for
// the agent's best design.
void agentResultsConsider(AgentResults& results, const Design& design);

// The record of `agent`, made on first use; the stored-design table is created on first use
// with the agent's encoding context and the study option `turnOffHashing`.
AgentResults& agentResults(const Agent& agent);

// Back to no records (start of a run, tests).
void resetAgentResults();

// Whether the save point at the end of a batch rewrites the history file now. It does
// unless the work since the last write took less than nine times as long as that write: a
// study of designs that cost next to nothing then spends at most a tenth of its time on its
// history. The saves after each design (saveHistoryForEachEval) and at the end of the run
// are never put off.
bool historySaveDue(const AgentResults& results);

// Within a batch, designs stored since the last write are saved by themselves, so that a
// killed batch loses only its last seconds (historySaveTime tells when):
//   - at once when one of them took a second or more (`slowDesignPending`);
//   - otherwise once kHistorySaveGapSeconds have passed since the last write;
//   - never sooner than nine times the last write's cost after it (the rule above);
//   - kHistoryRetrySeconds after a write that failed.
inline constexpr double kHistorySlowDesignSeconds = 1.0;
inline constexpr double kHistorySaveGapSeconds = 2.0;
inline constexpr double kHistoryRetrySeconds = 60.0;

// The monotonic time (platform::monotonicSeconds) from which the designs the history file
// does not hold yet are due to be written; +infinity when it holds them all or the run
// writes no history.
double historySaveTime(const AgentResults& results);

// The responses whose values each loop case of a design keeps in the history: the study
// responses of the agent's performance definition, each name once, in order.
std::vector<std::string> historyLoopValueNames(const Agent& agent);

// Rewrites the history file of every agent whose history has grown since it was last
// written (the closing steps of a run, also after a fatal error).
void saveChangedHistories();

}  // namespace karvo
