#include "support/one_agent_study.h"

#include "support/test_support.h"

namespace karvo::testing {

const std::string kDefaultFormat = "*DEFINE_FORMAT\nname: Default\ntype: automatic\n";

void writeOneAgentStudy(const std::string& dir, const OneAgentStudy& study) {
  writeFile(dir + "/Assembly.in", "*TYPE\nversion: 2019.01\n*AGENT\nid: 0\nname: " + study.name +
                                      "\ntype: " + study.type +
                                      "\nrepresentation: 0\nperformance: 0\nprocess: 0\n*END\n");
  writeFile(dir + "/Definitions.in", study.definitions + "*END\n");
  writeFile(dir + "/Representation0.in", study.representation + "*END\n");
  writeFile(dir + "/Performance0.in", study.performance + "*END\n");
  writeFile(dir + "/Process0.in",
            "*TYPE\nversion: 2019.01\n" +
                (study.process.empty() ? "*PROCESS\nname: formulas\n" : study.process) + "*END\n");
  writeFile(dir + "/study.in",
            "*STUDY\nname: " + study.name + "\nstartAgent: 0\nendAgent: 0\nfilePrefix: " +
                study.prefix + "\nrandomSeed: 0.5\nmode: newStudy\n" +
                (study.runOptions.empty() ? "" : "*RUN_OPTIONS\n" + study.runOptions) +
                "*AGENT\nid: 0\n" + study.agent + "*END\n");
}

std::string continuous(const std::string& name, int id, const std::string& min,
                       const std::string& baseline, const std::string& max) {
  return "*DEFINE_VARIABLE\nname: " + name + "\ntype: Continuous\nid: " + std::to_string(id) +
         "\nmin: " + min + "\nbaseline: " + baseline + "\nmax: " + max + "\n";
}

std::string formulaResponse(const std::string& name, const std::string& formula) {
  return "*DEFINE_RESPONSE\nname: " + name + "\ntype: Formula\nformula: " + formula + "\n";
}

std::string slot(const std::string& name, int id, int resolution) {
  return "*VARIABLE\nname: " + name + "\nid: " + std::to_string(id) +
         "\nresolution: " + std::to_string(resolution) + "\n";
}

std::string minimised(const std::string& name) {
  return "*RESPONSE\nname: " + name +
         "\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\nquadWt: 0\nlinearWt: 1\n";
}

std::string atMost(const std::string& name, const std::string& target,
                   const std::string& factor) {
  return "*RESPONSE\nname: " + name + "\ntype: constraint\noption: less_equal\nfactor: " +
         factor + "\ntarget: " + target + "\nquadWt: 0\nlinearWt: 1\n";
}

}  // namespace karvo::testing
