// The verified two-slot file behind the checkpoint and population files: one write per file
// and generation, a few kilobytes to a few megabytes each, so two fsyncs per write cost far
// more than anything computed here. Layout and rules are in verified_file.h.
//
// A write goes through these states; a stop at any byte leaves one of them on the disk:
//
//   (1) slot u in use, the other slot s holds older data or nothing
//        | data bytes to the chosen place (never inside slot u)
//   (2) s: old words over new bytes (checksum fails, or the bytes are its old data unchanged)
//        | offset word, length, stamp and the zero word, checksum last
//   (3) s: new data complete; still not in use          -- fsync, cut the file behind both slots
//        | counter A as read, then counter B from its highest byte down: only its lowest
//        | byte flips the parity of A + B, so the very last byte written is the switch
//   (4) s in use                                        -- fsync, read back and compare
//
// Invariants: slot u is not touched before (4), so it reads as before at every earlier stop;
// the checksum word of s is written after its offset, length and stamp, so s never reads as
// valid with the stamp of one write and the bytes of another (unless the bytes are the same).
#include "base/verified_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/data_value.h"
#include "platform/platform.h"

namespace karvo {

long verifiedFileRetries = 0;

namespace {

constexpr std::int64_t kCounterModulus = 2147483647;
constexpr int kVerifyAttempts = 50;

struct SlotWords {
  std::int32_t offset = kVerifiedHeaderBytes;  // byte where the data starts, >= 48 when valid
  std::int32_t length = 0;                     // data bytes, >= 0 when valid
  std::uint32_t checksum = 0;                  // FNV-1a of the data
  std::int32_t stamp = 0;                      // the writer's
};

struct Header {
  std::int32_t counterA = 0;
  std::int32_t counterB = 0;
  SlotWords slots[2];
};

std::int32_t wordAt(const char* bytes) {
  std::uint32_t value = 0;
  for (int k = 3; k >= 0; --k) value = (value << 8) | static_cast<unsigned char>(bytes[k]);
  return static_cast<std::int32_t>(value);
}

std::string wordBytes(std::int32_t value) {
  std::string out;
  appendInt32(out, value);
  return out;
}

Header parseHeader(const char* bytes) {
  Header header;
  header.counterA = wordAt(bytes);
  header.counterB = wordAt(bytes + 4);
  for (int s = 0; s < 2; ++s) {
    SlotWords& slot = header.slots[s];
    slot.offset = wordAt(bytes + 8 + 4 * s);
    slot.length = wordAt(bytes + 16 + 16 * s);
    slot.checksum = static_cast<std::uint32_t>(wordAt(bytes + 20 + 16 * s));
    slot.stamp = wordAt(bytes + 24 + 16 * s);
  }
  return header;
}

std::string freshHeaderBytes() {
  std::string bytes;
  appendInt32(bytes, 0);
  appendInt32(bytes, 0);
  appendInt32(bytes, kVerifiedHeaderBytes);
  appendInt32(bytes, kVerifiedHeaderBytes);
  bytes.append(32, '\0');
  return bytes;
}

// Counter B plus one, modulo 2147483647. The modulus is odd, so the wrap from 2147483646
// to 0 (and from a negative value of a damaged file to 0) would keep the parity and leave
// the old slot in use: the counter then moves on to 1.
std::int32_t advancedCounter(std::int32_t counter) {
  std::int64_t next = (static_cast<std::int64_t>(counter) + 1) % kCounterModulus;
  if (next < 0) next += kCounterModulus;
  if (((next ^ counter) & 1) == 0) next += 1;
  return static_cast<std::int32_t>(next);
}

int slotInUse(const Header& header) {
  return static_cast<int>((static_cast<std::int64_t>(header.counterA) + header.counterB) & 1);
}

// True when the slot's words describe bytes that lie inside a file of `fileSize` bytes.
bool slotInFile(const SlotWords& slot, std::int64_t fileSize) {
  return slot.offset >= kVerifiedHeaderBytes && slot.length >= 0 &&
         static_cast<std::int64_t>(slot.offset) + slot.length <= fileSize;
}

bool readAll(int fd, char* out, std::size_t count, std::int64_t at) {
  for (std::size_t done = 0; done < count;) {
    const ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t fileSizeOf(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

// One write of a verified file: its open descriptor, the byte budget of a test and the
// error text.
class Writer {
 public:
  Writer(const std::string& path, long long budget, std::string* error)
      : path_(path), budget_(budget), error_(error) {}
  ~Writer() { closeFile(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Opens the file for reading and writing, creating it with a fresh header when it does
  // not exist; up to `attempts` tries, each failed one counted.
  bool open(int attempts) {
    int lastError = 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
      fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
      if (fd_ < 0 && errno == ENOENT) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ >= 0 && !putHeader()) return false;
      }
      if (fd_ >= 0) return true;
      lastError = errno;
      ++verifiedFileRetries;
    }
    return fail("Unable to open " + path_ + " for writing: " +
                platform::systemErrorText(lastError));
  }

  // A file too short for its header (cut off while being created) starts over as new.
  bool readHeader(Header& header, std::int64_t& fileSize) {
    fileSize = fileSizeOf(fd_);
    if (fileSize < 0) return failErrno("Unable to read ");
    if (fileSize < kVerifiedHeaderBytes) {
      if (!putHeader()) return false;
      fileSize = kVerifiedHeaderBytes;
    }
    char bytes[kVerifiedHeaderBytes];
    if (!readAll(fd_, bytes, sizeof bytes, 0)) return failErrno("Unable to read ");
    header = parseHeader(bytes);
    return true;
  }

  // Writes `bytes` at `at`, or only as many as the budget allows; false when the budget ran
  // out (the file is then closed and nothing more is written) or the write failed.
  bool put(std::string_view bytes, std::int64_t at) {
    std::size_t count = bytes.size();
    bool stopped = false;
    if (budget_ >= 0 && static_cast<long long>(count) > budget_) {
      count = static_cast<std::size_t>(budget_);
      stopped = true;
    }
    for (std::size_t done = 0; done < count;) {
      const ssize_t n =
          ::pwrite(fd_, bytes.data() + done, count - done, static_cast<off_t>(at + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return failErrno("Unable to write ");
      done += static_cast<std::size_t>(n);
    }
    if (budget_ >= 0) budget_ -= static_cast<long long>(count);
    if (stopped) {
      closeFile();
      return fail("The write of " + path_ + " was stopped");
    }
    return true;
  }

  // Counter A, then counter B from its highest byte down to its lowest.
  bool putCounters(std::int32_t counterA, std::int32_t counterB) {
    if (!put(wordBytes(counterA), 0)) return false;
    const std::string b = wordBytes(counterB);
    for (int k = 3; k >= 0; --k) {
      if (!put(std::string_view(b).substr(static_cast<std::size_t>(k), 1), 4 + k)) return false;
    }
    return true;
  }

  bool sync() { return ::fsync(fd_) == 0 || failErrno("Unable to sync "); }

  bool truncate(std::int64_t size) {
    return ::ftruncate(fd_, static_cast<off_t>(size)) == 0 || failErrno("Unable to cut ");
  }

  // Closes and reopens the file and compares the counters with what was written; writes
  // them again on a mismatch. After the last attempt the mismatch is told on standard
  // error, and the write still stands: its data is complete in its slot.
  bool verify(std::int32_t counterA, std::int32_t counterB) {
    std::string expected = wordBytes(counterA) + wordBytes(counterB);
    for (int attempt = 0; attempt < kVerifyAttempts; ++attempt) {
      closeFile();
      fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
      if (fd_ < 0) {
        ++verifiedFileRetries;
        continue;
      }
      char found[8];
      if (readAll(fd_, found, sizeof found, 0) && std::memcmp(found, expected.data(), 8) == 0) {
        closeFile();
        return true;
      }
      if (!putCounters(counterA, counterB) || !sync()) return false;
    }
    closeFile();
    std::fprintf(stderr, "Unable to verify correct file write of %s after %d attempts!!\n",
                 path_.c_str(), kVerifyAttempts);
    return true;
  }

  bool fail(const std::string& text) {
    if (error_) *error_ = text;
    closeFile();
    return false;
  }

 private:
  bool putHeader() {
    const std::string header = freshHeaderBytes();
    for (std::size_t done = 0; done < header.size();) {
      const ssize_t n = ::pwrite(fd_, header.data() + done, header.size() - done,
                                 static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return failErrno("Unable to write ");
      done += static_cast<std::size_t>(n);
    }
    return sync();
  }

  bool failErrno(const char* what) {
    return fail(what + path_ + ": " + platform::systemErrorText(errno));
  }

  void closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string path_;
  long long budget_;  // bytes still allowed to go to the file; -1 without a limit
  std::string* error_;
  int fd_ = -1;
};

// Opens `path` for reading: -1 with `missing` set when it does not exist, -1 after
// `attempts` failed opens (told on standard error), else the descriptor.
int openForReading(const std::string& path, int attempts, bool& missing) {
  missing = false;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno == ENOENT) {
      missing = true;
      return -1;
    }
    ++verifiedFileRetries;
  }
  std::fprintf(stderr, "Unable to verify correct file read of %s after %d attempts!!\n",
               path.c_str(), attempts);
  return -1;
}

void readSlot(int fd, const SlotWords& words, std::int64_t fileSize, VerifiedSlot& slot) {
  slot = VerifiedSlot{};
  if (!slotInFile(words, fileSize)) return;
  std::string data(static_cast<std::size_t>(words.length), '\0');
  if (!readAll(fd, data.data(), data.size(), words.offset)) return;
  if (verifiedChecksum(data) != words.checksum) return;
  slot.valid = true;
  slot.stamp = words.stamp;
  slot.data = std::move(data);
}

}  // namespace

bool writeVerifiedFile(const std::string& path, std::string_view data, std::int32_t stamp,
                       const VerifiedWriteOptions& options, std::string* error) {
  Writer writer(path, options.stopAfterBytes, error);
  if (!writer.open(options.openAttempts)) return false;
  Header header;
  std::int64_t fileSize = 0;
  if (!writer.readHeader(header, fileSize)) return false;

  // The slot in use keeps its bytes; a slot in use whose words lead outside the file holds
  // nothing worth keeping.
  const int inUse = slotInUse(header);
  const int target = 1 - inUse;
  const SlotWords& kept = header.slots[inUse];
  const bool keep = slotInFile(kept, fileSize) && kept.length > 0;
  const std::int64_t length = static_cast<std::int64_t>(data.size());
  std::int64_t offset = kVerifiedHeaderBytes;
  if (keep && kVerifiedHeaderBytes + length > kept.offset) offset = kept.offset + kept.length;
  if (offset + length > INT32_MAX) {
    return writer.fail("Unable to write " + path + ": " + std::to_string(data.size()) +
                       " bytes do not fit into a verified file");
  }

  std::string status;
  appendInt32(status, static_cast<std::int32_t>(length));
  appendInt32(status, static_cast<std::int32_t>(verifiedChecksum(data)));
  appendInt32(status, stamp);
  appendInt32(status, 0);
  const std::int64_t statusAt = 16 + 16 * target;
  const std::string_view words(status);
  if (!writer.put(data, offset) ||
      !writer.put(wordBytes(static_cast<std::int32_t>(offset)), 8 + 4 * target) ||
      !writer.put(words.substr(0, 4), statusAt) ||          // length
      !writer.put(words.substr(8, 8), statusAt + 8) ||      // stamp and the zero word
      !writer.put(words.substr(4, 4), statusAt + 4) ||      // checksum
      !writer.sync()) {
    return false;
  }
  std::int64_t end = offset + length;
  if (keep && kept.offset + kept.length > end) end = kept.offset + kept.length;
  if (!writer.truncate(end)) return false;

  const auto counterB = advancedCounter(header.counterB);
  if (!writer.putCounters(header.counterA, counterB) || !writer.sync()) return false;
  return writer.verify(header.counterA, counterB);
}

VerifiedRead readVerifiedFile(const std::string& path, VerifiedSlot& current, VerifiedSlot& other,
                              int openAttempts) {
  current = VerifiedSlot{};
  other = VerifiedSlot{};
  bool missing = false;
  const int fd = openForReading(path, openAttempts, missing);
  if (fd < 0) return missing ? VerifiedRead::kMissing : VerifiedRead::kUnreadable;
  const std::int64_t fileSize = fileSizeOf(fd);
  char bytes[kVerifiedHeaderBytes];
  if (fileSize < kVerifiedHeaderBytes || !readAll(fd, bytes, sizeof bytes, 0)) {
    ::close(fd);
    return VerifiedRead::kUnreadable;
  }
  const Header header = parseHeader(bytes);
  const int inUse = slotInUse(header);
  readSlot(fd, header.slots[inUse], fileSize, current);
  readSlot(fd, header.slots[1 - inUse], fileSize, other);
  ::close(fd);
  return current.valid || other.valid ? VerifiedRead::kRead : VerifiedRead::kUnreadable;
}

std::uint32_t verifiedChecksum(std::string_view bytes, std::uint32_t hash) {
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

}  // namespace karvo
