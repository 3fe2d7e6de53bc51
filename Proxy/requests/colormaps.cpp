// Colormaps and colour requests (core opcodes 78 to 92), ordered by opcode.
#include "Proxy/requests/colormaps.h"

#include <X11/Xlib.h>
#include <X11/Xproto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/targets.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/control.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/cursors.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/visuals/colorheads.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"
#include "xsupport/colornames.h"
#include "xsupport/rclib/pointer.h"

namespace palvon {

namespace {

constexpr u32 kTagNotManaged = 0x2000;
// Stash code of a resource just created: the error path frees it.
constexpr u8 kStashCreated = 255;

ColormapRecord* lookupColormap(u32 id) { return static_cast<ColormapRecord*>(lookupResourceByType(id, RT_COLORMAP)); }

Head* colorHeadOf(const ColormapRecord* colormap) {
  const MetaScreen* screen = colormap->screen;
  if (!screen) return nullptr;
  if (screen->colorHead) return screen->colorHead;
  return screen->mainHead ? screen->mainHead : screen->heads;
}

// GrayScale, PseudoColor and DirectColor: their cells are written by
// clients and repeated on the other heads.
bool isDynamic(const VisualRecord* visual) { return visual && (visual->visualClass & 1); }

u32 orOf(const u32* values, u32 count) {
  u32 all = 0;
  for (u32 i = 0; i < count; i++) all |= values[i];
  return all;
}

// The colour head emulates the colormap's visual: the proxy answers.
EmulatedColormap* emulatedOnColorHead(ColormapRecord* colormap) {
  Head* head = colorHeadOf(colormap);
  return head && isColormapEmulatedOn(colormap, head) ? emulatedCellsOf(colormap) : nullptr;
}

Display* colorHeadDisplay(const ColormapRecord* colormap) {
  Head* head = colorHeadOf(colormap);
  return head ? head->display : nullptr;
}

// A heads-lacking-the-visual test shared by the requests that reach every
// head: a sloppy head without the visual (or depth) gets nothing.
bool headLacks(const Head* head, const VisualRecord* visual) {
  if (!head || !visual) return false;
  if (!(head->tags & (kHeadTagSloppyVisuals | kHeadTagSloppyDepths))) return false;
  return !headVisualMatch(head, visual) || isDepthMissingOnHead(visual->depth, head);
}

// Heads that were never given the colormap get no request about it.
bool keepColormapTarget(const RouteTarget& target, void* argument) {
  return !headLacks(target.head, static_cast<const ColormapRecord*>(argument)->visual);
}

void rewriteColormapId(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_COLORMAP, target.head));
}

// What a copy for the colour head needs rewritten: the colormap id at 4, a
// plane mask, a run of pixels, and the stash entry the reply will need.
struct ColorHeadCopy {
  ColormapRecord* colormap;
  u32 maskAt;        // 0: none
  u32 firstPixel;    // 0: none
  u32 pixelStride;
  u32 pixelCount;
  u8 stashCode;      // 0: none
  uintptr_t stashData;
};

void rewriteForColorHead(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* c = static_cast<ColorHeadCopy*>(argument);
  const Head* head = target.head;
  put32(copy + 4, translateXid(get32(copy + 4), RT_COLORMAP, head));
  if (head && c->maskAt) put32(copy + c->maskAt, colormapMaskOnHead(c->colormap, get32(copy + c->maskAt), head));
  for (u32 i = 0; head && c->firstPixel && i < c->pixelCount; i++) {
    u8* pixel = copy + c->firstPixel + u64(i) * c->pixelStride;
    put32(pixel, convertPixelToHead(get32(pixel), c->colormap->visual, head));
  }
  if (c->stashCode) stashRequestData(target.link, c->stashCode, reinterpret_cast<void*>(c->stashData), nullptr);
}

bool forwardToColorHead(const u8* request, u32 length, ColorHeadCopy* copy) {
  setRequestResource(currentClient, copy->colormap->id);
  return forwardRequest(request, length, rewriteForColorHead, copy);
}

// A cell the proxy gave out of the colour head's emulated colormap: its
// colour is written there through the client's link, and the other heads
// take the same cell (a head that shows the visual as it is must hold it,
// or it shows what its own cell holds). False, with the cell given back,
// when another head refused it.
bool repeatEmulatedCell(ProxyClient* client, ColormapRecord* colormap, EmulatedColormap* cells, const XColor& colour) {
  if (isDynamic(colormap->visual) && !allocColorOnHeads(client, colormap, &colour)) {
    u32 pixel = u32(colour.pixel);
    freeEmulatedColors(colorHeadDisplay(colormap), cells, &pixel, 1, 0);
    return false;
  }
  Head* head = colorHeadOf(colormap);
  if (ServerLink* link = head ? clientLink(client, head->serverIndex) : nullptr)
    requestStoreColors(link, translateXid(colormap->id, RT_COLORMAP, head),
                       convertPixelToHead(u32(colour.pixel), colormap->visual, head), colour.red, colour.green,
                       colour.blue);
  return true;
}

// Gives cells back on the colour head when their repetition failed: the
// client must not keep on one head what the others refused.
void freeOnColorHead(ServerLink* link, const ColormapRecord* colormap, const u32* headPixels, u32 count,
                     u32 headPlanes) {
  Head* head = colorHeadOf(colormap);
  if (!link || !head || !count) return;
  u32 length = 12 + 4 * count;
  u8* p = beginRequest(&link->writer, X_FreeColors, 0, length);
  if (!p) return;
  put32(p + 4, translateXid(colormap->id, RT_COLORMAP, head));
  put32(p + 8, headPlanes);
  for (u32 i = 0; i < count; i++) put32(p + 12 + 4 * i, headPixels[i]);
  finishRequest(&link->writer, p, length, X_FreeColors, 0);
  if (const char* failure = flushServerLink(link)) LOGF(logChWarning, "%s", failure);
}

// The colormap a reply's stash entry names; null (after "UNE") when it is
// gone.
ColormapRecord* stashedColormap(u8 code) {
  ServerLink* link = currentLink;
  auto id = link ? u32(reinterpret_cast<uintptr_t>(takeStashedData(link, code))) : 0;
  ColormapRecord* colormap = id ? lookupColormap(id) : nullptr;
  if (!colormap) PALVON_UNE();
  return colormap;
}

void sendOnlyReply(u8* reply, u32 length, u8 major) {
  sendReplyToClient(reply, length, replyLayoutOf(requestRowOf(major), reply, length));
}

}  // namespace

// --- Creating and freeing ---------------------------------------------------------------

namespace {

struct CreateCopy {
  ColormapRecord* colormap;
  Head* emulationHead;
  const char* failure;
};

bool keepCreateTarget(const RouteTarget& target, void* argument) {
  auto* c = static_cast<CreateCopy*>(argument);
  return !headLacks(target.head, c->colormap->visual);
}

void rewriteCreate(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* c = static_cast<CreateCopy*>(argument);
  Head* head = target.head;
  u32 id = get32(copy + 4);
  if (head) {
    const VisualRecord* match = colormapHeadMatch(c->colormap, head);
    if (match && match->emulatedVisualId) {
      // The emulated visual's cells live in the proxy; the head's colormap
      // of the real visual is all the proxy's to fill.
      copy[1] = AllocAll;
      bool owner = !c->colormap->emulation || head == c->emulationHead;
      if (owner && !c->failure) c->failure = initColormapEmulation(c->colormap, head, match, 0);
    }
    put32(copy + 4, translateXid(id, RT_COLORMAP, head));
    put32(copy + 8, translateXid(get32(copy + 8), RT_WINDOW, head));
    put32(copy + 12, mapVisualIdToHead(get32(copy + 12), head));
  }
  stashRequestData(target.link, kStashCreated, reinterpret_cast<void*>(uintptr_t(id)), nullptr);
}

// With several heads the proxy's own connections allocate in the colormap
// next: the client's copies must exist on the servers first.
void syncIfSeveralHeads(ProxyClient* client, const MetaScreen* screen) {
  if (!screen || screen->headCount < 2) return;
  if (const char* failure = syncClientLinks(client)) logProblem(failure, __FILE__, __LINE__);
}

}  // namespace

void ProcCreateColormap(u8* request, u32 length) {
  u8 alloc = request[1];
  u32 id = get32(request + 4), windowId = get32(request + 8), visualId = get32(request + 12);
  ProxyWindow* window = lookupWindow(windowId);
  if (!window) return sendXError(BadWindow, windowId, request, length, nullptr);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  VisualRecord* visual = window->screen ? findScreenVisual(window->screen, visualId) : nullptr;
  // A visual the window's screen does not have is a mismatch, whatever the id.
  if (!visual) return sendXError(BadMatch, visualId, request, length, "invalid visual");
  if (alloc > AllocAll) return sendXError(BadValue, alloc, request, length, "invalid alloc");
  ProxyClient* client = currentClient;
  ColormapRecord* colormap = createColormapRecord(client, id, window->screen, visual, alloc);
  if (!colormap) return sendXError(BadAlloc, 0, request, length, nullptr);
  setRequestResource(client, id);
  CreateCopy c{colormap, window->screen->colorHead, nullptr};
  if (!forwardToTargets(Route::kEveryHead, request, length, keepCreateTarget, rewriteCreate, &c)) return;
  if (c.failure) logProblem(c.failure, __FILE__, __LINE__);
  syncIfSeveralHeads(client, window->screen);
}

void ProcFreeColormap(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  ProxyClient* client = currentClient;
  if (colormap->screen && id == colormap->screen->defaultColormap) {
    logProblem(tmpPrintf("No effect for default colormap in %s by %s", describeClientRequest(request),
                         clientName(client)),
               __FILE__, __LINE__);
    return;
  }
  syncIfSeveralHeads(client, colormap->screen);
  setRequestResource(client, id);
  forwardToTargets(Route::kEveryHead, request, length, keepColormapTarget, rewriteColormapId, colormap);
  freeResource(id);
}

namespace {

struct CopyAndFree {
  ColormapRecord* source;
  ColormapRecord* copy;
  bool cellsCopied;
};

// The new colormap's emulated cells: what the client held in the source
// moves, everybody else's stays behind.
void copyEmulatedCells(ProxyClient* client, ColormapRecord* source, ColormapRecord* copy, Head* head) {
  EmulatedColormap* from = emulatedCellsOf(source);
  if (!from || initColormapEmulation(copy, head, source->emulation->headVisual, 0)) return;
  EmulatedColormap* to = emulatedCellsOf(copy);
  u32 serverColormap = to->serverColormap;
  *to = *from;
  to->serverColormap = serverColormap;
  u32 number = client ? client->number : 0;
  for (EmulatedColorCell& cell : to->cells) {
    bool held = number < kMaxClientSlots && (cell.holders[number / 8] & (1u << (number % 8)));
    std::memset(cell.holders, 0, sizeof cell.holders);
    if (held) {
      cell.holders[number / 8] = u8(1u << (number % 8));
    } else {
      cell.state = kCellFree;
    }
  }
  freeClientEmulatedCells(from);
}

bool keepSourceTarget(const RouteTarget& target, void* argument) {
  return keepColormapTarget(target, static_cast<CopyAndFree*>(argument)->source);
}

void rewriteCopyAndFree(u8* copy, u32, const RouteTarget& target, void* argument) {
  auto* c = static_cast<CopyAndFree*>(argument);
  u32 id = get32(copy + 4);
  if (Head* head = target.head) {
    if (isColormapEmulatedOn(c->source, head) && !c->cellsCopied) {
      PALVON_UNE();
      copyEmulatedCells(currentClient, c->source, c->copy, head);
      c->cellsCopied = true;
    }
    put32(copy + 4, translateXid(id, RT_COLORMAP, head));
    put32(copy + 8, translateXid(get32(copy + 8), RT_COLORMAP, head));
  }
  stashRequestData(target.link, kStashCreated, reinterpret_cast<void*>(uintptr_t(id)), nullptr);
}

}  // namespace

void ProcCopyColormapAndFree(u8* request, u32 length) {
  u32 id = get32(request + 4), sourceId = get32(request + 8);
  ColormapRecord* source = lookupColormap(sourceId);
  if (!source) return sendXError(BadColor, sourceId, request, length, "invalid source colormap");
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  ProxyClient* client = currentClient;
  // Made AllocNone: the source's AllocAll entry moves over below.
  ColormapRecord* copy = createColormapRecord(client, id, source->screen, source->visual, kAllocNone);
  if (!copy) return sendXError(BadAlloc, 0, request, length, nullptr);
  copy->alloc = source->alloc;
  setRequestResource(client, id);
  CopyAndFree c{source, copy, false};
  if (!forwardToTargets(Route::kEveryHead, request, length, keepSourceTarget, rewriteCopyAndFree, &c)) return;
  // The cells are allocated in the new colormap on the other heads, which
  // must exist there first.
  syncIfSeveralHeads(client, source->screen);
  if (!moveClientCellsToColormap(client, source, copy)) sendXError(BadAlloc, 0, request, length, nullptr);
}

// --- Installing -------------------------------------------------------------------------

namespace {

struct InstallCopy {
  ColormapRecord* colormap;
};

// Heads that take part in installation get the request; an inactive head
// gets the screen's installed list again instead.
bool keepInstallTarget(const RouteTarget& target, void* argument) {
  auto* c = static_cast<InstallCopy*>(argument);
  Head* head = target.head;
  if (!head) return true;
  if (headLacks(head, c->colormap->visual)) return false;
  if (!isHeadInactive(head)) return true;
  if (!(head->tags & kTagNotManaged)) installColormapsOnHead(head, &target.link->writer);
  return false;
}

// The cursor the pointer shows on the screen: an active grab's, else the
// one defined nearest above the window under the pointer; null when the
// pointer is on another screen or no client defined one. Until it first
// moves, the pointer is on the first screen.
const CursorRecord* cursorShownOn(MetaScreen* screen) {
  Head* head = inputState.pointerHead;
  if (screen != (head ? head->metaScreen : proxyState.screens)) return nullptr;
  const InputGrab& grab = inputState.pointerGrab;
  if (grab.client && grab.cursorRecord) return grab.cursorRecord;
  return cursorAtMetaPoint(screen, inputState.pointerX, inputState.pointerY);
}

// A plain server's cursor takes its two colours in a dynamic colormap
// installed under it, so a private colormap that its client never filled
// still shows them (the black and white of the usual cursors at pixels 0
// and 1). The proxy keeps an emulated colormap's cells: it writes them
// there itself, into free cells, and every head shows them.
void showCursorColours(ProxyClient* client, ColormapRecord* colormap) {
  EmulatedColormap* cells = emulatedOnColorHead(colormap);
  const HeadCursor* images = nullptr;
  u32 count = 0;
  if (!cells || !isDynamic(colormap->visual) || !describeCursorImages(cursorShownOn(colormap->screen), &images, &count))
    return;
  // A cursor made of an image takes black and white there.
  bool image = images[0].renderFormat != 0;
  const XColor colours[2] = {image ? XColor{} : images[0].foreground,
                             image ? XColor{0, 0xffff, 0xffff, 0xffff, 0, 0} : images[0].background};
  XColor written[2];
  u32 n = writeColoursIntoFreeCells(cells, colours, 2, written);
  Head* head = colorHeadOf(colormap);
  ServerLink* link = head ? clientLink(client, head->serverIndex) : nullptr;
  for (u32 i = 0; link && i < n; i++)
    requestStoreColors(link, translateXid(colormap->id, RT_COLORMAP, head),
                       convertPixelToHead(u32(written[i].pixel), colormap->visual, head), written[i].red,
                       written[i].green, written[i].blue);
  showFreeCellColoursOnHeads(colormap, written, n);
}

void installOrUninstall(u8* request, u32 length, bool install) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  bool newlyInstalled = false;
  if (MetaScreen* screen = colormap->screen) {
    u32 count = screen->installedColormapCount;
    newlyInstalled = install && !(count && screen->installedColormapIds[count - 1] == id);
    if (install && !installColormapOnScreen(screen, id)) return sendXError(BadAlloc, 0, request, length, nullptr);
    if (!install && id != screen->defaultColormap) removeInstalledColormap(screen, id);
  }
  setRequestResource(currentClient, id);
  InstallCopy c{colormap};
  forwardToTargets(Route::kEveryHead, request, length, keepInstallTarget, rewriteColormapId, &c);
  if (newlyInstalled) showCursorColours(currentClient, colormap);
}

}  // namespace

void ProcInstallColormap(u8* request, u32 length) { installOrUninstall(request, length, true); }
void ProcUninstallColormap(u8* request, u32 length) { installOrUninstall(request, length, false); }

void ProcListInstalledColormaps(u8* request, u32 length) {
  u32 windowId = get32(request + 4);
  if (!lookupWindow(windowId)) return sendXError(BadWindow, windowId, request, length, nullptr);
  setRequestResource(currentClient, windowId);
  auto rewrite = [](u8* copy, u32, const RouteTarget& target, void*) {
    put32(copy + 4, translateXid(get32(copy + 4), RT_WINDOW, target.head));
    // The head's id (never 0 for a head) finds the head again, if it is
    // still there when the reply comes.
    uintptr_t head = target.head ? target.head->id : 0;
    if (head) stashRequestData(target.link, X_ListInstalledColormaps, reinterpret_cast<void*>(head), nullptr);
  };
  forwardRequest(request, length, rewrite);
}

void ReplyListInstalledColormaps(u8* reply, u32 length) {
  ServerLink* link = currentLink;
  auto headId = link ? u32(reinterpret_cast<uintptr_t>(takeStashedData(link, X_ListInstalledColormaps))) : 0;
  auto* head = headId ? static_cast<Head*>(lookupResourceByType(headId, RT_HEAD)) : nullptr;
  u32 count = get16(reply + 8);
  if (u64(count) * 4 + 32 > length) count = (length - 32) / 4;
  u32 kept = 0;
  for (u32 i = 0; head && i < count; i++) {
    u32 id = get32(reply + 32 + 4 * i);
    // The server's own default colormap is no colormap of the clients'
    // unless the head shows the meta default colormap with it.
    bool ownDefault = id == head->defaultColormap && head->colormap && head->colormap != head->defaultColormap;
    u32 mapped = mapServerXidToClientByType(RT_COLORMAP, id, head);
    // Listed in the stand-in's place, which the server would not install.
    u32 metaDefault = head->metaScreen ? head->metaScreen->defaultColormap : 0;
    if (ownDefault && isStaticColormapInstalled(metaDefault)) ownDefault = false, mapped = metaDefault;
    if (ownDefault || !lookupColormap(mapped)) continue;
    put32(reply + 32 + 4 * kept++, mapped);
  }
  if (head) {
    put16(reply + 8, u16(kept));
    put32(reply + 4, kept);
    length = 32 + 4 * kept;
  }
  sendOnlyReply(reply, length, X_ListInstalledColormaps);
}

// --- Allocating -------------------------------------------------------------------------

void ProcAllocColor(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  ProxyClient* client = currentClient;
  if (EmulatedColormap* cells = emulatedOnColorHead(colormap)) {
    XColor colour{0, get16(request + 8), get16(request + 10), get16(request + 12), DoRed | DoGreen | DoBlue, 0};
    if (!allocEmulatedColor(colorHeadDisplay(colormap), cells, &colour) ||
        !repeatEmulatedCell(client, colormap, cells, colour))
      return sendXError(BadAlloc, 0, request, length, nullptr);
    sendReplyAllocColor(client, colour.red, colour.green, colour.blue, u32(colour.pixel));
    return;
  }
  ColorHeadCopy copy{colormap, 0, 0, 0, 0, X_AllocColor, id};
  forwardToColorHead(request, length, &copy);
}

namespace {

// The colour head's answer to an allocation of one cell (the pixel at
// pixelAt, the colour at colourAt): its pixel in the client's terms, and
// on a dynamic visual the same colour taken on every other head.
void replyOneCell(u8* reply, u32 length, u8 major, u32 pixelAt, u32 colourAt) {
  ColormapRecord* colormap = stashedColormap(major);
  if (!colormap) return sendOnlyReply(reply, length, major);
  u32 headPixel = get32(reply + pixelAt);
  u32 pixel = convertPixelFromHead(headPixel, colormap->visual, colorHeadOf(colormap));
  put32(reply + pixelAt, pixel);
  if (isDynamic(colormap->visual)) {
    XColor colour{pixel, get16(reply + colourAt), get16(reply + colourAt + 2), get16(reply + colourAt + 4),
                  DoRed | DoGreen | DoBlue, 0};
    if (!allocColorOnHeads(currentClient, colormap, &colour)) {
      freeOnColorHead(currentLink, colormap, &headPixel, 1, 0);
      return replaceReplyByError(BadAlloc, 0, major);
    }
  }
  sendOnlyReply(reply, length, major);
}

}  // namespace

void ReplyAllocColor(u8* reply, u32 length) { replyOneCell(reply, length, X_AllocColor, 16, 8); }

void ProcAllocNamedColor(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  ProxyClient* client = currentClient;
  if (EmulatedColormap* cells = emulatedOnColorHead(colormap)) {
    const char* name = reinterpret_cast<const char*>(request + 12);
    u32 nameLength = get16(request + 8);
    XColor visual{}, exact{};
    // An unknown name is BadName, as a server answers it.
    if (!lookupColorNameCached(colorHeadDisplay(colormap), cells, name, nameLength, &exact))
      return sendXError(BadName, 0, request, length, nullptr);
    if (!allocNamedEmulatedColor(colorHeadDisplay(colormap), cells, name, nameLength, &visual, &exact) ||
        !repeatEmulatedCell(client, colormap, cells, visual))
      return sendXError(BadAlloc, 0, request, length, nullptr);
    sendReplyAllocNamedColor(client, u32(visual.pixel), exact.red, exact.green, exact.blue, visual.red,
                             visual.green, visual.blue);
    return;
  }
  ColorHeadCopy copy{colormap, 0, 0, 0, 0, X_AllocNamedColor, id};
  forwardToColorHead(request, length, &copy);
}

void ReplyAllocNamedColor(u8* reply, u32 length) { replyOneCell(reply, length, X_AllocNamedColor, 8, 18); }

void ProcAllocColorCells(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  if (EmulatedColormap* cells = emulatedOnColorHead(colormap)) {
    u32 colours = get16(request + 8), planes = get16(request + 10);
    // As a plain server: no cells asked for and a contiguity that is
    // neither true nor false are bad values; more planes than any colormap
    // has are a failure to allocate (BadAlloc below).
    if (!colours) return sendXError(BadValue, 0, request, length, nullptr);
    if (request[1] > xTrue) return sendXError(BadValue, request[1], request, length, nullptr);
    auto* pixels = static_cast<u32*>(std::malloc((u64(colours) + 32 + 1) * sizeof(u32)));
    u32* masks = pixels ? pixels + colours : nullptr;
    bool ok = pixels && allocEmulatedColorCellsRequest(colorHeadDisplay(colormap), cells, request[1] != 0, masks,
                                                       planes, pixels, colours);
    // The heads that show the visual as it is take the same cells.
    if (ok && !allocColorCellsOnHeads(currentClient, colormap, pixels, colours, masks, planes)) {
      freeEmulatedColors(colorHeadDisplay(colormap), cells, pixels, colours, orOf(masks, planes));
      ok = false;
    }
    if (ok) ok = sendReplyAllocColorCells(currentClient, pixels, u16(colours), masks, u16(planes));
    std::free(pixels);
    if (!ok) sendXError(BadAlloc, colours, request, length, nullptr);
    return;
  }
  ColorHeadCopy copy{colormap, 0, 0, 0, 0, X_AllocColorCells, id};
  forwardToColorHead(request, length, &copy);
}

namespace {

// A cell reply's pixels and masks (count of each, from byte 32) converted
// back to the client's values; the head's values are kept in `saved`
// (pixels, then masks) for undoing. False when memory ran out.
bool convertCellReply(u8* reply, const ColormapRecord* colormap, u32 fields, u32** saved, u32** converted) {
  *saved = static_cast<u32*>(std::malloc((2 * u64(fields) + 1) * sizeof(u32)));
  if (!*saved) return false;
  *converted = *saved + fields;
  Head* head = colorHeadOf(colormap);
  for (u32 i = 0; i < fields; i++) {
    u8* field = reply + 32 + 4 * i;
    (*saved)[i] = get32(field);
    (*converted)[i] = convertPixelFromHead((*saved)[i], colormap->visual, head);
    put32(field, (*converted)[i]);
  }
  return true;
}


}  // namespace

void ReplyAllocColorCells(u8* reply, u32 length) {
  ColormapRecord* colormap = stashedColormap(X_AllocColorCells);
  if (!colormap) return sendOnlyReply(reply, length, X_AllocColorCells);
  u32 count = get16(reply + 8), maskCount = get16(reply + 10);
  if (32 + 4 * (u64(count) + maskCount) > length) {
    PALVON_UNE();
    return sendOnlyReply(reply, length, X_AllocColorCells);
  }
  u32 *saved = nullptr, *cells = nullptr;
  if (!convertCellReply(reply, colormap, count + maskCount, &saved, &cells))
    return replaceReplyByError(BadAlloc, 0, X_AllocColorCells);
  bool ok = !isDynamic(colormap->visual) ||
            allocColorCellsOnHeads(currentClient, colormap, cells, count, cells + count, maskCount);
  if (!ok) freeOnColorHead(currentLink, colormap, saved, count, orOf(saved + count, maskCount));
  std::free(saved);
  if (!ok) return replaceReplyByError(BadAlloc, 0, X_AllocColorCells);
  sendOnlyReply(reply, length, X_AllocColorCells);
}

void ProcAllocColorPlanes(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  ColorHeadCopy copy{colormap, 0, 0, 0, 0, X_AllocColorPlanes, id};
  forwardToColorHead(request, length, &copy);
}

void ReplyAllocColorPlanes(u8* reply, u32 length) {
  ColormapRecord* colormap = stashedColormap(X_AllocColorPlanes);
  if (!colormap) return sendOnlyReply(reply, length, X_AllocColorPlanes);
  u32 count = get16(reply + 8);
  if (32 + 4 * u64(count) > length) {
    PALVON_UNE();
    return sendOnlyReply(reply, length, X_AllocColorPlanes);
  }
  Head* head = colorHeadOf(colormap);
  u32 headMasks[3], masks[3];
  for (u32 k = 0; k < 3; k++) {
    headMasks[k] = get32(reply + 12 + 4 * k);
    masks[k] = convertPixelFromHead(headMasks[k], colormap->visual, head);
    put32(reply + 12 + 4 * k, masks[k]);
  }
  u32 *saved = nullptr, *pixels = nullptr;
  if (!convertCellReply(reply, colormap, count, &saved, &pixels))
    return replaceReplyByError(BadAlloc, 0, X_AllocColorPlanes);
  bool ok = !isDynamic(colormap->visual) ||
            allocColorPlanesOnHeads(currentClient, colormap, pixels, count, masks[0], masks[1], masks[2]);
  if (!ok) freeOnColorHead(currentLink, colormap, saved, count, headMasks[0] | headMasks[1] | headMasks[2]);
  std::free(saved);
  if (!ok) return replaceReplyByError(BadAlloc, 0, X_AllocColorPlanes);
  sendOnlyReply(reply, length, X_AllocColorPlanes);
}

// --- Freeing and storing ------------------------------------------------------------------

void ProcFreeColors(u8* request, u32 length) {
  u32 id = get32(request + 4), planeMask = get32(request + 8);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  u32 count = (length - 12) / 4;
  if (EmulatedColormap* cells = emulatedOnColorHead(colormap)) {
    auto* pixels = static_cast<u32*>(std::malloc((u64(count) + 1) * sizeof(u32)));
    if (!pixels) return sendXError(BadAlloc, 0, request, length, nullptr);
    for (u32 i = 0; i < count; i++) pixels[i] = get32(request + 12 + 4 * i);
    u32 value = id;
    u8 error = freeEmulatedColors(colorHeadDisplay(colormap), cells, pixels, count, planeMask, &value);
    freeClientPixels(currentClient, colormap, pixels, count, planeMask);
    std::free(pixels);
    if (error) sendXError(error, value, request, length, nullptr);
    return;
  }
  ColorHeadCopy copy{colormap, 8, 12, 4, count, 0, 0};
  if (!forwardToColorHead(request, length, &copy) || !isDynamic(colormap->visual)) return;
  for (u32 i = 0; i < count; i++) {
    u32 pixel = get32(request + 12 + 4 * i);
    freeClientPixels(currentClient, colormap, &pixel, 1, planeMask);
  }
}

void ProcStoreColors(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  if (!isDynamic(colormap->visual)) return sendXError(BadAccess, id, request, length, nullptr);
  u32 count = (length - 8) / 12;
  ColorHeadCopy copy{colormap, 0, 8, 12, count, 0, 0};
  if (!forwardToColorHead(request, length, &copy)) return;
  // Out of memory is logged where it happened; the colour head has the colours.
  storeColorsOnHeads(colormap, request + 8, count);
}

void ProcStoreNamedColor(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  if (!isDynamic(colormap->visual)) {
    // A plain server looks the name up before it tries the cell.
    u16 red = 0, green = 0, blue = 0;
    if (!colorLookupName(reinterpret_cast<const char*>(request + 16), get16(request + 12), &red, &green, &blue))
      return sendXError(BadName, 0, request, length, nullptr);
    return sendXError(BadAccess, id, request, length, nullptr);
  }
  ColorHeadCopy copy{colormap, 0, 8, 4, 1, 0, 0};
  if (!forwardToColorHead(request, length, &copy)) return;
  storeNamedColorOnHeads(colormap, get32(request + 8), request[1], reinterpret_cast<const char*>(request + 16),
                         get16(request + 12));
}

// --- Queries -----------------------------------------------------------------------------

void ProcQueryColors(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  ColorHeadCopy copy{colormap, 0, 8, 4, (length - 8) / 4, 0, 0};
  forwardToColorHead(request, length, &copy);
}

void ProcLookupColor(u8* request, u32 length) {
  u32 id = get32(request + 4);
  ColormapRecord* colormap = lookupColormap(id);
  if (!colormap) return sendXError(BadColor, id, request, length, nullptr);
  ColorHeadCopy copy{colormap, 0, 0, 0, 0, 0, 0};
  forwardToColorHead(request, length, &copy);
}

}  // namespace palvon
