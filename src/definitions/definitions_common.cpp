// Whole-record views and text utilities for the "Definitions.in" readers. Each record is
// scanned once or twice when it is read at start-up; nothing here is on a hot path.
#include "definitions/definitions_common.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "definitions/reader.h"
#include "driver/messages.h"

namespace karvo::defs {

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::string joinRecordLines(const Record& record) {
  std::string text;
  for (int i = 0; i < record.count; ++i) {
    if (i > 0) text += '\n';
    text += record.lines[i];
  }
  return text;
}

std::vector<std::pair<std::string, std::string>> recordPropertyPairs(const Record& record,
                                                                     const std::string& fileLabel,
                                                                     bool allowBareLines) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < record.count; ++i) {
    const char* line = record.lines[i];
    if (trimBlanks(line).empty()) continue;
    const char* colon = std::strchr(line, ':');
    if (!colon) {
      if (allowBareLines) continue;
      fatalError(readingError(fileLabel, record.keywordLine + i + 1, line));
    }
    std::string name = trimBlanks(std::string(line, colon));
    if (name.empty()) fatalError(readingError(fileLabel, record.keywordLine + i + 1, line));
    const char* value = colon + 1;
    if (isBlank(*value)) ++value;
    pairs.emplace_back(name, value);
  }
  return pairs;
}

PropertiesMap recordPropertiesMap(const Record& record, const std::string& fileLabel) {
  PropertiesMap map;
  for (const auto& [name, value] : recordPropertyPairs(record, fileLabel, true)) {
    if (!map.has(name)) map.setValue(name, value);
  }
  map.clearModified();
  return map;
}

bool isNumberText(const std::string& text) {
  const char* s = text.c_str();
  char* end = nullptr;
  double value = std::strtod(s, &end);
  if (end == s) return false;
  while (isBlank(*end)) ++end;
  return *end == '\0' && std::isfinite(value);
}

std::string trimBlanks(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> splitTrimmed(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t end = text.find(separator, begin);
    if (end == std::string::npos) end = text.size();
    std::string part = trimBlanks(text.substr(begin, end - begin));
    if (!part.empty()) parts.push_back(part);
    begin = end + 1;
  }
  return parts;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace karvo::defs
