// Writing one value with a print format (definitions/print_formats.h): the text that goes into
// a tagged input file, a command line or an exported variable, free or in a fixed-length
// field of W characters.
//
// Kinds and their rules (W: the format's total length; d: digits after the point; e, s: the
// exponent digits and the sign flag of scientific formats):
//   automatic  free: "%#g". Fixed: the most digits that fit, in fixed-point notation while
//              the integer part fits, else in exponent notation.
//   integer    free: "%d" of the value rounded to the nearest integer (halves away from
//              zero). Fixed: the same, right-aligned in W.
//   float      free: "%f". Fixed: "%.*f" with d decimals, right-aligned in W; a text too
//              long for the field loses decimals from the right.
//   scientific free: "%e". Fixed: d decimals, exactly e exponent digits (more only when the
//              exponent needs them), the exponent's sign written only when s is set or the
//              exponent is negative; d is lowered when the field is too short.
//   string     numbers as automatic.
// Text values keep their characters: right-aligned in W when shorter, written whole when
// longer (only the format "_resFileFormat" cuts them to W; the typed-value writer
// formatDataValue cuts them to W ending in "...").
//
// The field length used for fitting is W, except that a field wider than 40 characters is
// fitted as 24 characters (d + 8 when 0 < d <= 29) and then right-aligned in W.
//
// A number never loses integer digits and never spills over its field: when its integer part
// cannot be written in the field, the value is refused (ok false) and the caller treats it as
// a value it could not get, so that no analysis runs with a wrong number in its input.
// Non-finite numbers are refused in every format.
//
// The writer is pure: it answers the text and the warnings for the analysis log; the caller
// writes them (see writeFormatWarnings in evaluation/tagging.h).
#pragma once

#include <string>
#include <vector>

#include "base/data_value.h"
#include "definitions/print_formats.h"

namespace karvo {

// One warning of the writer, in the order it arose.
struct FormatWarning {
  const char* severity;  // writeMessage severity: "none" for texts that carry their own
                         // "**** WARNING ****" line, else "warning"
  std::string text;      // the message text
};

struct FormattedValue {
  std::string text;                     // the value as written; "" when refused
  bool ok = true;                       // false: the value cannot be written with the format
  std::vector<FormatWarning> warnings;  // for the analysis log
};

// Field length used for fitting a numeric value: 0 for a free format, else W (see above).
int printFieldLength(const PrintFormat& format);

// Writes `value` with `format`. `variableName` names the variable in the warnings. A format
// kind outside the five ends the run (internal error -500).
FormattedValue formatNumber(const PrintFormat& format, double value,
                            const std::string& variableName);

// Writes a text value with `format` (any kind: only W and the name count).
FormattedValue formatString(const PrintFormat& format, const std::string& text);

// The text of a typed value for reports and tagging: integer and real cells through
// formatNumber, string cells through formatString, the cells joined by ", "; a string cell
// longer than a fixed field of W characters is cut to W characters ending in "...". A missing
// or empty value, a cell that holds no value, or a number the format refuses makes the whole
// value invalid: the text is then " 0.000000000" and, with verbose output, the warning "Error
// in writing the value for \"<name>\". The data sent for writing was not valid." goes to the
// message file. The writer's fitting warnings are not repeated here.
std::string formatDataValue(const PrintFormat& format, const DataValue& value,
                            const std::string& name);

// The integer nearest to `value`, halves away from zero, as text without padding ("-3" for
// -2.5, "0" for -0.2). `value` must be finite; any magnitude is written in full.
std::string roundedIntegerText(double value);

}  // namespace karvo
