// Text file handles: the solver opens, reads, writes and closes its text files through these.
#pragma once

#include <cstdio>
#include <string>

namespace karvo {

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

}  // namespace karvo
