// Counters and best tracking of a search agent's population; a few comparisons per member
// and generation.
#include "search/population.h"

#include <cmath>

#include "base/state_archive.h"

namespace karvo::search {

double populationOnline(const PopulationCounters& counters) {
  return counters.performanceCount > 0
             ? counters.onlineSum / static_cast<double>(counters.performanceCount)
             : 0.0;
}

double populationOffline(const PopulationCounters& counters) {
  return counters.performanceCount > 0
             ? counters.offlineSum / static_cast<double>(counters.performanceCount)
             : 0.0;
}

void populationRecordPerformance(PopulationCounters& counters, double raw, double bestSoFar) {
  if (!fitnessCounted(raw)) return;
  counters.onlineSum += raw;
  counters.offlineSum += bestSoFar;
  ++counters.performanceCount;
}

bool populationTrackBest(Population& population) {
  const Member* best = nullptr;
  for (const Member& member : population.members) {
    if (!fitnessCounted(member.raw)) continue;
    if (!best || member.raw > best->raw) best = &member;
  }
  if (!best) return false;
  BestRecord& generation = population.bestOfGeneration;
  generation.valid = true;
  generation.design = best->design;
  generation.raw = best->raw;
  generation.scaled = best->scaled;
  generation.evaluation = population.counters.evaluations;
  generation.generation = population.counters.generation;
  if (population.bestEver.valid && !(best->raw > population.bestEver.raw)) return false;
  population.bestEver = generation;
  population.counters.evaluationsAtBest = population.counters.evaluations;
  population.counters.generationAtBest = population.counters.generation;
  return true;
}

void keepMember(StateArchive& archive, Member& member) {
  archive.items(member.design, member.raw, member.scaled, member.birthGeneration, member.origin,
                member.ga_operator, member.firstparent, member.secondparent, member.mut_width);
}

}  // namespace karvo::search
