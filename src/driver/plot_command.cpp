// karvo plot: reads a study and the history files of its agents and writes the plots of
// results/plots.h as SVG files into one folder. It reads results only; a run may go on in
// the same folder meanwhile (a history is replaced whole by the run, never written in place).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/run_state.h"
#include "definitions/study.h"
#include "driver/study_tools.h"
#include "evaluation/history_file.h"
#include "platform/platform.h"
#include "results/history_table.h"
#include "results/plots.h"
#include "results/svg_writer.h"
#include "search/pareto_file.h"

namespace karvo {

namespace {

namespace fs = std::filesystem;

constexpr const char* kPlotUsage =
    "Usage: karvo plot <study file> [--out <folder>]\n"
    "Writes SVG plots of the study's results into <folder> (default: \"plots\" in the study's\n"
    "folder).\n";

int plotUsageError() {
  std::fputs(kPlotUsage, stderr);
  return kExitCommandLine;
}

// `folder` joined with `name` as the user spelled the folder.
std::string shownPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

int runPlotCommand(int argc, char** argv) {
  std::string studyPath;
  std::string outFolder;
  bool haveOut = false;
  for (int i = 2; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--out") == 0) {
      if (haveOut || i + 1 >= argc || argv[i + 1][0] == '\0') return plotUsageError();
      outFolder = argv[++i];
      haveOut = true;
    } else if (argument[0] == '-' || !studyPath.empty() || argument[0] == '\0') {
      return plotUsageError();
    } else {
      studyPath = argument;
    }
  }
  if (studyPath.empty()) return plotUsageError();

  // Both folders as the user named them (for the lines printed) and absolute (the reading
  // of the study changes the current directory to the study's folder).
  std::error_code error;
  if (!haveOut) {
    const fs::path parent = fs::path(studyPath).parent_path();
    outFolder = parent.empty() ? std::string("plots") : (parent / "plots").string();
  }
  const fs::path absoluteOut = fs::absolute(outFolder, error);
  if (error) {
    std::fprintf(stderr, "The output folder %s cannot be used.\n", outFolder.c_str());
    return kExitCommandLine;
  }

  readStudyForTool(studyPath);

  std::vector<plots::PlotFile> files;
  bool anyResults = false;
  for (const Agent& agent : agents) {
    const std::string historyPath = historyFilePath(agent.number);
    if (!platform::isRegularFile(historyPath)) continue;
    HistoryTable table;
    std::string reason;
    if (!readHistoryTable(agent.number, historyPath, table, reason)) {
      std::fprintf(stderr, "Agent %d: %s\n", agent.number, reason.c_str());
      continue;
    }
    if (!table.warning.empty()) std::fprintf(stderr, "Warning: %s\n", table.warning.c_str());
    if (table.rows.empty()) continue;
    anyResults = true;
    const std::string paretoPath = search::paretoFilePath(agent.number, false);
    std::vector<plots::PlotFile> agentFiles =
        plots::agentPlots(agent, table, platform::isRegularFile(paretoPath) ? paretoPath : "");
    for (auto& file : agentFiles) files.push_back(std::move(file));
  }
  if (files.empty()) {
    std::fputs(anyResults ? "The results of the study give no plot.\n"
                          : "The study has no results yet: no plot written.\n",
               stderr);
    return kExitNormal;
  }

  fs::create_directories(absoluteOut, error);
  if (!fs::is_directory(absoluteOut)) {
    std::fprintf(stderr, "The output folder %s cannot be made.\n", outFolder.c_str());
    return kExitCommandLine;
  }
  for (const auto& file : files) {
    std::string reason;
    if (!svg::writeTextFile((absoluteOut / file.name).string(), file.text, reason)) {
      std::fprintf(stderr, "The plot %s cannot be written.\n",
                   shownPath(outFolder, file.name).c_str());
      return kExitCommandLine;
    }
    std::printf("%s\n", shownPath(outFolder, file.name).c_str());
  }
  return kExitNormal;
}

}  // namespace karvo
