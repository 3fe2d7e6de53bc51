// Reconciling capabilities over the heads: what a meta screen offers its
// clients is what all of its heads can do (an intersection, for numbers the
// minimum), narrowed further by the configuration. Font path, resource-id
// layout, pixmap formats, visuals with each head's matches and the default
// visual, backing store and save-unders, keycodes, and each head's default
// colormap.
//
// Runs once at start-up before the extensions are set up and again after
// every reset (then it first reopens the displays that lost their
// connection). Main thread only.
#pragma once

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "Proxy/servers/display.h"
#include "base/strings.h"

namespace palvon {

struct VisualRecord;

// The default font path offered to clients, and its copy kept after
// probing. String lists (base/strlist.h), owned here.
extern u32 defaultFontPathCount;
extern char** defaultFontPath;
extern u32 keptFontPathCount;
extern char** keptFontPath;

// The pixmap formats offered to clients.
struct PixmapFormatOffer {
  u8 depth;
  u8 bitsPerPixel;
  u8 scanlinePad;
};
constexpr u32 kPixmapFormatsMax = 32;
extern PixmapFormatOffer offeredPixmapFormats[kPixmapFormatsMax];
extern u32 offeredPixmapFormatCount;

// All stages in order; the first error ends it. afterReset: displays that
// lost their connection are opened again, heads get new ids and the client
// resource table of slot 0 is made anew.
const char* adjustScreenCapabilities(bool afterReset);

// The display that serves fonts: with DynamicServer the resource-server
// display; else the display of the first head not in a window that is not
// the resource server's, else of the first such head in a window; else the
// first display of the list.
ServerDisplay* chooseFontServerDisplay();

// Sets the head's default visual id and depth from its match for the meta
// screen's root visual (an emulated match gives the depth and id used on
// the head); a sloppyVisuals head without one asks its server.
const char* updateHeadDefaultVisual(Head* head);

// The head's default colormap: the server's own when it can stand for the
// meta screen's default colormap, else one made for the head (the log says
// which and why). Nothing for a head without a display or with a colormap.
const char* createHeadDefaultColormap(Head* head);
// Replays a colormap's allocations on the head's server colormap.
const char* copyColormapCellsToHead(u32 colormap, Head* head, Colormap serverColormap);
void prepareHeadColormap(Head* head, const VisualRecord* metaVisual, Colormap serverColormap, u32 colormap,
                         bool created);

// --- Rules (pure, for the stages above and their tests) ---------------------------------

// The include/exclude rule of configured lists: the last entry that matches
// an item decides; an item no entry matches is dropped when the first entry
// enables and kept when it disables; an empty list keeps everything.
template <typename Entry, typename Matches>
bool keptByList(const Entry* entries, u32 count, Matches matches) {
  if (!count) return true;
  for (u32 i = count; i-- > 0;) {
    if (matches(entries[i])) return entries[i].enabled != 0;
  }
  return entries[0].enabled == 0;
}

// The proxy's resource-id mask over displays: each display leaves its own
// mask bits (at most `limitBits` when not 0) less the bits that tell its
// heads apart (or `maximumScreens`' when larger); the smallest wins.
struct IdMaskDisplay {
  u32 mask;   // the server's resource-id mask
  u32 heads;  // heads on that display
};
u32 reconcileIdMask(const IdMaskDisplay* displays, u32 count, u32 limitBits, u32 maximumScreens);

// The keycode range offered: from the input-control display's minimum, as
// many codes as configured (1..248), kept within 8..255.
void keycodeRange(u32 serverMinimum, u32 configuredCount, bool given, u32* minimum, u32* maximum);

// Whether a configured visual entry names the visual (its class, depth,
// bits per RGB, colormap size, transparency, overlay layer and buffering,
// as far as it gives them).
bool visualSpecMatches(const VisualSpec& spec, const VisualRecord& visual);

}  // namespace palvon
