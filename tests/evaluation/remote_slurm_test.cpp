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
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "evaluation/slurm_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using testing::HasLines;
using testing::readFile;
using testing::runKarvo;
using testing::runShell;
using testing::shellQuote;
using testing::SlurmStudy;
using testing::TempDir;
using testing::unwrapped;
using testing::writeFile;
using testing::writeSlurmStudy;

class RemoteSlurm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cluster_ = new TempDir("karvo-rslurm");
    server_ = new TempDir("karvo-rsshd");
    settings_ = new std::map<std::string, std::string>;
    // The remote user reads the cluster's configuration and munge socket below it.
    ::chmod(cluster_->path().c_str(), 0755);
    const testing::ProcessResult cluster = runShell(
        shellQuote(KARVO_SOURCE_DIR "/scripts/cluster") + " start " + shellQuote(cluster_->path()),
        cluster_->path());
    const testing::ProcessResult sshd = runShell(
        shellQuote(KARVO_SOURCE_DIR "/scripts/sshd") + " start " + shellQuote(server_->path()),
        server_->path());
    std::istringstream lines(sshd.out);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t equals = line.find('=');
      if (equals != std::string::npos) {
        (*settings_)[line.substr(0, equals)] = line.substr(equals + 1);
      }
    }
    if (cluster.status != 0 || sshd.status != 0 || settings_->size() < 6) {
      startError_ = new std::string(cluster.status != 0 ? "scripts/cluster: " + cluster.err
                                                        : "scripts/sshd: " + sshd.err);
      return;
    }
    // sbatch, squeue and scancel as the remote side offers them: each call logs its name and
    // user to "calls", then runs the real command against the suite's cluster.
    const std::string bin = cluster_->file("bin");
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
    runShell(shellQuote(KARVO_SOURCE_DIR "/scripts/sshd") + " stop " + shellQuote(server_->path()),
             server_->path());
    runShell(shellQuote(KARVO_SOURCE_DIR "/scripts/cluster") + " stop " +
                 shellQuote(cluster_->path()),
             cluster_->path());
    delete cluster_;
    delete server_;
    delete settings_;
    delete startError_;
    startError_ = nullptr;
  }
  void SetUp() override {
    if (startError_) {
      GTEST_SKIP() << "The cluster or the OpenSSH server could not be started ("
                   << *startError_ << "); submission through a login node is not tested.";
    }
    remoteRoot_ = (*settings_)["SSHD_HOME"] + "/" +
                  std::filesystem::path(root_.path()).filename().string();
    writeFile(calls(), "");
    ::chmod(calls().c_str(), 0666);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!remoteRoot_.empty()) std::filesystem::remove_all(remoteRoot_, ignored);
  }

  static std::string conf() { return cluster_->file("slurm.conf"); }
  static std::string calls() { return cluster_->file("bin/calls"); }

  // The study of slurm_study.h in `dir`, its jobs submitted through the login node "box"
  // under `remotePath` with the wrapped Slurm commands.
  static void writeStudy(const std::string& dir, SlurmStudy study,
                         const std::string& remotePath) {
    std::filesystem::create_directories(dir);
    const std::string config = (*settings_)["SSHD_CONFIG"];
    study.remoteProfile = "*DEFINE_REMOTE_MACHINE\nname: box\nplatform: Linux\nhost: karvo-sshd\n"
                          "remotePath: " + remotePath + "\nSSHcmd: ssh -F \"" + config +
                          "\"\nSCPcmd: scp -F \"" + config + "\"\n";
    study.resourceLines = "jobPrependPath: " + cluster_->file("bin") + "\n";
    writeSlurmStudy(dir, study);
  }

  static testing::ProcessResult run(const std::string& dir, bool checkSetup = true) {
    std::vector<std::string> arguments{"i=study.in"};
    if (checkSetup) arguments.push_back("checksetup");
    // No SLURM_CONF here: a Slurm command run on this machine cannot reach the cluster.
    return runKarvo(arguments, dir, {"KARVO_ROOT=" + dir});
  }

  static testing::ProcessResult slurm(const std::string& command) {
    return runShell("SLURM_CONF=" + shellQuote(conf()) + " " + command, cluster_->path());
  }
  static std::string queue() { return slurm("squeue --noheader --format='%i %T %u'").out; }
  static bool queueEmpties(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      const testing::ProcessResult listed = slurm("squeue --noheader --format=%i");
      if (listed.status == 0 && listed.out.empty()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  // Every Slurm command ran as the remote user, and `name` among them.
  static void expectCalledThere(const std::string& name) {
    const std::string log = readFile(calls());
    const std::string user = (*settings_)["SSHD_USER"];
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

  static TempDir* cluster_;
  static TempDir* server_;
  static std::map<std::string, std::string>* settings_;
  static std::string* startError_;
};

TempDir* RemoteSlurm::cluster_ = nullptr;
TempDir* RemoteSlurm::server_ = nullptr;
std::map<std::string, std::string>* RemoteSlurm::settings_ = nullptr;
std::string* RemoteSlurm::startError_ = nullptr;

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
  EXPECT_EQ(readFile(there + "/who"), (*settings_)["SSHD_USER"] + "\n");
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

// A job past maxTime is cancelled with scancel on the login node (it would sleep a minute).
TEST_F(RemoteSlurm, TimeLimitCancelsTheJobThere) {
  const std::string study = root_.file("late");
  writeStudy(study, {.script = "sleep 60\n", .extraAnalysis = "maxTime: 2\n"}, remoteRoot_);
  const testing::ProcessResult result = run(study);
  EXPECT_EQ(result.status, 133) << messages(study);
  const std::string log = analysisLog(study);
  EXPECT_THAT(log, HasLines("*WARNING\nMaximum allowed time exceeded for analysis calc of "
                            "design 1. This will be marked as completed. Will try to kill the "
                            "analysis process.\n"))
      << log;
  EXPECT_THAT(log, HasLines("*STATUS\nERROR\n"));
  EXPECT_TRUE(queueEmpties(10)) << queue();
  expectCalledThere("scancel");
}

// "stop" in the run interaction file while one job runs and another waits in the queue: both
// are cancelled on the login node.
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
