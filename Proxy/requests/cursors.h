// Cursors, QueryBestSize and the extension queries (core opcodes 93 to 99).
//
// Cursors are global: a client's cursor is made on every head of every meta
// screen from images the proxy reads once and keeps in the cursor record,
// so that a joining head and a zoomed head can be given it too.
// QueryExtension and ListExtensions answer from the proxy's own registry.
//
// Handlers have the shapes of rows.h. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct CursorRecord;
struct HeadCursor;

void ProcCreateCursor(u8* request, u32 length);
void ProcCreateGlyphCursor(u8* request, u32 length);
void ProcFreeCursor(u8* request, u32 length);
void ProcRecolorCursor(u8* request, u32 length);
void ProcQueryBestSize(u8* request, u32 length);
void ProcQueryExtension(u8* request, u32 length);
void ProcListExtensions(u8* request, u32 length);
void ReplyQueryBestSize(u8* reply, u32 length);
void ReplyQueryExtension(u8* reply, u32 length);
void ReplyListExtensions(u8* reply, u32 length);

// The images of a cursor record (owned by the record); false when it has
// none.
bool describeCursorImages(const CursorRecord* cursor, const HeadCursor** images, u32* count);

// A 1-bit image as a cursor bitmap: rows of (width + 7) / 8 bytes, least
// significant bit first, a set pixel where the image's pixel is odd. A new
// buffer (free), null when memory runs out.
u8* cursorBitsFromImage(const XImage* image, u32 width, u32 height);

}  // namespace palvon
