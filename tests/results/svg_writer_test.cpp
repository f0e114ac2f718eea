// The SVG writer's pieces that users read: round tick values and their labels, and the
// escaping that keeps every document well-formed XML.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "results/svg_writer.h"

namespace karvo {
namespace {

TEST(SvgWriter, NiceTicksCoverTheRangeWithRoundSteps) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double lo, hi;
    std::vector<double> ticks;
  };
  const std::vector<Case> cases = {
      {0, 10, {0, 2, 4, 6, 8, 10}},
      {10, 0, {0, 2, 4, 6, 8, 10}},                       // taken swapped
      {0, 1, {0, 0.2, 0.4, 0.6, 0.8, 1}},                 // exact decimals, no 0.6000000000000001
      {0.61, 0.99, {0.6, 0.7, 0.8, 0.9, 1}},             // first tick below, last above
      {0, 97, {0, 20, 40, 60, 80, 100}},
      {-3.2, 7.9, {-5, 0, 5, 10}},
      {-250, -120, {-250, -200, -150, -100}},
      {0.001, 0.003, {0.001, 0.0015, 0.002, 0.0025, 0.003}},
      {1.2e7, 4.5e7, {1e7, 2e7, 3e7, 4e7, 5e7}},
      {5, 5, {4, 4.5, 5, 5.5, 6}},                        // one value: a unit around it
      {0, 0, {-1, -0.5, 0, 0.5, 1}},
      {-0.03, -0.03, {-0.04, -0.035, -0.03, -0.025, -0.02}},
      {nan, 1, {0, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(svg::niceTicks(c.lo, c.hi), c.ticks) << c.lo << " .. " << c.hi;
  }
  EXPECT_EQ(svg::niceTicks(0, 10, 2), (std::vector<double>{0, 5, 10}));
}

TEST(SvgWriter, TickLabelsShowTheDigitsTheStepNeeds) {
  EXPECT_EQ(svg::tickLabel(0.6, 0.2), "0.6");
  EXPECT_EQ(svg::tickLabel(0.0015, 0.0005), "0.0015");
  EXPECT_EQ(svg::tickLabel(100, 20), "100");
  EXPECT_EQ(svg::tickLabel(0.5, 0.5), "0.5");
  EXPECT_EQ(svg::tickLabel(-0.0, 0.5), "0.0");    // never "-0.0"
  EXPECT_EQ(svg::tickLabel(-1e-17, 0.1), "0.0");  // rounding noise of a zero tick
  EXPECT_EQ(svg::tickLabel(-0.001, 1), "0");
  EXPECT_EQ(svg::tickLabel(2e6, 1e6), "2e+06");
  EXPECT_EQ(svg::tickLabel(3e-5, 1e-5), "3e-05");
}

TEST(SvgWriter, TextIsEscapedIntoWellFormedXml) {
  EXPECT_EQ(svg::escapeText("a<b & \"c\" 'd'>"), "a&lt;b &amp; &quot;c&quot; &apos;d&apos;&gt;");
  // Control bytes and bytes of no UTF-8 character; valid UTF-8 stays.
  EXPECT_EQ(svg::escapeText(std::string("x\x01y\xff\xc3\xa9")), "x y?\xc3\xa9");
  // (The documents the plots write are read back by python3's XML parser: plots_test.)
}

}  // namespace
}  // namespace karvo
