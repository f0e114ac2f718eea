// Column names and words of the design-of-experiments arrays; see doe_columns.h.
#include "doe/doe_columns.h"

namespace karvo::doe {

std::string doeFactorName(int factor) {
  int letter = factor % 25;
  std::string name(1, static_cast<char>('A' + letter + (letter >= 8 ? 1 : 0)));
  name.append(static_cast<std::size_t>(factor / 25), '\'');
  return name;
}

bool doeParseWord(const std::string& word, std::vector<WordLetter>& letters) {
  letters.clear();
  std::size_t i = 0;
  while (i < word.size()) {
    char c = word[i];
    if (c < 'A' || c > 'Z' || c == 'I') return false;
    int letter = c - 'A' - (c > 'I' ? 1 : 0);
    ++i;
    int primes = 0;
    while (i < word.size() && word[i] == '\'') {
      ++primes;
      ++i;
    }
    WordLetter entry;
    entry.factor = letter + 25 * primes;
    if (i < word.size() && word[i] == '^') {
      if (i + 1 >= word.size() || word[i + 1] != '2') return false;
      entry.power = 2;
      i += 2;
    }
    letters.push_back(entry);
  }
  return !letters.empty();
}

void doeShapeFactors(DoeArray& array, int kind, int factors, int runs, int levels) {
  array.kind = kind;
  array.factors = factors;
  array.runs = runs;
  array.columns = factors;
  array.factorLevels.assign(static_cast<std::size_t>(factors), levels);
  array.factorOrder.resize(static_cast<std::size_t>(factors));
  array.columnNames.resize(static_cast<std::size_t>(factors));
  for (int j = 0; j < factors; ++j) {
    array.factorOrder[static_cast<std::size_t>(j)] = j;
    array.columnNames[static_cast<std::size_t>(j)] = doeFactorName(j);
  }
}

std::string doeWordName(const std::vector<int>& factors) {
  std::string name;
  for (int f : factors) name += doeFactorName(f);
  return name;
}

int doeWordSign(const DoeArray& array, const std::vector<int>& factors, int run) {
  int sign = 1;
  for (int f : factors) sign *= doeTwoLevelCode(array.level(run, f));
  return sign;
}

std::vector<std::vector<int>> doeInteractionTerms(int factors, int order) {
  std::vector<std::vector<int>> terms;
  if (order > factors) order = factors;
  std::vector<std::vector<int>> previous;
  for (int f = 0; f < factors; ++f) previous.push_back({f});
  for (int size = 2; size <= order; ++size) {
    std::vector<std::vector<int>> next;
    for (const std::vector<int>& word : previous) {
      for (int f = word.back() + 1; f < factors; ++f) {
        std::vector<int> longer = word;
        longer.push_back(f);
        next.push_back(std::move(longer));
      }
    }
    terms.insert(terms.end(), next.begin(), next.end());
    previous = std::move(next);
  }
  return terms;
}

}  // namespace karvo::doe
