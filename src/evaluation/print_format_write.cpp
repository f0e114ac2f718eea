// The print-format writer: turns one number or text into the characters written for a tag.
// Called for every value of every tag of every tagged file and command (a few hundred calls
// per design); each call formats a handful of short texts, so clarity wins over speed here.
#include "evaluation/print_format_write.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/messages.h"
#include "base/run_state.h"

namespace karvo {

namespace {

constexpr const char* kWarningBanner = "\n\t**** WARNING ****";

std::string rightAlign(const std::string& text, int width) {
  if (static_cast<int>(text.size()) >= width) return text;
  return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
}

// The j with 10^j <= av < 10^(j+1), for a finite av > 0. The logarithm is corrected at exact
// powers of ten, where it may be off by one unit in the last place.
int decimalExponent(double av) {
  int j = static_cast<int>(std::floor(std::log10(av)));
  if (std::pow(10.0, j + 1) <= av) {
    ++j;
  } else if (std::pow(10.0, j) > av) {
    --j;
  }
  return j;
}

// Digits of the magnitude of a decimal exponent (1 to 3 for doubles).
int exponentDigitCount(int exponent) {
  int magnitude = std::abs(exponent);
  int count = 1;
  while (magnitude >= 10) {
    magnitude /= 10;
    ++count;
  }
  return count;
}

std::string fixedText(double value, int decimals) {
  return formatText("%.*f", std::max(decimals, 0), value);
}

std::string exponentText(double value, int decimals) {
  return formatText("%.*e", std::max(decimals, 0), value);
}

// The refusal of a value whose integer part does not fit: the warning and an empty text.
FormattedValue refused(std::vector<FormatWarning> warnings) {
  FormattedValue out;
  out.ok = false;
  out.warnings = std::move(warnings);
  return out;
}

FormattedValue accepted(const std::string& text, int width) {
  FormattedValue out;
  out.text = rightAlign(text, width);
  return out;
}

// Automatic kind: the value cannot be written with the digits the field allows. The "%f"
// text is cut to W as long as that keeps every integer digit (only decimals are lost);
// otherwise the value is refused.
FormattedValue automaticNotFitting(double value, int width, const std::string& name) {
  std::string head = kWarningBanner;
  head += formatText("\n\t The format specification for the variable \"%s\" is too small",
                     name.c_str());
  const std::string advice =
      "\n\t Please make sure that the variable bounds and/or the format are correctly defined.";
  std::string full = fixedText(value, 6);
  std::size_t integerEnd = full.find('.');
  if (integerEnd == std::string::npos) integerEnd = full.size();
  if (static_cast<int>(integerEnd) <= width) {
    FormattedValue out;
    out.text = full.substr(0, static_cast<std::size_t>(width));
    out.warnings.push_back(
        {"none", head +
                     "\n\t The current value cannot be written correctly to the file, it will "
                     "be rounded to fit the alloted space." +
                     advice});
    return out;
  }
  return refused({{"none", head +
                               formatText("\n\t The current value (%f) needs more than the %d "
                                          "characters of its field and is not written.",
                                          value, width) +
                               advice}});
}

// Fixed-point text with `decimals` decimals in at most `field` characters: a value rounded up
// to the next power of ten ("99.999" -> "100.00") gives up one decimal.
bool fitFixed(double value, int decimals, int field, std::string& text) {
  for (int d = decimals; d >= 0; --d) {
    text = fixedText(value, d);
    if (static_cast<int>(text.size()) <= field) return true;
  }
  return false;
}

// Exponent text with `decimals` decimals in at most `field` characters (a three-digit
// exponent may take the place of one decimal).
bool fitExponent(double value, int decimals, int field, std::string& text) {
  for (int d = decimals; d >= 0; --d) {
    text = exponentText(value, d);
    if (static_cast<int>(text.size()) <= field) return true;
  }
  return false;
}

FormattedValue writeAutomatic(double value, int width, int field, const std::string& name) {
  if (field == 0) return accepted(formatText("%#g", value), 0);
  const int n = field - (value < 0 ? 1 : 0);  // characters for the digits and the point
  const int p = n - 1;                        // significant digits that fit
  const double magnitude = std::fabs(value);
  std::string text;
  if (value == 0.0) {
    // "%f" needs 8 characters; a narrower field gets as many zero decimals as it holds.
    const int decimals = std::clamp(field - 2, 0, 6);
    return accepted(fixedText(0.0, decimals), width);
  }
  if (magnitude >= 1.0) {
    if (magnitude <= std::pow(10.0, p) - 2.220446049250313e-16) {
      const int integerDigits = decimalExponent(magnitude) + 1;
      const int decimals = p > integerDigits ? p - integerDigits : 0;
      if (fitFixed(value, decimals, field, text)) return accepted(text, width);
    } else {
      const int decimals = n - 6 < 1 ? n - 6 : n - 7;
      if (decimals >= 0 && fitExponent(value, decimals, field, text)) {
        return accepted(text, width);
      }
    }
    return automaticNotFitting(value, width, name);
  }
  const int m = -decimalExponent(magnitude);  // position of the first significant decimal
  if (m <= p) {
    if (m < 5) {
      if (fitFixed(value, p - 1, field, text)) return accepted(text, width);
    } else if (p >= 5) {
      if (fitExponent(value, std::max(p - 6, 0), field, text)) return accepted(text, width);
    }
  } else if (p >= 6) {
    if (fitExponent(value, p - 6, field, text)) return accepted(text, width);
  }
  return automaticNotFitting(value, width, name);
}

FormattedValue writeInteger(double value, int width, int field, const std::string& name) {
  const std::string text = roundedIntegerText(value);
  if (field == 0 || static_cast<int>(text.size()) <= field) return accepted(text, width);
  // Cutting an integer always drops digits of its magnitude: the value is refused.
  return refused({{"warning",
                   formatText("\n\t The value (%s) of the variable \"%s\" cannot be printed with "
                              "the specified format.",
                              text.c_str(), name.c_str()) +
                       formatText("\n\t The value needs more than the maximum field length "
                                  "specified (%d) and is not written.",
                                  field)}});
}

FormattedValue writeFloat(double value, int decimals, int width, int field,
                          const std::string& name) {
  const std::string text = fixedText(value, decimals);
  if (field == 0) return accepted(fixedText(value, 6), 0);
  if (static_cast<int>(text.size()) <= field) return accepted(text, width);
  const std::string first = formatText(
      "\n\t The value (%f) of the variable \"%s\" cannot be printed with the specified format.",
      value, name.c_str());
  std::size_t integerEnd = text.find('.');
  if (integerEnd == std::string::npos) integerEnd = text.size();
  if (static_cast<int>(integerEnd) > field) {
    return refused({{"warning",
                     first + formatText("\n\t The value needs more than the maximum field "
                                        "length specified (%d) and is not written.",
                                        field)}});
  }
  FormattedValue out = accepted(text.substr(0, static_cast<std::size_t>(field)), width);
  out.warnings.push_back(
      {"warning", first + formatText("\n\t The value is being truncated to %s so that it fits "
                                     "the maximum field length specified (%d).",
                                     text.substr(0, static_cast<std::size_t>(field)).c_str(),
                                     field)});
  return out;
}

// Mantissa with `decimals` decimals, "e", the exponent's sign ("-" always when negative, "+"
// only when `signed`), and at least `digits` exponent digits.
std::string scientificText(double value, int decimals, int digits, bool withSign) {
  const std::string raw = exponentText(value, decimals);
  const std::size_t e = raw.find('e');
  if (e == std::string::npos) return raw;
  const int exponent = std::atoi(raw.c_str() + e + 1);
  std::string text = raw.substr(0, e + 1);
  if (exponent < 0) {
    text += '-';
  } else if (withSign) {
    text += '+';
  }
  text += formatText("%0*d", digits, std::abs(exponent));
  return text;
}

// The decimal exponent of `value` as written with `decimals` decimals (0 for zero).
int writtenExponent(double value, int decimals) {
  const std::string raw = exponentText(value, decimals);
  const std::size_t e = raw.find('e');
  return e == std::string::npos ? 0 : std::atoi(raw.c_str() + e + 1);
}

FormattedValue writeScientific(const PrintFormat& format, double value,
                               const std::string& name) {
  const int width = format.totalLength;
  if (width == 0) return accepted(exponentText(value, 6), 0);
  int decimals = format.decimals;
  int digits = format.exponentDigits;
  int withSign = format.exponentSigned ? 1 : 0;
  const int negative = value < 0 ? 1 : 0;
  std::vector<FormatWarning> warnings;
  const std::string head =
      std::string(kWarningBanner) +
      formatText("\n\t Incorrect definition in specification of the format for variable %s",
                 name.c_str());

  int exponent = writtenExponent(value, decimals);
  if (!withSign && exponent < 0) {
    withSign = 1;
    warnings.push_back(
        {"none", head +
                     "\n\t The number requires a negative exponent but the \"Don't use sign in "
                     "exponent\" option has been selected." +
                     "\n\t Overwriting this definition to write the sign with the exponent."});
  }
  const int needed = std::min(exponentDigitCount(exponent), 3);
  if (digits < 1) {
    digits = needed;
    warnings.push_back(
        {"none", head +
                     "\n\t The number of digits in the exponent have been set to be less than 1, "
                     "which is not allowed." +
                     formatText("\n\t Overwriting this definition to set to %d.", digits)});
  } else if (digits > 3) {
    digits = 3;
    warnings.push_back(
        {"none", head +
                     "\n\t The number of digits in the exponent have been set to be greater than "
                     "3, which is not allowed." +
                     "\n\t Overwriting this definition to set to 3."});
  }
  // An exponent with more digits than asked for is written in full; the field is fitted to it.
  const int written = std::max(digits, exponentDigitCount(exponent));
  const int limit = width - (written + 3 + withSign + negative);
  if (decimals > limit) {
    const int lowered = std::max(limit, 0);
    if (lowered != decimals) {
      warnings.push_back(
          {"none", head +
                       formatText("\n\t The number of digits after decimal have been set to %d. "
                                  "This is not possible without exceeding the total length (%d).",
                                  decimals, width) +
                       formatText("\n\t The number of digits after decimal is being set to %d.",
                                  lowered)});
      decimals = lowered;
    }
  }
  // Fewer decimals may round up into a longer exponent ("9.99e+99" -> "1e+100").
  const int finalDigits = std::max(digits, exponentDigitCount(writtenExponent(value, decimals)));
  const std::string text = scientificText(value, decimals, finalDigits, withSign != 0);
  if (static_cast<int>(text.size()) > width) {
    warnings.push_back(
        {"none", head + formatText("\n\t The value (%e) needs more than the total length (%d) "
                                   "and is not written.",
                                   value, width)});
    return refused(std::move(warnings));
  }
  FormattedValue out = accepted(text, width);
  out.warnings = std::move(warnings);
  return out;
}

}  // namespace

int printFieldLength(const PrintFormat& format) {
  const int width = format.totalLength;
  if (width <= 40) return std::max(width, 0);
  return format.decimals == 0 || format.decimals > 29 ? 24 : format.decimals + 8;
}

std::string roundedIntegerText(double value) {
  const double rounded = std::round(value);
  if (rounded == 0.0) return "0";
  if (std::fabs(rounded) < 9.2e18) return formatText("%lld", static_cast<long long>(rounded));
  return formatText("%.0f", rounded);
}

FormattedValue formatNumber(const PrintFormat& format, double value,
                            const std::string& variableName) {
  if (!std::isfinite(value)) {
    return refused({{"warning", formatText("\n\t The value of the variable \"%s\" is not a "
                                           "finite number (%f) and is not written.",
                                           variableName.c_str(), value)}});
  }
  const int width = format.totalLength;
  const int field = printFieldLength(format);
  switch (format.kind) {
    case PrintFormatKind::Automatic:
    case PrintFormatKind::String:
      return writeAutomatic(value, width, field, variableName);
    case PrintFormatKind::Integer:
      return writeInteger(value, width, field, variableName);
    case PrintFormatKind::Float:
      return writeFloat(value, format.decimals, width, field, variableName);
    case PrintFormatKind::Scientific:
      return writeScientific(format, value, variableName);
  }
  writeMessage("outptr", "none",
               "\n\t**** ERROR ****\n\t Incorrect definition in the format specification of the "
               "data.\n\t Internal Error -500. Please contact technical support at ");
  fatalError("Exiting.");
}

FormattedValue formatString(const PrintFormat& format, const std::string& text) {
  const int width = format.totalLength;
  FormattedValue out;
  if (width >= 1 && static_cast<int>(text.size()) > width && format.name == "_resFileFormat") {
    out.text = text.substr(0, static_cast<std::size_t>(width));
  } else {
    out.text = rightAlign(text, width);
  }
  return out;
}

std::string formatDataValue(const PrintFormat& format, const DataValue& value,
                            const std::string& name) {
  const std::size_t count = cellCount(value);
  std::string text;
  bool valid = count > 0;
  for (std::size_t i = 0; valid && i < count; ++i) {
    const DataCell& cell = value.cells[i];
    if (i > 0) text += ", ";
    if (!cell.present) {
      valid = false;
    } else if (cell.type == kCellInteger || cell.type == kCellReal) {
      const double number =
          cell.type == kCellInteger ? static_cast<double>(cell.integer) : cell.real;
      const FormattedValue written = formatNumber(format, number, name);
      valid = written.ok;
      text += written.text;
    } else if (cell.type == kCellString) {
      const int width = format.totalLength;
      if (width > 0 && cell.text.size() > static_cast<std::size_t>(width)) {
        const std::size_t keep = width > 3 ? static_cast<std::size_t>(width - 3) : 0;
        text += (cell.text.substr(0, keep) + "...").substr(0, static_cast<std::size_t>(width));
      } else {
        text += formatString(format, cell.text).text;
      }
    } else {
      valid = false;
    }
  }
  if (valid) return text;
  if (run.settings.verbose) {
    writeMessage("outptr", "warning",
                 formatText("Error in writing the value for \"%s\". The data sent for writing "
                            "was not valid.",
                            name.c_str()));
  }
  return " 0.000000000";
}

}  // namespace karvo
