#include "support/calc_study.h"

#include "evaluation/responses.h"
#include "evaluation/running_log.h"

namespace karvo::testing {

const std::string kCalcScript = "read x < calc.inp\necho \"RESULT F = $x\" > calc.out\n";

void writeCalcStudy(const std::string& dir, const CalcStudy& study) {
  writeFile(dir + "/Assembly.in",
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir + "/Definitions.in",
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1.5\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n" + study.acceptRange +
                (study.withFormula ? "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: f * 2\n"
                                   : "") +
                study.extraDefinitions + "*END\n");
  writeFile(dir + "/Representation0.in", "*VARIABLE\nname: x\nid: 1\nresolution: 5\n*END\n");
  writeFile(dir + "/Performance0.in",
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n" +
                std::string(study.withFormula ? "*RESPONSE\nname: g\ntype: response\n" : "") +
                "*END\n");
  writeFile(dir + "/calc.tpl", "{{x}}\n");
  if (!study.script.empty()) writeFile(dir + "/calc.sh", study.script);
  writeFile(dir + "/f.def", "file: " + study.extractFrom + "\nanchor: RESULT F\nword: 4\n");
  std::string process =
      "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: " +
      std::string(study.parallel ? "yes" : "no") + "\n*ANALYSIS\nname: calc\nid: 1\n" +
      (study.script.empty() ? "" : "inputFile: calc.sh, studyFolder, , file, yes\n") +
      "inputTagFile: calc.tpl, calc.inp\noutputFile: calc.out\noutputTagFile: f, f.def\n"
      "outputResponse: f\n" +
      (study.withFormula ? "calculatedResponse: g\n" : "") + study.extraAnalysis +
      "*EXECUTION_DEFINITION\ntoolCmd: " + study.command + "\nsuccessReturnValue: 0\n" +
      study.extraExecution;
  if (study.secondAnalysis) {
    process += "*ANALYSIS\nname: after\nid: 2\ndependency: calc, design\n"
               "*EXECUTION_DEFINITION\ntoolCmd: touch after.ran\n" + study.afterExecution;
  }
  writeFile(dir + "/Process0.in", process + "*END\n");
  writeFile(dir + "/study.in",
            "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\nrandomSeed: 0.5\n"
            "mode: " + study.studyMode + "\n*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 20\n*END\n");
}

namespace {
void resetFlowTables() {
  resetResponseProcessing();
  resetEvaluationFlow();
  resetRunningLog();
}
}  // namespace

void CalcFlowTest::SetUp() {
  StudyFilesTest::SetUp();
  resetFlowTables();
  run.runPrefix = "demo";
  routeAnalysisMessages();
}

void CalcFlowTest::TearDown() {
  StudyFilesTest::TearDown();
  resetFlowTables();
}

void CalcFlowTest::load(const CalcStudy& study) {
  writeCalcStudy(dir_.path(), study);
  readDefinitions();
  readRepresentationFile(0);
  readProcessFile(0);
  checkProcessConsistency();
  readPerformanceFile(0);
  Agent agent;
  agent.number = agent.representation = agent.performance = agent.process = 0;
  agent.name = "sizing";
  agent.type = kAgentOptimization;
  agents.push_back(agent);
}

Design CalcFlowTest::designAt(double x) {
  return {.representation = 0, .num_dvar = 1, .encoding = kEncodingReal, .chromosome = {0},
          .reals = {x}, .responses = {}};
}

BatchSummary CalcFlowTest::evaluate(std::vector<Design>& designs) {
  return evaluateDesigns(agents[0], designs, standardEvaluationServices());
}

}  // namespace karvo::testing
