// Tests of forming-limit responses: the Keeler curve against the worked example of the study
// file documents, a user curve with its ends held, and the replaced compression side.
#include "evaluation/response_fld.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "definitions/variables.h"

namespace karvo {
namespace {

Curve curveOf(std::vector<CurvePoint> points) {
  Curve curve;
  curve.name = "flc";
  curve.points = std::move(points);
  return curve;
}

// A 1 mm sheet with n = 0.21: FLC0 = 37.43 %, F0 = ln(1.3743); the margin with an offset of
// 0.1 as the documents work it out (the response of three such points: ResponsesTest).
TEST(FormingLimit, KeelerCurveGivesTheWorkedExampleAndAUserCurveHoldsItsEnds) {
  FormingLimitCurve keeler;
  keeler.keelerPercent = keelerPlaneStrainPercent(1.0, 0.21);
  EXPECT_NEAR(keeler.keelerPercent, 37.43, 1e-12);
  const double f0 = std::log(1.3743);
  EXPECT_NEAR(formingLimitMajor(keeler, 0.0), f0, 1e-12);
  EXPECT_NEAR(formingLimitMajor(keeler, -0.1), f0 + 0.1, 1e-12);  // constant thinning
  EXPECT_NEAR(formingLimitMargin(keeler, 0.1, {-0.1, 0.0}, {0.3, 0.2}), 0.017944510578669, 1e-12);
  EXPECT_NEAR(keelerPlaneStrainPercent(2.0, 0.105), (23.3 + 28.26) / 2.0, 1e-12);

  const Curve user = curveOf({{-0.2, 0.5, 1.0}, {0.0, 0.3, 1.0}, {0.2, 0.4, 1.0}});
  FormingLimitCurve curve;
  curve.kind = FldCurve::UserCurve;
  curve.curve = &user;
  EXPECT_DOUBLE_EQ(formingLimitMajor(curve, -0.1), 0.4);
  EXPECT_DOUBLE_EQ(formingLimitMajor(curve, 0.1), 0.35);
  EXPECT_DOUBLE_EQ(formingLimitMajor(curve, -0.5), 0.5);
  EXPECT_DOUBLE_EQ(formingLimitMajor(curve, 0.9), 0.4);

  curve.side = FldCompressionSide::Angle;
  curve.compSlope = std::tan(30.0 * M_PI / 180.0);
  EXPECT_DOUBLE_EQ(formingLimitMajor(curve, -0.3), 0.3 + 0.3 * curve.compSlope);
  EXPECT_DOUBLE_EQ(formingLimitMajor(curve, 0.1), 0.35);  // the tension side is the curve's

  const Curve left = curveOf({{-0.4, 0.9, 1.0}, {0.0, 0.2, 1.0}});
  curve.side = FldCompressionSide::UserCurve;
  curve.compCurve = &left;
  EXPECT_DOUBLE_EQ(formingLimitMajor(curve, -0.2), 0.55);
  EXPECT_DOUBLE_EQ(formingLimitMajor(curve, 0.0), 0.3);
  EXPECT_DOUBLE_EQ(formingLimitMargin(curve, 0.0, {-0.2, 0.1}, {0.5, 0.3}), 0.05);
}

}  // namespace
}  // namespace karvo
