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
#include <sys/random.h>
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
// Marks. The functions that find marked processes make only system calls and allocate
// nothing, since the guard uses them too. A process is looked at through a pid descriptor
// opened before its environment is read, so a signal never reaches a process that took the
// pid over in between.

char runToken[64] = "";   // "<pid>-<start ticks>-<random>", this solver process's token
pid_t tokenOwner = 0;     // the process whose token runToken is (a forked copy makes its own)
unsigned lastMark = 0;    // start number of the latest marked start
std::vector<unsigned> keptMarks;  // start numbers that releaseProcess kept
std::mutex keptMutex;             // guards keptMarks against a second thread (tests)

double clockSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void pauseMillis(long milliseconds) {
  timespec pause{0, milliseconds * 1000 * 1000};
  ::nanosleep(&pause, nullptr);
}

void makeRunToken() {
  if (tokenOwner == ::getpid()) return;
  tokenOwner = ::getpid();
  lastMark = 0;
  keptMarks.clear();
  unsigned random = 0;
  if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
    random = static_cast<unsigned>(clockSeconds() * 1e9);
  }
  std::snprintf(runToken, sizeof runToken, "%ld-%llu-%08x", static_cast<long>(tokenOwner),
                processStartTicks(tokenOwner), random);
}

// Which marked processes a search finds: those whose mark holds an entry of `token` with
// the start number `mark`, or with `mark` 0 any start number not in kept[0..keptCount);
// members of process group `otherGroup` are left out (the caller signals that group itself).
struct MarkFilter {
  const char* token;      // run token, ended by a zero byte
  unsigned mark;          // start number; 0: any that is not kept
  const unsigned* kept;   // kept start numbers (with mark 0)
  std::size_t keptCount;  // number of them
  pid_t otherGroup = 0;   // process group left out; 0: none
};

// Whether the value of the mark variable, value[0..length), matches `filter`.
bool markValueMatches(const char* value, std::size_t length, const MarkFilter& filter) {
  const std::size_t tokenLength = std::strlen(filter.token);
  for (std::size_t start = 0; start < length;) {
    std::size_t end = start;
    while (end < length && value[end] != ':') ++end;
    const char* entry = value + start;
    const std::size_t size = end - start;
    start = end + 1;
    if (size <= tokenLength + 1 || size > tokenLength + 11 ||
        std::memcmp(entry, filter.token, tokenLength) != 0 || entry[tokenLength] != '/') {
      continue;
    }
    unsigned long long number = 0;
    bool digits = true;
    for (std::size_t i = tokenLength + 1; i < size && digits; ++i) {
      digits = entry[i] >= '0' && entry[i] <= '9';
      number = number * 10 + static_cast<unsigned>(entry[i] - '0');
    }
    if (!digits) continue;
    if (filter.mark != 0) {
      if (number == filter.mark) return true;
      continue;
    }
    bool kept = false;
    for (std::size_t k = 0; k < filter.keptCount && !kept; ++k) kept = filter.kept[k] == number;
    if (!kept) return true;
  }
  return false;
}

// Whether the environment read from `fd` (a /proc/<pid>/environ: "NAME=value" entries, each
// ended by a zero byte) holds a mark that matches `filter`. Read in pieces of any size.
bool environmentMatches(int fd, const MarkFilter& filter) {
  constexpr std::size_t kNameLength = sizeof kRunMarkVariable - 1;
  char piece[8192];
  char value[4096];
  std::size_t valueLength = 0;
  std::size_t matched = 0;  // bytes of "<name>=" seen at the start of the entry
  bool other = false;       // the entry is some other variable
  bool truncated = false;
  auto decide = [&] {
    // A cut value is looked at only up to its last whole entry.
    if (truncated) {
      while (valueLength > 0 && value[valueLength - 1] != ':') --valueLength;
    }
    return markValueMatches(value, valueLength, filter);
  };
  for (;;) {
    ssize_t n = ::read(fd, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = piece[i];
      if (c == '\0') {
        if (matched > kNameLength && decide()) return true;
        matched = valueLength = 0;
        other = truncated = false;
      } else if (matched > kNameLength) {
        if (valueLength < sizeof value) {
          value[valueLength++] = c;
        } else {
          truncated = true;
        }
      } else if (!other) {
        if (c == (matched < kNameLength ? kRunMarkVariable[matched] : '=')) {
          ++matched;
        } else {
          other = true;
        }
      }
    }
  }
  return matched > kNameLength && decide();
}

// Whether the environment of process `pid` holds a mark that matches `filter` (false when it
// cannot be read: gone, a zombie, another user's). `proc` is /proc.
bool environmentOfMatches(int proc, pid_t pid, const MarkFilter& filter) {
  char path[32];
  char digits[16];
  int count = 0;
  for (long rest = pid; rest > 0 && count < 15; rest /= 10) digits[count++] = '0' + rest % 10;
  int at = 0;
  while (count > 0) path[at++] = digits[--count];
  std::memcpy(path + at, "/environ", sizeof "/environ");
  int fd = ::openat(proc, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool marked = environmentMatches(fd, filter);
  ::close(fd);
  return marked;
}

// The pid descriptors of processes signalled to end, watched until they have exited: a process
// whose environment is gone may still be exiting (its open files not yet closed). Fixed in
// size, as the guard process allocates nothing.
struct ExitWatch {
  int descriptors[64];
  int count = 0;
};

// Sends `signal` (0: none, only counts) to process `pid` when it matches `filter`; after
// SIGTERM a SIGCONT, so that a stopped process gets to act on it. `proc` is /proc. Most
// processes carry no mark: they cost one read of their environment. For one that does, a pid
// descriptor is opened and the environment read again through it being open, so that the
// signal never reaches a process that took the pid over in between. With `watch`, the
// descriptor of a process signalled to end is kept there instead of closed.
bool signalIfMarked(int proc, pid_t pid, const MarkFilter& filter, int signal,
                    ExitWatch* watch) {
  if (!environmentOfMatches(proc, pid, filter)) return false;
  int pidDescriptor = -1;
#ifdef SYS_pidfd_open
  pidDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidDescriptor < 0 && errno != ENOSYS) return false;  // gone
#endif
  bool marked = !(filter.otherGroup > 0 && ::getpgid(pid) == filter.otherGroup) &&
                environmentOfMatches(proc, pid, filter);
  if (marked && signal != 0) {
    for (int each : {signal, signal == SIGTERM ? SIGCONT : 0}) {
      if (each == 0) continue;
#ifdef SYS_pidfd_send_signal
      if (pidDescriptor >= 0) {
        ::syscall(SYS_pidfd_send_signal, pidDescriptor, each, nullptr, 0);
        continue;
      }
#endif
      ::kill(pid, each);
    }
  }
  if (pidDescriptor >= 0 && marked && signal != 0 && watch &&
      watch->count < static_cast<int>(sizeof watch->descriptors / sizeof(int))) {
    watch->descriptors[watch->count++] = pidDescriptor;
  } else if (pidDescriptor >= 0) {
    ::close(pidDescriptor);
  }
  return marked;
}

// Waits until every watched process has exited (its pid descriptor reads ready), at most
// `seconds` in all, and closes the descriptors.
void awaitExits(ExitWatch& watch, double seconds) {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (int i = 0; i < watch.count; ++i) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const double spent = static_cast<double>(now.tv_sec - start.tv_sec) +
                         static_cast<double>(now.tv_nsec - start.tv_nsec) * 1e-9;
    const int left = static_cast<int>(std::max(0.0, seconds - spent) * 1000.0);
    pollfd ready{watch.descriptors[i], POLLIN, 0};
    while (::poll(&ready, 1, left) < 0 && errno == EINTR) {
    }
    ::close(watch.descriptors[i]);
  }
  watch.count = 0;
}

// Sends `signal` (0: none) to every live process that matches `filter`, other than this
// process and `spare`; answers how many there were. A zombie has no environment left and
// does not count. `watch`, when given, receives the pid descriptors of those signalled.
int signalMarked(const MarkFilter& filter, int signal, pid_t spare, ExitWatch* watch = nullptr) {
  int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return 0;
  const pid_t self = ::getpid();
  int found = 0;
  alignas(8) char entries[8192];
  for (;;) {
    long n = ::syscall(SYS_getdents64, proc, entries, sizeof entries);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (long offset = 0; offset < n;) {
      // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
      unsigned short length = 0;
      std::memcpy(&length, entries + offset + 16, sizeof length);
      const char* name = entries + offset + 19;
      offset += length;
      if (length == 0) break;
      long pid = 0;
      bool digits = name[0] != '\0';
      for (const char* c = name; *c && digits; ++c) {
        digits = *c >= '0' && *c <= '9';
        pid = pid * 10 + (*c - '0');
      }
      if (!digits || pid <= 0 || pid == self || pid == spare) continue;
      if (signalIfMarked(proc, static_cast<pid_t>(pid), filter, signal, watch)) ++found;
    }
  }
  ::close(proc);
  return found;
}

// SIGKILL to what still matches `filter`, looked for again until nothing is found (a process
// may have started another one in between), at most a few times.
// Whether they have all exited is waited for (briefly: SIGKILL cannot be held off).
void killMarked(const MarkFilter& filter, pid_t spare) {
  ExitWatch watch;
  for (int round = 0; round < 20 && signalMarked(filter, SIGKILL, spare, &watch) > 0; ++round) {
    awaitExits(watch, 1.0);
    pauseMillis(10);
  }
  awaitExits(watch, 1.0);
}

// SIGTERM to every process that matches `filter`; SIGKILL to those still there once they
// are all gone or `graceSeconds` have passed. Answers how many were found at first, once
// they have exited.
int sweepMarked(const MarkFilter& filter, double graceSeconds, pid_t spare) {
  ExitWatch watch;
  const int found = signalMarked(filter, SIGTERM, spare, &watch);
  if (found == 0) return 0;
  const double deadline = clockSeconds() + std::max(0.0, graceSeconds);
  while (signalMarked(filter, 0, spare) > 0) {
    if (clockSeconds() >= deadline) {
      killMarked(filter, spare);
      break;
    }
    pauseMillis(20);
  }
  awaitExits(watch, 1.0);
  return found;
}

// ---------------------------------------------------------------------------------------
// The guard process. Messages are 32-bit integers: +group when the solver starts a process
// group, -group when it has reaped or released it, 0 followed by a start number whose mark
// is kept.

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
  static unsigned kept[kGuardCapacity];
  std::size_t count = 0;
  std::size_t keptCount = 0;
  bool keepNext = false;  // the next value is a kept start number
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
      if (keepNext) {
        keepNext = false;
        if (keptCount < kGuardCapacity) kept[keptCount++] = static_cast<unsigned>(value);
      } else if (value == 0) {
        keepNext = true;
      } else if (value > 0) {
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
  // The solver has gone: end what it left running, its groups and what carries its marks.
  const MarkFilter marked{runToken, 0, kept, keptCount};
  for (std::size_t i = 0; i < count; ++i) ::kill(-groups[i], SIGTERM);
  bool markedAlive = runToken[0] != '\0' && signalMarked(marked, SIGTERM, 0) > 0;
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    bool alive = markedAlive = markedAlive && signalMarked(marked, 0, 0) > 0;
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
  if (markedAlive) killMarked(marked, 0);
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

// Hands a kept start number to the guard.
void guardTellKept(unsigned mark) {
  guardTell(0);
  guardTell(static_cast<std::int32_t>(mark));
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
  char* const* environment;
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
  ::execve(plan.program, plan.arguments, plan.environment);
  *plan.failure = errno != 0 ? errno : ENOEXEC;
  ::_exit(127);
}

// The launch: vfork and runLaunchedChild. All signals stay blocked from before the vfork
// until just before the exec, so no handler of the solver ever runs in the child; the
// signals the solver handles are in kChildDefaultSignals, and the exec resets any other
// handler. (A general-purpose spawn resets or looks at every one of the 64 signals in the
// child instead, and checks each descriptor of its file actions against the limit.)
// A `marked` program gets the solver's environment with the mark of this start added.
bool spawnWith(const std::vector<std::string>& argv, const std::string& directory,
               const StreamTarget& out, const StreamTarget& err, bool errSharesOut,
               bool marked, ChildProcess& child, std::string* error) {
  child = ChildProcess{};
  if (argv.empty() || argv[0].empty()) {
    if (error) *error = "no program given";
    return false;
  }
  installChildExitWakeup();
  reapDetachedProcesses();
  makeRunToken();
  startGuard();

  std::vector<char*> environment;
  std::string markEntry;
  unsigned mark = 0;
  if (marked) {
    mark = ++lastMark;
    const std::string name = std::string(kRunMarkVariable) + "=";
    const char* inherited = std::getenv(kRunMarkVariable);
    markEntry = name + (inherited && *inherited ? std::string(inherited) + ":" : "") + runToken +
                "/" + std::to_string(mark);
    for (char** entry = environ; entry && *entry; ++entry) {
      if (std::strncmp(*entry, name.c_str(), name.size()) != 0) environment.push_back(*entry);
    }
    environment.push_back(markEntry.data());
    environment.push_back(nullptr);
  }

  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& a : argv) arguments.push_back(const_cast<char*>(a.c_str()));
  arguments.push_back(nullptr);
  volatile int failure = 0;
  const LaunchPlan plan{argv[0].c_str(), arguments.data(),
                        directory.empty() ? nullptr : directory.c_str(),
                        &out, &err, errSharesOut, marked ? environment.data() : environ,
                        &failure};
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
  child.mark = mark;
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
  return spawnWith(argv, settings.workingDirectory, out, err, shared, true, child, error);
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

namespace {

// Whether the mark of `child` may be ended: it has one, of this process, and it is not kept.
bool markEndable(const ChildProcess& child) {
  if (child.mark == 0 || tokenOwner != ::getpid()) return false;
  std::lock_guard<std::mutex> lock(keptMutex);
  return std::find(keptMarks.begin(), keptMarks.end(), child.mark) == keptMarks.end();
}

}  // namespace

bool killProcessGroup(ChildProcess& child, double graceSeconds, std::string* error) {
  if (child.ended || child.pid <= 0) return true;
  // The leader is not reaped before the end of this function, so the group id stays ours.
  if (::kill(-child.pid, SIGTERM) != 0 && errno != ESRCH) {
    int code = errno;
    if (error) *error = systemErrorText(code);
    return false;
  }
  const MarkFilter leftovers{runToken, child.mark, nullptr, 0, child.pid};
  ExitWatch watch;
  bool markedAlive =
      markEndable(child) && signalMarked(leftovers, SIGTERM, guardPid, &watch) > 0;
  const double deadline = monotonicSeconds() + std::max(0.0, graceSeconds);
  bool killNeeded = true;
  for (;;) {
    if (leaderHasEnded(child.pid)) {
      bool scanned = false;
      if (!groupHasLiveMembers(child.pid, child.pid, scanned)) {
        markedAlive = markedAlive && signalMarked(leftovers, 0, guardPid) > 0;
        // Nothing left to signal; when /proc could not be read, stragglers get SIGKILL.
        killNeeded = !scanned;
        if (!markedAlive) break;
      }
    }
    if (monotonicSeconds() >= deadline) break;
    sleepSeconds(std::min(0.02, std::max(0.001, deadline - monotonicSeconds())));
  }
  if (killNeeded) ::kill(-child.pid, SIGKILL);
  if (markedAlive) killMarked(leftovers, guardPid);
  awaitExits(watch, 1.0);
  reapBlocking(child);
  return true;
}

int endLeftoverProcesses(const ChildProcess& child, double graceSeconds) {
  if (!markEndable(child)) return 0;
  return sweepMarked(MarkFilter{runToken, child.mark, nullptr, 0}, graceSeconds, guardPid);
}

int endRunProcesses(double graceSeconds) {
  if (tokenOwner != ::getpid()) return 0;  // nothing was started
  std::vector<unsigned> kept;
  {
    std::lock_guard<std::mutex> lock(keptMutex);
    kept = keptMarks;
  }
  return sweepMarked(MarkFilter{runToken, 0, kept.data(), kept.size()}, graceSeconds, guardPid);
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
  if (child.mark != 0 && tokenOwner == ::getpid()) {
    {
      std::lock_guard<std::mutex> lock(keptMutex);
      keptMarks.push_back(child.mark);
    }
    guardTellKept(child.mark);
  }
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
  bool started = spawnWith({"/bin/sh", "-c", command}, directory, toPipe, toPipe, true, false,
                           child, &result.error);
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
