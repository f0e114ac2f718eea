// The command line of an i= run: options, the backup folder for an earlier message file and
// the opening of the new message file. Runs once per process.
#include "driver/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "driver/driver.h"
#include "base/messages.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace karvo {

const char* const kUsageText =
    "\nOnly allowed command line parameters are:\n\n  (required)\n    version         - print "
    "version information\n\n  OR\n\n  (required)\n    i=InputFileName - specify the study .in "
    "file\n  (optional)\n    verbose         - enable verbose study messages\n    overwrite    "
    "   - overwrite previous study data (no backup of previous data)\n    useHistory      - "
    "resume from previous study\n    checksetup      - run baseline design only\n    "
    "designFilesOnly - write analysis files only";

const char* const kExpectingInputText =
    "\nExpecting first command line input to be i=filename\n\n or checkPerformance\n";

const char* const kCommandsText =
    "\nUsage: karvo <command> [options]\n"
    "\nCommands:\n"
    "  i=<study>.in [options]        run the study of this study file (options below)\n"
    "  checkPerformance <id>         run the analyses of performance <id> in this folder once\n"
    "                                and write their responses to checkPerformance.out\n"
    "  export <file> [options]       write a results file as a CSV or JSON table\n"
    "                                (karvo export alone lists its options)\n"
    "  plot <study>.in [--out <dir>] write SVG plots of the study's results\n"
    "  report <study>.in [--out <file>]\n"
    "                                write the study's page (<study>.html) from its results\n"
    "  version                       print the version lines\n"
    "  build                         print the build number\n"
    "\nCommon options after i=<study>.in:\n"
    "  checksetup                    evaluate the baseline design only\n"
    "  generateReportOnly            read and check the study, write the reports, stop\n"
    "  overwrite                     delete earlier results instead of backing them up\n"
    "  useHistory                    resume from the history of an earlier run\n"
    "  skipEvalCheck                 go on when a design fails\n"
    "  designFilesOnly               write the analysis input files only, run nothing\n"
    "  backupDir=<folder>            move earlier results into this folder\n"
    "  verbose                       write more notes\n"
    "\nEnvironment: KARVO_ROOT, the installation folder (when not set: the folder that holds\n"
    "karvo). Messages of a run go to <study>.mes beside the study file.\n";

void printVersion() {
  std::fprintf(stderr, "\n%s - Version %s", kDisplayName, kFullVersion);
  std::fputs(kPlatformSuffix, stderr);
  std::fprintf(stderr, "\nBuild %d, (c) %d the %s developers\n", kBuildNumber, kVersionYear,
               kDisplayName);
  std::fflush(stderr);
}

namespace {

constexpr std::size_t kMaxBackupDirLength = 255;
constexpr std::size_t kMaxLocaleLength = 9;

[[noreturn]] void commandLineError(const char* text, int code) {
  std::fputs(text, stderr);
  std::fflush(stderr);
  exitRun(code, false);
}

bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Applies one option after the i= argument; false for an unknown option.
bool applyOption(const char* option) {
  RunSettings& s = run.settings;
  struct Flag {
    const char* word;
    int RunSettings::*field;
    int value;
  };
  static const Flag flags[] = {
      {"checksetup", &RunSettings::checkSetup, 1},
      {"useHistory", &RunSettings::useHistory, 1},
      {"dontUseBaseline", &RunSettings::baselineSuppressed, 1},
      {"dontUseBaseline", &RunSettings::dontUseBaselineGiven, 1},
      {"useBaselineInSearch", &RunSettings::baselineInSearch, 1},
      {"generateReportOnly", &RunSettings::generateReportOnly, 1},
      {"dontWriteHistory", &RunSettings::historyDisabled, 1},
      {"verbose", &RunSettings::verbose, 1},
      {"designFilesOnly", &RunSettings::designFilesOnly, 1},
      {"postNoEval", &RunSettings::postNoEval, 1},
      {"skipEvalCheck", &RunSettings::skipEvalCheck, 1},
      {"reEvalErrDesigns", &RunSettings::reEvalErrDesigns, 1},
      {"turnOnMemManagement", &RunSettings::plainFreeing, 0},
  };
  bool known = false;
  for (const Flag& flag : flags) {
    if (std::strcmp(option, flag.word) == 0) {
      s.*flag.field = flag.value;
      known = true;
    }
  }
  if (known) return true;
  if (std::strcmp(option, "overwrite") == 0) {
    s.overwrite = 1;
    s.overwriteRequested = 1;
  } else if (std::strcmp(option, "version") == 0) {
    printVersion();
  } else if (startsWith(option, "start=")) {
    s.newpopFitnessStart = std::atof(option + 6);
  } else if (startsWith(option, "final=")) {
    s.newpopFitnessFinal = std::atof(option + 6);
  } else if (startsWith(option, "probUseOld=")) {
    s.probUseOld = std::atof(option + 11);
  } else if (startsWith(option, "backupDir=")) {
    const char* name = option + 10;
    std::size_t length = std::strlen(name);
    if (length > kMaxBackupDirLength) {
      std::string first = "\n**** ERROR ****";
      std::string second = formatText(
          "\n\t Error in the command line option \"backupDir\". The name length of the "
          "directory must be less than 255 characters; current size %d.",
          static_cast<int>(length));
      std::string third =
          "\n\t Please provide a different name for the folder that meets the size criterion "
          "mentioned above.";
      std::fputs((first + second + third).c_str(), stderr);
      std::fflush(stderr);
      fatalError(first + second + third);
    }
    s.backupDir = name;
    s.backupDirGiven = 1;
  } else if (startsWith(option, "locale=")) {
    s.locale.assign(option + 7, std::min(std::strlen(option + 7), kMaxLocaleLength));
  } else {
    return false;
  }
  return true;
}

// A second solver process of the same study file stops here, before it has touched any file
// of the study: the running one's message file, reports and lock files stay as they are. The
// lock is held on the study file itself, so nothing is left behind when a run is killed; a
// file system without such locks leaves the agents' lock files as the only guard.
void lockStudyFile(const std::string& path) {
  std::string error;
  if (platform::holdExclusiveLock(path, &error) != 0) return;
  std::fprintf(stderr,
               "\n**** ERROR ****\n\tThe study file (%s) is in use by another solver run "
               "in this folder.\n\tThis run stops without touching any file of the study. "
               "Wait until the other run has ended, or stop it, and start this one again.\n",
               path.c_str());
  std::fflush(stderr);
  exitRun(kExitFatal, false);
}

// A backup folder receives the results of an earlier run that are moved away; the study
// folder itself, or a folder that holds it, would receive the study with them.
void checkBackupFolder(const std::string& folder) {
  if (!platform::folderContains(folder, run.workingDirectory)) return;
  commandLineError(formatText("\n**** ERROR ****\n\tThe backup folder (%s) is the study folder "
                              "or holds it. Earlier results would be moved into themselves.\n"
                              "\tGive backupDir= a folder outside the study folder, or one "
                              "inside it.\n",
                              folder.c_str())
                       .c_str(),
                   kExitConflictingOptions);
}

// Moves the message file of an earlier run into the backup folder (made now when needed),
// so that opening the new message file loses nothing. No folder is made when there is no
// such file: the run makes its backup folder later, once it has something to move.
void backUpEarlierMessageFile() {
  RunSettings& s = run.settings;
  if (!platform::pathExists(run.messageFileName)) return;
  std::string folder;
  if (s.backupDirGiven) {
    folder = s.backupDir;
  } else {
    folder = newBackupFolderName(0, 0);
  }
  std::string error;
  if (!platform::isDirectory(folder) && !platform::makeDirectories(folder, &error)) {
    fatalError(formatText("Error in creating the backup folder: %s.\nMake sure the working "
                          "directory is not write protected and run again.",
                          folder.c_str()));
  }
  s.backupDir = folder;
  if (!platform::movePath(run.messageFileName, folder, &error)) {
    fatalError(formatText("The message file of an earlier run (%s) could not be moved into the "
                          "backup folder %s: %s.\nThe run stops so that the file is not "
                          "overwritten.",
                          run.messageFileName.c_str(), folder.c_str(), error.c_str()));
  }
}

}  // namespace

void parseCommandLine(int argc, char** argv) {
  run.commandLine = argv[0];
  for (int i = 1; i < argc; ++i) run.commandLine += formatText(" %s", argv[i]);

  run.settings = RunSettings{};
  run.settings.inputFileMode = 1;

  const char* first = argv[1];
  std::size_t firstLength = std::strlen(first);
  if (firstLength < 3 || std::strcmp(first + firstLength - 3, ".in") != 0) {
    commandLineError("Illegal search parameters input file extension.\n", kExitCommandLine);
  }

  const char* path = first + 2;
  std::FILE* study = nullptr;
  if (std::strlen(path) <= static_cast<std::size_t>(platform::kMaxPath)) {
    study = std::fopen(path, "r");
  }
  if (!study) {
    std::fprintf(stderr, "Input file %s cannot be read.\n", path);
    std::fflush(stderr);
    exitRun(kExitCommandLine, false);
  }
  run.studyInputPath = path;
  run.studyInputWork = path;
  run.studyFile = new FileHandle{study, path, 0};

  for (int i = 2; i < argc; ++i) {
    if (!applyOption(argv[i])) commandLineError(kUsageText, kExitCommandLine);
  }

  if (run.settings.useHistory && run.settings.overwrite) {
    commandLineError(
        "\n\t**** ERROR ****\n\t Error in the execution syntax. The \"overwrite\" and "
        "\"useHistory\" options cannot be used together.",
        kExitConflictingOptions);
  }

  lockStudyFile(path);
  if (run.settings.backupDirGiven) checkBackupFolder(run.settings.backupDir);

  run.studyName = run.studyInputPath.substr(0, run.studyInputPath.size() - 3);
  run.messageFileName =
      run.studyInputWork.substr(0, run.studyInputWork.size() - 2) + "mes";

  if (!run.settings.overwrite) backUpEarlierMessageFile();

  outptr = openFile(run.messageFileName, "w");
  if (!outptr) {
    std::fprintf(stderr, "Output file %s cannot be written.\n", run.messageFileName.c_str());
    std::fflush(stderr);
    exitRun(kExitCommandLine, false);
  }
  writeFormatted(outptr, "\n\tSearch parameter input file name for this process is:");
  writeFormatted(outptr, "\n\t%s\n", run.studyInputPath.c_str());
}

}  // namespace karvo
