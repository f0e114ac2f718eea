// The files every agent of a run owns in the working directory, named from the run prefix
// (agentFileName), and the lock files that keep two solver processes off the same agent.
// Also where the run keeps the installation root and the embedded interpreter's home once
// the environment check has found them. Used a handful of times per run.
#pragma once

#include <string>
#include <vector>

namespace karvo {

// What this process knows of its working directory and installation.
struct WorkingDirectoryState {
  bool lockFilesCreated = false;          // some lock file was created by this process
  std::vector<std::string> lockFiles;     // lock files this process created (full paths)
  std::string installationRoot;           // KARVO_ROOT
  std::string pythonHome;                 // home of the embedded interpreter ("" = system)
  bool environmentChecked = false;
};

extern WorkingDirectoryState workingDirectoryState;

// "<working directory>/<run prefix><agent><extension>", e.g. agentFileName(0, ".lock").
std::string agentFileName(int agent, const char* extension);

// Creates the lock file of `agent`: "Lock File for Agent #: <agent>\n" and the owner record.
// An existing one ends the run (another run may own it), unless its owner record names a
// process of this host that no longer lives: such a stale lock is taken over with a warning.
void createLockFile(int agent);

// The owner record that ends each of this process's lock files, also while the running
// analyses are logged in them: "*OWNER\n<host> <pid> <start time in clock ticks>\n".
std::string lockOwnerText();

// True when `content` (a lock file's) carries an owner record of a process of this host that
// no longer lives (its pid is gone, or now belongs to a process started at another time).
// A lock without an owner record, or of another host, is never stale.
bool lockIsStale(const std::string& content);
// Removes the lock files this process created (not in check-performance mode).
void removeLockFiles();

void resetWorkingDirectoryState();

}  // namespace karvo
