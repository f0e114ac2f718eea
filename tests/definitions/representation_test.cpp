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
#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "support/study_files_fixture.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::TempDir;

const char* kDefinitions =
    "*DEFINE_SET\n"
    "name: colours\n"
    "ordered: 0\n"
    "values:3\n"
    "red\n"
    "green\n"
    "blue\n"
    "*DEFINE_VARIABLE\n"
    "name: thickness\n"
    "type: Continuous\n"
    "id: 1\n"
    "min: 1.0\n"
    "baseline: 2.0\n"
    "max: 5.0\n"
    "*DEFINE_VARIABLE\n"
    "name: colour\n"
    "type: Discrete\n"
    "id: 2\n"
    "set: colours\n"
    "baseline: 2\n"
    "*DEFINE_VARIABLE\n"
    "name: load\n"
    "type: Parameter\n"
    "id: 3\n"
    "baseline: 10\n"
    "*DEFINE_VARIABLE\n"
    "name: width\n"
    "type: Continuous\n"
    "id: 4\n"
    "min: -1\n"
    "baseline: 0\n"
    "max: 1\n"
    "levels:2\n"
    "-1\n"
    "1\n"
    "factorType: noise\n"
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
                     "$ written by the study editor\n"
                     "*TYPE\n"
                     "version: 2019.01\n"
                     "*VARIABLE\n"
                     "name: colour\n"
                     "id: 2\n"
                     "*VARIABLE\n"
                     "name: thickness\n"
                     "id: 1\n"
                     "resolution: 5\n"
                     "distribution: NONE\n"
                     "*END\n"
                     "*VARIABLE\n"
                     "name: width\n"
                     "id: 4\n");
  readRepresentationFile(2);
  ASSERT_EQ(representations.size(), 1u);
  const Representation* table = findRepresentation(2);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->number, 2);
  EXPECT_EQ(table->num_dvar, 2);  // nothing after *END is read
  ASSERT_EQ(table->slots.size(), 2u);

  const VariableSlot& colour = table->slots[0];
  EXPECT_EQ(colour.id, 2);
  EXPECT_EQ(colour.iden, kIdenDiscrete);
  EXPECT_EQ(colour.kind, kSlotDiscrete);
  EXPECT_EQ(colour.resolutionMode, kResolutionValues);
  EXPECT_EQ(colour.resolution, 3);  // the items of its set
  EXPECT_EQ(colour.lower, 0.0);
  EXPECT_EQ(colour.upper, 3.0);
  EXPECT_EQ(colour.intValue, 1);  // baseline choice 2, 0-based
  EXPECT_EQ(colour.realValue, 1.0);

  const VariableSlot& thickness = table->slots[1];
  EXPECT_EQ(thickness.iden, kIdenContinuous);
  EXPECT_EQ(thickness.kind, kSlotContinuous);
  EXPECT_EQ(thickness.resolution, 5);
  EXPECT_EQ(thickness.lower, 1.0);
  EXPECT_EQ(thickness.upper, 5.0);
  EXPECT_EQ(thickness.realValue, 2.0);
  EXPECT_EQ(thickness.fixedValue, 2.0);
  EXPECT_EQ(thickness.intValue, 1);  // 1, 2, 3, 4, 5: the baseline 2 is field 1

  EXPECT_THAT(table->field_sizes, ElementsAre(3, 5));
  EXPECT_EQ(definitions.maxDesignVariables, 2);
  EXPECT_EQ(messages(), "");
}

TEST_F(RepresentationTest, FactorRecordsGiveLevelsInEitherListFormAndInAnyOrder) {
  definitionsWith(kDefinitions);
  representationWith(1,
                     "*FACTOR\n"
                     "name: thickness\n"
                     "levels: 1.5, 2.5 3.5\n"
                     "factorType: control\n"
                     "*VARIABLE\n"
                     "name: thickness\n"
                     "id: 1\n"
                     "resolution: 3\n"
                     "*VARIABLE\n"
                     "name: width\n"
                     "id: 4\n"
                     "resolution: 2\n"
                     "*VARIABLE\n"
                     "name: colour\n"
                     "id: 2\n"
                     "*FACTOR\n"
                     "name: colour\n"
                     "levels:2\n"
                     "0\n"
                     "2\n");
  readRepresentationFile(1);
  const Representation& table = *findRepresentation(1);
  EXPECT_THAT(table.slots[0].levels, ElementsAre(1.5, 2.5, 3.5));
  EXPECT_EQ(table.slots[0].levelCount, 3);
  EXPECT_EQ(table.slots[0].usesLevels, 1);
  EXPECT_EQ(table.slots[0].factorType, "control");
  // Levels of the design-of-experiments form of Definitions.in apply without a *FACTOR.
  EXPECT_THAT(table.slots[1].levels, ElementsAre(-1.0, 1.0));
  EXPECT_EQ(table.slots[1].usesLevels, 1);
  EXPECT_EQ(table.slots[1].factorType, "noise");
  EXPECT_THAT(table.slots[2].levels, ElementsAre(0.0, 2.0));
  EXPECT_EQ(table.slots[2].factorType, "");
}

TEST_F(RepresentationTest, ReadingAgainReplacesTheEntryAndEmptyFilesAreAllowed) {
  definitionsWith(kDefinitions);
  representationWith(1, "*VARIABLE\nname: colour\nid: 2\n");
  readRepresentationFile(1);
  representationWith(1, "*TYPE\n*END\n");
  readRepresentationFile(1);
  ASSERT_EQ(representations.size(), 1u);
  EXPECT_EQ(representations[0].num_dvar, 0);
  EXPECT_TRUE(representations[0].field_sizes.empty());
  EXPECT_EQ(definitions.maxDesignVariables, 1);  // the largest seen stays
  EXPECT_EQ(findRepresentation(7), nullptr);
}

TEST_F(RepresentationTest, WithoutDefinitionsFileAFullRecordAddsTheVariable) {
  readDefinitions();  // no file: four warning lines, empty tables
  representationWith(1,
                     "*VARIABLE\n"
                     "name: gap\n"
                     "type: Continuous\n"
                     "id: 7\n"
                     "min: 0\n"
                     "baseline: 0.5\n"
                     "max: 1\n"
                     "resolution: 11\n");
  readRepresentationFile(1);
  ASSERT_NE(findVariableById(7), nullptr);
  EXPECT_EQ(findVariable("gap")->id, 7);
  const VariableSlot& slot = findRepresentation(1)->slots.at(0);
  EXPECT_EQ(slot.resolution, 11);
  EXPECT_EQ(slot.intValue, 5);
  EXPECT_EQ(slot.upper, 1.0);

  // A plain reference still needs the variable.
  representationWith(2, "*VARIABLE\nname: other\nid: 8\nresolution: 3\n");
  EXPECT_EQ(failureOf([] { readRepresentationFile(2); }),
            fatalOutput("Design Variable id 8 is not defined in Definitions.in.\n"));
}

// ---------------------------------------------------------------------------------------
// Refusals

TEST_F(RepresentationTest, UndefinedDuplicateMismatchedAndNonDesignVariablesAreRefused) {
  definitionsWith(kDefinitions);
  EXPECT_EQ(readFailure("*VARIABLE\nname: ghost\nid: 99\nresolution: 3\n"),
            fatalOutput("Design Variable id 99 is not defined in Definitions.in.\n"));
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
  EXPECT_EQ(readFailure("*VARIABLE\nname: thickness\nid: 1\n"),
            fatalOutput("When reading data for \"thickness\" of type \"Representation variable\" "
                        "from file \"Representation1.in\", KARVO encountered the following "
                        "error in reading the data for property \"resolution\":\nThe property "
                        "is not defined."));
  EXPECT_EQ(readFailure("*VARIABLE\nname: thickness\nid: 1\nresolution: 1\n"),
            fatalOutput("When reading \"resolution\" input for \"thickness\" of type "
                        "\"Representation variable\" from file \"Representation1.in\", the value "
                        "read (1) is less than the required minimum (2)"));
}

TEST_F(RepresentationTest, UnknownKeywordsDistributionsAndFactorsAreRefused) {
  definitionsWith(kDefinitions);
  EXPECT_EQ(readFailure("*VARIABLE\nname: colour\nid: 2\n*DESIGN_VARIABLE\nname: x\n"),
            fatalOutput("\n\t**** ERROR ****\n\n\t Unsupported keyword:\n *DESIGN_VARIABLE"));
  EXPECT_EQ(readFailure("stray text\n*VARIABLE\nname: colour\nid: 2\n"),
            fatalOutput("\n\t**** ERROR ****\n\n\t Unsupported keyword:\n stray text"));
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
  EXPECT_EQ(readFailure("*VARIABLE\nname: colour\nid: 2\n*FACTOR\nname: colour\nlevels: 1, x\n"),
            fatalOutput("When reading data for \"colour\" of type \"Factor\" from file "
                        "\"Representation1.in\", KARVO encountered the following error in "
                        "reading the data for property \"levels\":\nThe read value \"x\" could "
                        "not be converted into a double."));
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
  table.slots[0].resolutionMode = 5;
  EXPECT_EQ(failureOf([&] { user_set_field_sizes(table); }),
            fatalOutput("Error, user_set_field_sizes"));
  table.slots[0].resolutionMode = kResolutionBits;
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
  EXPECT_EQ(messages(),
            rendered("warning",
                     "The design variables of representation 1 used by agent 2 allow only 12 "
                     "distinct designs, fewer than the 50 evaluations allowed for the agent. At "
                     "most 12 designs will be evaluated. Increase the resolution of the "
                     "variables to evaluate more designs."));
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
  EXPECT_EQ(messages(),
            rendered("warning",
                     "The design variables of representation 1 used by agent 1 allow only 12 "
                     "distinct designs, fewer than the 13 evaluations allowed for the agent. At "
                     "most 12 designs will be evaluated. Increase the resolution of the "
                     "variables to evaluate more designs."));
  resetStudy();
}

}  // namespace
}  // namespace karvo
