// Running the analyses of a design: where they run and how their commands are started.
//
//   Folders     the agent, post, design and analysis folders of every design, on this machine
//               and on remote machines (analysis_folders.cpp).
//   Locations   resolution of run and file locations ([REMOTE:|LOCAL:]kind[:path], see
//               process_file.h) to paths, and the choice among conditional file sources.
//   Commands    runCommand: the launch property set handed to the job controller, which
//               returns the job (the process handle); runThroughCommandFile: a command run by
//               /bin/sh through the temporary command file; launchCommand: a program started
//               for a portal (analysis_run.cpp).
//   Remote      the remote execution script, remote folders, and the copies to and from a
//               remote machine made through the remote profile (remote_copy.cpp).
//
// Every path that enters a generated script or command is quoted: single quotes for the local
// /bin/sh, the remote profile's quoting for the far side. Blanks, quotes, ";", "$" and
// backticks in folder names are therefore data, never shell syntax. The user's own command
// text is the one thing passed as written: it is shell text by definition.
//
// Folders (local, "/" separators):
//   agent folder            Agent::evaluationFolder; "<study>/<prefix>_<agent>" when it is
//                           empty; "<study>/KARVO_0" when the run has no agent table
//   post folder             Agent::postFolder; "<study>/POST_<agent>" when it is empty; the
//                           study folder when the run has no agent table
//   design folder           "<agent folder>/Design<design>"
//   analysis folder         "<design folder>/<analysis>"; for an analysis inside a loop that
//                           creates case folders "<design folder>/<analysis>.<case index + 1>"
//   design post folder      "<post folder>/Design<design>"
//   analysis post folder    "<design post folder>/<analysis>", with ".<case index + 1>" for
//                           every analysis inside a loop (each case keeps its own log)
//   analysis log            "<analysis post folder>/analysis.log"
// Remote (built with "/", answered in the remote platform's form, getOSFilePath):
//   remote study folder     "<root>/<study folder name>"; the root is the analysis's
//                           jobRemotePath, else the profile's remotePath; without a root the
//                           folder is relative to the login folder. The name is "myStudy"
//                           when the study folder has none (the file-system root).
//   remote design folder    "<remote study folder>/KARVO_0/Design<design>"
//   remote analysis folder  "<remote design folder>/<analysis>[.<case index + 1>]"
//
// Failures are reported by return value; the reason is also written to the analysis log of
// the context (writeMessage "analysis"), so callers only add their own consequence.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/properties_map.h"
#include "definitions/process_file.h"
#include "evaluation/tagging.h"
#include "external/job_controller.h"
#include "external/remote_profile.h"

namespace karvo {

struct Loop;

// ---------------------------------------------------------------------------------------
// Folders

// Name of the study folder on remote machines when the local one has no name.
inline constexpr const char* kDefaultRemoteStudyName = "myStudy";
// Name by which a job on this machine (no compute resource) is told in logs and launches.
inline constexpr const char* kDefaultResourceName = "default";
// File names the solver writes into run folders and the study folder.
inline constexpr const char* kAnalysisLogName = "analysis.log";
inline constexpr const char* kTempCommandFileName = "KARVOMDOTempExecCmdFile__.sh";
inline constexpr const char* kUtilityOutputName = "OutputFromUtilityCommands.msg";
inline constexpr const char* kLaunchOutputName = "launchCommandOutput.msg";
inline constexpr const char* kRemoteStudyCopyLogName = "copyFilesToRemoteStudyFolder.msg";

std::string agentFolder(int agentNumber);
std::string agentPostFolder(int agentNumber);
std::string designFolder(const std::string& agentFolder, int designNumber);
// `caseFolder`: use the case form "<analysis>.<caseIndex + 1>".
std::string analysisFolder(const std::string& agentFolder, int designNumber,
                           const std::string& analysisName, int caseIndex, bool caseFolder);
// The analysis folder of a design of an agent, with the case form when the analysis is in a
// loop that creates case folders.
std::string analysisFolder(int agentNumber, int designNumber, const std::string& analysisName,
                           int caseIndex);
std::string designPostFolder(int agentNumber, int designNumber);
std::string analysisPostFolder(int agentNumber, int designNumber,
                               const std::string& analysisName, int caseIndex);
std::string analysisLogFile(int agentNumber, int designNumber, const std::string& analysisName,
                            int caseIndex);

// Makes a design's run or post folder: a single mkdir when only its last level is new (every
// design after the first), each missing level otherwise; an existing folder is kept. False,
// with the reason in `error`, when it cannot be made.
bool makeDesignFolder(const std::string& folder, std::string* error);

// True when the designs run by `process` get no folders and no design log: the run option
// noFolderWithoutAnalysis is on, the process (if any) has no analyses, and the run does not
// only write design files. Their log notes go to the message file instead.
bool designsWithoutFolders(const Process* process);

// The loop that lists `analysisName` (null when none), and whether that loop runs each case
// in a folder of its own.
const Loop* loopOfAnalysis(const std::string& analysisName);
bool usesCaseFolders(const std::string& analysisName);

// The folders of a context: its agentFolder / postFolder when set, else those of its agent.
std::string contextAgentFolder(const EvaluationContext& context);
std::string contextPostFolder(const EvaluationContext& context);
// The analysis log of the context's design, analysis and case ("" when it names no analysis).
std::string contextAnalysisLog(const EvaluationContext& context);

// Remote folders, in the form of `profile`'s platform. `analysis` may be null (no
// jobRemotePath).
std::string remoteStudyFolder(const RemoteProfile& profile, const Analysis* analysis);
std::string remoteDesignFolder(const RemoteProfile& profile, const Analysis* analysis,
                               int designNumber);
std::string remoteAnalysisFolder(const RemoteProfile& profile, const Analysis* analysis,
                                 const std::string& analysisName, int designNumber,
                                 int caseIndex);

// ---------------------------------------------------------------------------------------
// Compute resource and remote profile of a job

// The compute resource a command of `context` runs on: the context's jobResource when set,
// else the analysis's computeResource; null for this machine (or a name not defined).
const ComputeResource* contextResource(const EvaluationContext& context);

// True when `resource` runs its jobs on a remote machine.
bool isRemoteResource(const ComputeResource* resource);

// The remote profile of a remote resource. Null when the resource is not remote, or when
// its profile is missing; the latter writes the note "The definition for the remote profile
// \"<name>\" has been corrupted. Trying to continue the run is possible." to the analysis
// log of `context`.
std::unique_ptr<RemoteProfile> openRemoteProfile(const ComputeResource* resource,
                                                 const EvaluationContext& context);

// ---------------------------------------------------------------------------------------
// Locations

enum class PathMode {
  kPathOnly,          // "pathOnly": the folder
  kPathWithFilename,  // "pathWithFilename": the folder and the file name
};

struct ResolvedPath {
  bool ok = false;      // false: no path could be formed
  std::string path;     // local path, or a remote path in the remote platform's form
  bool remote = false;  // the path is on the remote machine of the job's resource
  std::string error;    // why not ok (also written to the analysis log); "" when ok
};

// Resolves `location` for the design, analysis and case of `context`:
//   analysisFolder    the analysis folder (above)
//   designFolder      the design folder
//   studyFolder       the study folder (run.workingDirectory)
//   projectFolder     "<study folder>/.."
//   anotherAnalysis   the run folder of the named analysis of the same design (its own run
//                     location resolved; same loop case when both are in one loop, else its
//                     first case)
//   fixedLocation     the path as given; a relative path is taken below the study folder
//   relativeLocation  "<analysis folder>/<path>"
// "REMOTE:" resolves the same kinds on the remote machine of the job's resource (a fixed path
// is only converted to the remote form). When the resource is not remote, the note
// "Requested execution of a command on remote machine. However, this analysis is not setup to
// run on a remote machine. Running commands locally." is written and the local form is
// answered. "LOCAL:" and no prefix answer the local form. With kPathWithFilename, `file` is
// joined to the folder. A path longer than platform::kMaxPath is refused.
ResolvedPath resolveLocation(const Location& location, const std::string& file, PathMode mode,
                             const EvaluationContext& context);

// The analysis's run folder: its run location resolved on this machine, or with `remoteSide`
// the same kind resolved on the remote machine. Without an analysis: the analysis folder of
// the context's analysis name, else the study folder.
ResolvedPath resolveRunFolder(const EvaluationContext& context, bool remoteSide = false);

// Where a command step runs: its location, or the analysis's run folder when it has none.
ResolvedPath resolveCommandFolder(const CommandStep& step, const EvaluationContext& context);

// Status of another analysis of the same design and case (0 ERROR ... 5 SKIPPED).
using AnalysisStatusFn = std::function<int(const std::string& analysisName)>;

// The source analysis of a file with candidate analyses: the first whose status is
// SUCCESS, FEASIBLE or INFEASIBLE, with the note "Using analysis \"%s\" as source from the
// list (%s) for this analysis since it was successfully evaluated." when it is not the only
// candidate; else the first of the list (with a note saying so when there are several).
// Without `status` every candidate counts as not evaluated.
std::string chooseSourceAnalysis(const InputFile& file, const AnalysisStatusFn& status,
                                 const EvaluationContext& context);

// The input file of `analysis` with this name or target; null when none.
const InputFile* findInputFile(const Analysis& analysis, const std::string& name);

// Where input file `fileName` of the context's analysis is taken from (its source location,
// with the conditional source chosen through `status`). A name not in the list: "Could not
// locate the file \"%s\" in the list of input files for analysis \"%s\"."
ResolvedPath resolveInputSource(const std::string& fileName, PathMode mode,
                                const EvaluationContext& context,
                                const AnalysisStatusFn& status = {});

// The main input file in the run folder ("<run folder>/<primaryInput>"). Without a main input
// or run folder: "Error in locating the main input file (%s) for analysis %s. Could not form
// full path for destination."
ResolvedPath resolveMainInputFile(const EvaluationContext& context);

// ---------------------------------------------------------------------------------------
// Commands

// What a command is for; names its job script "Execute_<analysis>_<kind>.sh".
enum class CommandKind {
  kPreAnalysis,     // "preAnalysis"
  kPreUpdate,       // "preUpdateAnalysis"
  kAnalysis,        // "Analysis": the analysis command itself
  kPostAnalysis,    // "postAnalysis"
  kPostExtraction,  // "postExtraction"
  kUtility,         // "utilAnalysis": condition commands and other utilities
};

// "Execute_<analysis>_<kind>.sh"; "NONE" stands for an empty analysis name.
std::string jobScriptName(const std::string& analysisName, CommandKind kind);

// Where a command runs.
enum class RunSide {
  kAuto,    // the analysis command on a remote resource runs there; everything else here
  kLocal,   // on this machine, whatever the resource ("LOCAL:")
  kRemote,  // on the resource's remote machine ("REMOTE:"); here, with a note, when the
            // resource is not remote
};

// One file that the job controller is told to copy ("rmt_file_copies").
struct RemoteFileCopy {
  std::string direction;  // "toRemote" or "fromRemote"
  bool isFolder = false;  // "folder" or "file"
  std::string source;     // local or remote path, by direction
  std::string target;     // the path on the other side
};

struct CommandRequest {
  CommandKind kind = CommandKind::kUtility;
  std::string command;       // as written; its tags are replaced here
  std::string folder;        // local folder it runs in; "": the analysis's run folder, else
                             // the study folder (a relative folder is below the study folder)
  std::string resourceName;  // compute resource; "": the context's (contextResource)
  RunSide side = RunSide::kAuto;  // where it runs (above)
  std::string remoteFolder;  // remote folder of a remote run; "": the remote analysis folder
  bool wait = false;         // return only once the command has ended
  bool logging = true;       // append the command's output to `logFile`
  std::string logFile;       // "": the analysis log when the context names an analysis,
                             // else "<study>/OutputFromUtilityCommands.msg"
  std::vector<std::string> remoteFileDeletes;    // passed on as "rmt_file_deletes"
  std::vector<RemoteFileCopy> remoteFileCopies;  // passed on as "rmt_file_copies"
  bool recordCommand = false;  // write "*COMMAND" and the command as it runs (tags replaced
                               // and quoted) to the analysis log before it starts, or when
                               // it cannot start
};

struct CommandLaunch {
  std::unique_ptr<Job> job;  // the process handle; null when no process could be created
  std::string command;       // the command after tag replacement
  std::string scriptPath;    // the job script (absolute)
  std::string logFile;       // where the output goes ("" when not logged)
  bool remote = false;       // it runs on the remote machine
  PropertiesMap launch;      // the property set handed to the job controller
};

// Runs a command through the job controller:
//   1. tags are replaced (tagging.h); a command whose tags could not all be replaced is not
//      started (it would run the dummy command and could pass as a success);
//   2. the log file is chosen (CommandRequest::logFile);
//   3. the compute resource is looked up: its type ("Direct" when not set) decides the job
//      kind for the analysis command; other commands run Direct. A remote run writes the
//      remote execution script, copies it to the remote folder and runs it there through
//      the remote profile;
//   4. the launch property set is built (keys below) and handed to a job object of the
//      extension manager's "JobController" library (made directly when no manager exists);
//   5. with `wait`, the call returns once the job has ended (job->exitCode() is then set).
// When no process can be created, the warning "Error in executing the following command
// (could not create the process to run this):" with the command (and the job controller's
// reason) goes to the analysis log and `job` is null.
//
// Launch keys: "study_name", "study_dir", "analysis_dir", "analysis_num" (the analysis id),
// "case_num" (case index + 1), "design_num", "do_logging", "analysis_block" (the analysis's
// execution settings as "key: value" lines), "job_script" (absolute; in the design folder
// when the command's folder is shared by all designs, so that jobs of different designs
// never share one script), "out_log_file", "err_log_file", "exec_cmd", "do_job_block" (job
// batch mode of the analysis command), "do_verbose" (the run option scriptingVerboseMode: the
// job script traces its commands), "resource_name" ("default" on this
// machine), "resource_block" (the resource's record; "jobPrefix" from the analysis's
// jobNamePrefix when given; empty for a local run), "finish_block" (the finish condition's record, analysis command only),
// "remote_block" (the remote profile's record), "rmt_analysis_dir", "rmt_study_dir",
// "rmt_file_deletes" (lines "file,<path>"), "rmt_file_copies" (lines
// "<direction>,file|folder,<source>,<target>"), "do_analysis_run".
CommandLaunch runCommand(const CommandRequest& request, const EvaluationContext& context);

// Runs `command` with /bin/sh through the temporary command file "<folder>/
// KARVOMDOTempExecCmdFile__.sh", which holds the command, and waits for it. The file is
// started as "/bin/sh '<file>'" followed by the redirection " 1>> '<log>' 2>&1" into
// `logFile`, or " 1>> /dev/null 2>&1" when `logFile` is empty, so the output of every line
// is captured while the command's own redirections keep working. With verbose output the
// started line is echoed on standard output. When the file cannot be written the command is
// run directly, as a subshell with the same redirection.
// Answers the exit status (0-255; 128 + signal), or -1 when no shell could be started.
int runThroughCommandFile(const std::string& command, const std::string& folder,
                          const std::string& logFile);

struct LaunchResult {
  bool started = false;     // a process was created
  int exitCode = -1;        // its exit status after a waited run; -1 otherwise
  std::string commandLine;  // the line given to /bin/sh
  std::string outputFile;   // "<folder>/launchCommandOutput.msg"
  std::string error;        // why it could not be started
};

// The application-access operation through which a portal runs a program: `executable`
// (quoted for /bin/sh when it holds blanks or shell characters, unless `options` holds
// "processSpaces", in which case the caller has dealt with them) followed by `arguments`
// (shell text, as given), run in `folder` ("" = the solver's current folder) with standard
// output and error appended to "launchCommandOutput.msg" there. `options` is a list of words
// (any letter case): "nowait" returns as soon as the program has started, "processSpaces"
// as above.
LaunchResult launchCommand(const std::string& executable, const std::string& arguments,
                           const std::string& options, const std::string& folder = "");

// ---------------------------------------------------------------------------------------
// Remote machines

// Commands of the far side, chosen by the remote platform (Windows without Cygwin, or a
// POSIX shell).
struct RemoteCommandSet {
  const char* makeFolder;    // "mkdir -p" / "mkdir"
  const char* removeFolder;  // "rm -rf" / "rmdir /s /q"
  const char* removeFile;    // "rm -f" / "del /f /q"
  const char* copy;          // "cp -rpf" / "copy /B /Y"
  char separator;            // '/' / '\\'
  const char* comment;       // "#" / "REM" (a line cmd.exe reads as a remark)
  const char* changeFolder;  // "cd" / "cd /d" (which also changes the drive)
  const char* exitOnError;   // " || exit 1" / " || exit /b 1"
  const char* lineEnd;       // "\n" / "\r\n"
  const char* extension;     // ".sh" / ".cmd"
};
const RemoteCommandSet& remoteCommandSet(const RemoteProfile& profile);

// "Tool_<analysis>_execute_<up to the first 10 letters and digits of the command><ext>", or
// "Tool_<analysis>_execute<ext>" when the command has no letter or digit.
std::string remoteScriptName(const std::string& analysisName, const std::string& command,
                             const RemoteCommandSet& set);

// The four lines of the remote execution script: a comment, the change into `remoteFolder`
// (quoted for the far side; the script ends if it fails, so the command never runs in the
// wrong folder), a comment, the command. False with `error` when the folder cannot be quoted
// for the far side.
bool remoteScriptText(RemoteProfile& profile, const std::string& remoteFolder,
                      const std::string& command, std::string& text, std::string& error);

// Writes the remote execution script into `localFolder`, copies it to `remoteFolder`
// ("Copying %s to the remote analysis folder"), and on a POSIX far side converts it
// ("Performing dos2unix on the cmd file", "dos2unix %s") and makes it executable ("Updating
// execute permissions", "chmod 755 %s"). Answers the script's remote path in `remotePath`.
// A script that cannot be written: "Error in creating the execution script for remote
// analysis \"%s\"." (false). Failed conversions are warned and do not stop the run.
bool writeRemoteExecutionScript(RemoteProfile& profile, const EvaluationContext& context,
                                const std::string& command, const std::string& localFolder,
                                const std::string& remoteFolder, const std::string& logFile,
                                std::string& remotePath);

// Runs `command` on the remote machine (generateExecutionCommand) through the temporary
// command file in `localFolder`, output into `logFile`. Answers the exit status, -1 when the
// command could not be made or started ("Error in creating the execution command using the
// remote profile \"...\". Original command: \"...\".\nMessage received:\n..." as a note).
int runRemoteCommand(RemoteProfile& profile, const std::string& command,
                     const std::string& localFolder, const std::string& logFile,
                     const EvaluationContext& context);

// Copy one file or folder to the remote machine (local `source`, remote `target`) or back
// from it (remote `source`, local `target`) through the copy command of the profile, run
// through the temporary command file in `localFolder` with its output into `logFile`. A
// folder copied to an existing folder goes inside it. A command that cannot be made: "Error
// in creating the remote copy command using the remote profile \"...\" for file \"...\".
// \nMessage received:\n..." (a note); a copy that fails is an error naming the file and the
// exit status. False on either.
bool copyToRemote(RemoteProfile& profile, const std::string& source, const std::string& target,
                  bool isFolder, const std::string& localFolder, const std::string& logFile,
                  const EvaluationContext& context);
bool copyFromRemote(RemoteProfile& profile, const std::string& source,
                    const std::string& target, bool isFolder, const std::string& localFolder,
                    const std::string& logFile, const EvaluationContext& context);

// Makes `remoteFolder` with every missing parent on the far side.
bool makeRemoteFolder(RemoteProfile& profile, const std::string& remoteFolder,
                      const std::string& localFolder, const std::string& logFile,
                      const EvaluationContext& context);

// Creates the remote analysis folder of the context ("Creating analysis directory %s on the
// remote machine.").
bool createRemoteAnalysisFolder(RemoteProfile& profile, const EvaluationContext& context);

// Before the first remote run on a profile: the remote study folder is made and the input
// files that the analyses of `process` running on that profile take from the study folder
// are copied into it, with progress in "<study>/copyFilesToRemoteStudyFolder.msg" ("Copying
// files for analysis: %s (remote profile: %s)"), then "chmod -R 755 %s/*" and "find %s -type
// f -name \*.sh -exec dos2unix {} +;" run there and "Done copying files to remote machine."
// is noted. Later calls for the same profile do nothing (resetRemoteStudies starts afresh).
bool prepareRemoteStudyFolder(RemoteProfile& profile, const Process& process,
                              const EvaluationContext& context);
void resetRemoteStudies();

// Start-up: prepareRemoteStudyFolder for every remote machine that an analysis of a process
// read runs on (its compute resource, or each member of its resource set), in process and
// analysis order, with the notes going to the message file. A profile that cannot be opened
// or a copy that fails is told there and does not stop the run: the analysis folders are
// still copied before each remote run.
void prepareRemoteStudyFolders();

// Before a remote analysis runs: everything in the local run folder is copied to the remote
// analysis folder ("Copying all analysis files to the remote analysis folder"), then
// "chmod 755 %s/*" and the dos2unix step for that folder.
bool copyAnalysisFilesToRemote(RemoteProfile& profile, const EvaluationContext& context);

// After a remote run: the output files ("Copying output file %s from the remote machine back
// to the analysis folder on the local machine."), the files in `downstreamFiles` ("Copying
// file %s from the remote machine back to the analysis folder on the local machine since it
// is needed in a downstream analysis.") and the visualization files are copied back, after
// the note "Copying output files back from the remote machine.". False when a copy failed
// (the others are still tried).
bool copyOutputFilesFromRemote(RemoteProfile& profile, const EvaluationContext& context,
                               const std::vector<std::string>& downstreamFiles = {});

// ---------------------------------------------------------------------------------------
// Conditions on remote resources: the file and command parts of ConditionServices
// (evaluation/conditions.h) that the evaluation flow hands to every condition.

// The local path of the condition file `name` (tags already replaced) of the list
// `fileType` ("input": an input file of the analysis, taken from its source; otherwise a
// file of the run folder). When the context's compute resource is on a remote machine, the
// file is first copied back from the remote run folder (a copy that fails is warned, and
// the local path still answers). False when no path can be formed.
bool conditionFilePath(const std::string& fileType, const std::string& name,
                       const EvaluationContext& context, std::string& path);

// The local command line that runs `command` on the remote machine of the context's compute
// resource: in the remote run folder, through the analysis's "execShell" on POSIX far sides,
// wrapped by the remote profile's execution command. False with `error` when it cannot be
// made.
bool conditionRemoteCommand(const std::string& command, const EvaluationContext& context,
                            std::string& localCommand, std::string& error);

}  // namespace karvo
