// What the plots say in words: the convergence plot names the objective it shows and lists
// failures only when there are some; a reliability histogram of a constraint shows its limit
// and the probability of failure the run found; a first-order agent gets no histogram. Through
// the real karvo binary on formula-only studies.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "results/plots.h"
#include "support/search_study.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace karvo::testing;

// The <text> elements of an SVG file, one per line, read with python3's XML parser.
std::string textsOf(const TempDir& dir, const std::string& svg) {
  writeFile(dir.file("texts.py"),
            "import sys, xml.etree.ElementTree as ET\n"
            "for e in ET.parse(sys.argv[1]).getroot().iter('{http://www.w3.org/2000/svg}text'):\n"
            "    print(e.text)\n"
            "print('limits', len([e for e in ET.parse(sys.argv[1]).getroot().iter() "
            "if e.get('class') == 'limit']))\n");
  const ProcessResult result =
      runShell("/usr/bin/python3 texts.py " + shellQuote(svg), dir.path());
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

ProcessResult plot(const TempDir& dir) {
  return runKarvo({"plot", "study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

TEST(PlotLabels, ConvergenceShowsTheObjectiveAndNoFailedEntryWithoutFailures) {
  // Lower is better for a minimised objective.
  const std::vector<plots::ConvergenceDesign> designs = {
      {3, true, false}, {1, true, false}, {2, true, false}};
  EXPECT_EQ(plots::bestFeasibleSoFar(designs, true), (std::vector<double>{3, 1, 1}));

  TempDir dir("karvo-plot-labels");
  testing::SearchStudy study;
  study.agent = "method: TOLMAR\nnumEvals: 20\n";
  study.f = "(x - 3)**2 + y";
  testing::writeSearchStudy(dir, study);
  ASSERT_EQ(testing::runSearchStudy(dir).status, 0) << testing::searchMessages(dir);
  const ProcessResult result = plot(dir);
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string texts = textsOf(dir, dir.file("plots/convergence_0.svg"));
  EXPECT_THAT(texts, HasLines("Evaluations\nf\n"));
  EXPECT_THAT(texts, Not(HasSubstr("Performance")));
  EXPECT_THAT(texts, Not(HasSubstr("failed")));
}

// A uniform parameter a in [0, 1]; f = 3 a + 1, a constraint f <= 2.5 (or a plain response).
void writeScatterStudy(const TempDir& dir, const std::string& sampleMethod) {
  writeFile(dir.file("Assembly.in"),
            "*AGENT\nid: 0\nname: scatter\ntype: reliability and robustness\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_DIST\nname: spread\ntype: Uniform\nvariation: 0.5\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
            "*DEFINE_VARIABLE\nname: a\ntype: Parameter\nid: 2\nbaseline: 0.5\n"
            "distribution: spread\n*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: 3*a + x\n"
            "*END\n");
  writeFile(dir.file("Representation0.in"), "*VARIABLE\nname: x\nid: 1\nresolution: 5\n*END\n");
  writeFile(dir.file("Performance0.in"),
            "*RESPONSE\nname: f\ntype: constraint\noption: less_equal\nfactor: 1\ntarget: 2.5\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir.file("Process0.in"), "*PROCESS\nname: formulas\n*END\n");
  writeFile(dir.file("study.in"),
            "*STUDY\nname: scatter\nstartAgent: 0\nendAgent: 0\nfilePrefix: rr\n"
            "randomSeed: 0.5\nmode: newStudy\n*AGENT\nid: 0\nmethod: reliability\n"
            "numEvals: 25\nsampleMethod: " + sampleMethod + "\ngenRSMAfterStudy: 0\n*END\n");
  const auto run = runStudy(dir);
  ASSERT_EQ(run.status, 0) << readFile(dir.file("study.mes"));
}

TEST(PlotLabels, ReliabilityHistogramShowsTheLimitAndTheRunsProbabilityOfFailure) {
  TempDir dir("karvo-plot-limit");
  writeScatterStudy(dir, "OtherMonteCarlo");
  // The message file's note: "Agent 0: constraint f: beta ..., probability of failure ...
  // (k of 25 samples failed)."; the histogram says the same.
  std::smatch note;
  const std::string messages = studyMessages(dir);
  ASSERT_TRUE(std::regex_search(messages, note,
                                std::regex("Agent 0: constraint f: (beta [^\n]*failed\\))\\.")))
      << messages;
  const ProcessResult result = plot(dir);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "plots/histogram_0_f.svg\n");
  const std::string texts = textsOf(dir, dir.file("plots/histogram_0_f.svg"));
  EXPECT_THAT(texts, HasLines("limit 2.5\n" + note[1].str() + "\nlimits 1\n"));
}

TEST(PlotLabels, FirstOrderAgentGetsNoHistogram) {
  TempDir dir("karvo-plot-form");
  writeScatterStudy(dir, "OtherFORM");
  const ProcessResult result = plot(dir);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "The results of the study give no plot.\n");
}

}  // namespace
}  // namespace karvo
