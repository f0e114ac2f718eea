// Tests of the method table: one entry per method code in code order, each with its word,
// family, reader and runner, and completion steps where a method has one.
#include "driver/method_table.h"

#include <gtest/gtest.h>

#include <string>

#include "definitions/study.h"
#include "search/search_turn.h"

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

}  // namespace
}  // namespace karvo
