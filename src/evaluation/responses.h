// Response processing: how the responses of one design get their values and statuses.
//
// The store of a design is the `responses` table of its EvaluationContext (name -> value),
// so that formulas, conditions and tags read what has been found so far. Its life for one
// design:
//
//   startDesignResponses        every response of the design: no data, NOT EVALUATED
//        |
//   for each analysis that ran:
//     responseExtractionCallback   the portal reports each response it extracts (values,
//        |                         message, error flag) -> stored or failed
//     processAnalysisResponses     the analysis's extracted responses without data get their
//        |                         error; its calculated responses are computed; constraint
//        |                         responses become FEASIBLE / INFEASIBLE
//     analysisStatusOf             the analysis status rolled up from its responses
//   (a skipped analysis: markAnalysisResponsesSkipped)
//        |
//   calculateDesignResponses    the calculated responses that no analysis lists
//   finishDesignResponses       every study response has data; accepted ranges; the values
//                               go into Design::responses. A failure makes an error design.
//
// Values: a numeric response ("dataType" numeric) holds numbers in ResponseValue::values; any
// other holds texts in ResponseValue::text. A response has data when `present` is set; a
// failed extraction or calculation leaves it without data and in ERROR.
//
// Every message goes to the analysis log of the context (design log when the context names
// no analysis) through writeMessage("analysis", ...).
#pragma once

#include <string>
#include <vector>

#include "definitions/response_definitions.h"
#include "evaluation/tagging.h"
#include "external/portal.h"
#include "base/design.h"

namespace karvo {

struct Analysis;
struct Process;
struct PerformanceDefinition;

// ---------------------------------------------------------------------------------------
// Status codes of responses and analyses

// EvaluationStatus and statusWord: base/design.h.

// The status of an analysis from the statuses of its responses, taken in order. A skipped
// analysis is SKIPPED. Otherwise it starts as ERROR when the analysis failed, SUCCESS when
// not; an ERROR response makes it ERROR, and nothing changes ERROR; a FEASIBLE response turns
// SUCCESS into FEASIBLE (INFEASIBLE stays); an INFEASIBLE response makes it INFEASIBLE;
// SUCCESS, NOT EVALUATED, SKIPPED and any other code change nothing.
int rollUpAnalysisStatus(bool skipped, bool failed, const std::vector<int>& responseStatuses);

// The same over the responses of `analysis` (its extracted, then its calculated responses)
// as held by `context`; a response the context does not hold changes nothing.
int analysisStatusOf(const Analysis& analysis, bool skipped, bool failed,
                     const EvaluationContext& context);

// ---------------------------------------------------------------------------------------
// The responses of a design

// Every response a design of `process` scored by `performance` produces (either may be
// null), each once: the extracted and calculated responses of each analysis in process
// order, then the study responses, then the responses that calculated ones depend on.
std::vector<std::string> designResponseNames(const PerformanceDefinition* performance,
                                             const Process* process);

// The defined responses that the calculation of `response` reads (formula names, fitX and
// fitY, the response filtered, minor and major strains, model inputs, and the names of its
// dependency list), each once.
std::vector<std::string> responseDependencies(const ResponseDefinition& response);

// Fills context.responses with `names`: no data, status NOT EVALUATED. Earlier entries are
// dropped.
void startDesignResponses(EvaluationContext& context, const std::vector<std::string>& names);

// ---------------------------------------------------------------------------------------
// Extraction (the portal's report of each response)

// Stores what a portal reported for response `name`: `message`, when not empty, is logged as
// "The following message was received from the portal during extraction for response
// <name>:\n<message>", an error when `errorInCall` is set, else a note. With `errorInCall`,
// or without values, the response has no data and is in ERROR. Otherwise a numeric response
// takes the values as numbers (a value that is not a finite number fails it, with an error
// naming the value) and a text response takes them as texts; it is then SUCCESS.
// A name that is not a defined response, or not one the context's analysis extracts, is
// ignored with a warning.
void recordExtractedValues(EvaluationContext& context, const std::string& name,
                           const std::vector<std::string>& values, const std::string& message,
                           bool errorInCall);
// The same for values already read as numbers (a text response keeps them as their shortest
// round-trip texts: 2.5 -> "2.5").
void recordExtractedNumbers(EvaluationContext& context, const std::string& name,
                            const std::vector<double>& values, const std::string& message,
                            bool errorInCall);

// The callback handed to Portal::extract for the design and analysis of `context` (kept by
// reference: it must outlive the call). A report with ok false is an error in the call.
ExtractionCallback responseExtractionCallback(EvaluationContext& context);

// ---------------------------------------------------------------------------------------
// Calculated responses

// Computes calculated response `response` for the design of `context` and stores the
// outcome: the values and SUCCESS, or (after the error is logged) no data and ERROR.
//   Formula    evaluateFormula with every known name the formula mentions
//   Curve Fit  evaluateCurveFitResponse (response_curvefit.h)
//   Filter     evaluateFilterResponse (response_filter.h)
//   FLD        evaluateFormingLimitResponse (response_fld.h)
//   RSM        the model file's value at the design's values of the model's variables
// A "File" response is not calculated: an internal error, no data. Answers whether the
// response has data.
bool calculateResponse(const ResponseDefinition& response, EvaluationContext& context);

// The values of formula response `response`; false (nothing stored) when the formula fails.
bool evaluateFormulaResponse(const ResponseDefinition& response,
                             const EvaluationContext& context, std::vector<double>& values);

// After `analysis` completed and its portal reported: each extracted response of the
// analysis without data gets the error "The processing of response \"%s\" resulted in no
// data being extracted. This design will be marked as an error design." and ERROR; its
// calculated responses are computed in order; with a `performance`, the constraint
// responses among them get FEASIBLE or INFEASIBLE (markConstraintStatuses). Answers the
// names of the analysis's responses without data, in that order (empty: all found).
std::vector<std::string> processAnalysisResponses(const Analysis& analysis,
                                                  EvaluationContext& context,
                                                  const PerformanceDefinition* performance);

// The error of the evaluation flow for an analysis whose responses are not all found:
// "Could not extract result for all the responses associated with this analysis. The list
// of responses is provided below:\n", then " <name>, " per name, then "\nANALYSIS LOG: <log>".
std::string missingAnalysisResponsesText(const std::vector<std::string>& names,
                                         const std::string& analysisLog);

// Each extracted and calculated response of a skipped analysis that has no data becomes
// SKIPPED (one that another analysis already gave keeps its value and status).
void markAnalysisResponsesSkipped(const Analysis& analysis, EvaluationContext& context);

// Computes, in dependency order, every calculated response among `names` that is still NOT
// EVALUATED (those no analysis computed). Answers false when one of them failed.
bool calculateDesignResponses(const std::vector<std::string>& names, EvaluationContext& context);

// Sets FEASIBLE or INFEASIBLE on each constraint response of `performance` that has data
// and is not in ERROR: INFEASIBLE when any of its values violates any constraint on it.
void markConstraintStatuses(const PerformanceDefinition& performance, EvaluationContext& context);

// ---------------------------------------------------------------------------------------
// Accepted ranges and the end of a design

// Checks every numeric response with data against its accepted range: the definition's
// acceptMin/acceptMax, and for a study response of `performance` (may be null) its
// minAllowed/maxAllowed. A range applies only when at least one of its limits was given. A
// value outside (or not a number) writes to the design log the error
// "The value for the response \"%s\" = %f for design %d, lies outside the range specified.
// This design will be marked as an error design." and a line with the range ("The accepted
// range is 0 to 10.", "The accepted values are at least 0.", "... at most 10."),
// sets the response to ERROR (it keeps its values, for the history) and the text in the
// performance's err_msgs. Answers true when every value lies inside.
bool checkAcceptRanges(EvaluationContext& context, PerformanceDefinition* performance);

// Finishes the responses of a design: every study response of `performance` (every
// response the context holds when it is null) must have data, else the error "The
// evaluation of this design did not result in the extraction of data for all the responses
// associated with this design. The list of responses is provided below:\n" with " <name>, "
// per name goes to the design log; then the accepted ranges are checked. The study
// responses are copied into design.responses (one per study response, in order). Answers
// false, with design.failed set and design.status kDesignError, when the design is an error
// design.
bool finishDesignResponses(EvaluationContext& context, PerformanceDefinition* performance,
                           Design& design);

// ---------------------------------------------------------------------------------------
// Start-up: which analysis gives each study response

// Sets eval / eval_tool of every study response of `performance` to the first analysis of
// `process` that extracts or calculates it. An extracted ("File") response that no analysis
// extracts ends the run: "The tagged response \"%s\" defined in Performance%d.in file has
// not been associated with any analysis in the Process%d.in file.". Calculated responses no
// analysis lists are computed when the design finishes (eval stays -1). A response given by
// several analyses of which more than one has no run condition ends the run too: only one
// of them may run unconditionally.
void associateStudyResponses(PerformanceDefinition& performance, const Process& process);

// Forgets the compiled formula texts (tests, and a new study).
void resetResponseProcessing();

}  // namespace karvo
