// The design evaluation flow: a batch of proposed designs goes in, and every design comes
// back with its responses, status and performance, its folders and logs telling its story.
// evaluateDesigns owns the lifecycle of every job (one per design and analysis, and per loop
// case for an analysis inside a loop) and of every design of the batch; the state diagram,
// the loop cases and the invariants open evaluation_flow.cpp.
//
// Files of a design (agent folder and post folder: evaluation/analysis_run.h):
//   "<agent folder>/Design<n>/design_variable_and_parameter_values"   design values file
//   "<post folder>/Design<n>/design.log"                              design log
//   "<post folder>/Design<n>/<analysis>/analysis.log"                 analysis log
//   "<post folder>/Design<n>/<analysis>.<case>/analysis.log"          ... of a loop case
// The agent's lock file holds the running-analyses log while the batch runs.
//
// Run interaction: between passes the study's interaction file (the study file name with its
// last letter replaced by "o") is read; "stop" ends the run with the exit state "Cancelled"
// (running local jobs are killed, or left alone with "keep").
#pragma once

#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/design.h"

namespace karvo {

struct Agent;

// The two lines of the design values file: names of the design variables (representation
// order), then of the numeric parameters, then of the string parameters, each right-aligned
// to the width of its value and separated by ","; then the values: continuous variables and
// numeric parameters "%20.12e", discrete variables their item number plus 1 "%10d", string
// parameters as text. Each entry holds a name and its value already written.
struct DesignValueEntry {
  std::string name;   // variable or parameter name
  std::string value;  // the value as written
};
std::string designValuesText(const std::vector<DesignValueEntry>& entries);

// Outcome of one batch.
struct BatchSummary {
  int evaluated = 0;   // designs that went through the flow
  int failed = 0;      // of those, error designs
};

struct PerformanceDefinition;
struct ScoringContext;

// Scores one evaluated design from its response values (evaluation/performance.h has the
// solver's own, `performance`): sets design.status, performance, violation and failed, and
// answers the performance.
using ScoreDesignFn = double (*)(Design& design, PerformanceDefinition& definition,
                                 std::span<const double> values, const ScoringContext& context);

// What a batch takes from its caller rather than from module state: the methods above the
// evaluation layer (search, designs of experiments, reliability) hand these in.
struct EvaluationServices {
  ScoreDesignFn score = nullptr;         // scores each finished design; required
  double conditionCommandSeconds = 600;  // time limit of one condition command (s; <= 0: none)
};

// The services of a normal run: the solver's own scoring.
EvaluationServices standardEvaluationServices();

// Evaluates `designs` for `agent` (its process, representation and performance): gives each
// design a design number continuing the agent's count, runs every analysis of the process
// (parallel when the process says so, each analysis at most `numDesigns` designs at once),
// extracts and computes the responses, checks accept ranges, and scores each design
// (design.status, performance, violation, failed, responses in the order of the performance
// definition). A failing design never stops the others; a failing baseline design (the
// agent's first design) ends the run through fatalError, and so does a failing first design
// to complete all its analyses, unless the study goes on after design errors
// (dontStopOnDesignErrors) and no objective still waits for its baseline normalisation.
// A "stop" in the run interaction
// file ends the run with the exit state "Cancelled" (RunExit with code 0). An empty batch
// writes the internal error "Call to the evaluation routine with 0 designs to evaluate.".
// The agent's design count continues in agent.evaluatedDesigns; agent.firstDesignFinished
// is set once one of its designs has finished.
BatchSummary evaluateDesigns(Agent& agent, std::vector<Design>& designs,
                             const EvaluationServices& services);

// Steady-state evaluation: the designs do not wait for one another. `designs` holds the
// first designs; each time one of them is finished (scored, stored, in the history) while
// the others still run, `refill` gets its position in `designs` and may add designs at the
// back, which start as slots free (nParallel, each analysis's numDesigns). Returns once no
// design runs and none was added. Designs are numbered as they are added; a design whose
// results are known (stored, or replayed) goes back to `refill` at once. A process without
// analyses, "stop" and a failing baseline or first design behave as in evaluateDesigns. The
// order in which designs finish depends on how long their analyses take, so a caller that
// bases new designs on finished ones repeats its run only with one design at a time.
using DesignRefill = std::function<void(std::size_t finished)>;
BatchSummary evaluateDesignStream(Agent& agent, std::deque<Design>& designs,
                                  const EvaluationServices& services, const DesignRefill& refill);

// The baseline design of `agent` for a check-setup run: every variable of its representation
// at its baseline value, then the current parameter values; the real values are
// authoritative. A representation that is not loaded ends the run.
Design baselineDesign(const Agent& agent);

// The report of a check-setup run: "Check-setup run of agent %d (\"%s\"): baseline design %d,
// status %s, performance %g." and a line "<response> = <values>" (every value of a vector
// response, separated by ", "; "(no data)" without values) per response of the agent's
// performance definition.
std::string checkSetupReport(const Agent& agent, const Design& design);

// Back to the state of a run's start: no run interaction set up yet (start of a run, tests).
void resetEvaluationFlow();

// Sends the "analysis" messages of the evaluation layer (base/messages.h) to the design and
// analysis logs of the batch that runs, and to the message file between batches. Called once
// at start-up (tests of the flow call it in their set-up).
void routeAnalysisMessages();

struct Process;
struct EvaluationContext;

// The response-extraction test (checkPerformance) runs analysis `index` of `process` once,
// outside any batch, in `folder`: no design folders, no tagging, no logs, no lock file.
// Messages that would go to an analysis log go to the message file. `context` names the
// agent; its responses table must hold the names (startDesignResponses).
//
// runAnalysisInFolder: the command goes to the job controller on this machine and is waited
// for. False when it could not be started or did not pass its exit-status check
// (successReturnValue, else the job controller's verdict); a "nil" command always passes.
bool runAnalysisInFolder(const Process& process, int index, const std::string& folder,
                         EvaluationContext& context);
// extractAnalysisInFolder: the responses of that analysis are extracted from `folder` through
// its portal into context.responses and its calculated responses are computed, exactly as
// for a design.
void extractAnalysisInFolder(const Process& process, int index, const std::string& folder,
                             EvaluationContext& context, const PerformanceDefinition* performance);

}  // namespace karvo
