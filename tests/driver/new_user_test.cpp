// A new user's common mistakes through the real binary: a command line that names no
// command, no KARVO_ROOT, a study without a "Default" print format, a template that is
// missing or names an undefined format, a variable with crossed bounds and a misspelt
// property. Each answer says what is wrong and where, on the terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace karvo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing::ProcessResult;
using testing::readFile;
using testing::runKarvo;
using testing::TempDir;
using testing::unwrapped;
using testing::writeFile;

void replaceIn(const TempDir& dir, const std::string& name, const std::string& from,
               const std::string& to) {
  std::string text = readFile(dir.file(name));
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  writeFile(dir.file(name), text.replace(at, from.size(), to));
}

// The minimal study whose agent 0 runs one analysis: the template beam.tpl (`tpl`) tagged
// into beam.par, and run.sh, which reads x from it and writes f = x * x.
void writeTemplateStudy(const TempDir& dir, const std::string& tpl) {
  testing::writeMinimalStudy(dir.path());
  replaceIn(dir, "Assembly.in", "performance: 0\n", "performance: 0\nprocess: 0\n");
  replaceIn(dir, "Definitions.in", "type: Formula\nformula: x*x", "type: File");
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

ProcessResult run(const TempDir& dir, const std::string& option) {
  return runKarvo({"i=study.in", option}, dir.path(), {"KARVO_ROOT=" + dir.path()});
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
  testing::writeMinimalStudy(dir.path());
  const ProcessResult r = runKarvo({"i=study.in", "generateReportOnly"}, dir.path(),
                                   {"-KARVO_ROOT"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string folder = std::filesystem::path(KARVO_BINARY).parent_path().string();
  EXPECT_THAT(unwrapped(readFile(dir.file("study.mes"))),
              HasSubstr("*NOTE\nKARVO_ROOT was not set. Going to use the folder that holds the "
                        "running karvo, " + folder + ", as the installation folder.\n"));
}

// A study without a "Default" format runs with the automatic one, said once; a format that
// is not defined, or a template that is missing, stops the run when the study is read
// (generateReportOnly: no design is evaluated), naming the analysis and the file.
TEST(NewUserStudyChecks, PrintFormatsAndTemplates) {
  TempDir dir;
  writeTemplateStudy(dir, "width {{x}}\n");
  ProcessResult r = run(dir, "checksetup");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string note =
      "*NOTE\nThe print format \"Default\" is not defined in Definitions.in. The automatic (free) "
      "format is used for it. To choose another, add a *DEFINE_FORMAT record with \"name: "
      "Default\" to Definitions.in.\n";
  const std::string messages = unwrapped(readFile(dir.file("study.mes")));
  EXPECT_THAT(messages, HasSubstr(note));
  EXPECT_EQ(messages.find(note), messages.rfind(note));
  EXPECT_THAT(messages, Not(HasSubstr(" tab ")));

  const std::string place =
      "When reading data for \"beam\" of type \"Analysis definition\" from file \"Process0.in\", KARVO "
      "encountered the following error in reading the data for property \"inputTagFile\":\n";
  writeTemplateStudy(dir, "line 1\nwidth {{x | narrow}}\n");
  r = run(dir, "generateReportOnly");
  EXPECT_EQ(r.status, 133);
  EXPECT_THAT(unwrapped(r.err),
              HasSubstr(place + "The print format \"narrow\" of the tag \"{{x | narrow}}\" on line "
                        "2 of the template file \"" + dir.file("beam.tpl") +
                        "\" is not defined. Define it with a *DEFINE_FORMAT record (\"name: "
                        "narrow\") in Definitions.in.\n"));

  std::filesystem::remove(dir.file("beam.tpl"));
  r = run(dir, "generateReportOnly");
  EXPECT_EQ(r.status, 133);
  EXPECT_THAT(unwrapped(r.err), HasSubstr(place + "The template file \"" + dir.file("beam.tpl") +
                                          "\" cannot be read (No such file or directory).\n"));
}

// A definition error whose own text names no variable says where it is.
TEST(NewUserStudyChecks, CrossedBoundsNameTheVariableAndFile) {
  TempDir dir;
  testing::writeMinimalStudy(dir.path());
  writeFile(dir.file("Definitions.in"),
            "$ the beam\n*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 300\n"
            "baseline: 100\nmax: 50\n*END\n");
  const ProcessResult r = run(dir, "generateReportOnly");
  EXPECT_EQ(r.status, 133);
  EXPECT_THAT(unwrapped(r.err),
              HasSubstr("*ERROR\nLower bound (300) must be less than upper bound (50).\nThe error "
                        "is in property \"max\" of the Continuous Variable \"x\" (record on line "
                        "2 of file \"Definitions.in\").\n"));
}

// A misspelt property is named once, with the property it most likely meant.
TEST(NewUserStudyChecks, MisspeltPropertyIsNamed) {
  TempDir dir;
  testing::writeMinimalStudy(dir.path());
  replaceIn(dir, "study.in", "mode: newStudy\n", "mode: newStudy\nnParalel: 2\ncolour: red\n");
  const ProcessResult r = run(dir, "generateReportOnly");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string head = "*WARNING\nThe property \"";
  const std::string tail =
      "\" of the Study \"demo\" (record on line 1 of file \"Study Input file\") is not a "
      "property this solver reads there. It is ignored.";
  const std::string misspelt = head + "nParalel" + tail + " Did you mean nParallel?\n";
  const std::string unknown = head + "colour" + tail + "\n";
  for (const std::string& text : {unwrapped(r.err), unwrapped(readFile(dir.file("study.mes")))}) {
    EXPECT_THAT(text, HasSubstr(misspelt));
    EXPECT_EQ(text.find(misspelt), text.rfind(misspelt));
    EXPECT_THAT(text, HasSubstr(unknown));
  }
}

}  // namespace
}  // namespace karvo
