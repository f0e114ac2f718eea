// Stopping a run from outside: SIGINT, SIGTERM and SIGHUP end a check-setup run of the karvo
// binary in order while its analysis runs; after a SIGKILL the guard ends the analysis and the
// next run takes the stale lock file over; which lock files are stale; what an analysis left
// running in the background ends with the run, unless "stop keep" keeps it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/run_files.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// A study of one analysis, "calc", whose script is `script`; `execution` is added to its
// execution definition and `definitions` to "Definitions.in".
void writeStudy(const std::string& dir, const std::string& script,
                const std::string& execution = "", const std::string& definitions = "") {
  writeFile(dir + "/Assembly.in",
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir + "/Definitions.in",
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1.5\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n" + definitions + "*END\n");
  writeFile(dir + "/Representation0.in", "*VARIABLE\nname: x\nid: 1\nresolution: 5\n*END\n");
  writeFile(dir + "/Performance0.in",
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir + "/calc.sh", script);
  writeFile(dir + "/f.def", "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir + "/Process0.in",
            "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: calc\n"
            "id: 1\ninputFile: calc.sh, studyFolder, , file, yes\noutputFile: calc.out\n"
            "outputTagFile: f, f.def\noutputResponse: f\n*EXECUTION_DEFINITION\n"
            "toolCmd: sh calc.sh\nsuccessReturnValue: 0\n" + execution + "*END\n");
  writeFile(dir + "/study.in",
            "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\nrandomSeed: 0.5\n"
            "mode: newStudy\n*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 20\n*END\n");
}

// The analysis notes its own pid and those of a program it leaves in the background in its
// process group and of one in a session of its own, then waits.
const char* kHangingScript =
    "setsid sh -c 'echo $$ > ../../../escaped.pid; exec sleep 300' &\n"
    "sleep 300 & echo $! > ../../../background.pid\necho $$ > ../../../analysis.pid\nwait\n";

// Starts `karvo i=study.in checksetup` in `dir` without waiting for it.
pid_t startKarvo(const TempDir& dir) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("KARVO_ROOT", dir.path().c_str(), 1);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
    int out = ::open("karvo.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execl(KARVO_BINARY, KARVO_BINARY, "i=study.in", "checksetup", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

int waitedStatus(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The pid written into `path` by the analysis (waits up to 30 s for it).
pid_t pidIn(const std::string& path) {
  std::string text;
  for (double until = platform::monotonicSeconds() + 30;
       (text = readFile(path)).find('\n') == std::string::npos &&
       platform::monotonicSeconds() < until;) {
    platform::sleepMillis(20);
  }
  return static_cast<pid_t>(std::atol(text.c_str()));
}

// Waits (up to 10 s) until process `pid` is gone or a zombie.
bool goneWithin10s(pid_t pid) {
  for (double until = platform::monotonicSeconds() + 10; platform::monotonicSeconds() < until;
       platform::sleepMillis(20)) {
    if (platform::processStartTicks(pid) == 0) return true;
  }
  return false;
}

bool exists(const TempDir& dir, const std::string& name) {
  return std::filesystem::exists(dir.file(name));
}

// Messages are wrapped at 110 columns: compared without line breaks.
std::string flat(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

// A check-setup run whose analysis hangs: the solver, the analysis and its background child.
struct HangingRun {
  pid_t karvo = -1;
  pid_t analysis = -1;
  pid_t background = -1;
  pid_t escaped = -1;
};

HangingRun startHangingRun(const TempDir& dir, const std::string& scriptStart = "") {
  writeStudy(dir.path(), scriptStart + kHangingScript);
  HangingRun run;
  run.karvo = startKarvo(dir);
  run.analysis = pidIn(dir.file("analysis.pid"));
  run.background = pidIn(dir.file("background.pid"));
  run.escaped = pidIn(dir.file("escaped.pid"));
  return run;
}

struct SignalCase {
  int signal;
  const char* name;
};

class StopSignal : public ::testing::TestWithParam<SignalCase> {};

// While the run goes on, a second start of the study stops before it touches any of the
// study's files: the running run's message file is neither moved away nor (with `overwrite`)
// cut, and no backup folder is made.
TEST_P(StopSignal, EndsTheRunInOrderAndTheAnalysisWithIt) {
  TempDir dir("karvo-signal");
  const auto [karvo, analysis, background, escaped] = startHangingRun(dir);
  ASSERT_GT(analysis, 1) << readFile(dir.file("study.mes"));
  ASSERT_GT(background, 1);
  ASSERT_GT(escaped, 1);
  ASSERT_TRUE(exists(dir, "demo0.lock"));
  const std::string messages = readFile(dir.file("study.mes"));
  const std::string lock = readFile(dir.file("demo0.lock"));
  const std::vector<std::string> before = testing::filesEndingIn(dir.path(), "");
  for (const char* option : {"checksetup", "overwrite"}) {
    SCOPED_TRACE(option);
    const testing::ProcessResult second = testing::runStudy(dir, {option});
    EXPECT_EQ(second.status, 133);
    EXPECT_EQ(second.err,
              "\n**** ERROR ****\n\tThe study file (study.in) is in use by another solver run in "
              "this folder.\n\tThis run stops without touching any file of the study. Wait until "
              "the other run has ended, or stop it, and start this one again.\n");
    EXPECT_EQ(readFile(dir.file("study.mes")), messages);
    EXPECT_EQ(readFile(dir.file("demo0.lock")), lock);
    EXPECT_EQ(testing::filesEndingIn(dir.path(), ""), before);
  }

  ::kill(karvo, GetParam().signal);
  const int status = waitedStatus(karvo);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 128 + GetParam().signal);
  // Ended before the solver exits, not later by its guard.
  EXPECT_EQ(platform::processStartTicks(analysis), 0u);
  EXPECT_EQ(platform::processStartTicks(background), 0u);
  EXPECT_EQ(platform::processStartTicks(escaped), 0u);
  EXPECT_FALSE(exists(dir, "demo0.lock"));
  const std::string report = readFile(dir.file("demo0.rpt"));
  EXPECT_NE(report.find("\nEnd of KARVO run.\n*EXIT STATE\nCancelled\n*ENDTIME\n"),
            std::string::npos)
      << report;
  EXPECT_NE(flat(readFile(dir.file("study.mes")))
                .find(std::string("The process has been terminated by the signal ") +
                      GetParam().name +
                      ". The currently running local analyses will be terminated."),
            std::string::npos)
      << readFile(dir.file("study.mes"));
}

INSTANTIATE_TEST_SUITE_P(EachStopSignal, StopSignal,
                         ::testing::Values(SignalCase{SIGINT, "SIGINT"},
                                           SignalCase{SIGTERM, "SIGTERM"},
                                           SignalCase{SIGHUP, "SIGHUP"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StopSignalKeep, SignalKeepInTheInteractionFileLeavesTheAnalysisRunning) {
  TempDir dir("karvo-signal");
  const auto [karvo, analysis, background, escaped] =
      startHangingRun(dir, "echo signal keep > ../../../study.io\n");
  ASSERT_GT(analysis, 1) << readFile(dir.file("study.mes"));
  // The interaction file is read (and renamed) at the next poll of the evaluation loop.
  for (double until = platform::monotonicSeconds() + 30;
       exists(dir, "study.io") && platform::monotonicSeconds() < until;) {
    platform::sleepMillis(20);
  }
  ::kill(karvo, SIGTERM);
  const int status = waitedStatus(karvo);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
  EXPECT_NE(flat(readFile(dir.file("study.mes")))
                .find("The process has been terminated by the signal SIGTERM. The currently "
                      "running analyses will not be terminated."),
            std::string::npos);
  platform::sleepMillis(300);
  EXPECT_NE(platform::processStartTicks(analysis), 0u) << "the kept analysis should still run";
  EXPECT_NE(platform::processStartTicks(escaped), 0u);
  const pid_t group = ::getpgid(analysis);
  if (group > 1) ::kill(-group, SIGKILL);
  if (escaped > 1) ::kill(escaped, SIGKILL);
  EXPECT_TRUE(goneWithin10s(analysis));
}

TEST(KilledRun, LeavesNoAnalysisAndItsLockIsTakenOverByTheNextRun) {
  TempDir dir("karvo-signal");
  const auto [karvo, analysis, background, escaped] = startHangingRun(dir);
  ASSERT_GT(analysis, 1) << readFile(dir.file("study.mes"));
  ::kill(karvo, SIGKILL);
  waitedStatus(karvo);
  EXPECT_TRUE(goneWithin10s(analysis));
  EXPECT_TRUE(goneWithin10s(background));
  EXPECT_TRUE(goneWithin10s(escaped));
  ASSERT_TRUE(exists(dir, "demo0.lock"));

  writeFile(dir.file("calc.sh"), "echo 'RESULT F = 2.5' > calc.out\n");
  testing::ProcessResult next = testing::runStudy(dir, {"checksetup", "overwrite"});
  EXPECT_EQ(next.status, 0) << readFile(dir.file("study.mes"));
  const std::string lock = testing::workingDirectory(dir) + "/demo0.lock";
  EXPECT_NE(flat(readFile(dir.file("study.mes")))
                .find("The lock file (" + lock + ") was left behind by a run (process " +
                      std::to_string(karvo) + " on this host) that has ended. This run takes it "
                      "over."),
            std::string::npos)
      << readFile(dir.file("study.mes"));
  EXPECT_FALSE(exists(dir, "demo0.lock"));
}

// ---- What an analysis leaves running ----------------------------------------------------

// The analysis script starts a solver in the background in a session of its own and a
// program in its own process group, notes their pids and exits at once. The solver writes
// the output half a second later when `solverWrites`, then both sleep. The analysis is over
// once the output exists (its finish condition).
void writeBackgroundSolverStudy(const TempDir& dir, bool solverWrites,
                                const std::string& scriptEnd = "") {
  const std::string output = solverWrites ? "sleep 0.5; echo \"RESULT F = 2.5\" > calc.out; " : "";
  writeStudy(dir.path(),
             "setsid sh -c 'echo $$ > ../../../escaped.pid; " + output + "exec sleep 30' &\n"
             "sleep 30 & echo $! > ../../../background.pid\n" + scriptEnd,
             "finishCondition: outputWritten\n",
             "*DEFINE_CONDITION\nname: outputWritten\ntype: FileExist\nfileType: output\n"
             "fileRef: calc.out\n");
}

// The exit status of `pid`, which is killed (and -1 answered) when it has not ended after
// 30 s.
int statusWithin30s(pid_t pid) {
  for (double until = platform::monotonicSeconds() + 30; platform::monotonicSeconds() < until;
       platform::sleepMillis(20)) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
  }
  ::kill(pid, SIGKILL);
  waitedStatus(pid);
  return -1;
}

TEST(LeftRunning, TheBackgroundSolverRunsUntilTheAnalysisIsOverAndNotPastTheRun) {
  TempDir dir("karvo-leftover");
  writeBackgroundSolverStudy(dir, true);
  const int status = statusWithin30s(startKarvo(dir));
  EXPECT_EQ(status, 0) << readFile(dir.file("study.mes"));
  const pid_t escaped = pidIn(dir.file("escaped.pid"));
  const pid_t background = pidIn(dir.file("background.pid"));
  ASSERT_GT(escaped, 1);
  ASSERT_GT(background, 1);
  EXPECT_EQ(platform::processStartTicks(escaped), 0u);
  EXPECT_EQ(platform::processStartTicks(background), 0u);
  if (escaped > 1) ::kill(escaped, SIGKILL);
  if (background > 1) ::kill(background, SIGKILL);
}

TEST(LeftRunning, StopKeepKeepsWhatAnAnalysisLeftRunning) {
  TempDir dir("karvo-leftover");
  writeBackgroundSolverStudy(dir, false, "echo stop keep > ../../../study.io\n");
  const int status = statusWithin30s(startKarvo(dir));
  EXPECT_EQ(status, 0) << readFile(dir.file("study.mes"));
  const pid_t escaped = pidIn(dir.file("escaped.pid"));
  const pid_t background = pidIn(dir.file("background.pid"));
  ASSERT_GT(escaped, 1);
  ASSERT_GT(background, 1);
  platform::sleepMillis(300);  // the guard has had its chance
  EXPECT_NE(platform::processStartTicks(escaped), 0u);
  EXPECT_NE(platform::processStartTicks(background), 0u);
  ::kill(escaped, SIGKILL);
  ::kill(background, SIGKILL);
}

// ---- Which locks are stale -------------------------------------------------------------

std::string lockOf(const std::string& host, pid_t pid, unsigned long long ticks) {
  return "Lock File for Agent #: 0\n*OWNER\n" + host + " " + std::to_string(pid) + " " +
         std::to_string(ticks) + "\n";
}

TEST(StaleLock, OnlyAProcessOfThisHostThatHasGoneLeavesAStaleLock) {
  const std::string here = platform::hostName();
  const pid_t self = ::getpid();
  const unsigned long long started = platform::processStartTicks(self);
  ASSERT_NE(started, 0u);
  platform::ChildProcess ended;
  ASSERT_TRUE(platform::spawnShellCommand("exit 0", {}, ended));
  platform::waitProcess(ended);

  EXPECT_FALSE(lockIsStale(lockOf(here, self, started)));  // alive
  EXPECT_TRUE(lockIsStale(lockOf(here, ended.pid, 1234)));  // gone
  EXPECT_TRUE(lockIsStale(lockOf(here, self, started + 1)));  // the pid was given again
  EXPECT_FALSE(lockIsStale(lockOf("elsewhere.example", ended.pid, 1234)));  // another host
  EXPECT_FALSE(lockIsStale("Lock File for Agent #: 0\n"));  // no owner record
  EXPECT_FALSE(lockIsStale("Lock File for Agent #: 0\n*OWNER\n" + here + "\n"));  // cut short
  // While analyses run the owner record follows the running-analyses log.
  EXPECT_TRUE(lockIsStale("calc\n1.1\n*INPROGRESS\n1,\n*OWNER\n" + here + " " +
                          std::to_string(ended.pid) + " 99\n"));
}

}  // namespace
}  // namespace karvo
