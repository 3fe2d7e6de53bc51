// Font helpers on the Xlib side: extension codes of a Display, text boxes,
// a whole font rendered into one bitmap (the glyph atlas, for scaled fonts
// and glyph cursors), a portable packing of font metrics, tests of font-path
// elements against a server, and XLFD names in both directions.
#pragma once

#include <cstddef>

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

// The codes of a named extension on the Display: those already recorded on
// it, else XInitExtension's; nullptr for a null or closing Display (no
// request is made then) or an absent extension.
XExtCodes* xDisplayExtensionCodes(Display* display, const char* name);

// The ink of a string (bits 8 or 16): (x + left bearing, y - ascent,
// right bearing - left bearing, ascent + descent).
void xfontTextInkBox(Display* display, XFontStruct* font, int x, int y, const char* string, int count, int bits,
                     XRectangle* box);
// The logical box: at least the font's maximum ascent and descent, x moved by
// the font's minimum left bearing, the string's width.
void xfontTextBox(XFontStruct* font, int x, int y, const char* string, int count, int bits, XRectangle* box);

// The fallback font name, initially "fixed". The name is copied.
void xfontSetDefaultFontName(const char* name);
const char* xfontDefaultFontName();

// Where one glyph lies in the atlas; a glyph that does not exist has
// x = y = 65535 and size 0.
struct GlyphBox {
  u16 x;
  u16 y;
  u16 width;
  u16 height;
};

// Every glyph of the font in one depth-1 pixmap, rows at most 3999 wide.
// With *boxes null the boxes are malloc'ed (the caller frees them). Returns 0
// when the atlas would be taller than a pixmap can be or memory runs out.
Pixmap xfontGlyphAtlas(Display* display, int screen, XFontStruct* font, u32* width, u32* height,
                       GlyphBox** boxes);
// The atlas of screen 0 read back as an image with fast pixel access.
XImage* xfontGlyphAtlasImage(Display* display, XFontStruct* font, GlyphBox** boxes);

// One character's box holding its origin; 0 when the character has no glyph.
int xfontCharBox(XFontStruct* font, u32 character, u32* width, u32* height, i32* xOrigin, i32* yOrigin);

// Source and mask glyphs of a glyph cursor as 1-bit images of one size (the
// union of both boxes, at least 1x1), the hot spot being the glyph origin.
// maskFont None gives no mask image. Free the images with XDestroyImage.
struct GlyphCursorImages {
  XImage* source;
  XImage* mask;
  u32 width;
  u32 height;
  i32 hotX;
  i32 hotY;
};
bool xfontGlyphCursorImages(Display* display, Font sourceFont, u32 sourceChar, Font maskFont, u32 maskChar,
                            GlyphCursorImages* out);

// The metrics blob: big-endian 16-bit fields; per-character metrics in one
// signed byte each when the bounds allow. Both results are malloc'ed blocks;
// the unpacked font carries its per-character metrics behind it and no
// properties. Unpacking refuses (nullptr) a blob whose character ranges
// promise more glyphs than it holds.
u8* xfontPackMetrics(const XFontStruct* font, size_t* size);
XFontStruct* xfontUnpackMetrics(const u8* blob, size_t size);

// The elements the server accepts one by one, appended to *valid (a heap
// list, strlistFree) and counted in *validCount as they are found: when a
// guarded call breaks off part-way, the caller still holds what was kept.
void xfontValidFontPaths(Display* display, u32 count, char** paths, char*** valid, u32* validCount);
// Whether the server takes the whole path as given. The server's path is
// restored before returning.
int xfontFontPathAccepted(Display* display, char** paths, u32 count);
// 1 when a path of just this element lists no font, or the server refuses
// the element.
int xfontPathElementEmpty(Display* display, const char* element);
// Frees the font-path lists that one of the three tests above held when its
// display broke and the failsafe layer took it out of the middle of it.
void xfontReleaseCutShort();

struct XlfdFields {
  char* foundry;
  char* family;
  char* weight;
  char* slant;
  char* setWidth;
  char* addStyle;
  i32 pixelSize;     // 65535: missing or wildcard
  i32 pointSize;
  i32 resolutionX;
  i32 resolutionY;
  char* spacing;
  i32 averageWidth;  // negative for right-to-left fonts
  char* registry;
  char* encoding;
};

constexpr i32 kXlfdNone = 65535;

XlfdFields* xfontGetXLFDFields(Display* display, XFontStruct* font);
void xfontFreeXLFDFields(XlfdFields* fields);
// A heap string ("-misc-fixed-...").
char* xfontFormatXLFD(const XlfdFields* fields);
// nullptr unless the name starts with '-' and has all 14 fields.
XlfdFields* xfontParseXLFD(const char* name);

}  // namespace palvon
