// The optimised Latin hypercube array (kind 12): n runs on n levels per factor, spread by the
// sampling component's maximin search within the study's time limit. The search dominates
// the cost; this file seeds it from the run's generator and copies its n x k levels.
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/random.h"
#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "external/latin_hypercube.h"

namespace karvo::doe {

namespace {

constexpr double kSeedScale = 100000.0;  // seed = trunc(100000 u)

}  // namespace

bool buildOptimizedLatinHypercube(const DoeRequest& request, DoeArray& array,
                                  std::string& error) {
  const int k = request.factors;
  const int n = request.runs;
  if (k < 2) {
    error = formatText("At least TWO factors need to be defined for using the Optimized Latin "
                       "Hypercube DOE in agent # %d.",
                       request.agentNumber);
    return false;
  }
  // The record that holds the result needs no trial array of its own: nothing is drawn for
  // it, so the one draw below is all this kind takes from the run's generator (the
  // component's search draws from its own stream).
  const unsigned seed = static_cast<unsigned>(static_cast<double>(nextUniform()) * kSeedScale);
  support::Random::setGlobalSeed(seed);
  const std::vector<int> levelCounts(static_cast<std::size_t>(k > 0 ? k : 0), n);
  const support::LatinHypercubeDesign design = support::LatinHypercubeDesign::optimized(
      n, k, levelCounts.data(), true, request.timeLimitSeconds);
  if (!design.valid()) {
    error = design.error.empty() ? std::string("The optimized Latin Hypercube could not be built.")
                                 : design.error;
    return false;
  }

  doeShapeFactors(array, kDoeOptimizedLatin, k, n, n);
  array.cells.assign(design.levelMatrix.begin(), design.levelMatrix.end());
  return true;
}

}  // namespace karvo::doe
