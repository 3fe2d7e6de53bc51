// The text requests PolyText8 (74) to ImageText16 (77), and the glyph
// engine that draws text on heads whose servers cannot draw the client's
// font at the head's scale: each character is filled or plane-copied from
// the font's glyph pixmap on that head, with temporary GC changes that are
// put back afterwards.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct FontRecord;
struct GCRecord;
struct Head;
struct ProxyClient;
struct ServerLink;

void ProcPolyText8(u8* request, u32 length);
void ProcPolyText16(u8* request, u32 length);
void ProcImageText8(u8* request, u32 length);
void ProcImageText16(u8* request, u32 length);

// Draws one string (count characters of bits / 8 bytes, two-byte codes
// high byte first) on one head at (*x, y) with the GC, from the font's
// glyphs (null font: the server's default font), through the client's
// link; image: ImageText semantics (the background box is filled first).
// *x advances by the string's width. Returns 0 or an X error code. A
// target other than 0 is a pixmap on the head drawn into instead of the
// drawable (a window's background tile).
u8 drawTextItems(ProxyClient* client, Head* head, ServerLink* link, u32 drawable, const GCRecord* gc,
                 FontRecord* font, i32* x, i32 y, const u8* characters, u32 count, u32 bits, bool image,
                 u32 target = 0);

}  // namespace palvon
