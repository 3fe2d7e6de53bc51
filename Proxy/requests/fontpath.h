// The proxy's font path: one path for all clients, which the proxy sets on
// the real servers itself, the test of a new path against the servers, and
// a path filtered for a server that keeps its own list.
//
// Main thread only. Lists are base/strlist.h lists.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ServerDisplay;

// The proxy's current font path: the one the clients set last, else the
// default path. Valid until the path changes.
char* const* currentFontPath(u32* count);
// Replaces the current path with a copy; false when memory runs out (the
// path is then unchanged).
bool setCurrentFontPath(u32 count, char* const* paths);
// Forgets the path the clients set: a reset starts from the default path.
void freeProxyFontPath();
// Null when every server can take the path, else the text of the BadValue:
// "no font path %s at %s" (the path joined, the server's name). The
// default path is always accepted, and so is any path while a single
// server display serves the proxy without DynamicServer.
const char* checkFontPath(u32 count, char* const* paths);
// The elements of the path that the display has, when it keeps its own
// list; else a copy of all. False when memory runs out.
bool filterFontPathForDisplay(char* const* paths, u32 count, char*** out, u32* outCount,
                              const ServerDisplay* display);

}  // namespace palvon
