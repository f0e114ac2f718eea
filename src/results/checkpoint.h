// The checkpoint of a search agent: the population file "<prefix><agent>.mem" and the
// checkpoint header "<prefix><agent>.ckp" in the study folder, both written through the
// verified two-slot file (base/verified_file.h) at the end of every cycle, and read back by a
// run of study type `extend`, which then goes on exactly where the stopped run was.
//
// Population file: search/population_file.h.
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

}  // namespace karvo
