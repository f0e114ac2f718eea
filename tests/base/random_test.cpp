#include "base/random.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <vector>

#include "support/message_capture.h"

namespace karvo {
namespace {

// Cursor position after `draws` draws counted from a fresh seeding.
int cursorAfterDraws(long draws) { return draws == 0 ? 0 : static_cast<int>((draws - 1) % 54) + 1; }

// `count` draws from a fresh seeding with `seed`.
std::vector<float> drawsAfterSeeding(float seed, int count) {
  seedRandom(&seed, 0);
  std::vector<float> draws;
  for (int k = 0; k < count; ++k) draws.push_back(nextUniform());
  return draws;
}

class RandomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunState();
    resetRandom();
  }
  void TearDown() override {
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

// The first three draws of the seed 0.5, worked by hand from the seeding steps.
//
// Every value is written as a whole number of u = 2^-53 (1.0 is 2^53 u); from the third
// warm-up value on, each subtraction, and the 1.0 added to a negative difference, is exact.
// Table cleared, then t[54] = seed. Warm-up values: a0 = seed = 4503599627370496,
// a1 = 0.123456789 = 1111999897873515.875, a2 = a0 - a1 rounded to 3391599729496980 (doubles
// lie u/2 apart in [1/4, 1/2)), then a(j+1) = a(j-1) - a(j), + 2^53 when negative; step j
// goes to t[(21 j) mod 54], which runs through the multiples of 3 with period 18, so t[i]
// keeps the value of its last step (j = 37..54) and every other entry below 54 stays 0.
// The entries used: t[9] = a39 = 7644400592356440, t[39] = a43 = 2174182957002140,
// t[48] = a46 = 7684406587549676, t[15] = a47 = 7574880106658540,
// t[3] = a49 = 7465353625767404, t[33] = a53 = 969391667199644.
//
// Three refills follow; entries 0..23 subtract the old entry j + 31, then entries 24..54
// subtract the new entry j - 24, each + 2^53 when negative. The draws are entries 1, 2, 3 of
// the third refill: 7885347533390972, 2010628265988404 and 8788146292958720. A draw is the
// value rounded to single precision, whose grid is 2^-24 in [1/2, 1) (2^29 u) and 2^-26 in
// [1/8, 1/4) (2^27 u):
//   draw 1: 7885347533390972 / 2^29 = 14687604.33  -> 14687604 * 2^-24 = 0x1.c03ae8p-1
//   draw 2: 2010628265988404 / 2^27 = 14980347.95  -> 14980348 * 2^-26 = 0x1.c929f8p-3
//   draw 3: 8788146292958720 / 2^29 = 16369198.06  -> 16369198 * 2^-24 = 0x1.f38c5cp-1
TEST_F(RandomTest, FirstDrawsOfSeedHalfWorkedByHand) {
  seed(0.5f);
  EXPECT_EQ(randomCursor, 0);
  EXPECT_EQ(nextUniform(), 0x1.c03ae8p-1f);  // 0.87544942
  EXPECT_EQ(nextUniform(), 0x1.c929f8p-3f);  // 0.22322458
  EXPECT_EQ(nextUniform(), 0x1.f38c5cp-1f);  // 0.97568023
  EXPECT_EQ(randomCursor, 3);

  // randomInt(3, 12) from the same draws: 3 + truncate(r * 10).
  seed(0.5f);
  EXPECT_EQ(randomInt(3, 12), 11);  // 8.754...
  EXPECT_EQ(randomInt(3, 12), 5);   // 2.232...
  EXPECT_EQ(randomInt(3, 12), 12);  // 9.756...

  // A permutation of 2 items takes two shuffles of one draw each; the second is kept:
  // truncate(0.223 * 2) = 0 picks item 0 first.
  seed(0.5f);
  int out[2] = {-1, -1};
  int work[2];
  randomPermutation(2, out, work);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 1);
  EXPECT_EQ(randomCursor, 2);
}

TEST_F(RandomTest, SameSeedGivesSameSequenceAndReseedingRestartsIt) {
  const std::vector<float> first = drawsAfterSeeding(0.75f, 500);
  EXPECT_EQ(drawsAfterSeeding(0.75f, 500), first);
  const std::vector<float> other = drawsAfterSeeding(0.7500001f, 500);
  int same = 0;
  for (int k = 0; k < 500; ++k) same += other[k] == first[k] ? 1 : 0;
  EXPECT_LT(same, 5);
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
  EXPECT_EQ(out[0], -1);  // (n (n - 1) draws for n items: the permutation test below)

  // 56 draws, across one refill: the next draw is the 57th of the sequence.
  const std::vector<float> sequence = drawsAfterSeeding(0.5f, 57);
  seed(0.5f);
  randomPermutation(8, out, work);
  EXPECT_EQ(randomCursor, cursorAfterDraws(56));
  EXPECT_EQ(nextUniform(), sequence[56]);
}

// ---------------------------------------------------------------------------------------
// Bounds and results of the operations

TEST_F(RandomTest, DrawsAtTheExtremesAnswerWithinTheirRanges) {
  // Values that round up to one are answered below one.
  seed(0.5f);
  randomTable[1] = 1.0 - 0x1p-30;  // rounds to 1.0f in single precision
  randomTable[2] = 1.0;
  EXPECT_EQ(nextUniform(), 0x1.fffffep-1f);
  EXPECT_EQ(nextUniform(), 0x1.fffffep-1f);
  EXPECT_EQ(uniformFromTable(0.0), 0.0f);
  EXPECT_EQ(uniformFromTable(0.5), 0.5f);

  // randomInt at the extremes of the draw.
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

  // flip compares the probability with one draw.
  seed(0.5f);
  randomTable[1] = 0.0;
  randomTable[2] = 0.0;
  randomTable[3] = 0x1p-20;
  EXPECT_EQ(flip(0.0f), 1);  // p = 0 succeeds only on a draw of exactly 0
  EXPECT_EQ(flip(-1e-30f), 0);
  EXPECT_EQ(flip(0.0f), 0);
}

TEST_F(RandomTest, PermutationsAreValidAndTakeTheirDraws) {
  for (int n = 1; n <= 30; ++n) {
    SCOPED_TRACE(n);
    seed(0.375f);
    std::vector<int> out(n, -1), work(n, -1);
    randomPermutation(n, out.data(), work.data());
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
  // v = 12345 + 87655 = 100000: the fraction is 0, answered as the next grid value.
  EXPECT_EQ(clockDerivedSeed(87655, 0), static_cast<float>(1e-5));
  EXPECT_EQ(clockDerivedSeed(1700087655, 0), static_cast<float>(1e-5));
}

TEST_F(RandomTest, SeedZeroIsDerivedFromTheClockAndWrittenBack) {
  for (int firstAgent : {3, -1}) {  // no agent run yet counts as agent 0
    SCOPED_TRACE(firstAgent);
    run.runStartAgent = firstAgent;
    float s = 0.0f;
    const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
    seedRandom(&s, 0);
    const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
    bool matched = false;
    for (std::int64_t t = before; t <= after; ++t) matched |= s == clockDerivedSeed(t, firstAgent);
    EXPECT_TRUE(matched) << s;
    // The table is the one of the seed written back.
    double derived[kRandomTableSize];
    std::memcpy(derived, randomTable, sizeof derived);
    seed(s);
    EXPECT_EQ(std::memcmp(derived, randomTable, sizeof derived), 0);
  }
}

// ---------------------------------------------------------------------------------------
// Announcement and batch reseeding, with a message file

class RandomMessagesTest : public testing::MessageCaptureTest {
 protected:
  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetRandom();
  }
  void TearDown() override {
    resetRandom();
    MessageCaptureTest::TearDown();
  }
  void seed(float value, int announce) {
    float s = value;
    seedRandom(&s, announce);
  }
};

TEST_F(RandomMessagesTest, SeedIsAnnouncedOnceInTheMessageFileOrOnStandardError) {
  seed(0.5f, 0);  // no announcement asked: the first announcement is still to come
  EXPECT_FALSE(randomSeedAnnounced);
  EXPECT_EQ(testing::readFile(messagePath_), "");

  seed(0.5f, 1);
  EXPECT_TRUE(randomSeedAnnounced);
  const std::string note = "*NOTE\n\tRandom seed=0.500000.\n\n";
  EXPECT_EQ(testing::readFile(messagePath_), note);  // flushed at once

  seed(0.25f, 1);
  EXPECT_EQ(messages(), note);

  resetRandom();
  seed(0.125f, 1);
  EXPECT_EQ(messages(), note + "*NOTE\n\tRandom seed=0.125000.\n\n");

  // A seed derived from the clock is the one announced.
  resetRandom();
  clearMessages();
  float s = 0.0f;
  seedRandom(&s, 1);
  EXPECT_EQ(messages(), formatText("*NOTE\n\tRandom seed=%f.\n\n", static_cast<double>(s)));

  // Without a message file the announcement goes to standard error.
  closeFile(outptr);
  outptr = nullptr;
  resetRandom();
  ::testing::internal::CaptureStderr();
  seed(0.5f, 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\tRandom seed=0.500000.\n");
  EXPECT_TRUE(randomSeedAnnounced);
}

TEST_F(RandomMessagesTest, BatchReseedingDecaysFromPointNineNineWithoutAnnouncement) {
  const float first = reseedForBatch();
  EXPECT_EQ(first, 0x1.fa5f86p-1f);  // float(float(0.99) * 0.999)
  EXPECT_EQ(randomCursor, 0);
  const std::vector<float> fromFirst = {nextUniform(), nextUniform()};
  EXPECT_EQ(drawsAfterSeeding(first, 2), fromFirst);

  EXPECT_EQ(reseedForBatch(), 0x1.f9dde4p-1f);  // float(first * 0.999)
  EXPECT_EQ(randomCursor, 0);
  EXPECT_FALSE(randomSeedAnnounced);
  EXPECT_EQ(testing::readFile(messagePath_), "");

  resetRandom();
  EXPECT_EQ(reseedForBatch(), first);
}

}  // namespace
}  // namespace karvo
