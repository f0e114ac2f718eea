// Helpers of the end-to-end tests that run a study folder: the run itself, its message file,
// the files it left, and edits of its study files.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace karvo::testing {

// Runs "karvo i=study.in <options>" in the folder with KARVO_ROOT set to it.
ProcessResult runStudy(const TempDir& dir, const std::vector<std::string>& options = {});

// The folder's message file "study.mes", unwrapped.
std::string studyMessages(const TempDir& dir);

// The count N of the message "Read N ..." with which a resumed run reports the designs it
// took from its history; -1 when the messages hold no such line.
int designsReadFromHistory(const std::string& messages);

// A study whose analysis asks the solver to stop at its third run (through "study.io"),
// then resumed with useHistory. Checks that the first run stopped ("Cancelled" in the
// agent's report `report`, between 3 and `runs` - 1 analyses run, `resultFile` not yet
// written) and that the resumed run took at least two designs from its history.
struct StoppedAndResumed {
  int first = -1;     // analyses run before the stop
  int stored = -1;    // designs the resumed run read from its history; -1 on a failed check
  std::string messages;  // the resumed run's messages
};
StoppedAndResumed stopAndResume(const TempDir& dir, const std::string& report, int runs,
                                const std::string& resultFile);

// The folder as the solver sees it (its current directory, symbolic links resolved).
std::string workingDirectory(const TempDir& dir);

// The names of the entries of `dir` that end in `tail`, sorted.
std::vector<std::string> filesEndingIn(const std::string& dir, const std::string& tail);

// The names of the RESULTS_BACKUP_ folders of `dir`.
std::set<std::string> backupFolders(const std::string& dir);

// How often `part` stands in `text` (overlaps counted).
std::size_t occurrences(const std::string& text, const std::string& part);

// `text` with every `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to);

// Replaces the first `from` in file `name` of `dir`; a missing `from` is a fault of the test
// itself and fails it, instead of leaving the study unchanged.
void replaceIn(const std::string& dir, const std::string& name, const std::string& from,
               const std::string& to);

}  // namespace karvo::testing
