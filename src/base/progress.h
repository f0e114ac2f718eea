// The progress line of a run: on a terminal, one line on standard error that the solver
// redraws while the run goes on (agent, cycle, evaluations of the budget, analyses running and
// queued, failed designs, the best design so far, elapsed time and an estimate of the time
// left); on a pipe or file, one plain summary line per agent and cycle instead. Drawing is
// throttled to a few times a second and costs the run nothing while analyses run.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace karvo {

struct ProgressState {
  bool enabled = false;      // a study run (not a command that only reads a study)
  bool terminal = false;     // standard error is a terminal: the live line is drawn
  bool drawn = false;        // the live line stands on the terminal now
  int agent = -1;
  std::string agentName;
  int cycle = 0;             // 0-based
  int cycles = 1;
  long evaluations = 0;      // designs the agent has evaluated, the history's included
  long budget = 0;           // evaluations the agent's method plans; 0: not known
  long doneInRun = 0;        // designs evaluated by this run for the agent
  long failed = 0;           // of them failed
  int running = 0;           // analyses running now
  int queued = 0;            // analyses waiting to start
  bool ranked = true;        // the agent ranks its designs (a DOE agent's all score 1)
  bool haveBest = false;     // a feasible design has been evaluated in this run
  double best = 0.0;         // its performance (larger is better)
  int bestDesign = 0;
  std::string bestObjectives;  // its objectives' values as the line shows them ("mass 88.17");
                               // "" for more than kProgressObjectives objectives
  double runStart = 0.0;     // monotonic seconds
  double agentStart = 0.0;
  double lastDrawn = -1.0;
  // Per agent number: designs evaluated by this run and how many of them failed, over all
  // its turns (for the end of the run).
  struct Tally {
    long evaluated = 0;
    long failed = 0;
  };
  std::map<int, Tally> tallies;
};

extern ProgressState progress;

// Called at the end of progressDesign when set (a design has ended): the driver hangs the
// update of the run's page here (results/run_page.h), which keeps its own rate limit.
inline void (*progressPageHook)() = nullptr;

// Starts the progress of a run: `terminal` says whether standard error is a terminal.
void progressStart(bool terminal);

// An agent's turn begins; `evaluations` is its count of evaluated designs so far. An agent
// that does not rank its designs (`ranked` false) shows no best design.
void progressAgent(int agent, const std::string& name, int cycle, int cycles, long budget,
                   long evaluations, bool ranked = true);

// A study that knows its designs only once it has laid them out (a DOE array, a set of
// samples) is about to evaluate `more` designs: they are its plan from here.
void progressExpect(long more);

// A design of the current agent has been evaluated; `objectives` are the names and values
// of its objectives (the values as its responses gave them).
inline constexpr std::size_t kProgressObjectives = 3;  // more are not shown on the line
void progressDesign(int designNumber, bool failed, double performance, double violation,
                    const std::vector<std::pair<std::string, double>>& objectives = {});

// The analyses of the running batch; the line is redrawn when due.
void progressJobs(int running, int queued);

// The line's text at `now` (monotonic seconds), without control characters.
std::string progressText(const ProgressState& state, double now);

// The summary of the current agent's turn: on a terminal the live line is cleared, elsewhere
// one line is written to standard error.
void progressTurnEnd();

// Takes the live line off the terminal before other text goes to standard output or error.
void progressClear();

// "hh:mm:ss".
std::string progressClock(double seconds);

}  // namespace karvo
