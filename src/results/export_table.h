// Result files as plain tables for spreadsheets and data-analysis tools: the rows of a history
// (history_table.h), of a Pareto front file and of the tables of a design-of-experiments
// results file, written as CSV or JSON.
//
// CSV (RFC 4180): a header row of the column names, then one row per record; fields are
// separated by commas, a field holding a comma, a double quote, a carriage return or a line
// feed is quoted with its quotes doubled, every line ends in "\n". Numbers are written with
// "%.17g" (read back to the same double), "nan", "inf" and "-inf" for the values that are not
// finite; a missing value is an empty field.
//
// JSON: an array of objects, one per row, with the column names as keys in column order.
// Numbers are JSON numbers ("%.17g"), a value that is not finite and a missing value are
// null; texts are JSON strings (bytes that are not UTF-8 become U+FFFD).
#pragma once

#include <string>
#include <vector>

#include "results/history_table.h"

namespace karvo {

struct ExportCell {
  enum Kind { Missing, Number, Text };
  Kind kind = Missing;
  double number = 0.0;
  std::string text;
};

ExportCell missingCell();
ExportCell numberCell(double value);
ExportCell textCell(std::string text);

struct ExportTable {
  std::vector<std::string> columns;
  std::vector<std::vector<ExportCell>> rows;  // each as many cells as columns
};

// The rows of a history: design, name, agent, status, feasible, performance, violation,
// cycle, generation, then the design variables, fixed parameters and responses by their
// names. A design without a name has a missing name; a response holding one number is a
// number, another value its text, a missing value missing.
ExportTable exportTableOfHistory(const HistoryTable& history);

// The rows of a Pareto front file (search/pareto_file.h): columns "Cycle", "Eval #" (the
// design number) and "Rank", one row per archive member of every block, in file order.
// False with `error` set when the file cannot be read or a member line is damaged.
bool exportTableOfParetoFile(const std::string& path, ExportTable& table, std::string& error);

// True when `text` is a design-of-experiments results file (doe/doe_analysis.h).
bool isDoeResultsText(const std::string& text);

// The tables of a design-of-experiments results file.
enum class DoeTable {
  Runs,      // the run table: "Run", the factor letters, "Response" ("failed": missing)
  Analysis,  // the table under "Source, ...": the effects table of the two-level analysis
             // with its "Error" and "Total" rows (their value in the "SS" column), or the
             // level averages ("nan": missing)
};

// False with `error` set when the text does not hold the table asked for.
bool exportTableOfDoeText(const std::string& text, DoeTable which, ExportTable& table,
                          std::string& error);

std::string csvText(const ExportTable& table);
std::string jsonText(const ExportTable& table);

}  // namespace karvo
