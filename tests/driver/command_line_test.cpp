// The command line through the real binary: modes, options and exit statuses (and the option
// settings, checked in-process), and a new user's common mistakes: a command line that names no
// command, no KARVO_ROOT, a study without a "Default" print format, a template that is missing
// or names an undefined format, a misspelt property and a design of experiments with nothing
// to vary, each answer saying what is wrong and where, on the terminal. What a user sees of a
// run: why a design failed, the answer at the end, and a terminal that shows the progress line
// (its text first) rather than a note per design. The commands beside a study's runs: karvo
// export (a history read back by python's csv and json modules, a Pareto front file and a DOE
// results file, the exit statuses of bad usage and of a history that does not fit its study)
// and the response-extraction test, karvo checkPerformance <id> (the exact listing of
// "checkPerformance.out", its lock file after a normal and a fatal end, no agent lock files
// and no design folders, only the analyses the performance needs run).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/design.h"
#include "base/messages.h"
#include "base/progress.h"
#include "base/run_state.h"
#include "driver/check_performance.h"
#include "driver/command_line.h"
#include "driver/driver.h"
#include "support/calc_study.h"
#include "support/one_agent_study.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
namespace fs = std::filesystem;

using namespace karvo::testing;

// The calc study without a "Default" print format, its template calc.tpl being `tpl`; calc.sh
// takes x from the second word of what the template wrote.
void writeTemplateStudy(const TempDir& dir, const std::string& tpl) {
  writeCalcStudy(dir.path(), {.script = "read w x < calc.inp\necho \"RESULT F = $x\" > calc.out\n",
                              .withFormula = false});
  replaceIn(dir.path(), "Definitions.in", "*DEFINE_FORMAT\nname: Default\ntype: automatic\n", "");
  writeFile(dir.file("calc.tpl"), tpl);
}

// A study without a "Default" format runs with the automatic one, said once; a format that
// is not defined, or a template that is missing, stops the run when the study is read
// (generateReportOnly: no design is evaluated), naming the analysis and the file.
TEST(NewUserStudyChecks, PrintFormatsAndTemplates) {
  TempDir dir;
  writeTemplateStudy(dir, "width {{x}}\n");
  ProcessResult r = runStudy(dir, {"checksetup"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string note =
      "*NOTE\nThe print format \"Default\" is not defined in Definitions.in. The automatic (free) "
      "format is used for it. To choose another, add a *DEFINE_FORMAT record with \"name: "
      "Default\" to Definitions.in.\n";
  const std::string messages = studyMessages(dir);
  EXPECT_THAT(messages, HasSubstr(note));
  EXPECT_EQ(messages.find(note), messages.rfind(note));
  EXPECT_THAT(messages, Not(HasSubstr(" tab ")));

  const std::string place =
      "When reading data for \"calc\" of type \"Analysis definition\" from file \"Process0.in\", KARVO "
      "encountered the following error in reading the data for property \"inputTagFile\":\n";
  writeTemplateStudy(dir, "line 1\nwidth {{x | narrow}}\n");
  r = runStudy(dir, {"generateReportOnly"});
  EXPECT_EQ(r.status, 133);
  EXPECT_THAT(unwrapped(r.err),
              HasSubstr(place + "The print format \"narrow\" of the tag \"{{x | narrow}}\" on line "
                        "2 of the template file \"" + dir.file("calc.tpl") +
                        "\" is not defined. Define it with a *DEFINE_FORMAT record (\"name: "
                        "narrow\") in Definitions.in.\n"));

  std::filesystem::remove(dir.file("calc.tpl"));
  r = runStudy(dir, {"generateReportOnly"});
  EXPECT_EQ(r.status, 133);
  EXPECT_THAT(unwrapped(r.err), HasSubstr(place + "The template file \"" + dir.file("calc.tpl") +
                                          "\" cannot be read (No such file or directory).\n"));
}

// A misspelt property of every kind of record, in a study run without KARVO_ROOT, is named
// once, with the property it most likely meant, on the terminal and in the message file; an unknown one without; a property that the record's kind accepts but that this record does not read (one
// of another method, variable type or response type, or of a reservation not asked for) is
// not.
TEST(NewUserStudyChecks, MisspeltPropertyOfEveryRecordKindIsNamed) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  replaceIn(dir.path(), "Assembly.in", "performance: 0\n", "performance: 0\nprocess: 0\n");
  replaceIn(dir.path(), "study.in", "mode: newStudy\n",
            "mode: newStudy\nnParalel: 2\ncolour: red\n*RUN_OPTIONS\nverbos: 1\n");
  replaceIn(dir.path(), "study.in", "numEvals: 200\n", "numEvals: 200\npopulationSize: 10\nnumEvalsTotl: 9\n");
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\nexpSign: 1\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
            "set: s\nfactorTyp: control\n"
            "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x*x\nfitX: x\nacceptMn: 0\n"
            "*DEFINE_REMOTE_MACHINE\nname: far\nplatform: Linux\nhost: far\nusrname: me\n"
            "*DEFINE_COMPUTE_RESOURCE\nname: here\ntype: Direct\nmaxJob: 2\n"
            "*DEFINE_CONDITION\nname: done\ntype: Command\ncommand: true\ncmdCheck: 1\n"
            "cmdVal: 0\ncmdTxt: ok\n*END\n");
  writeFile(dir.file("Representation0.in"),
            "*VARIABLE\nname: x\nid: 1\nresolution: 11\ndistributon: NONE\n*END\n");
  replaceIn(dir.path(), "Performance0.in", "linearWt: 1\n", "linearWt: 1\ngoal: NONE\nacceptMaxx: 5\n");
  writeFile(dir.file("Process0.in"),
            "*PROCESS\nname: p\nparalel: 1\n*ANALYSIS\nname: a\nid: 1\nmaxTme: 10\n"
            "reserveNodes: 2\n*EXECUTION_DEFINITION\ntoolCmd: nil\ninitalWait: 1\n*END\n");
  // Without KARVO_ROOT: the folder of the running karvo is the installation folder.
  const ProcessResult r = runKarvo({"i=study.in", "generateReportOnly"}, dir.path(),
                                   {"-KARVO_ROOT"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string folder = std::filesystem::path(KARVO_BINARY).parent_path().string();
  EXPECT_THAT(studyMessages(dir),
              HasSubstr("*NOTE\nKARVO_ROOT was not set. Going to use the folder that holds the "
                        "running karvo, " + folder + ", as the installation folder.\n"));
  const std::string err = unwrapped(r.err);
  const std::string tail = "is not a property this solver reads there. It is ignored. Did you mean ";
  for (const std::string& warning : {
           "\"verbos\" of the Run options of the study \"demo\" (record on line 10 of file "
           "\"study.in\") " + tail + "verbose?\n",
           "\"numEvalsTotl\" of the Agent \"sizing\" (record on line 12 of file \"study.in\") " +
               tail + "numEvalsTotal?\n",
           "\"expSign\" of the Print format \"Default\" (record on line 1 of file "
           "\"Definitions.in\") " + tail + "expSigned?\n",
           "\"factorTyp\" of the Continuous Variable \"x\" (record on line 5 of file "
           "\"Definitions.in\") " + tail + "factorType?\n",
           "\"acceptMn\" of the Formula response \"f\" (record on line 14 of file "
           "\"Definitions.in\") " + tail + "acceptMin?\n",
           "\"usrname\" of the Remote Machine Profile \"far\" (record on line 20 of file "
           "\"Definitions.in\") " + tail + "username?\n",
           "\"maxJob\" of the Compute Resource \"here\" (record on line 25 of file "
           "\"Definitions.in\") " + tail + "maxJobs?\n",
           "\"cmdTxt\" of the Condition Resource \"done\" (record on line 29 of file "
           "\"Definitions.in\") " + tail + "cmdText?\n",
           "\"distributon\" of the Representation variable \"x\" (record on line 1 of file "
           "\"Representation0.in\") " + tail + "distribution?\n",
           "\"acceptMaxx\" of the Study response \"f\" (record on line 1 of file "
           "\"Performance0.in\") " + tail + "acceptMax?\n",
           "\"paralel\" of the Process definition \"p\" (record on line 1 of file "
           "\"Process0.in\") " + tail + "parallel?\n",
           "\"maxTme\" of the Analysis definition \"a\" (record on line 4 of file "
           "\"Process0.in\") " + tail + "maxTime?\n",
           "\"initalWait\" of the Analysis execution definition \"a\" (record on line 9 of "
           "file \"Process0.in\") " + tail + "initialWait?\n"}) {
    EXPECT_THAT(err, HasSubstr("*WARNING\nThe property " + warning));
  }
  // Nothing else: populationSize, set, fitX, goal and reserveNodes are known names.
  EXPECT_EQ(occurrences(err, tail), 14u) << err;
  const std::string study =
      "*WARNING\nThe property \"{}\" of the Study \"demo\" (record on line 1 of file "
      "\"study.in\") is not a property this solver reads there. It is ignored.";
  const std::string misspelt = replaced(study, "{}", "nParalel") + " Did you mean nParallel?\n";
  for (const std::string& text : {err, studyMessages(dir)}) {
    EXPECT_EQ(occurrences(text, misspelt), 1u);
    EXPECT_THAT(text, HasSubstr(replaced(study, "{}", "colour") + "\n"));
  }
}

// ---------------------------------------------------------------------------------------
// The command line: modes, options and exit statuses; the option settings in-process

const std::string kVersionText =
    "\nKARVO MDO - Version 2019.1.0.8677, Linux 64-bit\nBuild 8677, (c) 2019 the KARVO MDO "
    "developers\n";

// build and version need no study and no root; version beside a study is printed and the run
// goes on.
TEST(CommandLineModes, BuildAndVersionAloneOrBesideAStudy) {
  TempDir dir;
  auto build = runKarvo({"build"}, dir.path(), {"-KARVO_ROOT"});
  EXPECT_EQ(build.status, 0);
  EXPECT_EQ(build.out, "8677\n");
  auto version = runKarvo({"version"}, dir.path(), {"-KARVO_ROOT"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.err, kVersionText);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  writeMinimalStudy(dir.path());
  version = runKarvo({"i=study.in", "version"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(withoutProgressLines(version.err), kVersionText);
  EXPECT_THAT(readFile(dir.file("demo0.rpt")), HasSubstr("*EXIT STATE\nComplete\n"));
}

// Command lines refused before any study is read: exit status and standard error, exactly,
// and nothing written. No command at all lists every command, after the old first lines (for
// scripts that look for them).
TEST(CommandLineRefusals, StatusAndText) {
  for (const char* line :
       {"\n  i=<study>.in [options]        run the study of this study file",
        "\n  checkPerformance <id>         run the analyses of performance <id>",
        "\n  export <file> [options]       write a results file as a CSV or JSON table",
        "\n  plot <study>.in [--out <dir>] write SVG plots", "\n  version        ",
        "\n  build          ", "\n  checksetup     ", "\n  generateReportOnly  ",
        "\n  overwrite      ", "\n  useHistory     ", "\n  skipEvalCheck  "}) {
    EXPECT_THAT(kCommandsText, HasSubstr(line));
  }
  EXPECT_THAT(kCommandsText, StartsWith("\nUsage: karvo <command> [options]\n"));
  TempDir dir;
  writeFile(dir.file("study.IN"), "");
  writeFile(dir.file("s.in"), "");
  std::filesystem::create_directory(dir.file("m.mes"));
  writeFile(dir.file("m.in"), "");
  const std::vector<std::string> files = filesEndingIn(dir.path(), "");
  const std::string firstArgument =
      "\nExpecting first command line input to be i=filename\n\n or checkPerformance\n";
  const std::string checkPerformance =
      "\n Error in the execution syntax. When using the checkPerformance option\n the second "
      "argument must be specified as the performance id that needs to be checked. No other "
      "arguments are allowed.";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{}, 255, firstArgument + kCommandsText},
      {{"--help"}, 255, firstArgument + kCommandsText},
      {{"-h"}, 255, firstArgument + kCommandsText},
      {{"I=study.in"}, 255, firstArgument + kCommandsText},
      {{"Version"}, 255, firstArgument + kCommandsText},
      {{"checkPerformance"}, 254, checkPerformance},
      {{"checkPerformance", "1", "2"}, 254, checkPerformance},
      {{"i=study.IN"}, 255, "Illegal search parameters input file extension.\n"},
      {{"i=.in"}, 255, "Input file .in cannot be read.\n"},  // the extension test passes
      {{"i=s.in", "verbose", "Verbose"}, 255, kUsageText},
      {{"i=s.in", "useHistory", "overwrite"}, 254,
       "\n\t**** ERROR ****\n\t Error in the execution syntax. The \"overwrite\" and "
       "\"useHistory\" options cannot be used together."},
      {{"i=m.in", "overwrite"}, 255, "Output file m.mes cannot be written.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    auto r = runKarvo(c.args, dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(runKarvo({"i=" + std::string(2100, 'x') + ".in"}, dir.path()).status, 255);
  EXPECT_EQ(filesEndingIn(dir.path(), ""), files);

  // A backupDir= name of 256 characters (255 are accepted: LaterRun.BackupDirReceivesThem).
  auto r = runKarvo({"i=s.in", "backupDir=" + std::string(256, 'b')}, dir.path());
  EXPECT_EQ(r.status, 133);
  const std::string text =
      "\n**** ERROR ****\n\t Error in the command line option \"backupDir\". The name length of "
      "the directory must be less than 255 characters; current size 256.\n\t Please provide a "
      "different name for the folder that meets the size criterion mentioned above.";
  // The text is written twice (the second time as the run's fatal error), then the end of
  // the run with its times.
  const std::string err = unwrapped(r.err);
  const std::string fixed = text + text.substr(1) +
                            "\nRun exiting due to an error\n"
                            "************END OF RUN INFORMATION************\n";
  EXPECT_EQ(err.substr(0, fixed.size()), fixed);
  EXPECT_TRUE(std::regex_match(err.substr(std::min(fixed.size(), err.size())),
                               std::regex("Elapsed time: [0-9]+ seconds\nCurrent time: .{24}\n"
                                          "End of KARVO run\\.\n")))
      << err;
}

TEST(WorkingDirectory, LengthLimitIs257) {
  TempDir dir;
  writeFile(dir.file("s.in"), "");
  // Builds folders whose full path is exactly 257 and 258 bytes long.
  auto folderOfLength = [&](std::size_t length) {
    std::string path = dir.path();
    while (path.size() + 1 < length) {
      std::size_t part = std::min<std::size_t>(100, length - path.size() - 1);
      path += "/" + std::string(part, 'd');
    }
    std::filesystem::create_directories(path);
    return path;
  };
  std::string ok = folderOfLength(257);
  ASSERT_EQ(ok.size(), 257u);
  writeMinimalStudy(ok);
  EXPECT_EQ(runKarvo({"i=study.in"}, ok, {"KARVO_ROOT=" + ok}).status, 0);
  std::string tooLong = folderOfLength(258);
  ASSERT_EQ(tooLong.size(), 258u);
  writeFile(tooLong + "/s.in", "");
  auto r = runKarvo({"i=s.in"}, tooLong);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "\nError. Working directory name is too long.\nShorten the path of the KARVO working "
            "directory\nto be less than 258 characters.");
}

// In-process: the settings each option leaves behind. The study name and message file come
// from the study file.
TEST(OptionSettings, EveryFlagAndValue) {
  TempDir dir;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  writeFile(dir.file("s.in"), "");
  resetRunState();
  std::vector<std::string> words = {
      "karvo", "i=s.in", "overwrite", "checksetup", "dontUseBaseline", "useBaselineInSearch",
      "generateReportOnly", "dontWriteHistory", "verbose", "designFilesOnly", "postNoEval",
      "skipEvalCheck", "reEvalErrDesigns", "turnOnMemManagement", "start=0.25", "final=abc",
      "probUseOld=0.7", "probUseOld=0.8", "locale=en_GB.UTF-8x"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  parseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(run.studyName, "s");
  EXPECT_EQ(run.messageFileName, "s.mes");
  const RunSettings& s = run.settings;
  EXPECT_EQ(s.overwrite, 1);
  EXPECT_EQ(s.checkSetup, 1);
  EXPECT_EQ(s.baselineSuppressed, 1);
  EXPECT_EQ(s.baselineInSearch, 1);
  EXPECT_EQ(s.generateReportOnly, 1);
  EXPECT_EQ(s.historyDisabled, 1);
  EXPECT_EQ(s.verbose, 1);
  EXPECT_EQ(s.designFilesOnly, 1);
  EXPECT_EQ(s.postNoEval, 1);
  EXPECT_EQ(s.skipEvalCheck, 1);
  EXPECT_EQ(s.reEvalErrDesigns, 1);
  EXPECT_EQ(s.plainFreeing, 0);
  EXPECT_DOUBLE_EQ(s.newpopFitnessStart, 0.25);
  EXPECT_DOUBLE_EQ(s.newpopFitnessFinal, 0.0);  // not a number: atof gives 0
  EXPECT_DOUBLE_EQ(s.probUseOld, 0.8);          // the last one wins
  EXPECT_EQ(s.locale, "en_GB.UTF");             // first 9 characters
  closeRun();
  resetRunState();
  std::filesystem::current_path(previous);
}

// ---------------------------------------------------------------------------------------
// What a user sees of a run: why a design failed, the answer, the terminal

// The minimal study searched by a small genetic run over x in [0, 2] (steps of 0.2):
// f = (x - 1.2)^2 is minimised (factor 2, so the score is not the value) under g = x <= 1.1,
// so the lowest f (x = 1.2) is infeasible and the best feasible design is x = 1.
void writeSearchStudy(const TempDir& dir, const std::string& constraintTarget = "1.1") {
  writeOneAgentStudy(
      dir.path(),
      {.definitions = continuous("x", 1, "0", "1", "2") + formulaResponse("f", "(x - 1.2) ** 2") +
                      formulaResponse("g", "x"),
       .representation = slot("x", 1, 11),
       .performance = replaced(minimised("f"), "factor: 1", "factor: 2") +
                      atMost("g", constraintTarget),
       .agent = "method: GA\npopulationSize: 4\nnumCycles: 2\ngenerationsPerCycle: 2\n"
                "crossoverType: 1\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n"});
}

// The search study with the analysis "calc", whose calc.sh writes "starting", then "boom"
// on its standard error, and fails: every design fails.
void writeFailingAnalysis(const TempDir& dir) {
  writeSearchStudy(dir, "5");
  replaceIn(dir.path(), "Definitions.in", "type: Formula\nformula: (x - 1.2) ** 2", "type: File");
  replaceIn(dir.path(), "Representation0.in", "resolution: 11", "resolution: 101");
  writeFile(dir.file("Process0.in"),
            "*PROCESS\nname: p\n*ANALYSIS\nname: calc\nid: 1\n"
            "inputFile: calc.sh, studyFolder, , file, yes\noutputTagFile: f, f.def\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nsuccessReturnValue: 0\n*END\n");
  writeFile(dir.file("f.def"), "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("calc.sh"), "echo starting\necho boom >&2\nexit 1\n");
}

// ---------------------------------------------------------------------------------------
// A failed design says why, on the terminal

// The first design fails and stops the run: the terminal names the design, the analysis, the
// first error of its log, the last line its command wrote, the log, and the option that lets
// the run go on. With skipEvalCheck the run goes on: each failed design is one warning on the
// terminal, up to twenty; the rest are in the message file only, after one line that says so.
TEST(FailedDesign, SaysWhichDesignFailedWhyAndWhereItsLogIsWithoutFloodingTheTerminal) {
  TempDir dir;
  writeFailingAnalysis(dir);
  const ProcessResult stopped = runStudy(dir, {"dontUseBaseline"});
  EXPECT_EQ(stopped.status, 133);
  const std::string expected =
      "*ERROR\nThe first design to complete all analyses resulted in errors. Exiting.\n"
      "Design 1 of agent 0 failed in analysis \"calc\": The return value (1) for the analysis "
      "command did not match the specified value (0). This design analysis will be marked as "
      "an error. Last output line: \"boom\". Log: " +
      workingDirectory(dir) +
      "/POST_0/Design1/calc/analysis.log\nTo let the run go on after failed designs, give the "
      "option skipEvalCheck (or the run option dontStopOnDesignErrors: 1).\n";
  EXPECT_THAT(unwrapped(stopped.err), HasSubstr(expected));
  EXPECT_THAT(studyMessages(dir), HasSubstr(expected));

  replaceIn(dir.path(), "study.in", "populationSize: 4\nnumCycles: 2",
            "populationSize: 16\nnumCycles: 1");
  const ProcessResult result = runStudy(dir, {"dontUseBaseline", "skipEvalCheck"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string messages = studyMessages(dir);
  const std::regex failure("\\*WARNING\nDesign (\\d+) of agent 0 failed in analysis \"calc\": ");
  const auto count = [&failure](const std::string& text) {
    return std::distance(std::sregex_iterator(text.begin(), text.end(), failure),
                         std::sregex_iterator());
  };
  const long failed = count(messages);
  ASSERT_GT(failed, 20) << messages;
  EXPECT_EQ(count(unwrapped(result.err)), 20);
  const std::string further = "*NOTE\nFurther failed designs are listed only in the message file " +
                              workingDirectory(dir) + "/study.mes.\n";
  EXPECT_THAT(unwrapped(result.err), HasSubstr(further));
  // Said once, after the twentieth.
  EXPECT_EQ(result.err.find(further), result.err.rfind(further));
  // The run completes; its end says how many designs failed and where their logs are.
  const std::string countLine =
      formatText("%ld of the %ld designs that agent 0 evaluated in this run failed. The cause of "
                 "each is in its design folder under ", failed, failed) +
      workingDirectory(dir) + "/POST_0 (Design<number>/design.log and <analysis>/analysis.log).\n";
  EXPECT_THAT(messages, HasLines("*WARNING\n" + countLine));
  EXPECT_THAT(unwrapped(result.err), HasSubstr(countLine));
  EXPECT_THAT(readFile(dir.file("demo0.rpt")), HasSubstr("*EXIT STATE\nComplete\n"));
}

// ---------------------------------------------------------------------------------------
// The answer at the end

TEST(BestDesign, WithoutAFeasibleDesignTheLeastInfeasibleOneIsGiven) {
  TempDir dir;
  writeSearchStudy(dir, "-1");
  const ProcessResult result = runStudy(dir);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.out,
              HasSubstr("*OUTPUT\nNo feasible design of agent 0 (sizing). The least infeasible "
                        "one: design "));
  EXPECT_THAT(result.out, HasSubstr("\n  x = 0\n  f = 1.44 (objective: minimise)\n"
                                    "  g = 0 (constraint: <= -1)\n"));
  EXPECT_THAT(result.err, HasSubstr("  best -  "));
}

// ---------------------------------------------------------------------------------------
// An interactive terminal

TEST(ProgressLine, SaysWhereTheRunIsAndEstimatesTheTimeLeft) {
  ProgressState state;
  state.agent = 2;
  state.agentName = "sizing";
  state.cycle = 1;
  state.cycles = 3;
  state.evaluations = 40;
  state.budget = 100;
  state.doneInRun = 30;
  state.failed = 1;
  state.running = 2;
  state.queued = 5;
  state.runStart = 100.0;
  state.agentStart = 160.0;
  // Not a feasible design yet; no estimate without a budget.
  ProgressState unknown = state;
  unknown.budget = 0;
  EXPECT_EQ(progressText(unknown, 3800.0),
            "agent 2 (sizing)  cycle 2/3  evals 40  running 2  queued 5  failed 1  best -  "
            "01:01:40 elapsed");
  // 30 designs in 90 s, 60 to go: three minutes left.
  state.haveBest = true;
  state.best = -0.125;
  state.bestDesign = 17;
  EXPECT_EQ(progressText(state, 250.0),
            "agent 2 (sizing)  cycle 2/3  evals 40/100  running 2  queued 5  failed 1  "
            "best -0.125 (design 17)  00:02:30 elapsed  about 00:03:00 left");
  // A DOE agent scores every design 1: no best design.
  state.ranked = false;
  EXPECT_EQ(progressText(state, 250.0),
            "agent 2 (sizing)  cycle 2/3  evals 40/100  running 2  queued 5  failed 1  "
            "00:02:30 elapsed  about 00:03:00 left");
  EXPECT_EQ(progressClock(-3.0), "00:00:00");
  EXPECT_EQ(progressClock(359999.6), "100:00:00");
}


// On a terminal (a pseudo-terminal made by script(1)) the progress line is redrawn in place
// and the per-design notes go to the message file only, unless `verbose` asks for them; a pipe
// keeps them on standard output and gets one plain progress line per cycle. The run ends with
// its best design.
TEST(Terminal, ProgressLineAndPerDesignNotesOnATerminalAndOnAPipeThenTheBestDesign) {
  TempDir dir;
  // More values of x than the run evaluates (every child is a new design: on 11 values the
  // search would end in its first cycle); the best feasible value is the baseline's.
  writeSearchStudy(dir, "1");
  writeFile(dir.file("Representation0.in"), "*VARIABLE\nname: x\nid: 1\nresolution: 1001\n*END\n");
  const std::string note = "*NOTE\nCompleted design evaluation for all designs requested.";
  const auto onTerminal = [&dir](const std::string& options) {
    const ProcessResult result = runShell(
        "KARVO_ROOT=" + shellQuote(dir.path()) + " script -qec " +
            shellQuote(shellQuote(KARVO_BINARY) + " i=study.in" + options) + " /dev/null",
        dir.path());
    EXPECT_EQ(result.status, 0) << result.out;
    return result.out;
  };
  const std::string raw = onTerminal("");
  EXPECT_THAT(raw, HasSubstr("\ragent 0 (sizing)  cycle 1/2  evals "));
  // The messages of the run, the end-of-run note too, start on a clean line.
  EXPECT_THAT(raw, HasSubstr("\r\x1b[K"));
  const auto withoutReturns = [](std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
  };
  const std::string quiet = withoutReturns(raw);
  EXPECT_THAT(quiet, Not(HasSubstr(note)));
  EXPECT_THAT(quiet, HasSubstr("*OUTPUT\nBest design of agent 0 (sizing): design 1\n"));
  EXPECT_THAT(quiet, HasSubstr("End of KARVO run."));
  EXPECT_THAT(readFile(dir.file("study.mes")), HasSubstr(note));
  EXPECT_THAT(withoutReturns(onTerminal(" verbose")), HasSubstr(note));
  const ProcessResult piped = runStudy(dir);
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_THAT(piped.out, HasSubstr(note));
  EXPECT_THAT(readFile(dir.file("study.mes")), Not(HasSubstr(note)));
  // On a pipe: no control characters, one line per cycle of the agent; the line shows the
  // objective's value, not the score.
  const std::regex line(
      "agent 0 \\(sizing\\)  cycle ([12])/2  evals (\\d+)/16  running 0  queued 0  failed 0  "
      "best f -?[0-9.e+-]+ \\(design \\d+\\)  \\d\\d:\\d\\d:\\d\\d elapsed( +about "
      "\\d\\d:\\d\\d:\\d\\d left)?\n");
  std::string rest = piped.err;
  std::smatch match;
  int lines = 0;
  while (std::regex_search(rest, match, line, std::regex_constants::match_continuous)) {
    EXPECT_EQ(match[1].str(), std::to_string(++lines));
    rest = match.suffix();
  }
  EXPECT_EQ(lines, 2) << piped.err;
  EXPECT_EQ(rest, "") << piped.err;
  EXPECT_THAT(piped.err, HasSubstr("  best f 0.04 (design 1)  "));
  // The best feasible design, with its variables and its objective and constraint values as
  // the study states them, on standard output, in the message file and in the report.
  const std::string best =
      "Best design of agent 0 (sizing): design 1\n  x = 1\n  f = 0.04 (objective: minimise)\n"
      "  g = 1 (constraint: <= 1)\n";
  EXPECT_THAT(piped.out, HasSubstr("*OUTPUT\n" + best + "\n"));
  EXPECT_THAT(readFile(dir.file("study.mes")), HasSubstr("*OUTPUT\n" + best + "\n"));
  EXPECT_THAT(readFile(dir.file("demo0.rpt")),
              HasSubstr("\n*BEST DESIGN\n" + best + "\nEnd of KARVO run.\n*EXIT STATE\n"));
}

// ---------------------------------------------------------------------------------------
// karvo export and karvo checkPerformance

ProcessResult exportIn(const TempDir& dir, const std::vector<std::string>& arguments) {
  std::vector<std::string> all = {"export"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return runKarvo(all, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

// Checks the rows of `file` read by python's csv module (`reader` "csv") or json module
// ("json") against the values of the four designs; answers python's output.
std::string checkWithPython(const TempDir& dir, const std::string& file, const std::string& kind) {
  writeFile(dir.file("check.py"),
            "import csv, json, sys\n"
            "kind, path = sys.argv[1], sys.argv[2]\n"
            "if kind == 'csv':\n"
            "    with open(path, newline='') as f:\n"
            "        rows = list(csv.DictReader(f))\n"
            "    num = lambda v: float(v) if v != '' else None\n"
            "else:\n"
            "    with open(path) as f:\n"
            "        rows = json.load(f)\n"
            "    num = lambda v: v\n"
            "assert list(rows[0].keys()) == ['design', 'name', 'agent', 'status', 'feasible',\n"
            "    'performance', 'violation', 'cycle', 'generation', 'x', 'y', 'p', 'f', 'g'], rows[0]\n"
            "expected = {'a': (1, 2, 2.5, 'ok', 1), 'b': (3, 4, 0.5, 'ok', 1),\n"
            "            'c': (6, 5, 2.5, 'ok', 0), 'd': (7, 1, 2.5, 'failed', 0)}\n"
            "assert [r['name'] for r in rows] == ['a', 'b', 'c', 'd']\n"
            "for number, r in enumerate(rows, 1):\n"
            "    x, y, p, status, feasible = expected[r['name']]\n"
            "    assert num(r['design']) == number and num(r['agent']) == 0\n"
            "    assert (num(r['x']), num(r['y']), num(r['p'])) == (x, y, p), r\n"
            "    assert num(r['f']) == x * x + y + p and num(r['g']) == x + y, r\n"
            "    assert r['status'] == status and num(r['feasible']) == feasible, r\n"
            "    if status == 'ok':\n"
            "        violation = max(0.0, (x + y - 10) / 10)\n"
            "        assert num(r['violation']) == violation, r\n"
            "        assert num(r['performance']) == -(x * x + y + p) - violation, r\n"
            "    else:\n"
            "        assert num(r['performance']) == -1e99 and num(r['violation']) == 10, r\n"
            "print(len(rows), 'rows')\n");
  const ProcessResult result =
      runShell("/usr/bin/python3 check.py " + kind + " " + file + " 2>&1", dir.path());
  return result.out;
}

TEST(ExportCommand, HistoryRowsReadBackByPythonGiveEveryValueUnlessItDoesNotFitItsStudy) {
  TempDir dir("karvo-export-history");
  writeFormulaStudy(dir);
  ASSERT_EQ(runStudy(dir).status, 0) << readFile(dir.file("study.mes"));

  // The study is found by the history's file prefix.
  ProcessResult result = exportIn(dir, {"formulas0.hst"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  writeFile(dir.file("out.csv"), result.out);
  EXPECT_EQ(checkWithPython(dir, "out.csv", "csv"), "4 rows\n");

  fs::create_directory(dir.file("tables"));
  result = exportIn(dir, {"--format", "json", "--study", "study.in", "formulas0.hst", "--out",
                          "tables/out.json"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(checkWithPython(dir, "tables/out.json", "json"), "4 rows\n");
  // Nothing but the table is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("tables")), fs::directory_iterator()),
            1);

  // A history changed after it was written is still exported, with a warning naming it.
  const std::string bytes = readFile(dir.file("formulas0.hst"));
  std::string damaged = bytes;
  damaged[damaged.size() / 2] ^= 0x10;
  writeFile(dir.file("formulas0.hst"), damaged);
  result = exportIn(dir, {"formulas0.hst", "--out", "damaged.csv"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.err, ::testing::StartsWith("Warning: The history file \"" +
                                                dir.file("formulas0.hst") +
                                                "\" does not match the checksum kept in"));

  // A history of an agent the study does not have, the history cut short, and then taken with
  // a study of other sizes: nothing is written.
  writeFile(dir.file("formulas3.hst"), bytes);
  result = exportIn(dir, {"formulas3.hst", "--out", "unfit.csv"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.err, "The study has no agent 3 for history file " + dir.file("formulas3.hst") +
                            ".\n");
  writeFile(dir.file("formulas0.hst"), bytes.substr(0, bytes.size() - 30));
  result = exportIn(dir, {"formulas0.hst", "--out", "unfit.csv"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.err, "History file " + dir.file("formulas0.hst") +
                            " does not fit the study or is cut short: design entry 4 of 4 "
                            "cannot be read with the study's sizes.\n");
  EXPECT_FALSE(fs::exists(dir.file("unfit.csv")));

  writeFile(dir.file("formulas0.hst"), bytes);
  replaceIn(dir.path(), "Definitions.in", "*END",
            "*DEFINE_VARIABLE\nname: q\ntype: Parameter\nid: 4\nbaseline: 1\n*END");
  result = exportIn(dir, {"formulas0.hst", "--out", "unfit.csv"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.err, "History file " + dir.file("formulas0.hst") +
                            " does not fit the study: it holds 1 fixed parameters, the study 2.\n");
  EXPECT_FALSE(fs::exists(dir.file("unfit.csv")));

  // A definition error of the study.
  replaceIn(dir.path(), "Definitions.in", "*END",
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\n*END");
  result = exportIn(dir, {"formulas0.hst"});
  EXPECT_EQ(result.status, 133);
  EXPECT_EQ(result.out, "");
  EXPECT_THAT(result.err, HasSubstr("ERROR")) << result.err;
}

TEST(ExportCommand, BadUsageGivesTheUsageTextAnd255AndTextFilesTheirTables) {
  TempDir dir("karvo-export-usage");
  writeFile(dir.file("run0.hst"), "");
  const std::vector<std::vector<std::string>> bad = {
      {}, {"run0.hst", "--colour"}, {"run0.hst", "--format", "xml"}, {"run0.hst", "--out"}};
  for (const std::vector<std::string>& arguments : bad) {
    const ProcessResult result = exportIn(dir, arguments);
    EXPECT_EQ(result.status, 255);
    EXPECT_THAT(result.err, HasSubstr("\nUsage: karvo export <file> [options]\n"));
    EXPECT_EQ(result.out, "");
  }
  ProcessResult result = exportIn(dir, {"missing.pto"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "The file missing.pto cannot be read.\n");

  // No study file, then two, with the history's prefix.
  result = exportIn(dir, {"run0.hst"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "No study file (.in) in " + dir.path() +
                            " has the file prefix \"run\" of the history file run0.hst: name its "
                            "study with --study <study file>.\n");
  for (const char* name : {"one.in", "two.in"}) {
    writeFile(dir.file(name), "*STUDY\nname: s\nfilePrefix: run\n*END\n");
  }
  result = exportIn(dir, {"run0.hst"});
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.err, "Several study files in " + dir.path() +
                            " have the file prefix of the history file run0.hst:\n  " +
                            dir.file("one.in") + "\n  " + dir.file("two.in") +
                            "\nName one with --study <study file>.\n");

  // A Pareto front file and a design-of-experiments results file give their tables.
  writeFile(dir.file("front0.pto"),
            "Eval #, Rank in Cycle 1\n       4,        1\n       7,        2\n\n"
            "Eval #, Rank in Cycle 2\n      12,        1\n\n");
  result = exportIn(dir, {"front0.pto"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Cycle,Eval #,Rank\n1,4,1\n1,7,2\n2,12,1\n");

  // A design-of-experiments results file, found by its content: its analysis table as JSON.
  writeFile(dir.file("DOE_0_f.out"),
            "DOE INFORMATION\n---------------\nNumber of factors:     2\nNumber of Runs:        2\n"
            "        A,           B,      Response\n"
            "     1,        0,           0,          1.05000000e+01\n"
            "     2,        1,           0,          1.35000000e+01\n\n"
            "Source, Avg Lev 0, Avg Lev 1\n   A,  10.500000,  13.500000\n");
  result = exportIn(dir, {"DOE_0_f.out", "--table=analysis", "--format=json"});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "[\n  {\"Source\": \"A\", \"Avg Lev 0\": 10.5, \"Avg Lev 1\": 13.5}\n]\n");
}

// ---------------------------------------------------------------------------------------
// The response-extraction test (karvo checkPerformance)

const std::string kHeader = "\n\t********* OUTPUT FOR RESPONSE EXTRACTION TEST *********\n\n";
const std::string kTrailer =
    "\n\n\t****************** END OF OUTPUT **********************\n\n\tExiting normally.\n";

// One agent scored by Performance3.in (objective f, plain response g = f * 2) and run by a
// process of two analyses: "calc" extracts f and h from calc.out through the General portal
// and calculates g; "other" only calculates k, which the performance does not need.
void writeStudy(const std::string& dir, const std::string& script) {
  writeOneAgentStudy(
      dir, {.definitions = kDefaultFormat + continuous("x", 1, "0", "1.5", "2") +
                           "*DEFINE_RESPONSE\nname: f\ntype: File\n*DEFINE_RESPONSE\nname: h\n"
                           "type: File\n" + formulaResponse("g", "f * 2") +
                           formulaResponse("k", "1.0"),
            .representation = slot("x", 1, 5),
            .process = "*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: calc\nid: 1\n"
                       "outputFile: calc.out\noutputTagFile: f, f.def\noutputTagFile: h, h.def\n"
                       "outputResponse: f\noutputResponse: h\ncalculatedResponse: g\n"
                       "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nsuccessReturnValue: 0\n"
                       "*ANALYSIS\nname: other\nid: 2\ncalculatedResponse: k\n"
                       "*EXECUTION_DEFINITION\ntoolCmd: touch other.ran\n"});
  replaceIn(dir, "Assembly.in", "performance: 0", "performance: 3");
  writeFile(dir + "/Performance3.in",
            minimised("f") + "*RESPONSE\nname: g\ntype: response\n*END\n");
  writeFile(dir + "/calc.sh", script);
  writeFile(dir + "/f.def", "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir + "/h.def", "file: calc.out\nanchor: RESULT H\nword: 4\n");
}

ProcessResult checkPerformance(const TempDir& dir, const std::string& id) {
  return runKarvo({"checkPerformance", id}, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

// Files and folders the test must not leave: agent lock files, design and post folders.
void expectNoRunFiles(const TempDir& dir) {
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(entry.path().extension() == ".lock") << name;
    EXPECT_FALSE(entry.is_directory()) << name;
  }
}

// The error block of a value the portal could not extract from "calc.out" for `response`.
std::string portalError(const std::string& response, const TempDir& dir,
                        const std::string& reason) {
  return "*ERROR\nThe following message was received from the portal during extraction for "
         "response " + response + ":\nNo value extracted from the file \"" +
         workingDirectory(dir) + "/calc.out\" by the definition [anchor \"RESULT " +
         (response == "f" ? "F" : "H") + "\", occurrence first, line offset 0, word 4]: " +
         reason + "\n\n";
}

std::string noData(const std::string& response) {
  return "*ERROR\nThe processing of response \"" + response +
         "\" resulted in no data being extracted. This design will be marked as an error "
         "design.\n\n";
}

// The analysis fails and writes f but not h: the failure is reported, f is still read, h is
// listed as an error and g is calculated from f. Without output every response is an error.
TEST(CheckPerformanceRun, FailingAnalysisOrMissingOutputIsReportedAndEveryValueListed) {
  const std::string missing = "the file could not be opened (No such file or directory).";
  for (const bool writesF : {true, false}) {
    SCOPED_TRACE(writesF);
    TempDir dir("karvo-checkperf");
    writeStudy(dir.path(), writesF ? "echo 'RESULT F = 1.25' > calc.out\nexit 3\n" : "exit 0\n");
    ProcessResult result = checkPerformance(dir, "3");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(unwrapped(readFile(dir.file("checkPerformance.out"))),
              kHeader +
                  (writesF ? "*ERROR\nError in running the analysis \"calc\" to evaluate responses "
                             "associated with it.\n\n" +
                                 portalError("h", dir, "the anchor was not found.") + noData("h") +
                                 "\n f = 1.25\n h = ERROR\n g = 2.5\n"
                           : portalError("f", dir, missing) + portalError("h", dir, missing) +
                                 "*ERROR\nThe output file \"" + workingDirectory(dir) +
                                 "/calc.out\" was not found.\n\n" + noData("f") + noData("h") +
                                 "*ERROR\nCould not set variable \"f\" in the Python session. The "
                                 "data for this variable was not available.\n\n\n f = ERROR\n h "
                                 "= ERROR\n g = ERROR\n") +
                  kTrailer);
    EXPECT_TRUE(fs::exists(dir.file("checkPerformance.lck")));
    // "other" gives nothing the performance needs: it does not run.
    EXPECT_FALSE(fs::exists(dir.file("other.ran")));
    expectNoRunFiles(dir);
  }
}

// The command names the variable x, which takes its baseline 1.5; the second analysis gives
// k, which the performance now needs too, and fails: its error starts on a line of its own
// after the list of the first analysis.
TEST(CheckPerformanceRun, VariablesTakeTheirBaselineAndEachListEndsItsLine) {
  TempDir dir("karvo-checkperf");
  writeStudy(dir.path(), "echo \"RESULT F = $1\" > calc.out\necho 'RESULT H = 1' >> calc.out\n");
  replaceIn(dir.path(), "Process0.in", "toolCmd: sh calc.sh", "toolCmd: sh calc.sh %x%");
  replaceIn(dir.path(), "Process0.in", "toolCmd: touch other.ran",
            "toolCmd: exit 4\nsuccessReturnValue: 0");
  writeFile(dir.file("Performance3.in"),
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: response\n"
            "*RESPONSE\nname: k\ntype: response\n*END\n");
  ProcessResult result = checkPerformance(dir, "3");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir.file("checkPerformance.out")),
            kHeader + "\n f = 1.5\n h = 1\n g = 3\n" +
                "*ERROR\nError in running the analysis \"other\" to evaluate responses associated "
                "with it.\n\n\n k = 1\n" +
                kTrailer);
  EXPECT_EQ(readFile(dir.file("checkPerformance.lck")), "");
  expectNoRunFiles(dir);
  // Notes are suppressed everywhere in this mode.
  EXPECT_THAT(result.out, Not(HasSubstr("Starting submission")));
}

// Each fatal end: the lock file stays, the error is the whole output, and nothing ran.
TEST(CheckPerformanceFatal, EndsWithLockFileAndItsErrorBeforeAnyAnalysisRuns) {
  const struct {
    const char* id;
    bool withoutProcess;
    std::string error;
  } cases[] = {
      {"4", false,
       "The performance id 4 given to checkPerformance is not used by any agent in "
       "\"Assembly.in\". There is no performance \ndefinition \"Performance4.in\" to check."},
      {"3", true,
       "No process is associated with the performance id 3: agent 0 (\"sizing\"), the first "
       "agent that uses it, has no process to run."},
  };
  for (const auto& c : cases) {
    TempDir dir("karvo-checkperf");
    SCOPED_TRACE(c.error);
    writeStudy(dir.path(), "touch calc.ran\n");
    if (c.withoutProcess) replaceIn(dir.path(), "Assembly.in", "process: 0\n", "");
    ProcessResult result = checkPerformance(dir, c.id);
    EXPECT_EQ(result.status, 133);
    EXPECT_TRUE(fs::exists(dir.file("checkPerformance.lck")));
    EXPECT_EQ(unwrapped(readFile(dir.file("checkPerformance.out"))),
              unwrapped("*ERROR\n" + c.error + "\n\nRun exiting due to an error\n"));
    EXPECT_FALSE(fs::exists(dir.file("calc.ran")));
    expectNoRunFiles(dir);
  }
}

TEST(CheckPerformanceValue, FormatsNumbersTextsAndMissingData) {
  ResponseValue value;
  EXPECT_EQ(checkPerformanceValueText(value), "ERROR");
  value.present = true;
  value.status = 1;
  value.values = {2.5, 1e-12, 123456789012345.0};
  EXPECT_EQ(checkPerformanceValueText(value), "2.5, 1e-12, 1.23456789012e+14");
  value.values.clear();
  value.text = {"steel", "S355"};
  EXPECT_EQ(checkPerformanceValueText(value), "steel, S355");
  value.status = 0;  // extracted, then refused (an accept range): no usable value
  EXPECT_EQ(checkPerformanceValueText(value), "ERROR");
}

}  // namespace
}  // namespace karvo
