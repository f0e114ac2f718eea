// Scheduled jobs: the dialogue with a batch scheduler through the compute resource's
// commands (submit, finish check, kill), as a user writes them for Slurm, PBS or LSF. One
// submission per job, then at most one finish-check command per call of finished(false);
// a finish check that lists the resource's jobs is run once for all of them (hundreds of
// jobs at once on a cluster, each checked every few seconds).
#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>
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

// Every `from` in `text` replaced by `to`.
std::string replacedAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// `line` lists task `task` of array `arrayId` as part of a range of waiting members:
// "<arrayId>_[0-3,5,7-9%2]" (the part after '%' limits how many run at once).
bool listsArrayTask(const std::string& line, const std::string& arrayId, int task) {
  const std::string head = arrayId + "_[";
  for (std::size_t at = line.find(head); at != std::string::npos; at = line.find(head, at + 1)) {
    if (at > 0 && isAlphanumeric(line[at - 1])) continue;
    std::size_t close = line.find(']', at);
    if (close == std::string::npos) return false;
    std::string ranges = line.substr(at + head.size(), close - at - head.size());
    ranges = ranges.substr(0, ranges.find('%'));
    std::size_t pos = 0;
    while (pos <= ranges.size()) {
      std::size_t comma = ranges.find(',', pos);
      if (comma == std::string::npos) comma = ranges.size();
      std::string range = ranges.substr(pos, comma - pos);
      std::size_t dash = range.find('-');
      int low = 0, high = 0;
      if (parseInteger(range.substr(0, dash), low) &&
          parseInteger(dash == std::string::npos ? range.substr(0, dash) : range.substr(dash + 1),
                       high) &&
          low <= task && task <= high) {
        return true;
      }
      pos = comma + 1;
    }
  }
  return false;
}

// `text` (the finish check's output, or one line of it) lists the job under `key`.
bool listsJob(const std::string& text, const JobRecord& job, const std::string& key) {
  return containsWord(text, key) ||
         (job.arrayTask >= 0 && listsArrayTask(text, job.arrayId, job.arrayTask));
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
  auto textOr = [&res](const char* key, const char* fallback) {
    std::string text = trimmed(res.value(key));
    return text.empty() ? std::string(fallback) : text;
  };
  s.arrayOption = textOr("jobArrayOption", "--array=0-%LASTTASK%");
  s.arrayIndexVar = textOr("jobArrayIndexVar", "SLURM_ARRAY_TASK_ID");
  s.arrayMemberId = textOr("jobArrayMemberID", "%JOBID%_%TASK%");
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

// The removal, on the remote machine, of what earlier jobs of the folders of `jobs` left
// there: their status and output files. The jobs whose files have the same names (those of
// one analysis) share one loop over their folders, which keeps the command short enough for
// an array of a few thousand members. Ends with "; ".
std::string staleFilesRemoval(const std::vector<JobRecord*>& jobs) {
  std::vector<std::pair<std::string, std::string>> loops;  // file names, their folders
  for (const JobRecord* job : jobs) {
    // The status and output files lie in the folder of the job script.
    const std::size_t slash = job->statusPath.rfind('/');
    auto inFolder = [slash](const std::string& path) {
      return "\"$d\"/" + platform::shellQuote(path.substr(slash + 1));
    };
    std::string names = inFolder(job->statusPath) + " " + inFolder(job->statusPath + ".tmp");
    if (!job->outLog.empty()) names += " " + inFolder(job->outLog);
    auto loop = std::find_if(loops.begin(), loops.end(),
                             [&names](const auto& entry) { return entry.first == names; });
    if (loop == loops.end()) loop = loops.insert(loops.end(), {names, ""});
    loop->second += " " + commandPath(*job, job->statusPath.substr(0, slash));
  }
  std::string command;
  for (const auto& [names, folders] : loops) {
    command += "for d in" + folders + "; do rm -f " + names + "; done; ";
  }
  return command;
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

// The jobs held for submitJobBatches, in the order of their submission.
std::vector<JobRecord*>& heldJobs() {
  static std::vector<JobRecord*> held;
  return held;
}

// Reads and checks the job id in the submission output; false with lastError.
bool readSubmittedId(JobRecord& job, const std::string& command, const std::string& output,
                     std::string& id) {
  const SchedulerSettings& s = job.scheduler;
  id = readJobId(output, s);
  if (id.empty()) {
    job.lastError = formatText(
        "Could not read the job id from the output of the submission command \"%s\" "
        "(jobIDStart \"%s\", jobIDEnd \"%s\", jobIdLineNum %d). The job may be queued "
        "without the solver watching it. Its output:\n%s",
        command.c_str(), s.idStart.c_str(), s.idEnd.c_str(), s.idLine, output.c_str());
    return false;
  }
  for (char c : id) {
    if (!isIdCharacter(c)) {
      job.lastError = formatText(
          "The job id \"%s\" read from the output of the submission command \"%s\" holds "
          "characters other than letters, digits and \"._-:@[]+\". The job may be queued "
          "without the solver watching it.",
          id.c_str(), command.c_str());
      id.clear();
      return false;
    }
  }
  return true;
}

// The job is with the scheduler from now on.
void markSubmitted(JobRecord& job, const std::string& command) {
  const SchedulerSettings& s = job.scheduler;
  job.startedCommand = command;
  job.queued = s.useJobStatus && !s.startedText.empty() && !s.finishCommand.empty();
  job.checkSeenAt = platform::monotonicSeconds();
}

// Runs the submission `command` (as `started`: with what has to run before it); false with
// lastError when it failed.
bool runSubmission(JobRecord& job, const std::string& command, const std::string& started,
                   platform::CapturedRun& run) {
  if (!runSchedulerCommand(job, "submission", started, run)) return false;
  if (run.exitStatus == 0) return true;
  job.lastError = formatText("The submission command \"%s\" failed with exit status %d. Its "
                             "output:\n%s",
                             command.c_str(), run.exitStatus, run.output.c_str());
  return false;
}

// Submits `members` (held jobs of one resource and analysis, at least one) as one array.
void submitArray(const std::vector<JobRecord*>& members) {
  JobRecord array = *members.front();
  const SchedulerSettings& s = array.scheduler;
  const std::string& lastDesign = members.back()->designNum;
  if (lastDesign != array.designNum) array.designNum += "-" + lastDesign;
  array.name = sanitizeName(substitutePlaceholders(array.namePattern, array, false));
  array.scriptPath = array.statusPath.substr(0, array.statusPath.size() - 11) + ".array.sh";
  if (array.remote) {  // written here beside the first member's script, then copied there
    array.localScriptPath =
        array.localScriptPath.substr(0, array.localScriptPath.rfind('/') + 1) +
        array.scriptPath.substr(array.scriptPath.rfind('/') + 1);
  }
  std::string script = formatText(
      "#!/bin/sh\n"
      "# Job array script written by KARVO MDO for analysis %s, designs %s: each member runs\n"
      "# the job script of its index in its own analysis folder.\n"
      "case \"$%s\" in\n",
      array.analysisNum.c_str(), array.designNum.c_str(), s.arrayIndexVar.c_str());
  for (std::size_t i = 0; i < members.size(); ++i) {
    script += formatText("  %zu) exec /bin/sh %s ;;\n", i,
                         commandPath(*members[i], members[i]->scriptPath).c_str());
  }
  script += formatText("esac\necho \"No job script for the array index '$%s'.\" >&2\nexit 1\n",
                       s.arrayIndexVar.c_str());

  const std::string option =
      replacedAll(s.arrayOption, "%LASTTASK%", std::to_string(members.size() - 1));
  std::string pattern = s.submitCommand;
  const std::size_t named = pattern.find("%JOBSCRIPT%");
  if (named == std::string::npos) {
    pattern += " " + option + " %JOBSCRIPT%";
  } else {
    pattern.insert(named, option + " ");
  }
  const std::string command = schedulerCommand(array, pattern);
  platform::CapturedRun run;
  std::string arrayId;
  // Through a remote machine the script is copied there, and the members' stale files go
  // just before the submission, in the same remote command.
  const bool written = array.remote ? writeJobScript(array.localScriptPath, script,
                                                     array.lastError) &&
                                          copyScriptThere(array)
                                    : writeJobScript(array.scriptPath, script, array.lastError);
  const std::string started = array.remote ? staleFilesRemoval(members) + command : command;
  bool submitted = written && runSubmission(array, command, started, run) &&
                   readSubmittedId(array, command, run.output, arrayId);
  for (std::size_t i = 0; i < members.size(); ++i) {
    JobRecord& member = *members[i];
    if (!submitted) {
      member.state = JobState::kFailed;
      member.lastError = array.lastError;
      continue;
    }
    member.arrayId = arrayId;
    member.arrayTask = static_cast<int>(i);
    member.id = replacedAll(replacedAll(s.arrayMemberId, "%JOBID%", arrayId), "%TASK%",
                            std::to_string(i));
    markSubmitted(member, command);
  }
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
    submission = staleFilesRemoval({&job}) + command;
  } else {
    if (!writeJobScript(job.scriptPath, script, job.lastError)) return false;
    platform::removeFile(job.statusPath);
    platform::removeFile(job.statusPath + ".tmp");
  }
  // In batch mode the job waits for submitJobBatches, with the jobs submitted after it.
  // An array member is known by its id only: its name is the array's. A remote job's stale
  // files there are removed with the array's submission.
  if (job.batchMode && s.readId && s.findJob != 2) {
    job.held = true;
    heldJobs().push_back(&job);
    return true;
  }
  platform::CapturedRun run;
  if (!runSubmission(job, command, submission, run)) return false;
  if (s.readId && !readSubmittedId(job, command, run.output, job.id)) return false;
  markSubmitted(job, command);
  return true;
}

void dropHeldJob(JobRecord& job) {
  if (!job.held) return;
  job.held = false;
  std::vector<JobRecord*>& held = heldJobs();
  held.erase(std::remove(held.begin(), held.end(), &job), held.end());
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
  const std::string command = schedulerCommand(job, s.finishCommand);
  if (!finishCheckOutput(job, command, run)) return false;
  const std::string& key = s.findJob == 2 || job.id.empty() ? job.name : job.id;
  if (s.findJob != 0 && !s.checkExitStatus && run.exitStatus != 0) {
    // A listing that failed lists nothing: a job missing from it may well still run. (Its
    // status file is not read here: through a login node that would cost every job a login at
    // every check while the scheduler is out of reach.)
    const double now = platform::monotonicSeconds();
    if (job.listingFailedSince < 0) job.listingFailedSince = now;
    if (now - job.listingFailedSince < job.options.failedListingSeconds) {
      job.lastError = formatText("The finish-check command \"%s\" failed with exit status %d; "
                                 "the job is taken to be still running. Its output:\n%s",
                                 command.c_str(), run.exitStatus, run.output.c_str());
      return false;
    }
  } else {
    job.listingFailedSince = -1;
  }
  bool exitPasses = !s.checkExitStatus || run.exitStatus == s.finishReturnValue;
  bool listPasses = s.findJob == 0 || !listsJob(run.output, job, key);
  if (!exitPasses || !listPasses) {
    if (job.queued) {
      for (const std::string& line : splitLines(run.output)) {
        if (!listsJob(line, job, key)) continue;
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

namespace karvo {

int submitJobBatches() {
  using job::JobRecord;
  std::vector<JobRecord*> waiting;
  waiting.swap(job::heldJobs());
  int commands = 0;
  while (!waiting.empty()) {
    // The first job and the jobs submitted like it: one array.
    const JobRecord& first = *waiting.front();
    const auto key = [](const JobRecord& r) {
      return r.resourceName + '\n' + r.analysisNum + '\n' + r.scheduler.submitCommand + '\n' +
             r.scheduler.prependPath + '\n' + (r.remote ? r.remoteBlock : std::string("-"));
    };
    const std::string group = key(first);
    std::vector<JobRecord*> members, rest;
    for (JobRecord* r : waiting) (key(*r) == group ? members : rest).push_back(r);
    waiting.swap(rest);
    for (JobRecord* r : members) r->held = false;
    job::submitArray(members);
    ++commands;
  }
  return commands;
}

}  // namespace karvo
