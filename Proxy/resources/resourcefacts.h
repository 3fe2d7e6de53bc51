// What the heads layer asks of any resource record: its depth and meta
// visual (which decides whether a head that lacks visuals or depths must
// emulate it), and the window a drawable-like record belongs to (where
// drawing on it lands).
//
// Main thread only. The records of extension modules (RENDER pictures,
// picture formats and glyph sets) are described through the hooks the
// module installs while it runs; without it they describe nothing.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyWindow;
struct VisualRecord;

// The depth and the meta visual of a record of the given resource type
// (visual null when the record has a depth only). False when the type has
// neither or the record is gone.
bool describeResourceVisual(u32 type, void* object, u32* depth, const VisualRecord** visual);
// The window a window, back buffer, image buffer or window picture belongs
// to; null for other records and for a buffer that outlived its window.
ProxyWindow* resourceWindow(u32 type, void* object);

struct ResourceFactHooks {
  bool (*describeVisual)(u32 type, void* object, u32* depth, const VisualRecord** visual);
  ProxyWindow* (*window)(u32 type, void* object);
};
extern ResourceFactHooks resourceFactHooks;

}  // namespace palvon
