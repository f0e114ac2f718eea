#include "support/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <sys/wait.h>

namespace karvo::testing {

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
  std::string command = "env";
  for (const std::string& entry : environment) {
    if (!entry.empty() && entry[0] == '-') {
      command += " -u " + shellQuote(entry.substr(1));
    } else {
      command += " " + shellQuote(entry);
    }
  }
  command += " " + shellQuote(KARVO_BINARY);
  for (const std::string& argument : arguments) command += " " + shellQuote(argument);
  return runShell(command, directory);
}

}  // namespace karvo::testing
