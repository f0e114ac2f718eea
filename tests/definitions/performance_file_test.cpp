// Tests of the performance files: the `per_type` table built from `*RESPONSE` records (option
// words, normalisations, weights, accepted ranges, goals, counts), the rules for names used
// more than once, and the exact text of every refusal and warning.
#include "definitions/performance_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/definition_place.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::errorPlace;

const char* kDefinitions =
    "*DEFINE_VARIABLE\nname: thickness\ntype: Continuous\nid: 1\nmin: 1.0\nbaseline: 2.0\n"
    "max: 5.0\n"
    "*DEFINE_RESPONSE\nname: mass\ntype: File\n*DEFINE_RESPONSE\nname: stress\ntype: File\n"
    "*DEFINE_RESPONSE\nname: cost\ntype: File\n*END\n";

// An objective or constraint record with every required property.
std::string scored(const std::string& name, const std::string& type, const std::string& option,
                   const std::string& extra = "") {
  return "*RESPONSE\nname: " + name + "\ntype: " + type + "\noption: " + option +
         "\ntarget: 0\nquadWt: 0\nlinearWt: 1\n" + extra;
}

class PerformanceFileTest : public testing::StudyFilesTest {
 protected:
  PerformanceFileTest() : StudyFilesTest("karvo-performance") {}

  void SetUp() override {
    StudyFilesTest::SetUp();
    definitionsWith(kDefinitions);
  }

  void performanceWith(int number, const std::string& text) {
    testing::writeFile(dir_.file("Performance" + std::to_string(number) + ".in"), text);
  }

  std::string readFailure(const std::string& text) {
    performanceWith(1, text);
    return failureOf([] { readPerformanceFile(1, false); });
  }
};

// ---------------------------------------------------------------------------------------
// Reading

TEST_F(PerformanceFileTest, FillsTheParallelArraysInFileOrder) {
  performanceWith(3,
                  "$ study responses\n*TYPE\nversion: 2019.01\n"
                  "*RESPONSE\nname: mass\ntype: objective\noption: min_value\nfactor: baseline\n"
                  "target: 1.5\nquadWt: 2\nlinearWt: 3\n"
                  "*RESPONSE\nname: stress\ntype: constraint\noption: less_equal\nfactor: 250\n"
                  "target: 200\nquadWt: 10\nlinearWt: 0\nacceptMin: 0\nacceptMax: 1e4\n"
                  "*RESPONSE\nname: cost\ntype: response\ngoal: larger\n"
                  "*END\n*RESPONSE\nname: never read\n");
  readPerformanceFile(3);
  const PerformanceDefinition* table = findPerformance(3);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->count, 3);
  EXPECT_THAT(table->name, ElementsAre("mass", "stress", "cost"));
  EXPECT_THAT(table->flag, ElementsAre(0, 1, 3));
  EXPECT_THAT(table->opt, ElementsAre(-1, -1, 0));
  EXPECT_THAT(table->goal, ElementsAre(-2, -2, 2));
  EXPECT_THAT(table->target, ElementsAre(1.5, 200.0, 0.0));
  EXPECT_THAT(table->coef, ElementsAre(2.0, 10.0, 0.0));
  EXPECT_THAT(table->offset, ElementsAre(3.0, 0.0, 0.0));
  EXPECT_THAT(table->norm, ElementsAre(-1.0, 250.0, 1.0));
  EXPECT_THAT(table->minAllowed, ElementsAre(-kNoAcceptLimit, 0.0, -kNoAcceptLimit));
  EXPECT_THAT(table->maxAllowed, ElementsAre(kNoAcceptLimit, 1e4, kNoAcceptLimit));
  EXPECT_EQ(table->objectiveCount, 1);
  EXPECT_EQ(table->constraintCount, 1);
  EXPECT_EQ(messages(), "");
}

TEST_F(PerformanceFileTest, OptionAndGoalWordsMapToTheirCodes) {
  // Named and numbered forms, at both ends of the range.
  const std::pair<const char*, int> options[] = {
      {"-1", -1}, {"less_equal", -1}, {"min_diff", 0}, {"greater_equal", 1}, {"2", 2}};
  for (const auto& [word, expected] : options) {
    int code = 99;
    EXPECT_TRUE(optionCode(word, code)) << word;
    EXPECT_EQ(code, expected) << word;
  }
  int code = 99;
  EXPECT_FALSE(optionCode("Min_value", code));
  EXPECT_FALSE(optionCode("3", code));
  EXPECT_EQ(code, 99);
  EXPECT_TRUE(goalCode("NONE", code));
  EXPECT_EQ(code, -2);
  EXPECT_FALSE(goalCode("none", code));
}

TEST_F(PerformanceFileTest, NormalisationDefaultsToBaselineAndNegativeValuesAreMadePositive) {
  performanceWith(1, scored("mass", "objective", "max_diff") +
                         scored("stress", "constraint", "greater_equal", "factor: -4\n"));
  readPerformanceFile(1);
  const PerformanceDefinition& table = *findPerformance(1);
  EXPECT_THAT(table.opt, ElementsAre(2, 1));
  EXPECT_THAT(table.norm, ElementsAre(kNormFromBaseline, 4.0));
  EXPECT_EQ(messages(),
            rendered("warning",
                     "The normalization value for response \"stress\" was specified as a "
                     "negative value (-4). Since KARVO does not allow negative values for "
                     "normalization, the absolute value will be used."));
}

TEST_F(PerformanceFileTest, ZeroNormalisationIsOneForReliabilityAgentsOnly) {
  performanceWith(2, scored("mass", "objective", "min_value", "factor: 0\n"));
  Agent agent;
  agent.number = 0;
  agent.type = kAgentReliability;
  agent.performance = 2;
  agents.push_back(agent);
  readPerformanceFile(2);
  EXPECT_THAT(findPerformance(2)->norm, ElementsAre(1.0));

  agents[0].type = kAgentOptimization;
  clearMessages();
  EXPECT_THROW(readPerformanceFile(2), RunExit);
  EXPECT_EQ(messages(),
            fatalOutput("The normalization value for response \"mass\" was specified as 0.0. "
                        "This value must be non-zero. Please fix this before resubmitting the "
                        "run."
                        + errorPlace("factor", "Study response", "mass", 1, "Performance2.in")));
}

TEST_F(PerformanceFileTest, UnknownKeywordsAreSkippedAndAResponseMayBeScoredMoreThanOnce) {
  // One objective and any number of constraints on the same response.
  performanceWith(1, "*OBJECTIVE\nname: mass\n" + scored("mass", "objective", "min_value") +
                         scored("mass", "constraint", "less_equal") +
                         scored("mass", "constraint", "greater_equal"));
  readPerformanceFile(1);
  EXPECT_EQ(findPerformance(1)->count, 3);
  EXPECT_EQ(findPerformance(1)->constraintCount, 2);
  EXPECT_EQ(messages(), rendered("warning", "Unknown keyword: *OBJECTIVE"));
}

// ---------------------------------------------------------------------------------------
// Refusals

TEST_F(PerformanceFileTest, TypeOptionAndGoalWordsOutsideTheirListsAreRefused) {
  EXPECT_EQ(readFailure("*RESPONSE\nname: mass\ntype: goal\n"),
            fatalOutput("Error in reading data for study response \"mass\". Unsupported "
                        "response type \"goal\" specified."
                        + errorPlace("type", "Study response", "mass", 1, "Performance1.in")));
  // (An unknown objective option is refused in the broken-study runs.)
  EXPECT_EQ(readFailure(scored("stress", "constraint", "max_diff")),
            fatalOutput("Opt cannot be equal to 2.  Set Opt equal to -1 to keep the response "
                        "below the constraint target.\n Set Opt equal to  0 to match the "
                        "response value to the constraint target).\n Set Opt equal to  1 to keep "
                        "the response above the constraint target).\n"
                        "The error is in property \"option\" of the Study response \"stress\" "
                        "(record on line 1 of file \"Performance1.in\")."));
  EXPECT_EQ(readFailure("*RESPONSE\nname: cost\ntype: response\ngoal: biggest\n"),
            fatalOutput("Invalid response goal type selected \"biggest\". Valid choices are "
                        "NONE, smaller, target, nominal, and larger."
                        + errorPlace("goal", "Study response", "cost", 1, "Performance1.in")));
}

TEST_F(PerformanceFileTest, AcceptedRangeMustNotBeEmpty) {
  EXPECT_EQ(readFailure(scored("mass", "objective", "min_value", "acceptMin: 5\nacceptMax: 1\n")),
            fatalOutput("Error in the definition of the study response \"mass\".\n The minimum "
                        "allowed value (5) cannot be greater than the maximum allowed value "
                        "(1)."
                        + errorPlace("acceptMin", "Study response", "mass", 1, "Performance1.in")));
}

TEST_F(PerformanceFileTest, NameRulesAreEnforced) {
  EXPECT_EQ(readFailure(scored("thickness", "objective", "min_value")),
            fatalOutput("Error in the name definition of a response. The name \"thickness\" has "
                        "already been used to define a variable."
                        + errorPlace("name", "Study response", "thickness", 1, "Performance1.in")));
  EXPECT_EQ(readFailure(scored("volume", "objective", "min_value")),
            fatalOutput("The study response \"volume\" in file \"Performance1.in\" has not been "
                        "defined as a response of the study. Please define the response before "
                        "using it as an objective, a constraint or a study response."));
  EXPECT_EQ(readFailure(scored("mass", "objective", "min_value") +
                        scored("mass", "objective", "max_value")),
            fatalOutput("\nThe response variable name mass already exists as an objective."
                        + errorPlace("name", "Study response", "mass", 8, "Performance1.in")));
  const std::string repeated =
      "The response name mass already exists in the list of study responses. The following "
      "rules apply for using the same response multiple times: The response can only be used "
      "as an objective or a constraint. It can be used as an objective only once. There is no "
      "limit on the number of constraints defined on a response.";
  EXPECT_EQ(readFailure(scored("mass", "constraint", "equal") +
                        "*RESPONSE\nname: mass\ntype: response\n"),
            fatalOutput(repeated + errorPlace("name", "Study response", "mass", 8, "Performance1.in")));
  EXPECT_EQ(readFailure("*RESPONSE\nname: mass\ntype: response\n" +
                        scored("mass", "objective", "min_value")),
            fatalOutput(repeated + errorPlace("name", "Study response", "mass", 4, "Performance1.in")));
  EXPECT_TRUE(per_type.empty());
}

}  // namespace
}  // namespace karvo
