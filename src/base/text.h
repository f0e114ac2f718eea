// The one set of small text helpers of the solver: trimming, splitting, letter case and the
// readers of integers, reals and flags. Every reader of a study file and every outside
// component uses these, so that a value is read the same way wherever it is written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace karvo {

// `text` without leading and trailing blanks, tabs, carriage returns and newlines.
std::string trimmed(std::string_view text);

// True when `text` holds nothing but blanks and tabs (or nothing at all).
bool isBlankLine(std::string_view text);

// `text` with the ASCII capitals made small (locale-independent).
std::string lowerCase(std::string_view text);

// True when the two words are equal ignoring ASCII letter case.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// The parts of `text` between `separator`s, each trimmed; empty parts are left out.
std::vector<std::string> splitTrimmed(std::string_view text, char separator);

// The lines of `text`, without their line ends ("\n" or "\r\n"); a last line without a line
// end counts, an empty text has none.
std::vector<std::string> linesOf(std::string_view text);

// An optional sign and decimal digits, blanks around allowed, nothing else. False (and
// `value` unchanged) on anything else or a value beyond the range of the type.
bool parseInteger(std::string_view text, int& value);
bool parseInteger(std::string_view text, long long& value);

// A number as strtod reads it, blanks around allowed, nothing else; it must be finite.
bool parseReal(std::string_view text, double& value);

// The flag words of definition files: "yes", "true", "1" and "no", "false", "0", blanks
// around allowed, in small letters as written in study files. False on any other word.
bool parseFlag(std::string_view text, bool& value);
bool parseFlag(std::string_view text, int& value);

}  // namespace karvo
