// Folder names of agents, designs and analyses on this machine and on remote machines, the
// resolution of run and file locations, and the choice among conditional file sources.
// Called a few times per analysis of every design: plain string work over small tables.
#include "evaluation/analysis_run.h"

#include <memory>
#include <string>

#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "definitions/resources.h"
#include "platform/platform.h"

namespace karvo {

namespace {

constexpr char kSep = platform::kPathSeparator;
// anotherAnalysis locations may lead from one analysis's run location to another's; a longer
// chain than this means the run locations refer to each other.
constexpr int kMaxLocationDepth = 16;

std::string studyFolder() { return run.workingDirectory; }

std::string runPrefix() { return run.runPrefix.empty() ? kDefaultRunPrefix : run.runPrefix; }

std::string nameOfAnalysis(const EvaluationContext& context) {
  if (!context.analysisName.empty()) return context.analysisName;
  return context.analysis ? context.analysis->name : std::string();
}

void logTo(const EvaluationContext& context, const char* severity, const std::string& text) {
  writeMessage("analysis", severity, text, context.designNumber, nameOfAnalysis(context));
}

ResolvedPath failure(const EvaluationContext& context, const std::string& text) {
  logTo(context, "error", text);
  ResolvedPath out;
  out.error = text;
  return out;
}

// The last component of a folder path ("" for the root).
std::string lastComponent(const std::string& path) {
  std::size_t end = path.find_last_not_of(kSep);
  if (end == std::string::npos) return "";
  std::size_t start = path.rfind(kSep, end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end + 1 - start);
}

std::string caseSuffix(int caseIndex, bool caseFolder) {
  return caseFolder ? formatText(".%d", caseIndex + 1) : std::string();
}

// The remote study folder before conversion to the remote form ("/" separators).
std::string rawRemoteStudy(const RemoteProfile& profile, const Analysis* analysis) {
  std::string root = analysis ? trimmed(analysis->jobRemotePath) : std::string();
  if (root.empty()) root = trimmed(profile.machine().remotePath);
  while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) root.pop_back();
  std::string name = lastComponent(studyFolder());
  if (name.empty()) name = kDefaultRemoteStudyName;
  if (root.empty()) return name;
  if (root == "/" || root == "\\") return "/" + name;
  return root + "/" + name;
}

std::string rawRemoteDesign(const RemoteProfile& profile, const Analysis* analysis,
                            int designNumber) {
  return formatText("%s/KARVO_0/Design%d", rawRemoteStudy(profile, analysis).c_str(),
                    designNumber);
}

// The process whose analysis table holds `analysis`, or null.
const Process* processOf(const Analysis* analysis) {
  if (!analysis) return nullptr;
  for (const Process& process : processes) {
    for (const Analysis& candidate : process.analyses) {
      if (&candidate == analysis) return &process;
    }
  }
  return nullptr;
}

// The loop case in which `other` is looked at from the context: the same case when both
// analyses are in one loop, else the first.
int caseOfOther(const std::string& other, const EvaluationContext& context) {
  const Loop* loop = loopOfAnalysis(other);
  if (loop && loop == loopOfAnalysis(nameOfAnalysis(context))) return context.caseIndex;
  return 0;
}

ResolvedPath resolveAt(const Location& location, const std::string& file, PathMode mode,
                       const EvaluationContext& context, int depth);

// The local run folder of analysis `other` of the context's design.
ResolvedPath otherRunFolder(const std::string& other, const EvaluationContext& context,
                            int depth) {
  const int caseIndex = caseOfOther(other, context);
  const Process* process = processOf(context.analysis);
  int index = process ? findAnalysis(*process, other) : -1;
  if (index < 0) {
    ResolvedPath out;
    out.ok = true;
    out.path = analysisFolder(contextAgentFolder(context), context.designNumber, other,
                              caseIndex, usesCaseFolders(other));
    return out;
  }
  if (depth >= kMaxLocationDepth) {
    return failure(context,
                   formatText("Error in locating the folder of analysis \"%s\" for analysis "
                              "\"%s\". The run locations of the analyses refer to each other "
                              "(anotherAnalysis).",
                              other.c_str(), nameOfAnalysis(context).c_str()));
  }
  const Analysis& target = process->analyses[static_cast<std::size_t>(index)];
  EvaluationContext there = context;
  there.analysis = &target;
  there.analysisName = target.name;
  there.caseIndex = caseIndex;
  Location local = target.runLocation;
  local.remote = 0;
  return resolveAt(local, "", PathMode::kPathOnly, there, depth + 1);
}

ResolvedPath resolveAt(const Location& location, const std::string& file, PathMode mode,
                       const EvaluationContext& context, int depth) {
  const std::string analysisName = nameOfAnalysis(context);
  std::unique_ptr<RemoteProfile> profile;
  if (location.remote) {
    const ComputeResource* resource = contextResource(context);
    if (!isRemoteResource(resource)) {
      logTo(context, "note",
            "Requested execution of a command on remote machine. However, this analysis is not "
            "setup to run on a remote machine. Running commands locally.");
    } else {
      profile = openRemoteProfile(resource, context);
      if (!profile) {
        return failure(context,
                       formatText("Could not form the remote path for the location \"%s\" of "
                                  "analysis \"%s\".",
                                  location.text.c_str(), analysisName.c_str()));
      }
    }
  }
  const bool needsAnalysis = location.kind == LocationKind::AnalysisFolder ||
                             location.kind == LocationKind::RelativeLocation;
  if (needsAnalysis && analysisName.empty()) {
    return failure(context, formatText("Error in resolving the location \"%s\". It refers to "
                                       "the analysis folder, but no analysis was given.",
                                       location.text.c_str()));
  }

  std::string folder;
  ResolvedPath out;
  if (profile) {
    const Analysis* analysis = context.analysis;
    const std::string design = rawRemoteDesign(*profile, analysis, context.designNumber);
    const std::string own = design + "/" + analysisName +
                            caseSuffix(context.caseIndex, usesCaseFolders(analysisName));
    switch (location.kind) {
      case LocationKind::AnalysisFolder: folder = own; break;
      case LocationKind::DesignFolder: folder = design; break;
      case LocationKind::StudyFolder: folder = rawRemoteStudy(*profile, analysis); break;
      case LocationKind::ProjectFolder:
        folder = rawRemoteStudy(*profile, analysis) + "/..";
        break;
      case LocationKind::AnotherAnalysis: {
        const int caseIndex = caseOfOther(location.path, context);
        folder = design + "/" + location.path +
                 caseSuffix(caseIndex, usesCaseFolders(location.path));
        break;
      }
      case LocationKind::FixedLocation: folder = location.path; break;
      case LocationKind::RelativeLocation: folder = own + "/" + location.path; break;
    }
    if (mode == PathMode::kPathWithFilename && !file.empty()) folder += "/" + file;
    out.path = profile->getOSFilePath(folder);
    out.remote = true;
  } else {
    switch (location.kind) {
      case LocationKind::AnalysisFolder:
        folder = analysisFolder(contextAgentFolder(context), context.designNumber, analysisName,
                                context.caseIndex, usesCaseFolders(analysisName));
        break;
      case LocationKind::DesignFolder:
        folder = designFolder(contextAgentFolder(context), context.designNumber);
        break;
      case LocationKind::StudyFolder: folder = studyFolder(); break;
      case LocationKind::ProjectFolder:
        folder = formatText("%s%c..", studyFolder().c_str(), kSep);
        break;
      case LocationKind::AnotherAnalysis: {
        ResolvedPath other = otherRunFolder(location.path, context, depth);
        if (!other.ok) return other;
        folder = other.path;
        break;
      }
      case LocationKind::FixedLocation:
        folder = !location.path.empty() && location.path[0] == kSep
                     ? location.path
                     : platform::joinPath(studyFolder(), location.path);
        break;
      case LocationKind::RelativeLocation:
        folder = formatText("%s%c%s",
                            analysisFolder(contextAgentFolder(context), context.designNumber,
                                           analysisName, context.caseIndex,
                                           usesCaseFolders(analysisName))
                                .c_str(),
                            kSep, location.path.c_str());
        break;
    }
    if (mode == PathMode::kPathWithFilename && !file.empty()) {
      folder = formatText("%s%c%s", folder.c_str(), kSep, file.c_str());
    }
    out.path = folder;
  }
  if (static_cast<int>(out.path.size()) > platform::kMaxPath) {
    return failure(context,
                   formatText("The path formed for the location \"%s\" of analysis \"%s\" is %d "
                              "bytes long, more than the limit of %d bytes:\n%s",
                              location.text.c_str(), analysisName.c_str(),
                              static_cast<int>(out.path.size()), platform::kMaxPath,
                              out.path.c_str()));
  }
  out.ok = true;
  return out;
}

std::string joinList(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Folders

std::string agentFolder(int agentNumber) {
  if (agents.empty()) return formatText("%s%cKARVO_0", studyFolder().c_str(), kSep);
  const Agent* agent = findAgent(agentNumber);
  if (agent && !agent->evaluationFolder.empty()) return agent->evaluationFolder;
  return formatText("%s%c%s_%d", studyFolder().c_str(), kSep, runPrefix().c_str(), agentNumber);
}

std::string agentPostFolder(int agentNumber) {
  if (agents.empty()) return studyFolder();
  const Agent* agent = findAgent(agentNumber);
  if (agent && !agent->postFolder.empty()) return agent->postFolder;
  return formatText("%s%cPOST_%d", studyFolder().c_str(), kSep, agentNumber);
}

std::string designFolder(const std::string& agentFolder, int designNumber) {
  return formatText("%s%cDesign%d", agentFolder.c_str(), kSep, designNumber);
}

std::string analysisFolder(const std::string& agentFolder, int designNumber,
                           const std::string& analysisName, int caseIndex, bool caseFolder) {
  if (caseFolder) {
    return formatText("%s%cDesign%d%c%s.%d", agentFolder.c_str(), kSep, designNumber, kSep,
                      analysisName.c_str(), caseIndex + 1);
  }
  return formatText("%s%cDesign%d%c%s", agentFolder.c_str(), kSep, designNumber, kSep,
                    analysisName.c_str());
}

std::string analysisFolder(int agentNumber, int designNumber, const std::string& analysisName,
                           int caseIndex) {
  return analysisFolder(agentFolder(agentNumber), designNumber, analysisName, caseIndex,
                        usesCaseFolders(analysisName));
}

std::string designPostFolder(int agentNumber, int designNumber) {
  return designFolder(agentPostFolder(agentNumber), designNumber);
}

std::string analysisPostFolder(int agentNumber, int designNumber,
                               const std::string& analysisName, int caseIndex) {
  return analysisFolder(agentPostFolder(agentNumber), designNumber, analysisName, caseIndex,
                        loopOfAnalysis(analysisName) != nullptr);
}

std::string analysisLogFile(int agentNumber, int designNumber, const std::string& analysisName,
                            int caseIndex) {
  return formatText("%s%c%s",
                    analysisPostFolder(agentNumber, designNumber, analysisName, caseIndex).c_str(),
                    kSep, kAnalysisLogName);
}

bool makeDesignFolder(const std::string& folder, std::string* error) {
  if (platform::makeDirectory(folder, nullptr)) return true;
  return platform::isDirectory(folder) || platform::makeDirectories(folder, error);
}

bool designsWithoutFolders(const Process* process) {
  return study.options.noFolderWithoutAnalysis != 0 && !run.settings.designFilesOnly &&
         (!process || process->analyses.empty());
}

const Loop* loopOfAnalysis(const std::string& analysisName) {
  if (analysisName.empty()) return nullptr;
  for (const Loop& loop : definitions.loops) {
    for (const std::string& name : loop.analyses) {
      if (name == analysisName) return &loop;
    }
  }
  return nullptr;
}

bool usesCaseFolders(const std::string& analysisName) {
  const Loop* loop = loopOfAnalysis(analysisName);
  return loop && loop->createCaseFolders;
}

std::string contextAgentFolder(const EvaluationContext& context) {
  return context.agentFolder.empty() ? agentFolder(context.agentNumber) : context.agentFolder;
}

std::string contextPostFolder(const EvaluationContext& context) {
  return context.postFolder.empty() ? agentPostFolder(context.agentNumber) : context.postFolder;
}

std::string contextAnalysisLog(const EvaluationContext& context) {
  const std::string name = nameOfAnalysis(context);
  if (name.empty()) return "";
  std::string folder = analysisFolder(contextPostFolder(context), context.designNumber, name,
                                      context.caseIndex, loopOfAnalysis(name) != nullptr);
  return formatText("%s%c%s", folder.c_str(), kSep, kAnalysisLogName);
}

std::string remoteStudyFolder(const RemoteProfile& profile, const Analysis* analysis) {
  return profile.getOSFilePath(rawRemoteStudy(profile, analysis));
}

std::string remoteDesignFolder(const RemoteProfile& profile, const Analysis* analysis,
                               int designNumber) {
  return profile.getOSFilePath(rawRemoteDesign(profile, analysis, designNumber));
}

std::string remoteAnalysisFolder(const RemoteProfile& profile, const Analysis* analysis,
                                 const std::string& analysisName, int designNumber,
                                 int caseIndex) {
  return profile.getOSFilePath(rawRemoteDesign(profile, analysis, designNumber) + "/" +
                               analysisName +
                               caseSuffix(caseIndex, usesCaseFolders(analysisName)));
}

// ---------------------------------------------------------------------------------------
// Resources and profiles

const ComputeResource* contextResource(const EvaluationContext& context) {
  if (!context.jobResource.empty()) return findComputeResource(context.jobResource);
  if (context.analysis && !context.analysis->computeResource.empty()) {
    return findComputeResource(context.analysis->computeResource);
  }
  return nullptr;
}

bool isRemoteResource(const ComputeResource* resource) {
  return resource && resource->remote && resource->type != ResourceType::MachineSet;
}

std::unique_ptr<RemoteProfile> openRemoteProfile(const ComputeResource* resource,
                                                 const EvaluationContext& context) {
  if (!isRemoteResource(resource)) return nullptr;
  const RemoteMachineDefinition* machine = nullptr;
  if (resource->remoteMachine >= 0 &&
      resource->remoteMachine < static_cast<int>(remoteMachines.size())) {
    machine = &remoteMachines[static_cast<std::size_t>(resource->remoteMachine)];
  }
  if (!machine || machine->name != resource->remoteProfile) {
    machine = findRemoteMachine(resource->remoteProfile);
  }
  if (!machine) {
    logTo(context, "note",
          "The definition for the remote profile \"" + resource->remoteProfile +
              "\" has been corrupted. Trying to continue the run is possible.");
    return nullptr;
  }
  return std::make_unique<RemoteProfile>(machine->properties, nullptr);
}

// ---------------------------------------------------------------------------------------
// Locations

ResolvedPath resolveLocation(const Location& location, const std::string& file, PathMode mode,
                             const EvaluationContext& context) {
  return resolveAt(location, file, mode, context, 0);
}

ResolvedPath resolveRunFolder(const EvaluationContext& context, bool remoteSide) {
  Location location;
  if (context.analysis) {
    location = context.analysis->runLocation;
  } else if (context.analysisName.empty()) {
    location.text = "studyFolder";
    location.kind = LocationKind::StudyFolder;
  } else {
    location.text = "analysisFolder";
  }
  location.remote = remoteSide ? 1 : 0;
  location.local = remoteSide ? 0 : 1;
  return resolveLocation(location, "", PathMode::kPathOnly, context);
}

ResolvedPath resolveCommandFolder(const CommandStep& step, const EvaluationContext& context) {
  if (step.locationText.empty()) return resolveRunFolder(context);
  return resolveLocation(step.location, "", PathMode::kPathOnly, context);
}

std::string chooseSourceAnalysis(const InputFile& file, const AnalysisStatusFn& status,
                                 const EvaluationContext& context) {
  const std::vector<std::string>& candidates = file.sourceAnalyses;
  if (candidates.empty()) return file.source.path;
  if (candidates.size() == 1) return candidates.front();
  const std::string list = joinList(candidates);
  for (const std::string& name : candidates) {
    const int code = status ? status(name) : 4;
    if (code == 1 || code == 2 || code == 3) {
      logTo(context, "note",
            formatText("Using analysis \"%s\" as source from the list (%s) for this analysis "
                       "since it was successfully evaluated.",
                       name.c_str(), list.c_str()));
      return name;
    }
  }
  logTo(context, "note",
        formatText("None of the analyses in the list (%s) was successfully evaluated. Using "
                   "the first analysis \"%s\" as source for this analysis.",
                   list.c_str(), candidates.front().c_str()));
  return candidates.front();
}

const InputFile* findInputFile(const Analysis& analysis, const std::string& name) {
  for (const InputFile& file : analysis.inputFiles) {
    if (file.name == name || file.target == name) return &file;
  }
  return nullptr;
}

ResolvedPath resolveInputSource(const std::string& fileName, PathMode mode,
                                const EvaluationContext& context,
                                const AnalysisStatusFn& status) {
  const InputFile* file = context.analysis ? findInputFile(*context.analysis, fileName) : nullptr;
  if (!file) {
    return failure(context, formatText("Could not locate the file \"%s\" in the list of input "
                                       "files for analysis \"%s\".",
                                       fileName.c_str(), nameOfAnalysis(context).c_str()));
  }
  Location source = file->source;
  if (source.kind == LocationKind::AnotherAnalysis) {
    source.path = chooseSourceAnalysis(*file, status, context);
  }
  return resolveLocation(source, file->name, mode, context);
}

ResolvedPath resolveMainInputFile(const EvaluationContext& context) {
  const Analysis* analysis = context.analysis;
  const std::string mainInput = analysis ? analysis->primaryInput : std::string();
  const std::string failureText =
      formatText("Error in locating the main input file (%s) for analysis %s. Could not form "
                 "full path for destination.",
                 mainInput.c_str(), nameOfAnalysis(context).c_str());
  if (mainInput.empty()) return failure(context, failureText);
  std::string target = mainInput;
  for (const InputFile& file : analysis->inputFiles) {
    if (file.name == mainInput || file.target == mainInput) target = file.target;
  }
  for (const TaggedInputFile& file : analysis->taggedInputFiles) {
    if (file.templateFile == mainInput || file.target == mainInput) target = file.target;
  }
  ResolvedPath folder = resolveRunFolder(context);
  if (!folder.ok) return failure(context, failureText);
  ResolvedPath out;
  out.path = formatText("%s%c%s", folder.path.c_str(), kSep, target.c_str());
  if (static_cast<int>(out.path.size()) > platform::kMaxPath) return failure(context, failureText);
  out.ok = true;
  return out;
}

}  // namespace karvo
