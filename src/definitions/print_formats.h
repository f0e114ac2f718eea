// Print formats (`*DEFINE_FORMAT` records of "Definitions.in"): how a value is written into
// a tagged input file or a command line, free or in a fixed-length field. This file holds
// the table, its reader and the look-up; the formatting of values uses the table later.
//
// The format named "Default" is used for internal variables and command-line values; a
// look-up of the name "_real" finds "Default".
#pragma once

#include <string>
#include <vector>

namespace karvo {

struct Record;

enum class PrintFormatKind {
  Automatic = 0,   // "automatic"
  Integer = 1,     // "integer"
  Float = 2,       // "float"
  Scientific = 3,  // "scientific"
  String = 4,      // "string"
};

struct PrintFormat {
  std::string name;                              // unique among print formats
  PrintFormatKind kind = PrintFormatKind::Automatic;  // "type"
  int fixed = 0;            // "fixed": 1 for a fixed-length field, else 0
  int totalLength = 0;      // "total": field length W in characters, >= 1 when fixed;
                            // 0 for a free format (always 0 when not fixed)
  int decimals = 0;         // "dec": digits after the decimal point, >= 0 (0: not used)
  int exponentDigits = 2;   // "exp": digits of the exponent, >= 1 (scientific only)
  int exponentSigned = 1;   // "expSigned": 0 = no sign written in the exponent
  bool implied = false;     // "Default" added by completePrintFormats, not yet announced
};

extern std::vector<PrintFormat> printFormats;  // in file order

// The format called `name` ("_real" is read as "Default"); null when absent.
const PrintFormat* findPrintFormat(const std::string& name);

// The format called `name` for use with `variableName`. An undefined format writes the error
// "The print format \"%s\" is being used in the project but has not been defined. Please
// define this format in the \"Print Formats\" area under the \"Variables\" tab and try
// again. " to the message file, then ends the run with "The print format causing the error is
// being used with variable \"%s\".".
const PrintFormat& requirePrintFormat(const std::string& name, const std::string& variableName);

// Reads one `*DEFINE_FORMAT` record (label "Print format"). Definition errors end the run.
void readPrintFormat(const Record& record, const std::string& fileLabel);

// Back to an empty table.
void resetPrintFormats();
// After Definitions.in: a study without a "Default" format gets the automatic one, announced
// by a note at its first use (internal variables and untagged values always use it).
void completePrintFormats();

}  // namespace karvo
