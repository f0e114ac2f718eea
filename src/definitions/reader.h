// The definition-data reader: the plain-text grammar shared by every definition file of a
// study ("Assembly.in", the study file, "Definitions.in", "Representation%d.in",
// "Process%d.in", "Performance%d.in", ...).
//
// Grammar, line by line (lines longer than 2 055 characters are cut there; the rest of such
// a line is dropped):
//   - a line starting with "$" is a comment and is invisible to every reader;
//   - a line starting with "*" is a keyword line; it opens a record, which holds every
//     following line (empty lines included) up to the next keyword line or the end of file;
//   - a property line is a name, a colon and a value: "name: value". The name must be
//     followed directly by the colon. One blank after the colon is skipped.
//   - a list is written "name:3" (count directly after the colon) followed by one value per
//     line; "name: 3" is the single value 3.
//
// Typical use by a file reader:
//
//   FileHandle* file = openDefinitionFile(path);           // ends the run when unopenable
//   std::string keyword;
//   int lineCounter = 0;
//   bool endOfFile = false;
//   Record preamble = readRecord(file, keyword, lineCounter, endOfFile);  // before 1st keyword
//   freeRecord(preamble);
//   while (!keyword.empty()) {
//     std::string current = keyword;                       // the keyword of this record
//     Record record = readRecord(file, keyword, lineCounter, endOfFile);
//     RecordScope scope(record);                           // freed also on a fatal error
//     if (isKeyword(current, "*AGENT")) {
//       DefinitionContext ctx{&record, "Assembly.in", "Agent"};
//       ctx.objectName = requireString(ctx, "name");
//       int type = requireInt(ctx, "type");
//       checkIntRange(ctx, "type", type, 0, 4);
//       double share = optionalDouble(ctx, "share", 1.0);
//     }
//   }
//   closeFile(file);
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace karvo {

struct FileHandle;

// Longest definition-file line kept (characters); the read buffer holds this plus the
// terminator.
inline constexpr int kMaxDefinitionLine = 2055;
inline constexpr int kDefinitionLineBuffer = 2056;
// Entries added to a record's line array each time it is full.
inline constexpr int kRecordGrowth = 10;

// The name given in definition errors while an object's own name is not known.
inline constexpr const char* kNameNotDefined = "Name not defined";
// Reason given when a property is absent from a record.
inline constexpr const char* kPropertyNotDefined = "The property is not defined.";

// One record: the lines after a keyword line, in file order, comments left out.
// Lines are allocated with fmalloc (label "readData[]"), the array with label "readData"
// ("propDataCopy" for both in a copy). Free with freeRecord.
struct Record {
  char** lines = nullptr;  // `count` strings without line endings (2055 chars at most when
                           // read from a file)
  int count = 0;           // lines in use, >= 0
  int capacity = 0;        // entries allocated, a multiple of 10, >= count
  int keywordLine = 0;     // 1-based line number of the keyword line that opened it
                           // (0 for the lines before the first keyword)
  mutable std::vector<std::string> askedNames;  // property names a reader looked up in it
};

// Frees every line of `record`, then its array, and leaves it empty.
void freeRecord(Record& record);

// Frees a record when the scope ends, also when a fatal error unwinds through the scope.
class RecordScope {
 public:
  explicit RecordScope(Record& record) : record_(record) {}
  ~RecordScope() { freeRecord(record_); }
  RecordScope(const RecordScope&) = delete;
  RecordScope& operator=(const RecordScope&) = delete;

 private:
  Record& record_;
};

// Reads from the current position of `file` (opened "r") up to the next keyword line or
// the end of the file and answers the lines read as a record; comment lines are skipped and
// trailing carriage returns and newlines removed. Every line read, comments and the ending
// keyword line included, is added to `lineCounter`; the record's keywordLine is the value
// of `lineCounter` on entry (the number of the keyword line that the caller read last).
// On return `keywordLine` holds the keyword line that ended the record (at most 2055
// characters), or is empty when the record ended at the end of the file; `endOfFile` is
// set in the second case only, so a keyword on the very last line (without a newline) is
// still handed back and its (empty) record read by the next call.
Record readRecord(FileHandle* file, std::string& keywordLine, int& lineCounter,
                  bool& endOfFile);

// True when `line` starts with `keyword` (compared over the keyword's length).
bool isKeyword(const std::string& line, const char* keyword);

// Finds property `name` in `record`, searching from the 1-based `startPosition` on.
// Answers the position p of the first matching line: +p when the colon is followed by a
// blank, -p when it is not (the list form), 0 when no line matches (then `reason` is
// "The property is not defined." and `value` is left alone). On a match `value` receives
// the value; with `convertBooleans` the words true/yes become "1" and false/no "0".
// A nameless line (empty, blank, or starting with the colon) reached by the search ends
// the run with the reading error of `fileLabel`.
int getProperty(const char* fileLabel, const Record& record, const char* name,
                std::string& value, bool convertBooleans, std::string& reason,
                int startPosition = 1);

// getProperty, then the value as an integer (optional sign and digits, blanks around
// allowed, within the range of int). Answers the position as getProperty on success;
// 0 on failure: not found (`out` left alone), or not an integer (`out` set to 0 and
// `reason` saying "The read value \"...\" could not be converted into an integer.").
int getInt(const char* fileLabel, const Record& record, const char* name, int& out,
           bool convertBooleans, std::string& reason, int startPosition = 1);

// The same for a real: a number as strtod reads it, then blanks only; non-finite values
// are refused. Reason on failure: "The read value \"...\" could not be converted into a
// double.".
int getDouble(const char* fileLabel, const Record& record, const char* name, double& out,
              bool convertBooleans, std::string& reason, int startPosition = 1);

// The values of property `name`: one value when written after a blank; in the list form
// the count n written after the colon and the n lines that follow, each taken whole.
// When fewer than n lines follow, the lines available are taken and a warning goes to
// "outptr". A list-form value that is not a count (not a non-negative integer) is the
// single value; an empty list-form value gives no values. Answers the number of values
// placed in `values` (replaced); 0 with the reason when the property is absent.
int getValues(const char* fileLabel, const Record& record, const char* name,
              std::vector<std::string>& values, bool convertBooleans, std::string& reason,
              int startPosition = 1);

// The values of every line named `name`, in file order. Answers their number.
int getRepeatedValues(const char* fileLabel, const Record& record, const char* name,
                      std::vector<std::string>& values, bool convertBooleans,
                      std::string& reason, int startPosition = 1);

// Field `index` (0-based) of a comma-separated value, as a real ("0.5, 0.1" gives 0.1 for
// index 1). A missing or non-numeric field ends the run with the reading error naming
// `fileLabel`, `lineNumber` and the value.
double getCommaField(int index, int lineNumber, const char* fileLabel,
                     const std::string& value);

// Removes (and frees) every line of `record` named `name`.
void removeProperty(Record& record, const char* name);
// Appends the line "name: value".
void addProperty(Record& record, const char* name, const std::string& value);
// A deep copy (label "propDataCopy"), with the same keyword line number.
Record copyRecord(const Record& record);

// ---------------------------------------------------------------------------------------
// Message texts shared by every definition file reader.

// "When reading data for \"<object>\" of type \"<recordLabel>\" from file \"<file>\", KARVO
// encountered the following error in reading the data for property \"<property>\":\n<reason>".
// An empty object name is given as "Name not defined".
std::string definitionError(const std::string& objectName, const std::string& recordLabel,
                            const std::string& fileLabel, const std::string& propertyName,
                            const std::string& reason);

// The three range errors: an integer outside [minimum, maximum], a real outside it, and an
// integer below a minimum.
std::string rangeError(const std::string& propertyName, const std::string& objectName,
                       const std::string& recordLabel, const std::string& fileLabel, int value,
                       int minimum, int maximum);
std::string realRangeError(const std::string& propertyName, const std::string& objectName,
                           const std::string& recordLabel, const std::string& fileLabel,
                           double value, double minimum, double maximum);
std::string minimumError(const std::string& propertyName, const std::string& objectName,
                         const std::string& recordLabel, const std::string& fileLabel,
                         int value, int minimum);

// "Error reading file: <file>\n Error is near line number <n>, which was read as:\n<line>".
std::string readingError(const std::string& fileLabel, int lineNumber, const std::string& line);

// "Unsupported keyword:\n<keyword line>\non line <n> of file <file>."
std::string unsupportedKeywordError(const std::string& keywordLine, int lineNumber,
                                    const std::string& fileLabel);

// ---------------------------------------------------------------------------------------
// Record handlers: read a property or end the run with the common definition error.

// What a record handler knows while it reads one record.
struct DefinitionContext {
  const Record* record = nullptr;  // the record being read; not owned
  std::string fileLabel;           // file name, or a label such as "Study Input file"
  std::string recordLabel;         // kind of record: "Agent", "Extension", ...
  std::string objectName = kNameNotDefined;  // the object's name once read
};

// Where a definition error was found, for checks whose own text does not say it: a line
// "The error is in property \"<property>\" of the <recordLabel> \"<object>\" (record on
// line <n> of file \"<file>\")." with a newline before it.
std::string definitionPlace(const DefinitionContext& context, const char* propertyName);
// The same for a record read earlier, whose keyword line was `recordLine`.
std::string definitionPlace(const std::string& fileLabel, const std::string& recordLabel,
                            const std::string& objectName, int recordLine,
                            const char* propertyName);

// After a reader has read its record: each property line whose name the reader neither looked
// up nor lists in `knownNames` is ignored by the solver, which a warning says (on "outptr" and
// standard error, once per name and file in a run) with the nearest of those names ("did you
// mean ...?"). `knownNames` holds every name the record's kind accepts, for readers that look
// some names up only in some cases (one method's settings, one variable type's properties).
void warnUnknownProperties(const DefinitionContext& context,
                           std::span<const char* const> knownNames = {});
// Forgets the names already warned about (a new run, or a test).
void resetUnknownPropertyWarnings();

// Required properties: absent or unconvertible ends the run through fatalError with
// definitionError(...). requireInt reads yes/no/true/false as 1/0.
std::string requireString(const DefinitionContext& context, const char* name,
                          bool convertBooleans = false);
int requireInt(const DefinitionContext& context, const char* name);

// The required `name` of a record that defines a new object of its kind: read, made the
// context's object name, and refused through fatalError with `duplicateFormat` (a format
// with one %s, the name) when `taken` answers true for it.
std::string requireUniqueName(DefinitionContext& context,
                              const std::function<bool(const std::string&)>& taken,
                              const char* duplicateFormat);
double requireDouble(const DefinitionContext& context, const char* name);

// Optional properties: absent gives `fallback` silently; present but unconvertible ends
// the run like a required one.
std::string optionalString(const DefinitionContext& context, const char* name,
                           const std::string& fallback, bool convertBooleans = false);
int optionalInt(const DefinitionContext& context, const char* name, int fallback);
double optionalDouble(const DefinitionContext& context, const char* name, double fallback);

// Range checks that end the run with the range errors above.
void checkIntRange(const DefinitionContext& context, const char* name, int value, int minimum,
                   int maximum);
void checkRealRange(const DefinitionContext& context, const char* name, double value,
                    double minimum, double maximum);
void checkMinimum(const DefinitionContext& context, const char* name, int value, int minimum);

// ---------------------------------------------------------------------------------------
// Files

// Opens a definition file for reading. When it cannot be opened (missing, unreadable, a
// folder), "\n\n\tError in attempting to read file:\n\t<name>\n" and
// "\n\tError message received: <system text>" go to the message file (standard error
// before it is open), closed by a newline so that the error block that follows starts on a
// line of its own, and the run ends through fatalError("\n\tExiting.").
FileHandle* openDefinitionFile(const std::string& name);

// Compares the first 7 characters of a `*TYPE` record's "version" with the versions this
// solver reads (2019.00, 2019.01, 2019.02); any other version is reported as a warning on
// "outptr" and the run goes on.
void checkInputVersion(const std::string& version);
// Reads "version" from a `*TYPE` record and checks it; a record without it is not reported.
void checkTypeRecord(const Record& record, const char* fileLabel);

}  // namespace karvo
