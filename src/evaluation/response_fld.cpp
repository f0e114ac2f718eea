// Forming-limit responses: the margin of a design's sheet strains to its forming-limit curve
// (see response_fld.h). Pure arithmetic over the strain lists, one pass per design.
#include "evaluation/response_fld.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/messages.h"
#include "base/text.h"
#include "definitions/variables.h"
#include "evaluation/response_curvefit.h"
#include "evaluation/tagging.h"

namespace karvo {

namespace {

constexpr double kPi = 3.14159265358979323846;

// The value of a piecewise-linear curve at `x`; the end values beyond its ends.
double curveValue(const Curve& curve, double x) {
  const std::vector<CurvePoint>& p = curve.points;
  if (x <= p.front().x) return p.front().y;
  if (x >= p.back().x) return p.back().y;
  for (std::size_t k = 1; k < p.size(); ++k) {
    if (x > p[k].x) continue;
    const double width = p[k].x - p[k - 1].x;
    const double s = width > 0.0 ? (x - p[k - 1].x) / width : 0.0;
    return p[k - 1].y + s * (p[k].y - p[k - 1].y);
  }
  return p.back().y;
}

void logError(const EvaluationContext& context, const std::string& text) {
  writeMessage("analysis", "error", text, context.designNumber, context.analysisName);
}

// The numbers of `name` for the design; false (logged) when it has none.
bool strainValues(const ResponseDefinition& response, const std::string& name,
                  const char* what, const EvaluationContext& context,
                  std::vector<double>& values) {
  const VariableValues found = variableValues(name, context);
  if (!found.ok || found.isText || found.numbers.empty()) {
    logError(context, formatText("%s\nThe data for \"%s\" (the %s) is not available or not "
                                 "numeric.",
                                 responseErrorHead(response.name).c_str(), name.c_str(), what));
    return false;
  }
  values = found.numbers;
  return true;
}

// A number given in the record, or the first value of the name it gives; > 0.
bool positiveInput(const ResponseDefinition& response, const char* property,
                   const std::string& text, const EvaluationContext& context, double& value) {
  const std::string given = trimmed(text);
  char* end = nullptr;
  value = std::strtod(given.c_str(), &end);
  if (end == given.c_str() || *end != '\0') {
    const VariableValues found = variableValues(given, context);
    value = found.ok && !found.isText && !found.numbers.empty() ? found.numbers.front() : NAN;
  }
  if (std::isfinite(value) && value > 0.0) return true;
  logError(context, formatText("%s\nThe value of \"%s\" (%s) is not a number greater than 0 for "
                               "this design.",
                               responseErrorHead(response.name).c_str(), property,
                               given.c_str()));
  return false;
}

const Curve* definedCurve(const ResponseDefinition& response, const std::string& name,
                          const EvaluationContext& context) {
  const Curve* curve = findCurve(trimmed(name));
  if (!curve || curve->points.empty()) {
    logError(context, formatText("%s\nThe forming-limit curve \"%s\" has not been defined.",
                                 responseErrorHead(response.name).c_str(),
                                 trimmed(name).c_str()));
    return nullptr;
  }
  return curve;
}

}  // namespace

double keelerPlaneStrainPercent(double thickness, double hardening) {
  return (23.3 + 14.13 * thickness) * hardening / 0.21;
}

double formingLimitMajor(const FormingLimitCurve& curve, double minor) {
  if (minor < 0.0 && curve.side != FldCompressionSide::Own) {
    if (curve.side == FldCompressionSide::UserCurve) return curveValue(*curve.compCurve, minor);
    FormingLimitCurve own = curve;
    own.side = FldCompressionSide::Own;
    return formingLimitMajor(own, 0.0) - minor * curve.compSlope;
  }
  if (curve.kind == FldCurve::UserCurve) return curveValue(*curve.curve, minor);
  const double flc0 = curve.keelerPercent / 100.0;
  if (minor < 0.0) return std::log1p(flc0) - minor;
  return std::log1p(flc0 + 0.6 * std::expm1(minor));
}

double formingLimitMargin(const FormingLimitCurve& curve, double offset,
                          const std::vector<double>& minor, const std::vector<double>& major) {
  double margin = INFINITY;
  for (std::size_t i = 0; i < minor.size() && i < major.size(); ++i) {
    margin = std::min(margin, formingLimitMajor(curve, minor[i]) - offset - major[i]);
  }
  return margin;
}

bool evaluateFormingLimitResponse(const ResponseDefinition& response,
                                  const EvaluationContext& context, std::vector<double>& values) {
  const FldData& fld = response.fld;
  FormingLimitCurve curve;
  curve.kind = fld.curve;
  curve.side = fld.side;
  if (fld.curve == FldCurve::Keeler) {
    double thickness = 0.0;
    double hardening = 0.0;
    if (!positiveInput(response, "thickness", fld.thickness, context, thickness) ||
        !positiveInput(response, "hardening", fld.hardening, context, hardening)) {
      return false;
    }
    curve.keelerPercent = keelerPlaneStrainPercent(thickness, hardening);
  } else if (!(curve.curve = definedCurve(response, fld.tensileCurve, context))) {
    return false;
  }
  if (fld.side == FldCompressionSide::Angle) {
    curve.compSlope = std::tan(fld.compAngle * kPi / 180.0);
  } else if (fld.side == FldCompressionSide::UserCurve &&
             !(curve.compCurve = definedCurve(response, fld.compCurve, context))) {
    return false;
  }
  std::vector<double> minor;
  std::vector<double> major;
  if (!strainValues(response, fld.minor, "minor strains", context, minor) ||
      !strainValues(response, fld.major, "major strains", context, major)) {
    return false;
  }
  if (minor.size() != major.size()) {
    logError(context, formatText("%s\nThe strains have different numbers of values: %d minor "
                                 "(\"%s\") and %d major (\"%s\").",
                                 responseErrorHead(response.name).c_str(),
                                 static_cast<int>(minor.size()), fld.minor.c_str(),
                                 static_cast<int>(major.size()), fld.major.c_str()));
    return false;
  }
  for (std::size_t i = 0; i < minor.size(); ++i) {
    if (!std::isfinite(minor[i]) || !std::isfinite(major[i])) {
      logError(context, formatText("%s\nThe strains of point %d (%g, %g) are not finite "
                                   "numbers.",
                                   responseErrorHead(response.name).c_str(),
                                   static_cast<int>(i) + 1, minor[i], major[i]));
      return false;
    }
  }
  values.push_back(formingLimitMargin(curve, fld.curveOffset, minor, major));
  return true;
}

}  // namespace karvo
