// The stored-design table: exact identity of designs by a 64-bit hash and a full comparison,
// the promotion of real-valued designs of the hybrid searches, and the out-of-memory path.
// Asked once before and once after every evaluation of a search agent; holds up to millions
// of designs of tens of variables, so a look-up hashes a few dozen words and compares one
// stored copy on average.
#include "evaluation/design_store.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <span>

#include "definitions/method_settings.h"
#include "base/messages.h"

namespace karvo {

bool (*designStoreAllocationFails)(DesignStoreAllocation site) = nullptr;

namespace {

constexpr std::size_t kInitialEntries = 10000;
constexpr const char* kNoLongerChecking = "\n  No longer will check for saved fitnesses\n";

// The parts of a design that make its identity (see design_store.h).
struct Identity {
  std::span<const int> chromosome;
  std::span<const double> variables;   // empty unless encoding 2
  std::span<const double> parameters;  // empty when the agent copies the study's values
};

Identity identityOf(const DesignStore& store, const Design& design) {
  Identity identity;
  identity.chromosome = design.chromosome;
  const std::size_t n = std::min(design.chromosome.size(), design.reals.size());
  std::span<const double> reals(design.reals);
  if (design.encoding == kEncodingReal) identity.variables = reals.first(n);
  if (!store.context.copyParameters) identity.parameters = reals.subspan(n);
  return identity;
}

// The finaliser of splitmix64: a bijection that spreads every input bit over the output.
inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

inline std::uint64_t absorb(std::uint64_t h, std::uint64_t word) {
  return mix64(h ^ (word + 0x9e3779b97f4a7c15ULL));
}

std::uint64_t identityHash(const Design& design, const Identity& identity) {
  std::uint64_t h =
      mix64((static_cast<std::uint64_t>(static_cast<std::uint32_t>(design.representation)) << 32) |
            static_cast<std::uint32_t>(design.encoding));
  h = absorb(h, (static_cast<std::uint64_t>(identity.chromosome.size()) << 40) ^
                    (static_cast<std::uint64_t>(identity.variables.size()) << 20) ^
                    identity.parameters.size());
  const std::span<const int> c = identity.chromosome;
  std::size_t i = 0;
  for (; i + 1 < c.size(); i += 2) {
    h = absorb(h, static_cast<std::uint32_t>(c[i]) |
                      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(c[i + 1])) << 32));
  }
  if (i < c.size()) h = absorb(h, static_cast<std::uint32_t>(c[i]));
  for (double x : identity.variables) h = absorb(h, std::bit_cast<std::uint64_t>(x));
  for (double x : identity.parameters) h = absorb(h, std::bit_cast<std::uint64_t>(x));
  return h;
}

bool sameBits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

bool identical(const Design& a, const Identity& ia, const Design& b, const Identity& ib) {
  return a.representation == b.representation && a.encoding == b.encoding &&
         std::equal(ia.chromosome.begin(), ia.chromosome.end(), ib.chromosome.begin(),
                    ib.chromosome.end()) &&
         sameBits(ia.variables, ib.variables) && sameBits(ia.parameters, ib.parameters);
}

const Design* findWithHash(const DesignStore& store, const Design& design, const Identity& identity,
                           std::uint64_t hash) {
  auto [first, last] = store.index.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    const Design& stored = store.designs[it->second];
    if (identical(design, identity, stored, identityOf(store, stored))) return &stored;
  }
  return nullptr;
}

void failAllocationWhenAsked(DesignStoreAllocation site) {
  if (designStoreAllocationFails && designStoreAllocationFails(site)) throw std::bad_alloc();
}

// Frees the stored copies and the map's entries and buckets. Shrinking needs a small new
// bucket array; when even that cannot be had, the old buckets stay (empty), and the deque's
// shrink gives up quietly the same way.
void releaseTable(DesignStore& store) {
  store.index.clear();
  try {
    store.index.rehash(0);
  } catch (const std::bad_alloc&) {
  }
  store.designs.clear();
  store.designs.shrink_to_fit();
}

// Releases the table, then says so: the message itself needs memory. Should even that fail,
// the table is off all the same.
void stopChecking(DesignStore& store, const char* firstLine) {
  releaseTable(store);
  store.enabled = false;
  store.outOfMemory = true;
  try {
    writeMessage("outptr", "warning", std::string(firstLine) + kNoLongerChecking);
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

bool isHybridSearch(int methodCode) {
  return methodCode == kMethodTolmar || methodCode == kMethodParetoTolmar;
}

void designStoreCreate(DesignStore& store, const EncodingContext& context, int hashingEnabled,
                       int savedBefore) {
  releaseTable(store);
  store.context = context;
  store.promoteRealDesigns = isHybridSearch(context.methodCode) && !context.clampToLowerBound;
  store.savedThisProcess = 0;
  store.savedSoFar = savedBefore;
  store.outOfMemory = false;
  store.enabled = false;
  if (!hashingEnabled) return;
  try {
    failAllocationWhenAsked(DesignStoreAllocation::Table);
    store.index.reserve(kInitialEntries);
    store.enabled = true;
  } catch (const std::bad_alloc&) {
    stopChecking(store, "\n*** Out of memory malloc'ing hash table.");
  }
}

void turnOffHashing(DesignStore& store) {
  releaseTable(store);
  store.enabled = false;
}

std::size_t designStoreSize(const DesignStore& store) { return store.designs.size(); }

bool designStorePromote(const DesignStore& store, Design& design) {
  if (!store.promoteRealDesigns || design.encoding != kEncodingReal) return false;
  const Representation* representation = findRepresentation(design.representation);
  if (!representation) return false;
  const std::size_t n = representation->slots.size();
  if (design.reals.size() < n) return false;
  std::vector<int> fields(n);
  for (std::size_t i = 0; i < n; ++i) {
    const VariableSlot& slot = representation->slots[i];
    const int index = static_cast<int>(i);
    fields[i] = encodingRealToField(slot, index, design.reals[i], kRoundNearest, store.context);
    const double back = encodingFieldToReal(slot, index, fields[i], store.context);
    if (std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(design.reals[i])) {
      return false;
    }
  }
  design.chromosome = std::move(fields);
  design.encoding = kEncodingChromosome;
  return true;
}

const Design* designStoreFind(const DesignStore& store, const Design& design) {
  if (!store.enabled) return nullptr;
  const Identity identity = identityOf(store, design);
  return findWithHash(store, design, identity, identityHash(design, identity));
}

bool designStoreReuse(DesignStore& store, Design& design) {
  if (!store.enabled) return false;
  designStorePromote(store, design);
  const Design* stored = designStoreFind(store, design);
  if (!stored) return false;
  design.responses = stored->responses;
  design.performance = stored->performance;
  design.violation = stored->violation;
  design.status = stored->status;
  design.failed = stored->failed;
  design.designNumber = stored->designNumber;
  ++store.savedThisProcess;
  ++store.savedSoFar;
  return true;
}

bool designStoreInsert(DesignStore& store, Design& design) {
  if (!store.enabled) return false;
  designStorePromote(store, design);
  const Identity identity = identityOf(store, design);
  const std::uint64_t hash = identityHash(design, identity);
  if (findWithHash(store, design, identity, hash)) return false;
  try {
    failAllocationWhenAsked(DesignStoreAllocation::Record);
    store.designs.push_back(design);
  } catch (const std::bad_alloc&) {
    stopChecking(store, "\n*** Out of mem. malloc'ing bigger hash table.");
    return false;
  }
  try {
    failAllocationWhenAsked(DesignStoreAllocation::BiggerTable);
    store.index.emplace(hash, store.designs.size() - 1);
  } catch (const std::bad_alloc&) {
    stopChecking(store, "\n*** Out of memory malloc'ing bigger hash table.");
    return false;
  }
  return true;
}

std::string designStoreSavedLine(const DesignStore& store) {
  return formatText("# Re-evaluations saved  (this process) = %ld\n", store.savedThisProcess);
}

std::string designStoreProgressLine(const DesignStore& store) {
  return formatText("Evaluations saved by hashing so far: %d\n", store.savedSoFar);
}

}  // namespace karvo
