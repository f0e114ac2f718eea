// Where analysis jobs may run and how the solver decides that something has happened:
// compute resources and resource sets (`*DEFINE_COMPUTE_RESOURCE`, `*DEFINE_RESOURCE_SET`),
// remote machine profiles (`*DEFINE_REMOTE_MACHINE`), completion conditions
// (`*DEFINE_CONDITION`) and the reservation data an analysis asks for on its resource.
//
// The tables are filled once by readDefinitions ("Definitions.in") and then only read, except
// for the run-time counters (jobs in use, condition values per design slot), which the
// evaluation flow keeps. Look-ups are linear scans over a few dozen entries at most.
//
// Capacity of a resource (how many evaluations may run on it at once):
//   "maxJobs"  integer >= 0; 0 means no limit of its own (the study's number of parallel
//              evaluations is the limit). Default 1 for "Direct" (one machine, one job at a
//              time unless the user says more), 0 for "Scheduled" and "Rescale" (the
//              scheduler queues the work). A resource set's capacity is the sum of the
//              allowed counts of its members.
//   A resource set gives each member its own allowed count, property
//   "Number of evals allowed for <member name>" (integer >= 1, required per member).
//
// Cross references are checked once the whole file is read, so records may come in any
// order, except that a resource set's members must be defined before the set (as the study
// editor writes them).
#pragma once

#include <string>
#include <vector>

#include "base/properties_map.h"

namespace karvo {

struct Record;

// ---------------------------------------------------------------------------------------
// Remote machine profiles

struct RemoteMachineDefinition {
  std::string name;        // unique among remote machines
  std::string platform;    // "Windows", "Linux" or "Rescale"
  std::string host;        // "host" ("" when not given)
  PropertiesMap properties;  // every property of the record, plus "templatePath" and
                             // "pythonCommand" made from KARVO_ROOT when the record lacks them
  std::string recordText;  // the record's lines as read, joined with "\n"
};

// ---------------------------------------------------------------------------------------
// Compute resources and resource sets

enum class ResourceType {
  Direct,      // "Direct": this machine, or one remote machine
  Scheduled,   // "Scheduled": a batch scheduler
  MachineSet,  // "Machine Set" or a `*DEFINE_RESOURCE_SET` record: a set of resources
  Rescale,     // "Rescale": cloud platform
};

// One member of a resource set.
struct ResourceSetMember {
  std::string name;   // the member resource's name
  int resource = -1;  // index into computeResources (never a set)
  int allowed = 1;    // evaluations allowed at once on it, >= 1
  int inUse = 0;      // evaluations running on it now, 0 .. allowed (run time)
};

// Reservation support of a resource (the "reserve..." properties of its record).
struct ReservationSupport {
  int enabled = 0;             // "reserveEnabled" flag
  std::string submitCmd;       // "reserveSubmitCmd"
  std::string cancelCmd;       // "reserveCancelCmd"
  int readId = 0;              // "reserveReadID" flag
  std::string idStart;         // "reserveIDStart"
  std::string idEnd;           // "reserveIDEnd"
  std::string statusCmd;       // "reserveStatusCmd"
  std::string startedText;     // "reserveStartedText"
  int startedCol = 0;          // "reserveStartedCol", >= 0 (0: anywhere on the line)
  std::string parseCmd;        // "reserveParseCmd"
  std::string remoteProfile;   // "reserveRemoteProfile" ("" when none)
};

struct ComputeResource {
  std::string name;               // unique among resources and resource sets
  ResourceType type = ResourceType::Direct;
  std::string typeWord;           // the "type" value as read ("Machine Set" for sets)
  int remote = 0;                 // 1: "jobRemote" yes and a profile named
  std::string remoteProfile;      // "jobRemoteProfile" ("" when none)
  int remoteMachine = -1;         // index into remoteMachines when remote, else -1
  std::string computeNode;        // "computeNode": the machine of a remote resource
  std::vector<std::string> machineList;  // "machineList" (list form), may be empty
  int maxJobs = 1;                // capacity, >= 0 (0: no limit of its own); see above
  int jobsInUse = 0;              // evaluations running on it now (run time)
  int useJobTemplate = 0;         // "jobUseTemplate", 0 or 1
  int readJobId = 0;              // "jobReadID" flag
  std::string finishFindJob;      // "finishFindJob": "", "ID" or "Name"
  ReservationSupport reservation;
  std::vector<ResourceSetMember> members;  // resource sets only, in file order, >= 1
  PropertiesMap properties;       // every property of the record: the launch's resource block
  std::string recordText;         // the record's lines as read, joined with "\n"
  int recordLine = 0;             // line of its keyword in "Definitions.in" (messages)
};

// ---------------------------------------------------------------------------------------
// Reservations (read per analysis by the process-file reader through readReservation)

struct Reservation {
  std::string name;            // the analysis name; "<resource>_shared" in a shared mode
  std::string analysisName;    // the analysis that asked for it
  std::string resourceName;    // its compute resource
  int advance = 0;             // "reserveType": "advance" 1; "job" (or absent) 0 = job-based
  std::string mode;            // "reserveMode" ("" when not given)
  int shared = 0;              // 1 when the mode is "shared"
  int nodes = 1;               // "reserveNodes", >= 1
  int cores = 1;               // "reserveCores" per node, >= 1
  std::string memory;          // "reserveMemory" as written (e.g. "16GB"), may be empty
  double estimatedTime = 0.0;  // "reserveEstTime", minutes, >= 0
  double addedTime = 0.0;      // "reserveAddTime", minutes added to the estimate, >= 0
  int numDesigns = 1;          // "numDesigns" evaluated under one reservation, >= 1
  std::string software;        // "reserveSoftware"
  std::string version;         // "reserveVersion"
  std::string environment;     // "reserveEnvironment"
};

// ---------------------------------------------------------------------------------------
// Conditions

enum class ConditionType {
  Formula = 0,          // "Formula": the formula's value is non-zero
  Parameter = 1,        // "Parameter": every value of a variable satisfies a comparison
  FileExist = 2,        // "FileExist"
  FileNotExist = 3,     // "FileNotExist"
  FileContain = 4,      // "FileContain"
  FileNotContain = 5,   // "FileNotContain"
  AnalysisStatus = 6,   // "AnalysisStatus"
  ResponseStatus = 7,   // "ResponseStatus"
  Command = 9,          // "Command" or "CommandContain"
  Composite = 10,       // "composite"
  ScheduledJob = 11,    // "ScheduledJob"
};

// Status words of AnalysisStatus and ResponseStatus conditions.
enum class StatusWord {
  Evaluated,   // "Evaluated": any analysis status but 4 and 5
  Skipped,     // "Skipped": 4 (NOT EVALUATED) or 5 (SKIPPED)
  Success,     // "Success": 1
  Error,       // "Error": 0
  Feasible,    // "Feasible": 2
  Infeasible,  // "Infeasible": 3
};

struct CompositeMember {
  std::string name;    // "condName": a defined condition that is not a composite
  int condition = -1;  // index into conditions
  int andNext = 1;     // "condBool" of this member: 1 "and" with the next member, other "or"
};

struct Condition {
  std::string name;                   // unique among conditions
  ConditionType type = ConditionType::Formula;
  std::string typeWord;               // the "type" value as read
  std::vector<std::string> formula;   // Formula: the formula lines
  std::string paramRef;               // Parameter: any variable name
  std::string paramOp;                // Parameter: "<", ">", "<=", ">=", "=", "!="
  double paramVal = 0.0;              // Parameter: the number compared with
  std::string fileType;               // file tests: "fileType" (which file list)
  std::string fileRef;                // file tests: the file (tags replaced at run time)
  std::string findText;               // FileContain/FileNotContain: text to find
  std::string findRef;                // FileContain/FileNotContain: variable giving the text
  std::string statusRef;              // AnalysisStatus/ResponseStatus: analysis or response
  StatusWord statusVal = StatusWord::Success;  // AnalysisStatus/ResponseStatus
  std::string command;                // Command/ScheduledJob: "command" (or "cmd")
  int cmdCheck = 0;                   // Command: compare the exit code with cmdVal
  int cmdVal = 0;                     // Command: expected exit code
  std::string cmdText;                // Command: text the output must contain ("": none)
  std::string find;                   // ScheduledJob: "Name" or "ID"
  std::vector<CompositeMember> members;  // composite, in file order (may be empty: met)
  std::vector<char> evaluated;        // per design slot: evaluated flag (run time)
  std::vector<int> value;             // per design slot: 0 or 1 (run time)
  std::string recordText;             // the record's lines as read, joined with "\n"
  int recordLine = 0;                 // line of its keyword in "Definitions.in" (messages)
};

// ---------------------------------------------------------------------------------------
// Tables and look-ups

extern std::vector<RemoteMachineDefinition> remoteMachines;  // in file order
extern std::vector<ComputeResource> computeResources;       // resources and sets, file order
extern std::vector<Condition> conditions;                   // in file order

// Null when absent.
const ComputeResource* findComputeResource(const std::string& name);
const Condition* findCondition(const std::string& name);
const RemoteMachineDefinition* findRemoteMachine(const std::string& name);
// Position among compute resources, -1 when absent.
int resourceIndex(const std::string& name);

// The status word of a condition ("Evaluated", ...); false for any other word.
bool parseStatusWord(const std::string& word, StatusWord& out);
// True when an analysis status code (0 ERROR .. 5 SKIPPED) matches the word.
bool statusWordMatches(StatusWord word, int analysisStatus);

// ---------------------------------------------------------------------------------------
// Readers, called by readDefinitions for each record. Definition errors end the run through
// fatalError with their message.

void readRemoteMachine(const Record& record, const std::string& fileLabel);
// `setFlag`: the record is a `*DEFINE_RESOURCE_SET` (record label "Compute Set Resource").
void readComputeResource(const Record& record, const std::string& fileLabel, bool setFlag);
void readCondition(const Record& record, const std::string& fileLabel);
// Checks the references between the records once the file is read: remote profiles of
// resources and reservations, members of composite conditions.
void resolveResourceReferences();

// Reads the reservation data of analysis `analysisName` from its record (label "Resource
// reservation definition"), for the analysis's compute resource `resource` (null: local
// execution). Writes the note "Reading reservation data for analysis ...". A local, Direct
// or set resource ends the run ("... Job reservation cannot be used with Local or Direct
// execution."). When the resource does not enable reservations, a note says that the data
// is not read and the answer is false; otherwise `out` is filled and the answer is true.
bool readReservation(const Record& analysisRecord, const std::string& fileLabel,
                     const std::string& analysisName, const ComputeResource* resource,
                     Reservation& out);

// Back to empty tables.
void resetResources();

}  // namespace karvo
