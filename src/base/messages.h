// Message output and the common error exit.
//
// Every text the solver shows or logs goes through writeMessage: it routes the text to the
// destinations named in a "|"-joined string ("outptr", "stderr", "stdout", "analysis"),
// writes a severity header, wraps lines at 110 columns and closes the block.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/file_handle.h"

namespace karvo {

// The message file ("outptr"); null until the command line step has opened it.
extern FileHandle* outptr;

// Wrap width of message bodies (columns).
extern int messageWrapWidth;

// Where the "analysis" destination writes: the analysis log of (design number, analysis
// name), or the design log when the name is empty. Set by the evaluation flow; while it is
// unset (or answers ""), such messages go to "outptr".
using AnalysisLogPathFn = std::string (*)(int designNumber, const std::string& analysisName);
extern AnalysisLogPathFn analysisLogPath;

// While a batch of designs runs, the logs it writes stay open between messages: each log is
// opened once, every message is appended and flushed at once (nothing is lost when the run
// dies), and the log is closed when its design finishes (closeAnalysisLogs with the design's
// folder) or the batch ends (keepAnalysisLogsOpen(false), which closes them all). Outside a
// batch each message opens and closes its log.
void keepAnalysisLogsOpen(bool keep);
void closeAnalysisLogs(const std::string& folder);

// Appends `text` as it is to the log at `path` (kept open as above). False when the log
// cannot be opened.
bool appendToAnalysisLog(const std::string& path, const std::string& text);

// printf into a std::string (any length).
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatTextV(const char* format, std::va_list args);

// Writes `text` (already formatted; not a format string) to every channel named in
// `destination` with the header of `severity` ("warning", "error", "internal error",
// "note", "output", "implied", "none"). In check-performance mode notes are dropped.
void writeMessage(const char* destination, const char* severity, const std::string& text,
                  int analysisIndex = 0, const std::string& analysisName = "");

// The per-design notes of a run (a job submitted, launched, completed; a batch done). On a
// terminal their flood would push the progress line and the warnings out of sight: while
// `designNotesToMessageFile` is set (a study run whose standard output is a terminal) they go
// to the message file, and to standard output as well with `verbose`. Otherwise they go to
// standard output alone, so that a pipe or a scheduler's log keeps every line.
extern bool designNotesToMessageFile;
void writeDesignNote(const std::string& text);

// The common error exit: the exit state becomes "Error", the text is written to the message
// file as an error, "Run exiting due to an error" follows on "outptr|stderr", and control
// unwinds to main (RunExit{-123, true}), which takes the closing steps.
[[noreturn]] void fatalError(const std::string& text);

}  // namespace karvo
