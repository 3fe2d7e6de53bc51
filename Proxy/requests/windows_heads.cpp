// A client window exposed, restacked and moved on every head of its screen.
#include <X11/Xlib.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/services.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/input/pointer.h"
#include "Proxy/links/core11G.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowattr.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"

namespace palvon {

namespace {

constexpr u32 kWorkaroundWMIgnoresMoveWindow = 0x1000;
constexpr u32 kWorkaroundWMIncludesDecoration = 0x2000;
constexpr u16 kConfigureSibling = 32, kConfigureStackMode = 64;

ServerLink* linkTo(ProxyClient* client, const Head* head) {
  return client && head->serverIndex < client->linkCount ? client->links[head->serverIndex] : nullptr;
}

void setOverrideRedirect(RequestWriter* writer, u32 window, bool on) {
  XSetWindowAttributes values{};
  values.override_redirect = on;
  xprotoChangeWindowAttributes(writer, window, CWOverrideRedirect, &values);
}

// A window manager moves the windows it manages; the proxy asks it to by
// moving the managed window on the main head's server.
bool letWindowManagerMove(ProxyWindow* window, i32 x, i32 y) {
  if (proxyConfig.workarounds & kWorkaroundWMIgnoresMoveWindow) return false;
  ProxyWindow* managed = findManagedWindow(window);
  Head* main = window->screen ? window->screen->mainHead : nullptr;
  if (!managed || !main || !headDisplayOpen(main)) return false;
  LOGF(logChStep, "Let WM move window 0x%x from %d,%d to %d,%d...", window->id, window->x, window->y, x, y);
  if (proxyConfig.workarounds & kWorkaroundWMIncludesDecoration) {
    x += managed->x - window->x;
    y += managed->y - window->y;
  }
  if (main->scaler) x = scaleX(main->scaler, x), y = scaleY(main->scaler, y);
  XfsMoveWindow(main->display, translateXid(managed->id, RT_WINDOW, main), x, y);
  XfsFlush(main->display);
  return true;
}

}  // namespace

void exposeWholeWindow(ProxyWindow* window) {
  for (EventSelection* selection = window->selections; selection; selection = selection->next)
    if (selection->client && (selection->eventMask & ExposureMask))
      sendEventExpose(selection->client, window->id, 0, 0, window->width, window->height, 0);
}

void restackWindowOnHeads(ProxyWindow* window, ProxyWindow* sibling) {
  MetaScreen* screen = window->screen;
  bool redirected = !window->overrideRedirect && window->parent &&
                    hasOtherSelectingClient(window->parent, currentClient);
  for (Head* head = screen ? screen->heads : nullptr; head; head = head->next) {
    ServerLink* link = linkTo(currentClient, head);
    if (!link) continue;
    u32 id = translateXid(window->id, RT_WINDOW, head);
    // Another client redirects the parent's children (a window manager):
    // the copy is restacked as override-redirect so the request is not
    // handed to it.
    if (redirected) setOverrideRedirect(&link->writer, id, true);
    if (!sibling) {
      u32 values[] = {Below};
      xprotoConfigureWindow(&link->writer, id, kConfigureStackMode, values);
    } else if (sibling->nextUpper) {
      u32 values[] = {translateXid(sibling->nextUpper->id, RT_WINDOW, head), Below};
      xprotoConfigureWindow(&link->writer, id, kConfigureSibling | kConfigureStackMode, values);
    } else {
      u32 values[] = {Above};
      xprotoConfigureWindow(&link->writer, id, kConfigureStackMode, values);
    }
    if (redirected) setOverrideRedirect(&link->writer, id, false);
  }
  restackWindow(window, sibling);
}

void moveClientWindow(ProxyClient* client, ProxyWindow* window, i32 x, i32 y) {
  ProxyWindow* parent = window->parent;
  i32 px = parent ? parent->x : 0, py = parent ? parent->y : 0;
  i32 rx = x - window->borderWidth - px, ry = y - window->borderWidth - py;
  if (letWindowManagerMove(window, x, y)) return;
  ProxyClient* by = client ? client : window->owner;
  LOGF(logChStep, "Moving win 0x%x (%ux%u) from %d,%d to %d,%d by %s...", window->id, window->width, window->height,
       window->x, window->y, x, y, clientName(by));
  for (Head* head = window->screen ? window->screen->heads : nullptr; head; head = head->next) {
    u32 values[] = {u32(rx), u32(ry)};
    u32 scaled[7] = {};
    u16 mask = scaleConfigureValues(head, window, CWX | CWY, values, scaled);
    u32 id = translateXid(window->id, RT_WINDOW, head);
    if (ServerLink* link = linkTo(client, head)) {
      xprotoConfigureWindow(&link->writer, id, mask, scaled);
      logProblem(flushServerLink(link), __FILE__, __LINE__);
    } else if (headDisplayOpen(head)) {
      XfsMoveWindow(head->display, id, i32(scaled[0]), i32(scaled[1]));
      XfsFlush(head->display);
    }
  }
  moveWindowRecord(window, rx, ry);
  recordWindowMove(window);
}

}  // namespace palvon
