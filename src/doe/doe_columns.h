// Names and words of the columns of a design-of-experiments array: the factor letters, the
// words of generated and interaction columns, and the +-1 product rule that gives a two-level
// word its value in a run. Shared by the builders and the analysis; cheap enough to call
// once per cell.
#pragma once

#include <string>
#include <vector>

#include "doe/doe_array.h"

namespace karvo::doe {

// Most factors an interaction order may span.
inline constexpr int kMaxInteractionOrder = 39;

// Sets the shape of `array` for `factors` factor columns (columns == factors) and `runs`
// runs, every factor with `levels` levels, the identity factor order and the factor letters
// as column names; the cells are left to the caller. May throw std::bad_alloc.
void doeShapeFactors(DoeArray& array, int kind, int factors, int runs, int levels);

// The name of factor `factor` (0-based): A..H, J..Z, then A', B', ... ("I" is never used).
std::string doeFactorName(int factor);

// One factor of a word with its coefficient: a plain letter has power 1, a letter followed
// by "^2" power 2 (three-level words such as "AB^2C").
struct WordLetter {
  int factor = 0;  // 0-based factor
  int power = 1;   // 1 or 2
};

// Parses a column word ("AB", "AB^2C", "A'B'") into its letters. Answers false for a word
// with a character that names no factor, an 'I' among them, or a power other than 2.
bool doeParseWord(const std::string& word, std::vector<WordLetter>& letters);

// The text of a word made of `factors` (ascending, power 1): the factor names joined.
std::string doeWordName(const std::vector<int>& factors);

// The two-level code of a run: level 0 is -1, level 1 is +1.
inline int doeTwoLevelCode(int level) { return level == 0 ? -1 : 1; }

// The product of the +-1 codes of `factors` (array factor columns) in run `run`.
int doeWordSign(const DoeArray& array, const std::vector<int>& factors, int run);

// The words of every combination of `factors` factors with 2 .. `order` letters, in the order
// in which they are formed: all two-letter words (AB, AC, .., BC, ..), then the three-letter
// words, each new word an existing word followed by a later factor. `order` is limited to
// `factors`; below 2 there are none.
std::vector<std::vector<int>> doeInteractionTerms(int factors, int order);

}  // namespace karvo::doe
