// Reader of the gradients file that analyses may write next to their results (see
// gradient_file.h). Small files, read once per design whose gradients are used.
#include "definitions/gradient_file.h"

#include <cmath>
#include <cstdlib>

#include "base/file_handle.h"
#include "definitions/reader.h"

namespace karvo {

namespace {

// The numbers of `text` (separated by commas and blanks); false on anything else.
bool parseNumbers(const std::string& text, std::vector<double>& values) {
  const char* p = text.c_str();
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    if (*p == '\0') return true;
    char* end = nullptr;
    const double value = std::strtod(p, &end);
    if (end == p || !std::isfinite(value)) return false;
    if (*end != '\0' && *end != ' ' && *end != '\t' && *end != ',') return false;
    values.push_back(value);
    p = end;
  }
}

}  // namespace

bool readGradientFile(const std::string& path, std::vector<ResponseGradient>& gradients,
                      std::vector<std::string>& unreadable) {
  FileHandle* file = openFile(path, "r");
  if (!file) return false;
  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
  freeRecord(preamble);
  while (!keyword.empty()) {
    const std::string current = keyword;
    Record record = readRecord(file, keyword, lineCounter, endOfFile);
    RecordScope scope(record);
    if (!isKeyword(current, "*RESPONSE_GRADIENT_INFO")) continue;
    std::string name, reason;
    if (getProperty(kGradientFileName, record, "responseName", name, false, reason) == 0) continue;
    std::vector<std::string> texts;
    if (getValues(kGradientFileName, record, "gradInfo", texts, false, reason) == 0) {
      unreadable.push_back(name);
      continue;
    }
    ResponseGradient gradient;
    gradient.response = name;
    bool ok = true;
    for (const std::string& text : texts) ok = ok && parseNumbers(text, gradient.values);
    if (!ok || gradient.values.empty()) {
      unreadable.push_back(name);
      continue;
    }
    gradients.push_back(std::move(gradient));
  }
  closeFile(file);
  return true;
}

}  // namespace karvo
