// What a user sees of a run: why a design failed, the answer at the end, and a terminal that
// shows the progress line (its text first) rather than a note per design.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>

#include "base/messages.h"
#include "base/progress.h"
#include "support/study_runs.h"

namespace karvo {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace karvo::testing;

// The minimal study searched by a small genetic run over x in [0, 2] (steps of 0.2):
// f = (x - 1.2)^2 is minimised (factor 2, so the score is not the value) under g = x <= 1.1,
// so the lowest f (x = 1.2) is infeasible and the best feasible design is x = 1.
void writeSearchStudy(const TempDir& dir, const std::string& constraintTarget = "1.1") {
  writeMinimalStudy(dir.path());
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: Formula\nformula: (x - 1.2) ** 2\n"
            "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: x\n*END\n");
  writeFile(dir.file("Performance0.in"),
            "*RESPONSE\nname: f\ntype: objective\nfactor: 2\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*RESPONSE\nname: g\ntype: constraint\n"
            "option: less_equal\nfactor: 1\ntarget: " + constraintTarget +
                "\nquadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir.file("study.in"),
            "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\n"
            "randomSeed: 0.5\nmode: newStudy\n*AGENT\nid: 0\nmethod: GA\npopulationSize: 4\n"
            "numCycles: 2\ngenerationsPerCycle: 2\ncrossoverType: 1\nmutationType: 0\n"
            "selectionType: 0\nselectionParameter: 2\n*END\n");
}

// The search study with the analysis "calc", whose calc.sh writes "starting", then "boom"
// on its standard error, and fails: every design fails.
void writeFailingAnalysis(const TempDir& dir) {
  writeSearchStudy(dir, "5");
  writeFile(dir.file("Assembly.in"),
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n"
            "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: x\n*END\n");
  writeFile(dir.file("Representation0.in"), "*VARIABLE\nname: x\nid: 1\nresolution: 101\n*END\n");
  writeFile(dir.file("Process0.in"),
            "*PROCESS\nname: p\n*ANALYSIS\nname: calc\nid: 1\n"
            "inputFile: calc.sh, studyFolder, , file, yes\noutputTagFile: f, f.def\n"
            "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nsuccessReturnValue: 0\n*END\n");
  writeFile(dir.file("f.def"), "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("calc.sh"), "echo starting\necho boom >&2\nexit 1\n");
}

// ---------------------------------------------------------------------------------------
// A failed design says why, on the terminal

// The first design fails and stops the run: the terminal names the design, the analysis, the
// first error of its log, the last line its command wrote, the log, and the option that lets
// the run go on. With skipEvalCheck the run goes on: each failed design is one warning on the
// terminal, up to twenty; the rest are in the message file only, after one line that says so.
TEST(FailedDesign, SaysWhichDesignFailedWhyAndWhereItsLogIsWithoutFloodingTheTerminal) {
  TempDir dir;
  writeFailingAnalysis(dir);
  const ProcessResult stopped = runStudy(dir, {"dontUseBaseline"});
  EXPECT_EQ(stopped.status, 133);
  const std::string expected =
      "*ERROR\nThe first design to complete all analyses resulted in errors. Exiting.\n"
      "Design 1 of agent 0 failed in analysis \"calc\": The return value (1) for the analysis "
      "command did not match the specified value (0). This design analysis will be marked as "
      "an error. Last output line: \"boom\". Log: " +
      workingDirectory(dir) +
      "/POST_0/Design1/calc/analysis.log\nTo let the run go on after failed designs, give the "
      "option skipEvalCheck (or the run option dontStopOnDesignErrors: 1).\n";
  EXPECT_THAT(unwrapped(stopped.err), HasSubstr(expected));
  EXPECT_THAT(studyMessages(dir), HasSubstr(expected));

  replaceIn(dir.path(), "study.in", "populationSize: 4\nnumCycles: 2",
            "populationSize: 16\nnumCycles: 1");
  const ProcessResult result = runStudy(dir, {"dontUseBaseline", "skipEvalCheck"});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string messages = studyMessages(dir);
  const std::regex failure("\\*WARNING\nDesign (\\d+) of agent 0 failed in analysis \"calc\": ");
  const auto count = [&failure](const std::string& text) {
    return std::distance(std::sregex_iterator(text.begin(), text.end(), failure),
                         std::sregex_iterator());
  };
  const long failed = count(messages);
  ASSERT_GT(failed, 20) << messages;
  EXPECT_EQ(count(unwrapped(result.err)), 20);
  const std::string further = "*NOTE\nFurther failed designs are listed only in the message file " +
                              workingDirectory(dir) + "/study.mes.\n";
  EXPECT_THAT(unwrapped(result.err), HasSubstr(further));
  // Said once, after the twentieth.
  EXPECT_EQ(result.err.find(further), result.err.rfind(further));
  // The run completes; its end says how many designs failed and where their logs are.
  const std::string countLine =
      formatText("%ld of the %ld designs that agent 0 evaluated in this run failed. The cause of "
                 "each is in its design folder under ", failed, failed) +
      workingDirectory(dir) + "/POST_0 (Design<number>/design.log and <analysis>/analysis.log).\n";
  EXPECT_THAT(messages, HasLines("*WARNING\n" + countLine));
  EXPECT_THAT(unwrapped(result.err), HasSubstr(countLine));
  EXPECT_THAT(readFile(dir.file("demo0.rpt")), HasSubstr("*EXIT STATE\nComplete\n"));
}

// ---------------------------------------------------------------------------------------
// The answer at the end

TEST(BestDesign, WithoutAFeasibleDesignTheLeastInfeasibleOneIsGiven) {
  TempDir dir;
  writeSearchStudy(dir, "-1");
  const ProcessResult result = runStudy(dir);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.out,
              HasSubstr("*OUTPUT\nNo feasible design of agent 0 (sizing). The least infeasible "
                        "one: design "));
  EXPECT_THAT(result.out, HasSubstr("\n  x = 0\n  f = 1.44 (objective: minimise)\n"
                                    "  g = 0 (constraint: <= -1)\n"));
  EXPECT_THAT(result.err, HasSubstr("  best -  "));
}

// ---------------------------------------------------------------------------------------
// An interactive terminal

TEST(ProgressLine, SaysWhereTheRunIsAndEstimatesTheTimeLeft) {
  ProgressState state;
  state.agent = 2;
  state.agentName = "sizing";
  state.cycle = 1;
  state.cycles = 3;
  state.evaluations = 40;
  state.budget = 100;
  state.doneInRun = 30;
  state.failed = 1;
  state.running = 2;
  state.queued = 5;
  state.runStart = 100.0;
  state.agentStart = 160.0;
  // Not a feasible design yet; no estimate without a budget.
  ProgressState unknown = state;
  unknown.budget = 0;
  EXPECT_EQ(progressText(unknown, 3800.0),
            "agent 2 (sizing)  cycle 2/3  evals 40  running 2  queued 5  failed 1  best -  "
            "01:01:40 elapsed");
  // 30 designs in 90 s, 60 to go: three minutes left.
  state.haveBest = true;
  state.best = -0.125;
  state.bestDesign = 17;
  EXPECT_EQ(progressText(state, 250.0),
            "agent 2 (sizing)  cycle 2/3  evals 40/100  running 2  queued 5  failed 1  "
            "best -0.125 (design 17)  00:02:30 elapsed  about 00:03:00 left");
  // A DOE agent scores every design 1: no best design.
  state.ranked = false;
  EXPECT_EQ(progressText(state, 250.0),
            "agent 2 (sizing)  cycle 2/3  evals 40/100  running 2  queued 5  failed 1  "
            "00:02:30 elapsed  about 00:03:00 left");
  EXPECT_EQ(progressClock(-3.0), "00:00:00");
  EXPECT_EQ(progressClock(359999.6), "100:00:00");
}


// On a terminal (a pseudo-terminal made by script(1)) the progress line is redrawn in place
// and the per-design notes go to the message file only, unless `verbose` asks for them; a pipe
// keeps them on standard output and gets one plain progress line per cycle. The run ends with
// its best design.
TEST(Terminal, ProgressLineAndPerDesignNotesOnATerminalAndOnAPipeThenTheBestDesign) {
  TempDir dir;
  writeSearchStudy(dir);
  const std::string note = "*NOTE\nCompleted design evaluation for all designs requested.";
  const auto onTerminal = [&dir](const std::string& options) {
    const ProcessResult result = runShell(
        "KARVO_ROOT=" + shellQuote(dir.path()) + " script -qec " +
            shellQuote(shellQuote(KARVO_BINARY) + " i=study.in" + options) + " /dev/null",
        dir.path());
    EXPECT_EQ(result.status, 0) << result.out;
    return result.out;
  };
  const std::string raw = onTerminal("");
  EXPECT_THAT(raw, HasSubstr("\ragent 0 (sizing)  cycle 1/2  evals "));
  // The messages of the run, the end-of-run note too, start on a clean line.
  EXPECT_THAT(raw, HasSubstr("\r\x1b[K"));
  const auto withoutReturns = [](std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
  };
  const std::string quiet = withoutReturns(raw);
  EXPECT_THAT(quiet, Not(HasSubstr(note)));
  EXPECT_THAT(quiet, HasSubstr("*OUTPUT\nBest design of agent 0 (sizing): design 1\n"));
  EXPECT_THAT(quiet, HasSubstr("End of KARVO run."));
  EXPECT_THAT(readFile(dir.file("study.mes")), HasSubstr(note));
  EXPECT_THAT(withoutReturns(onTerminal(" verbose")), HasSubstr(note));
  const ProcessResult piped = runStudy(dir);
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_THAT(piped.out, HasSubstr(note));
  EXPECT_THAT(readFile(dir.file("study.mes")), Not(HasSubstr(note)));
  // On a pipe: no control characters, one line per cycle of the agent; the line shows the
  // objective's value, not the score.
  const std::regex line(
      "agent 0 \\(sizing\\)  cycle ([12])/2  evals (\\d+)/16  running 0  queued 0  failed 0  "
      "best f -?[0-9.e+-]+ \\(design \\d+\\)  \\d\\d:\\d\\d:\\d\\d elapsed( +about "
      "\\d\\d:\\d\\d:\\d\\d left)?\n");
  std::string rest = piped.err;
  std::smatch match;
  int lines = 0;
  while (std::regex_search(rest, match, line, std::regex_constants::match_continuous)) {
    EXPECT_EQ(match[1].str(), std::to_string(++lines));
    rest = match.suffix();
  }
  EXPECT_EQ(lines, 2) << piped.err;
  EXPECT_EQ(rest, "") << piped.err;
  EXPECT_THAT(piped.err, HasSubstr("  best f 0.04 (design 1)  "));
  // The best feasible design, with its variables and its objective and constraint values as
  // the study states them, on standard output, in the message file and in the report.
  const std::string best =
      "Best design of agent 0 (sizing): design 1\n  x = 1\n  f = 0.04 (objective: minimise)\n"
      "  g = 1 (constraint: <= 1.1)\n";
  EXPECT_THAT(piped.out, HasSubstr("*OUTPUT\n" + best + "\n"));
  EXPECT_THAT(readFile(dir.file("study.mes")), HasSubstr("*OUTPUT\n" + best + "\n"));
  EXPECT_THAT(readFile(dir.file("demo0.rpt")),
              HasSubstr("\n*BEST DESIGN\n" + best + "\nEnd of KARVO run.\n*EXIT STATE\n"));
}

}  // namespace
}  // namespace karvo
