// Analyses on a remote machine over a real OpenSSH server: scripts/sshd starts sshd on the
// loopback interface, once for the suite, with a key that logs in as a separate user; the
// karvo binary then runs studies whose analysis goes there through the ssh and scp commands
// of its remote profile. The suite is skipped, with the reason, when the server cannot start
// (no OpenSSH packages and no way to install them, no user account can be made).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/calc_study.h"
#include "support/test_servers.h"

namespace karvo {
namespace {

using testing::HasLines;
using testing::readFile;
using testing::runKarvo;
using testing::startTestServer;
using testing::stopTestServer;
using testing::TempDir;
using testing::TestServer;
using testing::unwrapped;

// The analysis "calc" reads its tagged input, writes the listing and notes who ran it where.
const std::string kCalc =
    "read x < calc.inp\necho \"RESULT F = $x\" > calc.out\nid -un > who\npwd > where\n";

class RemoteSsh : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new TestServer(startTestServer(kSshd)); }
  static void TearDownTestSuite() {
    stopTestServer(kSshd, *server_);
    delete server_;
  }
  void SetUp() override {
    if (!server_->startError.empty()) {
      GTEST_SKIP() << "The OpenSSH server could not be started (" << server_->startError
                   << "); the runs on a real remote machine are not tested.";
    }
    // The remote user's folder of this test, removed at its end.
    remoteRoot_ = setting("SSHD_HOME") + "/" +
                  std::filesystem::path(root_.path()).filename().string();
  }
  void TearDown() override {
    std::error_code ignored;
    if (!remoteRoot_.empty()) std::filesystem::remove_all(remoteRoot_, ignored);
  }

  static std::string setting(const std::string& name) { return server_->settings[name]; }

  // The ssh and scp commands of every profile read the server's client configuration: its
  // known-hosts file holds the server's key (and unknown keys are taken without a prompt).
  static std::string clientPrograms() {
    return "SSHcmd: ssh -F \"" + setting("SSHD_CONFIG") + "\"\nSCPcmd: scp -F \"" +
           setting("SSHD_CONFIG") + "\"\n";
  }

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

  // A check-setup run: the baseline design only.
  static testing::ProcessResult run(const std::string& dir) {
    return runKarvo({"i=study.in", "checksetup"}, dir, {"KARVO_ROOT=" + dir});
  }

  static std::string messages(const std::string& dir) {
    return unwrapped(readFile(dir + "/study.mes"));
  }
  static std::string analysisLog(const std::string& dir) {
    return unwrapped(readFile(dir + "/POST_0/Design1/calc/analysis.log"));
  }

  TempDir root_{"karvo-ssh"};
  std::string remoteRoot_;

  static constexpr const char* kSshd = KARVO_SOURCE_DIR "/scripts/sshd";
  static TestServer* server_;
};

TestServer* RemoteSsh::server_ = nullptr;

// With the port, user and key of the profile: the analysis files are copied into the remote
// study folder, the analysis runs there as the remote user, and its outputs come back to the
// local analysis folder, where the response is read.
TEST_F(RemoteSsh, AnalysisRunsThereAndItsOutputsComeBack) {
  const std::string study = root_.file("plate");
  writeStudy(study, explicitProfile(remoteRoot_), kCalc);
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
}

// The exit status of the remote analysis comes back through ssh: a script that exits with 3
// fails the analysis with that value, and the check-setup run ends in error.
TEST_F(RemoteSsh, FailingRemoteAnalysisIsReportedAsFailed) {
  const std::string study = root_.file("plate");
  writeStudy(study, explicitProfile(remoteRoot_), "echo 'RESULT F = 1' > calc.out\nexit 3\n");
  const testing::ProcessResult result = run(study);
  EXPECT_EQ(result.status, 133) << messages(study);
  const std::string log = analysisLog(study);
  EXPECT_THAT(log, HasLines("*ERROR\nThe return value (3) for the analysis command did not "
                            "match the specified value (0). This design analysis will be marked "
                            "as an error.\n"))
      << log;
  EXPECT_THAT(log, HasLines("*STATUS\nERROR\n"));
  EXPECT_TRUE(std::filesystem::exists(remoteRoot_ + "/plate/KARVO_0/Design1/calc/calc.out"));
}

}  // namespace
}  // namespace karvo
