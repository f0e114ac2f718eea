// The Linux process layer: starting analysis programs and scheduler commands, watching them
// end, killing them, and the one wait of the evaluation loop that ends either at a proposed
// time or as soon as any child process of the solver ends.
//
// Every program is started with posix_spawn in a process group of its own (the group id is
// the child's pid), so that a kill reaches the program and everything it started. Standard
// input is /dev/null (the console stays with the solver's run menu), and no descriptor of
// the solver other than standard output and error is inherited.
//
// A program can leave processes behind that its group kill does not reach: a `setsid` or
// double-forked background child. So every program started with spawnProcess carries a mark
// in its environment, which all it starts inherits: kRunMarkVariable holds a list of
// "<run token>/<start number>" entries separated by ':' (a solver started by an analysis
// adds its own entry to the one it inherited). The run token is unique to the solver process
// (pid, start time, random bits). Processes are found by the mark in /proc/<pid>/environ:
// the leftovers of one start (killProcessGroup, endLeftoverProcesses) or of the whole run
// (endRunProcesses, and the guard when the solver dies). A process that clears its
// environment, or that /proc does not let the solver read (another user, set-uid), escapes.
//
// Only the pid of a ChildProcess is ever waited for (never waitpid(-1)), so children that
// other parts of the solver start themselves keep their own exit statuses.
//
// Failures are reported by return value with the system's text; nothing here writes messages.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace karvo::platform {

// Time that a process group gets between SIGTERM and SIGKILL (seconds).
inline constexpr double kKillGraceSeconds = 2.0;

// The environment variable that carries the marks of the started programs.
inline constexpr char kRunMarkVariable[] = "KARVO_RUN_MARKS";

// Captured output kept by runCapturedCommand; more is read and dropped (bytes).
inline constexpr std::size_t kMaxCapturedOutput = 8u << 20;

// Where a started program runs and where its output goes.
struct SpawnSettings {
  std::string workingDirectory;  // folder the program starts in; "" keeps the solver's own
  std::string stdoutPath;        // file that receives standard output, appended (created
                                 // 0644 when absent); "" discards it (/dev/null)
  std::string stderrPath;        // the same for standard error; the same path as stdoutPath
                                 // shares one stream, so both keep their relative order
};

// One started program. The pid is also its process-group id.
struct ChildProcess {
  pid_t pid = -1;        // process and process-group id; -1 before a successful start
  bool ended = false;    // the process has ended and has been reaped (no zombie remains)
  int exitStatus = -1;   // 0..255 after a normal exit; 128 + signal after death by a signal;
                         // -1 while running, or when the status was taken by someone else
  int termSignal = 0;    // the signal that ended it; 0 after a normal exit
  unsigned mark = 0;     // start number in the environment mark of the program and all it
                         // starts (1, 2, ... per solver process); 0: unmarked
};

// Starts argv[0] (a path; no PATH search) with the arguments argv[1..]. False, with the
// reason in `error`, when the program could not be started: missing or non-executable
// program, missing working folder, output file that cannot be opened. No process remains
// after a failure.
bool spawnProcess(const std::vector<std::string>& argv, const SpawnSettings& settings,
                  ChildProcess& child, std::string* error = nullptr);

// Starts `/bin/sh -c command`.
bool spawnShellCommand(const std::string& command, const SpawnSettings& settings,
                       ChildProcess& child, std::string* error = nullptr);

// Non-blocking check: true once the process has ended (reaping it the first time).
// A pid that is no longer our child (its status was taken elsewhere) counts as ended with
// exitStatus -1.
bool pollProcess(ChildProcess& child);

// Blocks until the process has ended and reaps it.
void waitProcess(ChildProcess& child);

// Ends the whole process group and every process that carries the program's mark (what it
// left in the background under another group or session): SIGTERM to all; once the group
// leader and all the others have gone, or `graceSeconds` have passed, SIGKILL to whatever
// remains; the leader is reaped. Returns as soon as the group is empty, so a program that obeys SIGTERM costs only a
// few milliseconds. True when the process has ended (also when it had ended before the call);
// false, with `error`, when the signals could not be sent.
bool killProcessGroup(ChildProcess& child, double graceSeconds = kKillGraceSeconds,
                      std::string* error = nullptr);

// Ends, as killProcessGroup does, every process that still carries the mark of `child`: what
// the program left running in the background after it ended. Nothing happens for an
// unmarked or kept (releaseProcess) child. Answers how many processes were found.
int endLeftoverProcesses(const ChildProcess& child, double graceSeconds = kKillGraceSeconds);

// Ends, as killProcessGroup does, every process that carries a mark of this solver process,
// except those of kept starts (releaseProcess): the last step of a run, so that nothing an
// analysis started outlives it. Never the solver itself or its guard. Answers how many
// processes were found.
int endRunProcesses(double graceSeconds = kKillGraceSeconds);

// Hands a process that may still run over to background reaping: it is reaped by a later
// waitForChildExitOrTimeout, spawn or reapDetachedProcesses, so it never stays a zombie.
// The ChildProcess is marked ended with an unknown status. The process group stays in the
// guard's care (below) until it is reaped.
void detachProcess(ChildProcess& child);

// As detachProcess, and the process group and every process carrying its mark are kept:
// they leave the guard's care and endRunProcesses spares them. They are meant to outlive the
// solver (the user asked to keep the running analyses). Also for a child that has ended,
// whose background processes are then kept.
void releaseProcess(ChildProcess& child);

// Reaps detached processes that have ended; answers how many are still running.
int reapDetachedProcesses();

// The result of runCapturedCommand.
struct CapturedRun {
  bool started = false;    // the shell could be started
  bool timedOut = false;   // the time limit ended it (its process group was killed)
  int exitStatus = -1;     // as ChildProcess::exitStatus
  std::string output;      // standard output and standard error together, in the order
                           // written; at most kMaxCapturedOutput bytes
  std::string error;       // why it could not be started ("" otherwise)
};

// Runs `/bin/sh -c command` in `directory` ("" = the solver's folder) and waits for it,
// collecting its output. `timeLimitSeconds` <= 0 means no limit. When the shell has ended
// but a program it left in the background still holds the output open, collection stops
// half a second later. Used for scheduler commands and command conditions. The command is
// not marked (see kRunMarkVariable): a scheduler hands the submitting environment on to the
// job it queues, and scheduled jobs end through the scheduler's own commands.
CapturedRun runCapturedCommand(const std::string& command, const std::string& directory,
                               double timeLimitSeconds);

// The wait of the evaluation loop: sleeps until `milliseconds` have passed or any child
// process of the solver ends, whichever comes first. True when a child's end woke it.
// A child that ended at any time since the previous wait (even just before this call)
// ends the wait at once, so no end is ever slept through; the price is an occasional early
// wake-up for an end the caller has already seen, after which the caller simply checks its
// jobs and waits again. Negative or zero `milliseconds` only collect pending wake-ups.
bool waitForChildExitOrTimeout(int milliseconds);

// A plain sleep of `milliseconds` that child ends do not cut short (retry pauses).
void sleepMillis(int milliseconds);

// Installs the SIGCHLD handler behind waitForChildExitOrTimeout (once per process; later
// calls do nothing). The spawn functions and the wait call it themselves.
void installChildExitWakeup();

// ---------------------------------------------------------------------------------------
// Stop signals. SIGINT, SIGTERM and SIGHUP, once installStopSignals has run, do not end the
// process: the first one is recorded and every wait below returns early, so that the caller
// can end the run in order. A program that the solver is blocked on (waitProcess,
// runCapturedCommand) has its process group killed, as it would have been by the signal
// itself. Later stop signals are ignored.

// Installs the handlers (once per process).
void installStopSignals();

// The first stop signal received, or 0.
int stopSignal();

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
std::string signalName(int signal);

// ---------------------------------------------------------------------------------------
// The guard. The first start of a program also forks a small guard process that watches the
// solver through a socket: every process group the solver starts is handed to it, and every
// group the solver has reaped or released is taken back; kept marks are handed to it too.
// When the solver ends in any way, SIGKILL included, the socket closes and the guard ends the
// groups still in its care and every process carrying an unkept mark of the solver (SIGTERM,
// then SIGKILL after kKillGraceSeconds), so no analysis outlives its run by accident. Without
// a guard (fork failed) everything else works as before. Only when the solver and its guard
// are killed together (SIGKILL to both) is nothing left to end the analyses.

// The guard's pid, or -1 when none runs.
pid_t guardProcess();

// ---------------------------------------------------------------------------------------
// Processes of this host, for the owner record of lock files.

// The host name ("" when unknown).
std::string hostName();

// The start time of process `pid` in clock ticks since boot; 0 when no such process lives
// (a zombie counts as gone).
unsigned long long processStartTicks(pid_t pid);

// Single-quotes a word for /bin/sh ("it's" becomes 'it'\''s').
std::string shellQuote(const std::string& word);

}  // namespace karvo::platform
