// The Linux layer: time stamps, environment and in-process file operations.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "support/test_support.h"

namespace karvo::platform {
namespace {

using karvo::testing::readFile;
using karvo::testing::TempDir;
using karvo::testing::writeFile;

TEST(Clock, TimeStampHasMillisecondsAndLocalTime) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  // 2021-03-04T05:06:07.089 UTC
  EXPECT_EQ(timeStamp(1614834367089LL), "2021-03-04T05:06:07.089");
  EXPECT_EQ(timeStamp(1614834367000LL), "2021-03-04T05:06:07.000");
  EXPECT_TRUE(std::regex_match(timeStamp(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})")));
}

TEST(Environment, SetReadUnsetAndEmptyIsSet) {
  EXPECT_TRUE(setEnv("KARVO_TEST_VARIABLE", ""));
  EXPECT_TRUE(hasEnv("KARVO_TEST_VARIABLE"));
  EXPECT_EQ(getEnv("KARVO_TEST_VARIABLE", "fallback"), "");
  EXPECT_TRUE(setEnv("KARVO_TEST_VARIABLE", "a b"));
  EXPECT_EQ(getEnv("KARVO_TEST_VARIABLE"), "a b");
  EXPECT_TRUE(unsetEnv("KARVO_TEST_VARIABLE"));
  EXPECT_FALSE(hasEnv("KARVO_TEST_VARIABLE"));
  EXPECT_EQ(getEnv("KARVO_TEST_VARIABLE", "fallback"), "fallback");
}

TEST(FileOperations, MoveIntoFolderCopyAndRemove) {
  TempDir dir;
  writeFile(dir.file("a b.txt"), "content");
  ASSERT_TRUE(makeDirectory(dir.file("backup")));
  std::string error;
  EXPECT_FALSE(makeDirectory(dir.file("x/y"), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(makeDirectories(dir.file("x/y")));

  EXPECT_TRUE(movePath(dir.file("a b.txt"), dir.file("backup")));
  EXPECT_FALSE(pathExists(dir.file("a b.txt")));
  EXPECT_EQ(readFile(dir.file("backup/a b.txt")), "content");

  EXPECT_TRUE(copyFile(dir.file("backup/a b.txt"), dir.file("x")));
  EXPECT_EQ(readFile(dir.file("x/a b.txt")), "content");
  EXPECT_TRUE(copyFile(dir.file("backup"), dir.file("copy")));
  EXPECT_EQ(readFile(dir.file("copy/a b.txt")), "content");

  // A file or folder copied onto itself stays as it is.
  EXPECT_TRUE(copyFile(dir.file("x/a b.txt"), dir.file("x/a b.txt"), &error)) << error;
  EXPECT_TRUE(copyFile(dir.file("x/a b.txt"), dir.file("x"), &error)) << error;
  EXPECT_EQ(readFile(dir.file("x/a b.txt")), "content");
  EXPECT_TRUE(copyFile(dir.file("copy"), dir.file("copy"), &error)) << error;
  EXPECT_FALSE(pathExists(dir.file("copy/copy")));
  EXPECT_EQ(readFile(dir.file("copy/a b.txt")), "content");
  // A copy onto an existing file replaces it; a missing source is an error.
  writeFile(dir.file("other.txt"), "older and longer");
  EXPECT_TRUE(copyFile(dir.file("x/a b.txt"), dir.file("other.txt"), &error)) << error;
  EXPECT_EQ(readFile(dir.file("other.txt")), "content");
  EXPECT_FALSE(copyFile(dir.file("missing"), dir.file("other.txt"), &error));
  EXPECT_EQ(error, "No such file or directory");
  EXPECT_EQ(readFile(dir.file("other.txt")), "content");

  EXPECT_TRUE(removeFile(dir.file("x/a b.txt")));
  EXPECT_TRUE(removeFile(dir.file("x/a b.txt")));  // absent is fine, as rm -f
  EXPECT_FALSE(removeFile(dir.file("x")));          // a folder is not a file
  EXPECT_TRUE(removeTree(dir.file("x")));
  EXPECT_FALSE(isDirectory(dir.file("x")));
  EXPECT_FALSE(movePath(dir.file("missing"), dir.file("backup"), &error));
}

TEST(FileOperations, ReplaceFileContentsIsWholeOrNothing) {
  TempDir dir;
  const std::string path = dir.file("agent0.hst");
  ASSERT_TRUE(replaceFileContents(path, std::string("first\0bytes", 11)));
  EXPECT_EQ(readFile(path), std::string("first\0bytes", 11));
  ASSERT_TRUE(replaceFileContents(path, "second"));
  EXPECT_EQ(readFile(path), "second");
  ASSERT_TRUE(replaceFileContents(path, ""));
  EXPECT_EQ(readFile(path), "");
  // A target that cannot be replaced (a folder of that name) leaves everything as it was.
  writeFile(path, "kept");
  const std::string folder = dir.file("busy");
  ASSERT_TRUE(makeDirectory(folder));
  writeFile(folder + "/inside", "x");
  std::string error;
  EXPECT_FALSE(replaceFileContents(folder, "new", &error));
  EXPECT_EQ(error, "Is a directory");
  EXPECT_EQ(readFile(folder + "/inside"), "x");
  EXPECT_FALSE(replaceFileContents(dir.file("missing/agent0.hst"), "new", &error));
  EXPECT_EQ(error, "No such file or directory");
  // No temporary file is left behind by either outcome.
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2);  // agent0.hst and busy/
}

}  // namespace
}  // namespace karvo::platform
