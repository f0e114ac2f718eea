// Run interaction: how the user steers a run while designs are evaluated.
//
//   Run interaction file   "<study file name>" with its last letter replaced by "o"
//                          ("study.in" gives "study.io"), in the study folder. The front end
//                          (or the user) writes one command per line:
//                            stop                  end the run; running local analyses are
//                                                  killed
//                            stop keep             end the run; running analyses are left
//                                                  alone ("keep" anywhere on the line)
//                            pause                 start no new analysis until "resume" or
//                                                  "stop" (the file is read again every pass)
//                            pause N               start no new analysis for N seconds
//                            resume                end a pause
//                            updateParallelEvals <agent> <analysis> <N>
//                                                  run N designs of the analysis at the same
//                                                  time from the next batch on
//                          Keywords are matched without regard to case; entries are separated
//                          by blanks, tabs or commas. After reading, the file is renamed to
//                          "<file>_processed_at_HH-MM-SS_on_DD-MM-YYYY" (deleted when that
//                          fails), so every command acts once. An empty file is left in place
//                          for the next pass (the front end may still be writing it).
//   Analysis IO file       "<analysis folder>/_<analysis>.io": the word "complete" in it ends
//                          the running job of that analysis as completed.
//   Console menu           when standard input is a terminal, a line typed there opens a menu
//                          to continue (or resume), stop, stop and keep the running analyses,
//                          or change the number of simultaneous designs of an analysis.
//                          Standard input that is not a terminal is never read.
//
// The evaluation loop calls interactionPoll after each submission and on every pass, and
// reads the outcome from RunInteraction: on stopRequested it kills the running local jobs
// (unless keepRunning) and calls interactionCancelRun; while interactionPaused it submits no
// new analysis (running ones are still checked and processed); after the batch it calls
// interactionApplyParallelChanges.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace karvo {

struct Agent;

// Product name in "The process has been ... by the user from the KARVO Modeler."
inline constexpr const char* kModelerProduct = "KARVO";
// Bytes read from an interaction file at most; lines are cut at kMaxInteractionLine.
inline constexpr std::size_t kMaxInteractionFileBytes = 64 * 1024;
inline constexpr std::size_t kMaxInteractionLine = 2055;

// A change of the number of simultaneous designs of an analysis, waiting for the batch end.
struct ParallelChange {
  int process = -1;      // process number of the analysis
  std::string analysis;  // analysis name
  int from = 0;          // number in force when the change was asked for, >= 1
  int to = 0;            // new number, 1..study.nParallel
};

// Identity of an interaction file that could be neither renamed nor deleted: it is not
// processed again until it changes.
struct FileSignature {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;            // bytes; -1: no file remembered
  std::time_t modified = 0;   // seconds
  long modifiedNanos = 0;     // nanoseconds of the modification time
};

// What the user asked for; polled by the evaluation loop.
struct RunInteraction {
  bool consoleEnabled = false;   // standard input is a terminal that has not reached its end
  int consoleFd = 0;             // descriptor of the console (standard input)
  std::FILE* consoleOut = stdout;  // where the menu is shown
  bool stopRequested = false;    // end the run (exit state "Cancelled")
  bool keepRunning = false;      // with stopRequested: leave running analyses alone
  bool keepOnSignal = false;     // a stop signal leaves running analyses alone ("signal keep")
  bool paused = false;           // paused until "resume" or "stop"
  double pausedUntil = 0.0;      // timed pause: no new submission before this monotonic
                                 // time (seconds); 0 when none
  std::vector<ParallelChange> parallelChanges;  // for the end of the batch, in asking order
  bool emptyFileNoted = false;   // the empty-file note was written for the present file
  FileSignature stuckFile;       // an interaction file that could not be removed
};

// The time of a poll: monotonic seconds for pauses, wall-clock seconds for the texts.
struct InteractionTime {
  double monotonic = 0.0;   // platform::monotonicSeconds()
  std::time_t wall = 0;     // std::time(nullptr)
};
InteractionTime interactionNow();

// A fresh state; the console is used when standard input (descriptor 0) is a terminal.
RunInteraction interactionStart();

// The run interaction file of this run ("" when the run has no study file).
std::string interactionFileName();
// The name a read interaction or analysis IO file is renamed to.
std::string interactionProcessedName(const std::string& file, std::time_t wall);

// Renames a read file to its processed name (note "Renaming the study IO file"), or deletes
// it when that fails (warning). Messages go to `destination` (with `designNumber` and
// `analysisName` for the "analysis" destination). Answers false when the file is still there.
bool interactionRetireFile(const std::string& file, std::time_t wall, const char* destination,
                           int designNumber = 0, const std::string& analysisName = "");

// One poll: a line typed on the console opens the menu; otherwise the run interaction file
// is read. A timed pause that has run out ends here.
void interactionPoll(RunInteraction& state, const InteractionTime& time);

// Reads and retires the run interaction file when it exists. Answers true when a file was
// processed.
bool interactionReadFile(RunInteraction& state, const InteractionTime& time);
// Acts on one line of the interaction file (1-based `lineNumber`, for the note).
void interactionProcessLine(RunInteraction& state, const std::string& line, int lineNumber,
                            const std::string& fileName, const InteractionTime& time);

// True while no new analysis may be submitted.
bool interactionPaused(const RunInteraction& state, double monotonicNow);

// Validates a change of the number of simultaneous designs of `analysisName` of `agent`
// and queues it; every refusal is a warning naming the value and the rule. Answers true
// when the change was queued.
bool interactionRequestParallelChange(RunInteraction& state, const Agent* agent,
                                      const std::string& agentText,
                                      const std::string& analysisName,
                                      const std::string& countText);
// Sets the queued numbers in the process table (end of the batch) and forgets them.
void interactionApplyParallelChanges(RunInteraction& state);

// True when a line typed on the terminal `fd` is waiting. Never true, and nothing is read
// or waited for, when `fd` is not a terminal.
bool interactionConsoleLineTyped(int fd);
// Reads one line from `fd`, byte by byte so that nothing after it is taken (without the
// newline). False at the end of input with nothing read.
bool interactionReadConsoleLine(int fd, std::string& line);
// Shows the run menu on `out`, reads the choice from `inFd` and acts on it. A choice that
// is not offered asks again; the end of input continues the run and switches the console
// off.
void interactionRunMenu(RunInteraction& state, int inFd, std::FILE* out,
                        const InteractionTime& time);

// True when the IO file "<analysisFolder>/_<analysisName>.io" holds the word "complete".
// Then the note "Killing the analysis job and marking analysis as complete since ..." goes
// to the analysis log of the design and the file is retired; the caller kills the job and
// writes interactionKillText.
bool interactionAnalysisIoComplete(const std::string& analysisFolder,
                                   const std::string& analysisName, int designNumber,
                                   std::time_t wall);
// "Analysis job killed successfully." or "Could not kill the analysis process."
const char* interactionKillText(bool killed);

// The user's stop ends the run: exit state "Cancelled", the closing steps, exit code 0.
[[noreturn]] void interactionCancelRun();

// The note of a stop signal: "The process has been terminated by the signal SIGINT." and
// what happens to the running analyses.
void interactionSignalNote(int signal, bool keep);

// After a stop signal (SIGINT, SIGTERM, SIGHUP; see platform::installStopSignals) the run
// ends in order: exit state "Cancelled", the closing steps, exit status 128 + the signal's
// number (130, 143, 129), as a shell reports a program that the signal ended. Returns at
// once when no stop signal has come.
void interactionEndOnSignal();

}  // namespace karvo
