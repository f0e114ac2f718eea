// Tests of the method table: one entry per method code in code order, each with its word,
// family, reader and runner, completion steps where a method has one, and the exact note that
// the runners of methods not in this build write (once per search agent, in the first cycle).
#include "driver/method_table.h"

#include <gtest/gtest.h>

#include <string>

#include "definitions/study.h"
#include "doe/doe_turn.h"
#include "evaluation/evaluation_flow.h"
#include "reliability/reliability_turn.h"
#include "search/search_turn.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

// The words of the codes are pinned by the method settings test, which reads a record of each.
TEST(MethodTable, OneEntryPerCodeWithItsFamilyReaderAndRunner) {
  const std::span<const MethodEntry> table = methodTable();
  ASSERT_EQ(table.size(), static_cast<std::size_t>(kMethodCount));
  for (int code = 0; code < kMethodCount; ++code) {
    SCOPED_TRACE(methodWord(code));
    const MethodEntry& entry = table[code];
    EXPECT_EQ(entry.code, code);  // code order, so each code once
    EXPECT_EQ(findMethodEntry(table, code), &entry);
    EXPECT_STREQ(entry.word, methodWord(code));
    const bool doe = code == kMethodDoe || code == kMethodDesignSweep ||
                     code == kMethodRobustDesign;
    const bool sampling = code == kMethodRobustness || code == kMethodReliability;
    EXPECT_EQ(entry.family, doe ? kFamilyDoe : sampling ? kFamilyReliability : kFamilySearch);
    EXPECT_NE(entry.readSettings, nullptr);
    // Only TOLMAR, MS, MOTOLMAR and NSGA are completed once the run is known.
    EXPECT_EQ(entry.completeSettings != nullptr,
              code == kMethodTolmar || code == kMethodMultiStart ||
                  code == kMethodParetoTolmar || code == kMethodNsga);
    EXPECT_NE(entry.runCycle, nullptr);
  }
  EXPECT_EQ(findMethodEntry(table, -1), nullptr);
  EXPECT_EQ(findMethodEntry(table, kMethodCount), nullptr);
}

class UnavailableRunners : public testing::MessageCaptureTest {
 protected:
  static Agent agentOf(int number, const char* name, int type, int code) {
    Agent agent;
    agent.number = number;
    agent.name = name;
    agent.type = type;
    agent.method.code = code;
    agent.method.sampling.kind = kSamplingMonteCarlo;
    return agent;
  }

  EvaluationServices services_;
};

TEST_F(UnavailableRunners, StudyRunnersWriteTheNoteInTheirTurn) {
  run.currentCycle = 0;
  Agent doe = agentOf(0, "plan", kAgentDoe, kMethodRobustDesign);
  doe::runUnavailableStudy(doe, services_);
  Agent sampling = agentOf(1, "scatter", kAgentReliability, kMethodReliability);
  reliability::runSamplingStudy(sampling, services_);
  EXPECT_EQ(messages(),
            "*NOTE\nAgent 0 (\"plan\"): doe runs with the RobustParameterDesign method are not "
            "available in this build of the solver. The agent does not evaluate any design.\n\n"
            "*NOTE\nAgent 1 (\"scatter\"): reliability and robustness runs with the reliability "
            "method are not available in this build of the solver. The agent does not evaluate "
            "any design.\n\n");
}

}  // namespace
}  // namespace karvo
