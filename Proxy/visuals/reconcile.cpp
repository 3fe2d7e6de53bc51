// Reconciling visuals and colormaps over the heads: each meta screen's
// visuals start as its colour head's, are narrowed by the configuration and
// by what every head can show, and one becomes the default; then every head
// gets a default colormap that stands for the meta screen's.
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/colorcells.h"
#include "Proxy/visuals/colorheads.h"
#include "Proxy/visuals/emulation.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/settings.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"

namespace palvon {

const char* adjustVisuals();
const char* adjustDefaultColormaps();

namespace {

constexpr u32 kBufferingSingle = 1, kBufferingDouble = 2, kBufferingBoth = 3;

const ScreenConfig* screenConfigOf(const MetaScreen* screen) {
  for (const ScreenConfig* config = proxyConfig.metaScreens; config; config = config->next) {
    if (config->number == screen->number) return config;
  }
  return nullptr;
}

bool isDoubleBuffered(const VisualRecord& visual) { return visual.doubleBuffer != 0; }

void dropVisual(MetaScreen* screen, i32 index) {
  VisualRecord* visual = &screen->visuals[index];
  clearVisualGamma(visual);
  memmove(visual, visual + 1, sizeof(VisualRecord) * size_t(screen->visualCount - index - 1));
  screen->visualCount--;
}

// The configured visual list: the last entry that names a visual decides.
const char* filterConfiguredVisuals(MetaScreen* screen, const ScreenConfig* config) {
  if (!config || !config->visualCount) return nullptr;
  for (i32 i = 0; i < screen->visualCount;) {
    VisualRecord& visual = screen->visuals[i];
    const VisualSpec* decider = nullptr;
    for (u32 e = config->visualCount; e-- > 0 && !decider;) {
      if (visualSpecMatches(config->visuals[e], visual)) decider = &config->visuals[e];
    }
    bool kept = decider ? decider->enabled != 0 : config->visuals[0].enabled == 0;
    if (kept) {
      if (decider && decider->bufferingGiven && decider->buffering == kBufferingBoth && isDoubleBuffered(visual)) {
        LOGF(logChXhint, "Simulate singleOnDoubleBuffered");
        visual.doubleBuffer = 0;
      }
      i++;
      continue;
    }
    LOGF(logChXhint, "Unselect visual #%u on screen #%u", visual.visualId, screen->number);
    dropVisual(screen, i);
  }
  if (screen->visualCount <= 0)
    return tmpPrintf("No visuals left for screen %d - Make sure at least one visual is specified in your "
                     "configuration",
                     i32(screen->number));
  return nullptr;
}

bool isServerDefaultVisual(const Head* head, const VisualRecord* match) {
  if (!match || !head->display) return false;
  return match->visualId == XVisualIDFromVisual(DefaultVisual(head->display, int(head->screen)));
}

// The head whose own default visual the meta screen prefers.
const Head* referenceHead(const MetaScreen* screen) {
  const Head* colour = screen->colorHead;
  if (!colour || !resourceServerDisplay || colour->serverDisplay != resourceServerDisplay) return colour;
  for (const Head* head = screen->heads; head; head = head->next) {
    if (head->serverDisplay != resourceServerDisplay) return head;
  }
  return colour;
}

u32 defaultVisualScore(const MetaScreen* screen, const ScreenConfig* config, i32 index) {
  const VisualRecord* visual = &screen->visuals[index];
  if (config && (config->given & kScreenGivenDefaultVisual) && !visualSpecMatches(config->defaultVisual, *visual))
    return kVisualIncompatible;
  for (const Head* head = screen->heads; head; head = head->next) {
    if (head->display && (head->tags & kHeadTagSloppyVisuals) && !lookupHeadVisual(visual, head))
      return kVisualIncompatible;
  }
  const Head* reference = referenceHead(screen);
  if (reference && isServerDefaultVisual(reference, lookupHeadVisual(visual, reference))) return 0;
  for (const Head* head = screen->heads; head; head = head->next) {
    if (head != reference && isServerDefaultVisual(head, lookupHeadVisual(visual, head))) return 1;
  }
  return index == 0 ? 2 : 3;
}

VisualRecord* chooseDefaultVisual(MetaScreen* screen, const ScreenConfig* config) {
  i32 best = -1;
  u32 bestScore = kVisualIncompatible;
  for (i32 i = screen->visualCount - 1; i >= 0; i--) {
    u32 score = defaultVisualScore(screen, config, i);
    if (score < bestScore) bestScore = score, best = i;
  }
  return best < 0 ? nullptr : &screen->visuals[best];
}

// The configuration block of the screen's colour head may ask for double
// buffering emulated over Multi-Buffering.
void markEmulatedDoubleBuffer(MetaScreen* screen) {
  const HeadConfig* config = nullptr;
  for (const HeadConfig* entry = proxyConfig.heads; entry; entry = entry->next) {
    if (configuredHead(entry) == screen->colorHead) config = entry;
  }
  if (!config || !config->settings.emulateDoubleBuffer) return;
  for (i32 i = 0; i < screen->visualCount; i++) {
    VisualRecord& visual = screen->visuals[i];
    visual.dbeCapable = visual.mbufMono >= 0;
    visual.dbePerfLevel = visual.mbufMono >= 0 ? 255 : 0;
  }
}

// A head without any visual of the depth of the colour head's default
// TrueColor visual, but with a deeper TrueColor visual of the same channels
// (a 16-bit server's 32-bit one beside a 24-bit colour head), shows that
// depth at the deeper one, pixmaps too. The meta screen then keeps the
// root visual a plain server like the colour head has, instead of losing
// it and falling back to a visual with alpha.
void showDefaultDepthDeeper(MetaScreen* screen) {
  const VisualRecord* wanted = nullptr;
  for (i32 i = 0; i < screen->visualCount && !wanted; i++)
    if (screen->visuals[i].isDefault) wanted = &screen->visuals[i];
  if (!wanted || wanted->visualClass != kClassTrueColor || wanted->emulatedVisualId) return;
  for (Head* head = screen->heads; head; head = head->next) {
    if (!head->display || mapDepthForHead(wanted->depth, head) != wanted->depth) continue;
    const VisualRecord* deeper = nullptr;
    bool hasDepth = false;
    for (i32 i = head->visualCount - 1; i >= 0; i--) {
      const VisualRecord& v = head->visuals[i];
      hasDepth = hasDepth || v.depth == wanted->depth;
      bool sameChannels =
          v.redMask == wanted->redMask && v.greenMask == wanted->greenMask && v.blueMask == wanted->blueMask;
      if (v.visualClass == kClassTrueColor && v.depth > wanted->depth && !v.emulatedVisualId && sameChannels)
        deeper = &v;
    }
    if (!hasDepth && deeper) mapSloppyPixmapDepth(head, wanted->depth, deeper->depth);
  }
}

const VisualRecord* defaultVisualOf(const Head* head) {
  for (i32 i = 0; i < head->visualCount; i++)
    if (head->visuals[i].isDefault) return &head->visuals[i];
  return nullptr;
}

// Whether the head shows a TrueColor visual at its depth or through a
// deeper one of the same channels.
bool showsTrueColor(const Head* head, const VisualRecord* wanted) {
  for (i32 i = 0; i < head->visualCount; i++) {
    const VisualRecord& v = head->visuals[i];
    bool sameChannels =
        v.redMask == wanted->redMask && v.greenMask == wanted->greenMask && v.blueMask == wanted->blueMask;
    if (v.visualClass == kClassTrueColor && !v.emulatedVisualId && v.depth >= wanted->depth && sameChannels)
      return true;
  }
  return false;
}

bool everyHeadShows(const MetaScreen* screen, const VisualRecord* wanted) {
  for (const Head* head = screen->heads; head; head = head->next)
    if (head->display && !showsTrueColor(head, wanted)) return false;
  return true;
}

// The head whose visuals the meta screen starts from: the colour head,
// unless its default TrueColor visual is one that another head cannot show
// while that head's own default TrueColor visual every head shows (a
// 16-bit colour head beside a 24-bit one, whose 8-bit channels it has at
// 32 bits): then the screen is the one the other order gives.
Head* visualSourceHead(MetaScreen* screen) {
  Head* colour = screen->colorHead;
  const VisualRecord* own = colour ? defaultVisualOf(colour) : nullptr;
  if (!own || own->visualClass != kClassTrueColor || everyHeadShows(screen, own)) return colour;
  for (Head* head = screen->heads; head; head = head->next) {
    const VisualRecord* other = head->display ? defaultVisualOf(head) : nullptr;
    if (other && other->visualClass == kClassTrueColor && everyHeadShows(screen, other)) return head;
  }
  return colour;
}

const char* adjustScreenVisuals(MetaScreen* screen) {
  Head* colour = visualSourceHead(screen);
  freeHeadVisuals(screen->visuals, screen->visualCount);
  screen->visuals = nullptr, screen->visualCount = 0, screen->rootVisual = nullptr;
  if (colour && colour->visualCount > 0) {
    if (!(screen->visuals = copyVisualRecords(colour->visuals, colour->visualCount))) return PALVON_OOM();
    screen->visualCount = colour->visualCount;
    for (i32 i = 0; i < screen->visualCount; i++) {
      VisualRecord& visual = screen->visuals[i];
      visual.screen = u8(screen->number);
      // An emulated PseudoColor carries its colour index in the channels of
      // the head's visual; clients see it as a plain server shows the
      // class, without channel masks (a toolkit takes masks for TrueColor).
      if (visual.visualClass < kClassTrueColor) setVisualMasks(&visual, 0, 0, 0);
    }
  }
  const ScreenConfig* config = screenConfigOf(screen);
  if (const char* error = filterConfiguredVisuals(screen, config)) return error;
  showDefaultDepthDeeper(screen);
  if (const char* error = reconcileMetaVisuals(screen)) return error;
  for (Head* head = screen->heads; head; head = head->next) {
    if (!head->display) continue;
    if (const char* error = buildHeadVisualMatches(head, screen)) return error;
  }
  if (!(screen->rootVisual = chooseDefaultVisual(screen, config))) return "No default visual found";
  markEmulatedDoubleBuffer(screen);
  logMetaVisualDetails(screen);
  return nullptr;
}

// --- Colormaps -------------------------------------------------------------------------------

bool isStaticClass(const VisualRecord* visual) { return visual && (visual->visualClass & 1) == 0; }
// GrayScale, PseudoColor and DirectColor: colormaps with writable cells.
bool isDynamicClass(u8 visualClass) { return (visualClass & 1) != 0; }

// Why the server's own default colormap cannot stand for the meta screen's;
// null when it can.
const char* defaultColormapUnusable(Head* head, const VisualRecord* match, u32 colormap) {
  const MetaScreen* screen = head->metaScreen;
  if (!match) return "sloppy visuals";
  if (match->emulatedVisualId) return "emulation";
  if (head->inWindow && !isStaticClass(screen->rootVisual)) return "option InWindow";
  if ((head->tags & kHeadTagCooperative) && !isStaticClass(screen->rootVisual)) return "cooperative";
  if (!isServerDefaultVisual(head, match)) return "visual";
  if (convertPixelToHead(u32(screen->blackPixel), screen->rootVisual, head) != head->blackPixel) return "black pixel";
  if (convertPixelToHead(u32(screen->whitePixel), screen->rootVisual, head) != head->whitePixel) return "white pixel";
  if (!colormapCellsReproducible(colormap)) return "alloc";
  return nullptr;
}

const char* createOwnColormap(Head* head, const VisualRecord* match, Colormap* out) {
  Display* display = head->display;
  if (match && match->emulatedVisualId) {
    auto* emulated = static_cast<EmulatedColormap*>(memCalloc(1, sizeof(EmulatedColormap)));
    if (!emulated) return PALVON_OOM();
    if (const char* error = createEmulatedColormap(display, head->root, match, emulated)) {
      free(emulated);
      return error;
    }
    free(head->emulatedColormap);
    head->emulatedColormap = emulated;
    *out = emulated->serverColormap;
    return nullptr;
  }
  Visual* visual = match ? selectVisualConversion(match) : DefaultVisual(display, int(head->screen));
  int alloc = AllocNone;
  if ((proxyConfig.options & kOptionVisEmu) && match && isDynamicClass(match->visualClass)) alloc = AllocAll;
  *out = XfsCreateColormap(display, head->root, visual, alloc);
  if (!*out) return displayOfflineText(display);
  return nullptr;
}

}  // namespace

const char* adjustVisuals() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    for (Head* head = screen->heads; head; head = head->next) {
      if (!head->display || head->visuals) continue;
      logStepf("Querying visuals of %s...", head->name);
      if (const char* error = readHeadVisuals(head, head->visualFlags)) return error;
    }
  }
  logStepf("Adjusting visuals...");
  visualMatchContext.clientsConnected = clientCount != 0;
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    if (const char* error = adjustScreenVisuals(screen)) return error;
  }
  return nullptr;
}

const char* adjustDefaultColormaps() {
  logStepf("Adjusting default colormaps...");
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    if (screen->colorHead) {
      if (const char* error = createHeadDefaultColormap(screen->colorHead)) return error;
    }
    for (Head* head = screen->heads; head; head = head->next) {
      if (head == screen->colorHead) continue;
      if (const char* error = createHeadDefaultColormap(head)) return error;
    }
  }
  return nullptr;
}

bool visualSpecMatches(const VisualSpec& spec, const VisualRecord& visual) {
  if (spec.classGiven && spec.visualClass != visual.visualClass) return false;
  const u32 values[kVisualNumbers] = {visual.depth, visual.bitsPerRgb, visual.colormapSize, visual.transparentType,
                                      u32(i32(visual.overlayLayer))};
  for (int i = 0; i < kVisualNumbers; i++) {
    if (spec.numberGiven[i] && spec.numbers[i] != values[i]) return false;
  }
  if (spec.bufferingGiven) {
    if (spec.buffering == kBufferingSingle && isDoubleBuffered(visual)) return false;
    if (spec.buffering == kBufferingDouble && !isDoubleBuffered(visual)) return false;
  }
  return true;
}

const char* updateHeadDefaultVisual(Head* head) {
  if (!head->display || !head->metaScreen) return nullptr;
  const VisualRecord* match = lookupHeadVisual(head->metaScreen->rootVisual, head);
  if (match) {
    head->defaultVisualId = match->emulatedVisualId ? match->emulatedVisualId : match->visualId;
    head->defaultDepth = match->emulatedVisualId ? match->emulatedDepth : match->depth;
    return nullptr;
  }
  if (!(head->tags & kHeadTagSloppyVisuals)) return nullptr;
  XVisualInfo wanted{};
  wanted.visualid = XVisualIDFromVisual(DefaultVisual(head->display, int(head->screen)));
  wanted.screen = int(head->screen);
  int count = 0;
  XVisualInfo* info = XGetVisualInfo(head->display, VisualIDMask | VisualScreenMask, &wanted, &count);
  if (!info || count < 1) {
    if (info) XFree(info);
    return "XGetVisualInfo() failed";
  }
  head->defaultVisualId = u32(info->visualid);
  head->defaultDepth = u32(info->depth);
  XFree(info);
  return nullptr;
}

const char* createHeadDefaultColormap(Head* head) {
  if (!head->display || head->colormapChosen || !head->metaScreen) return nullptr;
  MetaScreen* screen = head->metaScreen;
  if (!lookupResourceByType(screen->defaultColormap, RT_COLORMAP)) return "Xid of default colormap not found";
  const VisualRecord* match = lookupHeadVisual(screen->rootVisual, head);
  const char* reason = defaultColormapUnusable(head, match, screen->defaultColormap);
  Colormap serverColormap = head->defaultColormap;
  if (!reason) {
    logStepf("%s uses default colormap 0x%x ...", head->name, u32(serverColormap));
    head->colormap = 0;
  } else {
    logStepf("Creating default colormap on %s (%s)...", head->name, reason);
    if (const char* error = createOwnColormap(head, match, &serverColormap)) return error;
    head->colormap = serverColormap;
  }
  head->colormapChosen = 1;
  prepareHeadColormap(head, screen->rootVisual, serverColormap, screen->defaultColormap, reason != nullptr);
  return nullptr;
}

void prepareHeadColormap(Head* head, const VisualRecord* metaVisual, Colormap serverColormap, u32 colormap,
                         bool created) {
  MetaScreen* screen = head->metaScreen;
  const VisualRecord* match = lookupHeadVisual(metaVisual, head);
  bool dynamic = metaVisual && isDynamicClass(metaVisual->visualClass);
  if (screen && head == screen->colorHead) {
    if (created) setupMetaScreenColors(screen);
    if (dynamic && match) preallocColormapCells(colormap, head, metaVisual, match);
  } else if (!clientCount) {
    if (const char* error = copyColormapCellsToHead(colormap, head, serverColormap))
      logProblem(error, __FILE__, __LINE__);
  }
  if (!dynamic || head->serverDisplay == resourceServerDisplay) return;
  if (head->inWindow && !(head->tags & kHeadTagOverlay)) return;
  if ((head->tags & kHeadTagSloppyVisuals) && !match) return;
  fillFreeColorCells(head->display, serverColormap, match);
}


}  // namespace palvon
