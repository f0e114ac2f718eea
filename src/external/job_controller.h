// The job controller: one Job object per analysis job that the evaluation flow starts. The
// flow hands the launch property set of the analysis (with the compute resource's record as
// "resource_block") to submit() and then polls finished(false) between its sleeps; the
// object's address is the job's process handle in the flow's job records.
//
// Three kinds of job, chosen at submit() from the resource's "type" and remote settings:
//   Direct, local   the command runs on this machine through a job script;
//   Direct, remote  the same, with the command first wrapped by the remote profile's
//                   execution-command generator (ssh and the like) and run locally;
//   Scheduled       the job script is handed to a batch scheduler (Slurm, PBS, LSF...)
//                   through the resource's submission, finish-check and kill commands;
//                   with a remote profile these commands run on the remote machine (a
//                   cluster's login node) through the profile's execution command, and the
//                   job script goes there through its copy command (below).
//
// ---------------------------------------------------------------------------------------
// Job states and the function behind each transition
//
//                 submit() true                   finished() sees the end
//     CREATED -----------------------> RUNNING ---------------------------> ENDED
//        |                              |  |                                  |
//        | submit() false               |  | kill() true                      |
//        v                              |  v                                  |
//      FAILED                           | KILLED                              |
//        |                              |  |                                  |
//        +--------- release() ----------+--+------------ release() -----------+
//                                       v
//                                   RELEASED
//
//   A Scheduled job in RUNNING is first queued (queued() true) when the resource says how a
//   started job shows in the finish check's output; the check that shows it clears queued().
//   A Scheduled job submitted in batch mode enters RUNNING held (held() true, no id) and
//   leaves it at submitJobBatches(): handed over, or FAILED when the array was refused.
//
// Invariants
//   1. submit() is accepted once, in CREATED; a second call fails (lastError says why).
//   2. finished(false) never blocks on the job: at most one waitpid(WNOHANG) for a Direct
//      job, at most one finish-check command (bounded by schedulerCommandSeconds) for a
//      Scheduled one, none when a run shared with the resource's other jobs answers it. The caller sleeps between calls (platform::waitForChildExitOrTimeout).
//   3. complete() holds exactly in ENDED and KILLED; succeeded() implies ENDED and that the
//      program ran to its own end (not killed, not ended by a signal).
//   4. exitCode() is -1 until finished() has answered true for an ended job.
//   5. In ENDED and KILLED no local process of the job is left unreaped. After release() the
//      job owns no process: a Direct job still running goes on and is reaped in the
//      background, never left a zombie; it and whatever the command left running in the
//      background are ended at the end of the run (platform::endRunProcesses), or by the
//      guard should the solver die. After keepRunning() they are meant to outlive the
//      solver (platform::releaseProcess).
//   6. lastError() is cleared when submit() starts and when finished() or kill() acts on a
//      RUNNING job, and set when one of them fails; it names the command, file or property
//      concerned. The error of a failed submit() therefore stays readable afterwards.
// ---------------------------------------------------------------------------------------
//
// The launch property set (keys read here; every other key is passed through unread):
//   "exec_cmd"       the command; required. A POSIX sh command line, may span lines.
//   "analysis_dir"   the folder the command runs in ("" = the solver's current folder).
//   "study_dir"      the study folder (scheduler commands when "jobUseWorkdir" is 0).
//   "job_script"     the job script's path, relative to analysis_dir unless absolute;
//                    "" gives "Execute_NONE_utilAnalysis.sh".
//   "do_verbose"     "true": the job script runs "set -x" before the command, so that the
//                    shell writes each command it runs to the captured output.
//   "do_logging"     "true": standard output and error are appended to "out_log_file" and
//                    "err_log_file" (relative to analysis_dir unless absolute; one file when
//                    both name the same, "" discards that stream). Otherwise a Direct job's
//                    output is discarded and a Scheduled job's goes wherever the scheduler
//                    puts it. Output that goes into one shared file is capped once the
//                    command has ended (kOutputKeptBytes): the whole of a longer output is
//                    kept in the job's output file (the script path with ".output" for its
//                    extension) and the log keeps its ends.
//   "design_num", "analysis_num", "case_num"   numbers used in the default job name.
//   "resource_name"  the compute resource's name, used in messages.
//   "resource_block" the compute resource's record as "key: value" lines (below).
//   "remote_block"   the remote profile's record, handed to JobOptions::remoteCommand.
//   "rmt_analysis_dir", "rmt_study_dir"   the analysis and study folders on the remote
//                    machine (remote Scheduled jobs; the first is required there).
// Flags ("do_logging", and the resource's flags below) are true for "true", "yes", "on" and
// "1" in any letter case, false otherwise.
//
// The resource block: one property per line, "key: value"; the key is the text before the
// first colon and the value the text after it, both with surrounding blanks and tabs
// removed; empty lines are skipped. formatResourceBlock and parseResourceBlock below write
// and read it. An empty block is a local Direct resource.
//   "type"              "Direct" (or empty) or "Scheduled"; anything else is refused.
//   "jobRemote", "jobRemoteProfile"   a flag and a profile name: both set make the
//                       resource remote. A remote Scheduled resource needs a POSIX shell on
//                       the remote machine (platform "Linux", or "Windows" with useCygwin).
//
// Job script. Written to job_script (through a temporary file and a rename, so a script that
// is running is never rewritten under it) with mode 0755 and run as `/bin/sh <script>` in
// the analysis folder, in its own process group. It changes into the analysis folder
// (quoted: blanks and shell characters in paths are safe), runs the command and exits with
// the command's status. For a Scheduled job the script also writes the command's exit status
// into the status file (job_script without its extension, plus ".exitstatus") as it ends;
// a stale status file is removed at submit. Every job needs its own job_script path: two
// jobs started at the same moment under one path may both run the later script (the
// evaluation flow gives each analysis of each design its own folder).
//
// Remote Scheduled jobs. The scheduler commands run on the remote machine: each is run as
// "cd <folder> || exit 1; <command>" there, wrapped by JobOptions::remoteCommand and run here
// with its output captured. The placeholders %JOBSCRIPT%, %ANALYSISDIR% and %STUDYDIR%, the
// job script's own paths and the status file are those of the remote machine: the script is
// written here beside the analysis (job_script) and copied, with JobOptions::remoteCopy, into
// rmt_analysis_dir under the same name. It starts in the remote user's home folder, so a
// relative remote path means there what it means to the login shell. The status file is read
// with "cat" on the remote machine. Logged output goes to the job's output file there (the
// script path with ".output"), which is read back and appended to the local log once the job
// has come to its end. The analysis files themselves are copied by the evaluation flow. A
// remote job array's script is written here beside the first member's and copied the same
// way; its entries run the members' remote scripts, and one remote command removes every
// member's stale status and output files, then submits the array.
//
// Scheduled resources: properties read and their meaning.
//   "jobCommand"        submission command, required ("sbatch", "qsub", "bsub <"). Run with
//                       /bin/sh, output captured. The job script's path (quoted) is appended
//                       unless the command holds %JOBSCRIPT%. A start failure, a time-out or
//                       a non-zero exit status fails the submission.
//   "jobUseTemplate"    0 or 1. With 1 the script is made from the template file
//                       "jobTemplate" (relative paths are joined to "jobTemplatePrependPath"
//                       when set, else to study_dir, else to the analysis folder): every
//                       placeholder is replaced by its raw value (the template quotes what it
//                       needs) and %COMMAND%, which the template must hold, by the lines that
//                       change folder, run the command and write the status file.
//   "jobPrependPath"    a folder put in front of PATH for the scheduler commands.
//   "jobUseWorkdir"     flag, default 1: scheduler commands run in the analysis folder; with
//                       0 in study_dir (the analysis folder when study_dir is "").
//   "jobPrefix", "jobName"   the job name is jobPrefix (default "KARVO_") followed by jobName
//                       (default "D%DESIGN%_A%ANALYSIS%", with "_C%CASE%" for case 2 and
//                       later); characters other than letters, digits, '.', '_' and '-'
//                       become '_'. Direct jobs are named the same way.
//   "jobReadID"         flag: read the job id from the submission output. Required when a
//                       scheduler command holds %JOBID% or "finishFindJob" is "ID".
//   "jobIdLineNum"      line of the output that holds the id: 1 is the first, -1 the last
//                       non-empty line; 0 or unset: the first line holding "jobIDStart" (the
//                       first non-empty line when jobIDStart is empty).
//   "jobIDStart", "jobIDEnd"   the id is the text after the first jobIDStart on that line
//                       (from the line's start when empty) up to the next jobIDEnd (to the
//                       line's end when empty), without surrounding blanks. It may hold only
//                       letters, digits and "._-:@[]+"; anything else fails the submission.
//   "finishCmd"         finish-check command, run once per finished(false). When empty the
//                       job has ended once its status file exists.
//   "finishCmdCheck", "finishReturnValue"   flag and integer (default 0): the check passes
//                       when the finish command's exit status equals finishReturnValue.
//   "finishFindJob"     "ID" or "Name" (any letter case) or empty: the check passes once the
//                       job's id / name no longer appears in the output as a word (not
//                       preceded or followed by a letter or digit), as squeue, qstat and
//                       bjobs drop finished jobs. Such a command lists the jobs: the jobs of
//                       one resource whose finish commands read the same once placeholders
//                       are replaced share its runs. A job is answered from the latest run
//                       when that run started after the job last looked (and after its
//                       submission ended), else the command runs anew; a run that failed is
//                       shared too. So all jobs checked within one interval cost one run.
//                       The job has ended when every check set passes; with neither set,
//                       the exit-status check is used. A finish command that cannot run or
//                       times out leaves the job running (lastError says why). So does a
//                       listing (finishFindJob without finishCmdCheck) whose command exits
//                       with a status other than 0: its output is no listing (the scheduler
//                       may be briefly out of reach); only when the listing has failed for
//                       failedListingSeconds in a row is a job missing from it taken as ended.
//                       When the check reports the end, the exit status is read from the
//                       status file; should it not be there yet (file-system caches), it is
//                       awaited up to JobOptions::statusFileGraceSeconds. Without it the job
//                       ends with exit code -1 and does not count as succeeded.
//   "useJobStatus", "jobStartedText", "jobStartedCol"   with the flag set and a text given,
//                       the job stays queued until a finish-check output shows the text on
//                       the job's line (the first line holding its id or name; any line when
//                       neither is known), in field jobStartedCol (1-based, blank-separated;
//                       0 or unset: anywhere on the line).
//   "killCmd"           kill command; exit status 0 means killed. Without it kill() fails.
//   "jobArrayOption", "jobArrayIndexVar", "jobArrayMemberID"   job arrays, for launches with
//                       "do_job_block" true on a resource that reads the id and finds jobs by
//                       id (others are submitted alone). submit() writes the member's script
//                       and holds the job; submitJobBatches writes an array script beside the
//                       first member's script (".array.sh" for its extension) that runs the
//                       member script whose index the variable jobArrayIndexVar (default
//                       SLURM_ARRAY_TASK_ID) holds, and runs the submission command of the
//                       first member with jobArrayOption (default "--array=0-%LASTTASK%";
//                       %LASTTASK% is the last index) put before the script's path. %DESIGN%
//                       stands for "<first>-<last>" in the array's name. A member's id is
//                       jobArrayMemberID (default "%JOBID%_%TASK%") with the array's id and
//                       its index. A member still waiting may be listed as part of a range,
//                       "<array id>_[0-5,7]": it counts as listed. Options in a job template
//                       ("#SBATCH" lines) do not reach the array: the member scripts run as
//                       plain shell scripts inside it.
//   "jobTiming"         not used by the controller.
//
// Placeholders in scheduler commands and templates (in commands, paths are inserted quoted
// for /bin/sh, and must not be quoted again; ids, names and numbers hold no shell
// characters and are inserted as they are):
//   %JOBID% %JOBNAME% %JOBSCRIPT% %ANALYSISDIR% %STUDYDIR% %DESIGN% %ANALYSIS% %CASE%
//   %COMMAND% (templates only)
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/properties_map.h"

namespace karvo {

// Factory kind of a job object in the job-controller library.
inline constexpr int kJobObjectKind = 3;

// A command's output logged into one file keeps its first and its last this many bytes
// there once the command has ended; what lies between is left out, with a line saying how
// many bytes and naming the job's output file, which then keeps the whole output. Output of
// no more than twice this stays in the log whole, and no output file is made.
inline constexpr long long kOutputKeptBytes = 1024 * 1024;

enum class JobState { kCreated, kRunning, kEnded, kKilled, kFailed, kReleased };

// Builds the local command that runs `command` on the remote machine described by
// `remoteBlock` (the launch's "remote_block"). The solver wires it to the remote profile's
// generateExecutionCommand and getLastErrorMsg. False, with `error`, on failure.
using RemoteCommandFn = std::function<bool(const std::string& remoteBlock,
                                           const std::string& command, std::string& wrapped,
                                           std::string& error)>;

// Builds the local command that copies the local file `localPath` to `remotePath` on the
// remote machine described by `remoteBlock`. The solver wires it to the remote profile's
// generateCopyCommand. False, with `error`, on failure.
using RemoteCopyFn = std::function<bool(const std::string& remoteBlock,
                                        const std::string& localPath,
                                        const std::string& remotePath, std::string& command,
                                        std::string& error)>;

// A RemoteCommandFn for one known profile: `generate` answers the wrapped command and sets
// its flag to true on success; `lastMessage` (may be empty) gives the reason of a failure.
RemoteCommandFn remoteCommandFromGenerator(
    std::function<std::string(const std::string& command, bool& status)> generate,
    std::function<std::string()> lastMessage = {});

// Settings of the controller itself (not of a resource).
struct JobOptions {
  RemoteCommandFn remoteCommand;         // wraps remote commands; empty: remote jobs refused
  RemoteCopyFn remoteCopy;               // copies a remote Scheduled job's script; empty:
                                         // remote Scheduled jobs refused
  double schedulerCommandSeconds = 60;   // time limit of each submission, finish-check and
                                         // kill command (s; <= 0: none)
  double statusFileGraceSeconds = 30;    // wait for the status file after the finish check
                                         // reports the end (s, >= 0)
  double failedListingSeconds = 600;     // a listing finish check that keeps failing is
                                         // believed after this long (s, >= 0)
  double killGraceSeconds = 2;           // SIGTERM to SIGKILL for Direct jobs (s, >= 0)
  int waitPollMilliseconds = 1000;       // finished(true) of a Scheduled job: longest pause
                                         // between finish checks (ms, >= 10)
};

// One analysis job. Not copyable; owned through std::unique_ptr.
class Job {
 public:
  Job() = default;
  virtual ~Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Starts the job described by `launch` (keys above). False when it could not be started
  // (missing command, unusable resource, script not writable, program not startable,
  // submission refused); lastError says why and the job is FAILED.
  virtual bool submit(const PropertiesMap& launch) = 0;

  // True when no process of the job runs any more: it has ended, was killed, never started
  // or was released. With `wait` it blocks until then (Scheduled: finish checks with pauses).
  virtual bool finished(bool wait) = 0;

  // The job has come to an end (ENDED or KILLED).
  virtual bool complete() const = 0;

  // The job ran to its own end: not killed, not ended by a signal, and for a Scheduled job
  // its status file was read. Says nothing about the exit code, which the caller compares
  // with the analysis's expected value.
  virtual bool succeeded() const = 0;

  // The command's exit code (0-255; 128 + signal when a signal ended it), -1 while unknown.
  virtual int exitCode() const = 0;

  // Ends a running job (Direct: the whole process group, SIGTERM then SIGKILL; Scheduled:
  // the kill command). True when the job is no longer running (also when it had ended).
  // A Direct job's command may have left processes running in the background, in another
  // group or session (a solver started with `&` or `setsid`): they are ended too, also
  // when the command itself had ended before.
  virtual bool kill() = 0;

  // Gives up the job without killing it (see invariant 5). Idempotent.
  virtual void release() = 0;

  // Gives up the job and keeps what it runs, the command and what it left running in the
  // background, past the end of the run (the user asked to keep the running analyses).
  // Idempotent; a job already released keeps nothing.
  virtual void keepRunning() = 0;

  // A Scheduled job that the finish check has not yet shown as started.
  virtual bool queued() const = 0;

  // A Scheduled job submitted in batch mode that waits for submitJobBatches: it has its
  // script and name, but no id, and is not yet known to the scheduler.
  virtual bool held() const = 0;

  // When the scheduler was last asked about a Scheduled job (platform::monotonicSeconds of
  // the start of the finish-check run whose output finished(false) read last; the end of the
  // submission before the first check), -1 for other jobs. The jobs of a resource share one
  // run of a finish command that lists them, so this may lie before the call: the next
  // check is due one interval after it, and the jobs of the resource are then checked
  // together.
  virtual double lastCheckTime() const = 0;

  // The job name (see "jobPrefix") and id: the id read back from the scheduler, or the
  // process id of a Direct job; "" before a successful submit.
  virtual std::string jobName() const = 0;
  virtual std::string jobId() const = 0;

  // The command line that started the job ("/bin/sh '<script>'" or the submission command),
  // for verbose logs.
  virtual std::string startedCommand() const = 0;

  virtual JobState state() const = 0;
  virtual std::string lastError() const = 0;
};

// A new job object in CREATED.
std::unique_ptr<Job> createJob(const JobOptions& options = {});

// The factory of the job-controller library: a job object for kind 3, null otherwise.
std::unique_ptr<Job> createJobObject(int kind, const JobOptions& options = {});

// Hands the held jobs (Job::held) to their schedulers: the jobs of one resource and analysis
// with the same submission command become one job array, submitted with one command. Each
// member then runs with its own id, or has FAILED (lastError says why) when the array could
// not be submitted. Answers the number of submission commands run. The evaluation flow calls
// it once it has submitted what may start of an analysis; a held job's finished(true) calls
// it too.
int submitJobBatches();

// The resource block: "key: value" lines of the properties of `resource` (line breaks in a
// value become blanks), and back. parseResourceBlock answers false for a non-empty line
// without a colon or with an empty key, naming that line in `badLine`; `resource` then holds
// the lines read before it.
std::string formatResourceBlock(const PropertiesMap& resource);
bool parseResourceBlock(const std::string& text, PropertiesMap& resource,
                        std::string* badLine = nullptr);

}  // namespace karvo
