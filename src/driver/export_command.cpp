// karvo export: a results file of a study as a CSV or JSON table (results/export_table.h).
//
// The file's kind follows from its name and content: "<prefix><agent>.hst" is an agent's
// history, read with the names of the study it belongs to; a ".pto" file a Pareto front file;
// a text opening with "DOE INFORMATION" a design-of-experiments results file. The table goes
// to standard output, or to the --out file, which is written whole or not at all.
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/study.h"
#include "driver/study_tools.h"
#include "platform/platform.h"
#include "results/export_table.h"
#include "results/history_table.h"

namespace karvo {

namespace {

const char* const kExportUsageText =
    "\nUsage: karvo export <file> [options]\n\n"
    "  <file>                   a results file of a study:\n"
    "                             <prefix><agent>.hst          history of an agent\n"
    "                             <name>.pto                   Pareto front file\n"
    "                             DOE_<agent>_<response>.out   design-of-experiments results\n"
    "  (optional)\n"
    "    --format csv|json      table format (default csv)\n"
    "    --study <file>         study file of a history (default: the one .in file of the\n"
    "                           history's folder with the history's file prefix)\n"
    "    --table runs|analysis  table of a design-of-experiments file (default runs)\n"
    "    --out <file>           write the table to this file, not to standard output\n\n"
    "  Exit status: 0 written; 255 bad command line, or a file that cannot be read or\n"
    "  written; 133 a study with a definition error, or a history that does not fit it.\n";

constexpr int kExportUsage = kExitCommandLine;  // 255
constexpr int kExportStudyError = kExitFatal;   // 133

struct ExportOptions {
  std::string file;
  std::string format = "csv";
  std::string study;
  std::string table = "runs";
  std::string out;
};

int usageError(const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "\n%s\n", message.c_str());
  std::fputs(kExportUsageText, stderr);
  return kExportUsage;
}

int failure(int code, const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return code;
}

// Parses argv[2...]; an option takes its value as the next argument or after "=".
bool parseOptions(int argc, char** argv, ExportOptions& options, std::string& error) {
  struct Named {
    const char* name;
    std::string* value;
  };
  const Named named[] = {{"--format", &options.format},
                         {"--study", &options.study},
                         {"--table", &options.table},
                         {"--out", &options.out}};
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--", 0) != 0) {
      if (!options.file.empty()) {
        error = "More than one file given: \"" + options.file + "\" and \"" + argument + "\".";
        return false;
      }
      options.file = argument;
      continue;
    }
    bool known = false;
    for (const Named& option : named) {
      const std::string name = option.name;
      if (argument == name) {
        if (i + 1 >= argc) {
          error = "The option " + name + " needs a value.";
          return false;
        }
        *option.value = argv[++i];
        known = true;
      } else if (argument.rfind(name + "=", 0) == 0) {
        *option.value = argument.substr(name.size() + 1);
        known = true;
      }
      if (known) break;
    }
    if (!known) {
      error = "Unknown option \"" + argument + "\".";
      return false;
    }
  }
  if (options.file.empty()) {
    error = "No file to export given.";
    return false;
  }
  if (options.format != "csv" && options.format != "json") {
    error = "Unknown format \"" + options.format + "\": use csv or json.";
    return false;
  }
  if (options.table != "runs" && options.table != "analysis") {
    error = "Unknown table \"" + options.table + "\": use runs or analysis.";
    return false;
  }
  return true;
}

std::string absolutePath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool readWhole(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  char buffer[1 << 16];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

// The splits of a history file's stem into a prefix and an agent number: the agent number is
// some of the trailing digits (a prefix may itself end in digits).
std::vector<std::pair<std::string, int>> prefixSplits(const std::string& stem) {
  std::vector<std::pair<std::string, int>> splits;
  std::size_t first = stem.size();
  while (first > 0 && std::isdigit(static_cast<unsigned char>(stem[first - 1]))) --first;
  for (std::size_t at = stem.size(); at-- > first;) {
    const std::string digits = stem.substr(at);
    if (digits.size() > 9 || (digits.size() > 1 && digits[0] == '0')) continue;
    splits.emplace_back(stem.substr(0, at), std::stoi(digits));
  }
  return splits;
}

// The agent number of history file `stem` for a study of file prefix `prefix`; -1 when the
// name does not follow "<prefix><agent>".
int agentOfStem(const std::string& stem, const std::string& prefix) {
  for (const auto& [candidate, agent] : prefixSplits(stem)) {
    if (candidate == prefix) return agent;
  }
  return -1;
}

// The study of a history named by its folder's study files (see the top of this file).
bool findStudyOfHistory(const std::string& historyPath, std::string& studyPath,
                        std::string& error) {
  const std::filesystem::path path(historyPath);
  const std::string folder = path.parent_path().string();
  const std::string stem = path.stem().string();
  std::vector<std::string> found;
  std::vector<std::string> prefixes;
  for (const auto& split : prefixSplits(stem)) {
    prefixes.push_back("\"" + split.first + "\"");
    for (std::string& file : studyFilesWithPrefix(folder, split.first)) {
      found.push_back(std::move(file));
    }
  }
  if (found.size() == 1) {
    studyPath = found.front();
    return true;
  }
  std::string prefixList;
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    prefixList += (i == 0 ? "" : " or ") + prefixes[i];
  }
  if (prefixes.empty()) {
    error = "The history file " + historyPath +
            " is not named <prefix><agent>.hst: name its study with --study <study file>.";
  } else if (found.empty()) {
    error = "No study file (.in) in " + folder + " has the file prefix " + prefixList +
            " of the history file " + path.filename().string() +
            ": name its study with --study <study file>.";
  } else {
    error = "Several study files in " + folder + " have the file prefix of the history file " +
            path.filename().string() + ":";
    for (const std::string& file : found) error += "\n  " + file;
    error += "\nName one with --study <study file>.";
  }
  return false;
}

// The table of a history file; 0, or the exit status with its message written.
int historyTable(const ExportOptions& options, const std::string& historyPath,
                 ExportTable& table) {
  std::string studyPath = options.study.empty() ? "" : absolutePath(options.study);
  if (studyPath.empty()) {
    std::string error;
    if (!findStudyOfHistory(historyPath, studyPath, error)) return failure(kExportUsage, error);
  }
  readStudyForTool(studyPath);  // a definition error unwinds with the fatal status

  const std::string stem = std::filesystem::path(historyPath).stem().string();
  int agent = agentOfStem(stem, run.runPrefix);
  if (agent < 0 && !study.extendedRunPrefix.empty()) {
    agent = agentOfStem(stem, study.extendedRunPrefix);
  }
  if (agent < 0 && !options.study.empty()) {
    // A history copied under another name, with its study named: the agent is the number
    // that ends the name.
    const auto splits = prefixSplits(stem);
    if (!splits.empty()) agent = splits.back().second;
  }
  if (agent < 0) {
    return failure(kExportUsage,
                   formatText("The name of the history file %s does not end in an agent number "
                              "(\"%s<agent>.hst\").",
                              historyPath.c_str(), run.runPrefix.c_str()));
  }
  HistoryTable history;
  std::string error;
  if (!readHistoryTable(agent, historyPath, history, error)) {
    return failure(kExportStudyError, error);
  }
  if (!history.warning.empty()) std::fprintf(stderr, "Warning: %s\n", history.warning.c_str());
  table = exportTableOfHistory(history);
  return 0;
}

}  // namespace

int runExportCommand(int argc, char** argv) {
  ExportOptions options;
  std::string error;
  if (!parseOptions(argc, argv, options, error)) return usageError(error);

  // Paths are taken before the study's reading moves to its folder.
  const std::string path = absolutePath(options.file);
  const std::string out = options.out.empty() ? "" : absolutePath(options.out);
  std::string text;
  if (!readWhole(path, text)) {
    return failure(kExportUsage, "The file " + options.file + " cannot be read.");
  }

  ExportTable table;
  if (endsWith(path, ".hst")) {
    text.clear();
    if (const int code = historyTable(options, path, table); code != 0) return code;
  } else if (endsWith(path, ".pto")) {
    if (!exportTableOfParetoFile(path, table, error)) {
      return failure(kExportUsage, "The Pareto file " + options.file +
                                       " cannot be read: " + error + ".");
    }
  } else if (isDoeResultsText(text)) {
    const DoeTable which = options.table == "analysis" ? DoeTable::Analysis : DoeTable::Runs;
    if (!exportTableOfDoeText(text, which, table, error)) {
      return failure(kExportUsage,
                     "The DOE results file " + options.file + " cannot be read: " + error + ".");
    }
  } else {
    return usageError("The file " + options.file +
                      " is not a history (.hst), Pareto (.pto) or DOE results file.");
  }

  const std::string result = options.format == "json" ? jsonText(table) : csvText(table);
  if (out.empty()) {
    const bool ok = std::fwrite(result.data(), 1, result.size(), stdout) == result.size() &&
                    std::fflush(stdout) == 0;
    return ok ? 0 : failure(kExportUsage, "The table cannot be written to standard output.");
  }
  if (!platform::replaceFileContents(out, result, &error)) {
    return failure(kExportUsage, "The file " + options.out + " cannot be written: " + error + ".");
  }
  return 0;
}

}  // namespace karvo
