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
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace karvo::testing {
namespace {

namespace fs = std::filesystem;

const std::string kRoot = KARVO_SOURCE_DIR;

// The documents with examples; general-portal.md has its own tests of the portal.
const std::vector<std::string> kDocuments = {"architecture.md", "distributions.md",
                                             "relationships.md", "remote-machines.md",
                                             "running.md", "study-files.md"};

struct Block {
  std::string document;  // file name under docs/
  int line = 0;          // 1-based line of the opening fence
  std::string kind;      // file, commands, output, excerpt, snippet, none; "" without marker
  std::string study;     // S of the marker
  std::string path;      // P of the marker
  std::string text;      // the lines between the fences, each ended by a newline
};

std::string where(const Block& block) {
  return block.document + ":" + std::to_string(block.line);
}

std::vector<Block> blocksOf(const std::string& document) {
  static const std::regex marker(R"(^<!-- example (\w+)(?::? ([^ ]*))?.*-->$)");
  std::vector<Block> blocks;
  std::istringstream in(readFile(kRoot + "/docs/" + document));
  std::string line, previous;
  int number = 0;
  Block* open = nullptr;
  while (std::getline(in, line)) {
    ++number;
    if (line.rfind("```", 0) == 0) {
      if (open) {
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

std::vector<Block> allBlocks() {
  std::vector<Block> blocks;
  for (const std::string& document : kDocuments) {
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
  const std::vector<std::string> kinds = {"file",    "commands", "output", "excerpt",
                                          "snippet", "none",     "untested"};
  int examples = 0;
  for (const Block& block : allBlocks()) {
    SCOPED_TRACE(where(block));
    EXPECT_THAT(kinds, ::testing::Contains(block.kind))
        << "a fenced block needs an \"<!-- example ... -->\" line right before it";
    if (block.kind == "none" || block.kind == "untested" || block.kind.empty()) continue;
    ++examples;
    EXPECT_FALSE(block.study.empty());
    EXPECT_EQ(block.path.empty(), block.kind == "commands");
  }
  EXPECT_GT(examples, 20);
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

// The snippet file that holds the *STUDY record, or "".
std::string studyFileOf(const std::map<std::string, std::string>& files) {
  for (const auto& [path, text] : files) {
    if (text.find("*STUDY") != std::string::npos) return path;
  }
  return "";
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
                 "formula: 1.5\n*END\n";
  if (!files.count("Performance0.in")) {
    files["Performance0.in"] = "*RESPONSE\nname: docF\ntype: objective\nfactor: 1\n"
                               "option: min_value\ntarget: 0\nquadWt: 0\nlinearWt: 1\n*END\n";
  }
  const std::string agentRecord = files.count("agent") ? files["agent"]
                                                       : "*AGENT\nid: 0\nmethod: TOLMAR\n"
                                                         "numEvals: 20\n";
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
  if (files.find("study.in") == files.end() && studyFileOf(files).empty()) {
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
}

INSTANTIATE_TEST_SUITE_P(Docs, DocsSnippet, ::testing::ValuesIn(studiesOfKind("snippet")),
                         nameOf);

}  // namespace
}  // namespace karvo::testing
