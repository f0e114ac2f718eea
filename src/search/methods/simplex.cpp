// The simplex search (NMS): Nelder-Mead on the unit cube of the representation's fields,
// plain or annealed, on the genetic core's cycle. One generation is one simplex iteration
// (one to n + 2 evaluations); the bookkeeping is O(n^2) per iteration.
//
// The search minimises f = -(raw fitness); a failed design counts as worse than any other.
// Only the fields with more than one value take part (n of them); every point is rounded to
// the nearest field values before it is evaluated, and the vertices sit on those values.
//
// First simplex: the starting point (the starting design) and n points, each with one field moved by s = max(1, round(simplexSize
// x (field size - 1))) field values, upwards when that stays inside the field, otherwise
// downwards, otherwise to the far end of the field. The n points are evaluated as one batch.
//
// One iteration, vertices ordered by value (best first), c the centroid of all but the worst
// vertex w, points clamped into the cube; the coefficients follow the dimension
// (reflection 1, expansion 1 + 2/n, contraction 0.75 - 1/(2n), shrink 1 - 1/n; for n = 1
// 2, 0.5 and 0.5):
//
//   r = c + (c - w)                       evaluated
//   r better than the best:               e = c + (1 + 2/n)(c - w) evaluated; the better of
//                                         e and r replaces w
//   r better than the second worst:       r replaces w
//   r better than w:                      outside contraction c + rho (r - c); it replaces w
//                                         when not worse than r
//   otherwise:                            inside contraction c + rho (w - c); it replaces w
//                                         when better than w
//   a rejected contraction:               shrink: every vertex but the best moves towards the
//                                         best by the shrink factor; the n new points are
//                                         evaluated as one batch
//
// With nParallel >= 2 the reflection and the expansion point are evaluated together as one
// batch (the expansion is then paid for also when it is not used).
//
// Restart: when the simplex spans at most one field value in every field (it has collapsed
// onto the grid), or every vertex has the same value of some field (it has lost a
// dimension, as happens when points clamped onto a face of the cube pull it there), or more than n + 1 iterations in a row met only designs met before (a
// coarse grid), and budget is left, a fresh simplex is built around the best design met.
// A fresh simplex after the first moves each field by max(1, round(simplexSize x u x (field
// size - 1))) field values, u uniform in (0, 1], upwards or downwards at random (the other
// way when the range ends), so that it does not repeat the simplex that collapsed.
//
// Annealed simplex (numTemps > 0): the budget is cut into numTemps + 1 equal stages; the
// last one is plain, stage s < numTemps (0-based) has temperature T = tau_s * D with tau_s = 0.5 * 0.001^(s / (numTemps - 1))
// (0.5 for a single stage) and D the spread (largest minus smallest value) of the simplex's
// values when the stage began or the simplex was last built afresh, so that the
// temperature follows the scale of the objective. In every iteration each vertex is
// compared by its value plus T |ln u| and each trial point by its value minus T |ln u| (u
// uniform in (0, 1], drawn afresh each time): a hot simplex sometimes keeps a worse point
// and so can leave a local minimum; the best design met is kept apart.
//
// The population's one member is the best design met, shown to the genetic core's best
// tracking after every batch that improves it and at the end of every generation.
//
// Budget: each generation evaluates at least one new design while budget is left (an
// iteration whose points were all evaluated before is followed by another, up to
// kIterationsPerGeneration); a batch is cut to the budget left; once the budget is used up
// the agent is finished (run state 2).
#include "search/agent_record.h"
#include "search/methods/simplex.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <vector>

#include "base/random.h"
#include "base/run_state.h"
#include "base/state_archive.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "search/design_vectors.h"
#include "search/genetic.h"
#include "search/population.h"

namespace karvo::search {

namespace {

constexpr int kIterationsPerGeneration = 64;  // iterations tried for one new design
constexpr double kHotShare = 0.5;             // tau of the first stage
constexpr double kColdRatio = 0.001;          // tau of the last stage / tau of the first

struct Vertex {
  std::vector<int> fields;  // field values
  double f = 0.0;           // objective (infinity: failed)
};

struct SimplexRun {
  bool ready = false;
  std::vector<std::size_t> active;  // fields with more than one value
  std::vector<Vertex> simplex;      // n + 1 vertices; empty: a fresh one is due
  Member best;                      // best design met
  double spread = 0.0;              // D of the annealed simplex
  int stage = -1;                   // stage of the annealed simplex
  int restarts = 0;                 // fresh simplexes after the first
  int idle = 0;                     // iterations in a row that met only designs met before
};

std::map<int, SimplexRun>& simplexRuns() {
  static std::map<int, SimplexRun> table;
  return table;
}

double objectiveOf(const Member& member) {
  return fitnessCounted(member.raw) ? -member.raw : std::numeric_limits<double>::infinity();
}

long budgetLeft(const Agent& agent) {
  return static_cast<long>(agent.method.numEvals) - agent.evaluatedDesigns;
}

// Shows the best design met to the genetic core's best tracking as the population's one
// member.
void showBest(Agent& agent, Population& population, FileHandle* log, const SimplexRun& s) {
  population.members.assign(1, s.best);
  finishGeneration(agent, population, log);
}

// Evaluates the designs at `points` (cut to the budget left) as one batch; answers their
// objectives, in order.
std::vector<double> evaluatePoints(Agent& agent, Population& population, FileHandle* log,
                                   SimplexRun& s, std::vector<std::vector<int>> points,
                                   const EvaluationServices& services) {
  const long left = budgetLeft(agent);
  if (left <= 0) return {};
  if (static_cast<long>(points.size()) > left) points.resize(static_cast<std::size_t>(left));
  const int generation = population.counters.generation;
  std::vector<Member> batch;
  for (std::vector<int>& fields : points) {
    Member member;
    member.design = makeMemberDesign(agent, population, std::move(fields), generation);
    member.birthGeneration = generation;
    member.origin = kMadeDecision;
    batch.push_back(std::move(member));
  }
  evaluatePopulationMembers(agent, population, batch, services);
  std::vector<double> values;
  bool improved = false;
  for (const Member& member : batch) {
    values.push_back(objectiveOf(member));
    if (fitnessCounted(member.raw) && member.raw > s.best.raw) {
      s.best = member;
      improved = true;
    }
  }
  if (improved) showBest(agent, population, log, s);
  return values;
}

double spreadOf(const std::vector<Vertex>& simplex) {
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  for (const Vertex& v : simplex) {
    if (!std::isfinite(v.f)) continue;
    low = std::min(low, v.f);
    high = std::max(high, v.f);
  }
  return high > low ? high - low : 0.0;
}

// A fresh simplex around the best design met (see the top of the file).
void buildSimplex(Agent& agent, Population& population, FileHandle* log, SimplexRun& s,
                  const EvaluationServices& services) {
  const double size = agent.method.local.simplexSize;
  Vertex start;
  start.fields = s.best.design.chromosome;
  start.f = objectiveOf(s.best);
  std::vector<std::vector<int>> points;
  for (std::size_t f : s.active) {
    const int top = population.fieldSizes[f] - 1;
    const int k = start.fields[f];
    // A restart draws its distance and direction, so that it does not repeat the simplex
    // that collapsed.
    const double share = s.restarts > 0 ? 1.0 - static_cast<double>(nextUniform()) : 1.0;
    const int step = std::max(1, static_cast<int>(std::lround(size * share * top)));
    const bool down = s.restarts > 0 && flip(0.5f);
    std::vector<int> moved = start.fields;
    if (!down && k + step <= top) {
      moved[f] = k + step;
    } else if (k - step >= 0) {
      moved[f] = k - step;
    } else if (k + step <= top) {
      moved[f] = k + step;
    } else {
      moved[f] = k >= top - k ? 0 : top;
    }
    points.push_back(std::move(moved));
  }
  std::vector<std::vector<int>> fields = points;
  const std::vector<double> values =
      evaluatePoints(agent, population, log, s, std::move(points), services);
  if (values.size() < fields.size()) return;  // the budget ran out: the run ends
  s.simplex.assign(1, start);
  for (std::size_t i = 0; i < values.size(); ++i) s.simplex.push_back({fields[i], values[i]});
  s.spread = spreadOf(s.simplex);
}

// The simplex spans at most one field value in every field, or it has lost a dimension:
// every vertex has the same value of some field (points pushed onto a face of the cube stay
// there).
bool collapsed(const SimplexRun& s) {
  bool wide = false;
  for (std::size_t f : s.active) {
    int low = s.simplex.front().fields[f];
    int high = low;
    for (const Vertex& v : s.simplex) {
      low = std::min(low, v.fields[f]);
      high = std::max(high, v.fields[f]);
    }
    if (high == low) return true;
    if (high - low > 1) wide = true;
  }
  return !wide;
}

// |ln u| for a uniform draw u in (0, 1].
double fluctuation() {
  const double u = 1.0 - static_cast<double>(nextUniform());
  return -std::log(u);
}

// The thermal scale of the current stage (0 for the plain simplex).
double temperatureOf(const Agent& agent, SimplexRun& s) {
  const int stages = agent.method.local.numTemps;
  if (stages <= 0) return 0.0;
  const long budget = std::max(1, agent.method.numEvals);
  const int stage = static_cast<int>(std::min<long>(
      stages, static_cast<long>(agent.evaluatedDesigns) * (stages + 1) / budget));
  if (stage >= stages) return 0.0;  // the final plain stage
  if (stage != s.stage) {
    s.stage = stage;
    s.spread = spreadOf(s.simplex);
  }
  const double share =
      stages == 1 ? kHotShare
                  : kHotShare * std::pow(kColdRatio, static_cast<double>(stage) / (stages - 1));
  return share * s.spread;
}

// One Nelder-Mead iteration (see the top of the file).
void iterate(Agent& agent, Population& population, FileHandle* log, SimplexRun& s,
             const EvaluationServices& services) {
  const std::size_t n = s.active.size();
  const double dn = static_cast<double>(n);
  const double expansion = n >= 2 ? 1.0 + 2.0 / dn : 2.0;
  const double contraction = n >= 2 ? 0.75 - 0.5 / dn : 0.5;
  const double shrink = n >= 2 ? 1.0 - 1.0 / dn : 0.5;
  const double temperature = temperatureOf(agent, s);
  auto hot = [&](double f) { return temperature > 0.0 ? f + temperature * fluctuation() : f; };
  auto cold = [&](double f) { return temperature > 0.0 ? f - temperature * fluctuation() : f; };

  std::vector<double> seen(s.simplex.size());
  for (std::size_t i = 0; i < s.simplex.size(); ++i) seen[i] = hot(s.simplex[i].f);
  std::vector<std::size_t> order(s.simplex.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return seen[a] < seen[b]; });
  const std::size_t best = order.front();
  const std::size_t worst = order.back();
  const std::size_t second = order[order.size() - 2];

  const std::vector<int>& sizes = population.fieldSizes;
  std::vector<double> centre(sizes.size(), 0.0);
  for (std::size_t i = 0; i < s.simplex.size(); ++i) {
    if (i == worst) continue;
    const std::vector<double> x = normalisedFields(s.simplex[i].fields, sizes);
    for (std::size_t f = 0; f < x.size(); ++f) centre[f] += x[f] / dn;
  }
  const std::vector<double> w = normalisedFields(s.simplex[worst].fields, sizes);
  // The point c + t (c - w), inactive fields as the worst vertex has them.
  auto along = [&](double t) {
    std::vector<double> x = w;
    for (std::size_t f : s.active) x[f] = std::clamp(centre[f] + t * (centre[f] - w[f]), 0.0, 1.0);
    return fieldsAt(x, sizes);
  };
  auto replaceWorst = [&](std::vector<int> fields, double f) {
    s.simplex[worst].fields = std::move(fields);
    s.simplex[worst].f = f;
  };

  const std::vector<int> reflection = along(1.0);
  const std::vector<int> expanded = along(expansion);
  const bool together = study.nParallel >= 2;
  std::vector<std::vector<int>> first{reflection};
  if (together) first.push_back(expanded);
  std::vector<double> values = evaluatePoints(agent, population, log, s, first, services);
  if (values.empty()) return;
  const double fr = values[0];
  const double rSeen = cold(fr);
  if (rSeen < seen[best]) {
    double fe;
    if (values.size() > 1) {
      fe = values[1];
    } else {
      const std::vector<double> more = evaluatePoints(agent, population, log, s, {expanded}, services);
      if (more.empty()) {
        replaceWorst(reflection, fr);
        return;
      }
      fe = more[0];
    }
    if (cold(fe) < rSeen) {
      replaceWorst(expanded, fe);
    } else {
      replaceWorst(reflection, fr);
    }
    return;
  }
  if (rSeen < seen[second]) {
    replaceWorst(reflection, fr);
    return;
  }
  const bool outside = rSeen < seen[worst];
  const std::vector<int> contracted = along(outside ? contraction : -contraction);
  const std::vector<double> more =
      evaluatePoints(agent, population, log, s, {contracted}, services);
  if (more.empty()) return;
  const double cSeen = cold(more[0]);
  if (outside ? cSeen <= rSeen : cSeen < seen[worst]) {
    replaceWorst(contracted, more[0]);
    return;
  }
  // Shrink towards the best vertex.
  const std::vector<double> b = normalisedFields(s.simplex[best].fields, sizes);
  std::vector<std::size_t> moved;
  std::vector<std::vector<int>> points;
  for (std::size_t i = 0; i < s.simplex.size(); ++i) {
    if (i == best) continue;
    std::vector<double> x = normalisedFields(s.simplex[i].fields, sizes);
    for (std::size_t f : s.active) x[f] = b[f] + shrink * (x[f] - b[f]);
    moved.push_back(i);
    points.push_back(fieldsAt(x, sizes));
  }
  std::vector<std::vector<int>> fields = points;
  const std::vector<double> shrunk =
      evaluatePoints(agent, population, log, s, std::move(points), services);
  for (std::size_t j = 0; j < shrunk.size(); ++j) {
    s.simplex[moved[j]].fields = fields[j];
    s.simplex[moved[j]].f = shrunk[j];
  }
}

void setUp(Agent& agent, Population& population, SimplexRun& s) {
  const int number = agent.method.local.startingDesign;
  Member start;
  start.design = startingDesign(agent, population, number);
  start.raw = start.design.failed ? kFailedPerformance : start.design.performance;
  start.origin = number > 0 ? kMadeHistory : kMadeBaseline;
  if (start.design.chromosome.size() != population.fieldSizes.size() &&
      !population.members.empty()) {
    start = population.members.front();
  }
  s.best = start;
  s.active.clear();
  for (std::size_t f = 0; f < population.fieldSizes.size(); ++f) {
    if (population.fieldSizes[f] > 1) s.active.push_back(f);
  }
  s.simplex.clear();
  s.ready = true;
}

void simplexGeneration(Agent& agent, Population& population, FileHandle* log,
                       const EvaluationServices& services) {
  SimplexRun& s = simplexRuns()[agent.number];
  population.counters.generation += 1;
  if (!s.ready) setUp(agent, population, s);
  const int before = agent.evaluatedDesigns;
  for (int i = 0; i < kIterationsPerGeneration && budgetLeft(agent) > 0 && !s.active.empty();
       ++i) {
    if (s.simplex.empty()) {
      buildSimplex(agent, population, log, s, services);
    } else if (collapsed(s) || s.idle > static_cast<int>(s.active.size()) + 1) {
      s.simplex.clear();
      s.idle = 0;
      ++s.restarts;
      continue;
    } else {
      const int was = agent.evaluatedDesigns;
      iterate(agent, population, log, s, services);
      s.idle = agent.evaluatedDesigns > was ? 0 : s.idle + 1;
    }
    if (agent.evaluatedDesigns > before) break;
  }
  if (budgetLeft(agent) <= 0 || s.active.empty()) agent.runState = 2;
  showBest(agent, population, log, s);
}

}  // namespace

void resetSimplexState() { simplexRuns().clear(); }

namespace {

constexpr std::int32_t kSimplexMark = 0x534d584e;  // "NMXS": the simplex record follows

// Every field of the record; a later generation reads all of them.
void keepFields(StateArchive& archive, SimplexRun& s) {
  std::vector<std::vector<int>> vertexFields;
  std::vector<double> vertexValues;
  for (const Vertex& v : s.simplex) {
    vertexFields.push_back(v.fields);
    vertexValues.push_back(v.f);
  }
  archive.items(s.ready, s.active, vertexFields, vertexValues);
  keepMember(archive, s.best);
  archive.items(s.spread, s.stage, s.restarts, s.idle);
  if (!archive.reading() || !archive.ok()) return;
  if (vertexFields.size() != vertexValues.size()) {
    archive.fail();
    return;
  }
  s.simplex.clear();
  for (std::size_t i = 0; i < vertexFields.size(); ++i) {
    s.simplex.push_back({std::move(vertexFields[i]), vertexValues[i]});
  }
}

// The record read fits together: the simplex has one vertex more than there are active
// fields, and the best design and every vertex have the same number of fields, more than
// the highest active one.
bool consistent(const SimplexRun& s) {
  if (s.stage < -1 || s.restarts < 0 || s.idle < 0) return false;
  for (std::size_t i = 1; i < s.active.size(); ++i) {
    if (s.active[i] <= s.active[i - 1]) return false;
  }
  const std::size_t fields = s.best.design.chromosome.size();
  if (!s.active.empty() && s.active.back() >= fields) return false;
  if (s.simplex.empty()) return true;
  if (s.active.empty() || s.simplex.size() != s.active.size() + 1) return false;
  return std::all_of(s.simplex.begin(), s.simplex.end(),
                     [&](const Vertex& v) { return v.fields.size() == fields; });
}

}  // namespace

void keepSimplexState(Agent& agent, StateArchive& archive) {
  keepAgentRecord(simplexRuns(), agent.number, archive, kSimplexMark,
                  [](const SimplexRun& r) { return consistent(r); });
}

void runSimplexCycle(Agent& agent, const EvaluationServices& services) {
  runPopulationCycle(agent, services, simplexGeneration);
}

}  // namespace karvo::search
