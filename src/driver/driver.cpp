// The run driver: mode choice, the start-up order and the closing steps shared by every
// controlled end. Runs once per process; nothing here is on a hot path.
#include "driver/driver.h"
#include "driver/study_tools.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <cstdint>
#include <map>
#include <set>

#include "definitions/method_settings.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "driver/check_performance.h"
#include "driver/command_line.h"
#include "driver/method_table.h"
#include "search/genetic.h"
#include "search/pareto_file.h"
#include "surrogates/study_surfaces.h"
#include "base/messages.h"
#include "base/progress.h"
#include "base/run_exit.h"
#include "base/random.h"
#include "base/run_state.h"
#include "base/run_files.h"
#include "driver/working_directory.h"
#include "evaluation/agent_results.h"
#include "evaluation/app_access.h"
#include "evaluation/history_file.h"
#include "evaluation/user_designs.h"
#include "evaluation/dependents.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/analysis_run.h"
#include "evaluation/formula.h"
#include "evaluation/resource_use.h"
#include "evaluation/run_interaction.h"
#include "definitions/process_file.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "results/checkpoint.h"
#include "results/report.h"
#include "results/run_page.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"

namespace karvo {

namespace {

constexpr std::size_t kMaxWorkingDirectory = 258;  // this length and longer are refused

// Reads the study's definition files, in the order in which they refer to one another:
// Assembly.in, the run options of the study file (when there is one: a check-performance run
// has none), Definitions.in, the representation, process and performance files of the agents.
void readStudyDefinitions() {
  readAssembly();
  // The run options apply before the other files are read (verbose, for one, must be on
  // while the representation files are read).
  if (run.studyFile) readRunOptionsFirst();
  readDefinitions();
  std::set<int> representationNumbers, processNumbers;
  std::map<int, bool> performanceNumbers;  // number -> used by a reliability agent
  for (const Agent& agent : agents) {
    representationNumbers.insert(agent.representation);
    if (agent.process != kUndefined) processNumbers.insert(agent.process);
    performanceNumbers[agent.performance] =
        performanceNumbers[agent.performance] || agent.type == kAgentReliability;
  }
  for (int number : representationNumbers) readRepresentationFile(number);
  validateRelationships();
  for (int number : processNumbers) readProcessFile(number);
  for (const auto& [number, reliability] : performanceNumbers) {
    readPerformanceFile(number, reliability);
  }
}


// Design-variable counts of an agent's representation (active variables and continuous ones).
void countDesignVariables(const Agent& agent, int& total, int& continuous) {
  total = 0;
  continuous = 0;
  if (const Representation* representation = findRepresentation(agent.representation)) {
    total = representation->num_dvar;
    for (const VariableSlot& slot : representation->slots) {
      if (slot.kind == kSlotContinuous) ++continuous;
    }
  }
}

void prepareRun() {
  int largest = 0;
  for (Agent& agent : agents) {
    int total = 0, continuous = 0;
    countDesignVariables(agent, total, continuous);
    largest = std::max(largest, total);
    if (agent.haveStudyRecord) {
      MethodRunFacts facts;
      facts.agentNumber = agent.number;
      facts.studyName = study.name;
      facts.designVariables = total;
      facts.continuousVariables = continuous;
      facts.batchSize = std::max(1, study.nParallel);
      facts.performanceNumber = agent.performance;
      if (const PerformanceDefinition* performance = findPerformance(agent.performance)) {
        facts.objectives = performance->objectiveCount;
      }
      completeMethodSettings(facts, agent.method, methodTable());
    }
  }
  definitions.maxDesignVariables = std::max(definitions.maxDesignVariables, largest);
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    const Agent* agent = findAgent(number);
    if (!agent || agent->type == kAgentReliability) continue;
    int total = 0, continuous = 0;
    countDesignVariables(*agent, total, continuous);
    if (total < 1) fatalError("\nNumber of design variables cannot be less than 1.");
  }
  if (definitions.maxDesignVariables < 1) {
    fatalError("\nMaximum number of design variables cannot be less than 1.");
  }

  checkBackupFolderPlace();
  if (run.settings.overwrite) {
    if (study.extending) {
      fatalError("Cannot use \"overwrite\" command line option when extending a run.");
    }
    run.settings.overwrite = 0;
    deletePreviousResults();
  } else if (run.settings.postNoEval) {
    preparePostOnly();
  } else {
    const Agent* first = findAgent(run.startAgent);
    const int mode = first ? first->studyMode : 0;
    if (mode != 5 && mode != 6) backupPreviousResults();
  }
  const std::string oldLog = formatText("%s%c%s.log", run.workingDirectory.c_str(),
                                        platform::kPathSeparator, run.studyName.c_str());
  if (platform::pathExists(oldLog)) runCleanupCommand(CleanupAction::Remove, oldLog);
  writeReports();
}

void endRunOnStopSignal();

// The links of a multi-agent component study ("Vantrel_Interfaces.in") are not read by this
// solver: its agents would run unlinked, which is not the study the file describes.
void refuseComponentLinks() {
  const std::string file =
      platform::joinPath(run.workingDirectory, "Vantrel_Interfaces.in");
  if (!platform::pathExists(file)) return;
  fatalError(formatText("The study folder holds the component links file \"%s\". Component "
                        "studies, whose agents are linked through that file, cannot be run by "
                        "this solver: its agents would run unlinked. Remove the file to run "
                        "the agents as separate agents.",
                        file.c_str()));
}

// The designs handed to an evaluation agent in its user designs files are evaluated as one
// batch (those with results, and those already stored, are only stored).
void evaluateHandedDesigns(Agent& agent, const EvaluationServices& services) {
  AgentResults& results = agentResults(agent);
  UserDesignSet set = readUserDesigns(agent, results);
  if (!set.toEvaluate.empty()) {
    evaluateDesigns(agent, set.toEvaluate, services);
  } else if (results.history.count != results.entriesWritten) {
    writeHistory(agent, results);
  }
  renameUserDesignsFiles(agent, set);
}

// An evaluation agent's turn: the designs handed to it, then, as long as an agent linked to
// it still runs in another solver process, a look every 60 seconds for more. Files added
// while the run goes on are also read in the agent's next cycle.
void runEvaluationAgent(Agent& agent, const EvaluationServices& services) {
  evaluateHandedDesigns(agent, services);
  bool told = false;
  while (evaluationAgentWaits(agent)) {
    if (!told) {
      writeMessage("outptr", "note",
                   formatText("Agent %d (\"%s\") waits for more designs while the agents linked "
                              "to it run in another solver process; it looks for new user "
                              "designs files every 60 seconds.",
                              agent.number, agent.name.c_str()));
      told = true;
    }
    // The wait ends early only for a stop signal (or a child's end, after which it goes on).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until && platform::stopSignal() == 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      platform::waitForChildExitOrTimeout(static_cast<int>(std::max<long long>(left.count(), 1)));
    }
    endRunOnStopSignal();
    evaluateHandedDesigns(agent, services);
  }
}

// At an agent's first turn of a resumed or extended run: its history is read back, so that
// none of its stored designs is evaluated again and its design numbers go on.
void readAgentHistory(Agent& agent) {
  AgentResults& results = agentResults(agent);
  if (results.historyRead) return;
  results.historyRead = true;
  if (study.resume || study.extending) readHistory(agent, results);
}

// One agent's turn in a cycle. Check-setup agents evaluate their baseline design; every
// other agent runs the runner of its method's entry in `methods` (one cycle of a search, the
// whole study of a design of experiments or a reliability method). Evaluation agents evaluate
// the designs handed to them whatever method their record names; that run joins here, until
// then such a turn ends with the note of an unavailable method, as does a method without a
// runner.
void runAgentTurn(Agent& agent, std::span<const MethodEntry> methods,
                  const EvaluationServices& services) {
  if (agent.type == kAgentCheckSetup) {
    // The baseline design goes through the whole evaluation flow (a failing baseline ends
    // the run there) and its outcome is reported.
    std::vector<Design> designs{baselineDesign(agent)};
    evaluateDesigns(agent, designs, services);
    writeMessage("outptr|stdout", "note", checkSetupReport(agent, designs.front()));
    agent.runState = 2;
    return;
  }
  if (agent.type == kAgentEvaluation) {
    runEvaluationAgent(agent, services);
    return;
  }
  const MethodEntry* entry = findMethodEntry(methods, agent.method.code);
  if (!entry || !entry->runCycle) {
    if (run.currentCycle == 0) writeMethodUnavailableNote(agent);  // said once
    return;
  }
  entry->runCycle(agent, services);
}

// The agents whose state a checkpoint keeps: the optimisation agents of a search method.
const MethodEntry* checkpointedMethod(const Agent& agent, std::span<const MethodEntry> methods) {
  if (agent.type != kAgentOptimization) return nullptr;
  const MethodEntry* entry = findMethodEntry(methods, agent.method.code);
  return entry && entry->family == kFamilySearch && entry->runCycle ? entry : nullptr;
}

// An extended run: every search agent in range goes on from its checkpoint. Answers per
// agent (index from the start agent) the cycles it had completed; the generator goes on
// from the state of the latest checkpoint, and agents restored need no set-up of their own.
std::vector<int> restoreCheckpoints(std::span<const MethodEntry> methods,
                                    std::vector<char>& agentSetUp) {
  std::vector<int> cyclesDone(agentSetUp.size(), 0);
  if (!study.extending || run.settings.checkSetup) return cyclesDone;
  RandomState random, latestRandom;
  int latest = -1;
  std::vector<Agent*> restored;
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    Agent* agent = findAgent(number);
    const MethodEntry* entry = agent ? checkpointedMethod(*agent, methods) : nullptr;
    if (!entry) continue;
    CheckpointRestore restore;
    restore.random = &random;
    if (readCheckpoint(*agent, entry->keepState, restore) != 1) continue;
    const std::size_t index = static_cast<std::size_t>(number - run.startAgent);
    cyclesDone[index] = restore.cyclesDone;
    agentSetUp[index] = 1;
    restored.push_back(agent);
    if (restore.cyclesDone > latest) {
      latest = restore.cyclesDone;
      latestRandom = random;
    }
  }
  if (latest >= 0) setRandomState(latestRandom);
  // A run that had ended is extended: its agents may go on as far as their settings allow
  // now (their termination rules decide again).
  if (!restored.empty() &&
      std::all_of(restored.begin(), restored.end(), [](const Agent* a) { return a->runState == 2; })) {
    for (Agent* agent : restored) agent->runState = 0;
  }
  return cyclesDone;
}

// When an agent's checkpoint was last written and how long that took.
struct CheckpointTiming {
  double lastEnd = 0.0;
  double lastSeconds = 0.0;
  bool written = false;
};

// The end of a cycle: the checkpoint of every search agent that ran in it. A cycle of cheap
// designs (formulas, a fast script) may take less time than its checkpoint: such an agent
// writes its checkpoint only once the cycles since the last one took nine times as long as
// writing it did, so that checkpoints cost at most a tenth of the run. Nothing is lost by
// that: an extension takes the designs evaluated after the checkpoint from the history
// again. The agent's last cycle is always written, and so is every cycle of an agent that
// keeps a Pareto file: the file gains a block each cycle, and an extension must find the
// file and the checkpoint of the same cycle (it would add the blocks of the cycles it runs
// again a second time).
void writeCheckpoints(std::span<const MethodEntry> methods, const std::vector<char>& ranInCycle,
                      std::vector<CheckpointTiming>& timing) {
  // (A post-processing run leaves the checkpoints of the run it post-processes as they are.)
  if (run.settings.designFilesOnly || run.settings.checkSetup || run.settings.postNoEval) return;
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    const std::size_t index = static_cast<std::size_t>(number - run.startAgent);
    Agent* agent = findAgent(number);
    if (!agent || !ranInCycle[index]) continue;
    const MethodEntry* entry = checkpointedMethod(*agent, methods);
    if (!entry) continue;
    CheckpointTiming& t = timing[index];
    const double now = platform::monotonicSeconds();
    const bool last = agent->runState == 2 || run.currentCycle + 1 >= agent->method.numCycles;
    const bool keepsFront =
        platform::pathExists(search::paretoFilePath(number, run.settings.postNoEval != 0));
    if (t.written && !last && !keepsFront && now - t.lastEnd < 9.0 * t.lastSeconds) continue;
    writePopulation(*agent, entry->keepState, run.currentCycle + 1);
    t.written = true;
    t.lastEnd = platform::monotonicSeconds();
    t.lastSeconds = t.lastEnd - now;
  }
}

// A stop signal between turns: nothing of the solver runs then, so the run ends at once.
void endRunOnStopSignal() {
  const int signal = platform::stopSignal();
  if (signal == 0) return;
  interactionSignalNote(signal, false);
  interactionEndOnSignal();
}

void runCycles() {
  const std::span<const MethodEntry> methods = methodTable();
  const EvaluationServices services = standardEvaluationServices();
  int cycles = 1;
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    if (const Agent* agent = findAgent(number)) cycles = std::max(cycles, agent->method.numCycles);
  }
  // A check-setup run evaluates each agent's baseline design once: one cycle, however many
  // the methods plan.
  run.cycles = run.settings.checkSetup ? 1 : cycles;
  std::vector<char> agentSetUp(static_cast<std::size_t>(run.finalAgent - run.startAgent + 1), 0);
  removeSolverFolderFromPath();
  const std::vector<int> cyclesDone = restoreCheckpoints(methods, agentSetUp);
  // An extended run begins with the first cycle that some agent has still to run.
  int firstCycle = run.cycles;
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    const Agent* agent = findAgent(number);
    if (!agent) continue;
    const int done = cyclesDone[static_cast<std::size_t>(number - run.startAgent)];
    if (done < std::max(agent->method.numCycles, 1)) firstCycle = std::min(firstCycle, done);
  }
  std::vector<char> ranInCycle(agentSetUp.size(), 0);
  std::vector<CheckpointTiming> checkpointTiming(agentSetUp.size());
  for (run.currentCycle = firstCycle; run.currentCycle < run.cycles; ++run.currentCycle) {
    std::fill(ranInCycle.begin(), ranInCycle.end(), 0);
    for (int number = run.startAgent; number <= run.finalAgent; ++number) {
      Agent* agent = findAgent(number);
      if (!agent) continue;
      if (run.currentCycle < cyclesDone[static_cast<std::size_t>(number - run.startAgent)]) {
        continue;
      }
      endRunOnStopSignal();
      run.currentAgent = number;
      run.currentAgentIndex = number;
      run.firstCycle = run.currentCycle == 0 ? 1 : 0;
      if (run.settings.checkSetup) agent->type = kAgentCheckSetup;
      if (run.currentCycle >= agent->method.numCycles) continue;
      if (agent->type != kAgentCheckSetup) readAgentHistory(*agent);
      if (!agentSetUp[static_cast<std::size_t>(number - run.startAgent)]) {
        // Each agent's set-up seeds the generator with the study seed (announced once), so
        // that an agent's designs depend on the seed and its own draws only.
        agentSetUp[static_cast<std::size_t>(number - run.startAgent)] = 1;
        seedRandom(&study.randomSeed, 1);
      }
      const bool baselineOnly = run.settings.checkSetup != 0;
      progressAgent(number, agent->name, run.currentCycle,
                    baselineOnly ? 1 : std::max(agent->method.numCycles, 1),
                    baselineOnly ? 1 : runpage::plannedEvaluations(*agent), agent->evaluatedDesigns,
                    agent->type != kAgentDoe && agent->type != kAgentReliability);
      if (agent->type == kAgentOptimization || agent->type == kAgentEvaluation) {
        ranInCycle[static_cast<std::size_t>(number - run.startAgent)] = 1;
        runAgentTurn(*agent, methods, services);
      } else if (agent->runState != 2) {
        runAgentTurn(*agent, methods, services);
        // A robust parameter design fits the surfaces of its derived responses itself.
        if (agent->method.genRSMAfterStudy == 1 &&
            (agent->type == kAgentDoe || agent->type == kAgentReliability) &&
            agent->method.doe.kind != kDoeRobustDesign) {
          surrogates::fitResponseSurfaces(*agent);
        }
        agent->runState = 2;
      }
      progressTurnEnd();
    }
    writeFormatted(outptr, "\n *** End of Cycle ***\n\n");
    flushFile(outptr);
    writeCheckpoints(methods, ranInCycle, checkpointTiming);
    runpage::runPageUpdate();
    endRunOnStopSignal();
  }
}

// The i= run: start-up order, run preparation, cycle loop.
void runStudy(int argc, char** argv) {
  parseCommandLine(argc, argv);
  checkEnvironment();
  flushFile(outptr);
  readStudyFolder();
  refuseComponentLinks();
  checkProcessConsistency();
  checkRepresentationResolutions();
  prepareDependentVariables();
  if (run.startAgent > run.finalAgent || run.finalAgent > static_cast<int>(agents.size())) {
    std::fputs("\n*** startpopnum or finishpopnum out of range.", stderr);
    fatalError("startpopnum or finishpopnum improper.");
  }
  if (study.randomSeed == 0.0f) {
    // The seed actually used is fixed now, so that the reports show it.
    study.randomSeed = clockDerivedSeed(static_cast<std::int64_t>(std::time(nullptr)),
                                        run.startAgent);
  }
  if (run.settings.generateReportOnly) {
    writeReports();
    removeLockFiles();
    exitRun(kExitNormal, false);
  }
  endRunOnStopSignal();
  // The remote study folders are prepared and the reservations made before earlier results
  // are moved away; a run that only writes analysis files needs neither.
  if (!run.settings.designFilesOnly) {
    prepareRemoteStudyFolders();
    startAnalysisReservations();
  }
  prepareRun();
  progressStart(platform::standardErrorIsTerminal());
  runpage::runPageStart();
  progressPageHook = [] { runpage::runPageUpdate(); };
  designNotesToMessageFile = platform::standardOutputIsTerminal();
  runCycles();
}

void runCheckPerformance(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("\n Error in the execution syntax. When using the checkPerformance option",
               stderr);
    std::fputs("\n the second argument must be specified as the performance id that needs to be "
               "checked. No other arguments are allowed.",
               stderr);
    std::fflush(stderr);
    exitRun(kExitConflictingOptions, false);
  }
  run.settings.checkPerformanceMode = 1;
  run.settings.performanceIdToCheck = std::atoi(argv[2]);
  std::string outName = platform::joinPath(run.workingDirectory, "checkPerformance.out");
  outptr = openFile(outName, "w");
  if (!outptr) {
    std::fputs("\n Error in creating the output file \"checkPerformance.out\" .", stderr);
    std::fputs("\n Exiting.", stderr);
    std::fflush(stderr);
    exitRun(kExitCommandLine, false);
  }
  // The environment as for a run (KARVO_ROOT, the extension manager that gives the portals),
  // then the study folder, without the study file, read and checked.
  checkEnvironment();
  flushFile(outptr);
  readStudyDefinitions();
  checkProcessConsistency();
  checkRepresentationResolutions();
  prepareDependentVariables();
  checkPerformanceResponses(run.settings.performanceIdToCheck);
  closeRun();
  // Its appearance tells the caller that the test has ended (fatalError makes it too).
  const std::string lock = platform::joinPath(run.workingDirectory, "checkPerformance.lck");
  if (std::FILE* file = std::fopen(lock.c_str(), "w")) std::fclose(file);
  exitRun(kExitNormal, false);
}

}  // namespace

// Reads every file of the study folder: the definition files, then the study file proper.
void readStudyFolder() {
  readStudyDefinitions();
  readStudyFile(methodTable());
  checkDoeAgentVariables();
}

std::string newBackupFolderName(int first, int last) {
  std::string base = backupFolderName(first, last, static_cast<long long>(std::time(nullptr)));
  // Two runs in the same second must not share a backup folder: the later one would replace
  // what the earlier one kept there.
  std::string name = base;
  for (int n = 1; platform::pathExists(name); ++n) name = formatText("%s_%d", base.c_str(), n);
  return name;
}

std::string backupFolderName(int first, int last, long long seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&t, &local);
  std::string name = formatText(
      "RESULTS_BACKUP_%d_%d_%02d-%02d-%02d_%02d%02d%02d%s", first, last, local.tm_mday,
      local.tm_mon + 1, local.tm_year + 1900 - 2000, local.tm_hour, local.tm_min, local.tm_sec,
      local.tm_hour >= 12 ? "PM" : "AM");
  return platform::joinPath(run.workingDirectory, name);
}

void readWorkingDirectory() {
  std::string cwd = platform::currentDirectory();
  if (cwd.empty()) std::fputs("\n*** Couldn't get cwd\n", stdout);
  if (cwd.size() > static_cast<std::size_t>(platform::kMaxPath)) cwd.resize(platform::kMaxPath);
  run.workingDirectory = cwd;
  if (cwd.size() >= kMaxWorkingDirectory) {
    std::fputs("\nError. Working directory name is too long.", stdout);
    std::fputs("\nShorten the path of the KARVO working directory", stdout);
    std::fprintf(stdout, "\nto be less than %d characters.", static_cast<int>(kMaxWorkingDirectory));
    std::fflush(stdout);
    exitRun(kExitWorkingDirectory, false);
  }
}

namespace {

// At the end of a run, for each agent some of whose designs failed in it: how many, and
// where their logs are, so that a run that ends "Complete" does not hide them.
void reportFailedDesigns() {
  for (const auto& [number, tally] : progress.tallies) {
    if (tally.failed == 0 || number < 0) continue;
    writeMessage("outptr|stderr", "warning",
                 formatText("%ld of the %ld designs that agent %d evaluated in this run failed. "
                            "The cause of each is in its design folder under %s "
                            "(Design<number>/design.log and <analysis>/analysis.log).",
                            tally.failed, tally.evaluated, number,
                            agentPostFolder(number).c_str()));
  }
}

}  // namespace

void closeRun() {
  if (run.closing) return;
  run.closing = true;
  // Each step is taken even when an earlier one fails.
  auto step = [](void (*action)()) {
    try {
      action();
    } catch (const RunExit&) {
      // Reported by fatalError; the remaining closing steps go on.
    }
  };
  step([] { saveChangedHistories(); });
  step([] { search::closeGeneticLogs(); });
  step([] { releaseApplicationAccess(); });
  step([] { endReservations(); });
  step([] { stopFormulaInterpreter(); });
  step([] { reportFailedDesigns(); });
  step([] { writeEndOfRunInformation(); });
  step([] { runpage::runPageEnd(); });
  step([] { removeLockFiles(); });
  if (outptr) closeFile(outptr);
  if (run.studyFile) {
    closeFile(run.studyFile);
    run.studyFile = nullptr;
  }
}

int runSolver(int argc, char** argv) {
  int code = kExitNormal;
  try {
    if (argc < 2) {
      std::fputs(kExpectingInputText, stderr);
      std::fputs(kCommandsText, stderr);
      exitRun(kExitCommandLine, false);
    }
    const char* mode = argv[1];
    if (std::strcmp(mode, "version") == 0) {
      printVersion();
      exitRun(kExitNormal, false);
    }
    if (std::strcmp(mode, "build") == 0) {
      std::printf("%d\n", kBuildNumber);
      exitRun(kExitNormal, false);
    }
    const bool exportMode = std::strcmp(mode, "export") == 0;
    const bool reportMode = std::strcmp(mode, "report") == 0;
    if (exportMode || reportMode || std::strcmp(mode, "plot") == 0) {
      // Commands that only read a study and its results: no run, no closing steps.
      resetRunState();
      readWorkingDirectory();
      code = exportMode   ? runExportCommand(argc, argv)
             : reportMode ? runReportCommand(argc, argv)
                          : runPlotCommand(argc, argv);
      std::fflush(stdout);
      std::fflush(stderr);
      return code & 0xFF;
    }
    const bool inputMode = std::strncmp(mode, "i=", 2) == 0;
    const bool checkMode = std::strcmp(mode, "checkPerformance") == 0;
    if (!inputMode && !checkMode) {
      std::fputs(kExpectingInputText, stderr);
      std::fputs(kCommandsText, stderr);
      exitRun(kExitCommandLine, false);
    }
    resetRunState();
    readWorkingDirectory();
    routeAnalysisMessages();
    // From here a Ctrl-C, a kill or a hang-up ends the run in order (endRunOnStopSignal).
    platform::installStopSignals();
    if (checkMode) {
      runCheckPerformance(argc, argv);
    } else {
      runStudy(argc, argv);
    }
    endRunOnStopSignal();
    closeRun();
  } catch (const RunExit& exit) {
    code = exit.code;
    if (exit.closeRun && !run.settings.toolMode) closeRun();
  }
  // Nothing the run started outlives it, unless the user asked to keep it running.
  platform::endRunProcesses();
  std::fflush(stdout);
  std::fflush(stderr);
  return code & 0xFF;
}

bool evaluationAgentWaits(const Agent& agent) {
  for (const Agent& other : agents) {
    if (other.number == agent.number) continue;
    if (other.number >= run.startAgent && other.number <= run.finalAgent) continue;
    const auto names = [](const Agent& from, int donor) {
      return std::any_of(from.links.begin(), from.links.end(),
                         [donor](const MigrationLink& link) { return link.donor == donor; });
    };
    if (!names(agent, other.number) && !names(other, agent.number)) continue;
    const std::string lock = agentFileName(other.number, ".lock");
    std::ifstream file(lock, std::ios::binary);
    if (!file) continue;
    std::ostringstream content;
    content << file.rdbuf();
    if (!lockIsStale(content.str())) return true;
  }
  return false;
}

}  // namespace karvo
