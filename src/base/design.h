// One candidate design: its integer chromosome and real values in one representation, the
// responses its evaluation produced, and its score. Made for every population member, every
// stored and every migrated design; the search engine copies and compares millions of them.
#pragma once

#include <string>
#include <vector>

namespace karvo {

// Design status codes (scores of a design).
enum DesignStatus : int {
  kDesignError = 0,       // the evaluation failed
  kDesignSuccess = 1,     // evaluated; no objective or constraint to score
  kDesignFeasible = 2,    // every constraint met
  kDesignInfeasible = 3,  // some constraint violated
};

// Status codes of responses and analyses; 0..3 are the design status codes above.
enum EvaluationStatus : int {
  kStatusError = 0,         // "ERROR"
  kStatusSuccess = 1,       // "SUCCESS"
  kStatusFeasible = 2,      // "FEASIBLE"
  kStatusInfeasible = 3,    // "INFEASIBLE"
  kStatusNotEvaluated = 4,  // "NOT EVALUATED"
  kStatusSkipped = 5,       // "SKIPPED"
};

// The word of a status code, as written after "*STATUS" in the analysis log and in the
// notes on a design; "UNKNOWN" for a code outside 0..5.
const char* statusWord(int status);

inline constexpr double kFailedPerformance = -1e99;  // performance of a failed design
inline constexpr double kFailedViolation = 10.0;     // constraint violation of a failed design

// Which of the two codings is authoritative.
enum DesignEncoding : int {
  kEncodingChromosome = 1,  // the integer chromosome
  kEncodingReal = 2,        // the real values
};

// The values of one response for one design.
struct ResponseValue {
  std::vector<double> values;  // numbers in order (one for a scalar response)
  std::vector<std::string> text;  // text responses: the values as strings
  int status = kDesignError;   // DesignStatus of this response's evaluation
  bool present = false;        // the evaluation produced data for it
};

struct Design {
  int representation = -1;        // representation number
  int num_dvar = 0;               // design variables of that representation
  int source = 0;                 // owning subpopulation (agent) index
  int encoding = kEncodingChromosome;  // DesignEncoding
  double violation = 0.0;         // sum of normalised constraint violations, >= 0
  std::vector<int> chromosome;    // num_dvar field values, 0 <= value < field size
  std::vector<double> reals;      // num_dvar variable values, then the parameter values
  double performance = 0.0;       // scalar performance, larger is better
  int status = kDesignError;      // DesignStatus
  int designNumber = -1;          // evaluation number, unique in the study; -1: none yet
  int generation = 0;             // generation that made it
  int cycle = 0;                  // cycle that made it
  bool failed = false;            // the evaluation (or a relationship) failed
  std::vector<ResponseValue> responses;  // one per study response of its performance
  std::string name{};             // design name (user designs); "" for the others
  std::string note{};             // a second text kept with the design in the history
  int tag = 0;                    // the first optional integer of a user design line
  int requestedNumber = 0;        // a design number asked for (user designs); 0: the next one
};

}  // namespace karvo
