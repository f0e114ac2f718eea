// The state of a run kept in a checkpoint: one function per record lists its fields once,
// and the same function both writes and reads them, so that writer and reader can never
// disagree on the order.
//
//   void keepFields(StateArchive& archive, SwarmRun& s) {
//     archive.items(s.ready, s.moves, s.x, s.veloc, s.gbest_val);
//   }
//
// A writing archive appends each item's bytes to a string; a reading archive takes them back
// from a block of bytes and assigns them. Encoding (little-endian whatever the host):
//   bool, char, int, int32      int32 (a bool reads back as value != 0; a char from int32)
//   long, long long, size_t     int64
//   float                       the float's 32 bits
//   double                      the double's 64 bits, as they are (NaN, infinities, -0 kept)
//   std::string                 int32 length, the bytes
//   std::vector<T>              int32 count, then each element
//   std::array<T, N>, T[N]      N elements (N itself is not written)
//   std::unordered_set<int>     int32 count, the values in increasing order
//   ResponseValue, Design       their fields in declaration order
//   any other record R          what keepFields(StateArchive&, R&) lists (declared with R)
//
// Reading is bounded: a count or length that is negative or larger than the bytes left,
// reading past the end, or a mark (below) that differs from the one written puts the
// archive into the failed state. A failed archive reads nothing more: every later item keeps
// the value it had (no allocation larger than the bytes left is ever made), so a caller may
// read a whole record and look at ok() once at the end. Writing never fails.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/design.h"

namespace karvo {

class StateArchive {
 public:
  // A writing archive that appends to `out` (which it does not own).
  explicit StateArchive(std::string& out);
  // A reading archive over `bytes` (which it does not own; they must outlive it).
  explicit StateArchive(std::string_view bytes);

  bool reading() const { return reading_; }
  bool ok() const { return !failed_; }
  // Puts a reading archive into the failed state (a value read is out of its range).
  void fail() { failed_ = true; }
  // Bytes read or written so far.
  std::size_t offset() const;
  // Bytes left to read (0 for a writing archive).
  std::size_t remaining() const;

  void item(bool& value);
  void item(char& value);
  void item(int& value);
  void item(long& value);
  void item(long long& value);
  void item(unsigned long& value);
  void item(float& value);
  void item(double& value);
  void item(std::string& value);
  void item(std::unordered_set<int>& value);
  void item(ResponseValue& value);
  void item(Design& value);

  // A record of the solver's own: `keepFields(StateArchive&, T&)`, declared next to the
  // record (found by argument-dependent lookup), lists its fields.
  template <class T>
    requires requires(StateArchive& archive, T& value) { keepFields(archive, value); }
  void item(T& value) {
    keepFields(*this, value);
  }

  template <class T>
  void item(std::vector<T>& values) {
    int count = static_cast<int>(values.size());
    item(count);
    if (!reading_) {
      for (T& value : values) item(value);
      return;
    }
    if (failed_) return;
    if (count < 0 || static_cast<std::size_t>(count) > remaining()) {
      failed_ = true;
      return;
    }
    std::vector<T> read(static_cast<std::size_t>(count));
    for (T& value : read) {
      item(value);
      if (failed_) return;
    }
    values = std::move(read);
  }

  template <class T, std::size_t N>
  void item(std::array<T, N>& values) {
    for (T& value : values) item(value);
  }

  template <class T, std::size_t N>
  void item(T (&values)[N]) {
    for (T& value : values) item(value);
  }

  // Several items in order.
  template <class... T>
  void items(T&... values) {
    (item(values), ...);
  }

  // A section mark: written as an int32; on reading, a different value fails the archive
  // (the bytes do not belong to the record the reader expects).
  void mark(std::int32_t tag);

 private:
  bool readRaw(void* to, std::size_t bytes);
  void writeRaw(const void* from, std::size_t bytes);

  bool reading_ = false;
  bool failed_ = false;
  std::string* out_ = nullptr;
  std::string_view in_;
  std::size_t at_ = 0;
};

}  // namespace karvo
