// karvo export through the real binary: the history of a formula-only study read back by
// python's csv and json modules, a Pareto front file and a DOE results file, and the exit
// statuses of bad usage and of a history that does not fit its study.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace karvo::testing;

ProcessResult exportIn(const TempDir& dir, const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {"export"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return runKarvo(all, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

// Checks the rows of `file` read by python's csv module (`reader` "csv") or json module
// ("json") against the values of the four designs; answers python's output.
std::string checkWithPython(const TempDir& dir, const std::string& file, const std::string& kind) {
  writeFile(dir.file("check.py"),
            "import csv, json, sys\n"
            "kind, path = sys.argv[1], sys.argv[2]\n"
            "if kind == 'csv':\n"
            "    with open(path, newline='') as f:\n"
            "        rows = list(csv.DictReader(f))\n"
            "    num = lambda v: float(v) if v != '' else None\n"
            "else:\n"
            "    with open(path) as f:\n"
            "        rows = json.load(f)\n"
            "    num = lambda v: v\n"
            "assert list(rows[0].keys()) == ['design', 'name', 'agent', 'status', 'feasible',\n"
            "    'performance', 'violation', 'cycle', 'generation', 'x', 'y', 'p', 'f', 'g'], rows[0]\n"
            "expected = {'a': (1, 2, 2.5, 'ok', 1), 'b': (3, 4, 0.5, 'ok', 1),\n"
            "            'c': (6, 5, 2.5, 'ok', 0), 'd': (7, 1, 2.5, 'failed', 0)}\n"
            "assert [r['name'] for r in rows] == ['a', 'b', 'c', 'd']\n"
            "for number, r in enumerate(rows, 1):\n"
            "    x, y, p, status, feasible = expected[r['name']]\n"
            "    assert num(r['design']) == number and num(r['agent']) == 0\n"
            "    assert (num(r['x']), num(r['y']), num(r['p'])) == (x, y, p), r\n"
            "    assert num(r['f']) == x * x + y + p and num(r['g']) == x + y, r\n"
            "    assert r['status'] == status and num(r['feasible']) == feasible, r\n"
            "    if status == 'ok':\n"
            "        violation = max(0.0, (x + y - 10) / 10)\n"
            "        assert num(r['violation']) == violation, r\n"
            "        assert num(r['performance']) == -(x * x + y + p) - violation, r\n"
            "    else:\n"
            "        assert num(r['performance']) == -1e99 and num(r['violation']) == 10, r\n"
            "print(len(rows), 'rows')\n");
  const ProcessResult result =
      runShell("/usr/bin/python3 check.py " + kind + " " + file + " 2>&1", dir.path());
  return result.out;
}

TEST(ExportCommand, HistoryRowsReadBackByPythonGiveEveryValueUnlessItDoesNotFitItsStudy) {
  TempDir dir("karvo-export-history");
  writeFormulaStudy(dir);
  ASSERT_EQ(runStudy(dir).status, 0) << readFile(dir.file("study.mes"));

  // The study is found by the history's file prefix.
  ProcessResult result = exportIn(dir, {"formulas0.hst"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  writeFile(dir.file("out.csv"), result.out);
  EXPECT_EQ(checkWithPython(dir, "out.csv", "csv"), "4 rows\n");

  fs::create_directory(dir.file("tables"));
  result = exportIn(dir, {"--format", "json", "--study", "study.in", "formulas0.hst", "--out",
                          "tables/out.json"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(checkWithPython(dir, "tables/out.json", "json"), "4 rows\n");
  // Nothing but the table is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("tables")), fs::directory_iterator()),
            1);

  // A history changed after it was written is still exported, with a warning naming it.
  const std::string bytes = readFile(dir.file("formulas0.hst"));
  std::string damaged = bytes;
  damaged[damaged.size() / 2] ^= 0x10;
  writeFile(dir.file("formulas0.hst"), damaged);
  result = exportIn(dir, {"formulas0.hst", "--out", "damaged.csv"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.err, ::testing::StartsWith("Warning: The history file \"" +
                                                dir.file("formulas0.hst") +
                                                "\" does not match the checksum kept in"));

  // A history of an agent the study does not have, the history cut short, and then taken with
  // a study of other sizes: nothing is written.
  writeFile(dir.file("formulas3.hst"), bytes);
  result = exportIn(dir, {"formulas3.hst", "--out", "unfit.csv"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.err, "The study has no agent 3 for history file " + dir.file("formulas3.hst") +
                            ".\n");
  writeFile(dir.file("formulas0.hst"), bytes.substr(0, bytes.size() - 30));
  result = exportIn(dir, {"formulas0.hst", "--out", "unfit.csv"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.err, "History file " + dir.file("formulas0.hst") +
                            " does not fit the study or is cut short: design entry 4 of 4 "
                            "cannot be read with the study's sizes.\n");
  EXPECT_FALSE(fs::exists(dir.file("unfit.csv")));

  writeFile(dir.file("formulas0.hst"), bytes);
  replaceIn(dir.path(), "Definitions.in", "*END",
            "*DEFINE_VARIABLE\nname: q\ntype: Parameter\nid: 4\nbaseline: 1\n*END");
  result = exportIn(dir, {"formulas0.hst", "--out", "unfit.csv"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.err, "History file " + dir.file("formulas0.hst") +
                            " does not fit the study: it holds 1 fixed parameters, the study 2.\n");
  EXPECT_FALSE(fs::exists(dir.file("unfit.csv")));

  // A definition error of the study.
  replaceIn(dir.path(), "Definitions.in", "*END",
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\n*END");
  result = exportIn(dir, {"formulas0.hst"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, HasSubstr("ERROR")) << result.err;
}

TEST(ExportCommand, BadUsageGivesTheUsageTextAnd255) {
  TempDir dir("karvo-export-usage");
  writeFile(dir.file("run0.hst"), "");
  const std::vector<std::vector<std::string>> bad = {
      {}, {"run0.hst", "--colour"}, {"run0.hst", "--format", "xml"}, {"run0.hst", "--out"}};
  for (const std::vector<std::string>& arguments : bad) {
    const ProcessResult result = exportIn(dir, arguments);
    EXPECT_EQ(result.status, 255);
    EXPECT_THAT(result.err, HasSubstr("\nUsage: karvo export <file> [options]\n"));
    EXPECT_EQ(result.out, "");
  }
  ProcessResult result = exportIn(dir, {"missing.pto"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "The file missing.pto cannot be read.\n");

  // No study file, then two, with the history's prefix.
  result = exportIn(dir, {"run0.hst"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "No study file (.in) in " + dir.path() +
                            " has the file prefix \"run\" of the history file run0.hst: name its "
                            "study with --study <study file>.\n");
  for (const char* name : {"one.in", "two.in"}) {
    writeFile(dir.file(name), "*STUDY\nname: s\nfilePrefix: run\n*END\n");
  }
  result = exportIn(dir, {"run0.hst"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "Several study files in " + dir.path() +
                            " have the file prefix of the history file run0.hst:\n  " +
                            dir.file("one.in") + "\n  " + dir.file("two.in") +
                            "\nName one with --study <study file>.\n");
}

TEST(ExportCommand, ParetoAndDoeFilesGiveTheirTables) {
  TempDir dir("karvo-export-text");
  writeFile(dir.file("front0.pto"),
            "Eval #, Rank in Cycle 1\n       4,        1\n       7,        2\n\n"
            "Eval #, Rank in Cycle 2\n      12,        1\n\n");
  ProcessResult result = exportIn(dir, {"front0.pto"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Cycle,Eval #,Rank\n1,4,1\n1,7,2\n2,12,1\n");

  // A design-of-experiments results file, found by its content: its run table, or its
  // analysis table as JSON.
  writeFile(dir.file("DOE_0_f.out"),
            "DOE INFORMATION\n---------------\nNumber of factors:     2\nNumber of Runs:        2\n"
            "        A,           B,      Response\n"
            "     1,        0,           0,          1.05000000e+01\n"
            "     2,        1,           0,          1.35000000e+01\n\n"
            "Source, Avg Lev 0, Avg Lev 1\n   A,  10.500000,  13.500000\n");
  result = exportIn(dir, {"DOE_0_f.out"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Run,A,B,Response\n1,0,0,10.5\n2,1,0,13.5\n");
  result = exportIn(dir, {"DOE_0_f.out", "--table=analysis", "--format=json"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "[\n  {\"Source\": \"A\", \"Avg Lev 0\": 10.5, \"Avg Lev 1\": 13.5}\n]\n");
}

}  // namespace
}  // namespace karvo
