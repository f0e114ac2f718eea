// Tests of the representation files: the slots built from `*VARIABLE` and `*FACTOR` records
// against the variable table of "Definitions.in", the field sizes, the size check against
// the allowed number of evaluations, and the exact text of every refusal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "support/definition_place.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::errorPlace;

const char* kDesignDefinitions =
    "*DEFINE_SET\nname: colours\nordered: 0\nvalues:3\nred\ngreen\nblue\n"
    "*DEFINE_VARIABLE\nname: thickness\ntype: Continuous\nid: 1\nmin: 1.0\nbaseline: 2.0\n"
    "max: 5.0\n"
    "*DEFINE_VARIABLE\nname: colour\ntype: Discrete\nid: 2\nset: colours\nbaseline: 2\n"
    "*DEFINE_VARIABLE\nname: load\ntype: Parameter\nid: 3\nbaseline: 10\n"
    "*DEFINE_VARIABLE\nname: width\ntype: Continuous\nid: 4\nmin: -1\nbaseline: 0\nmax: 1\n"
    "levels:2\n-1\n1\nfactorType: noise\n"
    "*END\n";

class RepresentationTest : public testing::StudyFilesTest {
 protected:
  RepresentationTest() : StudyFilesTest("karvo-representation") {}

  void representationWith(int number, const std::string& text) {
    testing::writeFile(dir_.file("Representation" + std::to_string(number) + ".in"), text);
  }

  std::string readFailure(const std::string& text) {
    representationWith(1, text);
    return failureOf([] { readRepresentationFile(1); });
  }
};

// ---------------------------------------------------------------------------------------
// Reading

TEST_F(RepresentationTest, BuildsSlotsInFileOrderFromTheVariableTable) {
  definitionsWith(kDesignDefinitions);
  representationWith(2,
                     "$ written by the study editor\n*TYPE\nversion: 2019.01\n"
                     "*VARIABLE\nname: colour\nid: 2\n"
                     "*VARIABLE\nname: thickness\nid: 1\nresolution: 5\ndistribution: NONE\n"
                     "*END\n*VARIABLE\nname: width\nid: 4\n");
  readRepresentationFile(2);
  const Representation* table = findRepresentation(2);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->num_dvar, 2);  // nothing after *END is read
  ASSERT_EQ(table->slots.size(), 2u);

  const VariableSlot& colour = table->slots[0];
  EXPECT_EQ(colour.kind, kSlotDiscrete);
  EXPECT_EQ(colour.resolution, 3);  // the items of its set
  EXPECT_EQ(colour.upper, 3.0);
  EXPECT_EQ(colour.intValue, 1);  // baseline choice 2, 0-based

  const VariableSlot& thickness = table->slots[1];
  EXPECT_EQ(thickness.kind, kSlotContinuous);
  EXPECT_EQ(thickness.lower, 1.0);
  EXPECT_EQ(thickness.realValue, 2.0);
  EXPECT_EQ(thickness.intValue, 1);  // 1, 2, 3, 4, 5: the baseline 2 is field 1

  EXPECT_THAT(table->field_sizes, ElementsAre(3, 5));
  EXPECT_EQ(definitions.maxDesignVariables, 2);
  EXPECT_EQ(messages(), "");
}

TEST_F(RepresentationTest, FactorRecordsGiveLevelsInEitherListFormAndInAnyOrder) {
  definitionsWith(kDesignDefinitions);
  representationWith(1,
                     "*FACTOR\nname: thickness\nlevels: 1.5, 2.5 3.5\nfactorType: control\n"
                     "*VARIABLE\nname: thickness\nid: 1\nresolution: 3\n"
                     "*VARIABLE\nname: width\nid: 4\nresolution: 2\n"
                     "*VARIABLE\nname: colour\nid: 2\n"
                     "*FACTOR\nname: colour\nlevels:2\n0\n2\n");
  readRepresentationFile(1);
  const Representation& table = *findRepresentation(1);
  EXPECT_THAT(table.slots[0].levels, ElementsAre(1.5, 2.5, 3.5));
  EXPECT_EQ(table.slots[0].levelCount, 3);
  EXPECT_EQ(table.slots[0].factorType, "control");
  // Levels of the design-of-experiments form of Definitions.in apply without a *FACTOR.
  EXPECT_THAT(table.slots[1].levels, ElementsAre(-1.0, 1.0));
  EXPECT_EQ(table.slots[1].usesLevels, 1);
  EXPECT_EQ(table.slots[1].factorType, "noise");
  EXPECT_THAT(table.slots[2].levels, ElementsAre(0.0, 2.0));
}

TEST_F(RepresentationTest, ReadingAgainReplacesTheEntryAndEmptyFilesAreAllowed) {
  definitionsWith(kDesignDefinitions);
  representationWith(1, "*VARIABLE\nname: colour\nid: 2\n");
  readRepresentationFile(1);
  representationWith(1, "*TYPE\n*END\n");
  readRepresentationFile(1);
  ASSERT_EQ(representations.size(), 1u);
  EXPECT_EQ(representations[0].num_dvar, 0);
  EXPECT_EQ(definitions.maxDesignVariables, 1);  // the largest seen stays
}

TEST_F(RepresentationTest, WithoutDefinitionsFileAFullRecordAddsTheVariable) {
  readDefinitions();  // no file: four warning lines, empty tables
  representationWith(1, "*VARIABLE\nname: gap\ntype: Continuous\nid: 7\nmin: 0\nbaseline: 0.5\n"
                        "max: 1\nresolution: 11\n");
  readRepresentationFile(1);
  EXPECT_EQ(findVariable("gap")->id, 7);
  EXPECT_EQ(findRepresentation(1)->slots.at(0).intValue, 5);

  // A plain reference still needs the variable, and a full one must be a design variable.
  EXPECT_EQ(readFailure("*VARIABLE\nname: other\nid: 8\nresolution: 3\n"),
            fatalOutput("Design Variable id 8 is not defined in Definitions.in.\n"));
  EXPECT_EQ(readFailure("*VARIABLE\nname: p\ntype: Parameter\nid: 10\nbaseline: 1\n"),
            fatalOutput("Error in adding the parameter \"p\" to the study. The specified type "
                        "\"Parameter\" is not supported for study variables. Only Continuous and "
                        "Discrete variables can be added to the study.\nThe error is in property "
                        "\"type\" of the Parameter \"p\" (record on line 1 of file "
                        "\"Representation1.in\")."));
}

// ---------------------------------------------------------------------------------------
// Refusals

TEST_F(RepresentationTest, DuplicateMismatchedNonDesignAndCoarseVariablesAreRefused) {
  definitionsWith(kDesignDefinitions);
  EXPECT_EQ(readFailure("*VARIABLE\nname: colour\nid: 2\n*VARIABLE\nname: colour\nid: 2\n"),
            fatalOutput("Cannot have duplicate variable ids 2."));
  EXPECT_EQ(readFailure("*VARIABLE\nname: colour\nid: 1\nresolution: 3\n"),
            fatalOutput("The design variable \"colour\" with id 1 in file \"Representation1.in\" "
                        "does not match the variable with this id in Definitions.in, which is "
                        "named \"thickness\". Please correct the name or the id."));
  EXPECT_EQ(readFailure("*VARIABLE\nname: load\nid: 3\n"),
            fatalOutput("The variable \"load\" (id 3) in file \"Representation1.in\" is not a "
                        "design variable. Only continuous and discrete variables can be varied "
                        "by a representation."));
  // A continuous variable needs a resolution of at least two.
  EXPECT_EQ(readFailure("*VARIABLE\nname: thickness\nid: 1\nresolution: 1\n"),
            fatalOutput("When reading \"resolution\" input for \"thickness\" of type "
                        "\"Representation variable\" from file \"Representation1.in\", the value "
                        "read (1) is less than the required minimum (2)"));
  EXPECT_TRUE(representations.empty());
}

TEST_F(RepresentationTest, UnknownKeywordsDistributionsAndFactorsAreRefused) {
  definitionsWith(kDesignDefinitions);
  EXPECT_EQ(readFailure("*VARIABLE\nname: colour\nid: 2\n*DESIGN_VARIABLE\nname: x\n"),
            fatalOutput("\n\t**** ERROR ****\n\n\t Unsupported keyword:\n *DESIGN_VARIABLE"));
  EXPECT_EQ(readFailure("*VARIABLE\nname: thickness\nid: 1\nresolution: 3\ndistribution: d1\n"),
            fatalOutput("Error in the project definition. The distribution \"d1\" is being "
                        "used, but has not been defined in the project."));
  EXPECT_EQ(readFailure("*VARIABLE\nname: colour\nid: 2\n*FACTOR\nname: thickness\n"),
            fatalOutput("The factor \"thickness\" in file \"Representation1.in\" is not a design "
                        "variable of this representation. A *FACTOR record must name a variable "
                        "of a *VARIABLE record of the same file."));
  EXPECT_EQ(readFailure("*VARIABLE\nname: colour\nid: 2\n*FACTOR\nname: colour\n"
                        "*FACTOR\nname: colour\n"),
            fatalOutput("The factor \"colour\" is defined more than once in file "
                        "\"Representation1.in\"."));
  EXPECT_EQ(readFailure("*VARIABLE\nname: colour\nid: 2\n*FACTOR\nname: colour\n"
                        "factorType: signal\n"),
            fatalOutput("When reading data for \"colour\" of type \"Factor\" from file "
                        "\"Representation1.in\", KARVO encountered the following error in "
                        "reading the data for property \"factorType\":\nThe factor type "
                        "\"signal\" is not supported. Valid choices are control and noise."));
}

// ---------------------------------------------------------------------------------------
// Field sizes and the size check

TEST_F(RepresentationTest, FieldSizesFollowTheResolutionMode) {
  Representation table;
  table.slots.resize(3);
  table.slots[0].resolutionMode = kResolutionBits;
  table.slots[0].resolution = 4;
  table.slots[1].resolution = 7;
  table.slots[2].kind = kSlotDiscrete;
  table.slots[2].resolutionMode = kResolutionBits;  // ignored for a discrete variable
  table.slots[2].resolution = 3;
  table.num_dvar = 3;
  user_set_field_sizes(table);
  EXPECT_THAT(table.field_sizes, ElementsAre(16, 7, 3));
  EXPECT_EQ(representationDesignCount(table, 1000), 336);
  EXPECT_EQ(representationDesignCount(table, 335), -1);

  table.num_dvar = 2;
  EXPECT_EQ(failureOf([&] { user_set_field_sizes(table); }),
            fatalOutput("number of fields != num_dvar in user_set_field_sizes, exit"));
  table.num_dvar = 3;
  table.slots[0].resolution = 31;  // 2^31 values do not fit a field
  EXPECT_EQ(failureOf([&] { user_set_field_sizes(table); }),
            fatalOutput("Error, user_set_field_sizes"));
}

TEST_F(RepresentationTest, SmallDesignSpacesAreReportedAgainstTheAllowedRuns) {
  definitionsWith(kDesignDefinitions);
  representationWith(1, "*VARIABLE\nname: colour\nid: 2\n*VARIABLE\nname: thickness\nid: 1\n"
                        "resolution: 4\n");
  readRepresentationFile(1);
  checkResolutionAgainstRuns(1, 0, 12);  // 3 x 4 = 12 designs: enough
  EXPECT_EQ(messages(), "");
  checkResolutionAgainstRuns(1, 2, 50);
  auto fewDesigns = [this](int agent, int runs) {
    return rendered("warning", "The design variables of representation 1 used by agent " +
                                   std::to_string(agent) + " allow only 12 distinct designs, "
                                   "fewer than the " + std::to_string(runs) +
                                   " evaluations allowed for the agent. At most 12 designs will "
                                   "be evaluated. Increase the resolution of the variables to "
                                   "evaluate more designs.");
  };
  EXPECT_EQ(messages(), fewDesigns(2, 50));
  EXPECT_EQ(failureOf([] { checkResolutionAgainstRuns(4, 0, 50); }),
            fatalOutput("Representation number set to illegal number, exit."));

  // Over the agent table: only optimization agents with a budget are checked.
  resetStudy();
  Agent doe;
  doe.number = 0;
  doe.type = kAgentDoe;
  doe.representation = 4;  // not read: would end the run if it were checked
  doe.numEvals = 100;
  Agent search = doe;
  search.number = 1;
  search.type = kAgentOptimization;
  search.representation = 1;
  search.numEvals = 13;
  agents = {doe, search};
  clearMessages();
  checkRepresentationResolutions();
  EXPECT_EQ(messages(), fewDesigns(1, 13));
  resetStudy();
}

// ---------------------------------------------------------------------------------------
// Performance files

const char* kScoredDefinitions =
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
    definitionsWith(kScoredDefinitions);
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

TEST_F(PerformanceFileTest, WordsOutsideTheirListsAndEmptyAcceptedRangesAreRefused) {
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
  // The accepted range must not be empty.
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
