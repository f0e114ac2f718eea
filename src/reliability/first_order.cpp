// The first-order reliability iteration and the study that runs it for each constraint of a
// reliability agent; see first_order.h. A study evaluates 1 + n designs per update (n random
// parameters), a few updates per constraint.
#include "reliability/first_order.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/messages.h"
#include "definitions/performance_file.h"
#include "definitions/study.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/performance.h"
#include "evaluation/random_parameters.h"
#include "external/distribution.h"
#include "reliability/reliability_math.h"
#include "reliability/reliability_study.h"

namespace karvo::reliability {

namespace {

// The equivalent normal law of a parameter at x.
struct EquivalentNormal {
  double mean = 0.0;
  double sd = 0.0;
};

EquivalentNormal equivalentNormal(const FormParameter& parameter, double x) {
  if (!parameter.uniform) return {parameter.mean, parameter.sd};
  const double width = parameter.b - parameter.a;
  const double f = std::clamp((x - parameter.a) / width, 0.0, 1.0);
  // normalQuantile answers 4 for F near 1 but -infinity at F = 0: the lower half is taken as
  // the mirror of the upper one, so that both ends of the range keep sigma' > 0.
  const double z = f >= 0.5 ? normalQuantile(f) : -normalQuantile(1.0 - f);
  const double sd = normalDensity(z) * width;
  return {x - z * sd, sd};
}

// The backward difference step of a parameter at x: 0.0001 x, or 0.0001 times the spread when
// that is larger in size (a value at or near 0 would otherwise get no step at all).
double differenceStep(const FormParameter& parameter, double x) {
  const double relative = kFormStepFraction * x;
  const double least = kFormStepFraction * parameter.spread;
  return std::fabs(relative) >= least ? relative : least;
}

// The limit state at x and its gradient, from one batch of x and its n backward neighbours.
// False when the batch failed or some value is not a finite number.
bool limitStateWithGradient(const std::vector<FormParameter>& parameters,
                            const std::vector<double>& x, const LimitState& limitState,
                            int& evaluations, double& g, std::vector<double>& gradient) {
  const std::size_t n = parameters.size();
  std::vector<std::vector<double>> points(n + 1, x);
  for (std::size_t i = 0; i < n; ++i) points[i + 1][i] = x[i] - differenceStep(parameters[i], x[i]);
  std::vector<double> values;
  const bool answered = limitState(points, values);
  evaluations += static_cast<int>(n + 1);
  if (!answered || values.size() != n + 1) return false;
  for (double value : values) {
    if (!std::isfinite(value)) return false;
  }
  g = values[0];
  for (std::size_t i = 0; i < n; ++i) {
    // The step as the points hold it, so that a linear g gives its slope to rounding.
    gradient[i] = (values[0] - values[i + 1]) / (x[i] - points[i + 1][i]);
    if (!std::isfinite(gradient[i])) return false;
  }
  return true;
}

// The iteration's state and its message.
struct Iteration {
  explicit Iteration(const std::vector<FormParameter>& p)
      : parameters(p), x(p.size()), mean(p.size()), sd(p.size()), gradient(p.size()),
        alpha(p.size()) {
    for (std::size_t i = 0; i < p.size(); ++i) x[i] = p[i].mean;  // the nominal values
  }
  const std::vector<FormParameter>& parameters;
  std::vector<double> x, mean, sd, gradient, alpha;
  double g = 0.0;
  double norm = 0.0;  // L = sqrt(sum (sigma'_i dg_i)^2)
  FormResult result;
  bool faulty = false;  // an error that makes the result doubtful
};

// The equivalent normals at x and the gradient norm; false (with its message) when the norm
// is zero.
bool linearise(Iteration& it) {
  double sum = 0.0;
  for (std::size_t i = 0; i < it.parameters.size(); ++i) {
    const EquivalentNormal law = equivalentNormal(it.parameters[i], it.x[i]);
    it.mean[i] = law.mean;
    it.sd[i] = law.sd;
    sum += (law.sd * it.gradient[i]) * (law.sd * it.gradient[i]);
  }
  if (sum < 0.0) {
    it.result.problems += "Internal error 239. Taking square root of a negative number. "
                          "Returning 0.0 and continuing if possible.";
    it.faulty = true;
    sum = 0.0;
  }
  it.norm = std::sqrt(sum);
  if (it.norm == 0.0) {
    it.result.problems = formatText(
        "%sError in gradient calculation. The gradient is zero w.r.t. all the parameters.",
        it.result.problems.c_str());
    it.faulty = true;
    return false;
  }
  for (std::size_t i = 0; i < it.parameters.size(); ++i) {
    it.alpha[i] = -it.sd[i] * it.gradient[i] / it.norm;
  }
  return true;
}

bool evaluateAt(Iteration& it, const LimitState& limitState) {
  if (limitStateWithGradient(it.parameters, it.x, limitState, it.result.evaluations, it.g,
                             it.gradient)) {
    return true;
  }
  it.result.problems = formatText(
      "%sA design of the first-order iteration failed or gave a constraint value that is not a "
      "finite number (after %d designs). The iteration stops with the last good Beta, %g.",
      it.result.problems.c_str(), it.result.evaluations, it.result.beta);
  it.faulty = true;
  return false;
}

}  // namespace

FormParameter normalFormParameter(double mean, double sd) {
  FormParameter parameter;
  parameter.mean = mean;
  parameter.sd = sd;
  parameter.spread = sd;
  return parameter;
}

FormParameter uniformFormParameter(double centre, double width) {
  FormParameter parameter;
  parameter.uniform = true;
  parameter.mean = centre;
  parameter.a = centre - 0.5 * width;
  parameter.b = centre + 0.5 * width;
  parameter.spread = width;
  return parameter;
}

FormResult firstOrderReliability(const std::vector<FormParameter>& parameters,
                                 const LimitState& limitState, int maxEvaluations) {
  const std::size_t n = parameters.size();
  Iteration it(parameters);
  FormResult& result = it.result;
  if (evaluateAt(it, limitState) && linearise(it)) {
    result.beta = it.g / it.norm;
    const int batch = static_cast<int>(n + 1);
    for (;;) {
      if (result.evaluations + batch > maxEvaluations) {
        result.problems =
            formatText("%s\nBeta has not converged, iterations ended after %d designs.",
                       result.problems.c_str(), result.evaluations);
        result.problems = formatText("%s\nFinal Beta: %g.\n", result.problems.c_str(),
                                     result.beta);
        break;
      }
      for (std::size_t i = 0; i < n; ++i) {
        const double x = it.mean[i] + result.beta * it.sd[i] * it.alpha[i];
        it.x[i] = parameters[i].uniform ? std::clamp(x, parameters[i].a, parameters[i].b) : x;
      }
      if (!evaluateAt(it, limitState) || !linearise(it)) break;
      // The point in standard normal space through the equivalent normals at the point itself
      // (those of the previous point would keep beta at the previous linearisation's value
      // whenever the step lands on g = 0).
      double along = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        along += it.sd[i] * it.gradient[i] * (it.x[i] - it.mean[i]) / it.sd[i];
      }
      const double beta = (it.g - along) / it.norm;
      // Relative to beta, but absolute while |beta| < 1: beta may be 0.
      const bool close =
          std::fabs(beta - result.beta) <= kFormTolerance * std::max(std::fabs(result.beta), 1.0);
      result.beta = beta;
      if (close) {
        result.converged = true;
        break;
      }
    }
  }
  if (it.faulty) result.problems += "\nBecause of this error, the reliability may not be accurate.";
  result.probability = failureProbability(result.beta);
  return result;
}

namespace {

// The iteration's view of the random parameters. An unsupported law ends the run.
std::vector<FormParameter> formParametersOf(const std::vector<RandomParameter>& parameters) {
  std::vector<FormParameter> form;
  for (const RandomParameter& parameter : parameters) {
    const std::string& type = parameter.distribution->typeWord();
    const bool uniform = type == "Uniform";
    if (!uniform && type != "Normal") {
      fatalError(formatText("Unsupported distribution type (%s) used in the FORM calculation. "
                            "Only Uniform, and Normal are currently supported.",
                            type.c_str()));
    }
    // Spreads read in the record's form: with "useRelative" a fraction of |nominal|.
    double spread = propertyOf(parameter, uniform ? "variation" : "standardDeviation");
    if (propertyOf(parameter, "useRelative") != 0.0) spread *= std::fabs(parameter.nominal);
    form.push_back(uniform ? uniformFormParameter(parameter.nominal, 2.0 * spread)
                           : normalFormParameter(parameter.nominal, spread));
  }
  return form;
}

std::vector<double> responseValues(const std::vector<Design>& designs, std::size_t r) {
  std::vector<double> values;
  for (const Design& design : designs) {
    double value = 0.0;
    if (sampleResponse(design, r, value)) values.push_back(value);
  }
  return values;
}

}  // namespace

void runFirstOrderStudy(Agent& agent, const EvaluationServices& services) {
  const Design baseline = baselineDesign(agent);
  const std::vector<RandomParameter> parameters =
      randomParametersOf(static_cast<std::size_t>(baseline.num_dvar));
  if (parameters.empty()) {
    warnNoRandomParameters(agent);
    return;
  }
  const std::vector<FormParameter> form = formParametersOf(parameters);
  PerformanceDefinition* definition = findPerformance(agent.performance);
  if (!definition) fatalError("Performance number set to illegal number, exit.");

  // Every design of the study, for the files of the responses that are not constraints.
  std::vector<Design> all;
  bool anyConstraint = false;
  for (int r = 0; r < definition->count; ++r) {
    if (definition->flag[static_cast<std::size_t>(r)] != kResponseConstraint) continue;
    anyConstraint = true;
    const std::string& name = definition->name[static_cast<std::size_t>(r)];
    writeMessage("outptr", "note",
                 formatText("Starting the reliability calculation for constraint %s",
                            name.c_str()));
    std::vector<Design> designs;  // this constraint's designs
    const LimitState limitState = [&](const std::vector<std::vector<double>>& points,
                                      std::vector<double>& g) {
      std::vector<Design> batch;
      batch.reserve(points.size());
      for (const std::vector<double>& point : points) {
        batch.push_back(sampleDesign(baseline, parameters, point));
      }
      evaluateSamples(agent, batch, services);
      g.clear();
      for (const Design& design : batch) {
        double value = 0.0;
        g.push_back(sampleResponse(design, static_cast<std::size_t>(r), value)
                        ? -deviation(*definition, r, value)
                        : std::numeric_limits<double>::quiet_NaN());
      }
      designs.insert(designs.end(), batch.begin(), batch.end());
      return true;
    };
    // The budget holds for each constraint: a later constraint is not starved by an earlier.
    const FormResult result = firstOrderReliability(form, limitState, agent.method.numEvals);
    if (!result.problems.empty()) writeMessage("outptr", "warning", result.problems);
    writeMessage("outptr", "note",
                 formatText("Agent %d: constraint %s: beta %g, probability of failure %g (first "
                            "order, %d designs).",
                            agent.number, name.c_str(), result.beta, result.probability,
                            result.evaluations));
    writeResultsFile(agent.number, name,
                     statisticsText(name, responseStatistics(responseValues(
                                              designs, static_cast<std::size_t>(r)))) +
                         reliabilityText(result.beta, result.probability));
    all.insert(all.end(), designs.begin(), designs.end());
  }
  if (!anyConstraint) {
    writeMessage("outptr", "warning",
                 formatText("Agent %d has no constraint response: the first-order reliability "
                            "calculation evaluates no designs and writes no results.",
                            agent.number));
    return;
  }
  for (int r = 0; r < definition->count; ++r) {
    if (definition->flag[static_cast<std::size_t>(r)] == kResponseConstraint) continue;
    const std::string& name = definition->name[static_cast<std::size_t>(r)];
    writeResultsFile(agent.number, name,
                     statisticsText(name, responseStatistics(responseValues(
                                              all, static_cast<std::size_t>(r)))));
  }
}

}  // namespace karvo::reliability
