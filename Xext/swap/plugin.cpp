#include "Xext/swap/plugin.h"

#include "base/logging.h"

#include <dlfcn.h>
#include <strings.h>

#include <cstdio>
#include <cstring>

namespace palvon {

namespace {

// Loaded libraries in load order.
struct PluginList {
  Plugin* first;
  Plugin* last;
};
PluginList plugins;

// The path to open for one candidate: names starting with '/' or "lib" and
// names ending in ".so" are used as given; others become lib<name>.so.
void candidatePath(const char* name, size_t length, char* path) {
  bool asGiven = name[0] == '/' || (length >= 3 && std::strncmp(name, "lib", 3) == 0);
  if (!asGiven) {
    const char* dot = nullptr;
    for (size_t k = 0; k < length; k++) {
      if (name[k] == '.') dot = name + k;
    }
    asGiven = dot && static_cast<size_t>(name + length - dot) == 3 && strncasecmp(dot, ".so", 3) == 0;
  }
  if (asGiven) {
    std::snprintf(path, sizeof Plugin::path, "%.*s", static_cast<int>(length), name);
  } else {
    std::snprintf(path, sizeof Plugin::path, "lib%.*s.so", static_cast<int>(length), name);
  }
}

Plugin* findPlugin(const char* path, void* handle) {
  for (Plugin* p = plugins.first; p; p = p->next) {
    if ((path && std::strcmp(p->path, path) == 0) || (handle && p->handle == handle)) return p;
  }
  return nullptr;
}

void unlinkPlugin(Plugin* plugin) {
  if (plugin->back) plugin->back->next = plugin->next;
  else plugins.first = plugin->next;
  if (plugin->next) plugin->next->back = plugin->back;
  else plugins.last = plugin->back;
}

}  // namespace

const char* loadPlugin(const char* names, u16 flags, Plugin** out) {
  *out = nullptr;
  if (!names || !*names) return "No library name given";
  const char* failure = "No library name given";
  char path[sizeof Plugin::path];
  for (const char* name = names; *name;) {
    const char* colon = std::strchr(name, ':');
    size_t length = colon ? static_cast<size_t>(colon - name) : std::strlen(name);
    const char* following = colon ? colon + 1 : name + length;
    if (length == 0 || length >= sizeof path) {
      name = following;
      continue;
    }
    candidatePath(name, length, path);
    name = following;
    if (Plugin* loaded = findPlugin(path, nullptr)) {
      loaded->references++;
      *out = loaded;
      return nullptr;
    }
    int mode = (flags & kPluginBindNow ? RTLD_NOW : RTLD_LAZY) | (flags & kPluginGlobal ? RTLD_GLOBAL : RTLD_LOCAL);
    void* handle = dlopen(path, mode);
    if (!handle) {
      failure = tmpPrintf("Can't open library '%s': %s", path, dlerror());
      continue;
    }
    if (Plugin* same = findPlugin(nullptr, handle)) {
      // The same library under another name: keep one record.
      dlclose(handle);
      same->references++;
      *out = same;
      return nullptr;
    }
    Plugin* plugin = static_cast<Plugin*>(memCalloc(1, sizeof(Plugin)));
    if (!plugin) {
      dlclose(handle);
      return PALVON_OOM();
    }
    plugin->handle = handle;
    plugin->flags = flags;
    std::memcpy(plugin->path, path, sizeof path);
    plugin->back = plugins.last;
    if (plugins.last) plugins.last->next = plugin;
    else plugins.first = plugin;
    plugins.last = plugin;
    *out = plugin;
    return nullptr;
  }
  return failure;
}

const char* getPluginPath(const Plugin* plugin) { return plugin->path; }

const char* closePluginHandle(void* handle) {
  if (dlclose(handle) != 0) return tmpPrintf("%s", dlerror());
  return nullptr;
}

const char* unloadPlugin(Plugin* plugin) {
  if (!plugin) return nullptr;
  if (plugin->references > 0) {
    plugin->references--;
    return nullptr;
  }
  if (plugin->flags & kPluginResident) return nullptr;
  if (const char* failure = closePluginHandle(plugin->handle)) return failure;
  unlinkPlugin(plugin);
  freeIfNotNull(plugin);
  return nullptr;
}

void pluginMissingSymbolStub() {}

const char* getPluginSymbol(Plugin* plugin, const char* symbol, void** function) {
  dlerror();
  void* address = dlsym(plugin->handle, symbol);
  const char* error = dlerror();
  if (address && !error) {
    *function = address;
    return nullptr;
  }
  *function = reinterpret_cast<void*>(&pluginMissingSymbolStub);
  return tmpPrintf("No %s() in %s (%s)", symbol, plugin->path, error ? error : "null symbol");
}

}  // namespace palvon
