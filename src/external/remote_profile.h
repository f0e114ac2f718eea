// The remote machine profile: turns a `*DEFINE_REMOTE_MACHINE` record into the command texts
// that copy files to and from a remote machine and run commands on it over SSH.
//
// Role. The evaluation flow runs analyses on remote machines by handing command texts to the
// job controller, which starts them locally with /bin/sh. A RemoteProfile is made once per
// remote resource from the profile's properties; it never runs anything itself. Every text
// it produces is built from quoted words, so blanks, quotes, "$", ";" and backticks in paths,
// user names or commands reach the far side as data, never as shell syntax.
//
// Quoting layers of an execution command (local side always Linux):
//   1. the local /bin/sh parses the whole text: every word, the remote command included, is
//      single-quoted where needed, so ssh receives the remote command as ONE argument;
//   2. the remote side parses that argument again:
//        Linux (and Windows with useCygwin) - the login shell, which must be a POSIX shell;
//          the command is delivered verbatim, so it is written in that shell's syntax
//          (callers quote their own words with quoteRemoteArgument);
//        Windows - OpenSSH Server with its default shell cmd.exe; the command is wrapped as
//          cmd /d /s /c "<command>" with carets added where the outer cmd.exe would otherwise
//          act on characters that the command holds inside its own double quotes.
//
// Copies use scp (or pscp) over the SFTP protocol, so remote paths are never parsed by a
// remote shell: a remote target is taken literally, a remote source has its wildcard
// characters escaped. Local operands that scp could mistake for an option or a "host:path"
// are prefixed with "./".
//
// Failures are reported by return value: a status flag set to false, an empty text, and a
// reason kept for getLastErrorMsg. A profile that is unusable as a whole (Rescale platform,
// no host, bad port...) fails every generate call with the same reason.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/properties_map.h"
#include "external/app_access.h"

namespace karvo {

// The solver's application-access object (owned by the evaluation flow); only stored here.

enum class RemotePlatform {
  kLinux,    // POSIX shell on the far side, "/" separators
  kWindows,  // cmd.exe on the far side, "\" separators (POSIX shell with useCygwin)
  kRescale,  // cloud platform: no commands can be made on this solver
};

// Option style of the SSH programs.
enum class SshClientStyle {
  kOpenSsh,  // ssh/scp: -n, -o BatchMode=yes, -p/-P port, -s (SFTP protocol for scp)
  kPutty,    // plink/pscp: -batch, -P port, -sftp
};

// The profile as read from its properties; plain data, filled by remote::readMachine.
struct RemoteMachine {
  std::string name;  // "name"; "Name not defined" in messages when empty
  RemotePlatform platform = RemotePlatform::kLinux;  // "platform": Linux, Windows or Rescale
  std::string host;                     // "host": letters, digits, . - _ : ; not starting with -
  std::string username;                 // "username"; empty: the SSH program's default user
  std::string port;                     // "port": decimal 1..65535; empty: the default port 22
  std::string privateKey;               // "privateKey": local key file given with -i; may be empty
  std::vector<std::string> sshCommand;  // "SSHcmd" split into words; default "ssh" / "plink"
  std::vector<std::string> scpCommand;  // "SCPcmd" split into words; default "scp" / "pscp"
  SshClientStyle style = SshClientStyle::kOpenSsh;  // "SSHclient", else from the program name
  bool useCygwin = false;       // "useCygwin" (Windows only): far-side shell is POSIX
  std::string cygwinRoot;       // "cygwinRoot": Windows folder mounted as "/" by Cygwin
  std::string remotePath;       // "remotePath": remote root folder of studies, as given
  std::string definitionError;  // empty when usable; else the reason every call fails
};

// Settings honoured by generateCopyCommand (other keys are ignored):
//   "type"      "file" (default) or "folder"; a folder is copied with everything in it
//   "recursive" "true"/"yes"/"1" or "false"/"no"/"0": copy a folder with everything in it
//   "preserve"  same words: keep modification times and modes (-p)
using CopySettings = std::map<std::string, std::string>;

namespace remote {

// Reads the profile record. Never fails: problems are kept in definitionError.
RemoteMachine readMachine(const PropertiesMap& profile);

// Single-quotes `word` for /bin/sh when it holds anything beyond letters, digits and
// _ @ % + = : , . / -; an empty word becomes ''. With `commandWord`, a word that sh would
// take as an assignment or a reserved word is quoted too.
std::string quoteShellWord(const std::string& word, bool commandWord = false);

// Splits a command value such as "ssh -F '/etc/my config'" into words: blanks separate,
// '...' and "..." group (inside "...", \" and \\ stand for " and \). False on an unbalanced
// quote.
bool splitCommandWords(const std::string& text, std::vector<std::string>& words);

// The path in the remote platform's form: "/" separators for Linux and Rescale, "\" for
// Windows; with useCygwin, Windows paths become Cygwin paths ("C:\a" -> "/cygdrive/c/a", the
// cygwinRoot folder -> "/"). Relative paths stay relative (to the login folder).
std::string convertPath(const RemoteMachine& machine, const std::string& path);

}  // namespace remote

// Boundary object of one remote machine. Non-copyable; made once per remote compute resource.
class RemoteProfile {
 public:
  // `profile`: the `*DEFINE_REMOTE_MACHINE` properties (see docs/remote-machines.md);
  // `application`: the solver's application-access object, stored for the job controller.
  RemoteProfile(const PropertiesMap& profile, IApplicationAccess* application);
  virtual ~RemoteProfile();
  RemoteProfile(const RemoteProfile&) = delete;
  RemoteProfile& operator=(const RemoteProfile&) = delete;

  // Command that copies `source` to `target`. `toRemote` true: source is a local path and
  // target a remote one (upload); false: source remote, target local (download). Returns the
  // text for /bin/sh and sets `status` to true; on failure returns "" with `status` false.
  virtual std::string generateCopyCommand(const std::string& source, const std::string& target,
                                          bool toRemote, const CopySettings& settings,
                                          bool& status);

  // Command that runs `command` on the remote machine (see the quoting layers above).
  // Returns the text for /bin/sh; failures as for generateCopyCommand.
  virtual std::string generateExecutionCommand(const std::string& command, bool& status);

  // The path in the remote platform's form (remote::convertPath).
  virtual std::string getOSFilePath(const std::string& path) const;

  // Reason of the last failed generate call; "" after a successful one.
  virtual std::string getLastErrorMsg() const;

  // One word quoted for the far-side shell, for callers that build remote commands: sh
  // quoting for POSIX shells, double quotes for cmd.exe (a word holding a double quote or a
  // control character cannot be passed to cmd.exe and fails). Failures as above.
  std::string quoteRemoteArgument(const std::string& word, bool& status);

  bool usable() const { return machine_.definitionError.empty(); }
  const RemoteMachine& machine() const { return machine_; }
  // True when the far-side shell is a POSIX shell (Linux, or Windows with useCygwin).
  bool posixShell() const;
  // The remote root folder of studies in the remote form ("" when not given).
  std::string remotePath() const { return getOSFilePath(machine_.remotePath); }
  const PropertiesMap& profile() const { return profile_; }
  IApplicationAccess* application() const { return application_; }

 private:
  // Keeps `reason`, sets `status` to false and answers the empty text of a failed call.
  std::string fail(const std::string& reason, bool& status);

  PropertiesMap profile_;         // the record as given, for the job controller
  RemoteMachine machine_;         // what this class reads from it
  IApplicationAccess* application_;  // not owned; may be null in tests
  std::string lastError_;         // reason of the last failed call
};

}  // namespace karvo
