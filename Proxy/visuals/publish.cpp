// Writing the properties that describe a meta screen's visuals onto its
// root on a real server, so that clients reading them see the meta
// screen's overlay layers and colour characterisation.
#include <X11/Xatom.h>

#include <cmath>
#include <cstdlib>

#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

namespace {

// XDeleteProperty only fills Xlib's buffer once pending output is flushed.
void deleteProperty(Display* display, Window window, Atom atom) {
  if (!rawBegin(display)) return;
  XDeleteProperty(display, window, atom);
  rawFlush(display);
}

bool propertyExists(Display* display, Window window, Atom atom) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XfsGetWindowProperty(display, window, atom, 0, 0, False, AnyPropertyType, &type, &format, &count, &after,
                           &data) != Success)
    return false;
  if (data) XFree(data);
  return type != None;
}

void publishOverlay(Display* display, Window window, Atom atom, const VisualRecord* visuals, i32 count) {
  i32 entries[2] = {0, 0};  // format 16, format 32
  for (i32 i = 0; i < count; i++) {
    u8 format = visuals[i].overlayFormat;
    if (format == 16 || format == 32) {
      entries[format == 32]++;
    } else if (format) {
      PALVON_UNE();
    }
  }
  int format = entries[1] ? 32 : entries[0] ? 16 : 0;
  if (!format) {
    if (propertyExists(display, window, atom)) {
      logStepf("Removing SERVER_OVERLAY_VISUALS property ...");
      deleteProperty(display, window, atom);
    }
    return;
  }
  i32 n = entries[format == 32];
  // Xlib takes format-32 items as longs and format-16 items as shorts.
  void* data = memCalloc(static_cast<size_t>(n) * 4, format == 32 ? sizeof(long) : sizeof(short));
  if (!data) {
    PALVON_OOM();
    return;
  }
  i32 at = 0;
  for (i32 i = 0; i < count; i++) {
    const VisualRecord& v = visuals[i];
    if (v.overlayFormat != format) continue;
    const long items[4] = {static_cast<long>(v.visualId), v.transparentType, static_cast<long>(v.transparentValue),
                           v.overlayLayer};
    for (long item : items) {
      if (format == 32) {
        static_cast<long*>(data)[at++] = item;
      } else {
        static_cast<short*>(data)[at++] = static_cast<short>(item);
      }
    }
  }
  XfsChangeProperty(display, window, atom, atom, format, PropModeReplace, static_cast<unsigned char*>(data), at);
  free(data);
}

void publishMatrices(Display* display, Window window, Atom atom, const VisualRecord* visuals, i32 count) {
  const VisualRecord* source = nullptr;
  for (i32 i = 0; i < count; i++) {
    if (visuals[i].hasMatrices) source = &visuals[i];
  }
  if (!source) {
    if (propertyExists(display, window, atom)) deleteProperty(display, window, atom);
    return;
  }
  long items[18];
  for (int i = 0; i < 18; i++) items[i] = static_cast<i32>(source->matrices[i]);
  XfsChangeProperty(display, window, atom, XA_INTEGER, 32, PropModeReplace, reinterpret_cast<unsigned char*>(items),
                    18);
}

short intensityItem(double intensity) {
  if (!(intensity > 0)) intensity = 0;
  if (intensity > 1) intensity = 1;
  return static_cast<short>(static_cast<u16>(std::lround(intensity * 65535)));
}

// One visual's correction record in format 16; null with *items 0 when the
// visual is skipped, null with *items 1 when the step must end.
short* correctionRecord(const VisualRecord& v, int* items) {
  const ColorCorrectionEntry* tables[3] = {v.redTable, v.greenTable, v.blueTable};
  const u32 counts[3] = {v.redCount, v.greenCount, v.blueCount};
  u32 tableCount = v.correctionTables == 3 ? 3 : 1;
  u32 type = v.correctionType;
  *items = 0;
  if (type > 1) return nullptr;
  u64 size = 4;
  for (u32 t = 0; t < tableCount; t++) {
    if (!tables[t] || counts[t] < 2) {
      *items = tableCount == 3;  // one short table skips the visual, three end the step
      return nullptr;
    }
    size += 1 + static_cast<u64>(counts[t]) * (type == 0 ? 2 : 1);
  }
  auto* out = static_cast<short*>(memAlloc(size * sizeof(short)));
  if (!out) {
    PALVON_OOM();
    *items = 1;
    return nullptr;
  }
  u64 at = 0;
  out[at++] = static_cast<short>(v.visualId >> 16);
  out[at++] = static_cast<short>(v.visualId & 0xffff);
  out[at++] = static_cast<short>(type);
  out[at++] = static_cast<short>(tableCount);
  for (u32 t = 0; t < tableCount; t++) {
    out[at++] = static_cast<short>(counts[t] - 1);
    for (u32 e = 0; e < counts[t]; e++) {
      if (type == 0) out[at++] = static_cast<short>(tables[t][e].value);
      out[at++] = intensityItem(tables[t][e].intensity);
    }
  }
  *items = static_cast<int>(at);
  return out;
}

void publishCorrection(Display* display, Window window, Atom atom, const VisualRecord* visuals, i32 count) {
  int written = 0;
  for (i32 i = 0; i < count; i++) {
    if (!visuals[i].redTable) continue;
    int items = 0;
    short* record = correctionRecord(visuals[i], &items);
    if (!record) {
      if (items) return;
      continue;
    }
    XfsChangeProperty(display, window, atom, XA_INTEGER, 16, written ? PropModeAppend : PropModeReplace,
                      reinterpret_cast<unsigned char*>(record), items);
    free(record);
    written++;
  }
  if (!written && propertyExists(display, window, atom)) deleteProperty(display, window, atom);
}

}  // namespace

const char* publishVisualProperties(Display* display, Window window, const VisualRecord* visuals, i32 count) {
  const char* names[3] = {"SERVER_OVERLAY_VISUALS", "XDCCC_LINEAR_RGB_MATRICES", "XDCCC_LINEAR_RGB_CORRECTION"};
  Atom atoms[3];
  for (int i = 0; i < 3; i++) {
    atoms[i] = XfsInternAtom(display, names[i], False);
    if (!atoms[i])
      return tmpPrintf("Broken connection to display %s (%u requests, %u processed, %s:%d) - Maybe the X server has "
                       "been stopped or is unavailable",
                       display ? xShortDisplayName(display) : "?",
                       display ? static_cast<u32>(NextRequest(display) - 1) : 0,
                       display ? static_cast<u32>(LastKnownRequestProcessed(display)) : 0, sourceModule(__FILE__),
                       __LINE__);
  }
  publishOverlay(display, window, atoms[0], visuals, count);
  publishMatrices(display, window, atoms[1], visuals, count);
  publishCorrection(display, window, atoms[2], visuals, count);
  return nullptr;
}

void removeStandardColormaps(Display* display, int screen) {
  if (isDisplayOffline(display) || screen < 0 || screen >= ScreenCount(display)) return;
  static const Atom kMaps[] = {XA_RGB_DEFAULT_MAP, XA_RGB_BEST_MAP, XA_RGB_RED_MAP,  XA_RGB_GREEN_MAP,
                               XA_RGB_BLUE_MAP,    XA_RGB_GRAY_MAP, XA_RGB_COLOR_MAP};
  Window root = RootWindow(display, screen);
  XfsGrabServer(display);
  if (rawBegin(display)) {
    for (Atom atom : kMaps) XDeleteProperty(display, root, atom);
  }
  XfsUngrabServer(display);
  XfsFlush(display);
}

}  // namespace palvon
