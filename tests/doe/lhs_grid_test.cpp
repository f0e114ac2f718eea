// The space-filling arrays put their designs on each variable's grid: the grid rule (a Latin
// hypercube run through the real karvo binary: doe_run_test, DesignFolders).
#include <gtest/gtest.h>

#include "definitions/representation.h"
#include "doe/doe_study.h"

namespace karvo {
namespace {

TEST(DoeGrid, NearestGridValueWithinTheFactorRange) {
  VariableSlot slot;
  slot.kind = kSlotContinuous;
  slot.lower = 0.0;
  slot.upper = 10.0;
  slot.resolution = 11;  // 0, 1, ..., 10
  EXPECT_EQ(doe::doeGridValue(slot, 6.4, 0, 10), 6.0);
  EXPECT_EQ(doe::doeGridValue(slot, 9.7, 0, 10), 10.0);
  // The nearest grid value lies outside the factor's range: the nearest one inside it.
  EXPECT_EQ(doe::doeGridValue(slot, 2.6, 2.5, 7.5), 3.0);
  EXPECT_EQ(doe::doeGridValue(slot, 7.49, 7.5, 2.5), 7.0);
  // No grid value within the range: the value stays.
  EXPECT_EQ(doe::doeGridValue(slot, 4.6, 4.2, 4.8), 4.6);
  // 2^3 values, x = lower + span k / 8.
  slot.resolutionMode = kResolutionBits;
  slot.resolution = 3;
  EXPECT_EQ(doe::doeGridValue(slot, 3.6, 0, 10), 3.75);
}

}  // namespace
}  // namespace karvo
