// The checkpoint records of the local searches: the SQP solver's state, a local search run on
// it, a member, and the method records of the simplex search, simulated annealing, the SQP
// search, the multi-start search and the search on response surfaces.
//
// Each record written, read into a fresh one and written again gives the same bytes, and the
// fresh one holds the same values; a solver state read back mid-run goes on exactly as the
// original; every truncation of the bytes and a few hundred seeded corruptions fail cleanly or
// read back a record whose sizes fit (and the solver resumed on it stays inside them); a
// record that does not fit together is refused and leaves the record read before. The method
// records (kept inside their methods) are read from bytes written here after the layout
// their keep functions follow.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <string_view>
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

static_assert(std::is_same_v<decltype(&keepSimplexState), MethodStateFn>);
static_assert(std::is_same_v<decltype(&keepAnnealingState), MethodStateFn>);
static_assert(std::is_same_v<decltype(&keepSqpSearchState), MethodStateFn>);
static_assert(std::is_same_v<decltype(&keepMultiStartState), MethodStateFn>);
static_assert(std::is_same_v<decltype(&keepSurfaceSearchState), MethodStateFn>);

std::string bytesOf(const std::function<void(StateArchive&)>& write) {
  std::string out;
  StateArchive archive(out);
  write(archive);
  return out;
}

std::string sqpBytes(SqpState state) {
  return bytesOf([&](StateArchive& a) { keepSqpState(a, state); });
}

std::string searchBytes(LocalSearch search) {
  return bytesOf([&](StateArchive& a) { keepLocalSearch(a, search); });
}

std::string designBytes(Design design) {
  return bytesOf([&](StateArchive& a) { a.item(design); });
}

std::vector<std::uint64_t> bitsOf(const Vector& values) {
  std::vector<std::uint64_t> bits;
  for (double v : values) {
    std::uint64_t b = 0;
    std::memcpy(&b, &v, sizeof b);
    bits.push_back(b);
  }
  return bits;
}

std::uint64_t bitsOf(double v) { return bitsOf(Vector{v}).front(); }

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

SqpSettings busySettings() {
  SqpSettings settings;
  settings.maxnm = 3;    // merit history
  settings.iprint = 2;   // every note kept
  settings.rhob = 0.5;   // restarts
  settings.maxit = 60;
  return settings;
}

int startProblem(SqpState& s) {
  return sqpStart(s, busySettings(), 3, 3, 1, {0.9, 0.1, 0.8}, {0.0, 0.0, 0.0}, {1.0, 1.0, 1.0});
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
  const auto fill = [&](Vector& v) {
    for (double& value : v) value = (next += 1.0);
  };
  s.lower = {-1.5, -2.5, -3.5};
  s.upper = {1.5, 2.5, 3.5};
  SqpSettings& t = s.settings;
  t.acc = 0.0625;
  t.accqp = 0.03125;
  t.stpmin = 0.015625;
  t.maxfun = 17;
  t.maxit = 19;
  t.maxnm = 4;
  t.rhob = 2.5;
  t.mode = 1;
  t.iprint = 3;
  t.iout = 7;
  t.ifail = -1;
  fill(s.x);
  s.f = -0.0;
  s.g = {1.0, 2.0};  // fewer than m: left so by a point that could not be evaluated
  fill(s.df);
  fill(s.dg);
  s.failed = true;
  s.iteration = 21;
  s.functionCalls = 22;
  s.gradientCalls = 23;
  s.error = "an error text";
  s.notes = {"first note", "", "third note"};
  s.best = {0.25, 0.5, 0.75};
  s.bestF = kInf;
  s.bestViolation = 0.375;
  fill(s.xk);
  fill(s.fk_g);
  fill(s.dfk);
  fill(s.dgk);
  s.fk = std::nan("");
  fill(s.hessian);
  fill(s.multipliers);
  fill(s.penalty);
  fill(s.direction);
  s.step = 0.1875;
  s.merit0 = 24.5;
  s.slope0 = -25.5;
  s.lineCalls = 26;
  s.meritHistory = {27.5, 28.5, 29.5};
  s.stalled = 2;
  s.scaleHessian = 1;
  s.restarted = 1;
  s.earlyNoted = 1;
  s.startF = 30.5;
  s.startViolation = 31.5;
  s.trialF = 32.5;
  fill(s.trialG);
  s.lastNote = "the last note";
  s.tried.resize(6);
  fill(s.tried);
  return s;
}

void expectSameSqp(const SqpState& a, const SqpState& b) {
  EXPECT_EQ(a.n, b.n);
  EXPECT_EQ(a.m, b.m);
  EXPECT_EQ(a.me, b.me);
  EXPECT_EQ(bitsOf(a.lower), bitsOf(b.lower));
  EXPECT_EQ(bitsOf(a.upper), bitsOf(b.upper));
  const SqpSettings& s = a.settings;
  const SqpSettings& t = b.settings;
  EXPECT_EQ(bitsOf(s.acc), bitsOf(t.acc));
  EXPECT_EQ(bitsOf(s.accqp), bitsOf(t.accqp));
  EXPECT_EQ(bitsOf(s.stpmin), bitsOf(t.stpmin));
  EXPECT_EQ(s.maxfun, t.maxfun);
  EXPECT_EQ(s.maxit, t.maxit);
  EXPECT_EQ(s.maxnm, t.maxnm);
  EXPECT_EQ(bitsOf(s.rhob), bitsOf(t.rhob));
  EXPECT_EQ(s.mode, t.mode);
  EXPECT_EQ(s.iprint, t.iprint);
  EXPECT_EQ(s.iout, t.iout);
  EXPECT_EQ(s.ifail, t.ifail);
  EXPECT_EQ(bitsOf(a.x), bitsOf(b.x));
  EXPECT_EQ(bitsOf(a.f), bitsOf(b.f));
  EXPECT_EQ(bitsOf(a.g), bitsOf(b.g));
  EXPECT_EQ(bitsOf(a.df), bitsOf(b.df));
  EXPECT_EQ(bitsOf(a.dg), bitsOf(b.dg));
  EXPECT_EQ(a.failed, b.failed);
  EXPECT_EQ(a.iteration, b.iteration);
  EXPECT_EQ(a.functionCalls, b.functionCalls);
  EXPECT_EQ(a.gradientCalls, b.gradientCalls);
  EXPECT_EQ(a.phase, b.phase);
  EXPECT_EQ(a.result, b.result);
  EXPECT_EQ(a.error, b.error);
  EXPECT_EQ(a.notes, b.notes);
  EXPECT_EQ(bitsOf(a.best), bitsOf(b.best));
  EXPECT_EQ(bitsOf(a.bestF), bitsOf(b.bestF));
  EXPECT_EQ(bitsOf(a.bestViolation), bitsOf(b.bestViolation));
  EXPECT_EQ(bitsOf(a.xk), bitsOf(b.xk));
  EXPECT_EQ(bitsOf(a.fk_g), bitsOf(b.fk_g));
  EXPECT_EQ(bitsOf(a.dfk), bitsOf(b.dfk));
  EXPECT_EQ(bitsOf(a.dgk), bitsOf(b.dgk));
  EXPECT_EQ(bitsOf(a.fk), bitsOf(b.fk));
  EXPECT_EQ(bitsOf(a.hessian), bitsOf(b.hessian));
  EXPECT_EQ(bitsOf(a.multipliers), bitsOf(b.multipliers));
  EXPECT_EQ(bitsOf(a.penalty), bitsOf(b.penalty));
  EXPECT_EQ(bitsOf(a.direction), bitsOf(b.direction));
  EXPECT_EQ(bitsOf(a.step), bitsOf(b.step));
  EXPECT_EQ(bitsOf(a.merit0), bitsOf(b.merit0));
  EXPECT_EQ(bitsOf(a.slope0), bitsOf(b.slope0));
  EXPECT_EQ(a.lineCalls, b.lineCalls);
  EXPECT_EQ(bitsOf(a.meritHistory), bitsOf(b.meritHistory));
  EXPECT_EQ(a.stalled, b.stalled);
  EXPECT_EQ(a.scaleHessian, b.scaleHessian);
  EXPECT_EQ(a.restarted, b.restarted);
  EXPECT_EQ(a.earlyNoted, b.earlyNoted);
  EXPECT_EQ(bitsOf(a.startF), bitsOf(b.startF));
  EXPECT_EQ(bitsOf(a.startViolation), bitsOf(b.startViolation));
  EXPECT_EQ(bitsOf(a.trialF), bitsOf(b.trialF));
  EXPECT_EQ(bitsOf(a.trialG), bitsOf(b.trialG));
  EXPECT_EQ(a.lastNote, b.lastNote);
  EXPECT_EQ(bitsOf(a.tried), bitsOf(b.tried));
}

// The sizes sqpResume relies on (sqp.h, keepSqpState), checked independently of the reader.
::testing::AssertionResult sqpSizesFit(const SqpState& s) {
  const auto fail = [](const char* what) { return ::testing::AssertionFailure() << what; };
  const auto size = [](const Vector& v) { return static_cast<long long>(v.size()); };
  if (!s.best.empty() && size(s.best) != s.n) return fail("best");
  const int pending = sqpPendingRequest(s);
  if (pending >= 0) return ::testing::AssertionSuccess();
  const long long n = s.n, m = s.m;
  if (n < 1 || m < 0 || s.me < 0 || s.me > m) return fail("dimensions");
  if (size(s.lower) != n || size(s.upper) != n || size(s.x) != n || size(s.direction) != n) {
    return fail("n-vectors");
  }
  if (size(s.hessian) != n * n) return fail("hessian");
  if (size(s.multipliers) != m + 2 * n) return fail("multipliers");
  if (size(s.penalty) != m) return fail("penalty");
  if (size(s.g) > m || size(s.df) > n || size(s.dg) > m * n) return fail("exchange");
  if (size(s.meritHistory) > s.settings.maxnm) return fail("merit history");
  if (size(s.tried) % n != 0 || size(s.tried) > 200 * n) return fail("tried");
  if (pending != kSqpNeedBoth && (size(s.xk) != n || size(s.fk_g) != m || size(s.dfk) != n ||
                                  size(s.dgk) != m * n)) {
    return fail("iterate");
  }
  if (pending == kSqpNeedGradients && size(s.trialG) != m) return fail("trial");
  return ::testing::AssertionSuccess();
}

// Seeded corruptions of `bytes`: a byte set at random, or a 32-bit word set to a small
// value (a count, a size or a code), one to four of them.
std::string corrupted(const std::string& bytes, std::mt19937& random) {
  std::string out = bytes;
  const int count = std::uniform_int_distribution<int>(1, 4)(random);
  for (int k = 0; k < count; ++k) {
    std::uniform_int_distribution<std::size_t> at(0, out.size() - 4);
    const std::size_t where = at(random);
    if (random() % 2 == 0) {
      out[where] = static_cast<char>(random() & 0xff);
    } else {
      const std::int32_t value = std::uniform_int_distribution<std::int32_t>(-3, 40)(random);
      for (int b = 0; b < 4; ++b) out[where + b] = static_cast<char>((value >> (8 * b)) & 0xff);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// The solver's state

TEST(SqpStateKeeping, EveryFieldReadsBackAndWritesTheSameBytes) {
  const SqpState filled = filledSqpState();
  const std::string bytes = sqpBytes(filled);
  SqpState read;
  StateArchive archive{std::string_view(bytes)};
  keepSqpState(archive, read);
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(archive.remaining(), 0u);
  expectSameSqp(read, filled);
  EXPECT_EQ(sqpBytes(read), bytes);
}

TEST(SqpStateKeeping, NotStartedAndFinishedStatesReadBack) {
  SqpState finished;
  EXPECT_EQ(sqpStart(finished, SqpSettings{}, 0, 0, 0, {}, {}, {}), kSqpWrongDimensions);
  for (const SqpState& state : {SqpState{}, finished}) {
    const std::string bytes = sqpBytes(state);
    SqpState read = filledSqpState();
    StateArchive archive{std::string_view(bytes)};
    keepSqpState(archive, read);
    EXPECT_TRUE(archive.ok());
    expectSameSqp(read, state);
    EXPECT_EQ(sqpPendingRequest(read), sqpPendingRequest(state));
  }
  EXPECT_EQ(sqpPendingRequest(SqpState{}), kSqpWrongInput);
  EXPECT_EQ(sqpPendingRequest(finished), kSqpWrongDimensions);
}

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
      trace.points.push_back(bitsOf(s.x));
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
      trace.points.push_back(bitsOf(s.x));
      request = answer(s, request);
    }
    const std::string bytes = sqpBytes(s);
    SqpState resumed;
    StateArchive archive{std::string_view(bytes)};
    keepSqpState(archive, resumed);
    ASSERT_TRUE(archive.ok()) << "stopped after " << stop << " requests";
    ASSERT_EQ(sqpPendingRequest(resumed), request);
    finish(resumed, request, trace);
    EXPECT_EQ(trace.requests, reference.requests) << "stopped after " << stop;
    EXPECT_EQ(trace.points, reference.points) << "stopped after " << stop;
    EXPECT_EQ(trace.finalState, reference.finalState) << "stopped after " << stop;
  }
}

TEST(SqpStateKeeping, EveryTruncationFailsAndLeavesTheStateAsItWas) {
  const std::string bytes = sqpBytes(filledSqpState());
  const SqpState before = stateWaitingFor(kSqpNeedValues, 3);
  const std::string beforeBytes = sqpBytes(before);
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    SqpState state = before;
    StateArchive archive{std::string_view(bytes).substr(0, length)};
    keepSqpState(archive, state);
    EXPECT_FALSE(archive.ok()) << "length " << length;
    ASSERT_EQ(sqpBytes(state), beforeBytes) << "length " << length;
  }
}

// Corrupted bytes either fail or give a state whose sizes fit; the solver resumed on such a
// state stays inside them (run under the sanitizers to see it).
TEST(SqpStateKeeping, SeededCorruptionsFailOrReadBackSizesThatFit) {
  const std::vector<std::string> sources = {sqpBytes(filledSqpState()),
                                            sqpBytes(stateWaitingFor(kSqpNeedValues, 4)),
                                            sqpBytes(stateWaitingFor(kSqpNeedBoth, 0))};
  std::mt19937 random(20240611);
  int accepted = 0, refused = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string bytes = corrupted(sources[round % sources.size()], random);
    SqpState state;
    StateArchive archive{std::string_view(bytes)};
    keepSqpState(archive, state);
    if (!archive.ok()) {
      ++refused;
      EXPECT_EQ(sqpBytes(state), sqpBytes(SqpState{})) << "round " << round;
      continue;
    }
    ++accepted;
    ASSERT_TRUE(sqpSizesFit(state)) << "round " << round;
    int request = sqpPendingRequest(state);
    for (int k = 0; k < 40 && request < 0; ++k) {
      request = answer(state, request);
      ASSERT_TRUE(sqpSizesFit(state)) << "round " << round << ", request " << k;
    }
  }
  EXPECT_GT(accepted, 20);
  EXPECT_GT(refused, 20);
}

// Each change makes a record that sqpResume could not use: refused, the state left as it was.
TEST(SqpStateKeeping, RecordsThatDoNotFitTogetherAreRefused) {
  const std::vector<std::pair<const char*, std::function<void(SqpState&)>>> changes = {
      {"unknown phase", [](SqpState& s) { s.phase = 7; }},
      {"negative phase", [](SqpState& s) { s.phase = -1; }},
      {"return code while running", [](SqpState& s) { s.result = kSqpSolved; }},
      {"finished with a request as code",
       [](SqpState& s) {
         s.phase = finishedPhase();
         s.result = kSqpNeedValues;
       }},
      {"finished with code 12",
       [](SqpState& s) {
         s.phase = finishedPhase();
         s.result = 12;
       }},
      {"one variable more", [](SqpState& s) { ++s.n; }},
      {"no variable", [](SqpState& s) { s.n = 0; }},
      {"more equalities than constraints", [](SqpState& s) { s.me = s.m + 1; }},
      {"one constraint more", [](SqpState& s) { ++s.m; }},
      {"short lower bounds", [](SqpState& s) { s.lower.pop_back(); }},
      {"crossed bounds", [](SqpState& s) { s.lower[1] = s.upper[1] + 1.0; }},
      {"NaN bound", [](SqpState& s) { s.upper[2] = std::nan(""); }},
      {"short point", [](SqpState& s) { s.x.pop_back(); }},
      {"short direction", [](SqpState& s) { s.direction.pop_back(); }},
      {"short BFGS matrix", [](SqpState& s) { s.hessian.pop_back(); }},
      {"long multipliers", [](SqpState& s) { s.multipliers.push_back(1.0); }},
      {"short penalties", [](SqpState& s) { s.penalty.pop_back(); }},
      {"short iterate", [](SqpState& s) { s.xk.pop_back(); }},
      {"no iterate values", [](SqpState& s) { s.fk_g.clear(); }},
      {"short iterate gradient", [](SqpState& s) { s.dfk.pop_back(); }},
      {"short iterate Jacobian", [](SqpState& s) { s.dgk.pop_back(); }},
      {"no trial values", [](SqpState& s) { s.trialG.clear(); }},
      {"long constraint values", [](SqpState& s) { s.g.assign(4, 0.0); }},
      {"long gradient", [](SqpState& s) { s.df.assign(4, 0.0); }},
      {"long Jacobian", [](SqpState& s) { s.dg.assign(10, 0.0); }},
      {"merit history longer than MAXNM", [](SqpState& s) { s.settings.maxnm = 2; }},
      {"part of a tried point", [](SqpState& s) { s.tried.push_back(0.5); }},
      {"201 tried points", [](SqpState& s) { s.tried.assign(603, 0.5); }},
      {"best of another size", [](SqpState& s) { s.best.push_back(0.5); }},
      {"MAXFUN 0", [](SqpState& s) { s.settings.maxfun = 0; }},
      {"STPMIN NaN", [](SqpState& s) { s.settings.stpmin = std::nan(""); }},
      {"negative iterations", [](SqpState& s) { s.iteration = -1; }},
      {"negative line calls", [](SqpState& s) { s.lineCalls = -1; }},
  };
  const SqpState before = stateWaitingFor(kSqpNeedValues, 3);
  const std::string beforeBytes = sqpBytes(before);
  for (const auto& [name, change] : changes) {
    SqpState bad = filledSqpState();
    change(bad);
    const std::string bytes = sqpBytes(bad);
    SqpState state = before;
    StateArchive archive{std::string_view(bytes)};
    keepSqpState(archive, state);
    EXPECT_FALSE(archive.ok()) << name;
    EXPECT_EQ(sqpBytes(state), beforeBytes) << name;
  }
  // The unchanged record and one waiting for values with no trial values yet are fine.
  for (const SqpState& good : {filledSqpState(), stateWaitingFor(kSqpNeedValues, 1)}) {
    const std::string bytes = sqpBytes(good);
    SqpState state;
    StateArchive archive{std::string_view(bytes)};
    keepSqpState(archive, state);
    EXPECT_TRUE(archive.ok());
  }
}

// ---------------------------------------------------------------------------------------
// A local search run

Design sampleDesign(int seed) {
  Design d;
  d.representation = seed + 1;
  d.num_dvar = 4;
  d.source = seed + 2;
  d.encoding = kEncodingReal;
  d.violation = 0.5 + seed;
  d.chromosome = {5 + seed, 6, 7, 8};
  d.reals = {1.5, 2.5, -0.0};
  d.performance = -3.25 * seed;
  d.status = kDesignInfeasible;
  d.designNumber = 70 + seed;
  d.generation = 6;
  d.cycle = 2;
  d.failed = true;
  ResponseValue value;
  value.values = {1.0, std::nan("")};
  value.text = {"a", "bc"};
  value.status = kDesignFeasible;
  value.present = true;
  d.responses = {value, ResponseValue{}};
  d.name = "design name";
  d.note = "a note";
  d.tag = 9;
  d.requestedNumber = 12;
  return d;
}

// A run waiting for values: n = 3 (fields 1, 3 and 4 of five), m = 3 with one equality.
LocalSearch filledSearch() {
  LocalSearch search;
  search.sqp = filledSqpState();
  search.sqp.phase = stateWaitingFor(kSqpNeedValues, 3).phase;
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

void expectSameSearch(const LocalSearch& a, const LocalSearch& b) {
  expectSameSqp(a.sqp, b.sqp);
  EXPECT_EQ(a.request, b.request);
  EXPECT_EQ(a.running, b.running);
  EXPECT_EQ(a.fields, b.fields);
  EXPECT_EQ(a.chromosome, b.chromosome);
  EXPECT_EQ(a.equalities, b.equalities);
  EXPECT_EQ(a.inequalities, b.inequalities);
  EXPECT_EQ(designBytes(a.last), designBytes(b.last));
  EXPECT_EQ(a.haveLast, b.haveLast);
  EXPECT_EQ(a.startNumber, b.startNumber);
  EXPECT_EQ(a.evaluations, b.evaluations);
}

::testing::AssertionResult searchFits(const LocalSearch& search) {
  if (!sqpSizesFit(search.sqp)) return sqpSizesFit(search.sqp);
  if (!search.running) return ::testing::AssertionSuccess();
  const SqpState& s = search.sqp;
  if (search.request != sqpPendingRequest(s)) return ::testing::AssertionFailure() << "request";
  if (static_cast<long long>(search.fields.size()) != s.n) {
    return ::testing::AssertionFailure() << "fields";
  }
  for (int f : search.fields) {
    if (f < 0 || static_cast<std::size_t>(f) >= search.chromosome.size()) {
      return ::testing::AssertionFailure() << "field " << f;
    }
  }
  if (static_cast<long long>(search.equalities.size()) != s.me ||
      static_cast<long long>(search.equalities.size() + search.inequalities.size()) != s.m) {
    return ::testing::AssertionFailure() << "constraints";
  }
  return ::testing::AssertionSuccess();
}

TEST(LocalSearchKeeping, EveryFieldReadsBackAndWritesTheSameBytes) {
  const LocalSearch filled = filledSearch();
  const std::string bytes = searchBytes(filled);
  // The solver's state comes first, then the run's own fields.
  EXPECT_EQ(bytes.substr(0, sqpBytes(filled.sqp).size()), sqpBytes(filled.sqp));
  LocalSearch read;
  StateArchive archive{std::string_view(bytes)};
  keepLocalSearch(archive, read);
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(archive.remaining(), 0u);
  expectSameSearch(read, filled);
  EXPECT_EQ(searchBytes(read), bytes);
}

TEST(LocalSearchKeeping, RunsNotStartedAndEndedReadBack) {
  LocalSearch ended;
  ended.sqp = filledSqpState();
  ended.sqp.phase = finishedPhase();
  ended.sqp.result = kSqpLineSearchError;
  ended.request = kSqpLineSearchError;
  ended.fields = {0};
  for (const LocalSearch& search : {LocalSearch{}, ended}) {
    const std::string bytes = searchBytes(search);
    LocalSearch read = filledSearch();
    StateArchive archive{std::string_view(bytes)};
    keepLocalSearch(archive, read);
    EXPECT_TRUE(archive.ok());
    expectSameSearch(read, search);
  }
}

TEST(LocalSearchKeeping, EveryTruncationFailsAndLeavesTheRunAsItWas) {
  const std::string bytes = searchBytes(filledSearch());
  LocalSearch before;
  before.startNumber = 5;
  before.chromosome = {1, 2};
  const std::string beforeBytes = searchBytes(before);
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    LocalSearch search = before;
    StateArchive archive{std::string_view(bytes).substr(0, length)};
    keepLocalSearch(archive, search);
    EXPECT_FALSE(archive.ok()) << "length " << length;
    ASSERT_EQ(searchBytes(search), beforeBytes) << "length " << length;
  }
}

TEST(LocalSearchKeeping, SeededCorruptionsFailOrReadBackSizesThatFit) {
  const std::string source = searchBytes(filledSearch());
  std::mt19937 random(77031);
  int accepted = 0, refused = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string bytes = corrupted(source, random);
    LocalSearch search;
    StateArchive archive{std::string_view(bytes)};
    keepLocalSearch(archive, search);
    if (!archive.ok()) {
      ++refused;
      EXPECT_EQ(searchBytes(search), searchBytes(LocalSearch{})) << "round " << round;
      continue;
    }
    ++accepted;
    EXPECT_TRUE(searchFits(search)) << "round " << round;
  }
  EXPECT_GT(accepted, 20);
  EXPECT_GT(refused, 20);
}

TEST(LocalSearchKeeping, RunsThatDoNotFitTogetherAreRefused) {
  const std::vector<std::pair<const char*, std::function<void(LocalSearch&)>>> changes = {
      {"request other than the solver's", [](LocalSearch& s) { s.request = kSqpNeedBoth; }},
      {"running with a return code", [](LocalSearch& s) { s.request = kSqpSolved; }},
      {"ended while the solver waits",
       [](LocalSearch& s) {
         s.running = false;
         s.request = kSqpSolved;
       }},
      {"ended with a request",
       [](LocalSearch& s) {
         s.sqp = SqpState{};
         s.running = false;
       }},
      {"ended with code 12",
       [](LocalSearch& s) {
         s.sqp = SqpState{};
         s.running = false;
         s.request = 12;
       }},
      {"one field less", [](LocalSearch& s) { s.fields.pop_back(); }},
      {"field outside the chromosome", [](LocalSearch& s) { s.fields.back() = 5; }},
      {"negative field", [](LocalSearch& s) { s.fields.front() = -1; }},
      {"fields out of order", [](LocalSearch& s) { s.fields = {3, 1, 4}; }},
      {"a field twice", [](LocalSearch& s) { s.fields = {1, 3, 3}; }},
      {"an equality for an inequality",
       [](LocalSearch& s) {
         s.equalities.push_back(0);
         s.inequalities = {5};
       }},
      {"one constraint less", [](LocalSearch& s) { s.inequalities.pop_back(); }},
      {"negative response", [](LocalSearch& s) { s.inequalities.front() = -1; }},
      {"negative evaluations", [](LocalSearch& s) { s.evaluations = -1; }},
      {"solver state that does not fit", [](LocalSearch& s) { s.sqp.hessian.pop_back(); }},
  };
  const LocalSearch before = filledSearch();
  const std::string beforeBytes = searchBytes(before);
  for (const auto& [name, change] : changes) {
    LocalSearch bad = filledSearch();
    change(bad);
    const std::string bytes = searchBytes(bad);
    LocalSearch search = before;
    search.startNumber = 99;
    StateArchive archive{std::string_view(bytes)};
    keepLocalSearch(archive, search);
    EXPECT_FALSE(archive.ok()) << name;
    EXPECT_EQ(search.startNumber, 99) << name;
  }
  // Gradients are asked for only at the design last handed in.
  LocalSearch gradients = filledSearch();
  gradients.sqp = filledSqpState();
  gradients.request = kSqpNeedGradients;
  for (bool haveLast : {true, false}) {
    gradients.haveLast = haveLast;
    const std::string bytes = searchBytes(gradients);
    LocalSearch search;
    StateArchive archive{std::string_view(bytes)};
    keepLocalSearch(archive, search);
    EXPECT_EQ(archive.ok(), haveLast);
  }
}

// ---------------------------------------------------------------------------------------
// Members

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

TEST(MemberKeeping, FieldsInDeclarationOrderReadBack) {
  Member member = sampleMember(4, {1, 2, 3});
  const std::string bytes = bytesOf([&](StateArchive& a) { keepMember(a, member); });
  EXPECT_EQ(bytes, bytesOf([&](StateArchive& a) {
              a.items(member.design, member.raw, member.scaled, member.birthGeneration,
                      member.origin, member.ga_operator, member.firstparent,
                      member.secondparent, member.mut_width);
            }));
  Member read;
  StateArchive archive{std::string_view(bytes)};
  keepMember(archive, read);
  ASSERT_TRUE(archive.ok());
  EXPECT_EQ(archive.remaining(), 0u);
  EXPECT_EQ(bytesOf([&](StateArchive& a) { keepMember(a, read); }), bytes);
}

// ---------------------------------------------------------------------------------------
// The method records, each read from bytes written here in its layout: a mark, a flag (the
// agent has a record), then the record's fields.

using Writer = std::function<void(StateArchive&)>;

std::string recordBytes(std::int32_t mark, const Writer& fields) {
  return bytesOf([&](StateArchive& a) {
    a.mark(mark);
    bool present = true;
    a.item(present);
    fields(a);
  });
}

std::string noRecordBytes(std::int32_t mark) {
  return bytesOf([&](StateArchive& a) {
    a.mark(mark);
    bool present = false;
    a.item(present);
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
  return recordBytes(kSimplexMark, [&](StateArchive& a) {
    a.items(f.ready, f.active, f.vertices, f.values);
    keepMember(a, f.best);
    a.items(f.spread, f.stage, f.restarts, f.idle);
  });
}

// Annealing: ready, width, minWidth, rise, rises, cycle.
std::string annealingBytes(double width, long rises, int cycle) {
  return recordBytes(kAnnealingMark, [=](StateArchive& a) {
    bool ready = true;
    double w = width, minWidth = 0.0025, rise = 3.75;
    long r = rises;
    int c = cycle;
    a.items(ready, w, minWidth, rise, r, c);
  });
}

// SQP search: started, the local search.
std::string sqpSearchBytes(bool started, LocalSearch search) {
  return recordBytes(kSqpSearchMark, [&](StateArchive& a) {
    a.item(started);
    keepLocalSearch(a, search);
  });
}

// Multi-start: the local search, the starts left, the cycle.
std::string multiStartBytes(LocalSearch search, std::vector<Design> starts, int cycle) {
  return recordBytes(kMultiStartMark, [&](StateArchive& a) {
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
  return recordBytes(kSurfaceMark, [&](StateArchive& a) {
    a.items(f.x, f.values, f.objectives, f.constraints, f.seen, f.storeSeen);
  });
}

struct MethodCase {
  const char* name;
  MethodStateFn keep;
  void (*reset)();
  std::int32_t mark;
  std::function<std::string()> record;   // a record
  std::function<std::string()> other;    // another one
  std::vector<std::pair<const char*, std::function<std::string()>>> refused;
};

std::vector<MethodCase> methodCases() {
  const auto ended = [] {
    LocalSearch search;
    search.sqp = filledSqpState();
    search.sqp.phase = finishedPhase();
    search.sqp.result = kSqpSolved;
    return search;
  };
  std::vector<MethodCase> cases;
  cases.push_back(
      {"Simplex", keepSimplexState, resetSimplexState, kSimplexMark,
       [] { return simplexBytes({}); },
       [] {
         SimplexFields f;
         f.vertices.clear();
         f.values.clear();
         f.stage = -1;
         f.ready = false;
         return simplexBytes(f);
       },
       {{"a vertex missing",
         [] {
           SimplexFields f;
           f.vertices.pop_back();
           f.values.pop_back();
           return simplexBytes(f);
         }},
        {"a value missing",
         [] {
           SimplexFields f;
           f.values.pop_back();
           return simplexBytes(f);
         }},
        {"active fields out of order",
         [] {
           SimplexFields f;
           f.active = {2, 0};
           return simplexBytes(f);
         }},
        {"active field outside the chromosome",
         [] {
           SimplexFields f;
           f.active = {0, 3};
           return simplexBytes(f);
         }},
        {"vertex of another size",
         [] {
           SimplexFields f;
           f.vertices[1].push_back(0);
           return simplexBytes(f);
         }},
        {"simplex without active fields",
         [] {
           SimplexFields f;
           f.active.clear();
           f.vertices.resize(1);
           f.values.resize(1);
           return simplexBytes(f);
         }},
        {"stage below -1",
         [] {
           SimplexFields f;
           f.stage = -2;
           return simplexBytes(f);
         }},
        {"negative idle count", [] {
           SimplexFields f;
           f.idle = -1;
           return simplexBytes(f);
         }}}});
  cases.push_back({"Annealing", keepAnnealingState, resetAnnealingState, kAnnealingMark,
                   [] { return annealingBytes(0.0625, 9, 4); },
                   [] { return annealingBytes(0.5, 0, -1); },
                   {{"negative rises", [] { return annealingBytes(0.0625, -1, 4); }},
                    {"cycle below -1", [] { return annealingBytes(0.0625, 9, -2); }}}});
  cases.push_back(
      {"SqpSearch", keepSqpSearchState, resetSqpState, kSqpSearchMark,
       [] { return sqpSearchBytes(true, filledSearch()); },
       [=] { return sqpSearchBytes(false, ended()); },
       {{"run that does not fit", [] {
           LocalSearch search = filledSearch();
           search.fields.pop_back();
           return sqpSearchBytes(true, search);
         }}}});
  cases.push_back(
      {"MultiStart", keepMultiStartState, resetMultiStartState, kMultiStartMark,
       [] { return multiStartBytes(filledSearch(), {sampleDesign(1), sampleDesign(2)}, 3); },
       [=] { return multiStartBytes(ended(), {}, -1); },
       {{"run that does not fit",
         [] {
           LocalSearch search = filledSearch();
           search.equalities.clear();
           return multiStartBytes(search, {}, 3);
         }},
        {"cycle below -1", [] { return multiStartBytes(filledSearch(), {}, -2); }}}});
  cases.push_back(
      {"SurfaceSearch", keepSurfaceSearchState, resetSurfaceSearchState, kSurfaceMark,
       [] { return surfaceBytes({}); },
       [] {
         SurfaceFields f;
         f.x.resize(1);
         f.values.resize(1);
         f.objectives.resize(1);
         f.constraints.resize(1);
         f.seen.clear();
         f.storeSeen = 0;
         return surfaceBytes(f);
       },
       {{"an objective missing",
         [] {
           SurfaceFields f;
           f.objectives.pop_back();
           return surfaceBytes(f);
         }},
        {"constraints missing",
         [] {
           SurfaceFields f;
           f.constraints.pop_back();
           return surfaceBytes(f);
         }},
        {"a point missing",
         [] {
           SurfaceFields f;
           f.x.pop_back();
           return surfaceBytes(f);
         }},
        {"values of another count",
         [] {
           SurfaceFields f;
           f.values[2].pop_back();
           return surfaceBytes(f);
         }},
        {"point of another size", [] {
           SurfaceFields f;
           f.x[1].push_back(0.5);
           return surfaceBytes(f);
         }}}});
  return cases;
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
  bool read(Agent& agent, const std::string& bytes) {
    StateArchive archive{std::string_view(bytes)};
    GetParam().keep(agent, archive);
    return archive.ok() && archive.remaining() == 0;
  }

  std::string written(Agent& agent) {
    return bytesOf([&](StateArchive& a) { GetParam().keep(agent, a); });
  }
};

TEST_P(MethodStateKeeping, AgentWithoutRecordWritesNoneYetAndReadingItRemovesTheRecord) {
  Agent agent = agentNumber(41);
  const std::string none = noRecordBytes(GetParam().mark);
  EXPECT_EQ(written(agent), none);
  ASSERT_TRUE(read(agent, GetParam().record()));
  ASSERT_NE(written(agent), none);
  EXPECT_TRUE(read(agent, none));
  EXPECT_EQ(written(agent), none);
}

TEST_P(MethodStateKeeping, RecordReadBackWritesTheSameBytes) {
  Agent agent = agentNumber(41);
  Agent neighbour = agentNumber(42);
  for (const std::string& bytes : {GetParam().record(), GetParam().other()}) {
    ASSERT_TRUE(read(agent, bytes));
    EXPECT_EQ(written(agent), bytes);
    EXPECT_EQ(written(neighbour), noRecordBytes(GetParam().mark));
  }
  // Each agent keeps its own record.
  ASSERT_TRUE(read(neighbour, GetParam().record()));
  EXPECT_EQ(written(agent), GetParam().other());
  EXPECT_EQ(written(neighbour), GetParam().record());
}

TEST_P(MethodStateKeeping, EveryTruncationFailsAndLeavesTheRecordAsItWas) {
  Agent agent = agentNumber(7);
  const std::string before = GetParam().other();
  ASSERT_TRUE(read(agent, before));
  const std::string bytes = GetParam().record();
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    StateArchive archive{std::string_view(bytes).substr(0, length)};
    GetParam().keep(agent, archive);
    EXPECT_FALSE(archive.ok()) << "length " << length;
    ASSERT_EQ(written(agent), before) << "length " << length;
  }
  // Also for an agent that has no record.
  Agent fresh = agentNumber(8);
  StateArchive archive{std::string_view(bytes).substr(0, bytes.size() - 1)};
  GetParam().keep(fresh, archive);
  EXPECT_FALSE(archive.ok());
  EXPECT_EQ(written(fresh), noRecordBytes(GetParam().mark));
}

TEST_P(MethodStateKeeping, RecordsThatDoNotFitTogetherAreRefused) {
  Agent agent = agentNumber(7);
  const std::string before = GetParam().record();
  ASSERT_TRUE(read(agent, before));
  for (const auto& [name, bytes] : GetParam().refused) {
    EXPECT_FALSE(read(agent, bytes())) << name;
    EXPECT_EQ(written(agent), before) << name;
  }
}

TEST_P(MethodStateKeeping, AnotherMethodsRecordIsRefused) {
  Agent agent = agentNumber(7);
  for (const MethodCase& other : methodCases()) {
    if (other.mark == GetParam().mark) continue;
    EXPECT_FALSE(read(agent, other.record())) << other.name;
    EXPECT_FALSE(read(agent, noRecordBytes(other.mark))) << other.name;
  }
  EXPECT_EQ(written(agent), noRecordBytes(GetParam().mark));
}

INSTANTIATE_TEST_SUITE_P(LocalMethods, MethodStateKeeping, ::testing::ValuesIn(methodCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace karvo::search
