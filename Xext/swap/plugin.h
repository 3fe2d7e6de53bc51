// Loading shared libraries at run time by a list of candidate names. One
// loaded library is shared by all its users with a reference count; symbols
// that a library lacks resolve to a harmless empty operation.
//
// Main thread only; the list of loaded libraries has no lock.
#pragma once

#include "base/strings.h"

namespace palvon {

enum : u16 {
  kPluginBindNow = 1,   // resolve all symbols at load time
  kPluginGlobal = 2,    // make the library's symbols global
  kPluginResident = 4,  // never closed
};

struct Plugin {
  Plugin* next;
  Plugin* back;
  void* handle;
  u16 flags;
  u16 references;  // extra users: 0 after the first load
  char path[4096];
};

// Loads the first library of a colon-separated list that opens ("libGL"
// as given, "GL" as "libGL.so"); gives the shared record when that library
// is loaded already. Null or a message (temporary text).
const char* loadPlugin(const char* names, u16 flags, Plugin** out);
const char* getPluginPath(const Plugin* plugin);
// Drops one user; the last unload closes the library (unless resident) and
// frees the record. Null or the loader's error text.
const char* unloadPlugin(Plugin* plugin);
// Stores the symbol's address, or pluginMissingSymbolStub with the message
// "No %s() in %s (%s)".
const char* getPluginSymbol(Plugin* plugin, const char* symbol, void** function);
const char* closePluginHandle(void* handle);
// Takes anything, does nothing.
void pluginMissingSymbolStub();

}  // namespace palvon
