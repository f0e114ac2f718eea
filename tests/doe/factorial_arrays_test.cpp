// The factorial arrays (two- and three-level full and fractional, Plackett-Burman, central
// composite), the user's array file, and the column names and words they share: defining
// properties for every size offered, the exact refusals, and the small cases worth seeing
// whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "definitions/method_settings.h"
#include "doe/doe_array.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "doe/fractional_generators.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace karvo::doe {
namespace {

DoeRequest requestFor(int factors, int generators = 0, int runs = 0) {
  DoeRequest request;
  request.agentNumber = 3;
  request.factors = factors;
  request.generators = generators;
  request.runs = runs;
  return request;
}

DoeArray built(DoeArrayBuilder builder, const DoeRequest& request) {
  DoeArray array;
  std::string error;
  EXPECT_TRUE(builder(request, array, error)) << error;
  EXPECT_EQ(error, "");
  return array;
}

std::string refusal(DoeArrayBuilder builder, const DoeRequest& request) {
  DoeArray array;
  std::string error;
  EXPECT_FALSE(builder(request, array, error));
  return error;
}

int power(int base, int exponent) {
  int value = 1;
  for (int i = 0; i < exponent; ++i) value *= base;
  return value;
}

// The record's fields agree with one another: k factor columns with `levels` levels, the
// identity order, the factor letters as names and every cell below its level count.
void expectShape(const DoeArray& array, int kind, int factors, int runs, int levels) {
  ASSERT_EQ(array.kind, kind);
  ASSERT_EQ(array.factors, factors);
  ASSERT_EQ(array.runs, runs);
  ASSERT_EQ(array.columns, factors);
  ASSERT_EQ(array.factorLevels, std::vector<int>(static_cast<std::size_t>(factors), levels));
  ASSERT_EQ(array.columnNames.size(), static_cast<std::size_t>(factors));
  ASSERT_EQ(array.factorOrder.size(), static_cast<std::size_t>(factors));
  for (int j = 0; j < factors; ++j) {
    EXPECT_EQ(array.factorOrder[static_cast<std::size_t>(j)], j);
    EXPECT_EQ(array.columnNames[static_cast<std::size_t>(j)], doeFactorName(j));
  }
  ASSERT_EQ(array.cells.size(), static_cast<std::size_t>(runs) * static_cast<std::size_t>(factors));
  for (std::int32_t cell : array.cells) {
    ASSERT_GE(cell, 0);
    ASSERT_LT(cell, levels);
  }
}

// Every pair of levels of columns a and b occurs runs / levels^2 times.
bool orthogonal(const DoeArray& array, int a, int b, int levels) {
  std::vector<int> counts(static_cast<std::size_t>(levels * levels), 0);
  for (int r = 0; r < array.runs; ++r) {
    ++counts[static_cast<std::size_t>(array.level(r, a) * levels + array.level(r, b))];
  }
  for (int count : counts) {
    if (count * levels * levels != array.runs) return false;
  }
  return true;
}

// Orthogonal columns (which makes every column balanced as well).
void expectBalancedAndOrthogonal(const DoeArray& array, int levels) {
  for (int a = 0; a < array.columns; ++a) {
    for (int b = a + 1; b < array.columns; ++b) {
      EXPECT_TRUE(orthogonal(array, a, b, levels)) << "columns " << a << ", " << b;
    }
  }
}

// Column j of the first base^columns rows steps every base^j rows (standard order).
void expectStandardOrder(const DoeArray& array, int base, int columns, int first = 0) {
  const int rows = power(base, columns);
  for (int r = 0; r < rows; ++r) {
    int rest = r;
    for (int j = 0; j < columns; ++j) {
      ASSERT_EQ(array.level(first + r, j), rest % base) << "run " << first + r << ", column " << j;
      rest /= base;
    }
  }
}

std::vector<int> wordFactors(const std::string& word) {
  std::vector<WordLetter> letters;
  EXPECT_TRUE(doeParseWord(word, letters)) << word;
  std::vector<int> factors;
  for (const WordLetter& letter : letters) {
    EXPECT_EQ(letter.power, 1) << word;
    factors.push_back(letter.factor);
  }
  return factors;
}

const std::string kGenerationError =
    "\n\t Error when generating fractional factorial array. \n"
    "\n\t Please check the number of factors and also the available "
    "\n\t generator values for the selected number of factors."
    "\nCannot continue.";

// ---------------------------------------------------------------------------------------
// Column names, words and interaction terms.

// The (factor, power) pairs of `word`; a refused word gives the one pair (-1, -1).
std::vector<std::pair<int, int>> parsed(const std::string& word) {
  std::vector<WordLetter> letters;
  if (!doeParseWord(word, letters)) return {{-1, -1}};
  std::vector<std::pair<int, int>> pairs;
  for (const WordLetter& letter : letters) pairs.emplace_back(letter.factor, letter.power);
  return pairs;
}

TEST(DoeColumnsTest, FactorNamesSkipIAndGainAnApostropheEvery25Factors) {
  EXPECT_EQ(doeFactorName(0), "A");
  EXPECT_EQ(doeFactorName(7), "H");
  EXPECT_EQ(doeFactorName(8), "J");
  EXPECT_EQ(doeFactorName(24), "Z");
  EXPECT_EQ(doeFactorName(25), "A'");  // the 26th factor
  EXPECT_EQ(doeFactorName(33), "J'");
  EXPECT_EQ(doeFactorName(50), "A''");
  for (int f = 0; f < 100; ++f) {
    const std::string name = doeFactorName(f);
    EXPECT_EQ(name.find('I'), std::string::npos) << name;
    EXPECT_EQ(parsed(name), (std::vector<std::pair<int, int>>{{f, 1}})) << name;
  }
}

TEST(DoeColumnsTest, WordsParseIntoFactorsWithPowersAndRefuseI) {
  EXPECT_EQ(parsed("AB^2C"), (std::vector<std::pair<int, int>>{{0, 1}, {1, 2}, {2, 1}}));
  EXPECT_EQ(parsed("A'JZ^2"), (std::vector<std::pair<int, int>>{{25, 1}, {8, 1}, {24, 2}}));
  std::vector<WordLetter> letters;
  for (const char* refused : {"AIB", "I", "AB^3", "AB^", "Ab", ""}) {
    EXPECT_FALSE(doeParseWord(refused, letters)) << refused;
  }
  EXPECT_EQ(doeWordName({0, 8, 25}), "AJA'");
}

TEST(DoeColumnsTest, InteractionTermsAreFormedPairsFirstEachByALaterFactor) {
  std::vector<std::string> names;
  for (const std::vector<int>& term : doeInteractionTerms(4, 3)) names.push_back(doeWordName(term));
  EXPECT_EQ(names, (std::vector<std::string>{"AB", "AC", "AD", "BC", "BD", "CD", "ABC", "ABD",
                                             "ACD", "BCD"}));
  EXPECT_EQ(doeInteractionTerms(4, 9).size(), 11u);  // order limited to the factors
  EXPECT_TRUE(doeInteractionTerms(4, 1).empty());
  EXPECT_TRUE(doeInteractionTerms(1, 2).empty());
}

// ---------------------------------------------------------------------------------------
// The factor counts each factorial builder refuses, with the exact texts.

TEST(FactorialBuildersTest, RefuseFactorCountsOutsideTheirRanges) {
  const auto few = [](const std::string& kind) {
    return "At least TWO factors need to be defined for using the " + kind + " DOE in agent # 3.";
  };
  const auto full = [](int k, const std::string& kind, const std::string& range) {
    return "\n\t Error, number of factors (" + std::to_string(k) + ") allowed for the " + kind +
           " DOE is " + range + ".\n";
  };
  const auto fraction = [](int k, const std::string& range) {
    return "\n\t Error, number of factors (" + std::to_string(k) + ") allowed is " + range + "\n";
  };
  struct Case {
    DoeArrayBuilder builder;
    DoeRequest request;
    std::string text;
  };
  const Case cases[] = {
      {buildTwoLevelFull, requestFor(1), few("2 level Full Factorial")},
      {buildTwoLevelFull, requestFor(0), few("2 level Full Factorial")},
      {buildTwoLevelFull, requestFor(25), full(25, "2 level Full Factorial", "2 - 24")},
      {buildThreeLevelFull, requestFor(1), few("3 level Full Factorial")},
      {buildThreeLevelFull, requestFor(16), full(16, "3 level Full Factorial", "2 - 15")},
      {buildCentralComposite, requestFor(1), few("Central Composite")},
      {buildCentralComposite, requestFor(21), full(21, "Central Composite", "2 - 20")},
      {buildTwoLevelFractional, requestFor(1, 1), few("2 level Fractional Factorial")},
      {buildTwoLevelFractional, requestFor(2, 1), fraction(2, "3 - 11")},
      {buildTwoLevelFractional, requestFor(12, 4), fraction(12, "3 - 11")},
      {buildThreeLevelFractional, requestFor(1, 1), few("3 level Fractional Factorial")},
      {buildThreeLevelFractional, requestFor(2, 1), fraction(2, "3 - 13")},
      {buildThreeLevelFractional, requestFor(14, 11), fraction(14, "3 - 13")},
      // Three-level pairs outside the table.
      {buildThreeLevelFractional, requestFor(7, 1), kGenerationError},
      {buildThreeLevelFractional, requestFor(13, 9), kGenerationError},
      {buildThreeLevelFractional, requestFor(4, 0), kGenerationError},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(refusal(c.builder, c.request), c.text)
        << c.request.factors << ", " << c.request.generators;
  }
}

// ---------------------------------------------------------------------------------------
// Two-level full factorial.

TEST(TwoLevelFullTest, EveryKIsInStandardOrderBalancedAndOrthogonal) {
  for (int k = 2; k <= 12; ++k) {
    SCOPED_TRACE("k = " + std::to_string(k));
    DoeArray array = built(buildTwoLevelFull, requestFor(k));
    expectShape(array, kDoeTwoLevelFull, k, 1 << k, 2);
    expectStandardOrder(array, 2, k);
    expectBalancedAndOrthogonal(array, 2);
  }
}

// ---------------------------------------------------------------------------------------
// Two-level fractional factorial.

// Every (k, p) pair with words: 27 pairs, each with p words over the k - p base letters.
std::vector<std::pair<int, int>> twoLevelPairs() {
  std::vector<std::pair<int, int>> pairs;
  for (int k = 3; k <= 11; ++k) {
    for (int p = 0; p <= k; ++p) {
      if (!twoLevelGenerators(k, p).empty()) pairs.emplace_back(k, p);
    }
  }
  return pairs;
}

TEST(TwoLevelFractionalTest, EveryPairHonoursItsWordsAndIsBalancedAndOrthogonal) {
  EXPECT_EQ(twoLevelGenerators(9, 2), (std::vector<std::string>{"ACDFG", "BCEFG"}));
  for (auto [k, p] : twoLevelPairs()) {
    SCOPED_TRACE("k = " + std::to_string(k) + ", p = " + std::to_string(p));
    DoeArray array = built(buildTwoLevelFractional, requestFor(k, p));
    const int base = k - p;
    expectShape(array, kDoeTwoLevelPartial, k, 1 << base, 2);
    expectStandardOrder(array, 2, base);
    const std::vector<std::string>& words = twoLevelGenerators(k, p);
    for (int g = 0; g < p; ++g) {
      std::vector<int> factors = wordFactors(words[static_cast<std::size_t>(g)]);
      for (int r = 0; r < array.runs; ++r) {
        ASSERT_EQ(doeTwoLevelCode(array.level(r, base + g)), doeWordSign(array, factors, r))
            << words[static_cast<std::size_t>(g)] << ", run " << r;
      }
    }
    expectBalancedAndOrthogonal(array, 2);
  }
}

TEST(TwoLevelFractionalTest, RefusesPairsOutsideTheTable) {
  int refused = 0;
  for (int k = 3; k <= 11; ++k) {
    for (int p = -1; p <= k + 1; ++p) {
      if (!twoLevelGenerators(k, p).empty()) continue;
      EXPECT_EQ(refusal(buildTwoLevelFractional, requestFor(k, p)), kGenerationError)
          << k << ", " << p;
      ++refused;
    }
  }
  EXPECT_EQ(refused, 9 * 3 + (3 + 4 + 5 + 6 + 7 + 8 + 9 + 10 + 11) - 27);
}

// ---------------------------------------------------------------------------------------
// Three-level full and fractional factorials.

TEST(ThreeLevelFullTest, EveryKIsInStandardOrderBalancedAndOrthogonal) {
  for (int k = 2; k <= 7; ++k) {
    SCOPED_TRACE("k = " + std::to_string(k));
    DoeArray array = built(buildThreeLevelFull, requestFor(k));
    expectShape(array, kDoeThreeLevelFull, k, power(3, k), 3);
    expectStandardOrder(array, 3, k);
    expectBalancedAndOrthogonal(array, 3);
  }
}

std::vector<std::pair<int, int>> threeLevelPairs() {
  std::vector<std::pair<int, int>> pairs;
  for (int k = 3; k <= 13; ++k) {
    for (int p = 0; p <= k; ++p) {
      if (!threeLevelGenerators(k, p).empty()) pairs.emplace_back(k, p);
    }
  }
  return pairs;
}

TEST(ThreeLevelFractionalTest, EveryPairFollowsItsWordsModThreeAndIsOrthogonal) {
  EXPECT_EQ(threeLevelPairs().size(), 18u);
  for (auto [k, p] : threeLevelPairs()) {
    SCOPED_TRACE("k = " + std::to_string(k) + ", p = " + std::to_string(p));
    const std::vector<std::string>& words = threeLevelGenerators(k, p);
    ASSERT_EQ(static_cast<int>(words.size()), p);
    DoeArray array = built(buildThreeLevelFractional, requestFor(k, p));
    const int base = k - p;
    expectShape(array, kDoeThreeLevelPartial, k, power(3, base), 3);
    expectStandardOrder(array, 3, base);
    for (int g = 0; g < p; ++g) {
      std::vector<WordLetter> letters;
      ASSERT_TRUE(doeParseWord(words[static_cast<std::size_t>(g)], letters));
      for (const WordLetter& letter : letters) ASSERT_LT(letter.factor, base);
      for (int r = 0; r < array.runs; ++r) {
        int sum = 0;
        for (const WordLetter& letter : letters) sum += letter.power * array.level(r, letter.factor);
        ASSERT_EQ(array.level(r, base + g), sum % 3) << words[static_cast<std::size_t>(g)];
      }
    }
    expectBalancedAndOrthogonal(array, 3);
  }
}

// ---------------------------------------------------------------------------------------
// Plackett-Burman.

struct PlackettBurmanCase {
  int runs;
  int minFactors;
  int maxFactors;
  std::string row;  // the cyclic generating row; empty for the doubled arrays
};

// The cyclic sizes; the 40-, 48- and 64-run arrays are built by doubling (row empty).
std::vector<PlackettBurmanCase> plackettBurmanCases() {
  return {
      {12, 4, 11, "++-+++---+-"},
      {20, 5, 19, "++--++++-+-+----++-"},
      {24, 5, 23, "+++++-+-++--++--+-+----"},
      {36, 6, 35, "-+-+++---+++++-+++--+----+-+-++--+-"},
      {40, 6, 39, ""},
      {48, 6, 47, ""},
      {64, 6, 63, ""},
  };
}

TEST(PlackettBurmanTest, EveryRunCountIsBalancedAndOrthogonalAndTheSmallOnesAreCyclic) {
  for (const PlackettBurmanCase& c : plackettBurmanCases()) {
    for (int k : {c.minFactors, c.maxFactors}) {
      SCOPED_TRACE("n = " + std::to_string(c.runs) + ", k = " + std::to_string(k));
      DoeArray array = built(buildPlackettBurman, requestFor(k, 0, c.runs));
      expectShape(array, kDoePlackettBurman, k, c.runs, 2);
      expectBalancedAndOrthogonal(array, 2);
      if (c.row.empty()) {
        if (k != c.maxFactors) continue;
        // With every column in use no two runs are alike (a doubled array whose halves
        // repeated each other would fail here).
        std::set<std::vector<int>> runs;
        for (int r = 0; r < array.runs; ++r) {
          std::vector<int> run;
          for (int j = 0; j < k; ++j) run.push_back(array.level(r, j));
          runs.insert(run);
        }
        EXPECT_EQ(static_cast<int>(runs.size()), array.runs);
        continue;
      }
      const int cycle = c.runs - 1;
      ASSERT_EQ(static_cast<int>(c.row.size()), cycle);
      for (int r = 0; r < cycle; ++r) {
        for (int j = 0; j < k; ++j) {
          const char sign = c.row[static_cast<std::size_t>((r - j + cycle) % cycle)];
          ASSERT_EQ(array.level(r, j), sign == '+' ? 1 : 0) << "run " << r << ", column " << j;
        }
      }
      for (int j = 0; j < k; ++j) EXPECT_EQ(array.level(cycle, j), 0);
    }
  }
}

TEST(PlackettBurmanTest, RefusesRunCountsAndFactorCountsOutsideTheTable) {
  for (int runs : {0, 8, 16, 28, 63, 128}) {
    EXPECT_EQ(refusal(buildPlackettBurman, requestFor(6, 0, runs)),
              "\n\t Invalid number of runs for Plackett-Burman design (" + std::to_string(runs) +
                  ").\n"
                  "\n\t Only number of runs allowed are: 12, 20, 24, 36, 40, 48 and 64.\n");
  }
  for (const PlackettBurmanCase& c : plackettBurmanCases()) {
    const std::string range = "\n\t Factors must be in range [" + std::to_string(c.minFactors) +
                              ", " + std::to_string(c.maxFactors) + "].\n";
    for (int k : {1, c.minFactors - 1, c.maxFactors + 1}) {
      EXPECT_EQ(refusal(buildPlackettBurman, requestFor(k, 0, c.runs)),
                "\n\t Invalid number of factors(" + std::to_string(k) + ") for " +
                    std::to_string(c.runs) + " run Plackett-Burman design.\n" + range);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Central composite.

TEST(CentralCompositeTest, EveryKHasCornersAxialPairsAndTheCentre) {
  for (int k = 2; k <= 8; ++k) {
    SCOPED_TRACE("k = " + std::to_string(k));
    DoeArray array = built(buildCentralComposite, requestFor(k));
    const int corners = 1 << k;
    expectShape(array, kDoeCentralComposite, k, corners + 2 * k + 1, 5);
    for (int r = 0; r < corners; ++r) {
      for (int j = 0; j < k; ++j) {
        ASSERT_EQ(array.level(r, j), ((r >> j) & 1) ? 3 : 1) << "run " << r;
      }
    }
    for (int j = 0; j < k; ++j) {
      for (int i = 0; i < 2 * k + 1; ++i) {
        const int r = corners + i;
        int expected = 2;
        if (i == 2 * j) expected = 0;
        if (i == 2 * j + 1) expected = 4;
        ASSERT_EQ(array.level(r, j), expected) << "run " << r << ", factor " << j;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// The user's array file.

class FileArrayTest : public ::testing::Test {
 protected:
  DoeRequest request(int factors) {
    DoeRequest r = requestFor(factors);
    r.folder = dir_.path();
    return r;
  }
  std::string path() const { return dir_.path() + "/Doe_input.in"; }
  void write(const std::string& content) { karvo::testing::writeFile(path(), content); }
  std::string lineError(int line, const std::string& what) const {
    return "\n\t Error in DOE file " + path() + ", line " + std::to_string(line) + ": " + what +
           "\n";
  }

  karvo::testing::TempDir dir_{"karvo-doe-file"};
};

TEST_F(FileArrayTest, ReadsTheRunsOfTheFile) {
  write("4 3 3\n0 1 2\n2\t2 1\r\n\n  1 0 0  \n0 0 1");
  DoeArray array = built(buildFileArray, request(3));
  expectShape(array, kDoeFile, 3, 4, 3);
  EXPECT_EQ(array.cells, (std::vector<std::int32_t>{0, 1, 2, 2, 2, 1, 1, 0, 0, 0, 0, 1}));
}

TEST_F(FileArrayTest, RefusesAMissingFile) {
  EXPECT_EQ(refusal(buildFileArray, request(2)), "\n\t Could not open DOE file: " + path() + "\n");
  ASSERT_TRUE(platform::makeDirectory(path()));  // a folder of that name is no file either
  EXPECT_EQ(refusal(buildFileArray, request(2)), "\n\t Could not open DOE file: " + path() + "\n");
}

// Too few factors, and each fault of the file with its exact text and the line it is on.
TEST_F(FileArrayTest, RefusesAFaultyFileWithItsLine) {
  const std::string file = "\n\t Error in DOE file " + path() + ": ";
  const std::string counts = "expected three integers (runs, factors, levels), found ";
  struct Case {
    const char* content;
    int factors;
    std::string text;
  };
  const Case cases[] = {
      {"1 1 2\n0\n", 1,
       "At least TWO factors need to be defined for using the User Defined DOE in agent # 3."},
      {"", 2, file + "the file is empty; its first line must hold the number of runs, factors and "
                     "levels.\n"},
      {"2 2\n0 1\n1 0\n", 2, lineError(1, counts + "\"2 2\".")},
      {"\n2 2 2 2\n0 1\n1 0\n", 2, lineError(2, counts + "\"2 2 2 2\".")},
      {"0 2 2\n", 2, lineError(1, "the number of runs (0) must be at least 1.")},
      {"2 3 2\n0 1 1\n1 0 1\n", 2,
       lineError(1, "the number of factors (3) differs from the 2 factors of agent # 3.")},
      {"2 2 1\n0 0\n0 0\n", 2, lineError(1, "the number of levels (1) must be at least 2.")},
      {"2 3 2\n0 1 1\n1 0\n", 3,
       lineError(3, "run 2 holds 2 level indices (\"1 0\"), expected 3.")},
      {"2 3 2\n0 1 1 0\n1 0 1\n", 3,
       lineError(2, "run 1 holds 4 level indices (\"0 1 1 0\"), expected 3.")},
      {"2 3 2\n0 1 1.0\n1 0 1\n", 3,
       lineError(2, "the level of factor C (\"1.0\") is not an integer.")},
      {"2 3 2\n0 1 1\n1 0 2\n", 3, lineError(3, "the level of factor C (2) is outside 0 - 1.")},
      {"2 3 2\n-1 1 1\n1 0 1\n", 3, lineError(2, "the level of factor A (-1) is outside 0 - 1.")},
      {"3 2 2\n0 1\n\n1 0\n", 2,
       file + "the file ends after 2 of the 3 runs given on the first line.\n"},
      {"2 2 2\n0 1\n1 0\n1 1\n", 2,
       lineError(4, "more runs than the 2 given on the first line: \"1 1\".")},
      // A run count far beyond the file is refused without allocating for it.
      {"2000000000 2 2\n0 1\n", 2,
       file + "the file ends after 1 of the 2000000000 runs given on the first line.\n"},
  };
  for (const Case& c : cases) {
    write(c.content);
    EXPECT_EQ(refusal(buildFileArray, request(c.factors)), c.text) << c.content;
  }
}

}  // namespace
}  // namespace karvo::doe
