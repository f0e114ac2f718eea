// A new user's common mistakes through the real binary: a command line that names no
// command, no KARVO_ROOT, a study without a "Default" print format, a template that is
// missing or names an undefined format, a misspelt property and a design of experiments with
// nothing to vary. Each answer says what is wrong and where, on the terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/study_runs.h"

namespace karvo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using namespace karvo::testing;

// The minimal study whose agent 0 runs one analysis: the template beam.tpl (`tpl`) tagged
// into beam.par, and run.sh, which reads x from it and writes f = x * x.
void writeTemplateStudy(const TempDir& dir, const std::string& tpl) {
  writeMinimalStudy(dir.path());
  replaceIn(dir.path(), "Assembly.in", "performance: 0\n", "performance: 0\nprocess: 0\n");
  replaceIn(dir.path(), "Definitions.in", "type: Formula\nformula: x*x", "type: File");
  writeFile(dir.file("Process0.in"),
            "*PROCESS\nname: p\n*ANALYSIS\nname: beam\nid: 1\n"
            "inputFile: run.sh, studyFolder, , file, yes\ninputTagFile: beam.tpl, beam.par\n"
            "outputFile: beam.out\noutputTagFile: f, f.def\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh run.sh\nsuccessReturnValue: 0\n*END\n");
  writeFile(dir.file("f.def"), "file: beam.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("run.sh"), "read w x < beam.par\n"
                                "python3 -c \"print('RESULT F = %.17g' % ($x * $x))\" > beam.out\n");
  if (!tpl.empty()) writeFile(dir.file("beam.tpl"), tpl);
}

TEST(NewUserCommandLine, NoCommandListsEveryCommand) {
  TempDir dir;
  for (const char* help : {"", "--help", "-h"}) {
    SCOPED_TRACE(help);
    const ProcessResult r =
        runKarvo(*help ? std::vector<std::string>{help} : std::vector<std::string>{}, dir.path());
    EXPECT_EQ(r.status, 255);
    // The old first lines stay first, for scripts that look for them.
    EXPECT_THAT(r.err, StartsWith("\nExpecting first command line input to be i=filename\n\n or "
                                  "checkPerformance\n\nUsage: karvo <command> [options]\n"));
    for (const char* line :
         {"\n  i=<study>.in [options]        run the study of this study file",
          "\n  checkPerformance <id>         run the analyses of performance <id>",
          "\n  export <file> [options]       write a results file as a CSV or JSON table",
          "\n  plot <study>.in [--out <dir>] write SVG plots", "\n  version        ",
          "\n  build          ", "\n  checksetup     ", "\n  generateReportOnly  ",
          "\n  overwrite      ", "\n  useHistory     ", "\n  skipEvalCheck  "}) {
      EXPECT_THAT(r.err, HasSubstr(line));
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// Without KARVO_ROOT the folder of the running karvo is the installation folder.
TEST(NewUserEnvironment, UnsetRootIsTheProgramsFolder) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  const ProcessResult r = runKarvo({"i=study.in", "generateReportOnly"}, dir.path(),
                                   {"-KARVO_ROOT"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string folder = std::filesystem::path(KARVO_BINARY).parent_path().string();
  EXPECT_THAT(studyMessages(dir),
              HasSubstr("*NOTE\nKARVO_ROOT was not set. Going to use the folder that holds the "
                        "running karvo, " + folder + ", as the installation folder.\n"));
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
      "When reading data for \"beam\" of type \"Analysis definition\" from file \"Process0.in\", KARVO "
      "encountered the following error in reading the data for property \"inputTagFile\":\n";
  writeTemplateStudy(dir, "line 1\nwidth {{x | narrow}}\n");
  r = runStudy(dir, {"generateReportOnly"});
  EXPECT_EQ(r.status, 133);
  EXPECT_THAT(unwrapped(r.err),
              HasSubstr(place + "The print format \"narrow\" of the tag \"{{x | narrow}}\" on line "
                        "2 of the template file \"" + dir.file("beam.tpl") +
                        "\" is not defined. Define it with a *DEFINE_FORMAT record (\"name: "
                        "narrow\") in Definitions.in.\n"));

  std::filesystem::remove(dir.file("beam.tpl"));
  r = runStudy(dir, {"generateReportOnly"});
  EXPECT_EQ(r.status, 133);
  EXPECT_THAT(unwrapped(r.err), HasSubstr(place + "The template file \"" + dir.file("beam.tpl") +
                                          "\" cannot be read (No such file or directory).\n"));
}

// A misspelt property of every kind of record is named once, with the property it most
// likely meant, on the terminal and in the message file; an unknown one without; a property that the record's kind accepts but that this record does not read (one
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
  const ProcessResult r = runStudy(dir, {"generateReportOnly"});
  ASSERT_EQ(r.status, 0) << r.err;
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

// A design of experiments with nothing to vary is refused when the study is read, so that a
// report-only run finds it too.
TEST(NewUserStudyChecks, DoeWithoutVariablesIsRefusedWhenRead) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  replaceIn(dir.path(), "Assembly.in", "*END\n",
            "*AGENT\nid: 1\nname: screening\ntype: doe\nrepresentation: 1\nperformance: 0\n"
            "*END\n");
  writeFile(dir.file("Representation1.in"), "*END\n");
  replaceIn(dir.path(), "study.in", "endAgent: 0\n", "endAgent: 1\n");
  replaceIn(dir.path(), "study.in", "*END\n",
            "*AGENT\nid: 1\nmethod: DOE\nsampleMethod: OtherLHC\nnumEvals: 10\n"
            "genRSMAfterStudy: 0\n*END\n");
  const ProcessResult r = runStudy(dir, {"generateReportOnly"});
  EXPECT_EQ(r.status, 133);
  EXPECT_THAT(unwrapped(r.err),
              HasSubstr("*ERROR\nNo variables have been defined to be changed for the DOE "
                        "agent(ID = 1).\nThe agent \"screening\" uses the representation file "
                        "\"Representation1.in\", which has no *VARIABLE record. Add one for each "
                        "variable the DOE method of the agent is to change.\n"));
}

}  // namespace
}  // namespace karvo
