// Robust parameter designs through the real karvo binary, on y = (x - 2)^2 + x n: a noise
// variable n on a crossed 2-level control array (means and ratios by hand, the surfaces of the
// derived responses, the factor mapping of the report), a random parameter as noise with a
// resumed run, and a design without noise.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/one_agent_study.h"
#include "support/study_runs.h"
#include "support/test_support.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using testing::stopAndResume;
using testing::studyMessages;
using testing::HasLines;
using ::testing::HasSubstr;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// `variables`: "name lo hi" triples of the design variables, in representation order;
// `factors`: their *FACTOR records; `extraDefinitions`: parameters and distributions.
void writeStudy(const TempDir& dir, const std::vector<std::string>& variables,
                const std::string& factors, const std::string& formula,
                const std::string& extraDefinitions, const std::string& agentMethod) {
  testing::OneAgentStudy study{.name = "robust", .type = "doe", .prefix = "doe"};
  study.definitions = testing::kDefaultFormat;
  int id = 0;
  for (const std::string& name : variables) {
    study.definitions += testing::continuous(name, ++id, "-5", "0", "5");
    study.representation += testing::slot(name, id, 5);
  }
  study.definitions += extraDefinitions + testing::formulaResponse("y", formula);
  study.representation += factors;
  study.performance = testing::minimised("y");
  study.agent = agentMethod;
  testing::writeOneAgentStudy(dir.path(), study);
}

// Control x at 0 and 3, z at 0 and 1 (2-level full factorial); noise n at -1 and 1. Per
// control run: x = 0 gives y = 4, 4 (mean 4, SN = -10 log10 16); x = 3 gives -2, 4 (mean 1,
// SN = -10 log10 10 = -10).
TEST(RobustDesignRun, NoiseVariableGivesTheHandComputedMeansAndRatios) {
  TempDir dir("karvo-rpd-variable");
  writeStudy(dir, {"x", "z", "n"},
             "*FACTOR\nname: x\nlevels:2\n0\n3\nfactorType: control\n"
             "*FACTOR\nname: z\nlevels:2\n0\n1\nfactorType: control\n"
             "*FACTOR\nname: n\nlevels:2\n-1\n1\nfactorType: noise\n",
             "(x - 2)**2 + x*n", "",
             "method: RobustParameterDesign\ncontrolSampleMethod: 2LevelFull\n"
             "noiseSampleMethod: 2LevelFull\ngenRSMAfterStudy: 1\n");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  EXPECT_THAT(studyMessages(dir), HasLines("Num in: 8, num existing: 0, num duplicates: 0\n"));
  EXPECT_THAT(studyMessages(dir),
              HasLines("Agent 0 (\"robust\"): robust parameter design of 8 runs: control array of "
                       "4 runs over 2 factors (A = x, 2 levels; B = z, 2 levels); noise array of "
                       "2 runs over 1 factors (A = n, 2 levels).\n"));

  const std::string means = readFile(dir.file("DOE_0_y_means.out"));
  EXPECT_THAT(means, HasLines("DOE INFORMATION\n"
                              "---------------\n"
                              "Number of factors:     2\n"
                              "Number of Runs:        4\n"
                              "        A,           B,      Response\n"
                              "     1,        0,           0,          4.00000000e+00\n"
                              "     2,        1,           0,          1.00000000e+00\n"
                              "     3,        0,           1,          4.00000000e+00\n"
                              "     4,        1,           1,          1.00000000e+00\n"));
  EXPECT_THAT(means, HasLines("A, 4, 1, -3, 9, 1,0, 0, 0, 0 \n"));
  EXPECT_THAT(means, HasLines("Total = 9\n"));

  const std::string ratios = readFile(dir.file("DOE_0_y_SNratio.out"));
  EXPECT_THAT(ratios, HasLines("     1,        0,           0,         -1.20411998e+01\n"
                               "     2,        1,           0,         -1.00000000e+01\n"));
  // Effect of x: 10 log10 16 - 10 = 2.0412; SS = 4 (2.0412 / 2)^2, all of the total.
  EXPECT_THAT(ratios, HasLines("A, -12.0412, -10, 2.0412, 4.1665, 1,0, 0, 0, 0 \n")) << ratios;

  // Surfaces of the derived responses over x and z, none of the raw response.
  EXPECT_TRUE(fs::exists(dir.file("y-means-Linear-0.mdl")));
  EXPECT_TRUE(fs::exists(dir.file("y-SNratio-Kriging-0.err")));
  EXPECT_FALSE(fs::exists(dir.file("y-Linear-0.mdl")));
  EXPECT_THAT(readFile(dir.file("y-means-Linear-0.mdl")), HasSubstr("x: min=0.000000, max=3.000000"));

  EXPECT_THAT(readFile(dir.file("doe0.rpt")),
              HasLines("*FACTOR_MAPPING\ncontrolFactorOrder: 1, 2\nnoiseFactorOrder: 3\n"));
}

// A Normal parameter p (mean 0, sigma 1) as the only noise factor: three levels at the
// quantiles 1/6, 1/2, 5/6 (+-0.9674215661017014). x = 3 gives 1 + 3 p: mean 1, SN =
// -10 log10((3 + 2 (3 q)^2) / 3) = -8.205578761480236.
TEST(RobustDesignRun, RandomParameterIsLaidOutAtItsQuantilesAndResumes) {
  TempDir dir("karvo-rpd-parameter");
  writeStudy(dir, {"x"}, "*FACTOR\nname: x\nlevels:2\n0\n3\n", "(x - 2)**2 + x*p",
             "*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 2\nbaseline: 0\n"
             "distribution: scatter\n"
             "*DEFINE_DIST\nname: scatter\ntype: Normal\nstandardDeviation: 1\n",
             "method: DOE\nsampleMethod: RobustParameterDesign\n"
             "controlSampleMethod: 2LevelFull\nnoiseSampleMethod: OtherLHC\ngenRSMAfterStudy: 0\n");
  const auto [first, stored, text] = stopAndResume(dir, "doe0.rpt", 6, "DOE_0_y_means.out");
  ASSERT_GE(stored, 0);
  EXPECT_THAT(text, HasLines("Agent 0 (\"robust\"): robust parameter design of 6 runs: control "
                             "array of 2 runs over 1 factors (A = x, 2 levels); noise array of 3 "
                             "runs over 1 factors (A = p, 3 levels).\n"));
  EXPECT_THAT(text, HasLines("Num in: 6, num existing: " + std::to_string(stored) +
                             ", num duplicates: 0\n"));
  EXPECT_EQ(std::stoi(readFile(dir.file("count"))), first + 6 - stored);
  const std::string means = readFile(dir.file("DOE_0_y_means.out"));
  EXPECT_THAT(means, HasLines("     1,        0,          4.00000000e+00\n"
                              "     2,        1,          1.00000000e+00\n"));
  EXPECT_THAT(means, HasLines("   A,   4.000000,   1.000000\n"));
  EXPECT_THAT(readFile(dir.file("DOE_0_y_SNratio.out")),
              HasLines("     1,        0,         -1.20411998e+01\n"
                       "     2,        1,         -8.20557876e+00\n"));
}

// (The formula-only path of a robust design: NoiseVariableGivesTheHandComputedMeansAndRatios.)
TEST(RobustDesignRun, DesignWithoutNoiseFactorIsRefused) {
  TempDir bare("karvo-rpd-bare");
  writeStudy(bare, {"x", "z"}, "*FACTOR\nname: x\nlevels:2\n0\n3\n*FACTOR\nname: z\nlevels:2\n0\n1\n",
             "x + z", "",
             "method: RobustParameterDesign\ncontrolSampleMethod: 2LevelFull\n"
             "noiseSampleMethod: 2LevelFull\ngenRSMAfterStudy: 0\n");
  EXPECT_NE(runStudy(bare).status, 0);
  EXPECT_THAT(studyMessages(bare),
              HasSubstr("The robust parameter design of agent 0 (\"robust\") needs at least one "
                        "control factor and one noise factor; found 2 control and 0 noise "
                        "factors."));
}

}  // namespace
}  // namespace karvo
