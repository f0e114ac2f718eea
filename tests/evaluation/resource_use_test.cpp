// Tests of resources at run time: allocation and release in resource sets with the usage
// reports, the choice of plain resources, and reservations carried out by small sh scripts
// standing in for a scheduler (submit, status, machine list, cancel), with their notes.
#include "evaluation/resource_use.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/study_files_fixture.h"
#include "definitions/process_file.h"
#include "platform/platform.h"

namespace karvo {
namespace {

using testing::errorBlock;
using testing::noteBlock;
using testing::readFile;
using testing::warningBlock;
using testing::writeFile;

const char* const kResourceDefinitions =
    "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
    "*DEFINE_REMOTE_MACHINE\nname: login\nplatform: Linux\nhost: login1\nusername: alice\n"
    "*DEFINE_REMOTE_MACHINE\nname: cloud\nplatform: Rescale\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: ws\ntype: Direct\nmaxJobs: 2\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: node7\ntype: Direct\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: unlimited\ntype: Direct\nmaxJobs: 0\n"
    "*DEFINE_RESOURCE_SET\nname: pool\nresources:2\nws\nnode7\n"
    "Number of evals allowed for ws: 2\nNumber of evals allowed for node7: 1\n"
    // A scheduler reached through the scripts of each test; jobs reach its nodes as "login".
    "*DEFINE_COMPUTE_RESOURCE\nname: hpc\ntype: Scheduled\njobCommand: sbatch\n"
    "jobRemoteProfile: login\nreserveEnabled: 1\n"
    "reserveSubmitCmd: sh reserve.sh %NODES% %CORES% %CPUS% %DURATION% %MEMORY% %RESVNAME%\n"
    "reserveReadID: 1\nreserveIDStart: id=\nreserveIDEnd: ;\n"
    "reserveStatusCmd: sh status.sh %RESVID%\nreserveStartedText: RUNNING\n"
    "reserveStartedCol: 2\nreserveParseCmd: sh nodes.sh %RESVID%\n"
    "reserveCancelCmd: sh cancel.sh %RESVID%\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: refusing\ntype: Scheduled\njobCommand: sbatch\n"
    "reserveEnabled: 1\nreserveSubmitCmd: echo no nodes for you; exit 3\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: silent\ntype: Scheduled\njobCommand: sbatch\n"
    "reserveEnabled: 1\nreserveSubmitCmd: echo queued\nreserveReadID: 1\n"
    "reserveIDStart: id=\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: cloudy\ntype: Scheduled\njobCommand: sbatch\n"
    "reserveEnabled: 1\nreserveSubmitCmd: true\nreserveRemoteProfile: cloud\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: instant\ntype: Scheduled\njobCommand: sbatch\n"
    "reserveEnabled: 1\nreserveSubmitCmd: true\nreserveParseCmd: true\n"
    "reserveCancelCmd: echo gone >> cancelled.txt\n"
    "*END\n";

class ResourceUseTest : public testing::StudyFilesTest {
 protected:
  void SetUp() override {
    StudyFilesTest::SetUp();
    read(kResourceDefinitions);
    clearMessages();
    resetReservations();
    reservationOptions.statusIntervalSeconds = 0;
    pool_ = resourceIndex("pool");
  }

  void TearDown() override {
    resetReservations();
    resetProcesses();
    StudyFilesTest::TearDown();
  }

  static Reservation reservation(const std::string& analysis, const std::string& resource) {
    Reservation made;
    made.name = analysis;
    made.analysisName = analysis;
    made.resourceName = resource;
    return made;
  }

  const ComputeResource& resource(int index) {
    return computeResources[static_cast<std::size_t>(index)];
  }
  const ResourceSetMember& member(int index) {
    return resource(pool_).members[static_cast<std::size_t>(index)];
  }

  int pool_ = -1;
};

// ---------------------------------------------------------------------------------------
// Resource sets

TEST_F(ResourceUseTest, SetAllocatesFirstFreeMemberInListOrder) {
  EXPECT_EQ(allocateResource(pool_, 1, false), 0);
  EXPECT_EQ(allocateResource(pool_, 2, false), 0);
  EXPECT_EQ(allocateResource(pool_, 3, false), 1);
  // Every member runs its allowed number of designs: no member.
  EXPECT_EQ(allocateResource(pool_, 4, false), -1);
  EXPECT_EQ(member(0).inUse, 2);
  EXPECT_EQ(member(1).inUse, 1);
  EXPECT_EQ(resource(pool_).jobsInUse, 3);

  EXPECT_TRUE(releaseResource(pool_, 0, 1, false));
  EXPECT_EQ(allocateResource(pool_, 5, false), 0);
  EXPECT_TRUE(releaseResource(pool_, 1, 3, false));
  EXPECT_TRUE(releaseResource(pool_, 1, 3, false));  // never below 0
  EXPECT_EQ(member(1).inUse, 0);
  EXPECT_EQ(resource(pool_).jobsInUse, 2);
  EXPECT_EQ(messages(), "");

  // Not a set, or a member outside it.
  EXPECT_EQ(allocateResource(resourceIndex("ws"), 6, false), -1);
  EXPECT_EQ(allocateResource(-1, 6, false), -1);
  EXPECT_FALSE(releaseResource(pool_, 2, 6, false));
  EXPECT_EQ(messages(), errorBlock("Error in releasing a compute resource () in the MachineSet "
                                   "\"pool\"."));
}

TEST_F(ResourceUseTest, UsageReportsAroundAllocationAndRelease) {
  allocateResource(pool_, 1, false);
  EXPECT_EQ(resourceUsageReport(resource(pool_)),
            "Usage report for the MachineSet Compute Resource \"pool\".\nws - 1/2\nnode7 - 0/1");
  clearMessages();
  EXPECT_EQ(allocateResource(pool_, 12, true), 0);
  EXPECT_EQ(releaseResource(pool_, 0, 12, true), true);
  const std::string header = "Usage report for the MachineSet Compute Resource \"pool\".";
  EXPECT_EQ(messages(),
            noteBlock("Usage summary before allocating\n" + header + "\nws - 1/2\nnode7 - 0/1") +
                noteBlock("Usage summary after allocating design number 12\n" + header +
                          "\nws - 2/2\nnode7 - 0/1") +
                noteBlock("Usage summary before free\n" + header + "\nws - 2/2\nnode7 - 0/1") +
                noteBlock("Usage summary after freeing design number 12\n" + header +
                          "\nws - 1/2\nnode7 - 0/1"));

  // A full set reports once, before.
  allocateResource(pool_, 13, false);
  allocateResource(pool_, 14, false);
  clearMessages();
  EXPECT_EQ(allocateResource(pool_, 15, true), -1);
  EXPECT_EQ(messages(), noteBlock("Usage summary before allocating\n" + header +
                                  "\nws - 2/2\nnode7 - 1/1"));
}

TEST_F(ResourceUseTest, MemberLookUpAndChoiceOfEveryKindOfResourceAndItsRelease) {
  EXPECT_EQ(findSetMember(pool_, "node7", "solve"), 1);
  EXPECT_EQ(findSetMember(pool_, "unlimited", "solve"), -1);
  EXPECT_EQ(messages(), warningBlock("Analysis solve received a request for actions related to "
                                     "compute resource \"unlimited\". However, this compute "
                                     "resource is not in the compute resource set \"pool\" "
                                     "assigned to the analysis."));

  clearMessages();
  ResourceChoice local;
  EXPECT_TRUE(chooseComputeResource("", 1, false, local));
  EXPECT_EQ(local.resource, -1);
  EXPECT_FALSE(local.held);

  // A plain resource holds at most maxJobs jobs; 0 means no limit of its own.
  const int ws = resourceIndex("ws");
  ResourceChoice a, b, c;
  EXPECT_TRUE(chooseComputeResource("ws", 1, false, a));
  EXPECT_TRUE(chooseComputeResource("ws", 2, false, b));
  EXPECT_FALSE(chooseComputeResource("ws", 3, false, c));
  EXPECT_EQ(a.resource, ws);
  EXPECT_EQ(c.resource, -1);
  EXPECT_EQ(resource(ws).jobsInUse, 2);
  releaseComputeResource(a, 1, false);
  releaseComputeResource(a, 1, false);  // released once only
  EXPECT_EQ(resource(ws).jobsInUse, 1);
  EXPECT_TRUE(chooseComputeResource("ws", 3, false, c));
  ResourceChoice any;
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(chooseComputeResource("unlimited", i, false, any));

  // A set hands out its members' resources; its counts are its own.
  ResourceChoice s1, s2, s3, s4;
  EXPECT_TRUE(chooseComputeResource("pool", 1, false, s1));
  EXPECT_TRUE(chooseComputeResource("pool", 2, false, s2));
  EXPECT_TRUE(chooseComputeResource("pool", 3, false, s3));
  EXPECT_FALSE(chooseComputeResource("pool", 4, false, s4));
  EXPECT_EQ(s1.resource, ws);
  EXPECT_EQ(s3.resource, resourceIndex("node7"));
  releaseComputeResource(s3, 3, false);
  EXPECT_EQ(member(1).inUse, 0);
  EXPECT_EQ(resource(ws).jobsInUse, 2);  // the set did not touch the plain counts

  EXPECT_FALSE(chooseComputeResource("nowhere", 1, false, s4));
  EXPECT_EQ(messages(), "");
}

// ---------------------------------------------------------------------------------------
// Reservations

class ReservationTest : public ResourceUseTest {
 protected:
  void SetUp() override {
    ResourceUseTest::SetUp();
    // The scheduler's side: the submission records its arguments; the status shows another
    // reservation running before this one does; the machine list repeats a machine.
    writeFile(dir_.file("reserve.sh"),
              "printf '%s|' \"$@\" > args.txt\necho 'Reservation id=R42; granted'\n");
    writeFile(dir_.file("status.sh"),
              "echo \"ID STATE\"\necho \"R7 RUNNING\"\n"
              "if [ -f started ]; then echo \"$1 RUNNING\"; else echo \"$1 PENDING\"; fi\n"
              "echo called >> status_calls.txt\n");
    writeFile(dir_.file("nodes.sh"), "printf 'n1\\nn2, n1\\n'\n");
    writeFile(dir_.file("cancel.sh"), "echo \"cancelled $1\" >> cancel.log\n");
  }

  int statusCalls() {
    const std::string path = dir_.file("status_calls.txt");
    if (!platform::pathExists(path)) return 0;
    const std::string text = readFile(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
};

TEST_F(ReservationTest, JobBasedReservationFromSubmitToCancel) {
  Reservation wanted = reservation("solve", "hpc");
  wanted.nodes = 3;
  wanted.cores = 4;
  wanted.memory = "16 GB";
  wanted.estimatedTime = 30;
  wanted.addedTime = 2.5;
  const int index = addReservation(wanted);
  ASSERT_EQ(index, 0);
  EXPECT_EQ(reservations[0].properties.value("allocate_type"), "job");

  EXPECT_TRUE(startReservation(index));
  EXPECT_EQ(reservations[0].state, ReservationState::kPending);
  EXPECT_EQ(reservations[0].id, "R42");
  // Nodes, cores, CPUs (3 x 4), the duration (30 + 2.5), memory, name.
  EXPECT_EQ(readFile(dir_.file("args.txt")), "3|4|12|33|16 GB|solve|");
  EXPECT_TRUE(startReservation(index));  // made once
  EXPECT_EQ(messages(), noteBlock("Creating reservation: solve") +
                            noteBlock("Kicked off reservation: solve"));

  // Pending: another reservation's line shows RUNNING, this one's does not.
  clearMessages();
  EXPECT_EQ(checkReservation(index), ReservationState::kPending);
  ResourceChoice none;
  EXPECT_FALSE(chooseReservedResource(index, none));
  EXPECT_EQ(messages(),
            noteBlock("Checking to see if the reservation \"solve\" is running.") +
                noteBlock("Received reservation running status = 0."));

  // Running: the machine list is read and one internal resource made per machine.
  writeFile(dir_.file("started"), "");
  clearMessages();
  const std::size_t before = computeResources.size();
  EXPECT_EQ(checkReservation(index), ReservationState::kRunning);
  EXPECT_EQ(messages(),
            noteBlock("Checking to see if the reservation \"solve\" is running.") +
                noteBlock("Received reservation running status = 1.") +
                noteBlock("The job based reservation \"solve\" is now running. Requesting "
                          "resources.") +
                noteBlock("Resource list received:\nn1\nn2") +
                warningBlock("The number of reserved nodes returned by the reservation (2) are "
                             "less than the number requested. Some of the nodes will be used "
                             "more than once."));
  ASSERT_EQ(computeResources.size(), before + 2);
  const ComputeResource& first = *findComputeResource("_Internal_solve_0");
  const ComputeResource& second = *findComputeResource("_Internal_solve_1");
  EXPECT_EQ(first.properties.value("computeNode"), "n1");
  EXPECT_EQ(second.computeNode, "n2");
  EXPECT_EQ(first.maxJobs, 2);  // three nodes dealt to two machines in turn
  EXPECT_EQ(second.maxJobs, 1);
  // The profile copies the reservation's, with the reserved machine as its host.
  const RemoteMachineDefinition& profile =
      remoteMachines[static_cast<std::size_t>(first.remoteMachine)];
  EXPECT_EQ(first.remoteProfile, "_Internal_solve_0");
  EXPECT_EQ(profile.properties.value("host"), "n1");
  EXPECT_EQ(profile.properties.value("username"), "alice");

  // Jobs are dealt to the machines up to their counts.
  ResourceChoice c1, c2, c3, c4;
  EXPECT_TRUE(chooseReservedResource(index, c1));
  EXPECT_TRUE(chooseReservedResource(index, c2));
  EXPECT_TRUE(chooseReservedResource(index, c3));
  EXPECT_FALSE(chooseReservedResource(index, c4));
  EXPECT_EQ(resource(c2.resource).name, "_Internal_solve_0");
  EXPECT_EQ(resource(c3.resource).name, "_Internal_solve_1");
  releaseComputeResource(c2, 1, false);
  EXPECT_TRUE(chooseReservedResource(index, c4));
  EXPECT_EQ(resource(c4.resource).name, "_Internal_solve_0");

  // Running stays running without asking again.
  const int calls = statusCalls();
  EXPECT_EQ(checkReservation(index), ReservationState::kRunning);
  EXPECT_EQ(statusCalls(), calls);

  clearMessages();
  endReservations();
  endReservations();
  EXPECT_EQ(reservations[0].state, ReservationState::kEnded);
  EXPECT_EQ(readFile(dir_.file("cancel.log")), "cancelled R42\n");
  EXPECT_EQ(messages(), noteBlock("Ending reservation: solve"));
}

TEST_F(ReservationTest, StatusCommandRunsAtMostOncePerInterval) {
  const int index = addReservation(reservation("solve", "hpc"));
  ASSERT_TRUE(startReservation(index));
  reservationOptions.statusIntervalSeconds = 3600;
  EXPECT_EQ(checkReservation(index), ReservationState::kPending);
  writeFile(dir_.file("started"), "");
  clearMessages();
  EXPECT_EQ(checkReservation(index), ReservationState::kPending);
  EXPECT_EQ(statusCalls(), 1);
  EXPECT_EQ(messages(), "");
  reservationOptions.statusIntervalSeconds = 0;
  EXPECT_EQ(checkReservation(index), ReservationState::kRunning);
  EXPECT_EQ(statusCalls(), 2);
}

TEST_F(ReservationTest, FailedReservationsSayWhyAndAdvanceOnesRunWithoutResources) {
  const int refused = addReservation(reservation("mesh", "refusing"));
  EXPECT_FALSE(startReservation(refused));
  EXPECT_EQ(reservations[static_cast<std::size_t>(refused)].state, ReservationState::kFailed);
  EXPECT_EQ(checkReservation(refused), ReservationState::kFailed);
  EXPECT_EQ(messages(), noteBlock("Creating reservation: mesh") +
                            errorBlock("Failed to create the reservation: mesh\nThe reservation "
                                       "command ended with the exit status 3:\nno nodes for "
                                       "you"));
  clearMessages();
  const int silent = addReservation(reservation("post", "silent"));
  EXPECT_FALSE(startReservation(silent));
  EXPECT_EQ(messages(), noteBlock("Creating reservation: post") +
                            errorBlock("Failed to create the reservation: post\nCould not read a "
                                       "valid reservation id (\"\") from the output of the "
                                       "reservation command:\nqueued"));
  clearMessages();
  const int cloudy = addReservation(reservation("render", "cloudy"));
  EXPECT_FALSE(startReservation(cloudy));
  EXPECT_EQ(messages(),
            noteBlock("Creating reservation: render") +
                errorBlock("Failed to create the reservation: render\nError in creating the "
                           "execution command using the remote profile \"cloud\". Original "
                           "command: \"true\".\nMessage received:\nThe remote machine \"cloud\" "
                           "is on the Rescale cloud platform. This solver has no access to cloud "
                           "platforms, so no copy or execution commands can be made for it."));
  clearMessages();
  endReservations();  // nothing was made: nothing to end
  EXPECT_EQ(messages(), "");

  Reservation advance = reservation("solve", "instant");
  advance.advance = 1;
  const int index = addReservation(advance);
  const std::size_t before = computeResources.size();
  EXPECT_TRUE(startReservation(index));
  // No status command: running as soon as it is made.
  EXPECT_EQ(reservations[static_cast<std::size_t>(index)].state, ReservationState::kRunning);
  EXPECT_EQ(reservations[static_cast<std::size_t>(index)].properties.value("allocate_type"), "advance");
  EXPECT_EQ(computeResources.size(), before);
  ResourceChoice choice;
  EXPECT_FALSE(chooseReservedResource(index, choice));
  EXPECT_EQ(messages(), noteBlock("Creating reservation: solve") +
                            noteBlock("Kicked off reservation: solve") +
                            noteBlock("The advance reservation \"solve\" is now running."));
  clearMessages();
  endReservations();
  EXPECT_EQ(readFile(dir_.file("cancelled.txt")), "gone\n");
  EXPECT_EQ(messages(), noteBlock("Ending reservation: solve"));
}

TEST_F(ReservationTest, EmptyMachineListEndsTheRun) {
  const int index = addReservation(reservation("solve", "instant"));
  EXPECT_THROW(startReservation(index), RunExit);
  EXPECT_EQ(messages(),
            noteBlock("Creating reservation: solve") + noteBlock("Kicked off reservation: solve") +
                noteBlock("The job based reservation \"solve\" is now running. Requesting "
                          "resources.") +
                noteBlock("Resource list received:") +
                testing::fatalBlock("The reservation \"solve\" returned an empty list for the "
                                    "reserved resources. The run cannot proceed."));
}

TEST_F(ReservationTest, SharedReservationsAndStartUpOfEveryAnalysis) {
  Process process;
  process.number = 1;
  for (const char* name : {"solve", "post", "mesh"}) {
    Analysis analysis;
    analysis.name = name;
    analysis.computeResource = "hpc";
    process.analyses.push_back(analysis);
  }
  Reservation shared = reservation("solve", "hpc");
  shared.name = "hpc_shared";
  shared.shared = 1;
  process.analyses[0].hasReservation = 1;
  process.analyses[0].reservation = shared;
  shared.analysisName = "post";
  process.analyses[1].hasReservation = 1;
  process.analyses[1].reservation = shared;
  processes.push_back(process);

  startAnalysisReservations();
  ASSERT_EQ(reservations.size(), 1u);
  EXPECT_EQ(reservations[0].analyses, (std::vector<std::string>{"solve", "post"}));
  EXPECT_EQ(reservationOfAnalysis("post"), 0);
  EXPECT_EQ(reservationOfAnalysis("mesh"), -1);
  EXPECT_EQ(findReservation("hpc_shared"), 0);
  EXPECT_EQ(reservations[0].state, ReservationState::kPending);
  EXPECT_EQ(messages(), noteBlock("Creating reservation: hpc_shared") +
                            noteBlock("Kicked off reservation: hpc_shared"));
}

}  // namespace
}  // namespace karvo
