// The design evaluation flow: a batch of proposed designs goes in, and every design comes
// back with its responses, status and performance, its folders and logs telling its story.
// evaluateDesigns owns the lifecycle of every job (one per design and analysis) and of every
// design of the batch; the state diagram and its invariants open evaluation_flow.cpp.
//
// Files of a design (agent folder and post folder: evaluation/analysis_run.h):
//   "<agent folder>/Design<n>/design_variable_and_parameter_values"   design values file
//   "<post folder>/Design<n>/design.log"                              design log
//   "<post folder>/Design<n>/<analysis>/analysis.log"                 analysis log
// The agent's lock file holds the running-analyses log while the batch runs.
//
// Run interaction: between passes the study's interaction file (the study file name with its
// last letter replaced by "o") is read; "stop" ends the run with the exit state "Cancelled"
// (running local jobs are killed, or left alone with "keep").
#pragma once

#include <string>
#include <vector>

#include "search/design.h"

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

// Evaluates `designs` for `agent` (its process, representation and performance): gives each
// design a design number continuing the agent's count, runs every analysis of the process
// (parallel when the process says so, each analysis at most `numDesigns` designs at once),
// extracts and computes the responses, checks accept ranges, and scores each design
// (design.status, performance, violation, failed, responses in the order of the performance
// definition). A failing design never stops the others; a failing baseline design (the
// agent's first design) ends the run through fatalError. A "stop" in the run interaction
// file ends the run with the exit state "Cancelled" (RunExit with code 0). An empty batch
// writes the internal error "Call to the evaluation routine with 0 designs to evaluate.".
BatchSummary evaluateDesigns(Agent& agent, std::vector<Design>& designs);

// The baseline design of `agent` for a check-setup run: every variable of its representation
// at its baseline value, then the current parameter values; the real values are
// authoritative. A representation that is not loaded ends the run.
Design baselineDesign(const Agent& agent);

// The report of a check-setup run: "Check-setup run of agent %d (\"%s\"): baseline design %d,
// status %s, performance %g." and a line "<response> = <first value>" (or "(no data)") per
// response of the agent's performance definition.
std::string checkSetupReport(const Agent& agent, const Design& design);

// The number of designs the agent has evaluated so far (its last design number).
int evaluatedDesignCount(int agentNumber);

// Back to no designs evaluated (start of a run, tests).
void resetEvaluationFlow();

}  // namespace karvo
