// Glyph pixmaps for the heads that draw text themselves (zoomed or turned
// heads, heads far from the font server): every glyph of a font in one
// depth-1 pixmap on the head's server, at the head's scale, with where each
// glyph lies in it. The text engine copies glyphs out of it.
//
// Ownership: a font record owns its glyph images and its per-head entries
// (records.h frees them with the font). The pixmaps are made through the
// proxy's own connection to the head's server; clients' requests use them
// by id once that connection's requests are known to be processed (the
// entry's marker). Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"
#include "xsupport/xfont.h"

namespace palvon {

struct FontRecord;
struct FontHeadGlyphs;
struct Head;

// Every glyph of a font as one client-side bitmap, read from the font
// server (the font's glyph images).
struct FontGlyphImages {
  XImage* atlas;    // depth 1
  GlyphBox* boxes;  // one per glyph, x 65535 where the font has none
  u32 count;
};

// The number of glyphs of the font's character range.
u32 fontGlyphCount(const XFontStruct* font);
// The glyph index of a character code (row = code / 256, column = code %
// 256), or -1 outside the font's range.
i32 fontGlyphIndex(const XFontStruct* font, u32 code);

// Renders the font's glyph images on the font server display. Null or a
// message.
const char* makeFontGlyphImages(FontRecord* font);
// Makes the font's glyph pixmap for the head (nothing when it has one).
// Null, "Out of memory (%s:%d)" or the broken-connection message.
const char* openFontOnHead(FontRecord* font, Head* head);
// The font's entry for the head, null when none was made.
FontHeadGlyphs* findFontHeadGlyphs(const FontRecord* font, const Head* head);
// The glyph set of the head display's default font (the server's font for
// a GC without one): a font record of the proxy's own, loaded once; null
// when the font server has no such font.
FontRecord* serverDefaultFont();
// Waits (within the display's offline time-out) until the head's server
// has processed the requests that made the entry's pixmap. False when the
// display is offline.
bool waitForGlyphs(const FontHeadGlyphs* glyphs);
// Entries made over the process's life (for the logs and tests).
extern u32 fontHeadGlyphEntries;

}  // namespace palvon
