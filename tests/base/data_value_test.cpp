// Tests of typed values and their binary form: the exact bytes of hand-laid-out values, the
// encoded size, round trips, and refusal of truncated, oversized and random input without a
// crash or a large allocation.
#include "base/data_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include "support/damaged_bytes.h"

// The largest single allocation while `trackAllocations` is set. Kept out of line: inlined
// next to a new-expression, the call to free draws a false mismatched-allocation warning.
namespace {
bool trackAllocations = false;
std::size_t largestAllocation = 0;
}  // namespace
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (trackAllocations && size > largestAllocation) largestAllocation = size;
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace karvo {
namespace {

// Bytes from hex digit pairs; blanks between the items of a layout are skipped.
std::string hex(const std::string& digits) {
  std::string bytes;
  for (std::size_t k = 0; k < digits.size(); k += digits[k] == ' ' ? 1 : 2) {
    if (digits[k] == ' ') continue;
    bytes.push_back(static_cast<char>(std::stoi(digits.substr(k, 2), nullptr, 16)));
  }
  return bytes;
}

std::string encoded(const DataValue& value) {
  std::string out;
  writeValue(out, value);
  return out;
}

DataValue cells(std::vector<DataCell> list) { return DataValue{std::move(list)}; }

DataCell flagless(DataCell cell) {
  cell.present = 0;
  return cell;
}

TEST(DataValueCodec, WritesTheLaidOutBytesWithTheirSizeAndReadsThemBack) {
  struct Case {
    const char* name;
    DataValue value;     // written
    const char* bytes;   // its encoding, item by item
    DataValue readBack;  // what reading the bytes gives
  };
  const Case cases[] = {
      {"real", realValue(1.5), "01000000 00000000 000000000000f83f", realValue(1.5)},
      {"integer", integerValue(3), "01000000 00000000 0000000000000840", realValue(3.0)},
      {"string", stringValue("ab"), "01000000 01000000 0200000000000000 6162", stringValue("ab")},
      {"empty string", stringValue(""), "01000000 01000000 0000000000000000", stringValue("")},
      {"vector", realVector({-2.0, 0.25}),
       "02000000 00000000 00000000000000c0 00000000 000000000000d03f", realVector({-2.0, 0.25})},
      {"missing", DataValue{}, "00000000", DataValue{}},
      {"end cell only", cells({endCell()}), "00000000", DataValue{}},
      {"unset", cells({unsetCell(), endCell()}), "01000000 ffffffff",
       cells({unsetCell(), endCell()})},
      {"no flag: unset", cells({flagless(realCell(7)), endCell()}), "01000000 ffffffff",
       cells({unsetCell(), endCell()})},
      {"mixed; after the end cell nothing is written",
       cells({stringCell("x"), unsetCell(), integerCell(-1), endCell(), realCell(9.0)}),
       "03000000 01000000 0100000000000000 78 ffffffff 00000000 000000000000f0bf",
       cells({stringCell("x"), unsetCell(), realCell(-1.0), endCell()})},
      {"no end cell", cells({realCell(1.5)}), "01000000 00000000 000000000000f83f", realValue(1.5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = hex(c.bytes);
    std::string out = "prefix";
    writeValue(out, c.value);
    EXPECT_EQ(out, "prefix" + expected);
    EXPECT_EQ(encodedSize(c.value), expected.size());

    const std::string stored = expected + "tail";
    ByteReader reader = byteReaderOf(stored);
    DataValue read = realValue(99.0);
    ASSERT_TRUE(readValue(reader, read));
    EXPECT_EQ(read, c.readBack);
    EXPECT_EQ(reader.at, expected.size());
  }
}

TEST(DataValueCodec, RoundTripsEveryCellKindAndReadsAnEndTagAsAnEndCell) {
  DataValue value =
      cells({realCell(-1e-300), stringCell(std::string("a\0\xff\n", 4)), unsetCell(),
             realCell(std::numeric_limits<double>::quiet_NaN()), realCell(-0.0), endCell()});
  std::string bytes = encoded(value);
  bytes += hex("02000000 feffffff 00000000 0000000000000040");  // a second value
  ByteReader reader = byteReaderOf(bytes);
  DataValue first, second;
  ASSERT_TRUE(readValue(reader, first));
  ASSERT_TRUE(readValue(reader, second));
  EXPECT_EQ(reader.at, bytes.size());
  EXPECT_EQ(encoded(first), encoded(value));  // NaN and -0.0 keep their bits
  EXPECT_EQ(second, cells({endCell(), realCell(2.0), endCell()}));
  EXPECT_EQ(cellCount(second), 0u);
}

TEST(DataValueCodec, RefusesTruncatedAndMalformedInputWithoutALargeAllocation) {
  std::vector<std::pair<std::string, std::string>> cases = {
      {"negative count", hex("ffffffff")},
      {"count 2^31-1 in ten bytes", hex("ffffff7f 000000000000")},
      {"count beyond the cells", hex("02000000 00000000 000000000000f03f")},
      {"tag 2", hex("01000000 02000000 000000000000f03f")},
      {"tag -3", hex("01000000 fdffffff")},
      {"tag 4", hex("01000000 04000000")},
      {"negative length", hex("01000000 01000000 ffffffffffffffff 61")},
      {"length beyond the bytes", hex("01000000 01000000 0300000000000000 6162")},
      {"length 2^62", hex("01000000 01000000 0000000000000040 616263")},
      {"length 2^63-1", hex("01000000 01000000 ffffffffffffff7f 616263")},
  };
  const std::string whole =
      encoded(cells({realCell(1.0), stringCell("abc"), unsetCell(), endCell()}));
  for (std::size_t length = 0; length < whole.size(); ++length) {
    cases.emplace_back("cut at " + std::to_string(length), whole.substr(0, length));
  }
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    ByteReader reader = byteReaderOf(bytes);
    DataValue read = realValue(1.0);
    largestAllocation = 0;
    trackAllocations = true;
    bool ok = readValue(reader, read);
    trackAllocations = false;
    EXPECT_FALSE(ok);
    EXPECT_LT(largestAllocation, 1024u);
    EXPECT_EQ(read, DataValue{});
    EXPECT_EQ(reader.at, 0u);
  }
}

// Every byte of an encoding of each cell kind replaced by bytes near the tags and counts, and
// every bit flipped: the reader refuses without moving, or what it reads writes back to bytes
// that read again to the same bytes.
TEST(DataValueCodec, DamagedEncodingsAreRefusedOrReadStably) {
  const std::string whole = encoded(
      cells({realCell(1.0), stringCell("abc"), unsetCell(), integerCell(-2), endCell()}));
  const testing::DamageCheck check = [](const std::string& bytes, std::size_t at) {
    ByteReader reader = byteReaderOf(bytes);
    DataValue read;
    if (!readValue(reader, read)) {
      ASSERT_EQ(reader.at, 0u) << at;
      return;
    }
    ASSERT_LE(reader.at, bytes.size());
    ASSERT_TRUE(read.cells.empty() || read.cells.back().type == kCellEnd);
    const std::string again = encoded(read);
    ASSERT_EQ(encodedSize(read), again.size());
    ByteReader second = byteReaderOf(again);
    DataValue reread;
    ASSERT_TRUE(readValue(second, reread)) << at;
    ASSERT_EQ(encoded(reread), again) << at;
  };
  testing::forEachReplacedByte(whole, std::string("\x00\x01\x02\x05\xfe\xff\x7f", 7), check);
  testing::forEachFlippedBit(whole, check);
}

TEST(DataValueCodec, PrimitivesAreLittleEndianAndStopAtTheEnd) {
  std::string out;
  appendInt32(out, -2);
  appendInt64(out, std::numeric_limits<std::int64_t>::min());
  appendReal(out, 1.0);
  EXPECT_EQ(out, hex("feffffff 0000000000000080 000000000000f03f"));

  ByteReader reader{out.data(), 15, 0};  // one byte short of the real
  std::int32_t small = 0;
  std::int64_t large = 0;
  double real = 5.0;
  std::string text = "kept";
  ASSERT_TRUE(readInt32(reader, small) && readInt64(reader, large));
  EXPECT_EQ(small, -2);
  EXPECT_EQ(large, std::numeric_limits<std::int64_t>::min());
  EXPECT_FALSE(readReal(reader, real) || readText(reader, 4, text) || readInt32(reader, small));
  EXPECT_EQ(real, 5.0);
  EXPECT_EQ(text, "kept");
  EXPECT_TRUE(readText(reader, 3, text));
  EXPECT_EQ(text, std::string(3, '\0'));
  EXPECT_EQ(bytesLeft(reader), 0u);
}

ResponseValue response(std::vector<double> values, std::vector<std::string> text, bool present) {
  int status = present ? kStatusSuccess : kStatusError;
  return ResponseValue{std::move(values), std::move(text), status, present};
}

TEST(DataValueCodec, ConvertsResponsesBothWays) {
  const ResponseValue none = response({}, {}, false);
  const std::pair<ResponseValue, DataValue> to[] = {
      {response({4.5}, {}, true), realValue(4.5)},
      {response({1, 2}, {}, true), realVector({1, 2})},
      {response({}, {"ok", ""}, true), cells({stringCell("ok"), stringCell(""), endCell()})},
      {response({7}, {"7"}, true), realValue(7)},  // numbers win over their texts
      {response({1}, {}, false), DataValue{}},
      {response({}, {}, true), DataValue{}},
  };
  for (const auto& [from, value] : to) EXPECT_EQ(dataValueOf(from), value);

  const std::pair<DataValue, ResponseValue> back[] = {
      {cells({realCell(0.5), integerCell(-3), endCell()}), response({0.5, -3.0}, {}, true)},
      {cells({stringCell("a"), stringCell("b"), endCell()}), response({}, {"a", "b"}, true)},
      {DataValue{}, none},
      {cells({endCell()}), none},
      {cells({realCell(1), unsetCell(), endCell()}), none},  // incomplete
  };
  for (const auto& [from, expected] : back) {
    ResponseValue got = responseValueOf(from);
    EXPECT_EQ(got.values, expected.values);
    EXPECT_EQ(got.text, expected.text);
    EXPECT_EQ(got.status, expected.status);
    EXPECT_EQ(got.present, expected.present);
  }
}

}  // namespace
}  // namespace karvo
