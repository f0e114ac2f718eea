// A fixture for the tests of the study-file readers: a temporary working directory, an open
// message file, every run-wide table emptied before and after each test, and the helpers that
// compare message-file text.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "definitions/process_file.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "support/test_support.h"

namespace karvo::testing {

class StudyFilesTest : public ::testing::Test {
 protected:
  explicit StudyFilesTest(const char* prefix) : dir_(prefix) {}

  void SetUp() override {
    resetTables();
    run.workingDirectory = dir_.path();
    savedWrapWidth_ = messageWrapWidth;
    messageWrapWidth = 1000000;  // one line per message: texts compare whole
    outptr = openFile(dir_.file("study.mes"), "w");
    ASSERT_NE(outptr, nullptr);
  }

  void TearDown() override {
    if (outptr) closeFile(outptr);
    outptr = nullptr;
    messageWrapWidth = savedWrapWidth_;
    resetTables();
  }

  static void resetTables() {
    resetRunState();
    resetStudy();
    resetDefinitions();
    resetResources();
    resetResponseDefinitions();
    resetProcesses();
    resetRepresentations();
    resetPerformances();
  }

  // Writes "Definitions.in", reads it and forgets its messages.
  void definitionsWith(const std::string& text) {
    writeFile(dir_.file("Definitions.in"), text);
    readDefinitions();
    clearMessages();
  }

  void clearMessages() {
    flushFile(outptr);
    writeFile(dir_.file("study.mes"), "");
    std::rewind(outptr->stream);
  }

  std::string messages() {
    flushFile(outptr);
    return readFile(dir_.file("study.mes"));
  }

  // What writeMessage makes of `text` in the message file.
  std::string rendered(const char* severity, const std::string& text) {
    FileHandle* saved = outptr;
    outptr = openFile(dir_.file("scratch.mes"), "w");
    writeMessage("outptr", severity, text);
    closeFile(outptr);
    outptr = saved;
    return readFile(dir_.file("scratch.mes"));
  }

  // The message file after a fatal error with `text`.
  std::string fatalOutput(const std::string& text) {
    return rendered("error", text) + rendered("none", "Run exiting due to an error");
  }

  // Runs `action`, which must end the run, and answers the message file.
  std::string failureOf(const std::function<void()>& action) {
    clearMessages();
    EXPECT_THROW(action(), RunExit);
    return messages();
  }

  TempDir dir_;
  int savedWrapWidth_ = 110;
};

}  // namespace karvo::testing
