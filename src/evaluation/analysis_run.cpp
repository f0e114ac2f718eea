// Starting commands: the launch property set handed to the job controller for every pre,
// analysis, post and utility command of every design (runCommand), commands run through the
// temporary command file (remote copies and remote utility commands), and the programs that
// portals ask the solver to start (launchCommand). A few calls per analysis of each design.
#include "evaluation/analysis_run.h"

#include <cstdio>
#include <sstream>
#include <utility>

#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "definitions/resources.h"
#include "definitions/study.h"
#include "external/extension_manager.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {

namespace {

constexpr char kSep = platform::kPathSeparator;

std::string nameOfAnalysis(const EvaluationContext& context) {
  if (!context.analysisName.empty()) return context.analysisName;
  return context.analysis ? context.analysis->name : std::string();
}

// `path` made absolute below the study folder.
std::string underStudy(const std::string& path) {
  if (!path.empty() && path[0] == kSep) return path;
  return platform::joinPath(run.workingDirectory, path);
}

const char* kindWord(CommandKind kind) {
  switch (kind) {
    case CommandKind::kPreAnalysis: return "preAnalysis";
    case CommandKind::kPreUpdate: return "preUpdateAnalysis";
    case CommandKind::kAnalysis: return "Analysis";
    case CommandKind::kPostAnalysis: return "postAnalysis";
    case CommandKind::kPostExtraction: return "postExtraction";
    case CommandKind::kUtility: return "utilAnalysis";
  }
  return "utilAnalysis";
}

const char* flag(bool value) { return value ? "true" : "false"; }

// The analysis's own settings that concern where and how its jobs run.
std::string analysisBlock(const Analysis& analysis) {
  PropertiesMap block;
  block.setValue("name", analysis.name);
  block.setValue("id", std::to_string(analysis.id));
  block.setValue("computeResource", analysis.computeResource);
  block.setValue("jobNamePrefix", analysis.jobNamePrefix);
  block.setValue("jobRemotePath", analysis.jobRemotePath);
  block.setValue("maxTime", std::to_string(analysis.maxTime));
  block.setValue("numDesigns", std::to_string(analysis.numDesigns));
  block.setValue("jobBatchMode", std::to_string(analysis.jobBatchMode));
  block.setValue("execShell", analysis.execShell);
  block.setValue("reserveSoftware", analysis.reserveSoftware);
  block.setValue("reserveVersion", analysis.reserveVersion);
  block.setValue("reserveEnvironment", analysis.reserveEnvironment);
  return formatResourceBlock(block);
}

// True when `folder` is `design` or below it.
bool isWithin(const std::string& folder, const std::string& design) {
  return folder == design ||
         (folder.size() > design.size() && folder.compare(0, design.size(), design) == 0 &&
          folder[design.size()] == kSep);
}

// The "*COMMAND" record of the command as it runs (or would have run), when asked for.
void recordCommand(const CommandRequest& request, const std::string& command,
                   const EvaluationContext& context) {
  if (!request.recordCommand) return;
  const std::string log = contextAnalysisLog(context);
  if (!log.empty()) appendToAnalysisLog(log, "*COMMAND\n" + command + "\n");
}

// The launch of a command that could not be started: the warning and the command go to the
// analysis log (with the reason when one is known) and the launch carries no job.
CommandLaunch notStarted(CommandLaunch launch, const CommandRequest& request,
                         const EvaluationContext& context, const std::string& reason) {
  recordCommand(request, launch.command, context);
  std::string text = "Error in executing the following command (could not create the process "
                     "to run this):\n" +
                     launch.command;
  if (!reason.empty()) text += "\n" + reason;
  writeMessage("analysis", "warning", text, context.designNumber, nameOfAnalysis(context));
  launch.job.reset();
  return launch;
}

// A new job object from the "JobController" extension library; made directly when the
// extension manager has not been created (utility programs, tests).
std::unique_ptr<Job> newJob() {
  if (ExtensionManager* manager = ExtensionManager::current()) {
    if (ExtensionLibrary* library = manager->library("JobController")) {
      if (std::unique_ptr<Job> job = library->createObject(kJobObjectKind)) return job;
    }
  }
  return createJobObject(kJobObjectKind, jobControllerOptions(nullptr));
}

// The line that runs the remote execution script on the far side.
bool remoteInvocation(RemoteProfile& profile, const Analysis* analysis,
                      const std::string& scriptPath, std::string& line, std::string& error) {
  bool ok = false;
  std::string script = profile.quoteRemoteArgument(scriptPath, ok);
  if (!ok) {
    error = profile.getLastErrorMsg();
    return false;
  }
  if (!profile.posixShell()) {
    line = script;
    return true;
  }
  std::vector<std::string> shell;
  std::string shellText = analysis ? trimmed(analysis->execShell) : std::string();
  if (shellText.empty() || !remote::splitCommandWords(shellText, shell) || shell.empty()) {
    shell = {"/bin/sh"};
  }
  line.clear();
  for (const std::string& word : shell) {
    std::string quoted = profile.quoteRemoteArgument(word, ok);
    if (!ok) {
      error = profile.getLastErrorMsg();
      return false;
    }
    line += quoted + " ";
  }
  line += script;
  return true;
}

// The local folder a command runs in: the one asked for, or the run folder of its analysis,
// or the study folder. False, with `reason`, when the run folder cannot be resolved.
bool commandFolder(const CommandRequest& request, const EvaluationContext& context,
                   const std::string& analysisName, std::string& folder, std::string& reason) {
  folder = request.folder;
  if (folder.empty()) {
    if (context.analysis || !analysisName.empty()) {
      ResolvedPath runFolder = resolveRunFolder(context);
      if (!runFolder.ok) {
        reason = runFolder.error;
        return false;
      }
      folder = runFolder.path;
    } else {
      folder = run.workingDirectory;
    }
  }
  folder = underStudy(folder);
  return true;
}

// The file a logged command's output goes to: the one asked for, the analysis log, or the
// study's utility output file; "" when the command is not logged.
std::string commandLogFile(const CommandRequest& request, const EvaluationContext& context,
                           const std::string& analysisName) {
  if (!request.logging) return "";
  if (!request.logFile.empty()) return underStudy(request.logFile);
  if (!analysisName.empty()) return contextAnalysisLog(context);
  return formatText("%s%c%s", run.workingDirectory.c_str(), kSep, kUtilityOutputName);
}

// The compute resource a command runs on: the one the request names, else the analysis's.
// False, with `reason`, for a name that is not defined or names a set of resources.
bool commandResource(const CommandRequest& request, const EvaluationContext& context,
                     const ComputeResource*& resource, std::string& reason) {
  resource = contextResource(context);
  if (!request.resourceName.empty()) {
    resource = findComputeResource(request.resourceName);
    if (!resource) {
      reason = formatText("The compute resource \"%s\" has not been defined.",
                          request.resourceName.c_str());
      return false;
    }
  }
  if (resource && resource->type == ResourceType::MachineSet) {
    reason = formatText("The compute resource \"%s\" is a set of resources; a member of the "
                        "set must be chosen before a command runs on it.",
                        resource->name.c_str());
    return false;
  }
  return true;
}

// Whether the command runs on the resource's remote machine. A command meant for the far
// side of an analysis that has none runs here, with a note in the analysis log.
bool runsRemotely(const CommandRequest& request, const EvaluationContext& context,
                  const ComputeResource* resource, const std::string& analysisName) {
  if (request.side == RunSide::kRemote) {
    if (isRemoteResource(resource)) return true;
    writeMessage("analysis", "note",
                 "Requested execution of a command on remote machine. However, this analysis "
                 "is not setup to run on a remote machine. Running commands locally.",
                 context.designNumber, analysisName);
    return false;
  }
  return request.side == RunSide::kAuto && request.kind == CommandKind::kAnalysis &&
         isRemoteResource(resource);
}

// What a command that runs on a remote machine hands to the job controller.
struct RemoteSide {
  std::string execCommand;  // the line the job runs (here: the command itself)
  std::string block;        // the remote profile's record
  std::string folder;       // the run folder on the far side
  std::string study;        // the study folder on the far side
};

// Readies the far side of a remote command: its run folder, the remote execution script and
// the line that runs it. A far side without a POSIX shell (cmd.exe) would take sh quoting
// literally: there the values go into the command as they are. False, with `reason`.
bool prepareRemoteSide(const CommandRequest& request, const EvaluationContext& context,
                       const ComputeResource& resource, const std::string& folder,
                       CommandLaunch& out, RemoteSide& remote, std::string& reason) {
  std::unique_ptr<RemoteProfile> profile = openRemoteProfile(&resource, context);
  if (!profile) {
    reason = formatText("The remote profile \"%s\" of the compute resource \"%s\" is not "
                        "defined.",
                        resource.remoteProfile.c_str(), resource.name.c_str());
    return false;
  }
  remote.folder = request.remoteFolder;
  if (remote.folder.empty()) {
    ResolvedPath remoteRun = resolveRunFolder(context, true);
    if (!remoteRun.ok) {
      reason = remoteRun.error;
      return false;
    }
    remote.folder = remoteRun.path;
  }
  if (!profile->posixShell()) out.command = replaceTags(request.command, context, TagQuoting::kNone);
  remote.study = remoteStudyFolder(*profile, context.analysis);
  std::string scriptPath;
  if (!writeRemoteExecutionScript(*profile, context, out.command, folder, remote.folder,
                                  out.logFile, scriptPath)) {
    reason.clear();
    return false;
  }
  if (!remoteInvocation(*profile, context.analysis, scriptPath, remote.execCommand, reason)) {
    return false;
  }
  const RemoteMachineDefinition* machine = findRemoteMachine(resource.remoteProfile);
  remote.block = machine ? formatResourceBlock(machine->properties) : std::string();
  return true;
}

// The resource's record goes to the controller when the resource itself runs the job: the
// analysis command, or any command on its remote machine. Other commands run Direct here.
// On the remote machine of a Scheduled resource only the analysis goes to the scheduler: the
// other commands there (pre and post commands) run on that machine directly.
std::string resourceBlockFor(const CommandRequest& request, const EvaluationContext& context,
                             const ComputeResource* resource, bool remote) {
  if (!resource || !(remote || (request.kind == CommandKind::kAnalysis && !resource->remote))) {
    return "";
  }
  PropertiesMap record = resource->properties;
  if (remote && request.kind != CommandKind::kAnalysis &&
      resource->type == ResourceType::Scheduled) {
    record.setValue("type", "Direct");
  }
  if (context.analysis && !trimmed(context.analysis->jobNamePrefix).empty()) {
    record.setValue("jobPrefix", trimmed(context.analysis->jobNamePrefix));
  }
  return formatResourceBlock(record);
}

// The job script: in the command's folder, unless that folder is shared by every design
// (study, project or fixed folders), where two designs' jobs could overwrite each other's
// script; it then goes into the design folder.
std::string jobScriptPath(const EvaluationContext& context, const std::string& analysisName,
                          CommandKind kind, const std::string& folder) {
  std::string scriptFolder = folder;
  if (!analysisName.empty()) {
    std::string design = designFolder(contextAgentFolder(context), context.designNumber);
    if (!isWithin(folder, design) && platform::isDirectory(design)) scriptFolder = design;
  }
  return platform::joinPath(scriptFolder, jobScriptName(analysisName, kind));
}

// The launch property set of the job controller.
void fillLaunch(const CommandRequest& request, const EvaluationContext& context,
                const ComputeResource* resource, const std::string& folder,
                const RemoteSide& remote, CommandLaunch& out) {
  const Analysis* analysis = context.analysis;
  std::string deletes, copies;
  for (const std::string& file : request.remoteFileDeletes) {
    deletes += formatText("file,%s\n", file.c_str());
  }
  for (const RemoteFileCopy& copy : request.remoteFileCopies) {
    copies += formatText("%s,%s,%s,%s\n", copy.direction.c_str(),
                         copy.isFolder ? "folder" : "file", copy.source.c_str(),
                         copy.target.c_str());
  }
  const bool isAnalysisRun = request.kind == CommandKind::kAnalysis;
  std::string finishBlock;
  if (isAnalysisRun && analysis && !analysis->finishCondition.empty()) {
    if (const Condition* condition = findCondition(analysis->finishCondition)) {
      finishBlock = condition->recordText;
    }
  }
  PropertiesMap& launch = out.launch;
  launch.setValue("study_name", run.studyName);
  launch.setValue("study_dir", run.workingDirectory);
  launch.setValue("analysis_dir", folder);
  launch.setValue("analysis_num", analysis ? std::to_string(analysis->id) : "0");
  launch.setValue("case_num", std::to_string(context.caseIndex + 1));
  launch.setValue("design_num", std::to_string(context.designNumber));
  launch.setValue("do_logging", flag(request.logging));
  launch.setValue("analysis_block", analysis ? analysisBlock(*analysis) : std::string());
  launch.setValue("job_script", out.scriptPath);
  launch.setValue("out_log_file", out.logFile);
  launch.setValue("err_log_file", out.logFile);
  launch.setValue("exec_cmd", remote.execCommand);
  launch.setValue("do_job_block", flag(isAnalysisRun && analysis && analysis->jobBatchMode));
  launch.setValue("do_verbose", flag(study.options.scriptingVerbose != 0));
  launch.setValue("resource_name", resource ? resource->name : kDefaultResourceName);
  launch.setValue("resource_block", resourceBlockFor(request, context, resource, out.remote));
  launch.setValue("finish_block", finishBlock);
  launch.setValue("remote_block", remote.block);
  launch.setValue("rmt_analysis_dir", remote.folder);
  launch.setValue("rmt_study_dir", remote.study);
  launch.setValue("rmt_file_deletes", deletes);
  launch.setValue("rmt_file_copies", copies);
  launch.setValue("do_analysis_run", flag(isAnalysisRun));
}

}  // namespace

std::string jobScriptName(const std::string& analysisName, CommandKind kind) {
  return formatText("Execute_%s_%s.sh", analysisName.empty() ? "NONE" : analysisName.c_str(),
                    kindWord(kind));
}

CommandLaunch runCommand(const CommandRequest& request, const EvaluationContext& context) {
  CommandLaunch out;
  const std::string analysisName = nameOfAnalysis(context);

  // 1. Tags. A command left with tags that could not be replaced is not run: the dummy
  //    command would fail in ways that an unchecked exit code could pass as a success.
  out.command = replaceTags(request.command, context);
  if (out.command == kDummyCommand && request.command != kDummyCommand) {
    return notStarted(std::move(out), request, context,
                      "Not every tag of the command could be replaced, so it was not started.");
  }
  std::string folder, reason;
  if (!commandFolder(request, context, analysisName, folder, reason)) {
    return notStarted(std::move(out), request, context, reason);
  }

  // 2. The log.
  out.logFile = commandLogFile(request, context, analysisName);

  // 3. The compute resource and the side the command runs on.
  const ComputeResource* resource = nullptr;
  if (!commandResource(request, context, resource, reason)) {
    return notStarted(std::move(out), request, context, reason);
  }
  out.remote = runsRemotely(request, context, resource, analysisName);
  RemoteSide remote;
  remote.execCommand = out.command;
  if (out.remote && !prepareRemoteSide(request, context, *resource, folder, out, remote, reason)) {
    return notStarted(std::move(out), request, context, reason);
  }
  out.scriptPath = jobScriptPath(context, analysisName, request.kind, folder);

  // 4. The launch property set.
  fillLaunch(request, context, resource, folder, remote, out);

  // 5. Submission.
  recordCommand(request, out.command, context);
  out.job = newJob();
  if (!out.job->submit(out.launch)) {
    reason = out.job->lastError();
    return notStarted(std::move(out), request, context, reason);
  }
  if (request.wait) out.job->finished(true);
  return out;
}

int runThroughCommandFile(const std::string& command, const std::string& folder,
                          const std::string& logFile) {
  const std::string where = folder.empty() ? platform::currentDirectory() : folder;
  const std::string redirect = logFile.empty()
                                   ? std::string(" 1>> /dev/null 2>&1")
                                   : " 1>> " + platform::shellQuote(logFile) + " 2>&1";
  const std::string file = platform::joinPath(where, kTempCommandFileName);
  // Run directly (when the file cannot be written) as a subshell, so that the redirection
  // takes the output of every part of the command, not only of its last one.
  std::string started = "(\n" + command + "\n)" + redirect;
  // The file holds the command alone: a redirection appended to its line would take over
  // the command's own output redirection ("cmd > out.txt 1>> log" writes to the log). The
  // redirection of the started line captures the output of the whole file instead.
  if (std::FILE* stream = std::fopen(file.c_str(), "w")) {
    std::string line = command + "\n";
    bool written = std::fwrite(line.data(), 1, line.size(), stream) == line.size();
    if (std::fclose(stream) == 0 && written) {
      started = "/bin/sh " + platform::shellQuote(file) + redirect;
    }
  }
  if (run.settings.verbose) writeMessage("stdout", "none", started);
  platform::SpawnSettings settings;
  settings.workingDirectory = where;
  platform::ChildProcess child;
  if (!platform::spawnShellCommand(started, settings, child)) return -1;
  platform::waitProcess(child);
  return child.exitStatus;
}

LaunchResult launchCommand(const std::string& executable, const std::string& arguments,
                           const std::string& options, const std::string& folder) {
  LaunchResult result;
  bool wait = true;
  bool processSpaces = false;
  std::istringstream words(options);
  for (std::string word; words >> word;) {
    word = lowerCase(word);
    if (word == "nowait") wait = false;
    if (word == "processspaces") processSpaces = true;
  }
  if (trimmed(executable).empty()) {
    result.error = "No program was given to launch.";
    return result;
  }
  result.commandLine = processSpaces ? executable : remote::quoteShellWord(executable, true);
  if (!trimmed(arguments).empty()) result.commandLine += " " + arguments;
  const std::string where = folder.empty() ? platform::currentDirectory() : folder;
  result.outputFile = platform::joinPath(where, kLaunchOutputName);

  platform::SpawnSettings settings;
  settings.workingDirectory = where;
  settings.stdoutPath = result.outputFile;
  settings.stderrPath = result.outputFile;
  platform::ChildProcess child;
  if (!platform::spawnShellCommand(result.commandLine, settings, child, &result.error)) {
    return result;
  }
  result.started = true;
  if (!wait) {
    platform::detachProcess(child);
    return result;
  }
  platform::waitProcess(child);
  result.exitCode = child.exitStatus;
  return result;
}

}  // namespace karvo
