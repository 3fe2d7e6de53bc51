// Stand-ins for drawing_pending.h.
#include "Proxy/drawing_pending.h"

namespace palvon {

u32 defaultFontPathCount;
char** defaultFontPath;
PixmapFormatOffer offeredPixmapFormats[kPixmapFormatsMax];
u32 offeredPixmapFormatCount;

}  // namespace palvon
