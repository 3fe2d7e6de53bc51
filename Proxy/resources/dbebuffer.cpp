// Back-buffer names as drawing sees them.
#include "Proxy/resources/dbebuffer.h"

#include "Proxy/heads/screen.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"

namespace palvon {

DbeBuffer* lookupDbeBuffer(u32 id) { return static_cast<DbeBuffer*>(lookupResourceByType(id, RT_DBE_BUFFER)); }

bool bufferOutlivedWindow(u32 window, const ProxyWindow* record) { return lookupWindow(window) != record; }

ProxyWindow* bufferWindow(u32 type, void* object) {
  if (!object) return nullptr;
  u32 window = 0;
  const ProxyWindow* record = nullptr;
  if (type == RT_DBE_BUFFER) {
    window = static_cast<DbeBuffer*>(object)->window, record = static_cast<DbeBuffer*>(object)->windowRecord;
  } else if (type == RT_MBUF_BUFFER) {
    window = static_cast<MbufBuffer*>(object)->window, record = static_cast<MbufBuffer*>(object)->windowRecord;
  }
  return window && !bufferOutlivedWindow(window, record) ? lookupWindow(window) : nullptr;
}

bool displayEmulatesDoubleBuffer(const ServerDisplay* display) { return display && display->dbeEmulated; }

u32 resolveDoubleBufferDrawable(u32 id, const Head* head) {
  if (!head || !displayEmulatesDoubleBuffer(head->serverDisplay)) return id;
  const DbeBuffer* buffer = lookupDbeBuffer(id);
  return buffer ? hiddenBufferOfPair(buffer->id, buffer->companion, buffer->toggle) : id;
}

}  // namespace palvon
