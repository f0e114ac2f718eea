// Curve-fit responses: RMS distance of a design curve to a user curve, computed once per
// design that defines one (a few hundred design points against a target of tens of points;
// the segment search is linear per point, which is negligible beside the analyses).
#include "evaluation/response_curvefit.h"

#include <cmath>
#include <string>
#include <vector>

#include "definitions/variables.h"
#include "base/messages.h"
#include "evaluation/tagging.h"
#include "platform/platform.h"

namespace karvo {

namespace {

// Target value and weight at `x` on the first segment that holds it; false when none does.
bool interpolateTarget(const Curve& target, double x, double& t, double& w) {
  for (std::size_t k = 1; k < target.points.size(); ++k) {
    const CurvePoint& a = target.points[k - 1];
    const CurvePoint& b = target.points[k];
    if (!(a.x <= x && x <= b.x)) continue;
    const double width = b.x - a.x;
    // Two adjacent points with the same X (allowed, with a warning, in the definition): the
    // segment is a single X and the first point's values apply.
    const double s = width > 0.0 ? (x - a.x) / width : 0.0;
    t = a.y + s * (b.y - a.y);
    w = a.weight + s * (b.weight - a.weight);
    return true;
  }
  return false;
}

// The design curve's values of `name`; false with the reason appended to `error`.
bool designCurveValues(const std::string& responseName, const std::string& name,
                       const char* axis, const EvaluationContext& context,
                       std::vector<double>& values, std::string& error) {
  const VariableValues found = variableValues(name, context);
  if (!found.ok || found.count() == 0) {
    error = formatText("%s\nThe data for \"%s\" (the %s values of the design curve) is not "
                       "available.",
                       responseErrorHead(responseName).c_str(), name.c_str(), axis);
    return false;
  }
  if (found.isText) {
    error = formatText("%s\nThe data for \"%s\" (the %s values of the design curve) is not "
                       "numeric.",
                       responseErrorHead(responseName).c_str(), name.c_str(), axis);
    return false;
  }
  values = found.numbers;
  return true;
}

void writeDesignCurve(const ResponseDefinition& response, const EvaluationContext& context,
                      const std::vector<double>& x, const std::vector<double>& y) {
  if (context.analysisPath.empty()) return;
  const std::string file = curveDataFileName(context.analysisPath, response.name);
  FileHandle* out = openFile(file, "w");
  if (!out) {
    writeMessage("analysis", "warning",
                 formatText("Could not write the design curve of response \"%s\" to the file "
                            "\"%s\". The curve fit is calculated all the same.",
                            response.name.c_str(), file.c_str()),
                 context.designNumber, context.analysisName);
    return;
  }
  writeFormatted(out, " %s, %s\n", response.curveFit.x.c_str(), response.curveFit.y.c_str());
  for (std::size_t i = 0; i < x.size(); ++i) writeFormatted(out, " %g, %g\n", x[i], y[i]);
  closeFile(out);
}

}  // namespace

std::string responseErrorHead(const std::string& responseName) {
  return formatText("Error in evaluating response \"%s\".", responseName.c_str());
}

std::string curveDataFileName(const std::string& folder, const std::string& responseName) {
  return formatText("%s%cCurve_Data_%s.out", folder.c_str(), platform::kPathSeparator,
                    responseName.c_str());
}

CurveFitOutcome computeCurveFit(const std::string& responseName, const std::vector<double>& x,
                                const std::vector<double>& y, const Curve& target,
                                FitMode mode, bool normalize, int minPoints) {
  CurveFitOutcome out;
  const std::string head = responseErrorHead(responseName);
  if (x.size() != y.size()) {
    out.error = formatText("%s\nThe design curve has different number of X and Y values.",
                           head.c_str());
    out.error = formatText("%s\nThe X data has %d values, while the Y data has %d values.",
                           out.error.c_str(), static_cast<int>(x.size()),
                           static_cast<int>(y.size()));
    return out;
  }
  const int points = static_cast<int>(x.size());
  if (points < minPoints) {
    out.error = formatText("%s\nThere are only %d points on the new design curve. The minimum "
                           "valid number defined was %d.\n",
                           head.c_str(), points, minPoints);
    return out;
  }
  // A NaN would compare as inside no segment or add a NaN that the "sum not positive" rule
  // turns into a perfect fit of 0: such a design curve is refused instead.
  for (int i = 0; i < points; ++i) {
    if (!std::isfinite(x[i]) || !std::isfinite(y[i])) {
      out.error = formatText("%s\nThe point # %d (%g, %g) of the design curve is not a finite "
                             "number.",
                             head.c_str(), i + 1, x[i], y[i]);
      return out;
    }
  }
  double sum = 0.0;
  for (int i = 0; i < points; ++i) {
    double t = 0.0;
    double w = 0.0;
    if (!interpolateTarget(target, x[i], t, w)) {
      out.warnings.push_back(formatText(
          "The point # %d (%g, %g) of the design curve lies outside the domain of the reference "
          "curve \"%s\". This point will not be used in the RMS calculation.",
          i + 1, x[i], y[i], target.name.c_str()));
      continue;
    }
    ++out.compared;
    if (mode == FitMode::KeepBelow && !(y[i] > t)) continue;
    if (mode == FitMode::KeepAbove && !(y[i] < t)) continue;
    double term = w * (y[i] - t) * (y[i] - t);
    if (normalize && t != 0.0) term /= t * t;
    sum += term;
  }
  if (out.compared == 0) {
    out.error = formatText("%s\nAll the points on the curve lie outside the domain of the "
                           "target curve. No points were compared.\n",
                           head.c_str());
    return out;
  }
  out.ok = true;
  out.value = sum > 0.0 ? std::sqrt(sum / out.compared) : 0.0;
  return out;
}

bool evaluateCurveFitResponse(const ResponseDefinition& response,
                              const EvaluationContext& context, double& value) {
  value = kCurveFitFailure;
  const CurveFitData& fit = response.curveFit;
  auto fail = [&](const std::string& text) {
    writeMessage("analysis", "error", text, context.designNumber, context.analysisName);
    return false;
  };
  std::vector<double> x;
  std::vector<double> y;
  std::string error;
  if (!designCurveValues(response.name, fit.x, "X", context, x, error)) return fail(error);
  if (!designCurveValues(response.name, fit.y, "Y", context, y, error)) return fail(error);
  if (x.size() == y.size()) writeDesignCurve(response, context, x, y);
  const Curve* target = findCurve(fit.target);
  if (!target) {
    return fail(formatText("%s\nThe target curve \"%s\" has not been defined.",
                           responseErrorHead(response.name).c_str(), fit.target.c_str()));
  }
  const CurveFitOutcome outcome = computeCurveFit(response.name, x, y, *target, fit.mode,
                                                  fit.normalize != 0, fit.minPoints);
  for (const std::string& warning : outcome.warnings) {
    writeMessage("analysis", "warning", warning, context.designNumber, context.analysisName);
  }
  if (!outcome.ok) return fail(outcome.error);
  value = outcome.value;
  return true;
}

}  // namespace karvo
