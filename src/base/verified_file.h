// The verified two-slot file of the checkpoint (".ckp") and population (".mem") files: a
// 48-byte header and two data slots, so that a write cut off at any byte (a kill, a power
// cut) leaves the previous complete data readable.
//
// Header (int32, little-endian):
//   0   counter A (stays 0 in files written here)
//   4   counter B (advanced by one, modulo 2147483647, by every completed write; where that
//       would keep the parity, 2147483646 -> 0, it moves on to 1)
//   8   data offset of slot 0, used when A + B is even
//   12  data offset of slot 1, used when A + B is odd
//   16  status words of slot 0: data length in bytes, checksum of the data, stamp, 0
//   32  status words of slot 1: the same
// A new file has both counters 0, both offsets 48 and all status words 0 (no data yet).
// The checksum is the 32-bit FNV-1a hash of the data bytes; the stamp is the caller's.
//
// Writing (writeVerifiedFile): the data always goes to the slot that is NOT in use, at an
// offset where it overlaps neither the header nor the slot in use (48 when it fits before
// that slot, otherwise just after it); then that slot's offset word and status words (the
// checksum word last, so that the slot never reads as sound with a stamp that does not
// belong to its bytes); then the file is flushed and synced (fsync). Only then is counter B
// advanced and the two counters written back at offset 0 (counter A, then counter B from
// its highest byte down, so that the last byte written is the one that flips the parity)
// and synced, which makes the new slot the one in use. The counters
// are read back and compared; on a mismatch they are written again, up to 50 attempts, after
// which "Unable to verify correct file write of %s after %d attempts!!\n" goes to standard
// error and the call still answers true (the data itself is safe in its slot). Before the
// counters the file is cut after the end of the farther slot, so it stays below 48 bytes
// plus three times the largest data (lengths n - 1, n, n written one after another reach
// 48 + 3n - 1: the third cannot go before the second, which starts at 48 + n - 1).
//
// Reading (readVerifiedFile): the parity of A + B selects the slot in use; its data is read
// and checked against its length and checksum. The other slot is read as well: after a write
// cut off before the counters it holds the new data that never became current, after a
// completed write the data before it. A caller that needs data of a given stamp (the
// population file that belongs to a checkpoint header) looks at both.
//
// Opening is retried: up to `openAttempts` failed opens, each counted in
// verifiedFileRetries; after the last "Unable to verify correct file read of %s after %d
// attempts!!\n" (reading) goes to standard error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace karvo {

inline constexpr int kVerifiedHeaderBytes = 48;

// The checksum of the slots: 32-bit FNV-1a of `bytes`. It runs on from `hash`, so that data
// given in pieces is summed piece by piece: verifiedChecksum(b, verifiedChecksum(a)) is the
// checksum of a followed by b.
inline constexpr std::uint32_t kVerifiedChecksumStart = 2166136261u;
std::uint32_t verifiedChecksum(std::string_view bytes,
                               std::uint32_t hash = kVerifiedChecksumStart);

// Failed opens of verified files in this run (reading and writing).
extern long verifiedFileRetries;

struct VerifiedWriteOptions {
  int openAttempts = 5;             // 10 for ".mem", 5 for ".ckp"
  // Tests only: the write stops for good (as a killed process would) after this many bytes
  // have gone to the file, counting every byte of the data, the slot's header words and the
  // counters in the order they are written; -1 never. The call then answers false.
  long long stopAfterBytes = -1;
};

// Writes `data` with `stamp` as described above; creates the file when it does not exist.
// False when the file cannot be opened (after the retries) or a write fails; `error` then
// says why. The previous complete data stays readable in every case.
bool writeVerifiedFile(const std::string& path, std::string_view data, std::int32_t stamp,
                       const VerifiedWriteOptions& options = {}, std::string* error = nullptr);

struct VerifiedSlot {
  bool valid = false;               // length and checksum hold
  std::int32_t stamp = 0;
  std::string data;
};

enum class VerifiedRead {
  kRead,        // read: current.valid and other.valid say which slots are sound (at least one)
  kMissing,     // no such file
  kUnreadable,  // the file cannot be opened, is no verified file (too short, an offset or a
                // length outside it), or neither slot is sound
};

// `current` is the slot in use, `other` the other one.
VerifiedRead readVerifiedFile(const std::string& path, VerifiedSlot& current, VerifiedSlot& other,
                              int openAttempts = 5);

}  // namespace karvo
