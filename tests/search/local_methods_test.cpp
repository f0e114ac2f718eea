// The simulated annealing (SA) and the simplex search (NMS), plain and annealed, through the
// real karvo binary on formula-only studies, plus the temperature schedule of SA: another
// seed gives other designs, the budget is spent exactly and never exceeded (one design at
// a time or side by side), a smooth bowl's minimum is reached, the first simplex is the
// starting point plus one moved point per field, and a starting design that is not stored
// ends the run with its message.
//
// Every design's point is written by its formula to "points.txt" (one line per evaluation,
// the field values of x and y on their grid of 101 values over [0, 10]), in evaluation order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "search/methods/annealing.h"
#include "support/search_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using testing::HasLines;
using testing::readFile;
using testing::runSearchStudy;
using testing::searchMessages;
using testing::TempDir;
using testing::writeFile;

constexpr const char* kSkewedBowl = "(x - 3)**2 + 2*(y - 7)**2 + 0.5*(x - 3)*(y - 7)";

std::string annealing(int budget, int temps, int iters, const std::string& start = "Baseline") {
  return "method: SA\nnumEvals: " + std::to_string(budget) + "\nnumTemps: " +
         std::to_string(temps) + "\nmaxIters: " + std::to_string(iters) +
         "\nstartTemp: 1\nendTemp: 0.001\nstartingDesign: " + start + "\n";
}

std::string simplex(int budget, int temps, const std::string& size = "0.2",
                    const std::string& start = "Baseline") {
  return "method: NMS\nnumEvals: " + std::to_string(budget) + "\nsimplexSize: " + size +
         "\nnumTemps: " + std::to_string(temps) + "\nstartingDesign: " + start + "\n";
}

// The shared search study (baseline `baseline` in both variables, f minimised) on a grid of
// `resolution` values; the formula also appends the design's field values to points.txt.
void writeLocalStudy(const TempDir& dir, const std::string& method,
                     const std::string& f = kSkewedBowl, int parallel = 1, int resolution = 101,
                     const std::string& baseline = "9") {
  const std::string scale = std::to_string(resolution - 1);
  testing::writeSearchStudy(
      dir, {.agent = method,
            .f = "open('" + dir.file("points.txt") + "', 'a').write('%d %d\\n' % (round(x*" +
                 scale + "/10), round(y*" + scale + "/10))) * 0 + (" + f + ")",
            .g = "", .f2 = "",
            .resolution = resolution, .parallel = parallel, .baseline = baseline});
}

// The evaluated points, in evaluation order.
std::vector<std::string> points(const TempDir& dir) {
  std::vector<std::string> lines;
  if (!fs::exists(dir.file("points.txt"))) return lines;
  std::istringstream in(readFile(dir.file("points.txt")));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The best performance of the run's designs (all feasible: no constraints).
double bestPerformance(const TempDir& dir) {
  return testing::bestSearchPerformance(testing::searchDesignResults(dir), "FEASIBLE");
}

// Runs the study and checks that it ended normally with exactly `designs` designs, numbered
// 1 .. designs.
void expectDesigns(const TempDir& dir, std::size_t designs) {
  const auto result = runSearchStudy(dir);
  ASSERT_EQ(result.status, 0) << searchMessages(dir) << result.err;
  const auto performance = testing::searchDesignResults(dir);
  ASSERT_EQ(performance.size(), designs) << searchMessages(dir);
  EXPECT_EQ(performance.begin()->first, 1);
  EXPECT_EQ(performance.rbegin()->first, static_cast<int>(designs));
  EXPECT_EQ(points(dir).size(), designs);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
}

TEST(AnnealingTemperature, FallsGeometricallyFromTheFirstToTheLastExactly) {
  using search::annealingTemperature;
  EXPECT_EQ(annealingTemperature(3.0, 0.7, 5, 0), 3.0);
  EXPECT_EQ(annealingTemperature(3.0, 0.7, 5, 4), 0.7);  // not 3 * (0.7 / 3)
  EXPECT_EQ(annealingTemperature(3.0, 0.7, 5, 9), 0.7);
  EXPECT_DOUBLE_EQ(annealingTemperature(1.0, 0.001, 4, 1), 0.1);
  EXPECT_DOUBLE_EQ(annealingTemperature(1.0, 0.001, 4, 2), 0.01);
  EXPECT_DOUBLE_EQ(annealingTemperature(2.0, 0.5, 3, 1), 1.0);
  // One temperature: the first one throughout.
  EXPECT_EQ(annealingTemperature(3.0, 0.7, 1, 0), 3.0);
  EXPECT_EQ(annealingTemperature(3.0, 0.7, 1, 2), 3.0);
}

// The budget counts the baseline: 79 trials after it, although the schedule allows 100.
TEST(AnnealingRun, SpendsItsBudgetExactlyAndReachesTheMinimumOfABowl) {
  TempDir dir("karvo-sa-bowl");
  writeLocalStudy(dir, annealing(80, 5, 20));
  expectDesigns(dir, 80);
  // The baseline scores -(36 + 8 + 6) = -50; the optimum (3, 7) scores 0, its grid
  // neighbours -0.01 to -0.04; -0.5 is within about 0.5 of it in each variable.
  EXPECT_EQ(testing::searchDesignResults(dir).at(1), "FEASIBLE -50.");
  EXPECT_GE(bestPerformance(dir), -0.5) << searchMessages(dir);
}

// 2 temperatures x 10 trials: the schedule ends before the budget of 100.
TEST(AnnealingRun, OneTrialPerGenerationAndTheScheduleEndsTheRun) {
  TempDir dir("karvo-sa-schedule");
  writeLocalStudy(dir, annealing(100, 2, 10));
  expectDesigns(dir, 21);
}

// Side by side: each trial evaluates nParallel neighbours; the last batch is cut to the
// budget (1 + 3 x 13 = 40, then one more design).
TEST(AnnealingRun, SideBySideNeverExceedsTheBudget) {
  TempDir dir("karvo-sa-parallel");
  writeLocalStudy(dir, annealing(41, 5, 20), kSkewedBowl, 3);
  expectDesigns(dir, 41);
}

// Another seed gives other designs (a run repeats its designs from the same seed: the
// extended-run tests compare whole runs with stopped and extended ones).
TEST(LocalMethods, AnotherSeedGivesOtherDesigns) {
  const std::string f = "(x - 3)**2 + (y - 7)**2 + 3*sin(x*y)";
  for (const std::string& method : {annealing(40, 4, 10), simplex(50, 5)}) {
    TempDir first("karvo-local-first");
    TempDir other("karvo-local-other");
    writeLocalStudy(first, method, f);
    writeLocalStudy(other, method, f);
    std::string study = readFile(other.file("study.in"));
    study.replace(study.find("randomSeed: 0.25"), 16, "randomSeed: 0.5");
    writeFile(other.file("study.in"), study);
    const std::size_t designs = method == simplex(50, 5) ? 50 : 40;
    for (const TempDir* dir : {&first, &other}) expectDesigns(*dir, designs);
    EXPECT_NE(points(first), points(other)) << method;
  }
}

// A moved field that fits upwards goes upwards; a move below one field step still moves by
// one step (baseline (4, 4) here on a grid of 11 values: a share of 0.01 is 0.1 step).
TEST(SimplexRun, FirstSimplexMovesInsideTheRangeByAtLeastOneFieldStep) {
  TempDir dir("karvo-nms-step");
  writeLocalStudy(dir, simplex(3, 0, "0.01"), kSkewedBowl, 1, 11, "4");
  expectDesigns(dir, 3);
  EXPECT_EQ(points(dir), (std::vector<std::string>{"4 4", "5 4", "4 5"}));
}

// The first simplex: the baseline (9, 9) is design 1; each field moves by 0.2 of its range
// (20 of its 100 steps): upwards would leave the range, so downwards.
TEST(SimplexRun, FirstSimplexThenTheWholeBudgetAndTheMinimumOfABowl) {
  TempDir dir("karvo-nms-bowl");
  writeLocalStudy(dir, simplex(60, 0));
  expectDesigns(dir, 60);
  const auto lines = points(dir);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
            (std::vector<std::string>{"90 90", "70 90", "90 70"}));
  EXPECT_EQ(bestPerformance(dir), 0.0) << searchMessages(dir);
}

// Side by side the reflection and the expansion go out together; the budget still holds.
TEST(SimplexRun, SideBySideNeverExceedsTheBudget) {
  TempDir dir("karvo-nms-parallel");
  writeLocalStudy(dir, simplex(37, 0), kSkewedBowl, 2);
  expectDesigns(dir, 37);
  EXPECT_GE(bestPerformance(dir), -0.1) << searchMessages(dir);
}

// On a coarse grid the simplex soon spans one field step and is built afresh around the
// best design: the search goes on until its budget is spent.
TEST(SimplexRun, CollapsedSimplexRestartsUntilTheBudgetIsSpent) {
  TempDir dir("karvo-nms-restart");
  writeLocalStudy(dir, simplex(30, 0, "0.5"), "(x - 3)**2 + (y - 7)**2 + 3*sin(3*x*y)", 1, 21);
  expectDesigns(dir, 30);
}

// A space of 3 x 3 designs under a budget of 50: the simplex keeps collapsing onto designs
// met before; the run ends normally after its generations without evaluating a design
// twice (the baseline, stored by its real values, may come back once as a grid design).
TEST(SimplexRun, TinyDesignSpaceEndsNormally) {
  TempDir dir("karvo-nms-tiny");
  writeLocalStudy(dir, simplex(50, 0), kSkewedBowl, 1, 3, "10");
  const auto result = runSearchStudy(dir);
  ASSERT_EQ(result.status, 0) << searchMessages(dir);
  const auto lines = points(dir);
  EXPECT_LE(lines.size(), 10u);
  EXPECT_GE(std::set<std::string>(lines.begin(), lines.end()).size() + 1, lines.size());
}

TEST(AnnealedSimplexRun, ReachesTheMinimumOfABowl) {
  TempDir dir("karvo-nmsa-bowl");
  writeLocalStudy(dir, simplex(80, 4));
  expectDesigns(dir, 80);
  EXPECT_GE(bestPerformance(dir), -0.1) << searchMessages(dir);
}

// Design 5 is not stored in a new study: the run stops before anything but the baseline.
TEST(LocalMethods, StartingDesignThatIsNotStoredEndsTheRun) {
  for (const std::string& method : {annealing(20, 2, 10, "5"), simplex(20, 0, "0.2", "5")}) {
    TempDir dir("karvo-local-start");
    writeLocalStudy(dir, method);
    const auto result = runSearchStudy(dir);
    EXPECT_NE(result.status, 0) << method;
    EXPECT_THAT(searchMessages(dir),
                HasLines("The starting design 5 was not found among the designs evaluated by "
                         "agent 0.\n"))
        << method << searchMessages(dir);
    EXPECT_EQ(points(dir), std::vector<std::string>{"90 90"});
  }
}

}  // namespace
}  // namespace karvo
