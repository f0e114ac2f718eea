// The method settings of an agent: the search, sampling or experiment method named by
// `method:` in the agent's record of the study file, and that method's own properties.
//
// Every method has one entry in the method table (struct MethodEntry below): its code, its
// word, its family, its settings reader, its completion step and the runner of one cycle of
// an agent. The table itself lives with the run driver (driver/method_table.h), the one
// place that sees every runner; the readers here get it handed in and never call a runner.
// Adding a method is one entry there plus its reader here (and, when it needs settings of
// its own, a sub-struct of MethodSettings).
//
// Reading happens in two steps, both at start-up:
//
//   1. readMethodSettings(context, agentType, settings, methods) while the agent record is
//      read: the method word, looked up in the table, and the entry's reader for every
//      property of that method, each range-checked. A setting the method cannot run with
//      ends the run through fatalError with its message; a setting the method can correct
//      (an odd archive size, a tournament smaller than 2, ...) is corrected with a note or
//      warning on "outptr". Answers the method code (0..14).
//   2. completeMethodSettings(facts, settings, methods) once the agent's representation and
//      the study's number of simultaneous evaluations are known: the entry's completion
//      step, if it has one: the budget sizing of TOLMAR (population, cycles, its warnings),
//      the batch checks of MOTOLMAR and the continuous-variable check of MS. The other
//      methods are complete after step 1.
//
// After both steps `populationSize`, `numCycles` and `generationsPerCycle` describe the run
// of every method in the same terms, so that the run driver and the genetic core need not
// know each method's own words.
//
// Properties that no method reads are ignored; a property of another method in the same
// record is not an error (the study editor writes the details of every method it offers).
#pragma once

#include <span>
#include <string>

namespace karvo {

struct Agent;
struct DefinitionContext;
struct EvaluationServices;
class StateArchive;

// Method codes, as stored in the agent table and in result files.
enum MethodCode : int {
  kMethodTolmar = 0,          // "TOLMAR", hybrid adaptive search
  kMethodMultiStart = 1,      // "MS", multi-start local gradient search
  kMethodSqp = 2,             // "QP", sequential quadratic programming
  kMethodAnnealing = 3,       // "SA", simulated annealing
  kMethodSurfaceSearch = 4,   // "RS", search on fitted response surfaces
  kMethodGenetic = 5,         // "GA"
  kMethodDoe = 6,             // "DOE"
  kMethodRobustness = 7,      // "robustness"
  kMethodParetoTolmar = 8,    // "MOTOLMAR", multi-objective hybrid search
  kMethodDesignSweep = 9,     // "DesignSweep"
  kMethodSimplex = 10,        // "NMS", simplex search
  kMethodSwarm = 11,          // "PSO", particle swarm
  kMethodReliability = 12,    // "reliability"
  kMethodNsga = 13,           // "NSGA", NSGA-III
  kMethodRobustDesign = 14,   // "RobustParameterDesign"
};
inline constexpr int kMethodCount = 15;

// The method words by code, compared exactly. The one list of them: the method table and
// methodWord take their words from here.
inline constexpr const char* kMethodWords[kMethodCount] = {
    "TOLMAR", "MS",  "QP",          "SA",       "RS",
    "GA",     "DOE", "robustness",  "MOTOLMAR", "DesignSweep",
    "NMS",    "PSO", "reliability", "NSGA",     "RobustParameterDesign",
};

// Method families: which layer runs a method (src/search/, src/doe/, src/reliability/). The
// numbers are those of the agent type that a method of the family usually runs on.
enum MethodFamily : int {
  kFamilySearch = 0,       // optimisation searches: one cycle of generations per turn
  kFamilyDoe = 1,          // designs of experiments, design sweeps, robust parameter designs:
                           // the whole design set in one turn
  kFamilyReliability = 2,  // robustness and reliability sampling: the whole study in one turn
};

// Design-of-experiments array kinds (the `sampleMethod` words of a DOE method).
enum DoeKind : int {
  kDoeTwoLevelFull = 0,       // "2LevelFull"
  kDoeTwoLevelPartial = 1,    // "2LevelPartial"
  kDoePlackettBurman = 2,     // "2LevelPB"
  kDoeCentralComposite = 3,   // "OtherCC"
  kDoeLatinHypercube = 4,     // "OtherLHC"
  kDoeFile = 5,               // "OtherFile": the array of "Doe_input.in"
  kDoeDOptimal = 6,           // "OtherDO"
  kDoeTaguchi = 7,            // "2LevelTaguchi", "3LevelTaguchi", "OtherTaguchi", "Taguchi"
  kDoeThreeLevelFull = 8,     // "3LevelFull"
  kDoeThreeLevelPartial = 9,  // "3LevelPartial"
  kDoeRobustDesign = 10,      // "RobustParameterDesign": control array x noise array
  kDoeExisting = 11,          // "OtherExisting"
  kDoeOptimizedLatin = 12,    // "OtherLHCO"
  kDoeHammersley = 13,        // "OtherHMS"
};

// Sampling kinds of robustness and reliability methods (their `sampleMethod` words).
enum SamplingKind : int {
  kSamplingLatinHypercube = 0,  // "OtherLHC"
  kSamplingMonteCarlo = 1,      // "OtherMonteCarlo"
  kSamplingForm = 2,            // "OtherFORM", first-order reliability
};

// Largest value accepted for any count of designs, generations, cycles or iterations. Far
// above what a study can evaluate, and small enough that rounding a size up never overflows.
inline constexpr int kMaxMethodCount = 1000000;

// Largest scaling window: the genetic core keeps the minimum raw fitness of 20 generations.
inline constexpr int kScalingWindowLimit = 19;

// Operators and rates of the genetic core. Filled for every method that runs generations;
// read from the record only for GA, fixed by the method otherwise.
struct GeneticSettings {
  int crossoverType = 1;            // 0 oneptx, 1 twoptx, 2 uniformx, 3 adaptivx
                                    // (4 user_crossover is refused when read)
  int mutationType = 0;             // 0 normal field, 1 multi-field, 2 adaptive
                                    // (3 user-programmed is refused when read)
  int selectionType = 0;            // 0 tournament, 1 stochastic universal, 2 linear ranking
  double selectionParameter = 2.0;  // `selectionParameter` as read
  int tournamentSize = 2;           // tournament selection: >= 2
  double scaleMultiplier = 1.3;     // `scalemult` of the other selections: [1.0, 2.0]
  double crossoverRate = 0.6;       // `pcross`: [0, 1]
  double mutationRate = 0.4;        // `pmutation`: [0, 1]
  int scalingWindow = -1;           // `scalingWindow` W: window scaling over the last W + 1
                                    // generations, [0, kScalingWindowLimit]; -1 off
};

// Gradients of the local searches (MS, QP).
struct GradientSettings {
  int gradientMethod = 0;           // 0 forward differences, 1 read from "KARVOGrads.info"
  double gradStepSize = 0.0005;     // forward-difference step as a share of each variable's
                                    // range: [1e-10, 0.5]
};

// The sizing of a TOLMAR agent from its budget (completeMethodSettings).
struct TolmarSizing {
  bool sized = false;               // completeMethodSettings has run
  bool randomSearchOnly = false;    // the budget allows a random search only (one cycle)
  int designVariables = 0;          // n used for the sizing, >= 0
  int batchSize = 1;                // simultaneous evaluations used for the sizing, >= 1
  int batches = 0;                  // budget / batch size: batches the budget allows
  bool qhfc = true;                 // the population is kept in fitness levels
  bool searchDecisions = true;      // model-based search decisions are made
};

// Local searches that start from one design (QP, SA, NMS) and their own counts.
struct LocalSearchSettings {
  int startingDesign = 0;           // 0: the baseline design ("Baseline"); else a design
                                    // number >= 1
  int numIter = 0;                  // QP: SQP iterations, [1, kMaxMethodCount]
  int numLineSearches = 0;          // QP, RS: function calls per line search, [1, 1000]
  int numTemps = 0;                 // SA: temperatures [1, ..]; NMS: [0, ..] (0: plain
                                    // simplex without annealing)
  int maxIters = 0;                 // SA: iterations per temperature, [1, kMaxMethodCount]
  double startTemp = 0.0;           // SA: first temperature, [1e-12, 1e12]
  double endTemp = 0.0;             // SA: last temperature, [1e-12, startTemp]
  double simplexSize = 0.0;         // NMS: edge of the first simplex as a share of each
                                    // variable's range, [1e-6, 1]
};

// Response-surface search (RS).
struct SurfaceSearchSettings {
  std::string surfaceType;          // the model or term-set word as read
  int model = 0;                    // 0 least-squares polynomial, 2 Kriging, 3 radial basis
  int termSet = 0;                  // polynomial term set 0..9 ("Linear" 0 .. "QuadWithCubic"
                                    // 9); 0 for the kernel models
  int numIters = 0;                 // search iterations on the surfaces, [1, kMaxMethodCount]
  int numExtraEvals = 0;            // designs evaluated to improve the surfaces, [0, ..]
};

// Particle swarm (PSO).
struct SwarmSettings {
  int numDesigns = 0;               // particles, [1, kMaxMethodCount]
  int numGen = 0;                   // generations, [1, kMaxMethodCount]
  int neighborhoodSize = 0;         // particles in a neighbourhood, [1, numDesigns]
  double globalBest = 0.0;          // attraction weights, each [0, 100]
  double personalBest = 0.0;
  double localBest = 0.0;
};

// Multi-objective hybrid search (MOTOLMAR).
struct ParetoSettings {
  int archiveSize = 0;              // archive members: >= 12, a multiple of 4,
                                    // <= kMaxMethodCount
  int breedingSize = 0;             // designs bred per cycle: even, [6, archiveSize]
  int shutOff = 0;                  // automatic termination: 0 off, 1 normal, 2 alternative
  int batchSize = 1;                // simultaneous evaluations after the batch checks
};

// NSGA-III (NSGA).
struct NsgaSettings {
  int numGen = 0;                   // generations of the component, [2, kMaxMethodCount]
};

// Design-of-experiments arrays (DOE, RobustParameterDesign).
struct DoeSettings {
  std::string sampleMethod;         // the word as read ("RobustParameterDesign" for RPD)
  int kind = -1;                    // DoeKind, -1 until read
  int numFactors = 0;               // factors k; 0: the representation's factors
  int generator = 0;                // generators p of a fractional factorial, >= 1 there
  int numLevels = 0;                // levels per factor; 0: as the kind decides; else >= 2
  double lhcoTimeLimit = 60.0;      // optimised Latin hypercube: seconds (`LHCOTimeLimit` is
                                    // given in minutes, [0, 10080]); default one minute
  std::string taguchiArray;         // orthogonal array name (L4 .. L81) for kind 7
  std::string controlSampleMethod;  // RPD: the control array's word
  int controlKind = -1;             // its DoeKind
  std::string noiseSampleMethod;    // RPD: the noise array's word
  int noiseKind = -1;               // its DoeKind
  int dataCopy = 0;                 // RPD: flag 0/1
};

// Robustness and reliability sampling.
struct SamplingSettings {
  std::string sampleMethod;         // the word as read
  int kind = -1;                    // SamplingKind, -1 until read
};

struct MethodSettings {
  int code = -1;                    // MethodCode; -1 until read
  std::string word;                 // the method word as read
  int numEvals = 0;                 // budget of evaluations (or runs/samples), >= 1 where read
  int populationSize = 0;           // designs per generation after completion, >= 1
  int numCycles = 1;                // cycles the agent runs, >= 1
  int generationsPerCycle = 1;      // generations per cycle, >= 1
  int genRSMAfterStudy = 0;         // DOE, robustness, reliability, RPD: 1 fits response
                                    // surfaces after the study
  std::string requestedSurface;     // DOE, robustness, reliability, RPD: `surfaceType`, a
                                    // model word fitted besides the four defaults ("" none)
  int requestedTermSet = -1;        // its polynomial term set 2..9 when it adds a model;
                                    // -1 for none or a word among the defaults
  int steadyState = 0;              // TOLMAR, GA: 1 makes each new design as soon as a slot
                                    // frees instead of in whole generations
  GeneticSettings genetic;
  GradientSettings gradient;        // MS, QP
  LocalSearchSettings local;        // QP, SA, NMS (numLineSearches also RS)
  SurfaceSearchSettings surface;    // RS
  SwarmSettings swarm;              // PSO
  ParetoSettings pareto;            // MOTOLMAR
  NsgaSettings nsga;                // NSGA
  DoeSettings doe;                  // DOE, RobustParameterDesign
  SamplingSettings sampling;        // robustness, reliability
  TolmarSizing tolmar;              // TOLMAR
};

// What completeMethodSettings needs to know of the agent and the study.
struct MethodRunFacts {
  int agentNumber = 0;              // names the agent in messages
  std::string studyName;            // the study record's name, for messages
  int designVariables = 0;          // active design variables of the agent's representation
  int continuousVariables = 0;      // of them continuous
  int batchSize = 1;                // simultaneous evaluations (`nParallel`), >= 1
  int performanceNumber = 0;        // the agent's performance definition
  int objectives = 0;               // its objectives
};

// ---------------------------------------------------------------------------------------
// The method table

// Reads the method's own properties from the agent record into `settings` (already reset,
// code and word set). `agentType` is the AgentType of the agent. Definition errors end the
// run through fatalError.
using MethodSettingsReader = void (*)(const DefinitionContext& context, int agentType,
                                      MethodSettings& settings);
// The second step of a method (see the top of this file).
using MethodSettingsCompletion = void (*)(const MethodRunFacts& facts, MethodSettings& settings);
// Runs one turn of `agent` in the current cycle (run.currentCycle): one cycle of a search, the
// whole study of the other families. Declared with the runners of each family
// (search/search_turn.h, doe/doe_turn.h, reliability/reliability_turn.h).
using AgentCycleFn = void (*)(Agent& agent, const EvaluationServices& services);
// Keeps the method's own state of `agent` in a checkpoint: with a writing archive it writes
// that state, with a reading one it replaces the agent's state by what it reads (making the
// method's record of the agent when there is none). Null for a method whose state is the
// genetic core's alone. See base/state_archive.h and search/search_turn.h.
using MethodStateFn = void (*)(Agent& agent, StateArchive& archive);

struct MethodEntry {
  int code;                                   // MethodCode, 0..14; the table is in code order
  const char* word;                           // kMethodWords[code]
  MethodFamily family;                        // the layer of its runner
  MethodSettingsReader readSettings;          // never null
  MethodSettingsCompletion completeSettings;  // null: complete after reading
  AgentCycleFn runCycle;                      // never null in the run's table
  MethodStateFn keepState = nullptr;          // null: nothing of its own to keep
};

// The entry of `code` in `methods`, or null.
const MethodEntry* findMethodEntry(std::span<const MethodEntry> methods, int code);

// Reads `method` and that method's properties from the agent record of `context` into
// `settings` (reset first) and answers the method code. The word is looked up in `methods`;
// a word not there ends the run with "Error in defining the method details. The method used
// \"%s\" is not supported.". `agentType` is the AgentType of the agent: the `sampleMethod`
// of a DOE method on a reliability-and-robustness agent is read as a sampling method.
// Definition errors end the run through fatalError.
int readMethodSettings(const DefinitionContext& context, int agentType, MethodSettings& settings,
                       std::span<const MethodEntry> methods);

// The second step (see the top of this file): the completion step of the entry of
// settings.code in `methods`, if it has one. Settings errors end the run through fatalError;
// corrections are reported on "outptr".
void completeMethodSettings(const MethodRunFacts& facts, MethodSettings& settings,
                            std::span<const MethodEntry> methods);

// The method word of a code ("TOLMAR" .. "RobustParameterDesign"); "" for other codes.
const char* methodWord(int code);

// Writes the note of an agent whose run this build of the solver cannot make yet:
// "Agent %d (\"%s\"): %s runs with the %s method are not available in this build of the
// solver. The agent does not evaluate any design." (number, name, agent type word, method
// word) on "outptr". The runners of methods still to come write it.
void writeMethodUnavailableNote(const Agent& agent);

// ---------------------------------------------------------------------------------------
// Settings readers and completion steps of the method table, one per method (robustness
// and reliability share one)

void readTolmarSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readMultiStartSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readSqpSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readAnnealingSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readSurfaceSearchSettings(const DefinitionContext& context, int agentType,
                               MethodSettings& s);
void readGeneticSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
// On a reliability-and-robustness agent, the sampling settings (readSamplingSettings).
void readDoeSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
// "robustness" and "reliability".
void readSamplingSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readParetoSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readDesignSweepSettings(const DefinitionContext& context, int agentType,
                             MethodSettings& s);
void readSimplexSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readSwarmSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readNsgaSettings(const DefinitionContext& context, int agentType, MethodSettings& s);
void readRobustDesignSettings(const DefinitionContext& context, int agentType,
                              MethodSettings& s);

// The TOLMAR sizing, TOLMAR's completion step: population and cycles of an agent with
// `numEvals` evaluations, `designVariables` variables and `batchSize` simultaneous
// evaluations, with its warnings. Sets settings.populationSize, numCycles,
// generationsPerCycle, genetic and tolmar.
void sizeTolmarMethod(const MethodRunFacts& facts, MethodSettings& settings);
// MS: at least one continuous variable.
void completeMultiStartSettings(const MethodRunFacts& facts, MethodSettings& settings);
// MOTOLMAR: at least two objectives (requireTwoObjectives), then the batch checks (batch
// larger than the archive, odd batch, few batches).
void completeParetoSettings(const MethodRunFacts& facts, MethodSettings& settings);
// NSGA: at least two objectives.
void completeNsgaSettings(const MethodRunFacts& facts, MethodSettings& settings);
// A multi-objective method needs two objectives or more: otherwise the run ends with "At
// least 2 objectives must be defined for a multi-objective run. Found only %d in the
// Performance%d.in file.\n\t Exiting.\n".
void requireTwoObjectives(const MethodRunFacts& facts);

}  // namespace karvo
