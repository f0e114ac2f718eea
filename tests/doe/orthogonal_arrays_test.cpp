// Tests of the orthogonal (Taguchi) arrays: every table of the catalogue, all of its columns,
// is a balanced strength-2 array of the listed size; L4 and L8 hold their printed rows; the
// builder keeps the columns of the study's factors, moves the 2-level factors of a mixed
// table to the front and refuses factors beyond either end of every range with the exact
// message texts.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "definitions/method_settings.h"
#include "doe/doe_array.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "doe/orthogonal_array_internal.h"

namespace karvo::doe {
namespace {

// The names with their factor ranges, as a study sees them.
struct Expected {
  const char* name;
  int minFactors;
  int maxFactors;
};

const Expected kExpected[] = {
    {"L4", 2, 3},    {"L8", 4, 7},    {"L12", 6, 11},  {"L16", 8, 15},  {"L32", 16, 31},
    {"L72", 7, 36},  {"L80", 7, 40},  {"L88", 7, 44},  {"L96", 7, 48},  {"L104", 7, 52},
    {"L112", 7, 56}, {"L120", 7, 60}, {"L128", 8, 64}, {"L9", 2, 4},    {"L18", 3, 8},
    {"L27", 3, 13},  {"L36", 4, 16},  {"L81", 4, 40},
};

const std::string kUnknownTail =
    "Valid names are (L4, L8, L12, L16, L32, L72, L80, L88, L96, L104, L112, L120, L128, L9, "
    "L18, L27, L36, L81.";

// Every pair of columns holds each pair of their levels in the same number of runs
// (strength 2, which makes every column balanced as well).
template <typename Cell>
void expectStrengthTwo(int runs, const std::vector<int>& levels, Cell cell) {
  const int columns = static_cast<int>(levels.size());
  ASSERT_GE(columns, 2);
  for (int a = 0; a < columns; ++a) {
    const int sa = levels[static_cast<std::size_t>(a)];
    for (int b = a + 1; b < columns; ++b) {
      const int sb = levels[static_cast<std::size_t>(b)];
      std::vector<int> counts(static_cast<std::size_t>(sa * sb), 0);
      for (int r = 0; r < runs; ++r) {
        const int u = cell(r, a);
        const int v = cell(r, b);
        ASSERT_TRUE(u >= 0 && u < sa && v >= 0 && v < sb) << "run " << r << ", columns " << a
                                                          << ", " << b;
        ++counts[static_cast<std::size_t>(u * sb + v)];
      }
      for (int n : counts) ASSERT_EQ(n * sa * sb, runs) << "columns " << a << ", " << b;
    }
  }
}

DoeRequest requestFor(const std::string& name, int factors, std::vector<int> levelLists = {}) {
  DoeRequest request;
  request.kind = kDoeTaguchi;
  request.agentNumber = 3;
  request.factors = factors;
  request.taguchiArray = name;
  if (levelLists.empty()) {
    const OrthogonalTableInfo* info = orthogonalTableFind(name);
    int levels = info != nullptr && info->twoLevelColumns > 0 && !info->mixed() ? 2 : 3;
    levelLists.assign(static_cast<std::size_t>(factors), levels);
  }
  request.factorLevelLists = std::move(levelLists);
  return request;
}

std::string refusal(const DoeRequest& request) {
  DoeArray array;
  std::string error;
  EXPECT_FALSE(buildOrthogonalArray(request, array, error));
  return error;
}

std::vector<std::string> rowsOf(const DoeArray& array) {
  std::vector<std::string> rows;
  for (int r = 0; r < array.runs; ++r) {
    std::string row;
    for (int c = 0; c < array.columns; ++c) row += static_cast<char>('1' + array.level(r, c));
    rows.push_back(row);
  }
  return rows;
}

// ---------------------------------------------------------------------------------------
// The whole tables

TEST(OrthogonalTables, EveryTableIsABalancedStrengthTwoArrayOfItsSize) {
  for (const OrthogonalTableInfo& info : orthogonalTableCatalog()) {
    SCOPED_TRACE(std::string(info.name));
    const OrthogonalTable table = orthogonalTableBuild(info);
    ASSERT_EQ(table.runs, info.runs);
    ASSERT_EQ(table.columns, info.twoLevelColumns + info.threeLevelColumns);
    EXPECT_GE(table.columns, info.maxFactors);
    ASSERT_EQ(table.levels.size(), static_cast<std::size_t>(table.columns));
    ASSERT_EQ(table.cells.size(),
              static_cast<std::size_t>(table.runs) * static_cast<std::size_t>(table.columns));
    for (int c = 0; c < table.columns; ++c) {
      EXPECT_EQ(table.levels[static_cast<std::size_t>(c)], c < info.twoLevelColumns ? 2 : 3)
          << "column " << c;
    }
    expectStrengthTwo(table.runs, table.levels,
                      [&table](int r, int c) { return table.level(r, c); });
  }
}

TEST(OrthogonalTables, ThreeLevelTablesStartWithTheirFullFactorialColumns) {
  // L9: A, B, then A + B and 2A + B mod 3 (the two interaction columns of A and B).
  const OrthogonalTable l9 = orthogonalTableBuild(*orthogonalTableFind("L9"));
  for (int r = 0; r < 9; ++r) {
    int a = r / 3;
    int b = r % 3;
    EXPECT_EQ(l9.level(r, 0), a);
    EXPECT_EQ(l9.level(r, 1), b);
    EXPECT_EQ(l9.level(r, 2), (a + b) % 3);
    EXPECT_EQ(l9.level(r, 3), (2 * a + b) % 3);
  }
}

// ---------------------------------------------------------------------------------------
// The builder

TEST(OrthogonalArray, L4AndL8HoldTheirPrintedRows) {
  DoeArray array;
  std::string error;
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L4", 3), array, error)) << error;
  EXPECT_EQ(rowsOf(array), (std::vector<std::string>{"111", "122", "212", "221"}));
  EXPECT_EQ(array.kind, kDoeTaguchi);
  EXPECT_EQ(array.columnNames, (std::vector<std::string>{"A", "B", "C"}));

  ASSERT_TRUE(buildOrthogonalArray(requestFor("L8", 7), array, error)) << error;
  EXPECT_EQ(rowsOf(array), (std::vector<std::string>{"1111111", "2121212", "1221122", "2211221",
                                                     "1112222", "2122121", "1222211", "2212112"}));
  EXPECT_EQ(error, "");
}

TEST(OrthogonalArray, FactorsBeyondEitherEndOfTheRangeAreRefused) {
  for (const Expected& e : kExpected) {
    for (int k : {e.minFactors - 1, e.maxFactors + 1}) {
      if (k < 2) continue;  // the two-factor rule speaks first
      SCOPED_TRACE(std::string(e.name) + " with " + std::to_string(k) + " factors");
      EXPECT_EQ(refusal(requestFor(e.name, k)),
                "The number of factors must be between " + std::to_string(e.minFactors) + " and " +
                    std::to_string(e.maxFactors) + " for using the " + e.name +
                    " taguchi array. Found " + std::to_string(k) + ".");
    }
  }
}

// The columns of `array` are the table columns `columns` of `name`, run by run.
void expectTableColumns(const DoeArray& array, const char* name, const std::vector<int>& columns) {
  const OrthogonalTable table = orthogonalTableBuild(*orthogonalTableFind(name));
  ASSERT_EQ(array.runs, table.runs);
  ASSERT_EQ(array.columns, static_cast<int>(columns.size()));
  for (int r = 0; r < array.runs; ++r) {
    for (int c = 0; c < array.columns; ++c) {
      ASSERT_EQ(array.level(r, c), table.level(r, columns[static_cast<std::size_t>(c)]))
          << "run " << r << " column " << c;
    }
  }
}

// Pure tables lay every factor on their levels whatever its list; mixed tables move the
// 2-level factors to the front.
TEST(OrthogonalArray, PureTablesKeepTheOrderAndMixedTablesMoveTheTwoLevelFactorsToTheFront) {
  DoeArray array;
  std::string error;
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L9", 3, {2, 5, 3}), array, error)) << error;
  EXPECT_EQ(array.factorLevels, (std::vector<int>{3, 3, 3}));
  EXPECT_EQ(array.factorOrder, (std::vector<int>{0, 1, 2}));
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L12", 6, {3, 3, 2, 4, 2, 2}), array, error))
      << error;
  EXPECT_EQ(array.factorLevels, (std::vector<int>(6, 2)));
  EXPECT_EQ(array.factorOrder, (std::vector<int>{0, 1, 2, 3, 4, 5}));

  // L18: the one 2-level factor (request factor 2) goes to the 2-level column 0; a list of
  // five entries counts as a 3-level factor.
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L18", 5, {3, 3, 2, 3, 5}), array, error)) << error;
  EXPECT_EQ(array.factorOrder, (std::vector<int>{2, 0, 1, 3, 4}));
  EXPECT_EQ(array.factorLevels, (std::vector<int>{2, 3, 3, 3, 3}));
  EXPECT_EQ(array.columnNames, (std::vector<std::string>{"A", "B", "C", "D", "E"}));
  expectTableColumns(array, "L18", {0, 1, 2, 3, 4});

  // Without a 2-level factor the 3-level factors still take the 3-level columns.
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L18", 3, {3, 3, 3}), array, error)) << error;
  EXPECT_EQ(array.factorOrder, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(array.factorLevels, (std::vector<int>{3, 3, 3}));
  expectTableColumns(array, "L18", {1, 2, 3});

  // L36: three 2-level factors from the middle and the end, in their order.
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L36", 7, {3, 2, 3, 2, 3, 3, 2}), array, error))
      << error;
  EXPECT_EQ(array.factorOrder, (std::vector<int>{1, 3, 6, 0, 2, 4, 5}));
  EXPECT_EQ(array.factorLevels, (std::vector<int>{2, 2, 2, 3, 3, 3, 3}));
  expectTableColumns(array, "L36", {0, 1, 2, 3, 4, 5, 6});

  // Two 2-level factors of L36 leave its third 2-level column unused; a pure table with fewer
  // factors keeps its leading columns.
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L36", 4, {3, 3, 2, 2}), array, error)) << error;
  EXPECT_EQ(array.factorOrder, (std::vector<int>{2, 3, 0, 1}));
  expectTableColumns(array, "L36", {0, 1, 3, 4});
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L8", 4), array, error)) << error;
  expectTableColumns(array, "L8", {0, 1, 2, 3});

  // All sixteen columns.
  std::vector<int> lists(16, 3);
  lists[15] = lists[7] = lists[0] = 2;
  ASSERT_TRUE(buildOrthogonalArray(requestFor("L36", 16, lists), array, error)) << error;
  EXPECT_EQ(array.factorOrder,
            (std::vector<int>{0, 7, 15, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14}));
  expectTableColumns(array, "L36", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
  EXPECT_EQ(error, "");
}

// The other refusals, each with its exact text: fewer than two factors before the name, an
// unknown name with the list of names, a factor count checked on the 3-level list of a mixed
// table, and the level counts a mixed table cannot take.
TEST(OrthogonalArray, RefusesNamesAndLevelCountsTheTableCannotTake) {
  DoeRequest none = requestFor("L99", 0);
  none.agentNumber = 12;
  std::vector<int> fifteen(15, 3);
  fifteen[4] = 2;
  const std::pair<DoeRequest, std::string> cases[] = {
      {none, "At least TWO factors need to be defined for using the Orthogonal Array DOE in "
             "agent # 12."},
      {requestFor("l8", 4, std::vector<int>(4, 2)),
       "Error in the study input data. The Taguchi Array Name specified (l8) is not "
       "supported.\n" + kUnknownTail},
      {requestFor("L18", 9, {2, 3, 3, 3, 3, 3, 3, 3, 3}),
       "The number of factors must be between 3 and 8 for using the L18 taguchi array. Found 9."},
      {requestFor("L18", 3, {2, 3, 2}),
       "\n\t Error in the DOE definition. The Taguchi Array L18 requires selecting at least 2 3 "
       "level variables.\n\t Found 1 3 level variables."},
      {requestFor("L18", 4, {2, 3, 2, 3}),
       "\n\t Error in the DOE definition. The Taguchi Array L18 only allows 1 2 level "
       "variables.\n\t Found 2 2 level variables."},
      {requestFor("L18", 8, std::vector<int>(8, 3)),
       "\n\t Error in the DOE definition. The Taguchi Array L18 only allows 7 3 level variables."},
      {requestFor("L36", 15, fifteen),
       "\n\t Error in the DOE definition. The Taguchi Array L36 only allows 13 3 level variables."},
  };
  for (const auto& [request, text] : cases) EXPECT_EQ(refusal(request), text);
  // Two 3-level factors are enough.
  DoeArray array;
  std::string error;
  EXPECT_TRUE(buildOrthogonalArray(requestFor("L36", 5, {2, 2, 2, 3, 3}), array, error)) << error;
}

}  // namespace
}  // namespace karvo::doe
