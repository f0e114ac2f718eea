// One agent's history file as a table with the names a user knows: every stored design with
// its variables, parameters, responses, performance and feasibility. The export and plot
// commands read histories through it.
#pragma once

#include <string>
#include <vector>

namespace karvo {

struct HistoryTable {
  std::vector<std::string> variables;   // design variable names, in the agent's slot order
  std::vector<std::string> parameters;  // fixed parameter names, in variable-table order
  std::vector<std::string> responses;   // study response names, in file order
  struct Row {
    int designNumber = 0;
    std::string name;                 // the design's name ("" when it has none)
    int agent = 0;                    // the agent that made the design (source)
    std::string status;               // "ok" or "failed"
    bool feasible = false;            // evaluated and no constraint violated
    double performance = 0.0;
    double violation = 0.0;
    int cycle = 0;
    int generation = 0;
    std::vector<double> variables;    // real values
    std::vector<double> parameters;
    std::vector<std::string> responseTexts;  // "%.17g" for a number, the text of a text
                                             // value, "" when missing
    std::vector<double> responseValues;      // NaN unless the value is one number
  };
  std::vector<Row> rows;  // in file order
  std::string warning;    // set when the file does not match its checksum file (the rows
                          // are read all the same): historyDamageText
};

// Reads `path` as the history file of agent `agent` of the study read by readStudyForTool.
// Answers false, with `error` saying why in one sentence, when the file cannot be read or
// does not fit the study (wrong version, cut short, other sizes).
bool readHistoryTable(int agent, const std::string& path, HistoryTable& table,
                      std::string& error);

}  // namespace karvo
