// Response surfaces after a DOE study through the real karvo binary, with a term set the
// method asks for, and a response evaluated from one of their model files in a later study.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/one_agent_study.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using namespace karvo::testing;

// x and y on three levels each; f = 10 + 3 x - 2 y + 1.5 x y lies in the quadratic term set.
void writeStudy(const TempDir& dir, const std::string& agentType, const std::string& method,
                const std::string& extraResponses = "", const std::string& objective = "f") {
  writeOneAgentStudy(
      dir.path(),
      {.name = "screening", .type = agentType, .prefix = "surf",
       .definitions = continuous("x", 1, "-1", "0", "1") + continuous("y", 2, "-1", "0", "1") +
                      formulaResponse("f", "10 + 3*x - 2*y + 1.5*x*y") + extraResponses,
       .representation = slot("x", 1, 21) + slot("y", 2, 21) +
                         "*FACTOR\nname: x\nlevels: -1, 0, 1\n*FACTOR\nname: y\nlevels: -1, 0, 1\n",
       .performance = minimised(objective),
       .agent = method});
}

// `surfaceType` adds the polynomial of that term set to the four models: f has only linear
// and cross terms, so the Bilinear surface is f itself.
TEST(StudySurfaces, DoeStudyWritesEveryModelAndAResponseReadsOneBack) {
  TempDir dir("karvo-surfaces");
  writeStudy(dir, "doe",
             "method: DOE\nsampleMethod: 3LevelFull\ngenRSMAfterStudy: 1\nsurfaceType: Bilinear\n");
  ASSERT_EQ(runStudy(dir).status, 0) << studyMessages(dir);
  const std::string text = studyMessages(dir);
  EXPECT_THAT(text, HasLines("Starting the requested least squares approximation to the response "
                             "values.\n"));
  EXPECT_THAT(text, HasLines("Completed the requested least squares approximation to the "
                             "response values.\n"));
  EXPECT_EQ(readFile(dir.file("f-Bilinear-0.mdl"))
                .rfind("Bilinear\nRSM coefficients\nConstant coefficient:\n1.00000000e+01 \n"
                       "Linear coefficients:\n3.00000000e+00 -2.0000000e+00 \n\n"
                       "Quadratic coefficients:\n1.50000000e+00 \n", 0),
            0u);
  for (const char* word : {"Linear", "Quadratic", "Kriging", "RadialBasisFunction"}) {
    EXPECT_TRUE(fs::exists(dir.file(std::string("f-") + word + "-0.mdl"))) << word << text;
    EXPECT_TRUE(fs::exists(dir.file(std::string("f-") + word + "-0.err"))) << word;
  }
  EXPECT_THAT(text, HasLines("Starting the quadratic least squares approximation to the response "
                             "values.\n"));
  EXPECT_THAT(text, HasLines("Completed the RBF approximation to the response values.\n"));
  // The quadratic surface reproduces the formula exactly: R squared 1.
  EXPECT_THAT(readFile(dir.file("f-Quadratic-0.err")),
              ::testing::HasSubstr("R squared (Coeff. of multiple determination) = 1.000000"));
  const std::string model = readFile(dir.file("f-Quadratic-0.mdl"));
  EXPECT_EQ(model.rfind("Quadratic\nRSM coefficients\nConstant coefficient:\n1.00000000e+01 \n", 0),
            0u)
      << model;

  // A later study evaluates a response from a model file at a design the DOE never ran: the
  // quadratic surface gives the formula's value there (f(0.5, 0.25) = 11.1875), and so
  // (within its fit) does the Kriging model.
  for (const char* word : {"Quadratic", "Kriging"}) {
    SCOPED_TRACE(word);
    TempDir later("karvo-surfaces-rsm");
    writeStudy(later, "evaluation",
               "method: GA\npopulationSize: 2\nnumCycles: 1\ngenerationsPerCycle: 1\n"
               "crossoverType: 1\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n",
               "*DEFINE_RESPONSE\nname: g\ntype: RSM\nmdlFile: " +
                   dir.file(std::string("f-") + word + "-0.mdl") + "\nvariables:2\nx\ny\n",
               "g");
    writeFile(later.file("UserDesigns0_points.in"),
              "*DESIGN_ONLY\ndontMapDesign, p, 0.5, 0.25\n*END\n");
    ASSERT_EQ(runStudy(later).status, 0) << studyMessages(later);
    const std::string log = readFile(later.file("POST_0/Design1/design.log"));
    if (std::string(word) == "Quadratic") {
      EXPECT_THAT(log, ::testing::HasSubstr("Status: FEASIBLE. Performance: -11.1875.")) << log;
    } else {
      EXPECT_THAT(log, ::testing::ContainsRegex("Status: FEASIBLE. Performance: -11\\.[0-9]+\\."))
          << log;
    }
  }
}

}  // namespace
}  // namespace karvo
