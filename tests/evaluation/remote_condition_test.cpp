// Conditions of an analysis that runs on a remote machine, end to end: the real karvo binary
// runs a check-setup study whose only analysis runs on a remote compute resource. The "remote
// machine" is a folder of the test reached through stand-in ssh and scp programs, so whatever
// runs there leaves its files in that folder and not in the study's own analysis folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace karvo {
namespace {

using testing::HasLines;
using testing::readFile;
using testing::runKarvo;
using testing::TempDir;
using testing::unwrapped;
using testing::writeFile;

class RemoteConditionRun : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& folder : {study_, bin_, remote_}) {
      std::filesystem::create_directories(folder);
    }
    testing::writeFakeRemoteTools(bin_);
    writeFile(study_ + "/Assembly.in",
              "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
              "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
    writeFile(study_ + "/Representation0.in",
              "*VARIABLE\nname: x\nid: 1\nresolution: 11\n*END\n");
    writeFile(study_ + "/Performance0.in",
              "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
              "quadWt: 0\nlinearWt: 1\n*END\n");
    writeFile(study_ + "/study.in",
              "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\n"
              "randomSeed: 0.5\nmode: newStudy\n*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 20\n"
              "*END\n");
    // The analysis leaves "analysisRan" in its run folder on the remote machine; nothing
    // copies it back. The success condition looks for it with a command.
    writeFile(study_ + "/Process0.in",
              "*TYPE\nversion: 2019.01\n*PROCESS\nname: remote\nparallel: no\n"
              "*ANALYSIS\nname: solve\nid: 1\ncomputeResource: farNode\n"
              "*EXECUTION_DEFINITION\ntoolCmd: touch analysisRan\n"
              "successCondition: ranThere\nfinishCheckFrequency: 1\n*END\n");
  }

  void writeDefinitions(const std::string& conditionCommand) {
    writeFile(study_ + "/Definitions.in",
              "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
              "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\n"
              "max: 2\n"
              "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x*x\n"
              "*DEFINE_REMOTE_MACHINE\nname: cluster\nplatform: Linux\nhost: hpc1\n"
              "username: ana\nremotePath: " + remote_ + "\nSSHcmd: " + bin_ + "/ssh\n"
              "SCPcmd: " + bin_ + "/scp\n"
              "*DEFINE_COMPUTE_RESOURCE\nname: farNode\ntype: Direct\njobRemote: yes\n"
              "jobRemoteProfile: cluster\n"
              "*DEFINE_CONDITION\nname: ranThere\ntype: Command\ncommand: " +
                  conditionCommand + "\ncmdCheck: yes\ncmdVal: 0\n*END\n");
  }

  testing::ProcessResult runCheckSetup() {
    return runKarvo({"i=study.in", "checksetup"}, study_,
                    {"KARVO_ROOT=" KARVO_SOURCE_DIR, "PATH=" + bin_ + ":/usr/bin:/bin"});
  }

  // The one file called `name` below `folder`; "" when there is none.
  static std::string findBelow(const std::string& folder, const std::string& name) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      if (entry.path().filename() == name) return entry.path().string();
    }
    return "";
  }

  TempDir root_;
  std::string study_ = root_.file("study"), bin_ = root_.file("bin"),
              remote_ = root_.file("remote");
};

// The success condition's command runs in the analysis's run folder on the remote machine,
// through ssh and the analysis's shell: it finds the file the analysis left there, so the
// baseline design succeeds. (Run on this machine, it would not find the file and the run
// would end with "The baseline design evaluation for agent 0 was unsuccessful.")
TEST_F(RemoteConditionRun, CommandOfTheConditionRunsOnTheRemoteMachine) {
  writeDefinitions("test -f analysisRan && pwd > conditionRanIn");
  const testing::ProcessResult result = runCheckSetup();
  const std::string messages = readFile(study_ + "/study.mes");
  ASSERT_EQ(result.status, 0) << messages;

  const std::string remoteAnalysis = findBelow(remote_, "analysisRan");
  ASSERT_FALSE(remoteAnalysis.empty());
  const std::string remoteFolder = std::filesystem::path(remoteAnalysis).parent_path().string();
  EXPECT_EQ(readFile(remoteFolder + "/conditionRanIn"), remoteFolder + "\n");
  EXPECT_EQ(findBelow(study_, "conditionRanIn"), "");
  EXPECT_THAT(unwrapped(messages), HasLines("*NOTE\nCheck-setup run of agent 0 (\"sizing\"): "
                                            "baseline design 1, status FEASIBLE, performance "
                                            "-1.\nf = 1\n"));
  // The command line that reached the remote machine: the analysis's shell (/bin/bash by
  // default) runs the command in the remote run folder.
  EXPECT_THAT(readFile(bin_ + "/ssh.log"),
              HasLines("[-n][-o][BatchMode=yes][ana@hpc1][/bin/bash -c 'cd " + remoteFolder +
                       " && test -f analysisRan && pwd > conditionRanIn']\n"));
}

// A condition command that fails on the remote machine fails the analysis there too: the
// baseline design is unsuccessful and the run ends with exit status 133.
TEST_F(RemoteConditionRun, FailingRemoteCommandFailsTheAnalysis) {
  writeDefinitions("test -f neverWritten");
  const testing::ProcessResult result = runCheckSetup();
  EXPECT_EQ(result.status, 133);
  EXPECT_THAT(unwrapped(readFile(study_ + "/study.mes")),
              HasLines("The baseline design evaluation for agent 0 was unsuccessful.\n"));
}

}  // namespace
}  // namespace karvo
