// Robustness and reliability studies through the real karvo binary, with formula responses:
// the results files of a Latin hypercube and of a Monte Carlo study, the histogram plot of a
// constraint, a resumed study that evaluates only the samples not stored, an agent without
// random parameters; first-order studies: a constraint whose limit state is linear in two
// normal parameters gets the exact beta in its results file (and no histogram plot), and a
// distribution the iteration cannot take stops the run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "base/messages.h"
#include "reliability/reliability_math.h"
#include "support/one_agent_study.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using namespace karvo::testing;

// One design variable x and the parameters a (uniform on [0, 1]) and k = 3 (no distribution);
// f = a k + x is a plain response, g = a a constraint g <= `limit`.
void writeSamplingStudy(const TempDir& dir, const std::string& sampleMethod, int samples,
                        const std::string& limit, bool random = true) {
  writeOneAgentStudy(
      dir.path(),
      {.name = "scatter", .type = "reliability and robustness", .prefix = "rr",
       .definitions = kDefaultFormat +
                      "*DEFINE_DIST\nname: spread\ntype: Uniform\nvariation: 0.5\n" +
                      continuous("x", 1, "0", "1", "2") +
                      "*DEFINE_VARIABLE\nname: k\ntype: Parameter\nid: 2\nbaseline: 3\n"
                      "*DEFINE_VARIABLE\nname: a\ntype: Parameter\nid: 3\nbaseline: 0.5\n" +
                      (random ? "distribution: spread\n" : "") + formulaResponse("f", "a*k + x") +
                      formulaResponse("g", "a"),
       .representation = slot("x", 1, 5),
       .performance = "*RESPONSE\nname: f\ntype: response\n" + atMost("g", limit),
       .runOptions = "useBaseline: 1\n",
       .agent = "method: reliability\nnumEvals: " + std::to_string(samples) +
                "\nsampleMethod: " + sampleMethod + "\ngenRSMAfterStudy: 0\n"});
}

// The sorted values of a results file's "Sorted Response Values" section.
std::vector<double> sortedValues(const std::string& text) {
  std::vector<double> values;
  std::size_t at = text.find("Sorted Response Values\n");
  if (at == std::string::npos) return values;
  at += 23;
  while (at < text.size() && text[at] == ' ') {
    const std::size_t end = text.find('\n', at);
    values.push_back(std::stod(text.substr(at, end - at)));
    at = end + 1;
  }
  return values;
}

// The histogram of a constraint (g = a <= 0.5 over 25 Monte Carlo samples) shows its limit,
// its sample count and the probability of failure the run found, as the message file says:
// "Agent 0: constraint g: beta ..., probability of failure ... (k of 25 samples failed).".
TEST(SamplingRun, HistogramOfAConstraintShowsItsLimitAndTheProbabilityOfFailure) {
  TempDir dir("karvo-plot-limit");
  writeSamplingStudy(dir, "OtherMonteCarlo", 25, "0.5");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  std::smatch note;
  const std::string messages = studyMessages(dir);
  ASSERT_TRUE(std::regex_search(messages, note,
                                std::regex("Agent 0: constraint g: (beta [^\n]*failed\\))\\.")))
      << messages;
  EXPECT_EQ(messages.find("Latin Hypercube"), std::string::npos);
  const ProcessResult result =
      runKarvo({"plot", "study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "plots/histogram_0_f.svg\nplots/histogram_0_g.svg\n");
  // The <text> elements, one a line, and the count of limit marks, read with python3.
  writeFile(dir.file("texts.py"),
            "import sys, xml.etree.ElementTree as ET\n"
            "root = ET.parse(sys.argv[1]).getroot()\n"
            "for e in root.iter('{http://www.w3.org/2000/svg}text'):\n    print(e.text)\n"
            "print('limits', len([e for e in root.iter() if e.get('class') == 'limit']))\n");
  const ProcessResult texts =
      runShell("/usr/bin/python3 texts.py plots/histogram_0_g.svg", dir.path());
  ASSERT_EQ(texts.status, 0) << texts.err;
  EXPECT_THAT(texts.out, HasLines("limit 0.5\n" + note[1].str() + "\nlimits 1\n"));
  EXPECT_THAT(texts.out, HasLines("25 values\n"));
}

// A run stopped after some samples keeps them in its history; the resumed run draws the
// same samples and evaluates only those not stored, and writes the results of every response.
TEST(SamplingRun, ResumedStudyEvaluatesOnlyTheSamplesNotStored) {
  TempDir dir("karvo-rr-resume");
  writeSamplingStudy(dir, "OtherLHC", 8, "2");
  const auto [first, stored, text] = stopAndResume(dir, "rr0.rpt", 8, "RandR_0_g.out");
  ASSERT_GE(stored, 0);
  EXPECT_THAT(text, HasLines("Num in: 8, num existing: " + std::to_string(stored) +
                             ", num duplicates: 0\n"));
  EXPECT_EQ(std::stoi(readFile(dir.file("count"))), first + 8 - stored);
  EXPECT_THAT(text, HasLines("Generating the Latin Hypercube based design array...\n"));
  EXPECT_THAT(text, HasLines("Agent 0: constraint g: beta 1e+300, probability of failure 0 "
                             "(0 of 8 samples failed).\n"));
  const std::string f = readFile(dir.file("RandR_0_f.out"));
  EXPECT_THAT(f, ::testing::HasSubstr("\n               f,         8,"));
  EXPECT_EQ(f.find("RELIABILITY"), std::string::npos);
  EXPECT_THAT(readFile(dir.file("RandR_0_g.out")),
              ::testing::EndsWith("\n    Beta: 1e+300\n    Probability of failure: 0"));
  const std::vector<double> g = sortedValues(readFile(dir.file("RandR_0_g.out")));
  ASSERT_EQ(g.size(), 8u);
  for (int k = 0; k < 8; ++k) {
    EXPECT_GE(g[k], k / 8.0 - 1e-6);
    EXPECT_LE(g[k], (k + 1) / 8.0 + 1e-6);
  }
}

TEST(SamplingRun, AgentWithoutRandomParametersWritesNoResults) {
  TempDir dir("karvo-rr-none");
  writeSamplingStudy(dir, "OtherMonteCarlo", 5, "2", false);
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  EXPECT_THAT(studyMessages(dir),
              HasLines("*WARNING\nThere are no parameters (Fixed variables) defined with "
                       "distributions applied to them for agent 0. No reliability calculation "
                       "can be performed.\n"));
  EXPECT_FALSE(fs::exists(dir.file("RandR_0_f.out")));
  EXPECT_FALSE(fs::exists(dir.file("RandR_0_g.out")));
}

// ---------------------------------------------------------------------------------------
// First order

// The constraint load = x1 + x2 <= 3 with x1 ~ N(1, 0.3) and x2 ~ N(0.5, 0.4) (given as 0.8
// of its nominal value): g = 3 - x1 - x2, beta = 1.5 / 0.5 = 3. "twice" is a plain response.
void writeFormStudy(const TempDir& dir, const std::string& secondLaw) {
  writeOneAgentStudy(
      dir.path(),
      {.name = "scatter", .type = "reliability and robustness", .prefix = "form",
       .definitions = kDefaultFormat +
                      "*DEFINE_DIST\nname: first\ntype: Normal\nstandardDeviation: 0.3\n"
                      "*DEFINE_DIST\nname: second\n" + secondLaw +
                      continuous("w", 1, "-1", "0", "1") +
                      "*DEFINE_VARIABLE\nname: x1\ntype: Parameter\nid: 2\nbaseline: 1\n"
                      "distribution: first\n"
                      "*DEFINE_VARIABLE\nname: x2\ntype: Parameter\nid: 3\nbaseline: 0.5\n"
                      "distribution: second\n" + formulaResponse("load", "x1 + x2 + w") +
                      formulaResponse("twice", "2*x1"),
       .representation = slot("w", 1, 5),
       .performance = atMost("load", "3") + "*RESPONSE\nname: twice\ntype: response\n",
       .runOptions = "useBaseline: 1\n",
       .agent = "method: reliability\nsampleMethod: OtherFORM\nnumEvals: 20\n"
                "genRSMAfterStudy: 0\n"});
}

TEST(FirstOrderRun, LinearConstraintGetsTheExactBeta) {
  TempDir dir("karvo-form-linear");
  writeFormStudy(dir, "type: Normal\nstandardDeviation: 0.8\nuseRelative: true\n");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  const std::string p = formatText("%g", reliability::failureProbability(3.0));
  EXPECT_THAT(studyMessages(dir),
              HasLines("Starting the reliability calculation for constraint load\n"));
  EXPECT_THAT(studyMessages(dir),
              HasLines("Agent 0: constraint load: beta 3, probability of failure " + p +
                       " (first order, 6 designs).\n"));
  // The start and one update, each the point and its two neighbours.
  const std::string load = readFile(dir.file("RandR_0_load.out"));
  EXPECT_NE(load.find("\n            load,         6,"), std::string::npos) << load;
  EXPECT_TRUE(load.ends_with("\n    Beta: 3\n    Probability of failure: " + p)) << load;
  const std::string twice = readFile(dir.file("RandR_0_twice.out"));
  EXPECT_NE(twice.find("\n           twice,         6,"), std::string::npos) << twice;
  EXPECT_EQ(twice.find("RELIABILITY"), std::string::npos);
  // Its results give no histogram.
  const ProcessResult plot =
      runKarvo({"plot", "study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  EXPECT_EQ(plot.status, 0);
  EXPECT_EQ(plot.out, "");
  EXPECT_EQ(plot.err, "The results of the study give no plot.\n");
}

TEST(FirstOrderRun, UnsupportedDistributionStopsTheRun) {
  TempDir dir("karvo-form-unsupported");
  writeFormStudy(dir, "type: Gumbel\nstandardDeviation: 0.4\n");
  EXPECT_NE(runStudy(dir).status, 0);
  EXPECT_THAT(studyMessages(dir),
              HasLines("Unsupported distribution type (Gumbel) used in the FORM calculation. "
                       "Only Uniform, and Normal are currently supported.\n"));
  EXPECT_FALSE(fs::exists(dir.file("RandR_0_load.out")));
}

}  // namespace
}  // namespace karvo
