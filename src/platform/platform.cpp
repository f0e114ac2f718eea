// The Linux layer. Called for every file the solver builds, every time stamp of a log and
// every environment look-up, so each function is a thin wrapper without allocation beyond
// its result.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace karvo::platform {

std::int64_t nowMillis() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

std::string timeStamp(std::int64_t millis) {
  std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  int ms = static_cast<int>(millis % 1000);
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", ms);
  return text;
}

std::string timeStamp() { return timeStamp(nowMillis()); }

bool hasEnv(const char* name) { return std::getenv(name) != nullptr; }

std::string getEnv(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : fallback;
}

bool setEnv(const char* name, const std::string& value) {
  return ::setenv(name, value.c_str(), 1) == 0;
}

bool unsetEnv(const char* name) { return ::unsetenv(name) == 0; }

std::string currentDirectory() {
  std::string buffer(4096, '\0');
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return "";
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

std::string executableFolder() {
  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || program.empty()) return "";
  return program.parent_path().string();
}

bool changeDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

static bool fail(const std::error_code& ec, std::string* error) {
  if (error) *error = ec.message();
  return false;
}

bool pathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool isRegularFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool makeDirectory(const std::string& path, std::string* error) {
  std::error_code ec;
  fs::create_directory(path, ec);
  if (ec) return fail(ec, error);
  return true;
}

bool makeDirectories(const std::string& path, std::string* error) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) return fail(ec, error);
  return true;
}

bool removeFile(const std::string& path, std::string* error) {
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(path, ec))) {
    return fail(std::make_error_code(std::errc::is_a_directory), error);
  }
  fs::remove(path, ec);
  if (ec) return fail(ec, error);
  return true;
}

bool removeTree(const std::string& path, std::string* error) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return fail(ec, error);
  return true;
}

bool replaceFileContents(const std::string& path, std::string_view bytes, std::string* error) {
  return replaceFileContents(path, std::span<const std::string_view>(&bytes, 1), error);
}

bool replaceFileContents(const std::string& path, std::span<const std::string_view> pieces,
                         std::string* error) {
  const std::string temporary = path + ".tmp" + std::to_string(static_cast<long>(::getpid()));
  auto fail = [&](int code, int fd) {
    if (fd >= 0) ::close(fd);
    ::unlink(temporary.c_str());
    if (error) *error = systemErrorText(code);
    return false;
  };
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(errno, -1);
  for (const std::string_view bytes : pieces) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return fail(n < 0 ? errno : EIO, fd);
      done += static_cast<std::size_t>(n);
    }
  }
  if (::fsync(fd) != 0) return fail(errno, fd);
  if (::close(fd) != 0) return fail(errno, -1);
  if (std::rename(temporary.c_str(), path.c_str()) != 0) return fail(errno, -1);
  // The rename itself reaches the disk with its folder.
  const std::size_t slash = path.find_last_of(kPathSeparator);
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  return true;
}

bool copyFile(const std::string& from, const std::string& to, std::string* error) {
  // Each analysis of each design copies its input files: the source is looked at once and
  // the target at most twice (itself, then the file of that name inside it when it is a
  // folder).
  struct stat source {};
  if (::stat(from.c_str(), &source) != 0) {
    return fail(std::error_code(errno, std::generic_category()), error);
  }
  auto isSource = [&source](const fs::path& path, struct stat& found) {
    return ::stat(path.c_str(), &found) == 0 && found.st_dev == source.st_dev &&
           found.st_ino == source.st_ino;
  };
  fs::path target = to;
  struct stat existing {};
  // A file or folder copied onto itself is already where it should be.
  if (isSource(target, existing)) return true;
  if (existing.st_ino != 0 && S_ISDIR(existing.st_mode)) {
    target /= fs::path(from).filename();
    if (isSource(target, existing)) return true;
  }
  std::error_code ec;
  if (S_ISDIR(source.st_mode)) {
    fs::copy(from, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing,
             ec);
  } else {
    fs::copy_file(from, target, fs::copy_options::overwrite_existing, ec);
  }
  if (ec) return fail(ec, error);
  return true;
}

bool movePath(const std::string& from, const std::string& to, std::string* error) {
  std::error_code ec;
  fs::path target = to;
  if (fs::is_directory(target, ec) && !fs::equivalent(from, target, ec)) {
    target /= fs::path(from).filename();
  }
  fs::rename(from, target, ec);
  if (!ec) return true;
  if (ec != std::errc::cross_device_link) return fail(ec, error);
  // Another file system: copy, then remove the source.
  ec.clear();
  fs::copy(from, target,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec) return fail(ec, error);
  fs::remove_all(from, ec);
  if (ec) return fail(ec, error);
  return true;
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == kPathSeparator) return folder + name;
  return folder + kPathSeparator + name;
}

std::string systemErrorText(int error) { return std::strerror(error); }

}  // namespace karvo::platform
