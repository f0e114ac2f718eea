// A check-setup run evaluates the baseline design once: however many cycles the method plans
// (TOLMAR with 200 evaluations plans dozens), the run has one cycle, with one progress line
// and one end-of-cycle mark.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/study_runs.h"

namespace karvo {
namespace {

using namespace karvo::testing;

TEST(CheckSetupCycles, OneProgressLineAndOneEndOfCycle) {
  TempDir dir("karvo-check-setup");
  writeMinimalStudy(dir.path());
  const ProcessResult result = runStudy(dir, {"checksetup"});
  ASSERT_EQ(result.status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(occurrences(readFile(dir.file("study.mes")), "*** End of Cycle ***"), 1u);
  // Standard error is no terminal here: the progress line is written once per turn.
  static const std::regex progress("agent 0 \\(sizing\\)  cycle 1/1  evals 1/1  [^\n]*\n");
  EXPECT_TRUE(std::regex_match(result.err, progress)) << result.err;
}

}  // namespace
}  // namespace karvo
