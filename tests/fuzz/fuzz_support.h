// What the fuzz targets share: a scratch folder of their own, a message file that swallows
// what it is given, and the run-wide state of the study readers emptied between two inputs,
// so that no input sees what an earlier one left behind.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/memory.h"
#include "base/messages.h"
#include "base/run_files.h"
#include "base/run_state.h"
#include "definitions/performance_file.h"
#include "definitions/print_formats.h"
#include "definitions/process_file.h"
#include "definitions/representation.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/dependents.h"

namespace karvo::fuzzing {

// A folder made for this process under $TMPDIR (else /dev/shm when there is one, for speed,
// else /tmp); removed with everything in it when the process ends normally. A process
// killed by a crash leaves it behind: its name says who made it.
inline const std::string& scratchFolder() {
  // Never destroyed: the exit handler below would run after the destructor of a plain
  // static string, which is registered after the handler.
  static const std::string& folder = *new std::string([] {
    std::string base;
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) {
      base = tmp;
    } else {
      std::error_code ec;
      base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    }
    std::string pattern = base + "/karvo-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratchFolder(), ec);
    });
    return pattern;
  }());
  return folder;
}

// Removes everything inside the scratch folder, keeping the folder.
inline void emptyScratchFolder() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(scratchFolder(), ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
}

// "outptr" writes into /dev/null: the texts are formatted and written as in a run, and
// nothing piles up. Opened once. Standard error becomes fully buffered: every refused input
// writes its closing line there a character at a time, a system call each when unbuffered.
// (The sanitizers' and libFuzzer's reports do not go through this stream.)
inline void openNullMessageFile() {
  if (!outptr) outptr = openFile("/dev/null", "w");
  if (!outptr) std::abort();
  std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);
}

// The run state and every table the study readers fill, as at the start of a process.
inline void resetStudyState() {
  resetRunState();
  resetStudy();
  resetDefinitions();
  resetPrintFormats();
  resetResources();
  resetResponseDefinitions();
  resetProcesses();
  resetRepresentations();
  resetPerformances();
  resetDependentVariables();
  resetWorkingDirectoryState();
  // The allocation table is left alone unless an input switched tracking on and left
  // something in it: emptying it costs a clear of its 80 000 slots at the next fmalloc.
  if (trackedAllocationCount() > 0 || trackingTableFull()) resetAllocationTracking();
}

}  // namespace karvo::fuzzing
