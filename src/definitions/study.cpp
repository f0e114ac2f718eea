// "Assembly.in" and the study file: the agent table, the study record, run options, agent
// records and the start-up banner. Read once per run; a study has a handful of agents.
#include "definitions/study.h"

#include <cstdlib>
#include <cstring>

#include "definitions/reader.h"
#include "base/memory.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "base/run_files.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace karvo {

std::vector<Agent> agents;
StudySettings study;

void resetStudy() {
  agents.clear();
  study = StudySettings{};
}

Agent* findAgent(int number) {
  if (number < 0 || number >= static_cast<int>(agents.size())) return nullptr;
  Agent& agent = agents[number];
  return agent.number == number ? &agent : nullptr;
}

const char* agentTypeWord(int type) {
  switch (type) {
    case kAgentOptimization: return "optimization";
    case kAgentDoe: return "doe";
    case kAgentReliability: return "reliability and robustness";
    case kAgentEvaluation: return "evaluation";
    default: return "";
  }
}

namespace {

std::string recordText(const Record& record) {
  std::string text;
  for (int i = 0; i < record.count; ++i) {
    if (i) text += '\n';
    text += record.lines[i];
  }
  return text;
}

// Splits "a, b, c" at commas, trimming blanks around each field.
std::vector<std::string> commaFields(const std::string& value) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    std::size_t comma = value.find(',', start);
    std::string field = value.substr(start, comma == std::string::npos ? std::string::npos
                                                                        : comma - start);
    fields.push_back(trimmed(field));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return fields;
}

bool isNumber(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (!end || *end != '\0') return false;
  if (out) *out = value;
  return true;
}

// ---------------------------------------------------------------------------------------
// Assembly.in

constexpr const char* kAssemblyLabel = "Assembly.in";

int agentTypeCode(const std::string& word) {
  if (word == "optimization") return kAgentOptimization;
  if (word == "doe") return kAgentDoe;
  if (word == "reliability and robustness") return kAgentReliability;
  if (word == "evaluation") return kAgentEvaluation;
  return -1;
}

void readNeighbor(Agent& agent, const std::string& value) {
  std::vector<std::string> fields = commaFields(value);
  double numbers[4];
  bool ok = fields.size() == 4;
  for (std::size_t i = 0; ok && i < 4; ++i) ok = isNumber(fields[i], &numbers[i]);
  if (!ok) {
    fatalError("Expecting donating agent number, number of designs to donate, Migration incest "
               "reduction factor, and Migration crowding amount control factor.");
  }
  MigrationLink link;
  link.donor = static_cast<int>(numbers[0]);
  link.designCount = static_cast<int>(numbers[1]);
  link.incestReduction = numbers[2];
  link.crowdingAmount = numbers[3];
  if (link.donor == agent.number) {
    fatalError("\n\t**** ERROR ****\n\t Donating agent number cannot be equal to the receiving "
               "agent number.");
  }
  if (link.incestReduction < 0.0) {
    fatalError(formatText("Illegal value for migration incest reduction for agent %d.",
                          agent.number) +
               " Migration incest reduction cannot be negative.");
  }
  if (link.crowdingAmount < 0.0) {
    fatalError(formatText("Illegal value for migration incest reduction for agent %d.",
                          agent.number) +
               " Migration crowing amount cannot be negative.");
  }
  agent.links.push_back(link);
}

void readAssemblyAgent(const Record& record, int agentCount) {
  DefinitionContext ctx{&record, kAssemblyLabel, "Study agent assembly data"};
  int id = requireInt(ctx, "id");
  checkIntRange(ctx, "id", id, 0, agentCount - 1);
  ctx.objectName = requireString(ctx, "name");
  Agent& agent = agents[id];
  if (agent.number != kUndefined) {
    fatalError(formatText("Agent %d is defined more than once in the Assembly.in file.", id));
  }
  agent.number = id;
  agent.name = ctx.objectName;
  std::string typeWord = requireString(ctx, "type");
  agent.type = agentTypeCode(typeWord);
  if (agent.type < 0) {
    writeMessage("outptr", "error",
                 formatText("Unsupported agent type specified (%s). Allowed types are: "
                            "optimization, doe, reliability and robustness, evaluation",
                            typeWord.c_str()));
    fatalError("Setup error");
  }
  agent.representation = requireInt(ctx, "representation");
  checkMinimum(ctx, "representation", agent.representation, 0);
  agent.performance = requireInt(ctx, "performance");
  checkMinimum(ctx, "performance", agent.performance, 0);
  agent.process = optionalInt(ctx, "process", kUndefined);
  if (agent.process != kUndefined) checkMinimum(ctx, "process", agent.process, 0);
  std::vector<std::string> neighbors;
  std::string reason;
  getRepeatedValues(kAssemblyLabel, record, "neighbor", neighbors, false, reason);
  for (const std::string& value : neighbors) readNeighbor(agent, value);
  warnUnknownProperties(ctx);
}

}  // namespace

void readAssembly() {
  resetUnknownPropertyWarnings();
  const std::string path = platform::joinPath(run.workingDirectory, "Assembly.in");
  FileHandle* file = openDefinitionFile(path);
  int agentCount = 0;
  char buffer[kDefinitionLineBuffer];
  while (readLineInto(buffer, sizeof buffer, file)) {
    if (std::strncmp(buffer, "*AGENT", 6) == 0) ++agentCount;
  }
  rewindFile(file);
  agents.assign(agentCount, Agent{});

  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  struct Closer {
    FileHandle* file;
    ~Closer() { closeFile(file); }
  } closer{file};
  Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
  freeRecord(preamble);
  while (!keyword.empty()) {
    const std::string current = keyword;
    const int keywordLineNumber = lineCounter;
    if (isKeyword(current, "*END")) break;
    Record record = readRecord(file, keyword, lineCounter, endOfFile);
    RecordScope scope(record);
    if (isKeyword(current, "*TYPE")) {
      checkTypeRecord(record, kAssemblyLabel);
    } else if (isKeyword(current, "*AGENT")) {
      readAssemblyAgent(record, agentCount);
    } else {
      fatalError(unsupportedKeywordError(current, keywordLineNumber, path));
    }
  }

  for (Agent& agent : agents) {
    for (const MigrationLink& link : agent.links) {
      const Agent* donor = findAgent(link.donor);
      if (agent.type != kAgentOptimization || !donor || donor->type != kAgentOptimization) {
        fatalError("Links can, currently, only be defined between optimization agents.");
      }
    }
  }
  for (int number = 0; number < agentCount; ++number) {
    const Agent& agent = agents[number];
    if (agent.number == kUndefined || agent.representation == kUndefined) {
      fatalError(formatText("Agent %d is not defined or the representation id for agent %d is "
                            "not defined in the Assembly.in file.",
                            number, number));
    }
    if (agent.performance == kUndefined) {
      fatalError(formatText("Agent %d is not defined in Assembly.in file.", number));
    }
  }
  if (agents.empty() || agents[0].type == kUndefined) {
    fatalError("Agent zero has not been defined for the study");
  }
}

// ---------------------------------------------------------------------------------------
// Run options

namespace {

constexpr const char* kStudyFileLabel = "Study Input file";

// Every run option this solver accepts; some are read only in some cases ("useBaseline"
// only without the command line's dontUseBaseline).
constexpr const char* kRunOptionNames[] = {
    "outputMigrationData",   "turnOffHashing",         "reevaluateDesigns",
    "suppressOutputFiles",   "captureOutput",          "usingTcsh",
    "overwriteResults",      "useBaseline",            "turnOnMemManagement",
    "baselineIsAGoodDesign", "disableHistory",         "verbose",
    "reevaluateErrorDesigns", "dontStopOnDesignErrors", "readDesignResultsFromDisk",
    "scriptingVerboseMode",  "saveHistoryForEachEval", "noFolderWithoutAnalysis",
    "structedInitialization", "maxThreads",            "newpopFitnessContribution",
};

void applyRunOptions(const Record& record) {
  RunSettings& s = run.settings;
  RunOptions& o = study.options;
  std::string value, reason;
  auto read = [&](const char* key, int& out) {
    if (getProperty(kStudyFileLabel, record, key, value, false, reason) != 0) {
      out = std::atoi(value.c_str());
      return true;
    }
    return false;
  };
  int v = 0;
  read("outputMigrationData", o.structuredInitialization);
  if (read("turnOffHashing", v)) o.hashingEnabled = !v;
  read("reevaluateDesigns", o.reevaluateDesigns);
  // Two run options that have no effect on this system are said so once (the options are
  // applied twice).
  static bool toldSuppress = false, toldTcsh = false;
  if (read("suppressOutputFiles", o.suppressOutputFiles) && o.suppressOutputFiles != 0 &&
      !toldSuppress) {
    toldSuppress = true;
    writeMessage("outptr|stderr", "warning",
                 "The run option \"suppressOutputFiles\" has no effect: the solver writes no "
                 "per-design output files other than the logs and the values file that the "
                 "evaluation of a design needs.");
  }
  read("captureOutput", o.captureOutput);
  if (read("usingTcsh", v) && o.captureOutput != 0 && v == 1) {
    o.captureOutput = 2;
    if (!toldTcsh) {
      toldTcsh = true;
      writeMessage("outptr|stderr", "warning",
                   "The run option \"usingTcsh\" has no effect: analysis commands run with "
                   "/bin/sh, whose output is captured in the same form whatever the user's "
                   "shell.");
    }
  }
  read("overwriteResults", s.overwrite);
  if (!s.dontUseBaselineGiven) {
    s.baselineSuppressed = 0;
    if (read("useBaseline", v)) s.baselineSuppressed = !v;
  }
  if (read("turnOnMemManagement", v)) s.plainFreeing = !v;
  read("baselineIsAGoodDesign", s.baselineInSearch);
  read("disableHistory", s.historyDisabled);
  read("verbose", s.verbose);
  read("reevaluateErrorDesigns", s.reEvalErrDesigns);
  read("dontStopOnDesignErrors", s.skipEvalCheck);
  read("readDesignResultsFromDisk", o.readDesignResultsFromDisk);
  read("scriptingVerboseMode", o.scriptingVerbose);
  read("saveHistoryForEachEval", o.saveHistoryForEachEval);
  read("noFolderWithoutAnalysis", o.noFolderWithoutAnalysis);
  read("structedInitialization", o.structuredInitialization);
  if (getProperty(kStudyFileLabel, record, "maxThreads", value, false, reason) != 0) {
    int threads = 0;
    o.maxThreads = getInt(kStudyFileLabel, record, "maxThreads", threads, false, reason) != 0
                       ? threads
                       : 0;
  }
  if (getProperty(kStudyFileLabel, record, "newpopFitnessContribution", value, false, reason) !=
      0) {
    s.newpopFitnessStart = getCommaField(0, record.keywordLine, kStudyFileLabel, value);
    s.newpopFitnessFinal = getCommaField(1, record.keywordLine, kStudyFileLabel, value);
  }
}

}  // namespace

void readRunOptionsFirst() {
  FileHandle* file = run.studyFile;
  rewindFile(file);
  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
  freeRecord(preamble);
  while (!keyword.empty() && !isKeyword(keyword, "*END")) {
    const std::string current = keyword;
    Record record = readRecord(file, keyword, lineCounter, endOfFile);
    RecordScope scope(record);
    if (isKeyword(current, "*RUN_OPTIONS")) {
      applyRunOptions(record);
      break;
    }
  }
  rewindFile(file);
}

// ---------------------------------------------------------------------------------------
// The study file

namespace {

constexpr int kMaxFolderLength = 1656;

void applyStudyMode(const std::string& word) {
  static const char* const modes[] = {"newStudy",       "resume",         "retraceResume",
                                      "extend",         "checkSetup",     "runDesignFiles",
                                      "writeDesignFiles", "noEvaluations"};
  int mode = -1;
  for (int code = 0; code < 8; ++code) {
    if (word == modes[code]) mode = code;
  }
  switch (mode) {
    case 0:
      if (run.settings.useHistory) {
        writeMessage("outptr", "warning",
                     "Since the \"useHistory\" command line option was specified, the study will "
                     "be treated as a resumed study instead of a new study.");
        study.resume = 1;
      } else {
        study.resume = 0;
      }
      break;
    case 1: study.resume = 1; break;
    case 2: study.resume = 1; study.retrace = 1; break;
    case 3: study.extending = 1; break;
    case 4: run.settings.checkSetup = 1; break;
    case 5: break;
    case 6:
    case 7: run.settings.designFilesOnly = 1; break;
    default: return;  // other words change nothing
  }
  for (Agent& agent : agents) agent.studyMode = mode;
}

void readStudyRecord(const Record& record) {
  run.runPrefix = "KARVO";
  study.extendedRunPrefix.clear();
  study.extending = 0;
  study.options.saveHistoryForEachEval = 0;
  study.options.scriptingVerbose = 0;

  DefinitionContext ctx{&record, kStudyFileLabel, "Study"};
  ctx.objectName = "Name not defined yet";
  study.name = requireString(ctx, "name");
  ctx.objectName = study.name;
  // The name names files in the study folder (the run's log among them, which a new run
  // deletes): a path separator would reach outside it.
  if (study.name.find(platform::kPathSeparator) != std::string::npos) {
    fatalError(definitionError(ctx.objectName, ctx.recordLabel, ctx.fileLabel, "name",
                               formatText("The study name \"%s\" names a folder. It may not "
                                          "contain \"%c\".",
                                          study.name.c_str(), platform::kPathSeparator)));
  }
  run.studyName = study.name;
  study.startAgent = requireInt(ctx, "startAgent");
  study.endAgent = requireInt(ctx, "endAgent");
  run.runPrefix = requireString(ctx, "filePrefix");
  // The prefix names files in the study folder (reports, lock files, evaluation folders): a
  // path separator would put them somewhere else.
  if (run.runPrefix.find(platform::kPathSeparator) != std::string::npos) {
    fatalError(definitionError(ctx.objectName, ctx.recordLabel, ctx.fileLabel, "filePrefix",
                               formatText("The file prefix \"%s\" names a folder. It may not "
                                          "contain \"%c\".",
                                          run.runPrefix.c_str(), platform::kPathSeparator)));
  }
  double seed = requireDouble(ctx, "randomSeed");
  checkRealRange(ctx, "randomSeed", seed, 0.0, 1.0);
  study.randomSeed = static_cast<float>(seed);
  study.nParallel = optionalInt(ctx, "nParallel", 1);
  study.parallel = study.nParallel >= 2 ? 1 : 0;

  const int last = static_cast<int>(agents.size()) - 1;
  if (study.startAgent > last || study.endAgent > last) {
    fatalError(formatText("Illegal value for starting (%d) or finishing (%d) agent number defined "
                          "in the study file; must be <= %d",
                          study.startAgent, study.endAgent, last));
  }
  if (study.startAgent < 0) {
    fatalError(formatText("Illegal value for starting agent number (%d) defined in the study "
                          "file. Must be greater than or equal to zero.",
                          study.startAgent));
  }
  if (study.endAgent < 0) {
    fatalError(formatText("Illegal value for finishing agent number (%d) defined in the study "
                          "file. Must be between 0 and %d.",
                          study.endAgent, last));
  }
  if (study.startAgent > study.endAgent) {
    fatalError(formatText("The ending agent number (%d) defined in the study file must be "
                          "greater than starting agent (%d).",
                          study.endAgent, study.startAgent));
  }
  run.startAgent = study.startAgent;
  run.finalAgent = study.endAgent;
  if (run.runStartAgent < 0) run.runStartAgent = study.startAgent;
  applyStudyMode(requireString(ctx, "mode"));
  warnUnknownProperties(ctx);
}

// A path of the agent record: absolute when it starts with "/" (or names a drive, "C:..."),
// else relative to the working directory.
std::string agentFolder(const DefinitionContext& ctx, const char* name) {
  std::string value = optionalString(ctx, name, "");
  if (value.empty()) return "";
  if (static_cast<int>(value.size()) > kMaxFolderLength) {
    fatalError(formatText("Error in the definition of the evaluation folder. The defined path "
                          "(%s) is too long. Max length for the folder is %d. Exiting.",
                          value.c_str(), kMaxFolderLength));
  }
  std::string folder = value[0] == '/' || (value.size() >= 4 && value[1] == ':')
                           ? value
                           : platform::joinPath(run.workingDirectory, value);
  // The folder is deleted or moved away with the earlier results at the next start: the study
  // folder, or one that holds it, would go with them.
  if (platform::folderContains(folder, run.workingDirectory)) {
    fatalError(definitionError(
        ctx.objectName, ctx.recordLabel, ctx.fileLabel, name,
        formatText("The folder \"%s\" is the study folder or holds it. A new run moves or "
                   "deletes this folder with the earlier results, so it must be a folder of its "
                   "own, inside or outside the study folder.",
                   value.c_str())));
  }
  return folder;
}

int wordCode(const std::string& word, std::initializer_list<const char*> words) {
  int code = 0;
  for (const char* candidate : words) {
    if (word == candidate) return code;
    ++code;
  }
  return 0;  // other words keep the default
}

// Every property of an agent record of the study file: its own and those of every method's
// settings, of which the reader looks up only the agent's method's.
constexpr const char* kAgentRecordNames[] = {
    "id", "method", "numEvals", "numEvalsTotal", "outputPrecision", "controlOutput",
    "structuredInitialization", "reinitializeOptions", "evaluationDirectory", "postDirectory",
    "terminationCondition", "saveDesigns", "evaluateInitialPopDuringInjection",
    "saveErrorDesigns", "visualizationFile", "continueDesigns",
    // method settings
    "LHCOTimeLimit", "archiveSize", "breedingSize", "controlSampleMethod", "crossoverRate",
    "crossoverType", "dataCopy", "endTemp", "genRSMAfterStudy", "generationsPerCycle",
    "generator", "globalBest", "gradStepSize", "gradientMethod", "localBest", "maxIters",
    "mutationRate", "mutationType", "neighborhoodSize", "noiseSampleMethod", "numCycles",
    "numDesigns", "numExtraEvals", "numFactors", "numGen", "numIter", "numIters", "numLevels",
    "numLineSearches", "numTemps", "personalBest", "populationSize", "sampleMethod",
    "selectionParameter", "selectionType", "shutOff", "simplexSize", "startTemp",
    "scalingWindow", "startingDesign", "steadyState", "surfaceType", "taguchiArray"};

void readAgentRecord(const Record& record, std::span<const MethodEntry> methods) {
  DefinitionContext ctx{&record, kStudyFileLabel, "Agent"};
  int id = requireInt(ctx, "id");
  Agent* agent = findAgent(id);
  if (!agent) {
    fatalError(formatText("The agent record with id %d in the study file names an agent that "
                          "is not defined in the Assembly.in file.",
                          id));
  }
  ctx.objectName = agent->name;
  agent->haveStudyRecord = true;
  agent->recordText = recordText(record);
  readMethodSettings(ctx, agent->type, agent->method, methods);

  agent->numEvals = optionalInt(ctx, "numEvals", agent->numEvals);
  agent->numEvalsTotal = optionalInt(ctx, "numEvalsTotal", agent->numEvalsTotal);

  agent->outputPrecision = optionalInt(ctx, "outputPrecision", agent->outputPrecision);
  if (agent->outputPrecision < 3) {
    fatalError(formatText("Error in the definition of the study results output precision. The "
                          "defined value (%d) is too small. It must be at least %d. ",
                          agent->outputPrecision, 3));
  }
  if (agent->outputPrecision >= 31) {
    fatalError(formatText("Error in the definition of the study results output precision. The "
                          "defined value (%d) is too large. It must be smaller than %d. ",
                          agent->outputPrecision, 30));
  }
  if (agent->outputPrecision <= 9) {
    writeMessage("outptr", "warning",
                 formatText("The value for the study results output precision defined (%d) is "
                            "very small. This may lead to loss in precision of the data during "
                            "post processing and importing designs into other studies. Please "
                            "use a higher value (at least %d), if possible. ",
                            agent->outputPrecision, 10));
  }

  std::string value, reason;
  if (getProperty(kStudyFileLabel, record, "controlOutput", value, false, reason) != 0) {
    std::vector<std::string> fields = commaFields(value);
    double count = 0, fraction = 0;
    if (fields.size() < 2 || !isNumber(fields[0], &count) || !isNumber(fields[1], &fraction)) {
      fatalError(definitionError(ctx.objectName, ctx.recordLabel, ctx.fileLabel, "controlOutput",
                                 formatText("The read value \"%s\" could not be converted into "
                                            "an integer and a double.",
                                            value.c_str())));
    }
    checkMinimum(ctx, "controlOutput", static_cast<int>(count), 1);
    checkRealRange(ctx, "controlOutput", fraction, 0.0, 1.0);
    agent->controlOutput = 1;
    agent->controlOutputCount = static_cast<int>(count);
    agent->controlOutputFraction = fraction;
  }
  agent->structuredInitialization = optionalInt(ctx, "structuredInitialization", 0);
  if (getProperty(kStudyFileLabel, record, "reinitializeOptions", value, false, reason) != 0) {
    agent->reinitializeOptions.clear();
    for (const std::string& field : commaFields(value)) {
      double number = 0;
      if (!isNumber(field, &number)) {
        fatalError(definitionError(ctx.objectName, ctx.recordLabel, ctx.fileLabel,
                                   "reinitializeOptions",
                                   formatText("The read value \"%s\" could not be converted into "
                                              "a double.",
                                              field.c_str())));
      }
      agent->reinitializeOptions.push_back(number);
    }
    if (agent->reinitializeOptions.size() >= 2) {
      agent->reinitializeOptions[1] /= 100.0;
      checkRealRange(ctx, "reinitializeOptions", agent->reinitializeOptions[1], 0.0, 1.0);
    }
    if (agent->reinitializeOptions.size() >= 3) {
      checkIntRange(ctx, "reinitializeOptions", static_cast<int>(agent->reinitializeOptions[2]),
                    0, 1);
    }
  }

  agent->evaluationFolder = agentFolder(ctx, "evaluationDirectory");
  agent->postFolder = agentFolder(ctx, "postDirectory");

  agent->terminationCondition = optionalString(ctx, "terminationCondition", "");
  if (agent->terminationCondition.compare(0, 7, "REMOTE:") == 0) {
    fatalError("The termination condition can only be executed on the local machine. Please "
               "correct this in the setup before running the study");
  }
  if (getProperty(kStudyFileLabel, record, "saveDesigns", value, false, reason) != 0) {
    agent->saveDesigns = wordCode(value, {"LatestBest", "AllBest", "All", "None"});
  }
  int inject = 1;
  if (getInt(kStudyFileLabel, record, "evaluateInitialPopDuringInjection", inject, true,
             reason) != 0) {
    agent->evaluateInitialPopDuringInjection = inject == 0 ? 1 : 0;
  }
  if (getProperty(kStudyFileLabel, record, "saveErrorDesigns", value, false, reason) != 0) {
    agent->saveErrorDesigns = wordCode(value, {"saveAndRename", "saveOnly", "doNotSave"});
  }
  getRepeatedValues(kStudyFileLabel, record, "visualizationFile", agent->visualizationFiles,
                    false, reason);
  // The designs of the history that a resumed run takes over; checked when the history is
  // read.
  if (getProperty(kStudyFileLabel, record, "continueDesigns", value, false, reason) != 0) {
    agent->continueDesigns = trimmed(value);
  }
  warnUnknownProperties(ctx, kAgentRecordNames);

  if (id >= run.startAgent && id <= run.finalAgent && !run.settings.toolMode) createLockFile(id);
}

void writeBanner() {
  const char* border = "***************************************************\n";
  const char* empty = "**********                               **********\n";
  std::string b = "\n\t";
  auto line = [&](const std::string& text) { b += text + "\t"; };
  line(border);
  line(border);
  line(empty);
  // The version text is centred in the frame's 31 inner columns, so that the line keeps the
  // frame's 51 characters whatever the name's length.
  const std::string version = formatText("%s Version %s", kDisplayName, kFullVersion);
  const std::size_t inner = 31;
  const std::size_t pad = version.size() < inner ? inner - version.size() : 0;
  line("**********" + std::string(pad / 2, ' ') + version + std::string(pad - pad / 2, ' ') +
       "**********\n");
  line(formatText("**********           Build: %4d         **********\n", kBuildNumber));
  line("**********         Linux x86-64          **********\n");
  line("**********   Multidisciplinary design    **********\n");
  line("**********  exploration and optimisation **********\n");
  line(empty);
  line(border);
  line(empty);
  line("**********   Command-line solver for     **********\n");
  line("**********   studies run unattended      **********\n");
  line(empty);
  line(border);
  line("\n");
  line(border);
  line("**********    Directory information      **********\n");
  line(border);
  b += "**********  The working directory is:    **********\n";
  b += formatText("\t%s\n", run.workingDirectory.c_str());
  b += "\t";
  b += run.finalAgent > run.startAgent ? "**********The evaluation directories are:**********\n"
                                       : "**********  The evaluation directory is: **********\n";
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    const Agent* agent = findAgent(number);
    b += formatText("\tAgent %d: %s\n", number, agent ? agent->evaluationFolder.c_str() : "");
  }
  b += "\t";
  study.startTime = platform::timeStamp();
  b += "\n\n";
  b += "\t**********     The run start time is:    **********\n";
  b += formatText("\t**********     %s\n", study.startTime.c_str());
  b += "\n";
  writeText(outptr, b);
  flushFile(outptr);
}

}  // namespace

// Fills the folders the study file left empty, once the run prefix is final.
void applyDefaultAgentFolders() {
  for (Agent& agent : agents) {
    if (agent.evaluationFolder.empty()) {
      agent.evaluationFolder = formatText("%s%c%s_%d", run.workingDirectory.c_str(),
                                          platform::kPathSeparator, run.runPrefix.c_str(),
                                          agent.number);
    }
    if (agent.postFolder.empty()) {
      agent.postFolder = formatText("%s%cPOST_%d", run.workingDirectory.c_str(),
                                    platform::kPathSeparator, agent.number);
    }
  }
}

void readStudyFile(std::span<const MethodEntry> methods) {
  FileHandle* file = run.studyFile;
  // The study record is found first, wherever it stands.
  rewindFile(file);
  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  bool found = false;
  {
    Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
    freeRecord(preamble);
    while (!keyword.empty()) {
      const std::string current = keyword;
      Record record = readRecord(file, keyword, lineCounter, endOfFile);
      RecordScope scope(record);
      if (isKeyword(current, "*STUDY")) {
        readStudyRecord(record);
        found = true;
        break;
      }
    }
  }
  if (!found) fatalError("No study definition found in the study input file");
  // The lock files and default folders are named by the final prefix.
  if (run.runPrefix.empty()) {
    run.runPrefix = study.extending && !study.extendedRunPrefix.empty() ? study.extendedRunPrefix
                                                                        : kDefaultRunPrefix;
  }

  rewindFile(file);
  lineCounter = 0;
  endOfFile = false;
  Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
  freeRecord(preamble);
  while (!keyword.empty()) {
    const std::string current = keyword;
    if (isKeyword(current, "*END")) break;
    Record record = readRecord(file, keyword, lineCounter, endOfFile);
    RecordScope scope(record);
    if (isKeyword(current, "*RUN_OPTIONS")) {
      applyRunOptions(record);
      DefinitionContext ctx{&record, kStudyFileLabel, "Run options of the study"};
      ctx.objectName = study.name;
      warnUnknownProperties(ctx, kRunOptionNames);
    } else if (isKeyword(current, "*AGENT")) {
      readAgentRecord(record, methods);
    } else if (isKeyword(current, "*EXTENSION")) {
      DefinitionContext ctx{&record, kStudyFileLabel, "Extension"};
      study.extensions.push_back(requireString(ctx, "name"));
      ctx.objectName = study.extensions.back();
      warnUnknownProperties(ctx);
    }
  }
  closeFile(file);
  run.studyFile = nullptr;

  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    const Agent* agent = findAgent(number);
    if (agent && !agent->haveStudyRecord) {
      fatalError(formatText("The study file has no *AGENT record for agent %d (\"%s\"), which is "
                            "in the range of agents to run.",
                            number, agent->name.c_str()));
    }
  }
  applyDefaultAgentFolders();
  writeBanner();
}

}  // namespace karvo
