// The search on response surfaces (RS): the genetic core's cycle with a generation step that
// fits surfaces to the designs evaluated so far, optimises on them with the SQP solver and
// evaluates what it proposes. One generation per cycle, `numIters` cycles:
//
//   first: while fewer than 2n + 1 designs (n design variables) are scored, a Latin
//          hypercube of the missing ones is evaluated first (one batch), so that every
//          surface kind can be fitted;
//   fit:   one surface of the chosen kind (`surfaceType`) per objective and per constraint
//          response, over the scored designs of the agent (variables mapped to [0, 1]);
//   solve: the SQP solver on the surfaces (objective and constraints formed from the predicted
//          responses as for the local searches, search/local_search.h; forward differences of
//          step 1e-6 on the surfaces; at most `numLineSearches` calls per line search), from
//          the best scored design and from four random points; the best answer (feasible on
//          the surfaces first, then the lowest objective) is the proposal;
//   extra: `numExtraEvals` designs that improve the surfaces where they know least: among 200
//          random candidates the one with the largest prediction variance of the first
//          objective's surface (Kriging), or, for kinds without a variance, the one farthest
//          from every scored and chosen design;
//   then:  the proposal and the extra designs are evaluated as one batch. A proposal that
//          repeats a scored design is replaced by one more extra design.
// A surface that cannot be fitted (too few designs for a polynomial's terms, a singular
// system) is reported once per cycle as a warning; the cycle then evaluates extra designs
// only.
#include "search/agent_record.h"
#include "search/methods/surface_search.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/messages.h"
#include "base/random.h"
#include "base/run_state.h"
#include "base/state_archive.h"
#include "base/text.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "search/design_vectors.h"
#include "search/genetic.h"
#include "search/local_search.h"
#include "search/population.h"
#include "search/sqp.h"
#include "surrogates/surface_model.h"

namespace karvo::search {

namespace {

constexpr int kSurfaceStarts = 5;         // SQP runs on the surfaces per cycle
constexpr int kExtraCandidates = 200;     // random candidates per extra design
constexpr double kSurfaceStep = 1e-6;     // finite-difference step on the surfaces

struct Sample {
  std::vector<double> x;                  // point in the unit cube
  std::vector<double> values;             // the first value of every study response (NaN: none)
  double objective = 0.0;                 // as the solver sees it
  std::vector<double> constraints;        // as the solver sees them (>= 0 when met)
};

struct SurfaceRun {
  std::vector<Sample> samples;
  std::unordered_set<int> seen;           // design numbers taken into the samples
  std::size_t storeSeen = 0;              // stored designs looked at
};

std::map<int, SurfaceRun>& surfaceRuns() {
  static std::map<int, SurfaceRun> table;
  return table;
}

double violationOf(const std::vector<double>& g, int equalities) {
  double sum = 0.0;
  for (std::size_t j = 0; j < g.size(); ++j) {
    sum += static_cast<int>(j) < equalities ? std::fabs(g[j]) : std::max(0.0, -g[j]);
  }
  return sum;
}

int equalityCount(const PerformanceDefinition& definition) {
  int count = 0;
  for (int r = 0; r < definition.count; ++r) {
    const std::size_t i = static_cast<std::size_t>(r);
    if (definition.flag[i] == kResponseConstraint && definition.opt[i] == 0) ++count;
  }
  return count;
}

void addSample(SurfaceRun& s, const Design& design, const PerformanceDefinition& definition,
               const Population& population) {
  if (design.designNumber <= 0 || design.representation != population.representation ||
      design.chromosome.size() != population.fieldSizes.size()) {
    return;
  }
  if (!s.seen.insert(design.designNumber).second) return;
  Sample sample;
  if (!localSearchValues(definition, design, sample.objective, sample.constraints)) return;
  sample.x = normalisedFields(design.chromosome, population.fieldSizes);
  for (int r = 0; r < definition.count; ++r) {
    const std::size_t i = static_cast<std::size_t>(r);
    const bool present = i < design.responses.size() && design.responses[i].present &&
                         !design.responses[i].values.empty();
    sample.values.push_back(present ? design.responses[i].values[0] : std::nan(""));
  }
  s.samples.push_back(std::move(sample));
}

void collectSamples(const Agent& agent, const Population& population, SurfaceRun& s,
                    const PerformanceDefinition& definition) {
  AgentResults& results = agentResults(agent);
  if (results.store.enabled) {
    const std::size_t size = designStoreSize(results.store);
    for (; s.storeSeen < size; ++s.storeSeen) {
      addSample(s, designStoreAt(results.store, s.storeSeen), definition, population);
    }
  }
  for (const Member& member : population.members) addSample(s, member.design, definition, population);
}

// The surfaces of the objective and constraint responses, fitted to the samples; the
// responses' indexes in `fitted`. False (with a warning) when one cannot be fitted.
bool fitSurfaces(const Agent& agent, const SurfaceRun& s, const PerformanceDefinition& definition,
                 std::vector<std::unique_ptr<surrogates::SurfaceModel>>& models,
                 std::vector<int>& fitted) {
  models.clear();
  fitted.clear();
  std::vector<std::vector<double>> x;
  for (const Sample& sample : s.samples) x.push_back(sample.x);
  for (int r = 0; r < definition.count; ++r) {
    const std::size_t i = static_cast<std::size_t>(r);
    if (definition.flag[i] != kResponseObjective && definition.flag[i] != kResponseConstraint) {
      continue;
    }
    std::vector<double> y;
    for (const Sample& sample : s.samples) y.push_back(sample.values[i]);
    std::unique_ptr<surrogates::SurfaceModel> model =
        surrogates::makeSurfaceModel(agent.method.surface.model, agent.method.surface.termSet);
    std::string error;
    if (!model || !model->fit(x, y, error)) {
      writeMessage("outptr", "warning",
                   formatText("The response surface (%s) of response \"%s\" could not be fitted "
                              "to the %d designs of agent %d: %s This cycle evaluates designs "
                              "that improve the surfaces only.",
                              agent.method.surface.surfaceType.c_str(), definition.name[i].c_str(),
                              static_cast<int>(s.samples.size()), agent.number,
                              error.empty() ? "no reason given." : error.c_str()));
      return false;
    }
    models.push_back(std::move(model));
    fitted.push_back(r);
  }
  return true;
}

// Objective and constraints predicted at `x` (the point in the unit cube).
bool predictGoals(const std::vector<std::unique_ptr<surrogates::SurfaceModel>>& models,
                  const std::vector<int>& fitted, const PerformanceDefinition& definition,
                  const std::vector<double>& x, double& f, std::vector<double>& g) {
  Design design;
  design.status = kDesignSuccess;
  design.responses.resize(static_cast<std::size_t>(definition.count));
  for (std::size_t k = 0; k < models.size(); ++k) {
    ResponseValue& value = design.responses[static_cast<std::size_t>(fitted[k])];
    value.values = {models[k]->predict(x)};
    value.present = true;
    value.status = kDesignSuccess;
  }
  for (int r = 0; r < definition.count; ++r) {
    ResponseValue& value = design.responses[static_cast<std::size_t>(r)];
    if (!value.present) {  // plain responses: not scored
      value.values = {0.0};
      value.present = true;
    }
  }
  return localSearchValues(definition, design, f, g);
}

struct SurfaceAnswer {
  std::vector<double> x;
  double f = 0.0;
  double violation = 0.0;
  bool valid = false;
};

bool better(const SurfaceAnswer& a, const SurfaceAnswer& b) {
  if (!b.valid) return a.valid;
  const bool feasibleA = a.violation <= 1e-6;
  const bool feasibleB = b.violation <= 1e-6;
  if (feasibleA != feasibleB) return feasibleA;
  if (!feasibleA) return a.violation < b.violation;
  return a.f < b.f;
}

// One SQP run on the surfaces from `start`.
SurfaceAnswer solveOnSurfaces(const Agent& agent,
                              const std::vector<std::unique_ptr<surrogates::SurfaceModel>>& models,
                              const std::vector<int>& fitted,
                              const PerformanceDefinition& definition,
                              const std::vector<double>& start) {
  const int n = static_cast<int>(start.size());
  double f0 = 0.0;
  std::vector<double> g0;
  SurfaceAnswer answer;
  if (!predictGoals(models, fitted, definition, start, f0, g0)) return answer;
  const int m = static_cast<int>(g0.size());
  SqpSettings settings;
  settings.maxfun = std::max(1, agent.method.local.numLineSearches);
  settings.maxit = 100;
  settings.acc = 1e-8;
  SqpState sqp;
  int request = sqpStart(sqp, settings, n, m, equalityCount(definition), start,
                         std::vector<double>(static_cast<std::size_t>(n), 0.0),
                         std::vector<double>(static_cast<std::size_t>(n), 1.0));
  while (request < 0) {
    if (request == kSqpNeedValues || request == kSqpNeedBoth) {
      sqp.failed = !predictGoals(models, fitted, definition, sqp.x, sqp.f, sqp.g);
    }
    if ((request == kSqpNeedGradients || request == kSqpNeedBoth) && !sqp.failed) {
      sqp.df.assign(static_cast<std::size_t>(n), 0.0);
      sqp.dg.assign(static_cast<std::size_t>(m * n), 0.0);
      for (int j = 0; j < n; ++j) {
        std::vector<double> x = sqp.x;
        const double h = x[static_cast<std::size_t>(j)] + kSurfaceStep <= 1.0 ? kSurfaceStep : -kSurfaceStep;
        x[static_cast<std::size_t>(j)] += h;
        double f = 0.0;
        std::vector<double> g;
        if (!predictGoals(models, fitted, definition, x, f, g)) continue;
        sqp.df[static_cast<std::size_t>(j)] = (f - sqp.f) / h;
        for (int c = 0; c < m; ++c) {
          sqp.dg[static_cast<std::size_t>(c * n + j)] =
              (g[static_cast<std::size_t>(c)] - sqp.g[static_cast<std::size_t>(c)]) / h;
        }
      }
    }
    request = sqpResume(sqp);
  }
  if (sqp.best.empty()) return answer;
  answer.x = sqp.best;
  answer.f = sqp.bestF;
  answer.violation = sqp.bestViolation;
  answer.valid = true;
  return answer;
}

std::vector<double> randomPoint(int n) {
  std::vector<double> x(static_cast<std::size_t>(n));
  for (double& v : x) v = nextUniform();
  return x;
}

double squaredDistance(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (std::size_t j = 0; j < a.size() && j < b.size(); ++j) sum += (a[j] - b[j]) * (a[j] - b[j]);
  return sum;
}

// A design that improves the surfaces (see the top of the file).
std::vector<double> extraPoint(const SurfaceRun& s, const std::vector<std::vector<double>>& chosen,
                               const surrogates::SurfaceModel* model, int n) {
  std::vector<double> best;
  double bestScore = -1.0;
  for (int c = 0; c < kExtraCandidates; ++c) {
    std::vector<double> x = randomPoint(n);
    double nearest = 1e300;
    for (const Sample& sample : s.samples) nearest = std::min(nearest, squaredDistance(x, sample.x));
    for (const std::vector<double>& other : chosen) nearest = std::min(nearest, squaredDistance(x, other));
    double score = nearest;
    if (model) {
      const double variance = model->variance(x);
      if (variance > 0.0 && std::isfinite(variance)) score = variance * std::min(1.0, nearest * 1e6);
    }
    if (score > bestScore) {
      bestScore = score;
      best = std::move(x);
    }
  }
  return best;
}

bool repeats(const SurfaceRun& s, const std::vector<int>& chromosome,
             const std::vector<std::vector<int>>& chosen, const std::vector<int>& fieldSizes) {
  for (const std::vector<int>& other : chosen) {
    if (other == chromosome) return true;
  }
  for (const Sample& sample : s.samples) {
    if (fieldsAt(sample.x, fieldSizes) == chromosome) return true;
  }
  return false;
}

void surfaceGeneration(Agent& agent, Population& population, FileHandle* log,
                       const EvaluationServices& services) {
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  if (!definition) return;
  SurfaceRun& s = surfaceRuns()[agent.number];
  collectSamples(agent, population, s, *definition);
  const int n = static_cast<int>(population.fieldSizes.size());
  const int generation = population.counters.generation + 1;
  std::vector<Member> batch;
  auto add = [&](std::vector<int> chromosome) {
    Member member;
    member.design = makeMemberDesign(agent, population, std::move(chromosome), generation);
    batch.push_back(std::move(member));
  };

  const int first = 2 * n + 1;
  if (static_cast<int>(s.samples.size()) < first) {
    // The first designs: a Latin hypercube of the missing ones.
    for (Design& design : makeLatinDesigns(agent, population, first - static_cast<int>(s.samples.size()))) {
      Member member;
      member.design = std::move(design);
      member.design.generation = generation;
      batch.push_back(std::move(member));
    }
  } else {
    std::vector<std::unique_ptr<surrogates::SurfaceModel>> models;
    std::vector<int> fitted;
    std::vector<std::vector<int>> chosen;
    std::vector<std::vector<double>> chosenPoints;
    int extra = agent.method.surface.numExtraEvals;
    if (fitSurfaces(agent, s, *definition, models, fitted)) {
      // Start from the best scored design, then from random points.
      const Sample* best = nullptr;
      const int equalities = equalityCount(*definition);
      for (const Sample& sample : s.samples) {
        if (!best) {
          best = &sample;
          continue;
        }
        const double va = violationOf(sample.constraints, equalities);
        const double vb = violationOf(best->constraints, equalities);
        const bool fa = va <= 1e-6, fb = vb <= 1e-6;
        if ((fa && !fb) || (fa == fb && (fa ? sample.objective < best->objective : va < vb))) {
          best = &sample;
        }
      }
      SurfaceAnswer proposal;
      for (int k = 0; k < kSurfaceStarts; ++k) {
        const std::vector<double> start = k == 0 && best ? best->x : randomPoint(n);
        const SurfaceAnswer answer = solveOnSurfaces(agent, models, fitted, *definition, start);
        if (better(answer, proposal)) proposal = answer;
      }
      if (proposal.valid) {
        std::vector<int> chromosome = fieldsAt(proposal.x, population.fieldSizes);
        if (repeats(s, chromosome, chosen, population.fieldSizes)) {
          ++extra;
        } else {
          chosen.push_back(chromosome);
          chosenPoints.push_back(proposal.x);
          add(std::move(chromosome));
        }
      } else {
        ++extra;
      }
    } else {
      extra = std::max(1, extra + 1);
      models.clear();
    }
    const surrogates::SurfaceModel* objectiveModel = models.empty() ? nullptr : models.front().get();
    for (int e = 0; e < extra; ++e) {
      const std::vector<double> x = extraPoint(s, chosenPoints, objectiveModel, n);
      std::vector<int> chromosome = fieldsAt(x, population.fieldSizes);
      chosen.push_back(chromosome);
      chosenPoints.push_back(x);
      add(std::move(chromosome));
    }
  }
  if (!batch.empty()) {
    evaluatePopulationMembers(agent, population, batch, services);
    population.members = std::move(batch);
    finishGeneration(agent, population, log);
  }
  ++population.counters.generation;
}

}  // namespace

void runSurfaceSearchCycle(Agent& agent, const EvaluationServices& services) {
  runPopulationCycle(agent, services, surfaceGeneration);
}

void resetSurfaceSearchState() { surfaceRuns().clear(); }

namespace {

constexpr std::int32_t kSurfaceMark = 0x53535352;  // "RSSS": the surface search record follows

// Every field of the record, the samples as one list per field. The samples are kept although
// they come from the stored designs and the members: `storeSeen` counts into the store, and
// their order is that of the surfaces' fitting.
void keepFields(StateArchive& archive, SurfaceRun& s) {
  std::vector<std::vector<double>> x, values, constraints;
  std::vector<double> objectives;
  for (const Sample& sample : s.samples) {
    x.push_back(sample.x);
    values.push_back(sample.values);
    objectives.push_back(sample.objective);
    constraints.push_back(sample.constraints);
  }
  archive.items(x, values, objectives, constraints, s.seen, s.storeSeen);
  if (!archive.reading() || !archive.ok()) return;
  const std::size_t count = x.size();
  if (values.size() != count || objectives.size() != count || constraints.size() != count) {
    archive.fail();
    return;
  }
  s.samples.clear();
  for (std::size_t i = 0; i < count; ++i) {
    s.samples.push_back({std::move(x[i]), std::move(values[i]), objectives[i],
                         std::move(constraints[i])});
  }
}

// The record read fits together: every sample has a value of each response of the agent's
// performance definition (of as many as the first sample when there is none) and the same
// number of coordinates.
bool consistent(const Agent& agent, const SurfaceRun& s) {
  if (s.samples.empty()) return true;
  const PerformanceDefinition* definition = findPerformance(agent.performance);
  const std::size_t responses =
      definition ? static_cast<std::size_t>(definition->count) : s.samples.front().values.size();
  const std::size_t coordinates = s.samples.front().x.size();
  return std::all_of(s.samples.begin(), s.samples.end(), [&](const Sample& sample) {
    return sample.values.size() == responses && sample.x.size() == coordinates;
  });
}

}  // namespace

void keepSurfaceSearchState(Agent& agent, StateArchive& archive) {
  keepAgentRecord(surfaceRuns(), agent.number, archive, kSurfaceMark,
                  [&agent](const SurfaceRun& r) { return consistent(agent, r); });
}

}  // namespace karvo::search
