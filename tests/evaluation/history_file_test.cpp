// Tests of the agent history file: the byte layout of a small history against the layout
// written out here, the round trip of every field of a design, each refusal of the reader
// with its exact messages and an empty start, files cut at every byte and files with absurd
// counts, the design list of a continuing study, and the writer's switch-off, failure and
// atomic rewrite.
#include "evaluation/history_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/verified_file.h"
#include "definitions/design_list.h"
#include "definitions/method_settings.h"
#include "evaluation/agent_results.h"
#include "evaluation/tagging.h"
#include "support/damaged_bytes.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;

// Three design variables (h is not varied by the representation), a dependent variable, a
// parameter, three responses (one of texts) and a loop of two cases.
const char* kHistoryDefinitions =
    "*DEFINE_SET\nname: gauges\nordered: 1\nvalues:3\n1.5\n2.0\n3.0\n"
    "*DEFINE_DIST\nname: scatter\ntype: Normal\nstandardDeviation: 0.1\n"
    "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 10\n"
    "*DEFINE_VARIABLE\nname: c\ntype: Discrete\nid: 2\nset: gauges\nbaseline: 1\n"
    "*DEFINE_VARIABLE\nname: h\ntype: Continuous\nid: 3\nmin: -1\nbaseline: 0\nmax: 1\n"
    "*DEFINE_VARIABLE\nname: d\ntype: Dependent\nid: 4\nformula: x * 2\n"
    "*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 5\nbaseline: 7.5\n"
    "*DEFINE_RESPONSE\nname: mass\ntype: File\n"
    "*DEFINE_RESPONSE\nname: label\ntype: File\ndataType: Text\n"
    "*DEFINE_RESPONSE\nname: curve\ntype: File\n"
    "*DEFINE_LOOP\nname: sweep\ntype: discrete\nvalues:2\n1\n2\n"
    "*END\n";

const char* kHistoryRepresentation =
    "*VARIABLE\nname: x\nid: 1\nresolution: 11\ndistribution: scatter\n"
    "*VARIABLE\nname: c\nid: 2\n"
    "*END\n";

const char* kHistoryPerformance =
    "*RESPONSE\nname: mass\ntype: objective\noption: min_value\ntarget: 0\nquadWt: 0\n"
    "linearWt: 1\n"
    "*RESPONSE\nname: curve\ntype: constraint\noption: less_equal\ntarget: 0\nquadWt: 0\n"
    "linearWt: 1\n"
    "*END\n";

const std::string kCorrupt = "The structure of the history file is corrupt.";
const std::string kResponsesAltered =
    "The structure of the study responses from the history file has been altered from the "
    "previous run and are no longer valid."
    "\n\tThe designs of the history were scored with other responses than the study"
    "\n\tdefines now, so the history is not read. Restore the responses of the earlier"
    "\n\trun to resume it, or start the study anew (mode newStudy).";
const std::string kVariablesAltered =
    "The structure of the design variables in the history file has been altered from the "
    "previous run and is no longer valid.";
const std::string kCurveIsVector =
    "The response \"curve\" was marked as a vector response based on data read from the "
    "history file.";

std::string takenOver(int count) {
  return "Read " + std::to_string(count) +
         " designs from history with an identical problem presentation (representation, "
         "performance) as agent 0.";
}

// The expected bytes, written field by field, with the offsets the tests cut or patch at.
struct Layout {
  std::string bytes;
  Layout& little(std::uint64_t bits, int width) {
    for (int k = 0; k < width; ++k) bytes += static_cast<char>((bits >> (8 * k)) & 0xFF);
    return *this;
  }
  Layout& i32(std::int32_t value) { return little(static_cast<std::uint32_t>(value), 4); }
  Layout& i64(std::int64_t value) { return little(static_cast<std::uint64_t>(value), 8); }
  Layout& f64(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, 8);
    return i64(static_cast<std::int64_t>(bits));
  }
  Layout& str(const std::string& text) {
    i32(static_cast<std::int32_t>(text.size()));
    bytes += text;
    return *this;
  }
  std::size_t at() const { return bytes.size(); }
};

struct Marks {
  std::size_t variables = 0;    // V
  std::size_t print = 0;        // D
  std::size_t responses = 0;    // N
  std::size_t tools = 0;
  std::size_t directions = 0;
  std::size_t types = 0;
  std::size_t designs = 0;      // S
  std::size_t entryName = 0;    // item 3 of the entry
  std::size_t entryValues = 0;  // item 7
  std::size_t entryLoops = 0;   // item 13
  std::size_t loopCases = 0;    // C of the loop
  std::size_t counters = 0;
};

// A response with numbers.
ResponseValue numbers(std::vector<double> values, int status) {
  ResponseValue response;
  response.values = std::move(values);
  response.status = status;
  response.present = true;
  return response;
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The file of the fixture's study holding probe design 7 (see the fixture), counters 9 1 3.
Layout expectedFile(Marks& marks) {
  Layout file;
  file.i32(201901).i32(0);
  marks.variables = file.at();
  file.i32(2);
  file.i32(1).i32(0).i32(1).i32(11).f64(0.0).f64(10.0).str("scatter").str("Normal");
  file.i32(2).i32(1).i32(1).i32(3).f64(0.0).f64(3.0).str("NONE").str("NONE");
  marks.print = file.at();
  file.i32(1).i32(1);  // dependent d
  file.i32(1).i32(1);  // parameter p
  marks.responses = file.at();
  file.i32(2);
  marks.tools = file.at();
  file.i32(3).i32(4);
  marks.directions = file.at();
  file.i32(-1).i32(-1);
  marks.types = file.at();
  file.i32(0).i32(1);
  marks.designs = file.at();
  file.i32(1);
  // The entry.
  file.i32(0).i32(1);
  marks.entryName = file.at();
  file.str("probe").str("from the user");
  file.i32(4).i32(2).i32(0).i32(0);                      // T + 1 fields
  file.f64(4.0).f64(2.0).f64(0.0).f64(7.5).f64(0.0);     // T variables, P parameters, 0
  marks.entryValues = file.at();
  file.i32(1).i32(0).f64(12.5);                          // mass
  file.i32(1).i32(1).i64(5);                             // label: a string cell
  file.bytes += "steel";
  file.i32(2).i32(0).f64(1.0).i32(0).f64(2.5);           // curve: a vector
  file.i32(0);                                           // d: missing
  file.f64(-12.5).f64(0.25).f64(0.0).f64(1e308).f64(-1e308).f64(0.0);
  file.i32(3).i32(0).i32(7).i32(2).i32(1).i32(2);
  file.i32(0).i32(0).i32(0).i32(2);                      // performance block: 16 + 16 x 2
  file.f64(12.5).f64(1.0).f64(1.0).f64(3.0);
  marks.entryLoops = file.at();
  file.i32(1).str("sweep");
  marks.loopCases = file.at();
  file.i32(2).str("1").str("2");
  file.f64(12.0).f64(0.5).i32(1).i32(1).i32(0).f64(3.5);  // case 1: d present
  file.f64(13.0).f64(0.75).i32(0);                         // case 2: d missing
  file.i32(2);
  marks.counters = file.at();
  file.i32(9).i32(1).i32(3);
  return file;
}

void patchInt32(std::string& bytes, std::size_t at, std::int32_t value) {
  for (int k = 0; k < 4; ++k) {
    bytes[at + static_cast<std::size_t>(k)] =
        static_cast<char>((static_cast<std::uint32_t>(value) >> (8 * k)) & 0xFF);
  }
}

class HistoryFileTest : public testing::StudyFilesTest {
 protected:
  HistoryFileTest() : StudyFilesTest("karvo-history") {}

  void SetUp() override {
    StudyFilesTest::SetUp();
    resetAgentResults();
    resetHistoryFileState();
    run.runPrefix = "demo";
    definitionsWith(kHistoryDefinitions);
    testing::writeFile(dir_.file("Representation0.in"), kHistoryRepresentation);
    readRepresentationFile(0);
    testing::writeFile(dir_.file("Performance0.in"), kHistoryPerformance);
    readPerformanceFile(0);
    per_type[0].eval_tool = {3, 4};
    per_type[0].resp_value_type = {0, 1};
    addAgent(0, 0);
    addAgent(1, 0);  // the same problem
    addAgent(2, 1);  // another process
    clearMessages();
  }

  void TearDown() override {
    resetAgentResults();
    resetHistoryFileState();
    StudyFilesTest::TearDown();
  }

  static void addAgent(int number, int process) {
    Agent agent;
    agent.number = number;
    agent.representation = 0;
    agent.performance = 0;
    agent.process = process;
    agent.type = kAgentOptimization;
    agent.method.code = kMethodGenetic;
    agents.push_back(agent);
  }

  Agent& agent() { return *findAgent(0); }
  AgentResults& results() { return agentResults(agent()); }
  std::string path() { return dir_.file("demo0.hst"); }

  // Design `number` (4 .. 13) of agent `source` with a numeric, a vector and (through the
  // context) a text response, and no value for the dependent variable.
  static Design probe(int number, int source = 0) {
    Design design;
    design.representation = 0;
    design.num_dvar = 2;
    design.source = source;
    design.chromosome = {number - 3, 2};  // a design of its own for each number
    design.reals = {number - 3.0, 2.0, 7.5};
    design.performance = -12.5;
    design.violation = 0.25;
    design.status = kDesignInfeasible;
    design.designNumber = number;
    design.generation = 2;
    design.cycle = 1;
    design.name = "probe";
    design.note = "from the user";
    design.responses = {numbers({12.5}, kStatusSuccess), numbers({1.0, 2.5}, kStatusInfeasible)};
    return design;
  }

  static std::vector<HistoryLoopCases> sweep() {
    return {HistoryLoopCases{.name = "sweep",
                             .caseValues = {"1", "2"},
                             .performanceValues = {{12.0, 0.5}, {13.0, 0.75}},
                             .dependentValues = {{realValue(3.5)}, {DataValue{}}},
                             .trailer = 2}};
  }

  // Stores the entry of `design` in agent 0's results, as the evaluation flow does.
  void keep(const Design& design) {
    EvaluationContext context;
    ResponseValue label;
    label.text = {"steel"};
    label.status = kStatusSuccess;
    label.present = true;
    context.responses["label"] = label;
    std::string bytes;
    encodeHistoryEntry(bytes, historyEntryOf(agent(), design, &context, sweep()),
                       historyShapeOfAgent(agent()));
    appendHistoryEntry(results().history, bytes);
  }

  // The fixture's file: probe design 7 and the counters 9 1 3.
  std::string writeProbeHistory() {
    resetAgentResults();
    keep(probe(7));
    results().counters[0] = 9;
    results().counters[1] = 1;
    results().counters[2] = 3;
    writeHistory(agent(), results());
    resetAgentResults();
    // Read unchecked, as a file of an earlier solver: the tests that change or cut it are
    // about what the reading steps make of it.
    std::filesystem::remove(historySumPath(path()));
    return testing::readFile(path());
  }

  // Reads agent 0's history into fresh results and answers readHistory's answer; the
  // messages start empty.
  int readBack() {
    resetAgentResults();
    clearMessages();
    return readHistory(agent(), results());
  }

  void expectEmptyStart() {
    EXPECT_EQ(designStoreSize(results().store), 0u);
    EXPECT_EQ(results().history.count, 0u);
    EXPECT_EQ(results().history.bytes, 0u);
    EXPECT_EQ(results().designsTakenOver, 0);
    EXPECT_FALSE(historyBeingRead());
  }

  // Writes the probe history, applies `change` to the study, reads the history back and
  // answers the messages; `answer` receives readHistory's answer.
  std::string readAfterChange(const std::function<void()>& change, int& answer) {
    writeProbeHistory();
    change();
    answer = readBack();
    return messages();
  }
};

// Every field of a design that the history keeps, as one comparable value.
auto designFields(const Design& d) {
  std::vector<std::tuple<std::vector<double>, std::vector<std::string>, int, bool>> responses;
  for (const ResponseValue& r : d.responses) {
    responses.emplace_back(r.values, r.text, r.status, r.present);
  }
  return std::make_tuple(d.representation, d.num_dvar, d.source, d.encoding, d.chromosome, d.reals,
                         d.performance, d.violation, d.status, d.failed, d.designNumber,
                         d.generation, d.cycle, d.name, d.note, responses);
}

// ---------------------------------------------------------------------------------------
// Layout

TEST_F(HistoryFileTest, EntryWithoutContextTakesResponsesFromTheDesign) {
  Design design = probe(7);
  design.responses[0] = ResponseValue{};  // mass not evaluated
  design.reals = {4.0, 2.0};              // no parameter values: the baseline is kept
  const HistoryEntry entry = historyEntryOf(agent(), design, nullptr, {});
  EXPECT_THAT(entry.responses, ElementsAre(DataValue{}, DataValue{}, realVector({1.0, 2.5})));
  EXPECT_THAT(entry.dependents, ElementsAre(DataValue{}));
  EXPECT_THAT(entry.reals, ElementsAre(4.0, 2.0, 0.0, 7.5, 0.0));
  ASSERT_EQ(entry.blockReals.size(), 4u);
  EXPECT_TRUE(std::isnan(entry.blockReals[0]));
  EXPECT_EQ(entry.blockReals[1], 0.0);  // ERROR
  EXPECT_THAT(entry.blockInts, ElementsAre(0, 0, 0, 2));

  // The performance block doubles when some agent is stochastic.
  agents[2].stochasticFitness = 1;
  EXPECT_EQ(historyShapeOfStudy().performanceBlock, 16 + 32 * 2);
  EXPECT_THAT(historyEntryOf(agent(), probe(7), nullptr, {}).blockReals,
              ElementsAre(12.5, 1.0, 1.0, 3.0, 0.0, 0.0, 0.0, 0.0));
}

// ---------------------------------------------------------------------------------------
// Entries

TEST_F(HistoryFileTest, EntryRoundTripKeepsEveryFieldAndIntegersComeBackAsReals) {
  const HistoryShape shape = historyShapeOfAgent(agent());
  HistoryEntry entry;
  entry.source = 4;
  entry.encoding = kEncodingReal;
  entry.name = std::string("n\0me", 4);
  entry.note = "note";
  entry.chromosome = {1, 2, 3, 0};
  entry.reals = {0.5, -1.0, kNaN, 7.5, 0.0};
  entry.responses = {realValue(1.25), stringValue("a,b"),
                     DataValue{{unsetCell(), realCell(2.0), endCell()}}};
  entry.dependents = {integerValue(4)};
  entry.performance = kFailedPerformance;
  entry.violation = kFailedViolation;
  entry.kept[0] = 1.0;
  entry.kept[3] = -2.0;
  entry.status = kDesignError;
  entry.failed = 1;
  entry.designNumber = 12;
  entry.generation = 5;
  entry.cycle = 2;
  entry.numVariables = 2;
  entry.blockInts[0] = 9;
  entry.blockInts[3] = -4;
  entry.blockReals = {1.0, 2.0, 3.0, 4.0};
  entry.loops = {HistoryLoopCases{.name = "sweep",
                                  .caseValues = {"a", "", "c"},
                                  .performanceValues = {{1, 2}, {3, 4}, {5, 6}},
                                  .dependentValues = {{integerValue(8)}, {DataValue{}},
                                                      {stringValue("t")}},
                                  .trailer = 3},
                 HistoryLoopCases{.name = "empty", .caseValues = {}, .performanceValues = {},
                                  .dependentValues = {}, .trailer = -1}};

  std::string bytes;
  encodeHistoryEntry(bytes, entry, shape);
  ByteReader reader = byteReaderOf(bytes);
  HistoryEntry back;
  ASSERT_TRUE(decodeHistoryEntry(reader, shape, kHistoryVersion, back));
  EXPECT_EQ(reader.at, bytes.size());

  EXPECT_EQ(back.dependents, std::vector<DataValue>{realValue(4.0)});
  EXPECT_EQ(back.loops[0].dependentValues[0], std::vector<DataValue>{realValue(8.0)});
  std::string again;
  encodeHistoryEntry(again, back, shape);
  EXPECT_EQ(again, bytes);  // NaN bits and every other field unchanged (the writer's layout:
                            // FileBytesFollowTheLayoutAndTheFileCutAtEveryByteIsRefused)
}

TEST_F(HistoryFileTest, OlderEntriesLackTheTextsAndTheSecondPerformanceValue) {
  const HistoryShape shape = historyShapeOfAgent(agent());
  HistoryEntry entry = historyEntryOf(agent(), probe(7), nullptr, {});
  entry.name.clear();
  entry.note.clear();
  std::string bytes;
  encodeHistoryEntry(bytes, entry, shape);

  std::string before201505 = bytes;
  before201505.erase(8, 8);  // the two empty strings
  HistoryEntry back;
  ByteReader reader = byteReaderOf(before201505);
  ASSERT_TRUE(decodeHistoryEntry(reader, shape, 201400, back));
  EXPECT_EQ(reader.at, before201505.size());
  EXPECT_EQ(back.violation, 0.25);

  // Item 9 starts after the fixed fields and the typed values; its second real is the
  // violation.
  std::size_t violationAt = 8 + 4 * 4 + 8 * 5 + 8;
  for (const DataValue& value : entry.responses) violationAt += encodedSize(value);
  violationAt += encodedSize(DataValue{});
  std::string before600 = before201505;
  before600.erase(violationAt, 8);
  reader = byteReaderOf(before600);
  ASSERT_TRUE(decodeHistoryEntry(reader, shape, 500, back));
  EXPECT_EQ(reader.at, before600.size());
  EXPECT_EQ(back.violation, 0.0);
  EXPECT_EQ(back.performance, -12.5);
  EXPECT_EQ(back.kept[1], 1e308);
  EXPECT_EQ(back.designNumber, 7);
}

// ---------------------------------------------------------------------------------------
// Reading back

TEST_F(HistoryFileTest, ReadBackTakesOverTheDesignsOfTheSameProblem) {
  keep(probe(7));
  keep(probe(8, 1));  // agent 1: the same representation, performance and process
  keep(probe(9, 2));  // agent 2: another process
  std::string kept;
  for (const std::string& block : results().history.blocks) kept += block;
  writeHistory(agent(), results());

  agent().evaluatedDesigns = 3;
  ASSERT_EQ(readBack(), 1);
  EXPECT_EQ(messages(), testing::noteBlock(kCurveIsVector) + testing::noteBlock(takenOver(2)));
  EXPECT_FALSE(historyBeingRead());
  EXPECT_EQ(results().designsTakenOver, 2);
  EXPECT_EQ(agent().evaluatedDesigns, 8);
  ASSERT_EQ(designStoreSize(results().store), 2u);
  EXPECT_EQ(designFields(designStoreAt(results().store, 0)), designFields(probe(7)));
  EXPECT_EQ(designFields(designStoreAt(results().store, 1)), designFields(probe(8, 1)));

  // The entries taken over are kept byte for byte as they were written.
  ASSERT_EQ(results().history.count, 2u);
  ASSERT_EQ(results().history.blocks.size(), 1u);
  std::string entry;
  ByteReader reader = byteReaderOf(kept);
  HistoryEntry decoded;
  for (int k = 0; k < 2; ++k) {
    const std::size_t start = reader.at;
    ASSERT_TRUE(decodeHistoryEntry(reader, historyShapeOfAgent(agent()), kHistoryVersion, decoded));
    entry.append(kept, start, reader.at - start);
  }
  EXPECT_EQ(results().history.blocks[0], entry);
  EXPECT_THAT(results().counters, ElementsAre(0, 0, 0));  // not an extended run

  // With reevaluateDesigns the designs stay in the history but a proposal of one is evaluated
  // again: none enters the stored-design table.
  study.options.reevaluateDesigns = 1;
  agent().evaluatedDesigns = 3;
  ASSERT_EQ(readBack(), 1);
  EXPECT_EQ(designStoreSize(results().store), 0u);
  EXPECT_EQ(results().history.count, 2u);
  EXPECT_EQ(agent().evaluatedDesigns, 8);
  study.options.reevaluateDesigns = 0;
}

TEST_F(HistoryFileTest, ExtendedRunReadsThePreviousPrefixAndItsCounters) {
  run.runPrefix = "old";
  writeProbeHistory();
  ASSERT_TRUE(std::filesystem::exists(dir_.file("old0.hst")));

  run.runPrefix = "new";
  study.extendedRunPrefix = "old";
  study.extending = 1;
  EXPECT_EQ(historyFilePath(0, true), dir_.file("old0.hst"));
  ASSERT_EQ(readBack(), 1);
  EXPECT_THAT(results().counters, ElementsAre(9, 1, 3));
  EXPECT_EQ(results().designsTakenOver, 1);

  // A resumed run reads its own prefix: there is no "new0.hst", which is no history and no
  // message.
  study.resume = 1;
  EXPECT_EQ(readBack(), 0);
  EXPECT_EQ(messages(), "");
  expectEmptyStart();
}

TEST_F(HistoryFileTest, RealValuedDesignsOfAHybridSearchAndPrintFlagsAreKept) {
  agent().method.code = kMethodTolmar;
  Design design = probe(7);
  design.encoding = kEncodingReal;
  design.chromosome = {0, 0};  // the real values decide
  keep(design);
  writeHistory(agent(), results());
  ASSERT_EQ(readBack(), 1);
  ASSERT_EQ(designStoreSize(results().store), 1u);
  EXPECT_EQ(designStoreAt(results().store, 0).encoding, kEncodingChromosome);
  EXPECT_EQ(designStoreAt(results().store, 0).chromosome, (std::vector<int>{4, 2}));

  // Print flags read from the file are written again.
  std::string bytes = writeProbeHistory();
  Marks marks;
  expectedFile(marks);
  patchInt32(bytes, marks.print + 4, 0);  // d is not printed
  testing::writeFile(path(), bytes);
  ASSERT_EQ(readBack(), 1);
  std::string rewritten = historyFileBytes(agent(), results());
  EXPECT_EQ(rewritten.substr(marks.print, 16), bytes.substr(marks.print, 16));
}

// ---------------------------------------------------------------------------------------
// Refusals

// Each change of the study since the history was written: the messages of reading it back,
// and whether its design is taken over (1) or the history refused (0).
TEST_F(HistoryFileTest, ChangedStudyWarnsOrRefusesTheHistory) {
  using testing::noteBlock;
  using testing::warningBlock;
  const std::string kept = noteBlock(kCurveIsVector) + noteBlock(takenOver(1));
  const std::string variablesAltered = warningBlock(kVariablesAltered);
  struct Change {
    std::function<void()> apply;
    std::string messages;
    int answer;
  };
  const Change changes[] = {
      // A bound moved beyond 2.22e-16, and within it.
      {[] { representations[0].slots[0].lower = 3e-16; }, variablesAltered, 0},
      {[] { representations[0].slots[0].lower = 2e-16; }, kept, 1},
      {[] { representations[0].slots[0].resolution = 21; }, variablesAltered, 0},
      {[] { representations[0].slots[1].id = 3; }, variablesAltered, 0},
      {[] { representations[0].slots[0].distribution.clear(); },
       warningBlock("The distribution data applied to one of the variables has been modified. "
                    "Continuing with the run if possible..") +
           kept,
       1},
      {[this] { agent().stochasticFitness = 1; },
       warningBlock("The user has changed the stochasticity of Agent 0 from the previous run. "
                    "History cannot be used."),
       0},
      {[] {
         PerformanceDefinition& performance = per_type[0];
         ++performance.count;
         performance.name.push_back("label");
         performance.opt.push_back(0);
         performance.eval_tool.push_back(-1);
         performance.resp_value_type.push_back(0);
       },
       warningBlock("The number of responses from the history file(2) is different than the "
                    "number in the project(3).") +
           warningBlock(kResponsesAltered),
       0},
      {[] { per_type[0].opt[1] = 1; },
       warningBlock("The objective/constraint search goal (minimize/maximize or <=/>=) for "
                    "response 2 from the history file (-1) does not match the direction in "
                    "project (1).") +
           kept,
       1},
      {[] { definitions.loops[0].active = 0; },
       noteBlock(kCurveIsVector) +
           warningBlock("The number of loops for the designs from history (1) is larger than the "
                        "number of active loops in the current project (0). This suggests that "
                        "the structure of the project has changed. The history will not be read."),
       0},
  };
  for (std::size_t k = 0; k < std::size(changes); ++k) {
    SCOPED_TRACE(k);
    if (k > 0) {  // a fresh study for each change
      TearDown();
      SetUp();
    }
    int answer = -1;
    EXPECT_EQ(readAfterChange(changes[k].apply, answer), changes[k].messages);
    EXPECT_EQ(answer, changes[k].answer);
    if (answer == 0) {
      expectEmptyStart();
    } else {
      EXPECT_EQ(results().designsTakenOver, 1);
    }
  }
}

TEST_F(HistoryFileTest, AddedOrRemovedParameterWarnsAndKeepsTheHistory) {
  const std::string countsChanged = testing::warningBlock(
      "The number of dependent variables and/or parameters in the history file has been "
      "altered from the previous run. This would not affect the results, but could affect the "
      "plotting of the results.");
  int answer = -1;
  auto addParameter = [] {
    Variable q;
    q.name = "q";
    q.id = 6;
    q.kind = VariableKind::FixedParameter;
    q.baseline = 1.25;
    definitions.variables.push_back(q);
  };
  EXPECT_EQ(readAfterChange(addParameter, answer),
            countsChanged + testing::noteBlock(kCurveIsVector) + testing::noteBlock(takenOver(1)));
  EXPECT_EQ(answer, 1);
  ASSERT_EQ(designStoreSize(results().store), 1u);
  EXPECT_THAT(designStoreAt(results().store, 0).reals, ElementsAre(4.0, 2.0, 7.5, 1.25));
  // The entry kept is in the layout of the current study: one more real.
  Marks marks;
  expectedFile(marks);
  EXPECT_EQ(results().history.bytes, marks.counters - marks.designs - 4 + 8);

  resetHistoryFileState();
  definitions.variables.pop_back();
  auto removeParameter = [] {
    definitions.variables.erase(definitions.variables.begin() + 4);  // p
  };
  EXPECT_EQ(readAfterChange(removeParameter, answer),
            countsChanged + testing::noteBlock(kCurveIsVector) + testing::noteBlock(takenOver(1)));
  EXPECT_EQ(answer, 1);
  ASSERT_EQ(designStoreSize(results().store), 1u);
  EXPECT_THAT(designStoreAt(results().store, 0).reals, ElementsAre(4.0, 2.0));
}

TEST_F(HistoryFileTest, ValueTypesOfTheFileMarkVectorResponsesAndAnotherVersionEndsTheRun) {
  int answer = -1;
  readAfterChange([] { per_type[0].resp_value_type = {0, 0}; }, answer);
  EXPECT_EQ(answer, 1);
  EXPECT_THAT(per_type[0].resp_value_type, ElementsAre(0, 1));

  std::string bytes = writeProbeHistory();
  patchInt32(bytes, 0, 201801);
  testing::writeFile(path(), bytes);
  resetAgentResults();
  EXPECT_EQ(failureOf([this] { readHistory(agent(), results()); }),
            testing::fatalBlock("The history file for agent 0 is from a different version of "
                                "KARVO (201801) and cannot be read using this version."));
  EXPECT_FALSE(historyBeingRead());
  expectEmptyStart();
}

// ---------------------------------------------------------------------------------------
// Damaged files

// The messages of the file of expectedFile cut to its first `cut` bytes, read by an extended
// run (which needs the counters too).
std::string messagesOfCut(std::size_t cut, const Marks& marks) {
  using testing::noteBlock;
  using testing::warningBlock;
  const std::string altered = warningBlock(kResponsesAltered);
  if (cut < 8) return warningBlock("Error in reading header in history file for agent 0.");
  if (cut < marks.responses) return warningBlock(kCorrupt);
  if (cut < marks.tools) {
    return warningBlock("Could not read the number of responses from the history file.") +
           altered;
  }
  if (cut < marks.directions) {
    const int response = static_cast<int>((cut - marks.tools) / 4) + 1;
    return warningBlock("Could not read the tool id for response " + std::to_string(response) +
                        " from the history file.") +
           altered;
  }
  if (cut < marks.types) {
    const int response = static_cast<int>((cut - marks.directions) / 4) + 1;
    return warningBlock("Could not read the direction for response " +
                        std::to_string(response) + " from the history file.") +
           altered;
  }
  if (cut < marks.types + 4) {
    return warningBlock("Could not read the resp_value_type for response mass from the history "
                        "file.") +
           altered;
  }
  if (cut < marks.designs) {
    return warningBlock("Could not read the resp_value_type for response curve from the "
                        "history file.") +
           altered;
  }
  return noteBlock(kCurveIsVector) + warningBlock(kCorrupt);
}

// The probe file field by field, then that file cut at every byte.
TEST_F(HistoryFileTest, FileBytesFollowTheLayoutAndTheFileCutAtEveryByteIsRefused) {
  Marks marks;
  const std::string bytes = expectedFile(marks).bytes;
  keep(probe(7));
  results().counters[0] = 9;
  results().counters[1] = 1;
  results().counters[2] = 3;
  EXPECT_EQ(historyFileBytes(agent(), results()), bytes);
  writeHistory(agent(), results());
  ASSERT_EQ(testing::readFile(path()), bytes);
  EXPECT_EQ(results().historyWrites, 1);
  EXPECT_EQ(results().entriesWritten, 1u);
  EXPECT_EQ(messages(), "");

  std::filesystem::remove(historySumPath(path()));  // read unchecked (see writeProbeHistory)
  study.extending = 1;
  study.resume = 1;
  testing::forEachCut(bytes, [&](const std::string& cut, std::size_t length) {
    testing::writeFile(path(), cut);
    EXPECT_EQ(readBack(), 0);
    EXPECT_EQ(messages(), messagesOfCut(length, marks));
    expectEmptyStart();
  });
  testing::writeFile(path(), bytes);
  EXPECT_EQ(readBack(), 1);
}

TEST_F(HistoryFileTest, HugeCountsAreRefusedWithoutAllocating) {
  const std::string bytes = writeProbeHistory();
  Marks marks;
  expectedFile(marks);
  const std::int32_t huge = std::numeric_limits<std::int32_t>::max();
  const std::string corrupt =
      testing::noteBlock(kCurveIsVector) + testing::warningBlock(kCorrupt);
  struct Patch {
    std::size_t at;
    std::int32_t value;
    std::string messages;
  };
  const std::vector<Patch> patches = {
      {marks.variables, huge, testing::warningBlock(kVariablesAltered)},
      {marks.variables + 4 + 32, huge, testing::warningBlock(kCorrupt)},  // distribution name
      {marks.print, huge, testing::warningBlock(kCorrupt)},
      {marks.print + 8, -1, testing::warningBlock(kCorrupt)},
      {marks.responses, huge,
       testing::warningBlock("The number of responses from the history file(2147483647) is "
                             "different than the number in the project(2).") +
           testing::warningBlock(kResponsesAltered)},
      {marks.designs, huge, corrupt},
      {marks.designs, -1, corrupt},
      {marks.entryName, huge, corrupt},
      {marks.entryName, -5, corrupt},
      {marks.entryValues, huge, corrupt},
      {marks.entryValues + 4, 7, corrupt},  // an unknown cell tag
      {marks.entryLoops, huge,
       testing::noteBlock(kCurveIsVector) +
           testing::warningBlock("The number of loops for the designs from history "
                                 "(2147483647) is larger than the number of active loops in "
                                 "the current project (1). This suggests that the structure "
                                 "of the project has changed. The history will not be read.")},
      {marks.entryLoops, -1, corrupt},
      {marks.loopCases, huge, corrupt},
  };
  for (const Patch& patch : patches) {
    SCOPED_TRACE(patch.at);
    std::string damaged = bytes;
    patchInt32(damaged, patch.at, patch.value);
    testing::writeFile(path(), damaged);
    EXPECT_EQ(readBack(), 0);
    EXPECT_EQ(messages(), patch.messages);
    expectEmptyStart();
  }
}

TEST_F(HistoryFileTest, OverlongDistributionNameIsACorruptFile) {
  for (std::size_t length : {2055u, 2056u}) {
    SCOPED_TRACE(length);
    DistributionDefinition wide;
    wide.name = std::string(length, 'w');
    wide.type = "Uniform";
    definitions.distributions = {definitions.distributions[0], wide};
    representations[0].slots[0].distribution = wide.name;
    writeProbeHistory();
    const int answer = readBack();
    if (length == 2055u) {
      EXPECT_EQ(answer, 1);
    } else {
      EXPECT_EQ(answer, 0);
      EXPECT_EQ(messages(), testing::warningBlock(kCorrupt));
    }
  }
}

// ---------------------------------------------------------------------------------------
// Continuing a study with a design list

TEST_F(HistoryFileTest, DesignListPicksDesignsAndReportsThoseNotFoundOrEndsTheRun) {
  keep(probe(7));
  keep(probe(8));
  keep(probe(9, 2));  // another problem: never found
  keep(probe(10));
  writeHistory(agent(), results());

  agent().continueDesigns = "7, 9-10,12";
  ASSERT_EQ(readBack(), 1);
  EXPECT_EQ(messages(),
            testing::noteBlock(kCurveIsVector) +
                testing::warningBlock("Could not find all designs specified in the design list "
                                      "for continuing the study. The list of designs not found "
                                      "is: 9, 12,") +
                testing::noteBlock(takenOver(2)));
  ASSERT_EQ(designStoreSize(results().store), 2u);
  EXPECT_EQ(designStoreAt(results().store, 0).designNumber, 7);
  EXPECT_EQ(designStoreAt(results().store, 1).designNumber, 10);
  EXPECT_EQ(agent().evaluatedDesigns, 10);

  agent().continueDesigns = "ALL";
  ASSERT_EQ(readBack(), 1);
  EXPECT_EQ(results().designsTakenOver, 3);

  writeProbeHistory();
  agent().continueDesigns = "7,x";
  clearMessages();
  std::vector<int> numbers;
  ASSERT_FALSE(parseDesignList("7,x", numbers));
  const std::string parserMessages = messages();
  resetAgentResults();
  EXPECT_EQ(failureOf([this] { readHistory(agent(), results()); }),
            testing::noteBlock(kCurveIsVector) + parserMessages +
                testing::fatalBlock("Error in processing the design list for continuing study."));
  EXPECT_FALSE(historyBeingRead());
  expectEmptyStart();
}

// ---------------------------------------------------------------------------------------
// Writing

TEST_F(HistoryFileTest, DisabledHistoryWritesNothingAndAnUnwritableFolderIsWarned) {
  run.settings.historyDisabled = 1;
  keep(probe(7));
  writeHistory(agent(), results());
  EXPECT_FALSE(std::filesystem::exists(path()));
  EXPECT_EQ(results().historyWrites, 0);
  EXPECT_EQ(messages(), "");

  run.settings.historyDisabled = 0;
  run.workingDirectory = dir_.file("missing");
  writeHistory(agent(), results());
  EXPECT_EQ(messages(), "\t**** WARNING ****\n\t Could not write history file for agent 0.\n");
  EXPECT_EQ(results().historyWrites, 0);
  EXPECT_EQ(results().entriesWritten, 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("missing")));
}

// Each write replaces the history whole. The checksum file names the history as written and
// the one before it: a history left by a kill between the two renames is the one before and
// reads without a word; a changed byte refuses the history with the warning that names the
// file, and the file stays as it is; a history without its checksum file is read as files of
// earlier solvers are.
TEST_F(HistoryFileTest, ChecksumFileTellsADamagedHistoryFromAnInterruptedWrite) {
  const auto sumLine = [](const std::string& bytes) {
    char line[64];
    std::snprintf(line, sizeof line, "%zu %08x\n", bytes.size(), verifiedChecksum(bytes));
    return std::string(line);
  };
  keep(probe(7));
  writeHistory(agent(), results());
  const std::string first = testing::readFile(path());
  EXPECT_EQ(testing::readFile(historySumPath(path())),
            "KARVO history checksum 1\n" + sumLine(first));
  keep(probe(8));
  writeHistory(agent(), results());
  const std::string second = testing::readFile(path());
  EXPECT_EQ(testing::readFile(historySumPath(path())),
            "KARVO history checksum 1\n" + sumLine(second) + sumLine(first));
  // The rewrite replaced the file and left no temporary file.
  EXPECT_EQ(second, historyFileBytes(agent(), results()));
  std::set<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir_.path())) {
    names.insert(item.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"demo0.hst", "demo0.hst.sum", "study.mes",
                                          "Definitions.in", "Representation0.in",
                                          "Performance0.in"}));

  testing::writeFile(path(), first);  // killed after the checksum file was replaced
  ASSERT_EQ(readBack(), 1);
  EXPECT_EQ(results().designsTakenOver, 1);
  EXPECT_EQ(messages(), testing::noteBlock(kCurveIsVector) + testing::noteBlock(takenOver(1)));

  std::string damaged = second;
  damaged.back() ^= 0x10;  // an agent counter, which only an extended run reads
  testing::writeFile(path(), damaged);
  EXPECT_EQ(readBack(), 0);
  EXPECT_EQ(messages(),
            testing::warningBlock("The history file \"" + path() +
                                  "\" does not match the checksum kept in \"" + path() +
                                  ".sum\": it was changed or damaged after the solver wrote it. "
                                  "Its designs are not taken over; the run goes on without them "
                                  "and leaves the file as it is until the run's first save of "
                                  "the history."));
  expectEmptyStart();
  EXPECT_EQ(testing::readFile(path()), damaged);

  std::filesystem::remove(historySumPath(path()));
  ASSERT_EQ(readBack(), 1);
  EXPECT_EQ(results().designsTakenOver, 2);

  // The checksum runs on from the last write over the entry blocks that are full; whatever
  // the number of blocks and however the header changes, it is the checksum of the whole file.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const std::size_t blocks = results().history.blocks.size();
    while (results().history.blocks.size() <= blocks + round) keep(probe(7 + round));
    if (round == 2) agent().stochasticFitness = 1;  // another header
    writeHistory(agent(), results());
    EXPECT_EQ(historySumCheck(path(), testing::readFile(path())), HistorySumCheck::kMatches);
  }
  agent().stochasticFitness = 0;
}

}  // namespace
}  // namespace karvo
