// The plots of the plot command: from an agent's history table to SVG documents. A plot
// holds at most one mark per stored design, so a document is built in one pass and kept as a
// string.
#include "results/plots.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <set>

#include "base/messages.h"
#include "definitions/performance_file.h"
#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "evaluation/performance.h"
#include "reliability/reliability_math.h"
#include "results/svg_writer.h"
#include "search/pareto_file.h"

namespace karvo::plots {

namespace {

constexpr double kWidth = 720;    // pixels of a single-frame plot
constexpr double kHeight = 480;
constexpr double kLeft = 90;      // frame position inside it
constexpr double kTop = 60;
constexpr double kFrameWidth = 600;
constexpr double kFrameHeight = 340;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

void drawTitle(svg::Document& document, const std::string& title) {
  svg::drawText(document, document.width / 2, 28, title, "middle", 16, 0, "bold");
}

// A legend entry in the band under the title: a sample mark is drawn by the caller at
// (x - 10, 47); answers the x of the next entry.
double legendText(svg::Document& document, double x, const std::string& text) {
  svg::drawText(document, x, 51, text, "start", 11);
  return x + 20 + 6.5 * static_cast<double>(text.size());
}

// The range of the finite values of `values`; {0, 1} when there are none.
std::pair<double, double> rangeOf(const std::vector<double>& values) {
  double lo = std::numeric_limits<double>::infinity();
  double hi = -lo;
  for (double v : values) {
    if (!std::isfinite(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  if (lo > hi) return {0.0, 1.0};
  return {lo, hi};
}

// The step between the designs drawn as marks: every design up to kMaxPlotMarks designs,
// beyond that every k-th, so that the plot of a long run stays small and quick to open (a
// frame has some 600 pixel columns; the lines of best values keep every step).
std::size_t markStride(std::size_t designs) {
  return designs <= kMaxPlotMarks ? 1 : (designs + kMaxPlotMarks - 1) / kMaxPlotMarks;
}

// Ticks for a count axis from 0 to n: whole numbers only.
std::vector<double> countTicks(double n) {
  std::vector<double> ticks = svg::niceTicks(0.0, std::max(n, 1.0));
  if (ticks.size() > 1 && ticks[1] - ticks[0] < 1.0) {
    ticks.clear();
    for (double k = 0; k <= std::ceil(std::max(n, 1.0)); k += 1.0) ticks.push_back(k);
  }
  return ticks;
}

void setXTicks(svg::Frame& frame, std::vector<double> ticks) {
  frame.xTicks = std::move(ticks);
  frame.xMin = frame.xTicks.front();
  frame.xMax = frame.xTicks.back();
}

void setYTicks(svg::Frame& frame, std::vector<double> ticks) {
  frame.yTicks = std::move(ticks);
  frame.yMin = frame.yTicks.front();
  frame.yMax = frame.yTicks.back();
}

std::string numberLabel(double value) { return formatText("%.4g", value); }

bool isFailedRow(const HistoryTable::Row& row) {
  return row.status == "failed" || !std::isfinite(row.performance) ||
         row.performance <= kFailedPerformance;
}

// Index of `name` in `names`, or -1.
int indexOf(const std::vector<std::string>& names, const std::string& name) {
  const auto found = std::find(names.begin(), names.end(), name);
  return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

// The values of response column `r` of the rows that did not fail (NaN where missing).
std::vector<double> responseColumn(const HistoryTable& table, int r) {
  std::vector<double> values;
  for (const auto& row : table.rows) {
    if (row.status == "failed" || static_cast<std::size_t>(r) >= row.responseValues.size()) {
      values.push_back(kNaN);
    } else {
      values.push_back(row.responseValues[static_cast<std::size_t>(r)]);
    }
  }
  return values;
}

std::string agentLabel(const Agent& agent) {
  return agent.name.empty() ? formatText("Agent %d", agent.number)
                            : formatText("Agent %d (%s)", agent.number, agent.name.c_str());
}

// The distinct values of a column, ascending.
std::vector<double> distinctValues(const std::vector<double>& column) {
  std::set<double> values;
  for (double v : column) {
    if (std::isfinite(v)) values.insert(v);
  }
  return {values.begin(), values.end()};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Convergence

std::vector<ConvergenceDesign> convergenceData(const HistoryTable& table) {
  std::vector<ConvergenceDesign> designs;
  designs.reserve(table.rows.size());
  for (const auto& row : table.rows) {
    const bool failed = isFailedRow(row);
    designs.push_back({row.performance, row.feasible && !failed, failed});
  }
  return designs;
}

ConvergenceAxis convergenceAxis(const HistoryTable& table,
                                const PerformanceDefinition* performance) {
  ConvergenceAxis axis;
  if (!performance || performance->objectiveCount != 1) return axis;
  for (int i = 0; i < performance->count; ++i) {
    const std::size_t r = static_cast<std::size_t>(i);
    if (performance->flag[r] != kResponseObjective) continue;
    const int option = performance->opt[r];
    const int column = indexOf(table.responses, performance->name[r]);
    if ((option != -1 && option != 1) || column < 0) return axis;
    axis.name = performance->name[r];
    axis.column = column;
    axis.minimise = option == -1;
  }
  return axis;
}

std::vector<ConvergenceDesign> convergenceData(const HistoryTable& table,
                                               const ConvergenceAxis& axis) {
  if (axis.column < 0) return convergenceData(table);
  std::vector<ConvergenceDesign> designs;
  designs.reserve(table.rows.size());
  const std::size_t column = static_cast<std::size_t>(axis.column);
  for (const auto& row : table.rows) {
    const double value =
        column < row.responseValues.size() ? row.responseValues[column] : kNaN;
    const bool failed = isFailedRow(row) || !std::isfinite(value);
    designs.push_back({value, row.feasible && !failed, failed});
  }
  return designs;
}

std::vector<double> bestFeasibleSoFar(const std::vector<ConvergenceDesign>& designs,
                                      bool minimise) {
  std::vector<double> best;
  double current = kNaN;
  for (const auto& design : designs) {
    const bool better = minimise ? design.performance < current : design.performance > current;
    if (design.feasible && !design.failed && (std::isnan(current) || better)) {
      current = design.performance;
    }
    best.push_back(current);
  }
  return best;
}

std::string convergenceSvg(const std::string& title, const std::vector<ConvergenceDesign>& designs,
                           const ConvergenceAxis& axis) {
  svg::Document document = svg::makeDocument(kWidth, kHeight);
  drawTitle(document, title);
  // The range of the feasible designs when there are any: an infeasible design's penalised
  // performance may lie far below them and would flatten the curve that matters. Designs
  // outside the range are drawn at its edge.
  std::vector<double> values, feasible;
  for (const auto& design : designs) {
    if (design.failed) continue;
    values.push_back(design.performance);
    if (design.feasible) feasible.push_back(design.performance);
  }
  const auto [lo, hi] = rangeOf(feasible.empty() ? values : feasible);
  svg::Frame frame = svg::makeFrame(kLeft, kTop, kFrameWidth, kFrameHeight, 0, 1, lo, hi);
  setXTicks(frame, countTicks(static_cast<double>(designs.size())));
  svg::drawAxes(document, frame, "Evaluations", axis.name);

  const double bottom = frame.top + frame.height;
  const std::size_t stride = markStride(designs.size());
  for (std::size_t i = 0; i < designs.size(); i += stride) {
    const double x = svg::frameX(frame, static_cast<double>(i + 1));
    if (designs[i].failed) {
      svg::drawCross(document, x, bottom, 4, "#d62728", "failed");
    } else {
      const double shown = std::clamp(designs[i].performance, frame.yMin, frame.yMax);
      svg::drawCircle(document, x, svg::frameY(frame, shown), 2.5,
                      designs[i].feasible ? "#1f77b4" : "#ff7f0e", "none", 0.45, "design");
    }
  }
  // The best feasible performance as a step line: level until the next improvement.
  const std::vector<double> best = bestFeasibleSoFar(designs, axis.minimise);
  std::vector<double> xs, ys;
  for (std::size_t i = 0; i < best.size(); ++i) {
    if (std::isnan(best[i])) continue;
    const double x = svg::frameX(frame, static_cast<double>(i + 1));
    const double y = svg::frameY(frame, best[i]);
    if (!ys.empty() && ys.back() != y) {
      xs.push_back(x);
      ys.push_back(ys.back());
    }
    if (ys.empty() || ys.back() != y || i + 1 == best.size()) {
      xs.push_back(x);
      ys.push_back(y);
    }
  }
  if (xs.size() == 1) {  // one feasible design at the end: a dot of line
    xs.push_back(xs.back());
    ys.push_back(ys.back());
  }
  svg::drawPolyline(document, xs, ys, "#2ca02c", 2, "best");

  double x = kLeft + 10;
  svg::drawLine(document, x - 14, 47, x - 4, 47, "#2ca02c", 2);
  x = legendText(document, x, "best feasible so far");
  svg::drawCircle(document, x - 9, 47, 3, "#1f77b4", "none", 0.6);
  x = legendText(document, x, "feasible");
  svg::drawCircle(document, x - 9, 47, 3, "#ff7f0e", "none", 0.6);
  x = legendText(document, x, "infeasible");
  const bool anyFailed = std::any_of(designs.begin(), designs.end(),
                                     [](const ConvergenceDesign& d) { return d.failed; });
  if (anyFailed) {
    svg::drawCross(document, x - 9, 47, 4, "#d62728");
    legendText(document, x, "failed");
  }
  return svg::documentText(document);
}

// ---------------------------------------------------------------------------------------
// Pareto projections

std::string paretoSvg(const std::string& title, const ParetoProjection& data, bool connect) {
  svg::Document document = svg::makeDocument(kWidth, kHeight);
  drawTitle(document, title);
  std::vector<double> allX = data.designX, allY = data.designY;
  allX.insert(allX.end(), data.frontX.begin(), data.frontX.end());
  allY.insert(allY.end(), data.frontY.begin(), data.frontY.end());
  const auto [xLo, xHi] = rangeOf(allX);
  const auto [yLo, yHi] = rangeOf(allY);
  const svg::Frame frame = svg::makeFrame(kLeft, kTop, kFrameWidth, kFrameHeight, xLo, xHi, yLo, yHi);
  svg::drawAxes(document, frame, data.xName, data.yName);
  const std::size_t shown = std::min(data.designX.size(), data.designY.size());
  for (std::size_t i = 0; i < shown; i += markStride(shown)) {
    svg::drawCircle(document, svg::frameX(frame, data.designX[i]),
                    svg::frameY(frame, data.designY[i]), 2.5, "#9e9e9e", "none", 0.5, "design");
  }
  if (connect) {
    std::vector<std::size_t> order(std::min(data.frontX.size(), data.frontY.size()));
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return data.frontX[a] != data.frontX[b] ? data.frontX[a] < data.frontX[b]
                                              : data.frontY[a] < data.frontY[b];
    });
    std::vector<double> xs, ys;
    for (std::size_t i : order) {
      xs.push_back(svg::frameX(frame, data.frontX[i]));
      ys.push_back(svg::frameY(frame, data.frontY[i]));
    }
    svg::drawPolyline(document, xs, ys, "#1f77b4", 1.5, "front-line");
  }
  for (std::size_t i = 0; i < data.frontX.size() && i < data.frontY.size(); ++i) {
    svg::drawCircle(document, svg::frameX(frame, data.frontX[i]),
                    svg::frameY(frame, data.frontY[i]), 4, "#1f77b4", "#0b3c5d", 1.0, "front");
  }
  double x = kLeft + 10;
  svg::drawCircle(document, x - 9, 47, 4, "#1f77b4", "#0b3c5d");
  x = legendText(document, x, "Pareto front");
  svg::drawCircle(document, x - 9, 47, 3, "#9e9e9e", "none", 0.6);
  legendText(document, x, "evaluated designs");
  return svg::documentText(document);
}

// ---------------------------------------------------------------------------------------
// Main effects and effects

std::vector<FactorMeans> factorMeans(const std::vector<std::string>& factors,
                                     const std::vector<std::vector<double>>& factorValues,
                                     const std::vector<double>& response) {
  std::vector<FactorMeans> result;
  for (std::size_t f = 0; f < factors.size() && f < factorValues.size(); ++f) {
    const std::vector<double>& column = factorValues[f];
    std::vector<double> used;
    for (std::size_t run = 0; run < column.size() && run < response.size(); ++run) {
      if (std::isfinite(response[run])) used.push_back(column[run]);
    }
    const std::vector<double> distinct = distinctValues(used);
    if (distinct.size() < 2) continue;
    FactorMeans means;
    means.factor = factors[f];
    const bool binned = distinct.size() > static_cast<std::size_t>(kMaxLevels);
    const double lo = distinct.front();
    const double width = (distinct.back() - lo) / kMeanBins;
    const int levels = binned ? kMeanBins : static_cast<int>(distinct.size());
    std::vector<double> sums(static_cast<std::size_t>(levels), 0.0);
    std::vector<int> counts(static_cast<std::size_t>(levels), 0);
    for (std::size_t run = 0; run < column.size() && run < response.size(); ++run) {
      if (!std::isfinite(response[run]) || !std::isfinite(column[run])) continue;
      int level;
      if (binned) {
        level = std::min(levels - 1, static_cast<int>((column[run] - lo) / width));
      } else {
        level = static_cast<int>(std::lower_bound(distinct.begin(), distinct.end(), column[run]) -
                                 distinct.begin());
      }
      sums[static_cast<std::size_t>(level)] += response[run];
      ++counts[static_cast<std::size_t>(level)];
    }
    for (int level = 0; level < levels; ++level) {
      const auto l = static_cast<std::size_t>(level);
      if (counts[l] == 0) continue;
      const double value = binned ? lo + (level + 0.5) * width : distinct[l];
      means.levels.push_back(value);
      means.labels.push_back(numberLabel(value));
      means.means.push_back(sums[l] / counts[l]);
      means.counts.push_back(counts[l]);
    }
    result.push_back(std::move(means));
  }
  return result;
}

std::vector<Effect> factorEffects(const std::vector<std::string>& factors,
                                  const std::vector<std::vector<double>>& factorValues,
                                  const std::vector<double>& response) {
  const std::vector<FactorMeans> means = factorMeans(factors, factorValues, response);
  std::vector<Effect> effects;
  for (const auto& factor : means) {
    effects.push_back({factor.factor, factor.means.back() - factor.means.front()});
  }
  // Two-factor interactions of a two-level design.
  const bool twoLevel =
      means.size() >= 2 && means.size() <= static_cast<std::size_t>(kMaxInteractionFactors) &&
      std::all_of(means.begin(), means.end(),
                  [](const FactorMeans& m) { return m.levels.size() == 2; });
  if (!twoLevel || means.size() != factors.size()) return effects;
  // Codes -1 / +1 of every factor for every run.
  std::vector<std::vector<int>> codes(factors.size());
  for (std::size_t f = 0; f < factors.size(); ++f) {
    for (double v : factorValues[f]) codes[f].push_back(v >= means[f].levels[1] ? 1 : -1);
  }
  for (std::size_t a = 0; a < factors.size(); ++a) {
    for (std::size_t b = a + 1; b < factors.size(); ++b) {
      double sums[2] = {0.0, 0.0};
      int counts[2] = {0, 0};
      for (std::size_t run = 0; run < response.size() && run < codes[a].size() &&
                                run < codes[b].size();
           ++run) {
        if (!std::isfinite(response[run])) continue;
        const int side = codes[a][run] * codes[b][run] > 0 ? 1 : 0;
        sums[side] += response[run];
        ++counts[side];
      }
      if (counts[0] == 0 || counts[1] == 0) continue;
      effects.push_back({factors[a] + "*" + factors[b], sums[1] / counts[1] - sums[0] / counts[0]});
    }
  }
  return effects;
}

std::string mainEffectsSvg(const std::string& title, const std::string& response,
                           const std::vector<FactorMeans>& factors) {
  constexpr double kPanelWidth = 170;
  constexpr double kGap = 20;
  const double count = static_cast<double>(std::max<std::size_t>(factors.size(), 1));
  const double width = std::max(kWidth, kLeft + count * (kPanelWidth + kGap) + 20);
  svg::Document document = svg::makeDocument(width, kHeight);
  drawTitle(document, title);
  std::vector<double> all;
  double sum = 0.0;
  int runs = 0;
  for (const auto& factor : factors) {
    all.insert(all.end(), factor.means.begin(), factor.means.end());
  }
  if (!factors.empty()) {  // every run is in each factor's levels once
    for (std::size_t l = 0; l < factors[0].means.size(); ++l) {
      sum += factors[0].means[l] * factors[0].counts[l];
      runs += factors[0].counts[l];
    }
  }
  const auto [lo, hi] = rangeOf(all);
  const std::vector<double> yTicks = svg::niceTicks(lo, hi);
  for (std::size_t f = 0; f < factors.size(); ++f) {
    const FactorMeans& factor = factors[f];
    svg::Frame frame;
    frame.left = kLeft + static_cast<double>(f) * (kPanelWidth + kGap);
    frame.top = kTop;
    frame.width = kPanelWidth;
    frame.height = kFrameHeight;
    setYTicks(frame, yTicks);
    const double levels = static_cast<double>(factor.levels.size());
    frame.xMin = -0.5;
    frame.xMax = levels - 0.5;
    for (std::size_t l = 0; l < factor.levels.size(); ++l) frame.xTicks.push_back(static_cast<double>(l));
    frame.xTickLabels = factor.labels;
    frame.yTickLabels = f == 0;
    svg::drawAxes(document, frame, factor.factor, f == 0 ? "Mean of " + response : "");
    if (runs > 0) {
      const double y = svg::frameY(frame, sum / runs);
      svg::drawLine(document, frame.left, y, frame.left + frame.width, y, "#7f7f7f", 1, "4 3");
    }
    std::vector<double> xs, ys;
    for (std::size_t l = 0; l < factor.means.size(); ++l) {
      xs.push_back(svg::frameX(frame, static_cast<double>(l)));
      ys.push_back(svg::frameY(frame, factor.means[l]));
    }
    svg::drawPolyline(document, xs, ys, "#1f77b4", 2, "means");
    for (std::size_t l = 0; l < xs.size(); ++l) {
      svg::drawCircle(document, xs[l], ys[l], 4, "#1f77b4", "#0b3c5d", 1.0, "mean");
    }
  }
  double x = kLeft + 10;
  svg::drawLine(document, x - 14, 47, x - 4, 47, "#7f7f7f", 1, "4 3");
  legendText(document, x, "mean of all runs");
  return svg::documentText(document);
}

double normalScore(int i, int m) {
  return reliability::normalQuantile((static_cast<double>(i) - 0.5) / static_cast<double>(m));
}

std::string normalPlotSvg(const std::string& title, const std::string& response,
                          std::vector<Effect> effects) {
  std::stable_sort(effects.begin(), effects.end(),
                   [](const Effect& a, const Effect& b) { return a.value < b.value; });
  const int m = static_cast<int>(effects.size());
  std::vector<double> values, scores;
  for (int i = 0; i < m; ++i) {
    values.push_back(effects[static_cast<std::size_t>(i)].value);
    scores.push_back(normalScore(i + 1, m));
  }
  svg::Document document = svg::makeDocument(kWidth, kHeight);
  drawTitle(document, title);
  const auto [xLo, xHi] = rangeOf(values);
  const auto [yLo, yHi] = rangeOf(scores);
  const svg::Frame frame = svg::makeFrame(kLeft, kTop, kFrameWidth, kFrameHeight, xLo, xHi,
                                          std::min(yLo, -1.0), std::max(yHi, 1.0));
  svg::drawAxes(document, frame, "Effect on " + response, "Normal score");
  // The line through the quartiles: where the effects would lie if all were noise.
  if (m >= 4) {
    const auto quartile = [&](const std::vector<double>& sorted, double p) {
      const double position = p * (m - 1);
      const auto k = static_cast<std::size_t>(position);
      const double t = position - static_cast<double>(k);
      return k + 1 < sorted.size() ? sorted[k] * (1 - t) + sorted[k + 1] * t : sorted[k];
    };
    const double x1 = quartile(values, 0.25), x3 = quartile(values, 0.75);
    const double z1 = quartile(scores, 0.25), z3 = quartile(scores, 0.75);
    if (x3 > x1) {
      const double slope = (z3 - z1) / (x3 - x1);
      const double ya = z1 + slope * (frame.xMin - x1), yb = z1 + slope * (frame.xMax - x1);
      // Clip to the frame's score range.
      double xa = frame.xMin, xb = frame.xMax, za = ya, zb = yb;
      const auto clip = [&](double& x, double& z, double limit) {
        x = x1 + (limit - z1) / slope;
        z = limit;
      };
      if (za < frame.yMin) clip(xa, za, frame.yMin);
      if (za > frame.yMax) clip(xa, za, frame.yMax);
      if (zb < frame.yMin) clip(xb, zb, frame.yMin);
      if (zb > frame.yMax) clip(xb, zb, frame.yMax);
      svg::drawLine(document, svg::frameX(frame, xa), svg::frameY(frame, za),
                    svg::frameX(frame, xb), svg::frameY(frame, zb), "#7f7f7f", 1, "4 3");
    }
  }
  for (int i = 0; i < m; ++i) {
    const double x = svg::frameX(frame, values[static_cast<std::size_t>(i)]);
    const double y = svg::frameY(frame, scores[static_cast<std::size_t>(i)]);
    svg::drawCircle(document, x, y, 4, "#1f77b4", "#0b3c5d", 1.0, "effect");
    // Labels of the right half go to the left of their point, so that none runs off the
    // frame.
    const bool right = x > frame.left + frame.width / 2;
    svg::drawText(document, right ? x - 7 : x + 7, y + 4, effects[static_cast<std::size_t>(i)].term,
                  right ? "end" : "start", 11);
  }
  return svg::documentText(document);
}

// ---------------------------------------------------------------------------------------
// Histograms

HistogramBins histogramBins(const std::vector<double>& values) {
  HistogramBins bins;
  std::vector<double> finite;
  for (double v : values) {
    if (std::isfinite(v)) finite.push_back(v);
  }
  if (finite.empty()) return bins;
  const auto [lo, hi] = rangeOf(finite);
  int count = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(finite.size()))));
  count = std::clamp(count, 1, 40);
  if (hi == lo) count = 1;
  const double width = hi > lo ? (hi - lo) / count : 1.0;
  const double start = hi > lo ? lo : lo - 0.5;
  for (int k = 0; k <= count; ++k) bins.edges.push_back(k == count && hi > lo ? hi : start + k * width);
  bins.counts.assign(static_cast<std::size_t>(count), 0);
  for (double v : finite) {
    const int k = std::min(count - 1, static_cast<int>((v - start) / width));
    ++bins.counts[static_cast<std::size_t>(std::max(k, 0))];
  }
  return bins;
}

std::string histogramSvg(const std::string& title, const std::string& response,
                         const std::vector<double>& values, const HistogramLimit* limit) {
  const HistogramBins bins = histogramBins(values);
  svg::Document document = svg::makeDocument(kWidth, kHeight);
  drawTitle(document, title);
  const int largest = bins.counts.empty() ? 1 : *std::max_element(bins.counts.begin(), bins.counts.end());
  double xLo = bins.edges.empty() ? 0.0 : bins.edges.front();
  double xHi = bins.edges.empty() ? 1.0 : bins.edges.back();
  if (limit && std::isfinite(limit->limit)) {
    xLo = std::min(xLo, limit->limit);
    xHi = std::max(xHi, limit->limit);
  }
  svg::Frame frame = svg::makeFrame(kLeft, kTop, kFrameWidth, kFrameHeight, xLo, xHi, 0, 1);
  setYTicks(frame, countTicks(largest));
  svg::drawAxes(document, frame, response, "Count");
  double sum = 0.0;
  int n = 0;
  for (std::size_t k = 0; k < bins.counts.size(); ++k) {
    const double left = svg::frameX(frame, bins.edges[k]);
    const double right = svg::frameX(frame, bins.edges[k + 1]);
    const double top = svg::frameY(frame, bins.counts[k]);
    const std::string tooltip = "[" + numberLabel(bins.edges[k]) + ", " +
                                numberLabel(bins.edges[k + 1]) + "]: " +
                                std::to_string(bins.counts[k]);
    svg::drawRect(document, left, top, right - left, frame.top + frame.height - top, "#9ecae1",
                  "#3182bd", "bar", tooltip);
  }
  for (double v : values) {
    if (!std::isfinite(v)) continue;
    sum += v;
    ++n;
  }
  if (n > 0) {
    const double x = svg::frameX(frame, sum / n);
    svg::drawLine(document, x, frame.top, x, frame.top + frame.height, "#d62728", 1.5, "5 3");
    double lx = kLeft + 10;
    svg::drawLine(document, lx - 14, 47, lx - 4, 47, "#d62728", 1.5, "5 3");
    lx = legendText(document, lx, "mean " + numberLabel(sum / n));
    lx = legendText(document, lx - 10, formatText("%d values", n));
    if (limit && std::isfinite(limit->limit)) {
      const double at = svg::frameX(frame, limit->limit);
      svg::drawPolyline(document, {at, at}, {frame.top, frame.top + frame.height}, "#d62728", 2,
                        "limit");
      svg::drawLine(document, lx - 14 + 10, 47, lx - 4 + 10, 47, "#d62728", 2);
      legendText(document, lx + 10, "limit " + numberLabel(limit->limit));
      const double p = static_cast<double>(limit->failures) / n;
      std::string text = formatText("probability of failure %g (%d of %d samples failed)", p,
                                    limit->failures, n);
      if (limit->failures > 0 && limit->failures < n) {
        text = formatText("beta %g, %s", reliability::reliabilityIndex(p), text.c_str());
      }
      svg::drawText(document, frame.left + frame.width - 6, frame.top + 16, text, "end", 11);
    }
  }
  return svg::documentText(document);
}

// ---------------------------------------------------------------------------------------
// The plots of an agent

std::string fileNamePart(const std::string& name) {
  std::string part;
  for (char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    part += keep ? c : '_';
  }
  return part.empty() ? "_" : part;
}

std::set<int> paretoFront(const std::string& paretoPath) {
  std::vector<search::ParetoBlock> blocks;
  std::string error;
  if (paretoPath.empty() || !search::readParetoBlocks(paretoPath, blocks, error) ||
      blocks.empty()) {
    return {};
  }
  const search::ParetoBlock* last = &blocks.back();
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
    if (it->complete && !it->designs.empty()) {
      last = &*it;
      break;
    }
  }
  std::set<int> front;
  if (last->designs.empty()) return front;
  const int bestRank = *std::min_element(last->ranks.begin(), last->ranks.end());
  for (std::size_t i = 0; i < last->designs.size(); ++i) {
    if (last->ranks[i] == bestRank) front.insert(last->designs[i]);
  }
  return front;
}

namespace {

void addParetoPlots(const Agent& agent, const HistoryTable& table,
                    const PerformanceDefinition& performance, const std::string& paretoPath,
                    std::vector<PlotFile>& files) {
  std::vector<int> columns;  // response column of each objective
  std::vector<std::string> names;
  for (int i = 0; i < performance.count; ++i) {
    if (performance.flag[static_cast<std::size_t>(i)] != kResponseObjective) continue;
    columns.push_back(indexOf(table.responses, performance.name[static_cast<std::size_t>(i)]));
    names.push_back(performance.name[static_cast<std::size_t>(i)]);
  }
  if (columns.size() < 2 || std::count(columns.begin(), columns.end(), -1) > 0) return;
  const std::set<int> front = paretoFront(paretoPath);
  if (front.empty()) return;
  for (std::size_t a = 0; a < columns.size(); ++a) {
    for (std::size_t b = a + 1; b < columns.size(); ++b) {
      ParetoProjection data;
      data.xName = names[a];
      data.yName = names[b];
      for (const auto& row : table.rows) {
        if (row.status == "failed" ||
            row.responseValues.size() <= static_cast<std::size_t>(std::max(columns[a], columns[b]))) {
          continue;
        }
        const double x = row.responseValues[static_cast<std::size_t>(columns[a])];
        const double y = row.responseValues[static_cast<std::size_t>(columns[b])];
        if (!std::isfinite(x) || !std::isfinite(y)) continue;
        const bool member = front.count(row.designNumber) > 0;
        (member ? data.frontX : data.designX).push_back(x);
        (member ? data.frontY : data.designY).push_back(y);
      }
      const std::string title = agentLabel(agent) + ": Pareto front, " + names[a] + " and " +
                                names[b];
      files.push_back({formatText("pareto_%d_%zu_%zu.svg", agent.number, a + 1, b + 1),
                       paretoSvg(title, data, columns.size() == 2)});
    }
  }
}

void addDoePlots(const Agent& agent, const HistoryTable& table,
                 const PerformanceDefinition& performance, std::vector<PlotFile>& files) {
  // The factors: the variables that the runs vary.
  std::vector<std::string> factors;
  std::vector<std::vector<double>> factorValues;
  for (std::size_t v = 0; v < table.variables.size(); ++v) {
    std::vector<double> column;
    for (const auto& row : table.rows) {
      column.push_back(v < row.variables.size() ? row.variables[v] : kNaN);
    }
    if (distinctValues(column).size() < 2) continue;
    factors.push_back(table.variables[v]);
    factorValues.push_back(std::move(column));
  }
  if (factors.empty()) return;
  for (int i = 0; i < performance.count; ++i) {
    const std::string& response = performance.name[static_cast<std::size_t>(i)];
    const int column = indexOf(table.responses, response);
    if (column < 0) continue;
    const std::vector<double> values = responseColumn(table, column);
    const std::vector<FactorMeans> means = factorMeans(factors, factorValues, values);
    if (means.empty()) continue;
    const std::string part = fileNamePart(response);
    files.push_back({formatText("effects_%d_%s.svg", agent.number, part.c_str()),
                     mainEffectsSvg(agentLabel(agent) + ": main effects on " + response, response,
                                    means)});
    files.push_back({formatText("normal_%d_%s.svg", agent.number, part.c_str()),
                     normalPlotSvg(agentLabel(agent) + ": normal plot of the effects on " + response,
                                   response, factorEffects(factors, factorValues, values))});
  }
}

void addHistograms(const Agent& agent, const HistoryTable& table,
                   const PerformanceDefinition& performance, std::vector<PlotFile>& files) {
  if (agent.method.sampling.kind == kSamplingForm) return;
  for (int i = 0; i < performance.count; ++i) {
    const std::string& response = performance.name[static_cast<std::size_t>(i)];
    const int column = indexOf(table.responses, response);
    if (column < 0) continue;
    std::vector<double> values;
    for (double v : responseColumn(table, column)) {
      if (std::isfinite(v)) values.push_back(v);
    }
    if (values.empty()) continue;
    HistogramLimit limit;
    const bool constraint = performance.flag[static_cast<std::size_t>(i)] == kResponseConstraint;
    if (constraint) {
      limit.limit = performance.target[static_cast<std::size_t>(i)];
      for (double v : values) limit.failures += deviation(performance, i, v) > 0.0 ? 1 : 0;
    }
    files.push_back({formatText("histogram_%d_%s.svg", agent.number,
                                fileNamePart(response).c_str()),
                     histogramSvg(agentLabel(agent) + ": histogram of " + response, response,
                                  values, constraint ? &limit : nullptr)});
  }
}

}  // namespace

std::vector<PlotFile> agentPlots(const Agent& agent, const HistoryTable& table,
                                 const std::string& paretoPath) {
  std::vector<PlotFile> files;
  if (table.rows.empty()) return files;
  const PerformanceDefinition* performance = findPerformance(agent.performance);
  switch (agent.type) {
    case kAgentOptimization: {
      const ConvergenceAxis axis = convergenceAxis(table, performance);
      files.push_back({formatText("convergence_%d.svg", agent.number),
                       convergenceSvg(agentLabel(agent) + ": convergence",
                                      convergenceData(table, axis), axis)});
      if (performance) addParetoPlots(agent, table, *performance, paretoPath, files);
      break;
    }
    case kAgentDoe:
      if (performance) addDoePlots(agent, table, *performance, files);
      break;
    case kAgentReliability:
      if (performance) addHistograms(agent, table, *performance, files);
      break;
    default:
      break;
  }
  return files;
}

}  // namespace karvo::plots
