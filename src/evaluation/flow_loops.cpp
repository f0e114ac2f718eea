// Dependencies, loops and loop cases of the evaluation flow: when a job may start, and how
// the cases of a loop follow one another for each design (see "Loop cases" at the top of
// evaluation_flow.cpp). Runs once per job and pass; the lists are a few analyses long.
#include <algorithm>
#include <cctype>
#include <limits>

#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/flow_batch.h"
#include "evaluation/responses.h"
#include "evaluation/tagging.h"
#include "platform/platform.h"

namespace karvo::flow {

// Whether analysis `upstream` of `design` is done as far as analysis `index` is concerned:
// inside one loop the two run case by case, so the current case counts; from anywhere else
// an analysis inside a loop is done only when its loop is (every case ran or was skipped).
bool upstreamDone(const FlowBatch& batch, const FlowDesign& design, int upstream, int index) {
  if (design.jobs[upstream].state < kJobCompleted) return false;
  const int loop = batch.loopOf[upstream];
  if (loop < 0 || loop == batch.loopOf[index]) return true;
  return design.loops[loop].finished;
}

// Whether every case of analysis `index` of `design` has come to a final state.
bool jobDone(const FlowBatch& batch, const FlowDesign& design, int index) {
  return design.jobs[index].state >= kJobCompleted &&
         (batch.loopOf[index] < 0 || design.loops[batch.loopOf[index]].finished);
}

bool dependenciesMet(const FlowBatch& batch, const FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  for (const Dependency& dependency : analysis.dependencies) {
    const int upstream = dependency.index >= 0 ? dependency.index
                                               : findAnalysis(*batch.process, dependency.analysis);
    if (upstream < 0) continue;
    if (dependency.cycle) {
      for (const FlowDesign& other : batch.designs) {
        if (!upstreamDone(batch, other, upstream, index)) return false;
      }
    } else if (!upstreamDone(batch, design, upstream, index)) {
      return false;
    }
  }
  return true;
}

namespace {

// Whether the condition of a loop is met for the case that `design` has just ended. The
// condition is looked at in the run folder of the loop's last analysis for that case: a name
// of a defined condition is evaluated as such (afresh for every case); any other text is a
// command (tags replaced) run there by /bin/sh, met when it exits with 0.
bool loopConditionMet(FlowBatch& batch, FlowDesign& design, const BatchLoop& loop) {
  const std::string& condition = loop.loop->condition;
  if (condition.empty()) return false;
  prepareContext(batch, design, loop.analyses.back());
  if (findCondition(condition)) {
    return evaluateCondition(condition, design.context, -1, true, batch.conditions) == 1;
  }
  exportInternalVariables(design.context);
  const std::string command = replaceTags(condition, design.context);
  const std::string folder = platform::isDirectory(design.context.analysisPath)
                                 ? design.context.analysisPath
                                 : run.workingDirectory;
  return runThroughCommandFile(command, folder, "") == 0;
}

// Writes the skip of cases `from` .. cases - 1 of every analysis of the loop into the logs of
// those cases; the jobs keep the status of the last case that ran.
void skipRemainingCases(FlowDesign& design, const FlowBatch& batch, const BatchLoop& loop,
                        int from, const std::string& reason) {
  for (int index : loop.analyses) {
    const Analysis& analysis = batch.process->analyses[index];
    FlowJob& job = design.jobs[index];
    const int ran = job.caseIndex;
    for (int c = from; c < loop.cases; ++c) {
      job.caseIndex = c;
      logNote(design, analysis.name, reason);
      logRecord(design, analysis.name, "*STATUS", statusWord(kStatusSkipped));
    }
    job.caseIndex = ran;
  }
}

}  // namespace

// advanceLoops: when every analysis of a loop has ended the current case of `design`, the
// loop's condition decides whether the loop quits; otherwise the next case starts (its jobs
// go back to WAITING) or the loop is finished. True when a loop moved.
void recordLoopCase(const FlowBatch& batch, FlowDesign& design, std::size_t loop) {
  if (design.loopCases.size() < batch.loops.size()) design.loopCases.resize(batch.loops.size());
  HistoryLoopCases& cases = design.loopCases[loop];
  const Loop& definition = *batch.loops[loop].loop;
  const int current = design.loops[loop].current;
  cases.name = definition.name;
  cases.caseValues.push_back(current < static_cast<int>(definition.values.size())
                                 ? definition.values[current]
                                 : std::string());
  std::vector<double> values;
  for (const std::string& name : batch.loopValueNames) {
    const auto found = design.context.responses.find(name);
    const bool has = found != design.context.responses.end() && found->second.present &&
                     !found->second.values.empty();
    values.push_back(has ? found->second.values.front()
                         : std::numeric_limits<double>::quiet_NaN());
  }
  cases.performanceValues.push_back(std::move(values));
  std::vector<DataValue> dependents;
  for (const Variable& variable : definitions.variables) {
    if (variable.kind != VariableKind::Dependent) continue;
    const auto found = design.context.numbers.find(variable.name);
    dependents.push_back(found == design.context.numbers.end() ? DataValue{}
                                                                : realValue(found->second));
  }
  cases.dependentValues.push_back(std::move(dependents));
  cases.trailer = current + 1;
}

bool advanceLoops(FlowBatch& batch, FlowDesign& design) {
  bool moved = false;
  for (std::size_t l = 0; l < batch.loops.size(); ++l) {
    const BatchLoop& loop = batch.loops[l];
    DesignLoop& state = design.loops[l];
    if (state.finished) continue;
    bool caseEnded = true;
    for (int index : loop.analyses) {
      if (design.jobs[index].state < kJobCompleted) caseEnded = false;
    }
    if (!caseEnded) continue;
    moved = true;
    recordLoopCase(batch, design, l);
    const int next = state.current + 1;
    state.finished = true;
    if (next >= loop.cases) continue;
    const std::string& lastAnalysis = batch.process->analyses[loop.analyses.back()].name;
    if (design.error) {
      // The design already failed: the other cases could not change that.
      skipRemainingCases(design, batch, loop, next,
                         formatText("This case of the analysis will be skipped since case %d "
                                    "of loop \"%s\" ended with the design in error.",
                                    state.current + 1, loop.loop->name.c_str()));
      continue;
    }
    if (loopConditionMet(batch, design, loop)) {
      if (loop.quitOnCondition) {
        logNote(design, lastAnalysis,
                "Loop condition met. Since the option to quit the loop upon meeting the "
                "condition was selected, the remaining analyses and cases associated with this "
                "loop will be skipped.");
        skipRemainingCases(design, batch, loop, next,
                           formatText("This analysis will be skipped since the condition "
                                      "associated with loop \"%s\" was met.",
                                      loop.loop->name.c_str()));
        continue;
      }
      logNote(design, lastAnalysis,
              formatText("The condition of loop \"%s\" was met after case %d; the loop goes on "
                         "since it is not set to quit on it.",
                         loop.loop->name.c_str(), state.current + 1));
    }
    state.finished = false;
    state.current = next;
    for (int index : loop.analyses) {
      FlowJob& job = design.jobs[index];
      FlowJob fresh;
      fresh.caseIndex = next;
      fresh.firstCaseStatus = job.firstCaseStatus;
      job = std::move(fresh);
      std::size_t& first = batch.firstWaiting[index];
      first = std::min(first, static_cast<std::size_t>(design.slot));
    }
  }
  return moved;
}

bool runConditionMet(FlowBatch& batch, FlowDesign& design, int index) {
  const Analysis& analysis = batch.process->analyses[index];
  if (analysis.runCondition.empty()) return true;
  prepareContext(batch, design, index);
  const bool met =
      evaluateCondition(analysis.runCondition, design.context, design.slot, true,
                        batch.conditions) == 1;
  const std::string head = formatText("Summary of run condition check for analysis \"%s\".",
                                      analysis.name.c_str());
  if (met) {
    logNote(design, analysis.name, head + "\nThe overall condition was met.");
    return true;
  }
  skipAnalysis(design, analysis, design.jobs[index],
               head + "\nThe overall condition was NOT met. This analysis will be skipped.");
  return false;
}

// The loops of the batch: each loop that lists analyses of the process, with its number of
// cases (the loop's values; one when it has none or is not active) and whether it quits
// when its condition is met (a `break` other than "", "0", "no" or "false").
void setUpLoops(FlowBatch& batch) {
  const std::vector<Analysis>& analyses = batch.process->analyses;
  batch.loopOf.assign(analyses.size(), -1);
  for (std::size_t a = 0; a < analyses.size(); ++a) {
    const Loop* loop = loopOfAnalysis(analyses[a].name);
    if (!loop) continue;
    std::size_t l = 0;
    while (l < batch.loops.size() && batch.loops[l].loop != loop) ++l;
    if (l == batch.loops.size()) {
      BatchLoop entry;
      entry.loop = loop;
      entry.cases = loop->active ? std::max<int>(1, static_cast<int>(loop->values.size())) : 1;
      std::string word = loop->breakText;
      for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      entry.quitOnCondition = !word.empty() && word != "0" && word != "no" && word != "false";
      batch.loops.push_back(entry);
    }
    batch.loops[l].analyses.push_back(static_cast<int>(a));
    batch.loopOf[a] = static_cast<int>(l);
  }
}

}  // namespace karvo::flow
