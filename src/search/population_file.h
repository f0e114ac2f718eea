// The population file of a search agent, "<prefix><agent>.mem" in the study folder: its
// members with their results, written with the checkpoint at the end of a cycle
// (results/checkpoint.h) through the verified two-slot file (base/verified_file.h). An
// extended run restores the population from it; an agent takes migrants from the file of a
// donor agent that runs in another solver process.
//
// Population file (slot data, little-endian int32 and 64-bit reals):
//   header   version (201901), population size N, nominal member record size (performance
//            block + 4 x (V + 2 x (V + P + 8)), + 4 when V is even), the checkpoint stamp
//            (cycles the agent had completed), V, the index of the best member (-1: none),
//            1 for a multi-objective agent, then per member its origin flags
//   records  N members in population order, no random pool members, then the baseline
//            design (the agent's best-ever design when it has one, else the first member)
// Member record: record size in bytes (this word included); V, representation, source,
// status, failed flag, encoding; V + P reals (variables, then parameters); each project
// response as a typed value, then each dependent variable; the member's raw fitness, the
// performance and the constraint violation; design number, generation, cycle and tag; the
// V field values; an int32 0 when V is even; the performance block of the history file.
#pragma once

#include <cstddef>
#include <string>

#include "base/design.h"
#include "evaluation/history_file.h"

namespace karvo {
struct Agent;
}  // namespace karvo

namespace karvo::search {

struct Population;

// Whether `agent` runs a multi-objective search (MOTOLMAR or NSGA).
bool multiObjectiveSearch(const Agent& agent);

// The slot data of the population file of `agent` holding `population`, with `stamp`.
std::string populationFileData(const Agent& agent, const Population& population, int stamp);

// The population file, open for reading.
struct PopulationFile {
  bool open = false;
  std::string path;
  std::string data;          // the slot's bytes
  std::size_t first = 0;     // where the first member record starts
  int members = 0;           // population size N of the header
  int stamp = 0;
  int bestIndex = -1;
  bool previousSlot = false; // the data came from the slot not in use (see InitCPRead)
  bool haveShape = false;    // `shape` is worked out (by the first NthMemRead)
  HistoryShape shape;        // the entry sizes of the agent that wrote the file
};

// Opens the population file of `path` and reads its header. With `stamp` >= 0 the slot whose
// stamp it is is read (a write cut off between the population file and the checkpoint header
// leaves the population file one cycle ahead: its other slot then holds the population of the
// header); with -1 the slot in use. False when the file is missing or unreadable or holds no
// such data.
bool InitCPRead(PopulationFile& file, const std::string& path, int stamp);
// Reads member record `n` (0-based; N is the baseline design) into `design` (for `agent`,
// the agent that wrote the file) and its raw fitness into `raw`, skipping the n records
// before it by their leading size. False with "No file pointer in NthMemRead().\n", "Can't
// read member size in NthMemRead(%d).\n" or "Can't set filepointer to %ld in
// NthMemRead(%d).\n" on standard error when the record cannot be reached, or quietly when it
// is malformed.
bool NthMemRead(PopulationFile& file, const Agent& agent, int n, Design& design, double& raw);
// Closes the file. False when none was open.
bool EndCPRead(PopulationFile& file);

}  // namespace karvo::search
