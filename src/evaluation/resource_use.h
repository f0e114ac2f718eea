// Compute resources at run time: which resource a job runs on, how many jobs each one runs,
// and the reservations that analyses ask for before their jobs may start.
//
// Resource choice. A job's compute resource is named by its analysis:
//   - none ("")              this machine; no count is kept (the parallel setting limits it);
//   - a plain resource       at most `maxJobs` jobs at once (0: no limit of its own);
//   - a resource set         the first member, in list order, whose count in use is below its
//                            allowed count (allocateResource); the member's own `maxJobs` is
//                            not consulted, the set's allowed counts are the limit. The set's
//                            `jobsInUse` is the sum of its members' counts.
// chooseComputeResource / releaseComputeResource do this for every kind and are what the
// evaluation flow calls around each job; allocateResource / releaseResource are the set
// operations with their usage reports (notes on "outptr").
//
// Reservations. An analysis whose resource enables them (definitions/resources.h,
// readReservation) asks for a reservation of nodes before its jobs start. Analyses with the
// shared mode use one reservation per resource ("<resource>_shared"). The solver runs the
// resource's reservation commands itself, with /bin/sh in the study folder (or, with
// "reserveRemoteProfile", on that remote machine through the profile's execution command),
// each bounded by ReservationOptions::commandSeconds:
//   "reserveSubmitCmd"  makes the reservation (startReservation). A start failure, time-out
//                       or non-zero exit status fails it. With "reserveReadID" the id is read
//                       from its output: the first line holding "reserveIDStart" (the first
//                       non-empty line when that is empty), the text after it up to
//                       "reserveIDEnd" (the line's end when empty), blanks removed; it may
//                       hold only letters, digits and "._-:@[]+".
//   "reserveStatusCmd"  tells whether it runs (checkReservation), at most once per
//                       ReservationOptions::statusIntervalSeconds. Running when the output
//                       shows "reserveStartedText" on the reservation's line (the first line
//                       holding its id; any line when it has none) in field
//                       "reserveStartedCol" (1-based, blank-separated; 0: anywhere on the
//                       line); without a started text, when the exit status is 0. Without a
//                       status command the reservation runs as soon as it is made. A status
//                       command that cannot run leaves it pending.
//   "reserveParseCmd"   job-based reservations: prints the reserved machines, separated by
//                       line breaks, commas or blanks (repeats are dropped, order kept).
//   "reserveCancelCmd"  ends it (endReservations, at the end of the run).
// Placeholders in these commands (texts are inserted quoted for /bin/sh; numbers and the id
// as they are): %RESVNAME% %RESVID% %NODES% %CORES% (per node) %CPUS% (nodes x cores)
// %MEMORY% %DURATION% (minutes, "reserveEstTime" + "reserveAddTime" rounded up) %SOFTWARE%
// %VERSION% %ENVIRONMENT% %ANALYSIS% %STUDYDIR%.
//
// When a job-based reservation runs, one internal compute resource per reserved machine is
// added to the resource table: "_Internal_<reservation>_<i>" (i from 0), type "Direct",
// remote, with the machine as "computeNode" and a remote profile of the same name that
// copies the reservation's profile ("reserveRemoteProfile", else the resource's
// "jobRemoteProfile"; a plain Linux profile when there is neither) with the machine as its
// "host", so that its jobs reach the reserved machine. The requested nodes are dealt to the
// machines in turn, so with fewer machines than nodes some machines take two or more jobs
// at once (their `maxJobs`). chooseReservedResource hands them out. They are appended to
// computeResources (and their profiles to remoteMachines): indices stay valid, pointers
// into those tables taken before do not.
//
//   state diagram of one reservation (function behind each transition)
//
//     NOT STARTED --startReservation--> PENDING --checkReservation--> RUNNING
//          |                               |                             |
//          +--startReservation fails--> FAILED                           |
//                                          +-------endReservations-------+--> ENDED
#pragma once

#include <string>
#include <vector>

#include "base/properties_map.h"
#include "definitions/resources.h"

namespace karvo {

// ---------------------------------------------------------------------------------------
// Resource choice

// The resource a job runs on, and where its count was taken from.
struct ResourceChoice {
  int resource = -1;  // index into computeResources of the resource the job runs on (never a
                      // set); -1: this machine
  int set = -1;       // index of the resource set it was allocated from; -1: none
  int member = -1;    // member index in that set; -1: none
  bool held = false;  // a count is held (released by releaseComputeResource)
};

// Allocates the first free member of resource set `setIndex` for design `designNumber`;
// answers the member index, or -1 when every member runs its allowed number of jobs (or
// `setIndex` is not a set). With `report`, "Usage summary before allocating" and the usage
// report are written first, and "Usage summary after allocating design number %d" with the
// report after a successful allocation (one note each).
int allocateResource(int setIndex, int designNumber, bool report);

// Lowers the count of member `member` of set `setIndex` (never below 0). A member outside
// the set gives the error "Error in releasing a compute resource () in the MachineSet ..."
// and answers false. With `report`, "Usage summary before free" and "Usage summary after
// freeing design number %d" notes with the usage report surround it.
bool releaseResource(int setIndex, int member, int designNumber, bool report);

// "Usage report for the MachineSet Compute Resource \"<set>\"." and one line
// "<member> - <in use>/<allowed>" per member.
std::string resourceUsageReport(const ComputeResource& set);

// Position of resource `resourceName` among the members of set `setIndex`, or -1 with the
// warning "Analysis <analysis> received a request for actions related to compute resource
// ... However, this compute resource is not in the compute resource set ... assigned to the
// analysis."
int findSetMember(int setIndex, const std::string& resourceName,
                  const std::string& analysisName);

// Chooses the resource for a job of design `designNumber` on resource or set `name` ("":
// this machine) and takes one count of it. False when it is full (or not defined); `choice`
// is then empty.
bool chooseComputeResource(const std::string& name, int designNumber, bool report,
                           ResourceChoice& choice);

// Gives the count of `choice` back (once; a second call does nothing) and empties it.
void releaseComputeResource(ResourceChoice& choice, int designNumber, bool report);

// ---------------------------------------------------------------------------------------
// Reservations

enum class ReservationState {
  kNotStarted,  // registered, its submit command not yet run
  kFailed,      // the submit command failed: the analyses using it cannot run
  kPending,     // made, not yet running
  kRunning,     // running: its analyses may start (job-based: internal resources made)
  kEnded,       // cancelled at the end of the run
};

struct ReservationRun {
  Reservation definition;             // as read for the first analysis that asked for it
  std::vector<std::string> analyses;  // the analyses using it, in registration order
  int resource = -1;                  // index into computeResources of its resource
  ReservationState state = ReservationState::kNotStarted;
  std::string id;                     // read back from the submit output; "" when not read
  PropertiesMap properties;           // the property set: "allocate_type", "resv_make_cmd",
                                      // ... "rmt_study_dir" (made at registration)
  std::vector<std::string> machines;  // job-based: the reserved machines, in order
  std::vector<int> internalResources; // job-based: their internal resources (indices)
  double lastCheck = -1.0;            // monotonic s of the last status command; -1: none
};

// Settings of the reservation dialogue.
struct ReservationOptions {
  double commandSeconds = 60.0;         // time limit of each reservation command (s; <= 0
                                        // none)
  double statusIntervalSeconds = 10.0;  // least time between two status commands (s, >= 0)
};

extern std::vector<ReservationRun> reservations;  // in registration order
extern ReservationOptions reservationOptions;

// Registers the reservation of analysis `definition.analysisName` (a shared one once per
// name; the analysis is added to it) and answers its index. The resource must exist.
int addReservation(const Reservation& definition);

// The index of the reservation called `name`, or of the one analysis `name` uses; -1.
int findReservation(const std::string& name);
int reservationOfAnalysis(const std::string& analysisName);

// Runs the submit command of a reservation in NOT STARTED ("Creating reservation: %s",
// then "Kicked off reservation: %s" or the error "Failed to create the reservation: %s"
// with the reason). Answers true when it is PENDING or RUNNING afterwards.
bool startReservation(int index);

// Registers and starts the reservation of every analysis of every process read that asks
// for one (start-up, after the process files are read).
void startAnalysisReservations();

// Whether the reservation runs: PENDING reservations run the status command (notes
// "Checking to see if the reservation \"%s\" is running." and "Received reservation running
// status = %d."), and once running the job-based ones make their internal resources (see
// above; an empty machine list ends the run). Other states are answered as they are.
ReservationState checkReservation(int index);

// Takes one count of an internal resource of running job-based reservation `index` (the
// first, in machine order, below its `maxJobs`). False when all are busy or the
// reservation is not running; an advance reservation has none (the analysis keeps its own
// resource).
bool chooseReservedResource(int index, ResourceChoice& choice);

// Cancels every reservation made ("Ending reservation: %s"; the cancel command when one is
// given, a warning when it fails). Closing steps of the run.
void endReservations();

// Back to no reservations (start-up and tests). Internal resources stay in the table.
void resetReservations();

}  // namespace karvo
