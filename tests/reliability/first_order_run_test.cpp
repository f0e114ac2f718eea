// First-order reliability studies through the real karvo binary: a formula constraint whose
// limit state is linear in two normal parameters gets the exact beta in its results file (and
// no histogram plot), and a distribution the iteration cannot take stops the run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/messages.h"
#include "reliability/reliability_math.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using namespace karvo::testing;

// The constraint load = x1 + x2 <= 3 with x1 ~ N(1, 0.3) and x2 ~ N(0.5, 0.4) (given as 0.8
// of its nominal value): g = 3 - x1 - x2, beta = 1.5 / 0.5 = 3. "twice" is a plain response.
void writeFormStudy(const TempDir& dir, const std::string& secondLaw) {
  writeFile(dir.file("Assembly.in"),
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: scatter\n"
            "type: reliability and robustness\nrepresentation: 0\nperformance: 0\nprocess: 0\n"
            "*END\n");
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_DIST\nname: first\ntype: Normal\nstandardDeviation: 0.3\n"
            "*DEFINE_DIST\nname: second\n" + secondLaw +
            "*DEFINE_VARIABLE\nname: w\ntype: Continuous\nid: 1\nmin: -1\nbaseline: 0\nmax: 1\n"
            "*DEFINE_VARIABLE\nname: x1\ntype: Parameter\nid: 2\nbaseline: 1\n"
            "distribution: first\n"
            "*DEFINE_VARIABLE\nname: x2\ntype: Parameter\nid: 3\nbaseline: 0.5\n"
            "distribution: second\n"
            "*DEFINE_RESPONSE\nname: load\ntype: Formula\nformula: x1 + x2 + w\n"
            "*DEFINE_RESPONSE\nname: twice\ntype: Formula\nformula: 2*x1\n*END\n");
  writeFile(dir.file("Representation0.in"), "*VARIABLE\nname: w\nid: 1\nresolution: 5\n*END\n");
  writeFile(dir.file("Performance0.in"),
            "*RESPONSE\nname: load\ntype: constraint\noption: less_equal\nfactor: 1\n"
            "target: 3\nquadWt: 0\nlinearWt: 1\n*RESPONSE\nname: twice\ntype: response\n*END\n");
  writeFile(dir.file("Process0.in"), "*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n");
  writeFile(dir.file("study.in"),
            "*STUDY\nname: scatter\nstartAgent: 0\nendAgent: 0\nfilePrefix: form\n"
            "randomSeed: 0.5\nmode: newStudy\n*RUN_OPTIONS\nuseBaseline: 1\n*AGENT\nid: 0\n"
            "method: reliability\nsampleMethod: OtherFORM\nnumEvals: 20\ngenRSMAfterStudy: 0\n"
            "*END\n");
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
