// Paths, directories, file copies and pattern-made file names.
//
// Paths hold at most 4,095 characters. Results said to be static stay valid
// until the same function is called again; temporary ones live in the ring
// of temporary strings. Error texts follow the usual convention (nullptr on
// success). Descriptors opened here are close-on-exec.
#pragma once

#include <cstddef>
#include <ctime>

#include "base/strings.h"

namespace palvon {

constexpr size_t kPathMax = 4096;  // bytes of a path buffer, NUL included

int fileIsFifo(const char* path);
int fileExists(const char* path);  // exists and is not a directory
int dirExists(const char* path);
u64 fileSize(const char* path);     // 0 when stat fails
int dirIsEmpty(const char* path);   // 0 also when it cannot be opened
// The first entry besides "." and ".." (static); nullptr when none.
const char* dirFirstEntry(const char* path);
// The working directory ending in '/' (static); "/" when unknown.
const char* currentDirectory();
// An absolute path: '/...' unchanged, "~/" replaced by $HOME, a leading
// "./" dropped and the working directory put in front of a relative path.
// Static; nullptr when the result would not fit kPathMax.
const char* pathAbsolute(const char* path);
// The same expansion into out, always ending in '/'. 1, or 0 when too long.
int pathHomeRelative(const char* path, char* out, size_t size);
const char* pathDirName(const char* path);         // up to the last '/' included; temporary
const char* pathDirNameNoSlash(const char* path);  // in front of the last '/'; static
// The extension behind the last '.' of the last path element replaced, or
// "." and the extension appended. Static; nullptr when too long.
const char* pathSetExtension(const char* path, const char* extension);
const char* quoteIfBlank(const char* text);   // temporary
const char* fileNameSafe(const char* text);   // temporary; [A-Za-z0-9+-._] kept, others '_'
// Copies pattern into out (kPathMax bytes), printing number in place of each
// "%n" or "%N" with the flags between ('-', digits, '.'); "%%" and other '%'
// sequences are kept for a later strftime.
void expandNumberPattern(const char* pattern, u64 number, char* out);
// expandNumberPattern, then strftime with the local time into out.
void patternTime(const char* pattern, u64 number, time_t time, char* out);
void pathPatternTime(const char* pattern, u64 number, time_t time, char* out);
// The first entry of a ':'-separated list (entries may be in double quotes)
// that exists. Static; nullptr when none does.
const char* pathFindExisting(const char* list);
// Appends "[%b.%d %H:%M] ", the text and a line feed under a lock.
const char* fileAppendStamped(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));
// "-" is standard input (source) or output (destination).
const char* fileCopy(const char* source, const char* destination);
// Creates a file of size bytes with only its last byte written (sparse),
// stamped with time when it is above 0. On failure the file is removed.
const char* fileCreateGhost(const char* path, u64 size, time_t time);
// Whether files beyond 4 GiB work: a 5 GiB ghost in /tmp is read back.
const char* fileLargeFileTest();
// Adds the names matching a shell wildcard pattern (relative to the working
// directory, "~/" expanded), sorted; when none match, or for "" and "-",
// the pattern itself. No shell is involved. 1, or 0 when out of memory.
int globExpand(const char* pattern, u32* count, char*** list);
// Makes parent/prefix followed by 8 random letters and digits; *name
// (static) is that last element.
const char* dirCreateUnique(const char* parent, const char* prefix, const char** name);
const char* dirClean(const char* path);   // removes the entries that are not directories
const char* dirCopy(const char* source, const char* destination);
const char* pathRemove(const char* path); // a file, or a directory tree; links are not followed
const char* ulongToDecimal(u64 value);    // static
u64 parseUnsignedDecimal(const char* text);  // blanks skipped; saturates

}  // namespace palvon
