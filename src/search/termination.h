// The termination rules that the search agents consult between generations: all agents
// finished, the evaluation budget of the hybrid searches, and the exhausted design space.
// (The study's termination condition is tested by the evaluation flow after each design.)
// Cheap: a few comparisons per generation, and the design space counted as a product over
// the variables that stops at the evaluation limit.
#pragma once

namespace karvo {

struct Agent;

namespace search {

// The most designs `agent` will evaluate: its budget (`numEvals` of the method, or of the
// agent record) when it has one, otherwise what its method's sizes allow
// (populationSize x (1 + numCycles x generationsPerCycle), plus the baseline).
long searchEvaluationLimit(const Agent& agent);

// Between two generations of `agent` (an optimization agent): answers true when the agent
// may run another generation in this cycle.
//   - All agents finished (every agent of the run's range has run state 2), or a
//     multi-start (MS) agent has evaluated more designs than its budget: the run ends
//     normally (exitRun, exit status 0).
//   - The budget (TOLMAR, MOTOLMAR): once the agent's evaluations reach it, the agent's
//     number of cycles becomes the current cycle + 1, so that it ends with this cycle; the
//     generations of the cycle go on.
//   - The exhausted design space (TOLMAR, MOTOLMAR, GA): the number of distinct designs of
//     the agent's representation, counted up to the evaluation limit; once the agent has
//     evaluated that many, the note "The design space has been exhausted. KARVO has
//     performed all possible design evaluations for the current setup. Try increasing the
//     resolution of the variables if you want to evaluate more designs in the current
//     space." and the run ends normally.
// Answers false when the agent is finished (run state 2).
bool searchMayGoOn(Agent& agent);

}  // namespace search
}  // namespace karvo
