// Tests of tagging: every print-format kind at its edges (negative, zero, tiny and huge
// magnitudes, values that do not fit, free formats), typed values with their invalid-value
// text, the internal variables, name resolution, the portal's tag callback, command tags with
// the dummy command, and the export of "KARVO_MDO_" variables to launched commands.
#include "evaluation/tagging.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "support/study_files_fixture.h"
#include "definitions/process_file.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {
namespace {

using testing::fatalBlock;
using testing::readFile;

// ---------------------------------------------------------------------------------------
// The writer on its own

PrintFormat makeFormat(PrintFormatKind kind, int total, int decimals = 0, int exponent = 2,
                       int exponentSigned = 1) {
  PrintFormat format;
  format.name = "f";
  format.kind = kind;
  format.fixed = total > 0 ? 1 : 0;
  format.totalLength = total;
  format.decimals = decimals;
  format.exponentDigits = exponent;
  format.exponentSigned = exponentSigned;
  return format;
}

// The text written, expecting no warning.
std::string quiet(const PrintFormat& format, double value) {
  FormattedValue out = formatNumber(format, value, "x");
  EXPECT_TRUE(out.ok) << value;
  EXPECT_TRUE(out.warnings.empty()) << value << ": " << out.warnings.front().text;
  return out.text;
}

// The text written with exactly the one warning `text` of `severity`; `ok` tells whether the
// value is written.
std::string warned(const PrintFormat& format, double value, bool ok, const char* severity,
                   const std::string& text, const char* name = "x") {
  const FormattedValue out = formatNumber(format, value, name);
  EXPECT_EQ(out.ok, ok) << value;
  EXPECT_EQ(out.warnings.size(), 1u) << value;
  for (const auto& warning : out.warnings) {
    EXPECT_STREQ(warning.severity, severity) << value;
    EXPECT_EQ(warning.text, text) << value;
  }
  return out.text;
}

const char* const kTooSmallHead =
    "\n\t**** WARNING ****\n\t The format specification for the variable \"x\" is too small";
const char* const kBoundsAdvice =
    "\n\t Please make sure that the variable bounds and/or the format are correctly defined.";

TEST(PrintFormatWrite, FreeFormatsOfEveryKindAndAutomaticFixedUsesTheDigitsTheFieldHolds) {
  const PrintFormat automatic = makeFormat(PrintFormatKind::Automatic, 0);
  EXPECT_EQ(quiet(automatic, -2.5), "-2.50000");
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::String, 0), 0.25), "0.250000");

  const PrintFormat integer = makeFormat(PrintFormatKind::Integer, 0);
  EXPECT_EQ(quiet(integer, 2.5), "3");
  // Negative values round to the nearest integer too (not towards zero after adding 0.5).
  EXPECT_EQ(quiet(integer, -2.5), "-3");
  EXPECT_EQ(quiet(integer, -0.4), "0");
  // Beyond the range of a 32-bit integer every digit is kept.
  EXPECT_EQ(quiet(integer, 1e20), "100000000000000000000");

  const PrintFormat floating = makeFormat(PrintFormatKind::Float, 0, 2);
  EXPECT_EQ(quiet(floating, 1e20), "100000000000000000000.000000");  // "%f", decimals unused
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Scientific, 0, 3, 3, 0), -1e-300),
            "-1.000000e-300");

  const PrintFormat w8 = makeFormat(PrintFormatKind::Automatic, 8);
  EXPECT_EQ(quiet(w8, 3.14159265), "3.141593");
  EXPECT_EQ(quiet(w8, -3.14159265), "-3.14159");  // the sign takes one digit
  EXPECT_EQ(quiet(w8, 1e7), "10000000");          // the largest value in fixed point
  EXPECT_EQ(quiet(w8, 99999999.0), " 1.0e+08");   // above it: exponent form
  EXPECT_EQ(quiet(w8, -123456789.0), "  -1e+08");  // no room for a decimal
  EXPECT_EQ(quiet(w8, 1e300), "1.0e+300");        // three exponent digits still fit
  EXPECT_EQ(quiet(w8, 0.00012345), "0.000123");
  EXPECT_EQ(quiet(w8, 0.000012345), " 1.2e-05");  // fifth decimal: exponent form
  // Rounding up to the next power of ten gives up a decimal instead of overflowing.
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Automatic, 5), 99.999999), "100.0");
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Automatic, 5), 0.99999999), "1.000");
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Automatic, 1), 0.0), "0");

  // W = 50: fitted as 24 characters, printed right-aligned in 50.
  const std::string text = quiet(makeFormat(PrintFormatKind::Automatic, 50), 3.141592653589793);
  ASSERT_EQ(text.size(), 50u);
  EXPECT_EQ(text.substr(0, 44), std::string(26, ' ') + "3.1415926535897931");
}

TEST(PrintFormatWrite, AutomaticOrIntegerValueThatCannotFitIsRoundedOrRefused) {
  // Only decimals are lost: written cut to W with the warning.
  EXPECT_EQ(warned(makeFormat(PrintFormatKind::Automatic, 5), 1e-9, true, "none",
                   std::string(kTooSmallHead) +
                       "\n\t The current value cannot be written correctly to the file, it will "
                       "be rounded to fit the alloted space." +
                       kBoundsAdvice),
            "0.000");

  // Integer digits would be lost: refused, so that no wrong number reaches the file.
  EXPECT_EQ(warned(makeFormat(PrintFormatKind::Automatic, 4), 123456.0, false, "none",
                   std::string(kTooSmallHead) +
                       "\n\t The current value (123456.000000) needs more than the 4 characters "
                       "of its field and is not written." +
                       kBoundsAdvice),
            "");

  const PrintFormat w6 = makeFormat(PrintFormatKind::Integer, 6);
  EXPECT_EQ(quiet(w6, 42.4), "    42");
  EXPECT_EQ(quiet(w6, -42.5), "   -43");
  EXPECT_EQ(quiet(w6, 123456.0), "123456");
  warned(w6, 1234567.0, false, "warning",
         "\n\t The value (1234567) of the variable \"count\" cannot be printed with the "
         "specified format.\n\t The value needs more than the maximum field length specified "
         "(6) and is not written.",
         "count");
  // A field wider than 40 keeps the digits and the width.
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Integer, 50), 7.0), std::string(49, ' ') + "7");
}

TEST(PrintFormatWrite, FloatFixedLosesDecimalsOnlyWithAWarningAndScientificWritesTheAskedExponent) {
  const PrintFormat w8 = makeFormat(PrintFormatKind::Float, 8, 2);
  EXPECT_EQ(quiet(w8, -3.14159), "   -3.14");
  EXPECT_EQ(quiet(w8, 12345.678), "12345.68");
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Float, 4, 0), -123.0), "-123");

  EXPECT_EQ(warned(w8, 123456.789, true, "warning",
                   "\n\t The value (123456.789000) of the variable \"x\" cannot be printed with "
                   "the specified format.\n\t The value is being truncated to 123456.7 so that "
                   "it fits the maximum field length specified (8)."),
            "123456.7");
  EXPECT_EQ(formatNumber(w8, -1234567.5, "x").text, "-1234567");

  warned(w8, 123456789.1, false, "warning",
         "\n\t The value (123456789.100000) of the variable \"x\" cannot be printed with the "
         "specified format.\n\t The value needs more than the maximum field length specified "
         "(8) and is not written.");

  // W = 45 with 3 decimals is fitted in 11 characters, right-aligned in 45.
  const PrintFormat wide = makeFormat(PrintFormatKind::Float, 45, 3);
  EXPECT_EQ(quiet(wide, 1234567.891), std::string(34, ' ') + "1234567.891");

  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Scientific, 12, 4, 2, 1), 12345.678),
            "  1.2346e+04");
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Scientific, 12, 4, 3, 1), 12345.678),
            " 1.2346e+004");
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Scientific, 12, 4, 2, 0), 12345.678),
            "   1.2346e04");
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Scientific, 12, 3, 2, 1), -2.5e-300),
            " -2.500e-300");
  EXPECT_EQ(quiet(makeFormat(PrintFormatKind::Scientific, 6, 0, 2, 1), 7.0), " 7e+00");
}

TEST(PrintFormatWrite, DefinitionProblemsNonFiniteNumbersAndTexts) {
  const std::string head =
      "\n\t**** WARNING ****\n\t Incorrect definition in specification of the format for "
      "variable x";
  EXPECT_EQ(warned(makeFormat(PrintFormatKind::Scientific, 12, 4, 2, 0), 0.000125, true, "none",
                   head + "\n\t The number requires a negative exponent but the \"Don't use sign "
                          "in exponent\" option has been selected.\n\t Overwriting this "
                          "definition to write the sign with the exponent."),
            "  1.2500e-04");
  EXPECT_EQ(warned(makeFormat(PrintFormatKind::Scientific, 12, 4, 0, 1), 12345.678, true, "none",
                   head + "\n\t The number of digits in the exponent have been set to be less "
                          "than 1, which is not allowed.\n\t Overwriting this definition to set "
                          "to 1."),
            "   1.2346e+4");
  EXPECT_EQ(warned(makeFormat(PrintFormatKind::Scientific, 10, 8, 2, 1), -12345.678, true, "none",
                   head + "\n\t The number of digits after decimal have been set to 8. This is "
                          "not possible without exceeding the total length (10).\n\t The "
                          "number of digits after decimal is being set to 3."),
            "-1.235e+04");

  // A field too short even without decimals: never a negative precision, the value refused.
  FormattedValue narrow = formatNumber(makeFormat(PrintFormatKind::Scientific, 4, 2, 2, 1),
                                       12345.678, "x");
  EXPECT_FALSE(narrow.ok);
  ASSERT_EQ(narrow.warnings.size(), 2u);
  EXPECT_EQ(narrow.warnings[0].text,
            head +
                "\n\t The number of digits after decimal have been set to 2. This is not "
                "possible without exceeding the total length (4).\n\t The number of digits "
                "after decimal is being set to 0.");
  EXPECT_EQ(narrow.warnings[1].text,
            head + "\n\t The value (1.234568e+04) needs more than the total length (4) and is "
                   "not written.");

  for (PrintFormatKind kind : {PrintFormatKind::Automatic, PrintFormatKind::Integer,
                               PrintFormatKind::Float, PrintFormatKind::Scientific}) {
    for (int total : {0, 10}) {
      EXPECT_FALSE(formatNumber(makeFormat(kind, total), std::nan(""), "x").ok);
      warned(makeFormat(kind, total), -std::numeric_limits<double>::infinity(), false, "warning",
             "\n\t The value of the variable \"x\" is not a finite number (-inf) and is not "
             "written.");
    }
  }

  PrintFormat w6 = makeFormat(PrintFormatKind::String, 6);
  EXPECT_EQ(formatString(w6, "abc").text, "   abc");
  EXPECT_EQ(formatString(w6, "abcdef").text, "abcdef");
  EXPECT_EQ(formatString(w6, "abcdefgh").text, "abcdefgh");
  PrintFormat results = w6;
  results.name = "_resFileFormat";
  EXPECT_EQ(formatString(results, "abcdefgh").text, "abcdef");
  EXPECT_EQ(formatString(results, "ab").text, "    ab");
}

// ---------------------------------------------------------------------------------------
// Typed values

class FormatDataValueTest : public testing::MessageCaptureTest {};

const char* const kInvalidValueWarning =
    "Error in writing the value for \"mass\". The data sent for writing was not valid.";

TEST_F(FormatDataValueTest, CellsGoThroughTheFormatOrGiveZeroWhenMissing) {
  const PrintFormat f8 = makeFormat(PrintFormatKind::Float, 8, 2);
  EXPECT_EQ(formatDataValue(f8, realValue(2.5), "mass"), "    2.50");
  EXPECT_EQ(formatDataValue(f8, integerValue(-3), "mass"), "   -3.00");
  EXPECT_EQ(formatDataValue(makeFormat(PrintFormatKind::Integer, 0), integerValue(7), "mass"), "7");
  EXPECT_EQ(formatDataValue(makeFormat(PrintFormatKind::Float, 0), realVector({1.0, 2.5}), "mass"),
            "1.000000, 2.500000");
  DataValue mixed = realVector({0.25});
  mixed.cells.insert(mixed.cells.end() - 1, stringCell("steel"));
  EXPECT_EQ(formatDataValue(f8, mixed, "mass"), "    0.25,    steel");
  EXPECT_EQ(messages(), "");

  const struct {
    int width;
    const char* text;
    const char* written;
  } cases[] = {{8, "aluminium", "alumi..."}, {8, "titanium", "titanium"}, {2, "steel", ".."},
               {0, "stainless steel", "stainless steel"}};
  for (const auto& [width, text, written] : cases) {
    EXPECT_EQ(formatDataValue(makeFormat(PrintFormatKind::String, width), stringValue(text),
                              "label"),
              written);
  }

  const PrintFormat free = makeFormat(PrintFormatKind::Automatic, 0);
  DataValue unset;
  unset.cells = {realCell(1.0), unsetCell(), endCell()};
  const struct {
    DataValue value;
    PrintFormat format;
  } invalid[] = {
      {DataValue{}, free},
      {DataValue{{endCell()}}, free},
      {unset, free},
      {realValue(std::nan("")), free},
      // refused by the format: the integer part does not fit
      {realValue(123456.0), makeFormat(PrintFormatKind::Integer, 3)},
  };
  for (const auto& [value, format] : invalid) {
    run.settings.verbose = 0;
    clearMessages();
    EXPECT_EQ(formatDataValue(format, value, "mass"), " 0.000000000");
    EXPECT_EQ(messages(), "");
    run.settings.verbose = 1;
    EXPECT_EQ(formatDataValue(format, value, "mass"), " 0.000000000");
    EXPECT_EQ(messages(), testing::warningBlock(kInvalidValueWarning));
  }
}

// ---------------------------------------------------------------------------------------
// Tagging with the study's tables

std::string gAnalysisLog;  // where "analysis" messages go during these tests

std::string analysisLogFor(int, const std::string&) { return gAnalysisLog; }

const char* const kDefinitions =
    "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
    "*DEFINE_FORMAT\nname: f8\ntype: float\nfixed: 1\ntotal: 8\ndec: 2\n"
    "*DEFINE_FORMAT\nname: i3\ntype: integer\nfixed: 1\ntotal: 3\n"
    "*DEFINE_VARIABLE\nname: thickness\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 5\n"
    "*DEFINE_SET\nname: gauges\nordered: 1\nvalues:3\n1.0\n1.5\n2.0\n"
    "*DEFINE_SET\nname: grades\nvalues:2\nS235\nS355\n"
    "*DEFINE_VARIABLE\nname: gauge\ntype: Discrete\nid: 2\nset: gauges\nbaseline: 1\n"
    "*DEFINE_VARIABLE\nname: grade\ntype: Discrete\nid: 3\nset: grades\nbaseline: 1\n"
    "*DEFINE_VARIABLE\nname: area\ntype: Dependent\nid: 4\nformula: thickness * 2\n"
    "*DEFINE_VARIABLE\nname: load\ntype: Parameter\nid: 5\nbaseline: -7.5\n"
    "*DEFINE_VARIABLE\nname: material\ntype: String\nid: 6\nbaseline: steel\n"
    "*DEFINE_CURVE\nname: target\nsize: 3\npoint: 0, 1\npoint: 1, 2.5\npoint: 2, 4\n"
    "*DEFINE_RESPONSE\nname: mass\ntype: File\n"
    "*DEFINE_RESPONSE\nname: label\ntype: File\ndataType: text\n"
    "*DEFINE_CONDITION\nname: done\ntype: FileExist\nfileType: output\nfileRef: done.txt\n"
    "*DEFINE_LOOP\nname: speeds\ntype: continuous\nvalues:3\n10\n20.5\n30\nanalysis: crash\n"
    "*DEFINE_LOOP\nname: idle\nactive: 0\ntype: discrete\nvalues:2\nlow\nhigh\n"
    "*DEFINE_REMOTE_MACHINE\nname: cluster\nplatform: Linux\nhost: head1\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: far\ntype: Direct\njobRemote: yes\n"
    "jobRemoteProfile: cluster\ncomputeNode: node7\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: slurm\ntype: Scheduled\nmachineList:2\nn1\nn2\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: here\ntype: Direct\n"
    "*END\n";

class TaggingTest : public testing::StudyFilesTest {
 protected:
  void SetUp() override {
    StudyFilesTest::SetUp();
    gAnalysisLog = dir_.file("analysis.log");
    analysisLogPath = &analysisLogFor;
    run.runPrefix = "demo";
    run.studyName = "wing";
    read(kDefinitions);
    clearMessages();

    analysis_.name = "crash";
    analysis_.primaryInput = "main.model.k";
    analysis_.install = "/opt/solver/bin";
    context_.agentNumber = 2;
    context_.designNumber = 7;
    context_.designSlot = 0;
    context_.analysisName = "crash";
    context_.caseIndex = 1;
    context_.analysis = &analysis_;
    context_.analysisPath = dir_.path() + "/demo_2/Design7/crash.2";
    context_.postFolder = dir_.path() + "/POST_2";
    context_.numbers = {{"thickness", 2.25}, {"area", 4.5}};
    context_.choices = {{"gauge", 2}, {"grade", 1}};
    ResponseValue mass;
    mass.values = {12.5, -3.0};
    mass.present = true;
    context_.responses["mass"] = mass;
  }

  void TearDown() override {
    analysisLogPath = nullptr;
    StudyFilesTest::TearDown();
  }

  // Sets the "Default" format (replacing the automatic one read from the file).
  void setDefault(PrintFormatKind kind, int total) {
    PrintFormat* format = const_cast<PrintFormat*>(findPrintFormat("Default"));
    format->kind = kind;
    format->fixed = total > 0 ? 1 : 0;
    format->totalLength = total;
  }

  std::string analysisLog() { return readFile(gAnalysisLog); }
  std::string internal(const std::string& name) {
    return internalVariableValue(name, "replaceTags", context_);
  }

  Analysis analysis_;
  EvaluationContext context_;
};

TEST_F(TaggingTest, NamesResolveInOrderAndInternalVariablesHaveTheirValues) {
  struct Expected {
    const char* name;
    const char* word;
    int code;
  };
  const Expected cases[] = {
      {"thickness", "continuous", 0},   {"material", "string parameter", 8},
      {"Design_Num", "internal", 9},    {"mass", "response", 4},
      {"speeds", "loop parameter", 11}, {"target", "curve", 13},
  };
  for (const Expected& c : cases) {
    VariableLookup found = lookupVariable(c.name);
    EXPECT_STREQ(found.kindName, c.word) << c.name;
    EXPECT_EQ(found.kindCode, c.code) << c.name;
  }
  EXPECT_EQ(lookupVariable("ANALYSIS_INSTALL").index, kAnalysisInstall);
  EXPECT_EQ(lookupVariable("grades").index, 1);
  EXPECT_EQ(lookupVariable("design_num").kindCode, kKindUnknown);  // case-sensitive
  EXPECT_EQ(lookupVariable("").kindCode, kKindUnknown);

  // A response and a set of the same name: the response comes first.
  definitions.sets.push_back(DiscreteSet{"mass", 0, {"1", "2"}, true});
  EXPECT_EQ(lookupVariable("mass").kindCode, kKindResponse);

  // The values with rules of their own; every internal variable's plain value is checked through
  // its exported copy (ExportSetsEachInternalVariableForLaunchedCommands), the list of a
  // scheduler's machines and the input file name without its extension through the command
  // tags (CommandTagsAndVariablesAreReplacedFromLeftToRight).
  EXPECT_EQ(internal("Design_Path"), dir_.path() + "/demo_2/Design7");  // default agent folder
  context_.postFolder.clear();
  EXPECT_EQ(internal("POST_Path"), dir_.path());
  EXPECT_EQ(internal("Job_ID"), "not defined");
  analysis_.primaryInput = ".profile";
  EXPECT_EQ(internal("INPUTFILENAME"), ".profile");
  analysis_.primaryInput = "deck.d/model";
  EXPECT_EQ(internal("INPUTFILENAME"), "deck.d/model");
  EXPECT_EQ(internal("ANALYSIS_INSTALL"), "/opt/solver/bin");
  EXPECT_EQ(analysisLog(), "");

  EXPECT_EQ(internal("MACHINENAME"), "localhost");
  EXPECT_EQ(internal("MACHINELIST"), "localhost");
  context_.jobResource = "far";
  computeResources[static_cast<std::size_t>(resourceIndex("far"))].computeNode.clear();
  EXPECT_EQ(internal("MACHINENAME"), "head1");  // the remote profile's host
  context_.jobResource = "slurm";
  EXPECT_EQ(internal("MACHINENAME"), "localhost");
}

TEST_F(TaggingTest, FixedLengthDefaultZeroPadsIntegersAndOtherKindsOrNoInstallPathWarn) {
  setDefault(PrintFormatKind::Automatic, 4);  // zero-padded: the exported values
  context_.designNumber = 123456;
  EXPECT_EQ(internal("Design_Num"), "123456");
  EXPECT_EQ(internal("Analysis_Name"), "crash");                  // longer than 4: whole
  EXPECT_EQ(internal("Study_Path"), dir_.path());                 // a path is never cut
  setDefault(PrintFormatKind::Automatic, 8);
  EXPECT_EQ(internal("Analysis_Name"), "   crash");               // shorter: right-aligned
  setDefault(PrintFormatKind::Automatic, 0);
  EXPECT_EQ(internal("Design_Num"), "123456");
  EXPECT_EQ(analysisLog(), "");

  context_.designNumber = 7;
  setDefault(PrintFormatKind::Integer, 3);
  EXPECT_EQ(internal("Design_Num"), "007");
  EXPECT_EQ(analysisLog(),
            "*WARNING\nError in the format specification (Default) for variable Design_Num. Only "
            "Automatic format is allowed for internal variables. Only the fixed length "
            "information if specified will be used.\n");

  setDefault(PrintFormatKind::Automatic, 0);
  platform::removeFile(gAnalysisLog);
  analysis_.install.clear();
  EXPECT_EQ(internal("ANALYSIS_INSTALL"), "");
  EXPECT_EQ(analysisLog(),
            "*WARNING\nCould not find the solver install path in analysis definition data\n");
  context_.analysis = nullptr;
  EXPECT_EQ(internal("INPUTFILE"), "");
}

TEST_F(TaggingTest, UnsupportedInternalNamesEndTheRun) {
  EXPECT_EQ(internalVariableIndex("MACHINELIST", true), kMachineList);
  EXPECT_EQ(internalVariableIndex("Design_Number", false), -1);
  EXPECT_THROW(internalVariableIndex("Design_Number", true), RunExit);
  EXPECT_EQ(messages(), fatalBlock("Unsupported internal variable name --> Design_Number "));
  clearMessages();
  EXPECT_THROW(internalVariableValue("Design_Number", "deck.k", context_), RunExit);
  EXPECT_EQ(messages(),
            fatalBlock("Unsupported internal variable \"Design_Number\" found in file "
                       "\"deck.k\""));
}

TEST_F(TaggingTest, ValuesOfEveryKindOrNoneAndDesignVariablesOutsideTheStudy) {
  EXPECT_EQ(variableValues("gauge", context_).numbers, std::vector<double>{2.0});  // choice 2
  VariableValues v = variableValues("grade", context_);
  EXPECT_TRUE(v.isText);
  EXPECT_EQ(v.texts, std::vector<std::string>{"S355"});
  context_.numbers["load"] = 3.0;  // the design's value, not the baseline
  EXPECT_EQ(variableValues("load", context_).numbers, std::vector<double>{3.0});
  EXPECT_EQ(variableValues("speeds", context_).numbers, std::vector<double>{20.5});  // case 1
  EXPECT_EQ(variableValues("grades", context_).texts,
            (std::vector<std::string>{"S235", "S355"}));

  // Conditions: the value cached for the design slot, or the caller's answer.
  EXPECT_FALSE(variableValues("done", context_).ok);
  Condition& done = conditions[0];
  done.evaluated = {1};
  done.value = {1};
  EXPECT_EQ(variableValues("done", context_).numbers, std::vector<double>{1.0});
  context_.conditionValue = [](int, int& value) {
    value = 0;
    return true;
  };
  EXPECT_EQ(variableValues("done", context_).numbers, std::vector<double>{0.0});

  // No value: not in the design, a response not yet extracted, a case beyond the loop.
  context_.numbers.erase("area");
  EXPECT_FALSE(variableValues("area", context_).ok);
  EXPECT_FALSE(variableValues("label", context_).ok);
  context_.caseIndex = 3;
  EXPECT_FALSE(variableValues("speeds", context_).ok);
  context_.choices["gauge"] = 3;
  EXPECT_FALSE(variableValues("gauge", context_).ok);
  EXPECT_FALSE(variableValues("nothing", context_).ok);
  EXPECT_EQ(analysisLog(), "");

  // An inactive loop gives its first value, with a note.
  EXPECT_EQ(variableValues("idle", context_).texts, std::vector<std::string>{"low"});
  EXPECT_EQ(analysisLog(),
            "*NOTE\nThe loop idle is not active for this study. Only the first value in the loop "
            "will be used.\n");

  context_.numbers.erase("thickness");
  EXPECT_FALSE(variableValues("thickness", context_).ok);
  EXPECT_THROW(variableValues("thickness", context_, true), RunExit);
  EXPECT_EQ(messages(),
            fatalBlock("Error in the problem definition. The continuous variable \"thickness\" "
                       "is used in a formula but has not been added to the study variables."));
  clearMessages();
  context_.choices.erase("gauge");
  EXPECT_THROW(variableValues("gauge", context_, true), RunExit);
  EXPECT_EQ(messages(),
            fatalBlock("Error in the problem definition. The discrete variable \"gauge\" is "
                       "used in a formula but has not been added to the study variables."));
}

TEST_F(TaggingTest, TagValueFormatsEveryValueOfTheNameOrAnswersTheErrorText) {
  TagValueAnswer answer = tagValue("thickness", "f8", context_);
  EXPECT_TRUE(answer.ok);
  EXPECT_EQ(answer.values, std::vector<std::string>{"    2.25"});
  EXPECT_EQ(tagValue("thickness", "", context_).values, std::vector<std::string>{"2.25000"});
  EXPECT_EQ(tagValue("load", "i3", context_).values, std::vector<std::string>{" -8"});
  EXPECT_EQ(tagValue("gauges", "f8", context_).values,
            (std::vector<std::string>{"    1.00", "    1.50", "    2.00"}));
  EXPECT_EQ(tagValue("target", "i3", context_).values,
            (std::vector<std::string>{"  1", "  3", "  4"}));
  EXPECT_EQ(tagValue("grade", "f8", context_).values, std::vector<std::string>{"    S355"});
  // Internal variables always use "Default".
  EXPECT_EQ(tagValue("Design_Num", "f8", context_).values, std::vector<std::string>{"7"});
  EXPECT_EQ(analysisLog(), "");

  // The callback form, as a portal uses it.
  TagValueCallback callback = tagValueCallback(context_);
  EXPECT_EQ(callback("mass", "").values, (std::vector<std::string>{"12.5000", "-3.00000"}));

  context_.numbers.erase("area");
  for (const char* name : {"area", "nothing", "label"}) {
    TagValueAnswer answer = tagValue(name, "f8", context_);
    EXPECT_FALSE(answer.ok);
    EXPECT_TRUE(answer.values.empty());
    EXPECT_EQ(answer.message, std::string("\n\t**** ERROR ****\n\t Error in getting value for "
                                          "variable \"") +
                                  name + "\" during tagging.\n");
  }
  // A value that does not fit its field is not written either.
  context_.numbers["thickness"] = 4567.0;
  EXPECT_FALSE(tagValue("thickness", "i3", context_).ok);
  EXPECT_EQ(analysisLog(),
            "*WARNING\n\t The value (4567) of the variable \"thickness\" cannot be printed with the "
            "specified format.\n\t The value needs more than the maximum field length specified "
            "(3) and is not written.\n");
}

TEST_F(TaggingTest, CommandTagsAndVariablesAreReplacedFromLeftToRight) {
  context_.jobName = "crash_7";
  context_.agentFolder = "/runs/agent";
  context_.jobResource = "slurm";
  EXPECT_EQ(replaceTags("run %Job_Name% %Design_Path% %Analysis_Name%-%Agent_Num%-%Case_Num%",
                        context_),
            "run crash_7 /runs/agent/Design7 crash-2-2");
  EXPECT_EQ(replaceTags("solver i=%INPUTFILE% jobname=%INPUTFILENAME% %MACHINELIST%", context_),
            "solver i=main.model.k jobname=main.model n1,n2");
  // Variables use "Default", with blanks between the values of one name.
  EXPECT_EQ(replaceTags("solve -t %thickness% -g %gauge% -m %material%", context_),
            "solve -t 2.25000 -g 2.00000 -m steel");
  EXPECT_EQ(replaceTags("plot %gauges% %grades%", context_),
            "plot 1.00000 1.50000 2.00000 S235 S355");
  EXPECT_EQ(replaceTags("echo %mass%%speeds%", context_), "echo 12.5000 -3.0000020.5000");
  EXPECT_EQ(analysisLog(), "");

  // The solver's own paths and names reach sh as exactly themselves wherever the tag sits:
  // outside quotes, inside "..." and inside '...', alone or as part of a word. The design's
  // own values are written as they are.
  const std::string name = "it's a \"$(touch pwned)\" `touch pwned` \\ $HOME; x";
  run.studyName = name;
  const std::string command =
      "printf '<%s>' %Study_Name% \"%Study_Name%\" '%Study_Name%' pre%Study_Name%post "
      "\"in \\\"%Study_Name%\\\" it\" \\'%Study_Name%";
  const platform::CapturedRun ran =
      platform::runCapturedCommand(replaceTags(command, context_), dir_.path(), 10);
  ASSERT_EQ(ran.exitStatus, 0) << replaceTags(command, context_);
  EXPECT_EQ(ran.output, "<" + name + "><" + name + "><" + name + "><pre" + name + "post><in \"" +
                            name + "\" it><'" + name + ">");
  EXPECT_FALSE(platform::pathExists(dir_.file("pwned")));

  // What is plain already stays unquoted; the blanks of a fixed-length "Default" stay in front
  // as separators.
  run.studyName = "my wing";
  EXPECT_EQ(replaceTags("cd %Design_Path% && echo %Study_Name%.log", context_),
            "cd /runs/agent/Design7 && echo 'my wing'.log");
  context_.texts["material"] = "a b; c";
  EXPECT_EQ(replaceTags("run -m %material%", context_), "run -m a b; c");
  EXPECT_EQ(replaceTags("name=%Study_Name%", context_, TagQuoting::kNone), "name=my wing");
  setDefault(PrintFormatKind::Automatic, 10);
  EXPECT_EQ(replaceTags("echo %Study_Name%", context_), "echo    'my wing'");
  EXPECT_EQ(analysisLog(), "");
}

TEST_F(TaggingTest, UnknownOrUnclosedPercentSignsStay) {
  EXPECT_EQ(replaceTags("printf '100%' done", context_), "printf '100%' done");
  EXPECT_EQ(replaceTags("date +%H%M %unknown% 50%%", context_), "date +%H%M %unknown% 50%%");
  EXPECT_EQ(replaceTags("%INPUTFILENAME%NAME%", context_), "main.modelNAME%");
  // The "%" of an unknown name is kept and scanning goes on at the next character, so the
  // closing "%" may open a known tag.
  EXPECT_EQ(replaceTags("%x%thickness%", context_), "%x2.25000");
  EXPECT_EQ(analysisLog(), "");

  context_.numbers.erase("area");
  EXPECT_EQ(replaceTags("solve %thickness% %area% %Design_Num%", context_),
            "Replacing command with this");
  EXPECT_EQ(analysisLog(),
            "*ERROR\nError in getting the value for \"area\" for replacing on the command line. "
            "The execution command will be set to a dummy value to prevent running the analysis "
            "with an incomplete command.\n");
}

TEST_F(TaggingTest, VerboseRunsLogChangedCommands) {
  run.settings.verbose = 1;
  EXPECT_EQ(replaceTags("echo plain", context_), "echo plain");
  EXPECT_EQ(analysisLog(), "");
  EXPECT_EQ(replaceTags("echo %Design_Num%", context_), "echo 7");
  EXPECT_EQ(analysisLog(),
            "*NOTE\nIncoming command\necho %Design_Num%\n*NOTE\nUpdated command\necho 7\n");
}

TEST_F(TaggingTest, ExportSetsEachInternalVariableForLaunchedCommands) {
  context_.jobName = "crash_7";
  context_.jobId = "4711";
  context_.agentFolder = "/runs/agent";
  context_.jobResource = "far";
  platform::unsetEnv("KARVO_MDO_INPUTFILENAME");
  platform::unsetEnv("KARVO_MDO_ANALYSIS_INSTALL");
  setDefault(PrintFormatKind::Automatic, 4);
  ASSERT_TRUE(exportInternalVariables(context_));
  const std::string study = dir_.path();
  const std::pair<const char*, std::string> expected[] = {
      {"Job_Name", "crash_7"},
      {"Job_ID", "4711"},
      {"Design_Num", "0007"},
      {"Analysis_Path", study + "/demo_2/Design7/crash.2"},
      {"Design_Path", "/runs/agent/Design7"},
      {"Project_Path", study + "/.."},
      {"Study_Path", study},
      {"Study_Name", "wing"},
      {"Study_Folder_Name", study.substr(study.rfind('/') + 1)},
      {"POST_Path", study + "/POST_2"},
      {"Analysis_Name", "crash"},
      {"Agent_Num", "0002"},
      {"Case_Num", "0002"},
      {"INPUTFILE", "main.model.k"},
      {"MACHINENAME", "node7"},
      {"MACHINELIST", "localhost"},
  };
  for (const auto& [name, value] : expected) {
    const char* set = std::getenv((std::string("KARVO_MDO_") + name).c_str());
    ASSERT_NE(set, nullptr) << name;
    EXPECT_EQ(std::string(set), value) << name;
  }
  EXPECT_EQ(std::getenv("KARVO_MDO_INPUTFILENAME"), nullptr);
  EXPECT_EQ(std::getenv("KARVO_MDO_ANALYSIS_INSTALL"), nullptr);
  // (That the analyses launched see them: the evaluation flow's analyses that read them.)

  // The next design overwrites every value.
  context_.designNumber = 8;
  context_.jobName.clear();
  ASSERT_TRUE(exportInternalVariables(context_));
  EXPECT_STREQ(std::getenv("KARVO_MDO_Design_Num"), "0008");
  EXPECT_STREQ(std::getenv("KARVO_MDO_Job_Name"), "not defined");
  EXPECT_STREQ(std::getenv("KARVO_MDO_Design_Path"), "/runs/agent/Design8");
}

}  // namespace
}  // namespace karvo
