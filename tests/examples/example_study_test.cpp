// The example studies end to end. examples/ten-bar-truss: the karvo binary reads every one of
// its files without a warning and completes a run, and its analysis program truss.py writes
// a listing that holds the values the study's extraction definitions read.
// examples/cantilever-reliability: every file is read without a warning, and each agent's
// estimate of the probability of failure agrees with the closed form of its limit state
// (sampled estimates within three standard errors, the first-order iteration at the design
// point of a direct minimisation).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "external/portal_general.h"
#include "support/study_runs.h"

namespace karvo::testing {
namespace {

namespace fs = std::filesystem;

const std::string kRoot = KARVO_SOURCE_DIR;
const std::string kExample = kRoot + "/examples/ten-bar-truss";

class ExampleStudy : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(kExample, dir_.path(), fs::copy_options::recursive);
  }

  ProcessResult karvo(const std::vector<std::string>& arguments) {
    // Unsettings first: env(1) reads its -u options only before the first assignment.
    return runKarvo(arguments, dir_.path(), {"-KARVO_PYTHON_PATH", "KARVO_ROOT=" + kRoot});
  }

  // What each report says of its agent.
  void expectAgentReports() {
    EXPECT_EQ(filesEndingIn(dir_.path(), ".rpt"),
              (std::vector<std::string>{"truss0.rpt", "truss1.rpt", "truss2.rpt"}));
    const struct {
      const char* report;
      const char* name;
      const char* type;
      int variables;
    } expected[] = {{"truss0.rpt", "sizing", "optimization", 10},
                    {"truss1.rpt", "screening", "doe", 4},
                    {"truss2.rpt", "referenceDesigns", "evaluation", 10}};
    for (const auto& agent : expected) {
      SCOPED_TRACE(agent.report);
      const std::string report = readFile(dir_.file(agent.report));
      EXPECT_THAT(report, HasLines("\nagentName: " + std::string(agent.name) + "\n"));
      EXPECT_THAT(report, HasLines("\nStudy Type: " + std::string(agent.type) + "\n"));
      EXPECT_THAT(report, HasLines("\nprocessName: ten-bar truss analysis\n"));
      EXPECT_THAT(report, HasLines("\nNumber of design variables: " +
                                   std::to_string(agent.variables) + "\n"));
      EXPECT_THAT(report, HasLines("\nNumber of parameters: 4\n"));
      EXPECT_THAT(report, HasLines("\nNumber of responses: 4\n"));
    }
  }

  // The study files raise no warning and no error: every message is an intended note.
  void expectOnlyNotes(const std::string& messageFile) {
    const std::string messages = readFile(dir_.file(messageFile));
    EXPECT_EQ(messages.find("*WARNING\n"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("*ERROR\n"), std::string::npos) << messages;
  }

  TempDir dir_{"karvo-example"};
};

TEST_F(ExampleStudy, FullRunCompletesEveryAgent) {
  // The sizing agent's search shortened from 400 evaluations to 100 (the sizing warns of
  // nothing there), and each analysis checked for completion on every pass instead of once
  // a second, so that the whole run takes seconds.
  replaceIn(dir_.path(), "truss.in", "numEvals: 400\n", "numEvals: 100\n");
  replaceIn(dir_.path(), "Process0.in", "finishCheckFrequency: 1\n", "finishCheckFrequency: 0\n");
  ProcessResult result = karvo({"i=truss.in"});
  ASSERT_EQ(result.status, 0) << result.err << readFile(dir_.file("truss.mes"));
  EXPECT_THAT(result.out, ::testing::EndsWith("\n\n\tEnd of KARVO run.\n"));
  expectOnlyNotes("truss.mes");
  expectAgentReports();
  // The evaluation agent evaluated its four reference designs and stored them.
  for (int design = 1; design <= 4; ++design) {
    EXPECT_THAT(readFile(dir_.file("POST_2/Design" + std::to_string(design) + "/design.log")),
                ::testing::HasSubstr("Design " + std::to_string(design) + " evaluated. Status: "))
        << design;
  }
  EXPECT_FALSE(fs::exists(dir_.file("POST_2/Design5")));
  // The sizing agent's search spent its budget exactly.
  EXPECT_TRUE(fs::exists(dir_.file("POST_0/Design100/design.log")));
  EXPECT_FALSE(fs::exists(dir_.file("POST_0/Design101")));
  EXPECT_TRUE(fs::exists(dir_.file("truss2.hst")));
  EXPECT_TRUE(fs::exists(dir_.file("UserDesigns2_reference.in_backup_at_4_evals")));
  EXPECT_TRUE(filesEndingIn(dir_.path(), ".lock").empty());
  // The screening agent evaluated its 16 runs and analysed them. The mass is the density
  // (0.1) times the sum of area x length, so each area's effect is 0.1 x 25 in^2 x its
  // member's length: 360 in for A1, A3 and A4, 360 sqrt(2) in for the diagonal A8.
  EXPECT_TRUE(fs::exists(dir_.file("POST_1/Design16/design.log")));
  EXPECT_FALSE(fs::exists(dir_.file("POST_1/Design17")));
  std::map<std::string, std::string> effects;
  std::istringstream mass(readFile(dir_.file("DOE_1_mass.out")));
  bool table = false;
  for (std::string line; std::getline(mass, line);) {
    if (line.rfind("Source, ", 0) == 0) table = true;
    if (line.rfind("Error = ", 0) == 0) break;
    std::smatch match;
    if (table && std::regex_match(line, match, std::regex("([A-D]+), [^,]+, [^,]+, ([^,]+),.*"))) {
      effects[match[1]] = match[2];
    }
  }
  EXPECT_EQ(effects["A"], "900");
  EXPECT_EQ(effects["B"], "900");
  EXPECT_EQ(effects["C"], "900");
  EXPECT_EQ(effects["D"], "1272.79");
  EXPECT_EQ(effects.size(), 15u);  // the four main effects and eleven interactions
  for (const char* response : {"maxStress", "maxDisplacement", "stressRatio"}) {
    EXPECT_TRUE(fs::exists(dir_.file(std::string("DOE_1_") + response + ".out"))) << response;
  }
  // The one design-of-experiments setting that the solver comments on.
  EXPECT_THAT(readFile(dir_.file("truss.mes")),
              HasLines("*NOTE\nBased on the user selection, no response surface models will be "
                       "generated at the end of the DOE study.\n"));

  const std::regex closing("\nEnd of KARVO run\\.\n\\*EXIT STATE\nComplete\n\\*ENDTIME\n"
                           "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\n$");
  for (const std::string& report : filesEndingIn(dir_.path(), ".rpt")) {
    SCOPED_TRACE(report);
    EXPECT_TRUE(std::regex_search(readFile(dir_.file(report)), closing));
  }
}

// The trade-off study file is read and checked without a warning; its run (80 analyses) is
// left to scripts/demo.
TEST_F(ExampleStudy, TradeOffStudyIsAcceptedAsItStands) {
  ProcessResult result = karvo({"i=tradeoff.in", "generateReportOnly"});
  ASSERT_EQ(result.status, 0) << result.err << readFile(dir_.file("tradeoff.mes"));
  expectOnlyNotes("tradeoff.mes");
  const std::string report = readFile(dir_.file("tradeoff3.rpt"));
  EXPECT_THAT(report, HasLines("\nagentName: tradeOff\n"));
  EXPECT_THAT(report, HasLines("\nNumber of responses: 3\n\n"
                               "                 mass,  OBJECTIVE,  Minimize, , Norm = Use "
                               "baseline design value\n"
                               "      maxDisplacement,  OBJECTIVE,  Minimize, , Norm = "
                               "2.000000e+00\n"));
}

// The analysis program on the deck of the published optimum: each extraction definition of
// the study, read by the General portal from the listing as a run reads it, gives the published
// value. Faulty decks are refused without a listing.
TEST_F(ExampleStudy, AnalysisListingGivesThePublishedValuesAndFaultyDecksAreRefused) {
  const std::string work = dir_.file("reference");
  ProcessResult run = runShell("python3 ../truss.py optimum.inp && mv optimum.out truss.out", work);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(readFile(work + "/truss.out"), ::testing::EndsWith("\n     NORMAL TERMINATION\n"));
  const struct {
    const char* response;
    double value, tolerance;
  } published[] = {
      {"mass", 5060.85, 0.5},  // the published optimum weight
      // At the optimum the displacement limit and the stress limit of member 5 are active.
      {"maxDisplacement", 2.0, 1e-3},
      {"maxStress", 25000.0, 10.0}};
  for (const auto& [response, value, tolerance] : published) {
    SCOPED_TRACE(response);
    PropertiesMap properties;
    properties.setValue("destDir", work);
    properties.setValue("outputFilenames", "truss.out\n");
    properties.setValue("ResponseName1", response);
    properties.setValue("ResponseDefinition1",
                        readFile(kExample + "/extraction/" + response + ".def"));
    std::vector<double> extracted;
    GeneralPortal().extract(properties, [&](const std::string&, const std::vector<double>& values,
                                            bool ok, const std::string& message) {
      EXPECT_TRUE(ok) << message;
      extracted = values;
    });
    ASSERT_EQ(extracted.size(), 1u);
    EXPECT_NEAR(extracted[0], value, tolerance);
  }

  const std::string deck = readFile(dir_.file("reference/optimum.inp"));
  // A negative area: the deck is refused and no listing is written.
  std::string bad = deck;
  bad.replace(bad.find("30.52"), 5, "-1.0");
  writeFile(dir_.file("bad.inp"), bad);
  run = runShell("python3 truss.py bad.inp", dir_.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "truss.py: error in the input deck bad.inp: line 32: the area -1.0 must be "
                     "positive\n");
  EXPECT_FALSE(fs::exists(dir_.file("bad.out")));

  // Without supports the truss is a mechanism.
  std::string loose = deck;
  loose.replace(loose.find("*BOUNDARY"), loose.find("*LOAD") - loose.find("*BOUNDARY"), "");
  writeFile(dir_.file("loose.inp"), loose);
  run = runShell("python3 truss.py loose.inp", dir_.path());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "truss.py: the stiffness matrix is singular: the structure is a mechanism "
                     "or is not supported enough\n");
  EXPECT_FALSE(fs::exists(dir_.file("loose.out")));
}

// ---------------------------------------------------------------------------------------
// The example study examples/cantilever-reliability

const std::string kCantilever = kRoot + "/examples/cantilever-reliability";

// The exact probability that 4 P L^3 / (E w h^3) > 8 for P normal (4000, 600) and E uniform
// on 210000 (1 +- 0.15): the normal tail integrated over E by the midpoint rule.
double exactProbability() {
  const double length = 2000.0, height = 120.0, width = 60.0, limit = 8.0;
  const double lo = 210000.0 * 0.85, hi = 210000.0 * 1.15;
  const int steps = 20000;
  double sum = 0.0;
  for (int i = 0; i < steps; ++i) {
    const double modulus = lo + (hi - lo) * (i + 0.5) / steps;
    const double critical = limit * modulus * width * height * height * height /
                            (4.0 * length * length * length);
    sum += 0.5 * std::erfc((critical - 4000.0) / 600.0 / std::sqrt(2.0));
  }
  return sum / steps;
}

double fileValue(const std::string& text, const std::string& label) {
  const std::size_t at = text.find(label);
  if (at == std::string::npos) return NAN;
  return std::stod(text.substr(at + label.size()));
}

TEST(CantileverReliabilityExample, EachAgentEstimatesTheExactProbabilityOfFailure) {
  TempDir dir("karvo-example-reliability");
  fs::copy(kCantilever, dir.path(), fs::copy_options::recursive);
  // A fifth of the samples (the demo runs the study as it stands): the estimates are checked
  // against their own standard errors, and each design still costs its folders.
  replaceIn(dir.path(), "cantilever.in", "numEvals: 2000\n", "numEvals: 400\n");
  replaceIn(dir.path(), "cantilever.in", "numEvals: 20000\n", "numEvals: 4000\n");
  const ProcessResult result =
      runKarvo({"i=cantilever.in"}, dir.path(), {"KARVO_ROOT=" + std::string(KARVO_SOURCE_DIR)});
  const std::string messages = unwrapped(readFile(dir.file("cantilever.mes")));
  ASSERT_EQ(result.status, 0) << messages;
  EXPECT_EQ(messages.find("*WARNING"), std::string::npos) << messages;

  const double exact = exactProbability();
  ASSERT_NEAR(exact, 0.0281, 0.0001);
  const struct {
    int agent;
    int samples;
  } sampled[] = {{0, 400}, {1, 4000}};
  for (const auto& [agent, samples] : sampled) {
    SCOPED_TRACE(agent);
    const std::string text = readFile(dir.file("RandR_" + std::to_string(agent) + "_deflection.out"));
    const double p = fileValue(text, "Probability of failure: ");
    const double standardError = std::sqrt(exact * (1.0 - exact) / samples);
    EXPECT_NEAR(p, exact, 3.0 * standardError);
    char counted[32];
    std::snprintf(counted, sizeof counted, "deflection,%10d,", samples);
    EXPECT_NE(text.find(counted), std::string::npos) << counted;
  }
  // The first-order design point of this limit state (a direct minimisation of the distance
  // to it in standard normal space): beta 1.78304.
  const std::string form = readFile(dir.file("RandR_2_deflection.out"));
  EXPECT_NEAR(fileValue(form, "Beta: "), 1.78304, 2e-3);
  // The stress is a plain response: statistics only.
  const std::string stress = readFile(dir.file("RandR_1_stress.out"));
  EXPECT_EQ(stress.find("RELIABILITY"), std::string::npos);
  EXPECT_NE(stress.find("ANOVA RESULTS"), std::string::npos);
}

}  // namespace
}  // namespace karvo::testing
