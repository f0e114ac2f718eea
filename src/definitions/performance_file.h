// The performance table `per_type`: for each performance number, the study responses of
// "Performance%d.in" (objectives, constraints and plain responses) with their options,
// targets, weights, normalisations and accepted ranges. Filled once at start-up, one file per
// performance number used by the agents; read for every design by the scoring of designs and
// by the response checks of the evaluation flow. Normalisations taken from the baseline
// design are written into the table later, by the scoring.
//
// A performance file is a definition file (see definitions/reader.h for the grammar):
//
//   *TYPE                       read and ignored
//   *RESPONSE                   one study response
//   name: mass                  a response of "Definitions.in" (`*DEFINE_RESPONSE`)
//   type: objective             objective, constraint or response
//   option: min_value           objectives and constraints (see optionCode)
//   factor: baseline            normalisation: baseline or a non-zero number (default baseline)
//   target: 0                   required for objectives and constraints
//   quadWt: 0                   required for objectives and constraints
//   linearWt: 1                 required for objectives and constraints
//   acceptMin: 0                optional accepted range of extracted values
//   acceptMax: 1e6
//   goal: smaller               plain responses only: NONE, smaller, target, nominal, larger
//   *END
#pragma once

#include <string>
#include <vector>

namespace karvo {

// `flag` codes of a study response.
inline constexpr int kResponseObjective = 0;
inline constexpr int kResponseConstraint = 1;
inline constexpr int kResponsePlain = 3;

// `goal` codes of plain responses: NONE, smaller, target, nominal, larger.
inline constexpr int kGoalNone = -2;

// `norm` of a response whose normalisation comes from the baseline design.
inline constexpr double kNormFromBaseline = -1.0;

// One performance definition. The arrays are parallel, one entry per study response in the
// order of the file; each holds `count` entries.
struct PerformanceDefinition {
  int number = -1;                     // the N of "PerformanceN.in", >= 0
  int count = 0;                       // number of study responses, >= 0
  std::vector<std::string> name;       // response name (a `*DEFINE_RESPONSE` name)
  std::vector<int> flag;               // 0 objective, 1 constraint, 3 plain response
  std::vector<int> opt;                // objectives: -1 minimise, 0 match the target,
                                       // 1 maximise, 2 push away from the target;
                                       // constraints: -1 <= target, 0 == target,
                                       // 1 >= target; plain responses: 0
  std::vector<int> goal;               // plain responses: -2 NONE, -1 smaller, 0 target,
                                       // 1 nominal, 2 larger; others: -2
  std::vector<int> resp_value_type;    // 0 scalar, 1 vector (numeric values of the response);
                                       // 0 when read, set by the evaluation
  std::vector<int> eval;               // index of the analysis producing it; -1 until the
                                       // evaluation associates it
  std::vector<int> eval_tool;          // id of that analysis; -1 until associated
  std::vector<double> coef;            // quadratic weight `quadWt`
  std::vector<double> target;          // target value
  std::vector<double> norm;            // normalisation, > 0; -1.0: from the baseline design
  std::vector<double> offset;          // linear weight `linearWt`
  std::vector<double> minAllowed;      // `acceptMin`, <= maxAllowed (-1e300 when not given)
  std::vector<double> maxAllowed;      // `acceptMax` (1e300 when not given)
  std::vector<std::string> err_msgs;   // per response: the last evaluation error text
  int objectiveCount = 0;              // responses with flag 0
  int constraintCount = 0;             // responses with flag 1
};

// Every performance definition read so far, in reading order.
extern std::vector<PerformanceDefinition> per_type;

// The definition with this number, or null.
PerformanceDefinition* findPerformance(int number);

// The option code of an `option` word (min_value, max_value, min_diff, max_diff,
// less_equal, equal, greater_equal, -1, 0, 1, 2); false for any other word.
bool optionCode(const std::string& word, int& code);
// The goal code of a plain response's `goal` word; false for any other word.
bool goalCode(const std::string& word, int& code);

// Reads "<working directory>/Performance<number>.in" into `per_type` (replacing an entry of
// the same number). A normalisation `factor` of 0 becomes 1.0 when an agent of type
// "reliability and robustness" uses this performance definition; otherwise it ends the run.
// Definition errors end the run through fatalError.
void readPerformanceFile(int number);
// The same, with the reliability rule given by the caller.
void readPerformanceFile(int number, bool forReliability);

// Back to an empty table (start-up and tests).
void resetPerformances();

}  // namespace karvo
