// Pieces shared by the factorial builders (two- and three-level full and fractional, central
// composite, Plackett-Burman, the file array): the refusal of fewer than two factors, the
// allocation message and the standard-order fill of a full factorial.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "doe/doe_array.h"
#include "doe/doe_columns.h"

namespace karvo::doe::factorial {

// The refusal of fewer than two factors; `kindName` is the kind as users know it
// ("2 level Full Factorial", "Central Composite", ...).
inline std::string twoFactorsMessage(const char* kindName, int agentNumber) {
  return "At least TWO factors need to be defined for using the " + std::string(kindName) +
         " DOE in agent # " + std::to_string(agentNumber) + ".";
}

// The refusal of a fractional factorial whose (k, p) pair has no generator entry.
inline std::string generationMessage() {
  return "\n\t Error when generating fractional factorial array. \n"
         "\n\t Please check the number of factors and also the available "
         "\n\t generator values for the selected number of factors."
         "\nCannot continue.";
}

// The refusal of an array too large to allocate; `what` names the array.
inline std::string allocationMessage(const char* what) {
  return std::string("\n\t**** ERROR ****") + what + "\nCannot continue.";
}

// Sets the shape of `array` (k factor columns, all of `levels` levels, identity order, the
// factor letters as column names) and sizes its cells to runs x k. Answers false when the
// cells cannot be allocated.
inline bool shapeArray(DoeArray& array, int kind, int factors, int runs, int levels) {
  try {
    doeShapeFactors(array, kind, factors, runs, levels);
    array.cells.assign(static_cast<std::size_t>(runs) * static_cast<std::size_t>(factors), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Fills columns 0 .. `baseColumns` - 1 of rows `firstRow` .. `firstRow` + base^baseColumns - 1
// with the full factorial of `base` levels in standard order: column j steps every base^j
// rows. The digits advance like an odometer, so each cell costs a constant.
inline void fillStandardOrder(DoeArray& array, int base, int baseColumns, int firstRow) {
  std::vector<std::int32_t> digits(static_cast<std::size_t>(baseColumns), 0);
  std::size_t rows = 1;
  for (int j = 0; j < baseColumns; ++j) rows *= static_cast<std::size_t>(base);
  for (std::size_t r = 0; r < rows; ++r) {
    int row = firstRow + static_cast<int>(r);
    for (int j = 0; j < baseColumns; ++j) array.level(row, j) = digits[static_cast<std::size_t>(j)];
    for (int j = 0; j < baseColumns; ++j) {
      if (++digits[static_cast<std::size_t>(j)] < base) break;
      digits[static_cast<std::size_t>(j)] = 0;
    }
  }
}

}  // namespace karvo::doe::factorial
