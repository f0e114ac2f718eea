// Reading of the process files "Process%d.in" into the process table (analyses, execution
// settings, file lists, dependencies, reservations) and the start-up checks across analyses.
// Read once at start-up; a process has a few dozen analyses at most, so checks are scans.
#include "definitions/process_file.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "definitions/reader.h"
#include "base/messages.h"
#include "base/text.h"
#include "base/run_state.h"
#include "definitions/print_formats.h"
#include "definitions/response_definitions.h"
#include "external/portal_general.h"
#include "platform/platform.h"

namespace karvo {

std::vector<Process> processes;

namespace {

constexpr const char* kProcessLabel = "Process definition";
constexpr const char* kAnalysisLabel = "Analysis definition";
constexpr const char* kExecutionLabel = "Analysis execution definition";

// Every property of an *ANALYSIS record; the reservation's are read only when the analysis
// asks for one ("reserveType") on a resource that enables it.
constexpr const char* kAnalysisNames[] = {
    "name", "id", "computeResource", "maxTime", "captureAnalysisOutput", "jobBatchMode",
    "primaryInput", "errorMode", "solver", "version", "inputFile", "inputTagFile", "outputFile",
    "outputTagFile", "visualizationFile", "inputVariable", "inputResponse", "outputResponse",
    "calculatedResponse", "portalData", "dependency", "reserveType", "reserveMode",
    "reserveNodes", "reserveCores", "reserveMemory", "reserveEstTime", "reserveAddTime",
    "reserveSoftware", "reserveVersion", "reserveEnvironment", "numDesigns"};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The comma-separated fields of an entry, blanks around each dropped.
std::vector<std::string> splitFields(const std::string& entry) {
  std::vector<std::string> fields;
  std::size_t begin = 0;
  for (;;) {
    std::size_t comma = entry.find(',', begin);
    fields.push_back(trimmed(entry.substr(begin, comma == std::string::npos ? std::string::npos
                                                                          : comma - begin)));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return fields;
}

// Process files drop trailing blanks and tabs of every line (the lines stay in their
// tracked buffers, only shortened).
void stripTrailingBlanks(Record& record) {
  for (int i = 0; i < record.count; ++i) {
    char* line = record.lines[i];
    std::size_t length = std::strlen(line);
    while (length > 0 && isBlank(line[length - 1])) line[--length] = '\0';
  }
}

std::string joinLines(const Record& record) {
  std::string text;
  for (int i = 0; i < record.count; ++i) {
    if (i > 0) text += '\n';
    text += record.lines[i];
  }
  return text;
}

std::string joinNames(const std::vector<std::string>& names, const char* separator) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += separator;
    text += names[i];
  }
  return text;
}

[[noreturn]] void unsupportedKeyword(const std::string& line) {
  fatalError(formatText("\nUnsupported keyword:\n %s", line.c_str()));
}

[[noreturn]] void failProperty(const DefinitionContext& context, const char* name,
                               const std::string& reason) {
  fatalError(definitionError(context.objectName, context.recordLabel, context.fileLabel, name,
                             reason));
}

[[noreturn]] void tooFewValues(const char* property, int expected, int found,
                               const std::string& value) {
  fatalError(formatText("Incorrect format for defining data for a \"%s\". Expecting at least "
                        "%d values. Found %d. Read data: %s",
                        property, expected, found, value.c_str()));
}

// Every entry of list property `name`: each "name:N" line contributes the N lines after it,
// each "name: value" line its value. Entries are taken whole (not trimmed).
std::vector<std::string> readEntries(const DefinitionContext& context, const char* name) {
  std::vector<std::string> entries;
  const Record& record = *context.record;
  std::string value, reason;
  int from = 1;
  for (;;) {
    int position =
        getProperty(context.fileLabel.c_str(), record, name, value, false, reason, from);
    if (position == 0) break;
    int p = std::abs(position);
    from = p + 1;
    int count = 0;
    if (position < 0 && parseInteger(value, count)) {
      if (count < 0) {
        fatalError(minimumError(name, context.objectName, context.recordLabel,
                                context.fileLabel, count, 0));
      }
      int available = record.count - p;
      if (count > available) {
        writeMessage("outptr", "warning",
                     formatText("The number of values specified does not match the number of "
                                "entries in a definition. The error is near line number %d, "
                                "which was read as \"%s\".",
                                record.keywordLine + p, record.lines[p - 1]));
        count = available;
      }
      for (int i = 0; i < count; ++i) entries.emplace_back(record.lines[p + i]);
      from = p + count + 1;
    } else if (position > 0 || !trimmed(value).empty()) {
      entries.push_back(value);
    }
  }
  return entries;
}

// A text property that may span lines in the list form; false when absent.
bool readText(const DefinitionContext& context, const char* name, std::string& text) {
  std::vector<std::string> values;
  std::string reason;
  std::string value;
  if (getProperty(context.fileLabel.c_str(), *context.record, name, value, false, reason) ==
      0) {
    return false;
  }
  getValues(context.fileLabel.c_str(), *context.record, name, values, false, reason);
  text = joinNames(values, "\n");
  return true;
}

// Names of a list property (responses, variables): one per entry, blanks dropped.
std::vector<std::string> readNames(const DefinitionContext& context, const char* name) {
  std::vector<std::string> names;
  for (const std::string& entry : readEntries(context, name)) {
    std::string word = trimmed(entry);
    if (word.empty()) {
      failProperty(context, name, "An entry of the list is empty.");
    }
    names.push_back(word);
  }
  return names;
}

// [REMOTE:|LOCAL:]kind[:path]. `fileName` names the file (or run folder) in messages.
Location parseLocation(const std::string& written, const std::string& analysisName,
                       const std::string& fileName) {
  std::string prefix = formatText("Error in the definition of analysis \"%s\".",
                                  analysisName.c_str());
  Location location;
  location.text = trimmed(written);
  if (location.text.empty()) {
    fatalError(formatText("%s\n\t Error in the reading the location definition for file %s. "
                          "The location cannot be empty.",
                          prefix.c_str(), fileName.c_str()));
  }
  std::string rest = location.text;
  if (rest.compare(0, 7, "REMOTE:") == 0) {
    location.remote = 1;
    rest.erase(0, 7);
  } else if (rest.compare(0, 6, "LOCAL:") == 0) {
    location.local = 1;
    rest.erase(0, 6);
  }
  std::size_t colon = rest.find(':');
  std::string kind = trimmed(rest.substr(0, colon));
  location.path = colon == std::string::npos ? "" : trimmed(rest.substr(colon + 1));
  static const struct {
    const char* word;
    LocationKind kind;
    bool needsPath;
  } kKinds[] = {
      {"analysisFolder", LocationKind::AnalysisFolder, false},
      {"designFolder", LocationKind::DesignFolder, false},
      {"studyFolder", LocationKind::StudyFolder, false},
      {"projectFolder", LocationKind::ProjectFolder, false},
      {"anotherAnalysis", LocationKind::AnotherAnalysis, true},
      {"fixedLocation", LocationKind::FixedLocation, true},
      {"relativeLocation", LocationKind::RelativeLocation, true},
  };
  for (const auto& entry : kKinds) {
    if (kind != entry.word) continue;
    location.kind = entry.kind;
    if (entry.needsPath && location.path.empty()) {
      fatalError(formatText("%s\n\t The location \"%s\" for file %s needs %s after \"%s:\".",
                            prefix.c_str(), location.text.c_str(), fileName.c_str(),
                            entry.kind == LocationKind::AnotherAnalysis ? "an analysis name"
                                                                        : "a path",
                            entry.word));
    }
    if (!entry.needsPath && !location.path.empty()) {
      fatalError(formatText("%s\n\t The location \"%s\" for file %s does not take a path. Use "
                            "relativeLocation or fixedLocation for a folder of your own.",
                            prefix.c_str(), location.text.c_str(), fileName.c_str()));
    }
    return location;
  }
  fatalError(formatText(
      "%s\n\t The location \"%s\" for file %s is not supported. Valid locations are "
      "analysisFolder, designFolder, studyFolder, projectFolder, anotherAnalysis:<analysis>, "
      "fixedLocation:<path> and relativeLocation:<path>, optionally preceded by REMOTE: or "
      "LOCAL:.",
      prefix.c_str(), location.text.c_str(), fileName.c_str()));
}

// ---------------------------------------------------------------------------------------
// *ANALYSIS record

void checkAnalysisName(const DefinitionContext& context, const Process& process) {
  const std::string& name = context.objectName;
  if (static_cast<int>(name.size()) > kMaxAnalysisName) {
    fatalError(formatText("Error in the analysis name \"%s\". The name must be shorter than "
                          "256 characters.\n",
                          name.c_str()));
  }
  // The name is the analysis's folder in every design folder and part of script names.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    fatalError(formatText("Error in the analysis name \"%s\". The name is used as the folder "
                          "of the analysis; it cannot be empty, \".\" or \"..\", nor contain "
                          "\"/\".",
                          name.c_str()));
  }
  if (findAnalysis(process, name) >= 0) {
    fatalError(formatText("The analysis name (%s) already exists in the Process definition.",
                          name.c_str()) +
               definitionPlace(context, "name"));
  }
}

InputFile readInputFile(const DefinitionContext& context, const std::string& entry) {
  std::vector<std::string> fields = splitFields(entry);
  InputFile file;
  file.text = entry;
  file.name = fields[0];
  if (fields.size() < 5) {
    fatalError(formatText("The definition for the input file \"%s\" is incomplete. Expecting "
                          "at least 5 data entries, found %d.\n",
                          file.name.c_str(), static_cast<int>(fields.size())));
  }
  const std::string& analysis = context.objectName;
  if (file.name.empty()) {
    fatalError(formatText("The definition for an input file of analysis \"%s\" has no file "
                          "name. Read data: %s",
                          analysis.c_str(), entry.c_str()));
  }
  file.source = parseLocation(fields[1], analysis, file.name);
  file.target = fields[2].empty() ? file.name : fields[2];
  if (fields[3] == "file" || fields[3] == "folder") {
    file.isFolder = fields[3] == "folder";
  } else {
    fatalError(formatText("The type \"%s\" of the input file \"%s\" of analysis \"%s\" is not "
                          "supported. Valid types are file and folder.",
                          fields[3].c_str(), file.name.c_str(), analysis.c_str()));
  }
  if (!parseFlag(fields[4], file.copy)) {
    fatalError(formatText("The copy option \"%s\" of the input file \"%s\" of analysis \"%s\" "
                          "is not supported. Valid choices are yes, no, true, false, 1 and 0.",
                          fields[4].c_str(), file.name.c_str(), analysis.c_str()));
  }
  if (file.source.kind == LocationKind::AnotherAnalysis) {
    file.sourceAnalyses.push_back(file.source.path);
    for (std::size_t i = 5; i < fields.size(); ++i) {
      if (fields[i].empty()) {
        fatalError(formatText("The list of source analyses of the input file \"%s\" of "
                              "analysis \"%s\" has an empty entry. Read data: %s",
                              file.name.c_str(), analysis.c_str(), entry.c_str()));
      }
      file.sourceAnalyses.push_back(fields[i]);
    }
  } else if (fields.size() > 5) {
    fatalError(formatText("The input file \"%s\" of analysis \"%s\" lists further source "
                          "analyses, but it is not taken from another analysis "
                          "(anotherAnalysis). Read data: %s",
                          file.name.c_str(), analysis.c_str(), entry.c_str()));
  }
  return file;
}

// A file of the study folder named in a process file, as a path (relative names are in the
// study folder).
std::string studyFilePath(const std::string& name) {
  return name[0] == platform::kPathSeparator ? name : platform::joinPath(run.workingDirectory, name);
}

// 0 when `path` is a regular file that can be read, else the system's error number. Opened
// without waiting (a FIFO must not hang the reading).
int unreadableFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno != 0 ? errno : ENOENT;
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  if (regular) return 0;
  return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
}

// A template is filled for every design: one that cannot be read, or that names a print
// format the study does not define, would fail every design, so it is refused now.
void checkTemplateFile(const DefinitionContext& context, const std::string& name) {
  const std::string path = studyFilePath(name);
  if (const int error = unreadableFile(path)) {
    failProperty(context, "inputTagFile",
                 formatText("The template file \"%s\" cannot be read (%s).", path.c_str(),
                            platform::systemErrorText(error).c_str()));
  }
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return;  // gone since: the design's analysis log will say so
  std::string line;
  int lineNumber = 0;
  for (int c = 0; c != EOF;) {
    line.clear();
    while ((c = std::fgetc(in)) != EOF && c != '\n') line += static_cast<char>(c);
    ++lineNumber;
    for (std::size_t open = line.find("{{"); open != std::string::npos;
         open = line.find("{{", open + 1)) {
      const std::size_t close = line.find("}}", open + 2);
      if (close == std::string::npos) break;
      std::string tagName, format;
      if ((open > 0 && line[open - 1] == '\\') ||
          !general_portal::parseTag(std::string_view(line).substr(open + 2, close - open - 2),
                                    tagName, format) ||
          format.empty() || findPrintFormat(format)) {
        continue;
      }
      std::fclose(in);
      failProperty(context, "inputTagFile",
                   formatText("The print format \"%s\" of the tag \"%s\" on line %d of the "
                              "template file \"%s\" is not defined. Define it with a "
                              "*DEFINE_FORMAT record (\"name: %s\") in Definitions.in.",
                              format.c_str(), line.substr(open, close + 2 - open).c_str(),
                              lineNumber, path.c_str(), format.c_str()));
    }
  }
  std::fclose(in);
}

// The extraction definition of a tagged response must be readable now: read later, a
// missing file would be taken as an empty definition and every design would fail.
void checkExtractionDefinition(const DefinitionContext& context, const std::string& response,
                               const std::string& definition) {
  const std::string path = studyFilePath(definition);
  const int error = unreadableFile(path);
  if (error == 0) return;
  failProperty(context, "outputTagFile",
               formatText("The extraction definition file \"%s\" of the response \"%s\" "
                          "cannot be read (%s).",
                          path.c_str(), response.c_str(),
                          platform::systemErrorText(error).c_str()));
}

void readFileLists(const DefinitionContext& context, Analysis& analysis) {
  for (const std::string& entry : readEntries(context, "inputFile")) {
    analysis.inputFiles.push_back(readInputFile(context, entry));
  }
  for (const std::string& entry : readEntries(context, "inputTagFile")) {
    std::vector<std::string> fields = splitFields(entry);
    if (fields[0].empty() || fields.size() > 2) {
      fatalError(formatText("Incorrect format for defining data for a \"%s\". Expecting a "
                            "template file and optionally the tagged file name. Read data: %s",
                            "inputTagFile", entry.c_str()));
    }
    TaggedInputFile file;
    file.templateFile = fields[0];
    file.target = fields.size() > 1 ? fields[1] : "";
    if (file.target.empty()) {
      std::size_t slash = file.templateFile.find_last_of('/');
      file.target =
          slash == std::string::npos ? file.templateFile : file.templateFile.substr(slash + 1);
    }
    file.text = entry;
    checkTemplateFile(context, file.templateFile);
    analysis.taggedInputFiles.push_back(file);
  }
  analysis.outputFiles = readNames(context, "outputFile");
  for (const std::string& entry : readEntries(context, "outputTagFile")) {
    std::vector<std::string> fields = splitFields(entry);
    if (fields.size() < 2) tooFewValues("outputTagFile", 2, 1, entry);
    if (fields.size() > 2 || fields[0].empty() || fields[1].empty()) {
      fatalError(formatText("Incorrect format for defining data for a \"%s\". Expecting the "
                            "response and its extraction definition file. Read data: %s",
                            "outputTagFile", entry.c_str()));
    }
    checkExtractionDefinition(context, fields[0], fields[1]);
    analysis.taggedOutputFiles.push_back(TaggedOutputFile{fields[0], fields[1], entry});
  }
  analysis.visualizationFiles = readNames(context, "visualizationFile");
}

void readResponseLists(const DefinitionContext& context, Analysis& analysis) {
  analysis.inputVariables = readNames(context, "inputVariable");
  analysis.inputResponses = readNames(context, "inputResponse");
  analysis.outputResponses = readNames(context, "outputResponse");
  analysis.calculatedResponses = readNames(context, "calculatedResponse");
  std::vector<std::string> tagged;
  for (const TaggedOutputFile& file : analysis.taggedOutputFiles) tagged.push_back(file.response);
  const std::pair<const std::vector<std::string>*, const char*> lists[] = {
      {&analysis.inputResponses, "inputResponse"},
      {&analysis.outputResponses, "outputResponse"},
      {&analysis.calculatedResponses, "calculatedResponse"},
      {&tagged, "outputTagFile"}};
  for (const auto& [list, property] : lists) {
    for (const std::string& name : *list) {
      if (!findResponseDefinition(name)) {
        fatalError(formatText("The response \"%s\" listed in analysis \"%s\" has not been "
                              "defined in the study. Please define the response or remove it "
                              "from the analysis.",
                              name.c_str(), analysis.name.c_str()) +
                   definitionPlace(context, property));
      }
    }
  }
  // A response with an extraction definition is extracted by this analysis whether or not
  // "outputResponse" lists it too.
  for (const std::string& name : tagged) {
    if (std::find(analysis.outputResponses.begin(), analysis.outputResponses.end(), name) ==
        analysis.outputResponses.end()) {
      analysis.outputResponses.push_back(name);
    }
  }
  readText(context, "portalData", analysis.portalData);
}

void readDependencies(const DefinitionContext& context, Analysis& analysis) {
  for (const std::string& entry : readEntries(context, "dependency")) {
    std::vector<std::string> fields = splitFields(entry);
    if (fields.size() < 2) tooFewValues("dependency", 2, 1, entry);
    if (fields.size() > 2 || fields[0].empty()) {
      fatalError(formatText("Incorrect format for defining data for a \"%s\". Expecting the "
                            "analysis name and the dependency type. Read data: %s",
                            "dependency", entry.c_str()));
    }
    Dependency dependency;
    dependency.analysis = fields[0];
    if (fields[1] == "cycle") {
      dependency.cycle = 1;
    } else if (fields[1] != "design") {
      std::string text = formatText(
          "Incorrect choice specified for cycle based execution for analysis %s.",
          analysis.name.c_str());
      text = formatText("%s The choice can only be \"design\" or \"cycle\". Found %s.",
                        text.c_str(), fields[1].c_str());
      fatalError(text);
    }
    if (dependency.analysis == analysis.name) {
      fatalError(formatText("Error in the dependency definition for analysis \"%s\". The "
                            "definition cannot include itself as a dependency.",
                            analysis.name.c_str()));
    }
    for (const Dependency& earlier : analysis.dependencies) {
      if (earlier.analysis == dependency.analysis) {
        fatalError(formatText("Error in the dependency definition for analysis \"%s\". The "
                              "analysis \"%s\" is named more than once as a dependency.",
                              analysis.name.c_str(), dependency.analysis.c_str()));
      }
    }
    analysis.dependencies.push_back(dependency);
  }
}

void readMaxTime(const DefinitionContext& context, Analysis& analysis) {
  std::string value, reason;
  if (getProperty(context.fileLabel.c_str(), *context.record, "maxTime", value, false,
                  reason) == 0 ||
      trimmed(value) == "infinite") {
    analysis.maxTime = kInfiniteTime;
    return;
  }
  int seconds = 0;
  if (getInt(context.fileLabel.c_str(), *context.record, "maxTime", seconds, false, reason) ==
      0) {
    failProperty(context, "maxTime", reason);
  }
  if (seconds < 1) {
    fatalError(formatText(
        "The maximum allowed analysis time must be >= 1 second, found %d\n", seconds) +
        definitionPlace(context, "maxTime").substr(1));  // the text ends its line
  }
  analysis.maxTime = seconds;
}

// Reads the *ANALYSIS record; `numDesigns` of the execution block is needed by the
// reservation and is given by the caller.
void readAnalysisRecord(const DefinitionContext& base, const Process& process,
                        Analysis& analysis, int numDesigns) {
  DefinitionContext context = base;
  analysis.name = requireString(context, "name");
  context.objectName = analysis.name;
  checkAnalysisName(context, process);
  analysis.id = requireInt(context, "id");
  if (analysis.id < 0) {
    fatalError(formatText("Tool id must be greater than or equal to 0, found %d", analysis.id) +
               definitionPlace(context, "id"));
  }
  for (const Analysis& other : process.analyses) {
    if (other.id == analysis.id) {
      fatalError(formatText("The analysis id (%d) already exists in the Process definition.",
                            analysis.id) +
                 definitionPlace(context, "id"));
    }
  }
  analysis.computeResource = trimmed(optionalString(context, "computeResource", ""));
  const ComputeResource* resource = nullptr;
  if (!analysis.computeResource.empty()) {
    resource = findComputeResource(analysis.computeResource);
    if (!resource) {
      fatalError(formatText("The compute resource \"%s\" used in analysis \"%s\" has not been "
                            "defined in the model.",
                            analysis.computeResource.c_str(), analysis.name.c_str()) +
                 definitionPlace(context, "computeResource"));
    }
  }
  readMaxTime(context, analysis);
  analysis.captureAnalysisOutput = optionalInt(context, "captureAnalysisOutput", 1) != 0;
  analysis.jobBatchMode = optionalInt(context, "jobBatchMode", 0) != 0;
  analysis.primaryInput = trimmed(optionalString(context, "primaryInput", ""));
  analysis.reserveSoftware = optionalString(context, "reserveSoftware", "");
  analysis.reserveVersion = optionalString(context, "reserveVersion", "");
  analysis.reserveEnvironment = optionalString(context, "reserveEnvironment", "");
  analysis.errorMode = optionalString(context, "errorMode", "");
  analysis.stopOnError = analysis.errorMode == "STOP";
  analysis.solver = optionalString(context, "solver", "");
  analysis.version = optionalString(context, "version", "");

  readFileLists(context, analysis);
  readResponseLists(context, analysis);
  readDependencies(context, analysis);

  if (!analysis.primaryInput.empty()) {
    bool listed = false;
    for (const InputFile& file : analysis.inputFiles) {
      listed = listed || file.target == analysis.primaryInput ||
               file.name == analysis.primaryInput;
    }
    for (const TaggedInputFile& file : analysis.taggedInputFiles) {
      listed = listed || file.target == analysis.primaryInput ||
               file.templateFile == analysis.primaryInput;
    }
    if (!listed) {
      fatalError(formatText("The primary input file \"%s\" is not defined in the list of "
                            "input files for analysis \"%s\".",
                            analysis.primaryInput.c_str(), analysis.name.c_str()) +
                 definitionPlace(context, "primaryInput"));
    }
  }

  // A reservation is asked for with "reserveType"; its "numDesigns" is the analysis's.
  std::string reserveType, reason;
  if (getProperty(context.fileLabel.c_str(), *context.record, "reserveType", reserveType,
                  false, reason) != 0) {
    Record copy = copyRecord(*context.record);
    RecordScope scope(copy);
    removeProperty(copy, "numDesigns");
    addProperty(copy, "numDesigns", formatText("%d", numDesigns));
    analysis.hasReservation = readReservation(copy, context.fileLabel, analysis.name, resource,
                                              analysis.reservation);
  }
  warnUnknownProperties(context, kAnalysisNames);
}

// ---------------------------------------------------------------------------------------
// *EXECUTION_DEFINITION record

void readCommandStep(const DefinitionContext& context, const Analysis& analysis,
                     const char* commandName, const char* optionsName, CommandStep& step) {
  readText(context, commandName, step.command);
  std::string options, reason;
  if (getProperty(context.fileLabel.c_str(), *context.record, optionsName, options, false,
                  reason) == 0) {
    return;
  }
  std::vector<std::string> fields = splitFields(options);
  if (fields.size() < 2) tooFewValues(optionsName, 2, static_cast<int>(fields.size()), options);
  if (fields.size() > 3) {
    fatalError(formatText("Incorrect format for defining data for a \"%s\". Expecting at most "
                          "3 values. Found %d. Read data: %s",
                          optionsName, static_cast<int>(fields.size()), options.c_str()));
  }
  step.locationText = formatText("%s:%s", fields[0].c_str(), fields[1].c_str());
  step.location = parseLocation(fields[0].empty() ? "" : step.locationText, analysis.name,
                                commandName);
  if (fields.size() < 3) return;
  if (trimmed(step.command).empty()) {
    writeMessage("outptr", "warning",
                 formatText("Incorrect format for defining data for a \"%s\". A return value "
                            "is defined when none is expected.",
                            optionsName));
    return;
  }
  if (fields[2] == "NONE") return;
  if (!parseInteger(fields[2], step.expectedCode)) {
    failProperty(context, optionsName,
                 formatText("The read value \"%s\" could not be converted into an integer.",
                            fields[2].c_str()));
  }
}

std::string readConditionName(const DefinitionContext& context, const char* property,
                              const char* role, const std::string& analysisName) {
  std::string name = trimmed(optionalString(context, property, ""));
  if (!name.empty() && !findCondition(name)) {
    std::string text = formatText("Error in locating \"%s\" in the list of defined "
                                  "conditions. This condition has not been defined.",
                                  name.c_str());
    fatalError(formatText("%s It is used as the %s condition of analysis \"%s\".", text.c_str(),
                          role, analysisName.c_str()) +
               definitionPlace(context, property));
  }
  return name;
}

void readExecutionRecord(const DefinitionContext& base, Analysis& analysis) {
  DefinitionContext context = base;
  context.objectName = analysis.name;
  std::string anlFolder, reason;
  if (getProperty(context.fileLabel.c_str(), *context.record, "anlFolder", anlFolder, false,
                  reason) != 0) {
    analysis.runLocation = parseLocation(anlFolder, analysis.name, "anlFolder");
  } else {
    analysis.runLocation.text = "analysisFolder";
  }
  if (!readText(context, "toolCmd", analysis.command)) {
    failProperty(context, "toolCmd", kPropertyNotDefined);
  }
  if (trimmed(analysis.command).empty()) {
    fatalError(formatText("The execution command for analysis \"%s\" is empty. Use \"nil\" for "
                          "an analysis that runs no command.",
                          analysis.name.c_str()) +
               definitionPlace(context, "toolCmd"));
  }
  if (trimmed(analysis.command) == "nil") {
    analysis.noExecution = 1;
    writeMessage("outptr", "note",
                 formatText("The execution command for analysis \"%s\" is \"nil\". No "
                            "execution will be performed for this analysis.",
                            analysis.name.c_str()));
  }
  analysis.install = optionalString(context, "install", "");
  analysis.execShell = optionalString(context, "execShell", analysis.execShell);
  readCommandStep(context, analysis, "preAnalysisCmd", "preAnalysisOptions",
                  analysis.preAnalysis);
  readCommandStep(context, analysis, "preCmd", "preUpdateOptions", analysis.preUpdate);
  readCommandStep(context, analysis, "postCmd", "postAnalysisOptions", analysis.postAnalysis);
  readCommandStep(context, analysis, "postExtractCmd", "postExtractOptions",
                  analysis.postExtract);
  analysis.jobNamePrefix = optionalString(context, "jobNamePrefix", "");
  analysis.jobRemotePath = optionalString(context, "jobRemotePath", "");
  analysis.runCondition = readConditionName(context, "runCondition", "run", analysis.name);
  analysis.finishCondition =
      readConditionName(context, "finishCondition", "finish", analysis.name);
  analysis.successCondition =
      readConditionName(context, "successCondition", "success", analysis.name);
  analysis.successReturnValue = optionalInt(context, "successReturnValue", kNoReturnCheck);
  analysis.finishCheckFrequency = optionalInt(context, "finishCheckFrequency", 0);
  checkMinimum(context, "finishCheckFrequency", analysis.finishCheckFrequency, 0);
  analysis.initialWait = optionalInt(context, "initialWait", 0);
  checkMinimum(context, "initialWait", analysis.initialWait, 0);
  analysis.parallelToAnotherMDO = optionalInt(context, "parallelToAnotherMDO", 0) != 0;
  analysis.numDesigns = optionalInt(context, "numDesigns", 1);
  if (analysis.numDesigns <= 0) {
    fatalError(formatText("Number of simultaneous designs for analysis \"%s\" must be greater "
                          "than 0, found %d",
                          analysis.name.c_str(), analysis.numDesigns) +
               definitionPlace(context, "numDesigns"));
  }
  warnUnknownProperties(context);
}

// Records of the analysis being read: its *ANALYSIS record and, once met, its execution
// block. Both are freed when the analysis is finished or when a fatal error unwinds.
struct PendingAnalysis {
  Record analysis{};
  Record execution{};
  bool active = false;
  bool haveExecution = false;
  PendingAnalysis() = default;
  PendingAnalysis(const PendingAnalysis&) = delete;
  PendingAnalysis& operator=(const PendingAnalysis&) = delete;
  ~PendingAnalysis() { clear(); }
  void clear() {
    freeRecord(analysis);
    freeRecord(execution);
    active = false;
    haveExecution = false;
  }
};

void finishAnalysis(PendingAnalysis& pending, Process& process, const std::string& fileLabel) {
  if (!pending.active) return;
  Analysis analysis;
  // The execution block is read first for its numDesigns, which the reservation needs; its
  // errors name the analysis, so the name is taken from the analysis record beforehand.
  DefinitionContext analysisContext{&pending.analysis, fileLabel, kAnalysisLabel};
  analysis.name = requireString(analysisContext, "name");
  if (!pending.haveExecution) {
    fatalError(formatText("The analysis \"%s\" in file \"%s\" has no *EXECUTION_DEFINITION "
                          "record. Every analysis needs one with its execution command "
                          "(toolCmd; \"nil\" for none).",
                          analysis.name.c_str(), fileLabel.c_str()));
  }
  DefinitionContext executionContext{&pending.execution, fileLabel, kExecutionLabel};
  readExecutionRecord(executionContext, analysis);
  readAnalysisRecord(analysisContext, process, analysis, analysis.numDesigns);

  const ComputeResource* resource = findComputeResource(analysis.computeResource);
  if (analysis.runLocation.kind == LocationKind::AnotherAnalysis &&
      (analysis.runLocation.remote || (resource && resource->remote))) {
    fatalError(formatText("Error in the problem setup. The analysis folder location for the "
                          "remote analysis (%s) cannot reference another analysis.",
                          analysis.name.c_str()));
  }
  analysis.recordText = joinLines(pending.analysis);
  analysis.executionText = joinLines(pending.execution);
  process.analyses.push_back(std::move(analysis));
  pending.clear();
}

// Execution mode: a serial process runs one design per analysis at a time.
void applyExecutionMode(Process& process) {
  for (Analysis& analysis : process.analyses) {
    if (!process.parallel && analysis.numDesigns > 1) {
      writeMessage("outptr", "note",
                   formatText("Since the parallel option is not enabled, the number of "
                              "parallel designs for analysis \"%s\" is being set to 1 instead "
                              "of %d defined.",
                              analysis.name.c_str(), analysis.numDesigns));
      analysis.numDesigns = 1;
    }
    LocationKind kind = analysis.runLocation.kind;
    if (analysis.numDesigns > 1 &&
        (kind == LocationKind::StudyFolder || kind == LocationKind::ProjectFolder ||
         kind == LocationKind::FixedLocation)) {
      std::string text = formatText(
          "The analysis \"%s\" runs up to %d designs at the same time in the location \"%s\", "
          "which is not a folder of its own for each design.",
          analysis.name.c_str(), analysis.numDesigns, analysis.runLocation.text.c_str());
      text = formatText("%s The simultaneous runs will share one folder.", text.c_str());
      writeMessage("outptr", "warning", text);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Consistency checks

// True when `target` is reached from `from` through dependencies.
bool reaches(const Process& process, int from, int target, std::vector<char>& visited) {
  if (from == target) return true;
  if (visited[static_cast<std::size_t>(from)]) return false;
  visited[static_cast<std::size_t>(from)] = 1;
  const Analysis& analysis = process.analyses[static_cast<std::size_t>(from)];
  for (const Dependency& dependency : analysis.dependencies) {
    if (reaches(process, dependency.index, target, visited)) return true;
  }
  return false;
}

void checkNamedAnalysis(const Process& process, const Analysis& analysis,
                        const Location& location, const std::string& what) {
  if (location.kind != LocationKind::AnotherAnalysis) return;
  if (findAnalysis(process, location.path) < 0) {
    fatalError(formatText("The %s of analysis \"%s\" refers to the analysis \"%s\", which is "
                          "not defined in the Process definition.",
                          what.c_str(), analysis.name.c_str(), location.path.c_str()));
  }
}

void addInputDependencies(Process& process, Analysis& analysis) {
  for (const InputFile& file : analysis.inputFiles) {
    for (const std::string& source : file.sourceAnalyses) {
      if (source == analysis.name) continue;  // its own folder
      int index = findAnalysis(process, source);
      bool defined = std::any_of(analysis.dependencies.begin(), analysis.dependencies.end(),
                                 [&](const Dependency& d) { return d.analysis == source; });
      if (defined) continue;
      Dependency dependency;
      dependency.analysis = source;
      dependency.index = index;
      dependency.cycle = 1;
      dependency.automatic = 1;
      analysis.dependencies.push_back(dependency);
      std::string text =
          formatText("The analysis \"%s\" needs the input file \"%s\" from analysis \"%s\".",
                     analysis.name.c_str(), file.name.c_str(), source.c_str());
      text = formatText("%s No dependency on that analysis was defined, so one has been added.",
                        text.c_str());
      text = formatText("%s The dependency used was \"Cycle Based\" dependency. Please manually "
                        "define the dependency if \"Design Based\" is needed.",
                        text.c_str());
      writeMessage("outptr", "warning", text);
    }
  }
}

void checkOneProcess(Process& process) {
  // Dependency targets and analyses named by locations.
  for (Analysis& analysis : process.analyses) {
    for (Dependency& dependency : analysis.dependencies) {
      dependency.index = findAnalysis(process, dependency.analysis);
      if (dependency.index < 0) {
        fatalError(formatText("Error in the dependency definition for analysis \"%s\". The "
                              "analysis \"%s\" is not defined in the Process definition.",
                              analysis.name.c_str(), dependency.analysis.c_str()));
      }
    }
    for (const InputFile& file : analysis.inputFiles) {
      for (const std::string& source : file.sourceAnalyses) {
        if (findAnalysis(process, source) < 0) {
          fatalError(formatText("The input file \"%s\" of analysis \"%s\" is taken from the "
                                "analysis \"%s\", which is not defined in the Process "
                                "definition.",
                                file.name.c_str(), analysis.name.c_str(), source.c_str()));
        }
      }
    }
    checkNamedAnalysis(process, analysis, analysis.runLocation, "run location (anlFolder)");
    for (const CommandStep* step : {&analysis.preAnalysis, &analysis.preUpdate,
                                    &analysis.postAnalysis, &analysis.postExtract}) {
      if (!step->locationText.empty()) {
        checkNamedAnalysis(process, analysis, step->location, "command location");
      }
    }
  }
  for (Analysis& analysis : process.analyses) addInputDependencies(process, analysis);

  // A serial process runs its analyses in file order.
  if (!process.parallel) {
    for (std::size_t i = 0; i < process.analyses.size(); ++i) {
      for (const Dependency& dependency : process.analyses[i].dependencies) {
        if (dependency.index >= static_cast<int>(i)) {
          std::string text = formatText(
              "Error in the dependency definition for analysis \"%s\". Since the parallel "
              "option is not enabled, an analysis can only depend on analyses defined before "
              "it.",
              process.analyses[i].name.c_str());
          fatalError(formatText("%s The analysis \"%s\" is defined after it.", text.c_str(),
                                dependency.analysis.c_str()));
        }
      }
    }
  }

  if (!process.analyses.empty() &&
      std::all_of(process.analyses.begin(), process.analyses.end(),
                  [](const Analysis& a) { return !a.dependencies.empty(); })) {
    fatalError("\n\t The setup needs to have at least one analysis with no dependencies. "
               "Currently all analyses have dependencies defined");
  }

  for (std::size_t i = 0; i < process.analyses.size(); ++i) {
    for (const Dependency& dependency : process.analyses[i].dependencies) {
      std::vector<char> visited(process.analyses.size(), 0);
      if (reaches(process, dependency.index, static_cast<int>(i), visited)) {
        fatalError(formatText("\n\t Error in the dependency definition. There is a cyclic "
                              "definition for analysis \"%s\" via \"%s\"\n",
                              process.analyses[i].name.c_str(), dependency.analysis.c_str()));
      }
    }
  }
  process.checked = 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public interface

Process* findProcess(int number) {
  for (Process& process : processes) {
    if (process.number == number) return &process;
  }
  return nullptr;
}

int findAnalysis(const Process& process, const std::string& name) {
  for (std::size_t i = 0; i < process.analyses.size(); ++i) {
    if (process.analyses[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

int analysisIndex(const Process& process, const std::string& name) {
  int index = findAnalysis(process, name);
  if (index < 0) {
    std::string text = formatText("Error number 1033. Error in getting analysis index for "
                                  "analysis \"%s\". Please contact technical support.",
                                  name.c_str());
    fatalError(text + "\nCannot continue. Exiting.");
  }
  return index;
}

void readProcessFile(int processNumber) {
  std::string fileLabel = formatText("Process%d.in", processNumber);
  std::string path = platform::joinPath(run.workingDirectory, fileLabel);
  FileHandle* file = openDefinitionFile(path);

  Process process;
  process.number = processNumber;
  bool haveProcessRecord = false;
  PendingAnalysis pending;
  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  try {
    Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
    {
      RecordScope scope(preamble);
      for (int i = 0; i < preamble.count; ++i) {
        if (!isBlankLine(preamble.lines[i])) unsupportedKeyword(preamble.lines[i]);
      }
    }
    while (!keyword.empty()) {
      std::string current = keyword;
      while (!current.empty() && isBlank(current.back())) current.pop_back();
      int keywordLine = lineCounter;
      if (isKeyword(current, "*END")) break;
      Record record = readRecord(file, keyword, lineCounter, endOfFile);
      stripTrailingBlanks(record);
      if (isKeyword(current, "*ANALYSIS")) {
        try {
          finishAnalysis(pending, process, fileLabel);
        } catch (...) {
          freeRecord(record);
          throw;
        }
        pending.analysis = record;
        pending.active = true;
        continue;
      }
      if (isKeyword(current, "*EXECUTION_DEFINITION")) {
        if (!pending.active || pending.haveExecution) {
          freeRecord(record);
          fatalError(formatText("The *EXECUTION_DEFINITION record on line %d of file \"%s\" "
                                "does not follow an *ANALYSIS record. Each analysis has one "
                                "execution definition, right after its *ANALYSIS record.",
                                keywordLine, fileLabel.c_str()));
        }
        pending.execution = record;
        pending.haveExecution = true;
        continue;
      }
      RecordScope scope(record);
      if (isKeyword(current, "*TYPE")) continue;
      if (!isKeyword(current, "*PROCESS")) unsupportedKeyword(current);
      finishAnalysis(pending, process, fileLabel);
      if (haveProcessRecord) {
        fatalError(formatText("The file \"%s\" has more than one *PROCESS record (line %d).",
                              fileLabel.c_str(), keywordLine));
      }
      haveProcessRecord = true;
      DefinitionContext context{&record, fileLabel, kProcessLabel};
      process.name = requireString(context, "name");
      context.objectName = process.name;
      process.parallel = optionalInt(context, "parallel", 0) != 0;
      warnUnknownProperties(context);
    }
    finishAnalysis(pending, process, fileLabel);
  } catch (...) {
    closeFile(file);
    throw;
  }
  closeFile(file);

  if (!haveProcessRecord) {
    fatalError(formatText("The file \"%s\" has no *PROCESS record. It must give the name of "
                          "the process and whether its analyses run in parallel.",
                          fileLabel.c_str()));
  }
  applyExecutionMode(process);
  if (Process* existing = findProcess(processNumber)) {
    *existing = std::move(process);
  } else {
    processes.push_back(std::move(process));
  }
}

void checkProcessConsistency() {
  for (Process& process : processes) checkOneProcess(process);
}

void resetProcesses() { processes.clear(); }

}  // namespace karvo
