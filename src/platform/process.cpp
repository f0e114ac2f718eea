// The Linux process layer: vfork and exec in a new process group, reaping by pid, group kills,
// captured command runs, the SIGCHLD self-pipe behind the evaluation loop's wait, the stop
// signals and the guard process that ends the solver's process groups when it dies.
// Workload: a few spawns per analysis and design, one wait per pass of the evaluation loop.
#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"

extern char** environ;

namespace karvo::platform {

namespace {

// ---------------------------------------------------------------------------------------
// The self-pipe. The SIGCHLD handler writes one byte; the wait polls the read end. Both
// ends are non-blocking and close-on-exec: a full pipe already holds a pending wake-up,
// and no child inherits either end.

int wakeupPipe[2] = {-1, -1};
struct sigaction previousChildAction;
std::once_flag wakeupInstalled;

void onChildSignal(int signal, siginfo_t* info, void* context) {
  int savedErrno = errno;
  char byte = 1;
  ssize_t written = ::write(wakeupPipe[1], &byte, 1);
  (void)written;
  // A handler that was there before keeps being called.
  if (previousChildAction.sa_flags & SA_SIGINFO) {
    if (previousChildAction.sa_sigaction) previousChildAction.sa_sigaction(signal, info, context);
  } else if (previousChildAction.sa_handler != SIG_DFL &&
             previousChildAction.sa_handler != SIG_IGN) {
    previousChildAction.sa_handler(signal);
  }
  errno = savedErrno;
}

void installOnce() {
  if (::pipe2(wakeupPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    wakeupPipe[0] = wakeupPipe[1] = -1;
    return;
  }
  struct sigaction action {};
  action.sa_sigaction = onChildSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_NOCLDSTOP;
  ::sigaction(SIGCHLD, &action, &previousChildAction);
}

// Empties the self-pipe; true when it held at least one byte.
bool drainWakeups() {
  if (wakeupPipe[0] < 0) return false;
  bool any = false;
  char buffer[256];
  for (;;) {
    ssize_t n = ::read(wakeupPipe[0], buffer, sizeof buffer);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return any;
  }
}

// ---------------------------------------------------------------------------------------
// Stop signals: the first one is kept and one byte goes into a second self-pipe, which is
// never drained, so that every later wait returns at once.

int stopPipe[2] = {-1, -1};
volatile sig_atomic_t receivedStop = 0;
std::once_flag stopSignalsInstalled;

void onStopSignal(int signal) {
  if (receivedStop != 0) return;
  int savedErrno = errno;
  receivedStop = signal;
  char byte = 1;
  ssize_t written = ::write(stopPipe[1], &byte, 1);
  (void)written;
  errno = savedErrno;
}

void installStopOnce() {
  if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    stopPipe[0] = stopPipe[1] = -1;
    return;
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored by whoever started the solver (nohup) stays ignored.
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

// ---------------------------------------------------------------------------------------
// The guard process. Messages are 32-bit integers: +group when the solver starts a process
// group, -group when it has reaped or released it.

int guardSocket = -1;
pid_t guardPid = -1;
pid_t guardOwner = 0;  // the process whose guard guardSocket reaches
constexpr std::size_t kGuardCapacity = 16384;

// The guard's whole life: only system calls, no allocation, so that nothing of the solver's
// own state (its allocator, its interpreter) is touched after the fork.
[[noreturn]] void guardMain(int socket) {
  // A group of its own, so that a Ctrl-C at the terminal reaches only the solver, which ends
  // in order and closes the socket; the guard goes when the solver goes.
  ::setpgid(0, 0);
  ::prctl(PR_SET_NAME, "karvo-guard", 0, 0, 0);
  // Out of the study folder, which it must not keep busy.
  if (::chdir("/") != 0) {
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) ::sigaction(signal, &ignore, nullptr);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(SIGCHLD, &fallback, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  int devNull = ::open("/dev/null", O_RDWR);
  if (devNull >= 0) {
    for (int fd = 0; fd <= 2; ++fd) ::dup2(devNull, fd);
  }
  ::dup2(socket, 3);
  ::close_range(4, ~0U, 0);

  static pid_t groups[kGuardCapacity];
  std::size_t count = 0;
  unsigned char buffer[4096];
  std::size_t held = 0;
  for (;;) {
    ssize_t n = ::read(3, buffer + held, sizeof buffer - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    held += static_cast<std::size_t>(n);
    std::size_t used = 0;
    for (; used + 4 <= held; used += 4) {
      std::int32_t value;
      std::memcpy(&value, buffer + used, 4);
      if (value > 0) {
        if (count < kGuardCapacity) groups[count++] = value;
      } else if (value < 0) {
        for (std::size_t i = 0; i < count; ++i) {
          if (groups[i] == -value) {
            groups[i] = groups[--count];
            break;
          }
        }
      }
    }
    std::memmove(buffer, buffer + used, held - used);
    held -= used;
  }
  // The solver has gone: end what it left running.
  for (std::size_t i = 0; i < count; ++i) ::kill(-groups[i], SIGTERM);
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    bool alive = false;
    for (std::size_t i = 0; i < count; ++i) {
      if (groups[i] > 0 && ::kill(-groups[i], 0) == 0) {
        alive = true;
      } else {
        groups[i] = 0;
      }
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    double waited = static_cast<double>(now.tv_sec - start.tv_sec) +
                    static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9;
    if (!alive || waited >= kKillGraceSeconds) break;
    timespec pause{0, 20 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (groups[i] > 0) ::kill(-groups[i], SIGKILL);
  }
  ::_exit(0);
}

// Starts the guard of this process, once. A forked copy of the solver (a test's child) gets a
// guard of its own: the one it inherited watches its parent.
void startGuard() {
  if (guardOwner == ::getpid()) return;
  if (guardSocket >= 0) ::close(guardSocket);
  guardSocket = -1;
  guardPid = -1;
  guardOwner = ::getpid();
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
  pid_t pid = ::fork();
  if (pid == 0) guardMain(ends[1]);
  ::close(ends[1]);
  if (pid < 0) {
    ::close(ends[0]);
    return;
  }
  guardSocket = ends[0];
  guardPid = pid;
}

void guardTell(std::int32_t value) {
  if (guardSocket < 0) return;
  const char* data = reinterpret_cast<const char*>(&value);
  std::size_t done = 0;
  while (done < sizeof value) {
    ssize_t n = ::send(guardSocket, data + done, sizeof value - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // the guard has gone; the solver goes on without it
      ::close(guardSocket);
      guardSocket = -1;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

// Reaps the guard when it has ended before the solver (it was killed).
void reapGuard() {
  if (guardPid <= 0) return;
  int status = 0;
  pid_t rc;
  do {
    rc = ::waitpid(guardPid, &status, WNOHANG);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return;
  guardPid = -1;
  if (guardSocket >= 0) ::close(guardSocket);
  guardSocket = -1;
}

// ---------------------------------------------------------------------------------------
// Detached processes, reaped in the background. The solver's logic runs on one thread;
// the mutex only guards against a second thread that a test or an extension might use.

std::mutex detachedMutex;
std::vector<pid_t> detachedPids;

void sleepSeconds(double seconds) {
  if (seconds <= 0) return;
  timespec request{};
  request.tv_sec = static_cast<time_t>(seconds);
  request.tv_nsec = static_cast<long>((seconds - static_cast<double>(request.tv_sec)) * 1e9);
  timespec remaining{};
  while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

void recordStatus(ChildProcess& child, int rawStatus) {
  child.ended = true;
  guardTell(-child.pid);
  if (WIFEXITED(rawStatus)) {
    child.exitStatus = WEXITSTATUS(rawStatus);
    child.termSignal = 0;
  } else if (WIFSIGNALED(rawStatus)) {
    child.termSignal = WTERMSIG(rawStatus);
    child.exitStatus = 128 + child.termSignal;
  } else {
    child.exitStatus = -1;
  }
}

// Where one standard stream of the child goes.
struct StreamTarget {
  const char* path = nullptr;  // file opened for appending; null: use `fd`
  int fd = -1;                 // descriptor to duplicate when `path` is null
};

// The signals a started program finds at their default disposition, whatever the solver
// or whoever started it did with them: the solver's own handlers (child exits, stop
// signals) and what a shell, nohup or an embedded interpreter commonly ignores.
constexpr int kChildDefaultSignals[] = {SIGPIPE, SIGCHLD, SIGINT,  SIGQUIT, SIGTERM,
                                        SIGHUP,  SIGUSR1, SIGUSR2, SIGALRM, SIGTTIN,
                                        SIGTTOU, SIGTSTP, SIGXFSZ};

// Puts `target` in place in the child: a file opened for appending, or a copy of a
// descriptor. Only async-signal-safe calls (the child shares the solver's memory).
bool placeStream(int target, const StreamTarget& stream, int flags) {
  if (stream.path) {
    int fd = ::open(stream.path, flags, 0644);
    if (fd < 0) return false;
    if (fd == target) return true;
    const bool ok = ::dup2(fd, target) == target;
    ::close(fd);
    return ok;
  }
  if (stream.fd == target) return ::fcntl(target, F_SETFD, 0) == 0;
  return ::dup2(stream.fd, target) == target;
}

// What the child of a launch does, all prepared before the vfork.
struct LaunchPlan {
  const char* program;
  char* const* arguments;
  const char* folder;  // null: the solver's working folder
  const StreamTarget* out;
  const StreamTarget* err;
  bool errSharesOut;
  volatile int* failure;  // why the program could not be started (errno), 0 otherwise
};

// The child of a launch: its own process group (the solver's group kills reach the program
// and all it starts), the working folder first (output files given by relative path are
// then relative to it, as they are for the program itself), the standard streams, no other
// descriptors, default dispositions for kChildDefaultSignals and an empty signal mask, and
// the program. It shares the solver's memory until the exec: only async-signal-safe calls,
// and the reason of a failure goes into plan.failure.
[[noreturn]] __attribute__((noinline)) void runLaunchedChild(const LaunchPlan& plan) {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  for (int signal : kChildDefaultSignals) ::sigaction(signal, &defaultAction, nullptr);
  const StreamTarget devNull{"/dev/null", -1};
  const int appendFlags = O_WRONLY | O_CREAT | O_APPEND;
  if (::setpgid(0, 0) != 0 || (plan.folder && ::chdir(plan.folder) != 0) ||
      !placeStream(0, devNull, O_RDONLY) || !placeStream(1, *plan.out, appendFlags) ||
      !(plan.errSharesOut ? ::dup2(1, 2) == 2 : placeStream(2, *plan.err, appendFlags))) {
    *plan.failure = errno != 0 ? errno : EINVAL;
    ::_exit(127);
  }
  ::close_range(3, ~0U, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(plan.program, plan.arguments, environ);
  *plan.failure = errno != 0 ? errno : ENOEXEC;
  ::_exit(127);
}

// The launch: vfork and runLaunchedChild. All signals stay blocked from before the vfork
// until just before the exec, so no handler of the solver ever runs in the child; the
// signals the solver handles are in kChildDefaultSignals, and the exec resets any other
// handler. (A general-purpose spawn resets or looks at every one of the 64 signals in the
// child instead, and checks each descriptor of its file actions against the limit.)
bool spawnWith(const std::vector<std::string>& argv, const std::string& directory,
               const StreamTarget& out, const StreamTarget& err, bool errSharesOut,
               ChildProcess& child, std::string* error) {
  child = ChildProcess{};
  if (argv.empty() || argv[0].empty()) {
    if (error) *error = "no program given";
    return false;
  }
  installChildExitWakeup();
  reapDetachedProcesses();
  startGuard();

  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& a : argv) arguments.push_back(const_cast<char*>(a.c_str()));
  arguments.push_back(nullptr);
  volatile int failure = 0;
  const LaunchPlan plan{argv[0].c_str(), arguments.data(),
                        directory.empty() ? nullptr : directory.c_str(),
                        &out, &err, errSharesOut, &failure};
  sigset_t all, saved;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = ::vfork();
  if (pid == 0) runLaunchedChild(plan);
  const int forkErrno = errno;
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (pid < 0) {
    if (error) *error = systemErrorText(forkErrno);
    return false;
  }
  if (failure != 0) {
    const int reason = failure;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (error) *error = systemErrorText(reason);
    return false;
  }
  child.pid = pid;
  guardTell(pid);
  return true;
}

// True when a process other than `leader` in process group `group` is still alive
// (zombies do not count). `scanned` is cleared when /proc cannot be read.
bool groupHasLiveMembers(pid_t group, pid_t leader, bool& scanned) {
  scanned = true;
  DIR* proc = ::opendir("/proc");
  if (!proc) {
    scanned = false;
    return false;
  }
  bool found = false;
  while (dirent* entry = ::readdir(proc)) {
    const char* name = entry->d_name;
    if (name[0] < '1' || name[0] > '9') continue;
    pid_t pid = static_cast<pid_t>(std::atol(name));
    if (pid == leader) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char text[512];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) continue;
    text[n] = '\0';
    // "pid (comm) state ppid pgrp ...": comm may hold blanks and parentheses.
    const char* close = std::strrchr(text, ')');
    if (!close) continue;
    char state = 0;
    long parent = 0, processGroup = 0;
    if (std::sscanf(close + 1, " %c %ld %ld", &state, &parent, &processGroup) != 3) continue;
    if (processGroup == group && state != 'Z' && state != 'X') {
      found = true;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

// True once the leader has ended; it is left unreaped, so its pid (the group id) cannot be
// given to another process while the group is still signalled.
bool leaderHasEnded(pid_t pid) {
  siginfo_t info{};
  int rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  if (rc != 0) return errno == ECHILD;
  return info.si_pid == pid;
}

int openPidDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  return fd < 0 ? -1 : static_cast<int>(fd);
#else
  (void)pid;
  return -1;
#endif
}

}  // namespace

void installChildExitWakeup() { std::call_once(wakeupInstalled, installOnce); }

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

bool spawnProcess(const std::vector<std::string>& argv, const SpawnSettings& settings,
                  ChildProcess& child, std::string* error) {
  const char* devNull = "/dev/null";
  StreamTarget out{settings.stdoutPath.empty() ? devNull : settings.stdoutPath.c_str(), -1};
  StreamTarget err{settings.stderrPath.empty() ? devNull : settings.stderrPath.c_str(), -1};
  bool shared = !settings.stdoutPath.empty() && settings.stdoutPath == settings.stderrPath;
  return spawnWith(argv, settings.workingDirectory, out, err, shared, child, error);
}

bool spawnShellCommand(const std::string& command, const SpawnSettings& settings,
                       ChildProcess& child, std::string* error) {
  return spawnProcess({"/bin/sh", "-c", command}, settings, child, error);
}

bool pollProcess(ChildProcess& child) {
  if (child.ended) return true;
  if (child.pid <= 0) return true;
  int status = 0;
  for (;;) {
    pid_t rc = ::waitpid(child.pid, &status, WNOHANG);
    if (rc == child.pid) {
      recordStatus(child, status);
      return true;
    }
    if (rc == 0) return false;
    if (errno == EINTR) continue;
    // ECHILD: the status was taken elsewhere; the process is gone all the same.
    child.ended = true;
    child.exitStatus = -1;
    guardTell(-child.pid);
    return true;
  }
}

namespace {

// Blocks in waitpid until the process has ended and reaps it.
void reapBlocking(ChildProcess& child) {
  if (child.ended || child.pid <= 0) return;
  int status = 0;
  for (;;) {
    pid_t rc = ::waitpid(child.pid, &status, 0);
    if (rc == child.pid) {
      recordStatus(child, status);
      return;
    }
    if (rc < 0 && errno == EINTR) continue;
    child.ended = true;
    child.exitStatus = -1;
    guardTell(-child.pid);
    return;
  }
}

}  // namespace

void waitProcess(ChildProcess& child) {
  if (child.ended || child.pid <= 0) return;
  // Once stop signals are handled, the wait watches them too: a stop ends the program.
  int pidDescriptor = stopPipe[0] >= 0 ? openPidDescriptor(child.pid) : -1;
  if (pidDescriptor >= 0) {
    while (!pollProcess(child)) {
      if (receivedStop != 0) {
        killProcessGroup(child);
        break;
      }
      pollfd fds[2] = {{pidDescriptor, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    }
    ::close(pidDescriptor);
  }
  reapBlocking(child);
}

bool killProcessGroup(ChildProcess& child, double graceSeconds, std::string* error) {
  if (child.ended || child.pid <= 0) return true;
  // The leader is not reaped before the end of this function, so the group id stays ours.
  if (::kill(-child.pid, SIGTERM) != 0 && errno != ESRCH) {
    int code = errno;
    if (error) *error = systemErrorText(code);
    return false;
  }
  const double deadline = monotonicSeconds() + std::max(0.0, graceSeconds);
  bool killNeeded = true;
  for (;;) {
    if (leaderHasEnded(child.pid)) {
      bool scanned = false;
      if (!groupHasLiveMembers(child.pid, child.pid, scanned)) {
        // Nothing left to signal; when /proc could not be read, stragglers get SIGKILL.
        killNeeded = !scanned;
        break;
      }
    }
    if (monotonicSeconds() >= deadline) break;
    sleepSeconds(std::min(0.02, std::max(0.001, deadline - monotonicSeconds())));
  }
  if (killNeeded) ::kill(-child.pid, SIGKILL);
  reapBlocking(child);
  return true;
}

void detachProcess(ChildProcess& child) {
  if (!child.ended && child.pid > 0 && !pollProcess(child)) {
    std::lock_guard<std::mutex> lock(detachedMutex);
    detachedPids.push_back(child.pid);
  }
  child.ended = true;
}

void releaseProcess(ChildProcess& child) {
  if (!child.ended && child.pid > 0) guardTell(-child.pid);
  detachProcess(child);
}

int reapDetachedProcesses() {
  reapGuard();
  std::lock_guard<std::mutex> lock(detachedMutex);
  auto gone = [](pid_t pid) {
    int status = 0;
    pid_t rc;
    do {
      rc = ::waitpid(pid, &status, WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc != 0) guardTell(-pid);
    return rc != 0;  // reaped now, or no longer our child
  };
  detachedPids.erase(std::remove_if(detachedPids.begin(), detachedPids.end(), gone),
                     detachedPids.end());
  return static_cast<int>(detachedPids.size());
}

CapturedRun runCapturedCommand(const std::string& command, const std::string& directory,
                               double timeLimitSeconds) {
  CapturedRun result;
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    result.error = systemErrorText(errno);
    return result;
  }
  ChildProcess child;
  StreamTarget toPipe{nullptr, pipeEnds[1]};
  bool started = spawnWith({"/bin/sh", "-c", command}, directory, toPipe, toPipe, true, child,
                           &result.error);
  ::close(pipeEnds[1]);
  if (!started) {
    ::close(pipeEnds[0]);
    return result;
  }
  result.started = true;
  int readEnd = pipeEnds[0];
  ::fcntl(readEnd, F_SETFL, ::fcntl(readEnd, F_GETFL) | O_NONBLOCK);
  int pidDescriptor = openPidDescriptor(child.pid);

  const double deadline = timeLimitSeconds > 0 ? monotonicSeconds() + timeLimitSeconds : 0.0;
  const double lingerSeconds = 0.5;
  double lingerUntil = 0.0;  // set once the shell has ended
  char buffer[8192];
  for (;;) {
    double now = monotonicSeconds();
    if (!child.ended && deadline > 0 && now >= deadline) {
      killProcessGroup(child);
      result.timedOut = true;
      break;
    }
    if (!child.ended && receivedStop != 0) {
      killProcessGroup(child);
      break;
    }
    if (child.ended && (readEnd < 0 || now >= lingerUntil)) break;
    if (!child.ended && pidDescriptor < 0 && pollProcess(child)) {
      lingerUntil = now + lingerSeconds;
      continue;
    }

    // How long poll may sleep: until the deadline, the end of the linger, or (without a
    // pid descriptor) the next look at the shell.
    double wait = -1.0;
    auto limit = [&](double until) {
      double left = std::max(0.0, until - now);
      wait = wait < 0 ? left : std::min(wait, left);
    };
    if (!child.ended && deadline > 0) limit(deadline);
    if (!child.ended && pidDescriptor < 0) limit(now + 0.05);
    if (child.ended) limit(lingerUntil);

    pollfd fds[3];
    nfds_t count = 0;
    int pipeSlot = -1, pidSlot = -1;
    if (readEnd >= 0) {
      fds[count] = {readEnd, POLLIN, 0};
      pipeSlot = static_cast<int>(count++);
    }
    if (!child.ended && pidDescriptor >= 0) {
      fds[count] = {pidDescriptor, POLLIN, 0};
      pidSlot = static_cast<int>(count++);
    }
    if (!child.ended && stopPipe[0] >= 0) fds[count++] = {stopPipe[0], POLLIN, 0};
    int timeoutMs = wait < 0 ? -1 : static_cast<int>(std::ceil(wait * 1000.0));
    int rc = ::poll(fds, count, timeoutMs);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (pipeSlot >= 0 && fds[pipeSlot].revents) {
      // A bounded number of reads per wake-up, so that endless output cannot keep the
      // time limit from being looked at.
      for (int reads = 0; reads < 64; ++reads) {
        ssize_t n = ::read(readEnd, buffer, sizeof buffer);
        if (n > 0) {
          std::size_t kept = std::min(kMaxCapturedOutput, result.output.size());
          std::size_t room = kMaxCapturedOutput - kept;
          result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) {  // end of output (or a broken pipe)
          ::close(readEnd);
          readEnd = -1;
        }
        break;
      }
    }
    if (pidSlot >= 0 && fds[pidSlot].revents) {
      waitProcess(child);  // the descriptor is readable: the shell has ended
      lingerUntil = monotonicSeconds() + lingerSeconds;
    }
  }
  if (readEnd >= 0) ::close(readEnd);
  if (pidDescriptor >= 0) ::close(pidDescriptor);
  if (!child.ended) waitProcess(child);
  result.exitStatus = child.exitStatus;
  return result;
}

bool waitForChildExitOrTimeout(int milliseconds) {
  installChildExitWakeup();
  reapDetachedProcesses();
  if (wakeupPipe[0] < 0) {  // no pipe could be made: a plain sleep is the safe fallback
    sleepMillis(milliseconds);
    return false;
  }
  const double deadline = monotonicSeconds() + std::max(0, milliseconds) / 1000.0;
  for (;;) {
    double left = deadline - monotonicSeconds();
    int timeoutMs = left <= 0 ? 0 : static_cast<int>(std::ceil(left * 1000.0));
    pollfd fds[2] = {{wakeupPipe[0], POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    int rc = ::poll(fds, stopPipe[0] >= 0 ? 2 : 1, timeoutMs);
    if (rc > 0) {
      // A stop signal ends the wait as a child's end does; its byte stays in its pipe.
      if (fds[0].revents) drainWakeups();
      reapDetachedProcesses();
      return true;
    }
    if (rc == 0) return false;
    if (errno != EINTR) {
      sleepSeconds(left);
      return false;
    }
  }
}

void sleepMillis(int milliseconds) { sleepSeconds(milliseconds / 1000.0); }

void installStopSignals() { std::call_once(stopSignalsInstalled, installStopOnce); }

int stopSignal() { return receivedStop; }

std::string signalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(signal);
  }
}

pid_t guardProcess() {
  reapGuard();
  return guardPid;
}

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

unsigned long long processStartTicks(pid_t pid) {
  if (pid <= 0) return 0;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[1024];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  // "pid (comm) state ppid ... starttime": the start time is the 20th field after the name.
  const char* field = std::strrchr(text, ')');
  if (!field) return 0;
  char state = 0;
  if (std::sscanf(field + 1, " %c", &state) != 1 || state == 'Z' || state == 'X') return 0;
  for (int i = 0; i < 20 && field; ++i) field = std::strchr(field + 1, ' ');
  if (!field) return 0;
  return std::strtoull(field + 1, nullptr, 10);
}

}  // namespace karvo::platform
