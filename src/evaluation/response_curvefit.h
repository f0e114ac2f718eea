// Curve-fit responses: the RMS distance between a design curve (the values of two variables
// or responses, "fitX" and "fitY") and a target curve of `*DEFINE_CURVE`.
//
// For each design point (X, Y), in order:
//   1. the first target segment with x[k-1] <= X <= x[k] gives the target value T and the
//      weight W by linear interpolation, and the point counts as compared; a point outside
//      every segment is skipped with a warning;
//   2. "Match" takes every compared point, "Keep below" only those with Y > T, "Keep above"
//      only those with Y < T;
//   3. the point adds W * (Y - T)^2, divided by T^2 when fitNormalize is set and T != 0.
// The response is sqrt(sum / compared), or 0 when the sum is not positive. No compared point,
// fewer design points than minPoints, and a design point that is not a finite number fail
// with the failure value -1e99; the response then has no data.
#pragma once

#include <string>
#include <vector>

#include "definitions/response_definitions.h"

namespace karvo {

struct Curve;
struct EvaluationContext;

inline constexpr double kCurveFitFailure = -1e99;  // value of a failed curve fit

// What one curve fit gave. Texts are complete log messages.
struct CurveFitOutcome {
  bool ok = false;                    // a value was computed
  double value = kCurveFitFailure;    // the RMS distance (>= 0), or kCurveFitFailure
  int compared = 0;                   // design points inside the target's X range
  std::vector<std::string> warnings;  // one per skipped design point, in order
  std::string error;                  // unless ok: why, starting with the response's head
};

// The head of every evaluation error of a calculated response:
// "Error in evaluating response \"<name>\".".
std::string responseErrorHead(const std::string& responseName);

// The fit of the design curve (`x`, `y`, same length) against `target` (at least two points,
// X not decreasing). Pure: nothing is logged or written.
CurveFitOutcome computeCurveFit(const std::string& responseName, const std::vector<double>& x,
                                const std::vector<double>& y, const Curve& target,
                                FitMode mode, bool normalize, int minPoints);

// The curve-fit response `response` for the design of `context`: reads the design curve
// (values of fitX and fitY), writes it to "<analysis folder>/Curve_Data_<name>.out" (the
// folder is context.analysisPath; nothing is written when it is empty), and computes the
// fit. Messages go to the analysis log of the context: the skipped points as warnings, a
// failure as an error. Answers true with the value in `value`; false with kCurveFitFailure.
bool evaluateCurveFitResponse(const ResponseDefinition& response,
                              const EvaluationContext& context, double& value);

// "<folder>/Curve_Data_<name>.out".
std::string curveDataFileName(const std::string& folder, const std::string& responseName);

}  // namespace karvo
