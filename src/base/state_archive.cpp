// The checkpoint field archive; see state_archive.h.
#include "base/state_archive.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace karvo {

namespace {

// The bytes of a value in little-endian order, whatever the host.
template <class T>
void toLittle(const T& value, unsigned char (&bytes)[sizeof(T)]) {
  std::memcpy(bytes, &value, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) std::reverse(bytes, bytes + sizeof(T));
}

template <class T>
T fromLittle(unsigned char (&bytes)[sizeof(T)]) {
  if constexpr (std::endian::native == std::endian::big) std::reverse(bytes, bytes + sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

}  // namespace

StateArchive::StateArchive(std::string& out) : reading_(false), out_(&out) {}

StateArchive::StateArchive(std::string_view bytes) : reading_(true), in_(bytes) {}

std::size_t StateArchive::offset() const { return reading_ ? at_ : out_->size(); }

std::size_t StateArchive::remaining() const { return reading_ ? in_.size() - at_ : 0; }

bool StateArchive::readRaw(void* to, std::size_t bytes) {
  if (failed_) return false;
  if (remaining() < bytes) {
    failed_ = true;
    return false;
  }
  std::memcpy(to, in_.data() + at_, bytes);
  at_ += bytes;
  return true;
}

void StateArchive::writeRaw(const void* from, std::size_t bytes) {
  out_->append(static_cast<const char*>(from), bytes);
}

#define KARVO_ARCHIVE_FIXED(Type, Wire)                      \
  void StateArchive::item(Type& value) {                     \
    unsigned char bytes[sizeof(Wire)];                       \
    if (!reading_) {                                         \
      toLittle(static_cast<Wire>(value), bytes);             \
      writeRaw(bytes, sizeof bytes);                         \
      return;                                                \
    }                                                        \
    if (!readRaw(bytes, sizeof bytes)) return;               \
    value = static_cast<Type>(fromLittle<Wire>(bytes));      \
  }

KARVO_ARCHIVE_FIXED(char, std::int32_t)
KARVO_ARCHIVE_FIXED(int, std::int32_t)
KARVO_ARCHIVE_FIXED(long, std::int64_t)
KARVO_ARCHIVE_FIXED(long long, std::int64_t)
KARVO_ARCHIVE_FIXED(unsigned long, std::int64_t)
KARVO_ARCHIVE_FIXED(float, float)
KARVO_ARCHIVE_FIXED(double, double)

#undef KARVO_ARCHIVE_FIXED

void StateArchive::item(bool& value) {
  int wire = value ? 1 : 0;
  item(wire);
  if (reading_ && !failed_) value = wire != 0;
}

void StateArchive::item(std::string& value) {
  int length = static_cast<int>(value.size());
  item(length);
  if (!reading_) {
    writeRaw(value.data(), value.size());
    return;
  }
  if (failed_) return;
  if (length < 0 || static_cast<std::size_t>(length) > remaining()) {
    failed_ = true;
    return;
  }
  value.assign(in_.data() + at_, static_cast<std::size_t>(length));
  at_ += static_cast<std::size_t>(length);
}

void StateArchive::item(std::unordered_set<int>& value) {
  std::vector<int> sorted(value.begin(), value.end());
  std::sort(sorted.begin(), sorted.end());
  item(sorted);
  if (reading_ && !failed_) value = std::unordered_set<int>(sorted.begin(), sorted.end());
}

void StateArchive::item(ResponseValue& value) {
  items(value.values, value.text, value.status, value.present);
}

void StateArchive::item(Design& value) {
  items(value.representation, value.num_dvar, value.source, value.encoding, value.violation,
        value.chromosome, value.reals, value.performance, value.status, value.designNumber,
        value.generation, value.cycle, value.failed, value.responses, value.name, value.note,
        value.tag, value.requestedNumber);
}

void StateArchive::mark(std::int32_t tag) {
  int value = tag;
  item(value);
  if (reading_ && !failed_ && value != tag) failed_ = true;
}

}  // namespace karvo
