// Tests of the definition-data reader: record reading from real files (comments, CR LF,
// long lines, missing final newline), the typed readers with their list and boolean rules,
// record editing with tracked allocation, and the exact texts of every error message.
#include "definitions/reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "base/memory.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::vector<std::string> linesOf(const Record& record) {
  return std::vector<std::string>(record.lines, record.lines + record.count);
}

using testing::fatalBlock;
using testing::warningBlock;

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

TEST_F(ReaderTest, LastLineWithoutNewlineIsStillRead) {
  {
    Reading reading(fileWith("*KEY\na: 1\r\nb: 2"));
    Record preamble = reading.next();
    freeRecord(preamble);
    Record record = reading.next();
    RecordScope scope(record);
    EXPECT_THAT(linesOf(record), ElementsAre("a: 1", "b: 2"));
    EXPECT_TRUE(reading.endOfFile);
    EXPECT_EQ(reading.counter, 3);
  }
  Reading reading(fileWith("\xEF\xBB\xBF*KEY\na: 1\n*END"));  // and a byte order mark first
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

TEST_F(ReaderTest, EmptyFileGivesEmptyRecordAtEndOfFile) {
  Reading reading(fileWith(""));
  reading.keyword = "left over";
  Record record = reading.next();
  EXPECT_EQ(record.lines, nullptr);
  EXPECT_TRUE(reading.endOfFile);
  EXPECT_EQ(reading.keyword, "");
  EXPECT_EQ(reading.counter, 0);
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
  Record record = recordOf("one:x\ntwo: x\nthree:  x\n  four: lead\nfive : spaced\n"
                           "path: C:\\a:b \nName: upper\njust text\n$ comment: 1\ncomment: 2\n");
  RecordScope scope(record);
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
  Record record = recordOf("k: 1\nother: 2\nk:3\n");
  RecordScope scope(record);
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
  Record record = recordOf("a: yes\nb: true\nc: no\nd: false\ne: Yes\nf: yes \n");
  RecordScope scope(record);
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
    Record record = recordOf(body);
    RecordScope scope(record);
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
  Record record = recordOf(
      "a: 42\nb:-7\nc: +8 \nd: 12abc\ne: \nf: 2147483647\ng: -2147483648\nh: 2147483648\n"
      "j: 99999999999999999999\n");
  RecordScope scope(record);
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
  Record record = recordOf(
      "a: 0.5   \nb: 0.5x\nc:-1e-3\nd: nan\ne: 1e999\nf: \ng:  2.5E+2\n");
  RecordScope scope(record);
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
  Record record = recordOf("x: 1\nlist:2\na\n");
  RecordScope scope(record);
  std::vector<std::string> values;
  std::string reason;
  EXPECT_EQ(getValues("Process1.in", record, "list", values, false, reason), 1);
  EXPECT_THAT(values, ElementsAre("a"));
  EXPECT_EQ(messages(),
            warningBlock("The number of values specified does not match the number of entries "
                         "in a definition. The error is near line number 3, which was read as "
                         "\"list:2\"."));

  Record huge = recordOf("list:1000000000\nonly\n");
  RecordScope hugeScope(huge);
  EXPECT_EQ(getValues("Process1.in", huge, "list", values, false, reason), 1);
  EXPECT_THAT(values, ElementsAre("only"));
}

// A count right after the colon takes the following lines; anything else is one value.
TEST_F(ReaderTest, ListFormCountsValuesThatAreNoCountAndBooleanEntries) {
  Record record = recordOf("text:abc\nempty:\nneg:-2\nflags:2\nyes\nNo\nflag:no\nsingle: 2\n");
  RecordScope scope(record);
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
  Record record = recordOf("k: 1\nkk: 2\nk:3\nk : 4\n\nother: k\n");
  RecordScope scope(record);
  removeProperty(record, "k");
  EXPECT_THAT(linesOf(record), ElementsAre("kk: 2", "k : 4", "", "other: k"));
  addProperty(record, "k", "new");
  EXPECT_EQ(record.count, 5);
  EXPECT_STREQ(record.lines[4], "k: new");
}

// ---------------------------------------------------------------------------------------
// Record handlers

TEST_F(ReaderTest, RequiredAndOptionalPropertiesReadOrEndTheRun) {
  Record record = recordOf("name: a1\ntype: 2\nshare: 0.25\nflag: yes\n");
  RecordScope scope(record);
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

  EXPECT_THROW(requireInt(context, "cycles"), RunExit);
  EXPECT_EQ(messages(), fatalBlock("When reading data for \"a1\" of type \"Agent\" from file "
                                   "\"Assembly.in\", KARVO encountered the following error in "
                                   "reading the data for property \"cycles\":\nThe property is "
                                   "not defined."));
  // A bad value of an optional property ends the run too.
  Record bad = recordOf("bad: x\n");
  RecordScope badScope(bad);
  DefinitionContext badContext{&bad, "Assembly.in", "Agent"};
  clearMessages();
  EXPECT_THROW(optionalDouble(badContext, "bad", 1.0), RunExit);
  EXPECT_EQ(messages(), fatalBlock("When reading data for \"Name not defined\" of type \"Agent\" "
                                   "from file \"Assembly.in\", KARVO encountered the following "
                                   "error in reading the data for property \"bad\":\nThe read "
                                   "value \"x\" could not be converted into a double."));
}

TEST_F(ReaderTest, RangeChecksEndTheRunWithTheirMessages) {
  DefinitionContext context{nullptr, "Assembly.in", "Agent", "a1"};
  EXPECT_THROW(checkIntRange(context, "type", 5, 0, 4), RunExit);
  EXPECT_EQ(messages(), fatalBlock(rangeError("type", "a1", "Agent", "Assembly.in", 5, 0, 4)));
  EXPECT_THROW(checkRealRange(context, "share", std::nan(""), 0.0, 1.0), RunExit);
  EXPECT_THROW(checkMinimum(context, "cycles", 0, 1), RunExit);
  // A missing record reads as an empty one.
  EXPECT_THROW(requireString(context, "name"), RunExit);
}

// ---------------------------------------------------------------------------------------
// Files and versions

TEST_F(ReaderTest, UnopenableDefinitionFileEndsTheRunWithBothTexts) {
  const std::string missing = dir_.file("Missing.in");
  EXPECT_THROW(openDefinitionFile(missing), RunExit);
  EXPECT_EQ(messages(), "\n\n\tError in attempting to read file:\n\t" + missing +
                            "\n\n\tError message received: No such file or directory\n"
                            "*ERROR\n\tExiting.\n\nRun exiting due to an error\n");

  clearMessages();
  EXPECT_THROW(openDefinitionFile(dir_.path()), RunExit);
  EXPECT_EQ(messages(), "\n\n\tError in attempting to read file:\n\t" + dir_.path() +
                            "\n\n\tError message received: Is a directory\n"
                            "*ERROR\n\tExiting.\n\nRun exiting due to an error\n");
}

TEST_F(ReaderTest, VersionCheckWarnsOnlyForOtherVersions) {
  for (const char* accepted : {"2019.00", "2019.01", "2019.02", "2019.02.4"}) {
    checkInputVersion(accepted);
  }
  Record noVersion = recordOf("other: 1\n");
  RecordScope noVersionScope(noVersion);
  checkTypeRecord(noVersion, "Assembly.in");
  EXPECT_EQ(messages(), "");

  Record record = recordOf("version: 2020.01.7\n");
  RecordScope scope(record);
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
