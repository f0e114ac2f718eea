// Wall time and the solver's own CPU time of one batch through the evaluation flow: a small
// study in a temporary folder (one continuous variable, one analysis "trivial" whose command
// is a sh script that reads its tagged input and writes one output line), N designs with a
// given number of parallel designs. A plain program: one batch is one measurement.
//
//   evaluation_bench [designs=200] [parallel=2] [sleep seconds=0, fractions allowed]
//
// With a sleep, the wall time beyond ceil(designs / parallel) * sleep is what the flow adds
// per wave of designs: how soon it notices a job's end and starts the next one.
//
// Prints "designs", "wall_s", "solver_cpu_s" (user + system of this process, children not
// counted), "children_cpu_s" and "failed", one "name value" pair a line.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "evaluation/evaluation_flow.h"
#include "definitions/print_formats.h"
#include "definitions/process_file.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "evaluation/responses.h"
#include "evaluation/running_log.h"
#include "definitions/performance_file.h"
#include "definitions/representation.h"

namespace {

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// The study: the analysis copies its script into the run folder, reads the tagged input
// "trivial.inp" written from the template "{{x}}" and writes "RESULT F = <x>", which the
// General portal extracts as the response f.
void writeStudy(const std::string& dir, int parallel, double sleepSeconds) {
  writeFile(dir + "/Definitions.in",
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n*END\n");
  writeFile(dir + "/Representation0.in", "*VARIABLE\nname: x\nid: 1\nresolution: 5\n*END\n");
  writeFile(dir + "/Performance0.in",
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir + "/trivial.tpl", "{{x}}\n");
  std::string script = "read x < trivial.inp\n";
  if (sleepSeconds > 0) {
    char text[64];
    std::snprintf(text, sizeof text, "sleep %g\n", sleepSeconds);
    script += text;
  }
  script += "echo \"RESULT F = $x\" > trivial.out\n";
  writeFile(dir + "/trivial.sh", script);
  writeFile(dir + "/f.def", "file: trivial.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir + "/Process0.in",
            "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n"
            "*ANALYSIS\nname: trivial\nid: 1\n"
            "inputFile: trivial.sh, studyFolder, , file, yes\n"
            "inputTagFile: trivial.tpl, trivial.inp\n"
            "outputFile: trivial.out\noutputTagFile: f, f.def\noutputResponse: f\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh trivial.sh\nsuccessReturnValue: 0\n"
            "numDesigns: " + std::to_string(parallel) + "\n*END\n");
}

double seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  using namespace karvo;
  const int count = argc > 1 ? std::atoi(argv[1]) : 200;
  const int parallel = argc > 2 ? std::atoi(argv[2]) : 2;
  const double sleepSeconds = argc > 3 ? std::atof(argv[3]) : 0.0;
  if (count < 1 || parallel < 1 || sleepSeconds < 0) {
    std::fprintf(stderr, "usage: evaluation_bench [designs>=1] [parallel>=1] [sleep>=0]\n");
    return 2;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/karvo-evalbench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = buffer.data();
  writeStudy(dir, parallel, sleepSeconds);
  if (::chdir(dir.c_str()) != 0) return 1;

  resetRunState();
  run.workingDirectory = dir;
  run.runPrefix = "bench";
  run.settings.baselineSuppressed = 1;
  outptr = openFile(dir + "/bench.mes", "w");
  routeAnalysisMessages();
  readDefinitions();
  readRepresentationFile(0);
  readProcessFile(0);
  checkProcessConsistency();
  readPerformanceFile(0);
  Agent agent;
  agent.number = 0;
  agent.name = "bench";
  agent.type = kAgentOptimization;
  agent.representation = 0;
  agent.performance = 0;
  agent.process = 0;
  agents.push_back(agent);

  std::vector<Design> designs(count);
  for (int i = 0; i < count; ++i) {
    Design& design = designs[i];
    design.representation = 0;
    design.num_dvar = 1;
    design.encoding = kEncodingReal;
    design.chromosome = {0};
    design.reals = {2.0 * i / count};
  }

  // The console notes of the flow go to a file, as a solver's console would take them.
  std::fflush(stdout);
  const int savedOut = ::dup(1);
  const int console = ::open((dir + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(console, 1);
  ::close(console);

  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  BatchSummary summary = evaluateDesigns(agents[0], designs, standardEvaluationServices());
  const auto end = std::chrono::steady_clock::now();
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  rusage children{};
  ::getrusage(RUSAGE_CHILDREN, &children);

  std::fflush(stdout);
  ::dup2(savedOut, 1);
  ::close(savedOut);
  closeFile(outptr);
  outptr = nullptr;

  const double wall = std::chrono::duration<double>(end - start).count();
  const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                     seconds(after.ru_stime) - seconds(before.ru_stime);
  std::printf("designs %d\nparallel %d\nwall_s %.3f\nsolver_cpu_s %.3f\nchildren_cpu_s %.3f\n"
              "failed %d\n",
              summary.evaluated, parallel, wall, cpu,
              seconds(children.ru_utime) + seconds(children.ru_stime), summary.failed);
  if (!std::getenv("KARVO_BENCH_KEEP")) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  } else {
    std::fprintf(stderr, "study kept in %s\n", dir.c_str());
  }
  return summary.failed == 0 ? 0 : 1;
}
