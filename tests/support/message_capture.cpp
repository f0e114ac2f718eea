#include "support/message_capture.h"

#include <cstdio>


namespace karvo::testing {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string fatalBlock(const std::string& text) {
  return "*ERROR\n" + text + "\n\nRun exiting due to an error\n";
}
std::string errorBlock(const std::string& text) { return "*ERROR\n" + text + "\n\n"; }
std::string warningBlock(const std::string& text) { return "*WARNING\n" + text + "\n\n"; }
std::string noteBlock(const std::string& text) { return "*NOTE\n" + text + "\n\n"; }

std::string definitionsError(const std::string& object, const std::string& label,
                             const std::string& property, const std::string& reason) {
  return "When reading data for \"" + object + "\" of type \"" + label +
         "\" from file \"Definitions.in\", KARVO encountered the following error in reading "
         "the data for property \"" + property + "\":\n" + reason;
}

MessageCaptureTest::MessageCaptureTest(const std::string& prefix, int wrapWidth)
    : dir_(prefix), messagePath_(dir_.file("study.mes")), wrapWidth_(wrapWidth) {}

void MessageCaptureTest::SetUp() {
  resetRunState();
  run.workingDirectory = dir_.path();
  savedWrapWidth_ = messageWrapWidth;
  messageWrapWidth = wrapWidth_;
  outptr = openFile(messagePath_, "w");
  ASSERT_NE(outptr, nullptr) << messagePath_;
}

void MessageCaptureTest::TearDown() {
  if (outptr) closeFile(outptr);
  outptr = nullptr;
  analysisLogPath = nullptr;
  messageWrapWidth = savedWrapWidth_;
  resetRunState();
}

std::string MessageCaptureTest::messages() {
  if (outptr) flushFile(outptr);
  return readFile(messagePath_);
}

void MessageCaptureTest::clearMessages() {
  flushFile(outptr);
  writeFile(messagePath_, "");
  std::rewind(outptr->stream);
}

std::string MessageCaptureTest::rendered(const char* severity, const std::string& text) {
  const std::string scratch = dir_.file("scratch.mes");
  FileHandle* saved = outptr;
  outptr = openFile(scratch, "w");
  writeMessage("outptr", severity, text);
  closeFile(outptr);
  outptr = saved;
  return readFile(scratch);
}

std::string MessageCaptureTest::fatalOutput(const std::string& text) {
  return rendered("error", text) + rendered("none", "Run exiting due to an error");
}

std::string MessageCaptureTest::failureOf(const std::function<void()>& action) {
  clearMessages();
  EXPECT_THROW(action(), RunExit);
  return messages();
}

}  // namespace karvo::testing
