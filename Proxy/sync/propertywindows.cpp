// The windows that hold client windows' properties and selections on the
// atom server.
#include "Proxy/sync/propertywindows.h"

#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"

namespace palvon {

namespace {

// Out of sight, below the head window, taking no input and drawing nothing.
constexpr i16 kStandInOrigin = -10;

// A head that has no window of the proxy's (yet) holds them on its root.
u32 standInParent(const Head* head) { return u32(head->window ? head->window : head->root); }

// The head the window's properties live on: its screen's head on the atom
// server, else the atom server's first head.
Head* propertyHeadOf(const ProxyWindow* window) {
  if (window && window->screen)
    for (Head* head = window->screen->heads; head; head = head->next)
      if (head->serverDisplay == atomDisplay) return head;
  return atomDisplay->firstHead;
}

// Whether a client other than `except` selects property changes on the
// window.
bool othersWatchProperties(const ProxyWindow* window, const ProxyClient* except) {
  for (const EventSelection* selection = window->selections; selection; selection = selection->next)
    if (selection->client != except && (selection->eventMask & PropertyChangeMask)) return true;
  return false;
}

// Made through the owner's connection: its id lies in that connection's
// range, at the place the window's own id would take on the atom head, which
// no other resource of the owner uses there (the window has no copy on that
// server). 0 when the request could not be written. The asking client's
// request, and other clients' event selections on the new window, travel
// on other connections: the server must have made the window before it
// reads those, so the owner's connection must answer a round trip now.
u32 makeThroughOwner(ProxyClient* asking, ProxyWindow* window, Head* head) {
  ServerLink* link = clientLink(window->owner, head->serverIndex);
  u32 id = link ? translateXid(window->id, RT_ATOM_WINDOW, head) : 0;
  if (!id) return 0;
  bool mustSync = window->owner != asking || othersWatchProperties(window, window->owner);
  // Its errors are not the owner's.
  u8 marking = link->writingProxyCopies;
  link->writingProxyCopies = 1;
  XSetWindowAttributes none{};
  xprotoCreateWindow(&link->writer, 0, id, standInParent(head), kStandInOrigin, kStandInOrigin, 1, 1, 0, InputOnly,
                     CopyFromParent, 0, &none);
  link->writingProxyCopies = marking;
  if (mustSync) {
    if (const char* error = syncServerLink(link)) {
      logProblem(error, __FILE__, __LINE__);
      return 0;
    }
  }
  return id;
}

u32 makeThroughProxy(Head* head) {
  Display* display = head->display;
  if (!display || isDisplayOffline(display)) return 0;
  XSetWindowAttributes none{};
  Window id = XfsCreateWindow(display, standInParent(head), kStandInOrigin, kStandInOrigin, 1, 1, 0, 0, InputOnly,
                              CopyFromParent, 0, &none);
  XfsSync(display, False);
  return u32(id);
}

struct StandInSearch {
  u32 serverWindow;
  ProxyWindow* found;
};

int matchStandIn(ProxyWindow* window, void* argument) {
  auto* search = static_cast<StandInSearch*>(argument);
  if (window->propertyWindow != search->serverWindow) return 0;
  search->found = window;
  return 2;
}

ProxyWindow* findStandIn(u32 serverWindow) {
  StandInSearch search{serverWindow, nullptr};
  for (MetaScreen* screen = proxyState.screens; screen && !search.found; screen = screen->next)
    if (screen->rootWindow) traverseWindowTree(screen->rootWindow, matchStandIn, &search);
  return search.found;
}

int forgetStandIn(ProxyWindow* window, void*) {
  window->propertyWindow = 0;
  return 0;
}

}  // namespace

u32 getPropertyWindow(ProxyClient* client, u32 window, Head** head) {
  *head = nullptr;
  if (!atomDisplay || !atomDisplay->firstHead) return window;
  ProxyWindow* record = lookupWindow(window);
  Head* atom = propertyHeadOf(record);
  *head = atom;
  if (!record || atom->metaScreen == record->screen) return translateXid(window, RT_WINDOW, atom);
  if (!record->propertyWindow) {
    // An owner whose connection cannot answer now (its server holds it in
    // a SYNC Await, or the owner reads nothing) leaves it to the proxy's.
    ServerLink* ownerLink = record->owner ? clientLink(record->owner, atom->serverIndex) : nullptr;
    bool throughOwner = ownerLink && linkWaitable(ownerLink);
    record->propertyWindow = throughOwner ? makeThroughOwner(client, record, atom) : makeThroughProxy(atom);
    if (!record->propertyWindow) return 0;
    for (const EventSelection* selection = record->selections; selection; selection = selection->next)
      selectStandInEvents(selection->client, record, selection->eventMask);
  }
  return record->propertyWindow;
}

void selectStandInEvents(ProxyClient* client, const ProxyWindow* window, u32 eventMask) {
  if (!window || !window->propertyWindow || !atomDisplay || !atomDisplay->firstHead) return;
  ServerLink* link = clientLink(client, atomDisplay->firstHead->serverIndex);
  if (!link) return;
  XSetWindowAttributes values{};
  values.event_mask = long(eventMask & PropertyChangeMask);
  // Its errors (the stand-in went with its owner) are not the client's.
  u8 marking = link->writingProxyCopies;
  link->writingProxyCopies = 1;
  xprotoChangeWindowAttributes(&link->writer, window->propertyWindow, CWEventMask, &values);
  link->writingProxyCopies = marking;
}

u32 findWindowByPropertyWindow(u32 serverWindow, const ServerDisplay* display) {
  u32 window = mapServerXidToClient(serverWindow, display);
  if (proxyState.screenCount < 2 || serverDisplayCount < 2 || display != atomDisplay) return window;
  // A stand-in made through its owner's connection maps back to its window
  // by the ordinary translation; the proxy's own need the walk.
  if (ProxyWindow* record = lookupWindow(window))
    if (record->propertyWindow == serverWindow) return window;
  if (!isOwnConnectionId(serverWindow, display)) return window;
  ProxyWindow* found = findStandIn(serverWindow);
  return found ? found->id : window;
}

void forgetPropertyWindows() {
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    if (screen->rootWindow) traverseWindowTree(screen->rootWindow, forgetStandIn, nullptr);
}

}  // namespace palvon
