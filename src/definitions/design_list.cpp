// The design-list parser. Lists are short (a handful of items typed by a user), read once
// per run; ranges may name many thousands of designs, so repeats are found through a set.
#include "definitions/design_list.h"

#include <string_view>
#include <unordered_set>

#include "base/messages.h"
#include "base/text.h"

namespace karvo {

namespace {

bool refuse(const std::string& text, const std::string& item) {
  writeMessage("outptr|stderr", "error",
               formatText("Error in the definition of the design set. The definition was read "
                          "as: %s. The error is near %s.",
                          text.c_str(), item.c_str()));
  return false;
}

// The parts of `item` between "-" signs, each trimmed; empty parts are kept, so that "3-",
// "-3" and "1--3" do not pass as two numbers.
std::vector<std::string> rangeParts(std::string_view item) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dash = item.find('-', start);
    parts.push_back(trimmed(item.substr(start, dash == std::string_view::npos
                                                   ? std::string_view::npos
                                                   : dash - start)));
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  return parts;
}

}  // namespace

bool parseDesignList(const std::string& text, std::vector<int>& numbers) {
  numbers.clear();
  std::unordered_set<int> seen;
  for (const std::string& item : splitTrimmed(text, ',')) {
    int first = 0;
    int last = 0;
    if (item.find('-') == std::string::npos) {
      if (!parseInteger(item, first)) return refuse(text, item);
      last = first;
    } else {
      const std::vector<std::string> parts = rangeParts(item);
      if (parts.size() != 2 || !parseInteger(parts[0], first) ||
          !parseInteger(parts[1], last) || first > last) {
        return refuse(text, item);
      }
    }
    // A range of repeats ends within the list's size; one naming too many numbers is refused
    // when the list is full, before it is expanded any further.
    for (long long n = first; n <= last; ++n) {
      if (seen.insert(static_cast<int>(n)).second) {
        if (numbers.size() >= static_cast<std::size_t>(kMaxDesignListEntries)) {
          return refuse(text, item);
        }
        numbers.push_back(static_cast<int>(n));
      }
    }
  }
  return true;
}

}  // namespace karvo
