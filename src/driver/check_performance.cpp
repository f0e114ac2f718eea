// The response-extraction test: runs the analyses of one performance definition once in the
// working directory and lists the responses they give. One run per process; its time is the
// analyses' own.
#include "driver/check_performance.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "definitions/study.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/variables.h"
#include "evaluation/dependents.h"
#include "evaluation/evaluation_flow.h"
#include "definitions/process_file.h"
#include "evaluation/responses.h"
#include "evaluation/tagging.h"
#include "base/design.h"
#include "definitions/performance_file.h"

namespace karvo {

namespace {

// The first agent whose performance number is `performanceId`; null when none.
const Agent* agentOfPerformance(int performanceId) {
  for (const Agent& agent : agents) {
    if (agent.performance == performanceId) return &agent;
  }
  return nullptr;
}

// The responses of an analysis, extracted ones first, each once.
std::vector<std::string> analysisResponses(const Analysis& analysis) {
  std::vector<std::string> names;
  for (const auto* list : {&analysis.outputResponses, &analysis.calculatedResponses}) {
    for (const std::string& name : *list) {
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
  }
  return names;
}

// The baseline design's values: every variable and parameter at its baseline, then the
// dependent variables computed from them, so that the analysis command and the formulas can
// use them. A dependent that cannot be computed is left out (its message is in the file).
void fillBaselineValues(EvaluationContext& context) {
  for (const Variable& variable : definitions.variables) {
    switch (variable.kind) {
      case VariableKind::Continuous:
      case VariableKind::FixedParameter:
        context.numbers[variable.name] = variable.baseline;
        break;
      case VariableKind::Discrete:
        context.choices[variable.name] = variable.baselineChoice - 1;
        break;
      case VariableKind::StringParameter:
        context.texts[variable.name] = variable.baselineText;
        break;
      default:
        break;
    }
  }
  evaluateDependentVariables(context);
}

}  // namespace

std::string checkPerformanceValueText(const ResponseValue& value) {
  if (!value.present || value.status == kStatusError) return "ERROR";
  std::string text;
  if (!value.text.empty() && value.values.empty()) {
    for (std::size_t i = 0; i < value.text.size(); ++i) {
      text += (i ? ", " : "") + value.text[i];
    }
  } else {
    for (std::size_t i = 0; i < value.values.size(); ++i) {
      text += formatText("%s%.12g", i ? ", " : "", value.values[i]);
    }
  }
  return text.empty() ? "ERROR" : text;
}

void checkPerformanceResponses(int performanceId) {
  const Agent* agent = agentOfPerformance(performanceId);
  PerformanceDefinition* performance = agent ? findPerformance(performanceId) : nullptr;
  if (!performance) {
    fatalError(formatText("The performance id %d given to checkPerformance is not used by any "
                          "agent in \"Assembly.in\". There is no performance definition "
                          "\"Performance%d.in\" to check.",
                          performanceId, performanceId));
  }
  Process* process = agent->process == kUndefined ? nullptr : findProcess(agent->process);
  if (!process) {
    fatalError(formatText("No process is associated with the performance id %d: agent %d "
                          "(\"%s\"), the first agent that uses it, has no process to run.",
                          performanceId, agent->number, agent->name.c_str()));
  }
  associateStudyResponses(*performance, *process);

  EvaluationContext context;
  context.agentNumber = agent->number;
  context.designNumber = 0;
  fillBaselineValues(context);
  startDesignResponses(context, designResponseNames(performance, process));
  // What the performance needs: its study responses and everything their calculations read.
  const std::vector<std::string> needed = designResponseNames(performance, nullptr);
  const std::unordered_set<std::string> neededSet(needed.begin(), needed.end());

  writeFormatted(outptr, "\n\t********* OUTPUT FOR RESPONSE EXTRACTION TEST *********\n\n");
  for (std::size_t a = 0; a < process->analyses.size(); ++a) {
    const Analysis& analysis = process->analyses[a];
    const std::vector<std::string> responses = analysisResponses(analysis);
    const bool contributes =
        std::any_of(responses.begin(), responses.end(),
                    [&](const std::string& name) { return neededSet.count(name) > 0; });
    if (!contributes) continue;
    const int index = static_cast<int>(a);
    if (!runAnalysisInFolder(*process, index, run.workingDirectory, context)) {
      writeMessage("outptr", "error",
                   formatText("Error in running the analysis \"%s\" to evaluate responses "
                              "associated with it.",
                              analysis.name.c_str()));
    }
    extractAnalysisInFolder(*process, index, run.workingDirectory, context, performance);
    for (const std::string& name : responses) {
      auto found = context.responses.find(name);
      const std::string value =
          found == context.responses.end() ? "ERROR" : checkPerformanceValueText(found->second);
      writeFormatted(outptr, "\n %s = %s", name.c_str(), value.c_str());
    }
    // The last line is ended, so that what follows (the messages of the next analysis, the
    // end of the listing) starts on a line of its own.
    writeFormatted(outptr, "\n");
    flushFile(outptr);
  }
  writeFormatted(outptr, "\n\n\t****************** END OF OUTPUT **********************\n");
  writeFormatted(outptr, "\n\tExiting normally.\n");
  flushFile(outptr);
}

}  // namespace karvo
