// Back-buffer names and their displays.
#include "Xext/buffers/dbe_buffers.h"

#include <X11/Xlib.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/open.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"
#include "Xext/buffers/dbe.h"
#include "Xext/buffers/multibuf.h"
#include "Xext/extmodule.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

namespace {

DbeBuffer* bufferList;  // the head's previous is the tail

void unlinkBuffer(DbeBuffer* buffer) {
  if (bufferList == buffer) {
    bufferList = buffer->next;
    if (bufferList) bufferList->previous = buffer->previous;
  } else {
    buffer->previous->next = buffer->next;
    if (buffer->next)
      buffer->next->previous = buffer->previous;
    else
      bufferList->previous = buffer->previous;
  }
}

void destroyDbeBuffer(u32, void* object) {
  auto* buffer = static_cast<DbeBuffer*>(object);
  unlinkBuffer(buffer);
  freeIfNotNull(buffer);
}

MetaScreen* dbeBufferScreen(u32, void* object) { return lookupWindowScreen(static_cast<DbeBuffer*>(object)->window); }

VisualRecord* dbeBufferVisual(void* object) {
  ProxyWindow* window = lookupWindow(static_cast<DbeBuffer*>(object)->window);
  return window ? window->visual : nullptr;
}

constexpr ResourceTypeRow kDbeBufferRow = {RT_DBE_BUFFER, "DbeBuffer", destroyDbeBuffer, dbeBufferScreen,
                                           dbeBufferVisual};

// Whether a head configured with emulateDoubleBuffer lies on the display.
bool configuredToEmulate(const ServerDisplay* display) {
  for (const HeadConfig* entry = proxyConfig.heads; entry; entry = entry->next) {
    const Head* head = configuredHead(entry);
    if (head && head->serverDisplay == display && entry->settings.emulateDoubleBuffer) return true;
  }
  return false;
}

// A standard DOUBLE-BUFFER has its error code: one without cannot be
// driven. Its version, asked with a request of the proxy's own, so that no
// client library starts talking to the server on the proxy's connection.
bool dbeVersion(Display* display, u32* version) {
  int major = 0, event = 0, error = 0;
  if (!XfsQueryExtension(display, "DOUBLE-BUFFER", &major, &event, &error)) return false;
  static bool logged;
  if (error < 1) {
    if (!logged) LOGF(logChWarning, "Can't support non-standard DOUBLE-BUFFER extension");
    logged = true;
    return false;
  }
  if (!rawBegin(display)) return false;
  u8* request = rawRequest(display, static_cast<u8>(major), 0, 8);
  if (!request) return false;
  request[4] = 1;  // the version the proxy speaks: 1.0
  RawReply reply;
  if (!rawReply(display, &reply)) return false;
  *version = u32{reply.header[8]} * 64 + reply.header[9];
  rawReplyFree(&reply);
  return true;
}

}  // namespace

DbeBuffer* createDbeBuffer(const ProxyWindow* window, u32 id, u8 swapAction) {
  u32 companion = allocProxyXid(currentClient);
  auto* buffer = static_cast<DbeBuffer*>(memCalloc(1, sizeof(DbeBuffer)));
  if (!buffer || !companion) {
    freeIfNotNull(buffer);
    return nullptr;
  }
  *buffer = {nullptr, nullptr, window->id, id, swapAction, 0, companion, window};
  // Appended at the tail, so that a joining server gets the names in the
  // order the clients made them.
  if (bufferList) {
    buffer->previous = bufferList->previous;
    bufferList->previous->next = buffer;
    bufferList->previous = buffer;
  } else {
    buffer->previous = buffer;
    bufferList = buffer;
  }
  return addResource(id, RT_DBE_BUFFER, buffer) ? buffer : nullptr;
}

DbeBuffer* firstDbeBufferOf(u32 window) {
  for (DbeBuffer* buffer = bufferList; buffer; buffer = buffer->next)
    if (buffer->window == window && !bufferOutlivedWindow(window, buffer->windowRecord)) return buffer;
  return nullptr;
}

void freeOutlivedDoubleBuffers() {
  for (DbeBuffer* buffer = bufferList; buffer;) {
    if (!bufferOutlivedWindow(buffer->window, buffer->windowRecord)) {
      buffer = buffer->next;
      continue;
    }
    freeResourceById(buffer->id, RT_NONE);
    buffer = bufferList;
  }
}

bool registerDbeBufferType() { return registerResourceType(kDbeBufferRow); }

void freeWindowDoubleBuffers(u32 window) {
  for (DbeBuffer* buffer = bufferList; buffer;) {
    if (buffer->window != window) {
      buffer = buffer->next;
      continue;
    }
    freeResourceById(buffer->id, RT_NONE);
    buffer = bufferList;
  }
}

const char* checkDoubleBufferDisplays(ExtensionEntry* entry) {
  for (ServerDisplay* display = serverDisplayList; display; display = display->next) {
    if (!display->display) continue;
    u8 mbufMajor = static_cast<u8>(displayMbufMajor(display->display));
    display->dbeEmulated = configuredToEmulate(display) && mbufMajor != 0;
    if (display->dbeEmulated) {
      LOGF(logChNote, "Emulating DOUBLE-BUFFER by Multi-Buffering on %s...", display->displayName);
      if (!proxyMbufMajor()) setEmulationMbufMajor(mbufMajor);
      continue;
    }
    u32 version = 0;
    if (!dbeVersion(display->display, &version))
      return tmpPrintf("Display %s does not support extension %s", xShortDisplayName(display->display),
                       "DOUBLE-BUFFER");
    if (version < entry->version) entry->version = static_cast<u16>(version);
  }
  return nullptr;
}

// --- Emulation on one head -----------------------------------------------------------

bool writeEmulatedPair(ServerLink* link, const DbeBuffer* buffer, const Head* head) {
  u8 action = buffer->swapAction;
  if (action > 3) {
    PALVON_UNE();
    action = 0;
  }
  if (!requestMbufCreateImageBuffers(&link->writer, translateXid(buffer->window, RT_WINDOW, head), action, 0,
                                     translateXid(buffer->id, RT_SERVER_ID, head),
                                     translateXid(buffer->companion, RT_SERVER_ID, head)))
    return false;
  // The buffers' count answers the proxy, not the client.
  addReplyHook(link, acceptReplyHook, nullptr);
  return true;
}

bool displayEmulatedBuffer(ServerLink* link, const DbeBuffer* buffer, u8 action, const Head* head) {
  if (action != buffer->swapAction) LOGF(logChNote, "Swap action changed from %u to %u", buffer->swapAction, action);
  // The one drawn into until now is shown.
  u32 shown = hiddenBufferOfPair(buffer->id, buffer->companion, buffer->toggle);
  return requestMbufDisplayImageBuffers(&link->writer, translateXid(shown, RT_SERVER_ID, head)) != 0;
}

}  // namespace palvon
