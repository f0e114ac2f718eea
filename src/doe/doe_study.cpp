// The runners of the design-of-experiments methods (DOE, DesignSweep): array, designs,
// evaluation in batches, analysis files. One call per agent and run; the evaluation of the
// designs is the whole cost, the rest is linear in runs x factors.
#include "doe/doe_study.h"

#include <algorithm>
#include <cmath>

#include "base/messages.h"
#include "base/progress.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/study.h"
#include "doe/doe_analysis.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "doe/doe_turn.h"
#include "doe/fractional_generators.h"
#include "evaluation/agent_results.h"
#include "evaluation/design_store.h"
#include "evaluation/encoding.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/user_designs.h"
#include "platform/platform.h"

namespace karvo::doe {

namespace {

bool spaceFilling(int kind) {
  return kind == kDoeLatinHypercube || kind == kDoeExisting || kind == kDoeOptimizedLatin ||
         kind == kDoeHammersley;
}

// The space-filling kinds whose values are spread over the factor's range (not given).
bool onGridKind(int kind) {
  return kind == kDoeLatinHypercube || kind == kDoeOptimizedLatin || kind == kDoeHammersley;
}

// The kind's name in the "At least TWO factors" message.
const char* kindName(int kind) {
  switch (kind) {
    case kDoeTwoLevelFull: return "2 level Full Factorial";
    case kDoeTwoLevelPartial: return "2 level Fractional Factorial";
    case kDoePlackettBurman: return "Plackett-Burman";
    case kDoeCentralComposite: return "Central Composite";
    case kDoeLatinHypercube: return "Latin Hypercube";
    case kDoeFile: return "User Defined";
    case kDoeDOptimal: return "D-Optimal";
    case kDoeTaguchi: return "Orthogonal Array";
    case kDoeThreeLevelFull: return "3 level Full Factorial";
    case kDoeThreeLevelPartial: return "3 level Fractional Factorial";
    case kDoeExisting: return "Existing Designs";
    case kDoeOptimizedLatin: return "Optimized Latin Hypercube";
    case kDoeHammersley: return "Hammersley";
    default: return "DOE";
  }
}

// Writes "DOE_<agent>_<response>.out" for every response of the agent's performance.
// The run tables of the interpolating space-filling kinds show the factors' values: their
// levels are positions on a fine scale that means nothing to the user.
void writeAnalysisFiles(const Agent& agent, const DoeArray& array, const DoeFactors& factors,
                        const std::vector<Design>& designs,
                        const std::vector<std::string>& generatorWords) {
  const PerformanceDefinition* performance = findPerformance(agent.performance);
  if (!performance) return;
  std::vector<double> factorValues;
  if (onGridKind(array.kind) && designs.size() == static_cast<std::size_t>(array.runs)) {
    for (const Design& design : designs) {
      for (int j = 0; j < array.factors; ++j) {
        const int factor = array.factorOrder[static_cast<std::size_t>(j)];
        const std::size_t slot = static_cast<std::size_t>(factors.slots[static_cast<std::size_t>(factor)]);
        factorValues.push_back(slot < design.reals.size() ? design.reals[slot] : 0.0);
      }
    }
  }
  for (int r = 0; r < performance->count; ++r) {
    DoeAnalysisInput input;
    input.array = &array;
    input.factorValues = factorValues;
    input.generatorWords = generatorWords;
    input.plotType = kHalfNormalPlot;
    for (const Design& design : designs) {
      double value = 0.0;
      const bool present = doeResponseValue(design, static_cast<std::size_t>(r), value);
      input.responses.push_back(present ? value : 0.0);
      input.present.push_back(present ? 1 : 0);
    }
    writeDoeResultsFile(agent.number, performance->name[static_cast<std::size_t>(r)], input);
  }
}

// The note that names each factor's variable, so that the letters of the analysis files
// can be read.
void writeFactorNote(const Agent& agent, const Representation& representation,
                     const DoeArray& array, const DoeFactors& factors) {
  std::string text = formatText("Agent %d (\"%s\"): %d runs over %d factors (", agent.number,
                                agent.name.c_str(), array.runs, array.factors);
  for (int j = 0; j < array.factors; ++j) {
    const int factor = array.factorOrder[static_cast<std::size_t>(j)];
    const int slot = factors.slots[static_cast<std::size_t>(factor)];
    text += formatText("%s%s = %s, %d levels", j > 0 ? "; " : "", doeFactorName(j).c_str(),
                       representation.slots[static_cast<std::size_t>(slot)].name.c_str(),
                       array.factorLevels[static_cast<std::size_t>(j)]);
  }
  text += ").";
  writeMessage("outptr", "note", text);
}

// Existing designs: the user designs files are read (designs with results stored, the others
// evaluated), then every design stored for the agent is a run.
void runExistingDesigns(Agent& agent, const EvaluationServices& services,
                        const Representation& representation, const DoeFactors& factors,
                        DoeRequest& request) {
  AgentResults& results = agentResults(agent);
  UserDesignSet set = readUserDesigns(agent, results);
  if (!set.toEvaluate.empty()) evaluateDoeDesigns(agent, set.toEvaluate, services);
  renameUserDesignsFiles(agent, set);

  std::vector<Design> designs;
  for (std::size_t i = 0; i < results.store.designs.size(); ++i) {
    designs.push_back(designStoreAt(results.store, i));
  }
  for (std::size_t j = 0; j < factors.slots.size(); ++j) {
    const std::vector<double>& list = factors.levelLists[j];
    request.factorLow.push_back(list.front());
    request.factorHigh.push_back(list.size() > 1 ? list[1] : list.front());
  }
  for (const Design& design : designs) {
    for (int slot : factors.slots) {
      const std::size_t s = static_cast<std::size_t>(slot);
      request.existing.push_back(s < design.reals.size() ? design.reals[s] : 0.0);
    }
  }
  DoeArray array;
  std::string error;
  if (!buildExistingDesigns(request, array, error)) fatalError(error);
  agent.numEvals = array.runs;
  writeFactorNote(agent, representation, array, factors);
  writeAnalysisFiles(agent, array, factors, designs, {});
}

}  // namespace

void evaluateDoeDesigns(Agent& agent, std::vector<Design>& designs,
                        const EvaluationServices& services) {
  progressExpect(static_cast<long>(designs.size()));
  for (std::size_t first = 0; first < designs.size(); first += kDoeBatchSize) {
    const std::size_t last = std::min(designs.size(), first + kDoeBatchSize);
    std::vector<Design> batch(std::make_move_iterator(designs.begin() + first),
                              std::make_move_iterator(designs.begin() + last));
    evaluateDesigns(agent, batch, services);
    std::move(batch.begin(), batch.end(), designs.begin() + first);
  }
}

bool doeResponseValue(const Design& design, std::size_t r, double& value) {
  if (design.failed || r >= design.responses.size()) return false;
  const ResponseValue& response = design.responses[r];
  if (!response.present || response.values.empty()) return false;
  value = response.values.front();
  return std::isfinite(value);
}

void writeDoeResultsFile(int agent, const std::string& name, const DoeAnalysisInput& input) {
  std::string error;
  const std::string text = doeAnalysisText(input, error);
  if (!error.empty()) fatalError(error);
  const std::string path = formatText("%s%cDOE_%d_%s.out", run.workingDirectory.c_str(),
                                      platform::kPathSeparator, agent, name.c_str());
  if (!platform::replaceFileContents(path, text)) {
    std::string message = "Error in opening the DOE results file for writing.";
    message = formatText("%s The name of the file is:  %s", message.c_str(), path.c_str());
    fatalError(message);
  }
}

DoeFactors doeFactorsOf(const Representation& representation) {
  DoeFactors factors;
  for (std::size_t i = 0; i < representation.slots.size(); ++i) {
    const VariableSlot& slot = representation.slots[i];
    if (slot.kind != kSlotContinuous || !slot.usesLevels || slot.levels.empty()) continue;
    factors.slots.push_back(static_cast<int>(i));
    factors.levelLists.push_back(slot.levels);
  }
  return factors;
}

double doeFactorValue(int kind, const std::vector<double>& list, int levels, int level) {
  if (list.empty()) return 0.0;
  const bool second = spaceFilling(kind);
  if (!second && static_cast<int>(list.size()) == levels && level >= 0 && level < levels) {
    return list[static_cast<std::size_t>(level)];
  }
  const double lo = list.front();
  const double hi = second ? (list.size() > 1 ? list[1] : lo) : list.back();
  if (levels < 2) return lo;
  return lo + (hi - lo) * static_cast<double>(level) / static_cast<double>(levels - 1);
}

double doeGridValue(const VariableSlot& slot, double value, double low, double high) {
  if (slot.kind != kSlotContinuous || !std::isfinite(value)) return value;
  const bool bits = slot.resolutionMode == kResolutionBits;
  if (bits && (slot.resolution < 0 || slot.resolution > 30)) return value;
  const double count = bits ? std::ldexp(1.0, slot.resolution) : slot.resolution;
  const double steps = bits ? count : count - 1.0;
  const double span = slot.upper - slot.lower;
  if (count < 2.0 || !(span > 0.0)) return value;
  // The grid value at step k, computed as the decoding of a search design computes it.
  auto at = [&](double k) {
    if (!bits && k == steps) return slot.upper;
    return slot.lower + span * k / steps;
  };
  const double last = count - 1.0;
  double k = std::clamp(std::nearbyint((value - slot.lower) * steps / span), 0.0, last);
  const double lowest = std::min(low, high), highest = std::max(low, high);
  const double slack = 1e-9 * span / steps;
  while (at(k) < lowest - slack && k < last) k += 1.0;
  while (at(k) > highest + slack && k > 0.0) k -= 1.0;
  const double x = at(k);
  return x < lowest - slack || x > highest + slack ? value : x;
}

std::vector<Design> doeDesignsOf(const Agent& agent, const DoeArray& array,
                                 const DoeFactors& factors) {
  const Representation* representation = findRepresentation(agent.representation);
  const bool onGrid = representation && onGridKind(array.kind);
  const Design baseline = baselineDesign(agent);
  std::vector<Design> designs(static_cast<std::size_t>(array.runs), baseline);
  for (int r = 0; r < array.runs; ++r) {
    Design& design = designs[static_cast<std::size_t>(r)];
    for (int j = 0; j < array.factors; ++j) {
      const std::size_t factor =
          static_cast<std::size_t>(array.factorOrder[static_cast<std::size_t>(j)]);
      const std::size_t slot = static_cast<std::size_t>(factors.slots[factor]);
      const int level = array.level(r, j);
      design.chromosome[slot] = level;
      const std::vector<double>& list = factors.levelLists[factor];
      double value = doeFactorValue(array.kind, list,
                                    array.factorLevels[static_cast<std::size_t>(j)], level);
      if (onGrid) {
        value = doeGridValue(representation->slots[slot], value, list.front(),
                             list.size() > 1 ? list[1] : list.front());
      }
      design.reals[slot] = value;
    }
  }
  return designs;
}

void runDoeStudy(Agent& agent, const EvaluationServices& services) {
  const DoeSettings& settings = agent.method.doe;
  if (settings.kind == kDoeRobustDesign) {
    runRobustParameterDesign(agent, services);
    return;
  }
  const Representation* representation = findRepresentation(agent.representation);
  if (!representation) fatalError("Representation number set to illegal number, exit.");
  const DoeFactors factors = doeFactorsOf(*representation);
  const int k = static_cast<int>(factors.slots.size());
  if (k < 2) {
    fatalError(formatText("At least TWO factors need to be defined for using the %s DOE in "
                          "agent # %d.",
                          kindName(settings.kind), agent.number));
  }
  if (settings.numFactors > 0 && settings.numFactors != k) {
    writeMessage("outptr", "warning",
                 formatText("The number of factors given for the DOE agent %d (%d) differs from "
                            "the number of variables with factor levels in its representation "
                            "(%d). The DOE uses the %d variables with factor levels.",
                            agent.number, settings.numFactors, k, k));
  }

  DoeRequest request;
  request.kind = settings.kind;
  request.agentNumber = agent.number;
  request.factors = k;
  request.runs = agent.method.numEvals;
  request.generators = settings.generator;
  request.numLevels = settings.numLevels;
  request.taguchiArray = settings.taguchiArray;
  request.folder = run.workingDirectory;
  request.timeLimitSeconds = settings.lhcoTimeLimit;
  for (const std::vector<double>& list : factors.levelLists) {
    request.factorLevelLists.push_back(static_cast<int>(list.size()));
  }
  if (settings.kind == kDoeExisting) {
    runExistingDesigns(agent, services, *representation, factors, request);
    return;
  }

  const DoeArrayBuilder build = arrayBuilder(settings.kind);
  if (!build) fatalError("Unknown type of DOE defined in the *CONTROL_DOE keyword.");
  DoeArray array;
  std::string error;
  if (!build(request, array, error)) fatalError(error);
  agent.numEvals = array.runs;
  agent.method.numEvals = array.runs;
  writeFactorNote(agent, *representation, array, factors);

  std::vector<Design> designs = doeDesignsOf(agent, array, factors);
  evaluateDoeDesigns(agent, designs, services);
  std::vector<std::string> generatorWords;
  if (settings.kind == kDoeTwoLevelPartial) generatorWords = twoLevelGenerators(k, settings.generator);
  writeAnalysisFiles(agent, array, factors, designs, generatorWords);
}

std::vector<int> sweepValueCounts(int budget, const std::vector<int>& caps) {
  const std::size_t k = caps.size();
  std::vector<int> counts(k, 1);
  if (k == 0 || budget < 1) return counts;
  auto product = [&](const std::vector<int>& c) {
    long double p = 1.0L;
    for (int v : c) p *= v;
    return p;
  };
  // Raise every variable that can still grow by one, round after round, while the grid stays
  // within the budget; a round that cannot raise them all raises the first ones it can.
  for (;;) {
    bool raised = false;
    for (std::size_t i = 0; i < k; ++i) {
      if (counts[i] >= caps[i]) continue;
      ++counts[i];
      if (product(counts) > static_cast<long double>(budget)) {
        --counts[i];
        continue;
      }
      raised = true;
    }
    if (!raised) break;
  }
  return counts;
}

void runDesignSweep(Agent& agent, const EvaluationServices& services) {
  const Representation* representation = findRepresentation(agent.representation);
  if (!representation) fatalError("Representation number set to illegal number, exit.");
  const std::size_t k = representation->slots.size();
  std::vector<int> caps(k);
  for (std::size_t i = 0; i < k; ++i) {
    const VariableSlot& slot = representation->slots[i];
    caps[i] = slot.kind == kSlotDiscrete ? std::max(1, static_cast<int>(slot.upper))
                                         : agent.method.numEvals;
  }
  const std::vector<int> counts = sweepValueCounts(agent.method.numEvals, caps);
  long long total = 1;
  std::string grid;
  for (std::size_t i = 0; i < k; ++i) {
    total *= counts[i];
    grid += formatText("%s%s: %d", i > 0 ? ", " : "", representation->slots[i].name.c_str(),
                       counts[i]);
  }
  writeMessage("outptr", "note",
               formatText("Agent %d (\"%s\"): the design sweep evaluates a grid of %lld designs "
                          "(%d allowed); values per variable: %s.",
                          agent.number, agent.name.c_str(), total, agent.method.numEvals,
                          grid.c_str()));

  const Design baseline = baselineDesign(agent);
  std::vector<Design> designs;
  designs.reserve(static_cast<std::size_t>(total));
  std::vector<int> index(k, 0);
  for (long long n = 0; n < total; ++n) {
    Design design = baseline;
    for (std::size_t i = 0; i < k; ++i) {
      if (counts[i] < 2) continue;  // stays at its baseline
      const VariableSlot& slot = representation->slots[i];
      const double share = static_cast<double>(index[i]) / (counts[i] - 1);
      if (slot.kind == kSlotDiscrete) {
        const double last = std::max(0.0, slot.upper - 1.0);
        design.reals[i] = std::nearbyint(share * last);
      } else {
        // Over the variable's range, or over its factor levels where it has them (the range
        // the decoding checks for agents that are not searches); the ends exactly.
        const bool levels = agent.type != kAgentOptimization && agent.type != kAgentEvaluation &&
                            slot.usesLevels && slot.levels.size() >= 2;
        const double lo = levels ? slot.levels.front() : slot.lower;
        const double hi = levels ? slot.levels.back() : slot.upper;
        design.reals[i] = index[i] == counts[i] - 1 ? hi : lo + (hi - lo) * share;
      }
    }
    designs.push_back(std::move(design));
    // The first variable changes fastest.
    for (std::size_t i = 0; i < k; ++i) {
      if (++index[i] < counts[i]) break;
      index[i] = 0;
    }
  }
  agent.numEvals = static_cast<int>(total);
  evaluateDoeDesigns(agent, designs, services);
}

}  // namespace karvo::doe
