// The job controller's Job object: reads the launch property set, picks the kind of job
// from the compute resource, and runs Direct jobs (local or wrapped for a remote machine)
// as job scripts in their own process groups. One object per analysis job; finished(false)
// is called once per pass of the evaluation loop while the job runs.
#include "external/job_controller.h"

#include "base/text.h"

#include <algorithm>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/messages.h"
#include "external/job_internal.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {

namespace {

using job::JobKind;
using job::JobRecord;

// The number keys of the launch, checked to hold no shell characters (they enter commands).
std::string launchNumber(const PropertiesMap& launch, const char* key) {
  std::string value = trimmed(launch.value(key));
  return value.empty() ? "0" : job::sanitizeName(value);
}

// A file of the job: the script path without its extension, plus `extension`.
std::string jobFileFor(const std::string& scriptPath, const char* extension) {
  std::size_t slash = scriptPath.rfind(platform::kPathSeparator);
  std::size_t dot = scriptPath.rfind('.');
  std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
                         ? scriptPath.substr(0, dot)
                         : scriptPath;
  return stem + extension;
}

// A remote Scheduled job: the remote machine must offer a POSIX shell, since the job script
// and the scheduler commands are sh; the job's paths become those of the remote machine and
// the local ones are kept aside. False with lastError.
bool readRemoteSide(JobRecord& r, const PropertiesMap& launch, const std::string& profile) {
  if (!r.options.remoteCommand || !r.options.remoteCopy) {
    r.lastError = formatText(
        "The compute resource \"%s\" submits its jobs through a remote machine (remote "
        "profile \"%s\"), but no remote command and copy generators are available to the job "
        "controller.",
        r.resourceName.c_str(), profile.c_str());
    return false;
  }
  PropertiesMap machine;
  parseResourceBlock(launch.value("remote_block"), machine);
  const std::string platformWord = lowerCase(trimmed(machine.value("platform")));
  if (platformWord != "linux" &&
      !(platformWord == "windows" && job::isTrueFlag(trimmed(machine.value("useCygwin"))))) {
    r.lastError = formatText(
        "The Scheduled compute resource \"%s\" submits its jobs through the remote profile "
        "\"%s\", whose machine has no POSIX shell (platform \"%s\"). Scheduled jobs can be "
        "submitted through a Linux machine, or a Windows machine with useCygwin.",
        r.resourceName.c_str(), profile.c_str(), trimmed(machine.value("platform")).c_str());
    return false;
  }
  std::string folder = trimmed(launch.value("rmt_analysis_dir"));
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) {
    r.lastError = formatText("The remote analysis folder of the job on the compute resource "
                             "\"%s\" is not known (\"rmt_analysis_dir\" is empty).",
                             r.resourceName.c_str());
    return false;
  }
  r.remoteBlock = launch.value("remote_block");
  r.localAnalysisDir = r.analysisDir;
  r.localStudyDir = r.studyDir;
  r.localScriptPath = r.scriptPath;
  r.localLog = r.outLog;
  r.analysisDir = folder;
  r.studyDir = trimmed(launch.value("rmt_study_dir"));
  std::size_t slash = r.localScriptPath.rfind(platform::kPathSeparator);
  r.scriptPath = folder + "/" + r.localScriptPath.substr(slash + 1);
  r.statusPath = jobFileFor(r.scriptPath, ".exitstatus");
  // Output and errors go into one file there whenever anything is logged here.
  r.outLog = r.errLog = r.outLog.empty() && r.errLog.empty()
                            ? std::string()
                            : jobFileFor(r.scriptPath, ".output");
  r.outputPath.clear();
  return true;
}

// Fills the record from the launch; false with lastError when the launch cannot run.
bool readLaunch(JobRecord& r, const PropertiesMap& launch) {
  r.command = launch.value("exec_cmd");
  r.resourceName = launch.value("resource_name");
  if (trimmed(r.command).empty()) {
    r.lastError = "No command was given for the job (\"exec_cmd\" is empty).";
    return false;
  }
  std::string badLine;
  if (!parseResourceBlock(launch.value("resource_block"), r.resource, &badLine)) {
    r.lastError = formatText(
        "The data of the compute resource \"%s\" could not be read: the line \"%s\" is not of "
        "the form \"key: value\".",
        r.resourceName.c_str(), badLine.c_str());
    return false;
  }

  std::string type = trimmed(r.resource.value("type"));
  bool remote = job::isTrueFlag(r.resource.value("jobRemote")) &&
                !trimmed(r.resource.value("jobRemoteProfile")).empty();
  std::string profile = trimmed(r.resource.value("jobRemoteProfile"));
  if (type.empty() || lowerCase(type) == "direct") {
    r.kind = remote ? JobKind::kRemoteDirect : JobKind::kDirect;
  } else if (lowerCase(type) == "scheduled") {
    r.kind = JobKind::kScheduled;
    r.remote = remote;
  } else {
    r.lastError = formatText(
        "The compute resource \"%s\" is of the type \"%s\", on which the job controller cannot "
        "run jobs. The types it runs are \"Direct\" and \"Scheduled\".",
        r.resourceName.c_str(), type.c_str());
    return false;
  }

  r.analysisDir = job::absolutePath("", launch.value("analysis_dir"));
  std::string study = launch.value("study_dir");
  r.studyDir = study.empty() ? "" : job::absolutePath("", study);
  std::string script = launch.value("job_script");
  if (trimmed(script).empty()) script = "Execute_NONE_utilAnalysis.sh";
  r.scriptPath = job::absolutePath(script, r.analysisDir);
  r.statusPath = jobFileFor(r.scriptPath, ".exitstatus");
  if (job::isTrueFlag(launch.value("do_logging"))) {
    std::string out = launch.value("out_log_file");
    std::string err = launch.value("err_log_file");
    r.outLog = out.empty() ? "" : job::absolutePath(out, r.analysisDir);
    r.errLog = err.empty() ? "" : job::absolutePath(err, r.analysisDir);
    if (!r.outLog.empty() && r.outLog == r.errLog) {
      r.outputPath = jobFileFor(r.scriptPath, ".output");
    }
  }
  r.designNum = launchNumber(launch, "design_num");
  r.analysisNum = launchNumber(launch, "analysis_num");
  r.caseNum = launchNumber(launch, "case_num");
  r.traced = job::isTrueFlag(launch.value("do_verbose"));
  if (r.remote && !readRemoteSide(r, launch, profile)) return false;

  // The job name, from the resource's prefix and name pattern.
  std::string prefix = r.resource.has("jobPrefix") ? trimmed(r.resource.value("jobPrefix"))
                                                   : "KARVO_";
  std::string pattern = trimmed(r.resource.value("jobName"));
  if (pattern.empty()) {
    int caseNumber = 0;
    pattern = "D%DESIGN%_A%ANALYSIS%";
    if (parseInteger(r.caseNum, caseNumber) && caseNumber > 1) pattern += "_C%CASE%";
  }
  r.namePattern = prefix + pattern;
  r.name = job::sanitizeName(job::substitutePlaceholders(r.namePattern, r, false));
  r.batchMode = job::isTrueFlag(launch.value("do_job_block"));

  if (r.kind == JobKind::kRemoteDirect) {
    if (!r.options.remoteCommand) {
      r.lastError = formatText(
          "The compute resource \"%s\" runs on a remote machine (remote profile \"%s\"), but no "
          "remote command generator is available to the job controller.",
          r.resourceName.c_str(), profile.c_str());
      return false;
    }
    std::string wrapped, message;
    if (!r.options.remoteCommand(launch.value("remote_block"), r.command, wrapped, message) ||
        trimmed(wrapped).empty()) {
      r.lastError = "Error in creating the execution command using the remote profile \"" +
                    profile + "\". Original command: \"" + r.command +
                    "\".\nMessage received:\n" + message;
      return false;
    }
    r.command = wrapped;
  }
  return true;
}

bool directSubmit(JobRecord& r) {
  if (!platform::isDirectory(r.analysisDir)) {
    r.lastError = "The analysis folder \"" + r.analysisDir + "\" does not exist.";
    return false;
  }
  if (!job::writeJobScript(r.scriptPath, job::directJobScript(r), r.lastError)) return false;
  platform::SpawnSettings settings;
  settings.workingDirectory = r.analysisDir;
  settings.stdoutPath = r.outLog;
  settings.stderrPath = r.errLog;
  std::string error;
  if (!platform::spawnProcess({"/bin/sh", r.scriptPath}, settings, r.child, &error)) {
    r.lastError = "Could not start the job script \"" + r.scriptPath + "\" in the folder \"" +
                  r.analysisDir + "\": " + error;
    return false;
  }
  r.id = std::to_string(static_cast<long>(r.child.pid));
  r.startedCommand = "/bin/sh " + platform::shellQuote(r.scriptPath);
  return true;
}

void directTakeEnd(JobRecord& r, JobState endState) {
  r.exitCode = r.child.exitStatus;
  r.ranToEnd = endState == JobState::kEnded && r.child.termSignal == 0 && r.child.exitStatus >= 0;
  r.state = endState;
}

// The size of the shared log before the command runs, so that its own output can be told
// from what the log held before.
void noteLogStart(JobRecord& r) {
  if (r.outputPath.empty()) return;
  struct stat info {};
  r.outLogStart = ::stat(r.outLog.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : 0;
}

bool writeWhole(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Once a command whose output and errors go into one log has ended: when it wrote more than
// twice kOutputKeptBytes there, its whole output is copied to the job's output file, and the
// log then keeps the first and the last kOutputKeptBytes of it around a line that says how
// much was left out and where it is. The log is cut only once the copy is whole; a failure
// leaves it as it was. Output within the limit costs one look at the log's size.
void capLoggedOutput(JobRecord& r) {
  if (r.outLogStart < 0) return;
  const long long start = r.outLogStart;
  r.outLogStart = -1;
  const int log = ::open(r.outLog.c_str(), O_RDWR | O_CLOEXEC);
  if (log < 0) return;
  struct stat info {};
  const long long end = ::fstat(log, &info) == 0 ? static_cast<long long>(info.st_size) : 0;
  if (end - start <= 2 * kOutputKeptBytes) {
    ::close(log);
    return;
  }
  const int whole = ::open(r.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool copied = whole >= 0;
  std::string buffer(static_cast<std::size_t>(kOutputKeptBytes), '\0');
  for (long long at = start; copied && at < end;) {
    const ssize_t n = ::pread(log, buffer.data(), buffer.size(), at);
    if (n < 0 && errno == EINTR) continue;
    copied = n > 0 && writeWhole(whole, buffer.data(), static_cast<std::size_t>(n));
    at += n > 0 ? n : 0;
  }
  if (whole >= 0 && ::close(whole) != 0) copied = false;
  std::string tail(static_cast<std::size_t>(kOutputKeptBytes), '\0');
  copied = copied && ::pread(log, tail.data(), tail.size(), end - kOutputKeptBytes) ==
                         static_cast<ssize_t>(tail.size());
  if (copied) {
    const std::string between =
        formatText("\n[... %lld bytes of output left out here; the whole output is in \"%s\" "
                   "...]\n",
                   end - start - 2 * kOutputKeptBytes, r.outputPath.c_str());
    const long long cut = start + kOutputKeptBytes;
    if (::ftruncate(log, cut) == 0 && ::lseek(log, cut, SEEK_SET) == cut) {
      writeWhole(log, between.data(), between.size());
      writeWhole(log, tail.data(), tail.size());
    }
  }
  ::close(log);
}

// The Job object: a thin shell over JobRecord and the free functions.
class ControllerJob final : public Job {
 public:
  explicit ControllerJob(const JobOptions& options) { r_.options = options; }
  ~ControllerJob() override {
    release();
    job::dropHeldJob(r_);
  }

  bool submit(const PropertiesMap& launch) override {
    r_.lastError.clear();
    if (r_.state != JobState::kCreated) {
      r_.lastError = "This job has already been submitted; a job object runs one job only.";
      return false;
    }
    bool started = readLaunch(r_, launch);
    if (started) noteLogStart(r_);
    started = started &&
              (r_.kind == JobKind::kScheduled ? job::scheduledSubmit(r_) : directSubmit(r_));
    r_.state = started ? JobState::kRunning : JobState::kFailed;
    if (!started) r_.id.clear();
    return started;
  }

  bool finished(bool wait) override {
    if (r_.state != JobState::kRunning) return true;
    r_.lastError.clear();
    if (r_.kind != JobKind::kScheduled) {
      if (wait) {
        platform::waitProcess(r_.child);
      } else if (!platform::pollProcess(r_.child)) {
        return false;
      }
      directTakeEnd(r_, JobState::kEnded);
      capLoggedOutput(r_);
      return true;
    }
    if (r_.held && !wait) return false;
    if (r_.held) submitJobBatches();
    if (r_.state != JobState::kRunning) return true;
    int pause = 50;
    while (!job::scheduledCheck(r_)) {
      if (!wait) return false;
      platform::sleepMillis(pause);
      pause = std::min(pause * 2, std::max(10, r_.options.waitPollMilliseconds));
    }
    capLoggedOutput(r_);
    return true;
  }

  bool complete() const override {
    return r_.state == JobState::kEnded || r_.state == JobState::kKilled;
  }
  bool succeeded() const override { return r_.state == JobState::kEnded && r_.ranToEnd; }
  int exitCode() const override { return r_.exitCode; }

  bool kill() override {
    if (r_.state == JobState::kEnded || r_.state == JobState::kKilled) {
      // What the command left running in the background ends with the job.
      if (r_.kind != JobKind::kScheduled) {
        platform::endLeftoverProcesses(r_.child, r_.options.killGraceSeconds);
      }
      return true;
    }
    if (r_.state != JobState::kRunning) return true;
    r_.lastError.clear();
    if (r_.held) {  // never handed to the scheduler
      job::dropHeldJob(r_);
      r_.state = JobState::kKilled;
      return true;
    }
    if (r_.kind == JobKind::kScheduled) return job::scheduledKill(r_);
    if (platform::pollProcess(r_.child)) {  // it had ended by itself
      directTakeEnd(r_, JobState::kEnded);
      capLoggedOutput(r_);
      platform::endLeftoverProcesses(r_.child, r_.options.killGraceSeconds);
      return true;
    }
    std::string error;
    if (!platform::killProcessGroup(r_.child, r_.options.killGraceSeconds, &error)) {
      r_.lastError = "Could not kill the process group " + r_.id + ": " + error;
      return false;
    }
    directTakeEnd(r_, JobState::kKilled);
    capLoggedOutput(r_);
    return true;
  }

  void release() override {
    if (r_.state == JobState::kReleased) return;
    if (r_.state == JobState::kRunning && r_.kind != JobKind::kScheduled) {
      platform::detachProcess(r_.child);
    }
    job::dropHeldJob(r_);
    r_.state = JobState::kReleased;
  }

  void keepRunning() override {
    if (r_.state == JobState::kReleased) return;
    job::dropHeldJob(r_);
    if (r_.kind != JobKind::kScheduled && r_.child.pid > 0) platform::releaseProcess(r_.child);
    r_.state = JobState::kReleased;
  }

  bool queued() const override { return r_.state == JobState::kRunning && r_.queued; }
  bool held() const override { return r_.state == JobState::kRunning && r_.held; }
  double lastCheckTime() const override {
    return r_.kind == JobKind::kScheduled ? r_.checkSeenAt : -1;
  }
  std::string jobName() const override { return r_.state == JobState::kFailed ? "" : r_.name; }
  std::string jobId() const override { return r_.id; }
  std::string startedCommand() const override { return r_.startedCommand; }
  JobState state() const override { return r_.state; }
  std::string lastError() const override { return r_.lastError; }

 private:
  JobRecord r_;
};

}  // namespace

std::unique_ptr<Job> createJob(const JobOptions& options) {
  return std::make_unique<ControllerJob>(options);
}

std::unique_ptr<Job> createJobObject(int kind, const JobOptions& options) {
  if (kind != kJobObjectKind) return nullptr;
  return createJob(options);
}

RemoteCommandFn remoteCommandFromGenerator(
    std::function<std::string(const std::string& command, bool& status)> generate,
    std::function<std::string()> lastMessage) {
  return [generate = std::move(generate), lastMessage = std::move(lastMessage)](
             const std::string& remoteBlock, const std::string& command, std::string& wrapped,
             std::string& error) {
    (void)remoteBlock;
    bool status = false;
    wrapped = generate ? generate(command, status) : std::string();
    if (!status) {
      error = lastMessage ? lastMessage() : std::string();
      return false;
    }
    return true;
  };
}

std::string formatResourceBlock(const PropertiesMap& resource) {
  std::string text;
  for (const auto& [key, value] : resource.properties()) {
    std::string line = key + ": " + value;
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    text += line + "\n";
  }
  return text;
}

bool parseResourceBlock(const std::string& text, PropertiesMap& resource, std::string* badLine) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (trimmed(line).empty()) continue;
    std::size_t colon = line.find(':');
    std::string key = colon == std::string::npos ? "" : trimmed(line.substr(0, colon));
    if (key.empty()) {
      if (badLine) *badLine = line;
      return false;
    }
    resource.setValue(key, trimmed(line.substr(colon + 1)));
  }
  return true;
}

}  // namespace karvo
