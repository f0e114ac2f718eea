// The random parameters of a study and the checked operations on their distribution objects.
// Made once per study; every failure of an object ends the run with its property list.
#include "evaluation/random_parameters.h"

#include "base/messages.h"
#include "base/random.h"
#include "definitions/variables.h"
#include "external/distribution.h"

namespace karvo {

namespace {

// Ends the run with `text` followed by the object's property list.
[[noreturn]] void failWithPropertyList(const std::string& text, const Distribution& object) {
  fatalError(formatText("%s Distribution data at the time of error was:\n%s", text.c_str(),
                        object.propertyList().c_str()));
}

// Sets a numeric property that the object must accept.
void setChecked(Distribution& object, const std::string& parameter, const char* name,
                double value) {
  std::string reason;
  if (object.setProperty(name, value, reason)) return;
  std::string text = formatText(
      "Error in generating the distribution object from the stored pointer for %s",
      parameter.c_str());
  if (!reason.empty()) text = formatText("%s %s", text.c_str(), reason.c_str());
  failWithPropertyList(text, object);
}

// The distribution's name in messages: its `*DEFINE_DIST` name.
const char* nameOf(const RandomParameter& parameter) {
  return parameter.distributionName.c_str();
}

}  // namespace

std::vector<RandomParameter> randomParametersOf(std::size_t first) {
  std::vector<RandomParameter> parameters;
  std::size_t ordinal = 0;  // among all fixed parameters, as a design holds them
  for (const Variable& variable : definitions.variables) {
    if (variable.kind != VariableKind::FixedParameter) continue;
    const std::size_t position = first + ordinal++;
    if (variable.distributionIndex < 0) continue;
    RandomParameter parameter;
    parameter.name = variable.name;
    parameter.distributionName = variable.distributionName;
    parameter.nominal = variable.baseline;
    parameter.position = position;
    const std::size_t index = static_cast<std::size_t>(variable.distributionIndex);
    std::string reason;
    std::unique_ptr<Distribution> object;
    if (index < definitions.distributions.size()) {
      const DistributionDefinition& record = definitions.distributions[index];
      object = createDistribution(record.type, record.properties, reason);
    }
    if (!object) {
      fatalError(formatText(
          "Error in generating the distribution object from the stored pointer for %s",
          variable.name.c_str()));
    }
    setChecked(*object, variable.name, "baseline", variable.baseline);
    // Drawn in parameter order, so that the same study seed gives the same streams.
    const int seed = randomInt(0, kDistributionSeedRange);
    setChecked(*object, variable.name, "randomSeed", static_cast<double>(seed));
    parameter.distribution = std::move(object);
    parameters.push_back(std::move(parameter));
  }
  return parameters;
}

double drawValue(const RandomParameter& parameter) {
  double value = 0.0;
  std::string reason;
  if (!parameter.distribution->randomValue(value, reason)) {
    failWithPropertyList(formatText("Error in generating a random value for the %s distribution",
                                    nameOf(parameter)),
                         *parameter.distribution);
  }
  return value;
}

double quantileOf(const RandomParameter& parameter, double p) {
  double x = 0.0;
  std::string reason;
  if (!parameter.distribution->quantile(p, x, reason)) {
    failWithPropertyList(
        formatText("Error in calculating the quantile for %f for the %s distribution", p,
                   nameOf(parameter)),
        *parameter.distribution);
  }
  return x;
}

bool isContinuous(const RandomParameter& parameter) {
  bool continuous = true;
  std::string reason;
  if (!parameter.distribution->isContinuous(continuous, reason)) {
    failWithPropertyList(
        formatText("Error in checking if the %s distribution is continuous", nameOf(parameter)),
        *parameter.distribution);
  }
  return continuous;
}

double propertyOf(const RandomParameter& parameter, const std::string& word) {
  double value = 0.0;
  std::string reason;
  if (!parameter.distribution->property(word, value, reason)) fatalError(reason);
  return value;
}

}  // namespace karvo
