// Response extraction of the "General" portal: the definition reader, the number reader and
// the scanners that find values in analysis output. Output files may be hundreds of MB: each
// is read once, line by line, for all the definitions that read it, and memory stays at one
// line plus the values found.
#include "external/portal_general.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include <re2/re2.h>

#include "base/messages.h"
#include "base/text.h"
#include "platform/platform.h"

namespace karvo::general_portal {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trimSpaces(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Words of a line: runs of characters that are neither blanks nor `separators`.
void splitWords(std::string_view line, const std::string& separators,
                std::vector<std::string_view>& words) {
  words.clear();
  std::size_t i = 0;
  auto separates = [&](char c) {
    return isSpace(c) || (!separators.empty() && separators.find(c) != std::string::npos);
  };
  while (i < line.size()) {
    while (i < line.size() && separates(line[i])) ++i;
    std::size_t start = i;
    while (i < line.size() && !separates(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
}

// Picks word `index` (1 = first, -1 = last); null when the line has too few.
const std::string_view* pickWord(const std::vector<std::string_view>& words, int index) {
  long long count = static_cast<long long>(words.size());
  long long at = index > 0 ? index - 1 : count + index;
  if (at < 0 || at >= count) return nullptr;
  return &words[static_cast<std::size_t>(at)];
}

std::string occurrenceText(const ExtractionDefinition& d) {
  switch (d.occurrence) {
    case OccurrenceRule::First: return "first";
    case OccurrenceRule::Last: return "last";
    case OccurrenceRule::All: return "all";
    case OccurrenceRule::Nth: return std::to_string(d.nth);
  }
  return "";
}

// ---- Definition reader ---------------------------------------------------------------------

struct PropertyLine {
  std::string key;    // lower case
  std::string value;  // trimmed; quotes removed except for a regex
  int line = 0;       // 1-based line of the definition text
  bool used = false;
};

// A whole number within [low, high].
bool parseIntegerIn(std::string_view text, long long low, long long high, long long& value) {
  long long parsed = 0;
  if (!parseInteger(text, parsed) || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

std::string propertyError(const PropertyLine& p, const char* displayName, const char* rule) {
  return formatText("line %d: %s \"%s\": %s", p.line, displayName, p.value.c_str(), rule);
}

// Compiles a regex definition's pattern, or answers the matcher's reason for refusing it. The
// pattern and the lines are taken as bytes (Latin-1), so that text in any encoding matches
// itself, as a plain byte comparison would. A backreference or a lookaround is refused with a
// word on why, since users coming from other tools expect them.
std::shared_ptr<const re2::RE2> compilePattern(const std::string& text, std::string& reason) {
  re2::RE2::Options options;
  options.set_encoding(re2::RE2::Options::EncodingLatin1);
  options.set_log_errors(false);
  auto pattern = std::make_shared<const re2::RE2>(text, options);
  if (pattern->ok()) return pattern;
  reason = pattern->error();
  const std::string& at = pattern->error_arg();
  const bool backreference = pattern->error_code() == re2::RE2::ErrorBadEscape &&
                             at.size() >= 2 && isDigit(at[1]) && at[1] != '0';
  // The matcher names a lookbehind by its first three characters only.
  const bool lookaround =
      at == "(?=" || at == "(?!" ||
      (at == "(?<" && (text.find("(?<=") != std::string::npos ||
                       text.find("(?<!") != std::string::npos));
  if (backreference || lookaround) reason += "; backreferences and lookaround are not supported";
  return nullptr;
}


// The property lines of a definition text, in text order: blank lines and lines starting
// with "$" or "#" are skipped. False with `error` for a line without a colon or a property
// given twice.
bool readPropertyLines(const std::string& text, std::vector<PropertyLine>& lines,
                       std::string& error) {
  int lineNumber = 0;
  // A byte-order mark left by editors on Windows is no part of the first property name.
  std::size_t pos = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  while (pos <= text.size()) {
    std::size_t next = text.find('\n', pos);
    if (next == std::string::npos) next = text.size();
    std::string_view raw(text.data() + pos, next - pos);
    pos = next + 1;
    ++lineNumber;
    std::string_view line = trimSpaces(raw);
    if (line.empty() || line.front() == '$' || line.front() == '#') continue;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      error = formatText("line %d: \"%.*s\": expected a property name, a colon and a value",
                         lineNumber, static_cast<int>(line.size()), line.data());
      return false;
    }
    PropertyLine p;
    p.key = lowerCase(trimSpaces(line.substr(0, colon)));
    std::string_view value = trimSpaces(line.substr(colon + 1));
    if (p.key != "regex" && value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    p.value.assign(value);
    p.line = lineNumber;
    for (const PropertyLine& earlier : lines) {
      if (earlier.key == p.key) {
        error = formatText("line %d: %.*s: given twice (first at line %d)", lineNumber,
                           static_cast<int>(colon), line.data(), earlier.line);
        return false;
      }
    }
    lines.push_back(std::move(p));
  }
  return true;
}

// False with `error` naming the first property that no definition knows.
bool checkKnownProperties(const std::vector<PropertyLine>& lines, std::string& error) {
  static const char* const kKnown[] = {"file",   "anchor", "regex",     "result",
                                       "table",  "occurrence", "lineoffset", "word",
                                       "group",  "skiplines",  "column",     "end",
                                       "stopat", "separators"};
  for (const PropertyLine& p : lines) {
    bool known = false;
    for (const char* k : kKnown) known = known || p.key == k;
    if (!known) {
      error = formatText("line %d: unknown property \"%s\"; the properties are file, anchor, "
                         "regex, result, table, occurrence, lineOffset, word, group, "
                         "skipLines, column, end, stopAt and separators",
                         p.line, p.key.c_str());
      return false;
    }
  }
  return true;
}

// The line of property `key` (lower case), marked as used; null when it is not given.
PropertyLine* findProperty(std::vector<PropertyLine>& lines, const char* key) {
  for (PropertyLine& p : lines) {
    if (p.key == key) {
      p.used = true;
      return &p;
    }
  }
  return nullptr;
}

// The kind and its text: exactly one of anchor, regex, result, table, with a value. Answers
// the line that names it, null with `error` otherwise.
const PropertyLine* readKind(std::vector<PropertyLine>& lines, ExtractionDefinition& definition,
                             std::string& error) {
  struct KindKey {
    const char* key;
    ExtractionKind kind;
  };
  static const KindKey kKinds[] = {{"anchor", ExtractionKind::Anchor},
                                   {"regex", ExtractionKind::Regex},
                                   {"result", ExtractionKind::Result},
                                   {"table", ExtractionKind::Table}};
  const PropertyLine* kindLine = nullptr;
  for (const KindKey& k : kKinds) {
    PropertyLine* p = findProperty(lines, k.key);
    if (!p) continue;
    if (kindLine) {
      error = formatText("line %d: %s: a definition has exactly one of anchor, regex, result "
                         "and table, and \"%s\" was given at line %d",
                         p->line, k.key, kindLine->key.c_str(), kindLine->line);
      return nullptr;
    }
    kindLine = p;
    definition.kind = k.kind;
  }
  if (!kindLine) {
    error = "the definition names none of anchor, regex, result and table";
    return nullptr;
  }
  if (kindLine->value.empty()) {
    error = formatText("line %d: %s: the value must not be empty", kindLine->line,
                       kindLine->key.c_str());
    return nullptr;
  }
  definition.text = kindLine->value;
  return kindLine;
}

// The properties every kind may have: file, occurrence, and separators (not for a regex,
// whose pattern says what a word is).
bool readCommonProperties(std::vector<PropertyLine>& lines, ExtractionDefinition& definition,
                          std::string& error) {
  if (PropertyLine* p = findProperty(lines, "file")) {
    if (p->value.empty()) {
      error = formatText("line %d: file: the value must not be empty", p->line);
      return false;
    }
    definition.file = p->value;
  }
  if (PropertyLine* p = findProperty(lines, "occurrence")) {
    std::string word = lowerCase(p->value);
    long long n = 0;
    if (word == "first") {
      definition.occurrence = OccurrenceRule::First;
    } else if (word == "last") {
      definition.occurrence = OccurrenceRule::Last;
    } else if (word == "all") {
      definition.occurrence = OccurrenceRule::All;
    } else if (parseIntegerIn(p->value, 1, 2147483647LL, n)) {
      definition.occurrence = OccurrenceRule::Nth;
      definition.nth = n;
    } else {
      error = propertyError(*p, "occurrence",
                            "must be first, last, all or a count from 1 to 2147483647");
      return false;
    }
  }
  PropertyLine* separators =
      definition.kind == ExtractionKind::Regex ? nullptr : findProperty(lines, "separators");
  if (PropertyLine* p = separators) {
    for (char c : p->value) {
      if (isSpace(c) || c == '.' || c == '+' || c == '-' || isDigit(c) || c == 'e' || c == 'E' ||
          c == 'd' || c == 'D') {
        error = propertyError(*p, "separators",
                              "must not hold blanks, digits, signs, points or exponent letters");
        return false;
      }
    }
    definition.separators = p->value;
  }
  return true;
}

// A word or column number (`key`, named `displayName` in messages) that the definition needs:
// 1 is the first, -1 the last, never 0, at most 100000 either way. `missing` is the error
// when it is not given, `rule` what a bad value is told.
bool readPlaceNumber(std::vector<PropertyLine>& lines, const char* key, const char* displayName,
                     const char* missing, const char* rule, int& place, std::string& error) {
  PropertyLine* p = findProperty(lines, key);
  long long value = 0;
  if (!p) {
    error = missing;
    return false;
  }
  if (!parseIntegerIn(p->value, -100000, 100000, value) || value == 0) {
    error = propertyError(*p, displayName, rule);
    return false;
  }
  place = static_cast<int>(value);
  return true;
}

// An optional count of lines (`key`, named `displayName` in messages), 0 to 1000000000;
// `count` keeps its default when it is not given.
bool readLineCount(std::vector<PropertyLine>& lines, const char* key, const char* displayName,
                   const char* rule, long long& count, std::string& error) {
  if (PropertyLine* p = findProperty(lines, key)) {
    if (!parseIntegerIn(p->value, 0, 1000000000LL, count)) {
      error = propertyError(*p, displayName, rule);
      return false;
    }
  }
  return true;
}

// An anchor's word (required) and line offset.
bool readAnchorProperties(std::vector<PropertyLine>& lines, ExtractionDefinition& definition,
                          std::string& error) {
  return readPlaceNumber(
             lines, "word", "word",
             "an anchor definition needs \"word\" (1 is the first word of the line, -1 the last)",
             "must be a word number from 1 (first word) or from -1 (last word), never 0, at "
             "most 100000 either way",
             definition.word, error) &&
         readLineCount(lines, "lineoffset", "lineOffset",
                       "must be a count of lines after the anchor line, 0 to 1000000000 (0 is "
                       "the anchor line itself)",
                       definition.lineOffset, error);
}

// A regex's compiled pattern and its group: one that the pattern has, or by default the
// first capture group (a pattern without one needs "group: 0").
bool readRegexProperties(std::vector<PropertyLine>& lines, const PropertyLine& kindLine,
                         ExtractionDefinition& definition, std::string& error) {
  std::string reason;
  definition.pattern = compilePattern(definition.text, reason);
  if (!definition.pattern) {
    error = formatText("line %d: regex \"%s\": not a valid regular expression (%s)",
                       kindLine.line, definition.text.c_str(), reason.c_str());
    return false;
  }
  long long groups = definition.pattern->NumberOfCapturingGroups();
  if (PropertyLine* p = findProperty(lines, "group")) {
    long long value = 0;
    if (!parseIntegerIn(p->value, 0, groups, value)) {
      error = propertyError(
          *p, "group",
          formatText("must be a capture group of the regular expression, 0 (the whole match) "
                     "to %lld",
                     groups).c_str());
      return false;
    }
    definition.group = static_cast<int>(value);
  } else if (groups < 1) {
    error = formatText("line %d: regex \"%s\": the regular expression has no capture group; "
                       "put parentheses around the number or set \"group: 0\" for the whole "
                       "match",
                       kindLine.line, definition.text.c_str());
    return false;
  }
  return true;
}

// A table's column (required), skipped lines, and its end: "end" or "stopAt", not both.
bool readTableProperties(std::vector<PropertyLine>& lines, ExtractionDefinition& definition,
                         std::string& error) {
  if (!readPlaceNumber(lines, "column", "column",
                       "a table definition needs \"column\" (1 is the first column, -1 the last)",
                       "must be a column number from 1 (first column) or from -1 (last column), "
                       "never 0, at most 100000 either way",
                       definition.column, error) ||
      !readLineCount(lines, "skiplines", "skipLines",
                     "must be a count of lines skipped after the anchor line, 0 to 1000000000",
                     definition.skipLines, error)) {
    return false;
  }
  PropertyLine* end = findProperty(lines, "end");
  PropertyLine* stop = findProperty(lines, "stopat");
  if (end && stop) {
    error = formatText("line %d: end: a table ends either by \"end\" or by \"stopAt\" (line %d), "
                       "not both",
                       end->line, stop->line);
    return false;
  }
  if (end) {
    std::string word = lowerCase(end->value);
    if (word == "blank") {
      definition.end = TableEnd::Blank;
    } else if (word == "nonnumeric") {
      definition.end = TableEnd::NonNumeric;
    } else {
      error = propertyError(*end, "end",
                            "must be blank or nonNumeric (use stopAt for an end text)");
      return false;
    }
  }
  if (stop) {
    if (stop->value.empty()) {
      error = formatText("line %d: stopAt: the value must not be empty", stop->line);
      return false;
    }
    definition.end = TableEnd::StopText;
    definition.stopText = stop->value;
  }
  return true;
}

// False with `error` naming the first property that the definition's kind did not read.
bool checkAllUsed(const std::vector<PropertyLine>& lines, ExtractionKind kind,
                  std::string& error) {
  static const char* const kKindNames[] = {"an anchor", "a regex", "a result", "a table"};
  for (const PropertyLine& p : lines) {
    if (!p.used) {
      error = formatText("line %d: %s: does not apply to %s definition", p.line, p.key.c_str(),
                         kKindNames[static_cast<int>(kind)]);
      return false;
    }
  }
  return true;
}

}  // namespace

bool parseNumber(std::string_view word, double& value) {
  // Grammar: sign? (digits ("." digits?)? | "." digits) exponent?
  //          exponent = [EeDd] sign? digits | sign digits (the latter only after a point)
  std::size_t i = 0;
  std::size_t n = word.size();
  bool negative = false;
  if (i < n && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  std::size_t mantissaStart = i;
  std::size_t intDigits = 0;
  while (i < n && isDigit(word[i])) ++i, ++intDigits;
  bool point = false;
  std::size_t fracDigits = 0;
  if (i < n && word[i] == '.') {
    point = true;
    ++i;
    while (i < n && isDigit(word[i])) ++i, ++fracDigits;
  }
  if (intDigits + fracDigits == 0) return false;
  std::size_t mantissaEnd = i;
  std::string_view exponentDigits;
  bool exponentNegative = false;
  if (i < n) {
    char c = word[i];
    if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
      ++i;
    } else if (!(point && (c == '+' || c == '-'))) {
      return false;
    }
    if (i < n && (word[i] == '+' || word[i] == '-')) exponentNegative = word[i++] == '-';
    std::size_t start = i;
    while (i < n && isDigit(word[i])) ++i;
    if (i == start || i != n) return false;
    exponentDigits = word.substr(start, i - start);
  }

  std::string normal;
  normal.reserve(word.size() + 2);
  if (negative) normal += '-';
  normal.append(word.substr(mantissaStart, mantissaEnd - mantissaStart));
  if (!exponentDigits.empty()) {
    normal += 'e';
    if (exponentNegative) normal += '-';
    normal.append(exponentDigits);
  }
  double parsed = 0.0;
  auto [end, code] = std::from_chars(normal.data(), normal.data() + normal.size(), parsed);
  if (code != std::errc() || end != normal.data() + normal.size() || !std::isfinite(parsed)) {
    return false;
  }
  value = parsed;
  return true;
}

bool parseDefinition(const std::string& text, ExtractionDefinition& definition,
                     std::string& error) {
  definition = ExtractionDefinition();
  std::vector<PropertyLine> lines;
  if (!readPropertyLines(text, lines, error) || !checkKnownProperties(lines, error)) return false;
  const PropertyLine* kindLine = readKind(lines, definition, error);
  if (!kindLine || !readCommonProperties(lines, definition, error)) return false;
  switch (definition.kind) {
    case ExtractionKind::Anchor:
      if (!readAnchorProperties(lines, definition, error)) return false;
      break;
    case ExtractionKind::Regex:
      if (!readRegexProperties(lines, *kindLine, definition, error)) return false;
      break;
    case ExtractionKind::Table:
      if (!readTableProperties(lines, definition, error)) return false;
      break;
    case ExtractionKind::Result: break;
  }
  return checkAllUsed(lines, definition.kind, error);
}

std::string describeDefinition(const ExtractionDefinition& d) {
  std::string text;
  switch (d.kind) {
    case ExtractionKind::Anchor:
      text = formatText("anchor \"%s\", occurrence %s, line offset %lld, word %d", d.text.c_str(),
                        occurrenceText(d).c_str(), d.lineOffset, d.word);
      break;
    case ExtractionKind::Regex:
      text = formatText("regex \"%s\", occurrence %s, group %d", d.text.c_str(),
                        occurrenceText(d).c_str(), d.group);
      break;
    case ExtractionKind::Result:
      text = formatText("result \"%s\", occurrence %s", d.text.c_str(), occurrenceText(d).c_str());
      break;
    case ExtractionKind::Table:
      text = formatText("table \"%s\", occurrence %s, skip %lld lines, column %d", d.text.c_str(),
                        occurrenceText(d).c_str(), d.skipLines, d.column);
      if (d.end == TableEnd::Blank) text += ", end at a blank line";
      if (d.end == TableEnd::NonNumeric) text += ", end at a line not starting with a number";
      if (d.end == TableEnd::StopText) text += formatText(", end at \"%s\"", d.stopText.c_str());
      break;
  }
  if (!d.separators.empty()) text += formatText(", separators \"%s\"", d.separators.c_str());
  return text;
}

// ---- Scanners --------------------------------------------------------------------------------
//
// One scanner per definition follows the file line by line. Occurrences are counted in file
// order; the rule decides which of them count:
//   first, n  the chosen occurrence's outcome is final; the scanner is then done
//   last      every occurrence replaces the outcome of the one before
//   all       values are appended; the first failure is final
// An occurrence's outcome is its values or a failure reason. Nothing is ever filled in.
//
// The table scanner (scanTableLine, endTable, finishScanner):
//
//   Searching --anchor line, chosen--> Skipping --skipLines read--> Rows
//       ^          (skipLines 0: straight to Rows)                   |
//       |                                                            |
//       +--- end line (blank / not starting with a number / stop) ---+  endTable: no rows fails;
//       +--- bad row (too few words, not a number) ------------------+  fail
//
//   Leaving Rows ends the occurrence: first and n are then done; last and all search on.
//   The line that ended a table is looked at again as a possible next anchor.
//   End of file in Rows: the table ends, except with a stop text, where it fails.

namespace {

enum class TableState { Searching, Skipping, Rows };

struct Scanner {
  const ExtractionDefinition* def = nullptr;
  bool done = false;               // no further line can change the outcome
  bool failed = false;             // the chosen occurrence(s) failed: `reason`
  std::string reason;
  long long occurrences = 0;       // occurrences seen so far
  std::vector<double> values;
  std::deque<long long> pending;   // anchor: lines of chosen anchors whose target is ahead
  TableState table = TableState::Searching;
  long long tableAnchorLine = 0;   // table: line of the anchor of the table being read
  long long skipLeft = 0;          // table: header lines still to skip
  long long rows = 0;              // table: rows read in the current table
  std::vector<re2::StringPiece> submatches;  // regex: the match and its groups, reused per line
};

// Counts an occurrence and answers whether it is a chosen one. For "last" a chosen
// occurrence discards what the previous one gave.
bool chooseOccurrence(Scanner& s) {
  ++s.occurrences;
  switch (s.def->occurrence) {
    case OccurrenceRule::First: return s.occurrences == 1;
    case OccurrenceRule::Nth: return s.occurrences == s.def->nth;
    case OccurrenceRule::All: return true;
    case OccurrenceRule::Last:
      s.values.clear();
      s.failed = false;
      s.reason.clear();
      s.pending.clear();
      return true;
  }
  return false;
}

void fail(Scanner& s, std::string reason) {
  s.failed = true;
  s.reason = std::move(reason);
  if (s.def->occurrence != OccurrenceRule::Last) s.done = true;
}

// The chosen occurrence is complete: first and n-th need nothing more.
void occurrenceComplete(Scanner& s) {
  if (s.def->occurrence == OccurrenceRule::First || s.def->occurrence == OccurrenceRule::Nth) {
    s.done = true;
  }
}

// Adds one word as a value; false (after fail) when it is not a number.
bool takeNumber(Scanner& s, std::string_view word, long long lineNumber, const char* where) {
  double value = 0.0;
  if (!parseNumber(word, value)) {
    fail(s, formatText("the word \"%.*s\"%s at line %lld is not a number",
                       static_cast<int>(word.size()), word.data(), where, lineNumber));
    return false;
  }
  s.values.push_back(value);
  return true;
}

void scanAnchorLine(Scanner& s, std::string_view line, long long lineNumber,
                    std::vector<std::string_view>& words) {
  const ExtractionDefinition& d = *s.def;
  if (line.find(d.text) != std::string_view::npos && chooseOccurrence(s)) {
    s.pending.push_back(lineNumber);
  }
  while (!s.done && !s.pending.empty() && s.pending.front() + d.lineOffset == lineNumber) {
    long long anchorLine = s.pending.front();
    s.pending.pop_front();
    splitWords(line, d.separators, words);
    const std::string_view* word = pickWord(words, d.word);
    if (!word) {
      fail(s, formatText("line %lld (%lld lines after the anchor at line %lld) has %zu words, "
                         "word %d was asked for",
                         lineNumber, d.lineOffset, anchorLine, words.size(), d.word));
      return;
    }
    if (!takeNumber(s, *word, lineNumber, "")) return;
    occurrenceComplete(s);
  }
}

// Each match is an occurrence. The search goes on after the end of the match (after an empty
// match, one character further), in the whole line, so that "^" and "\b" still see the text
// before the search position: "^" matches only at the start of the line.
void scanRegexLine(Scanner& s, std::string_view line, long long lineNumber) {
  const ExtractionDefinition& d = *s.def;
  if (line.size() > kRegexLineLimit) {
    fail(s, formatText("line %lld has %zu characters, more than the %zu that a regular "
                       "expression is matched against",
                       lineNumber, line.size(), kRegexLineLimit));
    s.done = true;
    return;
  }
  const re2::StringPiece text(line.data(), line.size());
  const int wanted = d.group + 1;  // the whole match and the groups up to the chosen one
  s.submatches.resize(static_cast<std::size_t>(wanted));
  for (std::size_t at = 0; at <= line.size();) {
    if (!d.pattern->Match(text, at, line.size(), re2::RE2::UNANCHORED, s.submatches.data(),
                          wanted)) {
      return;
    }
    const re2::StringPiece& whole = s.submatches[0];
    const std::size_t end = static_cast<std::size_t>(whole.data() - line.data()) + whole.size();
    at = whole.empty() ? end + 1 : end;
    if (!chooseOccurrence(s)) continue;
    const re2::StringPiece& group = s.submatches[static_cast<std::size_t>(d.group)];
    std::string_view captured;
    if (group.data() != nullptr) {
      captured = trimSpaces(std::string_view(group.data(), group.size()));
    }
    if (captured.empty()) {
      fail(s, formatText("group %d of the match at line %lld is empty", d.group, lineNumber));
    } else if (takeNumber(s, captured, lineNumber, " captured")) {
      occurrenceComplete(s);
    }
    if (s.done) return;
  }
}

void scanResultLine(Scanner& s, std::string_view line, long long lineNumber,
                    std::vector<std::string_view>& words) {
  const ExtractionDefinition& d = *s.def;
  std::string_view rest = line;
  while (!rest.empty() && isSpace(rest.front())) rest.remove_prefix(1);
  if (rest.substr(0, d.text.size()) != d.text) return;
  rest.remove_prefix(d.text.size());
  while (!rest.empty() && isSpace(rest.front())) rest.remove_prefix(1);
  if (rest.empty() || rest.front() != '=') return;
  rest.remove_prefix(1);
  if (!chooseOccurrence(s)) return;
  splitWords(rest, d.separators, words);
  if (words.empty()) {
    fail(s, formatText("the result line at line %lld has no value after \"=\"", lineNumber));
    return;
  }
  for (std::string_view word : words) {
    if (!takeNumber(s, word, lineNumber, "")) return;
  }
  occurrenceComplete(s);
}

// The current table has ended (not at the end of the file).
void endTable(Scanner& s) {
  s.table = TableState::Searching;
  if (s.rows == 0) {
    fail(s, formatText("the table after the anchor at line %lld has no rows", s.tableAnchorLine));
    return;
  }
  occurrenceComplete(s);
}

void scanTableLine(Scanner& s, std::string_view line, long long lineNumber,
                   std::vector<std::string_view>& words) {
  const ExtractionDefinition& d = *s.def;
  if (s.table == TableState::Skipping) {
    if (--s.skipLeft == 0) s.table = TableState::Rows;
    return;
  }
  if (s.table == TableState::Rows) {
    splitWords(line, d.separators, words);
    double first = 0.0;
    bool ends = false;
    bool skip = false;
    switch (d.end) {
      case TableEnd::Blank: ends = words.empty(); break;
      case TableEnd::NonNumeric: ends = words.empty() || !parseNumber(words.front(), first); break;
      case TableEnd::StopText:
        ends = line.find(d.stopText) != std::string_view::npos;
        skip = words.empty();
        break;
    }
    if (ends) {
      endTable(s);
      if (s.done) return;
      // The line that ended the table may be the anchor of the next one: look at it below.
    } else {
      if (skip) return;
      const std::string_view* word = pickWord(words, d.column);
      if (!word) {
        fail(s, formatText("line %lld of the table after the anchor at line %lld has %zu "
                           "words, column %d was asked for",
                           lineNumber, s.tableAnchorLine, words.size(), d.column));
        s.table = TableState::Searching;
        return;
      }
      if (!takeNumber(s, *word, lineNumber, formatText(" in column %d", d.column).c_str())) {
        s.table = TableState::Searching;
        return;
      }
      ++s.rows;
      return;
    }
  }
  if (line.find(d.text) != std::string_view::npos && chooseOccurrence(s)) {
    s.tableAnchorLine = lineNumber;
    s.rows = 0;
    s.skipLeft = d.skipLines;
    s.table = d.skipLines > 0 ? TableState::Skipping : TableState::Rows;
  }
}

// The end of the file: pending work either completes or fails.
void finishScanner(Scanner& s) {
  const ExtractionDefinition& d = *s.def;
  if (s.done) return;
  if (!s.pending.empty()) {
    fail(s, formatText("the file ends before line offset %lld of the anchor at line %lld",
                       d.lineOffset, s.pending.front()));
    return;
  }
  if (d.kind == ExtractionKind::Table && s.table != TableState::Searching) {
    if (d.end == TableEnd::StopText) {
      fail(s, formatText("the file ends before the stop text \"%s\" of the table after the "
                         "anchor at line %lld",
                         d.stopText.c_str(), s.tableAnchorLine));
      return;
    }
    endTable(s);
  }
}

std::string notFoundReason(const Scanner& s) {
  const ExtractionDefinition& d = *s.def;
  if (s.occurrences > 0 && d.occurrence == OccurrenceRule::Nth) {
    const char* what = d.kind == ExtractionKind::Regex    ? "the regular expression matched"
                       : d.kind == ExtractionKind::Result ? "the result line was found"
                                                          : "the anchor was found";
    return formatText("%s %lld times, occurrence %lld was asked for", what, s.occurrences, d.nth);
  }
  switch (d.kind) {
    case ExtractionKind::Anchor: return "the anchor was not found";
    case ExtractionKind::Regex: return "the regular expression matched nowhere";
    case ExtractionKind::Result:
      return formatText("no line \"%s = ...\" was found", d.text.c_str());
    case ExtractionKind::Table: return "the table anchor was not found";
  }
  return "";
}

std::string failureMessage(const std::string& path, const ExtractionDefinition& d,
                           const std::string& reason) {
  return formatText("No value extracted from the file \"%s\" by the definition [%s]: %s.",
                    path.c_str(), describeDefinition(d).c_str(), reason.c_str());
}

}  // namespace

std::vector<ExtractionOutcome> extractFromFile(
    const std::string& path, const std::vector<const ExtractionDefinition*>& definitions) {
  std::vector<ExtractionOutcome> outcomes(definitions.size());
  if (definitions.empty()) return outcomes;

  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) {
    std::string reason =
        formatText("the file could not be opened (%s)", platform::systemErrorText(errno).c_str());
    for (std::size_t i = 0; i < definitions.size(); ++i) {
      outcomes[i].message = failureMessage(path, *definitions[i], reason);
    }
    return outcomes;
  }

  std::vector<Scanner> scanners(definitions.size());
  for (std::size_t i = 0; i < definitions.size(); ++i) scanners[i].def = definitions[i];
  std::vector<std::string_view> words;
  char* buffer = nullptr;
  std::size_t capacity = 0;
  long long lineNumber = 0;
  std::size_t active = scanners.size();
  while (active > 0) {
    errno = 0;
    ssize_t length = getline(&buffer, &capacity, in);
    if (length < 0) break;
    ++lineNumber;
    std::string_view line(buffer, static_cast<std::size_t>(length));
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    active = 0;
    for (Scanner& s : scanners) {
      if (s.done) continue;
      switch (s.def->kind) {
        case ExtractionKind::Anchor: scanAnchorLine(s, line, lineNumber, words); break;
        case ExtractionKind::Regex: scanRegexLine(s, line, lineNumber); break;
        case ExtractionKind::Result: scanResultLine(s, line, lineNumber, words); break;
        case ExtractionKind::Table: scanTableLine(s, line, lineNumber, words); break;
      }
      if (!s.done) ++active;
    }
  }
  bool readFailed = std::ferror(in) != 0;
  int readErrno = errno;
  std::free(buffer);
  std::fclose(in);

  for (std::size_t i = 0; i < scanners.size(); ++i) {
    Scanner& s = scanners[i];
    if (readFailed && !s.done) {
      fail(s, formatText("reading the file failed after line %lld (%s)", lineNumber,
                         platform::systemErrorText(readErrno).c_str()));
    }
    finishScanner(s);
    ExtractionOutcome& outcome = outcomes[i];
    if (s.failed) {
      outcome.message = failureMessage(path, *s.def, s.reason);
    } else if (s.values.empty()) {
      outcome.message = failureMessage(path, *s.def, notFoundReason(s));
    } else {
      outcome.ok = true;
      outcome.values = std::move(s.values);
    }
  }
  return outcomes;
}

}  // namespace karvo::general_portal
