// Remote machine profile: exact command texts for Linux, Windows, Cygwin and PuTTY profiles,
// the failures of unusable profiles and bad copies, and proof by real /bin/sh runs (with fake
// ssh and scp programs that record their arguments) that nothing in a path or a command can
// break out of its quoting.
#include "external/remote_profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/damaged_bytes.h"
#include "support/test_support.h"

namespace karvo {
namespace {

using testing::linesOf;
using testing::readFile;
using testing::runShell;
using testing::TempDir;
using testing::writeFile;

using Entries = std::initializer_list<std::pair<const char*, std::string>>;

// A profile of `entries`, then `changes`.
PropertiesMap makeProfile(Entries entries, Entries changes = {}) {
  PropertiesMap profile;
  for (const Entries& list : {entries, changes})
    for (const auto& [key, value] : list) profile.setValue(key, value);
  return profile;
}

PropertiesMap linuxProfile(Entries changes = {}) {
  return makeProfile(
      {{"name", "hpc"}, {"platform", "Linux"}, {"host", "hpc1.example.org"}, {"username", "ana"}},
      changes);
}

PropertiesMap windowsProfile(Entries changes = {}) {
  return makeProfile(
      {{"name", "win"}, {"platform", "Windows"}, {"host", "winbox"}, {"username", "bo"}}, changes);
}

std::string copy(RemoteProfile& profile, const std::string& source, const std::string& target,
                 bool toRemote, const CopySettings& settings = {}) {
  bool status = false;
  std::string text = profile.generateCopyCommand(source, target, toRemote, settings, status);
  EXPECT_TRUE(status) << profile.getLastErrorMsg();
  EXPECT_EQ(profile.getLastErrorMsg(), "");
  return text;
}

std::string execute(RemoteProfile& profile, const std::string& command) {
  bool status = false;
  std::string text = profile.generateExecutionCommand(command, status);
  EXPECT_TRUE(status) << profile.getLastErrorMsg();
  return text;
}

// The reason the execution command for `command` is refused (and that it is).
std::string executionRefusal(RemoteProfile& profile, const std::string& command) {
  bool status = true;
  EXPECT_EQ(profile.generateExecutionCommand(command, status), "");
  EXPECT_FALSE(status);
  return profile.getLastErrorMsg();
}

// Both generate calls fail with `message` and an empty text.
void expectUnusable(RemoteProfile& profile, const std::string& message) {
  EXPECT_EQ(executionRefusal(profile, "ls"), message);
  bool status = true;
  EXPECT_EQ(profile.generateCopyCommand("/a", "/b", true, {}, status), "");
  EXPECT_FALSE(status);
  EXPECT_EQ(profile.getLastErrorMsg(), message);
  EXPECT_FALSE(profile.usable());
}

// ---------------------------------------------------------------------------------------
// Linux remote machines

// One profile of the defaults: execution, copies both ways, and paths with blanks, wildcards
// and lookalikes.
TEST(RemoteProfileLinux, ExecutionAndCopyTexts) {
  RemoteProfile profile(linuxProfile(), nullptr);
  EXPECT_EQ(execute(profile, "cd /scratch/run && ./solve.sh > log.txt"),
            "ssh -n -o BatchMode=yes ana@hpc1.example.org 'cd /scratch/run && ./solve.sh > "
            "log.txt'");
  // A command starting with "-" must not become an option of ssh.
  EXPECT_EQ(execute(profile, "-x"), "ssh -n -o BatchMode=yes ana@hpc1.example.org ' -x'");
  EXPECT_EQ(copy(profile, "/scratch/s/results", "/work/s/results", false,
                 {{"type", "folder"}, {"preserve", "yes"}}),
            "scp -s -o BatchMode=yes -r -p ana@hpc1.example.org:/scratch/s/results "
            "/work/s/results");
  EXPECT_EQ(copy(profile, "/work/s/inputs", "/scratch/s", true,
                 {{"recursive", "true"}, {"type", "file"}, {"unrelated", "x"}}),
            "scp -s -o BatchMode=yes -r /work/s/inputs ana@hpc1.example.org:/scratch/s");
  EXPECT_EQ(copy(profile, "/work/my study/a b.k", "/scratch/my study/a b.k", true),
            "scp -s -o BatchMode=yes '/work/my study/a b.k' "
            "'ana@hpc1.example.org:/scratch/my study/a b.k'");
  // A remote source is globbed by the SFTP client: its wildcards are escaped.
  EXPECT_EQ(copy(profile, "/scratch/run[1]/out*.txt", "/work/out.txt", false),
            "scp -s -o BatchMode=yes 'ana@hpc1.example.org:/scratch/run\\[1\\]/out\\*.txt' "
            "/work/out.txt");
  // A remote target is taken literally.
  EXPECT_EQ(copy(profile, "/work/x", "/scratch/a*b", true),
            "scp -s -o BatchMode=yes /work/x 'ana@hpc1.example.org:/scratch/a*b'");
  // Local operands that scp would read as an option or as host:path.
  EXPECT_EQ(copy(profile, "-rf", "/scratch/x", true),
            "scp -s -o BatchMode=yes ./-rf ana@hpc1.example.org:/scratch/x");
  EXPECT_EQ(copy(profile, "/scratch/x", "a:b.txt", false),
            "scp -s -o BatchMode=yes ana@hpc1.example.org:/scratch/x ./a:b.txt");
  // Backslashes of paths made on Windows become separators.
  EXPECT_EQ(copy(profile, "/work/a", "\\scratch\\KARVO_0\\Design1", true),
            "scp -s -o BatchMode=yes /work/a ana@hpc1.example.org:/scratch/KARVO_0/Design1");
  EXPECT_EQ(profile.getOSFilePath("KARVO_0\\Design1/a.k"), "KARVO_0/Design1/a.k");
}

TEST(RemoteProfileLinux, PortKeyAndNoUser) {
  RemoteProfile profile(
      linuxProfile({{"port", "2222"}, {"privateKey", "/home/ana/.ssh/id ed25519"}}), nullptr);
  EXPECT_EQ(execute(profile, "ls"),
            "ssh -n -o BatchMode=yes -p 2222 -i '/home/ana/.ssh/id ed25519' ana@hpc1.example.org "
            "ls");
  EXPECT_EQ(copy(profile, "/work/a.k", "/scratch/a.k", true),
            "scp -s -o BatchMode=yes -P 2222 -i '/home/ana/.ssh/id ed25519' /work/a.k "
            "ana@hpc1.example.org:/scratch/a.k");

  RemoteProfile noUser(makeProfile({{"name", "n"}, {"platform", "Linux"}, {"host", "10.0.0.7"}}),
                       nullptr);
  EXPECT_EQ(execute(noUser, "ls"), "ssh -n -o BatchMode=yes 10.0.0.7 ls");
  RemoteProfile ipv6(makeProfile({{"name", "n"}, {"platform", "Linux"}, {"host", "fe80::1"}}),
                     nullptr);
  EXPECT_EQ(execute(ipv6, "ls"), "ssh -n -o BatchMode=yes fe80::1 ls");
  EXPECT_EQ(copy(ipv6, "/a", "/b", true), "scp -s -o BatchMode=yes /a '[fe80::1]:/b'");
}

TEST(RemoteProfileLinux, CommandProgramsFromTheProfile) {
  RemoteProfile profile(linuxProfile({{"SSHcmd", "ssh -F '/etc/karvo/ssh config'"},
                                      {"SCPcmd", "\"/opt/my tools/scp\" -l 8000"},
                                      {"remotePath", "\\scratch\\studies"}}),
                        nullptr);
  EXPECT_EQ(execute(profile, "ls"),
            "ssh -F '/etc/karvo/ssh config' -n -o BatchMode=yes ana@hpc1.example.org ls");
  EXPECT_EQ(copy(profile, "/a", "/b", true),
            "'/opt/my tools/scp' -l 8000 -s -o BatchMode=yes /a ana@hpc1.example.org:/b");
  EXPECT_EQ(profile.remotePath(), "/scratch/studies");

  std::vector<std::string> words;
  EXPECT_TRUE(remote::splitCommandWords("a \"b \\\" c\" 'd e'f  ", words));
  EXPECT_EQ(words, (std::vector<std::string>{"a", "b \" c", "d ef"}));
  EXPECT_FALSE(remote::splitCommandWords("a \"b", words));
  // As the program word, an assignment or a reserved word would change the command.
  EXPECT_EQ(remote::quoteShellWord("a=b", true), "'a=b'");
  EXPECT_EQ(remote::quoteShellWord("if", true), "'if'");
}

// ---------------------------------------------------------------------------------------
// Windows remote machines

// Paths with backslashes, copies with forward slashes, commands wrapped for cmd.exe, and the
// commands and arguments cmd.exe cannot take.
TEST(RemoteProfileWindows, PathsCopiesCommandsAndArguments) {
  RemoteProfile profile(windowsProfile(), nullptr);
  EXPECT_FALSE(profile.posixShell());
  EXPECT_EQ(profile.getOSFilePath("C:/work/study/KARVO_0/Design1"),
            "C:\\work\\study\\KARVO_0\\Design1");
  EXPECT_EQ(copy(profile, "/work/a.k", "C:\\work\\my study\\a.k", true),
            "scp -s -o BatchMode=yes /work/a.k 'bo@winbox:C:/work/my study/a.k'");
  EXPECT_EQ(copy(profile, "C:\\work\\out\\res*.txt", "/work/res.txt", false),
            "scp -s -o BatchMode=yes 'bo@winbox:C:/work/out/res\\*.txt' /work/res.txt");

  EXPECT_EQ(execute(profile, "dir"), "ssh -n -o BatchMode=yes bo@winbox 'cmd /d /s /c \"dir\"'");
  // Special characters inside the command's quotes get carets for the outer cmd.exe;
  // redirections outside them stay for the inner one.
  EXPECT_EQ(execute(profile, "\"C:\\work\\my study\\run.cmd\" \"a&b (1)\" > log.txt"),
            "ssh -n -o BatchMode=yes bo@winbox 'cmd /d /s /c \"\"C:\\work\\my study\\run.cmd\" "
            "\"a^&b ^(1^)\" > log.txt\"'");
  EXPECT_EQ(execute(profile, "echo it's"),
            "ssh -n -o BatchMode=yes bo@winbox 'cmd /d /s /c \"echo it'\\''s\"'");
  EXPECT_EQ(executionRefusal(profile, "\"C:\\a b\\run.cmd"),
            "The command to run on the Windows machine \"win\" has an odd number of double quotes "
            "and cannot be passed to cmd.exe safely: \"C:\\a b\\run.cmd");
  EXPECT_EQ(executionRefusal(profile, "dir\ndel x"),
            "The command to run on the Windows machine \"win\" contains a line break, which "
            "cmd.exe would cut off: dir\ndel x");

  bool status = false;
  EXPECT_EQ(profile.quoteRemoteArgument("plain.txt", status), "plain.txt");
  EXPECT_TRUE(status);
  EXPECT_EQ(profile.quoteRemoteArgument("a&b", status), "\"a&b\"");
  EXPECT_EQ(profile.quoteRemoteArgument("", status), "\"\"");
  EXPECT_EQ(profile.quoteRemoteArgument("C:\\my dir\\", status), "\"C:\\my dir\\\\\"");
  EXPECT_EQ(profile.quoteRemoteArgument("a\"b", status), "");
  EXPECT_FALSE(status);
  EXPECT_EQ(profile.getLastErrorMsg(),
            "The argument \"a\"b\" for the Windows machine \"win\" contains a double quote or a "
            "control character, which cmd.exe cannot pass as one argument.");
}

TEST(RemoteProfileWindows, CygwinShellAndPaths) {
  RemoteProfile profile(windowsProfile({{"useCygwin", "yes"}, {"cygwinRoot", "C:\\cygwin64\\"}}),
                        nullptr);
  EXPECT_TRUE(profile.posixShell());
  EXPECT_EQ(profile.getOSFilePath("C:\\cygwin64\\home\\bo\\run"), "/home/bo/run");
  EXPECT_EQ(profile.getOSFilePath("c:\\CYGWIN64"), "/");
  EXPECT_EQ(profile.getOSFilePath("C:\\cygwin64x\\a"), "/cygdrive/c/cygwin64x/a");
  EXPECT_EQ(profile.getOSFilePath("/tmp/x"), "/tmp/x");
  EXPECT_EQ(execute(profile, "cd /tmp && ls"), "ssh -n -o BatchMode=yes bo@winbox 'cd /tmp && ls'");
  EXPECT_EQ(copy(profile, "/work/a", "D:\\data\\a", true),
            "scp -s -o BatchMode=yes /work/a bo@winbox:/cygdrive/d/data/a");
  // useCygwin means nothing on a Linux machine.
  RemoteProfile onLinux(linuxProfile({{"useCygwin", "yes"}}), nullptr);
  EXPECT_EQ(onLinux.getOSFilePath("C:\\a"), "C:/a");
}

// ---------------------------------------------------------------------------------------
// PuTTY programs

TEST(RemoteProfilePutty, OptionStyle) {
  RemoteProfile profile(
      linuxProfile({{"SSHclient", "PuTTY"}, {"port", "2222"}, {"privateKey", "/home/ana/k.ppk"}}),
      nullptr);
  EXPECT_EQ(execute(profile, "ls"),
            "plink -batch -P 2222 -i /home/ana/k.ppk ana@hpc1.example.org ls");
  EXPECT_EQ(copy(profile, "/w/dir", "/s/dir", true, {{"type", "folder"}}),
            "pscp -batch -sftp -P 2222 -i /home/ana/k.ppk -r /w/dir ana@hpc1.example.org:/s/dir");

  // Without SSHclient the style follows the program named.
  RemoteProfile derived(linuxProfile({{"SSHcmd", "/usr/bin/plink"}}), nullptr);
  EXPECT_EQ(execute(derived, "ls"), "/usr/bin/plink -batch ana@hpc1.example.org ls");
  EXPECT_EQ(copy(derived, "/a", "/b", true), "pscp -batch -sftp /a ana@hpc1.example.org:/b");
}

// ---------------------------------------------------------------------------------------
// Unusable profiles and bad requests

TEST(RemoteProfileFailures, ProfileDefinitionErrors) {
  auto with = [](const char* key, const std::string& value) {
    return linuxProfile({{key, value}});
  };
  PropertiesMap noHost = linuxProfile();
  noHost.erase("host");
  const std::string prefix = "Error in the definition of the remote machine \"hpc\". ";
  const std::pair<PropertiesMap, std::string> cases[] = {
      {noHost, prefix + "The host is not defined."},
      {with("platform", "Solaris"),
       "Error in the definition of the platform for the remote machine \"hpc\". The valid "
       "options are \"Windows\", \"Linux\" or \"Rescale\", found \"Solaris\"."},
      {with("platform", "Rescale"),
       "The remote machine \"hpc\" is on the Rescale cloud platform. This solver has no access "
       "to cloud platforms, so no copy or execution commands can be made for it."},
      {with("host", "-oProxyCommand=touch x"),
       prefix + "The host \"-oProxyCommand=touch x\" is not a valid host name. Only letters, "
                "digits, '.', '-', '_' and ':' are allowed, and the name cannot start with '-'."},
      {with("username", "-lroot"),
       prefix + "The user name \"-lroot\" is not valid. It cannot start with '-' nor contain "
                "blanks, control characters, ':' or '/'."},
      {with("port", "65536"),
       prefix + "The port \"65536\" is outside the expected range [1, 65535]."},
      {with("SSHcmd", "ssh -F '/etc/x"),
       prefix + "The value of \"SSHcmd\" has an unbalanced quote: ssh -F '/etc/x"},
      {with("useCygwin", "maybe"),
       prefix + "The value \"maybe\" of \"useCygwin\" is not valid. The valid values are "
                "\"true\", \"yes\", \"1\", \"false\", \"no\" or \"0\"."},
  };
  for (const auto& [properties, message] : cases) {
    RemoteProfile profile(properties, nullptr);
    SCOPED_TRACE(message);
    expectUnusable(profile, message);
  }
  // The edge values of the port are accepted.
  RemoteProfile lowest(with("port", "1"), nullptr);
  RemoteProfile highest(with("port", "65535"), nullptr);
  EXPECT_TRUE(lowest.usable());
  EXPECT_TRUE(highest.usable());
}

TEST(RemoteProfileFailures, BadCopyRequests) {
  RemoteProfile profile(linuxProfile(), nullptr);
  auto failure = [&profile](const std::string& source, const std::string& target,
                            const CopySettings& settings) {
    bool status = true;
    EXPECT_EQ(profile.generateCopyCommand(source, target, true, settings, status), "");
    EXPECT_FALSE(status);
    return profile.getLastErrorMsg();
  };
  EXPECT_EQ(failure("", "/b", {}),
            "The source path of the copy for the remote machine \"hpc\" is empty.");
  EXPECT_EQ(failure("/a\nb", "/b", {}),
            "The source path \"/a\nb\" of the copy for the remote machine \"hpc\" contains a "
            "control character (line break, tab or similar), which is not allowed in a path.");
  EXPECT_EQ(failure("/a", std::string(2056, 'x'), {}),
            "The target path of the copy for the remote machine \"hpc\" is 2056 bytes long, more "
            "than the limit of 2055 bytes.");
  EXPECT_EQ(failure("/a", "/b", {{"recursive", "perhaps"}}),
            "The copy setting \"recursive\" has the value \"perhaps\". The valid values are "
            "\"true\", \"yes\", \"1\", \"false\", \"no\" or \"0\".");
  // A successful call clears the reason of the failed one (copy() checks it).
  copy(profile, "/a", "/b", true);

  EXPECT_EQ(executionRefusal(profile, "  "),
            "The command to run on the remote machine \"hpc\" is empty.");
}

// ---------------------------------------------------------------------------------------
// Real shell runs: fake ssh and scp record their arguments one per line; the fake ssh then
// runs its last argument with /bin/sh, as sshd does with the login shell.

class RemoteProfileShell : public ::testing::Test {
 protected:
  void SetUp() override {
    tools_ = dir_.path() + "/fake tools";
    std::filesystem::create_directories(tools_);
    std::filesystem::create_directories(dir_.path() + "/remote");
    writeTool("ssh", "cd '" + dir_.path() + "/remote' && exec /bin/sh -c \"$last\"\n");
    writeTool("scp", "");
  }

  void writeTool(const std::string& name, const std::string& tail) {
    std::string log = dir_.path() + "/" + name + ".args";
    std::string script = "#!/bin/sh\n: > '" + log +
                         "'\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + log +
                         "'; last=$a; done\n" + tail;
    writeFile(tools_ + "/" + name, script);
    std::filesystem::permissions(tools_ + "/" + name, std::filesystem::perms::owner_all);
  }

  PropertiesMap profileWithFakes(PropertiesMap properties) {
    properties.setValue("SSHcmd", "'" + tools_ + "/ssh'");
    properties.setValue("SCPcmd", "\"" + tools_ + "/scp\"");
    return properties;
  }

  std::vector<std::string> recorded(const std::string& name) {
    return linesOf(readFile(dir_.path() + "/" + name + ".args"));
  }

  TempDir dir_{"karvo-remote"};
  std::string tools_;
};

const std::string kNastyLocal = "/work/it's \"q\" $HOME; x `touch pwned` & y|z";
const std::string kNastyRemote = "/scratch/a b/$(touch pwned);'`id`'";

TEST_F(RemoteProfileShell, CopyArgumentsArriveExactly) {
  RemoteProfile profile(profileWithFakes(linuxProfile()), nullptr);
  auto result =
      runShell(copy(profile, kNastyLocal, kNastyRemote, true, {{"type", "folder"}}), dir_.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(recorded("scp"),
            (std::vector<std::string>{"-s", "-o", "BatchMode=yes", "-r", kNastyLocal,
                                      "ana@hpc1.example.org:" + kNastyRemote}));

  result = runShell(copy(profile, kNastyRemote, "-" + kNastyLocal.substr(1), false), dir_.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(recorded("scp"),
            (std::vector<std::string>{"-s", "-o", "BatchMode=yes",
                                      "ana@hpc1.example.org:/scratch/a b/$(touch pwned);'`id`'",
                                      "./-work/it's \"q\" $HOME; x `touch pwned` & y|z"}));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/pwned"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/remote/pwned"));
}

TEST_F(RemoteProfileShell, RemoteCommandWordsSurviveBothShells) {
  RemoteProfile profile(profileWithFakes(linuxProfile()), nullptr);
  std::vector<std::string> words = {"a b", "it's",   "$HOME",          "`touch pwned`",
                                    "x;y", "\"dq\"", "back\\slash",    "*",
                                    "",    "-n",     "$(touch pwned)", "a&b|c"};
  bool status = false;
  std::string command = "printf '%s\\n'";
  for (const std::string& word : words) {
    command += " " + profile.quoteRemoteArgument(word, status);
    ASSERT_TRUE(status);
  }
  command += " > " + profile.quoteRemoteArgument("out file.txt", status);
  std::string local = execute(profile, command);

  auto result = runShell(local, dir_.path());
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<std::string> args = recorded("ssh");
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(args[3], "ana@hpc1.example.org");
  EXPECT_EQ(args[4], command);  // the remote shell gets the command exactly as built
  EXPECT_EQ(linesOf(readFile(dir_.path() + "/remote/out file.txt")), words);
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/pwned"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/remote/pwned"));
}

}  // namespace
}  // namespace karvo
