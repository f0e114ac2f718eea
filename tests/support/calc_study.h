// The small study of the evaluation-flow tests: one optimization agent 0 ("sizing", TOLMAR,
// run prefix "demo", study file "study.in") over x in [0, 2] (baseline 1.5), whose analysis
// "calc" writes x into "calc.inp" through "calc.tpl", runs its command and gives the objective
// f from the line "RESULT F = <x>" of its listing; and a fixture that evaluates batches of it
// in the test process.
#pragma once

#include <string>
#include <vector>

#include "evaluation/evaluation_flow.h"
#include "support/study_files_fixture.h"

namespace karvo::testing {

// The script "calc.sh": reads its tagged input and writes the listing "calc.out".
extern const std::string kCalcScript;

struct CalcStudy {
  std::string script = kCalcScript;  // calc.sh, an input file from the study folder; "": none
  std::string command = "sh calc.sh";  // toolCmd of "calc"
  std::string extraAnalysis{};         // *ANALYSIS lines added to "calc"
  std::string extraExecution{};        // *EXECUTION_DEFINITION lines added to "calc"
  std::string extraDefinitions{};      // more records of Definitions.in
  std::string acceptRange{};           // lines of the response record of f
  std::string extractFrom = "calc.out";  // the file of the extraction definition f.def
  bool secondAnalysis = false;         // "after", run once "calc" has ended: touch after.ran
  std::string afterExecution{};        // *EXECUTION_DEFINITION lines added to "after"
  bool withFormula = true;             // the formula response g = f * 2 (needs the interpreter)
  bool parallel = true;                // the process's parallel option
  std::string studyMode = "newStudy";  // `mode` of the study record
};

void writeCalcStudy(const std::string& dir, const CalcStudy& study);

// Reads a calc study written into the fixture's folder and evaluates batches of agent 0.
class CalcFlowTest : public StudyFilesTest {
 protected:
  explicit CalcFlowTest(const std::string& prefix = "karvo-flow") : StudyFilesTest(prefix) {}
  void SetUp() override;
  void TearDown() override;

  void load(const CalcStudy& study);
  static Design designAt(double x);
  BatchSummary evaluate(std::vector<Design>& designs);
};

}  // namespace karvo::testing
