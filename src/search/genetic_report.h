// The texts of the genetic log of a search agent (`<prefix><agent>.dat` in the study folder):
// the parameter report at the start, the summary of the initial population, the report of
// each generation with its convergence statistics, the new-best-ever lines and the lines at
// the end of a subpopulation's run in a cycle. Every function only reads its arguments and
// answers the text; the caller writes it to the log (writeText) or leaves it out (quiet
// mode, log levels). docs/genetic-log.md explains the lines to the user.
//
// Chromosomes are written as their field values separated by one blank, each value led by a
// blank, in lines of at most kChromosomeLineWidth characters (newline not counted); a value
// wider than a line gets a line of its own.
#pragma once

#include <string>
#include <vector>

#include "search/population.h"

namespace karvo::search {

inline constexpr int kChromosomeLineWidth = 78;  // characters per chromosome line, newline
                                                 // not counted
inline constexpr int kLociPerLine = 10;          // locus means and deviations per line

// What the parameter report prints. Filled by the agent's set-up from the method settings.
struct ReportSettings {
  int selectionType = 0;          // selection code, 0..2 (see selectionName)
  int crossoverType = 0;          // crossover code, 0..4 (see crossoverName)
  int mutationType = 0;           // mutation code, 0..3 (see mutationName)
  bool stochastic = false;        // the fitness function is stochastic (migrants are then
                                  // always evaluated again)
  bool hashing = true;            // evaluated designs are kept in the stored-design table,
                                  // so that a design met again is not evaluated again
  bool minimising = false;        // the study minimises its objective
  int populationSize = 0;         // members per subpopulation, >= 1
  int generationsPerCycle = 0;    // generations of one cycle, >= 0
  int fieldCount = 0;             // fields of the chromosome (design variables), >= 0;
                                  // 4 bytes each
  double pcross = 0.0;            // crossover probability, [0, 1]
  double pmutation = 0.0;         // mutation probability, [0, 1]
  double pMultimut = 0.0;         // multi-field mutation probability, [0, 1]
  double avgMutWidth = 0.0;       // average width of a multi-field mutation block, fields
  int scalingWindow = -1;         // scaling window W, generations; < 0: window scaling off
  double sigmaTruncation = 0.0;   // sigma-truncation coefficient c; 0: off
  double scaleMultiplier = 1.0;   // linear scaling multiplier (scalemult); <= 1.0: off
  int crowdingFactor = 0;         // crowding factor, members; 0: no crowding
  int incestReduction = 0;        // incest reduction, 0: off
  int tournamentSize = 2;         // tournament size, >= 2 (tournament selection)
  double randomSeed = 0.0;        // seed of the random number generator
  double sdAboveMean = 0.0;       // k: standard deviations above the mean raw fitness for a
                                  // member to count as "good"
  bool alwaysEvaluateMigrants = false;  // migrants are evaluated again when taken over
};

// The operator names of the parameter report; "unknown" for a code outside the table.
const char* selectionName(int code);  // 0 tselection, 1 suselection, 2 rnkselection
const char* crossoverName(int code);  // 0 oneptx, 1 twoptx, 2 uniformx, 3 adaptivx,
                                      // 4 user_crossover
const char* mutationName(int code);   // 0 "normal mutate bit or field", 1 "multi-field or
                                      // multi-bit mutate", 2 "adaptive mutation",
                                      // 3 user_programmed_mutation

// Convergence statistics of one generation of a subpopulation.
//
// Loci: the mean and standard deviation (divisor n) of each field's value over all members
// (a failed member keeps its chromosome in the population and counts here). A locus is
// converged when its mean is 0 or its deviation divided by its mean is below 0.05.
//
// "Good" members: the members not at the failure mark whose raw fitness is at least
// mean + k * sigma of the raw fitness of those members (divisor n). The raw fitness is the
// performance, which is larger-is-better also when the study minimises its objective (the
// performance of a minimised objective falls as the objective rises), so "at most mean -
// k * sigma of the objective" of a minimisation is this same rule: the direction of the
// study never changes which members are good.
//
// Share: of the good members other than the reference best (the subpopulation's best ever,
// or the best of the generation while there is no best ever; a member whose chromosome
// equals the reference's is the best itself and is not counted), g in all, c are those for
// which some other good member lies strictly closer than the reference best does; the
// share is 100 * (1 - c / g), or -99 when g is 0 or there is no reference best.
//
// Distance of two chromosomes a and b (convergenceDistance): trunc(20 * D + 80 * S), D the
// number of fields in which they differ and S the sum over the fields of |a - b| / (N - 1),
// N the field size (a field of size 1 cannot differ).
struct ConvergenceStatistics {
  std::vector<double> locusMean;   // per field, field value units
  std::vector<double> locusSigma;  // per field, divisor n
  int convergedLoci = 0;           // 0..number of fields
  double percentConverged = 0.0;   // 100 * convergedLoci / fields; 0 without fields
  double averageSigma = 0.0;       // mean of locusSigma; 0 without fields
  int counted = 0;                 // members not at the failure mark
  double goodThreshold = 0.0;      // mean + k * sigma of their raw fitness
  int goodCount = 0;               // g: good members other than the reference best
  int goodCloserToOther = 0;       // c: good members with another good member closer than
                                   // the reference best
  double goodShare = -99.0;        // 100 * (1 - c / g), percent; -99: none
};

// Distance of two chromosomes of the same representation (see above). Fields beyond the
// shorter of the two chromosomes or beyond fieldSizes are not compared.
int convergenceDistance(const std::vector<int>& a, const std::vector<int>& b,
                        const std::vector<int>& fieldSizes);

// The convergence statistics of the population's members (see ConvergenceStatistics);
// `sdAboveMean` is k. `minimising` is the direction of the study; it does not change the
// rule (see above) and is taken so that the caller need not know that.
ConvergenceStatistics convergenceStatistics(const Population& population, double sdAboveMean,
                                            bool minimising);

// A chromosome as the log writes it (see the top of this file), ended by a newline.
std::string chromosomeText(const std::vector<int>& chromosome);

// The parameter report written when the agent starts: for subpopulation `subpopulation`, or
// the "Single Population Run" heading when `singlePopulation` is set.
std::string parameterReport(int subpopulation, bool singlePopulation,
                            const ReportSettings& settings);

// A short block on the initial population: its size, how many members are random, the
// baseline, user designs and designs of the history (a member with several origins counts
// under each), how many have none of these origins, how many failed, and the best and worst
// raw fitness of the members not at the failure mark.
std::string initialPopulationSummary(const Population& population);

// The report of one generation: counters, raw and scaled fitness (population.statistics),
// convergence, evaluations and generations since the last new best, on-line and off-line
// performance, the best of the generation and the best ever with their chromosomes; with
// `fullConvergence` also the mean and deviation of every locus and the share of "good"
// members closest to the best.
std::string subpopulationReport(const Population& population,
                                const ConvergenceStatistics& convergence, bool fullConvergence);

// The lines of a new best ever over the subpopulations firstSubpop..lastSubpop, found by
// `subpopulation`; `neval` is its evaluation number over all subpopulations and processes.
std::string newBestEverReport(int subpopulation, int firstSubpop, int lastSubpop,
                              const BestRecord& best, long neval);

// The lines at the end of a subpopulation's run in a cycle.
std::string endOfSubpopulationReport(int subpopulation, int cycle, double online,
                                     double offline);

}  // namespace karvo::search
