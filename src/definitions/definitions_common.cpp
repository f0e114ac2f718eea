// Whole-record views and text utilities for the "Definitions.in" readers. Each record is
// scanned once or twice when it is read at start-up; nothing here is on a hot path.
#include "definitions/definitions_common.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "definitions/reader.h"
#include "base/messages.h"

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
    if (trimmed(line).empty()) continue;
    const char* colon = std::strchr(line, ':');
    if (!colon) {
      if (allowBareLines) continue;
      fatalError(readingError(fileLabel, record.keywordLine + i + 1, line));
    }
    std::string name = trimmed(std::string(line, colon));
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
  double value = 0.0;
  return parseReal(text, value);
}

}  // namespace karvo::defs
