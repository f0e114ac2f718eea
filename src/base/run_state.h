// Run-wide state of one solver process: the run identity, the settings of the command
// line, the study paths and the exit state. One instance, `run`, shared by every subsystem.
#pragma once

#include <string>

namespace karvo {

struct FileHandle;

// Run identity.
inline constexpr const char* kDisplayName = "KARVO MDO";
inline constexpr const char* kFullVersion = "2019.1.0.8677";
inline constexpr int kBuildNumber = 8677;
inline constexpr int kVersionYear = 2019;
inline constexpr int kVersionRelease = 1;
inline constexpr int kNumericVersion = 201901;  // also the format version of binary files
inline constexpr const char* kPlatformSuffix = ", Linux 64-bit";
inline constexpr const char* kDefaultRunPrefix = "bbhckp";

// Exit codes of the solver (the process status is the low 8 bits).
inline constexpr int kExitNormal = 0;
inline constexpr int kExitCommandLine = -1;        // command line and file opening, before the run
inline constexpr int kExitConflictingOptions = -2;
inline constexpr int kExitWorkingDirectory = 1;    // working directory path too long
inline constexpr int kExitFatal = -123;            // every fatal error

// Settings of the command line; several are overridden later by the study's run options.
// Flags are 0/1 unless stated.
struct RunSettings {
  int inputFileMode = 0;          // first argument was i=
  int checkPerformanceMode = 0;   // first argument was checkPerformance
  int performanceIdToCheck = 0;   // second argument in check-performance mode (atoi)
  int toolMode = 0;               // export or plot: the study is only read (no lock files)
  int verbose = 0;
  int overwrite = 0;              // overwrite without backup; a run option may clear it
  int overwriteRequested = 0;     // the option itself was given
  int useHistory = 0;             // resume from a previous run's history
  int baselineSuppressed = -1;    // -1 undecided, 1 by dontUseBaseline, 0 by run option
  int dontUseBaselineGiven = 0;   // the option was on the command line: "useBaseline" ignored
  int baselineInSearch = 0;
  int generateReportOnly = 0;
  int historyDisabled = 0;
  int checkSetup = 0;             // every agent runs its baseline design only
  int designFilesOnly = 0;
  int postNoEval = 0;
  int skipEvalCheck = 0;          // go on after design evaluation errors
  int reEvalErrDesigns = 0;
  int plainFreeing = 1;           // 1: allocations are not tracked
  double newpopFitnessStart = 0.5;  // component studies only; stored, otherwise unused
  double newpopFitnessFinal = 0.1;
  double probUseOld = 0.5;
  std::string backupDir = "Initialized";  // backup folder, at most 255 characters
  int backupDirGiven = 0;
  std::string locale;             // at most 9 characters
};

struct RunState {
  RunSettings settings;
  std::string commandLine;        // argv[0] and every argument joined by blanks
  std::string studyInputPath;     // the text after i=, as given (at most 2055 bytes)
  std::string studyInputWork;     // working copy from which the message-file name is made
  std::string studyName;          // input path without ".in"; the study record's name later
  std::string workingDirectory;   // current directory at start (at most 2055 bytes)
  std::string runPrefix;          // names every per-agent file; "bbhckp" by default
  std::string messageFileName;    // the ".mes" file
  std::string exitState = "Complete";  // "Complete", "Error" or "Cancelled"
  FileHandle* studyFile = nullptr;     // the study file, open for the study readers
  int currentCycle = 0;           // 0-based
  int cycles = 1;                 // cycles of the run: the largest of the agents in range
  int currentAgent = 0;           // agent number
  int currentAgentIndex = 0;      // index in the agent table
  int firstCycle = 0;             // first-cycle flag of the current agent
  int startAgent = 0;             // agent range of this process
  int finalAgent = 0;
  int runStartAgent = -1;         // first agent run by this process (seeds from the clock)
  bool closing = false;           // the closing steps have started
};

extern RunState run;

// Back to the state before start-up (used at start and by tests).
void resetRunState();

// "2019.01": the short version compared with the version of input files.
const char* shortVersion();

}  // namespace karvo
