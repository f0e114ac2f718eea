// Runs of the karvo binary against real daemons on this machine: the one-node Slurm cluster
// of scripts/cluster, whose analysis jobs go through sbatch, squeue and scancel (SlurmRun),
// and the OpenSSH server of scripts/sshd on the loopback interface, with a key that logs in
// as a separate user, reached through the ssh and scp commands of a remote profile, directly
// (RemoteSsh) or as a job submitted through the login node (RemoteSlurm). The Slurm commands
// of the login node are wrappers (the resource's jobPrependPath) that log the user they run
// as, so that a command run here instead of there shows. Each server is started once for the
// program; a suite is skipped, with the reason, when a server it needs cannot start (no
// packages and no way to install them, daemons refused, no user account can be made).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

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
using testing::startTestServer;
using testing::stopTestServer;
using testing::TempDir;
using testing::TestServer;
using testing::unwrapped;
using testing::writeFile;

// ---- The small study of the Slurm runs: one analysis that runs as a batch job of the cluster,
// submitted from this machine or through the login node.

// The resource as docs/scale-out.md writes it: the id read back from sbatch, the job queued
// until squeue shows it RUNNING, ended once squeue answers without it, killed with scancel.
// `submitOptions` are added to sbatch ("--exclusive": one job on the node at a time).
std::string slurmResource(const std::string& submitOptions = "") {
  return "*DEFINE_COMPUTE_RESOURCE\nname: slurm\ntype: Scheduled\n"
         "jobCommand: sbatch --job-name=%JOBNAME% --output=slurm.out " + submitOptions + "\n"
         "jobReadID: 1\njobIDStart: Submitted batch job\n"
         "finishCmd: squeue --noheader --format=\"%i %T\"\nfinishCmdCheck: 1\n"
         "finishReturnValue: 0\nfinishFindJob: ID\n"
         "useJobStatus: 1\njobStartedText: RUNNING\njobStartedCol: 2\n"
         "killCmd: scancel %JOBID%\n";
}

// A study whose one analysis "calc" runs `script` (after writing the Slurm job id into
// "job.id") on the resource "slurm". With `doeRuns` > 0 it is a design of experiments of that
// many runs (x at its first two levels, y over its levels) evaluated `parallel` at a time;
// otherwise one TOLMAR agent, for check-setup runs of the baseline design.
struct SlurmStudy {
  std::string script;
  std::string extraAnalysis{};  // *ANALYSIS lines added to "calc"
  std::string submitOptions{};
  int doeRuns = 0;
  int parallel = 1;
  bool local = false;  // the analysis runs on this machine instead (no compute resource)
  int evaluations = 20;  // TOLMAR's budget
  // A *DEFINE_REMOTE_MACHINE record named "box": the jobs are submitted there, and "job.id"
  // comes back with the output. `resourceLines` are added to the resource.
  std::string remoteProfile{};
  std::string resourceLines{};
};

void writeSlurmStudy(const std::string& dir, const SlurmStudy& study) {
  const bool doe = study.doeRuns > 0;
  writeFile(dir + "/Assembly.in",
            std::string("*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: ") +
                (doe ? "doe" : "optimization") +
                "\nrepresentation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir + "/Definitions.in",
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: -2\nbaseline: 1.5\nmax: 2\n"
            "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 20\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n" +
                study.remoteProfile + slurmResource(study.submitOptions) + study.resourceLines +
                (study.remoteProfile.empty() ? "" : "jobRemote: yes\njobRemoteProfile: box\n") +
                "*END\n");
  std::string representation = "*VARIABLE\nname: x\nid: 1\nresolution: 5\n"
                               "*VARIABLE\nname: y\nid: 2\nresolution: 5\n";
  std::string runs;
  if (doe) {
    const int levels = std::max(2, (study.doeRuns + 1) / 2);
    std::string values = "levels:" + std::to_string(levels) + "\n";
    for (int level = 1; level <= levels; ++level) values += std::to_string(level) + "\n";
    representation += "*FACTOR\nname: x\n" + values + "*FACTOR\nname: y\n" + values;
    runs = std::to_string(study.doeRuns) + " 2 " + std::to_string(levels) + "\n";
    for (int run = 0; run < study.doeRuns; ++run) {
      runs += std::to_string(run % 2) + " " + std::to_string(run / 2) + "\n";
    }
    writeFile(dir + "/Doe_input.in", runs);
  }
  writeFile(dir + "/Representation0.in", representation + "*END\n");
  writeFile(dir + "/Performance0.in",
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir + "/calc.tpl", "{{x}} {{y}}\n");
  writeFile(dir + "/calc.sh", "echo \"$SLURM_JOB_ID\" > job.id\n" + study.script);
  writeFile(dir + "/f.def", "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir + "/Process0.in",
            "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: calc\n"
            "id: 1\ninputFile: calc.sh, studyFolder, , file, yes\n"
            "inputTagFile: calc.tpl, calc.inp\noutputFile: calc.out\noutputTagFile: f, f.def\n"
            "outputResponse: f\n" + std::string(study.local ? "" : "computeResource: slurm\n") +
                (study.remoteProfile.empty() ? "" : "outputFile: job.id\n") +
                study.extraAnalysis +
                "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nsuccessReturnValue: 0\n"
                "finishCheckFrequency: 1\nnumDesigns: " + std::to_string(study.parallel) +
                "\n*END\n");
  writeFile(dir + "/study.in",
            "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\nrandomSeed: 0.5\n"
            "nParallel: " + std::to_string(study.parallel) +
                "\nmode: newStudy\n*RUN_OPTIONS\nuseBaseline: 0\n*AGENT\nid: 0\n" +
                (doe ? "method: DOE\nsampleMethod: OtherFile\ngenRSMAfterStudy: 0\n"
                     : "method: TOLMAR\nnumEvals: " + std::to_string(study.evaluations) + "\n") +
                "*END\n");
}

constexpr const char* kSshd = KARVO_SOURCE_DIR "/scripts/sshd";
constexpr const char* kCluster = KARVO_SOURCE_DIR "/scripts/cluster";

// The servers of the suites: each started with the first suite that needs it, stopped after
// the last test of the program.
TestServer* sshd = nullptr;
TestServer* cluster = nullptr;
TestServer& started(TestServer*& server, const char* script) {
  if (!server) server = new TestServer(startTestServer(script));
  return *server;
}
class ServersEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    for (auto [server, script] : {std::pair{&sshd, kSshd}, std::pair{&cluster, kCluster}}) {
      if (*server) stopTestServer(script, **server);
      delete *server;
      *server = nullptr;
    }
  }
};
const auto* const serversEnvironment =
    ::testing::AddGlobalTestEnvironment(new ServersEnvironment);

std::string conf() { return cluster->dir->file("slurm.conf"); }
// The job ids and states that squeue lists, "<id> <state>" lines.
std::string queue() { return slurmCommand(conf(), "squeue --noheader --format='%i %T'").out; }
bool queueEmpties(double seconds) { return slurmQueueEmpties(conf(), seconds); }
// Waits (up to 30 s) until squeue lists a running job and at least `pending` waiting ones;
// answers whether it did, with the last listing in `listed`.
bool queueRunsAndHolds(std::size_t pending, std::string& listed) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    listed = queue();
    std::size_t waiting = 0;
    for (std::size_t at = listed.find(" PENDING\n"); at != std::string::npos;
         at = listed.find(" PENDING\n", at + 1)) {
      ++waiting;
    }
    if (listed.find(" RUNNING\n") != std::string::npos && waiting >= pending) return true;
  }
  return false;
}

// A test with the remote user's folder of its own (`remoteRoot_`), removed at its end.
class RemoteMachine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { started(sshd, kSshd); }
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
    if (!started(cluster, kCluster).startError.empty()) return;
    // sbatch, squeue and scancel as the remote side offers them: each call logs its name and
    // user to "calls", then runs the real command against the suite's cluster.
    const std::string bin = cluster->dir->file("bin");
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
  void SetUp() override {
    if (!cluster->startError.empty()) {
      GTEST_SKIP() << "The cluster could not be started (" << cluster->startError
                   << "); submission through a login node is not tested.";
    }
    RemoteMachine::SetUp();
    if (IsSkipped()) return;
    writeFile(calls(), "");
    ::chmod(calls().c_str(), 0666);
  }
  static std::string calls() { return cluster->dir->file("bin/calls"); }

  // The Slurm study above in `dir`, its jobs submitted through the login node "box"
  // under `remotePath` with the wrapped Slurm commands.
  static void writeStudy(const std::string& dir, SlurmStudy study,
                         const std::string& remotePath) {
    std::filesystem::create_directories(dir);
    study.remoteProfile = "*DEFINE_REMOTE_MACHINE\nname: box\nplatform: Linux\nhost: karvo-sshd\n"
                          "remotePath: " + remotePath + "\n" + clientPrograms();
    study.resourceLines = "jobPrependPath: " + cluster->dir->file("bin") + "\n";
    writeSlurmStudy(dir, study);
  }

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
};

// Blanks in the local study folder and in the remote path, which is relative to the remote
// user's home folder, with the machine reached through the host alias of an ssh
// configuration: the analysis folder goes to the login node, sbatch there queues the job as
// the remote user, squeue there sees its end, the outputs come back and the job's output
// reaches the local analysis log. (A job's exit status comes back from its status file there:
// BatchModeSubmitsOneArrayThroughTheLoginNode fails a member that exits with 3.)
TEST_F(RemoteSlurm, JobsSubmittedThroughTheLoginNodeRunThere) {
  const std::string good = root_.file("plate study");
  // Relative to the remote user's home folder: the status file is read there, not here.
  const std::string remotePath =
      std::filesystem::path(remoteRoot_).filename().string() + "/runs here";
  writeStudy(good,
             {.script = "read x y < calc.inp\necho \"RESULT F = $x\" > calc.out\nid -un > who\n"
                        "echo 'calc: done on the node'\n"},
             remotePath);
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
  std::string listed;
  const bool ready = queueRunsAndHolds(1, listed);
  writeFile(study + "/study.io", "stop\n");
  const testing::ProcessResult result = stopped.get();
  EXPECT_TRUE(ready) << listed;
  EXPECT_EQ(result.status, 0) << messages(study);
  EXPECT_TRUE(queueEmpties(10)) << queue();
  expectCalledThere("scancel");
}

// Three designs in job batch mode through the login node, from a study folder with blanks
// into a remote path with blanks relative to the remote user's home folder: one sbatch there submits them as an array whose members run
// their own scripts there; each member's outputs and logged output come back, and the design
// whose job exits with 3 (the last) fails alone. An output file that an earlier run left in
// the second design's remote folder is removed before the submission.
TEST_F(RemoteSlurm, BatchModeSubmitsOneArrayThroughTheLoginNode) {
  const std::string study = root_.file("array study");
  writeStudy(study,
             {.script = "echo \"${SLURM_ARRAY_JOB_ID}_$SLURM_ARRAY_TASK_ID\" > member.id\n"
                        "read x y < calc.inp\necho \"RESULT F = $x\" > calc.out\n"
                        "echo \"calc: member $SLURM_ARRAY_TASK_ID\"\n"
                        "awk -v y=$y 'BEGIN { exit !(y == 2) }' || exit 0\n"
                        "exit 3\n",
              .extraAnalysis = "jobBatchMode: yes\n",
              .submitOptions = "--oversubscribe",
              .doeRuns = 3,
              .parallel = 3},
             std::filesystem::path(remoteRoot_).filename().string() + "/runs here");
  const std::string there = remoteRoot_ + "/runs here/array study/KARVO_0/";
  EXPECT_EQ(runShell("ssh -F " + shellQuote(setting("SSHD_CONFIG")) + " karvo-sshd " +
                         shellQuote("mkdir -p " + shellQuote(there + "Design2/calc") +
                                    " && echo 'stale output' > " +
                                    shellQuote(there + "Design2/calc/Execute_calc_Analysis.output")),
                     root_.path())
                .status,
            0);
  const testing::ProcessResult result = run(study, false);
  EXPECT_EQ(result.status, 0) << messages(study);
  const std::string called = readFile(calls());
  EXPECT_EQ(called.find("sbatch"), called.rfind("sbatch")) << called;  // one sbatch
  expectCalledThere("sbatch");

  const std::string first = readFile(there + "Design1/calc/member.id");
  ASSERT_NE(first.find("_0\n"), std::string::npos) << first;
  const std::string array = first.substr(0, first.find('_'));
  for (int design = 1; design <= 3; ++design) {
    const std::string task = std::to_string(design - 1);
    const std::string folder = "Design" + std::to_string(design) + "/calc";
    EXPECT_EQ(readFile(there + folder + "/member.id"), array + "_" + task + "\n");
    EXPECT_THAT(readFile(study + "/demo_0/" + folder + "/calc.out"),
                ::testing::StartsWith("RESULT F = "));
    const std::string log = analysisLog(study, design);
    EXPECT_THAT(log, HasLines("*NOTE\nJobID: " + array + "_" + task + "\n")) << log;
    EXPECT_THAT(log, HasLines("calc: member " + task + "\n")) << log;
    EXPECT_THAT(log, HasLines(design == 3 ? "*STATUS\nERROR\n" : "*STATUS\nSUCCESS\n")) << log;
    EXPECT_EQ(log.find("stale output"), std::string::npos) << log;
  }
  EXPECT_THAT(analysisLog(study, 3),
              HasLines("*ERROR\nThe return value (3) for the analysis command did not match the "
                       "specified value (0). This design analysis will be marked as an error.\n"));
  EXPECT_TRUE(queueEmpties(10)) << queue();
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
  // copied back, and its post-analysis command copies calc.out to post.copy here.
  static void writeStudy(const std::string& dir, const std::string& profile,
                         const std::string& script) {
    std::filesystem::create_directories(dir);
    testing::writeCalcStudy(
        dir, {.script = script,
              .extraAnalysis = "outputFile: who\noutputFile: where\ncomputeResource: far\n",
              .extraExecution = "finishCheckFrequency: 1\npostCmd: cp calc.out post.copy\n"
                                "postAnalysisOptions: analysisFolder, , 0\n",
              .extraDefinitions = profile + "*DEFINE_COMPUTE_RESOURCE\nname: far\ntype: Direct\n"
                                            "jobRemote: yes\njobRemoteProfile: box\n",
              .withFormula = false});
  }
};

// With the port, user and key of the profile: the analysis files are copied into the remote
// study folder, the analysis runs there as the remote user, and its outputs come back to the
// local analysis folder, where the response is read. (The exit status that comes back through
// ssh: AnalysisRunTest.RemoteExecutionScriptsAndARunThroughTheProfilesCommands.)
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
  // The post-analysis command, run here, found the outputs back.
  EXPECT_EQ(readFile(local + "/post.copy"), "RESULT F = 1.50000\n");
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

// ---- The cluster of this machine -----------------------------------------------------------

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

// The local cluster: its commands read its slurm.conf through SLURM_CONF.
class SlurmRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { started(cluster, kCluster); }
  void SetUp() override {
    if (!cluster->startError.empty()) {
      GTEST_SKIP() << "The one-node Slurm cluster could not be started ("
                   << cluster->startError << "); the runs on a real scheduler are not tested.";
    }
  }

  static testing::ProcessResult slurm(const std::string& command) {
    return slurmCommand(conf(), command);
  }

  // `path`: folders put in front of PATH ("" = none).
  static testing::ProcessResult runStudy(const TempDir& dir, bool checkSetup,
                                         const std::string& path = "") {
    std::vector<std::string> arguments{"i=study.in"};
    if (checkSetup) arguments.push_back("checksetup");
    std::vector<std::string> environment{"KARVO_ROOT=" + dir.path(), "SLURM_CONF=" + conf()};
    if (!path.empty()) environment.push_back("PATH=" + path + ":" + std::getenv("PATH"));
    return runKarvo(arguments, dir.path(), environment);
  }
};

// The analysis runs as a Slurm batch job: the id printed by sbatch is the job's own
// SLURM_JOB_ID; the start is logged when squeue shows the job running and the end when squeue
// no longer lists it. (The exit status written by the job script decides success:
// BatchModeSubmitsOneArrayAndChecksAllJobsWithOneSqueue fails a job that exits with 3.)
TEST_F(SlurmRun, JobIdReadBackAndFinishCheckedWithSqueue) {
  TempDir good("karvo-slurm-good");
  writeSlurmStudy(good.path(),
                  {.script = "read x y < calc.inp\necho \"RESULT F = $x\" > calc.out\n"});
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
  // "stop" is written whether or not the queue got there, so that the run ends.
  std::string listed;
  const bool ready = queueRunsAndHolds(2, listed);
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
