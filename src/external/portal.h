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
//   resolvePath: whenever the caller needs the real path of a file the portal names.
//
// Inputs. Every call receives the analysis and response data as a PropertiesMap. The keys
// read by a portal are documented with the portal (see portal_general.h for "General").
// Values are passed through unchanged; a portal never modifies the map.
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
// Names are as the portal knows them (relative names are relative to the analysis folder).
struct PortalInitResult : PortalResult {
  std::vector<std::string> extraInputFiles;   // "exInputFilenames": copied with the inputs
  std::vector<std::string> extraOutputFiles;  // "exOutputFilenames": copied back after a run
  std::vector<std::string> extraDeleteFiles;  // "exDeleteFilenames": removed at the start
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
