// The history file of a formula-only study, written by a real run of the karvo binary, read
// as a table: every stored design with its names and values, and a file cut short refused
// with a clear message. The study is read in a child process, since reading it moves the
// current directory and fills the run-wide tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "base/run_exit.h"
#include "driver/study_tools.h"
#include "results/history_table.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using testing::readFile;
using testing::runKarvo;
using testing::TempDir;
using testing::writeFile;
using testing::writeFormulaStudy;

std::string numberText(double value) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

// The table as lines: the names, then per row every field separated by "|".
std::string dumpOf(const HistoryTable& table) {
  std::string text = "variables";
  for (const std::string& name : table.variables) text += "|" + name;
  text += "\nparameters";
  for (const std::string& name : table.parameters) text += "|" + name;
  text += "\nresponses";
  for (const std::string& name : table.responses) text += "|" + name;
  text += "\n";
  for (const HistoryTable::Row& row : table.rows) {
    text += std::to_string(row.designNumber) + "|" + row.name + "|" + std::to_string(row.agent) +
            "|" + row.status + "|" + (row.feasible ? "1" : "0") + "|" +
            numberText(row.performance) + "|" + numberText(row.violation);
    for (double value : row.variables) text += "|" + numberText(value);
    for (double value : row.parameters) text += "|" + numberText(value);
    for (std::size_t i = 0; i < row.responseTexts.size(); ++i) {
      text += "|" + row.responseTexts[i] + "=" + numberText(row.responseValues[i]);
    }
    text += "\n";
  }
  return text;
}

// Reads the study in a child process and answers what it wrote: the table of `history`, then
// the answer for `cut`.
std::string readInChild(const TempDir& dir, const std::string& history, const std::string& cut) {
  const std::string dump = dir.file("dump.txt");
  const pid_t child = fork();
  if (child == 0) {
    std::string text;
    try {
      readStudyForTool(dir.file("study.in"));
      HistoryTable table;
      std::string error;
      text = readHistoryTable(0, history, table, error) ? dumpOf(table) : "error: " + error + "\n";
      text += readHistoryTable(0, cut, table, error) ? "cut read\n" : "cut: " + error + "\n";
      text += readHistoryTable(3, history, table, error) ? "agent 3 read\n" : error + "\n";
    } catch (const RunExit& exit) {
      text = "exit " + std::to_string(exit.code) + "\n";
    }
    writeFile(dump, text);
    std::fflush(nullptr);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return readFile(dump);
}

TEST(HistoryTable, GivesEveryStoredDesignWithTheStudysNames) {
  TempDir dir("karvo-history-table");
  writeFormulaStudy(dir);
  const testing::ProcessResult result =
      runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(result.status, 0) << readFile(dir.file("study.mes"));
  const std::string history = dir.file("formulas0.hst");
  const std::string bytes = readFile(history);
  writeFile(dir.file("cut0.hst"), bytes.substr(0, bytes.size() - 20));

  // Performance -f, less 1 per 10 of violation of x + y <= 10; d is refused (f > 50).
  EXPECT_EQ(readInChild(dir, history, dir.file("cut0.hst")),
            "variables|x|y\nparameters|p\nresponses|f|g\n"
            "1|a|0|ok|1|-5.5|0|1|2|2.5|5.5=5.5|3=3\n"
            "2|b|0|ok|1|-13.5|0|3|4|0.5|13.5=13.5|7=7\n"
            "3|c|0|ok|0|-43.600000000000001|0.10000000000000001|6|5|2.5|43.5=43.5|11=11\n"
            "4|d|0|failed|0|-9.9999999999999997e+98|10|7|1|2.5|52.5=52.5|8=8\n"
            "cut: History file " + dir.file("cut0.hst") +
                " does not fit the study or is cut short: design entry 4 of 4 cannot be read "
                "with the study's sizes.\n"
                "The study has no agent 3 for history file " + history + ".\n");
}

}  // namespace
}  // namespace karvo
