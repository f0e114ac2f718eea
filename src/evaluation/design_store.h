// The stored-design table of an agent (the "hashing" of the reports): every evaluated design
// is kept as a full copy with its results (packed into a StoredDesign, about a third of the
// memory of a Design), so that an identical design proposed later takes those results
// instead of being evaluated again.
//
// Identity is exact, never within a tolerance. Two designs are identical when they have the
// same representation, the same encoding and the same chromosome, and
//   - for encoding 2 (real values authoritative): the same bit patterns of the variable
//     values; except that a design of encoding 2 whose every value lies on its variable's grid
//     (the round trip to its nearest field value and back gives the same bit pattern) is
//     identified by those field values, as a design of encoding 1: a design made by the
//     operators from the baseline's field values is the baseline, evaluated with the same
//     values. The design itself keeps its encoding;
//   - when the agent does not copy the study's parameter values into its designs
//     (reliability and robustness agents, whose parameters are drawn per design, and robust
//     parameter designs, whose noise runs set the random parameters): the same bit patterns
//     of the parameter values.
// For the hybrid searches (TOLMAR, MOTOLMAR) without the bound-clamping option, such a design
// on the grid is moreover promoted: its own encoding becomes 1 (and so its history entry's).
//
// Look-up and insert are O(1) on average: a hash map from a 64-bit hash of the identity to
// the positions of the stored copies, whose identity is then compared exactly. The table grows
// without limit. When memory for it cannot be had, the messages
// "\n*** Out of memory malloc'ing hash table." (creation), "\n*** Out of memory malloc'ing
// bigger hash table." (growth of the map) or "\n*** Out of mem. malloc'ing bigger hash
// table." (the stored copy), each followed by "\n  No longer will check for saved
// fitnesses\n", go to the message file as a warning; the table is emptied and checks stop
// for the rest of the run, which goes on.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

#include "base/design.h"
#include "evaluation/encoding.h"

namespace karvo {

// One stored design, packed: the few numbers that every look-up compares or that a reuse
// hands back, and one block of memory with its chromosome, real values and response values.
// (A full Design with its five vectors costs about three times as much; a table of a hundred
// thousand designs lives for the whole run.)
struct StoredDesign {
  int representation = -1;
  int num_dvar = 0;
  int source = 0;
  int encoding = 0;
  int status = 0;
  int designNumber = -1;
  int generation = 0;
  int cycle = 0;
  bool failed = false;
  std::uint32_t chromosomeSize = 0;   // ints of the chromosome
  std::uint32_t realsSize = 0;        // reals: variables, then parameters
  std::uint32_t responseCount = 0;    // responses; their values and texts follow in `block`
  std::uint32_t valueCount = 0;       // doubles of all response values
  std::uint32_t nameSize = 0;         // bytes of its name and of its note, the last bytes of
  std::uint32_t noteSize = 0;         // `block`
  int tag = 0;
  std::uint32_t blockBytes = 0;       // bytes of `block`
  double performance = 0.0;
  double violation = 0.0;
  std::unique_ptr<std::byte[]> block;  // reals, response values (doubles); chromosome (int32);
                                       // per response: value count, text count, status,
                                       // present (int32 each); the texts, each an int32
                                       // length and its bytes; the name and the note
};

struct DesignStore {
  bool enabled = false;           // look-ups and inserts are made
  bool outOfMemory = false;       // memory failed: checks stopped for the rest of the run
  bool promoteRealDesigns = false;  // hybrid search without bound clamping: encoding-2
                                  // designs are tried as encoding 1 first
  EncodingContext context;        // the agent's conversions (promotion, parameter rule)
  std::deque<StoredDesign> designs;  // stored copies, in insertion order
  std::unordered_multimap<std::uint64_t, std::size_t> index;  // identity hash -> position in
                                  // `designs`; equal hashes are told apart exactly
  long savedThisProcess = 0;      // evaluations saved by this process, >= 0
  int savedSoFar = 0;             // evaluations saved in the study so far (this process and
                                  // the runs it continues), >= 0
};

// The methods whose designs are promoted: TOLMAR and MOTOLMAR.
bool isHybridSearch(int methodCode);

// Sets up an agent's table: empty, on unless `hashingEnabled` is 0 (the study option
// `turnOffHashing`), with room for 10,000 designs. `savedBefore` is the count of evaluations
// saved by the runs this one continues.
void designStoreCreate(DesignStore& store, const EncodingContext& context, int hashingEnabled,
                       int savedBefore = 0);

// Switches the table off for the rest of the run and releases it: look-ups answer "not
// found" and inserts do nothing. The counters are kept.
void turnOffHashing(DesignStore& store);

// Number of stored designs.
std::size_t designStoreSize(const DesignStore& store);

// The stored design at `position` (0 <= position < designStoreSize) as a Design: its
// representation, variables, source, encoding, chromosome, real values, responses,
// performance, violation, status, failed flag and numbers.
Design designStoreAt(const DesignStore& store, std::size_t position);

// Promotes `design` (encoding 2 -> 1) when the table's rule says so and the round trip
// through the field values reproduces every variable value exactly. Answers true when it did.
bool designStorePromote(const DesignStore& store, Design& design);

// Whether a design identical to `design` (as it is, without promotion) is stored; with
// `found`, that design is copied there. Does not count.
bool designStoreFind(const DesignStore& store, const Design& design, Design* found = nullptr);

// Before evaluation: promotes `design` when due, then looks it up. When an identical design
// is stored, `design` takes its results (responses, performance, violation, status, failed
// flag and design number), both counters go up by one and the answer is true.
bool designStoreReuse(DesignStore& store, Design& design);

// After evaluation: promotes `design` when due and stores a copy of it with its results.
// Answers false when nothing was stored: the table is off, an identical design is already
// stored, or memory ran out (see the top of this file).
bool designStoreInsert(DesignStore& store, Design& design);

// "# Re-evaluations saved  (this process) = %ld\n" and "Evaluations saved by hashing so far:
// %d\n" with the table's counters.
std::string designStoreSavedLine(const DesignStore& store);
std::string designStoreProgressLine(const DesignStore& store);

// Test hook: the allocations that the table makes; when set and answering true for a site,
// that allocation fails as if memory were exhausted.
enum class DesignStoreAllocation {
  Table,        // the map's first buckets, at creation
  BiggerTable,  // an entry of the map (and its growth)
  Record,       // the stored copy of a design
};
extern bool (*designStoreAllocationFails)(DesignStoreAllocation site);

}  // namespace karvo
