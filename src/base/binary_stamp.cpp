// The verified stamp of binary state files (checkpoints): written at offset 0 on closing and
// read back until it matches, so that a file another process or a full disk spoilt is noticed.
#include "base/binary_stamp.h"

#include <cstdint>
#include <cstring>

namespace karvo {

long binaryReopenCount = 0;

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
