// The run's page: one self-contained HTML file per study ("<study>.html" beside the study
// file) that a browser shows, from the disk or through any static web server, while a run
// goes on and after it. It is built from the files the run writes (histories, Pareto files)
// and, while the run goes on, from its progress (base/progress.h) and the running-analyses
// log in the agent's lock file; the plots are those of results/plots.h, inline.
//
// Workload: while the run goes on the page is rebuilt at most every kPageGapSeconds and
// never sooner than kPageCostFactor times its last build after it, so that it costs at most
// about a hundredth of a run of cheap designs; it is only considered when a design ends or a
// cycle ends, never while the solver waits for analyses. A page of a 100 000-design history
// stays small: the plots thin out their points, the tables show 2 x kPageTableRows designs.
#pragma once

#include <map>
#include <string>

namespace karvo {

struct Agent;

namespace runpage {

inline constexpr double kPageGapSeconds = 5.0;    // at most one page per this many seconds
inline constexpr double kPageCostFactor = 99.0;   // ... and per this many times its last cost
inline constexpr int kPageRefreshSeconds = 10;    // the browser reloads a running run's page
inline constexpr int kPageTableRows = 20;         // best and last designs shown per agent
inline constexpr int kPageFailedRows = 20;        // last failed designs shown

// What the page says about the run as a whole.
struct PageView {
  bool running = false;         // the run goes on: the page reloads itself
  bool wholeStudy = false;      // every agent with a history (report command); else the range
  std::string exitState;        // "Complete", "Error", "Cancelled"; "" while running
  std::map<int, std::string> agentStates;  // per agent number, when the caller knows it
  std::string pageFolder;       // the folder the page goes to (links to logs are relative)
  double now = 0.0;             // monotonic seconds (elapsed and left times)
};

// The page's path for the study read: "<working directory>/<study file name without .in>.html".
std::string pagePath();

// The page's text for the study read (definitions/study.h) as `view` says.
std::string pageText(const PageView& view);

// Writes `text` to `path` atomically (temporary file, then rename); false with `error` set.
bool writePage(const std::string& path, const std::string& text, std::string& error);

// The evaluations an agent's method plans in the whole run, as far as its settings tell: its
// budget, or its population over all generations; 0 when they do not tell (a design of
// experiments or a sampled study says so only once it has laid out its designs).
long plannedEvaluations(const Agent& agent);

// During a run: the page is rebuilt and written when due (see above), or at once with
// `force`. Nothing happens before runPageStart or after runPageEnd.
void runPageStart();
void runPageUpdate(bool force = false);
// The last page of the run, with its exit state; the page no longer reloads itself.
void runPageEnd();

// How many pages this run has written (tests of the rate limit, the benchmark).
long runPageWrites();

}  // namespace runpage
}  // namespace karvo
