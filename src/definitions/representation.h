// The representation table: for each representation number, the ordered design variables
// that an agent varies, each with its bounded set of values. Filled once at start-up from
// "Representation%d.in" (one file per representation number used by the agents); read by
// the encoding, the search methods, the design-of-experiments builders and the reports.
//
// A representation file is a definition file (see definitions/reader.h for the grammar):
//
//   *TYPE                      read and ignored
//   *VARIABLE                  one design variable, in chromosome order
//   name: thickness            the variable's name in "Definitions.in"
//   id: 3                      the variable's id in "Definitions.in" (the reference used)
//   resolution: 21             continuous only: number of values, >= 2
//   distribution: NONE         continuous only, optional: a `*DEFINE_DIST` name or NONE
//   *FACTOR                    design-of-experiments settings of a variable named above
//   name: thickness
//   levels:3                   the factor levels, one per line (at least 2 are needed
//   1.0                        when the agent uses them)
//   2.0
//   3.0
//   factorType: control        control or noise (optional)
//   *END                       the rest of the file is not read
//
// A discrete variable takes its number of values from its discrete set.
#pragma once

#include <string>
#include <vector>

namespace karvo {

// Kind codes of a slot, as echoed in messages and result files.
inline constexpr int kIdenContinuous = 1111;
inline constexpr int kIdenDiscrete = 2222;
inline constexpr int kSlotContinuous = 0;
inline constexpr int kSlotDiscrete = 1;
// Resolution modes: a binary field of 2^r values, or r values.
inline constexpr int kResolutionBits = 0;
inline constexpr int kResolutionValues = 1;
// Smallest resolution a representation file may give a continuous variable (a field of one
// value has no step between its ends).
inline constexpr int kMinimumResolution = 2;

// One design variable of a representation.
struct VariableSlot {
  int id = -1;                  // variable id in the variable table, >= 0
  std::string name;             // variable name (for messages and reports)
  int iden = kIdenContinuous;   // 1111 continuous, 2222 discrete
  int kind = kSlotContinuous;   // 0 continuous, 1 discrete
  int resolutionMode = kResolutionValues;  // 0: 2^r values; 1: r values (always 1 from files)
  int resolution = 0;           // values (mode 1) or bits (mode 0); discrete: items of its set;
                                // >= 2 when read from a file
  int intValue = 0;             // current field value, 0 .. field size - 1
  double lower = 0.0;           // continuous: lower bound; discrete: 0
  double upper = 0.0;           // continuous: upper bound (> lower); discrete: item count
  double realValue = 0.0;       // current decoded value (starts at the baseline)
  std::vector<double> levels;   // factor levels of design-of-experiments agents (may be empty)
  int levelCount = 0;           // levels.size()
  int usesLevels = 0;           // 1 when the level list is used
  double fixedValue = 0.0;      // value for non-search agents without levels: the baseline
                                // (discrete: the 0-based baseline choice)
  std::string distribution;     // `*DEFINE_DIST` name; "" when none
  std::string factorType;       // "", "control" or "noise"
};

struct Representation {
  int number = -1;                  // the N of "RepresentationN.in", >= 0
  int num_dvar = 0;                 // number of design variables, == slots.size()
  std::vector<VariableSlot> slots;  // in file order
  std::vector<int> field_sizes;     // filled by user_set_field_sizes; one per slot
};

// Every representation read so far, in reading order.
extern std::vector<Representation> representations;

// The representation with this number, or null.
Representation* findRepresentation(int number);

// Reads "<working directory>/Representation<number>.in" into the table (replacing an entry
// of the same number). Definition errors end the run through fatalError. Variables are
// looked up by id in the variable table; when "Definitions.in" was not read, a full
// variable record in the representation file adds the variable to that table.
// Also raises definitions.maxDesignVariables to this representation's size.
void readRepresentationFile(int number);

// Fills representation.field_sizes: mode 0 gives 2^r, mode 1 and discrete give r. Ends the
// run with "number of fields != num_dvar in user_set_field_sizes, exit" when the slot count
// differs from num_dvar, and with "Error, user_set_field_sizes" for an unknown mode (or a
// binary field wider than 30 bits).
void user_set_field_sizes(Representation& representation);

// The number of distinct designs of a representation (the product of its field sizes), or
// -1 when it exceeds `limit` (>= 0). Fills the field sizes first.
long long representationDesignCount(Representation& representation, long long limit);

// Start-up consistency check of one agent's representation against the number of
// evaluations it may make: when the representation holds fewer distinct designs than
// `allowedRuns`, a warning on "outptr" says so (the search cannot make that many distinct
// designs). A missing representation ends the run with
// "Representation number set to illegal number, exit.".
void checkResolutionAgainstRuns(int representationNumber, int agentNumber, int allowedRuns);

// The start-up check above for every optimization agent of the study, with its `numEvals`
// as the allowed number of evaluations (agents without a budget are left out).
void checkRepresentationResolutions();

// Start-up check of the design-of-experiments agents in the run's agent range: each needs a
// representation with at least one variable for its array or sample to change. One without
// ends the run with "No variables have been defined to be changed for the DOE agent(ID = %d)."
// and the representation file it would need them in.
void checkDoeAgentVariables();

// Back to an empty table (start-up and tests).
void resetRepresentations();

}  // namespace karvo
