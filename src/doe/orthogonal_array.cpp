// Orthogonal (Taguchi) arrays by name: checks the name and the factors against the table's
// limits, lays each factor on a column of the whole table (orthogonal_array_tables.cpp) and
// keeps the columns used. At most 128 runs x 64 factors, built once per study.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "doe/orthogonal_array_internal.h"

namespace karvo::doe {

namespace {

// A mixed table needs at least this many factors on its 3-level columns: with fewer, the
// study is a two-level one and belongs on a two-level table.
constexpr int kMixedMinThreeLevelFactors = 2;

std::string unknownNameMessage(const std::string& name) {
  std::string message = "Error in the study input data. The Taguchi Array Name specified (" + name +
                        ") is not supported.\n";
  message += "Valid names are (";
  bool first = true;
  for (const OrthogonalTableInfo& info : orthogonalTableCatalog()) {
    if (!first) message += ", ";
    message += info.name;
    first = false;
  }
  message += ".";
  return message;
}

std::string mixedErrorLine(const std::string& name, const char* rule, int count,
                           const char* levelWord) {
  return "\n\t Error in the DOE definition. The Taguchi Array " + name + " " + rule + " " +
         std::to_string(count) + " " + levelWord + " level variables.";
}

std::string foundLine(int count, const char* levelWord) {
  return "\n\t Found " + std::to_string(count) + " " + levelWord + " level variables.";
}

// The factor of the request that each array factor stands for: on a mixed table the factors
// whose level lists hold two entries come first, in their order, then the others in theirs.
// A factor without a level-list entry in the request counts as one of the others.
std::vector<int> mixedFactorOrder(const DoeRequest& request, int& twoLevelFactors) {
  const int k = request.factors;
  auto isTwoLevel = [&request](int j) {
    return static_cast<std::size_t>(j) < request.factorLevelLists.size() &&
           request.factorLevelLists[static_cast<std::size_t>(j)] == 2;
  };
  std::vector<int> order;
  order.reserve(static_cast<std::size_t>(k));
  for (int j = 0; j < k; ++j) {
    if (isTwoLevel(j)) order.push_back(j);
  }
  twoLevelFactors = static_cast<int>(order.size());
  for (int j = 0; j < k; ++j) {
    if (!isTwoLevel(j)) order.push_back(j);
  }
  return order;
}

}  // namespace

bool buildOrthogonalArray(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  if (k < 2) {
    error =
        "At least TWO factors need to be defined for using the Orthogonal Array DOE in "
        "agent # " +
        std::to_string(request.agentNumber) + ".";
    return false;
  }
  const OrthogonalTableInfo* info = orthogonalTableFind(request.taguchiArray);
  if (info == nullptr) {
    error = unknownNameMessage(request.taguchiArray);
    return false;
  }
  if (k < info->minFactors || k > info->maxFactors) {
    error = "The number of factors must be between " + std::to_string(info->minFactors) + " and " +
            std::to_string(info->maxFactors) + " for using the " + request.taguchiArray +
            " taguchi array. Found " + std::to_string(k) + ".";
    return false;
  }

  // The table column of each array factor.
  std::vector<int> order(static_cast<std::size_t>(k));
  std::vector<int> tableColumn(static_cast<std::size_t>(k));
  if (info->mixed()) {
    int twoLevel = 0;
    order = mixedFactorOrder(request, twoLevel);
    const int threeLevel = k - twoLevel;
    if (threeLevel < kMixedMinThreeLevelFactors) {
      error = mixedErrorLine(request.taguchiArray, "requires selecting at least",
                             kMixedMinThreeLevelFactors, "3") +
              foundLine(threeLevel, "3");
      return false;
    }
    if (twoLevel > info->twoLevelColumns) {
      error = mixedErrorLine(request.taguchiArray, "only allows", info->twoLevelColumns, "2") +
              foundLine(twoLevel, "2");
      return false;
    }
    if (threeLevel > info->threeLevelColumns) {
      error = mixedErrorLine(request.taguchiArray, "only allows", info->threeLevelColumns, "3");
      return false;
    }
    for (int j = 0; j < k; ++j) {
      tableColumn[static_cast<std::size_t>(j)] =
          j < twoLevel ? j : info->twoLevelColumns + (j - twoLevel);
    }
  } else {
    for (int j = 0; j < k; ++j) {
      order[static_cast<std::size_t>(j)] = j;
      tableColumn[static_cast<std::size_t>(j)] = j;
    }
  }

  const OrthogonalTable table = orthogonalTableBuild(*info);
  array = DoeArray{};
  array.kind = kDoeTaguchi;
  array.factors = k;
  array.runs = table.runs;
  array.columns = k;
  array.factorOrder = std::move(order);
  array.factorLevels.resize(static_cast<std::size_t>(k));
  array.columnNames.resize(static_cast<std::size_t>(k));
  for (int j = 0; j < k; ++j) {
    array.factorLevels[static_cast<std::size_t>(j)] =
        table.levels[static_cast<std::size_t>(tableColumn[static_cast<std::size_t>(j)])];
    array.columnNames[static_cast<std::size_t>(j)] = doeFactorName(j);
  }
  array.cells.resize(static_cast<std::size_t>(table.runs) * static_cast<std::size_t>(k));
  for (int r = 0; r < table.runs; ++r) {
    for (int j = 0; j < k; ++j) {
      array.level(r, j) = table.level(r, tableColumn[static_cast<std::size_t>(j)]);
    }
  }
  return true;
}

}  // namespace karvo::doe
