// PropertiesMap: small ordered maps (tens of keys) built once per job or resource.
//
// Serialised form, read back only by this class: one line per entry,
//   P <key length> <key bytes> <value length> <value bytes>\n   (properties)
//   S <key length> <key bytes> <value length> <value bytes>\n   (second map)
// Lengths are decimal byte counts, so keys and values may hold any byte, newlines included.
#include "base/properties_map.h"

#include <cstdlib>

namespace karvo {

std::vector<std::string> PropertiesMap::keys() const {
  std::vector<std::string> result;
  result.reserve(properties_.size());
  for (const auto& entry : properties_) result.push_back(entry.first);
  return result;
}

std::string PropertiesMap::value(const std::string& key) const {
  auto it = properties_.find(key);
  return it == properties_.end() ? default_ : it->second;
}

std::string PropertiesMap::secondValue(const std::string& key) const {
  auto it = second_.find(key);
  return it == second_.end() ? default_ : it->second;
}

void PropertiesMap::setValue(const std::string& key, const std::string& value) {
  properties_[key] = value;
  modified_ = true;
}

void PropertiesMap::setSecondValue(const std::string& key, const std::string& value) {
  second_[key] = value;
  modified_ = true;
}

void PropertiesMap::erase(const std::string& key) {
  if (properties_.erase(key) != 0) modified_ = true;
}

void PropertiesMap::clear() {
  properties_.clear();
  second_.clear();
  modified_ = true;
}

static void appendEntry(std::string& out, char tag, const std::string& key,
                        const std::string& value) {
  out += tag;
  out += ' ';
  out += std::to_string(key.size());
  out += ' ';
  out += key;
  out += ' ';
  out += std::to_string(value.size());
  out += ' ';
  out += value;
  out += '\n';
}

std::string PropertiesMap::serialize() const {
  std::string out;
  for (const auto& [key, value] : properties_) appendEntry(out, 'P', key, value);
  for (const auto& [key, value] : second_) appendEntry(out, 'S', key, value);
  return out;
}

// Reads "<length> <bytes>" at `pos`; false when the text is malformed.
static bool readCounted(const std::string& text, std::size_t& pos, std::string& out) {
  std::size_t start = pos;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
  if (pos == start || pos - start > 12 || pos >= text.size() || text[pos] != ' ') return false;
  std::size_t length = std::strtoull(text.c_str() + start, nullptr, 10);
  ++pos;
  if (length > text.size() - pos) return false;
  out.assign(text, pos, length);
  pos += length;
  return true;
}

bool PropertiesMap::deserialize(const std::string& text) {
  std::map<std::string, std::string> properties;
  std::map<std::string, std::string> second;
  std::size_t pos = 0;
  while (pos < text.size()) {
    char tag = text[pos];
    if ((tag != 'P' && tag != 'S') || pos + 1 >= text.size() || text[pos + 1] != ' ') {
      clear();
      return false;
    }
    pos += 2;
    std::string key, value;
    if (!readCounted(text, pos, key) || pos >= text.size() || text[pos] != ' ') {
      clear();
      return false;
    }
    ++pos;
    if (!readCounted(text, pos, value) || pos >= text.size() || text[pos] != '\n') {
      clear();
      return false;
    }
    ++pos;
    (tag == 'P' ? properties : second)[key] = value;
  }
  properties_ = std::move(properties);
  second_ = std::move(second);
  modified_ = true;
  return true;
}

}  // namespace karvo
