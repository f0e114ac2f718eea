// The orthogonal (Taguchi) tables behind buildOrthogonalArray: the catalogue of names with
// their sizes and factor ranges, and the whole table of a name (every column, not only the
// ones a study uses). Private to orthogonal_array*.cpp and their tests.
//
// Every table is a strength-2 orthogonal array: in any two columns every pair of levels
// occurs equally often (hence every level of a column equally often). A mixed table holds
// its 2-level columns first, then its 3-level columns.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace karvo::doe {

// One name of the catalogue.
struct OrthogonalTableInfo {
  std::string_view name;  // "L4" .. "L81"
  int runs;               // rows of the table
  int twoLevelColumns;    // leading columns with levels 0, 1
  int threeLevelColumns;  // following columns with levels 0, 1, 2
  int minFactors;         // fewest factors a study may lay on the table
  int maxFactors;         // most factors, <= twoLevelColumns + threeLevelColumns

  bool mixed() const { return twoLevelColumns > 0 && threeLevelColumns > 0; }
};

// A whole table: runs x columns level indices, row-major.
struct OrthogonalTable {
  int runs = 0;                     // rows
  int columns = 0;                  // twoLevelColumns + threeLevelColumns
  std::vector<int> levels;          // levels of each column (2 or 3)
  std::vector<std::int32_t> cells;  // runs x columns, each below its column's level count

  int level(int run, int column) const {
    return cells[static_cast<std::size_t>(run) * static_cast<std::size_t>(columns) +
                 static_cast<std::size_t>(column)];
  }
};

// Every name, in the order in which the refusal of an unknown name lists them.
std::span<const OrthogonalTableInfo> orthogonalTableCatalog();

// The entry named `name` (exact, case-sensitive), or null.
const OrthogonalTableInfo* orthogonalTableFind(std::string_view name);

// The whole table of `info`. Built on each call (at most 128 x 127 cells); no state is kept.
OrthogonalTable orthogonalTableBuild(const OrthogonalTableInfo& info);

}  // namespace karvo::doe
