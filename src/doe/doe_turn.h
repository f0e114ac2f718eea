// The seam of the designs of experiments: the signature of an array builder and the builders
// by DOE kind (the runners of the methods: doe/doe_study.h).
//
// An array kind (src/doe/<array>.cpp) is one function of the DoeArrayBuilder shape
// (doe/doe_array.h), registered under its DoeKind in doe_turn.cpp. The same builders lay out
// the control and noise arrays of a robust parameter design, which therefore has no builder
// of its own (kDoeRobustDesign). A kind without a builder is not available in this build:
// its agent gets the note of writeMethodUnavailableNote.
//
// The runner of a study (the AgentCycleFn shape of definitions/method_settings.h) builds
// the whole design set and evaluates it in the agent's one turn; the run driver then marks
// the agent finished.
#pragma once

#include "doe/doe_array.h"

namespace karvo {

namespace doe {

// The builder of DOE kind `kind` (DoeKind), or null when this build has none (and for
// numbers that are no kind).
DoeArrayBuilder arrayBuilder(int kind);

}  // namespace doe
}  // namespace karvo
