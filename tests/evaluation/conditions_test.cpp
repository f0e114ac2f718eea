// Tests of conditions at run time: every type on real files and real sh commands in a
// temporary study folder, with the exact texts written to the analysis log, the composite
// combination left to right without short-cut, and the value kept per design slot.
#include "evaluation/conditions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/study_files_fixture.h"
#include "evaluation/formula.h"
#include "definitions/process_file.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {
namespace {

using ::testing::HasSubstr;
using testing::readFile;
using testing::writeFile;

std::string gConditionLog;
std::string conditionLogFor(int, const std::string&) { return gConditionLog; }

const char* const kConditionDefinitions =
    "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
    "*DEFINE_VARIABLE\nname: thickness\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 5\n"
    "*DEFINE_VARIABLE\nname: load\ntype: Parameter\nid: 2\nbaseline: -7.5\n"
    "*DEFINE_VARIABLE\nname: material\ntype: String\nid: 3\nbaseline: steel\n"
    "*DEFINE_VARIABLE\nname: gaugeText\ntype: String\nid: 4\nbaseline: 3.5\n"
    "*DEFINE_CURVE\nname: target\nsize: 3\npoint: 0, 1\npoint: 1, 2.5\npoint: 2, 4\n"
    "*DEFINE_RESPONSE\nname: mass\ntype: File\n"
    "*DEFINE_RESPONSE\nname: label\ntype: File\ndataType: text\n"
    "*DEFINE_REMOTE_MACHINE\nname: cluster\nplatform: Linux\nhost: head1\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: far\ntype: Direct\njobRemote: yes\n"
    "jobRemoteProfile: cluster\n"
    "*DEFINE_CONDITION\nname: outExists\ntype: FileExist\nfileType: output\n"
    "fileRef: out_%Design_Num%.txt\n"
    "*DEFINE_CONDITION\nname: outMissing\ntype: FileNotExist\nfileType: output\n"
    "fileRef: out_%Design_Num%.txt\n"
    "*DEFINE_CONDITION\nname: plain\ntype: FileExist\nfileType: output\nfileRef: out_7.txt\n"
    "*DEFINE_CONDITION\nname: absolute\ntype: FileExist\nfileType: output\n"
    "fileRef: %Study_Path%/flag_%Design_Num%\n"
    "*DEFINE_CONDITION\nname: normalEnd\ntype: FileContain\nfileType: output\n"
    "fileRef: solve_%Design_Num%.log\nfindText: design %Design_Num% NORMAL END\n"
    "*DEFINE_CONDITION\nname: noErrors\ntype: FileNotContain\nfileType: output\n"
    "fileRef: solve_%Design_Num%.log\nfindText: *** ERROR\n"
    "*DEFINE_CONDITION\nname: hasMaterial\ntype: FileContain\nfileType: output\n"
    "fileRef: solve_%Design_Num%.log\nfindRef: material\n"
    "*DEFINE_CONDITION\nname: solved\ntype: AnalysisStatus\nstatusRef: solve\n"
    "statusVal: Success\n"
    "*DEFINE_CONDITION\nname: massSkipped\ntype: ResponseStatus\nstatusRef: mass\n"
    "statusVal: Skipped\n"
    "*DEFINE_CONDITION\nname: massEvaluated\ntype: ResponseStatus\nstatusRef: mass\n"
    "statusVal: Evaluated\n"
    "*DEFINE_CONDITION\nname: exitsThree\ntype: Command\ncommand: exit 3\ncmdCheck: 1\n"
    "cmdVal: 3\n"
    "*DEFINE_CONDITION\nname: exitsZero\ntype: Command\ncommand: exit 3\ncmdCheck: 1\n"
    "cmdVal: 0\n"
    "*DEFINE_CONDITION\nname: saysOk\ntype: CommandContain\n"
    "cmd: echo \"design %Design_Num% of %thickness%: ok\"\ncmdText: design 7 of 2.25000: ok\n"
    "*DEFINE_CONDITION\nname: both\ntype: Command\n"
    "command: echo converged; exit 1\ncmdCheck: 1\ncmdVal: 0\ncmdText: converged\n"
    "*DEFINE_CONDITION\nname: errors\ntype: Command\n"
    "command: echo 'license denied' >&2; exit 0\ncmdText: license denied\n"
    "*DEFINE_CONDITION\nname: missingProgram\ntype: Command\n"
    "command: karvo_no_such_program_4711 --check\ncmdCheck: 1\ncmdVal: 0\n"
    "*DEFINE_CONDITION\nname: inQueueById\ntype: ScheduledJob\n"
    "command: printf 'JOBID NAME\\n 4711 solve_D7\\n'\nfind: ID\n"
    "*DEFINE_CONDITION\nname: inQueueByName\ntype: ScheduledJob\n"
    "command: printf 'JOBID NAME\\n 4711 solve_D7\\n'\nFind: Name\n"
    "*DEFINE_CONDITION\nname: thick\ntype: Formula\nformula: thickness > 2\n"
    "*DEFINE_CONDITION\nname: thin\ntype: formula\nformula: thickness > 3\n"
    "*DEFINE_CONDITION\nname: lightAll\ntype: Formula\nformula:2\n"
    "lowest = min(mass)\n_result = [lowest > -5, len(target) == 3]\n"
    "*DEFINE_CONDITION\nname: quoted\ntype: Formula\n"
    "formula: len(\"label\") == 5 and material == 'steel'  # label is a response\n"
    "*DEFINE_CONDITION\nname: divides\ntype: Formula\nformula: 1 / (thickness - 2.25)\n"
    "*END\n";

class ConditionsTest : public testing::StudyFilesTest {
 protected:
  void SetUp() override {
    StudyFilesTest::SetUp();
    gConditionLog = dir_.file("analysis.log");
    analysisLogPath = &conditionLogFor;
    run.studyName = "wing";
    run.runPrefix = "demo";
    read(kConditionDefinitions);
    clearMessages();
    services_ = ConditionServices();

    runFolder_ = dir_.file("demo_0/Design7/solve");
    ASSERT_TRUE(platform::makeDirectories(runFolder_));
    context_.designNumber = 7;
    context_.designSlot = 0;
    context_.analysisName = "solve";
    context_.analysisPath = runFolder_;
    context_.numbers = {{"thickness", 2.25}};
    ResponseValue mass;
    mass.values = {12.5, -3.0};
    mass.present = true;
    mass.status = 2;
    context_.responses["mass"] = mass;
  }

  void TearDown() override {
    analysisLogPath = nullptr;
    StudyFilesTest::TearDown();
  }

  // Evaluates `name` for slot 0, forcing a new evaluation.
  int eval(const std::string& name) {
    return evaluateCondition(name, context_, 0, true, services_);
  }

  std::string log() { return platform::pathExists(gConditionLog) ? readFile(gConditionLog) : ""; }
  void clearLog() { platform::removeFile(gConditionLog); }
  std::string inRun(const std::string& name) const { return runFolder_ + "/" + name; }

  // Adds a condition made in the test; answers its index.
  int add(Condition condition) {
    conditions.push_back(std::move(condition));
    return static_cast<int>(conditions.size()) - 1;
  }
  // Adds `condition` and evaluates it without a design slot.
  int evalNew(Condition condition) {
    return evaluateCondition(add(std::move(condition)), context_, -1, false, services_);
  }

  static Condition command(const std::string& name, const std::string& text, int expected) {
    Condition condition;
    condition.name = name;
    condition.type = ConditionType::Command;
    condition.command = text;
    condition.cmdCheck = 1;
    condition.cmdVal = expected;
    return condition;
  }

  static Condition parameter(const std::string& ref, const std::string& op, double value) {
    Condition condition;
    condition.name = "p_" + ref + op;
    condition.type = ConditionType::Parameter;
    condition.paramRef = ref;
    condition.paramOp = op;
    condition.paramVal = value;
    return condition;
  }

  std::string runFolder_;
  EvaluationContext context_;
  ConditionServices services_;  // what the conditions of a test use
};

std::string errorText(const std::string& text) { return "*ERROR\n" + text + "\n"; }
std::string noteText(const std::string& text) { return "*NOTE\n" + text + "\n"; }

// ---------------------------------------------------------------------------------------
// Files

TEST_F(ConditionsTest, FileExistenceWithTagsInTheFileName) {
  EXPECT_EQ(eval("outExists"), 0);
  EXPECT_EQ(eval("outMissing"), 1);
  writeFile(inRun("out_7.txt"), "");
  EXPECT_EQ(eval("outExists"), 1);
  EXPECT_EQ(eval("outMissing"), 0);
  // Another design looks for its own file.
  context_.designNumber = 8;
  EXPECT_EQ(eval("outExists"), 0);
  EXPECT_EQ(log(), "");

  // A folder of that name exists too.
  ASSERT_TRUE(platform::makeDirectory(inRun("out_8.txt")));
  EXPECT_EQ(eval("outExists"), 1);
}

TEST_F(ConditionsTest, FileNamesOutsideTheRunFolderAndUnformablePaths) {
  EXPECT_EQ(eval("absolute"), 0);
  writeFile(dir_.file("flag_7"), "");
  EXPECT_EQ(eval("absolute"), 1);

  // No run folder and no study folder: no path for a relative name, and the test fails.
  context_.analysisPath.clear();
  run.workingDirectory.clear();
  EXPECT_EQ(eval("outMissing"), 0);
  EXPECT_EQ(log(), errorText("Could not form the full path to the file \"out_7.txt\" of type "
                             "\"output\" being refenced in the \"outMissing\" condition."));
}

TEST_F(ConditionsTest, ResolveFileServiceLocatesEveryFile) {
  std::string askedType, askedName;
  services_.resolveFile = [&](const std::string& type, const std::string& name,
                                      const EvaluationContext&, std::string& path) {
    askedType = type;
    askedName = name;
    path = dir_.file("elsewhere.txt");
    return name != "out_9.txt";
  };
  EXPECT_EQ(eval("outExists"), 0);
  writeFile(dir_.file("elsewhere.txt"), "");
  EXPECT_EQ(eval("outExists"), 1);
  EXPECT_EQ(askedType, "output");
  EXPECT_EQ(askedName, "out_7.txt");
  context_.designNumber = 9;
  EXPECT_EQ(eval("outMissing"), 0);  // refused by the service: failed, not "does not exist"
  EXPECT_EQ(log(), errorText("Could not form the full path to the file \"out_9.txt\" of type "
                             "\"output\" being refenced in the \"outMissing\" condition."));
}

TEST_F(ConditionsTest, FileContainsAndDoesNotContainTheText) {
  writeFile(inRun("solve_7.log"), "start\nmaterial steel\ndesign 7 NORMAL END\n");
  EXPECT_EQ(eval("normalEnd"), 1);
  EXPECT_EQ(eval("noErrors"), 1);
  EXPECT_EQ(eval("hasMaterial"), 1);  // findRef: the string parameter's value

  writeFile(inRun("solve_7.log"), "design 6 NORMAL END\n*** ERROR in step 3\n");
  EXPECT_EQ(eval("normalEnd"), 0);
  EXPECT_EQ(eval("noErrors"), 0);
  EXPECT_EQ(eval("hasMaterial"), 0);
  EXPECT_EQ(log(), "");

  // The text read through a parameter changes with the design's value.
  context_.texts["material"] = "ERROR in step";
  EXPECT_EQ(eval("hasMaterial"), 1);

  // The search reads 1 MiB at a time; the text straddles the first boundary.
  std::string content((1u << 20) - 5, 'x');
  content += "design 7 NORMAL END";
  content += std::string(1000, 'y');
  writeFile(inRun("solve_7.log"), content);
  EXPECT_EQ(eval("normalEnd"), 1);
  EXPECT_EQ(eval("noErrors"), 1);
}

TEST_F(ConditionsTest, UnreadableFileFailsBothContainTests) {
  EXPECT_EQ(eval("normalEnd"), 0);
  EXPECT_EQ(eval("noErrors"), 0);  // cannot be checked: not met either
  const std::string path = inRun("solve_7.log");
  EXPECT_EQ(log(), errorText("Error in evaluating the condition \"normalEnd\". Could not read the "
                             "file \"" + path + "\": No such file or directory. This condition "
                             "will be treated as failed.") +
                       errorText("Error in evaluating the condition \"noErrors\". Could not read "
                                 "the file \"" + path + "\": No such file or directory. This "
                                 "condition will be treated as failed."));
}

// ---------------------------------------------------------------------------------------
// Parameters

TEST_F(ConditionsTest, ParameterWithEveryOperatorOnEveryValueAndItsFailures) {
  // thickness = 2.25
  const struct {
    const char* op;
    double value;
    int expected;
  } cases[] = {
      {"<", 2.5, 1},  {"<", 2.25, 0}, {">", 2.0, 1},  {">", 2.25, 0},
      {"<=", 2.25, 1}, {"<=", 2.0, 0}, {">=", 2.25, 1}, {">=", 2.5, 0},
      {"=", 2.25, 1}, {"=", 2.0, 0},  {"!=", 2.0, 1}, {"!=", 2.25, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(evalNew(parameter("thickness", c.op, c.value)), c.expected) << c.op << c.value;
  }
  // A numeric parameter without a value in the context takes its baseline (-7.5).
  EXPECT_EQ(evalNew(parameter("load", "<", -7)), 1);
  // A string parameter holding a number is compared as a number.
  EXPECT_EQ(evalNew(parameter("gaugeText", ">=", 3.5)), 1);
  EXPECT_EQ(log(), "");

  // mass = {12.5, -3}; target curve y = {1, 2.5, 4}
  EXPECT_EQ(evalNew(parameter("mass", ">", -5)), 1);
  EXPECT_EQ(evalNew(parameter("mass", ">", 0)), 0);
  EXPECT_EQ(evalNew(parameter("target", ">=", 1)), 1);
  EXPECT_EQ(evalNew(parameter("target", "<", 4)), 0);

  EXPECT_EQ(evalNew(parameter("label", ">", 0)), 0);
  EXPECT_EQ(evalNew(parameter("material", ">", 0)), 0);
  EXPECT_EQ(evalNew(parameter("thickness", "==", 2.25)), 0);
  EXPECT_EQ(log(),
            errorText("Error in evaluating the condition \"p_label>\". Could not get data for "
                      "parameter used \"label\". This condition will be treated as failed.") +
                errorText("Error in evaluating the condition \"p_material>\". The parameter "
                          "used \"material\" resulted in non-numeric data. This condition will "
                          "be treated as failed.") +
                errorText("Internal error in evaluating the condition \"p_thickness==\". "
                          "Unsupported comparison operator \"==\". This condition will be "
                          "treated as failed."));
}

// ---------------------------------------------------------------------------------------
// Statuses

TEST_F(ConditionsTest, AnalysisAndResponseStatusWords) {
  int current = 0;
  services_.analysisStatus = [&](const std::string& analysis, const EvaluationContext&,
                                         int& status) {
    if (analysis != "solve") return false;
    status = current;
    return true;
  };
  // Rows: the words; columns: statuses 0 ERROR .. 5 SKIPPED.
  const struct {
    const char* word;
    int matches[6];
  } table[] = {
      {"Evaluated", {1, 1, 1, 1, 0, 0}}, {"Skipped", {0, 0, 0, 0, 1, 1}},
      {"Success", {0, 1, 0, 0, 0, 0}},   {"Error", {1, 0, 0, 0, 0, 0}},
      {"Feasible", {0, 0, 1, 0, 0, 0}},  {"Infeasible", {0, 0, 0, 1, 0, 0}},
  };
  Condition& solved = conditions[static_cast<std::size_t>(findCondition("solved") -
                                                           conditions.data())];
  for (const auto& row : table) {
    ASSERT_TRUE(parseStatusWord(row.word, solved.statusVal));
    for (current = 0; current < 6; ++current) {
      EXPECT_EQ(eval("solved"), row.matches[current]) << row.word << " status " << current;
    }
  }
  EXPECT_EQ(log(), "");

  // Without the status service: failed.
  services_.analysisStatus = nullptr;
  EXPECT_EQ(eval("solved"), 0);
  EXPECT_EQ(log(), errorText("Error in evaluating the condition \"solved\". Could not get the "
                             "status of the analysis \"solve\" for design 7. This condition "
                             "will be treated as failed."));

  // mass is FEASIBLE (2) in the context.
  clearLog();
  EXPECT_EQ(eval("massSkipped"), 0);
  EXPECT_EQ(eval("massEvaluated"), 1);

  // A response the design has not produced yet is NOT EVALUATED.
  context_.responses.erase("mass");
  EXPECT_EQ(eval("massSkipped"), 1);
  EXPECT_EQ(eval("massEvaluated"), 0);
  context_.responses["mass"].status = 5;
  EXPECT_EQ(eval("massSkipped"), 1);

  conditions[static_cast<std::size_t>(findCondition("massEvaluated") - conditions.data())]
      .statusRef = "volume";
  EXPECT_EQ(eval("massEvaluated"), 0);
  EXPECT_EQ(log(), errorText("Error in evaluating the condition \"massEvaluated\". The response "
                             "used \"volume\" has not been defined. This condition will be "
                             "treated as failed."));
}

// ---------------------------------------------------------------------------------------
// Commands

TEST_F(ConditionsTest, CommandExitCodeOutputAndFailures) {
  EXPECT_EQ(eval("exitsZero"), 0);
  // Both checks asked for: the text is there but the exit code is not the one expected.
  EXPECT_EQ(eval("both"), 0);
  // The command runs in the run folder.
  const int index = add(command("marker", "test -f marker_file", 0));
  EXPECT_EQ(evaluateCondition(index, context_, 0, true, services_), 0);
  writeFile(inRun("marker_file"), "");
  EXPECT_EQ(evaluateCondition(index, context_, 0, true, services_), 1);
  EXPECT_EQ(log(), "");

  // The output check, with tags, on the captured output.
  writeFile(inRun(kCommandOutputFile), "stale output of an earlier command\n");
  EXPECT_EQ(eval("saysOk"), 1);
  EXPECT_EQ(readFile(inRun(kCommandOutputFile)), "design 7 of 2.25000: ok\n");
  context_.numbers["thickness"] = 3.0;
  EXPECT_EQ(eval("saysOk"), 0);
  EXPECT_EQ(readFile(inRun(kCommandOutputFile)), "design 7 of 3.00000: ok\n");
  // Standard error is searched too.
  EXPECT_EQ(eval("errors"), 1);
  EXPECT_EQ(log(), "");

  EXPECT_EQ(eval("missingProgram"), 0);
  const std::string text = log();
  EXPECT_THAT(text, ::testing::StartsWith(
                        "*ERROR\nError in evaluating the condition \"missingProgram\". The command "
                        "\"karvo_no_such_program_4711 --check\" could not be run (exit code "
                        "127):\n"));
  EXPECT_THAT(text, HasSubstr("karvo_no_such_program_4711: not found"));
  EXPECT_THAT(text, ::testing::EndsWith("This condition will be treated as failed.\n"));

  // Exit code 127 fails the condition even when it is the value asked for.
  EXPECT_EQ(evaluateCondition(add(command("asks127", "exit 127", 127)), context_, 0, true, services_), 0);

  clearLog();
  platform::removeTree(runFolder_);
  EXPECT_EQ(eval("exitsThree"), 0);
  EXPECT_THAT(log(), ::testing::StartsWith(
                         "*ERROR\nError in evaluating the condition \"exitsThree\". Error in "
                         "executing the following command (could not create the process to run "
                         "this):\nexit 3\n"));
  ASSERT_TRUE(platform::makeDirectories(runFolder_));
  clearLog();

  services_.commandSeconds = 0.2;
  EXPECT_EQ(evaluateCondition(add(command("slow", "sleep 10", 0)), context_, 0, true, services_), 0);
  EXPECT_EQ(log(), errorText("Error in evaluating the condition \"slow\". The command \"sleep "
                             "10\" did not finish within 0.2 seconds and was stopped. This "
                             "condition will be treated as failed."));

  const int tagged = add(command("tagged", "touch ran_%label%", 0));
  EXPECT_EQ(evaluateCondition(tagged, context_, 0, true, services_), 0);
  EXPECT_FALSE(platform::pathExists(inRun("ran_")));
  EXPECT_THAT(log(), testing::HasLines("*ERROR\nError in evaluating the condition \"tagged\". The "
                                       "tags of its command \"touch ran_%label%\" could not be "
                                       "replaced. This condition will be treated as failed.\n"));
}

TEST_F(ConditionsTest, RemoteResourceUsesTheRemoteCommandService) {
  context_.jobResource = "far";
  const int index = add(command("remote", "echo remote-side", 0));
  conditions[static_cast<std::size_t>(index)].cmdText = "via ssh: echo remote-side";
  services_.remoteCommand = [](const std::string& text, const EvaluationContext&,
                                       std::string& local, std::string& error) {
    if (text == "refuse") {
      error = "no route";
      return false;
    }
    local = "echo " + platform::shellQuote("via ssh: " + text);
    return true;
  };
  EXPECT_EQ(evaluateCondition(index, context_, 0, true, services_), 1);
  // Without a job resource the analysis's own resource decides.
  Analysis analysis;
  analysis.name = "solve";
  analysis.computeResource = "far";
  context_.jobResource.clear();
  context_.analysis = &analysis;
  EXPECT_EQ(evaluateCondition(index, context_, 0, true, services_), 1);
  EXPECT_EQ(evaluateCondition(add(command("refused", "refuse", 0)), context_, 0, true, services_), 0);
  EXPECT_EQ(log(), errorText("Error in evaluating the condition \"refused\". Could not form the "
                             "command for the remote machine of the compute resource \"far\":\n"
                             "no route This condition will be treated as failed."));
  clearLog();

  // Without the service the command runs here, with a warning.
  services_.remoteCommand = nullptr;
  EXPECT_EQ(eval("exitsThree"), 1);
  EXPECT_EQ(log(), "*WARNING\nThe compute resource \"far\" runs on a remote machine, but no "
                   "remote command runner is set up for conditions. The command of the "
                   "condition \"exitsThree\" runs on this machine.\n");
}

TEST_F(ConditionsTest, ScheduledJobFindsTheJobAsAWord) {
  context_.jobId = "4711";
  context_.jobName = "solve_D7";
  EXPECT_EQ(eval("inQueueById"), 1);
  EXPECT_EQ(eval("inQueueByName"), 1);
  context_.jobId = "471";        // only part of a word in the output
  context_.jobName = "solve_D";
  EXPECT_EQ(eval("inQueueById"), 0);
  EXPECT_EQ(eval("inQueueByName"), 0);
  EXPECT_EQ(log(), "");
  context_.jobId.clear();
  EXPECT_EQ(eval("inQueueById"), 0);
  EXPECT_EQ(log(), errorText("Error in evaluating the condition \"inQueueById\". The analysis "
                             "\"solve\" of design 7 has no job id to look for. This condition "
                             "will be treated as failed."));
}

// ---------------------------------------------------------------------------------------
// Formulas

TEST_F(ConditionsTest, FormulaConditionsAndAFailingFormulaThatIsNotMet) {
  EXPECT_EQ(eval("thick"), 1);
  EXPECT_EQ(eval("thin"), 0);
  // Lists for multi-valued names; every value of the result must be non-zero.
  EXPECT_EQ(eval("lightAll"), 1);
  context_.responses["mass"].values = {12.5, -6.0};
  EXPECT_EQ(eval("lightAll"), 0);
  // Names inside strings and comments are not handed over ("label" has no value).
  EXPECT_EQ(eval("quoted"), 1);
  EXPECT_EQ(log(), "");

  EXPECT_EQ(eval("divides"), 0);
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("ZeroDivisionError"));
  EXPECT_THAT(text, ::testing::EndsWith(
                        errorText("Error in evaluating the condition \"divides\". Its formula "
                                  "could not be evaluated. This condition will be treated as "
                                  "failed.")));
  // The same formula for another value is fine: the failure ended nothing.
  context_.numbers["thickness"] = 4.25;
  EXPECT_EQ(eval("divides"), 1);
}

// ---------------------------------------------------------------------------------------
// Composite conditions

TEST_F(ConditionsTest, CompositeEvaluatesEveryMemberLeftToRight) {
  // Each member leaves a file behind, proving that it ran.
  const int first = add(command("first", "touch first.ran; exit 1", 0));   // not met
  const int second = add(command("second", "touch second.ran; exit 0", 0)); // met
  const int third = add(command("third", "touch third.ran; exit 1", 0));   // not met
  Condition composite;
  composite.name = "all";
  composite.type = ConditionType::Composite;
  composite.members = {{"first", first, 1}, {"second", second, 0}, {"third", third, 1}};
  const int index = add(composite);

  // ((first and second) or third): not met, and every member ran after "first" failed.
  EXPECT_EQ(evaluateCondition(index, context_, 0, false, services_), 0);
  EXPECT_TRUE(platform::pathExists(inRun("first.ran")));
  EXPECT_TRUE(platform::pathExists(inRun("second.ran")));
  EXPECT_TRUE(platform::pathExists(inRun("third.ran")));
  EXPECT_EQ(log(), noteText("Composite condition \"all\" evaluation details\nCondition first was "
                            "NOT met.\nCondition second was met.\nCondition third was NOT "
                            "met."));

  // Left to right, not "and" before "or": (second or first) and third is not met, whereas
  // second or (first and third) would be.
  conditions[static_cast<std::size_t>(index)].members = {
      {"second", second, 0}, {"first", first, 1}, {"third", third, 1}};
  EXPECT_EQ(evaluateCondition(index, context_, 1, false, services_), 0);
  // (first or second) and second: met.
  conditions[static_cast<std::size_t>(index)].members = {
      {"first", first, 0}, {"second", second, 1}, {"second", second, 1}};
  EXPECT_EQ(evaluateCondition(index, context_, 2, false, services_), 1);

  resetAll();
  read("*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
       "*DEFINE_CONDITION\nname: a\ntype: Command\ncommand: touch a.ran; exit 0\ncmdCheck: 1\n"
       "cmdVal: 1\n"
       "*DEFINE_CONDITION\nname: b\ntype: Command\ncommand: touch b.ran\ncmdCheck: 1\n"
       "cmdVal: 0\n"
       "*DEFINE_CONDITION\nname: aAndB\ntype: composite\ncondName: a\ncondBool: 1\n"
       "condName: b\n"
       "*DEFINE_CONDITION\nname: aOrB\ntype: composite\ncondName: a\ncondBool: 0\n"
       "condName: b\n"
       "*DEFINE_CONDITION\nname: none\ntype: composite\n*END\n");
  EXPECT_EQ(evaluateCondition("aAndB", context_, 0, false, services_), 0);
  EXPECT_TRUE(platform::pathExists(inRun("b.ran")));
  EXPECT_EQ(evaluateCondition("aOrB", context_, 0, false, services_), 1);
  EXPECT_EQ(evaluateCondition("none", context_, 0, false, services_), 1);
  EXPECT_THAT(log(), ::testing::EndsWith(
                         noteText("Composite condition \"none\" evaluation details")));
}

// ---------------------------------------------------------------------------------------
// Values kept per design slot

TEST_F(ConditionsTest, ValueKeptPerSlotUntilForcedOrCleared) {
  const int index = add(command("counted", "echo run >> count.txt", 0));
  auto runs = [&] {
    const std::string text = platform::pathExists(inRun("count.txt")) ? readFile(inRun("count.txt"))
                                                                       : "";
    return std::count(text.begin(), text.end(), '\n');
  };
  EXPECT_EQ(evaluateCondition(index, context_, 0, false, services_), 1);
  EXPECT_EQ(evaluateCondition(index, context_, 0, false, services_), 1);
  EXPECT_EQ(runs(), 1);
  EXPECT_EQ(evaluateCondition("counted", context_, 0, true, services_), 1);  // forced
  EXPECT_EQ(runs(), 2);
  EXPECT_EQ(evaluateCondition(index, context_, 3, false, services_), 1);     // another slot
  EXPECT_EQ(runs(), 3);
  EXPECT_EQ(evaluateCondition(index, context_, -1, false, services_), 1);    // no slot: always runs
  EXPECT_EQ(runs(), 4);

  // The kept value is answered even when the world has changed since.
  platform::removeFile(inRun("count.txt"));
  ASSERT_TRUE(platform::makeDirectory(inRun("count.txt")));  // the command now fails
  EXPECT_EQ(evaluateCondition(index, context_, 0, false, services_), 1);
  clearConditionSlot(0);
  EXPECT_EQ(evaluateCondition(index, context_, 0, false, services_), 0);
  EXPECT_EQ(evaluateCondition(index, context_, 3, false, services_), 1);
  clearConditionValues();
  EXPECT_EQ(evaluateCondition(index, context_, 3, false, services_), 0);
  EXPECT_EQ(log(), "");

  run.settings.verbose = 1;
  clearLog();
  EXPECT_EQ(evaluateCondition(index, context_, 3, false, services_), 0);
  EXPECT_EQ(log(), noteText("This condition \"counted\" has already been evaluated. Returning "
                            "the already calculated value of 0."));

  EXPECT_THROW(evaluateCondition("nowhere", context_, 0, false, services_), RunExit);
  EXPECT_EQ(messages(), testing::fatalBlock("Error in locating \"nowhere\" in the list of defined "
                                            "conditions. This condition has not been defined."));
  EXPECT_EQ(evaluateCondition(999, context_, 0, false, services_), 0);
}

TEST_F(ConditionsTest, VerboseNotesNameTheFileAndTheCommand) {
  run.settings.verbose = 1;  // "plain": a file name without tags
  writeFile(inRun("out_7.txt"), "");
  EXPECT_EQ(eval("plain"), 1);
  EXPECT_EQ(eval("exitsThree"), 1);
  EXPECT_EQ(log(), noteText("Using the following file for evaluating condition \"plain\":\n" +
                            inRun("out_7.txt") + ".") +
                       noteText("Running the command of the condition \"exitsThree\" in the "
                                "folder \"" + runFolder_ + "\":\nexit 3") +
                       noteText("The command of the condition \"exitsThree\" ended with the exit "
                                "code 3."));
}

}  // namespace
}  // namespace karvo
