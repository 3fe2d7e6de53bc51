// Reading the visuals of a real screen with everything that decides
// whether a client visual can be shown through them.
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/Xdbe.h>
#include <X11/extensions/multibufproto.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

namespace {

// The longest property read, in 32-bit units (4 MiB).
constexpr long kPropertyMaxLongs = 1 << 20;

// A root-window property as Xlib returns it; data null when the atom does
// not exist on the server yet or the root has no such property.
struct RootProperty {
  PropertyItems items{};
  unsigned char* data = nullptr;
  RootProperty(Display* display, Window root, const char* name) {
    Atom atom = XfsInternAtom(display, name, True);
    if (!atom) return;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    if (XfsGetWindowProperty(display, root, atom, 0, kPropertyMaxLongs, False, AnyPropertyType, &type, &format,
                             &count, &after, &data) != Success)
      data = nullptr;
    items = {format, data, data ? count : 0};
  }
  ~RootProperty() {
    if (data) XFree(data);
  }
  RootProperty(const RootProperty&) = delete;
  RootProperty& operator=(const RootProperty&) = delete;
};

void readDoubleBuffer(Display* display, Window root, VisualRecord* records, i32 count) {
  if (!rawExtensionOpcode(display, "DOUBLE-BUFFER")) return;
  Drawable drawable = root;
  int screens = 1;
  XdbeScreenVisualInfo* info = XfsDbeGetVisualInfo(display, &drawable, &screens);
  if (!info) return;
  for (int i = 0; screens == 1 && i < info[0].count; i++) {
    VisualRecord* record = findVisualRecord(records, count, info[0].visinfo[i].visual);
    if (!record) continue;
    record->dbeCapable = 1;
    record->dbePerfLevel = static_cast<u8>(info[0].visinfo[i].perflevel);
  }
  XdbeFreeVisualInfo(info);
}

void readMultiBuffering(Display* display, Window root, VisualRecord* records, i32 count) {
  u8 opcode = rawExtensionOpcode(display, "Multi-Buffering");
  if (!opcode || !rawBegin(display)) return;
  u8* request = rawRequest(display, opcode, X_MbufGetBufferInfo, sz_xMbufGetBufferInfoReq);
  if (!request) return;
  rawPut32(request, 4, static_cast<u32>(root));
  RawReply reply;
  if (!rawReply(display, &reply)) return;
  u16 counts[2];
  memcpy(counts, reply.header + 8, sizeof(counts));  // mono, then stereo
  u64 at = 0;
  for (u32 kind = 0; kind < 2; kind++) {
    for (u32 i = 0; i < counts[kind] && at + sz_xMbufBufferInfo <= reply.size; i++, at += sz_xMbufBufferInfo) {
      u32 visual;
      u16 maxBuffers;
      memcpy(&visual, reply.data + at, 4);
      memcpy(&maxBuffers, reply.data + at + 4, 2);
      VisualRecord* record = findVisualRecord(records, count, visual);
      if (record) (kind ? record->mbufStereo : record->mbufMono) = maxBuffers;
    }
  }
  rawReplyFree(&reply);
}

void readRenderFormats(Display* display, VisualRecord* records, i32 count) {
  u32 numFormats = 0, numScreens = 0;
  PictFormatRecord* formats = queryRenderPictFormats(display, &numFormats, &numScreens);
  if (!formats) return;
  for (u32 f = 0; f < numFormats; f++) {
    if (formats[f].type != 1) continue;  // only direct formats describe a visual's pixels
    for (u32 v = 0; v < kPictFormatVisualsMax && formats[f].visuals[v]; v++) {
      VisualRecord* record = findVisualRecord(records, count, formats[f].visuals[v]);
      if (!record) continue;
      record->renderFormat = formats[f].id;
      record->alphaBits = formats[f].alphaBits;
    }
  }
  free(formats);
}

}  // namespace

const char* getHeadVisuals(Display* display, int screen, VisualRecord** records, i32* count) {
  *records = nullptr;
  *count = 0;
  if (isDisplayOffline(display)) return displayOfflineText(display);
  XVisualInfo wanted{};
  wanted.screen = screen;
  int found = 0;
  // From the connection set-up Xlib keeps: no request.
  XVisualInfo* infos =
      screen >= 0 && screen < ScreenCount(display) ? XGetVisualInfo(display, VisualScreenMask, &wanted, &found) : nullptr;
  if (!infos || found <= 0) {
    if (infos) XFree(infos);
    return tmpPrintf("No visuals found at %s, screen %d", xShortDisplayName(display), screen);
  }
  auto* out = static_cast<VisualRecord*>(memCalloc(found, sizeof(VisualRecord)));
  if (!out) {
    XFree(infos);
    return PALVON_OOM();
  }
  VisualID defaultId = XVisualIDFromVisual(DefaultVisual(display, screen));
  for (int i = 0; i < found; i++) {
    VisualRecord* r = &out[i];
    r->visualId = static_cast<u32>(infos[i].visualid);
    r->screen = static_cast<u8>(screen);
    r->depth = static_cast<u8>(infos[i].depth);
    r->visualClass = static_cast<u8>(infos[i].c_class);
    r->colormapSize = static_cast<u16>(infos[i].colormap_size);
    r->bitsPerRgb = static_cast<u8>(infos[i].bits_per_rgb);
    setVisualMasks(r, static_cast<u32>(infos[i].red_mask), static_cast<u32>(infos[i].green_mask),
                   static_cast<u32>(infos[i].blue_mask));
    r->mbufMono = r->mbufStereo = -1;
    r->isDefault = infos[i].visualid == defaultId;
  }
  XFree(infos);
  Window root = RootWindow(display, screen);
  {
    RootProperty overlay(display, root, "SERVER_OVERLAY_VISUALS");
    applyOverlayProperty(out, found, overlay.items);
  }
  {
    RootProperty matrices(display, root, "XDCCC_LINEAR_RGB_MATRICES");
    applyColorMatrices(out, found, matrices.items);
  }
  {
    RootProperty correction(display, root, "XDCCC_LINEAR_RGB_CORRECTION");
    applyColorCorrection(out, found, correction.items);
  }
  readDoubleBuffer(display, root, out, found);
  readMultiBuffering(display, root, out, found);
  queryGLXVisualConfigs(display, screen, out, found);
  readRenderFormats(display, out, found);
  *records = out;
  *count = found;
  return nullptr;
}

bool getVisualInfoById(Display* display, int screen, VisualID visualId, XVisualInfo* info) {
  if (!display) return false;
  XVisualInfo wanted{};
  wanted.screen = screen;
  wanted.visualid = visualId;
  int found = 0;
  XVisualInfo* infos = XGetVisualInfo(display, VisualScreenMask | VisualIDMask, &wanted, &found);
  if (!infos) return false;
  bool ok = found > 0;
  if (ok) *info = infos[0];
  XFree(infos);
  return ok;
}

}  // namespace palvon
