// Tests of the stored-design table: exact identity (identical designs found, designs one field
// or one unit in the last place apart not found, real values on the grid found as their field
// values), the results a found design takes and the counters behind the report lines, the
// promotion of real-valued designs of the hybrid searches, the parameter rule of reliability
// agents, switching the table off, the out-of-memory path at each of its allocations, and
// agreement with a plain reference set.
#include "evaluation/design_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "support/message_capture.h"
#include "support/variable_slots.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::addRepresentation;
using testing::continuous;
using testing::discrete;

EncodingContext contextFor(int methodCode, int agentType = kAgentOptimization) {
  EncodingContext context;
  context.agentType = agentType;
  context.methodCode = methodCode;
  context.parameters = {2.5};
  return context;
}

// A design of representation 1 (three fields of 0.0, 0.1 ... 1.0 and a choice of three).
Design designOf(std::vector<int> chromosome, std::vector<double> reals = {},
                int encoding = kEncodingChromosome) {
  return {.representation = 1, .num_dvar = 4, .encoding = encoding,
          .chromosome = std::move(chromosome), .reals = std::move(reals), .responses = {}};
}

Design evaluated(std::vector<int> chromosome, int number, double performance) {
  Design design = designOf(std::move(chromosome));
  design.designNumber = number;
  design.performance = performance;
  design.violation = 0.5;
  design.status = kDesignInfeasible;
  ResponseValue response;
  response.values = {performance * 2.0, 1.0};
  response.status = kDesignSuccess;
  response.present = true;
  design.responses = {response};
  return design;
}

// Stores a copy of a design made on the spot.
bool insertCopy(DesignStore& store, Design design) { return designStoreInsert(store, design); }

DesignStoreAllocation failingSite = DesignStoreAllocation::Table;
bool failAt(DesignStoreAllocation site) { return site == failingSite; }

class DesignStoreTest : public testing::MessageCaptureTest {
 protected:
  DesignStoreTest() : MessageCaptureTest("karvo-design-store") {}

  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetRepresentations();
    addRepresentation(1, {continuous(1, 0.0, 1.0, 11), continuous(2, 0.0, 1.0, 11),
                          continuous(3, -1.0, 1.0, 11), discrete(4, 3)});
    addRepresentation(2, {continuous(1, 0.0, 1.0, 11), continuous(2, 0.0, 1.0, 11),
                          continuous(3, -1.0, 1.0, 11), discrete(4, 3)});
  }

  void TearDown() override {
    designStoreAllocationFails = nullptr;
    resetRepresentations();
    MessageCaptureTest::TearDown();
  }
};

// ---------------------------------------------------------------------------------------
// Identity

TEST_F(DesignStoreTest, IdenticalDesignFoundTakesTheStoredResultsAndIsCounted) {
  DesignStore store;
  designStoreCreate(store, contextFor(kMethodGenetic), 1, 3);
  Design first = evaluated({1, 2, 3, 0}, 17, -1.25);
  first.reals = {0.1, 0.2, -0.4, 0.0, 2.5};
  ASSERT_TRUE(designStoreInsert(store, first));
  EXPECT_EQ(designStoreSize(store), 1u);

  Design again = designOf({1, 2, 3, 0}, {9.0, 9.0});  // real values not decoded yet
  again.generation = 4;
  ASSERT_TRUE(designStoreReuse(store, again));
  EXPECT_EQ(again.designNumber, 17);
  EXPECT_EQ(again.performance, -1.25);
  EXPECT_EQ(again.status, kDesignInfeasible);
  ASSERT_EQ(again.responses.size(), 1u);
  EXPECT_THAT(again.responses[0].values, ElementsAre(-2.5, 1.0));
  EXPECT_EQ(again.generation, 4);  // its own stamps stay
  EXPECT_EQ(store.savedThisProcess, 1);
  EXPECT_EQ(store.savedSoFar, 4);
  EXPECT_EQ(designStoreSavedLine(store), "# Re-evaluations saved  (this process) = 1\n");
  EXPECT_EQ(designStoreProgressLine(store), "Evaluations saved by hashing so far: 4\n");
}

TEST_F(DesignStoreTest, NearIdenticalDesignsAreNotFoundAndParametersCountOnlyWhenDrawn) {
  DesignStore store;
  designStoreCreate(store, contextFor(kMethodGenetic), 1);
  ASSERT_TRUE(insertCopy(store, evaluated({1, 2, 3, 0}, 1, 0.0)));
  Design real = designOf({5, 5, 5, 1}, {0.5, 0.5, 0.0, 1.0}, kEncodingReal);
  ASSERT_TRUE(designStoreInsert(store, real));

  EXPECT_FALSE(designStoreFind(store, designOf({1, 2, 3, 1})));  // one field
  EXPECT_FALSE(designStoreFind(store, designOf({1, 2, 3})));  // shorter
  Design otherRepresentation = designOf({1, 2, 3, 0});
  otherRepresentation.representation = 2;
  EXPECT_FALSE(designStoreFind(store, otherRepresentation));

  // Real values authoritative: one unit in the last place is another design.
  EXPECT_TRUE(designStoreFind(store, real));
  Design nudged = real;
  nudged.reals[1] = std::nextafter(0.5, 1.0);
  EXPECT_FALSE(designStoreFind(store, nudged));
  nudged = real;
  nudged.reals[2] = -0.0;  // compared by bit pattern
  EXPECT_FALSE(designStoreFind(store, nudged));
  EXPECT_FALSE(designStoreReuse(store, nudged));

  // Real values on the grid are the design of their field values, which the operators make
  // again from it; real values off the grid are not, though they round to the same fields.
  Design byChromosome = real;
  byChromosome.encoding = kEncodingChromosome;
  EXPECT_TRUE(designStoreFind(store, byChromosome));
  EXPECT_FALSE(designStoreInsert(store, byChromosome));
  Design offGrid = designOf({5, 5, 5, 1}, {0.5, 0.52, 0.0, 1.0}, kEncodingReal);
  EXPECT_TRUE(designStoreInsert(store, offGrid));
  EXPECT_EQ(designStoreSize(store), 3u);

  DesignStore drawn;
  designStoreCreate(drawn, contextFor(kMethodReliability, kAgentReliability), 1);
  drawn.context.copyParameters = false;
  ASSERT_TRUE(insertCopy(drawn, designOf({1, 1, 1, 1}, {0.1, 0.1, -0.8, 1.0, 3.25})));
  EXPECT_TRUE(designStoreFind(drawn, designOf({1, 1, 1, 1}, {0.1, 0.1, -0.8, 1.0, 3.25})));
  EXPECT_FALSE(designStoreFind(drawn, designOf({1, 1, 1, 1}, {0.1, 0.1, -0.8, 1.0, 3.5})));

  // Agents that copy the study's parameters ignore them.
  DesignStore copied;
  designStoreCreate(copied, contextFor(kMethodGenetic), 1);
  ASSERT_TRUE(insertCopy(copied, designOf({1, 1, 1, 1}, {0.1, 0.1, -0.8, 1.0, 3.25})));
  EXPECT_TRUE(designStoreFind(copied, designOf({1, 1, 1, 1}, {0.1, 0.1, -0.8, 1.0, 2.5})));
}

// ---------------------------------------------------------------------------------------
// Promotion of real-valued designs

TEST_F(DesignStoreTest, HybridSearchesPromoteDesignsThatSurviveTheRoundTrip) {
  for (int method : {kMethodTolmar, kMethodParetoTolmar}) {
    DesignStore store;
    designStoreCreate(store, contextFor(method), 1);
    EXPECT_TRUE(store.promoteRealDesigns);
    ASSERT_TRUE(insertCopy(store, evaluated({3, 7, 5, 2}, 8, 4.0)));

    Design onGrid = designOf({0, 0, 0, 0}, {0.3, 0.7, 0.0, 2.0, 2.5}, kEncodingReal);
    ASSERT_TRUE(designStoreReuse(store, onGrid));
    EXPECT_EQ(onGrid.encoding, kEncodingChromosome);
    EXPECT_THAT(onGrid.chromosome, ElementsAre(3, 7, 5, 2));
    EXPECT_EQ(onGrid.designNumber, 8);

    Design offGrid = designOf({0, 0, 0, 0}, {0.3, 0.71, 0.0, 2.0}, kEncodingReal);
    EXPECT_FALSE(designStorePromote(store, offGrid));
    EXPECT_FALSE(designStoreReuse(store, offGrid));
    EXPECT_EQ(offGrid.encoding, kEncodingReal);
  }
}

TEST_F(DesignStoreTest, NoPromotionWithBoundClampingOrForOtherMethods) {
  EncodingContext clamped = contextFor(kMethodTolmar);
  clamped.clampToLowerBound = true;
  DesignStore store;
  designStoreCreate(store, clamped, 1);
  EXPECT_FALSE(store.promoteRealDesigns);
  Design onGrid = designOf({0, 0, 0, 0}, {0.3, 0.7, 0.0, 2.0}, kEncodingReal);
  EXPECT_FALSE(designStorePromote(store, onGrid));

  for (int method : {kMethodGenetic, kMethodSwarm, kMethodNsga, kMethodMultiStart}) {
    designStoreCreate(store, contextFor(method), 1);
    EXPECT_FALSE(store.promoteRealDesigns) << method;
  }
  // Found all the same (the same values), but it keeps its encoding.
  ASSERT_TRUE(insertCopy(store, evaluated({3, 7, 5, 2}, 8, 4.0)));
  EXPECT_TRUE(designStoreReuse(store, onGrid));
  EXPECT_EQ(onGrid.designNumber, 8);
  EXPECT_EQ(onGrid.encoding, kEncodingReal);
}

// ---------------------------------------------------------------------------------------
// Switching off, and out of memory

TEST_F(DesignStoreTest, TurnOffHashingOrOutOfMemoryStopsCheckingAndTheRunGoesOn) {
  DesignStore store;
  designStoreCreate(store, contextFor(kMethodTolmar), 1);
  ASSERT_TRUE(insertCopy(store, evaluated({1, 1, 1, 1}, 3, 1.0)));
  Design again = designOf({1, 1, 1, 1});
  ASSERT_TRUE(designStoreReuse(store, again));
  turnOffHashing(store);
  EXPECT_EQ(designStoreSize(store), 0u);
  EXPECT_FALSE(designStoreFind(store, again));
  Design third = designOf({1, 1, 1, 1});
  EXPECT_FALSE(designStoreReuse(store, third));
  EXPECT_FALSE(designStoreInsert(store, third));
  EXPECT_EQ(designStoreSize(store), 0u);
  EXPECT_EQ(store.savedThisProcess, 1);  // counters kept

  DesignStore never;
  designStoreCreate(never, contextFor(kMethodTolmar), 0);  // turnOffHashing in the study
  EXPECT_FALSE(designStoreInsert(never, third));
  EXPECT_FALSE(designStoreFind(never, third));
  EXPECT_EQ(messages(), "");

  // ---------------------------------------------------------------------------------------
  // Out of memory
  const std::pair<DesignStoreAllocation, const char*> sites[] = {
      {DesignStoreAllocation::Table, "\n*** Out of memory malloc'ing hash table."},
      {DesignStoreAllocation::BiggerTable, "\n*** Out of memory malloc'ing bigger hash table."},
      {DesignStoreAllocation::Record, "\n*** Out of mem. malloc'ing bigger hash table."},
  };
  for (const auto& [site, line] : sites) {
    SCOPED_TRACE(line);
    clearMessages();
    designStoreAllocationFails = nullptr;

    DesignStore store;
    designStoreCreate(store, contextFor(kMethodTolmar), 1);
    failingSite = site;
    designStoreAllocationFails = failAt;
    if (site == DesignStoreAllocation::Table) {
      designStoreCreate(store, contextFor(kMethodTolmar), 1);
    } else {
      ASSERT_TRUE(insertCopy(store, evaluated({2, 2, 2, 2}, 1, 0.0)) == false);
    }
    EXPECT_TRUE(store.outOfMemory);
    EXPECT_FALSE(store.enabled);
    EXPECT_EQ(designStoreSize(store), 0u);
    EXPECT_EQ(messages(),
              rendered("warning", std::string(line) + "\n  No longer will check for saved "
                                                      "fitnesses\n"));

    // Memory is back, but the table stays off for the rest of the run, silently.
    designStoreAllocationFails = nullptr;
    Design design = evaluated({2, 2, 2, 2}, 1, 0.0);
    EXPECT_FALSE(designStoreInsert(store, design));
    EXPECT_FALSE(designStoreReuse(store, design));
    EXPECT_EQ(designStoreSize(store), 0u);
    EXPECT_EQ(messages(),
              rendered("warning", std::string(line) + "\n  No longer will check for saved "
                                                      "fitnesses\n"));
  }
}

// ---------------------------------------------------------------------------------------
// Against a plain reference

TEST_F(DesignStoreTest, AgreesWithAPlainSetOverManyDesignsWithRepeats) {
  DesignStore store;
  designStoreCreate(store, contextFor(kMethodGenetic), 1);
  std::set<std::vector<int>> reference;
  std::mt19937 draw(20190108);
  std::uniform_int_distribution<int> field(0, 12);  // 28,561 chromosomes (the table does
                                                    // not check the field ranges)
  int found = 0;
  for (int n = 0; n < 25000; ++n) {  // about 16,600 distinct: past the first 10,000 entries
    Design design = designOf({field(draw), field(draw), field(draw), field(draw)});
    design.designNumber = n + 1;
    const bool known = reference.count(design.chromosome) > 0;
    Design probe = design;
    ASSERT_EQ(designStoreReuse(store, probe), known) << n;
    if (known) {
      ++found;
      ASSERT_NE(probe.designNumber, design.designNumber);
    } else {
      ASSERT_TRUE(designStoreInsert(store, design));
      reference.insert(design.chromosome);
    }
  }
  EXPECT_EQ(designStoreSize(store), reference.size());
  EXPECT_EQ(store.savedThisProcess, found);
  EXPECT_EQ(store.savedSoFar, found);
  EXPECT_GT(found, 5000);
  EXPECT_GT(reference.size(), 15000u);
}

}  // namespace
}  // namespace karvo
