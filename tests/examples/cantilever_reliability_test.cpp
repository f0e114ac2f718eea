// The example study examples/cantilever-reliability through the karvo binary: every file is
// read without a warning, and each agent's estimate of the probability of failure agrees with
// the closed form of its limit state (sampled estimates within three standard errors, the
// first-order iteration at the design point of a direct minimisation).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/study_runs.h"

namespace karvo::testing {
namespace {

namespace fs = std::filesystem;

const std::string kExample = std::string(KARVO_SOURCE_DIR) + "/examples/cantilever-reliability";

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
  fs::copy(kExample, dir.path(), fs::copy_options::recursive);
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
