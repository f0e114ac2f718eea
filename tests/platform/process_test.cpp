// The process layer: starts in an own process group, exit statuses, start failures, output
// files, group kills, captured runs and the wait that ends when a child ends.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "support/test_support.h"

namespace karvo::platform {
namespace {

using karvo::testing::noChildrenLeft;
using karvo::testing::readFile;
using karvo::testing::TempDir;
using karvo::testing::writeFile;

// True when `pid` is gone or only a zombie (a grandchild is reaped by init, not by us).
bool processGone(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// Whether the process `pid` is gone within 5 s: a process killed by the sweeps may still be on
// its way out (its environment already released, not yet a zombie) when they return.
bool processEnds(pid_t pid) {
  const double until = monotonicSeconds() + 5.0;
  while (!processGone(pid)) {
    if (monotonicSeconds() >= until) return false;
    sleepMillis(10);
  }
  return true;
}

// Waits (up to 5 s) until `path` holds some text.
std::string awaitFile(const std::string& path) {
  double until = monotonicSeconds() + 5.0;
  while (monotonicSeconds() < until) {
    std::string text = readFile(path);
    if (!text.empty() && text.back() == '\n') return text;
    sleepMillis(10);
  }
  return "";
}

int runToEnd(const std::string& command, const SpawnSettings& settings = {}) {
  ChildProcess child;
  if (!spawnShellCommand(command, settings, child)) return -2;
  waitProcess(child);
  return child.exitStatus;
}

TEST(Spawn, ExitStatusesAndSignals) {
  EXPECT_EQ(runToEnd("exit 0"), 0);
  EXPECT_EQ(runToEnd("exit 255"), 255);

  ChildProcess child;
  ASSERT_TRUE(spawnShellCommand("kill -9 $$", {}, child));
  waitProcess(child);
  EXPECT_TRUE(child.ended);
  EXPECT_EQ(child.termSignal, 9);
  EXPECT_EQ(child.exitStatus, 137);

  // Polling does not block and reaps once.
  ASSERT_TRUE(spawnShellCommand("sleep 0.2; exit 3", {}, child));
  EXPECT_FALSE(pollProcess(child));
  EXPECT_EQ(child.exitStatus, -1);
  while (!pollProcess(child)) waitForChildExitOrTimeout(1000);
  EXPECT_EQ(child.exitStatus, 3);
  EXPECT_TRUE(pollProcess(child));
  EXPECT_EQ(child.exitStatus, 3);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(Spawn, StartFailuresAreReportedAndLeaveNoProcess) {
  TempDir dir;
  ChildProcess child;
  std::string error;
  EXPECT_FALSE(spawnProcess({dir.file("missing-program")}, {}, child, &error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_EQ(child.pid, -1);

  writeFile(dir.file("not-executable"), "#!/bin/sh\nexit 0\n");
  error.clear();
  EXPECT_FALSE(spawnProcess({dir.file("not-executable")}, {}, child, &error));
  EXPECT_EQ(error, "Permission denied");

  error.clear();
  SpawnSettings badFolder;
  badFolder.workingDirectory = dir.file("no such folder");
  EXPECT_FALSE(spawnShellCommand("exit 0", badFolder, child, &error));
  EXPECT_EQ(error, "No such file or directory");

  EXPECT_FALSE(spawnProcess({}, {}, child, &error));
  EXPECT_TRUE(noChildrenLeft());
}

TEST(Spawn, FolderOutputFilesAndInheritance) {
  TempDir dir;
  const std::string folder = dir.file("run 'a' $(b) ;c");
  ASSERT_TRUE(makeDirectory(folder));
  SpawnSettings settings;
  settings.workingDirectory = folder;
  settings.stdoutPath = "out.log";  // relative to the working folder
  settings.stderrPath = folder + "/err.log";
  EXPECT_EQ(runToEnd("pwd; echo oops >&2", settings), 0);
  EXPECT_EQ(runToEnd("echo second; cat; echo more >&2", settings), 0);  // stdin is empty
  EXPECT_EQ(readFile(folder + "/out.log"), folder + "\nsecond\n");
  EXPECT_EQ(readFile(folder + "/err.log"), "oops\nmore\n");

  // One shared file keeps the order of both streams.
  settings.stderrPath = "out.log";
  EXPECT_EQ(runToEnd("echo a; echo b >&2; echo c", settings), 0);
  EXPECT_EQ(readFile(folder + "/out.log"), folder + "\nsecond\na\nb\nc\n");

  // No output file: the output is discarded, not written to the solver's streams.
  EXPECT_EQ(runToEnd("echo discarded", {}), 0);

  // A descriptor of the solver without close-on-exec is not inherited.
  int fd = ::open(dir.file("held").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 3);
  std::string probe = "test -e /proc/self/fd/" + std::to_string(fd) + " && exit 1; exit 0";
  EXPECT_EQ(runToEnd(probe), 0);
  ::close(fd);

  // The child leads its own process group.
  ChildProcess child;
  ASSERT_TRUE(spawnShellCommand("sleep 5", {}, child));
  EXPECT_EQ(::getpgid(child.pid), child.pid);
  EXPECT_TRUE(killProcessGroup(child));
  EXPECT_TRUE(noChildrenLeft());
}

TEST(Kill, EndsTheWholeGroupQuicklyAndGivesEveryMemberItsGrace) {
  TempDir dir;
  SpawnSettings settings;
  settings.workingDirectory = dir.path();
  ChildProcess child;
  ASSERT_TRUE(spawnShellCommand("sleep 30 & echo $! > bg.pid; sleep 30; wait", settings, child));
  std::string background = awaitFile(dir.file("bg.pid"));
  ASSERT_FALSE(background.empty());
  pid_t backgroundPid = std::stoi(background);

  double start = monotonicSeconds();
  EXPECT_TRUE(killProcessGroup(child));
  double elapsed = monotonicSeconds() - start;
  EXPECT_LT(elapsed, 5.0);
  EXPECT_TRUE(child.ended);
  EXPECT_EQ(child.exitStatus, 128 + SIGTERM);
  EXPECT_TRUE(processEnds(backgroundPid));
  EXPECT_TRUE(noChildrenLeft());

  // Killing an ended process is a no-op that succeeds.
  EXPECT_TRUE(killProcessGroup(child));

  // An ignored SIGTERM gets SIGKILL after the grace.
  ChildProcess ignoring, cleaning;
  ASSERT_TRUE(spawnShellCommand("trap '' TERM; echo ready > ready; sleep 30", settings, ignoring));
  ASSERT_FALSE(awaitFile(dir.file("ready")).empty());
  start = monotonicSeconds();
  EXPECT_TRUE(killProcessGroup(ignoring, 0.3));
  EXPECT_LT(monotonicSeconds() - start, 5.0);
  EXPECT_EQ(ignoring.termSignal, SIGKILL);
  EXPECT_TRUE(noChildrenLeft());

  // Members that clean up after the leader get their grace: the leader dies on SIGTERM at
  // once; its child needs 0.3 s to clean up.
  const char* command =
      "sh -c 'trap \"sleep 0.3; echo cleaned > done; exit 0\" TERM; echo ready > ready2; "
      "while :; do sleep 0.05; done' & wait";
  ASSERT_TRUE(spawnShellCommand(command, settings, cleaning));
  ASSERT_FALSE(awaitFile(dir.file("ready2")).empty());
  EXPECT_TRUE(killProcessGroup(cleaning, 4.0));
  EXPECT_EQ(readFile(dir.file("done")), "cleaned\n");
  EXPECT_TRUE(noChildrenLeft());
}

// A program that leaves one program behind in a session of its own, noted in `name`, and
// ends; answers that program's pid.
pid_t leaveEscaped(const TempDir& dir, const std::string& name, ChildProcess& child) {
  SpawnSettings settings;
  settings.workingDirectory = dir.path();
  if (!spawnShellCommand("setsid sh -c 'echo $$ > " + name + "; exec sleep 30' &", settings,
                         child)) {
    return -1;
  }
  waitProcess(child);
  return static_cast<pid_t>(std::atol(awaitFile(dir.file(name)).c_str()));
}

TEST(Marks, EndTheLeftoversOfOneStartOrOfTheRunButNotKeptOnes) {
  TempDir dir;
  // The mark is added to the one inherited from an enclosing run; commands run for their
  // output get none.
  ::setenv(kRunMarkVariable, "outer-1-ab/7", 1);
  ChildProcess shown;
  SpawnSettings settings;
  settings.workingDirectory = dir.path();
  ASSERT_TRUE(spawnShellCommand("echo \"$KARVO_RUN_MARKS\" > marks", settings, shown));
  waitProcess(shown);
  const std::string marks = readFile(dir.file("marks"));
  EXPECT_EQ(marks.rfind("outer-1-ab/7:" + std::to_string(::getpid()) + "-", 0), 0u) << marks;
  EXPECT_EQ(marks.substr(marks.rfind('/')), "/" + std::to_string(shown.mark) + "\n");
  EXPECT_EQ(runCapturedCommand("echo \"$KARVO_RUN_MARKS\"", "", 5).output, "outer-1-ab/7\n");
  ::unsetenv(kRunMarkVariable);

  ChildProcess one, two, kept, grouped;
  const pid_t leftByOne = leaveEscaped(dir, "one", one);
  const pid_t leftByTwo = leaveEscaped(dir, "two", two);
  const pid_t leftByKept = leaveEscaped(dir, "kept", kept);
  ASSERT_GT(leftByOne, 1);
  ASSERT_GT(leftByTwo, 1);
  ASSERT_GT(leftByKept, 1);
  EXPECT_FALSE(processGone(leftByOne)) << "the end of a program leaves its leftovers running";

  EXPECT_EQ(endLeftoverProcesses(one), 1);
  EXPECT_TRUE(processEnds(leftByOne));
  EXPECT_FALSE(processGone(leftByTwo));

  // A group kill reaches what the program moved out of its group.
  ASSERT_TRUE(spawnShellCommand("setsid sh -c 'echo $$ > out; exec sleep 30' & wait", settings,
                                grouped));
  const pid_t movedOut = static_cast<pid_t>(std::atol(awaitFile(dir.file("out")).c_str()));
  ASSERT_GT(movedOut, 1);
  EXPECT_TRUE(killProcessGroup(grouped));
  EXPECT_TRUE(processEnds(movedOut));

  releaseProcess(kept);
  EXPECT_EQ(endRunProcesses(), 1);
  EXPECT_TRUE(processEnds(leftByTwo));
  EXPECT_FALSE(processGone(leftByKept));
  ::kill(leftByKept, SIGKILL);
}

TEST(Wait, AnEndBeforeTheWaitIsNotLost) {
  while (waitForChildExitOrTimeout(0)) {
  }
  ChildProcess child;
  ASSERT_TRUE(spawnShellCommand("exit 0", {}, child));
  // Wait for the end without reaping, so the process has surely ended before the wait.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOWAIT), 0);
  double start = monotonicSeconds();
  EXPECT_TRUE(waitForChildExitOrTimeout(30000));
  EXPECT_LT(monotonicSeconds() - start, 5.0);
  EXPECT_TRUE(pollProcess(child));
  // Collected: the next wait runs to its time.
  start = monotonicSeconds();
  EXPECT_FALSE(waitForChildExitOrTimeout(50));
  EXPECT_GE(monotonicSeconds() - start, 0.045);
  EXPECT_TRUE(noChildrenLeft());
}

TEST(Captured, OutputStatusFolderAndTimeLimit) {
  TempDir dir;
  CapturedRun run = runCapturedCommand("echo one; echo two >&2; pwd; exit 4", dir.path(), 10);
  EXPECT_TRUE(run.started);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 4);
  EXPECT_EQ(run.output, "one\ntwo\n" + dir.path() + "\n");
  EXPECT_EQ(run.error, "");

  CapturedRun big = runCapturedCommand("head -c 200000 /dev/zero", "", 0);
  EXPECT_EQ(big.output.size(), 200000u);
  EXPECT_EQ(big.exitStatus, 0);
  // Beyond the cap the output is read (the program does not block) and dropped.
  CapturedRun huge = runCapturedCommand("head -c 9000000 /dev/zero; echo end >&2", "", 0);
  EXPECT_EQ(huge.output.size(), kMaxCapturedOutput);
  EXPECT_EQ(huge.exitStatus, 0);

  CapturedRun missing = runCapturedCommand("true", dir.file("absent"), 10);
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.error, "No such file or directory");

  // The time limit kills; programs left holding the output do not hang the run.
  double start = monotonicSeconds();
  CapturedRun slow = runCapturedCommand("echo begun; sleep 30", "", 0.3);
  EXPECT_LT(monotonicSeconds() - start, 5.0);
  EXPECT_TRUE(slow.timedOut);
  EXPECT_EQ(slow.output, "begun\n");
  EXPECT_EQ(slow.exitStatus, 128 + SIGTERM);

  // Endless output: the limit still ends it.
  CapturedRun endless = runCapturedCommand("yes", "", 0.3);
  EXPECT_TRUE(endless.timedOut);
  EXPECT_LE(endless.output.size(), kMaxCapturedOutput);

  // The shell ends at once but leaves a program holding its output for 3 s.
  start = monotonicSeconds();
  CapturedRun held = runCapturedCommand("sleep 3 & echo hi", "", 0);
  EXPECT_LT(monotonicSeconds() - start, 2.5);
  EXPECT_EQ(held.output, "hi\n");
  EXPECT_EQ(held.exitStatus, 0);
  EXPECT_TRUE(noChildrenLeft());
}

// Runs `body` in a forked copy of the test process (a stand-in solver) and answers its pid.
template <typename Body>
pid_t forkSolver(Body body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int waitedStatus(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Waits (up to 10 s) until process `pid` is gone or a zombie.
bool goneWithin10s(pid_t pid) {
  for (double until = monotonicSeconds() + 10; monotonicSeconds() < until; sleepMillis(20)) {
    if (processStartTicks(pid) == 0) return true;
  }
  return false;
}

pid_t pidIn(const std::string& path) {
  double until = monotonicSeconds() + 10;
  std::string text;
  while ((text = readFile(path)).find('\n') == std::string::npos && monotonicSeconds() < until) {
    sleepMillis(10);
  }
  return static_cast<pid_t>(std::atol(text.c_str()));
}

// The guard also ends what an analysis left in a session of its own (marked), but not what
// a released one left there.
TEST(Guard, EndsTheGroupsOfASolverThatWasKilledButNotThoseItReleased) {
  TempDir dir;
  const std::string script =
      "setsid sh -c 'echo $$ > escaped; exec sleep 300' & "
      "sleep 300 & echo $! > bg; echo $$ > leader; wait";
  pid_t solver = forkSolver([&] {
    ChildProcess guarded, released;
    SpawnSettings kept;
    kept.workingDirectory = dir.file("kept");
    std::filesystem::create_directory(kept.workingDirectory);
    SpawnSettings watched;
    watched.workingDirectory = dir.path();
    if (!spawnShellCommand(script, watched, guarded) || !spawnShellCommand(script, kept, released)) {
      return 1;
    }
    releaseProcess(released);
    ::pause();
    return 0;
  });
  const pid_t leader = pidIn(dir.file("leader"));
  const pid_t background = pidIn(dir.file("bg"));
  const pid_t keptLeader = pidIn(dir.file("kept/leader"));
  const pid_t escaped = pidIn(dir.file("escaped"));
  const pid_t keptEscaped = pidIn(dir.file("kept/escaped"));
  ASSERT_GT(escaped, 1);
  ASSERT_GT(keptEscaped, 1);
  ASSERT_GT(leader, 1);
  ASSERT_GT(background, 1);
  ASSERT_GT(keptLeader, 1);
  const unsigned long long keptStart = processStartTicks(keptLeader);
  EXPECT_NE(keptStart, 0u);
  EXPECT_NE(processStartTicks(leader), 0u);
  ::kill(solver, SIGKILL);
  waitedStatus(solver);
  EXPECT_TRUE(goneWithin10s(leader));
  EXPECT_TRUE(goneWithin10s(background));
  EXPECT_TRUE(goneWithin10s(escaped));
  EXPECT_EQ(processStartTicks(keptLeader), keptStart) << "a released group outlives the solver";
  EXPECT_NE(processStartTicks(keptEscaped), 0u);
  ::kill(-keptLeader, SIGKILL);
  ::kill(keptEscaped, SIGKILL);
}

TEST(StopSignal, EndsTheWaitForAProgramAndEveryLaterWait) {
  TempDir dir;
  pid_t solver = forkSolver([&] {
    installStopSignals();
    ChildProcess child;
    SpawnSettings settings;
    settings.workingDirectory = dir.path();
    if (!spawnShellCommand("echo $$ > leader; exec sleep 300", settings, child)) return 1;
    waitProcess(child);
    if (stopSignal() != SIGTERM || !child.ended || child.termSignal != SIGTERM) return 2;
    const double start = monotonicSeconds();
    if (!waitForChildExitOrTimeout(30000) || monotonicSeconds() - start > 5) return 3;
    CapturedRun captured = runCapturedCommand("sleep 300", dir.path(), 0);
    if (!captured.started || captured.exitStatus != 128 + SIGTERM) return 4;
    return 0;
  });
  const pid_t leader = pidIn(dir.file("leader"));
  ASSERT_GT(leader, 1);
  ::kill(solver, SIGTERM);
  const int status = waitedStatus(solver);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(goneWithin10s(leader));
  EXPECT_EQ(signalName(SIGINT), "SIGINT");
  EXPECT_EQ(signalName(SIGHUP), "SIGHUP");
}

}  // namespace
}  // namespace karvo::platform
