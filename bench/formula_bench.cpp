// Formula evaluations per second through the embedded interpreter (items_per_second), for
// the formulas a design evaluation runs most: a response formula over 10 scalar variables,
// a formula over two 100-point curves giving 100 values, and a relationship expression of
// the search engine. A last benchmark times compiling the 10-variable formula text alone,
// the work that compiling each text once saves on every evaluation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

#include "evaluation/formula.h"

namespace {

using karvo::FormulaVariable;

const char* const kTenVariableFormula =
    "_result = (x1 * x2 + x3 ** 2 - x4 / x5 + sqrt(abs(x6)) + x7 * x8 - x9 + x10) / 10.0";

std::vector<FormulaVariable> tenVariables() {
  std::vector<FormulaVariable> variables(10);
  for (int i = 0; i < 10; ++i) {
    variables[i].name = "x" + std::to_string(i + 1);
    variables[i].numbers = {1.0 + i};
  }
  return variables;
}

void BM_FormulaTenVariables(benchmark::State& state) {
  std::vector<FormulaVariable> variables = tenVariables();
  const std::string formula = karvo::compileFormula("perf", std::string(kTenVariableFormula));
  std::vector<double> values;
  int design = 0;
  for (auto _ : state) {
    variables[0].numbers[0] = 1.0 + (design % 7);  // a new design's value each time
    if (!karvo::evaluateFormula("perf", formula, variables, ++design, values)) {
      state.SkipWithError("formula failed");
      break;
    }
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormulaTenVariables);

void BM_FormulaTwoCurves(benchmark::State& state) {
  std::vector<FormulaVariable> variables(2);
  variables[0].name = "Crash.time";
  variables[1].name = "Crash.force";
  for (int i = 0; i < 100; ++i) {
    variables[0].numbers.push_back(0.001 * i);
    variables[1].numbers.push_back(50.0 - 0.5 * i);
  }
  const std::string formula = karvo::compileFormula(
      "impulse", std::string("_result = [t * f for t, f in zip(Crash.time, Crash.force)]"));
  std::vector<double> values;
  int design = 0;
  for (auto _ : state) {
    if (!karvo::evaluateFormula("impulse", formula, variables, ++design, values) ||
        values.size() != 100) {
      state.SkipWithError("formula failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormulaTwoCurves);

void BM_RelationshipExpression(benchmark::State& state) {
  const std::vector<std::pair<std::string, double>> values{{"width", 12.0}, {"height", 3.5}};
  double result = 0.0;
  std::string error;
  for (auto _ : state) {
    if (!karvo::evaluateRelationshipExpression("2.0 * width - height", values, result, error)) {
      state.SkipWithError("expression failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RelationshipExpression);

// Compiling the text alone, as a formula run from its source text each time would.
void BM_CompileTenVariableFormulaText(benchmark::State& state) {
  karvo::startFormulaInterpreter();
  PyGILState_STATE lock = PyGILState_Ensure();
  for (auto _ : state) {
    PyObject* code = Py_CompileString(kTenVariableFormula, "<formula>", Py_file_input);
    if (!code) {
      PyErr_Clear();
      state.SkipWithError("compile failed");
      break;
    }
    Py_DECREF(code);
  }
  PyGILState_Release(lock);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompileTenVariableFormulaText);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  karvo::stopFormulaInterpreter();
  return 0;
}
