// The simulated annealing (SA): the method table's runner for its method code.
#pragma once

namespace karvo {

class StateArchive;
struct Agent;
struct EvaluationServices;

namespace search {

// One cycle of `agent` (the AgentCycleFn shape, see search/search_turn.h).
void runAnnealingCycle(Agent& agent, const EvaluationServices& services);

// Forgets the method's state of every agent (start-up and tests).
void resetAnnealingState();

// Keeps the method's state of `agent` in a checkpoint (the MethodStateFn shape,
// definitions/method_settings.h): a writing archive gets the agent's record, or a record
// that reads back as "none yet" when the agent has none; a reading archive replaces the
// agent's record (a record read as "none yet" removes it). A read that fails, or whose
// record does not fit together, leaves the agent's record as it was.
void keepAnnealingState(Agent& agent, StateArchive& archive);

// The temperature of cycle `cycle` (0-based) of a schedule of `numTemps` temperatures
// falling geometrically from `startTemp` to `endTemp`:
// startTemp * (endTemp / startTemp)^(cycle / (numTemps - 1)); exactly startTemp for cycle 0
// (and for every cycle when numTemps is 1) and exactly endTemp from cycle numTemps - 1 on.
double annealingTemperature(double startTemp, double endTemp, int numTemps, int cycle);

}  // namespace search
}  // namespace karvo
