// The small study of the Slurm runs (slurm_run_test.cpp): one
// analysis that runs as a batch job of a one-node cluster, submitted from this machine or
// through a remote machine.
#pragma once

#include <algorithm>
#include <string>

#include "support/test_support.h"

namespace karvo::testing {

// The resource as docs/scale-out.md writes it: the id read back from sbatch, the job queued
// until squeue shows it RUNNING, ended once squeue answers without it, killed with scancel.
// `submitOptions` are added to sbatch ("--exclusive": one job on the node at a time).
inline std::string slurmResource(const std::string& submitOptions = "") {
  return "*DEFINE_COMPUTE_RESOURCE\nname: slurm\ntype: Scheduled\n"
         "jobCommand: sbatch --job-name=%JOBNAME% --output=slurm.out " + submitOptions + "\n"
         "jobReadID: 1\njobIDStart: Submitted batch job\n"
         "finishCmd: squeue --noheader --format=\"%i %T\"\nfinishCmdCheck: 1\n"
         "finishReturnValue: 0\nfinishFindJob: ID\n"
         "useJobStatus: 1\njobStartedText: RUNNING\njobStartedCol: 2\n"
         "killCmd: scancel %JOBID%\n";
}

// A study whose one analysis "calc" runs `script` (after writing the Slurm job id into
// "job.id") on the resource "slurm". With `doeRuns` > 0 it is a design of experiments of that
// many runs (x at its first two levels, y over its levels) evaluated `parallel` at a time;
// otherwise one TOLMAR agent, for check-setup runs of the baseline design.
struct SlurmStudy {
  std::string script;
  std::string extraAnalysis{};  // *ANALYSIS lines added to "calc"
  std::string submitOptions{};
  int doeRuns = 0;
  int parallel = 1;
  bool local = false;  // the analysis runs on this machine instead (no compute resource)
  int evaluations = 20;  // TOLMAR's budget
  // A *DEFINE_REMOTE_MACHINE record named "box": the jobs are submitted there, and "job.id"
  // comes back with the output. `resourceLines` are added to the resource.
  std::string remoteProfile{};
  std::string resourceLines{};
};

inline void writeSlurmStudy(const std::string& dir, const SlurmStudy& study) {
  const bool doe = study.doeRuns > 0;
  writeFile(dir + "/Assembly.in",
            std::string("*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: sizing\ntype: ") +
                (doe ? "doe" : "optimization") +
                "\nrepresentation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir + "/Definitions.in",
            "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
            "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: -2\nbaseline: 1.5\nmax: 2\n"
            "*DEFINE_VARIABLE\nname: y\ntype: Continuous\nid: 2\nmin: 0\nbaseline: 1\nmax: 20\n"
            "*DEFINE_RESPONSE\nname: f\ntype: File\n" +
                study.remoteProfile + slurmResource(study.submitOptions) + study.resourceLines +
                (study.remoteProfile.empty() ? "" : "jobRemote: yes\njobRemoteProfile: box\n") +
                "*END\n");
  std::string representation = "*VARIABLE\nname: x\nid: 1\nresolution: 5\n"
                               "*VARIABLE\nname: y\nid: 2\nresolution: 5\n";
  std::string runs;
  if (doe) {
    const int levels = std::max(2, (study.doeRuns + 1) / 2);
    std::string values = "levels:" + std::to_string(levels) + "\n";
    for (int level = 1; level <= levels; ++level) values += std::to_string(level) + "\n";
    representation += "*FACTOR\nname: x\n" + values + "*FACTOR\nname: y\n" + values;
    runs = std::to_string(study.doeRuns) + " 2 " + std::to_string(levels) + "\n";
    for (int run = 0; run < study.doeRuns; ++run) {
      runs += std::to_string(run % 2) + " " + std::to_string(run / 2) + "\n";
    }
    writeFile(dir + "/Doe_input.in", runs);
  }
  writeFile(dir + "/Representation0.in", representation + "*END\n");
  writeFile(dir + "/Performance0.in",
            "*RESPONSE\nname: f\ntype: objective\nfactor: 1\noption: min_value\ntarget: 0\n"
            "quadWt: 0\nlinearWt: 1\n*END\n");
  writeFile(dir + "/calc.tpl", "{{x}} {{y}}\n");
  writeFile(dir + "/calc.sh", "echo \"$SLURM_JOB_ID\" > job.id\n" + study.script);
  writeFile(dir + "/f.def", "file: calc.out\nanchor: RESULT F\nword: 4\n");
  writeFile(dir + "/Process0.in",
            "*TYPE\nversion: 2019.01\n*PROCESS\nname: p\nparallel: yes\n*ANALYSIS\nname: calc\n"
            "id: 1\ninputFile: calc.sh, studyFolder, , file, yes\n"
            "inputTagFile: calc.tpl, calc.inp\noutputFile: calc.out\noutputTagFile: f, f.def\n"
            "outputResponse: f\n" + std::string(study.local ? "" : "computeResource: slurm\n") +
                (study.remoteProfile.empty() ? "" : "outputFile: job.id\n") +
                study.extraAnalysis +
                "*EXECUTION_DEFINITION\ntoolCmd: sh calc.sh\nsuccessReturnValue: 0\n"
                "finishCheckFrequency: 1\nnumDesigns: " + std::to_string(study.parallel) +
                "\n*END\n");
  writeFile(dir + "/study.in",
            "*STUDY\nname: demo\nstartAgent: 0\nendAgent: 0\nfilePrefix: demo\nrandomSeed: 0.5\n"
            "nParallel: " + std::to_string(study.parallel) +
                "\nmode: newStudy\n*RUN_OPTIONS\nuseBaseline: 0\n*AGENT\nid: 0\n" +
                (doe ? "method: DOE\nsampleMethod: OtherFile\ngenRSMAfterStudy: 0\n"
                     : "method: TOLMAR\nnumEvals: " + std::to_string(study.evaluations) + "\n") +
                "*END\n");
}

}  // namespace karvo::testing
