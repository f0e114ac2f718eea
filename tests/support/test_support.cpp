#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/messages.h"
#include "platform/process.h"

// Leak checking under the sanitizers: libpython 3.11 keeps a few blocks of its built-in types
// past Py_FinalizeEx (a program that only starts and stops the interpreter shows the same 6
// blocks); allocations of the solver's own code are still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython3\n"; }

namespace karvo::testing {

bool noChildrenLeft() {
  const pid_t self = ::getpid();
  const pid_t guard = platform::guardProcess();
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::atol(name.c_str()));
    if (pid == guard) continue;
    const std::string stat = readFile(entry.path().string() + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %ld", &state, &parent) == 2 &&
        parent == self) {
      return false;
    }
  }
  return true;
}

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string unwrapped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && i > 0 && text[i - 1] == ' ' && i + 1 < text.size() &&
        text[i + 1] != '\n') {
      continue;
    }
    out += text[i];
  }
  return out;
}

bool holdsLines(const std::string& text, const std::string& lines) {
  if (lines.empty() || lines.back() != '\n') return false;  // not whole lines
  if (text.compare(0, lines.size(), lines) == 0) return true;
  return text.find("\n" + lines) != std::string::npos;
}

std::string shellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

ProcessResult runShell(const std::string& command, const std::string& directory) {
  TempDir capture("karvo-capture");
  std::string full = "cd " + shellQuote(directory) + " && { " + command + " ; } >" +
                     shellQuote(capture.file("out")) + " 2>" + shellQuote(capture.file("err")) +
                     " </dev/null";
  int raw = std::system(full.c_str());
  ProcessResult result;
  if (WIFEXITED(raw)) {
    result.status = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    result.status = 128 + WTERMSIG(raw);
  }
  result.out = readFile(capture.file("out"));
  result.err = readFile(capture.file("err"));
  return result;
}

ProcessResult runKarvo(const std::vector<std::string>& arguments, const std::string& directory,
                       const std::vector<std::string>& environment) {
  // env takes every -u before the first assignment.
  std::string command = "env";
  for (const std::string& entry : environment) {
    if (!entry.empty() && entry[0] == '-') command += " -u " + shellQuote(entry.substr(1));
  }
  for (const std::string& entry : environment) {
    if (entry.empty() || entry[0] != '-') command += " " + shellQuote(entry);
  }
  command += " " + shellQuote(KARVO_BINARY);
  for (const std::string& argument : arguments) command += " " + shellQuote(argument);
  // A run that hangs fails its test at the limit with what it was doing, instead of showing
  // only as the whole test program's timeout: TERM ends it in order, KILL follows.
  ProcessResult result = runShell(
      formatText("timeout -k 10 %d ", KARVO_RUN_LIMIT_SECONDS) + command, directory);
  if (result.status == 124) {
    auto tail = [](const std::string& text) {
      return text.size() > 4000 ? "..." + text.substr(text.size() - 4000) : text;
    };
    ADD_FAILURE() << "karvo did not end within " << KARVO_RUN_LIMIT_SECONDS << " s in "
                  << directory << ": " << command << "\n--- last standard output:\n"
                  << tail(result.out) << "\n--- last standard error:\n" << tail(result.err);
  }
  return result;
}

void writeFakeRemoteTools(const std::string& bin) {
  auto tool = [&bin](const std::string& name, const std::string& action) {
    const std::string log = "\"$(dirname \"$0\")/" + name + ".log\"";
    const std::string path = bin + "/" + name;
    writeFile(path, "#!/bin/sh\nfor a; do printf '[%s]' \"$a\"; last=$a; done >> " + log +
                        "\necho >> " + log + "\n" + action);
    using std::filesystem::perms;
    std::filesystem::permissions(path, perms::owner_all | perms::group_read | perms::group_exec |
                                           perms::others_read | perms::others_exec);
  };
  tool("ssh", "exec /bin/sh -c \"$last\"\n");
  tool("scp",
       "for a; do src=$dst; dst=$a; done\n"
       "here() { case $1 in [!/]*@*:*) printf %s \"${1#*:}\" ;; *) printf %s \"$1\" ;; esac; }\n"
       "exec cp -R -p \"$(here \"$src\")\" \"$(here \"$dst\")\"\n");
  tool("dos2unix", "");
}

void writeMinimalStudy(const std::string& directory) {
  writeFile(directory + "/Assembly.in",
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
            "representation: 0\nperformance: 0\n*END\n");
  writeFile(directory + "/Definitions.in",
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x*x\n*END\n");
  writeFile(directory + "/Representation0.in", "*VARIABLE\nname: x\nid: 1\nresolution: 11\n*END\n");
  writeFile(directory + "/Performance0.in",
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(directory + "/study.in",
            "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\nrandomSeed: 0.5\n"
            "mode: newStudy\n*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 200\n*END\n");
}

void writeStoppingCounter(const TempDir& dir, int stopAt, const std::string& interactionFile) {
  writeFile(dir.file("Process0.in"),
            "*PROCESS\nname: p\n*ANALYSIS\nname: count\nid: 1\n"
            "inputFile: count.sh, studyFolder, , file, yes\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh count.sh\nsuccessReturnValue: 0\n*END\n");
  writeFile(dir.file("count.sh"),
            "n=$(cat " + shellQuote(dir.file("count")) + " 2>/dev/null || echo 0)\n"
            "n=$((n + 1))\necho $n > " + shellQuote(dir.file("count")) + "\n"
            "if [ $n -eq " + std::to_string(stopAt) + " ]; then echo stop > " +
                shellQuote(dir.file(interactionFile)) + "; sleep 2; fi\n");
}

std::string withoutProgressLines(const std::string& err) {
  static const std::regex line("agent \\d+ .*  \\d\\d:\\d\\d:\\d\\d elapsed.*\n");
  return std::regex_replace(err, line, "");
}

void writeFormulaStudy(const TempDir& dir) {
  writeFile(dir.file("Assembly.in"),
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: reference\ntype: evaluation\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 10\n"
            "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 10\n"
            "*DEFINE_VARIABLE\nname: p\ntype: Parameter\nid: 3\nbaseline: 2.5\n"
            "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: x * x + y + p\nacceptMax: 50\n"
            "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: x + y\n*END\n");
  writeFile(dir.file("Representation0.in"),
            "*VARIABLE\nname: x\nid: 1\nresolution: 11\n*VARIABLE\nname: y\nid: 2\n"
            "resolution: 11\n*END\n");
  writeFile(dir.file("Performance0.in"),
            "*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: constraint\noption: less_equal\n"
            "factor: 10\ntarget: 10\nquadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir.file("Process0.in"), "*TYPE\nversion: 2019.01\n*PROCESS\nname: formulas\n*END\n");
  writeFile(dir.file("study.in"),
            "*STUDY\nname: formulas\nstartAgent: 0\nendAgent: 0\nfilePrefix: formulas\n"
            "randomSeed: 0.5\nmode: newStudy\n*RUN_OPTIONS\nuseBaseline: 1\n*AGENT\nid: 0\n"
            "method: GA\npopulationSize: 4\nnumCycles: 1\ngenerationsPerCycle: 1\n"
            "crossoverType: 1\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n*END\n");
  writeFile(dir.file("UserDesigns0_a.in"),
            "*DESIGN_ONLY\ndontMapDesign, a, 1, 2, 2.5\ndontMapDesign, b, 3, 4, 0.5\n"
            "dontMapDesign, c, 6, 5, 2.5\ndontMapDesign, d, 7, 1, 2.5\n*END\n");
}

}  // namespace karvo::testing
