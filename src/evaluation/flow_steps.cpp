// The steps around an analysis of the evaluation flow: the pre, pre-update, post and
// post-extraction commands (one function for all four), the input files of a job, and the
// calls of the analysis's portal. A handful of calls per job.
//
// The portal calls of one job, in the order the flow makes them (flow_jobs.cpp):
//   submission   initialize (portalInitialize; its extra output files are kept in the job)
//                -> input files copied, the portal's extra input files copied and the files it
//                marks for deletion removed (copyPortalStartFiles, through resolvePath)
//                -> pre-update command -> prepare (portalPrepare: the tagged input files)
//   launch       run (portalRunAnalysis): handled, the portal runs the analysis and the job
//                has no process; not handled (the General portal), the job controller starts
//                the command
//   completion   a job the portal runs: finishCheck at each completion check, with progress
//                when the progress note is due (portalFinished); others: their process or
//                finish condition
//   processing   remote output files copied back with the portal's extra output files
//                (copyOutputFilesBack) -> successCheck, then extract when it passed
//                (portalCheckAndExtract)
// Every call gets the job's map (portalJobProperties, built once at submission) and writes
// the portal's messages to the analysis log; a call that fails makes the analysis an error.
#include <algorithm>
#include <memory>

#include "base/memory.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/flow_batch.h"
#include "evaluation/responses.h"
#include "evaluation/tagging.h"
#include "external/extension_manager.h"
#include "external/portal_general.h"
#include "platform/platform.h"

namespace karvo::flow {

// ---------------------------------------------------------------------------------------
// Responses

Portal* portalFor(const Analysis& analysis) {
  if (ExtensionManager* manager = ExtensionManager::current()) {
    return manager->portal(analysis.solver);
  }
  static GeneralPortal general;
  return &general;
}

bool isGeneralPortal(const Analysis& analysis) {
  return std::string(portalFor(analysis)->name()) == "General";
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

namespace {

// Entries one per line, each ended by a line end.
std::string lineList(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += entry + "\n";
  return text;
}

// `name` in `folder` unless it is absolute.
std::string inFolder(const std::string& folder, const std::string& name) {
  if (!name.empty() && name[0] == platform::kPathSeparator) return name;
  return platform::joinPath(folder, name);
}

// The name of an input file in the run folder (its target, else its own name).
std::string inputTargetName(const InputFile& file) {
  return file.target.empty() ? platform::joinPath("", file.name).substr(1) : file.target;
}

// The name of a tagged input file in the run folder (its target, else the template's file
// name).
std::string taggedTargetName(const TaggedInputFile& file) {
  if (!file.target.empty()) return file.target;
  const std::size_t slash = file.templateFile.find_last_of(platform::kPathSeparator);
  return slash == std::string::npos ? file.templateFile : file.templateFile.substr(slash + 1);
}

}  // namespace

PropertiesMap portalProperties(const Analysis& analysis, const std::string& folder,
                               bool jobFinished,
                               std::unordered_map<std::string, std::string>* definitionTexts) {
  PropertiesMap map;
  // The keys every portal gets (portal.h); the design, case and batch keys keep these
  // defaults outside a batch.
  map.setValue("evalId", "0");
  map.setValue("caseIndex", "0");
  map.setValue("evaluateResponsesOnly", "false");
  map.setValue("analysisName", analysis.name);
  map.setValue("studyDir", run.workingDirectory);
  map.setValue("version", analysis.version);
  map.setValue("remoteDir", "");
  map.setValue("remoteStudyDir", "");
  map.setValue("SID_AnlName", run.studyName + "_" + analysis.name);
  map.setValue("destDir", folder);
  map.setValue("postDir", "");
  std::vector<std::string> tagged, templates, taggedPaths;
  for (const TaggedInputFile& file : analysis.taggedInputFiles) {
    tagged.push_back(taggedTargetName(file));
    templates.push_back(file.templateFile);
    taggedPaths.push_back(inFolder(folder, tagged.back()));
  }
  map.setValue("InTagged", lineList(tagged));
  map.setValue("InTagDef", lineList(templates));
  map.setValue("inputTagFilepaths", lineList(taggedPaths));
  std::vector<std::string> inputs, inputPaths;
  for (const InputFile& file : analysis.inputFiles) {
    if (!file.copy) continue;
    inputs.push_back(inputTargetName(file));
    inputPaths.push_back(inFolder(folder, inputs.back()));
  }
  map.setValue("inputFilenames", lineList(inputs));
  map.setValue("inputFilepaths", lineList(inputPaths));
  std::vector<std::string> responses, definitionFiles, definitionPaths;
  for (const TaggedOutputFile& file : analysis.taggedOutputFiles) {
    responses.push_back(file.response);
    definitionFiles.push_back(file.definition);
    definitionPaths.push_back(studyPath(file.definition));
  }
  map.setValue("OutTagged", lineList(responses));
  map.setValue("OutTagDef", lineList(definitionFiles));
  map.setValue("outputTagFilepaths", lineList(definitionPaths));
  std::vector<std::string> outputPaths;
  for (const std::string& output : analysis.outputFiles) {
    outputPaths.push_back(inFolder(folder, output));
  }
  map.setValue("outputFilenames", lineList(analysis.outputFiles));
  map.setValue("outputFilepaths", lineList(outputPaths));
  map.setValue("NoRemote", "true");
  map.setValue("EvalRun", "false");
  map.setValue("ResolvePaths", "true");
  map.setValue("BatchInfo", "1:1");
  map.setValue("remoteUpdate", "false");
  map.setValue("remoteExtract", "false");

  // The keys of the General portal (portal_general.h).
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
  map.setValue("jobFinished", jobFinished ? "true" : "false");
  return map;
}

PropertiesMap portalJobProperties(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  const FlowJob& job = design.jobs[index];
  PropertiesMap map = portalProperties(analysis, job.folder, false, &batch.definitionTexts);
  map.setValue("evalId", formatText("%d", design.number));
  map.setValue("caseIndex", formatText("%d", job.caseIndex));
  map.setValue("postDir", designPostFolder(batch.agent->number, design.number));
  map.setValue("EvalRun", "true");
  map.setValue("BatchInfo",
               formatText("%d:%d", design.slot + 1, static_cast<int>(batch.designs.size())));
  const ComputeResource* resource = contextResource(design.context);
  if (isRemoteResource(resource)) {
    map.setValue("NoRemote", "false");
    if (std::unique_ptr<RemoteProfile> profile = openRemoteProfile(resource, design.context)) {
      ResolvedPath remoteFolder = resolveRunFolder(design.context, true);
      if (remoteFolder.ok) map.setValue("remoteDir", remoteFolder.path);
      map.setValue("remoteStudyDir", remoteStudyFolder(*profile, &analysis));
    }
  }
  return map;
}

PortalMessage portalMessage(const std::string& line) {
  // The text after the marker, without the blank that follows it.
  auto after = [&line](std::size_t marker) {
    return line.substr(line.size() > marker && line[marker] == ' ' ? marker + 1 : marker);
  };
  if (line.rfind("ERROR:", 0) == 0) return {"error", after(6)};
  if (line.rfind("WARNING:", 0) == 0) return {"warning", after(8)};
  return {"note", line};
}

void logPortalMessages(const FlowDesign& design, const std::string& analysis,
                       const PortalResult& result) {
  for (const std::string& line : result.messages) {
    const PortalMessage message = portalMessage(line);
    logNote(design, analysis, message.text, message.severity);
  }
}

// ---------------------------------------------------------------------------------------
// Portal calls of a job

namespace {

std::string fileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of(platform::kPathSeparator);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of(platform::kPathSeparator);
  if (slash == std::string::npos) return "";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

bool listed(const std::vector<std::string>& list, const std::string& entry) {
  return std::find(list.begin(), list.end(), entry) != list.end();
}

// The real path of `file` as the portal names it. False when the portal cannot say (its
// messages are written).
bool resolvePortalPath(const FlowDesign& design, const Analysis& analysis, const FlowJob& job,
                       const std::string& file, std::string& path) {
  logNote(design, analysis.name, "Getting updated file path from portal");
  PortalPathResult resolved = portalFor(analysis)->resolvePath(job.portalData, file);
  logPortalMessages(design, analysis.name, resolved);
  if (!resolved.ok || resolved.path.empty()) return false;
  path = resolved.path;
  return true;
}

}  // namespace

bool portalInitialize(FlowBatch& batch, FlowDesign& design, int index, PortalInitResult& init) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  job.portalRun = false;
  job.portalRunError = false;
  job.portalOutputFiles.clear();
  job.portalData = portalJobProperties(batch, design, index);
  init = portalFor(analysis)->initialize(job.portalData);
  logPortalMessages(design, analysis.name, init);
  if (!init.ok) {
    failJob(batch, design, index, "");
    return false;
  }
  logNote(design, analysis.name, "Initialized the portal analysis");
  // Only names inside the run folder can come back from a remote one; the analysis's own
  // output files come back anyway.
  for (const std::string& file : init.extraOutputFiles) {
    if (file.empty() || file[0] == platform::kPathSeparator) continue;
    if (listed(analysis.outputFiles, file) || listed(job.portalOutputFiles, file)) continue;
    job.portalOutputFiles.push_back(file);
  }
  return true;
}

bool copyPortalStartFiles(FlowBatch& batch, FlowDesign& design, int index,
                          const PortalInitResult& init) {
  const Analysis& analysis = batch.process->analyses[index];
  const FlowJob& job = design.jobs[index];
  for (const std::string& file : init.extraInputFiles) {
    if (file.empty()) continue;
    std::string source;
    if (!resolvePortalPath(design, analysis, job, file, source)) {
      logNote(design, analysis.name,
              formatText("Error in getting the correct path for the input file \"%s\" from the "
                         "portal.",
                         file.c_str()),
              "error");
      return false;
    }
    // A relative name keeps its place below the run folder; an absolute one arrives there
    // under its file name. A file the portal already has in the run folder stays.
    const std::string target =
        platform::joinPath(job.folder, file[0] == platform::kPathSeparator ? fileNameOf(file)
                                                                           : file);
    if (target == source) continue;
    std::string error;
    if (!platform::copyFile(source, target, &error)) {
      logNote(design, analysis.name,
              formatText("Could not copy the input file \"%s\" to \"%s\": %s", source.c_str(),
                         target.c_str(), error.c_str()),
              "error");
      return false;
    }
  }
  for (const std::string& file : init.extraDeleteFiles) {
    if (file.empty()) continue;
    std::string path;
    if (!resolvePortalPath(design, analysis, job, file, path)) {
      logNote(design, analysis.name,
              formatText("Error in getting the correct path for the file \"%s\" to be deleted "
                         "from the portal.",
                         file.c_str()),
              "error");
      return false;
    }
    if (!platform::isRegularFile(path)) continue;
    logNote(design, analysis.name,
            formatText("Deleting file \"%s\" at the start of the analysis from folder \"%s\".",
                       fileNameOf(path).c_str(), folderOf(path).c_str()));
    std::string error;
    if (!platform::removeFile(path, &error)) {
      logNote(design, analysis.name,
              formatText("Could not delete the file \"%s\": %s", path.c_str(), error.c_str()),
              "warning");
    }
  }
  return true;
}

bool portalPrepare(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  PortalResult prepared =
      portalFor(analysis)->prepare(job.portalData, tagValueCallback(design.context));
  logPortalMessages(design, analysis.name, prepared);
  if (!prepared.ok) {
    failJob(batch, design, index, "");
    return false;
  }
  logNote(design, analysis.name, "Prepared portal analysis");
  return true;
}

PortalLaunch portalRunAnalysis(FlowBatch& batch, FlowDesign& design, int index,
                               const std::string& handedOver) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  const std::string called = platform::timeStamp();
  PortalRunResult ran = portalFor(analysis)->run(job.portalData);
  if (ran.ok && !ran.handled) {
    logPortalMessages(design, analysis.name, ran);
    return PortalLaunch::kNotHandled;
  }
  // The portal took the run: its steps are written as they happened.
  logRecord(design, analysis.name, "*CMD_STARTTIME", handedOver);
  logNote(design, analysis.name, "Calling run analysis implementation in the portal");
  logRecord(design, analysis.name, "*NOTE", "Current time: " + called);
  logPortalMessages(design, analysis.name, ran);
  if (!ran.ok) {
    failJob(batch, design, index, "");
    return PortalLaunch::kFailed;
  }
  logNote(design, analysis.name, "Portal run analysis execution completed.");
  logRecord(design, analysis.name, "*NOTE", "Current time: " + platform::timeStamp());
  job.portalRun = true;
  job.state = kJobRunning;
  job.clock = timingSubmitted(platform::monotonicSeconds(), true);
  return PortalLaunch::kHandled;
}

bool portalFinished(FlowBatch& batch, FlowDesign& design, int index, bool progressNote) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  Portal* portal = portalFor(analysis);
  if (progressNote) {
    PortalProgressResult progress = portal->progress(job.portalData);
    logPortalMessages(design, analysis.name, progress);
    if (progress.ok && progress.fraction >= 0.0) {
      logNote(design, analysis.name,
              formatText("The portal reports the analysis %.0f%% done.",
                         std::min(progress.fraction, 1.0) * 100.0));
    }
  }
  PortalFinishResult finish = portal->finishCheck(job.portalData);
  logPortalMessages(design, analysis.name, finish);
  if (finish.ok && finish.state == FinishState::NotFinished) return false;
  if (finish.ok && finish.state == FinishState::Finished) return true;
  logNote(design, analysis.name,
          "Call to check runInternal completion status returned error. Marking analysis as "
          "complete.",
          "error");
  job.portalRunError = true;
  return true;
}

bool portalCheckAndExtract(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  FlowJob& job = design.jobs[index];
  Portal* portal = portalFor(analysis);
  job.portalData.setValue("jobFinished", "true");
  PortalResult checked = portal->successCheck(job.portalData);
  logPortalMessages(design, analysis.name, checked);
  bool ok = checked.ok;
  // After a failed success check the output is not read: the analysis's responses are then
  // missing, and said so, like those of any failed analysis.
  if (ok && !analysis.taggedOutputFiles.empty()) {
    PortalResult extracted =
        portal->extract(job.portalData, responseExtractionCallback(design.context));
    logPortalMessages(design, analysis.name, extracted);
    ok = extracted.ok;
  }
  if (!ok) {
    logNote(design, analysis.name,
            "Portal reports analysis failure. Setting analysis status to error.", "error");
  }
  return ok;
}

bool copyOutputFilesBack(RemoteProfile& profile, FlowBatch& batch, FlowDesign& design,
                         int index) {
  const FlowJob& job = design.jobs[index];
  if (job.portalOutputFiles.empty()) return copyOutputFilesFromRemote(profile, design.context);
  // The portal's extra output files come back as the analysis's own do, after them.
  Analysis withPortalFiles = batch.process->analyses[index];
  withPortalFiles.outputFiles.insert(withPortalFiles.outputFiles.end(),
                                     job.portalOutputFiles.begin(), job.portalOutputFiles.end());
  const Analysis* own = design.context.analysis;
  design.context.analysis = &withPortalFiles;
  const bool ok = copyOutputFilesFromRemote(profile, design.context);
  design.context.analysis = own;
  return ok;
}

// ---------------------------------------------------------------------------------------
// Commands around the analysis

// Runs a pre or post command and waits. Answers 1 when it passed, 0 on a wrong exit code
// (`code` holds it), -1 when no process could be created or its folder not resolved.
namespace {

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

// The texts of one command step: its name in the notes, in the exit-code message and in the
// process message, what the design analysis becomes when it fails, and a note written after
// the error (before the job fails) or null.
struct StepTexts {
  const char* running;       // "Running <running> command."
  const char* returnName;    // "The return value (%d) for the <returnName> command ..."
  const char* outcome;       // "... This design analysis will be <outcome>"
  const char* processName;   // "... executing the process for the <processName> command. ..."
  const char* afterFailure;  // a note after the error, or null
};

const StepTexts& stepTexts(CommandKind kind) {
  static const StepTexts kPre{"pre analysis", "pre analysis",
                              "SKIPPED and the design marked as an error.", "pre",
                              "The execution of this analysis is being skipped since the pre "
                              "analysis command resulted in an error."};
  static const StepTexts kPreUpdate{"pre update analysis", "pre update analysis",
                                    "SKIPPED and the design marked as an error.", "pre update",
                                    nullptr};
  static const StepTexts kPost{"post analysis", "post analysis", "marked as error.",
                               "post analysis", nullptr};
  static const StepTexts kPostExtraction{"post extraction analysis", "post extraction analysis",
                                         "marked as error.", "post extraction analysis",
                                         nullptr};
  switch (kind) {
    case CommandKind::kPreAnalysis: return kPre;
    case CommandKind::kPreUpdate: return kPreUpdate;
    case CommandKind::kPostAnalysis: return kPost;
    default: return kPostExtraction;
  }
}

const CommandStep& stepOf(const Analysis& analysis, CommandKind kind) {
  switch (kind) {
    case CommandKind::kPreAnalysis: return analysis.preAnalysis;
    case CommandKind::kPreUpdate: return analysis.preUpdate;
    case CommandKind::kPostAnalysis: return analysis.postAnalysis;
    default: return analysis.postExtract;
  }
}

}  // namespace

bool runCommandStep(FlowBatch& batch, FlowDesign& design, int index, CommandKind kind) {
  const Analysis& analysis = batch.process->analyses[index];
  const CommandStep& step = stepOf(analysis, kind);
  if (step.command.empty()) return true;
  const StepTexts& texts = stepTexts(kind);
  logNote(design, analysis.name, formatText("Running %s command.", texts.running));
  int code = -1;
  const int outcome = runStep(step, kind, design.context, code);
  if (outcome == 1) return true;
  const std::string error =
      outcome == 0
          ? formatText("The return value (%d) for the %s command did not match the specified "
                       "value (%d). This design analysis will be %s",
                       code, texts.returnName, step.expectedCode, texts.outcome)
          : formatText("Error in creating and executing the process for the %s command. This "
                       "design analysis will be marked as error.",
                       texts.processName);
  if (texts.afterFailure) {
    logNote(design, analysis.name, error, "error");
    logNote(design, analysis.name, texts.afterFailure);
    failJob(batch, design, index, "");
  } else {
    failJob(batch, design, index, error);
  }
  return false;
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

}  // namespace karvo::flow
