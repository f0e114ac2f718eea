// The dense SQP solver of the local gradient searches (MS, QP) and of the search on response
// surfaces (RS): minimises f(x) subject to equality constraints g_j(x) = 0 (j < me),
// inequality constraints g_j(x) >= 0 (me <= j < m) and bounds lower <= x <= upper, for a few
// dozen variables at most. Each iteration solves a quadratic subproblem (a dense active-set
// solver on the BFGS approximation of the Lagrangian's Hessian) and takes a line search on an
// augmented-Lagrangian merit function.
//
// The solver is driven by reverse communication, so that its caller can evaluate designs as
// batches through the evaluation flow between two calls and the whole state stays a plain
// record (kept with the agent and in its checkpoint):
//
//   SqpState state;
//   int request = sqpStart(state, settings, n, m, me, x0, lower, upper);
//   while (request < 0) {
//     // request kSqpNeedValues:      set state.f and state.g (m values) at state.x, or
//     //                              state.failed = true when x could not be evaluated
//     // request kSqpNeedGradients:   set state.df (n) and state.dg (m x n, row j the
//     //                              gradient of g_j) at state.x; the values at that x are
//     //                              the ones last handed in
//     // request kSqpNeedBoth:        both of the above at state.x (the first point)
//     request = sqpResume(state);
//   }
//   // request 0: state.best holds the solution to the accuracy ACC; 1..11: stopped with
//   // sqpReturnText(request); state.best holds the best point met either way.
//
// The caller may stop early (a budget used up) by not resuming: state.best is always the
// best point met so far (feasible points, violation <= 1e-6, first, by the lower f; then
// infeasible ones by the lower violation).
#pragma once

#include <string>
#include <vector>

namespace karvo {
class StateArchive;
}

namespace karvo::search {

// Requests to the caller (negative) and return codes (0 success, 1..11 below).
inline constexpr int kSqpNeedValues = -1;
inline constexpr int kSqpNeedGradients = -2;
inline constexpr int kSqpNeedBoth = -3;
inline constexpr int kSqpSolved = 0;
inline constexpr int kSqpTooManyIterations = 1;     // more than MAXIT iterations
inline constexpr int kSqpNotProfitable = 2;         // search direction not profitable
inline constexpr int kSqpBfgsUnderflow = 3;         // underflow in the BFGS update
inline constexpr int kSqpLineSearchError = 4;       // error in the line search
inline constexpr int kSqpWorkingSpace = 5;          // insufficient working space
inline constexpr int kSqpWrongDimensions = 6;       // wrong N, M, ME, L or MNN2
inline constexpr int kSqpCurvatureUnderflow = 7;    // underflow in D(T)*B*D
inline constexpr int kSqpWrongStartingValue = 8;    // wrong starting value
inline constexpr int kSqpWrongInput = 9;            // wrong input parameter
inline constexpr int kSqpQpInconsistent = 10;       // internal inconsistency in QL
inline constexpr int kSqpTooManyFunctionCalls = 11; // more than MAXFUN function calls

// The inputs of the solver, checked by sqpStart (code 9 with the parameter named in
// state.error when one is out of range).
struct SqpSettings {
  double acc = 1e-7;     // ACC: final accuracy of the optimality conditions, (0, 1)
  double accqp = 1e-12;  // ACCQP: tolerance of the quadratic subproblem, (0, 1)
  double stpmin = 1e-10; // STPMIN: smallest step length of a line search, (0, 1)
  int maxfun = 20;       // MAXFUN: function calls in one line search, [1, 1000]
  int maxit = 100;       // MAXIT: iterations, >= 1
  int maxnm = 0;         // MAXNM: merit values kept for a non-monotone line search, [0, 50]
                         // (0: monotone)
  double rhob = 0.0;     // RHOB: restart of the BFGS matrix (as the identity times RHOB)
                         // when its updates stall; >= 0 (0: no restarts)
  int mode = 0;          // MODE: 0 normal start (identity BFGS matrix); 1 the caller set
                         // state.hessian before sqpStart (n x n, positive definite)
  int iprint = 0;        // IPRINT: 0 no notes, 1 the last note of the run (added when the run
                         // ends), 2..4 every note as it is made, [0, 4]
  int iout = 6;          // IOUT: kept for the notes' destination, >= 0 (the caller writes them)
  int ifail = 0;         // IFAIL on entry: must be 0, or -1 for a warm start (state.hessian,
                         // when the caller left an n x n positive definite matrix there, is
                         // kept), else code 9
};

// Everything the solver keeps between calls: a plain record (no pointers).
struct SqpState {
  // Problem.
  int n = 0, m = 0, me = 0;                 // variables, constraints, equality constraints
  std::vector<double> lower, upper;         // bounds (n)
  SqpSettings settings;
  // Exchange with the caller (see the top of the file).
  std::vector<double> x;                    // point of the current request (n)
  double f = 0.0;                           // objective value at x
  std::vector<double> g;                    // constraint values at x (m)
  std::vector<double> df;                   // objective gradient at x (n)
  std::vector<double> dg;                   // constraint gradients, row-major (m x n)
  bool failed = false;                      // the caller could not evaluate x
  // Progress.
  int iteration = 0;                        // iterations done, >= 0
  int functionCalls = 0;                    // value requests answered, >= 0
  int gradientCalls = 0;                    // gradient requests answered, >= 0
  int phase = 0;                            // where sqpResume goes on (solver's own codes)
  int result = -1;                          // the last return code (-1: running)
  std::string error;                        // the input found wrong (codes 6, 8 and 9)
  std::vector<std::string> notes;           // informational notes since the caller last
                                            // cleared them: BFGS resets, non-monotone line
                                            // search, zero direction at a feasible point,
                                            // better feasible value found early
  // Best point met (feasible before infeasible; feasible by the lower f, infeasible by the
  // lower violation).
  std::vector<double> best;                 // (n); empty until a point was evaluated
  double bestF = 0.0;
  double bestViolation = 0.0;               // sum of constraint violations at best, >= 0
  // The solver's own working data (iterate, multipliers, BFGS matrix, direction, line
  // search, merit history): plain vectors and numbers, declared by the solver below.
  std::vector<double> xk, fk_g, dfk, dgk;   // accepted iterate and its values/gradients
  double fk = 0.0;
  std::vector<double> hessian;              // BFGS matrix (n x n, row-major)
  std::vector<double> multipliers;          // Lagrange multipliers (m + 2n: constraints,
                                            // then lower and upper bounds)
  std::vector<double> penalty;              // merit penalty parameters (m)
  std::vector<double> direction;            // search direction of the iteration (n)
  double step = 1.0;                        // current step length
  double merit0 = 0.0, slope0 = 0.0;        // merit and its slope at the iterate
  int lineCalls = 0;                        // function calls in the current line search
  std::vector<double> meritHistory;         // last MAXNM merit values (non-monotone)
  int stalled = 0;                          // consecutive BFGS updates skipped
  int scaleHessian = 0;                     // 1: B is the solver's identity, scaled at the
                                            // next update by y'y/s'y
  int restarted = 0;                        // 1: the line search from this iterate was
                                            // restarted with B = RHOB I already
  int earlyNoted = 0;                       // 1: the early feasible point was noted
  double startF = 0.0, startViolation = 0.0;  // objective and violation at the start
  double trialF = 0.0;                      // values at the accepted trial point while its
  std::vector<double> trialG;               // gradients are requested (m)
  std::string lastNote;                     // the last note made (kept for IPRINT 1)
  std::vector<double> tried;                // the last 200 points asked for values (n values
                                            // each; none of them is asked for again)
};

// Starts a run from x0 (n values, moved into the bounds). Returns the first request, or a
// return code 6 or 9 (bad inputs; state.error names them) without a request.
int sqpStart(SqpState& state, const SqpSettings& settings, int n, int m, int me,
             const std::vector<double>& x0, const std::vector<double>& lower,
             const std::vector<double>& upper);

// Goes on after the caller answered the request of the last call. Returns the next request
// or a return code (>= 0).
int sqpResume(SqpState& state);

// The fixed message of return code `code` (0..11); "" for a code outside 0..11:
//   0 "The optimality conditions are satisfied to the accuracy ACC."
//   1 "More than MAXIT iterations."
//   2 "The search direction is not profitable."
//   3 "Underflow in the BFGS update."
//   4 "Error in the line search."
//   5 "Insufficient working space."
//   6 "Wrong N, M, ME, L or MNN2."
//   7 "Underflow in D(T)*B*D."
//   8 "Wrong starting value."
//   9 "Wrong input parameter (ACC, ACCQP, IFAIL, IOUT, IPRINT, MAXFUN, MAXIT, MAXNM, MODE,
//      RHOB, STPMIN)."  (one line)
//   10 "Internal inconsistency in QL."
//   11 "More than MAXFUN function calls in a line search."
std::string sqpReturnText(int code);

// The request `state` waits to have answered (kSqpNeedBoth, kSqpNeedValues or
// kSqpNeedGradients), or what sqpResume answers when it waits for none: the return code of
// a run that has ended, kSqpWrongInput for a state never started.
int sqpPendingRequest(const SqpState& state);

// Keeps `state` in a checkpoint (base/state_archive.h): every field, the settings, the notes
// and the texts, in declaration order. A read that does not fit together fails the archive
// and leaves `state` as it was: the phase must be one the solver knows, the return code must
// fit the phase, and while a run is going on the settings must pass sqpStart's checks, the
// bounds must be ordered and every vector must have its size (lower, upper, x, direction:
// n; hessian: n x n; multipliers: m + 2n; penalty: m; the iterate's values and gradients
// once the first point is in; tried: whole points, at most 200; g, df and dg at most their
// sizes, since the solver checks them when they are handed in); best has n values or none.
void keepSqpState(StateArchive& archive, SqpState& state);

// The notes (state.notes, see SqpSettings::iprint for which are kept):
//   "The BFGS matrix was reset to the identity."   (the direction did not descend)
//   "The BFGS matrix was reset to RHOB times the identity."   (RHOB > 0: a line search
//        failed, or three BFGS updates in a row could not be made)
//   "The non-monotone line search accepted a step that raised the merit function."
//   "Zero search direction at a feasible point."   (the run ends with code 0)
//   "A feasible point better than the starting point was found in iteration K."   (K <= 3,
//        at most once per run; feasible: violation <= 1e-6)
// Code 0 means: |df'd| + sum_j |u_j g_j| <= ACC max(1, |f|) with d the direction and u the
// multipliers of the quadratic subproblem, and a constraint violation (sum of |g_j| over the
// equalities and of max(0, -g_j) over the inequalities) <= min(sqrt(ACC), 1e-6); or a zero
// direction at such a feasible point.

}  // namespace karvo::search
