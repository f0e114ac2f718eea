// The working directory of a run: the environment check, the backup or deletion of an earlier
// run's results, the clean-up log, and the PATH update for launched analyses. Called a handful
// of times per run.
#pragma once

#include <string>
#include <vector>

#include "base/run_files.h"

namespace karvo {

// KARVO_ROOT must be set; chooses the Python home. Fatal errors as the messages say.
void checkEnvironment();

// One file operation of the clean-up, done in-process and recorded in the clean-up log
// ("StudyDirectoryCleanupLog.log") in its POSIX form.
enum class CleanupAction { Move, Copy, Remove, RemoveTree };
bool runCleanupCommand(CleanupAction action, const std::string& source,
                       const std::string& target = "");

// Earlier results: exactly one of these runs during run preparation.
void deletePreviousResults();
void preparePostOnly();
void backupPreviousResults();
// Ends the run when the backup folder given on the command line is, holds or lies inside the
// evaluation folder of an agent in range.
void checkBackupFolderPlace();

// Removes the solver's own installation folder from PATH and LD_LIBRARY_PATH for the
// analyses the solver launches. Answers the new value of PATH (unchanged when nothing was
// removed); the folder comes from `root` (KARVO_ROOT).
std::string pathWithoutSolverFolder(const std::string& path, const std::string& root,
                                    bool* changed);
void removeSolverFolderFromPath();

}  // namespace karvo
