// The cost of the history file. A plain program with three parts, chosen by the first
// argument:
//
//   history_bench write [designs=1000,10000,100000]
//       one rewrite of the history file at each count of stored designs: wall time of the
//       rewrite, the file's size per design, and the peak resident size of the process after
//       the largest table (stored-design table and kept entries) was built
//   history_bench run [evaluations=20000] [batch=100]
//       a formula-only study (ten continuous variables, two formula responses, no analysis)
//       evaluated in batches through the evaluation flow, once with the history written at
//       the end of every batch and once with it disabled, alternating for a number of
//       rounds: wall time of each, and for the runs with the history the time spent in its
//       writes (a share of the same run, which the drift of the disk between runs does not
//       touch)
//
// Prints one "name value" pair a line.
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/performance_file.h"
#include "definitions/process_file.h"
#include "definitions/representation.h"
#include "definitions/response_definitions.h"
#include "definitions/study.h"
#include "definitions/variables.h"
#include "evaluation/agent_results.h"
#include "evaluation/evaluation_flow.h"
#include "evaluation/formula.h"
#include "evaluation/history_file.h"
#include "evaluation/responses.h"

namespace {

using namespace karvo;

constexpr int kVariables = 10;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// Ten continuous variables x0..x9 over [0, 1] with 1001 values each; f = sum of squares,
// g = x0 - x1; f is minimised.
void writeStudy(const std::string& dir) {
  std::string definitions, representation;
  for (int v = 0; v < kVariables; ++v) {
    definitions += "*DEFINE_VARIABLE\nname: x" + std::to_string(v) + "\ntype: Continuous\nid: " +
                   std::to_string(v + 1) + "\nmin: 0\nbaseline: 0.5\nmax: 1\n";
    representation += "*VARIABLE\nname: x" + std::to_string(v) + "\nid: " +
                      std::to_string(v + 1) + "\nresolution: 1001\n";
  }
  std::string sum;
  for (int v = 0; v < kVariables; ++v) sum += (v ? " + x" : "x") + std::to_string(v) + "**2";
  writeFile(dir + "/Definitions.in",
            definitions + "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: " + sum +
                "\n*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: x0 - x1\n*END\n");
  writeFile(dir + "/Representation0.in", representation + "*END\n");
  writeFile(dir + "/Performance0.in",
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: response\n*END\n");
  writeFile(dir + "/Process0.in", "*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n");
}

std::string temporaryFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/karvo-histbench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return buffer.data();
}

void loadStudy(const std::string& dir) {
  writeStudy(dir);
  if (::chdir(dir.c_str()) != 0) std::exit(1);
  resetRunState();
  resetDefinitions();
  resetRepresentations();
  resetProcesses();
  resetPerformances();
  resetResponseDefinitions();
  resetResponseProcessing();
  resetEvaluationFlow();
  resetAgentResults();
  agents.clear();
  run.workingDirectory = dir;
  run.runPrefix = "bench";
  run.settings.baselineSuppressed = 1;
  outptr = openFile(dir + "/bench.mes", "w");
  routeAnalysisMessages();
  readDefinitions();
  readRepresentationFile(0);
  readProcessFile(0);
  readPerformanceFile(0);
  Agent agent;
  agent.number = 0;
  agent.name = "bench";
  agent.type = kAgentEvaluation;
  agent.representation = 0;
  agent.performance = 0;
  agent.process = 0;
  agents.push_back(agent);
}

// Design `i` of a fixed sequence: distinct designs, every variable on its grid.
Design designNumbered(long i) {
  Design design;
  design.representation = 0;
  design.num_dvar = kVariables;
  design.encoding = kEncodingChromosome;
  design.chromosome.resize(kVariables);
  design.reals.resize(kVariables);
  unsigned long long state = 0x9E3779B97F4A7C15ULL * static_cast<unsigned long long>(i + 1);
  for (int v = 0; v < kVariables; ++v) {
    state ^= state >> 31;
    state *= 0xBF58476D1CE4E5B9ULL;
    design.chromosome[v] = static_cast<int>(state % 1001);
    design.reals[v] = design.chromosome[v] / 1000.0;
  }
  return design;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

long peakResidentKilobytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int writeBench(const std::vector<long>& counts) {
  const std::string dir = temporaryFolder();
  loadStudy(dir);
  Agent& agent = agents[0];
  AgentResults& results = agentResults(agent);
  const HistoryShape shape = historyShapeOfAgent(agent);
  EvaluationContext context;
  long stored = 0;
  std::printf("peak_rss_before_kb %ld\n", peakResidentKilobytes());
  for (long count : counts) {
    for (; stored < count; ++stored) {
      Design design = designNumbered(stored);
      design.designNumber = static_cast<int>(stored + 1);
      design.status = kDesignSuccess;
      design.performance = -0.25 * static_cast<double>(stored % 97);
      design.responses.resize(2);
      design.responses[0].values = {-design.performance};
      design.responses[0].present = true;
      design.responses[0].status = kStatusSuccess;
      design.responses[1].values = {design.reals[0] - design.reals[1]};
      design.responses[1].present = true;
      design.responses[1].status = kStatusSuccess;
      context.responses["f"] = design.responses[0];
      context.responses["g"] = design.responses[1];
      designStoreInsert(results.store, design);
      std::string entry;
      encodeHistoryEntry(entry, historyEntryOf(agent, design, &context, {}, &shape), shape);
      appendHistoryEntry(results.history, entry);
    }
    results.counters[0] = static_cast<int>(stored);
    // The best of three rewrites: the first may still find the page cache cold.
    double best = 1e9;
    for (int repeat = 0; repeat < 3; ++repeat) {
      const double start = now();
      writeHistory(agent, results);
      best = std::min(best, now() - start);
    }
    const auto size = std::filesystem::file_size(historyFilePath(agent.number));
    std::printf("designs %ld\nwrite_s %.4f\nfile_bytes %ju\nbytes_per_design %.1f\n", count,
                best, static_cast<std::uintmax_t>(size),
                static_cast<double>(size) / static_cast<double>(count));
  }
  std::printf("peak_rss_kb %ld\n", peakResidentKilobytes());
  std::filesystem::remove_all(dir);
  return 0;
}

double formulaRun(long evaluations, int batch, bool history) {
  const std::string dir = temporaryFolder();
  loadStudy(dir);
  run.settings.historyDisabled = history ? 0 : 1;
  const double start = now();
  for (long done = 0; done < evaluations; done += batch) {
    std::vector<Design> designs;
    for (long i = done; i < std::min(evaluations, done + batch); ++i) {
      designs.push_back(designNumbered(i));
    }
    evaluateDesigns(agents[0], designs, standardEvaluationServices());
  }
  const double wall = now() - start;
  if (history) {
    const AgentResults& results = agentResults(agents[0]);
    std::fprintf(stderr, "round: wall_s %.2f history_writes %ld write_s %.2f write_share %.3f\n",
                 wall, results.historyWrites, results.writeSeconds, results.writeSeconds / wall);
  }
  closeFile(outptr);
  outptr = nullptr;
  resetAgentResults();
  agents.clear();
  std::filesystem::remove_all(dir);
  return wall;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string part = argc > 1 ? argv[1] : "write";
  // The notes of the flow go to a file, as a solver's console would take them.
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  FILE* out = std::fopen("/dev/stderr", "w");
  if (part == "write") {
    std::vector<long> counts;
    for (int a = 2; a < argc; ++a) counts.push_back(std::atol(argv[a]));
    if (counts.empty()) counts = {1000, 10000, 100000};
    std::fflush(stdout);
    if (!std::freopen("/dev/stderr", "w", stdout)) return 1;
    return writeBench(counts);
  }
  if (part == "run") {
    const long evaluations = argc > 2 ? std::atol(argv[2]) : 20000;
    const int batch = argc > 3 ? std::atoi(argv[3]) : 100;
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    startFormulaInterpreter();
    // The two kinds of run alternate, each after the disk has caught up with the last one
    // (sync), so that neither pays for the other's folders; the medians are compared.
    std::vector<double> off, on;
    for (int round = 0; round < rounds; ++round) {
      ::sync();
      off.push_back(formulaRun(evaluations, batch, false));
      ::sync();
      on.push_back(formulaRun(evaluations, batch, true));
    }
    std::sort(off.begin(), off.end());
    std::sort(on.begin(), on.end());
    const double medianOff = off[off.size() / 2], medianOn = on[on.size() / 2];
    std::fprintf(out, "evaluations %ld\nbatch %d\nrounds %d\nhistory_off_s %.2f (%.2f .. %.2f)\n"
                      "history_on_s %.2f (%.2f .. %.2f)\nhistory_share %.3f\n",
                 evaluations, batch, rounds, medianOff, off.front(), off.back(), medianOn,
                 on.front(), on.back(), (medianOn - medianOff) / medianOn);
    return 0;
  }
  std::fprintf(out, "usage: history_bench write [designs...] | run [evaluations] [batch]\n");
  return 2;
}
