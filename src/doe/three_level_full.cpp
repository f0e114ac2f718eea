// Three-level full factorial: 3^k runs in standard order (column j steps every 3^j runs),
// levels 0, 1, 2. Linear in the cells (3^k x k).
#include <string>

#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/factorial_internal.h"

namespace karvo::doe {

namespace {

// 3^15 (14 348 907) runs is already far beyond what a study evaluates.
constexpr int kMaxFullFactors = 15;

}  // namespace

bool buildThreeLevelFull(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  if (k < 2) {
    error = factorial::twoFactorsMessage("3 level Full Factorial", request.agentNumber);
    return false;
  }
  if (k > kMaxFullFactors) {
    error = "\n\t Error, number of factors (" + std::to_string(k) +
            ") allowed for the 3 level Full Factorial DOE is 2 - " +
            std::to_string(kMaxFullFactors) + ".\n";
    return false;
  }
  int runs = 1;
  for (int j = 0; j < k; ++j) runs *= 3;
  if (!factorial::shapeArray(array, kDoeThreeLevelFull, k, runs, 3)) {
    error = factorial::allocationMessage("\n\t Memory allocation error for three level DOE.\n");
    return false;
  }
  factorial::fillStandardOrder(array, 3, k, 0);
  return true;
}

}  // namespace karvo::doe
