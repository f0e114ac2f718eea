// Formula-only search studies for the tests of the search methods: two continuous variables
// x and y on [0, 10] (baseline 9, 9), an objective f, optionally a second objective f2 and a
// constraint g <= 0, written as formulas; and what a finished run left behind.
#pragma once

#include <map>
#include <string>

#include "support/test_support.h"

namespace karvo::testing {

struct SearchStudy {
  std::string agent;               // the agent record's method lines, e.g. "method: TOLMAR\nnumEvals: 60\n"
  std::string f;                   // objective formula in x and y
  std::string g;                   // constraint formula (met when <= 0); "": none
  std::string f2;                  // a second objective f2 (minimised); "": none
  int resolution = 101;            // values per variable
  int parallel = 1;                // nParallel
  std::string baseline = "9";      // baseline of both variables
  std::string lower = "0";         // lower bound of both variables (the upper is 10)
  std::string process = "*PROCESS\nname: formulas\n*END\n";  // Process0.in
};

// Writes the study into `dir` (study file "study.in", run prefix "search").
void writeSearchStudy(const TempDir& dir, const SearchStudy& study);

// Runs it with KARVO_ROOT set to the folder.
ProcessResult runSearchStudy(const TempDir& dir);

// The message file, unwrapped.
std::string searchMessages(const TempDir& dir);

// Design number -> "<status> <performance>" from every design log of the run.
std::map<int, std::string> searchDesignResults(const TempDir& dir);

// The best performance among the designs of `results` with `status` (-1e300 when none).
double bestSearchPerformance(const std::map<int, std::string>& results, const std::string& status);

}  // namespace karvo::testing
