// Texts of the genetic log of a search agent and the convergence statistics they print.
// Runs once per generation of each subpopulation (the report) and once per agent (the
// parameter report); the statistics are one pass over the chromosomes plus, for the full
// report, a comparison of every pair of "good" members (a few at a time).
#include "search/genetic_report.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/messages.h"

namespace karvo::search {

namespace {

// " <label padded to 35>= ": the value of every parameter line starts in one column.
std::string parameterLabel(const char* label) { return formatText(" %-35s= ", label); }

std::string parameterLine(const char* label, int value) {
  return parameterLabel(label) + formatText("%d\n", value);
}

std::string parameterLine(const char* label, double value) {
  return parameterLabel(label) + formatText("%f\n", value);
}

std::string parameterLine(const char* label, const char* value) {
  return parameterLabel(label) + value + "\n";
}

// Best record lines: "<heading> raw fitness = ..., gen = ..., neval = ..., chromosome =".
std::string bestLines(const char* heading, const BestRecord& best) {
  if (!best.valid) return formatText("%s none\n", heading);
  return formatText("%s raw fitness = %20.10f, gen = %d, neval = %ld, chromosome =\n", heading,
                    best.raw, best.generation, best.evaluation) +
         chromosomeText(best.design.chromosome);
}

// Values with "%7.3g " in lines of kLociPerLine.
std::string lociLines(const std::vector<double>& values) {
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += formatText("%7.3g ", values[i]);
    if ((i + 1) % kLociPerLine == 0 || i + 1 == values.size()) text += "\n";
  }
  return text;
}

}  // namespace

const char* selectionName(int code) {
  switch (code) {
    case 0: return "tselection";
    case 1: return "suselection";
    case 2: return "rnkselection";
    default: return "unknown";
  }
}

const char* crossoverName(int code) {
  switch (code) {
    case 0: return "oneptx";
    case 1: return "twoptx";
    case 2: return "uniformx";
    case 3: return "adaptivx";
    case 4: return "user_crossover";
    default: return "unknown";
  }
}

const char* mutationName(int code) {
  switch (code) {
    case 0: return "normal mutate bit or field";
    case 1: return "multi-field or multi-bit mutate";
    case 2: return "adaptive mutation";
    case 3: return "user_programmed_mutation";
    default: return "unknown";
  }
}

int convergenceDistance(const std::vector<int>& a, const std::vector<int>& b,
                        const std::vector<int>& fieldSizes) {
  std::size_t n = std::min(a.size(), b.size());
  n = std::min(n, fieldSizes.size());
  int differing = 0;
  double spread = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    ++differing;
    if (fieldSizes[i] > 1) {
      spread += std::abs(a[i] - b[i]) / static_cast<double>(fieldSizes[i] - 1);
    }
  }
  return static_cast<int>(20.0 * differing + 80.0 * spread);
}

ConvergenceStatistics convergenceStatistics(const Population& population, double sdAboveMean,
                                            [[maybe_unused]] bool minimising) {
  ConvergenceStatistics s;
  const std::vector<Member>& members = population.members;
  const std::size_t fields = population.fieldSizes.size();

  // Loci, over every member.
  s.locusMean.assign(fields, 0.0);
  s.locusSigma.assign(fields, 0.0);
  if (!members.empty()) {
    const double n = static_cast<double>(members.size());
    for (std::size_t f = 0; f < fields; ++f) {
      double sum = 0.0;
      for (const Member& m : members) {
        if (f < m.design.chromosome.size()) sum += m.design.chromosome[f];
      }
      const double mean = sum / n;
      double squares = 0.0;
      for (const Member& m : members) {
        const double v = f < m.design.chromosome.size() ? m.design.chromosome[f] : 0.0;
        squares += (v - mean) * (v - mean);
      }
      s.locusMean[f] = mean;
      s.locusSigma[f] = std::sqrt(squares / n);
    }
  }
  double sigmaSum = 0.0;
  for (std::size_t f = 0; f < fields; ++f) {
    const double mean = s.locusMean[f];
    if (mean == 0.0 || s.locusSigma[f] / mean < 0.05) ++s.convergedLoci;
    sigmaSum += s.locusSigma[f];
  }
  if (fields > 0) {
    s.percentConverged = 100.0 * s.convergedLoci / static_cast<double>(fields);
    s.averageSigma = sigmaSum / static_cast<double>(fields);
  }

  // Raw fitness of the scored members, two passes.
  double rawSum = 0.0;
  for (const Member& m : members) {
    if (!fitnessCounted(m.raw)) continue;
    ++s.counted;
    rawSum += m.raw;
  }
  if (s.counted == 0) return s;
  const double rawMean = rawSum / s.counted;
  double rawSquares = 0.0;
  for (const Member& m : members) {
    if (fitnessCounted(m.raw)) rawSquares += (m.raw - rawMean) * (m.raw - rawMean);
  }
  s.goodThreshold = rawMean + sdAboveMean * std::sqrt(rawSquares / s.counted);

  const BestRecord* reference = population.bestEver.valid           ? &population.bestEver
                                : population.bestOfGeneration.valid ? &population.bestOfGeneration
                                                                    : nullptr;
  if (reference == nullptr) return s;
  const std::vector<int>& best = reference->design.chromosome;

  std::vector<const std::vector<int>*> good;
  for (const Member& m : members) {
    if (fitnessCounted(m.raw) && m.raw >= s.goodThreshold && m.design.chromosome != best) {
      good.push_back(&m.design.chromosome);
    }
  }
  s.goodCount = static_cast<int>(good.size());
  if (s.goodCount == 0) return s;
  for (std::size_t i = 0; i < good.size(); ++i) {
    const int toBest = convergenceDistance(*good[i], best, population.fieldSizes);
    for (std::size_t j = 0; j < good.size(); ++j) {
      if (j != i && convergenceDistance(*good[i], *good[j], population.fieldSizes) < toBest) {
        ++s.goodCloserToOther;
        break;
      }
    }
  }
  s.goodShare = 100.0 * (1.0 - static_cast<double>(s.goodCloserToOther) / s.goodCount);
  return s;
}

std::string chromosomeText(const std::vector<int>& chromosome) {
  std::string text;
  std::size_t lineLength = 0;
  for (int value : chromosome) {
    const std::string token = formatText(" %d", value);
    if (lineLength > 0 && lineLength + token.size() > kChromosomeLineWidth) {
      text += "\n";
      lineLength = 0;
    }
    text += token;
    lineLength += token.size();
  }
  return text + "\n";
}

std::string parameterReport(int subpopulation, bool singlePopulation,
                            const ReportSettings& settings) {
  std::string text = singlePopulation
                         ? std::string(" Parameters for Single Population Run\n")
                         : formatText("\n\n Parameters for Subpopulation %d\n", subpopulation);
  text += parameterLine("Selection", selectionName(settings.selectionType));
  text += parameterLine("Crossover", crossoverName(settings.crossoverType));
  text += parameterLine("Mutation", mutationName(settings.mutationType));
  text += formatText(" Fitness function is %sstochastic\n", settings.stochastic ? "" : "not ");
  text += parameterLine("Hashing of evaluated designs", settings.hashing ? "on" : "off");
  text += settings.minimising ? " KARVO is MINIMIZING the objective function!!!\n"
                              : " KARVO is maximizing the objective function\n";
  text += parameterLine("Population size", settings.populationSize);
  text += parameterLine("Generations per cycle", settings.generationsPerCycle);
  text += parameterLine("Number of fields", settings.fieldCount);
  text += formatText(" Chromosome length (bytes)         =   %d\n", 4 * settings.fieldCount);
  text += parameterLine("Crossover probability (pcross)", settings.pcross);
  text += parameterLine("Mutation probability (pmutation)", settings.pmutation);
  text += parameterLine("Multi-field mutation (p_multimut)", settings.pMultimut);
  text += parameterLine("Mutation width (avg_mut_width)", settings.avgMutWidth);
  text += parameterLine("Scaling window", settings.scalingWindow);
  text += parameterLine("Sigma truncation", settings.sigmaTruncation);
  text += parameterLine("Scaling multiplier (scalemult)", settings.scaleMultiplier);
  text += parameterLine("Crowding factor", settings.crowdingFactor);
  text += parameterLine("Incest reduction", settings.incestReduction);
  text += formatText(" Tournament size                    = %d\n", settings.tournamentSize);
  text += formatText(" Random seed                        = %f\n", settings.randomSeed);
  text += parameterLine("S.D.'s above mean", settings.sdAboveMean);
  text += parameterLine("Always evaluate migrants", settings.alwaysEvaluateMigrants ? "yes" : "no");
  return text;
}

std::string initialPopulationSummary(const Population& population) {
  int random = 0, baseline = 0, user = 0, history = 0, other = 0, failed = 0, counted = 0;
  double best = 0.0, worst = 0.0;
  for (const Member& m : population.members) {
    if (m.origin & kMadeRandom) ++random;
    if (m.origin & kMadeBaseline) ++baseline;
    if (m.origin & kMadeUserDesign) ++user;
    if (m.origin & kMadeHistory) ++history;
    if (!(m.origin & (kMadeRandom | kMadeBaseline | kMadeUserDesign | kMadeHistory))) ++other;
    if (!fitnessCounted(m.raw)) {
      ++failed;
      continue;
    }
    if (counted == 0 || m.raw > best) best = m.raw;
    if (counted == 0 || m.raw < worst) worst = m.raw;
    ++counted;
  }
  std::string text = formatText("\n Initial population of subpopulation %d\n", population.agent);
  text += parameterLine("Members", static_cast<int>(population.members.size()));
  text += parameterLine("Random designs", random);
  text += parameterLine("Baseline design", baseline);
  text += parameterLine("User designs", user);
  text += parameterLine("Designs from the history", history);
  text += parameterLine("Other designs", other);
  text += parameterLine("Failed designs", failed);
  if (counted == 0) {
    text += parameterLine("Best raw fitness", "none");
    text += parameterLine("Worst raw fitness", "none");
  } else {
    text += parameterLabel("Best raw fitness") + formatText("%.10g\n", best);
    text += parameterLabel("Worst raw fitness") + formatText("%.10g\n", worst);
  }
  return text;
}

std::string subpopulationReport(const Population& population,
                                const ConvergenceStatistics& convergence, bool fullConvergence) {
  const PopulationCounters& c = population.counters;
  const FitnessStatistics& f = population.statistics;
  std::string text = formatText("\n         Subpopulation Report, Generation %d\n", c.generation);
  text += formatText("# Crossovers = %ld, # Mutations = %ld, # Evaluations = %ld\n",
                     c.crossovers, c.mutations, c.evaluations);
  text += formatText("# Re-evaluations saved  (this process) = %ld\n", c.reevaluationsSaved);
  text += formatText("Raw fitnesses: min= %13.9g, max= %13.9g,\n                avg= %13.9g",
                     f.rawMin, f.rawMax, f.rawAverage);
  text += formatText(", rawsigma= %13.9g\n", f.rawSigma);
  text += formatText(
      "Scaled fitnesses:  min = %13.9g, max = %13.9g,\n                   avg = %11g, sum = %11f\n",
      f.scaledMin, f.scaledMax, f.scaledAverage, f.scaledSum);
  text += formatText("Convergence:  Average allele std. deviation: %6.2f\n",
                     convergence.averageSigma);
  text += formatText("              Percentage of loci converged:  %6.2f%%\n",
                     convergence.percentConverged);
  text += formatText("              Evaluations since new best:    %6ld\n",
                     c.evaluations - c.evaluationsAtBest);
  text += formatText("              Generations since new best:    %6d\n",
                     c.generation - c.generationAtBest);
  const double count = static_cast<double>(c.performanceCount);
  text += formatText("On-Line Perf. = %20.10f, Off-Line Perf. = %20.10f\n",
                     c.performanceCount > 0 ? c.onlineSum / count : 0.0,
                     c.performanceCount > 0 ? c.offlineSum / count : 0.0);
  text += bestLines("Best of generation:", population.bestOfGeneration);
  text += bestLines("Best ever:         ", population.bestEver);
  if (!fullConvergence) return text;

  text += "Full convergence statistics, mean of each locus:\n";
  text += lociLines(convergence.locusMean);
  text += "Standard deviation of each locus:\n";
  text += lociLines(convergence.locusSigma);
  if (convergence.goodShare == -99.0) {
    text += "NO OTHER 'GOOD' GUYS FOUND.\n";
  } else {
    text += formatText("Other 'good' guys (raw fitness >= %.9g): %d, closest to the best: ",
                       convergence.goodThreshold, convergence.goodCount);
    text += formatText("%5.1f%%\n", convergence.goodShare);
  }
  return text;
}

std::string newBestEverReport(int subpopulation, int firstSubpop, int lastSubpop,
                              const BestRecord& best, long neval) {
  std::string text = formatText("\n*** Subpop %d Achieved New Best Ever Among Subpops %d - %d:",
                                subpopulation, firstSubpop, lastSubpop);
  text += formatText("\n    Its Neval (rel. to all pops, all processors) = %ld *** \n", neval);
  text += formatText(" raw fitness = %20.10f, gen = %d, chromosome =\n", best.raw,
                     best.generation);
  return text + chromosomeText(best.design.chromosome);
}

std::string endOfSubpopulationReport(int subpopulation, int cycle, double online,
                                     double offline) {
  return formatText("\n\nAt END of subpopulation %d's run in cycle %d\n", subpopulation, cycle) +
         formatText("On-Line Perf. = %20.10f, Off-Line Perf. = %20.10f\n", online, offline);
}

}  // namespace karvo::search
