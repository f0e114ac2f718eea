// Inside the job controller: the plain record behind each Job object and the free functions
// shared by the Direct code (job_controller.cpp), the job scripts (job_script.cpp) and the
// Scheduled code (scheduled_job.cpp). Not for use outside src/external/job_* files.
#pragma once

#include <string>

#include "base/properties_map.h"
#include "external/job_controller.h"
#include "platform/process.h"

namespace karvo::job {

enum class JobKind { kDirect, kRemoteDirect, kScheduled };

// What a Scheduled resource asks for, read and checked once at submit.
struct SchedulerSettings {
  std::string submitCommand;     // "jobCommand", placeholders not yet replaced
  std::string finishCommand;     // "finishCmd"; "" = the status file decides
  std::string killCommand;       // "killCmd"; "" = kill() fails
  std::string prependPath;       // "jobPrependPath": put in front of PATH; "" = none
  std::string commandFolder;     // folder the scheduler commands run in (absolute)
  bool checkExitStatus = false;  // "finishCmdCheck"
  int finishReturnValue = 0;     // "finishReturnValue"
  int findJob = 0;               // "finishFindJob": 0 none, 1 by id, 2 by name
  bool readId = false;           // "jobReadID"
  int idLine = 0;                // "jobIdLineNum": 1-based, negative from the end, 0 search
  std::string idStart, idEnd;    // "jobIDStart", "jobIDEnd"
  bool useJobStatus = false;     // "useJobStatus"
  std::string startedText;       // "jobStartedText"
  int startedColumn = 0;         // "jobStartedCol": 1-based field, 0 = anywhere on the line
  std::string arrayOption;       // "jobArrayOption": the submission's array option
  std::string arrayIndexVar;     // "jobArrayIndexVar": the variable holding a member's index
  std::string arrayMemberId;     // "jobArrayMemberID": a member's id from %JOBID% and %TASK%
};

// One job: everything the Job object knows, in one plain record.
struct JobRecord {
  JobOptions options;
  JobState state = JobState::kCreated;
  JobKind kind = JobKind::kDirect;
  std::string lastError;          // reason of the last failure; "" when none
  std::string resourceName;       // "resource_name", for messages
  PropertiesMap resource;         // the parsed resource block
  std::string command;            // "exec_cmd" (wrapped for a remote Direct job)
  std::string analysisDir;        // absolute analysis folder
  std::string studyDir;           // absolute study folder; "" when not given
  std::string scriptPath;         // absolute job script path
  std::string statusPath;         // absolute status file path (Scheduled)
  std::string outLog, errLog;     // absolute log paths; "" = not logged
  std::string outputPath;         // absolute path that receives the whole output when the log
                                  // keeps only its ends (output logged into one file only)
  long long outLogStart = -1;     // size of outLog when the job was submitted; -1: not capped
  std::string designNum, analysisNum, caseNum;  // as given in the launch ("0" when absent)
  std::string name;               // job name
  std::string id;                 // scheduler job id, or the pid of a Direct job
  std::string startedCommand;     // what started the job
  platform::ChildProcess child;   // the process of a Direct job
  int exitCode = -1;              // 0..255, 128 + signal; -1 unknown
  bool ranToEnd = false;          // the program ended by itself (see Job::succeeded)
  bool queued = false;            // Scheduled: not yet seen started
  bool traced = false;            // "do_verbose": the script traces each command it runs
                                  // ("set -x", into the captured output)
  SchedulerSettings scheduler;    // Scheduled only
  bool remote = false;            // Scheduled through a remote machine: analysisDir, studyDir,
                                  // scriptPath, statusPath, outLog and errLog are remote paths
  std::string remoteBlock;        // "remote_block": the remote profile's record
  std::string localAnalysisDir;   // remote job: the analysis folder here
  std::string localStudyDir;      // remote job: the study folder here ("" when not given)
  std::string localScriptPath;    // remote job: where its script is written here
  std::string localLog;           // remote job: the log its output is appended to ("" none)
  double endReportedAt = -1;      // monotonic s when the finish check reported the end while
                                  // the status file was missing; -1 = not yet
  std::string namePattern;        // jobPrefix and jobName, placeholders not yet replaced
  bool batchMode = false;         // "do_job_block": may be submitted with others as an array
  bool held = false;              // Scheduled: held back for submitJobBatches, not yet handed
                                  // to the scheduler (no id)
  std::string arrayId;            // the id of the array the job is a member of; "" = none
  int arrayTask = -1;             // the job's index in that array (0-based); -1 = none
  double listingFailedSince = -1;  // Scheduled: monotonic s since when the listing finish
                                   // check has failed in a row; -1 = it has not
  double checkSeenAt = -1;        // Scheduled: monotonic s at which the finish-check output
                                  // last read was asked for (the end of the submission before
                                  // the first check); -1 before submit
};

// "true", "yes", "1" in any letter case.
bool isTrueFlag(const std::string& value);

// `path` made absolute against `base` (itself made absolute against the current folder).
std::string absolutePath(const std::string& path, const std::string& base);

// The job name: letters, digits, '.', '_' and '-' kept, anything else becomes '_'.
std::string sanitizeName(const std::string& name);

// `path` quoted for /bin/sh. A relative path of a remote job (or one starting with "~/") is
// one under the remote user's home folder, and is given as "$HOME"/'...' so that it holds
// in any folder the command changes into.
std::string commandPath(const JobRecord& job, const std::string& path);

// Replaces the placeholders of the header (%JOBID%, ...) in `text`. With `forShell`, paths
// are inserted quoted for /bin/sh; %COMMAND% is replaced by `commandBlock` (templates).
std::string substitutePlaceholders(const std::string& text, const JobRecord& job, bool forShell,
                                   const std::string& commandBlock = "");

// The lines of a job script that change into the analysis folder and run the command; for a
// Scheduled job (`withStatus`) the command runs in a subshell with the logs appended, and its
// exit status is kept in $karvo_job_status and written to the status file.
std::string scriptCommandBlock(const JobRecord& job, bool withStatus);

// The whole job script of a Direct job, and of a Scheduled job without a template.
std::string directJobScript(const JobRecord& job);
std::string scheduledJobScript(const JobRecord& job);

// Writes `text` to `path` through a temporary file and a rename, mode 0755.
bool writeJobScript(const std::string& path, const std::string& text, std::string& error);

// Scheduled jobs (scheduled_job.cpp). submit reads the resource, writes the script and runs
// the submission command; check runs the finish check once; kill runs the kill command.
bool scheduledSubmit(JobRecord& job);
// Forgets a held job (killed or released before its array was submitted).
void dropHeldJob(JobRecord& job);
bool scheduledCheck(JobRecord& job);
bool scheduledKill(JobRecord& job);

}  // namespace karvo::job
