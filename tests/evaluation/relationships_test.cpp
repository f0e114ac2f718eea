// Tests of the study relationships on decoded designs: equality and both inequalities, the
// values handed to the expression, the order in which relationships see each other's
// changes, discrete variables, and every failure (evaluator error, no evaluator, a value that
// is no choice, a value beyond the bounds) with its exact message on the design's log, the
// design marked failed and a design number drawn only when it had none.
#include "evaluation/relationships.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "evaluation/encoding.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using Pairs = std::vector<std::pair<std::string, double>>;

// Two sets (numbers, words), four design variables, a parameter and a variable that the
// representation below does not vary.
const char* kVariables =
    "*DEFINE_SET\nname: gauges\nordered: 1\nvalues:3\n1.5\n2.0\n3.0\n"
    "*DEFINE_SET\nname: materials\nordered: 0\nvalues:2\nsteel\naluminium\n"
    "*DEFINE_VARIABLE\nname: wall\ntype: Continuous\nid: 1\nmin: 1\nbaseline: 2\nmax: 5\n"
    "*DEFINE_VARIABLE\nname: rib\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 4\n"
    "*DEFINE_VARIABLE\nname: gauge\ntype: Discrete\nid: 3\nset: gauges\nbaseline: 1\n"
    "*DEFINE_VARIABLE\nname: material\ntype: Discrete\nid: 4\nset: materials\nbaseline: 2\n"
    "*DEFINE_VARIABLE\nname: load\ntype: Parameter\nid: 5\nbaseline: 10\n"
    "*DEFINE_VARIABLE\nname: height\ntype: Continuous\nid: 6\nmin: 0\nbaseline: 7\nmax: 10\n";

// wall 1, 2, 3, 4, 5; rib 0, 0.5, ... 4; gauge; material. height is not varied.
const char* kRepresentation =
    "*VARIABLE\nname: wall\nid: 1\nresolution: 5\n"
    "*VARIABLE\nname: rib\nid: 2\nresolution: 9\n"
    "*VARIABLE\nname: gauge\nid: 3\n"
    "*VARIABLE\nname: material\nid: 4\n"
    "*END\n";

std::string relationship(const std::string& name, const std::string& type,
                         const std::string& variable, const std::string& expression,
                         const std::string& comparison = "") {
  std::string text = "*DEFINE_RELATIONSHIP\nname: " + name + "\ntype: " + type +
                     "\nvariable: " + variable + "\nparameters: " + expression + "\n";
  if (!comparison.empty()) text += "comparison: " + comparison + "\n";
  return text;
}

std::string relationLogFolder;
std::string designLog(int designNumber, const std::string&) {
  return relationLogFolder + "/design" + std::to_string(designNumber) + ".log";
}

double valueOf(const Pairs& values, const std::string& name) {
  for (const auto& [key, value] : values) {
    if (key == name) return value;
  }
  ADD_FAILURE() << "no value named " << name;
  return 0.0;
}

class RelationshipsTest : public testing::StudyFilesTest {
 protected:
  RelationshipsTest() : StudyFilesTest("karvo-relationships") {}

  void SetUp() override {
    StudyFilesTest::SetUp();
    relationLogFolder = dir_.path();
    analysisLogPath = designLog;
    context_.agentType = 0;
    context_.parameters = {10.0};
    settings_.evaluator = [this](const std::string& expression, const Pairs& values,
                                 double& result, std::string& error) {
      calls_.emplace_back(expression, values);
      auto it = expressions_.find(expression);
      if (it == expressions_.end()) {
        error = "NameError: unknown expression '" + expression + "'";
        return false;
      }
      return it->second(values, result, error);
    };
    settings_.nextDesignNumber = &nextNumber_;
  }

  // Reads the study with these relationships and answers its representation.
  Representation& studyWith(const std::string& relationships) {
    testing::writeFile(dir_.file("Definitions.in"), kVariables + relationships + "*END\n");
    readDefinitions();
    testing::writeFile(dir_.file("Representation1.in"), kRepresentation);
    readRepresentationFile(1);
    validateRelationships();
    clearMessages();  // drop the warning about the text set
    return *findRepresentation(1);
  }

  // A decoded design: wall, rib, gauge and material fields.
  Design decoded(Representation& table, std::vector<int> chromosome, int number = -1) {
    Design design;
    design.representation = 1;
    design.chromosome = std::move(chromosome);
    design.designNumber = number;
    EXPECT_TRUE(decodeDesign(design, table, context_));
    return design;
  }

  void when(const std::string& expression, std::function<double(const Pairs&)> value) {
    expressions_[expression] = [value](const Pairs& values, double& result, std::string&) {
      result = value(values);
      return true;
    };
  }

  std::string designLogText(int number) { return testing::readFile(designLog(number, "")); }

  // What writeMessage writes on a design's log for `text`.
  std::string logged(const std::string& text) {
    writeMessage("analysis", "error", text, 999999, "");
    std::string result = designLogText(999999);
    testing::writeFile(designLog(999999, ""), "");
    std::remove(designLog(999999, "").c_str());
    return result;
  }

  std::string failureText(int number, const std::string& reason) {
    return logged(
        formatText("Error in updating design (%d) variable values based on the study "
                   "relation. The following error message was received:\n%s\nThis "
                   "design will be marked as an error.",
                   number, reason.c_str()));
  }

  void expectFailed(const Design& design) {
    EXPECT_TRUE(design.failed);
    EXPECT_EQ(design.performance, kFailedPerformance);
    EXPECT_EQ(design.violation, kFailedViolation);
    EXPECT_EQ(design.status, kDesignError);
  }

  EncodingContext context_;
  RelationshipSettings settings_;
  int nextNumber_ = 40;
  std::map<std::string, std::function<bool(const Pairs&, double&, std::string&)>> expressions_;
  std::vector<std::pair<std::string, Pairs>> calls_;
};

// ---------------------------------------------------------------------------------------
// Acting on designs

TEST_F(RelationshipsTest, EqualitySetsTheVariableAndItsNearestFieldOrTheExactRealValue) {
  Representation& table = studyWith(relationship("ribFromWall", "equality", "rib", "wall - 1"));
  when("wall - 1", [](const Pairs& v) { return valueOf(v, "wall") - 1.0; });
  Design design = decoded(table, {2, 0, 0, 0});  // wall 3
  ASSERT_TRUE(applyStudyRelationships(design, table, context_, settings_));
  EXPECT_EQ(design.reals[1], 2.0);
  EXPECT_EQ(design.chromosome[1], 4);
  EXPECT_EQ(design.encoding, kEncodingChromosome);  // 2.0 is a field value: still exact
  EXPECT_EQ(table.slots[1].intValue, 4);
  EXPECT_FALSE(design.failed);

  // A value between fields makes the real values authoritative.
  studyWith(relationship("ribFromWall", "equality", "rib", "0.3 * wall"));
  when("0.3 * wall", [](const Pairs& v) { return 0.3 * valueOf(v, "wall"); });
  design = decoded(table, {2, 8, 0, 0});
  ASSERT_TRUE(applyStudyRelationships(design, table, context_, settings_));
  EXPECT_DOUBLE_EQ(design.reals[1], 0.9);
  EXPECT_EQ(design.chromosome[1], 2);  // nearest: 1.0
  EXPECT_EQ(design.encoding, kEncodingReal);
  EXPECT_DOUBLE_EQ(table.slots[1].realValue, 0.9);
  // (Decoding a design of real values again keeps them: EncodingTest.)
}

TEST_F(RelationshipsTest, InequalitiesMoveOnlyValuesBeyondExpressionsThatSeeEveryName) {
  Representation& table =
      studyWith(relationship("ribBelow", "inequality", "rib", "0.5 * wall", "less_equal") +
                relationship("wallAbove", "inequality", "wall", "rib + 2", "greater_equal"));
  when("0.5 * wall", [](const Pairs& v) { return 0.5 * valueOf(v, "wall"); });
  when("rib + 2", [](const Pairs& v) { return valueOf(v, "rib") + 2.0; });

  Design inside = decoded(table, {3, 2, 0, 0});  // wall 4, rib 1: both hold
  ASSERT_TRUE(applyStudyRelationships(inside, table, context_, settings_));
  EXPECT_EQ(inside.reals[0], 4.0);
  EXPECT_EQ(inside.reals[1], 1.0);

  Design beyond = decoded(table, {1, 8, 0, 0});  // wall 2, rib 4
  ASSERT_TRUE(applyStudyRelationships(beyond, table, context_, settings_));
  EXPECT_EQ(beyond.reals[1], 1.0);  // moved down onto 0.5 * 2
  EXPECT_EQ(beyond.reals[0], 3.0);  // then wall up onto the new rib + 2
  EXPECT_THAT(beyond.chromosome, ElementsAre(2, 2, 0, 0));
  ASSERT_EQ(calls_.size(), 4u);
  EXPECT_EQ(valueOf(calls_[3].second, "rib"), 1.0);  // the second saw the first's change

  studyWith(relationship("r", "inequality", "rib", "4", "less_equal"));
  when("4", [](const Pairs&) { return 4.0; });
  calls_.clear();
  Design design = decoded(table, {4, 3, 2, 0});
  design.reals[4] = 12.5;  // the parameter value this design carries
  ASSERT_TRUE(applyStudyRelationships(design, table, context_, settings_));
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].first, "4");
  EXPECT_THAT(calls_[0].second,
              ElementsAre(Pair("wall", 5.0), Pair("rib", 1.5), Pair("gauge", 3.0),
                          Pair("material", 1.0), Pair("load", 12.5), Pair("height", 7.0)));
}

TEST_F(RelationshipsTest, DiscreteVariablesTakeAChoiceAndVariablesNotVariedAreLeftAlone) {
  Representation& table = studyWith(relationship("g", "equality", "gauge", "gaugeOf(wall)") +
                                    relationship("m", "equality", "material", "materialOf(wall)"));
  when("gaugeOf(wall)", [](const Pairs& v) { return valueOf(v, "wall") >= 3 ? 3.0 : 1.5; });
  when("materialOf(wall)", [](const Pairs& v) { return valueOf(v, "wall") >= 3 ? 1.0 : 2.0; });
  Design design = decoded(table, {4, 0, 0, 1});
  ASSERT_TRUE(applyStudyRelationships(design, table, context_, settings_));
  EXPECT_THAT(design.chromosome, ElementsAre(4, 0, 2, 0));
  EXPECT_EQ(design.reals[2], 2.0);
  EXPECT_EQ(table.slots[3].intValue, 0);

  studyWith(relationship("h", "equality", "height", "wall"));
  calls_.clear();
  design = decoded(table, {0, 0, 0, 0});
  const Design before = design;
  ASSERT_TRUE(applyStudyRelationships(design, table, context_, settings_));
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(design.reals, before.reals);
}

TEST_F(RelationshipsTest, DecodingAppliesTheRelationshipsOnlyWhenAsked) {
  Representation& table = studyWith(relationship("ribFromWall", "equality", "rib", "wall - 1"));
  when("wall - 1", [](const Pairs& v) { return valueOf(v, "wall") - 1.0; });
  Design plain;
  plain.representation = 1;
  plain.chromosome = {4, 0, 0, 0};
  Design asked = plain;
  EXPECT_TRUE(decodeDesign(plain, table, context_));
  EXPECT_EQ(plain.reals[1], 0.0);
  EXPECT_TRUE(decodeDesign(asked, table, context_, &settings_));
  EXPECT_EQ(asked.reals[1], 4.0);
  EXPECT_EQ(table.slots[1].realValue, 4.0);

  expressions_.clear();  // the relationship now fails: decoding says so
  Design failing = plain;
  EXPECT_FALSE(decodeDesign(failing, table, context_, &settings_));
  EXPECT_EQ(failing.designNumber, 40);
  expectFailed(failing);
}

// ---------------------------------------------------------------------------------------
// Failures

TEST_F(RelationshipsTest, FailedDesignKeepsItsNumberOrDrawsANewOne) {
  Representation& table = studyWith(relationship("broken", "equality", "rib", "wal - 1") +
                                    relationship("later", "equality", "wall", "2"));
  when("2", [](const Pairs&) { return 2.0; });
  Design design = decoded(table, {2, 2, 0, 0});
  EXPECT_NO_THROW(EXPECT_FALSE(applyStudyRelationships(design, table, context_, settings_)));
  EXPECT_EQ(design.designNumber, 40);
  EXPECT_EQ(nextNumber_, 41);
  expectFailed(design);
  EXPECT_EQ(calls_.size(), 1u);  // nothing after the first failure
  EXPECT_EQ(designLogText(40),
            failureText(40,
                        "Study relationship \"broken\": NameError: unknown expression "
                        "'wal - 1'"));
  EXPECT_EQ(messages(), "");

  // A design with a number keeps it.
  studyWith(relationship("tooBig", "equality", "rib", "wall + 1"));
  when("wall + 1", [](const Pairs& v) { return valueOf(v, "wall") + 1.0; });
  design = decoded(table, {3, 2, 0, 0}, 7);  // wall 4: rib would be 5
  EXPECT_FALSE(applyStudyRelationships(design, table, context_, settings_));
  EXPECT_EQ(design.designNumber, 7);
  EXPECT_EQ(nextNumber_, 41);
  expectFailed(design);
  EXPECT_EQ(designLogText(7),
            failureText(7,
                        "The value (5) of the study relationship \"tooBig\" for the "
                        "variable \"rib\" is outside its bounds [0, 4]."));
}

TEST_F(RelationshipsTest, NoChoiceNonNumbersAndAMissingEvaluatorFail) {
  Representation& table = studyWith(relationship("g", "equality", "gauge", "2.5"));
  when("2.5", [](const Pairs&) { return 2.5; });
  Design design = decoded(table, {0, 0, 0, 0}, 3);
  EXPECT_FALSE(applyStudyRelationships(design, table, context_, settings_));
  EXPECT_EQ(designLogText(3),
            failureText(3,
                        "The value (2.5) of the study relationship \"g\" is not one of the "
                        "choices of the discrete variable \"gauge\" (discrete set "
                        "\"gauges\")."));

  studyWith(relationship("r", "equality", "rib", "inf"));
  when("inf", [](const Pairs&) { return std::numeric_limits<double>::infinity(); });
  design = decoded(table, {0, 0, 0, 0}, 5);
  EXPECT_FALSE(applyStudyRelationships(design, table, context_, settings_));
  EXPECT_EQ(designLogText(5), failureText(5,
                                          "The study relationship \"r\" gave a value (inf) "
                                          "that is not a finite number."));

  RelationshipSettings none;
  Design other = decoded(table, {0, 0, 0, 0});
  EXPECT_FALSE(applyStudyRelationships(other, table, context_, none));
  EXPECT_EQ(other.designNumber, -1);  // no counter given: no number to draw
  expectFailed(other);
  EXPECT_EQ(designLogText(-1), failureText(-1,
                                           "No expression evaluator is available for the "
                                           "study relationship \"r\"."));
}

}  // namespace
}  // namespace karvo
