// Two-level fractional factorial 2^(k-p): the k - p base factors form a full factorial in
// standard order and each of the p generated factors follows its generator word by the +-1
// product rule. Linear in the cells (2^(k-p) x k); 3 <= k <= 11.
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
const GeneratorTable& twoLevelTable() {
  static const GeneratorTable table = {
      {{3, 1}, {"AB"}},
      {{4, 1}, {"ABC"}},
      {{5, 1}, {"ABCD"}},
      {{5, 2}, {"AB", "AC"}},
      {{6, 1}, {"ABCDE"}},
      {{6, 2}, {"ABC", "BCD"}},
      {{6, 3}, {"AB", "AC", "BC"}},
      {{7, 1}, {"ABCDEF"}},
      {{7, 2}, {"ABCD", "ABDE"}},
      {{7, 3}, {"ABC", "BCD", "ACD"}},
      {{7, 4}, {"AB", "AC", "BC", "ABC"}},
      {{8, 1}, {"ABCDEFG"}},
      {{8, 2}, {"ABCD", "ABEF"}},
      {{8, 3}, {"ABC", "ABD", "BCDE"}},
      {{8, 4}, {"BCD", "ACD", "ABC", "ABD"}},
      {{9, 2}, {"ACDFG", "BCEFG"}},
      {{9, 3}, {"ABCD", "ACEF", "CDEF"}},
      {{9, 4}, {"BCDE", "ACDE", "ABDE", "ABCE"}},
      {{9, 5}, {"ABC", "BCD", "ACD", "ABD", "ABCD"}},
      {{10, 3}, {"ABCG", "BCDE", "ACDF"}},
      {{10, 4}, {"BCDF", "ACDF", "ABDE", "ABCE"}},
      {{10, 5}, {"ABCD", "ABCE", "ABDE", "ACDE", "BCDE"}},
      {{10, 6}, {"ABC", "BCD", "ACD", "ABD", "ABCD", "AB"}},
      {{11, 4}, {"ABCG", "BCDE", "ACDF", "ABCDEFG"}},
      {{11, 5}, {"CDE", "ABCD", "ABF", "BDEF", "ADEF"}},
      {{11, 6}, {"ABC", "BCD", "CDE", "ACD", "ADE", "BDE"}},
      {{11, 7}, {"ABC", "BCD", "ACD", "ABD", "ABCD", "AB", "AC"}},
  };
  return table;
}

}  // namespace

const std::vector<std::string>& twoLevelGenerators(int k, int p) {
  static const std::vector<std::string> none;
  const GeneratorTable& table = twoLevelTable();
  auto entry = table.find({k, p});
  return entry == table.end() ? none : entry->second;
}

bool buildTwoLevelFractional(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  const int p = request.generators;
  if (k < 2) {
    error = factorial::twoFactorsMessage("2 level Fractional Factorial", request.agentNumber);
    return false;
  }
  if (k < 3 || k > 11) {
    error = "\n\t Error, number of factors (" + std::to_string(k) + ") allowed is 3 - 11\n";
    return false;
  }
  const std::vector<std::string>& words = twoLevelGenerators(k, p);
  if (words.empty()) {
    error = factorial::generationMessage();
    return false;
  }
  const int base = k - p;
  // Each word as its base factors; every table word names base factors only.
  std::vector<std::vector<int>> wordFactors;
  for (const std::string& word : words) {
    std::vector<WordLetter> letters;
    doeParseWord(word, letters);
    std::vector<int> factors;
    for (const WordLetter& letter : letters) factors.push_back(letter.factor);
    wordFactors.push_back(std::move(factors));
  }
  if (!factorial::shapeArray(array, kDoeTwoLevelPartial, k, 1 << base, 2)) {
    error = factorial::allocationMessage("\n\t Error allocating DOE structure\n");
    return false;
  }
  factorial::fillStandardOrder(array, 2, base, 0);
  for (int r = 0; r < array.runs; ++r) {
    for (int g = 0; g < p; ++g) {
      // The product of the +-1 codes is +1 when an even number of its letters is at level 0.
      int lows = 0;
      for (int f : wordFactors[static_cast<std::size_t>(g)]) lows += array.level(r, f) == 0;
      array.level(r, base + g) = lows % 2 == 0 ? 1 : 0;
    }
  }
  return true;
}

}  // namespace karvo::doe
