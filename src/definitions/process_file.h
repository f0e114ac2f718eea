// The process table: for each process number, the ordered analyses that evaluate one design,
// with their execution settings, file lists, response lists, dependencies and reservation
// requests. Filled once at start-up from "Process%d.in" (one file per process number used by
// the agents); read by the evaluation flow for every design. The user's reference for the
// file is docs/study-files.md (the process file chapter).
//
// File layout (definition-file grammar, see definitions/reader.h):
//
//   *TYPE                      read and ignored
//   *PROCESS                   exactly one: name, parallel
//   *ANALYSIS                  one analysis: name, id, computeResource, lists, dependencies...
//   *EXECUTION_DEFINITION      exactly one after each *ANALYSIS: toolCmd, anlFolder, ...
//   *END                       the rest of the file is not read
//
// Lists (input files, tagged input files, output files, tagged output files, visualisation
// files, dependencies, response and variable lists) are written in the list form of the
// grammar, "inputFile:2" followed by two entry lines, or as a single entry after a blank,
// "inputFile: model.k, studyFolder, , file, yes". A list property may be given several
// times; its entries add up in file order. The fields of an entry are separated by commas;
// blanks around a field are dropped.
//
// Locations (run location and file sources): [REMOTE:|LOCAL:]kind[:path] with kind one of
// analysisFolder, designFolder, studyFolder, projectFolder, anotherAnalysis:<analysis>,
// fixedLocation:<path>, relativeLocation:<path>.
#pragma once

#include <string>
#include <vector>

#include "definitions/resources.h"

namespace karvo {

// Expected exit code of a command whose exit code is not checked.
inline constexpr int kNoReturnCheck = -11223344;
// `maxTime` of an analysis without a time limit.
inline constexpr int kInfiniteTime = 0;
// Longest analysis name (characters); longer names are refused.
inline constexpr int kMaxAnalysisName = 255;

enum class LocationKind {
  AnalysisFolder,    // "analysisFolder": the design's folder of this analysis (the default)
  DesignFolder,      // "designFolder": the design folder
  StudyFolder,       // "studyFolder": the study (working) folder
  ProjectFolder,     // "projectFolder": the study folder's parent
  AnotherAnalysis,   // "anotherAnalysis:<name>": the folder of another analysis, same design
  FixedLocation,     // "fixedLocation:<path>": a given path
  RelativeLocation,  // "relativeLocation:<path>": a path below the analysis folder
};

struct Location {
  std::string text;   // as written, blanks around it dropped ("analysisFolder" when defaulted)
  LocationKind kind = LocationKind::AnalysisFolder;
  std::string path;   // AnotherAnalysis: the analysis name; Fixed/Relative: the path; else ""
  int remote = 0;     // 1: written with the prefix "REMOTE:"
  int local = 0;      // 1: written with the prefix "LOCAL:"
};

// "inputFile": name, source location, target, file|folder, copy flag[, more sources].
struct InputFile {
  std::string name;         // file or folder name at the source, non-empty
  Location source;          // where it is taken from
  std::string target;       // name in the run folder (the source name when left empty)
  int isFolder = 0;         // 1: "folder", 0: "file"
  int copy = 1;             // 1: copied into the run folder; 0: used where it is
  std::vector<std::string> sourceAnalyses;  // AnotherAnalysis: the candidate analyses in
                                            // order (the location's own first); else empty
  std::string text;         // the entry as written
};

// "inputTagFile": template[, tagged name].
struct TaggedInputFile {
  std::string templateFile;  // template path; relative paths are below the study folder
  std::string target;        // file written into the run folder (template's name when empty)
  std::string text;          // the entry as written
};

// "outputTagFile": response, extraction definition file. The definition (for the General
// portal: docs/general-portal.md) names the output file it reads.
struct TaggedOutputFile {
  std::string response;    // a defined response extracted by this analysis
  std::string definition;  // file holding the response's extraction definition; relative
                           // paths are below the study folder
  std::string text;        // the entry as written
};

// "dependency": analysis, design|cycle.
struct Dependency {
  std::string analysis;   // the analysis that must have completed first
  int index = -1;         // its position in the process (set by checkProcessConsistency)
  int cycle = 0;          // 1: "cycle" (all designs of the cycle first); 0: "design"
  int automatic = 0;      // 1: added because an input file comes from that analysis
};

// A command run around the analysis command ("preAnalysisCmd" with "preAnalysisOptions",
// and the like). The options value is "location kind, path[, expected exit code|NONE]".
struct CommandStep {
  std::string command;         // "" when not given
  Location location;           // where it runs (from the options; the run folder by default)
  std::string locationText;    // "kind:path" as joined from the options ("" when none)
  int expectedCode = kNoReturnCheck;  // exit code to compare with; kNoReturnCheck: none
};

struct Analysis {
  // *ANALYSIS record
  std::string name;               // unique in the process, 1..255 characters, no "/"
  int id = 0;                     // unique in the process, >= 0
  std::string computeResource;    // a resource or resource set; "" runs on this machine
  int maxTime = kInfiniteTime;    // seconds, >= 1; kInfiniteTime: "infinite" or not given
  int captureAnalysisOutput = 1;  // flag
  int jobBatchMode = 0;           // flag
  std::string primaryInput;       // main input file ("" when none); one of the input files
  std::string reserveSoftware;    // reservation request passed to the compute resource
  std::string reserveVersion;
  std::string reserveEnvironment;
  std::string errorMode;          // as written
  int stopOnError = 0;            // 1: errorMode "STOP" (skip the rest of the design)
  std::string solver;             // analysis program name
  std::string version;            // analysis program version
  std::vector<InputFile> inputFiles;
  std::vector<TaggedInputFile> taggedInputFiles;
  std::vector<std::string> outputFiles;         // "outputFile": relative to the run folder
  std::vector<TaggedOutputFile> taggedOutputFiles;
  std::vector<std::string> visualizationFiles;  // "visualizationFile": relative to run folder
  std::vector<std::string> inputVariables;      // "inputVariable": variables it reads
  std::vector<std::string> inputResponses;      // "inputResponse": responses it reads
  std::vector<std::string> outputResponses;     // "outputResponse": responses it extracts,
                                                // then those of taggedOutputFiles not listed
  std::vector<std::string> calculatedResponses; // "calculatedResponse": responses computed
  std::string portalData;                       // "portalData" lines joined with "\n"
  std::vector<Dependency> dependencies;         // in file order, automatic ones last
  int hasReservation = 0;         // 1: reservation data read (record has "reserveType" and
                                  // the resource enables reservations)
  Reservation reservation;        // valid when hasReservation

  // *EXECUTION_DEFINITION record
  Location runLocation;           // "anlFolder" (analysisFolder when not given)
  std::string command;            // "toolCmd" (list lines joined with "\n")
  int noExecution = 0;            // 1: the command is "nil"
  std::string install;            // "install": the value of ANALYSIS_INSTALL
  std::string execShell = "/bin/bash";  // "execShell": shell of remote utility commands
  CommandStep preAnalysis;        // "preAnalysisCmd" + "preAnalysisOptions"
  CommandStep preUpdate;          // "preCmd" + "preUpdateOptions"
  CommandStep postAnalysis;       // "postCmd" + "postAnalysisOptions"
  CommandStep postExtract;        // "postExtractCmd" + "postExtractOptions"
  std::string jobNamePrefix;
  std::string jobRemotePath;
  std::string runCondition;       // condition names ("" when none); defined conditions
  std::string finishCondition;
  std::string successCondition;
  int successReturnValue = kNoReturnCheck;  // expected exit code; kNoReturnCheck: no check
  int finishCheckFrequency = 0;   // seconds between completion checks, >= 0
  int initialWait = 0;            // seconds before the first completion check, >= 0
  int parallelToAnotherMDO = 0;   // flag
  int numDesigns = 1;             // designs run at the same time, >= 1 (1 in a serial process)

  std::string recordText;         // the *ANALYSIS record's lines as read, joined with "\n"
  std::string executionText;      // the *EXECUTION_DEFINITION lines as read, joined with "\n"
};

struct Process {
  int number = -1;                // the N of "ProcessN.in"
  std::string name;               // *PROCESS "name"
  int parallel = 0;               // *PROCESS "parallel" flag
  std::vector<Analysis> analyses; // in file order
  int checked = 0;                // 1 once checkProcessConsistency has run on it
};

// Every process read so far, in reading order.
extern std::vector<Process> processes;

// The process with this number, or null.
Process* findProcess(int number);

// Position of analysis `name` in `process`, or -1.
int findAnalysis(const Process& process, const std::string& name);
// The same, but a miss ends the run ("Error number 1033. ...").
int analysisIndex(const Process& process, const std::string& name);

// Reads "<working directory>/Process<number>.in" into the table (replacing an entry of the
// same number). Record errors end the run through fatalError; the checks that look across
// analyses are made by checkProcessConsistency. Compute resources, conditions and
// responses are looked up in the tables of "Definitions.in", which must be read first.
// In a serial process, numDesigns above 1 is set to 1 with a note.
void readProcessFile(int processNumber);

// Start-up consistency checks of every process read, once all study files are read:
// dependency targets exist; a "cycle" dependency is added (with a warning) where an input
// file comes from another analysis without one; in a serial process an analysis depends only
// on analyses defined before it; at least one analysis has no dependency; no dependency
// cycle; analyses named in locations exist. Failures end the run through fatalError.
// Checking a process again changes nothing.
void checkProcessConsistency();

// Back to an empty table (start-up and tests).
void resetProcesses();

}  // namespace karvo
