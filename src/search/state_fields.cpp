// The fields of the search's records as a checkpoint keeps them (base/state_archive.h). Each
// record's reader checks what later code would index with, so that a damaged checkpoint is
// refused instead of steering the search out of its arrays.
#include <algorithm>

#include "base/state_archive.h"
#include "search/fitness.h"
#include "search/model_search.h"
#include "search/operators.h"
#include "search/pareto_archive.h"
#include "search/population.h"
#include "search/tolmar_levels.h"
#include "search/tolmar_operators.h"

namespace karvo {

void keepFields(StateArchive& archive, FitnessSettings& s) {
  archive.items(s.scalingApplies, s.scalingWindow, s.sigmaCoefficient, s.scaleMultiplier,
                s.requireNonNegative);
}

void keepFields(StateArchive& archive, FitnessState& s) {
  archive.items(s.windowMinimum, s.windowFilled, s.windowNext, s.infeasibleStart);
  if (s.windowFilled < 0 || s.windowFilled > kScalingWindowSlots || s.windowNext < 0 ||
      s.windowNext >= kScalingWindowSlots) {
    archive.fail();
  }
}

void keepFields(StateArchive& archive, FitnessStatistics& s) {
  archive.items(s.counted, s.rawMin, s.rawMax, s.rawAverage, s.rawSigma, s.scaledMin, s.scaledMax,
                s.scaledAverage, s.scaledSum, s.scaledSigma);
}

namespace search {

void keepFields(StateArchive& archive, PopulationCounters& c) {
  archive.items(c.generation, c.crossovers, c.mutations, c.evaluations, c.reevaluationsSaved,
                c.evaluationsAtBest, c.generationAtBest, c.onlineSum, c.offlineSum,
                c.performanceCount);
}

void keepFields(StateArchive& archive, BestRecord& b) {
  archive.items(b.valid, b.design, b.raw, b.scaled, b.evaluation, b.generation);
}

void keepFields(StateArchive& archive, SelectionList& list) {
  int kind = static_cast<int>(list.kind);
  archive.items(list.entries, list.untaken, kind, list.scaled, list.scalemult);
  if (!archive.reading()) return;
  const int n = static_cast<int>(list.entries.size());
  if (kind < 0 || kind > 2 || list.untaken < 0 || list.untaken > n ||
      std::any_of(list.entries.begin(), list.entries.end(),
                  [n](int e) { return e < 0 || e >= n; })) {
    archive.fail();
    return;
  }
  list.kind = static_cast<SelectionList::Kind>(kind);
}

void keepFields(StateArchive& archive, AdaptiveState& s) {
  archive.items(s.probability, s.searchFraction, s.creditRing, s.creditNext, s.widthRing,
                s.widthNext, s.avgMutWidth, s.pcross, s.pmutation, s.pmutationDecisions,
                s.familyACross, s.familyAMutation, s.fineGrained);
  const int ring = static_cast<int>(s.creditRing.size());
  if (s.creditNext < 0 || s.creditNext > std::max(ring - 1, 0) || s.widthNext < 0 ||
      s.widthNext >= kCreditWidths ||
      std::any_of(s.creditRing.begin(), s.creditRing.end(),
                  [](int code) { return code < -1 || code >= kOperatorCodes; })) {
    archive.fail();
  }
}

void keepFields(StateArchive& archive, QhfcLevels& l) {
  archive.items(l.count, l.first, l.size, l.last, l.threshold, l.promotions, l.victim);
  if (!archive.reading()) return;
  const std::size_t count = static_cast<std::size_t>(std::max(l.count, 0));
  bool sound = l.count >= 0 && l.first.size() == count && l.size.size() == count &&
               l.last.size() == count && l.threshold.size() == count &&
               l.promotions.size() == count;
  for (std::size_t i = 0; sound && i < count; ++i) {
    sound = l.first[i] >= 0 && l.first[i] <= l.last[i] + 1 &&
            l.last[i] < static_cast<int>(l.victim.size());
  }
  if (!sound) archive.fail();
}

void keepFields(StateArchive& archive, ThrottleState& s) {
  archive.items(s.fraction, s.off, s.ticksLinear, s.ticksQuadratic);
}

void keepFields(StateArchive& archive, ModelSearchState& s) {
  archive.items(s.radius, s.successes, s.failures, s.nextKind, s.localPhase, s.ratio,
                s.accurate, s.basinTurn, s.centre, s.hopTarget, s.hopOrder, s.hopBase,
                s.hopCoordinate, s.hopMade, s.sweepFrom, s.sweepAsked);
  const int n = static_cast<int>(s.hopTarget.size());
  bool sound = s.nextKind >= 0 && s.basinTurn >= 0 && s.hopMade >= 0 &&
               (s.hopCoordinate == -1 ||
                (s.hopCoordinate >= 0 && s.hopCoordinate < n &&
                 static_cast<int>(s.hopBase.size()) == n));
  for (int i : s.hopOrder) sound = sound && i >= 0 && i < n;
  if (!sound) archive.fail();
}

void keepFields(StateArchive& archive, ModelSample& s) {
  archive.items(s.x, s.objective, s.constraints);
}

void keepFields(StateArchive& archive, ParetoStopState& s) {
  archive.items(s.ring, s.ringCount, s.ringNext, s.previous, s.stall, s.stallBegan);
  if (s.ringCount < 0 || s.ringCount > kSpreadRing || s.ringNext < 0 ||
      s.ringNext >= kSpreadRing) {
    archive.fail();
  }
}

}  // namespace search
}  // namespace karvo
