// The multi-objective searches: the Pareto file's blocks and its restart, and MOTOLMAR and
// NSGA-III through the real karvo binary on a formula-only study with two objectives whose
// front is known (f = x, f2 = 10 - x + y: every design with y = 0 is non-dominated).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <sstream>

#include "search/pareto_file.h"
#include "support/message_capture.h"
#include "support/search_study.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// ---------------------------------------------------------------------------------------
// The Pareto file

class ParetoFile : public testing::MessageCaptureTest {};

TEST_F(ParetoFile, BlocksAreAppendedWithTheNextCycleNumber) {
  const std::string path = dir_.file("search0.pto");
  const std::vector<int> first = {3, 12};
  const std::vector<int> ranks = {1, 2};
  search::appendParetoBlock(path, first, ranks);
  const std::vector<int> second = {12345678};
  const std::vector<int> one = {1};
  search::appendParetoBlock(path, second, one);
  EXPECT_EQ(readFile(path),
            "Eval #, Rank in Cycle 1\n       3,        1\n      12,        2\n\n"
            "Eval #, Rank in Cycle 2\n12345678,        1\n\n");

  // A file left by another run goes on from its last header.
  writeFile(path, "Eval #, Rank in Cycle 7\n       1,        1\n\n");
  search::appendParetoBlock(path, second, one);
  EXPECT_EQ(readFile(path), "Eval #, Rank in Cycle 7\n       1,        1\n\n"
                            "Eval #, Rank in Cycle 8\n12345678,        1\n\n");
}

TEST_F(ParetoFile, RestartKeepsTheBlocksThatTheHistoryCovers) {
  const std::string path = dir_.file("search0.pto");
  const std::string kept =
      "Eval #, Rank in Cycle 1\n       1,        1\n      10,        2\n\n"
      "Eval #, Rank in Cycle 2\n      20,        1\n      10,        1\n\n";
  writeFile(path, kept + "Eval #, Rank in Cycle 3\n      30,        1\n      20,        1\n\n");
  search::ParetoBlock last;
  ASSERT_TRUE(search::restartParetoFile(path, 25, last));
  EXPECT_EQ(readFile(path), kept);
  EXPECT_EQ(last.cycle, 2);
  EXPECT_EQ(last.designs, (std::vector<int>{20, 10}));
  EXPECT_EQ(last.ranks, (std::vector<int>{1, 1}));
  EXPECT_EQ(messages(), "");

  // A block cut off by a stopped run (no closing empty line) is dropped with what follows.
  writeFile(path, kept + "Eval #, Rank in Cycle 3\n       5,        1\n");
  ASSERT_TRUE(search::restartParetoFile(path, 25, last));
  EXPECT_EQ(readFile(path), kept);

  // Nothing covered: an empty file and no archive.
  EXPECT_FALSE(search::restartParetoFile(path, 5, last));
  EXPECT_EQ(readFile(path), "");
}

TEST_F(ParetoFile, RestartRefusesABadDesignNumberAndWarnsOfAMissingFile) {
  const std::string path = dir_.file("search0.pto");
  writeFile(path, "Eval #, Rank in Cycle 1\n       4,        1\n       0,        1\n\n");
  search::ParetoBlock last;
  EXPECT_EQ(failureOf([&] { search::restartParetoFile(path, 9, last); }),
            fatalOutput("Error in reading design number from line 3 of the PTO file during a "
                        "restart. The line was read as \"       0,        1\""));

  clearMessages();
  EXPECT_FALSE(search::restartParetoFile(dir_.file("missing0.pto"), 9, last));
  EXPECT_EQ(messages(),
            testing::warningBlock("Error in reading restart data from the PTO file: " +
                         dir_.file("missing0.pto") +
                         " (No such file or directory). Make sure the correct file exists in "
                         "the study folder and try again."));
  EXPECT_FALSE(fs::exists(dir_.file("missing0.pto")));
}

// ---------------------------------------------------------------------------------------
// Runs

struct Block {
  int cycle = 0;
  std::vector<std::pair<int, int>> members;  // design number, rank
};

std::vector<Block> blocksOf(const std::string& text) {
  std::vector<Block> blocks;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Eval #, Rank in Cycle ", 0) == 0) {
      blocks.push_back(Block{std::stoi(line.substr(22)), {}});
    } else if (!line.empty() && !blocks.empty()) {
      blocks.back().members.emplace_back(std::stoi(line), std::stoi(line.substr(line.find(',') + 1)));
    }
  }
  return blocks;
}

// The objectives of every design of the run, read back from its performance: the study
// weighs f by 1000 (twoObjectives), so that -performance = 999 x + 10 + y on the grid of 0.1
// of both variables, and f = x, f2 = 10 - x + y follow.
std::map<int, std::pair<double, double>> objectivesOf(const std::map<int, std::string>& results) {
  std::map<int, std::pair<double, double>> values;
  for (const auto& [design, text] : results) {
    const double p = -std::stod(text.substr(text.find(' ') + 1)) - 10.0;
    const int i = static_cast<int>(std::floor((p + 1e-6) / 99.9));
    const double x = i / 10.0;
    const double y = std::round((p - 99.9 * i) * 10.0) / 10.0;
    values[design] = {x, 10.0 - x + y};
  }
  return values;
}

// Every first-front member of `block` is dominated by no design of the run.
void expectFirstFrontUndominated(const Block& block,
                                 const std::map<int, std::pair<double, double>>& objectives) {
  for (const auto& [design, rank] : block.members) {
    if (rank != 1) continue;
    const auto [f, f2] = objectives.at(design);
    for (const auto& [other, values] : objectives) {
      const bool dominates = values.first <= f && values.second <= f2 &&
                             (values.first < f || values.second < f2);
      EXPECT_FALSE(dominates) << other << " dominates " << design;
    }
  }
}

testing::SearchStudy twoObjectives(const std::string& agent) {
  testing::SearchStudy study;
  study.agent = agent;
  study.f = "x";
  study.f2 = "10 - x + y";
  return study;
}

// Writes the study with f weighed by 1000 (see objectivesOf).
void writeTwoObjectives(const TempDir& dir, const std::string& agent) {
  testing::writeSearchStudy(dir, twoObjectives(agent));
  writeFile(dir.file("Performance0.in"),
            "*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1000\n*RESPONSE\nname: f2\ntype: objective\n"
            "option: min_value\nfactor: 1\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*END\n");
}

TEST(ParetoRun, MotolmarSpendsItsBudgetAndWritesOneArchiveBlockPerCycle) {
  TempDir dir("karvo-motolmar");
  writeTwoObjectives(dir, "method: MOTOLMAR\nnumEvals: 61\narchiveSize: 13\nbreedingSize: 7\n"
                          "shutOff: 0\n");
  const testing::ProcessResult result = testing::runSearchStudy(dir);
  ASSERT_EQ(result.status, 0) << testing::searchMessages(dir);

  const auto results = testing::searchDesignResults(dir);
  ASSERT_EQ(results.size(), 61u);
  const std::vector<Block> blocks = blocksOf(readFile(dir.file("search0.pto")));
  // The baseline and 16 archive designs, then 8 per cycle: 17 + 8 x 5 = 57, then the last 4.
  ASSERT_EQ(blocks.size(), 6u);
  const auto objectives = objectivesOf(results);
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    EXPECT_EQ(blocks[b].cycle, static_cast<int>(b) + 1);
    ASSERT_EQ(blocks[b].members.size(), 16u);
    std::set<int> seen;
    int previousRank = 1;
    for (const auto& [design, rank] : blocks[b].members) {
      EXPECT_TRUE(seen.insert(design).second) << "design " << design << " twice in a block";
      ASSERT_TRUE(results.count(design)) << design;
      EXPECT_GE(rank, previousRank);  // archive order: by front
      previousRank = rank;
    }
  }
  // The last archive's first front: no design of the run dominates one of its members.
  expectFirstFrontUndominated(blocks.back(), objectives);
}

TEST(ParetoRun, MotolmarContinuedFromHistoryGoesOnFromItsLastArchive) {
  TempDir dir("karvo-motolmar-resume");
  const std::string sizes = "archiveSize: 12\nbreedingSize: 6\nshutOff: 1\n";
  writeTwoObjectives(dir, "method: MOTOLMAR\nnumEvals: 33\n" + sizes);
  ASSERT_EQ(testing::runSearchStudy(dir).status, 0) << testing::searchMessages(dir);
  const std::vector<Block> before = blocksOf(readFile(dir.file("search0.pto")));
  ASSERT_EQ(before.size(), 4u);  // 13 and 6 in the first cycle, then 6 per cycle: 25, 31, 33

  writeTwoObjectives(dir, "method: MOTOLMAR\nnumEvals: 45\n" + sizes);
  const testing::ProcessResult result =
      testing::runKarvo({"i=study.in", "useHistory"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(result.status, 0) << testing::searchMessages(dir);
  EXPECT_EQ(testing::searchMessages(dir).find("PTO file"), std::string::npos);
  const std::vector<Block> after = blocksOf(readFile(dir.file("search0.pto")));
  ASSERT_GT(after.size(), before.size());
  for (std::size_t b = 0; b < before.size(); ++b) {
    EXPECT_EQ(after[b].cycle, before[b].cycle);
    EXPECT_EQ(after[b].members, before[b].members);
  }
  EXPECT_EQ(after[before.size()].cycle, static_cast<int>(before.size()) + 1);
  // No stored design was evaluated again: the new designs are numbered after the old ones.
  const auto results = testing::searchDesignResults(dir);
  EXPECT_EQ(results.size(), 45u);
}

TEST(ParetoRun, NsgaRunsItsGenerationsAndWritesItsFront) {
  TempDir dir("karvo-nsga");
  writeTwoObjectives(dir, "method: NSGA\npopulationSize: 8\nnumGen: 4\n");
  ASSERT_EQ(testing::runSearchStudy(dir).status, 0) << testing::searchMessages(dir);
  const auto results = testing::searchDesignResults(dir);
  // The baseline, then 8 designs per generation; the first generation's designs are those of
  // the initial population, and a child equal to a design evaluated before costs nothing.
  EXPECT_LE(results.size(), 1u + 8u * 4u);
  EXPECT_GE(results.size(), 1u + 8u * 2u);
  const std::vector<Block> blocks = blocksOf(readFile(dir.file("search0.pto")));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].members.size(), 8u);
  expectFirstFrontUndominated(blocks[0], objectivesOf(results));
}

// The run hands the count of its objectives to the method checks (each multi-objective
// method's check is a unit test of the method settings).
TEST(ParetoRun, MultiObjectiveMethodsNeedTwoObjectives) {
  TempDir dir("karvo-pareto-one");
  testing::SearchStudy study;
  study.agent = "method: NSGA\npopulationSize: 8\nnumGen: 4\n";
  study.f = "x";
  testing::writeSearchStudy(dir, study);
  EXPECT_NE(testing::runSearchStudy(dir).status, 0);
  EXPECT_NE(testing::searchMessages(dir).find(
                "At least 2 objectives must be defined for a multi-objective run. Found only 1 "
                "in the Performance0.in file.\n\t Exiting.\n"),
            std::string::npos)
      << testing::searchMessages(dir);
}

}  // namespace
}  // namespace karvo
