#include "base/random.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/messages.h"
#include "base/run_state.h"
#include "support/test_support.h"

namespace karvo {
namespace {

// A plain transcription of the generator, kept apart from the solver's code so that a change
// of order or precision there shows up as a difference here.
struct ReferenceGenerator {
  double table[55] = {};
  int cursor = 0;

  void advance() {
    for (int j = 0; j <= 23; ++j) {
      table[j] = table[j] - table[j + 31];
      if (table[j] < 0.0) table[j] = table[j] + 1.0;
    }
    for (int j = 24; j <= 54; ++j) {
      table[j] = table[j] - table[j - 24];
      if (table[j] < 0.0) table[j] = table[j] + 1.0;
    }
  }

  void seed(float s) {
    cursor = 0;
    for (int i = 0; i < 55; ++i) table[i] = 0.0;
    table[54] = s;
    double newValue = 0.123456789;
    double previous = s;
    for (int j = 1; j <= 54; ++j) {
      int i = (21 * j) % 54;
      table[i] = newValue;
      newValue = previous - newValue;
      if (newValue < 0.0) newValue = newValue + 1.0;
      previous = table[i];
    }
    advance();
    advance();
    advance();
    cursor = 0;
  }

  float uniform() {
    cursor = cursor + 1;
    if (cursor == 55) {
      cursor = 1;
      advance();
    }
    return (float)table[cursor];
  }
};

// Cursor position after `draws` draws counted from a fresh seeding.
int cursorAfterDraws(long draws) { return draws == 0 ? 0 : static_cast<int>((draws - 1) % 54) + 1; }

void expectTableEquals(const ReferenceGenerator& reference) {
  for (int i = 0; i < kRandomTableSize; ++i) {
    ASSERT_EQ(randomTable[i], reference.table[i]) << "table index " << i;
  }
}

class RandomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunState();
    resetRandom();
  }
  void TearDown() override {
    if (outptr) closeFile(outptr);
    resetRunState();
    resetRandom();
  }

  void seed(float value, int announce = 0) {
    float s = value;
    seedRandom(&s, announce);
  }
};

// ---------------------------------------------------------------------------------------
// Seeding and the sequence

TEST_F(RandomTest, FirstDrawsForSeedHalfArePinned) {
  seed(0.5f);
  EXPECT_EQ(randomCursor, 0);
  EXPECT_EQ(nextUniform(), 0x1.c03ae8p-1f);
  EXPECT_EQ(nextUniform(), 0x1.c929f8p-3f);
  EXPECT_EQ(nextUniform(), 0x1.f38c5cp-1f);
  EXPECT_EQ(nextUniform(), 0x1.e8163ap-4f);
  EXPECT_EQ(nextUniform(), 0x1.2778b8p-1f);
  EXPECT_EQ(randomCursor, 5);
}

TEST_F(RandomTest, SeedingAndDrawsMatchTheReferenceForSeveralSeeds) {
  const float seeds[] = {0.5f, 1.0f, 1e-6f, 0.123f, 0x1.fffffep-1f, 0.99f, 0.31415926f};
  for (float s : seeds) {
    SCOPED_TRACE(s);
    ReferenceGenerator reference;
    reference.seed(s);
    seed(s);
    expectTableEquals(reference);
    EXPECT_EQ(randomCursor, 0);
    for (int k = 0; k < 3000; ++k) ASSERT_EQ(nextUniform(), reference.uniform()) << "draw " << k;
    EXPECT_EQ(randomCursor, reference.cursor);
  }
}

TEST_F(RandomTest, SameSeedGivesSameSequenceAndReseedingRestartsIt) {
  seed(0.75f);
  std::vector<float> first;
  for (int k = 0; k < 500; ++k) first.push_back(nextUniform());
  seed(0.75f);
  for (int k = 0; k < 500; ++k) ASSERT_EQ(nextUniform(), first[k]) << "draw " << k;

  seed(0.7500001f);
  int same = 0;
  for (int k = 0; k < 500; ++k) same += nextUniform() == first[k] ? 1 : 0;
  EXPECT_LT(same, 5);
}

// ---------------------------------------------------------------------------------------
// Refill

TEST_F(RandomTest, FiftyFifthDrawRefillsAndReturnsNewIndexOne) {
  seed(0.5f);
  double snapshot[kRandomTableSize];
  std::memcpy(snapshot, randomTable, sizeof snapshot);
  for (int k = 1; k <= 54; ++k) {
    ASSERT_EQ(nextUniform(), static_cast<float>(snapshot[k]));
    ASSERT_EQ(randomCursor, k);
  }
  EXPECT_EQ(std::memcmp(snapshot, randomTable, sizeof snapshot), 0);

  ReferenceGenerator refilled;
  std::memcpy(refilled.table, snapshot, sizeof snapshot);
  refilled.advance();
  const float draw55 = nextUniform();
  EXPECT_EQ(randomCursor, 1);
  EXPECT_EQ(draw55, static_cast<float>(refilled.table[1]));
  EXPECT_EQ(draw55, 0x1.9507cep-1f);
  expectTableEquals(refilled);
}

TEST_F(RandomTest, AdvanceUsesUpdatedLowEntriesForTheUpperRun) {
  // Entries 0..23 depend on the old 31..54; entry 24 on the new entry 0.
  for (int i = 0; i < kRandomTableSize; ++i) randomTable[i] = 0.0;
  randomTable[31] = 0.25;   // entry 0 becomes 0 - 0.25 + 1 = 0.75
  randomTable[24] = 0.5;    // entry 24 becomes 0.5 - 0.75 + 1 = 0.75 (old entry 0 would give 0.5)
  randomTable[54] = 0.125;  // entry 23 becomes 0 - 0.125 + 1, entry 54 then 0.125 - entry 30
  advanceRandom();
  EXPECT_EQ(randomTable[0], 0.75);
  EXPECT_EQ(randomTable[24], 0.75);
  EXPECT_EQ(randomTable[23], 0.875);
  EXPECT_EQ(randomTable[31], 0.25);   // 0.25 - entry 7 (0)
  EXPECT_EQ(randomTable[54], 0.125);  // entry 30 is 0
  EXPECT_EQ(randomTable[47], 0.125);  // 0 - entry 23 (0.875) + 1
  EXPECT_EQ(randomTable[48], 0.25);   // 0 - new entry 24 (0.75) + 1
}

TEST_F(RandomTest, TightLoopReadersFollowingTheRuleSeeTheSameSequence) {
  seed(0.6f);
  std::vector<float> direct;
  for (int k = 0; k < 200; ++k) {
    ++randomCursor;
    if (randomCursor == kRandomTableSize) {
      randomCursor = 1;
      advanceRandom();
    }
    direct.push_back(uniformFromTable(randomTable[randomCursor]));
  }
  seed(0.6f);
  for (int k = 0; k < 200; ++k) ASSERT_EQ(nextUniform(), direct[k]) << "draw " << k;
}

// ---------------------------------------------------------------------------------------
// Draw counts, by the movement of the cursor from a fresh seeding

TEST_F(RandomTest, DrawCountsOfEveryOperation) {
  seed(0.5f);
  EXPECT_EQ(randomInt(5, 5), 5);
  EXPECT_EQ(randomInt(7, 3), 7);
  EXPECT_EQ(randomInt(INT_MAX, INT_MIN), INT_MAX);
  EXPECT_EQ(randomCursor, 0);

  randomInt(0, 9);
  EXPECT_EQ(randomCursor, 1);
  flip(0.5f);
  EXPECT_EQ(randomCursor, 2);
  nextUniform();
  EXPECT_EQ(randomCursor, 3);

  int out[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  int work[8];
  randomPermutation(0, out, work);
  randomPermutation(-4, out, work);
  EXPECT_EQ(randomCursor, 3);
  EXPECT_EQ(out[0], -1);
  randomPermutation(1, out, work);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(randomCursor, 3);
  randomPermutation(3, out, work);
  EXPECT_EQ(randomCursor, 9);
  randomPermutation(2, out, work);
  EXPECT_EQ(randomCursor, 11);

  seed(0.5f);
  randomPermutation(8, out, work);  // 56 draws: across one refill
  EXPECT_EQ(randomCursor, cursorAfterDraws(56));
  ReferenceGenerator reference;
  reference.seed(0.5f);
  for (int k = 0; k < 56; ++k) reference.uniform();
  EXPECT_EQ(nextUniform(), reference.uniform());
}

// ---------------------------------------------------------------------------------------
// Bounds and results of the operations

TEST_F(RandomTest, UniformDrawsStayBelowOne) {
  const float seeds[] = {1.0f, 0.5f, 1e-30f, 0x1.fffffep-1f};
  for (float s : seeds) {
    seed(s);
    for (int k = 0; k < 50000; ++k) {
      const float r = nextUniform();
      ASSERT_GE(r, 0.0f);
      ASSERT_LT(r, 1.0f);
    }
  }
}

TEST_F(RandomTest, ValuesThatRoundUpToOneAreAnsweredBelowOne) {
  seed(0.5f);
  randomTable[1] = 1.0 - 0x1p-30;  // rounds to 1.0f in single precision
  randomTable[2] = 1.0;
  EXPECT_EQ(nextUniform(), 0x1.fffffep-1f);
  EXPECT_EQ(nextUniform(), 0x1.fffffep-1f);
  EXPECT_EQ(uniformFromTable(0.0), 0.0f);
  EXPECT_EQ(uniformFromTable(0.5), 0.5f);
}

TEST_F(RandomTest, RandomIntMatchesTheSinglePrecisionFormula) {
  seed(0.5f);
  const int expected[] = {11, 5, 12, 4, 8, 8, 12, 10};
  for (int value : expected) EXPECT_EQ(randomInt(3, 12), value);

  ReferenceGenerator reference;
  reference.seed(0.25f);
  seed(0.25f);
  for (int k = 0; k < 2000; ++k) {
    const int low = -50 + k % 7;
    const int high = low + 1 + k % 97;
    const float r = reference.uniform();
    const float product = r * (float)(high - low + 1);
    int value = (int)product + low;
    if (value > high) value = high;
    ASSERT_EQ(randomInt(low, high), value) << "draw " << k;
  }
}

TEST_F(RandomTest, RandomIntStaysWithinItsBoundsAndCoversThem) {
  struct Range {
    int low, high;
  };
  const Range ranges[] = {{0, 1}, {-5, 5}, {0, 9}, {INT_MIN, INT_MAX}, {INT_MAX - 1, INT_MAX},
                          {INT_MIN, INT_MIN + 1}, {0, 1 << 30}, {-16777217, 16777217}};
  seed(0.4f);
  for (const Range& range : ranges) {
    for (int k = 0; k < 5000; ++k) {
      const int value = randomInt(range.low, range.high);
      ASSERT_GE(value, range.low);
      ASSERT_LE(value, range.high);
    }
  }
  int seen[10] = {};
  for (int k = 0; k < 2000; ++k) ++seen[randomInt(0, 9)];
  for (int v = 0; v < 10; ++v) EXPECT_GT(seen[v], 100) << "value " << v;
}

TEST_F(RandomTest, RandomIntAtTheExtremesOfTheDraw) {
  seed(0.5f);
  randomTable[1] = 1.0 - 0x1p-40;  // the largest draw
  randomTable[2] = 1.0 - 0x1p-40;
  randomTable[3] = 1.0 - 0x1p-40;
  randomTable[4] = 0.0;  // the smallest draw
  EXPECT_EQ(randomInt(3, 12), 12);
  // Single precision: (1 - 2^-24) * 2^32 = 2^32 - 256, and 16777217 rounds to 2^24.
  EXPECT_EQ(randomInt(INT_MIN, INT_MAX), INT_MAX - 255);
  EXPECT_EQ(randomInt(0, 16777216), 16777215);
  EXPECT_EQ(randomInt(INT_MIN, INT_MAX), INT_MIN);
}

TEST_F(RandomTest, FlipCompareTheProbabilityWithOneDraw) {
  seed(0.5f);
  int heads = 0;
  for (int k = 0; k < 20000; ++k) {
    ASSERT_EQ(flip(1.0f), 1);
    ASSERT_EQ(flip(-0.1f), 0);
    heads += flip(0.5f);
  }
  EXPECT_GT(heads, 9500);
  EXPECT_LT(heads, 10500);

  seed(0.5f);
  randomTable[1] = 0.0;
  randomTable[2] = 0.0;
  randomTable[3] = 0x1p-20;
  EXPECT_EQ(flip(0.0f), 1);  // p = 0 succeeds only on a draw of exactly 0
  EXPECT_EQ(flip(-1e-30f), 0);
  EXPECT_EQ(flip(0.0f), 0);

  ReferenceGenerator reference;
  reference.seed(0.9f);
  seed(0.9f);
  for (int k = 0; k < 1000; ++k) {
    const float p = static_cast<float>(k % 11) / 10.0f;
    ASSERT_EQ(flip(p), p >= reference.uniform() ? 1 : 0) << "draw " << k;
  }
}

TEST_F(RandomTest, PermutationsAreValidAndMatchTheReference) {
  for (int n = 1; n <= 30; ++n) {
    SCOPED_TRACE(n);
    ReferenceGenerator reference;
    reference.seed(0.375f);
    std::vector<int> expected(n), pool(n);
    for (int round = 0; round < n; ++round) {
      for (int i = 0; i < n; ++i) pool[i] = i;
      for (int i = 0; i < n; ++i) {
        const int m = n - i;
        int k = 0;
        if (m > 1) {
          k = (int)(reference.uniform() * (float)m);
          if (k > m - 1) k = m - 1;
        }
        expected[i] = pool[k];
        pool[k] = pool[m - 1];
      }
    }

    seed(0.375f);
    std::vector<int> out(n, -1), work(n, -1);
    randomPermutation(n, out.data(), work.data());
    ASSERT_EQ(out, expected);
    std::vector<int> count(n, 0);
    for (int v : out) {
      ASSERT_GE(v, 0);
      ASSERT_LT(v, n);
      ++count[v];
    }
    for (int v = 0; v < n; ++v) ASSERT_EQ(count[v], 1) << "value " << v;
    EXPECT_EQ(randomCursor, cursorAfterDraws(static_cast<long>(n) * (n - 1)));
  }
}

TEST_F(RandomTest, PermutationWithTheLargestDrawsStaysInRange) {
  seed(0.5f);
  for (int i = 1; i < kRandomTableSize; ++i) randomTable[i] = 1.0 - 0x1p-40;
  int out[4], work[4];
  randomPermutation(4, out, work);  // 12 draws, all of them the largest
  // Every pick is the last remaining slot (k = m - 1), so the items come out in reverse.
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(out[2], 1);
  EXPECT_EQ(out[3], 0);
}

// ---------------------------------------------------------------------------------------
// Seed from the clock

TEST_F(RandomTest, ClockDerivedSeedFollowsTheFormula) {
  EXPECT_EQ(clockDerivedSeed(1700000000, 0), 0x1.f9a6b6p-4f);  // 12345 / 100000
  EXPECT_EQ(clockDerivedSeed(1700000000, 1), 0x1.f9a6b6p-3f);  // 24690 / 100000
  EXPECT_EQ(clockDerivedSeed(1700000000, -1), clockDerivedSeed(1700000000, 0));
  // Only the seconds modulo 10 000 000 count, and only the fraction of v / 100 000.
  EXPECT_EQ(clockDerivedSeed(1709999999, 0), static_cast<float>(100.12344 - 100.0));
  EXPECT_EQ(clockDerivedSeed(1700054321, 2), static_cast<float>(0.91356));
  EXPECT_EQ(clockDerivedSeed(1700054321, 2), clockDerivedSeed(54321, 2));
}

TEST_F(RandomTest, ClockSeedsOfDifferentFirstAgentsDifferBy12345ModuloOne) {
  for (std::int64_t t : {1700000000LL, 1712345678LL, 1699999999LL, 1700087654LL}) {
    for (int agent = 0; agent < 12; ++agent) {
      const double a = clockDerivedSeed(t, agent);
      const double b = clockDerivedSeed(t, agent + 1);
      double difference = b - a;
      if (difference < 0) difference += 1.0;
      EXPECT_NEAR(difference, 0.12345, 1e-6) << "t " << t << " agent " << agent;
    }
  }
}

TEST_F(RandomTest, ClockSeedNeverComesOutZero) {
  // v = 12345 + 87655 = 100000: the fraction is 0, answered as the next grid value.
  EXPECT_EQ(clockDerivedSeed(87655, 0), static_cast<float>(1e-5));
  EXPECT_EQ(clockDerivedSeed(1700087655, 0), static_cast<float>(1e-5));
}

TEST_F(RandomTest, SeedZeroIsDerivedFromTheClockAndWrittenBack) {
  run.runStartAgent = 3;
  float s = 0.0f;
  const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  seedRandom(&s, 0);
  const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_GT(s, 0.0f);
  EXPECT_LT(s, 1.0f);
  bool matched = false;
  for (std::int64_t t = before; t <= after; ++t) matched |= s == clockDerivedSeed(t, 3);
  EXPECT_TRUE(matched) << s;
  ReferenceGenerator reference;
  reference.seed(s);
  expectTableEquals(reference);

  run.runStartAgent = -1;  // no agent run yet counts as agent 0
  s = 0.0f;
  const std::int64_t before0 = static_cast<std::int64_t>(std::time(nullptr));
  seedRandom(&s, 0);
  const std::int64_t after0 = static_cast<std::int64_t>(std::time(nullptr));
  matched = false;
  for (std::int64_t t = before0; t <= after0; ++t) matched |= s == clockDerivedSeed(t, 0);
  EXPECT_TRUE(matched) << s;
}

// ---------------------------------------------------------------------------------------
// Announcement

TEST_F(RandomTest, SeedIsAnnouncedOnceInTheMessageFile) {
  testing::TempDir dir;
  const std::string path = dir.file("study.mes");
  outptr = openFile(path, "w");
  ASSERT_NE(outptr, nullptr);

  seed(0.5f, 0);  // no announcement asked: the first announcement is still to come
  EXPECT_FALSE(randomSeedAnnounced);
  EXPECT_EQ(testing::readFile(path), "");

  seed(0.5f, 1);
  EXPECT_TRUE(randomSeedAnnounced);
  const std::string note = "*NOTE\n\tRandom seed=0.500000.\n\n";
  EXPECT_EQ(testing::readFile(path), note);  // flushed at once

  seed(0.25f, 1);
  EXPECT_EQ(testing::readFile(path), note);

  resetRandom();
  seed(0.125f, 1);
  EXPECT_EQ(testing::readFile(path), note + "*NOTE\n\tRandom seed=0.125000.\n\n");
}

TEST_F(RandomTest, DerivedSeedIsTheOneAnnounced) {
  testing::TempDir dir;
  const std::string path = dir.file("study.mes");
  outptr = openFile(path, "w");
  ASSERT_NE(outptr, nullptr);
  float s = 0.0f;
  seedRandom(&s, 1);
  EXPECT_EQ(testing::readFile(path),
            formatText("*NOTE\n\tRandom seed=%f.\n\n", static_cast<double>(s)));
}

TEST_F(RandomTest, AnnouncementWithoutMessageFileGoesToStandardError) {
  ASSERT_EQ(outptr, nullptr);
  ::testing::internal::CaptureStderr();
  seed(0.5f, 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\tRandom seed=0.500000.\n");
  EXPECT_TRUE(randomSeedAnnounced);
}

// ---------------------------------------------------------------------------------------
// Batch reseeding

TEST_F(RandomTest, BatchReseedingDecaysFromPointNineNineWithoutAnnouncement) {
  testing::TempDir dir;
  const std::string path = dir.file("study.mes");
  outptr = openFile(path, "w");
  ASSERT_NE(outptr, nullptr);

  const float first = reseedForBatch();
  EXPECT_EQ(first, 0x1.fa5f86p-1f);  // float(float(0.99) * 0.999)
  ReferenceGenerator reference;
  reference.seed(first);
  expectTableEquals(reference);
  EXPECT_EQ(randomCursor, 0);
  nextUniform();

  EXPECT_EQ(reseedForBatch(), 0x1.f9dde4p-1f);
  EXPECT_EQ(randomCursor, 0);
  EXPECT_FALSE(randomSeedAnnounced);
  EXPECT_EQ(testing::readFile(path), "");

  resetRandom();
  EXPECT_EQ(reseedForBatch(), first);
}

}  // namespace
}  // namespace karvo
