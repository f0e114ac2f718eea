// The particle swarm (PSO): the genetic core's cycle with the swarm's move as its generation
// step. Work per generation is linear in particles x variables; the evaluation of the moved
// particles, one batch per generation, is the whole cost.
//
// The first swarm (numDesigns designs: the baseline when it joins, then a Latin hypercube) is
// made and evaluated by the genetic core and counts as the first of the numGen generations;
// numGen - 1 moves follow it, one per generation, so the run evaluates numDesigns x numGen
// designs (and the baseline before them when it does not join).
//
// Each particle i lives in the unit cube (search/design_vectors.h) and keeps its position
// x, its velocity `veloc`, its personal best `pbest_X` with value `pbest_valList` (raw
// fitness, larger is better; a failed design never becomes a best) and `lbest_index`, the
// particle with the best personal best in its ring neighbourhood of `neighborhoodSize`
// particles (i - (k - 1) / 2 .. i + k / 2 round the ring, the first of equals in that
// order). The global best is the best design of the agent so far.
//
// One move, per particle and coordinate d, with w the inertia and r1, r2, r3 fresh uniform
// draws in [0, 1):
//
//   v_d <- w v_d + personalBest r1 (pbest_d - x_d) + localBest r2 (lbest_d - x_d)
//                + globalBest r3 (gbest_d - x_d),   clamped to [-vmax, vmax]
//   x_d <- x_d + v_d; a particle leaving the cube stops on its face: x_d is clamped into
//          [0, 1] and v_d is set to 0 (the bound may hold the optimum)
//
// with w falling linearly from 0.9 in the first move to 0.4 in the last one, and vmax = 0.2
// of the range (at least one field step). The new positions go back to field values (the
// nearest grid point) and the moved swarm is evaluated as one batch; a particle that lands
// on a design evaluated before costs nothing (the stored results answer it). The particles
// are the method's own state: a member the genetic core replaces between generations (a
// migrant) is a candidate for the global best through the agent's best design, but moves no
// particle.
//
// Convergence: when no particle can move any more -- the swarm has gathered on the global
// best (every particle's design and personal best are that design), every velocity component
// is below one field step and every new position rounds to the design its particle has now
// -- the run ends normally with a note, without evaluating that generation.
#include "search/methods/swarm.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "base/design.h"
#include "base/messages.h"
#include "base/state_archive.h"
#include "base/random.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "search/design_vectors.h"
#include "search/fitness.h"
#include "search/genetic.h"

namespace karvo::search {

namespace {

constexpr double kFirstInertia = 0.9;   // inertia of the first move
constexpr double kLastInertia = 0.4;    // inertia of the last move
constexpr double kVelocityLimit = 0.2;  // largest velocity component, share of the range
                                        // (at least one field step)

struct SwarmRun {
  bool ready = false;
  int moves = 0;                                  // moves made after the first swarm
  std::vector<std::vector<double>> x;             // position of each particle
  std::vector<std::vector<double>> veloc;         // velocity of each particle
  std::vector<std::vector<double>> pbest_X;       // personal best position
  std::vector<double> pbest_valList;              // personal best raw fitness
  std::vector<int> lbest_index;                   // best particle of the neighbourhood
  std::vector<std::vector<int>> fields;           // field values of each particle's design
  std::vector<double> gbest_X;                    // global best position (empty: none yet)
  double gbest_val = kFailedPerformance;          // global best raw fitness
};

std::map<int, SwarmRun>& swarmRuns() {
  static std::map<int, SwarmRun> table;
  return table;
}

// The velocity limit of each coordinate: kVelocityLimit, or one field step when that is
// larger, so that a particle on a coarse variable can reach the next value in one move.
std::vector<double> velocityLimits(const std::vector<int>& fieldSizes) {
  std::vector<double> limits(fieldSizes.size(), kVelocityLimit);
  for (std::size_t c = 0; c < fieldSizes.size(); ++c) {
    if (fieldSizes[c] > 1) limits[c] = std::max(kVelocityLimit, 1.0 / (fieldSizes[c] - 1));
  }
  return limits;
}

// Takes a scored design as a candidate for the global best.
void offerGlobal(SwarmRun& s, const std::vector<double>& position, double raw) {
  if (!fitnessCounted(raw) || (!s.gbest_X.empty() && raw <= s.gbest_val)) return;
  s.gbest_X = position;
  s.gbest_val = raw;
}

// Takes the evaluated design of particle i (its field values, as a point) as a candidate for
// its personal best.
void offerPersonal(SwarmRun& s, std::size_t i, double raw, const std::vector<int>& fieldSizes) {
  if (!fitnessCounted(raw)) return;
  if (fitnessCounted(s.pbest_valList[i]) && raw <= s.pbest_valList[i]) return;
  s.pbest_X[i] = normalisedFields(s.fields[i], fieldSizes);
  s.pbest_valList[i] = raw;
}

// The first swarm: every particle on its member, personal best there; the starting velocity
// is half the way to a uniformly drawn point of the cube (one draw per coordinate), within
// the limit.
void setUp(const Population& population, SwarmRun& s) {
  const std::size_t n = population.members.size();
  const std::size_t d = population.fieldSizes.size();
  const std::vector<double> limits = velocityLimits(population.fieldSizes);
  s = SwarmRun{};
  s.x.resize(n);
  s.veloc.resize(n);
  s.pbest_X.resize(n);
  s.pbest_valList.assign(n, kFailedPerformance);
  s.fields.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Member& member = population.members[i];
    s.fields[i] = member.design.chromosome;
    s.x[i] = normalisedFields(member.design.chromosome, population.fieldSizes);
    s.pbest_X[i] = s.x[i];  // a failed design keeps the failure mark as its value
    offerPersonal(s, i, member.raw, population.fieldSizes);
    s.veloc[i].resize(d);
    for (std::size_t c = 0; c < d; ++c) {
      const double v = 0.5 * (nextUniform() - s.x[i][c]);
      s.veloc[i][c] = std::clamp(v, -limits[c], limits[c]);
    }
  }
  s.ready = true;
}

// Inertia of move m (1-based) of `moves`.
double inertiaOf(int m, int moves) {
  if (moves <= 1) return kFirstInertia;
  return kFirstInertia - (kFirstInertia - kLastInertia) * (m - 1) / (moves - 1);
}

// The end of a generation: the members installed, the generation counted, the scores.
void endGeneration(Agent& agent, Population& population, FileHandle* log, int generation) {
  population.counters.generation = generation;
  finishGeneration(agent, population, log);
}

[[noreturn]] void stopConverged() {
  writeMessage("outptr", "note",
               "The PSO methods seems to have converged and cannot make further progress. The "
               "run will now terminate.");
  exitRun(kExitNormal, true);
}

}  // namespace

std::vector<int> swarmNeighbourhoodBests(const std::vector<double>& values, int neighborhoodSize) {
  const int n = static_cast<int>(values.size());
  std::vector<int> best(values.size());
  const int k = std::clamp(neighborhoodSize, 1, std::max(1, n));
  const int left = (k - 1) / 2;
  for (int i = 0; i < n; ++i) {
    int chosen = i;
    bool have = false;
    for (int offset = -left; offset < k - left; ++offset) {
      const int j = ((i + offset) % n + n) % n;
      const double value = values[static_cast<std::size_t>(j)];
      if (!fitnessCounted(value)) continue;
      if (!have || value > values[static_cast<std::size_t>(chosen)]) {
        chosen = j;
        have = true;
      }
    }
    best[static_cast<std::size_t>(i)] = chosen;
  }
  return best;
}

void resetSwarmState() { swarmRuns().clear(); }

void keepSwarmState(Agent& agent, StateArchive& archive) {
  SwarmRun& s = swarmRuns()[agent.number];
  archive.items(s.ready, s.moves, s.x, s.veloc, s.pbest_X, s.pbest_valList, s.lbest_index,
                s.fields, s.gbest_X, s.gbest_val);
  if (!archive.reading()) return;
  const std::size_t n = s.x.size();
  const bool sound = s.veloc.size() == n && s.pbest_X.size() == n && s.pbest_valList.size() == n &&
                     s.lbest_index.size() == n && s.fields.size() == n &&
                     std::all_of(s.lbest_index.begin(), s.lbest_index.end(), [n](int i) {
                       return i >= 0 && static_cast<std::size_t>(i) < n;
                     });
  if (!sound) archive.fail();
}

void swarmGeneration(Agent& agent, Population& population, FileHandle* log,
                     const EvaluationServices& services) {
  SwarmRun& s = swarmRuns()[agent.number];
  const SwarmSettings& settings = agent.method.swarm;
  const std::vector<int>& sizes = population.fieldSizes;
  const std::size_t n = population.members.size();
  const std::size_t d = sizes.size();
  const int generation = population.counters.generation + 1;
  const int totalMoves = std::max(0, settings.numGen - 1);
  if (!s.ready || s.x.size() != n) setUp(population, s);
  if (s.moves >= totalMoves || n == 0) {
    // The numGen generations are done (a first swarm only, or a cycle left over).
    endGeneration(agent, population, log, generation);
    return;
  }

  for (std::size_t i = 0; i < n; ++i) offerGlobal(s, s.pbest_X[i], s.pbest_valList[i]);
  if (population.bestEver.valid && population.bestEver.design.chromosome.size() == d) {
    offerGlobal(s, normalisedFields(population.bestEver.design.chromosome, sizes),
                population.bestEver.raw);
  }
  s.lbest_index = swarmNeighbourhoodBests(s.pbest_valList, settings.neighborhoodSize);

  // The move.
  const int move = s.moves + 1;
  const double w = inertiaOf(move, totalMoves);
  std::vector<std::vector<double>> next = s.x;
  std::vector<std::vector<int>> nextFields(n);
  const std::vector<double> limits = velocityLimits(sizes);
  // The swarm cannot move any more when it has gathered on the global best (every particle's
  // design and personal best are that design), no velocity component reaches one field step
  // and no new position leaves its particle's design.
  const std::vector<int> gatheredOn =
      s.gbest_X.empty() ? std::vector<int>{} : fieldsAt(s.gbest_X, sizes);
  bool stuck = !gatheredOn.empty();
  for (std::size_t i = 0; i < n; ++i) {
    const std::vector<double>& own = s.pbest_X[i];
    const std::vector<double>& local = s.pbest_X[static_cast<std::size_t>(s.lbest_index[i])];
    const std::vector<double>& global = s.gbest_X.empty() ? own : s.gbest_X;
    std::vector<double>& v = s.veloc[i];
    for (std::size_t c = 0; c < d; ++c) {
      const double r1 = nextUniform();
      const double r2 = nextUniform();
      const double r3 = nextUniform();
      const double xc = s.x[i][c];
      double vc = w * v[c] + settings.personalBest * r1 * (own[c] - xc) +
                  settings.localBest * r2 * (local[c] - xc) +
                  settings.globalBest * r3 * (global[c] - xc);
      vc = std::clamp(vc, -limits[c], limits[c]);
      double xn = xc + vc;
      if (xn < 0.0 || xn > 1.0) {
        xn = std::clamp(xn, 0.0, 1.0);
        vc = 0.0;
      }
      v[c] = vc;
      next[i][c] = xn;
      if (sizes[c] > 1 && std::fabs(vc) >= 1.0 / (sizes[c] - 1)) stuck = false;
    }
    nextFields[i] = fieldsAt(next[i], sizes);
    if (nextFields[i] != s.fields[i] || s.fields[i] != gatheredOn ||
        fieldsAt(s.pbest_X[i], sizes) != gatheredOn) {
      stuck = false;
    }
  }
  if (stuck) stopConverged();

  std::vector<Member> particles(n);
  for (std::size_t i = 0; i < n; ++i) {
    particles[i].design = makeMemberDesign(agent, population, nextFields[i], generation);
    particles[i].birthGeneration = generation;
  }
  evaluatePopulationMembers(agent, population, particles, services);
  s.moves = move;
  for (std::size_t i = 0; i < n; ++i) {
    s.x[i] = std::move(next[i]);
    s.fields[i] = std::move(nextFields[i]);
    offerPersonal(s, i, particles[i].raw, sizes);
    offerGlobal(s, s.pbest_X[i], s.pbest_valList[i]);
  }
  s.lbest_index = swarmNeighbourhoodBests(s.pbest_valList, settings.neighborhoodSize);
  population.members = std::move(particles);
  endGeneration(agent, population, log, generation);
}

void runSwarmCycle(Agent& agent, const EvaluationServices& services) {
  if (!agentPopulation(agent.number).initialised) {
    // The first swarm is the first generation: numGen - 1 moves follow it.
    const int moves = std::max(0, agent.method.swarm.numGen - 1);
    const int perCycle = std::max(1, agent.method.generationsPerCycle);
    agent.method.numCycles = std::max(1, (moves + perCycle - 1) / perCycle);
  }
  runPopulationCycle(agent, services, swarmGeneration);
}

}  // namespace karvo::search
