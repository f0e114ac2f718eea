// The "General" portal: template filling through the tag-value callback, the extraction
// definitions of every kind on an FE-like listing, and the portal calls.
#include "external/portal_general.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace karvo {
namespace {

using general_portal::ExtractionDefinition;
using general_portal::ExtractionOutcome;
using karvo::testing::readFile;
using karvo::testing::TempDir;
using karvo::testing::writeFile;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using Ask = std::pair<std::string, std::string>;

// An FE-like listing: a header, two increments each with a node displacement table and an
// energy summary, and a closing block.
const char* const kListing =
    "1\n"
    "                    S T R U C T U R A L   A N A L Y S I S\n"
    "     PLATE WITH HOLE, LOAD CASE 1\n"
    "\n"
    " INCREMENT     1   STEP TIME =  5.000E-01\n"
    "\n"
    "                    N O D E   D I S P L A C E M E N T S\n"
    "     NODE        U1             U2             U3\n"
    "        1   0.0000E+00    0.0000E+00    0.0000E+00\n"
    "        2   1.2500D-03   -2.5000E-04    0.0000E+00\n"
    "        3   2.5000E-03   -.5000E-03     1.0000E-05\n"
    "\n"
    " ENERGY SUMMARY\n"
    "   TOTAL ENERGY =   1.234E+03\n"
    "   STRAIN ENERGY =  1.000E+03\n"
    "\n"
    " INCREMENT     2   STEP TIME =  1.000E+00\n"
    "\n"
    "                    N O D E   D I S P L A C E M E N T S\n"
    "     NODE        U1             U2             U3\n"
    "        1   0.0000E+00    0.0000E+00    0.0000E+00\n"
    "        2   2.5000D-03   -5.0000E-04    0.0000E+00\n"
    "        3   5.0000E-03   -1.0000E-03    2.0000E-05\n"
    "\n"
    " ENERGY SUMMARY\n"
    "   TOTAL ENERGY =   2.468E+03\n"
    "   STRAIN ENERGY =  2.000E+03\n"
    "\n"
    " MAXIMUM VON MISES STRESS      2.5E+02 AT ELEMENT    17\n"
    " ANALYSIS COMPLETE\n";

// ---- Templates -------------------------------------------------------------------------------

// A caller that knows a few variables and records every request.
struct FakeVariables {
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::pair<std::string, std::string>> asked;  // (name, format)

  TagValueCallback callback() {
    return [this](const std::string& name, const std::string& format) {
      asked.emplace_back(name, format);
      TagValueAnswer answer;
      auto found = values.find(name);
      if (found == values.end()) {
        answer.message = "\n\t**** ERROR ****\n\t Error in getting value for variable \"" + name +
                         "\" during tagging.\n";
        return answer;
      }
      answer.ok = true;
      answer.values = found->second;
      // The format is the caller's business; show it was handed over.
      if (!format.empty()) {
        for (std::string& v : answer.values) v = "<" + format + ">" + v;
      }
      return answer;
    };
  }
};

std::string fill(FakeVariables& vars, const std::string& line, bool* ok = nullptr) {
  std::string out;
  std::vector<general_portal::TagProblem> problems;
  bool found = general_portal::fillLine(line, "\n", vars.callback(), out, problems);
  if (ok) *ok = found;
  return out;
}

class GeneralPortalTemplate : public ::testing::Test {
 protected:
  TempDir dir;
  FakeVariables vars;
};

TEST_F(GeneralPortalTemplate, FillsTagsAndPassesFormatsThrough) {
  vars.values = {{"thickness", {"2.5"}}, {"Design_Num", {"7"}}, {"an.x", {"1"}}};
  EXPECT_EQ(fill(vars, "*SHELL T={{thickness}}"), "*SHELL T=2.5");
  EXPECT_EQ(fill(vars, "T={{ thickness | F8.3 }}, D={{Design_Num}}, again {{thickness}}"),
            "T=<F8.3>2.5, D=7, again 2.5");
  EXPECT_EQ(fill(vars, "{{an.x|Default}}{{an.x}}"), "<Default>11");
  EXPECT_EQ(fill(vars, "{{thickness|}}"), "2.5");  // an empty format is no format
  // A tag of several values writes one per line: text before the tag precedes the first value,
  // text after it follows the last one.
  vars.values["curve"] = {"0.0 1.0", "0.5 2.0"};
  EXPECT_EQ(fill(vars, "  POINTS {{curve}} END"), "  POINTS 0.0 1.0\n0.5 2.0 END");
}

TEST_F(GeneralPortalTemplate, TextThatIsNoTagIsCopiedUnchanged) {
  vars.values = {{"x", {"5"}}};
  for (const char* text : {"{{ }}", "{{", "{{x", "}}", "{single}", "{{1abc}}", "{{a b}}",
                           "{{x|{y}}", "{ {x}}", "{{|F}}", "{{-x}}", "a{{}}b", "\\{{ }}"}) {
    bool ok = false;
    EXPECT_EQ(fill(vars, text, &ok), text) << text;
    EXPECT_TRUE(ok);
  }
  EXPECT_TRUE(vars.asked.empty());
  // A valid tag right behind a brace is still found; a backslash writes a tag as it is.
  EXPECT_EQ(fill(vars, "{{{x}}}"), "{5}");
  EXPECT_EQ(fill(vars, "\\{{x}} {{x}} \\{{ y | F }}"), "{{x}} 5 {{ y | F }}");
  EXPECT_EQ(vars.asked.size(), 2u);
}

TEST_F(GeneralPortalTemplate, WritesTargetKeepingLineEndsAndPermissions) {
  writeFile(dir.file("run.sh.tpl"),
            "#!/bin/sh\r\necho {{x}}\r\nprintf '%s\\n' {{list}}\r\nlast line {{x}}");
  std::filesystem::permissions(dir.file("run.sh.tpl"), std::filesystem::perms::owner_all);
  vars.values = {{"x", {"1.5"}}, {"list", {"a", "b"}}};
  PortalResult result = general_portal::fillTemplate(dir.file("run.sh.tpl"), dir.file("run.sh"),
                                                     vars.callback());
  EXPECT_TRUE(result.ok);
  EXPECT_TRUE(result.messages.empty());
  EXPECT_EQ(readFile(dir.file("run.sh")),
            "#!/bin/sh\r\necho 1.5\r\nprintf '%s\\n' a\r\nb\r\nlast line 1.5");
  EXPECT_EQ(std::filesystem::status(dir.file("run.sh")).permissions(),
            std::filesystem::perms::owner_all);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
  // A target folder that does not exist is reported.
  result = general_portal::fillTemplate(dir.file("run.sh.tpl"), dir.file("sub/out"),
                                        vars.callback());
  EXPECT_FALSE(result.ok);
  EXPECT_THAT(result.messages,
              ElementsAre("ERROR: Could not write the file \"" + dir.file("sub/out") +
                          "\" (No such file or directory)."));

  // A byte-order mark at the start of a template is not written to the file (an input deck
  // would begin with three stray bytes); a tag right behind it is still filled. Elsewhere the
  // same bytes are text and stay.
  writeFile(dir.file("deck.tpl"), "\xEF\xBB\xBF{{x}} first\r\n\xEF\xBB\xBFsecond\r\n");
  result =
      general_portal::fillTemplate(dir.file("deck.tpl"), dir.file("deck.inp"), vars.callback());
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(readFile(dir.file("deck.inp")), "1.5 first\r\n\xEF\xBB\xBFsecond\r\n");
}

// Templates are kept between designs while unchanged on disk. A template the user edits
// during a run, in place or by replacing the file, is read again for the next design; so is
// one edited back to its old size and modification time (the change time still moved).
TEST_F(GeneralPortalTemplate, ATemplateChangedDuringTheRunIsReadAgain) {
  const std::string tpl = dir.file("deck.tpl");
  writeFile(tpl, "A={{x}}\n");
  // Only a template whose last change is a few seconds old is kept.
  std::this_thread::sleep_for(std::chrono::milliseconds(3100));
  vars.values = {{"x", {"1"}}};
  auto fillOnce = [&] {
    PortalResult result = general_portal::fillTemplate(tpl, dir.file("deck.inp"), vars.callback());
    EXPECT_TRUE(result.ok);
    return readFile(dir.file("deck.inp"));
  };
  EXPECT_EQ(fillOnce(), "A=1\n");
  EXPECT_EQ(fillOnce(), "A=1\n");

  const auto modified = std::filesystem::last_write_time(tpl);
  writeFile(tpl, "B={{x}}\n");  // same size
  std::filesystem::last_write_time(tpl, modified);
  EXPECT_EQ(fillOnce(), "B=1\n");

  writeFile(dir.file("new.tpl"), "C={{x}}\n");
  std::filesystem::last_write_time(dir.file("new.tpl"), modified);
  std::filesystem::rename(dir.file("new.tpl"), tpl);
  EXPECT_EQ(fillOnce(), "C=1\n");

  std::filesystem::remove(tpl);
  PortalResult gone = general_portal::fillTemplate(tpl, dir.file("deck.inp"), vars.callback());
  EXPECT_FALSE(gone.ok);
  EXPECT_THAT(gone.messages, ElementsAre("ERROR: Could not open the template file \"" + tpl +
                                         "\" (No such file or directory)."));
}

TEST_F(GeneralPortalTemplate, UnknownNameFailsWithFileLineAndTagAndWritesNothing) {
  writeFile(dir.file("deck.tpl"), "*PARAM\nT = {{thickness}}\nE = {{ modulus | E12.4 }} {{x}}\n");
  writeFile(dir.file("deck.inp"), "previous design\n");
  vars.values = {{"thickness", {"2.5"}}};
  PortalResult result = general_portal::fillTemplate(dir.file("deck.tpl"), dir.file("deck.inp"),
                                                     vars.callback());
  EXPECT_FALSE(result.ok);
  std::string tpl = dir.file("deck.tpl");
  EXPECT_THAT(
      result.messages,
      ElementsAre("ERROR: The name \"modulus\" in the tag \"{{ modulus | E12.4 }}\" at line 3 "
                  "of the template file \"" + tpl + "\" is unknown or has no value.",
                  "ERROR: **** ERROR **** Error in getting value for variable \"modulus\" during "
                  "tagging.",
                  "ERROR: The name \"x\" in the tag \"{{x}}\" at line 3 of the template file \"" +
                      tpl + "\" is unknown or has no value.",
                  "ERROR: **** ERROR **** Error in getting value for variable \"x\" during "
                  "tagging."));
  // The previous file stays as it was.
  EXPECT_EQ(readFile(dir.file("deck.inp")), "previous design\n");
}

TEST_F(GeneralPortalTemplate, ManyFailingTagsAreListedUpToTheLimit) {
  std::string text;
  for (int i = 0; i < 12; ++i) text += "{{missing}}\n";
  writeFile(dir.file("a.tpl"), text);
  TagValueCallback silent = [](const std::string&, const std::string&) { return TagValueAnswer(); };
  PortalResult result = general_portal::fillTemplate(dir.file("a.tpl"), dir.file("a"), silent);
  EXPECT_FALSE(result.ok);
  ASSERT_EQ(result.messages.size(), 11u);
  EXPECT_EQ(result.messages[9], "ERROR: The name \"missing\" in the tag \"{{missing}}\" at line 10 "
                                "of the template file \"" + dir.file("a.tpl") +
                                    "\" is unknown or has no value.");
  EXPECT_EQ(result.messages[10], "ERROR: 2 more tags without a value in the template file \"" +
                                     dir.file("a.tpl") + "\" are not listed.");
  EXPECT_FALSE(std::filesystem::exists(dir.file("a")));
}

// ---- Numbers ---------------------------------------------------------------------------------

TEST(GeneralPortalNumbers, AcceptsFortranAndPlainFormsAndNothingElse) {
  const std::pair<const char*, double> cases[] = {
      {"1.5D+03", 1500.0}, {"1.5d3", 1500.0},    {"-.5", -0.5},       {"+3", 3.0},
      {"1.", 1.0},         {"2.5e-3", 0.0025},   {"0.15-100", 0.15e-100}, {"-2.5+02", -250.0},
      {"-0.0E0", 0.0},     {"123456789", 123456789.0}};
  for (const auto& [word, expected] : cases) {
    double value = -99.0;
    EXPECT_TRUE(general_portal::parseNumber(word, value)) << word;
    EXPECT_DOUBLE_EQ(value, expected) << word;
  }
  for (const char* word : {"", "abc", "1.2.3", "1e", "1E+", "NaN", "inf", "1e400", "--1", "1-3",
                           ".", "e5", "1.5E+03,", "0x10", "*****", "1,5", "+", " 1"}) {
    double value = 42.0;
    EXPECT_FALSE(general_portal::parseNumber(word, value)) << word;
    EXPECT_EQ(value, 42.0) << word;
  }
}

// ---- Definitions -----------------------------------------------------------------------------

std::string definitionError(const std::string& text) {
  ExtractionDefinition definition;
  std::string error;
  EXPECT_FALSE(general_portal::parseDefinition(text, definition, error)) << text;
  return error;
}

// The texts of parsed definitions of every kind are checked through the failure messages that
// quote them; here what the parse keeps of quotes, blanks and comment lines.
TEST(GeneralPortalDefinition, ReadsEveryKindWithItsParameters) {
  ExtractionDefinition d;
  std::string error;
  ASSERT_TRUE(general_portal::parseDefinition(
      "$ energy of the last increment\n  Anchor : TOTAL ENERGY \nword: 4\noccurrence: LAST\n"
      "lineOffset: 0\nfile: run.lis\n",
      d, error))
      << error;
  EXPECT_EQ(d.kind, general_portal::ExtractionKind::Anchor);
  EXPECT_EQ(d.file, "run.lis");
  EXPECT_EQ(general_portal::describeDefinition(d),
            "anchor \"TOTAL ENERGY\", occurrence last, line offset 0, word 4");

  ASSERT_TRUE(general_portal::parseDefinition("anchor: \" NODE \"\nword: -1\n", d, error));
  EXPECT_EQ(d.text, " NODE ");
  ASSERT_TRUE(general_portal::parseDefinition(
      "regex: \"TIME =\\s*(\\S+)\"\noccurrence: 2\ngroup: 1\n", d, error));
  EXPECT_EQ(d.text, "\"TIME =\\s*(\\S+)\"");  // quotes are part of a regular expression
  ASSERT_TRUE(general_portal::parseDefinition("result: mass\noccurrence: all\nseparators: ,;\n",
                                              d, error));
  EXPECT_EQ(general_portal::describeDefinition(d),
            "result \"mass\", occurrence all, separators \",;\"");

  // A byte-order mark that an editor put at the start of the definition file is skipped; one
  // further on is text like any other.
  ASSERT_TRUE(general_portal::parseDefinition("\xEF\xBB\xBF" "file: run.lis\nresult: mass\n", d,
                                              error))
      << error;
  EXPECT_EQ(d.file, "run.lis");
  EXPECT_EQ(general_portal::describeDefinition(d), "result \"mass\", occurrence first");
  ASSERT_TRUE(general_portal::parseDefinition("\xEF\xBB\xBF" "$ a comment\nresult: mass", d,
                                              error))
      << error;
  EXPECT_EQ(definitionError("result: mass\n\xEF\xBB\xBF" "file: run.lis"),
            "line 2: unknown property \"\xEF\xBB\xBF" "file\"; the properties are file, anchor, "
            "regex, result, table, occurrence, lineOffset, word, group, skipLines, column, end, "
            "stopAt and separators");
}

TEST(GeneralPortalDefinition, RefusesInvalidDefinitionsWithTheRule) {
  EXPECT_EQ(definitionError(""), "the definition names none of anchor, regex, result and table");
  EXPECT_EQ(definitionError("anchor: X"),
            "an anchor definition needs \"word\" (1 is the first word of the line, -1 the last)");
  EXPECT_EQ(definitionError("anchor: X\nword: 0"),
            "line 2: word \"0\": must be a word number from 1 (first word) or from -1 (last "
            "word), never 0, at most 100000 either way");
  EXPECT_EQ(definitionError("anchor: X\nregex: (a)"),
            "line 2: regex: a definition has exactly one of anchor, regex, result and table, and "
            "\"anchor\" was given at line 1");
  EXPECT_EQ(definitionError("anchor: X\nword 1"),
            "line 2: \"word 1\": expected a property name, a colon and a value");
  EXPECT_EQ(definitionError("anchor: X\nword: 1\nWord: 2"),
            "line 3: Word: given twice (first at line 2)");
  EXPECT_EQ(definitionError("anchor: X\nword: 1\ncolum: 2"),
            "line 3: unknown property \"colum\"; the properties are file, anchor, regex, result, "
            "table, occurrence, lineOffset, word, group, skipLines, column, end, stopAt and "
            "separators");
  EXPECT_EQ(definitionError("result: X\ncolumn: 2"),
            "line 2: column: does not apply to a result definition");
  EXPECT_EQ(definitionError("result: X\nseparators: ,."),
            "line 2: separators \",.\": must not hold blanks, digits, signs, points or exponent "
            "letters");
  EXPECT_EQ(definitionError("regex: a(b)\ngroup: 2"),
            "line 2: group \"2\": must be a capture group of the regular expression, 0 (the whole "
            "match) to 1");
  EXPECT_EQ(definitionError("regex: TIME"),
            "line 1: regex \"TIME\": the regular expression has no capture group; put parentheses "
            "around the number or set \"group: 0\" for the whole match");
  EXPECT_EQ(definitionError("table: X\ncolumn: 1\nend: blank\nstopAt: Y"),
            "line 3: end: a table ends either by \"end\" or by \"stopAt\" (line 4), not both");
  EXPECT_EQ(definitionError("table: \"\"\ncolumn: 1"), "line 1: table: the value must not be empty");
  // An invalid regular expression is a message, not a crash.
  EXPECT_THAT(definitionError("regex: a{2,1}"),
              StartsWith("line 1: regex \"a{2,1}\": not a valid regular expression ("));
  // Constructs the matcher does not have are refused with a word on why.
  EXPECT_EQ(definitionError("regex: (\\d+) \\1"),
            "line 1: regex \"(\\d+) \\1\": not a valid regular expression (invalid escape "
            "sequence: \\1; backreferences and lookaround are not supported)");
  EXPECT_EQ(definitionError("file: a.out\nregex: (\\d+)(?=px)"),
            "line 2: regex \"(\\d+)(?=px)\": not a valid regular expression (invalid perl "
            "operator: (?=; backreferences and lookaround are not supported)");
  EXPECT_EQ(definitionError("regex: (?<!-)(\\d+)"),
            "line 1: regex \"(?<!-)(\\d+)\": not a valid regular expression (invalid perl "
            "operator: (?<; backreferences and lookaround are not supported)");
}

// ---- Extraction on the listing ---------------------------------------------------------------

class GeneralPortalExtraction : public ::testing::Test {
 protected:
  void SetUp() override { writeFile(listing, kListing); }

  ExtractionOutcome extractOne(const std::string& definitionText, const std::string& path = "") {
    ExtractionDefinition definition;
    std::string error;
    EXPECT_TRUE(general_portal::parseDefinition(definitionText, definition, error)) << error;
    std::vector<ExtractionOutcome> outcomes =
        general_portal::extractFromFile(path.empty() ? listing : path, {&definition});
    EXPECT_EQ(outcomes.size(), 1u);
    return outcomes.at(0);
  }

  std::vector<double> values(const std::string& definitionText, const std::string& path = "") {
    ExtractionOutcome outcome = extractOne(definitionText, path);
    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(outcome.message, "");
    return outcome.values;
  }

  std::string failure(const std::string& definitionText, const std::string& path = "") {
    ExtractionOutcome outcome = extractOne(definitionText, path);
    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.values.empty());
    return outcome.message;
  }

  TempDir dir;
  std::string listing = dir.file("run.lis");
};

TEST_F(GeneralPortalExtraction, AnchorLineOffsetAndWordWithEachOccurrenceRule) {
  EXPECT_THAT(values("anchor: TOTAL ENERGY\nword: 4"), ElementsAre(1234.0));  // the first
  EXPECT_THAT(values("anchor: TOTAL ENERGY\nword: -1\noccurrence: last"), ElementsAre(2468.0));
  EXPECT_THAT(values("anchor: TOTAL ENERGY\nword: 4\noccurrence: all"),
              ElementsAre(1234.0, 2468.0));
  // Node 2, U1, three lines below the table title: Fortran D exponents.
  EXPECT_THAT(values("anchor: N O D E   D I S P\nlineOffset: 3\nword: 2\noccurrence: all"),
              ElementsAre(1.25e-3, 2.5e-3));
  // Overlapping occurrences (anchors at lines 9, 10, 21, 22): every pending target is served.
  EXPECT_THAT(values("anchor: 0.0000E+00\nlineOffset: 1\nword: 1\noccurrence: all"),
              ElementsAre(2.0, 3.0, 2.0, 3.0));
}

TEST_F(GeneralPortalExtraction, AnchorFailuresNameFileDefinitionAndReason) {
  std::string in = "No value extracted from the file \"" + listing + "\" by the definition ";
  EXPECT_EQ(failure("anchor: KINETIC ENERGY\nword: 4"),
            in + "[anchor \"KINETIC ENERGY\", occurrence first, line offset 0, word 4]: the "
                 "anchor was not found.");
  EXPECT_EQ(failure("anchor: TOTAL ENERGY\nword: 4\noccurrence: 3"),
            in + "[anchor \"TOTAL ENERGY\", occurrence 3, line offset 0, word 4]: the anchor was "
                 "found 2 times, occurrence 3 was asked for.");
  EXPECT_EQ(failure("anchor: TOTAL ENERGY\nword: 6\noccurrence: last"),
            in + "[anchor \"TOTAL ENERGY\", occurrence last, line offset 0, word 6]: line 26 (0 "
                 "lines after the anchor at line 26) has 4 words, word 6 was asked for.");
  EXPECT_EQ(failure("anchor: TOTAL ENERGY\nword: 2"),
            in + "[anchor \"TOTAL ENERGY\", occurrence first, line offset 0, word 2]: the word "
                 "\"ENERGY\" at line 14 is not a number.");
  EXPECT_EQ(failure("anchor: ANALYSIS COMPLETE\nlineOffset: 2\nword: 1"),
            in + "[anchor \"ANALYSIS COMPLETE\", occurrence first, line offset 2, word 1]: the "
                 "file ends before line offset 2 of the anchor at line 30.");
  EXPECT_EQ(failure("anchor: X\nword: 1", dir.file("missing.lis")),
            "No value extracted from the file \"" + dir.file("missing.lis") +
                "\" by the definition [anchor \"X\", occurrence first, line offset 0, word 1]: "
                "the file could not be opened (No such file or directory).");

  // A last occurrence that fails is not replaced by an earlier value.
  std::string text = kListing;
  text.replace(text.find("2.468E+03"), 9, "*********");
  writeFile(listing, text);
  EXPECT_EQ(failure("anchor: TOTAL ENERGY\nword: 4\noccurrence: last"),
            in + "[anchor \"TOTAL ENERGY\", occurrence last, line offset 0, word 4]: the word "
                 "\"*********\" at line 26 is not a number.");
  EXPECT_THAT(values("anchor: TOTAL ENERGY\nword: 4\noccurrence: first"), ElementsAre(1234.0));
}

TEST_F(GeneralPortalExtraction, RegexCaptureGroup) {
  EXPECT_THAT(values("regex: STEP TIME =\\s*(\\S+)\noccurrence: all"), ElementsAre(0.5, 1.0));
  EXPECT_THAT(values("regex: STRESS\\s+(\\S+) AT ELEMENT\\s+(\\d+)\ngroup: 1"), ElementsAre(250.0));
  EXPECT_THAT(values("regex: ENERGY =\\s*(\\S+)\noccurrence: 3"), ElementsAre(2468.0));
  EXPECT_THAT(values("regex: \\d\\.\\d+E[+-]\\d\\d\ngroup: 0\noccurrence: last"),
              ElementsAre(250.0));
  // Several matches on one line are occurrences in line order.
  EXPECT_THAT(values("regex: (-?\\d\\.\\d+E[+-]\\d+)\noccurrence: all\n"),
              ::testing::SizeIs(22));
  // "^" is the start of the line, not the place after a match where the search goes on.
  EXPECT_THAT(values("regex: ^\\s*(\\d+)\noccurrence: all"),
              ElementsAre(1.0, 1.0, 2.0, 3.0, 1.0, 2.0, 3.0));

  std::string in = "No value extracted from the file \"" + listing + "\" by the definition ";
  EXPECT_EQ(failure("regex: KINETIC ENERGY =\\s*(\\S+)"),
            in + "[regex \"KINETIC ENERGY =\\s*(\\S+)\", occurrence first, group 1]: the regular "
                 "expression matched nowhere.");
  EXPECT_EQ(failure("regex: PLATE (WITH) HOLE"),
            in + "[regex \"PLATE (WITH) HOLE\", occurrence first, group 1]: the word \"WITH\" "
                 "captured at line 3 is not a number.");
  EXPECT_EQ(failure("regex: NODE(\\d*)"),
            in + "[regex \"NODE(\\d*)\", occurrence first, group 1]: group 1 of the match at "
                 "line 8 is empty.");
  // An overlong line fails cleanly.
  writeFile(listing, "VALUE " + std::string(200000, 'x') + " = 1.0\nVALUE = 2.0\n");
  EXPECT_EQ(failure("regex: VALUE(\\S+) = (\\S+)\ngroup: 2"),
            in + "[regex \"VALUE(\\S+) = (\\S+)\", occurrence first, group 2]: line 1 has 200012 "
                 "characters, more than the 2048 that a regular expression is matched against.");
}

// Nested repetitions on lines they do not match take a backtracking matcher exponential time.
// Here they end at once; the extraction runs in a child that an alarm ends if they do not.
TEST_F(GeneralPortalExtraction, NestedRepetitionsEndOnLinesTheyDoNotMatch) {
  std::string numbers;
  for (int n = 10; n < 53; ++n) numbers += std::to_string(n) + " ";
  writeFile(listing, "values: " + numbers + "EN\nvalues: 4 5 6 END\n" + std::string(2000, 'a') +
                         "b\n");
  const std::string in = "No value extracted from the file \"" + listing + "\" by the definition ";
  EXPECT_EXIT(
      {
        ::alarm(10);
        ExtractionOutcome last =
            extractOne("regex: ^values: ((\\d+\\s*)+)END$\ngroup: 2\noccurrence: all");
        std::string none = failure("regex: (a+)+$");
        // Empty matches: the search moves on, up to the empty match at the end of line 3.
        std::string empty = failure("regex: (Z*)\noccurrence: last");
        const bool ok =
            last.values == std::vector<double>{6.0} &&
            none == in + "[regex \"(a+)+$\", occurrence first, group 1]: the regular expression "
                         "matched nowhere." &&
            empty == in + "[regex \"(Z*)\", occurrence last, group 1]: group 1 of the match at "
                          "line 3 is empty.";
        std::fprintf(stderr, "%s\n%s\n%s\n", last.message.c_str(), none.c_str(), empty.c_str());
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(GeneralPortalExtraction, ResultLines) {
  EXPECT_THAT(values("result: TOTAL ENERGY\noccurrence: last"), ElementsAre(2468.0));
  EXPECT_THAT(values("result: STRAIN ENERGY\noccurrence: all"), ElementsAre(1000.0, 2000.0));

  std::string results = dir.file("results.txt");
  writeFile(results, "mass = 12.5\nmass_total = 99\nfrequencies=1.0 2.0 3.5D0\nmode = \n"
                     "stress = 1.5 MPa\nforce = 1.0, 2.0\n");
  EXPECT_THAT(values("result: mass", results), ElementsAre(12.5));
  EXPECT_THAT(values("result: frequencies", results), ElementsAre(1.0, 2.0, 3.5));
  EXPECT_THAT(values("result: force\nseparators: ,", results), ElementsAre(1.0, 2.0));

  std::string in = "No value extracted from the file \"" + results + "\" by the definition ";
  EXPECT_EQ(failure("result: mode", results),
            in + "[result \"mode\", occurrence first]: the result line at line 4 has no value "
                 "after \"=\".");
  EXPECT_EQ(failure("result: stress", results),
            in + "[result \"stress\", occurrence first]: the word \"MPa\" at line 5 is not a "
                 "number.");
  EXPECT_EQ(failure("result: force", results),
            in + "[result \"force\", occurrence first]: the word \"1.0,\" at line 6 is not a "
                 "number.");
  EXPECT_EQ(failure("result: volume", results),
            in + "[result \"volume\", occurrence first]: no line \"volume = ...\" was found.");
}

TEST_F(GeneralPortalExtraction, TableColumnsInFileOrder) {
  // U2 of the first table; the table ends at the blank line.
  EXPECT_THAT(values("table: N O D E   D I S P\nskipLines: 1\ncolumn: 3"),
              ElementsAre(0.0, -2.5e-4, -0.5e-3));
  EXPECT_THAT(values("table: N O D E   D I S P\nskipLines: 1\ncolumn: -1\noccurrence: last"),
              ElementsAre(0.0, 0.0, 2.0e-5));
  // Headers end a table that ends at the first line not starting with a number.
  EXPECT_THAT(values("table: NODE        U1\ncolumn: 2\nend: nonNumeric\noccurrence: all"),
              ElementsAre(0.0, 1.25e-3, 2.5e-3, 0.0, 2.5e-3, 5.0e-3));
  // A stop text lets a table run over blank lines.
  EXPECT_THAT(values("table: N O D E   D I S P\nskipLines: 1\ncolumn: 4\nstopAt: ENERGY SUMMARY"),
              ElementsAre(0.0, 0.0, 1.0e-5));
}

TEST_F(GeneralPortalExtraction, TableFailures) {
  std::string in = "No value extracted from the file \"" + listing + "\" by the definition ";
  EXPECT_EQ(failure("table: N O D E   D I S P\ncolumn: 2"),
            in + "[table \"N O D E   D I S P\", occurrence first, skip 0 lines, column 2, end at "
                 "a blank line]: the word \"U1\" in column 2 at line 8 is not a number.");
  EXPECT_EQ(failure("table: N O D E   D I S P\nskipLines: 1\ncolumn: 5"),
            in + "[table \"N O D E   D I S P\", occurrence first, skip 1 lines, column 5, end at "
                 "a blank line]: line 9 of the table after the anchor at line 7 has 4 words, "
                 "column 5 was asked for.");
  EXPECT_EQ(failure("table: INCREMENT     1\ncolumn: 1"),
            in + "[table \"INCREMENT     1\", occurrence first, skip 0 lines, column 1, end at a "
                 "blank line]: the table after the anchor at line 5 has no rows.");
  EXPECT_EQ(failure("table: N O D E   D I S P\nskipLines: 1\ncolumn: 2\nstopAt: NOT THERE\n"
                    "occurrence: last"),
            in + "[table \"N O D E   D I S P\", occurrence last, skip 1 lines, column 2, end at "
                 "\"NOT THERE\"]: the word \"SUMMARY\" in column 2 at line 25 is not a number.");
  // A malformed number in a row is a failure, never a zero, whatever ends the table.
  std::string text = kListing;
  text.replace(text.find("-5.0000E-04"), 11, "***********");
  writeFile(listing, text);
  for (const std::string end : {"blank", "nonNumeric"}) {
    EXPECT_EQ(failure("table: N O D E   D I S P\nskipLines: 1\ncolumn: 3\noccurrence: last\n"
                      "end: " + end),
              in + "[table \"N O D E   D I S P\", occurrence last, skip 1 lines, column 3, end "
                   "at " + (end == "blank" ? "a blank line" : "a line not starting with a number") +
                   "]: the word \"***********\" in column 3 at line 22 is not a number.");
  }
  writeFile(listing, "RESULTS\n 1 2.0\n 2 3.0\n");
  EXPECT_EQ(failure("table: RESULTS\ncolumn: 2\nstopAt: END"),
            in + "[table \"RESULTS\", occurrence first, skip 0 lines, column 2, end at \"END\"]: "
                 "the file ends before the stop text \"END\" of the table after the anchor at "
                 "line 1.");
  EXPECT_THAT(values("table: RESULTS\ncolumn: 2"), ElementsAre(2.0, 3.0));  // the file's end ends it
}

TEST_F(GeneralPortalExtraction, OnePassServesManyDefinitionsInTheirOrder) {
  std::vector<std::string> texts = {
      "result: TOTAL ENERGY\noccurrence: last", "anchor: NOWHERE\nword: 1",
      "table: N O D E   D I S P\nskipLines: 1\ncolumn: 2", "regex: ELEMENT\\s+(\\d+)"};
  std::vector<ExtractionDefinition> definitions(texts.size());
  std::vector<const ExtractionDefinition*> pointers;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    std::string error;
    ASSERT_TRUE(general_portal::parseDefinition(texts[i], definitions[i], error)) << error;
    pointers.push_back(&definitions[i]);
  }
  std::vector<ExtractionOutcome> outcomes = general_portal::extractFromFile(listing, pointers);
  ASSERT_EQ(outcomes.size(), 4u);
  EXPECT_THAT(outcomes[0].values, ElementsAre(2468.0));
  EXPECT_FALSE(outcomes[1].ok);
  EXPECT_EQ(outcomes[1].message,
            "No value extracted from the file \"" + listing +
                "\" by the definition [anchor \"NOWHERE\", occurrence first, line offset 0, word "
                "1]: the anchor was not found.");
  EXPECT_THAT(outcomes[2].values, ElementsAre(0.0, 1.25e-3, 2.5e-3));
  EXPECT_THAT(outcomes[3].values, ElementsAre(17.0));
}

// ---- The portal calls ------------------------------------------------------------------------

struct Report {
  std::string response;
  std::vector<double> values;
  bool ok;
  std::string message;
};

class GeneralPortalCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.file("study"));
    std::filesystem::create_directories(dir.file("run"));
    properties.setValue("analysisName", "plate");
    properties.setValue("studyDir", dir.file("study"));
    properties.setValue("destDir", dir.file("run"));
  }

  std::vector<Report> extractAll(bool* ok = nullptr,
                                 std::vector<std::string>* messages = nullptr) {
    std::vector<Report> reports;
    PortalResult result = portal.extract(
        properties, [&](const std::string& name, const std::vector<double>& values, bool good,
                        const std::string& message) {
          reports.push_back(Report{name, values, good, message});
        });
    if (ok) *ok = result.ok;
    if (messages) *messages = result.messages;
    return reports;
  }

  TempDir dir;
  PropertiesMap properties;
  GeneralPortal portal;
};

TEST_F(GeneralPortalCalls, PrepareWritesEveryTemplateAskingEachValueOnce) {
  writeFile(dir.file("study/deck.tpl"), "T={{t}}\nT again={{t}} {{t|F}}\n");
  writeFile(dir.file("study/run.tpl"), "solve {{Design_Num}}\n");
  properties.setValue("InputSource2", "run.tpl");  // numeric order, not key order
  properties.setValue("InputSource10", dir.file("study/deck.tpl"));
  properties.setValue("InputTarget10", "model.inp");
  FakeVariables vars;
  vars.values = {{"t", {"2.5"}}, {"Design_Num", {"7"}}};
  PortalResult result = portal.prepare(properties, vars.callback());
  EXPECT_TRUE(result.ok);
  EXPECT_TRUE(result.messages.empty());
  EXPECT_EQ(readFile(dir.file("run/run.tpl")), "solve 7\n");
  EXPECT_EQ(readFile(dir.file("run/model.inp")), "T=2.5\nT again=2.5 <F>2.5\n");
  EXPECT_THAT(vars.asked, ElementsAre(Ask{"Design_Num", ""}, Ask{"t", ""},
                                      Ask{"t", "F"}));

  properties.setValue("InputTarget3", "orphan");
  result = portal.prepare(properties, vars.callback());
  EXPECT_FALSE(result.ok);
  EXPECT_THAT(result.messages, ElementsAre("ERROR: The property \"InputTarget3\" has no matching "
                                           "\"InputSource3\"."));
}

TEST_F(GeneralPortalCalls, InitializeChecksDefinitionsAndListsTheirFiles) {
  properties.setValue("outputFilenames", "run.lis\nother.out");
  properties.setValue("ResponseName1", "energy");
  properties.setValue("ResponseDefinition1", "result: TOTAL ENERGY\noccurrence: last");
  properties.setValue("ResponseName2", "mass");
  properties.setValue("ResponseDefinition2", "file: mass.txt\nresult: mass");
  PortalInitResult init = portal.initialize(properties);
  EXPECT_TRUE(init.ok);
  EXPECT_TRUE(init.messages.empty());
  EXPECT_THAT(init.extraOutputFiles, ElementsAre("mass.txt"));

  properties.setValue("ResponseName3", "bad");
  properties.setValue("ResponseDefinition3", "regex: (unclosed");
  properties.setValue("ResponseName4", "energy");
  properties.setValue("ResponseDefinition5", "result: x");
  init = portal.initialize(properties);
  EXPECT_FALSE(init.ok);
  ASSERT_EQ(init.messages.size(), 3u);
  EXPECT_EQ(init.messages[0],
            "ERROR: The response \"energy\" is named twice (\"ResponseName1\" and "
            "\"ResponseName4\").");
  EXPECT_EQ(init.messages[1],
            "ERROR: The property \"ResponseDefinition5\" has no matching \"ResponseName5\".");
  EXPECT_THAT(init.messages[2],
              StartsWith("ERROR: The extraction definition of response \"bad\" is invalid: line "
                         "1: regex \"(unclosed\": not a valid regular expression ("));
}

TEST_F(GeneralPortalCalls, ExtractReportsEveryResponseOnceInOrder) {
  writeFile(dir.file("run/run.lis"), kListing);
  writeFile(dir.file("run/mass.txt"), "mass = 12.5\n");
  properties.setValue("outputFilenames", "run.lis");
  properties.setValue("ResponseName1", "energy");
  properties.setValue("ResponseDefinition1", "result: TOTAL ENERGY\noccurrence: last");
  properties.setValue("ResponseName2", "mass");
  properties.setValue("ResponseDefinition2", "file: mass.txt\nresult: mass");
  properties.setValue("ResponseName3", "u1");
  properties.setValue("ResponseDefinition3",
                      "table: N O D E   D I S P\nskipLines: 1\ncolumn: 2\noccurrence: last");
  bool ok = false;
  std::vector<Report> reports = extractAll(&ok);
  EXPECT_TRUE(ok);
  ASSERT_EQ(reports.size(), 3u);
  const std::vector<std::vector<double>> expected = {{2468.0}, {12.5}, {0.0, 2.5e-3, 5.0e-3}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(reports[i].response, properties.value("ResponseName" + std::to_string(i + 1)));
    EXPECT_EQ(reports[i].values, expected[i]);
    EXPECT_TRUE(reports[i].ok);
    EXPECT_EQ(reports[i].message, "");
  }
  EXPECT_TRUE(portal.successCheck(properties).ok);

  // A failing or invalid definition is reported for its response; the others still are.
  properties.setValue("ResponseName4", "kinetic");
  properties.setValue("ResponseDefinition4", "anchor: KINETIC\nword: 3");
  properties.setValue("ResponseName5", "broken");
  properties.setValue("ResponseDefinition5", "anchor: KINETIC");
  properties.setValue("ResponseName6", "undefined");
  reports = extractAll(&ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(reports.size(), 6u);
  EXPECT_TRUE(reports[2].ok);
  EXPECT_FALSE(reports[3].ok);
  EXPECT_EQ(reports[3].message,
            "No value extracted from the file \"" + dir.file("run/run.lis") +
                "\" by the definition [anchor \"KINETIC\", occurrence first, line offset 0, word "
                "3]: the anchor was not found.");
  EXPECT_EQ(reports[4].message,
            "The extraction definition of response \"broken\" is invalid: an anchor definition "
            "needs \"word\" (1 is the first word of the line, -1 the last).");
  EXPECT_EQ(reports[5].message,
            "The response \"undefined\" has no extraction definition (\"ResponseDefinition6\").");
}

TEST_F(GeneralPortalCalls, MissingOutputFailsTheSuccessCheckAndEveryResponseOfIt) {
  properties.setValue("ResponseName1", "energy");
  properties.setValue("ResponseDefinition1", "file: run.lis\nresult: TOTAL ENERGY");
  PortalResult check = portal.successCheck(properties);
  EXPECT_FALSE(check.ok);
  EXPECT_THAT(check.messages, ElementsAre("ERROR: The output file \"" + dir.file("run/run.lis") +
                                          "\" was not found."));
  // Extraction says it too, once for the file, and each response still says why it found
  // nothing.
  properties.setValue("ResponseName2", "strain");
  properties.setValue("ResponseDefinition2", "file: run.lis\nresult: STRAIN ENERGY");
  bool ok = true;
  std::vector<std::string> messages;
  std::vector<Report> reports = extractAll(&ok, &messages);
  EXPECT_FALSE(ok);
  EXPECT_THAT(messages, ElementsAre("ERROR: The output file \"" + dir.file("run/run.lis") +
                                    "\" was not found."));
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_FALSE(reports[0].ok);
  EXPECT_EQ(reports[0].message,
            "No value extracted from the file \"" + dir.file("run/run.lis") +
                "\" by the definition [result \"TOTAL ENERGY\", occurrence first]: the file "
                "could not be opened (No such file or directory).");
  EXPECT_FALSE(reports[1].ok);

  properties.setValue("ResponseDefinition1", "result: TOTAL ENERGY");  // no file at all
  properties.setValue("ResponseDefinition2", "file: mass.txt\nresult: mass");
  writeFile(dir.file("run/mass.txt"), "mass = 1\n");
  reports = extractAll(&ok, &messages);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(reports.at(0).message,
            "The extraction definition of response \"energy\" names no file and the analysis has "
            "no output file (\"outputFilenames\").");
}

TEST_F(GeneralPortalCalls, FinishCheckAndPaths) {
  EXPECT_EQ(portal.finishCheck(properties).state, FinishState::Error);  // no "jobFinished"
  properties.setValue("jobFinished", "false");
  EXPECT_EQ(portal.finishCheck(properties).state, FinishState::NotFinished);
  properties.setValue("jobFinished", "true");
  PortalFinishResult finish = portal.finishCheck(properties);
  EXPECT_TRUE(finish.ok);
  EXPECT_EQ(finish.state, FinishState::Finished);
  properties.setValue("jobFinished", "yes");
  finish = portal.finishCheck(properties);
  EXPECT_FALSE(finish.ok);
  EXPECT_EQ(finish.state, FinishState::Error);
  EXPECT_THAT(finish.messages,
              ElementsAre("ERROR: The General portal cannot tell whether the analysis has "
                          "finished: the property \"jobFinished\" is \"yes\", expected \"true\" "
                          "or \"false\"."));

  EXPECT_EQ(portal.resolvePath(properties, "out/a.txt").path, dir.file("run/out/a.txt"));
  EXPECT_EQ(portal.resolvePath(properties, "/abs/b").path, "/abs/b");
  PortalPathResult none = portal.resolvePath(properties, "");
  EXPECT_FALSE(none.ok);
  EXPECT_THAT(none.messages, ElementsAre("ERROR: No file name was given to resolve."));
}

}  // namespace
}  // namespace karvo
