// Tests of the compute-resource, resource-set, remote-machine and condition records of
// "Definitions.in": what the tables hold and the exact text of every definition error.
#include "definitions/resources.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/definition_place.h"
#include "support/study_files_fixture.h"
#include "definitions/reader.h"
#include "platform/platform.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;
using testing::errorPlace;
using testing::definitionsError;
using testing::fatalBlock;
using testing::noteBlock;

class ResourcesTest : public testing::StudyFilesTest {
 protected:
  void SetUp() override {
    StudyFilesTest::SetUp();
    hadRoot_ = platform::hasEnv("KARVO_ROOT");
    savedRoot_ = platform::getEnv("KARVO_ROOT");
    platform::unsetEnv("KARVO_ROOT");
  }
  void TearDown() override {
    if (hadRoot_) {
      platform::setEnv("KARVO_ROOT", savedRoot_);
    } else {
      platform::unsetEnv("KARVO_ROOT");
    }
    StudyFilesTest::TearDown();
  }

  bool hadRoot_ = false;
  std::string savedRoot_;
};

const char* kLocal = "*DEFINE_COMPUTE_RESOURCE\nname: local\ntype: Direct\n";
const char* kNodeA = "*DEFINE_COMPUTE_RESOURCE\nname: nodeA\ntype: Direct\nmaxJobs: 4\n";

// ---------------------------------------------------------------------------------------
// Remote machines

TEST_F(ResourcesTest, RemoteMachineKeepsItsRecordAndGainsTheInstallationPaths) {
  platform::setEnv("KARVO_ROOT", "/opt/karvo/platform/linux");
  read("*DEFINE_REMOTE_MACHINE\nname: cluster\nplatform: Linux\nhost: head1\nusername: ann\n"
       "*DEFINE_REMOTE_MACHINE\nname: win\nplatform: Windows\npythonCommand: C:\\py\\python\n");
  const RemoteMachineDefinition* cluster = findRemoteMachine("cluster");
  ASSERT_NE(cluster, nullptr);
  EXPECT_EQ(cluster->properties.value("username"), "ann");
  EXPECT_EQ(cluster->properties.value("templatePath"),
            "/opt/karvo/platform/linux/../../res/jobcontrollers");
  EXPECT_EQ(cluster->properties.value("pythonCommand"), "/opt/karvo/platform/linux/python");
  EXPECT_EQ(findRemoteMachine("win")->properties.value("pythonCommand"), "C:\\py\\python");
  EXPECT_EQ(cluster->recordText, "name: cluster\nplatform: Linux\nhost: head1\nusername: ann");
}

TEST_F(ResourcesTest, RemoteMachineErrors) {
  EXPECT_EQ(readFatal("*DEFINE_REMOTE_MACHINE\nname: m\nplatform: linux\n"),
            fatalBlock("Error in the definition of the platform for the remote machine \"m\". The "
                       "valid options are \"Windows\", \"Linux\" or \"Rescale\", found "
                       "\"linux\"." + errorPlace("platform", "Remote Machine Profile", "m")));
  EXPECT_EQ(readFatal("*DEFINE_REMOTE_MACHINE\nname: m\nplatform: Rescale\n"
                      "*DEFINE_REMOTE_MACHINE\nname: m\nplatform: Linux\n"),
            fatalBlock("Error in the definition of the remote machine \"m\". The name has already "
                       "been used. The remote machine names need to be unique."));
}

// ---------------------------------------------------------------------------------------
// Compute resources

TEST_F(ResourcesTest, CapacityDefaultsByTypeAndTheRecordIsTheResourceBlock) {
  read(std::string(kLocal) + kNodeA +
       "*DEFINE_COMPUTE_RESOURCE\nname: slurm\ntype: Scheduled\njobCommand: sbatch\n"
       "jobCommand: qsub\nfinishFindJob: Name\nmachineList:2\nn1\nn2\nreserveEnabled: yes\n"
       "reserveStartedCol: 5\n"
       "*DEFINE_COMPUTE_RESOURCE\nname: cloud\ntype: Rescale\nplatform: Rescale\n");
  EXPECT_EQ(findComputeResource("local")->maxJobs, 1);
  EXPECT_EQ(findComputeResource("nodeA")->maxJobs, 4);
  const ComputeResource* slurm = findComputeResource("slurm");
  EXPECT_EQ(slurm->maxJobs, 0);
  EXPECT_EQ(slurm->properties.value("jobCommand"), "sbatch");  // the first line wins
  EXPECT_THAT(slurm->machineList, ElementsAre("n1", "n2"));
  EXPECT_EQ(slurm->reservation.startedCol, 5);  // for the reservations of its analyses
  EXPECT_EQ(findComputeResource("cloud")->maxJobs, 0);
  EXPECT_EQ(resourceIndex("slurm"), 2);
}

TEST_F(ResourcesTest, RemoteResourceMayNameAProfileDefinedLaterInTheFile) {
  read("*DEFINE_COMPUTE_RESOURCE\nname: far\ntype: Direct\njobRemote: yes\n"
       "jobRemoteProfile: cluster\ncomputeNode: node7\n"
       "*DEFINE_REMOTE_MACHINE\nname: cluster\nplatform: Linux\nhost: head1\n");
  EXPECT_EQ(findComputeResource("far")->remoteMachine, 0);
}

TEST_F(ResourcesTest, ComputeResourceErrors) {
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Grid\n"),
            fatalBlock("Error in the definition of a compute resource. Unsupported type \"Grid\" "
                       "defined." + errorPlace("type", "Compute Resource", "r")));
  EXPECT_EQ(readFatal(std::string(kLocal) + kLocal),
            fatalBlock("Error in the definition of the Compute Resource \"local\". The name has "
                       "already been used by another compute resource or compute set. The names "
                       "need to be unique."));
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\njobUseTemplate: 2\n"),
            fatalBlock("Error in the analysis data definition. The Use job template flag can only "
                       "be 0 (don't use) or 1 (use), found 2."
                       + errorPlace("jobUseTemplate", "Compute Resource", "r")));
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Direct\njobRemote: yes\n"
                      "jobRemoteProfile: nowhere\n"),
            fatalBlock("Error in the definition of the Compute Resource \"r\". The remote profile "
                       "selected \"nowhere\" has not been defined for this project."
                       + errorPlace("jobRemoteProfile", "Compute Resource", "r")));
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\nfinishFindJob: Job\n"),
            fatalBlock("Error in the definition of the Compute Resource \"r\". The value \"Job\" "
                       "of \"finishFindJob\" is not supported. Valid options are \"ID\", \"Name\" "
                       "or no value." + errorPlace("finishFindJob", "Compute Resource", "r")));
}

TEST_F(ResourcesTest, StatusCheckByJobIdNeedsTheJobIdRead) {
  const std::string label =
      "jobReadID (which must be defined since status check command is based on job id)";
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\nfinishFindJob: ID\n"),
            fatalBlock(definitionsError("r", "Compute Resource", label,
                                        "The property is not defined.")));
  EXPECT_EQ(readFatal("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\njobReadID: no\n"
                      "finishCmd: squeue -j %JOBID%\n"),
            fatalBlock(definitionsError("r", "Compute Resource", label,
                                        "The value 0 turns reading the job id off.")));
  read("*DEFINE_COMPUTE_RESOURCE\nname: r\ntype: Scheduled\njobReadID: yes\nfinishFindJob: id\n");
  EXPECT_EQ(findComputeResource("r")->readJobId, 1);
}

// ---------------------------------------------------------------------------------------
// Resource sets

TEST_F(ResourcesTest, ResourceSetMembersWithTheirAllowedCounts) {
  read(std::string(kLocal) + kNodeA +
       "*DEFINE_RESOURCE_SET\nname: pool\nresources:2\nlocal\nnodeA\n"
       "Number of evals allowed for local: 1\nNumber of evals allowed for nodeA: 3\n"
       "*DEFINE_COMPUTE_RESOURCE\nname: pool2\ntype: Machine Set\nresources: nodeA\n"
       "Number of evals allowed for nodeA: 2\n");
  const ComputeResource* pool = findComputeResource("pool");
  ASSERT_EQ(pool->members.size(), 2u);
  EXPECT_EQ(pool->members[1].resource, 1);
  EXPECT_EQ(pool->members[1].allowed, 3);
  EXPECT_EQ(pool->maxJobs, 4);
  EXPECT_EQ(pool->properties.value("type"), "Machine Set");
  EXPECT_EQ(findComputeResource("pool2")->maxJobs, 2);
}

TEST_F(ResourcesTest, ResourceSetErrors) {
  EXPECT_EQ(readFatal("*DEFINE_RESOURCE_SET\nname: pool\nresources: local\n"
                      "Number of evals allowed for local: 1\n" + std::string(kLocal)),
            fatalBlock("There are no valid compute resources defined. All compute resource "
                       "definitions should appear before the compute set \"pool\" definition ."));
  EXPECT_EQ(readFatal(std::string(kLocal) + "*DEFINE_RESOURCE_SET\nname: pool\nresources: nodeA\n"),
            fatalBlock("Error in the definition of the compute set \"pool\". The compute resource "
                       "\"nodeA\" has not been defined. All compute resource definitions should "
                       "appear before the compute set definition."
                       + errorPlace("resources", "Compute Set Resource", "pool", 4)));
  EXPECT_EQ(readFatal(std::string(kLocal) + "*DEFINE_RESOURCE_SET\nname: pool\nresources:2\n"
                                            "local\nlocal\nNumber of evals allowed for local: 1\n"),
            fatalBlock("Error in the definition of the compute set \"pool\". The compute resource "
                       "\"local\" is listed more than once."
                       + errorPlace("resources", "Compute Set Resource", "pool", 4)));
  EXPECT_EQ(readFatal(std::string(kLocal) + "*DEFINE_RESOURCE_SET\nname: a\nresources: local\n"
                                            "Number of evals allowed for local: 1\n"
                                            "*DEFINE_RESOURCE_SET\nname: b\nresources: a\n"),
            fatalBlock("Error in the definition of the compute set \"b\". The member \"a\" is "
                       "itself a compute set; a set can only hold compute resources."
                       + errorPlace("resources", "Compute Set Resource", "b", 8)));
  EXPECT_EQ(readFatal(std::string(kLocal) + "*DEFINE_RESOURCE_SET\nname: pool\nresources:0\n"),
            fatalBlock("Error in the definition of the compute set \"pool\". The set has no "
                       "member resources."
                       + errorPlace("resources", "Compute Set Resource", "pool", 4)));
}

// ---------------------------------------------------------------------------------------
// Conditions

TEST_F(ResourcesTest, ConditionsOfEveryType) {
  read("*DEFINE_CONDITION\nname: f\ntype: Formula\nformula:2\na = x + 1\n_result = a > 2\n"
       "*DEFINE_CONDITION\nname: p\ntype: Parameter\nparamRef: x\nparamOp: <=\nparamVal: 2.5\n"
       "*DEFINE_CONDITION\nname: fe\ntype: FileNotExist\nfileType: output\nfileRef: err.log\n"
       "*DEFINE_CONDITION\nname: fc\ntype: FileContain\nfileType: output\nfileRef: run.log\n"
       "findText: NORMAL TERMINATION\n"
       "*DEFINE_CONDITION\nname: as\ntype: AnalysisStatus\nstatusRef: solve\nstatusVal: Skipped\n"
       "*DEFINE_CONDITION\nname: c\ntype: CommandContain\ncmd: grep -c ok log\ncmdText: 1\n"
       "*DEFINE_CONDITION\nname: c2\ntype: Command\ncommand: test -f a\ncmdCheck: yes\n"
       "cmdVal: 0\n"
       "*DEFINE_CONDITION\nname: sj\ntype: ScheduledJob\ncommand: squeue\nfind: ID\n"
       "*DEFINE_CONDITION\nname: all\ntype: composite\ncondName: p\ncondBool: 1\ncondName: fe\n"
       "condBool: 0\ncondName: later\n"
       "*DEFINE_CONDITION\nname: later\ntype: ResponseStatus\nstatusRef: mass\n"
       "statusVal: Feasible\n");
  EXPECT_THAT(findCondition("f")->formula, ElementsAre("a = x + 1", "_result = a > 2"));
  EXPECT_EQ(findCondition("p")->paramVal, 2.5);
  EXPECT_EQ(findCondition("as")->statusVal, StatusWord::Skipped);
  // "CommandContain" is a command condition that looks for text.
  EXPECT_EQ(findCondition("c")->type, ConditionType::Command);
  EXPECT_EQ(findCondition("c")->command, "grep -c ok log");
  const Condition* all = findCondition("all");
  ASSERT_EQ(all->members.size(), 3u);
  EXPECT_EQ(all->members[0].andNext, 1);
  EXPECT_EQ(all->members[1].andNext, 0);
  EXPECT_EQ(all->members[2].condition, 9);  // defined after the composite
}

TEST_F(ResourcesTest, ConditionErrors) {
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: c\ntype: Sometimes\n"),
            fatalBlock("Error in the definition of a condition. The defined type \"Sometimes\" is "
                       "not supported." + errorPlace("type", "Condition Resource", "c")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: c\ntype: Command\ncommand: true\n"),
            fatalBlock("Error in the definition of the command condition \"c\". The condition "
                       "neither checks for the return flag nor text in the output"
                       + errorPlace("cmdCheck", "Condition Resource", "c")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: a\ntype: composite\ncondName: b\n"
                      "*DEFINE_CONDITION\nname: b\ntype: composite\n"),
            fatalBlock("Error in the definition of the \"a\" Composite Condition Definition. "
                       "Cannot use another composite condition in its definition."
                       + errorPlace("condName", "Condition Resource", "a")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: a\ntype: composite\ncondName: ghost\n"),
            fatalBlock("Error in the definition of the \"a\" Composite Condition Definition. The "
                       "condition \"ghost\" has not been defined."
                       + errorPlace("condName", "Condition Resource", "a")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: a\ntype: composite\ncondName: x\ncondName: y\n"),
            fatalBlock("Error in the definition of the \"a\" Composite Condition Definition. The "
                       "condition \"x\" has no \"condBool\" value to combine it with the next "
                       "condition." + errorPlace("condBool", "Condition Resource", "a")));
  // The status words are matched exactly (what each matches: the tests of the conditions).
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: s\ntype: AnalysisStatus\nstatusRef: a\n"
                      "statusVal: success\n"),
            fatalBlock("Error in the definition of the condition \"s\". The status \"success\" "
                       "is not supported. Valid options are Evaluated, Skipped, Success, Error, "
                       "Feasible or Infeasible." +
                       errorPlace("statusVal", "Condition Resource", "s")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: s\ntype: ScheduledJob\ncommand: squeue\n"
                      "find: Number\n"),
            fatalBlock("Error in the definition of the condition \"s\". The Find field of a "
                       "scheduled job condition must be \"Name\" or \"ID\", found \"Number\"."
                       + errorPlace("Find", "Condition Resource", "s")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: s\ntype: FileContain\nfileType: output\n"
                      "fileRef: a.log\n"),
            fatalBlock("Error in the definition of the condition \"s\". The condition names no "
                       "text to look for (\"findText\" or \"findRef\")."
                       + errorPlace("findText", "Condition Resource", "s")));
  EXPECT_EQ(readFatal("*DEFINE_CONDITION\nname: p\ntype: FileExist\nfileType: a\nfileRef: b\n"
                      "*DEFINE_CONDITION\nname: p\ntype: FileExist\n"),
            fatalBlock("Error in the definition of a condition. The condition name \"p\" has "
                       "already been used. The condition names need to be unique."));
}

}  // namespace
}  // namespace karvo
