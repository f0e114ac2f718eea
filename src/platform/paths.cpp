#include "platform/paths.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace karvo::platform {

std::string resolvedPath(const std::string& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return fs::path(path).lexically_normal().string();
  fs::path resolved = fs::weakly_canonical(absolute, ec);
  if (ec) resolved = absolute.lexically_normal();
  std::string text = resolved.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool folderContains(const std::string& outer, const std::string& inner) {
  const std::string a = resolvedPath(outer), b = resolvedPath(inner);
  if (a == b) return true;
  if (a == "/") return true;
  return b.size() > a.size() && b.compare(0, a.size(), a) == 0 && b[a.size()] == '/';
}

int holdExclusiveLock(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = systemErrorText(errno);
    return -1;
  }
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int reason = errno;
    ::close(fd);
    if (error) *error = systemErrorText(reason);
    return reason == EWOULDBLOCK ? 0 : -1;
  }
  // Kept open on purpose: the lock lasts as long as the process.
  return 1;
}

}  // namespace karvo::platform
