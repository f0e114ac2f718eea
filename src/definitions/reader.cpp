// The definition-data reader: records of property lines read from the study's definition
// files, typed look-ups of their properties and the error texts shared by all file readers.
// Records are small (tens of lines) and read once per run; look-ups are linear scans.
#include "definitions/reader.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "base/memory.h"
#include "base/messages.h"
#include "base/text.h"
#include "base/run_state.h"
#include "platform/platform.h"

namespace karvo {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

const char* orEmpty(const char* text) { return text ? text : ""; }

// Reads the next line of `file` into `line` without its newline, keeping at most 2055
// characters; the rest of a longer line is read and dropped so that it never turns into a
// line of its own. A last line without a newline is a line; a UTF-8 byte-order mark at the
// start of the file is dropped. Answers false at the end of
// the file (nothing read) and on a handle not opened for reading (reported by
// readLineInto).
bool readDefinitionLine(FileHandle* file, std::string& line) {
  line.clear();
  if (!file || !file->stream) return false;
  if (file->mode != 0) {
    char probe[2];
    readLineInto(probe, sizeof probe, file);  // reports the misuse
    return false;
  }
  std::FILE* stream = file->stream;
  const bool atStart = std::ftell(stream) == 0;
  bool readSomething = false;
  int c;
  while ((c = std::getc(stream)) != EOF) {
    readSomething = true;
    if (c == '\n') break;
    if (line.size() < static_cast<std::size_t>(kMaxDefinitionLine)) {
      line.push_back(static_cast<char>(c));
    }
  }
  // A byte-order mark left by editors on Windows is no part of the first line.
  if (atStart && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
  // A byte 0 ends the text as C strings see it; keep the two views the same.
  line.resize(std::strlen(line.c_str()));
  return readSomething;
}

void stripLineEnd(std::string& line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
}

void appendLine(Record& record, const char* text, const char* lineLabel,
                const char* arrayLabel) {
  if (record.count == record.capacity) {
    int capacity = record.capacity + kRecordGrowth;
    record.lines = static_cast<char**>(
        frealloc(record.lines, static_cast<std::size_t>(capacity) * sizeof(char*), arrayLabel));
    record.capacity = capacity;
  }
  record.lines[record.count++] = fstrdup(text, lineLabel);
}

// The name part of one property line.
struct LineName {
  bool nameless;        // nothing but blanks before the first colon (or in the whole line)
  const char* colon;    // the first colon; null when the line has none
  const char* begin;    // the name with blanks trimmed: [begin, end)
  const char* end;
};

LineName splitName(const char* line) {
  LineName result{};
  result.colon = std::strchr(line, ':');
  const char* stop = result.colon ? result.colon : line + std::strlen(line);
  const char* begin = line;
  while (begin < stop && isBlank(*begin)) ++begin;
  const char* end = stop;
  while (end > begin && isBlank(end[-1])) --end;
  result.begin = begin;
  result.end = end;
  result.nameless = begin == end;
  return result;
}

// True when the line is a property line named `name`: the name must be followed directly
// by the colon.
bool nameMatches(const LineName& split, const char* name) {
  if (split.nameless || !split.colon || split.end != split.colon) return false;
  std::size_t length = static_cast<std::size_t>(split.end - split.begin);
  return std::strlen(name) == length && std::memcmp(split.begin, name, length) == 0;
}

void convertBooleanWord(std::string& value) {
  if (value == "true" || value == "yes") {
    value = "1";
  } else if (value == "false" || value == "no") {
    value = "0";
  }
}

const Record& recordOf(const DefinitionContext& context) {
  static const Record empty{};
  return context.record ? *context.record : empty;
}

[[noreturn]] void failProperty(const DefinitionContext& context, const char* name,
                               const std::string& reason) {
  fatalError(definitionError(context.objectName, context.recordLabel, context.fileLabel,
                             orEmpty(name), reason));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Records

void freeRecord(Record& record) {
  ffreeStrings(record.lines, record.count);
  record.lines = nullptr;
  record.count = 0;
  record.capacity = 0;
  record.askedNames.clear();
}

Record readRecord(FileHandle* file, std::string& keywordLine, int& lineCounter,
                  bool& endOfFile) {
  Record record;
  record.keywordLine = lineCounter;
  keywordLine.clear();
  endOfFile = false;
  std::string line;
  for (;;) {
    if (!readDefinitionLine(file, line)) {
      endOfFile = true;
      return record;
    }
    ++lineCounter;
    if (!line.empty() && line[0] == '$') continue;
    stripLineEnd(line);
    if (!line.empty() && line[0] == '*') {
      keywordLine = line;
      return record;
    }
    appendLine(record, line.c_str(), "readData[]", "readData");
  }
}

bool isKeyword(const std::string& line, const char* keyword) {
  return line.compare(0, std::strlen(keyword), keyword) == 0;
}

int getProperty(const char* fileLabel, const Record& record, const char* name,
                std::string& value, bool convertBooleans, std::string& reason,
                int startPosition) {
  if (name) record.askedNames.emplace_back(name);
  for (int p = startPosition < 1 ? 1 : startPosition; p <= record.count; ++p) {
    const char* line = record.lines[p - 1];
    LineName split = splitName(line);
    if (split.nameless) {
      fatalError(readingError(orEmpty(fileLabel), record.keywordLine + p, line));
    }
    if (!nameMatches(split, orEmpty(name))) continue;
    const char* text = split.colon + 1;
    bool blankAfterColon = isBlank(*text);
    if (blankAfterColon) ++text;
    value = text;
    if (convertBooleans) convertBooleanWord(value);
    reason.clear();
    return blankAfterColon ? p : -p;
  }
  reason = kPropertyNotDefined;
  return 0;
}

int getInt(const char* fileLabel, const Record& record, const char* name, int& out,
           bool convertBooleans, std::string& reason, int startPosition) {
  std::string text;
  int position = getProperty(fileLabel, record, name, text, convertBooleans, reason,
                             startPosition);
  if (position == 0) return 0;
  if (!parseInteger(text, out)) {
    out = 0;
    reason = formatText("The read value \"%s\" could not be converted into an integer.",
                        text.c_str());
    return 0;
  }
  return position;
}

int getDouble(const char* fileLabel, const Record& record, const char* name, double& out,
              bool convertBooleans, std::string& reason, int startPosition) {
  std::string text;
  int position = getProperty(fileLabel, record, name, text, convertBooleans, reason,
                             startPosition);
  if (position == 0) return 0;
  if (!parseReal(text, out)) {
    out = 0.0;
    reason = formatText("The read value \"%s\" could not be converted into a double.",
                        text.c_str());
    return 0;
  }
  return position;
}

int getValues(const char* fileLabel, const Record& record, const char* name,
              std::vector<std::string>& values, bool convertBooleans, std::string& reason,
              int startPosition) {
  values.clear();
  std::string first;
  // The words are converted below, so that a list count is read from the text as written.
  int position = getProperty(fileLabel, record, name, first, false, reason, startPosition);
  if (position == 0) return 0;
  int count = 0;
  if (position > 0 || !(first.empty() || (parseInteger(first, count) && count >= 0))) {
    if (convertBooleans) convertBooleanWord(first);
    values.push_back(first);
    return 1;
  }
  int p = -position;
  int available = record.count - p;
  if (count > available) {
    writeMessage("outptr", "warning",
                 formatText("The number of values specified does not match the number of "
                            "entries in a definition. The error is near line number %d, which "
                            "was read as \"%s\".",
                            record.keywordLine + p, record.lines[p - 1]));
    count = available;
  }
  values.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    values.emplace_back(record.lines[p + i]);
    if (convertBooleans) convertBooleanWord(values.back());
  }
  return count;
}

int getRepeatedValues(const char* fileLabel, const Record& record, const char* name,
                      std::vector<std::string>& values, bool convertBooleans,
                      std::string& reason, int startPosition) {
  values.clear();
  std::string value;
  int from = startPosition;
  for (;;) {
    int position = getProperty(fileLabel, record, name, value, convertBooleans, reason, from);
    if (position == 0) break;
    values.push_back(value);
    from = std::abs(position) + 1;
  }
  if (!values.empty()) reason.clear();
  return static_cast<int>(values.size());
}

double getCommaField(int index, int lineNumber, const char* fileLabel,
                     const std::string& value) {
  std::size_t begin = 0;
  for (int field = 0; field < index && begin != std::string::npos; ++field) {
    begin = value.find(',', begin);
    if (begin != std::string::npos) ++begin;
  }
  double result = 0.0;
  if (index < 0 || begin == std::string::npos ||
      !parseReal(value.substr(begin, value.find(',', begin) - begin), result)) {
    fatalError(readingError(orEmpty(fileLabel), lineNumber, value));
  }
  return result;
}

void removeProperty(Record& record, const char* name) {
  int kept = 0;
  for (int i = 0; i < record.count; ++i) {
    if (nameMatches(splitName(record.lines[i]), orEmpty(name))) {
      ffree(record.lines[i]);
    } else {
      record.lines[kept++] = record.lines[i];
    }
  }
  record.count = kept;
}

void addProperty(Record& record, const char* name, const std::string& value) {
  std::string line = formatText("%s: %s", orEmpty(name), value.c_str());
  appendLine(record, line.c_str(), "readData[]", "readData");
}

Record copyRecord(const Record& record) {
  Record copy;
  copy.keywordLine = record.keywordLine;
  for (int i = 0; i < record.count; ++i) {
    appendLine(copy, record.lines[i], "propDataCopy", "propDataCopy");
  }
  return copy;
}

// ---------------------------------------------------------------------------------------
// Message texts

std::string definitionError(const std::string& objectName, const std::string& recordLabel,
                            const std::string& fileLabel, const std::string& propertyName,
                            const std::string& reason) {
  const std::string& object = objectName.empty() ? std::string(kNameNotDefined) : objectName;
  return formatText(
      "When reading data for \"%s\" of type \"%s\" from file \"%s\", KARVO encountered the "
      "following error in reading the data for property \"%s\":\n%s",
      object.c_str(), recordLabel.c_str(), fileLabel.c_str(), propertyName.c_str(),
      reason.c_str());
}

std::string rangeError(const std::string& propertyName, const std::string& objectName,
                       const std::string& recordLabel, const std::string& fileLabel, int value,
                       int minimum, int maximum) {
  return formatText(
      "When reading \"%s\" input for \"%s\" of type \"%s\" from file \"%s\", the value read "
      "(%d) is outside the expected range [%d, %d]",
      propertyName.c_str(), objectName.c_str(), recordLabel.c_str(), fileLabel.c_str(), value,
      minimum, maximum);
}

std::string realRangeError(const std::string& propertyName, const std::string& objectName,
                           const std::string& recordLabel, const std::string& fileLabel,
                           double value, double minimum, double maximum) {
  return formatText(
      "When reading \"%s\" input for \"%s\" of type \"%s\" from file \"%s\", the value read "
      "(%g) is outside the expected range [%g, %g]",
      propertyName.c_str(), objectName.c_str(), recordLabel.c_str(), fileLabel.c_str(), value,
      minimum, maximum);
}

std::string minimumError(const std::string& propertyName, const std::string& objectName,
                         const std::string& recordLabel, const std::string& fileLabel,
                         int value, int minimum) {
  return formatText(
      "When reading \"%s\" input for \"%s\" of type \"%s\" from file \"%s\", the value read "
      "(%d) is less than the required minimum (%d)",
      propertyName.c_str(), objectName.c_str(), recordLabel.c_str(), fileLabel.c_str(), value,
      minimum);
}

std::string readingError(const std::string& fileLabel, int lineNumber, const std::string& line) {
  std::string text = formatText("Error reading file: %s\n", fileLabel.c_str());
  text = formatText("%s Error is near line number %d, which was read as:", text.c_str(),
                    lineNumber);
  return formatText("%s\n%s", text.c_str(), line.c_str());
}

std::string unsupportedKeywordError(const std::string& keywordLine, int lineNumber,
                                    const std::string& fileLabel) {
  return formatText("Unsupported keyword:\n%s\non line %d of file %s.", keywordLine.c_str(),
                    lineNumber, fileLabel.c_str());
}

// ---------------------------------------------------------------------------------------
// Record handlers

std::string requireString(const DefinitionContext& context, const char* name,
                          bool convertBooleans) {
  std::string value, reason;
  if (getProperty(context.fileLabel.c_str(), recordOf(context), name, value, convertBooleans,
                  reason) == 0) {
    failProperty(context, name, reason);
  }
  return value;
}

std::string requireUniqueName(DefinitionContext& context,
                              const std::function<bool(const std::string&)>& taken,
                              const char* duplicateFormat) {
  std::string name = requireString(context, "name");
  context.objectName = name;
  if (taken(name)) fatalError(formatText(duplicateFormat, name.c_str()));
  return name;
}

int requireInt(const DefinitionContext& context, const char* name) {
  int value = 0;
  std::string reason;
  if (getInt(context.fileLabel.c_str(), recordOf(context), name, value, true, reason) == 0) {
    failProperty(context, name, reason);
  }
  return value;
}

double requireDouble(const DefinitionContext& context, const char* name) {
  double value = 0.0;
  std::string reason;
  if (getDouble(context.fileLabel.c_str(), recordOf(context), name, value, false, reason) ==
      0) {
    failProperty(context, name, reason);
  }
  return value;
}

std::string optionalString(const DefinitionContext& context, const char* name,
                           const std::string& fallback, bool convertBooleans) {
  std::string value, reason;
  if (getProperty(context.fileLabel.c_str(), recordOf(context), name, value, convertBooleans,
                  reason) == 0) {
    return fallback;
  }
  return value;
}

int optionalInt(const DefinitionContext& context, const char* name, int fallback) {
  int value = fallback;
  std::string reason;
  if (getInt(context.fileLabel.c_str(), recordOf(context), name, value, true, reason) == 0 &&
      reason != kPropertyNotDefined) {
    failProperty(context, name, reason);
  }
  return value;
}

double optionalDouble(const DefinitionContext& context, const char* name, double fallback) {
  double value = fallback;
  std::string reason;
  if (getDouble(context.fileLabel.c_str(), recordOf(context), name, value, false, reason) ==
          0 &&
      reason != kPropertyNotDefined) {
    failProperty(context, name, reason);
  }
  return value;
}

void checkIntRange(const DefinitionContext& context, const char* name, int value, int minimum,
                   int maximum) {
  if (value < minimum || value > maximum) {
    fatalError(rangeError(orEmpty(name), context.objectName, context.recordLabel,
                          context.fileLabel, value, minimum, maximum));
  }
}

void checkRealRange(const DefinitionContext& context, const char* name, double value,
                    double minimum, double maximum) {
  // Written so that a NaN value fails the check too.
  if (!(value >= minimum && value <= maximum)) {
    fatalError(realRangeError(orEmpty(name), context.objectName, context.recordLabel,
                              context.fileLabel, value, minimum, maximum));
  }
}

void checkMinimum(const DefinitionContext& context, const char* name, int value, int minimum) {
  if (value < minimum) {
    fatalError(minimumError(orEmpty(name), context.objectName, context.recordLabel,
                            context.fileLabel, value, minimum));
  }
}

// ---------------------------------------------------------------------------------------
// Files

FileHandle* openDefinitionFile(const std::string& name) {
  std::string error;
  if (platform::isDirectory(name)) {
    // fopen would open a folder for reading on Linux and then read nothing from it.
    error = platform::systemErrorText(EISDIR);
  } else {
    errno = 0;
    if (FileHandle* file = openFile(name, "r")) return file;
    error = platform::systemErrorText(errno != 0 ? errno : ENOENT);
  }
  std::string text = formatText("\n\n\tError in attempting to read file:\n\t%s\n", name.c_str());
  text += formatText("\n\tError message received: %s", error.c_str());
  text += '\n';  // so that the error block that follows starts on a line of its own
  if (outptr) {
    writeText(outptr, text);
    flushFile(outptr);
  }
  // The terminal gets it in any case: it names the file the user must mend.
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  fatalError("\n\tExiting.");
}

namespace {

std::set<std::string> warnedPropertyNames;  // "<file>\n<name>", once per run

// Edit distance of two names, ignoring case (insertions, deletions, substitutions).
std::size_t nameDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The file a place names: the study file's own name (the readers' messages call it "Study
// Input file"), every other file by its label, which is its name.
std::string placeFileName(const std::string& fileLabel) {
  if (fileLabel != "Study Input file" || run.studyInputPath.empty()) return fileLabel;
  const std::size_t slash = run.studyInputPath.find_last_of('/');
  return slash == std::string::npos ? run.studyInputPath : run.studyInputPath.substr(slash + 1);
}

}  // namespace

void resetUnknownPropertyWarnings() { warnedPropertyNames.clear(); }

void warnUnknownProperties(const DefinitionContext& context,
                           std::span<const char* const> knownNames) {
  const Record& record = *context.record;
  std::vector<std::string> asked = record.askedNames;
  asked.insert(asked.end(), knownNames.begin(), knownNames.end());
  for (int p = 0; p < record.count; ++p) {
    const LineName split = splitName(record.lines[p]);
    if (split.nameless || !split.colon) continue;
    const std::string name(split.begin, split.end);
    // The lines of a list ("name:3" and three values) are values, not properties.
    const char* after = split.colon + 1;
    if (*after >= '0' && *after <= '9' && split.end == split.colon) {
      p += std::atoi(after);
    }
    if (std::find(asked.begin(), asked.end(), name) != asked.end()) continue;
    if (!warnedPropertyNames.insert(context.fileLabel + "\n" + name).second) continue;
    std::string text = formatText(
        "The property \"%s\" of the %s \"%s\" (record on line %d of file \"%s\") is not a "
        "property this solver reads there. It is ignored.",
        name.c_str(), context.recordLabel.c_str(), context.objectName.c_str(),
        record.keywordLine, placeFileName(context.fileLabel).c_str());
    std::string nearest;
    std::size_t best = std::max<std::size_t>(2, name.size() / 3) + 1;
    for (const std::string& known : asked) {
      const std::size_t distance = nameDistance(name, known);
      if (distance < best) {
        best = distance;
        nearest = known;
      }
    }
    if (!nearest.empty()) text += formatText(" Did you mean %s?", nearest.c_str());
    writeMessage("outptr|stderr", "warning", text);
  }
}

std::string definitionPlace(const DefinitionContext& context, const char* propertyName) {
  return definitionPlace(context.fileLabel, context.recordLabel, context.objectName,
                         context.record ? context.record->keywordLine : 0, propertyName);
}

std::string definitionPlace(const std::string& fileLabel, const std::string& recordLabel,
                            const std::string& objectName, int recordLine,
                            const char* propertyName) {
  return formatText("\nThe error is in property \"%s\" of the %s \"%s\" (record on line %d of "
                    "file \"%s\").",
                    propertyName, recordLabel.c_str(), objectName.c_str(), recordLine,
                    placeFileName(fileLabel).c_str());
}

void checkInputVersion(const std::string& version) {
  std::string shortForm = version.substr(0, 7);
  if (shortForm == "2019.00" || shortForm == "2019.01" || shortForm == "2019.02") return;
  std::string text = formatText(
      "The version of the KARVO input files \"%s\" is different than the KARVO version \"%s\". "
      "If this is unintentional, please update the project.",
      shortForm.c_str(), shortVersion());
  text = formatText(
      "%s This can happen when (1) the user has set the KARVO_ROOT environment variable, or (2) "
      "The study is being run from the command line with an incorrect version.",
      text.c_str());
  text = formatText("%s Please fix the issue before continuing.", text.c_str());
  writeMessage("outptr", "warning", text);
}

void checkTypeRecord(const Record& record, const char* fileLabel) {
  std::string version, reason;
  if (getProperty(fileLabel, record, "version", version, false, reason) != 0) {
    checkInputVersion(version);
  }
}

}  // namespace karvo
