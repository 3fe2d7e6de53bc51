// Temporary font paths on one head.
#include "Proxy/servers/fontpath.h"

#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/records.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "base/strlist.h"

namespace palvon {

void setTemporaryFontPath(Head* head, char* const* wanted, u32 wantedCount, SavedFontPath* saved) {
  *saved = SavedFontPath{};
  Display* display = head->display;
  if (!display || isDisplayOffline(display)) return;
  XfsGrabServer(display);
  saved->grabbed = 1;
  u32 count = 0;
  char** current = nullptr;
  if (head->inWindow) {
    int serverCount = 0;
    char** serverPath = XfsGetFontPath(display, &serverCount);
    if (isDisplayOffline(display)) {
      XfsUngrabServer(display);
      XfsFlush(display);
      saved->grabbed = 0;
      if (serverPath) XFreeFontPath(serverPath);
      return;
    }
    bool copied = strlistCopy(&count, &current, u32(serverCount > 0 ? serverCount : 0), serverPath);
    if (serverPath) XFreeFontPath(serverPath);
    if (!copied) return (void)PALVON_OOM();
  } else if (!strlistCopy(&count, &current, defaultFontPathCount, defaultFontPath)) {
    return (void)PALVON_OOM();
  }
  if (strlistContainsAll(wantedCount, wanted, count, current)) {
    strlistFree(count, current);
    return;
  }
  u32 combinedCount = 0;
  char** combined = nullptr;
  if (!strlistCopy(&combinedCount, &combined, count, current) ||
      !strlistAddUnique(&combinedCount, &combined, wantedCount, wanted)) {
    PALVON_OOM();
    strlistFree(count, current);
    strlistFree(combinedCount, combined);
    return;
  }
  XfsSetFontPath(display, combined, int(combinedCount));
  strlistFree(combinedCount, combined);
  saved->count = count;
  saved->paths = current;
}

void restoreFontPath(ProxyClient* client, Head* head, SavedFontPath* saved) {
  Display* display = head->display;
  ServerLink* link = client && client->links && head->serverDisplay ? client->links[head->serverDisplay->index]
                                                                    : nullptr;
  if (saved->paths) {
    if (link) {
      xprotoSetFontPath(&link->writer, saved->paths, u16(saved->count));
    } else if (display && !isDisplayOffline(display)) {
      XfsSetFontPath(display, saved->paths, int(saved->count));
    }
  }
  // The grab is the proxy connection's own: only that connection can let
  // the server go, whichever connection put the path back.
  if (saved->grabbed && display && !isDisplayOffline(display)) {
    XfsUngrabServer(display);
    XfsFlush(display);
  }
  strlistFree(saved->count, saved->paths);
  *saved = SavedFontPath{};
}

Font loadHeadFontForGLX(Head* head, const FontRecord* font, bool scaled) {
  if (!head->display || !font->name) return 0;
  SavedFontPath saved;
  setTemporaryFontPath(head, font->fontPath, font->fontPathCount, &saved);
  const char* name = scaled && head->scaler ? openScaledFont(font->name, head) : nullptr;
  Font id = XfsLoadFont(head->display, name ? name : font->name);
  restoreFontPath(nullptr, head, &saved);
  return id;
}

bool isFontPathElementEnabled(const char* element) {
  return keptByList(proxyConfig.fontPath, proxyConfig.fontPathCount,
                    [element](const NameFlag& entry) { return entry.name && strcmp(entry.name, element) == 0; });
}

}  // namespace palvon
