// The Hammersley array (kind 13): n runs on n levels per factor from the Hammersley point set
// of the sampling component, each column the ranks of its coordinates. Fixed by n and k;
// O(nk) apart from the component's ranking.
#include <string>

#include "base/messages.h"
#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "external/hammersley.h"

namespace karvo::doe {

bool buildHammersley(const DoeRequest& request, DoeArray& array, std::string& error) {
  const int k = request.factors;
  const int n = request.runs;
  if (k < 2) {
    error = formatText("At least TWO factors need to be defined for using the Hammersley DOE in "
                       "agent # %d.",
                       request.agentNumber);
    return false;
  }
  // The set draws nothing, and the record that holds it needs no trial arrays: this kind
  // leaves the run's generator untouched.
  const support::HammersleyDesign design(n, k, n);
  if (!design.valid()) {
    error = design.error.empty() ? std::string("The Hammersley sampling could not be built.")
                                 : design.error;
    return false;
  }

  doeShapeFactors(array, kDoeHammersley, k, n, n);
  array.cells.assign(design.levelMatrix.begin(), design.levelMatrix.end());
  return true;
}

}  // namespace karvo::doe
