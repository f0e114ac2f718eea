// The job controller through its Job interface: Direct jobs with real /bin/sh scripts,
// remote Direct jobs through a stand-in command generator, and Scheduled jobs against a
// fake scheduler (sbatch/squeue/scancel-like sh scripts keeping their state in files).
#include "external/job_controller.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>

#include "platform/platform.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using karvo::testing::noChildrenLeft;
using karvo::testing::readFile;
using karvo::testing::runShell;
using karvo::testing::TempDir;
using karvo::testing::writeFile;
using platform::shellQuote;

PropertiesMap directLaunch(const std::string& folder, const std::string& command) {
  PropertiesMap launch;
  launch.setValue("study_name", "study");
  launch.setValue("analysis_dir", folder);
  launch.setValue("design_num", "5");
  launch.setValue("analysis_num", "2");
  launch.setValue("case_num", "1");
  launch.setValue("do_logging", "false");
  launch.setValue("job_script", "Execute_Beam_Analysis.sh");
  launch.setValue("exec_cmd", command);
  launch.setValue("resource_name", "local");
  launch.setValue("resource_block", "name: local\ntype: Direct\n");
  launch.setValue("do_analysis_run", "true");
  return launch;
}

// A job made with `options` and submitted with `launch`, which it must accept.
std::unique_ptr<Job> submitted(const PropertiesMap& launch, const JobOptions& options = {}) {
  std::unique_ptr<Job> job = createJob(options);
  EXPECT_TRUE(job->submit(launch)) << job->lastError();
  return job;
}

// Polls the job as the evaluation loop does: finished(false), then the wait.
int pollUntilFinished(Job& job, double limitSeconds = 10.0) {
  int wakeUps = 0;
  double until = platform::monotonicSeconds() + limitSeconds;
  while (!job.finished(false) && platform::monotonicSeconds() < until) {
    platform::waitForChildExitOrTimeout(30000);
    ++wakeUps;
  }
  return wakeUps;
}

// --------------------------------------------------------------------------------------
// Direct jobs on this machine; none leaves a child behind.

class DirectJob : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(noChildrenLeft()); }
  TempDir dir;
};

TEST_F(DirectJob, ScriptLogsAndExitCodeInAFolderWithShellCharacters) {
  const std::string folder = dir.file("run 'x' $(touch injected) ;y");
  ASSERT_TRUE(platform::makeDirectory(folder));
  PropertiesMap launch = directLaunch(folder, "pwd; echo problem >&2; exit 3");
  launch.setValue("do_logging", "true");
  launch.setValue("out_log_file", "analysis.log");
  launch.setValue("err_log_file", "analysis.log");
  writeFile(folder + "/analysis.log", "earlier\n");

  std::unique_ptr<Job> job = submitted(launch);
  EXPECT_EQ(job->state(), JobState::kRunning);
  EXPECT_EQ(job->jobName(), "KARVO_D5_A2");
  EXPECT_EQ(job->jobId(), std::to_string(std::stol(job->jobId())));
  const std::string script = folder + "/Execute_Beam_Analysis.sh";
  EXPECT_EQ(job->startedCommand(), "/bin/sh " + shellQuote(script));
  EXPECT_TRUE(job->finished(true));
  EXPECT_TRUE(job->complete());
  EXPECT_TRUE(job->succeeded());  // ran to its end; the exit code is the caller's to judge
  EXPECT_EQ(job->exitCode(), 3);
  EXPECT_EQ(job->state(), JobState::kEnded);

  EXPECT_EQ(readFile(folder + "/analysis.log"), "earlier\n" + folder + "\nproblem\n");
  EXPECT_EQ(readFile(script),
            "#!/bin/sh\n"
            "# Job script written by KARVO MDO for design 5, analysis 2, case 1.\n"
            "# It runs the command in the analysis folder and exits with the command's "
            "status.\n"
            "cd '" + dir.path() + "/run '\\''x'\\'' $(touch injected) ;y' || exit 1\n"
            "pwd; echo problem >&2; exit 3\n"
            "exit $?\n");
  // Output within the cap stays in the log whole; no output file is made.
  EXPECT_FALSE(platform::pathExists(folder + "/Execute_Beam_Analysis.output"));
  struct stat info {};
  ASSERT_EQ(::stat(script.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0755u);
  job->release();
  EXPECT_EQ(job->state(), JobState::kReleased);
}

TEST_F(DirectJob, PollingSeparateLogsAndLoggingOff) {
  PropertiesMap launch = directLaunch(dir.path(), "sleep 0.2\necho out\necho err >&2");
  launch.setValue("do_logging", "TRUE");
  launch.setValue("out_log_file", "out.log");
  launch.setValue("err_log_file", dir.file("err.log"));
  launch.setValue("job_script", "");
  std::unique_ptr<Job> job = submitted(launch);
  EXPECT_FALSE(job->finished(false));
  EXPECT_FALSE(job->complete());
  EXPECT_EQ(job->exitCode(), -1);
  EXPECT_LE(pollUntilFinished(*job), 3);
  EXPECT_EQ(job->exitCode(), 0);
  EXPECT_EQ(readFile(dir.file("out.log")), "out\n");
  EXPECT_EQ(readFile(dir.file("err.log")), "err\n");

  // Logging off: nothing is written, the output is discarded.
  TempDir quiet;
  PropertiesMap off = directLaunch(quiet.path(), "echo out; echo err >&2");
  off.setValue("out_log_file", "out.log");
  off.setValue("err_log_file", "err.log");
  std::unique_ptr<Job> second = submitted(off);
  EXPECT_TRUE(second->finished(true));
  EXPECT_FALSE(platform::pathExists(quiet.file("out.log")));
  EXPECT_FALSE(platform::pathExists(quiet.file("err.log")));
}

TEST_F(DirectJob, ProgramsThatCannotStartReportFailure) {
  auto failure = [](const PropertiesMap& launch) {
    std::unique_ptr<Job> job = createJob();
    EXPECT_FALSE(job->submit(launch));
    EXPECT_EQ(job->state(), JobState::kFailed);
    EXPECT_TRUE(job->finished(false));
    EXPECT_FALSE(job->succeeded());
    EXPECT_EQ(job->exitCode(), -1);
    return job->lastError();
  };
  EXPECT_EQ(failure(directLaunch(dir.file("absent"), "true")),
            "The analysis folder \"" + dir.file("absent") + "\" does not exist.");
  EXPECT_EQ(failure(directLaunch(dir.path(), " \n ")),
            "No command was given for the job (\"exec_cmd\" is empty).");

  PropertiesMap noScriptFolder = directLaunch(dir.path(), "true");
  noScriptFolder.setValue("job_script", "missing/run.sh");
  EXPECT_EQ(failure(noScriptFolder), "Could not write the job script \"" +
                                         dir.file("missing/run.sh") +
                                         "\": No such file or directory");

  PropertiesMap noLogFolder = directLaunch(dir.path(), "true");
  noLogFolder.setValue("do_logging", "yes");
  noLogFolder.setValue("out_log_file", "missing/out.log");
  EXPECT_EQ(failure(noLogFolder), "Could not start the job script \"" +
                                      dir.file("Execute_Beam_Analysis.sh") +
                                      "\" in the folder \"" + dir.path() +
                                      "\": No such file or directory");

  PropertiesMap cloud = directLaunch(dir.path(), "true");
  cloud.setValue("resource_block", "name: cloud\ntype: Rescale\n");
  cloud.setValue("resource_name", "cloud");
  EXPECT_EQ(failure(cloud),
            "The compute resource \"cloud\" is of the type \"Rescale\", on which the job "
            "controller cannot run jobs. The types it runs are \"Direct\" and \"Scheduled\".");

  PropertiesMap garbled = directLaunch(dir.path(), "true");
  garbled.setValue("resource_block", "type: Direct\nno colon here\n");
  EXPECT_EQ(failure(garbled),
            "The data of the compute resource \"local\" could not be read: the line \"no colon "
            "here\" is not of the form \"key: value\".");

  // One job object runs one job.
  std::unique_ptr<Job> job = submitted(directLaunch(dir.path(), "exit 0"));
  EXPECT_FALSE(job->submit(directLaunch(dir.path(), "exit 0")));
  EXPECT_EQ(job->lastError(), "This job has already been submitted; a job object runs one job only.");
  EXPECT_TRUE(job->finished(true));
  EXPECT_EQ(job->exitCode(), 0);
}

TEST_F(DirectJob, KillEndsTheJobAndItsChildrenWithinASecondOrSo) {
  std::unique_ptr<Job> job = submitted(directLaunch(dir.path(), "sleep 30 & sleep 30; wait"));
  EXPECT_FALSE(job->finished(false));
  double start = platform::monotonicSeconds();
  EXPECT_TRUE(job->kill());
  EXPECT_LT(platform::monotonicSeconds() - start, 5.0);
  EXPECT_EQ(job->state(), JobState::kKilled);
  EXPECT_TRUE(job->finished(false));
  EXPECT_TRUE(job->complete());
  EXPECT_FALSE(job->succeeded());
  EXPECT_EQ(job->exitCode(), 128 + SIGTERM);
  EXPECT_TRUE(job->kill());  // nothing left to kill

  // A program ended by a signal has not succeeded either.
  std::unique_ptr<Job> crashed = submitted(directLaunch(dir.path(), "kill -9 $$"));
  EXPECT_TRUE(crashed->finished(true));
  EXPECT_TRUE(crashed->complete());
  EXPECT_FALSE(crashed->succeeded());
  EXPECT_EQ(crashed->exitCode(), 137);

  // A kill that comes after the job ended by itself keeps its normal end.
  std::unique_ptr<Job> quick = submitted(directLaunch(dir.path(), "exit 4"));
  siginfo_t info{};
  ::waitid(P_PID, static_cast<id_t>(std::stol(quick->jobId())), &info, WEXITED | WNOWAIT);
  EXPECT_TRUE(quick->kill());
  EXPECT_EQ(quick->state(), JobState::kEnded);
  EXPECT_TRUE(quick->succeeded());
  EXPECT_EQ(quick->exitCode(), 4);
}

TEST_F(DirectJob, ReleasedRunningJobIsReapedInTheBackground) {
  {
    std::unique_ptr<Job> job = submitted(directLaunch(dir.path(), "sleep 0.2; echo done > done"));
    job->release();
    EXPECT_EQ(job->state(), JobState::kReleased);
    EXPECT_TRUE(job->finished(false));
    job->release();  // idempotent
  }
  std::unique_ptr<Job> dropped = createJob();
  PropertiesMap second = directLaunch(dir.path(), "sleep 0.2");
  second.setValue("job_script", "Execute_Other_Analysis.sh");
  ASSERT_TRUE(dropped->submit(second));
  dropped.reset();  // destruction releases without killing

  double until = platform::monotonicSeconds() + 5.0;
  while (platform::reapDetachedProcesses() > 0 && platform::monotonicSeconds() < until) {
    platform::waitForChildExitOrTimeout(1000);
  }
  EXPECT_EQ(readFile(dir.file("done")), "done\n");  // released, not killed
}

// What the command leaves in the background outlives its end, and ends with kill(); after
// keepRunning() it outlives the run.
TEST(DirectJobBackground, KillEndsWhatTheEndedCommandLeftRunningUnlessKept) {
  TempDir dir;
  std::unique_ptr<Job> jobs[2] = {createJob(), createJob()};
  pid_t left[2] = {-1, -1};
  for (int i = 0; i < 2; ++i) {
    PropertiesMap launch = directLaunch(
        dir.path(), "setsid sh -c 'echo $$ > left" + std::to_string(i) + "; exec sleep 30' &");
    launch.setValue("job_script", "Execute_" + std::to_string(i) + ".sh");
    ASSERT_TRUE(jobs[i]->submit(launch));
    ASSERT_TRUE(jobs[i]->finished(true));
    EXPECT_TRUE(jobs[i]->succeeded());
    for (double until = platform::monotonicSeconds() + 5;
         readFile(dir.file("left" + std::to_string(i))).empty() &&
         platform::monotonicSeconds() < until;) {
      platform::sleepMillis(10);
    }
    left[i] = static_cast<pid_t>(std::atol(readFile(dir.file("left" + std::to_string(i))).c_str()));
    ASSERT_GT(left[i], 1);
  }
  EXPECT_NE(platform::processStartTicks(left[0]), 0u);
  EXPECT_TRUE(jobs[0]->kill());
  EXPECT_EQ(jobs[0]->state(), JobState::kEnded);
  EXPECT_EQ(platform::processStartTicks(left[0]), 0u);
  jobs[1]->keepRunning();
  EXPECT_EQ(jobs[1]->state(), JobState::kReleased);
  EXPECT_TRUE(jobs[1]->kill());
  platform::endRunProcesses();
  EXPECT_NE(platform::processStartTicks(left[1]), 0u);
  ::kill(left[1], SIGKILL);
}

TEST(ResourceBlock, FormatAndParse) {
  PropertiesMap resource;
  resource.setValue("type", "Scheduled");
  resource.setValue("jobCommand", "sbatch --parsable -p long");
  resource.setValue("jobIDStart", "Job <");
  resource.setValue("note", "two\nlines");
  EXPECT_EQ(formatResourceBlock(resource),
            "jobCommand: sbatch --parsable -p long\njobIDStart: Job <\nnote: two lines\n"
            "type: Scheduled\n");
  PropertiesMap back;
  ASSERT_TRUE(parseResourceBlock("  type :  Scheduled \r\n\njobCommand: a: b\nempty:\n", back));
  EXPECT_EQ(back.value("type"), "Scheduled");
  EXPECT_EQ(back.value("jobCommand"), "a: b");
  EXPECT_TRUE(back.has("empty"));
  EXPECT_EQ(back.value("empty"), "");
  std::string bad;
  EXPECT_FALSE(parseResourceBlock("type: Direct\n: value\n", back, &bad));
  EXPECT_EQ(bad, ": value");
}

// --------------------------------------------------------------------------------------
// Remote Direct jobs

TEST(RemoteDirectJob, CommandIsWrappedByTheProfileAndRunLocally) {
  TempDir dir;
  std::string seenBlock;
  JobOptions options;
  options.remoteCommand = [&seenBlock](const std::string& remoteBlock, const std::string& command,
                                       std::string& wrapped, std::string& error) {
    (void)error;
    seenBlock = remoteBlock;
    wrapped = "echo remote-side > remote.txt; sh -c " + shellQuote(command);
    return true;
  };
  PropertiesMap launch = directLaunch(dir.path(), "exit 6");
  launch.setValue("resource_block", "name: far\ntype: Direct\njobRemote: yes\n"
                                    "jobRemoteProfile: cluster\ncomputeNode: node1\n");
  launch.setValue("remote_block", "name: cluster\nplatform: Linux\n");
  std::unique_ptr<Job> job = submitted(launch, options);
  EXPECT_TRUE(job->finished(true));
  EXPECT_EQ(job->exitCode(), 6);
  EXPECT_EQ(seenBlock, "name: cluster\nplatform: Linux\n");
  EXPECT_EQ(readFile(dir.file("remote.txt")), "remote-side\n");

  // The generator's refusal, in the words of the evaluation log.
  JobOptions refusing;
  refusing.remoteCommand = remoteCommandFromGenerator(
      [](const std::string&, bool& status) {
        status = false;
        return std::string();
      },
      [] { return std::string("host not set"); });
  launch.setValue("resource_name", "far");
  std::unique_ptr<Job> refused = createJob(refusing);
  EXPECT_FALSE(refused->submit(launch));
  EXPECT_EQ(refused->lastError(),
            "Error in creating the execution command using the remote profile \"cluster\". "
            "Original command: \"exit 6\".\nMessage received:\nhost not set");

  std::unique_ptr<Job> unwired = createJob();
  EXPECT_FALSE(unwired->submit(launch));
  EXPECT_EQ(unwired->lastError(),
            "The compute resource \"far\" runs on a remote machine (remote profile \"cluster\"), "
            "but no remote command generator is available to the job controller.");
  EXPECT_TRUE(noChildrenLeft());
}

// --------------------------------------------------------------------------------------
// Scheduled jobs against a fake scheduler. sbatch queues a job (state file "job.<id>" with
// PENDING) and prints its id; squeue lists "<id> <state>" for queued jobs; scancel removes
// one. The test plays the cluster: it marks a job RUNNING, runs its script, drops it.

class ScheduledJob : public ::testing::Test {
 protected:
  void SetUp() override {
    bin = dir.file("bin");
    state = bin + "/state";
    analysis = dir.file("Design 1/Beam $(touch injected)");
    ASSERT_TRUE(platform::makeDirectories(state));
    ASSERT_TRUE(platform::makeDirectories(analysis));
    writeFile(bin + "/sbatch",
              "#!/bin/sh\n"
              "state=\"$(dirname \"$0\")/state\"\n"
              "if [ -f \"$state/refuse\" ]; then\n"
              "  echo 'sbatch: error: invalid partition specified' >&2; exit 1\n"
              "fi\n"
              "n=$(cat \"$state/next\" 2>/dev/null || echo 100)\n"
              "echo $((n + 1)) > \"$state/next\"\n"
              "for a; do last=$a; done\n"
              "printf '%s\\n' \"$#\" \"$last\" > \"$state/submitted.$n\"\n"
              "pwd > \"$state/folder.$n\"\n"
              "echo PENDING > \"$state/job.$n\"\n"
              "if [ -f \"$state/reply\" ]; then cat \"$state/reply\"; "
              "else echo \"Submitted batch job $n\"; fi\n");
    writeFile(bin + "/squeue",
              "#!/bin/sh\n"
              "state=\"$(dirname \"$0\")/state\"\n"
              "echo x >> \"$state/squeue-calls\"\n"
              "[ -f \"$state/squeue-fails\" ] && exit 2\n"
              "echo 'JOBID STATE'\n"
              "for f in \"$state\"/job.*; do\n"
              "  [ -f \"$f\" ] || continue\n"
              "  id=${f##*.}\n"
              "  if [ -z \"$1\" ] || [ \"$1\" = \"$id\" ]; then echo \"$id $(cat \"$f\")\"; fi\n"
              "done\n");
    writeFile(bin + "/scancel",
              "#!/bin/sh\n"
              "state=\"$(dirname \"$0\")/state\"\n"
              "[ -f \"$state/job.$1\" ] || { echo 'scancel: error: Invalid job id specified'; "
              "exit 1; }\n"
              "rm -f \"$state/job.$1\"; echo \"$1\" >> \"$state/cancelled\"\n");
    for (const char* name : {"sbatch", "squeue", "scancel"}) {
      ::chmod((bin + "/" + name).c_str(), 0755);
    }
    resource.setValue("name", "slurm");
    resource.setValue("type", "Scheduled");
    resource.setValue("jobPrependPath", bin);
    resource.setValue("jobCommand", "sbatch");
    resource.setValue("jobReadID", "1");
    resource.setValue("jobIDStart", "Submitted batch job");
    resource.setValue("finishCmd", "squeue %JOBID%");
    resource.setValue("finishFindJob", "ID");
    resource.setValue("useJobStatus", "yes");
    resource.setValue("jobStartedText", "RUNNING");
    resource.setValue("jobStartedCol", "2");
    resource.setValue("killCmd", "scancel %JOBID%");
    options.statusFileGraceSeconds = 0;
    options.waitPollMilliseconds = 10;
  }

  void TearDown() override { EXPECT_TRUE(noChildrenLeft()); }

  PropertiesMap launch(const std::string& command = "echo hello; exit 3") {
    PropertiesMap l = directLaunch(analysis, command);
    l.setValue("resource_name", "slurm");
    l.setValue("resource_block", formatResourceBlock(resource));
    l.setValue("study_dir", dir.path());
    l.setValue("do_logging", "true");
    l.setValue("out_log_file", "analysis.log");
    l.setValue("err_log_file", "analysis.log");
    return l;
  }

  // The cluster runs job `id`: RUNNING, the script, then the job leaves the queue.
  void runOnCluster(const std::string& id) {
    writeFile(state + "/job." + id, "RUNNING\n");
    std::string script = readFile(state + "/submitted." + id);
    script = script.substr(script.find('\n') + 1);
    script.pop_back();
    runShell("/bin/sh " + shellQuote(script) + " >/dev/null 2>&1", dir.path());
    platform::removeFile(state + "/job." + id);
  }

  std::string submitFailure(const PropertiesMap& l) {
    std::unique_ptr<Job> job = createJob(options);
    EXPECT_FALSE(job->submit(l));
    EXPECT_EQ(job->state(), JobState::kFailed);
    return job->lastError();
  }

  TempDir dir;
  std::string bin, state, analysis;
  PropertiesMap resource;
  JobOptions options;
};

TEST_F(ScheduledJob, SubmitStatusAndCompletion) {
  std::unique_ptr<Job> job = submitted(launch(), options);
  const std::string script = analysis + "/Execute_Beam_Analysis.sh";
  EXPECT_EQ(job->jobId(), "100");
  EXPECT_EQ(job->startedCommand(), "PATH=" + shellQuote(bin) + ":\"$PATH\"; export PATH; sbatch " +
                                       shellQuote(script));
  // The script path reached sbatch as one argument; the submission ran in the analysis folder.
  EXPECT_EQ(readFile(state + "/submitted.100"), "1\n" + script + "\n");
  EXPECT_EQ(readFile(state + "/folder.100"), analysis + "\n");
  EXPECT_EQ(readFile(script),
            "#!/bin/sh\n"
            "# Job script written by KARVO MDO for design 5, analysis 2, case 1.\n"
            "# It runs the command in the analysis folder and exits with the command's "
            "status.\n"
            "cd " + shellQuote(analysis) + " || exit 1\n"
            "(\n"
            "echo hello; exit 3\n"
            ") >> " + shellQuote(analysis + "/analysis.log") + " 2>&1\n"
            "karvo_job_status=$?\n"
            "echo \"$karvo_job_status\" > " + shellQuote(analysis + "/Execute_Beam_Analysis.exitstatus.tmp") +
            " && mv -f " + shellQuote(analysis + "/Execute_Beam_Analysis.exitstatus.tmp") + " " +
            shellQuote(analysis + "/Execute_Beam_Analysis.exitstatus") + "\n"
            "exit $karvo_job_status\n");

  EXPECT_FALSE(job->finished(false));  // PENDING
  EXPECT_TRUE(job->queued());
  writeFile(state + "/job.100", "RUNNING\n");
  EXPECT_FALSE(job->finished(false));
  EXPECT_FALSE(job->queued());
  EXPECT_EQ(job->exitCode(), -1);

  runOnCluster("100");
  EXPECT_TRUE(job->finished(false));
  EXPECT_TRUE(job->complete());
  EXPECT_TRUE(job->succeeded());
  EXPECT_EQ(job->exitCode(), 3);
  EXPECT_EQ(readFile(analysis + "/analysis.log"), "hello\n");
  EXPECT_EQ(readFile(state + "/squeue-calls"), "x\nx\nx\n");  // one check per call
}

TEST_F(ScheduledJob, KillRunsTheKillCommand) {
  std::unique_ptr<Job> job = submitted(launch(), options);
  EXPECT_FALSE(job->finished(false));
  EXPECT_TRUE(job->kill());
  EXPECT_EQ(readFile(state + "/cancelled"), "100\n");
  EXPECT_EQ(job->state(), JobState::kKilled);
  EXPECT_TRUE(job->complete());
  EXPECT_FALSE(job->succeeded());
  EXPECT_TRUE(job->finished(false));

  // A failing kill command is reported, and the job goes on.
  std::unique_ptr<Job> second = submitted(launch(), options);
  platform::removeFile(state + "/job.101");
  EXPECT_FALSE(second->kill());
  EXPECT_EQ(second->lastError(),
            "The kill command \"PATH=" + shellQuote(bin) +
                ":\"$PATH\"; export PATH; scancel 101\" failed with exit status 1. Its output:\n"
                "scancel: error: Invalid job id specified\n");
  EXPECT_EQ(second->state(), JobState::kRunning);

  resource.erase("killCmd");
  std::unique_ptr<Job> third = submitted(launch(), options);
  EXPECT_FALSE(third->kill());
  EXPECT_EQ(third->lastError(), "The compute resource \"slurm\" has no kill command (\"killCmd\").");
}

TEST_F(ScheduledJob, FinishedWithWaitChecksWithPauses) {
  std::unique_ptr<Job> job = submitted(launch("exit 0"), options);
  // The job runs and leaves the queue while finished(true) is waiting.
  platform::ChildProcess child;
  ASSERT_TRUE(platform::spawnShellCommand(
      "sleep 0.3; /bin/sh " + shellQuote(analysis + "/Execute_Beam_Analysis.sh") + "; rm -f " +
          shellQuote(state + "/job.100"),
      {}, child));
  EXPECT_TRUE(job->finished(true));
  EXPECT_EQ(job->exitCode(), 0);
  EXPECT_TRUE(job->succeeded());
  platform::waitProcess(child);
  std::string calls = readFile(state + "/squeue-calls");
  EXPECT_LT(calls.size() / 2, 60u);  // pauses between checks, not a busy loop
}

TEST_F(ScheduledJob, ExitStatusCheckStatusFileAndItsGrace) {
  // Finished when the finish command exits with the return value asked for.
  resource.setValue("finishCmd", "test -f %ANALYSISDIR%/finished");
  resource.setValue("finishFindJob", "");
  resource.setValue("finishCmdCheck", "1");
  resource.setValue("finishReturnValue", "0");
  resource.setValue("jobReadID", "0");
  resource.setValue("killCmd", "");
  resource.setValue("useJobStatus", "0");
  std::unique_ptr<Job> job = submitted(launch(), options);
  EXPECT_EQ(job->jobId(), "");
  EXPECT_FALSE(job->queued());
  EXPECT_FALSE(job->finished(false));
  writeFile(analysis + "/finished", "");
  // The check passes but the script never ran: no status file, no grace.
  EXPECT_TRUE(job->finished(false));
  EXPECT_TRUE(job->complete());
  EXPECT_FALSE(job->succeeded());
  EXPECT_EQ(job->exitCode(), -1);

  // With a grace the status file is awaited once the check has passed.
  platform::removeFile(analysis + "/finished");
  options.statusFileGraceSeconds = 30;
  std::unique_ptr<Job> patient = submitted(launch("exit 7"), options);
  writeFile(analysis + "/finished", "");
  EXPECT_FALSE(patient->finished(false));
  runOnCluster("101");
  EXPECT_TRUE(patient->finished(false));
  EXPECT_TRUE(patient->succeeded());
  EXPECT_EQ(patient->exitCode(), 7);

  // Without a finish command the status file alone decides.
  resource.setValue("finishCmd", "");
  std::unique_ptr<Job> plain = submitted(launch("exit 0"), options);
  EXPECT_FALSE(plain->finished(false));
  runOnCluster("102");
  EXPECT_TRUE(plain->finished(false));
  EXPECT_EQ(plain->exitCode(), 0);
}

TEST_F(ScheduledJob, FinishChecksThatCannotRunLeaveTheJobRunning) {
  resource.setValue("finishCmd", "squeue %JOBID%; sleep 5");
  options.schedulerCommandSeconds = 0.3;
  std::unique_ptr<Job> job = submitted(launch(), options);
  EXPECT_FALSE(job->finished(false));
  EXPECT_EQ(job->lastError(), "The finish-check command \"PATH=" + shellQuote(bin) +
                                  ":\"$PATH\"; export PATH; squeue 100; sleep 5\" did not finish "
                                  "within 0.3 seconds.");
  EXPECT_EQ(job->state(), JobState::kRunning);
  EXPECT_TRUE(job->kill());

  // A listing whose command fails lists nothing: the job still runs, until the listing has
  // failed for failedListingSeconds in a row.
  resource.setValue("finishCmd", "squeue %JOBID%");
  writeFile(state + "/squeue-fails", "");
  options.failedListingSeconds = 600;
  std::unique_ptr<Job> listed = submitted(launch(), options);
  EXPECT_FALSE(listed->finished(false));
  EXPECT_EQ(listed->lastError(), "The finish-check command \"PATH=" + shellQuote(bin) +
                                     ":\"$PATH\"; export PATH; squeue 101\" failed with exit "
                                     "status 2; the job is taken to be still running. Its "
                                     "output:\n");
  platform::removeFile(state + "/squeue-fails");
  EXPECT_FALSE(listed->finished(false));
  runOnCluster("101");
  EXPECT_TRUE(listed->finished(false));
  EXPECT_EQ(listed->exitCode(), 3);
  writeFile(state + "/squeue-fails", "");
  options.failedListingSeconds = 0;
  EXPECT_TRUE(submitted(launch(), options)->finished(false));
}

// 200 jobs listed by one squeue: a pass over them all costs one run, and a job never reads a
// listing made before it was submitted (it would be missing there and so taken as ended).
TEST_F(ScheduledJob, JobsOfAResourceShareOneFinishCheckRun) {
  resource.setValue("finishCmd", "squeue");
  resource.setValue("finishCmdCheck", "1");
  std::vector<std::unique_ptr<Job>> jobs;
  for (int i = 0; i < 200; ++i) {
    jobs.push_back(submitted(launch("exit 4"), options));
  }
  // One pass of the evaluation loop: how many jobs answer that they have ended.
  auto pass = [&jobs](std::size_t count) {
    int ended = 0;
    for (std::size_t i = 0; i < count; ++i) ended += jobs[i]->finished(false) ? 1 : 0;
    return ended;
  };
  auto calls = [this] { return readFile(state + "/squeue-calls").size() / 2; };
  EXPECT_EQ(pass(200), 0);
  EXPECT_EQ(calls(), 1u);
  EXPECT_TRUE(jobs[199]->queued());
  EXPECT_EQ(jobs[199]->lastCheckTime(), jobs[0]->lastCheckTime());

  // The next pass asks anew; each job reads its own line from the one listing.
  writeFile(state + "/job.100", "RUNNING\n");
  runOnCluster("101");
  EXPECT_EQ(pass(200), 1);
  EXPECT_EQ(calls(), 2u);
  EXPECT_EQ(jobs[1]->exitCode(), 4);
  EXPECT_FALSE(jobs[0]->queued());
  EXPECT_TRUE(jobs[2]->queued());

  // A job submitted after that listing runs the command itself; the others then share it.
  jobs.push_back(submitted(launch(), options));
  std::swap(jobs.front(), jobs.back());
  EXPECT_EQ(pass(201), 1);
  EXPECT_EQ(calls(), 3u);

  // A listing that fails is shared too: one run, and every job stays running.
  writeFile(state + "/squeue-fails", "");
  EXPECT_EQ(pass(201), 1);
  EXPECT_EQ(calls(), 4u);
}

// Jobs submitted in batch mode wait for one sbatch of an array; each member is followed by its
// own id (also while squeue lists it in a range of waiting members) and ends with its own exit
// status. A refused array fails every member with the reason.
TEST_F(ScheduledJob, BatchModeSubmitsOneArrayAndFollowsEachMember) {
  resource.setValue("finishCmd", "squeue");
  resource.setValue("finishCmdCheck", "1");
  std::vector<std::unique_ptr<Job>> jobs;
  const char* commands[] = {"exit 0", "exit 1", "exit 5"};
  for (int i = 0; i < 3; ++i) {
    PropertiesMap l = launch(commands[i]);
    l.setValue("do_job_block", "true");
    l.setValue("job_script", "Execute_" + std::to_string(i) + ".sh");
    jobs.push_back(submitted(l, options));
    EXPECT_TRUE(jobs.back()->held());
    EXPECT_EQ(jobs.back()->jobId(), "");
    EXPECT_FALSE(jobs.back()->finished(false));
  }
  EXPECT_FALSE(platform::pathExists(state + "/next"));  // nothing submitted yet
  EXPECT_EQ(submitJobBatches(), 1);
  EXPECT_EQ(submitJobBatches(), 0);
  const std::string array = analysis + "/Execute_0.array.sh";
  EXPECT_EQ(readFile(state + "/submitted.100"), "2\n" + array + "\n");
  EXPECT_EQ(readFile(array),
            "#!/bin/sh\n"
            "# Job array script written by KARVO MDO for analysis 2, designs 5: each member runs\n"
            "# the job script of its index in its own analysis folder.\n"
            "case \"$SLURM_ARRAY_TASK_ID\" in\n"
            "  0) exec /bin/sh " + shellQuote(analysis + "/Execute_0.sh") + " ;;\n"
            "  1) exec /bin/sh " + shellQuote(analysis + "/Execute_1.sh") + " ;;\n"
            "  2) exec /bin/sh " + shellQuote(analysis + "/Execute_2.sh") + " ;;\n"
            "esac\n"
            "echo \"No job script for the array index '$SLURM_ARRAY_TASK_ID'.\" >&2\nexit 1\n");
  EXPECT_EQ(jobs[0]->startedCommand(), "PATH=" + shellQuote(bin) +
                                           ":\"$PATH\"; export PATH; sbatch --array=0-2 " +
                                           shellQuote(array));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(jobs[i]->held());
    EXPECT_EQ(jobs[i]->jobId(), "100_" + std::to_string(i));
  }

  // The cluster runs members 0 and 2; squeue shows 2 still in a range of waiting members,
  // then by itself, then no more.
  auto runMember = [&](int task) {
    runShell("SLURM_ARRAY_TASK_ID=" + std::to_string(task) + " /bin/sh " + shellQuote(array) +
                 " >/dev/null 2>&1",
             dir.path());
  };
  runMember(0);
  runMember(2);
  platform::removeFile(state + "/job.100");
  writeFile(state + "/job.100_[1-2%4]", "PENDING\n");
  EXPECT_TRUE(jobs[0]->finished(false));
  EXPECT_EQ(jobs[0]->exitCode(), 0);
  EXPECT_FALSE(jobs[1]->finished(false));
  EXPECT_FALSE(jobs[2]->finished(false));
  EXPECT_TRUE(jobs[2]->queued());
  platform::removeFile(state + "/job.100_[1-2%4]");
  writeFile(state + "/job.100_1", "RUNNING\n");
  EXPECT_FALSE(jobs[1]->finished(false));
  EXPECT_FALSE(jobs[1]->queued());
  EXPECT_TRUE(jobs[2]->finished(false));
  EXPECT_EQ(jobs[2]->exitCode(), 5);
  EXPECT_TRUE(jobs[1]->kill());
  EXPECT_EQ(readFile(state + "/cancelled"), "100_1\n");

  // A refused array: every member fails with the reason.
  writeFile(state + "/refuse", "");
  PropertiesMap l = launch();
  l.setValue("do_job_block", "true");
  std::unique_ptr<Job> refused = submitted(l, options);
  EXPECT_EQ(submitJobBatches(), 1);
  EXPECT_EQ(refused->state(), JobState::kFailed);
  EXPECT_EQ(refused->lastError(),
            "The submission command \"PATH=" + shellQuote(bin) +
                ":\"$PATH\"; export PATH; sbatch --array=0-0 " +
                shellQuote(analysis + "/Execute_Beam_Analysis.array.sh") +
                "\" failed with exit status 1. Its output:\nsbatch: error: invalid partition "
                "specified\n");
}

// Through a remote machine (stand-ins that run the remote commands here and copy with cp,
// into folders standing for the remote ones): the array script is written beside the first
// member's local script and copied to the first member's remote folder; its entries run the
// members' remote scripts; one remote command removes every member's stale files, then
// submits from the first member's remote folder. A refused copy fails every member.
TEST_F(ScheduledJob, BatchModeThroughARemoteMachine) {
  bool refuseArrayCopy = false;
  options.remoteCommand = [this](const std::string&, const std::string& command,
                                 std::string& wrapped, std::string&) {
    wrapped = "printf '%s\\n' " + shellQuote(command) + " >> " +
              shellQuote(state + "/remote-commands") + "; sh -c " + shellQuote(command);
    return true;
  };
  options.remoteCopy = [&refuseArrayCopy](const std::string&, const std::string& local,
                                          const std::string& remote, std::string& command,
                                          std::string&) {
    command = refuseArrayCopy && local.find(".array.sh") != std::string::npos
                  ? "echo 'lost connection' >&2; exit 1"
                  : "cp " + shellQuote(local) + " " + shellQuote(remote);
    return true;
  };
  resource.setValue("finishCmd", "squeue");
  resource.setValue("jobRemote", "yes");
  resource.setValue("jobRemoteProfile", "cluster");
  auto remoteLaunch = [&](int member, const std::string& command) {
    const std::string local = dir.file("Design " + std::to_string(member));
    EXPECT_TRUE(platform::makeDirectories(local) && platform::makeDirectories(local + " far"));
    PropertiesMap l = launch(command);
    l.setValue("analysis_dir", local);
    l.setValue("do_job_block", "true");
    l.setValue("remote_block", "name: cluster\nplatform: Linux\n");
    l.setValue("rmt_analysis_dir", local + " far");
    return l;
  };
  const std::string far0 = dir.file("Design 0 far"), far1 = dir.file("Design 1 far");
  std::vector<std::unique_ptr<Job>> jobs;
  for (int i = 0; i < 2; ++i) {
    jobs.push_back(submitted(
        remoteLaunch(i, "echo member " + std::to_string(i) + "; exit " + std::to_string(4 + i)),
        options));
  }
  writeFile(far1 + "/Execute_Beam_Analysis.output", "stale\n");
  EXPECT_EQ(submitJobBatches(), 1);
  const std::string array = "/Execute_Beam_Analysis.array.sh";
  // The layout is pinned by the local batch test; here the entries run the remote scripts.
  EXPECT_NE(readFile(dir.file("Design 0") + array)
                .find("  0) exec /bin/sh " + shellQuote(far0 + "/Execute_Beam_Analysis.sh") +
                      " ;;\n  1) exec /bin/sh " + shellQuote(far1 + "/Execute_Beam_Analysis.sh") +
                      " ;;\nesac\n"),
            std::string::npos);
  EXPECT_EQ(readFile(far0 + array), readFile(dir.file("Design 0") + array));
  const std::string stale = "; do rm -f \"$d\"/'Execute_Beam_Analysis.exitstatus' "
                            "\"$d\"/'Execute_Beam_Analysis.exitstatus.tmp' "
                            "\"$d\"/'Execute_Beam_Analysis.output'; done; ";
  EXPECT_EQ(readFile(state + "/remote-commands"),
            "cd " + shellQuote(far0) + " || exit 1; for d in " + shellQuote(far0) + " " +
                shellQuote(far1) + stale + "PATH=" + shellQuote(bin) +
                ":\"$PATH\"; export PATH; sbatch --array=0-1 " + shellQuote(far0 + array) +
                "\n");
  EXPECT_FALSE(platform::pathExists(far1 + "/Execute_Beam_Analysis.output"));
  EXPECT_EQ(readFile(state + "/folder.100"), far0 + "\n");

  // The cluster runs both members: each ends with its own exit status and logged output.
  for (int task = 0; task < 2; ++task) {
    runShell("SLURM_ARRAY_TASK_ID=" + std::to_string(task) + " /bin/sh " +
                 shellQuote(far0 + array) + " >/dev/null 2>&1",
             dir.path());
  }
  platform::removeFile(state + "/job.100");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(jobs[i]->jobId(), "100_" + std::to_string(i));
    EXPECT_TRUE(jobs[i]->finished(false));
    EXPECT_EQ(jobs[i]->exitCode(), 4 + i);
    EXPECT_EQ(readFile(dir.file("Design " + std::to_string(i) + "/analysis.log")),
              "member " + std::to_string(i) + "\n");
  }

  // The array script does not reach the remote machine: every member fails with the reason.
  refuseArrayCopy = true;
  jobs.clear();
  for (int i = 0; i < 2; ++i) {
    jobs.push_back(submitted(remoteLaunch(i, "exit 0"), options));
  }
  EXPECT_EQ(submitJobBatches(), 1);
  for (const std::unique_ptr<Job>& job : jobs) {
    EXPECT_EQ(job->state(), JobState::kFailed);
    EXPECT_EQ(job->lastError(),
              "Could not copy the job script \"" + dir.file("Design 0") + array + "\" to \"" +
                  far0 + array + "\" on the remote machine: the copy command \"echo 'lost "
                  "connection' >&2; exit 1\" ended with exit status 1. Its output:\nlost "
                  "connection\n");
  }
}

TEST_F(ScheduledJob, JobIdReadingFromOtherSchedulers) {
  // The id read, or "refused" when the submission failed for want of a usable id.
  auto submitWithReply = [&](const std::string& reply) {
    writeFile(state + "/reply", reply);
    std::unique_ptr<Job> job = createJob(options);
    return job->submit(launch()) ? job->jobId() : std::string("refused");
  };
  // jobIDStart, jobIDEnd, jobIdLineNum, the submission's output and the id read.
  const char* const cases[][5] = {
      {"Job <", ">", "0", "Job <4711> is submitted to queue <normal>.\n", "4711"},
      {"Job <", ">", "0", "Job <4711 is submitted\n", "refused"},  // no end text
      {"", ".", "0", "\n  1234.pbs-server.example\n", "1234"},
      {"", "", "2", "queue ok\n 88;cluster \n", "refused"},  // ';' is not allowed
      {"", ";", "2", "queue ok\n 88;cluster \n", "88"},
      {"second", "", "-1", "first\nsecond 9_1[3]\n\n", "9_1[3]"},
      {"", "", "0", "\n\n  77  \nlater\n", "77"},
  };
  for (const auto& c : cases) {
    resource.setValue("jobIDStart", c[0]);
    resource.setValue("jobIDEnd", c[1]);
    resource.setValue("jobIdLineNum", c[2]);
    EXPECT_EQ(submitWithReply(c[3]), c[4]) << c[3];
  }
}

TEST_F(ScheduledJob, SubmissionFailuresAreReported) {
  const std::string prefix = "PATH=" + shellQuote(bin) + ":\"$PATH\"; export PATH; sbatch " +
                             shellQuote(analysis + "/Execute_Beam_Analysis.sh");
  writeFile(state + "/refuse", "");
  EXPECT_EQ(submitFailure(launch()),
            "The submission command \"" + prefix +
                "\" failed with exit status 1. Its output:\n"
                "sbatch: error: invalid partition specified\n");
  platform::removeFile(state + "/refuse");

  writeFile(state + "/reply", "queued, thank you\n");
  EXPECT_EQ(submitFailure(launch()),
            "Could not read the job id from the output of the submission command \"" + prefix +
                "\" (jobIDStart \"Submitted batch job\", jobIDEnd \"\", jobIdLineNum 0). The job "
                "may be queued without the solver watching it. Its output:\nqueued, thank you\n");
  writeFile(state + "/reply", "Submitted batch job 12;rm -rf x\n");
  EXPECT_EQ(submitFailure(launch()),
            "The job id \"12;rm -rf x\" read from the output of the submission command \"" +
                prefix +
                "\" holds characters other than letters, digits and \"._-:@[]+\". The job may be "
                "queued without the solver watching it.");
  platform::removeFile(state + "/reply");

  resource.setValue("jobReadID", "no");
  EXPECT_EQ(submitFailure(launch()),
            "The compute resource \"slurm\" must set jobReadID (which must be defined since status "
            "check command is based on job id).");
  resource.setValue("jobReadID", "1");
  resource.setValue("finishFindJob", "Owner");
  EXPECT_EQ(submitFailure(launch()),
            "The property \"finishFindJob\" of the compute resource \"slurm\" must be \"Name\" or "
            "\"ID\", found \"Owner\".");
  resource.setValue("finishFindJob", "id");
  resource.setValue("jobUseTemplate", "2");
  EXPECT_EQ(submitFailure(launch()),
            "Error in the analysis data definition. The Use job template flag can only be 0 "
            "(don't use) or 1 (use), found 2.");
  resource.setValue("jobUseTemplate", "0");
  resource.setValue("jobCommand", "");
  EXPECT_EQ(submitFailure(launch()),
            "The Scheduled compute resource \"slurm\" has no submission command (\"jobCommand\").");
  resource.setValue("jobCommand", "sbatch");
  resource.setValue("jobRemote", "yes");
  resource.setValue("jobRemoteProfile", "cluster");
  EXPECT_EQ(submitFailure(launch()),
            "The compute resource \"slurm\" submits its jobs through a remote machine (remote "
            "profile \"cluster\"), but no remote command and copy generators are available to "
            "the job controller.");
}

TEST_F(ScheduledJob, TemplateNameAndPlaceholders) {
  writeFile(dir.file("slurm.tpl"),
            "#!/bin/sh\n#SBATCH -J %JOBNAME%\n#SBATCH -D %ANALYSISDIR%\n%COMMAND%\n"
            "echo 100%% done\nexit $karvo_job_status");
  resource.setValue("jobUseTemplate", "1");
  resource.setValue("jobTemplate", "slurm.tpl");
  resource.setValue("jobPrefix", "opt-");
  resource.setValue("jobName", "beam %DESIGN%/%CASE%");
  resource.setValue("jobCommand", "sbatch --job-name=%JOBNAME% %JOBSCRIPT%");
  resource.setValue("jobUseWorkdir", "0");
  std::unique_ptr<Job> job = createJob(options);
  PropertiesMap l = launch("exit 0");
  l.setValue("do_logging", "false");
  l.setValue("case_num", "3");
  ASSERT_TRUE(job->submit(l)) << job->lastError();
  EXPECT_EQ(job->jobName(), "opt-beam_5_3");
  EXPECT_EQ(readFile(state + "/submitted.100"),
            "2\n" + analysis + "/Execute_Beam_Analysis.sh\n");
  EXPECT_EQ(readFile(state + "/folder.100"), dir.path() + "\n");  // the study folder
  const std::string status = analysis + "/Execute_Beam_Analysis.exitstatus";
  EXPECT_EQ(readFile(analysis + "/Execute_Beam_Analysis.sh"),
            "#!/bin/sh\n#SBATCH -J opt-beam_5_3\n#SBATCH -D " + analysis + "\n"
            "cd " + shellQuote(analysis) + " || exit 1\n(\nexit 0\n)\nkarvo_job_status=$?\n"
            "echo \"$karvo_job_status\" > " + shellQuote(status + ".tmp") + " && mv -f " +
            shellQuote(status + ".tmp") + " " + shellQuote(status) + "\n"
            "echo 100%% done\nexit $karvo_job_status\n");
  runOnCluster("100");
  EXPECT_TRUE(job->finished(false));
  EXPECT_EQ(job->exitCode(), 0);

  writeFile(dir.file("slurm.tpl"), "#!/bin/sh\necho no command here\n");
  EXPECT_EQ(submitFailure(launch()), "The job template \"" + dir.file("slurm.tpl") +
                                         "\" has no %COMMAND% placeholder for the analysis "
                                         "command.");
  resource.setValue("jobTemplate", "absent.tpl");
  EXPECT_EQ(submitFailure(launch()), "Could not read the job template \"" +
                                         dir.file("absent.tpl") +
                                         "\": No such file or directory");
}

}  // namespace
}  // namespace karvo
