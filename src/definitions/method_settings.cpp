// Method settings of the agent records: the method word, each method's own properties with
// their ranges, corrections and messages (one reader per method, for the method table), and
// the budget sizing of TOLMAR. Runs once per agent at start-up over a record of a few dozen
// lines; nothing here is time-critical.
#include "definitions/method_settings.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "definitions/reader.h"
#include "definitions/study.h"
#include "base/messages.h"
#include "base/text.h"

namespace karvo {

namespace {

struct WordCode {
  const char* word;
  int code;
};

// `sampleMethod` words of design-of-experiments arrays. "OtherFile" names the user array
// of "Doe_input.in", which has no word of its own in the study editor.
constexpr WordCode kDoeWords[] = {
    {"2LevelFull", kDoeTwoLevelFull},
    {"2LevelPartial", kDoeTwoLevelPartial},
    {"2LevelPB", kDoePlackettBurman},
    {"OtherCC", kDoeCentralComposite},
    {"OtherLHC", kDoeLatinHypercube},
    {"OtherFile", kDoeFile},
    {"OtherDO", kDoeDOptimal},
    {"2LevelTaguchi", kDoeTaguchi},
    {"3LevelTaguchi", kDoeTaguchi},
    {"OtherTaguchi", kDoeTaguchi},
    {"Taguchi", kDoeTaguchi},
    {"3LevelFull", kDoeThreeLevelFull},
    {"3LevelPartial", kDoeThreeLevelPartial},
    {"RobustParameterDesign", kDoeRobustDesign},
    {"OtherExisting", kDoeExisting},
    {"OtherLHCO", kDoeOptimizedLatin},
    {"OtherHMS", kDoeHammersley},
};

// `sampleMethod` words of robustness and reliability sampling.
constexpr WordCode kSamplingWords[] = {
    {"OtherLHC", kSamplingLatinHypercube},
    {"OtherMonteCarlo", kSamplingMonteCarlo},
    {"OtherFORM", kSamplingForm},
};

// `surfaceType` words of the response-surface search: polynomial term sets (model 0) and
// the two kernel models.
struct SurfaceWord {
  const char* word;
  int model;
  int termSet;
};
constexpr SurfaceWord kSurfaceWords[] = {
    {"Linear", 0, 0},         {"Quadratic", 0, 1},         {"SquareTermsOnly", 0, 2},
    {"CubicTermsOnly", 0, 3}, {"Bilinear", 0, 4},          {"LinAndSq", 0, 5},
    {"LinAndCubic", 0, 6},    {"LinWithSqAndCubic", 0, 7}, {"BilinearWithCubic", 0, 8},
    {"QuadWithCubic", 0, 9},  {"Kriging", 2, 0},           {"RadialBasisFunction", 3, 0},
};

constexpr const char* kTaguchiArrays[] = {"L4",   "L8",  "L12", "L16",  "L32",  "L72",
                                          "L80",  "L88", "L96", "L104", "L112", "L120",
                                          "L128", "L9",  "L18", "L27",  "L36",  "L81"};

constexpr int kPlackettBurmanRuns[] = {12, 20, 24, 36, 40, 48, 64};

template <typename Table>
int codeOf(const Table& table, const std::string& word) {
  for (const auto& entry : table) {
    if (word == entry.word) return entry.code;
  }
  return -1;
}

// ---------------------------------------------------------------------------------------
// Property readers: required unless stated, each followed by its range check.

int readCount(const DefinitionContext& context, const char* name, int minimum, int maximum) {
  int value = requireInt(context, name);
  checkIntRange(context, name, value, minimum, maximum);
  return value;
}

double readReal(const DefinitionContext& context, const char* name, double minimum,
                double maximum) {
  double value = requireDouble(context, name);
  checkRealRange(context, name, value, minimum, maximum);
  return value;
}

// A budget of evaluations: at least 1, no upper bound beyond int.
int readBudget(const DefinitionContext& context) {
  int value = requireInt(context, "numEvals");
  checkMinimum(context, "numEvals", value, 1);
  return value;
}

// A value the method cannot run with: "When reading \"<name>\" input for \"<object>\" of type
// \"<record>\" from file \"<file>\", the value read (<value>) <reason>", and the run ends.
void refuseSetting(const DefinitionContext& context, const char* name, double value,
                   const char* reason) {
  fatalError(formatText("When reading \"%s\" input for \"%s\" of type \"%s\" from file \"%s\", "
                        "the value read (%g) %s",
                        name, context.objectName.c_str(), context.recordLabel.c_str(),
                        context.fileLabel.c_str(), value, reason));
}

// An integer above kMaxMethodCount gets the range form with the method's own lower bound,
// so that rounding a size up later cannot overflow.
void checkUpperCount(const DefinitionContext& context, const char* name, int value, int minimum) {
  if (value > kMaxMethodCount) checkIntRange(context, name, value, minimum, kMaxMethodCount);
}

// `startingDesign`: "Baseline" (0) or a design number of at least 1.
int readStartingDesign(const DefinitionContext& context) {
  std::string text = requireString(context, "startingDesign");
  if (text == "Baseline") return 0;
  // Digits only (no sign, no blanks), at most the largest int.
  bool digitsOnly = !text.empty() && text.size() <= 10 &&
                    text.find_first_not_of("0123456789") == std::string::npos;
  long long number = digitsOnly ? std::atoll(text.c_str()) : 0;
  if (number < 1 || number > INT_MAX) {
    fatalError(definitionError(
        context.objectName, context.recordLabel, context.fileLabel, "startingDesign",
        formatText("The read value \"%s\" is neither \"Baseline\" nor a design number of at "
                   "least 1.",
                   text.c_str())));
  }
  return static_cast<int>(number);
}

void readGradient(const DefinitionContext& context, GradientSettings& gradient) {
  gradient.gradientMethod = readCount(context, "gradientMethod", 0, 1);
  gradient.gradStepSize = optionalDouble(context, "gradStepSize", 0.0005);
  checkRealRange(context, "gradStepSize", gradient.gradStepSize, 1e-10, 0.5);
}

// "Unrecognized ... specified: %s" texts go to the message file and standard error (as every
// fatal error's does).
[[noreturn]] void unrecognizedWord(const char* format, const std::string& word) {
  fatalError(formatText(format, word.c_str()));
}

[[noreturn]] void unrecognizedDoe(const std::string& word) {
  unrecognizedWord("Unrecognized DOE type specified: %s", word);
}

// `genRSMAfterStudy`: 1 fits response surfaces after the study; 0 does not (with a note);
// any other value is refused with a warning and taken as 0.
int readSurfaceRequest(const DefinitionContext& context, const char* studyKind) {
  int value = requireInt(context, "genRSMAfterStudy");
  if (value == 0) {
    writeMessage("outptr", "note",
                 formatText("Based on the user selection, no response surface models will be "
                            "generated at the end of the %s study.",
                            studyKind));
  } else if (value != 1) {
    std::string text = formatText(
        "Error in the definition of the surface to be generated from the DOE data. The "
        "specified value (%d) is not supported.",
        value);
    text = formatText("%s No surface will be fit to the data.", text.c_str());
    writeMessage("outptr", "warning", text);
    value = 0;
  }
  return value;
}

// `surfaceType` of a study that fits surfaces: a model word of the response-surface search
// (kSurfaceWords). A polynomial term set other than Linear and Quadratic is fitted besides the
// four default models; the other words name one of those and add nothing.
void readRequestedSurface(const DefinitionContext& context, MethodSettings& s) {
  s.requestedSurface = trimmed(optionalString(context, "surfaceType", ""));
  s.requestedTermSet = -1;
  if (s.requestedSurface.empty()) return;
  const SurfaceWord* found = nullptr;
  for (const SurfaceWord& entry : kSurfaceWords) {
    if (s.requestedSurface == entry.word) found = &entry;
  }
  if (!found) {
    unrecognizedWord("Unrecognized approximation model type specified: %s", s.requestedSurface);
  }
  if (found->model == 0 && found->termSet >= 2) s.requestedTermSet = found->termSet;
}

// The array word of a control or noise array: a DOE word other than the robust parameter
// design itself.
int readArrayWord(const DefinitionContext& context, const char* name, std::string& word) {
  word = requireString(context, name);
  int kind = codeOf(kDoeWords, word);
  if (kind < 0 || kind == kDoeRobustDesign) unrecognizedDoe(word);
  return kind;
}

// The control and noise arrays of a robust parameter design, with the optional sizes of the
// arrays that need them: `numEvals` (runs of a Plackett-Burman, Latin hypercube, D-optimal or
// Hammersley array; 0 lets the design choose), `generator` (fractional factorials) and
// `taguchiArray` (orthogonal arrays), each shared by both arrays.
void readRobustArrays(const DefinitionContext& context, MethodSettings& s) {
  DoeSettings& d = s.doe;
  d.controlKind = readArrayWord(context, "controlSampleMethod", d.controlSampleMethod);
  d.noiseKind = readArrayWord(context, "noiseSampleMethod", d.noiseSampleMethod);
  s.numEvals = optionalInt(context, "numEvals", 0);
  checkIntRange(context, "numEvals", s.numEvals, 0, kMaxMethodCount);
  d.generator = optionalInt(context, "generator", 0);
  checkIntRange(context, "generator", d.generator, 0, kMaxMethodCount);
  d.taguchiArray = optionalString(context, "taguchiArray", "");
}

// The settings the method fixes for the genetic core of the hybrid searches.
void useHybridOperators(GeneticSettings& genetic, double crossoverRate, double mutationRate) {
  genetic.crossoverType = 3;  // adaptivx
  genetic.mutationType = 2;   // adaptive mutation
  genetic.selectionType = 0;  // tournament
  genetic.selectionParameter = 2.0;
  genetic.tournamentSize = 2;
  genetic.crossoverRate = crossoverRate;
  genetic.mutationRate = mutationRate;
}

// The batch warning of the hybrid searches; `name` is "TOLMAR" or "MO-TOLMAR".
void warnFewBatches(const char* name, int batchSize, int batches) {
  std::string text = formatText(
      "Performing %d simultaneous evaluations, as specified, during the optimization could "
      "result in a ",
      batchSize);
  text = formatText(
      "%s decrease in the performance of the search with %s. %s is a dynamic algorithm that "
      "learns with",
      text.c_str(), name, name);
  text = formatText(
      "%s each batch of evaluations. The more batches it can do, the better the learning "
      "process. With the current settings",
      text.c_str());
  text = formatText(
      "%s approximately %d batches of evaluations can be performed. A better search process "
      "may be achieved by increasing",
      text.c_str(), batches);
  text = formatText(
      "%s the total number of evaluations that can be performed during the optimization or",
      text.c_str());
  text = formatText("%s by reducing the number of simultaneous evaluations allowed.", text.c_str());
  writeMessage("outptr", "warning", text);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// One reader per method (the method table points at them).

void readTolmarSettings(const DefinitionContext& context, int, MethodSettings& s) {
  s.numEvals = readBudget(context);
  useHybridOperators(s.genetic, 0.5, 0.2);
  s.steadyState = optionalInt(context, "steadyState", 0);
  checkIntRange(context, "steadyState", s.steadyState, 0, 1);
}

void readMultiStartSettings(const DefinitionContext& context, int, MethodSettings& s) {
  s.numEvals = readBudget(context);
  s.populationSize = readCount(context, "populationSize", 1, kMaxMethodCount);
  s.numCycles = readCount(context, "numCycles", 1, kMaxMethodCount);
  readGradient(context, s.gradient);
}

void readSqpSettings(const DefinitionContext& context, int, MethodSettings& s) {
  s.local.numIter = readCount(context, "numIter", 1, kMaxMethodCount);
  s.local.numLineSearches = readCount(context, "numLineSearches", 1, 1000);
  s.local.startingDesign = readStartingDesign(context);
  readGradient(context, s.gradient);
  s.populationSize = 1;
  s.generationsPerCycle = s.local.numIter;
}

void readAnnealingSettings(const DefinitionContext& context, int, MethodSettings& s) {
  s.numEvals = readBudget(context);
  s.local.numTemps = readCount(context, "numTemps", 1, kMaxMethodCount);
  s.local.maxIters = readCount(context, "maxIters", 1, kMaxMethodCount);
  s.local.startTemp = readReal(context, "startTemp", 1e-12, 1e12);
  s.local.endTemp = readReal(context, "endTemp", 1e-12, s.local.startTemp);
  s.local.startingDesign = readStartingDesign(context);
  s.populationSize = 1;
  s.numCycles = s.local.numTemps;
  s.generationsPerCycle = s.local.maxIters;
}

void readSurfaceSearchSettings(const DefinitionContext& context, int, MethodSettings& s) {
  std::string word = requireString(context, "surfaceType");
  const SurfaceWord* found = nullptr;
  for (const SurfaceWord& entry : kSurfaceWords) {
    if (word == entry.word) found = &entry;
  }
  if (!found) unrecognizedWord("Unrecognized approximation model type specified: %s", word);
  s.surface.surfaceType = word;
  s.surface.model = found->model;
  s.surface.termSet = found->termSet;
  s.surface.numIters = readCount(context, "numIters", 1, kMaxMethodCount);
  s.local.numLineSearches = readCount(context, "numLineSearches", 1, 1000);
  s.surface.numExtraEvals = readCount(context, "numExtraEvals", 0, kMaxMethodCount);
  s.populationSize = 1;
  s.numCycles = s.surface.numIters;
}

void readGeneticSettings(const DefinitionContext& context, int, MethodSettings& s) {
  GeneticSettings& g = s.genetic;
  s.populationSize = readCount(context, "populationSize", 1, kMaxMethodCount);
  s.numCycles = readCount(context, "numCycles", 1, kMaxMethodCount);
  s.generationsPerCycle = readCount(context, "generationsPerCycle", 1, kMaxMethodCount);
  g.crossoverType = readCount(context, "crossoverType", 0, 4);
  g.mutationType = readCount(context, "mutationType", 0, 3);
  // The user-programmed operators would be the user's own code, and this solver has no way
  // to take code in: running another operator in their place would hide that from the user.
  if (g.crossoverType == 4) {
    refuseSetting(context, "crossoverType", 4,
                  "asks for a user-programmed crossover (user_crossover), which this solver "
                  "cannot load. Use crossoverType 0 to 3.");
  }
  if (g.mutationType == 3) {
    refuseSetting(context, "mutationType", 3,
                  "asks for a user-programmed mutation (user_programmed_mutation), which this "
                  "solver cannot load. Use mutationType 0 to 2.");
  }
  g.selectionType = readCount(context, "selectionType", 0, 2);
  g.selectionParameter = requireDouble(context, "selectionParameter");
  if (g.selectionType == 0) {
    if (g.selectionParameter < 2.0) {
      writeMessage("outptr", "warning",
                   "Tournament size must be greater than 1, applying a default tourney size "
                   "of 2.");
      g.tournamentSize = 2;
    } else {
      checkRealRange(context, "selectionParameter", g.selectionParameter, 2.0, kMaxMethodCount);
      g.tournamentSize = static_cast<int>(g.selectionParameter);
    }
  } else if (g.selectionParameter < 1.0 || g.selectionParameter > 2.0) {
    writeMessage("outptr", "warning",
                 "Scaling factor must be between 1.0 and 2.0.; applying a default of 1.3.");
    g.scaleMultiplier = 1.3;
  } else {
    g.scaleMultiplier = g.selectionParameter;
  }
  if (g.selectionType == 2 && g.scaleMultiplier <= 1.0) {
    refuseSetting(context, "selectionParameter", g.selectionParameter,
                  "is no scaling multiplier for linear ranking selection (selectionType 2), "
                  "which needs 1.0 < selectionParameter <= 2.0.");
  }
  g.scalingWindow = optionalInt(context, "scalingWindow", g.scalingWindow);
  checkIntRange(context, "scalingWindow", g.scalingWindow, -1, kScalingWindowLimit);
  if (g.selectionType == 2 && g.scalingWindow >= 0) {
    refuseSetting(context, "scalingWindow", g.scalingWindow,
                  "turns on window scaling, which linear ranking selection (selectionType 2) "
                  "cannot use. Can't use window scaling with rank-based selection.  Turn off "
                  "one or the other.");
  }
  g.crossoverRate = optionalDouble(context, "crossoverRate", g.crossoverRate);
  checkRealRange(context, "crossoverRate", g.crossoverRate, 0.0, 1.0);
  g.mutationRate = optionalDouble(context, "mutationRate", g.mutationRate);
  checkRealRange(context, "mutationRate", g.mutationRate, 0.0, 1.0);
  s.steadyState = optionalInt(context, "steadyState", 0);
  checkIntRange(context, "steadyState", s.steadyState, 0, 1);
}

// Robustness and reliability sampling (also a DOE method on a reliability agent).
void readSamplingSettings(const DefinitionContext& context, int, MethodSettings& s) {
  s.numEvals = requireInt(context, "numEvals");
  if (s.numEvals < 2) {
    fatalError(formatText(
        "Error in the definition of the method details. The number of evaluations for the "
        "reliability and robustness method must be at least 2. Found %d.",
        s.numEvals));
  }
  checkUpperCount(context, "numEvals", s.numEvals, 2);
  s.sampling.sampleMethod = requireString(context, "sampleMethod");
  s.sampling.kind = codeOf(kSamplingWords, s.sampling.sampleMethod);
  if (s.sampling.kind < 0) unrecognizedDoe(s.sampling.sampleMethod);
  s.genRSMAfterStudy = readSurfaceRequest(context, "RR");
  readRequestedSurface(context, s);
  s.populationSize = 1;
}

void readDoeSettings(const DefinitionContext& context, int agentType, MethodSettings& s) {
  if (agentType == kAgentReliability) {
    readSamplingSettings(context, agentType, s);
    return;
  }
  DoeSettings& d = s.doe;
  d.sampleMethod = requireString(context, "sampleMethod");
  d.kind = codeOf(kDoeWords, d.sampleMethod);
  if (d.kind < 0) unrecognizedDoe(d.sampleMethod);
  s.genRSMAfterStudy = readSurfaceRequest(context, "DOE");
  readRequestedSurface(context, s);
  s.populationSize = 1;

  d.numFactors = optionalInt(context, "numFactors", 0);
  checkIntRange(context, "numFactors", d.numFactors, 0, kMaxMethodCount);
  d.numLevels = optionalInt(context, "numLevels", 0);
  if (d.numLevels != 0) checkIntRange(context, "numLevels", d.numLevels, 2, kMaxMethodCount);
  d.dataCopy = optionalInt(context, "dataCopy", 0);
  checkIntRange(context, "dataCopy", d.dataCopy, 0, 1);
  double minutes = optionalDouble(context, "LHCOTimeLimit", d.lhcoTimeLimit / 60.0);
  checkRealRange(context, "LHCOTimeLimit", minutes, 0.0, 10080.0);
  d.lhcoTimeLimit = minutes * 60.0;

  switch (d.kind) {
    case kDoeTwoLevelPartial:
    case kDoeThreeLevelPartial:
      d.generator = requireInt(context, "generator");
      checkIntRange(context, "generator", d.generator, 1, kMaxMethodCount);
      break;
    case kDoePlackettBurman: {
      s.numEvals = requireInt(context, "numEvals");
      const int* end = std::end(kPlackettBurmanRuns);
      if (std::find(std::begin(kPlackettBurmanRuns), end, s.numEvals) == end) {
        fatalError(formatText("\n\t Invalid number of runs for Plackett-Burman design (%d).\n",
                              s.numEvals) +
                   "\n\t Only number of runs allowed are: 12, 20, 24, 36, 40, 48 and 64.\n");
      }
      break;
    }
    case kDoeLatinHypercube:
    case kDoeDOptimal:
    case kDoeOptimizedLatin:
    case kDoeHammersley:
      s.numEvals = readCount(context, "numEvals", 1, kMaxMethodCount);
      break;
    case kDoeTaguchi: {
      d.taguchiArray = requireString(context, "taguchiArray");
      bool known = false;
      for (const char* name : kTaguchiArrays) known = known || d.taguchiArray == name;
      if (!known) {
        std::string text = formatText(
            "Error in the study input data. The Taguchi Array Name specified (%s) is not "
            "supported.\n",
            d.taguchiArray.c_str());
        text = formatText(
            "%sValid names are (L4, L8, L12, L16, L32, L72, L80, L88, L96, L104, L112, L120, "
            "L128, L9, L18, L27, L36, L81.",
            text.c_str());
        fatalError(text);
      }
      break;
    }
    case kDoeRobustDesign:
      readRobustArrays(context, s);
      break;
    default:
      break;
  }
}

void readRobustDesignSettings(const DefinitionContext& context, int, MethodSettings& s) {
  DoeSettings& d = s.doe;
  d.sampleMethod = kMethodWords[kMethodRobustDesign];
  d.kind = kDoeRobustDesign;
  readRobustArrays(context, s);
  s.genRSMAfterStudy = readSurfaceRequest(context, "DOE");
  readRequestedSurface(context, s);
  d.numLevels = optionalInt(context, "numLevels", 0);
  if (d.numLevels != 0) checkIntRange(context, "numLevels", d.numLevels, 2, kMaxMethodCount);
  d.dataCopy = optionalInt(context, "dataCopy", 0);
  checkIntRange(context, "dataCopy", d.dataCopy, 0, 1);
  s.populationSize = 1;
}

void readParetoSettings(const DefinitionContext& context, int, MethodSettings& s) {
  ParetoSettings& p = s.pareto;
  s.numEvals = readBudget(context);

  p.archiveSize = requireInt(context, "archiveSize");
  checkUpperCount(context, "archiveSize", p.archiveSize, 12);
  if (p.archiveSize < 12) {
    writeMessage("outptr", "note",
                 formatText("The Archive size must be greater than or equal to 12. Found (%d). "
                            "Incrementing Archive size to 12.",
                            p.archiveSize));
    p.archiveSize = 12;
  }
  if (p.archiveSize % 4 != 0) {
    int next = (p.archiveSize / 4 + 1) * 4;
    writeMessage("outptr", "note",
                 formatText("Archive size must be a multiple of 4. Found %d, incrementing to %d.",
                            p.archiveSize, next));
    p.archiveSize = next;
  }

  p.breedingSize = requireInt(context, "breedingSize");
  checkUpperCount(context, "breedingSize", p.breedingSize, 6);
  if (p.breedingSize < 6) {
    fatalError(formatText("The Breeding size must be at least 6. Found (%d).\n", p.breedingSize));
  }
  if (p.breedingSize % 2 != 0) {
    writeMessage("outptr", "note",
                 formatText("Only even values are allowed for breeding size (%d). Incrementing "
                            "by 1 to %d.\n",
                            p.breedingSize, p.breedingSize + 1));
    p.breedingSize += 1;
  }
  if (p.breedingSize > p.archiveSize) {
    fatalError(formatText("The breeding size (%d) cannot be greater than the archive size (%d).",
                          p.breedingSize, p.archiveSize));
  }

  if (s.numEvals < 2 * p.archiveSize) {
    fatalError(
        formatText("Max evaluations must be at least two times the archive_size (%d). Found (%d).",
                   p.archiveSize, s.numEvals));
  }
  if (s.numEvals < p.breedingSize + p.archiveSize) {
    fatalError(formatText(
        "Max evaluations must be at least breeding size (%d) plus archive size (%d). Found (%d).",
        p.breedingSize, p.archiveSize, s.numEvals));
  }
  p.shutOff = readCount(context, "shutOff", 0, 2);

  useHybridOperators(s.genetic, 0.6, 0.4);
  s.populationSize = p.archiveSize;
  // The first cycle evaluates the archive, every later one a breeding set; the budget rule
  // ends the agent once numEvals is reached.
  int breedingCycles = (s.numEvals - p.archiveSize + p.breedingSize - 1) / p.breedingSize;
  s.numCycles = 1 + breedingCycles;
}

void readDesignSweepSettings(const DefinitionContext& context, int, MethodSettings& s) {
  s.numEvals = requireInt(context, "numEvals");
  if (s.numEvals <= 0) {
    fatalError(formatText(
        "The number of evaluations specifed for the design sweep must be greater than 0. "
        "Found (%d).\n",
        s.numEvals));
  }
  s.populationSize = 1;
}

void readSimplexSettings(const DefinitionContext& context, int, MethodSettings& s) {
  s.numEvals = readBudget(context);
  s.local.simplexSize = readReal(context, "simplexSize", 1e-6, 1.0);
  s.local.numTemps = readCount(context, "numTemps", 0, kMaxMethodCount);
  s.local.startingDesign = readStartingDesign(context);
  s.populationSize = 1;
  // Every simplex step evaluates at least one design; the step stops at the budget.
  s.generationsPerCycle = s.numEvals;
}

void readSwarmSettings(const DefinitionContext& context, int, MethodSettings& s) {
  SwarmSettings& w = s.swarm;
  w.numDesigns = readCount(context, "numDesigns", 1, kMaxMethodCount);
  w.numGen = readCount(context, "numGen", 1, kMaxMethodCount);
  w.neighborhoodSize = readCount(context, "neighborhoodSize", 1, w.numDesigns);
  w.globalBest = readReal(context, "globalBest", 0.0, 100.0);
  w.personalBest = readReal(context, "personalBest", 0.0, 100.0);
  w.localBest = readReal(context, "localBest", 0.0, 100.0);
  s.populationSize = w.numDesigns;
  s.numCycles = w.numGen;
}

void readNsgaSettings(const DefinitionContext& context, int, MethodSettings& s) {
  int size = requireInt(context, "populationSize");
  // A size of 0 or below is a multiple of 4 too; it is refused as below the minimum.
  checkMinimum(context, "populationSize", size, 4);
  if (size % 4 != 0) {
    fatalError(
        formatText("Error in the definition of the NSGA-III algorithm settings. The "
                   "popsize must be a multiple of 4 . Found %d.",
                   size));
  }
  checkUpperCount(context, "populationSize", size, 4);
  int generations = requireInt(context, "numGen");
  if (generations <= 1) {
    fatalError(
        formatText("Error in the definition of the NSGA-III algorithm settings. The "
                   "number of generations must be greater than 1. Found %d.",
                   generations));
  }
  checkUpperCount(context, "numGen", generations, 2);
  s.populationSize = size;
  s.nsga.numGen = generations;
  // One generation of the NSGA-III component per cycle; the first cycle also evaluates the
  // initial population, the component's first generation.
  s.numCycles = generations - 1;
  s.generationsPerCycle = 1;
}

// ---------------------------------------------------------------------------------------
// The method table's lookups

const char* methodWord(int code) {
  return code >= 0 && code < kMethodCount ? kMethodWords[code] : "";
}

const MethodEntry* findMethodEntry(std::span<const MethodEntry> methods, int code) {
  for (const MethodEntry& entry : methods) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

void writeMethodUnavailableNote(const Agent& agent) {
  writeMessage("outptr", "note",
               formatText("Agent %d (\"%s\"): %s runs with the %s method are not available in "
                          "this build of the solver. The agent does not evaluate any design.",
                          agent.number, agent.name.c_str(), agentTypeWord(agent.type),
                          methodWord(agent.method.code)));
}

int readMethodSettings(const DefinitionContext& context, int agentType, MethodSettings& settings,
                       std::span<const MethodEntry> methods) {
  settings = MethodSettings{};
  std::string word = requireString(context, "method");
  const MethodEntry* found = nullptr;
  for (const MethodEntry& entry : methods) {
    if (word == entry.word) {
      found = &entry;
      break;
    }
  }
  if (!found) {
    fatalError(
        formatText("Error in defining the method details. The method used \"%s\" is not supported.",
                   word.c_str()));
  }
  settings.code = found->code;
  settings.word = word;
  found->readSettings(context, agentType, settings);
  return found->code;
}

void sizeTolmarMethod(const MethodRunFacts& facts, MethodSettings& s) {
  const int budget = s.numEvals;
  const int n = std::max(0, facts.designVariables);
  const int batch = std::max(1, facts.batchSize);
  const int m = n != 1 ? 1 : 0;
  TolmarSizing& t = s.tolmar;
  t = TolmarSizing{};
  t.designVariables = n;
  t.batchSize = batch;
  t.batches = budget / batch;

  const std::string insufficient = formatText(
      "The max. number of evaluations input %d for Agent %d for study \"%s\" is insufficient "
      "for",
      budget, facts.agentNumber, facts.studyName.c_str());
  auto warnRandomSearch = [&]() {
    std::string text = formatText("%s performing any sort of optimization.", insufficient.c_str());
    text = formatText("%s Performing some random search only.\n", text.c_str());
    writeMessage("outptr", "warning", text);
  };
  auto warnAdjusted = [&](const std::string& firstLine) {
    std::string text =
        formatText("%s an effective global search of the design space.", firstLine.c_str());
    text = formatText("%s The parameters of the run would be adjusted to accomodate the input # of",
                      text.c_str());
    text = formatText(
        "%s evaluations. However, these changes will be detrimental to finding the best "
        "solution.",
        text.c_str());
    text = formatText("%s The solutions obtained would most likely, at best, be sub-optimal.",
                      text.c_str());
    text = formatText(
        "%s If possible, increase the number of allowed evaluations and restart the run.",
        text.c_str());
    text = formatText("%s Continuing the run with the adjusted parameters.\n", text.c_str());
    writeMessage("outptr", "warning", text);
  };
  // A cycle of the hybrid search costs about 0.55 P + m evaluations.
  auto cyclesFor = [&](int population) {
    return static_cast<int>(
        std::trunc((budget - population) / std::max(1.0, 0.55 * population + m)));
  };
  auto makeEven = [](int& population) {
    if (population % 2 != 0) ++population;
  };

  int population = n;
  int cycles = 1;
  if (budget <= 6) {
    warnRandomSearch();
    population = budget;
    t.randomSearchOnly = true;
  } else if (budget < n && budget < 20) {
    warnRandomSearch();
    population = static_cast<int>(std::trunc(budget / 1.5));
    t.randomSearchOnly = true;
  }
  population = std::clamp(population, 4, 40);
  makeEven(population);

  if (!t.randomSearchOnly) {
    cycles = cyclesFor(population);
    if (cycles < 17) {
      cycles = 17;
      population = static_cast<int>(std::trunc((budget - 17.0 * m) / 10.35));
      if (population < 1) population = 1;
      makeEven(population);
      // One warning tells the user that the budget is too small, whichever test finds it.
      const bool warned = static_cast<double>(n) / population > 1.5 && population < 40;
      if (warned) warnAdjusted(insufficient);
      if (population < 4) {
        population = 4;
        if (!warned) warnAdjusted(insufficient);
      }
    } else if (cycles >= 71) {
      // Large budgets get a larger population (up to 40) rather than ever more cycles.
      while (cycles >= 71 && population < 40) {
        population += 2;
        cycles = cyclesFor(population);
      }
    }
    if (batch > 1) {
      population = batch > population ? batch : (population + batch - 1) / batch * batch;
      int raised = 4 - static_cast<int>(std::trunc(-0.6 * population));
      if (raised > population) population = raised;
      if (t.batches < 10) warnFewBatches("TOLMAR", batch, t.batches);
    }
    cycles = std::max(1, cyclesFor(population));
  }
  if (batch > population) {
    fatalError(
        "\n        **** ERROR ****\n Internal KARVO error: nEvaluateInParallel > popsize ***\n"
        "Error. Cannot continue.");
  }
  s.populationSize = population;
  s.numCycles = cycles;
  s.generationsPerCycle = 1;
  useHybridOperators(s.genetic, 0.5, 0.2);
  t.sized = true;
}

void completeMultiStartSettings(const MethodRunFacts& facts, MethodSettings&) {
  if (facts.continuousVariables < 1) {
    fatalError(
        "At least 1 continuous variable must be active when using Multi-Start as the "
        "optimization method. No continuous variables found for the study.");
  }
}

void requireTwoObjectives(const MethodRunFacts& facts) {
  if (facts.objectives >= 2) return;
  std::string text = "At least 2 objectives must be defined for a multi-objective run.";
  text = formatText("%s Found only %d in the Performance%d.in file.\n\t Exiting.\n",
                    text.c_str(), facts.objectives, facts.performanceNumber);
  fatalError(text);
}

void completeNsgaSettings(const MethodRunFacts& facts, MethodSettings&) {
  requireTwoObjectives(facts);
}

void completeParetoSettings(const MethodRunFacts& facts, MethodSettings& s) {
  requireTwoObjectives(facts);
  ParetoSettings& p = s.pareto;
  int batch = std::max(1, facts.batchSize);
  if (batch > p.archiveSize) {
    std::string text = formatText(
        "The maximum number of parallel designs requested (%d) is greater than the archive "
        "size (%d).",
        batch, p.archiveSize);
    text = formatText(
        "%s The archive size is the maximum number of simultaneous designs that can be "
        "evaluated.",
        text.c_str());
    text = formatText(
        "%s Please increase the archive size or reduce the number of simultaneous design "
        "evaluations requested.",
        text.c_str());
    fatalError(text);
  }
  if (batch > 1 && batch % 2 != 0) {
    std::string text = formatText(
        "For a Pareto optimization, the search cycle size must be even. As a result, the "
        "number of simultaneous evaluations specified (%d) cannot be honored.",
        batch);
    text = formatText("%s The number of simultaneous evaluations will be limited to %d.",
                      text.c_str(), batch - 1);
    writeMessage("outptr", "warning", text);
    batch -= 1;
  }
  if (batch > 1 && s.numEvals / batch < 10) {
    warnFewBatches("MO-TOLMAR", batch, s.numEvals / batch);
  }
  p.batchSize = batch;
}

void completeMethodSettings(const MethodRunFacts& facts, MethodSettings& settings,
                            std::span<const MethodEntry> methods) {
  const MethodEntry* entry = findMethodEntry(methods, settings.code);
  if (entry && entry->completeSettings) entry->completeSettings(facts, settings);
}

}  // namespace karvo
