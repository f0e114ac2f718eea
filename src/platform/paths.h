// Where a folder lies against another one, and the lock that keeps a second solver process
// off a study that is running.
#pragma once

#include <string>

namespace karvo::platform {

// The absolute form of `path` with symbolic links, "." and ".." resolved as far as the path
// exists (the rest is kept as written, normalised).
std::string resolvedPath(const std::string& path);
// Whether the folder `outer` is `inner` or one of its ancestors (both resolved first).
bool folderContains(const std::string& outer, const std::string& inner);

// Takes an exclusive lock, held until the process ends, on the existing file `path` (an
// open file description of its own, not inherited by started processes): 1 when taken, 0 when
// another process holds it, -1 when the file cannot be opened or locked at all (`error` gives
// the system's reason). The lock ends with the process, also when it is killed.
int holdExclusiveLock(const std::string& path, std::string* error = nullptr);

}  // namespace karvo::platform
