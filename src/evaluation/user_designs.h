// User designs files: designs that a user adds to an agent's study by dropping files named
// "UserDesigns<agent>_<anything>.in" into the study folder. They are read when the agent
// starts its turn: designs given with their results go straight into the agent's results
// database (stored-design table and history), the others are handed back to be evaluated.
// Each file read is renamed "<name>_backup_at_<evaluations>_evals" once its designs have been
// evaluated (renameUserDesignsFiles), so that it is read once.
//
// File layout (one design per line; fields separated by commas, a run of commas counting as
// one separator; blanks around a field ignored):
//
//   $ comment                          lines starting with "$" are skipped
//   *DESIGN_ONLY                       designs to evaluate, up to *END
//   mapDesign, d1, 0.5, 2, 1.0         type, name, variable values, parameter values
//   dontMapDesign, d2, 7, default, 0.25, 1, 1.0
//                                      with the two optional fields: an integer kept with
//                                      the design, then its design number ("default": the
//                                      next free one)
//   *END
//   *DESIGN_AND_RESULTS                designs with results: the same fields followed by one
//   mapDesign, d3, 0.1, 3, 1.0, 12.5   value per study response of the agent's performance
//   *END                               definition, in its order
//
// Variable values follow the agent's representation (its slots in order); a discrete
// variable is written as the 1-based item number of its set. Parameter values follow the
// fixed parameters of the variable table, in table order. "nil" marks an empty field, which
// is refused. "mapDesign" moves the values to the nearest values of the representation's
// resolution (the chromosome is authoritative, with a report of the values moved);
// "dontMapDesign" keeps the values as given (the real values are authoritative).
//
// A line that cannot be used is reported with the file and line. When the study stops on
// design errors (the default), that ends the run; otherwise the whole file is left unread
// and unrenamed, with "Error in reading the <file> file. Please see the error message above.
// Continuing run.", and the other files are read.
#pragma once

#include <string>
#include <vector>

#include "base/design.h"

namespace karvo {

struct Agent;
struct AgentResults;

// What the user designs files of an agent held.
struct UserDesignSet {
  std::vector<Design> toEvaluate;  // designs without results that are not duplicates, in the
                                   // order defined, at most the evaluations that remain
  int defined = 0;                 // designs read from usable files (withoutResults +
                                   // withResults, also integerBased + realBased)
  int withoutResults = 0;          // of them in *DESIGN_ONLY sections
  int withResults = 0;             // of them in *DESIGN_AND_RESULTS sections
  int integerBased = 0;            // of them "mapDesign" (encoding 1)
  int realBased = 0;               // of them "dontMapDesign" (encoding 2)
  int stored = 0;                  // designs with results entered into the database
  bool anyFile = false;            // some user designs file of the agent was present
  std::vector<std::string> filesRead;  // names of the files read (and renamed), in order
};

// Reads, checks and takes over the user designs files of `agent` (see the top of this file),
// in the order of their names: designs with results are scored with the solver's scoring,
// numbered (their own design number, or the agent's next one), stored into `results` (table
// and history entry) and the history file is rewritten; the others are answered in
// toEvaluate, to be evaluated by the caller. Writes the "*OUTPUT" block of the designs read
// to the message file, and sets results.userDesignsRead. Without any file it does nothing
// and writes nothing. Optimization agents take user designs only with the GA, TOLMAR and
// MOTOLMAR methods.
UserDesignSet readUserDesigns(Agent& agent, AgentResults& results);

// Renames each file of set.filesRead to "<name>_backup_at_<evaluations>_evals", so that it is
// not read again. Called once the designs of the set have been evaluated: a run that ends
// before that leaves the files in place, and the run that resumes it reads them again (the
// designs stored meanwhile are recognised and not evaluated twice).
void renameUserDesignsFiles(const Agent& agent, const UserDesignSet& set);

// Name pattern of the files of agent `agentNumber`: true when `fileName` (without folder)
// starts with "UserDesigns<agentNumber>_" and ends in ".in".
bool isUserDesignsFileName(const std::string& fileName, int agentNumber);

}  // namespace karvo
