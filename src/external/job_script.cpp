// Job scripts and the small text helpers of the job controller: flags, numbers, paths, job
// names and placeholders. One script is written per submitted job (a few hundred bytes).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "external/job_internal.h"

#include "base/text.h"
#include "platform/platform.h"

namespace karvo::job {

namespace {

std::string withNewline(std::string text) {
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text;
}

// The first comment lines of every script.
std::string scriptHeader(const JobRecord& job) {
  return "#!/bin/sh\n"
         "# Job script written by KARVO MDO for design " + job.designNum + ", analysis " +
         job.analysisNum + ", case " + job.caseNum +
         ".\n# It runs the command in the analysis folder and exits with the command's status.\n";
}

}  // namespace

bool isTrueFlag(const std::string& value) {
  bool flag = false;
  return parseFlag(lowerCase(value), flag) && flag;
}

std::string absolutePath(const std::string& path, const std::string& base) {
  if (!path.empty() && path[0] == platform::kPathSeparator) return path;
  std::string folder = base;
  if (folder.empty() || folder[0] != platform::kPathSeparator) {
    folder = platform::joinPath(platform::currentDirectory(), folder);
  }
  if (path.empty()) return folder;
  return platform::joinPath(folder, path);
}

std::string sanitizeName(const std::string& name) {
  std::string clean = name;
  for (char& c : clean) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '_' || c == '-';
    if (!keep) c = '_';
  }
  return clean;
}

std::string commandPath(const JobRecord& job, const std::string& path) {
  if (!job.remote || path.empty() || path[0] == '/') return platform::shellQuote(path);
  const std::string below = path.rfind("~/", 0) == 0 ? path.substr(2) : path;
  return "\"$HOME\"/" + platform::shellQuote(below);
}

std::string substitutePlaceholders(const std::string& text, const JobRecord& job, bool forShell,
                                   const std::string& commandBlock) {
  auto path = [forShell, &job](const std::string& p) { return forShell ? commandPath(job, p) : p; };
  struct Entry {
    std::string_view name;
    std::string value;
  };
  const Entry entries[] = {
      {"JOBID", job.id},
      {"JOBNAME", job.name},
      {"JOBSCRIPT", path(job.scriptPath)},
      {"ANALYSISDIR", path(job.analysisDir)},
      {"STUDYDIR", path(job.studyDir)},
      {"DESIGN", job.designNum},
      {"ANALYSIS", job.analysisNum},
      {"CASE", job.caseNum},
  };
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t open = text.find('%', pos);
    if (open == std::string::npos) break;
    out.append(text, pos, open - pos);
    std::size_t close = text.find('%', open + 1);
    if (close == std::string::npos) {
      pos = open;
      break;
    }
    std::string_view name(text.data() + open + 1, close - open - 1);
    const std::string* value = nullptr;
    for (const Entry& e : entries) {
      if (e.name == name) value = &e.value;
    }
    bool isCommand = !forShell && name == "COMMAND";
    if (value || isCommand) {
      out += isCommand ? commandBlock : *value;
      pos = close + 1;
    } else {
      out += '%';  // not a placeholder: keep it, the closing '%' may open the next one
      pos = open + 1;
    }
  }
  out.append(text, pos, std::string::npos);
  return out;
}

std::string scriptCommandBlock(const JobRecord& job, bool withStatus) {
  // A remote job starts in the home folder, where its relative paths (the login shell's)
  // hold; its command changes into the remote analysis folder itself.
  std::string block = job.remote ? std::string("cd || exit 1\n")
                                 : "cd " + platform::shellQuote(job.analysisDir) + " || exit 1\n";
  if (job.traced) block += "set -x\n";
  if (!withStatus) return block + withNewline(job.command);
  std::string redirect;
  if (!job.outLog.empty() && job.outLog == job.errLog) {
    redirect = " >> " + commandPath(job, job.outLog) + " 2>&1";
  } else {
    if (!job.outLog.empty()) redirect += " >> " + commandPath(job, job.outLog);
    if (!job.errLog.empty()) redirect += " 2>> " + commandPath(job, job.errLog);
  }
  std::string temporary = commandPath(job, job.statusPath + ".tmp");
  block += "(\n" + withNewline(job.command) + ")" + redirect + "\n";
  block += "karvo_job_status=$?\n";
  block += "echo \"$karvo_job_status\" > " + temporary + " && mv -f " + temporary + " " +
           commandPath(job, job.statusPath) + "\n";
  return block;
}

std::string directJobScript(const JobRecord& job) {
  return scriptHeader(job) + scriptCommandBlock(job, false) + "exit $?\n";
}

std::string scheduledJobScript(const JobRecord& job) {
  return scriptHeader(job) + scriptCommandBlock(job, true) + "exit $karvo_job_status\n";
}

bool writeJobScript(const std::string& path, const std::string& text, std::string& error) {
  std::string temporary = path + ".tmp" + std::to_string(static_cast<long>(::getpid()));
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (!file) {
    error = "Could not write the job script \"" + path + "\": " + platform::systemErrorText(errno);
    return false;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  int code = errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    code = errno;
  }
  if (written && ::chmod(temporary.c_str(), 0755) != 0) {
    written = false;
    code = errno;
  }
  if (written && std::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    code = errno;
  }
  if (!written) {
    std::remove(temporary.c_str());
    error = "Could not write the job script \"" + path + "\": " + platform::systemErrorText(code);
    return false;
  }
  return true;
}

}  // namespace karvo::job
