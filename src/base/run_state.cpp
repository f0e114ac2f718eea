// Run-wide state. Reset once at start-up; tests reset it between cases.
#include "base/run_state.h"

namespace karvo {

RunState run;

void resetRunState() { run = RunState{}; }

const char* shortVersion() { return "2019.01"; }

}  // namespace karvo
