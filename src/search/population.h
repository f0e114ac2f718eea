// The population of a search agent (a subpopulation of the run) and what the genetic core
// keeps about it from generation to generation: the members with their raw and scaled
// fitness, the run counters, the best of the generation and the best ever, the on-line and
// off-line performance. One Population per agent, alive for the whole run (a checkpoint
// saves it); the members are replaced generation by generation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/design.h"
#include "search/fitness.h"

namespace karvo {
class StateArchive;
}  // namespace karvo

namespace karvo::search {

// How a member came to be (flags, several may be set).
enum MemberOrigin : int {
  kMadeRandom = 1,       // a random design of the initial population or a reinitialisation
  kMadeBaseline = 2,     // the baseline design
  kMadeUserDesign = 4,   // a user design
  kMadeHistory = 8,      // a design of the agent's history
  kMadeCrossover = 16,   // a child of a crossover
  kMadeMutation = 32,    // mutated
  kMadeMigrant = 64,     // taken over from another agent
  kMadeCopy = 128,       // a copy of a parent (no crossover drawn)
  kMadeDecision = 256,   // proposed by a model-based search decision
};

struct Member {
  Design design;                     // chromosome (field values) and, once evaluated, results
  double raw = kFailedPerformance;   // raw fitness: the design's performance (larger is better)
  double scaled = 0.0;               // scaled fitness, as selection sees it
  int birthGeneration = 0;           // generation that made it, >= 0
  int origin = 0;                    // MemberOrigin flags
  // Kept by the hybrid search for the credit of its operators:
  int ga_operator = 0;               // code of the operator that made it (0: none)
  double firstparent = 0.0;          // raw fitness of its first parent (of the best design
                                     // for a search decision)
  double secondparent = 0.0;         // raw fitness of its second parent
  double mut_width = 1.0;            // block width of the mutation that made it
};

// A best design with when it was found.
struct BestRecord {
  bool valid = false;                // a member has been recorded
  Design design;                     // copy of the member's design
  double raw = kFailedPerformance;   // its raw fitness
  double scaled = 0.0;               // its scaled fitness when recorded
  long evaluation = 0;               // the agent's evaluation count when it was recorded
  int generation = 0;                // generation in which it was found
};

// Counters of a subpopulation over the whole run.
struct PopulationCounters {
  int generation = 0;                // generations completed, >= 0
  long crossovers = 0;               // crossovers performed
  long mutations = 0;                // mutations performed (one per mutated field or block)
  long evaluations = 0;              // designs of this agent evaluated (not taken from the
                                     // stored-design table)
  long reevaluationsSaved = 0;       // designs that took stored results instead
  long evaluationsAtBest = 0;        // `evaluations` when the best ever last improved
  int generationAtBest = 0;          // `generation` when the best ever last improved
  double onlineSum = 0.0;            // sum of the raw fitness of every scored design
  double offlineSum = 0.0;           // sum of the best-so-far raw fitness after each design
  long performanceCount = 0;         // designs in the two sums
};

struct Population {
  int agent = -1;                    // agent number
  int representation = -1;           // representation number of the members
  std::vector<int> fieldSizes;       // field size of each variable (>= 1)
  std::vector<Member> members;       // populationSize members (even, >= 1)
  PopulationCounters counters;
  BestRecord bestOfGeneration;       // best member of the last generation
  BestRecord bestEver;               // best member ever
  FitnessSettings fitnessSettings;
  FitnessState fitnessState;
  FitnessStatistics statistics;      // of the last generation, after scaling
  bool initialised = false;          // the initial population has been made and evaluated
};

// The fields of the counters and of a best record as a checkpoint keeps them
// (base/state_archive.h); the population itself is kept by the genetic core.
void keepFields(StateArchive& archive, PopulationCounters& counters);
void keepFields(StateArchive& archive, BestRecord& best);
// The fields of a member in declaration order.
void keepMember(StateArchive& archive, Member& member);

// On-line performance: the mean raw fitness of every design scored so far (0 before any).
double populationOnline(const PopulationCounters& counters);
// Off-line performance: the mean of the best-so-far raw fitness after each design scored.
double populationOffline(const PopulationCounters& counters);

// Enters one scored design into the on-line and off-line sums (failed designs, at the
// failure mark, are left out); `bestSoFar` is the best raw fitness including this design.
void populationRecordPerformance(PopulationCounters& counters, double raw, double bestSoFar);

// Best tracking after a generation: the member with the highest raw fitness (the first of
// equals) becomes the best of the generation, and replaces the best ever when strictly
// better. Answers true when the best ever improved. Members at the failure mark never count.
bool populationTrackBest(Population& population);

}  // namespace karvo::search
