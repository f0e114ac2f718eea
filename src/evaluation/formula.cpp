// Formulas through the embedded Python 3 interpreter: compiling definition lines into the
// formula text, starting the interpreter once per run, and evaluating a formula for a design.
// Evaluations run for every design and often for every response (thousands to millions per
// run), so each distinct text is compiled once and `__main__` is reset from a stored copy.
//
// Invariants of one evaluation (all under the interpreter lock):
//   1. On entry `__main__` holds exactly the clean names (builtins, sys, the capture class,
//      the preamble's names); no "_result", no variable of an earlier design.
//   2. sys.stdout and sys.stderr point at a fresh catchAll and sys.stdin is None while the
//      formula runs; all three are the process's own streams again afterwards.
//   3. On exit `__main__` is the clean copy again, every analysis module has lost the
//      attributes set for this evaluation, and no Python error is pending.
//
// Python.h comes first: it sets feature macros that the C and C++ headers must see.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "evaluation/formula.h"

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/run_files.h"
#include "platform/platform.h"

namespace karvo {

namespace {

// The statements of the output capture, run as the run's own Python code.
constexpr const char* kCaptureClass =
    "import sys\n"
    "class CatchStderrStdout:\n"
    "     def __init__(self):\n"
    "         self.value = ''\n"
    "     def write(self, txt):\n"
    "         self.value += txt\n";
constexpr const char* kCaptureStart =
    "catchAll = CatchStderrStdout()\n"
    "sys.stdout = catchAll\n"
    "sys.stderr = catchAll\n";

constexpr const char* kResultName = "_result";
constexpr int kMaxResultNesting = 64;  // deeper lists (or a list holding itself) are refused

// An owned reference to a Python object (null allowed), released at the end of its scope.
struct Owned {
  PyObject* object = nullptr;
  Owned() = default;
  explicit Owned(PyObject* o) : object(o) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(object); }
  PyObject* get() const { return object; }
  explicit operator bool() const { return object != nullptr; }
};

struct CompiledFormula {
  PyObject* code = nullptr;   // owned; null when the text did not compile
  std::string compileError;   // Python's report when it did not compile
};

struct FormulaMessage {
  const char* severity;       // "error" or "warning"
  std::string text;
};

struct InterpreterState {
  bool started = false;                 // Python is initialised (and the setup ran)
  bool stopped = false;                 // stopFormulaInterpreter ran; no restart
  PyThreadState* mainThread = nullptr;  // saved while no formula runs (lock released)
  PyObject* mainDict = nullptr;         // owned: the dictionary of "__main__"
  PyObject* cleanMain = nullptr;        // owned: its copy after start-up
  PyObject* captureCode = nullptr;      // owned: the compiled kCaptureStart
  PyObject* sysModule = nullptr;        // owned
  PyObject* stdoutStream = nullptr;     // owned: sys.stdout as the interpreter started
  PyObject* stderrStream = nullptr;     // owned: sys.stderr as the interpreter started
  PyObject* stdinStream = nullptr;      // owned: sys.stdin as the interpreter started
  PyObject* formatException = nullptr;  // owned: traceback.format_exception
  std::unordered_map<std::string, CompiledFormula> formulas;  // by formula text
  std::unordered_map<std::string, PyObject*> analysisModules;  // by analysis name; owned
  std::vector<std::string> preamble{"from math import *"};
  int compileCount = 0;                 // texts compiled since the start
};

InterpreterState interpreter;

// Text of a Python object as UTF-8; characters that cannot be encoded are escaped.
std::string utf8Of(PyObject* object) {
  if (!object) return "";
  Owned text(PyUnicode_Check(object) ? (Py_INCREF(object), object) : PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return "";
  }
  Owned bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return "";
  }
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// The pending Python exception as Python prints it (traceback and last line), cleared.
// SystemExit is only formatted here: it never reaches Python's own handler, which would end
// the process.
std::string takeExceptionText() {
  if (!PyErr_Occurred()) return "";
#if PY_VERSION_HEX >= 0x030C0000
  Owned value(PyErr_GetRaisedException());
  PyObject* rawType = value ? reinterpret_cast<PyObject*>(Py_TYPE(value.get())) : nullptr;
  Py_XINCREF(rawType);
  Owned type(rawType);
  Owned traceback(value ? PyException_GetTraceback(value.get()) : nullptr);
#else
  PyObject* rawType = nullptr;
  PyObject* rawValue = nullptr;
  PyObject* rawTraceback = nullptr;
  PyErr_Fetch(&rawType, &rawValue, &rawTraceback);
  PyErr_NormalizeException(&rawType, &rawValue, &rawTraceback);
  if (rawValue && rawTraceback) PyException_SetTraceback(rawValue, rawTraceback);
  Owned type(rawType);
  Owned value(rawValue);
  Owned traceback(rawTraceback);
#endif
  std::string text;
  if (interpreter.formatException && type) {
    Owned lines(PyObject_CallFunctionObjArgs(interpreter.formatException, type.get(),
                                             value ? value.get() : Py_None,
                                             traceback ? traceback.get() : Py_None, nullptr));
    Owned empty(PyUnicode_FromString(""));
    Owned joined(lines && empty ? PyUnicode_Join(empty.get(), lines.get()) : nullptr);
    if (joined) text = utf8Of(joined.get());
  }
  if (text.empty()) {
    // The exception could not be formatted (its own __str__ may raise): name its type.
    PyErr_Clear();
    text = type ? std::string(reinterpret_cast<PyTypeObject*>(type.get())->tp_name)
                : std::string("unknown Python error");
    text += "\n";
  }
  PyErr_Clear();
  return text;
}

// The folder that holds the standard library of the Python version this program uses.
std::string standardLibraryOf(const std::string& home) {
  return formatText("%s/lib/python%d.%d", home.c_str(), PY_MAJOR_VERSION, PY_MINOR_VERSION);
}

bool holdsStandardLibrary(const std::string& home) {
  return platform::isRegularFile(standardLibraryOf(home) + "/os.py") ||
         platform::isRegularFile(formatText("%s/lib/python%d%d.zip", home.c_str(),
                                            PY_MAJOR_VERSION, PY_MINOR_VERSION));
}

// The installation prefix of the Python library this program is linked with: the nearest
// folder above the library file that holds the standard library. Found from the library
// itself, so a python3 of another installation on PATH (pyenv, a virtual environment)
// cannot be taken for it. "" when it cannot be told.
std::string linkedPythonHome() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&Py_InitializeFromConfig), &info) == 0 ||
      !info.dli_fname) {
    return "";
  }
  char* resolved = realpath(info.dli_fname, nullptr);
  if (!resolved) return "";
  std::string folder = resolved;
  std::free(resolved);
  for (;;) {
    std::size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) return "";
    folder.erase(slash);
    if (holdsStandardLibrary(folder.empty() ? std::string("/") : folder)) {
      return folder.empty() ? std::string("/") : folder;
    }
    if (folder.empty()) return "";
  }
}

// Sets one PyConfig text field from UTF-8 (locale) bytes; answers the failure text.
bool setConfigText(PyConfig& config, wchar_t** field, const std::string& value,
                   std::string& failure) {
  PyStatus status = PyConfig_SetBytesString(&config, field, value.c_str());
  if (!PyStatus_Exception(status)) return true;
  failure = status.err_msg ? status.err_msg : "unknown failure";
  return false;
}

[[noreturn]] void failStart(const std::string& home, const std::string& reason) {
  const std::string where =
      home.empty() ? std::string("the system's own Python home") : "Python home \"" + home + "\"";
  fatalError(formatText("Error in starting the Python interpreter for formulas (%s). %s",
                        where.c_str(), reason.c_str()));
}

// Everything the run puts into the interpreter after it started: the capture class, the
// preamble, the clean copy of `__main__`. Answers the failure text, "" when all went well.
std::string prepareInterpreter() {
  PyObject* mainModule = PyImport_AddModule("__main__");  // borrowed
  if (!mainModule) return "The module __main__ could not be created.\n" + takeExceptionText();
  interpreter.mainDict = PyModule_GetDict(mainModule);
  Py_INCREF(interpreter.mainDict);
  interpreter.sysModule = PyImport_ImportModule("sys");
  Owned tracebackModule(PyImport_ImportModule("traceback"));
  if (!interpreter.sysModule || !tracebackModule) {
    return "The modules sys and traceback could not be imported.\n" + takeExceptionText();
  }
  interpreter.formatException = PyObject_GetAttrString(tracebackModule.get(), "format_exception");
  interpreter.stdoutStream = PyObject_GetAttrString(interpreter.sysModule, "stdout");
  interpreter.stderrStream = PyObject_GetAttrString(interpreter.sysModule, "stderr");
  interpreter.stdinStream = PyObject_GetAttrString(interpreter.sysModule, "stdin");
  if (!interpreter.formatException || !interpreter.stdoutStream || !interpreter.stderrStream ||
      !interpreter.stdinStream) {
    return "The standard streams of the interpreter are missing.\n" + takeExceptionText();
  }
  Owned setup(PyRun_String(kCaptureClass, Py_file_input, interpreter.mainDict,
                           interpreter.mainDict));
  if (!setup) return "The output capture could not be set up.\n" + takeExceptionText();
  interpreter.captureCode = Py_CompileString(kCaptureStart, "<capture>", Py_file_input);
  if (!interpreter.captureCode) {
    return "The output capture could not be set up.\n" + takeExceptionText();
  }
  std::string preamble;
  for (const std::string& line : interpreter.preamble) preamble += line + "\n";
  Owned ran(PyRun_String(preamble.c_str(), Py_file_input, interpreter.mainDict,
                         interpreter.mainDict));
  if (!ran) return "The formula preamble failed:\n" + preamble + takeExceptionText();
  interpreter.cleanMain = PyDict_Copy(interpreter.mainDict);
  if (!interpreter.cleanMain) return takeExceptionText();
  if (PyDict_DelItemString(interpreter.cleanMain, kResultName) != 0) PyErr_Clear();
  return "";
}

// The formula text from definition lines; false with the reason for a multi-line formula
// that never sets "_result".
bool formulaText(const std::string& name, const std::vector<std::string>& lines,
                 std::string& text, std::string& failure) {
  bool setsResult = false;
  text.clear();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += "\n";
    text += lines[i];
    std::size_t first = lines[i].find_first_not_of(" \t");
    if (first != std::string::npos && lines[i].compare(first, 7, kResultName) == 0) {
      setsResult = true;
    }
  }
  if (lines.size() > 1) {
    if (setsResult) return true;
    std::string head = formatText(
        "Error in the formula definition for \"%s\". A multiple line formula must set the "
        "\"%s\" variable to the final value from your calculation.",
        name.c_str(), kResultName);
    failure = formatText("%s\ne.g. %s = 1.0 - variable_1", head.c_str(), kResultName);
    return false;
  }
  // One line: leading blanks would be an indentation error in Python, so they go.
  std::string line = lines.empty() ? std::string() : lines[0];
  std::size_t first = line.find_first_not_of(" \t");
  line.erase(0, first == std::string::npos ? line.size() : first);
  text = setsResult ? line : formatText("%s=%s", kResultName, line.c_str());
  return true;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

std::string notAvailable(const std::string& name) {
  return formatText(
      "Could not set variable \"%s\" in the Python session. The data for this variable was "
      "not available.",
      name.c_str());
}

std::string moduleFailureText(const std::string& name) {
  return formatText(
      "Error in creating the analysis module in python for the local analysis variable \"%s\".",
      name.c_str());
}

// One value of a variable as a Python object (new reference; null with an error set).
PyObject* pythonItem(const FormulaVariable& variable, std::size_t i) {
  if (!variable.numbers.empty()) {
    double x = variable.numbers[i];
    if (variable.integers && std::isfinite(x)) return PyLong_FromDouble(std::nearbyint(x));
    return PyFloat_FromDouble(x);
  }
  const std::string& text = variable.texts[i];
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// The Python value of a variable: a scalar, a list, or a list of row lists. Null with the
// reason in `failure` when the data is missing or does not fit its table shape.
PyObject* pythonValue(const FormulaVariable& variable, std::string& failure) {
  const std::size_t count =
      variable.numbers.empty() ? variable.texts.size() : variable.numbers.size();
  if (count == 0) {
    failure = notAvailable(variable.name);
    return nullptr;
  }
  if (variable.rows > 0 || variable.columns > 0) {
    if (variable.rows <= 0 || variable.columns <= 0 ||
        static_cast<std::size_t>(variable.rows) * static_cast<std::size_t>(variable.columns) !=
            count) {
      failure = formatText(
          "Could not set variable \"%s\" in the Python session. The table of %d rows and %d "
          "columns cannot hold its %zu values.",
          variable.name.c_str(), variable.rows, variable.columns, count);
      return nullptr;
    }
    Owned table(PyList_New(variable.rows));
    for (int r = 0; table && r < variable.rows; ++r) {
      PyObject* row = PyList_New(variable.columns);
      if (!row) return nullptr;
      PyList_SET_ITEM(table.get(), r, row);
      for (int c = 0; c < variable.columns; ++c) {
        PyObject* item = pythonItem(variable, static_cast<std::size_t>(r) * variable.columns + c);
        if (!item) return nullptr;
        PyList_SET_ITEM(row, c, item);
      }
    }
    Py_XINCREF(table.get());
    return table.get();
  }
  if (count == 1 && !variable.asList) return pythonItem(variable, 0);
  Owned list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = pythonItem(variable, i);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  Py_INCREF(list.get());
  return list.get();
}

// What one evaluation set apart from plain names of `__main__`: module attributes to remove.
struct SetNames {
  std::unordered_set<std::string> plain;                       // plain names set
  std::unordered_map<std::string, std::string> modules;        // analysis -> first variable
  std::vector<std::pair<PyObject*, std::string>> attributes;   // (module, attribute); borrowed
};

// The module of analysis `analysis` (borrowed; kept for the run), created on first use and
// entered in sys.modules unless another module has that name there.
PyObject* analysisModule(const std::string& analysis) {
  auto found = interpreter.analysisModules.find(analysis);
  if (found != interpreter.analysisModules.end()) return found->second;
  PyObject* module = PyModule_New(analysis.c_str());
  if (!module) return nullptr;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (modules && !PyDict_GetItemString(modules, analysis.c_str()) &&
      PyDict_SetItemString(modules, analysis.c_str(), module) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  interpreter.analysisModules.emplace(analysis, module);
  return module;
}

// Sets one variable in `__main__` (or in its analysis module). Answers the failure text,
// "" when it was set.
std::string setVariable(const FormulaVariable& variable, SetNames& names) {
  std::string failure;
  const std::size_t dot = variable.name.find('.');
  if (dot == std::string::npos) {
    // A plain name equal to an analysis whose module this evaluation placed already.
    auto clash = names.modules.find(variable.name);
    if (clash != names.modules.end()) return moduleFailureText(clash->second);
    Owned value(pythonValue(variable, failure));
    if (!value || PyDict_SetItemString(interpreter.mainDict, variable.name.c_str(),
                                       value.get()) != 0) {
      PyErr_Clear();
      return failure.empty() ? notAvailable(variable.name) : failure;
    }
    names.plain.insert(variable.name);
    return "";
  }
  const std::string moduleFailure = moduleFailureText(variable.name);
  const std::string analysis = variable.name.substr(0, dot);
  const std::string attribute = variable.name.substr(dot + 1);
  if (analysis.empty() || attribute.empty() || names.plain.count(analysis)) {
    return moduleFailure;
  }
  Owned value(pythonValue(variable, failure));
  if (!value) {
    PyErr_Clear();
    return failure.empty() ? notAvailable(variable.name) : failure;
  }
  PyObject* module = analysisModule(analysis);
  if (!module ||
      PyDict_SetItemString(interpreter.mainDict, analysis.c_str(), module) != 0 ||
      PyObject_SetAttrString(module, attribute.c_str(), value.get()) != 0) {
    PyErr_Clear();
    return moduleFailure;
  }
  names.modules.emplace(analysis, variable.name);
  names.attributes.emplace_back(module, attribute);
  return "";
}

// Appends the numbers of "_result" (number, or nested lists and tuples of numbers).
// Answers false with `problem` set for anything else.
bool flattenResult(PyObject* value, int depth, std::vector<double>& values,
                   std::string& problem) {
  if (PyFloat_Check(value)) {
    values.push_back(PyFloat_AS_DOUBLE(value));
    return true;
  }
  if (PyLong_Check(value)) {  // also bool: True is 1, False is 0
    double x = PyLong_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      problem = formatText("\nThe integer in the python variable \"%s\" is too large to be "
                           "read as a number.",
                           kResultName);
      return false;
    }
    values.push_back(x);
    return true;
  }
  if ((PyList_Check(value) || PyTuple_Check(value)) && depth < kMaxResultNesting) {
    Owned items(PySequence_Fast(value, "_result"));
    if (!items) {
      PyErr_Clear();
      return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!flattenResult(PySequence_Fast_GET_ITEM(items.get(), i), depth + 1, values,
                         problem)) {
        return false;
      }
    }
    return true;
  }
  return false;
}

// The compiled code of a formula text, compiled on first use.
const CompiledFormula& compiledFormula(const std::string& formula) {
  auto found = interpreter.formulas.find(formula);
  if (found != interpreter.formulas.end()) return found->second;
  CompiledFormula compiled;
  compiled.code = Py_CompileString(formula.c_str(), "<formula>", Py_file_input);
  ++interpreter.compileCount;
  if (!compiled.code) compiled.compileError = takeExceptionText();
  return interpreter.formulas.emplace(formula, std::move(compiled)).first->second;
}

// Puts `__main__`, the analysis modules and the standard streams back as they were before
// the evaluation (invariant 3).
// Names added by the evaluation are deleted and changed ones reset; the builtins stay in
// place throughout, for any __del__ that runs while values are released. The streams are
// reset last, so that such a __del__ still writes into the capture.
void restoreInterpreter(const SetNames& names) {
  for (const auto& [module, attribute] : names.attributes) {
    if (PyObject_HasAttrString(module, attribute.c_str()) &&
        PyObject_DelAttrString(module, attribute.c_str()) != 0) {
      PyErr_Clear();
    }
  }
  // One pass: values that changed are put back in place (allowed while iterating), names
  // that were added are deleted afterwards. Only when a clean name was deleted by the
  // formula is the whole clean copy laid over again.
  std::vector<PyObject*> added;  // owned: a __del__ run by one deletion may drop another
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(interpreter.mainDict, &position, &key, &value)) {
    PyObject* clean = PyDict_GetItemWithError(interpreter.cleanMain, key);  // borrowed
    if (!clean) {
      Py_INCREF(key);
      added.push_back(key);
    } else if (clean != value && PyDict_SetItem(interpreter.mainDict, key, clean) != 0) {
      PyErr_Clear();
    }
  }
  for (PyObject* name : added) {
    if (PyDict_DelItem(interpreter.mainDict, name) != 0) PyErr_Clear();
    Py_DECREF(name);
  }
  if (PyDict_Size(interpreter.mainDict) != PyDict_Size(interpreter.cleanMain) &&
      PyDict_Update(interpreter.mainDict, interpreter.cleanMain) != 0) {
    PyErr_Clear();
  }
  PyObject_SetAttrString(interpreter.sysModule, "stdout", interpreter.stdoutStream);
  PyObject_SetAttrString(interpreter.sysModule, "stderr", interpreter.stderrStream);
  PyObject_SetAttrString(interpreter.sysModule, "stdin", interpreter.stdinStream);
  PyErr_Clear();
}

// One evaluation under the interpreter lock; the messages are returned, not written.
bool runFormula(const std::string& name, const std::string& formula,
                const std::vector<FormulaVariable>& variables, int designNumber,
                std::vector<double>& values, std::vector<FormulaMessage>& messages) {
  values.clear();
  const std::string runFailure = formatText(
      "%s The execution command returned an error flag.",
      formatText("Error in evaluating the following formula %s.", formula.c_str()).c_str());

  SetNames names;
  std::string output;  // what the formula wrote, then Python's report of a failure
  bool ran = false;
  std::string setFailure;

  // The run is unattended: a formula that asks for input fails instead of waiting for it
  // (or taking the line meant for the run menu), and exit() has no stdin to close.
  PyObject_SetAttrString(interpreter.sysModule, "stdin", Py_None);
  Owned captured(PyEval_EvalCode(interpreter.captureCode, interpreter.mainDict,
                                 interpreter.mainDict));
  PyObject* catchAll = PyDict_GetItemString(interpreter.mainDict, "catchAll");  // borrowed
  Py_XINCREF(catchAll);
  Owned catchAllRef(catchAll);
  if (!captured || !catchAll) {
    output = takeExceptionText();
  } else {
    for (const FormulaVariable& variable : variables) {
      setFailure = setVariable(variable, names);
      if (!setFailure.empty()) break;
    }
    if (setFailure.empty()) {
      Owned designNum(PyLong_FromLong(designNumber));
      if (!designNum ||
          PyDict_SetItemString(interpreter.mainDict, "Design_Num", designNum.get()) != 0) {
        PyErr_Clear();
        setFailure = notAvailable("Design_Num");
      }
    }
    if (setFailure.empty()) {
      const CompiledFormula& compiled = compiledFormula(formula);
      std::string failureReport = compiled.compileError;
      if (compiled.code) {
        Owned result(PyEval_EvalCode(compiled.code, interpreter.mainDict, interpreter.mainDict));
        ran = static_cast<bool>(result);
        if (!ran) failureReport = takeExceptionText();
      }
      Owned value(PyObject_GetAttrString(catchAll, "value"));
      if (value) {
        output = utf8Of(value.get());
      } else {
        PyErr_Clear();
      }
      // The failure goes after the formula's own output, as Python would have printed it.
      output += failureReport;
    }
  }

  bool ok = false;
  if (!setFailure.empty()) {
    messages.push_back({"error", setFailure});
  } else if (!ran) {
    messages.push_back({"error", runFailure});
  }
  if (setFailure.empty() && output.size() > 1) {
    messages.push_back(
        {"warning",
         formatText("Output from calculating the formula for %s:", name.c_str()) + "\n" + output});
  }
  if (ran) {
    PyObject* result = PyDict_GetItemString(interpreter.mainDict, kResultName);  // borrowed
    if (!result) {
      std::string head = formatText("Could not get data for \"%s\" from the Python interpreter.",
                                    kResultName);
      messages.push_back(
          {"error", formatText("%s Please make sure that this variable is defined within the "
                               "global scope.",
                               head.c_str())});
    } else {
      std::string problem;
      if (flattenResult(result, 0, values, problem)) {
        ok = true;
      } else {
        values.clear();
        if (problem.empty()) {
          problem = formatText("\nUnsupported data type in the python variable \"%s\" being "
                               "extracted.",
                               kResultName);
        }
        messages.push_back(
            {"error", formatText("Error in evaluating the formula for \"%s\".", name.c_str()) +
                          problem});
      }
    }
  }
  restoreInterpreter(names);
  PyErr_Clear();
  return ok;
}

// Starts the interpreter when needed and runs one evaluation under its lock.
bool evaluateLocked(const std::string& name, const std::string& formula,
                    const std::vector<FormulaVariable>& variables, int designNumber,
                    std::vector<double>& values, std::vector<FormulaMessage>& messages) {
  values.clear();
  if (interpreter.stopped) {
    messages.push_back(
        {"error", formatText("The Python interpreter for formulas has already been stopped. "
                             "The formula for %s cannot be evaluated.",
                             name.c_str())});
    return false;
  }
  startFormulaInterpreter();
  PyGILState_STATE lock = PyGILState_Ensure();
  bool ok = runFormula(name, formula, variables, designNumber, values, messages);
  PyGILState_Release(lock);
  return ok;
}

}  // namespace

std::string compileFormula(const std::string& name, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    if (line.find("quit()") != std::string::npos || line.find("exit()") != std::string::npos ||
        line.find("quit ()") != std::string::npos || line.find("exit ()") != std::string::npos) {
      std::string text = formatText(
          "Detected a possible use of \"quit() or exit()\" in the formula definition for "
          "\"%s\". These commands should NOT be used",
          name.c_str());
      text = formatText("%s in your formula definition. When this command is invoked within a "
                        "formula calcuation, ",
                        text.c_str());
      text = formatText("%sit will result in the KARVO run being terminated. Please check to "
                        "make sure that you are not",
                        text.c_str());
      text = formatText("%s using this command in the formula definition.", text.c_str());
      writeMessage("outptr", "warning", text);
      break;
    }
  }
  std::string text;
  std::string failure;
  if (!formulaText(name, lines, text, failure)) fatalError(failure);
  return text;
}

std::string compileFormula(const std::string& name, const std::string& text) {
  return compileFormula(name, splitLines(text));
}

bool evaluateFormula(const std::string& name, const std::string& formula,
                     const std::vector<FormulaVariable>& variables, int designNumber,
                     std::vector<double>& values, const std::string& analysisName) {
  std::vector<FormulaMessage> messages;
  bool ok = evaluateLocked(name, formula, variables, designNumber, values, messages);
  for (const FormulaMessage& message : messages) {
    writeMessage("analysis", message.severity, message.text, designNumber, analysisName);
  }
  return ok;
}

bool evaluateRelationshipExpression(const std::string& expression,
                                    const std::vector<std::pair<std::string, double>>& values,
                                    double& result, std::string& error) {
  error.clear();
  std::string formula;
  if (!formulaText(expression, splitLines(expression), formula, error)) return false;
  std::vector<FormulaVariable> variables;
  variables.reserve(values.size());
  for (const auto& [name, value] : values) {
    FormulaVariable variable;
    variable.name = name;
    variable.numbers.push_back(value);
    variables.push_back(std::move(variable));
  }
  std::vector<double> numbers;
  std::vector<FormulaMessage> messages;
  bool ok = evaluateLocked(expression, formula, variables, 0, numbers, messages);
  if (ok && numbers.size() != 1) {
    ok = false;
    messages.push_back({"error", formatText("The expression \"%s\" gave %zu values; it must "
                                            "give exactly one.",
                                            expression.c_str(), numbers.size())});
  }
  if (ok) {
    result = numbers[0];
    return true;
  }
  for (const FormulaMessage& message : messages) {
    if (!error.empty()) error += "\n";
    error += message.text;
  }
  return false;
}

void startFormulaInterpreter() {
  if (interpreter.started) return;
  if (interpreter.stopped) return;
  std::string home = workingDirectoryState.pythonHome;
  const bool homeGiven = !home.empty();
  if (homeGiven && !holdsStandardLibrary(home)) {
    failStart(home,
              formatText("This folder does not hold the standard library of Python %d.%d "
                         "(\"%s/os.py\" was not found). Set KARVO_PYTHON_PATH to the folder of "
                         "a Python %d.%d installation, or set it empty to use the system's own "
                         "Python 3.",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, standardLibraryOf(home).c_str(),
                         PY_MAJOR_VERSION, PY_MINOR_VERSION));
  }
  if (!homeGiven) home = linkedPythonHome();

  // Isolated: PYTHONPATH, PYTHONHOME and the user's site folder are ignored, and no signal
  // handler of the solver is replaced. A fixed hash seed keeps the order of sets of texts
  // the same from run to run.
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;
  config.use_hash_seed = 1;
  config.hash_seed = 0;
  config.parse_argv = 0;
  std::string failure;
  bool ok = true;
  if (!home.empty()) {
    ok = setConfigText(config, &config.home, home, failure);
    const std::string program =
        formatText("%s/bin/python%d.%d", home.c_str(), PY_MAJOR_VERSION, PY_MINOR_VERSION);
    if (ok && platform::isRegularFile(program)) {
      ok = setConfigText(config, &config.program_name, program, failure);
    }
  }
  if (ok) {
    PyStatus status = Py_InitializeFromConfig(&config);
    if (PyStatus_Exception(status)) {
      ok = false;
      failure = formatText("%s%s%s", status.func ? status.func : "",
                           status.func ? ": " : "", status.err_msg ? status.err_msg : "");
    }
  }
  PyConfig_Clear(&config);
  if (!ok) {
    interpreter.stopped = true;  // a failed start is not tried again
    failStart(home, "The interpreter reported: " + failure);
  }
  interpreter.started = true;
  std::string setupFailure = prepareInterpreter();
  interpreter.mainThread = PyEval_SaveThread();
  if (!setupFailure.empty()) {
    interpreter.stopped = true;  // half prepared: no formula may run in it
    failStart(home, setupFailure);
  }
  if (run.settings.verbose) {
    writeMessage("outptr", "note",
                 formatText("Formulas are evaluated with Python %s from \"%s\".", Py_GetVersion(),
                            home.empty() ? "its own home" : home.c_str()));
  }
}

void stopFormulaInterpreter() {
  if (!interpreter.started) return;
  PyEval_RestoreThread(interpreter.mainThread);
  interpreter.mainThread = nullptr;
  for (auto& [text, compiled] : interpreter.formulas) Py_XDECREF(compiled.code);
  interpreter.formulas.clear();
  for (auto& [analysis, module] : interpreter.analysisModules) Py_DECREF(module);
  interpreter.analysisModules.clear();
  for (PyObject** held : {&interpreter.mainDict, &interpreter.cleanMain,
                          &interpreter.captureCode, &interpreter.sysModule,
                          &interpreter.stdoutStream, &interpreter.stderrStream,
                          &interpreter.stdinStream,
                          &interpreter.formatException}) {
    Py_XDECREF(*held);
    *held = nullptr;
  }
  if (Py_FinalizeEx() < 0) {
    writeMessage("outptr", "warning",
                 "The Python interpreter for formulas could not write out all its buffered "
                 "data when it was stopped.");
  }
  interpreter.started = false;
  interpreter.stopped = true;
}

void setFormulaPreamble(const std::vector<std::string>& lines) {
  if (!interpreter.started) interpreter.preamble = lines;
}

int formulaCompileCount() { return interpreter.compileCount; }

namespace {
bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isNamePart(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }
}  // namespace

// The plain names a formula text mentions, in order of first use: string literals, comments,
// numbers and attributes (names after a ".") are skipped.
std::vector<std::string> formulaNames(const std::string& text) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const char c = text[i];
    if (c == '#') {
      while (i < n && text[i] != '\n') ++i;
    } else if (c == '\'' || c == '"') {
      ++i;
      while (i < n && text[i] != c) i += text[i] == '\\' ? 2 : 1;
      ++i;
    } else if (c >= '0' && c <= '9') {
      while (i < n && (isNamePart(text[i]) || text[i] == '.')) ++i;
    } else if (isNameStart(c)) {
      const std::size_t start = i;
      while (i < n && isNamePart(text[i])) ++i;
      std::size_t before = start;
      while (before > 0 && (text[before - 1] == ' ' || text[before - 1] == '\t')) --before;
      const bool attribute = before > 0 && text[before - 1] == '.';
      std::string name = text.substr(start, i - start);
      if (!attribute && seen.insert(name).second) names.push_back(std::move(name));
    } else {
      ++i;
    }
  }
  return names;
}

}  // namespace karvo
