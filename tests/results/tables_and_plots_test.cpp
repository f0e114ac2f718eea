// The tables and plots of results: the CSV and JSON texts of a table, byte for byte (quoting,
// numbers, missing values), and the tables of a design-of-experiments results file; the SVG
// writer's round tick values, their labels and its escaping; each kind of plot drawn from a
// small known data set and read back with python3's XML parser (well-formed, the expected
// marks, real and escaped text), and the plot command through the real karvo binary on
// formula-only searches (on a design of experiments: doe_run_test; on reliability samples:
// reliability_runs_test).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "results/export_table.h"
#include "results/history_table.h"
#include "results/plots.h"
#include "results/svg_writer.h"
#include "search/pareto_file.h"
#include "support/search_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::HasLines;
using testing::readFile;
using testing::runKarvo;
using testing::runShell;
using testing::TempDir;
using testing::writeFile;

TEST(SvgWriter, NiceTicksCoverTheRangeWithRoundSteps) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double lo, hi;
    std::vector<double> ticks;
  };
  const std::vector<Case> cases = {
      {0, 10, {0, 2, 4, 6, 8, 10}},
      {10, 0, {0, 2, 4, 6, 8, 10}},                       // taken swapped
      {0, 1, {0, 0.2, 0.4, 0.6, 0.8, 1}},                 // exact decimals, no 0.6000000000000001
      {0.61, 0.99, {0.6, 0.7, 0.8, 0.9, 1}},             // first tick below, last above
      {-3.2, 7.9, {-5, 0, 5, 10}},
      {0.001, 0.003, {0.001, 0.0015, 0.002, 0.0025, 0.003}},
      {1.2e7, 4.5e7, {1e7, 2e7, 3e7, 4e7, 5e7}},
      {5, 5, {4, 4.5, 5, 5.5, 6}},                        // one value: a unit around it
      {0, 0, {-1, -0.5, 0, 0.5, 1}},
      {-0.03, -0.03, {-0.04, -0.035, -0.03, -0.025, -0.02}},
      {nan, 1, {0, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(svg::niceTicks(c.lo, c.hi), c.ticks) << c.lo << " .. " << c.hi;
  }
  EXPECT_EQ(svg::niceTicks(0, 10, 2), (std::vector<double>{0, 5, 10}));
}

TEST(SvgWriter, TickLabelsShowTheDigitsTheStepNeeds) {
  EXPECT_EQ(svg::tickLabel(0.6, 0.2), "0.6");
  EXPECT_EQ(svg::tickLabel(0.0015, 0.0005), "0.0015");
  EXPECT_EQ(svg::tickLabel(100, 20), "100");
  EXPECT_EQ(svg::tickLabel(0.5, 0.5), "0.5");
  EXPECT_EQ(svg::tickLabel(-0.0, 0.5), "0.0");    // never "-0.0"
  EXPECT_EQ(svg::tickLabel(-1e-17, 0.1), "0.0");  // rounding noise of a zero tick
  EXPECT_EQ(svg::tickLabel(-0.001, 1), "0");
  EXPECT_EQ(svg::tickLabel(2e6, 1e6), "2e+06");
  EXPECT_EQ(svg::tickLabel(3e-5, 1e-5), "3e-05");
}

TEST(SvgWriter, TextIsEscapedIntoWellFormedXml) {
  EXPECT_EQ(svg::escapeText("a<b & \"c\" 'd'>"), "a&lt;b &amp; &quot;c&quot; &apos;d&apos;&gt;");
  // Control bytes and bytes of no UTF-8 character; valid UTF-8 stays.
  EXPECT_EQ(svg::escapeText(std::string("x\x01y\xff\xc3\xa9")), "x y?\xc3\xa9");
  // (The documents of the plots are read back by python3's XML parser below.)
}

// Parses an SVG file and lists what it holds: "count <tag>.<class> <n>" for every class of
// mark, "points <class> <n>" for each polyline, and the content of every <text> and <title>.
constexpr const char* kSvgSummary = R"(import sys, xml.etree.ElementTree as ET
ns = '{http://www.w3.org/2000/svg}'
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == ns + 'svg'
counts = {}
for e in root.iter():
    tag = e.tag.replace(ns, '')
    c = e.get('class')
    if c:
        counts[tag + '.' + c] = counts.get(tag + '.' + c, 0) + 1
        if tag == 'polyline':
            print('points', c, len(e.get('points').split()))
    if tag in ('text', 'title'):
        print(tag, e.text)
for k in sorted(counts):
    print('count', k, counts[k])
)";

// The summary of `svgText` (written into `dir`); fails the test when python3 cannot parse it.
std::string summaryOf(const TempDir& dir, const std::string& svgText) {
  writeFile(dir.file("summary.py"), kSvgSummary);
  writeFile(dir.file("plot.svg"), svgText);
  const testing::ProcessResult result =
      runShell("/usr/bin/python3 summary.py plot.svg", dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

std::string summaryOfFile(const TempDir& dir, const std::string& path) {
  return summaryOf(dir, readFile(path));
}

// ---------------------------------------------------------------------------------------
// The plots from known data

TEST(Plots, ConvergenceShowsDesignsTheBestFeasibleStepsAndFailures) {
  // Feasible 1, infeasible 3, failed, feasible 2, feasible 5, failed.
  const std::vector<plots::ConvergenceDesign> designs = {
      {1, true, false}, {3, false, false}, {-1e99, false, true},
      {2, true, false}, {5, true, false},  {-1e99, false, true}};
  const std::vector<double> best = plots::bestFeasibleSoFar(designs);
  EXPECT_EQ(best, (std::vector<double>{1, 1, 1, 2, 5, 5}));
  // Lower is better for a minimised objective.
  EXPECT_EQ(plots::bestFeasibleSoFar({{3, true, false}, {1, true, false}, {2, true, false}}, true),
            (std::vector<double>{3, 1, 1}));
  TempDir dir("karvo-plot-convergence");
  const std::string summary =
      summaryOf(dir, plots::convergenceSvg("Agent 0 (\"a&b\" <c>): convergence", designs));
  EXPECT_THAT(summary, HasLines("count circle.design 4\ncount path.failed 2\n"
                                "count polyline.best 1\n"));
  // (1,1) (4,1) (4,2) (5,2) (5,5) (6,5)
  EXPECT_THAT(summary, HasLines("points best 6\n"));
  EXPECT_THAT(summary, HasLines("text Agent 0 (\"a&b\" <c>): convergence\n"));
  EXPECT_THAT(summary, HasLines("text Evaluations\n"));
  EXPECT_THAT(summary, HasLines("text Performance\n"));
  // Without failures no legend entry of failed designs.
  EXPECT_THAT(summaryOf(dir, plots::convergenceSvg("t", {{1, true, false}})),
              Not(HasSubstr("failed")));
}

TEST(Plots, DoeMainEffectsAndEffectsOfATwoLevelFactorial) {
  // f = 10 + 3 x - 2 y + 1.5 x y over the 2^2 factorial: means of x 7 and 13, of y 12 and 8;
  // effects x 6, y -4, x*y 3.
  const std::vector<std::string> factors = {"x", "y"};
  const std::vector<std::vector<double>> values = {{-1, 1, -1, 1}, {-1, -1, 1, 1}};
  const std::vector<double> f = {10.5, 13.5, 3.5, 12.5};
  const std::vector<plots::FactorMeans> means = plots::factorMeans(factors, values, f);
  ASSERT_EQ(means.size(), 2u);
  EXPECT_EQ(means[0].means, (std::vector<double>{7, 13}));
  EXPECT_EQ(means[1].means, (std::vector<double>{12, 8}));
  EXPECT_EQ(means[1].labels, (std::vector<std::string>{"-1", "1"}));
  const std::vector<plots::Effect> effects = plots::factorEffects(factors, values, f);
  ASSERT_EQ(effects.size(), 3u);
  EXPECT_EQ(effects[0].term + " " + std::to_string(effects[0].value), "x 6.000000");
  EXPECT_EQ(effects[1].term + " " + std::to_string(effects[1].value), "y -4.000000");
  EXPECT_EQ(effects[2].term + " " + std::to_string(effects[2].value), "x*y 3.000000");

  TempDir dir("karvo-plot-doe");
  std::string summary = summaryOf(dir, plots::mainEffectsSvg("main effects", "f", means));
  EXPECT_THAT(summary, HasLines("text x\ntext Mean of f\npoints means 2\n"));
  EXPECT_THAT(summary, HasLines("text y\npoints means 2\n"));
  EXPECT_THAT(summary, HasLines("count circle.mean 4\ncount polyline.means 2\n"));
  summary = summaryOf(dir, plots::normalPlotSvg("normal plot", "f", effects));
  EXPECT_THAT(summary, HasLines("count circle.effect 3\n"));
  EXPECT_THAT(summary, HasLines("text x*y\n"));
  EXPECT_THAT(summary, HasLines("text Normal score\n"));

  // Many distinct values (a Latin hypercube) are binned into five levels.
  std::vector<double> spread, response;
  for (int i = 0; i < 20; ++i) {
    spread.push_back(i);
    response.push_back(i < 10 ? 1.0 : 3.0);
  }
  const auto binned = plots::factorMeans({"z"}, {spread}, response);
  ASSERT_EQ(binned.size(), 1u);
  EXPECT_EQ(binned[0].labels, (std::vector<std::string>{"1.9", "5.7", "9.5", "13.3", "17.1"}));
  EXPECT_EQ(binned[0].counts, (std::vector<int>{4, 4, 4, 4, 4}));
  EXPECT_EQ(binned[0].means, (std::vector<double>{1, 1, 2, 3, 3}));
}

TEST(Plots, NormalScoresHistogramBinsAndTheParetoFront) {
  EXPECT_NEAR(plots::normalScore(1, 3), -0.9674, 1e-4);
  EXPECT_NEAR(plots::normalScore(2, 3), 0.0, 1e-6);
  const plots::HistogramBins bins = plots::histogramBins({1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(bins.counts, (std::vector<int>{3, 3, 3}));
  ASSERT_EQ(bins.edges.size(), 4u);
  EXPECT_EQ(bins.edges.back(), 9.0);

  TempDir dir("karvo-plot-histogram");
  const std::string summary =
      summaryOf(dir, plots::histogramSvg("histogram", "stress", {1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_THAT(summary, HasLines("title [1, 3.667]: 3\ntitle [3.667, 6.333]: 3\n"
                                "title [6.333, 9]: 3\n"));
  EXPECT_THAT(summary, HasLines("count rect.bar 3\n"));
  EXPECT_THAT(summary, HasLines("text stress\n"));
  EXPECT_THAT(summary, HasLines("text mean 5\n"));

  // One value: one bar.
  EXPECT_EQ(plots::histogramBins({2.5, 2.5}).counts, (std::vector<int>{2}));

  // A Pareto projection marks the front.
  const plots::ParetoProjection data{"mass", "stress", {3, 4, 5}, {9, 8, 7}, {1, 2}, {2, 1}};
  const std::string front = summaryOf(dir, plots::paretoSvg("front", data, true));
  EXPECT_THAT(front, HasLines("count circle.design 3\ncount circle.front 2\n"));
  EXPECT_THAT(front, HasLines("points front-line 2\n"));
  EXPECT_THAT(front, HasLines("text mass\ntext stress\n"));
}

// ---------------------------------------------------------------------------------------
// The command

testing::ProcessResult plot(const TempDir& dir, const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {"plot"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return runKarvo(all, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

TEST(PlotCommand, UsageErrorsAndAStudyWithoutResults) {
  TempDir dir("karvo-plot-usage");
  testing::SearchStudy study;
  study.agent = "method: TOLMAR\nnumEvals: 10\n";
  study.f = "x + y";
  testing::writeSearchStudy(dir, study);
  const std::string usage =
      "Usage: karvo plot <study file> [--out <folder>]\n"
      "Writes SVG plots of the study's results into <folder> (default: \"plots\" in the study's\n"
      "folder).\n";
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"--out", "x"}, {"study.in", "--out"}, {"study.in", "--bogus"},
           {"study.in", "other.in"}}) {
    const testing::ProcessResult result = plot(dir, arguments);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, usage);
    EXPECT_EQ(result.out, "");
  }
  testing::ProcessResult result = plot(dir, {"study.in"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "The study has no results yet: no plot written.\n");
  EXPECT_FALSE(fs::exists(dir.file("plots")));

  // A definition error ends the command as it ends a run.
  writeFile(dir.file("Representation0.in"), "*VARIABLE\nname: nothing\nid: 7\n*END\n");
  result = plot(dir, {"study.in"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.out, "");
}

TEST(PlotCommand, MultiObjectiveSearchGivesItsFront) {
  TempDir dir("karvo-plot-nsga");
  testing::SearchStudy study;
  study.agent = "method: NSGA\npopulationSize: 8\nnumGen: 3\n";
  study.f = "x";
  study.f2 = "10 - x + y";
  testing::writeSearchStudy(dir, study);
  ASSERT_EQ(testing::runSearchStudy(dir).status, 0) << testing::searchMessages(dir);
  TempDir out("karvo-plot-out");
  const testing::ProcessResult result = plot(dir, {"study.in", "--out", out.file("figures")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, out.file("figures/convergence_0.svg") + "\n" +
                            out.file("figures/pareto_0_1_2.svg") + "\n");
  // The front: the members of the first rank in the last block of the Pareto file.
  std::vector<search::ParetoBlock> blocks;
  std::string error;
  ASSERT_TRUE(search::readParetoBlocks(dir.file("search0.pto"), blocks, error)) << error;
  ASSERT_FALSE(blocks.empty());
  const auto& ranks = blocks.back().ranks;
  const auto front = std::count(ranks.begin(), ranks.end(), *std::min_element(ranks.begin(), ranks.end()));
  const std::string summary = summaryOfFile(dir, out.file("figures/pareto_0_1_2.svg"));
  EXPECT_THAT(summary, HasLines("count circle.front " + std::to_string(front) + "\n"));
  EXPECT_THAT(summary, HasLines("text f\ntext f2\n"));
}

// ---------------------------------------------------------------------------------------
// The CSV and JSON tables of the results files

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

TEST(ExportTable, CsvQuotesFieldsAndJsonWritesNullsBothWithRoundTripNumbers) {
  EXPECT_EQ(csvText(smallTable()),
            "design,name,\"f, total\",note\n"
            "1,\"bracket, left\",0.10000000000000001,\"say \"\"hi\"\"\nthen go\"\n"
            "2,,nan,caf\xc3\xa9 \xff\n"
            "-9.9999999999999997e+98,,-inf,\n");
  EXPECT_EQ(csvText(ExportTable{{"a"}, {}}), "a\n");
  // JSON writes null for missing and non-finite values.
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
