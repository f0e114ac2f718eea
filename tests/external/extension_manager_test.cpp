// The extension manager and the application-access object, through their interfaces:
// creation, job objects of the job-controller library, portals by type, distributions, the
// settings look-up and remote commands wrapped through the remote profile.
#include "external/extension_manager.h"

#include <gtest/gtest.h>

#include "definitions/study.h"
#include "definitions/variables.h"
#include "base/run_state.h"
#include "driver/working_directory.h"
#include "evaluation/app_access.h"
#include "external/portal.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

class ExtensionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRunState();
    resetWorkingDirectoryState();
    resetDefinitions();
    resetStudy();
    run.workingDirectory = dir.path();
    workingDirectoryState.installationRoot = dir.path();
  }
  void TearDown() override {
    ExtensionManager::release();
    resetDefinitions();
    resetStudy();
    resetWorkingDirectoryState();
    resetRunState();
  }
  TempDir dir;
  solverAppAccess access;
};

TEST_F(ExtensionManagerTest, CreationReleaseAndPortalsByType) {
  workingDirectoryState.installationRoot = dir.file("missing");
  std::string error;
  EXPECT_EQ(ExtensionManager::instance(&access, &error), nullptr);
  EXPECT_EQ(error, "the installation folder \"" + dir.file("missing") +
                       "\" (KARVO_ROOT) is not a folder");
  EXPECT_EQ(ExtensionManager::current(), nullptr);

  workingDirectoryState.installationRoot = dir.path();
  ExtensionManager* manager = ExtensionManager::instance(&access, &error);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(ExtensionManager::instance(nullptr), manager);  // one manager per process
  // Every analysis type without a portal of its own gets the General one.
  Portal* general = manager->portal("General");
  ASSERT_NE(general, nullptr);
  EXPECT_EQ(manager->portal("LS-Something"), general);
  EXPECT_EQ(manager->portalName("anything"), "General");
  ExtensionManager::release();
  EXPECT_EQ(ExtensionManager::current(), nullptr);
}

TEST_F(ExtensionManagerTest, RemoteDirectJobRunsThroughTheRemoteProfile) {
  // A fake ssh records its arguments and runs the remote command locally.
  writeFile(dir.file("fake-ssh"),
            "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/ssh-args\"\n"
            "for last; do :; done\nexec /bin/sh -c \"$last\"\n");
  ASSERT_EQ(testing::runShell("chmod +x fake-ssh", dir.path()).status, 0);
  ExtensionManager* manager = ExtensionManager::instance(&access);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->library("Unknown"), nullptr);
  ExtensionLibrary* jobs = manager->library("JobController");
  ASSERT_NE(jobs, nullptr);
  EXPECT_EQ(jobs->createObject(2), nullptr);  // job objects are of kind 3 only
  std::unique_ptr<Job> job = jobs->createObject(kJobObjectKind);
  ASSERT_NE(job, nullptr);

  PropertiesMap launch;
  launch.setValue("exec_cmd", "exit 3");
  launch.setValue("analysis_dir", dir.path());
  launch.setValue("job_script", "Execute_remote_Analysis.sh");
  launch.setValue("resource_block",
                  "name: remoteNode\ntype: Direct\njobRemote: yes\njobRemoteProfile: cluster\n");
  launch.setValue("remote_block", "name: cluster\nplatform: Linux\nhost: node1\nusername: eng\n"
                                  "SSHcmd: " + dir.file("fake-ssh") + "\n");
  ASSERT_TRUE(job->submit(launch)) << job->lastError();
  ASSERT_TRUE(job->finished(true));
  EXPECT_EQ(job->exitCode(), 3);
  EXPECT_EQ(readFile(dir.file("ssh-args")), "-n\n-o\nBatchMode=yes\neng@node1\nexit 3\n");
}

TEST_F(ExtensionManagerTest, SettingsByName) {
  bool found = false;
  EXPECT_EQ(access.setting("verbose", found), "false");
  EXPECT_TRUE(found);
  run.settings.verbose = 1;
  EXPECT_EQ(access.setting("verbose", found), "true");
  study.options.scriptingVerbose = 1;
  EXPECT_EQ(access.setting("scriptverbose", found), "true");

  platform::setEnv("QOR_LICENSE_SERVER", "27000@lic");
  EXPECT_EQ(access.setting("env/LICENSE_SERVER", found), "27000@lic");
  EXPECT_TRUE(found);
  platform::unsetEnv("QOR_LICENSE_SERVER");
  EXPECT_EQ(access.setting("env/LICENSE_SERVER", found), "");

  definitions.options.push_back({"solverVersion", "R12"});
  EXPECT_EQ(access.setting("solverVersion", found), "R12");
  EXPECT_TRUE(found);
  EXPECT_EQ(access.setting("noSuchOption", found), "");
  EXPECT_FALSE(found);
}

}  // namespace
}  // namespace karvo
