// The run driver: mode choice, the start-up order and the closing steps shared by every
// controlled end. Runs once per process; nothing here is on a hot path.
#include "driver/driver.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver/command_line.h"
#include "driver/messages.h"
#include "driver/run_state.h"
#include "platform/platform.h"

namespace karvo {

namespace {

constexpr std::size_t kMaxWorkingDirectory = 258;  // this length and longer are refused

// The i= run. Reading the study folder and the cycle loop join here.
void runStudy(int argc, char** argv) {
  parseCommandLine(argc, argv);
  flushFile(outptr);
  writeMessage("outptr", "note",
               "This build of the solver reads the command line and opens the message file "
               "only; the study itself is not read or run yet.");
}

void runCheckPerformance(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("\n Error in the execution syntax. When using the checkPerformance option",
               stderr);
    std::fputs("\n the second argument must be specified as the performance id that needs to be "
               "checked. No other arguments are allowed.",
               stderr);
    std::fflush(stderr);
    exitRun(kExitConflictingOptions, false);
  }
  run.settings.checkPerformanceMode = 1;
  run.settings.performanceIdToCheck = std::atoi(argv[2]);
  std::string outName = platform::joinPath(run.workingDirectory, "checkPerformance.out");
  outptr = openFile(outName, "w");
  if (!outptr) {
    std::fputs("\n Error in creating the output file \"checkPerformance.out\" .", stderr);
    std::fputs("\n Exiting.", stderr);
    std::fflush(stderr);
    exitRun(kExitCommandLine, false);
  }
  fatalError("The response extraction test (checkPerformance) is not available in this build "
             "of the solver.");
}

}  // namespace

std::string backupFolderName(int first, int last, long long seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&t, &local);
  std::string name = formatText(
      "RESULTS_BACKUP_%d_%d_%02d-%02d-%02d_%02d%02d%02d%s", first, last, local.tm_mday,
      local.tm_mon + 1, local.tm_year + 1900 - 2000, local.tm_hour, local.tm_min, local.tm_sec,
      local.tm_hour >= 12 ? "PM" : "AM");
  return platform::joinPath(run.workingDirectory, name);
}

void readWorkingDirectory() {
  std::string cwd = platform::currentDirectory();
  if (cwd.empty()) std::fputs("\n*** Couldn't get cwd\n", stdout);
  if (cwd.size() > static_cast<std::size_t>(platform::kMaxPath)) cwd.resize(platform::kMaxPath);
  run.workingDirectory = cwd;
  if (cwd.size() >= kMaxWorkingDirectory) {
    std::fputs("\nError. Working directory name is too long.", stdout);
    std::fputs("\nShorten the path of the KARVO working directory", stdout);
    std::fprintf(stdout, "\nto be less than %d characters.", static_cast<int>(kMaxWorkingDirectory));
    std::fflush(stdout);
    exitRun(kExitWorkingDirectory, false);
  }
}

void closeRun() {
  if (run.closing) return;
  run.closing = true;
  try {
    // Release of analysis objects, end-of-run information and lock-file removal join here.
  } catch (const RunExit&) {
    // A fatal error inside the closing steps has been reported; the remaining steps go on.
  }
  if (outptr) closeFile(outptr);
  if (run.studyFile) {
    closeFile(run.studyFile);
    run.studyFile = nullptr;
  }
}

int runSolver(int argc, char** argv) {
  int code = kExitNormal;
  try {
    if (argc < 2) {
      std::fputs(kExpectingInputText, stderr);
      exitRun(kExitCommandLine, false);
    }
    const char* mode = argv[1];
    if (std::strcmp(mode, "version") == 0) {
      printVersion();
      exitRun(kExitNormal, false);
    }
    if (std::strcmp(mode, "build") == 0) {
      std::printf("%d\n", kBuildNumber);
      exitRun(kExitNormal, false);
    }
    const bool inputMode = std::strncmp(mode, "i=", 2) == 0;
    const bool checkMode = std::strcmp(mode, "checkPerformance") == 0;
    if (!inputMode && !checkMode) {
      std::fputs(kExpectingInputText, stderr);
      exitRun(kExitCommandLine, false);
    }
    resetRunState();
    readWorkingDirectory();
    if (checkMode) {
      runCheckPerformance(argc, argv);
    } else {
      runStudy(argc, argv);
    }
    closeRun();
  } catch (const RunExit& exit) {
    code = exit.code;
    if (exit.closeRun) closeRun();
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return code & 0xFF;
}

}  // namespace karvo
