// Message output, the common error exit and the file handles through which the solver
// opens, reads, writes and closes its text files.
//
// Every text the solver shows or logs goes through writeMessage: it routes the text to the
// destinations named in a "|"-joined string ("outptr", "stderr", "stdout", "analysis"),
// writes a severity header, wraps lines at 110 columns and closes the block.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace karvo {

// Thrown to unwind to main, where the closing steps of the run are taken once.
// `code` is the solver's exit code (-123 for a fatal error); `closeRun` says whether the
// common closing steps (lock files, reports, message file) are due.
struct RunExit {
  int code;
  bool closeRun;
};

// One open text file. Mode 0: opened for reading; 1: for writing or appending;
// 2: a standard stream (never closed, only flushed).
struct FileHandle {
  std::FILE* stream = nullptr;
  std::string name;  // as given to openFile; used in messages
  int mode = 0;
};

// The standard streams as handles of mode 2.
FileHandle* stdoutHandle();
FileHandle* stderrHandle();

// The message file ("outptr"); null until the command line step has opened it.
extern FileHandle* outptr;

// Wrap width of message bodies (columns).
extern int messageWrapWidth;

// Where the "analysis" destination writes: the analysis log of (design number, analysis
// name), or the design log when the name is empty. Set by the evaluation flow; while it is
// unset (or answers ""), such messages go to "outptr".
using AnalysisLogPathFn = std::string (*)(int designNumber, const std::string& analysisName);
extern AnalysisLogPathFn analysisLogPath;

// printf into a std::string (any length).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatTextV(const char* format, std::va_list args);

// Writes `text` (already formatted; not a format string) to every channel named in
// `destination` with the header of `severity` ("warning", "error", "internal error",
// "note", "output", "implied", "none"). In check-performance mode notes are dropped.
void writeMessage(const char* destination, const char* severity, const std::string& text,
                  int analysisIndex = 0, const std::string& analysisName = "");

// The common error exit: the exit state becomes "Error", the text is written to the message
// file as an error, "Run exiting due to an error" follows on "outptr|stderr", and control
// unwinds to main (RunExit{-123, true}), which takes the closing steps.
[[noreturn]] void fatalError(const std::string& text);

// Unwinds to main with `code`; the closing steps run only when `closeRun` is set.
[[noreturn]] void exitRun(int code, bool closeRun);

// File handles. openFile refuses binary modes; answers null when the file cannot be opened.
FileHandle* openFile(const std::string& name, const char* mode);
// Next line (with its newline) into a buffer from fmalloc (label "fgetsData"); null at end
// of file or on misuse. The caller releases it with ffree.
char* readLine(FileHandle* handle);
// Next line into a caller buffer of `capacity` bytes (fgets semantics); null at end.
char* readLineInto(char* buffer, int capacity, FileHandle* handle);
void writeFormatted(FileHandle* handle, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void writeText(FileHandle* handle, const std::string& text);
void rewindFile(FileHandle* handle);
void flushFile(FileHandle* handle);
// Closes the stream and frees the handle; standard streams are only flushed.
void closeFile(FileHandle* handle);

// Closes a binary state file after writing, with a verified stamp: the sequence number is
// advanced modulo 2^31 - 1 (and written back through `sequence`), the 8-byte stamp
// (count, sequence; little-endian int32) is written at offset 0, the file is closed,
// reopened "r+b" (at most `openAttempts` tries; the opens used are added to
// `binaryReopenCount`) and the stamp read back, rewritten until it matches (50 attempts in
// all). `file` is closed in every case. Answers true when the stamp was verified.
bool closeWithVerifiedStamp(std::FILE* file, const std::string& fileName, int count,
                            int& sequence, int openAttempts);
// Reads the stamp of a binary state file, reading again until two reads agree (at most
// 50 attempts). Answers false with the message on standard error when that never happens.
bool readStampVerified(const std::string& fileName, int& count, int& sequence,
                       int openAttempts);
extern long binaryReopenCount;

}  // namespace karvo
