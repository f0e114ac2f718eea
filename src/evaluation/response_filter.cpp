// Filter responses: point average and the CFC Butterworth filter of a response's values.
// Signals are crash-test channels of up to some hundred thousand samples, filtered once per
// design; both filters are linear in the signal length (the point average times numPts).
#include "evaluation/response_filter.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "base/messages.h"
#include "evaluation/response_curvefit.h"
#include "evaluation/tagging.h"

namespace karvo {

namespace {

// Values whose mean starts the state of a pass.
constexpr std::size_t kStateStartValues = 10;
// Least and most padding before the signal length limits it.
constexpr double kPaddingSeconds = 0.01;
constexpr double kLeastPadding = 100.0;

// Design frequency (Hz) of CFC class `cutoff`: 100 Hz for CFC 60, 300 Hz for CFC 180.
double designFrequency(int cutoff) { return cutoff * 5.0 / 3.0; }

// One pass of the second-order section over `x`, in place, with the state started at the
// mean of the first kStateStartValues values.
void filterPass(std::vector<double>& x, double a0, double a1, double a2, double b1, double b2) {
  const std::size_t start = std::min(kStateStartValues, x.size());
  double mean = 0.0;
  for (std::size_t i = 0; i < start; ++i) mean += x[i];
  if (start > 0) mean /= static_cast<double>(start);
  double x1 = mean, x2 = mean, y1 = mean, y2 = mean;
  for (double& value : x) {
    const double in = value;
    const double out = a0 * in + a1 * x1 + a2 * x2 + b1 * y1 + b2 * y2;
    x2 = x1;
    x1 = in;
    y2 = y1;
    y1 = out;
    value = out;
  }
}

}  // namespace

std::vector<double> pointAverage(const std::vector<double>& signal, int numPts) {
  const long n = static_cast<long>(signal.size());
  const long back = std::max(numPts - 1, 0) / 2;
  const long ahead = std::max(numPts, 1) / 2;
  std::vector<double> out(signal.size());
  for (long i = 0; i < n; ++i) {
    const long first = std::max(i - back, 0L);
    const long last = std::min(i + ahead, n - 1);
    double sum = 0.0;
    for (long k = first; k <= last; ++k) sum += signal[static_cast<std::size_t>(k)];
    out[static_cast<std::size_t>(i)] = sum / static_cast<double>(last - first + 1);
  }
  return out;
}

std::size_t cfcPaddingCount(std::size_t count, double interval) {
  if (count == 0) return 0;
  // The small allowance keeps 0.01 / 1e-4 at 100 although it computes as 99.999...
  double wanted = kLeastPadding;
  if (interval > 0.0) wanted = std::max(std::floor(kPaddingSeconds / interval * (1.0 + 1e-12)),
                                        kLeastPadding);
  // Compared before the conversion: a time step near 0 asks for more than any signal holds.
  const double most = static_cast<double>(count - 1);
  return wanted < most ? static_cast<std::size_t>(wanted) : count - 1;
}

double cfcLargestInterval(int cutoff) { return 0.5 / (designFrequency(cutoff) * 1.25); }

std::vector<double> cfcFilter(const std::vector<double>& signal, double interval, int cutoff) {
  const std::size_t n = signal.size();
  if (n == 0) return {};
  const std::size_t m = cfcPaddingCount(n, interval);

  std::vector<double> padded;
  padded.reserve(n + 2 * m);
  for (std::size_t i = m; i >= 1; --i) padded.push_back(2.0 * signal[0] - signal[i]);
  padded.insert(padded.end(), signal.begin(), signal.end());
  for (std::size_t i = 1; i <= m; ++i) padded.push_back(2.0 * signal[n - 1] - signal[n - 1 - i]);

  const double w = std::tan(designFrequency(cutoff) * 1.25 * 2.0 * std::numbers::pi * interval /
                            2.0);
  const double root2 = std::numbers::sqrt2;
  const double d = 1.0 + root2 * w + w * w;
  const double a0 = w * w / d;
  const double a1 = 2.0 * a0;
  const double a2 = a0;
  const double b1 = -2.0 * (w * w - 1.0) / d;
  const double b2 = (-1.0 + root2 * w - w * w) / d;

  filterPass(padded, a0, a1, a2, b1, b2);
  std::reverse(padded.begin(), padded.end());
  filterPass(padded, a0, a1, a2, b1, b2);
  std::reverse(padded.begin(), padded.end());
  return std::vector<double>(padded.begin() + static_cast<long>(m),
                             padded.begin() + static_cast<long>(m + n));
}

bool evaluateFilterResponse(const ResponseDefinition& response,
                            const EvaluationContext& context, std::vector<double>& values) {
  values.clear();
  const FilterData& filter = response.filter;
  auto fail = [&](const std::string& text) {
    writeMessage("analysis", "error", text, context.designNumber, context.analysisName);
    return false;
  };
  const VariableValues source = variableValues(filter.source, context);
  if (!source.ok || source.count() == 0) {
    return fail(formatText("%s\nThe data for the response to be filtered \"%s\" is not "
                           "available.",
                           responseErrorHead(response.name).c_str(), filter.source.c_str()));
  }
  bool numeric = !source.isText;
  for (double value : source.numbers) numeric = numeric && std::isfinite(value);
  if (!numeric) {
    return fail(formatText("Error in evaluating response \"%s\". The data for response to be "
                           "filtered \"%s\" resulted in non-numeric data.",
                           response.name.c_str(), filter.source.c_str()));
  }
  if (filter.filterType == 2) {
    if (filter.numPts < 1) {
      return fail(formatText("%s\nThe number of points averaged (\"numPts\", %d) must be at "
                             "least 1.",
                             responseErrorHead(response.name).c_str(), filter.numPts));
    }
    values = pointAverage(source.numbers, filter.numPts);
    return true;
  }
  if (filter.cutoff != 60 && filter.cutoff != 180) {
    return fail(formatText("%s\nCutoff frequency can only be 60hz or 180hz. Found %d.",
                           responseErrorHead(response.name).c_str(), filter.cutoff));
  }
  const double largest = cfcLargestInterval(filter.cutoff);
  if (!(filter.interval > 0.0 && filter.interval < largest)) {
    return fail(formatText("%s\nThe time step of the signal (\"interval\", %g s) must be greater "
                           "than 0 and less than %g s for the CFC %d filter.",
                           responseErrorHead(response.name).c_str(), filter.interval, largest,
                           filter.cutoff));
  }
  values = cfcFilter(source.numbers, filter.interval, filter.cutoff);
  return true;
}

}  // namespace karvo
