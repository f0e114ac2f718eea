// The lifecycle of one job of the evaluation flow (one per design, analysis and loop case):
// submission, launch, the completion check, the processing of a completed analysis, and every
// way a job fails or is skipped. The state diagram and its invariants open
// evaluation_flow.cpp; each transition there names its function here. Runs a few times per
// job; the job's analysis runs for minutes to hours in between.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <vector>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "definitions/resources.h"
#include "definitions/study.h"
#include "evaluation/flow_batch.h"
#include "evaluation/responses.h"
#include "evaluation/run_interaction.h"
#include "evaluation/tagging.h"
#include "platform/platform.h"

namespace karvo::flow {

// ---------------------------------------------------------------------------------------
// Logs

namespace {

// The output of the analysis's commands goes to its log unless the analysis or the whole
// study (the run option captureOutput 0) switches that off.
bool capturesOutput(const Analysis& analysis) {
  return analysis.captureAnalysisOutput != 0 && study.options.captureOutput != 0;
}

}  // namespace

std::string designLogFile(int agentNumber, int designNumber) {
  return platform::joinPath(designPostFolder(agentNumber, designNumber), "design.log");
}

int caseOfAnalysis(const FlowBatch& batch, int designNumber, const std::string& analysisName) {
  if (!batch.process || batch.designs.empty()) return 0;
  const long slot = static_cast<long>(designNumber) - batch.designs.front().number;
  if (slot < 0 || slot >= static_cast<long>(batch.designs.size())) return 0;
  const int index = findAnalysis(*batch.process, analysisName);
  const FlowDesign& design = batch.designs[static_cast<std::size_t>(slot)];
  if (index < 0 || index >= static_cast<int>(design.jobs.size())) return 0;
  return design.jobs[static_cast<std::size_t>(index)].caseIndex;
}

void appendToFile(const std::string& path, const std::string& text) {
  if (!appendToAnalysisLog(path, text)) {
    // Once per run: a log that cannot be written usually stays so for every later line.
    static bool warned = false;
    if (!warned) {
      warned = true;
      writeMessage("outptr", "warning",
                   formatText("Could not append to the log file \"%s\". This and further log "
                              "records that cannot be written are left out of the logs.",
                              path.c_str()));
    }
  }
}

long logSize(const FlowBatch& batch, const FlowDesign& design, int index) {
  const std::string path = analysisLogFile(batch.agent->number, design.number,
                                           batch.process->analyses[index].name,
                                           design.jobs[index].caseIndex);
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<long>(size);
}

namespace {

std::string readLogPart(const std::string& path, long from, long to) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return text;
  if (from > 0) std::fseek(file, from, SEEK_SET);
  char buffer[4096];
  long left = to < 0 ? -1 : to - std::max(from, 0L);
  while (left != 0) {
    const std::size_t want = left < 0 ? sizeof buffer
                                      : std::min(sizeof buffer, static_cast<std::size_t>(left));
    const std::size_t got = std::fread(buffer, 1, want, file);
    if (got == 0) break;
    text.append(buffer, got);
    if (left > 0) left -= static_cast<long>(got);
  }
  std::fclose(file);
  return text;
}

std::string trimmedLine(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

// The body of the first error block of a log, its lines joined into one (the message layout
// ends a wrapped line with a blank); "" when the log has none.
std::string firstLogError(const std::string& path) {
  const std::vector<std::string> lines = linesOf(readLogPart(path, 0, -1));
  std::size_t i = 0;
  while (i < lines.size() && lines[i] != "*ERROR" && lines[i] != "*INTERNAL ERROR") ++i;
  std::string text;
  for (++i; i < lines.size() && !lines[i].empty() && lines[i][0] != '*'; ++i) {
    if (!text.empty() && text.back() != ' ') text += ' ';
    text += lines[i];
  }
  return trimmedLine(text);
}

}  // namespace

std::string designFailureText(const FlowBatch& batch, const FlowDesign& design) {
  const int agent = batch.agent->number;
  std::string text = formatText("Design %d of agent %d failed", design.number, agent);
  std::string log = designLogFile(agent, design.number);
  std::string lastOutput;
  for (std::size_t a = 0; a < design.jobs.size(); ++a) {
    const FlowJob& job = design.jobs[a];
    if (job.status != kStatusError) continue;
    const std::string& name = batch.process->analyses[a].name;
    text += formatText(" in analysis \"%s\"", name.c_str());
    log = analysisLogFile(agent, design.number, name, job.caseIndex);
    if (job.outputFrom >= 0 && job.outputTo > job.outputFrom) {
      // The command's output, between the records the solver wrote meanwhile (a keyword line
      // and the one line of its value: the command, its start, its job name and id).
      bool recordValue = false;
      for (const std::string& line : linesOf(readLogPart(log, job.outputFrom, job.outputTo))) {
        const std::string trimmed = trimmedLine(line);
        if (recordValue || (!line.empty() && line[0] == '*')) {
          recordValue = !recordValue;
          continue;
        }
        if (!trimmed.empty()) lastOutput = trimmed;
      }
    }
    break;
  }
  if (designsWithoutFolders(batch.process)) return text + ". The reason is in the message file.";
  const std::string error = firstLogError(log);
  text += error.empty() ? "." : ": " + error;
  if (!lastOutput.empty()) text += " Last output line: \"" + lastOutput + "\".";
  return text + " Log: " + log;
}

void logRecord(const FlowDesign& design, const std::string& analysis, const char* keyword,
               const std::string& value) {
  appendToFile(analysisLogFile(design.batch->agent->number, design.number, analysis,
                               caseOfAnalysis(*design.batch, design.number, analysis)),
               formatText("%s\n%s\n", keyword, value.c_str()));
}

void logNote(const FlowDesign& design, const std::string& analysis, const std::string& text,
             const char* severity) {
  writeMessage("analysis", severity, text, design.number, analysis);
}

std::string clockText() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return formatText("%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
}

// ---------------------------------------------------------------------------------------
// Failures downstream

void releaseJobResource(FlowDesign& design, FlowJob& job) {
  releaseComputeResource(job.resource, design.number, false);
}

void endJob(FlowDesign& design, const Analysis& analysis, FlowJob& job, int status) {
  releaseJobResource(design, job);
  if (job.job) {
    // The analysis is over: its command and whatever it left running in the background end.
    job.job->kill();
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

namespace {

// Whether condition `name` needs the job id: a ScheduledJob condition that finds its job by
// id, or a condition whose texts name the internal variable Job_ID (for a composite, any of
// its members).
bool conditionUsesJobId(const std::string& name) {
  const Condition* condition = findCondition(name);
  if (!condition) return false;
  if (condition->type == ConditionType::Composite) {
    for (const CompositeMember& member : condition->members) {
      if (conditionUsesJobId(member.name)) return true;
    }
    return false;
  }
  if (condition->type == ConditionType::ScheduledJob && condition->find == "ID") return true;
  auto names = [](const std::string& text) { return text.find("Job_ID") != std::string::npos; };
  for (const std::string& line : condition->formula) {
    if (names(line)) return true;
  }
  return names(condition->paramRef) || names(condition->fileRef) || names(condition->findText) ||
         names(condition->findRef) || names(condition->command) || names(condition->cmdText);
}

// The context of job `index` of `design` again, since another job of the design may have been
// submitted in the meantime: its analysis, case, compute resource, job name and id.
void restoreJobContext(FlowBatch& batch, FlowDesign& design, int index) {
  prepareContext(batch, design, index);
  const FlowJob& job = design.jobs[index];
  if (job.resource.resource >= 0) {
    design.context.jobResource = computeResources[job.resource.resource].name;
  }
  design.context.jobName = job.job ? job.job->jobName() : "";
  design.context.jobId = job.job ? job.job->jobId() : "";
}

// "*CMD_STARTTIME" once per job: at launch for a job that is not queued, else when the
// compute resource first shows it started (or, at the latest, when it is seen to end).
void markCommandStarted(const FlowDesign& design, const Analysis& analysis, FlowJob& job,
                        double now, const std::string& stamp) {
  if (job.clock.runStartTime >= 0) return;
  timingMarkStarted(job.clock, now);
  logRecord(design, analysis.name, "*CMD_STARTTIME", stamp);
}

// Logs the job's name and id and makes them the tags Job_Name and Job_ID; fails the job
// when its finish condition needs an id that the compute resource did not give.
bool noteJobIdentity(FlowBatch& batch, FlowDesign& design, int index);

}  // namespace

bool launchAnalysis(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  // "*COMMAND": as defined when nothing or a portal runs it; runCommand records the command
  // as it runs.
  auto recordCommand = [&](const std::string& command) {
    logRecord(design, analysis.name, "*COMMAND", command);
  };
  // A "nil" command runs nothing. Only a portal that runs its analyses itself (never the
  // General one) is still asked to run one, below.
  auto runNothing = [&] {
    recordCommand(analysis.command);
    logNote(design, analysis.name,
            "No execution being performed for this analysis, since the execution command is "
            "\"nil\".");
    job.state = kJobRunning;
    job.clock = timingSubmitted(platform::monotonicSeconds(), true);
    return true;
  };
  if (analysis.noExecution && isGeneralPortal(analysis)) return runNothing();
  if (run.settings.verbose) {
    logNote(design, analysis.name,
            formatText("Finished updating model. Starting submission of analysis command at %s.",
                       clockText().c_str()));
    if (analysis.jobBatchMode && batch.parallel) {
      logNote(design, analysis.name, "Analysis run mode = RunBatch");
    }
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
  if (!runCommandStep(batch, design, index, CommandKind::kPreAnalysis)) return false;
  writeDesignNote(formatText("Evaluating design #: %d  Analysis: %s", design.number,
                             analysis.name.c_str()));
  // The start is recorded once the job is known not to wait in a queue (below), with the
  // time at which the command was handed over.
  const std::string handedOver = platform::timeStamp();
  switch (portalRunAnalysis(batch, design, index, handedOver)) {
    case PortalLaunch::kFailed: recordCommand(analysis.command); return false;
    case PortalLaunch::kHandled: recordCommand(analysis.command); return true;
    case PortalLaunch::kNotHandled: break;
  }
  if (analysis.noExecution) return runNothing();
  logNote(design, analysis.name, "Running the analysis command.");
  CommandRequest request;
  request.kind = CommandKind::kAnalysis;
  request.command = analysis.command;
  request.folder = job.folder;
  request.logging = capturesOutput(analysis);
  request.recordCommand = true;
  if (request.logging) job.outputFrom = logSize(batch, design, index);
  CommandLaunch launch = runCommand(request, design.context);
  if (!launch.job) {
    failJob(batch, design, index, "");
    return false;
  }
  job.job = std::move(launch.job);
  job.state = kJobRunning;
  const double now = platform::monotonicSeconds();
  job.clock = timingSubmitted(now, false);
  if (job.job->held()) {  // its id comes with the array (handSubmittedBatches)
    job.awaitsBatch = true;
    return true;
  }
  if (!job.job->queued()) markCommandStarted(design, analysis, job, now, handedOver);
  return noteJobIdentity(batch, design, index);
}

namespace {

bool noteJobIdentity(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  // The job name and id as the compute resource gives them back: the tags Job_Name and
  // Job_ID of the commands and conditions that follow (the finish condition among them).
  design.context.jobName = job.job->jobName();
  design.context.jobId = job.job->jobId();
  if (!design.context.jobName.empty()) {
    logNote(design, analysis.name, formatText("Jobname: %s", design.context.jobName.c_str()));
  }
  if (!design.context.jobId.empty()) {
    logNote(design, analysis.name, formatText("JobID: %s", design.context.jobId.c_str()));
  } else if (!analysis.finishCondition.empty() && conditionUsesJobId(analysis.finishCondition)) {
    failJob(batch, design, index,
            formatText("Could not read back the job id from the compute resource. The finish "
                       "condition \"%s\" refers to Job_ID, so the end of the job cannot be "
                       "detected. This design analysis will be marked as error.",
                       analysis.finishCondition.c_str()));
    return false;
  }
  return true;
}

}  // namespace

void handSubmittedBatches(FlowBatch& batch, int index) {
  bool any = false;
  for (const FlowDesign& design : batch.designs) any = any || design.jobs[index].awaitsBatch;
  if (!any) return;
  submitJobBatches();
  for (FlowDesign& design : batch.designs) {
    FlowJob& job = design.jobs[index];
    if (!job.awaitsBatch) continue;
    job.awaitsBatch = false;
    if (job.state != kJobRunning || !job.job) continue;
    restoreJobContext(batch, design, index);
    if (job.job->state() == JobState::kFailed) {
      failJob(batch, design, index, job.job->lastError());
      continue;
    }
    if (job.job->state() != JobState::kRunning) continue;  // killed while it was held
    job.clock = timingSubmitted(platform::monotonicSeconds(), false);
    noteJobIdentity(batch, design, index);
  }
}

void submitAnalysis(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  prepareContext(batch, design, index);
  if (job.resource.resource >= 0) {
    design.context.jobResource = computeResources[job.resource.resource].name;
  }
  writeDesignNote(formatText("Starting submission for Design %d - Analysis %s (Time: %s)",
                             design.number, analysis.name.c_str(), clockText().c_str()));
  logNote(design, analysis.name,
          formatText("Compute resource used: %s",
                     design.context.jobResource.empty() ? kDefaultResourceName
                                                        : design.context.jobResource.c_str()));
  logNote(design, analysis.name, formatText("Design name: Design%d", design.number));
  logRecord(design, analysis.name, "*STARTTIME", platform::timeStamp());
  // "*COMMAND" follows at the launch, once the command's tags are replaced.
  if (capturesOutput(analysis)) {
    logRecord(design, analysis.name, "*OUTPUTFILE",
              analysisLogFile(batch.agent->number, design.number, analysis.name,
                              job.caseIndex));
  }

  writeDesignNote(formatText("Creating directory and files for Design %d - Analysis %s",
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
  // The portal is initialized before the input files are copied: its extra input files go
  // with them and the files it marks for deletion are removed right after.
  PortalInitResult init;
  if (!portalInitialize(batch, design, index, init)) return;
  const bool filesOnly = run.settings.designFilesOnly != 0;
  if (!copyInputFiles(batch, design, index, job.folder) ||
      !copyPortalStartFiles(batch, design, index, init)) {
    if (!filesOnly) {
      failJob(batch, design, index, "");
      return;
    }
    // Files that other analyses make are not there when nothing runs.
    logNote(design, analysis.name,
            "Not every input file could be copied. Since only the analysis files are written, "
            "the files of this analysis are written without them.",
            "warning");
  }

  if (!filesOnly && !runCommandStep(batch, design, index, CommandKind::kPreUpdate)) return;

  if (!portalPrepare(batch, design, index)) return;
  logNote(design, analysis.name, "Created new design files");
  if (filesOnly) {
    logNote(design, analysis.name,
            "Only the analysis files are written (designFilesOnly): no command of this analysis "
            "is run.");
    endJob(design, analysis, job, kStatusNotEvaluated);
    return;
  }
  launchAnalysis(batch, design, index);
}

// ---------------------------------------------------------------------------------------
// Completion

// True when the job's process runs the analysis command on this machine (no compute
// resource, or a Direct one that is not remote): its end is the command's end, finished(false)
// is one waitpid that never blocks, and the loop's wait ends as soon as the process exits.
// A scheduler's job, a remote machine's and a portal's run end in ways only their checks see.
bool runsOnThisMachine(const Analysis& analysis, const FlowJob& job) {
  if (!job.job || job.portalRun) return false;
  const ComputeResource* resource = nullptr;
  if (job.resource.resource >= 0) {
    resource = &computeResources[static_cast<std::size_t>(job.resource.resource)];
  } else if (!analysis.computeResource.empty()) {
    resource = findComputeResource(analysis.computeResource);
  }
  return !resource || (resource->type == ResourceType::Direct && !isRemoteResource(resource));
}

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
  if (!job.job && !job.portalRun && analysis.finishCondition.empty()) {
    logRecord(design, analysis.name, "*CMD_ENDTIME", platform::timeStamp());
    return true;
  }
  const AnalysisTiming timing = timingOf(analysis);
  if (job.job && job.clock.runStartTime < 0 && !job.job->queued()) {
    markCommandStarted(design, analysis, job, now, platform::timeStamp());
  }
  if (timingOverdue(timing, job.clock, now)) {
    logNote(design, analysis.name, timingOverdueText(analysis.name, design.number), "warning");
    logRecord(design, analysis.name, "*CMD_ENDTIME", platform::timeStamp());
    if (job.job) job.job->kill();
    // An analysis the portal runs cannot be stopped from here: it fails unfinished.
    if (job.portalRun) job.portalRunError = true;
    return true;
  }
  timingPropose(proposal, timing, job.clock, now);
  if (run.settings.verbose && timingInInitialWait(timing, job.clock, now) &&
      (job.clock.lastMessageTime == job.clock.submitTime ||
       timingProgressNoteDue(timing, job.clock, now))) {
    // Told at the first look and then at the pace of the progress notes, not on every pass.
    logNote(design, analysis.name, timingInitialWaitText(timing));
    job.clock.lastMessageTime = now;
  }
  // A local analysis whose process has ended is checked at once, not at the next tick of
  // finishCheckFrequency: a short analysis would otherwise wait out the whole interval. The
  // finish condition still decides; when it is not met yet, the checks go on at their pace.
  const bool processEnded = !job.processEndChecked &&
                            !timingInInitialWait(timing, job.clock, now) &&
                            runsOnThisMachine(analysis, job) && job.job->finished(false);
  if (processEnded) {
    job.processEndChecked = true;
  } else if (!timingCheckDue(timing, job.clock, now)) {
    return false;
  }
  const bool note = timingProgressNoteDue(timing, job.clock, now);
  if (note) {
    logNote(design, analysis.name,
            timingProgressText(analysis.name, design.number, job.clock, now,
                               run.settings.verbose != 0, platform::nowMillis()));
  }
  timingCheckMade(job.clock, now, note);
  bool complete = false;
  if (!analysis.finishCondition.empty()) {
    restoreJobContext(batch, design, index);
    complete = evaluateCondition(analysis.finishCondition, design.context, design.slot, true,
                                 batch.conditions) == 1;
    if (complete && job.job && !job.job->finished(false)) {
      job.job->kill();
      job.declaredComplete = true;
    }
  } else if (job.portalRun) {
    complete = portalFinished(batch, design, index, note);
  } else {
    complete = job.job->finished(false);
    timingCheckSeen(job.clock, job.job->lastCheckTime());
  }
  // The check may be what shows a queued job started (or already ended).
  if (job.job && (complete || !job.job->queued())) {
    markCommandStarted(design, analysis, job, now, platform::timeStamp());
  }
  if (!complete) return false;
  if (job.outputFrom >= 0) job.outputTo = logSize(batch, design, index);
  logNote(design, analysis.name,
          formatText("Detected analysis completion. (%d seconds since analysis start)",
                     static_cast<int>(now - job.clock.submitTime)));
  logRecord(design, analysis.name, "*CMD_ENDTIME", platform::timeStamp());
  return true;
}

void readAnalysisFromDisk(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  prepareContext(batch, design, index);
  const std::string folder = design.context.analysisPath;
  if (!platform::isDirectory(folder)) {
    skipAnalysis(design, analysis, job,
                 formatText("The folder of this analysis (%s) was not found in the design "
                            "folder of the earlier evaluation. The analysis is skipped.",
                            folder.c_str()));
    return;
  }
  ResolvedPath runFolder = resolveRunFolder(design.context);
  job.folder = runFolder.ok ? runFolder.path : folder;
  design.context.analysisPath = job.folder;
  logNote(design, analysis.name,
          formatText("The results of this analysis are read from its folder (%s) as an earlier "
                     "evaluation left it. No command is run.",
                     job.folder.c_str()));
  // The portal only reads: it is not initialized (which may prepare files) for this.
  job.portalData = portalJobProperties(batch, design, index);
  const bool portalPassed = portalCheckAndExtract(batch, design, index);
  const std::vector<std::string> missing =
      processAnalysisResponses(analysis, design.context, batch.performance);
  if (!missing.empty()) {
    logNote(design, analysis.name,
            missingAnalysisResponsesText(
                missing, analysisLogFile(batch.agent->number, design.number, analysis.name,
                                         job.caseIndex)),
            "error");
  }
  const int status = analysisStatusOf(analysis, false, !portalPassed, design.context);
  endJob(design, analysis, job, status);
  if (status == kStatusError) stopDownstream(batch, design, index);
}

void processCompletedAnalysis(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  restoreJobContext(batch, design, index);
  exportInternalVariables(design.context);
  writeDesignNote(formatText("Detected completion of analysis \"%s\" for design %d.",
                             analysis.name.c_str(), design.number));
  if (job.portalRunError) {
    failJob(batch, design, index, "");
    return;
  }
  // The outputs of a remote run come back first: the post-analysis command runs here and
  // works on them.
  const ComputeResource* resource = contextResource(design.context);
  if (isRemoteResource(resource)) {
    std::unique_ptr<RemoteProfile> profile = openRemoteProfile(resource, design.context);
    if (!profile || !copyOutputFilesBack(*profile, batch, design, index)) {
      logNote(design, analysis.name,
              "Not every output file could be copied back from the remote machine.", "warning");
    }
  }
  if (!runCommandStep(batch, design, index, CommandKind::kPostAnalysis)) return;
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
    if (evaluateCondition(analysis.successCondition, design.context, design.slot, true,
                          batch.conditions) == 1) {
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

  // The portal's success check and extraction, then the calculated responses of the
  // analysis.
  const bool portalPassed = portalCheckAndExtract(batch, design, index);
  const std::vector<std::string> missing =
      processAnalysisResponses(analysis, design.context, batch.performance);
  if (!missing.empty()) {
    logNote(design, analysis.name,
            missingAnalysisResponsesText(
                missing, analysisLogFile(batch.agent->number, design.number, analysis.name,
                                         job.caseIndex)),
            "error");
  }
  if (!runCommandStep(batch, design, index, CommandKind::kPostExtraction)) return;
  const int status = analysisStatusOf(analysis, false, !portalPassed, design.context);
  if (status == kStatusError) {
    endJob(design, analysis, job, kStatusError);
    stopDownstream(batch, design, index);
  } else {
    endJob(design, analysis, job, status);
  }
}

}  // namespace karvo::flow
