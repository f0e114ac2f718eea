// Tests of the verified two-slot file behind the checkpoint and population files: the exact
// bytes of the header and slots, round trips over growing and shrinking data, writes stopped
// at every byte (the previous data stays current, and the next write still works), cut files
// and slot words outside the file (never wrong data reported as sound), and failing opens.
#include "base/verified_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/damaged_bytes.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using testing::forEachCut;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// Reference checksum (FNV-1a), written out independently of the file code.
std::uint32_t fnv(const std::string& bytes) {
  std::uint32_t hash = 0x811c9dc5u;
  for (const unsigned char c : bytes) hash = (hash ^ c) * 0x01000193u;
  return hash;
}

std::string le32(std::uint32_t value) {
  std::string out;
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>((value >> (8 * k)) & 0xff));
  return out;
}

std::int32_t wordAt(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int k = 3; k >= 0; --k) value = (value << 8) | static_cast<unsigned char>(bytes[at + k]);
  return static_cast<std::int32_t>(value);
}

// A header laid out word by word: counters, the two offsets, the two groups of status words.
std::string header(std::int32_t a, std::int32_t b, std::int32_t offset0, std::int32_t offset1,
                   std::vector<std::uint32_t> status0, std::vector<std::uint32_t> status1) {
  std::string out = le32(a) + le32(b) + le32(offset0) + le32(offset1);
  for (const std::uint32_t word : status0) out += le32(word);
  for (const std::uint32_t word : status1) out += le32(word);
  return out;
}

// Distinct bytes for each (seed, length): no payload of the tests is a prefix of another.
std::string payload(int seed, std::size_t length) {
  std::mt19937 random(static_cast<unsigned>(seed) * 7919u + static_cast<unsigned>(length));
  std::string out(length, '\0');
  for (char& c : out) c = static_cast<char>(random() & 0xff);
  return out;
}

struct Read {
  VerifiedRead result;
  VerifiedSlot current;
  VerifiedSlot other;
};

Read readBack(const std::string& path, int attempts = 5) {
  Read read;
  read.result = readVerifiedFile(path, read.current, read.other, attempts);
  return read;
}

void expectSlot(const VerifiedSlot& slot, std::int32_t stamp, const std::string& data) {
  EXPECT_TRUE(slot.valid);
  EXPECT_EQ(slot.stamp, stamp);
  EXPECT_EQ(slot.data, data);
}

// ---------------------------------------------------------------------------------------
// Layout

TEST(VerifiedFileLayout, WritesTheLaidOutBytesSlotAfterSlot) {
  TempDir dir;
  const std::string path = dir.file("agent1.ckp");
  std::string error;

  // A new file: slot 0 is in use (A + B = 0) and empty, so the data goes to slot 1 at 48.
  ASSERT_TRUE(writeVerifiedFile(path, "hello", 7, {}, &error)) << error;
  EXPECT_EQ(readFile(path), header(0, 1, 48, 48, {0, 0, 0, 0}, {5, 0x4f9f2cab, 7, 0}) + "hello");

  // Slot 1 holds 48..53; six bytes do not fit before it, so slot 0 starts behind it.
  ASSERT_TRUE(writeVerifiedFile(path, "world!", 8, {}, &error)) << error;
  EXPECT_EQ(readFile(path), header(0, 2, 53, 48, {6, 0x49075036, 8, 0}, {5, 0x4f9f2cab, 7, 0}) +
                                "hello" + "world!");

  // Two bytes fit before slot 0 (53..59): slot 1 moves to 48, the file keeps its length.
  ASSERT_TRUE(writeVerifiedFile(path, "ab", -3, {}, &error)) << error;
  EXPECT_EQ(readFile(path),
            header(0, 3, 53, 48, {6, 0x49075036, 8, 0}, {2, 0x4d2505ca, 0xfffffffd, 0}) +
                "abllo" + "world!");

  // Slot 1 (48..50) in use: nothing fits before it; slot 0 follows it and the file is cut
  // behind it.
  ASSERT_TRUE(writeVerifiedFile(path, "a", 9, {}, &error)) << error;
  EXPECT_EQ(readFile(path),
            header(0, 4, 50, 48, {1, 0xe40c292c, 9, 0}, {2, 0x4d2505ca, 0xfffffffd, 0}) + "ab" +
                "a");

  const Read read = readBack(path);
  EXPECT_EQ(read.result, VerifiedRead::kRead);
  expectSlot(read.current, 9, "a");
  expectSlot(read.other, -3, "ab");
}

TEST(VerifiedFileLayout, EmptyDataIsSoundAndANewHeaderHoldsNone) {
  TempDir dir;
  const std::string path = dir.file("agent1.mem");
  // A header as a new file has it, without data: no sound slot.
  writeFile(path, header(0, 0, 48, 48, {0, 0, 0, 0}, {0, 0, 0, 0}));
  EXPECT_EQ(readBack(path).result, VerifiedRead::kUnreadable);

  ASSERT_TRUE(writeVerifiedFile(path, "", 4));
  EXPECT_EQ(readFile(path), header(0, 1, 48, 48, {0, 0, 0, 0}, {0, 0x811c9dc5, 4, 0}));
  Read read = readBack(path);
  EXPECT_EQ(read.result, VerifiedRead::kRead);
  expectSlot(read.current, 4, "");
  EXPECT_FALSE(read.other.valid);

  // An empty slot in use leaves 48 free for the next data.
  ASSERT_TRUE(writeVerifiedFile(path, "xyz", 5));
  EXPECT_EQ(readFile(path),
            header(0, 2, 48, 48, {3, fnv("xyz"), 5, 0}, {0, 0x811c9dc5, 4, 0}) + "xyz");
}

TEST(VerifiedFileLayout, CounterAIsKeptAndCounterBWrapsWithoutLosingTheSwitch) {
  TempDir dir;
  const std::string path = dir.file("agent2.ckp");
  struct Case {
    std::int32_t a, b;   // counters before the write
    std::int32_t nextB;  // counter B after it
  };
  // A + B odd before each write: slot 1 (at 48, "old") in use, the data goes to slot 0.
  for (const Case c : {Case{0, 2147483645, 2147483646}, Case{2, 2147483645, 2147483646},
                       Case{1, 2147483646, 1}, Case{-1, 0, 1}, Case{0, -1, 0},
                       Case{1, -2147483647 - 1, 1}, Case{3, 4, 5}}) {
    SCOPED_TRACE(std::to_string(c.a) + " " + std::to_string(c.b));
    writeFile(path, header(c.a, c.b, 48, 48, {0, 0, 0, 0}, {3, fnv("old"), 1, 0}) + "old");
    ASSERT_TRUE(writeVerifiedFile(path, "new", 2));
    EXPECT_EQ(readFile(path),
              header(c.a, c.nextB, 51, 48, {3, fnv("new"), 2, 0}, {3, fnv("old"), 1, 0}) +
                  "old" + "new");
    const Read read = readBack(path);
    expectSlot(read.current, 2, "new");
    expectSlot(read.other, 1, "old");
  }
}

// ---------------------------------------------------------------------------------------
// Round trips

TEST(VerifiedFileRoundTrip, EveryWriteReadsBackAsCurrentWithTheOneBeforeAsOther) {
  TempDir dir;
  const std::string path = dir.file("agent3.mem");
  std::mt19937 random(20240611);
  // Growing, shrinking, equal, empty and random lengths.
  std::vector<std::size_t> lengths = {10, 20, 30, 5, 5, 0, 1, 400, 3, 399, 400, 400,
                                      1000, 999, 1, 0, 0, 2000};
  for (int k = 0; k < 60; ++k) lengths.push_back(random() % 3000);

  std::string previous;
  std::size_t largest = 0;
  for (std::size_t k = 0; k < lengths.size(); ++k) {
    SCOPED_TRACE("write " + std::to_string(k) + " of " + std::to_string(lengths[k]) + " bytes");
    const std::string data = payload(static_cast<int>(k), lengths[k]);
    const auto stamp = static_cast<std::int32_t>(1000 + k);
    std::string error;
    ASSERT_TRUE(writeVerifiedFile(path, data, stamp, {}, &error)) << error;
    const Read read = readBack(path);
    ASSERT_EQ(read.result, VerifiedRead::kRead);
    expectSlot(read.current, stamp, data);
    if (k == 0) {
      EXPECT_FALSE(read.other.valid);
    } else {
      expectSlot(read.other, stamp - 1, previous);
    }
    // The file ends where the farther slot ends, and the slots never overlap.
    const std::string bytes = readFile(path);
    std::int64_t end = kVerifiedHeaderBytes;
    for (int s = 0; s < 2; ++s) {
      end = std::max<std::int64_t>(end, std::int64_t{wordAt(bytes, 8 + 4 * s)} +
                                            wordAt(bytes, 16 + 16 * s));
    }
    EXPECT_EQ(static_cast<std::int64_t>(bytes.size()), end);
    largest = std::max(largest, data.size());
    EXPECT_LT(bytes.size(), 48 + 3 * largest + 1);
    EXPECT_EQ(wordAt(bytes, 4), static_cast<std::int32_t>(k + 1));
    previous = data;
  }

  // n - 1, n, n in a new file reach the largest size the placement can give: the third
  // fits neither before the second (at 48 + n - 1) nor over it.
  const std::string worst = dir.file("agent3w.mem");
  for (const std::size_t length : {2999u, 3000u, 3000u}) {
    ASSERT_TRUE(writeVerifiedFile(worst, payload(7, length), 1));
  }
  EXPECT_EQ(readFile(worst).size(), 48u + 3u * 3000u - 1u);
}

// ---------------------------------------------------------------------------------------
// Writes stopped part way

TEST(VerifiedFileStoppedWrite, LeavesThePreviousDataCurrentAtEveryByte) {
  TempDir dir;
  const std::string path = dir.file("agent4.ckp");
  struct StopCase {
    const char* name;
    std::vector<std::size_t> before;  // lengths written before X, oldest first
    std::size_t x;                    // the current data
    std::size_t y;                    // the write that is stopped
  };
  const StopCase cases[] = {
      {"X alone in slot 1, Y longer", {}, 40, 70},
      {"X alone in slot 1, Y shorter", {}, 40, 25},
      {"X in slot 0 after W, Y longer", {30}, 40, 70},
      {"X in slot 0 after W, Y shorter (goes to 48, over W)", {30}, 40, 25},
      {"X in slot 1 after V and W, Y longer", {15, 30}, 40, 70},
      {"X in slot 1 after V and W, Y shorter", {60, 30}, 40, 25},
      {"X in slot 1 after V and W, Y as long as X", {60, 30}, 40, 40},
      {"X at 48 in slot 0, W behind it in slot 1, Y follows X", {80, 50, 90}, 20, 50},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    // The file holding X (and W, the one before it), kept to start each stopped write from.
    std::remove(path.c_str());
    std::int32_t stamp = 1;
    std::string w;
    for (const std::size_t length : c.before) {
      w = payload(stamp, length);
      ASSERT_TRUE(writeVerifiedFile(path, w, stamp++));
    }
    const std::string x = payload(stamp, c.x);
    const std::int32_t xStamp = stamp;
    ASSERT_TRUE(writeVerifiedFile(path, x, xStamp));
    const std::string withX = readFile(path);

    const std::string y = payload(100, c.y);
    const std::string z = payload(200, 33);
    // Data, offset word, four status words, counters.
    const long long total = static_cast<long long>(c.y) + 4 + 16 + 8;
    for (long long k = 0; k <= total; ++k) {
      SCOPED_TRACE("stopped after " + std::to_string(k) + " bytes");
      writeFile(path, withX);
      VerifiedWriteOptions options;
      options.stopAfterBytes = k;
      std::string error;
      const bool written = writeVerifiedFile(path, y, 50, options, &error);
      Read read = readBack(path);
      ASSERT_EQ(read.result, VerifiedRead::kRead);
      if (k < total) {
        EXPECT_FALSE(written);
        EXPECT_EQ(error, "The write of " + path + " was stopped");
        expectSlot(read.current, xStamp, x);
        // The other slot is Y once its words are complete; before, it is unsound or still
        // holds W (whose bytes Y may not have reached).
        if (k >= static_cast<long long>(c.y) + 20) {
          expectSlot(read.other, 50, y);
        } else if (read.other.valid) {
          ASSERT_FALSE(c.before.empty());
          expectSlot(read.other, xStamp - 1, w);
        }
      } else {
        EXPECT_TRUE(written) << error;
        expectSlot(read.current, 50, y);
        expectSlot(read.other, xStamp, x);
      }
      // The next write (a resumed run) goes on from whatever the stop left.
      ASSERT_TRUE(writeVerifiedFile(path, z, 60, {}, &error)) << error;
      read = readBack(path);
      expectSlot(read.current, 60, z);
      if (k < total) {
        expectSlot(read.other, xStamp, x);
      } else {
        expectSlot(read.other, 50, y);
      }
    }
  }
}

TEST(VerifiedFileStoppedWrite, ANewFileStoppedBeforeItsCountersHoldsNoCurrentData) {
  TempDir dir;
  const std::string path = dir.file("agent5.mem");
  VerifiedWriteOptions options;
  options.stopAfterBytes = 3;
  EXPECT_FALSE(writeVerifiedFile(path, "hello", 1, options));
  // The created header and the first three data bytes.
  EXPECT_EQ(readFile(path), header(0, 0, 48, 48, {0, 0, 0, 0}, {0, 0, 0, 0}) + "hel");
  EXPECT_EQ(readBack(path).result, VerifiedRead::kUnreadable);

  // Stopped after the status words: slot 1 is complete but not in use.
  options.stopAfterBytes = 5 + 20;
  EXPECT_FALSE(writeVerifiedFile(path, "hello", 1, options));
  const Read read = readBack(path);
  EXPECT_EQ(read.result, VerifiedRead::kRead);
  EXPECT_FALSE(read.current.valid);
  expectSlot(read.other, 1, "hello");
}

// ---------------------------------------------------------------------------------------
// Damaged files

TEST(VerifiedFileDamage, ACutFileKeepsExactlyTheWholeSlotsAndAWriteOverItStartsAfresh) {
  TempDir dir;
  const std::string path = dir.file("agent6.ckp");
  const std::string x = payload(1, 90), y = payload(2, 120);
  ASSERT_TRUE(writeVerifiedFile(path, x, 11));
  ASSERT_TRUE(writeVerifiedFile(path, y, 12));
  const std::string bytes = readFile(path);
  // X went to slot 1 at 48, Y (too long for the space before X) to slot 0 behind it.
  ASSERT_EQ(wordAt(bytes, 12), 48);
  ASSERT_EQ(wordAt(bytes, 8), 48 + 90);
  ASSERT_EQ(bytes.size(), 48u + 90u + 120u);
  forEachCut(bytes, [&](const std::string& cut, std::size_t size) {
    writeFile(path, cut);
    Read read = readBack(path);
    EXPECT_FALSE(read.current.valid);
    if (size < 48 + 90) {
      EXPECT_EQ(read.result, VerifiedRead::kUnreadable);
      EXPECT_FALSE(read.other.valid);
    } else {
      EXPECT_EQ(read.result, VerifiedRead::kRead);
      expectSlot(read.other, 11, x);
    }
    std::string error;
    ASSERT_TRUE(writeVerifiedFile(path, "next", 13, {}, &error)) << error;
    read = readBack(path);
    ASSERT_EQ(read.result, VerifiedRead::kRead);
    expectSlot(read.current, 13, "next");
    if (size < 48) {  // too short for a header: written as a new file
      EXPECT_EQ(readFile(path),
                header(0, 1, 48, 48, {0, 0, 0, 0}, {4, fnv("next"), 13, 0}) + "next");
    }
  });
}

TEST(VerifiedFileDamage, SlotWordsOutsideTheFileAreRefusedWithoutReadingThem) {
  TempDir dir;
  const std::string path = dir.file("agent10.ckp");
  const std::string data = "0123456789";
  struct Case {
    const char* name;
    std::int32_t offset, length;
  };
  // Slot 0 in use; slot 1 always sound, so that each case reads as kRead with only it.
  for (const Case c : {Case{"the whole data", 48, 10}, Case{"offset inside the header", 47, 10},
                       Case{"offset 0", 0, 10}, Case{"negative offset", -1, 10},
                       Case{"negative length", 48, -10}, Case{"one byte past the end", 49, 10},
                       Case{"huge length", 48, 2147483647}, Case{"huge offset", 2147483647, 10},
                       Case{"both huge", 2147483647, 2147483647}}) {
    SCOPED_TRACE(c.name);
    writeFile(path, header(0, 0, c.offset, 48,
                           {static_cast<std::uint32_t>(c.length), fnv(data), 1, 0},
                           {10, fnv(data), 2, 0}) +
                        data);
    const Read read = readBack(path);
    ASSERT_EQ(read.result, VerifiedRead::kRead);
    EXPECT_EQ(read.current.valid, std::string(c.name) == "the whole data");
    expectSlot(read.other, 2, data);
  }
}

// ---------------------------------------------------------------------------------------
// Failing opens: the exact texts, and one counted retry per attempt.

// A write to `path` that fails with `why` after `attempts` opens.
void expectWriteRefused(const std::string& path, const std::string& why, int attempts = 5) {
  const long before = verifiedFileRetries;
  VerifiedWriteOptions options;
  options.openAttempts = attempts;
  std::string error;
  EXPECT_FALSE(writeVerifiedFile(path, "data", 1, options, &error));
  EXPECT_EQ(error, "Unable to open " + path + " for writing: " + why);
  EXPECT_EQ(verifiedFileRetries - before, attempts);
}

// A read of `path` that is unreadable after `attempts` opens, told on standard error.
void expectReadRetried(const std::string& path, int attempts) {
  const long before = verifiedFileRetries;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(readBack(path, attempts).result, VerifiedRead::kUnreadable);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Unable to verify correct file read of " + path + " after " +
                std::to_string(attempts) + " attempts!!\n");
  EXPECT_EQ(verifiedFileRetries - before, attempts);
}

TEST(VerifiedFileOpen, AMissingFileIsToldAtOnceAndFilesThatCannotBeOpenedAreRetried) {
  TempDir dir;
  const long before = verifiedFileRetries;
  ::testing::internal::CaptureStderr();
  const Read read = readBack(dir.file("agent1.mem"), 10);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(read.result, VerifiedRead::kMissing);
  EXPECT_FALSE(read.current.valid);
  EXPECT_FALSE(read.other.valid);
  EXPECT_EQ(verifiedFileRetries, before);
  for (const int attempts : {5, 10}) {
    expectWriteRefused(dir.file("no-such-folder/agent1.ckp"), "No such file or directory",
                       attempts);
  }

  // Files that cannot be opened are retried and told: a path through a plain file fails for
  // root as well (not a folder).
  writeFile(dir.file("plain"), "x");
  const std::string through = dir.file("plain/agent1.mem");
  for (const int attempts : {5, 10}) expectReadRetried(through, attempts);
  expectWriteRefused(through, "Not a directory");

  EXPECT_EQ(readBack(dir.path()).result, VerifiedRead::kUnreadable);
  expectWriteRefused(dir.path(), "Is a directory");
}

TEST(VerifiedFileOpen, AFileWithoutPermissionsIsRetriedAndTold) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens files whatever their permissions";
  TempDir dir;
  const std::string locked = dir.file("agent1.ckp");
  ASSERT_TRUE(writeVerifiedFile(locked, "data", 1));
  ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  expectReadRetried(locked, 5);
  expectWriteRefused(locked, "Permission denied");
  ::chmod(locked.c_str(), 0600);
}

}  // namespace
}  // namespace karvo
