// Depths, visuals and windows of resource records.
#include "Proxy/resources/resourcefacts.h"

#include "Proxy/resources/dbebuffer.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/visuals/visual.h"

namespace palvon {

ResourceFactHooks resourceFactHooks;

namespace {

bool describeWindowRecord(const ProxyWindow* window, u32* depth, const VisualRecord** visual) {
  if (!window) return false;
  *depth = window->depth;
  *visual = window->visual;
  return true;
}

}  // namespace

bool describeResourceVisual(u32 type, void* object, u32* depth, const VisualRecord** visual) {
  *depth = 0;
  *visual = nullptr;
  if (!object) return false;
  switch (type) {
    case RT_WINDOW: return describeWindowRecord(static_cast<ProxyWindow*>(object), depth, visual);
    case RT_DBE_BUFFER:
    case RT_MBUF_BUFFER: return describeWindowRecord(bufferWindow(type, object), depth, visual);
    case RT_VISUAL: {
      const auto* record = static_cast<const VisualRecord*>(object);
      *depth = record->depth;
      *visual = record;
      return true;
    }
    case RT_COLORMAP: {
      const auto* colormap = static_cast<const ColormapRecord*>(object);
      if (!colormap->visual) return false;
      *depth = colormap->visual->depth;
      *visual = colormap->visual;
      return true;
    }
    case RT_PIXMAP: {
      const auto* pixmap = static_cast<const PixmapRecord*>(object);
      *depth = pixmap->depth;
      *visual = pixmap->visual;
      return true;
    }
    case RT_GC: {
      const auto* gc = static_cast<const GCRecord*>(object);
      *depth = gc->depth;
      *visual = gc->visual;
      return true;
    }
    default:
      return resourceFactHooks.describeVisual && resourceFactHooks.describeVisual(type, object, depth, visual);
  }
}

ProxyWindow* resourceWindow(u32 type, void* object) {
  if (!object) return nullptr;
  switch (type) {
    case RT_WINDOW: return static_cast<ProxyWindow*>(object);
    case RT_DBE_BUFFER:
    case RT_MBUF_BUFFER: return bufferWindow(type, object);
    default: return resourceFactHooks.window ? resourceFactHooks.window(type, object) : nullptr;
  }
}

}  // namespace palvon
