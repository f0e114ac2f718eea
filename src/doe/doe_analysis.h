// The analysis of one response of a design of experiments: the text of its results file
// (DOE_<agent>_<response>.out), written by the runner once every run has been evaluated.
//
// The text always opens with the run table (the level of every factor, or its value when
// the caller gives the values, and the response of every run). What follows depends on the array and the responses:
//
//   all responses equal (within a relative 1e-4)   -> the run table only
//   two-level full or fractional factorial, or an  -> the full two-level analysis: every main
//   orthogonal array of 2-level columns only, with    effect and interaction, the defining
//   k < 14 factors and every run with a value         relation, the alias table, sums of
//                                                     squares, contributions, plot data
//   every factor with 2, 3 or 5 levels otherwise   -> the average response at each level of
//                                                     each factor
//   other level counts (Latin hypercubes, ...)     -> the run table only
//
// Layout of the file (every line ends in "\n"; <blank> is an empty line):
//
//   DOE INFORMATION / --------------- / Number of factors / Number of Runs / header / runs
//   (a factor's column: "    %5s,   " and "    %5d,   " for levels, "%16s," and "%16.10g,"
//   for values)
//   <blank>
//   Identity Report: I[ = word]...            full analysis only
//   <blank> <blank> Alias Table / ===========  one line per group of aliased terms
//   <blank> <blank> <blank> FINAL RESULTS <blank>
//   Source, Avg Lev 0, ... header / one line per term / Error = / Total =
//   <blank>
//   HALF NORMAL PLOT DATA (or NORMAL PLOT DATA) / one line per term
// or, for the level-average table:
//   <blank>
//   Source, Avg Lev 0, Avg Lev 1[, ...] / one line per factor
//
// Factors are named by their array column (doeFactorName of the column: A, B, ...), runs
// are numbered from 1.
#pragma once

#include <string>
#include <vector>

#include "doe/doe_array.h"

namespace karvo::doe {

// The plot of the effects of the full two-level analysis.
inline constexpr int kNormalPlot = 0;      // signed effects at Phi^-1((i - 0.5) / m)
inline constexpr int kHalfNormalPlot = 1;  // absolute effects at Phi^-1(0.5 + 0.5 (i - 0.5) / m)

struct DoeAnalysisInput {
  const DoeArray* array = nullptr;  // the laid-out array; never null
  std::vector<double> responses;    // one value per run (array->runs entries)
  std::vector<char> present;        // 1 when the run has a value (a failed run has none);
                                    // array->runs entries, or empty when every run has one
  std::vector<std::string> generatorWords;  // two-level fractional factorial: the word of
                                            // each generated factor, in factor order; not
                                            // needed by the analysis, which finds the
                                            // defining relation from the columns themselves
  int plotType = kHalfNormalPlot;  // kNormalPlot or kHalfNormalPlot
  std::vector<double> factorValues;  // runs x factors, row-major: the factors' values, shown
                                     // in the run table instead of the levels; empty: levels
};

// The whole text of the results file of one response. A plot type other than kNormalPlot
// and kHalfNormalPlot answers "" with `error` set to the two-line message the caller hands
// to fatalError; otherwise `error` is left untouched.
//
// Workload: the full analysis of k factors and n runs forms 2^k - 1 terms and costs
// O(2^k x n) sign evaluations (13 factors, 8192 runs: about 67 million) with memory linear in
// the number of terms; the other cases are linear in the array's cells.
std::string doeAnalysisText(const DoeAnalysisInput& input, std::string& error);

}  // namespace karvo::doe
