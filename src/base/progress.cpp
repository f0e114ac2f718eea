// The progress line of a run.
#include "base/progress.h"

#include <cmath>
#include <cstdio>

#include "base/messages.h"
#include "platform/platform.h"

namespace karvo {

ProgressState progress;

namespace {

constexpr double kRedrawSeconds = 0.25;

void draw(bool force) {
  ProgressState& p = progress;
  if (!p.enabled || !p.terminal || p.agent < 0) return;
  const double now = platform::monotonicSeconds();
  if (!force && p.lastDrawn >= 0 && now - p.lastDrawn < kRedrawSeconds) return;
  p.lastDrawn = now;
  // Back to the line's start, the text, then the rest of the line erased.
  std::string line = "\r" + progressText(p, now) + "\x1b[K";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  p.drawn = true;
}

}  // namespace

std::string progressClock(double seconds) {
  const long total = seconds > 0 ? static_cast<long>(seconds + 0.5) : 0;
  return formatText("%02ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
}

void progressStart(bool terminal) {
  progress = ProgressState{};
  progress.enabled = true;
  progress.terminal = terminal;
  progress.runStart = platform::monotonicSeconds();
}

void progressAgent(int agent, const std::string& name, int cycle, int cycles, long budget,
                   long evaluations, bool ranked) {
  ProgressState& p = progress;
  if (p.agent != agent) {
    p.doneInRun = 0;
    p.failed = 0;
    p.haveBest = false;
    p.agentStart = platform::monotonicSeconds();
  }
  p.agent = agent;
  p.agentName = name;
  p.ranked = ranked;
  p.cycle = cycle;
  p.cycles = cycles;
  p.budget = budget;
  p.evaluations = evaluations;
  p.running = 0;
  p.queued = 0;
  draw(true);
}

void progressExpect(long more) {
  progress.budget = progress.evaluations + more;
  draw(false);
}

void progressDesign(int designNumber, bool failed, double performance, double violation,
                    const std::vector<std::pair<std::string, double>>& objectives) {
  ProgressState& p = progress;
  ++p.doneInRun;
  ++p.evaluations;
  ProgressState::Tally& tally = p.tallies[p.agent];
  ++tally.evaluated;
  if (failed) ++tally.failed;
  if (failed) {
    ++p.failed;
  } else if (violation <= 0.0 && std::isfinite(performance) &&
             (!p.haveBest || performance > p.best)) {
    p.haveBest = true;
    p.best = performance;
    p.bestDesign = designNumber;
    p.bestObjectives.clear();
    if (objectives.size() <= kProgressObjectives) {
      for (const auto& [name, value] : objectives) {
        if (!p.bestObjectives.empty()) p.bestObjectives += ", ";
        p.bestObjectives += formatText("%s %.6g", name.c_str(), value);
      }
    }
  }
  draw(false);
  if (progressPageHook) progressPageHook();
}

void progressJobs(int running, int queued) {
  progress.running = running;
  progress.queued = queued;
  draw(false);
}

std::string progressText(const ProgressState& p, double now) {
  std::string text = formatText("agent %d", p.agent);
  if (!p.agentName.empty()) text += " (" + p.agentName + ")";
  text += formatText("  cycle %d/%d  evals %ld", p.cycle + 1, p.cycles, p.evaluations);
  if (p.budget > 0) text += formatText("/%ld", p.budget);
  text += formatText("  running %d  queued %d  failed %ld", p.running, p.queued, p.failed);
  if (!p.ranked) {
    // Every design scores the same: a best design would only name the first.
  } else if (p.haveBest) {
    // The objectives in the study's units; the performance only when there are none to show.
    const std::string best =
        p.bestObjectives.empty() ? formatText("%.6g", p.best) : p.bestObjectives;
    text += formatText("  best %s (design %d)", best.c_str(), p.bestDesign);
  } else {
    text += "  best -";
  }
  text += "  " + progressClock(now - p.runStart) + " elapsed";
  const double agentSeconds = now - p.agentStart;
  const long left = p.budget - p.evaluations;
  if (p.budget > 0 && p.doneInRun > 0 && left > 0 && agentSeconds > 0) {
    text += "  about " + progressClock(agentSeconds / static_cast<double>(p.doneInRun) *
                                       static_cast<double>(left)) +
            " left";
  }
  return text;
}

void progressTurnEnd() {
  ProgressState& p = progress;
  if (!p.enabled || p.agent < 0) return;
  p.running = 0;
  p.queued = 0;
  // On a terminal the live line stays as the turn's summary; the next turn draws below it.
  progressClear();
  const std::string line = progressText(p, platform::monotonicSeconds()) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

void progressClear() {
  if (!progress.drawn) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  progress.drawn = false;
  progress.lastDrawn = -1.0;
}

}  // namespace karvo
