// The stored-design table of an agent (the "hashing" of the reports): every evaluated design
// is kept as a full copy with its results, so that an identical design proposed later takes
// those results instead of being evaluated again.
//
// Identity is exact, never within a tolerance. Two designs are identical when they have the
// same representation, the same encoding and the same chromosome, and
//   - for encoding 2 (real values authoritative): the same bit patterns of the variable
//     values;
//   - when the agent does not copy the study's parameter values into its designs
//     (reliability and robustness agents, whose parameters are drawn per design): the same
//     bit patterns of the parameter values.
// For the hybrid searches (TOLMAR, MOTOLMAR) without the bound-clamping option, a design of
// encoding 2 whose real values survive the round trip to field values and back unchanged is
// first promoted to encoding 1, so that it matches by its chromosome.
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
#include <string>
#include <unordered_map>

#include "base/design.h"
#include "evaluation/encoding.h"

namespace karvo {

struct DesignStore {
  bool enabled = false;           // look-ups and inserts are made
  bool outOfMemory = false;       // memory failed: checks stopped for the rest of the run
  bool promoteRealDesigns = false;  // hybrid search without bound clamping: encoding-2
                                  // designs are tried as encoding 1 first
  EncodingContext context;        // the agent's conversions (promotion, parameter rule)
  std::deque<Design> designs;     // stored copies, in insertion order
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

// Promotes `design` (encoding 2 -> 1) when the table's rule says so and the round trip
// through the field values reproduces every variable value exactly. Answers true when it did.
bool designStorePromote(const DesignStore& store, Design& design);

// The stored design identical to `design` (as it is, without promotion), or null. Does not
// count.
const Design* designStoreFind(const DesignStore& store, const Design& design);

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
