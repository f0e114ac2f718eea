// A fixture for the tests of the study-file readers and of what is built on their tables: the
// message file of MessageCaptureTest, and every run-wide table of the study files emptied
// before and after each test.
#pragma once

#include <string>

#include "definitions/performance_file.h"
#include "definitions/print_formats.h"
#include "definitions/process_file.h"
#include "definitions/representation.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "support/message_capture.h"

namespace karvo::testing {

class StudyFilesTest : public MessageCaptureTest {
 protected:
  explicit StudyFilesTest(const std::string& prefix = "karvo-study") : MessageCaptureTest(prefix) {}

  void SetUp() override;
  void TearDown() override;

  // Empties the tables of the study files (not the run state).
  static void resetAll();

  // Writes "Definitions.in" and reads it.
  void read(const std::string& content);
  // Writes "Definitions.in", reads it and forgets its messages.
  void definitionsWith(const std::string& content);
  // Reads `content`, which must end the run, and answers the messages it wrote.
  std::string readFatal(const std::string& content);
};

}  // namespace karvo::testing
