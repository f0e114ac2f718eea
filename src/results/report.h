// Report files: one plain-text ".rpt" per agent of the run's range. Written once at the start
// of a run (everything that defines the agent's study) and closed at every controlled end
// with the exit state and end time; tools that import results read these files.
#pragma once

#include <string>
#include <vector>

namespace karvo {

struct Agent;

// The answer of an optimisation agent as the end of the run gives it: the heading ("Best
// design of agent %d (%s): design %d", or the least infeasible one, or that none was
// evaluated successfully; "" for other agents) and one line per variable of its
// representation and per objective and constraint of its performance definition.
struct AnswerLine {
  std::string name;   // variable or response name
  std::string value;  // "%g", a discrete variable's item, or "no value"
  std::string role;   // "" for a variable; "objective: minimise", "constraint: <= 250", ...
};
struct AgentAnswer {
  std::string heading;
  std::vector<AnswerLine> lines;
};
AgentAnswer agentAnswer(const Agent& agent);

// Creates the report of every agent in range (an earlier report is replaced).
void writeReports();
// Appends the closing block to every report created by this run.
void closeReports();
// End-of-run notes on the message file and standard output, then closeReports.
void writeEndOfRunInformation();

// Whether writeReports has created the reports (the closing steps need it).
bool reportsCreated();
void resetReports();

}  // namespace karvo
