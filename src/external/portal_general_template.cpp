// Template filling of the "General" portal: copies a template file line by line, replacing
// `{{name}}` and `{{name|format}}` tags with the caller's values. Runs once per analysis per
// design; templates are input decks of up to some hundred thousand lines with few tags.
#include "external/portal_general.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "base/messages.h"
#include "platform/platform.h"

namespace karvo::general_portal {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool isNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '.'; }

// The caller's reason on one line: runs of white space (its own layout) become one blank.
std::string oneLine(const std::string& text) {
  std::string line;
  bool space = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      space = !line.empty();
      continue;
    }
    if (space) line += ' ';
    space = false;
    line += c;
  }
  return line;
}

}  // namespace

bool parseTag(std::string_view inner, std::string& name, std::string& format) {
  std::string_view namePart = inner;
  std::string_view formatPart;
  std::size_t bar = inner.find('|');
  if (bar != std::string_view::npos) {
    namePart = inner.substr(0, bar);
    formatPart = inner.substr(bar + 1);
  }
  namePart = trimmed(namePart);
  formatPart = trimmed(formatPart);
  if (namePart.empty() || !isNameStart(namePart.front())) return false;
  for (char c : namePart) {
    if (!isNameChar(c)) return false;
  }
  for (char c : formatPart) {
    if (c == '{' || c == '}') return false;
  }
  name.assign(namePart);
  format.assign(formatPart);
  return true;
}

bool fillLine(std::string_view line, std::string_view lineBreak,
              const TagValueCallback& tagValue, std::string& out,
              std::vector<TagProblem>& problems) {
  bool allFound = true;
  std::size_t pos = 0;
  while (pos < line.size()) {
    std::size_t open = line.find("{{", pos);
    if (open == std::string_view::npos) break;
    out.append(line.substr(pos, open - pos));
    std::size_t close = line.find("}}", open + 2);
    std::string name;
    std::string format;
    if (close == std::string_view::npos ||
        !parseTag(line.substr(open + 2, close - open - 2), name, format)) {
      // Not a tag: copy one brace and look again from the next character, so that a valid
      // tag right behind it ("{{{x}}}") is still found.
      out += '{';
      pos = open + 1;
      continue;
    }
    std::string_view tag = line.substr(open, close + 2 - open);
    if (open > pos && line[open - 1] == '\\') {
      // An escaped tag ("\{{name}}") is written as the tag itself, without the backslash.
      out.pop_back();
      out.append(tag);
      pos = close + 2;
      continue;
    }
    TagValueAnswer answer = tagValue(name, format);
    if (!answer.ok) {
      problems.push_back(TagProblem{std::string(tag), name, answer.message});
      allFound = false;
    } else {
      for (std::size_t i = 0; i < answer.values.size(); ++i) {
        if (i > 0) out.append(lineBreak);
        out.append(answer.values[i]);
      }
    }
    pos = close + 2;
  }
  if (pos < line.size()) out.append(line.substr(pos));
  return allFound;
}

namespace {

// Templates read earlier in this run. Every design of a batch fills the same templates, so a
// template is read again only when it changed on disk (or was replaced) since it was read.
struct TemplateText {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  mode_t mode = 0;
  std::string text;
};
constexpr std::size_t kMaxKeptTemplates = 16;
constexpr off_t kMaxKeptTemplateBytes = 64 << 20;
constexpr time_t kSettledSeconds = 2;
std::vector<TemplateText> keptTemplates;

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The template's text and permission bits; null with the message when it cannot be read.
const TemplateText* templateText(const std::string& path, std::string& message) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) {
    for (const TemplateText& kept : keptTemplates) {
      if (kept.path == path && kept.device == status.st_dev && kept.inode == status.st_ino &&
          kept.size == status.st_size && sameTime(kept.modified, status.st_mtim) &&
          sameTime(kept.changed, status.st_ctim)) {
        return &kept;
      }
    }
  }
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) {
    message = formatText("ERROR: Could not open the template file \"%s\" (%s).", path.c_str(),
                         platform::systemErrorText(errno).c_str());
    return nullptr;
  }
  // What was read is described by the open file itself, not by the earlier look-up.
  if (::fstat(::fileno(in), &status) != 0) status = {};
  static TemplateText fresh;
  fresh = TemplateText{};
  fresh.path = path;
  fresh.device = status.st_dev;
  fresh.inode = status.st_ino;
  fresh.size = status.st_size;
  fresh.modified = status.st_mtim;
  fresh.changed = status.st_ctim;
  fresh.mode = status.st_mode;
  char buffer[65536];
  std::size_t got;
  errno = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) fresh.text.append(buffer, got);
  const bool readFailed = std::ferror(in) != 0;
  const int readErrno = errno;
  std::fclose(in);
  if (readFailed) {
    message = formatText("ERROR: Could not read the template file \"%s\" (%s).", path.c_str(),
                         platform::systemErrorText(readErrno).c_str());
    return nullptr;
  }
  // Kept only when its last change is a few seconds old: file times have a coarse clock, so
  // a template written again moments after it was read (by an earlier analysis of a loop, say)
  // could show the same size and times, while a change made after a settled time always
  // shows a later change time. A file that grew or shrank while it was read is read again.
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const bool settled = status.st_ctim.tv_sec + kSettledSeconds < now.tv_sec &&
                       status.st_mtim.tv_sec + kSettledSeconds < now.tv_sec;
  if (!settled || static_cast<off_t>(fresh.text.size()) != fresh.size ||
      fresh.size > kMaxKeptTemplateBytes) {
    return &fresh;
  }
  for (auto it = keptTemplates.begin(); it != keptTemplates.end(); ++it) {
    if (it->path == path) {
      keptTemplates.erase(it);
      break;
    }
  }
  if (keptTemplates.size() >= kMaxKeptTemplates) keptTemplates.erase(keptTemplates.begin());
  keptTemplates.push_back(std::move(fresh));
  return &keptTemplates.back();
}

// One line of a template: its text and its line end ("\n", "\r\n", or none on a last line
// without one).
struct TemplateLine {
  std::string_view text;
  std::string_view end;
};

// The line of `text` that starts at `next` (line number `lineNumber`); moves `next` past it.
TemplateLine takeLine(const std::string& text, std::size_t& next, long long lineNumber) {
  std::size_t end = text.find('\n', next);
  end = end == std::string::npos ? text.size() : end + 1;
  TemplateLine line{std::string_view(text.data() + next, end - next), {}};
  next = end;
  // A byte-order mark is an editor's mark on the template, not text for the written file.
  if (lineNumber == 1 && line.text.substr(0, 3) == kByteOrderMark) line.text.remove_prefix(3);
  if (!line.text.empty() && line.text.back() == '\n') {
    line.text.remove_suffix(1);
    line.end = "\n";
    if (!line.text.empty() && line.text.back() == '\r') {
      line.text.remove_suffix(1);
      line.end = "\r\n";
    }
  }
  return line;
}

std::string writeErrorText(const std::string& path, int error) {
  return formatText("ERROR: Could not write the file \"%s\" (%s).", path.c_str(),
                    platform::systemErrorText(error).c_str());
}

// Lists the tags of line `lineNumber` that have no value, each with the caller's reason;
// past kMaxTagErrorsPerFile of the file they are only counted in `tagErrors`.
void listTagProblems(const std::vector<TagProblem>& problems, long long lineNumber,
                     const std::string& templatePath, int& tagErrors,
                     std::vector<std::string>& messages) {
  for (const TagProblem& problem : problems) {
    if (++tagErrors > kMaxTagErrorsPerFile) continue;
    messages.push_back(formatText(
        "ERROR: The name \"%s\" in the tag \"%s\" at line %lld of the template file \"%s\" "
        "is unknown or has no value.",
        problem.name.c_str(), problem.tag.c_str(), lineNumber, templatePath.c_str()));
    std::string reason = oneLine(problem.message);
    if (!reason.empty()) messages.push_back("ERROR: " + reason);
  }
}

// Fills `text` line by line into `out`. Every line is filled, also after the first failure,
// so that every tag without a value is listed; nothing more is written after one.
void writeFilledText(const std::string& text, const std::string& templatePath,
                     const std::string& targetPath, const TagValueCallback& tagValue,
                     std::FILE* out, int& tagErrors, bool& writeFailed,
                     std::vector<std::string>& messages) {
  long long lineNumber = 0;
  std::string filled;
  std::vector<TagProblem> problems;
  std::size_t next = 0;
  while (next < text.size()) {
    const TemplateLine line = takeLine(text, next, ++lineNumber);
    filled.clear();
    problems.clear();
    fillLine(line.text, line.end == "\r\n" ? std::string_view("\r\n") : std::string_view("\n"),
             tagValue, filled, problems);
    listTagProblems(problems, lineNumber, templatePath, tagErrors, messages);
    if (tagErrors > 0 || writeFailed) continue;
    filled.append(line.end);
    if (std::fwrite(filled.data(), 1, filled.size(), out) != filled.size()) {
      writeFailed = true;
      messages.push_back(writeErrorText(targetPath, errno));
    }
  }
}

// Puts the filled file in place under its name, with the template's permission bits (a
// template that is a script stays executable); removes it when the rename fails.
bool installFilled(const std::string& tempPath, const std::string& targetPath,
                   mode_t templateMode, std::vector<std::string>& messages) {
  std::error_code ignored;
  if (templateMode != 0) {
    std::filesystem::permissions(
        tempPath, static_cast<std::filesystem::perms>(templateMode & 07777), ignored);
  }
  if (std::rename(tempPath.c_str(), targetPath.c_str()) != 0) {
    messages.push_back(formatText("ERROR: Could not rename \"%s\" to \"%s\" (%s).",
                                  tempPath.c_str(), targetPath.c_str(),
                                  platform::systemErrorText(errno).c_str()));
    std::remove(tempPath.c_str());
    return false;
  }
  return true;
}

}  // namespace

PortalResult fillTemplate(const std::string& templatePath, const std::string& targetPath,
                          const TagValueCallback& tagValue) {
  PortalResult result;
  std::string readError;
  const TemplateText* source = templateText(templatePath, readError);
  if (!source) {
    result.messages.push_back(readError);
    return result;
  }
  // A copy: filling calls back into the caller, which may fill another template.
  const std::string text = source->text;
  const mode_t templateMode = source->mode;
  std::string tempPath = formatText("%s.tmp%ld", targetPath.c_str(), static_cast<long>(getpid()));
  std::FILE* out = std::fopen(tempPath.c_str(), "wb");
  if (!out) {
    result.messages.push_back(writeErrorText(targetPath, errno));
    return result;
  }

  int tagErrors = 0;
  bool writeFailed = false;
  writeFilledText(text, templatePath, targetPath, tagValue, out, tagErrors, writeFailed,
                  result.messages);
  if (tagErrors > kMaxTagErrorsPerFile) {
    result.messages.push_back(
        formatText("ERROR: %d more tags without a value in the template file \"%s\" are not "
                   "listed.",
                   tagErrors - kMaxTagErrorsPerFile, templatePath.c_str()));
  }
  bool closeFailed = std::fclose(out) != 0;
  if (closeFailed && !writeFailed) result.messages.push_back(writeErrorText(targetPath, errno));
  if (tagErrors > 0 || writeFailed || closeFailed) {
    std::remove(tempPath.c_str());
    return result;
  }
  result.ok = installFilled(tempPath, targetPath, templateMode, result.messages);
  return result;
}

}  // namespace karvo::general_portal
