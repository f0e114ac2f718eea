// Cut, replaced and flipped copies of a writer's bytes; each check runs under a trace that
// names the damage, so that a failure says which copy it was.
#include "support/damaged_bytes.h"

#include <gtest/gtest.h>

namespace karvo::testing {

void forEachCut(std::string_view bytes, const DamageCheck& check) {
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    SCOPED_TRACE("cut to " + std::to_string(length) + " bytes");
    check(std::string(bytes.substr(0, length)), length);
  }
}

void forEachReplacedByte(std::string_view bytes, std::string_view replacements,
                         const DamageCheck& check) {
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (char replacement : replacements) {
      if (bytes[at] == replacement) continue;
      SCOPED_TRACE("byte " + std::to_string(at) + " replaced by '" + replacement + "'");
      std::string damaged(bytes);
      damaged[at] = replacement;
      check(damaged, at);
    }
  }
}

void forEachFlippedBit(std::string_view bytes, const DamageCheck& check) {
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      SCOPED_TRACE("bit " + std::to_string(bit) + " of byte " + std::to_string(at) + " flipped");
      std::string damaged(bytes);
      damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
      check(damaged, at);
    }
  }
}

std::vector<std::string> linesOf(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

}  // namespace karvo::testing
