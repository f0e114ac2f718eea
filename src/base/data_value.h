// Typed values: the response, dependent-variable and parameter values that the history,
// population and checkpoint files carry, and their binary form.
//
// A DataValue is a list of cells closed by an end cell; a scalar is one cell and the end
// cell, a vector response one cell per component. A value without cells is the missing value.
// The codec works on memory: writeValue appends the encoded bytes to a string (the history
// writer keeps each stored design's bytes and writes the file in large blocks) and readValue
// takes them back through a bounded ByteReader that refuses to read past its end.
//
// Encoded form, little-endian whatever the host:
//   int32 count            cells before the end cell; 0 for a missing or empty value, then
//                          nothing follows
//   per cell: int32 tag    0 integer or real, 1 string, -1 unset, -2 end
//     tag 0: 64-bit real   an integer cell is written as its real value
//     tag 1: int64 length, then that many bytes (no terminator)
// The end cell that closes the list is not written; the reader appends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/design.h"

namespace karvo {

// Type of a cell.
enum DataCellType : int {
  kCellUnset = 0,    // no value (an evaluation that gave nothing for this component)
  kCellInteger = 1,  // payload in `integer`
  kCellReal = 2,     // payload in `real`
  kCellString = 3,   // payload in `text`
  kCellEnd = 4,      // closes the list; carries nothing
};

struct DataCell {
  int present = 0;           // value-present flag: 1 when the payload holds a value, else 0
  int type = kCellUnset;     // DataCellType
  int count = 1;             // element count: 1 for a scalar, 0 for the end cell
  std::int64_t integer = 0;  // payload of an integer cell
  double real = 0.0;         // payload of a real cell
  std::string text;          // payload of a string cell, any bytes
  bool operator==(const DataCell&) const = default;
};

struct DataValue {
  std::vector<DataCell> cells;  // closed by a kCellEnd cell; empty: the missing value
  bool operator==(const DataValue&) const = default;
};

// Cells.
DataCell integerCell(std::int64_t value);
DataCell realCell(double value);
DataCell stringCell(std::string value);
DataCell unsetCell();  // flag 0, count 1
DataCell endCell();    // flag 0, count 0

// Scalar values (the cell and an end cell) and a vector of reals (one real cell per
// component and an end cell; an empty vector gives the missing value).
DataValue integerValue(std::int64_t value);
DataValue realValue(double value);
DataValue stringValue(std::string value);
DataValue realVector(const std::vector<double>& values);

// Number of cells before the first end cell (all cells when there is none): the count that
// writeValue writes.
std::size_t cellCount(const DataValue& value);

// A response's values as a typed value: numbers as real cells, else texts as string cells;
// a response that is not present, or present without data, gives the missing value.
DataValue dataValueOf(const ResponseValue& response);

// A typed value as a response's values: integer and real cells into `values`, string cells
// into `text`, status kStatusSuccess. A missing or empty value, or one holding an unset cell,
// gives a response that is not present (no data, status kStatusError).
ResponseValue responseValueOf(const DataValue& value);

// ---------------------------------------------------------------------------------------
// Binary form

// Bytes that writeValue appends for `value`: 4, plus 12 per integer or real cell, 12 + its
// length per string cell and 4 per unset cell, over the cells before the end cell.
std::size_t encodedSize(const DataValue& value);

// Appends the encoded bytes of `value` to `out`. A cell whose present flag is 0, or whose type
// is none of the value types, is written as unset. Integers beyond 2^53 lose their low bits.
void writeValue(std::string& out, const DataValue& value);

// Little-endian primitives of the binary result files, appended to `out`.
void appendInt32(std::string& out, std::int32_t value);
void appendInt64(std::string& out, std::int64_t value);
void appendReal(std::string& out, double value);  // the IEEE bits as they are (NaN kept)

// A read position in a block of bytes that the reader does not own. The read functions take
// from `at` on and advance it; when fewer bytes are left than asked for they return false and
// leave `at` (and the output) unchanged.
struct ByteReader {
  const char* data = nullptr;  // first byte of the block
  std::size_t size = 0;        // bytes in the block
  std::size_t at = 0;          // next byte to read, 0 <= at <= size
};

ByteReader byteReaderOf(const std::string& bytes);
std::size_t bytesLeft(const ByteReader& reader);

bool readInt32(ByteReader& reader, std::int32_t& value);
bool readInt64(ByteReader& reader, std::int64_t& value);
bool readReal(ByteReader& reader, double& value);
// Exactly `length` bytes into `text`.
bool readText(ByteReader& reader, std::size_t length, std::string& text);

// Reads one encoded value from `reader` into `value`: tag 0 gives a real cell, 1 a string
// cell, -1 an unset cell, -2 an end cell, and an end cell is appended after the last one; a
// count of 0 gives the missing value. Counts and lengths are checked against the bytes left
// before anything is allocated. False on malformed input (a negative or too large count or
// length, an unknown tag, too few bytes); `value` is then missing and `reader.at` unchanged.
bool readValue(ByteReader& reader, DataValue& value);

}  // namespace karvo
