#include "support/study_files_fixture.h"

#include "evaluation/agent_results.h"

namespace karvo::testing {

void StudyFilesTest::SetUp() {
  resetAll();
  MessageCaptureTest::SetUp();
}

void StudyFilesTest::TearDown() {
  MessageCaptureTest::TearDown();
  resetAll();
}

void StudyFilesTest::resetAll() {
  resetStudy();
  resetDefinitions();
  resetPrintFormats();
  resetResources();
  resetResponseDefinitions();
  resetProcesses();
  resetRepresentations();
  resetPerformances();
  resetAgentResults();
}

void StudyFilesTest::read(const std::string& content) {
  writeFile(dir_.file("Definitions.in"), content);
  readDefinitions();
}

void StudyFilesTest::definitionsWith(const std::string& content) {
  read(content);
  clearMessages();
}

std::string StudyFilesTest::readFatal(const std::string& content) {
  return failureOf([&] { read(content); });
}

}  // namespace karvo::testing
