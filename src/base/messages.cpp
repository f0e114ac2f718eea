// Message routing and layout, and the common error exit. writeMessage
// runs for every note, warning and log line of a run (thousands per hour), so it writes
// straight into the stdio buffer of each channel and flushes once per block.
#include "base/messages.h"
#include "base/progress.h"

#include "base/file_handle.h"
#include "base/run_exit.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/memory.h"
#include "base/run_state.h"
#include "platform/platform.h"

namespace karvo {

FileHandle* outptr = nullptr;
int messageWrapWidth = 110;
AnalysisLogPathFn analysisLogPath = nullptr;

std::string formatTextV(const char* format, std::va_list args) {
  char small[512];
  std::va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (length < 0) return "";
  if (static_cast<std::size_t>(length) < sizeof small) return std::string(small, length);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(length);
  return text;
}

std::string formatText(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = formatTextV(format, args);
  va_end(args);
  return text;
}

namespace {

struct ImpliedPrefix {
  const char* prefix;
  const char* severity;
  bool wholeTextCounts;  // recognised also when nothing follows it
};

constexpr ImpliedPrefix kImpliedPrefixes[] = {
    {"ERROR:", "error", false},     {"WARNING:", "warning", false},
    {"NOTE:", "note", false},       {"OUTPUT:", "output", true},
    {"INTERNAL ERROR:", "internal error", true},
};

// The prefix at `text + pos`, or null.
const ImpliedPrefix* impliedPrefixAt(const std::string& text, std::size_t pos) {
  for (const ImpliedPrefix& p : kImpliedPrefixes) {
    std::size_t n = std::strlen(p.prefix);
    if (text.compare(pos, n, p.prefix) != 0) continue;
    if (pos + n < text.size() || p.wholeTextCounts) return &p;
  }
  return nullptr;
}

const char* headerOf(const char* severity) {
  if (std::strcmp(severity, "warning") == 0) return "*WARNING\n";
  if (std::strcmp(severity, "error") == 0) return "*ERROR\n";
  if (std::strcmp(severity, "internal error") == 0) return "*INTERNAL ERROR\n";
  if (std::strcmp(severity, "note") == 0) return "*NOTE\n";
  if (std::strcmp(severity, "output") == 0) return "*OUTPUT\n";
  return nullptr;
}

bool isImplied(const char* severity) { return std::strcmp(severity, "implied") == 0; }

void writeHeader(std::FILE* stream, const char* severity, const std::string& text) {
  const char* header;
  if (isImplied(severity)) {
    const ImpliedPrefix* p = impliedPrefixAt(text, 0);
    header = headerOf(p ? p->severity : "error");
  } else {
    header = headerOf(severity);
  }
  if (header) std::fputs(header, stream);
}

// The body with the wrap rules: breaks only at blanks after the wrap width or at newlines,
// runs of newlines collapse into one break, a newline at either end of the text is dropped,
// and in "implied" texts a prefix after a newline starts a new block header.
void writeBody(std::FILE* stream, const char* severity, const std::string& text) {
  const std::size_t n = text.size();
  const bool implied = isImplied(severity);
  int column = 0;
  bool pending = false;
  std::size_t i = 0;
  while (i < n) {
    char c = text[i];
    if (c == '\n' && (i == 0 || i == n - 1)) {
      ++i;
      continue;
    }
    if (pending && c == '\n') {
      while (i < n && text[i] == '\n') ++i;
      continue;
    }
    if (pending) {
      std::fputc('\n', stream);
      pending = false;
      if (implied && i > 0 && text[i - 1] == '\n') {
        if (const ImpliedPrefix* p = impliedPrefixAt(text, i)) {
          std::fputs(headerOf(p->severity), stream);
          i += std::strlen(p->prefix);
          continue;
        }
      }
    }
    if (column > messageWrapWidth || c == '\n') {
      if (c == ' ' || c == '\n') {
        pending = true;
        column = 0;
        if (c == ' ') std::fputc(' ', stream);
        ++i;
        continue;
      }
    }
    std::fputc(c, stream);
    ++column;
    ++i;
  }
  std::fputc('\n', stream);
}

void writeBlock(std::FILE* stream, const char* destination, const char* severity,
                const std::string& text) {
  if (stream == stderr || stream == stdout) progressClear();
  writeHeader(stream, severity, text);
  writeBody(stream, severity, text);
  if (std::strcmp(severity, "none") != 0 &&
      (std::strcmp(destination, "outptr") == 0 || std::strcmp(destination, "outptr|stderr") == 0 ||
       std::strcmp(destination, "outptr|stdout") == 0)) {
    std::fputc('\n', stream);
  }
  std::fflush(stream);
}

// The logs kept open while a batch runs, oldest first. A batch writes to the logs of the
// designs it runs at the same time, so the list stays short; past kMaxOpenLogs the oldest is
// closed (and opened again if it is written to later).
struct OpenLog {
  std::string path;
  std::FILE* stream;
};
constexpr std::size_t kMaxOpenLogs = 64;
std::vector<OpenLog> openLogs;
bool keepLogsOpen = false;

std::FILE* analysisLog(const std::string& path) {
  if (keepLogsOpen) {
    for (const OpenLog& log : openLogs) {
      if (log.path == path) return log.stream;
    }
  }
  // Close-on-exec: a log kept open is no business of the programs the solver starts.
  std::FILE* stream = std::fopen(path.c_str(), "ae");
  if (stream && keepLogsOpen) {
    if (openLogs.size() >= kMaxOpenLogs) {
      std::fclose(openLogs.front().stream);
      openLogs.erase(openLogs.begin());
    }
    openLogs.push_back({path, stream});
  }
  return stream;
}

// Done with a log written by one message: closed unless it is kept open.
void releaseAnalysisLog(std::FILE* stream) {
  if (!keepLogsOpen) std::fclose(stream);
}

}  // namespace

void keepAnalysisLogsOpen(bool keep) {
  if (!keep) closeAnalysisLogs("");
  keepLogsOpen = keep;
}

void closeAnalysisLogs(const std::string& folder) {
  std::size_t kept = 0;
  for (OpenLog& log : openLogs) {
    const bool inFolder = folder.empty() ||
                          (log.path.size() > folder.size() &&
                           log.path.compare(0, folder.size(), folder) == 0 &&
                           log.path[folder.size()] == platform::kPathSeparator);
    if (inFolder) {
      std::fclose(log.stream);
    } else {
      openLogs[kept++] = std::move(log);
    }
  }
  openLogs.resize(kept);
}

bool appendToAnalysisLog(const std::string& path, const std::string& text) {
  std::FILE* log = analysisLog(path);
  if (!log) return false;
  std::fwrite(text.data(), 1, text.size(), log);
  std::fflush(log);
  releaseAnalysisLog(log);
  return true;
}

void writeMessage(const char* destination, const char* severity, const std::string& text,
                  int analysisIndex, const std::string& analysisName) {
  if (run.settings.checkPerformanceMode && std::strcmp(severity, "note") == 0) return;
  bool found = false;
  if (std::strstr(destination, "analysis")) {
    found = true;
    std::string path = analysisLogPath ? analysisLogPath(analysisIndex, analysisName) : "";
    std::FILE* log = path.empty() ? nullptr : analysisLog(path);
    if (log) {
      writeBlock(log, destination, severity, text);
      releaseAnalysisLog(log);
    } else {
      writeMessage("outptr", severity, text);
    }
  }
  if (std::strstr(destination, "outptr")) {
    found = true;
    if (!outptr || !outptr->stream) {
      progressClear();
      writeBody(stderr, severity, text);
      std::fflush(stderr);
      return;
    }
    writeBlock(outptr->stream, destination, severity, text);
  }
  if (std::strstr(destination, "stderr")) {
    found = true;
    writeBlock(stderr, destination, severity, text);
  }
  if (std::strstr(destination, "stdout")) {
    found = true;
    writeBlock(stdout, destination, severity, text);
  }
  if (!found) {
    std::string report = formatText(
        "*ERROR\nInternal error in writing out a message. Could not identify the media type "
        "requested (%s).",
        destination);
    report += formatText("\nThe message being output was:\n%s", text.c_str());
    std::fputs(report.c_str(), stderr);
    std::fflush(stderr);
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
  }
}

bool designNotesToMessageFile = false;

void writeDesignNote(const std::string& text) {
  if (!designNotesToMessageFile) {
    writeMessage("stdout", "note", text);
    return;
  }
  writeMessage("outptr", "note", text);
  if (run.settings.verbose) writeMessage("stdout", "note", text);
}

void exitRun(int code, bool closeRun) {
  // Every end that is not a normal one and not a user's stop (which says "Cancelled" before it
  // gets here) is an error in the reports' exit state.
  if (closeRun && code != kExitNormal && run.exitState == "Complete") run.exitState = "Error";
  throw RunExit{code, closeRun};
}

void fatalError(const std::string& text) {
  run.exitState = "Error";
  if (run.settings.checkPerformanceMode) {
    std::string lck = platform::joinPath(run.workingDirectory, "checkPerformance.lck");
    if (std::FILE* f = std::fopen(lck.c_str(), "w")) std::fclose(f);
  }
  // What stops the run is what the user must act on: the terminal gets it too.
  writeMessage("outptr|stderr", "error", text);
  writeMessage("outptr|stderr", "none", "Run exiting due to an error");
  throw RunExit{kExitFatal, true};
}

}  // namespace karvo
