// Message routing and layout, the common error exit, and text file handles. writeMessage
// runs for every note, warning and log line of a run (thousands per hour), so it writes
// straight into the stdio buffer of each channel and flushes once per block.
#include "driver/messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/memory.h"
#include "driver/run_state.h"
#include "platform/platform.h"

namespace karvo {

FileHandle* outptr = nullptr;
int messageWrapWidth = 110;
AnalysisLogPathFn analysisLogPath = nullptr;
long binaryReopenCount = 0;

FileHandle* stdoutHandle() {
  static FileHandle handle{stdout, "stdout", 2};
  return &handle;
}

FileHandle* stderrHandle() {
  static FileHandle handle{stderr, "stderr", 2};
  return &handle;
}

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
  std::fflush(stream);
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
  writeHeader(stream, severity, text);
  writeBody(stream, severity, text);
  if (std::strcmp(severity, "none") != 0 &&
      (std::strcmp(destination, "outptr") == 0 || std::strcmp(destination, "outptr|stderr") == 0 ||
       std::strcmp(destination, "outptr|stdout") == 0)) {
    std::fputc('\n', stream);
  }
  std::fflush(stream);
}

}  // namespace

void writeMessage(const char* destination, const char* severity, const std::string& text,
                  int analysisIndex, const std::string& analysisName) {
  if (run.settings.checkPerformanceMode && std::strcmp(severity, "note") == 0) return;
  bool found = false;
  if (std::strstr(destination, "analysis")) {
    found = true;
    std::string path = analysisLogPath ? analysisLogPath(analysisIndex, analysisName) : "";
    std::FILE* log = path.empty() ? nullptr : std::fopen(path.c_str(), "a");
    if (log) {
      writeBlock(log, destination, severity, text);
      std::fclose(log);
    } else {
      writeMessage("outptr", severity, text);
    }
  }
  if (std::strstr(destination, "outptr")) {
    found = true;
    if (!outptr || !outptr->stream) {
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

void exitRun(int code, bool closeRun) { throw RunExit{code, closeRun}; }

void fatalError(const std::string& text) {
  run.exitState = "Error";
  if (run.settings.checkPerformanceMode) {
    std::string lck = platform::joinPath(run.workingDirectory, "checkPerformance.lck");
    if (std::FILE* f = std::fopen(lck.c_str(), "w")) std::fclose(f);
  }
  writeMessage("outptr", "error", text);
  writeMessage("outptr|stderr", "none", "Run exiting due to an error");
  throw RunExit{kExitFatal, true};
}

// ---------------------------------------------------------------------------------------
// File handles

FileHandle* openFile(const std::string& name, const char* mode) {
  if (std::strchr(mode, 'b')) {
    writeMessage("outptr", "warning",
                 "Error opening file: " + name + "\nUsing the incorrect function to open the file.");
    return nullptr;
  }
  const char* stdioMode;
  int handleMode;
  if (std::strcmp(mode, "r") == 0) {
    stdioMode = "r";
    handleMode = 0;
  } else if (std::strcmp(mode, "a") == 0) {
    stdioMode = "a";
    handleMode = 1;
  } else {
    stdioMode = "w";
    handleMode = 1;
  }
  std::FILE* stream = std::fopen(name.c_str(), stdioMode);
  if (!stream) return nullptr;
  return new FileHandle{stream, name, handleMode};
}

char* readLine(FileHandle* handle) {
  if (!handle) return nullptr;
  if (handle->mode != 0) {
    writeMessage("outptr", "error",
                 "Error reading file: " + handle->name +
                     "\nTrying to read from a file that was opened in an unsupported mode.");
    return nullptr;
  }
  char* line = nullptr;
  std::size_t capacity = 0;
  ssize_t length = ::getline(&line, &capacity, handle->stream);
  if (length < 0) {
    std::free(line);
    return nullptr;
  }
  char* copy = static_cast<char*>(fmalloc(static_cast<std::size_t>(length) + 1, "fgetsData"));
  std::memcpy(copy, line, static_cast<std::size_t>(length) + 1);
  std::free(line);
  return copy;
}

char* readLineInto(char* buffer, int capacity, FileHandle* handle) {
  if (!handle) return nullptr;
  if (handle->mode != 0) {
    writeMessage("outptr", "error",
                 "Error reading file: " + handle->name +
                     "\nTrying to read from a file that was opened in an unsupported mode.");
    return nullptr;
  }
  return std::fgets(buffer, capacity, handle->stream);
}

void writeText(FileHandle* handle, const std::string& text) {
  if (!handle) return;
  if (handle->mode == 0) {
    writeMessage("outptr", "error",
                 "Error writing to file: " + handle->name +
                     "\nTrying to write to a file that was opened in an unsupported mode.");
    return;
  }
  std::fwrite(text.data(), 1, text.size(), handle->stream);
}

void writeFormatted(FileHandle* handle, const char* format, ...) {
  if (!handle) return;
  if (handle->mode == 0) {
    writeText(handle, "");
    return;
  }
  std::va_list args;
  va_start(args, format);
  std::vfprintf(handle->stream, format, args);
  va_end(args);
}

void rewindFile(FileHandle* handle) {
  if (handle && handle->stream) std::rewind(handle->stream);
}

void flushFile(FileHandle* handle) {
  if (!handle) return;
  if (handle->mode == 0) {
    writeMessage("outptr", "internal error",
                 "Requesting buffer flush for file:" + handle->name +
                     "\nThis is an invalid request since this file was opened in read only "
                     "mode.");
    return;
  }
  std::fflush(handle->stream);
}

void closeFile(FileHandle* handle) {
  if (!handle) return;
  if (handle->mode == 2) {
    std::fflush(handle->stream);
    return;  // the standard streams' handles are static
  }
  if (handle == outptr) outptr = nullptr;
  if (handle->stream) std::fclose(handle->stream);
  delete handle;
}

// ---------------------------------------------------------------------------------------
// Verified stamp of binary state files

namespace {

constexpr int kStampAttempts = 50;

void encodeStamp(unsigned char* out, std::int32_t count, std::int32_t sequence) {
  const std::uint32_t values[2] = {static_cast<std::uint32_t>(count),
                                   static_cast<std::uint32_t>(sequence)};
  for (int v = 0; v < 2; ++v) {
    for (int b = 0; b < 4; ++b) out[4 * v + b] = static_cast<unsigned char>(values[v] >> (8 * b));
  }
}

std::FILE* reopen(const std::string& fileName, int openAttempts) {
  for (int attempt = 0; attempt < (openAttempts > 0 ? openAttempts : 1); ++attempt) {
    ++binaryReopenCount;
    if (std::FILE* f = std::fopen(fileName.c_str(), "r+b")) return f;
  }
  return nullptr;
}

bool writeStampAt0(std::FILE* file, const unsigned char* stamp) {
  return std::fseek(file, 0, SEEK_SET) == 0 && std::fwrite(stamp, 1, 8, file) == 8 &&
         std::fflush(file) == 0;
}

bool readStampAt0(std::FILE* file, unsigned char* stamp) {
  return std::fseek(file, 0, SEEK_SET) == 0 && std::fread(stamp, 1, 8, file) == 8;
}

}  // namespace

bool closeWithVerifiedStamp(std::FILE* file, const std::string& fileName, int count,
                            int& sequence, int openAttempts) {
  sequence = static_cast<int>((static_cast<std::int64_t>(sequence) + 1) % 2147483647);
  unsigned char stamp[8];
  encodeStamp(stamp, count, sequence);
  if (file) {
    writeStampAt0(file, stamp);
    std::fclose(file);
  }
  int attempts = 0;
  while (attempts < kStampAttempts) {
    ++attempts;
    std::FILE* f = reopen(fileName, openAttempts);
    if (!f) continue;
    unsigned char back[8];
    bool same = readStampAt0(f, back) && std::memcmp(back, stamp, 8) == 0;
    if (!same) writeStampAt0(f, stamp);
    std::fclose(f);
    if (same) return true;
  }
  std::fprintf(stderr, "Unable to verify correct file write of %s after %d attempts!!\n",
               fileName.c_str(), attempts);
  return false;
}

bool readStampVerified(const std::string& fileName, int& count, int& sequence,
                       int openAttempts) {
  unsigned char previous[8];
  bool havePrevious = false;
  int attempts = 0;
  while (attempts < kStampAttempts) {
    ++attempts;
    std::FILE* f = nullptr;
    for (int i = 0; i < (openAttempts > 0 ? openAttempts : 1) && !f; ++i) {
      ++binaryReopenCount;
      f = std::fopen(fileName.c_str(), "rb");
    }
    if (!f) continue;
    unsigned char stamp[8];
    bool ok = readStampAt0(f, stamp);
    std::fclose(f);
    if (!ok) continue;
    if (havePrevious && std::memcmp(previous, stamp, 8) == 0) {
      auto word = [&](int v) {
        std::uint32_t x = 0;
        for (int b = 0; b < 4; ++b) x |= static_cast<std::uint32_t>(stamp[4 * v + b]) << (8 * b);
        return static_cast<int>(static_cast<std::int32_t>(x));
      };
      count = word(0);
      sequence = word(1);
      return true;
    }
    std::memcpy(previous, stamp, 8);
    havePrevious = true;
  }
  std::fprintf(stderr, "Unable to verify correct file read of %s after %d attempts!!\n",
               fileName.c_str(), attempts);
  return false;
}

}  // namespace karvo
