// Tests of the design codings: chromosome <-> real values for every kind, mode and agent type,
// both ends of every range, rounding, clamping, decoding with its bound check (the tolerance
// edge on both sides), sharing between resolutions, and the exact text of every stop.
#include "evaluation/encoding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "support/message_capture.h"
#include "support/variable_slots.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::addRepresentation;
using testing::continuous;
using testing::discrete;

constexpr double kEps = 2.220446049250313e-16;
constexpr double kInf = std::numeric_limits<double>::infinity();

Design designOf(int representation, std::vector<int> chromosome, std::vector<double> reals = {},
                int encoding = kEncodingChromosome) {
  return {.representation = representation, .num_dvar = static_cast<int>(chromosome.size()),
          .encoding = encoding, .chromosome = std::move(chromosome), .reals = std::move(reals),
          .responses = {}};
}

EncodingContext optimization() {
  EncodingContext context;
  context.agentType = kAgentOptimization;
  context.methodCode = kMethodTolmar;
  return context;
}

class EncodingTest : public testing::MessageCaptureTest {
 protected:
  EncodingTest() : MessageCaptureTest("karvo-encoding") {}

  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetRepresentations();
    resetDefinitions();
  }

  void TearDown() override {
    resetRepresentations();
    resetDefinitions();
    MessageCaptureTest::TearDown();
  }

  // Runs `action`, which must end the run with exactly the fatal error `text`.
  void expectStop(const std::function<void()>& action, const std::string& text) {
    ::testing::internal::CaptureStderr();
    const std::string written = failureOf(action);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, fatalOutput(text));
  }
};

// ---------------------------------------------------------------------------------------
// Chromosome <-> real values, optimisation agents

TEST_F(EncodingTest, ModeOneReachesBothEndsExactlyAndRoundTripsEveryField) {
  const double ranges[][2] = {{0.0, 1.0},   {-5.0, 3.0}, {0.1, 0.7},
                              {1e-3, 2e-3}, {-1e6, 1e6}, {2.5, 2.5000000001}};
  const EncodingContext context = optimization();
  for (const auto& range : ranges) {
    for (int resolution : {2, 3, 7, 21, 1001}) {
      SCOPED_TRACE(std::to_string(range[0]) + ".." + std::to_string(range[1]) +
                   " r=" + std::to_string(resolution));
      VariableSlot slot = continuous(1, range[0], range[1], resolution);
      EXPECT_EQ(encodingFieldToReal(slot, 0, 0, context), range[0]);
      EXPECT_EQ(encodingFieldToReal(slot, 0, resolution - 1, context), range[1]);
      for (int k = 0; k < resolution; ++k) {
        const double x = encodingFieldToReal(slot, 0, k, context);
        ASSERT_EQ(encodingRealToField(slot, 0, x, kRoundNearest, context), k);
      }
      // The ends survive every rounding.
      for (int rounding : {kRoundDown, kRoundNearest, kRoundUp}) {
        EXPECT_EQ(encodingRealToField(slot, 0, range[0], rounding, context), 0);
        EXPECT_EQ(encodingRealToField(slot, 0, range[1], rounding, context), resolution - 1);
      }
    }
  }
}

TEST_F(EncodingTest, ModeZeroNeverProducesTheUpperBoundAndRoundingOffsets) {
  const EncodingContext context = optimization();
  VariableSlot slot = continuous(1, -2.0, 6.0, 3, kResolutionBits);  // 8 values
  EXPECT_EQ(encodingFieldCount(slot), 8.0);
  EXPECT_EQ(encodingFieldToReal(slot, 0, 0, context), -2.0);
  EXPECT_EQ(encodingFieldToReal(slot, 0, 7, context), -2.0 + 8.0 * 7.0 / 8.0);  // 5, not 6
  for (int k = 0; k < 8; ++k) {
    const double x = encodingFieldToReal(slot, 0, k, context);
    EXPECT_LT(x, 6.0);
    EXPECT_EQ(encodingRealToField(slot, 0, x, kRoundNearest, context), k);
  }
  // The upper bound itself codes as the last field.
  EXPECT_EQ(encodingRealToField(slot, 0, 6.0, kRoundNearest, context), 7);

  // The rounding offsets, on a field of two values.
  slot = continuous(1, 10.0, 20.0, 2);
  EXPECT_EQ(encodingFieldToReal(slot, 0, 0, context), 10.0);
  EXPECT_EQ(encodingFieldToReal(slot, 0, 1, context), 20.0);
  EXPECT_EQ(encodingRealToField(slot, 0, 15.0, kRoundNearest, context), 1);  // halfway: up
  EXPECT_EQ(encodingRealToField(slot, 0, 14.999, kRoundNearest, context), 0);
  EXPECT_EQ(encodingRealToField(slot, 0, 19.999, kRoundDown, context), 0);
  EXPECT_EQ(encodingRealToField(slot, 0, 10.001, kRoundUp, context), 1);
  EXPECT_EQ(encodingRealToField(slot, 0, 10.0, kRoundUp, context), 0);
}

TEST_F(EncodingTest, ValuesBeyondTheBoundsGiveTheEndFieldsWithOrWithoutClamping) {
  EncodingContext context = optimization();
  VariableSlot slot = continuous(1, 0.0, 1.0, 11);
  for (bool clamp : {false, true}) {
    context.clampToLowerBound = clamp;
    EXPECT_EQ(encodingRealToField(slot, 0, 1.7, kRoundDown, context), 10);
    EXPECT_EQ(encodingRealToField(slot, 0, 1e300, kRoundUp, context), 10);
    EXPECT_EQ(encodingRealToField(slot, 0, -0.05, kRoundUp, context), 0);
    EXPECT_EQ(encodingRealToField(slot, 0, -1e300, kRoundNearest, context), 0);
    EXPECT_EQ(encodingRealToField(slot, 0, kInf, kRoundNearest, context), 10);
    EXPECT_EQ(encodingRealToField(slot, 0, std::nan(""), kRoundNearest, context), 0);
  }
}

TEST_F(EncodingTest, WholeDesignConversionsCopyTheParameterValues) {
  Representation& table =
      addRepresentation(1, {continuous(1, 0.0, 10.0, 11), discrete(2, 3), continuous(3, -1, 1, 2)});
  EncodingContext context = optimization();
  context.parameters = {7.5, -2.0};
  Design design = designOf(1, {4, 2, 1});
  intsToDbls(design, table, context);
  EXPECT_THAT(design.reals, ElementsAre(4.0, 2.0, 1.0, 7.5, -2.0));
  EXPECT_EQ(design.num_dvar, 3);

  design.reals = {9.4, 0.9, -0.2, 1.0, 1.0};
  dblsToInts(design, kRoundNearest, table, context);
  EXPECT_THAT(design.chromosome, ElementsAre(9, 0, 0));
  dblsToInts(design, kRoundUp, table, context);
  EXPECT_THAT(design.chromosome, ElementsAre(10, 0, 1));

  // An agent that does not copy the study's parameters keeps the design's own.
  context.copyParameters = false;
  design.chromosome = {0, 1, 1};
  intsToDbls(design, table, context);
  EXPECT_THAT(design.reals, ElementsAre(0.0, 1.0, 1.0, 1.0, 1.0));
}

// ---------------------------------------------------------------------------------------
// Other agent types: level lists and fixed values

TEST_F(EncodingTest, DesignOfExperimentsAgentsCodeOverTheLevels) {
  EncodingContext context;
  context.agentType = kAgentDoe;
  context.doeKind = kDoeCentralComposite;
  VariableSlot slot = continuous(1, 0.0, 100.0, 5);
  slot.levels = {1.0, 2.0, 4.0};
  slot.levelCount = 3;
  slot.usesLevels = 1;
  EXPECT_EQ(encodingFieldToReal(slot, 0, 0, context), 1.0);
  EXPECT_EQ(encodingFieldToReal(slot, 0, 1, context), 2.5);  // between the end levels
  EXPECT_EQ(encodingFieldToReal(slot, 0, 2, context), 4.0);
  EXPECT_EQ(encodingRealToField(slot, 0, 4.0, kRoundNearest, context), 2);
  EXPECT_EQ(encodingRealToField(slot, 0, 99.0, kRoundNearest, context), 2);  // N = levels

  // The sampling arrays take the second level as the upper end.
  for (int kind : {kDoeLatinHypercube, kDoeExisting, kDoeOptimizedLatin, kDoeHammersley}) {
    context.doeKind = kind;
    EXPECT_EQ(encodingFieldToReal(slot, 0, 2, context), 2.0);
    EXPECT_EQ(encodingFieldToReal(slot, 0, 1, context), 1.5);
  }

  // Without a level list the slot takes its fixed value whatever the field.
  slot.usesLevels = 0;
  slot.fixedValue = 42.0;
  EXPECT_EQ(encodingFieldToReal(slot, 0, 3, context), 42.0);
  EXPECT_EQ(encodingRealToField(slot, 0, 0.0, kRoundNearest, context), 2);  // 42 of 0..100

  // Optimisation and evaluation agents ignore the level list.
  slot.usesLevels = 1;
  for (int type : {kAgentOptimization, kAgentEvaluation}) {
    context.agentType = type;
    EXPECT_EQ(encodingFieldToReal(slot, 0, 4, context), 100.0);
  }
}

TEST_F(EncodingTest, TooFewLevelsStop) {
  EncodingContext context;
  context.agentType = kAgentReliability;
  addRepresentation(1, {discrete(1, 2), continuous(2, 0.0, 1.0, 3)});
  representations[0].slots[1].levels = {0.5};
  representations[0].slots[1].levelCount = 1;
  representations[0].slots[1].usesLevels = 1;
  Design design = designOf(1, {0, 1});
  expectStop([&] { intsToDbls(design, representations[0], context); },
             "The number of factor levels (1) for design variable number 2 is less than 2. The "
             "number of levels must be 2 or larger.");
}

TEST_F(EncodingTest, UnknownModesAndKindsStop) {
  const EncodingContext context = optimization();
  VariableSlot slot = continuous(1, 0.0, 1.0, 3, 5);
  expectStop([&] { encodingFieldToReal(slot, 0, 1, context); }, "ERROR IN intsToDbls, Exit A");
  slot.resolutionMode = kResolutionValues;
  slot.kind = 4;
  expectStop([&] { encodingRealToField(slot, 0, 0.5, kRoundNearest, context); },
             "ERROR IN dblsToInts, Exit D");

  Representation& table = addRepresentation(1, {continuous(1, 0.0, 1.0, 3)});
  Design design = designOf(1, {1}, {0.5});
  table.slots[0].kind = 4;
  expectStop([&] { decodeDesign(design, table, context); }, "ERROR in decoding design, Exit D");
  expectStop([&] { DblsToDesign(design, table, context); }, "ERROR IN DblsToDesign, Exit D");
}

// ---------------------------------------------------------------------------------------
// Decoding

TEST_F(EncodingTest, DecodingByChromosomeOrByRealValuesFillsTheSlots) {
  Representation& table = addRepresentation(1, {continuous(1, 0.0, 10.0, 11), discrete(2, 3)});
  EncodingContext context = optimization();
  context.parameters = {3.0};
  Design design = designOf(1, {7, 2}, {99.0, 99.0});  // stale real values are replaced
  EXPECT_TRUE(decodeDesign(design, table, context));
  EXPECT_THAT(design.reals, ElementsAre(7.0, 2.0, 3.0));
  EXPECT_EQ(table.slots[0].intValue, 7);
  EXPECT_EQ(table.slots[1].realValue, 2.0);
  EXPECT_EQ(design.encoding, kEncodingChromosome);
  EXPECT_EQ(messages(), "");

  // Decoding by real values keeps the exact values.
  design = designOf(1, {0, 0}, {6.62, 1.0, 3.0}, kEncodingReal);
  EXPECT_TRUE(decodeDesign(design, table, context));
  EXPECT_THAT(design.chromosome, ElementsAre(7, 1));  // nearest fields
  EXPECT_EQ(table.slots[0].realValue, 6.62);
  EXPECT_EQ(table.slots[0].intValue, 7);
  EXPECT_EQ(design.reals[0], 6.62);
  EXPECT_EQ(design.encoding, kEncodingReal);
}

TEST_F(EncodingTest, ToleranceEdgeIsAcceptedOnOneSideAndStoppedOnTheOther) {
  Representation& table = addRepresentation(1, {discrete(5, 2), continuous(7, 0.0, 10.0, 11)});
  table.slots[1].iden = kIdenContinuous;
  const EncodingContext context = optimization();  // step 0.001
  const double t = 10.0 * 0.001 + kEps;

  Design above = designOf(1, {0, 0}, {0.0, 10.0 + t}, kEncodingReal);
  EXPECT_TRUE(decodeDesign(above, table, context));
  EXPECT_EQ(table.slots[1].realValue, 10.0 + t);  // kept as given
  EXPECT_EQ(above.chromosome[1], 10);
  Design below = designOf(1, {0, 0}, {0.0, 0.0 - t}, kEncodingReal);
  EXPECT_TRUE(decodeDesign(below, table, context));
  EXPECT_EQ(below.chromosome[1], 0);

  above.reals[1] = std::nextafter(10.0 + t, kInf);
  expectStop([&] { decodeDesign(above, table, context); },
             "2 design variable value (real) larger than upper bound!\nLower bound = 0.000000, "
             "upper bound = 10.000000, value=10.010000, padding=0.010000.\nid = 7, iden=1111.");
  below.reals[1] = std::nextafter(-t, -kInf);
  expectStop([&] { decodeDesign(below, table, context); },
             "2 design variable value (real) small than lower bound!\nLower bound = 0.000000, "
             "upper bound = 10.000000, value=-0.010000, padding=0.010000.\nid = 7, iden=1111.");
}

TEST_F(EncodingTest, ToleranceFollowsTheGradientStepSize) {
  Representation& table = addRepresentation(1, {continuous(1, -4.0, 4.0, 3)});
  EncodingContext context = optimization();
  context.gradStepSize = 0.0005;
  const double t = 8.0 * 0.0005 + kEps;
  Design design = designOf(1, {0}, {4.0 + t}, kEncodingReal);
  EXPECT_TRUE(decodeDesign(design, table, context));
  design.reals[0] = 4.006;  // inside 0.001 * 8 but outside 0.0005 * 8
  expectStop([&] { decodeDesign(design, table, context); },
             "1 design variable value (real) larger than upper bound!\nLower bound = -4.000000, "
             "upper bound = 4.000000, value=4.006000, padding=0.004000.\nid = 1, iden=1111.");
  context.gradStepSize = 0.001;
  EXPECT_TRUE(decodeDesign(design, table, context));
}

TEST_F(EncodingTest, FieldValuesOutsideTheFieldStopDecoding) {
  Representation& table = addRepresentation(1, {continuous(3, 0.0, 10.0, 11), discrete(4, 3)});
  const EncodingContext context = optimization();
  Design design = designOf(1, {11, 0});
  expectStop([&] { decodeDesign(design, table, context); },
             "1 design variable value (real) larger than upper bound!\n Lower bound = 0.000000, "
             "upper bound = 10.000000, value=11.000000.\nid = 3, iden=1111.");
  design.chromosome = {-1, 0};
  expectStop([&] { decodeDesign(design, table, context); },
             "1 design variable value (real) small than lower bound!\n Lower bound = 0.000000, "
             "upper bound = 10.000000, value=-1.000000.\nid = 3, iden=1111.");
  // A discrete field must name an item: the item count itself is one too many.
  design.chromosome = {0, 3};
  expectStop([&] { decodeDesign(design, table, context); },
             "2 design variable value (real) larger than upper bound!\n Lower bound = 0.000000, "
             "upper bound = 3.000000, value=3.000000.\nid = 4, iden=2222.");
}

TEST_F(EncodingTest, ValuesThatAreNotNumbersAndUnknownEncodingsStop) {
  Representation& table = addRepresentation(1, {continuous(1, 0.0, 1.0, 3)});
  const EncodingContext context = optimization();
  Design design = designOf(1, {0}, {std::nan("")}, kEncodingReal);
  expectStop([&] { decodeDesign(design, table, context); },
             "1 design variable value (real) larger than upper bound!\nLower bound = 0.000000, "
             "upper bound = 1.000000, value=nan, padding=0.001000.\nid = 1, iden=1111.");
  design = designOf(1, {0}, {0.0}, 3);
  expectStop([&] { decodeDesign(design, table, context); },
             "Error in determining the evaluation type (3). Internal Error -119. Please send "
             "your project file to the technical support team for help.");
}

TEST_F(EncodingTest, DesignsOfTheWrongShapeStopInsteadOfReadingPastTheirEnd) {
  Representation& table = addRepresentation(4, {continuous(1, 0.0, 1.0, 3), discrete(2, 2)});
  Design design = designOf(4, {0});
  design.designNumber = 12;
  expectStop([&] { intsToDbls(design, table, optimization()); },
             "Internal error: design 12 has 1 field values for the 2 design variables of "
             "representation 4.");
  design.reals = {0.5};
  expectStop([&] { dblsToInts(design, kRoundNearest, table, optimization()); },
             "Internal error: design 12 has 1 real values for the 2 design variables of "
             "representation 4.");
  expectStop([&] { encodingRepresentationOf(designOf(9, {})); },
             "Representation number set to illegal number, exit.");
}

// ---------------------------------------------------------------------------------------
// Sharing between representations

class ShareTest : public EncodingTest {
 protected:
  Design sourceDesign() {
    Design design = designOf(1, {2, 1, 1});
    design.designNumber = 31;
    design.performance = -4.5;
    design.responses.resize(1);
    return design;
  }
};

TEST_F(ShareTest, ThreeToFiveValuesMultipliesTheFieldByTwo) {
  addRepresentation(1, {continuous(1, 0.0, 1.0, 3), discrete(2, 3), continuous(9, 0.0, 4.0, 3)});
  VariableSlot unmapped = continuous(8, 0.0, 10.0, 11);
  unmapped.fixedValue = 3.0;  // its baseline
  addRepresentation(2, {unmapped, discrete(2, 3), continuous(1, 0.0, 1.0, 5)});
  EncodingContext context = optimization();
  context.parameters = {6.0};
  const Design shared = share(sourceDesign(), 0, 1, 2, context);
  EXPECT_THAT(shared.chromosome, ElementsAre(3, 1, 4));  // baseline field, copied, 2 x 2
  EXPECT_THAT(shared.reals, ElementsAre(3.0, 1.0, 1.0, 6.0));
  EXPECT_EQ(shared.representation, 2);
  EXPECT_EQ(shared.source, 1);
  // The results go with it.
  EXPECT_EQ(shared.designNumber, 31);
  EXPECT_EQ(shared.performance, -4.5);
  ASSERT_EQ(shared.responses.size(), 1u);
}

TEST_F(ShareTest, BinaryFieldsShareByPowersOfTwo) {
  addRepresentation(1, {continuous(1, 0.0, 8.0, 3, kResolutionBits)});
  addRepresentation(2, {continuous(1, 0.0, 8.0, 4, kResolutionBits)});
  Design design = designOf(1, {5});
  const Design shared = share(design, 0, 1, 2, optimization());
  EXPECT_THAT(shared.chromosome, ElementsAre(10));
  EXPECT_THAT(shared.reals, ElementsAre(5.0));  // the same value in both resolutions
}

TEST_F(ShareTest, SharesWithoutAUniqueMappingStop) {
  addRepresentation(1, {discrete(2, 3), continuous(1, 0.0, 1.0, 3)});
  addRepresentation(2, {continuous(1, 0.0, 1.0, 4)});
  expectStop([&] { share(designOf(1, {0, 1}), 0, 3, 2, optimization()); },
             "Cannot share design variable 2\nPop 0, design variable 2 has a resolution of 3\n"
             "Pop 3, design variable 1 has a resolution of 4\nThere is not a unique mapping for "
             "this design variable.\n");

  addRepresentation(3, {continuous(1, 0.0, 1.0, 5)});
  addRepresentation(4, {continuous(1, 0.0, 1.0, 3)});
  expectStop([&] { share(designOf(3, {2}), 1, 2, 4, optimization()); },
             "Cannot share discrete design variable 1\nfrom pop 1 to 2.\n\nPop 1, design "
             "variable 1 has a resolution of 5\nPop 2, design variable 1 has a resolution of "
             "3\nCannot share high to low resolution.\nError, cannot continue.");

  Design design = designOf(4, {2});
  expectStop([&] { share(design, 0, 1, 7, optimization()); },
             "Error in sharing design, point B.\nError.");
  design.representation = 8;
  expectStop([&] { share(design, 0, 1, 1, optimization()); },
             "Error in sharing design, point A.\nError.");
}

// ---------------------------------------------------------------------------------------
// Context of an agent

TEST_F(EncodingTest, ContextOfAnAgentComesFromTheRunWideTables) {
  auto variable = [](const std::string& name, VariableKind kind, double baseline) {
    Variable v;
    v.name = name;
    v.kind = kind;
    v.baseline = baseline;
    return v;
  };
  definitions.variables = {variable("load", VariableKind::FixedParameter, 12.5),
                           variable("width", VariableKind::Continuous, 1.0),
                           variable("factor", VariableKind::FixedParameter, -1.0)};
  Agent agent;
  agent.type = kAgentOptimization;
  agent.method.code = kMethodMultiStart;
  agent.method.gradient.gradStepSize = 0.0005;
  EncodingContext context = encodingContextForAgent(agent);
  EXPECT_EQ(context.gradStepSize, 0.0005);
  EXPECT_TRUE(context.copyParameters);
  EXPECT_THAT(context.parameters, ElementsAre(12.5, -1.0));

  agent.method.code = kMethodTolmar;
  EXPECT_EQ(encodingContextForAgent(agent).gradStepSize, 0.001);
  agent.type = kAgentReliability;
  EXPECT_FALSE(encodingContextForAgent(agent).copyParameters);
  agent.type = kAgentDoe;
  agent.method.code = kMethodDoe;
  agent.method.doe.kind = kDoeHammersley;
  EXPECT_EQ(encodingContextForAgent(agent).doeKind, kDoeHammersley);
  EXPECT_TRUE(encodingContextForAgent(agent).copyParameters);
  run.settings.postNoEval = 1;
  EXPECT_FALSE(encodingContextForAgent(agent).copyParameters);
}

}  // namespace
}  // namespace karvo
