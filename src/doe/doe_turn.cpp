// The array builders by DOE kind. Looked up once per agent study (twice for a robust parameter
// design).
#include "doe/doe_turn.h"

#include "definitions/method_settings.h"
#include "doe/doe_builders.h"

namespace karvo::doe {

namespace {

struct ArrayEntry {
  int kind;               // DoeKind
  DoeArrayBuilder build;  // null: not in this build
};

// Every DoeKind, in kind order.
constexpr ArrayEntry kArrays[] = {
    {kDoeTwoLevelFull, buildTwoLevelFull},
    {kDoeTwoLevelPartial, buildTwoLevelFractional},
    {kDoePlackettBurman, buildPlackettBurman},
    {kDoeCentralComposite, buildCentralComposite},
    {kDoeLatinHypercube, buildLatinHypercube},
    {kDoeFile, buildFileArray},
    {kDoeDOptimal, buildDOptimal},
    {kDoeTaguchi, buildOrthogonalArray},
    {kDoeThreeLevelFull, buildThreeLevelFull},
    {kDoeThreeLevelPartial, buildThreeLevelFractional},
    {kDoeRobustDesign, nullptr},  // composed of the control and noise arrays
    {kDoeExisting, buildExistingDesigns},
    {kDoeOptimizedLatin, buildOptimizedLatinHypercube},
    {kDoeHammersley, buildHammersley},
};

}  // namespace

DoeArrayBuilder arrayBuilder(int kind) {
  for (const ArrayEntry& entry : kArrays) {
    if (entry.kind == kind) return entry.build;
  }
  return nullptr;
}

}  // namespace karvo::doe
