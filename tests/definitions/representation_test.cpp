// Tests of the representation files: the slots built from `*VARIABLE` and `*FACTOR` records
// against the variable table of "Definitions.in", the field sizes, the size check against
// the allowed number of evaluations, and the exact text of every refusal.
#include "definitions/representation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "definitions/study.h"
#include "definitions/variables.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;

const char* kDefinitions =
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
  definitionsWith(kDefinitions);
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
  definitionsWith(kDefinitions);
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
  definitionsWith(kDefinitions);
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

TEST_F(RepresentationTest, DuplicateMismatchedAndNonDesignVariablesAreRefused) {
  definitionsWith(kDefinitions);
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
  EXPECT_TRUE(representations.empty());
}

TEST_F(RepresentationTest, ContinuousVariablesNeedAResolutionOfAtLeastTwo) {
  definitionsWith(kDefinitions);
  EXPECT_EQ(readFailure("*VARIABLE\nname: thickness\nid: 1\nresolution: 1\n"),
            fatalOutput("When reading \"resolution\" input for \"thickness\" of type "
                        "\"Representation variable\" from file \"Representation1.in\", the value "
                        "read (1) is less than the required minimum (2)"));
}

TEST_F(RepresentationTest, UnknownKeywordsDistributionsAndFactorsAreRefused) {
  definitionsWith(kDefinitions);
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
  definitionsWith(kDefinitions);
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

}  // namespace
}  // namespace karvo
