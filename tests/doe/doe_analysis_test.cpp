// Tests of the results text of a design of experiments: the exact run table (failed runs
// included), the constant-response cut-off, the full two-level analysis of a hand-computed
// 2^3 factorial, a 2^(3-1) and a 2^(5-2) fraction and the signed aliases of an L4, the plot
// positions, the choice of the level-average table, and the plot-type refusal.
#include "doe/doe_analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "definitions/method_settings.h"
#include "doe/doe_columns.h"

namespace karvo::doe {
namespace {

// An array of `factors` factor columns from its rows of levels.
DoeArray arrayOf(int kind, const std::vector<int>& levels,
                 const std::vector<std::vector<int>>& rows) {
  DoeArray array;
  array.kind = kind;
  array.factors = static_cast<int>(levels.size());
  array.columns = array.factors;
  array.runs = static_cast<int>(rows.size());
  array.factorLevels = levels;
  for (int j = 0; j < array.factors; ++j) {
    array.factorOrder.push_back(j);
    array.columnNames.push_back(doeFactorName(j));
  }
  for (const std::vector<int>& row : rows)
    array.cells.insert(array.cells.end(), row.begin(), row.end());
  return array;
}

// The full factorial of `factors` factors with `levels` levels each in standard order
// (column j changes every levels^j runs).
DoeArray fullFactorial(int kind, int factors, int levels) {
  int runs = 1;
  for (int j = 0; j < factors; ++j) runs *= levels;
  std::vector<std::vector<int>> rows(static_cast<std::size_t>(runs));
  for (int r = 0; r < runs; ++r) {
    int rest = r;
    for (int j = 0; j < factors; ++j) {
      rows[static_cast<std::size_t>(r)].push_back(rest % levels);
      rest /= levels;
    }
  }
  return arrayOf(kind, std::vector<int>(static_cast<std::size_t>(factors), levels), rows);
}

std::string analyse(const DoeArray& array, const std::vector<double>& responses,
                    int plotType = kHalfNormalPlot, std::vector<char> present = {}) {
  DoeAnalysisInput input;
  input.array = &array;
  input.responses = responses;
  input.present = std::move(present);
  input.plotType = plotType;
  std::string error;
  std::string text = doeAnalysisText(input, error);
  EXPECT_EQ(error, "");
  return text;
}

// The text between `from` (included) and `to` (excluded; the end when absent).
std::string section(const std::string& text, const std::string& from, const std::string& to) {
  std::size_t begin = text.find(from);
  if (begin == std::string::npos) return "<no " + from + ">";
  std::size_t end = to.empty() ? std::string::npos : text.find(to, begin);
  return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

// Whether `text` is the run table alone (its bytes are pinned once, below): no blank line,
// one line per run after the five header lines.
bool tableOnly(const std::string& text, const DoeArray& array) {
  return text.rfind("DOE INFORMATION\n", 0) == 0 && text.find("\n\n") == std::string::npos &&
         std::count(text.begin(), text.end(), '\n') == 5 + array.runs;
}

// ---------------------------------------------------------------------------------------
// Run table and the constant-response cut-off

TEST(DoeAnalysisRunTable, ExactBytesWithAFailedRun) {
  DoeArray array = arrayOf(kDoeFile, {2, 2}, {{0, 1}, {1, 0}, {1, 1}});
  // One value: nothing to analyse beyond the table.
  std::string text = analyse(array, {1.5, 0.0, -2.25e10}, kHalfNormalPlot, {1, 0, 0});
  EXPECT_EQ(text,
            "DOE INFORMATION\n"
            "---------------\n"
            "Number of factors:     2\n"
            "Number of Runs:        3\n"
            "        A,           B,      Response\n"
            "     1,        0,           1,          1.50000000e+00\n"
            "     2,        1,           0,                  failed\n"
            "     3,        1,           1,                  failed\n");
}

TEST(DoeAnalysisRunTable, ResponsesWithinARelativeTenThousandthGiveOnlyTheTable) {
  DoeArray array = fullFactorial(kDoeTwoLevelFull, 2, 2);
  EXPECT_TRUE(tableOnly(analyse(array, {100.0, 100.009, 100.0, 100.005}), array));
  EXPECT_TRUE(tableOnly(analyse(array, {-100.0, -100.009, -100.0, -100.005}), array));
  EXPECT_TRUE(tableOnly(analyse(array, {0.0, 0.0, 0.0, 0.0}), array));
  // The failed run's value takes no part.
  std::string text = analyse(array, {5.0, 7.0, 5.0, 5.0}, kHalfNormalPlot, {1, 0, 1, 1});
  EXPECT_EQ(text.find("\n\n"), std::string::npos);
  EXPECT_NE(text.find("\n     2,        1,           0,                  failed\n"),
            std::string::npos);

  // Beyond the tolerance (or across zero) the analysis follows.
  for (const std::vector<double>& differ :
       {std::vector<double>{100.0, 100.011, 100.0, 100.0},
        std::vector<double>{0.0, 0.0, 1e-300, 0.0}, std::vector<double>{-1.0, 1.0, -1.0, 1.0}}) {
    EXPECT_NE(analyse(array, differ).find("\n\nIdentity Report: I\n"), std::string::npos);
  }
}

// ---------------------------------------------------------------------------------------
// Full two-level analysis

// y = 10 + 3A - 2B + 1.5AB in +-1 codes over the 2^3 full factorial (C has no effect):
// runs (A,B) = (-,-) 10.5, (+,-) 13.5, (-,+) 3.5, (+,+) 12.5, twice. Grand mean 10,
// total 2 (0.25 + 12.25 + 42.25 + 6.25) = 122; effects A 6, B -4, AB 3 (the doubled
// coefficients); SS = 8 effect^2 / 4: 72, 32, 18, which add up to the total.
std::vector<double> handResponses() {
  std::vector<double> y;
  for (int r = 0; r < 8; ++r) {
    double a = (r & 1) ? 1.0 : -1.0;
    double b = (r & 2) ? 1.0 : -1.0;
    y.push_back(10.0 + 3.0 * a - 2.0 * b + 1.5 * a * b);
  }
  return y;
}

TEST(DoeAnalysisTwoLevel, HandComputedFullFactorialHalfNormal) {
  DoeArray array = fullFactorial(kDoeTwoLevelFull, 3, 2);
  std::vector<double> y = handResponses();
  EXPECT_EQ(y, (std::vector<double>{10.5, 13.5, 3.5, 12.5, 10.5, 13.5, 3.5, 12.5}));
  std::string text = analyse(array, y, kHalfNormalPlot);
  EXPECT_EQ(
      section(text, "Identity", ""),
          "Identity Report: I\n"
          "\n\nAlias Table\n"
          "===========\n"
          "\n\n\nFINAL RESULTS\n\n"
          "Source, Avg Lev 0, Avg Lev 1, Effect,  SS, Contrib, avg_ll, avg_lh, avg_hl, avg_hh\n"
          "A, 7, 13, 6, 72, 0.590164,0, 0, 0, 0 \n"
          "B, 12, 8, -4, 32, 0.262295,0, 0, 0, 0 \n"
          "C, 10, 10, 0, 0, 0,0, 0, 0, 0 \n"
          "AB, 8.5, 11.5, 3, 18, 0.147541,10.5, 3.5, 13.5, 12.5 \n"
          "AC, 10, 10, 0, 0, 0,7, 7, 13, 13 \n"
          "BC, 10, 10, 0, 0, 0,12, 12, 8, 8 \n"
          "ABC, 10, 10, 0, 0, 0,0, 0, 0, 0 \n"
          "Error = 0\n"
          "Total = 122\n"
          "\n"
          "HALF NORMAL PLOT DATA\n"
          // Phi^-1(0.5 + 0.5 (i - 0.5) / 7), absolute effects ascending, ties
          // in term order.
          "C, 0.089642, 0\n"
          "AC, 0.271880, 0\n"
          "BC, 0.463708, 0\n"
          "ABC, 0.674490, 0\n"
          "AB, 0.920823, 3\n"
          "B, 1.241867, 4\n"
          "A, 1.802743, 6\n");
}

// A 2^(3-1) fraction with C = AB: the defining relation I = ABC aliases every main effect
// with the interaction of the other two.
TEST(DoeAnalysisTwoLevel, HalfFractionReportsItsDefiningRelationAndAliases) {
  DoeArray array =
      arrayOf(kDoeTwoLevelPartial, {2, 2, 2}, {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {1, 1, 1}});
  // (The generator word AB is not given: the analysis finds the relation from the columns.)
  std::string text = analyse(array, {4.0, 10.0, 2.0, 6.0}, kNormalPlot);  // mean 5.5, total 35
  EXPECT_EQ(
      section(text, "Identity", ""),
          "Identity Report: I = ABC\n"
          "\n\nAlias Table\n"
          "===========\n"
          "A = BC\n"
          "B = AC\n"
          "C = AB\n"
          "\n\n\nFINAL RESULTS\n\n"
          "Source, Avg Lev 0, Avg Lev 1, Effect,  SS, Contrib, avg_ll, avg_lh, avg_hl, avg_hh\n"
          "A, 3, 8, 5, 25, 0.714286,0, 0, 0, 0 \n"
          "B, 7, 4, -3, 9, 0.257143,0, 0, 0, 0 \n"
          "C, 6, 5, -1, 1, 0.0285714,0, 0, 0, 0 \n"
          "Error = 0\n"
          "Total = 35\n"
          "\n"
          "NORMAL PLOT DATA\n"
          // Phi^-1(1/6), Phi^-1(1/2), Phi^-1(5/6).
          "B, -0.967422, -3\n"
          "C, 0.000000, -1\n"
          "A, 0.967422, 5\n");
}

// The L4 orthogonal array (rows 111, 122, 212, 221, entries 1-based) has C = -AB in +-1
// codes: the relation is I = -ABC and every alias is opposite.
TEST(DoeAnalysisTwoLevel, OppositeColumnsAreWrittenWithAMinusSign) {
  DoeArray array = arrayOf(kDoeTaguchi, {2, 2, 2}, {{0, 0, 0}, {0, 1, 1}, {1, 0, 1}, {1, 1, 0}});
  EXPECT_EQ(section(analyse(array, {1.0, 2.0, 4.0, 7.0}), "Identity", "\n\n\nFINAL"),
            "Identity Report: I = -ABC\n"
            "\n\nAlias Table\n"
            "===========\n"
            "A = -BC\n"
            "B = -AC\n"
            "C = -AB\n");
}

// A 2^(5-2) fraction with D = AB and E = AC: the relation holds both generator words times
// their letters and their product, and each main effect lists its three aliases.
TEST(DoeAnalysisTwoLevel, QuarterFractionListsTheWholeDefiningRelation) {
  std::vector<std::vector<int>> rows;
  for (int r = 0; r < 8; ++r) {
    int a = r & 1, b = (r >> 1) & 1, c = (r >> 2) & 1;
    rows.push_back({a, b, c, a == b ? 1 : 0, a == c ? 1 : 0});
  }
  DoeArray array = arrayOf(kDoeTwoLevelPartial, {2, 2, 2, 2, 2}, rows);
  std::string text = analyse(array, {3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0});
  EXPECT_EQ(section(text, "Identity", "\n\n\nFINAL"),
            "Identity Report: I = ABD = ACE = BCDE\n"
            "\n\nAlias Table\n"
            "===========\n"
            "A = BD = CE = ABCDE\n"
            "B = AD = CDE = ABCE\n"
            "C = AE = BDE = ABCD\n"
            "D = AB = BCE = ACDE\n"
            "E = AC = BCD = ABDE\n"
            "BC = DE = ABE = ACD\n"
            "BE = CD = ABC = ADE\n");
  // Seven groups for seven degrees of freedom: nothing is left for the error.
  EXPECT_NE(text.find("\nError = 0\n"), std::string::npos);
}

// The largest full analysis: 13 factors, 8192 runs, 8191 terms, one plot line each.
TEST(DoeAnalysisTwoLevel, ThirteenFactorsAreAnalysedWholly) {
  DoeArray array = fullFactorial(kDoeTwoLevelFull, 13, 2);
  std::vector<double> y;
  for (int r = 0; r < array.runs; ++r)
    y.push_back(static_cast<double>((r * 7919) % 1009) + 0.25 * (r & 5));
  std::string text = analyse(array, y);
  std::istringstream lines(section(text, "HALF NORMAL PLOT DATA\n", ""));
  std::string line;
  int plotted = 0;
  while (std::getline(lines, line)) ++plotted;
  EXPECT_EQ(plotted, 1 + 8191);
  EXPECT_NE(text.find("\nError = 0\n"), std::string::npos);
  EXPECT_NE(text.find("\nABCDEFGHJKLMN, "), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Level averages and the arrays without analysis

TEST(DoeAnalysisLevelAverages, ThreeAndFiveLevelArraysAverageEachLevel) {
  DoeArray three = fullFactorial(kDoeThreeLevelFull, 2, 3);
  // y = 10 A + B over levels: A averages 1, 11, 21; B averages 10, 11, 12.
  std::vector<double> y;
  for (int r = 0; r < 9; ++r) y.push_back(10.0 * (r % 3) + (r / 3));
  EXPECT_EQ(section(analyse(three, y), "\nSource", ""),
            "\nSource, Avg Lev 0, Avg Lev 1, Avg Lev 2\n"
            "   A,   1.000000,  11.000000,  21.000000\n"
            "   B,  10.000000,  11.000000,  12.000000\n");
  // A central composite of k = 2: four factorial runs at levels 1/3, axial runs at 0/4, the
  // centre.
  DoeArray composite =
      arrayOf(kDoeCentralComposite, {5, 5},
              {{1, 1}, {3, 1}, {1, 3}, {3, 3}, {0, 2}, {4, 2}, {2, 0}, {2, 4}, {2, 2}});
  const std::vector<double> z = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.5};
  EXPECT_EQ(section(analyse(composite, z), "\nSource", ""),
            "\nSource, Avg Lev 0, Avg Lev 1, Avg Lev 2, Avg Lev 3, Avg Lev 4\n"
            "   A,   5.000000,   2.000000,   8.166667,   3.000000,   6.000000\n"
            "   B,   7.000000,   1.500000,   6.833333,   3.500000,   8.000000\n");
}

TEST(DoeAnalysisLevelAverages, TwoLevelArraysOutsideTheFullAnalysis) {
  std::vector<double> y = {1.0, 2.0, 4.0, 8.0};
  const std::string table =
      "\nSource, Avg Lev 0, Avg Lev 1\n"
      "   A,   2.500000,   5.000000\n"
      "   B,   1.500000,   6.000000\n";
  // Plackett-Burman, D-optimal and user arrays get the level averages.
  for (int kind : {kDoePlackettBurman, kDoeDOptimal, kDoeFile}) {
    DoeArray array = fullFactorial(kind, 2, 2);
    EXPECT_EQ(section(analyse(array, y), "\nSource", ""), table) << "kind " << kind;
  }
  // So does a full factorial with a failed run (averages over the others) ...
  DoeArray array = fullFactorial(kDoeTwoLevelFull, 2, 2);
  EXPECT_EQ(section(analyse(array, y, kHalfNormalPlot, {1, 1, 0, 1}), "\nSource", ""),
            "\nSource, Avg Lev 0, Avg Lev 1\n"
            "   A,   1.000000,   5.000000\n"
            "   B,   1.500000,   8.000000\n");
  // ... with "nan" where every run at a level failed,
  EXPECT_EQ(section(analyse(array, y, kHalfNormalPlot, {0, 1, 0, 1}), "\nSource", ""),
            "\nSource, Avg Lev 0, Avg Lev 1\n"
            "   A,        nan,   5.000000\n"
            "   B,   2.000000,   8.000000\n");
  // ... and one of 14 factors.
  DoeArray wide = fullFactorial(kDoeTwoLevelFull, 14, 2);
  std::vector<double> many;
  for (int r = 0; r < wide.runs; ++r) many.push_back(r % 2 == 0 ? 1.0 : 3.0);
  std::string text = analyse(wide, many);
  EXPECT_EQ(text.find("FINAL RESULTS"), std::string::npos);
  EXPECT_EQ(section(text, "\nSource", "\n   B,"),
            "\nSource, Avg Lev 0, Avg Lev 1\n   A,   1.000000,   3.000000");
}

TEST(DoeAnalysisLevelAverages, OtherLevelCountsGetOnlyTheRunTable) {
  // A Latin hypercube of 4 runs: 4 levels per factor.
  DoeArray latin = arrayOf(kDoeLatinHypercube, {4, 4}, {{0, 2}, {1, 0}, {2, 3}, {3, 1}});
  std::vector<double> y = {1.0, 2.0, 3.0, 5.0};
  EXPECT_TRUE(tableOnly(analyse(latin, y), latin));
  // A mixed array with one 4-level factor as well.
  DoeArray mixed = arrayOf(kDoeFile, {2, 4}, {{0, 0}, {1, 1}, {0, 2}, {1, 3}});
  EXPECT_TRUE(tableOnly(analyse(mixed, y), mixed));
}

// ---------------------------------------------------------------------------------------
// Refusal

TEST(DoeAnalysisPlotType, UnknownPlotTypeWritesNothing) {
  DoeArray array = fullFactorial(kDoeTwoLevelFull, 3, 2);
  for (int plotType : {-1, 2}) {
    DoeAnalysisInput input;
    input.array = &array;
    input.responses = handResponses();
    input.plotType = plotType;
    std::string error;
    EXPECT_EQ(doeAnalysisText(input, error), "");
    EXPECT_EQ(error,
              "Invalid normal plot type selected.\nError in selecting the normal plot type.");
  }
}

}  // namespace
}  // namespace karvo::doe
