// What a run may move or delete: only what it wrote. A folder setting that names the study
// folder or one above it is refused before anything is touched; an evaluation folder that also
// holds the user's files keeps them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/study_runs.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

using ::testing::HasSubstr;
using testing::readFile;
using testing::runKarvo;
using testing::TempDir;
using testing::writeFile;

// The minimal study in `folder` with `lines` added to agent 0's record.
void writeStudyWith(const std::string& folder, const std::string& lines) {
  testing::writeMinimalStudy(folder);
  testing::replaceIn(folder, "study.in", "numEvals: 200\n", "numEvals: 200\n" + lines);
}

testing::ProcessResult runIn(const std::string& folder, std::vector<std::string> options = {}) {
  options.insert(options.begin(), "i=study.in");
  return runKarvo(options, folder, {"KARVO_ROOT=" + folder});
}

std::set<std::string> entriesOf(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The study lives in root/study beside a file of the user's, root/keep.txt. Each setting
// names the study folder or its parent, directly or through a symbolic link.
TEST(FolderHoldingTheStudy, IsRefusedAndNothingIsMovedOrDeleted) {
  const struct {
    const char* lines;
    std::vector<std::string> options;
  } cases[] = {
      {"evaluationDirectory: ..\n", {"overwrite"}},
      {"evaluationDirectory: up\n", {}},  // a link to the parent
      {"postDirectory: ..\n", {"overwrite"}},
  };
  for (const auto& c : cases) {
    TempDir root("karvo-owned");
    const std::string study = root.file("study");
    fs::create_directory(study);
    writeFile(root.file("keep.txt"), "the user's\n");
    writeStudyWith(study, c.lines);
    fs::create_directory_symlink(root.path(), study + "/up");
    const std::set<std::string> before = entriesOf(study);
    testing::ProcessResult result = runIn(study, c.options);
    EXPECT_EQ(result.status, 133) << c.lines;
    EXPECT_EQ(readFile(root.file("keep.txt")), "the user's\n") << c.lines;
    std::set<std::string> after = entriesOf(study);
    after.erase("study.mes");
    EXPECT_EQ(after, before) << c.lines;
    EXPECT_THAT(testing::unwrapped(readFile(study + "/study.mes")),
                HasSubstr("is the study folder or holds it. A new run moves or deletes this "
                          "folder with the earlier results"))
        << c.lines;
  }
}

// backupDir= naming the study folder would "move" the earlier results onto themselves, and the
// new run would then write over them; its parent would receive the study itself.
TEST(BackupFolderHoldingTheStudy, IsRefusedBeforeTheEarlierResultsAreTouched) {
  TempDir dir("karvo-owned");
  testing::writeMinimalStudy(dir.path());
  ASSERT_EQ(runIn(dir.path()).status, 0);
  const std::string report = readFile(dir.file("demo0.rpt"));
  const std::string messages = readFile(dir.file("study.mes"));
  const std::set<std::string> before = entriesOf(dir.path());
  for (const std::string& folder : std::vector<std::string>{".", "..", dir.path()}) {
    testing::ProcessResult result = runIn(dir.path(), {"backupDir=" + folder});
    EXPECT_EQ(result.status, 254) << folder;
    EXPECT_EQ(result.err, "\n**** ERROR ****\n\tThe backup folder (" + folder +
                              ") is the study folder or holds it. Earlier results would be "
                              "moved into themselves.\n\tGive backupDir= a folder outside the "
                              "study folder, or one inside it.\n");
    EXPECT_EQ(readFile(dir.file("demo0.rpt")), report) << folder;
    EXPECT_EQ(readFile(dir.file("study.mes")), messages) << folder;
    EXPECT_EQ(entriesOf(dir.path()), before) << folder;
  }
  // A backup folder inside the evaluation folder would be moved into itself.
  writeStudyWith(dir.path(), "evaluationDirectory: work\n");
  fs::create_directories(dir.file("work/Design1"));
  testing::ProcessResult result = runIn(dir.path(), {"backupDir=work/old"});
  EXPECT_EQ(result.status, 133);
  EXPECT_THAT(testing::unwrapped(readFile(dir.file("study.mes"))),
              HasSubstr("The backup folder (work/old) is the evaluation folder of agent 0 (" +
                        testing::workingDirectory(dir) +
                        "/work), holds it or lies inside it."));
  EXPECT_TRUE(fs::is_directory(dir.file("work/Design1")));
}

// An evaluation folder the user named may hold files of theirs: a new run takes only the
// design folders out of it, into a backup folder of the same name (or deletes them with
// `overwrite`), and leaves the rest.
TEST(EvaluationFolderOfTheUser, KeepsWhatTheSolverDidNotWrite) {
  TempDir dir("karvo-owned");
  writeStudyWith(dir.path(), "evaluationDirectory: work\n");
  fs::create_directories(dir.file("work/Design1"));
  writeFile(dir.file("work/Design1/design.log"), "design 1\n");
  writeFile(dir.file("work/notes.txt"), "the user's\n");
  fs::create_directories(dir.file("work/Designs"));  // not a design folder's name
  ASSERT_EQ(runIn(dir.path(), {"backupDir=old"}).status, 0) << readFile(dir.file("study.mes"));
  EXPECT_EQ(readFile(dir.file("old/work/Design1/design.log")), "design 1\n");
  EXPECT_EQ(readFile(dir.file("work/notes.txt")), "the user's\n");
  EXPECT_TRUE(fs::is_directory(dir.file("work/Designs")));
  EXPECT_FALSE(fs::exists(dir.file("old/work/notes.txt")));

  fs::create_directories(dir.file("work/Design999"));
  ASSERT_EQ(runIn(dir.path(), {"overwrite"}).status, 0);
  EXPECT_FALSE(fs::exists(dir.file("work/Design999")));
  EXPECT_EQ(readFile(dir.file("work/notes.txt")), "the user's\n");
  EXPECT_TRUE(fs::is_directory(dir.file("work/Designs")));
}

}  // namespace
}  // namespace karvo
