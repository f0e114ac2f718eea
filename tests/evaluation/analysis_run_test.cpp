// Tests of running analyses: folder names; every location kind on this machine and on remote
// machines; conditional file sources; runCommand with real sh commands in a study folder
// whose path holds a blank and a quote; shell characters in folder names; the temporary
// command file; launchCommand; the remote execution script for Linux and Windows machines;
// remote folders, copies and runs through fake ssh, scp and dos2unix programs; and the exact
// failure notes.
#include "evaluation/analysis_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

#include "platform/platform.h"
#include "platform/process.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using testing::noteBlock;
using testing::readFile;
using testing::writeFile;

std::string analysisNote(const std::string& text) { return "*NOTE\n" + text + "\n"; }

std::string analysisLogOf(int design, const std::string& analysis) {
  return analysisLogFile(0, design, analysis, 0);
}

Location at(LocationKind kind, const std::string& path = "", int remote = 0) {
  Location location;
  location.kind = kind;
  location.path = path;
  location.remote = remote;
  location.text = (remote ? "REMOTE:" : "") + std::string("loc") + (path.empty() ? "" : ":" + path);
  return location;
}

Analysis makeAnalysis(const std::string& name, int id, const std::string& resource = "") {
  Analysis analysis;
  analysis.name = name;
  analysis.id = id;
  analysis.computeResource = resource;
  analysis.runLocation.text = "analysisFolder";
  return analysis;
}

class AnalysisRunTest : public testing::StudyFilesTest {
 protected:
  AnalysisRunTest() : StudyFilesTest("karvo-analysis-run") {
    study_ = dir_.path() + "/my study's dir";
    bin_ = dir_.path() + "/bin";
    remoteRoot_ = dir_.path() + "/remote side";
    messagePath_ = study_ + "/study.mes";
  }

  void SetUp() override {
    for (const std::string& folder : {study_, bin_, remoteRoot_}) {
      ASSERT_TRUE(platform::makeDirectories(folder));
    }
    resetRemoteStudies();
    StudyFilesTest::SetUp();
    testing::writeFakeRemoteTools(bin_);
    savedPath_ = platform::getEnv("PATH");
    platform::setEnv("PATH", bin_ + ":" + savedPath_);

    run.workingDirectory = study_;
    run.runPrefix = "demo";
    run.studyName = "plate";
    writeFile(study_ + "/Definitions.in",
              "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
              "*DEFINE_RESPONSE\nname: mass\ntype: File\n"
              "*DEFINE_REMOTE_MACHINE\nname: linuxBox\nplatform: Linux\nhost: hpc1\n"
              "username: ana\nremotePath: " + remoteRoot_ + "\nSSHcmd: " + bin_ + "/ssh\n"
              "SCPcmd: " + bin_ + "/scp\n"
              "*DEFINE_REMOTE_MACHINE\nname: winBox\nplatform: Windows\nhost: win1\n"
              "remotePath: D:\\runs\n"
              "*DEFINE_COMPUTE_RESOURCE\nname: here\ntype: Direct\n"
              "*DEFINE_COMPUTE_RESOURCE\nname: linuxNode\ntype: Direct\njobRemote: yes\n"
              "jobRemoteProfile: linuxBox\n"
              "*DEFINE_COMPUTE_RESOURCE\nname: winNode\ntype: Direct\njobRemote: yes\n"
              "jobRemoteProfile: winBox\n*END\n");
    readDefinitions();
    analysisLogPath = [](int design, const std::string& analysis) {
      return analysisLogOf(design, analysis);
    };

    Agent agent;
    agent.number = 0;
    agent.type = kAgentOptimization;
    agents.push_back(agent);
    Process process;
    process.number = 1;
    process.parallel = 1;
    process.analyses.push_back(makeAnalysis("mesh", 1));
    process.analyses.push_back(makeAnalysis("solve", 2, "here"));
    process.analyses.push_back(makeAnalysis("far", 3, "linuxNode"));
    process.analyses.push_back(makeAnalysis("farWin", 4, "winNode"));
    process.analyses.push_back(makeAnalysis("shared", 5));
    process.analyses.back().runLocation = at(LocationKind::StudyFolder);
    processes.push_back(process);
    clearMessages();
  }

  void TearDown() override {
    platform::setEnv("PATH", savedPath_);
    StudyFilesTest::TearDown();
    resetRemoteStudies();
  }

  Analysis& analysis(const std::string& name) {
    return processes[0].analyses[static_cast<std::size_t>(findAnalysis(processes[0], name))];
  }

  // The context of `name` for design 7, case 0.
  EvaluationContext contextOf(const std::string& name, int design = 7) {
    EvaluationContext context;
    context.agentNumber = 0;
    context.designNumber = design;
    context.analysis = &analysis(name);
    context.analysisName = name;
    return context;
  }

  std::string resolve(const Location& location, const std::string& name,
                      const std::string& file = "") {
    ResolvedPath path = resolveLocation(
        location, file, file.empty() ? PathMode::kPathOnly : PathMode::kPathWithFilename,
        contextOf(name));
    EXPECT_TRUE(path.ok) << path.error;
    return path.path;
  }

  std::unique_ptr<RemoteProfile> profileOf(const std::string& resource) {
    return openRemoteProfile(findComputeResource(resource), contextOf("far"));
  }

  std::string study_, bin_, remoteRoot_, savedPath_;
};

// ---------------------------------------------------------------------------------------
// Folders

// (The default folders: the locations below, and the evaluation flow runs that read them; the
// folders and logs of loop cases: the loop runs of EvaluationFlowLoop.)
TEST_F(AnalysisRunTest, FolderNamesOfAgentsDesignsAndAnalyses) {
  agents[0].evaluationFolder = "/elsewhere/eval";
  agents[0].postFolder = "/elsewhere/post";
  EXPECT_EQ(analysisFolder(0, 3, "solve", 0), "/elsewhere/eval/Design3/solve");
  EXPECT_EQ(analysisPostFolder(0, 3, "solve", 0), "/elsewhere/post/Design3/solve");

  // Without an agent table (check-performance runs).
  agents.clear();
  EXPECT_EQ(analysisFolder(0, 3, "mesh", 0), study_ + "/KARVO_0/Design3/mesh");
  EXPECT_EQ(agentPostFolder(0), study_);
}

// (The study and design folders on a Linux machine: EveryLocationKindOnThisAndOnRemoteMachines.)
TEST_F(AnalysisRunTest, RemoteFoldersInTheFormOfEachPlatform) {
  std::unique_ptr<RemoteProfile> onLinux = profileOf("linuxNode");
  std::unique_ptr<RemoteProfile> onWindows = profileOf("winNode");
  ASSERT_TRUE(onLinux && onWindows);
  EXPECT_EQ(remoteAnalysisFolder(*onWindows, nullptr, "farWin", 4, 0),
            "D:\\runs\\my study's dir\\KARVO_0\\Design4\\farWin");
  analysis("far").jobRemotePath = "/fast/";  // the analysis's own root comes first
  EXPECT_EQ(remoteStudyFolder(*onLinux, &analysis("far")), "/fast/my study's dir");
  RemoteProfile noRoot(PropertiesMap(), nullptr);  // relative to the login folder
  EXPECT_EQ(remoteDesignFolder(noRoot, nullptr, 1), "my study's dir/KARVO_0/Design1");
  run.workingDirectory = "/";
  EXPECT_EQ(remoteStudyFolder(noRoot, nullptr), "myStudy");
}

// ---------------------------------------------------------------------------------------
// Locations

TEST_F(AnalysisRunTest, EveryLocationKindOnThisAndOnRemoteMachines) {
  const std::string design = study_ + "/demo_0/Design7";
  EXPECT_EQ(resolve(at(LocationKind::AnalysisFolder), "solve"), design + "/solve");
  EXPECT_EQ(resolve(at(LocationKind::DesignFolder), "solve"), design);
  EXPECT_EQ(resolve(at(LocationKind::StudyFolder), "solve", "model.k"), study_ + "/model.k");
  EXPECT_EQ(resolve(at(LocationKind::ProjectFolder), "solve"), study_ + "/..");
  EXPECT_EQ(resolve(at(LocationKind::AnotherAnalysis, "mesh"), "solve", "m.k"),
            design + "/mesh/m.k");
  // Another analysis's folder is where it runs.
  EXPECT_EQ(resolve(at(LocationKind::AnotherAnalysis, "shared"), "solve"), study_);
  EXPECT_EQ(resolve(at(LocationKind::FixedLocation, "inputs"), "solve"), study_ + "/inputs");
  EXPECT_EQ(resolve(at(LocationKind::RelativeLocation, "sub/dir"), "solve", "a"),
            design + "/solve/sub/dir/a");
  Location local = at(LocationKind::DesignFolder);
  local.local = 1;
  EXPECT_EQ(resolve(local, "far"), design);  // LOCAL: on a remote resource stays here
  EXPECT_EQ(messages(), "");

  const std::string remoteDesign = remoteRoot_ + "/my study's dir/KARVO_0/Design7";
  auto remote = [&](LocationKind kind, const std::string& path = "",
                    const std::string& file = "") {
    ResolvedPath out = resolveLocation(at(kind, path, 1), file,
                                       file.empty() ? PathMode::kPathOnly
                                                    : PathMode::kPathWithFilename,
                                       contextOf("far"));
    EXPECT_TRUE(out.ok && out.remote) << out.error;
    return out.path;
  };
  EXPECT_EQ(remote(LocationKind::AnalysisFolder), remoteDesign + "/far");
  EXPECT_EQ(remote(LocationKind::DesignFolder, "", "d.txt"), remoteDesign + "/d.txt");
  EXPECT_EQ(remote(LocationKind::ProjectFolder), remoteRoot_ + "/my study's dir/..");
  EXPECT_EQ(remote(LocationKind::AnotherAnalysis, "mesh"), remoteDesign + "/mesh");
  EXPECT_EQ(remote(LocationKind::FixedLocation, "/opt\\x"), "/opt/x");
  EXPECT_EQ(remote(LocationKind::RelativeLocation, "out", "r.txt"), remoteDesign + "/far/out/r.txt");
  ResolvedPath windows = resolveLocation(at(LocationKind::RelativeLocation, "out/a", 1), "",
                                         PathMode::kPathOnly, contextOf("farWin"));
  EXPECT_EQ(windows.path, "D:\\runs\\my study's dir\\KARVO_0\\Design7\\farWin\\out\\a");

  // REMOTE: for an analysis on this machine runs here, with a note.
  ResolvedPath here = resolveLocation(at(LocationKind::AnalysisFolder, "", 1), "",
                                      PathMode::kPathOnly, contextOf("solve"));
  EXPECT_TRUE(here.ok && !here.remote);
  EXPECT_EQ(here.path, study_ + "/demo_0/Design7/solve");
  EXPECT_EQ(messages(), noteBlock("Requested execution of a command on remote machine. However, "
                                  "this analysis is not setup to run on a remote machine. Running "
                                  "commands locally."));
}

TEST_F(AnalysisRunTest, LocationsThatCannotBeResolvedConditionalSourcesAndTheMainInputFile) {
  ResolvedPath missing = resolveInputSource("absent.k", PathMode::kPathOnly, contextOf("solve"));
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.error, "Could not locate the file \"absent.k\" in the list of input files for "
                           "analysis \"solve\".");
  ResolvedPath noMain = resolveMainInputFile(contextOf("solve"));
  EXPECT_EQ(noMain.error, "Error in locating the main input file () for analysis solve. Could "
                          "not form full path for destination.");
  EXPECT_EQ(messages(), "*ERROR\n" + missing.error + "\n\n*ERROR\n" + noMain.error + "\n\n");

  analysis("mesh").runLocation = at(LocationKind::AnotherAnalysis, "shared");
  analysis("shared").runLocation = at(LocationKind::AnotherAnalysis, "mesh");
  ResolvedPath loop = resolveLocation(at(LocationKind::AnotherAnalysis, "mesh"), "",
                                      PathMode::kPathOnly, contextOf("solve"));
  EXPECT_FALSE(loop.ok);
  EXPECT_EQ(loop.error,
            "Error in locating the folder of analysis \"mesh\" for analysis \"shared\". The run "
            "locations of the analyses refer to each other (anotherAnalysis).");
  ResolvedPath tooLong = resolveLocation(at(LocationKind::FixedLocation, "/" + std::string(2100, 'a')),
                                         "", PathMode::kPathOnly, contextOf("solve"));
  EXPECT_FALSE(tooLong.ok);
  const std::string path = "/" + std::string(2100, 'a');
  EXPECT_EQ(tooLong.error, "The path formed for the location \"loc:" + path +
                               "\" of analysis \"solve\" is 2101 bytes long, more than the limit "
                               "of 2055 bytes:\n" + path);

  clearMessages();
  InputFile file;
  file.name = "mesh.k";
  file.target = "model.k";
  file.source = at(LocationKind::AnotherAnalysis, "meshA");
  file.sourceAnalyses = {"meshA", "meshB", "meshC"};
  analysis("solve").inputFiles.push_back(file);
  analysis("solve").primaryInput = "model.k";
  EvaluationContext context = contextOf("solve");
  auto status = [](const std::string& name) { return name == "meshA" ? 0 : 2; };
  ResolvedPath source = resolveInputSource("model.k", PathMode::kPathWithFilename, context, status);
  EXPECT_EQ(source.path, study_ + "/demo_0/Design7/meshB/mesh.k");
  EXPECT_EQ(chooseSourceAnalysis(file, {}, context), "meshA");
  EXPECT_EQ(messages(),
            noteBlock("Using analysis \"meshB\" as source from the list (meshA, meshB, meshC) "
                      "for this analysis since it was successfully evaluated.") +
                noteBlock("None of the analyses in the list (meshA, meshB, meshC) was "
                          "successfully evaluated. Using the first analysis \"meshA\" as source "
                          "for this analysis."));
  EXPECT_EQ(resolveMainInputFile(context).path, study_ + "/demo_0/Design7/solve/model.k");
}

// ---------------------------------------------------------------------------------------
// Commands on this machine

TEST_F(AnalysisRunTest, AnalysisCommandRunsInAStudyFolderWithABlankAndAQuote) {
  const std::string folder = study_ + "/demo_0/Design7/solve";
  const std::string log = analysisLogOf(7, "solve");
  ASSERT_TRUE(platform::makeDirectories(folder));
  ASSERT_TRUE(platform::makeDirectories(study_ + "/POST_0/Design7/solve"));
  writeFile(log, "header\n");
  CommandRequest request;
  request.kind = CommandKind::kAnalysis;
  request.command = "echo out-%Design_Num%; echo err >&2; pwd > where.txt; exit 3";
  request.wait = true;
  CommandLaunch launch = runCommand(request, contextOf("solve"));
  ASSERT_NE(launch.job, nullptr) << messages();
  EXPECT_EQ(launch.job->exitCode(), 3);
  EXPECT_EQ(launch.scriptPath, folder + "/Execute_solve_Analysis.sh");
  EXPECT_TRUE(platform::isRegularFile(launch.scriptPath));
  EXPECT_EQ(readFile(folder + "/where.txt"), folder + "\n");
  EXPECT_EQ(readFile(log), "header\nout-7\nerr\n");

  // What the job controller is handed (the command with its tags replaced, the blocks).
  const PropertiesMap& set = launch.launch;
  EXPECT_EQ(set.value("exec_cmd"), "echo out-7; echo err >&2; pwd > where.txt; exit 3");
  EXPECT_EQ(set.value("case_num"), "1");
  EXPECT_EQ(set.value("resource_block"), "name: here\ntype: Direct\n");
  EXPECT_EQ(set.value("analysis_block"),
            "computeResource: here\nexecShell: /bin/bash\nid: 2\njobBatchMode: 0\n"
            "jobNamePrefix: \njobRemotePath: \nmaxTime: 0\nname: solve\nnumDesigns: 1\n"
            "reserveEnvironment: \nreserveSoftware: \nreserveVersion: \n");
}

TEST_F(AnalysisRunTest, UtilityAndSharedFolderCommandsGetTheirOwnScriptsAndLogs) {
  CommandRequest utility;
  utility.command = "echo utility";
  utility.wait = true;
  CommandLaunch launch = runCommand(utility, EvaluationContext());
  ASSERT_NE(launch.job, nullptr) << messages();
  EXPECT_EQ(launch.scriptPath, study_ + "/Execute_NONE_utilAnalysis.sh");
  EXPECT_EQ(readFile(study_ + "/OutputFromUtilityCommands.msg"), "utility\n");
  EXPECT_EQ(launch.launch.value("do_analysis_run"), "false");

  // "shared" runs in the study folder: its scripts go to the design folder, one per design.
  ASSERT_TRUE(platform::makeDirectories(study_ + "/demo_0/Design7"));
  CommandRequest post;
  post.kind = CommandKind::kPostAnalysis;
  post.command = "touch post.done";
  post.wait = true;
  post.logging = false;
  launch = runCommand(post, contextOf("shared"));
  ASSERT_NE(launch.job, nullptr) << messages();
  EXPECT_EQ(launch.scriptPath, study_ + "/demo_0/Design7/Execute_shared_postAnalysis.sh");
  EXPECT_TRUE(platform::isRegularFile(study_ + "/post.done"));
  EXPECT_EQ(launch.launch.value("resource_block"), "");

  for (const std::string name : {"a;touch x", "$(touch y)", "`touch z`", "q'\"; touch w #"}) {
    const std::string folder = study_ + "/" + name;
    ASSERT_TRUE(platform::makeDirectories(folder));
    CommandRequest request;
    request.command = "echo safe > out.txt";
    request.folder = folder;
    request.logFile = folder + "/run.log";
    request.wait = true;
    CommandLaunch launch = runCommand(request, EvaluationContext());
    ASSERT_NE(launch.job, nullptr) << name << messages();
    EXPECT_EQ(launch.job->exitCode(), 0) << name;
    EXPECT_EQ(readFile(folder + "/out.txt"), "safe\n") << name;
    EXPECT_EQ(runThroughCommandFile("echo again >> out.txt", folder, folder + "/run.log"), 0);
    EXPECT_EQ(readFile(folder + "/out.txt"), "safe\nagain\n") << name;
  }
  for (const char* injected : {"x", "y", "z", "w"}) {
    EXPECT_FALSE(platform::pathExists(study_ + "/" + injected)) << injected;
    EXPECT_FALSE(platform::pathExists(study_ + "/a;touch x/" + injected)) << injected;
    EXPECT_FALSE(platform::pathExists(platform::currentDirectory() + "/" + injected)) << injected;
  }
}

TEST_F(AnalysisRunTest, CommandsThatCannotStartLeaveTheirWarningAndTheCommandFileKeepsRedirections) {
  const std::string head =
      "*WARNING\nError in executing the following command (could not create the process to "
      "run this):\n";
  CommandRequest request;
  request.command = "solver %mass%";  // a response without a value in this design
  EXPECT_EQ(runCommand(request, contextOf("solve")).job, nullptr);
  EXPECT_EQ(messages(),
            "*ERROR\nError in getting the value for \"mass\" for replacing on the command line. "
            "The execution command will be set to a dummy value to prevent running the analysis "
            "with an incomplete command.\n\n" +
                head + "Replacing command with this\nNot every tag of the command could be "
                       "replaced, so it was not started.\n\n");
  clearMessages();
  request.command = "./run.sh";
  request.folder = study_ + "/missing";
  EXPECT_EQ(runCommand(request, contextOf("solve")).job, nullptr);
  EXPECT_EQ(messages(), head + "./run.sh\nThe analysis folder \"" + study_ +
                            "/missing\" does not exist.\n\n");
  clearMessages();
  request.folder = study_;
  request.resourceName = "nowhere";
  EXPECT_EQ(runCommand(request, contextOf("solve")).job, nullptr);
  EXPECT_EQ(messages(),
            head + "./run.sh\nThe compute resource \"nowhere\" has not been defined.\n\n");

  const std::string log = study_ + "/util log.msg";
  EXPECT_EQ(runThroughCommandFile("printf 'a b\\n'; exit 4", study_, log), 4);
  EXPECT_EQ(readFile(study_ + "/KARVOMDOTempExecCmdFile__.sh"), "printf 'a b\\n'; exit 4\n");
  EXPECT_EQ(readFile(log), "a b\n");
  // The command's own redirection is kept; the log takes the rest.
  EXPECT_EQ(runThroughCommandFile("echo kept > own.txt; echo logged", study_, log), 0);
  EXPECT_EQ(readFile(study_ + "/own.txt"), "kept\n");
  EXPECT_EQ(readFile(log), "a b\nlogged\n");
  run.settings.verbose = 1;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(runThroughCommandFile("echo gone", study_, ""), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "/bin/sh " + platform::shellQuote(study_ + "/KARVOMDOTempExecCmdFile__.sh") +
                " 1>> /dev/null 2>&1\n");
  run.settings.verbose = 0;
  // A command file that cannot be written: the command runs directly.
  const std::string blocked = study_ + "/blocked";
  ASSERT_TRUE(platform::makeDirectories(blocked + "/KARVOMDOTempExecCmdFile__.sh"));
  EXPECT_EQ(runThroughCommandFile("echo direct; exit 2", blocked, log), 2);
  EXPECT_EQ(readFile(log), "a b\nlogged\ndirect\n");
}

TEST_F(AnalysisRunTest, LaunchCommandForPortals) {
  const std::string folder = dir_.path() + "/tools dir";
  ASSERT_TRUE(platform::makeDirectories(folder));
  writeFile(folder + "/my tool.sh", "#!/bin/sh\necho \"$1|$2\"\nexit 6\n");
  ASSERT_EQ(::chmod((folder + "/my tool.sh").c_str(), 0755), 0);
  LaunchResult result = launchCommand(folder + "/my tool.sh", "one 'two three'", "", folder);
  EXPECT_EQ(result.exitCode, 6);
  EXPECT_EQ(result.outputFile, folder + "/launchCommandOutput.msg");
  EXPECT_EQ(readFile(result.outputFile), "one|two three\n");
  // The caller asked to handle blanks itself: the path is not quoted, so sh splits it.
  result = launchCommand(folder + "/my tool.sh", "", "processSpaces", folder);
  EXPECT_EQ(result.exitCode, 127);
  // "nowait" returns at once; the program still runs to its end and is reaped.
  result = launchCommand("/bin/sh", "-c 'echo later > later.txt'", "NoWait", folder);
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, -1);
  while (platform::reapDetachedProcesses() > 0) platform::waitForChildExitOrTimeout(1000);
  EXPECT_EQ(readFile(folder + "/later.txt"), "later\n");
}

// ---------------------------------------------------------------------------------------
// Remote machines

TEST_F(AnalysisRunTest, RemoteExecutionScriptsAndARunThroughTheProfilesCommands) {
  std::unique_ptr<RemoteProfile> onLinux = profileOf("linuxNode");
  std::unique_ptr<RemoteProfile> onWindows = profileOf("winNode");
  const RemoteCommandSet& posix = remoteCommandSet(*onLinux);
  const RemoteCommandSet& cmd = remoteCommandSet(*onWindows);
  EXPECT_EQ(remoteScriptName("solve", "./run.sh -n 4", posix), "Tool_solve_execute_runshn4.sh");
  EXPECT_EQ(remoteScriptName("solve", "abaqus job=plate cpus=4", cmd),
            "Tool_solve_execute_abaqusjobp.cmd");
  EXPECT_EQ(remoteScriptName("solve", "-- && ./*", posix), "Tool_solve_execute.sh");

  std::string text, error;
  ASSERT_TRUE(remoteScriptText(*onLinux, "/scratch/a b's/solve", "./run.sh -n 4", text, error));
  EXPECT_EQ(text,
            "# Changing directory to the analysis folder\n"
            "cd '/scratch/a b'\\''s/solve' || exit 1\n"
            "# Now running the command\n"
            "./run.sh -n 4\n");
  ASSERT_TRUE(remoteScriptText(*onWindows, "D:\\runs\\a b\\solve", "prep.bat\nsolver -i m.k", text,
                               error));
  EXPECT_EQ(text,
            "REM Changing directory to the analysis folder\r\n"
            "cd /d \"D:\\runs\\a b\\solve\" || exit /b 1\r\n"
            "REM Now running the command\r\n"
            "prep.bat\r\nsolver -i m.k\r\n");
  EXPECT_FALSE(remoteScriptText(*onWindows, "D:\\a\"b", "x", text, error));
  EXPECT_EQ(error, "The argument \"D:\\a\"b\" for the Windows machine \"winBox\" contains a "
                   "double quote or a control character, which cmd.exe cannot pass as one "
                   "argument.");

  std::unique_ptr<RemoteProfile> profile = profileOf("linuxNode");
  InputFile model;
  model.name = model.target = "model.k";
  model.source = at(LocationKind::StudyFolder);
  analysis("far").inputFiles.push_back(model);
  analysis("far").outputFiles = {"result.txt"};
  writeFile(study_ + "/model.k", "nodes\n");
  const std::string local = study_ + "/demo_0/Design7/far";
  const std::string remoteStudy = remoteRoot_ + "/my study's dir";
  const std::string remote = remoteStudy + "/KARVO_0/Design7/far";
  ASSERT_TRUE(platform::makeDirectories(local + "/inc"));
  ASSERT_TRUE(platform::makeDirectories(study_ + "/POST_0/Design7/far"));
  writeFile(local + "/input.txt", "load 5\n");
  writeFile(local + "/inc/part.k", "part\n");
  EvaluationContext context = contextOf("far");

  // The study folder once per profile, then the analysis folder.
  ASSERT_TRUE(prepareRemoteStudyFolder(*profile, processes[0], context));
  EXPECT_EQ(readFile(remoteStudy + "/model.k"), "nodes\n");
  const std::string studyCopy = "[-s][-o][BatchMode=yes][-p][" + study_ + "/model.k][ana@hpc1:" +
                                remoteStudy + "/model.k]\n";
  EXPECT_EQ(readFile(bin_ + "/scp.log"), studyCopy);
  EXPECT_EQ(messages(), noteBlock("Copying files for analysis: far (remote profile: linuxBox)") +
                            noteBlock("Done copying files to remote machine."));
  const std::string quotedStudy = "'" + remoteRoot_ + "/my study'\\''s dir";
  EXPECT_EQ(readFile(bin_ + "/ssh.log"),
            "[-n][-o][BatchMode=yes][ana@hpc1][mkdir -p " + quotedStudy + "/KARVO_0']\n"
            "[-n][-o][BatchMode=yes][ana@hpc1][chmod -R 755 " + quotedStudy + "'/*]\n"
            "[-n][-o][BatchMode=yes][ana@hpc1][find " + quotedStudy +
                "' -type f -name \\*.sh -exec dos2unix {} +;]\n");
  ASSERT_TRUE(prepareRemoteStudyFolder(*profile, processes[0], context));
  EXPECT_EQ(readFile(bin_ + "/scp.log"), studyCopy);  // not copied again

  ASSERT_TRUE(createRemoteAnalysisFolder(*profile, context));
  ASSERT_TRUE(copyAnalysisFilesToRemote(*profile, context));
  EXPECT_EQ(readFile(remote + "/input.txt"), "load 5\n");
  EXPECT_EQ(readFile(remote + "/inc/part.k"), "part\n");

  CommandRequest request;
  request.kind = CommandKind::kAnalysis;
  request.command = "cat input.txt > result.txt; echo ran; exit 5";
  request.wait = true;
  CommandLaunch launch = runCommand(request, context);
  ASSERT_NE(launch.job, nullptr) << readFile(analysisLogOf(7, "far"));
  EXPECT_TRUE(launch.remote);
  EXPECT_EQ(launch.job->exitCode(), 5);
  EXPECT_EQ(readFile(remote + "/result.txt"), "load 5\n");
  EXPECT_TRUE(platform::isRegularFile(remote + "/Tool_far_execute_catinputtx.sh"));
  EXPECT_EQ(launch.launch.value("rmt_analysis_dir"), remote);
  EXPECT_EQ(launch.launch.value("rmt_study_dir"), remoteStudy);
  EXPECT_EQ(launch.launch.value("remote_block"),
            "SCPcmd: " + bin_ + "/scp\nSSHcmd: " + bin_ + "/ssh\nhost: hpc1\nname: linuxBox\n"
            "platform: Linux\nremotePath: " + remoteRoot_ + "\nusername: ana\n");
  EXPECT_EQ(launch.launch.value("exec_cmd"),
            "/bin/bash '" + remoteRoot_ + "/my study'\\''s dir/KARVO_0/Design7/far/"
                                          "Tool_far_execute_catinputtx.sh'");
  EXPECT_EQ(readFile(bin_ + "/dos2unix.log"),
            "[" + remote + "/Tool_far_execute_catinputtx.sh]\n");

  ASSERT_TRUE(copyOutputFilesFromRemote(*profile, context));
  EXPECT_EQ(readFile(local + "/result.txt"), "load 5\n");
  const std::string log = readFile(analysisLogOf(7, "far"));
  EXPECT_EQ(log, analysisNote("Creating analysis directory " + remote + " on the remote machine.") +
                     analysisNote("Copying all analysis files to the remote analysis folder") +
                     analysisNote("Copying Tool_far_execute_catinputtx.sh to the remote analysis "
                                  "folder") +
                     analysisNote("Performing dos2unix on the cmd file") +
                     analysisNote("Updating execute permissions") + "ran\n" +
                     analysisNote("Copying output files back from the remote machine.") +
                     analysisNote("Copying output file result.txt from the remote machine back to "
                                  "the analysis folder on the local machine."));
}

TEST_F(AnalysisRunTest, RemoteFailureNotesAreExact) {
  EvaluationContext context = contextOf("far");
  PropertiesMap broken;
  broken.setValue("name", "broken");
  broken.setValue("platform", "Linux");
  RemoteProfile noHost(broken, nullptr);
  EXPECT_FALSE(copyToRemote(noHost, "/x/y", "/r/y", false, study_, "", context));
  std::unique_ptr<RemoteProfile> onWindows = profileOf("winNode");
  EXPECT_EQ(runRemoteCommand(*onWindows, "a\nb", study_, "", context), -1);
  EXPECT_EQ(messages(),
            noteBlock("Error in creating the remote copy command using the remote profile "
                      "\"broken\" for file \"/x/y\".\nMessage received:\nError in the "
                      "definition of the remote machine \"broken\". The host is not defined.") +
                noteBlock("Error in creating the execution command using the remote profile "
                          "\"winBox\". Original command: \"a\nb\".\nMessage received:\nThe "
                          "command to run on the Windows machine \"winBox\" contains a line "
                          "break, which cmd.exe would cut off: a\nb"));

  clearMessages();
  ComputeResource ghost = *findComputeResource("linuxNode");
  ghost.name = "ghostNode";
  ghost.remoteProfile = "ghost";
  ghost.remoteMachine = -1;
  computeResources.push_back(ghost);
  EXPECT_EQ(openRemoteProfile(findComputeResource("ghostNode"), context), nullptr);
  EXPECT_EQ(messages(), noteBlock("The definition for the remote profile \"ghost\" has been "
                                  "corrupted. Trying to continue the run is possible."));

  clearMessages();
  EXPECT_FALSE(copyFromRemote(*profileOf("linuxNode"), remoteRoot_ + "/absent.txt",
                              study_ + "/absent.txt", false, study_, "", context));
  EXPECT_EQ(messages(),
            "*ERROR\nError in copying the file \"" + remoteRoot_ +
                "/absent.txt\" from the remote machine (remote profile \"linuxBox\"). The copy "
                "command ended with the exit status 1:\n" + bin_ + "/scp -s -o BatchMode=yes -p " +
                platform::shellQuote("ana@hpc1:" + remoteRoot_ + "/absent.txt") + " " +
                platform::shellQuote(study_ + "/absent.txt") + "\n\n");

  clearMessages();
  std::string remotePath;
  EXPECT_FALSE(writeRemoteExecutionScript(*profileOf("linuxNode"), context, "run",
                                          study_ + "/no such folder", "/r", "", remotePath));
  EXPECT_EQ(messages(),
            "*ERROR\nError in creating the execution script for remote analysis \"far\".\n\n");
}

}  // namespace
}  // namespace karvo
