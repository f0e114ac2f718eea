// The robustness and reliability studies by sampling kind, and the runner of the
// "robustness" and "reliability" methods. Called once per agent study.
#include "reliability/reliability_turn.h"

#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "reliability/reliability_study.h"

namespace karvo::reliability {

namespace {

struct StudyEntry {
  int kind;                  // SamplingKind
  ReliabilityStudyFn study;  // null: not in this build
};

// Every SamplingKind, in kind order; a study takes its slot when its file joins.
constexpr StudyEntry kStudies[] = {
    {kSamplingLatinHypercube, runLatinHypercubeStudy},
    {kSamplingMonteCarlo, runMonteCarloStudy},
    {kSamplingForm, runFirstOrderStudy},
};

}  // namespace

ReliabilityStudyFn studyByKind(int kind) {
  for (const StudyEntry& entry : kStudies) {
    if (entry.kind == kind) return entry.study;
  }
  return nullptr;
}

void runSamplingStudy(Agent& agent, const EvaluationServices& services) {
  if (ReliabilityStudyFn study = studyByKind(agent.method.sampling.kind)) {
    study(agent, services);
    return;
  }
  writeMethodUnavailableNote(agent);
}

}  // namespace karvo::reliability
