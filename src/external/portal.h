// The portal boundary: the component that writes an analysis's tagged input files, may run
// the analysis, tells when it has finished and whether it succeeded, and reads the responses
// back from its output.
//
// Calling order for one analysis of one design (each call is made at most once per design
// unless stated):
//
//   initialize ──> prepare ──> run ──> progress / finishCheck ──> successCheck ──> extract
//      (submission)            (launch)  (polled until finished     (after completion)
//                                         or error)
//   resolvePath: whenever the caller needs the real path of a file the portal names (the
//   extra input and delete files of initialize, between initialize and prepare).
//   progress and finishCheck are asked only while the portal runs the analysis itself (run
//   handled); a job the caller's job controller runs is watched through its process.
//   extract follows only a successCheck that passed.
//
// Inputs. Every call receives the analysis and response data as a PropertiesMap. Values are
// passed through unchanged; a portal never modifies the map. Every map holds these keys (file
// lists hold one entry per line, each ended by a line end):
//   "evalId"                  design number ("%d"); "0" outside a batch
//   "caseIndex"               loop case index, from 0 ("%d")
//   "evaluateResponsesOnly"   "false": the analysis is run, not only read back
//   "analysisName", "version" the analysis's name and its program version ("version")
//   "studyDir"                the study folder
//   "SID_AnlName"             "<study name>_<analysis name>"
//   "destDir", "postDir"      the analysis run folder; the design's post folder ("" outside a
//                             batch)
//   "remoteDir", "remoteStudyDir"  the run folder and the study folder on the remote machine;
//                             "" for an analysis that runs on this machine
//   "InTagged", "InTagDef"    tagged input files: the files written into the run folder, and
//                             their templates as the analysis names them
//   "inputTagFilepaths"       the written files' paths ("destDir" joined)
//   "inputFilenames", "inputFilepaths"  input files copied into the run folder: names there,
//                             and paths
//   "OutTagged", "OutTagDef"  responses the portal extracts, and their extraction definition
//                             files as the analysis names them
//   "outputTagFilepaths"      the definition files' paths (relative ones below "studyDir")
//   "outputFilenames", "outputFilepaths"  output files: names in the run folder, and paths
//   "NoRemote"                "true" when the analysis runs on this machine, else "false"
//   "EvalRun"                 "true" for a design of a batch, "false" for a one-off
//                             extraction (check-performance mode)
//   "ResolvePaths"            "true": the caller asks resolvePath for the files the portal
//                             names
//   "BatchInfo"               "<position of the design in its batch, from 1>:<designs in
//                             the batch>" ("1:1" outside a batch)
//   "remoteUpdate", "remoteExtract"  "false": input files are written and output is read on
//                             this machine (remote output files are copied back first)
// A portal's own keys are documented with it (see portal_general.h for "General").
//
// Outputs. Every call returns a result carrying a success flag and message lines for the
// caller's log. A line that begins "ERROR:" is an error; "WARNING:" a warning; any other
// line is a note. A failed call always carries at least one "ERROR:" line saying why.
// Portals report failure by return value and never throw, end the run or write messages
// themselves.
//
// Callbacks. Values for tags come from the caller through TagValueCallback; responses go back
// through ExtractionCallback, once per response the portal was asked for.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/properties_map.h"

namespace karvo {

// Result of every portal call.
struct PortalResult {
  bool ok = false;                    // the call did what it was asked
  std::vector<std::string> messages;  // log lines, in order; "ERROR:" lines are errors
};

// initialize: the extra files the portal adds to those the analysis definition lists.
// Names are as the portal knows them. Input and delete files are located through
// resolvePath; output files are names relative to the analysis folder (absolute ones are
// not copied back).
struct PortalInitResult : PortalResult {
  std::vector<std::string> extraInputFiles;   // "exInputFilenames": copied into the run
                                              // folder with the inputs (a relative name to
                                              // the same place below it, an absolute one
                                              // under its file name)
  std::vector<std::string> extraOutputFiles;  // "exOutputFilenames": copied back from a
                                              // remote machine with the outputs
  std::vector<std::string> extraDeleteFiles;  // "exDeleteFilenames": removed at the start,
                                              // before prepare
};

// resolvePath: the path the portal produced for a file.
struct PortalPathResult : PortalResult {
  std::string path;  // empty unless ok
};

// run: `handled` is false when the portal leaves running the analysis to the caller's own
// job controller; ok is then true and nothing was started.
struct PortalRunResult : PortalResult {
  bool handled = false;
};

// progress: how far the analysis has come.
struct PortalProgressResult : PortalResult {
  double fraction = -1.0;  // 0.0 to 1.0; -1.0 when the portal cannot tell
};

// finishCheck: the three answers of a completion poll.
enum class FinishState {
  NotFinished = 0,  // poll again later
  Finished = 1,     // the analysis has ended (successCheck judges how)
  Error = 2,        // the portal cannot tell; the caller marks the analysis complete and failed
};

struct PortalFinishResult : PortalResult {
  FinishState state = FinishState::Error;
};

// The caller's answer to a tag: the values of a variable, each already formatted as text.
struct TagValueAnswer {
  bool ok = false;                  // false: the name is unknown or has no value
  std::vector<std::string> values;  // one text per value (several for a curve or a set)
  std::string message;              // when !ok: the caller's reason, may be empty
};

// Asked once per distinct (name, format) pair while a portal writes its tagged files.
// `format` is the print format named in the tag, passed verbatim; it is empty when the tag
// names none, and the caller then uses its default print format.
using TagValueCallback =
    std::function<TagValueAnswer(const std::string& name, const std::string& format)>;

// Reports one response: its values in the order found, and whether it was extracted. When
// ok is false, `values` is empty and `message` says what was looked for, where, and why
// nothing was found. When ok is true, `message` is empty.
using ExtractionCallback =
    std::function<void(const std::string& response, const std::vector<double>& values, bool ok,
                       const std::string& message)>;

// One portal per analysis type. The same object serves every design of its analyses, so
// implementations keep no per-design state between calls: everything a call needs is in its
// PropertiesMap.
class Portal {
 public:
  Portal() = default;
  virtual ~Portal() = default;
  Portal(const Portal&) = delete;
  Portal& operator=(const Portal&) = delete;

  // The analysis type this portal serves ("General", ...).
  virtual const char* name() const = 0;

  // Checks the analysis data and answers the extra file lists.
  virtual PortalInitResult initialize(const PropertiesMap& properties) = 0;

  // Writes the tagged input files, asking `tagValue` for every value.
  virtual PortalResult prepare(const PropertiesMap& properties,
                               const TagValueCallback& tagValue) = 0;

  // The real path of `file` (as named in the analysis data).
  virtual PortalPathResult resolvePath(const PropertiesMap& properties,
                                       const std::string& file) = 0;

  // Starts the analysis when the portal runs analyses itself (see PortalRunResult).
  virtual PortalRunResult run(const PropertiesMap& properties) = 0;

  // How far a running analysis has come.
  virtual PortalProgressResult progress(const PropertiesMap& properties) = 0;

  // Whether the analysis has finished.
  virtual PortalFinishResult finishCheck(const PropertiesMap& properties) = 0;

  // Whether a finished analysis succeeded (ok) or failed (!ok, with the reason).
  virtual PortalResult successCheck(const PropertiesMap& properties) = 0;

  // Reports every response asked for through `report`, each exactly once. ok is true when
  // every response was extracted.
  virtual PortalResult extract(const PropertiesMap& properties,
                               const ExtractionCallback& report) = 0;
};

}  // namespace karvo
