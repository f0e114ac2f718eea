// The run interaction file, the analysis IO files and the console run menu. Polled after
// every submission and on every pass of the evaluation loop: a poll without a typed line
// and without an interaction file costs one stat and, on a terminal, one poll(2).
//
// States of a run, as RunInteraction holds them (transitions by interactionProcessLine for
// the file's lines, interactionRunMenu for the menu's choices, interactionPoll for time):
//
//                    "pause"                              "pause N"
//   +--------+ <------------------ +---------+ ------------------------> +-------------+
//   | PAUSED |                     | RUNNING |                          | TIMED PAUSE |
//   +--------+ ------------------> +---------+ <------------------------ +-------------+
//       |        "resume", menu 1       |       "resume", menu 1, N s passed     |
//       |                               |                                        |
//       | "stop", menu 2, 3             | "stop", menu 2, 3                      | "stop",
//       v                               v                                        | menu 2, 3
//   +-------------------------------------------------------------------------+ <-+
//   | STOPPED: stopRequested; the loop kills the running local jobs (unless   |
//   | keepRunning) and calls interactionCancelRun                             |
//   +-------------------------------------------------------------------------+
//
// Invariants:
//   1. paused and pausedUntil > 0 never hold together; a pause of either kind ends with
//      "resume", menu choice 1 or "stop".
//   2. In PAUSED only "resume" and "stop" act; any other line gets the paused warning.
//   3. stopRequested, once set, is never cleared; lines after a "stop" are not acted on.
//   4. Every interaction file that was read is renamed or deleted, or (when neither works)
//      remembered by its identity and not read again until it changes: a command acts once.
//   5. Standard input is read only when it is a terminal and this process is in its
//      foreground; otherwise it is not even polled.
#include "evaluation/run_interaction.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "definitions/study.h"
#include "base/messages.h"
#include "base/run_exit.h"
#include "base/run_state.h"
#include "base/text.h"
#include "definitions/process_file.h"
#include "platform/platform.h"
#include "platform/process.h"

namespace karvo {

namespace {

// Messages that the user's own action caused go to the console as well.
constexpr const char* kUserActionDestination = "outptr|stdout";

std::tm localTime(std::time_t wall) {
  std::tm local{};
  localtime_r(&wall, &local);
  return local;
}

// "at HH:MM:SS on DD-MM-YYYY" texts of resume and stop.
std::string userActionText(const char* format, std::time_t wall) {
  std::tm t = localTime(wall);
  return formatText(format, t.tm_hour, t.tm_min, t.tm_sec, t.tm_mday, t.tm_mon + 1,
                    t.tm_year + 1900);
}

// Entries of a line: separated by blanks, tabs and commas.
std::vector<std::string> entriesOf(const std::string& line) {
  std::vector<std::string> entries;
  std::size_t i = 0;
  while (i < line.size()) {
    i = line.find_first_not_of(" \t,", i);
    if (i == std::string::npos) break;
    std::size_t end = line.find_first_of(" \t,", i);
    if (end == std::string::npos) end = line.size();
    entries.push_back(line.substr(i, end - i));
    i = end;
  }
  return entries;
}

// Whole-text integer ("12"; not "12x", not ""). Answers false when it is not one.
bool parseWholeInt(const std::string& text, long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return errno == 0 && end && *end == '\0';
}

// Up to `limit` bytes of a file. Answers 0, or the errno of the failed open or read.
int readPrefix(const std::string& path, std::size_t limit, std::string& text) {
  text.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buffer[4096];
  int error = 0;
  while (text.size() < limit) {
    ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      break;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return error;
}

FileSignature signatureOf(const struct stat& info) {
  FileSignature s;
  s.device = info.st_dev;
  s.inode = info.st_ino;
  s.size = info.st_size;
  s.modified = info.st_mtim.tv_sec;
  s.modifiedNanos = info.st_mtim.tv_nsec;
  return s;
}

bool sameSignature(const FileSignature& a, const FileSignature& b) {
  return a.size >= 0 && a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified == b.modified && a.modifiedNanos == b.modifiedNanos;
}

void requestStop(RunInteraction& state, bool keep, const std::string& firstSentence) {
  state.stopRequested = true;
  state.keepRunning = keep;
  state.paused = false;
  state.pausedUntil = 0.0;
  const char* rest = keep ? "%s The currently running analyses will not be terminated."
                          : "%s The currently running local analyses will be terminated.";
  writeMessage(kUserActionDestination, "note", formatText(rest, firstSentence.c_str()));
}

void resumeRun(RunInteraction& state, std::time_t wall) {
  state.paused = false;
  state.pausedUntil = 0.0;
  writeMessage(kUserActionDestination, "note",
               userActionText("Resuming the process based on user input at %02d:%02d:%02d on "
                              "%02d-%02d-%d.",
                              wall));
}

// The agent named in an updateParallelEvals line: by name, else by number, among the agents
// this process runs.
const Agent* agentInRange(const std::string& text) {
  for (const Agent& agent : agents) {
    if (agent.name == text && agent.number >= run.startAgent && agent.number <= run.finalAgent) {
      return &agent;
    }
  }
  long number = 0;
  if (parseWholeInt(text, number) && number >= run.startAgent && number <= run.finalAgent) {
    return findAgent(static_cast<int>(number));
  }
  return nullptr;
}

void writeMenu(const RunInteraction& state, std::FILE* out) {
  std::fprintf(out, "\n%s run menu\n", kDisplayName);
  std::fputs(state.paused || state.pausedUntil > 0.0 ? "  1  Resume the run\n"
                                                     : "  1  Continue the run\n",
             out);
  std::fputs("  2  Stop the run and terminate the running local analyses\n", out);
  std::fputs("  3  Stop the run and keep the running analyses\n", out);
  std::fputs("  4  Change the number of simultaneous designs of an analysis\n", out);
  std::fputs("Enter your choice (1-4): ", out);
  std::fflush(out);
}

}  // namespace

InteractionTime interactionNow() {
  InteractionTime time;
  time.monotonic = platform::monotonicSeconds();
  time.wall = std::time(nullptr);
  return time;
}

RunInteraction interactionStart() {
  RunInteraction state;
  state.consoleFd = STDIN_FILENO;
  state.consoleEnabled = ::isatty(STDIN_FILENO) == 1;
  return state;
}

std::string interactionFileName() {
  std::string name = run.studyInputPath;
  if (name.empty()) return "";
  if (name.front() != platform::kPathSeparator) name = platform::joinPath(run.workingDirectory, name);
  name.back() = 'o';
  return name;
}

std::string interactionProcessedName(const std::string& file, std::time_t wall) {
  std::tm t = localTime(wall);
  return formatText("%s_processed_at_%02d-%02d-%02d_on_%02d-%02d-%d", file.c_str(), t.tm_hour,
                    t.tm_min, t.tm_sec, t.tm_mday, t.tm_mon + 1, t.tm_year + 1900);
}

bool interactionRetireFile(const std::string& file, std::time_t wall, const char* destination,
                           int designNumber, const std::string& analysisName) {
  const std::string target = interactionProcessedName(file, wall);
  writeMessage(destination, "note", "Renaming the study IO file", designNumber, analysisName);
  if (std::rename(file.c_str(), target.c_str()) == 0) return true;
  writeMessage(destination, "warning",
               formatText("Error in renaming the study IO file from %s to %s. Deleting the "
                          "file instead.",
                          file.c_str(), target.c_str()),
               designNumber, analysisName);
  return ::unlink(file.c_str()) == 0 || errno == ENOENT;
}

bool interactionPaused(const RunInteraction& state, double monotonicNow) {
  return state.paused || (state.pausedUntil > 0.0 && monotonicNow < state.pausedUntil);
}

void interactionPoll(RunInteraction& state, const InteractionTime& time) {
  if (state.pausedUntil > 0.0 && time.monotonic >= state.pausedUntil) state.pausedUntil = 0.0;
  if (state.consoleEnabled && interactionConsoleLineTyped(state.consoleFd)) {
    std::string typed;
    if (interactionReadConsoleLine(state.consoleFd, typed)) {
      interactionRunMenu(state, state.consoleFd, state.consoleOut, time);
      return;
    }
    state.consoleEnabled = false;
    writeMessage("outptr", "note",
                 "The console input has ended. The run menu is no longer offered; the run "
                 "interaction file is still read.");
  }
  interactionReadFile(state, time);
}

bool interactionReadFile(RunInteraction& state, const InteractionTime& time) {
  const std::string name = interactionFileName();
  if (name.empty()) return false;
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    state.emptyFileNoted = false;
    return false;
  }
  if (sameSignature(state.stuckFile, signatureOf(info))) return false;
  std::string content;
  const int readError = readPrefix(name, kMaxInteractionFileBytes, content);
  const bool readable = readError == 0;
  if (readable && content.empty()) {
    // The front end may have created the file and not written it yet.
    if (!state.emptyFileNoted) {
      writeMessage("outptr", "note",
                   formatText("The options file \"%s\" was empty. Will try reading again "
                              "shortly.",
                              name.c_str()));
      state.emptyFileNoted = true;
    }
    return false;
  }
  state.emptyFileNoted = false;
  if (!readable) {
    writeMessage("outptr", "warning",
                 formatText("The run interaction file \"%s\" could not be read: %s.",
                            name.c_str(), platform::systemErrorText(readError).c_str()));
  }
  int lineNumber = 0;
  std::size_t start = 0;
  while (readable && start < content.size() && !state.stopRequested) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, std::min(end - start, kMaxInteractionLine));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    interactionProcessLine(state, line, ++lineNumber, name, time);
    start = end + 1;
  }
  if (!interactionRetireFile(name, time.wall, "outptr")) {
    state.stuckFile = signatureOf(info);
    writeMessage("outptr", "warning",
                 formatText("The run interaction file \"%s\" could not be deleted either. It "
                            "will not be read again until it changes.",
                            name.c_str()));
  } else {
    state.stuckFile = FileSignature{};
  }
  return true;
}

void interactionProcessLine(RunInteraction& state, const std::string& line, int lineNumber,
                            const std::string& fileName, const InteractionTime& time) {
  writeMessage("outptr", "note",
               formatText("Processing line %d of the options file. The line was read as "
                          "\"%s\".",
                          lineNumber, line.c_str()));
  const std::vector<std::string> entries = entriesOf(line);
  if (entries.empty() || state.stopRequested) return;
  const std::string keyword = lowerCase(entries[0]);
  const bool keep = lowerCase(line).find("keep") != std::string::npos;
  const std::string stopSentence = formatText(
      "The process has been terminated by the user from the %s Modeler.", kModelerProduct);

  if (state.paused) {
    if (keyword == "resume") {
      resumeRun(state, time.wall);
    } else if (keyword == "stop") {
      writeMessage(kUserActionDestination, "note",
                   userActionText("Stopping the process based on user input at "
                                  "%02d:%02d:%02d on %02d-%02d-%d.",
                                  time.wall));
      requestStop(state, keep, stopSentence);
    } else {
      std::string text = formatText(
          "The run interaction file \"%s\" did not contain the \"resume\" or \"stop\" keywords.",
          fileName.c_str());
      text = formatText(
          "%s Since the process is in a paused state, these are the only keywords that can be "
          "processed. Please resume the run before using any other options.",
          text.c_str());
      writeMessage("outptr", "warning", text);
    }
    return;
  }

  if (keyword == "stop") {
    requestStop(state, keep, stopSentence);
  } else if (keyword == "pause") {
    std::string text = formatText("The process has been paused by the user from the %s Modeler.",
                                  kModelerProduct);
    text = formatText(
        "%s To resume the run, write \"resume\" into the run interaction file %s.",
        text.c_str(), interactionFileName().c_str());
    writeMessage(kUserActionDestination, "note", text);
    long seconds = 0;
    char* end = nullptr;
    if (entries.size() >= 2) seconds = std::strtol(entries[1].c_str(), &end, 10);
    if (entries.size() >= 2 && end != entries[1].c_str() && seconds > 0) {
      // A number of seconds pauses for that long; anything else until "resume" or "stop".
      seconds = std::min(seconds, 10L * 365 * 24 * 3600);
      state.pausedUntil = time.monotonic + static_cast<double>(seconds);
      writeMessage(kUserActionDestination, "note",
                   formatText("Pausing for %d seconds.", static_cast<int>(seconds)));
    } else {
      state.paused = true;
      state.pausedUntil = 0.0;
    }
  } else if (keyword == "resume") {
    if (state.pausedUntil > 0.0) resumeRun(state, time.wall);
  } else if (keyword == "signal") {
    // What a stop signal (Ctrl-C, kill, a hang-up) does to the running analyses.
    state.keepOnSignal = keep;
    writeMessage(kUserActionDestination, "note",
                 keep ? "Analyses that are running when a signal ends the run will be left "
                        "running."
                      : "Analyses that are running when a signal ends the run will be "
                        "terminated.");
  } else if (keyword == "updateparallelevals") {
    if (entries.size() != 4) {
      writeMessage("outptr", "warning",
                   formatText("Incorrect format for the updateParallelEvals option in the "
                              "KARVO solver interaction file. Found %d entities, expecting 4.",
                              static_cast<int>(entries.size())));
      return;
    }
    interactionRequestParallelChange(state, agentInRange(entries[1]), entries[1], entries[2],
                                     entries[3]);
  } else {
    writeMessage("outptr", "warning",
                 formatText("The line \"%s\" of the run interaction file \"%s\" does not begin "
                            "with a known keyword (\"stop\", \"pause\", \"resume\", \"signal\" or "
                            "\"updateParallelEvals\"). The line is ignored.",
                            line.c_str(), fileName.c_str()));
  }
}

bool interactionRequestParallelChange(RunInteraction& state, const Agent* agent,
                                      const std::string& agentText,
                                      const std::string& analysisName,
                                      const std::string& countText) {
  long count = 0;
  if (!parseWholeInt(countText, count) || count <= 0 || count > 1000000) {
    writeMessage("outptr", "warning",
                 formatText("The number of simultaneous evaluations for analysis \"%s\" must be "
                            "a whole number greater than 0, found \"%s\". The number is not "
                            "changed.",
                            analysisName.c_str(), countText.c_str()));
    return false;
  }
  if (!agent) {
    writeMessage("outptr", "warning",
                 formatText("The agent \"%s\" is not run by this process (agents %d to %d). The "
                            "number of simultaneous evaluations is not changed.",
                            agentText.c_str(), run.startAgent, run.finalAgent));
    return false;
  }
  Process* process = findProcess(agent->process);
  const int index = process ? findAnalysis(*process, analysisName) : -1;
  if (index < 0) {
    writeMessage("outptr", "warning",
                 formatText("The analysis \"%s\" is not defined in the process of agent \"%s\". "
                            "The number of simultaneous evaluations is not changed.",
                            analysisName.c_str(), agent->name.c_str()));
    return false;
  }
  if (!process->parallel) {
    writeMessage("outptr", "warning",
                 "The number of simultaneous evaluations can only be changed if the parallel "
                 "option was being invoked in the original run.");
    return false;
  }
  const int maximum = std::max(1, study.nParallel);
  int to = static_cast<int>(count);
  if (to > maximum) {
    writeMessage("outptr", "warning",
                 formatText("The number of simultaneous evaluations requested for analysis "
                            "\"%s\" (%d) is greater than the maximum number of parallel "
                            "evaluations of the study (%d). It is lowered to %d.",
                            analysisName.c_str(), to, maximum, maximum));
    to = maximum;
  }
  const Analysis& analysis = process->analyses[static_cast<std::size_t>(index)];
  const int from = analysis.numDesigns;
  ParallelChange change{process->number, analysis.name, from, to};
  bool replaced = false;
  for (ParallelChange& queued : state.parallelChanges) {
    if (queued.process == change.process && queued.analysis == change.analysis) {
      queued = change;
      replaced = true;
    }
  }
  if (!replaced) state.parallelChanges.push_back(change);
  std::string text = formatText("The number of simultaneous jobs for analysis \"%s\" changed "
                                "from %d to %d.",
                                analysis.name.c_str(), from, to);
  text = formatText("%s This change will take effect after the current cycle of evaluations "
                    "has been completed.",
                    text.c_str());
  writeMessage(kUserActionDestination, "note", text);
  return true;
}

void interactionApplyParallelChanges(RunInteraction& state) {
  for (const ParallelChange& change : state.parallelChanges) {
    Process* process = findProcess(change.process);
    const int index = process ? findAnalysis(*process, change.analysis) : -1;
    if (index >= 0) process->analyses[static_cast<std::size_t>(index)].numDesigns = change.to;
  }
  state.parallelChanges.clear();
}

bool interactionConsoleLineTyped(int fd) {
  if (::isatty(fd) != 1) return false;
  // A run started in the background of a shell must not take the shell's input, nor be
  // stopped by reading from the terminal.
  if (::tcgetpgrp(fd) != ::getpgrp()) return false;
  struct pollfd request {};
  request.fd = fd;
  request.events = POLLIN;
  if (::poll(&request, 1, 0) <= 0) return false;
  return (request.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool interactionReadConsoleLine(int fd, std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    char c = 0;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') break;
    if (line.size() < kMaxInteractionLine) line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void interactionRunMenu(RunInteraction& state, int inFd, std::FILE* out,
                        const InteractionTime& time) {
  for (;;) {
    writeMenu(state, out);
    std::string choice;
    if (!interactionReadConsoleLine(inFd, choice)) {
      std::fputs("\n", out);
      std::fflush(out);
      state.consoleEnabled = false;
      return;
    }
    choice = trimmed(choice);
    if (choice == "1") {
      if (interactionPaused(state, time.monotonic)) {
        resumeRun(state, time.wall);
      } else {
        std::fputs("The run continues.\n", out);
        std::fflush(out);
      }
      return;
    }
    if (choice == "2" || choice == "3") {
      requestStop(state, choice == "3", "The process has been terminated by the user from the "
                                        "console.");
      return;
    }
    if (choice == "4") {
      const Agent* agent = findAgent(run.currentAgent);
      std::string analysis;
      std::string count;
      std::fputs("Analysis name: ", out);
      std::fflush(out);
      if (!interactionReadConsoleLine(inFd, analysis)) {
        state.consoleEnabled = false;
        return;
      }
      std::fputs("Number of simultaneous designs: ", out);
      std::fflush(out);
      if (!interactionReadConsoleLine(inFd, count)) {
        state.consoleEnabled = false;
        return;
      }
      interactionRequestParallelChange(state, agent, std::to_string(run.currentAgent),
                                       trimmed(analysis), trimmed(count));
      return;
    }
    std::fprintf(out, "\"%s\" is not one of the choices 1 to 4.\n", choice.c_str());
  }
}

bool interactionAnalysisIoComplete(const std::string& analysisFolder,
                                   const std::string& analysisName, int designNumber,
                                   std::time_t wall) {
  const std::string path =
      formatText("%s%c_%s.io", analysisFolder.c_str(), platform::kPathSeparator,
                 analysisName.c_str());
  if (!platform::isRegularFile(path)) return false;
  std::string content;
  if (readPrefix(path, kMaxInteractionFileBytes, content) != 0) return false;
  // The word "complete" in any case, not part of a longer word ("incomplete" does not count).
  bool found = false;
  std::size_t i = 0;
  while (!found && i < content.size()) {
    while (i < content.size() && !std::isalpha(static_cast<unsigned char>(content[i]))) ++i;
    std::size_t end = i;
    while (end < content.size() && std::isalpha(static_cast<unsigned char>(content[end]))) ++end;
    found = end > i && lowerCase(std::string_view(content).substr(i, end - i)) == "complete";
    i = end;
  }
  if (!found) return false;
  writeMessage("analysis", "note",
               "Killing the analysis job and marking analysis as complete since the analysis io "
               "file was found and contained \"complete\".",
               designNumber, analysisName);
  interactionRetireFile(path, wall, "analysis", designNumber, analysisName);
  return true;
}

const char* interactionKillText(bool killed) {
  return killed ? "Analysis job killed successfully." : "Could not kill the analysis process.";
}

void interactionCancelRun() {
  run.exitState = "Cancelled";
  exitRun(kExitNormal, true);
}

void interactionSignalNote(int signal, bool keep) {
  std::string text = formatText("The process has been terminated by the signal %s.",
                                platform::signalName(signal).c_str());
  const char* rest = keep ? "%s The currently running analyses will not be terminated."
                          : "%s The currently running local analyses will be terminated.";
  writeMessage(kUserActionDestination, "note", formatText(rest, text.c_str()));
}

void interactionEndOnSignal() {
  const int signal = platform::stopSignal();
  if (signal == 0) return;
  run.exitState = "Cancelled";
  exitRun(128 + signal, true);
}

}  // namespace karvo
