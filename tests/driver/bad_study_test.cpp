// Broken study folders run through the real karvo binary: each one starts from the small valid
// study, breaks one thing, and must end with exit status 133, its exact error text in the
// message file, "Run exiting due to an error", no lock file of its own left behind, and no
// report (or, for an error found after the reports exist, reports closed with "Error").
// Also the settings that are accepted with a warning or change what the run writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using ::testing::HasSubstr;
using ::testing::Not;
using namespace karvo::testing;

constexpr int kFatalStatus = 133;
const std::string kRunExiting = "Run exiting due to an error\n";
const std::string kEndOfRunStdout = "\n\n\tEnd of KARVO run.\n";

// Rewrites "Assembly.in" and the study file for optimization agents named `names` (ids 0, 1,
// ...), all on the minimal study's representation and performance, run from `start` to `end`.
void writeAgents(const std::string& dir, const std::vector<std::string>& names, int start,
                 int end) {
  std::string assembly = "*TYPE\nversion: 2019.01\n";
  std::string study = "*STUDY\nname: demo\nstartAgent: " + std::to_string(start) +
                      "\nendAgent: " + std::to_string(end) +
                      "\nfilePrefix: demo\nrandomSeed: 0.5\nmode: newStudy\n";
  for (std::size_t id = 0; id < names.size(); ++id) {
    assembly += "*AGENT\nid: " + std::to_string(id) + "\nname: " + names[id] +
                "\ntype: optimization\nrepresentation: 0\nperformance: 0\n";
    study += "*AGENT\nid: " + std::to_string(id) + "\nmethod: TOLMAR\nnumEvals: 200\n";
  }
  writeFile(dir + "/Assembly.in", assembly + "*END\n");
  writeFile(dir + "/study.in", study + "*END\n");
}

// The body of the fatal error block: the text between the last "*ERROR" header before
// "Run exiting due to an error" and that line, unwrapped.
std::string fatalBlock(const std::string& messages) {
  const std::string text = unwrapped(messages);
  const std::size_t exiting = text.find("\n\n" + kRunExiting);
  if (exiting == std::string::npos) return "(no \"Run exiting\" line)";
  const std::size_t header = text.rfind("*ERROR\n", exiting);
  if (header == std::string::npos) return "(no *ERROR block)";
  return text.substr(header + 7, exiting - header - 7);
}

// Checks what every fatal end leaves: status, the exact error block, the closing notes, the
// standard streams, and no lock file.
void expectFatalEnd(const ProcessResult& result, const std::string& dir,
                    const std::string& errorText) {
  EXPECT_EQ(result.status, kFatalStatus);
  // The terminal gets the error block too, then the line that ends the run.
  EXPECT_EQ(fatalBlock(result.err), errorText);
  EXPECT_THAT(result.err, ::testing::EndsWith("\n\n" + kRunExiting));
  EXPECT_EQ(result.out, kEndOfRunStdout);
  const std::string messages = readFile(dir + "/study.mes");
  EXPECT_EQ(fatalBlock(messages), errorText);
  EXPECT_EQ(occurrences(messages, kRunExiting), 1u);
  EXPECT_THAT(messages, HasLines("*NOTE\n************END OF RUN INFORMATION************\n"));
  EXPECT_THAT(messages, HasLines("*NOTE\nEnd of KARVO run.\n\n"));
  EXPECT_THAT(filesEndingIn(dir, ".lock"), ::testing::IsEmpty());
}

// ---------------------------------------------------------------------------------------
// One broken folder per case

struct BadStudyCase {
  const char* label;                                    // test name
  std::function<void(const std::string& dir)> breakIt;  // breaks the minimal study in dir
  std::string errorText;  // the fatal block as written, "{wd}" for the folder
  std::string before = "";  // text just before the block's header ("": not checked)
};

void PrintTo(const BadStudyCase& c, std::ostream* os) { *os << c.label; }

std::string withFolder(std::string text, const std::string& folder) {
  for (std::size_t at = text.find("{wd}"); at != std::string::npos; at = text.find("{wd}")) {
    text.replace(at, 4, folder);
  }
  return text;
}

class BadStudy : public ::testing::TestWithParam<BadStudyCase> {};

TEST_P(BadStudy, EndsWithItsErrorAndLeavesNoLockOrReport) {
  const BadStudyCase& c = GetParam();
  TempDir dir;
  writeMinimalStudy(dir.path());
  c.breakIt(dir.path());
  if (HasFatalFailure()) return;
  auto result = runStudy(dir);
  const std::string wd = workingDirectory(dir);
  expectFatalEnd(result, dir.path(), withFolder(c.errorText, wd));
  EXPECT_THAT(readFile(dir.file("study.mes")), ::testing::EndsWith("*NOTE\nEnd of KARVO run.\n\n"));
  if (!c.before.empty()) {
    EXPECT_THAT(studyMessages(dir),
                HasLines(withFolder(c.before + "*ERROR\n" + c.errorText + "\n\n", wd) +
                         kRunExiting));
  }
  // Every one of these errors is found before the reports are created.
  EXPECT_THAT(filesEndingIn(dir.path(), ".rpt"), ::testing::IsEmpty());
}

// Breaks `file` of the minimal study by replacing `from` with `to`.
std::function<void(const std::string&)> edit(const std::string& file, const std::string& from,
                                             const std::string& to) {
  return [=](const std::string& d) { replaceIn(d, file, from, to); };
}

// The study file with `lines` added to agent 0's record.
std::function<void(const std::string&)> agentWith(const std::string& lines) {
  return edit("study.in", "numEvals: 200", "numEvals: 200\n" + lines);
}

// Agents 0 to 2 run from `start` to `end`.
std::function<void(const std::string&)> threeAgents(int start, int end) {
  return [=](const std::string& d) { writeAgents(d, {"sizing", "shape", "tuning"}, start, end); };
}

// Messages pinned by the unit tests of a reader appear here once per reader, for the shape of
// a fatal end; the study file and Assembly.in have no unit tests of their own.
std::vector<BadStudyCase> badStudies() {
  return {
      {"UnknownKeywordInAssembly", edit("Assembly.in", "*END", "*NEIGHBOUR\nx: 1\n*END"),
       "Unsupported keyword:\n*NEIGHBOUR\non line 9 of file {wd}/Assembly.in."},
      {"DuplicateAgentId",
       edit("Assembly.in", "*END",
            "*AGENT\nid: 0\nname: again\ntype: optimization\nrepresentation: 0\nperformance: 0\n"
            "*END"),
       "Agent 0 is defined more than once in the Assembly.in file."},
      {"UnknownAgentType", edit("Assembly.in", "type: optimization", "type: genetic"),
       "Setup error",
       "*ERROR\nUnsupported agent type specified (genetic). Allowed types are: optimization, "
       "doe, reliability and robustness, evaluation\n\n"},
      {"MissingStudyName", edit("study.in", "name: demo\n", ""),
       "When reading data for \"Name not defined yet\" of type \"Study\" from file \"Study "
       "Input file\", KARVO encountered the following error in reading the data for property "
       "\"name\":\nThe property is not defined."},
      // A variable's error names the variable, the record and the property.
      {"UndefinedDiscreteSet",
       edit("Definitions.in", "*DEFINE_RESPONSE",
            "*DEFINE_VARIABLE\nname: m\ntype: Discrete\nid: 2\nset: mats\nbaseline: 1\n"
            "*DEFINE_RESPONSE"),
       "The discrete set \"mats\" has not been defined prior to its use for the definition of a "
       "discrete variable.\nThe error is in property \"set\" of the Discrete Variable \"m\" "
       "(record on line 8 of file \"Definitions.in\")."},
      {"MissingRepresentationFile",
       [](const std::string& d) { fs::remove(d + "/Representation0.in"); }, "\tExiting.",
       "\n\n\tError in attempting to read file:\n\t{wd}/Representation0.in\n\n\tError message "
       "received: No such file or directory\n"},
      // Refused: the prefix would put the run's files (lock files among them) elsewhere.
      {"FilePrefixWithAFolder", edit("study.in", "filePrefix: demo", "filePrefix: ../demo"),
       "When reading data for \"demo\" of type \"Study\" from file \"Study Input file\", KARVO "
       "encountered the following error in reading the data for property \"filePrefix\":\nThe "
       "file prefix \"../demo\" names a folder. It may not contain \"/\"."},
      // Refused: the run's log of that name, which a new run deletes, lies outside the folder.
      {"StudyNameWithAFolder", edit("study.in", "name: demo", "name: ../victim"),
       "When reading data for \"../victim\" of type \"Study\" from file \"Study Input file\", "
       "KARVO encountered the following error in reading the data for property \"name\":\nThe "
       "study name \"../victim\" names a folder. It may not contain \"/\"."},
      // Refused: a new run moves or deletes the evaluation folder with the earlier results.
      {"EvaluationFolderIsTheStudyFolder", agentWith("evaluationDirectory: ."),
       "When reading data for \"sizing\" of type \"Agent\" from file \"Study Input file\", "
       "KARVO encountered the following error in reading the data for property "
       "\"evaluationDirectory\":\nThe folder \".\" is the study folder or holds it. A new run "
       "moves or deletes this folder with the earlier results, so it must be a folder of its "
       "own, inside or outside the study folder."},
      {"SeedAboveOne", edit("study.in", "randomSeed: 0.5", "randomSeed: 1.0001"),
       "When reading \"randomSeed\" input for \"demo\" of type \"Study\" from file \"Study Input "
       "file\", the value read (1.0001) is outside the expected range [0, 1]"},
      {"AnalysisOnUndefinedComputeResource",
       [](const std::string& d) {
         replaceIn(d, "Assembly.in", "performance: 0\n", "performance: 0\nprocess: 0\n");
         writeFile(d + "/Process0.in",
                   "*PROCESS\nname: chain\n*ANALYSIS\nname: solve\nid: 1\n"
                   "computeResource: cluster\n*EXECUTION_DEFINITION\ntoolCmd: nil\n*END\n");
       },
       "The compute resource \"cluster\" used in analysis \"solve\" has not been defined in the "
       "model.\nThe error is in property \"computeResource\" of the Analysis definition \"solve\" "
       "(record on line 3 of file \"Process0.in\")."},
      {"UnknownObjectiveOption", edit("Performance0.in", "option: min_value", "option: minimum"),
       "Invalid option selected for an objective/constraint \"f\". Valid choices are min_value, "
       "max_value, min_diff, max_diff for OBJECTIVES and less_equal, equal, greater_equal for "
       "CONSTRAINTS.\nThe error is in property \"option\" of the Study response \"f\" (record on "
       "line 1 of file \"Performance0.in\")."},
      {"StudyFileWithoutStudyRecord", edit("study.in", "*STUDY\n", "$ the study record\n"),
       "No study definition found in the study input file"},
      {"OutputPrecisionTooLarge", agentWith("outputPrecision: 31"),
       "Error in the definition of the study results output precision. The defined value (31) "
       "is too large. It must be smaller than 30. "},
      {"OutputPrecisionTooSmall", agentWith("outputPrecision: 2"),
       "Error in the definition of the study results output precision. The defined value (2) "
       "is too small. It must be at least 3. "},
      {"StartAgentAfterEndAgent", threeAgents(2, 1),
       "The ending agent number (1) defined in the study file must be greater than starting "
       "agent (2)."},
      {"EndAgentBeyondTheAgents", threeAgents(0, 3),
       "Illegal value for starting (0) or finishing (3) agent number defined in the study file; "
       "must be <= 2"},
      {"NegativeStartAgent", threeAgents(-1, 1),
       "Illegal value for starting agent number (-1) defined in the study file. Must be greater "
       "than or equal to zero."},
      // The next two fail after agent 0's lock file was made: it must be gone again.
      {"AgentInRangeWithoutStudyRecord",
       [](const std::string& d) {
         writeAgents(d, {"sizing", "shape"}, 0, 1);
         replaceIn(d, "study.in", "*AGENT\nid: 1\nmethod: TOLMAR\nnumEvals: 200\n", "");
       },
       "The study file has no *AGENT record for agent 1 (\"shape\"), which is in the range of "
       "agents to run."},
      {"ComponentLinksFile",
       [](const std::string& d) { writeFile(d + "/Vantrel_Interfaces.in", "*END\n"); },
       "The study folder holds the component links file \"{wd}/Vantrel_Interfaces.in\". "
       "Component studies, whose agents are linked through that file, cannot be run by this "
       "solver: its agents would run unlinked. Remove the file to run the agents as separate "
       "agents."},
      {"SecondAgentWithUnknownMethod",
       [](const std::string& d) {
         writeAgents(d, {"sizing", "shape"}, 0, 1);
         replaceIn(d, "study.in", "id: 1\nmethod: TOLMAR", "id: 1\nmethod: NSGA3");
       },
       "Error in defining the method details. The method used \"NSGA3\" is not supported."},
  };
}

INSTANTIATE_TEST_SUITE_P(Folders, BadStudy, ::testing::ValuesIn(badStudies()),
                         [](const ::testing::TestParamInfo<BadStudyCase>& info) {
                           return std::string(info.param.label);
                         });

// ---------------------------------------------------------------------------------------
// Lock files of another run

std::string lockSentences(const std::string& lockFile) {
  return "The lock file (" + lockFile +
         ") exists in the working directory. This means that either the agent being started is "
         "currently running, or was terminated abnormally. Please check that the old run has "
         "stopped or clean the lock file if the run was  terminated abnormally. Then try to "
         "submit the current run again.";
}

// The lock file of an agent outside the range does not matter; of a second agent in it, it
// ends the run, which keeps it (it belongs to the run that made it) and removes its own.
TEST(LeftoverLockFile, OfASecondAgentInTheRangeOnly) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  writeAgents(dir.path(), {"sizing", "shape"}, 0, 0);
  const std::string content = "Lock File for Agent #: 1\nrunning: solve\n";
  writeFile(dir.file("demo1.lock"), content);
  EXPECT_EQ(runStudy(dir).status, 0);
  writeAgents(dir.path(), {"sizing", "shape"}, 0, 1);
  EXPECT_EQ(runStudy(dir).status, kFatalStatus);
  EXPECT_EQ(fatalBlock(readFile(dir.file("study.mes"))),
            lockSentences(workingDirectory(dir) + "/demo1.lock"));
  EXPECT_THAT(filesEndingIn(dir.path(), ".lock"), ::testing::ElementsAre("demo1.lock"));
  EXPECT_EQ(readFile(dir.file("demo1.lock")), content);
}

// ---------------------------------------------------------------------------------------
// Environment

TEST(BadEnvironment, KarvoRootNotAFolderEndsTheStartWithoutABackupFolder) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  const std::string root = dir.path() + "/missing/solver";
  auto result = runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + root});
  expectFatalEnd(result, dir.path(), "environment setup error");
  EXPECT_THAT(studyMessages(dir),
              HasLines("*ERROR\nThe extension environment could not be created: the "
                       "installation folder \"" +
                       root + "\" (KARVO_ROOT) is not a folder.\n"));
  // A start that ends at once has no earlier results to move: it makes no backup folder. The
  // next start moves the message file it left into one.
  EXPECT_EQ(filesEndingIn(dir.path(), ""),
            (std::vector<std::string>{"Assembly.in", "Definitions.in", "Performance0.in",
                                      "Representation0.in", "study.in", "study.mes"}));
  const std::string first = readFile(dir.file("study.mes"));
  ASSERT_EQ(runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + root}).status, kFatalStatus);
  const std::set<std::string> backups = backupFolders(dir.path());
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(filesEndingIn(dir.file(*backups.begin()), ""), std::vector<std::string>{"study.mes"});
  EXPECT_EQ(readFile(dir.file(*backups.begin() + "/study.mes")), first);
}

// ---------------------------------------------------------------------------------------
// An error found once the reports exist closes them with "Error"

TEST(ErrorAfterReports, ClosesTheWrittenReportsWithError) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  writeAgents(dir.path(), {"sizing", "shape"}, 0, 1);
  // Agent 1's report cannot be created: a folder holds its name (`overwrite` leaves
  // reports in place, so the folder is not moved away first).
  fs::create_directory(dir.file("demo1.rpt"));
  auto result = runStudy(dir, {"overwrite"});
  const std::string reportError =
      "Error in creating the KARVO report file. Please ensure that the working directory is "
      "writable and there is disk space available.";
  expectFatalEnd(result, dir.path(), reportError);
  const std::string report = readFile(dir.file("demo0.rpt"));
  EXPECT_THAT(report, HasLines("*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 200\n"
                               "\nEnd of KARVO run.\n*EXIT STATE\nError\n*ENDTIME\n"));
  EXPECT_EQ(occurrences(report, "*EXIT STATE"), 1u);
  // The report that could not be opened for its closing block is named once more, as a
  // warning after the end-of-run notes.
  EXPECT_THAT(studyMessages(dir),
              ::testing::EndsWith("*NOTE\nEnd of KARVO run.\n\n*WARNING\n" + reportError + "\n\n"));
}

// ---------------------------------------------------------------------------------------
// Settings accepted, with or without a warning

// Runs the minimal study with `from` replaced by `to` in its study file.
ProcessResult runEdited(const TempDir& dir, const std::string& from,
                                 const std::string& to) {
  writeMinimalStudy(dir.path());
  replaceIn(dir.path(), "study.in", from, to);
  return runStudy(dir);
}

// Each setting: the study-file edit, and the lines it leaves in the report or message file.
TEST(AcceptedSettings, RunCompletesAndShowsTheSetting) {
  const struct {
    const char* from;
    const char* to;
    const char* file;
    std::string lines;
  } cases[] = {
      {"randomSeed: 0.5", "randomSeed: 1", "demo0.rpt", "\nRandom seed: 1.000000\n"},
      {"mode: newStudy", "nParallel: 1\nmode: newStudy", "demo0.rpt",
       "\nExecution mode : SERIAL\n"},
      {"numEvals: 200", "numEvals: 200\noutputPrecision: 9", "study.mes",
       "*WARNING\nThe value for the study results output precision defined (9) is very small. "
       "This may lead to loss in precision of the data during post processing and importing "
       "designs into other studies. Please use a higher value (at least 10), if possible. \n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    TempDir dir;
    EXPECT_EQ(runEdited(dir, c.from, c.to).status, 0);
    EXPECT_THAT(unwrapped(readFile(dir.file(c.file))), HasLines(c.lines));
  }
}

TEST(AcceptedSettings, RandomSeedZeroComesFromTheClock) {
  TempDir dir;
  auto result = runEdited(dir, "randomSeed: 0.5", "randomSeed: 0");
  EXPECT_EQ(result.status, 0);
  const std::string report = readFile(dir.file("demo0.rpt"));
  // The seed derived from the clock lies in (0, 1).
  EXPECT_THAT(report, ::testing::ContainsRegex("\n\nRandom seed: 0\\.[0-9]{6}\n"));
  EXPECT_THAT(report, Not(HasLines("\nRandom seed: 0.000000\n")));
}

TEST(AcceptedSettings, StudyRecordAfterTheAgentRecords) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  writeFile(dir.file("study.in"),
            "*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 200\n*STUDY\nname: late\nstartAgent: 0\n"
            "endAgent: 0\nfilePrefix: late\nrandomSeed: 0.5\nmode: newStudy\n*END\n");
  auto result = runStudy(dir);
  EXPECT_EQ(result.status, 0);
  const std::string report = readFile(dir.file("late0.rpt"));
  EXPECT_THAT(report, HasLines("\nstudyName: late\n"));
  EXPECT_THAT(report, HasLines("*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 200\n"));
  EXPECT_THAT(filesEndingIn(dir.path(), ".lock"), ::testing::IsEmpty());
}

// The run option "verbose" is observed through the PATH notes of the run preparation, which
// only a verbose run writes; "verbose: 0" in the study overrides the command line.
// KARVO_ROOT ends in "solver", so its parent leaves PATH.
TEST(VerboseRunOption, CommandLineAloneIsVerboseAndZeroOverridesIt) {
  for (const std::string runOptions : {"", "*RUN_OPTIONS\nverbose: 0\n"}) {
    SCOPED_TRACE(runOptions);
    TempDir dir;
    writeMinimalStudy(dir.path());
    if (!runOptions.empty()) replaceIn(dir.path(), "study.in", "*AGENT", runOptions + "*AGENT");
    fs::create_directories(dir.file("karvo/solver"));
    auto result = runKarvo({"i=study.in", "verbose"}, dir.path(),
                           {"-LD_LIBRARY_PATH", "KARVO_ROOT=" + dir.file("karvo/solver"),
                            "PATH=" + dir.file("karvo") + ":/usr/bin:/bin"});
    EXPECT_EQ(result.status, 0);
    const std::string notes =
        "Getting environment variable value for PATH\nPATH (LD_LIBRARY_PATH on Linux) "
        "variable value before update:\n" + dir.file("karvo") +
        ":/usr/bin:/bin\nPATH (LD_LIBRARY_PATH on Linux) variable value after update:\n"
        "/usr/bin:/bin\n";
    if (runOptions.empty()) {
      EXPECT_THAT(readFile(dir.file("study.mes")), HasLines(notes));
    } else {
      EXPECT_THAT(readFile(dir.file("study.mes")), Not(HasSubstr("Getting environment variable")));
    }
  }
}

TEST(NewStudyWithUseHistory, WarnsAndRunsAsAResumedStudy) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  ASSERT_EQ(runStudy(dir).status, 0);
  // The evaluation folder of the earlier run: a resumed run keeps it in place.
  fs::create_directory(dir.file("demo_0"));
  writeFile(dir.file("demo_0/design.log"), "design 1\n");
  auto result = runStudy(dir, {"useHistory"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(studyMessages(dir),
              HasLines("*WARNING\nSince the \"useHistory\" command line option was specified, "
                       "the study will be treated as a resumed study instead of a new "
                       "study.\n\n"));
  EXPECT_EQ(readFile(dir.file("demo_0/design.log")), "design 1\n");
  EXPECT_THAT(readFile(dir.file("demo0.rpt")), HasLines("*EXIT STATE\nComplete\n"));
}

}  // namespace
}  // namespace karvo
