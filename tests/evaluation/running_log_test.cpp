// Tests of the running-analyses log: the exact bytes written into the agent's lock file,
// the whole-file rewrite (no temporary file left, the lock file never missing), the bounded
// retries with their warning, and the lock files it must never touch.
#include "evaluation/running_log.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/working_directory.h"
#include "platform/platform.h"
#include "platform/process.h"
#include <unistd.h>
#include "support/message_capture.h"

namespace karvo {
namespace {

using testing::readFile;
using testing::writeFile;

RunningAnalysesLog twoAnalyses() {
  RunningAnalysesLog log;
  log.analyses.push_back({"solve", {{12, 1}, {13, 1}, {14, 2}}});
  log.analyses.push_back({"post", {}});
  log.designsInProgress = {12, 13, 14};
  return log;
}

// A study folder with the message file open and the lock file of agent 0 created by this
// process, as after start-up.
class RunningLogTest : public testing::MessageCaptureTest {
 protected:
  void SetUp() override {
    MessageCaptureTest::SetUp();
    resetWorkingDirectoryState();
    resetRunningLog();
    run.runPrefix = "demo";
    createLockFile(0);
  }
  void TearDown() override {
    resetRunningLog();
    resetWorkingDirectoryState();
    MessageCaptureTest::TearDown();
  }
  // The owner record that ends every lock file of this process.
  static std::string owner() {
    const pid_t self = ::getpid();
    return "*OWNER\n" + platform::hostName() + " " + std::to_string(self) + " " +
           std::to_string(platform::processStartTicks(self)) + "\n";
  }
};

TEST_F(RunningLogTest, LockFileIsRewrittenWholeWithTheLog) {
  ASSERT_EQ(readFile(dir_.file("demo0.lock")), "Lock File for Agent #: 0\n" + owner());
  EXPECT_TRUE(runningLogUpdate(0, twoAnalyses()));
  EXPECT_EQ(readFile(dir_.file("demo0.lock")),
            "solve\n12.1, 13.1, 14.2\npost\n\n*INPROGRESS\n12,13,14,\n" + owner());
  EXPECT_FALSE(platform::pathExists(dir_.file("demo0.lock.tmp")));

  RunningAnalysesLog later = twoAnalyses();
  later.analyses[0].jobs = {{14, 2}};
  later.analyses[1].jobs = {{12, 1}, {13, 1}};
  EXPECT_TRUE(runningLogUpdate(0, later));
  EXPECT_EQ(readFile(dir_.file("demo0.lock")),
            "solve\n14.2\npost\n12.1, 13.1\n*INPROGRESS\n12,13,14,\n" + owner());
  EXPECT_EQ(messages(), "");
  EXPECT_EQ(runningLogText(RunningAnalysesLog{}), "*INPROGRESS\n\n");  // only that line
}

TEST_F(RunningLogTest, UnchangedLogIsNotWrittenAgainAndOtherLockFilesNeverTouched) {
  ASSERT_TRUE(runningLogUpdate(0, twoAnalyses()));
  writeFile(dir_.file("demo0.lock"), "marker\n");
  EXPECT_TRUE(runningLogUpdate(0, twoAnalyses()));
  EXPECT_EQ(readFile(dir_.file("demo0.lock")), "marker\n");
  // A lock file that has gone is written again.
  ASSERT_TRUE(platform::removeFile(dir_.file("demo0.lock")));
  EXPECT_TRUE(runningLogUpdate(0, twoAnalyses()));
  EXPECT_EQ(readFile(dir_.file("demo0.lock")),
            "solve\n12.1, 13.1, 14.2\npost\n\n*INPROGRESS\n12,13,14,\n" + owner());

  writeFile(dir_.file("demo1.lock"), "Lock File for Agent #: 1\n");
  EXPECT_TRUE(runningLogUpdate(1, twoAnalyses()));
  EXPECT_EQ(readFile(dir_.file("demo1.lock")), "Lock File for Agent #: 1\n");
  // No lock file at all (check-performance mode): none is created.
  EXPECT_TRUE(runningLogUpdate(2, twoAnalyses()));
  EXPECT_FALSE(platform::pathExists(dir_.file("demo2.lock")));
}

TEST_F(RunningLogTest, UnwritableLockFileIsTriedFiveTimesThenWarnedUnlessALaterAttemptWrites) {
  // The lock file of agent 0 as if the study folder had gone away under the run.
  run.workingDirectory = dir_.file("gone");
  workingDirectoryState.lockFiles.push_back(agentFileName(0, ".lock"));
  int pauses = 0;
  EXPECT_FALSE(runningLogUpdate(0, twoAnalyses(), [&](int failed) {
    ++pauses;
    EXPECT_EQ(failed, pauses);
  }));
  EXPECT_EQ(pauses, kRunningLogAttempts - 1);
  EXPECT_EQ(messages(), "*WARNING\nError in writing the running analyses log to the KARVO lock "
                        "file:\n" + dir_.file("gone") + "/demo0.lock.\n\n");

  const std::string folder = dir_.file("late");
  RunningLogWrite result = runningLogWriteFile(folder + "/demo0.lock", "a\n", [&](int failed) {
    if (failed == 2) {
      ASSERT_TRUE(platform::makeDirectory(folder));
    }
  });
  EXPECT_TRUE(result.written);
  EXPECT_EQ(result.attempts, 3);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(readFile(folder + "/demo0.lock"), "a\n");
}

}  // namespace
}  // namespace karvo
