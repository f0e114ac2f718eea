// Scheduled jobs: the dialogue with a batch scheduler through the compute resource's
// commands (submit, finish check, kill), as a user writes them for Slurm, PBS or LSF. One
// submission per job, then at most one finish-check command per call of finished(false);
// a finish check that lists the resource's jobs is run once for all of them (hundreds of
// jobs at once on a cluster, each checked every few seconds).
#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

#include "base/messages.h"
#include "external/job_internal.h"

#include "base/text.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo::job {

namespace {

bool isAlphanumeric(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// `word` occurs in `text` neither preceded nor followed by a letter or digit.
bool containsWord(const std::string& text, const std::string& word) {
  if (word.empty()) return false;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    bool before = at > 0 && isAlphanumeric(text[at - 1]);
    std::size_t after = at + word.size();
    bool following = after < text.size() && isAlphanumeric(text[after]);
    if (!before && !following) return true;
  }
  return false;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

bool isIdCharacter(char c) {
  static const std::string extra = "._-:@[]+";
  return isAlphanumeric(c) || extra.find(c) != std::string::npos;
}

// Reads the job id from the submission output as the resource describes (see the header).
std::string readJobId(const std::string& output, const SchedulerSettings& s) {
  std::vector<std::string> lines = splitLines(output);
  const std::string* line = nullptr;
  if (s.idLine > 0) {
    if (static_cast<std::size_t>(s.idLine) <= lines.size()) line = &lines[s.idLine - 1];
  } else if (s.idLine < 0) {
    int wanted = -s.idLine;
    for (std::size_t i = lines.size(); i-- > 0;) {
      if (!trimmed(lines[i]).empty() && --wanted == 0) {
        line = &lines[i];
        break;
      }
    }
  } else {
    for (const std::string& candidate : lines) {
      bool holds = s.idStart.empty() ? !trimmed(candidate).empty()
                                     : candidate.find(s.idStart) != std::string::npos;
      if (holds) {
        line = &candidate;
        break;
      }
    }
  }
  if (!line) return "";
  std::size_t begin = 0;
  if (!s.idStart.empty()) {
    begin = line->find(s.idStart);
    if (begin == std::string::npos) return "";
    begin += s.idStart.size();
  }
  std::size_t end = line->size();
  if (!s.idEnd.empty()) {
    end = line->find(s.idEnd, begin);
    if (end == std::string::npos) return "";
  }
  return trimmed(line->substr(begin, end - begin));
}

// A scheduler command as it is run: placeholders replaced, PATH extended when asked.
std::string schedulerCommand(const JobRecord& job, const std::string& pattern) {
  std::string command = substitutePlaceholders(pattern, job, true);
  if (job.scheduler.prependPath.empty()) return command;
  return "PATH=" + platform::shellQuote(job.scheduler.prependPath) + ":\"$PATH\"; export PATH; " +
         command;
}

// Runs one scheduler command, on the remote machine for a remote job (in its folder there,
// through the profile's execution command); false with lastError when it could not run to
// its end. For a remote job the exit status is the remote command's, or that of the
// execution program when it could not reach the machine (255 for ssh).
bool runSchedulerCommand(JobRecord& job, const char* what, const std::string& command,
                         platform::CapturedRun& run) {
  std::string started = command;
  std::string folder = job.scheduler.commandFolder;
  if (job.remote) {
    std::string error;
    const std::string there =
        "cd " + commandPath(job, folder) + " || exit 1; " + command;
    if (!job.options.remoteCommand(job.remoteBlock, there, started, error) ||
        trimmed(started).empty()) {
      job.lastError = formatText("Error in creating the execution command using the remote "
                                 "profile \"%s\" for the %s command \"%s\".\nMessage "
                                 "received:\n%s",
                                 trimmed(job.resource.value("jobRemoteProfile")).c_str(), what,
                                 command.c_str(), error.c_str());
      return false;
    }
    folder = job.localAnalysisDir;
  }
  run = platform::runCapturedCommand(started, folder, job.options.schedulerCommandSeconds);
  if (!run.started) {
    job.lastError = formatText("Could not run the %s command \"%s\" in the folder \"%s\": %s",
                               what, started.c_str(), folder.c_str(), run.error.c_str());
    return false;
  }
  if (run.timedOut) {
    job.lastError = formatText("The %s command \"%s\" did not finish within %g seconds.", what,
                               command.c_str(), job.options.schedulerCommandSeconds);
    return false;
  }
  return true;
}

// The exit status in the job's status file (on the remote machine for a remote job); false
// while the file is absent or unreadable there.
bool readStatusFile(JobRecord& job, int& status) {
  std::string text;
  if (job.remote) {
    platform::CapturedRun run;
    const std::string error = job.lastError;
    if (!runSchedulerCommand(job, "status", "cat " + commandPath(job, job.statusPath), run) ||
        run.exitStatus != 0) {
      job.lastError = error;  // a status file not there yet is no failure
      return false;
    }
    text = run.output;
  } else {
    std::FILE* file = std::fopen(job.statusPath.c_str(), "r");
    if (!file) return false;
    char buffer[64] = {0};
    std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    text.assign(buffer, n);
  }
  return parseInteger(trimmed(text), status) && status >= 0 && status <= 255;
}

// A remote job's logged output, read back from its output file there and appended to the
// local log once the job has come to its end. A failure leaves the log without it.
void fetchRemoteOutput(JobRecord& job) {
  if (!job.remote || job.localLog.empty() || job.outLog.empty()) return;
  platform::CapturedRun run;
  const std::string error = job.lastError;
  const bool read =
      runSchedulerCommand(job, "output", "cat " + commandPath(job, job.outLog), run) &&
      run.exitStatus == 0;
  job.lastError = error;
  if (!read || run.output.empty()) return;
  if (std::FILE* log = std::fopen(job.localLog.c_str(), "a")) {
    std::fwrite(run.output.data(), 1, run.output.size(), log);
    std::fclose(log);
  }
}

// One run of a finish command that lists jobs, kept for the other jobs of its resource.
struct SharedCheck {
  double takenAt = -1;     // monotonic s at which the run started
  bool ran = false;        // it ran to its end; else `error` says why not
  int exitStatus = 0;      // its exit status when it ran
  std::string output;      // its standard output and error
  std::string error;       // the lastError of a run that failed
};

// The latest run of each shared finish check, by resource name and command as run. A few
// entries: one per resource, more only when the command names the job itself.
std::map<std::string, SharedCheck>& sharedChecks() {
  static std::map<std::string, SharedCheck> checks;
  return checks;
}
constexpr std::size_t kSharedChecksKept = 64;

// The finish check's answer for `job`. A finish command that finds the job in its output
// ("finishFindJob") lists the jobs of the resource: a run of the same command made after the
// job last looked (and so after its submission) answers it as well as a new run would, and
// is used instead of one. Other finish commands (a file test, say) run for every job. False,
// with lastError, when the command could not run to its end.
bool finishCheckOutput(JobRecord& job, const std::string& command, SharedCheck& check) {
  const bool shared = job.scheduler.findJob != 0;
  const std::string key = job.resourceName + '\n' + command;
  std::map<std::string, SharedCheck>& checks = sharedChecks();
  auto found = shared ? checks.find(key) : checks.end();
  if (found != checks.end() && found->second.takenAt > job.checkSeenAt) {
    check = found->second;
  } else {
    check = SharedCheck{};
    check.takenAt = platform::monotonicSeconds();
    platform::CapturedRun run;
    check.ran = runSchedulerCommand(job, "finish-check", command, run);
    check.exitStatus = run.exitStatus;
    check.output = std::move(run.output);
    check.error = job.lastError;
    if (shared) {
      if (checks.size() >= kSharedChecksKept && !checks.count(key)) {
        auto oldest = checks.begin();
        for (auto it = checks.begin(); it != checks.end(); ++it) {
          if (it->second.takenAt < oldest->second.takenAt) oldest = it;
        }
        checks.erase(oldest);
      }
      checks[key] = check;
    }
  }
  job.checkSeenAt = check.takenAt;
  if (!check.ran) job.lastError = check.error;
  return check.ran;
}

bool endJob(JobRecord& job, bool statusRead, int status) {
  fetchRemoteOutput(job);
  job.state = JobState::kEnded;
  job.queued = false;
  job.ranToEnd = statusRead;
  job.exitCode = statusRead ? status : -1;
  return true;
}

// Reads and checks the resource's scheduler properties into job.scheduler.
bool readSchedulerSettings(JobRecord& job) {
  SchedulerSettings& s = job.scheduler;
  const PropertiesMap& res = job.resource;
  const char* resource = job.resourceName.c_str();
  auto fail = [&job](std::string text) {
    job.lastError = std::move(text);
    return false;
  };
  auto integer = [&](const char* key, int fallback, int& value) {
    std::string text = trimmed(res.value(key));
    if (text.empty()) {
      value = fallback;
      return true;
    }
    if (parseInteger(text, value)) return true;
    return fail(formatText("The property \"%s\" of the compute resource \"%s\" must be an "
                           "integer, found \"%s\".",
                           key, resource, text.c_str()));
  };

  s.submitCommand = trimmed(res.value("jobCommand"));
  if (s.submitCommand.empty()) {
    return fail(formatText("The Scheduled compute resource \"%s\" has no submission command "
                           "(\"jobCommand\").",
                           resource));
  }
  s.finishCommand = trimmed(res.value("finishCmd"));
  s.killCommand = trimmed(res.value("killCmd"));
  s.prependPath = trimmed(res.value("jobPrependPath"));
  std::string workdir = trimmed(res.value("jobUseWorkdir"));
  bool useWorkdir = workdir.empty() || isTrueFlag(workdir);
  s.commandFolder = useWorkdir || job.studyDir.empty() ? job.analysisDir : job.studyDir;

  s.checkExitStatus = isTrueFlag(res.value("finishCmdCheck"));
  if (!integer("finishReturnValue", 0, s.finishReturnValue)) return false;
  std::string find = lowerCase(trimmed(res.value("finishFindJob")));
  if (find.empty()) {
    s.findJob = 0;
  } else if (find == "id") {
    s.findJob = 1;
  } else if (find == "name") {
    s.findJob = 2;
  } else {
    return fail(formatText("The property \"finishFindJob\" of the compute resource \"%s\" must "
                           "be \"Name\" or \"ID\", found \"%s\".",
                           resource, trimmed(res.value("finishFindJob")).c_str()));
  }
  if (!s.checkExitStatus && s.findJob == 0) s.checkExitStatus = true;

  s.readId = isTrueFlag(res.value("jobReadID"));
  if (!integer("jobIdLineNum", 0, s.idLine)) return false;
  s.idStart = res.value("jobIDStart");
  s.idEnd = res.value("jobIDEnd");
  s.useJobStatus = isTrueFlag(res.value("useJobStatus"));
  s.startedText = trimmed(res.value("jobStartedText"));
  if (!integer("jobStartedCol", 0, s.startedColumn)) return false;
  if (s.startedColumn < 0) {
    return fail(formatText("The property \"jobStartedCol\" of the compute resource \"%s\" must "
                           "be 0 or more, found %d.",
                           resource, s.startedColumn));
  }
  bool needsId = s.finishCommand.find("%JOBID%") != std::string::npos ||
                 s.killCommand.find("%JOBID%") != std::string::npos ||
                 s.submitCommand.find("%JOBID%") != std::string::npos || s.findJob == 1;
  if (needsId && !s.readId) {
    return fail(formatText("The compute resource \"%s\" must set jobReadID (which must be "
                           "defined since status check command is based on job id).",
                           resource));
  }
  return true;
}

// The text of the job script: the plain scheduled script or the filled-in template.
bool makeScript(JobRecord& job, std::string& script) {
  const PropertiesMap& res = job.resource;
  std::string flag = trimmed(res.value("jobUseTemplate"));
  int useTemplate = 0;
  if (!flag.empty() && (!parseInteger(flag, useTemplate) || useTemplate < 0 || useTemplate > 1)) {
    job.lastError = formatText("Error in the analysis data definition. The Use job template flag "
                               "can only be 0 (don't use) or 1 (use), found %s.",
                               flag.c_str());
    return false;
  }
  if (useTemplate == 0) {
    script = scheduledJobScript(job);
    return true;
  }
  std::string name = trimmed(res.value("jobTemplate"));
  std::string base = trimmed(res.value("jobTemplatePrependPath"));
  if (base.empty()) {  // the template is read here, also for a remote job
    const std::string& study = job.remote ? job.localStudyDir : job.studyDir;
    base = study.empty() ? (job.remote ? job.localAnalysisDir : job.analysisDir) : study;
  }
  std::string path = absolutePath(name, base);
  std::FILE* file = name.empty() ? nullptr : std::fopen(path.c_str(), "r");
  if (!file) {
    job.lastError = "Could not read the job template \"" + path + "\": " +
                    (name.empty() ? std::string("no template (\"jobTemplate\") is named")
                                  : platform::systemErrorText(errno));
    return false;
  }
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  if (text.find("%COMMAND%") == std::string::npos) {
    job.lastError = "The job template \"" + path +
                    "\" has no %COMMAND% placeholder for the analysis command.";
    return false;
  }
  std::string block = scriptCommandBlock(job, true);
  if (!block.empty() && block.back() == '\n') block.pop_back();
  script = substitutePlaceholders(text, job, false, block);
  if (!script.empty() && script.back() != '\n') script += '\n';
  return true;
}

// Copies a remote job's script, written here, to its place on the remote machine.
bool copyScriptThere(JobRecord& job) {
  std::string command, error;
  if (!job.options.remoteCopy(job.remoteBlock, job.localScriptPath, job.scriptPath, command,
                              error) ||
      trimmed(command).empty()) {
    job.lastError = formatText("Error in creating the remote copy command using the remote "
                               "profile \"%s\" for file \"%s\".\nMessage received:\n%s",
                               trimmed(job.resource.value("jobRemoteProfile")).c_str(),
                               job.localScriptPath.c_str(), error.c_str());
    return false;
  }
  platform::CapturedRun run = platform::runCapturedCommand(command, job.localAnalysisDir,
                                                           job.options.schedulerCommandSeconds);
  if (!run.started || run.timedOut || run.exitStatus != 0) {
    const std::string how = !run.started  ? "could not start: " + run.error
                            : run.timedOut ? std::string("did not finish in time")
                                           : formatText("ended with exit status %d",
                                                        run.exitStatus);
    job.lastError = formatText("Could not copy the job script \"%s\" to \"%s\" on the remote "
                               "machine: the copy command \"%s\" %s. Its output:\n%s",
                               job.localScriptPath.c_str(), job.scriptPath.c_str(),
                               command.c_str(), how.c_str(), run.output.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool scheduledSubmit(JobRecord& job) {
  if (!readSchedulerSettings(job)) return false;
  const SchedulerSettings& s = job.scheduler;
  const std::string& local = job.remote ? job.localAnalysisDir : job.analysisDir;
  if (!platform::isDirectory(local)) {
    job.lastError = "The analysis folder \"" + local + "\" does not exist.";
    return false;
  }
  std::string script;
  if (!makeScript(job, script)) return false;
  std::string command = schedulerCommand(job, s.submitCommand);
  if (s.submitCommand.find("%JOBSCRIPT%") == std::string::npos) {
    command += " " + commandPath(job, job.scriptPath);
  }
  job.startedCommand = command;
  std::string submission = command;
  if (job.remote) {
    if (!writeJobScript(job.localScriptPath, script, job.lastError) || !copyScriptThere(job)) {
      return false;
    }
    // What an earlier job of this folder left there: its status and output files.
    std::string stale = "rm -f " + commandPath(job, job.statusPath) + " " +
                        commandPath(job, job.statusPath + ".tmp");
    if (!job.outLog.empty()) stale += " " + commandPath(job, job.outLog);
    submission = stale + "; " + command;
  } else {
    if (!writeJobScript(job.scriptPath, script, job.lastError)) return false;
    platform::removeFile(job.statusPath);
    platform::removeFile(job.statusPath + ".tmp");
  }
  platform::CapturedRun run;
  if (!runSchedulerCommand(job, "submission", submission, run)) return false;
  if (run.exitStatus != 0) {
    job.lastError = formatText("The submission command \"%s\" failed with exit status %d. Its "
                               "output:\n%s",
                               command.c_str(), run.exitStatus, run.output.c_str());
    return false;
  }
  if (s.readId) {
    std::string id = readJobId(run.output, s);
    if (id.empty()) {
      job.lastError = formatText(
          "Could not read the job id from the output of the submission command \"%s\" "
          "(jobIDStart \"%s\", jobIDEnd \"%s\", jobIdLineNum %d). The job may be queued "
          "without the solver watching it. Its output:\n%s",
          command.c_str(), s.idStart.c_str(), s.idEnd.c_str(), s.idLine, run.output.c_str());
      return false;
    }
    for (char c : id) {
      if (!isIdCharacter(c)) {
        job.lastError = formatText(
            "The job id \"%s\" read from the output of the submission command \"%s\" holds "
            "characters other than letters, digits and \"._-:@[]+\". The job may be queued "
            "without the solver watching it.",
            id.c_str(), command.c_str());
        return false;
      }
    }
    job.id = id;
  }
  job.queued = s.useJobStatus && !s.startedText.empty() && !s.finishCommand.empty();
  job.checkSeenAt = platform::monotonicSeconds();
  return true;
}

bool scheduledCheck(JobRecord& job) {
  const SchedulerSettings& s = job.scheduler;
  int status = 0;
  if (job.endReportedAt >= 0) {  // the scheduler said it ended: waiting for the status file
    if (readStatusFile(job, status)) return endJob(job, true, status);
    if (platform::monotonicSeconds() - job.endReportedAt >= job.options.statusFileGraceSeconds) {
      return endJob(job, false, -1);
    }
    return false;
  }
  if (s.finishCommand.empty()) {
    return readStatusFile(job, status) ? endJob(job, true, status) : false;
  }

  SharedCheck run;
  if (!finishCheckOutput(job, schedulerCommand(job, s.finishCommand), run)) return false;
  const std::string& key = s.findJob == 2 || job.id.empty() ? job.name : job.id;
  bool exitPasses = !s.checkExitStatus || run.exitStatus == s.finishReturnValue;
  bool listPasses = s.findJob == 0 || !containsWord(run.output, key);
  if (!exitPasses || !listPasses) {
    if (job.queued) {
      for (const std::string& line : splitLines(run.output)) {
        if (!containsWord(line, key)) continue;
        if (s.startedColumn == 0) {
          job.queued = line.find(s.startedText) == std::string::npos;
        } else {
          std::vector<std::string> fields;
          std::size_t pos = line.find_first_not_of(" \t");
          while (pos != std::string::npos) {
            std::size_t end = line.find_first_of(" \t", pos);
            fields.push_back(line.substr(pos, end == std::string::npos ? end : end - pos));
            pos = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
          }
          job.queued = !(static_cast<std::size_t>(s.startedColumn) <= fields.size() &&
                         fields[s.startedColumn - 1] == s.startedText);
        }
        break;
      }
    }
    return false;
  }
  if (readStatusFile(job, status)) return endJob(job, true, status);
  if (job.options.statusFileGraceSeconds <= 0) return endJob(job, false, -1);
  job.endReportedAt = platform::monotonicSeconds();
  job.queued = false;
  return false;
}

bool scheduledKill(JobRecord& job) {
  const SchedulerSettings& s = job.scheduler;
  int status = 0;
  if (readStatusFile(job, status)) return endJob(job, true, status);  // ended by itself
  if (s.killCommand.empty()) {
    job.lastError = formatText("The compute resource \"%s\" has no kill command (\"killCmd\").",
                               job.resourceName.c_str());
    return false;
  }
  std::string command = schedulerCommand(job, s.killCommand);
  platform::CapturedRun run;
  if (!runSchedulerCommand(job, "kill", command, run)) return false;
  if (run.exitStatus != 0) {
    job.lastError = formatText("The kill command \"%s\" failed with exit status %d. Its "
                               "output:\n%s",
                               command.c_str(), run.exitStatus, run.output.c_str());
    return false;
  }
  fetchRemoteOutput(job);
  job.state = JobState::kKilled;
  job.queued = false;
  job.ranToEnd = false;
  job.exitCode = -1;
  return true;
}

}  // namespace karvo::job
