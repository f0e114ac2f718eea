// The servers of the scripts folder that play remote machines for the end-to-end tests:
// "sshd" (an OpenSSH server on the loopback interface) and "cluster" (a one-node Slurm
// cluster), each started once for a test suite in a folder of its own.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "support/test_support.h"

namespace karvo::testing {

struct TestServer {
  std::unique_ptr<TempDir> dir;                 // the server's folder
  std::map<std::string, std::string> settings;  // the NAME=value lines its start printed
  std::string startError;                       // why it did not start; "" when it runs
};

// Runs "<script> start <folder>" in a fresh folder; `script` is the path of scripts/sshd or
// scripts/cluster (KARVO_SOURCE_DIR "/scripts/sshd").
TestServer startTestServer(const std::string& script);
// Runs "<script> stop <folder>" and removes the folder.
void stopTestServer(const std::string& script, TestServer& server);

// A Slurm client command against the cluster of `conf` (its slurm.conf).
ProcessResult slurmCommand(const std::string& conf, const std::string& command);
// Whether squeue of that cluster answers and lists no job within `seconds` (an ended job may
// show as COMPLETING a moment).
bool slurmQueueEmpties(const std::string& conf, double seconds);

}  // namespace karvo::testing
