// The design evaluation flow: takes a batch of designs through every analysis of the agent's
// process to responses, statuses and scores. Called once per generation or design set; the
// loop spends its time asleep in waitForChildExitOrTimeout while analyses run for minutes.
// This file holds the batch loop, the designs and the entry points; the functions behind the
// job transitions below are in flow_jobs.cpp, the commands around an analysis and the portal
// calls in flow_steps.cpp, dependencies and loop cases in flow_loops.cpp (flow_batch.h has
// the records they share). The flow keeps no per-agent state: the agent's design count and
// first-design flag are fields of its Agent record.
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
//   A run that writes analysis files only (designFilesOnly) takes every job from WAITING
//   through submitAnalysis (folders, input files, tagged files; no command) straight to
//   COMPLETED with the status NOT EVALUATED; its designs finish unscored and not in error,
//   and the run ends in order after the first batch (endRunAfterFiles).
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
//      fails the jobs left (failStuckJobs) rather than wait forever. The steps of a pass, in
//      order: startWaitingJobs, checkRunningJobs and the running log for each analysis,
//      advanceDesigns, then the history save, the interaction poll and waitForNextPass.
//   6. When the batch is left for any reason (end, fatal error, "stop"), no job process of
//      the batch, nor anything a job's command left in the background, is left running
//      unless a "stop keep" asked for it (BatchGuard, pollInteraction). A job's background
//      processes end when its analysis is over (endJob), not when its command ends: a
//      finish condition may be watching them.
//   7. While the user has paused the run no job leaves WAITING; running jobs are still
//      checked and processed.
//   8. Analyses of one loop are at the same case for a design. Outside the loop, an analysis
//      inside it counts as done (dependencies, serial order) only once its loop is FINISHED;
//      a condition that looks at it before then gets its first case's status, with the
//      warning "Referencing analysis ... from loop ... inside analysis ...".
// ---------------------------------------------------------------------------------------
#include "evaluation/evaluation_flow.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>

#include "base/messages.h"
#include "base/progress.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "definitions/resources.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/dependents.h"
#include "evaluation/agent_results.h"
#include "evaluation/conditions.h"
#include "evaluation/encoding.h"
#include "evaluation/flow_batch.h"
#include "evaluation/formula.h"
#include "evaluation/history_file.h"
#include "evaluation/performance.h"
#include "evaluation/responses.h"
#include "evaluation/run_interaction.h"
#include "evaluation/running_log.h"
#include "evaluation/tagging.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {

using namespace flow;

namespace {

// The batch that runs now (null between batches): the "analysis" messages of the
// evaluation layer go to its logs.
FlowBatch* runningBatch = nullptr;
bool interactionStarted = false;            // `interaction` has been set up for this run
RunInteraction interaction;                 // the user's requests, across batches

std::string logPathForMessages(int designNumber, const std::string& analysisName) {
  if (!runningBatch) return "";
  const int agent = runningBatch->agent->number;
  if (analysisName.empty()) {
    // A design without a design log: its notes go to the message file.
    if (designsWithoutFolders(runningBatch->process)) return "";
    return designLogFile(agent, designNumber);
  }
  return analysisLogFile(agent, designNumber, analysisName,
                         caseOfAnalysis(*runningBatch, designNumber, analysisName));
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

// Folders, values file and log headers of one design. False when its post folder or its run
// folder cannot be made (the design is then an error design and runs nothing).
// What an earlier evaluation left for a design when results are read from disk.
enum class EarlierDesign {
  kNone,       // no design folder of that number
  kSame,       // its folder, with the values file of these very values
  kDifferent,  // its folder, without a values file or with other values in it
};

EarlierDesign earlierDesign(const std::string& folder, const std::string& valuesText) {
  if (!platform::isDirectory(folder)) return EarlierDesign::kNone;
  const std::string path = platform::joinPath(folder, "design_variable_and_parameter_values");
  std::ifstream in(path, std::ios::binary);
  if (!in) return EarlierDesign::kDifferent;
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return text == valuesText ? EarlierDesign::kSame : EarlierDesign::kDifferent;
}

// A design whose results are to be read from disk (the run option readDesignResultsFromDisk,
// or a post-processing run): true when its design folder holds the evaluation of these very
// values (then FlowDesign::fromDisk is set), or when it is to be evaluated as usual (only
// without a folder, and not in a post-processing run). False when it is an error design: its
// folder is missing in a post-processing run, or holds another design; nothing of that folder
// is changed.
bool takeDesignFromDisk(FlowBatch& batch, FlowDesign& flow, const std::string& folder,
                        const std::string& valuesText) {
  const bool postOnly = run.settings.postNoEval != 0;
  switch (earlierDesign(folder, valuesText)) {
    case EarlierDesign::kSame:
      flow.fromDisk = true;
      return true;
    case EarlierDesign::kNone:
      if (!postOnly) return true;
      writeMessage("outptr", "error",
                   formatText("Design %d of agent %d has no design folder (%s) with the results "
                              "of an earlier evaluation. Since designs are only post-processed "
                              "(postNoEval), it is not evaluated and is marked as an error "
                              "design.",
                              flow.number, batch.agent->number, folder.c_str()));
      return false;
    case EarlierDesign::kDifferent:
      break;
  }
  writeMessage("outptr", "error",
               formatText("The design folder %s does not hold design %d of agent %d: its file "
                          "\"design_variable_and_parameter_values\" is missing or gives other "
                          "values. Its results are not read and the folder is left as it is; "
                          "the design is marked as an error design.",
                          folder.c_str(), flow.number, batch.agent->number));
  return false;
}

bool setUpDesign(FlowBatch& batch, FlowDesign& flow, const std::vector<DesignValueEntry>& values) {
  if (designsWithoutFolders(batch.process)) return true;
  const std::string folder = designFolder(agentFolder(batch.agent->number), flow.number);
  const std::string valuesText = designValuesText(values);
  if (run.settings.postNoEval || study.options.readDesignResultsFromDisk) {
    if (!takeDesignFromDisk(batch, flow, folder, valuesText)) return false;
  }
  // The logs first, so that a run folder that cannot be made is told in them.
  const std::string post = designPostFolder(batch.agent->number, flow.number);
  std::string postError;
  if (!makeDesignFolder(post, &postError)) {
    writeMessage("outptr", "error",
                 formatText("Error in creating the POST folder \"%s\" of design %d: %s. The "
                            "design cannot be evaluated without its logs and is marked as an "
                            "error design.",
                            post.c_str(), flow.number, postError.c_str()));
    return false;
  }
  if (flow.fromDisk) {
    // The logs of its evaluation go on: what this run does is added to them.
    if (batch.process) {
      for (const Analysis& analysis : batch.process->analyses) {
        makeDesignFolder(analysisPostFolder(batch.agent->number, flow.number, analysis.name, 0),
                         nullptr);
      }
    }
    return true;
  }
  // The design log starts afresh with the design, like its analysis logs: a design of an
  // earlier run with the same number (a run that is not resumed) is not this design.
  closeAnalysisLogs(post);
  if (FileHandle* log = openFile(designLogFile(batch.agent->number, flow.number), "w")) {
    closeFile(log);
  }
  if (batch.process) {
    for (std::size_t a = 0; a < batch.process->analyses.size(); ++a) {
      const Analysis& analysis = batch.process->analyses[a];
      const int cases = batch.loopOf[a] < 0 ? 1 : batch.loops[batch.loopOf[a]].cases;
      for (int c = 0; c < cases; ++c) {
        makeDesignFolder(analysisPostFolder(batch.agent->number, flow.number, analysis.name, c),
                         nullptr);
        FileHandle* log = openFile(
            analysisLogFile(batch.agent->number, flow.number, analysis.name, c), "w");
        if (log) {
          writeFormatted(log, "$ File type, version\nAnalysisLog, %s.%d\n", kFullVersion, 0);
          closeFile(log);
        }
      }
    }
  }
  std::string error;
  if (!makeDesignFolder(folder, &error)) {
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
    writeText(file, valuesText);
    closeFile(file);
  }
  return true;
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

// A design repeated within a batch takes the outcome of its first occurrence.
void takeResultsOf(Design& repeat, const Design& first) {
  repeat.responses = first.responses;
  repeat.performance = first.performance;
  repeat.violation = first.violation;
  repeat.status = first.status;
  repeat.failed = first.failed;
  repeat.designNumber = first.designNumber;
}

// A design of an extended run that the stopped run evaluated after its last checkpoint
// (agent_results.h): it takes that evaluation's results and number and enters the table now.
bool takeReplayedResults(AgentResults& results, Design& design) {
  if (results.replayPending.empty()) return false;
  Design stored;
  if (!designStoreFind(results.replay, design, &stored)) return false;
  if (!results.replayPending.erase(stored.designNumber)) return false;
  takeResultsOf(design, stored);
  designStoreInsert(results.store, design);
  return true;
}

// Seconds since the design's first analysis was submitted (0 when none was).
double designSeconds(const FlowDesign& flow, double now) {
  double first = now;
  for (const FlowJob& job : flow.jobs) {
    if (job.clock.submitTime > 0.0) first = std::min(first, job.clock.submitTime);
  }
  return now - first;
}

// Writes the designs the history file does not hold yet once they are due
// (historySaveTime); answers the time of the next save, +infinity when none waits.
double saveHistoryWhenDue(FlowBatch& batch) {
  AgentResults& results = *batch.results;
  if (platform::monotonicSeconds() >= historySaveTime(results)) {
    writeHistory(*batch.agent, results);
  }
  return historySaveTime(results);
}

// An evaluated design enters the agent's stored-design table (an error design only when
// error designs are not to be evaluated again) and its history; with the run option
// `saveHistoryForEachEval` the history file is rewritten at once, otherwise when the save is
// due (at once after a design of a second or more, else within seconds).
void storeEvaluatedDesign(FlowBatch& batch, FlowDesign& flow) {
  AgentResults& results = *batch.results;
  Design& design = *flow.design;
  if (!design.failed || !run.settings.reEvalErrDesigns) designStoreInsert(results.store, design);
  std::string entry;
  encodeHistoryEntry(entry,
                     historyEntryOf(*batch.agent, design, &flow.context, flow.loopCases, &batch.shape),
                     batch.shape);
  appendHistoryEntry(results.history, entry);
  agentResultsConsider(results, design);
  std::vector<std::pair<std::string, double>> objectives;
  for (int r = 0; batch.performance && r < batch.performance->count; ++r) {
    const std::size_t k = static_cast<std::size_t>(r);
    if (batch.performance->flag[k] != kResponseObjective || k >= design.responses.size()) continue;
    const ResponseValue& value = design.responses[k];
    if (value.present && !value.values.empty()) {
      objectives.emplace_back(batch.performance->name[k], value.values.front());
    }
  }
  progressDesign(design.designNumber, design.failed, design.performance, design.violation,
                 objectives);
  results.counters[0] = batch.agent->evaluatedDesigns;
  if (study.options.saveHistoryForEachEval) {
    writeHistory(*batch.agent, results);
    return;
  }
  if (!flow.jobs.empty() &&
      designSeconds(flow, platform::monotonicSeconds()) >= kHistorySlowDesignSeconds) {
    results.slowDesignPending = true;
  }
  saveHistoryWhenDue(batch);
}

// Ends the batch's jobs (the running local ones are killed unless `keep`) before the run
// ends as "Cancelled".
void releaseBatchJobs(FlowBatch& batch, bool keep) {
  batch.keepJobs = keep;
  for (FlowDesign& design : batch.designs) {
    for (FlowJob& job : design.jobs) {
      if (!job.job) continue;
      if (keep) {
        job.job->keepRunning();
      } else {
        job.job->kill();
        job.job->release();
      }
    }
  }
}

// The agent's termination condition, tested after each design that completed all its
// analyses and was scored: the *DEFINE_CONDITION of that name when there is one, otherwise
// a command (tags replaced for the design) run in the study folder, met when it exits with
// status 0. When it is met the running analyses are ended and the run stops as "Cancelled"
// with exit status 0.
void checkTerminationCondition(FlowBatch& batch, FlowDesign& flow) {
  const std::string& condition = batch.agent->terminationCondition;
  if (condition.empty() || flow.error || run.settings.designFilesOnly) return;
  writeMessage("outptr", "note",
               formatText("Evaluating the study termination condition based on design %d.",
                          flow.number));
  bool met = false;
  if (findCondition(condition)) {
    met = evaluateCondition(condition, flow.context, -1, true, batch.conditions) == 1;
  } else {
    const platform::CapturedRun result =
        platform::runCapturedCommand(replaceTags(condition, flow.context),
                                     run.workingDirectory, batch.services->conditionCommandSeconds);
    met = result.started && !result.timedOut && result.exitStatus == 0;
  }
  if (!met) return;
  writeMessage("outptr", "note",
               formatText("Terminating study since the condition \"%s\" was met for design %d.",
                          condition.c_str(), flow.number));
  releaseBatchJobs(batch, false);
  interactionCancelRun();
}

// finishDesign: the calculated responses no analysis computed, missing responses, accept
// ranges, scoring.
void finishDesignSteps(FlowBatch& batch, FlowDesign& flow);
void reportFailedDesign(const std::string& failure);

void finishDesign(FlowBatch& batch, FlowDesign& flow) {
  finishDesignSteps(batch, flow);
  // Its logs are complete (a fatal error on the way closes them with the batch).
  closeAnalysisLogs(designPostFolder(batch.agent->number, flow.number));
}

void finishDesignSteps(FlowBatch& batch, FlowDesign& flow) {
  flow.finished = true;
  Design& design = *flow.design;
  flow.context.analysisName.clear();
  flow.context.analysis = nullptr;
  if (run.settings.designFilesOnly && !flow.error) {
    // Its files are written and nothing ran: nothing to extract, check or score, and it is
    // no error design (the baseline and first-design checks do not apply).
    design.failed = false;
    design.status = kStatusNotEvaluated;
    writeMessage("analysis", "note",
                 formatText("Design %d: analysis files written. Status: %s.", flow.number,
                            statusWord(kStatusNotEvaluated)),
                 flow.number, "");
    return;
  }
  if (!flow.error) calculateDesignResponses(batch.responseNames, flow.context);
  const bool complete = finishDesignResponses(flow.context, batch.performance, design);
  // A gradients file left by the analyses goes to the design's post folder.
  const std::string runFolder = designFolder(agentFolder(batch.agent->number), flow.number);
  const std::string gradients = platform::joinPath(runFolder, "KARVOGrads.info");
  if (!designsWithoutFolders(batch.process) && platform::isRegularFile(gradients)) {
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
    scoring.readingFromDisk = flow.fromDisk;
    scoring.firstDesignRead = flow.fromDisk && !batch.agent->firstDesignFinished;
    batch.services->score(design, *batch.performance, values, scoring);
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
  storeEvaluatedDesign(batch, flow);
  // Why it failed, in one line: the logs hold the whole story.
  const std::string failure = design.failed ? designFailureText(batch, flow) : "";
  if (flow.number == 1 && design.failed && run.settings.baselineSuppressed != 1) {
    fatalError(formatText("The baseline design evaluation for agent %d was "
                          "unsuccessful.%s\nCheck all evaluation and design input data.",
                          batch.agent->number, ("\n" + failure).c_str()) +
               variableValuesText(flow));
  }
  // The first design of the agent to come through all its analyses tells whether the set-up
  // works at all: when it failed, the run stops, unless the study asked to go on after design
  // errors and no objective still waits for a baseline value to be normalised by.
  if (!batch.agent->firstDesignFinished) {
    batch.agent->firstDesignFinished = true;
    if (design.failed && (!run.settings.skipEvalCheck || awaitsBaselineNormalisation(batch))) {
      fatalError("The first design to complete all analyses resulted in errors. Exiting.\n" +
                 failure + "\n" +
                 (run.settings.skipEvalCheck
                      ? "The run stops although skipEvalCheck is set: an objective is "
                        "normalised by the baseline design's value, which is not known."
                      : "To let the run go on after failed designs, give the option "
                        "skipEvalCheck (or the run option dontStopOnDesignErrors: 1)."));
    }
  }
  if (design.failed) reportFailedDesign(failure);
  checkTerminationCondition(batch, flow);
}

// The failed designs the terminal has been told of in this run: past kFailuresOnTerminal
// they go to the message file only, after one line that says so, so that a run of many
// failures does not flood the terminal.
int failuresOnTerminal = 0;
constexpr int kFailuresOnTerminal = 20;

void reportFailedDesign(const std::string& failure) {
  if (failuresOnTerminal == kFailuresOnTerminal) {
    ++failuresOnTerminal;
    const std::string& name = run.messageFileName;
    const std::string path =
        !name.empty() && name[0] == '/' ? name : platform::joinPath(run.workingDirectory, name);
    writeMessage("outptr|stderr", "note",
                 formatText("Further failed designs are listed only in the message file %s.",
                            path.c_str()));
  }
  if (failuresOnTerminal > kFailuresOnTerminal) {
    writeMessage("outptr", "warning", failure);
    return;
  }
  ++failuresOnTerminal;
  writeMessage("outptr|stderr", "warning", failure);
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
  const int signal = platform::stopSignal();
  if (!interaction.stopRequested && signal == 0) return;
  const bool keep = signal != 0 ? interaction.keepOnSignal : interaction.keepRunning;
  if (signal != 0) interactionSignalNote(signal, keep);
  releaseBatchJobs(batch, keep);
  interactionEndOnSignal();
  interactionCancelRun();
}

// What one pass of runBatch has done and found, shared by its steps.
struct BatchPass {
  FlowDesign* serialDesign = nullptr;  // serial batch: the only design that may start jobs
  std::vector<std::size_t> finished;   // designs finished in this pass (batch positions)
  bool cannotStart = false;   // a job waits for a compute resource or a reservation
  bool progress = false;      // a job moved (submitted, ended, skipped) or a design finished
  SleepProposal proposal;     // when the running jobs want to be checked again
};

// In a serial batch only the first unfinished design runs, one analysis at a time; null in a
// parallel batch.
FlowDesign* serialDesignOf(FlowBatch& batch) {
  if (batch.parallel) return nullptr;
  for (FlowDesign& design : batch.designs) {
    if (!design.finished) return &design;
  }
  return nullptr;
}

// Serial batch: whether every analysis before `index` is done for the design.
bool earlierAnalysesDone(const FlowBatch& batch, const FlowDesign& design, std::size_t index) {
  bool earlierDone = true;
  for (std::size_t b = 0; b < index; ++b) {
    if (!upstreamDone(batch, design, static_cast<int>(b), static_cast<int>(index))) {
      earlierDone = false;
    }
  }
  return earlierDone;
}

// How the compute resource of a waiting job was had (chooseJobResource).
enum class ResourceOutcome {
  kChosen,       // the job may be submitted
  kJobFailed,    // the job was failed: no resource can ever be had
  kCannotStart,  // none is free now: no further job of the analysis starts in this pass
};

// Chooses the compute resource of job `index` of `design`: a machine of its reservation when
// it runs in a job-based one, else one of the analysis's own resource. A run that only
// writes analysis files needs none.
ResourceOutcome chooseJobResource(FlowBatch& batch, FlowDesign& design, std::size_t index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  const bool filesOnly = run.settings.designFilesOnly != 0;
  bool resourceChosen = filesOnly;
  if (!filesOnly && analysis.hasReservation) {
    const int reservation = reservationOfAnalysis(analysis.name);
    const ReservationState state =
        reservation >= 0 ? checkReservation(reservation) : ReservationState::kFailed;
    if (state == ReservationState::kFailed || state == ReservationState::kEnded) {
      failJob(batch, design, static_cast<int>(index),
              formatText("Error in getting a compute resource to submit Design %d - "
                         "Analysis %s",
                         design.number, analysis.name.c_str()));
      return ResourceOutcome::kJobFailed;
    }
    if (state != ReservationState::kRunning) return ResourceOutcome::kCannotStart;
    // A job-based reservation runs the jobs on the machines it reserved; an advance
    // reservation leaves them on the analysis's own resource.
    if (!reservations[static_cast<std::size_t>(reservation)].definition.advance) {
      if (!chooseReservedResource(reservation, job.resource)) {
        return ResourceOutcome::kCannotStart;
      }
      resourceChosen = true;
    }
  }
  if (!resourceChosen &&
      !chooseComputeResource(analysis.computeResource, design.number, false, job.resource)) {
    if (!analysis.computeResource.empty() && !findComputeResource(analysis.computeResource)) {
      // A resource that is not defined never becomes free.
      failJob(batch, design, static_cast<int>(index),
              formatText("Error in getting a compute resource to submit Design %d - "
                         "Analysis %s",
                         design.number, analysis.name.c_str()));
      return ResourceOutcome::kJobFailed;
    }
    return ResourceOutcome::kCannotStart;
  }
  return ResourceOutcome::kChosen;
}

// Submits the waiting jobs of analysis `index` that may start, in design order, up to the
// analysis's limit of running designs (one in a serial batch); none while the run is paused.
void startWaitingJobs(FlowBatch& batch, std::size_t index, BatchPass& pass) {
  const Analysis& analysis = batch.process->analyses[index];
  int running = 0;
  for (const FlowDesign& design : batch.designs) {
    if (design.jobs[index].state == kJobRunning) ++running;
  }
  const int limit = batch.parallel ? std::max(1, analysis.numDesigns) : 1;
  const bool paused = interactionPaused(interaction, platform::monotonicSeconds());
  std::size_t& first = batch.firstWaiting[index];
  while (first < batch.designs.size() && batch.designs[first].jobs[index].state != kJobWaiting) {
    ++first;
  }
  for (std::size_t d = first; d < batch.designs.size(); ++d) {
    FlowDesign& design = batch.designs[d];
    if (running >= limit || paused) break;
    if (pass.serialDesign && &design != pass.serialDesign) continue;
    FlowJob& job = design.jobs[index];
    if (job.state != kJobWaiting) continue;
    if (!batch.parallel && !earlierAnalysesDone(batch, design, index)) continue;
    if (!dependenciesMet(batch, design, static_cast<int>(index))) continue;
    if (design.fromDisk) {
      // Read, not run: no run condition, compute resource or command.
      readAnalysisFromDisk(batch, design, static_cast<int>(index));
      pass.progress = true;
      continue;
    }
    // A run that only writes analysis files runs nothing: no run condition, no
    // reservation and no compute resource.
    if (run.settings.designFilesOnly == 0 &&
        !runConditionMet(batch, design, static_cast<int>(index))) {
      pass.progress = true;
      continue;
    }
    const ResourceOutcome resource = chooseJobResource(batch, design, index);
    if (resource == ResourceOutcome::kJobFailed) {
      pass.progress = true;
      continue;
    }
    if (resource == ResourceOutcome::kCannotStart) {
      pass.cannotStart = true;
      break;
    }
    submitAnalysis(batch, design, static_cast<int>(index));
    pass.progress = true;
    if (job.state == kJobRunning) ++running;
    pollInteraction(batch);
    if (interactionPaused(interaction, platform::monotonicSeconds())) break;
  }
}

// Checks the running jobs of analysis `index`; those that have come to an end are processed.
void checkRunningJobs(FlowBatch& batch, std::size_t index, BatchPass& pass) {
  for (FlowDesign& design : batch.designs) {
    if (design.jobs[index].state != kJobRunning) continue;
    if (checkCompletion(batch, design, static_cast<int>(index), pass.proposal)) {
      processCompletedAnalysis(batch, design, static_cast<int>(index));
      pass.progress = true;
    }
  }
}

// The jobs of the unfinished designs after advanceDesigns.
struct JobCounts {
  bool allFinished = true;  // every design of the batch is finished
  int running = 0;          // jobs RUNNING
  int waiting = 0;          // jobs WAITING
};

// True while `design`, run beside the baseline design (number 1), would be scored before it
// although a response is normalised by the baseline's value: scored now, it would be divided
// by the stand-in 1 instead, stored so and compared with designs scored properly, and which
// of the two finishes first would change the run. It waits for the baseline. (A baseline that
// failed is finished too, so nothing waits for ever.)
bool awaitsBaseline(const FlowBatch& batch, const FlowDesign& design) {
  const PerformanceDefinition* definition = batch.performance;
  if (!definition || design.number == 1 || design.fromDisk) return false;
  bool pending = false;
  for (int r = 0; r < definition->count && !pending; ++r) pending = definition->norm[r] < 0.0;
  if (!pending) return false;
  return std::any_of(batch.designs.begin(), batch.designs.end(), [](const FlowDesign& other) {
    return other.number == 1 && !other.finished && !other.fromDisk;
  });
}

// Moves the loops of each unfinished design on to their next case, and finishes the designs
// whose every job is done (those that await the baseline's scoring once it is scored).
JobCounts advanceDesigns(FlowBatch& batch, BatchPass& pass) {
  const std::size_t analyses = batch.process->analyses.size();
  JobCounts counts;
  for (FlowDesign& design : batch.designs) {
    if (design.finished) continue;
    if (advanceLoops(batch, design)) {
      pass.progress = true;
      batch.runningLogStale = true;
    }
    bool done = true;
    for (std::size_t a = 0; a < analyses; ++a) {
      if (!jobDone(batch, design, static_cast<int>(a))) done = false;
      if (design.jobs[a].state == kJobRunning) ++counts.running;
      if (design.jobs[a].state == kJobWaiting) ++counts.waiting;
    }
    if (done && !awaitsBaseline(batch, design)) {
      finishDesign(batch, design);
      pass.finished.push_back(static_cast<std::size_t>(design.slot));
      pass.progress = true;
      batch.runningLogStale = true;
    } else {
      counts.allFinished = false;
    }
  }
  return counts;
}

// Nothing runs, nothing may start and nothing changed: the remaining jobs can never start
// (their upstream analyses will not complete). They fail rather than hang.
void failStuckJobs(FlowBatch& batch) {
  const std::size_t analyses = batch.process->analyses.size();
  for (FlowDesign& design : batch.designs) {
    for (std::size_t a = 0; a < analyses; ++a) {
      if (design.jobs[a].state == kJobWaiting) {
        failJob(batch, design, static_cast<int>(a),
                "Internal error: the analysis could not be started since its dependencies "
                "can no longer be met.");
      }
    }
  }
}

// Sleeps between two passes that moved nothing, until the time the pass proposes, the next
// history save (`saveAt`, monotonic s) or a child's end, whichever comes first.
void waitForNextPass(const FlowBatch& batch, const BatchPass& pass, bool anyRunning,
                     double saveAt) {
  int millis = 0;
  if (pass.cannotStart && !anyRunning) {
    millis = timingLoopSleep(batch.parallel ? LoopWait::kCannotStart : LoopWait::kSerialNotReady,
                             pass.proposal);
  } else if (anyRunning) {
    millis = timingLoopSleep(LoopWait::kJobsRunning, pass.proposal);
    if (millis <= 0) millis = kMinimumLoopSleepMillis;
  }
  if (millis > 0) {
    const double untilSave = saveAt - platform::monotonicSeconds();
    if (untilSave < millis / 1000.0) {
      millis = std::max(kMinimumLoopSleepMillis, static_cast<int>(std::ceil(untilSave * 1000)));
    }
    platform::waitForChildExitOrTimeout(millis);
  }
}

// The parallel and serial batches: one pass starts what may start, checks the running jobs
// and finishes designs; between passes the loop sleeps until the proposed time or a child's
// end.
void runBatch(FlowBatch& batch) {
  const std::size_t analyses = batch.process->analyses.size();
  batch.firstWaiting.assign(analyses, 0);
  for (;;) {
    BatchPass pass;
    pass.serialDesign = serialDesignOf(batch);
    for (std::size_t a = 0; a < analyses; ++a) {
      startWaitingJobs(batch, a, pass);
      handSubmittedBatches(batch, static_cast<int>(a));
      checkRunningJobs(batch, a, pass);
      // The log lists running jobs and unfinished designs: when no job moved and no design
      // finished since it was last written it is unchanged, and a pass that only waits does
      // no file work.
      if (pass.progress || batch.runningLogStale) {
        writeRunningLog(batch);
        batch.runningLogStale = false;
      }
    }
    JobCounts counts = advanceDesigns(batch, pass);
    if (batch.designFinished) {
      // A steady-state batch: each finished design goes back to its caller, who may add
      // the next ones; they start in the next pass, which follows at once.
      for (std::size_t slot : pass.finished) batch.designFinished(batch.designs[slot]);
      counts.allFinished = std::all_of(batch.designs.begin(), batch.designs.end(),
                                       [](const FlowDesign& d) { return d.finished; });
    }
    const bool anyRunning = counts.running > 0;
    progressJobs(counts.running, counts.waiting);
    // Finished designs reach the history file within seconds even while the batch goes on
    // for hours: the wait below ends when their save is due.
    const double saveAt = saveHistoryWhenDue(batch);
    if (counts.allFinished) {
      if (!batch.parallel) {
        writeDesignNote("No more designs to process within this serial execution cycle.");
      }
      break;
    }
    pollInteraction(batch);
    const bool paused = interactionPaused(interaction, platform::monotonicSeconds());
    if (!anyRunning && paused) {
      platform::waitForChildExitOrTimeout(kCannotStartSleepMillis);
      continue;
    }
    if (!anyRunning && !pass.cannotStart && !pass.progress) {
      failStuckJobs(batch);
      continue;
    }
    if (pass.progress) {
      // A job that ended in this pass freed its slot after the pass's submission step:
      // the next pass fills it at once. Waiting here would hold the slot empty until the
      // next job ends, and the batch would run one job at a time.
      continue;
    }
    waitForNextPass(batch, pass, anyRunning, saveAt);
  }
}

// Kills (or with "stop keep" releases) every job still running when the batch is left, and
// ends the batch's hold on the "analysis" messages.
struct BatchGuard {
  FlowBatch& batch;
  explicit BatchGuard(FlowBatch& b) : batch(b) {
    runningBatch = &batch;
    keepAnalysisLogsOpen(true);
  }
  BatchGuard(const BatchGuard&) = delete;
  BatchGuard& operator=(const BatchGuard&) = delete;
  ~BatchGuard() {
    for (FlowDesign& design : batch.designs) {
      for (FlowJob& job : design.jobs) {
        if (job.job && batch.keepJobs) job.job->keepRunning();
        if (job.job && !batch.keepJobs) job.job->kill();
        if (job.job) job.job->release();
        releaseComputeResource(job.resource, design.number, false);
      }
    }
    runningBatch = nullptr;
    keepAnalysisLogsOpen(false);
  }
};


// The batch's records for the agent's designs: its process (null for one without analyses),
// scoring, response names and loops.
void setUpBatch(FlowBatch& batch, Agent& agent, const EvaluationServices& services) {
  batch.agent = &agent;
  batch.services = &services;
  batch.process = agent.process == kUndefined ? nullptr : findProcess(agent.process);
  if (batch.process && batch.process->analyses.empty()) batch.process = nullptr;
  batch.performance = findPerformance(agent.performance);
  batch.parallel = batch.process && batch.process->parallel != 0;
  batch.responseNames = designResponseNames(batch.performance, batch.process);
  if (batch.process) setUpLoops(batch);
}

// The status of `analysis` of the design that a condition looks at (`context`); false when
// the batch has no such design or analysis. An analysis inside a loop looked at from outside
// it before the loop has finished: only its first case is known to be complete, so that
// case's status answers, with a warning.
bool analysisStatusForCondition(const FlowBatch& batch, const std::string& analysis,
                                const EvaluationContext& context, int& status) {
  if (!batch.process || context.designSlot < 0 ||
      context.designSlot >= static_cast<int>(batch.designs.size())) {
    return false;
  }
  const int index = findAnalysis(*batch.process, analysis);
  if (index < 0) return false;
  const FlowDesign& design = batch.designs[context.designSlot];
  const FlowJob& job = design.jobs[index];
  status = job.status;
  const int loop = batch.loopOf[index];
  const int from = findAnalysis(*batch.process, context.analysisName);
  if (loop >= 0 && !design.loops[loop].finished &&
      (from < 0 || batch.loopOf[from] != loop)) {
    writeMessage("analysis", "warning",
                 formatText("Referencing analysis \"%s\" from loop \"%s\" inside analysis "
                            "\"%s\". The loop has not finished yet: the values of its first "
                            "case are used.",
                            analysis.c_str(), batch.loops[loop].loop->name.c_str(),
                            context.analysisName.c_str()),
                 design.number, context.analysisName);
    status = job.firstCaseStatus;
  }
  return true;
}

// What the batch's conditions use: condition files, remote commands, the time allowed for a
// condition's command, and the status of the batch's analyses.
void connectConditions(FlowBatch& batch, const EvaluationServices& services) {
  batch.conditions.resolveFile = &conditionFilePath;
  batch.conditions.remoteCommand = &conditionRemoteCommand;
  batch.conditions.commandSeconds = services.conditionCommandSeconds;
  const FlowBatch* owner = &batch;
  batch.conditions.analysisStatus = [owner](const std::string& analysis,
                                            const EvaluationContext& context, int& status) {
    return analysisStatusForCondition(*owner, analysis, context, status);
  };
}

// What the look-up of a batch's designs found (lookUpDesigns).
struct BatchLookup {
  std::vector<std::size_t> toEvaluate;  // positions of the designs to evaluate, in batch order
  std::vector<std::pair<std::size_t, std::size_t>> repeats;  // (repeat, first occurrence)
  std::vector<char> relationshipsHeld;  // per design: 0 when a relationship failed
  int existing = 0;                     // designs that took their stored results
  int replayed = 0;                     // designs that took a replayed evaluation's results
};

// Decodes every design (with the study relationships), then looks it up: a design already
// stored takes its stored results, a design repeated within the batch is evaluated once and
// its repeats take the results of the first. The others are to be evaluated. A design whose
// relationship failed draws its number here, after the agent's count.
BatchLookup lookUpDesigns(Agent& agent, AgentResults& results, const EncodingContext& encoding,
                          const std::vector<Design*>& designs, bool report = true) {
  BatchLookup lookup;
  RelationshipSettings relationships;
  relationships.evaluator = &evaluateRelationshipExpression;
  int& count = agent.evaluatedDesigns;
  int nextNumber = count + 1;
  relationships.nextDesignNumber = &nextNumber;
  lookup.relationshipsHeld.assign(designs.size(), 1);
  DesignStore batchTable;
  // (A batch of one design has nothing to repeat: its table stays off and costs nothing.)
  designStoreCreate(batchTable, results.store.context,
                    results.store.enabled && designs.size() > 1 ? 1 : 0);
  for (std::size_t i = 0; i < designs.size(); ++i) {
    Design& design = *designs[i];
    // Whatever it carries from an earlier life (a copy of a population member) is not its
    // outcome now.
    design.failed = false;
    design.designNumber = -1;
    Representation& representation = encodingRepresentationOf(design);
    const int before = nextNumber;
    lookup.relationshipsHeld[i] = decodeDesign(design, representation, encoding, &relationships);
    if (nextNumber != before) count = nextNumber - 1;  // a failing design drew its number
    if (lookup.relationshipsHeld[i] && results.store.enabled) {
      if (designStoreReuse(results.store, design)) {
        ++lookup.existing;
        continue;
      }
      if (takeReplayedResults(results, design)) {
        count = std::max(count, design.designNumber);
        nextNumber = count + 1;
        ++lookup.replayed;
        continue;
      }
      if (Design first; designStoreFind(batchTable, design, &first)) {
        lookup.repeats.emplace_back(i, static_cast<std::size_t>(first.designNumber));
        continue;
      }
      Design key = design;
      key.designNumber = static_cast<int>(i);  // its position, for the repeats
      designStoreInsert(batchTable, key);
    }
    lookup.toEvaluate.push_back(i);
  }
  if (results.store.enabled && report) {
    writeMessage("outptr", "note",
                 formatText("Num in: %d, num existing: %d, num duplicates: %d",
                            static_cast<int>(designs.size()), lookup.existing,
                            static_cast<int>(lookup.repeats.size())));
    // The running count of the agent's designs that took stored results, once it grew.
    if (lookup.existing > 0) {
      std::string line = designStoreProgressLine(results.store);
      line.pop_back();  // the message ends its own line
      writeMessage("outptr", "note", line);
    }
  }
  return lookup;
}

// The number of a design to evaluate: the one it drew when its relationship failed, the one
// it asks for, else the next after the agent's count (`count`) that no replayed evaluation
// holds. The count follows the numbers given.
int numberDesign(const Design& design, bool relationshipsHeld, const AgentResults& results,
                 int& count) {
  if (!relationshipsHeld) return design.designNumber;  // numbered when its relationship failed
  if (design.requestedNumber > 0) {
    count = std::max(count, design.requestedNumber);
    return design.requestedNumber;
  }
  while (results.replayPending.count(count + 1)) ++count;
  return ++count;
}

// Numbers, records, folders and values of each design to evaluate, in batch order. A design
// that cannot be set up is an error design: its jobs fail at once.
void setUpDesigns(FlowBatch& batch, const std::vector<Design*>& designs, const BatchLookup& lookup,
                  const EncodingContext& encoding) {
  int& count = batch.agent->evaluatedDesigns;
  const std::size_t base = batch.designs.size();  // designs already in the batch
  batch.designs.resize(base + lookup.toEvaluate.size());
  for (std::size_t slot = base; slot < batch.designs.size(); ++slot) {
    // Setting up thousands of designs takes a while: a stop signal ends the run here too.
    if (platform::stopSignal() != 0) pollInteraction(batch);
    const std::size_t i = lookup.toEvaluate[slot - base];
    FlowDesign& flow = batch.designs[slot];
    flow.batch = &batch;
    flow.design = designs[i];
    flow.slot = static_cast<int>(slot);
    Design& design = *designs[i];
    flow.number = numberDesign(design, lookup.relationshipsHeld[i], *batch.results, count);
    design.designNumber = flow.number;
    flow.context.agentNumber = batch.agent->number;
    flow.context.designNumber = flow.number;
    flow.context.designSlot = flow.slot;
    if (batch.process) flow.jobs.resize(batch.process->analyses.size());
    flow.loops.resize(batch.loops.size());
    startDesignResponses(flow.context, batch.responseNames);
    // Decoded again now that its turn has come: decoding fills the representation's slots,
    // from which the design's values are written.
    Representation& representation = encodingRepresentationOf(design);
    if (!lookup.relationshipsHeld[i]) {
      flow.error = true;
    } else if (!decodeDesign(design, representation, encoding)) {
      flow.error = true;
    }
    std::vector<DesignValueEntry> values = fillDesignValues(design, representation, flow.context);
    if (!setUpDesign(batch, flow, values)) flow.error = true;
    if (!flow.error && !evaluateDependentVariables(flow.context)) flow.error = true;
    if (flow.error) {
      for (std::size_t a = 0; a < flow.jobs.size(); ++a) {
        failJob(batch, flow, static_cast<int>(a), "");
      }
    }
  }
}

// Takes the set-up designs through their analyses (runBatch). A process without analyses has
// calculated responses only: a stop signal is looked for between designs, the run
// interaction file about once a second.
void runDesigns(FlowBatch& batch) {
  if (batch.process) {
    for (const Analysis& analysis : batch.process->analyses) {
      if (analysis.jobBatchMode && batch.parallel) {
        writeDesignNote(formatText("Job batch active for analysis %s", analysis.name.c_str()));
      }
    }
    runBatch(batch);
    return;
  }
  double nextPoll = 0;
  // (A steady-state batch grows as its designs finish: by position, not by iterator.)
  for (std::size_t slot = 0; slot < batch.designs.size(); ++slot) {
    if (platform::stopSignal() != 0 || platform::monotonicSeconds() >= nextPoll) {
      pollInteraction(batch);
      nextPoll = platform::monotonicSeconds() + 1.0;
    }
    finishDesign(batch, batch.designs[slot]);
    if (batch.designFinished) batch.designFinished(batch.designs[slot]);
  }
}

// A run that writes analysis files only: nothing was evaluated, so the agent has nothing to
// choose its next designs from. The files of this first batch are what the run was for, and
// the run ends in order here.
[[noreturn]] void endRunAfterFiles(const Agent& agent, const FlowBatch& batch) {
  const int first = batch.designs.front().number, last = batch.designs.back().number;
  const std::string which = first == last ? formatText("design %d", first)
                                          : formatText("designs %d to %d", first, last);
  writeMessage("outptr|stdout", "note",
               formatText("The analysis files of %s of agent %d have been written. Since "
                          "only analysis files are written, no analysis was run and the run "
                          "ends after this first set of designs.",
                          which.c_str(), agent.number));
  exitRun(kExitNormal, true);
}

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
        // Every value of a vector response, in order.
        text += formatText("\n%s = %g", performance->name[r].c_str(), value.values.front());
        for (std::size_t v = 1; v < value.values.size(); ++v) {
          text += formatText(", %g", value.values[v]);
        }
      } else {
        text += formatText("\n%s = (no data)", performance->name[r].c_str());
      }
    }
  }
  return text;
}

void resetEvaluationFlow() { interactionStarted = false; }

EvaluationServices standardEvaluationServices() {
  EvaluationServices services;
  services.score = &performance;
  return services;
}

void routeAnalysisMessages() { analysisLogPath = &logPathForMessages; }

BatchSummary evaluateDesigns(Agent& agent, std::vector<Design>& designs,
                             const EvaluationServices& services) {
  BatchSummary summary;
  if (designs.empty()) {
    writeMessage("outptr", "internal error",
                 "Call to the evaluation routine with 0 designs to evaluate.");
    return summary;
  }
  FlowBatch batch;
  setUpBatch(batch, agent, services);
  BatchGuard guard(batch);
  connectConditions(batch, services);
  clearConditionValues();

  AgentResults& results = agentResults(agent);
  batch.results = &results;
  batch.loopValueNames = historyLoopValueNames(agent);
  batch.shape = historyShapeOfAgent(agent);
  EncodingContext encoding = encodingContextForAgent(agent);
  std::vector<Design*> pointers;
  for (Design& design : designs) pointers.push_back(&design);
  const BatchLookup lookup = lookUpDesigns(agent, results, encoding, pointers);
  setUpDesigns(batch, pointers, lookup, encoding);
  if (batch.designs.empty()) {
    // Every design was known: nothing to run.
    for (const auto& [repeat, first] : lookup.repeats) {
      takeResultsOf(designs[repeat], designs[first]);
    }
    summary.evaluated = lookup.replayed;
    return summary;
  }
  runDesigns(batch);
  if (interactionStarted) interactionApplyParallelChanges(interaction);
  for (const auto& [repeat, first] : lookup.repeats) takeResultsOf(designs[repeat], designs[first]);
  if (!run.settings.designFilesOnly && historySaveDue(results)) writeHistory(agent, results);
  summary.evaluated = lookup.replayed;
  for (const FlowDesign& flow : batch.designs) {
    ++summary.evaluated;
    if (flow.design->failed) ++summary.failed;
  }
  if (run.settings.designFilesOnly) endRunAfterFiles(agent, batch);
  writeDesignNote("\nCompleted design evaluation for all designs requested.");
  return summary;
}

BatchSummary evaluateDesignStream(Agent& agent, std::deque<Design>& designs,
                                  const EvaluationServices& services, const DesignRefill& refill) {
  BatchSummary summary;
  if (designs.empty()) return summary;
  FlowBatch batch;
  setUpBatch(batch, agent, services);
  BatchGuard guard(batch);
  connectConditions(batch, services);
  clearConditionValues();
  AgentResults& results = agentResults(agent);
  batch.results = &results;
  batch.loopValueNames = historyLoopValueNames(agent);
  batch.shape = historyShapeOfAgent(agent);
  const EncodingContext encoding = encodingContextForAgent(agent);
  // Each design is looked up and set up when the caller adds it. One whose results are
  // known already (stored, or replayed) goes back to the caller at once.
  std::size_t taken = 0;
  auto takeNew = [&]() {
    while (taken < designs.size()) {
      const std::size_t index = taken++;
      const std::vector<Design*> one{&designs[index]};
      const BatchLookup lookup = lookUpDesigns(agent, results, encoding, one, false);
      summary.evaluated += lookup.replayed;
      if (lookup.toEvaluate.empty()) {
        refill(index);
        continue;
      }
      setUpDesigns(batch, one, lookup, encoding);
      batch.designs.back().streamIndex = index;
    }
  };
  batch.designFinished = [&](const FlowDesign& flow) {
    refill(flow.streamIndex);
    takeNew();
  };
  takeNew();
  if (batch.designs.empty()) return summary;
  runDesigns(batch);
  if (interactionStarted) interactionApplyParallelChanges(interaction);
  if (!run.settings.designFilesOnly && historySaveDue(results)) writeHistory(agent, results);
  for (const FlowDesign& flow : batch.designs) {
    ++summary.evaluated;
    if (flow.design->failed) ++summary.failed;
  }
  if (run.settings.designFilesOnly) endRunAfterFiles(agent, batch);
  writeDesignNote("\nCompleted design evaluation for all designs requested.");
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
    // The portal's own messages of the extraction (a missing output file, say) go to the
    // listing with those of each response; a response it could not give stays "ERROR".
    PropertiesMap data = portalProperties(analysis, folder, true);
    const PortalResult result = portalFor(analysis)->extract(data, responseExtractionCallback(context));
    for (const std::string& line : result.messages) {
      const PortalMessage message = portalMessage(line);
      writeMessage("outptr", message.severity, message.text);
    }
  }
  processAnalysisResponses(analysis, context, performance);
}

}  // namespace karvo
