// Central composite: the 2^k factorial runs at levels 1 and 3, two axial runs per factor at
// levels 0 and 4 with the others at the centre level 2, and the centre run. Five levels per
// factor; linear in the cells ((2^k + 2k + 1) x k).
#include <string>

#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/factorial_internal.h"

namespace karvo::doe {

namespace {

// 2^20 factorial runs is already far beyond what a study evaluates.
constexpr int kMaxCompositeFactors = 20;

}  // namespace

bool buildCentralComposite(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  if (k < 2) {
    error = factorial::twoFactorsMessage("Central Composite", request.agentNumber);
    return false;
  }
  if (k > kMaxCompositeFactors) {
    error = "\n\t Error, number of factors (" + std::to_string(k) +
            ") allowed for the Central Composite DOE is 2 - " +
            std::to_string(kMaxCompositeFactors) + ".\n";
    return false;
  }
  const int corners = 1 << k;
  const int runs = corners + 2 * k + 1;
  if (!factorial::shapeArray(array, kDoeCentralComposite, k, runs, 5)) {
    error = factorial::allocationMessage(
        "\n\t Error allocating memory for the Central Composite DOE.\n");
    return false;
  }
  factorial::fillStandardOrder(array, 2, k, 0);
  for (int r = 0; r < corners; ++r) {
    for (int j = 0; j < k; ++j) array.level(r, j) = 1 + 2 * array.level(r, j);
  }
  for (int r = corners; r < runs; ++r) {
    for (int j = 0; j < k; ++j) array.level(r, j) = 2;
  }
  for (int j = 0; j < k; ++j) {
    array.level(corners + 2 * j, j) = 0;
    array.level(corners + 2 * j + 1, j) = 4;
  }
  return true;
}

}  // namespace karvo::doe
