// The study as the commands that only look at one (export, plot) read it: the same readers
// as a run, without the run's side effects.
#pragma once

#include <string>
#include <vector>

namespace karvo {

// Reads the study file `studyPath` and the files of its folder as a run does (readStudyFolder)
// but makes no message file, lock file or backup folder; the current directory and
// run.workingDirectory become the study's folder. The messages of the reading go to a scratch
// file that is copied to standard error when the reading fails; a definition error ends the
// command through fatalError, as it ends a run.
void readStudyForTool(const std::string& studyPath);

// The study files of `folder` (names ending in ".in" that hold a *STUDY record) whose
// `filePrefix` is `prefix`, sorted by name.
std::vector<std::string> studyFilesWithPrefix(const std::string& folder,
                                              const std::string& prefix);

// The commands: `karvo export ...`, `karvo plot ...` and `karvo report ...`, argv as given to main. Each answers
// the process exit status.
int runExportCommand(int argc, char** argv);
int runPlotCommand(int argc, char** argv);
int runReportCommand(int argc, char** argv);

}  // namespace karvo
