// A local analysis ends when its process ends: the completion check is made at once, not at
// the next tick of finishCheckFrequency. A check-setup run of the karvo binary on a study of
// two analyses that end at once, each checked only every 60 s otherwise.
#include <chrono>
#include <string>

#include "support/test_support.h"

namespace karvo {
namespace {

using testing::HasLines;
using testing::readFile;
using testing::runKarvo;
using testing::TempDir;
using testing::writeFile;

// "calc" writes its listing and exits; its finish condition is that the listing exists.
// "after" (after "calc") touches a file and exits, with no finish condition: the process
// decides. Both check for completion every 60 s.
void writeQuickAnalysesStudy(const TempDir& dir) {
  writeFile(dir.file("Assembly.in"),
            "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: optimization\n"
            "representation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir.file("Definitions.in"),
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: 0\nbaseline: 1.5\nmax: 2\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n"
            "*DEFINE_CONDITION\nname: listed\ntype: FileExist\nfileType: output\n"
            "fileRef: calc.out\n*END\n");
  writeFile(dir.file("Representation0.in"), "*VARIABLE\nname: x\nid: 1\nresolution: 5\n*END\n");
  writeFile(dir.file("Performance0.in"),
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir.file("calc.tpl"), "{{x}}\n");
  writeFile(dir.file("calc.sh"), "read x < calc.inp\necho \"RESULT F = $x\" > calc.out\n");
  writeFile(dir.file("f.def"), "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir.file("Process0.in"),
            "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n"
            "*ANALYSIS\nname: calc\nid: 1\ninputFile: calc.sh, studyFolder, , file, yes\n"
            "inputTagFile: calc.tpl, calc.inp\noutputFile: calc.out\noutputTagFile: f, f.def\n"
            "outputResponse: f\n*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\n"
            "successReturnValue: 0\nfinishCondition: listed\nfinishCheckFrequency: 60\n"
            "*ANALYSIS\nname: after\nid: 2\ndependency: calc, design\n"
            "*EXECUTION_DEFINITION\ntoolCmd: touch after.ran\nfinishCheckFrequency: 60\n*END\n");
  writeFile(dir.file("study.in"),
            "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\nrandomSeed: 0.5\n"
            "mode: newStudy\n*AGENT\nid: 0\nmethod: TOLMAR\nnumEvals: 20\n*END\n");
}

// Each analysis waiting for its 60 s tick would take the run past a minute; both ending with their
// process takes about a second. The bound is loose for a busy machine or a sanitizer build.
TEST(ProcessEnd, LocalAnalysesEndWithTheirProcessNotAtTheNextCheck) {
  TempDir dir("karvo-process-end");
  writeQuickAnalysesStudy(dir);
  const auto start = std::chrono::steady_clock::now();
  const testing::ProcessResult result =
      runKarvo({"i=study.in", "checksetup"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(result.status, 0) << readFile(dir.file("study.mes"));
  EXPECT_LT(seconds, 30.0);
  EXPECT_THAT(readFile(dir.file("POST_0/Design1/calc/analysis.log")),
              HasLines("*STATUS\nSUCCESS\n"));
  EXPECT_THAT(readFile(dir.file("POST_0/Design1/after/analysis.log")),
              HasLines("*STATUS\nSUCCESS\n"));
}

}  // namespace
}  // namespace karvo
