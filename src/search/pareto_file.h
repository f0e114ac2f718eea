// The Pareto file of a multi-objective agent, "<study folder>/<run prefix><agent>.pto"
// ("<run prefix>_post<agent>.pto" for an agent that only post-processes): after each cycle
// the archive's design numbers and front ranks are appended as one block, and a run that is
// continued from its history reads the file back to restore its archive.
//
// Block format (text):
//
//   Eval #, Rank in Cycle 3          header; the cycle number is one more than that of the
//          12,        1              last header in the file (1 for the first block)
//          40,        2              one line per archive member, "%8d, %8d": design number
//                                    and front rank, in archive order
//                                    one empty line ends the block
//
// Reading back: a line beginning with "E" starts a block (its cycle number is the sixth
// blank-separated token); another line of at least 3 characters gives the design number (the
// first comma-separated field) and the rank (the second); lines are cut at 1024 characters.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace karvo::search {

// The file of agent `agentNumber` in the working directory.
std::string paretoFilePath(int agentNumber, bool postProcessing);

struct ParetoBlock {
  int cycle = 0;                   // from the header
  std::vector<int> designs;        // design numbers, archive order
  std::vector<int> ranks;          // front rank of each
  bool complete = false;           // its empty closing line was read
};

// Appends one block to `path` (created when missing). Its cycle number follows the last
// header of the file. A file that cannot be opened writes "\n        Error in opening the
// pareto output file for writing (%s)." to the log and ends the run with "Exiting".
void appendParetoBlock(const std::string& path, std::span<const int> designNumbers,
                       std::span<const int> ranks);

// Reads every block of `path`. False with `error` set when the file cannot be read, or with
// "Error in reading design number from line %d of the PTO file during a restart. The line
// was read as \"%s\"" when a member line's design number is below 1 (or not a number).
bool readParetoBlocks(const std::string& path, std::vector<ParetoBlock>& blocks,
                      std::string& error);

// The text of `blocks` as the file holds them.
std::string paretoBlocksText(std::span<const ParetoBlock> blocks);

// Continuing a run from its history: the complete blocks of `path` whose largest design number does
// not exceed `lastHistoryDesign` (the last design taken from the history) are kept, later
// blocks are dropped, and the file is written again with the kept blocks (a new file in the
// same folder renamed over the old one; "Error in writing to the PTO file during a
// restart." ends the run when that fails). Answers the last kept block in `last` (false
// when none is kept). A missing or unreadable file writes the warning "Error in reading
// restart data from the PTO file: %s. Make sure the correct file exists in the study folder
// and try again." and answers false; a design number below 1 ends the run with its message.
bool restartParetoFile(const std::string& path, int lastHistoryDesign, ParetoBlock& last);

}  // namespace karvo::search
