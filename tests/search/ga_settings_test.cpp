// The GA settings that change how its generations run, through the real karvo binary on
// formula-only studies: the adaptive operators, the feasibility watch with window scaling, the
// migration factors and a population of one receiving migrants, and user designs files that
// arrive while the search runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/design.h"
#include "base/random.h"
#include "search/operators.h"
#include "support/search_study.h"

namespace karvo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::readFile;
using testing::SearchStudy;
using testing::TempDir;
using testing::writeFile;

std::string gaMethod(int populationSize, int crossoverType, int mutationType,
                     int selectionType = 0, const std::string& extra = "") {
  return "method: GA\npopulationSize: " + std::to_string(populationSize) +
         "\nnumCycles: 2\ngenerationsPerCycle: 3\ncrossoverType: " +
         std::to_string(crossoverType) + "\nmutationType: " + std::to_string(mutationType) +
         "\nselectionType: " + std::to_string(selectionType) + "\nselectionParameter: 2\n" +
         extra;
}

SearchStudy study(const std::string& method, const std::string& g = "") {
  SearchStudy s;
  s.agent = method;
  s.f = "(x-3)**2+(y-4)**2";
  s.g = g;
  return s;
}

void runSettingsStudy(const TempDir& dir) {
  ASSERT_EQ(testing::runSearchStudy(dir).status, 0) << testing::searchMessages(dir);
}

// Two agents: agent 1 takes migrants from agent 0 along `neighbor` (its record `receiver`).
void writeLinkedStudy(const TempDir& dir, const std::string& donor, const std::string& receiver,
                      const std::string& neighbor) {
  testing::writeSearchStudy(dir, study(donor));
  writeFile(dir.file("Assembly.in"),
            "*AGENT\nid: 0\nname: donor\ntype: optimization\nrepresentation: 0\n"
            "performance: 0\nprocess: 0\n*AGENT\nid: 1\nname: receiver\ntype: optimization\n"
            "representation: 0\nperformance: 1\nprocess: 0\nneighbor: " + neighbor + "\n*END\n");
  writeFile(dir.file("Performance1.in"), readFile(dir.file("Performance0.in")));
  std::string text = readFile(dir.file("study.in"));
  text.replace(text.find("endAgent: 0"), 11, "endAgent: 1");
  text.replace(text.find("*END\n"), 5, "*AGENT\nid: 1\n" + receiver + "*END\n");
  writeFile(dir.file("study.in"), text);
}

// Adaptive crossover and mutation are operators of their own: the same seed gives other
// designs than two-point crossover with normal field mutation, which they used to run as.
TEST(GeneticSettings, AdaptiveOperatorsBreedOtherDesignsThanTwoPointAndNormalMutation) {
  TempDir adaptive("karvo-ga-adaptive");
  TempDir plain("karvo-ga-plain");
  testing::writeSearchStudy(adaptive, study(gaMethod(6, 3, 2)));
  testing::writeSearchStudy(plain, study(gaMethod(6, 1, 0)));
  runSettingsStudy(adaptive);
  runSettingsStudy(plain);
  const std::string log = readFile(adaptive.file("search0.dat"));
  EXPECT_THAT(log, HasSubstr(" Crossover                          = adaptivx\n"
                             " Mutation                           = adaptive mutation\n"));
  EXPECT_NE(readFile(adaptive.file("search0.hst")), readFile(plain.file("search0.hst")));
  // Without constraints the feasibility watch is off.
  EXPECT_THAT(readFile(plain.file("search0.dat")), Not(HasSubstr("parents chosen by")));
}

// A constraint no design meets keeps the feasibility watch on: every generation chooses its
// parents by their constraint violation. (Without constraints the watch is off: see the
// unconstrained run of the adaptive operators above.) The same run sets scalingWindow: window
// scaling over the current generation takes the minimum raw fitness off every scaled fitness,
// so the worst member's scaled fitness is 0.
TEST(GeneticSettings, FeasibilityWatchChoosesParentsByViolationAndScalingWindowIsSet) {
  TempDir infeasible("karvo-ga-infeasible");
  testing::writeSearchStudy(infeasible,
                            study(gaMethod(6, 1, 0, 1, "scalingWindow: 0\n"), "x + y + 1"));
  runSettingsStudy(infeasible);
  const std::string log = readFile(infeasible.file("search0.dat"));
  EXPECT_THAT(log, HasSubstr("\n Generation 1: parents chosen by constraint violation (fewer "
                             "than 3 and fewer than 10% of the members feasible)\n"));
  EXPECT_THAT(log, HasSubstr("\n Generation 6: parents chosen by constraint violation"));
  EXPECT_THAT(log, HasSubstr("\n Scaling window                     = 0\n"));
  EXPECT_THAT(log, HasSubstr("\n         Subpopulation Report, Generation 6\n"));
  EXPECT_THAT(log, HasSubstr("Scaled fitnesses:  min =             0, max = "));
}

TEST(GeneticSettings, LeastViolationWinsTheTournamentThenScoredThenFitness) {
  const double failed = kFailedPerformance;
  // Member 1 has the smallest violation; member 2 none but failed; member 0 the best fitness.
  const std::vector<double> violation = {3.0, 0.5, 0.0, 2.0};
  const std::vector<double> raw = {-1.0, -5.0, failed, -2.0};
  const std::vector<double> scaled = raw;
  float seed = 0.25f;
  seedRandom(&seed, 0);
  // A tournament of 40 over 4 members meets every member.
  EXPECT_EQ(search::selectLeastViolation(violation, raw, scaled, 40), 1);
  const std::vector<double> equal = {1.0, 1.0, 1.0, 1.0};
  EXPECT_EQ(search::selectLeastViolation(equal, raw, scaled, 40), 0);
}

// Agent 1 takes migrants from agent 0 along its `neighbor` link between cycles (the donor
// takes none); the link's migration factors act, and the genetic log reports them.
TEST(GeneticSettings, MigrationFactorsOfTheLinkAreReported) {
  TempDir dir("karvo-ga-factors");
  writeLinkedStudy(dir, gaMethod(6, 1, 0), gaMethod(6, 1, 0), "0, 2, 3.5, 2");
  runSettingsStudy(dir);
  const std::string log = readFile(dir.file("search1.dat"));
  EXPECT_THAT(log, HasSubstr("\n Crowding factor                    = 2\n"
                             " Incest reduction                   = 3\n"));
  EXPECT_THAT(log, HasSubstr("\n Agent 1 took 2 migrants.\n"));
  EXPECT_THAT(readFile(dir.file("search0.dat")), Not(HasSubstr(" took ")));
}

// A population of one takes a migrant only when it is better than its best design, and says
// so when it is not. The second donor's performance is a thousand times lower.
TEST(GeneticSettings, APopulationOfOneTakesOnlyABetterMigrant) {
  TempDir better("karvo-ga-one-better");
  writeLinkedStudy(better, gaMethod(6, 1, 0), gaMethod(1, 1, 0), "0, 2, 0, 0");
  runSettingsStudy(better);
  EXPECT_THAT(readFile(better.file("search1.dat")), HasSubstr("\n Agent 1 took 1 migrants.\n"));

  TempDir worse("karvo-ga-one-worse");
  writeLinkedStudy(worse, gaMethod(6, 1, 0), gaMethod(1, 1, 0), "0, 2, 0, 0");
  std::string performance = readFile(worse.file("Performance0.in"));
  performance.replace(performance.find("linearWt: 1"), 11, "linearWt: 1000");
  writeFile(worse.file("Performance0.in"), performance);
  runSettingsStudy(worse);
  const std::string text =
      "\n\n\tNo migration because migrant not better than the best and popsize equal to 1.\n";
  EXPECT_THAT(readFile(worse.file("search1.dat")), HasSubstr(text));
  EXPECT_THAT(readFile(worse.file("study.mes")), HasSubstr(text));
  EXPECT_THAT(readFile(worse.file("search1.dat")), Not(HasSubstr(" took ")));
}

// A user designs file written while the search runs (here by the analysis of the eighth
// design) is read at the start of the next cycle, its design evaluated and the file renamed.
TEST(GeneticSettings, UserDesignsAddedDuringTheRunAreReadAtTheNextCycle) {
  TempDir dir("karvo-ga-late-designs");
  SearchStudy s = study(gaMethod(6, 1, 0));
  writeFile(dir.file("t.sh"),
            "n=$(cat " + dir.file("count") + " 2>/dev/null || echo 0)\nn=$((n+1))\necho $n > " +
                dir.file("count") + "\nif [ $n -eq 8 ]; then printf '*DESIGN_ONLY\\n"
                "mapDesign, late, 3, 4\\n*END\\n' > " + dir.file("UserDesigns0_late.in") +
                "; fi\n");
  s.process = "*PROCESS\nname: p\n*ANALYSIS\nname: t\nid: 1\n*EXECUTION_DEFINITION\n"
              "anlFolder: designFolder\ntoolCmd: sh " + dir.file("t.sh") +
              "\nsuccessReturnValue: 0\n*END\n";
  testing::writeSearchStudy(dir, s);
  runSettingsStudy(dir);
  EXPECT_FALSE(std::filesystem::exists(dir.file("UserDesigns0_late.in")));
  std::vector<std::string> renamed;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("UserDesigns0_late.in_backup_at_", 0) == 0) renamed.push_back(name);
  }
  EXPECT_EQ(renamed.size(), 1u);
  const std::string log = readFile(dir.file("search0.dat"));
  EXPECT_THAT(log, HasSubstr("\n Agent 0 took 1 user designs.\n"));
  // The design handed in (f = 0) is the best there is.
  EXPECT_THAT(log, ::testing::ContainsRegex("Best ever: +raw fitness = +-?0\\.0+,"));
}

}  // namespace
}  // namespace karvo
