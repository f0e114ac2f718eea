// The user's array: "Doe_input.in" in the study folder, a first line "runs factors levels"
// and then one line of level indices per run. Read once per study, line by line; every
// fault of the file is refused with the line and the value read.
#include <cstddef>
#include <string>
#include <vector>

#include "base/file_handle.h"
#include "base/memory.h"
#include "base/text.h"
#include "definitions/method_settings.h"
#include "doe/doe_builders.h"
#include "doe/doe_columns.h"
#include "doe/factorial_internal.h"
#include "platform/platform.h"

namespace karvo::doe {

namespace {

// The blank- or tab-separated words of a line (carriage return and newline left out).
std::vector<std::string> lineWords(const std::string& line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' ||
                               line[i] == '\n')) {
      ++i;
    }
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
           line[i] != '\n') {
      ++i;
    }
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// The next line of `file` (without the terminator handling: the caller splits it); false at
// the end of the file.
bool nextLine(FileHandle* file, std::string& line) {
  char* text = readLine(file);
  if (!text) return false;
  line = text;
  ffree(text);
  return true;
}

std::string fileError(const std::string& path, int lineNumber, const std::string& what) {
  return "\n\t Error in DOE file " + path + ", line " + std::to_string(lineNumber) + ": " +
         what + "\n";
}

// Reads the array of the open file into `array`; the caller closes the file.
bool readArray(FileHandle* file, const std::string& path, const DoeRequest& request,
               DoeArray& array, std::string& error) {
  std::string line;
  int lineNumber = 0;
  // The first line that is not blank holds the three counts.
  bool haveHeader = false;
  while (nextLine(file, line)) {
    ++lineNumber;
    if (!isBlankLine(trimmed(line))) {
      haveHeader = true;
      break;
    }
  }
  if (!haveHeader) {
    error = "\n\t Error in DOE file " + path +
            ": the file is empty; its first line must hold the number of runs, factors and "
            "levels.\n";
    return false;
  }
  std::vector<std::string> words = lineWords(line);
  int counts[3] = {0, 0, 0};
  if (words.size() != 3 || !parseInteger(words[0], counts[0]) ||
      !parseInteger(words[1], counts[1]) || !parseInteger(words[2], counts[2])) {
    error = fileError(path, lineNumber,
                      "expected three integers (runs, factors, levels), found \"" +
                          trimmed(line) + "\".");
    return false;
  }
  const int runs = counts[0];
  const int factors = counts[1];
  const int levels = counts[2];
  if (runs < 1) {
    error = fileError(path, lineNumber,
                      "the number of runs (" + std::to_string(runs) + ") must be at least 1.");
    return false;
  }
  if (factors != request.factors) {
    error = fileError(path, lineNumber,
                      "the number of factors (" + std::to_string(factors) +
                          ") differs from the " + std::to_string(request.factors) +
                          " factors of agent # " + std::to_string(request.agentNumber) + ".");
    return false;
  }
  if (levels < 2) {
    error = fileError(path, lineNumber,
                      "the number of levels (" + std::to_string(levels) +
                          ") must be at least 2.");
    return false;
  }

  doeShapeFactors(array, kDoeFile, factors, runs, levels);
  // The cells grow with the lines actually read, so a wrong run count on the first line
  // cannot ask for more memory than the file holds.
  array.cells.clear();
  int runsRead = 0;
  while (nextLine(file, line)) {
    ++lineNumber;
    if (isBlankLine(trimmed(line))) continue;
    if (runsRead == runs) {
      error = fileError(path, lineNumber,
                        "more runs than the " + std::to_string(runs) +
                            " given on the first line: \"" + trimmed(line) + "\".");
      return false;
    }
    words = lineWords(line);
    if (static_cast<int>(words.size()) != factors) {
      error = fileError(path, lineNumber,
                        "run " + std::to_string(runsRead + 1) + " holds " +
                            std::to_string(words.size()) + " level indices (\"" +
                            trimmed(line) + "\"), expected " + std::to_string(factors) + ".");
      return false;
    }
    for (int j = 0; j < factors; ++j) {
      const std::string& word = words[static_cast<std::size_t>(j)];
      int level = 0;
      if (!parseInteger(word, level)) {
        error = fileError(path, lineNumber,
                          "the level of factor " + doeFactorName(j) + " (\"" + word +
                              "\") is not an integer.");
        return false;
      }
      if (level < 0 || level >= levels) {
        error = fileError(path, lineNumber,
                          "the level of factor " + doeFactorName(j) + " (" +
                              std::to_string(level) + ") is outside 0 - " +
                              std::to_string(levels - 1) + ".");
        return false;
      }
      array.cells.push_back(level);
    }
    ++runsRead;
  }
  if (runsRead < runs) {
    error = "\n\t Error in DOE file " + path + ": the file ends after " +
            std::to_string(runsRead) + " of the " + std::to_string(runs) +
            " runs given on the first line.\n";
    return false;
  }
  return true;
}

}  // namespace

bool buildFileArray(const DoeRequest& request, DoeArray& array, std::string& error) {
  if (request.factors < 2) {
    error = factorial::twoFactorsMessage("User Defined", request.agentNumber);
    return false;
  }
  const std::string path = request.folder + platform::kPathSeparator + "Doe_input.in";
  FileHandle* file = platform::isRegularFile(path) ? openFile(path, "r") : nullptr;
  if (!file) {
    error = "\n\t Could not open DOE file: " + path + "\n";
    return false;
  }
  bool read = readArray(file, path, request, array, error);
  closeFile(file);
  return read;
}

}  // namespace karvo::doe
