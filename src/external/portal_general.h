// The built-in "General" portal: it serves every analysis whose type is not a named portal.
// It fills `{{name}}` tags in template files and reads responses from plain-text output with
// small line-oriented extraction definitions. The analysis command itself is run by the
// solver's job controller, not by this portal. The user's reference for the tag and
// definition syntax is docs/general-portal.md.
//
// Properties read from the map of every call (all optional unless stated; the map also holds
// the keys every portal gets, portal.h):
//   "analysisName"           the analysis name (used in messages only)
//   "studyDir"               folder against which relative template paths are resolved
//   "destDir"                the analysis run folder; relative target and output paths are
//                            resolved against it (the current folder when absent)
//   "InputSource<n>"         template file of entry n (n = 1, 2, ...; taken in numeric order)
//   "InputTarget<n>"         the file written from it; empty or absent: the template's own
//                            file name in "destDir"
//   "ResponseName<n>"        name of response n
//   "ResponseDefinition<n>"  extraction definition text of response n
//   "outputFilenames"        output files, one per line; the first is read by definitions
//                            that name no "file"
//   "jobFinished"            "true" or "false": the job controller's view of the job, read by
//                            finishCheck (required there)
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "external/portal.h"

namespace re2 {
class RE2;
}

namespace karvo {

namespace general_portal {

// The UTF-8 byte-order mark. At the start of a template or an extraction definition it is
// skipped, as the readers of the study's ".in" files skip it.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// ---- Templates ---------------------------------------------------------------------------

// Error lines listed per template file; further failing tags are only counted.
inline constexpr int kMaxTagErrorsPerFile = 10;

// A tag whose value could not be had.
struct TagProblem {
  std::string tag;      // the tag as written, braces included
  std::string name;     // the name in it
  std::string message;  // the caller's reason (may be empty)
};

// Reads the text between "{{" and "}}". A valid tag is a name (a letter or "_", then
// letters, digits, "_" or "."), optionally followed by "|" and a print format (any text
// without braces); blanks around either are trimmed. Answers false for anything else.
bool parseTag(std::string_view inner, std::string& name, std::string& format);

// Fills the tags of one template line (given without its line end) and appends the result
// to `out`. The values of a multi-valued tag are joined with `lineBreak`. Text that is not
// a valid tag is copied unchanged; a backslash right before a valid tag ("\{{x}}") writes the
// tag itself instead of its value. Tags without a value are left out of `out` and listed in
// `problems`. Answers false when there were any.
bool fillLine(std::string_view line, std::string_view lineBreak,
              const TagValueCallback& tagValue, std::string& out,
              std::vector<TagProblem>& problems);

// Writes `targetPath` from `templatePath`, line by line. The target appears only once it is
// complete (written under a temporary name, then renamed) and keeps the template's
// permission bits. On any failing tag nothing is written and each failing tag (up to
// kMaxTagErrorsPerFile) is reported with the template file and line number.
PortalResult fillTemplate(const std::string& templatePath, const std::string& targetPath,
                          const TagValueCallback& tagValue);

// ---- Numbers -----------------------------------------------------------------------------

// Reads a whole word as a finite number: an optional sign, digits with an optional decimal
// point (or a point and digits: "-.5"), and an optional exponent written with E, e, D or d
// ("1.5D+03"), or with only its sign after a mantissa that has a point ("0.15-100", as
// Fortran writes three-digit exponents). Anything else, including "NaN", "Inf" and values
// beyond the range of a double, answers false.
bool parseNumber(std::string_view word, double& value);

// ---- Extraction definitions ----------------------------------------------------------------

// Longest line (characters) searched with a regular expression; a longer line fails the
// definition with a message rather than being skipped.
inline constexpr std::size_t kRegexLineLimit = 2048;

enum class ExtractionKind { Anchor, Regex, Result, Table };
enum class OccurrenceRule { First, Last, Nth, All };
enum class TableEnd { Blank, NonNumeric, StopText };

struct ExtractionDefinition {
  ExtractionKind kind = ExtractionKind::Anchor;
  std::string file;          // output file as written; "" = the analysis's first output file
  std::string text;          // anchor text, regular expression, result name or table anchor
  OccurrenceRule occurrence = OccurrenceRule::First;
  long long nth = 1;         // OccurrenceRule::Nth: 1 = the first; 1 to 2147483647
  long long lineOffset = 0;  // anchor: lines after the anchor line (0 = that line); 0 to 1e9
  int word = 0;              // anchor: word number, 1 = first, -1 = last; never 0
  int group = 1;             // regex: capture group, 0 (whole match) to the pattern's groups
  long long skipLines = 0;   // table: lines skipped after the anchor line; 0 to 1e9
  int column = 0;            // table: column number, 1 = first, -1 = last; never 0
  TableEnd end = TableEnd::Blank;  // table: what ends a table (the end of file always does)
  std::string stopText;      // table: the text of the line that ends a table (TableEnd::StopText)
  std::string separators;    // characters that separate words besides blanks and tabs
  // regex: `text` compiled. The matcher runs in time linear in the line length whatever the
  // pattern, and knows no backreferences or lookaround (shared: the compiled form is
  // immutable).
  std::shared_ptr<const re2::RE2> pattern;
};

// Reads one definition (lines of "property: value"; "$" or "#" starts a comment line).
// Answers false with `error` ("line 3: word \"0\": ...") when the text is not a valid
// definition; `definition` then holds nothing usable.
bool parseDefinition(const std::string& text, ExtractionDefinition& definition,
                     std::string& error);

// The definition restated on one line for messages:
// anchor "TOTAL ENERGY", occurrence last, line offset 0, word 4
std::string describeDefinition(const ExtractionDefinition& definition);

// What one definition found in its file.
struct ExtractionOutcome {
  bool ok = false;
  std::vector<double> values;  // in file order; empty unless ok
  std::string message;         // unless ok: file, definition and reason
};

// Reads `path` once, line by line, for all `definitions` together, and stops early once no
// further line can change any outcome. Answers one outcome per definition, in order.
std::vector<ExtractionOutcome> extractFromFile(
    const std::string& path, const std::vector<const ExtractionDefinition*>& definitions);

}  // namespace general_portal

// The "General" portal. Call by call:
//   initialize   checks the template entries and every extraction definition; answers the
//                output files the definitions read as extra output files
//   prepare      fills every template (fillTemplate); fails when any tag has no value
//   resolvePath  relative names against "destDir", absolute names unchanged
//   run          not handled: answers ok with handled = false (the job controller runs it)
//   progress     ok, fraction unknown (-1)
//   finishCheck  from "jobFinished": "true" finished, "false" not finished, else error
//   successCheck every output file the definitions read exists; each missing one is an
//                "ERROR: The output file \"<path>\" was not found." line
//   extract      every response reported once, in "ResponseName<n>" order; each output
//                file is read in one pass for all the responses that read it; a missing
//                one gives the same line as in successCheck, once
// Templates and extraction definitions may start with a UTF-8 byte-order mark; it is
// skipped (a template's mark is not written to its file).
class GeneralPortal final : public Portal {
 public:
  GeneralPortal() = default;
  ~GeneralPortal() override = default;

  const char* name() const override { return "General"; }
  PortalInitResult initialize(const PropertiesMap& properties) override;
  PortalResult prepare(const PropertiesMap& properties,
                       const TagValueCallback& tagValue) override;
  PortalPathResult resolvePath(const PropertiesMap& properties,
                               const std::string& file) override;
  PortalRunResult run(const PropertiesMap& properties) override;
  PortalProgressResult progress(const PropertiesMap& properties) override;
  PortalFinishResult finishCheck(const PropertiesMap& properties) override;
  PortalResult successCheck(const PropertiesMap& properties) override;
  PortalResult extract(const PropertiesMap& properties,
                       const ExtractionCallback& report) override;
};

}  // namespace karvo
