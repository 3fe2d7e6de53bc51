// Host, clock and file-lock primitives that the log and the event loop need
// before anything else stands.
#pragma once

#include <cstdio>
#include <ctime>

#include "base/strings.h"

namespace palvon {

// The host name (at most 79 characters), kept after the first success;
// "UNSET" while it cannot be had.
const char* hostName();
// "Linux (x86_64)" on x86_64 and ia64 machines, else "Linux (x86_32)".
const char* osText();
// uname's machine name, "?" when uname fails. A temporary string.
const char* machineName();

// Wall clock in milliseconds. For logs and time stamps; waits use a
// monotonic clock.
u64 timeNowMs();
// strftime of the local time into a temporary string of at most 59 bytes.
const char* timeFormatLocal(time_t time, const char* format);
const char* formatTimeLocal(time_t time, const char* format);
// A rough duration ("179 sec.", "3 min.", "2 hours", ...). The result lives in
// one static buffer until the next call.
const char* formatDuration(long seconds);

// Checks that the path opens with the mode, then re-opens the stream on it.
// nullptr (stream untouched) on failure.
FILE* fileReopen(FILE* stream, const char* path, const char* mode);
// Waits for a write lock on the whole file; 1, or 0 on an error other than
// an interruption.
int fileLockWrite(FILE* stream);
int fileUnlock(FILE* stream);

}  // namespace palvon
