// The seam of the search methods: the signature that every search method gives the method
// table.
//
// A search method (src/search/methods/<method>.cpp) is one function in namespace
// karvo::search, named after the method, of the AgentCycleFn shape
// (definitions/method_settings.h):
//
//   void runCycle(Agent& agent, const EvaluationServices& services);
//
// Runs one cycle of an optimisation agent. The run driver calls it once in every cycle of
// the run (run.currentCycle, 0-based) below agent.method.numCycles, agents in increasing
// order within a cycle.
//   Inputs:  agent.method (settings read and completed at start-up: populationSize,
//            numCycles, generationsPerCycle and the method's own sub-struct); the agent's
//            representation, performance and process numbers; run.currentCycle (0: the
//            first cycle, which starts from a fresh population or from the checkpoint).
//   Work:    agent.method.generationsPerCycle generations; the new designs of each
//            generation go to evaluateDesigns (evaluation/evaluation_flow.h) with
//            `services` as one batch.
//   Outputs: the evaluated designs (the evaluation flow numbers, stores and records them);
//            agent.runState = 2 once the method's termination rules end the agent.
//   Failure: setup errors end the run through fatalError (no return); a failing design
//            carries its status and the search goes on.
#pragma once
