// The random parameters of a study: which parameters they are, where a design holds their
// values, the objects of their own with baseline and seed set, and the messages of objects
// that fail.
#include "evaluation/random_parameters.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/random.h"
#include "definitions/variables.h"
#include "external/distribution.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

using ::testing::HasSubstr;

class RandomParametersTest : public testing::MessageCaptureTest {
 protected:
  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetDefinitions();
    resetRandom();
  }
  void TearDown() override {
    resetDefinitions();
    resetRandom();
    MessageCaptureTest::TearDown();
  }

  void addVariable(const std::string& name, VariableKind kind, double baseline,
                   const std::string& distribution = "") {
    Variable v;
    v.name = name;
    v.id = static_cast<int>(definitions.variables.size()) + 1;
    v.kind = kind;
    v.baseline = baseline;
    v.distributionName = distribution;
    for (std::size_t i = 0; i < definitions.distributions.size(); ++i) {
      if (definitions.distributions[i].name == distribution) v.distributionIndex = static_cast<int>(i);
    }
    definitions.variables.push_back(v);
  }
  void addDistribution(const std::string& name, const std::string& type,
                       std::vector<std::pair<std::string, std::string>> properties) {
    DistributionDefinition d;
    d.name = name;
    d.type = type;
    d.properties = std::move(properties);
    definitions.distributions.push_back(d);
  }
  static void seed(float value) { seedRandom(&value, 0); }
};

TEST_F(RandomParametersTest, FixedParametersWithADistributionInTableOrder) {
  addDistribution("scatter", "Uniform", {{"name", "scatter"}, {"type", "Uniform"},
                                         {"variation", "0.5"}});
  addVariable("x", VariableKind::Continuous, 1.0);
  addVariable("plain", VariableKind::FixedParameter, 7.0);
  addVariable("b", VariableKind::FixedParameter, 0.5, "scatter");
  addVariable("label", VariableKind::StringParameter, 0.0);
  addVariable("c", VariableKind::FixedParameter, 2.0, "scatter");

  seed(0.25f);
  const int seedB = randomInt(0, kDistributionSeedRange);
  const int seedC = randomInt(0, kDistributionSeedRange);
  seed(0.25f);
  const std::vector<RandomParameter> parameters = randomParametersOf(3);

  ASSERT_EQ(parameters.size(), 2u);
  EXPECT_EQ(parameters[0].name, "b");
  EXPECT_EQ(parameters[1].name, "c");
  EXPECT_EQ(parameters[0].distributionName, "scatter");
  // Positions count every fixed parameter, also the one without a distribution.
  EXPECT_EQ(parameters[0].position, 4u);
  EXPECT_EQ(parameters[1].position, 5u);
  EXPECT_DOUBLE_EQ(parameters[1].nominal, 2.0);
  // Each has its own object, centred on its own nominal value and seeded in parameter order.
  ASSERT_NE(parameters[0].distribution, parameters[1].distribution);
  EXPECT_DOUBLE_EQ(quantileOf(parameters[0], 0.5), 0.5);
  EXPECT_DOUBLE_EQ(quantileOf(parameters[1], 0.5), 2.0);
  EXPECT_THAT(parameters[0].distribution->propertyList(),
              HasSubstr("randomSeed: " + std::to_string(seedB) + "\n"));
  EXPECT_THAT(parameters[1].distribution->propertyList(),
              HasSubstr("randomSeed: " + std::to_string(seedC) + "\n"));
  EXPECT_TRUE(isContinuous(parameters[0]));
  EXPECT_DOUBLE_EQ(propertyOf(parameters[0], "variation"), 0.5);

  // The same study seed gives the same draws.
  const double first = drawValue(parameters[0]);
  seed(0.25f);
  EXPECT_EQ(drawValue(randomParametersOf(3)[0]), first);
}

TEST_F(RandomParametersTest, FailingObjectsEndTheRunWithTheirPropertyList) {
  addDistribution("bad", "NoSuchLaw", {{"name", "bad"}, {"type", "NoSuchLaw"}});
  addVariable("p", VariableKind::FixedParameter, 1.0, "bad");
  EXPECT_EQ(failureOf([] { randomParametersOf(0); }),
            fatalOutput("Error in generating the distribution object from the stored pointer "
                        "for p"));

  // A baseline the family refuses (0 for a Lognormal).
  resetDefinitions();
  addDistribution("life", "Lognormal", {{"name", "life"}, {"type", "Lognormal"},
                                        {"standardDeviation", "0.1"}});
  addVariable("q", VariableKind::FixedParameter, 0.0, "life");
  const std::string refused = failureOf([] { randomParametersOf(0); });
  EXPECT_THAT(refused, HasSubstr("Error in generating the distribution object from the stored "
                                 "pointer for q "));
  EXPECT_THAT(refused, HasSubstr(" Distribution data at the time of error was:\n"));

  resetDefinitions();
  addDistribution("u", "Uniform", {{"name", "u"}, {"type", "Uniform"}, {"variation", "1"}});
  addVariable("r", VariableKind::FixedParameter, 3.0, "u");
  const std::vector<RandomParameter> parameters = randomParametersOf(0);
  ASSERT_EQ(parameters.size(), 1u);
  const std::string list = parameters[0].distribution->propertyList();
  EXPECT_EQ(failureOf([&] { quantileOf(parameters[0], 1.5); }),
            fatalOutput("Error in calculating the quantile for 1.500000 for the u distribution "
                        "Distribution data at the time of error was:\n" + list));
  // An object that does not describe a law yet (no baseline) cannot tell.
  RandomParameter unset = parameters[0];
  std::string reason;
  unset.distribution = createDistribution(
      "Uniform", DistributionProperties{{"name", "u"}, {"type", "Uniform"}, {"variation", "1"}},
      reason);
  ASSERT_TRUE(unset.distribution) << reason;
  EXPECT_EQ(failureOf([&] { isContinuous(unset); }),
            fatalOutput("Error in checking if the u distribution is continuous Distribution "
                        "data at the time of error was:\n" +
                        unset.distribution->propertyList()));
  EXPECT_EQ(failureOf([&] { propertyOf(parameters[0], "shape"); }),
            fatalOutput("The requested property (shape) is not available for the distribution "
                        "selected (Uniform)."));
}

}  // namespace
}  // namespace karvo
