// The framing of "Definitions.in": reads the file record by record and hands each keyword's
// record to its reader (variables, sets, curves, distributions, print formats, remote
// machines, responses, compute resources and sets, conditions, options, loops,
// relationships). Runs once at start-up over a file of a few hundred lines.
#include <string>

#include "definitions/definitions_common.h"
#include "definitions/definitions_records.h"
#include "definitions/reader.h"
#include "definitions/variables.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "definitions/print_formats.h"
#include "definitions/resources.h"
#include "definitions/response_definitions.h"
#include "platform/platform.h"

namespace karvo {

namespace {

enum class DefinitionKeyword {
  Type,
  Relationship,
  Variable,
  Curve,
  Set,
  Distribution,
  Format,
  RemoteMachine,
  Response,
  ComputeResource,
  ResourceSet,
  Condition,
  Option,
  Loop,
  End,
};

struct KeywordEntry {
  const char* keyword;
  DefinitionKeyword kind;
};

// Compared in this order, each over the keyword's own length.
constexpr KeywordEntry kKeywords[] = {
    {"*TYPE", DefinitionKeyword::Type},
    {"*DEFINE_RELATIONSHIP", DefinitionKeyword::Relationship},
    {"*DEFINE_VARIABLE", DefinitionKeyword::Variable},
    {"*DEFINE_CURVE", DefinitionKeyword::Curve},
    {"*DEFINE_SET", DefinitionKeyword::Set},
    {"*DEFINE_DIST", DefinitionKeyword::Distribution},
    {"*DEFINE_FORMAT", DefinitionKeyword::Format},
    {"*DEFINE_REMOTE_MACHINE", DefinitionKeyword::RemoteMachine},
    {"*DEFINE_RESPONSE", DefinitionKeyword::Response},
    {"*DEFINE_COMPUTE_RESOURCE", DefinitionKeyword::ComputeResource},
    {"*DEFINE_RESOURCE_SET", DefinitionKeyword::ResourceSet},
    {"*DEFINE_CONDITION", DefinitionKeyword::Condition},
    {"*DEFINE_OPTION", DefinitionKeyword::Option},
    {"*DEFINE_LOOP", DefinitionKeyword::Loop},
    {"*END", DefinitionKeyword::End},
};

const KeywordEntry* keywordOf(const std::string& line) {
  for (const KeywordEntry& entry : kKeywords) {
    if (isKeyword(line, entry.keyword)) return &entry;
  }
  return nullptr;
}

[[noreturn]] void failUnsupportedKeyword(const std::string& line, int lineNumber,
                                         FileHandle* file) {
  closeFile(file);
  writeMessage("outptr", "error", formatText("Unsupported definition keyword:\n %s", line.c_str()));
  fatalError(readingError(defs::kDefinitionsFileLabel, lineNumber, line));
}

void warnMissingFile() {
  std::string text = "\n\t**** WARNING ****\n";
  text += "\n\t Definitions.in file could not be read.";
  text += "\n\t Assuming all design variables are user-defined.";
  text += "\n\t Attempting to continue.\n";
  if (outptr) {
    writeText(outptr, text);
    flushFile(outptr);
  } else {
    writeMessage("stderr", "none", text);
  }
}

void dispatch(DefinitionKeyword kind, const Record& record) {
  const std::string label = defs::kDefinitionsFileLabel;
  switch (kind) {
    case DefinitionKeyword::Type: break;  // read and ignored
    case DefinitionKeyword::Relationship: defs::readRelationshipRecord(record, label); break;
    case DefinitionKeyword::Variable: defs::readVariableRecord(record, label, false); break;
    case DefinitionKeyword::Curve: defs::readCurveRecord(record, label); break;
    case DefinitionKeyword::Set: defs::readSetRecord(record, label); break;
    case DefinitionKeyword::Distribution: defs::readDistributionRecord(record, label); break;
    case DefinitionKeyword::Format: readPrintFormat(record, label); break;
    case DefinitionKeyword::RemoteMachine: readRemoteMachine(record, label); break;
    case DefinitionKeyword::Response: readResponseDefinition(record, label); break;
    case DefinitionKeyword::ComputeResource: readComputeResource(record, label, false); break;
    case DefinitionKeyword::ResourceSet: readComputeResource(record, label, true); break;
    case DefinitionKeyword::Condition: readCondition(record, label); break;
    case DefinitionKeyword::Option: defs::readOptionRecord(record, label); break;
    case DefinitionKeyword::Loop: defs::readLoopRecord(record, label); break;
    case DefinitionKeyword::End: break;
  }
}

// Closes the file also when a reader ends the run.
class FileScope {
 public:
  explicit FileScope(FileHandle* file) : file_(file) {}
  ~FileScope() { if (file_) closeFile(file_); }
  FileScope(const FileScope&) = delete;
  FileScope& operator=(const FileScope&) = delete;
  FileHandle* release() {
    FileHandle* file = file_;
    file_ = nullptr;
    return file;
  }

 private:
  FileHandle* file_;
};

}  // namespace

void readDefinitions() {
  resetDefinitions();
  resetPrintFormats();
  resetResources();
  resetResponseDefinitions();

  std::string path = formatText("%s%cDefinitions.in", run.workingDirectory.c_str(),
                                platform::kPathSeparator);
  FileHandle* file = platform::isDirectory(path) ? nullptr : openFile(path, "r");
  if (!file) {
    warnMissingFile();
    completePrintFormats();
    return;
  }
  FileScope scope(file);

  std::string keyword;
  int lineCounter = 0;
  bool endOfFile = false;
  Record preamble = readRecord(file, keyword, lineCounter, endOfFile);
  {
    RecordScope preambleScope(preamble);
    for (int i = 0; i < preamble.count; ++i) {
      if (trimmed(preamble.lines[i]).empty()) continue;
      failUnsupportedKeyword(preamble.lines[i], preamble.keywordLine + i + 1, scope.release());
    }
  }

  while (!keyword.empty()) {
    const std::string current = keyword;
    const int keywordLine = lineCounter;
    const KeywordEntry* entry = keywordOf(current);
    if (!entry) failUnsupportedKeyword(current, keywordLine, scope.release());
    if (entry->kind == DefinitionKeyword::End) break;
    Record record = readRecord(file, keyword, lineCounter, endOfFile);
    RecordScope recordScope(record);
    dispatch(entry->kind, record);
  }

  closeFile(scope.release());
  definitions.definitionsRead = true;
  completePrintFormats();

  defs::resolveVariableDistributions();
  resolveResourceReferences();
}

}  // namespace karvo
