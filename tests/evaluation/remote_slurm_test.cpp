// Scheduled compute resources reached through a login node: the one-node Slurm cluster of
// scripts/cluster and the OpenSSH server of scripts/sshd, both on this machine and started once
// for the suite, and runs of the karvo binary whose analysis is submitted over ssh. The Slurm
// commands on the remote side are wrappers (the resource's jobPrependPath) that log the user
// they run as, so that a command run here instead of there shows. The suite is skipped, with
// the reason, when either server cannot start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include <sys/stat.h>

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

class RemoteSlurm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cluster_ = new TestServer(startTestServer(kCluster));
    server_ = new TestServer(startTestServer(kSshd));
    if (!cluster_->startError.empty() || !server_->startError.empty()) return;
    // sbatch, squeue and scancel as the remote side offers them: each call logs its name and
    // user to "calls", then runs the real command against the suite's cluster.
    const std::string bin = cluster_->dir->file("bin");
    std::filesystem::create_directories(bin);
    for (const char* name : {"sbatch", "squeue", "scancel"}) {
      const std::string real = runShell(std::string("command -v ") + name, bin).out;
      writeFile(bin + "/" + name,
                "#!/bin/sh\necho \"" + std::string(name) + " $(id -un)\" >> " +
                    shellQuote(bin + "/calls") + "\nSLURM_CONF=" + shellQuote(conf()) +
                    " exec " + real.substr(0, real.find('\n')) + " \"$@\"\n");
      ::chmod((bin + "/" + name).c_str(), 0755);
    }
  }
  static void TearDownTestSuite() {
    stopTestServer(kSshd, *server_);
    stopTestServer(kCluster, *cluster_);
    delete cluster_;
    delete server_;
  }
  void SetUp() override {
    const std::string error = cluster_->startError + server_->startError;
    if (!error.empty()) {
      GTEST_SKIP() << "The cluster or the OpenSSH server could not be started (" << error
                   << "); submission through a login node is not tested.";
    }
    remoteRoot_ = setting("SSHD_HOME") + "/" +
                  std::filesystem::path(root_.path()).filename().string();
    writeFile(calls(), "");
    ::chmod(calls().c_str(), 0666);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!remoteRoot_.empty()) std::filesystem::remove_all(remoteRoot_, ignored);
  }

  static std::string setting(const std::string& name) { return server_->settings[name]; }
  static std::string conf() { return cluster_->dir->file("slurm.conf"); }
  static std::string calls() { return cluster_->dir->file("bin/calls"); }

  // The study of slurm_study.h in `dir`, its jobs submitted through the login node "box"
  // under `remotePath` with the wrapped Slurm commands.
  static void writeStudy(const std::string& dir, SlurmStudy study,
                         const std::string& remotePath) {
    std::filesystem::create_directories(dir);
    const std::string config = setting("SSHD_CONFIG");
    study.remoteProfile = "*DEFINE_REMOTE_MACHINE\nname: box\nplatform: Linux\nhost: karvo-sshd\n"
                          "remotePath: " + remotePath + "\nSSHcmd: ssh -F \"" + config +
                          "\"\nSCPcmd: scp -F \"" + config + "\"\n";
    study.resourceLines = "jobPrependPath: " + cluster_->dir->file("bin") + "\n";
    writeSlurmStudy(dir, study);
  }

  static testing::ProcessResult run(const std::string& dir, bool checkSetup = true) {
    std::vector<std::string> arguments{"i=study.in"};
    if (checkSetup) arguments.push_back("checksetup");
    // No SLURM_CONF here: a Slurm command run on this machine cannot reach the cluster.
    return runKarvo(arguments, dir, {"KARVO_ROOT=" + dir});
  }

  static std::string queue() {
    return slurmCommand(conf(), "squeue --noheader --format='%i %T %u'").out;
  }
  static bool queueEmpties(double seconds) { return slurmQueueEmpties(conf(), seconds); }

  // Every Slurm command ran as the remote user, and `name` among them.
  static void expectCalledThere(const std::string& name) {
    const std::string log = readFile(calls());
    const std::string user = setting("SSHD_USER");
    EXPECT_THAT(log, HasLines(name + " " + user + "\n"));
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_EQ(line.substr(line.find(' ') + 1), user) << log;
    }
  }

  static std::string messages(const std::string& dir) {
    return unwrapped(readFile(dir + "/study.mes"));
  }
  static std::string analysisLog(const std::string& dir, int design = 1) {
    return unwrapped(
        readFile(dir + "/POST_0/Design" + std::to_string(design) + "/calc/analysis.log"));
  }

  TempDir root_{"karvo-rslurm-study"};
  std::string remoteRoot_;

  static constexpr const char* kCluster = KARVO_SOURCE_DIR "/scripts/cluster";
  static constexpr const char* kSshd = KARVO_SOURCE_DIR "/scripts/sshd";
  static TestServer* cluster_;
  static TestServer* server_;
};

TestServer* RemoteSlurm::cluster_ = nullptr;
TestServer* RemoteSlurm::server_ = nullptr;

// Blanks in the local study folder and in the remote path, which is relative to the remote
// user's home folder: the analysis folder goes to the login node, sbatch there queues the job as the remote user, squeue there sees its end, the
// outputs come back and the job's output reaches the local analysis log. A job that exits
// with 3, run side by side, fails its analysis with that value.
TEST_F(RemoteSlurm, JobsSubmittedThroughTheLoginNodeRunThereAndReportTheirExitStatus) {
  const std::string good = root_.file("plate study");
  const std::string bad = root_.file("bad plate");
  // Relative to the remote user's home folder: the status file is read there, not here.
  const std::string remotePath =
      std::filesystem::path(remoteRoot_).filename().string() + "/runs here";
  writeStudy(good,
             {.script = "read x y < calc.inp\necho \"RESULT F = $x\" > calc.out\nid -un > who\n"
                        "echo 'calc: done on the node'\n"},
             remotePath);
  writeStudy(bad, {.script = "echo 'RESULT F = 1' > calc.out\nexit 3\n"}, remotePath);
  auto failing = std::async(std::launch::async, [&] { return run(bad); });
  const testing::ProcessResult result = run(good);
  ASSERT_EQ(result.status, 0) << messages(good) << analysisLog(good);

  const std::string there = remoteRoot_ + "/runs here/plate study/KARVO_0/Design1/calc";
  const std::string here = good + "/demo_0/Design1/calc";
  EXPECT_EQ(readFile(there + "/who"), setting("SSHD_USER") + "\n");
  EXPECT_TRUE(std::filesystem::exists(there + "/slurm.out"));  // sbatch ran in that folder
  const std::string id = readFile(here + "/job.id");  // copied back
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(readFile(here + "/calc.out"), "RESULT F = 1.50000\n");
  const std::string log = analysisLog(good);
  EXPECT_THAT(log, HasLines("*NOTE\nJobname: KARVO_D1_A1\n*NOTE\nJobID: " + id));
  EXPECT_THAT(log, HasLines("calc: done on the node\n"));
  EXPECT_THAT(log, HasLines("*STATUS\nSUCCESS\n"));
  EXPECT_THAT(messages(good), HasLines("f = 1.5\n"));

  const testing::ProcessResult failed = failing.get();
  EXPECT_EQ(failed.status, 133) << messages(bad);
  EXPECT_THAT(analysisLog(bad), HasLines("*ERROR\nThe return value (3) for the analysis command "
                                         "did not match the specified value (0). This design "
                                         "analysis will be marked as an error.\n"))
      << analysisLog(bad);
  expectCalledThere("sbatch");
  expectCalledThere("squeue");
  EXPECT_TRUE(queueEmpties(10)) << queue();
}

// "stop" in the run interaction file while one job runs and another waits in the queue: both
// are cancelled on the login node (the kill of a job past maxTime takes the same way).
TEST_F(RemoteSlurm, StopCancelsQueuedAndRunningJobsThere) {
  const std::string study = root_.file("stopped");
  writeStudy(study,
             {.script = "sleep 60\n", .submitOptions = "--exclusive", .doeRuns = 3,
              .parallel = 2},
             remoteRoot_);
  auto stopped = std::async(std::launch::async, [&] { return run(study, false); });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string listed;
  bool ready = false;
  while (!ready && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    listed = queue();
    ready = listed.find(" RUNNING ") != std::string::npos &&
            listed.find(" PENDING ") != std::string::npos;
  }
  writeFile(study + "/study.io", "stop\n");
  const testing::ProcessResult result = stopped.get();
  EXPECT_TRUE(ready) << listed;
  EXPECT_EQ(result.status, 0) << messages(study);
  EXPECT_TRUE(queueEmpties(10)) << queue();
  expectCalledThere("scancel");
}

}  // namespace
}  // namespace karvo
