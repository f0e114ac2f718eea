// The CSV and JSON texts of a table, byte for byte (quoting, numbers, missing values), and
// the tables of a design-of-experiments results file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "results/export_table.h"
#include "results/history_table.h"

namespace karvo {
namespace {

ExportTable smallTable() {
  ExportTable table;
  table.columns = {"design", "name", "f, total", "note"};
  table.rows.push_back({numberCell(1), textCell("bracket, left"), numberCell(0.1),
                        textCell("say \"hi\"\nthen go")});
  table.rows.push_back({numberCell(2), missingCell(),
                        numberCell(std::numeric_limits<double>::quiet_NaN()),
                        textCell("caf\xc3\xa9 \xff")});
  table.rows.push_back({numberCell(-1e99), textCell(""), numberCell(-INFINITY), missingCell()});
  return table;
}

TEST(ExportTable, CsvQuotesFieldsAndWritesRoundTripNumbers) {
  EXPECT_EQ(csvText(smallTable()),
            "design,name,\"f, total\",note\n"
            "1,\"bracket, left\",0.10000000000000001,\"say \"\"hi\"\"\nthen go\"\n"
            "2,,nan,caf\xc3\xa9 \xff\n"
            "-9.9999999999999997e+98,,-inf,\n");
  EXPECT_EQ(csvText(ExportTable{{"a"}, {}}), "a\n");
}

TEST(ExportTable, JsonWritesNullForMissingAndNonFiniteValues) {
  EXPECT_EQ(jsonText(smallTable()),
            "[\n"
            "  {\"design\": 1, \"name\": \"bracket, left\", \"f, total\": 0.10000000000000001, "
            "\"note\": \"say \\\"hi\\\"\\nthen go\"},\n"
            "  {\"design\": 2, \"name\": null, \"f, total\": null, "
            "\"note\": \"caf\xc3\xa9 \\ufffd\"},\n"
            "  {\"design\": -9.9999999999999997e+98, \"name\": \"\", \"f, total\": null, "
            "\"note\": null}\n"
            "]\n");
  EXPECT_EQ(jsonText(ExportTable{{"a"}, {}}), "[]\n");
}

// Study names are the columns of a history table; one that is already a column gets its
// kind added, so that no two columns (no two keys of a JSON record) share a name.
TEST(ExportTable, HistoryColumnsStayUniqueWhenStudyNamesCollide) {
  HistoryTable history;
  history.variables = {"x", "cycle"};
  history.parameters = {"status"};
  history.responses = {"f", "x", "cycle"};
  HistoryTable::Row row;
  row.designNumber = 3;
  row.status = "ok";
  row.variables = {0.5, 2};
  row.parameters = {7};
  row.responseTexts = {"1", "2", "3"};
  row.responseValues = {1, 2, 3};
  history.rows.push_back(row);
  const ExportTable table = exportTableOfHistory(history);
  EXPECT_THAT(table.columns,
              ::testing::ElementsAre("design", "name", "agent", "status", "feasible",
                                     "performance", "violation", "cycle", "generation", "x",
                                     "cycle (variable)", "status (parameter)", "f",
                                     "x (response)", "cycle (response)"));
  EXPECT_EQ(csvText(table).substr(csvText(table).find('\n') + 1),
            "3,,0,ok,0,0,0,0,0,0.5,2,7,1,2,3\n");
}

// A three-factor file with a failed run and the level-average table.
TEST(ExportTable, DoeFileGivesItsRunTableAndItsAnalysisTable) {
  const std::string text =
      "DOE INFORMATION\n"
      "---------------\n"
      "Number of factors:     2\n"
      "Number of Runs:        3\n"
      "        A,           B,      Response\n"
      "     1,        0,           2,          1.05000000e+01\n"
      "     2,        1,           0,                  failed\n"
      "     3,        2,           1,         -3.50000000e+00\n"
      "\n"
      "Source, Avg Lev 0, Avg Lev 1, Avg Lev 2\n"
      "   A,  10.500000,        nan,  -3.500000\n"
      "   B,  -3.500000,  10.500000\n";
  ExportTable table;
  std::string error;
  ASSERT_TRUE(isDoeResultsText(text));
  ASSERT_TRUE(exportTableOfDoeText(text, DoeTable::Runs, table, error)) << error;
  EXPECT_EQ(csvText(table), "Run,A,B,Response\n1,0,2,10.5\n2,1,0,\n3,2,1,-3.5\n");
  ASSERT_TRUE(exportTableOfDoeText(text, DoeTable::Analysis, table, error)) << error;
  EXPECT_EQ(csvText(table),
            "Source,Avg Lev 0,Avg Lev 1,Avg Lev 2\nA,10.5,,-3.5\nB,-3.5,10.5,\n");

  const std::string runsOnly = text.substr(0, text.find("\nSource"));
  EXPECT_FALSE(exportTableOfDoeText(runsOnly, DoeTable::Analysis, table, error));
  EXPECT_EQ(error, "it holds no analysis table (\"Source, ...\"): the run table is its only table");
  EXPECT_FALSE(exportTableOfDoeText(text.substr(0, 250), DoeTable::Runs, table, error));
  EXPECT_THAT(error, ::testing::StartsWith("run 3 of the run table cannot be read"));
}

}  // namespace
}  // namespace karvo
