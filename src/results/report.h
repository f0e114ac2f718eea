// Report files: one plain-text ".rpt" per agent of the run's range. Written once at the start
// of a run (everything that defines the agent's study) and closed at every controlled end
// with the exit state and end time; tools that import results read these files.
#pragma once

namespace karvo {

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
