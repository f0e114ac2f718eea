// The hybrid search through the real karvo binary on formula-only studies: it spends its
// budget exactly, finds the optimum of a smooth problem that a few dozen designs can find,
// finds the boundary of a steep constraint, models positive variables in their logarithms,
// follows a curved valley to its bottom in its local phase, makes the same designs side by
// side whatever order they finish in, and ends when its design space is exhausted. (That a
// run repeats its designs from the seed, one at a time, the extended-run tests show: a
// stopped and extended run writes the history of the run never stopped.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "support/search_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using testing::readFile;
using testing::bestSearchPerformance;
using testing::runSearchStudy;
using testing::searchDesignResults;
using testing::searchMessages;
using testing::TempDir;
using testing::unwrapped;
using testing::writeFile;

// Two variables on a grid of 101 values over [0, 10] (the optimum x = 3, y = 7 lies on
// it), the objective f and optionally the constraint g <= 0.
// `agent`: further lines of the agent record; `process`: the process file ("": formulas
// only).
void writeStudy(const TempDir& dir, int budget, int parallel, const std::string& f,
                const std::string& g = "", const std::string& agent = "",
                const std::string& process = "") {
  testing::SearchStudy study;
  study.agent = "method: TOLMAR\nnumEvals: " + std::to_string(budget) + "\n" + agent;
  study.f = f;
  study.g = g;
  study.parallel = parallel;
  if (!process.empty()) study.process = process;
  testing::writeSearchStudy(dir, study);
}

TEST(TolmarRun, SpendsItsBudgetExactlyAndFindsTheOptimumOfABowl) {
  TempDir dir("karvo-tolmar-bowl");
  writeStudy(dir, 60, 1, "(x - 3)**2 + 2*(y - 7)**2 + 0.5*(x - 3)*(y - 7)");
  const auto result = runSearchStudy(dir);
  ASSERT_EQ(result.status, 0) << searchMessages(dir);
  const auto designs = searchDesignResults(dir);
  ASSERT_EQ(designs.size(), 60u) << searchMessages(dir);
  EXPECT_EQ(designs.begin()->first, 1);
  EXPECT_EQ(designs.rbegin()->first, 60);
  // The baseline scores -(36 + 8 + 6) = -50; the grid holds the optimum itself.
  EXPECT_EQ(designs.at(1), "FEASIBLE -50.");
  EXPECT_EQ(bestSearchPerformance(designs, "FEASIBLE"), 0.0) << searchMessages(dir);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), testing::HasLines("*EXIT STATE\nComplete\n"));
}

// A steep constraint near the lower bounds (1/x^2 + 4/y^2 <= 0.5, as a spring's or a
// buckling load's power law): its models, not the operators, find the boundary, so with
// constraints the model-based designs take half of each generation and all of the local
// phase's. Then the grid optimum x = 2.3, y = 3.6 (f = 5.9) is found within 30 designs;
// with a quarter of the local phase's designs left to the operators the best design after 30
// is f = 6.0.
TEST(TolmarRun, ModelsFindASteepConstraintsBoundaryWithinAFewDesigns) {
  TempDir dir("karvo-tolmar-steep");
  writeStudy(dir, 30, 1, "x + y", "1/x**2 + 4/y**2 - 0.5");
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  EXPECT_NEAR(bestSearchPerformance(searchDesignResults(dir), "FEASIBLE"), -5.9, 1e-9)
      << searchMessages(dir);
}

// Dimensions over [0.01, 10] and a response that is a quadratic in their logarithms, as
// power laws of dimensions are nearly: the local models fit it exactly in the logarithms and
// find its optimum (x = 0.3, y = 2, on the grid of steps of 0.001) within 20 designs; in the
// variables themselves the best after 20 is 0.097 above it.
TEST(TolmarRun, LocalModelsFitAPowerLawInTheLogarithmsOfPositiveVariables) {
  TempDir dir("karvo-tolmar-logs");
  testing::SearchStudy study;
  study.agent = "method: TOLMAR\nnumEvals: 20\n";
  study.f = "log(x/0.3)**2 + 2*log(y/2)**2";
  study.lower = "0.01";
  study.resolution = 9991;
  testing::writeSearchStudy(dir, study);
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  EXPECT_EQ(bestSearchPerformance(searchDesignResults(dir), "FEASIBLE"), 0.0)
      << searchMessages(dir);
}

// A curved valley (Rosenbrock's, bottom at x = 3, y = 7 on the grid of 1 001 values): once
// the models predict the trust-region steps well, the local phase takes one step after the
// other along the valley and reaches its bottom within the budget.
TEST(TolmarRun, LocalPhaseFollowsACurvedValleyToItsBottom) {
  TempDir dir("karvo-tolmar-valley");
  testing::SearchStudy study;
  study.agent = "method: TOLMAR\nnumEvals: 86\n";
  study.f = "(x - 3)**2 + 20*((y - 7) - (x - 3)**2)**2";
  study.resolution = 1001;
  testing::writeSearchStudy(dir, study);
  const auto result = runSearchStudy(dir);
  ASSERT_EQ(result.status, 0) << searchMessages(dir);
  EXPECT_EQ(bestSearchPerformance(searchDesignResults(dir), "FEASIBLE"), 0.0)
      << searchMessages(dir);
}

// On a rugged function the models never predict a step well enough for the local phase to
// begin, but in the last cycles of the budget it is on all the same: there the steps are made
// and evaluated one at a time (one-design evaluation calls), which whole generations never are.
TEST(TolmarRun, LastCyclesOfTheBudgetAreTrustRegionSteps) {
  TempDir dir("karvo-tolmar-final");
  writeStudy(dir, 60, 1, "abs(x - 3) + abs(y - 7) + 0.3*sin(50*x)*sin(50*y)");
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  EXPECT_THAT(searchMessages(dir), ::testing::HasSubstr("Num in: 1, num existing: 0"));
}

// Side by side the designs of a batch finish in an order set by the analyses' times: here
// the odd-numbered designs take longer in one run and the even-numbered ones in the other.
// Neither the scores nor the designs may follow that order: the objective is normalised by the
// baseline's value (design 1, slow in the first run, so design 2 finishes before it), and the
// models must see the designs in the same order in both runs.
TEST(TolmarRun, FinishingOrderSideBySideChangesNoScoreAndNoDesign) {
  TempDir first("karvo-tolmar-odd");
  TempDir second("karvo-tolmar-even");
  for (const auto& [dir, slow] : {std::pair{&first, 1}, std::pair{&second, 0}}) {
    writeFile(dir->file("t.sh"), "n=$(basename \"$PWD\" | tr -dc 0-9)\n"
                                 "if [ $((n % 2)) -eq " + std::to_string(slow) +
                                     " ]; then sleep 0.15; fi\n");
    writeStudy(*dir, 40, 2, "(x - 3)**2 + (y - 7)**2 + 3*sin(x*y) + 1", "", "",
               "*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: t\nid: 1\n"
               "*EXECUTION_DEFINITION\nanlFolder: designFolder\ntoolCmd: sh " +
                   dir->file("t.sh") + "\nnumDesigns: 2\nsuccessReturnValue: 0\n*END\n");
    std::string performance = readFile(dir->file("Performance0.in"));
    performance.replace(performance.find("factor: 1"), 9, "factor: baseline");
    writeFile(dir->file("Performance0.in"), performance);
    ASSERT_EQ(runSearchStudy(*dir).status, 0) << searchMessages(*dir);
  }
  const auto results = searchDesignResults(first);
  ASSERT_EQ(results.size(), 40u);
  // The baseline (9, 9) scores -f(9, 9) / f(9, 9).
  EXPECT_EQ(results.at(1), "FEASIBLE -1.");
  EXPECT_EQ(results, searchDesignResults(second));
  EXPECT_EQ(readFile(first.file("search0.dat")), readFile(second.file("search0.dat")));
}

// With steadyState a freed slot gets a new design at once: while design 11 (the first of
// the search after the initial population) runs for seconds, the others run through the
// rest of the budget on the other two slots. Whole generations would wait for it: no design
// of a later generation starts before it ends. The times are those the analysis wrote.
TEST(TolmarRun, SteadyStateFillsFreedSlotsWhileASlowDesignRuns) {
  TempDir dir("karvo-tolmar-steady");
  writeFile(dir.file("t.sh"),
            "n=$(basename \"$PWD\" | tr -dc 0-9)\n"
            "echo \"start $n $(date +%s.%N)\" >> " + dir.file("times") + "\n"
            "if [ \"$n\" -eq 11 ]; then sleep 3; fi\n"
            "echo \"end $n $(date +%s.%N)\" >> " + dir.file("times") + "\n");
  writeStudy(dir, 30, 3, "(x - 3)**2 + (y - 7)**2", "", "steadyState: 1\n",
             "*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: t\nid: 1\n"
             "*EXECUTION_DEFINITION\nanlFolder: designFolder\ntoolCmd: sh " +
                 dir.file("t.sh") + "\nnumDesigns: 3\nsuccessReturnValue: 0\n*END\n");
  const auto result = runSearchStudy(dir);
  ASSERT_EQ(result.status, 0) << searchMessages(dir);
  EXPECT_EQ(searchDesignResults(dir).size(), 30u);
  std::map<std::string, double> times;  // "start 11" -> seconds
  const std::regex line("(start|end) ([0-9]+) ([0-9.]+)");
  const std::string text = readFile(dir.file("times"));
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    times[(*it)[1].str() + " " + (*it)[2].str()] = std::stod((*it)[3].str());
  }
  ASSERT_TRUE(times.count("end 11") && times.count("start 30")) << text;
  EXPECT_LT(times.at("start 30"), times.at("end 11")) << text;
}

// Steady-state designs follow the order in which designs finish; one at a time that order
// is fixed, and the search makes the designs whole generations make (its local phase on
// this valley among them), from the same seed.
TEST(TolmarRun, SteadyStateOneAtATimeMakesTheDesignsOfWholeGenerations) {
  TempDir whole("karvo-tolmar-whole");
  TempDir steady("karvo-tolmar-steady");
  for (const TempDir* dir : {&whole, &steady}) {
    testing::SearchStudy study;
    study.agent = std::string("method: TOLMAR\nnumEvals: 60\n") +
                  (dir == &steady ? "steadyState: 1\n" : "");
    study.f = "(x - 3)**2 + 20*((y - 7) - (x - 3)**2)**2 + 3*sin(x*y)";
    study.resolution = 1001;
    testing::writeSearchStudy(*dir, study);
    const auto result = runSearchStudy(*dir);
    ASSERT_EQ(result.status, 0) << searchMessages(*dir);
    EXPECT_EQ(result.err.find("steadyState"), std::string::npos) << result.err;
  }
  EXPECT_EQ(searchDesignResults(steady).size(), 60u);
  EXPECT_EQ(searchDesignResults(steady), searchDesignResults(whole));
}

// A space of 3 x 3 designs under a budget of 50: every design is evaluated once, then the
// exhausted-space rule ends the run normally (the search never spends its budget on
// repeats of stored designs).
TEST(TolmarRun, ExhaustedDesignSpaceEndsTheRunAfterEveryDesign) {
  TempDir dir("karvo-tolmar-exhaust");
  writeStudy(dir, 50, 1, "(x - 3)**2 + (y - 7)**2");
  // The baseline on the grid (x = y = 10), so that it is one of the nine.
  std::string definitions = readFile(dir.file("Definitions.in"));
  for (std::size_t at = definitions.find("baseline: 9"); at != std::string::npos;
       at = definitions.find("baseline: 9")) {
    definitions.replace(at, 11, "baseline: 10");
  }
  writeFile(dir.file("Definitions.in"), definitions);
  writeFile(dir.file("Representation0.in"),
            "*VARIABLE\nname: x\nid: 1\nresolution: 3\n*VARIABLE\nname: y\nid: 2\n"
            "resolution: 3\n*END\n");
  const auto result = runSearchStudy(dir);
  ASSERT_EQ(result.status, 0) << searchMessages(dir);
  // (The note's whole text is pinned by the GA's run into an exhausted space.)
  EXPECT_THAT(searchMessages(dir),
              ::testing::HasSubstr("The design space has been exhausted. KARVO has performed"));
  EXPECT_EQ(searchDesignResults(dir).size(), 9u);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), testing::HasLines("*EXIT STATE\nComplete\n"));
}

}  // namespace
}  // namespace karvo
