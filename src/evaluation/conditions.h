// Conditions at run time: whether an analysis may run, has finished or succeeded, whether a
// loop stops or the study ends. `evaluateCondition` runs the test of one `*DEFINE_CONDITION`
// (definitions/resources.h holds the table) for the design of an EvaluationContext and keeps
// the value (0 or 1) per design slot of the batch, so that a condition met by a design is
// not tested again for it unless the caller forces a new evaluation.
//
// What each type tests (the name is the type word of the record):
//   Formula         the formula (evaluation/formula.h) gives values, all of them non-zero
//                   and not NaN. Every known variable name the formula text mentions outside
//                   string literals and comments is handed to the interpreter with its
//                   current values (lists for multi-valued names).
//   Parameter       every value of "paramRef" satisfies "paramOp" "paramVal" ("<", ">",
//                   "<=", ">=", "=", "!="; "=" and "!=" compare exactly). Text values that
//                   read as numbers count as numbers.
//   FileExist       the file exists (file or folder) / does not exist.
//   FileNotExist
//   FileContain     the file holds the text / does not hold it. The text is "findText" with
//   FileNotContain  its tags replaced, or when that is empty the values of the variable
//                   "findRef" written with "Default" and joined by one blank (as a command
//                   tag). A file that cannot be read fails both tests.
//   AnalysisStatus  the status code of the analysis "statusRef" for the design (from
//                   ConditionServices::analysisStatus) matches the status word.
//   ResponseStatus  the status of the response "statusRef" in the context matches the
//                   status word; a defined response the context does not hold yet counts as
//                   NOT EVALUATED (4).
//   Command         "/bin/sh -c" runs the command (tags replaced) in the run folder and its
//                   exit code equals "cmdVal" (when "cmdCheck" is set) and its output
//                   (standard output and error) contains "cmdText" (when given).
//   ScheduledJob    the command (tags replaced) runs the same way and its output holds the
//                   job's id ("Find: ID") or name ("Find: Name") as a word (not preceded or
//                   followed by a letter or digit). A design without a job id / name fails.
//   composite       every member is evaluated, left to right, without short-cut; the result
//                   starts as the first member's value and each further member is combined
//                   with it by the "condBool" of the member before it (1 and, else or). No
//                   member: met. Forcing a composite forces its members too.
//
// File names are tags-replaced; a relative name is taken in the run folder (the context's
// analysis folder, or the study folder when it has none) unless
// ConditionServices::resolveFile is set, which then locates every file (by its "fileType"
// list, copying it back from a remote machine first). Commands run in the run folder; their
// captured output is also written to "cmdOutputCapture" there (the previous one is deleted
// first). On a remote compute resource (the context's jobResource, else its analysis's
// computeResource) ConditionServices::remoteCommand makes the local command that runs them
// on the remote machine.
//
// Failures never end the run (except the fatal look-up of an undefined name): the condition
// is not met (value 0) and an error naming the condition goes to the analysis log of the
// context. A command whose shell reports it could not be found or run (exit code 127 or
// 126) fails as well, whatever its checks ask for.
#pragma once

#include <functional>
#include <string>

#include "evaluation/tagging.h"

namespace karvo {

// What conditions take from their caller (the evaluation flow builds one per batch; see
// conditionServicesFor in evaluation/analysis_run.h for the file and remote-command parts).
// Each may stay empty.
struct ConditionServices {
  // The status code (0 ERROR .. 5 SKIPPED) of analysis `analysis` for the design (slot and
  // case) of `context`; false when the analysis is not known. Empty: AnalysisStatus
  // conditions fail.
  std::function<bool(const std::string& analysis, const EvaluationContext& context,
                     int& status)>
      analysisStatus;
  // The full local path of file `name` (tags replaced) of the list `fileType` of the
  // analysis of `context`, copied back first when the analysis runs remotely; false when no
  // path can be formed. Empty: the run-folder rule above.
  std::function<bool(const std::string& fileType, const std::string& name,
                     const EvaluationContext& context, std::string& path)>
      resolveFile;
  // The local command line that runs `command` in the remote run folder of `context` with
  // the analysis's "execShell"; false with `error` when it cannot be made. Used when the
  // context's compute resource is remote. Empty: the command runs on this machine, with a
  // warning.
  std::function<bool(const std::string& command, const EvaluationContext& context,
                     std::string& localCommand, std::string& error)>
      remoteCommand;
  double commandSeconds = 600.0;  // time limit of one condition command (s; <= 0: none);
                                  // a command that exceeds it is killed and fails
};


// Name of the file, in the run folder, holding the output of the last condition command.
inline constexpr const char* kCommandOutputFile = "cmdOutputCapture";

// Evaluates condition `conditionIndex` (position in `conditions`) for the design of
// `context` and answers 1 when it is met, else 0. `slot` is the design's slot in the batch
// (>= 0: the value is kept for that slot; -1: evaluated every time, nothing kept). A value
// kept for the slot is answered without a new test unless `force` is set (verbose note
// "This condition ... has already been evaluated ..."). Messages go to the analysis log of
// `context` (designNumber, analysisName). An index outside the table answers 0.
int evaluateCondition(int conditionIndex, const EvaluationContext& context, int slot,
                      bool force, const ConditionServices& services);

// The same by name; a name that is not defined ends the run ("Error in locating ...").
int evaluateCondition(const std::string& name, const EvaluationContext& context, int slot,
                      bool force, const ConditionServices& services);

// Forgets the values kept for `slot` in every condition (the slot takes another design).
void clearConditionSlot(int slot);

// Forgets every kept value (a new batch).
void clearConditionValues();

}  // namespace karvo
