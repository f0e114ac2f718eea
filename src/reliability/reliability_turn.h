// The seam of the robustness and reliability methods: the signature of a study by sampling
// kind, and the runner of the "robustness" and "reliability" methods.
//
// A sampling kind (src/reliability/<method>.cpp) is one function of the ReliabilityStudyFn
// shape, registered under its SamplingKind in reliability_turn.cpp:
//
//   void runStudy(Agent& agent, const EvaluationServices& services);
//
// Runs the whole robustness or reliability study of the agent in its one turn.
//   Inputs:  agent.method (numEvals samples, sampling.kind, genRSMAfterStudy); the random
//            parameters of the agent's representation with their distributions; the
//            agent's performance and process.
//   Work:    builds the sample set of its kind and evaluates it through evaluateDesigns
//            (evaluation/evaluation_flow.h) with `services`; then the statistics of the
//            responses and, with genRSMAfterStudy 1, the response surfaces.
//   Outputs: the evaluated designs and the study's result files. The run driver marks the
//            agent finished after the turn.
//   Failure: setup errors end the run through fatalError (no return); failing designs
//            carry their status.
// A kind without a function is not available in this build: runSamplingStudy writes the
// note of writeMethodUnavailableNote for it.
#pragma once

namespace karvo {

struct Agent;
struct EvaluationServices;

namespace reliability {

using ReliabilityStudyFn = void (*)(Agent& agent, const EvaluationServices& services);

// The study of sampling kind `kind` (SamplingKind), or null when this build has none (and
// for numbers that are no kind).
ReliabilityStudyFn studyByKind(int kind);

// The runner of the "robustness" and "reliability" methods: the study of the agent's
// sampling kind (agent.method.sampling.kind), or the note of writeMethodUnavailableNote
// when this build has none.
void runSamplingStudy(Agent& agent, const EvaluationServices& services);

}  // namespace reliability
}  // namespace karvo
