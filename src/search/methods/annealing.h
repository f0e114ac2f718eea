// The simulated annealing (SA): the method table's runner for its method code.
#pragma once

namespace karvo {

struct Agent;
struct EvaluationServices;

namespace search {

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runAnnealingCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetAnnealingState();

// The temperature of cycle `cycle` (0-based) of a schedule of `numTemps` temperatures
// falling geometrically from `startTemp` to `endTemp`:
// startTemp * (endTemp / startTemp)^(cycle / (numTemps - 1)); exactly startTemp for cycle 0
// (and for every cycle when numTemps is 1) and exactly endTemp from cycle numTemps - 1 on.
double annealingTemperature(double startTemp, double endTemp, int numTemps, int cycle);

}  // namespace search
}  // namespace karvo
