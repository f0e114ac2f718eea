// Small text helpers shared by the readers and the outside components.
#pragma once

#include <string>
#include <string_view>

namespace karvo {

// `text` without leading and trailing blanks, tabs, carriage returns and newlines.
inline std::string trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return "";
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

// `text` with the ASCII capitals made small (locale-independent).
inline std::string lowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

}  // namespace karvo
