// The generator words of the fractional factorials: for k factors and p generators, the
// words of the generated factors k - p .. k - 1, in order, over the letters of the k - p base
// factors. A two-level word's column is the +-1 product of its letters; a three-level word
// ("AB^2C") gives the sum of coefficient x level mod 3. The builders lay out the arrays with them and
// the analysis derives the defining relation (identity report) from them.
#pragma once

#include <string>
#include <vector>

namespace karvo::doe {

// The words of the 2^(k-p) fraction, 3 <= k <= 11; empty when the pair has no entry.
const std::vector<std::string>& twoLevelGenerators(int k, int p);

// The words of the 3^(k-p) fraction, 3 <= k <= 13; empty when the pair has no entry.
const std::vector<std::string>& threeLevelGenerators(int k, int p);

}  // namespace karvo::doe
