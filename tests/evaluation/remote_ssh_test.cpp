// Analyses on a remote machine over a real OpenSSH server: scripts/sshd starts sshd on the
// loopback interface, once for the suite, with a key that logs in as a separate user; the
// karvo binary then runs studies whose analysis goes there through the ssh and scp commands
// of its remote profile. The suite is skipped, with the reason, when the server cannot start
// (no OpenSSH packages and no way to install them, no user account can be made).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace karvo {
namespace {

using testing::HasLines;
using testing::readFile;
using testing::runKarvo;
using testing::runShell;
using testing::shellQuote;
using testing::TempDir;
using testing::unwrapped;
using testing::writeFile;

// The analysis "calc" reads its tagged input, writes the listing and notes who ran it where.
const std::string kCalc =
    "read x < calc.inp\necho \"RESULT F = $x\" > calc.out\nid -un > who\npwd > where\n";

class RemoteSsh : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new TempDir("karvo-sshd");
    settings_ = new std::map<std::string, std::string>;
    const testing::ProcessResult start = runShell(
        shellQuote(KARVO_SOURCE_DIR "/scripts/sshd") + " start " + shellQuote(server_->path()),
        server_->path());
    std::istringstream lines(start.out);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t equals = line.find('=');
      if (equals == std::string::npos) continue;
      (*settings_)[line.substr(0, equals)] = line.substr(equals + 1);
    }
    if (start.status != 0 || settings_->size() < 6) {
      std::string reason = start.err;
      while (!reason.empty() && reason.back() == '\n') reason.pop_back();
      startError_ = new std::string("exit status " + std::to_string(start.status) + ": " + reason);
    }
  }
  static void TearDownTestSuite() {
    runShell(shellQuote(KARVO_SOURCE_DIR "/scripts/sshd") + " stop " + shellQuote(server_->path()),
             server_->path());
    delete server_;
    delete settings_;
    delete startError_;
    server_ = nullptr;
    settings_ = nullptr;
    startError_ = nullptr;
  }
  void SetUp() override {
    if (startError_) {
      GTEST_SKIP() << "The OpenSSH server could not be started by scripts/sshd (" << *startError_
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

  static std::string setting(const std::string& name) { return (*settings_)[name]; }

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

  // The profile that names the host alias of the client configuration, which holds the
  // address, port, user and key.
  static std::string aliasProfile(const std::string& remotePath) {
    return "*DEFINE_REMOTE_MACHINE\nname: box\nplatform: Linux\nhost: karvo-sshd\n"
           "remotePath: " + remotePath + "\n" + clientPrograms();
  }

  // A study in `dir` whose one analysis "calc" runs `script` on the resource "far", a Direct
  // resource on the remote machine `profile`; its outputs "calc.out", "who" and "where" are
  // copied back.
  static void writeStudy(const std::string& dir, const std::string& profile,
                         const std::string& script) {
    std::filesystem::create_directories(dir);
    writeFile(dir + "/Assembly.in",
              "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
              "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
    writeFile(dir + "/Definitions.in",
              "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
              "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1.5\n"
              "max: 2\n*DEFINE_RESPONSE\nname: f\ntype: File\n" + profile +
                  "*DEFINE_COMPUTE_RESOURCE\nname: far\ntype: Direct\njobRemote: yes\n"
                  "jobRemoteProfile: box\n*END\n");
    writeFile(dir + "/Representation0.in", "*VARIABLE\nname: x\nid: 1\nresolution: 5\n*END\n");
    writeFile(dir + "/Performance0.in",
              "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
              "quadWt: 0\nlinearWt: 1\n*END\n");
    writeFile(dir + "/calc.tpl", "{{x}}\n");
    writeFile(dir + "/calc.sh", script);
    writeFile(dir + "/f.def", "file: calc.out\nanchor: RESULT F\nword: 4\n");
    writeFile(dir + "/Process0.in",
              "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\n"
              "name: calc\nid: 1\ninputFile: calc.sh, studyFolder, , file, yes\n"
              "inputTagFile: calc.tpl, calc.inp\noutputFile: calc.out\noutputFile: who\n"
              "outputFile: where\noutputTagFile: f, f.def\noutputResponse: f\n"
              "computeResource: far\n*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\n"
              "successReturnValue: 0\nfinishCheckFrequency: 1\n*END\n");
    writeFile(dir + "/study.in",
              "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\n"
              "randomSeed: 0.5\nmode: newStudy\n*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 20\n"
              "*END\n");
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

  static TempDir* server_;
  static std::map<std::string, std::string>* settings_;
  static std::string* startError_;
};

TempDir* RemoteSsh::server_ = nullptr;
std::map<std::string, std::string>* RemoteSsh::settings_ = nullptr;
std::string* RemoteSsh::startError_ = nullptr;

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

// Blanks in the local study folder and in the remote path, with the machine reached through
// the host alias of an ssh configuration file: every copy and the run quote them.
TEST_F(RemoteSsh, FolderNamesWithBlanksThroughAHostAlias) {
  const std::string study = root_.file("plate study");
  const std::string remotePath = remoteRoot_ + "/runs here";
  writeStudy(study, aliasProfile(remotePath), kCalc);
  const testing::ProcessResult result = run(study);
  ASSERT_EQ(result.status, 0) << messages(study) << analysisLog(study);

  const std::string remoteRun = remotePath + "/plate study/KARVO_0/Design1/calc";
  EXPECT_EQ(readFile(remoteRun + "/calc.inp"), "1.50000\n");
  const std::string local = study + "/demo_0/Design1/calc";
  EXPECT_EQ(readFile(local + "/calc.out"), "RESULT F = 1.50000\n");
  EXPECT_EQ(readFile(local + "/where"), remoteRun + "\n");
  EXPECT_THAT(analysisLog(study), HasLines("*STATUS\nSUCCESS\n"));
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
