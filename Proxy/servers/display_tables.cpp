// Tables and copies made from a server display: colormaps per visual, atom
// names, selection owners, colour cells, X error texts, properties and
// shared-memory segments.
#include <errno.h>
#include <math.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "Proxy/links/errors.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "xsupport/misc.h"
#include "xsupport/xtarget.h"

namespace palvon {

u32 shmSegmentFailures = 0;

// --- Colormaps per visual ----------------------------------------------------------

VisualColormap* createVisualColormaps(Display* display) {
  u32 count = 0;
  for (int s = 0; s < ScreenCount(display); s++) {
    const Screen* screen = ScreenOfDisplay(display, s);
    for (int d = 0; d < screen->ndepths; d++) count += static_cast<u32>(screen->depths[d].nvisuals);
  }
  auto* table = static_cast<VisualColormap*>(memCalloc(count + 1, sizeof(VisualColormap)));
  if (!table) {
    PALVON_OOM();
    return nullptr;
  }
  VisualColormap* entry = table;
  for (int s = 0; s < ScreenCount(display); s++) {
    Screen* screen = ScreenOfDisplay(display, s);
    for (int d = 0; d < screen->ndepths; d++) {
      const Depth& depth = screen->depths[d];
      for (int v = 0; v < depth.nvisuals; v++) {
        Visual* visual = &depth.visuals[v];
        entry->screen = static_cast<u32>(s);
        entry->depth = static_cast<u32>(depth.depth);
        entry->visualId = static_cast<u32>(visual->visualid);
        entry->colormap = static_cast<u32>(XfsCreateColormap(display, RootWindowOfScreen(screen), visual, AllocNone));
        entry++;
      }
    }
  }
  return table;
}

u32 findVisualColormap(const VisualColormap* table, u32 screen, u32 depth) {
  for (const VisualColormap* entry = table; entry && entry->depth; entry++) {
    if (entry->screen == screen && entry->depth == depth) return entry->colormap;
  }
  PALVON_UNE();
  return 0;
}

u32 findKeyedEntry(const VisualColormap* table, u32 screen, u32 visualId) {
  for (const VisualColormap* entry = table; entry && entry->depth; entry++) {
    if (entry->screen == screen && entry->visualId == visualId) return entry->depth;
  }
  PALVON_UNE();
  return 0;
}

void freeVisualColormaps(Display* display, VisualColormap* table) {
  if (!table) return;
  if (display) {
    for (const VisualColormap* entry = table; entry->depth; entry++) {
      if (entry->colormap) XfsFreeColormap(display, entry->colormap);
    }
  }
  free(table);
}

// --- Atoms and selections --------------------------------------------------------

char** listAtomNames(Display* display, u32* count) {
  constexpr u32 kMaxAtoms = 16383;
  *count = 0;
  auto** names = static_cast<char**>(memCalloc(kMaxAtoms, sizeof(char*)));
  if (!names) return nullptr;
  for (u32 atom = 1; atom <= kMaxAtoms; atom++) {
    xErrorTrapBegin(display);
    char* name = XfsGetAtomName(display, atom);
    bool failed = xErrorTrapEnd() != 0;
    if (!name || failed) {
      if (name) XFree(name);
      break;
    }
    names[(*count)++] = name;
  }
  return names;
}

void freeAtomNames(char** names, u32 count) {
  if (!names) return;
  for (u32 i = 0; i < count; i++) XFree(names[i]);
  free(names);
}

Window* listSelectionOwners(Display* display, u32* count) {
  *count = 0;
  u32 capacity = 1024;
  auto* owners = static_cast<Window*>(memAlloc(capacity * sizeof(Window)));
  if (!owners) return nullptr;
  for (Atom atom = 1;; atom++) {
    xErrorTrapBegin(display);
    Window owner = XfsGetSelectionOwner(display, atom);
    bool failed = xErrorTrapEnd() != 0;
    if (isDisplayOffline(display)) {
      free(owners);
      *count = 0;
      return nullptr;
    }
    if (failed) break;
    if (*count == capacity) {
      auto* grown = static_cast<Window*>(memRealloc(owners, capacity * 2 * sizeof(Window)));
      if (!grown) break;
      owners = grown;
      capacity *= 2;
    }
    owners[(*count)++] = owner;
  }
  return owners;
}

// --- Colours -----------------------------------------------------------------------

bool allocBlackAndWhite(Display* display, Colormap colormap, unsigned long* black, unsigned long* white) {
  XColor color = {};
  color.red = color.green = color.blue = 65535;
  bool ok = XfsAllocColor(display, colormap, &color) != 0;
  *white = color.pixel;
  color = {};
  ok = XfsAllocColor(display, colormap, &color) != 0 && ok;
  *black = color.pixel;
  if (!ok) PALVON_UNE();
  return ok;
}

const char* allocAllColorCells(Display* display, Colormap colormap, unsigned long** pixels, u32* count) {
  *pixels = nullptr;
  *count = 0;
  unsigned long* array = nullptr;
  u32 taken = 0;
  for (u32 chunk = 256; chunk > 0;) {
    auto* grown = static_cast<unsigned long*>(memRealloc(array, (taken + chunk) * sizeof(unsigned long)));
    if (!grown) break;
    array = grown;
    xErrorTrapBegin(display);
    Status status = XfsAllocColorCells(display, colormap, False, nullptr, 0, array + taken, chunk);
    bool failed = xErrorTrapEnd() != 0;
    if (isDisplayOffline(display)) {
      free(array);
      return displayOfflineText(display);
    }
    if (status && !failed) taken += chunk;
    else chunk /= 2;
  }
  if (taken == 0) {
    free(array);
    return nullptr;
  }
  *pixels = array;
  *count = taken;
  return nullptr;
}

// --- X error texts -------------------------------------------------------------------

const char* formatXErrorEvent(Display* display, const XErrorEvent* event) {
  const char* name = xCoreErrorName(event->error_code);
  if (!name) {
    char* text = tmpAlloc(80);
    XGetErrorText(display, event->error_code, text, 80);
    name = text;
  }
  // Extension requests carry the server's major code; the names are kept
  // under the proxy's.
  u32 major = event->request_code;
  if (major >= 128) {
    if (const ServerDisplay* server = findServerDisplay(display)) {
      for (u32 own = 128; own < 256; own++) {
        if (server->codes.majorToServer[own] == major) {
          major = own;
          break;
        }
      }
    }
  }
  return tmpPrintf("X error %s %s in %s #%lu from %s", name, xidToText(event->resourceid),
                   getRequestName(major, event->minor_code), event->serial, xShortDisplayName(display));
}

// --- Properties -------------------------------------------------------------------------

const char* readWholeProperty(Display* display, Window window, Atom property, unsigned char** data,
                              unsigned long* length, Atom* type, int* format) {
  *data = nullptr;
  *length = 0;
  unsigned long after = 0;
  unsigned char* chunk = nullptr;
  // The first read asks for nothing and learns the size.
  if (XfsGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, type, format, length, &after,
                           &chunk) != Success)
    return "XGetWindowProperty() failed";
  if (chunk) XFree(chunk);
  chunk = nullptr;
  if (*type != None && after > 0) {
    long units = static_cast<long>((after + 3) / 4);
    if (XfsGetWindowProperty(display, window, property, 0, units, False, AnyPropertyType, type, format, length,
                             &after, &chunk) != Success)
      return "XGetWindowProperty() failed";
  }
  // Xlib hands 32-bit items as longs; the copy keeps that layout.
  size_t itemSize = *format == 32 ? sizeof(long) : *format == 16 ? sizeof(short) : 1;
  size_t bytes = *length * itemSize;
  *data = static_cast<unsigned char*>(memAlloc(bytes ? bytes : 1));
  if (*data) {
    if (bytes) memcpy(*data, chunk, bytes);
    else (*data)[0] = 0;
  }
  if (chunk) XFree(chunk);
  if (!*data) {
    *length = 0;
    return PALVON_OOM();
  }
  return nullptr;
}

void copyProperty(Display* from, Window fromWindow, Atom property, Display* to, Window toWindow, Atom toProperty) {
  unsigned char* data = nullptr;
  unsigned long length = 0;
  Atom type = None;
  int format = 0;
  if (readWholeProperty(from, fromWindow, property, &data, &length, &type, &format)) {
    PALVON_UNE();
    return;
  }
  if (type == None || length == 0) {
    XfsDeleteProperty(to, toWindow, toProperty);
  } else {
    XfsChangeProperty(to, toWindow, toProperty, type, format, PropModeReplace, data,
                      static_cast<int>(length > INT_MAX ? INT_MAX : length));
  }
  free(data);
}

void copyAllProperties(Display* from, Window fromWindow, Display* to, Window toWindow) {
  int count = 0;
  Atom* properties = XfsListProperties(from, fromWindow, &count);
  for (int i = 0; i < count; i++) copyProperty(from, fromWindow, properties[i], to, toWindow, properties[i]);
  if (properties) XFree(properties);
}

// --- Shared memory -------------------------------------------------------------------------

ShmSegment* createShmSegment(u64 size, bool readOnly) {
  // Owner-only: the segment carries client pixels, and a server of another
  // user must not be able to read them.
  int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0) {
    shmSegmentFailures++;
    return nullptr;
  }
  void* address = shmat(id, nullptr, readOnly ? SHM_RDONLY : 0);
  auto* segment = static_cast<ShmSegment*>(memAlloc(sizeof(ShmSegment)));
  if (address == reinterpret_cast<void*>(-1) || !segment) {
    if (address != reinterpret_cast<void*>(-1)) shmdt(address);
    shmctl(id, IPC_RMID, nullptr);
    free(segment);
    shmSegmentFailures++;
    return nullptr;
  }
  segment->segmentId = id;
  segment->address = static_cast<u8*>(address);
  segment->size = size;
  return segment;
}

void destroyShmSegment(ShmSegment* segment) {
  if (!segment) return;
  shmdt(segment->address);
  shmctl(segment->segmentId, IPC_RMID, nullptr);
  free(segment);
}

int roundToInt(double value) {
  if (!(value > INT_MIN) || !(value < INT_MAX)) return value < 0 ? INT_MIN : INT_MAX;
  return static_cast<int>(lround(value));
}

}  // namespace palvon
