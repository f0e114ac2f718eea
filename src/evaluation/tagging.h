// Tagging: every value that leaves the solver towards an analysis program. Names found in a
// template or a command are resolved to a kind of variable and to the current values of the
// design being evaluated; those values are written with print formats
// (evaluation/print_format_write.h) into tagged files (through the portal's tag callback),
// into execution commands (replaceTags) and into the environment of launched commands
// (exportInternalVariables, "KARVO_MDO_<name>").
//
// The design's own values, the analysis and the folders come from an EvaluationContext that
// the evaluation flow fills for each design, analysis and case; the tables of
// "Definitions.in" supply everything else (parameters, sets, curves, loops, conditions).
//
// Name resolution tries, in this order: continuous, discrete and dependent variables, numeric
// and string parameters (one table), internal variables, responses, conditions, loops,
// discrete sets, curves. The first table holding the name decides its kind.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "evaluation/print_format_write.h"
#include "external/portal.h"
#include "base/design.h"

namespace karvo {

struct Analysis;

// Kind codes of resolved names; the words are used verbatim in messages.
enum VariableKindCode : int {
  kKindUnknown = -1,           // in no table
  kKindContinuous = 0,         // "continuous"
  kKindDiscrete = 1,           // "discrete"
  kKindDependent = 2,          // "dependent"
  kKindNumericParameter = 3,   // "numeric parameter"
  kKindResponse = 4,           // "response"
  kKindStringParameter = 8,    // "string parameter"
  kKindInternal = 9,           // "internal"
  kKindCondition = 10,         // "condition"
  kKindLoop = 11,              // "loop parameter"
  kKindDiscreteSet = 12,       // "discrete set"
  kKindCurve = 13,             // "curve"
};

struct VariableLookup {
  const char* kindName = "";   // the kind word; "" when unknown
  int kindCode = kKindUnknown; // VariableKindCode
  int index = -1;              // position in the kind's table (definitions.variables,
                               // the internal table, responseDefinitions, conditions,
                               // definitions.loops, definitions.sets, definitions.curves)
};

// Internal variables, by their fixed position in the internal table.
enum InternalVariable : int {
  kDesignNum = 0,
  kAnalysisPath = 1,
  kAnalysisName = 2,
  kAgentNum = 3,
  kJobName = 4,
  kDesignPath = 5,
  kProjectPath = 6,
  kStudyPath = 7,
  kStudyName = 8,
  kStudyFolderName = 9,
  kPostPath = 10,
  kCaseNum = 11,
  kJobId = 12,
  kInputFile = 13,
  kInputFileName = 14,
  kMachineName = 15,
  kMachineList = 16,
  kAnalysisInstall = 17,
  kInternalVariableCount = 18,
};

// The names of the internal table, by index ("Design_Num", ..., "ANALYSIS_INSTALL").
extern const char* const kInternalVariableNames[kInternalVariableCount];

// Where and as what one design is evaluated: filled by the evaluation flow before tagging an
// analysis's files, replacing tags in its commands or exporting the internal variables.
// Texts left empty take the default named in their comment.
struct EvaluationContext {
  int agentNumber = 0;            // running agent (Agent_Num)
  int designNumber = 0;           // design number, >= 0 (Design_Num); also picks the
                                  // analysis log of warnings
  int designSlot = -1;            // slot in the batch for cached condition values; -1: none
  std::string analysisName;       // analysis being prepared (Analysis_Name); "" for the
                                  // design log
  int caseIndex = 0;              // 0-based loop case (Case_Num is caseIndex + 1); also the
                                  // case whose value a loop parameter gives
  const Analysis* analysis = nullptr;  // its definition: INPUTFILE, INPUTFILENAME,
                                       // ANALYSIS_INSTALL; null: empty values
  std::string analysisPath;       // run folder of the analysis job (Analysis_Path)
  std::string agentFolder;        // the agent's evaluation folder; "": "<study>/<prefix>_<agent>"
  std::string postFolder;         // the agent's post folder; "": its Agent record's (POST_Path)
  std::string jobName;            // job name read back; "": "not defined" (Job_Name)
  std::string jobId;              // job id read back; "": "not defined" (Job_ID)
  std::string jobResource;        // compute resource chosen for the job ("": this machine);
                                  // gives MACHINENAME and MACHINELIST

  // The design's values. A continuous or discrete variable without an entry is not part of
  // the study; a parameter without an entry takes its baseline.
  std::unordered_map<std::string, double> numbers;      // continuous and dependent
                                                        // variables, numeric parameters
  std::unordered_map<std::string, int> choices;         // discrete variables: 0-based item
                                                        // of the variable's discrete set
  std::unordered_map<std::string, std::string> texts;   // string parameters
  std::unordered_map<std::string, ResponseValue> responses;  // responses computed so far

  // Optional: the value (0 or 1) of a condition, by its index in `conditions`; answers false
  // when it cannot be had. Without it, the value cached for `designSlot` is used.
  std::function<bool(int condition, int& value)> conditionValue;
};

// The current values of a name: numbers or texts (never both).
struct VariableValues {
  bool ok = false;                  // false: the value cannot be had
  bool isText = false;              // true: `texts` holds the values, else `numbers`
  std::vector<double> numbers;      // in order (one for a scalar)
  std::vector<std::string> texts;   // in order
  std::size_t count() const { return isText ? texts.size() : numbers.size(); }
};

// The kind and index of `name` (see the resolution order above).
VariableLookup lookupVariable(const std::string& name);

// Position of `name` in the internal table, or -1. With `strict`, a name outside it ends the
// run: "Unsupported internal variable name --> %s ".
int internalVariableIndex(const std::string& name, bool strict);

// The unformatted value of internal variable `index` (integers as their decimal text).
std::string internalVariableRaw(int index, const EvaluationContext& context);

// The value of internal variable `name` written with the "Default" format: integers "%d", or
// zero-padded to W digits; texts as they are, right-aligned in W when shorter. A "Default"
// that is not automatic gives a warning and only its W is used. `fileName` is the template
// being tagged, or "replaceTags" for a command; a name outside the table ends the run:
// "Unsupported internal variable \"%s\" found in file \"%s\"". Warnings go to the analysis log.
std::string internalVariableValue(const std::string& name, const std::string& fileName,
                                  const EvaluationContext& context);

// The current values of `name` of any kind. Internal variables give their unformatted
// value. With `forFormula`, a continuous or discrete variable that is not part of the study
// ends the run ("Error in the problem definition. The continuous variable ..."); otherwise it
// has no value. An inactive loop gives its first value with a note.
VariableValues variableValues(const std::string& name, const EvaluationContext& context,
                              bool forFormula = false);

// The i-th of `values` written with the format called `formatName` (which must exist).
// Warnings go to the analysis log of the context; a refused value answers ok false.
FormattedValue formatValue(const std::string& variableName, const VariableValues& values,
                           std::size_t i, const std::string& formatName,
                           const EvaluationContext& context);

// Writes the warnings of a formatted value to the analysis log of the context.
void writeFormatWarnings(const FormattedValue& value, const EvaluationContext& context);

// The portal's tag callback: every value of `name` written with print format `format`
// ("" for "Default"), one text per value; internal variables always use "Default". A name of
// no kind, or without a value, answers ok false with the message
// "\n\t**** ERROR ****\n\t Error in getting value for variable \"%s\" during tagging.\n".
// An undefined print format ends the run.
TagValueAnswer tagValue(const std::string& name, const std::string& format,
                        const EvaluationContext& context);

// A TagValueCallback answering from `context` (kept by reference: it must outlive the call).
TagValueCallback tagValueCallback(const EvaluationContext& context);

// How the values of the solver's own text tags (paths and names: Design_Path, Study_Name,
// Job_Name, INPUTFILE, ...) are written into a text.
enum class TagQuoting {
  kShell,  // a command line that sh runs: each such value reads back as exactly itself.
           // Outside quotes it becomes one single-quoted word unless it holds only letters,
           // digits and "_-./,:+@" (blanks of a fixed-length "Default" stay in front, outside
           // the quotes); inside '...' a quote is written '\''; inside "..." a backslash goes
           // before $, `, " and \. The regions are those of the command as written.
  kNone,   // any other text (a file name, a text to look for): values as they are
};

// The command with its tags replaced: "%<internal name>%" by the internal value (quoted as
// `quoting` says), "%name%" of any other known kind by its values written with "Default" and
// separated by one blank, as they are (a design value holding shell syntax is run as such);
// any other "%" is kept. When a value cannot be had, the error goes to the analysis log and
// the answer is the dummy command "Replacing command with this". With verbose output, a
// changed command is logged as "Incoming command" and "Updated command" notes.
std::string replaceTags(const std::string& command, const EvaluationContext& context,
                        TagQuoting quoting = TagQuoting::kShell);

// The dummy command that replaces a command whose tags could not all be replaced.
inline constexpr const char* kDummyCommand = "Replacing command with this";

// Sets "KARVO_MDO_<name>" in the solver's environment (inherited by every command started
// afterwards) for every internal variable except INPUTFILENAME and ANALYSIS_INSTALL. Answers
// false when the environment refused one of them.
bool exportInternalVariables(const EvaluationContext& context);

}  // namespace karvo
