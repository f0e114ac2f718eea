// The records of one batch of the evaluation flow and the functions that move its jobs and
// designs, shared by the files of the flow: evaluation_flow.cpp (the batch loop, the designs
// and the entry points), flow_jobs.cpp (the lifecycle of a job: submission, launch,
// completion, failure), flow_steps.cpp (the commands around an analysis, its input files and
// the portal calls) and flow_loops.cpp (dependencies, loops and their cases). The lifecycle
// diagram and its invariants open evaluation_flow.cpp. Internal to the evaluation layer.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/design.h"
#include "base/properties_map.h"
#include "definitions/process_file.h"
#include "evaluation/analysis_run.h"
#include "evaluation/analysis_timing.h"
#include "evaluation/conditions.h"
#include "evaluation/agent_results.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/history_file.h"
#include "evaluation/resource_use.h"
#include "external/job_controller.h"
#include "external/portal.h"

namespace karvo {

struct Agent;
struct Loop;
struct PerformanceDefinition;

namespace flow {

enum JobStateCode : int {
  kJobWaiting = 0,
  kJobRunning = 1,
  kJobCompleted = 2,
  kJobFinalError = 3,  // finished with an error, or skipped
};

struct FlowJob {
  int state = kJobWaiting;        // JobStateCode
  int status = kStatusNotEvaluated;  // EvaluationStatus; ERROR as soon as it fails
  std::string folder;             // run folder of the job
  ResourceChoice resource;        // compute resource held while RUNNING
  std::unique_ptr<Job> job;       // process handle; null for "nil" commands
  JobClock clock;                 // monotonic s of submission, checks and notes
  bool declaredComplete = false;  // the IO file or the finish condition ended the job: its
                                  // exit code says nothing about the analysis
  bool awaitsBatch = false;       // submitted in batch mode, held for the array that
                                  // handSubmittedBatches hands over (no job id yet)
  bool processEndChecked = false; // the check made at once when the process of a local
                                  // job was seen to end is done; later checks keep the pace
                                  // of finishCheckFrequency
  PropertiesMap portalData;       // properties handed to the portal (portalJobProperties)
  bool portalRun = false;         // the portal runs the analysis itself (its run was
                                  // handled): no process handle, its finishCheck tells
  bool portalRunError = false;    // the portal's finish check answered an error, or its
                                  // analysis ran out of time: the job is complete and
                                  // fails when it is processed
  std::vector<std::string> portalOutputFiles;  // the portal's extra output files (relative
                                  // to the run folder), copied back from a remote machine
                                  // with the analysis's own output files
  int caseIndex = 0;              // loop case this job runs (0-based; 0 outside loops)
  long outputFrom = -1;           // bytes of the analysis log when its command was launched
  long outputTo = -1;             // ... and when its end was seen: what the command wrote into
                                  // the log (captured output) lies between; -1: not known
  int firstCaseStatus = kStatusNotEvaluated;  // EvaluationStatus of case 0, kept for
                                  // references from outside the loop while it runs
};

// One loop of the process as the batch runs it.
struct BatchLoop {
  const Loop* loop = nullptr;     // its definition
  std::vector<int> analyses;      // its analyses of this process, in process order
  int cases = 1;                  // number of cases: the loop's values, >= 1; 1 when inactive
  bool quitOnCondition = false;   // the `break` property asks to quit once the condition is met
};

// Where one design stands in one loop.
struct DesignLoop {
  int current = 0;                // case the loop's jobs run now, 0 .. cases - 1
  bool finished = false;          // every case ran, or the rest were skipped
};

struct FlowBatch;

struct FlowDesign {
  const FlowBatch* batch = nullptr;  // the batch it belongs to
  Design* design = nullptr;       // the caller's design
  int number = 0;                 // design number, >= 1
  int slot = 0;                   // position in the batch
  EvaluationContext context;      // values, folders; analysis fields set per job
  std::vector<FlowJob> jobs;      // one per analysis of the process (the current case of
                                  // an analysis inside a loop)
  std::vector<DesignLoop> loops;  // per entry of FlowBatch::loops
  bool error = false;             // the design is an error design
  bool finished = false;          // finishDesign has run
  bool fromDisk = false;          // its results are read from the design folder of an earlier
                                  // evaluation: no file of it is written, nothing is run
  std::vector<HistoryLoopCases> loopCases;  // per entry of FlowBatch::loops that ran a case:
                                  // the values of each case, for the history
  std::size_t streamIndex = 0;    // steady-state batch: its position among the caller's designs
};

struct FlowBatch {
  Agent* agent = nullptr;                    // the agent whose designs these are
  const EvaluationServices* services = nullptr;  // what the caller handed in
  ConditionServices conditions;              // what the batch's conditions use
  Process* process = nullptr;                // null: a process without analyses
  PerformanceDefinition* performance = nullptr;  // scores the designs; null: none
  std::deque<FlowDesign> designs;            // in batch order (a steady-state batch appends
                                             // while it runs: references stay valid)
  bool parallel = false;                     // the process's parallel option
  std::vector<std::string> responseNames;    // every response a design produces
  bool keepJobs = false;                     // "stop keep": leave running jobs alone
  std::vector<std::size_t> firstWaiting;     // per analysis: no design before this index
                                             // has a WAITING job of it (invariant 1 keeps
                                             // it valid), so each pass starts its search
                                             // there instead of at the batch's start
  bool runningLogStale = true;               // a design finished after the running log
                                             // was last written
  std::unordered_map<std::string, std::string> definitionTexts;  // response definition
                                             // file path -> its text, read once a batch
  std::vector<BatchLoop> loops;              // the loops that list analyses of the process
  std::vector<int> loopOf;                   // per analysis: index into `loops`, -1: none
  AgentResults* results = nullptr;           // the agent's stored designs and history
  HistoryShape shape;                        // sizes of the history entries of the study
  std::vector<std::string> loopValueNames;   // responses whose values each loop case keeps
  std::function<void(const FlowDesign&)> designFinished;  // steady-state batch: hands each
                                             // finished design back, after the pass that
                                             // finished it; may append designs
};


// ---------------------------------------------------------------------------------------
// Logs and the job lifecycle (flow_jobs.cpp)

std::string designLogFile(int agentNumber, int designNumber);
// The loop case that design `designNumber` of `batch` runs now for `analysisName`: each case
// of an analysis inside a loop keeps its own log. 0 outside loops, and for a design or
// analysis the batch does not know.
int caseOfAnalysis(const FlowBatch& batch, int designNumber, const std::string& analysisName);
void appendToFile(const std::string& path, const std::string& text);
// The size in bytes of the analysis log of job `index` of `design`; -1 when it has none.
long logSize(const FlowBatch& batch, const FlowDesign& design, int index);
// One line on the failed `design` for the message file and the terminal: the analysis that
// failed first, the first error of its log, the last line its command wrote there, and the
// log's path (the design log when no analysis failed).
std::string designFailureText(const FlowBatch& batch, const FlowDesign& design);
// "*KEYWORD\n<value>\n" into the analysis log of the job.
void logRecord(const FlowDesign& design, const std::string& analysis, const char* keyword,
               const std::string& value);
void logNote(const FlowDesign& design, const std::string& analysis, const std::string& text,
             const char* severity = "note");
std::string clockText();

void releaseJobResource(FlowDesign& design, FlowJob& job);
// Ends a job with an error or a skip: "*ENDTIME" (unless skipped) and "*STATUS".
void endJob(FlowDesign& design, const Analysis& analysis, FlowJob& job, int status);
void skipAnalysis(FlowDesign& design, const Analysis& analysis, FlowJob& job,
                  const std::string& reason);
// After a failed analysis whose error mode is "STOP": every later waiting analysis of the
// design is skipped.
void stopDownstream(FlowBatch& batch, FlowDesign& design, int failedIndex);
void failJob(FlowBatch& batch, FlowDesign& design, int index, const std::string& error);
void prepareContext(FlowBatch& batch, FlowDesign& design, int index);
// submitAnalysis: folders, input files, pre-update command, tagged files through the portal,
// then launchAnalysis. The compute resource has been chosen by the caller.
void submitAnalysis(FlowBatch& batch, FlowDesign& design, int index);
// launchAnalysis: pre-analysis command, then the analysis command through the job
// controller. False when the analysis failed (already ended through failJob).
bool launchAnalysis(FlowBatch& batch, FlowDesign& design, int index);
// handSubmittedBatches: the jobs of analysis `index` held in batch mode go to their
// scheduler as arrays; each has its job id then, or fails with the submission's reason.
void handSubmittedBatches(FlowBatch& batch, int index);
// checkCompletion: true when the job has come to an end (its "*CMD_ENDTIME" written).
bool checkCompletion(FlowBatch& batch, FlowDesign& design, int index, SleepProposal& proposal);
// readAnalysisFromDisk: job `index` of a design read from disk (FlowDesign::fromDisk): its
// responses are extracted from the analysis folder as the earlier evaluation left it; nothing
// is copied, tagged or run. An analysis without a folder there is skipped.
void readAnalysisFromDisk(FlowBatch& batch, FlowDesign& design, int index);
// processCompletedAnalysis: post command, success check, extraction, calculated responses,
// post-extraction command, status.
void processCompletedAnalysis(FlowBatch& batch, FlowDesign& design, int index);

// ---------------------------------------------------------------------------------------
// Commands around the analysis, input files and portal calls (flow_steps.cpp)

// One message line of a portal: "ERROR:" lines are errors, "WARNING:" lines warnings (the
// marker and the blank after it dropped), any other line a note.
struct PortalMessage {
  const char* severity;
  std::string text;
};
PortalMessage portalMessage(const std::string& line);

// The portal of an analysis type: the extension manager's, else the built-in General one.
Portal* portalFor(const Analysis& analysis);
// True when the analysis is served by the built-in General portal (no named portal).
bool isGeneralPortal(const Analysis& analysis);
std::string studyPath(const std::string& name);
std::string readWholeFile(const std::string& path);
// `definitionTexts`, when given, keeps the response definition files read in this batch:
// each is read once per batch instead of once per design.
PropertiesMap portalProperties(const Analysis& analysis, const std::string& folder,
                               bool jobFinished,
                               std::unordered_map<std::string, std::string>* definitionTexts =
                                   nullptr);
// Writes the message lines of a portal call to the analysis log.
void logPortalMessages(const FlowDesign& design, const std::string& analysis,
                       const PortalResult& result);
// The map every portal call of job `index` gets: portalProperties with the keys of the
// design, its loop case and the batch ("evalId", "caseIndex", "postDir", "EvalRun",
// "BatchInfo", and "NoRemote", "remoteDir", "remoteStudyDir" on a remote resource).
PropertiesMap portalJobProperties(FlowBatch& batch, FlowDesign& design, int index);

// The portal calls of job `index`, in calling order (the top of flow_steps.cpp). Each writes
// the portal's messages to the analysis log.
//
// initialize, at submission once the run folder exists: builds FlowJob::portalData, keeps the
// extra output files in the job; `init` holds the answer. False: the job has been failed.
bool portalInitialize(FlowBatch& batch, FlowDesign& design, int index, PortalInitResult& init);
// With the input files: the extra input files of `init` copied into the run folder, then the
// files it marks for deletion removed ("Deleting file ..."), each path from resolvePath.
// False (the reason written) when one could not be had; the caller fails the job.
bool copyPortalStartFiles(FlowBatch& batch, FlowDesign& design, int index,
                          const PortalInitResult& init);
// prepare: the tagged input files. False: the job has been failed.
bool portalPrepare(FlowBatch& batch, FlowDesign& design, int index);
// run, at launch. kNotHandled: the portal leaves the command to the job controller.
// kHandled: the portal runs the analysis; the job is RUNNING without a process, its
// "*CMD_STARTTIME" (`handedOver`) written. kFailed: the job has been failed.
enum class PortalLaunch { kFailed, kNotHandled, kHandled };
PortalLaunch portalRunAnalysis(FlowBatch& batch, FlowDesign& design, int index,
                               const std::string& handedOver);
// finishCheck of a job the portal runs (FlowJob::portalRun), with progress first when
// `progressNote` (the progress note is due). True when the analysis has come to an end:
// finished, or an error (FlowJob::portalRunError set, the error written).
bool portalFinished(FlowBatch& batch, FlowDesign& design, int index, bool progressNote);
// After completion: successCheck, then extract when the analysis has tagged outputs and the
// check passed. False when the portal reports a failure ("Portal reports analysis failure.
// Setting analysis status to error." written).
bool portalCheckAndExtract(FlowBatch& batch, FlowDesign& design, int index);
// copyOutputFilesFromRemote for job `index`, with the portal's extra output files.
bool copyOutputFilesBack(RemoteProfile& profile, FlowBatch& batch, FlowDesign& design,
                         int index);
// Runs one of the commands around the analysis of job `index` (kind kPreAnalysis,
// kPreUpdate, kPostAnalysis or kPostExtraction: the analysis's step of that kind) and waits
// for it. True when the analysis has no such command or it passed; otherwise the job has
// been failed (through failJob) with the message of that step.
bool runCommandStep(FlowBatch& batch, FlowDesign& design, int index, CommandKind kind);
bool copyInputFiles(FlowBatch& batch, FlowDesign& design, int index, const std::string& folder);

// ---------------------------------------------------------------------------------------
// Dependencies, loops and cases (flow_loops.cpp)

void setUpLoops(FlowBatch& batch);
bool upstreamDone(const FlowBatch& batch, const FlowDesign& design, int upstream, int index);
bool jobDone(const FlowBatch& batch, const FlowDesign& design, int index);
bool dependenciesMet(const FlowBatch& batch, const FlowDesign& design, int index);
bool advanceLoops(FlowBatch& batch, FlowDesign& design);
// Keeps the values of the case that loop `loop` of `design` has just ended, for the history.
void recordLoopCase(const FlowBatch& batch, FlowDesign& design, std::size_t loop);
bool runConditionMet(FlowBatch& batch, FlowDesign& design, int index);

}  // namespace flow
}  // namespace karvo
