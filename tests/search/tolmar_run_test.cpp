// The hybrid search through the real karvo binary on formula-only studies: it spends its
// budget exactly, finds the optimum of a smooth problem that a few dozen designs can find,
// meets a constraint, repeats its designs from the seed, one at a time or side by side, and
// ends when its design space is exhausted.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "support/test_support.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using testing::readFile;
using testing::runKarvo;
using testing::TempDir;
using testing::unwrapped;
using testing::writeFile;

// Two variables on a grid of 101 values over [0, 10] (the optimum x = 3, y = 7 lies on
// it), the objective f and optionally the constraint g <= 0.
void writeStudy(const TempDir& dir, int budget, int parallel, const std::string& f,
                const std::string& g = "") {
  writeFile(dir.file("Assembly.in"),
            "*AGENT\nid: 0\nname: search\ntype: optimization\nrepresentation: 0\n"
            "performance: 0\nprocess: 0\n*END\n");
  std::string definitions =
      "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 9\nmax: 10\n"
      "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 9\nmax: 10\n"
      "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: " + f + "\n";
  std::string performance =
      "*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
      "quadWt: 0\nlinearWt: 1\n";
  if (!g.empty()) {
    definitions += "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: " + g + "\n";
    performance +=
        "*RESPONSE\nname: g\ntype: constraint\noption: less_equal\nfactor: 1\ntarget: 0\n"
        "quadWt: 0\nlinearWt: 1\n";
  }
  writeFile(dir.file("Definitions.in"), definitions + "*END\n");
  writeFile(dir.file("Performance0.in"), performance + "*END\n");
  writeFile(dir.file("Representation0.in"),
            "*VARIABLE\nname: x\nid: 1\nresolution: 101\n*VARIABLE\nname: y\nid: 2\n"
            "resolution: 101\n*END\n");
  writeFile(dir.file("Process0.in"), "*PROCESS\nname: formulas\n*END\n");
  writeFile(dir.file("study.in"),
            "*STUDY\nname: search\nstartAgent: 0\nendAgent: 0\nfilePrefix: search\n"
            "randomSeed: 0.25\nnParallel: " + std::to_string(parallel) +
                "\nmode: newStudy\n*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: " +
                std::to_string(budget) + "\n*END\n");
}

std::string messages(const TempDir& dir) { return unwrapped(readFile(dir.file("study.mes"))); }

// Design number -> "<status> <performance>" from every design log of the run.
std::map<int, std::string> designResults(const TempDir& dir) {
  std::map<int, std::string> results;
  const std::regex line("Design ([0-9]+) evaluated\\. Status: ([A-Z ]+)\\. Performance: ([^ \\n]+)");
  for (const auto& entry : fs::directory_iterator(dir.file("POST_0"))) {
    const fs::path log = entry.path() / "design.log";
    if (!fs::exists(log)) continue;
    const std::string text = readFile(log.string());
    std::smatch match;
    if (std::regex_search(text, match, line)) {
      results[std::stoi(match[1])] = match[2].str() + " " + match[3].str();
    }
  }
  return results;
}

double bestPerformance(const std::map<int, std::string>& results, const std::string& status) {
  double best = -1e300;
  for (const auto& [number, text] : results) {
    if (text.rfind(status + " ", 0) != 0) continue;
    best = std::max(best, std::stod(text.substr(status.size() + 1)));
  }
  return best;
}

TEST(TolmarRun, SpendsItsBudgetExactlyAndFindsTheOptimumOfABowl) {
  TempDir dir("karvo-tolmar-bowl");
  writeStudy(dir, 60, 1, "(x - 3)**2 + 2*(y - 7)**2 + 0.5*(x - 3)*(y - 7)");
  const auto result = runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(result.status, 0) << messages(dir);
  const auto designs = designResults(dir);
  ASSERT_EQ(designs.size(), 60u) << messages(dir);
  EXPECT_EQ(designs.begin()->first, 1);
  EXPECT_EQ(designs.rbegin()->first, 60);
  // The baseline scores -(36 + 8 + 6) = -50; the grid holds the optimum itself.
  EXPECT_EQ(designs.at(1), "FEASIBLE -50.");
  EXPECT_EQ(bestPerformance(designs, "FEASIBLE"), 0.0) << messages(dir);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), testing::HasLines("*EXIT STATE\nComplete\n"));
}

TEST(TolmarRun, MeetsAConstraintThatCutsOffTheUnconstrainedOptimum) {
  TempDir dir("karvo-tolmar-constraint");
  // The bowl's centre (3, 7) violates x + y >= 12; the optimum on the line is near
  // x = 4, y = 8 with f = 2.
  writeStudy(dir, 80, 1, "(x - 3)**2 + (y - 7)**2", "12 - x - y");
  const auto result = runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(result.status, 0) << messages(dir);
  const auto designs = designResults(dir);
  const double best = bestPerformance(designs, "FEASIBLE");
  EXPECT_GE(best, -2.2) << messages(dir);
  EXPECT_LE(best, -2.0 + 1e-9);
}

// Designs running side by side finish in any order; the designs and their numbers do not
// depend on it. (The population is sized from the number of simultaneous evaluations, so a
// serial and a parallel run of the same study differ by design.)
TEST(TolmarRun, SameSeedGivesTheSameDesignsOneAtATimeOrSideBySide) {
  const std::string f = "(x - 3)**2 + (y - 7)**2 + 3*sin(x*y)";
  for (int parallel : {1, 2}) {
    TempDir first("karvo-tolmar-first");
    TempDir second("karvo-tolmar-second");
    for (const TempDir* dir : {&first, &second}) {
      writeStudy(*dir, 50, parallel, f);
      const auto result = runKarvo({"i=study.in"}, dir->path(), {"KARVO_ROOT=" + dir->path()});
      ASSERT_EQ(result.status, 0) << messages(*dir);
    }
    EXPECT_EQ(designResults(first).size(), 50u);
    EXPECT_EQ(designResults(first), designResults(second)) << "nParallel " << parallel;
    EXPECT_EQ(readFile(first.file("search0.dat")), readFile(second.file("search0.dat")));
  }
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
  const auto result = runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(result.status, 0) << messages(dir);
  EXPECT_THAT(messages(dir),
              testing::HasLines("The design space has been exhausted. KARVO has performed all "
                                "possible design evaluations for the current setup. Try "
                                "increasing the resolution of the variables if you want to "
                                "evaluate more designs in the current space.\n"));
  EXPECT_EQ(designResults(dir).size(), 9u);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), testing::HasLines("*EXIT STATE\nComplete\n"));
}

}  // namespace
}  // namespace karvo
