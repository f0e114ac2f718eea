// The study's responses (`*DEFINE_RESPONSE` records of "Definitions.in"): named results of a
// design, either extracted from analysis output by a portal ("File") or calculated by the
// solver (formulas, curve fits, filters, forming-limit and response-surface evaluations).
//
// Filled once by readDefinitions; read by the process and performance readers (which refer
// to responses by name) and, per design, by the evaluation flow. Look-ups are linear scans.
#pragma once

#include <string>
#include <vector>

namespace karvo {

struct Record;

enum class ResponseType {
  Formula = 0,   // "Formula"
  CurveFit = 1,  // "Curve Fit"
  FLD = 2,       // "FLD"
  Filter = 3,    // "Filter"
  RSM = 4,       // "RSM"
  File = 5,      // "File": extracted by the portal of an analysis
};

enum class FitMode {
  Match,      // "Match": every compared point counts
  KeepBelow,  // "Keep below": only points above the target count
  KeepAbove,  // "Keep above": only points below the target count
};

inline constexpr double kNoAcceptLimit = 1e300;  // acceptMin/acceptMax when not given

struct CurveFitData {
  std::string target;                    // "fitTarget": a `*DEFINE_CURVE` name
  std::string x;                         // "fitX": variable giving the design curve's X
  std::string y;                         // "fitY": variable giving the design curve's Y
  FitMode mode = FitMode::Match;         // "fitMode"
  int normalize = 0;                     // "fitNormalize" flag
  int minPoints = 0;                     // "minPoints", >= 0 (0: no minimum)
  std::vector<std::string> dependsOn;    // "curveFitFormula" split at "+"
};

struct FilterData {
  std::string source;                    // "filter": the response filtered
  int filterType = 1;                    // "filterType": 1 Butterworth, 2 point average
  int cutoff = 60;                       // "cutoff": 60 or 180 (Hz, CFC class); Butterworth
  int numPts = 2;                        // "numPts" > 1; point average
  double interval = 0.0;                 // "interval": time step (s) > 0; Butterworth
  std::vector<std::string> dependsOn;    // "filterFormula" split at "+"
};

enum class FldCurve {
  Keeler,     // "Keeler": plane-strain limit from thickness and hardening (any letter case)
  UserCurve,  // "Curve": the `*DEFINE_CURVE` named by tensileCurve
};

enum class FldCompressionSide {
  Own,        // compType empty: the left side of the curve itself
  Angle,      // "Angle": a line rising at compAngle from the plane-strain limit
  UserCurve,  // "Curve": the `*DEFINE_CURVE` named by compCurve
};

struct FldData {
  std::string curveType;                 // "curveType"
  FldCurve curve = FldCurve::Keeler;     // what curveType names
  FldCompressionSide side = FldCompressionSide::Own;  // what compType names
  double curveOffset = 0.0;              // "curveOffset", 0.0 .. 1.0
  std::string minor;                     // "minor": variable of minor strains
  std::string major;                     // "major": variable of major strains
  std::string compType;                  // "compType": "", "Angle" or "Curve"
  std::string hardening;                 // "hardening": a number > 0 or a name giving one;
                                         // Keeler only
  std::string thickness;                 // "thickness" (mm): as hardening; Keeler only
  std::string tensileCurve;              // "tensileCurve": the limit curve; Curve only
  std::string compCurve;                 // "compCurve": the compression side; compType Curve
  double compAngle = 0.0;                // "compAngle", degrees, 0 .. 90
  std::vector<std::string> dependsOn;    // "fldFormula" split at "+"
};

struct RsmData {
  std::string modelFile;                 // "mdlFile": a model file of a response surface
  std::vector<std::string> variables;    // "variables" (list form): the model's inputs
};

struct ResponseDefinition {
  std::string name;                      // unique among responses
  ResponseType type = ResponseType::File;
  std::string typeWord;                  // the "type" value as read
  std::string dataType = "numeric";      // "dataType" as read ("numeric" when absent)
  bool numeric = true;                   // dataType is "numeric" (any letter case)
  double acceptMin = -kNoAcceptLimit;    // "acceptMin" <= acceptMax
  double acceptMax = kNoAcceptLimit;     // "acceptMax"
  std::vector<std::string> formula;      // Formula: the formula lines
  CurveFitData curveFit;                 // Curve Fit only
  FilterData filter;                     // Filter only
  FldData fld;                           // FLD only
  RsmData rsm;                           // RSM only
  std::string recordText;                // the record's lines as read, joined with "\n"
};

extern std::vector<ResponseDefinition> responseDefinitions;  // in file order

// Null when absent.
const ResponseDefinition* findResponseDefinition(const std::string& name);

// Reads one `*DEFINE_RESPONSE` record (label "Response", then the label of its type).
// Definition errors end the run through fatalError.
void readResponseDefinition(const Record& record, const std::string& fileLabel);

// Back to an empty table.
void resetResponseDefinitions();

}  // namespace karvo
