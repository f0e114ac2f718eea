// The results text of one response of a design of experiments: run table, full two-level
// analysis (effects, sums of squares, defining relation, aliases, normal-plot data) or the
// level-average table. Called once per response after the runs; the full analysis of 13
// factors visits 8191 terms x 8192 runs with one popcount each.
#include "doe/doe_analysis.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include <boost/math/distributions/normal.hpp>

#include "definitions/method_settings.h"
#include "doe/doe_columns.h"

namespace karvo::doe {

namespace {

// Most factors of the full two-level analysis (2^13 - 1 terms at most).
constexpr int kMaxAnalysedFactors = 13;

// Relative agreement under which the responses count as one value.
constexpr double kConstantTolerance = 1e-4;

// An Error line whose magnitude is below this fraction of the total is rounding residue of
// the sums of squares (a full factorial's listed terms account for the whole total) and is
// written as 0.
constexpr double kErrorResidue = 1e-10;

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string& out, const char* format, ...) {
  char buffer[512];
  std::va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length < 0) return;
  if (static_cast<std::size_t>(length) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(length));
    return;
  }
  std::string longer(static_cast<std::size_t>(length) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(longer.data(), longer.size(), format, args);
  va_end(args);
  out.append(longer.data(), static_cast<std::size_t>(length));
}

bool runHasValue(const DoeAnalysisInput& input, int run) {
  return input.present.empty() || input.present[static_cast<std::size_t>(run)] != 0;
}

// True when every response with a value agrees with every other within a relative
// kConstantTolerance of the smaller magnitude (also when fewer than two runs have one).
// The pair of the smallest and largest value is the tightest one: with one sign throughout
// the smaller magnitude of that pair is the smallest of all; with mixed signs no pair but
// zeros passes.
bool responsesAgree(const DoeAnalysisInput& input) {
  bool any = false;
  double low = 0.0, high = 0.0, smallest = 0.0;
  for (int r = 0; r < input.array->runs; ++r) {
    if (!runHasValue(input, r)) continue;
    double y = input.responses[static_cast<std::size_t>(r)];
    if (!any) {
      low = high = y;
      smallest = std::fabs(y);
      any = true;
    } else {
      low = std::min(low, y);
      high = std::max(high, y);
      smallest = std::min(smallest, std::fabs(y));
    }
  }
  return !any || high - low <= kConstantTolerance * smallest;
}

// The run table. Runs are numbered from 1; a run without a value keeps its row with the
// word "failed" right-aligned in the response field.
void appendRunTable(const DoeAnalysisInput& input, std::string& out) {
  const DoeArray& array = *input.array;
  out += "DOE INFORMATION\n";
  out += "---------------\n";
  appendf(out, "Number of factors: %5d\n", array.factors);
  appendf(out, "Number of Runs:    %5d\n", array.runs);
  const std::size_t k = static_cast<std::size_t>(array.factors);
  const bool values = input.factorValues.size() == k * static_cast<std::size_t>(array.runs);
  for (int j = 0; j < array.factors; ++j) {
    appendf(out, values ? "%16s," : "    %5s,   ", doeFactorName(j).c_str());
  }
  out += "   Response\n";
  for (int r = 0; r < array.runs; ++r) {
    appendf(out, "%6d,", r + 1);
    for (int j = 0; j < array.factors; ++j) {
      if (values) {
        appendf(out, "%16.10g,", input.factorValues[static_cast<std::size_t>(r) * k +
                                                    static_cast<std::size_t>(j)]);
      } else {
        appendf(out, "    %5d,   ", array.level(r, j));
      }
    }
    if (runHasValue(input, r)) {
      appendf(out, " %20.8e\n", input.responses[static_cast<std::size_t>(r)]);
    } else {
      appendf(out, " %20s\n", "failed");
    }
  }
}

bool fullAnalysisApplies(const DoeAnalysisInput& input) {
  const DoeArray& array = *input.array;
  if (array.kind != kDoeTwoLevelFull && array.kind != kDoeTwoLevelPartial &&
      array.kind != kDoeTaguchi) {
    return false;
  }
  if (array.factors < 1 || array.factors > kMaxAnalysedFactors) return false;
  for (int j = 0; j < array.factors; ++j) {
    if (array.factorLevels[static_cast<std::size_t>(j)] != 2) return false;
  }
  for (int r = 0; r < array.runs; ++r) {
    if (!runHasValue(input, r)) return false;
  }
  return true;
}

// One term of the full analysis: a set of factors (bit j: array factor j).
struct Term {
  std::uint32_t mask = 0;          // its factors
  double average[2] = {0.0, 0.0};  // response average at sign -1 (level 0) and +1 (level 1)
  double ss = 0.0;                 // sum of squares about the grand mean
  int constantSign = 0;            // +-1: the column is that in every run (the word is +-I)
  int group = -1;                  // alias group: its first-formed term; -1 for +-I
  bool opposite = false;           // column opposite to its group's first term
};

// The runs as the full analysis sees them.
struct CodedRuns {
  std::vector<std::uint32_t> lowFactors;  // per run, bit j: factor j at level 0
  double grandMean = 0.0;                 // mean response
  double total = 0.0;                     // sum of squares about grandMean
};

// Every term of the full analysis, in the order they are formed.
struct TermTable {
  std::vector<std::vector<int>> words;  // per term, its factors
  std::vector<Term> terms;              // per term, its averages and alias group
  std::vector<int> termOfMask;          // per factor set (2^k), its term; -1 for the empty set
  std::vector<int> identity;            // terms equal to +-I, in formation order
  std::vector<int> listed;              // first-formed term of each group, in formation order
};

CodedRuns codeRuns(const DoeAnalysisInput& input) {
  const DoeArray& array = *input.array;
  const int n = array.runs;
  const std::vector<double>& y = input.responses;
  CodedRuns runs;
  runs.lowFactors.assign(static_cast<std::size_t>(n), 0u);
  for (int r = 0; r < n; ++r) {
    for (int j = 0; j < array.factors; ++j) {
      if (array.level(r, j) == 0) runs.lowFactors[static_cast<std::size_t>(r)] |= 1u << j;
    }
    runs.grandMean += y[static_cast<std::size_t>(r)];
  }
  runs.grandMean /= static_cast<double>(n);
  for (int r = 0; r < n; ++r) {
    double d = y[static_cast<std::size_t>(r)] - runs.grandMean;
    runs.total += d * d;
  }
  return runs;
}

// The terms in the order they are formed: the main effects, then the interactions of every
// order up to k (shortest first), each with its level averages and sum of squares; a term
// whose column is constant is a word of the defining relation.
TermTable formTerms(const DoeAnalysisInput& input, const CodedRuns& runs) {
  const int k = input.array->factors;
  const int n = input.array->runs;
  const std::vector<double>& y = input.responses;
  TermTable table;
  table.words.reserve((std::size_t{1} << k) - 1);
  for (int j = 0; j < k; ++j) table.words.push_back({j});
  std::vector<std::vector<int>> interactions = doeInteractionTerms(k, k);
  for (std::vector<int>& word : interactions) table.words.push_back(std::move(word));
  const int termCount = static_cast<int>(table.words.size());

  table.terms.resize(static_cast<std::size_t>(termCount));
  table.termOfMask.assign(std::size_t{1} << k, -1);
  for (int t = 0; t < termCount; ++t) {
    Term& term = table.terms[static_cast<std::size_t>(t)];
    for (int f : table.words[static_cast<std::size_t>(t)]) term.mask |= 1u << f;
    table.termOfMask[term.mask] = t;
    double sum[2] = {0.0, 0.0};
    int count[2] = {0, 0};
    for (int r = 0; r < n; ++r) {
      int high =
          1 - (std::popcount(term.mask & runs.lowFactors[static_cast<std::size_t>(r)]) & 1);
      sum[high] += y[static_cast<std::size_t>(r)];
      ++count[high];
    }
    for (int level = 0; level < 2; ++level) {
      if (count[level] == 0) continue;
      term.average[level] = sum[level] / count[level];
      double d = term.average[level] - runs.grandMean;
      term.ss += count[level] * d * d;
    }
    if (count[0] == 0 || count[1] == 0) {
      term.constantSign = count[0] == 0 ? 1 : -1;
      table.identity.push_back(t);
    }
  }
  return table;
}

// Alias groups: a term not yet grouped starts a group, which takes every product of it with
// a word of the defining relation.
void groupAliases(TermTable& table) {
  const int termCount = static_cast<int>(table.terms.size());
  for (int t = 0; t < termCount; ++t) {
    Term& term = table.terms[static_cast<std::size_t>(t)];
    if (term.constantSign != 0 || term.group >= 0) continue;
    term.group = t;
    table.listed.push_back(t);
    for (int d : table.identity) {
      const Term& word = table.terms[static_cast<std::size_t>(d)];
      Term& alias = table.terms[static_cast<std::size_t>(table.termOfMask[term.mask ^ word.mask])];
      alias.group = t;
      alias.opposite = word.constantSign < 0;
    }
  }
}

// The defining relation, each word with its sign.
void appendIdentityReport(const TermTable& table, std::string& out) {
  out += "\n";
  out += "Identity Report: I";
  for (int d : table.identity) {
    const Term& word = table.terms[static_cast<std::size_t>(d)];
    out += " = ";
    if (word.constantSign < 0) out += "-";
    out += doeWordName(table.words[static_cast<std::size_t>(d)]);
  }
  out += "\n";
}

// One line per alias group (none for a full factorial): its first term, then its aliases in
// formation order, each with its sign.
void appendAliasTable(const TermTable& table, std::string& out) {
  out += "\n\nAlias Table\n";
  out += "===========\n";
  if (table.identity.empty()) return;
  std::vector<int> members;
  for (int t : table.listed) {
    members.clear();
    for (int d : table.identity) {
      members.push_back(table.termOfMask[table.terms[static_cast<std::size_t>(t)].mask ^
                                         table.terms[static_cast<std::size_t>(d)].mask]);
    }
    std::sort(members.begin(), members.end());
    out += doeWordName(table.words[static_cast<std::size_t>(t)]);
    for (int m : members) {
      out += " = ";
      if (table.terms[static_cast<std::size_t>(m)].opposite) out += "-";
      out += doeWordName(table.words[static_cast<std::size_t>(m)]);
    }
    out += "\n";
  }
}

// The cell averages of a two-factor term (first factor low/second low, low/high, high/low,
// high/high); 0 for terms of one or more than two factors.
void cellAverages(const DoeAnalysisInput& input, const std::vector<int>& word, double cell[4]) {
  for (int c = 0; c < 4; ++c) cell[c] = 0.0;
  if (word.size() != 2) return;
  const DoeArray& array = *input.array;
  double cellSum[4] = {0.0, 0.0, 0.0, 0.0};
  int cellCount[4] = {0, 0, 0, 0};
  for (int r = 0; r < array.runs; ++r) {
    int c = 2 * array.level(r, word[0]) + array.level(r, word[1]);
    cellSum[c] += input.responses[static_cast<std::size_t>(r)];
    ++cellCount[c];
  }
  for (int c = 0; c < 4; ++c) {
    if (cellCount[c] > 0) cell[c] = cellSum[c] / cellCount[c];
  }
}

// The effect table of the listed terms with the Error and Total lines; returns the effects,
// one per listed term.
std::vector<double> appendFinalResults(const DoeAnalysisInput& input, const TermTable& table,
                                       double total, std::string& out) {
  out += "\n\n\nFINAL RESULTS\n\n";
  out += "Source, Avg Lev 0, Avg Lev 1, Effect,  SS, Contrib, avg_ll, avg_lh, avg_hl, avg_hh\n";
  double listedSs = 0.0;
  std::vector<double> effects(table.listed.size());
  for (std::size_t i = 0; i < table.listed.size(); ++i) {
    const int t = table.listed[i];
    const Term& term = table.terms[static_cast<std::size_t>(t)];
    const std::vector<int>& word = table.words[static_cast<std::size_t>(t)];
    effects[i] = term.average[1] - term.average[0];
    listedSs += term.ss;
    double cell[4];
    cellAverages(input, word, cell);
    double contribution = total > 0.0 ? term.ss / total : 0.0;
    out += doeWordName(word);
    appendf(out, ", %g, %g, %g, %g, %g,%g, %g, %g, %g \n", term.average[0], term.average[1],
            effects[i], term.ss, contribution, cell[0], cell[1], cell[2], cell[3]);
  }
  double error = total - listedSs;
  if (std::fabs(error) <= kErrorResidue * total) error = 0.0;
  appendf(out, "Error = %g\n", error);
  appendf(out, "Total = %g\n", total);
  return effects;
}

// The (half) normal plot data: the listed terms by effect (its magnitude for the half-normal
// plot), smallest first, each with its normal score.
void appendNormalPlotData(int plotType, const TermTable& table, std::vector<double> effects,
                          std::string& out) {
  const bool half = plotType == kHalfNormalPlot;
  out += "\n";
  out += half ? "HALF NORMAL PLOT DATA\n" : "NORMAL PLOT DATA\n";
  std::vector<std::size_t> order(table.listed.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (half) effects[i] = std::fabs(effects[i]);
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&effects](std::size_t a, std::size_t b) { return effects[a] < effects[b]; });
  const boost::math::normal standard(0.0, 1.0);
  const double m = static_cast<double>(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    double p = (static_cast<double>(i) + 0.5) / m;
    if (half) p = 0.5 + 0.5 * p;
    double position = boost::math::quantile(standard, p);
    out += doeWordName(table.words[static_cast<std::size_t>(table.listed[order[i]])]);
    appendf(out, ", %f, %g\n", position, effects[order[i]]);
  }
}

// The full two-level analysis, after the run table. Every term is a word of the factor
// letters; its +-1 column in run r is the product of the factors' codes, that is -1 exactly
// when an odd number of the word's factors sit at level 0 (doeWordSign). Two terms are
// aliases when the product of their columns is constant, that is when their product word
// is in the defining relation (the words equal to +-I), so the alias groups follow from the
// relation without comparing columns.
void appendTwoLevelAnalysis(const DoeAnalysisInput& input, std::string& out) {
  const CodedRuns runs = codeRuns(input);
  TermTable table = formTerms(input, runs);
  groupAliases(table);
  appendIdentityReport(table, out);
  appendAliasTable(table, out);
  std::vector<double> effects = appendFinalResults(input, table, runs.total, out);
  appendNormalPlotData(input.plotType, table, std::move(effects), out);
}

bool levelAveragesApply(const DoeArray& array) {
  if (array.factors < 1) return false;
  for (int j = 0; j < array.factors; ++j) {
    int levels = array.factorLevels[static_cast<std::size_t>(j)];
    if (levels != 2 && levels != 3 && levels != 5) return false;
  }
  return true;
}

// The average response at each level of each factor, over the runs with a value. A level
// that no such run has (every run at it failed) shows "nan".
void appendLevelAverages(const DoeAnalysisInput& input, std::string& out) {
  const DoeArray& array = *input.array;
  int mostLevels = 0;
  for (int j = 0; j < array.factors; ++j) {
    mostLevels = std::max(mostLevels, array.factorLevels[static_cast<std::size_t>(j)]);
  }
  out += "\n";
  out += "Source";
  for (int level = 0; level < mostLevels; ++level) appendf(out, ", Avg Lev %d", level);
  for (int j = 0; j < array.factors; ++j) {
    const int levels = array.factorLevels[static_cast<std::size_t>(j)];
    double sum[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
    int count[5] = {0, 0, 0, 0, 0};
    for (int r = 0; r < array.runs; ++r) {
      if (!runHasValue(input, r)) continue;
      int level = array.level(r, j);
      sum[level] += input.responses[static_cast<std::size_t>(r)];
      ++count[level];
    }
    appendf(out, "\n   %s", doeFactorName(j).c_str());
    for (int level = 0; level < levels; ++level) {
      if (count[level] > 0) {
        appendf(out, ", %10f", sum[level] / count[level]);
      } else {
        appendf(out, ", %10s", "nan");
      }
    }
  }
  out += "\n";
}

}  // namespace

std::string doeAnalysisText(const DoeAnalysisInput& input, std::string& error) {
  if (input.plotType != kNormalPlot && input.plotType != kHalfNormalPlot) {
    error = "Invalid normal plot type selected.\nError in selecting the normal plot type.";
    return "";
  }
  std::string out;
  appendRunTable(input, out);
  if (responsesAgree(input)) return out;
  if (fullAnalysisApplies(input)) {
    appendTwoLevelAnalysis(input, out);
  } else if (levelAveragesApply(*input.array)) {
    appendLevelAverages(input, out);
  }
  return out;
}

}  // namespace karvo::doe
