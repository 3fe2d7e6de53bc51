// Small requests on the proxy's own connections, and unchanged forwarding.
#include "Proxy/servers/rawtricks.h"

#include <X11/Xlibint.h>
#include <X11/Xproto.h>
#include <X11/extensions/shape.h>

#include "Proxy/links/errors.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/servers/raw.h"

namespace palvon {

void rawFreeGC(Display* display, u32 gc) {
  if (!display || isDisplayOffline(display)) return;
  // Xlib would flush a full buffer by itself, outside the failsafe layer.
  if (display->bufptr + sizeof(xResourceReq) > display->bufmax) XfsFlush(display);
  u8* request = rawRequest(display, X_FreeGC, 0, sizeof(xResourceReq));
  if (!request) return;
  rawPut32(request, 4, gc);
  if (display->synchandler) display->synchandler(display);
}

Status queryShapedFlags(Display* display, Window window, bool* boundingShaped, bool* clipShaped) {
  Bool bounding = False, clip = False;
  int x, y;
  unsigned int width, height;
  Status status =
      XfsShapeQueryExtents(display, window, &bounding, &x, &y, &width, &height, &clip, &x, &y, &width, &height);
  *boundingShaped = status && bounding;
  *clipShaped = status && clip;
  return status;
}

void exposeRectanglesByWindows(Display* display, Window parent, const xRectangle* rectangles, u32 count) {
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;
  attributes.backing_store = NotUseful;
  attributes.save_under = False;
  attributes.override_redirect = True;
  unsigned long mask = CWBackPixmap | CWBackingStore | CWSaveUnder | CWOverrideRedirect;
  for (u32 i = 0; i < count; i++) {
    const xRectangle& r = rectangles[i];
    if (!r.width || !r.height) continue;
    Window window = XfsCreateWindow(display, parent, r.x, r.y, r.width, r.height, 0, CopyFromParent, InputOutput,
                                    CopyFromParent, mask, &attributes);
    if (!window) continue;
    XfsMapWindow(display, window);
    XfsDestroyWindow(display, window);
  }
  XfsFlush(display);
}

bool forwardRequestToDisplay(ServerLink* link, const u8* request, u32 length) {
  if (copyRequestToServer(request, length, link)) return true;
  sendXError(BadAlloc, 0, request, length, nullptr);
  return false;
}

}  // namespace palvon
