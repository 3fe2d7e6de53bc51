// RENDER picture formats: the proxy's own set, built from the image
// display's formats, limited by the environment, offered once per meta
// screen that shows them and kept only where every head has a match; the
// per-head translation of a format id; and the QueryPictFormats reply made
// from the set.
#include <X11/extensions/render.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/dispatch/renderhook.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/drawableusers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/resourcefacts.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/raw.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "Xext/extmodule.h"
#include "Xext/render/internal.h"
#include "base/logging.h"

namespace palvon {

RenderState renderState;

namespace {

constexpr u32 kNoLimit = ~0u;

u32 limitFromEnvironment(const char* name) {
  const char* text = getenv(name);
  if (!text || !*text) return kNoLimit;
  return u32(strtoul(text, nullptr, 10));
}

// The head's slot among the heads whose format ids the formats keep; -1
// when every slot is taken by a live head.
i32 headSlot(const Head* head, bool assign) {
  i32 free = -1;
  for (u32 i = 0; i < kRenderHeadSlots; i++) {
    if (renderState.slots[i] == head) return i32(i);
    if (!renderState.slots[i] && free < 0) free = i32(i);
  }
  if (!assign) return -1;
  if (free < 0) {
    PALVON_UNE();
    return -1;
  }
  renderState.slots[free] = head;
  return free;
}

// The server's formats of the display, read once.
PictFormatRecord* displayFormats(ServerDisplay* display, u32* count) {
  u32 index = display->index;
  if (index >= 32) return nullptr;
  if (!renderState.displayFormats[index] && display->display) {
    u32 screens = 0;
    renderState.displayFormats[index] =
        queryRenderPictFormats(display->display, &renderState.displayFormatCount[index], &screens);
  }
  *count = renderState.displayFormatCount[index];
  return renderState.displayFormats[index];
}

// The server's RENDER version code (major x 64 + minor); 0 without RENDER.
u16 displayRenderVersion(Display* display) {
  u8 opcode = display ? rawExtensionOpcode(display, RENDER_NAME) : 0;
  if (!opcode || !rawBegin(display)) return 0;
  u8* request = rawRequest(display, opcode, X_RenderQueryVersion, 12);
  if (!request) return 0;
  rawPut32(request, 4, RENDER_MAJOR);
  rawPut32(request, 8, RENDER_MINOR);
  RawReply reply;
  if (!rawReply(display, &reply)) return 0;
  u32 major = reply.word(8), minor = reply.word(12);
  rawReplyFree(&reply);
  if (major > 1000 || minor > 63) return 0;
  u16 code = u16(major * 64 + minor);
  return code ? code : 1;  // 0.0 still has RENDER
}

const char* typeName(u8 type) { return type == PictTypeDirect ? "Direct" : "Indexed"; }

const char* matchFailure(const ProxyPictFormat& f, const Head* head) {
  return tmpPrintf("Display %s does not support picture format %s %d bit R%uG%uB%uA%u (%u,%u,%u,%u, %s visual)",
                   headName(head), typeName(f.type), f.depth, f.bits[0], f.bits[1], f.bits[2], f.bits[3], f.shifts[0],
                   f.shifts[1], f.shifts[2], f.shifts[3], f.visualCount ? "with" : "no");
}

// The first of the server's formats that a visual of the head's screen
// uses; -1 when none.
i32 formatOfVisual(const PictFormatRecord* server, u32 count, u32 visual, u32 headScreen) {
  for (u32 i = 0; i < count; i++)
    for (u32 v = 0; v < kPictFormatVisualsMax && server[i].visuals[v]; v++)
      if (server[i].visuals[v] == visual && server[i].screen == headScreen) return i32(i);
  return -1;
}

// A visual the head emulates is drawn there in the visual it is based on:
// pictures of its windows take that visual's format. -1 when the format's
// visuals are not emulated on the head.
i32 emulationBaseFormat(const ProxyPictFormat& f, const Head* head, const PictFormatRecord* server, u32 count) {
  const MetaScreen* screen = head->metaScreen;
  const VisualRecord* meta = f.visualCount && screen ? findScreenVisual(screen, f.visuals[0]) : nullptr;
  const VisualRecord* match = meta ? headVisualMatch(head, meta) : nullptr;
  if (!match || !match->emulatedVisualId) return -1;
  return formatOfVisual(server, count, match->emulatedVisualId, head->screen);
}

// Null or the text of matchFailure.
const char* matchPictFormat(ProxyPictFormat* format, Head* head) {
  u32 count = 0;
  PictFormatRecord* server = head->serverDisplay ? displayFormats(head->serverDisplay, &count) : nullptr;
  i32 found = emulationBaseFormat(*format, head, server, count);
  // A format of a depth the head keeps deeper for drawables still serves
  // glyph sets and masks at its own depth (pictures of drawables take the
  // deeper one, drawableFormatForHead).
  u32 depth = mapDepthForHead(format->depth, head);
  if (found < 0 && depth != format->depth && !format->visualCount)
    found = findMatchingPictFormat(*format, server, count, head->screen, format->depth);
  if (found < 0) found = findMatchingPictFormat(*format, server, count, head->screen, depth);
  if (found < 0) return matchFailure(*format, head);
  i32 slot = headSlot(head, true);
  if (slot >= 0) format->headIds[slot] = server[found].id;
  return nullptr;
}

// The meta visual that a server visual of the format stands for on the
// head, null when none. A visual the head emulates (8-bit PseudoColor drawn
// in a 24-bit visual) is not one of the format's: its depth is not.
const VisualRecord* formatMetaVisual(const PictFormatRecord& server, Head* head, u32 visual) {
  const MetaScreen* screen = head->metaScreen;
  for (i32 i = screen ? screen->visualCount - 1 : -1; i >= 0; i--) {
    const VisualRecord* meta = &screen->visuals[i];
    if (meta->depth == server.depth && mapVisualIdToHead(meta->visualId, head) == visual) return meta;
  }
  return nullptr;
}

u32 indexedColormap(const PictFormatRecord& server, MetaScreen* screen, const ServerDisplay* display) {
  if (!server.colormap) return 0;
  for (Head* head = screen->heads; head; head = head->next)
    if (head->serverDisplay == display && head->defaultColormap == server.colormap) return screen->defaultColormap;
  return mapServerXidToClient(server.colormap, display);
}

// A new zeroed format at the end of the set with an id of its own; null
// when memory ran out (nothing is added then).
ProxyPictFormat* appendPictFormat() {
  auto* grown = static_cast<ProxyPictFormat*>(
      memRealloc(renderState.formats, sizeof(ProxyPictFormat) * (renderState.formatCount + 1)));
  if (!grown) return nullptr;
  renderState.formats = grown;
  ProxyPictFormat& f = grown[renderState.formatCount++];
  memset(&f, 0, sizeof f);
  // A default id of the proxy's own: unique beside the visuals, colormaps
  // and root windows that clients also look up by id.
  f.id = allocDefaultXid();
  return &f;
}

// Appends a format made from the server's for the meta screen (null: no
// visuals); false when memory ran out (nothing is added then).
bool addProxyPictFormat(const PictFormatRecord& server, MetaScreen* screen, Head* head, ServerDisplay* display) {
  u32 visuals = 0;
  while (visuals < kPictFormatVisualsMax && server.visuals[visuals]) visuals++;
  u32* ids = nullptr;
  u32 idCount = 0;
  if (screen && visuals) {
    ids = static_cast<u32*>(memAlloc(sizeof(u32) * visuals));
    if (!ids) return false;
    for (u32 v = 0; v < visuals; v++)
      if (const VisualRecord* meta = formatMetaVisual(server, head, server.visuals[v]))
        ids[idCount++] = meta->visualId;
  }
  ProxyPictFormat* added = appendPictFormat();
  if (!added) {
    free(ids);
    return false;
  }
  ProxyPictFormat& f = *added;
  f.type = server.type;
  f.depth = server.depth;
  if (server.type == PictTypeDirect) {
    u8 bits[4] = {server.redBits, server.greenBits, server.blueBits, server.alphaBits};
    u8 shifts[4] = {server.redShift, server.greenShift, server.blueShift, server.alphaShift};
    memcpy(f.bits, bits, 4);
    memcpy(f.shifts, shifts, 4);
  } else if (screen) {
    f.colormap = indexedColormap(server, screen, display);
  }
  if (screen) f.screen = u16(screen->number);
  f.visuals = ids;
  f.visualCount = idCount;
  for (MetaScreen* s = proxyState.screens; s; s = s->next)
    for (Head* h = s->heads; h; h = h->next)
      if (h->serverDisplay == display) {
        i32 slot = headSlot(h, true);
        if (slot >= 0) f.headIds[slot] = server.id;
      }
  return true;
}

void addCandidate(const PictFormatRecord& server, ServerDisplay* display) {
  bool hasVisuals = server.visuals[0] != 0;
  if (!hasVisuals) {
    if (!addProxyPictFormat(server, nullptr, nullptr, display)) PALVON_OOM();
    return;
  }
  Head* shown = display->display ? findHeadByScreenNumber(display->display, server.screen) : nullptr;
  if (!shown) {
    LOGF(logChXhint, "Display %s does not support picture format #%u (no head)", display->displayName, server.id);
    return;
  }
  bool known = false;
  for (u32 v = 0; v < kPictFormatVisualsMax && server.visuals[v] && !known; v++)
    known = formatMetaVisual(server, shown, server.visuals[v]) != nullptr;
  if (!known) {
    // The meta screen has none of its visuals (a deeper one than an
    // 8-bit head has): still a format for pixmaps, as a plain server has
    // it for every depth it makes pixmaps of.
    LOGF(logChXhint, "Display %s does not support picture format #%u (no visual)", display->displayName, server.id);
    if (!addProxyPictFormat(server, nullptr, nullptr, display)) PALVON_OOM();
    return;
  }
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (head->serverDisplay != display || head->screen != server.screen) continue;
      if (!addProxyPictFormat(server, screen, head, display)) PALVON_OOM();
      break;
    }
  }
}

bool visualHasFormat(u32 screen, u32 visual) {
  for (u32 i = 0; i < renderState.formatCount; i++) {
    const ProxyPictFormat& f = renderState.formats[i];
    if (f.screen != screen) continue;
    for (u32 v = 0; v < f.visualCount; v++)
      if (f.visuals[v] == visual) return true;
  }
  return false;
}

// The format added last, when the image display gave the same one
// already (without visuals, or with other visuals of the screen: it shows
// them at a deeper depth, a 16-bit server's beside a 24-bit head), goes
// into that one: a plain server lists each format once.
void mergeIntoEarlierFormat() {
  ProxyPictFormat& added = renderState.formats[renderState.formatCount - 1];
  for (u32 i = 0; i + 1 < renderState.formatCount; i++) {
    ProxyPictFormat& f = renderState.formats[i];
    if (f.type != added.type || f.depth != added.depth || memcmp(f.bits, added.bits, 4) ||
        memcmp(f.shifts, added.shifts, 4) || (f.visualCount && f.screen != added.screen))
      continue;
    auto* joined = static_cast<u32*>(memRealloc(f.visuals, sizeof(u32) * (f.visualCount + added.visualCount + 1)));
    if (!joined) return;  // both stay
    f.visuals = joined;
    for (u32 v = 0; v < added.visualCount; v++) f.visuals[f.visualCount++] = added.visuals[v];
    f.screen = added.screen;
    for (u32 slot = 0; slot < kRenderHeadSlots; slot++)
      if (!f.headIds[slot]) f.headIds[slot] = added.headIds[slot];
    free(added.visuals);
    renderState.formatCount--;
    return;
  }
}

// An indexed visual that every head shows only by emulation (one 24-bit
// server with an emulated 8-bit root) has no server format at all: it gets
// the Indexed format a plain server gives such a visual, with the screen's
// default colormap for its root visual. The emulating heads draw it in the
// visual they base it on (matchPictFormat).
void addIndexedFormatOfEmulatedVisual(const MetaScreen* screen, const VisualRecord* meta, u32 maxDepth) {
  if (meta->visualClass >= kClassTrueColor || meta->depth > maxDepth) return;
  u32* ids = static_cast<u32*>(memAlloc(sizeof(u32)));
  ProxyPictFormat* f = ids ? appendPictFormat() : nullptr;
  if (!f) {
    free(ids);
    PALVON_OOM();
    return;
  }
  f->type = PictTypeIndexed;
  f->depth = meta->depth;
  f->screen = u16(screen->number);
  f->colormap = screen->rootVisual && screen->rootVisual->visualId == meta->visualId ? screen->defaultColormap : 0;
  ids[0] = meta->visualId;
  f->visuals = ids;
  f->visualCount = 1;
}

// A meta visual that the image display shows only by emulation has no
// format among its formats: it takes the one that another head's server
// gives the visual itself, as a plain server gives every visual a format.
void addFormatsOfEmulatedVisuals(ServerDisplay* image, u32 maxDepth, u32 maxBits) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (i32 i = 0; i < screen->visualCount; i++) {
      const VisualRecord* meta = &screen->visuals[i];
      if (visualHasFormat(screen->number, meta->visualId)) continue;
      bool emulated = false, added = false;
      for (Head* head = screen->heads; head && !added; head = head->next) {
        const VisualRecord* match = headVisualMatch(head, meta);
        emulated = emulated || (match && match->emulatedVisualId);
        if (!match || match->emulatedVisualId || head->serverDisplay == image) continue;
        u32 count = 0;
        const PictFormatRecord* formats = displayFormats(head->serverDisplay, &count);
        i32 found = formatOfVisual(formats, count, match->visualId, head->screen);
        if (found < 0 || !pictFormatWithinLimits(formats[found], maxDepth, maxBits)) continue;
        if (!addProxyPictFormat(formats[found], screen, head, head->serverDisplay)) PALVON_OOM();
        else mergeIntoEarlierFormat();
        added = true;
      }
      if (!added && emulated) addIndexedFormatOfEmulatedVisual(screen, meta, maxDepth);
    }
  }
}

// Drops formats some head cannot show: the heads of other displays than
// the one the format came from.
void filterOverOtherHeads(ServerDisplay* image) {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      i32 slot = headSlot(head, true);
      for (u32 i = 0; i < renderState.formatCount;) {
        if (head->serverDisplay == image && slot >= 0 && renderState.formats[i].headIds[slot]) {
          i++;
          continue;
        }
        const char* failure = matchPictFormat(&renderState.formats[i], head);
        if (!failure) {
          i++;
          continue;
        }
        logProblem(failure, __FILE__, __LINE__);
        free(renderState.formats[i].visuals);
        free(renderState.formats[i].palette);
        memmove(&renderState.formats[i], &renderState.formats[i + 1],
                sizeof(ProxyPictFormat) * (renderState.formatCount - i - 1));
        renderState.formatCount--;
      }
    }
  }
}

// Visuals of the format at the depth, counted once per depth entry.
u32 depthVisuals(const ProxyPictFormat* formats, u32 count, u32 screen, u32 depth) {
  u64 visuals = 0;
  for (u32 i = 0; i < count; i++)
    if (formats[i].visualCount && formats[i].screen == screen && formats[i].depth == depth)
      visuals += formats[i].visualCount;
  return u32(visuals > 65535 ? 65535 : visuals);
}

}  // namespace

// --- Matching ---------------------------------------------------------------------

bool pictFormatWithinLimits(const PictFormatRecord& format, u32 maxDepth, u32 maxBits) {
  return format.depth <= maxDepth && format.redBits <= maxBits;
}

i32 findMatchingPictFormat(const ProxyPictFormat& f, const PictFormatRecord* server, u32 count, u32 headScreen,
                           u32 headDepth) {
  if (f.type != PictTypeDirect && f.type != PictTypeIndexed) {
    PALVON_UNE();
    return -1;
  }
  // Pictures of pixmaps only: a server that has the channels only as a
  // visual's format serves them as well.
  i32 withVisuals = -1;
  for (u32 i = 0; i < count; i++) {
    const PictFormatRecord& s = server[i];
    if (s.type != f.type || s.depth != headDepth) continue;
    if (f.type == PictTypeDirect) {
      u8 bits[4] = {s.redBits, s.greenBits, s.blueBits, s.alphaBits};
      u8 shifts[4] = {s.redShift, s.greenShift, s.blueShift, s.alphaShift};
      if (memcmp(bits, f.bits, 4) || memcmp(shifts, f.shifts, 4)) continue;
      // At a deeper depth the head's visual that stands for the format's
      // visuals belongs to another format (one with alpha): the channels
      // decide.
      if (headDepth != f.depth) return i32(i);
      bool serverVisuals = s.visuals[0] != 0;
      if (!f.visualCount && !serverVisuals) return i32(i);
      if (f.visualCount && serverVisuals && s.screen == headScreen) return i32(i);
      if (!f.visualCount && withVisuals < 0) withVisuals = i32(i);
      continue;
    }
    if (!f.colormap || s.colormap) return i32(i);
  }
  return withVisuals;
}

ProxyPictFormat* findPictFormat(u32 id) {
  return id ? static_cast<ProxyPictFormat*>(lookupResourceByType(id, RT_PICT_FORMAT)) : nullptr;
}

MetaScreen* pictFormatScreen(const ProxyPictFormat* format) {
  return format && format->visualCount ? findMetaScreen(format->screen) : nullptr;
}

u32 renderFormatForHead(u32 id, const Head* head) {
  const ProxyPictFormat* format = findPictFormat(id);
  if (!format || !head) return id;
  i32 slot = headSlot(head, false);
  return slot >= 0 ? format->headIds[slot] : id;
}

u32 nativePictFormatForHead(const ProxyPictFormat* format, const Head* head) {
  u32 count = 0;
  const PictFormatRecord* server = head->serverDisplay ? displayFormats(head->serverDisplay, &count) : nullptr;
  i32 found = count ? findMatchingPictFormat(*format, server, count, head->screen, format->depth) : -1;
  return found >= 0 ? server[found].id : 0;
}

const PictFormatRecord* serverPictFormat(const Head* head, u32 id) {
  u32 count = 0;
  const PictFormatRecord* server = head->serverDisplay ? displayFormats(head->serverDisplay, &count) : nullptr;
  for (u32 i = 0; i < count; i++)
    if (server[i].id == id) return &server[i];
  return nullptr;
}

u32 drawableFormatForHead(const ProxyPictFormat* format, const Head* head, u32 depth) {
  u32 id = renderFormatForHead(format->id, head);
  u32 count = 0;
  const PictFormatRecord* server =
      depth != format->depth && head->serverDisplay ? displayFormats(head->serverDisplay, &count) : nullptr;
  for (u32 i = 0; i < count; i++)
    if (server[i].id == id && server[i].depth == depth) return id;
  // The same channels at the deeper depth; else the head keeps the
  // drawable at that depth in its visual's pixels (an 8-bit pixmap beside
  // an emulated 8-bit visual): the picture takes that visual's format, and
  // an alpha-only one loses its alpha there.
  i32 same = count ? findMatchingPictFormat(*format, server, count, head->screen, depth) : -1;
  if (same >= 0) return server[same].id;
  for (u32 i = 0; i < count; i++)
    if (server[i].type == PictTypeDirect && server[i].depth == depth && server[i].visuals[0] &&
        server[i].screen == head->screen)
      return server[i].id;
  return id;
}

// --- The set ------------------------------------------------------------------------

const char* buildPictFormats(ExtensionEntry* entry) {
  for (ServerDisplay* display = serverDisplayList; display; display = display->next) {
    if (!display->display) continue;
    u16 version = displayRenderVersion(display->display);
    u32 count = 0;
    if (!version || !displayFormats(display, &count))
      return tmpPrintf("Display %s does not support extension %s", display->displayName, RENDER_NAME);
    if (version < entry->version) entry->version = version;
  }
  freePictFormats();
  ServerDisplay* image = imageDisplay ? imageDisplay : serverDisplayList;
  u32 count = 0;
  const PictFormatRecord* candidates = image ? displayFormats(image, &count) : nullptr;
  u32 maxDepth = limitFromEnvironment("maxPictureFormatDepth");
  u32 maxBits = limitFromEnvironment("maxPictureFormatBits");
  for (u32 i = 0; i < count; i++)
    if (pictFormatWithinLimits(candidates[i], maxDepth, maxBits)) addCandidate(candidates[i], image);
  addFormatsOfEmulatedVisuals(image, maxDepth, maxBits);
  filterOverOtherHeads(image);
  for (u32 i = 0; i < renderState.formatCount; i++)
    if (!addResource(renderState.formats[i].id, RT_PICT_FORMAT, &renderState.formats[i])) PALVON_OOM();
  takeIndexPalettes();
  return nullptr;
}

void freePictFormats() {
  for (u32 i = 0; i < renderState.formatCount; i++) {
    freeResourceById(renderState.formats[i].id, RT_PICT_FORMAT);
    free(renderState.formats[i].visuals);
    free(renderState.formats[i].palette);
  }
  free(renderState.formats);
  renderState.formats = nullptr;
  renderState.formatCount = 0;
  memset(renderState.slots, 0, sizeof renderState.slots);
}

const char* adjustPictFormats(Head* head) {
  if (!moduleEntry(kModuleRender) || !head) return nullptr;
  u32 count = 0;
  if (!head->serverDisplay || !displayFormats(head->serverDisplay, &count))
    return tmpPrintf("Display %s does not support extension %s",
                     head->serverDisplay ? head->serverDisplay->displayName : headName(head), RENDER_NAME);
  LOGF(logChStep, "Adjusting %u picture formats on %s...", renderState.formatCount, headName(head));
  for (u32 i = 0; i < renderState.formatCount; i++)
    if (const char* failure = matchPictFormat(&renderState.formats[i], head)) return failure;
  return nullptr;
}

void resetRenderExtension(ExtensionEntry* entry) {
  freePictFormats();
  for (u32 i = 0; i < 32; i++) {
    free(renderState.displayFormats[i]);
    renderState.displayFormats[i] = nullptr;
    renderState.displayFormatCount[i] = 0;
  }
  pictFormatForHeadHook = nullptr;
  adjustPictFormatsHook = nullptr;
  pictureFrameHook = nullptr;
  drawableUserHooks.freeWindowPictures = nullptr;
  resourceFactHooks = {};
  clearModuleWord(entry);
}

// --- QueryPictFormats ---------------------------------------------------------------

u32 pictFormatsReplySize(const ProxyPictFormat* formats, u32 count, const u32* screens, u32 screenCount) {
  u64 size = 32 + 28ull * count + 8ull * screenCount;
  for (u32 s = 0; s < screenCount; s++)
    for (u32 depth = 1; depth <= 32; depth++)
      if (u32 visuals = depthVisuals(formats, count, screens[s], depth)) size += 8 + 8ull * visuals;
  return size > 0x3ffffffc ? 0 : u32(size);
}

void writePictFormatsReply(u8* out, const ProxyPictFormat* formats, u32 count, const u32* screens,
                           u32 screenCount) {
  u32 size = pictFormatsReplySize(formats, count, screens, screenCount);
  memset(out, 0, size);
  out[0] = X_Reply;
  put32(out + 4, (size - 32) / 4);
  put32(out + 8, count);
  put32(out + 12, screenCount);
  u32 depths = 0, visuals = 0;
  u8* at = out + 32;
  for (u32 i = 0; i < count; i++, at += 28) {
    const ProxyPictFormat& f = formats[i];
    put32(at, f.id);
    at[4] = f.type;
    at[5] = f.depth;
    if (f.type == PictTypeDirect) {
      for (u32 c = 0; c < 4; c++) {
        put16(at + 8 + 4 * c, f.shifts[c]);
        put16(at + 10 + 4 * c, u16((1u << f.bits[c]) - 1));
      }
    } else {
      put32(at + 24, f.colormap);
    }
  }
  for (u32 s = 0; s < screenCount; s++) {
    u8* screenAt = at;
    u32 screenDepths = 0;
    at += 8;
    for (u32 depth = 1; depth <= 32; depth++) {
      u32 n = depthVisuals(formats, count, screens[s], depth);
      if (!n) continue;
      screenDepths++;
      at[0] = u8(depth);
      put16(at + 2, u16(n));
      at += 8;
      u32 written = 0;
      for (u32 i = 0; i < count && written < n; i++) {
        const ProxyPictFormat& f = formats[i];
        if (!f.visualCount || f.screen != screens[s] || f.depth != depth) continue;
        for (u32 v = 0; v < f.visualCount && written < n; v++, written++, at += 8) {
          put32(at, f.visuals[v]);
          put32(at + 4, f.id);
        }
      }
      visuals += n;
    }
    put32(screenAt, screenDepths);
    depths += screenDepths;
  }
  put32(out + 16, depths);
  put32(out + 20, visuals);
}

}  // namespace palvon
