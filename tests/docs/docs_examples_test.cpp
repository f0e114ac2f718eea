// The examples of the documents in docs/, run as printed: every fenced block of a document
// carries an HTML comment on the line before it that says what the block is, and the test
// takes the blocks out of the markdown files themselves, so that a changed document is
// tested as it reads.
//
//   <!-- example file S/P -->     the whole file P of the example study S
//   <!-- example commands S -->   shell lines run in study S in order: each "karvo ..." and
//                                 "cp ..." line must end with exit status 0 ("cd", "export"
//                                 lines set up the user's shell and are skipped)
//   <!-- example output S/P -->   the exact bytes of file P after one of the commands of S
//   <!-- example excerpt S/P -->  whole lines that file P holds after one of the commands
//   <!-- example snippet S/P -->  part of file P of study S: the snippets of one study are
//                                 joined in document order and the test completes them
//                                 with a minimal study (below); a check-setup run of it must
//                                 end with exit status 0
//   <!-- example none: why -->    not a study file (a layout, a message, a shell session)
//   <!-- example untested: why --> a study file that no run here can check (it needs
//                                 programs or machines that a test does not have)
//
// A study without a commands block gets a check-setup run of its study file.
//
// The General portal's examples (general-portal.md) are run through the portal itself, with
// the solver's own tag values; S names one example, A (after the target) its arguments:
//   <!-- example template S/P A -->  template file P; A: the design's values as the text
//                                    states them, "name=value" (a parameter), "name=x:y,x:y"
//                                    (a curve's points) or "Design_Num=n"
//   <!-- example written S/P -->     the exact file P written from the template of S
//   <!-- example refused S/P A -->   the exact messages of writing P from the template of S
//                                    with the values A, which leave one name without a value
//   <!-- example listing S/P [numbered] -->  output file P of S, the first one its analysis
//                                    names; "numbered": each line starts with its number in
//                                    two columns and two blanks, which are not part of the file
//   <!-- example definition S [R] --> an extraction definition of response R reading the
//                                    output files of S. The line after it states the values:
//                                    "gives 1.5, 2" and, for a changed property, "With `p: v`:
//                                    3, 4"; or the next block is the message of its response:
//   <!-- example message S -->       the exact message reported for that response
// The folder of the examples is shown as "/study", analysis folders as "/study/Design7/plate".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "evaluation/tagging.h"
#include "external/portal_general.h"
#include "support/study_files_fixture.h"
#include "support/test_support.h"

namespace karvo::testing {
namespace {

namespace fs = std::filesystem;

const std::string kRoot = KARVO_SOURCE_DIR;

struct Block {
  std::string document;   // file name under docs/
  int line = 0;           // 1-based line of the opening fence
  std::string kind;       // the marker's kind (see the top of the file); "" without marker
  std::string study;      // S of the marker
  std::string path;       // P of the marker
  std::string arguments;  // what the marker holds after S/P
  std::string text;       // the lines between the fences, each ended by a newline
  std::string after;      // the lines right after the closing fence, up to a blank line
};

std::string where(const Block& block) {
  return block.document + ":" + std::to_string(block.line);
}

std::vector<Block> blocksOf(const std::string& document) {
  static const std::regex marker(R"(^<!-- example (\w+)(?::? ([^ ]*))?.*-->$)");
  static const std::regex arguments(R"(^<!-- example \w+ [^ ]+ (.*) -->$)");
  std::vector<Block> blocks;
  std::istringstream in(readFile(kRoot + "/docs/" + document));
  std::string line, previous;
  int number = 0;
  Block* open = nullptr;
  Block* closed = nullptr;  // the block whose following lines are being read
  while (std::getline(in, line)) {
    ++number;
    if (closed && (line.empty() || line.rfind("```", 0) == 0 || line.rfind("<!--", 0) == 0)) {
      closed = nullptr;
    }
    if (closed) closed->after += line + "\n";
    if (line.rfind("```", 0) == 0) {
      if (open) {
        closed = open;
        open = nullptr;
      } else {
        Block block;
        block.document = document;
        block.line = number;
        std::smatch match;
        if (std::regex_match(previous, match, marker)) {
          block.kind = match[1];
          const std::string target = match[2];
          const std::size_t slash = target.find('/');
          block.study = target.substr(0, slash);
          if (slash != std::string::npos) block.path = target.substr(slash + 1);
          if (std::regex_match(previous, match, arguments)) block.arguments = match[1];
        }
        blocks.push_back(block);
        open = &blocks.back();
      }
    } else if (open) {
      open->text += line + "\n";
    }
    previous = line;
  }
  return blocks;
}

// The blocks of every document in docs/, the documents in the order of their names.
std::vector<Block> allBlocks() {
  std::vector<std::string> documents;
  for (const fs::directory_entry& entry : fs::directory_iterator(kRoot + "/docs")) {
    if (entry.path().extension() == ".md") documents.push_back(entry.path().filename().string());
  }
  std::sort(documents.begin(), documents.end());
  std::vector<Block> blocks;
  for (const std::string& document : documents) {
    for (Block& block : blocksOf(document)) blocks.push_back(std::move(block));
  }
  return blocks;
}

std::vector<Block> blocksOfStudy(const std::string& study) {
  std::vector<Block> blocks;
  for (Block& block : allBlocks()) {
    if (block.study == study && block.kind != "none" && block.kind != "untested") {
      blocks.push_back(std::move(block));
    }
  }
  return blocks;
}

// The warning about a property that no reader of its record takes: every property a document
// shows must be one the solver reads.
constexpr const char* kUnknownProperty = "is not a property this solver reads there";

ProcessResult karvo(const std::vector<std::string>& arguments, const std::string& folder) {
  return runKarvo(arguments, folder, {"-KARVO_PYTHON_PATH", "KARVO_ROOT=" + kRoot});
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> result;
  std::istringstream in(line);
  for (std::string word; in >> word;) result.push_back(word);
  return result;
}

// The study file of a folder: the ".in" file with a *STUDY record.
std::string studyFileIn(const std::string& folder) {
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() != ".in") continue;
    if (readFile(entry.path().string()).find("*STUDY") != std::string::npos) {
      return entry.path().filename().string();
    }
  }
  return "";
}

void writeInto(const std::string& folder, const std::string& path, const std::string& text) {
  const fs::path target = fs::path(folder) / path;
  fs::create_directories(target.parent_path());
  writeFile(target.string(), text);
}

std::string messagesOf(const std::string& folder) {
  const std::string study = studyFileIn(folder);
  if (study.empty()) return "";
  const std::string mes = folder + "/" + study.substr(0, study.size() - 2) + "mes";
  return fs::exists(mes) ? readFile(mes) : "";
}

// ---------------------------------------------------------------------------------------
// The markers

TEST(DocsBlocks, EveryBlockSaysWhatItIs) {
  const std::vector<std::string> kinds = {
      "file",    "commands", "output",  "excerpt", "snippet", "none",       "untested",
      "template", "written", "refused", "listing", "definition", "message"};
  const std::vector<std::string> withoutPath = {"commands", "definition", "message"};
  int examples = 0;
  for (const Block& block : allBlocks()) {
    SCOPED_TRACE(where(block));
    EXPECT_THAT(kinds, ::testing::Contains(block.kind))
        << "a fenced block needs an \"<!-- example ... -->\" line right before it";
    if (block.kind == "none" || block.kind == "untested" || block.kind.empty()) continue;
    ++examples;
    EXPECT_FALSE(block.study.empty());
    const bool pathless =
        std::find(withoutPath.begin(), withoutPath.end(), block.kind) != withoutPath.end();
    EXPECT_EQ(block.path.empty(), pathless);
  }
  EXPECT_GT(examples, 20);
}

// Every document describes the solver as it is: none puts off what it describes to a later
// version or to another build.
TEST(DocsText, NoDocumentPutsOffWhatItDescribes) {
  static const std::regex postponed(
      R"(later (version|release)|(in|of) (this|a later|the next) build|this build (does|reads)|)"
      R"(future version|not (yet )?implemented|(no effect|not used)[a-z ]{0,20} yet\b|once the )"
      R"(searches (are|run))",
      std::regex::icase);
  std::vector<std::string> files = {kRoot + "/README.md"};
  for (const fs::directory_entry& entry : fs::directory_iterator(kRoot + "/docs")) {
    if (entry.path().extension() == ".md") files.push_back(entry.path().string());
  }
  for (const std::string& file : files) {
    // Sentences are wrapped: join each paragraph's lines before looking.
    std::istringstream in(readFile(file));
    std::string text;
    for (std::string line; std::getline(in, line);) text += line.empty() ? "\n" : line + " ";
    for (std::sregex_iterator match(text.begin(), text.end(), postponed), end; match != end;
         ++match) {
      ADD_FAILURE() << fs::path(file).filename().string() << ": \"" << match->str()
                    << "\" in: " << text.substr(std::max<long>(0, match->position() - 80), 200);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Example studies: their files as printed, their commands, the files those write

class DocsExampleStudy : public ::testing::TestWithParam<std::string> {};

TEST_P(DocsExampleStudy, RunsAsPrinted) {
  TempDir dir("karvo-docs");
  const std::vector<Block> blocks = blocksOfStudy(GetParam());
  std::vector<const Block*> checks;
  std::vector<std::string> commands;
  for (const Block& block : blocks) {
    if (block.kind == "file") writeInto(dir.path(), block.path, block.text);
    if (block.kind == "output" || block.kind == "excerpt") checks.push_back(&block);
    if (block.kind == "commands") {
      std::istringstream in(block.text);
      for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> command = words(line);
        if (command.empty() || command[0] == "cd" || command[0] == "export") continue;
        commands.push_back(line);
      }
    }
  }
  if (commands.empty()) commands.push_back("karvo i=" + studyFileIn(dir.path()) + " checksetup");
  std::vector<bool> matched(checks.size(), false);
  for (const std::string& line : commands) {
    SCOPED_TRACE(line);
    std::vector<std::string> command = words(line);
    ProcessResult result;
    if (command[0] == "karvo") {
      result = karvo(std::vector<std::string>(command.begin() + 1, command.end()), dir.path());
    } else {
      ASSERT_EQ(command[0], "cp") << "only karvo and cp lines can be run";
      result = runShell(line, dir.path());
    }
    ASSERT_EQ(result.status, 0) << result.err << messagesOf(dir.path());
    EXPECT_EQ(unwrapped(result.err).find(kUnknownProperty), std::string::npos) << result.err;
    for (std::size_t c = 0; c < checks.size(); ++c) {
      const std::string path = dir.file(checks[c]->path);
      if (matched[c] || !fs::exists(path)) continue;
      const std::string content = readFile(path);
      matched[c] = checks[c]->kind == "output" ? content == checks[c]->text
                                               : holdsLines(unwrapped(content), checks[c]->text);
    }
  }
  for (std::size_t c = 0; c < checks.size(); ++c) {
    EXPECT_TRUE(matched[c]) << where(*checks[c]) << ": after no command did "
                            << checks[c]->path << " hold\n" << checks[c]->text;
  }
}

std::vector<std::string> studiesOfKind(const std::string& kind) {
  std::vector<std::string> studies;
  for (const Block& block : allBlocks()) {
    if (block.kind != kind) continue;
    if (std::find(studies.begin(), studies.end(), block.study) == studies.end()) {
      studies.push_back(block.study);
    }
  }
  return studies;
}

std::string nameOf(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(Docs, DocsExampleStudy, ::testing::ValuesIn(studiesOfKind("file")),
                         nameOf);

// ---------------------------------------------------------------------------------------
// Snippets, completed with a minimal study

// The agent type that runs a method.
std::string agentTypeOf(const std::string& method) {
  static const std::map<std::string, std::string> types = {
      {"DOE", "doe"},
      {"RobustParameterDesign", "doe"},
      {"DesignSweep", "doe"},
      {"robustness", "reliability and robustness"},
      {"reliability", "reliability and robustness"}};
  auto found = types.find(method);
  return found == types.end() ? "optimization" : found->second;
}

std::string propertyOf(const std::string& record, const std::string& name) {
  static const std::string none;
  std::istringstream in(record);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ": ", 0) == 0) return line.substr(name.size() + 2);
  }
  return none;
}

class DocsSnippet : public ::testing::TestWithParam<std::string> {};

// The snippets' files, joined per file; what they leave out comes from a study of one
// continuous variable "docX" and one formula response "docF" scored by agent 0 (or by the
// agent of an *AGENT snippet of the study file, whose method decides its type).
TEST_P(DocsSnippet, CheckSetupRunSucceeds) {
  TempDir dir("karvo-docs-snippet");
  std::map<std::string, std::string> files;
  for (const Block& block : blocksOfStudy(GetParam())) {
    ASSERT_EQ(block.kind, "snippet") << where(block);
    files[block.path] += block.text;
  }
  std::string& definitions = files["Definitions.in"];
  if (definitions.find("name: Default\n") == std::string::npos) {
    definitions = "*DEFINE_FORMAT\nname: Default\ntype: automatic\n" + definitions;
  }
  definitions += "*DEFINE_VARIABLE\nname: docX\ntype: Continuous\nid: 901\nmin: 0\n"
                 "baseline: 1\nmax: 2\n*DEFINE_RESPONSE\nname: docF\ntype: Formula\n"
                 "formula: 1.5\n*DEFINE_RESPONSE\nname: docG\ntype: Formula\n"
                 "formula: 2.5\n*END\n";
  const std::string agentRecord = files.count("agent") ? files["agent"]
                                                       : "*AGENT\nid: 0\nmethod: TOLMAR\n"
                                                         "numEvals: 20\n";
  if (!files.count("Performance0.in")) {
    // The multi-objective methods score docG as a second objective.
    const std::string method = propertyOf(agentRecord, "method");
    const bool twoObjectives = method == "MOTOLMAR" || method == "NSGA";
    std::string performance;
    for (const char* name : {"docF", "docG"}) {
      if (std::string(name) == "docG" && !twoObjectives) break;
      performance += std::string("*RESPONSE\nname: ") + name +
                     "\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\nquadWt: 0\n"
                     "linearWt: 1\n";
    }
    files["Performance0.in"] = performance + "*END\n";
  }
  files.erase("agent");
  const int agent = std::stoi(propertyOf(agentRecord, "id"));
  if (!files.count("Assembly.in")) {
    std::string assembly = "*TYPE\nversion: 2019.01\n";
    for (int a = 0; a <= agent; ++a) {
      assembly += "*AGENT\nid: " + std::to_string(a) + "\nname: agent" + std::to_string(a) +
                  "\ntype: " + agentTypeOf(propertyOf(agentRecord, "method")) +
                  "\nrepresentation: 0\nperformance: 0\n" +
                  (files.count("Process0.in") ? "process: 0\n" : "");
    }
    files["Assembly.in"] = assembly + "*END\n";
  }
  // Representations and processes the agents name and no snippet gives.
  for (int n = 0; n < 4; ++n) {
    const std::string number = std::to_string(n);
    const std::string representation = "Representation" + number + ".in";
    if (files["Assembly.in"].find("representation: " + number + "\n") != std::string::npos &&
        !files.count(representation)) {
      files[representation] = "*VARIABLE\nname: docX\nid: 901\nresolution: 11\n*END\n";
    }
    const std::string process = "Process" + number + ".in";
    if (files["Assembly.in"].find("process: " + number + "\n") != std::string::npos &&
        !files.count(process)) {
      files[process] = "*PROCESS\nname: docProcess\n*END\n";
    }
  }
  // No "study.in" and no snippet file that holds the *STUDY record: one is made.
  if (std::none_of(files.begin(), files.end(), [](const auto& file) {
        return file.first == "study.in" || file.second.find("*STUDY") != std::string::npos;
      })) {
    const std::string range = std::to_string(agent);
    files["study.in"] = "*STUDY\nname: doc\nstartAgent: " + range + "\nendAgent: " + range +
                        "\nfilePrefix: doc\nrandomSeed: 0.5\nmode: newStudy\n" + agentRecord +
                        "*END\n";
  }
  for (const auto& [path, text] : files) writeInto(dir.path(), path, text);
  const std::string study = studyFileIn(dir.path());
  ASSERT_FALSE(study.empty());
  ProcessResult result = karvo({"i=" + study, "checksetup"}, dir.path());
  EXPECT_EQ(result.status, 0) << result.err << messagesOf(dir.path());
  EXPECT_EQ(unwrapped(result.err).find(kUnknownProperty), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Docs, DocsSnippet, ::testing::ValuesIn(studiesOfKind("snippet")),
                         nameOf);

// ---------------------------------------------------------------------------------------
// The General portal: templates and extraction definitions, run through the portal

// The print formats that the examples name, as the text describes them.
const char* const kExampleFormats =
    "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
    "*DEFINE_FORMAT\nname: F8.3\ntype: float\nfixed: 1\ntotal: 8\ndec: 3\n";

class DocsGeneralPortal : public StudyFilesTest {
 protected:
  void SetUp() override {
    StudyFilesTest::SetUp();
    study_ = dir_.file("study");
    analysisFolder_ = study_ + "/Design7/plate";
    fs::create_directories(analysisFolder_);
  }

  // The tag values of a design with the values of a marker ("thickness=2.5 Design_Num=7"):
  // its numbers become parameters and its points curves of a freshly read "Definitions.in".
  TagValueCallback designWith(const std::string& values) {
    resetAll();
    context_ = EvaluationContext();
    std::string definitions = kExampleFormats;
    int id = 0;
    for (const std::string& value : words(values)) {
      const std::size_t equals = value.find('=');
      const std::string name = value.substr(0, equals);
      const std::string given = value.substr(equals + 1);
      if (name == "Design_Num") {
        context_.designNumber = std::stoi(given);
      } else if (given.find(':') == std::string::npos) {
        definitions += "*DEFINE_VARIABLE\nname: " + name + "\ntype: Parameter\nid: " +
                       std::to_string(++id) + "\nbaseline: " + given + "\n";
      } else {
        std::string points;
        int size = 0;
        std::istringstream in(given);
        for (std::string point; std::getline(in, point, ',');) {
          points += "point: " + point.replace(point.find(':'), 1, ", ") + "\n";
          ++size;
        }
        definitions += "*DEFINE_CURVE\nname: " + name + "\nsize: " + std::to_string(size) +
                       "\n" + points;
      }
    }
    definitionsWith(definitions + "*END\n");
    return tagValueCallback(context_);
  }

  // The portal's messages, one a line, with the temporary folder left out of the paths.
  std::string shown(const std::vector<std::string>& messages) {
    std::string text;
    for (const std::string& line : messages) text += shown(line) + "\n";
    return text;
  }
  std::string shown(std::string message) {
    for (std::size_t at; (at = message.find(dir_.path())) != std::string::npos;) {
      message.erase(at, dir_.path().size());
    }
    return message;
  }

  std::string study_;           // the study folder ("/study" in the document)
  std::string analysisFolder_;  // the analysis folder of design 7 ("/study/Design7/plate")
  EvaluationContext context_;   // the design of the tag values
};

TEST_F(DocsGeneralPortal, TemplatesWriteTheFilesShown) {
  std::map<std::string, const Block*> templates;  // example -> its template
  const std::vector<Block> blocks = blocksOf("general-portal.md");
  int checked = 0;
  for (const Block& block : blocks) {
    SCOPED_TRACE(where(block));
    if (block.kind == "template") templates[block.study] = &block;
    if (block.kind != "written" && block.kind != "refused") continue;
    const Block* source = templates[block.study];
    ASSERT_NE(source, nullptr) << "no template of " << block.study << " before it";
    writeInto(study_, source->path, source->text);
    const std::string target = analysisFolder_ + "/" + block.path;
    fs::remove(target);
    PropertiesMap properties;
    properties.setValue("studyDir", study_);
    properties.setValue("destDir", analysisFolder_);
    properties.setValue("InputSource1", source->path);
    properties.setValue("InputTarget1", block.path);
    GeneralPortal portal;
    const bool written = block.kind == "written";
    const PortalResult result = portal.prepare(
        properties, designWith(written ? source->arguments : block.arguments));
    if (written) {
      EXPECT_TRUE(result.ok) << shown(result.messages);
      EXPECT_EQ(readFile(target), block.text);
    } else {
      EXPECT_FALSE(result.ok);
      EXPECT_EQ(shown(result.messages), block.text);
      EXPECT_FALSE(fs::exists(target));
    }
    EXPECT_EQ(messages(), "");
    ++checked;
  }
  EXPECT_EQ(checked, 4);
}

// The numbers of a list such as "0.5, 1.0" at the start of `text`, or none.
std::vector<double> numbersAtStartOf(const std::string& text) {
  static const std::regex list(
      R"(^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?(, [-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?)*)");
  std::smatch match;
  std::vector<double> numbers;
  if (!std::regex_search(text, match, list)) return numbers;
  std::istringstream in(match[0].str());
  for (std::string word; std::getline(in, word, ',');) {
    double value = 0.0;
    EXPECT_TRUE(general_portal::parseNumber(words(word).at(0), value)) << word;
    numbers.push_back(value);
  }
  return numbers;
}

// `definition` with property `name` set to `value` instead of what it says.
std::string withProperty(const std::string& definition, const std::string& name,
                         const std::string& value) {
  std::string changed;
  std::istringstream in(definition);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) != 0) changed += line + "\n";
  }
  return changed + name + ": " + value + "\n";
}

// One response read by the portal from the analysis folder.
struct Extracted {
  bool ok = false;
  std::vector<double> values;
  std::string message;
};

TEST_F(DocsGeneralPortal, DefinitionsReadTheValuesShown) {
  std::map<std::string, std::string> outputs;  // example -> its analysis's output files
  const std::vector<Block> blocks = blocksOf("general-portal.md");
  auto extract = [&](const Block& block, const std::string& definition) {
    PropertiesMap properties;
    properties.setValue("destDir", analysisFolder_);
    properties.setValue("outputFilenames", outputs[block.study]);
    properties.setValue("ResponseName1", block.arguments.empty() ? "value" : block.arguments);
    properties.setValue("ResponseDefinition1", definition);
    Extracted extracted;
    int reports = 0;
    GeneralPortal portal;
    portal.extract(properties, [&](const std::string&, const std::vector<double>& values,
                                   bool ok, const std::string& message) {
      extracted = Extracted{ok, values, shown(message)};
      ++reports;
    });
    EXPECT_EQ(reports, 1);
    return extracted;
  };
  // The output files first: a definition may come before the listing it reads.
  for (const Block& block : blocks) {
    if (block.kind != "listing") continue;
    SCOPED_TRACE(where(block));
    std::string file;
    int number = 0;
    std::istringstream in(block.text);
    for (std::string line; std::getline(in, line);) {
      if (block.arguments == "numbered") {
        ++number;
        ASSERT_EQ(line.substr(0, 2), (number < 10 ? " " : "") + std::to_string(number));
        ASSERT_TRUE(line.size() == 2 || line.substr(2, 2) == "  ") << line;
        line.erase(0, std::min<std::size_t>(line.size(), 4));
      }
      file += line + "\n";
    }
    writeInto(analysisFolder_, block.path, file);
    outputs[block.study] += block.path + "\n";
  }
  int valueChecks = 0, messageChecks = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const Block& block = blocks[b];
    SCOPED_TRACE(where(block));
    if (block.kind != "definition") continue;
    ASSERT_TRUE(outputs.count(block.study)) << "no listing of " << block.study;
    if (block.after.rfind("gives ", 0) == 0) {
      const Extracted extracted = extract(block, block.text);
      EXPECT_TRUE(extracted.ok) << extracted.message;
      EXPECT_EQ(extracted.values, numbersAtStartOf(block.after.substr(6)));
      EXPECT_FALSE(numbersAtStartOf(block.after.substr(6)).empty()) << block.after;
      ++valueChecks;
      // "With `occurrence: all`: 1234, 2468."
      static const std::regex variant(R"([Ww]ith `(\w+): ([^`]*)`: )");
      for (std::sregex_iterator it(block.after.begin(), block.after.end(), variant), end;
           it != end; ++it) {
        const std::smatch& match = *it;
        SCOPED_TRACE(match[0].str());
        const Extracted changed = extract(block, withProperty(block.text, match[1], match[2]));
        EXPECT_TRUE(changed.ok) << changed.message;
        EXPECT_EQ(changed.values, numbersAtStartOf(match.suffix()));
        ++valueChecks;
      }
    } else {
      ASSERT_LT(b + 1, blocks.size());
      const Block& message = blocks[b + 1];
      ASSERT_TRUE(message.kind == "message" && message.study == block.study)
          << "a definition is followed by \"gives ...\" or by the message of its response";
      const Extracted extracted = extract(block, block.text);
      EXPECT_FALSE(extracted.ok);
      EXPECT_TRUE(extracted.values.empty());
      EXPECT_EQ(extracted.message + "\n", message.text);
      ++messageChecks;
    }
  }
  EXPECT_EQ(valueChecks, 11);
  EXPECT_EQ(messageChecks, 3);
}

}  // namespace
}  // namespace karvo::testing
