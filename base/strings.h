// Memory wrappers, the ring of temporary strings, the shared scratch block and
// the error-text convention.
//
// Error texts: an operation that can fail returns `const char*`, nullptr on
// success and a human-readable message on failure. Messages are normally made
// with tmpPrintf and live in the ring of temporary strings: callers neither
// free them nor keep them beyond the next few dozen temporary strings. Callers
// that pass a message upwards prefix their own context as "%s: %s".
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace palvon {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using i16 = std::int16_t;
using i32 = std::int32_t;
using i64 = std::int64_t;

// --- Allocation with the out-of-memory hook --------------------------------
// The hook receives the size that could not be had; returning 1 retries the
// allocation, anything else makes one last attempt whose result is returned.
using OutOfMemoryHook = int (*)(size_t size);

int memDefaultOutOfMemoryHook(size_t size);   // sleeps 1 s, returns 0
// Installs the hook only while the default hook is installed.
void memSetOutOfMemoryHook(OutOfMemoryHook hook);
void memResetOutOfMemoryHook();
OutOfMemoryHook memOutOfMemoryHook();

void* memAlloc(size_t size);
void* memRealloc(void* pointer, size_t size);
void* memCalloc(size_t count, size_t elementSize);
char* memStrdup(const char* text);
int memVasprintf(char** out, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
int memAsprintf(char** out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void* memdup(const void* source, size_t n);
void* memdupz(const void* source, size_t n);    // n bytes and a NUL
int freeIfNotNull(void* pointer);               // returns 0

// --- Temporary strings ----------------------------------------------------
// Every result lives in one process-wide ring of 65,528 bytes and is never
// freed; it stays valid until about 64 KiB more have been handed out.
constexpr size_t kTmpRingSize = 65528;
constexpr size_t kTmpPiece = 1024;
constexpr size_t kTmpStrndupMax = 16383;

// n bytes of the ring, uninitialised. A request larger than the whole ring
// cannot be served and returns nullptr (no caller asks for more than 16 KiB).
char* tmpAlloc(size_t n);
const char* tmpPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
const char* tmpVprintf(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
const char* tmpFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
const char* tmpCopy(const char* text);
// A copy fit for one log line: line breaks and tabs become blanks, other
// control bytes and bytes above 0x7e become '?'.
const char* tmpPrintable(const char* text);
const char* tmpStrndup(const void* data, size_t n);
const char* errnoText(int errnum);

// --- The scratch block ----------------------------------------------------
// One static 64 KiB block for large short-lived texts. Lending is atomic: a
// second taker (another thread, or a nested use) receives heap memory.
constexpr size_t kScratchSize = 65536;

void* scratchAlloc(size_t n);
void* scratchMemdup(const void* source, size_t n);
void* scratchRealloc(void* pointer, size_t n);
void scratchFree(void* pointer);
bool scratchIsBlock(const void* pointer);
// At most 16,384 bytes formatted into scratch memory; release with
// scratchFree (logText does it). nullptr when no memory could be had.
char* bigPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
char* bigVprintf(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// --- Small string helpers -------------------------------------------------
// Copies at most size-1 bytes and always the NUL; returns the bytes copied.
size_t strCopy(char* destination, const char* source, size_t size);
// Appends within size; returns the length the full result would have, so a
// result of size or more means the text was cut.
size_t strAppend(char* destination, const char* source, size_t size);

// The module name of a source path: the base name up to its first '.'
// ("/x/base/orders.cpp" -> "orders"). Used in "Out of memory (%s:%d)".
const char* sourceModule(const char* path);

}  // namespace palvon
