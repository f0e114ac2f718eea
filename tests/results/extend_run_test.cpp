// Extending a stopped run through the binary: a search stopped in the middle (by the run
// interaction file or by SIGKILL) and extended ends with exactly the history of the same run
// never stopped; the setup checks of an extension; the backup copies.
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/verified_file.h"
#include "evaluation/history_file.h"
#include "support/search_study.h"
#include "support/test_support.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;
using testing::readFile;
using testing::SearchStudy;
using testing::TempDir;
using testing::writeFile;

// An analysis that does nothing but, at design `stopAt` of the first run in its folder,
// asks the run to stop through the run interaction file.
std::string stopScript(const TempDir& dir, int stopAt) {
  return "d=$(basename \"$PWD\")\nif [ \"$d\" = \"Design" + std::to_string(stopAt) +
         "\" ] && [ ! -f " + dir.file("stopped") + " ]; then touch " + dir.file("stopped") +
         "; echo stop > " + dir.file("study.io") + "; fi\n";
}

// The responses are formulas (`f`: another objective, `resolution`: values per variable); a
// non-empty `script` runs as the process's one analysis (the history is the same either way).
SearchStudy studyOf(const TempDir& dir, const std::string& method, bool twoObjectives,
                    const std::string& script, const char* f = nullptr, int resolution = 101) {
  SearchStudy study;
  study.agent = method;
  study.f = f ? f : "(x-3)**2+(y-4)**2+sin(3*x)";
  study.resolution = resolution;
  if (twoObjectives) study.f2 = "(x-7)**2+(y-1)**2";
  if (script.empty()) return study;
  writeFile(dir.file("t.sh"), script);
  study.process = "*PROCESS\nname: p\n*ANALYSIS\nname: t\nid: 1\n*EXECUTION_DEFINITION\n"
                  "anlFolder: designFolder\ntoolCmd: sh " + dir.file("t.sh") +
                  "\nsuccessReturnValue: 0\n*END\n";
  return study;
}

// The study of `dir` with the objectives normalised by their values at the baseline design,
// which an extension does not evaluate again.
void normaliseByBaseline(const TempDir& dir) {
  std::string performance = readFile(dir.file("Performance0.in"));
  for (std::size_t at = performance.find("factor: 1\n"); at != std::string::npos;
       at = performance.find("factor: 1\n", at)) {
    performance.replace(at, 10, "factor: baseline\n");
  }
  writeFile(dir.file("Performance0.in"), performance);
}

// The study file of `dir` with its mode set to "extend" (and `from` replaced by `to`).
void makeExtension(const TempDir& dir, const std::string& from = "", const std::string& to = "") {
  std::string text = readFile(dir.file("study.in"));
  text.replace(text.find("mode: newStudy"), 14, "mode: extend");
  if (!from.empty()) text.replace(text.find(from), from.size(), to);
  writeFile(dir.file("study.in"), text);
}

std::string messages(const TempDir& dir) { return testing::searchMessages(dir); }

struct MethodCase {
  const char* name;
  const char* method;
  bool twoObjectives;
  int stopAt[2];  // designs at which the runs are stopped: in the first cycle, and later
  bool cycles = true;  // the method runs several cycles (the second stop follows a checkpoint)
  const char* f = nullptr;  // objective other than the common one
  int resolution = 101;
};

class ExtendedRun : public ::testing::TestWithParam<MethodCase> {};

TEST_P(ExtendedRun, StoppedAndExtendedWritesWhatTheRunNeverStoppedWrites) {
  const MethodCase& c = GetParam();
  TempDir whole("karvo-extend-whole");
  testing::writeSearchStudy(whole,
                            studyOf(whole, c.method, c.twoObjectives, "", c.f, c.resolution));
  normaliseByBaseline(whole);
  ASSERT_EQ(testing::runSearchStudy(whole).status, 0) << messages(whole);
  const std::string history = readFile(whole.file("search0.hst"));
  ASSERT_GT(history.size(), 1000u);

  for (int stopAt : c.stopAt) {
    SCOPED_TRACE("stopped at design " + std::to_string(stopAt));
    TempDir dir("karvo-extend");
    testing::writeSearchStudy(dir, studyOf(dir, c.method, c.twoObjectives, stopScript(dir, stopAt),
                                           c.f, c.resolution));
    normaliseByBaseline(dir);
    ASSERT_EQ(testing::runSearchStudy(dir).status, 0) << messages(dir);
    ASSERT_TRUE(fs::exists(dir.file("stopped")));
    const std::string stopped = readFile(dir.file("search0.hst"));
    ASSERT_LT(stopped.size(), history.size()) << "the run was not stopped early";
    // The first stop comes in the first cycle, before any checkpoint: the extension then
    // starts afresh and takes the stored designs again in turn.
    EXPECT_EQ(fs::exists(dir.file("search0.ckp")), c.cycles && stopAt == c.stopAt[1])
        << "choose the stops so that only the second one comes after a checkpoint";

    makeExtension(dir);
    const ProcessResult extended = testing::runSearchStudy(dir);
    ASSERT_EQ(extended.status, 0) << messages(dir);
    EXPECT_NE(messages(dir).find("EXTENDING a run from saved checkpoint files."),
              std::string::npos);
    EXPECT_NE(readFile(dir.file("search0.rpt"))
                  .find("\nExtending run from last saved KARVO state file with prefix "
                        "\"search\".\n\n"),
              std::string::npos);
    EXPECT_TRUE(readFile(dir.file("search0.hst")) == history)
        << "the extended history differs from the history of the run never stopped";
    if (c.twoObjectives) {
      EXPECT_EQ(readFile(dir.file("search0.pto")), readFile(whole.file("search0.pto")));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Methods, ExtendedRun,
    ::testing::Values(
        MethodCase{"TOLMAR", "method: TOLMAR\nnumEvals: 70\n", false, {3, 41}},
        // A curved valley on a fine grid: the second stop falls in the local phase.
        MethodCase{"TOLMARLocalPhase", "method: TOLMAR\nnumEvals: 80\n", false, {3, 44}, true,
                   "(x - 3)**2 + 20*((y - 7) - (x - 3)**2)**2", 1001},
        MethodCase{"GA",
                   "method: GA\npopulationSize: 10\nnumCycles: 3\ngenerationsPerCycle: 2\n"
                   "crossoverType: 1\nmutationType: 0\nselectionType: 0\nselectionParameter: 2\n",
                   false,
                   {7, 40}},
        MethodCase{"GAAdaptive",
                   "method: GA\npopulationSize: 10\nnumCycles: 3\ngenerationsPerCycle: 2\n"
                   "crossoverType: 3\nmutationType: 2\nselectionType: 0\nselectionParameter: 2\n",
                   false,
                   {7, 40}},
        MethodCase{"GASteady",
                   "method: GA\npopulationSize: 10\nnumCycles: 3\ngenerationsPerCycle: 2\n"
                   "crossoverType: 3\nmutationType: 2\nselectionType: 0\nselectionParameter: 3\n"
                   "steadyState: 1\n",
                   false,
                   {7, 40},
                   false},
        MethodCase{"PSO",
                   "method: PSO\nnumDesigns: 10\nnumGen: 7\nneighborhoodSize: 3\nglobalBest: 1\n"
                   "personalBest: 1\nlocalBest: 1\n",
                   false,
                   {12, 47}},
        MethodCase{"MOTOLMAR",
                   "method: MOTOLMAR\nnumEvals: 70\narchiveSize: 16\nbreedingSize: 8\n"
                   "shutOff: 0\n",
                   true,
                   {20, 53}},
        MethodCase{"NSGA", "method: NSGA\npopulationSize: 12\nnumGen: 6\n", true, {17, 50}},
        MethodCase{"SA",
                   "method: SA\nnumEvals: 60\nnumTemps: 6\nmaxIters: 8\nstartTemp: 1\n"
                   "endTemp: 0.001\nstartingDesign: Baseline\n",
                   false,
                   {5, 33}},
        MethodCase{"NMS",
                   "method: NMS\nnumEvals: 60\nsimplexSize: 0.2\nnumTemps: 4\n"
                   "startingDesign: Baseline\n",
                   false,
                   {6, 33},
                   false},
        MethodCase{"MS",
                   "method: MS\nnumEvals: 60\npopulationSize: 4\nnumCycles: 3\n"
                   "gradientMethod: 0\n",
                   false,
                   {4, 55}},
        MethodCase{"QP",
                   "method: QP\nnumIter: 15\nnumLineSearches: 10\nstartingDesign: Baseline\n"
                   "gradientMethod: 0\n",
                   false,
                   {3, 8},
                   false},
        MethodCase{"RS",
                   "method: RS\nsurfaceType: Kriging\nnumIters: 6\nnumLineSearches: 10\n"
                   "numExtraEvals: 1\n",
                   false,
                   {2, 12}}),
    [](const ::testing::TestParamInfo<MethodCase>& info) { return std::string(info.param.name); });

// A weighted run of two objectives extended as a MOTOLMAR run is refused; a GA run extended
// with another population size keeps the stored one, with its warning.
TEST(ExtendedRunSettings, MethodAndSearchSetSizeOfTheStoppedRunRule) {
  TempDir weighted("karvo-extend-weighted");
  testing::writeSearchStudy(weighted, studyOf(weighted, "method: TOLMAR\nnumEvals: 30\n", true, ""));
  ASSERT_EQ(testing::runSearchStudy(weighted).status, 0) << messages(weighted);
  makeExtension(weighted, "method: TOLMAR\nnumEvals: 30\n",
                "method: MOTOLMAR\nnumEvals: 60\narchiveSize: 16\nbreedingSize: 8\nshutOff: 0\n");
  EXPECT_EQ(testing::runSearchStudy(weighted).status, 133);
  EXPECT_THAT(messages(weighted),
              ::testing::HasSubstr("Extend error\n\t**** ERROR ****\n\t The problem setup was "
                                   "changed prior to extending the run. Cannot extend a weighted "
                                   "objective optimization run\n\t as aa MO-TOLMAR run."));

  const std::string ga = "method: GA\npopulationSize: 10\nnumCycles: 2\ngenerationsPerCycle: 1\n"
                         "crossoverType: 1\nmutationType: 0\nselectionType: 0\n"
                         "selectionParameter: 2\n";
  TempDir sized("karvo-extend-size");
  testing::writeSearchStudy(sized, studyOf(sized, ga, false, ""));
  ASSERT_EQ(testing::runSearchStudy(sized).status, 0) << messages(sized);
  const std::string from = "populationSize: 10\nnumCycles: 2";
  std::string larger = ga;
  larger.replace(larger.find(from), from.size(), "populationSize: 12\nnumCycles: 3");
  makeExtension(sized, ga, larger);
  ASSERT_EQ(testing::runSearchStudy(sized).status, 0) << messages(sized);
  const std::string text = readFile(sized.file("study.mes"));
  EXPECT_THAT(text, ::testing::HasSubstr("\n\t**************WARNING**************\n"));
  EXPECT_THAT(text, ::testing::HasSubstr(
                        "\n\tSearch set size set to 10 for agent 0 as it cannot change for "
                        "extending.\n"));
  // The third cycle bred a generation of the ten members kept.
  EXPECT_THAT(text, ::testing::HasSubstr("Num in: 10, "));
  EXPECT_THAT(text, ::testing::Not(::testing::HasSubstr("Num in: 12, ")));
}

// Starts the binary on the study of `dir` without waiting for it.
pid_t startRun(const TempDir& dir) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("KARVO_ROOT", dir.path().c_str(), 1);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
    int out = ::open("karvo.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execl(KARVO_BINARY, KARVO_BINARY, "i=study.in", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Whether `part` is what the history file `whole` held at an earlier moment of the same run:
// the same bytes but for the design count in the header (the one place where they may
// differ, over at most four bytes) and the three counters that end the file.
bool earlierHistory(const std::string& part, const std::string& whole) {
  if (part.empty()) return true;
  if (part.size() < 12 || part.size() > whole.size()) return false;
  const std::size_t end = part.size() - 12;
  std::size_t first = 0;
  while (first < end && part[first] == whole[first]) ++first;
  for (std::size_t i = first + 4; i < end; ++i) {
    if (part[i] != whole[i]) return false;
  }
  return true;
}

// The design folders the runs of `dir` have made.
std::size_t designFolders(const TempDir& dir) {
  std::error_code error;
  std::size_t count = 0;
  for (fs::directory_iterator it(dir.file("POST_0"), error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

// Waits until the history file `name` in `folder` is written to or replaced (or `pid` has
// ended); answers false when the run ended first. The kill that follows falls within the
// history's save.
bool waitForHistorySave(const TempDir& dir, const std::string& name, pid_t pid, int& status) {
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0) return false;
  ::inotify_add_watch(watch, dir.path().c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO);
  bool saved = false;
  for (int waited = 0; waited < 60000 && !saved; waited += 5) {
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = ::read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && name == event->name) saved = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    if (saved) break;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      ::close(watch);
      return false;
    }
    if (n <= 0) {
      pollfd ready{watch, POLLIN, 0};
      ::poll(&ready, 1, 5);  // wakes at once when the file changes
    }
  }
  ::close(watch);
  return saved;
}

// Killed at random moments, again and again, the run loses nothing it stored: after every
// kill its history is an earlier state of the never-killed run's history that matches its
// checksum file, each extension goes on from the last complete checkpoint, and the run ends
// with exactly that history. Every other kill comes at a random moment after the run has
// evaluated a design of its own, the others the moment the history is being saved (a save
// that writes the file in place, or replaces the history before its checksum file, is then
// caught in the middle). (A sanitizer build, where every run is slower, kills fewer times.)
TEST(KilledRun, ExtendedAfterEveryKillEndsAsIfNeverKilled) {
  // Ten designs a kill leave the run room to go on after the last one (the kills come within
  // the first half of the designs); the model work on the designs after them is most of a
  // sanitizer build's time.
  const std::string method =
      "method: TOLMAR\nnumEvals: " + std::to_string(10 * KARVO_KILLS) + "\n";
  TempDir whole("karvo-kill-whole");
  testing::writeSearchStudy(whole, studyOf(whole, method, false, ""));
  ASSERT_EQ(testing::runSearchStudy(whole).status, 0) << messages(whole);
  const std::string history = readFile(whole.file("search0.hst"));

  TempDir dir("karvo-kill");
  testing::writeSearchStudy(dir, studyOf(dir, method, false, "sleep 0.01\n"));
  std::mt19937 random(20261207);
  // (KARVO_SLOW_START: how much slower the binary of this build works.)
  std::uniform_int_distribution<int> delay(0, 120 * KARVO_SLOW_START);
  int kills = 0;
  bool finished = false;
  std::size_t before = 0;
  for (int attempt = 0; attempt < 2 * KARVO_KILLS && kills < KARVO_KILLS && !finished;
       ++attempt) {
    const std::size_t folders = designFolders(dir);
    const pid_t karvo = startRun(dir);
    int status = 0;
    bool ended = false;
    if (attempt % 2 == 1) {
      ended = !waitForHistorySave(dir, "search0.hst", karvo, status);
    } else {
      for (int waited = 0; waited < 60000 && designFolders(dir) <= folders; waited += 5) {
        if (::waitpid(karvo, &status, WNOHANG) == karvo) {
          ended = true;
          break;
        }
        ::usleep(5000);
      }
      if (!ended) ::usleep(static_cast<useconds_t>(delay(random)) * 1000);
    }
    if (!ended) {
      ::kill(karvo, SIGKILL);
      status = waitFor(karvo);
    }
    if (WIFSIGNALED(status)) ++kills;
    if (WIFEXITED(status)) {
      ASSERT_EQ(WEXITSTATUS(status), 0) << messages(dir);
      finished = true;
    }
    const std::string now = fs::exists(dir.file("search0.hst")) ? readFile(dir.file("search0.hst"))
                                                                : std::string();
    ASSERT_TRUE(earlierHistory(now, history)) << "after kill " << kills;
    if (!now.empty()) {
      ASSERT_EQ(historySumCheck(dir.file("search0.hst"), now), HistorySumCheck::kMatches)
          << "after kill " << kills;
    }
    ASSERT_GE(now.size(), before) << "the history lost designs after kill " << kills;
    before = now.size();
    if (attempt == 0) makeExtension(dir);
  }
  EXPECT_EQ(kills, KARVO_KILLS);
  if (!finished) {
    const ProcessResult last = testing::runSearchStudy(dir);
    ASSERT_EQ(last.status, 0) << messages(dir);
  }
  EXPECT_TRUE(readFile(dir.file("search0.hst")) == history)
      << "the history after the kills differs from the history of the run never killed";
}

// The setup checks of an extension.
class ExtensionCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeSearchStudy(dir_, studyOf(dir_, "method: TOLMAR\nnumEvals: 30\n", false, ""));
    ASSERT_EQ(testing::runSearchStudy(dir_).status, 0) << messages(dir_);
    makeExtension(dir_);
  }
  TempDir dir_{"karvo-extend-check"};
};

TEST_F(ExtensionCheck, ResultsAreCopiedIntoTheBackupAndOverwriteOrAnAddedVariableAreRefused) {
  const std::string header = readFile(dir_.file("search0.ckp"));
  // A larger budget: the finished run goes on.
  std::string text = readFile(dir_.file("study.in"));
  text.replace(text.find("numEvals: 30"), 12, "numEvals: 45");
  writeFile(dir_.file("study.in"), text);
  const ProcessResult result = testing::runSearchStudy(dir_);
  ASSERT_EQ(result.status, 0) << messages(dir_);
  std::string backup;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    // (Every run makes its backup folder at start; the first one stays empty.)
    if (entry.path().filename().string().rfind("RESULTS_BACKUP_", 0) == 0 &&
        fs::exists(entry.path() / "search0.ckp")) {
      backup = entry.path().string();
    }
  }
  ASSERT_FALSE(backup.empty());
  EXPECT_EQ(readFile(backup + "/search0.ckp"), header);
  for (const char* name : {"search0.mem", "search0.hst", "search0.rpt", "search0.dat"}) {
    EXPECT_TRUE(fs::exists(backup + "/" + name)) << name;
    EXPECT_TRUE(fs::exists(dir_.file(name))) << name;
  }
  EXPECT_EQ(testing::searchDesignResults(dir_).size(), 45u);

  // `overwrite` is refused; so is an added design variable, quoting both counts.
  const ProcessResult overwrite =
      testing::runKarvo({"i=study.in", "overwrite"}, dir_.path(), {"KARVO_ROOT=" + dir_.path()});
  EXPECT_EQ(overwrite.status, 133);
  EXPECT_THAT(messages(dir_), ::testing::HasSubstr("Cannot use \"overwrite\" command line option "
                                                   "when extending a run."));

  writeFile(dir_.file("Representation0.in"),
            "*VARIABLE\nname: x\nid: 1\nresolution: 101\n*VARIABLE\nname: y\nid: 2\n"
            "resolution: 101\n*VARIABLE\nname: z\nid: 3\nresolution: 11\n*END\n");
  std::string definitions = readFile(dir_.file("Definitions.in"));
  definitions.insert(definitions.find("*DEFINE_RESPONSE"),
                     "*DEFINE_VARIABLE\nname: z\ntype: Continuous\nid: 3\nmin: 0\nbaseline: 1\n"
                     "max: 10\n");
  writeFile(dir_.file("Definitions.in"), definitions);
  EXPECT_EQ(testing::runSearchStudy(dir_).status, 133);
  EXPECT_THAT(messages(dir_),
              ::testing::HasSubstr(
                  "Extend error\n\t**** ERROR ****\n\t The problem setup was changed prior to "
                  "extending the run. The number of design variables (CONT/DISC)\n\t cannot be "
                  "modified during an extend.\n\t The original run had 2 design variables, but "
                  "the new run setup has 3."));
}

// A header of another version, a header cut short and a missing population file each end the
// run with their own text (and status).
TEST_F(ExtensionCheck, UnreadableOrForeignCheckpointFilesEndTheRunWithTheirStatus) {
  const std::string header = readFile(dir_.file("search0.ckp"));
  VerifiedSlot current, other;
  ASSERT_EQ(readVerifiedFile(dir_.file("search0.ckp"), current, other), VerifiedRead::kRead);
  std::string data = current.data;
  data[4] = static_cast<char>(data[4] + 1);  // the version word after the magic number
  ASSERT_TRUE(writeVerifiedFile(dir_.file("search0.ckp"), data, current.stamp));
  ProcessResult result = testing::runSearchStudy(dir_);
  EXPECT_EQ(result.status, 133);
  EXPECT_THAT(messages(dir_),
              ::testing::HasSubstr("Attempting to extend a study using results that were "
                                   "generated in a different version of KARVO. The runs can only "
                                   "be extended from results within the same version. Exiting."));

  writeFile(dir_.file("search0.ckp"), header.substr(0, 40));
  result = testing::runSearchStudy(dir_);
  EXPECT_EQ(result.status, 133);
  EXPECT_THAT(messages(dir_), ::testing::HasSubstr("Unable to read restart header file (.ckp)."));

  writeFile(dir_.file("search0.ckp"), header);
  fs::remove(dir_.file("search0.mem"));
  result = testing::runSearchStudy(dir_);
  EXPECT_EQ(result.status, (-77) & 0xFF);
  EXPECT_THAT(messages(dir_), ::testing::HasSubstr("Error:InitCPRead failed to restore " +
                                                   dir_.file("search0.mem") + "."));
  // A restore that fails is an error in the report, not a run that completed.
  EXPECT_THAT(readFile(dir_.file("search0.rpt")),
              ::testing::HasSubstr("\nEnd of KARVO run.\n*EXIT STATE\nError\n"));
}

}  // namespace
}  // namespace karvo
