// Filter responses: another response's values, taken as a signal sampled at equal steps,
// smoothed by a point average or by the channel-frequency-class (CFC) Butterworth filter of
// crash-test data processing.
//
// Point average (filterType 2): each value becomes the mean of a window of numPts values
// centred on it, (numPts - 1) / 2 values back and numPts / 2 values ahead (integer division:
// an even window reaches one value further ahead than back). At the ends of the signal the
// window is cut to the values that exist, so the first value is the mean of itself and the
// values just after it. A window longer than the signal averages what it holds.
//
// CFC Butterworth (filterType 1): a second-order low-pass section run forward and then
// backward over the signal (zero phase, fourth order in effect):
//   design frequency f = 100 Hz for CFC 60, 300 Hz for CFC 180 (f = CFC * 5 / 3);
//   w  = tan(f * 1.25 * 2 pi * dt / 2),  D = 1 + sqrt(2) w + w^2;
//   a0 = w^2 / D, a1 = 2 a0, a2 = a0;  b1 = -2 (w^2 - 1) / D,  b2 = (-1 + sqrt(2) w - w^2) / D;
//   y[i] = a0 x[i] + a1 x[i-1] + a2 x[i-2] + b1 y[i-1] + b2 y[i-2].
// Before filtering, the signal of n values is padded at both ends with
// m = min(max(floor(0.01 / dt), 100), n - 1) values mirrored through the end values
// (2 x[0] - x[i] before the start, 2 x[n-1] - x[n-1-i] after the end, i = 1..m). Each pass
// starts with its state (the two previous inputs and outputs) at the mean of the first 10
// values it reads (all of them when fewer), so that a signal that does not start at zero
// does not ring. The padding is dropped from the result.
// A time step at or above cfcLargestInterval is refused: the tangent turns negative there and
// the section would amplify the signal instead of smoothing it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "definitions/response_definitions.h"

namespace karvo {

struct EvaluationContext;

// The point average of `signal` with a centred window of `numPts` (>= 1) values: value i is
// the mean of the values from i - (numPts - 1) / 2 to i + numPts / 2 that exist (an even
// window reaches one value further ahead than back).
std::vector<double> pointAverage(const std::vector<double>& signal, int numPts);

// The number of mirrored values added at each end for `count` values sampled every
// `interval` seconds: min(max(floor(0.01 / interval), 100), count - 1); 0 for an empty signal
// (an interval that is not positive counts as asking for 100).
std::size_t cfcPaddingCount(std::size_t count, double interval);

// The largest time step (seconds) at which the CFC class `cutoff` can be filtered: the
// section's tangent needs f * 1.25 * dt < 0.5.
double cfcLargestInterval(int cutoff);

// The CFC filter (`cutoff` 60 or 180) of `signal` sampled every `interval` seconds
// (0 < interval < cfcLargestInterval(cutoff)). Pure; an empty signal gives an empty result.
std::vector<double> cfcFilter(const std::vector<double>& signal, double interval, int cutoff);

// The filter response `response` for the design of `context`: filters the values of the
// response named by "filter" (which must be numeric and finite). Messages go to the analysis
// log of the context. Answers true with the filtered values; false with none.
bool evaluateFilterResponse(const ResponseDefinition& response,
                            const EvaluationContext& context, std::vector<double>& values);

}  // namespace karvo
