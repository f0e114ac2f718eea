// The array of existing designs: designs that were evaluated before (a resumed study's
// history, the user's designs files) laid out as runs, each factor value placed on a grid of
// as many levels as there are designs between the factor's first and second level. The
// array only describes the designs for the run table; they are evaluated by their values.
#include <algorithm>
#include <cmath>

#include "base/messages.h"
#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"

namespace karvo::doe {

bool buildExistingDesigns(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  if (k < 2) {
    error = formatText("At least TWO factors need to be defined for using the Existing Designs "
                       "DOE in agent # %d.",
                       request.agentNumber);
    return false;
  }
  const std::size_t width = static_cast<std::size_t>(k);
  if (request.existing.empty() || request.existing.size() % width != 0 ||
      request.factorLow.size() != width || request.factorHigh.size() != width) {
    error = formatText("No existing designs were found for the DOE agent %d. Existing designs "
                       "are the designs of its history (a resumed study) and of its user "
                       "designs files (UserDesigns%d_<name>.in).",
                       request.agentNumber, request.agentNumber);
    return false;
  }
  const int runs = static_cast<int>(request.existing.size() / width);
  const int levels = std::max(runs, 2);
  doeShapeFactors(array, kDoeExisting, k, runs, levels);
  array.cells.assign(request.existing.size(), 0);
  for (int r = 0; r < runs; ++r) {
    for (int j = 0; j < k; ++j) {
      const double lo = request.factorLow[static_cast<std::size_t>(j)];
      const double hi = request.factorHigh[static_cast<std::size_t>(j)];
      const double x = request.existing[static_cast<std::size_t>(r) * width +
                                        static_cast<std::size_t>(j)];
      double position = hi != lo ? (x - lo) / (hi - lo) * (levels - 1) : 0.0;
      if (!std::isfinite(position)) position = 0.0;
      array.level(r, j) = static_cast<std::int32_t>(
          std::clamp(std::nearbyint(position), 0.0, static_cast<double>(levels - 1)));
    }
  }
  return true;
}

}  // namespace karvo::doe
