// Placeholders for the calls of resource_pending.h; see there.
#include "Proxy/resource_pending.h"

#include "Proxy/xdisplay.h"
#include "base/logging.h"

namespace palvon {

// The font display role; set by the heads layer.
ServerDisplay* fontDisplay = nullptr;

void processSaveSet(ProxyClient*) { PALVON_WIP(); }
// Called for every destroyed window: quiet until the attribute layer lands.
void destroyWindowAttributes(ProxyWindow*) {}
void dropClientKeymapOverride(ProxyClient*) {}
void freeResourceOnHead(u32, u32, void*, Head*, MetaScreen*) { PALVON_WIP(); }
// Hot path (every window id translated): quiet.
bool isSelectionSyncWindow(const ServerDisplay*, u32) { return false; }
void scaleSize(const HeadScaler*, u16*, u16*) { PALVON_WIP(); }
bool needsVisualEmulation(u32, const Head*) { return false; }
bool headDrawsTextFromGlyphs(const Head*) { return false; }
void recordCursorChange(u32) {}
// An unmapped window record needs nothing more until the tree changes land.
void unmapWindowRecord(ProxyWindow*, int) {}
void endGrabsOnDestroyedWindow(ProxyWindow*) {}
void freeBackgroundTile(ProxyClient*, ProxyWindow*, Head*) { PALVON_WIP(); }
const char* makeFontGlyphImages(FontRecord*) {
  PALVON_WIP();
  return nullptr;
}
const char* openFontOnHead(FontRecord*, Head*) {
  PALVON_WIP();
  return nullptr;
}
int allocColorCellsOnHeads(ProxyClient*, ColormapRecord*, const u32*, u32, const u32*, u32) {
  PALVON_WIP();
  return 1;
}
void removeInstalledColormap(MetaScreen*, u32) {}

// Plain Xlib until the failsafe layer lands.
Pixmap XfsCreatePixmap(Display* display, Drawable drawable, unsigned int width, unsigned int height,
                       unsigned int depth) {
  return XCreatePixmap(display, drawable, width, height, depth);
}
GC XfsCreateGC(Display* display, Drawable drawable, unsigned long mask, XGCValues* values) {
  return XCreateGC(display, drawable, mask, values);
}
int XfsCopyArea(Display* display, Drawable source, Drawable destination, GC gc, int sourceX, int sourceY,
                unsigned int width, unsigned int height, int destinationX, int destinationY) {
  return XCopyArea(display, source, destination, gc, sourceX, sourceY, width, height, destinationX, destinationY);
}
int XfsFreeGC(Display* display, GC gc) { return XFreeGC(display, gc); }
int XfsFreePixmap(Display* display, Pixmap pixmap) { return XFreePixmap(display, pixmap); }
int XfsFreeFont(Display* display, XFontStruct* font) { return XFreeFont(display, font); }
int XfsFlush(Display* display) { return XFlush(display); }
int XfsSync(Display* display, Bool discard) { return XSync(display, discard); }

}  // namespace palvon
