// Tests of run interaction: every command of the run interaction file with its exact
// messages, the renaming (and deletion when renaming fails), pauses of both kinds, unknown
// text, updateParallelEvals with every refusal, the console menu fed through a pipe, the
// proof that a pipe on standard input is never read, and the analysis IO file.
#include "evaluation/run_interaction.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "definitions/study.h"
#include "definitions/process_file.h"
#include "platform/platform.h"
#include "support/message_capture.h"

namespace karvo {
namespace {

using testing::readFile;
using testing::writeFile;

// 2025-03-04 13:05:22 local time.
std::time_t fixedWall() {
  std::tm local{};
  local.tm_year = 2025 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 4;
  local.tm_hour = 13;
  local.tm_min = 5;
  local.tm_sec = 22;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

InteractionTime at(double monotonic) {
  InteractionTime time;
  time.monotonic = monotonic;
  time.wall = fixedWall();
  return time;
}

std::string noted(const std::string& text) { return "*NOTE\n" + text + "\n\n"; }
std::string warning(const std::string& text) { return "*WARNING\n" + text + "\n\n"; }
std::string lineNote(int number, const std::string& line) {
  return noted("Processing line " + std::to_string(number) +
               " of the options file. The line was read as \"" + line + "\".");
}

const char* const kSuffix = "_processed_at_13-05-22_on_04-03-2025";
const char* const kRenaming = "*NOTE\nRenaming the study IO file\n\n";
std::string paused(const std::string& interactionFile) {
  return noted("The process has been paused by the user from the KARVO Modeler. To resume the "
               "run, write \"resume\" into the run interaction file " + interactionFile + ".");
}
const std::string kTerminated = noted(
    "The process has been terminated by the user from the KARVO Modeler. The currently running "
    "local analyses will be terminated.");

// A study folder "study.in" with one agent "wing" (number 0) whose process 1 runs the
// parallel analysis "solve" with 2 simultaneous designs, at most 4 in the study.
class RunInteractionTest : public testing::MessageCaptureTest {
 protected:
  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetStudy();
    resetProcesses();
    run.studyInputPath = "study.in";
    Agent wing;
    wing.number = 0;
    wing.name = "wing";
    wing.process = 1;
    agents.push_back(wing);
    Process process;
    process.number = 1;
    process.parallel = 1;
    Analysis solve;
    solve.name = "solve";
    solve.numDesigns = 2;
    process.analyses.push_back(solve);
    processes.push_back(process);
    study.nParallel = 4;
  }
  void TearDown() override {
    resetProcesses();
    resetStudy();
    MessageCaptureTest::TearDown();
  }
  // Writes the interaction file and reads it as one poll does.
  bool send(const std::string& content, double monotonic = 100.0) {
    writeFile(dir_.file("study.io"), content);
    return interactionReadFile(state, at(monotonic));
  }
  int numDesigns() { return processes[0].analyses[0].numDesigns; }

  RunInteraction state;
};

TEST_F(RunInteractionTest, FileNameAndLinesTakenInOrderUntilAStop) {
  EXPECT_EQ(interactionFileName(), dir_.file("study.io"));
  run.studyInputPath = "/data/runs/wing.in";
  EXPECT_EQ(interactionFileName(), "/data/runs/wing.io");
  EXPECT_FALSE(interactionReadFile(state, at(1.0)));  // no file: nothing happens
  EXPECT_EQ(messages(), "");

  run.studyInputPath = "study.in";
  EXPECT_TRUE(send("pause\n\nresume"));
  EXPECT_EQ(messages(), lineNote(1, "pause") + paused(dir_.file("study.io")) + lineNote(2, "") + lineNote(3, "resume") +
                            noted("Resuming the process based on user input at 13:05:22 on "
                                  "04-03-2025.") +
                            kRenaming);
  clearMessages();
  // "stop" ends the run and kills the running local analyses; the lines after it are not read.
  EXPECT_TRUE(send("stop\npause\n"));
  EXPECT_TRUE(state.stopRequested);
  EXPECT_FALSE(state.keepRunning);
  EXPECT_EQ(messages(), lineNote(1, "stop") + kTerminated + kRenaming);
  EXPECT_FALSE(platform::pathExists(dir_.file("study.io")));
  EXPECT_EQ(readFile(dir_.file("study.io") + kSuffix), "stop\npause\n");
}

TEST_F(RunInteractionTest, PauseWaitsForResumeOrStopAndRefusesOtherCommands) {
  EXPECT_TRUE(send("pause\n"));
  EXPECT_TRUE(state.paused);
  EXPECT_TRUE(interactionPaused(state, 1e9));
  interactionPoll(state, at(5000.0));  // no file: still paused
  EXPECT_TRUE(state.paused);

  EXPECT_TRUE(send("updateParallelEvals wing solve 3\n"));
  EXPECT_TRUE(state.paused);
  EXPECT_TRUE(state.parallelChanges.empty());

  EXPECT_TRUE(send("resume\n"));
  EXPECT_FALSE(interactionPaused(state, 100.0));
  EXPECT_EQ(messages(),
            lineNote(1, "pause") + paused(dir_.file("study.io")) + kRenaming +
                lineNote(1, "updateParallelEvals wing solve 3") +
                warning("The run interaction file \"" + dir_.file("study.io") +
                        "\" did not contain the \"resume\" or \"stop\" keywords. Since the "
                        "process is in a paused state, these are the only keywords that can be "
                        "processed. Please resume the run before using any other options.") +
                kRenaming + lineNote(1, "resume") +
                noted("Resuming the process based on user input at 13:05:22 on 04-03-2025.") +
                kRenaming);
  // "stop keep" ends a pause too, and leaves the running analyses alone.
  send("pause\n");
  clearMessages();
  EXPECT_TRUE(send("stop keep\n"));
  EXPECT_TRUE(state.stopRequested);
  EXPECT_TRUE(state.keepRunning);
  EXPECT_FALSE(state.paused);
  EXPECT_EQ(messages(),
            lineNote(1, "stop keep") +
                noted("Stopping the process based on user input at 13:05:22 on 04-03-2025.") +
                noted("The process has been terminated by the user from the KARVO Modeler. The "
                      "currently running analyses will not be terminated.") +
                kRenaming);
}

TEST_F(RunInteractionTest, PauseForSecondsEndsByItself) {
  EXPECT_TRUE(send("pause 30\n", 100.0));
  EXPECT_FALSE(state.paused);
  EXPECT_TRUE(interactionPaused(state, 129.9));
  EXPECT_FALSE(interactionPaused(state, 130.0));
  interactionPoll(state, at(131.0));
  EXPECT_EQ(state.pausedUntil, 0.0);
  EXPECT_EQ(messages(),
            lineNote(1, "pause 30") + paused(dir_.file("study.io")) +
                noted("Pausing for 30 seconds.") + kRenaming);
  send("pause 600\n", 200.0);
  send("resume\n", 210.0);  // ends a timed pause early
  EXPECT_FALSE(interactionPaused(state, 211.0));
  send("pause 0\n");  // no positive number: until "resume"
  EXPECT_TRUE(state.paused);
}

TEST_F(RunInteractionTest, UnknownTextEmptyFilesAndFilesThatCannotBeRenamed) {
  EXPECT_TRUE(send("hello world\n"));
  EXPECT_FALSE(state.stopRequested);
  EXPECT_FALSE(interactionPaused(state, 100.0));
  EXPECT_EQ(messages(), lineNote(1, "hello world") +
                            warning("The line \"hello world\" of the run interaction file \"" +
                                    dir_.file("study.io") +
                                    "\" does not begin with a known keyword (\"stop\", "
                                    "\"pause\", \"resume\", \"signal\" or "
                                    "\"updateParallelEvals\"). The "
                                    "line is ignored.") +
                            kRenaming);
  EXPECT_FALSE(platform::pathExists(dir_.file("study.io")));

  clearMessages();
  EXPECT_FALSE(send(""));
  EXPECT_FALSE(interactionReadFile(state, at(101.0)));
  EXPECT_TRUE(platform::pathExists(dir_.file("study.io")));
  EXPECT_EQ(messages(), noted("The options file \"" + dir_.file("study.io") +
                              "\" was empty. Will try reading again shortly."));
  EXPECT_TRUE(send("stop\n"));
  EXPECT_TRUE(state.stopRequested);

  // A non-empty folder of the processed name makes the rename fail.
  state = RunInteraction();
  clearMessages();
  const std::string blocked = dir_.file("study.io") + kSuffix;
  platform::removeFile(blocked);
  ASSERT_TRUE(platform::makeDirectory(blocked));
  writeFile(blocked + "/keep", "x");
  EXPECT_TRUE(send("resume\n"));
  EXPECT_FALSE(platform::pathExists(dir_.file("study.io")));
  EXPECT_EQ(messages(), lineNote(1, "resume") + kRenaming +
                            warning("Error in renaming the study IO file from " +
                                    dir_.file("study.io") + " to " + blocked +
                                    ". Deleting the file instead."));
}

TEST_F(RunInteractionTest, UpdateParallelEvalsIsLoweredToTheStudyMaximumOrRefused) {
  send("updateParallelEvals wing, solve, 9\nupdateParallelEvals wing solve 1\n"
       "updateParallelEvals wing solve 9\n");
  ASSERT_EQ(state.parallelChanges.size(), 1u);  // the latest request for an analysis counts
  EXPECT_EQ(state.parallelChanges[0].to, 4);
  const std::string lowered = warning(
      "The number of simultaneous evaluations requested for analysis \"solve\" (9) is greater "
      "than the maximum number of parallel evaluations of the study (4). It is lowered to 4.");
  auto changed = [](int to) {
    return noted("The number of simultaneous jobs for analysis \"solve\" changed from 2 to " +
                 std::to_string(to) +
                 ". This change will take effect after the current cycle of evaluations has been "
                 "completed.");
  };
  EXPECT_EQ(messages(), lineNote(1, "updateParallelEvals wing, solve, 9") + lowered + changed(4) +
                            lineNote(2, "updateParallelEvals wing solve 1") + changed(1) +
                            lineNote(3, "updateParallelEvals wing solve 9") + lowered +
                            changed(4) + kRenaming);
  // The change takes effect at the end of the batch.
  EXPECT_EQ(numDesigns(), 2);
  interactionApplyParallelChanges(state);
  EXPECT_EQ(numDesigns(), 4);
  EXPECT_TRUE(state.parallelChanges.empty());

  struct Case {
    const char* line;
    std::string warningText;
  };
  const Case cases[] = {
      {"updateParallelEvals wing solve",
       "Incorrect format for the updateParallelEvals option in the KARVO solver interaction "
       "file. Found 3 entities, expecting 4."},
      {"updateParallelEvals wing solve 0",
       "The number of simultaneous evaluations for analysis \"solve\" must be a whole number "
       "greater than 0, found \"0\". The number is not changed."},
      {"updateParallelEvals wing solve 2x",
       "The number of simultaneous evaluations for analysis \"solve\" must be a whole number "
       "greater than 0, found \"2x\". The number is not changed."},
      {"updateParallelEvals tail solve 3",
       "The agent \"tail\" is not run by this process (agents 0 to 0). The number of "
       "simultaneous evaluations is not changed."},
      {"updateParallelEvals wing mesh 3",
       "The analysis \"mesh\" is not defined in the process of agent \"wing\". The number of "
       "simultaneous evaluations is not changed."},
  };
  for (const Case& c : cases) {
    const std::string before = messages();
    send(std::string(c.line) + "\n");
    EXPECT_EQ(messages().substr(before.size()),
              lineNote(1, c.line) + warning(c.warningText) + kRenaming);
  }
  processes[0].parallel = 0;
  const std::string before = messages();
  send("updateParallelEvals wing solve 3\n");
  EXPECT_EQ(messages().substr(before.size()),
            lineNote(1, "updateParallelEvals wing solve 3") +
                warning("The number of simultaneous evaluations can only be changed if the "
                        "parallel option was being invoked in the original run.") +
                kRenaming);
  EXPECT_TRUE(state.parallelChanges.empty());
}

// A pipe on standard input: the run menu is never opened and nothing is read from it.
TEST_F(RunInteractionTest, PipeInsteadOfATerminalIsNeverRead) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "2\n", 2), 2);
  EXPECT_FALSE(interactionConsoleLineTyped(fds[0]));
  state.consoleEnabled = true;  // even when the loop was told to use it
  state.consoleFd = fds[0];
  writeFile(dir_.file("study.io"), "pause\n");
  interactionPoll(state, at(100.0));
  EXPECT_TRUE(state.paused);          // the file was read instead
  EXPECT_FALSE(state.stopRequested);  // the "2" was not taken as a menu choice
  ::close(fds[1]);
  char buffer[8] = {};
  EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, 2), "2\n");
  ::close(fds[0]);
}

// A line typed on a real terminal opens the menu, but only for the terminal's foreground
// process group. A child process becomes the session leader of a pseudo-terminal whose input
// already holds an empty line (the key press) and "2" (the menu choice).
TEST_F(RunInteractionTest, LineTypedOnTheForegroundTerminalOpensTheMenu) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string slaveName = ::ptsname(master);
  int holder = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);  // keeps the input queued
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::write(master, "\n2\n", 3), 3);
  flushFile(outptr);
  std::fflush(stdout);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int failures = 0;
    if (::setsid() < 0) ::_exit(100);
    int fd = ::open(slaveName.c_str(), O_RDWR);
    if (fd < 0 || ::ioctl(fd, TIOCSCTTY, 0) != 0) ::_exit(101);
    struct pollfd ready {fd, POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1) ::_exit(102);  // the typed input has arrived
    // Another process group of the session (a background job) never sees the line.
    pid_t background = ::fork();
    if (background == 0) {
      ::setpgid(0, 0);
      ::_exit(interactionConsoleLineTyped(fd) ? 1 : 0);
    }
    int status = 0;
    ::waitpid(background, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failures |= 1;
    if (!interactionConsoleLineTyped(fd)) failures |= 2;
    RunInteraction console;
    console.consoleEnabled = true;
    console.consoleFd = fd;
    console.consoleOut = std::fopen("/dev/null", "w");
    interactionPoll(console, at(100.0));
    if (!console.stopRequested || console.keepRunning) failures |= 4;
    if (interactionConsoleLineTyped(fd)) failures |= 8;  // both lines were taken
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(holder);
  ::close(master);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Runs the menu with `input` on a pipe and answers what it showed.
std::string runMenu(RunInteraction& state, const std::string& input,
                    const std::string& scratch, double monotonic = 100.0) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(fds[1]);
  std::FILE* out = std::fopen(scratch.c_str(), "w");
  interactionRunMenu(state, fds[0], out, at(monotonic));
  std::fclose(out);
  ::close(fds[0]);
  return readFile(scratch);
}

const char* const kMenu =
    "\nKARVO MDO run menu\n"
    "  1  Continue the run\n"
    "  2  Stop the run and terminate the running local analyses\n"
    "  3  Stop the run and keep the running analyses\n"
    "  4  Change the number of simultaneous designs of an analysis\n"
    "Enter your choice (1-4): ";

TEST_F(RunInteractionTest, MenuAsksUntilAChoiceIsOfferedAndActsOnIt) {
  EXPECT_EQ(runMenu(state, "7\n 2 \n", dir_.file("menu.out")),
            std::string(kMenu) + "\"7\" is not one of the choices 1 to 4.\n" + kMenu);
  EXPECT_TRUE(state.stopRequested);
  EXPECT_FALSE(state.keepRunning);
  EXPECT_EQ(messages(), noted("The process has been terminated by the user from the console. "
                              "The currently running local analyses will be terminated."));
  RunInteraction keep;
  runMenu(keep, "3\n", dir_.file("menu.out"));
  EXPECT_TRUE(keep.stopRequested);
  EXPECT_TRUE(keep.keepRunning);

  state = RunInteraction();
  EXPECT_EQ(runMenu(state, "1\n", dir_.file("menu.out")),
            std::string(kMenu) + "The run continues.\n");
  send("pause\n");
  clearMessages();
  std::string resumeMenu = kMenu;
  resumeMenu.replace(resumeMenu.find("Continue the run"), 16, "Resume the run");
  EXPECT_EQ(runMenu(state, "1\n", dir_.file("menu.out")), resumeMenu);
  EXPECT_FALSE(state.paused);
  EXPECT_EQ(messages(),
            noted("Resuming the process based on user input at 13:05:22 on 04-03-2025."));

  run.currentAgent = 0;
  EXPECT_EQ(runMenu(state, "4\nsolve\n3\n", dir_.file("menu.out")),
            std::string(kMenu) + "Analysis name: Number of simultaneous designs: ");
  ASSERT_EQ(state.parallelChanges.size(), 1u);
  EXPECT_EQ(state.parallelChanges[0].to, 3);

  // The end of the console input switches the console off.
  state.consoleEnabled = true;
  EXPECT_EQ(runMenu(state, "", dir_.file("menu.out")), std::string(kMenu) + "\n");
  EXPECT_FALSE(state.consoleEnabled);
  EXPECT_FALSE(state.stopRequested);
}

class AnalysisIoFileTest : public RunInteractionTest {
 protected:
  void SetUp() override {
    RunInteractionTest::SetUp();
    logPath = dir_.file("analysis.log");
    analysisLogPath = [](int, const std::string&) { return logPathFor; };
    logPathFor = logPath;
    folder = dir_.file("Design3");
    ASSERT_TRUE(platform::makeDirectory(folder));
  }
  static inline std::string logPathFor;
  std::string logPath;
  std::string folder;
};

TEST_F(AnalysisIoFileTest, CompleteEndsTheJobAndTheFileIsRetiredOtherTextOrNoFileDoNot) {
  EXPECT_FALSE(interactionAnalysisIoComplete(folder, "solve", 3, fixedWall()));
  writeFile(folder + "/_solve.io", "incomplete, still running\n");
  EXPECT_FALSE(interactionAnalysisIoComplete(folder, "solve", 3, fixedWall()));
  EXPECT_TRUE(platform::pathExists(folder + "/_solve.io"));
  EXPECT_FALSE(platform::pathExists(logPath));

  writeFile(folder + "/_solve.io", "Complete\n");
  EXPECT_TRUE(interactionAnalysisIoComplete(folder, "solve", 3, fixedWall()));
  EXPECT_FALSE(platform::pathExists(folder + "/_solve.io"));
  EXPECT_EQ(readFile(folder + "/_solve.io" + kSuffix), "Complete\n");
  EXPECT_EQ(readFile(logPath),
            "*NOTE\nKilling the analysis job and marking analysis as complete since the "
            "analysis io file was found and contained \"complete\".\n"
            "*NOTE\nRenaming the study IO file\n");
  EXPECT_EQ(messages(), "");
  writeFile(folder + "/_solve.io", "status: complete.");
  EXPECT_TRUE(interactionAnalysisIoComplete(folder, "solve", 3, fixedWall()));
}

}  // namespace
}  // namespace karvo
