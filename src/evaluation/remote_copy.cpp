// Remote analyses: the execution script that runs a command in the remote analysis folder,
// remote folders, and the copies of study, input and output files to and from the remote
// machine, all through the command texts of the remote profile. A handful of ssh/scp
// commands per remote analysis of each design; each one waits for its program to end.
#include "evaluation/analysis_run.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "base/messages.h"
#include "base/text.h"
#include "base/run_state.h"
#include "definitions/resources.h"
#include "platform/platform.h"

namespace karvo {

namespace {

constexpr RemoteCommandSet kPosixSet = {"mkdir -p", "rm -rf", "rm -f", "cp -rpf", '/',
                                        "#",        "cd",     " || exit 1", "\n", ".sh"};
constexpr RemoteCommandSet kWindowsSet = {"mkdir", "rmdir /s /q", "del /f /q", "copy /B /Y",
                                          '\\',    "REM",         "cd /d",     " || exit /b 1",
                                          "\r\n",  ".cmd"};

// Remote folders already prepared for this run: profile name and remote study folder.
std::set<std::string> preparedStudies;

std::string nameOfAnalysis(const EvaluationContext& context) {
  if (!context.analysisName.empty()) return context.analysisName;
  return context.analysis ? context.analysis->name : std::string();
}

void logTo(const EvaluationContext& context, const char* severity, const std::string& text) {
  writeMessage("analysis", severity, text, context.designNumber, nameOfAnalysis(context));
}

// A local folder that exists for the temporary command file: `folder`, else the study folder.
std::string commandFolder(const std::string& folder) {
  return !folder.empty() && platform::isDirectory(folder) ? folder : run.workingDirectory;
}

// `name` (with "/" separators) below a remote folder, in the remote form.
std::string remoteChild(const RemoteProfile& profile, const std::string& folder,
                        const std::string& name) {
  return profile.getOSFilePath(folder + "/" + name);
}

// One word quoted for the far side; false with a note when it cannot be.
bool quoteForRemote(RemoteProfile& profile, const std::string& word, std::string& quoted,
                    const EvaluationContext& context) {
  bool ok = false;
  quoted = profile.quoteRemoteArgument(word, ok);
  if (!ok) {
    logTo(context, "note",
          "Error in creating the execution command using the remote profile \"" +
              profile.machine().name + "\". Original command: \"" + word +
              "\".\nMessage received:\n" + profile.getLastErrorMsg());
  }
  return ok;
}

// Runs a command on the far side; a failure is warned with `what` and does not stop the run.
bool runRemoteStep(RemoteProfile& profile, const std::string& command,
                   const std::string& localFolder, const std::string& logFile,
                   const EvaluationContext& context) {
  int status = runRemoteCommand(profile, command, localFolder, logFile, context);
  if (status == 0) return true;
  if (status > 0) {
    logTo(context, "warning",
          formatText("The command \"%s\" on the remote machine (remote profile \"%s\") ended "
                     "with the exit status %d.",
                     command.c_str(), profile.machine().name.c_str(), status));
  }
  return false;
}

// "chmod 755 <folder>/*" (with -R for a whole tree) and the dos2unix step for the scripts
// below `remoteFolder`; POSIX far sides only.
void makeScriptsRunnable(RemoteProfile& profile, const std::string& remoteFolder, bool tree,
                         const std::string& localFolder, const std::string& logFile,
                         const EvaluationContext& context) {
  if (!profile.posixShell()) return;
  std::string quoted;
  if (!quoteForRemote(profile, remoteFolder, quoted, context)) return;
  runRemoteStep(profile, formatText(tree ? "chmod -R 755 %s/*" : "chmod 755 %s/*", quoted.c_str()),
                localFolder, logFile, context);
  runRemoteStep(profile,
                formatText("find %s -type f -name \\*.sh -exec dos2unix {} +;", quoted.c_str()),
                localFolder, logFile, context);
}

// True when the analysis runs on a resource (or a member of a set) reached through `profile`.
bool usesProfile(const Analysis& analysis, const std::string& profile) {
  const ComputeResource* resource = findComputeResource(analysis.computeResource);
  if (!resource) return false;
  if (resource->type != ResourceType::MachineSet) {
    return resource->remote && resource->remoteProfile == profile;
  }
  for (const ResourceSetMember& member : resource->members) {
    if (member.resource < 0 || member.resource >= static_cast<int>(computeResources.size())) {
      continue;
    }
    const ComputeResource& used = computeResources[static_cast<std::size_t>(member.resource)];
    if (used.remote && used.remoteProfile == profile) return true;
  }
  return false;
}

// One copy through the profile's copy command (see copyToRemote and copyFromRemote).
bool copyRemote(RemoteProfile& profile, const std::string& source, const std::string& target,
                bool toRemote, bool isFolder, const std::string& localFolder,
                const std::string& logFile, const EvaluationContext& context) {
  CopySettings settings{{"type", isFolder ? "folder" : "file"}, {"preserve", "yes"}};
  bool ok = false;
  std::string command = profile.generateCopyCommand(source, target, toRemote, settings, ok);
  if (!ok) {
    logTo(context, "note",
          "Error in creating the remote copy command using the remote profile \"" +
              profile.machine().name + "\" for file \"" + source + "\".\nMessage received:\n" +
              profile.getLastErrorMsg());
    return false;
  }
  int status = runThroughCommandFile(command, commandFolder(localFolder), logFile);
  if (status != 0) {
    logTo(context, "error",
          formatText("Error in copying the %s \"%s\" %s the remote machine (remote profile "
                     "\"%s\"). The copy command ended with the exit status %d:\n%s",
                     isFolder ? "folder" : "file", source.c_str(), toRemote ? "to" : "from",
                     profile.machine().name.c_str(), status, command.c_str()));
    return false;
  }
  return true;
}

void appendLine(const std::string& file, const std::string& text) {
  if (std::FILE* stream = std::fopen(file.c_str(), "a")) {
    std::fputs((text + "\n").c_str(), stream);
    std::fclose(stream);
  }
}

}  // namespace

const RemoteCommandSet& remoteCommandSet(const RemoteProfile& profile) {
  return profile.posixShell() ? kPosixSet : kWindowsSet;
}

std::string remoteScriptName(const std::string& analysisName, const std::string& command,
                             const RemoteCommandSet& set) {
  std::string letters;
  for (char c : command) {
    if (letters.size() == 10) break;
    if (std::isalnum(static_cast<unsigned char>(c))) letters += c;
  }
  if (letters.empty()) return formatText("Tool_%s_execute%s", analysisName.c_str(), set.extension);
  return formatText("Tool_%s_execute_%s%s", analysisName.c_str(), letters.c_str(), set.extension);
}

bool remoteScriptText(RemoteProfile& profile, const std::string& remoteFolder,
                      const std::string& command, std::string& text, std::string& error) {
  const RemoteCommandSet& set = remoteCommandSet(profile);
  bool ok = false;
  std::string folder = profile.quoteRemoteArgument(remoteFolder, ok);
  if (!ok) {
    error = profile.getLastErrorMsg();
    return false;
  }
  std::string body = command;
  if (std::string(set.lineEnd) == "\r\n") {
    body.clear();
    for (std::size_t i = 0; i < command.size(); ++i) {
      if (command[i] == '\n' && (i == 0 || command[i - 1] != '\r')) body += '\r';
      body += command[i];
    }
  }
  text = formatText("%s Changing directory to the analysis folder%s", set.comment, set.lineEnd);
  text += formatText("%s %s%s%s", set.changeFolder, folder.c_str(), set.exitOnError, set.lineEnd);
  text += formatText("%s Now running the command%s", set.comment, set.lineEnd);
  text += body + set.lineEnd;
  return true;
}

bool writeRemoteExecutionScript(RemoteProfile& profile, const EvaluationContext& context,
                                const std::string& command, const std::string& localFolder,
                                const std::string& remoteFolder, const std::string& logFile,
                                std::string& remotePath) {
  const std::string analysisName = nameOfAnalysis(context);
  const RemoteCommandSet& set = remoteCommandSet(profile);
  const std::string name = remoteScriptName(analysisName, command, set);
  const std::string localPath = platform::joinPath(localFolder, name);
  const std::string failure = formatText(
      "Error in creating the execution script for remote analysis \"%s\".", analysisName.c_str());

  std::string text, error;
  if (!remoteScriptText(profile, remoteFolder, command, text, error)) {
    logTo(context, "error", failure + "\n" + error);
    return false;
  }
  std::FILE* stream = std::fopen(localPath.c_str(), "wb");
  bool written = stream && std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  if (stream && std::fclose(stream) != 0) written = false;
  if (!written) {
    logTo(context, "error", failure);
    return false;
  }

  remotePath = remoteChild(profile, remoteFolder, name);
  logTo(context, "note", formatText("Copying %s to the remote analysis folder", name.c_str()));
  if (!copyToRemote(profile, localPath, remotePath, false, localFolder, logFile, context)) {
    return false;
  }
  if (!profile.posixShell()) return true;
  std::string quoted;
  if (!quoteForRemote(profile, remotePath, quoted, context)) return false;
  logTo(context, "note", "Performing dos2unix on the cmd file");
  int status = runRemoteCommand(profile, formatText("dos2unix %s", quoted.c_str()),
                                commandFolder(localFolder), logFile, context);
  if (status != 0) {
    logTo(context, "note",
          formatText("The conversion with dos2unix ended with the exit status %d. The script "
                     "was written with Unix line ends, so the run goes on.",
                     status));
  }
  logTo(context, "note", "Updating execute permissions");
  runRemoteStep(profile, formatText("chmod 755 %s", quoted.c_str()), commandFolder(localFolder),
                logFile, context);
  return true;
}

int runRemoteCommand(RemoteProfile& profile, const std::string& command,
                     const std::string& localFolder, const std::string& logFile,
                     const EvaluationContext& context) {
  bool ok = false;
  std::string wrapped = profile.generateExecutionCommand(command, ok);
  if (!ok) {
    logTo(context, "note",
          "Error in creating the execution command using the remote profile \"" +
              profile.machine().name + "\". Original command: \"" + command +
              "\".\nMessage received:\n" + profile.getLastErrorMsg());
    return -1;
  }
  return runThroughCommandFile(wrapped, commandFolder(localFolder), logFile);
}

bool copyToRemote(RemoteProfile& profile, const std::string& source, const std::string& target,
                  bool isFolder, const std::string& localFolder, const std::string& logFile,
                  const EvaluationContext& context) {
  return copyRemote(profile, source, target, true, isFolder, localFolder, logFile, context);
}

bool copyFromRemote(RemoteProfile& profile, const std::string& source,
                    const std::string& target, bool isFolder, const std::string& localFolder,
                    const std::string& logFile, const EvaluationContext& context) {
  return copyRemote(profile, source, target, false, isFolder, localFolder, logFile, context);
}

bool makeRemoteFolder(RemoteProfile& profile, const std::string& remoteFolder,
                      const std::string& localFolder, const std::string& logFile,
                      const EvaluationContext& context) {
  std::string quoted;
  if (!quoteForRemote(profile, remoteFolder, quoted, context)) return false;
  const RemoteCommandSet& set = remoteCommandSet(profile);
  std::string command =
      profile.posixShell()
          ? formatText("%s %s", set.makeFolder, quoted.c_str())
          : formatText("if not exist %s %s %s", quoted.c_str(), set.makeFolder, quoted.c_str());
  return runRemoteStep(profile, command, localFolder, logFile, context);
}

bool createRemoteAnalysisFolder(RemoteProfile& profile, const EvaluationContext& context) {
  ResolvedPath remoteFolder = resolveRunFolder(context, true);
  if (!remoteFolder.ok) return false;
  ResolvedPath localFolder = resolveRunFolder(context);
  logTo(context, "note",
        formatText("Creating analysis directory %s on the remote machine.",
                   remoteFolder.path.c_str()));
  return makeRemoteFolder(profile, remoteFolder.path, commandFolder(localFolder.path),
                          contextAnalysisLog(context), context);
}

bool prepareRemoteStudyFolder(RemoteProfile& profile, const Process& process,
                              const EvaluationContext& context) {
  const std::string profileName = profile.machine().name;
  const std::string remoteStudy = remoteStudyFolder(profile, context.analysis);
  const std::string key = profileName + "\n" + remoteStudy;
  if (preparedStudies.count(key)) return true;

  const std::string study = run.workingDirectory;
  const std::string log =
      formatText("%s%c%s", study.c_str(), platform::kPathSeparator, kRemoteStudyCopyLogName);
  bool ok = makeRemoteFolder(profile, remoteChild(profile, remoteStudy, "KARVO_0"), study, log,
                             context);
  for (const Analysis& analysis : process.analyses) {
    if (!usesProfile(analysis, profileName)) continue;
    std::string note = formatText("Copying files for analysis: %s (remote profile: %s)",
                                  analysis.name.c_str(), profileName.c_str());
    writeMessage("outptr", "note", note);
    appendLine(log, note);
    for (const InputFile& file : analysis.inputFiles) {
      if (file.source.kind != LocationKind::StudyFolder || file.source.remote) continue;
      std::string local = platform::joinPath(study, file.name);
      std::string target = file.isFolder ? remoteStudy : remoteChild(profile, remoteStudy, file.name);
      ok = copyToRemote(profile, local, target, file.isFolder != 0, study, log, context) && ok;
    }
  }
  makeScriptsRunnable(profile, remoteStudy, true, study, log, context);
  const char* done = "Done copying files to remote machine.";
  writeMessage("outptr", "note", done);
  appendLine(log, done);
  if (ok) preparedStudies.insert(key);
  return ok;
}

void resetRemoteStudies() { preparedStudies.clear(); }

void prepareRemoteStudyFolders() {
  for (const Process& process : processes) {
    for (const Analysis& analysis : process.analyses) {
      const ComputeResource* resource = findComputeResource(analysis.computeResource);
      if (!resource) continue;
      std::vector<const ComputeResource*> used;
      if (resource->type != ResourceType::MachineSet) {
        used.push_back(resource);
      } else {
        for (const ResourceSetMember& member : resource->members) {
          if (member.resource >= 0 && member.resource < static_cast<int>(computeResources.size())) {
            used.push_back(&computeResources[static_cast<std::size_t>(member.resource)]);
          }
        }
      }
      EvaluationContext context;
      context.analysisName = analysis.name;
      context.analysis = &analysis;
      for (const ComputeResource* machine : used) {
        if (!isRemoteResource(machine)) continue;
        std::unique_ptr<RemoteProfile> profile = openRemoteProfile(machine, context);
        if (profile) prepareRemoteStudyFolder(*profile, process, context);
      }
    }
  }
}

bool copyAnalysisFilesToRemote(RemoteProfile& profile, const EvaluationContext& context) {
  ResolvedPath local = resolveRunFolder(context);
  ResolvedPath remoteFolder = resolveRunFolder(context, true);
  if (!local.ok || !remoteFolder.ok) return false;
  const std::string log = contextAnalysisLog(context);
  logTo(context, "note", "Copying all analysis files to the remote analysis folder");

  std::vector<std::filesystem::directory_entry> entries;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(local.path, error)) {
    entries.push_back(entry);
  }
  if (error) {
    logTo(context, "error",
          formatText("Could not list the files of the analysis folder \"%s\": %s",
                     local.path.c_str(), error.message().c_str()));
    return false;
  }
  std::sort(entries.begin(), entries.end());
  bool ok = true;
  for (const auto& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (name == kTempCommandFileName) continue;
    const bool folder = entry.is_directory(error);
    const std::string target = folder ? remoteFolder.path
                                      : remoteChild(profile, remoteFolder.path, name);
    ok = copyToRemote(profile, entry.path().string(), target, folder, local.path, log, context) &&
         ok;
  }
  makeScriptsRunnable(profile, remoteFolder.path, false, local.path, log, context);
  return ok;
}

bool copyOutputFilesFromRemote(RemoteProfile& profile, const EvaluationContext& context,
                               const std::vector<std::string>& downstreamFiles) {
  const Analysis* analysis = context.analysis;
  ResolvedPath local = resolveRunFolder(context);
  ResolvedPath remoteFolder = resolveRunFolder(context, true);
  if (!local.ok || !remoteFolder.ok) return false;
  const std::string log = contextAnalysisLog(context);
  logTo(context, "note", "Copying output files back from the remote machine.");

  bool ok = true;
  auto copyBack = [&](const std::string& file, const std::string& note) {
    logTo(context, "note", note);
    std::string target = platform::joinPath(local.path, file);
    std::size_t slash = target.rfind(platform::kPathSeparator);
    if (slash != std::string::npos) platform::makeDirectories(target.substr(0, slash));
    ok = copyFromRemote(profile, remoteChild(profile, remoteFolder.path, file), target, false,
                        local.path, log, context) &&
         ok;
  };
  const char* outputNote = "Copying output file %s from the remote machine back to the analysis "
                           "folder on the local machine.";
  if (analysis) {
    for (const std::string& file : analysis->outputFiles) {
      copyBack(file, formatText(outputNote, file.c_str()));
    }
  }
  for (const std::string& file : downstreamFiles) {
    copyBack(file, formatText("Copying file %s from the remote machine back to the analysis "
                              "folder on the local machine since it is needed in a downstream "
                              "analysis.",
                              file.c_str()));
  }
  if (analysis) {
    for (const std::string& file : analysis->visualizationFiles) {
      copyBack(file, formatText(outputNote, file.c_str()));
    }
  }
  return ok;
}

// ---------------------------------------------------------------------------------------
// Conditions on remote resources

bool conditionFilePath(const std::string& fileType, const std::string& name,
                       const EvaluationContext& context, std::string& path) {
  if (name.empty()) return false;
  if (equalsIgnoreCase(fileType, "input") && context.analysis &&
      findInputFile(*context.analysis, name)) {
    ResolvedPath source = resolveInputSource(name, PathMode::kPathWithFilename, context);
    if (!source.ok) return false;
    path = source.path;
    return true;
  }
  if (name[0] == platform::kPathSeparator) {
    path = name;
    return true;
  }
  ResolvedPath local = resolveRunFolder(context);
  if (!local.ok || local.path.empty()) return false;
  path = platform::joinPath(local.path, name);
  // A file the analysis made on its remote machine is copied back before it is looked at.
  std::unique_ptr<RemoteProfile> profile = openRemoteProfile(contextResource(context), context);
  if (!profile) return true;
  ResolvedPath remoteFolder = resolveRunFolder(context, true);
  if (!remoteFolder.ok) return false;
  const std::size_t slash = path.rfind(platform::kPathSeparator);
  if (slash != std::string::npos) platform::makeDirectories(path.substr(0, slash));
  if (!copyFromRemote(*profile, remoteChild(*profile, remoteFolder.path, name), path, false,
                      local.path, contextAnalysisLog(context), context)) {
    logTo(context, "warning",
          formatText("The file \"%s\" could not be copied back from the remote machine (remote "
                     "profile \"%s\").",
                     name.c_str(), profile->machine().name.c_str()));
  }
  return true;
}

bool conditionRemoteCommand(const std::string& command, const EvaluationContext& context,
                            std::string& localCommand, std::string& error) {
  const ComputeResource* resource = contextResource(context);
  std::unique_ptr<RemoteProfile> profile = openRemoteProfile(resource, context);
  if (!profile) {
    error = "The remote profile of the compute resource could not be opened.";
    return false;
  }
  ResolvedPath folder = resolveRunFolder(context, true);
  if (!folder.ok) {
    error = folder.error.empty() ? "The remote run folder could not be formed." : folder.error;
    return false;
  }
  bool ok = false;
  const std::string quotedFolder = profile->quoteRemoteArgument(folder.path, ok);
  if (!ok) {
    error = profile->getLastErrorMsg();
    return false;
  }
  const RemoteCommandSet& set = remoteCommandSet(*profile);
  std::string remoteCommand =
      formatText("%s %s && %s", set.changeFolder, quotedFolder.c_str(), command.c_str());
  if (profile->posixShell()) {
    // The analysis's shell runs the command on the far side ("execShell", /bin/bash unless
    // the process file names another).
    std::vector<std::string> shell;
    const std::string shellText = context.analysis ? trimmed(context.analysis->execShell) : "";
    if (shellText.empty() || !remote::splitCommandWords(shellText, shell) || shell.empty()) {
      shell = {"/bin/sh"};
    }
    std::string line;
    for (const std::string& word : shell) {
      line += profile->quoteRemoteArgument(word, ok) + " ";
      if (!ok) {
        error = profile->getLastErrorMsg();
        return false;
      }
    }
    const std::string quotedCommand = profile->quoteRemoteArgument(remoteCommand, ok);
    if (!ok) {
      error = profile->getLastErrorMsg();
      return false;
    }
    remoteCommand = line + "-c " + quotedCommand;
  }
  localCommand = profile->generateExecutionCommand(remoteCommand, ok);
  if (!ok) {
    error = profile->getLastErrorMsg();
    return false;
  }
  return true;
}

}  // namespace karvo
