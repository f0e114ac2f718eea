// Tests of reading the study files. The definition-data reader: record reading from real
// files (comments, CR LF, long lines, missing final newline), the typed readers with their list
// and boolean rules, record editing with tracked allocation. "Definitions.in": the framing
// (dispatch, unknown keywords, the missing file), the variable table with its uniqueness and
// bound rules, discrete sets, curves, distributions, loops, relationships and options, print
// formats (the look-up by name, "_real" for "Default"), the data of each response type, the
// compute-resource, resource-set, remote-machine and condition records; the design lists with
// which a user names sets of design numbers. Each with the exact texts of its messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "base/memory.h"
#include "definitions/design_list.h"
#include "definitions/print_formats.h"
#include "definitions/reader.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "definitions/variables.h"
#include "external/distribution.h"
#include "platform/platform.h"
#include "support/definition_place.h"
#include "support/message_capture.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::definitionsError;
using testing::errorPlace;
using testing::fatalBlock;

// A definition error of one variable: its text, then where it is.
std::string variableFatal(const std::string& text, const std::string& label,
                          const std::string& name, const std::string& property, int line) {
  return fatalBlock(text + errorPlace(property, label, name, line));
}
using testing::noteBlock;
using testing::warningBlock;

class DefinitionsTest : public testing::StudyFilesTest {};

const char* kContinuousX =
    "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 0.5\nmax: 1\n";
const char* kSetGauges = "*DEFINE_SET\nname: gauges\nordered: 1\nvalues:3\n1.0\n1.5\n2.0\n";

// ---------------------------------------------------------------------------------------
// Framing

TEST_F(DefinitionsTest, MissingFileGivesTheFourWarningLinesAndEmptyTables) {
  readDefinitions();
  EXPECT_EQ(messages(),
            "\n\t**** WARNING ****\n\n\t Definitions.in file could not be read.\n\t Assuming all "
            "design variables are user-defined.\n\t Attempting to continue.\n");
  EXPECT_FALSE(definitions.definitionsRead);
  EXPECT_TRUE(definitions.variables.empty());
}

// Each other keyword is read in the tests of its own records. A variable of an unknown type
// is skipped silently (its id is taken again); keywords match by prefix ("*ENDING" is taken as
// "*END"), and nothing after the end is read, not even a bad keyword.
TEST_F(DefinitionsTest, ReadsEveryKindOfVariableWithCommentsAndTypeRecord) {
  read(std::string("$ study definitions\n*TYPE\nversion: 2019.01\n") + kSetGauges +
       "$ a comment between records\n*DEFINE_VARIABLE\nname: q\ntype: Imaginary\nid: 1\n" +
       kContinuousX +
       "*DEFINE_VARIABLE_EXTRA words\nname: c\ntype: Discrete\nid: 2\nset: gauges\nbaseline: 3\n"
       "*DEFINE_VARIABLE\nname: d\ntype: Dependent\nid: 3\nformula: x * 2\n"
       "*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 4\nbaseline: 7.5\n"
       "*DEFINE_VARIABLE\nname: s\ntype: String\nid: 5\nbaseline: steel grade\n"
       "*DEFINE_OPTION\nname: solverThreads\nvalue: 4\n*ENDING\n*NOT_A_KEYWORD\n");
  EXPECT_EQ(messages(), "");
  EXPECT_TRUE(definitions.definitionsRead);
  ASSERT_EQ(definitions.variables.size(), 5u);
  EXPECT_EQ(definitions.fixedParameterCount, 1);
  EXPECT_EQ(definitions.stringParameterCount, 1);
  EXPECT_EQ(findVariable("c")->baselineChoice, 3);  // the last item of its set
  EXPECT_EQ(findVariable("s")->baselineText, "steel grade");
  EXPECT_EQ(findVariableById(4)->name, "p");
  EXPECT_EQ(findOption("solverThreads")->value, "4");
  EXPECT_EQ(findVariable("q"), nullptr);
}

TEST_F(DefinitionsTest, UnknownKeywordEndsTheRunWithBothMessages) {
  EXPECT_EQ(readFatal(std::string(kContinuousX) + "*DEFINE_THING\nname: a\n"),
            testing::errorBlock("Unsupported definition keyword:\n *DEFINE_THING") +
                fatalBlock("Error reading file: Definitions.in\n Error is near line number 8, "
                           "which was read as:\n*DEFINE_THING"));
  // Text before the first keyword is one too.
  EXPECT_EQ(readFatal(std::string("$ comment\n\nname: stray\n") + kContinuousX),
            testing::errorBlock("Unsupported definition keyword:\n name: stray") +
                fatalBlock("Error reading file: Definitions.in\n Error is near line number 2, "
                           "which was read as:\nname: stray"));
}

// ---------------------------------------------------------------------------------------
// Variables

TEST_F(DefinitionsTest, ContinuousBoundsAndBaselineRules) {
  read("*DEFINE_VARIABLE\nname: a\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 0\nmax: 1\n"
       "*DEFINE_VARIABLE\nname: b\ntype: Continuous\nid: 2\nmin: -1\nbaseline: 2.5\nmax: 2.5\n");
  EXPECT_EQ(findVariable("a")->upper, 1.0);
  EXPECT_EQ(findVariable("b")->baseline, 2.5);  // the baseline may lie on a bound

  EXPECT_EQ(readFatal("*DEFINE_VARIABLE\nname: z\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 0\n"
                      "max: 0\n"),
            variableFatal("Lower bound (0) must be less than upper bound (0).", "Continuous Variable", "z",
                          "max", 1));
  EXPECT_EQ(readFatal("*DEFINE_VARIABLE\nname: z\ntype: Continuous\nid: 1\nmin: 0\n"
                      "baseline: 1.5\nmax: 1\n"),
            variableFatal("The baseline value (1.5) must be greater than the lower bound (0) "
                          "and less than upper bound (1).", "Continuous Variable", "z", "baseline", 1));
}

TEST_F(DefinitionsTest, ContinuousDesignOfExperimentsFormReadsLevels) {
  read("*DEFINE_VARIABLE\nname: f\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
       "levels:2\n0, 1\n2\nfactorType: noise\n");
  EXPECT_THAT(findVariable("f")->levels, ElementsAre(0.0, 1.0, 2.0));
  EXPECT_EQ(findVariable("f")->factorType, "noise");
  EXPECT_EQ(readFatal("*DEFINE_VARIABLE\nname: f\ntype: Continuous\nid: 1\nmin: 0\n"
                      "baseline: 1\nmax: 2\nlevels: 0, one\n"),
            fatalBlock(definitionsError("f", "Continuous Variable (DOE)", "levels",
                                        "The read value \"one\" could not be converted into a "
                                        "double.")));
}

TEST_F(DefinitionsTest, MissingRequiredPropertiesNameTheObjectAndRecordLabel) {
  EXPECT_EQ(readFatal("*DEFINE_VARIABLE\ntype: Continuous\nid: 1\n"),
            fatalBlock(definitionsError("Name not defined", "Parameter", "name",
                                        "The property is not defined.")));
  EXPECT_EQ(readFatal("*DEFINE_VARIABLE\nname: q\ntype: Continuous\nid: 1\nmin: 0\nmax: 1\n"),
            fatalBlock(definitionsError("q", "Continuous Variable", "baseline",
                                        "The property is not defined.")));
}

TEST_F(DefinitionsTest, DuplicateNamesAndIdsAreRefusedAcrossKinds) {
  EXPECT_EQ(readFatal(std::string(kContinuousX) +
                      "*DEFINE_VARIABLE\nname: x\ntype: Parameter\nid: 2\nbaseline: 1\n"),
            variableFatal("Cannot have duplicate names in design variable definitions. Fixed "
                          "variable name x.", "Parameter", "x", "name", 8));
  EXPECT_EQ(readFatal(std::string(kContinuousX) + kContinuousX),
            variableFatal("Cannot have duplicate names in design variable definitions. "
                          "Continuous name x.", "Parameter", "x", "name", 8));
  EXPECT_EQ(readFatal(std::string(kContinuousX) +
                      "*DEFINE_VARIABLE\nname: s\ntype: String\nid: 1\nbaseline: text\n"),
            variableFatal("Cannot have duplicate variable ids 1.", "String parameter", "s", "id", 8));
}

TEST_F(DefinitionsTest, DiscreteVariableNeedsAnEarlierSetOfTwoItemsAndABaselineChoice) {
  const std::string discrete = "*DEFINE_VARIABLE\nname: c\ntype: Discrete\nid: 2\nset: gauges\n";
  // (A set defined after its use is refused in the broken-study runs.)
  for (const char* choice : {"0", "4"}) {
    EXPECT_EQ(readFatal(std::string(kSetGauges) + discrete + "baseline: " + choice + "\n"),
              variableFatal("The baseline choice for a discrete variable must be between 1 and "
                            "number of items in the discrete set (3).", "Discrete Variable", "c",
                            "baseline", 8));
  }
  EXPECT_EQ(readFatal("*DEFINE_SET\nname: gauges\nvalues: 1.0\n" + discrete + "baseline: 1\n"),
            variableFatal("For a discrete variable, the number of items in a discrete set must "
                          "be at least 2. The discrete set \"gauges\" has only 1 items.",
                          "Discrete Variable", "c", "set", 4));
}

TEST_F(DefinitionsTest, DependentFormulaKeepsItsLinesAndDistributionsResolveAfterTheFile) {
  read("*DEFINE_VARIABLE\nname: d\ntype: Dependent\nid: 3\ndistribution: scatter\n"
       "formula:2\nt = x * 2\n_result = t + 1\n"
       "*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 4\nbaseline: 2\ndistribution: scatter\n"
       "*DEFINE_DIST\nname: scatter\ntype: Normal\nstandardDeviation: 0.1\n");
  EXPECT_EQ(findVariable("d")->formula, "t = x * 2\n_result = t + 1");
  EXPECT_EQ(findVariable("d")->distributionIndex, 0);
  EXPECT_EQ(findVariable("p")->distributionIndex, 0);

  EXPECT_EQ(readFatal("*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 4\nbaseline: 2\n"
                      "distribution: nowhere\n"),
            fatalBlock("Error in the project definition. The distribution \"nowhere\" is being "
                       "used, but has not been defined in the project."));
}

// ---------------------------------------------------------------------------------------
// Discrete sets

TEST_F(DefinitionsTest, SetsKeepTheirItemsAndTellNumericFromText) {
  read("*DEFINE_SET\nname: sizes\nordered: yes\nvalues:3\n1.5\n 2\n3e1\n"
       "*DEFINE_SET\nname: colours\nvalues:3\nred\n4\nblue\n");
  EXPECT_THAT(findSet("sizes")->items, ElementsAre("1.5", " 2", "3e1"));
  EXPECT_TRUE(findSet("sizes")->numeric);
  EXPECT_FALSE(findSet("colours")->numeric);
  EXPECT_EQ(messages(),
            warningBlock("At least one item (red) in the discrete set \"colours\" is not a "
                         "number. As a result, if this set is assigned to a discrete variable "
                         "which is used in a formula, the values will be used as text data and "
                         "we will not try to convert the data to a number."));
}

TEST_F(DefinitionsTest, SetErrors) {
  EXPECT_EQ(readFatal("*DEFINE_SET\nname: s\nvalues:-2\na\nb\n"),
            fatalBlock("The number of items in a discrete set cannot be negative. The error is "
                       "in the definition for the. discrete set \"s\"."));
  EXPECT_EQ(readFatal("*DEFINE_SET\nname: s\nvalues: 1\n*DEFINE_SET\nname: s\nvalues: 2\n"),
            fatalBlock("Cannot have duplicate names for discrete sets. The discrete set s has "
                       "already been used."));
}

// ---------------------------------------------------------------------------------------
// Curves

TEST_F(DefinitionsTest, CurvePointsWithWeightsAndWarnings) {
  read("*DEFINE_CURVE\nname: c\nsize: 3\npoint: 0, 1\npoint: 1 2 -0.5\npoint: 1, 3, 2\n");
  EXPECT_EQ(messages(),
            warningBlock("The weight factor (-0.5) for point # 2 for the curve \"c\" is negative. "
                         "Will use the absolute value instead.") +
                warningBlock("Two adjacent points (# 2 and # 3) for the curve \"c\" have the same "
                             "X value.\nContinuing...") +
                noteBlock("The curve data information for \"c\" after updating the weight "
                          "factors:\n ID,            X value,            Y value,      Weight "
                          "factor\n  1,                  0,                  1,                  "
                          "1\n  2,                  1,                  2,                0.5\n  "
                          "3,                  1,                  3,                  2"));
}

TEST_F(DefinitionsTest, CurveErrors) {
  EXPECT_EQ(readFatal("*DEFINE_CURVE\nname: c\nsize: 1\npoint: 0, 1\n"),
            fatalBlock("The specified size (1) of the defined curve (c) must be atleast 2."));
  EXPECT_EQ(readFatal("*DEFINE_CURVE\nname: c\nsize: 3\npoint: 0, 1\npoint: 1, 2\n"),
            fatalBlock("Expecting the X and Y values for this curve (c) for point 3."));
  EXPECT_EQ(readFatal("*DEFINE_CURVE\nname: c\nsize: 2\npoint: 0, 1\npoint: 1\n"),
            fatalBlock("Expecting the X and Y values for this curve (c) for point 2."));
  EXPECT_EQ(readFatal("*DEFINE_CURVE\nname: c\nsize: 2\npoint: 0, 1\npoint: -1, 2\n"),
            fatalBlock("The curve definition needs to be monotonically increasing in X value. "
                       "Two adjacent points (# 1 and # 2 with X values of 0 and -1 respectively) "
                       "for the curve \"c\" do not meet this criterion."));
  EXPECT_EQ(readFatal("*DEFINE_CURVE\nname: c\nsize: 2\npoint: 0, 1\npoint: 1, 2\n"
                      "*DEFINE_CURVE\nname: c\nsize: 2\npoint: 0, 1\npoint: 1, 2\n"),
            fatalBlock("Cannot have duplicate names in Curve definitions. Curve name c has "
                       "already been used."));
  EXPECT_EQ(readFatal("*DEFINE_CURVE\nname: c\nsize: 2\npoint: 0, 1\npoint: 1, 2\npoint: 3, 4\n"),
            fatalBlock("The curve (c) has 3 points defined, more than its specified size (2)."));
}

// ---------------------------------------------------------------------------------------
// Distributions

TEST_F(DefinitionsTest, DistributionObjectIsMadeFromTheRecordOrRefused) {
  read("*DEFINE_DIST\nname: scatter\ntype: Uniform\nvariation: 0.5\nrandomSeed: 3\n");
  ASSERT_NE(findDistribution("scatter")->object, nullptr);
  EXPECT_EQ(findDistribution("scatter")->object->typeWord(), "Uniform");

  std::string reason;
  createDistribution("Sideways", DistributionProperties{}, reason);
  EXPECT_EQ(readFatal("*DEFINE_DIST\nname: bad\ntype: Sideways\n"),
            fatalBlock("Error in creating the distribution object from the distribution data for "
                       "\"bad\".\n" + reason));
  EXPECT_EQ(readFatal("*DEFINE_DIST\nname: n\ntype: Poisson\n*DEFINE_DIST\nname: n\n"
                      "type: Poisson\n"),
            fatalBlock("Cannot have duplicate names for distributions. The distribution \"n\" has "
                       "already been used."));
}

// ---------------------------------------------------------------------------------------
// Loops

TEST_F(DefinitionsTest, LoopsAreStoredOrRefused) {
  read("*DEFINE_LOOP\nname: sweep\nactive: no\ncreateCaseFolders: 1\nparallelType: loop\n"
       "type: paramList\nerrorMode: stop\ncondition: test -f stop.txt\nbreak: 1\n"
       "analysis: mesh\nanalysis: solve\noutput: sweep.out\nparameters:2\nthickness\nload\n");
  EXPECT_EQ(findLoop("sweep")->parallelType, "loop_serial");  // "loop"
  EXPECT_THAT(findLoop("sweep")->analyses, ElementsAre("mesh", "solve"));

  EXPECT_EQ(readFatal("*DEFINE_LOOP\nname: l\nparallelType: threads\ntype: discrete\n"),
            fatalBlock("Invalid parallelization type \"threads\" for loop \"l\". Valid choices: "
                       "analysis or loop. Exiting."));
  EXPECT_EQ(readFatal("*DEFINE_LOOP\nname: l\ntype: spiral\n"),
            fatalBlock("Invalid loop type \"spiral\" for loop \"l\". Exiting."));
  EXPECT_EQ(readFatal("*DEFINE_LOOP\nname: l\ntype: discrete\ncondition: REMOTE: test -f a\n"),
            fatalBlock("The loop condition can only be executed on the local machine. Please "
                       "correct this in the setup before running the study"));
  EXPECT_EQ(readFatal("*DEFINE_LOOP\nname: l\ntype: discrete\n*DEFINE_LOOP\nname: l\n"
                      "type: discrete\n"),
            fatalBlock("Error in the loop definition. The loop name \"l\" has already been used. "
                       "The loop names need to be unique."));
}

// ---------------------------------------------------------------------------------------
// Relationships and options

TEST_F(DefinitionsTest, RelationshipsAreReadAndValidatedAgainstTheVariables) {
  read(std::string(kContinuousX) +
       "*DEFINE_VARIABLE\nname: w\ntype: Parameter\nid: 2\nbaseline: 0.8\n"
       "*DEFINE_RELATIONSHIP\nname: cap\ntype: inequality\nvariable: x\ncomparison: less_equal\n"
       "parameters: w - 0.1\ndependencies:1\nw\n");
  ASSERT_EQ(definitions.relationships.size(), 1u);
  EXPECT_THAT(definitions.relationships[0].dependencies, ElementsAre("w"));
  validateRelationships();
  EXPECT_EQ(definitions.relationships[0].variableIndex, 0);

  definitions.relationships[0].variable = "w";
  EXPECT_THROW(validateRelationships(), RunExit);
  definitions.relationships[0].variable = "x";
  definitions.relationships[0].dependencies = {"ghost"};
  EXPECT_THROW(validateRelationships(), RunExit);
  EXPECT_EQ(messages(),
            fatalBlock("Error in the definition of study relationship \"cap\". The variable \"w\" "
                       "is not a continuous or discrete design variable of the study."
                       + errorPlace("variable", "Study relationship", "cap", 13)) +
                fatalBlock("Error in the definition of study relationship \"cap\". The name "
                           "\"ghost\" in its dependencies is not a variable or parameter of the "
                           "study." + errorPlace("dependencies", "Study relationship", "cap", 13)));
}

TEST_F(DefinitionsTest, RelationshipAndOptionErrors) {
  EXPECT_EQ(readFatal("*DEFINE_RELATIONSHIP\nname: r\ntype: sum\nvariable: x\n"),
            fatalBlock("Error in the definition of study relationship \"r\". The type \"sum\" "
                       "defined for this entity is not supported."
                       + errorPlace("type", "Study relationship", "r")));
  EXPECT_EQ(readFatal("*DEFINE_RELATIONSHIP\nname: r\ntype: inequality\nvariable: x\n"
                      "parameters: 1\ncomparison: less\n"),
            fatalBlock("Error in the definition of study relationship \"r\". The comparison "
                       "\"less\" is not supported. Valid choices: less_equal or greater_equal."
                       + errorPlace("comparison", "Study relationship", "r")));
  EXPECT_EQ(readFatal("*DEFINE_RELATIONSHIP\nname: r\ntype: equality\nvariable: x\n"
                      "parameters: 1\n*DEFINE_RELATIONSHIP\nname: r\ntype: equality\n"),
            fatalBlock("Error in the study relationship definition. The name \"r\" has already "
                       "been used. The names need to be unique."));
  EXPECT_EQ(readFatal("*DEFINE_OPTION\nname: a\nvalue: 1\n*DEFINE_OPTION\nname: a\nvalue: 2\n"),
            fatalBlock("Error in the option definition. The option name \"a\" has already been "
                       "used. The option names need to be unique."));
}

// ---------------------------------------------------------------------------------------
// Design lists

std::string designSetError(const std::string& text, const std::string& item) {
  return testing::errorBlock("Error in the definition of the design set. The definition was "
                             "read as: " + text + ". The error is near " + item + ".");
}

TEST_F(DefinitionsTest, DesignListKeepsFirstAppearancesOfNumbersAndRanges) {
  std::vector<int> numbers = {99};
  EXPECT_TRUE(parseDesignList("1-3,5,,2", numbers));
  EXPECT_THAT(numbers, ElementsAre(1, 2, 3, 5));
  EXPECT_TRUE(parseDesignList(" 7 , 4 - 6,,, 5-5 ,7,3 ", numbers));
  EXPECT_THAT(numbers, ElementsAre(7, 4, 5, 6, 3));
  EXPECT_TRUE(parseDesignList("", numbers));
  EXPECT_TRUE(numbers.empty());
  EXPECT_TRUE(parseDesignList(",,", numbers));
  EXPECT_TRUE(numbers.empty());
  EXPECT_EQ(messages(), "");
}

TEST_F(DefinitionsTest, DesignListErrorsNameTheWholeTextAndTheItem) {
  const struct {
    const char* text;
    const char* item;
  } cases[] = {
      {"1,5-3,8", "5-3"},  // a range must not run backwards
      {"2,abc", "abc"},    // not a number
      {"1.5", "1.5"},      // design numbers are integers
      {"1-2-3", "1-2-3"},  // a range has two ends
      {"4,3-", "3-"},
      {"-3", "-3"},
  };
  for (const auto& c : cases) {
    clearMessages();
    std::vector<int> numbers;
    EXPECT_FALSE(parseDesignList(c.text, numbers)) << c.text;
    EXPECT_EQ(messages(), designSetError(c.text, c.item)) << c.text;
  }
}

TEST_F(DefinitionsTest, DesignListNamingTooManyNumbersIsRefused) {
  std::vector<int> numbers;
  EXPECT_FALSE(parseDesignList("5,1-2000000000", numbers));
  EXPECT_EQ(messages(), designSetError("5,1-2000000000", "1-2000000000"));
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kMaxDesignListEntries));
  // Exactly full is fine, and repeats of numbers already named do not count.
  clearMessages();
  EXPECT_TRUE(parseDesignList("1-1000000,2-5,17", numbers));
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kMaxDesignListEntries));
  EXPECT_EQ(numbers.back(), 1000000);
  EXPECT_EQ(messages(), "");
}

// ---------------------------------------------------------------------------------------
// Print formats

class PrintFormatsTest : public testing::StudyFilesTest {};

TEST_F(PrintFormatsTest, ReadsFormatsAndLooksThemUpOrEndsTheRun) {
  read("*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
       "*DEFINE_FORMAT\nname: wide\ntype: scientific\nfixed: 1\ntotal: 12\ndec: 4\nexp: 3\n"
       "expSigned: 0\n"
       "*DEFINE_FORMAT\nname: loose\ntype: float\nfixed: 0\ntotal: 9\ndec: 2\n");
  const PrintFormat* wide = findPrintFormat("wide");
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(wide->totalLength, 12);
  EXPECT_EQ(wide->exponentSigned, 0);
  // Not a fixed-length format: the total length is 0 (free format).
  EXPECT_EQ(findPrintFormat("loose")->totalLength, 0);
  EXPECT_EQ(findPrintFormat("_real"), findPrintFormat("Default"));
  EXPECT_EQ(&requirePrintFormat("wide", "x"), wide);
  // An undefined format in use ends the run.
  clearMessages();
  EXPECT_THROW(requirePrintFormat("narrow", "thickness"), RunExit);
  EXPECT_EQ(messages(),
            "*ERROR\nThe print format \"narrow\" is being used in the project but has not been "
            "defined. Please define this format with a *DEFINE_FORMAT record (\"name: narrow\") "
            "in Definitions.in and try again. \n\n" +
                fatalBlock("The print format causing the error is being used with variable "
                           "\"thickness\"."));
}

TEST_F(PrintFormatsTest, DefinitionErrors) {
  const std::string head = "Error in the definition of the print format \"f\".";
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: hex\n"),
            fatalBlock("Unsupported print format type \"hex\" for the print format \"f\"."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: scientific\nexp: 0\n"),
            fatalBlock(head + " The length of the exponent field (0) for this format is <= 0. "
                              "Acceptable value is 1 or above."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: integer\nfixed: yes\ntotal: 0\n"),
            fatalBlock(head + " The total length of the field (0) for this format is defined as "
                              "0. Since this format was defined as a fixed length format, the "
                              "total length must be greater than 0."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: float\ndec: -1\n"),
            fatalBlock(head + " The number of digits after decimal (-1) for this format is "
                              "defined as negative. Acceptable value is 0 or above. 0 means that "
                              "the this is option is not being used."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: string\nfixed: 1\ntotal: -3\n"),
            fatalBlock(head + " The total length of the field (-3) for this format is defined as "
                              "negative. Acceptable value is 0 or above. 0 means that the this is "
                              "not a fixed length field."));
  EXPECT_EQ(readFatal("*DEFINE_FORMAT\nname: f\ntype: string\n*DEFINE_FORMAT\nname: f\n"
                      "type: float\n"),
            fatalBlock("Cannot have duplicate names for print formats. The print format \"f\" has "
                       "already been used."));
}

// ---------------------------------------------------------------------------------------
// Responses

class ResponseDefinitionsTest : public testing::StudyFilesTest {};

TEST_F(ResponseDefinitionsTest, ReadsEveryResponseType) {
  read("*DEFINE_RESPONSE\nname: mass\ntype: File\nacceptMin: 0\nacceptMax: 1e3\n"
       "*DEFINE_RESPONSE\nname: label\ntype: File\ndataType: Text\n"
       "*DEFINE_RESPONSE\nname: ratio\ntype: Formula\nformula:2\nr = mass / 2\n_result = r\n"
       "*DEFINE_RESPONSE\nname: fit\ntype: Curve Fit\nfitTarget: target\nfitX: time\n"
       "fitY: force\nfitMode: Keep below\nfitNormalize: yes\nminPoints: 5\n"
       "curveFitFormula: time+force\n"
       "*DEFINE_RESPONSE\nname: smooth\ntype: Filter\nfilter: accel\nfilterType: 1\n"
       "cutoff: 180\ninterval: 1e-4\nfilterFormula: accel\n"
       "*DEFINE_RESPONSE\nname: avg\ntype: Filter\nfilter: accel\nfilterType: 2\nnumPts: 5\n"
       "*DEFINE_RESPONSE\nname: fld\ntype: FLD\ncurveType: keeler\ncurveOffset: 0.1\n"
       "minor: e2\nmajor: e1\ncompAngle: 45\nthickness: 1.2\nhardening: n\ncompType: angle\n"
       "*DEFINE_RESPONSE\nname: surrogate\ntype: RSM\nmdlFile: mass.mdl\nvariables:2\nx\ny\n");
  EXPECT_EQ(messages(), "");
  EXPECT_EQ(findResponseDefinition("mass")->acceptMax, 1000.0);
  EXPECT_FALSE(findResponseDefinition("label")->numeric);
  EXPECT_EQ(findResponseDefinition("label")->acceptMin, -kNoAcceptLimit);
  EXPECT_THAT(findResponseDefinition("ratio")->formula, ElementsAre("r = mass / 2", "_result = r"));
  const CurveFitData& fit = findResponseDefinition("fit")->curveFit;
  EXPECT_EQ(fit.mode, FitMode::KeepBelow);
  EXPECT_THAT(fit.dependsOn, ElementsAre("time", "force"));
  EXPECT_EQ(findResponseDefinition("smooth")->filter.interval, 1e-4);
  EXPECT_EQ(findResponseDefinition("avg")->filter.numPts, 5);
  EXPECT_EQ(findResponseDefinition("fld")->fld.thickness, "1.2");
  EXPECT_EQ(findResponseDefinition("fld")->fld.side, FldCompressionSide::Angle);
  EXPECT_THAT(findResponseDefinition("surrogate")->rsm.variables, ElementsAre("x", "y"));
}

TEST_F(ResponseDefinitionsTest, NameTypeAndAcceptedRangeErrors) {
  EXPECT_EQ(readFatal("*DEFINE_RESPONSE\nname: m\ntype: File\n*DEFINE_RESPONSE\nname: m\n"
                      "type: File\n"),
            fatalBlock("Error in the response definition. The response name \"m\" has already "
                       "been used. The response names need to be unique."));
  EXPECT_EQ(readFatal("*DEFINE_RESPONSE\nname: m\ntype: Guess\n"),
            fatalBlock("Internal error in identifying the response type for response \"m\". "
                       "Exiting." + errorPlace("type", "Response", "m")));
  EXPECT_EQ(readFatal("*DEFINE_RESPONSE\nname: m\ntype: File\nacceptMin: 2\nacceptMax: 1\n"),
            fatalBlock("Error in the definition of the response \"m\". The minimum allowed value "
                       "(2) cannot be greater than the maximum allowed value (1)."
                       + errorPlace("acceptMin", "Response", "m")));
}

TEST_F(ResponseDefinitionsTest, TypeSpecificErrors) {
  EXPECT_EQ(readFatal("*DEFINE_RESPONSE\nname: c\ntype: Curve Fit\nfitTarget: t\nfitX: x\n"
                      "fitY: y\nfitMode: Closest\n"),
            fatalBlock("Error in the definition of the response \"c\". The curve fit mode "
                       "\"Closest\" is not supported. Valid options are \"Match\", \"Keep below\" "
                       "or \"Keep above\"." + errorPlace("fitMode", "Curve Fit Response", "c")));
  const std::string filter = "*DEFINE_RESPONSE\nname: s\ntype: Filter\nfilter: a\n";
  EXPECT_EQ(readFatal(filter + "filterType: 3\n"),
            fatalBlock("Error in the definition of the response \"s\".\nThe filter type option "
                       "selected (3) is unsupported. Only 1 (Butterworth) or 2 (Point average) "
                       "are valid options." + errorPlace("filterType", "Filter Response", "s")));
  EXPECT_EQ(readFatal(filter + "filterType: 1\ncutoff: 100\ninterval: 0.001\n"),
            fatalBlock("Error in the definition of the response \"s\".\nCutoff frequency can only "
                       "be 60hz or 180hz. Found 100."
                       + errorPlace("cutoff", "Filter Response", "s")));
  EXPECT_EQ(readFatal(filter + "filterType: 1\ncutoff: 60\ninterval: 0\n"),
            fatalBlock("Error in the definition of the response \"s\".\nThe time step of the "
                       "signal (\"interval\", 0) must be greater than 0."
                       + errorPlace("interval", "Filter Response", "s")));
  EXPECT_EQ(readFatal(filter + "filterType: 2\nnumPts: 1\n"),
            fatalBlock("Error in the definition of the response \"s\".\nThe number of points "
                       "averaged (\"numPts\", 1) must be greater than 1."
                       + errorPlace("numPts", "Filter Response", "s")));
  const std::string fld = "*DEFINE_RESPONSE\nname: l\ntype: FLD\nminor: a\nmajor: b\n";
  const std::string keeler = fld + "curveType: Keeler\nthickness: 1.5\nhardening: n\n";
  EXPECT_EQ(readFatal(keeler + "compAngle: 91\n"),
            fatalBlock("When reading \"compAngle\" input for \"l\" of type \"FLD Response\" from "
                       "file \"Definitions.in\", the value read (91) is outside the expected "
                       "range [0, 90]"));
  const std::string head = "Error in the definition of the response \"l\".\n";
  auto at = [](const char* property) { return errorPlace(property, "FLD Response", "l"); };
  EXPECT_EQ(readFatal(fld + "curveType: Hill\n"),
            fatalBlock(head + "The forming-limit curve type \"Hill\" is not supported. Valid "
                              "options are \"Keeler\" or \"Curve\"." + at("curveType")));
  EXPECT_EQ(readFatal(fld + "curveType: Keeler\nthickness: 1.5\n"),
            fatalBlock(head + "The Keeler forming-limit curve needs the sheet thickness "
                              "(\"thickness\", mm) and the strain-hardening exponent "
                              "(\"hardening\"), each a number or the name of a variable or "
                              "response." + at("hardening")));
  EXPECT_EQ(readFatal(fld + "curveType: Keeler\nthickness: 0\nhardening: 0.2\n"),
            fatalBlock(head + "The value of \"thickness\" (0) must be a number greater than 0." +
                       at("thickness")));
  EXPECT_EQ(readFatal(fld + "curveType: Curve\n"),
            fatalBlock(head + "The forming-limit curve type \"Curve\" needs the curve of limit "
                              "strains (\"tensileCurve\", the name of a *DEFINE_CURVE)." +
                       at("tensileCurve")));
  EXPECT_EQ(readFatal(keeler + "compType: Curve\n"),
            fatalBlock(head + "The compression side type \"Curve\" needs the curve of its limit "
                              "strains (\"compCurve\", the name of a *DEFINE_CURVE)." +
                       at("compCurve")));
  EXPECT_EQ(readFatal(keeler + "compType: Hill\n"),
            fatalBlock(head + "The compression side type \"Hill\" is not supported. Valid "
                              "options are \"Angle\" or \"Curve\" (or none: the curve's own "
                              "side)." + at("compType")));
}

// ---------------------------------------------------------------------------------------
// Compute resources, resource sets, remote machines and conditions

class ResourcesTest : public testing::StudyFilesTest {};

const char* kLocal = "*DEFINE_COMPUTE_RESOURCE\nname: local\ntype: Direct\n";
const char* kNodeA = "*DEFINE_COMPUTE_RESOURCE\nname: nodeA\ntype: Direct\nmaxJobs: 4\n";

// ---------------------------------------------------------------------------------------
// Remote machines

TEST_F(ResourcesTest, RemoteMachineKeepsItsRecordAndGainsTheInstallationPaths) {
  const bool hadRoot = platform::hasEnv("KARVO_ROOT");
  const std::string savedRoot = platform::getEnv("KARVO_ROOT");
  platform::setEnv("KARVO_ROOT", "/opt/karvo/platform/linux");
  read("*DEFINE_REMOTE_MACHINE\nname: cluster\nplatform: Linux\nhost: head1\nusername: ann\n"
       "*DEFINE_REMOTE_MACHINE\nname: win\nplatform: Windows\npythonCommand: C:\\py\\python\n");
  hadRoot ? platform::setEnv("KARVO_ROOT", savedRoot) : platform::unsetEnv("KARVO_ROOT");
  const RemoteMachineDefinition* cluster = findRemoteMachine("cluster");
  ASSERT_NE(cluster, nullptr);
  EXPECT_EQ(cluster->properties.value("username"), "ann");
  EXPECT_EQ(cluster->properties.value("templatePath"),
            "/opt/karvo/platform/linux/../../res/jobcontrollers");
  EXPECT_EQ(cluster->properties.value("pythonCommand"), "/opt/karvo/platform/linux/python");
  EXPECT_EQ(findRemoteMachine("win")->properties.value("pythonCommand"), "C:\\py\\python");
  EXPECT_EQ(cluster->recordText, "name: cluster\nplatform: Linux\nhost: head1\nusername: ann");
}

TEST_F(ResourcesTest, RemoteMachineErrors) {
  EXPECT_EQ(readFatal("*DEFINE_REMOTE_MACHINE\nname: m\nplatform: linux\n"),
            fatalBlock("Error in the definition of the platform for the remote machine \"m\". The "
                       "valid options are \"Windows\", \"Linux\" or \"Rescale\", found "
                       "\"linux\"." + errorPlace("platform", "Remote Machine Profile", "m")));
  EXPECT_EQ(readFatal("*DEFINE_REMOTE_MACHINE\nname: m\nplatform: Rescale\n"
                      "*DEFINE_REMOTE_MACHINE\nname: m\nplatform: Linux\n"),
            fatalBlock("Error in the definition of the remote machine \"m\". The name has already "
                       "been used. The remote machine names need to be unique."));
}

// ---------------------------------------------------------------------------------------
// Compute resources

TEST_F(ResourcesTest, CapacityDefaultsByTypeAndTheRecordIsTheResourceBlock) {
  read(std::string(kLocal) + kNodeA +
       "*DEFINE_COMPUTE_RESOURCE\nname: slurm\ntype: Scheduled\njobCommand: sbatch\n"
       "jobCommand: qsub\nfinishFindJob: Name\nmachineList:2\nn1\nn2\nreserveEnabled: yes\n"
       "reserveStartedCol: 5\n"
       "*DEFINE_COMPUTE_RESOURCE\nname: cloud\ntype: Rescale\nplatform: Rescale\n"
       // A remote resource may name a profile defined later in the file.
       "*DEFINE_COMPUTE_RESOURCE\nname: far\ntype: Direct\njobRemote: yes\n"
       "jobRemoteProfile: cluster\ncomputeNode: node7\n"
       "*DEFINE_REMOTE_MACHINE\nname: cluster\nplatform: Linux\nhost: head1\n");
  EXPECT_EQ(findComputeResource("local")->maxJobs, 1);
  EXPECT_EQ(findComputeResource("nodeA")->maxJobs, 4);
  const ComputeResource* slurm = findComputeResource("slurm");
  EXPECT_EQ(slurm->maxJobs, 0);
  EXPECT_EQ(slurm->properties.value("jobCommand"), "sbatch");  // the first line wins
  EXPECT_THAT(slurm->machineList, ElementsAre("n1", "n2"));
  EXPECT_EQ(slurm->reservation.startedCol, 5);  // for the reservations of its analyses
  EXPECT_EQ(findComputeResource("cloud")->maxJobs, 0);
  EXPECT_EQ(resourceIndex("slurm"), 2);
  EXPECT_EQ(findComputeResource("far")->remoteMachine, 0);
}

TEST_F(ResourcesTest, ComputeResourceErrors) {
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Grid\n"),
            fatalBlock("Error in the definition of a compute resource. Unsupported type \"Grid\" "
                       "defined." + errorPlace("type", "Compute Resource", "r")));
  EXPECT_EQ(readFatal(std::string(kLocal) + kLocal),
            fatalBlock("Error in the definition of the Compute Resource \"local\". The name has "
                       "already been used by another compute resource or compute set. The names "
                       "need to be unique."));
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\njobUseTemplate: 2\n"),
            fatalBlock("Error in the analysis data definition. The Use job template flag can only "
                       "be 0 (don't use) or 1 (use), found 2."
                       + errorPlace("jobUseTemplate", "Compute Resource", "r")));
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Direct\njobRemote: yes\n"
                      "jobRemoteProfile: nowhere\n"),
            fatalBlock("Error in the definition of the Compute Resource \"r\". The remote profile "
                       "selected \"nowhere\" has not been defined for this project."
                       + errorPlace("jobRemoteProfile", "Compute Resource", "r")));
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\nfinishFindJob: Job\n"),
            fatalBlock("Error in the definition of the Compute Resource \"r\". The value \"Job\" "
                       "of \"finishFindJob\" is not supported. Valid options are \"ID\", \"Name\" "
                       "or no value." + errorPlace("finishFindJob", "Compute Resource", "r")));
}

TEST_F(ResourcesTest, StatusCheckByJobIdNeedsTheJobIdRead) {
  const std::string label =
      "jobReadID (which must be defined since status check command is based on job id)";
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\nfinishFindJob: ID\n"),
            fatalBlock(definitionsError("r", "Compute Resource", label,
                                        "The property is not defined.")));
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\njobReadID: no\n"
                      "finishCmd: squeue -j %JOBID%\n"),
            fatalBlock(definitionsError("r", "Compute Resource", label,
                                        "The value 0 turns reading the job id off.")));
  read("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\njobReadID: yes\nfinishFindJob: id\n");
  EXPECT_EQ(findComputeResource("r")->readJobId, 1);
}

// ---------------------------------------------------------------------------------------
// Resource sets

TEST_F(ResourcesTest, ResourceSetMembersWithTheirAllowedCounts) {
  read(std::string(kLocal) + kNodeA +
       "*DEFINE_RESOURCE_SET\nname: pool\nresources:2\nlocal\nnodeA\n"
       "Number of evals allowed for local: 1\nNumber of evals allowed for nodeA: 3\n"
       "*DEFINE_COMPUTE_RESOURCE\nname: pool2\ntype: Machine Set\nresources: nodeA\n"
       "Number of evals allowed for nodeA: 2\n");
  const ComputeResource* pool = findComputeResource("pool");
  ASSERT_EQ(pool->members.size(), 2u);
  EXPECT_EQ(pool->members[1].resource, 1);
  EXPECT_EQ(pool->members[1].allowed, 3);
  EXPECT_EQ(pool->maxJobs, 4);
  EXPECT_EQ(pool->properties.value("type"), "Machine Set");
  EXPECT_EQ(findComputeResource("pool2")->maxJobs, 2);
}

TEST_F(ResourcesTest, ResourceSetErrors) {
  EXPECT_EQ(readFatal("*DEFINE_RESOURCE_SET\nname: pool\nresources: local\n"
                      "Number of evals allowed for local: 1\n" + std::string(kLocal)),
            fatalBlock("There are no valid compute resources defined. All compute resource "
                       "definitions should appear before the compute set \"pool\" definition ."));
  EXPECT_EQ(readFatal(std::string(kLocal) + "*DEFINE_RESOURCE_SET\nname: pool\nresources: nodeA\n"),
            fatalBlock("Error in the definition of the compute set \"pool\". The compute resource "
                       "\"nodeA\" has not been defined. All compute resource definitions should "
                       "appear before the compute set definition."
                       + errorPlace("resources", "Compute Set Resource", "pool", 4)));
  EXPECT_EQ(readFatal(std::string(kLocal) + "*DEFINE_RESOURCE_SET\nname: pool\nresources:2\n"
                                            "local\nlocal\nNumber of evals allowed for local: 1\n"),
            fatalBlock("Error in the definition of the compute set \"pool\". The compute resource "
                       "\"local\" is listed more than once."
                       + errorPlace("resources", "Compute Set Resource", "pool", 4)));
  EXPECT_EQ(readFatal(std::string(kLocal) + "*DEFINE_RESOURCE_SET\nname: a\nresources: local\n"
                                            "Number of evals allowed for local: 1\n"
                                            "*DEFINE_RESOURCE_SET\nname: b\nresources: a\n"),
            fatalBlock("Error in the definition of the compute set \"b\". The member \"a\" is "
                       "itself a compute set; a set can only hold compute resources."
                       + errorPlace("resources", "Compute Set Resource", "b", 8)));
  EXPECT_EQ(readFatal(std::string(kLocal) + "*DEFINE_RESOURCE_SET\nname: pool\nresources:0\n"),
            fatalBlock("Error in the definition of the compute set \"pool\". The set has no "
                       "member resources."
                       + errorPlace("resources", "Compute Set Resource", "pool", 4)));
}

// ---------------------------------------------------------------------------------------
// Conditions

TEST_F(ResourcesTest, ConditionsOfEveryType) {
  read("*DEFINE_CONDITION\nname: f\ntype: Formula\nformula:2\na = x + 1\n_result = a > 2\n"
       "*DEFINE_CONDITION\nname: p\ntype: Parameter\nparamRef: x\nparamOp: <=\nparamVal: 2.5\n"
       "*DEFINE_CONDITION\nname: fe\ntype: FileNotExist\nfileType: output\nfileRef: err.log\n"
       "*DEFINE_CONDITION\nname: fc\ntype: FileContain\nfileType: output\nfileRef: run.log\n"
       "findText: NORMAL TERMINATION\n"
       "*DEFINE_CONDITION\nname: as\ntype: AnalysisStatus\nstatusRef: solve\nstatusVal: Skipped\n"
       "*DEFINE_CONDITION\nname: c\ntype: CommandContain\ncmd: grep -c ok log\ncmdText: 1\n"
       "*DEFINE_CONDITION\nname: c2\ntype: Command\ncommand: test -f a\ncmdCheck: yes\n"
       "cmdVal: 0\n"
       "*DEFINE_CONDITION\nname: sj\ntype: ScheduledJob\ncommand: squeue\nfind: ID\n"
       "*DEFINE_CONDITION\nname: all\ntype: composite\ncondName: p\ncondBool: 1\ncondName: fe\n"
       "condBool: 0\ncondName: later\n"
       "*DEFINE_CONDITION\nname: later\ntype: ResponseStatus\nstatusRef: mass\n"
       "statusVal: Feasible\n");
  EXPECT_THAT(findCondition("f")->formula, ElementsAre("a = x + 1", "_result = a > 2"));
  EXPECT_EQ(findCondition("p")->paramVal, 2.5);
  EXPECT_EQ(findCondition("as")->statusVal, StatusWord::Skipped);
  // "CommandContain" is a command condition that looks for text.
  EXPECT_EQ(findCondition("c")->type, ConditionType::Command);
  EXPECT_EQ(findCondition("c")->command, "grep -c ok log");
  const Condition* all = findCondition("all");
  ASSERT_EQ(all->members.size(), 3u);
  EXPECT_EQ(all->members[0].andNext, 1);
  EXPECT_EQ(all->members[1].andNext, 0);
  EXPECT_EQ(all->members[2].condition, 9);  // defined after the composite
}

TEST_F(ResourcesTest, ConditionErrors) {
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: c\ntype: Sometimes\n"),
            fatalBlock("Error in the definition of a condition. The defined type \"Sometimes\" is "
                       "not supported." + errorPlace("type", "Condition Resource", "c")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: c\ntype: Command\ncommand: true\n"),
            fatalBlock("Error in the definition of the command condition \"c\". The condition "
                       "neither checks for the return flag nor text in the output"
                       + errorPlace("cmdCheck", "Condition Resource", "c")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: a\ntype: composite\ncondName: b\n"
                      "*DEFINE_CONDITION\nname: b\ntype: composite\n"),
            fatalBlock("Error in the definition of the \"a\" Composite Condition Definition. "
                       "Cannot use another composite condition in its definition."
                       + errorPlace("condName", "Condition Resource", "a")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: a\ntype: composite\ncondName: ghost\n"),
            fatalBlock("Error in the definition of the \"a\" Composite Condition Definition. The "
                       "condition \"ghost\" has not been defined."
                       + errorPlace("condName", "Condition Resource", "a")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: a\ntype: composite\ncondName: x\ncondName: y\n"),
            fatalBlock("Error in the definition of the \"a\" Composite Condition Definition. The "
                       "condition \"x\" has no \"condBool\" value to combine it with the next "
                       "condition." + errorPlace("condBool", "Condition Resource", "a")));
  // The status words are matched exactly (what each matches: the tests of the conditions).
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: s\ntype: AnalysisStatus\nstatusRef: a\n"
                      "statusVal: success\n"),
            fatalBlock("Error in the definition of the condition \"s\". The status \"success\" "
                       "is not supported. Valid options are Evaluated, Skipped, Success, Error, "
                       "Feasible or Infeasible." +
                       errorPlace("statusVal", "Condition Resource", "s")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: s\ntype: ScheduledJob\ncommand: squeue\n"
                      "find: Number\n"),
            fatalBlock("Error in the definition of the condition \"s\". The Find field of a "
                       "scheduled job condition must be \"Name\" or \"ID\", found \"Number\"."
                       + errorPlace("Find", "Condition Resource", "s")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: s\ntype: FileContain\nfileType: output\n"
                      "fileRef: a.log\n"),
            fatalBlock("Error in the definition of the condition \"s\". The condition names no "
                       "text to look for (\"findText\" or \"findRef\")."
                       + errorPlace("findText", "Condition Resource", "s")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: p\ntype: FileExist\nfileType: a\nfileRef: b\n"
                      "*DEFINE_CONDITION\nname: p\ntype: FileExist\n"),
            fatalBlock("Error in the definition of a condition. The condition name \"p\" has "
                       "already been used. The condition names need to be unique."));
}

// ---------------------------------------------------------------------------------------
// The definition-data reader: records, typed readers, record editing, files and versions

std::vector<std::string> linesOf(const Record& record) {
  return std::vector<std::string>(record.lines, record.lines + record.count);
}

// The records of an open definition file, read one by one; closes the file.
struct Reading {
  explicit Reading(FileHandle* f) : file(f) {}
  ~Reading() { closeFile(file); }
  Record next() { return readRecord(file, keyword, counter, endOfFile); }
  FileHandle* file;
  std::string keyword;
  int counter = 0;
  bool endOfFile = false;
};

class ReaderTest : public testing::MessageCaptureTest {
 protected:
  ReaderTest() : MessageCaptureTest("karvo-reader") {}

  // Opens a definition file holding `content`.
  FileHandle* fileWith(const std::string& content) {
    testing::writeFile(dir_.file("Definitions.in"), content);
    FileHandle* file = openFile(dir_.file("Definitions.in"), "r");
    EXPECT_NE(file, nullptr);
    return file;
  }

  // The record of "*KEY" on line 1 followed by `body`.
  Record recordOf(const std::string& body) {
    Reading reading(fileWith("*KEY\n" + body));
    Record preamble = reading.next();
    freeRecord(preamble);
    return reading.next();
  }

  // The same, freed at the end of the test.
  Record& heldRecordOf(const std::string& body) { return held_.emplace_back(recordOf(body)); }

  void TearDown() override {
    for (Record& record : held_) freeRecord(record);
    MessageCaptureTest::TearDown();
  }

  std::deque<Record> held_;
};

// ---------------------------------------------------------------------------------------
// Reading records

TEST_F(ReaderTest, SplitsFileIntoRecordsWithLineNumbersCommentsAndEmptyLines) {
  Reading reading(fileWith("$ header comment\n*TYPE\nversion: 2019.01\n$ inside a record\n\n"
                           "*AGENT extra text\r\nname: a1\r\ntype:2\r\n*ENDX\n"));
  Record preamble = reading.next();
  EXPECT_EQ(preamble.count, 0);
  EXPECT_EQ(reading.keyword, "*TYPE");
  EXPECT_EQ(reading.counter, 2);

  Record type = reading.next();
  RecordScope typeScope(type);
  EXPECT_THAT(linesOf(type), ElementsAre("version: 2019.01", ""));
  EXPECT_EQ(type.keywordLine, 2);
  EXPECT_EQ(reading.keyword, "*AGENT extra text");
  EXPECT_TRUE(isKeyword(reading.keyword, "*AGENT"));
  EXPECT_FALSE(isKeyword(reading.keyword, "*AGENTS"));

  Record agent = reading.next();
  RecordScope agentScope(agent);
  EXPECT_THAT(linesOf(agent), ElementsAre("name: a1", "type:2"));
  EXPECT_EQ(agent.keywordLine, 6);
  EXPECT_TRUE(isKeyword(reading.keyword, "*END"));  // "*ENDX"
  EXPECT_FALSE(reading.endOfFile);

  Record last = reading.next();
  EXPECT_EQ(last.count, 0);
  EXPECT_EQ(last.keywordLine, 9);
  EXPECT_EQ(reading.keyword, "");
  EXPECT_TRUE(reading.endOfFile);
}

TEST_F(ReaderTest, LastKeywordWithoutNewlineIsStillReadAfterAByteOrderMark) {
  Reading reading(fileWith("\xEF\xBB\xBF*KEY\na: 1\n*END"));
  Record preamble = reading.next();
  EXPECT_EQ(preamble.count, 0);
  EXPECT_EQ(reading.keyword, "*KEY");
  Record record = reading.next();
  RecordScope scope(record);
  EXPECT_EQ(reading.keyword, "*END");
  EXPECT_FALSE(reading.endOfFile);
  Record tail = reading.next();
  EXPECT_EQ(tail.count, 0);
  EXPECT_EQ(tail.keywordLine, 3);
  EXPECT_TRUE(reading.endOfFile);
}

TEST_F(ReaderTest, LongLinesAreCutAndTheirRestIsNotReadAsNewLines) {
  const std::string exact(2055, 'e');
  const std::string longValue = "v: " + std::string(3997, 'x');  // 4000 characters
  const std::string longKeyword = "*NEXT" + std::string(2500, 'k');
  Reading reading(fileWith("*KEY\n" + longValue + "\n" + exact + "\n" + exact + "\r\n" +
                           std::string(2054, 'c') + "\r\n" + "$" + std::string(5000, '$') +
                           "\n" + "after: 1\n" + longKeyword + "\n" + "tail: 2"));
  Record preamble = reading.next();
  freeRecord(preamble);
  Record record = reading.next();
  RecordScope scope(record);
  EXPECT_THAT(linesOf(record), ElementsAre(longValue.substr(0, 2055), exact, exact,
                                           std::string(2054, 'c'), "after: 1"));
  EXPECT_EQ(reading.keyword, longKeyword.substr(0, 2055));
  EXPECT_EQ(reading.counter, 8);
  Record tail = reading.next();
  RecordScope tailScope(tail);
  EXPECT_THAT(linesOf(tail), ElementsAre("tail: 2"));
  EXPECT_EQ(reading.counter, 9);
}

// ---------------------------------------------------------------------------------------
// Allocation of records

class TrackedReaderTest : public ReaderTest {
 protected:
  void SetUp() override {
    ReaderTest::SetUp();
    resetAllocationTracking();
    run.settings.plainFreeing = 0;
  }
  void TearDown() override {
    EXPECT_EQ(trackedAllocationCount(), 0);
    run.settings.plainFreeing = 1;
    resetAllocationTracking();
    ReaderTest::TearDown();
  }
};

TEST_F(TrackedReaderTest, RecordsGrowCopyDeeplyAndFreeEverything) {
  std::string body;
  for (int i = 0; i < 10; ++i) body += "p" + std::to_string(i) + ": " + std::to_string(i) + "\n";
  Record record = recordOf(body);
  EXPECT_EQ(trackedAllocationCount(), 11);
  addProperty(record, "extra", "value");  // past the first ten lines
  EXPECT_STREQ(record.lines[10], "extra: value");

  Record copy = copyRecord(record);
  EXPECT_EQ(copy.keywordLine, 1);
  EXPECT_THAT(linesOf(copy), ::testing::ContainerEq(linesOf(record)));
  EXPECT_NE(copy.lines[0], record.lines[0]);
  removeProperty(copy, "p3");
  EXPECT_EQ(copy.count, 10);
  EXPECT_EQ(record.count, 11);  // the original is untouched
  freeRecord(copy);
  EXPECT_EQ(trackedAllocationCount(), 12);
  freeRecord(record);
  EXPECT_EQ(record.lines, nullptr);
  EXPECT_EQ(record.count, 0);
}

TEST_F(TrackedReaderTest, RecordScopeFreesWhenAFatalErrorUnwinds) {
  Record record = recordOf("name: x\n\n");
  auto searchPastEmptyLine = [&record] {
    RecordScope scope(record);
    std::string value, reason;
    getProperty("Definitions.in", record, "missing", value, false, reason);
  };
  EXPECT_THROW(searchPastEmptyLine(), RunExit);
  EXPECT_EQ(record.count, 0);
}

// ---------------------------------------------------------------------------------------
// Finding properties

TEST_F(ReaderTest, PropertyValueAndPositionFollowTheBlankAfterTheColon) {
  Record& record = heldRecordOf(
      "one:x\ntwo: x\nthree:  x\n  four: lead\nfive : spaced\npath: C:\\a:b \nName: upper\n"
      "just text\n$ comment: 1\ncomment: 2\n");
  std::string value, reason = "stale";
  EXPECT_EQ(getProperty("F", record, "one", value, false, reason), -1);
  EXPECT_EQ(value, "x");
  EXPECT_EQ(reason, "");
  EXPECT_EQ(getProperty("F", record, "three", value, false, reason), 3);
  EXPECT_EQ(value, " x");
  EXPECT_EQ(getProperty("F", record, "four", value, false, reason), 4);
  EXPECT_EQ(value, "lead");
  EXPECT_EQ(getProperty("F", record, "path", value, false, reason), 6);
  EXPECT_EQ(value, "C:\\a:b ");

  value = "untouched";
  EXPECT_EQ(getProperty("F", record, "five", value, false, reason), 0);  // blank before colon
  EXPECT_EQ(value, "untouched");
  EXPECT_EQ(reason, "The property is not defined.");
  EXPECT_EQ(getProperty("F", record, "name", value, false, reason), 0);  // case-sensitive
  EXPECT_EQ(getProperty("F", record, "Name", value, false, reason), 7);
  EXPECT_EQ(getProperty("F", record, "just text", value, false, reason), 0);  // no colon
  EXPECT_EQ(getProperty("F", record, "comment", value, false, reason), 9);  // "$" line unseen
  EXPECT_EQ(value, "2");
}

TEST_F(ReaderTest, FirstOccurrenceWinsAndStartPositionSkipsEarlierLines) {
  Record& record = heldRecordOf("k: 1\nother: 2\nk:3\n");
  std::string value, reason;
  EXPECT_EQ(getProperty("F", record, "k", value, false, reason), 1);
  EXPECT_EQ(value, "1");
  EXPECT_EQ(getProperty("F", record, "k", value, false, reason, 2), -3);
  EXPECT_EQ(value, "3");
  EXPECT_EQ(getProperty("F", record, "k", value, false, reason, 4), 0);
  std::vector<std::string> values;
  EXPECT_EQ(getRepeatedValues("F", record, "k", values, false, reason), 2);
  EXPECT_THAT(values, ElementsAre("1", "3"));
  EXPECT_EQ(reason, "");
  EXPECT_EQ(getRepeatedValues("F", record, "none", values, false, reason), 0);
  EXPECT_THAT(values, IsEmpty());
  EXPECT_EQ(reason, "The property is not defined.");
}

TEST_F(ReaderTest, BooleanWordsConvertOnlyWhenAskedAndOnlyExactly) {
  Record& record = heldRecordOf("a: yes\nb: true\nc: no\nd: false\ne: Yes\nf: yes \n");
  std::string value, reason;
  const std::vector<std::pair<const char*, const char*>> converted = {
      {"a", "1"}, {"b", "1"}, {"c", "0"}, {"d", "0"}, {"e", "Yes"}, {"f", "yes "}};
  for (const auto& [name, expected] : converted) {
    getProperty("F", record, name, value, true, reason);
    EXPECT_EQ(value, expected) << name;
  }
  getProperty("F", record, "a", value, false, reason);
  EXPECT_EQ(value, "yes");

  int number = 5;
  EXPECT_EQ(getInt("F", record, "a", number, true, reason), 1);
  EXPECT_EQ(number, 1);
  EXPECT_EQ(getInt("F", record, "e", number, true, reason), 0);
  EXPECT_EQ(number, 0);
  EXPECT_EQ(reason, "The read value \"Yes\" could not be converted into an integer.");
}

TEST_F(ReaderTest, NamelessLineReachedBySearchEndsTheRunWithTheReadingError) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a: 1\n\nb: 2\n", ""}, {"a: 1\n: x\nb: 2\n", ": x"}, {"a: 1\n   \nb: 2\n", "   "}};
  for (const auto& [body, line] : cases) {
    clearMessages();
    Record& record = heldRecordOf(body);
    std::string value, reason;
    EXPECT_EQ(getProperty("Assembly.in", record, "a", value, false, reason), 1);
    EXPECT_THROW(getProperty("Assembly.in", record, "b", value, false, reason), RunExit);
    std::string text =
        "Error reading file: Assembly.in\n Error is near line number 3, which was read as:";
    EXPECT_EQ(messages(), fatalBlock(line.empty() ? text : text + "\n" + line));
    EXPECT_EQ(run.exitState, "Error");
  }
}

// ---------------------------------------------------------------------------------------
// Typed readers

TEST_F(ReaderTest, IntegerReadAcceptsSignDigitsAndBlanksOnly) {
  Record& record = heldRecordOf(
      "a: 42\nb:-7\nc: +8 \nd: 12abc\ne: \nf: 2147483647\ng: -2147483648\nh: 2147483648\n"
      "j: 99999999999999999999\n");
  std::string reason;
  int value = 0;
  EXPECT_EQ(getInt("F", record, "b", value, false, reason), -2);
  EXPECT_EQ(value, -7);
  EXPECT_EQ(getInt("F", record, "c", value, false, reason), 3);
  EXPECT_EQ(value, 8);
  EXPECT_EQ(getInt("F", record, "g", value, false, reason), 7);
  EXPECT_EQ(value, -2147483647 - 1);

  const std::vector<std::pair<const char*, const char*>> failures = {
      {"d", "12abc"}, {"e", ""}, {"h", "2147483648"}, {"j", "99999999999999999999"}};
  for (const auto& [name, text] : failures) {
    value = 9;
    EXPECT_EQ(getInt("F", record, name, value, false, reason), 0) << name;
    EXPECT_EQ(value, 0);
    EXPECT_EQ(reason, std::string("The read value \"") + text +
                          "\" could not be converted into an integer.");
  }

  value = 9;
  EXPECT_EQ(getInt("F", record, "absent", value, false, reason), 0);
  EXPECT_EQ(value, 9);
  EXPECT_EQ(reason, "The property is not defined.");
}

TEST_F(ReaderTest, RealReadAllowsTrailingBlanksOnlyAndRefusesNonFiniteValues) {
  Record& record = heldRecordOf("a: 0.5   \nb: 0.5x\nc:-1e-3\nd: nan\ne: 1e999\nf: \ng:  2.5E+2\n");
  std::string reason;
  double value = 0.0;
  EXPECT_EQ(getDouble("F", record, "a", value, false, reason), 1);
  EXPECT_EQ(value, 0.5);
  EXPECT_EQ(getDouble("F", record, "c", value, false, reason), -3);
  EXPECT_EQ(value, -1e-3);
  EXPECT_EQ(getDouble("F", record, "g", value, false, reason), 7);
  EXPECT_EQ(value, 250.0);
  for (const char* name : {"b", "d", "e", "f"}) {
    std::string text;
    getProperty("F", record, name, text, false, reason);
    value = 3.0;
    EXPECT_EQ(getDouble("F", record, name, value, false, reason), 0) << name;
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(reason, "The read value \"" + text + "\" could not be converted into a double.");
  }
}

TEST_F(ReaderTest, ShortListTakesTheAvailableLinesAndWarns) {
  Record& record = heldRecordOf("x: 1\nlist:2\na\n");
  std::vector<std::string> values;
  std::string reason;
  EXPECT_EQ(getValues("Process1.in", record, "list", values, false, reason), 1);
  EXPECT_THAT(values, ElementsAre("a"));
  EXPECT_EQ(messages(),
            warningBlock("The number of values specified does not match the number of entries "
                         "in a definition. The error is near line number 3, which was read as "
                         "\"list:2\"."));

  Record& huge = heldRecordOf("list:1000000000\nonly\n");
  EXPECT_EQ(getValues("Process1.in", huge, "list", values, false, reason), 1);
  EXPECT_THAT(values, ElementsAre("only"));
}

// A count right after the colon takes the following lines; anything else is one value.
TEST_F(ReaderTest, ListFormCountsValuesThatAreNoCountAndBooleanEntries) {
  Record& record = heldRecordOf("text:abc\nempty:\nneg:-2\nflags:2\nyes\nNo\nflag:no\nsingle: 2\n");
  std::vector<std::string> values;
  std::string reason;
  EXPECT_EQ(getValues("F", record, "text", values, false, reason), 1);
  EXPECT_THAT(values, ElementsAre("abc"));
  EXPECT_EQ(getValues("F", record, "empty", values, false, reason), 0);
  EXPECT_EQ(reason, "");
  EXPECT_EQ(getValues("F", record, "neg", values, false, reason), 1);
  EXPECT_THAT(values, ElementsAre("-2"));
  EXPECT_EQ(getValues("F", record, "flags", values, true, reason), 2);
  EXPECT_THAT(values, ElementsAre("1", "No"));
  // "no" written as a list count is the single word, converted: never a count of 0.
  EXPECT_EQ(getValues("F", record, "flag", values, true, reason), 1);
  EXPECT_THAT(values, ElementsAre("0"));
  EXPECT_EQ(getValues("F", record, "single", values, false, reason), 1);
  EXPECT_THAT(values, ElementsAre("2"));
  EXPECT_EQ(messages(), "");
}

TEST_F(ReaderTest, CommaFieldsAreRealsAndMissingFieldsEndTheRun) {
  EXPECT_EQ(getCommaField(0, 12, "Study Input file", "0.5, 0.1"), 0.5);
  EXPECT_EQ(getCommaField(1, 12, "Study Input file", "0.5, 0.1"), 0.1);
  EXPECT_EQ(getCommaField(0, 12, "Study Input file", "7"), 7.0);
  EXPECT_THROW(getCommaField(2, 12, "Study Input file", "0.5, 0.1"), RunExit);
  EXPECT_EQ(messages(), fatalBlock("Error reading file: Study Input file\n Error is near line "
                                   "number 12, which was read as:\n0.5, 0.1"));
  EXPECT_THROW(getCommaField(1, 4, "F", "0.5,x"), RunExit);
  EXPECT_THROW(getCommaField(-1, 4, "F", "0.5"), RunExit);
  EXPECT_THROW(getCommaField(0, 4, "F", ""), RunExit);
}

// ---------------------------------------------------------------------------------------
// Editing records

TEST_F(ReaderTest, RemovePropertyRemovesEveryLineOfThatNameOnly) {
  Record& record = heldRecordOf("k: 1\nkk: 2\nk:3\nk : 4\n\nother: k\n");
  removeProperty(record, "k");
  EXPECT_THAT(linesOf(record), ElementsAre("kk: 2", "k : 4", "", "other: k"));
  addProperty(record, "k", "new");
  EXPECT_EQ(record.count, 5);
  EXPECT_STREQ(record.lines[4], "k: new");
}

// ---------------------------------------------------------------------------------------
// Record handlers

TEST_F(ReaderTest, RequiredAndOptionalPropertiesReadOrEndTheRun) {
  Record& record = heldRecordOf("name: a1\ntype: 2\nshare: 0.25\nflag: yes\n");
  DefinitionContext context{&record, "Assembly.in", "Agent"};
  context.objectName = requireString(context, "name");
  EXPECT_EQ(requireInt(context, "flag"), 1);
  EXPECT_EQ(requireDouble(context, "share"), 0.25);
  EXPECT_EQ(optionalInt(context, "absent", 17), 17);
  EXPECT_EQ(optionalInt(context, "type", 17), 2);
  checkIntRange(context, "type", 2, 0, 4);
  checkRealRange(context, "share", 0.25, 0.0, 1.0);
  checkMinimum(context, "type", 2, 2);  // the limits themselves are allowed
  EXPECT_EQ(messages(), "");

  // A missing required property ends the run (its text: MethodSettingsTest), and so does a bad
  // value of an optional one.
  EXPECT_THROW(requireInt(context, "cycles"), RunExit);
  Record& bad = heldRecordOf("bad: x\n");
  DefinitionContext badContext{&bad, "Assembly.in", "Agent"};
  clearMessages();
  EXPECT_THROW(optionalDouble(badContext, "bad", 1.0), RunExit);
  EXPECT_EQ(messages(), fatalBlock("When reading data for \"Name not defined\" of type \"Agent\" "
                                   "from file \"Assembly.in\", KARVO encountered the following "
                                   "error in reading the data for property \"bad\":\nThe read "
                                   "value \"x\" could not be converted into a double."));
}

// Their texts: MethodSettingsTest.RefusedSettingsEndTheRunWithTheirTexts.
TEST_F(ReaderTest, RangeChecksEndTheRun) {
  DefinitionContext context{nullptr, "Assembly.in", "Agent", "a1"};
  EXPECT_THROW(checkIntRange(context, "type", 5, 0, 4), RunExit);
  EXPECT_THROW(checkRealRange(context, "share", std::nan(""), 0.0, 1.0), RunExit);
  EXPECT_THROW(checkMinimum(context, "cycles", 0, 1), RunExit);
  // A missing record reads as an empty one.
  EXPECT_THROW(requireString(context, "name"), RunExit);
}

// ---------------------------------------------------------------------------------------
// Files and versions

// (A missing file: the broken-study run MissingRepresentationFile.)
TEST_F(ReaderTest, FolderInPlaceOfADefinitionFileEndsTheRunWithBothTexts) {
  EXPECT_THROW(openDefinitionFile(dir_.path()), RunExit);
  EXPECT_EQ(messages(), "\n\n\tError in attempting to read file:\n\t" + dir_.path() +
                            "\n\n\tError message received: Is a directory\n"
                            "*ERROR\n\tExiting.\n\nRun exiting due to an error\n");
}

TEST_F(ReaderTest, VersionCheckWarnsOnlyForOtherVersions) {
  for (const char* accepted : {"2019.00", "2019.01", "2019.02", "2019.02.4"}) {
    checkInputVersion(accepted);
  }
  Record& noVersion = heldRecordOf("other: 1\n");
  checkTypeRecord(noVersion, "Assembly.in");
  EXPECT_EQ(messages(), "");

  Record& record = heldRecordOf("version: 2020.01.7\n");
  checkTypeRecord(record, "Assembly.in");
  EXPECT_EQ(messages(),
            warningBlock("The version of the KARVO input files \"2020.01\" is different than the "
                         "KARVO version \"2019.01\". If this is unintentional, please update the "
                         "project. This can happen when (1) the user has set the KARVO_ROOT "
                         "environment variable, or (2) The study is being run from the command "
                         "line with an incorrect version. Please fix the issue before "
                         "continuing."));
  EXPECT_EQ(run.exitState, "Complete");
}

}  // namespace
}  // namespace karvo
