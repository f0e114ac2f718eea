// The command line: modes, options and exit statuses, run through the real binary, and the
// option settings checked in-process.
#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <unistd.h>

#include "driver/driver.h"
#include "base/messages.h"
#include "base/run_state.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

using namespace karvo::testing;

const std::string kVersionText =
    "\nKARVO MDO - Version 2019.1.0.8677, Linux 64-bit\nBuild 8677, (c) 2019 the KARVO MDO "
    "developers\n";

TEST(CommandLineModes, BuildAndVersionNeedNoStudyAndNoRoot) {
  TempDir dir;
  auto build = runKarvo({"build"}, dir.path(), {"-KARVO_ROOT"});
  EXPECT_EQ(build.status, 0);
  EXPECT_EQ(build.out, "8677\n");
  auto version = runKarvo({"version"}, dir.path(), {"-KARVO_ROOT"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.err, kVersionText);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// Command lines refused before any study is read: exit status and standard error, exactly.
TEST(CommandLineRefusals, StatusAndText) {
  TempDir dir;
  writeFile(dir.file("study.IN"), "");
  writeFile(dir.file("s.in"), "");
  std::filesystem::create_directory(dir.file("m.mes"));
  writeFile(dir.file("m.in"), "");
  const std::string firstArgument =
      "\nExpecting first command line input to be i=filename\n\n or checkPerformance\n";
  const std::string checkPerformance =
      "\n Error in the execution syntax. When using the checkPerformance option\n the second "
      "argument must be specified as the performance id that needs to be checked. No other "
      "arguments are allowed.";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"I=study.in"}, 255, firstArgument + kCommandsText},
      {{"Version"}, 255, firstArgument + kCommandsText},
      {{"checkPerformance"}, 254, checkPerformance},
      {{"checkPerformance", "1", "2"}, 254, checkPerformance},
      {{"i=study.IN"}, 255, "Illegal search parameters input file extension.\n"},
      {{"i=.in"}, 255, "Input file .in cannot be read.\n"},  // the extension test passes
      {{"i=s.in", "verbose", "Verbose"}, 255, kUsageText},
      {{"i=s.in", "useHistory", "overwrite"}, 254,
       "\n\t**** ERROR ****\n\t Error in the execution syntax. The \"overwrite\" and "
       "\"useHistory\" options cannot be used together."},
      {{"i=m.in", "overwrite"}, 255, "Output file m.mes cannot be written.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    auto r = runKarvo(c.args, dir.path());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(runKarvo({"i=" + std::string(2100, 'x') + ".in"}, dir.path()).status, 255);
}

TEST(CommandLineStudyFile, BackupDirLengthLimit) {
  TempDir dir;
  writeFile(dir.file("s.in"), "");
  writeMinimalStudy(dir.path());
  auto ok = runKarvo({"i=study.in", "backupDir=" + std::string(255, 'b')}, dir.path(),
                     {"KARVO_ROOT=" + dir.path()});
  EXPECT_EQ(ok.status, 0) << ok.err;
  auto r = runKarvo({"i=s.in", "backupDir=" + std::string(256, 'b')}, dir.path());
  EXPECT_EQ(r.status, 133);
  const std::string text =
      "\n**** ERROR ****\n\t Error in the command line option \"backupDir\". The name length of "
      "the directory must be less than 255 characters; current size 256.\n\t Please provide a "
      "different name for the folder that meets the size criterion mentioned above.";
  // The text is written twice (the second time as the run's fatal error), then the end of
  // the run with its times.
  const std::string err = unwrapped(r.err);
  const std::string fixed = text + text.substr(1) +
                            "\nRun exiting due to an error\n"
                            "************END OF RUN INFORMATION************\n";
  EXPECT_EQ(err.substr(0, fixed.size()), fixed);
  EXPECT_TRUE(std::regex_match(err.substr(std::min(fixed.size(), err.size())),
                               std::regex("Elapsed time: [0-9]+ seconds\nCurrent time: .{24}\n"
                                          "End of KARVO run\\.\n")))
      << err;
}

TEST(CommandLineMessageFile, EarlierMessageFileIsMovedNotLost) {
  TempDir dir;
  writeMinimalStudy(dir.path());
  writeFile(dir.file("study.mes"), "earlier run\n");
  auto r = runKarvo({"i=study.in", "version"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(withoutProgressLines(r.err), kVersionText);  // printed; the run goes on
  const auto folders = backupFolders(dir.path());
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(readFile(dir.file(*folders.begin() + "/study.mes")), "earlier run\n");
  EXPECT_NE(readFile(dir.file("study.mes")), "earlier run\n");
}

TEST(WorkingDirectory, LengthLimitIs257) {
  TempDir dir;
  writeFile(dir.file("s.in"), "");
  // Builds folders whose full path is exactly 257 and 258 bytes long.
  auto folderOfLength = [&](std::size_t length) {
    std::string path = dir.path();
    while (path.size() + 1 < length) {
      std::size_t part = std::min<std::size_t>(100, length - path.size() - 1);
      path += "/" + std::string(part, 'd');
    }
    std::filesystem::create_directories(path);
    return path;
  };
  std::string ok = folderOfLength(257);
  ASSERT_EQ(ok.size(), 257u);
  writeMinimalStudy(ok);
  EXPECT_EQ(runKarvo({"i=study.in"}, ok, {"KARVO_ROOT=" + ok}).status, 0);
  std::string tooLong = folderOfLength(258);
  ASSERT_EQ(tooLong.size(), 258u);
  writeFile(tooLong + "/s.in", "");
  auto r = runKarvo({"i=s.in"}, tooLong);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "\nError. Working directory name is too long.\nShorten the path of the KARVO working "
            "directory\nto be less than 258 characters.");
}

// In-process: the settings each option leaves behind.
class OptionSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    writeFile(dir.file("s.in"), "");
    resetRunState();
  }
  void TearDown() override {
    closeRun();
    resetRunState();
    std::filesystem::current_path(previous);
  }
  void parse(std::vector<std::string> words) {
    words.insert(words.begin(), {"karvo", "i=s.in", "overwrite"});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    parseCommandLine(static_cast<int>(argv.size()), argv.data());
  }
  TempDir dir;
  std::filesystem::path previous;
};

TEST_F(OptionSettings, StudyNameAndMessageFileComeFromTheStudyFile) {
  parse({});
  EXPECT_EQ(run.settings.overwrite, 1);
  EXPECT_EQ(run.commandLine, "karvo i=s.in overwrite");
  EXPECT_EQ(run.studyName, "s");
  EXPECT_EQ(run.messageFileName, "s.mes");
}

TEST_F(OptionSettings, EveryFlagAndValue) {
  parse({"checksetup", "dontUseBaseline", "useBaselineInSearch", "generateReportOnly",
         "dontWriteHistory", "verbose", "designFilesOnly", "postNoEval", "skipEvalCheck",
         "reEvalErrDesigns", "turnOnMemManagement", "start=0.25", "final=abc", "probUseOld=0.7",
         "probUseOld=0.8", "locale=en_GB.UTF-8x"});
  const RunSettings& s = run.settings;
  EXPECT_EQ(s.checkSetup, 1);
  EXPECT_EQ(s.baselineSuppressed, 1);
  EXPECT_EQ(s.baselineInSearch, 1);
  EXPECT_EQ(s.generateReportOnly, 1);
  EXPECT_EQ(s.historyDisabled, 1);
  EXPECT_EQ(s.verbose, 1);
  EXPECT_EQ(s.designFilesOnly, 1);
  EXPECT_EQ(s.postNoEval, 1);
  EXPECT_EQ(s.skipEvalCheck, 1);
  EXPECT_EQ(s.reEvalErrDesigns, 1);
  EXPECT_EQ(s.plainFreeing, 0);
  EXPECT_DOUBLE_EQ(s.newpopFitnessStart, 0.25);
  EXPECT_DOUBLE_EQ(s.newpopFitnessFinal, 0.0);  // not a number: atof gives 0
  EXPECT_DOUBLE_EQ(s.probUseOld, 0.8);          // the last one wins
  EXPECT_EQ(s.locale, "en_GB.UTF");             // first 9 characters
}

}  // namespace
}  // namespace karvo
