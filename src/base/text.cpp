// The solver's text helpers. Called while reading study files and result files: a few
// thousand times per run, never in a loop that waits for analyses.
#include "base/text.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace karvo {

namespace {

constexpr const char* kBlanks = " \t\r\n";

}  // namespace

std::string trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return "";
  const std::size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

bool isBlankLine(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

std::string lowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && lowerCase(a) == lowerCase(b);
}

std::vector<std::string> splitTrimmed(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t end = text.find(separator, begin);
    if (end == std::string_view::npos) end = text.size();
    std::string part = trimmed(text.substr(begin, end - begin));
    if (!part.empty()) parts.push_back(std::move(part));
    begin = end + 1;
  }
  return parts;
}

std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(start, end - start));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool parseInteger(std::string_view text, long long& value) {
  const std::string word = trimmed(text);
  std::size_t digits = !word.empty() && (word[0] == '+' || word[0] == '-') ? 1 : 0;
  if (digits == word.size()) return false;
  for (std::size_t i = digits; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return false;
  }
  errno = 0;
  const long long parsed = std::strtoll(word.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  value = parsed;
  return true;
}

bool parseInteger(std::string_view text, int& value) {
  long long wide = 0;
  if (!parseInteger(text, wide) || wide < INT_MIN || wide > INT_MAX) return false;
  value = static_cast<int>(wide);
  return true;
}

bool parseReal(std::string_view text, double& value) {
  const std::string word = trimmed(text);
  if (word.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(word.c_str(), &end);
  if (end == word.c_str() || *end != '\0' || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool parseFlag(std::string_view text, bool& value) {
  const std::string word = trimmed(text);
  if (word == "yes" || word == "true" || word == "1") {
    value = true;
  } else if (word == "no" || word == "false" || word == "0") {
    value = false;
  } else {
    return false;
  }
  return true;
}

bool parseFlag(std::string_view text, int& value) {
  bool flag = false;
  if (!parseFlag(text, flag)) return false;
  value = flag ? 1 : 0;
  return true;
}

}  // namespace karvo
