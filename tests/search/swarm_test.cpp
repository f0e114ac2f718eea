// The particle swarm: the ring neighbourhood best, and runs of the real karvo binary on
// formula-only studies: each generation evaluates the whole swarm and the run numDesigns x
// numGen designs, a bowl's optimum is found, and the convergence stop ends a collapsed swarm
// normally.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "base/design.h"
#include "search/methods/swarm.h"
#include "support/search_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::HasLines;
using testing::readFile;
using testing::runSearchStudy;
using testing::searchDesignResults;
using testing::searchMessages;
using testing::TempDir;
using testing::writeFile;

constexpr double kFailed = kFailedPerformance;

// ---------------------------------------------------------------------------------------
// The ring neighbourhood

TEST(SwarmNeighbourhood, EvenSizesReachFurtherForwardAndSizesClampToTheRing) {
  const std::vector<double> values = {5, 1, 2, 9, 3, 4};
  // Four neighbours: i - 1 .. i + 2.
  EXPECT_THAT(search::swarmNeighbourhoodBests(values, 4), ElementsAre(0, 3, 3, 3, 3, 0));
  // Two neighbours: i .. i + 1.
  EXPECT_THAT(search::swarmNeighbourhoodBests(values, 2), ElementsAre(0, 2, 3, 3, 5, 0));
  // One: every particle is its own neighbourhood.
  EXPECT_THAT(search::swarmNeighbourhoodBests(values, 1), ElementsAre(0, 1, 2, 3, 4, 5));
  // The whole swarm (or more): the global best everywhere.
  EXPECT_THAT(search::swarmNeighbourhoodBests(values, 6), ElementsAre(3, 3, 3, 3, 3, 3));
  EXPECT_THAT(search::swarmNeighbourhoodBests(values, 50), ElementsAre(3, 3, 3, 3, 3, 3));
  EXPECT_TRUE(search::swarmNeighbourhoodBests({}, 3).empty());
}

TEST(SwarmNeighbourhood, FailedValuesNeverLeadAndEqualsGoToTheFirstInRingOrder) {
  // Negative performances are ordinary values; the failure mark is not.
  const std::vector<double> values = {kFailed, -7, kFailed, kFailed, kFailed, -2};
  EXPECT_THAT(search::swarmNeighbourhoodBests(values, 3), ElementsAre(5, 1, 1, 3, 5, 5));
  // Equal values: the first met from i - 1 onwards.
  const std::vector<double> ties = {4, 4, 4, 4};
  EXPECT_THAT(search::swarmNeighbourhoodBests(ties, 3), ElementsAre(3, 0, 1, 2));
}

// ---------------------------------------------------------------------------------------
// Runs of the binary

// A formula-only study of two variables on [0, 10] (baseline 9, 9) searched by a swarm.
struct SwarmStudy {
  int numDesigns = 6;
  int numGen = 4;
  int neighborhoodSize = 3;
  std::string weights = "globalBest: 1.0\npersonalBest: 1.5\nlocalBest: 1.0\n";
  int resolution = 101;  // values of each variable
  std::string f = "(x - 3)**2 + 2*(y - 7)**2 + 0.5*(x - 3)*(y - 7)";
  bool baselineJoins = false;  // the run option baselineIsAGoodDesign
};

void writeStudy(const TempDir& dir, const SwarmStudy& s) {
  testing::SearchStudy study;
  study.agent = "method: PSO\nnumDesigns: " + std::to_string(s.numDesigns) +
                "\nnumGen: " + std::to_string(s.numGen) +
                "\nneighborhoodSize: " + std::to_string(s.neighborhoodSize) + "\n" + s.weights;
  study.f = s.f;
  study.resolution = s.resolution;
  testing::writeSearchStudy(dir, study);
  if (s.baselineJoins) {
    std::string text = readFile(dir.file("study.in"));
    text.insert(text.find("*AGENT"), "*RUN_OPTIONS\nbaselineIsAGoodDesign: 1\n");
    writeFile(dir.file("study.in"), text);
  }
}

double bestPerformance(const std::map<int, std::string>& results) {
  return testing::bestSearchPerformance(results, "FEASIBLE");
}

// The "**Subpop 0, Gen g done; Total eval.'s this process: n" lines, as g -> n.
std::map<int, long> evaluationsAfterGenerations(const std::string& text) {
  std::map<int, long> counts;
  const std::regex line(
      "\\*\\*Subpop 0, Gen ([0-9]+) done; Total eval\\.'s this process: ([0-9]+)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator();
       ++it) {
    counts[std::stoi((*it)[1])] = std::stol((*it)[2]);
  }
  return counts;
}

// numDesigns x numGen designs: the first swarm is the first generation, each later
// generation moves and evaluates the whole swarm; the baseline comes first and is one more
// design unless it joins the swarm. (On a grid of 10 001 values a repeat of a design, which
// would cost nothing, is unlikely enough in 24 designs; the seed is fixed.)
TEST(SwarmRun, EveryGenerationEvaluatesTheWholeSwarm) {
  for (const bool joins : {false, true}) {
    TempDir dir("karvo-pso-count");
    SwarmStudy study;
    study.resolution = 10001;
    study.baselineJoins = joins;
    writeStudy(dir, study);
    ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
    const std::string text = searchMessages(dir);
    const long baseline = joins ? 0 : 1;
    std::map<int, long> expected;
    for (int g = 1; g <= 3; ++g) expected[g] = baseline + 6L * (g + 1);
    EXPECT_EQ(evaluationsAfterGenerations(text), expected) << text;
    const auto designs = searchDesignResults(dir);
    EXPECT_EQ(designs.size(), static_cast<std::size_t>(baseline + 24)) << "joins " << joins;
    // The baseline at (9, 9) scores -(36 + 8 + 6) = -50 and is design 1 either way.
    EXPECT_EQ(designs.at(1), "FEASIBLE -50.");
    EXPECT_THAT(readFile(dir.file("search0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
  }
}

// numGen 1: the first swarm is the whole run.
TEST(SwarmRun, OneGenerationIsTheFirstSwarmOnly) {
  TempDir dir("karvo-pso-one");
  SwarmStudy study;
  study.numGen = 1;
  writeStudy(dir, study);
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  EXPECT_EQ(searchDesignResults(dir).size(), 7u);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
}

TEST(SwarmRun, FindsTheOptimumRegionOfABowl) {
  TempDir dir("karvo-pso-bowl");
  SwarmStudy study;
  study.numDesigns = 8;
  study.numGen = 10;
  study.resolution = 10001;
  writeStudy(dir, study);
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  const auto designs = searchDesignResults(dir);

  // Within 0.3 of the optimum (3, 7) in each variable: f <= 0.3^2 (2 + 1 + 0.5) < 0.33.
  EXPECT_GE(bestPerformance(designs), -0.33) << searchMessages(dir);
  // A swarm without attraction drifts at its starting velocities and finds far less.
  TempDir idle("karvo-pso-idle");
  study.weights = "globalBest: 0\npersonalBest: 0\nlocalBest: 0\n";
  writeStudy(idle, study);
  ASSERT_EQ(runSearchStudy(idle).status, 0) << searchMessages(idle);
  EXPECT_LT(bestPerformance(searchDesignResults(idle)), bestPerformance(designs));
}

// Three values per variable: the swarm gathers on the best of the nine designs, its
// velocities die away, and the run ends with the note long before numGen generations.
TEST(SwarmRun, ConvergenceStopEndsACollapsedSwarmNormally) {
  TempDir dir("karvo-pso-converged");
  SwarmStudy study;
  study.numDesigns = 4;
  study.numGen = 200;
  study.resolution = 3;
  study.f = "(x - 4)**2 + (y - 6)**2";
  writeStudy(dir, study);
  const auto result = runSearchStudy(dir);
  ASSERT_EQ(result.status, 0) << searchMessages(dir);
  const std::string text = searchMessages(dir);
  EXPECT_THAT(text, HasLines("The PSO methods seems to have converged and cannot make further "
                             "progress. The run will now terminate.\n"));
  // Stopped early, with every design of the run answered once.
  const auto counts = evaluationsAfterGenerations(text);
  ASSERT_FALSE(counts.empty());
  EXPECT_LT(counts.rbegin()->first, 199);
  EXPECT_LE(searchDesignResults(dir).size(), 9u);
  EXPECT_EQ(searchDesignResults(dir).size(), static_cast<std::size_t>(counts.rbegin()->second));
  // The best of the grid is (5, 5): f = 1 + 1.
  EXPECT_EQ(bestPerformance(searchDesignResults(dir)), -2.0);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
}

}  // namespace
}  // namespace karvo
