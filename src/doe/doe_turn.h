// The seam of the designs of experiments: the signature of an array builder, the builders
// by DOE kind, and the runner of the design-of-experiments methods (DOE, DesignSweep,
// RobustParameterDesign) that this build does not have yet.
//
// An array kind (src/doe/<array>.cpp) is one function of the DoeArrayBuilder shape,
// registered under its DoeKind in doe_turn.cpp:
//
//   bool build(const DoeSettings& settings, int factors,
//              std::vector<std::vector<int>>& levels, std::string& error);
//
// Lays out the array of kind settings.kind.
//   Inputs:  settings (definitions/method_settings.h: the kind and its details, numEvals
//            runs where the kind takes a run count from the agent, numLevels, generator,
//            taguchiArray); `factors` >= 1, the factors of the agent's representation (or
//            settings.numFactors when that is given).
//   Outputs: true, with `levels` replaced by the array: one row per run, at least `factors`
//            columns (further columns hold generated or interaction columns), each cell a
//            0-based level index below its factor's level count; `error` untouched.
//   Failure: false, with `levels` unspecified and `error` set to the message that the
//            caller writes (a builder never ends the run itself and keeps no state).
// The same builders lay out the control and noise arrays of a robust parameter design,
// which therefore has no builder of its own (kDoeRobustDesign). A kind without a builder
// is not available in this build: its agent gets the note of writeMethodUnavailableNote.
//
// The runner of a study (the AgentCycleFn shape of definitions/method_settings.h) builds
// the whole design set and evaluates it in the agent's one turn; the run driver then marks
// the agent finished.
#pragma once

#include <string>
#include <vector>

namespace karvo {

struct Agent;
struct DoeSettings;
struct EvaluationServices;

namespace doe {

using DoeArrayBuilder = bool (*)(const DoeSettings& settings, int factors,
                                 std::vector<std::vector<int>>& levels, std::string& error);

// The builder of DOE kind `kind` (DoeKind), or null when this build has none (and for
// numbers that are no kind).
DoeArrayBuilder arrayBuilder(int kind);

// The runner of every design-of-experiments method not in this build yet: writes the note
// of writeMethodUnavailableNote and evaluates nothing.
void runUnavailableStudy(Agent& agent, const EvaluationServices& services);

}  // namespace doe
}  // namespace karvo
