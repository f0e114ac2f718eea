// Dependent variables: values computed from a formula of the design's other variables and
// parameters. Their formulas are checked once at start-up and evaluated for every design,
// before its input files are tagged.
#pragma once

namespace karvo {

struct EvaluationContext;

// Builds the interpreter text of every dependent variable's formula once; a formula that
// cannot be used ends the run with its definition message.
void prepareDependentVariables();

// Evaluates the dependent variables in file order into context.numbers; each sees the design
// variables, the parameters and the dependents defined before it. Answers false when one
// cannot be evaluated (its messages are in the design's log): the design then fails.
bool evaluateDependentVariables(EvaluationContext& context);

void resetDependentVariables();

}  // namespace karvo
