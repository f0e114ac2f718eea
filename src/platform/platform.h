// The Linux layer: path separator, clock and time stamps, environment, and the file
// operations that the solver does in-process instead of through a command shell.
// Each function is small and reports failure by return value; none writes messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace karvo::platform {

// The separator of every file name the solver builds on the local machine.
inline constexpr char kPathSeparator = '/';

// Longest path the solver builds or accepts (bytes, without the terminator).
inline constexpr int kMaxPath = 2055;

// Wall-clock time in milliseconds since the epoch (CLOCK_REALTIME).
std::int64_t nowMillis();

// Seconds on a monotonic clock, for elapsed times and deadlines.
double monotonicSeconds();

// Local time stamp "%Y-%m-%dT%H:%M:%S" followed by ".%03d" milliseconds.
std::string timeStamp();
std::string timeStamp(std::int64_t millis);

// Environment. getEnv answers `fallback` when the variable is not set; hasEnv tells apart
// a variable that is set but empty.
bool hasEnv(const char* name);
std::string getEnv(const char* name, const std::string& fallback = "");
bool setEnv(const char* name, const std::string& value);
bool unsetEnv(const char* name);

// Current directory ("" when it cannot be read) and change of directory.
std::string currentDirectory();
// The folder that holds the running program (from /proc/self/exe); empty when unknown.
std::string executableFolder();
bool changeDirectory(const std::string& path);

// File system. Every operation answers true on success and leaves `error` (when given)
// with the system's text on failure.
bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
// Whether standard error (standard output) is a terminal.
bool standardErrorIsTerminal();
bool standardOutputIsTerminal();
bool isRegularFile(const std::string& path);
bool makeDirectory(const std::string& path, std::string* error = nullptr);   // one level
bool makeDirectories(const std::string& path, std::string* error = nullptr); // every level
bool removeFile(const std::string& path, std::string* error = nullptr);      // rm -f: absent is fine
bool removeTree(const std::string& path, std::string* error = nullptr);      // rm -rf
// Copies a file or folder; `to` may name an existing folder, which then receives it. A
// source that is the target itself is left as it is (success).
bool copyFile(const std::string& from, const std::string& to, std::string* error = nullptr);
// Moves a file or folder; `to` may name an existing folder, which then receives it.
// Works across file systems (copy, then remove).
bool movePath(const std::string& from, const std::string& to, std::string* error = nullptr);
// Replaces the whole content of file `path` so that a reader, or a later run after a crash or
// a power cut at any moment, finds either the old content or the new one, never a part: the
// bytes go to a temporary file in the same folder ("<path>.tmp<pid>"), which is flushed to
// the disk (fsync) and then renamed over `path`; the folder is synced after the rename. On
// failure the old file is left as it was, no temporary file remains, and `error` says why.
bool replaceFileContents(const std::string& path, std::string_view bytes,
                         std::string* error = nullptr);
// The same with the content given as pieces written one after another, so that a large file
// kept in blocks is never joined in memory.
bool replaceFileContents(const std::string& path, std::span<const std::string_view> pieces,
                         std::string* error = nullptr);

// Joins two parts of a path with the separator (no separator doubled).
std::string joinPath(const std::string& folder, const std::string& name);

// The text of errno for messages ("No such file or directory").
std::string systemErrorText(int error);

}  // namespace karvo::platform
