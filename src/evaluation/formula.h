// Formulas: the text of a formula definition made ready for the embedded Python 3 interpreter
// (compileFormula), and its evaluation for one design (evaluateFormula). Dependent variables,
// formula conditions, formula responses and the relationships of the search engine all run
// through here.
//
// The interpreter is started once, before the first formula, and kept for the run; the run's
// closing steps end it with stopFormulaInterpreter. Each distinct formula text is compiled to
// a Python code object once and executed for every design. Every evaluation starts from the
// same clean `__main__` (the names the run put there at start-up), so no value of an earlier
// formula or design can be read by a later one.
//
// A formula that raises an exception, calls exit() or sys.exit(), or leaves an unsupported
// value in "_result" fails that formula, with its message in the design's log; it never ends
// the run or the process.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace karvo {

// One named value handed to a formula. The name is a plain Python name, or
// "analysis.variable" for a variable local to an analysis (reached in the formula as a module
// attribute). Numbers take precedence: `texts` is used only when `numbers` is empty; both
// empty means the data is not available and the formula fails.
struct FormulaVariable {
  std::string name;                 // Python name, or "analysis.variable"
  std::vector<double> numbers;      // numeric values, row by row for a table
  std::vector<std::string> texts;   // text values when there are no numbers
  bool integers = false;            // numbers are handed over as Python int (rounded)
  bool asList = false;              // a list even with one value (multi-valued variables)
  int rows = 0;                     // > 0: a table of `rows` lists of `columns` values;
  int columns = 0;                  //   rows * columns must equal the number of values
};

// The formula text for the interpreter from the lines of a definition (`name` names the
// response, condition or variable in messages). The lines are joined with newlines; a single
// line that does not begin with "_result" becomes "_result=<line>". A line holding "quit()",
// "exit()", "quit ()" or "exit ()" gives one warning on "outptr"; a multi-line formula
// without a line beginning with "_result" ends the run (fatalError).
std::string compileFormula(const std::string& name, const std::vector<std::string>& lines);
// The same for a definition kept as one text with newlines between its lines.
std::string compileFormula(const std::string& name, const std::string& text);

// Evaluates a compiled formula for design `designNumber`: sets `variables` and `Design_Num`
// (int) in `__main__`, captures everything written to sys.stdout and sys.stderr, runs the
// formula and reads "_result". Integers, floats, bools (as 0/1) and nested lists and tuples
// of them give their numbers in order, into `values` (cleared first; an empty list gives no
// numbers). Answers false when the formula failed; `values` is then empty. Messages go to
// the log of analysis `analysisName` of the design ("" = the design log): errors for
// failures, and a warning with the captured output when there was any.
bool evaluateFormula(const std::string& name, const std::string& formula,
                     const std::vector<FormulaVariable>& variables, int designNumber,
                     std::vector<double>& values, const std::string& analysisName = "");

// For the relationships of the search engine: evaluates `expression` (one or more lines in
// the syntax of a dependent variable's formula) with the named numbers. Answers true with
// the single number of "_result" in `result`; otherwise false with the reason in `error`
// (nothing is logged). `Design_Num` is 0.
bool evaluateRelationshipExpression(const std::string& expression,
                                    const std::vector<std::pair<std::string, double>>& values,
                                    double& result, std::string& error);

// Starts the interpreter unless it runs already. The home is the run's Python home
// (workingDirectoryState.pythonHome); "" uses the Python installation this program is linked
// with, wherever another python3 may be on PATH. A home without the standard library, or an
// interpreter that fails to start, ends the run (fatalError).
// The plain names a formula text mentions, in order of first use: string literals, comments,
// numbers and attributes (names after a ".") are skipped.
std::vector<std::string> formulaNames(const std::string& text);

void startFormulaInterpreter();

// Ends the interpreter (closing steps of the run). Formulas evaluated later fail with a
// message instead of starting it again. Does nothing when it was never started.
void stopFormulaInterpreter();

// Lines run once in `__main__` after start-up, before the first formula; their names are
// part of the clean `__main__` of every evaluation (a variable of the same name hides one
// for that evaluation only). Default: "from math import *". Takes effect only before the
// interpreter starts.
void setFormulaPreamble(const std::vector<std::string>& lines);

// Test hook: how many formula texts were compiled to code objects since the start.
int formulaCompileCount();

}  // namespace karvo
