// The Pareto file: one block per cycle, appended; read back and cut when a run continues.
#include "search/pareto_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/messages.h"
#include "base/run_state.h"
#include "base/text.h"
#include "platform/platform.h"

namespace karvo::search {

namespace {

constexpr std::size_t kLineLimit = 1024;

// The sixth blank-separated token of a header line ("Eval #, Rank in Cycle 3"), 0 when it is
// missing or not a number.
int headerCycle(const std::string& line) {
  std::istringstream words(line);
  std::string token;
  for (int i = 0; i < 6; ++i) {
    if (!(words >> token)) return 0;
  }
  char* end = nullptr;
  const long value = std::strtol(token.c_str(), &end, 10);
  return end != token.c_str() ? static_cast<int>(value) : 0;
}

// The cycle of the last header of the file's text (0 without a header).
int lastCycleOf(const std::string& text) {
  int cycle = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text[start] == 'E') cycle = headerCycle(text.substr(start, std::min(end - start, kLineLimit)));
    start = end + 1;
  }
  return cycle;
}

std::string blockText(int cycle, std::span<const int> designs, std::span<const int> ranks) {
  std::string text = formatText("Eval #, Rank in Cycle %d\n", cycle);
  for (std::size_t i = 0; i < designs.size(); ++i) {
    text += formatText("%8d, %8d\n", designs[i], i < ranks.size() ? ranks[i] : 0);
  }
  text += "\n";
  return text;
}

bool readWhole(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  text.clear();
  char buffer[65536];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

}  // namespace

std::string paretoFilePath(int agentNumber, bool postProcessing) {
  const std::string name = postProcessing
                               ? formatText("%s_post%d.pto", run.runPrefix.c_str(), agentNumber)
                               : formatText("%s%d.pto", run.runPrefix.c_str(), agentNumber);
  return platform::joinPath(run.workingDirectory, name);
}

void appendParetoBlock(const std::string& path, std::span<const int> designNumbers,
                       std::span<const int> ranks) {
  std::string existing;
  const int cycle = readWhole(path, existing) ? lastCycleOf(existing) + 1 : 1;
  std::FILE* file = std::fopen(path.c_str(), "a");
  const std::string text = blockText(cycle, designNumbers, ranks);
  bool ok = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file && std::fclose(file) != 0) ok = false;
  if (!ok) {
    writeMessage("outptr", "error",
                 formatText("\n        Error in opening the pareto output file for writing (%s).",
                            path.c_str()));
    fatalError("Exiting");
  }
}

bool readParetoBlocks(const std::string& path, std::vector<ParetoBlock>& blocks,
                      std::string& error) {
  blocks.clear();
  std::string text;
  if (!readWhole(path, text)) {
    error = formatText("%s (%s)", path.c_str(), std::strerror(errno));
    return false;
  }
  int lineNumber = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, std::min(end - start, kLineLimit));
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == 'E') {
      blocks.push_back(ParetoBlock{headerCycle(line), {}, {}});
      continue;
    }
    if (line.empty() && !blocks.empty()) blocks.back().complete = true;
    if (line.size() < 3 || blocks.empty()) continue;
    const char* at = line.c_str();
    char* next = nullptr;
    errno = 0;
    const long design = std::strtol(at, &next, 10);
    if (next == at || errno != 0 || design < 1 || design > 2147483647L) {
      error = formatText(
          "Error in reading design number from line %d of the PTO file during a restart. "
          "The line was read as \"%s\"",
          lineNumber, line.c_str());
      return false;
    }
    long rank = 0;
    if (const char* comma = std::strchr(next, ',')) rank = std::strtol(comma + 1, nullptr, 10);
    blocks.back().designs.push_back(static_cast<int>(design));
    blocks.back().ranks.push_back(static_cast<int>(std::clamp<long>(rank, 0, 2147483647L)));
  }
  return true;
}

std::string paretoBlocksText(std::span<const ParetoBlock> blocks) {
  std::string text;
  for (const ParetoBlock& block : blocks) text += blockText(block.cycle, block.designs, block.ranks);
  return text;
}

bool restartParetoFile(const std::string& path, int lastHistoryDesign, ParetoBlock& last) {
  std::vector<ParetoBlock> blocks;
  std::string error;
  if (!readParetoBlocks(path, blocks, error)) {
    if (error.rfind("Error in reading design number", 0) == 0) fatalError(error);
    writeMessage("outptr", "warning",
                 formatText("Error in reading restart data from the PTO file: %s. Make sure the "
                            "correct file exists in the study folder and try again.",
                            error.c_str()));
    return false;
  }
  std::vector<ParetoBlock> kept;
  for (ParetoBlock& block : blocks) {
    if (!block.complete || block.designs.empty()) break;  // cut off by a stopped run
    const int largest = *std::max_element(block.designs.begin(), block.designs.end());
    if (largest > lastHistoryDesign) break;
    kept.push_back(std::move(block));
  }
  std::string writeError;
  if (!platform::replaceFileContents(path, paretoBlocksText(kept), &writeError)) {
    fatalError("Error in writing to the PTO file during a restart.");
  }
  if (kept.empty()) return false;
  last = std::move(kept.back());
  return true;
}

}  // namespace karvo::search
