// The run's page (results/run_page.h): the study's agents with their state, answer, plots and
// designs, the analyses running now and the last failed designs, as one HTML file with its
// styles and SVG plots inline. Built whole from the files of the run each time (a few
// milliseconds for a small study; the history read dominates for a large one).
#include "results/run_page.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/progress.h"
#include "base/run_files.h"
#include "base/run_state.h"
#include "definitions/method_settings.h"
#include "definitions/performance_file.h"
#include "definitions/process_file.h"
#include "definitions/study.h"
#include "evaluation/analysis_run.h"
#include "evaluation/history_file.h"
#include "platform/platform.h"
#include "results/history_table.h"
#include "results/plots.h"
#include "results/report.h"
#include "results/svg_writer.h"
#include "search/pareto_file.h"

namespace karvo::runpage {

namespace {

namespace fs = std::filesystem;

using svg::escapeText;

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "h1{font-size:1.5em}h2{font-size:1.2em;border-bottom:1px solid #ccc;margin-top:2em}"
    "h3{font-size:1em}"
    "table{border-collapse:collapse;margin:.5em 0}"
    "th,td{border:1px solid #ddd;padding:2px 8px;text-align:left;font-size:.9em}"
    "th{background:#f3f3f3}td.num{text-align:right;font-family:monospace}"
    ".running{color:#1f77b4}.complete{color:#2ca02c}.cancelled{color:#ff7f0e}"
    ".error,.failed{color:#d62728}"
    "svg{max-width:100%;height:auto;display:block;margin:.5em 0}";

std::string cell(const std::string& text, bool number = false) {
  return std::string(number ? "<td class=\"num\">" : "<td>") + escapeText(text) + "</td>";
}

std::string number(double value) { return formatText("%g", value); }

// The study file's name without ".in".
std::string studyStem() {
  std::string name = fs::path(run.studyInputPath).filename().string();
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".in") == 0) name.resize(name.size() - 3);
  return name.empty() ? std::string("study") : name;
}

std::string agentLabel(const Agent& agent) {
  return agent.name.empty() ? formatText("Agent %d", agent.number)
                            : formatText("Agent %d (%s)", agent.number, agent.name.c_str());
}

// The first error of the log at `path` ("" when none or unreadable): the first line of the
// first message under an "*ERROR" line, else the first line that speaks of an error.
std::string firstErrorLine(const std::string& path) {
  std::ifstream in(path);
  std::string line, loose;
  bool underError = false;
  for (int count = 0; count < 5000 && std::getline(in, line); ++count) {
    if (underError && !line.empty()) {
      return line.size() > 300 ? line.substr(0, 300) + "..." : line;
    }
    underError = line == "*ERROR";
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (loose.empty() && !underError && lower.find("error") != std::string::npos) loose = line;
  }
  return loose.size() > 300 ? loose.substr(0, 300) + "..." : loose;
}

// `path` as a link from the page's folder.
std::string linkTo(const std::string& path, const std::string& pageFolder) {
  std::error_code error;
  const fs::path relative = fs::path(path).lexically_relative(pageFolder);
  return relative.empty() ? path : relative.generic_string();
}

struct AgentData {
  const Agent* agent = nullptr;
  HistoryTable table;
  bool haveTable = false;
  std::string tableError;
};

// The value of design `row` in response column `column`, as the table shows it.
std::string responseText(const HistoryTable::Row& row, int column) {
  if (column < 0 || static_cast<std::size_t>(column) >= row.responseTexts.size()) return "";
  const double value = row.responseValues[static_cast<std::size_t>(column)];
  return std::isfinite(value) ? number(value) : row.responseTexts[static_cast<std::size_t>(column)];
}

int columnOf(const std::vector<std::string>& names, const std::string& name) {
  const auto it = std::find(names.begin(), names.end(), name);
  return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

// The objectives and constraints of the agent's performance definition, in its order.
std::vector<std::string> scoredResponses(const Agent& agent) {
  std::vector<std::string> names;
  if (const PerformanceDefinition* performance = findPerformance(agent.performance)) {
    for (int r = 0; r < performance->count; ++r) {
      const int flag = performance->flag[static_cast<std::size_t>(r)];
      if (flag == kResponseObjective || flag == kResponseConstraint || agent.type != kAgentOptimization) {
        names.push_back(performance->name[static_cast<std::size_t>(r)]);
      }
    }
  }
  return names;
}

std::string designTable(const char* cssClass, const HistoryTable& table,
                        const std::vector<std::string>& responses,
                        const std::vector<const HistoryTable::Row*>& rows) {
  std::string html = formatText("<table class=\"%s\"><tr><th>Design</th><th>Status</th>"
                                "<th>Feasible</th><th>Performance</th>",
                                cssClass);
  for (const std::string& name : table.variables) html += "<th>" + escapeText(name) + "</th>";
  for (const std::string& name : responses) html += "<th>" + escapeText(name) + "</th>";
  html += "</tr>\n";
  std::vector<int> columns;
  for (const std::string& name : responses) columns.push_back(columnOf(table.responses, name));
  for (const HistoryTable::Row* row : rows) {
    html += "<tr>" + cell(std::to_string(row->designNumber), true) + cell(row->status) +
            cell(row->feasible ? "yes" : "no") +
            cell(row->status == "failed" ? "" : number(row->performance), true);
    for (double value : row->variables) html += cell(number(value), true);
    for (int column : columns) html += cell(responseText(*row, column), true);
    html += "</tr>\n";
  }
  return html + "</table>\n";
}

// The best designs first: the feasible ones by performance, then the others that did not fail
// by their constraint violation.
std::vector<const HistoryTable::Row*> bestRows(const HistoryTable& table) {
  std::vector<const HistoryTable::Row*> rows;
  for (const auto& row : table.rows) {
    if (row.status != "failed") rows.push_back(&row);
  }
  const auto better = [](const HistoryTable::Row* a, const HistoryTable::Row* b) {
    if (a->feasible != b->feasible) return a->feasible;
    if (a->feasible) return a->performance > b->performance;
    return a->violation < b->violation;
  };
  const std::size_t keep = std::min<std::size_t>(rows.size(), kPageTableRows);
  std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(keep), rows.end(), better);
  rows.resize(keep);
  return rows;
}

std::string agentState(const Agent& agent, const PageView& view) {
  if (const auto it = view.agentStates.find(agent.number); it != view.agentStates.end()) {
    return it->second;
  }
  if (view.running) {
    if (progress.agent == agent.number) return "running";
    return agent.runState == 2 ? "complete" : "waiting";
  }
  if (view.exitState == "Complete" || agent.runState == 2) return "complete";
  std::string state = view.exitState;
  for (char& c : state) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return state.empty() ? "complete" : state;
}

std::string agentSection(const AgentData& data, const PageView& view) {
  const Agent& agent = *data.agent;
  const std::string state = agentState(agent, view);
  std::string html = formatText("<section class=\"agent\" id=\"agent-%d\">\n<h2>", agent.number) +
                     escapeText(agentLabel(agent)) + "</h2>\n";
  long evaluated = data.haveTable ? static_cast<long>(data.table.rows.size()) : 0;
  long failed = 0;
  for (const auto& row : data.table.rows) failed += row.status == "failed";
  const bool current = view.running && progress.agent == agent.number;
  long planned = plannedEvaluations(agent);
  if (current) {
    evaluated = std::max(evaluated, progress.evaluations);
    if (progress.budget > 0) planned = progress.budget;
  } else if (state == "complete" && planned == 0) {
    planned = evaluated;
  }
  html += "<table class=\"facts\">\n";
  html += "<tr><th>Kind</th>" + cell(agentTypeWord(agent.type)) + "</tr>\n";
  html += "<tr><th>Method</th>" + cell(methodWord(agent.method.code)) + "</tr>\n";
  html += "<tr><th>State</th><td class=\"" + state + "\">" + escapeText(state) + "</td></tr>\n";
  html += "<tr><th>Designs evaluated</th>" +
          cell(planned > 0 ? formatText("%ld of %ld", evaluated, planned)
                           : std::to_string(evaluated),
               true) +
          "</tr>\n";
  html += "<tr><th>Failed designs</th>" + cell(std::to_string(failed), true) + "</tr>\n";
  if (current) {
    const double elapsed = view.now - progress.agentStart;
    html += "<tr><th>Elapsed</th>" + cell(progressClock(elapsed), true) + "</tr>\n";
    if (planned > evaluated && progress.doneInRun > 0) {
      const double left = elapsed / static_cast<double>(progress.doneInRun) *
                          static_cast<double>(planned - evaluated);
      html += "<tr><th>Time left (about)</th>" + cell(progressClock(left), true) + "</tr>\n";
    }
  }
  html += "</table>\n";
  if (!data.haveTable) {
    if (!data.tableError.empty()) html += "<p class=\"error\">" + escapeText(data.tableError) + "</p>\n";
    return html + "</section>\n";
  }
  if (!data.table.warning.empty()) {
    html += "<p class=\"error\">" + escapeText(data.table.warning) + "</p>\n";
  }

  // The answer, as the end of the run gives it.
  const AgentAnswer answer = agentAnswer(agent);
  if (!answer.heading.empty()) {
    html += "<h3 class=\"answer\">" + escapeText(answer.heading) + "</h3>\n";
    if (!answer.lines.empty()) {
      html += "<table class=\"answer\">\n";
      for (const AnswerLine& line : answer.lines) {
        html += "<tr><th>" + escapeText(line.name) + "</th>" + cell(line.value, true) +
                cell(line.role) + "</tr>\n";
      }
      html += "</table>\n";
    }
  }

  // The plots of the plot command, inline.
  const std::string paretoPath = search::paretoFilePath(agent.number, false);
  const bool havePareto = platform::isRegularFile(paretoPath);
  for (const plots::PlotFile& plot :
       plots::agentPlots(agent, data.table, havePareto ? paretoPath : "")) {
    std::string text = plot.text;
    if (text.rfind("<?xml", 0) == 0) text.erase(0, text.find('\n') + 1);
    html += "<figure>" + text + "</figure>\n";
  }

  const std::vector<std::string> responses = scoredResponses(agent);
  if (agent.type == kAgentOptimization && havePareto) {
    const std::set<int> front = plots::paretoFront(paretoPath);
    if (!front.empty()) {
      std::vector<const HistoryTable::Row*> rows;
      for (const auto& row : data.table.rows) {
        if (front.count(row.designNumber)) rows.push_back(&row);
      }
      html += "<h3>First front</h3>\n" + designTable("front", data.table, responses, rows);
    }
  }
  if (agent.type == kAgentOptimization) {
    html += formatText("<h3>Best %d designs</h3>\n", kPageTableRows) +
            designTable("best", data.table, responses, bestRows(data.table));
  }
  std::vector<const HistoryTable::Row*> last;
  const std::size_t from =
      data.table.rows.size() > static_cast<std::size_t>(kPageTableRows)
          ? data.table.rows.size() - kPageTableRows
          : 0;
  for (std::size_t i = from; i < data.table.rows.size(); ++i) last.push_back(&data.table.rows[i]);
  html += formatText("<h3>Last %d designs</h3>\n", kPageTableRows) +
          designTable("last", data.table, responses, last);
  return html + "</section>\n";
}

// The running analyses of the current agent, from the running-analyses log in its lock file
// (evaluation/running_log.h); `firstSeen` keeps when this process first saw each job.
std::string runningSection(const PageView& view, std::map<std::string, double>& firstSeen) {
  std::string rows;
  if (view.running && progress.agent >= 0) {
    std::ifstream in(agentFileName(progress.agent, ".lock"));
    std::string analysis, line;
    std::map<std::string, double> seen;
    while (std::getline(in, analysis) && analysis != "*INPROGRESS" && std::getline(in, line)) {
      std::size_t start = 0;
      while (start < line.size()) {
        std::size_t end = line.find(',', start);
        if (end == std::string::npos) end = line.size();
        std::string job = line.substr(start, end - start);
        start = end + 1;
        job.erase(0, job.find_first_not_of(' '));
        if (job.empty()) continue;
        const std::string key = analysis + "/" + job;
        const auto it = firstSeen.find(key);
        const double since = it == firstSeen.end() ? view.now : it->second;
        seen[key] = since;
        const std::string design = job.substr(0, job.find('.'));
        const std::string caseNumber = job.find('.') == std::string::npos ? "1" : job.substr(job.find('.') + 1);
        rows += "<tr>" + cell(design, true) + cell(caseNumber, true) + cell(analysis) +
                cell(progressClock(view.now - since), true) + "</tr>\n";
      }
    }
    firstSeen = std::move(seen);
  }
  if (rows.empty()) return "";
  return "<section id=\"running\">\n<h2>Running analyses</h2>\n<table class=\"running\">"
         "<tr><th>Design</th><th>Case</th><th>Analysis</th><th>Running for (at least)</th></tr>\n" +
         rows + "</table>\n</section>\n";
}

// The last failed designs of every agent, each with the first error line of its logs and a
// link to the log that holds it.
std::string failedSection(const std::vector<AgentData>& agents, const PageView& view) {
  struct Failed {
    int agent;
    int design;
  };
  std::vector<Failed> failed;
  for (const AgentData& data : agents) {
    for (const auto& row : data.table.rows) {
      if (row.status == "failed") failed.push_back({data.agent->number, row.designNumber});
    }
  }
  if (failed.empty()) return "";
  if (failed.size() > static_cast<std::size_t>(kPageFailedRows)) {
    failed.erase(failed.begin(), failed.end() - kPageFailedRows);
  }
  std::string html = formatText("<section id=\"failures\">\n<h2>Last failed designs</h2>\n"
                                "<table class=\"failures\"><tr><th>Agent</th><th>Design</th>"
                                "<th>First error</th><th>Log</th></tr>\n");
  for (const Failed& f : failed) {
    const Agent* agent = findAgent(f.agent);
    const std::string folder =
        platform::joinPath(agentPostFolder(f.agent), formatText("Design%d", f.design));
    std::vector<std::string> logs;
    if (const Process* process = agent ? findProcess(agent->process) : nullptr) {
      for (const Analysis& analysis : process->analyses) {
        logs.push_back(platform::joinPath(platform::joinPath(folder, analysis.name), "analysis.log"));
      }
    }
    logs.push_back(platform::joinPath(folder, "design.log"));
    std::string error, log;
    for (const std::string& candidate : logs) {
      error = firstErrorLine(candidate);
      if (!error.empty()) {
        log = candidate;
        break;
      }
    }
    if (log.empty()) log = logs.back();
    const std::string link = linkTo(log, view.pageFolder);
    html += "<tr>" + cell(std::to_string(f.agent), true) + cell(std::to_string(f.design), true) +
            cell(error) + "<td><a href=\"" + escapeText(link) + "\">" + escapeText(link) +
            "</a></td></tr>\n";
  }
  return html + "</table>\n</section>\n";
}

struct LiveState {
  bool started = false;
  bool ended = false;
  double nextDue = 0.0;
  long writes = 0;
  std::map<std::string, double> firstSeen;
};
LiveState live;
std::map<std::string, double> reportFirstSeen;

void buildAndWrite(bool running) {
  PageView view;
  view.running = running;
  view.exitState = running ? "" : run.exitState;
  view.pageFolder = run.workingDirectory;
  view.now = platform::monotonicSeconds();
  std::string error;
  if (!writePage(pagePath(), pageText(view), error) && !running) {
    writeMessage("outptr|stderr", "warning",
                 formatText("The run's page cannot be written: %s.", error.c_str()));
  }
  ++live.writes;
}

}  // namespace

std::string pagePath() { return platform::joinPath(run.workingDirectory, studyStem() + ".html"); }

long plannedEvaluations(const Agent& agent) {
  if (agent.type == kAgentDoe || agent.type == kAgentReliability) return 0;
  const MethodSettings& method = agent.method;
  if (method.numEvals > 0) return method.numEvals;
  if (method.populationSize > 0) {
    return static_cast<long>(method.populationSize) * std::max(method.generationsPerCycle, 1) *
           std::max(method.numCycles, 1);
  }
  return 0;
}

std::string pageText(const PageView& view) {
  std::vector<AgentData> shown;
  for (const Agent& agent : agents) {
    if (!view.wholeStudy && (agent.number < run.startAgent || agent.number > run.finalAgent)) continue;
    AgentData data;
    data.agent = &agent;
    const std::string path = historyFilePath(agent.number);
    if (platform::isRegularFile(path)) {
      data.haveTable = readHistoryTable(agent.number, path, data.table, data.tableError);
    }
    if (view.wholeStudy && !data.haveTable && data.tableError.empty()) continue;
    shown.push_back(std::move(data));
  }
  const std::string title = "KARVO study " + studyStem();
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  if (view.running) {
    html += formatText("<meta http-equiv=\"refresh\" content=\"%d\">\n", kPageRefreshSeconds);
  }
  html += "<title>" + escapeText(title) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  html += "<h1>" + escapeText(title) + "</h1>\n<p class=\"run\">";
  if (view.running) {
    html += formatText("Running for %s; this page reloads itself every %d s.",
                       progressClock(view.now - progress.runStart).c_str(), kPageRefreshSeconds);
  } else if (!view.exitState.empty()) {
    html += "The run has ended: " + escapeText(view.exitState) + ".";
  }
  html += " Written " + escapeText(platform::timeStamp()) + ".</p>\n";
  if (shown.empty()) html += "<p>The study has no results yet.</p>\n";
  html += runningSection(view, view.running ? live.firstSeen : reportFirstSeen);
  for (const AgentData& data : shown) html += agentSection(data, view);
  html += failedSection(shown, view);
  return html + "</body>\n</html>\n";
}

bool writePage(const std::string& path, const std::string& text, std::string& error) {
  return platform::replaceFileContents(path, text, &error);
}

void runPageStart() {
  live = LiveState{};
  live.started = true;
}

void runPageUpdate(bool force) {
  if (!live.started || live.ended) return;
  const double start = platform::monotonicSeconds();
  if (!force && start < live.nextDue) return;
  buildAndWrite(true);
  const double end = platform::monotonicSeconds();
  live.nextDue = end + std::max(kPageGapSeconds, kPageCostFactor * (end - start));
}

void runPageEnd() {
  if (!live.started || live.ended) return;
  live.ended = true;
  buildAndWrite(false);
}

long runPageWrites() { return live.writes; }

}  // namespace karvo::runpage
