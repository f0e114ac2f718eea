// Analyses on remote machines: the OpenSSH server of scripts/sshd on the loopback interface,
// with a key that logs in as a separate user, and the one-node Slurm cluster of
// scripts/cluster, each started once for the program; runs of the karvo binary whose analysis
// goes there through the ssh and scp commands of its remote profile, directly (RemoteSsh) or
// as a job submitted through the login node (RemoteSlurm). The Slurm commands on the remote
// side are wrappers (the resource's jobPrependPath) that log the user they run as, so that a
// command run here instead of there shows. A suite is skipped, with the reason, when a server
// it needs cannot start.
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
#include "support/calc_study.h"
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

constexpr const char* kSshd = KARVO_SOURCE_DIR "/scripts/sshd";
constexpr const char* kCluster = KARVO_SOURCE_DIR "/scripts/cluster";

// The sshd of both suites: started with the first test that needs it, stopped after the last
// test of the program.
TestServer* sshd = nullptr;
class SshdEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    if (sshd) stopTestServer(kSshd, *sshd);
    delete sshd;
    sshd = nullptr;
  }
};
const auto* const sshdEnvironment = ::testing::AddGlobalTestEnvironment(new SshdEnvironment);

// A test with the remote user's folder of its own (`remoteRoot_`), removed at its end.
class RemoteMachine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!sshd) sshd = new TestServer(startTestServer(kSshd));
  }
  void SetUp() override {
    if (!sshd->startError.empty()) {
      GTEST_SKIP() << "The OpenSSH server could not be started (" << sshd->startError
                   << "); the runs on a real remote machine are not tested.";
    }
    remoteRoot_ = setting("SSHD_HOME") + "/" +
                  std::filesystem::path(root_.path()).filename().string();
  }
  void TearDown() override {
    std::error_code ignored;
    if (!remoteRoot_.empty()) std::filesystem::remove_all(remoteRoot_, ignored);
  }

  static std::string setting(const std::string& name) { return sshd->settings[name]; }
  // The ssh and scp commands of every profile read the server's client configuration: its
  // known-hosts file holds the server's key (and unknown keys are taken without a prompt).
  static std::string clientPrograms() {
    return "SSHcmd: ssh -F \"" + setting("SSHD_CONFIG") + "\"\nSCPcmd: scp -F \"" +
           setting("SSHD_CONFIG") + "\"\n";
  }
  // A check-setup run (the baseline design only) or a whole one. No SLURM_CONF: a Slurm
  // command run on this machine cannot reach the cluster.
  static testing::ProcessResult run(const std::string& dir, bool checkSetup = true) {
    std::vector<std::string> arguments{"i=study.in"};
    if (checkSetup) arguments.push_back("checksetup");
    return runKarvo(arguments, dir, {"KARVO_ROOT=" + dir});
  }
  static std::string messages(const std::string& dir) {
    return unwrapped(readFile(dir + "/study.mes"));
  }
  static std::string analysisLog(const std::string& dir, int design = 1) {
    return unwrapped(
        readFile(dir + "/POST_0/Design" + std::to_string(design) + "/calc/analysis.log"));
  }

  TempDir root_{"karvo-remote-study"};
  std::string remoteRoot_;
};

class RemoteSlurm : public RemoteMachine {
 protected:
  static void SetUpTestSuite() {
    RemoteMachine::SetUpTestSuite();
    cluster_ = new TestServer(startTestServer(kCluster));
    if (!cluster_->startError.empty()) return;
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
    stopTestServer(kCluster, *cluster_);
    delete cluster_;
  }
  void SetUp() override {
    if (!cluster_->startError.empty()) {
      GTEST_SKIP() << "The cluster could not be started (" << cluster_->startError
                   << "); submission through a login node is not tested.";
    }
    RemoteMachine::SetUp();
    if (IsSkipped()) return;
    writeFile(calls(), "");
    ::chmod(calls().c_str(), 0666);
  }
  static std::string conf() { return cluster_->dir->file("slurm.conf"); }
  static std::string calls() { return cluster_->dir->file("bin/calls"); }

  // The study of slurm_study.h in `dir`, its jobs submitted through the login node "box"
  // under `remotePath` with the wrapped Slurm commands.
  static void writeStudy(const std::string& dir, SlurmStudy study,
                         const std::string& remotePath) {
    std::filesystem::create_directories(dir);
    study.remoteProfile = "*DEFINE_REMOTE_MACHINE\nname: box\nplatform: Linux\nhost: karvo-sshd\n"
                          "remotePath: " + remotePath + "\n" + clientPrograms();
    study.resourceLines = "jobPrependPath: " + cluster_->dir->file("bin") + "\n";
    writeSlurmStudy(dir, study);
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

  static TestServer* cluster_;
};

TestServer* RemoteSlurm::cluster_ = nullptr;

// Blanks in the local study folder and in the remote path, which is relative to the remote
// user's home folder, with the machine reached through the host alias of an ssh
// configuration: the analysis folder goes to the login node, sbatch there queues the job as
// the remote user, squeue there sees its end, the outputs come back and the job's output
// reaches the local analysis log. A job that exits with 3, run side by side, fails its
// analysis with that value.
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

// The analysis "calc" reads its tagged input, writes the listing and notes who ran it where.
const std::string kCalc =
    "read x < calc.inp\necho \"RESULT F = $x\" > calc.out\nid -un > who\npwd > where\n";

class RemoteSsh : public RemoteMachine {
 protected:
  // The profile with the address, port, user and key written in it.
  static std::string explicitProfile(const std::string& remotePath) {
    return "*DEFINE_REMOTE_MACHINE\nname: box\nplatform: Linux\nhost: 127.0.0.1\nport: " +
           setting("SSHD_PORT") + "\nusername: " + setting("SSHD_USER") +
           "\nprivateKey: " + setting("SSHD_KEY") + "\nremotePath: " + remotePath + "\n" +
           clientPrograms();
  }

  // A study in `dir` whose one analysis "calc" runs `script` on the resource "far", a Direct
  // resource on the remote machine `profile`; its outputs "calc.out", "who" and "where" are
  // copied back.
  static void writeStudy(const std::string& dir, const std::string& profile,
                         const std::string& script) {
    std::filesystem::create_directories(dir);
    testing::writeCalcStudy(
        dir, {.script = script,
              .extraAnalysis = "outputFile: who\noutputFile: where\ncomputeResource: far\n",
              .extraExecution = "finishCheckFrequency: 1\n",
              .extraDefinitions = profile + "*DEFINE_COMPUTE_RESOURCE\nname: far\ntype: Direct\n"
                                            "jobRemote: yes\njobRemoteProfile: box\n",
              .withFormula = false});
  }
};

// With the port, user and key of the profile: the analysis files are copied into the remote
// study folder, the analysis runs there as the remote user, and its outputs come back to the
// local analysis folder, where the response is read. The exit status comes back through ssh:
// a script that exits with 3, run side by side, fails its analysis with that value.
TEST_F(RemoteSsh, AnalysisRunsThereAndItsOutputsAndExitStatusComeBack) {
  const std::string study = root_.file("plate");
  const std::string bad = root_.file("bad");
  writeStudy(study, explicitProfile(remoteRoot_), kCalc);
  writeStudy(bad, explicitProfile(remoteRoot_), "echo 'RESULT F = 1' > calc.out\nexit 3\n");
  auto failing = std::async(std::launch::async, [&] { return run(bad); });
  const testing::ProcessResult result = run(study);
  ASSERT_EQ(result.status, 0) << messages(study) << analysisLog(study);

  const std::string remoteRun = remoteRoot_ + "/plate/KARVO_0/Design1/calc";
  EXPECT_EQ(readFile(remoteRun + "/calc.inp"), "1.50000\n");
  EXPECT_EQ(readFile(remoteRun + "/calc.sh"), kCalc);
  EXPECT_EQ(readFile(remoteRoot_ + "/plate/calc.sh"), kCalc);
  const std::string local = study + "/demo_0/Design1/calc";
  EXPECT_EQ(readFile(local + "/calc.out"), "RESULT F = 1.50000\n");
  EXPECT_EQ(readFile(local + "/who"), setting("SSHD_USER") + "\n");
  EXPECT_EQ(readFile(local + "/where"), remoteRun + "\n");

  const std::string log = analysisLog(study);
  EXPECT_THAT(log, HasLines("*NOTE\nCompute resource used: far\n"));
  EXPECT_THAT(log, HasLines("*NOTE\nCopying output file calc.out from the remote machine back "
                            "to the analysis folder on the local machine.\n"));
  EXPECT_THAT(log, HasLines("*STATUS\nSUCCESS\n"));
  // chmod and dos2unix ran there on the copied scripts without a complaint.
  EXPECT_EQ(log.find("*WARNING"), std::string::npos) << log;
  EXPECT_THAT(messages(study), HasLines("f = 1.5\n"));

  EXPECT_EQ(failing.get().status, 133) << messages(bad);
  EXPECT_THAT(analysisLog(bad), HasLines("*ERROR\nThe return value (3) for the analysis command "
                                         "did not match the specified value (0). This design "
                                         "analysis will be marked as an error.\n"))
      << analysisLog(bad);
  EXPECT_TRUE(std::filesystem::exists(remoteRoot_ + "/bad/KARVO_0/Design1/calc/calc.out"));
}

}  // namespace
}  // namespace karvo
