#include "base/strlist.h"

#include <cstdlib>
#include <cstring>

#include "base/logging.h"

namespace palvon {

int strlistAdd(u32* count, char*** array, const char* text) {
  char* copy = memStrdup(text);
  if (!copy) return 0;
  auto* grown = static_cast<char**>(memRealloc(*array, (static_cast<size_t>(*count) + 1) * sizeof(char*)));
  if (!grown) {
    std::free(copy);
    return 0;
  }
  grown[(*count)++] = copy;
  *array = grown;
  return 1;
}

int strlistContains(u32 count, char* const* array, const char* text) {
  for (u32 i = 0; i < count; i++)
    if (!std::strcmp(array[i], text)) return 1;
  return 0;
}

u64 strlistTotalLength(u32 count, char* const* array) {
  u64 total = 0;
  for (u32 i = 0; i < count; i++) total += std::strlen(array[i]);
  return total;
}

char* strlistJoin(u32 count, char* const* array) {
  u64 length = strlistTotalLength(count, array) + (count ? count - 1 : 0);
  auto* text = static_cast<char*>(memAlloc(length + 1));
  if (!text) {
    PALVON_OOM();
    return nullptr;
  }
  char* out = text;
  for (u32 i = 0; i < count; i++) {
    if (i) *out++ = ' ';
    size_t n = std::strlen(array[i]);
    std::memcpy(out, array[i], n);
    out += n;
  }
  *out = 0;
  return text;
}

void strlistFree(u32 count, char** array) {
  if (!array) return;
  for (u32 i = 0; i < count; i++) std::free(array[i]);
  std::free(array);
}

int strlistCopy(u32* outCount, char*** outArray, u32 count, char* const* array) {
  u32 copiedCount = 0;
  char** copied = nullptr;
  for (u32 i = 0; i < count; i++) {
    if (!strlistAdd(&copiedCount, &copied, array[i])) {
      strlistFree(copiedCount, copied);
      return 0;
    }
  }
  *outCount = copiedCount;
  *outArray = copied;
  return 1;
}

int strlistTerminate(u32* count, char*** array) {
  auto* grown = static_cast<char**>(memRealloc(*array, (static_cast<size_t>(*count) + 1) * sizeof(char*)));
  if (!grown) return 0;
  grown[*count] = nullptr;
  *array = grown;
  return 1;
}

int strlistEqual(u32 count1, char* const* array1, u32 count2, char* const* array2) {
  if (count1 != count2) return 0;
  for (u32 i = 0; i < count1; i++)
    if (std::strcmp(array1[i], array2[i])) return 0;
  return 1;
}

int strlistContainsAll(u32 count1, char* const* array1, u32 count2, char* const* array2) {
  for (u32 i = 0; i < count1; i++)
    if (!strlistContains(count2, array2, array1[i])) return 0;
  return 1;
}

int strlistAssign(u32* count, char*** array, u32 otherCount, char* const* otherArray) {
  u32 newCount = 0;
  char** newArray = nullptr;
  if (!strlistCopy(&newCount, &newArray, otherCount, otherArray)) return 0;
  strlistFree(*count, *array);
  *count = newCount;
  *array = newArray;
  return 1;
}

int strlistReplaceAt(u32 count, char** array, u32 index, const char* text) {
  if (index >= count) return 0;
  char* copy = memStrdup(text);
  if (!copy) return 0;
  std::free(array[index]);
  array[index] = copy;
  return 1;
}

int strlistAddAll(u32* count, char*** array, u32 otherCount, char* const* otherArray) {
  for (u32 i = 0; i < otherCount; i++)
    if (!strlistAdd(count, array, otherArray[i])) return 0;
  return 1;
}

int strlistAddUnique(u32* count, char*** array, u32 otherCount, char* const* otherArray) {
  u32 before = *count;
  for (u32 i = 0; i < otherCount; i++) {
    if (strlistContains(*count, *array, otherArray[i])) continue;
    if (!strlistAdd(count, array, otherArray[i])) {
      strlistRemoveRange(count, array, before, *count - before);
      return 0;
    }
  }
  return 1;
}

void strlistRemoveRange(u32* count, char*** array, u32 index, u32 n) {
  if (index >= *count || n == 0) return;
  if (n > *count - index) n = *count - index;
  for (u32 i = index; i < index + n; i++) std::free((*array)[i]);
  std::memmove(*array + index, *array + index + n, (*count - index - n) * sizeof(char*));
  *count -= n;
  if (*count == 0) {
    std::free(*array);
    *array = nullptr;
  }
}

void strlistRemove(u32* count, char*** array, const char* text) {
  for (u32 i = *count; i-- > 0;) {
    if (!std::strcmp((*array)[i], text)) {
      strlistRemoveRange(count, array, i, 1);
      return;
    }
  }
}

}  // namespace palvon
