// Tests of the genetic log texts: the exact bytes of every block for small hand-made
// populations (fields of sizes 5 and 10), the convergence statistics worked out by hand
// (converged loci, average deviation, the "good" members and their share, the -99 case),
// members at the failure mark left out of the fitness statistics, and the wrapping of long
// chromosomes.
#include "search/genetic_report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/design.h"

namespace karvo::search {
namespace {

Member member(std::vector<int> chromosome, double raw, int origin = kMadeRandom) {
  Member m;
  m.design.chromosome = std::move(chromosome);
  m.design.num_dvar = static_cast<int>(m.design.chromosome.size());
  m.raw = raw;
  m.origin = origin;
  return m;
}

BestRecord bestRecord(std::vector<int> chromosome, double raw, int generation, long evaluation) {
  BestRecord b;
  b.valid = true;
  b.design.chromosome = std::move(chromosome);
  b.raw = raw;
  b.generation = generation;
  b.evaluation = evaluation;
  return b;
}

// Four members over fields of sizes 5 and 10; the last one failed.
//   locus 0: 2 2 2 2  mean 2, sd 0              converged
//   locus 1: 4 4 8 0  mean 4, sd sqrt(8)        sd/mean 0.71, not converged
//   raw of the scored three: 4 2 1, mean 7/3
Population smallPopulation() {
  Population p;
  p.agent = 2;
  p.fieldSizes = {5, 10};
  p.members = {member({2, 4}, 4.0, kMadeBaseline), member({2, 4}, 2.0, kMadeRandom),
               member({2, 8}, 1.0, kMadeUserDesign | kMadeHistory),
               member({2, 0}, kFailedPerformance, kMadeMigrant)};
  p.bestOfGeneration = bestRecord({2, 4}, 4.0, 5, 19);
  p.bestEver = bestRecord({2, 4}, 4.0, 3, 14);
  return p;
}

// Five scored members; the first is the best ever.
//   distances to the best {4, 9}: {3,9} 40, {0,0} 200, {1,0} 180
//   between the others: {3,9}-{0,0} 180, {3,9}-{1,0} 160, {0,0}-{1,0} 40
//   raw 10 8 7 7 0: mean 6.4, sigma sqrt(11.44) = 3.38
Population spreadPopulation() {
  Population p;
  p.agent = 0;
  p.fieldSizes = {5, 10};
  p.members = {member({4, 9}, 10.0), member({3, 9}, 8.0), member({0, 0}, 7.0),
               member({1, 0}, 7.0), member({0, 5}, 0.0)};
  p.bestEver = bestRecord({4, 9}, 10.0, 2, 9);
  p.bestOfGeneration = p.bestEver;
  return p;
}

// ---------------------------------------------------------------------------------------
// Convergence statistics

// (The loci of the small population show in the subpopulation report below.)
TEST(GeneticReportTest, ConvergedLociAndAverageDeviation) {
  // A locus at 0 everywhere is converged (mean 0); one with sd/mean just under 0.05 too,
  // one just at 0.05 is not: {20, 20, 20, 22} has mean 20.5, sd sqrt(0.75) = 0.866 (0.042);
  // {1, 1, 1, 1} sd 0; {19, 21, 19, 21} mean 20, sd 1 (0.05 exactly).
  Population p;
  p.fieldSizes = {30, 30, 2, 30};
  p.members = {member({20, 1, 0, 19}, 1.0), member({20, 1, 0, 21}, 1.0),
               member({20, 1, 0, 19}, 1.0), member({22, 1, 0, 21}, 1.0)};
  ConvergenceStatistics s = convergenceStatistics(p, 1.0, false);
  EXPECT_EQ(s.convergedLoci, 3);
  EXPECT_EQ(s.percentConverged, 75.0);
  EXPECT_DOUBLE_EQ(s.averageSigma, (std::sqrt(0.75) + 0.0 + 0.0 + 1.0) / 4.0);

  // Without fields or members nothing is converged and nothing divides by zero.
  s = convergenceStatistics(Population{}, 1.0, false);
  EXPECT_EQ(s.convergedLoci, 0);
  EXPECT_EQ(s.percentConverged, 0.0);
  EXPECT_EQ(s.averageSigma, 0.0);
  EXPECT_EQ(s.counted, 0);
  EXPECT_EQ(s.goodShare, -99.0);
}

TEST(GeneticReportTest, MembersAtTheFailureMarkAreLeftOutOfTheFitnessStatistics) {
  Population p = smallPopulation();
  p.members.push_back(member({2, 4}, std::nan("")));
  p.members.push_back(member({2, 4}, -2e99));
  ConvergenceStatistics s = convergenceStatistics(p, 0.0, false);
  EXPECT_EQ(s.counted, 3);
  // Mean of 4, 2, 1 with k = 0; counting a failed member would have put it below 1 and
  // made the other two good.
  EXPECT_DOUBLE_EQ(s.goodThreshold, 7.0 / 3.0);
  // Only {2, 4} with 4.0 is good, and it is the best ever itself: no other good member.
  EXPECT_EQ(s.goodCount, 0);
  EXPECT_EQ(s.goodShare, -99.0);
  // Their chromosomes stay in the loci: six times 2 at locus 0, 4 4 8 0 4 4 at locus 1.
  EXPECT_EQ(s.locusMean, (std::vector<double>{2.0, 4.0}));
  EXPECT_DOUBLE_EQ(s.locusSigma[1], std::sqrt(32.0 / 6.0));

  // Only failed members: no threshold, no good members.
  Population failed;
  failed.fieldSizes = {5};
  failed.members = {member({1}, kFailedPerformance), member({3}, kFailedPerformance)};
  failed.bestOfGeneration = bestRecord({1}, 1.0, 0, 1);
  s = convergenceStatistics(failed, 0.0, false);
  EXPECT_EQ(s.counted, 0);
  EXPECT_EQ(s.goodThreshold, 0.0);
  EXPECT_EQ(s.goodShare, -99.0);
  EXPECT_EQ(s.locusMean, (std::vector<double>{2.0}));
}

TEST(GeneticReportTest, ShareOfGoodMembersClosestToTheBest) {
  // k = 0: threshold 6.4; good besides the best: {3,9}, {0,0}, {1,0}. {3,9} is nearest the
  // best; {0,0} and {1,0} are nearer each other (40) than the best (200, 180): c = 2, g = 3.
  ConvergenceStatistics s = convergenceStatistics(spreadPopulation(), 0.0, false);
  EXPECT_EQ(s.counted, 5);
  EXPECT_DOUBLE_EQ(s.goodThreshold, 6.4);
  EXPECT_EQ(s.goodCount, 3);
  EXPECT_EQ(s.goodCloserToOther, 2);
  EXPECT_DOUBLE_EQ(s.goodShare, 100.0 / 3.0);

  // The direction of the study does not change which members are good: the raw fitness is
  // larger-is-better in both.
  ConvergenceStatistics minimising = convergenceStatistics(spreadPopulation(), 0.0, true);
  EXPECT_EQ(minimising.goodCount, 3);
  EXPECT_EQ(minimising.goodCloserToOther, 2);

  // k = 0.5: threshold 6.4 + 0.5 * sqrt(11.44) = 8.09; only the best qualifies.
  s = convergenceStatistics(spreadPopulation(), 0.5, false);
  EXPECT_DOUBLE_EQ(s.goodThreshold, 6.4 + 0.5 * std::sqrt(11.44));
  EXPECT_EQ(s.goodCount, 0);
  EXPECT_EQ(s.goodShare, -99.0);

  // k = 0.4: threshold 7.75; {3,9} alone is good and nothing else is nearer: 100%.
  s = convergenceStatistics(spreadPopulation(), 0.4, false);
  EXPECT_EQ(s.goodCount, 1);
  EXPECT_EQ(s.goodCloserToOther, 0);
  EXPECT_EQ(s.goodShare, 100.0);

  // A raw fitness exactly at the threshold is good ("at least"): k = 0 and all equal.
  Population flat;
  flat.fieldSizes = {5, 10};
  flat.members = {member({0, 0}, 3.0), member({4, 9}, 3.0), member({4, 8}, 3.0)};
  flat.bestEver = bestRecord({0, 0}, 3.0, 0, 1);
  s = convergenceStatistics(flat, 0.0, false);
  EXPECT_EQ(s.goodCount, 2);
  EXPECT_EQ(s.goodCloserToOther, 2);
  EXPECT_EQ(s.goodShare, 0.0);

  // Without a best ever the best of the generation is the reference.
  Population noBestEver = spreadPopulation();
  noBestEver.bestEver = BestRecord{};
  noBestEver.bestOfGeneration = bestRecord({3, 9}, 8.0, 2, 9);
  s = convergenceStatistics(noBestEver, 0.0, false);
  // Good besides {3,9}: {4,9} (40 to the reference, nothing nearer), {0,0} and {1,0}
  // (nearer each other than 180 and 160).
  EXPECT_EQ(s.goodCount, 3);
  EXPECT_EQ(s.goodCloserToOther, 2);
}

TEST(GeneticReportTest, DistanceCountsDifferingFieldsAndNormalisedSteps) {
  const std::vector<int> sizes = {5, 10};
  EXPECT_EQ(convergenceDistance({4, 9}, {4, 9}, sizes), 0);
  EXPECT_EQ(convergenceDistance({4, 9}, {3, 9}, sizes), 40);    // 20 + 80 * 1/4
  EXPECT_EQ(convergenceDistance({4, 9}, {0, 0}, sizes), 200);   // 40 + 80 * (1 + 1)
  EXPECT_EQ(convergenceDistance({0, 0}, {4, 9}, sizes), 200);
  // Truncated, not rounded: 40 + 80 * (1/3 + 2/6) = 93.33.
  EXPECT_EQ(convergenceDistance({0, 0}, {1, 2}, {4, 7}), 93);
  // 20 + 80 * 2/3 = 73.33.
  EXPECT_EQ(convergenceDistance({0}, {2}, {4}), 73);
  // Only the fields both chromosomes and the field sizes have are compared.
  EXPECT_EQ(convergenceDistance({4, 9, 1}, {3, 9}, sizes), 40);
}

// ---------------------------------------------------------------------------------------
// Chromosomes

TEST(GeneticReportTest, ChromosomesWrapAtTheLineWidth) {
  EXPECT_EQ(chromosomeText({2, 4}), " 2 4\n");
  EXPECT_EQ(chromosomeText({}), "\n");

  // Thirteen values of six characters fill a line of 78 exactly; the fourteenth wraps.
  std::vector<int> chromosome(14, 12345);
  std::string line;
  for (int i = 0; i < 13; ++i) line += " 12345";
  EXPECT_EQ(chromosomeText(chromosome), line + "\n 12345\n");

  // Thirty values 100..129: nineteen per line (76 characters), then eleven.
  chromosome.clear();
  for (int v = 100; v < 130; ++v) chromosome.push_back(v);
  EXPECT_EQ(chromosomeText(chromosome),
            " 100 101 102 103 104 105 106 107 108 109 110 111 112 113 114 115 116 117 118\n"
            " 119 120 121 122 123 124 125 126 127 128 129\n");
}

// ---------------------------------------------------------------------------------------
// Blocks of the log

TEST(GeneticReportTest, ParameterReport) {
  // Tournament selection, hashing on, maximising, window scaling off: the defaults.
  ReportSettings s{.crossoverType = 1, .mutationType = 1, .populationSize = 20,
                   .generationsPerCycle = 10, .fieldCount = 3, .pcross = 0.8, .pmutation = 0.05,
                   .pMultimut = 0.1, .avgMutWidth = 2.0, .scaleMultiplier = 1.3,
                   .tournamentSize = 3, .randomSeed = 0.5, .sdAboveMean = 1.0};
  EXPECT_EQ(parameterReport(1, false, s),
            "\n\n Parameters for Subpopulation 1\n"
            " Selection                          = tselection\n"
            " Crossover                          = twoptx\n"
            " Mutation                           = multi-field or multi-bit mutate\n"
            " Fitness function is not stochastic\n"
            " Hashing of evaluated designs       = on\n"
            " KARVO is maximizing the objective function\n"
            " Population size                    = 20\n"
            " Generations per cycle              = 10\n"
            " Number of fields                   = 3\n"
            " Chromosome length (bytes)         =   12\n"
            " Crossover probability (pcross)     = 0.800000\n"
            " Mutation probability (pmutation)   = 0.050000\n"
            " Multi-field mutation (p_multimut)  = 0.100000\n"
            " Mutation width (avg_mut_width)     = 2.000000\n"
            " Scaling window                     = -1\n"
            " Sigma truncation                   = 0.000000\n"
            " Scaling multiplier (scalemult)     = 1.300000\n"
            " Crowding factor                    = 0\n"
            " Incest reduction                   = 0\n"
            " Tournament size                    = 3\n"
            " Random seed                        = 0.500000\n"
            " S.D.'s above mean                  = 1.000000\n"
            " Always evaluate migrants           = no\n");

  // The other heading, the other direction, the flags flipped.
  s.stochastic = true;
  s.hashing = false;
  s.minimising = true;
  s.alwaysEvaluateMigrants = true;
  const std::string single = parameterReport(0, true, s);
  EXPECT_EQ(single.substr(0, single.find(" Population size")),
            " Parameters for Single Population Run\n"
            " Selection                          = tselection\n"
            " Crossover                          = twoptx\n"
            " Mutation                           = multi-field or multi-bit mutate\n"
            " Fitness function is stochastic\n"
            " Hashing of evaluated designs       = off\n"
            " KARVO is MINIMIZING the objective function!!!\n");
  EXPECT_EQ(single.substr(single.rfind('\n', single.size() - 2) + 1),
            " Always evaluate migrants           = yes\n");
}

TEST(GeneticReportTest, OperatorNamesByCode) {
  const char* selections[] = {"tselection", "suselection", "rnkselection"};
  const char* crossovers[] = {"oneptx", "twoptx", "uniformx", "adaptivx", "user_crossover"};
  const char* mutations[] = {"normal mutate bit or field", "multi-field or multi-bit mutate",
                             "adaptive mutation", "user_programmed_mutation"};
  for (int i = 0; i < 3; ++i) EXPECT_STREQ(selectionName(i), selections[i]);
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(crossoverName(i), crossovers[i]);
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(mutationName(i), mutations[i]);
  EXPECT_STREQ(selectionName(3), "unknown");
  EXPECT_STREQ(crossoverName(5), "unknown");
  EXPECT_STREQ(mutationName(-1), "unknown");
}

TEST(GeneticReportTest, InitialPopulationSummary) {
  // Baseline, random, user design taken from the history (counted under both), a failed
  // migrant (none of the four origins).
  EXPECT_EQ(initialPopulationSummary(smallPopulation()),
            "\n Initial population of subpopulation 2\n"
            " Members                            = 4\n"
            " Random designs                     = 1\n"
            " Baseline design                    = 1\n"
            " User designs                       = 1\n"
            " Designs from the history           = 1\n"
            " Other designs                      = 1\n"
            " Failed designs                     = 1\n"
            " Best raw fitness                   = 4\n"
            " Worst raw fitness                  = 1\n");

  Population failed;
  failed.agent = 0;
  failed.members = {member({1}, kFailedPerformance), member({2}, -0.125)};
  failed.members[0].raw = std::nan("");
  // A failed member's fitness is left out of the best and the worst.
  const std::string one = initialPopulationSummary(failed);
  EXPECT_EQ(one.substr(one.find(" Failed")),
            " Failed designs                     = 1\n"
            " Best raw fitness                   = -0.125\n"
            " Worst raw fitness                  = -0.125\n");
  failed.members.pop_back();
  const std::string none = initialPopulationSummary(failed);
  EXPECT_EQ(none.substr(none.find(" Best")),
            " Best raw fitness                   = none\n"
            " Worst raw fitness                  = none\n");
}

Population reportedPopulation() {
  Population p = smallPopulation();
  p.counters = {.generation = 5, .crossovers = 12, .mutations = 7, .evaluations = 20,
                .reevaluationsSaved = 3, .evaluationsAtBest = 14, .generationAtBest = 3,
                .onlineSum = 50.0, .offlineSum = 70.0, .performanceCount = 20};
  p.statistics = {.counted = 3, .rawMin = 1.0, .rawMax = 4.0, .rawAverage = 2.25, .rawSigma = 1.5,
                  .scaledMin = 0.0, .scaledMax = 3.5, .scaledAverage = 1.75, .scaledSum = 7.0};
  return p;
}

const char* const kReportHead =
    "\n         Subpopulation Report, Generation 5\n"
    "# Crossovers = 12, # Mutations = 7, # Evaluations = 20\n"
    "# Re-evaluations saved  (this process) = 3\n"
    "Raw fitnesses: min=             1, max=             4,\n"
    "                avg=          2.25, rawsigma=           1.5\n"
    "Scaled fitnesses:  min =             0, max =           3.5,\n"
    "                   avg =        1.75, sum =    7.000000\n"
    "Convergence:  Average allele std. deviation:   1.41\n"
    "              Percentage of loci converged:   50.00%\n"
    "              Evaluations since new best:         6\n"
    "              Generations since new best:         2\n"
    "On-Line Perf. =         2.5000000000, Off-Line Perf. =         3.5000000000\n"
    "Best of generation: raw fitness =         4.0000000000, gen = 5, neval = 19, chromosome =\n"
    " 2 4\n"
    "Best ever:          raw fitness =         4.0000000000, gen = 3, neval = 14, chromosome =\n"
    " 2 4\n";

TEST(GeneticReportTest, SubpopulationReport) {
  const Population p = reportedPopulation();
  const ConvergenceStatistics s = convergenceStatistics(p, 0.0, false);
  EXPECT_EQ(subpopulationReport(p, s, false), kReportHead);
  EXPECT_EQ(subpopulationReport(p, s, true), std::string(kReportHead) +
                                                 "Full convergence statistics, mean of each locus:\n"
                                                 "      2       4 \n"
                                                 "Standard deviation of each locus:\n"
                                                 "      0    2.83 \n"
                                                 "NO OTHER 'GOOD' GUYS FOUND.\n");

  // The share line, and the best records before any member was scored.
  Population spread = spreadPopulation();
  spread.bestOfGeneration = BestRecord{};
  spread.bestEver = BestRecord{};
  ConvergenceStatistics shared = convergenceStatistics(spreadPopulation(), 0.0, false);
  const std::string text = subpopulationReport(spread, shared, true);
  EXPECT_EQ(text.substr(text.find("On-Line")),
            "On-Line Perf. =         0.0000000000, Off-Line Perf. =         0.0000000000\n"
            "Best of generation: none\n"
            "Best ever:          none\n"
            "Full convergence statistics, mean of each locus:\n"
            "    1.6     4.6 \n"
            "Standard deviation of each locus:\n"
            "   1.62    4.03 \n"
            "Other 'good' guys (raw fitness >= 6.4): 3, closest to the best:  33.3%\n");
}

TEST(GeneticReportTest, LocusLinesHoldTenValues) {
  Population p;
  p.fieldSizes.assign(12, 1000);
  p.members = {member(std::vector<int>(12, 500), 1.0)};
  p.members[0].design.chromosome[11] = 12345;
  p.fieldSizes[11] = 20000;
  const ConvergenceStatistics s = convergenceStatistics(p, 0.0, false);
  const std::string text = subpopulationReport(p, s, true);
  EXPECT_EQ(text.substr(text.find("Full")),
            "Full convergence statistics, mean of each locus:\n"
            "    500     500     500     500     500     500     500     500     500     500 \n"
            "    500 1.23e+04 \n"
            "Standard deviation of each locus:\n"
            "      0       0       0       0       0       0       0       0       0       0 \n"
            "      0       0 \n"
            "NO OTHER 'GOOD' GUYS FOUND.\n");
}

TEST(GeneticReportTest, NewBestEverAndEndOfSubpopulationLines) {
  EXPECT_EQ(newBestEverReport(1, 0, 3, bestRecord({2, 4}, 4.0, 3, 14), 57),
            "\n*** Subpop 1 Achieved New Best Ever Among Subpops 0 - 3:"
            "\n    Its Neval (rel. to all pops, all processors) = 57 *** \n"
            " raw fitness =         4.0000000000, gen = 3, chromosome =\n"
            " 2 4\n");
  EXPECT_EQ(newBestEverReport(0, 0, 0, bestRecord({}, -1234.5, 0, 1), 1),
            "\n*** Subpop 0 Achieved New Best Ever Among Subpops 0 - 0:"
            "\n    Its Neval (rel. to all pops, all processors) = 1 *** \n"
            " raw fitness =     -1234.5000000000, gen = 0, chromosome =\n"
            "\n");
  EXPECT_EQ(endOfSubpopulationReport(2, 1, 2.5, -0.125),
            "\n\nAt END of subpopulation 2's run in cycle 1\n"
            "On-Line Perf. =         2.5000000000, Off-Line Perf. =        -0.1250000000\n");
}

}  // namespace
}  // namespace karvo::search
