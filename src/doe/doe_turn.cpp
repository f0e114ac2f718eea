// The array builders by DOE kind and the runner of the design-of-experiments methods that
// this build does not have yet. Looked up once per agent study.
#include "doe/doe_turn.h"

#include "definitions/method_settings.h"

namespace karvo::doe {

namespace {

struct ArrayEntry {
  int kind;               // DoeKind
  DoeArrayBuilder build;  // null: not in this build
};

// Every DoeKind, in kind order; a builder takes its slot when its file joins.
constexpr ArrayEntry kArrays[] = {
    {kDoeTwoLevelFull, nullptr},      {kDoeTwoLevelPartial, nullptr},
    {kDoePlackettBurman, nullptr},    {kDoeCentralComposite, nullptr},
    {kDoeLatinHypercube, nullptr},    {kDoeFile, nullptr},
    {kDoeDOptimal, nullptr},          {kDoeTaguchi, nullptr},
    {kDoeThreeLevelFull, nullptr},    {kDoeThreeLevelPartial, nullptr},
    {kDoeRobustDesign, nullptr},  // composed of the control and noise arrays
    {kDoeExisting, nullptr},          {kDoeOptimizedLatin, nullptr},
    {kDoeHammersley, nullptr},
};

}  // namespace

DoeArrayBuilder arrayBuilder(int kind) {
  for (const ArrayEntry& entry : kArrays) {
    if (entry.kind == kind) return entry.build;
  }
  return nullptr;
}

void runUnavailableStudy(Agent& agent, const EvaluationServices&) {
  writeMethodUnavailableNote(agent);
}

}  // namespace karvo::doe
