// The print-format table: `*DEFINE_FORMAT` records of "Definitions.in" read and checked once
// at start-up, then looked up by name whenever a value is written into a tagged file or a
// command (a handful of formats, linear look-up).
#include "definitions/print_formats.h"

#include "definitions/reader.h"
#include "base/messages.h"

namespace karvo {

std::vector<PrintFormat> printFormats;

namespace {

bool kindOfWord(const std::string& word, PrintFormatKind& kind) {
  if (word == "automatic") {
    kind = PrintFormatKind::Automatic;
  } else if (word == "integer") {
    kind = PrintFormatKind::Integer;
  } else if (word == "float") {
    kind = PrintFormatKind::Float;
  } else if (word == "scientific") {
    kind = PrintFormatKind::Scientific;
  } else if (word == "string") {
    kind = PrintFormatKind::String;
  } else {
    return false;
  }
  return true;
}

// Ends the run with the common head of print-format errors, the finding and the rule.
[[noreturn]] void failFormat(const std::string& name, const std::string& finding,
                             const std::string& rule) {
  std::string text = formatText("Error in the definition of the print format \"%s\".",
                                name.c_str());
  text = formatText("%s %s", text.c_str(), finding.c_str());
  fatalError(formatText("%s %s", text.c_str(), rule.c_str()));
}

}  // namespace

const PrintFormat* findPrintFormat(const std::string& name) {
  const std::string& wanted = name == "_real" ? std::string("Default") : name;
  for (const PrintFormat& format : printFormats) {
    if (format.name == wanted) return &format;
  }
  return nullptr;
}

const PrintFormat& requirePrintFormat(const std::string& name, const std::string& variableName) {
  if (const PrintFormat* format = findPrintFormat(name)) {
    if (format->implied) {
      // Said once, at the first value written with it.
      const_cast<PrintFormat*>(format)->implied = false;
      writeMessage("outptr", "note",
                   "The print format \"Default\" is not defined in Definitions.in. The automatic "
                   "(free) format is used for it. To choose another, add a *DEFINE_FORMAT record "
                   "with \"name: Default\" to Definitions.in.");
    }
    return *format;
  }
  std::string text = formatText(
      "The print format \"%s\" is being used in the project but has not been defined.",
      name.c_str());
  writeMessage("outptr", "error",
               formatText("%s Please define this format with a *DEFINE_FORMAT record (\"name: "
                          "%s\") in Definitions.in and try again. ",
                          text.c_str(), name.c_str()));
  fatalError(formatText("The print format causing the error is being used with variable \"%s\".",
                        variableName.c_str()));
}

void readPrintFormat(const Record& record, const std::string& fileLabel) {
  DefinitionContext context{&record, fileLabel, "Print format"};
  PrintFormat format;
  format.name = requireUniqueName(
      context, [](const std::string& name) { return findPrintFormat(name) != nullptr; },
      "Cannot have duplicate names for print formats. The print format \"%s\" has already "
      "been used.");
  std::string typeWord = requireString(context, "type");
  if (!kindOfWord(typeWord, format.kind)) {
    fatalError(formatText("Unsupported print format type \"%s\" for the print format \"%s\".",
                          typeWord.c_str(), format.name.c_str()));
  }
  format.fixed = optionalInt(context, "fixed", 0) != 0 ? 1 : 0;
  int total = optionalInt(context, "total", 0);
  format.decimals = optionalInt(context, "dec", 0);
  format.exponentDigits = optionalInt(context, "exp", 2);
  format.exponentSigned = optionalInt(context, "expSigned", 1) != 0 ? 1 : 0;

  if (format.kind == PrintFormatKind::Scientific && format.exponentDigits <= 0) {
    failFormat(format.name,
               formatText("The length of the exponent field (%d) for this format is <= 0.",
                          format.exponentDigits),
               "Acceptable value is 1 or above.");
  }
  if (format.fixed && total == 0) {
    failFormat(format.name,
               formatText("The total length of the field (%d) for this format is defined as 0.",
                          total),
               "Since this format was defined as a fixed length format, the total length must "
               "be greater than 0.");
  }
  if (format.decimals < 0) {
    failFormat(format.name,
               formatText("The number of digits after decimal (%d) for this format is defined as "
                          "negative.",
                          format.decimals),
               "Acceptable value is 0 or above. 0 means that the this is option is not being "
               "used.");
  }
  if (total < 0) {
    failFormat(format.name,
               formatText("The total length of the field (%d) for this format is defined as "
                          "negative.",
                          total),
               "Acceptable value is 0 or above. 0 means that the this is not a fixed length "
               "field.");
  }
  format.totalLength = format.fixed ? total : 0;
  warnUnknownProperties(context);
  printFormats.push_back(std::move(format));
}

void resetPrintFormats() { printFormats.clear(); }

void completePrintFormats() {
  if (findPrintFormat("Default")) return;
  PrintFormat format;
  format.name = "Default";
  format.implied = true;
  printFormats.push_back(std::move(format));
}

}  // namespace karvo
