// Window attributes the proxy keeps itself: attribute blocks and their
// lifetime after destruction, event selections and their confirmation,
// backgrounds, borders and cursors, and destruction of what a window holds.
#include "Proxy/events/grabs.h"
#include "Proxy/resources/windowattr.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "Proxy/clients/client.h"
#include "Proxy/join/bgtile.h"
#include "Proxy/links/pool.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/windowtree.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/lookup.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/resources/drawableusers.h"
#include "Proxy/visuals/pixels.h"
#include "base/logging.h"
#include "base/orders.h"

namespace palvon {

namespace {

// The blocks of destroyed windows, newest first; the oldest, the list's
// tail, goes first, and one timer waits for it. A timer each would have
// every step of the loop age thousands of them after a burst of destroyed
// windows.
WindowAttributes* destroyedBlocks = nullptr;
WindowAttributes* oldestDestroyed = nullptr;
Order* destroyedTimer = nullptr;

void unlinkDestroyedBlock(WindowAttributes* block) {
  if (block->previous) {
    block->previous->next = block->next;
  } else if (destroyedBlocks == block) {
    destroyedBlocks = block->next;
  }
  if (block->next) block->next->previous = block->previous;
  else if (oldestDestroyed == block) oldestDestroyed = block->previous;
  block->next = block->previous = nullptr;
}

void releaseDueBlocks(void*);

void armDestroyedTimer() {
  if (destroyedTimer || !oldestDestroyed) return;
  u64 now = ordersClock();
  u64 at = oldestDestroyed->releaseAt;
  destroyedTimer = orderAddTimer(at > now ? at - now : 0, releaseDueBlocks, nullptr);
}

void releaseDueBlocks(void*) {
  destroyedTimer = nullptr;
  u64 now = ordersClock();
  while (oldestDestroyed && oldestDestroyed->releaseAt <= now) freeDestroyedWindowAttributes(oldestDestroyed);
  armDestroyedTimer();
}


// Blocks come and go with windows, thousands at a time when a program
// makes and destroys its windows in bursts: kept ones save the heap.
BlockPool<sizeof(WindowAttributes)>& blockPool() {
  static BlockPool<sizeof(WindowAttributes)> pool;
  return pool;
}

ConfirmedSelection* findConfirmed(WindowAttributes* block, const ProxyClient* client) {
  for (ConfirmedSelection* c = block->confirmed; c; c = c->next) {
    if (c->client == client) return c;
  }
  return nullptr;
}

void removeConfirmed(WindowAttributes* block, ConfirmedSelection* confirmed) {
  if (confirmed->previous) {
    confirmed->previous->next = confirmed->next;
  } else {
    block->confirmed = confirmed->next;
  }
  if (confirmed->next) confirmed->next->previous = confirmed->previous;
  std::free(confirmed);
}

// Appends a confirmed entry; false when memory runs out.
bool appendConfirmed(WindowAttributes* block, ProxyClient* client, u32 mask) {
  auto* entry = static_cast<ConfirmedSelection*>(std::calloc(1, sizeof(ConfirmedSelection)));
  if (!entry) return false;
  entry->client = client;
  entry->eventMask = mask;
  ConfirmedSelection** at = &block->confirmed;
  ConfirmedSelection* last = nullptr;
  while (*at) {
    last = *at;
    at = &(*at)->next;
  }
  entry->previous = last;
  *at = entry;
  return true;
}

EventSelection* appendSelection(ProxyWindow* window, ProxyClient* client, u32 mask) {
  auto* entry = static_cast<EventSelection*>(std::calloc(1, sizeof(EventSelection)));
  if (!entry) return nullptr;
  entry->client = client;
  entry->eventMask = mask;
  EventSelection** at = &window->selections;
  EventSelection* last = nullptr;
  while (*at) {
    last = *at;
    at = &(*at)->next;
  }
  entry->previous = last;
  *at = entry;
  return entry;
}

void removeSelection(ProxyWindow* window, EventSelection* selection) {
  if (selection->previous) {
    selection->previous->next = selection->next;
  } else {
    window->selections = selection->next;
  }
  if (selection->next) selection->next->previous = selection->previous;
  std::free(selection);
}

// The client's link to the main head of the first meta screen, where the
// confirming round trips go; null without heads.
ServerLink* confirmingLink(ProxyClient* client) {
  MetaScreen* screen = proxyState.screens;
  Head* main = screen ? (screen->mainHead ? screen->mainHead : screen->heads) : nullptr;
  return client && main ? clientLink(client, main->serverIndex) : nullptr;
}

const char* nameOf(const ProxyClient* client) { return client ? clientName(client) : "the proxy"; }

void setBackgroundPixmapRecord(ProxyWindow* window, PixmapRecord* pixmap) {
  if (pixmap) refPixmap(pixmap, window->id);
  unrefPixmap(window->backgroundPixmap, 0);
  window->backgroundPixmap = pixmap;
}

void setBorderPixmapRecord(ProxyWindow* window, PixmapRecord* pixmap) {
  if (pixmap) refPixmap(pixmap, window->id);
  unrefPixmap(window->borderPixmap, 0);
  window->borderPixmap = pixmap;
}

// The window's stand-in on the atom server's head goes with it.
void destroyPropertyWindow(ProxyWindow* window) {
  u32 propertyWindow = window->propertyWindow;
  window->propertyWindow = 0;
  if (!propertyWindow || !atomDisplay) return;
  if (ProxyClient* client = currentClient) {
    if (ServerLink* link = clientLink(client, atomDisplay->index)) {
      xprotoDestroyWindow(&link->writer, propertyWindow);
      return;
    }
  }
  // One made through the owner's connection went with it when that closed
  // (the owner is closing, its links first), and the server may have given
  // its id to a new client's window already.
  if (!isOwnConnectionId(propertyWindow, atomDisplay)) {
    if (ServerLink* link = window->owner ? clientLink(window->owner, atomDisplay->index) : nullptr)
      xprotoDestroyWindow(&link->writer, propertyWindow);
    return;
  }
  if (atomDisplay->display) XfsDestroyWindow(atomDisplay->display, propertyWindow);
}

}  // namespace

// --- Attribute blocks -----------------------------------------------------------------

void initWindowAttributes(ProxyWindow* window) {
  WindowAttributes* block = window->attributes;
  if (!block) return;
  block->windowId = window->id;
  block->x = window->x;
  block->y = window->y;
  block->width = window->width;
  block->height = window->height;
  block->borderWidth = window->borderWidth;
  block->parentId = window->parent ? window->parent->id : 0;
}

WindowAttributes* allocWindowAttributes() {
  void* block = blockPool().take();
  return block ? static_cast<WindowAttributes*>(std::memset(block, 0, sizeof(WindowAttributes))) : nullptr;
}

void releaseWindowAttributes(WindowAttributes* block) {
  if (!block) return;
  while (ConfirmedSelection* confirmed = block->confirmed) {
    block->confirmed = confirmed->next;
    std::free(confirmed);
  }
  blockPool().give(block);
}

WindowAttributes* findWindowAttributes(u32 windowId) {
  if (ProxyWindow* window = lookupWindow(windowId)) return window->attributes;
  for (WindowAttributes* block = destroyedBlocks; block; block = block->next) {
    if (block->windowId == windowId) return block;
  }
  return nullptr;
}

u32 eventMaskOfWindowForClient(u32 windowId) {
  ProxyClient* client = currentClient;
  WindowAttributes* block = findWindowAttributes(windowId);
  ConfirmedSelection* confirmed = block ? findConfirmed(block, client) : nullptr;
  if (!confirmed) return 0;
  // The round trip confirms the change on one server; another's message
  // sent after it processed the change may come first.
  bool ofLink = currentLink && currentLink->client == client;
  if (confirmed->nextFrom && ofLink &&
      sequenceWidenBack(client->requestCounter, client->sequenceAnswered) >= confirmed->nextFrom)
    return confirmed->nextMask;
  return confirmed->eventMask;
}

void updateConfirmedSelection(const u8*, void* argument) {
  auto* record = static_cast<ConfirmedSelectionRecord*>(argument);
  WindowAttributes* block = findWindowAttributes(record->windowId);
  if (!block) return;
  ConfirmedSelection* confirmed = findConfirmed(block, record->client);
  if (confirmed) {
    bool latest = confirmed->nextFrom == record->from;
    if (latest) confirmed->nextFrom = 0;
    if (record->mask || !latest) {
      confirmed->eventMask = record->mask;
    } else {
      removeConfirmed(block, confirmed);
    }
  } else if (record->mask && !appendConfirmed(block, record->client, record->mask)) {
    PALVON_OOM();
  }
}

void updateConfirmedGeometry(const u8*, void* argument) {
  auto* record = static_cast<ConfirmedGeometryRecord*>(argument);
  WindowAttributes* block = findWindowAttributes(record->windowId);
  if (!block) return;
  block->x = record->x;
  block->y = record->y;
  block->width = record->width;
  block->height = record->height;
  block->borderWidth = record->borderWidth;
}

bool getWindowOrigin(u32 windowId, i32* x, i32* y) {
  if (WindowAttributes* block = findWindowAttributes(windowId)) {
    *x = block->x;
    *y = block->y;
    return true;
  }
  *x = *y = 0;
  if (lookupPixmap(windowId)) return true;
  PALVON_UNE();
  return false;
}

bool getWindowGeometry(u32 windowId, u32* width, u32* height, u32* borderWidth, u32* parentWidth,
                       u32* parentHeight) {
  if (WindowAttributes* block = findWindowAttributes(windowId)) {
    *width = block->width;
    *height = block->height;
    *borderWidth = block->borderWidth;
    WindowAttributes* parent = block->parentId ? findWindowAttributes(block->parentId) : nullptr;
    *parentWidth = parent ? parent->width : block->width;
    *parentHeight = parent ? parent->height : block->height;
    return true;
  }
  if (PixmapRecord* pixmap = lookupPixmap(windowId)) {
    *width = *parentWidth = pixmap->width;
    *height = *parentHeight = pixmap->height;
    *borderWidth = 0;
    return true;
  }
  *width = *height = *borderWidth = *parentWidth = *parentHeight = 0;
  PALVON_UNE();
  return false;
}

// --- Event selections -----------------------------------------------------------------

EventSelection* findEventSelection(const ProxyWindow* window, const ProxyClient* client) {
  for (EventSelection* selection = window->selections; selection; selection = selection->next) {
    if (selection->client == client) return selection;
  }
  return nullptr;
}

EventSelection* findOrAddEventSelection(ProxyWindow* window, ProxyClient* client) {
  EventSelection* selection = findEventSelection(window, client);
  return selection ? selection : appendSelection(window, client, 0);
}

u32 allEventMasks(const ProxyWindow* window) {
  u32 mask = 0;
  for (const EventSelection* selection = window->selections; selection; selection = selection->next)
    mask |= selection->eventMask;
  return mask;
}

void setInitialEventMask(ProxyWindow* window, u32 mask) {
  if (!mask) return;
  ProxyClient* client = currentClient;
  if (!appendSelection(window, client, mask)) {
    PALVON_OOM();
    return;
  }
  // A new window has had no input under another mask.
  if ((mask & kInputEventBits) && window->attributes && !appendConfirmed(window->attributes, client, mask))
    PALVON_OOM();
}

bool setWindowEventMask(ProxyWindow* window, u32 mask) {
  ProxyClient* client = currentClient;
  if (u32 exclusive = mask & kExclusiveEventMask) {
    for (EventSelection* other = window->selections; other; other = other->next) {
      if (other->client == client || !(other->eventMask & exclusive)) continue;
      LOGF(logChXhint, "Invalid event-mask 0x%x for window 0x%x in ChangeWindowAttributes #%u by %s", mask,
           window->id, client ? client->requestCounter : 0, nameOf(client));
      return false;
    }
  }
  EventSelection* selection = findEventSelection(window, client);
  u32 old = selection ? selection->eventMask : 0;
  if (selection) {
    selection->eventMask = mask;
  } else if (!appendSelection(window, client, mask)) {
    PALVON_OOM();
    return true;
  }
  if (!((old | mask) & kInputEventBits)) return true;
  auto* record = static_cast<ConfirmedSelectionRecord*>(std::malloc(sizeof(ConfirmedSelectionRecord)));
  if (!record) {
    PALVON_OOM();
    return true;
  }
  u32 from = client ? client->requestCounter : 0;
  *record = {client, window->id, mask, from};
  // The confirmed mask changes once the server has processed the change:
  // input it sent under the old mask is still judged by the old mask.
  ServerLink* link = confirmingLink(client);
  if (link && window->attributes && from) {
    ConfirmedSelection* confirmed = findConfirmed(window->attributes, client);
    if (!confirmed && appendConfirmed(window->attributes, client, 0)) confirmed = findConfirmed(window->attributes, client);
    if (confirmed) confirmed->nextMask = mask, confirmed->nextFrom = from;
  }
  if (link && queueRoundTripCallback(link, updateConfirmedSelection, record, std::free)) return true;
  if (!link) updateConfirmedSelection(nullptr, record);
  std::free(record);
  return true;
}

void removeClientEventSelections(ProxyClient* client) {
  // Both kinds of entry: a selection left behind would keep an exclusive
  // bit (a window manager's SubstructureRedirect) and events for a client
  // that is gone.
  for (MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    traverseWindowTree(
        screen->rootWindow,
        [](ProxyWindow* window, void* argument) {
          auto* leaving = static_cast<ProxyClient*>(argument);
          if (EventSelection* selection = findEventSelection(window, leaving)) removeSelection(window, selection);
          if (window->attributes) {
            if (ConfirmedSelection* confirmed = findConfirmed(window->attributes, leaving))
              removeConfirmed(window->attributes, confirmed);
          }
          return 0;
        },
        client);
  }
  for (WindowAttributes* block = destroyedBlocks; block; block = block->next) {
    if (ConfirmedSelection* confirmed = findConfirmed(block, client)) removeConfirmed(block, confirmed);
  }
}

// --- Backgrounds, borders, cursors -------------------------------------------------------

bool setWindowBackgroundPixmap(ProxyWindow* window, u32 pixmapId) {
  if (pixmapId == None || pixmapId == ParentRelative) {
    window->backgroundKind = pixmapId == None ? kBackgroundNone
                             : window->parent ? kBackgroundParentRelative
                                              : kBackgroundPixmap;
    setBackgroundPixmapRecord(window, nullptr);
    return true;
  }
  PixmapRecord* pixmap = lookupPixmap(pixmapId);
  if (!pixmap || pixmap->screen != window->screen || pixmap->depth != window->depth) {
    LOGF(logChXhint, "Invalid background pixmap 0x%x for window 0x%x by %s", pixmapId, window->id,
         nameOf(currentClient));
    return false;
  }
  window->backgroundKind = kBackgroundPixmap;
  setBackgroundPixmapRecord(window, pixmap);
  return true;
}

void setWindowBackgroundPixel(ProxyWindow* window, u32 pixel) {
  window->backgroundKind = kBackgroundPixel;
  window->backgroundPixel = pixel;
  setBackgroundPixmapRecord(window, nullptr);
}

bool setWindowBorderPixmap(ProxyWindow* window, u32 pixmapId) {
  if (pixmapId == CopyFromParent) {
    if (ProxyWindow* parent = window->parent) {
      window->borderPixel = parent->borderPixel;
      setBorderPixmapRecord(window, parent->borderPixmap);
    } else {
      window->borderPixel = window->screen ? u32(window->screen->blackPixel) : 0;
      setBorderPixmapRecord(window, nullptr);
    }
    return true;
  }
  PixmapRecord* pixmap = lookupPixmap(pixmapId);
  if (!pixmap) {
    LOGF(logChXhint, "Invalid border pixmap 0x%x for window 0x%x by %s", pixmapId, window->id, nameOf(currentClient));
    return false;
  }
  setBorderPixmapRecord(window, pixmap);
  return true;
}

void setWindowBorderPixel(ProxyWindow* window, u32 pixel) {
  window->borderPixel = pixel;
  setBorderPixmapRecord(window, nullptr);
}

bool setWindowCursor(ProxyWindow* window, u32 cursorId) {
  CursorRecord* cursor = nullptr;
  if (cursorId != None) {
    cursor = static_cast<CursorRecord*>(lookupResourceByType(cursorId, RT_CURSOR));
    if (!cursor) {
      LOGF(logChXhint, "Unknown cursor 0x%x for window 0x%x by %s", cursorId, window->id, nameOf(currentClient));
      return false;
    }
  }
  if (cursor == window->cursor) return true;
  refCursor(cursor);
  unrefCursor(window->cursor);
  window->cursor = cursor;
  return true;
}

int resolveBackgroundPixmap(ProxyWindow* window, Head* head, u32* pixmap, i32* xOffset, i32* yOffset, u32* pixel) {
  *pixmap = 0;
  *pixel = 0;
  *xOffset = *yOffset = 0;
  ProxyWindow* owner = window;
  while (owner->backgroundKind == kBackgroundParentRelative && owner->parent) {
    ProxyWindow* parent = owner->parent;
    *xOffset += owner->x - owner->borderWidth - parent->x;
    *yOffset += owner->y - owner->borderWidth - parent->y;
    owner = parent;
  }
  switch (owner->backgroundKind) {
    case kBackgroundPixel:
      *pixel = head ? convertPixelToHead(owner->backgroundPixel, window->visual, head) : owner->backgroundPixel;
      return 0;
    case kBackgroundPixmap:
      if (PixmapRecord* record = owner->backgroundPixmap) {
        *pixmap = head ? pixmapServerId(record, head) : record->id;
        if (head && head->scaler) scalePoint32(head->scaler, xOffset, yOffset, nullptr, nullptr);
      } else {
        // The root's default pattern that every head makes for itself.
        *pixmap = head ? u32(head->backgroundPixmap) : 0;
      }
      return 1;
    case kBackgroundNone: return 1;
    default: PALVON_UNE(); return 1;
  }
}

// --- Destruction -----------------------------------------------------------------------

void destroyWindowAttributes(ProxyWindow* window) {
  // A root goes only at a reset: its screen must not keep pointing at it.
  // The screen is found on the list, as it may have gone first.
  for (MetaScreen* screen = proxyState.screens; screen && !window->parent; screen = screen->next) {
    if (screen->rootWindow == window) screen->rootWindow = nullptr;
  }
  removeFromAllSaveSets(window);
  if (window->tiles) freeBackgroundTile(currentClient, window, nullptr);
  destroyPropertyWindow(window);
  setBackgroundPixmapRecord(window, nullptr);
  setBorderPixmapRecord(window, nullptr);
  detachDrawableUsers(window->id);
  freePassiveGrabsOnWindow(window);
  regionEmpty(&window->clipList);
  regionEmpty(&window->borderList);
  regionEmpty(&window->insideRegion);
  regionEmpty(&window->borderRegion);
  for (Region** shape : {&window->clipShape, &window->boundingShape, &window->inputShape}) {
    regionDestroy(*shape);
    *shape = nullptr;
  }
  unrefCursor(window->cursor);
  window->cursor = nullptr;
  if (WindowAttributes* block = window->attributes) {
    window->attributes = nullptr;
    block->previous = nullptr;
    block->next = destroyedBlocks;
    if (destroyedBlocks) destroyedBlocks->previous = block;
    else oldestDestroyed = block;
    destroyedBlocks = block;
    block->releaseAt = ordersClock() + kDestroyedAttributesMs;
    armDestroyedTimer();
    if (!destroyedTimer) freeDestroyedWindowAttributes(block);
  }
  while (EventSelection* selection = window->selections) {
    window->selections = selection->next;
    std::free(selection);
  }
  freeWindowBuffers(window);
  dropSavedPosition(window);
}

void freeDestroyedWindowAttributes(void* argument) {
  auto* block = static_cast<WindowAttributes*>(argument);
  unlinkDestroyedBlock(block);
  releaseWindowAttributes(block);
}

void freeAllDestroyedWindowAttributes() {
  orderCancel(destroyedTimer);
  destroyedTimer = nullptr;
  while (WindowAttributes* block = destroyedBlocks) freeDestroyedWindowAttributes(block);
}

}  // namespace palvon
