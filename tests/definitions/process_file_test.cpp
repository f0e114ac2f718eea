// Tests of the process files: the process, analysis and execution records with their file
// lists, response lists, command steps and reservations; the start-up checks across
// analyses (dependencies, automatic dependencies, cycles); and the exact text of every
// refusal, warning and note.
#include "definitions/process_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/definition_place.h"
#include "support/study_files_fixture.h"

namespace karvo {
namespace {

using ::testing::ElementsAre;

const char* kDefinitions =
    "*DEFINE_COMPUTE_RESOURCE\nname: local\ntype: Direct\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: cluster\ntype: Scheduled\njobCommand: sbatch\n"
    "reserveEnabled: yes\n"
    "*DEFINE_COMPUTE_RESOURCE\nname: queue\ntype: Scheduled\njobCommand: qsub\n"
    "*DEFINE_CONDITION\nname: solved\ntype: FileExist\nfileType: output\nfileRef: result.txt\n"
    "*DEFINE_RESPONSE\nname: mass\ntype: File\n"
    "*DEFINE_RESPONSE\nname: ratio\ntype: Formula\nformula: mass*2\n*END\n";

// An analysis with the given extra lines in its two records.
std::string analysis(const std::string& name, int id, const std::string& extra = "",
                     const std::string& execution = "") {
  return "*ANALYSIS\nname: " + name + "\nid: " + std::to_string(id) + "\n" + extra +
         "*EXECUTION_DEFINITION\ntoolCmd: ./run.sh\n" + execution;
}

const char* kSerial = "*PROCESS\nname: chain\n";
const char* kParallel = "*PROCESS\nname: web\nparallel: yes\n";

// A serial process of the one analysis "a" (id 1) with the given extra lines.
std::string serialA(const std::string& extra, const std::string& execution = "") {
  return kSerial + analysis("a", 1, extra, execution);
}

// The line that places an error in a record of Process1.in.
std::string place(const char* property, const char* analysis, int line) {
  return testing::errorPlace(property, "Analysis definition", analysis, line, "Process1.in");
}
std::string executionPlace(const char* property) {
  return testing::errorPlace(property, "Analysis execution definition", "a", 6, "Process1.in");
}

// A file that must be refused, with the text of its error.
struct ProcessRefusal {
  std::string text;
  std::string error;
};

class ProcessFileTest : public testing::StudyFilesTest {
 protected:
  ProcessFileTest() : StudyFilesTest("karvo-process") {}

  void SetUp() override {
    StudyFilesTest::SetUp();
    definitionsWith(kDefinitions);
  }

  void processWith(int number, const std::string& text) {
    testing::writeFile(dir_.file("Process" + std::to_string(number) + ".in"), text);
  }

  // Reads Process1.in holding `text`; answers the analyses.
  const std::vector<Analysis>& read(const std::string& text) {
    processWith(1, text);
    clearMessages();
    readProcessFile(1);
    return findProcess(1)->analyses;
  }

  // Reading Process1.in holding `text` must end the run; answers the message file.
  std::string readFailure(const std::string& text) {
    processWith(1, text);
    return failureOf([] { readProcessFile(1); });
  }

  void expectRefused(const std::vector<ProcessRefusal>& cases) {
    for (const ProcessRefusal& c : cases) {
      SCOPED_TRACE(c.text);
      EXPECT_EQ(readFailure(c.text), fatalOutput(c.error));
    }
  }

  // Reading succeeds and the consistency check must end the run.
  std::string checkFailure(const std::string& text) {
    resetProcesses();
    read(text);
    return failureOf([] { checkProcessConsistency(); });
  }
};

// ---------------------------------------------------------------------------------------
// Reading

TEST_F(ProcessFileTest, ReadsListsLocationsAndCommandStepsOfBothRecords) {
  const std::string analysisRecord =
      "name: solve\nid: 4\ncomputeResource: local\nerrorMode: STOP\n"
      "inputFile:2\nmesh.k, studyFolder, , file, yes\n"
      "params, fixedLocation:/data/common, p, folder, no\n"
      "inputFile: geometry.step, anotherAnalysis:mesh, , file, true, coarse, fine\n"
      "inputTagFile:2\ntemplates/deck.tpl, deck.k\n" + dir_.file("loads.tpl") + "\n"
      "outputFile:2\nresult.txt\n  log.txt\noutputTagFile: mass, defs/mass.def\n"
      "calculatedResponse:1\nratio\nportalData:2\nfirst line\nsecond line\n"
      "dependency:2\nmesh, design\nprep, cycle";
  const std::string executionRecord =
      "anlFolder: relativeLocation:work\ntoolCmd:2\ncd work\n./solve.sh\n"
      "preAnalysisCmd: ./pre.sh\npreAnalysisOptions: designFolder, , 0\n"
      "preCmd: ./clean.sh\npreUpdateOptions: fixedLocation, /tmp/x, NONE\n"
      "successCondition: solved\nsuccessReturnValue: 0\nnumDesigns: 3\n";
  std::filesystem::create_directories(dir_.file("defs"));
  testing::writeFile(dir_.file("defs/mass.def"), "file: result.txt\n");
  std::filesystem::create_directories(dir_.file("templates"));
  testing::writeFile(dir_.file("templates/deck.tpl"), "{{x}}\n");  // templates must exist
  testing::writeFile(dir_.file("loads.tpl"), "\n");
  const std::vector<Analysis>& analyses =
      read(std::string(kParallel) + "*ANALYSIS\n" + analysisRecord +
           "\n*EXECUTION_DEFINITION\n" + executionRecord + analysis("mesh", 1) +
           analysis("prep", 2) + analysis("coarse", 3) + analysis("fine", 5) + "*END\n");
  const Process& process = *findProcess(1);
  ASSERT_EQ(analyses.size(), 5u);
  const Analysis& a = analyses[0];
  ASSERT_EQ(a.inputFiles.size(), 3u);
  EXPECT_EQ(a.inputFiles[0].target, "mesh.k");  // no target: the file's own name
  EXPECT_EQ(a.inputFiles[1].source.path, "/data/common");
  EXPECT_THAT(a.inputFiles[2].sourceAnalyses, ElementsAre("mesh", "coarse", "fine"));
  EXPECT_EQ(a.taggedInputFiles.at(1).target, "loads.tpl");
  EXPECT_THAT(a.outputFiles, ElementsAre("result.txt", "log.txt"));
  // The tagged response is extracted by the analysis without an "outputResponse" line.
  EXPECT_THAT(a.outputResponses, ElementsAre("mass"));
  EXPECT_EQ(a.portalData, "first line\nsecond line");
  EXPECT_EQ(a.dependencies.at(1).cycle, 1);
  EXPECT_EQ(a.command, "cd work\n./solve.sh");
  EXPECT_EQ(a.preUpdate.expectedCode, kNoReturnCheck);
  EXPECT_EQ(a.recordText, analysisRecord);
  EXPECT_EQ(a.executionText, executionRecord.substr(0, executionRecord.size() - 1));

  // Without the properties: no time limit, the analysis folder, no return-value check.
  const Analysis& mesh = analyses[1];
  EXPECT_EQ(mesh.maxTime, kInfiniteTime);
  EXPECT_EQ(mesh.runLocation.text, "analysisFolder");
  EXPECT_EQ(mesh.successReturnValue, kNoReturnCheck);
  EXPECT_EQ(messages(), "");

  EXPECT_EQ(findAnalysis(process, "fine"), 4);
  EXPECT_EQ(findAnalysis(process, "Fine"), -1);
  clearMessages();
  EXPECT_THROW(analysisIndex(process, "post"), RunExit);
  EXPECT_EQ(messages(), fatalOutput("Error number 1033. Error in getting analysis index for "
                                    "analysis \"post\". Please contact technical support.\n"
                                    "Cannot continue. Exiting."));
}

TEST_F(ProcessFileTest, TrailingBlanksAndTabsOfEveryLineAreDropped) {
  const std::vector<Analysis>& analyses =
      read("*PROCESS \nname: chain\t \n*ANALYSIS\t\nname: a  \nid: 1 \n"
           "*EXECUTION_DEFINITION\ntoolCmd: ./run.sh \t\n");
  EXPECT_EQ(findProcess(1)->name, "chain");
  EXPECT_EQ(analyses[0].command, "./run.sh");
  EXPECT_EQ(analyses[0].recordText, "name: a\nid: 1");
}

TEST_F(ProcessFileTest, NilCommandAndSharedRunFoldersAreReported) {
  processWith(1, std::string(kParallel) +
                     "*ANALYSIS\nname: a\nid: 1\n*EXECUTION_DEFINITION\ntoolCmd: nil\n"
                     "anlFolder: fixedLocation:/scratch/run\nnumDesigns: 2\n" +
                     analysis("b", 2, "", "anlFolder: designFolder\nnumDesigns: 2\n"));
  readProcessFile(1);
  EXPECT_EQ(findProcess(1)->analyses[0].noExecution, 1);
  EXPECT_EQ(messages(),
            rendered("note", "The execution command for analysis \"a\" is \"nil\". No execution "
                             "will be performed for this analysis.") +
                rendered("warning",
                         "The analysis \"a\" runs up to 2 designs at the same time in the "
                         "location \"fixedLocation:/scratch/run\", which is not a folder of its "
                         "own for each design. The simultaneous runs will share one folder."));
}

TEST_F(ProcessFileTest, ReservationsAreReadForResourcesThatEnableThem) {
  const std::vector<Analysis>& analyses =
      read(std::string(kSerial) +
           analysis("a", 1,
                    "computeResource: cluster\nreserveType: advance\nreserveMode: shared\n"
                    "reserveCores: 16\nreserveMemory: 64GB\nreserveEstTime: 90\n",
                    "numDesigns: 3\n") +
           analysis("b", 2, "computeResource: queue\nreserveType: job\n"));
  ASSERT_EQ(analyses.size(), 2u);
  const Reservation& reservation = analyses[0].reservation;
  EXPECT_EQ(reservation.name, "cluster_shared");
  EXPECT_EQ(reservation.cores, 16);
  EXPECT_EQ(reservation.numDesigns, 3);  // from the execution block
  EXPECT_EQ(analyses[0].numDesigns, 1);  // serial process: with the last note below
  EXPECT_EQ(analyses[1].hasReservation, 0);
  EXPECT_EQ(messages(),
            rendered("note", "Reading reservation data for analysis \"a\".") +
                rendered("note", "Reading reservation data for analysis \"b\".") +
                rendered("note", "The compute resource \"queue\" of analysis \"b\" does not "
                                 "enable job reservations. The reservation data of the analysis "
                                 "is not read.") +
                rendered("note", "Since the parallel option is not enabled, the number of "
                                 "parallel designs for analysis \"a\" is being set to 1 instead "
                                 "of 3 defined."));

  const std::string note = rendered("note", "Reading reservation data for analysis \"a\".");
  EXPECT_EQ(readFailure(serialA("reserveType: job\n")),
            note + fatalOutput("Error in the definition for analysis a. Job reservation cannot "
                               "be used with Local or Direct execution."));
  EXPECT_EQ(readFailure(serialA("computeResource: cluster\nreserveType: later\n")),
            note + fatalOutput("Error in the reservation data of analysis a. The reservation "
                               "type \"later\" is not supported. Valid options are \"job\" or "
                               "\"advance\"."));
  EXPECT_EQ(readFailure(serialA("computeResource: cluster\nreserveType: job\nreserveNodes: 0\n")),
            note + fatalOutput("When reading \"reserveNodes\" input for \"a\" of type \"Resource "
                               "reservation definition\" from file \"Process1.in\", the value "
                               "read (0) is less than the required minimum (1)"));
}

TEST_F(ProcessFileTest, LocationsAndCommandOptionsAreRead) {
  read(serialA("inputFile: mesh.k, LOCAL:projectFolder, , file, yes\n",
               "postExtractOptions: studyFolder, , 3\n"));
  const Analysis& a = findProcess(1)->analyses[0];
  EXPECT_EQ(a.inputFiles[0].source.local, 1);
  EXPECT_EQ(a.inputFiles[0].source.kind, LocationKind::ProjectFolder);
  EXPECT_EQ(a.postExtract.expectedCode, kNoReturnCheck);
  EXPECT_EQ(a.postExtract.location.kind, LocationKind::StudyFolder);
  EXPECT_EQ(messages(), rendered("warning",
                                 "Incorrect format for defining data for a "
                                 "\"postExtractOptions\". A return value is defined when none "
                                 "is expected."));
  // The longest name, and a time limit written out.
  const std::string exact255(255, 'm');
  read(std::string(kSerial) + analysis(exact255, 1, "maxTime: infinite\n"));
  EXPECT_EQ(findProcess(1)->analyses[0].name, exact255);
  EXPECT_EQ(findProcess(1)->analyses[0].maxTime, kInfiniteTime);
}

// ---------------------------------------------------------------------------------------
// Refusals of the analysis record

TEST_F(ProcessFileTest, AnalysisRecordsAreRefusedWithTheirTexts) {
  const std::string longName(256, 'n');
  const std::string undefinedVolume =
      "The response \"volume\" listed in analysis \"a\" has not been defined in the study. "
      "Please define the response or remove it from the analysis.";
  expectRefused({
      {std::string(kSerial) + analysis(longName, 1),
       "Error in the analysis name \"" + longName +
           "\". The name must be shorter than 256 characters.\n"},
      {std::string(kSerial) + analysis("../up", 1),
       "Error in the analysis name \"../up\". The name is used as the folder of the analysis; it "
       "cannot be empty, \".\" or \"..\", nor contain \"/\"."},
      {std::string(kSerial) + analysis("a", 1) + analysis("a", 2),
       "The analysis name (a) already exists in the Process definition." + place("name", "a", 8)},
      {std::string(kSerial) + analysis("a", -1),
       "Tool id must be greater than or equal to 0, found -1" + place("id", "a", 3)},
      {std::string(kSerial) + analysis("a", 1) + analysis("b", 1),
       "The analysis id (1) already exists in the Process definition." + place("id", "b", 8)},
      {serialA("maxTime: 0\n"),
       "The maximum allowed analysis time must be >= 1 second, found 0\n" +
           place("maxTime", "a", 3).substr(1)},
      {serialA("", "runCondition: ready\n"),
       "Error in locating \"ready\" in the list of defined conditions. This condition has not "
       "been defined. It is used as the run condition of analysis \"a\"." +
           executionPlace("runCondition")},
      {serialA("", "finishCondition: ready\n"),
       "Error in locating \"ready\" in the list of defined conditions. This condition has not "
       "been defined. It is used as the finish condition of analysis \"a\"." +
           executionPlace("finishCondition")},
      {serialA("outputResponse: volume\n"), undefinedVolume + place("outputResponse", "a", 3)},
      {serialA("", "numDesigns: 0\n"),
       "Number of simultaneous designs for analysis \"a\" must be greater than 0, found 0" +
           executionPlace("numDesigns")},
  });
}

TEST_F(ProcessFileTest, FileListEntriesAreRefusedWithTheirTexts) {
  const std::string input = "inputFile: mesh.k, ";
  // A FIFO in place of a definition must not make the reading wait for a writer.
  ASSERT_EQ(::mkfifo(dir_.file("pipe.def").c_str(), 0644), 0);
  expectRefused({
      {serialA(input + "studyFolder, , file\n"),
       "The definition for the input file \"mesh.k\" is incomplete. Expecting at least 5 data "
       "entries, found 4.\n"},
      {serialA(input + "studyFolder, , link, yes\n"),
       "The type \"link\" of the input file \"mesh.k\" of analysis \"a\" is not supported. Valid "
       "types are file and folder."},
      {serialA(input + "studyFolder, , file, maybe\n"),
       "The copy option \"maybe\" of the input file \"mesh.k\" of analysis \"a\" is not "
       "supported. Valid choices are yes, no, true, false, 1 and 0."},
      {serialA(input + "studyFolder, , file, yes, other\n"),
       "The input file \"mesh.k\" of analysis \"a\" lists further source analyses, but it is not "
       "taken from another analysis (anotherAnalysis). Read data: mesh.k, studyFolder, , file, "
       "yes, other"},
      {serialA("outputTagFile: mass\n"),
       "Incorrect format for defining data for a \"outputTagFile\". Expecting at least 2 values. "
       "Found 1. Read data: mass"},
      {serialA("outputTagFile: mass, missing.def\n"),
       "When reading data for \"a\" of type \"Analysis definition\" from file \"Process1.in\", "
       "KARVO encountered the following error in reading the data for property "
       "\"outputTagFile\":\nThe extraction definition file \"" + dir_.file("missing.def") +
           "\" of the response \"mass\" cannot be read (No such file or directory)."},
      {serialA("outputTagFile: mass, pipe.def\n"),
       "When reading data for \"a\" of type \"Analysis definition\" from file \"Process1.in\", "
       "KARVO encountered the following error in reading the data for property "
       "\"outputTagFile\":\nThe extraction definition file \"" + dir_.file("pipe.def") +
           "\" of the response \"mass\" cannot be read (Invalid argument)."},
      {serialA("inputTagFile: a.tpl, a.k, extra\n"),
       "Incorrect format for defining data for a \"inputTagFile\". Expecting a template file and "
       "optionally the tagged file name. Read data: a.tpl, a.k, extra"},
      {serialA(input + "analysisFolder, , file, yes\nprimaryInput: main.k\n"),
       "The primary input file \"main.k\" is not defined in the list of input files for analysis "
       "\"a\"." + place("primaryInput", "a", 3)},
  });
}

TEST_F(ProcessFileTest, LocationsAreRefusedWithTheirTexts) {
  const std::string head = "Error in the definition of analysis \"a\".\n\t ";
  auto withInput = [](const std::string& location) {
    return serialA("inputFile: mesh.k, " + location + ", , file, yes\n");
  };
  expectRefused({
      {withInput(""), head + "Error in the reading the location definition for file mesh.k. "
                             "The location cannot be empty."},
      {withInput("homeFolder"),
       head + "The location \"homeFolder\" for file mesh.k is not supported. Valid locations are "
              "analysisFolder, designFolder, studyFolder, projectFolder, "
              "anotherAnalysis:<analysis>, fixedLocation:<path> and relativeLocation:<path>, "
              "optionally preceded by REMOTE: or LOCAL:."},
      {withInput("REMOTE:fixedLocation"),
       head + "The location \"REMOTE:fixedLocation\" for file mesh.k needs a path after "
              "\"fixedLocation:\"."},
      {withInput("studyFolder:sub"),
       head + "The location \"studyFolder:sub\" for file mesh.k does not take a path. Use "
              "relativeLocation or fixedLocation for a folder of your own."},
      {serialA("", "anlFolder: REMOTE:anotherAnalysis:b\n"),
       "Error in the problem setup. The analysis folder location for the remote analysis (a) "
       "cannot reference another analysis."},
  });
}

TEST_F(ProcessFileTest, DependencyEntriesAreRefusedWithTheirTexts) {
  const std::string twoAnalyses = std::string(kSerial) + analysis("a", 1);
  expectRefused({
      {twoAnalyses + analysis("b", 2, "dependency: a, always\n"),
       "Incorrect choice specified for cycle based execution for analysis b. The choice can only "
       "be \"design\" or \"cycle\". Found always."},
      {std::string(kSerial) + analysis("b", 2, "dependency: b, design\n"),
       "Error in the dependency definition for analysis \"b\". The definition cannot include "
       "itself as a dependency."},
      {twoAnalyses + analysis("b", 2, "dependency:2\na, design\na, cycle\n"),
       "Error in the dependency definition for analysis \"b\". The analysis \"a\" is named more "
       "than once as a dependency."},
  });
}

// ---------------------------------------------------------------------------------------
// Refusals of the file layout

TEST_F(ProcessFileTest, RecordsMustComeInTheirLayout) {
  const std::string noProcess =
      "The file \"Process1.in\" has no *PROCESS record. It must give the name of the process and "
      "whether its analyses run in parallel.";
  expectRefused({
      {std::string(kSerial) + "*EXECUTION_DEFINITION\ntoolCmd: x\n",
       "The *EXECUTION_DEFINITION record on line 3 of file \"Process1.in\" does not follow an "
       "*ANALYSIS record. Each analysis has one execution definition, right after its *ANALYSIS "
       "record."},
      {std::string(kSerial) + "*ANALYSIS\nname: a\nid: 1\n" + kSerial,
       "The analysis \"a\" in file \"Process1.in\" has no *EXECUTION_DEFINITION record. Every "
       "analysis needs one with its execution command (toolCmd; \"nil\" for none)."},
      {std::string(kSerial) + kParallel,
       "The file \"Process1.in\" has more than one *PROCESS record (line 3)."},
      {analysis("a", 1), noProcess},
      {"", noProcess},
      {std::string(kSerial) + "*ANALYSE\nname: a\n", "\nUnsupported keyword:\n *ANALYSE"},
      {std::string(kSerial) + "*ANALYSIS\nname: a\nid: 1\n*EXECUTION_DEFINITION\ninstall: /opt\n",
       "When reading data for \"a\" of type \"Analysis execution definition\" from file "
       "\"Process1.in\", KARVO encountered the following error in reading the data for property "
       "\"toolCmd\":\nThe property is not defined."},
      {std::string(kSerial) + "*ANALYSIS\nname: a\nid: 1\n*EXECUTION_DEFINITION\ntoolCmd: \n",
       "The execution command for analysis \"a\" is empty. Use \"nil\" for an analysis that runs "
       "no command." + executionPlace("toolCmd")},
  });
  EXPECT_TRUE(processes.empty());
}

// ---------------------------------------------------------------------------------------
// Consistency checks across analyses

TEST_F(ProcessFileTest, InputFromAnotherAnalysisAddsACycleDependency) {
  read(std::string(kSerial) + analysis("mesh", 1) +
       analysis("solve", 2,
                "inputFile: mesh.k, anotherAnalysis:mesh, , file, yes\n"
                "inputFile: own.k, anotherAnalysis:solve, , file, yes\n"));
  checkProcessConsistency();
  const Analysis& solve = findProcess(1)->analyses[1];
  ASSERT_EQ(solve.dependencies.size(), 1u);
  EXPECT_EQ(solve.dependencies[0].index, 0);
  EXPECT_EQ(solve.dependencies[0].cycle, 1);
  EXPECT_EQ(solve.dependencies[0].automatic, 1);
  EXPECT_EQ(messages(),
            rendered("warning",
                     "The analysis \"solve\" needs the input file \"mesh.k\" from analysis "
                     "\"mesh\". No dependency on that analysis was defined, so one has been "
                     "added. The dependency used was \"Cycle Based\" dependency. Please manually "
                     "define the dependency if \"Design Based\" is needed."));

  // Checking again adds nothing, and a defined dependency is kept as written.
  clearMessages();
  checkProcessConsistency();
  EXPECT_EQ(findProcess(1)->analyses[1].dependencies.size(), 1u);
  resetProcesses();
  read(std::string(kSerial) + analysis("mesh", 1) +
       analysis("solve", 2,
                "dependency: mesh, design\n"
                "inputFile: mesh.k, anotherAnalysis:mesh, , file, yes\n"));
  checkProcessConsistency();
  EXPECT_EQ(findProcess(1)->analyses[1].dependencies[0].cycle, 0);
  EXPECT_EQ(messages(), "");
}

TEST_F(ProcessFileTest, DependenciesMustNameAnalysesAndRespectTheExecutionMode) {
  EXPECT_EQ(checkFailure(serialA("dependency: z, design\n")),
            fatalOutput("Error in the dependency definition for analysis \"a\". The analysis "
                        "\"z\" is not defined in the Process definition."));
  EXPECT_EQ(checkFailure(serialA("inputFile: m.k, anotherAnalysis:b, , file, yes, z\n") +
                         analysis("b", 2)),
            fatalOutput("The input file \"m.k\" of analysis \"a\" is taken from the analysis "
                        "\"z\", which is not defined in the Process definition."));
  EXPECT_EQ(checkFailure(serialA("", "anlFolder: anotherAnalysis:q\n")),
            fatalOutput("The run location (anlFolder) of analysis \"a\" refers to the analysis "
                        "\"q\", which is not defined in the Process definition."));
  EXPECT_EQ(checkFailure(serialA("dependency: b, design\n") + analysis("b", 2)),
            fatalOutput("Error in the dependency definition for analysis \"a\". Since the "
                        "parallel option is not enabled, an analysis can only depend on analyses "
                        "defined before it. The analysis \"b\" is defined after it."));
  // The same order is fine when the analyses run in parallel.
  resetProcesses();
  read(std::string(kParallel) + analysis("a", 1, "dependency: b, design\n") + analysis("b", 2));
  checkProcessConsistency();
  EXPECT_EQ(findProcess(1)->analyses[0].dependencies[0].index, 1);
}

TEST_F(ProcessFileTest, CyclicDependenciesAreRefused) {
  EXPECT_EQ(checkFailure(std::string(kParallel) + analysis("a", 1, "dependency: b, design\n") +
                         analysis("b", 2, "dependency: a, cycle\n")),
            fatalOutput("\n\t The setup needs to have at least one analysis with no "
                        "dependencies. Currently all analyses have dependencies defined"));
  // a and b depend on each other through c; the start analysis s has no dependency.
  EXPECT_EQ(checkFailure(std::string(kParallel) + analysis("s", 0) +
                         analysis("a", 1, "dependency:2\ns, design\nc, design\n") +
                         analysis("b", 2, "dependency: a, cycle\n") +
                         analysis("c", 3, "dependency: b, design\n")),
            fatalOutput("\n\t Error in the dependency definition. There is a cyclic definition "
                        "for analysis \"a\" via \"c\"\n"));
  // A diamond is no cycle, and an empty process is accepted.
  resetProcesses();
  read(std::string(kParallel) + analysis("s", 0) + analysis("l", 1, "dependency: s, design\n") +
       analysis("r", 2, "dependency: s, design\n") +
       analysis("j", 3, "dependency:2\nl, design\nr, cycle\n"));
  checkProcessConsistency();
  EXPECT_EQ(findProcess(1)->checked, 1);
  resetProcesses();
  read(std::string(kParallel) + "*END\n");
  checkProcessConsistency();
  EXPECT_TRUE(findProcess(1)->analyses.empty());
}

}  // namespace
}  // namespace karvo
