// Tracked allocation. fmalloc, frealloc and ffree allocate like malloc, realloc and free
// and, when tracking is on (the plain-freeing flag cleared by turnOnMemManagement), record
// each live address with a label in a table of 80 000 slots. Out of memory always ends the
// run through fatalError after naming the label.
#pragma once

#include <cstddef>

namespace karvo {

inline constexpr int kTrackingSlots = 80000;
inline constexpr int kTrackingLabelSize = 100;  // 99 characters and the terminator

// Null for size 0; never null otherwise (out of memory is fatal).
void* fmalloc(std::size_t size, const char* label);
void* frealloc(void* pointer, std::size_t size, const char* label);
void ffree(void* pointer);

// Copies a C string into tracked memory.
char* fstrdup(const char* text, const char* label);

// Frees an array of `count` strings (each entry, then the array).
void ffreeStrings(char** strings, int count);

// Introspection of the tracking table, for tests and the leak report.
int trackedAllocationCount();
bool trackingTableFull();
const char* trackedLabel(const void* pointer);  // null when not tracked
// Clears the table (the next fmalloc starts afresh, as at process start).
void resetAllocationTracking();

}  // namespace karvo
