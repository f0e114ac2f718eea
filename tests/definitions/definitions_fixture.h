// Test fixture for the readers of "Definitions.in": a study folder in a temporary directory
// as the working directory, a message file open as "outptr" (unwrapped texts), and empty
// definition tables before and after every test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "definitions/print_formats.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "support/test_support.h"

namespace karvo::testing {

// What a fatal error leaves in the message file for a text that needs no wrapping.
inline std::string fatalBlock(const std::string& text) {
  return "*ERROR\n" + text + "\n\nRun exiting due to an error\n";
}
inline std::string errorBlock(const std::string& text) { return "*ERROR\n" + text + "\n\n"; }
inline std::string warningBlock(const std::string& text) { return "*WARNING\n" + text + "\n\n"; }
inline std::string noteBlock(const std::string& text) { return "*NOTE\n" + text + "\n\n"; }

// The common definition error for "Definitions.in".
inline std::string definitionsError(const std::string& object, const std::string& label,
                                    const std::string& property, const std::string& reason) {
  return "When reading data for \"" + object + "\" of type \"" + label +
         "\" from file \"Definitions.in\", KARVO encountered the following error in reading "
         "the data for property \"" + property + "\":\n" + reason;
}

class DefinitionsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunState();
    run.workingDirectory = dir_.path();
    savedWrapWidth_ = messageWrapWidth;
    messageWrapWidth = 1000000;  // texts are compared unwrapped
    outptr = openFile(dir_.file("study.mes"), "w");
    ASSERT_NE(outptr, nullptr);
    resetAll();
  }

  void TearDown() override {
    if (outptr) closeFile(outptr);
    outptr = nullptr;
    messageWrapWidth = savedWrapWidth_;
    resetAll();
    resetRunState();
  }

  static void resetAll() {
    resetDefinitions();
    resetPrintFormats();
    resetResources();
    resetResponseDefinitions();
  }

  // Writes "Definitions.in" and reads it.
  void read(const std::string& content) {
    writeFile(dir_.file("Definitions.in"), content);
    readDefinitions();
  }

  // Reads `content`, expects the run to end, and answers the message file.
  // Messages written before are cleared first.
  std::string readFatal(const std::string& content) {
    clearMessages();
    EXPECT_THROW(read(content), RunExit);
    return messages();
  }

  std::string messages() {
    flushFile(outptr);
    return readFile(dir_.file("study.mes"));
  }

  void clearMessages() {
    flushFile(outptr);
    writeFile(dir_.file("study.mes"), "");
    std::rewind(outptr->stream);
  }

  TempDir dir_;
  int savedWrapWidth_ = 0;
};

}  // namespace karvo::testing
