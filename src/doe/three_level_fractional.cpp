// Three-level fractional factorial 3^(k-p): the k - p base factors form a three-level full
// factorial in standard order and each generated factor takes the sum of coefficient x base level
// mod 3 of its word ("AB^2C": A + 2B + C). Linear in the cells (3^(k-p) x k); 3 <= k <= 13.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/factorial_internal.h"
#include "doe/fractional_generators.h"

namespace karvo::doe {

namespace {

using GeneratorTable = std::map<std::pair<int, int>, std::vector<std::string>>;

// (k, p) -> the words of factors k - p .. k - 1.
const GeneratorTable& threeLevelTable() {
  static const GeneratorTable table = {
      {{3, 1}, {"AB"}},
      {{4, 1}, {"ABC"}},
      {{4, 2}, {"AB", "AB^2"}},
      {{5, 1}, {"ABCD"}},
      {{5, 2}, {"AB", "AB^2C"}},
      {{6, 2}, {"ABC", "AB^2D"}},
      {{6, 3}, {"AB", "AB^2C", "AB^2C^2"}},
      {{7, 3}, {"ABC", "ABD", "AB^2C^2D"}},
      {{7, 4}, {"AB", "AC^2", "BC^2", "AB^2C^2"}},
      {{8, 4}, {"ABC", "ABD", "AB^2C^2D", "AB^2CD^2"}},
      {{8, 5}, {"AB", "ABC", "AB^2C", "AC^2", "BC^2"}},
      {{9, 5}, {"ABC", "ABD", "AB^2C^2D", "AB^2CD^2", "AC^2D^2"}},
      {{9, 6}, {"AB", "ABC", "AB^2C", "AC^2", "BC^2", "AB^2C^2"}},
      {{10, 6}, {"ABC", "ABD", "AB^2C^2D", "AB^2CD^2", "AC^2D^2", "BC^2D^2"}},
      {{10, 7}, {"AB", "AC", "BC", "ABC", "AC^2", "BC^2", "ABC^2"}},
      {{11, 8}, {"AB", "AC", "BC", "ABC", "AC^2", "BC^2", "ABC^2", "AB^2"}},
      {{12, 9}, {"AB", "AC", "BC", "ABC", "AC^2", "BC^2", "ABC^2", "AB^2", "AB^2C"}},
      {{13, 10},
       {"AB", "AC", "BC", "ABC", "AC^2", "BC^2", "ABC^2", "AB^2", "AB^2C", "AB^2C^2"}},
  };
  return table;
}

}  // namespace

const std::vector<std::string>& threeLevelGenerators(int k, int p) {
  static const std::vector<std::string> none;
  const GeneratorTable& table = threeLevelTable();
  auto entry = table.find({k, p});
  return entry == table.end() ? none : entry->second;
}

bool buildThreeLevelFractional(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  const int p = request.generators;
  if (k < 2) {
    error = factorial::twoFactorsMessage("3 level Fractional Factorial", request.agentNumber);
    return false;
  }
  if (k < 3 || k > 13) {
    error = "\n\t Error, number of factors (" + std::to_string(k) + ") allowed is 3 - 13\n";
    return false;
  }
  const std::vector<std::string>& words = threeLevelGenerators(k, p);
  if (words.empty()) {
    error = factorial::generationMessage();
    return false;
  }
  const int base = k - p;
  std::vector<std::vector<WordLetter>> wordLetters(words.size());
  for (std::size_t g = 0; g < words.size(); ++g) doeParseWord(words[g], wordLetters[g]);
  int runs = 1;
  for (int j = 0; j < base; ++j) runs *= 3;
  if (!factorial::shapeArray(array, kDoeThreeLevelPartial, k, runs, 3)) {
    error = factorial::allocationMessage("\n\t Memory allocation error for three level DOE.\n");
    return false;
  }
  factorial::fillStandardOrder(array, 3, base, 0);
  for (int r = 0; r < runs; ++r) {
    for (int g = 0; g < p; ++g) {
      int sum = 0;
      for (const WordLetter& letter : wordLetters[static_cast<std::size_t>(g)]) {
        sum += letter.power * array.level(r, letter.factor);
      }
      array.level(r, base + g) = sum % 3;
    }
  }
  return true;
}

}  // namespace karvo::doe
