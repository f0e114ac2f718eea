// The checkpoint of a search agent: the population file "<prefix><agent>.mem" and the
// checkpoint header "<prefix><agent>.ckp" in the study folder, both written through the
// verified two-slot file (base/verified_file.h) at the end of every cycle, and read back by a
// run of study type `extend`, which then goes on exactly where the stopped run was.
//
// Population file (slot data, little-endian int32 and 64-bit reals):
//   header   version (201901), population size N, nominal member record size (performance
//            block + 4 x (V + 2 x (V + P + 8)), + 4 when V is even), the checkpoint stamp
//            (cycles the agent had completed), V, the index of the best member (-1: none),
//            1 for a multi-objective agent, then per member its origin flags
//   records  N members in population order, no random pool members, then the baseline
//            design (the agent's best-ever design when it has one, else the first member)
// Member record: record size in bytes (this word included); V, representation, source,
// status, failed flag, encoding; V + P reals (variables, then parameters); each project
// response as a typed value, then each dependent variable; the member's raw fitness, the
// performance and the constraint violation; design number, generation, cycle and tag; the
// V field values; an int32 0 when V is even; the performance block of the history file.
//
// Checkpoint header (slot data): magic 45723, version, the search set size twice, then
// int32: stamp, generation, designs evaluated, V, R (project responses), response storage
// size (the history's performance block), multi-objective flag, method code, best raw
// fitness as a real and its design number as int32; then three length-prefixed sections
// written through base/state_archive.h: the agent (run state and history counters) with
// the genetic core's population state, the method's own state, the random generator.
// docs/checkpoints.md has the whole field order.
#pragma once

#include <string>

#include "base/design.h"
#include "definitions/method_settings.h"

namespace karvo {

struct Agent;
struct RandomState;

inline constexpr int kCheckpointMagic = 45723;

// Writes the agent's checkpoint at the end of a cycle in which it ran: its history file
// first when it has grown (so that the history holds every design the checkpoint knows of),
// then the population file, then the header. `keepState` is the method's state function
// (null: none). `cyclesDone` is the number of cycles the agent has completed. A population
// file that cannot be written ends the run ("Write Failure of .mem file forced exit."); a
// header that cannot be opened writes "\n*** ERROR: Unable to open checkpoint header file
// %s\n" and " for writing.  Will terminate run. ***\n" to standard error and ends the run.
void writePopulation(Agent& agent, MethodStateFn keepState, int cyclesDone);

struct CheckpointRestore {
  int cyclesDone = 0;          // cycles the agent had completed
  int runState = 0;            // the agent's run state then (2: finished)
  RandomState* random = nullptr;  // where the generator's state goes (not applied here)
};

// In an extended run, before the agent's first turn: the note "EXTENDING a run from saved
// checkpoint files.", then the header is read and checked against the current setup (the
// version, the design-variable, project-response and response-storage counts, a weighted
// run extended as a multi-objective one; each mismatch is fatal with its "Extend error"
// text), the search set size is taken over (with its warning), the population and every
// state are restored, the history is read with the designs after the checkpoint kept aside
// (agent_results.h), and the agent's design count is the checkpoint's again.
// Answers 1 when the agent was restored, 0 when it has no checkpoint (a run stopped in its
// first cycle: the agent starts afresh from its history, with a note). An unreadable header
// ends the run; a population file that cannot be opened ends the process with -77, a
// member that cannot be read after five attempts with -78.
int readCheckpoint(Agent& agent, MethodStateFn keepState, CheckpointRestore& restore);

// The population file, read for a restore.
struct PopulationFile {
  bool open = false;
  std::string path;
  std::string data;          // the slot's bytes
  std::size_t first = 0;     // where the first member record starts
  int members = 0;           // population size N of the header
  int stamp = 0;
  int bestIndex = -1;
  bool previousSlot = false; // the data came from the slot not in use (see InitCPRead)
};

// Opens the population file of `path` and reads its header, choosing the slot whose stamp
// is `stamp` (the checkpoint header's). False when the file is missing, unreadable, or holds
// no data of that stamp.
bool InitCPRead(PopulationFile& file, const std::string& path, int stamp);
// Reads member record `n` (0-based; N is the baseline design) into `design` (for `agent`)
// and its raw fitness into `raw`, skipping the n records before it by their leading size.
// False with the specified message on standard error when the record cannot be read.
bool NthMemRead(PopulationFile& file, const Agent& agent, int n, Design& design, double& raw);
// Closes the file. False when none was open.
bool EndCPRead(PopulationFile& file);

}  // namespace karvo
