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
#include <vector>

#include "definitions/method_settings.h"
#include "base/messages.h"

namespace karvo {

bool (*designStoreAllocationFails)(DesignStoreAllocation site) = nullptr;

namespace {

constexpr std::size_t kInitialEntries = 10000;
constexpr const char* kNoLongerChecking = "\n  No longer will check for saved fitnesses\n";

// The field values of real variable values that lie exactly on their variables' grids: each
// value goes to its nearest field value and back to the same bit pattern. False when one does
// not, or the representation is unknown or has more variables than `reals` holds.
bool gridFieldsOf(const DesignStore& store, int representationNumber,
                  std::span<const double> reals, std::vector<int>& fields) {
  const Representation* representation = findRepresentation(representationNumber);
  if (!representation) return false;
  const std::size_t n = representation->slots.size();
  if (reals.size() < n) return false;
  fields.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const VariableSlot& slot = representation->slots[i];
    const int index = static_cast<int>(i);
    fields[i] = encodingRealToField(slot, index, reals[i], kRoundNearest, store.context);
    const double back = encodingFieldToReal(slot, index, fields[i], store.context);
    if (std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(reals[i])) {
      return false;
    }
  }
  return true;
}

// The parts of a design that make its identity (see design_store.h). A design of real values
// that lie on the grid is identified by its field values, as a design of encoding 1: both
// are evaluated with the same values.
struct Identity {
  int encoding = 0;                    // kEncodingChromosome or kEncodingReal
  std::span<const int> chromosome;
  std::span<const double> variables;   // empty unless encoding 2 off the grid
  std::span<const double> parameters;  // empty when the agent copies the study's values
  std::vector<int> gridFields;         // holds `chromosome` of a real design on the grid

  // A move keeps the buffer of `gridFields`, at which `chromosome` may look; a copy would not.
  Identity() = default;
  Identity(Identity&&) = default;
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;
};

Identity identityOf(const DesignStore& store, int representation, int encoding,
                    std::span<const int> chromosome, std::span<const double> reals) {
  Identity identity;
  identity.encoding = encoding;
  identity.chromosome = chromosome;
  std::size_t n = std::min(chromosome.size(), reals.size());
  if (encoding == kEncodingReal) {
    if (gridFieldsOf(store, representation, reals, identity.gridFields)) {
      identity.encoding = kEncodingChromosome;
      identity.chromosome = identity.gridFields;
      n = identity.gridFields.size();
    } else {
      identity.variables = reals.first(n);
    }
  }
  if (!store.context.copyParameters) identity.parameters = reals.subspan(n);
  return identity;
}

Identity identityOf(const DesignStore& store, const Design& design) {
  return identityOf(store, design.representation, design.encoding, design.chromosome,
                    design.reals);
}

// ---------------------------------------------------------------------------------------
// Packed records. The block holds, in this order: the real values and then every response's
// values (doubles, so that they lie aligned at its start), the chromosome (int32), four int32
// per response (value count, text count, status, present), the texts (an int32 length and
// the bytes each), and last the bytes of the design's name and of its note.

std::span<const double> storedReals(const StoredDesign& stored) {
  return {reinterpret_cast<const double*>(stored.block.get()), stored.realsSize};
}

struct BlockLayout {
  std::size_t values = 0;      // doubles of all responses
  std::size_t chromosome = 0;  // byte offset of the chromosome
  std::size_t meta = 0;        // byte offset of the per-response int32s
  std::size_t texts = 0;       // byte offset of the texts
};

BlockLayout layoutOf(std::size_t reals, std::size_t values, std::size_t chromosome,
                     std::size_t responses) {
  BlockLayout layout;
  layout.values = values;
  layout.chromosome = (reals + values) * sizeof(double);
  layout.meta = layout.chromosome + chromosome * sizeof(std::int32_t);
  layout.texts = layout.meta + responses * 4 * sizeof(std::int32_t);
  return layout;
}

BlockLayout layoutOf(const StoredDesign& stored) {
  return layoutOf(stored.realsSize, stored.valueCount, stored.chromosomeSize,
                  stored.responseCount);
}

std::span<const int> storedChromosome(const StoredDesign& stored, const BlockLayout& layout) {
  return {reinterpret_cast<const int*>(stored.block.get() + layout.chromosome),
          stored.chromosomeSize};
}

StoredDesign packed(const Design& design) {
  StoredDesign stored;
  stored.representation = design.representation;
  stored.num_dvar = design.num_dvar;
  stored.source = design.source;
  stored.encoding = design.encoding;
  stored.status = design.status;
  stored.designNumber = design.designNumber;
  stored.generation = design.generation;
  stored.cycle = design.cycle;
  stored.failed = design.failed;
  stored.performance = design.performance;
  stored.violation = design.violation;
  stored.chromosomeSize = static_cast<std::uint32_t>(design.chromosome.size());
  stored.realsSize = static_cast<std::uint32_t>(design.reals.size());
  stored.responseCount = static_cast<std::uint32_t>(design.responses.size());
  std::size_t values = 0, textBytes = 0;
  for (const ResponseValue& response : design.responses) {
    values += response.values.size();
    for (const std::string& text : response.text) textBytes += sizeof(std::int32_t) + text.size();
  }
  stored.valueCount = static_cast<std::uint32_t>(values);
  const BlockLayout layout =
      layoutOf(design.reals.size(), values, design.chromosome.size(), design.responses.size());
  stored.tag = design.tag;
  stored.nameSize = static_cast<std::uint32_t>(design.name.size());
  stored.noteSize = static_cast<std::uint32_t>(design.note.size());
  stored.blockBytes = static_cast<std::uint32_t>(layout.texts + textBytes + design.name.size() +
                                                 design.note.size());
  stored.block =
      std::make_unique_for_overwrite<std::byte[]>(std::max<std::size_t>(stored.blockBytes, 1));
  std::byte* block = stored.block.get();
  auto put = [](std::byte*& at, const void* data, std::size_t bytes) {
    if (bytes) std::memcpy(at, data, bytes);
    at += bytes;
  };
  std::byte* at = block;
  put(at, design.reals.data(), design.reals.size() * sizeof(double));
  for (const ResponseValue& response : design.responses) {
    put(at, response.values.data(), response.values.size() * sizeof(double));
  }
  put(at, design.chromosome.data(), design.chromosome.size() * sizeof(std::int32_t));
  for (const ResponseValue& response : design.responses) {
    const std::int32_t meta[4] = {static_cast<std::int32_t>(response.values.size()),
                                  static_cast<std::int32_t>(response.text.size()),
                                  response.status, response.present ? 1 : 0};
    put(at, meta, sizeof meta);
  }
  for (const ResponseValue& response : design.responses) {
    for (const std::string& text : response.text) {
      const std::int32_t length = static_cast<std::int32_t>(text.size());
      put(at, &length, sizeof length);
      put(at, text.data(), text.size());
    }
  }
  put(at, design.name.data(), design.name.size());
  put(at, design.note.data(), design.note.size());
  return stored;
}

Identity identityOf(const DesignStore& store, const StoredDesign& stored) {
  const BlockLayout layout = layoutOf(stored);
  return identityOf(store, stored.representation, stored.encoding,
                    storedChromosome(stored, layout), storedReals(stored));
}

// The results of a stored design into `design`.
void unpackResults(const StoredDesign& stored, Design& design) {
  const BlockLayout layout = layoutOf(stored);
  const std::byte* block = stored.block.get();
  const double* values = reinterpret_cast<const double*>(block) + stored.realsSize;
  const std::byte* meta = block + layout.meta;
  const std::byte* texts = block + layout.texts;
  design.responses.assign(stored.responseCount, ResponseValue{});
  for (ResponseValue& response : design.responses) {
    std::int32_t m[4];
    std::memcpy(m, meta, sizeof m);
    meta += sizeof m;
    response.values.assign(values, values + m[0]);
    values += m[0];
    response.text.resize(static_cast<std::size_t>(m[1]));
    for (std::string& text : response.text) {
      std::int32_t length = 0;
      std::memcpy(&length, texts, sizeof length);
      texts += sizeof length;
      text.assign(reinterpret_cast<const char*>(texts), static_cast<std::size_t>(length));
      texts += length;
    }
    response.status = m[2];
    response.present = m[3] != 0;
  }
  design.performance = stored.performance;
  design.violation = stored.violation;
  design.status = stored.status;
  design.failed = stored.failed;
  design.designNumber = stored.designNumber;
}

Design unpacked(const StoredDesign& stored) {
  Design design;
  design.representation = stored.representation;
  design.num_dvar = stored.num_dvar;
  design.source = stored.source;
  design.encoding = stored.encoding;
  design.generation = stored.generation;
  design.cycle = stored.cycle;
  const BlockLayout layout = layoutOf(stored);
  const std::span<const int> chromosome = storedChromosome(stored, layout);
  design.chromosome.assign(chromosome.begin(), chromosome.end());
  const std::span<const double> reals = storedReals(stored);
  design.reals.assign(reals.begin(), reals.end());
  unpackResults(stored, design);
  const char* end = reinterpret_cast<const char*>(stored.block.get()) + stored.blockBytes;
  design.note.assign(end - stored.noteSize, stored.noteSize);
  design.name.assign(end - stored.noteSize - stored.nameSize, stored.nameSize);
  design.tag = stored.tag;
  return design;
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
            static_cast<std::uint32_t>(identity.encoding));
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

bool identical(const Design& a, const Identity& ia, const StoredDesign& b, const Identity& ib) {
  return a.representation == b.representation && ia.encoding == ib.encoding &&
         std::equal(ia.chromosome.begin(), ia.chromosome.end(), ib.chromosome.begin(),
                    ib.chromosome.end()) &&
         sameBits(ia.variables, ib.variables) && sameBits(ia.parameters, ib.parameters);
}

const StoredDesign* findWithHash(const DesignStore& store, const Design& design,
                                 const Identity& identity, std::uint64_t hash) {
  auto [first, last] = store.index.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    const StoredDesign& stored = store.designs[it->second];
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

Design designStoreAt(const DesignStore& store, std::size_t position) {
  return unpacked(store.designs[position]);
}

bool designStorePromote(const DesignStore& store, Design& design) {
  if (!store.promoteRealDesigns || design.encoding != kEncodingReal) return false;
  std::vector<int> fields;
  if (!gridFieldsOf(store, design.representation, design.reals, fields)) return false;
  design.chromosome = std::move(fields);
  design.encoding = kEncodingChromosome;
  return true;
}

bool designStoreFind(const DesignStore& store, const Design& design, Design* found) {
  if (!store.enabled) return false;
  const Identity identity = identityOf(store, design);
  const StoredDesign* stored = findWithHash(store, design, identity, identityHash(design, identity));
  if (stored && found) *found = unpacked(*stored);
  return stored != nullptr;
}

bool designStoreReuse(DesignStore& store, Design& design) {
  if (!store.enabled) return false;
  designStorePromote(store, design);
  const Identity identity = identityOf(store, design);
  const StoredDesign* stored = findWithHash(store, design, identity, identityHash(design, identity));
  if (!stored) return false;
  unpackResults(*stored, design);
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
    store.designs.push_back(packed(design));
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
