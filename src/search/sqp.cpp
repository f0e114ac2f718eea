// The dense SQP solver behind the local gradient searches and the search on response surfaces:
// a few dozen variables and constraints at most, values that may carry finite-difference noise,
// every evaluation handed to the caller by reverse communication (sqp.h).
//
// One iteration at the accepted iterate x_k (values and gradients known):
//   1. the quadratic subproblem  min 1/2 d'Bd + df'd  s.t.  dg_j d + g_j = 0 (j < ME),
//      dg_j d + g_j >= 0 (j >= ME), lower - x_k <= d <= upper - x_k, solved by the dual
//      active-set method of solveQp below; when the linearised constraints are inconsistent,
//      the relaxed subproblem with one more variable t in [0, 1] that scales the residuals of
//      the equalities and of the violated inequalities by (1 - t), penalised by 1/2 rho t^2;
//   2. convergence: the run ends with code 0 when
//        |df'd| + sum_j |u_j g_j| <= ACC * max(1, |f|)   and   violation <= min(sqrt(ACC), 1e-6)
//      with u the multipliers of the subproblem and the violation the sum of |g_j| over the
//      equalities and of max(0, -g_j) over the inequalities (the subproblem not relaxed); also
//      when the direction is zero (within rounding) at such a feasible point (a note says so);
//   3. the L1 merit function  phi(x) = f + sum_j r_j viol_j(x)  with the penalties
//      r_j = max(2 |u_j|, (r_j + 2 |u_j|)/2) (twice the multipliers, so that a direction from
//      finite-difference gradients still descends), and its slope along d,
//      df'd - (1 - t) sum_j r_j viol_j(x_k); a slope that is not negative resets B to the
//      identity once (code 2 when it stays so);
//   4. the line search from step 1: a trial point x_k + a d (inside the bounds by
//      construction) is accepted when phi <= phi_ref + 0.1 a slope, phi_ref being phi(x_k)
//      or, with MAXNM > 0, the largest of the last MAXNM merit values at the iterates. A
//      refused step is shortened by quadratic interpolation, kept within [0.1 a, 0.5 a]; a
//      failed or non-finite trial counts as an infinite merit (step 0.1 a), and so do failed
//      gradients at the accepted point; a point among the last 200 asked for is skipped (a
//      shorter step). Code 4 when the
//      step falls below STPMIN, 11 when MAXFUN trial points did not give an acceptable one;
//      with RHOB > 0 the first such failure at an iterate restarts from it with B = RHOB I;
//   5. the gradients at the accepted point and the damped BFGS update of B (Powell's
//      damping keeps it positive definite; the first update after an identity start is
//      scaled by y'y/s'y).
//
// Requests (phase -> request):  start -> kSqpNeedBoth -> [1] -> kSqpNeedValues (trial) ...
//   -> kSqpNeedGradients (the accepted trial point) -> [1] ...  until a return code.
//
// Notes (state.notes; IPRINT 0: none, 1: the last note of the run, added when the run ends,
// 2..4: each as it is made):
//   "The BFGS matrix was reset to the identity."          (a direction that does not descend)
//   "The BFGS matrix was reset to RHOB times the identity." (a failed line search or stalled
//                                                          updates, RHOB > 0)
//   "The non-monotone line search accepted a step that raised the merit function."
//   "Zero search direction at a feasible point."
//   "A feasible point better than the starting point was found in iteration K." (K <= 3,
//                                                          once per run)
#include "search/sqp.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "base/state_archive.h"

namespace karvo::search {
namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kFeasibleViolation = 1e-6;  // the best point's notion of feasible
constexpr double kArmijo = 0.1;              // sufficient decrease of the line search
constexpr double kShortestCut = 0.1;         // a refused step shrinks to [0.1, 0.5] of itself
constexpr double kLongestCut = 0.5;
constexpr int kEarlyIterations = 3;          // "first iterations" of the early-feasible note
constexpr int kMaxStalled = 3;               // consecutive failed BFGS updates tolerated
constexpr int kTriedKept = 200;              // points remembered so as not to ask twice
constexpr double kPenaltyMargin = 2.0;      // penalties at least this times the multipliers

// Phases of the run (state.phase).
enum Phase {
  kPhaseNotStarted = 0,
  kPhaseFirstPoint = 1,  // waiting for values and gradients at the starting point
  kPhaseTrialPoint = 2,  // waiting for values at a trial point of the line search
  kPhaseGradients = 3,   // waiting for gradients at the accepted trial point
  kPhaseFinished = 4,    // state.result holds the return code
};

const char* const kNoteReset = "The BFGS matrix was reset to the identity.";
const char* const kNoteResetRhob = "The BFGS matrix was reset to RHOB times the identity.";
const char* const kNoteNonMonotone =
    "The non-monotone line search accepted a step that raised the merit function.";
const char* const kNoteZeroDirection = "Zero search direction at a feasible point.";

// ---------------------------------------------------------------------------------------
// Messages of the input checks

std::string numberText(double v) {
  if (std::isnan(v)) return "nan";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.10g", v);
  return buffer;
}

std::string outside(const char* name, double v, const char* range) {
  return std::string(name) + " = " + numberText(v) + " is outside " + range;
}

std::string checkSettings(const SqpSettings& s) {
  if (!(s.acc > 0.0 && s.acc < 1.0)) return outside("ACC", s.acc, "(0, 1)");
  if (!(s.accqp > 0.0 && s.accqp < 1.0)) return outside("ACCQP", s.accqp, "(0, 1)");
  if (!(s.stpmin > 0.0 && s.stpmin < 1.0)) return outside("STPMIN", s.stpmin, "(0, 1)");
  if (s.maxfun < 1 || s.maxfun > 1000) return outside("MAXFUN", s.maxfun, "[1, 1000]");
  if (s.maxit < 1) return "MAXIT = " + numberText(s.maxit) + " is below 1";
  if (s.maxnm < 0 || s.maxnm > 50) return outside("MAXNM", s.maxnm, "[0, 50]");
  if (!(s.rhob >= 0.0) || !std::isfinite(s.rhob)) return outside("RHOB", s.rhob, "[0, inf)");
  if (s.mode != 0 && s.mode != 1) return "MODE = " + numberText(s.mode) + " is neither 0 nor 1";
  if (s.iprint < 0 || s.iprint > 4) return outside("IPRINT", s.iprint, "[0, 4]");
  if (s.iout < 0) return "IOUT = " + numberText(s.iout) + " is below 0";
  if (s.ifail != 0 && s.ifail != -1) {
    return "IFAIL = " + numberText(s.ifail) + " is neither 0 nor -1";
  }
  return "";
}

std::string sizeText(const char* name, std::size_t got, const std::string& wanted) {
  return std::string(name) + " has " + std::to_string(got) + " values instead of " + wanted;
}

// ---------------------------------------------------------------------------------------
// Small helpers on the state

Eigen::Map<const VectorXd> vec(const std::vector<double>& v) {
  return Eigen::Map<const VectorXd>(v.data(), static_cast<Eigen::Index>(v.size()));
}

bool allFinite(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double a) { return std::isfinite(a); });
}

double violationOf(const SqpState& s, const std::vector<double>& g) {
  double sum = 0.0;
  for (int j = 0; j < s.m; ++j) sum += j < s.me ? std::fabs(g[j]) : std::max(0.0, -g[j]);
  return sum;
}

double meritOf(const SqpState& s, double f, const std::vector<double>& g) {
  double phi = f;
  for (int j = 0; j < s.m; ++j) {
    phi += s.penalty[j] * (j < s.me ? std::fabs(g[j]) : std::max(0.0, -g[j]));
  }
  return phi;
}

// Feasible (violation <= 1e-6) before infeasible; feasible points by the lower f, infeasible
// ones by the lower violation.
bool betterThan(double fa, double va, double fb, double vb) {
  const bool feasibleA = va <= kFeasibleViolation;
  const bool feasibleB = vb <= kFeasibleViolation;
  if (feasibleA != feasibleB) return feasibleA;
  return feasibleA ? fa < fb : va < vb;
}

void noteBest(SqpState& s, const std::vector<double>& x, double f, const std::vector<double>& g) {
  const double v = violationOf(s, g);
  if (s.best.empty() || betterThan(f, v, s.bestF, s.bestViolation)) {
    s.best = x;
    s.bestF = f;
    s.bestViolation = v;
  }
}

void addNote(SqpState& s, const std::string& text) {
  if (s.settings.iprint >= 2) s.notes.push_back(text);
  s.lastNote = text;
}

int finish(SqpState& s, int code) {
  s.result = code;
  s.phase = kPhaseFinished;
  if (s.settings.iprint == 1 && !s.lastNote.empty()) s.notes.push_back(s.lastNote);
  return code;
}

bool valuesUsable(const SqpState& s) {
  return !s.failed && std::isfinite(s.f) && static_cast<int>(s.g.size()) == s.m && allFinite(s.g);
}

bool gradientsUsable(const SqpState& s) {
  return !s.failed && static_cast<int>(s.df.size()) == s.n && allFinite(s.df) &&
         s.dg.size() == static_cast<std::size_t>(s.m) * s.n && allFinite(s.dg);
}

void setIdentity(SqpState& s, double scale) {
  s.hessian.assign(static_cast<std::size_t>(s.n) * s.n, 0.0);
  for (int i = 0; i < s.n; ++i) s.hessian[static_cast<std::size_t>(i) * s.n + i] = scale;
}

bool positiveDefinite(const MatrixXd& b) {
  if (!b.allFinite()) return false;
  Eigen::LLT<MatrixXd> llt(b);
  return llt.info() == Eigen::Success;
}

// ---------------------------------------------------------------------------------------
// The quadratic subproblem: min 1/2 x'Gx + c'x  s.t.  a_i'x + b_i = 0 (i < meq),
// a_i'x + b_i >= 0 (i >= meq), G positive definite. The dual active-set method of Goldfarb
// and Idnani: it starts at the unconstrained minimum and adds the most violated constraint
// at a time, dropping active ones whose multipliers would turn negative; J = L^-T Q and the
// upper triangular R of the active constraints' factorisation are updated by plane
// reflections. A constraint it can neither satisfy nor trade against an active one proves
// the subproblem inconsistent.

enum QpStatus { kQpSolved, kQpInconsistent, kQpFailed };

struct QpResult {
  QpStatus status = kQpFailed;
  VectorXd x;  // solution
  VectorXd u;  // multipliers, one per constraint row (0 when inactive)
};

class DualActiveSet {
 public:
  DualActiveSet(const MatrixXd& g, const VectorXd& c, const MatrixXd& a, const VectorXd& b,
                int meq, double tolerance)
      : n_(static_cast<int>(g.rows())), g_(g), c_(c), a_(a), b_(b), meq_(meq), tol_(tolerance) {}

  QpResult solve() {
    QpResult out;
    const int rows = static_cast<int>(a_.rows());
    Eigen::LLT<MatrixXd> llt(g_);
    if (llt.info() != Eigen::Success) return out;
    const MatrixXd lower = llt.matrixL();
    J_ = lower.triangularView<Eigen::Lower>().solve(MatrixXd::Identity(n_, n_)).transpose();
    R_ = MatrixXd::Zero(n_, n_);
    x_ = llt.solve(-c_);
    u_.setZero(n_);
    active_.assign(n_, -1);
    isActive_.assign(rows, false);
    iq_ = 0;
    rNorm_ = 1.0;
    const int iterationLimit = 20 * (n_ + rows) + 100;
    int iterations = 0;

    // Equalities first: each is added with a full step (it is never dropped).
    for (int i = 0; i < meq_; ++i) {
      const VectorXd np = a_.row(i).transpose();
      VectorXd d, z, r;
      directions(np, d, z, r);
      const double residual = np.dot(x_) + b_(i);
      if (dependent(d)) {
        if (std::fabs(residual) <= tol_ * (1.0 + std::fabs(b_(i)))) continue;  // a repeat
        out.status = kQpInconsistent;
        return out;
      }
      const double step = -residual / d.tail(n_ - iq_).squaredNorm();
      x_ += step * z;
      u_.head(iq_) -= step * r;
      if (!addConstraint(d, i, step)) {
        out.status = kQpFailed;
        return out;
      }
    }

    // Inequalities: the most violated one at a time.
    for (;;) {
      int p = -1;
      double worst = 0.0;
      for (int i = meq_; i < rows; ++i) {
        if (isActive_[i]) continue;
        const double s = a_.row(i).dot(x_) + b_(i);
        if (s < -tol_ * (1.0 + std::fabs(b_(i))) && s < worst) {
          worst = s;
          p = i;
        }
      }
      if (p < 0) break;
      const VectorXd np = a_.row(p).transpose();
      double uPlus = 0.0;
      double s = worst;
      for (;;) {
        if (++iterations > iterationLimit) return out;  // cycling
        VectorXd d, z, r;
        directions(np, d, z, r);
        // Partial step: the first active inequality whose multiplier reaches zero.
        double t1 = kInfinity;
        int leave = -1;
        for (int k = 0; k < iq_; ++k) {
          if (active_[k] < meq_ || r(k) <= 0.0) continue;
          const double ratio = u_(k) / r(k);
          if (ratio < t1) {
            t1 = ratio;
            leave = k;
          }
        }
        // Full step: constraint p becomes satisfied.
        const bool primal = !dependent(d);
        const double t2 =
            primal ? std::max(0.0, -s / d.tail(n_ - iq_).squaredNorm()) : kInfinity;
        const double t = std::min(t1, t2);
        if (t == kInfinity) {
          out.status = kQpInconsistent;
          return out;
        }
        u_.head(iq_) -= t * r;
        uPlus += t;
        if (!primal) {  // a step in the multipliers only
          dropConstraint(leave);
          continue;
        }
        x_ += t * z;
        if (t2 <= t1) {
          if (!addConstraint(d, p, uPlus)) return out;
          break;
        }
        dropConstraint(leave);
        s = np.dot(x_) + b_(p);
      }
      if (++iterations > iterationLimit) return out;
    }
    out.status = kQpSolved;
    out.x = x_;
    out.u = VectorXd::Zero(rows);
    for (int k = 0; k < iq_; ++k) out.u(active_[k]) = u_(k);
    return out;
  }

 private:
  // d = J'np, z = J2 d2 (the step in the primal space), r = R^-1 d1 (in the dual space).
  void directions(const VectorXd& np, VectorXd& d, VectorXd& z, VectorXd& r) const {
    d = J_.transpose() * np;
    z = J_.rightCols(n_ - iq_) * d.tail(n_ - iq_);
    r = R_.topLeftCorner(iq_, iq_).triangularView<Eigen::Upper>().solve(d.head(iq_));
  }

  // The new constraint lies (numerically) in the span of the active ones.
  bool dependent(const VectorXd& d) const {
    return iq_ >= n_ || d.tail(n_ - iq_).norm() <= 1e-12 * std::max(d.norm(), 1e-300);
  }

  bool addConstraint(VectorXd d, int index, double multiplier) {
    for (int j = n_ - 1; j > iq_; --j) {
      double cc = d(j - 1), ss = d(j);
      const double h = std::hypot(cc, ss);
      if (h == 0.0) continue;
      d(j) = 0.0;
      ss /= h;
      cc /= h;
      if (cc < 0.0) {
        cc = -cc;
        ss = -ss;
        d(j - 1) = -h;
      } else {
        d(j - 1) = h;
      }
      const double xny = ss / (1.0 + cc);
      for (int k = 0; k < n_; ++k) {
        const double t1 = J_(k, j - 1), t2 = J_(k, j);
        J_(k, j - 1) = t1 * cc + t2 * ss;
        J_(k, j) = xny * (t1 + J_(k, j - 1)) - t2;
      }
    }
    R_.col(iq_).head(iq_ + 1) = d.head(iq_ + 1);
    active_[iq_] = index;
    isActive_[index] = true;
    u_(iq_) = multiplier;
    ++iq_;
    if (std::fabs(d(iq_ - 1)) <= 1e-14 * rNorm_) return false;
    rNorm_ = std::max(rNorm_, std::fabs(d(iq_ - 1)));
    return true;
  }

  void dropConstraint(int position) {
    isActive_[active_[position]] = false;
    for (int k = position; k < iq_ - 1; ++k) {
      active_[k] = active_[k + 1];
      u_(k) = u_(k + 1);
      R_.col(k) = R_.col(k + 1);
    }
    active_[iq_ - 1] = -1;
    u_(iq_ - 1) = 0.0;
    R_.col(iq_ - 1).setZero();
    --iq_;
    for (int j = position; j < iq_; ++j) {
      double cc = R_(j, j), ss = R_(j + 1, j);
      const double h = std::hypot(cc, ss);
      if (h == 0.0) continue;
      cc /= h;
      ss /= h;
      R_(j + 1, j) = 0.0;
      if (cc < 0.0) {
        R_(j, j) = -h;
        cc = -cc;
        ss = -ss;
      } else {
        R_(j, j) = h;
      }
      const double xny = ss / (1.0 + cc);
      for (int k = j + 1; k < iq_; ++k) {
        const double t1 = R_(j, k), t2 = R_(j + 1, k);
        R_(j, k) = t1 * cc + t2 * ss;
        R_(j + 1, k) = xny * (t1 + R_(j, k)) - t2;
      }
      for (int k = 0; k < n_; ++k) {
        const double t1 = J_(k, j), t2 = J_(k, j + 1);
        J_(k, j) = t1 * cc + t2 * ss;
        J_(k, j + 1) = xny * (J_(k, j) + t1) - t2;
      }
    }
  }

  int n_;
  const MatrixXd& g_;
  const VectorXd& c_;
  const MatrixXd& a_;
  const VectorXd& b_;
  int meq_;
  double tol_;
  MatrixXd J_, R_;
  VectorXd x_, u_;
  std::vector<int> active_;
  std::vector<bool> isActive_;
  int iq_ = 0;
  double rNorm_ = 1.0;
};

// ---------------------------------------------------------------------------------------
// The subproblem of an iteration

struct Direction {
  int status = kQpFailed;  // QpStatus of the subproblem that was solved
  VectorXd d;              // search direction (n)
  double relax = 0.0;      // t: share of the constraint residuals given up (0 unless relaxed)
  VectorXd u;              // multipliers: m constraints, then n lower and n upper bounds
};

// Builds and solves the subproblem at the iterate (relaxed when `relaxed`). Each constraint
// row is scaled to unit length; its multiplier is scaled back.
Direction solveSubproblem(const SqpState& s, const MatrixXd& b, bool relaxed) {
  const int n = s.n, m = s.m;
  const int nv = relaxed ? n + 1 : n;
  const Eigen::Map<const RowMatrix> dg(s.dgk.data(), m, n);
  MatrixXd hess = MatrixXd::Zero(nv, nv);
  hess.topLeftCorner(n, n) = b;
  VectorXd c = VectorXd::Zero(nv);
  c.head(n) = vec(s.dfk);
  if (relaxed) {
    const double scale = std::max({1.0, c.lpNorm<Eigen::Infinity>(), b.diagonal().maxCoeff()});
    hess(n, n) = 1e6 * scale;
  }

  std::vector<VectorXd> rows;
  std::vector<double> offsets;
  std::vector<int> origin;  // constraint j, m + i lower bound i, m + n + i upper bound i,
                            // -1 the bounds of t
  int meq = 0;
  auto addRow = [&](VectorXd row, double offset, int from, bool equality) -> bool {
    const double norm = row.norm();
    if (norm == 0.0) {
      // 0 = offset or 0 >= -offset: nothing to do, or a contradiction.
      return equality ? offset == 0.0 : offset >= 0.0;
    }
    rows.push_back(row / norm);
    offsets.push_back(offset / norm);
    origin.push_back(from);
    if (equality) ++meq;
    return true;
  };
  std::vector<double> norms(m + 2 * n, 1.0);
  bool consistent = true;
  for (int j = 0; j < m; ++j) {
    VectorXd row = VectorXd::Zero(nv);
    row.head(n) = dg.row(j).transpose();
    const double gj = s.fk_g[j];
    if (relaxed && (j < s.me || gj < 0.0)) row(n) = -gj;
    norms[j] = row.norm();
    consistent = addRow(row, gj, j, j < s.me) && consistent;
  }
  for (int i = 0; i < n; ++i) {
    if (std::isfinite(s.lower[i])) {
      VectorXd row = VectorXd::Zero(nv);
      row(i) = 1.0;
      addRow(row, s.xk[i] - s.lower[i], m + i, false);
    }
    if (std::isfinite(s.upper[i])) {
      VectorXd row = VectorXd::Zero(nv);
      row(i) = -1.0;
      addRow(row, s.upper[i] - s.xk[i], m + n + i, false);
    }
  }
  if (relaxed) {
    VectorXd row = VectorXd::Zero(nv);
    row(n) = 1.0;
    addRow(row, 0.0, -1, false);
    row(n) = -1.0;
    addRow(row, 1.0, -1, false);
  }

  Direction out;
  if (!consistent) {
    out.status = kQpInconsistent;
    return out;
  }
  const int count = static_cast<int>(rows.size());
  MatrixXd a(count, nv);
  VectorXd offset(count);
  // Equalities first (they were added first among the constraints, bounds come after).
  for (int k = 0; k < count; ++k) {
    a.row(k) = rows[k].transpose();
    offset(k) = offsets[k];
  }
  DualActiveSet qp(hess, c, a, offset, meq, s.settings.accqp);
  const QpResult r = qp.solve();
  out.status = r.status;
  if (r.status != kQpSolved) return out;
  out.d = r.x.head(n);
  out.relax = relaxed ? std::clamp(r.x(n), 0.0, 1.0) : 0.0;
  out.u = VectorXd::Zero(m + 2 * n);
  for (int k = 0; k < count; ++k) {
    if (origin[k] < 0) continue;
    const double scale = origin[k] < m && norms[origin[k]] > 0.0 ? norms[origin[k]] : 1.0;
    out.u(origin[k]) = r.u(k) / scale;
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// The iteration

// Trial point x_k + step d, kept inside the bounds against rounding.
void placeTrial(SqpState& s) {
  for (int i = 0; i < s.n; ++i) {
    s.x[i] = std::clamp(s.xk[i] + s.step * s.direction[i], s.lower[i], s.upper[i]);
  }
}

// Remembers the point of a value request (the last kTriedKept of them are kept).
void rememberTried(SqpState& s) {
  const std::size_t most = static_cast<std::size_t>(kTriedKept) * s.n;
  if (s.tried.size() + s.n > most) s.tried.erase(s.tried.begin(), s.tried.begin() + s.n);
  s.tried.insert(s.tried.end(), s.x.begin(), s.x.end());
}

// The trial point is the iterate or a point asked for already.
bool askedBefore(const SqpState& s) {
  if (s.x == s.xk) return true;
  for (std::size_t k = 0; k + s.n <= s.tried.size(); k += s.n) {
    if (std::equal(s.x.begin(), s.x.end(), s.tried.begin() + static_cast<long>(k))) return true;
  }
  return false;
}

// The direction is zero within the rounding of the iterate.
bool negligible(const SqpState& s) {
  for (int i = 0; i < s.n; ++i) {
    const double ulps = 4.0 * std::numeric_limits<double>::epsilon();
    if (std::fabs(s.direction[i]) > ulps * std::max(1.0, std::fabs(s.xk[i]))) return false;
  }
  return true;
}

void resetHessian(SqpState& s, bool withRhob) {
  setIdentity(s, withRhob ? s.settings.rhob : 1.0);
  s.scaleHessian = withRhob ? 0 : 1;
  s.stalled = 0;
  addNote(s, withRhob ? kNoteResetRhob : kNoteReset);
}

int lineSearchFailed(SqpState& s, int code);

// Plans the next iteration from the iterate: the subproblem, the convergence tests, the
// merit and its slope, then the first trial point. Returns a request or a return code.
int iterate(SqpState& s) {
  bool resetDone = false;
  for (;;) {
    if (s.iteration >= s.settings.maxit) return finish(s, kSqpTooManyIterations);
    ++s.iteration;
    const Eigen::Map<const MatrixXd> bmap(s.hessian.data(), s.n, s.n);
    MatrixXd b = 0.5 * (bmap + bmap.transpose());
    Direction dir = solveSubproblem(s, b, false);
    if (dir.status == kQpInconsistent) dir = solveSubproblem(s, b, true);
    if (dir.status != kQpSolved) return finish(s, kSqpQpInconsistent);

    s.direction.assign(dir.d.data(), dir.d.data() + s.n);
    s.multipliers.assign(dir.u.data(), dir.u.data() + dir.u.size());
    const double violation = violationOf(s, s.fk_g);
    const bool feasible = violation <= std::min(std::sqrt(s.settings.acc), kFeasibleViolation);
    s.step = 1.0;
    placeTrial(s);
    if (s.x == s.xk || negligible(s)) {  // a direction below the rounding of x
      if (feasible) {
        addNote(s, kNoteZeroDirection);
        return finish(s, kSqpSolved);
      }
      if (resetDone) return finish(s, kSqpNotProfitable);
      resetHessian(s, false);
      resetDone = true;
      --s.iteration;
      continue;
    }

    const VectorXd d = dir.d;
    const VectorXd df = vec(s.dfk);
    double kkt = std::fabs(df.dot(d));
    for (int j = 0; j < s.m; ++j) kkt += std::fabs(dir.u(j) * s.fk_g[j]);
    if (dir.relax == 0.0 && feasible &&
        kkt <= s.settings.acc * std::max(1.0, std::fabs(s.fk))) {
      return finish(s, kSqpSolved);
    }
    const double dbd = d.dot(b * d);
    if (!(dbd > 0.0) || !std::isfinite(dbd)) return finish(s, kSqpCurvatureUnderflow);

    double penaltyTerm = 0.0;
    for (int j = 0; j < s.m; ++j) {
      const double uj = kPenaltyMargin * std::fabs(dir.u(j));
      s.penalty[j] = std::max(uj, 0.5 * (s.penalty[j] + uj));
      const double gj = s.fk_g[j];
      penaltyTerm += s.penalty[j] * (j < s.me ? std::fabs(gj) : std::max(0.0, -gj));
    }
    s.slope0 = df.dot(d) - (1.0 - dir.relax) * penaltyTerm;
    if (!(s.slope0 < 0.0)) {
      if (resetDone) return finish(s, kSqpNotProfitable);
      resetHessian(s, false);
      resetDone = true;
      --s.iteration;
      continue;
    }
    s.merit0 = meritOf(s, s.fk, s.fk_g);
    if (s.settings.maxnm > 0) {
      s.meritHistory.push_back(s.merit0);
      if (static_cast<int>(s.meritHistory.size()) > s.settings.maxnm) {
        s.meritHistory.erase(s.meritHistory.begin());
      }
    }
    s.lineCalls = 0;
    while (askedBefore(s)) {  // a restarted line search: not a point tried already
      s.step *= kShortestCut;
      if (s.step < s.settings.stpmin) return lineSearchFailed(s, kSqpLineSearchError);
      placeTrial(s);
    }
    rememberTried(s);
    s.phase = kPhaseTrialPoint;
    return kSqpNeedValues;
  }
}

// The line search cannot go on: with RHOB > 0, restart once from the iterate with
// B = RHOB I (unless B is that already); otherwise stop with `code`.
int lineSearchFailed(SqpState& s, int code) {
  // (A B that is RHOB I already would give the same trial points again.)
  bool isRhob = true;
  for (int i = 0; i < s.n && isRhob; ++i) {
    for (int k = 0; k < s.n && isRhob; ++k) {
      isRhob = s.hessian[static_cast<std::size_t>(i) * s.n + k] == (i == k ? s.settings.rhob : 0.0);
    }
  }
  if (s.settings.rhob > 0.0 && s.restarted == 0 && !isRhob) {
    resetHessian(s, true);
    s.restarted = 1;
    return iterate(s);
  }
  return finish(s, code);
}

// The trial point is refused (merit `phi`, infinite when it failed): a shorter step.
int shortenStep(SqpState& s, double phi) {
  if (s.lineCalls >= s.settings.maxfun) return lineSearchFailed(s, kSqpTooManyFunctionCalls);
  double next = kShortestCut * s.step;
  if (std::isfinite(phi)) {
    const double excess = phi - s.merit0 - s.slope0 * s.step;  // > 0 for a refused step
    if (excess > 0.0) next = -s.slope0 * s.step * s.step / (2.0 * excess);
    next = std::clamp(next, kShortestCut * s.step, kLongestCut * s.step);
  }
  for (;;) {
    s.step = next;
    if (s.step < s.settings.stpmin) return lineSearchFailed(s, kSqpLineSearchError);
    placeTrial(s);
    if (s.x == s.xk) return lineSearchFailed(s, kSqpLineSearchError);
    if (!askedBefore(s)) break;
    next = kShortestCut * s.step;  // tried already: shorter still
  }
  rememberTried(s);
  s.phase = kPhaseTrialPoint;
  return kSqpNeedValues;
}

int resumeTrial(SqpState& s) {
  ++s.functionCalls;
  ++s.lineCalls;
  if (!valuesUsable(s)) return shortenStep(s, kInfinity);
  noteBest(s, s.x, s.f, s.g);
  const double phi = meritOf(s, s.f, s.g);
  double reference = s.merit0;
  for (double h : s.meritHistory) reference = std::max(reference, h);
  const double decrease = kArmijo * s.step * s.slope0;
  if (!(phi <= reference + decrease)) return shortenStep(s, phi);
  if (phi > s.merit0 + decrease) addNote(s, kNoteNonMonotone);
  s.trialF = s.f;
  s.trialG = s.g;
  s.phase = kPhaseGradients;
  return kSqpNeedGradients;
}

// Damped BFGS update of B with s = x - x_k and y the change of the Lagrangian's gradient.
// Returns false when the run must stop (code 3).
bool updateHessian(SqpState& s) {
  const int n = s.n, m = s.m;
  const Eigen::Map<const RowMatrix> dgOld(s.dgk.data(), m, n);
  const Eigen::Map<const RowMatrix> dgNew(s.dg.data(), m, n);
  const VectorXd u = vec(s.multipliers).head(m);
  const VectorXd sv = vec(s.x) - vec(s.xk);
  VectorXd y = (vec(s.df) - dgNew.transpose() * u) - (vec(s.dfk) - dgOld.transpose() * u);
  Eigen::Map<MatrixXd> bmap(s.hessian.data(), n, n);
  MatrixXd b = bmap;
  if (s.scaleHessian != 0) {
    const double sy = sv.dot(y), yy = y.squaredNorm();
    if (sy > 0.0 && yy > 0.0 && std::isfinite(yy / sy)) b *= yy / sy;
  }
  const VectorXd bs = b * sv;
  const double sbs = sv.dot(bs);
  double sy = sv.dot(y);
  bool ok = sbs > std::numeric_limits<double>::min() && std::isfinite(sbs) && std::isfinite(sy);
  if (ok) {
    if (sy < 0.2 * sbs) {  // Powell's damping
      const double theta = 0.8 * sbs / (sbs - sy);
      y = theta * y + (1.0 - theta) * bs;
      sy = sv.dot(y);
    }
    ok = sy > 0.0;
  }
  if (ok) {
    MatrixXd next = b + y * y.transpose() / sy - bs * bs.transpose() / sbs;
    next = 0.5 * (next + next.transpose());
    ok = positiveDefinite(next);
    if (ok) {
      bmap = next;
      s.scaleHessian = 0;
      s.stalled = 0;
      return true;
    }
  }
  if (++s.stalled < kMaxStalled) return true;  // keep B as it is
  if (s.settings.rhob > 0.0) {
    resetHessian(s, true);
    return true;
  }
  return false;
}

int resumeGradients(SqpState& s) {
  ++s.gradientCalls;
  if (!gradientsUsable(s)) return shortenStep(s, kInfinity);
  if (!updateHessian(s)) return finish(s, kSqpBfgsUnderflow);
  s.xk = s.x;
  s.fk = s.trialF;
  s.fk_g = s.trialG;
  s.dfk = s.df;
  s.dgk = s.dg;
  s.restarted = 0;
  if (s.earlyNoted == 0 && s.iteration <= kEarlyIterations &&
      violationOf(s, s.fk_g) <= kFeasibleViolation &&
      betterThan(s.fk, violationOf(s, s.fk_g), s.startF, s.startViolation)) {
    s.earlyNoted = 1;
    addNote(s, "A feasible point better than the starting point was found in iteration " +
                   std::to_string(s.iteration) + ".");
  }
  return iterate(s);
}

int resumeFirstPoint(SqpState& s) {
  ++s.functionCalls;
  ++s.gradientCalls;
  if (!valuesUsable(s) || !gradientsUsable(s)) {
    s.error = "the starting point could not be evaluated";
    return finish(s, kSqpWrongStartingValue);
  }
  noteBest(s, s.x, s.f, s.g);
  s.xk = s.x;
  s.fk = s.f;
  s.fk_g = s.g;
  s.dfk = s.df;
  s.dgk = s.dg;
  s.startF = s.f;
  s.startViolation = violationOf(s, s.g);
  return iterate(s);
}

}  // namespace

int sqpStart(SqpState& state, const SqpSettings& settings, int n, int m, int me,
             const std::vector<double>& x0, const std::vector<double>& lower,
             const std::vector<double>& upper) {
  std::vector<double> hessian;
  if (settings.mode == 1 || settings.ifail == -1) hessian = state.hessian;
  state = SqpState{};
  state.settings = settings;
  state.n = n;
  state.m = m;
  state.me = me;
  state.phase = kPhaseFinished;

  // Dimensions (6), then the settings (9), then the values (8).
  const std::string wantedN = "N = " + std::to_string(n);
  if (n < 1) state.error = "N = " + std::to_string(n) + " is below 1";
  else if (m < 0) state.error = "M = " + std::to_string(m) + " is below 0";
  else if (me < 0) state.error = "ME = " + std::to_string(me) + " is below 0";
  else if (me > m) state.error = "ME = " + std::to_string(me) + " is above M = " + std::to_string(m);
  else if (x0.size() != static_cast<std::size_t>(n)) state.error = sizeText("X0", x0.size(), wantedN);
  else if (lower.size() != static_cast<std::size_t>(n)) {
    state.error = sizeText("LOWER", lower.size(), wantedN);
  } else if (upper.size() != static_cast<std::size_t>(n)) {
    state.error = sizeText("UPPER", upper.size(), wantedN);
  } else if (settings.mode == 1 && hessian.size() != static_cast<std::size_t>(n) * n) {
    state.error = sizeText("HESSIAN", hessian.size(), "N*N = " + std::to_string(n * n));
  }
  if (!state.error.empty()) return finish(state, kSqpWrongDimensions);
  state.error = checkSettings(settings);
  if (!state.error.empty()) return finish(state, kSqpWrongInput);

  for (int i = 0; i < n && state.error.empty(); ++i) {
    const std::string at = "(" + std::to_string(i + 1) + ")";
    if (!std::isfinite(x0[i])) {
      state.error = "X0" + at + " = " + numberText(x0[i]) + " is not finite";
    } else if (std::isnan(lower[i]) || std::isnan(upper[i]) || lower[i] > upper[i]) {
      state.error = "LOWER" + at + " = " + numberText(lower[i]) + " is not below UPPER" + at +
                    " = " + numberText(upper[i]);
    }
  }
  const bool warm = hessian.size() == static_cast<std::size_t>(n) * n;
  if (state.error.empty() && settings.mode == 1 &&
      !positiveDefinite(Eigen::Map<const MatrixXd>(hessian.data(), n, n))) {
    state.error = "HESSIAN is not positive definite";
  }
  if (!state.error.empty()) return finish(state, kSqpWrongStartingValue);

  state.lower = lower;
  state.upper = upper;
  state.x.resize(n);
  for (int i = 0; i < n; ++i) state.x[i] = std::clamp(x0[i], lower[i], upper[i]);
  if (warm && (settings.mode == 1 || positiveDefinite(Eigen::Map<const MatrixXd>(hessian.data(), n, n)))) {
    state.hessian = hessian;
    state.scaleHessian = 0;
  } else {
    setIdentity(state, 1.0);
    state.scaleHessian = 1;
  }
  state.penalty.assign(m, 0.0);
  state.multipliers.assign(m + 2 * n, 0.0);
  state.direction.assign(n, 0.0);
  state.result = -1;
  rememberTried(state);
  state.phase = kPhaseFirstPoint;
  return kSqpNeedBoth;
}

int sqpResume(SqpState& state) {
  switch (state.phase) {
    case kPhaseFirstPoint: return resumeFirstPoint(state);
    case kPhaseTrialPoint: return resumeTrial(state);
    case kPhaseGradients: return resumeGradients(state);
    case kPhaseFinished: return state.result;
    default:
      state.error = "the solver was not started";
      return finish(state, kSqpWrongInput);
  }
}

int sqpPendingRequest(const SqpState& state) {
  switch (state.phase) {
    case kPhaseFirstPoint: return kSqpNeedBoth;
    case kPhaseTrialPoint: return kSqpNeedValues;
    case kPhaseGradients: return kSqpNeedGradients;
    case kPhaseFinished: return state.result;
    default: return kSqpWrongInput;
  }
}

namespace {

// The fields in declaration order (the settings where they sit).
void keepFields(StateArchive& archive, SqpState& s) {
  SqpSettings& t = s.settings;
  archive.items(s.n, s.m, s.me, s.lower, s.upper);
  archive.items(t.acc, t.accqp, t.stpmin, t.maxfun, t.maxit, t.maxnm, t.rhob, t.mode, t.iprint,
                t.iout, t.ifail);
  archive.items(s.x, s.f, s.g, s.df, s.dg, s.failed);
  archive.items(s.iteration, s.functionCalls, s.gradientCalls, s.phase, s.result, s.error,
                s.notes);
  archive.items(s.best, s.bestF, s.bestViolation);
  archive.items(s.xk, s.fk_g, s.dfk, s.dgk, s.fk, s.hessian, s.multipliers, s.penalty,
                s.direction, s.step, s.merit0, s.slope0, s.lineCalls, s.meritHistory, s.stalled,
                s.scaleHessian, s.restarted, s.earlyNoted, s.startF, s.startViolation, s.trialF,
                s.trialG, s.lastNote, s.tried);
}

// The state read fits together so that sqpResume stays inside every vector (see sqp.h).
bool consistent(const SqpState& s) {
  const auto sized = [](const std::vector<double>& v, long long size) {
    return static_cast<long long>(v.size()) == size;
  };
  if (s.phase < kPhaseNotStarted || s.phase > kPhaseFinished) return false;
  if (s.phase == kPhaseFinished ? s.result < kSqpSolved || s.result > kSqpTooManyFunctionCalls
                                : s.result != -1) {
    return false;
  }
  if (s.iteration < 0 || s.functionCalls < 0 || s.gradientCalls < 0 || s.lineCalls < 0 ||
      s.stalled < 0) {
    return false;
  }
  if (!s.best.empty() && (s.n < 1 || !sized(s.best, s.n))) return false;
  if (s.phase == kPhaseNotStarted || s.phase == kPhaseFinished) return true;

  // A run going on.
  if (s.n < 1 || s.m < 0 || s.me < 0 || s.me > s.m) return false;
  if (!checkSettings(s.settings).empty()) return false;
  const long long n = s.n, m = s.m;
  if (!sized(s.lower, n) || !sized(s.upper, n) || !sized(s.x, n) || !sized(s.direction, n) ||
      !sized(s.hessian, n * n) || !sized(s.multipliers, m + 2 * n) || !sized(s.penalty, m)) {
    return false;
  }
  for (long long i = 0; i < n; ++i) {
    if (!(s.lower[i] <= s.upper[i])) return false;
  }
  const bool iterateIn = s.phase != kPhaseFirstPoint;
  const auto iterateSized = [&](const std::vector<double>& v, long long size) {
    return sized(v, size) || (!iterateIn && v.empty());
  };
  if (!iterateSized(s.xk, n) || !iterateSized(s.fk_g, m) || !iterateSized(s.dfk, n) ||
      !iterateSized(s.dgk, m * n)) {
    return false;
  }
  if (!(s.phase == kPhaseGradients ? sized(s.trialG, m) : s.trialG.empty() || sized(s.trialG, m))) {
    return false;
  }
  if (static_cast<long long>(s.g.size()) > m || static_cast<long long>(s.df.size()) > n ||
      static_cast<long long>(s.dg.size()) > m * n) {
    return false;
  }
  if (static_cast<long long>(s.meritHistory.size()) > s.settings.maxnm) return false;
  return s.tried.size() % static_cast<std::size_t>(n) == 0 &&
         static_cast<long long>(s.tried.size()) <= kTriedKept * n;
}

}  // namespace

void keepSqpState(StateArchive& archive, SqpState& state) {
  if (!archive.reading()) {
    keepFields(archive, state);
    return;
  }
  SqpState read;
  keepFields(archive, read);
  if (archive.ok() && !consistent(read)) archive.fail();
  if (archive.ok()) state = std::move(read);
}

std::string sqpReturnText(int code) {
  switch (code) {
    case kSqpSolved: return "The optimality conditions are satisfied to the accuracy ACC.";
    case kSqpTooManyIterations: return "More than MAXIT iterations.";
    case kSqpNotProfitable: return "The search direction is not profitable.";
    case kSqpBfgsUnderflow: return "Underflow in the BFGS update.";
    case kSqpLineSearchError: return "Error in the line search.";
    case kSqpWorkingSpace: return "Insufficient working space.";
    case kSqpWrongDimensions: return "Wrong N, M, ME, L or MNN2.";
    case kSqpCurvatureUnderflow: return "Underflow in D(T)*B*D.";
    case kSqpWrongStartingValue: return "Wrong starting value.";
    case kSqpWrongInput:
      return "Wrong input parameter (ACC, ACCQP, IFAIL, IOUT, IPRINT, MAXFUN, MAXIT, MAXNM, "
             "MODE, RHOB, STPMIN).";
    case kSqpQpInconsistent: return "Internal inconsistency in QL.";
    case kSqpTooManyFunctionCalls: return "More than MAXFUN function calls in a line search.";
    default: return "";
  }
}

}  // namespace karvo::search
