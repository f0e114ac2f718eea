// The response table: `*DEFINE_RESPONSE` records of "Definitions.in" with their type-specific
// data, read and checked once at start-up; looked up by name by the file readers and, for
// each design, by the evaluation flow (tens of responses, linear look-up).
#include "definitions/response_definitions.h"

#include <cmath>
#include <cstdlib>

#include "definitions/definitions_common.h"
#include "definitions/reader.h"
#include "base/messages.h"

namespace karvo {

std::vector<ResponseDefinition> responseDefinitions;

namespace {

// Every property of a response record, whatever its type; each type reads some.
constexpr const char* kResponseNames[] = {
    "name",     "type",       "dataType",  "acceptMin",   "acceptMax",    "formula",
    "fitTarget", "fitX",      "fitY",      "fitMode",     "fitNormalize", "minPoints",
    "curveFitFormula", "filter", "filterType", "cutoff",  "interval",     "numPts",
    "filterFormula", "curveType", "curveOffset", "minor", "major",        "compType",
    "hardening", "thickness", "tensileCurve", "compCurve", "compAngle",   "fldFormula",
    "mdlFile",  "variables"};

bool typeOfWord(const std::string& word, ResponseType& type) {
  if (word == "Formula") {
    type = ResponseType::Formula;
  } else if (word == "Curve Fit") {
    type = ResponseType::CurveFit;
  } else if (word == "FLD") {
    type = ResponseType::FLD;
  } else if (word == "Filter") {
    type = ResponseType::Filter;
  } else if (word == "RSM") {
    type = ResponseType::RSM;
  } else if (word == "File") {
    type = ResponseType::File;
  } else {
    return false;
  }
  return true;
}

// "Error in the definition of the response \"<name>\"." followed by `detail` (joined as the
// messages of this table join their parts).
[[noreturn]] void failResponse(const DefinitionContext& context, const char* property,
                               const char* joiner, const std::string& detail) {
  std::string head = formatText("Error in the definition of the response \"%s\".",
                                context.objectName.c_str());
  fatalError(head + joiner + detail + definitionPlace(context, property));
}

// The names a calculated response depends on: "a+b+c".
std::vector<std::string> dependencyNames(const DefinitionContext& context, const char* name) {
  return splitTrimmed(optionalString(context, name, ""), '+');
}

// Every line of a list-valued property, required.
std::vector<std::string> requireLines(const DefinitionContext& context, const char* name) {
  std::vector<std::string> lines;
  std::string reason;
  if (getValues(context.fileLabel.c_str(), *context.record, name, lines, false, reason) == 0) {
    if (reason.empty()) reason = "The list holds no values.";
    fatalError(definitionError(context.objectName, context.recordLabel, context.fileLabel, name,
                               reason));
  }
  return lines;
}

void readCurveFit(DefinitionContext& context, ResponseDefinition& response) {
  context.recordLabel = "Curve Fit Response";
  CurveFitData& fit = response.curveFit;
  fit.target = requireString(context, "fitTarget");
  fit.x = requireString(context, "fitX");
  fit.y = requireString(context, "fitY");
  std::string mode = trimmed(optionalString(context, "fitMode", "Match"));
  if (mode == "Match") {
    fit.mode = FitMode::Match;
  } else if (mode == "Keep below") {
    fit.mode = FitMode::KeepBelow;
  } else if (mode == "Keep above") {
    fit.mode = FitMode::KeepAbove;
  } else {
    failResponse(context, "fitMode", " ",
                 formatText("The curve fit mode \"%s\" is not supported. Valid options are "
                            "\"Match\", \"Keep below\" or \"Keep above\".",
                            mode.c_str()));
  }
  fit.normalize = optionalInt(context, "fitNormalize", 0) != 0 ? 1 : 0;
  fit.minPoints = optionalInt(context, "minPoints", 0);
  checkMinimum(context, "minPoints", fit.minPoints, 0);
  fit.dependsOn = dependencyNames(context, "curveFitFormula");
}

void readFilter(DefinitionContext& context, ResponseDefinition& response) {
  context.recordLabel = "Filter Response";
  FilterData& filter = response.filter;
  filter.source = requireString(context, "filter");
  filter.filterType = requireInt(context, "filterType");
  if (filter.filterType != 1 && filter.filterType != 2) {
    failResponse(context, "filterType", "\n",
                 formatText("The filter type option selected (%d) is unsupported. Only 1 "
                            "(Butterworth) or 2 (Point average) are valid options.",
                            filter.filterType));
  }
  if (filter.filterType == 1) {
    std::string cutoff = trimmed(requireString(context, "cutoff"));
    if (cutoff != "60" && cutoff != "180") {
      failResponse(context, "cutoff", "\n",
                   formatText("Cutoff frequency can only be 60hz or 180hz. Found %s.",
                              cutoff.c_str()));
    }
    filter.cutoff = cutoff == "60" ? 60 : 180;
    filter.interval = requireDouble(context, "interval");
    if (!(filter.interval > 0.0)) {
      failResponse(context, "interval", "\n",
                   formatText("The time step of the signal (\"interval\", %g) must be greater "
                              "than 0.",
                              filter.interval));
    }
  } else {
    filter.numPts = requireInt(context, "numPts");
    if (filter.numPts <= 1) {
      failResponse(context, "numPts", "\n",
                   formatText("The number of points averaged (\"numPts\", %d) must be greater "
                              "than 1.",
                              filter.numPts));
    }
  }
  filter.dependsOn = dependencyNames(context, "filterFormula");
}

// A thickness or hardening given as a number must be greater than 0 (a name is checked for
// each design).
void checkFldNumber(const DefinitionContext& context, const char* property,
                    const std::string& text) {
  const std::string value = trimmed(text);
  char* end = nullptr;
  const double number = std::strtod(value.c_str(), &end);
  if (end == value.c_str() || *end != '\0') return;
  if (!(number > 0.0) || !std::isfinite(number)) {
    failResponse(context, property, "\n",
                 formatText("The value of \"%s\" (%s) must be a number greater than 0.",
                            property, value.c_str()));
  }
}

void readFld(DefinitionContext& context, ResponseDefinition& response) {
  context.recordLabel = "FLD Response";
  FldData& fld = response.fld;
  fld.curveType = requireString(context, "curveType");
  fld.curveOffset = optionalDouble(context, "curveOffset", 0.0);
  checkRealRange(context, "curveOffset", fld.curveOffset, 0.0, 1.0);
  fld.minor = requireString(context, "minor");
  fld.major = requireString(context, "major");
  fld.compType = optionalString(context, "compType", "");
  fld.hardening = optionalString(context, "hardening", "");
  fld.thickness = optionalString(context, "thickness", "");
  fld.tensileCurve = optionalString(context, "tensileCurve", "");
  fld.compCurve = optionalString(context, "compCurve", "");
  fld.compAngle = optionalDouble(context, "compAngle", 0.0);
  checkRealRange(context, "compAngle", fld.compAngle, 0.0, 90.0);
  fld.dependsOn = dependencyNames(context, "fldFormula");

  const std::string curveType = trimmed(fld.curveType);
  if (equalsIgnoreCase(curveType, "Keeler")) {
    fld.curve = FldCurve::Keeler;
    if (trimmed(fld.thickness).empty() || trimmed(fld.hardening).empty()) {
      failResponse(context, trimmed(fld.thickness).empty() ? "thickness" : "hardening", "\n",
                   "The Keeler forming-limit curve needs the sheet thickness (\"thickness\", "
                   "mm) and the strain-hardening exponent (\"hardening\"), each a number or "
                   "the name of a variable or response.");
    }
    checkFldNumber(context, "thickness", fld.thickness);
    checkFldNumber(context, "hardening", fld.hardening);
  } else if (equalsIgnoreCase(curveType, "Curve")) {
    fld.curve = FldCurve::UserCurve;
    if (trimmed(fld.tensileCurve).empty()) {
      failResponse(context, "tensileCurve", "\n",
                   "The forming-limit curve type \"Curve\" needs the curve of limit strains "
                   "(\"tensileCurve\", the name of a *DEFINE_CURVE).");
    }
  } else {
    failResponse(context, "curveType", "\n",
                 formatText("The forming-limit curve type \"%s\" is not supported. Valid "
                            "options are \"Keeler\" or \"Curve\".",
                            curveType.c_str()));
  }
  const std::string compType = trimmed(fld.compType);
  if (compType.empty()) {
    fld.side = FldCompressionSide::Own;
  } else if (equalsIgnoreCase(compType, "Angle")) {
    fld.side = FldCompressionSide::Angle;
  } else if (equalsIgnoreCase(compType, "Curve")) {
    fld.side = FldCompressionSide::UserCurve;
    if (trimmed(fld.compCurve).empty()) {
      failResponse(context, "compCurve", "\n",
                   "The compression side type \"Curve\" needs the curve of its limit strains "
                   "(\"compCurve\", the name of a *DEFINE_CURVE).");
    }
  } else {
    failResponse(context, "compType", "\n",
                 formatText("The compression side type \"%s\" is not supported. Valid options "
                            "are \"Angle\" or \"Curve\" (or none: the curve's own side).",
                            compType.c_str()));
  }
}

void readRsm(DefinitionContext& context, ResponseDefinition& response) {
  context.recordLabel = "RSM Response";
  response.rsm.modelFile = requireString(context, "mdlFile");
  std::vector<std::string> values;
  std::string reason;
  getValues(context.fileLabel.c_str(), *context.record, "variables", values, false, reason);
  for (const std::string& value : values) {
    for (const std::string& name : splitTrimmed(value, ',')) {
      response.rsm.variables.push_back(name);
    }
  }
}

}  // namespace

const ResponseDefinition* findResponseDefinition(const std::string& name) {
  for (const ResponseDefinition& response : responseDefinitions) {
    if (response.name == name) return &response;
  }
  return nullptr;
}

void readResponseDefinition(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Response"};
  ResponseDefinition response;
  response.name = requireUniqueName(
      context, [](const std::string& name) { return findResponseDefinition(name) != nullptr; },
      "Error in the response definition. The response name \"%s\" has already been used. The "
      "response names need to be unique.");
  response.typeWord = requireString(context, "type");
  if (!typeOfWord(response.typeWord, response.type)) {
    fatalError(formatText("Internal error in identifying the response type for response \"%s\". "
                          "Exiting.",
                          response.name.c_str()) +
               definitionPlace(context, "type"));
  }
  response.dataType = trimmed(optionalString(context, "dataType", "numeric"));
  response.numeric = equalsIgnoreCase(response.dataType, "numeric");
  response.acceptMin = optionalDouble(context, "acceptMin", -kNoAcceptLimit);
  response.acceptMax = optionalDouble(context, "acceptMax", kNoAcceptLimit);
  if (response.acceptMin > response.acceptMax) {
    failResponse(context, "acceptMin", " ",
                 formatText("The minimum allowed value (%g) cannot be greater than the maximum "
                            "allowed value (%g).",
                            response.acceptMin, response.acceptMax));
  }

  switch (response.type) {
    case ResponseType::Formula:
      context.recordLabel = "Formula response";
      response.formula = requireLines(context, "formula");
      break;
    case ResponseType::CurveFit: readCurveFit(context, response); break;
    case ResponseType::Filter: readFilter(context, response); break;
    case ResponseType::FLD: readFld(context, response); break;
    case ResponseType::RSM: readRsm(context, response); break;
    case ResponseType::File: break;
  }
  response.recordText = defs::joinRecordLines(record);
  warnUnknownProperties(context, kResponseNames);
  responseDefinitions.push_back(std::move(response));
}

void resetResponseDefinitions() { responseDefinitions.clear(); }

}  // namespace karvo
