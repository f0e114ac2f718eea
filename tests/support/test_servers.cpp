#include "support/test_servers.h"

#include <chrono>
#include <sstream>
#include <thread>

#include <sys/stat.h>

namespace karvo::testing {

TestServer startTestServer(const std::string& script) {
  TestServer server;
  const std::string name = script.substr(script.rfind('/') + 1);
  server.dir = std::make_unique<TempDir>("karvo-" + name);
  // The remote user of the sshd reads the cluster's configuration and munge socket below it.
  ::chmod(server.dir->path().c_str(), 0755);
  const ProcessResult start =
      runShell(shellQuote(script) + " start " + shellQuote(server.dir->path()),
               server.dir->path());
  std::istringstream lines(start.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) {
      server.settings[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  if (start.status != 0) {
    std::string reason = start.err;
    while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    server.startError = "scripts/" + name + ", exit status " + std::to_string(start.status) +
                        ": " + reason;
  }
  return server;
}

void stopTestServer(const std::string& script, TestServer& server) {
  if (!server.dir) return;
  runShell(shellQuote(script) + " stop " + shellQuote(server.dir->path()), server.dir->path());
  server.dir.reset();
}

ProcessResult slurmCommand(const std::string& conf, const std::string& command) {
  return runShell("SLURM_CONF=" + shellQuote(conf) + " " + command, "/");
}

bool slurmQueueEmpties(const std::string& conf, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const ProcessResult listed = slurmCommand(conf, "squeue --noheader --format=%i");
    if (listed.status == 0 && listed.out.empty()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

}  // namespace karvo::testing
