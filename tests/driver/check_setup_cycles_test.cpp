// A check-setup run evaluates the baseline design once: however many cycles the method plans
// (TOLMAR with 200 evaluations plans dozens), the run has one cycle, with one progress line
// and one end-of-cycle mark.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/test_support.h"

namespace karvo {
namespace {

using testing::readFile;
using testing::TempDir;

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(CheckSetupCycles, OneProgressLineAndOneEndOfCycle) {
  TempDir dir("karvo-check-setup");
  testing::writeMinimalStudy(dir.path());
  const testing::ProcessResult result =
      testing::runKarvo({"i=study.in", "checksetup"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(result.status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(occurrences(readFile(dir.file("study.mes")), "*** End of Cycle ***"), 1u);
  // Standard error is no terminal here: the progress line is written once per turn.
  static const std::regex progress("agent 0 \\(sizing\\)  cycle 1/1  evals 1/1  [^\n]*\n");
  EXPECT_TRUE(std::regex_match(result.err, progress)) << result.err;
}

}  // namespace
}  // namespace karvo
