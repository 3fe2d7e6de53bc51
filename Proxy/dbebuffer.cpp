// Back-buffer names as drawing sees them.
#include "Proxy/dbebuffer.h"

#include "Proxy/resource.h"
#include "Proxy/xdisplay.h"
#include "Proxy/xscreen.h"

namespace palvon {

DbeBuffer* lookupDbeBuffer(u32 id) { return static_cast<DbeBuffer*>(lookupResourceByType(id, RT_DBE_BUFFER)); }

ProxyWindow* bufferWindow(u32 type, void* object) {
  if (!object) return nullptr;
  if (type == RT_DBE_BUFFER) return lookupWindow(static_cast<DbeBuffer*>(object)->window);
  if (type == RT_MBUF_BUFFER) return lookupWindow(static_cast<MbufBuffer*>(object)->window);
  return nullptr;
}

bool displayEmulatesDoubleBuffer(const ServerDisplay* display) { return display && display->dbeEmulated; }

u32 resolveDoubleBufferDrawable(u32 id, const Head* head) {
  if (!head || !displayEmulatesDoubleBuffer(head->serverDisplay)) return id;
  const DbeBuffer* buffer = lookupDbeBuffer(id);
  return buffer ? hiddenBufferOfPair(buffer->id, buffer->companion, buffer->toggle) : id;
}

}  // namespace palvon
