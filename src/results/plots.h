// The plots of an agent's results, as SVG documents (results/svg_writer.h): convergence of a
// search, Pareto fronts of a multi-objective search, main effects and normal probability plot
// of the effects of a design of experiments, histograms of the responses of a reliability or
// robustness study. The plot command (driver/plot_command.cpp) writes what agentPlots gives.
//
// Each plot has two parts: a function that turns a history table (results/history_table.h)
// into the plot's data, and a function that draws that data. Both are pure; agentPlots joins
// them for one agent of the study that readStudyForTool read.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "results/history_table.h"

namespace karvo {

struct Agent;
struct PerformanceDefinition;

namespace plots {

// A plot draws a mark for at most about this many designs: beyond it every k-th design
// (k = ceil(designs / kMaxPlotMarks)), so that plots of long runs stay small.
inline constexpr std::size_t kMaxPlotMarks = 2000;

// Designs whose performance is at or below this are scored as failed (performance -1e99).
inline constexpr double kFailedPerformance = -1e98;

// ---------------------------------------------------------------------------------------
// Convergence of a search: one entry per design, in history order.
struct ConvergenceDesign {
  double performance = 0.0;  // higher is better
  bool feasible = false;     // no constraint violated
  bool failed = false;       // failed, or a performance that is not a finite number
};
std::vector<ConvergenceDesign> convergenceData(const HistoryTable& table);

// What a convergence plot shows on its vertical axis: the objective's value, in the study's
// units, when the performance has exactly one objective, to minimise or to maximise, and the
// history holds its values; otherwise the performance (higher is better).
struct ConvergenceAxis {
  std::string name = "Performance";  // the axis label: the objective's name or "Performance"
  int column = -1;                   // the objective's response column; -1: the performance
  bool minimise = false;             // lower values are better
};
ConvergenceAxis convergenceAxis(const HistoryTable& table, const PerformanceDefinition* performance);

// The designs with the quantity of `axis` in `performance` (a design without a finite value
// of the objective counts as failed).
std::vector<ConvergenceDesign> convergenceData(const HistoryTable& table,
                                               const ConvergenceAxis& axis);

// The best feasible value after each design (NaN before the first feasible design): the
// highest, or the lowest with `minimise`.
std::vector<double> bestFeasibleSoFar(const std::vector<ConvergenceDesign>& designs,
                                      bool minimise = false);

// Every design that did not fail as a <circle class="design"> (feasible: blue, infeasible:
// orange) at (its position from 1, performance); the best feasible value so far as a
// step <polyline class="best">; each failed design as a red cross <path class="failed"> on
// the bottom axis. The vertical axis is labelled with axis.name; the legend names "failed"
// only when a design failed.
std::string convergenceSvg(const std::string& title, const std::vector<ConvergenceDesign>& designs,
                           const ConvergenceAxis& axis = {});

// ---------------------------------------------------------------------------------------
// A two-objective projection: every design with both values as a light <circle
// class="design">, the members of the front as dark <circle class="front">; with `connect`
// the front members are joined in order of x by a <polyline class="front-line">.
struct ParetoProjection {
  std::string xName, yName;
  std::vector<double> designX, designY;  // designs that did not fail
  std::vector<double> frontX, frontY;    // front members
};
std::string paretoSvg(const std::string& title, const ParetoProjection& data, bool connect);

// The design numbers of the first front: the members of the best rank in the last complete
// block of the Pareto file at `paretoPath` (the last block when none is complete); empty when
// the file cannot be read or has no member.
std::set<int> paretoFront(const std::string& paretoPath);

// ---------------------------------------------------------------------------------------
// Main effects: the mean response at each level of each factor.
struct FactorMeans {
  std::string factor;               // the variable's name
  std::vector<std::string> labels;  // level labels (values, or bin centres)
  std::vector<double> levels;       // level values, ascending
  std::vector<double> means;        // mean response at each level
  std::vector<int> counts;          // runs at each level, >= 1
};

// Levels with at most kMaxLevels distinct values are taken as they are; a factor with more
// (a space-filling array) is cut into kMeanBins bins of equal width between its smallest and
// largest value, and the bins without runs are left out.
inline constexpr int kMaxLevels = 9;
inline constexpr int kMeanBins = 5;

// `factorValues[f][run]` with `response[run]`; runs whose response is NaN are left out.
std::vector<FactorMeans> factorMeans(const std::vector<std::string>& factors,
                                     const std::vector<std::vector<double>>& factorValues,
                                     const std::vector<double>& response);

// One panel per factor, side by side, sharing the response axis: a <polyline
// class="means"> through the level means and a <circle class="mean"> at each, with the mean
// of every run as a dashed line.
std::string mainEffectsSvg(const std::string& title, const std::string& response,
                           const std::vector<FactorMeans>& factors);

// ---------------------------------------------------------------------------------------
// Effects of the normal probability plot.
struct Effect {
  std::string term;   // "x" for a main effect, "x*y" for an interaction
  double value = 0.0;
};

// Main effect of each factor: mean at its highest level minus mean at its lowest. When every
// factor has exactly two levels, also the two-factor interactions (at most kMaxInteractionFactors
// factors): with the levels coded -1 and +1, the mean response where the product of the two
// codes is +1 minus the mean where it is -1.
inline constexpr int kMaxInteractionFactors = 12;
std::vector<Effect> factorEffects(const std::vector<std::string>& factors,
                                  const std::vector<std::vector<double>>& factorValues,
                                  const std::vector<double>& response);

// The normal quantile of the i-th (from 1) of m sorted effects: Phi^-1((i - 0.5) / m).
double normalScore(int i, int m);

// Effects sorted ascending as <circle class="effect"> at (effect, normal score), each
// labelled with its term, and a dashed line through the first and third quartiles.
std::string normalPlotSvg(const std::string& title, const std::string& response,
                          std::vector<Effect> effects);

// ---------------------------------------------------------------------------------------
// Histogram: bin count by the square-root rule (1 to 40 bins) between the smallest and the
// largest value; each bin a <rect class="bar"> whose <title> is "[lo, hi]: n" with its
// count n; the mean as a dashed line.
struct HistogramBins {
  std::vector<double> edges;  // bins + 1 ascending edges
  std::vector<int> counts;    // per bin; the last bin holds its upper edge
};
HistogramBins histogramBins(const std::vector<double>& values);

// The limit of a constraint and what the values make of it: the limit as a red
// <polyline class="limit"> across the frame (whose range takes it in), and the text
// "beta %g, probability of failure %g (%d of %d samples failed)" (beta left out when no
// sample or every sample failed) in the frame's top right corner, as in the message file's note.
struct HistogramLimit {
  double limit = 0.0;  // the constraint's target
  int failures = 0;    // values that violate the constraint
};
std::string histogramSvg(const std::string& title, const std::string& response,
                         const std::vector<double>& values,
                         const HistogramLimit* limit = nullptr);

// ---------------------------------------------------------------------------------------
// The plots of one agent from its history table, with the file names of the plot command.
struct PlotFile {
  std::string name;  // file name, e.g. "convergence_0.svg"
  std::string text;  // the SVG document
};

// Per agent type (the study read by readStudyForTool): optimization -> convergence and,
// when `paretoPath` names a readable Pareto file with members in its last block and the
// agent's performance has two or more objectives, one projection per pair of objectives
// ("pareto_<agent>_<i>_<j>.svg", objectives numbered from 1 in performance order); DOE ->
// main effects and normal plot per response of the agent's performance; reliability and
// robustness sampling -> a histogram per response, with the limit and the probability of
// failure for a constraint (the first-order method's few designs near the failure point are
// no sample: no histogram). A response without values in the table has no
// plot. Response names in file names keep letters, digits, '-', '_' and '.'; other bytes
// become '_'.
std::vector<PlotFile> agentPlots(const Agent& agent, const HistoryTable& table,
                                 const std::string& paretoPath);

// `name` as it appears in plot file names (see agentPlots).
std::string fileNamePart(const std::string& name);

}  // namespace plots
}  // namespace karvo
