// The level structure of the hybrid search (quick hierarchical fair competition) and the
// throttle of its model-based search decisions. Free functions over plain records; the
// hybrid search's generation (search/methods/tolmar.cpp) owns the records, one per agent.
//
// Levels: the population array is kept in ascending order of raw fitness, so that level 0
// (the lowest, the exploration pool) holds the first members and level L - 1 (the elite)
// ends at index P - 1. After each generation the members are sorted again and the
// thresholds recomputed (qhfcThresholds); victims are marked (qhfcMarkVictims); a new
// design is admitted to the highest level whose threshold it reaches (qhfcLevelOf) and
// replaces that level's first flagged victim (qhfcPromote).
#pragma once

#include <span>
#include <vector>

namespace karvo {

class StateArchive;
struct FileHandle;
}

namespace karvo::search {

struct QhfcLevels {
  int count = 0;                  // L: number of levels, 0 when the level structure is off
  std::vector<int> first;         // per level: index of its first member
  std::vector<int> size;          // per level: number of members, sum = P
  std::vector<int> last;          // per level: index of its last member
  std::vector<double> threshold;  // per level: lowest raw fitness admitted, rising with the
                                  // level; threshold[0] is the lowest admission value
  std::vector<int> promotions;    // per level: designs admitted so far
  std::vector<char> victim;       // per member (P): 1 when a new design may replace it
};

// Level count: 0 when the structure is off; otherwise 1 for P < 10, 2 for P < 20, 3 for
// P < 32, 4 above.
int qhfcLevelCount(int populationSize, bool on);

// Sets count, first, size and last for P members in `levelCount` levels (geometric sizes,
// the smallest share 6/P, or 0.075 from P = 81), promotions to 0 and victim to P zeros.
// A size below 3 (first and middle levels) or a level 0 below 5 ends the run through
// fatalError with "\n *** BAD INPUT OR LOGIC IN QHFC LEVEL SIZE CALCULATION ***\n"; a single
// level is the whole population and takes any size (P = 4 is one). Each size below the
// elite is the integer remainder minus the rounded real remainder, which starts at P less
// the unrounded elite size and loses q times the (rounded) size of the level above.
// levelCount 0 leaves every vector empty.
void qhfcLevelSizes(int populationSize, int levelCount, QhfcLevels& levels);

// Thresholds from the raw fitness of the members in ascending order (P values):
// threshold[0] = the lowest admission value (-1e300: every scored design), and for l >= 1
// the value at index P div 3 + (2 first[l]) div 3.
void qhfcThresholds(std::span<const double> rawAscending, QhfcLevels& levels);

// The highest level whose threshold is <= raw. With more than one level, a raw fitness
// below threshold[0] writes "\n***Logic error in promotion process, exiting.***\n" and
// ends the run through fatalError with "Internal error -431".
int qhfcLevelOf(const QhfcLevels& levels, double raw);

// The level of member `index` (0..P-1); -1 outside.
int qhfcLevelOfMember(const QhfcLevels& levels, int index);

// The victim-marking rule: in every level, the worse half of its members (the first
// size - size div 2 of the level, at least one; never the single member of a level of
// one) are flagged; every other flag is cleared.
void qhfcMarkVictims(QhfcLevels& levels);

// True when `level` still has a flagged member.
bool qhfcHasVictim(const QhfcLevels& levels, int level);

// Admits a design to `level`: the first flagged member of the level is answered (its
// index, which the caller overwrites), its flag cleared and the level's promotion count
// raised. No flagged member ends the run through fatalError with
// "Logic bug, QHFC, level %d victims not correct".
int qhfcPromote(QhfcLevels& levels, int level);

// ---------------------------------------------------------------------------------------
// Search-decision throttle.

struct ThrottleState {
  double fraction = 0.0;          // share of the population made by search decisions
  bool off = false;               // switched off for the agent (too slow for its analyses)
  double ticksLinear = -1.0;      // benchmark time in milliseconds, per model kind; -1:
  double ticksQuadratic = -1.0;   // not timed yet (timed once per agent and kind)
};

// The fields of the levels and of the throttle as a checkpoint keeps them
// (base/state_archive.h).
void keepFields(StateArchive& archive, QhfcLevels& levels);
void keepFields(StateArchive& archive, ThrottleState& state);

struct ThrottleInputs {
  int evaluated = 0;              // designs evaluated by the agent so far
  int designVariables = 0;        // n
  int responses = 0;              // responses of the agent's performance
  double meanAnalysisTime = 0.0;  // seconds, mean of the recorded analysis times (0: none)
  int populationSize = 0;         // P (or the batch size when results are replayed)
  int cyclesLeft = 0;             // cycles of the agent still to run after this one
  bool decisionsOn = true;        // the agent makes search decisions
  bool qhfc = true;               // the level structure is on
};

// Milliseconds taken by the fixed 100 x 100 integer multiply-accumulate benchmark (at
// least a small positive value).
double decisionBenchmarkTicks();

// Decision time estimate in seconds: ticks/1000 * 5 * terms^3 / 1e8 * (1 + 0.05 responses).
double decisionTimeEstimate(double ticks, int terms, int responses);

// How many members of this generation are made by search decisions (the throttle). Times
// the benchmark on first use of each model kind (stored in `state`; a test presets the
// ticks to fix the decision time). Draws one uniform number for the rounding whenever the
// product P * fraction is computed: not when the answer is 0 by rule (too few designs,
// decisions off or switched off, a zero fraction, the last cycles of a throttled agent).
// Writes the "\nMaking search decisions. ..." note to the message output when the answer
// uses a positive fraction. The fraction is at least 1/P whenever decisions are possible and not
// throttled, with or without levels (so that they can earn credit and adapt).
int searchDecisionCount(ThrottleState& state, const ThrottleInputs& inputs);

}  // namespace karvo::search
