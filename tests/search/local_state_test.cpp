// The checkpoint records of the local searches: the SQP solver's state, a local search run on
// it, and the method records of the simplex search, simulated annealing, the SQP search, the
// multi-start search and the search on response surfaces.
//
// Every field of the solver's state and of a run reads back; a solver state read back mid-run
// goes on exactly as the original.
// Each method record, read from bytes laid out here, writes the same bytes again; every
// truncation, and every record that does not fit together, is refused and leaves the record
// read before. The SQP search's record carries the runs that sqpResume could not go on with.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "base/state_archive.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "search/local_search.h"
#include "search/methods/annealing.h"
#include "search/methods/multistart.h"
#include "search/methods/simplex.h"
#include "search/methods/sqp_search.h"
#include "search/methods/surface_search.h"
#include "search/population.h"
#include "search/sqp.h"

namespace karvo::search {
namespace {

using Vector = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();

template <class T>
using KeepFn = void (*)(StateArchive&, T&);

std::string bytesOf(const std::function<void(StateArchive&)>& write) {
  std::string out;
  StateArchive archive(out);
  write(archive);
  return out;
}

template <class T>
std::string kept(KeepFn<T> keep, T value) {
  return bytesOf([&](StateArchive& a) { keep(a, value); });
}

std::string sqpBytes(const SqpState& state) { return kept(keepSqpState, state); }
std::string designBytes(Design d) {
  return bytesOf([&](StateArchive& a) { a.item(d); });
}

// Reads `bytes` into `into`; answers whether the archive stayed ok.
template <class T>
bool readInto(KeepFn<T> keep, std::string_view bytes, T& into) {
  StateArchive archive{bytes};
  keep(archive, into);
  return archive.ok();
}

// `value` written, read over `into`: every byte taken, and written again the same bytes.
template <class T>
T readBackOf(KeepFn<T> keep, const T& value, T into = T{}) {
  const std::string bytes = kept(keep, value);
  StateArchive archive{std::string_view(bytes)};
  keep(archive, into);
  EXPECT_TRUE(archive.ok());
  EXPECT_EQ(archive.remaining(), 0u);
  EXPECT_EQ(kept(keep, into), bytes);
  return into;
}

// Fields compared bit for bit (a double as its bit pattern, so that NaN and -0.0 compare
// exactly): a field the record leaves out shows after a read over another record.
std::uint64_t exact(double v) { return std::bit_cast<std::uint64_t>(v); }
std::vector<std::uint64_t> exact(const Vector& values) {
  std::vector<std::uint64_t> bits;
  for (double v : values) bits.push_back(exact(v));
  return bits;
}
template <class T>
const T& exact(const T& value) {
  return value;
}
template <class... T>
auto exactly(const T&... fields) {
  return std::make_tuple(exact(fields)...);
}

auto sqpFields(const SqpState& s) {
  const SqpSettings& t = s.settings;
  return exactly(s.n, s.m, s.me, s.lower, s.upper, t.acc, t.accqp, t.stpmin, t.maxfun, t.maxit,
                 t.maxnm, t.rhob, t.mode, t.iprint, t.iout, t.ifail, s.x, s.f, s.g, s.df, s.dg,
                 s.failed, s.iteration, s.functionCalls, s.gradientCalls, s.phase, s.result,
                 s.error, s.notes, s.best, s.bestF, s.bestViolation, s.xk, s.fk_g, s.dfk, s.dgk,
                 s.fk, s.hessian, s.multipliers, s.penalty, s.direction, s.step, s.merit0,
                 s.slope0, s.lineCalls, s.meritHistory, s.stalled, s.scaleHessian, s.restarted,
                 s.earlyNoted, s.startF, s.startViolation, s.trialF, s.trialG, s.lastNote,
                 s.tried);
}

// ---------------------------------------------------------------------------------------
// A problem for any n, m, me: f = sum (x_i - 0.3)^2 + x_0 x_{n-1}; equality j: x_{j%n} = 0.5;
// inequality j: 0.9 - x_{j%n} - 0.1 x_{(j+1)%n} >= 0. Analytic gradients.

void answerValues(SqpState& s) {
  const int n = s.n;
  s.f = s.x[0] * s.x[static_cast<std::size_t>(n - 1)];
  for (double v : s.x) s.f += (v - 0.3) * (v - 0.3);
  s.g.assign(static_cast<std::size_t>(s.m), 0.0);
  for (int j = 0; j < s.m; ++j) {
    const double a = s.x[static_cast<std::size_t>(j % n)];
    const double b = s.x[static_cast<std::size_t>((j + 1) % n)];
    s.g[static_cast<std::size_t>(j)] = j < s.me ? a - 0.5 : 0.9 - a - 0.1 * b;
  }
}

void answerGradients(SqpState& s) {
  const std::size_t n = static_cast<std::size_t>(s.n);
  s.df.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) s.df[i] = 2.0 * (s.x[i] - 0.3);
  s.df[0] += s.x[n - 1];
  s.df[n - 1] += s.x[0];
  s.dg.assign(static_cast<std::size_t>(s.m) * n, 0.0);
  for (int j = 0; j < s.m; ++j) {
    const std::size_t row = static_cast<std::size_t>(j) * n;
    if (j < s.me) {
      s.dg[row + j % n] = 1.0;
    } else {
      s.dg[row + j % n] -= 1.0;
      s.dg[row + (j + 1) % n] -= 0.1;
    }
  }
}

// Answers `request` at s.x and resumes the solver.
int answer(SqpState& s, int request) {
  s.failed = false;
  if (request != kSqpNeedGradients) answerValues(s);
  if (request != kSqpNeedValues) answerGradients(s);
  return sqpResume(s);
}

// n = 3, m = 3, me = 1, with a merit history (MAXNM 3), every note kept and restarts.
int startProblem(SqpState& s) {
  SqpSettings settings;
  settings.maxnm = 3;
  settings.iprint = 2;
  settings.rhob = 0.5;
  settings.maxit = 60;
  return sqpStart(s, settings, 3, 3, 1, {0.9, 0.1, 0.8}, {0.0, 0.0, 0.0}, {1.0, 1.0, 1.0});
}

// A state mid-run that waits for `wanted` (after at least `after` requests).
SqpState stateWaitingFor(int wanted, int after) {
  SqpState s;
  int request = startProblem(s);
  for (int k = 0; request < 0; ++k) {
    if (k >= after && request == wanted) return s;
    request = answer(s, request);
  }
  ADD_FAILURE() << "the run ended before a request " << wanted;
  return s;
}

// The phase of a run that has ended (the solver's own code).
int finishedPhase() {
  SqpState s;
  EXPECT_EQ(sqpStart(s, SqpSettings{}, 0, 0, 0, {}, {}, {}), kSqpWrongDimensions);
  return s.phase;
}

// Every field of a running state set to a value of its own (sizes kept, bounds ordered),
// with a NaN, an infinity and a negative zero among them.
SqpState filledSqpState() {
  SqpState s = stateWaitingFor(kSqpNeedGradients, 6);
  double next = 0.5;
  for (Vector* v : {&s.x, &s.df, &s.dg, &s.xk, &s.fk_g, &s.dfk, &s.dgk, &s.hessian,
                    &s.multipliers, &s.penalty, &s.direction, &s.trialG}) {
    for (double& value : *v) value = (next += 1.0);
  }
  for (double* v : {&s.bestViolation, &s.step, &s.merit0, &s.slope0, &s.startF,
                    &s.startViolation, &s.trialF}) {
    *v = (next += 1.0);
  }
  int count = 10;
  for (int* v : {&s.iteration, &s.functionCalls, &s.gradientCalls, &s.lineCalls, &s.stalled}) {
    *v = ++count;
  }
  s.settings = {.acc = 0.0625, .accqp = 0.03125, .stpmin = 0.015625, .maxfun = 17, .maxit = 19,
                .maxnm = 4, .rhob = 2.5, .mode = 1, .iprint = 3, .iout = 7, .ifail = -1};
  s.lower = {-1.5, -2.5, -3.5};
  s.upper = {1.5, 2.5, 3.5};
  s.f = -0.0;
  s.g = {1.0, 2.0};  // fewer than m: left so by a point that could not be evaluated
  s.failed = true;
  s.error = "an error text";
  s.notes = {"first note", "", "third note"};
  s.best = {0.25, 0.5, 0.75};
  s.bestF = kInf;
  s.fk = std::nan("");
  s.meritHistory = {27.5, 28.5, 29.5};
  s.scaleHessian = s.restarted = s.earlyNoted = 1;
  s.lastNote = "the last note";
  s.tried.assign(6, 0.125);
  return s;
}

// ---------------------------------------------------------------------------------------
// The solver's state

// A state read back at any request goes on exactly as the run that was not stopped: the same
// requests at the same points, and the same final state.
TEST(SqpStateKeeping, ReadBackAtAnyRequestGoesOnAsTheRunThatWasNotStopped) {
  struct Trace {
    std::vector<int> requests;
    std::vector<std::vector<std::uint64_t>> points;
    std::string finalState;
  };
  const auto finish = [](SqpState& s, int request, Trace& trace) {
    while (request < 0 && trace.requests.size() < 2000) {
      trace.requests.push_back(request);
      trace.points.push_back(exact(s.x));
      request = answer(s, request);
    }
    trace.requests.push_back(request);
    trace.finalState = sqpBytes(s);
  };
  Trace reference;
  SqpState whole;
  finish(whole, startProblem(whole), reference);
  const std::size_t requests = reference.requests.size() - 1;
  ASSERT_GE(requests, 8u);
  EXPECT_GE(reference.requests.back(), 0);
  EXPECT_FALSE(whole.notes.empty());
  for (std::size_t stop = 0; stop < requests; ++stop) {
    SqpState s;
    int request = startProblem(s);
    Trace trace;
    for (std::size_t k = 0; k < stop; ++k) {
      trace.requests.push_back(request);
      trace.points.push_back(exact(s.x));
      request = answer(s, request);
    }
    SqpState resumed;
    ASSERT_TRUE(readInto(keepSqpState, sqpBytes(s), resumed)) << "stopped after " << stop;
    ASSERT_EQ(sqpPendingRequest(resumed), request);
    finish(resumed, request, trace);
    EXPECT_EQ(trace.requests, reference.requests) << "stopped after " << stop;
    EXPECT_EQ(trace.points, reference.points) << "stopped after " << stop;
    EXPECT_EQ(trace.finalState, reference.finalState) << "stopped after " << stop;
  }
}

// ---------------------------------------------------------------------------------------
// A local search run

Design sampleDesign(int seed) {
  Design d;
  d.num_dvar = 4;
  d.encoding = kEncodingReal;
  d.chromosome = {5 + seed, 6, 7, 8};
  d.reals = {1.5, 2.5, -0.0};
  d.performance = -3.25 * seed;
  d.status = kDesignInfeasible;
  d.designNumber = 70 + seed;
  d.failed = true;
  ResponseValue value;
  value.values = {1.0, std::nan("")};
  value.text = {"a", "bc"};
  value.present = true;
  d.responses = {value, ResponseValue{}};
  d.name = "design name";
  return d;
}

// A run waiting for values: n = 3 (fields 1, 3 and 4 of five), m = 3 with one equality.
LocalSearch filledSearch() {
  LocalSearch search;
  search.sqp = filledSqpState();
  search.sqp.phase = stateWaitingFor(kSqpNeedValues, 3).phase;
  search.sqp.trialG.clear();  // none yet, as before the first trial point
  search.request = kSqpNeedValues;
  search.running = true;
  search.fields = {1, 3, 4};
  search.chromosome = {5, 6, 7, 8, 9};
  search.equalities = {2};
  search.inequalities = {0, 5};
  search.last = sampleDesign(3);
  search.haveLast = true;
  search.startNumber = 17;
  search.evaluations = 1234567890123L;
  return search;
}

// An ended run (the solver's state finished with `code`).
LocalSearch endedSearch(int code) {
  LocalSearch search;
  search.sqp = filledSqpState();
  search.sqp.phase = finishedPhase();
  search.sqp.result = search.request = code;
  search.fields = {0};
  return search;
}

auto searchFields(const LocalSearch& s) {
  return std::tuple_cat(sqpFields(s.sqp),
                        exactly(s.request, s.running, s.fields, s.chromosome, s.equalities,
                                s.inequalities, designBytes(s.last), s.haveLast,
                                s.startNumber, s.evaluations));
}

TEST(LocalSearchKeeping, EveryFieldReadsBack) {
  const LocalSearch filled = filledSearch();
  EXPECT_EQ(searchFields(readBackOf(keepLocalSearch, filled)), searchFields(filled));
}

// A run waiting for gradients, its solver's state filled.
LocalSearch gradientsSearch() {
  LocalSearch search = filledSearch();
  search.sqp = filledSqpState();
  search.request = kSqpNeedGradients;
  return search;
}

// Changes of gradientsSearch() that make a run sqpResume or the search could not go on with.
std::vector<std::pair<const char*, std::function<void(LocalSearch&)>>> runsThatDoNotFit() {
  using L = LocalSearch;
  return {
      {"unknown phase", [](L& s) { s.sqp.phase = 7; }},
      {"negative phase", [](L& s) { s.sqp.phase = -1; }},
      {"return code while running", [](L& s) { s.sqp.result = kSqpSolved; }},
      {"finished with a request as code",
       [](L& s) { s.sqp.phase = finishedPhase(), s.sqp.result = kSqpNeedValues; }},
      {"finished with code 12", [](L& s) { s.sqp.phase = finishedPhase(), s.sqp.result = 12; }},
      {"no variable", [](L& s) { s.sqp.n = 0; }},
      {"more equalities than constraints", [](L& s) { s.sqp.me = s.sqp.m + 1; }},
      {"short lower bounds", [](L& s) { s.sqp.lower.pop_back(); }},
      {"crossed bounds", [](L& s) { s.sqp.lower[1] = s.sqp.upper[1] + 1.0; }},
      {"NaN bound", [](L& s) { s.sqp.upper[2] = std::nan(""); }},
      {"short point", [](L& s) { s.sqp.x.pop_back(); }},
      {"short direction", [](L& s) { s.sqp.direction.pop_back(); }},
      {"short BFGS matrix", [](L& s) { s.sqp.hessian.pop_back(); }},
      {"long multipliers", [](L& s) { s.sqp.multipliers.push_back(1.0); }},
      {"short penalties", [](L& s) { s.sqp.penalty.pop_back(); }},
      {"short iterate", [](L& s) { s.sqp.xk.pop_back(); }},
      {"no iterate values", [](L& s) { s.sqp.fk_g.clear(); }},
      {"short iterate gradient", [](L& s) { s.sqp.dfk.pop_back(); }},
      {"short iterate Jacobian", [](L& s) { s.sqp.dgk.pop_back(); }},
      {"no trial values", [](L& s) { s.sqp.trialG.clear(); }},
      {"long constraint values", [](L& s) { s.sqp.g.assign(4, 0.0); }},
      {"long gradient", [](L& s) { s.sqp.df.assign(4, 0.0); }},
      {"long Jacobian", [](L& s) { s.sqp.dg.assign(10, 0.0); }},
      {"merit history longer than MAXNM", [](L& s) { s.sqp.settings.maxnm = 2; }},
      {"part of a tried point", [](L& s) { s.sqp.tried.push_back(0.5); }},
      {"201 tried points", [](L& s) { s.sqp.tried.assign(603, 0.5); }},
      {"best of another size", [](L& s) { s.sqp.best.push_back(0.5); }},
      {"MAXFUN 0", [](L& s) { s.sqp.settings.maxfun = 0; }},
      {"negative iterations", [](L& s) { s.sqp.iteration = -1; }},
      {"negative line calls", [](L& s) { s.sqp.lineCalls = -1; }},
      {"request other than the solver's", [](L& s) { s.request = kSqpNeedBoth; }},
      {"running with a return code", [](L& s) { s.request = kSqpSolved; }},
      {"ended while the solver waits", [](L& s) { s.running = false, s.request = kSqpSolved; }},
      {"ended with a request", [](L& s) { s.sqp = SqpState{}, s.running = false; }},
      {"ended with code 12", [](L& s) { s.sqp = SqpState{}, s.running = false, s.request = 12; }},
      {"one field less", [](L& s) { s.fields.pop_back(); }},
      {"field outside the chromosome", [](L& s) { s.fields.back() = 5; }},
      {"negative field", [](L& s) { s.fields.front() = -1; }},
      {"fields out of order", [](L& s) { s.fields = {3, 1, 4}; }},
      {"a field twice", [](L& s) { s.fields = {1, 3, 3}; }},
      {"an equality for an inequality",
       [](L& s) { s.equalities.push_back(0), s.inequalities = {5}; }},
      {"one constraint less", [](L& s) { s.inequalities.pop_back(); }},
      {"negative response", [](L& s) { s.inequalities.front() = -1; }},
      {"negative evaluations", [](L& s) { s.evaluations = -1; }},
      // Gradients are asked for only at the design last handed in.
      {"gradients without a design", [](L& s) { s.haveLast = false; }}};
}

Member sampleMember(int seed, std::vector<int> chromosome) {
  Member member;
  member.design = sampleDesign(seed);
  member.design.chromosome = std::move(chromosome);
  member.raw = 1.5 + seed;
  member.scaled = 2.5;
  member.birthGeneration = 3;
  member.origin = kMadeDecision | kMadeHistory;
  member.ga_operator = 5;
  member.firstparent = -6.5;
  member.secondparent = kInf;
  member.mut_width = 0.125;
  return member;
}

// ---------------------------------------------------------------------------------------
// The method records, each read from bytes written here in its layout: a mark, a flag (the
// agent has a record), then the record's fields.

std::string recordBytes(std::int32_t mark, bool present,
                        const std::function<void(StateArchive&)>& fields = nullptr) {
  return bytesOf([&](StateArchive& a) {
    a.mark(mark);
    a.item(present);
    if (fields) fields(a);
  });
}

constexpr std::int32_t kSimplexMark = 0x534d584e;
constexpr std::int32_t kAnnealingMark = 0x53414e41;
constexpr std::int32_t kSqpSearchMark = 0x5350514e;
constexpr std::int32_t kMultiStartMark = 0x5354534d;
constexpr std::int32_t kSurfaceMark = 0x53535352;

// Simplex: ready, active fields, vertex fields, vertex values, best member, spread, stage,
// restarts, idle.
struct SimplexFields {
  bool ready = true;
  std::vector<std::size_t> active = {0, 2};
  std::vector<std::vector<int>> vertices = {{4, 0, 9}, {6, 0, 9}, {4, 0, 3}};
  Vector values = {-1.5, kInf, 0.25};
  Member best = sampleMember(1, {4, 0, 9});
  double spread = 0.75;
  int stage = 1, restarts = 2, idle = 3;
};

std::string simplexBytes(SimplexFields f) {
  return recordBytes(kSimplexMark, true, [&](StateArchive& a) {
    a.items(f.ready, f.active, f.vertices, f.values);
    keepMember(a, f.best);
    a.items(f.spread, f.stage, f.restarts, f.idle);
  });
}

// Annealing: ready, width, minWidth, rise, rises, cycle.
std::string annealingBytes(double width, long rises, int cycle) {
  return recordBytes(kAnnealingMark, true, [=](StateArchive& a) mutable {
    bool ready = true;
    double minWidth = 0.0025, rise = 3.75;
    a.items(ready, width, minWidth, rise, rises, cycle);
  });
}

// SQP search: started, the local search.
std::string sqpSearchBytes(bool started, LocalSearch search) {
  return recordBytes(kSqpSearchMark, true, [&](StateArchive& a) {
    a.item(started);
    keepLocalSearch(a, search);
  });
}

// Multi-start: the local search, the starts left, the cycle.
std::string multiStartBytes(LocalSearch search, std::vector<Design> starts, int cycle) {
  return recordBytes(kMultiStartMark, true, [&](StateArchive& a) {
    keepLocalSearch(a, search);
    a.items(starts, cycle);
  });
}

// Surface search: sample points, sample response values, sample objectives, sample
// constraints, the design numbers seen, the stored designs looked at.
struct SurfaceFields {
  std::vector<Vector> x = {{0.0, 0.5}, {1.0, 0.25}, {0.75, 0.125}};
  std::vector<Vector> values = {{1.0, std::nan(""), 3.0}, {4.0, 5.0, 6.0}, {-0.0, 8.0, 9.0}};
  Vector objectives = {-1.0, -2.0, kInf};
  std::vector<Vector> constraints = {{0.5}, {-0.5}, {}};
  std::unordered_set<int> seen = {12, 3, 40};
  std::size_t storeSeen = 41;
};

std::string surfaceBytes(SurfaceFields f) {
  return recordBytes(kSurfaceMark, true, [&](StateArchive& a) {
    a.items(f.x, f.values, f.objectives, f.constraints, f.seen, f.storeSeen);
  });
}

// The bytes of the default fields, after `change` when there is one.
template <class Fields>
std::function<std::string()> changed(std::string (*bytes)(Fields),
                                     std::type_identity_t<std::function<void(Fields&)>> change) {
  return [=] {
    Fields f;
    if (change) change(f);
    return bytes(f);
  };
}

struct MethodCase {
  const char* name;
  MethodStateFn keep;
  void (*reset)();
  std::int32_t mark;
  std::function<std::string()> record;  // a record
  std::function<std::string()> other;   // another one
  std::vector<std::pair<const char*, std::function<std::string()>>> refused;
};

void PrintTo(const MethodCase& c, std::ostream* out) { *out << c.name; }

std::vector<MethodCase> methodCases() {
  using F = SimplexFields;
  using G = SurfaceFields;
  const auto ended = [] { return endedSearch(kSqpSolved); };
  std::vector<std::pair<const char*, std::function<std::string()>>> sqpRefused;
  for (const auto& run : runsThatDoNotFit()) {
    sqpRefused.emplace_back(run.first, [change = run.second] {
      LocalSearch s = gradientsSearch();
      change(s);
      return sqpSearchBytes(true, s);
    });
  }
  const auto simplex = [](std::function<void(F&)> change) { return changed(simplexBytes, change); };
  const auto surface = [](std::function<void(G&)> change) { return changed(surfaceBytes, change); };
  return {
      {"Simplex", keepSimplexState, resetSimplexState, kSimplexMark, simplex({}),
       simplex([](F& f) { f.vertices.clear(), f.values.clear(), f.stage = -1, f.ready = false; }),
       {{"a vertex missing", simplex([](F& f) { f.vertices.pop_back(), f.values.pop_back(); })},
        {"a value missing", simplex([](F& f) { f.values.pop_back(); })},
        {"active fields out of order", simplex([](F& f) { f.active = {2, 0}; })},
        {"active field outside the chromosome", simplex([](F& f) { f.active = {0, 3}; })},
        {"vertex of another size", simplex([](F& f) { f.vertices[1].push_back(0); })},
        {"simplex without active fields",
         simplex([](F& f) { f.active.clear(), f.vertices.resize(1), f.values.resize(1); })},
        {"stage below -1", simplex([](F& f) { f.stage = -2; })},
        {"negative idle count", simplex([](F& f) { f.idle = -1; })}}},
      {"Annealing", keepAnnealingState, resetAnnealingState, kAnnealingMark,
       [] { return annealingBytes(0.0625, 9, 4); }, [] { return annealingBytes(0.5, 0, -1); },
       {{"negative rises", [] { return annealingBytes(0.0625, -1, 4); }},
        {"cycle below -1", [] { return annealingBytes(0.0625, 9, -2); }}}},
      {"SqpSearch", keepSqpSearchState, resetSqpState, kSqpSearchMark,
       [] { return sqpSearchBytes(true, gradientsSearch()); },
       [=] { return sqpSearchBytes(false, ended()); }, sqpRefused},
      {"MultiStart", keepMultiStartState, resetMultiStartState, kMultiStartMark,
       [] { return multiStartBytes(filledSearch(), {sampleDesign(1), sampleDesign(2)}, 3); },
       [=] { return multiStartBytes(ended(), {}, -1); },
       {{"run that does not fit",
         [] {
           LocalSearch s = filledSearch();
           s.equalities.clear();
           return multiStartBytes(s, {}, 3);
         }},
        {"cycle below -1", [] { return multiStartBytes(filledSearch(), {}, -2); }}}},
      {"SurfaceSearch", keepSurfaceSearchState, resetSurfaceSearchState, kSurfaceMark,
       surface({}), surface([](G& f) {
         f.x.resize(1), f.values.resize(1), f.objectives.resize(1);
         f.constraints.resize(1), f.seen.clear(), f.storeSeen = 0;
       }),
       {{"an objective missing", surface([](G& f) { f.objectives.pop_back(); })},
        {"constraints missing", surface([](G& f) { f.constraints.pop_back(); })},
        {"a point missing", surface([](G& f) { f.x.pop_back(); })},
        {"values of another count", surface([](G& f) { f.values[2].pop_back(); })},
        {"point of another size", surface([](G& f) { f.x[1].push_back(0.5); })}}},
  };
}

class MethodStateKeeping : public ::testing::TestWithParam<MethodCase> {
 protected:
  void SetUp() override { GetParam().reset(); }
  void TearDown() override { GetParam().reset(); }

  static Agent agentNumber(int number) {
    Agent agent;
    agent.number = number;
    return agent;
  }

  // Reads `bytes` into the record of `agent`; answers whether the archive stayed ok and
  // took every byte.
  static bool read(Agent& agent, std::string_view bytes) {
    StateArchive archive{bytes};
    GetParam().keep(agent, archive);
    return archive.ok() && archive.remaining() == 0;
  }

  static std::string written(Agent& agent) {
    return bytesOf([&](StateArchive& a) { GetParam().keep(agent, a); });
  }

  static std::string none() { return recordBytes(GetParam().mark, false); }
};

// Each agent keeps its own record; an agent without one writes "none", and reading "none"
// removes the record.
TEST_P(MethodStateKeeping, RecordReadBackWritesTheSameBytes) {
  Agent agent = agentNumber(41);
  Agent neighbour = agentNumber(42);
  EXPECT_EQ(written(agent), none());
  for (const std::string& bytes : {GetParam().record(), GetParam().other()}) {
    ASSERT_TRUE(read(agent, bytes));
    EXPECT_EQ(written(agent), bytes);
    EXPECT_EQ(written(neighbour), none());
  }
  ASSERT_TRUE(read(neighbour, GetParam().record()));
  EXPECT_EQ(written(agent), GetParam().other());
  EXPECT_EQ(written(neighbour), GetParam().record());
  EXPECT_TRUE(read(agent, none()));
  EXPECT_EQ(written(agent), none());
}

// Every truncation, every record that does not fit together and another method's record is
// refused and leaves the record read before (or none) as it was.
TEST_P(MethodStateKeeping, RefusedRecordsLeaveTheRecordAsItWas) {
  Agent agent = agentNumber(7);
  const std::string before = GetParam().other();
  ASSERT_TRUE(read(agent, before));
  const std::string bytes = GetParam().record();
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    EXPECT_FALSE(read(agent, std::string_view(bytes).substr(0, length))) << length;
    ASSERT_EQ(written(agent), before) << "length " << length;
  }
  for (const auto& [name, refused] : GetParam().refused) {
    EXPECT_FALSE(read(agent, refused())) << name;
    EXPECT_EQ(written(agent), before) << name;
  }
  for (const MethodCase& other : methodCases()) {
    if (other.mark == GetParam().mark) continue;
    EXPECT_FALSE(read(agent, other.record())) << other.name;
    EXPECT_FALSE(read(agent, recordBytes(other.mark, false))) << other.name;
  }
  EXPECT_EQ(written(agent), before);
  Agent fresh = agentNumber(8);
  EXPECT_FALSE(read(fresh, std::string_view(bytes).substr(0, bytes.size() - 1)));
  EXPECT_EQ(written(fresh), none());
}

INSTANTIATE_TEST_SUITE_P(LocalMethods, MethodStateKeeping, ::testing::ValuesIn(methodCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace karvo::search
