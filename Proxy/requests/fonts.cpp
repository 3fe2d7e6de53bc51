// OpenFont (45) to GetFontPath (52): fonts opened once per server screen
// and scaling, queried on the font server, one font path for all clients.
#include "Proxy/requests/fonts.h"

#include <X11/X.h>
#include <X11/Xproto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/reconcile.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/errors.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/requests/drawcommon.h"
#include "Proxy/requests/fontpath.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "base/logging.h"
#include "base/strlist.h"

namespace palvon {

bool opensFonts(const Head* head) {
  if (!head) return true;
  if (head->equivalentHead && head->equivalentHead != head) return false;
  return !(head->serverDisplay && head->serverDisplay->serverFonts);
}

namespace {

// The font server's first head (null without heads) and the client's link
// to its server.
RouteTarget fontTarget() {
  RouteTarget found{nullptr, nullptr};
  forEachTarget(
      Route::kFontHead,
      [](const RouteTarget& target, void* argument) {
        *static_cast<RouteTarget*>(argument) = target;
        return false;
      },
      &found);
  return found;
}

// --- OpenFont ----------------------------------------------------------------------

struct OpenFont {
  const u8* request;
  u32 length;
  u32 id;
  const char* name;  // NUL-terminated copy
  u16 nameLength;
  bool failed;
};

// A head shown in a window keeps its server's own path for the other
// clients: the font is opened under a grab with the proxy's path set
// just around it.
bool wrapInServerPath(const Head* head, ServerLink* link, char*** serverPath, int* serverCount) {
  *serverPath = nullptr, *serverCount = 0;
  if (!head || !head->inWindow || !head->display) return false;
  u32 count = 0;
  char* const* path = currentFontPath(&count);
  *serverPath = XfsGetFontPath(head->display, serverCount);
  if (strlistContainsAll(u32(*serverCount), *serverPath, count, path)) return false;
  char** filtered = nullptr;
  u32 filteredCount = 0;
  filterFontPathForDisplay(path, count, &filtered, &filteredCount, head->serverDisplay);
  requestGrabServer(link);
  xprotoSetFontPath(&link->writer, filtered, u16(filteredCount));
  strlistFree(filteredCount, filtered);
  return true;
}

bool openOnHead(const RouteTarget& target, void* argument) {
  auto* o = static_cast<OpenFont*>(argument);
  if (!opensFonts(target.head)) return true;
  char** serverPath = nullptr;
  int serverCount = 0;
  bool wrapped = wrapInServerPath(target.head, target.link, &serverPath, &serverCount);
  u32 idOnHead = translateXid(o->id, RT_SERVER_ID, target.head);
  const char* scaled = target.head && target.head->scaler ? openScaledFont(o->name, target.head) : nullptr;
  u64 before = target.link->requestsSent;
  if (scaled) {
    xprotoOpenFont(&target.link->writer, idOnHead, scaled, u16(std::strlen(scaled)));
  } else if (u8* copy = copyRequestToServer(o->request, o->length, target.link)) {
    put32(copy + 4, idOnHead);
    swapServerRequest(target.link, copy, o->length, currentRequest.row->requestLayout);
  }
  bool written = wroteRequest(target.link, before);
  if (written) stashCreatedId(target.link, o->id);
  if (wrapped) {
    xprotoSetFontPath(&target.link->writer, serverPath, u16(serverCount));
    if (const char* error = requestUngrabServer(target.link)) logProblem(error, __FILE__, __LINE__);
  }
  if (serverPath) XFreeFontPath(serverPath);
  if (written) return true;
  o->failed = true;
  return false;
}

// A new record for the name, loaded on the font server; null after the
// error was sent.
FontRecord* loadFont(const u8* request, u32 length, const char* name, u16 nameLength, u32 id) {
  FontRecord* font = createFontRecord(id, name, nameLength);
  if (!font) return sendXError(BadAlloc, nameLength, request, length, nullptr), nullptr;
  u32 count = 0;
  char* const* path = currentFontPath(&count);
  if (!strlistCopy(&font->fontPathCount, &font->fontPath, count, path)) {
    unrefFont(font, 0);
    return sendXError(BadAlloc, 0, request, length, nullptr), nullptr;
  }
  RouteTarget server = fontTarget();
  font->fontInfo = server.link ? queryFontOnClientServer(server.link, name) : nullptr;
  if (!font->fontInfo) {
    unrefFont(font, 0);
    const char* display = server.link ? server.link->server.displayName : "";
    sendXError(BadName, 0, request, length, tmpPrintf("No font '%s' on %s", name, display));
    return nullptr;
  }
  font->fontInfoLoaded = 1;
  return font;
}

// --- Queries on the font server ---------------------------------------------------------

// The id to query: an open font (on a scaled head its unscaled copy, loaded
// through the proxy's own connection), else a GC.
u32 queryId(u32 id, const Head* head, bool byGCFont) {
  if (const FontRecord* font = lookupFont(id)) {
    if (head && head->scaler && font->fontInfo) return u32(font->fontInfo->fid);
    return translateXid(id, RT_FONT, head);
  }
  if (byGCFont && head && head->scaler) {
    const GCRecord* gc = lookupGC(id);
    if (gc && gc->font && gc->font->fontInfo) return u32(gc->font->fontInfo->fid);
  }
  return translateXid(id, RT_GC, head);
}

void rewriteQueryFont(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, queryId(get32(copy + 4), target.head, false));
}

void rewriteQueryTextExtents(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, queryId(get32(copy + 4), target.head, true));
}

void rewriteCloseFont(u8* copy, u32, const RouteTarget& target, void*) {
  put32(copy + 4, translateXid(get32(copy + 4), RT_FONT, target.head));
}

bool skipFontHead(const RouteTarget& target, void*) { return !opensFonts(target.head); }

// --- Font paths -------------------------------------------------------------------------

// The counted strings of SetFontPath as a list; false when they run past
// the request or memory runs out (*bad tells which).
bool unpackPaths(const u8* request, u32 length, u32* count, char*** paths, bool* bad) {
  *count = 0, *paths = nullptr, *bad = false;
  u32 n = get16(request + 4);
  u32 at = 8;
  for (u32 i = 0; i < n; i++) {
    if (at >= length || length - at - 1 < request[at]) {
      *bad = true;
      strlistFree(*count, *paths);
      return false;
    }
    u32 size = request[at];
    char text[256];
    std::memcpy(text, request + at + 1, size);
    text[size] = '\0';
    if (!strlistAdd(count, paths, text)) {
      strlistFree(*count, *paths);
      *count = 0, *paths = nullptr;
      return false;
    }
    at += 1 + size;
  }
  // More than the padding behind the list: a plain server refuses it.
  if (length - at >= 4) {
    *bad = true;
    strlistFree(*count, *paths);
    *count = 0, *paths = nullptr;
    return false;
  }
  return true;
}

// The path on every server that uses the proxy's path (one head per
// server), except servers of heads in windows, which keep their own path,
// and servers with fonts of their own other than the font server.
struct PathSetting {
  u32 count;
  char* const* paths;
  bool failed;
};

bool setPathOnServer(const RouteTarget& target, void* argument) {
  auto* p = static_cast<PathSetting*>(argument);
  const Head* head = target.head;
  const ServerDisplay* server = head ? head->serverDisplay : nullptr;
  if (head && (head->inWindow || (server && server->serverFonts && server != fontDisplay))) return true;
  u64 before = target.link->requestsSent;
  xprotoSetFontPath(&target.link->writer, p->paths, u16(p->count));
  if (wroteRequest(target.link, before)) return true;
  p->failed = true;
  return false;
}

}  // namespace

// --- Handlers ------------------------------------------------------------------------------

void ProcOpenFont(u8* request, u32 length) {
  u32 id = get32(request + 4);
  u16 nameLength = get16(request + 8);
  if (isBadIdChoice(id)) return sendXError(BadIDChoice, id, request, length, nullptr);
  const char* name = tmpStrndup(request + 12, nameLength);
  FontRecord* font = findFontRecordByName(name);
  if (font) {
    refFont(font, nullptr);
  } else if (!(font = loadFont(request, length, name, nameLength, id))) {
    return;
  }
  // A failed registration has given the reference back.
  if (!addResource(id, RT_FONT, font)) return sendXError(BadAlloc, 0, request, length, nullptr);
  OpenFont o{request, length, id, name, nameLength, false};
  forEachTarget(currentRequest.row->route, openOnHead, &o);
  if (o.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

void ProcCloseFont(u8* request, u32 length) {
  u32 id = get32(request + 4);
  if (!lookupFont(id)) return sendXError(BadFont, id, request, length, nullptr);
  struct Close {
    const u8* request;
    u32 length;
    bool failed;
  } c{request, length, false};
  forEachTarget(
      currentRequest.row->route,
      [](const RouteTarget& target, void* argument) {
        auto* c = static_cast<Close*>(argument);
        if (skipFontHead(target, nullptr)) return true;
        u8* copy = copyRequestToServer(c->request, c->length, target.link);
        if (!copy) return c->failed = true, false;
        rewriteCloseFont(copy, c->length, target, nullptr);
        swapServerRequest(target.link, copy, c->length, currentRequest.row->requestLayout);
        return true;
      },
      &c);
  if (c.failed) sendXError(BadAlloc, 0, request, length, nullptr);
  freeResourceById(id, RT_NONE);
}

void ProcQueryFont(u8* request, u32 length) { forwardRequest(request, length, rewriteQueryFont); }

void ProcQueryTextExtents(u8* request, u32 length) { forwardRequest(request, length, rewriteQueryTextExtents); }

void ProcListFonts(u8* request, u32 length) { forwardRequest(request, length); }

void ProcListFontsWithInfo(u8* request, u32 length) { forwardRequest(request, length); }

void ProcSetFontPath(u8* request, u32 length) {
  u32 count = 0;
  char** paths = nullptr;
  bool bad = false;
  if (!unpackPaths(request, length, &count, &paths, &bad))
    return sendXError(bad ? BadLength : BadAlloc, bad ? length : 0, request, length, nullptr);
  u32 currentCount = 0;
  char* const* current = currentFontPath(&currentCount);
  char* const* wanted = paths;
  u32 wantedCount = count;
  if (!count) wanted = defaultFontPath, wantedCount = defaultFontPathCount;
  if (strlistEqual(wantedCount, wanted, currentCount, current)) return strlistFree(count, paths);
  if (count) {
    if (const char* text = checkFontPath(count, paths)) {
      strlistFree(count, paths);
      return sendXError(BadValue, 0, request, length, text);
    }
  }
  if (!setCurrentFontPath(wantedCount, wanted)) {
    strlistFree(count, paths);
    return sendXError(BadAlloc, 0, request, length, nullptr);
  }
  strlistFree(count, paths);
  PathSetting p{};
  p.paths = currentFontPath(&p.count);
  forEachTarget(currentRequest.row->route, setPathOnServer, &p);
  if (p.failed) sendXError(BadAlloc, 0, request, length, nullptr);
}

void ProcGetFontPath(u8* request, u32 length) {
  RouteTarget server = fontTarget();
  if (!server.head || !server.head->inWindow) {
    forwardRequest(request, length);
    return;
  }
  // The server of a head in a window keeps its own path: the proxy's is
  // the one the client set.
  u32 count = 0;
  char* const* path = currentFontPath(&count);
  u64 bytes = 0;
  for (u32 i = 0; i < count; i++) bytes += 1 + std::min<size_t>(std::strlen(path[i]), 255);
  u32 total = 32 + pad4(u32(bytes));
  u8* reply = static_cast<u8*>(memCalloc(1, total));
  if (!reply) return sendXError(BadAlloc, 0, request, length, nullptr);
  put16(reply + 8, u16(count));
  u8* out = reply + 32;
  for (u32 i = 0; i < count; i++) {
    size_t n = std::min<size_t>(std::strlen(path[i]), 255);
    *out++ = u8(n);
    std::memcpy(out, path[i], n);
    out += n;
  }
  sendComposedReply(X_GetFontPath, 0, reply, total, "bbsis", currentClient);
  std::free(reply);
}

}  // namespace palvon
