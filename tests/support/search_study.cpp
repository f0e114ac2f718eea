// Formula-only search studies for the tests of the search methods; see search_study.h.
#include "support/search_study.h"

#include <algorithm>
#include <filesystem>
#include <regex>

namespace karvo::testing {

namespace fs = std::filesystem;

void writeSearchStudy(const TempDir& dir, const SearchStudy& study) {
  writeFile(dir.file("Assembly.in"),
            "*AGENT\nid: 0\nname: search\ntype: optimization\nrepresentation: 0\n"
            "performance: 0\nprocess: 0\n*END\n");
  std::string definitions =
      "*DEFINE_FORMAT\nname: Default\ntype: automatic\n"
      "*DEFINE_VARIABLE\nname: x\ntype: Continuous\nid: 1\nmin: " + study.lower +
      "\nbaseline: " + study.baseline + "\nmax: 10\n*DEFINE_VARIABLE\nname: y\n" +
      "type: Continuous\nid: 2\nmin: " + study.lower + "\nbaseline: " + study.baseline +
      "\nmax: 10\n*DEFINE_RESPONSE\nname: f\ntype: Formula\n" +
      "formula: " + study.f + "\n";
  std::string performance =
      "*RESPONSE\nname: f\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
      "quadWt: 0\nlinearWt: 1\n";
  if (!study.f2.empty()) {
    definitions += "*DEFINE_RESPONSE\nname: f2\ntype: Formula\nformula: " + study.f2 + "\n";
    performance +=
        "*RESPONSE\nname: f2\ntype: objective\noption: min_value\nfactor: 1\ntarget: 0\n"
        "quadWt: 0\nlinearWt: 1\n";
  }
  if (!study.g.empty()) {
    definitions += "*DEFINE_RESPONSE\nname: g\ntype: Formula\nformula: " + study.g + "\n";
    performance +=
        "*RESPONSE\nname: g\ntype: constraint\noption: less_equal\nfactor: 1\ntarget: 0\n"
        "quadWt: 0\nlinearWt: 1\n";
  }
  writeFile(dir.file("Definitions.in"), definitions + "*END\n");
  writeFile(dir.file("Performance0.in"), performance + "*END\n");
  const std::string resolution = std::to_string(study.resolution);
  writeFile(dir.file("Representation0.in"), "*VARIABLE\nname: x\nid: 1\nresolution: " +
                                                resolution + "\n*VARIABLE\nname: y\nid: 2\n" +
                                                "resolution: " + resolution + "\n*END\n");
  writeFile(dir.file("Process0.in"), study.process);
  writeFile(dir.file("study.in"),
            "*STUDY\nname: search\nstartAgent: 0\nendAgent: 0\nfilePrefix: search\n"
            "randomSeed: 0.25\nnParallel: " + std::to_string(study.parallel) +
                "\nmode: newStudy\n*AGENT\nid: 0\n" + study.agent + "*END\n");
}

ProcessResult runSearchStudy(const TempDir& dir) {
  return runKarvo({"i=study.in"}, dir.path(), {"KARVO_ROOT=" + dir.path()});
}

std::string searchMessages(const TempDir& dir) {
  return unwrapped(readFile(dir.file("study.mes")));
}

std::map<int, std::string> searchDesignResults(const TempDir& dir) {
  std::map<int, std::string> results;
  const std::regex line(
      "Design ([0-9]+) evaluated\\. Status: ([A-Z ]+)\\. Performance: ([^ \\n]+)");
  if (!fs::exists(dir.file("POST_0"))) return results;
  for (const auto& entry : fs::directory_iterator(dir.file("POST_0"))) {
    const fs::path log = entry.path() / "design.log";
    if (!fs::exists(log)) continue;
    const std::string text = readFile(log.string());
    std::smatch match;
    if (std::regex_search(text, match, line)) {
      results[std::stoi(match[1])] = match[2].str() + " " + match[3].str();
    }
  }
  return results;
}

double bestSearchPerformance(const std::map<int, std::string>& results,
                             const std::string& status) {
  double best = -1e300;
  for (const auto& [number, text] : results) {
    if (text.rfind(status + " ", 0) != 0) continue;
    best = std::max(best, std::stod(text.substr(status.size() + 1)));
  }
  return best;
}

}  // namespace karvo::testing
