// Forming-limit (FLD) responses: how far the strains of a formed sheet lie below its
// forming-limit curve. The response names two lists of equal length, the minor and the major
// true strains of the points (elements) of the part; its value is one number, the smallest
// margin over the points:
//
//   margin = min over i of ( limit(minor_i) - curveOffset - major_i )
//
// positive when every point lies below the curve lowered by the safety offset, negative by
// how far the worst point lies above it. All strains are true (logarithmic) strains.
//
// The curve, limit(e2) for the minor strain e2:
//   Keeler   the plane-strain limit FLC0 = (23.3 + 14.13 t) n / 0.21 percent engineering
//            major strain (t the thickness in mm, n the strain-hardening exponent), taken as
//            the true strain F0 = ln(1 + FLC0 / 100). For e2 >= 0 the engineering major limit
//            rises by 0.6 per unit of engineering minor strain: limit = ln(1 + FLC0/100 +
//            0.6 (exp(e2) - 1)). For e2 < 0 the line of constant thinning: limit = F0 - e2.
//   Curve    the `*DEFINE_CURVE` tensileCurve (X minor, Y major), linear between its points;
//            beyond its first or last point the end value holds.
// The compression side (e2 < 0) can be replaced (compType): "Angle", a line from limit(0)
// rising at compAngle degrees as the minor strain falls, limit = limit(0) + |e2| tan(angle);
// "Curve", the `*DEFINE_CURVE` compCurve, read as tensileCurve is.
// A few hundred to a few hundred thousand points per design; one pass over them.
#pragma once

#include <string>
#include <vector>

#include "definitions/response_definitions.h"

namespace karvo {

struct Curve;
struct EvaluationContext;

// The Keeler plane-strain limit FLC0 in percent engineering strain for thickness `t` (mm)
// and hardening exponent `n`.
double keelerPlaneStrainPercent(double thickness, double hardening);

// The curve of one response, its numbers resolved for one design.
struct FormingLimitCurve {
  FldCurve kind = FldCurve::Keeler;
  double keelerPercent = 0.0;             // FLC0 (%), Keeler only
  const Curve* curve = nullptr;           // tensileCurve, UserCurve only
  FldCompressionSide side = FldCompressionSide::Own;
  double compSlope = 0.0;                 // tan(compAngle), side Angle only
  const Curve* compCurve = nullptr;       // compCurve, side UserCurve only
};

// The limit major strain (true) at minor strain `minor`.
double formingLimitMajor(const FormingLimitCurve& curve, double minor);

// The margin of the points (`minor`, `major`, equal lengths, at least one, finite) to `curve`
// lowered by `offset`.
double formingLimitMargin(const FormingLimitCurve& curve, double offset,
                          const std::vector<double>& minor, const std::vector<double>& major);

// The FLD response `response` for the design of `context`: one value, the margin. A failure
// (strains or thickness without numeric data, lists of different lengths, a curve that is
// not defined) is logged as an error in the analysis log of the context and answers false.
bool evaluateFormingLimitResponse(const ResponseDefinition& response,
                                  const EvaluationContext& context, std::vector<double>& values);

}  // namespace karvo
