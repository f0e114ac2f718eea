// The run driver: the solver's entry point and the closing steps shared by every
// controlled end (normal end, fatal error, user cancellation).
#pragma once

#include <string>

namespace karvo {

// Runs the solver on a command line; answers the process exit status (the low 8 bits of the
// solver's exit code: -1 -> 255, -2 -> 254, -123 -> 133).
int runSolver(int argc, char** argv);

// The closing steps of a controlled end, taken once per process.
void closeRun();

// Reads every file of the study folder in the order in which they refer to one another:
// Assembly.in, the study file's run options, Definitions.in, the representation, process and
// performance files of the agents, then the study file proper (run.studyFile, already open).
void readStudyFolder();

struct Agent;

// The wait test of an evaluation agent: designs may still be handed to it (in user designs
// files) while an agent linked to it by a `neighbor` line, in either direction, runs in
// another solver process of the study: that agent lies outside this process's agent range
// and its lock file is present and not stale.
bool evaluationAgentWaits(const Agent& agent);

// Reads the working directory into run.workingDirectory; a path of 258 bytes or more ends
// the process with exit code 1 (through exitRun).
void readWorkingDirectory();

// Name of a new backup folder in the working directory for agents `first`..`last`, stamped
// with the local time `seconds`.
std::string backupFolderName(int first, int last, long long seconds);
// A backup folder name for agents `first`..`last` at the current time that no folder has yet
// ("_1", "_2", ... appended when needed).
std::string newBackupFolderName(int first, int last);

}  // namespace karvo
