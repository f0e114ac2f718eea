// Scheduled compute resources against a real Slurm: a one-node cluster on this machine
// (scripts/cluster), started once for the suite, and runs of the karvo binary whose analysis
// goes through sbatch, squeue and scancel. The suite is skipped, with the reason, when the
// cluster cannot start (no Slurm packages and no way to install them, daemons refused).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "evaluation/slurm_study.h"
#include "support/test_servers.h"

namespace karvo {
namespace {

using testing::HasLines;
using testing::readFile;
using testing::runKarvo;
using testing::runShell;
using testing::shellQuote;
using testing::slurmCommand;
using testing::slurmQueueEmpties;
using testing::SlurmStudy;
using testing::startTestServer;
using testing::stopTestServer;
using testing::TempDir;
using testing::TestServer;
using testing::unwrapped;
using testing::writeFile;
using testing::writeSlurmStudy;

std::string analysisLog(const TempDir& dir, int design = 1) {
  return unwrapped(readFile(dir.file("POST_0/Design" + std::to_string(design) +
                                     "/calc/analysis.log")));
}
std::string messages(const TempDir& dir) { return unwrapped(readFile(dir.file("study.mes"))); }

// Whether an analysis log tells of a job that Slurm ended: either the job script was ended
// before it could write the command's exit status (-1, after the wait for that file), or its
// shell caught the SIGTERM of scancel and wrote 143, whichever the moment of the signal gives.
bool endedBySlurm(const std::string& log) {
  for (const char* value : {"-1", "143"}) {
    if (testing::holdsLines(log, std::string("*ERROR\nThe return value (") + value +
                                     ") for the analysis command did not match the specified "
                                     "value (0). This design analysis will be marked as an "
                                     "error.\n")) {
      return true;
    }
  }
  return false;
}

// Whether `path` exists within `seconds`.
bool appears(const std::string& path, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

class SlurmRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cluster_ = new TestServer(startTestServer(kCluster)); }
  static void TearDownTestSuite() {
    stopTestServer(kCluster, *cluster_);
    delete cluster_;
  }
  void SetUp() override {
    if (!cluster_->startError.empty()) {
      GTEST_SKIP() << "The one-node Slurm cluster could not be started ("
                   << cluster_->startError << "); the runs on a real scheduler are not tested.";
    }
  }

  static std::string conf() { return cluster_->dir->file("slurm.conf"); }
  static testing::ProcessResult slurm(const std::string& command) {
    return slurmCommand(conf(), command);
  }
  // The job ids and states that squeue lists, "<id> <state>" lines.
  static std::string queue() { return slurm("squeue --noheader --format='%i %T'").out; }
  static bool queueEmpties(double seconds) { return slurmQueueEmpties(conf(), seconds); }

  // `path`: folders put in front of PATH ("" = none).
  static testing::ProcessResult runStudy(const TempDir& dir, bool checkSetup,
                                         const std::string& path = "") {
    std::vector<std::string> arguments{"i=study.in"};
    if (checkSetup) arguments.push_back("checksetup");
    std::vector<std::string> environment{"KARVO_ROOT=" + dir.path(), "SLURM_CONF=" + conf()};
    if (!path.empty()) environment.push_back("PATH=" + path + ":" + std::getenv("PATH"));
    return runKarvo(arguments, dir.path(), environment);
  }

  static constexpr const char* kCluster = KARVO_SOURCE_DIR "/scripts/cluster";
  static TestServer* cluster_;
};

TestServer* SlurmRun::cluster_ = nullptr;

// The analysis runs as a Slurm batch job: the id printed by sbatch is the job's own
// SLURM_JOB_ID; the start is logged when squeue shows the job running and the end when squeue
// no longer lists it; the exit status written by the job script decides success. A job that
// exits with 3 fails the analysis with that value. Both studies run side by side.
TEST_F(SlurmRun, JobIdReadBackAndFinishCheckedWithSqueue) {
  TempDir good("karvo-slurm-good");
  TempDir bad("karvo-slurm-bad");
  writeSlurmStudy(good.path(),
                  {.script = "read x y < calc.inp\necho \"RESULT F = $x\" > calc.out\n"});
  writeSlurmStudy(bad.path(), {.script = "echo 'RESULT F = 1' > calc.out\nexit 3\n"});
  auto failing = std::async(std::launch::async, [&] { return runStudy(bad, true); });
  const testing::ProcessResult result = runStudy(good, true);
  ASSERT_EQ(result.status, 0) << messages(good);

  const std::string id = readFile(good.file("demo_0/Design1/calc/job.id"));
  ASSERT_FALSE(id.empty());
  const std::string log = analysisLog(good);
  EXPECT_THAT(log, HasLines("*NOTE\nCompute resource used: slurm\n"));
  EXPECT_THAT(log, HasLines("*NOTE\nRunning the analysis command.\n*COMMAND\nsh calc.sh\n"
                            "*NOTE\nJobname: KARVO_D1_A1\n*NOTE\nJobID: " + id));
  EXPECT_LT(log.find("JobID: "), log.find("*CMD_STARTTIME\n"));
  EXPECT_LT(log.find("*CMD_STARTTIME\n"), log.find("*CMD_ENDTIME\n"));
  EXPECT_THAT(log, HasLines("*STATUS\nSUCCESS\n"));
  EXPECT_THAT(messages(good), HasLines("f = 1.5\n"));
  // sbatch ran in the analysis folder: Slurm's own output file is there.
  EXPECT_TRUE(std::filesystem::exists(good.file("demo_0/Design1/calc/slurm.out")));

  const testing::ProcessResult failed = failing.get();
  EXPECT_EQ(failed.status, 133) << messages(bad);
  const std::string badLog = analysisLog(bad);
  EXPECT_THAT(badLog, HasLines("*ERROR\nThe return value (3) for the analysis command did not "
                               "match the specified value (0). This design analysis will be "
                               "marked as an error.\n"))
      << badLog;
  EXPECT_THAT(badLog, HasLines("*STATUS\nERROR\n"));
  EXPECT_TRUE(queueEmpties(10)) << queue();
}

// A job past maxTime is cancelled with scancel (it would run a minute otherwise), and a job
// that Slurm ends from outside (scancel by someone else) fails the analysis (endedBySlurm).
// Both studies run side by side; a job whose script wrote no exit status costs the
// controller's 30 s wait for that file.
TEST_F(SlurmRun, JobsEndedByTheTimeLimitOrCancelledInSlurmFail) {
  TempDir late("karvo-slurm-late");
  TempDir cancelled("karvo-slurm-cancelled");
  writeSlurmStudy(late.path(), {.script = "sleep 60\n", .extraAnalysis = "maxTime: 2\n"});
  writeSlurmStudy(cancelled.path(), {.script = "sleep 60\n"});
  auto cancelledRun = std::async(std::launch::async, [&] { return runStudy(cancelled, true); });

  const std::string idFile = cancelled.file("demo_0/Design1/calc/job.id");
  ASSERT_TRUE(appears(idFile, 20)) << queue();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the id written out whole
  const std::string cancelledId = readFile(idFile).substr(0, readFile(idFile).find('\n'));
  EXPECT_EQ(slurm("scancel " + cancelledId).status, 0);

  const testing::ProcessResult result = runStudy(late, true);
  EXPECT_EQ(result.status, 133) << messages(late);
  const std::string log = analysisLog(late);
  EXPECT_THAT(log, HasLines("*WARNING\nMaximum allowed time exceeded for analysis calc of "
                            "design 1. This will be marked as completed. Will try to kill the "
                            "analysis process.\n"))
      << log;
  EXPECT_THAT(log, HasLines("*STATUS\nERROR\n"));
  EXPECT_TRUE(endedBySlurm(log)) << log;

  const testing::ProcessResult cancelledResult = cancelledRun.get();
  EXPECT_EQ(cancelledResult.status, 133) << messages(cancelled);
  const std::string cancelledLog = analysisLog(cancelled);
  EXPECT_TRUE(endedBySlurm(cancelledLog)) << cancelledLog;
  EXPECT_THAT(cancelledLog, HasLines("*STATUS\nERROR\n"));
  // Neither job is left: the first would otherwise sleep for another minute.
  EXPECT_TRUE(queueEmpties(10)) << queue();
}

// "stop" in the run interaction file while one job runs and two wait in Slurm's queue (each
// asks for the whole node): the solver cancels all three, and squeue lists none afterwards.
TEST_F(SlurmRun, StopInTheInteractionFileCancelsQueuedAndRunningJobs) {
  TempDir dir("karvo-slurm-stop");
  writeSlurmStudy(dir.path(), {.script = "sleep 60\n",
                               .submitOptions = "--exclusive",
                               .doeRuns = 4,
                               .parallel = 3});
  auto stopped = std::async(std::launch::async, [&] { return runStudy(dir, false); });
  // Wait for one running and two pending jobs; "stop" is written in any case, so that the
  // run ends.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string listed;
  bool ready = false;
  while (!ready && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    listed = queue();
    ready = listed.find(" RUNNING\n") != std::string::npos &&
            listed.find(" PENDING\n") != listed.rfind(" PENDING\n");
  }
  writeFile(dir.file("study.io"), "stop\n");
  const testing::ProcessResult result = stopped.get();
  EXPECT_TRUE(ready) << listed;
  EXPECT_EQ(result.status, 0) << messages(dir);
  EXPECT_THAT(messages(dir), HasLines("*NOTE\nThe process has been terminated by the user from "
                                      "the KARVO Modeler. The currently running local analyses "
                                      "will be terminated.\n"));
  EXPECT_TRUE(queueEmpties(10)) << queue();
  // The fourth run was never submitted.
  EXPECT_FALSE(std::filesystem::exists(dir.file("demo_0/Design4/calc/job.id")));
}

// Six designs in job batch mode, six at a time: one sbatch submits them as an array, each
// member is followed by its own id and judged by its own exit status (design 6 exits with 3,
// last: a first design in error would end the run),
// and the finish check runs about once a second for all of them, not once per job. sbatch
// and squeue are counted by wrappers first on PATH that run the real ones.
TEST_F(SlurmRun, BatchModeSubmitsOneArrayAndChecksAllJobsWithOneSqueue) {
  TempDir dir("karvo-slurm-array");
  const std::string bin = dir.file("bin");
  std::filesystem::create_directories(bin);
  for (const char* program : {"sbatch", "squeue"}) {
    const std::string real = runShell(std::string("command -v ") + program, dir.path()).out;
    writeFile(bin + "/" + program, "#!/bin/sh\necho x >> " + shellQuote(dir.file(program)) +
                                       "\nexec " + real.substr(0, real.find('\n')) + " \"$@\"\n");
    std::filesystem::permissions(bin + "/" + program, std::filesystem::perms::owner_all);
  }
  writeSlurmStudy(dir.path(),
                  {.script = "echo \"${SLURM_ARRAY_JOB_ID}_$SLURM_ARRAY_TASK_ID\" > member.id\n"
                             "sleep 2\nread x y < calc.inp\necho \"RESULT F = $x\" > calc.out\n"
                             "awk -v x=$x -v y=$y 'BEGIN { exit !(x == 2 && y == 3) }' || exit 0\n"
                             "sleep 2\nexit 3\n",
                   .extraAnalysis = "jobBatchMode: yes\n",
                   .submitOptions = "--oversubscribe",
                   .doeRuns = 6,
                   .parallel = 6});
  const auto start = std::chrono::steady_clock::now();
  const testing::ProcessResult result = runStudy(dir, false, bin);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(result.status, 0) << messages(dir);
  EXPECT_EQ(readFile(dir.file("sbatch")), "x\n");
  const std::size_t squeues = readFile(dir.file("squeue")).size() / 2;
  EXPECT_LE(squeues, static_cast<std::size_t>(seconds) + 2) << seconds << " s";

  const std::string first = readFile(dir.file("demo_0/Design1/calc/member.id"));
  ASSERT_NE(first.find("_0\n"), std::string::npos) << first;
  const std::string array = first.substr(0, first.find('_'));
  for (int design = 1; design <= 6; ++design) {
    const std::string member = array + "_" + std::to_string(design - 1);
    EXPECT_EQ(readFile(dir.file("demo_0/Design" + std::to_string(design) + "/calc/member.id")),
              member + "\n");
    const std::string log = analysisLog(dir, design);
    EXPECT_THAT(log, HasLines("*NOTE\nJobID: " + member + "\n")) << log;
    EXPECT_LT(log.find("*CMD_STARTTIME\n"), log.find("*CMD_ENDTIME\n")) << log;
    EXPECT_THAT(log, HasLines(design == 6 ? "*STATUS\nERROR\n" : "*STATUS\nSUCCESS\n")) << log;
  }
  EXPECT_THAT(analysisLog(dir, 6),
              HasLines("*ERROR\nThe return value (3) for the analysis command did not match the "
                       "specified value (0). This design analysis will be marked as an error.\n"));
  EXPECT_TRUE(queueEmpties(10)) << queue();
}

}  // namespace
}  // namespace karvo
