// Design lists: the text with which a user names a set of design numbers, such as the designs
// of the history that a continuing study takes over ("1-3,5,12").
//
//   list  = item { "," item }     a run of commas counts as one separator; blanks around an
//                                 item are ignored
//   item  = number | number "-" number    a range, first <= second, both ends included
//
// The value of a list is its design numbers in order of first appearance, without repeats.
#pragma once

#include <string>
#include <vector>

namespace karvo {

// Most design numbers one list may name (a range such as 1-2000000000 is refused rather than
// expanded).
inline constexpr int kMaxDesignListEntries = 1000000;

// Parses `text` into `numbers` (emptied first). An empty text, or one of commas only, gives an
// empty list. An item that is not a number, a range that does not split into exactly two
// numbers or whose first number is larger than its second, and a list that names more than
// kMaxDesignListEntries numbers are refused with "Error in the definition of the design set.
// The definition was read as: %s. The error is near %s." (the whole text, the item) on
// "outptr|stderr"; the answer is then false and `numbers` holds what was read before the item.
bool parseDesignList(const std::string& text, std::vector<int>& numbers);

}  // namespace karvo
