// The history file of an agent, "<working directory>/<run prefix><agent>.hst": every design
// the agent evaluated or took over, with enough of the problem's structure for a later run to
// tell whether the designs are still valid for it. A resumed or extended run reads it back so
// that no stored design is evaluated again.
//
// Layout (little-endian; int32 and 64-bit reals; a string is an int32 length and its bytes;
// typed values as in base/data_value.h), in this order:
//   1. header            version (201901), the agent's stochastic-fitness flag
//   2. variables         V; per slot of the agent's representation: id, kind, resolution
//                        mode, resolution, lower, upper, distribution name, distribution
//                        type word ("NONE" when the slot has no distribution)
//   3. print flags       D and one int32 per dependent variable; P and one per parameter
//   4. performance       N; N analysis ids (eval_tool); N directions (opt); N value types
//   5. designs           S; S entries (HistoryEntry below)
//   6. counters          three int32 (AgentResults::counters)
//
// Each design entry is encoded once, when the design is stored (encodeHistoryEntry), and kept
// as bytes (agent_results.h): a rewrite of the file writes the header, the kept entries and
// the counters in large blocks. A rewrite replaces the file atomically (a temporary file in the
// same folder, flushed and synced, renamed over the old one), so that a solver killed at any
// moment leaves either the previous or the new complete file.
//
// Beside the history lies its checksum file, "<history path>.sum" (a few lines of text):
//   KARVO history checksum 1
//   <bytes> <checksum>     the file as last written
//   <bytes> <checksum>     the file before it (absent when there was none)
// with the size in decimal and the 32-bit FNV-1a checksum (base/verified_file.h) as eight
// hex digits. A write replaces the checksum file first and the history after it, each
// atomically: a solver killed between the two leaves the previous history, which the second
// line names. A reader accepts a history that matches either line; a history without a
// checksum file (or with a file of another kind) is read unchecked, as files of earlier
// solvers are; one that matches neither line was changed after it was written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/data_value.h"
#include "base/design.h"

namespace karvo {

struct Agent;
struct AgentResults;
struct EvaluationContext;

inline constexpr int kHistoryVersion = 201901;

// The sizes that the design entries of a study share; they follow from the study's
// definitions (historyShapeOfStudy) and must be the same for the writer and the reader.
struct HistoryShape {
  int totalVariables = 0;  // T: design variables (continuous and discrete) of the study
  int parameters = 0;      // P: fixed (numeric) parameters, in variable-table order
  int responses = 0;       // R: responses of the study (responseDefinitions), in file order
  int dependents = 0;      // D: dependent variables, in variable-table order
  int performanceBlock = 16;  // bytes of item 11: 16 + 16 x (largest count of responses of
                           // any performance definition), 16 + 32 x that when some agent of
                           // the run has stochastic fitness
  int loopValues = 0;      // per loop case: values of the distinct performance-response names
                           // of the agent (item 14)
  bool componentMapping = false;  // item 12 present (never, in this solver)
};

// The per-case data of one loop that a design carries (item 14).
struct HistoryLoopCases {
  std::string name;                       // loop name
  std::vector<std::string> caseValues;    // C case values, as texts
  std::vector<std::vector<double>> performanceValues;  // per case: loopValues reals
  std::vector<std::vector<DataValue>> dependentValues; // per case: D values; a missing value
                                          // is written as presence flag 0
  std::int32_t trailer = 0;               // the int32 after the last case: cases that ran
};

// One design entry of the file, every item in file order.
struct HistoryEntry {
  std::int32_t source = 0;                // 1: agent that made the design
  std::int32_t encoding = kEncodingChromosome;  // 2
  std::string name;                       // 3: design name ("" when it has none)
  std::string note;                       // 4: second text field
  std::vector<std::int32_t> chromosome;   // 5: T + 1 (the design's num_dvar fields, zeros)
  std::vector<double> reals;              // 6: T + P + 1 (variables padded to T with zeros,
                                          //    then the parameters, then 0)
  std::vector<DataValue> responses;       // 7: R
  std::vector<DataValue> dependents;      // 8: D
  double performance = 0.0;               // 9: performance,
  double violation = 0.0;                 //    the second performance value (the violation),
  double kept[4] = {0.0, 1e308, -1e308, 0.0};  // four reals kept with the entry
  std::int32_t status = 0;                // 10: the two kept integers: status,
  std::int32_t failed = 0;                //     failed flag;
  std::int32_t designNumber = 0;          //     bookkeeping: design number, generation,
  std::int32_t generation = 0;            //     cycle;
  std::int32_t cycle = 0;
  std::int32_t numVariables = 0;          //     the design's num_dvar
  std::int32_t blockInts[4] = {0, 0, 0, 0};  // 11: representation, performance number,
                                          //     process, response count of the agent
  std::vector<double> blockReals;         //     K = (block - 16) / 8: per performance response
                                          //     its first value then its status (NaN/0 padding)
  std::vector<HistoryLoopCases> loops;    // 13, 14
};

// The shape of the running study (definitions, responses, performance definitions, agents);
// loopValues is left 0: it belongs to the agent whose file holds the entries.
HistoryShape historyShapeOfStudy();

// historyShapeOfStudy with the agent's loopValues (historyLoopValueNames of
// agent_results.h): the shape of every entry of its file.
HistoryShape historyShapeOfAgent(const Agent& agent);

// Appends the bytes of `entry` to `out`. Vectors shorter than the shape asks for are padded
// with zeros (missing typed values), longer ones are cut. Item 12 is never written; the
// strings of items 3-4 and the violation of item 9 always are (current version).
void encodeHistoryEntry(std::string& out, const HistoryEntry& entry, const HistoryShape& shape);

// Reads one entry written by a file of `version` (the strings of items 3-4 only from version
// 201505, the violation of item 9 only from version 600). False on malformed or truncated
// input; `reader.at` is then unspecified.
bool decodeHistoryEntry(ByteReader& reader, const HistoryShape& shape, int version,
                        HistoryEntry& entry);

// The entry of an evaluated design of `agent`: `context` holds its responses and dependent
// values (null: none), `loops` the per-case data the flow kept. A project response that the
// context does not hold is taken from design.responses when the agent's performance
// definition names it; parameters missing from design.reals take their current values.
// `shape`, when given, is historyShapeOfAgent(agent), which a caller that stores many designs
// works out once.
HistoryEntry historyEntryOf(const Agent& agent, const Design& design,
                            const EvaluationContext* context,
                            const std::vector<HistoryLoopCases>& loops,
                            const HistoryShape* shape = nullptr);

// The design an entry describes for `agent`: representation, chromosome and real values cut
// to its representation, responses of its performance definition (by name from the project
// responses), performance, violation, status, failed flag, numbers. Each response's status
// comes back from the performance block; T and P are taken from the entry's vector sizes.
Design designOfHistoryEntry(const Agent& agent, const HistoryEntry& entry);

// "<working directory>/<prefix><agent>.hst"; the prefix is the run prefix, or the prefix of
// the run being extended when `extendedPrefix` is set (and that prefix is known).
std::string historyFilePath(int agentNumber, bool extendedPrefix = false);

// The bytes of the whole file of `agent` from its results.
std::string historyFileBytes(const Agent& agent, const AgentResults& results);

// Rewrites the agent's history file from its results, unless the run disables the history
// (the run option `disableHistory` or the command-line option). The header, each kept block
// and the counters go to the file as separate pieces. Never stops the run: a failure writes
// "\n\t**** WARNING ****\n" and "\n\t Could not write history file for agent %d." to the
// message file and leaves the previous file as it was. The checksum file is written first
// (see the top of this file). A write counts in results.historyWrites and sets
// results.entriesWritten.
void writeHistory(const Agent& agent, AgentResults& results);

// "<historyPath>.sum".
std::string historySumPath(const std::string& historyPath);

enum class HistorySumCheck {
  kUnchecked,  // no checksum file (or not one of ours): nothing to check against
  kMatches,    // `bytes` are the history as the solver last wrote it (or the write before)
  kMismatch,   // the history was changed or damaged after it was written
};

// Checks `bytes`, the content of the history at `historyPath`, against its checksum file.
HistorySumCheck historySumCheck(const std::string& historyPath, std::string_view bytes);

// "The history file \"<path>\" does not match the checksum kept in \"<path>.sum\": it was
// changed or damaged after the solver wrote it."
std::string historyDamageText(const std::string& historyPath);

// Reads the agent's history file back (the reading steps: version gate, structure checks,
// refusals, design list of a continuing study) and takes its designs over into `results`:
// the stored-design table, the kept entries, the counters when extending, and the agent's
// design numbering (agent.evaluatedDesigns continues after the largest design number read).
// Answers 1 when the file was accepted (its designs, possibly none, taken over), 0 when it
// is missing or was refused (the table and the entries are then left as they were: empty at
// the start of a run). A file that does not match its checksum file is refused with the
// warning historyDamageText + " Its designs are not taken over; ..." on the message file and
// the terminal: designs whose values may have changed are not trusted. Only a file of another version (fatalError) and a continuing-study
// design list that cannot be parsed end the run. The file read is the one of the run being
// extended when the study extends a run and is not resumed.
// Messages go to the message file: refusals as warnings, the closing count as a note.
// The print flags the file stores are kept for the agent and written by later rewrites.
int readHistory(Agent& agent, AgentResults& results);

// True while readHistory runs.
bool historyBeingRead();

// Forgets the print flags read from history files (start of a run, tests).
void resetHistoryFileState();

}  // namespace karvo
