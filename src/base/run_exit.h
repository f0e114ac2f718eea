// How a run ends early: fatalError and exitRun throw RunExit, which unwinds to main, where the
// closing steps of the run are taken once.
#pragma once

namespace karvo {

// Thrown to unwind to main, where the closing steps of the run are taken once.
// `code` is the solver's exit code (-123 for a fatal error); `closeRun` says whether the
// common closing steps (lock files, reports, message file) are due.
struct RunExit {
  int code;
  bool closeRun;
};

// Unwinds to main with `code`; the closing steps run only when `closeRun` is set.
[[noreturn]] void exitRun(int code, bool closeRun);

}  // namespace karvo
