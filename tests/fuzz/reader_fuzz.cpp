// Fuzz target of the definition-data reader: the input is one definition file. It is read
// record by record as every file reader does, and each record is checked against a plain
// line-by-line reading of the same bytes; then the typed readers and the record edits are
// run on it with the names its own lines carry. A definition error (the run's orderly
// refusal, RunExit) is an answer like any other; a crash, a sanitizer report, a leak or a
// difference from the plain reading is a fault.
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_handle.h"
#include "base/run_exit.h"
#include "definitions/reader.h"
#include "fuzz/fuzz_support.h"

namespace karvo::fuzzing {
namespace {

// Stops the fuzzer with the rule that did not hold; libFuzzer keeps the input. The rule is
// reported through the sanitizers' report channel, which stays open when the fuzzer closes
// the solver's standard error (-close_fd_mask).
#define FUZZ_CHECK(condition)                                                     \
  do {                                                                            \
    if (!(condition)) {                                                           \
      __sanitizer_report_error_summary("reader_fuzz: rule broken: " #condition); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

// ---------------------------------------------------------------------------------------
// The plain reading: the grammar of reader.h written out once more, line by line.

struct PlainRecord {
  std::vector<std::string> lines;  // property lines, comments left out
  int keywordLine = 0;             // number of the keyword line that opened it (0: preamble)
  std::string endingKeyword;       // the keyword line after it, "" at the end of the file
};

struct PlainFile {
  std::vector<PlainRecord> records;  // the preamble first
  int lineCount = 0;                 // every line, comments and keyword lines included
};

PlainFile plainReading(std::string_view bytes) {
  PlainFile file;
  file.records.emplace_back();
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string line(bytes.substr(start, std::min<std::size_t>(end - start, kMaxDefinitionLine)));
    if (start == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    line.resize(std::strlen(line.c_str()));
    start = end + 1;
    ++file.lineCount;
    if (!line.empty() && line[0] == '$') continue;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (!line.empty() && line[0] == '*') {
      file.records.back().endingKeyword = line;
      file.records.emplace_back();
      file.records.back().keywordLine = file.lineCount;
    } else {
      file.records.back().lines.push_back(line);
    }
  }
  return file;
}

bool isBlankChar(char c) { return c == ' ' || c == '\t'; }

// The plain search for a property: the position (+ for a blank after the colon, - without,
// 0 for none), or `nameless` when the search reaches a line without a name first.
struct PlainFind {
  int position = 0;
  bool nameless = false;
  std::string value;
};

PlainFind plainFind(const std::vector<std::string>& lines, const std::string& name, int from) {
  PlainFind found;
  for (int p = std::max(from, 1); p <= static_cast<int>(lines.size()); ++p) {
    const std::string& line = lines[p - 1];
    const std::size_t colon = line.find(':');
    const std::string before = line.substr(0, colon);
    const std::size_t first = before.find_first_not_of(" \t");
    if (first == std::string::npos) {
      found.nameless = true;
      return found;
    }
    if (colon == std::string::npos || isBlankChar(before.back())) continue;
    if (before.compare(first, std::string::npos, name) != 0) continue;
    std::string value = line.substr(colon + 1);
    const bool blank = !value.empty() && isBlankChar(value[0]);
    if (blank) value.erase(0, 1);
    found.position = blank ? p : -p;
    found.value = value;
    return found;
  }
  return found;
}

// The name of a property line as the reader sees it ("" when it has none).
std::string nameOf(const std::string& line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return "";
  const std::string before = line.substr(0, colon);
  const std::size_t first = before.find_first_not_of(" \t");
  if (first == std::string::npos || isBlankChar(before.back())) return "";
  return before.substr(first);
}

std::vector<std::string> linesOf(const Record& record) {
  FUZZ_CHECK(record.count >= 0 && record.count <= record.capacity);
  FUZZ_CHECK(record.capacity % kRecordGrowth == 0);
  std::vector<std::string> lines;
  for (int i = 0; i < record.count; ++i) lines.emplace_back(record.lines[i]);
  return lines;
}

// Runs `read`; true when it ended the run (a definition error).
template <typename Read>
bool endsRun(Read read) {
  try {
    read();
    return false;
  } catch (const RunExit& exit) {
    FUZZ_CHECK(exit.code == kExitFatal);
    return true;
  }
}

// ---------------------------------------------------------------------------------------
// The typed readers and the edits on one record.

void checkProperty(const Record& record, const std::vector<std::string>& lines,
                   const std::string& name) {
  const char* label = "fuzz.in";
  for (int from : {1, 2}) {
    const PlainFind expected = plainFind(lines, name, from);
    std::string value = "unchanged", reason;
    int position = 0;
    const bool failed = endsRun(
        [&] { position = getProperty(label, record, name.c_str(), value, false, reason, from); });
    FUZZ_CHECK(failed == expected.nameless);
    if (failed) continue;
    FUZZ_CHECK(position == expected.position);
    if (position == 0) {
      FUZZ_CHECK(value == "unchanged" && reason == kPropertyNotDefined);
      continue;
    }
    FUZZ_CHECK(value == expected.value && reason.empty());
    if (from != 1) continue;  // the typed readers once, from the start of the record

    std::string converted;
    getProperty(label, record, name.c_str(), converted, true, reason, from);
    const bool word = value == "true" || value == "yes" || value == "false" || value == "no";
    FUZZ_CHECK(converted == (word ? (value[0] == 't' || value[0] == 'y' ? "1" : "0") : value));

    int number = 7;
    if (getInt(label, record, name.c_str(), number, false, reason, from) != 0) {
      FUZZ_CHECK(std::strtoll(value.c_str(), nullptr, 10) == number);
    } else {
      FUZZ_CHECK(number == 0 && !reason.empty());
    }
    double real = 7.0;
    if (getDouble(label, record, name.c_str(), real, false, reason, from) == 0) {
      FUZZ_CHECK(real == 0.0 && !reason.empty());
    }

    std::vector<std::string> values{"left over"};
    const int count = getValues(label, record, name.c_str(), values, true, reason, from);
    FUZZ_CHECK(count == static_cast<int>(values.size()));
    if (position > 0) FUZZ_CHECK(count == 1);
    int p = position < 0 ? -position : position;
    FUZZ_CHECK(count <= std::max(1, record.count - p));

    // Every later line of the name, up to a nameless line, which ends the run.
    std::vector<std::string> expectedRepeated{value};
    bool expectedFailure = false;
    for (PlainFind next = plainFind(lines, name, p + 1);; next = plainFind(lines, name, p + 1)) {
      expectedFailure = next.nameless;
      if (next.position == 0) break;
      expectedRepeated.push_back(next.value);
      p = next.position < 0 ? -next.position : next.position;
    }
    std::vector<std::string> repeated;
    int occurrences = 0;
    FUZZ_CHECK(endsRun([&] {
                 occurrences =
                     getRepeatedValues(label, record, name.c_str(), repeated, false, reason, from);
               }) == expectedFailure);
    if (!expectedFailure) {
      FUZZ_CHECK(occurrences == static_cast<int>(repeated.size()) && repeated == expectedRepeated);
    }

    for (int index = 0; index < 2; ++index) {
      endsRun([&] { getCommaField(index, record.keywordLine, label, value); });
    }
  }
}

void checkRecordHandlers(const Record& record, const std::string& name) {
  DefinitionContext context{&record, "fuzz.in", "Fuzz"};
  endsRun([&] { context.objectName = requireString(context, name.c_str()); });
  endsRun([&] { checkIntRange(context, name.c_str(), requireInt(context, name.c_str()), 0, 9); });
  endsRun([&] { checkMinimum(context, name.c_str(), optionalInt(context, name.c_str(), 3), 1); });
  endsRun([&] {
    checkRealRange(context, name.c_str(), optionalDouble(context, name.c_str(), 0.5), 0.0, 1.0);
  });
  endsRun([&] { requireDouble(context, name.c_str()); });
  endsRun([&] { optionalString(context, name.c_str(), "fallback", true); });
}

void checkEdits(const Record& record, const std::vector<std::string>& lines,
                const std::string& name) {
  Record copy = copyRecord(record);
  RecordScope scope(copy);
  FUZZ_CHECK(linesOf(copy) == lines && copy.keywordLine == record.keywordLine);

  removeProperty(copy, name.c_str());
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    if (nameOf(line) != name) kept.push_back(line);
  }
  FUZZ_CHECK(linesOf(copy) == kept);

  addProperty(copy, name.c_str(), "added value");
  kept.push_back(name + ": added value");
  FUZZ_CHECK(linesOf(copy) == kept);
  const PlainFind expected = plainFind(kept, name, 1);
  std::string value, reason;
  int position = 0;
  const bool failed =
      endsRun([&] { position = getProperty("fuzz.in", copy, name.c_str(), value, false, reason); });
  FUZZ_CHECK(failed == expected.nameless);
  if (!failed) FUZZ_CHECK(position == static_cast<int>(kept.size()) && value == "added value");
}

// The names to look up in a record: those of its first few lines, then two that definition
// files use everywhere. (Each refusal costs an exception; a handful of names per record
// keeps the fuzzer at hundreds of inputs a second.)
std::vector<std::string> namesToTry(const std::vector<std::string>& lines) {
  std::vector<std::string> names;
  for (const std::string& line : lines) {
    if (names.size() >= 3) break;
    std::string name = nameOf(line);
    if (!name.empty()) names.push_back(name);
  }
  names.push_back("name");
  names.push_back("version");
  return names;
}

void readWholeFile(FileHandle* file, const PlainFile& expected) {
  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  for (std::size_t index = 0;; ++index) {
    FUZZ_CHECK(index < expected.records.size());
    const PlainRecord& plain = expected.records[index];
    Record record = readRecord(file, keyword, lineCounter, endOfFile);
    RecordScope scope(record);
    const std::vector<std::string> lines = linesOf(record);
    FUZZ_CHECK(lines == plain.lines);
    FUZZ_CHECK(record.keywordLine == plain.keywordLine);
    FUZZ_CHECK(keyword == plain.endingKeyword);
    FUZZ_CHECK(endOfFile == keyword.empty());
    for (const std::string& line : lines) {
      FUZZ_CHECK(line.size() <= static_cast<std::size_t>(kMaxDefinitionLine));
    }
    const std::vector<std::string> names = namesToTry(lines);
    for (const std::string& name : names) {
      checkProperty(record, lines, name);
      checkEdits(record, lines, name);
    }
    checkRecordHandlers(record, names.front());
    endsRun([&] { checkTypeRecord(record, "fuzz.in"); });
    if (keyword.empty()) {
      FUZZ_CHECK(index + 1 == expected.records.size());
      break;
    }
  }
  FUZZ_CHECK(lineCounter == expected.lineCount);
}

}  // namespace
}  // namespace karvo::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  karvo::fuzzing::openNullMessageFile();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace karvo;
  using namespace karvo::fuzzing;
  resetRunState();
  // The bytes as a file opened for reading; fmemopen takes no empty buffer.
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::FILE* stream = size == 0 ? std::fopen("/dev/null", "r") : fmemopen(bytes.data(), size, "r");
  if (!stream) std::abort();
  FileHandle* file = new FileHandle{stream, "fuzz.in", 0};
  try {
    readWholeFile(file, plainReading(bytes));
  } catch (const RunExit&) {
    // readRecord never ends the run, and every check above catches the ends it expects.
    __sanitizer_report_error_summary("reader_fuzz: the run ended outside an expected place");
    std::abort();
  }
  closeFile(file);
  return 0;
}
