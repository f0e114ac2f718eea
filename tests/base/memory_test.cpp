// Tracked allocation: labels, the slot table, its full state and out-of-memory exits.
#include "base/memory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/messages.h"
#include "base/run_exit.h"
#include "base/run_state.h"

namespace karvo {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class TrackedAllocation : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunState();
    resetAllocationTracking();
    run.settings.plainFreeing = 0;
  }
  void TearDown() override {
    resetAllocationTracking();
    resetRunState();
  }
};

TEST_F(TrackedAllocation, LabelsFollowTheirAddressThroughRealloc) {
  EXPECT_EQ(fmalloc(0, "nothing"), nullptr);  // size 0: nothing, and nothing recorded
  EXPECT_EQ(trackedAllocationCount(), 0);
  char* p = static_cast<char*>(fmalloc(16, "readData"));
  EXPECT_STREQ(trackedLabel(p), "readData");
  p = static_cast<char*>(frealloc(p, 1 << 20, "readData grown"));
  EXPECT_STREQ(trackedLabel(p), "readData grown");
  EXPECT_EQ(trackedAllocationCount(), 1);
  ffree(p);
  EXPECT_EQ(trackedAllocationCount(), 0);
  EXPECT_EQ(trackedLabel(p), nullptr);
  // Plain freeing tracks nothing.
  run.settings.plainFreeing = 1;
  p = static_cast<char*>(fmalloc(8, "x"));
  EXPECT_EQ(trackedAllocationCount(), 0);
  ffree(p);
}

TEST_F(TrackedAllocation, FullTableStopsTrackingAndFreesUntrackedQuietly) {
  std::vector<void*> blocks;
  blocks.reserve(kTrackingSlots + 1);
  for (int i = 0; i < kTrackingSlots; ++i) blocks.push_back(fmalloc(1, "block"));
  EXPECT_FALSE(trackingTableFull());
  EXPECT_EQ(trackedAllocationCount(), kTrackingSlots);
  void* extra = fmalloc(1, "one too many");
  EXPECT_TRUE(trackingTableFull());
  EXPECT_EQ(trackedLabel(extra), nullptr);
  CaptureStderr();
  ffree(extra);
  for (void* p : blocks) ffree(p);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(trackedAllocationCount(), 0);
}

TEST_F(TrackedAllocation, ForeignAddressIsReportedNotReleased) {
  static int notFromFmalloc;
  void* first = fmalloc(1, "start tracking");  // the table exists from the first call on
  CaptureStderr();
  ffree(&notFromFmalloc);
  std::string err = GetCapturedStderr();
  ffree(first);
  EXPECT_EQ(err, formatText("\nFailure.  Set breakpoint here to trap culprit %p\n",
                            static_cast<void*>(&notFromFmalloc)));
}

TEST_F(TrackedAllocation, LabelOfHundredCharactersEndsTheRun) {
  std::string label(100, 'L');
  CaptureStderr();
  EXPECT_THROW(fmalloc(8, label.c_str()), RunExit);
  EXPECT_EQ(GetCapturedStderr(),
            "\n***Bad call to fmalloc. Name too long in fmalloc\nRun exiting due to an error\n");
  std::string ok(99, 'L');
  void* p = fmalloc(8, ok.c_str());
  EXPECT_EQ(trackedLabel(p), ok);
  ffree(p);
}

TEST_F(TrackedAllocation, OutOfMemoryNamesTheLabelAndEndsTheRun) {
  CaptureStderr();
  try {
    fmalloc(SIZE_MAX / 2, "huge table");
    FAIL();
  } catch (const RunExit& exit) {
    EXPECT_EQ(exit.code, -123);
  }
  // (A sanitizer may print its own warning first.)
  EXPECT_THAT(GetCapturedStderr(),
              ::testing::EndsWith("\nOut of memory in fmalloc, while mallocing data for huge "
                                  "tableOut of memory in fmalloc\nRun exiting due to an error\n"));
  EXPECT_EQ(run.exitState, "Error");
}

}  // namespace
}  // namespace karvo
