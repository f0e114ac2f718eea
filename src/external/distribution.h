// Distribution objects: the random law of a parameter that carries a `*DEFINE_DIST`
// distribution. The robustness and reliability agent asks one object per random parameter
// for quantiles (Latin hypercube intervals) and random values (Monte Carlo samples).
//
// A distribution is made from its type word and the property lines of its record by
// createDistribution. Its mean (for Triangular: its mode) follows the parameter's nominal
// value, set through the property "baseline"; its spread is given in the record, either
// absolutely or, with "useRelative", as a fraction of |baseline|. Each object draws from its
// own stream, std::mt19937_64 seeded with "randomSeed", and turns each uniform number u in
// (0, 1) into a value by inversion (the quantile at u), so that the same seed gives the same
// values on every platform and standard library. docs/distributions.md lists the type words
// and properties.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace karvo {

class PropertiesMap;

// The property lines of a `*DEFINE_DIST` record as (name, value) pairs, in file order.
// "name" and "type" may be among them; the other names are documented per family.
using DistributionProperties = std::vector<std::pair<std::string, std::string>>;

// Largest accepted "randomSeed": every whole number up to 2^53 is exact as a real.
inline constexpr double kDistributionMaxSeed = 9007199254740992.0;

// Limits of the Weibull shape, given or solved from a standard deviation.
inline constexpr double kWeibullMinShape = 0.05;
inline constexpr double kWeibullMaxShape = 100000.0;

// Largest number of trials of a Binomial distribution.
inline constexpr std::int64_t kBinomialMaxTrials = 1000000000;

// The distribution object of one `*DEFINE_DIST` record.
//
// Inputs: "baseline" (the parameter's nominal value) and "randomSeed" through setProperty;
// everything else is fixed when the object is made. Outputs: quantiles, random values,
// whether values are continuous, and numeric properties by name. Every operation that can
// fail answers false and leaves a one-line reason; the object is then unchanged, except that
// a draw whose value cannot be computed has still used its number of the stream.
class Distribution {
 public:
  Distribution() = default;
  Distribution(const Distribution&) = delete;
  Distribution& operator=(const Distribution&) = delete;
  virtual ~Distribution() = default;

  // The type word the object was made from ("Normal", "Poisson", ...).
  virtual const std::string& typeWord() const = 0;

  // Sets "baseline" (a finite real that the family accepts; the law is refitted) or
  // "randomSeed" (a whole number in [0, 2^53]; the stream restarts from that seed, also
  // when the seed is unchanged). Any other name is refused.
  virtual bool setProperty(const std::string& name, double value, std::string& reason) = 0;

  // One draw from the object's stream: the quantile at the next uniform number. Fails while
  // no baseline is set.
  virtual bool randomValue(double& value, std::string& reason) = 0;

  // The value x with F(x) = p for p strictly between 0 and 1; for a discrete family the
  // smallest value x with F(x) >= p. Fails while no baseline is set.
  virtual bool quantile(double p, double& x, std::string& reason) const = 0;

  // `continuous` false for the families whose values are whole numbers (Poisson, Binomial).
  // Fails while no baseline is set: the object does not describe a law yet.
  virtual bool isContinuous(bool& continuous, std::string& reason) const = 0;

  // The numeric property `name` (docs/distributions.md lists the words of each family).
  // A word the family does not have gives "The requested property (%s) is not available for
  // the distribution selected (%s)." (the word, the type word).
  virtual bool property(const std::string& name, double& value, std::string& reason) const = 0;

  // The object's property lines, "name: value" each ending in "\n": the record's lines in
  // a fixed order with the current "baseline" and "randomSeed". Fed back to
  // createDistribution they make an equal object, its stream restarted from the seed. Used
  // in error reports.
  virtual std::string propertyList() const = 0;
};

// Makes the distribution object of a `*DEFINE_DIST` record from its type word and property
// lines. Answers null with `reason` set when the type word is unknown, a property is unknown
// to the family, given twice, missing or not a number, a spread is not positive, or a given
// "baseline" does not suit the family.
std::unique_ptr<Distribution> createDistribution(const std::string& typeWord,
                                                 const DistributionProperties& properties,
                                                 std::string& reason);
std::unique_ptr<Distribution> createDistribution(const std::string& typeWord,
                                                 const PropertiesMap& properties,
                                                 std::string& reason);

// The accepted type words, in the order of docs/distributions.md.
const std::vector<std::string>& distributionTypeWords();

}  // namespace karvo
