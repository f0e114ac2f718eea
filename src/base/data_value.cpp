// Typed values and their binary form. Every stored design carries one value per response and
// dependent variable, and the history writer re-encodes the whole table at every save, so
// encoding is a plain append with no allocation beyond the growth of the output string.
#include "base/data_value.h"

#include <cstring>
#include <utility>

namespace karvo {

namespace {

// Tags of the encoded cells.
constexpr std::int32_t kTagNumber = 0;
constexpr std::int32_t kTagString = 1;
constexpr std::int32_t kTagUnset = -1;
constexpr std::int32_t kTagEnd = -2;

constexpr std::size_t kTagBytes = 4;  // every cell has at least its tag

std::int32_t tagOf(const DataCell& cell) {
  if (cell.present == 0) return kTagUnset;
  switch (cell.type) {
    case kCellInteger:
    case kCellReal: return kTagNumber;
    case kCellString: return kTagString;
    default: return kTagUnset;
  }
}

void appendBytes(std::string& out, std::uint64_t bits, int width) {
  char bytes[8];
  for (int k = 0; k < width; ++k) bytes[k] = static_cast<char>((bits >> (8 * k)) & 0xFF);
  out.append(bytes, static_cast<std::size_t>(width));
}

bool takeBytes(ByteReader& reader, int width, std::uint64_t& bits) {
  if (bytesLeft(reader) < static_cast<std::size_t>(width)) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(reader.data + reader.at);
  bits = 0;
  for (int k = 0; k < width; ++k) bits |= static_cast<std::uint64_t>(bytes[k]) << (8 * k);
  reader.at += static_cast<std::size_t>(width);
  return true;
}

// Reads the cells of a value whose count is already read; false on the first bad cell.
bool readCells(ByteReader& reader, std::int32_t count, std::vector<DataCell>& cells) {
  // Each cell takes at least its tag, so a count beyond that is refused before reserving.
  if (count < 0 || static_cast<std::size_t>(count) > bytesLeft(reader) / kTagBytes) return false;
  cells.reserve(static_cast<std::size_t>(count) + 1);
  for (std::int32_t k = 0; k < count; ++k) {
    std::int32_t tag = 0;
    if (!readInt32(reader, tag)) return false;
    switch (tag) {
      case kTagNumber: {
        double number = 0.0;
        if (!readReal(reader, number)) return false;
        cells.push_back(realCell(number));
        break;
      }
      case kTagString: {
        std::int64_t length = 0;
        if (!readInt64(reader, length) || length < 0 ||
            static_cast<std::uint64_t>(length) > bytesLeft(reader)) {
          return false;
        }
        std::string text;
        if (!readText(reader, static_cast<std::size_t>(length), text)) return false;
        cells.push_back(stringCell(std::move(text)));
        break;
      }
      case kTagUnset: cells.push_back(unsetCell()); break;
      case kTagEnd: cells.push_back(endCell()); break;
      default: return false;
    }
  }
  cells.push_back(endCell());
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Cells and values

DataCell integerCell(std::int64_t value) {
  DataCell cell;
  cell.present = 1;
  cell.type = kCellInteger;
  cell.integer = value;
  return cell;
}

DataCell realCell(double value) {
  DataCell cell;
  cell.present = 1;
  cell.type = kCellReal;
  cell.real = value;
  return cell;
}

DataCell stringCell(std::string value) {
  DataCell cell;
  cell.present = 1;
  cell.type = kCellString;
  cell.text = std::move(value);
  return cell;
}

DataCell unsetCell() { return DataCell{}; }

DataCell endCell() {
  DataCell cell;
  cell.type = kCellEnd;
  cell.count = 0;
  return cell;
}

DataValue integerValue(std::int64_t value) { return DataValue{{integerCell(value), endCell()}}; }

DataValue realValue(double value) { return DataValue{{realCell(value), endCell()}}; }

DataValue stringValue(std::string value) {
  return DataValue{{stringCell(std::move(value)), endCell()}};
}

DataValue realVector(const std::vector<double>& values) {
  DataValue value;
  if (values.empty()) return value;
  value.cells.reserve(values.size() + 1);
  for (double number : values) value.cells.push_back(realCell(number));
  value.cells.push_back(endCell());
  return value;
}

std::size_t cellCount(const DataValue& value) {
  std::size_t count = 0;
  while (count < value.cells.size() && value.cells[count].type != kCellEnd) ++count;
  return count;
}

DataValue dataValueOf(const ResponseValue& response) {
  DataValue value;
  if (!response.present) return value;
  if (!response.values.empty()) return realVector(response.values);
  if (response.text.empty()) return value;
  value.cells.reserve(response.text.size() + 1);
  for (const std::string& text : response.text) value.cells.push_back(stringCell(text));
  value.cells.push_back(endCell());
  return value;
}

ResponseValue responseValueOf(const DataValue& value) {
  ResponseValue response;
  std::size_t count = cellCount(value);
  for (std::size_t k = 0; k < count; ++k) {
    const DataCell& cell = value.cells[k];
    switch (tagOf(cell)) {
      case kTagNumber:
        response.values.push_back(cell.type == kCellInteger ? static_cast<double>(cell.integer)
                                                            : cell.real);
        break;
      case kTagString: response.text.push_back(cell.text); break;
      default: return ResponseValue{};  // an unset component: the value is incomplete
    }
  }
  if (count == 0) return response;
  response.present = true;
  response.status = kStatusSuccess;
  return response;
}

// ---------------------------------------------------------------------------------------
// Writing

std::size_t encodedSize(const DataValue& value) {
  std::size_t size = 4;
  std::size_t count = cellCount(value);
  for (std::size_t k = 0; k < count; ++k) {
    switch (tagOf(value.cells[k])) {
      case kTagNumber: size += 12; break;
      case kTagString: size += 12 + value.cells[k].text.size(); break;
      default: size += 4; break;
    }
  }
  return size;
}

void appendInt32(std::string& out, std::int32_t value) {
  appendBytes(out, static_cast<std::uint32_t>(value), 4);
}

void appendInt64(std::string& out, std::int64_t value) {
  appendBytes(out, static_cast<std::uint64_t>(value), 8);
}

void appendReal(std::string& out, double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  appendBytes(out, bits, 8);
}

void writeValue(std::string& out, const DataValue& value) {
  std::size_t count = cellCount(value);
  out.reserve(out.size() + encodedSize(value));
  appendInt32(out, static_cast<std::int32_t>(count));
  for (std::size_t k = 0; k < count; ++k) {
    const DataCell& cell = value.cells[k];
    std::int32_t tag = tagOf(cell);
    appendInt32(out, tag);
    if (tag == kTagNumber) {
      appendReal(out, cell.type == kCellInteger ? static_cast<double>(cell.integer) : cell.real);
    } else if (tag == kTagString) {
      appendInt64(out, static_cast<std::int64_t>(cell.text.size()));
      out.append(cell.text);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Reading

ByteReader byteReaderOf(const std::string& bytes) {
  return ByteReader{bytes.data(), bytes.size(), 0};
}

std::size_t bytesLeft(const ByteReader& reader) {
  return reader.at < reader.size ? reader.size - reader.at : 0;
}

bool readInt32(ByteReader& reader, std::int32_t& value) {
  std::uint64_t bits = 0;
  if (!takeBytes(reader, 4, bits)) return false;
  value = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
  return true;
}

bool readInt64(ByteReader& reader, std::int64_t& value) {
  std::uint64_t bits = 0;
  if (!takeBytes(reader, 8, bits)) return false;
  value = static_cast<std::int64_t>(bits);
  return true;
}

bool readReal(ByteReader& reader, double& value) {
  std::uint64_t bits = 0;
  if (!takeBytes(reader, 8, bits)) return false;
  std::memcpy(&value, &bits, sizeof value);
  return true;
}

bool readText(ByteReader& reader, std::size_t length, std::string& text) {
  if (bytesLeft(reader) < length) return false;
  text.assign(reader.data + reader.at, length);
  reader.at += length;
  return true;
}

bool readValue(ByteReader& reader, DataValue& value) {
  value.cells.clear();
  std::size_t start = reader.at;
  std::int32_t count = 0;
  if (readInt32(reader, count) && (count == 0 || readCells(reader, count, value.cells))) {
    return true;
  }
  value.cells.clear();
  reader.at = start;
  return false;
}

}  // namespace karvo
