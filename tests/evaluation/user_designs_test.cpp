// Tests of the user designs files: which files are read, the line format with its exact
// messages (field counts, empty values, bounds, evaluation types, design numbers), the report
// of mapped values, duplicates within the files and against the stored-design table, designs
// with results scored and stored with their history entry (read back from the history file),
// the renaming of each file read, the summary block, the method refusal of optimization agents
// and the limit of the evaluations that remain.
#include "evaluation/user_designs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "definitions/method_settings.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "evaluation/history_file.h"
#include "platform/platform.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::errorBlock;
using testing::fatalBlock;
using testing::noteBlock;
using testing::warningBlock;

// x: 0, 1, ..., 10 (resolution 11); c: one of three gauges; p: a parameter at 7.5.
const char* kUserDefinitions =
    "*DEFINE_SET\nname: gauges\nordered: 1\nvalues:3\n1.5\n2.0\n3.0\n"
    "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 10\n"
    "*DEFINE_VARIABLE\nname: c\ntype: Discrete\nid: 2\nset: gauges\nbaseline: 1\n"
    "*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 3\nbaseline: 7.5\n"
    "*DEFINE_RESPONSE\nname: mass\ntype: File\n"
    "*DEFINE_RESPONSE\nname: stress\ntype: File\n"
    "*END\n";

const char* kUserRepresentation =
    "*VARIABLE\nname: x\nid: 1\nresolution: 11\n"
    "*VARIABLE\nname: c\nid: 2\n"
    "*END\n";

// Performance = -mass - max(0, (stress - 100) / 100).
const char* kUserPerformance =
    "*RESPONSE\nname: mass\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
    "quadWt: 0\nlinearWt: 1\n"
    "*RESPONSE\nname: stress\ntype: constraint\noption: less_equal\nfactor: 100\n"
    "target: 100\nquadWt: 0\nlinearWt: 1\n"
    "*END\n";

const std::string kChecking = noteBlock("Checking for duplicates...");
const std::string kSending =
    noteBlock("Sending designs from user shared designs for evaluation.");

std::string outputBlock(const std::string& text) { return "*OUTPUT\n" + text + "\n\n"; }

// The summary block of a read.
std::string summary(bool first, int defined, int without, int with, int integer, int real) {
  return outputBlock(
      std::string(first ? "USER INITIALIZED DESIGNS INFORMATION"
                        : "USER ADDED DESIGNS INFORMATION") +
      "\nThe user designs files defined a total of " + std::to_string(defined) +
      " designs for agent 0.\n  Total # of Designs defined = " + std::to_string(defined) +
      "\n  # of designs without results defined = " + std::to_string(without) +
      "\n  # of previously evaluated designs defined = " + std::to_string(with) +
      "\n  # of integer based designs defined (type=1) = " + std::to_string(integer) +
      "\n  # of real value designs defined (type=2)    = " + std::to_string(real));
}

class UserDesignsTest : public testing::StudyFilesTest {
 protected:
  UserDesignsTest() : StudyFilesTest("karvo-user-designs") {}

  void SetUp() override {
    StudyFilesTest::SetUp();
    resetAgentResults();
    resetHistoryFileState();
    run.runPrefix = "demo";
    run.settings.skipEvalCheck = 1;
    definitionsWith(kUserDefinitions);
    testing::writeFile(dir_.file("Representation0.in"), kUserRepresentation);
    readRepresentationFile(0);
    testing::writeFile(dir_.file("Performance0.in"), kUserPerformance);
    readPerformanceFile(0);
    Agent agent;
    agent.number = 0;
    agent.representation = 0;
    agent.performance = 0;
    agent.process = 0;
    agent.type = kAgentOptimization;
    agent.method.code = kMethodGenetic;
    agents.push_back(agent);
    clearMessages();
  }

  void TearDown() override {
    resetAgentResults();
    resetHistoryFileState();
    StudyFilesTest::TearDown();
  }

  Agent& agent() { return *findAgent(0); }
  AgentResults& results() { return agentResults(agent()); }
  // Reads the files and, as the agent's turn does once the designs are evaluated, renames them.
  UserDesignSet read() {
    UserDesignSet set = readUserDesigns(agent(), results());
    renameUserDesignsFiles(agent(), set);
    return set;
  }
  void write(const std::string& name, const std::string& content) {
    testing::writeFile(dir_.file(name), content);
  }
  bool exists(const std::string& name) { return platform::pathExists(dir_.file(name)); }

  // A design of the agent's representation as a file line gives it.
  static Design design(std::vector<int> chromosome, std::vector<double> reals, int encoding) {
    Design d;
    d.representation = 0;
    d.num_dvar = 2;
    d.encoding = encoding;
    d.chromosome = std::move(chromosome);
    d.reals = std::move(reals);
    return d;
  }
};

// The error of a bad line when the run goes on after design errors: the error, then the note
// that the file is left.
std::string refusedFile(const std::string& error, const std::string& file) {
  return errorBlock(error) + warningBlock("Error in reading the " + file +
                                          " file. Please see the error message above. "
                                          "Continuing run.");
}

// ---------------------------------------------------------------------------------------
// Which files

TEST_F(UserDesignsTest, WhichFilesAreRead) {
  EXPECT_TRUE(isUserDesignsFileName("UserDesigns0_a.in", 0));
  EXPECT_TRUE(isUserDesignsFileName("UserDesigns0_.in", 0));
  EXPECT_TRUE(isUserDesignsFileName("UserDesigns12_batch 2.in", 12));
  EXPECT_FALSE(isUserDesignsFileName("UserDesigns10_a.in", 1));
  EXPECT_FALSE(isUserDesignsFileName("UserDesigns0.in", 0));
  EXPECT_FALSE(isUserDesignsFileName("UserDesigns0_a.inp", 0));
  EXPECT_FALSE(isUserDesignsFileName("userdesigns0_a.in", 0));
  // Without a file of the agent (another agent's, a backup) nothing is read or said.
  write("UserDesigns1_a.in", "*DESIGN_ONLY\nmapDesign, a, 1, 1, 7.5\n*END\n");
  write("UserDesigns0_a.in_backup_at_3_evals", "*DESIGN_ONLY\nmapDesign, a, 1, 1, 7.5\n*END\n");
  const UserDesignSet set = read();
  EXPECT_FALSE(set.anyFile);
  EXPECT_EQ(set.defined, 0);
  EXPECT_TRUE(set.toEvaluate.empty());
  EXPECT_EQ(messages(), "");
  EXPECT_TRUE(exists("UserDesigns1_a.in"));
  EXPECT_FALSE(results().userDesignsRead);

  // A file of the agent without designs is renamed, with a note.
  write("UserDesigns0_a.in", "$ nothing yet\n*DESIGN_ONLY\n*END\n");
  EXPECT_TRUE(read().anyFile);
  EXPECT_EQ(messages(),
            noteBlock("No designs were found in the UserDesigns files in the project directory"));
  EXPECT_TRUE(exists("UserDesigns0_a.in_backup_at_0_evals"));
  EXPECT_FALSE(results().userDesignsRead);
  clearMessages();

  // A folder that cannot be listed is reported and the run goes on.
  run.workingDirectory = dir_.file("gone");
  EXPECT_FALSE(read().anyFile);
  EXPECT_EQ(messages(),
            warningBlock("Error in reading the contents of the project directory while scanning "
                         "for user design files. Project directory: " +
                         dir_.file("gone") +
                         " The user design files, if any, will not be read at this time. "
                         "Continuing run if possible..."));
}

TEST_F(UserDesignsTest, OptimizationMethodsOtherThanGaTolmarAndMotolmarRefuseTheFiles) {
  write("UserDesigns0_a.in", "*DESIGN_ONLY\nmapDesign, a, 1, 1, 7.5\n*END\n");
  for (int code : {kMethodSqp, kMethodSwarm, kMethodMultiStart}) {
    clearMessages();
    agent().method.code = code;
    const UserDesignSet set = read();
    EXPECT_TRUE(set.anyFile);
    EXPECT_TRUE(set.toEvaluate.empty());
    EXPECT_EQ(messages(),
              warningBlock("The user designs option is not available for the optimization "
                           "method selected. Only GA, TOLMAR, and MO-TOLMAR methods are "
                           "supported for this feature with an optimization agent. No user "
                           "design data will be read."))
        << code;
    EXPECT_TRUE(exists("UserDesigns0_a.in"));
  }
  // Any method of an evaluation agent takes them.
  agent().type = kAgentEvaluation;
  EXPECT_EQ(read().toEvaluate.size(), 1u);
  EXPECT_TRUE(exists("UserDesigns0_a.in_backup_at_0_evals"));
}

// ---------------------------------------------------------------------------------------
// Designs to evaluate

TEST_F(UserDesignsTest, DesignsToEvaluateAreMappedOrKeptAsGivenAndTheFileRenamed) {
  write("UserDesigns0_a.in",
        "$ two designs to evaluate\r\n"
        "*DESIGN_ONLY\r\n"
        "mapDesign, first, 4.4, 2, 1.0\r\n"
        "\r\n"
        "dontMapDesign,, second ,7, default, 2.5, 3, 7.5\r\n"
        "*END\r\n"
        "mapDesign, outside, 1, 1, 1\r\n");
  agent().evaluatedDesigns = 4;
  const UserDesignSet set = read();
  EXPECT_EQ(messages(),
            noteBlock("Mapping the values of user design \"first\" to the resolution of the "
                      "design variables:\n"
                      "  x: INPUT =   4.40000000e+00, INTEGER = 4, MAPPED =   4.00000000e+00, "
                      "INPUT and MAPPED values different (  4.00000000e-01)\n"
                      "  c: INPUT =   2.00000000e+00, INTEGER = 1, MAPPED =   2.00000000e+00") +
                kChecking + kSending + summary(true, 2, 2, 0, 1, 1));
  ASSERT_EQ(set.toEvaluate.size(), 2u);
  const Design& first = set.toEvaluate[0];
  EXPECT_EQ(first.name, "first");
  EXPECT_EQ(first.encoding, kEncodingChromosome);
  EXPECT_THAT(first.chromosome, ElementsAre(4, 1));
  EXPECT_THAT(first.reals, ElementsAre(4.0, 1.0, 1.0));  // the parameter as given
  EXPECT_EQ(first.requestedNumber, 0);
  EXPECT_EQ(first.representation, 0);
  EXPECT_EQ(first.num_dvar, 2);
  const Design& second = set.toEvaluate[1];
  EXPECT_EQ(second.name, "second");
  EXPECT_EQ(second.encoding, kEncodingReal);
  EXPECT_THAT(second.chromosome, ElementsAre(3, 2));  // nearest to 2.5 rounds up
  EXPECT_THAT(second.reals, ElementsAre(2.5, 2.0, 7.5));
  EXPECT_EQ(second.tag, 7);
  EXPECT_EQ(second.requestedNumber, 0);
  EXPECT_EQ(set.stored, 0);
  EXPECT_EQ(designStoreSize(results().store), 0u);
  EXPECT_EQ(agent().evaluatedDesigns, 4);

  EXPECT_FALSE(exists("UserDesigns0_a.in"));
  EXPECT_EQ(testing::readFile(dir_.file("UserDesigns0_a.in_backup_at_4_evals")),
            "$ two designs to evaluate\r\n*DESIGN_ONLY\r\nmapDesign, first, 4.4, 2, 1.0\r\n\r\n"
            "dontMapDesign,, second ,7, default, 2.5, 3, 7.5\r\n*END\r\n"
            "mapDesign, outside, 1, 1, 1\r\n");
  EXPECT_TRUE(results().userDesignsRead);

  // A later read is an addition.
  write("UserDesigns0_b.in", "*DESIGN_ONLY\ndontMapDesign, third, 10, 1, 7.5\n*END\n");
  clearMessages();
  EXPECT_EQ(read().toEvaluate.size(), 1u);
  EXPECT_EQ(messages(), kChecking + kSending + summary(false, 1, 1, 0, 0, 1));
}

TEST_F(UserDesignsTest, DesignsPastTheEvaluationsThatRemainAreNotRun) {
  agent().numEvals = 3;
  agent().evaluatedDesigns = 2;
  write("UserDesigns0_a.in",
        "*DESIGN_ONLY\ndontMapDesign, a, 1, 1, 7.5\ndontMapDesign, b, 2, 1, 7.5\n"
        "dontMapDesign, c, 3, 1, 7.5\n*END\n");
  const UserDesignSet set = read();
  ASSERT_EQ(set.toEvaluate.size(), 1u);
  EXPECT_EQ(set.toEvaluate[0].name, "a");
  EXPECT_EQ(messages(),
            kChecking +
                warningBlock("The number of designs shared (3) is greater than the number of "
                             "designs remaining (1) for this study. Designs past the number of "
                             "designs allowed for this study will not be run.") +
                kSending + summary(true, 3, 3, 0, 0, 3));
}

// ---------------------------------------------------------------------------------------
// Design numbers

TEST_F(UserDesignsTest, DesignNumbersBelowTheCountOrInvalidAreReported) {
  agent().evaluatedDesigns = 10;
  write("UserDesigns0_a.in",
        "*DESIGN_ONLY\n"
        "dontMapDesign, low, 1, 4, 1, 1, 7.5\n"
        "dontMapDesign, last, 1, 10, 2, 1, 7.5\n"
        "dontMapDesign, bad, 1, -3, 3, 1, 7.5\n"
        "dontMapDesign, zero, 1, 0, 4, 1, 7.5\n"
        "dontMapDesign, next, 1, 11, 5, 1, 7.5\n"
        "*END\n");
  const UserDesignSet set = read();
  const auto lower = [](const std::string& number, const std::string& name) {
    return warningBlock("The design number (" + number + ") specified for user design \"" +
                        name +
                        "\" is less than the current number of design evaluations for this "
                        "study. This could result in multiple designs with the same design ID.");
  };
  const auto invalid = [](const std::string& number, const std::string& name) {
    return warningBlock("Invalid design number (" + number + ") specified for user design \"" +
                        name +
                        "\". The default design numbering scheme will be used to assign a "
                        "design id to this design.");
  };
  EXPECT_EQ(messages(),
            lower("4", "low") + lower("10", "last") + invalid("-3", "bad") +
                invalid("0", "zero") + kChecking +
                noteBlock("The maximum design number for the designs in the shared design set "
                          "is 11, which is larger than the total number of evaluations "
                          "performed currently. The design numbering of this agent will "
                          "continue after this number, so that the next design without a "
                          "design number given will be design 12.") +
                kSending + summary(true, 5, 5, 0, 0, 5));
  ASSERT_EQ(set.toEvaluate.size(), 5u);
  std::vector<int> numbers;
  for (const Design& d : set.toEvaluate) numbers.push_back(d.requestedNumber);
  EXPECT_THAT(numbers, ElementsAre(4, 10, 0, 0, 11));
  EXPECT_EQ(agent().evaluatedDesigns, 11);
  EXPECT_TRUE(exists("UserDesigns0_a.in_backup_at_11_evals"));
}

// ---------------------------------------------------------------------------------------
// Designs with results

TEST_F(UserDesignsTest, DesignsWithResultsAreScoredNumberedStoredAndWrittenToTheHistory) {
  write("UserDesigns0_r.in",
        "*DESIGN_AND_RESULTS\n"
        "mapDesign, r1, 3, 1, 7.5, 12.5, 50\n"
        "dontMapDesign, r2, 0, 5, 9, 3, 7.5, 20, 150\n"
        "*END\n"
        "*DESIGN_ONLY\n"
        "dontMapDesign, e1, 6, 2, 7.5\n"
        "*END\n");
  agent().evaluatedDesigns = 2;
  const UserDesignSet set = read();
  EXPECT_EQ(set.stored, 2);
  EXPECT_EQ(set.withResults, 2);
  EXPECT_EQ(set.withoutResults, 1);
  ASSERT_EQ(set.toEvaluate.size(), 1u);
  EXPECT_EQ(set.toEvaluate[0].name, "e1");
  // r2 keeps its number 5, which moves the numbering on: r1 is design 6.
  EXPECT_EQ(agent().evaluatedDesigns, 6);
  EXPECT_EQ(results().counters[0], 6);
  EXPECT_TRUE(exists("UserDesigns0_r.in_backup_at_6_evals"));
  EXPECT_EQ(results().history.count, 2u);

  Design r1;
  ASSERT_TRUE(designStoreFind(results().store,
                              design({3, 0}, {3.0, 0.0, 7.5}, kEncodingChromosome), &r1));
  EXPECT_EQ(r1.designNumber, 6);
  EXPECT_EQ(r1.performance, -12.5);
  EXPECT_EQ(r1.status, kDesignFeasible);
  EXPECT_EQ(r1.violation, 0.0);
  Design r2;
  ASSERT_TRUE(designStoreFind(results().store,
                              design({9, 2}, {9.0, 2.0, 7.5}, kEncodingReal), &r2));
  EXPECT_EQ(r2.status, kDesignInfeasible);
  EXPECT_EQ(r2.violation, 0.5);
  EXPECT_EQ(r2.tag, 0);

  // The history file holds both, as they were stored: a later run takes them over with their
  // number and results.
  resetAgentResults();
  agent().evaluatedDesigns = 0;
  ASSERT_EQ(readHistory(agent(), results()), 1);
  EXPECT_EQ(designStoreSize(results().store), 2u);
  Design back;
  ASSERT_TRUE(designStoreFind(results().store,
                              design({9, 2}, {9.0, 2.0, 7.5}, kEncodingReal), &back));
  EXPECT_EQ(back.name, "r2");
  EXPECT_EQ(back.designNumber, 5);
  EXPECT_EQ(back.performance, -20.5);
  ASSERT_EQ(back.responses.size(), 2u);
  EXPECT_THAT(back.responses[0].values, ElementsAre(20.0));
  EXPECT_THAT(back.responses[1].values, ElementsAre(150.0));
  EXPECT_EQ(agent().evaluatedDesigns, 6);
}

// ---------------------------------------------------------------------------------------
// Duplicates

TEST_F(UserDesignsTest, DuplicatesWithinTheFilesAndOfStoredDesignsAreNotEvaluated) {
  // A stored design: x = 5, c = 1 (chromosome authoritative).
  Design stored = design({5, 0}, {5.0, 0.0, 7.5}, kEncodingChromosome);
  stored.designNumber = 1;
  stored.status = kDesignFeasible;
  ASSERT_TRUE(designStoreInsert(results().store, stored));
  agent().evaluatedDesigns = 1;

  write("UserDesigns0_a.in",
        "*DESIGN_ONLY\n"
        "mapDesign, one, 2, 1, 7.5\n"      // 1
        "mapDesign, again, 2.2, 1, 7.5\n"  // 2: maps onto "one"
        "mapDesign, old, 4.9, 1, 7.5\n"    // 3: maps onto the stored design
        "dontMapDesign, real, 2.2, 1, 7.5\n"  // 4: the real values count: not "one"
        "dontMapDesign, later, 7, 3, 7.5\n"  // 5: to evaluate until ...
        "*END\n");
  write("UserDesigns0_b.in",
        "*DESIGN_AND_RESULTS\n"
        "dontMapDesign, known, 7, 3, 7.5, 1, 1\n"  // 6: ... a design with results replaces it
        "dontMapDesign, twice, 7, 3, 7.5, 2, 2\n"  // 7: the first with results stays
        "*END\n");
  clearMessages();
  const UserDesignSet set = read();
  // After the mapping notes (their text: DesignsToEvaluateAreMappedOrKeptAsGivenAndTheFileRenamed).
  const std::string said = messages();
  const auto duplicate = [](const std::string& design, const std::string& of) {
    return warningBlock("Design " + design + " in the user designs file is a duplicate of design " +
                        of + " in the user designs file. This design will not be evaluated.");
  };
  EXPECT_EQ(said.substr(std::min(said.find(kChecking), said.size())),
            kChecking + duplicate("\"again\" (number 2 in the order defined)",
                                  "\"one\" (number 1 in the order defined)") +
                warningBlock("Design \"old\" (number 3 in the order defined) in the user designs "
                             "file already exists in the KARVO database and will not be "
                             "evaluated. This design will not be re-evaluated.") +
                duplicate("\"later\" (number 5 in the order defined)",
                          "\"known\" (number 6 in the order defined)") +
                duplicate("\"twice\" (number 7 in the order defined)",
                          "\"known\" (number 6 in the order defined)") +
                kSending + summary(true, 7, 5, 2, 3, 4));
  std::vector<std::string> names;
  for (const Design& d : set.toEvaluate) names.push_back(d.name);
  EXPECT_THAT(names, ElementsAre("one", "real"));
  EXPECT_EQ(set.stored, 1);
  EXPECT_EQ(designStoreSize(results().store), 2u);
  Design known;
  ASSERT_TRUE(designStoreFind(results().store,
                              design({7, 2}, {7.0, 2.0, 7.5}, kEncodingReal), &known));
  EXPECT_EQ(known.name, "known");
  EXPECT_EQ(known.designNumber, 2);
}

// ---------------------------------------------------------------------------------------
// Bad lines

TEST_F(UserDesignsTest, WrongFieldCountsNameTheLayoutAndTheExpectedEntries) {
  write("UserDesigns0_a.in", "*DESIGN_ONLY\ndontMapDesign, a, 1, 1, 7.5\n\nmapDesign, b, 1, 1\n");
  write("UserDesigns0_b.in",
        "*DESIGN_AND_RESULTS\nmapDesign, c, 1, 1, 7.5, 5, 5, 5\n*END\n");
  write("UserDesigns0_c.in", "*DESIGN_ONLY\ndontMapDesign, d, 1, 1, 7.5\n*END\n");
  const UserDesignSet set = read();
  const std::string only =
      "Wrong amount of data on line number 4 of file \n     -> " + dir_.file("UserDesigns0_a.in") +
      "\nA design line of a *DESIGN_ONLY section holds: evaluation type, design name, [integer, "
      "design number,] <design variable values>, <parameter values>. Expecting 5 entries, found "
      "4.\nThe entries expected are: evaluation type, design name, [integer, design number,] x, "
      "c, p";
  const std::string withResults =
      "Wrong amount of data on line number 2 of file \n     -> " + dir_.file("UserDesigns0_b.in") +
      "\nA design line of a *DESIGN_AND_RESULTS section holds: evaluation type, design name, "
      "[integer, design number,] <design variable values>, <parameter values>, <response "
      "values>. Expecting 7 entries, found 8.\nThe entries expected are: evaluation type, design "
      "name, [integer, design number,] x, c, p, mass, stress";
  EXPECT_EQ(messages(), refusedFile(only, "UserDesigns0_a.in") +
                            refusedFile(withResults, "UserDesigns0_b.in") + kChecking + kSending +
                            summary(true, 1, 1, 0, 0, 1));
  // Only the good file is taken and renamed; the others stay for the user to correct.
  ASSERT_EQ(set.toEvaluate.size(), 1u);
  EXPECT_EQ(set.toEvaluate[0].name, "d");
  EXPECT_TRUE(exists("UserDesigns0_a.in"));
  EXPECT_TRUE(exists("UserDesigns0_b.in"));
  EXPECT_TRUE(exists("UserDesigns0_c.in_backup_at_0_evals"));
}

TEST_F(UserDesignsTest, EachBadValueIsReportedWithItsLineOrEndsTheRun) {
  const std::string path = dir_.file("UserDesigns0_a.in");
  const std::string place = "line number 2 of file \n     -> " + path;
  const auto outOfBounds = [&place](const std::string& value) {
    return "Design variable x must be greater than or equal to it's lower bound (0.000000) and "
           "smaller than or equal to it's upper bound (10.000000). The value was read as " +
           value + ".\nThe error is on " + place;
  };
  const std::string illegalChoice =
      "Illegal design variable value for variable c, must be greater than 0 and less than or "
      "equal to the user-defined resolution of 3.\nThe error is on " + place;
  const struct {
    const char* section;
    const char* line;
    std::string error;
  } cases[] = {
      {"*DESIGN_ONLY", "mapDesign, a, 1, nil, 7.5",
       "Incomplete definition for one of the user designs. Some variable values are empty.\n"
       "The error is on " + place},
      {"*DESIGN_AND_RESULTS", "mapDesign, a, 1, 1, 7.5, 3, NIL",
       "Incomplete definition for one of the user designs. Some variable and/or response values "
       "are empty.\nThe error is on " + place},
      {"*DESIGN_ONLY", "mapDesign, a, 10.5, 1, 7.5", outOfBounds("10.500000")},
      {"*DESIGN_ONLY", "dontMapDesign, a, -0.5, 1, 7.5", outOfBounds("-0.500000")},
      {"*DESIGN_ONLY", "mapDesign, a, 1, 0, 7.5", illegalChoice},
      {"*DESIGN_ONLY", "mapDesign, a, 1, 4, 7.5", illegalChoice},
      {"*DESIGN_ONLY", "mapDesign, a, 1, 1.5, 7.5", illegalChoice},
      {"*DESIGN_ONLY", "mapDesign, a, wide, 1, 7.5",
       "The value \"wide\" given for the design variable x on " + place + " is not a number."},
      {"*DESIGN_ONLY", "mapDesign, a, 1, 1, seven",
       "The value \"seven\" given for the parameter p on " + place + " is not a number."},
      {"*DESIGN_ONLY", "nearestDesign, a, 1, 1, 7.5",
       "The evaluation type \"nearestDesign\" on " + place +
           " is not supported.\nThe evaluation type must be \"mapDesign\" or \"dontMapDesign\"."},
      {"*DESIGN_ONLY", "mapDesign, a, one, 3, 1, 1, 7.5",
       "The value \"one\" given for the integer field on " + place + " is not an integer."},
      {"*DESIGN_ONLY", "mapDesign, a, 1, next, 1, 1, 7.5",
       "The design number \"next\" on " + place + " must be an integer or \"default\"."},
  };
  for (const auto& c : cases) {
    clearMessages();
    write("UserDesigns0_a.in", std::string(c.section) + "\n" + c.line + "\n*END\n");
    const UserDesignSet set = read();
    EXPECT_TRUE(set.toEvaluate.empty()) << c.line;
    EXPECT_EQ(messages(),
              refusedFile(c.error, "UserDesigns0_a.in") +
                  noteBlock("No designs were found in the UserDesigns files in the project "
                            "directory"))
        << c.line;
    EXPECT_TRUE(exists("UserDesigns0_a.in")) << c.line;
  }

  // When the study stops on design errors, a bad line ends the run.
  run.settings.skipEvalCheck = 0;
  write("UserDesigns0_a.in", "*DESIGN_ONLY\nmapDesign, a, 1, nil, 7.5\n*END\n");
  EXPECT_EQ(failureOf([&] { read(); }), fatalBlock(cases[0].error));
  EXPECT_TRUE(exists("UserDesigns0_a.in"));
}

}  // namespace
}  // namespace karvo
