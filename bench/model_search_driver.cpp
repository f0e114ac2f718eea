// Tuning harness of the model-based search decisions (search/model_search): runs them alone
// on the six single-objective problems of the search suite and prints, per problem and
// budget (100, 300, 1000 evaluations), the median over 15 seeds of the best feasible
// objective next to the best peer's median. Not a google-benchmark: a plain program.
//
// Loop of one run: the baseline (0.8 of each range), n + 1 Latin-hypercube designs, then
// repeatedly 1 or 2 model designs (alternately) plus the best of 8 random perturbations of
// the best design as ranked by the screening model; each proposal's outcome goes back to
// noteModelOutcome. Variables on a grid of 1 000 001 values; a constraint is met when
// g <= 1e-6.
//
// Build (against the base and platform libraries of a build folder, e.g. build-models):
//   cmake --build build-models --target karvo_base
//   g++ -std=c++20 -O2 -I src -I /usr/include/eigen3 bench/model_search_driver.cpp
//       src/search/model_search.cpp build-models/libkarvo_base.a
//       build-models/libkarvo_platform.a -o /tmp/model_search_driver
// (one command line)
// Run:
//   /tmp/model_search_driver [problem ...] [--seeds N] [--budget B] [--time]
// --time also measures one request (2 designs) and one screening fit at 1000 samples in
// 10 variables.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/random.h"
#include "search/model_search.h"

namespace {

using karvo::search::ModelProposal;
using karvo::search::ModelRequest;
using karvo::search::ModelSample;
using karvo::search::ModelSearchState;

constexpr double kPi = 3.14159265358979323846;
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Problem {
  std::string name;
  std::vector<double> lo, hi;
  int constraints = 0;
  std::function<void(const std::vector<double>&, double&, std::vector<double>&)> evaluate;
  double peer[3];            // best peer's median at 100, 300, 1000
  const char* peerName[3];
};

std::vector<Problem> problems() {
  std::vector<Problem> list;
  list.push_back({"rosenbrock5", std::vector<double>(5, -5.0), std::vector<double>(5, 10.0), 0,
                  [](const std::vector<double>& x, double& f, std::vector<double>&) {
                    f = 0.0;
                    for (size_t i = 0; i + 1 < x.size(); ++i)
                      f += 100 * std::pow(x[i + 1] - x[i] * x[i], 2) + std::pow(1 - x[i], 2);
                  },
                  {3.968, 0.0149658, 2.55937e-11},
                  {"scipy_da", "scipy_da", "scipy_da"}});
  list.push_back({"rastrigin5", std::vector<double>(5, -5.12), std::vector<double>(5, 5.12), 0,
                  [](const std::vector<double>& x, double& f, std::vector<double>&) {
                    f = 10.0 * x.size();
                    for (double v : x) f += v * v - 10 * std::cos(2 * kPi * v);
                  },
                  {11.545, 4.22428, 0.994959},
                  {"gp_ei", "nlopt_esch", "scipy_da"}});
  list.push_back({"ackley10", std::vector<double>(10, -32.768), std::vector<double>(10, 32.768),
                  0,
                  [](const std::vector<double>& x, double& f, std::vector<double>&) {
                    double s = 0, c = 0;
                    for (double v : x) {
                      s += v * v;
                      c += std::cos(2 * kPi * v);
                    }
                    const double n = static_cast<double>(x.size());
                    f = -20 * std::exp(-0.2 * std::sqrt(s / n)) - std::exp(c / n) + 20 + std::exp(1.0);
                  },
                  {15.1331, 6.68904, 0.0493145},
                  {"nlopt_esch", "cmaes", "cmaes"}});
  list.push_back({"branin", {-5.0, 0.0}, {10.0, 15.0}, 0,
                  [](const std::vector<double>& x, double& f, std::vector<double>&) {
                    const double a = x[1] - 5.1 / (4 * kPi * kPi) * x[0] * x[0] + 5 / kPi * x[0] - 6;
                    f = a * a + 10 * (1 - 1 / (8 * kPi)) * std::cos(x[0]) + 10;
                  },
                  {0.397887, 0.397887, 0.397887},
                  {"nlopt_bobyqa_rs", "nlopt_bobyqa_rs", "cmaes"}});
  list.push_back({"welded_beam", {0.1, 0.1, 0.1, 0.1}, {2.0, 10.0, 10.0, 2.0}, 7,
                  [](const std::vector<double>& x, double& f, std::vector<double>& g) {
                    const double h = x[0], l = x[1], t = x[2], b = x[3];
                    f = 1.10471 * h * h * l + 0.04811 * t * b * (14 + l);
                    const double P = 6000, L = 14, E = 30e6, G = 12e6;
                    const double tau1 = P / (std::sqrt(2.0) * h * l);
                    const double M = P * (L + l / 2);
                    const double R = std::sqrt(l * l / 4 + std::pow((h + t) / 2, 2));
                    const double J = 2 * std::sqrt(2.0) * h * l * (l * l / 12 + std::pow((h + t) / 2, 2));
                    const double tau2 = M * R / J;
                    const double tau = std::sqrt(tau1 * tau1 + tau1 * tau2 * l / R + tau2 * tau2);
                    const double sigma = 6 * P * L / (b * t * t);
                    const double delta = 4 * P * L * L * L / (E * t * t * t * b);
                    const double Pc = 4.013 * E * std::sqrt(t * t * std::pow(b, 6) / 36) / (L * L) *
                                      (1 - t / (2 * L) * std::sqrt(E / (4 * G)));
                    g = {tau / 13600 - 1, sigma / 30000 - 1, h - b,
                         (0.10471 * h * h + 0.04811 * t * b * (14 + l)) / 5 - 1, 0.125 - h,
                         delta / 0.25 - 1, 1 - Pc / P};
                  },
                  {1.72485, 1.72485, 1.72485},
                  {"scipy_slsqp", "scipy_slsqp", "scipy_slsqp"}});
  list.push_back({"tension_spring", {0.05, 0.25, 2.0}, {2.0, 1.3, 15.0}, 4,
                  [](const std::vector<double>& x, double& f, std::vector<double>& g) {
                    const double d = x[0], D = x[1], N = x[2];
                    f = (N + 2) * D * d * d;
                    g = {1 - D * D * D * N / (71785 * std::pow(d, 4)),
                         (4 * D * D - d * D) / (12566 * (D * d * d * d - std::pow(d, 4))) +
                             1 / (5108 * d * d) - 1,
                         1 - 140.45 * d / (D * D * N), (D + d) / 1.5 - 1};
                  },
                  {0.0127548, 0.0126652, 0.0126652},
                  {"gp_ei", "scipy_slsqp", "scipy_slsqp_ms"}});
  return list;
}

double kStep = 1e-6;  // grid of 1 000 001 values (--resolution N: 1 / (N - 1))

// Per decision kind (90, 94, 95, screened perturbation as 0): proposals and improvements.
int proposedOf[100], improvedOf[100];
bool verbose = false;

double onGrid(double u) { return std::clamp(std::round(u / kStep) * kStep, 0.0, 1.0); }

struct Run {
  const Problem& problem;
  std::vector<ModelSample> samples;
  std::vector<double> bestSoFar;  // best feasible objective after each evaluation

  ModelSample evaluate(const std::vector<double>& u) {
    std::vector<double> x(u.size());
    for (size_t i = 0; i < u.size(); ++i)
      x[i] = problem.lo[i] + u[i] * (problem.hi[i] - problem.lo[i]);
    ModelSample s;
    s.x = u;
    std::vector<double> g;
    problem.evaluate(x, s.objective, g);
    // The models see constraints shifted by the tolerance, so that "met" means <= 0.
    for (double v : g) s.constraints.push_back(v - 1e-6);
    bool feasible = true;
    for (double v : g) feasible = feasible && v <= 1e-6;
    double best = bestSoFar.empty() ? kInf : bestSoFar.back();
    if (feasible && std::isfinite(s.objective)) best = std::min(best, s.objective);
    bestSoFar.push_back(best);
    samples.push_back(s);
    return s;
  }
};

double violationOf(const ModelSample& s) {
  double v = 0;
  for (double g : s.constraints) v += std::max(0.0, g);
  return v;
}

bool better(const ModelSample& a, const ModelSample& b) {
  const double va = violationOf(a), vb = violationOf(b);
  if (va == 0 && vb == 0) return a.objective < b.objective;
  if (va == 0 || vb == 0) return va == 0;
  return va < vb;
}

int bestIndex(const std::vector<ModelSample>& s) {
  int b = 0;
  for (int i = 1; i < static_cast<int>(s.size()); ++i)
    if (better(s[i], s[b])) b = i;
  return b;
}

std::vector<double> runOnce(const Problem& problem, float seed, int budget) {
  karvo::seedRandom(&seed, 0);
  const int n = static_cast<int>(problem.lo.size());
  Run run{problem, {}, {}};
  run.evaluate(std::vector<double>(n, 0.8));
  // Latin hypercube of n + 1 designs.
  const int m = n + 1;
  std::vector<std::vector<double>> lhs(m, std::vector<double>(n));
  for (int i = 0; i < n; ++i) {
    std::vector<int> perm(m);
    karvo::shufflePermutation(m, perm.data());
    for (int k = 0; k < m; ++k) lhs[k][i] = onGrid((perm[k] + karvo::nextUniform()) / m);
  }
  for (const auto& u : lhs) run.evaluate(u);
  ModelSearchState state;
  ModelRequest request;
  request.step.assign(n, kStep);
  int round = 0;
  while (static_cast<int>(run.samples.size()) < budget) {
    request.count = 1 + (round++ % 2);
    const ModelSample incumbent = run.samples[bestIndex(run.samples)];
    std::vector<ModelProposal> proposals =
        karvo::search::proposeModelDesigns(run.samples, request, state);
    std::vector<std::pair<int, bool>> outcomes;
    for (const ModelProposal& p : proposals) {
      if (static_cast<int>(run.samples.size()) >= budget) break;
      const ModelSample s = run.evaluate(p.x);
      outcomes.push_back({p.code, better(s, incumbent)});
      ++proposedOf[p.code];
      improvedOf[p.code] += better(s, incumbent);
    }
    for (auto [code, improved] : outcomes)
      karvo::search::noteModelOutcome(state, code, improved);
    if (static_cast<int>(run.samples.size()) >= budget) break;
    // One pre-screened perturbation of the best design.
    auto screen = karvo::search::fitScreeningModel(run.samples);
    const ModelSample& top = run.samples[bestIndex(run.samples)];
    std::vector<double> chosen;
    double chosenScore = kInf;
    for (int c = 0; c < 8; ++c) {
      std::vector<double> u = top.x;
      const double sigma = c < 4 ? 0.2 : 0.02;
      for (double& v : u)
        if (karvo::nextUniform() < std::min(1.0, 3.0 / n))
          v = onGrid(std::clamp(v + sigma * karvo::normalDeviate(), 0.0, 1.0));
      const double score = screen ? screen->score(u) : c;
      if (score < chosenScore) {
        chosenScore = score;
        chosen = u;
      }
    }
    const ModelSample before = run.samples[bestIndex(run.samples)];
    ++proposedOf[0];
    improvedOf[0] += better(run.evaluate(chosen), before);
  }
  return run.bestSoFar;
}

void timeRequests() {
  const int n = 10;
  float seed = 0.5f;
  karvo::seedRandom(&seed, 0);
  std::vector<ModelSample> samples;
  for (int k = 0; k < 1000; ++k) {
    ModelSample s;
    double f = 0;
    for (int i = 0; i < n; ++i) {
      s.x.push_back(onGrid(karvo::nextUniform()));
      f += (s.x[i] - 0.3) * (s.x[i] - 0.3);
    }
    s.objective = f;
    s.constraints = {s.x[0] + s.x[1] - 1.0};
    samples.push_back(s);
  }
  ModelRequest request;
  request.step.assign(n, kStep);
  request.count = 2;
  ModelSearchState state;
  const int calls = 24;
  auto t0 = std::chrono::steady_clock::now();
  for (int c = 0; c < calls; ++c) karvo::search::proposeModelDesigns(samples, request, state);
  auto t1 = std::chrono::steady_clock::now();
  for (int c = 0; c < calls; ++c) {
    auto model = karvo::search::fitScreeningModel(samples);
    for (int k = 0; k < 100; ++k) model->score(samples[k].x);
  }
  auto t2 = std::chrono::steady_clock::now();
  std::printf("1000 samples, 10 variables, 1 constraint: request of 2 designs %.2f ms, "
              "screening fit + 100 scores %.2f ms\n",
              std::chrono::duration<double, std::milli>(t1 - t0).count() / calls,
              std::chrono::duration<double, std::milli>(t2 - t1).count() / calls);
}

}  // namespace

int main(int argc, char** argv) {
  int seeds = 15, budget = 1000;
  bool timing = false;
  std::vector<std::string> only;
  for (int a = 1; a < argc; ++a) {
    if (!std::strcmp(argv[a], "--seeds") && a + 1 < argc) seeds = std::atoi(argv[++a]);
    else if (!std::strcmp(argv[a], "--budget") && a + 1 < argc) budget = std::atoi(argv[++a]);
    else if (!std::strcmp(argv[a], "--resolution") && a + 1 < argc)
      kStep = 1.0 / (std::atof(argv[++a]) - 1.0);
    else if (!std::strcmp(argv[a], "--time")) timing = true;
    else if (!std::strcmp(argv[a], "--verbose")) verbose = true;
    else only.push_back(argv[a]);
  }
  if (timing) {
    timeRequests();
    return 0;
  }
  const int budgets[3] = {100, 300, 1000};
  std::printf("| problem | B | models median | best peer median |\n|---|---|---|---|\n");
  for (const Problem& p : problems()) {
    if (!only.empty() && std::find(only.begin(), only.end(), p.name) == only.end()) continue;
    std::vector<std::vector<double>> best(3);
    for (int s = 0; s < seeds; ++s) {
      const std::vector<double> trace = runOnce(p, 0.05f + 0.06f * s, budget);
      for (int b = 0; b < 3; ++b)
        if (budgets[b] <= budget) best[b].push_back(trace[budgets[b] - 1]);
    }
    if (verbose) {
      for (int c : {90, 94, 95, 0})
        std::printf("  kind %d: %d proposed, %d improved\n", c, proposedOf[c], improvedOf[c]);
      std::fill(proposedOf, proposedOf + 100, 0);
      std::fill(improvedOf, improvedOf + 100, 0);
    }
    for (int b = 0; b < 3; ++b) {
      if (best[b].empty()) continue;
      std::sort(best[b].begin(), best[b].end());
      std::printf("| %s | %d | %.6g | %s %.6g |\n", p.name.c_str(), budgets[b],
                  best[b][best[b].size() / 2], p.peerName[b], p.peer[b]);
    }
    std::fflush(stdout);
  }
  return 0;
}
