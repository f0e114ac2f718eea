// Study relationships applied to a decoded design (`*DEFINE_RELATIONSHIP` of
// "Definitions.in"). Each relationship ties one design variable to an expression in the
// study's variables and parameters:
//
//   equality                    the variable takes the expression's value;
//   inequality, less_equal      a value above the expression is moved down onto it;
//   inequality, greater_equal   a value below the expression is moved up onto it.
//
// Relationships act in the order of "Definitions.in"; each sees the values left by the ones
// before it. A relationship whose variable is not in the design's representation does not
// act on that design. A failing relationship (the expression cannot be evaluated, a value
// that is not a choice of a discrete variable, a value beyond the variable's bounds) marks the
// design failed and reports on the design's log; it never stops the run.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/design.h"
#include "definitions/representation.h"

namespace karvo {

struct EncodingContext;

// Evaluates `expression` (the relationship's `parameters` lines joined with newlines, in the
// syntax of a dependent variable's formula) with the named values. Answers true with the
// value in `result`, or false with the reason in `error`. Must not write messages.
using ExpressionEvaluator = std::function<bool(
    const std::string& expression, const std::vector<std::pair<std::string, double>>& values,
    double& result, std::string& error)>;

struct RelationshipSettings {
  ExpressionEvaluator evaluator;   // answers the expressions; an empty one fails each design
                                   // that a relationship acts on
  int* nextDesignNumber = nullptr; // next free design number (>= 1), advanced when a failing
                                   // design without a number draws one; null: none is drawn
};

// The values handed to an expression: every continuous and discrete variable and every fixed
// parameter of the variable table, by name, in table order. Variables of `representation`
// take the design's values (a discrete variable its item as a number when its set is
// numeric, else its 1-based choice); other variables their baselines; fixed parameters the
// design's parameter values when it carries them, else their baselines.
std::vector<std::pair<std::string, double>> relationshipValues(
    const Design& design, const Representation& representation);

// Applies every study relationship to `design`, already decoded into `representation`. A
// changed value is written to the design's real values and chromosome (nearest field) and to
// the slot; when the field does not reproduce the value exactly, the design's encoding
// becomes 2 (real values authoritative). Answers true when every relationship held or was
// applied. On the first failure writes "Error in updating design (%d) variable values based
// on the study relation. The following error message was received:\n%s\nThis design will be
// marked as an error." on the design's log (destination "analysis", severity "error"), marks
// the design failed (performance -1e99, violation 10.0, status error) after giving it a
// design number from settings.nextDesignNumber when it had none, and answers false.
bool applyStudyRelationships(Design& design, Representation& representation,
                             const EncodingContext& context,
                             const RelationshipSettings& settings);

}  // namespace karvo
