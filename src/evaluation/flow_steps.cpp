// The steps around an analysis of the evaluation flow: the pre, pre-update, post and
// post-extraction commands (one function for all four), the input files of a job, and the
// calls of the analysis's portal. A handful of calls per job.
#include "base/memory.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/flow_batch.h"
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

PropertiesMap portalProperties(const Analysis& analysis, const std::string& folder,
                               bool jobFinished,
                               std::unordered_map<std::string, std::string>* definitionTexts) {
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
