// Scoring of designs: deviations of response values from their targets, the normalisations
// taken from the baseline design, and the performance, status and constraint violation of
// each design. Runs once for every evaluated design of every agent (tens of responses each),
// so it allocates nothing and walks the performance definition once.
#include "evaluation/performance.h"

#include <cmath>
#include <string>

#include "definitions/study.h"
#include "base/messages.h"

namespace karvo {

namespace {

// The value of response `i`, or NaN when the caller gave fewer values than responses.
double valueAt(std::span<const double> values, int i) {
  return static_cast<std::size_t>(i) < values.size() ? values[i] : std::nan("");
}

bool isScored(int flag) { return flag == kResponseObjective || flag == kResponseConstraint; }

void scoreAsFailed(Design& design) {
  design.status = kDesignError;
  design.failed = true;
  design.violation = kFailedViolation;
  design.performance = kFailedPerformance;
}

// The first objective or constraint whose value cannot be scored, or -1.
int firstUnscorableValue(const PerformanceDefinition& definition,
                         std::span<const double> values) {
  for (int i = 0; i < definition.count; ++i) {
    if (isScored(definition.flag[i]) && !std::isfinite(valueAt(values, i))) return i;
  }
  return -1;
}

}  // namespace

double deviation(const PerformanceDefinition& definition, int response, double value) {
  const int opt = definition.opt[response];
  const double target = definition.target[response];
  if (definition.flag[response] == kResponseObjective) {
    const double norm = std::fabs(definition.norm[response]);
    switch (opt) {
      case -1:
        return -value;
      case 1:
        return value;
      case 0:
        return -(value - target) * (value - target) / norm;
      default:  // 2: push away from the target
        return (value - target) * (value - target) / norm;
    }
  }
  if (definition.flag[response] == kResponseConstraint) {
    switch (opt) {
      case -1:
        return value - target;
      case 1:
        return target - value;
      default:  // 0: equal to the target; any difference violates it
        return std::fabs(value - target);
    }
  }
  return 0.0;
}

bool isBaselineDesign(const Design& design, const ScoringContext& context) {
  if (design.designNumber == 1) return true;
  if (context.readingFromDisk && context.firstDesignRead) return true;
  if (context.postProcessOnly) return true;
  return design.designNumber == 0 && context.baselineProcessing;
}

int applyBaselineNormalisation(PerformanceDefinition& definition, std::span<const double> values,
                               int designNumber, bool fromDisk) {
  int set = 0;
  for (int i = 0; i < definition.count; ++i) {
    if (definition.norm[i] >= 0.0) continue;
    const double value = valueAt(values, i);
    // A value that cannot be scored leaves the normalisation pending; the design itself is
    // scored as failed.
    if (!std::isfinite(value)) continue;
    const int opt = definition.opt[i];
    const double raw =
        (opt == 0 || opt == 2) ? std::fabs(value - definition.target[i]) : std::fabs(value);
    if (raw == 0.0) {
      std::string text = formatText(
          "The normalization value for response \"%s\" based on the baseline design evaluated "
          "to 0.0.",
          definition.name[i].c_str());
      text = formatText(
          "%s This value must be non-zero. Please fix this before resubmitting the run.",
          text.c_str());
      fatalError(text);
    }
    if (set == 0 && fromDisk && designNumber != 1) {
      writeMessage("outptr", "note",
                   formatText("Since the option to read analysis data from disk has been "
                              "selected and design 1 was not in the read list of designs, the "
                              "response data from design %d is being used for the "
                              "normalization.",
                              designNumber));
    }
    definition.norm[i] = raw;
    ++set;
  }
  return set;
}

double performance(Design& design, PerformanceDefinition& definition,
                   std::span<const double> values, const ScoringContext& context) {
  if (design.status == kDesignError || design.failed) {
    scoreAsFailed(design);
    return design.performance;
  }
  if (isBaselineDesign(design, context)) {
    applyBaselineNormalisation(definition, values, design.designNumber,
                               context.readingFromDisk);
  }
  if (context.agentType == kAgentDoe) {
    design.performance = 1.0;
    return design.performance;
  }
  bool anyScored = false;
  for (int i = 0; i < definition.count && !anyScored; ++i) anyScored = isScored(definition.flag[i]);
  if (!anyScored) {
    design.status = kDesignSuccess;
    design.performance = 1.0;
    return design.performance;
  }
  if (int bad = firstUnscorableValue(definition, values); bad >= 0) {
    writeMessage("analysis", "warning",
                 formatText("The value of the study response \"%s\" of design %d is not a "
                            "finite number. The design is scored as a failed design.",
                            definition.name[bad].c_str(), design.designNumber),
                 design.designNumber);
    scoreAsFailed(design);
    return design.performance;
  }

  int status = kDesignFeasible;
  double total = 0.0;
  double violation = 0.0;
  for (int i = 0; i < definition.count; ++i) {
    const int flag = definition.flag[i];
    if (!isScored(flag)) continue;
    const double g = deviation(definition, i, values[i]) / std::fabs(definition.norm[i]);
    if (flag == kResponseObjective) {
      const int opt = definition.opt[i];
      const double sign = (opt == 1 || opt == 2) ? 1.0 : -1.0;
      total += definition.offset[i] * g + sign * definition.coef[i] * g * g;
    } else if (g > 0.0) {
      status = kDesignInfeasible;
      violation += g;
      total -= definition.coef[i] * g * g + definition.offset[i] * g;
    }
  }
  if (!std::isfinite(total)) {
    writeMessage("analysis", "warning",
                 formatText("The performance of design %d is not a finite number. The design is "
                            "scored as a failed design.",
                            design.designNumber),
                 design.designNumber);
    scoreAsFailed(design);
    return design.performance;
  }
  design.status = status;
  design.performance = total;
  if (!context.replayingCheckpoint) design.violation = violation;
  return total;
}

}  // namespace karvo
