// Tests of formulas: the text made from definition lines, and evaluation through the embedded
// interpreter with the exact messages of each failure in the design's analysis log. The
// interpreter starts with the first evaluation and stays up for the whole program, as in a
// run; the environment below ends it after the last test of the program (also for the
// formula conditions and responses of the other evaluation tests).
#include "evaluation/formula.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/working_directory.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

using ::testing::StartsWith;

// The folders a death test's child made: the child leaves through std::_Exit, past every
// destructor, so it removes them itself (exitChild).
std::string isolationFolder;
std::string childFolder;
[[noreturn]] void exitChild(int code) {
  std::error_code ignored;
  std::filesystem::remove_all(isolationFolder, ignored);
  if (!childFolder.empty()) std::filesystem::remove_all(childFolder, ignored);
  std::_Exit(code);
}

// Python environment settings that would break a start that is not isolated: a home without
// any library, and a search path offering a module no formula may see.
class IsolationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    isolationFolder = folder_.path();
    testing::writeFile(folder_.file("karvo_injected.py"), "value = 1\n");
    setenv("PYTHONHOME", "/nonexistent/python/home", 1);
    setenv("PYTHONPATH", folder_.path().c_str(), 1);
  }
  // The framework never destroys its environments: the folder goes here.
  void TearDown() override {
    stopFormulaInterpreter();
    std::error_code ignored;
    std::filesystem::remove_all(folder_.path(), ignored);
  }

 private:
  testing::TempDir folder_{"karvo-pythonpath"};
};

const auto* const isolationEnvironment =
    ::testing::AddGlobalTestEnvironment(new IsolationEnvironment);

// The analysis logs of the tests: "<folder>/design<N>_<analysis>.log".
std::string logFolder;
std::string logPath(int designNumber, const std::string& analysisName) {
  return logFolder + "/design" + std::to_string(designNumber) + "_" + analysisName + ".log";
}

FormulaVariable numbers(const std::string& name, std::vector<double> values) {
  FormulaVariable variable;
  variable.name = name;
  variable.numbers = std::move(values);
  return variable;
}

FormulaVariable texts(const std::string& name, std::vector<std::string> values) {
  FormulaVariable variable;
  variable.name = name;
  variable.texts = std::move(values);
  return variable;
}

class FormulaTest : public testing::MessageCaptureTest {
 protected:
  void SetUp() override {
    MessageCaptureTest::SetUp();
    logFolder = dir_.path();
    analysisLogPath = logPath;
  }

  // Evaluates `formula` for design 1 into values_; the log is read with log().
  bool evaluate(const std::string& formula, const std::vector<FormulaVariable>& variables = {},
                int designNumber = 1) {
    return evaluateFormula("r", formula, variables, designNumber, values_);
  }
  std::string log(int designNumber = 1, const std::string& analysis = "") {
    return testing::readFile(logPath(designNumber, analysis));
  }

  std::vector<double> values_;
};

using Values = std::vector<double>;

// What the log of design `n` holds after the formula `text` of "r" raised an exception: the
// solver's two blocks, then Python's traceback.
std::string raised(const std::string& text, const std::string& traceback) {
  return "*ERROR\nError in evaluating the following formula " + text +
         ". The execution command returned an error flag.\n*WARNING\nOutput from calculating "
         "the formula for r:\n" + traceback;
}

// A traceback through the formula's own line only.
std::string inFormula(int line, const std::string& exception) {
  return "Traceback (most recent call last):\n  File \"<formula>\", line " +
         std::to_string(line) + ", in <module>\n" + exception + "\n";
}

// For tracebacks whose middle lines depend on the Python version: the solver's blocks exactly
// and the exception as the whole last line.
void expectRaised(const std::string& log, const std::string& text, const std::string& exception) {
  EXPECT_THAT(log, StartsWith(raised(text, "")));
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(testing::linesOf(log).back(), exception) << log;
}

// ---------------------------------------------------------------------------------------
// The formula text

TEST_F(FormulaTest, FormulaTextFromTheDefinitionLines) {
  EXPECT_EQ(compileFormula("r", std::vector<std::string>{"_result = a"}), "_result = a");
  // Leading blanks of a single line would be an indentation error in Python.
  EXPECT_EQ(compileFormula("r", std::vector<std::string>{"   a*2"}), "_result=a*2");
  EXPECT_EQ(compileFormula("r", std::vector<std::string>{"\t_result = a"}), "_result = a");
  EXPECT_EQ(compileFormula("r", "t = a\n  _result = t"), "t = a\n  _result = t");
  EXPECT_EQ(messages(), "");

  EXPECT_THROW(compileFormula("mass", std::vector<std::string>{"t = a", "t * 2"}), RunExit);
  EXPECT_EQ(messages(),
            "*ERROR\nError in the formula definition for \"mass\". A multiple line formula must "
            "set the \"_result\" variable to the final value from your calculation.\ne.g. "
            "_result = 1.0 - variable_1\n\nRun exiting due to an error\n");

  // "exit" in a definition is warned once per formula.
  clearMessages();
  EXPECT_EQ(compileFormula("r", std::vector<std::string>{"if a: exit()", "quit ()",
                                                         "_result = 1"}),
            "if a: exit()\nquit ()\n_result = 1");
  EXPECT_EQ(messages(),
            "*WARNING\nDetected a possible use of \"quit() or exit()\" in the formula definition "
            "for \"r\". These commands should NOT be used in your formula definition. When this "
            "command is invoked within a formula calcuation, it will result in the KARVO run "
            "being terminated. Please check to make sure that you are not using this command in "
            "the formula definition.\n\n");
}

// ---------------------------------------------------------------------------------------
// Results

TEST_F(FormulaTest, ResultsGiveEveryNumberInOrderOrFailWithTheirMessage) {
  ASSERT_TRUE(evaluate(compileFormula("r", "a * b + Design_Num"),
                       {numbers("a", {2}), numbers("b", {3.5})}, 7));
  EXPECT_EQ(values_, Values{14.0});
  EXPECT_EQ(log(7), "");  // nothing to report
  ASSERT_TRUE(evaluate("_result = (1, (2.5, [3, (4,)]), [], 5)"));
  EXPECT_EQ(values_, (Values{1, 2.5, 3, 4, 5}));
  ASSERT_TRUE(evaluate("_result = []"));
  EXPECT_EQ(values_, Values{});
  ASSERT_TRUE(evaluate("_result = 2**70"));
  EXPECT_EQ(values_, Values{1180591620717411303424.0});
  // Bools count as integers.
  ASSERT_TRUE(evaluate("_result = [a > 1, False]", {numbers("a", {2})}));
  EXPECT_EQ(values_, (Values{1, 0}));

  const std::string unsupported =
      "*ERROR\nError in evaluating the formula for \"r\".\nUnsupported data type in the python "
      "variable \"_result\" being extracted.\n";
  for (const char* formula :
       {"_result = [1, 'two']", "_result = None", "_result = [1]\n_result.append(_result)"}) {
    SCOPED_TRACE(formula);
    std::remove(logPath(1, "").c_str());
    values_ = {99};
    EXPECT_FALSE(evaluate(formula));
    EXPECT_EQ(values_, Values{});
    EXPECT_EQ(log(), unsupported);
  }
  EXPECT_FALSE(evaluate("_result = 10**400"));
  EXPECT_EQ(log(), unsupported +
                       "*ERROR\nError in evaluating the formula for \"r\".\nThe integer in the "
                       "python variable \"_result\" is too large to be read as a number.\n");
  // (That the messages go to the log of the analysis named: ResponsesTest.FormulaResponses.)
}

// ---------------------------------------------------------------------------------------
// Failing formulas never end the run

TEST_F(FormulaTest, SyntaxErrorFailsEveryTimeAndIsCompiledOnce) {
  static int round = 0;
  const std::string formula = "_result = (1 +" + std::string(++round, ' ');
  const int before = formulaCompileCount();
  EXPECT_FALSE(evaluate(formula));
  EXPECT_FALSE(evaluate(formula, {}, 2));
  EXPECT_EQ(formulaCompileCount(), before + 1);
  EXPECT_EQ(log(), log(2));
  expectRaised(log(2), formula, "SyntaxError: '(' was never closed");
}

TEST_F(FormulaTest, ExitAndSysExitFailOnlyTheFormula) {
  const bool stdinOpen = fcntl(0, F_GETFD) != -1;
  EXPECT_FALSE(evaluate("exit()"));
  expectRaised(log(), "exit()", "SystemExit: None");
  EXPECT_FALSE(evaluate("import sys\nsys.exit(3)", {}, 2));
  EXPECT_EQ(log(2), raised("import sys\nsys.exit(3)", inFormula(2, "SystemExit: 3")));
  EXPECT_FALSE(evaluate("raise KeyboardInterrupt", {}, 4));
  EXPECT_EQ(log(4), raised("raise KeyboardInterrupt", inFormula(1, "KeyboardInterrupt")));
  // The run is unattended: asking for input fails rather than waits.
  EXPECT_FALSE(evaluate("_result = float(input())", {}, 6));
  EXPECT_EQ(log(6), raised("_result = float(input())",
                           inFormula(1, "RuntimeError: input(): lost sys.stdin")));
  // The process and the interpreter are still here, and exit() left the solver's stdin open.
  EXPECT_EQ(fcntl(0, F_GETFD) != -1, stdinOpen);
  ASSERT_TRUE(evaluate("_result = 5", {}, 5));
  EXPECT_EQ(values_, Values{5});
}

TEST_F(FormulaTest, PrintedOutputIsCapturedAsAWarningAndVariablesTakeTheirShapes) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(evaluate("print('mass', a)\nimport sys\nsys.stderr.write('low\\n')\n_result = a",
                       {numbers("a", {2})}));
  ASSERT_TRUE(evaluate("print(end='x')\n_result = 1", {}, 2));  // one character: not logged
  // Output of a value released when the evaluation ends does not reach the solver's streams.
  ASSERT_TRUE(evaluate("class A:\n  def __del__(self): print('released')\na = A()\n_result = 1",
                       {}, 3));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(log(), "*WARNING\nOutput from calculating the formula for r:\nmass 2.0\nlow\n");
  EXPECT_EQ(log(2), "");

  // ---------------------------------------------------------------------------------------
  // Variables
  FormulaVariable curve = numbers("curve", {1, 2, 3});
  FormulaVariable single = numbers("single", {4});
  single.asList = true;
  FormulaVariable table = numbers("table", {1, 2, 3, 4, 5, 6});
  table.rows = 2;
  table.columns = 3;
  FormulaVariable count = numbers("count", {2.6});
  count.integers = true;
  ASSERT_TRUE(evaluate(
      "_result = [sum(curve), len(single), len(table), len(table[0]), table[1][2], "
      "len(list(range(count))), len(name), len(words[1]), Design_Num]",
      {curve, single, table, count, texts("name", {"steel"}), texts("words", {"a", "bcd"})},
      9));
  EXPECT_EQ(values_, (Values{6, 1, 2, 3, 6, 3, 5, 3, 9}));
}

// (A variable without data: ResponsesTest.FormulaResponses.)
TEST_F(FormulaTest, TableThatCannotHoldItsValuesFailsTheFormula) {
  FormulaVariable table = numbers("t", {1, 2, 3});
  table.rows = 2;
  table.columns = 2;
  EXPECT_FALSE(evaluate("_result = 1", {table}, 2));
  EXPECT_EQ(log(2),
            "*ERROR\nCould not set variable \"t\" in the Python session. The table of 2 rows "
            "and 2 columns cannot hold its 3 values.\n");
}

TEST_F(FormulaTest, AnalysisVariablesLiveInAnalysisModules) {
  ASSERT_TRUE(evaluate("_result = Cae.mass * Cae.load + k",
                       {numbers("Cae.mass", {3}), numbers("Cae.load", {2}), numbers("k", {1})}));
  EXPECT_EQ(values_, Values{7});
  // The module is reused, importable, and keeps nothing of the previous design.
  ASSERT_TRUE(evaluate("import Cae\n_result = [Cae.mass, int(hasattr(Cae, 'load'))]",
                       {numbers("Cae.mass", {5})}));
  EXPECT_EQ(values_, (Values{5, 0}));

  EXPECT_FALSE(evaluate("_result = 1", {numbers("Cae", {1}), numbers("Cae.mass", {3})}));
  EXPECT_FALSE(evaluate("_result = 1", {numbers(".mass", {3})}, 3));
  const std::string message =
      "Error in creating the analysis module in python for the local analysis variable ";
  EXPECT_EQ(log(1), "*ERROR\n" + message + "\"Cae.mass\".\n");
  EXPECT_EQ(log(3), "*ERROR\n" + message + "\".mass\".\n");
}

TEST_F(FormulaTest, NothingOfAnEarlierEvaluationIsReadAgain) {
  ASSERT_TRUE(evaluate("helper = 4\n_result = a", {numbers("a", {1})}));
  // Neither the variable, nor the formula's own name, nor "_result" survive.
  EXPECT_FALSE(evaluate("_result = a", {}, 2));
  EXPECT_EQ(log(2), raised("_result = a", inFormula(1, "NameError: name 'a' is not defined")));
  EXPECT_FALSE(evaluate("_result = helper", {}, 3));
  EXPECT_EQ(log(3),
            raised("_result = helper", inFormula(1, "NameError: name 'helper' is not defined")));
  EXPECT_FALSE(evaluate("if a > 0: _result = 1", {numbers("a", {-1})}, 4));
  EXPECT_EQ(log(4),
            "*ERROR\nCould not get data for \"_result\" from the Python interpreter. Please make "
            "sure that this variable is defined within the global scope.\n");
}

TEST_F(FormulaTest, PreambleNamesAreAvailableAndAVariableHidesThemForOneEvaluation) {
  ASSERT_TRUE(evaluate("_result = sqrt(16) + floor(e)"));
  EXPECT_EQ(values_, Values{6});
  ASSERT_TRUE(evaluate("_result = e", {numbers("e", {10})}));
  EXPECT_EQ(values_, Values{10});
  // A variable, or a formula that rebinds or deletes a preamble name, changes it for one
  // evaluation only.
  ASSERT_TRUE(evaluate("sqrt = 5\n_result = sqrt"));
  ASSERT_TRUE(evaluate("del floor\n_result = 1"));
  ASSERT_TRUE(evaluate("_result = [sqrt(4), floor(2.5), floor(e)]"));
  EXPECT_EQ(values_, (Values{2, 2, 2}));

  // Texts new to the interpreter also when the tests are repeated in one process.
  static int round = 0;
  const std::string tag = " # round " + std::to_string(++round);
  const int before = formulaCompileCount();
  for (int design = 1; design <= 5; ++design) {
    ASSERT_TRUE(evaluate("_result = x * 3 + 0.5" + tag, {numbers("x", {double(design)})}, design));
    EXPECT_EQ(values_, Values{design * 3 + 0.5});
  }
  EXPECT_EQ(formulaCompileCount(), before + 1);
  ASSERT_TRUE(evaluate("_result = x * 4" + tag, {numbers("x", {1})}));
  EXPECT_EQ(formulaCompileCount(), before + 2);
}

// ---------------------------------------------------------------------------------------
// The interpreter

TEST_F(FormulaTest, InterpreterIgnoresThePythonEnvironmentOfTheUserAndRelationshipExpressions) {
  EXPECT_FALSE(evaluate("import karvo_injected\n_result = 1"));
  EXPECT_EQ(log(), raised("import karvo_injected\n_result = 1",
                          inFormula(1, "ModuleNotFoundError: No module named 'karvo_injected'")));
  // The standard library is that of the interpreter's own prefix; string hashes (and so the
  // order of sets) are the same in every run.
  ASSERT_TRUE(evaluate(
      "import os\n_result = [os.path.isfile(os.path.join(sys.prefix, 'lib', 'python%d.%d' % "
      "sys.version_info[:2], 'os.py')), sys.flags.hash_randomization, sys.flags.isolated]",
      {}, 2));
  EXPECT_EQ(values_, (Values{1, 0, 1}));

  double result = 0;
  std::string error = "stale";
  ASSERT_TRUE(evaluateRelationshipExpression("2 * x + y", {{"x", 1.5}, {"y", 4}}, result, error));
  EXPECT_EQ(result, 7);
  EXPECT_EQ(error, "");
  EXPECT_FALSE(evaluateRelationshipExpression("x / y", {{"x", 1}, {"y", 0}}, result, error));
  EXPECT_EQ(error,
            "Error in evaluating the following formula _result=x / y. The execution command "
            "returned an error flag.\nOutput from calculating the formula for x / y:\nTraceback "
            "(most recent call last):\n  File \"<formula>\", line 1, in <module>\n"
            "ZeroDivisionError: float division by zero\n");
  EXPECT_FALSE(evaluateRelationshipExpression("[x, x]", {{"x", 1}}, result, error));
  EXPECT_EQ(error, "The expression \"[x, x]\" gave 2 values; it must give exactly one.");
  // A definition error fails the expression instead of ending the run.
  EXPECT_FALSE(evaluateRelationshipExpression("t = x\nt", {{"x", 1}}, result, error));
  // Relationships log nothing.
  EXPECT_EQ(log(0), "");
  EXPECT_EQ(messages(), "");
}

// A home without a Python standard library ends the run with a clear message; runs in a
// fresh process, where no interpreter was started yet.
TEST(FormulaStartTest, HomeWithoutStandardLibraryEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testing::TempDir home("karvo-python-home");
  EXPECT_EXIT(
      {
        messageWrapWidth = 1000000;
        workingDirectoryState.pythonHome = home.path();
        childFolder = home.path();
        try {
          startFormulaInterpreter();
        } catch (const RunExit& exit) {
          exitChild(exit.code == kExitFatal ? 3 : 4);
        }
        exitChild(0);
      },
      ::testing::ExitedWithCode(3),
      "Error in starting the Python interpreter for formulas \\(Python home \"[^\"]*\"\\)\\. "
      "This folder does not hold the standard library of Python 3\\.[0-9]+ \\(\"[^\"]*/lib/"
      "python3\\.[0-9]+/os\\.py\" was not found\\)\\. Set KARVO_PYTHON_PATH");
}

// A preamble that fails ends the run, and no formula runs in the half-prepared interpreter.
TEST(FormulaStartTest, FailingPreambleEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        messageWrapWidth = 1000000;
        setFormulaPreamble({"import no_such_module"});
        try {
          startFormulaInterpreter();
        } catch (const RunExit&) {
          std::vector<double> values;
          exitChild(evaluateFormula("r", "_result = 1", {}, 1, values) ? 4 : 3);
        }
        exitChild(0);
      },
      ::testing::ExitedWithCode(3),
      "Error in starting the Python interpreter for formulas \\(Python home \"/[^\"]*\"\\)\\. The "
      "formula preamble failed:\nimport no_such_module\n.*ModuleNotFoundError: No module named "
      "'no_such_module'");
}

// After the closing steps stopped the interpreter, a formula fails instead of restarting it.
TEST(FormulaStartTest, FormulaAfterStopFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::vector<double> values;
        bool first = evaluateFormula("r", "_result = 1", {}, 1, values);
        stopFormulaInterpreter();
        bool second = evaluateFormula("r", "_result = 1", {}, 1, values);
        exitChild(first && !second ? 3 : 4);
      },
      ::testing::ExitedWithCode(3),
      "The Python interpreter for formulas has already been stopped\\. The formula for r "
      "cannot be evaluated\\.");
}

}  // namespace
}  // namespace karvo
