// The two codings of a design and the conversions between them: the integer chromosome
// (one field value per design variable) and the real vector (the variable values followed by
// the parameter values). Decoding brings a representation's variable slots to one design's
// values before the design is evaluated; sharing copies a design into a representation of
// another resolution (migration between subpopulations).
//
// Conversions by slot and agent type (N = number of field values, k = field value):
//
//   discrete slot, any agent           real = k
//   continuous, agent types 0 and 4    bounds [lo, hi] of the slot:
//                                        mode 0 (2^r values): x = lo + (hi - lo) k / N
//                                        mode 1 (r values):   x = lo + (hi - lo) k / (N - 1)
//   continuous, other agent types      with a level list: the same over the levels (N = level
//                                        count; hi = the second level for the Latin hypercube,
//                                        existing, optimised Latin hypercube and Hammersley
//                                        arrays, else the last level);
//                                      without one: the slot's fixed value
//
// Every function here that stops the run does so through fatalError (RunExit). Variable
// numbers in messages count from 1 in representation order.
#pragma once

#include <string>
#include <vector>

#include "base/design.h"
#include "definitions/representation.h"
#include "evaluation/relationships.h"

namespace karvo {

struct Agent;

// Rounding of dblsToInts.
enum EncodingRounding : int {
  kRoundDown = -1,    // offset 0.0
  kRoundNearest = 0,  // offset 0.5
  kRoundUp = 1,       // offset 0.9999999999999998
};

// Gradient step size of the bound check for agents whose method has no gradient settings.
inline constexpr double kDefaultBoundStep = 0.001;

// What the conversions need to know of the agent whose designs they convert. Made once per
// agent (encodingContextForAgent) and passed to every call.
struct EncodingContext {
  int agentType = 0;              // AgentType: 0 and 4 code over the slot bounds; the others
                                  // use level lists or fixed values
  int methodCode = 0;             // MethodCode of the agent (hybrid searches, step size)
  int doeKind = -1;               // DoeKind of a design-of-experiments method; -1: none
  bool clampToLowerBound = false; // the agent's bound-clamping option: dblsToInts also limits
                                  // a value to at least the lower bound
  double gradStepSize = kDefaultBoundStep;  // share of a variable's range allowed beyond its
                                  // bounds while decoding, (0, 0.5]
  bool copyParameters = true;     // intsToDbls copies `parameters` after the variables
  std::vector<double> parameters; // current values of the study's fixed parameters, in the
                                  // order of the variable table (encodingParameterValues)
};

// The values of the study's fixed parameters ("Parameter" records), in variable-table order:
// the order in which every design holds them after its variable values.
std::vector<double> encodingParameterValues();

// The context of an agent from the run-wide tables: its type, method code and array kind;
// the step size of the bound check is the `gradStepSize` of an MS or QP method (0.0005 when
// the method record omits it) and 0.001 for every other method; parameters are copied except
// for reliability-and-robustness agents (whose designs carry drawn parameter values), for
// robust parameter designs (method RobustParameterDesign, or DOE with that sampleMethod:
// their noise runs carry the random parameters' levels) and in post-processing runs without
// evaluation; the parameter values are the baselines of the
// variable table. The bound-clamping option is off (no study property sets it); a caller
// that has it sets clampToLowerBound.
EncodingContext encodingContextForAgent(const Agent& agent);

// Number of field values of a slot: 2^r in mode 0, r in mode 1 and for discrete slots.
// Stops with "ERROR IN intsToDbls, Exit A" for another mode of a continuous slot.
double encodingFieldCount(const VariableSlot& slot);

// One variable (`index`, 0-based, names it in messages): field value -> real value, and
// real value -> field value (EncodingRounding). These are the per-variable steps of
// intsToDbls and dblsToInts, with their stops.
double encodingFieldToReal(const VariableSlot& slot, int index, int field,
                           const EncodingContext& context);
int encodingRealToField(const VariableSlot& slot, int index, double value, int rounding,
                        const EncodingContext& context);

// Chromosome -> real values. design.reals is resized to num_dvar plus the parameter count
// (at least num_dvar) and, when context.copyParameters is set, the parameter values follow
// the variable values. Stops with "ERROR IN intsToDbls, Exit A" for an unknown resolution
// mode, with "The number of factor levels (%d) for design variable number %d is less than
// 2. The number of levels must be 2 or larger." for a level list that is too short, and with
// "ERROR IN intsToDbls, Exit D" for an unknown slot kind.
void intsToDbls(Design& design, const Representation& representation,
                const EncodingContext& context);

// Real values -> chromosome with the given rounding; the field values are always within
// [0, N - 1] (a value that is not a number gives 0). Stops with "ERROR IN dblsToInts, Exit A"
// for an unknown mode and "ERROR IN dblsToInts, Exit D" for an unknown slot kind.
void dblsToInts(Design& design, int rounding, const Representation& representation,
                const EncodingContext& context);

// Real values -> variable slots, for designs whose real values are authoritative (the
// chromosome must already hold the matching field values). Each value is checked against
// its bounds with the decoding tolerance (stops as decodeDesign, with the padding line); an
// unknown kind stops with "ERROR IN DblsToDesign, Exit D".
void DblsToDesign(const Design& design, Representation& representation,
                  const EncodingContext& context);

// Decodes a design into the slots of its representation, by its encoding:
//   1: intsToDbls, then the chromosome and the real values go into the slots;
//   2: dblsToInts (nearest), then DblsToDesign;
// another encoding stops with "Error in determining the evaluation type (%d)." and the
// internal-error line. The variable values are checked against their bounds with the
// tolerance |hi - lo| * gradStepSize + 2.220446049250313e-16 (a discrete value must be a
// choice index, 0 <= value < number of items); a value that is not a number counts as
// beyond the upper bound. An unknown kind stops with "ERROR in decoding design, Exit D", an
// unknown mode with "ERROR in decoding design, Exit A".
// When `relationships` is given, the study relationships are then applied (relationships.h).
// Answers false when a relationship failed (the design is then marked failed), else true.
bool decodeDesign(Design& design, Representation& representation,
                  const EncodingContext& context,
                  const RelationshipSettings* relationships = nullptr);

// The representation of a design; stops with "Representation number set to illegal number,
// exit." when it is not loaded.
Representation& encodingRepresentationOf(const Design& design);

// Shares `design` (of subpopulation `fromPop`, in its own representation) into
// subpopulation `toPop`, whose representation is `toRepresentation`. Variables are matched
// by id; each matched continuous field is multiplied by (rB - 1) div (rA - 1) in mode 1 or
// 2^(rB - rA) in mode 0; a discrete field is copied; an unmatched variable takes its baseline
// field. The copy keeps the design's number and results, has encoding 1, the target's
// representation and variable count, and real values from intsToDbls under `toContext`
// (with the current parameter values). A lower resolution in the target stops with the
// "Cannot share high to low resolution." lines, a mapping that is not exact with the "There
// is not a unique mapping for this design variable." lines, and a representation that is not
// loaded with "Error in sharing design, point A.\n" (source) or "... point B.\n" (target)
// and "Error.".
Design share(const Design& design, int fromPop, int toPop, int toRepresentation,
             const EncodingContext& toContext);

}  // namespace karvo
