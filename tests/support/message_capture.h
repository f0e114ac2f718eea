// The message file of a test: a temporary folder as the working directory, a file in it open
// as "outptr", the run state emptied before and after each test, and the exact texts written.
// Texts are compared unwrapped (one line per message) unless a test asks for the wrap width
// of a real run.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "support/test_support.h"

namespace karvo::testing {

// The lines of `text`, without their line ends; a final line end opens no further line.
std::vector<std::string> linesOf(const std::string& text);

// What the message file holds for one message whose text needs no wrapping.
std::string fatalBlock(const std::string& text);  // the error and the run's exit line
std::string errorBlock(const std::string& text);
std::string warningBlock(const std::string& text);
std::string noteBlock(const std::string& text);

// The common definition error for "Definitions.in".
std::string definitionsError(const std::string& object, const std::string& label,
                             const std::string& property, const std::string& reason);

class MessageCaptureTest : public ::testing::Test {
 protected:
  static constexpr int kUnwrapped = 1000000;

  explicit MessageCaptureTest(const std::string& prefix = "karvo-test",
                              int wrapWidth = kUnwrapped);

  // Empties the run state, makes the folder the working directory and opens the message
  // file (messagePath_, "study.mes" in the folder unless a fixture chose another).
  void SetUp() override;
  // Closes the message file, forgets the analysis-log hook and empties the run state.
  void TearDown() override;

  // Everything written to the message file so far.
  std::string messages();
  // Empties the message file; later messages start at its beginning.
  void clearMessages();

  // What writeMessage makes of `text` in a message file, with the wrap width in force.
  std::string rendered(const char* severity, const std::string& text);
  // The message file after a fatal error with `text`.
  std::string fatalOutput(const std::string& text);
  // Runs `action`, which must end the run, and answers the messages it wrote.
  std::string failureOf(const std::function<void()>& action);

  TempDir dir_;
  std::string messagePath_;

 private:
  int wrapWidth_;
  int savedWrapWidth_ = 0;
};

}  // namespace karvo::testing
