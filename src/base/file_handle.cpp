// Text file handles: every text file the solver reads or writes goes through these, so that
// a misuse (a binary mode, a read of a file opened for writing) is told, not undefined.
#include "base/file_handle.h"

#include <cstdarg>
#include <cstring>

#include "base/memory.h"
#include "base/messages.h"

namespace karvo {

FileHandle* stdoutHandle() {
  static FileHandle handle{stdout, "stdout", 2};
  return &handle;
}

FileHandle* stderrHandle() {
  static FileHandle handle{stderr, "stderr", 2};
  return &handle;
}

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

}  // namespace karvo
