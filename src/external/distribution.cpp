// Distribution objects of `*DEFINE_DIST` records: reading the record, fitting each family's
// law to the baseline, quantiles, moments and draws by inversion. A reliability agent makes
// a few objects and then asks each for one quantile or draw per sample (thousands per run).
#include "external/distribution.h"

#include <boost/math/constants/constants.hpp>
#include <boost/math/distributions/binomial.hpp>
#include <boost/math/distributions/complement.hpp>
#include <boost/math/distributions/exponential.hpp>
#include <boost/math/distributions/extreme_value.hpp>
#include <boost/math/distributions/lognormal.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/poisson.hpp>
#include <boost/math/distributions/triangular.hpp>
#include <boost/math/distributions/uniform.hpp>
#include <boost/math/distributions/weibull.hpp>
#include <boost/math/special_functions/gamma.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <variant>

#include "base/properties_map.h"
#include "base/messages.h"
#include "base/text.h"

namespace karvo {

namespace {

enum class Family {
  kNormal,
  kUniform,
  kLognormal,
  kWeibull,
  kGumbel,
  kTriangular,
  kExponential,
  kPoisson,
  kBinomial
};

// One family: its type word, whether its values are continuous, and the record properties
// it takes beyond the common ones (name, type, baseline, randomSeed, useRelative).
struct FamilyInfo {
  Family family;
  const char* typeWord;
  bool continuous;
  std::vector<const char*> ownProperties;  // in the order of the property list
};

const std::vector<FamilyInfo>& families() {
  static const std::vector<FamilyInfo> table = {
      {Family::kNormal, "Normal", true, {"standardDeviation"}},
      {Family::kUniform, "Uniform", true, {"standardDeviation", "variation"}},
      {Family::kLognormal, "Lognormal", true, {"standardDeviation"}},
      {Family::kWeibull, "Weibull", true, {"standardDeviation", "shape"}},
      {Family::kGumbel, "Gumbel", true, {"standardDeviation"}},
      {Family::kTriangular,
       "Triangular",
       true,
       {"standardDeviation", "variation", "lowerVariation", "upperVariation"}},
      {Family::kExponential, "Exponential", true, {"standardDeviation"}},
      {Family::kPoisson, "Poisson", false, {}},
      {Family::kBinomial, "Binomial", false, {"trials"}},
  };
  return table;
}

const char* const kCommonProperties[] = {"name", "type", "baseline", "randomSeed", "useRelative"};

constexpr double kNotGiven = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// What a record says about its distribution, before any baseline is known.
struct DistributionSettings {
  const FamilyInfo* info = nullptr;
  std::string name;                      // the record's "name"; "" when not given
  bool useRelative = false;              // spreads are fractions of |baseline|
  double standardDeviation = kNotGiven;  // > 0 when given; NaN when not given
  double variation = kNotGiven;          // Uniform, Triangular: half-width, > 0
  double lowerVariation = kNotGiven;     // Triangular: baseline - lower end, >= 0
  double upperVariation = kNotGiven;     // Triangular: upper end - baseline, >= 0
  double shape = kNotGiven;              // Weibull: [kWeibullMinShape, kWeibullMaxShape]
  std::int64_t trials = 0;               // Binomial: [1, kBinomialMaxTrials]; 0 otherwise
};

bool given(double value) { return !std::isnan(value); }

using Law = std::variant<
    std::monostate, boost::math::normal_distribution<double>,
    boost::math::uniform_distribution<double>, boost::math::lognormal_distribution<double>,
    boost::math::weibull_distribution<double>, boost::math::extreme_value_distribution<double>,
    boost::math::triangular_distribution<double>, boost::math::exponential_distribution<double>,
    boost::math::poisson_distribution<double>, boost::math::binomial_distribution<double>>;

// The law of a distribution at one baseline. Values are the law's values plus `shift`
// (non-zero only for an Exponential whose standard deviation is given).
struct FittedLaw {
  Law law;             // std::monostate until a baseline has been set
  double shift = 0.0;  // added to every value of the law
};

// Shortest text that reads back as the same real.
std::string realText(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// Coefficient of variation of a Weibull law of shape k: sqrt(G(1+2/k) / G(1+1/k)^2 - 1).
double weibullVariationCoefficient(double shape) {
  double logMoment2 = boost::math::lgamma(1.0 + 2.0 / shape);
  double logMoment1 = boost::math::lgamma(1.0 + 1.0 / shape);
  return std::sqrt(std::expm1(logMoment2 - 2.0 * logMoment1));
}

// The Weibull shape whose coefficient of variation is `cv`, by bisection on log(shape)
// (the coefficient falls as the shape grows).
bool weibullShapeFor(double cv, double& shape, std::string& reason) {
  double smallest = weibullVariationCoefficient(kWeibullMaxShape);
  double largest = weibullVariationCoefficient(kWeibullMinShape);
  if (!(cv >= smallest && cv <= largest)) {
    reason = formatText(
        "The coefficient of variation of the Weibull distribution is %g; it must lie in "
        "[%g, %g], the range of a Weibull shape in [%g, %g].",
        cv, smallest, largest, kWeibullMinShape, kWeibullMaxShape);
    return false;
  }
  double low = std::log(kWeibullMinShape);
  double high = std::log(kWeibullMaxShape);
  for (int i = 0; i < 200 && high - low > 1e-15; ++i) {
    double middle = 0.5 * (low + high);
    if (weibullVariationCoefficient(std::exp(middle)) > cv)
      low = middle;
    else
      high = middle;
  }
  shape = std::exp(0.5 * (low + high));
  return true;
}

// An effective spread (the given value, scaled by |baseline| in relative mode) must be
// positive and finite.
bool checkSpread(const DistributionSettings& definition, const char* what, double value,
                 double baseline, std::string& reason) {
  if (definition.useRelative && baseline == 0.0 && !(value > 0.0)) {
    reason = formatText(
        "The %s distribution has its spread relative to the baseline (useRelative), and the "
        "baseline is 0; the %s must be greater than 0.",
        definition.info->typeWord, what);
    return false;
  }
  if (!(value > 0.0) || !std::isfinite(value)) {
    reason = formatText("The %s of the %s distribution is %g; it must be %s.", what,
                        definition.info->typeWord, value,
                        value > 0.0 ? "a finite number" : "greater than 0");
    return false;
  }
  return true;
}

bool checkPositiveBaseline(const DistributionSettings& definition, double baseline, const char* why,
                           std::string& reason) {
  if (baseline > 0.0) return true;
  reason = formatText("The baseline of the %s distribution is %g; it must be greater than 0%s.",
                      definition.info->typeWord, baseline, why);
  return false;
}

// A bounded range must still have two distinct ends after rounding at this baseline.
bool checkRange(const DistributionSettings& definition, double lower, double upper, double baseline,
                std::string& reason) {
  if (lower < upper && std::isfinite(lower) && std::isfinite(upper)) return true;
  reason = formatText(
      "The range [%g, %g] of the %s distribution at the baseline %g cannot be represented; "
      "its spread is too small or too large for that baseline.",
      lower, upper, definition.info->typeWord, baseline);
  return false;
}

// Fits the family's law so that its mean (Triangular: its mode) is `baseline`.
bool fitLaw(const DistributionSettings& definition, double baseline, FittedLaw& fitted,
            std::string& reason) {
  namespace bm = boost::math;
  const double scale = definition.useRelative ? std::fabs(baseline) : 1.0;
  const double sd = definition.standardDeviation * scale;
  fitted.shift = 0.0;
  try {
    switch (definition.info->family) {
      case Family::kNormal:
        if (!checkSpread(definition, "standard deviation", sd, baseline, reason)) return false;
        fitted.law = bm::normal_distribution<double>(baseline, sd);
        return true;
      case Family::kUniform: {
        double half =
            given(definition.variation) ? definition.variation * scale : std::sqrt(3.0) * sd;
        if (!checkSpread(definition, "variation", half, baseline, reason)) return false;
        if (!checkRange(definition, baseline - half, baseline + half, baseline, reason))
          return false;
        fitted.law = bm::uniform_distribution<double>(baseline - half, baseline + half);
        return true;
      }
      case Family::kLognormal: {
        if (!checkPositiveBaseline(definition, baseline, "", reason)) return false;
        if (!checkSpread(definition, "standard deviation", sd, baseline, reason)) return false;
        double cv = sd / baseline;
        double logVariance = std::log1p(cv * cv);
        if (!(logVariance > 0.0) || !std::isfinite(logVariance)) {
          reason = formatText(
              "The standard deviation %g of the Lognormal distribution at the baseline %g "
              "gives no usable logarithmic spread.",
              sd, baseline);
          return false;
        }
        fitted.law = bm::lognormal_distribution<double>(std::log(baseline) - 0.5 * logVariance,
                                                        std::sqrt(logVariance));
        return true;
      }
      case Family::kWeibull: {
        if (!checkPositiveBaseline(definition, baseline, "", reason)) return false;
        double shape = definition.shape;
        if (!given(shape)) {
          if (!checkSpread(definition, "standard deviation", sd, baseline, reason)) return false;
          if (!weibullShapeFor(sd / baseline, shape, reason)) return false;
        }
        double weibullScale = std::exp(std::log(baseline) - bm::lgamma(1.0 + 1.0 / shape));
        if (!(weibullScale > 0.0) || !std::isfinite(weibullScale)) {
          reason =
              formatText("The Weibull distribution of shape %g cannot have the mean %g (scale %g).",
                         shape, baseline, weibullScale);
          return false;
        }
        fitted.law = bm::weibull_distribution<double>(shape, weibullScale);
        return true;
      }
      case Family::kGumbel: {
        if (!checkSpread(definition, "standard deviation", sd, baseline, reason)) return false;
        double gumbelScale = sd * std::sqrt(6.0) / bm::constants::pi<double>();
        double location = baseline - bm::constants::euler<double>() * gumbelScale;
        fitted.law = bm::extreme_value_distribution<double>(location, gumbelScale);
        return true;
      }
      case Family::kTriangular: {
        double below, above;
        if (given(definition.variation)) {
          below = above = definition.variation * scale;
        } else if (given(definition.lowerVariation)) {
          below = definition.lowerVariation * scale;
          above = definition.upperVariation * scale;
        } else {
          below = above = std::sqrt(6.0) * sd;
        }
        if (!checkSpread(definition, "range", below + above, baseline, reason)) return false;
        if (!checkRange(definition, baseline - below, baseline + above, baseline, reason))
          return false;
        fitted.law =
            bm::triangular_distribution<double>(baseline - below, baseline, baseline + above);
        return true;
      }
      case Family::kExponential: {
        double spread;
        if (given(definition.standardDeviation)) {
          spread = sd;
          if (!checkSpread(definition, "standard deviation", spread, baseline, reason))
            return false;
        } else {
          if (!checkPositiveBaseline(definition, baseline,
                                     " when \"standardDeviation\" is not given", reason))
            return false;
          spread = baseline;
        }
        if (!std::isfinite(1.0 / spread)) {
          reason = formatText(
              "The standard deviation of the Exponential distribution is %g; "
              "it is too small for a rate.",
              spread);
          return false;
        }
        fitted.shift = baseline - spread;
        fitted.law = bm::exponential_distribution<double>(1.0 / spread);
        return true;
      }
      case Family::kPoisson:
        if (!checkPositiveBaseline(definition, baseline, "", reason)) return false;
        fitted.law = bm::poisson_distribution<double>(baseline);
        return true;
      case Family::kBinomial: {
        double trials = static_cast<double>(definition.trials);
        if (!(baseline >= 0.0 && baseline <= trials)) {
          reason = formatText(
              "The baseline of the Binomial distribution is %g; it must lie in [0, %lld], the "
              "number of trials.",
              baseline, static_cast<long long>(definition.trials));
          return false;
        }
        fitted.law = bm::binomial_distribution<double>(trials, baseline / trials);
        return true;
      }
    }
  } catch (const std::exception& error) {
    reason = formatText("The %s distribution cannot be fitted to the baseline %g: %s",
                        definition.info->typeWord, baseline, error.what());
    return false;
  }
  reason = "Internal error: unknown distribution family.";
  return false;
}

// Smallest whole k in the law's support with F(k) >= p. Boost's own answer (through the
// complement above the median) is the start, a step or two from the result; the search then
// steps to the exact boundary, comparing in the upper tail through the complement so that
// probabilities near 1 keep their precision.
template <class Discrete>
double discreteQuantile(const Discrete& law, double p, double highest) {
  auto reaches = [&](double k) {
    if (p <= 0.5) return boost::math::cdf(law, k) >= p;
    return boost::math::cdf(boost::math::complement(law, k)) <= 1.0 - p;
  };
  double k = std::floor(p <= 0.5 ? boost::math::quantile(law, p)
                                 : boost::math::quantile(boost::math::complement(law, 1.0 - p)));
  if (k < 0.0) k = 0.0;
  if (k > highest) k = highest;
  while (k > 0.0 && reaches(k - 1.0)) k -= 1.0;
  while (k < highest && !reaches(k)) k += 1.0;
  return k;
}

// Quantile of a fitted law at p in (0, 1). Boost reports failures by exception.
double lawQuantile(const FittedLaw& fitted, double p) {
  return std::visit(
      [&](const auto& law) -> double {
        using Law = std::decay_t<decltype(law)>;
        if constexpr (std::is_same_v<Law, std::monostate>) {
          throw std::logic_error("no baseline has been set");
        } else if constexpr (std::is_same_v<Law, boost::math::poisson_distribution<double>>) {
          return discreteQuantile(law, p, std::numeric_limits<double>::max());
        } else if constexpr (std::is_same_v<Law, boost::math::binomial_distribution<double>>) {
          return discreteQuantile(law, p, law.trials());
        } else {
          return boost::math::quantile(law, p) + fitted.shift;
        }
      },
      fitted.law);
}

// Mean and variance of a fitted law.
void lawMoments(const FittedLaw& fitted, double& mean, double& variance) {
  std::visit(
      [&](const auto& law) {
        using Law = std::decay_t<decltype(law)>;
        if constexpr (std::is_same_v<Law, std::monostate>) {
          throw std::logic_error("no baseline has been set");
        } else {
          mean = boost::math::mean(law) + fitted.shift;
          variance = boost::math::variance(law);
        }
      },
      fitted.law);
}

// The properties answered from the record alone: the seed, the relative mode, the trials
// of a Binomial, and spreads as written in the record. false when `name` is none of them.
bool recordedProperty(const DistributionSettings& definition, std::uint64_t seed,
                      const std::string& name, double& value) {
  const Family family = definition.info->family;
  const bool triangular = family == Family::kTriangular;
  if (name == "randomSeed") {
    value = static_cast<double>(seed);
    return true;
  }
  if (name == "useRelative") {
    value = definition.useRelative ? 1.0 : 0.0;
    return true;
  }
  if (name == "trials" && family == Family::kBinomial) {
    value = static_cast<double>(definition.trials);
    return true;
  }
  // Spreads written in the record are answered as written.
  if (name == "standardDeviation" && given(definition.standardDeviation)) {
    value = definition.standardDeviation;
    return true;
  }
  if (name == "variation" && given(definition.variation)) {
    value = definition.variation;
    return true;
  }
  if (triangular && name == "lowerVariation" && given(definition.lowerVariation)) {
    value = definition.lowerVariation;
    return true;
  }
  if (triangular && name == "upperVariation" && given(definition.upperVariation)) {
    value = definition.upperVariation;
    return true;
  }
  if (name == "shape" && family == Family::kWeibull && given(definition.shape)) {
    value = definition.shape;
    return true;
  }
  return false;
}

// Whether a distribution of `family` has the property `name` once a baseline is set.
bool propertyKnown(Family family, const std::string& name) {
  const bool triangular = family == Family::kTriangular;
  static const std::set<std::string> everyFamily = {
      "baseline", "mean", "variance", "standardDeviation", "lowerBound", "upperBound"};
  bool known = everyFamily.count(name) != 0;
  known = known || ((family == Family::kUniform || triangular) && name == "variation");
  known = known || (triangular && (name == "lowerVariation" || name == "upperVariation"));
  known = known ||
          (family == Family::kLognormal && (name == "logMean" || name == "logStandardDeviation"));
  known = known || (family == Family::kWeibull && (name == "shape" || name == "scale"));
  known = known || (family == Family::kGumbel && (name == "location" || name == "scale"));
  known = known || (family == Family::kExponential && name == "rate");
  known = known || (family == Family::kBinomial && name == "probability");
  return known;
}

// The lower or upper end of the values of a fitted law (infinite where unbounded).
bool lawBound(const DistributionSettings& definition, const FittedLaw& fitted, bool lower,
              double& value) {
  namespace bm = boost::math;
  switch (definition.info->family) {
    case Family::kNormal:
    case Family::kGumbel:
      value = lower ? -kInfinity : kInfinity;
      return true;
    case Family::kUniform: {
      const auto& law = std::get<bm::uniform_distribution<double>>(fitted.law);
      value = lower ? law.lower() : law.upper();
      return true;
    }
    case Family::kTriangular: {
      const auto& law = std::get<bm::triangular_distribution<double>>(fitted.law);
      value = lower ? law.lower() : law.upper();
      return true;
    }
    case Family::kExponential:
      value = lower ? fitted.shift : kInfinity;
      return true;
    case Family::kBinomial:
      value = lower ? 0.0 : static_cast<double>(definition.trials);
      return true;
    case Family::kLognormal:
    case Family::kWeibull:
    case Family::kPoisson:
      value = lower ? 0.0 : kInfinity;
      return true;
  }
  return false;
}

// The variation `name` ("variation", "lowerVariation" or "upperVariation") of a fitted
// Uniform or Triangular law around `baseline`, in absolute units; false when a Triangular
// law is asked for the single variation it does not have.
bool lawVariation(const DistributionSettings& definition, const FittedLaw& fitted,
                  double baseline, const std::string& name, double& absolute,
                  std::string& reason) {
  namespace bm = boost::math;
  double lower = 0.0, upper = 0.0;
  if (definition.info->family == Family::kUniform) {
    const auto& law = std::get<bm::uniform_distribution<double>>(fitted.law);
    lower = law.lower();
    upper = law.upper();
  } else {
    const auto& law = std::get<bm::triangular_distribution<double>>(fitted.law);
    lower = law.lower();
    upper = law.upper();
  }
  if (name == "lowerVariation") {
    absolute = baseline - lower;
    return true;
  }
  if (name == "upperVariation") {
    absolute = upper - baseline;
    return true;
  }
  if (definition.info->family == Family::kTriangular && given(definition.lowerVariation) &&
      definition.lowerVariation != definition.upperVariation) {
    reason = formatText(
        "The Triangular distribution is not symmetric (lowerVariation %g, upperVariation %g); "
        "it has no single variation.",
        definition.lowerVariation, definition.upperVariation);
    return false;
  }
  absolute = 0.5 * (upper - lower);
  return true;
}

// A parameter of a fitted law by its property name: logMean or logStandardDeviation of a
// Lognormal, shape or scale of a Weibull, location or scale of a Gumbel, the rate of an
// Exponential, else the success probability of a Binomial.
double lawParameter(Family family, const FittedLaw& fitted, const std::string& name) {
  namespace bm = boost::math;
  if (family == Family::kLognormal) {
    const auto& law = std::get<bm::lognormal_distribution<double>>(fitted.law);
    return name == "logMean" ? law.location() : law.scale();
  }
  if (family == Family::kWeibull) {
    const auto& law = std::get<bm::weibull_distribution<double>>(fitted.law);
    return name == "shape" ? law.shape() : law.scale();
  }
  if (family == Family::kGumbel) {
    const auto& law = std::get<bm::extreme_value_distribution<double>>(fitted.law);
    return name == "location" ? law.location() : law.scale();
  }
  if (family == Family::kExponential)
    return std::get<bm::exponential_distribution<double>>(fitted.law).lambda();
  return std::get<bm::binomial_distribution<double>>(fitted.law).success_fraction();
}

class StandardDistribution final : public Distribution {
 public:
  explicit StandardDistribution(DistributionSettings definition)
      : definition_(std::move(definition)), typeWord_(definition_.info->typeWord), engine_(0) {}

  const std::string& typeWord() const override { return typeWord_; }

  bool setProperty(const std::string& name, double value, std::string& reason) override {
    if (name == "baseline") {
      if (!std::isfinite(value)) {
        reason = formatText(
            "The baseline of the %s distribution is %g; it must be a finite "
            "number.",
            typeWord_.c_str(), value);
        return false;
      }
      FittedLaw fitted;
      if (!fitLaw(definition_, value, fitted, reason)) {
        // Kept so that a later draw names the cause rather than a missing baseline.
        if (!baselineSet_) baselineError_ = reason;
        return false;
      }
      law_ = fitted;
      baseline_ = value;
      baselineSet_ = true;
      baselineError_.clear();
      return true;
    }
    if (name == "randomSeed") {
      if (!(value >= 0.0 && value <= kDistributionMaxSeed && value == std::floor(value))) {
        reason = formatText(
            "The random seed of the %s distribution is %g; it must be a whole "
            "number in [0, %.0f].",
            typeWord_.c_str(), value, kDistributionMaxSeed);
        return false;
      }
      seed_ = static_cast<std::uint64_t>(value);
      engine_.seed(seed_);
      return true;
    }
    reason = formatText(
        "The property (%s) cannot be set for the distribution selected (%s); "
        "only \"baseline\" and \"randomSeed\" can be set.",
        name.c_str(), typeWord_.c_str());
    return false;
  }

  bool randomValue(double& value, std::string& reason) override {
    if (!requireBaseline(reason)) return false;
    // 52 random bits and a half step: u lies in [2^-53, 1 - 2^-53], exactly representable.
    double u = (static_cast<double>(engine_() >> 12) + 0.5) * 0x1p-52;
    return evaluateQuantile(u, value, reason);
  }

  bool quantile(double p, double& x, std::string& reason) const override {
    if (!(p > 0.0 && p < 1.0)) {
      reason = formatText(
          "The probability (%s) for the quantile of the %s distribution is "
          "outside the range (0, 1).",
          realText(p).c_str(), typeWord_.c_str());
      return false;
    }
    if (!requireBaseline(reason)) return false;
    return evaluateQuantile(p, x, reason);
  }

  bool isContinuous(bool& continuous, std::string& reason) const override {
    if (!requireBaseline(reason)) return false;
    continuous = definition_.info->continuous;
    return true;
  }

  bool property(const std::string& name, double& value, std::string& reason) const override;

  std::string propertyList() const override {
    std::string text;
    if (!definition_.name.empty()) text += "name: " + definition_.name + "\n";
    text += "type: " + typeWord_ + "\n";
    if (baselineSet_) text += "baseline: " + realText(baseline_) + "\n";
    text += "randomSeed: " + std::to_string(seed_) + "\n";
    text += std::string("useRelative: ") + (definition_.useRelative ? "true" : "false") + "\n";
    auto line = [&](const char* word, double given) {
      if (!std::isnan(given)) text += std::string(word) + ": " + realText(given) + "\n";
    };
    line("standardDeviation", definition_.standardDeviation);
    line("variation", definition_.variation);
    line("lowerVariation", definition_.lowerVariation);
    line("upperVariation", definition_.upperVariation);
    line("shape", definition_.shape);
    if (definition_.trials > 0) text += "trials: " + std::to_string(definition_.trials) + "\n";
    return text;
  }

 private:
  bool requireBaseline(std::string& reason) const {
    if (baselineSet_) return true;
    reason = !baselineError_.empty()
                 ? baselineError_
                 : formatText("The baseline of the %s distribution has not been set.",
                              typeWord_.c_str());
    return false;
  }

  bool evaluateQuantile(double p, double& x, std::string& reason) const {
    try {
      double value = lawQuantile(law_, p);
      if (!std::isfinite(value)) {
        reason = formatText(
            "The quantile at %s of the %s distribution is %g, not a finite "
            "number, at the baseline %g.",
            realText(p).c_str(), typeWord_.c_str(), value, baseline_);
        return false;
      }
      x = value;
    } catch (const std::exception& error) {
      reason = formatText("The quantile at %s of the %s distribution could not be computed: %s",
                          realText(p).c_str(), typeWord_.c_str(), error.what());
      return false;
    }
    return true;
  }

  // An absolute spread in the record's form: divided by |baseline| in relative mode.
  bool recordForm(double absolute, double& value, std::string& reason) const {
    if (!definition_.useRelative) {
      value = absolute;
      return true;
    }
    if (baseline_ == 0.0) {
      reason = formatText(
          "The %s distribution has its spread relative to the baseline "
          "(useRelative), and the baseline is 0.",
          typeWord_.c_str());
      return false;
    }
    value = absolute / std::fabs(baseline_);
    return true;
  }

  DistributionSettings definition_;
  std::string typeWord_;
  bool baselineSet_ = false;   // a baseline has been accepted; law_ is fitted to it
  double baseline_ = 0.0;      // the parameter's nominal value
  std::string baselineError_;  // why the last baseline was refused while none is set
  std::uint64_t seed_ = 0;     // [0, 2^53]
  std::mt19937_64 engine_;     // the object's own stream, restarted by every seed
  FittedLaw law_;
};

bool StandardDistribution::property(const std::string& name, double& value,
                                    std::string& reason) const {
  const Family family = definition_.info->family;
  if (recordedProperty(definition_, seed_, name, value)) return true;
  if (!propertyKnown(family, name)) {
    reason = formatText(
        "The requested property (%s) is not available for the distribution selected (%s).",
        name.c_str(), typeWord_.c_str());
    return false;
  }

  // Everything else depends on the law at the current baseline.
  if (!requireBaseline(reason)) return false;
  if (name == "baseline") {
    value = baseline_;
    return true;
  }
  double mean = 0.0, variance = 0.0;
  try {
    lawMoments(law_, mean, variance);
  } catch (const std::exception& error) {
    reason = formatText("The moments of the %s distribution could not be computed: %s",
                        typeWord_.c_str(), error.what());
    return false;
  }
  if (name == "mean") {
    value = mean;
    return true;
  }
  if (name == "variance") {
    value = variance;
    return true;
  }
  if (name == "standardDeviation") return recordForm(std::sqrt(variance), value, reason);
  if ((name == "lowerBound" || name == "upperBound") &&
      lawBound(definition_, law_, name == "lowerBound", value))
    return true;
  if (name == "variation" || name == "lowerVariation" || name == "upperVariation") {
    double absolute = 0.0;
    if (!lawVariation(definition_, law_, baseline_, name, absolute, reason)) return false;
    return recordForm(absolute, value, reason);
  }
  value = lawParameter(family, law_, name);
  return true;
}

const FamilyInfo* findFamily(const std::string& typeWord) {
  for (const FamilyInfo& info : families())
    if (typeWord == info.typeWord) return &info;
  return nullptr;
}

std::string quotedList(const std::vector<const char*>& words) {
  std::string text;
  for (const char* word : words) {
    if (!text.empty()) text += ", ";
    text += std::string("\"") + word + "\"";
  }
  return text;
}

// Which of the spread properties a family needs: exactly one of the listed forms.
bool checkSpreadForm(const DistributionSettings& definition, std::string& reason) {
  const char* type = definition.info->typeWord;
  const bool sd = given(definition.standardDeviation);
  switch (definition.info->family) {
    case Family::kNormal:
    case Family::kLognormal:
    case Family::kGumbel:
      if (sd) return true;
      reason = formatText("The %s distribution needs the property \"standardDeviation\".", type);
      return false;
    case Family::kUniform:
    case Family::kWeibull: {
      const char* other = definition.info->family == Family::kUniform ? "variation" : "shape";
      const bool second = given(definition.info->family == Family::kUniform ? definition.variation
                                                                            : definition.shape);
      if (sd != second) return true;
      reason = formatText(sd ? "The %s distribution takes only one of the properties "
                               "\"standardDeviation\" and \"%s\"; both are given."
                             : "The %s distribution needs one of the properties "
                               "\"standardDeviation\" and \"%s\".",
                          type, other);
      return false;
    }
    case Family::kTriangular: {
      const bool variation = given(definition.variation);
      const bool sides = given(definition.lowerVariation) || given(definition.upperVariation);
      int forms = (sd ? 1 : 0) + (variation ? 1 : 0) + (sides ? 1 : 0);
      if (forms == 0) {
        reason =
            "The Triangular distribution needs \"variation\", \"standardDeviation\", or "
            "both \"lowerVariation\" and \"upperVariation\".";
        return false;
      }
      if (forms > 1) {
        reason =
            "The Triangular distribution takes only one of \"variation\", "
            "\"standardDeviation\", or the pair \"lowerVariation\" and \"upperVariation\"; "
            "more than one is given.";
        return false;
      }
      if (sides && !(given(definition.lowerVariation) && given(definition.upperVariation))) {
        reason = formatText("The Triangular distribution needs \"%s\" together with \"%s\".",
                            given(definition.lowerVariation) ? "upperVariation" : "lowerVariation",
                            given(definition.lowerVariation) ? "lowerVariation" : "upperVariation");
        return false;
      }
      if (sides && !(definition.lowerVariation + definition.upperVariation > 0.0)) {
        reason =
            "The properties \"lowerVariation\" and \"upperVariation\" of the Triangular "
            "distribution are both 0; at least one must be greater than 0.";
        return false;
      }
      return true;
    }
    case Family::kExponential:
    case Family::kPoisson:
      return true;
    case Family::kBinomial:
      if (definition.trials > 0) return true;
      reason = "The Binomial distribution needs the property \"trials\".";
      return false;
  }
  return true;
}

}  // namespace

const std::vector<std::string>& distributionTypeWords() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> list;
    for (const FamilyInfo& info : families()) list.emplace_back(info.typeWord);
    return list;
  }();
  return words;
}

std::unique_ptr<Distribution> createDistribution(const std::string& typeWordGiven,
                                                 const DistributionProperties& properties,
                                                 std::string& reason) {
  const std::string typeWord = trimmed(typeWordGiven);
  const FamilyInfo* info = findFamily(typeWord);
  if (info == nullptr) {
    reason = formatText(
        "Unknown distribution type \"%s\". The known types are Normal, Uniform, Lognormal, "
        "Weibull, Gumbel, Triangular, Exponential, Poisson and Binomial.",
        typeWordGiven.c_str());
    return nullptr;
  }
  const char* type = info->typeWord;
  DistributionSettings definition;
  definition.info = info;
  double baseline = kNotGiven;
  double seed = kNotGiven;
  std::set<std::string> seen;

  for (const auto& property : properties) {
    // Named references rather than structured bindings: the lambda below captures them.
    const std::string& name = property.first;
    const std::string& value = property.second;
    if (!seen.insert(name).second) {
      reason = formatText("The property \"%s\" is given more than once for the %s distribution.",
                          name.c_str(), type);
      return nullptr;
    }
    auto notANumber = [&](const char* kind) {
      reason = formatText(
          "The value \"%s\" of the property \"%s\" of the %s distribution could "
          "not be converted into %s.",
          value.c_str(), name.c_str(), type, kind);
      return nullptr;
    };
    if (name == "name") {
      definition.name = trimmed(value);
      continue;
    }
    if (name == "type") {
      if (trimmed(value) != typeWord) {
        reason = formatText(
            "The type \"%s\" in the property list does not match the "
            "distribution type \"%s\".",
            value.c_str(), type);
        return nullptr;
      }
      continue;
    }
    if (name == "useRelative") {
      if (!parseFlag(value, definition.useRelative)) {
        reason = formatText(
            "The value \"%s\" of the property \"useRelative\" of the %s "
            "distribution must be true, false, yes, no, 1 or 0.",
            value.c_str(), type);
        return nullptr;
      }
      continue;
    }
    if (name == "randomSeed") {
      long long whole = 0;
      if (!parseInteger(value, whole)) return notANumber("an integer");
      if (whole < 0 || static_cast<double>(whole) > kDistributionMaxSeed) {
        reason = formatText(
            "The property \"randomSeed\" of the %s distribution is %lld; it "
            "must lie in [0, %.0f].",
            type, static_cast<long long>(whole), kDistributionMaxSeed);
        return nullptr;
      }
      seed = static_cast<double>(whole);
      continue;
    }
    if (name == "trials" && info->family == Family::kBinomial) {
      long long whole = 0;
      if (!parseInteger(value, whole)) return notANumber("an integer");
      if (whole < 1 || whole > kBinomialMaxTrials) {
        reason = formatText(
            "The property \"trials\" of the Binomial distribution is %lld; it "
            "must lie in [1, %lld].",
            static_cast<long long>(whole), static_cast<long long>(kBinomialMaxTrials));
        return nullptr;
      }
      definition.trials = whole;
      continue;
    }
    double* target = nullptr;
    bool zeroAllowed = false;
    if (name == "baseline") target = &baseline;
    for (const char* own : info->ownProperties) {
      if (name != own) continue;
      if (name == "standardDeviation") target = &definition.standardDeviation;
      if (name == "variation") target = &definition.variation;
      if (name == "lowerVariation" || name == "upperVariation") {
        target = name == "lowerVariation" ? &definition.lowerVariation : &definition.upperVariation;
        zeroAllowed = true;
      }
      if (name == "shape") target = &definition.shape;
    }
    if (target == nullptr) {
      std::vector<const char*> accepted(std::begin(kCommonProperties), std::end(kCommonProperties));
      accepted.insert(accepted.end(), info->ownProperties.begin(), info->ownProperties.end());
      reason = formatText(
          "The property \"%s\" is not used by the %s distribution. Its "
          "properties are %s.",
          name.c_str(), type, quotedList(accepted).c_str());
      return nullptr;
    }
    if (!parseReal(value, *target)) return notANumber("a number");
    if (target == &baseline) continue;
    if (zeroAllowed ? !(*target >= 0.0) : !(*target > 0.0)) {
      reason =
          formatText("The property \"%s\" of the %s distribution is %g; it must be %s.",
                     name.c_str(), type, *target, zeroAllowed ? "0 or greater" : "greater than 0");
      return nullptr;
    }
    if (target == &definition.shape &&
        !(*target >= kWeibullMinShape && *target <= kWeibullMaxShape)) {
      reason = formatText(
          "The property \"shape\" of the Weibull distribution is %g; it must "
          "lie in [%g, %g].",
          *target, kWeibullMinShape, kWeibullMaxShape);
      return nullptr;
    }
  }
  if (!checkSpreadForm(definition, reason)) return nullptr;
  // A relative Weibull spread fixes the shape whatever the baseline: refuse it now.
  if (info->family == Family::kWeibull && definition.useRelative &&
      given(definition.standardDeviation)) {
    double shape = 0.0;
    if (!weibullShapeFor(definition.standardDeviation, shape, reason)) return nullptr;
  }

  auto distribution = std::make_unique<StandardDistribution>(std::move(definition));
  if (given(seed) && !distribution->setProperty("randomSeed", seed, reason)) return nullptr;
  if (given(baseline) && !distribution->setProperty("baseline", baseline, reason)) return nullptr;
  return distribution;
}

std::unique_ptr<Distribution> createDistribution(const std::string& typeWord,
                                                 const PropertiesMap& properties,
                                                 std::string& reason) {
  DistributionProperties lines(properties.properties().begin(), properties.properties().end());
  return createDistribution(typeWord, lines, reason);
}

}  // namespace karvo
