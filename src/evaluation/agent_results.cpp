#include "evaluation/agent_results.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "base/run_state.h"
#include "definitions/study.h"
#include "definitions/performance_file.h"
#include "evaluation/encoding.h"
#include "evaluation/history_file.h"
#include "platform/platform.h"

namespace karvo {

namespace {

constexpr std::size_t kHistoryBlockBytes = 1 << 20;

std::unordered_map<int, AgentResults>& records() {
  static std::unordered_map<int, AgentResults> table;
  return table;
}

}  // namespace

void appendHistoryEntry(HistoryEntries& entries, std::string_view entry) {
  if (entries.blocks.empty() ||
      entries.blocks.back().size() + entry.size() > kHistoryBlockBytes) {
    entries.blocks.emplace_back();
    entries.blocks.back().reserve(std::max(kHistoryBlockBytes, entry.size()));
  }
  entries.blocks.back().append(entry);
  ++entries.count;
  entries.bytes += entry.size();
}

AgentResults& agentResults(const Agent& agent) {
  AgentResults& results = records()[agent.number];
  if (!results.storeCreated) {
    results.storeCreated = true;
    designStoreCreate(results.store, encodingContextForAgent(agent),
                      study.options.hashingEnabled);
  }
  return results;
}

void resetAgentResults() { records().clear(); }

bool historySaveDue(const AgentResults& results) {
  if (results.historyWrites == 0) return true;
  return platform::monotonicSeconds() - results.lastWriteEnd >= 9.0 * results.lastWriteSeconds;
}

double historySaveTime(const AgentResults& results) {
  if (results.history.count == results.entriesWritten || run.settings.historyDisabled) {
    return std::numeric_limits<double>::infinity();
  }
  if (results.historyWrites == 0 && !results.lastWriteFailed) return 0.0;
  const double end = results.lastWriteEnd;
  if (results.lastWriteFailed) return end + kHistoryRetrySeconds;
  const double gap = results.slowDesignPending ? 0.0 : kHistorySaveGapSeconds;
  return end + std::max(gap, 9.0 * results.lastWriteSeconds);
}

std::vector<std::string> historyLoopValueNames(const Agent& agent) {
  std::vector<std::string> names;
  if (const PerformanceDefinition* definition = findPerformance(agent.performance)) {
    for (const std::string& name : definition->name) {
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
  }
  return names;
}

void saveChangedHistories() {
  for (auto& [number, results] : records()) {
    if (results.history.count == results.entriesWritten) continue;
    if (const Agent* agent = findAgent(number)) writeHistory(*agent, results);
  }
}

void agentResultsConsider(AgentResults& results, const Design& design) {
  const bool feasible = design.status == kDesignFeasible;
  if (design.failed || (!feasible && design.status != kDesignInfeasible)) return;
  if (results.haveBest) {
    const Design& best = results.best;
    const bool bestFeasible = best.status == kDesignFeasible;
    if (bestFeasible && !feasible) return;
    if (bestFeasible == feasible) {
      if (feasible && !(design.performance > best.performance)) return;
      if (!feasible && !(design.violation < best.violation)) return;
    }
  }
  results.best = design;
  results.haveBest = true;
}

}  // namespace karvo
