// The space-filling arrays put their designs on each variable's grid, and their run tables
// show the values the runs were evaluated at: the grid rule on its own, then a Latin
// hypercube through the real karvo binary.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "definitions/representation.h"
#include "doe/doe_study.h"
#include "support/one_agent_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

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

// Two factors on a 1 mm and a 2 mm grid; f = b + h as a formula.
void writeLatinStudy(const TempDir& dir) {
  testing::writeOneAgentStudy(
      dir.path(),
      {.name = "spread", .type = "doe", .prefix = "lhs",
       .definitions = testing::kDefaultFormat + testing::continuous("b", 1, "100", "200", "300") +
                      testing::continuous("h", 2, "20", "40", "80") +
                      testing::formulaResponse("f", "b + h"),
       .representation = testing::slot("b", 1, 201) + testing::slot("h", 2, 31) +
                         "*FACTOR\nname: b\nlevels:2\n100\n300\n"
                         "*FACTOR\nname: h\nlevels:2\n20\n80\n",
       .performance = "*RESPONSE\nname: f\ntype: response\n",
       .agent = "method: DOE\nsampleMethod: OtherLHC\nnumEvals: 9\ngenRSMAfterStudy: 0\n"});
}

TEST(DoeGrid, LatinHypercubeRunsLieOnTheGridAndTheRunTableShowsTheirValues) {
  TempDir dir("karvo-lhs-grid");
  writeLatinStudy(dir);
  const auto run = testing::runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(run.status, 0) << readFile(dir.file("study.mes"));
  std::istringstream table(readFile(dir.file("DOE_0_f.out")));
  std::string line;
  for (int i = 0; i < 4; ++i) std::getline(table, line);
  ASSERT_TRUE(std::getline(table, line));
  EXPECT_EQ(line, "               A,               B,   Response");
  int runs = 0;
  while (std::getline(table, line) && !line.empty()) {
    SCOPED_TRACE(line);
    int number = 0;
    double b = 0, h = 0, f = 0;
    char comma = 0;
    std::istringstream row(line);
    ASSERT_TRUE(row >> number >> comma >> b >> comma >> h >> comma >> f);
    EXPECT_EQ(number, ++runs);
    EXPECT_EQ(b, std::round(b));              // whole millimetres
    EXPECT_EQ(h / 2, std::round(h / 2));      // steps of 2 from 20
    EXPECT_TRUE(b >= 100 && b <= 300 && h >= 20 && h <= 80);
    EXPECT_DOUBLE_EQ(f, b + h);               // evaluated at the values shown
  }
  EXPECT_EQ(runs, 9);
}

}  // namespace
}  // namespace karvo
