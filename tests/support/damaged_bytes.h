// Damaged copies of what a writer wrote, for the tests of its reader: the reader must refuse
// each copy, or read it to the same value, and never crash or read past the end.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::testing {

// Called with a damaged copy and the position of the damage (the length of a cut copy).
using DamageCheck = std::function<void(const std::string& damaged, std::size_t at)>;

// Every proper prefix of `bytes`, the shortest first.
void forEachCut(std::string_view bytes, const DamageCheck& check);

// `bytes` with the byte at every position replaced by each of `replacements` in turn (a
// replacement equal to the byte there is passed over).
void forEachReplacedByte(std::string_view bytes, std::string_view replacements,
                         const DamageCheck& check);

// `bytes` with one bit flipped, for every bit of every byte.
void forEachFlippedBit(std::string_view bytes, const DamageCheck& check);

// The lines of `text` without their line ends; a last line without one counts too.
std::vector<std::string> linesOf(std::string_view text);

}  // namespace karvo::testing
