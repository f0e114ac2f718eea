// The run's page: written by the real karvo binary beside the study, parsed with python3's
// html.parser and checked against the history (through karvo export), rebuilt after the fact
// by karvo report, caught while the run goes on, and rendered by a headless browser when one
// is installed; the convergence plot that karvo plot draws of the same run. The thinning of
// the plots is checked on a large synthetic history. The checkpoint files of an agent in
// process (results/checkpoint.h, search/population_file.h): member records of an even and an
// odd number of variables read back by their leading size, and damaged files that end the run
// with their status and never crash (what a restore gives back: extend_run_test).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/data_value.h"
#include "base/run_exit.h"
#include "base/state_archive.h"
#include "base/verified_file.h"
#include "evaluation/agent_results.h"
#include "evaluation/history_file.h"
#include "results/checkpoint.h"
#include "results/plots.h"
#include "search/genetic.h"
#include "search/population_file.h"
#include "support/search_study.h"
#include "support/study_files_fixture.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::runKarvo;
using testing::runShell;
using testing::TempDir;
using testing::writeFile;

// Prints what a reader of the page checks: the refresh, the title, the headings, and each
// table's class with its rows as "|"-joined cells; then, from the history's CSV export, the
// design the page must name as the best, the last 20 designs and the failed designs.
constexpr const char* kPageCheck = R"(import sys, csv
from html.parser import HTMLParser
class Page(HTMLParser):
    def __init__(self):
        super().__init__(); self.tables = []; self.row = None; self.text = None; self.out = []
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == 'meta' and a.get('http-equiv') == 'refresh': self.out.append('refresh ' + a['content'])
        if tag == 'table': self.tables.append((a.get('class'), []))
        if tag == 'tr': self.row = []
        if tag in ('td', 'th', 'title', 'h1', 'h3'): self.text = ''
        if tag == 'a' and self.row is not None: self.row.append('link ' + a['href'])
    def handle_data(self, data):
        if self.text is not None: self.text += data
    def handle_endtag(self, tag):
        if tag in ('td', 'th') and self.row is not None: self.row.append(self.text); self.text = None
        if tag in ('title', 'h1', 'h3'): self.out.append(tag + ' ' + self.text); self.text = None
        if tag == 'tr': self.tables[-1][1].append(self.row); self.row = None
page = Page(); page.feed(open(sys.argv[1]).read())
for line in page.out: print(line)
for cls, rows in page.tables:
    for row in rows[1:] if cls != 'facts' and cls != 'answer' else rows: print(cls, '|'.join(row))
if len(sys.argv) > 2:
    rows = list(csv.DictReader(open(sys.argv[2])))
    ok = [r for r in rows if r['status'] == 'ok' and r['feasible'] == '1']
    best = max(ok, key=lambda r: float(r['performance']))
    print('expect best', best['design'], repr(float(best['x'])), repr(float(best['y'])))
    print('expect evaluated', len(rows))
    print('expect last', ','.join(r['design'] for r in rows[-20:]))
    print('expect failed', ','.join(r['design'] for r in rows if r['status'] == 'failed'))
)";

std::string pageCheck(const TempDir& dir, const std::string& page, const std::string& csv = "") {
  writeFile(dir.file("check.py"), kPageCheck);
  const auto result = runShell("/usr/bin/python3 check.py " + page + " " + csv, dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

// The lines of `text` that start with `prefix`, without it.
std::vector<std::string> linesWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
    at = end + 1;
  }
  return found;
}

std::string join(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : ",") + part;
  return text;
}

// The design number (first cell) of each row of the page's table `cls`.
std::string designsOf(const std::string& summary, const std::string& cls) {
  std::vector<std::string> designs;
  for (const auto& row : linesWith(summary, cls + " ")) designs.push_back(row.substr(0, row.find('|')));
  return join(designs);
}

// A headless browser draws the page: its DOM holds the title, and the screenshot is a PNG
// that is not one colour (its compressed size would then be tiny). Without chromium the
// calling test is marked skipped after its other checks.
void expectRendered(const TempDir& dir, const std::string& page) {
  if (runShell("command -v chromium", dir.path()).status != 0) {
    GTEST_SKIP() << "chromium is not installed (scripts/deps --test): the page is not rendered";
  }
  const std::string flags = "--headless --no-sandbox --disable-gpu --window-size=900,1400 ";
  const auto dom = runShell("timeout 60 chromium " + flags + "--dump-dom file://" + page +
                                " 2>/dev/null",
                            dir.path());
  EXPECT_THAT(dom.out, ::testing::HasSubstr("<h1>KARVO study study</h1>"));
  const auto shot = runShell("timeout 60 chromium " + flags + "--screenshot=" + page + ".png file://" +
                                 page + " >/dev/null 2>&1",
                             dir.path());
  ASSERT_TRUE(fs::exists(page + ".png")) << shot.err;
  const std::string png = readFile(page + ".png");
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_GT(png.size(), 20000u);
}

TEST(RunPage, FinishedSearchShowsItsAnswerDesignsAndFailuresAsTheHistoryHolds) {
  TempDir dir("karvo-page-search");
  testing::SearchStudy study;
  study.agent = "method: TOLMAR\nnumEvals: 24\n";
  // Designs with x <= 4 fail (division by zero); the constraint makes some infeasible.
  study.f = "(x - 3)**2 + (y - 4)**2 + 1 / (x > 4)";
  study.g = "6 - x";
  testing::writeSearchStudy(dir, study);
  ASSERT_EQ(testing::runSearchStudy(dir).status, 0) << testing::searchMessages(dir);
  ASSERT_EQ(runKarvo({"export", "search0.hst", "--out", "designs.csv"}, dir.path()).status, 0);

  const std::string summary = pageCheck(dir, dir.file("study.html"), "designs.csv");
  const auto expectBest = linesWith(summary, "expect best ");
  ASSERT_EQ(expectBest.size(), 1u) << summary;
  const std::string best = expectBest[0].substr(0, expectBest[0].find(' '));
  // A finished run's page does not reload itself.
  EXPECT_THAT(summary, ::testing::Not(::testing::HasSubstr("refresh")));
  EXPECT_THAT(summary, ::testing::HasSubstr("title KARVO study study\n"));
  EXPECT_THAT(summary, ::testing::HasSubstr("facts State|complete\n"));
  EXPECT_THAT(summary, ::testing::HasSubstr("facts Designs evaluated|" +
                                            linesWith(summary, "expect evaluated ")[0] + " of 24\n"));
  // The answer is the end of the run's, and names the history's best feasible design.
  EXPECT_THAT(summary, ::testing::HasSubstr("h3 Best design of agent 0 (search): design " + best + "\n"));
  EXPECT_THAT(summary, ::testing::HasSubstr("answer g|"));
  EXPECT_EQ(designsOf(summary, "best").substr(0, best.size() + 1), best + ",");
  EXPECT_EQ(designsOf(summary, "last"), linesWith(summary, "expect last ")[0]);
  // Every failed design (the last 20 of them) with its first error and a link to its log.
  std::vector<std::string> failed;
  for (const auto& row : linesWith(summary, "failures ")) {
    const std::vector<std::string> cells = [&] {
      std::vector<std::string> c;
      std::size_t at = 0;
      for (std::size_t bar; (bar = row.find('|', at)) != std::string::npos; at = bar + 1) {
        c.push_back(row.substr(at, bar - at));
      }
      c.push_back(row.substr(at));
      return c;
    }();
    ASSERT_EQ(cells.size(), 5u) << row;
    failed.push_back(cells[1]);
    EXPECT_EQ(cells[2], "Error in evaluating the following formula _result=(x - 3)**2 + (y - 4)**2 + "
                        "1 / (x > 4). The execution command returned ") << row;
    EXPECT_EQ(cells[3].rfind("link ", 0), 0u) << row;
    EXPECT_TRUE(fs::exists(dir.file(cells[3].substr(5)))) << row;
  }
  const std::string expectFailed = linesWith(summary, "expect failed ")[0];
  ASSERT_FALSE(expectFailed.empty()) << "the study must have failed designs";
  EXPECT_EQ(join(failed), expectFailed);

  // karvo report writes the same page from the files the run left.
  const auto report = runKarvo({"report", "study.in", "--out", "after.html"}, dir.path(),
                               {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(report.status, 0) << report.err;
  EXPECT_EQ(report.out, "after.html\n");
  EXPECT_EQ(pageCheck(dir, dir.file("after.html"), "designs.csv"), summary);

  // karvo plot draws its convergence into "plots" beside the study file, named as the user
  // named the study: a mark for each design that did not fail, the best-so-far line, the
  // objective on the axis.
  const auto plotted = runKarvo({"plot", "./study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(plotted.status, 0) << plotted.err;
  EXPECT_EQ(plotted.out, "./plots/convergence_0.svg\n");
  EXPECT_EQ(plotted.err, "");
  const std::string svg = readFile(dir.file("plots/convergence_0.svg"));
  EXPECT_EQ(testing::occurrences(svg, " class=\"design\""),
            std::stoul(linesWith(summary, "expect evaluated ")[0]) -
                testing::occurrences(expectFailed + ",", ","));
  EXPECT_EQ(testing::occurrences(svg, " class=\"best\""), 1u);
  for (const char* text : {">Agent 0 (search): convergence<", ">Evaluations<", ">f<"}) {
    EXPECT_THAT(svg, ::testing::HasSubstr(text));
  }
  expectRendered(dir, dir.file("study.html"));
}

TEST(RunPage, RunningStudyReloadsAndAStoppedOneSaysSo) {
  TempDir dir("karvo-page-running");
  testing::SearchStudy study;
  study.agent = "method: TOLMAR\nnumEvals: 20\n";
  study.f = "x + y";
  testing::writeSearchStudy(dir, study);
  testing::writeStoppingCounter(dir, 3, "study.io");
  // The third design's analysis asks the run to stop and sleeps two seconds meanwhile.
  runShell("KARVO_ROOT=. " + testing::shellQuote(KARVO_BINARY) +
               " i=study.in >/dev/null 2>&1 & echo $! > pid",
           dir.path());
  std::string running;
  for (int i = 0; i < 200 && running.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (readFile(dir.file("count")).rfind("3", 0) == 0 && fs::exists(dir.file("study.html"))) {
      running = readFile(dir.file("study.html"));
    }
  }
  ASSERT_FALSE(running.empty());
  writeFile(dir.file("running.html"), running);
  const std::string summary = pageCheck(dir, dir.file("running.html"));
  EXPECT_THAT(summary, ::testing::HasSubstr("refresh 10\n"));
  EXPECT_THAT(summary, ::testing::HasSubstr("facts State|running\n"));
  expectRendered(dir, dir.file("running.html"));
  runShell("while kill -0 $(cat pid) 2>/dev/null; do sleep 0.1; done", dir.path());
  const std::string stopped = pageCheck(dir, dir.file("study.html"));
  EXPECT_THAT(stopped, ::testing::Not(::testing::HasSubstr("refresh")));
  EXPECT_THAT(stopped, ::testing::HasSubstr("facts State|cancelled\n"));
}

TEST(RunPage, PlotsOfALongRunThinOutTheirMarks) {
  std::vector<plots::ConvergenceDesign> designs(100000);
  for (std::size_t i = 0; i < designs.size(); ++i) {
    designs[i].performance = -static_cast<double>(i % 977);
    designs[i].feasible = i % 3 != 0;
    designs[i].failed = i % 101 == 0;
  }
  const std::string svg = plots::convergenceSvg("long", designs);
  const std::size_t marks = testing::occurrences(svg, "class=\"design\"");
  EXPECT_LE(marks, plots::kMaxPlotMarks);
  EXPECT_GT(marks, plots::kMaxPlotMarks / 2);
  EXPECT_LT(svg.size(), 400000u);
}

// ---------------------------------------------------------------------------------------
// The checkpoint files of an agent in process

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
      design.responses = {ResponseValue{{3.0 + m}, {}, kStatusSuccess, true},
                          ResponseValue{{0.5 * m, 1.5}, {}, kStatusSuccess, true}};
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
