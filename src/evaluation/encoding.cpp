// Conversions between a design's chromosome and its real values, decoding into the variable
// slots with the bound check, and sharing between representations. Called for every design
// of every agent (decoding before each evaluation, conversions inside the search operators):
// tens of variables per design, no allocation beyond the design's own vectors.
#include "evaluation/encoding.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_state.h"

namespace karvo {

namespace {

constexpr double kMachineEpsilon = 2.220446049250313e-16;

// The range and field count over which one continuous slot is coded for an agent.
struct Coding {
  bool fixed = false;  // the slot takes its fixed value (non-search agent, no level list)
  double lo = 0.0;     // value of field 0
  double hi = 0.0;     // value of field N - 1 (mode 1) or N (mode 0, never produced)
  double count = 0.0;  // N, >= 1 in practice
  int mode = kResolutionValues;
};

bool searchAgent(const EncodingContext& context) {
  return context.agentType == kAgentOptimization || context.agentType == kAgentEvaluation;
}

// Array kinds whose level list holds the lower and upper value first.
bool secondLevelIsUpper(int doeKind) {
  return doeKind == kDoeLatinHypercube || doeKind == kDoeExisting ||
         doeKind == kDoeOptimizedLatin || doeKind == kDoeHammersley;
}

double fieldCount(const VariableSlot& slot, const char* unknownModeText) {
  if (slot.kind == kSlotDiscrete) return slot.resolution;
  if (slot.resolutionMode == kResolutionBits) return std::ldexp(1.0, slot.resolution);
  if (slot.resolutionMode == kResolutionValues) return slot.resolution;
  fatalError(unknownModeText);
}

Coding codingOf(const VariableSlot& slot, int index, const EncodingContext& context,
                const char* unknownModeText) {
  Coding coding;
  if (slot.resolutionMode != kResolutionBits && slot.resolutionMode != kResolutionValues) {
    fatalError(unknownModeText);
  }
  coding.mode = slot.resolutionMode;
  if (searchAgent(context) || !slot.usesLevels) {
    coding.fixed = !searchAgent(context);
    coding.lo = slot.lower;
    coding.hi = slot.upper;
    coding.count = fieldCount(slot, unknownModeText);
    return coding;
  }
  int levels = std::min(slot.levelCount, static_cast<int>(slot.levels.size()));
  if (levels < 2) {
    fatalError(
        formatText("The number of factor levels (%d) for design variable number %d is "
                   "less than 2. The number of levels must be 2 or larger.",
                   levels, index + 1));
  }
  coding.lo = slot.levels[0];
  coding.hi = secondLevelIsUpper(context.doeKind)
                  ? slot.levels[1]
                  : slot.levels[static_cast<std::size_t>(levels - 1)];
  coding.count = levels;
  return coding;
}

double roundingOffset(int rounding) {
  if (rounding < 0) return 0.0;
  if (rounding > 0) return 0.9999999999999998;
  return 0.5;
}

// trunc(v) limited to [0, count - 1]; a value that is not a number gives 0.
int clampedField(double v, double count) {
  if (std::isnan(v)) return 0;
  double top = std::max(count - 1.0, 0.0);
  return static_cast<int>(std::clamp(std::trunc(v), 0.0, top));
}

[[noreturn]] void shapeError(const Design& design, const Representation& representation,
                             const char* what, std::size_t have) {
  fatalError(
      formatText("Internal error: design %d has %d %s for the %d design variables of "
                 "representation %d.",
                 design.designNumber, static_cast<int>(have), what,
                 static_cast<int>(representation.slots.size()), representation.number));
}

// The bound test of decoding for variable `index` holding `value`. `withPadding` selects the
// line of DblsToDesign.
void checkBounds(const VariableSlot& slot, int index, double value, const EncodingContext& context,
                 bool withPadding) {
  double lo;
  double hi;
  double padding;
  bool above;
  bool below;
  if (slot.kind == kSlotDiscrete) {
    // A choice index: 0 <= value < number of items; no tolerance.
    lo = 0.0;
    hi = slot.resolution;
    padding = 0.0;
    above = !(value < hi);
    below = value < lo;
  } else {
    Coding coding = codingOf(slot, index, context, "ERROR in decoding design, Exit A");
    lo = std::min(coding.lo, coding.hi);
    hi = std::max(coding.lo, coding.hi);
    padding = std::fabs(hi - lo) * context.gradStepSize + kMachineEpsilon;
    above = !(value <= hi + padding);  // a value that is not a number fails here
    below = value < lo - padding;
  }
  if (!above && !below) return;
  std::string text =
      above ? formatText("%d design variable value (real) larger than upper bound!\n", index + 1)
            : formatText("%d design variable value (real) small than lower bound!\n", index + 1);
  if (withPadding) {
    text = formatText("%sLower bound = %f, upper bound = %f, value=%f, padding=%f.\n", text.c_str(),
                      lo, hi, value, padding);
  } else {
    text = formatText("%s Lower bound = %f, upper bound = %f, value=%f.\n", text.c_str(), lo, hi,
                      value);
  }
  text = formatText("%sid = %d, iden=%d.", text.c_str(), slot.id, slot.iden);
  fatalError(text);
}

// Lines of the sharing stops.
std::string resolutionLines(int fromPop, int fromIndex, int fromResolution, int toPop, int toIndex,
                            int toResolution) {
  return formatText("Pop %d, design variable %d has a resolution of %d\n", fromPop, fromIndex + 1,
                    fromResolution) +
         formatText("Pop %d, design variable %d has a resolution of %d\n", toPop, toIndex + 1,
                    toResolution);
}

}  // namespace

std::vector<double> encodingParameterValues() {
  std::vector<double> values;
  for (const Variable& variable : definitions.variables) {
    if (variable.kind == VariableKind::FixedParameter) values.push_back(variable.baseline);
  }
  return values;
}

EncodingContext encodingContextForAgent(const Agent& agent) {
  EncodingContext context;
  context.agentType = agent.type;
  context.methodCode = agent.method.code;
  context.doeKind = agent.method.doe.kind;
  if (context.methodCode == kMethodMultiStart || context.methodCode == kMethodSqp) {
    context.gradStepSize = agent.method.gradient.gradStepSize;
  }
  // Designs whose parameter values differ from design to design keep their own: the samples
  // of a reliability-and-robustness agent and the noise runs of a robust parameter design.
  const bool robustDesign = agent.method.code == kMethodRobustDesign ||
                            (agent.method.code == kMethodDoe &&
                             agent.method.doe.kind == kDoeRobustDesign);
  context.copyParameters =
      agent.type != kAgentReliability && !robustDesign && !run.settings.postNoEval;
  context.parameters = encodingParameterValues();
  return context;
}

double encodingFieldCount(const VariableSlot& slot) {
  return fieldCount(slot, "ERROR IN intsToDbls, Exit A");
}

double encodingFieldToReal(const VariableSlot& slot, int index, int field,
                           const EncodingContext& context) {
  if (slot.kind == kSlotDiscrete) return field;
  if (slot.kind != kSlotContinuous) fatalError("ERROR IN intsToDbls, Exit D");
  Coding coding = codingOf(slot, index, context, "ERROR IN intsToDbls, Exit A");
  if (coding.fixed) return slot.fixedValue;
  const double k = field;
  if (coding.mode == kResolutionBits) return coding.lo + (coding.hi - coding.lo) * k / coding.count;
  // Both ends exactly: no rounding of the quotient may move them.
  if (field == 0 || coding.count <= 1.0) return coding.lo;
  if (k == coding.count - 1.0) return coding.hi;
  return coding.lo + (coding.hi - coding.lo) * k / (coding.count - 1.0);
}

int encodingRealToField(const VariableSlot& slot, int index, double value, int rounding,
                        const EncodingContext& context) {
  if (slot.kind == kSlotDiscrete) return clampedField(value, slot.resolution);
  if (slot.kind != kSlotContinuous) fatalError("ERROR IN dblsToInts, Exit D");
  Coding coding = codingOf(slot, index, context, "ERROR IN dblsToInts, Exit A");
  double x = value;
  if (searchAgent(context)) {
    if (x > coding.hi) x = coding.hi;
    if (context.clampToLowerBound && x < coding.lo) x = coding.lo;
  } else if (coding.fixed) {
    x = slot.fixedValue;
  }
  if (coding.hi == coding.lo) return 0;
  const double a = roundingOffset(rounding);
  const double steps = coding.mode == kResolutionValues ? coding.count - 1.0 : coding.count;
  return clampedField((x - coding.lo) * steps / (coding.hi - coding.lo) + a, coding.count);
}

void intsToDbls(Design& design, const Representation& representation,
                const EncodingContext& context) {
  const std::size_t n = representation.slots.size();
  if (design.chromosome.size() != n)
    shapeError(design, representation, "field values", design.chromosome.size());
  const std::size_t total =
      context.copyParameters ? n + context.parameters.size() : std::max(design.reals.size(), n);
  design.reals.resize(total);
  for (std::size_t i = 0; i < n; ++i) {
    design.reals[i] = encodingFieldToReal(representation.slots[i], static_cast<int>(i),
                                          design.chromosome[i], context);
  }
  if (context.copyParameters) {
    std::copy(context.parameters.begin(), context.parameters.end(),
              design.reals.begin() + static_cast<std::ptrdiff_t>(n));
  }
  design.num_dvar = static_cast<int>(n);
}

void dblsToInts(Design& design, int rounding, const Representation& representation,
                const EncodingContext& context) {
  const std::size_t n = representation.slots.size();
  if (design.reals.size() < n)
    shapeError(design, representation, "real values", design.reals.size());
  design.chromosome.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    design.chromosome[i] = encodingRealToField(representation.slots[i], static_cast<int>(i),
                                               design.reals[i], rounding, context);
  }
  design.num_dvar = static_cast<int>(n);
}

void DblsToDesign(const Design& design, Representation& representation,
                  const EncodingContext& context) {
  const std::size_t n = representation.slots.size();
  if (design.reals.size() < n)
    shapeError(design, representation, "real values", design.reals.size());
  if (design.chromosome.size() != n)
    shapeError(design, representation, "field values", design.chromosome.size());
  for (std::size_t i = 0; i < n; ++i) {
    const VariableSlot& slot = representation.slots[i];
    if (slot.kind != kSlotContinuous && slot.kind != kSlotDiscrete) {
      fatalError("ERROR IN DblsToDesign, Exit D");
    }
    checkBounds(slot, static_cast<int>(i), design.reals[i], context, true);
  }
  for (std::size_t i = 0; i < n; ++i) {
    VariableSlot& slot = representation.slots[i];
    slot.intValue = design.chromosome[i];
    slot.realValue = slot.kind == kSlotDiscrete ? design.chromosome[i] : design.reals[i];
  }
}

bool decodeDesign(Design& design, Representation& representation, const EncodingContext& context,
                  const RelationshipSettings* relationships) {
  if (design.encoding != kEncodingChromosome && design.encoding != kEncodingReal) {
    std::string text =
        formatText("Error in determining the evaluation type (%d).", design.encoding);
    text = formatText(
        "%s Internal Error -119. Please send your project file to the technical "
        "support team for help.",
        text.c_str());
    fatalError(text);
  }
  for (const VariableSlot& slot : representation.slots) {
    if (slot.kind != kSlotContinuous && slot.kind != kSlotDiscrete) {
      fatalError("ERROR in decoding design, Exit D");
    }
    if (slot.kind == kSlotContinuous && slot.resolutionMode != kResolutionBits &&
        slot.resolutionMode != kResolutionValues) {
      fatalError("ERROR in decoding design, Exit A");
    }
  }
  if (design.encoding == kEncodingChromosome) {
    intsToDbls(design, representation, context);
    const std::size_t n = representation.slots.size();
    for (std::size_t i = 0; i < n; ++i) {
      checkBounds(representation.slots[i], static_cast<int>(i), design.reals[i], context, false);
    }
    for (std::size_t i = 0; i < n; ++i) {
      representation.slots[i].intValue = design.chromosome[i];
      representation.slots[i].realValue = design.reals[i];
    }
  } else {
    dblsToInts(design, kRoundNearest, representation, context);
    DblsToDesign(design, representation, context);
  }
  if (!relationships) return true;
  return applyStudyRelationships(design, representation, context, *relationships);
}

Representation& encodingRepresentationOf(const Design& design) {
  Representation* representation = findRepresentation(design.representation);
  if (!representation) fatalError("Representation number set to illegal number, exit.");
  return *representation;
}

Design share(const Design& design, int fromPop, int toPop, int toRepresentation,
             const EncodingContext& toContext) {
  const Representation* from = findRepresentation(design.representation);
  if (!from) fatalError(std::string("Error in sharing design, point A.\n") + "Error.");
  const Representation* to = findRepresentation(toRepresentation);
  if (!to) fatalError(std::string("Error in sharing design, point B.\n") + "Error.");
  const std::size_t nFrom = from->slots.size();
  const std::size_t nTo = to->slots.size();
  if (design.chromosome.size() != nFrom) {
    shapeError(design, *from, "field values", design.chromosome.size());
  }

  std::vector<int> fields(nTo, 0);
  for (std::size_t j = 0; j < nTo; ++j) {
    const VariableSlot& target = to->slots[j];
    int i = -1;  // the matching variable of the source representation
    for (std::size_t s = 0; s < nFrom; ++s) {
      if (from->slots[s].id == target.id) {
        i = static_cast<int>(s);
        break;
      }
    }
    const int targetIndex = static_cast<int>(j);
    if (i < 0) {
      fields[j] =
          encodingRealToField(target, targetIndex, target.fixedValue, kRoundNearest, toContext);
      continue;
    }
    const VariableSlot& source = from->slots[static_cast<std::size_t>(i)];
    const int k = design.chromosome[static_cast<std::size_t>(i)];
    if (target.kind == kSlotDiscrete) {
      fields[j] = std::clamp(k, 0, std::max(target.resolution - 1, 0));
      continue;
    }
    if (target.kind != kSlotContinuous) fatalError("ERROR IN intsToDbls, Exit D");
    if (target.resolutionMode != kResolutionBits && target.resolutionMode != kResolutionValues) {
      fatalError("ERROR IN intsToDbls, Exit A");
    }
    const int rA = source.resolution;
    const int rB = target.resolution;
    const std::string lines = resolutionLines(fromPop, i, rA, toPop, targetIndex, rB);
    if (rB < rA) {
      fatalError(formatText("Cannot share discrete design variable %d\n", i + 1) +
                 formatText("from pop %d to %d.\n\n", fromPop, toPop) + lines +
                 "Cannot share high to low resolution.\n" + "Error, cannot continue.");
    }
    long long multiplier = 0;
    bool unique = source.resolutionMode == target.resolutionMode;
    if (unique && target.resolutionMode == kResolutionBits) {
      // 2^rA values onto 2^rB: every source value lands on a target value.
      unique = rB - rA <= 30;
      if (unique) multiplier = 1LL << (rB - rA);
    } else if (unique) {
      if (rA <= 1) {
        multiplier = 0;  // a single value: the lower bound, field 0 in every resolution
      } else {
        unique = (rB - 1) % (rA - 1) == 0;
        multiplier = (rB - 1) / (rA - 1);
      }
    }
    if (!unique) {
      fatalError(formatText("Cannot share design variable %d\n", i + 1) + lines +
                 "There is not a unique mapping for this design variable.\n");
    }
    const double count = encodingFieldCount(target);
    const double mapped = static_cast<double>(multiplier) * std::max(k, 0);
    fields[j] = static_cast<int>(std::min(mapped, std::max(count - 1.0, 0.0)));
  }

  Design copy = design;
  copy.representation = to->number;
  copy.num_dvar = to->num_dvar;
  copy.source = toPop;
  copy.encoding = kEncodingChromosome;
  copy.chromosome = std::move(fields);
  // Parameter values of the source stay unless the target's context copies the current ones.
  std::vector<double> reals(nTo, 0.0);
  if (design.reals.size() > nFrom) {
    reals.insert(reals.end(), design.reals.begin() + static_cast<std::ptrdiff_t>(nFrom),
                 design.reals.end());
  }
  copy.reals = std::move(reals);
  intsToDbls(copy, *to, toContext);
  return copy;
}

}  // namespace karvo
