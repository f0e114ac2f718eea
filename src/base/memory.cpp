// Tracked allocation. With tracking off (the default) each call is one malloc/free; with it
// on, a slot is taken from a hint kept at the lowest free slot and an address index makes
// frees O(1), so a run with tracking on is not noticeably slower.
#include "base/memory.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "base/messages.h"
#include "base/run_state.h"

namespace karvo {

namespace {

struct TrackingSlot {
  void* address;                    // 0 = free
  char label[kTrackingLabelSize];   // at most 99 characters
};

struct TrackingTable {
  std::vector<TrackingSlot> slots;               // kTrackingSlots once cleared
  std::unordered_map<const void*, int> index;    // address -> slot
  int lowestFree = 0;                            // no free slot below this one
  int used = 0;
  bool full = false;                             // all slots were in use once
  bool cleared = false;                          // cleared on the first fmalloc
};

TrackingTable table;

void clearTable() {
  table.slots.assign(kTrackingSlots, TrackingSlot{nullptr, {0}});
  table.index.clear();
  table.lowestFree = 0;
  table.used = 0;
  table.full = false;
  table.cleared = true;
}

bool tracking() { return run.settings.plainFreeing == 0 && !table.full; }

// Takes the first free slot; false (and the table-full flag) when none is left.
bool track(void* address, const char* label) {
  if (!table.cleared) clearTable();
  while (table.lowestFree < kTrackingSlots && table.slots[table.lowestFree].address) {
    ++table.lowestFree;
  }
  if (table.lowestFree >= kTrackingSlots) {
    table.full = true;
    return false;
  }
  TrackingSlot& slot = table.slots[table.lowestFree];
  slot.address = address;
  std::strncpy(slot.label, label, kTrackingLabelSize - 1);
  slot.label[kTrackingLabelSize - 1] = '\0';
  table.index[address] = table.lowestFree;
  ++table.lowestFree;
  ++table.used;
  return true;
}

void untrackSlot(int slotIndex) {
  TrackingSlot& slot = table.slots[slotIndex];
  table.index.erase(slot.address);
  slot.address = nullptr;
  slot.label[0] = '\0';
  --table.used;
  if (slotIndex < table.lowestFree) table.lowestFree = slotIndex;
}

[[noreturn]] void outOfMemory(const char* routine, const char* label, std::size_t size) {
  std::string text = formatText("\nOut of memory in %s, while mallocing data for %s", routine,
                                label ? label : "");
  std::fputs(text.c_str(), stderr);
  if (outptr) {
    writeText(outptr, text);
    writeFormatted(outptr, "\nRequested size = %d\n", static_cast<int>(size));
  }
  fatalError(formatText("Out of memory in %s", routine));
}

}  // namespace

void* fmalloc(std::size_t size, const char* label) {
  if (size == 0) return nullptr;
  if (!table.cleared) clearTable();
  void* address = std::malloc(size);
  if (!address) outOfMemory("fmalloc", label, size);
  if (!tracking()) return address;
  if (std::strlen(label) > kTrackingLabelSize - 1) {
    std::free(address);
    std::fputs("\n***Bad call to fmalloc. ", stderr);
    fatalError("Name too long in fmalloc");
  }
  track(address, label);
  return address;
}

void* frealloc(void* pointer, std::size_t size, const char* label) {
  if (!pointer) return fmalloc(size, label);
  if (size == 0) {
    ffree(pointer);
    return nullptr;
  }
  const bool tracked = tracking();
  if (tracked && std::strlen(label) > kTrackingLabelSize - 1) {
    std::fputs("\n***Bad call to frealloc. ", stderr);
    fatalError("Name too long in frealloc");
  }
  // The slot is found before realloc, while the old address is still valid to compare.
  int slotIndex = -1;
  if (table.used > 0) {
    auto it = table.index.find(pointer);
    if (it != table.index.end()) {
      slotIndex = it->second;
      table.index.erase(it);
    }
  }
  const std::uintptr_t oldAddress = reinterpret_cast<std::uintptr_t>(pointer);
  void* address = std::realloc(pointer, size);
  if (!address) {
    if (slotIndex >= 0) table.index[pointer] = slotIndex;
    outOfMemory("frealloc", label, size);
  }
  if (slotIndex < 0) {
    if (tracked) {
      std::fprintf(stderr, "\nFailure %s.  Set breakpoint here to trap culprit %p", label,
                   reinterpret_cast<void*>(oldAddress));
    }
    return address;
  }
  TrackingSlot& slot = table.slots[slotIndex];
  if (!tracked) {
    // Tracking ended since (table full or switched off): the slot is given up.
    slot.address = address;
    untrackSlot(slotIndex);
    return address;
  }
  slot.address = address;
  std::strncpy(slot.label, label, kTrackingLabelSize - 1);
  slot.label[kTrackingLabelSize - 1] = '\0';
  table.index[address] = slotIndex;
  return address;
}

void ffree(void* pointer) {
  if (!pointer) return;
  if (table.used > 0) {
    auto it = table.index.find(pointer);
    if (it != table.index.end()) {
      untrackSlot(it->second);
      std::free(pointer);
      return;
    }
  }
  if (run.settings.plainFreeing != 0 || table.full || !table.cleared) {
    std::free(pointer);
    return;
  }
  // Tracking is on and the address was never handed out by fmalloc: keep it, report it.
  std::fprintf(stderr, "\nFailure.  Set breakpoint here to trap culprit %p\n", pointer);
}

char* fstrdup(const char* text, const char* label) {
  std::size_t length = std::strlen(text);
  char* copy = static_cast<char*>(fmalloc(length + 1, label));
  std::memcpy(copy, text, length + 1);
  return copy;
}

void ffreeStrings(char** strings, int count) {
  if (!strings) return;
  for (int i = 0; i < count; ++i) ffree(strings[i]);
  ffree(strings);
}

int trackedAllocationCount() { return table.used; }

bool trackingTableFull() { return table.full; }

const char* trackedLabel(const void* pointer) {
  auto it = table.index.find(pointer);
  return it == table.index.end() ? nullptr : table.slots[it->second].label;
}

void resetAllocationTracking() {
  table = TrackingTable{};
}

}  // namespace karvo
