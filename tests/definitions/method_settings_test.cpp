// Tests of the method settings of agent records: every method word, the defaults and ranges
// of each method's properties with their exact error texts, the corrections with their notes
// and warnings, and the TOLMAR sizing and MOTOLMAR batch checks of the completion step.
#include "definitions/method_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "definitions/reader.h"
#include "definitions/study.h"
#include "driver/method_table.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

using Properties = std::vector<std::pair<std::string, std::string>>;
using testing::fatalBlock;
using testing::noteBlock;
using testing::warningBlock;

std::string rangeText(const std::string& property, const std::string& range,
                      const std::string& value) {
  return "When reading \"" + property +
         "\" input for \"wing\" of type \"Agent\" from file \"Study Input file\", the value "
         "read (" +
         value + ") is outside the expected range " + range;
}

std::string definitionText(const std::string& property, const std::string& reason) {
  return "When reading data for \"wing\" of type \"Agent\" from file \"Study Input file\", "
         "KARVO encountered the following error in reading the data for property \"" +
         property + "\":\n" + reason;
}

// The warning of a batch size that leaves `method` few batches of the budget.
std::string fewBatchesWarning(const std::string& method, int batchSize, int batches) {
  return warningBlock(
      "Performing " + std::to_string(batchSize) +
      " simultaneous evaluations, as specified, during the optimization could result in a  "
      "decrease in the performance of the search with " + method + ". " + method +
      " is a dynamic algorithm that learns with each batch of evaluations. The more batches it "
      "can do, the better the learning process. With the current settings approximately " +
      std::to_string(batches) +
      " batches of evaluations can be performed. A better search process may be achieved by "
      "increasing the total number of evaluations that can be performed during the optimization "
      "or by reducing the number of simultaneous evaluations allowed.");
}

// A minimal valid record of each method, by code.
Properties minimalRecord(int code) {
  static const std::map<int, Properties> records = {
      {kMethodTolmar, {{"method", "TOLMAR"}, {"numEvals", "100"}}},
      {kMethodMultiStart, {{"method", "MS"}, {"numEvals", "50"}, {"populationSize", "4"},
                           {"numCycles", "3"}, {"gradientMethod", "0"}}},
      {kMethodSqp, {{"method", "QP"}, {"numIter", "20"}, {"numLineSearches", "10"},
                    {"startingDesign", "Baseline"}, {"gradientMethod", "1"}}},
      {kMethodAnnealing, {{"method", "SA"}, {"numEvals", "200"}, {"numTemps", "10"},
                          {"maxIters", "20"}, {"startTemp", "100"}, {"endTemp", "0.1"},
                          {"startingDesign", "Baseline"}}},
      {kMethodSurfaceSearch, {{"method", "RS"}, {"surfaceType", "Quadratic"}, {"numIters", "5"},
                              {"numLineSearches", "10"}, {"numExtraEvals", "3"}}},
      {kMethodGenetic, {{"method", "GA"}, {"populationSize", "20"}, {"numCycles", "5"},
                        {"generationsPerCycle", "2"}, {"crossoverType", "1"},
                        {"mutationType", "0"}, {"selectionType", "0"},
                        {"selectionParameter", "3"}}},
      {kMethodDoe, {{"method", "DOE"}, {"sampleMethod", "2LevelFull"}, {"genRSMAfterStudy", "1"}}},
      {kMethodRobustness, {{"method", "robustness"}, {"numEvals", "20"},
                           {"sampleMethod", "OtherLHC"}, {"genRSMAfterStudy", "1"}}},
      {kMethodParetoTolmar, {{"method", "MOTOLMAR"}, {"numEvals", "100"}, {"archiveSize", "16"},
                             {"breedingSize", "8"}, {"shutOff", "1"}}},
      {kMethodDesignSweep, {{"method", "DesignSweep"}, {"numEvals", "9"}}},
      {kMethodSimplex, {{"method", "NMS"}, {"numEvals", "60"}, {"simplexSize", "0.1"},
                        {"numTemps", "0"}, {"startingDesign", "7"}}},
      {kMethodSwarm, {{"method", "PSO"}, {"numDesigns", "10"}, {"numGen", "30"},
                      {"neighborhoodSize", "3"}, {"globalBest", "2"}, {"personalBest", "2"},
                      {"localBest", "0.5"}}},
      {kMethodReliability, {{"method", "reliability"}, {"numEvals", "30"},
                            {"sampleMethod", "OtherFORM"}, {"genRSMAfterStudy", "1"}}},
      {kMethodNsga, {{"method", "NSGA"}, {"populationSize", "12"}, {"numGen", "5"}}},
      {kMethodRobustDesign, {{"method", "RobustParameterDesign"},
                             {"controlSampleMethod", "2LevelFull"},
                             {"noiseSampleMethod", "OtherLHC"}, {"genRSMAfterStudy", "1"}}},
  };
  return records.at(code);
}

// `properties` with `name` set to `value` (replaced, or appended when absent; an empty
// value removes the property).
Properties with(Properties properties, const std::string& name, const std::string& value) {
  for (auto it = properties.begin(); it != properties.end(); ++it) {
    if (it->first == name) {
      if (value.empty()) {
        properties.erase(it);
      } else {
        it->second = value;
      }
      return properties;
    }
  }
  if (!value.empty()) properties.emplace_back(name, value);
  return properties;
}

class MethodSettingsTest : public testing::MessageCaptureTest {
 protected:
  MethodSettingsTest() : MessageCaptureTest("karvo-methods") {}

  // Reads the method settings of an agent record made of `properties`.
  MethodSettings read(const Properties& properties, int agentType = kAgentOptimization,
                      int* code = nullptr) {
    Record record;
    RecordScope scope(record);
    for (const auto& [name, value] : properties) addProperty(record, name.c_str(), value);
    DefinitionContext context;
    context.record = &record;
    context.fileLabel = "Study Input file";
    context.recordLabel = "Agent";
    context.objectName = "wing";
    MethodSettings settings;
    int answer = readMethodSettings(context, agentType, settings, methodTable());
    if (code) *code = answer;
    return settings;
  }

  // The message file after completing `settings` ended the run.
  std::string completionFailure(const MethodRunFacts& facts, MethodSettings settings) {
    return failureOf([&] { completeMethodSettings(facts, settings, methodTable()); });
  }

  static MethodRunFacts facts(int designVariables, int batchSize = 1) {
    MethodRunFacts f;
    f.agentNumber = 3;
    f.studyName = "beam";
    f.designVariables = designVariables;
    f.continuousVariables = designVariables;
    f.batchSize = batchSize;
    f.performanceNumber = 2;
    f.objectives = 2;
    return f;
  }

  // A TOLMAR agent with budget `evaluations`, sized for `n` variables and `batch`.
  MethodSettings sizedTolmar(int evaluations, int n, int batch = 1) {
    MethodSettings s =
        read(with(minimalRecord(kMethodTolmar), "numEvals", std::to_string(evaluations)));
    completeMethodSettings(facts(n, batch), s, methodTable());
    return s;
  }

};

// ---------------------------------------------------------------------------------------
// Method words and records

TEST_F(MethodSettingsTest, EveryMethodWordReadsItsCode) {
  for (int code = 0; code < kMethodCount; ++code) {
    SCOPED_TRACE(methodWord(code));
    int answer = -1;
    MethodSettings s = read(minimalRecord(code), kAgentOptimization, &answer);
    EXPECT_EQ(answer, code);
    EXPECT_EQ(s.word, methodWord(code));
    EXPECT_GE(s.numCycles, 1);
    EXPECT_GE(s.generationsPerCycle, 1);
  }
  EXPECT_STREQ(methodWord(kMethodCount), "");
  EXPECT_EQ(messages(), "");  // valid records say nothing
}

// ---------------------------------------------------------------------------------------
// Settings that end the run, with their exact texts

struct Refusal {
  Properties record;
  std::string text;  // the text of the error block
  int agentType = kAgentOptimization;
};

TEST_F(MethodSettingsTest, RefusedSettingsEndTheRunWithTheirTexts) {
  auto m = [](int code, const std::string& name, const std::string& value) {
    return with(minimalRecord(code), name, value);
  };
  const std::string starting = "\" is neither \"Baseline\" nor a design number of at least 1.";
  Properties pb = m(kMethodDoe, "sampleMethod", "2LevelPB");
  const std::vector<Refusal> cases = {
      {{{"method", "tolmar"}},
       "Error in defining the method details. The method used \"tolmar\" is not supported."},
      {{{"numEvals", "10"}}, definitionText("method", "The property is not defined.")},
      {m(kMethodTolmar, "numEvals", "0"),
       "When reading \"numEvals\" input for \"wing\" of type \"Agent\" from file \"Study Input "
       "file\", the value read (0) is less than the required minimum (1)"},
      {m(kMethodMultiStart, "gradStepSize", "0"), rangeText("gradStepSize", "[1e-10, 0.5]", "0")},
      {m(kMethodSqp, "startingDesign", "baseline"),
       definitionText("startingDesign", "The read value \"baseline" + starting)},
      {m(kMethodSimplex, "startingDesign", "0"),
       definitionText("startingDesign", "The read value \"0" + starting)},
      {m(kMethodSimplex, "startingDesign", "99999999999"),
       definitionText("startingDesign", "The read value \"99999999999" + starting)},
      {m(kMethodAnnealing, "endTemp", "150"), rangeText("endTemp", "[1e-12, 100]", "150")},
      {m(kMethodDoe, "numLevels", "1"), rangeText("numLevels", "[2, 1000000]", "1"), kAgentDoe},
      {with(pb, "numEvals", "16"),
       "\t Invalid number of runs for Plackett-Burman design (16).\n\t Only number of runs "
       "allowed are: 12, 20, 24, 36, 40, 48 and 64.",
       kAgentDoe},
      {with(m(kMethodDoe, "sampleMethod", "Taguchi"), "taguchiArray", "L6"),
       "Error in the study input data. The Taguchi Array Name specified (L6) is not supported."
       "\nValid names are (L4, L8, L12, L16, L32, L72, L80, L88, L96, L104, L112, L120, L128, "
       "L9, L18, L27, L36, L81.",
       kAgentDoe},
      {m(kMethodDoe, "sampleMethod", "3LevelPartial"),
       definitionText("generator", "The property is not defined."), kAgentDoe},
      {m(kMethodDoe, "surfaceType", "Cubic"), "Unrecognized approximation model type specified: Cubic",
       kAgentDoe},
      {m(kMethodRobustDesign, "noiseSampleMethod", "RobustParameterDesign"),
       "Unrecognized DOE type specified: RobustParameterDesign", kAgentDoe},
      // The method words are matched exactly.
      {m(kMethodDoe, "sampleMethod", "2levelFull"), "Unrecognized DOE type specified: 2levelFull",
       kAgentDoe},
      {m(kMethodSurfaceSearch, "surfaceType", "quadratic"),
       "Unrecognized approximation model type specified: quadratic"},
      {m(kMethodRobustness, "numEvals", "1"),
       "Error in the definition of the method details. The number of evaluations for the "
       "reliability and robustness method must be at least 2. Found 1.",
       kAgentReliability},
      {m(kMethodParetoTolmar, "breedingSize", "4"),
       "The Breeding size must be at least 6. Found (4)."},
      {m(kMethodParetoTolmar, "breedingSize", "20"),
       "The breeding size (20) cannot be greater than the archive size (16)."},
      {m(kMethodParetoTolmar, "breedingSize", "2147483647"),
       rangeText("breedingSize", "[6, 1000000]", "2147483647")},
      {m(kMethodParetoTolmar, "numEvals", "31"),
       "Max evaluations must be at least two times the archive_size (16). Found (31)."},
      {m(kMethodDesignSweep, "numEvals", "0"),
       "The number of evaluations specifed for the design sweep must be greater than 0. Found "
       "(0)."},
      {m(kMethodSwarm, "neighborhoodSize", "11"), rangeText("neighborhoodSize", "[1, 10]", "11")},
      {m(kMethodNsga, "populationSize", "0"),
       "When reading \"populationSize\" input for \"wing\" of type \"Agent\" from file \"Study "
       "Input file\", the value read (0) is less than the required minimum (4)"},
      {m(kMethodNsga, "populationSize", "10"),
       "Error in the definition of the NSGA-III algorithm settings. The popsize must be a "
       "multiple of 4 . Found 10."},
      {m(kMethodGenetic, "crossoverType", "4"),
       "When reading \"crossoverType\" input for \"wing\" of type \"Agent\" from file \"Study "
       "Input file\", the value read (4) asks for a user-programmed crossover (user_crossover), "
       "which this solver cannot load. Use crossoverType 0 to 3."},
      {m(kMethodGenetic, "mutationType", "3"),
       "When reading \"mutationType\" input for \"wing\" of type \"Agent\" from file \"Study "
       "Input file\", the value read (3) asks for a user-programmed mutation "
       "(user_programmed_mutation), which this solver cannot load. Use mutationType 0 to 2."},
      {with(m(kMethodGenetic, "selectionType", "2"), "selectionParameter", "1.0"),
       "When reading \"selectionParameter\" input for \"wing\" of type \"Agent\" from file "
       "\"Study Input file\", the value read (1) is no scaling multiplier for linear ranking "
       "selection (selectionType 2), which needs 1.0 < selectionParameter <= 2.0."},
      {with(with(m(kMethodGenetic, "selectionType", "2"), "selectionParameter", "1.5"),
            "scalingWindow", "0"),
       "When reading \"scalingWindow\" input for \"wing\" of type \"Agent\" from file \"Study "
       "Input file\", the value read (0) turns on window scaling, which linear ranking "
       "selection (selectionType 2) cannot use. Can't use window scaling with rank-based "
       "selection.  Turn off one or the other."},
      {m(kMethodGenetic, "scalingWindow", "20"), rangeText("scalingWindow", "[-1, 19]", "20")},
      {m(kMethodNsga, "numGen", "1"),
       "Error in the definition of the NSGA-III algorithm settings. The number of generations "
       "must be greater than 1. Found 1."},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(failureOf([&] { read(c.record, c.agentType); }), fatalBlock(c.text));
  }
}

// ---------------------------------------------------------------------------------------
// Values read, defaults and corrections

// NSGA runs one generation per cycle after the first two.
TEST_F(MethodSettingsTest, LocalSearchesAndNsgaDeriveTheirCyclesFromTheirSettings) {
  MethodSettings s = read(minimalRecord(kMethodMultiStart));
  EXPECT_EQ(s.populationSize, 4);
  EXPECT_EQ(s.numCycles, 3);
  EXPECT_DOUBLE_EQ(s.gradient.gradStepSize, 0.0005);

  s = read(with(minimalRecord(kMethodSqp), "startingDesign", "12"));
  EXPECT_EQ(s.local.startingDesign, 12);
  EXPECT_EQ(s.generationsPerCycle, 20);  // numIter

  s = read(minimalRecord(kMethodAnnealing));
  EXPECT_EQ(s.local.startingDesign, 0);  // "Baseline"
  EXPECT_EQ(s.numCycles, 10);            // numTemps
  EXPECT_EQ(s.generationsPerCycle, 20);  // maxIters

  s = read(minimalRecord(kMethodNsga));
  EXPECT_EQ(s.nsga.numGen, 5);
  EXPECT_EQ(s.numCycles, 4);  // the first cycle holds the initial population and the second
  EXPECT_EQ(s.generationsPerCycle, 1);
}

TEST_F(MethodSettingsTest, SurfaceSearchModelWords) {
  const std::vector<std::pair<const char*, std::pair<int, int>>> words = {
      {"Linear", {0, 0}}, {"QuadWithCubic", {0, 9}}, {"Kriging", {2, 0}},
      {"RadialBasisFunction", {3, 0}}};
  for (const auto& [word, codes] : words) {
    SCOPED_TRACE(word);
    MethodSettings s = read(with(minimalRecord(kMethodSurfaceSearch), "surfaceType", word));
    EXPECT_EQ(s.surface.model, codes.first);
    EXPECT_EQ(s.surface.termSet, codes.second);
  }
}

TEST_F(MethodSettingsTest, GeneticSelectionParameterIsCorrectedWithWarnings) {
  MethodSettings s = read(minimalRecord(kMethodGenetic));
  EXPECT_EQ(s.genetic.tournamentSize, 3);
  s = read(with(minimalRecord(kMethodGenetic), "selectionParameter", "1"));
  EXPECT_EQ(s.genetic.tournamentSize, 2);
  Properties ranking = with(minimalRecord(kMethodGenetic), "selectionType", "2");
  s = read(with(ranking, "selectionParameter", "2.0"));
  EXPECT_DOUBLE_EQ(s.genetic.scaleMultiplier, 2.0);
  s = read(with(with(ranking, "selectionType", "1"), "selectionParameter", "2.5"));
  EXPECT_DOUBLE_EQ(s.genetic.scaleMultiplier, 1.3);
  EXPECT_EQ(s.genetic.scalingWindow, -1);
  s = read(with(minimalRecord(kMethodGenetic), "scalingWindow", "4"));
  EXPECT_EQ(s.genetic.scalingWindow, 4);
  EXPECT_EQ(messages(),
            warningBlock("Tournament size must be greater than 1, applying a default tourney "
                         "size of 2.") +
                warningBlock("Scaling factor must be between 1.0 and 2.0.; applying a default "
                             "of 1.3."));
}

TEST_F(MethodSettingsTest, DoeArrayWordsAndTheirLimits) {
  const std::vector<std::pair<const char*, int>> words = {
      {"2LevelFull", 0}, {"2LevelPB", 2},  {"3LevelTaguchi", 7},
      {"Taguchi", 7},    {"OtherHMS", 13}};
  const Properties details =
      with(with(minimalRecord(kMethodDoe), "numEvals", "12"), "taguchiArray", "L8");
  for (const auto& [word, kind] : words) {
    SCOPED_TRACE(word);
    MethodSettings s = read(with(details, "sampleMethod", word), kAgentDoe);
    EXPECT_EQ(s.doe.sampleMethod, word);
    EXPECT_EQ(s.doe.kind, kind);
    EXPECT_EQ(s.genRSMAfterStudy, 1);
  }
  for (int runs : {12, 64}) {
    Properties pb =
        with(with(details, "sampleMethod", "2LevelPB"), "numEvals", std::to_string(runs));
    EXPECT_EQ(read(pb, kAgentDoe).numEvals, runs);
  }
  for (const char* name : {"L4", "L128", "L9", "L81"}) {
    Properties taguchi = with(with(details, "sampleMethod", "Taguchi"), "taguchiArray", name);
    EXPECT_EQ(read(taguchi, kAgentDoe).doe.taguchiArray, name);
  }
}

TEST_F(MethodSettingsTest, DoeDetailsDefaultsAndTimeLimitInSeconds) {
  MethodSettings s = read(minimalRecord(kMethodDoe), kAgentDoe);
  EXPECT_DOUBLE_EQ(s.doe.lhcoTimeLimit, 60.0);  // one minute
  Properties details = with(minimalRecord(kMethodDoe), "sampleMethod", "OtherLHCO");
  details = with(with(details, "numEvals", "40"), "LHCOTimeLimit", "2.5");
  s = read(with(details, "numFactors", "6"), kAgentDoe);
  EXPECT_EQ(s.numEvals, 40);
  EXPECT_DOUBLE_EQ(s.doe.lhcoTimeLimit, 150.0);
  EXPECT_EQ(s.doe.numFactors, 6);

  s = read(with(minimalRecord(kMethodRobustDesign), "dataCopy", "yes"), kAgentDoe);
  EXPECT_EQ(s.doe.kind, kDoeRobustDesign);
  EXPECT_EQ(s.doe.noiseKind, kDoeLatinHypercube);
  EXPECT_EQ(s.doe.dataCopy, 1);
}

TEST_F(MethodSettingsTest, SurfaceRequestNotesAndWarnings) {
  EXPECT_EQ(
      read(with(minimalRecord(kMethodDoe), "genRSMAfterStudy", "no"), kAgentDoe).genRSMAfterStudy,
      0);
  EXPECT_EQ(
      read(with(minimalRecord(kMethodDoe), "genRSMAfterStudy", "4"), kAgentDoe).genRSMAfterStudy,
      0);
  read(with(minimalRecord(kMethodReliability), "genRSMAfterStudy", "0"), kAgentReliability);
  EXPECT_EQ(messages(),
            noteBlock("Based on the user selection, no response surface models will be "
                      "generated at the end of the DOE study.") +
                warningBlock("Error in the definition of the surface to be generated from the "
                             "DOE data. The specified value (4) is not supported. No surface "
                             "will be fit to the data.") +
                noteBlock("Based on the user selection, no response surface models will be "
                          "generated at the end of the RR study."));
}

TEST_F(MethodSettingsTest, SamplingKindsAndTheDoeMethodOnAReliabilityAgent) {
  EXPECT_EQ(read(minimalRecord(kMethodReliability), kAgentReliability).sampling.kind,
            kSamplingForm);
  Properties record =
      with(with(minimalRecord(kMethodDoe), "sampleMethod", "OtherLHC"), "numEvals", "10");
  MethodSettings s = read(record, kAgentReliability);
  EXPECT_EQ(s.sampling.kind, kSamplingLatinHypercube);
  EXPECT_EQ(s.doe.kind, -1);
  EXPECT_EQ(read(record, kAgentDoe).doe.kind, kDoeLatinHypercube);
}

// ---------------------------------------------------------------------------------------
// MOTOLMAR

TEST_F(MethodSettingsTest, ParetoArchiveAndBreedingSizesAreRoundedWithNotes) {
  MethodSettings s = read(minimalRecord(kMethodParetoTolmar));
  EXPECT_EQ(s.populationSize, 16);
  EXPECT_EQ(s.numCycles, 1 + 11);  // the archive, then (100 - 16) / 8 rounded up
  s = read(
      with(with(minimalRecord(kMethodParetoTolmar), "archiveSize", "13"), "breedingSize", "7"));
  EXPECT_EQ(s.pareto.archiveSize, 16);
  EXPECT_EQ(s.pareto.breedingSize, 8);
  s = read(with(minimalRecord(kMethodParetoTolmar), "archiveSize", "8"));
  EXPECT_EQ(s.pareto.archiveSize, 12);
  EXPECT_EQ(messages(),
            noteBlock("Archive size must be a multiple of 4. Found 13, incrementing to 16.") +
                noteBlock("Only even values are allowed for breeding size (7). Incrementing by "
                          "1 to 8.") +
                noteBlock("The Archive size must be greater than or equal to 12. Found (8). "
                          "Incrementing Archive size to 12."));
}

// A batch larger than the archive ends the run; an odd one is limited, and few batches warn.
TEST_F(MethodSettingsTest, ParetoBatchIsCheckedAgainstTheArchiveAndLimitedToEven) {
  MethodSettings s = read(minimalRecord(kMethodParetoTolmar));
  EXPECT_EQ(completionFailure(facts(5, 17), s),
            fatalBlock("The maximum number of parallel designs requested (17) is greater than "
                       "the archive size (16). The archive size is the maximum number of "
                       "simultaneous designs that can be evaluated. Please increase the archive "
                       "size or reduce the number of simultaneous design evaluations "
                       "requested."));
  s = read(minimalRecord(kMethodParetoTolmar));
  clearMessages();
  completeMethodSettings(facts(5, 1), s, methodTable());  // a serial run is no odd batch
  EXPECT_EQ(s.pareto.batchSize, 1);
  EXPECT_EQ(messages(), "");
  completeMethodSettings(facts(5, 15), s, methodTable());
  EXPECT_EQ(s.pareto.batchSize, 14);
  EXPECT_EQ(
      messages(),
      warningBlock("For a Pareto optimization, the search cycle size must be even. As a result, "
                   "the number of simultaneous evaluations specified (15) cannot be honored. The "
                   "number of simultaneous evaluations will be limited to 14.") +
          fewBatchesWarning("MO-TOLMAR", 14, 7));
}

TEST_F(MethodSettingsTest, MultiObjectiveMethodsNeedTwoObjectivesBeforeAnyOtherCheck) {
  for (int code : {kMethodParetoTolmar, kMethodNsga}) {
    MethodSettings s = read(minimalRecord(code));
    MethodRunFacts one = facts(5, 17);  // also a batch larger than the archive
    one.objectives = 1;
    // The text's own last line end closes the message block.
    EXPECT_EQ(completionFailure(one, s),
              "*ERROR\nAt least 2 objectives must be defined for a multi-objective run. Found "
              "only 1 in the Performance2.in file.\n\t Exiting.\n\nRun exiting due to an error\n");
  }
}

// ---------------------------------------------------------------------------------------
// Completion: MS and the TOLMAR sizing

TEST_F(MethodSettingsTest, MultiStartNeedsAContinuousVariable) {
  MethodSettings s = read(minimalRecord(kMethodMultiStart));
  completeMethodSettings(facts(2), s, methodTable());
  EXPECT_EQ(messages(), "");
  MethodRunFacts f = facts(4);
  f.continuousVariables = 0;
  EXPECT_EQ(completionFailure(f, s),
            fatalBlock("At least 1 continuous variable must be active when using Multi-Start "
                       "as the optimization method. No continuous variables found for the "
                       "study."));
}

TEST_F(MethodSettingsTest, TolmarSizesPopulationAndCyclesFromTheBudget) {
  struct Case {
    int evaluations, variables, batch, population, cycles;
    bool randomOnly;
  };
  const Case cases[] = {
      {100, 10, 1, 8, 17, false},   // C = 13 < 17: P = trunc(83 / 10.35) = 8, C = 92 / 5.4
      {100, 1, 1, 4, 43, false},    // one variable: a cycle costs 0.55 P
      {2000, 4, 1, 40, 85, false},  // C >= 71: the population grows to 40
      {200, 10, 3, 12, 24, false},  // P = 10 rounded up to whole batches of 3
      {12, 15, 1, 8, 1, true},      // budget below the variable count: 12 / 1.5
      {1, 3, 1, 4, 1, true},        // the smallest population is 4
      {5, 3, 1, 6, 1, true},        // and even
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.evaluations);
    MethodSettings s = sizedTolmar(c.evaluations, c.variables, c.batch);
    EXPECT_EQ(s.populationSize, c.population);
    EXPECT_EQ(s.numCycles, c.cycles);
    EXPECT_EQ(s.generationsPerCycle, 1);
    EXPECT_EQ(s.tolmar.randomSearchOnly, c.randomOnly);
    EXPECT_TRUE(s.tolmar.sized);
  }
}

TEST_F(MethodSettingsTest, TolmarWarnsOnceWhenThePopulationIsCutOrRaisedOrFewBatchesFit) {
  const std::string rest =
      "is insufficient for an effective global search of the design space. The parameters of "
      "the run would be adjusted to accomodate the input # of evaluations. However, these "
      "changes will be detrimental to finding the best solution. The solutions obtained would "
      "most likely, at best, be sub-optimal. If possible, increase the number of allowed "
      "evaluations and restart the run. Continuing the run with the adjusted parameters.";
  MethodSettings s = sizedTolmar(100, 30);
  EXPECT_EQ(s.populationSize, 8);
  EXPECT_EQ(s.numCycles, 17);
  // Both tests find this budget too small: one warning.
  s = sizedTolmar(30, 10);
  EXPECT_EQ(s.populationSize, 4);
  EXPECT_EQ(s.numCycles, 8);
  // Only the raise to four finds it.
  s = sizedTolmar(8, 1);
  EXPECT_EQ(s.populationSize, 4);
  // Few batches of eight fit this budget.
  s = sizedTolmar(50, 4, 8);
  EXPECT_EQ(s.populationSize, 8);
  EXPECT_EQ(s.numCycles, 7);
  EXPECT_EQ(s.tolmar.batches, 6);
  std::string expected;
  for (const char* budget : {"100", "30", "8"}) {
    expected += warningBlock(std::string("The max. number of evaluations input ") + budget +
                             " for Agent 3 for study \"beam\" " + rest);
  }
  EXPECT_EQ(messages(), expected + fewBatchesWarning("TOLMAR", 8, 6));
}

TEST_F(MethodSettingsTest, TolmarBudgetBelowSevenIsARandomSearch) {
  const std::string randomOnly =
      " for Agent 3 for study \"beam\" is insufficient for performing any sort of optimization. "
      "Performing some random search only.";
  MethodSettings s = sizedTolmar(6, 10);
  EXPECT_EQ(s.populationSize, 6);
  EXPECT_EQ(s.numCycles, 1);
  EXPECT_EQ(messages(), warningBlock("The max. number of evaluations input 6" + randomOnly));
  // A batch larger than that search ends the run.
  s = read(with(minimalRecord(kMethodTolmar), "numEvals", "5"));
  EXPECT_EQ(completionFailure(facts(3, 8), s),
            warningBlock("The max. number of evaluations input 5" + randomOnly) +
                fatalBlock("        **** ERROR ****\n Internal KARVO error: nEvaluateInParallel "
                           "> popsize ***\nError. Cannot continue."));
}

}  // namespace
}  // namespace karvo
