// Report files and the end-of-run information. Written once per agent at the start of a run
// and appended once at its end; each item is one formatted write in a fixed order, since
// import tools read the file by its keys.
#include "results/report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "base/run_files.h"
#include "definitions/process_file.h"
#include "definitions/response_definitions.h"
#include "platform/platform.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"
#include "evaluation/agent_results.h"

namespace karvo {

namespace {

bool created = false;
const double kProcessStart = platform::monotonicSeconds();

constexpr const char* kReportError =
    "Error in creating the KARVO report file. Please ensure that the working directory is "
    "writable and there is disk space available.";

std::string oneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

std::string distributionName(int index) {
  if (index < 0 || index >= static_cast<int>(definitions.distributions.size())) return "None";
  return definitions.distributions[index].name;
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) text += separator;
    text += parts[i];
  }
  return text;
}

void writeVariables(FileHandle* f, const Agent& agent) {
  writeFormatted(f, "\n\n\n*********** VARIABLE INFORMATION ***********");
  const Representation* representation = findRepresentation(agent.representation);
  std::vector<const VariableSlot*> slots;
  if (representation) {
    for (const VariableSlot& slot : representation->slots) slots.push_back(&slot);
  }
  std::sort(slots.begin(), slots.end(),
            [](const VariableSlot* a, const VariableSlot* b) { return a->id < b->id; });
  writeFormatted(f, "\n\nNumber of design variables: %d\n", static_cast<int>(slots.size()));
  std::vector<int> controlOrder, noiseOrder;
  for (std::size_t position = 0; position < slots.size(); ++position) {
    const VariableSlot& slot = *slots[position];
    const Variable* variable = findVariableById(slot.id);
    if (!variable) continue;
    if (slot.factorType == "control") controlOrder.push_back(slot.id);
    if (slot.factorType == "noise") noiseOrder.push_back(slot.id);
    std::string distribution =
        slot.distribution.empty() ? distributionName(variable->distributionIndex) : slot.distribution;
    if (variable->kind == VariableKind::Discrete) {
      const DiscreteSet* set =
          variable->setIndex >= 0 ? &definitions.sets[variable->setIndex] : nullptr;
      writeFormatted(f, " %s", variable->name.c_str());
      writeFormatted(f, ", %d, DISCRETE", variable->id);
      writeFormatted(f, ", %s", set ? set->name.c_str() : "");
      writeFormatted(f, ", %5d", set ? static_cast<int>(set->items.size()) : 0);
      writeFormatted(f, ", %g", static_cast<double>(variable->baselineChoice));
      if (set && !set->items.empty()) {
        writeFormatted(f, ", Choices ->%s", set->items[0].c_str());
        for (std::size_t i = 1; i < set->items.size(); ++i) {
          writeFormatted(f, ",%s", set->items[i].c_str());
        }
      }
      if (!slot.factorType.empty()) {
        writeFormatted(f, ", %s", slot.factorType.c_str());
        if (!slot.levels.empty()) {
          writeFormatted(f, ", levels-> %g", slot.levels[0]);
          for (std::size_t i = 1; i < slot.levels.size(); ++i) writeFormatted(f, ", %g", slot.levels[i]);
        }
      }
      writeFormatted(f, "\n");
    } else {
      writeFormatted(f, " %s,", variable->name.c_str());
      writeFormatted(f, " %4d, CONTINUOUS,", variable->id);
      writeFormatted(f, " %8.6e,", variable->lower);
      writeFormatted(f, " %8.6e,", variable->baseline);
      writeFormatted(f, " %8.6e,", variable->upper);
      writeFormatted(f, " %10d,", slot.resolution);
      writeFormatted(f, " %24s,", distribution.c_str());
      if (!slot.factorType.empty()) {
        writeFormatted(f, " %s,", slot.factorType.c_str());
        if (!slot.levels.empty()) {
          writeFormatted(f, " levels-> %g", slot.levels[0]);
          for (std::size_t i = 1; i < slot.levels.size(); ++i) writeFormatted(f, ", %g", slot.levels[i]);
        }
      }
      writeFormatted(f, "\n");
    }
  }
  if (!controlOrder.empty() || !noiseOrder.empty()) {
    writeFormatted(f, "\n\n*FACTOR_MAPPING");
    writeFormatted(f, "\ncontrolFactorOrder: ");
    for (std::size_t i = 0; i < controlOrder.size(); ++i) {
      writeFormatted(f, i ? ", %d" : "%d", controlOrder[i]);
    }
    writeFormatted(f, "\nnoiseFactorOrder: ");
    for (std::size_t i = 0; i < noiseOrder.size(); ++i) {
      writeFormatted(f, i ? ", %d" : "%d", noiseOrder[i]);
    }
  }
  flushFile(f);

  std::vector<const Variable*> fixed, dependents, strings;
  for (const Variable& v : definitions.variables) {
    if (v.kind == VariableKind::FixedParameter) fixed.push_back(&v);
    if (v.kind == VariableKind::Dependent) dependents.push_back(&v);
    if (v.kind == VariableKind::StringParameter) strings.push_back(&v);
  }
  writeFormatted(f, "\n\nNumber of parameters: %d\n\n", static_cast<int>(fixed.size()));
  for (const Variable* v : fixed) {
    writeFormatted(f, " %s", v->name.c_str());
    writeFormatted(f, ", %4d", v->id);
    writeFormatted(f, ", %12.8e", v->baseline);
    writeFormatted(f, ", %s", distributionName(v->distributionIndex).c_str());
    writeFormatted(f, "\n");
  }
  writeFormatted(f, "\n\nNumber of dependents: %d\n\n", static_cast<int>(dependents.size()));
  for (const Variable* v : dependents) {
    writeFormatted(f, " %s", v->name.c_str());
    writeFormatted(f, ", %d", v->id);
    writeFormatted(f, ", %s", distributionName(v->distributionIndex).c_str());
    writeFormatted(f, ", %s", oneLine(v->formula).c_str());
    writeFormatted(f, "\n");
  }
  writeFormatted(f, "\n\nNumber of string parameters: %d\n\n", static_cast<int>(strings.size()));
  for (const Variable* v : strings) {
    writeFormatted(f, " %s", v->name.c_str());
    writeFormatted(f, ", %4d", v->id);
    writeFormatted(f, ", %s", v->baselineText.c_str());
    writeFormatted(f, "\n");
  }
}

// The defining text of a calculated response, or "" for an extracted one.
std::string responseDefinitionText(const std::string& name) {
  const ResponseDefinition* definition = findResponseDefinition(name);
  if (!definition) return "";
  switch (definition->type) {
    case ResponseType::Formula: return oneLine(joined(definition->formula, "\n"));
    case ResponseType::CurveFit: return oneLine(joined(definition->curveFit.dependsOn, "+"));
    case ResponseType::Filter: return oneLine(joined(definition->filter.dependsOn, "+"));
    case ResponseType::FLD: return oneLine(joined(definition->fld.dependsOn, "+"));
    case ResponseType::RSM: return oneLine(definition->rsm.modelFile);
    case ResponseType::File: return "";
  }
  return "";
}

void writeNorm(FileHandle* f, double norm) {
  if (norm >= 0.0) {
    writeFormatted(f, " , Norm = %8.6e", norm);
  } else {
    writeFormatted(f, " , Norm = Use baseline design value");
  }
}

void writeResponses(FileHandle* f, const Agent& agent) {
  writeFormatted(f, "\n\n*********** RESPONSE VARIABLE INFORMATION ***********");
  const PerformanceDefinition* performance = findPerformance(agent.performance);
  const int count = performance ? performance->count : 0;
  writeFormatted(f, "\n\nNumber of responses: %d\n", count);
  for (int i = 0; i < count; ++i) {
    const char* name = performance->name[i].c_str();
    writeFormatted(f, "\n");
    if (agent.method.code == kMethodRobustness) {
      // A robustness agent scores nothing: its responses are the inputs of its statistics.
      writeFormatted(f, " %20s, PREREQUISITE", name);
    } else if (performance->flag[i] == kResponseObjective) {
      writeFormatted(f, " %20s,  OBJECTIVE,", name);
      switch (performance->opt[i]) {
        case -1: writeFormatted(f, "  Minimize,"); break;
        case 0: writeFormatted(f, "  Match target, %g", performance->target[i]); break;
        case 1: writeFormatted(f, "  Maximize,"); break;
        case 2: writeFormatted(f, "  Push away from target, %g", performance->target[i]); break;
        default: break;
      }
      writeNorm(f, performance->norm[i]);
    } else if (performance->flag[i] == kResponseConstraint) {
      writeFormatted(f, " %20s, CONSTRAINT,", name);
      switch (performance->opt[i]) {
        case -1: writeFormatted(f, " Less than,"); break;
        case 0: writeFormatted(f, " Match target,"); break;
        case 1: writeFormatted(f, " More than,"); break;
        default: break;
      }
      writeFormatted(f, " %8.6e", performance->target[i]);
      writeNorm(f, performance->norm[i]);
    } else {
      writeFormatted(f, " %20s, PREREQUISITE", name);
    }
    std::string text = responseDefinitionText(performance->name[i]);
    if (!text.empty()) writeFormatted(f, ", %s", text.c_str());
  }
}

void writeReport(const Agent& agent) {
  FileHandle* f = openFile(agentFileName(agent.number, ".rpt"), "w");
  if (!f) fatalError(kReportError);
  struct Closer {
    FileHandle* f;
    ~Closer() { closeFile(f); }
  } closer{f};

  writeFormatted(f, "Version: %s", kFullVersion);
  writeFormatted(f, "\nStart time: %s", study.startTime.c_str());
  writeFormatted(f, "\n\nWorking directory: %s", run.workingDirectory.c_str());
  writeFormatted(f, "\nPOST directory: %s", agent.postFolder.c_str());
  writeFormatted(f, "\nEvaluation directory: %s", agent.evaluationFolder.c_str());
  writeFormatted(f, "\nExecCommand: %s", run.commandLine.c_str());

  writeFormatted(f, "\n\n*********** GENERAL AGENT INFORMATION ***********");
  writeFormatted(f, "\n\nfilePrefix: %s", run.runPrefix.c_str());
  writeFormatted(f, "\n\nagentName: %s", agent.name.c_str());
  writeFormatted(f, "\n\nStudy Type: %s", agentTypeWord(agent.type));
  writeFormatted(f, "\n\nstudyName: %s", study.name.c_str());
  writeFormatted(f, "\n\nAgent ID: %d", agent.number);
  writeFormatted(f, "\n\nAgents in this group: ");
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    writeFormatted(f, " %d,", number);
  }
  if (!processes.empty()) {
    const Process* process = findProcess(agent.process);
    writeFormatted(f, "\n\nprocessName: %s", process ? process->name.c_str() : "");
  }
  writeFormatted(f, "\n\nRandom seed: %f", static_cast<double>(study.randomSeed));
  if (study.extending) {
    writeFormatted(f, "\nExtending run from last saved KARVO state file with prefix \"%s\".\n\n",
                   run.runPrefix.c_str());
  }

  writeVariables(f, agent);
  writeResponses(f, agent);

  if (!agent.visualizationFiles.empty()) {
    writeFormatted(f, "\n*STUDY_VIZ_FILES");
    for (const std::string& file : agent.visualizationFiles) {
      writeFormatted(f, "\nvisualizationFile: %s", file.c_str());
    }
  }
  writeFormatted(f, "\n\n\n*********** EVALUATION PROCESS INFORMATION ***********");
  writeFormatted(f, study.parallel ? "\n\nExecution mode : PARALLEL\n"
                                   : "\n\nExecution mode : SERIAL\n");
  if (const Process* process = findProcess(agent.process)) {
    for (const Analysis& analysis : process->analyses) {
      writeFormatted(f, "\n*ANALYSIS");
      writeFormatted(f, "\n%s\n", analysis.recordText.c_str());
    }
  }
  writeFormatted(f, "\n\n\n*AGENT");
  writeFormatted(f, "\n%s\n", agent.recordText.c_str());
  if (!study.options.hashingEnabled) {
    writeFormatted(f, "\n\n\n**** The design hashing has been turned off by the user. Same "
                      "designs could be re-evaluated.");
  }
}

// The answer's text: the heading, then "\n  name = value" or "\n  name = value (role)".
std::string bestDesignText(const Agent& agent) {
  const AgentAnswer answer = agentAnswer(agent);
  std::string text = answer.heading;
  for (const AnswerLine& line : answer.lines) {
    text += line.role.empty()
                ? formatText("\n  %s = %s", line.name.c_str(), line.value.c_str())
                : formatText("\n  %s = %s (%s)", line.name.c_str(), line.value.c_str(),
                             line.role.c_str());
  }
  return text;
}

}  // namespace

// One line per variable of the agent's representation and per objective and constraint of
// its performance definition, with the design's values as the study states them.
static std::vector<AnswerLine> designAnswerLines(const Agent& agent, const Design& design) {
  std::vector<AnswerLine> lines;
  if (const Representation* representation = findRepresentation(agent.representation)) {
    for (std::size_t i = 0; i < representation->slots.size(); ++i) {
      const VariableSlot& slot = representation->slots[i];
      const Variable* variable = findVariableById(slot.id);
      const std::string name = variable ? variable->name : slot.name;
      if (slot.kind == kSlotDiscrete && variable && variable->setIndex >= 0 &&
          i < design.chromosome.size()) {
        const DiscreteSet& set = definitions.sets[variable->setIndex];
        const int choice = design.chromosome[i];
        if (choice >= 0 && choice < static_cast<int>(set.items.size())) {
          lines.push_back({name, set.items[choice], ""});
          continue;
        }
      }
      if (i < design.reals.size()) lines.push_back({name, formatText("%g", design.reals[i]), ""});
    }
  }
  const PerformanceDefinition* performance = findPerformance(agent.performance);
  for (int r = 0; performance && r < performance->count; ++r) {
    const int flag = performance->flag[r];
    if (flag != kResponseObjective && flag != kResponseConstraint) continue;
    const std::size_t k = static_cast<std::size_t>(r);
    std::string value = "no value";
    if (k < design.responses.size() && design.responses[k].present &&
        !design.responses[k].values.empty()) {
      value = formatText("%g", design.responses[k].values.front());
    }
    const double target = performance->target[k];
    std::string role;
    if (flag == kResponseObjective) {
      switch (performance->opt[k]) {
        case -1: role = "objective: minimise"; break;
        case 1: role = "objective: maximise"; break;
        case 0: role = formatText("objective: match %g", target); break;
        default: role = formatText("objective: away from %g", target); break;
      }
    } else {
      const char* relation = performance->opt[k] < 0 ? "<=" : performance->opt[k] > 0 ? ">=" : "=";
      role = formatText("constraint: %s %g", relation, target);
    }
    lines.push_back({performance->name[k], value, role});
  }
  return lines;
}

// The answer of an optimisation agent: its best feasible design, else its least infeasible
// one, else that none was evaluated successfully ("" for other agents, and for that last case
// in a run that ended in an error, whose message says why).
AgentAnswer agentAnswer(const Agent& agent) {
  if (agent.type != kAgentOptimization) return {};
  const AgentResults& results = agentResults(agent);
  if (!results.haveBest) {
    if (run.exitState == "Error") return {};
    return {formatText("No design of agent %d (%s) was evaluated successfully.", agent.number,
                      agent.name.c_str()), {}};
  }
  const Design& best = results.best;
  std::string heading =
      best.status == kDesignFeasible
          ? formatText("Best design of agent %d (%s): design %d", agent.number,
                       agent.name.c_str(), best.designNumber)
          : formatText("No feasible design of agent %d (%s). The least infeasible one: design "
                       "%d (constraint violation %g)",
                       agent.number, agent.name.c_str(), best.designNumber, best.violation);
  return {heading, designAnswerLines(agent, best)};
}

void writeReports() {
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    if (const Agent* agent = findAgent(number)) {
      created = true;  // a closing block is due even when a later report fails
      writeReport(*agent);
    }
  }
}

void closeReports() {
  if (!created) return;
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    FileHandle* f = openFile(agentFileName(number, ".rpt"), "a");
    if (!f) {
      writeMessage("outptr", "warning", kReportError);
      continue;
    }
    if (const Agent* agent = findAgent(number)) {
      const std::string best = bestDesignText(*agent);
      if (!best.empty()) writeFormatted(f, "\n*BEST DESIGN\n%s\n", best.c_str());
    }
    writeFormatted(f, "\nEnd of KARVO run.\n");
    writeFormatted(f, "*EXIT STATE\n%s\n", run.exitState.c_str());
    writeFormatted(f, "*ENDTIME\n%s\n", platform::timeStamp().c_str());
    closeFile(f);
  }
}

void writeEndOfRunInformation() {
  const unsigned elapsed =
      static_cast<unsigned>(platform::monotonicSeconds() - kProcessStart);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char when[64];
  std::strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y\n", &local);  // asctime's form
  writeMessage("outptr", "note",
               formatText("************END OF RUN INFORMATION************\nElapsed time: %u "
                          "seconds\nCurrent time: %s",
                          elapsed, when));
  for (int number = run.startAgent; number <= run.finalAgent; ++number) {
    const Agent* agent = findAgent(number);
    const std::string best = agent && created ? bestDesignText(*agent) : "";
    if (!best.empty()) writeMessage("outptr|stdout", "output", best);
  }
  std::fputs("\n\n\tEnd of KARVO run.\n", stdout);
  std::fflush(stdout);
  writeMessage("outptr", "note", "End of KARVO run.");
  closeReports();
}

bool reportsCreated() { return created; }

void resetReports() { created = false; }

}  // namespace karvo
