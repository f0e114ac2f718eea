// Remote machine profile: reads a `*DEFINE_REMOTE_MACHINE` record once per remote resource and
// builds ssh/scp command texts from it. A run makes a few of these commands per remote
// analysis (copies, chmod, dos2unix, the script itself): plain string work, no I/O.
#include "external/remote_profile.h"

#include "base/text.h"

#include <cctype>
#include <cstring>

#include "base/messages.h"
#include "platform/platform.h"

namespace karvo {

namespace {

constexpr const char* kNameNotDefined = "Name not defined";

std::string property(const PropertiesMap& profile, const char* key) {
  return profile.has(key) ? trimmed(profile.value(key)) : std::string();
}

// The boolean words of definition files, in any letter case. False when `text` is none.
bool parseFlagWord(const std::string& text, bool& value) {
  const std::string word = lowerCase(trimmed(text));
  if (word.empty()) {  // not given
    value = false;
    return true;
  }
  return parseFlag(word, value);
}

bool hasControlCharacter(const std::string& text, bool allowTab) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u == '\t' && allowTab) continue;
    if (u < 0x20 || u == 0x7F) return true;
  }
  return false;
}

std::string replaceAll(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
  return text;
}

// Last path element of a program word, without a ".exe" ending, in lower case.
std::string programBaseName(const std::string& program) {
  std::string base = program;
  std::size_t slash = base.find_last_of("/\\");
  if (slash != std::string::npos) base = base.substr(slash + 1);
  base = lowerCase(base);
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".exe") == 0) {
    base.resize(base.size() - 4);
  }
  return base;
}

bool validHost(const std::string& host) {
  if (host.empty() || host[0] == '-') return false;
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' &&
        c != ':') {
      return false;
    }
  }
  return true;
}

bool validUserName(const std::string& user) {
  if (user[0] == '-') return false;
  for (char c : user) {
    if (c == ' ' || c == ':' || c == '/') return false;
  }
  return !hasControlCharacter(user, false);
}

bool validPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  int value = std::stoi(port);
  return value >= 1 && value <= 65535;
}

// "C:\cygwin64\home\a" with root "C:\cygwin64" -> "/home/a"; "D:\x" -> "/cygdrive/d/x".
std::string cygwinPath(const RemoteMachine& machine, const std::string& path) {
  std::string posix = replaceAll(path, '\\', '/');
  std::string root = replaceAll(machine.cygwinRoot, '\\', '/');
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (!root.empty() && posix.size() >= root.size() &&
      lowerCase(posix.substr(0, root.size())) == lowerCase(root) &&
      (posix.size() == root.size() || posix[root.size()] == '/')) {
    std::string rest = posix.substr(root.size());
    return rest.empty() ? "/" : rest;
  }
  if (posix.size() >= 2 && std::isalpha(static_cast<unsigned char>(posix[0])) && posix[1] == ':') {
    std::string drive = "/cygdrive/";
    drive += static_cast<char>(std::tolower(static_cast<unsigned char>(posix[0])));
    std::string rest = posix.substr(2);
    if (rest.empty()) return drive;
    return rest[0] == '/' ? drive + rest : drive + "/" + rest;
  }
  return posix;
}

// Wildcard characters escaped, so that the SFTP glob of a remote source matches the one
// file named and nothing else.
std::string escapeRemoteGlob(const std::string& path) {
  std::string out;
  out.reserve(path.size() + 8);
  for (char c : path) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// A local operand that scp could read as an option ("-x") or as "host:path" ("a:b") gets "./".
std::string localOperand(const std::string& path) {
  if (path[0] == '/') return path;
  std::size_t colon = path.find(':');
  std::size_t slash = path.find('/');
  bool looksRemote = colon != std::string::npos && (slash == std::string::npos || colon < slash);
  return (path[0] == '-' || looksRemote) ? "./" + path : path;
}

// Carets for the cmd.exe that reads "cmd /d /s /c "<command>"": its quote state is the
// opposite of the command's own, so the special characters that the command holds inside
// its double quotes are outside quotes for it and are escaped here. The caret is removed by
// that cmd.exe; the inner cmd.exe sees the command exactly as written.
std::string caretEscapeForOuterCmd(const std::string& command) {
  std::string out;
  out.reserve(command.size() + 8);
  bool insideQuotes = false;
  for (char c : command) {
    if (c == '"') {
      insideQuotes = !insideQuotes;
    } else if (insideQuotes && std::strchr("&|<>^()", c) != nullptr) {
      out += '^';
    }
    out += c;
  }
  return out;
}

std::string joinWords(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += ' ';
    text += remote::quoteShellWord(words[i], i == 0);
  }
  return text;
}

std::string definitionPrefix(const RemoteMachine& machine) {
  return formatText("Error in the definition of the remote machine \"%s\". ",
                    machine.name.empty() ? kNameNotDefined : machine.name.c_str());
}

const char* displayName(const RemoteMachine& machine) {
  return machine.name.empty() ? kNameNotDefined : machine.name.c_str();
}

// Checks a source or target path of a copy; "" when it is acceptable.
std::string checkCopyPath(const RemoteMachine& machine, const char* role, const std::string& path) {
  if (path.empty()) {
    return formatText("The %s path of the copy for the remote machine \"%s\" is empty.", role,
                      displayName(machine));
  }
  if (static_cast<int>(path.size()) > platform::kMaxPath) {
    return formatText(
        "The %s path of the copy for the remote machine \"%s\" is %d bytes long, more than "
        "the limit of %d bytes.",
        role, displayName(machine), static_cast<int>(path.size()), platform::kMaxPath);
  }
  if (hasControlCharacter(path, false)) {
    return formatText(
        "The %s path \"%s\" of the copy for the remote machine \"%s\" contains a control "
        "character (line break, tab or similar), which is not allowed in a path.",
        role, path.c_str(), displayName(machine));
  }
  return "";
}

}  // namespace

namespace remote {

std::string quoteShellWord(const std::string& word, bool commandWord) {
  static const char* const kReservedWords[] = {"case", "do", "done", "elif", "else",  "esac", "fi",
                                               "for",  "if", "in",   "then", "until", "while"};
  bool plain = !word.empty();
  for (char c : word) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr("_@%+=:,./-", c) == nullptr) {
      plain = false;
      break;
    }
  }
  if (plain && commandWord) {
    if (word.find('=') != std::string::npos) plain = false;
    for (const char* reserved : kReservedWords) {
      if (word == reserved) plain = false;
    }
  }
  if (plain) return word;
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool splitCommandWords(const std::string& text, std::vector<std::string>& words) {
  words.clear();
  std::string current;
  bool inWord = false;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(current);
      current.clear();
      inWord = false;
      ++i;
    } else if (c == '\'') {
      std::size_t close = text.find('\'', i + 1);
      if (close == std::string::npos) return false;
      current += text.substr(i + 1, close - i - 1);
      inWord = true;
      i = close + 1;
    } else if (c == '"') {
      ++i;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == '"') {
          closed = true;
          ++i;
          break;
        }
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
          ++i;
        }
        current += text[i];
        ++i;
      }
      if (!closed) return false;
      inWord = true;
    } else {
      current += c;
      inWord = true;
      ++i;
    }
  }
  if (inWord) words.push_back(current);
  return true;
}

std::string convertPath(const RemoteMachine& machine, const std::string& path) {
  if (machine.platform == RemotePlatform::kWindows) {
    return machine.useCygwin ? cygwinPath(machine, path) : replaceAll(path, '/', '\\');
  }
  return replaceAll(path, '\\', '/');
}

RemoteMachine readMachine(const PropertiesMap& profile) {
  RemoteMachine machine;
  machine.name = property(profile, "name");
  machine.host = property(profile, "host");
  machine.username = property(profile, "username");
  machine.port = property(profile, "port");
  machine.privateKey = property(profile, "privateKey");
  machine.cygwinRoot = property(profile, "cygwinRoot");
  machine.remotePath = property(profile, "remotePath");

  std::string platformWord = property(profile, "platform");
  if (platformWord == "Linux") {
    machine.platform = RemotePlatform::kLinux;
  } else if (platformWord == "Windows") {
    machine.platform = RemotePlatform::kWindows;
  } else if (platformWord == "Rescale") {
    machine.platform = RemotePlatform::kRescale;
  } else {
    machine.definitionError = formatText(
        "Error in the definition of the platform for the remote machine \"%s\". The valid "
        "options are \"Windows\", \"Linux\" or \"Rescale\", found \"%s\".",
        displayName(machine), platformWord.c_str());
    return machine;
  }

  bool cygwin = false;
  if (!parseFlagWord(property(profile, "useCygwin"), cygwin)) {
    machine.definitionError =
        definitionPrefix(machine) +
        formatText(
            "The value \"%s\" of \"useCygwin\" is not valid. The valid values are "
            "\"true\", \"yes\", \"1\", \"false\", \"no\" or \"0\".",
            property(profile, "useCygwin").c_str());
    return machine;
  }
  machine.useCygwin = cygwin && machine.platform == RemotePlatform::kWindows;

  const char* commandKeys[2] = {"SSHcmd", "SCPcmd"};
  std::vector<std::string>* commandWords[2] = {&machine.sshCommand, &machine.scpCommand};
  for (int k = 0; k < 2; ++k) {
    std::string value = property(profile, commandKeys[k]);
    if (!splitCommandWords(value, *commandWords[k])) {
      machine.definitionError =
          definitionPrefix(machine) + formatText("The value of \"%s\" has an unbalanced quote: %s",
                                                 commandKeys[k], value.c_str());
      return machine;
    }
  }

  // Option style: as named by "SSHclient", else from the programs given.
  std::string client = lowerCase(property(profile, "SSHclient"));
  if (client == "putty") {
    machine.style = SshClientStyle::kPutty;
  } else if (client == "openssh") {
    machine.style = SshClientStyle::kOpenSsh;
  } else {
    bool putty =
        (!machine.sshCommand.empty() && programBaseName(machine.sshCommand[0]) == "plink") ||
        (!machine.scpCommand.empty() && programBaseName(machine.scpCommand[0]) == "pscp");
    machine.style = putty ? SshClientStyle::kPutty : SshClientStyle::kOpenSsh;
  }
  bool putty = machine.style == SshClientStyle::kPutty;
  if (machine.sshCommand.empty()) machine.sshCommand.push_back(putty ? "plink" : "ssh");
  if (machine.scpCommand.empty()) machine.scpCommand.push_back(putty ? "pscp" : "scp");

  if (machine.platform == RemotePlatform::kRescale) {
    machine.definitionError = formatText(
        "The remote machine \"%s\" is on the Rescale cloud platform. This solver has no access "
        "to cloud platforms, so no copy or execution commands can be made for it.",
        displayName(machine));
    return machine;
  }
  if (machine.host.empty()) {
    machine.definitionError = definitionPrefix(machine) + "The host is not defined.";
    return machine;
  }
  if (!validHost(machine.host)) {
    machine.definitionError =
        definitionPrefix(machine) +
        formatText(
            "The host \"%s\" is not a valid host name. Only letters, digits, '.', '-', "
            "'_' and ':' are allowed, and the name cannot start with '-'.",
            machine.host.c_str());
    return machine;
  }
  if (!machine.username.empty() && !validUserName(machine.username)) {
    machine.definitionError =
        definitionPrefix(machine) +
        formatText(
            "The user name \"%s\" is not valid. It cannot start with '-' nor contain "
            "blanks, control characters, ':' or '/'.",
            machine.username.c_str());
    return machine;
  }
  if (!machine.port.empty() && !validPort(machine.port)) {
    machine.definitionError =
        definitionPrefix(machine) +
        formatText("The port \"%s\" is outside the expected range [1, 65535].",
                   machine.port.c_str());
    return machine;
  }
  return machine;
}

}  // namespace remote

RemoteProfile::RemoteProfile(const PropertiesMap& profile, IApplicationAccess* application)
    : profile_(profile), machine_(remote::readMachine(profile)), application_(application) {}

RemoteProfile::~RemoteProfile() = default;

std::string RemoteProfile::fail(const std::string& reason, bool& status) {
  lastError_ = reason;
  status = false;
  return "";
}

bool RemoteProfile::posixShell() const {
  return machine_.platform != RemotePlatform::kWindows || machine_.useCygwin;
}

std::string RemoteProfile::getOSFilePath(const std::string& path) const {
  return remote::convertPath(machine_, path);
}

std::string RemoteProfile::getLastErrorMsg() const { return lastError_; }

std::string RemoteProfile::generateCopyCommand(const std::string& source, const std::string& target,
                                               bool toRemote, const CopySettings& settings,
                                               bool& status) {
  if (!usable()) {
    return fail(machine_.definitionError, status);
  }
  for (const auto& [role, path] : {std::pair<const char*, const std::string&>{"source", source},
                                   std::pair<const char*, const std::string&>{"target", target}}) {
    std::string problem = checkCopyPath(machine_, role, path);
    if (!problem.empty()) {
      return fail(problem, status);
    }
  }

  // Settings are all checked before anything is built.
  bool folder = false;
  bool recursive = false;
  bool preserve = false;
  auto setting = [&settings](const char* key) {
    auto it = settings.find(key);
    return it == settings.end() ? std::string() : it->second;
  };
  std::string type = lowerCase(trimmed(setting("type")));
  if (type == "folder") {
    folder = true;
  } else if (!type.empty() && type != "file") {
    return fail(formatText("The copy setting \"type\" has the value \"%s\". The valid values are "
                           "\"file\" or \"folder\".",
                           setting("type").c_str()),
                status);
  }
  for (const char* key : {"recursive", "preserve"}) {
    bool value = false;
    if (!parseFlagWord(setting(key), value)) {
      return fail(formatText("The copy setting \"%s\" has the value \"%s\". The valid values are "
                             "\"true\", \"yes\", \"1\", \"false\", \"no\" or \"0\".",
                             key, setting(key).c_str()),
                  status);
    }
    (std::strcmp(key, "recursive") == 0 ? recursive : preserve) = value;
  }

  bool putty = machine_.style == SshClientStyle::kPutty;
  std::vector<std::string> words = machine_.scpCommand;
  if (putty) {
    words.insert(words.end(), {"-batch", "-sftp"});
  } else {
    words.insert(words.end(), {"-s", "-o", "BatchMode=yes"});
  }
  if (!machine_.port.empty()) words.insert(words.end(), {"-P", machine_.port});
  if (!machine_.privateKey.empty()) words.insert(words.end(), {"-i", machine_.privateKey});
  if (folder || recursive) words.push_back("-r");
  if (preserve) words.push_back("-p");

  // Remote operands always use "/" (Windows OpenSSH accepts "C:/dir"); with Cygwin, the
  // Cygwin form.
  std::string destination = machine_.username.empty() ? "" : machine_.username + "@";
  destination +=
      machine_.host.find(':') != std::string::npos ? "[" + machine_.host + "]" : machine_.host;
  auto remoteOperand = [&](const std::string& path, bool isSource) {
    std::string remotePath = machine_.platform == RemotePlatform::kWindows && !machine_.useCygwin
                                 ? replaceAll(path, '\\', '/')
                                 : remote::convertPath(machine_, path);
    return destination + ":" + (isSource ? escapeRemoteGlob(remotePath) : remotePath);
  };
  if (toRemote) {
    words.push_back(localOperand(source));
    words.push_back(remoteOperand(target, false));
  } else {
    words.push_back(remoteOperand(source, true));
    words.push_back(localOperand(target));
  }
  lastError_.clear();
  status = true;
  return joinWords(words);
}

std::string RemoteProfile::generateExecutionCommand(const std::string& command, bool& status) {
  if (!usable()) {
    return fail(machine_.definitionError, status);
  }
  if (trimmed(command).empty()) {
    return fail(formatText("The command to run on the remote machine \"%s\" is empty.",
                           displayName(machine_)),
                status);
  }
  if (command.find('\0') != std::string::npos) {
    return fail(
        formatText("The command to run on the remote machine \"%s\" contains a NUL character.",
                   displayName(machine_)),
        status);
  }

  std::string remoteText;
  if (posixShell()) {
    // Delivered verbatim to the remote login shell; a leading blank keeps a command that
    // starts with "-" from being read as an option of the SSH program.
    remoteText = command[0] == '-' ? " " + command : command;
  } else {
    if (command.find_first_of("\r\n") != std::string::npos) {
      return fail(
          formatText("The command to run on the Windows machine \"%s\" contains a line break, "
                     "which cmd.exe would cut off: %s",
                     displayName(machine_), command.c_str()),
          status);
    }
    std::size_t quotes = 0;
    for (char c : command) quotes += c == '"';
    if (quotes % 2 != 0) {
      return fail(
          formatText("The command to run on the Windows machine \"%s\" has an odd number of "
                     "double quotes and cannot be passed to cmd.exe safely: %s",
                     displayName(machine_), command.c_str()),
          status);
    }
    remoteText = "cmd /d /s /c \"" + caretEscapeForOuterCmd(command) + "\"";
  }

  std::vector<std::string> words = machine_.sshCommand;
  if (machine_.style == SshClientStyle::kPutty) {
    words.push_back("-batch");
    if (!machine_.port.empty()) words.insert(words.end(), {"-P", machine_.port});
  } else {
    words.insert(words.end(), {"-n", "-o", "BatchMode=yes"});
    if (!machine_.port.empty()) words.insert(words.end(), {"-p", machine_.port});
  }
  if (!machine_.privateKey.empty()) words.insert(words.end(), {"-i", machine_.privateKey});
  words.push_back(machine_.username.empty() ? machine_.host
                                            : machine_.username + "@" + machine_.host);
  words.push_back(remoteText);
  lastError_.clear();
  status = true;
  return joinWords(words);
}

std::string RemoteProfile::quoteRemoteArgument(const std::string& word, bool& status) {
  if (!usable()) {
    return fail(machine_.definitionError, status);
  }
  if (posixShell()) {
    lastError_.clear();
    status = true;
    return remote::quoteShellWord(word);
  }
  if (word.find('"') != std::string::npos || hasControlCharacter(word, true)) {
    return fail(
        formatText("The argument \"%s\" for the Windows machine \"%s\" contains a double quote "
                   "or a control character, which cmd.exe cannot pass as one argument.",
                   word.c_str(), displayName(machine_)),
        status);
  }
  lastError_.clear();
  status = true;
  if (!word.empty() && word.find_first_of(" \t&|<>^(),;=") == std::string::npos) return word;
  // Backslashes before the closing quote are doubled, so that programs reading their
  // arguments by the Windows C runtime rules do not take the quote as escaped.
  std::size_t trailing = 0;
  while (trailing < word.size() && word[word.size() - 1 - trailing] == '\\') ++trailing;
  return "\"" + word + std::string(trailing, '\\') + "\"";
}

}  // namespace karvo
