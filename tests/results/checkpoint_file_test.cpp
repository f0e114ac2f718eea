// The checkpoint files of an agent in process (results/checkpoint.h, search/population_file.h): member records of an even and an odd number
// of variables read back by their leading size, and damaged files that end the run with their
// status and never crash. (What a restore gives back: the whole-run tests of extend_run_test.)
#include "results/checkpoint.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "base/data_value.h"
#include "base/run_exit.h"
#include "base/state_archive.h"
#include "base/verified_file.h"
#include "evaluation/agent_results.h"
#include "evaluation/history_file.h"
#include "search/genetic.h"
#include "search/population_file.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

const char* kDefinitions =
    "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 10\n"
    "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 10\n"
    "*DEFINE_VARIABLE\nname: z\ntype: Continuous\nid: 3\nmin: -1\nbaseline: 0\nmax: 1\n"
    "*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 5\nbaseline: 7.5\n"
    "*DEFINE_RESPONSE\nname: mass\ntype: File\n"
    "*DEFINE_RESPONSE\nname: curve\ntype: File\n"
    "*END\n";

const char* kPerformance =
    "*RESPONSE\nname: mass\ntype: objective\noption: min_value\ntarget: 0\nquadWt: 0\n"
    "linearWt: 1\n"
    "*RESPONSE\nname: curve\ntype: constraint\noption: less_equal\ntarget: 0\nquadWt: 0\n"
    "linearWt: 1\n"
    "*END\n";

class CheckpointFileTest : public testing::StudyFilesTest {
 protected:
  CheckpointFileTest() : StudyFilesTest("karvo-checkpoint") {}

  void SetUp() override {
    StudyFilesTest::SetUp();
    resetAgentResults();
    search::resetGeneticState();
    run.runPrefix = "demo";
    definitionsWith(kDefinitions);
    testing::writeFile(dir_.file("Performance0.in"), kPerformance);
    readPerformanceFile(0);
    Agent agent;
    agent.number = 0;
    agent.representation = 0;
    agent.performance = 0;
    agent.process = 0;
    agent.type = kAgentOptimization;
    agent.method.code = kMethodGenetic;
    agent.method.populationSize = 3;
    agents.push_back(agent);
    clearMessages();
  }

  void TearDown() override {
    resetAgentResults();
    search::resetGeneticState();
    StudyFilesTest::TearDown();
  }

  Agent& agent() { return *findAgent(0); }

  // A population of three members over the first `variables` variables, and its checkpoint.
  void writeCheckpoint(int variables) {
    std::string representation;
    for (const char* name : {"x", "y", "z"}) {
      if (variables-- <= 0) break;
      representation += std::string("*VARIABLE\nname: ") + name + "\nid: " +
                        std::to_string(name[0] == 'x' ? 1 : name[0] == 'y' ? 2 : 3) +
                        "\nresolution: 11\n";
    }
    testing::writeFile(dir_.file("Representation0.in"), representation + "*END\n");
    readRepresentationFile(0);
    search::Population& population = search::agentPopulation(0);
    const int v = findRepresentation(0)->num_dvar;
    population.representation = 0;
    population.fieldSizes.assign(static_cast<std::size_t>(v), 11);
    population.initialised = true;
    population.members.clear();
    for (int m = 0; m < 3; ++m) {
      search::Member member;
      Design& design = member.design;
      design.representation = 0;
      design.num_dvar = v;
      design.source = 0;
      for (int f = 0; f < v; ++f) {
        design.chromosome.push_back((m + f) % 11);
        design.reals.push_back(m + f);
      }
      design.reals.push_back(7.5);
      design.performance = -1.5 * m;
      design.violation = 0.25 * m;
      design.status = m == 2 ? kDesignInfeasible : kDesignFeasible;
      design.designNumber = 10 + m;
      design.generation = 2;
      design.cycle = 1;
      ResponseValue mass;
      mass.values = {3.0 + m};
      mass.status = kStatusSuccess;
      mass.present = true;
      ResponseValue curve;
      curve.values = {0.5 * m, 1.5};
      curve.status = kStatusSuccess;
      curve.present = true;
      design.responses = {mass, curve};
      member.raw = design.performance;
      member.origin = 16;
      population.members.push_back(member);
    }
    population.counters.generation = 4;
    population.bestEver.valid = true;
    population.bestEver.design = population.members.front().design;
    population.bestEver.raw = population.members.front().raw;
    agent().evaluatedDesigns = 12;
    writePopulation(agent(), nullptr, 3);
  }

  // Restores agent 0 from its files into fresh state; answers 1 or the status it ended with.
  int restore() {
    search::resetGeneticState();
    resetAgentResults();
    agent().evaluatedDesigns = 0;
    CheckpointRestore facts;
    try {
      return readCheckpoint(agent(), nullptr, facts);
    } catch (const RunExit& exit) {
      return exit.code;
    }
  }
};

TEST_F(CheckpointFileTest, MembersOfEvenAndOddVariableCountsAreReadBackByTheirSize) {
  int firstSize[2] = {};
  for (int variables : {2, 3}) {
    SCOPED_TRACE(variables);
    writeCheckpoint(variables);
    const search::Population& written = search::agentPopulation(0);
    search::PopulationFile file;
    ASSERT_TRUE(search::InitCPRead(file, dir_.file("demo0.mem"), 3));
    EXPECT_EQ(file.members, 3);
    EXPECT_EQ(file.bestIndex, 0);
    ByteReader reader = byteReaderOf(file.data);
    reader.at = file.first;
    std::int32_t size = 0;
    ASSERT_TRUE(readInt32(reader, size));
    firstSize[variables - 2] = size;
    // Members in order, then the baseline (the best design), each skipped by its size.
    for (int n = 0; n <= 3; ++n) {
      Design design;
      double raw = 0.0;
      ASSERT_TRUE(search::NthMemRead(file, agent(), n, design, raw)) << n;
      const Design& expected = written.members[static_cast<std::size_t>(n % 3)].design;
      EXPECT_EQ(design.chromosome, expected.chromosome);
      EXPECT_EQ(design.reals, expected.reals);
      EXPECT_EQ(design.designNumber, expected.designNumber);
      EXPECT_EQ(design.performance, expected.performance);
      EXPECT_EQ(design.violation, expected.violation);
      EXPECT_EQ(design.status, expected.status);
      EXPECT_EQ(raw, written.members[static_cast<std::size_t>(n % 3)].raw);
      ASSERT_EQ(design.responses.size(), 2u);
      EXPECT_EQ(design.responses[1].values, expected.responses[1].values);
    }
    Design none;
    double raw = 0.0;
    EXPECT_FALSE(search::NthMemRead(file, agent(), 4, none, raw));
    EXPECT_TRUE(search::EndCPRead(file));
    EXPECT_FALSE(search::EndCPRead(file));
    EXPECT_FALSE(search::InitCPRead(file, dir_.file("demo0.mem"), 2)) << "no data of another stamp";
  }
  // One more variable: four bytes of field value and eight of real value, and the four bytes
  // of padding of the even count gone.
  EXPECT_EQ(firstSize[1] - firstSize[0], 8);
}

// Every cut of either file, and random damage, ends the run with the status of the file that
// broke (or, where a damaged byte is one nothing reads, restores); nothing crashes.
TEST_F(CheckpointFileTest, DamagedFilesEndTheRunWithTheirStatus) {
  writeCheckpoint(2);
  const std::string header = testing::readFile(dir_.file("demo0.ckp"));
  const std::string population = testing::readFile(dir_.file("demo0.mem"));
  for (std::size_t cut = 0; cut < header.size(); ++cut) {
    testing::writeFile(dir_.file("demo0.ckp"), header.substr(0, cut));
    ASSERT_EQ(restore(), kExitFatal) << "header cut at " << cut;
  }
  testing::writeFile(dir_.file("demo0.ckp"), header);
  for (std::size_t cut = 0; cut < population.size(); ++cut) {
    testing::writeFile(dir_.file("demo0.mem"), population.substr(0, cut));
    ASSERT_EQ(restore(), -77) << "population file cut at " << cut;
  }
  std::mt19937 random(19);
  for (int trial = 0; trial < 300; ++trial) {
    std::string damagedHeader = header, damagedPopulation = population;
    std::string& target = trial % 2 == 0 ? damagedHeader : damagedPopulation;
    for (int flips = 1 + trial % 3; flips > 0; --flips) {
      target[random() % target.size()] ^= static_cast<char>(1 + random() % 255);
    }
    testing::writeFile(dir_.file("demo0.ckp"), damagedHeader);
    testing::writeFile(dir_.file("demo0.mem"), damagedPopulation);
    const int outcome = restore();
    EXPECT_TRUE(outcome == 1 || outcome == kExitFatal || outcome == -77 || outcome == -78)
        << "trial " << trial << " ended with " << outcome;
  }
}

}  // namespace
}  // namespace karvo
