// The design evaluation flow: takes a batch of designs through every analysis of the agent's
// process to responses, statuses and scores. Called once per generation or design set; the
// loop spends its time asleep in waitForChildExitOrTimeout while analyses run for minutes.
//
// ---------------------------------------------------------------------------------------
// Job lifecycle (one job per design, analysis and loop case) and the function behind each
// transition
//
//              submitAnalysis + launchAnalysis         checkCompletion true
//     WAITING --------------------------------> RUNNING ---------------------> (complete)
//       |  |                                       |                              |
//       |  | run condition not met,                | no process, pre command      | process-
//       |  | upstream "STOP" (skipAnalysis)        | failed (failJob)             | Completed-
//       |  |                                       |                              | Analysis
//       |  v                                       v                              v
//       |  SKIPPED (state 3)                    FAILED (state 3)           COMPLETED (state 2)
//       |                                          ^                       or FAILED (state 3)
//       +-- no resource, input files, pre-update --+
//           command, portal prepare (failJob)
//
// Loop cases (an analysis inside a loop; FlowJob holds the job of its current case)
//
//     every job of the loop final for case c (advanceLoops)
//       |-- design in error, or c + 1 == cases ---------------------> loop FINISHED
//       |-- condition met and `break` set: note, cases c+1.. SKIPPED --> loop FINISHED
//       +-- otherwise: every job of the loop back to WAITING for case c + 1
//
//   The cases of a loop run one after another for each design: case c of every analysis of
//   the loop (in process order and by its dependencies), then case c + 1. This holds for
//   both `parallelType` words; designs still run side by side. The number of cases is the
//   length of the loop's `values` list (1 when it is empty or the loop is not active);
//   Case_Num is the case index + 1. With `createCaseFolders` each case runs in
//   "<analysis>.<case>", else all cases share "<analysis>"; each case has its own log in
//   "<post>/Design<n>/<analysis>.<case>". With `reuseCaseInputFiles` cases after the first
//   copy their input files from the first case's folder. The condition is looked at after
//   each case; the responses of a loop analysis are those of the last case that ran.
//
// Design lifecycle
//
//     PENDING --(every job COMPLETED or FAILED)--> finishDesign --> FINISHED (scored)
//
// Invariants
//   1. A job leaves WAITING once for each loop case and never returns to it within the case;
//      COMPLETED and FAILED are final for the case, and for the analysis once its loop is
//      FINISHED (always, outside loops). Only advanceLoops sends a job back to WAITING, for
//      the next case, and it lowers firstWaiting to keep that search start valid.
//   2. A job in RUNNING holds one count of its compute resource; every path out of RUNNING
//      (and every failure of submitAnalysis after the choice) releases it exactly once.
//   3. Every job that reaches a final state has "*ENDTIME" and "*STATUS" in its analysis log
//      (a skipped job only "*STATUS"); its status is ERROR when it failed.
//   4. A design is finished exactly once, after its last job reached a final state and
//      every loop of it is FINISHED; only then are its responses checked and scored.
//   5. The loop never spins: a pass that moved no job and finished no design, with jobs
//      running or an analysis that cannot start yet, ends in
//      platform::waitForChildExitOrTimeout (which returns at once when a child exits); a
//      pass that moved a job (submitted, ended, skipped) or finished a design is followed
//      at once by the next one, so that a freed slot is filled without waiting; each job and
//      design moves finitely often, and a pass that can move nothing with nothing running
//      fails the jobs left rather than wait forever.
//   6. When the batch is left for any reason (end, fatal error, "stop"), no job process of
//      the batch is left running unless a "stop keep" asked for it (BatchGuard,
//      pollInteraction).
//   7. While the user has paused the run no job leaves WAITING; running jobs are still
//      checked and processed.
//   8. Analyses of one loop are at the same case for a design. Outside the loop, an analysis
//      inside it counts as done (dependencies, serial order) only once its loop is FINISHED;
//      a condition that looks at it before then gets its first case's status, with the
//      warning "Referencing analysis ... from loop ... inside analysis ...".
// ---------------------------------------------------------------------------------------
#include "evaluation/evaluation_flow.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>
#include <limits>
#include <memory>
#include <unordered_map>

#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/memory.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/run_files.h"
#include "evaluation/analysis_run.h"
#include "evaluation/analysis_timing.h"
#include "evaluation/conditions.h"
#include "evaluation/dependents.h"
#include "evaluation/formula.h"
#include "definitions/process_file.h"
#include "evaluation/resource_use.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "evaluation/responses.h"
#include "evaluation/run_interaction.h"
#include "evaluation/running_log.h"
#include "evaluation/tagging.h"
#include "external/extension_manager.h"
#include "external/portal_general.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "evaluation/encoding.h"
#include "evaluation/performance.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"

namespace karvo {

namespace {

enum JobStateCode : int {
  kJobWaiting = 0,
  kJobRunning = 1,
  kJobCompleted = 2,
  kJobFinalError = 3,  // finished with an error, or skipped
};

struct FlowJob {
  int state = kJobWaiting;        // JobStateCode
  int status = kStatusNotEvaluated;  // EvaluationStatus; ERROR as soon as it fails
  std::string folder;             // run folder of the job
  ResourceChoice resource;        // compute resource held while RUNNING
  std::unique_ptr<Job> job;       // process handle; null for "nil" commands
  JobClock clock;                 // monotonic s of submission, checks and notes
  bool declaredComplete = false;  // the IO file or the finish condition ended the job: its
                                  // exit code says nothing about the analysis
  PropertiesMap portalData;       // properties handed to the portal
  int caseIndex = 0;              // loop case this job runs (0-based; 0 outside loops)
  int firstCaseStatus = kStatusNotEvaluated;  // EvaluationStatus of case 0, kept for
                                  // references from outside the loop while it runs
};

// One loop of the process as the batch runs it.
struct BatchLoop {
  const Loop* loop = nullptr;     // its definition
  std::vector<int> analyses;      // its analyses of this process, in process order
  int cases = 1;                  // number of cases: the loop's values, >= 1; 1 when inactive
  bool quitOnCondition = false;   // the `break` property asks to quit once the condition is met
};

// Where one design stands in one loop.
struct DesignLoop {
  int current = 0;                // case the loop's jobs run now, 0 .. cases - 1
  bool finished = false;          // every case ran, or the rest were skipped
};

struct FlowDesign {
  Design* design = nullptr;       // the caller's design
  int number = 0;                 // design number, >= 1
  int slot = 0;                   // position in the batch
  EvaluationContext context;      // values, folders; analysis fields set per job
  std::vector<FlowJob> jobs;      // one per analysis of the process (the current case of
                                  // an analysis inside a loop)
  std::vector<DesignLoop> loops;  // per entry of FlowBatch::loops
  bool error = false;             // the design is an error design
  bool finished = false;          // finishDesign has run
};

struct FlowBatch {
  Agent* agent = nullptr;                    // the agent whose designs these are
  Process* process = nullptr;                // null: a process without analyses
  PerformanceDefinition* performance = nullptr;  // scores the designs; null: none
  std::vector<FlowDesign> designs;           // in batch order
  bool parallel = false;                     // the process's parallel option
  std::vector<std::string> responseNames;    // every response a design produces
  bool keepJobs = false;                     // "stop keep": leave running jobs alone
  std::vector<std::size_t> firstWaiting;     // per analysis: no design before this index
                                             // has a WAITING job of it (invariant 1 keeps
                                             // it valid), so each pass starts its search
                                             // there instead of at the batch's start
  bool runningLogStale = true;               // a design finished after the running log
                                             // was last written
  std::unordered_map<std::string, std::string> definitionTexts;  // response definition
                                             // file path -> its text, read once a batch
  std::vector<BatchLoop> loops;              // the loops that list analyses of the process
  std::vector<int> loopOf;                   // per analysis: index into `loops`, -1: none
};

std::unordered_map<int, int> designCounts;  // agent number -> designs evaluated so far
std::unordered_map<int, bool> firstFinished;  // agent number -> a design of it has finished
int logAgent = 0;                           // agent whose logs the "analysis" hook names
FlowBatch* currentBatch = nullptr;          // the batch the condition services look at
bool interactionStarted = false;            // `interaction` has been set up for this run
RunInteraction interaction;                 // the user's requests, across batches

// ---------------------------------------------------------------------------------------
// Logs

std::string designLogFile(int agentNumber, int designNumber) {
  return platform::joinPath(designPostFolder(agentNumber, designNumber), "design.log");
}

// The loop case that design `designNumber` of the current batch runs now for
// `analysisName`: each case of an analysis inside a loop keeps its own log. 0 outside
// loops, and for a design or analysis the batch does not know.
int currentCase(int designNumber, const std::string& analysisName) {
  if (!currentBatch || !currentBatch->process || currentBatch->designs.empty()) return 0;
  const long slot = static_cast<long>(designNumber) - currentBatch->designs.front().number;
  if (slot < 0 || slot >= static_cast<long>(currentBatch->designs.size())) return 0;
  const int index = findAnalysis(*currentBatch->process, analysisName);
  const FlowDesign& design = currentBatch->designs[static_cast<std::size_t>(slot)];
  if (index < 0 || index >= static_cast<int>(design.jobs.size())) return 0;
  return design.jobs[static_cast<std::size_t>(index)].caseIndex;
}

std::string logPathForMessages(int designNumber, const std::string& analysisName) {
  if (analysisName.empty()) return designLogFile(logAgent, designNumber);
  return analysisLogFile(logAgent, designNumber, analysisName,
                         currentCase(designNumber, analysisName));
}

void appendToFile(const std::string& path, const std::string& text) {
  FileHandle* handle = openFile(path, "a");
  if (!handle) return;
  writeText(handle, text);
  closeFile(handle);
}

// "*KEYWORD\n<value>\n" into the analysis log of the job.
void logRecord(const FlowDesign& design, const std::string& analysis, const char* keyword,
               const std::string& value) {
  appendToFile(analysisLogFile(logAgent, design.number, analysis,
                               currentCase(design.number, analysis)),
               formatText("%s\n%s\n", keyword, value.c_str()));
}

void logNote(const FlowDesign& design, const std::string& analysis, const std::string& text,
             const char* severity = "note") {
  writeMessage("analysis", severity, text, design.number, analysis);
}

std::string clockText() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return formatText("%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
}

// ---------------------------------------------------------------------------------------
// Batch set-up

std::string formatNumber(double value) { return formatText("%20.12e", value); }

// Fills the context's values from the decoded representation and the parameter baselines,
// and answers the entries of the design values file.
std::vector<DesignValueEntry> fillDesignValues(const Design& design,
                                               const Representation& representation,
                                               EvaluationContext& context) {
  std::vector<DesignValueEntry> entries;
  // Design variables of the study that this agent's representation does not vary keep their
  // baseline values (a design of experiments over a few factors still tags all of them).
  for (const Variable& variable : definitions.variables) {
    if (variable.kind == VariableKind::Continuous) {
      context.numbers[variable.name] = variable.baseline;
    } else if (variable.kind == VariableKind::Discrete) {
      context.choices[variable.name] = variable.baselineChoice - 1;
    }
  }
  for (const VariableSlot& slot : representation.slots) {
    if (slot.kind == kSlotDiscrete) {
      const int choice = static_cast<int>(std::lround(slot.realValue));
      context.choices[slot.name] = choice;
      entries.push_back({slot.name, formatText("%10d", choice + 1)});
    } else {
      context.numbers[slot.name] = slot.realValue;
      entries.push_back({slot.name, formatNumber(slot.realValue)});
    }
  }
  // The design carries its parameter values after its variable values (drawn values of
  // robustness designs); without them the baselines apply.
  std::size_t next = static_cast<std::size_t>(std::max(0, representation.num_dvar));
  for (const Variable& variable : definitions.variables) {
    if (variable.kind == VariableKind::FixedParameter) {
      const double value = next < design.reals.size() ? design.reals[next] : variable.baseline;
      ++next;
      context.numbers[variable.name] = value;
      entries.push_back({variable.name, formatNumber(value)});
    }
  }
  for (const Variable& variable : definitions.variables) {
    if (variable.kind == VariableKind::StringParameter) {
      context.texts[variable.name] = variable.baselineText;
      entries.push_back({variable.name, variable.baselineText});
    }
  }
  return entries;
}

// Folders, values file and log headers of one design. False when its run folder cannot be
// made (the design is then an error design and runs nothing).
bool setUpDesign(FlowBatch& batch, FlowDesign& flow, const std::vector<DesignValueEntry>& values) {
  // The logs first, so that a run folder that cannot be made is told in them.
  const std::string post = designPostFolder(batch.agent->number, flow.number);
  platform::makeDirectories(post);
  if (batch.process) {
    for (std::size_t a = 0; a < batch.process->analyses.size(); ++a) {
      const Analysis& analysis = batch.process->analyses[a];
      const int cases = batch.loopOf[a] < 0 ? 1 : batch.loops[batch.loopOf[a]].cases;
      for (int c = 0; c < cases; ++c) {
        platform::makeDirectories(analysisPostFolder(batch.agent->number, flow.number,
                                                     analysis.name, c));
        FileHandle* log = openFile(
            analysisLogFile(batch.agent->number, flow.number, analysis.name, c), "w");
        if (log) {
          writeFormatted(log, "$ File type, version\nAnalysisLog, %s.%d\n", kFullVersion, 0);
          closeFile(log);
        }
      }
    }
  }
  const std::string folder = designFolder(agentFolder(batch.agent->number), flow.number);
  std::string error;
  if (!platform::isDirectory(folder) && !platform::makeDirectories(folder, &error)) {
    writeMessage("outptr|analysis", "error",
                 formatText("Evaluation directory: \n   %s \neither exists or requires KARVO to "
                            "create more than one directories.\n%s",
                            folder.c_str(), error.c_str()),
                 flow.number, "");
    return false;
  }
  FileHandle* file = openFile(
      platform::joinPath(folder, "design_variable_and_parameter_values"), "w");
  if (file) {
    writeText(file, designValuesText(values));
    closeFile(file);
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Responses

// The portal of an analysis type: the extension manager's, else the built-in General one.
Portal* portalFor(const Analysis& analysis) {
  if (ExtensionManager* manager = ExtensionManager::current()) {
    return manager->portal(analysis.solver);
  }
  static GeneralPortal general;
  return &general;
}

std::string studyPath(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  return platform::joinPath(run.workingDirectory, name);
}

std::string readWholeFile(const std::string& path) {
  FileHandle* handle = openFile(path, "r");
  if (!handle) return "";
  std::string text;
  while (char* line = readLine(handle)) {
    text += line;
    ffree(line);
  }
  closeFile(handle);
  return text;
}

// `definitionTexts`, when given, keeps the response definition files read in this batch:
// each is read once per batch instead of once per design.
PropertiesMap portalProperties(const Analysis& analysis, const std::string& folder,
                               bool jobFinished,
                               std::unordered_map<std::string, std::string>* definitionTexts =
                                   nullptr) {
  PropertiesMap map;
  map.setValue("analysisName", analysis.name);
  map.setValue("studyDir", run.workingDirectory);
  map.setValue("destDir", folder);
  int n = 1;
  for (const TaggedInputFile& file : analysis.taggedInputFiles) {
    map.setValue(formatText("InputSource%d", n), file.templateFile);
    map.setValue(formatText("InputTarget%d", n), file.target);
    ++n;
  }
  n = 1;
  for (const TaggedOutputFile& file : analysis.taggedOutputFiles) {
    map.setValue(formatText("ResponseName%d", n), file.response);
    const std::string path = studyPath(file.definition);
    if (definitionTexts) {
      auto found = definitionTexts->find(path);
      if (found == definitionTexts->end()) {
        found = definitionTexts->emplace(path, readWholeFile(path)).first;
      }
      map.setValue(formatText("ResponseDefinition%d", n), found->second);
    } else {
      map.setValue(formatText("ResponseDefinition%d", n), readWholeFile(path));
    }
    ++n;
  }
  std::string outputs;
  for (const std::string& output : analysis.outputFiles) outputs += output + "\n";
  map.setValue("outputFilenames", outputs);
  map.setValue("jobFinished", jobFinished ? "true" : "false");
  return map;
}

// Writes the message lines of a portal call to the analysis log.
void logPortalMessages(const FlowDesign& design, const std::string& analysis,
                       const PortalResult& result) {
  for (const std::string& line : result.messages) {
    if (line.rfind("ERROR:", 0) == 0) {
      logNote(design, analysis, line.substr(6), "error");
    } else if (line.rfind("WARNING:", 0) == 0) {
      logNote(design, analysis, line.substr(8), "warning");
    } else {
      logNote(design, analysis, line);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Failures downstream

void releaseJobResource(FlowDesign& design, FlowJob& job) {
  releaseComputeResource(job.resource, design.number, false);
}

// Ends a job with an error or a skip: "*ENDTIME" (unless skipped) and "*STATUS".
void endJob(FlowDesign& design, const Analysis& analysis, FlowJob& job, int status) {
  releaseJobResource(design, job);
  if (job.job) {
    if (!job.job->finished(false)) job.job->kill();
    job.job->release();
  }
  job.status = status;
  if (job.caseIndex == 0) job.firstCaseStatus = status;
  job.state = status == kStatusError || status == kStatusSkipped ? kJobFinalError
                                                                      : kJobCompleted;
  if (status == kStatusError) design.error = true;
  if (status != kStatusSkipped) logRecord(design, analysis.name, "*ENDTIME", platform::timeStamp());
  logRecord(design, analysis.name, "*STATUS", statusWord(status));
}

void skipAnalysis(FlowDesign& design, const Analysis& analysis, FlowJob& job,
                  const std::string& reason) {
  if (!reason.empty()) logNote(design, analysis.name, reason);
  markAnalysisResponsesSkipped(analysis, design.context);
  endJob(design, analysis, job, kStatusSkipped);
}

// After a failed analysis whose error mode is "STOP": every later waiting analysis of the
// design is skipped.
void stopDownstream(FlowBatch& batch, FlowDesign& design, int failedIndex) {
  const Analysis& failed = batch.process->analyses[failedIndex];
  if (!failed.stopOnError) return;
  std::string list;
  for (std::size_t a = failedIndex + 1; a < design.jobs.size(); ++a) {
    if (design.jobs[a].state == kJobWaiting) list += batch.process->analyses[a].name + "\n";
  }
  logNote(design, failed.name,
          "Detected error in this design analysis. Since the option to quit the design "
          "evaluation process if this analysis fails was selected, the following analyses will "
          "be skipped:\n" + list);
  for (std::size_t a = failedIndex + 1; a < design.jobs.size(); ++a) {
    if (design.jobs[a].state != kJobWaiting) continue;
    skipAnalysis(design, batch.process->analyses[a], design.jobs[a],
                 formatText("This analysis will be skipped since the upstream analysis \"%s\" "
                            "had an error.",
                            failed.name.c_str()));
  }
}

void failJob(FlowBatch& batch, FlowDesign& design, int index, const std::string& error) {
  const Analysis& analysis = batch.process->analyses[index];
  if (!error.empty()) logNote(design, analysis.name, error, "error");
  endJob(design, analysis, design.jobs[index], kStatusError);
  stopDownstream(batch, design, index);
}

// ---------------------------------------------------------------------------------------
// Commands around the analysis

// Runs a pre or post command and waits. Answers 1 when it passed, 0 on a wrong exit code
// (`code` holds it), -1 when no process could be created or its folder not resolved.
int runStep(const CommandStep& step, CommandKind kind, EvaluationContext& context, int& code) {
  ResolvedPath folder = resolveCommandFolder(step, context);
  if (!folder.ok) return -1;
  CommandRequest request;
  request.kind = kind;
  request.command = step.command;
  request.folder = folder.path;
  request.side = RunSide::kLocal;
  request.wait = true;
  CommandLaunch launch = runCommand(request, context);
  if (!launch.job) return -1;
  code = launch.job->exitCode();
  launch.job->release();
  if (step.expectedCode != kNoReturnCheck && code != step.expectedCode) return 0;
  return 1;
}

// ---------------------------------------------------------------------------------------
// Submission and launch

void prepareContext(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  EvaluationContext& context = design.context;
  context.analysisName = analysis.name;
  context.analysis = &analysis;
  context.caseIndex = design.jobs[index].caseIndex;
  context.analysisPath = analysisFolder(batch.agent->number, design.number, analysis.name,
                                        context.caseIndex);
  context.jobName.clear();
  context.jobId.clear();
  context.jobResource.clear();
}

// The input files of the job. A later case of a loop that reuses its input files takes them
// from the first case's run folder (in a loop without case folders they are already in
// place), so a source that changed or went away after the first case does not matter.
bool copyInputFiles(FlowBatch& batch, FlowDesign& design, int index, const std::string& folder) {
  const Analysis& analysis = batch.process->analyses[index];
  const int loop = batch.loopOf[index];
  const int caseIndex = design.jobs[index].caseIndex;
  const bool reuse = loop >= 0 && caseIndex > 0 && batch.loops[loop].loop->reuseCaseInputFiles;
  const std::string firstCaseFolder =
      reuse ? analysisFolder(batch.agent->number, design.number, analysis.name, 0) : "";
  if (reuse && platform::isDirectory(folder) && firstCaseFolder == folder) return true;
  for (const InputFile& file : analysis.inputFiles) {
    if (!file.copy) continue;
    const std::string name =
        file.target.empty() ? platform::joinPath("", file.name).substr(1) : file.target;
    ResolvedPath source;
    if (reuse) {
      source.ok = true;
      source.path = platform::joinPath(firstCaseFolder, name);
    } else {
      source = resolveInputSource(file.name, PathMode::kPathWithFilename, design.context);
    }
    if (!source.ok) return false;
    const std::string target = platform::joinPath(folder, name);
    std::string error;
    if (!platform::copyFile(source.path, target, &error)) {
      logNote(design, analysis.name,
              formatText("Could not copy the input file \"%s\" to \"%s\": %s", source.path.c_str(),
                         target.c_str(), error.c_str()),
              "error");
      return false;
    }
  }
  return true;
}

// launchAnalysis: pre-analysis command, then the analysis command through the job
// controller. False when the analysis failed (already ended through failJob).
bool launchAnalysis(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  if (analysis.noExecution) {
    logNote(design, analysis.name,
            "No execution being performed for this analysis, since the execution command is "
            "\"nil\".");
    job.state = kJobRunning;
    job.clock = timingSubmitted(platform::monotonicSeconds(), true);
    return true;
  }
  if (run.settings.verbose) {
    logNote(design, analysis.name,
            formatText("Finished updating model. Starting submission of analysis command at %s.",
                       clockText().c_str()));
  }
  // The internal variables of this job were exported by submitAnalysis, and nothing since
  // (input files, pre-update command, portal prepare) changes the values they come from:
  // exporting them again would only repeat a few dozen setenv calls per job.
  const ComputeResource* resource = contextResource(design.context);
  if (isRemoteResource(resource)) {
    std::unique_ptr<RemoteProfile> profile = openRemoteProfile(resource, design.context);
    if (!profile || !createRemoteAnalysisFolder(*profile, design.context) ||
        !copyAnalysisFilesToRemote(*profile, design.context)) {
      failJob(batch, design, index,
              "The analysis files could not be copied to the remote machine. This design "
              "analysis will be marked as error.");
      return false;
    }
  }
  if (!analysis.preAnalysis.command.empty()) {
    logNote(design, analysis.name, "Running pre analysis command.");
    int code = -1;
    const int outcome =
        runStep(analysis.preAnalysis, CommandKind::kPreAnalysis, design.context, code);
    if (outcome != 1) {
      std::string text =
          outcome == 0
              ? formatText("The return value (%d) for the pre analysis command did not match the "
                           "specified value (%d). This design analysis will be SKIPPED and the "
                           "design marked as an error.",
                           code, analysis.preAnalysis.expectedCode)
              : std::string("Error in creating and executing the process for the pre command. "
                            "This design analysis will be marked as error.");
      logNote(design, analysis.name, text, "error");
      logNote(design, analysis.name,
              "The execution of this analysis is being skipped since the pre analysis command "
              "resulted in an error.");
      failJob(batch, design, index, "");
      return false;
    }
  }
  writeMessage("stdout", "note",
               formatText("Evaluating design #: %d  Analysis: %s", design.number,
                          analysis.name.c_str()));
  logRecord(design, analysis.name, "*CMD_STARTTIME", platform::timeStamp());
  logNote(design, analysis.name, "Running the analysis command.");
  CommandRequest request;
  request.kind = CommandKind::kAnalysis;
  request.command = analysis.command;
  request.folder = job.folder;
  request.logging = analysis.captureAnalysisOutput != 0;
  CommandLaunch launch = runCommand(request, design.context);
  if (!launch.job) {
    failJob(batch, design, index, "");
    return false;
  }
  job.job = std::move(launch.job);
  job.state = kJobRunning;
  job.clock = timingSubmitted(platform::monotonicSeconds(), !job.job->queued());
  design.context.jobName = job.job->jobName();
  design.context.jobId = job.job->jobId();
  return true;
}

// submitAnalysis: folders, input files, pre-update command, tagged files through the portal,
// then launchAnalysis. The compute resource has been chosen by the caller.
void submitAnalysis(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  prepareContext(batch, design, index);
  if (job.resource.resource >= 0) {
    design.context.jobResource = computeResources[job.resource.resource].name;
  }
  writeMessage("stdout", "note",
               formatText("Starting submission for Design %d - Analysis %s (Time: %s)",
                          design.number, analysis.name.c_str(), clockText().c_str()));
  logNote(design, analysis.name,
          formatText("Compute resource used: %s",
                     design.context.jobResource.empty() ? "local"
                                                        : design.context.jobResource.c_str()));
  logNote(design, analysis.name, formatText("Design name: Design%d", design.number));
  logRecord(design, analysis.name, "*STARTTIME", platform::timeStamp());
  logRecord(design, analysis.name, "*COMMAND", analysis.command);
  if (analysis.captureAnalysisOutput) {
    logRecord(design, analysis.name, "*OUTPUTFILE",
              analysisLogFile(batch.agent->number, design.number, analysis.name,
                              job.caseIndex));
  }

  writeMessage("stdout", "note",
               formatText("Creating directory and files for Design %d - Analysis %s",
                          design.number, analysis.name.c_str()));
  logNote(design, analysis.name, "Creating analysis directory");
  const std::string folder = design.context.analysisPath;
  std::string error;
  if (!platform::isDirectory(folder) && !platform::makeDirectory(folder, &error)) {
    failJob(batch, design, index,
            formatText("Evaluation directory: \n   %s \neither exists or requires KARVO to "
                       "create more than one directories.\n%s",
                       folder.c_str(), error.c_str()));
    return;
  }
  ResolvedPath runFolder = resolveRunFolder(design.context);
  job.folder = runFolder.ok ? runFolder.path : folder;
  exportInternalVariables(design.context);
  if (!copyInputFiles(batch, design, index, job.folder)) {
    failJob(batch, design, index, "");
    return;
  }

  if (!analysis.preUpdate.command.empty()) {
    logNote(design, analysis.name, "Running pre update analysis command.");
    int code = -1;
    const int outcome = runStep(analysis.preUpdate, CommandKind::kPreUpdate, design.context, code);
    if (outcome != 1) {
      failJob(batch, design, index,
              outcome == 0
                  ? formatText("The return value (%d) for the pre update analysis command did "
                               "not match the specified value (%d). This design analysis will be "
                               "SKIPPED and the design marked as an error.",
                               code, analysis.preUpdate.expectedCode)
                  : std::string("Error in creating and executing the process for the pre "
                                "update command. This design analysis will be marked as "
                                "error."));
      return;
    }
  }

  Portal* portal = portalFor(analysis);
  job.portalData = portalProperties(analysis, job.folder, false, &batch.definitionTexts);
  PortalInitResult init = portal->initialize(job.portalData);
  logPortalMessages(design, analysis.name, init);
  if (!init.ok) {
    failJob(batch, design, index, "");
    return;
  }
  logNote(design, analysis.name, "Initialized the portal analysis");
  PortalResult prepared = portal->prepare(job.portalData, tagValueCallback(design.context));
  logPortalMessages(design, analysis.name, prepared);
  if (!prepared.ok) {
    failJob(batch, design, index, "");
    return;
  }
  logNote(design, analysis.name, "Prepared portal analysis");
  logNote(design, analysis.name, "Created new design files");
  launchAnalysis(batch, design, index);
}

// ---------------------------------------------------------------------------------------
// Completion

// checkCompletion: true when the job has come to an end (its "*CMD_ENDTIME" written).
bool checkCompletion(FlowBatch& batch, FlowDesign& design, int index, SleepProposal& proposal) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  const double now = platform::monotonicSeconds();
  if (interactionAnalysisIoComplete(job.folder, analysis.name, design.number, std::time(nullptr))) {
    if (job.job) logNote(design, analysis.name, interactionKillText(job.job->kill()));
    job.declaredComplete = true;
    logRecord(design, analysis.name, "*CMD_ENDTIME", platform::timeStamp());
    return true;
  }
  if (!job.job && analysis.finishCondition.empty()) {
    logRecord(design, analysis.name, "*CMD_ENDTIME", platform::timeStamp());
    return true;
  }
  const AnalysisTiming timing = timingOf(analysis);
  if (job.job && job.clock.runStartTime < 0 && !job.job->queued()) {
    timingMarkStarted(job.clock, now);
  }
  if (timingOverdue(timing, job.clock, now)) {
    logNote(design, analysis.name, timingOverdueText(analysis.name, design.number), "warning");
    logRecord(design, analysis.name, "*CMD_ENDTIME", platform::timeStamp());
    if (job.job) job.job->kill();
    return true;
  }
  timingPropose(proposal, timing, job.clock, now);
  if (!timingCheckDue(timing, job.clock, now)) return false;
  const bool note = timingProgressNoteDue(timing, job.clock, now);
  if (note) {
    logNote(design, analysis.name,
            timingProgressText(analysis.name, design.number, job.clock, now,
                               run.settings.verbose != 0, platform::nowMillis()));
  }
  timingCheckMade(job.clock, now, note);
  bool complete = false;
  if (!analysis.finishCondition.empty()) {
    complete = evaluateCondition(analysis.finishCondition, design.context, design.slot, true) == 1;
    if (complete && job.job && !job.job->finished(false)) {
      job.job->kill();
      job.declaredComplete = true;
    }
  } else {
    complete = job.job->finished(false);
  }
  if (!complete) return false;
  logNote(design, analysis.name,
          formatText("Detected analysis completion. (%d seconds since analysis start)",
                     static_cast<int>(now - job.clock.submitTime)));
  logRecord(design, analysis.name, "*CMD_ENDTIME", platform::timeStamp());
  return true;
}

// processCompletedAnalysis: post command, success check, extraction, calculated responses,
// post-extraction command, status.
void processCompletedAnalysis(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  prepareContext(batch, design, index);
  design.context.jobName = job.job ? job.job->jobName() : "";
  design.context.jobId = job.job ? job.job->jobId() : "";
  exportInternalVariables(design.context);
  writeMessage("stdout", "note",
               formatText("Detected completion of analysis \"%s\" for design %d.",
                          analysis.name.c_str(), design.number));
  if (!analysis.postAnalysis.command.empty()) {
    logNote(design, analysis.name, "Running post analysis command.");
    int code = -1;
    const int outcome =
        runStep(analysis.postAnalysis, CommandKind::kPostAnalysis, design.context, code);
    if (outcome != 1) {
      failJob(batch, design, index,
              outcome == 0 ? formatText("The return value (%d) for the post analysis command "
                                        "did not match the specified value (%d). This design "
                                        "analysis will be marked as error.",
                                        code, analysis.postAnalysis.expectedCode)
                           : std::string("Error in creating and executing the process for the "
                                         "post analysis command. This design analysis will be "
                                         "marked as error."));
      return;
    }
  }
  const ComputeResource* resource = contextResource(design.context);
  if (isRemoteResource(resource)) {
    std::unique_ptr<RemoteProfile> profile = openRemoteProfile(resource, design.context);
    if (!profile || !copyOutputFilesFromRemote(*profile, design.context)) {
      logNote(design, analysis.name,
              "Not every output file could be copied back from the remote machine.", "warning");
    }
  }
  if (job.job && !job.declaredComplete) {
    const int code = job.job->exitCode();
    if (analysis.successReturnValue != kNoReturnCheck && code != analysis.successReturnValue) {
      failJob(batch, design, index,
              formatText("The return value (%d) for the analysis command did not match the "
                         "specified value (%d). This design analysis will be marked as an "
                         "error.",
                         code, analysis.successReturnValue));
      return;
    }
    if (analysis.finishCondition.empty() && !job.job->succeeded()) {
      failJob(batch, design, index,
              "The compute resource indicated that the job was not successful. This design "
              "analysis will be marked as an error.");
      return;
    }
  }
  if (!analysis.successCondition.empty()) {
    logNote(design, analysis.name, "Performing success check");
    if (evaluateCondition(analysis.successCondition, design.context, design.slot, true) == 1) {
      logNote(design, analysis.name,
              formatText("The success check based on condition \"%s\" passed.",
                         analysis.successCondition.c_str()));
    } else {
      failJob(batch, design, index,
              formatText("The analysis did not pass the success check based on condition "
                         "\"%s\".\nThe analysis \"%s\" for design # %d did not complete "
                         "successfully.",
                         analysis.successCondition.c_str(), analysis.name.c_str(),
                         design.number));
      return;
    }
  }

  // Extraction through the portal, then the calculated responses of the analysis.
  if (!analysis.taggedOutputFiles.empty()) {
    Portal* portal = portalFor(analysis);
    job.portalData.setValue("jobFinished", "true");
    PortalResult result =
        portal->extract(job.portalData, responseExtractionCallback(design.context));
    for (const std::string& line : result.messages) {
      if (line.rfind("ERROR:", 0) != 0) logNote(design, analysis.name, line);
    }
  }
  const std::vector<std::string> missing =
      processAnalysisResponses(analysis, design.context, batch.performance);
  if (!missing.empty()) {
    logNote(design, analysis.name,
            missingAnalysisResponsesText(
                missing, analysisLogFile(batch.agent->number, design.number, analysis.name,
                                         job.caseIndex)),
            "error");
  }
  if (!analysis.postExtract.command.empty()) {
    logNote(design, analysis.name, "Running post extraction analysis command.");
    int code = -1;
    const int outcome =
        runStep(analysis.postExtract, CommandKind::kPostExtraction, design.context, code);
    if (outcome != 1) {
      failJob(batch, design, index,
              outcome == 0 ? formatText("The return value (%d) for the post extraction analysis "
                                        "command did not match the specified value (%d). This "
                                        "design analysis will be marked as error.",
                                        code, analysis.postExtract.expectedCode)
                           : std::string("Error in creating and executing the process for the "
                                         "post extraction analysis command. This design "
                                         "analysis will be marked as error."));
      return;
    }
  }
  const int status = analysisStatusOf(analysis, false, false, design.context);
  if (status == kStatusError) {
    endJob(design, analysis, job, kStatusError);
    stopDownstream(batch, design, index);
  } else {
    endJob(design, analysis, job, status);
  }
}

// ---------------------------------------------------------------------------------------
// Finishing designs

std::string variableValuesText(const FlowDesign& design) {
  std::string text;
  for (const auto& [name, value] : design.context.numbers) {
    text += formatText("\n%s = %g", name.c_str(), value);
  }
  for (const auto& [name, choice] : design.context.choices) {
    text += formatText("\n%s = %d", name.c_str(), choice + 1);
  }
  return text;
}

// True when an objective of the batch's performance definition is normalised by the
// baseline design's value and that value has not been set yet.
bool awaitsBaselineNormalisation(const FlowBatch& batch) {
  const PerformanceDefinition* definition = batch.performance;
  if (!definition) return false;
  for (int r = 0; r < definition->count; ++r) {
    if (definition->flag[r] == kResponseObjective && definition->norm[r] == kNormFromBaseline) {
      return true;
    }
  }
  return false;
}

// finishDesign: the calculated responses no analysis computed, missing responses, accept
// ranges, scoring.
void finishDesign(FlowBatch& batch, FlowDesign& flow) {
  flow.finished = true;
  Design& design = *flow.design;
  flow.context.analysisName.clear();
  flow.context.analysis = nullptr;
  if (!flow.error) calculateDesignResponses(batch.responseNames, flow.context);
  const bool complete = finishDesignResponses(flow.context, batch.performance, design);
  // A gradients file left by the analyses goes to the design's post folder.
  const std::string runFolder = designFolder(agentFolder(batch.agent->number), flow.number);
  const std::string gradients = platform::joinPath(runFolder, "KARVOGrads.info");
  if (platform::isRegularFile(gradients)) {
    const std::string postFolder = designPostFolder(batch.agent->number, flow.number);
    if (!platform::copyFile(gradients, platform::joinPath(postFolder, "KARVOGrads.info"))) {
      writeMessage("analysis", "warning",
                   formatText("KARVO could not copy the gradients information file \"%s\" from "
                              "the design folder \"%s\" to the POST folder \"%s\".",
                              "KARVOGrads.info", runFolder.c_str(), postFolder.c_str()),
                   flow.number, "");
    }
  }
  design.failed = design.failed || flow.error || !complete;
  design.status = design.failed ? kDesignError : kDesignSuccess;
  if (batch.performance) {
    std::vector<double> values;
    for (const ResponseValue& value : design.responses) {
      values.push_back(value.present && !value.values.empty()
                           ? value.values.front()
                           : std::numeric_limits<double>::quiet_NaN());
    }
    ScoringContext scoring;
    scoring.agentType = batch.agent->type;
    performance(design, *batch.performance, values, scoring);
  } else if (design.failed) {
    design.performance = kFailedPerformance;
    design.violation = kFailedViolation;
  } else {
    design.performance = 1.0;
  }
  const int word = design.status >= 0 && design.status <= 3 ? design.status : kStatusError;
  writeMessage("analysis", "note",
               formatText("Design %d evaluated. Status: %s. Performance: %g.", flow.number,
                          statusWord(word), design.performance),
               flow.number, "");
  if (flow.number == 1 && design.failed && run.settings.baselineSuppressed != 1) {
    fatalError(formatText("The baseline design evaluation for agent %d was "
                          "unsuccessful.%s\nCheck all evaluation and design input data.",
                          batch.agent->number, "") +
               variableValuesText(flow));
  }
  // The first design of the agent to come through all its analyses tells whether the set-up
  // works at all: when it failed, the run stops, unless the study asked to go on after design
  // errors and no objective still waits for a baseline value to be normalised by.
  bool& seen = firstFinished[batch.agent->number];
  if (!seen) {
    seen = true;
    if (design.failed && (!run.settings.skipEvalCheck || awaitsBaselineNormalisation(batch))) {
      fatalError("The first design to complete all analyses resulted in errors. Exiting.");
    }
  }
}

// ---------------------------------------------------------------------------------------
// The loop

// Whether analysis `upstream` of `design` is done as far as analysis `index` is concerned:
// inside one loop the two run case by case, so the current case counts; from anywhere else
// an analysis inside a loop is done only when its loop is (every case ran or was skipped).
bool upstreamDone(const FlowBatch& batch, const FlowDesign& design, int upstream, int index) {
  if (design.jobs[upstream].state < kJobCompleted) return false;
  const int loop = batch.loopOf[upstream];
  if (loop < 0 || loop == batch.loopOf[index]) return true;
  return design.loops[loop].finished;
}

// Whether every case of analysis `index` of `design` has come to a final state.
bool jobDone(const FlowBatch& batch, const FlowDesign& design, int index) {
  return design.jobs[index].state >= kJobCompleted &&
         (batch.loopOf[index] < 0 || design.loops[batch.loopOf[index]].finished);
}

bool dependenciesMet(const FlowBatch& batch, const FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  for (const Dependency& dependency : analysis.dependencies) {
    const int upstream = dependency.index >= 0 ? dependency.index
                                               : findAnalysis(*batch.process, dependency.analysis);
    if (upstream < 0) continue;
    if (dependency.cycle) {
      for (const FlowDesign& other : batch.designs) {
        if (!upstreamDone(batch, other, upstream, index)) return false;
      }
    } else if (!upstreamDone(batch, design, upstream, index)) {
      return false;
    }
  }
  return true;
}

// Whether the condition of a loop is met for the case that `design` has just ended. The
// condition is looked at in the run folder of the loop's last analysis for that case: a name
// of a defined condition is evaluated as such (afresh for every case); any other text is a
// command (tags replaced) run there by /bin/sh, met when it exits with 0.
bool loopConditionMet(FlowBatch& batch, FlowDesign& design, const BatchLoop& loop) {
  const std::string& condition = loop.loop->condition;
  if (condition.empty()) return false;
  prepareContext(batch, design, loop.analyses.back());
  if (findCondition(condition)) {
    return evaluateCondition(condition, design.context, -1, true) == 1;
  }
  exportInternalVariables(design.context);
  const std::string command = replaceTags(condition, design.context);
  const std::string folder = platform::isDirectory(design.context.analysisPath)
                                 ? design.context.analysisPath
                                 : run.workingDirectory;
  return runThroughCommandFile(command, folder, "") == 0;
}

// Writes the skip of cases `from` .. cases - 1 of every analysis of the loop into the logs of
// those cases; the jobs keep the status of the last case that ran.
void skipRemainingCases(FlowDesign& design, const FlowBatch& batch, const BatchLoop& loop,
                        int from, const std::string& reason) {
  for (int index : loop.analyses) {
    const Analysis& analysis = batch.process->analyses[index];
    FlowJob& job = design.jobs[index];
    const int ran = job.caseIndex;
    for (int c = from; c < loop.cases; ++c) {
      job.caseIndex = c;
      logNote(design, analysis.name, reason);
      logRecord(design, analysis.name, "*STATUS", statusWord(kStatusSkipped));
    }
    job.caseIndex = ran;
  }
}

// advanceLoops: when every analysis of a loop has ended the current case of `design`, the
// loop's condition decides whether the loop quits; otherwise the next case starts (its jobs
// go back to WAITING) or the loop is finished. True when a loop moved.
bool advanceLoops(FlowBatch& batch, FlowDesign& design) {
  bool moved = false;
  for (std::size_t l = 0; l < batch.loops.size(); ++l) {
    const BatchLoop& loop = batch.loops[l];
    DesignLoop& state = design.loops[l];
    if (state.finished) continue;
    bool caseEnded = true;
    for (int index : loop.analyses) {
      if (design.jobs[index].state < kJobCompleted) caseEnded = false;
    }
    if (!caseEnded) continue;
    moved = true;
    const int next = state.current + 1;
    state.finished = true;
    if (next >= loop.cases) continue;
    const std::string& lastAnalysis = batch.process->analyses[loop.analyses.back()].name;
    if (design.error) {
      // The design already failed: the other cases could not change that.
      skipRemainingCases(design, batch, loop, next,
                         formatText("This case of the analysis will be skipped since case %d "
                                    "of loop \"%s\" ended with the design in error.",
                                    state.current + 1, loop.loop->name.c_str()));
      continue;
    }
    if (loopConditionMet(batch, design, loop)) {
      if (loop.quitOnCondition) {
        logNote(design, lastAnalysis,
                "Loop condition met. Since the option to quit the loop upon meeting the "
                "condition was selected, the remaining analyses and cases associated with this "
                "loop will be skipped.");
        skipRemainingCases(design, batch, loop, next,
                           formatText("This analysis will be skipped since the condition "
                                      "associated with loop \"%s\" was met.",
                                      loop.loop->name.c_str()));
        continue;
      }
      logNote(design, lastAnalysis,
              formatText("The condition of loop \"%s\" was met after case %d; the loop goes on "
                         "since it is not set to quit on it.",
                         loop.loop->name.c_str(), state.current + 1));
    }
    state.finished = false;
    state.current = next;
    for (int index : loop.analyses) {
      FlowJob& job = design.jobs[index];
      FlowJob fresh;
      fresh.caseIndex = next;
      fresh.firstCaseStatus = job.firstCaseStatus;
      job = std::move(fresh);
      std::size_t& first = batch.firstWaiting[index];
      first = std::min(first, static_cast<std::size_t>(design.slot));
    }
  }
  return moved;
}

bool runConditionMet(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  if (analysis.runCondition.empty()) return true;
  prepareContext(batch, design, index);
  const bool met = evaluateCondition(analysis.runCondition, design.context, design.slot, true) == 1;
  const std::string head = formatText("Summary of run condition check for analysis \"%s\".",
                                      analysis.name.c_str());
  if (met) {
    logNote(design, analysis.name, head + "\nThe overall condition was met.");
    return true;
  }
  skipAnalysis(design, analysis, design.jobs[index],
               head + "\nThe overall condition was NOT met. This analysis will be skipped.");
  return false;
}

void writeRunningLog(const FlowBatch& batch) {
  RunningAnalysesLog log;
  for (std::size_t a = 0; a < batch.process->analyses.size(); ++a) {
    RunningAnalysis entry;
    entry.name = batch.process->analyses[a].name;
    for (const FlowDesign& design : batch.designs) {
      const FlowJob& job = design.jobs[a];
      if (job.state == kJobRunning) entry.jobs.push_back({design.number, job.caseIndex + 1});
    }
    log.analyses.push_back(std::move(entry));
  }
  for (const FlowDesign& design : batch.designs) {
    if (!design.finished) log.designsInProgress.push_back(design.number);
  }
  runningLogUpdate(batch.agent->number, log);
}

// Reads the console or the run interaction file; a "stop" kills the running local jobs
// (unless "keep") and ends the run with the exit state "Cancelled".
void pollInteraction(FlowBatch& batch) {
  if (!interactionStarted) {
    interaction = interactionStart();
    interactionStarted = true;
  }
  interactionPoll(interaction, interactionNow());
  if (!interaction.stopRequested) return;
  batch.keepJobs = interaction.keepRunning;
  for (FlowDesign& design : batch.designs) {
    for (FlowJob& job : design.jobs) {
      if (!job.job) continue;
      if (!batch.keepJobs && !job.job->finished(false)) job.job->kill();
      job.job->release();
    }
  }
  interactionCancelRun();
}

// The parallel and serial batches: one pass starts what may start, checks the running jobs
// and finishes designs; between passes the loop sleeps until the proposed time or a child's
// end.
void runBatch(FlowBatch& batch) {
  const std::size_t analyses = batch.process->analyses.size();
  batch.firstWaiting.assign(analyses, 0);
  for (;;) {
    bool cannotStart = false;
    bool progress = false;
    SleepProposal proposal;
    // In a serial batch only the first unfinished design runs, one analysis at a time.
    FlowDesign* serialDesign = nullptr;
    if (!batch.parallel) {
      for (FlowDesign& design : batch.designs) {
        if (!design.finished) {
          serialDesign = &design;
          break;
        }
      }
    }
    for (std::size_t a = 0; a < analyses; ++a) {
      const Analysis& analysis = batch.process->analyses[a];
      int running = 0;
      for (const FlowDesign& design : batch.designs) {
        if (design.jobs[a].state == kJobRunning) ++running;
      }
      const int limit = batch.parallel ? std::max(1, analysis.numDesigns) : 1;
      const bool paused = interactionPaused(interaction, platform::monotonicSeconds());
      std::size_t& first = batch.firstWaiting[a];
      while (first < batch.designs.size() && batch.designs[first].jobs[a].state != kJobWaiting) {
        ++first;
      }
      for (std::size_t d = first; d < batch.designs.size(); ++d) {
        FlowDesign& design = batch.designs[d];
        if (running >= limit || paused) break;
        if (serialDesign && &design != serialDesign) continue;
        FlowJob& job = design.jobs[a];
        if (job.state != kJobWaiting) continue;
        if (!batch.parallel) {
          bool earlierDone = true;
          for (std::size_t b = 0; b < a; ++b) {
            if (!upstreamDone(batch, design, static_cast<int>(b), static_cast<int>(a))) {
              earlierDone = false;
            }
          }
          if (!earlierDone) continue;
        }
        if (!dependenciesMet(batch, design, static_cast<int>(a))) continue;
        if (!runConditionMet(batch, design, static_cast<int>(a))) {
          progress = true;
          continue;
        }
        if (analysis.hasReservation) {
          const int reservation = reservationOfAnalysis(analysis.name);
          const ReservationState state =
              reservation >= 0 ? checkReservation(reservation) : ReservationState::kFailed;
          if (state == ReservationState::kFailed || state == ReservationState::kEnded) {
            failJob(batch, design, static_cast<int>(a),
                    formatText("Error in getting a compute resource to submit Design %d - "
                               "Analysis %s",
                               design.number, analysis.name.c_str()));
            progress = true;
            continue;
          }
          if (state != ReservationState::kRunning) {
            cannotStart = true;
            break;
          }
        }
        if (!chooseComputeResource(analysis.computeResource, design.number, false, job.resource)) {
          if (!analysis.computeResource.empty() && !findComputeResource(analysis.computeResource)) {
            // A resource that is not defined never becomes free.
            failJob(batch, design, static_cast<int>(a),
                    formatText("Error in getting a compute resource to submit Design %d - "
                               "Analysis %s",
                               design.number, analysis.name.c_str()));
            progress = true;
            continue;
          }
          cannotStart = true;
          break;
        }
        submitAnalysis(batch, design, static_cast<int>(a));
        progress = true;
        if (job.state == kJobRunning) ++running;
        pollInteraction(batch);
        if (interactionPaused(interaction, platform::monotonicSeconds())) break;
      }
      for (FlowDesign& design : batch.designs) {
        if (design.jobs[a].state != kJobRunning) continue;
        if (checkCompletion(batch, design, static_cast<int>(a), proposal)) {
          processCompletedAnalysis(batch, design, static_cast<int>(a));
          progress = true;
        }
      }
      // The log lists running jobs and unfinished designs: when no job moved and no design
      // finished since it was last written it is unchanged, and a pass that only waits does
      // no file work.
      if (progress || batch.runningLogStale) {
        writeRunningLog(batch);
        batch.runningLogStale = false;
      }
    }
    bool allFinished = true;
    bool anyRunning = false;
    for (FlowDesign& design : batch.designs) {
      if (design.finished) continue;
      if (advanceLoops(batch, design)) {
        progress = true;
        batch.runningLogStale = true;
      }
      bool done = true;
      for (std::size_t a = 0; a < analyses; ++a) {
        if (!jobDone(batch, design, static_cast<int>(a))) done = false;
        if (design.jobs[a].state == kJobRunning) anyRunning = true;
      }
      if (done) {
        finishDesign(batch, design);
        progress = true;
        batch.runningLogStale = true;
      } else {
        allFinished = false;
      }
    }
    if (allFinished) break;
    pollInteraction(batch);
    const bool paused = interactionPaused(interaction, platform::monotonicSeconds());
    if (!anyRunning && paused) {
      platform::waitForChildExitOrTimeout(kCannotStartSleepMillis);
      continue;
    }
    if (!anyRunning && !cannotStart && !progress) {
      // Nothing runs, nothing may start and nothing changed: the remaining jobs can never
      // start (their upstream analyses will not complete). They fail rather than hang.
      for (FlowDesign& design : batch.designs) {
        for (std::size_t a = 0; a < analyses; ++a) {
          if (design.jobs[a].state == kJobWaiting) {
            failJob(batch, design, static_cast<int>(a),
                    "Internal error: the analysis could not be started since its dependencies "
                    "can no longer be met.");
          }
        }
      }
      continue;
    }
    if (progress) {
      // A job that ended in this pass freed its slot after the pass's submission step:
      // the next pass fills it at once. Waiting here would hold the slot empty until the
      // next job ends, and the batch would run one job at a time.
      continue;
    }
    int millis = 0;
    if (cannotStart && !anyRunning) {
      millis = timingLoopSleep(batch.parallel ? LoopWait::kCannotStart : LoopWait::kSerialNotReady,
                               proposal);
    } else if (anyRunning) {
      millis = timingLoopSleep(LoopWait::kJobsRunning, proposal);
      if (millis <= 0) millis = kMinimumLoopSleepMillis;
    }
    if (millis > 0) platform::waitForChildExitOrTimeout(millis);
  }
}

// The loops of the batch: each loop that lists analyses of the process, with its number of
// cases (the loop's values; one when it has none or is not active) and whether it quits
// when its condition is met (a `break` other than "", "0", "no" or "false").
void setUpLoops(FlowBatch& batch) {
  const std::vector<Analysis>& analyses = batch.process->analyses;
  batch.loopOf.assign(analyses.size(), -1);
  for (std::size_t a = 0; a < analyses.size(); ++a) {
    const Loop* loop = loopOfAnalysis(analyses[a].name);
    if (!loop) continue;
    std::size_t l = 0;
    while (l < batch.loops.size() && batch.loops[l].loop != loop) ++l;
    if (l == batch.loops.size()) {
      BatchLoop entry;
      entry.loop = loop;
      entry.cases = loop->active ? std::max<int>(1, static_cast<int>(loop->values.size())) : 1;
      std::string word = loop->breakText;
      for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      entry.quitOnCondition = !word.empty() && word != "0" && word != "no" && word != "false";
      batch.loops.push_back(entry);
    }
    batch.loops[l].analyses.push_back(static_cast<int>(a));
    batch.loopOf[a] = static_cast<int>(l);
  }
}

// Kills (or with "stop keep" releases) every job still running when the batch is left, and
// gives the hooks back.
struct BatchGuard {
  FlowBatch& batch;
  AnalysisLogPathFn previousLogPath;
  explicit BatchGuard(FlowBatch& b) : batch(b), previousLogPath(analysisLogPath) {}
  BatchGuard(const BatchGuard&) = delete;
  BatchGuard& operator=(const BatchGuard&) = delete;
  ~BatchGuard() {
    for (FlowDesign& design : batch.designs) {
      for (FlowJob& job : design.jobs) {
        if (job.job && !batch.keepJobs && !job.job->finished(false)) job.job->kill();
        if (job.job) job.job->release();
        releaseComputeResource(job.resource, design.number, false);
      }
    }
    analysisLogPath = previousLogPath;
    currentBatch = nullptr;
    conditionServices.analysisStatus = nullptr;
  }
};

}  // namespace

std::string designValuesText(const std::vector<DesignValueEntry>& entries) {
  std::string names, values;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const char* separator = i + 1 < entries.size() ? "," : "";
    names += formatText("%*s%s", static_cast<int>(entries[i].value.size()),
                        entries[i].name.c_str(), separator);
    values += entries[i].value + separator;
  }
  return names + "\n" + values + "\n";
}

Design baselineDesign(const Agent& agent) {
  const Representation* representation = findRepresentation(agent.representation);
  if (!representation) fatalError("Representation number set to illegal number, exit.");
  Design design;
  design.representation = representation->number;
  design.num_dvar = representation->num_dvar;
  design.source = agent.number;
  design.encoding = kEncodingReal;
  design.chromosome.assign(representation->num_dvar, 0);
  for (const VariableSlot& slot : representation->slots) {
    design.reals.push_back(slot.kind == kSlotDiscrete ? slot.fixedValue : slot.realValue);
  }
  for (double value : encodingParameterValues()) design.reals.push_back(value);
  return design;
}

std::string checkSetupReport(const Agent& agent, const Design& design) {
  const int word = design.status >= 0 && design.status <= 3 ? design.status : kStatusError;
  std::string text = formatText("Check-setup run of agent %d (\"%s\"): baseline design %d, "
                                "status %s, performance %g.",
                                agent.number, agent.name.c_str(), design.designNumber,
                                statusWord(word), design.performance);
  if (const PerformanceDefinition* performance = findPerformance(agent.performance)) {
    for (int r = 0; r < performance->count && r < static_cast<int>(design.responses.size());
         ++r) {
      const ResponseValue& value = design.responses[r];
      if (value.present && !value.values.empty()) {
        text += formatText("\n%s = %g", performance->name[r].c_str(), value.values.front());
      } else {
        text += formatText("\n%s = (no data)", performance->name[r].c_str());
      }
    }
  }
  return text;
}

int evaluatedDesignCount(int agentNumber) {
  auto found = designCounts.find(agentNumber);
  return found == designCounts.end() ? 0 : found->second;
}

void resetEvaluationFlow() {
  designCounts.clear();
  firstFinished.clear();
  interactionStarted = false;
}

BatchSummary evaluateDesigns(Agent& agent, std::vector<Design>& designs) {
  BatchSummary summary;
  if (designs.empty()) {
    writeMessage("outptr", "internal error",
                 "Call to the evaluation routine with 0 designs to evaluate.");
    return summary;
  }
  FlowBatch batch;
  batch.agent = &agent;
  batch.process = agent.process == kUndefined ? nullptr : findProcess(agent.process);
  if (batch.process && batch.process->analyses.empty()) batch.process = nullptr;
  batch.performance = findPerformance(agent.performance);
  batch.parallel = batch.process && batch.process->parallel != 0;
  batch.responseNames = designResponseNames(batch.performance, batch.process);
  if (batch.process) setUpLoops(batch);
  BatchGuard guard(batch);
  logAgent = agent.number;
  analysisLogPath = &logPathForMessages;
  currentBatch = &batch;
  conditionServices.analysisStatus = [](const std::string& analysis,
                                        const EvaluationContext& context, int& status) {
    if (!currentBatch || !currentBatch->process || context.designSlot < 0 ||
        context.designSlot >= static_cast<int>(currentBatch->designs.size())) {
      return false;
    }
    const int index = findAnalysis(*currentBatch->process, analysis);
    if (index < 0) return false;
    const FlowDesign& design = currentBatch->designs[context.designSlot];
    const FlowJob& job = design.jobs[index];
    status = job.status;
    // An analysis inside a loop looked at from outside it before the loop has finished:
    // only its first case is known to be complete, so that case's status answers.
    const int loop = currentBatch->loopOf[index];
    const int from = findAnalysis(*currentBatch->process, context.analysisName);
    if (loop >= 0 && !design.loops[loop].finished &&
        (from < 0 || currentBatch->loopOf[from] != loop)) {
      writeMessage("analysis", "warning",
                   formatText("Referencing analysis \"%s\" from loop \"%s\" inside analysis "
                              "\"%s\". The loop has not finished yet: the values of its first "
                              "case are used.",
                              analysis.c_str(), currentBatch->loops[loop].loop->name.c_str(),
                              context.analysisName.c_str()),
                   design.number, context.analysisName);
      status = job.firstCaseStatus;
    }
    return true;
  };
  clearConditionValues();

  EncodingContext encoding = encodingContextForAgent(agent);
  int& count = designCounts[agent.number];
  batch.designs.resize(designs.size());
  for (std::size_t i = 0; i < designs.size(); ++i) {
    FlowDesign& flow = batch.designs[i];
    flow.design = &designs[i];
    flow.slot = static_cast<int>(i);
    flow.number = ++count;
    designs[i].designNumber = flow.number;
    flow.context.agentNumber = agent.number;
    flow.context.designNumber = flow.number;
    flow.context.designSlot = flow.slot;
    if (batch.process) flow.jobs.resize(batch.process->analyses.size());
    flow.loops.resize(batch.loops.size());
    startDesignResponses(flow.context, batch.responseNames);
    std::vector<DesignValueEntry> values;
    Representation& representation = encodingRepresentationOf(designs[i]);
    if (!decodeDesign(designs[i], representation, encoding)) flow.error = true;
    values = fillDesignValues(designs[i], representation, flow.context);
    if (!setUpDesign(batch, flow, values)) flow.error = true;
    if (!flow.error && !evaluateDependentVariables(flow.context)) flow.error = true;
    if (flow.error) {
      for (std::size_t a = 0; a < flow.jobs.size(); ++a) {
        failJob(batch, flow, static_cast<int>(a), "");
      }
    }
  }
  if (batch.process) {
    for (const Analysis& analysis : batch.process->analyses) {
      if (analysis.jobBatchMode && batch.parallel) {
        writeMessage("stdout", "note",
                     formatText("Job batch active for analysis %s", analysis.name.c_str()));
      }
    }
    runBatch(batch);
  } else {
    // A process without analyses: calculated responses only.
    for (FlowDesign& flow : batch.designs) finishDesign(batch, flow);
  }
  if (interactionStarted) interactionApplyParallelChanges(interaction);
  for (const FlowDesign& flow : batch.designs) {
    ++summary.evaluated;
    if (flow.design->failed) ++summary.failed;
  }
  writeMessage("stdout", "note", "\nCompleted design evaluation for all designs requested.");
  return summary;
}

// The response-extraction test runs one analysis by itself; it shares the portal set-up and
// the response processing of the batch so that it extracts exactly what a design would.
bool runAnalysisInFolder(const Process& process, int index, const std::string& folder,
                         EvaluationContext& context) {
  const Analysis& analysis = process.analyses[index];
  context.analysisName = analysis.name;
  context.analysis = &analysis;
  context.caseIndex = 0;
  context.analysisPath = folder;
  context.jobName.clear();
  context.jobId.clear();
  context.jobResource.clear();
  exportInternalVariables(context);
  bool passed = true;
  if (!analysis.noExecution) {
    CommandRequest request;
    request.kind = CommandKind::kAnalysis;
    request.command = analysis.command;
    request.folder = folder;
    request.side = RunSide::kLocal;  // the test runs here, whatever the compute resource
    request.wait = true;
    request.logging = false;
    CommandLaunch launch = runCommand(request, context);
    if (!launch.job) {
      passed = false;
    } else {
      const int code = launch.job->exitCode();
      passed = analysis.successReturnValue != kNoReturnCheck
                   ? code == analysis.successReturnValue
                   : launch.job->succeeded();
      launch.job->release();
    }
  }
  return passed;
}

void extractAnalysisInFolder(const Process& process, int index, const std::string& folder,
                             EvaluationContext& context, const PerformanceDefinition* performance) {
  const Analysis& analysis = process.analyses[index];
  context.analysisName = analysis.name;
  context.analysis = &analysis;
  context.analysisPath = folder;
  if (!analysis.taggedOutputFiles.empty()) {
    PropertiesMap data = portalProperties(analysis, folder, true);
    portalFor(analysis)->extract(data, responseExtractionCallback(context));
  }
  processAnalysisResponses(analysis, context, performance);
}

}  // namespace karvo
