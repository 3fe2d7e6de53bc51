#include "Proxy/servers/raw.h"

#include <cstdlib>
#include <cstring>

#include "Proxy/servers/failsafe.h"

// Request building needs Xlib's internals; their min/max macros would clash
// with the standard library.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace palvon {

u32 RawReply::word(u32 offset) const {
  u32 value;
  memcpy(&value, header + offset, 4);
  return value;
}

u8 rawExtensionOpcode(Display* display, const char* name) {
  int major = 0, event = 0, error = 0;
  if (!XfsQueryExtension(display, name, &major, &event, &error)) return 0;
  return static_cast<u8>(major);
}

bool rawBegin(Display* display) {
  if (isDisplayOffline(display)) return false;
  XfsFlush(display);
  return !isDisplayOffline(display);
}

u8* rawRequest(Display* display, u8 major, u8 minor, u32 bytes) {
  if (isDisplayOffline(display)) return nullptr;
  // A full output buffer makes this write to the server: through the
  // failsafe layer, so a server that stopped reading cannot hold the proxy.
  LockDisplay(display);
  auto* request = static_cast<u8*>(XfsGetRequest(display, major, bytes));
  UnlockDisplay(display);
  if (!request) return nullptr;
  memset(request + 4, 0, bytes - 4);
  request[1] = minor;
  return request;
}

bool rawReply(Display* display, RawReply* reply) {
  memset(reply, 0, sizeof(*reply));
  if (isDisplayOffline(display)) return false;
  LockDisplay(display);
  Status status = XfsReply(display, reinterpret_cast<xReply*>(reply->header), 0, xFalse);
  if (!status || isDisplayOffline(display)) {
    UnlockDisplay(display);
    return false;
  }
  u64 size = static_cast<u64>(reply->word(4)) * 4;
  if (size) {
    reply->data = static_cast<u8*>(memAlloc(size));
    if (reply->data) {
      // The reply is already in memory: this copies, it does not read.
      _XRead(display, reinterpret_cast<char*>(reply->data), static_cast<long>(size));
      reply->size = size;
    } else {
      XfsEatData(display, static_cast<unsigned long>(size));
    }
  }
  UnlockDisplay(display);
  return reply->data || !size;
}

void rawReplyFree(RawReply* reply) {
  free(reply->data);
  reply->data = nullptr;
  reply->size = 0;
}

void rawFlush(Display* display) { XfsFlush(display); }

}  // namespace palvon
