// Two-level full factorial: 2^k runs in standard order, one column per factor. Linear in
// the cells (2^k x k); interaction columns are formed by the analysis from the factors.
#include <string>

#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/factorial_internal.h"

namespace karvo::doe {

namespace {

// 2^24 runs is already far beyond what a study evaluates; the bound keeps the cells finite.
constexpr int kMaxFullFactors = 24;

}  // namespace

bool buildTwoLevelFull(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  if (k < 2) {
    error = factorial::twoFactorsMessage("2 level Full Factorial", request.agentNumber);
    return false;
  }
  if (k > kMaxFullFactors) {
    error = "\n\t Error, number of factors (" + std::to_string(k) +
            ") allowed for the 2 level Full Factorial DOE is 2 - " +
            std::to_string(kMaxFullFactors) + ".\n";
    return false;
  }
  const int runs = 1 << k;
  if (!factorial::shapeArray(array, kDoeTwoLevelFull, k, runs, 2)) {
    error = factorial::allocationMessage(
        "\n\t Error allocating memory for the Two Level Full Factorial DOE.\n");
    return false;
  }
  factorial::fillStandardOrder(array, 2, k, 0);
  return true;
}

}  // namespace karvo::doe
