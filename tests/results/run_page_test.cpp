// The run's page: written by the real karvo binary beside the study, parsed with python3's
// html.parser and checked against the history (through karvo export), rebuilt after the fact
// by karvo report, caught while the run goes on, and rendered by a headless browser when one
// is installed; the convergence plot that karvo plot draws of the same run. The thinning of
// the plots is checked on a large synthetic history.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "results/plots.h"
#include "support/search_study.h"
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
  std::size_t marks = 0;
  for (std::size_t at = 0; (at = svg.find("class=\"design\"", at)) != std::string::npos; ++at) ++marks;
  EXPECT_LE(marks, plots::kMaxPlotMarks);
  EXPECT_GT(marks, plots::kMaxPlotMarks / 2);
  EXPECT_LT(svg.size(), 400000u);
}

}  // namespace
}  // namespace karvo
