// Replaying a colormap's allocations on a head's server colormap.
#include <cstdlib>

#include "Proxy/heads/reconcile.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/colorcells.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/screen.h"
#include "Proxy/visuals/pixels.h"
#include "Proxy/visuals/visual.h"
#include "base/logging.h"

namespace palvon {

namespace {

// The colour a record keeps for a pixel (index colormaps).
XColor cellColour(const ColormapRecord* record, u32 pixel) {
  XColor colour{};
  colour.pixel = pixel;
  colour.flags = DoRed | DoGreen | DoBlue;
  u32 size = record->visual ? record->visual->colormapSize : 0;
  if (record->red && pixel < size) {
    colour.red = record->red[pixel], colour.green = record->green[pixel], colour.blue = record->blue[pixel];
  }
  return colour;
}

}  // namespace

const char* copyColormapCellsToHead(u32 colormap, Head* head, Colormap serverColormap) {
  auto* record = static_cast<ColormapRecord*>(lookupResourceByType(colormap, RT_COLORMAP));
  if (!record || !head->display) return nullptr;
  u32 count = record->allocationCount;
  if (!count) return nullptr;
  // A head that emulates the visual holds every cell of its colormap: the
  // colours alone are written, at the head's pixels.
  const VisualRecord* match = record->visual ? headVisualMatch(head, record->visual) : nullptr;
  if (match && match->emulatedVisualId) {
    for (u32 i = 0; i < count; i++) {
      u32 pixel = record->allocations[i].pixel;
      XColor colour = cellColour(record, pixel);
      colour.pixel = convertPixelToHead(pixel, record->visual, head);
      XfsStoreColors(head->display, serverColormap, &colour, 1);
    }
    return nullptr;
  }
  auto* pixels = static_cast<unsigned long*>(memCalloc(count, sizeof(unsigned long)));
  auto* shared = static_cast<XColor*>(memCalloc(count, sizeof(XColor)));
  if (!pixels || !shared) {
    free(pixels), free(shared);
    return PALVON_OOM();
  }
  u32 writable = 0, sharedCount = 0;
  for (u32 i = 0; i < count; i++) {
    const ColormapAllocation& cell = record->allocations[i];
    if (cell.kind == kAllocationShared) shared[sharedCount++] = cellColour(record, cell.pixel);
    else pixels[writable++] = cell.pixel;
  }
  const char* error = nullptr;
  if (writable && allocColorCellsExactly(head->display, serverColormap, pixels, writable)) {
    // Pixel by pixel, in the colormap's pixel order.
    for (u32 i = 0; i < writable; i++) {
      XColor colour = cellColour(record, u32(pixels[i]));
      XfsStoreColors(head->display, serverColormap, &colour, 1);
    }
  }
  if (sharedCount && !allocPixelsExactly(head->display, serverColormap, shared, sharedCount))
    error = tmpPrintf("Can't alloc %d shared colors on %s", i32(sharedCount), head->name);
  free(pixels);
  free(shared);
  return error;
}

}  // namespace palvon
