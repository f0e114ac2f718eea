// The particle swarm (PSO): the method table's runner for its method code. The move of the
// particles is described at the top of swarm.cpp.
#pragma once

#include <vector>

namespace karvo {

struct Agent;
class StateArchive;
struct EvaluationServices;
struct FileHandle;

namespace search {

struct Population;

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runSwarmCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetSwarmState();

// Keeps the swarm state of `agent` in a checkpoint (MethodStateFn of
// definitions/method_settings.h).
void keepSwarmState(Agent& agent, StateArchive& archive);

// One generation of the swarm (the GenerationStep shape of search/genetic.h): moves every
// particle, evaluates the moved swarm as one batch and updates the bests.
void swarmGeneration(Agent& agent, Population& population, FileHandle* log,
                     const EvaluationServices& services);

// For every particle i of a ring of values.size() particles, the particle with the best
// personal best value among the `neighborhoodSize` particles i - (k - 1) / 2 .. i + k / 2
// round the ring (k = neighborhoodSize clamped to [1, particles]): the highest value, the
// first of equals in that order; failed values never count, and a neighbourhood without a
// counted value answers i itself.
std::vector<int> swarmNeighbourhoodBests(const std::vector<double>& values, int neighborhoodSize);

}  // namespace search
}  // namespace karvo
