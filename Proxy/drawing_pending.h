// What the font, pixmap and image handlers read of the heads layer's
// reconciliation that is not in the tree yet, under the names that layer
// gives them. drawing_pending.cpp holds empty stand-ins that go away when
// that layer lands.
#pragma once

#include "base/strings.h"

namespace palvon {

// The default font path offered to clients (string list). Stand-in: empty.
extern u32 defaultFontPathCount;
extern char** defaultFontPath;

// The pixmap formats offered to clients. Stand-in: none.
struct PixmapFormatOffer {
  u8 depth;
  u8 bitsPerPixel;
  u8 scanlinePad;
};
constexpr u32 kPixmapFormatsMax = 32;
extern PixmapFormatOffer offeredPixmapFormats[kPixmapFormatsMax];
extern u32 offeredPixmapFormatCount;

}  // namespace palvon
