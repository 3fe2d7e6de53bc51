// String lists: a count and an argv-style array of heap strings, passed as
// two arguments (or two out-pointers). An empty list is (0, nullptr). Every
// string belongs to its list. Nothing here locks.
#pragma once

#include "base/strings.h"

namespace palvon {

struct StringList {
  u32 count;
  char** items;
};

// Appends a heap copy; 1, or 0 with nothing changed when out of memory.
int strlistAdd(u32* count, char*** array, const char* text);
int strlistContains(u32 count, char* const* array, const char* text);
u64 strlistTotalLength(u32 count, char* const* array);
// The strings separated by single blanks in one new heap text ("" for an
// empty list); nullptr after an "Out of memory" line.
char* strlistJoin(u32 count, char* const* array);
void strlistFree(u32 count, char** array);
// Deep copy; on failure the copies made so far are freed and 0 returned.
int strlistCopy(u32* outCount, char*** outArray, u32 count, char* const* array);
// Makes room for, and sets, a nullptr behind the last string (argv form);
// the count stays. 1, or 0 when out of memory.
int strlistTerminate(u32* count, char*** array);
int strlistEqual(u32 count1, char* const* array1, u32 count2, char* const* array2);
// 1 when every string of the first list is in the second.
int strlistContainsAll(u32 count1, char* const* array1, u32 count2, char* const* array2);
// Replaces the list by a copy of the other; the old strings are freed only
// after the copy succeeded.
int strlistAssign(u32* count, char*** array, u32 otherCount, char* const* otherArray);
int strlistReplaceAt(u32 count, char** array, u32 index, const char* text);
// Appends copies of all strings; stops with 0 at the first failure.
int strlistAddAll(u32* count, char*** array, u32 otherCount, char* const* otherArray);
// Appends copies of the strings not yet present; on a failure the count is
// set back to its value before the call and 0 returned.
int strlistAddUnique(u32* count, char*** array, u32 otherCount, char* const* otherArray);
// Frees n strings from index on and closes the gap; an emptied list frees
// its array.
void strlistRemoveRange(u32* count, char*** array, u32 index, u32 n);
// Removes the last string equal to the text, if any.
void strlistRemove(u32* count, char*** array, const char* text);

}  // namespace palvon
