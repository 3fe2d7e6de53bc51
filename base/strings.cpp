#include "base/strings.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace palvon {

// --- Allocation -------------------------------------------------------------

namespace {

std::atomic<OutOfMemoryHook> gOomHook{memDefaultOutOfMemoryHook};

// One retry loop for every wrapper: try, ask the hook, retry while it says 1,
// otherwise make one last attempt.
template <typename Attempt>
auto withRetry(size_t hookSize, Attempt attempt) -> decltype(attempt()) {
  for (;;) {
    auto result = attempt();
    if (result) return result;
    if (gOomHook.load(std::memory_order_relaxed)(hookSize) != 1) return attempt();
  }
}

}  // namespace

int memDefaultOutOfMemoryHook(size_t) {
  sleep(1);
  return 0;
}

void memSetOutOfMemoryHook(OutOfMemoryHook hook) {
  OutOfMemoryHook expected = memDefaultOutOfMemoryHook;
  gOomHook.compare_exchange_strong(expected, hook);
}

void memResetOutOfMemoryHook() { gOomHook.store(memDefaultOutOfMemoryHook); }

OutOfMemoryHook memOutOfMemoryHook() { return gOomHook.load(); }

void* memAlloc(size_t size) {
  return withRetry(size, [&] { return std::malloc(size); });
}

void* memRealloc(void* pointer, size_t size) {
  return withRetry(size, [&] { return std::realloc(pointer, size); });
}

void* memCalloc(size_t count, size_t elementSize) {
  return withRetry(elementSize, [&] { return std::calloc(count, elementSize); });
}

char* memStrdup(const char* text) {
  return withRetry(std::strlen(text) + 1, [&] { return strdup(text); });
}

int memVasprintf(char** out, const char* format, va_list args) {
  int result = -1;
  auto attempt = [&]() -> bool {
    va_list copy;
    va_copy(copy, args);
    result = vasprintf(out, format, copy);
    va_end(copy);
    return result >= 0;
  };
  withRetry(std::strlen(format), attempt);
  if (result < 0) *out = nullptr;
  return result;
}

int memAsprintf(char** out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = memVasprintf(out, format, args);
  va_end(args);
  return result;
}

void* memdup(const void* source, size_t n) {
  void* copy = memAlloc(n ? n : 1);
  if (copy && n) std::memcpy(copy, source, n);
  return copy;
}

void* memdupz(const void* source, size_t n) {
  char* copy = static_cast<char*>(memAlloc(n + 1));
  if (!copy) return nullptr;
  if (n) std::memcpy(copy, source, n);
  copy[n] = 0;
  return copy;
}

int freeIfNotNull(void* pointer) {
  if (pointer) std::free(pointer);
  return 0;
}

// --- Temporary strings ------------------------------------------------------

namespace {

alignas(16) char gTmpPool[kTmpRingSize];
char* gTmpCursor = gTmpPool;
std::mutex gTmpMutex;

}  // namespace

char* tmpAlloc(size_t n) {
  if (n > kTmpRingSize) return nullptr;
  std::lock_guard<std::mutex> lock(gTmpMutex);
  char* piece = gTmpCursor;
  // The last usable byte is pool + 65,527: a piece that would pass it starts
  // over at the beginning of the pool.
  if (static_cast<size_t>(piece - gTmpPool) + n > kTmpRingSize - 1) piece = gTmpPool;
  gTmpCursor = piece + n;
  return piece;
}

const char* tmpVprintf(const char* format, va_list args) {
  char* piece = tmpAlloc(kTmpPiece);
  vsnprintf(piece, kTmpPiece, format, args);
  return piece;
}

const char* tmpPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* result = tmpVprintf(format, args);
  va_end(args);
  return result;
}

const char* tmpFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* result = tmpVprintf(format, args);
  va_end(args);
  return result;
}

const char* tmpCopy(const char* text) {
  char* piece = tmpAlloc(kTmpPiece);
  strCopy(piece, text ? text : "", kTmpPiece);
  return piece;
}

const char* tmpPrintable(const char* text) {
  char* piece = const_cast<char*>(tmpCopy(text));
  // Line breaks would forge log lines, and control bytes (an escape
  // sequence) would speak to the terminal that shows the log.
  for (char* p = piece; *p; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '\n' || c == '\r' || c == '\t') *p = ' ';
    else if (c < 0x20 || c >= 0x7f) *p = '?';
  }
  return piece;
}

const char* tmpStrndup(const void* data, size_t n) {
  if (!data) return "";
  if (n > kTmpStrndupMax) n = kTmpStrndupMax;
  char* piece = tmpAlloc(n + 1);
  std::memcpy(piece, data, n);
  piece[n] = 0;
  return piece;
}

const char* errnoText(int errnum) {
  char local[1024];
  local[0] = 0;
  // The GNU strerror_r may return a static text instead of filling ours.
  const char* text = strerror_r(errnum, local, sizeof local);
  if (!text || !*text) return tmpCopy("unknown error");
  return tmpPrintf("%s (errno %d)", text, errnum);
}

// --- The scratch block ------------------------------------------------------

namespace {

alignas(16) char gScratch[kScratchSize];
std::atomic<bool> gScratchLent{false};

}  // namespace

bool scratchIsBlock(const void* pointer) { return pointer == gScratch; }

void* scratchAlloc(size_t n) {
  if (n <= kScratchSize) {
    bool expected = false;
    if (gScratchLent.compare_exchange_strong(expected, true)) return gScratch;
  }
  return memAlloc(n);
}

void* scratchMemdup(const void* source, size_t n) {
  void* block = scratchAlloc(n);
  if (block && n) std::memcpy(block, source, n);
  return block;
}

void* scratchRealloc(void* pointer, size_t n) {
  if (!scratchIsBlock(pointer)) return memRealloc(pointer, n);
  if (n <= kScratchSize) return pointer;
  void* heap = memAlloc(n);
  if (!heap) return nullptr;
  std::memcpy(heap, gScratch, kScratchSize);
  gScratchLent.store(false);
  return heap;
}

void scratchFree(void* pointer) {
  if (scratchIsBlock(pointer)) gScratchLent.store(false);
  else std::free(pointer);
}

char* bigVprintf(const char* format, va_list args) {
  constexpr size_t kBig = 16384;
  char* block = static_cast<char*>(scratchAlloc(kBig));
  if (!block) return nullptr;
  vsnprintf(block, kBig, format, args);
  return block;
}

char* bigPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* result = bigVprintf(format, args);
  va_end(args);
  return result;
}

// --- Small string helpers ---------------------------------------------------

size_t strCopy(char* destination, const char* source, size_t size) {
  size_t n = 0;
  while (n + 1 < size && source[n]) {
    destination[n] = source[n];
    ++n;
  }
  destination[n] = 0;
  return n;
}

size_t strAppend(char* destination, const char* source, size_t size) {
  size_t current = std::strlen(destination);
  size_t sourceLength = std::strlen(source);
  if (current + 1 < size) strncat(destination, source, size - current - 1);
  return current + sourceLength;
}

const char* sourceModule(const char* path) {
  const char* base = std::strrchr(path, '/');
  base = base ? base + 1 : path;
  return tmpStrndup(base, std::strcspn(base, "."));
}

}  // namespace palvon
