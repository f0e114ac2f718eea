// Helpers shared by the tests: temporary folders, whole-file reads and writes, and runs of
// the real karvo binary in a study folder.
#pragma once

#include <gmock/gmock.h>

#include <string>
#include <vector>

namespace karvo::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "karvo-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

struct ProcessResult {
  int status = -1;      // exit status (0-255), or 128 + signal
  std::string out;      // standard output
  std::string err;      // standard error
};

// Runs `command` with /bin/sh -c in `directory`, capturing both streams.
ProcessResult runShell(const std::string& command, const std::string& directory);

// Runs the karvo binary with `arguments` in `directory`. `environment` entries
// ("NAME=value", or "-NAME" to unset) apply to that run only.
ProcessResult runKarvo(const std::vector<std::string>& arguments, const std::string& directory,
                       const std::vector<std::string>& environment = {});

// Writes a small valid study into `directory`: one optimization agent (TOLMAR) over one
// continuous variable, with "study.in" as the study file and "demo" as the run prefix.
void writeMinimalStudy(const std::string& directory);

// Writes a formula-only study into the folder of `dir`: an evaluation agent 0 ("reference",
// run prefix "formulas", study file "study.in") over x, y in [0, 10] and a parameter p, with
// f = x^2 + y + p (accepted up to 50, the objective) and g = x + y <= 10 (a constraint), and
// the user designs a (1, 2, 2.5), b (3, 4, 0.5), c (6, 5, 2.5) and d (7, 1, 2.5; refused, f > 50).
void writeFormulaStudy(const TempDir& dir);

// Writes stand-ins for the programs of a remote machine into the folder `bin`: ssh, scp and
// dos2unix, each recording its arguments as one "[arg][arg]..." line in "<name>.log" beside it.
// ssh runs its last argument (the remote command) here with /bin/sh -c; scp copies with
// cp -R -p, dropping a "user@host:" prefix of either operand; dos2unix changes nothing.
void writeFakeRemoteTools(const std::string& bin);

// Makes the process of a study folder (Process0.in) one analysis, "sh count.sh", that counts
// its runs in the file "count" beside it and, at run `stopAt`, writes "stop" into the study's
// run interaction file (`interactionFile`, e.g. "study.io") and sleeps two seconds, so that the
// solver stops while that design is still running. The tests of resumed studies use it.
void writeStoppingCounter(const TempDir& dir, int stopAt, const std::string& interactionFile);

// A run's standard error without the progress lines that a run writes there, one per agent
// and cycle, when it is not a terminal.
std::string withoutProgressLines(const std::string& err);

// Single-quotes a word for /bin/sh.
std::string shellQuote(const std::string& word);

// True when the test process has no child left, running or zombie, other than the guard
// process of the process layer, which lives as long as the process it watches.
bool noChildrenLeft();

// A message file with the line wrapping of its layout undone: a long line is broken after a
// blank, and such a break is always followed by more text of the same message.
std::string unwrapped(const std::string& text);

// True when `lines` (whole lines, the last one ended by a line end) stands in `text` from the
// beginning of one of its lines: a longer value on any of those lines does not match.
bool holdsLines(const std::string& text, const std::string& lines);

// Matches a text that holds `lines` as whole lines (see holdsLines).
MATCHER_P(HasLines, lines, "holds the whole lines\n" + std::string(lines)) {
  return holdsLines(arg, lines);
}

}  // namespace karvo::testing
