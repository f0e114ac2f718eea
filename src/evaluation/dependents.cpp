// Dependent variables, evaluated through the embedded interpreter for every design (a few
// formulas per design, microseconds each once compiled).
#include "evaluation/dependents.h"

#include <string>
#include <vector>

#include "definitions/variables.h"
#include "evaluation/formula.h"
#include "evaluation/tagging.h"

namespace karvo {

namespace {

// Interpreter text of each variable's formula, by index into definitions.variables ("" for
// variables that are not dependent).
std::vector<std::string> formulaTexts;

}  // namespace

void prepareDependentVariables() {
  formulaTexts.assign(definitions.variables.size(), "");
  for (std::size_t i = 0; i < definitions.variables.size(); ++i) {
    const Variable& variable = definitions.variables[i];
    if (variable.kind == VariableKind::Dependent) {
      formulaTexts[i] = compileFormula(variable.name, variable.formula);
    }
  }
}

bool evaluateDependentVariables(EvaluationContext& context) {
  if (formulaTexts.size() != definitions.variables.size()) prepareDependentVariables();
  std::vector<FormulaVariable> known;
  for (std::size_t i = 0; i < definitions.variables.size(); ++i) {
    const Variable& variable = definitions.variables[i];
    if (variable.kind == VariableKind::Dependent) {
      std::vector<double> values;
      if (!evaluateFormula(variable.name, formulaTexts[i], known, context.designNumber, values,
                           context.analysisName) ||
          values.empty()) {
        return false;
      }
      context.numbers[variable.name] = values.front();
    }
    // The variable's value (a dependent's just computed) is known to the formulas after it.
    VariableValues current = variableValues(variable.name, context, false);
    if (!current.ok) continue;
    FormulaVariable passed;
    passed.name = variable.name;
    passed.asList = current.count() > 1;
    if (current.isText) {
      passed.texts = current.texts;
    } else {
      passed.numbers = current.numbers;
    }
    known.push_back(std::move(passed));
  }
  return true;
}

void resetDependentVariables() { formulaTexts.clear(); }

}  // namespace karvo
