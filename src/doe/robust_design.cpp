// The robust parameter design: control array x noise array, the means and signal-to-noise
// ratios of every study response per control run, their analysis files and surfaces; see the
// end of doe_study.h. One call per agent and run; the evaluations are the whole cost, the rest
// is linear in (control runs x noise runs x responses).
#include <algorithm>
#include <cmath>
#include <iterator>

#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "doe/doe_analysis.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "doe/doe_study.h"
#include "doe/doe_turn.h"
#include "doe/fractional_generators.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/random_parameters.h"
#include "platform/platform.h"
#include "surrogates/study_surfaces.h"

namespace karvo::doe {

namespace {

constexpr int kPlackettBurmanSizes[] = {12, 20, 24, 36, 40, 48, 64};

// Levels of a random parameter laid out alone when numLevels is not given.
constexpr int kDefaultRandomLevels = 3;

// One array of the design: its factors' level-list sizes (random parameters: numLevels),
// laid out by the builder of `kind` or, for one factor, run by run over its levels.
DoeArray layOut(const Agent& agent, int kind, const char* role,
                const std::vector<int>& levelListSizes, int singleLevels) {
  const DoeSettings& settings = agent.method.doe;
  const int k = static_cast<int>(levelListSizes.size());
  if (kind == kDoeExisting) {
    fatalError(formatText("The existing designs (OtherExisting) cannot lay out the %s array of "
                          "the robust parameter design of agent %d.",
                          role, agent.number));
  }
  if (k == 1) return singleFactorArray(std::max(1, singleLevels));
  DoeRequest request;
  request.kind = kind;
  request.agentNumber = agent.number;
  request.factors = k;
  request.runs = agent.method.numEvals > 0 ? agent.method.numEvals : robustDefaultRuns(kind, k);
  request.generators = settings.generator;
  request.numLevels = settings.numLevels;
  request.taguchiArray = settings.taguchiArray;
  request.folder = run.workingDirectory;
  request.timeLimitSeconds = settings.lhcoTimeLimit;
  request.factorLevelLists = levelListSizes;
  const DoeArrayBuilder build = arrayBuilder(kind);
  if (!build) fatalError("Unknown type of DOE defined in the *CONTROL_DOE keyword.");
  DoeArray array;
  std::string error;
  if (!build(request, array, error)) fatalError(error);
  return array;
}

// The columns of the factors of `factors` laid out in `array` (all of them variables).
std::vector<CrossedColumn> variableColumns(const DoeArray& array, const DoeFactors& factors) {
  std::vector<CrossedColumn> columns;
  for (int j = 0; j < array.factors; ++j) {
    const std::size_t factor =
        static_cast<std::size_t>(array.factorOrder[static_cast<std::size_t>(j)]);
    CrossedColumn column;
    column.position = static_cast<std::size_t>(factors.slots[factor]);
    column.variable = true;
    const int levels = array.factorLevels[static_cast<std::size_t>(j)];
    for (int l = 0; l < levels; ++l) {
      column.values.push_back(doeFactorValue(array.kind, factors.levelLists[factor], levels, l));
    }
    columns.push_back(std::move(column));
  }
  return columns;
}

// The columns of the noise array: its request factors are the noise variables, then the
// random parameters.
std::vector<CrossedColumn> noiseColumnsOf(const DoeArray& array, const DoeFactors& variables,
                                          const std::vector<RandomParameter>& random) {
  std::vector<CrossedColumn> columns;
  for (int j = 0; j < array.factors; ++j) {
    const std::size_t factor =
        static_cast<std::size_t>(array.factorOrder[static_cast<std::size_t>(j)]);
    const int levels = array.factorLevels[static_cast<std::size_t>(j)];
    CrossedColumn column;
    if (factor < variables.slots.size()) {
      column.position = static_cast<std::size_t>(variables.slots[factor]);
      column.variable = true;
      for (int l = 0; l < levels; ++l) {
        column.values.push_back(
            doeFactorValue(array.kind, variables.levelLists[factor], levels, l));
      }
    } else {
      const RandomParameter& parameter = random[factor - variables.slots.size()];
      column.position = parameter.position;
      for (int l = 0; l < levels; ++l) {
        column.values.push_back(quantileOf(parameter, (l + 0.5) / levels));
      }
    }
    columns.push_back(std::move(column));
  }
  return columns;
}

// The name of request factor `factor` of the noise array.
std::string noiseFactorName(const Representation& representation, const DoeFactors& variables,
                            const std::vector<RandomParameter>& random, std::size_t factor) {
  if (factor < variables.slots.size()) {
    return representation.slots[static_cast<std::size_t>(variables.slots[factor])].name;
  }
  return random[factor - variables.slots.size()].name;
}

// "A = x, 3 levels; B = y, 2 levels" for an array whose request factor f is named names[f].
std::string factorList(const DoeArray& array, const std::vector<std::string>& names) {
  std::string text;
  for (int j = 0; j < array.factors; ++j) {
    const std::size_t factor =
        static_cast<std::size_t>(array.factorOrder[static_cast<std::size_t>(j)]);
    text += formatText("%s%s = %s, %d levels", j > 0 ? "; " : "", doeFactorName(j).c_str(),
                       names[factor].c_str(), array.factorLevels[static_cast<std::size_t>(j)]);
  }
  return text;
}

// "2, 5, 7" of the runs (1-based) whose flag is 0.
std::string missingRuns(const std::vector<char>& present) {
  std::string text;
  for (std::size_t i = 0; i < present.size(); ++i) {
    if (present[i]) continue;
    text += formatText("%s%zu", text.empty() ? "" : ", ", i + 1);
  }
  return text;
}

void writeDerivedFile(const Agent& agent, const DoeArray& control,
                      const std::vector<std::string>& generatorWords, const std::string& response,
                      const char* suffix, const std::vector<double>& values,
                      const std::vector<char>& present) {
  DoeAnalysisInput input;
  input.array = &control;
  input.generatorWords = generatorWords;
  input.plotType = kHalfNormalPlot;
  input.responses = values;
  input.present = present;
  writeDoeResultsFile(agent.number, response + "_" + suffix, input);
}

// The surfaces of one derived response over the control runs that have a value.
void fitDerived(const Agent& agent, const std::string& name, const std::vector<std::string>& names,
                const std::vector<std::vector<double>>& points, const std::vector<double>& values,
                const std::vector<char>& present) {
  std::vector<std::vector<double>> usedPoints;
  std::vector<double> usedValues;
  std::vector<int> numbers;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!present[i]) continue;
    usedPoints.push_back(points[i]);
    usedValues.push_back(values[i]);
    numbers.push_back(static_cast<int>(i) + 1);
  }
  surrogates::fitDerivedResponseSurfaces(agent, name, names, usedPoints, usedValues, numbers);
}

}  // namespace

int signalToNoiseKindOf(int flag, int option, int goal) {
  if (flag == kResponsePlain) {
    if (goal == -1) return kSmallerTheBetter;
    if (goal == 2) return kLargerTheBetter;
    return kNominalTheBest;  // NONE, target, nominal
  }
  if (option == -1) return kSmallerTheBetter;  // minimise, <= target
  if (option == 0) return kNominalTheBest;     // match the target, == target
  return kLargerTheBetter;                     // maximise, push away, >= target
}

const char* signalToNoiseWord(int kind) {
  switch (kind) {
    case kSmallerTheBetter: return "smaller-the-better";
    case kLargerTheBetter: return "larger-the-better";
    default: return "nominal-the-best";
  }
}

bool signalToNoiseRatio(int kind, const std::vector<double>& values, double& ratio) {
  const std::size_t n = values.size();
  if (n == 0) return false;
  double result = 0.0;
  if (kind == kSmallerTheBetter) {
    double sum = 0.0;
    for (double y : values) sum += y * y;
    result = -10.0 * std::log10(sum / static_cast<double>(n));
  } else if (kind == kLargerTheBetter) {
    double sum = 0.0;
    for (double y : values) {
      if (y == 0.0) return false;
      sum += 1.0 / (y * y);
    }
    result = -10.0 * std::log10(sum / static_cast<double>(n));
  } else {
    if (n < 2) return false;
    double mean = 0.0;
    for (double y : values) mean += y;
    mean /= static_cast<double>(n);
    double squares = 0.0;
    for (double y : values) squares += (y - mean) * (y - mean);
    const double variance = squares / static_cast<double>(n - 1);
    if (!(variance > 0.0)) return false;
    result = 10.0 * std::log10(mean * mean / variance);
  }
  if (!std::isfinite(result)) return false;
  ratio = result;
  return true;
}

int robustDefaultRuns(int kind, int factors) {
  const int k = std::max(factors, 1);
  switch (kind) {
    case kDoePlackettBurman:
      for (int n : kPlackettBurmanSizes) {
        if (n > k) return n;
      }
      return kPlackettBurmanSizes[std::size(kPlackettBurmanSizes) - 1];
    case kDoeDOptimal:
      return k < 23 ? std::min(1 << k, 2 * (k + 1)) : 2 * (k + 1);
    case kDoeLatinHypercube:
    case kDoeOptimizedLatin:
    case kDoeHammersley:
      return std::max(5, 2 * k + 1);
    default:
      return 0;
  }
}

DoeArray singleFactorArray(int levels) {
  DoeArray array;
  array.kind = kDoeFile;
  array.factors = 1;
  array.runs = levels;
  array.columns = 1;
  array.factorLevels = {levels};
  array.factorOrder = {0};
  array.columnNames = {doeFactorName(0)};
  for (int l = 0; l < levels; ++l) array.cells.push_back(l);
  return array;
}

std::vector<Design> crossedDesigns(const Design& baseline, const DoeArray& control,
                                   const std::vector<CrossedColumn>& controlColumns,
                                   const DoeArray& noise,
                                   const std::vector<CrossedColumn>& noiseColumns) {
  std::vector<Design> designs;
  designs.reserve(static_cast<std::size_t>(control.runs) * static_cast<std::size_t>(noise.runs));
  auto set = [](Design& design, const CrossedColumn& column, int level) {
    if (column.position >= design.reals.size()) design.reals.resize(column.position + 1, 0.0);
    design.reals[column.position] = column.values[static_cast<std::size_t>(level)];
    if (column.variable && column.position < design.chromosome.size()) {
      design.chromosome[column.position] = level;
    }
  };
  for (int i = 0; i < control.runs; ++i) {
    Design controlled = baseline;
    for (int j = 0; j < control.factors; ++j) {
      set(controlled, controlColumns[static_cast<std::size_t>(j)], control.level(i, j));
    }
    for (int r = 0; r < noise.runs; ++r) {
      Design design = controlled;
      for (int j = 0; j < noise.factors; ++j) {
        set(design, noiseColumns[static_cast<std::size_t>(j)], noise.level(r, j));
      }
      designs.push_back(std::move(design));
    }
  }
  return designs;
}

RobustValues robustValuesOf(const std::vector<Design>& designs, int controlRuns, int noiseRuns,
                            std::size_t r, int kind) {
  RobustValues values;
  for (int i = 0; i < controlRuns; ++i) {
    std::vector<double> ys;
    for (int j = 0; j < noiseRuns; ++j) {
      const std::size_t at = static_cast<std::size_t>(i) * static_cast<std::size_t>(noiseRuns) +
                             static_cast<std::size_t>(j);
      double y = 0.0;
      if (at < designs.size() && doeResponseValue(designs[at], r, y)) ys.push_back(y);
    }
    double mean = 0.0;
    for (double y : ys) mean += y;
    if (!ys.empty()) mean /= static_cast<double>(ys.size());
    double ratio = 0.0;
    const bool formed = signalToNoiseRatio(kind, ys, ratio);
    values.means.push_back(mean);
    values.meanPresent.push_back(ys.empty() ? 0 : 1);
    values.ratios.push_back(formed ? ratio : 0.0);
    values.ratioPresent.push_back(formed ? 1 : 0);
  }
  return values;
}

void runRobustParameterDesign(Agent& agent, const EvaluationServices& services) {
  const DoeSettings& settings = agent.method.doe;
  const Representation* representation = findRepresentation(agent.representation);
  if (!representation) fatalError("Representation number set to illegal number, exit.");

  // Control factors, then noise variables and random parameters.
  const DoeFactors all = doeFactorsOf(*representation);
  DoeFactors control, noiseVariables;
  for (std::size_t f = 0; f < all.slots.size(); ++f) {
    const VariableSlot& slot = representation->slots[static_cast<std::size_t>(all.slots[f])];
    DoeFactors& side = slot.factorType == "noise" ? noiseVariables : control;
    side.slots.push_back(all.slots[f]);
    side.levelLists.push_back(all.levelLists[f]);
  }
  const std::vector<RandomParameter> random =
      randomParametersOf(static_cast<std::size_t>(representation->num_dvar));
  const std::size_t noiseCount = noiseVariables.slots.size() + random.size();
  if (control.slots.empty() || noiseCount == 0) {
    fatalError(formatText(
        "The robust parameter design of agent %d (\"%s\") needs at least one control factor and "
        "one noise factor; found %zu control and %zu noise factors. Control factors are the "
        "variables with factor levels whose factorType is not noise; noise factors are the "
        "variables with factor levels whose factorType is noise and the parameters with a "
        "distribution.",
        agent.number, agent.name.c_str(), control.slots.size(), noiseCount));
  }

  // The arrays.
  std::vector<int> controlSizes;
  std::vector<std::string> controlNames;
  for (std::size_t f = 0; f < control.slots.size(); ++f) {
    controlSizes.push_back(static_cast<int>(control.levelLists[f].size()));
    controlNames.push_back(
        representation->slots[static_cast<std::size_t>(control.slots[f])].name);
  }
  std::vector<int> noiseSizes;
  std::vector<std::string> noiseNames;
  for (std::size_t f = 0; f < noiseCount; ++f) {
    noiseSizes.push_back(f < noiseVariables.slots.size()
                             ? static_cast<int>(noiseVariables.levelLists[f].size())
                             : settings.numLevels);
    noiseNames.push_back(noiseFactorName(*representation, noiseVariables, random, f));
  }
  const int randomLevels = settings.numLevels > 0 ? settings.numLevels : kDefaultRandomLevels;
  const DoeArray controlArray =
      layOut(agent, settings.controlKind, "control", controlSizes, controlSizes.front());
  const DoeArray noiseArray = layOut(agent, settings.noiseKind, "noise", noiseSizes,
                                     noiseVariables.slots.empty() ? randomLevels
                                                                  : noiseSizes.front());
  const int total = controlArray.runs * noiseArray.runs;
  agent.numEvals = total;
  agent.method.numEvals = total;
  writeMessage("outptr", "note",
               formatText("Agent %d (\"%s\"): robust parameter design of %d runs: control array "
                          "of %d runs over %d factors (%s); noise array of %d runs over %d "
                          "factors (%s).",
                          agent.number, agent.name.c_str(), total, controlArray.runs,
                          controlArray.factors, factorList(controlArray, controlNames).c_str(),
                          noiseArray.runs, noiseArray.factors,
                          factorList(noiseArray, noiseNames).c_str()));

  // The designs and their evaluation.
  const std::vector<CrossedColumn> controlColumns = variableColumns(controlArray, control);
  std::vector<Design> designs =
      crossedDesigns(baselineDesign(agent), controlArray, controlColumns, noiseArray,
                     noiseColumnsOf(noiseArray, noiseVariables, random));
  evaluateDoeDesigns(agent, designs, services);

  // The derived responses.
  const PerformanceDefinition* performance = findPerformance(agent.performance);
  if (!performance) return;
  std::vector<std::string> generatorWords;
  if (controlArray.kind == kDoeTwoLevelPartial) {
    generatorWords = twoLevelGenerators(controlArray.factors, settings.generator);
  }
  // The control factors' values of each control run, in control-factor order (the models'
  // variables).
  std::vector<std::vector<double>> points;
  for (int i = 0; i < controlArray.runs; ++i) {
    const Design& design = designs[static_cast<std::size_t>(i) *
                                   static_cast<std::size_t>(noiseArray.runs)];
    std::vector<double> point;
    for (int slot : control.slots) point.push_back(design.reals[static_cast<std::size_t>(slot)]);
    points.push_back(std::move(point));
  }
  for (int r = 0; r < performance->count; ++r) {
    const std::size_t at = static_cast<std::size_t>(r);
    const std::string& response = performance->name[at];
    const int kind = signalToNoiseKindOf(performance->flag[at], performance->opt[at],
                                         performance->goal[at]);
    const RobustValues values = robustValuesOf(designs, controlArray.runs, noiseArray.runs, at,
                                               kind);
    // One warning per response: the runs without a ratio, among them those without a mean.
    const std::string noRatio = missingRuns(values.ratioPresent);
    if (!noRatio.empty()) {
      std::string text = formatText(
          "Agent %d: the %s signal-to-noise ratio of response %s cannot be formed for the "
          "control runs %s; they are left out of its SNratio analysis.",
          agent.number, signalToNoiseWord(kind), response.c_str(), noRatio.c_str());
      const std::string noMean = missingRuns(values.meanPresent);
      if (!noMean.empty()) {
        text = formatText("%s No noise run of the control runs %s succeeded; they are left out "
                          "of its means analysis as well.",
                          text.c_str(), noMean.c_str());
      }
      writeMessage("outptr", "warning", text);
    }
    writeDerivedFile(agent, controlArray, generatorWords, response, "means", values.means,
                     values.meanPresent);
    writeDerivedFile(agent, controlArray, generatorWords, response, "SNratio", values.ratios,
                     values.ratioPresent);
    if (agent.method.genRSMAfterStudy == 1) {
      fitDerived(agent, response + "-means", controlNames, points, values.means,
                 values.meanPresent);
      fitDerived(agent, response + "-SNratio", controlNames, points, values.ratios,
                 values.ratioPresent);
    }
  }
}

}  // namespace karvo::doe
