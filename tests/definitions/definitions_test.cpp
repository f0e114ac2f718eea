// Tests of reading "Definitions.in": the framing (dispatch, unknown keywords, the missing
// file), the variable table with its uniqueness and bound rules, discrete sets, curves,
// distributions, loops, relationships and options, print formats (the look-up by name, "_real"
// for "Default") and the data of each response type, each with its exact message texts; and
// the design lists with which a user names sets of design numbers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "definitions/design_list.h"
#include "definitions/print_formats.h"
#include "definitions/response_definitions.h"
#include "definitions/variables.h"
#include "support/definition_place.h"
#include "support/study_files_fixture.h"
#include "external/distribution.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
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

// Each other keyword is read in the tests of its own records.
TEST_F(DefinitionsTest, ReadsEveryKindOfVariableWithCommentsAndTypeRecord) {
  read(std::string("$ study definitions\n*TYPE\nversion: 2019.01\n") + kSetGauges +
       "$ a comment between records\n" + kContinuousX +
       "*DEFINE_VARIABLE\nname: c\ntype: Discrete\nid: 2\nset: gauges\nbaseline: 2\n"
       "*DEFINE_VARIABLE\nname: d\ntype: Dependent\nid: 3\nformula: x * 2\n"
       "*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 4\nbaseline: 7.5\n"
       "*DEFINE_VARIABLE\nname: s\ntype: String\nid: 5\nbaseline: steel grade\n"
       "*DEFINE_OPTION\nname: solverThreads\nvalue: 4\n*END\n");
  EXPECT_EQ(messages(), "");
  EXPECT_TRUE(definitions.definitionsRead);
  ASSERT_EQ(definitions.variables.size(), 5u);
  EXPECT_EQ(definitions.fixedParameterCount, 1);
  EXPECT_EQ(definitions.stringParameterCount, 1);
  EXPECT_EQ(findVariable("s")->baselineText, "steel grade");
  EXPECT_EQ(findVariableById(4)->name, "p");
  EXPECT_EQ(findOption("solverThreads")->value, "4");
  EXPECT_EQ(findVariable("nothing"), nullptr);
}

TEST_F(DefinitionsTest, EndKeywordStopsReadingAndKeywordsMatchByPrefix) {
  // "*ENDING" is taken as "*END"; nothing after it is read, not even a bad keyword.
  read(std::string("*DEFINE_VARIABLE_EXTRA words\n") + std::string(kContinuousX).substr(17) +
       "*ENDING\n*NOT_A_KEYWORD\n");
  EXPECT_EQ(messages(), "");
  EXPECT_NE(findVariable("x"), nullptr);
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

TEST_F(DefinitionsTest, RereadingStartsFromEmptyTables) {
  read(kContinuousX);
  read(kContinuousX);  // no duplicate: the first reading is gone
  EXPECT_EQ(definitions.variables.size(), 1u);
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

TEST_F(DefinitionsTest, UnknownVariableTypeIsSkippedSilently) {
  read(std::string("*DEFINE_VARIABLE\nname: q\ntype: Imaginary\nid: 1\n") + kContinuousX);
  EXPECT_EQ(messages(), "");
  EXPECT_EQ(findVariable("q"), nullptr);
  EXPECT_NE(findVariable("x"), nullptr);
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
  read(std::string(kSetGauges) +
       "*DEFINE_VARIABLE\nname: c\ntype: Discrete\nid: 2\nset: gauges\nbaseline: 3\n");
  EXPECT_EQ(findVariable("c")->baselineChoice, 3);

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
      {"1--3", "1--3"},
      {"1-x", "1-x"},
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

TEST_F(PrintFormatsTest, ReadsFormatsAndLooksThemUp) {
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
}

TEST_F(PrintFormatsTest, UndefinedFormatInUseEndsTheRun) {
  read("*DEFINE_FORMAT\nname: Default\ntype: automatic\n");
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

}  // namespace
}  // namespace karvo
