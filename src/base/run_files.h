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

// Creates the lock file of `agent`; an existing one ends the run (another run may own it).
void createLockFile(int agent);
// Removes the lock files this process created (not in check-performance mode).
void removeLockFiles();

void resetWorkingDirectoryState();

}  // namespace karvo
