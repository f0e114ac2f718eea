// The adaptive operators of the hybrid search: operator codes, the credit ring of the
// operators that made better designs, the adaptive operator probabilities derived from it
// after each generation, the adaptive crossover (adaptivx) and the adaptive mutation.
// Free functions over one AdaptiveState per agent (kept for the run and checkpointed).
//
// Operator codes (written into each new member's `operatorCode`):
//
//   family A (parents in the lower levels)   family B (upper levels, or no levels)
//   mutation  1 single field                 6
//             2 block step (width recorded)  7
//             3 block reset (width recorded) 8
//             4 difference step              9
//   crossover 10 two point                   60
//             20 uniform                     70
//             35 continuous blend; 30 when   85; 80 when it falls back to the field
//                it falls back to the field  blend
//                blend
//   search decisions (model-based designs): 90 local model optimum, 94 global model
//             optimum, 95 exploration by expected improvement; one shared probability.
//
// Every function draws from the process-wide generator (base/random.h) in the fixed order
// written at it, so that a run repeats exactly from its seed.
#pragma once

#include <array>
#include <functional>
#include <span>
#include <vector>

namespace karvo {
class StateArchive;
}  // namespace karvo

namespace karvo::search {

inline constexpr int kOperatorCodes = 100;     // codes 0..99
inline constexpr int kCreditWidths = 10;       // entries of the mutation-width ring

struct AdaptiveState {
  std::array<double, kOperatorCodes> probability{};  // by operator code (35 and 30 share
                                                     // one entry: 35; 85 and 80: 85;
                                                     // 90, 94, 95: 90)
  double searchFraction = 0.0;    // share of the population made by search decisions
  std::vector<int> creditRing;    // P entries of operator codes, -1 while empty
  int creditNext = 0;             // next slot of the credit ring
  std::array<double, kCreditWidths> widthRing{};  // widths of successful block mutations
  int widthNext = 0;
  double avgMutWidth = 1.0;       // mean block width for the block mutations, >= 1
  double pcross = 0.5;            // derived: family B crossover total
  double pmutation = 0.2;         // derived: family B mutation total + search fraction
  double pmutationDecisions = 0.0;  // the search fraction included in pmutation (the
                                    // throttle may change the fraction in between)
  double familyACross = 0.0;      // derived with levels: family A crossover sub-total
  double familyAMutation = 0.0;   // derived with levels: family A mutation sub-total
                                  // (with 90/94/95)
  int fineGrained = -1;           // -1 not decided yet, 0 no, 1 yes (decided once per run
                                  // by the caller, from mostlyFineGrained)
};

// The state's fields as a checkpoint keeps them (base/state_archive.h).
void keepFields(StateArchive& archive, AdaptiveState& state);

// The code under which an operator's probability is kept (30 -> 35, 80 -> 85, 94/95 -> 90).
int probabilityCode(int code);

// Resets the probabilities to their initial values (family A: 1 0.06, 2 0.03, 3 0.03, 4 0.18,
// 90 0.03, 10 0.24, 20 0.06, 35 0.06; family B: 6 0.12, 7 0.06, 8 0.06, 9 0.06, 60 0.24,
// 70 0.06, 85 0.06), the search fraction to 0, the credit ring to P empty entries, the width
// ring to `initialWidth` (sqrt of the number of variables, at least 1) and the derived
// totals (pcross 0.5 and pmutation 0.2 until the first update).
void adaptiveReset(AdaptiveState& state, int populationSize, double initialWidth);

// A representation is mostly fine-grained when at most a third of its variables have fewer
// than 40 field values and at most a third are discrete (`discrete` 1 per discrete variable).
bool mostlyFineGrained(std::span<const int> fieldSizes, std::span<const char> discrete);

// Credit of one evaluated new member made by operator `code` (0: none, nothing credited):
//   codes 1-9, 90, 94, 95: one entry when childRaw > firstParentRaw, and then two more
//     when it also reaches bestRaw (the best raw fitness before this generation); for codes
//     2, 3, 7 and 8 such a success also writes `width` into the width ring;
//   codes 35 and 85: two entries when childRaw > firstParentRaw;
//   other codes 10-99: one entry when childRaw exceeds both parents;
//   codes of the last two groups: two more entries whenever childRaw >= bestRaw.
// Entries go into the ring circularly.
void creditOperator(AdaptiveState& state, int code, double childRaw, double firstParentRaw,
                    double secondParentRaw, double bestRaw, double width);

// Credit in the multi-objective search: a child made by operator `code` earns one entry when
// it dominates one of its parents and three when it dominates both; a successful block
// mutation (codes 2, 3, 7, 8) also writes `width` into the width ring.
void creditByDomination(AdaptiveState& state, int code, bool dominatesFirst,
                        bool dominatesSecond, double width);

// After each generation: the adaptive update of the probabilities, the search fraction and
// the derived totals and mutation width (levelCount L, 0 without levels; `designVariables`
// n for the width target sqrt(n)). Draws nothing.
void adaptProbabilities(AdaptiveState& state, int levelCount, int designVariables);

// The field blend of one field of size > 2 (codes 30 and 80): child 1 = alpha b + (1 - alpha) a
// and child 2 = alpha a + (1 - alpha) b, each rounded to the nearest integer (a negative value
// v becomes trunc(0.5 - v)) and reflected at the top (k > N - 1 becomes 2 (N - 1) - k). adaptivx
// draws alpha = 1.5 r - 0.25 once per field.
void blendFieldValues(int a, int b, double alpha, int fieldSize, int& c1, int& c2);

// adaptivx: two parents give two children (sized like the parents). Draws, in this order:
// flip(pcross of the family: familyACross for lowerLevels, otherwise pcross); 0 gives
// copies. Fewer than 2 differing fields give copies without a further draw. Then the
// sub-operator (one draw; family A for lowerLevels, else family B) and its own draws.
// Answers the code used (10, 20, 30, 35, 60, 70, 80, 85), or 0 for copies.
int adaptiveCrossover(const AdaptiveState& state, bool lowerLevels, const std::vector<int>& p1,
                      const std::vector<int>& p2, std::span<const int> fieldSizes,
                      std::vector<int>& c1, std::vector<int>& c2);

// Adaptive mutation of one member: flip(mutation total of the family, without the search
// fraction); 0: no mutation, answers 0. Otherwise the kind is drawn from the family's
// mutation probabilities (codes 1-4 for lowerLevels, 6-9 otherwise), the chromosome is
// mutated and the code answered; `width` receives the block width used by codes 2, 3, 7
// and 8 (1 otherwise). `population` holds the chromosomes of the current population (for
// the spread of a block step and the difference step). Every field stays within
// [0, field size - 1].
int adaptiveMutation(const AdaptiveState& state, bool lowerLevels, std::vector<int>& chromosome,
                     std::span<const int> fieldSizes,
                     std::span<const std::vector<int>* const> population, double& width);

// Makes a new member differ from every design `known` names (its parents, the other new
// designs, the stored designs): while `known` says yes, up to 8 more adaptive mutations
// (`code` becomes the last non-zero one), then up to 64 single fields redrawn at random
// (each such redraw a single-field mutation of the family: code 1, or 6 for the upper
// levels). `width` follows the block mutations. Draws nothing once the member is new.
void mutateUntilNew(const AdaptiveState& state, bool lowerLevels, std::vector<int>& chromosome,
                    std::span<const int> fieldSizes,
                    std::span<const std::vector<int>* const> population,
                    const std::function<bool(const std::vector<int>&)>& known, int& code,
                    double& width);

}  // namespace karvo::search
