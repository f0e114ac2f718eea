// The random parameters of a study: the fixed parameters of the variable table that name a
// distribution, each with a distribution object of its own. Made once per study by the
// robustness and reliability agents (their samples) and by the robust parameter design (the
// levels of its noise factors).
//
// The parameters come in variable-table order. Each gets its own distribution object (made
// afresh from its `*DEFINE_DIST` record, so that two parameters naming the same record draw
// independently), whose "baseline" is the parameter's nominal value and whose "randomSeed" is
// an integer drawn uniformly from 0 ... 1000000 with the run's generator (base/random.h), in
// parameter order. So the same study seed gives the same draws, and a resumed study makes
// exactly the designs of the stopped one.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace karvo {

class Distribution;

// Largest seed drawn for a distribution object.
inline constexpr int kDistributionSeedRange = 1000000;

struct RandomParameter {
  std::string name;                     // the parameter's name
  std::string distributionName;         // its `*DEFINE_DIST` name
  double nominal = 0.0;                 // its baseline value
  std::size_t position = 0;             // index of its value in Design::reals
  std::shared_ptr<Distribution> distribution;  // its own object, baseline and seed set
};

// The random parameters of the study (see the top of this file), with their objects made and
// their baseline and seed set. A record whose object cannot be made ends the run with
// "Error in generating the distribution object from the stored pointer for %s" (the
// parameter's name); a refused baseline or seed likewise, with the object's property list
// (the checked operations below). `first` is the number of design variables of the agent's
// representation (the parameter values follow them).
std::vector<RandomParameter> randomParametersOf(std::size_t first);

// The checked operations of a distribution object. Each failure ends the run through
// fatalError with the pair of messages: "Error in generating a random value for the
// %s distribution", "Error in calculating the quantile for %f for the %s distribution" or
// "Error in checking if the %s distribution is continuous" (the distribution's name), then
// "%s Distribution data at the time of error was:\n%s" (that text, the property list).
double drawValue(const RandomParameter& parameter);
double quantileOf(const RandomParameter& parameter, double p);
bool isContinuous(const RandomParameter& parameter);
// A numeric property by name; an unknown word ends the run with the object's reason ("The
// requested property (%s) is not available for the distribution selected (%s).").
double propertyOf(const RandomParameter& parameter, const std::string& word);

}  // namespace karvo
