// Message layout and routing, the common error exit and the file handles.
#include "base/binary_stamp.h"
#include "base/messages.h"
#include "base/run_exit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/memory.h"
#include "base/run_state.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// The message file of each test, wrapped at the width of a real run (110 columns).
class MessageFileTest : public testing::MessageCaptureTest {
 protected:
  MessageFileTest() : MessageCaptureTest("karvo-messages", 110) {}
};

TEST_F(MessageFileTest, EveryHeaderWord) {
  writeMessage("outptr", "error", "e");
  writeMessage("outptr", "internal error", "i");
  writeMessage("outptr", "note", "n");
  writeMessage("outptr", "output", "o");
  writeMessage("outptr", "something", "x");
  writeMessage("outptr", "warning", "a\n\nb");  // blank lines collapse
  writeMessage("outptr", "none", "\n\tSearch parameter\n");  // newlines at the ends dropped
  const std::string word(300, 'x');
  writeMessage("outptr", "none", word);  // a long word is never broken
  EXPECT_EQ(messages(), "*ERROR\ne\n\n*INTERNAL ERROR\ni\n\n*NOTE\nn\n\n*OUTPUT\no\n\nx\n\n"
                        "*WARNING\na\nb\n\n\tSearch parameter\n" + word + "\n");
}

TEST_F(MessageFileTest, LongLineBreaksAtFirstBlankAfterColumn110) {
  std::string text;
  for (int i = 0; i < 115; ++i) text += (i ? " " : "") + std::string(1, 'a' + i % 26);
  writeMessage("outptr", "none", text);
  // 111 characters are written before the column counter exceeds 110; the blank at index 111
  // stays at the end of the first line, and the second line breaks the same way.
  ASSERT_EQ(text.size(), 229u);
  EXPECT_EQ(messages(),
            text.substr(0, 112) + "\n" + text.substr(112, 112) + "\n" + text.substr(224) + "\n");
}

TEST_F(MessageFileTest, TextLongerThanMessageBufferIsWrittenWhole) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "word ";
  text += "end";
  writeMessage("outptr", "none", text);
  std::string written = messages();
  std::string joined;
  for (char c : written) {
    if (c != '\n') joined += c;
  }
  EXPECT_EQ(joined, text);
  EXPECT_GT(text.size(), 2048u);
}

TEST_F(MessageFileTest, ImpliedSeverityTakesHeaderFromPrefix) {
  writeMessage("outptr", "implied", "WARNING: disk almost full");
  writeMessage("outptr", "implied", "plain text");
  writeMessage("outptr", "implied", "ERROR:");  // nothing follows: not recognised
  writeMessage("outptr", "implied", "OUTPUT:");  // recognised as the whole text
  // A prefix in the middle starts a new block without the prefix.
  writeMessage("outptr", "implied", "NOTE: first\nWARNING: second\nthird");
  EXPECT_EQ(messages(),
            "*WARNING\nWARNING: disk almost full\n\n*ERROR\nplain text\n\n*ERROR\nERROR:\n\n"
            "*OUTPUT\nOUTPUT:\n\n*NOTE\nNOTE: first\n*WARNING\n second\nthird\n\n");
}

TEST_F(MessageFileTest, EveryDestinationGetsTheWholeBlock) {
  CaptureStdout();
  CaptureStderr();
  writeMessage("outptr|stdout", "none", "no header");
  writeMessage("outptr|stdout", "note", "with header");
  writeMessage("outptr|stderr", "error", "bad");
  // An unknown destination goes to both standard streams, not to the file.
  writeMessage("screen", "note", "lost?");
  const std::string unknown =
      "*ERROR\nInternal error in writing out a message. Could not identify the media type "
      "requested (screen).\nThe message being output was:\nlost?";
  EXPECT_EQ(GetCapturedStdout(), "no header\n*NOTE\nwith header\n\n" + unknown);
  EXPECT_EQ(GetCapturedStderr(), "*ERROR\nbad\n\n" + unknown);
  EXPECT_EQ(messages(), "no header\n*NOTE\nwith header\n\n*ERROR\nbad\n\n");
}

TEST_F(MessageFileTest, NotesAreDroppedInCheckPerformanceMode) {
  run.settings.checkPerformanceMode = 1;
  CaptureStdout();
  writeMessage("outptr|stdout", "note", "quiet");
  writeMessage("outptr", "warning", "loud");
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(messages(), "*WARNING\nloud\n\n");
}

std::string logFolder;
// How many of this process's descriptors are open on `path`.
int descriptorsOn(const std::string& path) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code linkError;
    if (std::filesystem::read_symlink(entry.path(), linkError) == path) ++count;
  }
  return count;
}

// Logs in one folder per design, as a batch writes them: "<dir>/<design>/<analysis>.log".
std::string designFolderLogPath(int design, const std::string& analysis) {
  return logFolder + "/" + std::to_string(design) + "/" +
         (analysis.empty() ? "design" : analysis) + ".log";
}

TEST_F(MessageFileTest, KeptOpenLogsAreWrittenThroughAndClosedByTheirDesignFolder) {
  // Without a log location, the message file takes it.
  writeMessage("analysis", "warning", "no log", 3, "solve");
  EXPECT_EQ(messages(), "*WARNING\nno log\n\n");
  clearMessages();
  logFolder = dir_.path();
  analysisLogPath = designFolderLogPath;
  for (int design : {7, 70, 8}) {
    std::filesystem::create_directories(dir_.file(std::to_string(design)));
  }
  const std::string log7 = dir_.file("7/solve.log");
  const std::string log70 = dir_.file("70/solve.log");
  keepAnalysisLogsOpen(true);
  writeMessage("analysis", "note", "first", 7, "solve");
  writeMessage("analysis", "note", "first", 70, "solve");
  writeMessage("analysis", "note", "second", 7, "solve");
  // Every message is on disk as soon as it is written: a run that dies loses none of them.
  EXPECT_EQ(testing::readFile(log7), "*NOTE\nfirst\n*NOTE\nsecond\n");
  EXPECT_EQ(descriptorsOn(log7), 1);
  EXPECT_EQ(descriptorsOn(log70), 1);

  // Design 7's folder closes its logs, not those of design 70 whose name starts alike.
  closeAnalysisLogs(dir_.file("7"));
  EXPECT_EQ(descriptorsOn(log7), 0);
  EXPECT_EQ(descriptorsOn(log70), 1);
  // A message after the close opens the log again and appends.
  writeMessage("analysis", "error", "late", 7, "solve");
  EXPECT_EQ(testing::readFile(log7), "*NOTE\nfirst\n*NOTE\nsecond\n*ERROR\nlate\n");

  keepAnalysisLogsOpen(false);
  EXPECT_EQ(descriptorsOn(log7), 0);
  EXPECT_EQ(descriptorsOn(log70), 0);
  // Outside a batch each message opens and closes its log.
  writeMessage("analysis", "none", "after the batch", 8, "");
  EXPECT_EQ(descriptorsOn(dir_.file("8/design.log")), 0);
  EXPECT_EQ(testing::readFile(dir_.file("8/design.log")), "after the batch\n");
  EXPECT_EQ(messages(), "");
}

TEST_F(MessageFileTest, ABatchWritingToMoreLogsThanAreKeptOpenLosesNoMessage) {
  logFolder = dir_.path();
  analysisLogPath = designFolderLogPath;
  const int designs = 150;
  for (int design = 1; design <= designs; ++design) {
    std::filesystem::create_directories(dir_.file(std::to_string(design)));
  }
  keepAnalysisLogsOpen(true);
  for (int round = 0; round < 2; ++round) {
    for (int design = 1; design <= designs; ++design) {
      writeMessage("analysis", "none", "round " + std::to_string(round), design, "");
    }
  }
  int open = 0;
  for (int design = 1; design <= designs; ++design) {
    open += descriptorsOn(dir_.file(std::to_string(design) + "/design.log"));
  }
  EXPECT_GT(open, 0);
  EXPECT_LT(open, designs);  // the oldest were closed to make room
  keepAnalysisLogsOpen(false);
  for (int design = 1; design <= designs; ++design) {
    EXPECT_EQ(testing::readFile(dir_.file(std::to_string(design) + "/design.log")),
              "round 0\nround 1\n")
        << design;
  }
}

TEST(MessagesWithoutFile, MessageFileWordBeforeOpeningWritesBodyToStandardError) {
  resetRunState();
  outptr = nullptr;
  CaptureStderr();
  CaptureStdout();
  writeMessage("outptr|stdout", "warning", "early");
  EXPECT_EQ(GetCapturedStderr(), "early\n");
  EXPECT_EQ(GetCapturedStdout(), "");
}

TEST_F(MessageFileTest, FatalErrorSetsStateWritesBothTextsAndUnwinds) {
  CaptureStderr();
  try {
    fatalError("Something broke.");
    FAIL() << "fatalError returned";
  } catch (const RunExit& exit) {
    EXPECT_EQ(exit.code, -123);
    EXPECT_TRUE(exit.closeRun);
  }
  EXPECT_EQ(GetCapturedStderr(), "*ERROR\nSomething broke.\n\nRun exiting due to an error\n");
  EXPECT_EQ(run.exitState, "Error");
  EXPECT_EQ(messages(), "*ERROR\nSomething broke.\n\nRun exiting due to an error\n");
}

// ----- file handles -------------------------------------------------------------------------

TEST_F(MessageFileTest, HandleMisuseIsReportedAndDoesNothing) {
  testing::writeFile(dir_.file("in.txt"), "line\n");
  FileHandle* reader = openFile(dir_.file("in.txt"), "r");
  FileHandle* writer = openFile(dir_.file("out.txt"), "w");
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);
  writeFormatted(reader, "%d", 5);
  flushFile(reader);
  EXPECT_EQ(readLine(writer), nullptr);
  closeFile(reader);
  closeFile(writer);
  const std::string in = dir_.file("in.txt");
  const std::string out = dir_.file("out.txt");
  EXPECT_EQ(messages(),
            "*ERROR\nError writing to file: " + in +
                "\nTrying to write to a file that was opened in an unsupported mode.\n\n"
                "*INTERNAL ERROR\nRequesting buffer flush for file:" + in +
                "\nThis is an invalid request since this file was opened in read only mode.\n\n"
                "*ERROR\nError reading file: " + out +
                "\nTrying to read from a file that was opened in an unsupported mode.\n\n");
  EXPECT_EQ(testing::readFile(in), "line\n");
}

TEST_F(MessageFileTest, ReadWriteAppendRewindAndNoBinaryMode) {
  FileHandle* w = openFile(dir_.file("f.txt"), "w");
  writeFormatted(w, "%s %d\n", "one", 1);
  closeFile(w);
  FileHandle* a = openFile(dir_.file("f.txt"), "a");
  writeText(a, "two");  // no final newline
  closeFile(a);
  FileHandle* r = openFile(dir_.file("f.txt"), "r");
  char* first = readLine(r);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "one 1\n");
  ffree(first);
  char* second = readLine(r);
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(second, "two");
  ffree(second);
  EXPECT_EQ(readLine(r), nullptr);
  rewindFile(r);
  char buffer[4];
  EXPECT_STREQ(readLineInto(buffer, sizeof buffer, r), "one");
  closeFile(r);
  EXPECT_EQ(openFile(dir_.file("missing/none.txt"), "r"), nullptr);
  EXPECT_EQ(messages(), "");
  EXPECT_EQ(openFile(dir_.file("x.bin"), "wb"), nullptr);
  EXPECT_EQ(messages(), "*WARNING\nError opening file: " + dir_.file("x.bin") +
                            "\nUsing the incorrect function to open the file.\n\n");
}

// ----- verified stamp -----------------------------------------------------------------------

TEST(VerifiedStamp, SequenceAdvancesAndStampIsLittleEndianAtOffsetZero) {
  testing::TempDir dir;
  std::string name = dir.file("state.ckp");
  std::FILE* f = std::fopen(name.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const char body[] = "01234567payload";
  std::fwrite(body, 1, sizeof body - 1, f);
  int sequence = 2147483646;  // wraps to 0
  long opensBefore = binaryReopenCount;
  EXPECT_TRUE(closeWithVerifiedStamp(f, name, 0x01020304, sequence, 3));
  EXPECT_EQ(sequence, 0);
  EXPECT_GE(binaryReopenCount, opensBefore + 1);
  const std::string expected("\x04\x03\x02\x01\x00\x00\x00\x00payload", 15);
  EXPECT_EQ(testing::readFile(name), expected);

  int count = 0, readSequence = -1;
  EXPECT_TRUE(readStampVerified(name, count, readSequence, 3));
  EXPECT_EQ(count, 0x01020304);
  EXPECT_EQ(readSequence, 0);
}

TEST(VerifiedStamp, UnreadableFileReportsAfterFiftyAttempts) {
  testing::TempDir dir;
  int sequence = 5;
  CaptureStderr();
  EXPECT_FALSE(closeWithVerifiedStamp(nullptr, dir.file("absent"), 1, sequence, 1));
  EXPECT_EQ(GetCapturedStderr(), "Unable to verify correct file write of " + dir.file("absent") +
                                     " after 50 attempts!!\n");
  EXPECT_EQ(sequence, 6);
}

}  // namespace
}  // namespace karvo
