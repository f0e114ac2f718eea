// The GA through the real karvo binary on formula-only studies: a run's generations, cycles
// and reports, the steady state, a population of one, the exhausted design space of 2 x 3 x 4 discrete designs, the
// study termination condition, the baseline evaluated once across a resumed run, and the
// budget rule of the hybrid searches between generations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/random.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "search/genetic.h"
#include "search/termination.h"
#include "support/search_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using testing::HasLines;
using testing::readFile;
using testing::runKarvo;
using testing::runSearchStudy;
using testing::searchDesignResults;
using testing::searchMessages;
using testing::TempDir;
using testing::writeFile;

constexpr const char* kGeneticMethod =
    "method: GA\npopulationSize: 6\nnumCycles: 2\ngenerationsPerCycle: 3\ncrossoverType: 1\n"
    "mutationType: 0\nselectionType: 0\nselectionParameter: 2\n";

// Two continuous variables (or the given variable records, on no representation) and
// f = (x - 3)^2 + (y - 7)^2.
void writeStudy(const TempDir& dir, const std::string& method, const std::string& agentExtra = "",
                const std::string& variables = "", const std::string& formula = "") {
  testing::SearchStudy study;
  study.agent = method + agentExtra;
  study.f = "(x - 3)**2 + (y - 7)**2";
  testing::writeSearchStudy(dir, study);
  if (variables.empty()) return;
  writeFile(dir.file("Definitions.in"), variables +
                                            "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: " +
                                            formula + "\n*END\n");
  fs::remove(dir.file("Representation0.in"));
}

// (The same seed gives the same designs: the extended-run tests compare whole runs with
// stopped and extended ones.)
TEST(GeneticRun, GenerationsCyclesAndReportsOfARunThatImprovesOnTheStart) {
  TempDir first("karvo-ga-seed-a");
  writeStudy(first, kGeneticMethod);
  ASSERT_EQ(runSearchStudy(first).status, 0) << searchMessages(first);
  // The parameter report opens the genetic log.
  const std::string log = readFile(first.file("search0.dat"));
  EXPECT_EQ(log.rfind(" Parameters for Single Population Run\n", 0), 0u) << log.substr(0, 200);
  EXPECT_THAT(log, ::testing::HasSubstr("\n         Subpopulation Report, Generation 6\n"));
  // The evaluations are counted as they finish, not once the stream has ended.
  EXPECT_THAT(log, ::testing::HasSubstr("# Evaluations = 25\n"));
  // Two cycles of three generations, the end of each in the message file.
  const std::string text = searchMessages(first);
  EXPECT_THAT(text, HasLines("AGENT NUMBER 0, GENERATION 5->6\n"));
  EXPECT_THAT(text, ::testing::Not(HasLines("AGENT NUMBER 0, GENERATION 6->7\n")));
  EXPECT_THAT(text, ::testing::HasSubstr("\n Performance Recorded To Date in this Agent:\n On-Line= "));
  EXPECT_THAT(readFile(first.file("search0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
  // The baseline (f = 40) is design 1; the search finds something better.
  EXPECT_THAT(readFile(first.file("POST_0/Design1/design.log")),
              ::testing::HasSubstr("Design 1 evaluated. Status: FEASIBLE. Performance: -40."));
  EXPECT_THAT(log, ::testing::ContainsRegex("Best ever: +raw fitness = +-[0-9]\\.[0-9]+,"));
  // Every generation spends its evaluations on new designs: the baseline, the first 6 members
  // and 6 children in each of the 6 generations. A child that is a copy of its parent (no
  // crossover and no mutation drawn) or repeats a stored design would take the stored results.
  EXPECT_EQ(searchDesignResults(first).size(), 1u + 6 + 6 * 6);
}

// With steadyState: 1 each freed slot gets a new design and each finished one replaces the
// worst member at once; the six generations of both cycles run as one stream, their report
// lines as each generation's worth of designs ends (one at a time the run repeats from the
// seed: see the extended-run tests). With three slots and one slow design (the first child,
// design 8), the other slots go on through the rest of the stream meanwhile.
TEST(GeneticRun, SteadyStateRunsOneStreamAndFillsFreedSlots) {
  TempDir first("karvo-ga-steady-a");
  writeStudy(first, kGeneticMethod, "steadyState: 1\n");
  ASSERT_EQ(runSearchStudy(first).status, 0) << searchMessages(first);
  const std::string log = readFile(first.file("search0.dat"));
  EXPECT_THAT(log, ::testing::HasSubstr("\n         Subpopulation Report, Generation 6\n"));
  // The evaluations are counted as they finish, not once the stream has ended.
  EXPECT_THAT(log, ::testing::HasSubstr("# Evaluations = 25\n"));
  EXPECT_EQ(searchDesignResults(first).size(), 1u + 6 + 6 * 6);
  const std::string text = searchMessages(first);
  EXPECT_THAT(text, HasLines("AGENT NUMBER 0, GENERATION 0->6 (steady state)\n"));
  EXPECT_THAT(text, HasLines("**Subpop 0, Gen 6 done; Total eval.'s this process: 43\n"));

  TempDir slots("karvo-ga-steady-slots");
  writeFile(slots.file("t.sh"),
            "n=$(basename \"$PWD\" | tr -dc 0-9)\n"
            "echo \"start $n $(date +%s.%N)\" >> " + slots.file("times") + "\n"
            "if [ \"$n\" -eq 8 ]; then sleep 2; fi\n"
            "echo \"end $n $(date +%s.%N)\" >> " + slots.file("times") + "\n");
  testing::SearchStudy study;
  study.agent = std::string(kGeneticMethod) + "steadyState: 1\n";
  study.f = "(x - 3)**2 + (y - 7)**2";
  study.parallel = 3;
  study.process = "*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: t\nid: 1\n"
                  "*EXECUTION_DEFINITION\nanlFolder: designFolder\ntoolCmd: sh " +
                  slots.file("t.sh") + "\nnumDesigns: 3\nsuccessReturnValue: 0\n*END\n";
  testing::writeSearchStudy(slots, study);
  ASSERT_EQ(testing::runSearchStudy(slots).status, 0) << testing::searchMessages(slots);
  EXPECT_EQ(searchDesignResults(slots).size(), 43u);
  std::map<std::string, double> times;  // "start 8" -> seconds
  const std::regex line("(start|end) ([0-9]+) ([0-9.]+)");
  const std::string written = readFile(slots.file("times"));
  for (std::sregex_iterator it(written.begin(), written.end(), line), end; it != end; ++it) {
    times[(*it)[1].str() + " " + (*it)[2].str()] = std::stod((*it)[3].str());
  }
  ASSERT_TRUE(times.count("end 8") && times.count("start 30")) << written;
  EXPECT_LT(times.at("start 30"), times.at("end 8")) << written;
}

// A steady-state child competes with the worst of three members drawn at random, not with
// the worst of all (that crowds the members round one point): over 4000 replacements of 20
// members (raw fitness -i for member i) the worst is chosen in about 14 %, each other member
// the less often the better it is (the third best in about 0.24 %), the best only by chance
// (expected once in 8000).
TEST(GeneticRun, SteadyStateReplacesTheWorstOfThreeDrawnMembers) {
  search::Population population;
  population.members.resize(20);
  for (std::size_t i = 0; i < population.members.size(); ++i) {
    population.members[i].raw = -static_cast<double>(i);
  }
  float seed = 0.25f;
  seedRandom(&seed, 0);
  std::vector<int> chosen(population.members.size(), 0);
  for (int k = 0; k < 4000; ++k) ++chosen.at(search::steadyReplacement(population));
  EXPECT_LE(chosen[0], 2);
  for (std::size_t i = 2; i < chosen.size(); ++i) EXPECT_GT(chosen[i], 0) << i;
  EXPECT_NEAR(chosen[19], 4000 * (1 - std::pow(19.0 / 20, 3)), 120);
  EXPECT_GT(chosen[19], chosen[15]);
  EXPECT_GT(chosen[15], chosen[5]);
}

TEST(GeneticRun, APopulationOfOneEvaluatesItsFirstDesignOnly) {
  TempDir dir("karvo-ga-one");
  writeStudy(dir,
             "method: GA\npopulationSize: 1\nnumCycles: 2\ngenerationsPerCycle: 3\n"
             "crossoverType: 1\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n");
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  // The baseline and one random member; the generations select and cross nothing.
  EXPECT_EQ(searchDesignResults(dir).size(), 2u);
  EXPECT_THAT(searchMessages(dir), HasLines("AGENT NUMBER 0, GENERATION 5->6\n"));
}

TEST(GeneticRun, ExhaustedDesignSpaceEndsTheRunAfterEveryDesign) {
  TempDir dir("karvo-ga-exhaust");
  const std::string variables =
      "*DEFINE_SET\nname: two\nvalues:2\n1\n2\n*DEFINE_SET\nname: three\nvalues:3\n1\n2\n3\n"
      "*DEFINE_SET\nname: four\nvalues:4\n1\n2\n3\n4\n"
      "*DEFINE_VARIABLE\nname: a\ntype: Discrete\nid: 1\nset: two\nbaseline: 1\n"
      "*DEFINE_VARIABLE\nname: b\ntype: Discrete\nid: 2\nset: three\nbaseline: 1\n"
      "*DEFINE_VARIABLE\nname: c\ntype: Discrete\nid: 3\nset: four\nbaseline: 1\n";
  writeStudy(dir,
             "method: GA\npopulationSize: 10\nnumCycles: 20\ngenerationsPerCycle: 20\n"
             "crossoverType: 2\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n",
             "", variables, "a + b + c");
  writeFile(dir.file("Representation0.in"),
            "*VARIABLE\nname: a\nid: 1\n*VARIABLE\nname: b\nid: 2\n*VARIABLE\nname: c\nid: 3\n"
            "*END\n");
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  EXPECT_THAT(searchMessages(dir),
              HasLines("The design space has been exhausted. KARVO has performed all possible "
                       "design evaluations for the current setup. Try increasing the resolution "
                       "of the variables if you want to evaluate more designs in the current "
                       "space.\n"));
  EXPECT_EQ(searchDesignResults(dir).size(), 24u);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
}

TEST(GeneticRun, TerminationConditionEndsTheRunAsCancelled) {
  TempDir dir("karvo-ga-condition");
  writeStudy(dir, kGeneticMethod, "terminationCondition: test %Design_Num% -ge 5\n");
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  const std::string text = searchMessages(dir);
  EXPECT_THAT(text, HasLines("Evaluating the study termination condition based on design 4.\n"));
  EXPECT_THAT(text, HasLines("Terminating study since the condition \"test %Design_Num% -ge 5\" "
                             "was met for design 5.\n"));
  EXPECT_EQ(searchDesignResults(dir).size(), 5u);
  EXPECT_THAT(readFile(dir.file("search0.rpt")), HasLines("*EXIT STATE\nCancelled\n"));
}

// The designs of the history as `karvo export` lists them, each as "x,y".
std::vector<std::string> historyPoints(const TempDir& dir) {
  const testing::ProcessResult result =
      runKarvo({"export", "search0.hst", "--study", "study.in"}, dir.path(),
               {"KARVO_ROOT=" + dir.path()});
  EXPECT_EQ(result.status, 0) << result.err;
  std::vector<std::string> points;
  std::istringstream rows(result.out);
  std::string row;
  std::getline(rows, row);
  EXPECT_EQ(row, "design,name,agent,status,feasible,performance,violation,cycle,generation,x,y,f");
  while (std::getline(rows, row)) {
    std::vector<std::string> cells;
    std::istringstream fields(row);
    for (std::string cell; std::getline(fields, cell, ',');) cells.push_back(cell);
    points.push_back(cells.size() == 12 ? cells[9] + "," + cells[10] : row);
  }
  return points;
}

// The baseline (3, 7) is the optimum, so it stays the best design, and the operators make
// copies of its field values, which give exactly its values again. The resumed run starts
// from it as a stored design: neither run evaluates or stores it a second time.
TEST(GeneticRun, TheBaselineIsEvaluatedAndStoredOnceAlsoInAResumedRun) {
  TempDir dir("karvo-ga-resumed-baseline");
  writeStudy(dir, "method: GA\npopulationSize: 6\nnumCycles: 1\ngenerationsPerCycle: 1\n"
                  "crossoverType: 1\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n");
  std::string definitions = readFile(dir.file("Definitions.in"));
  definitions.replace(definitions.find("baseline: 9"), 11, "baseline: 3");
  definitions.replace(definitions.find("baseline: 9"), 11, "baseline: 7");
  writeFile(dir.file("Definitions.in"), definitions);
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  const std::size_t first = historyPoints(dir).size();

  std::string study = readFile(dir.file("study.in"));
  study.replace(study.find("numCycles: 1\ngenerationsPerCycle: 1"), 35,
                "numCycles: 2\ngenerationsPerCycle: 3");
  writeFile(dir.file("study.in"), study);
  ASSERT_EQ(runKarvo({"i=study.in", "useHistory"}, dir.path(), {"KARVO_ROOT=" + dir.path()})
                .status,
            0)
      << searchMessages(dir);
  const std::vector<std::string> points = historyPoints(dir);
  ASSERT_GT(points.size(), first);
  EXPECT_EQ(points.front(), "3,7");
  EXPECT_EQ(std::count(points.begin(), points.end(), "3,7"), 1);
  // What the resumed run counts as evaluated is what it added to the history.
  const std::string log = readFile(dir.file("search0.dat"));
  const std::size_t last = log.rfind("# Evaluations = ");
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(std::stoul(log.substr(last + 16)), points.size() - first);
}

// With structuredInitialization the first population is a Latin hypercube: of the 10
// members (designs 2 to 11, after the baseline) one lies in each tenth of each variable's
// range (101 values, the strata 0-9, 10-19, ..., 90-100). Ten uniform draws do that in both
// variables once in about 10^7 runs.
TEST(GeneticRun, StructuredInitializationSpreadsTheFirstPopulationOverEveryStratum) {
  TempDir dir("karvo-ga-structured");
  writeStudy(dir, "method: GA\npopulationSize: 10\nnumCycles: 1\ngenerationsPerCycle: 1\n"
                  "crossoverType: 3\nmutationType: 2\nselectionType: 0\nselectionParameter: 3\n",
             "structuredInitialization: 1\n");
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  const std::vector<std::string> points = historyPoints(dir);
  ASSERT_GE(points.size(), 11u);
  std::vector<int> xStrata(10, 0);
  std::vector<int> yStrata(10, 0);
  for (std::size_t d = 1; d <= 10; ++d) {
    const std::size_t comma = points[d].find(',');
    ASSERT_NE(comma, std::string::npos) << points[d];
    const long x = std::lround(10 * std::stod(points[d].substr(0, comma)));
    const long y = std::lround(10 * std::stod(points[d].substr(comma + 1)));
    ++xStrata.at(static_cast<std::size_t>(std::min(9L, x / 10)));
    ++yStrata.at(static_cast<std::size_t>(std::min(9L, y / 10)));
  }
  EXPECT_EQ(xStrata, std::vector<int>(10, 1));
  EXPECT_EQ(yStrata, std::vector<int>(10, 1));
}

// Two GA agents: agent 1 takes two migrants from agent 0 at the start of its second cycle.
void writeMigrantStudy(const TempDir& dir) {
  writeStudy(dir, kGeneticMethod, "*AGENT\nid: 1\n" + std::string(kGeneticMethod));
  writeFile(dir.file("Assembly.in"),
            "*AGENT\nid: 0\nname: donor\ntype: optimization\nrepresentation: 0\n"
            "performance: 0\nprocess: 0\n*AGENT\nid: 1\nname: receiver\ntype: optimization\n"
            "representation: 0\nperformance: 0\nprocess: 0\nneighbor: 0, 2, 0, 0\n*END\n");
}

// A donor that runs in another solver process gives its migrants from its population file:
// agent 0 runs first on its own, then agent 1, which takes two migrants from search0.mem.
TEST(GeneticRun, MigrantsOfADonorInAnotherProcessComeFromItsPopulationFile) {
  TempDir dir("karvo-ga-file-migrants");
  writeMigrantStudy(dir);
  const std::string study = readFile(dir.file("study.in"));
  std::string receiver = study;
  receiver.replace(receiver.find("startAgent: 0\nendAgent: 0"), 25, "startAgent: 1\nendAgent: 1");
  writeFile(dir.file("study.in"), receiver);
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  EXPECT_THAT(readFile(dir.file("search1.dat")), ::testing::Not(::testing::HasSubstr(" took ")))
      << "no population file of agent 0 yet";

  writeFile(dir.file("study.in"), study);
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  ASSERT_TRUE(std::filesystem::exists(dir.file("search0.mem")));
  writeFile(dir.file("study.in"), receiver);
  ASSERT_EQ(runSearchStudy(dir).status, 0) << searchMessages(dir);
  EXPECT_THAT(readFile(dir.file("search1.dat")), ::testing::HasSubstr("\n Agent 1 took 2 migrants.\n"));
}

// A fresh run of optimization agents 0, 1, ... with the methods `codes` (representation 0).
void startAgents(std::initializer_list<int> codes) {
  resetRunState();
  resetRepresentations();
  agents.clear();
  for (const int code : codes) {
    Agent agent;
    agent.number = static_cast<int>(agents.size());
    agent.type = kAgentOptimization;
    agent.representation = 0;
    agent.method.code = code;
    agents.push_back(agent);
  }
  run.startAgent = 0;
  run.finalAgent = static_cast<int>(agents.size()) - 1;
}

// The budget of a hybrid search ends the agent with the cycle it is in: the generations of
// that cycle go on.
TEST(SearchTermination, BudgetReachedMidCycleEndsTheAgentAfterThatCycle) {
  startAgents({kMethodTolmar, kMethodGenetic});
  run.finalAgent = 0;
  run.currentCycle = 2;
  Agent& running = agents.front();
  running.method.numEvals = 50;
  running.method.numCycles = 8;
  running.evaluatedDesigns = 49;
  EXPECT_TRUE(search::searchMayGoOn(running));
  EXPECT_EQ(running.method.numCycles, 8);
  running.evaluatedDesigns = 50;
  EXPECT_TRUE(search::searchMayGoOn(running));
  EXPECT_EQ(running.method.numCycles, 3);
  running.runState = 2;
  run.finalAgent = 1;  // another agent still to run: the run is not over
  EXPECT_FALSE(search::searchMayGoOn(running));
  agents.clear();
  resetRunState();
}

// A multi-start agent past its budget ends the whole run, also while other agents are not
// finished; at its budget it does not.
TEST(SearchTermination, MultiStartAgentPastItsBudgetEndsTheRun) {
  startAgents({kMethodMultiStart, kMethodGenetic});
  agents[0].method.numEvals = 40;
  agents[0].evaluatedDesigns = 40;
  EXPECT_TRUE(search::searchMayGoOn(agents[1]));
  agents[0].evaluatedDesigns = 41;
  EXPECT_THROW(search::searchMayGoOn(agents[1]), RunExit);
  agents.clear();
  resetRunState();
}

}  // namespace
}  // namespace karvo
