// The font and pixmap requests OpenFont (45) to FreePixmap (54). Fonts are
// opened on every head that holds fonts for its server screen (a scaled
// font name on a zoomed head) and queried on the font server; pixmaps are
// made on every head of the drawable's meta screen in the head's depth and
// size. Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

void ProcOpenFont(u8* request, u32 length);
void ProcCloseFont(u8* request, u32 length);
void ProcQueryFont(u8* request, u32 length);
void ProcQueryTextExtents(u8* request, u32 length);
void ProcListFonts(u8* request, u32 length);
void ProcListFontsWithInfo(u8* request, u32 length);
void ProcSetFontPath(u8* request, u32 length);
void ProcGetFontPath(u8* request, u32 length);
void ProcCreatePixmap(u8* request, u32 length);
void ProcFreePixmap(u8* request, u32 length);

// Whether a head opens the fonts of its server screen: it is its own font
// head and its server uses the proxy's font path.
bool opensFonts(const struct Head* head);

}  // namespace palvon
