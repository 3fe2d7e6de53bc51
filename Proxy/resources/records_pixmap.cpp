// Pixmap records: reference counts, the proxy's own per-head copies and the
// zombie list.
//
// A pixmap that another client's object references must keep working after
// its owner frees it or goes away. The proxy therefore copies it, through its
// own connection to every head's server, when a reference from another client
// is first taken, and refers to those copies once the owner's server pixmaps
// are gone.
#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/heads/headmap.h"
#include "Proxy/heads/scaling.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Proxy/links/writers.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/records.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/resourcefind.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "Proxy/visuals/pixels.h"
#include "base/logging.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

ResourceRecordLists& lists() { return proxyState.records; }

Display* headDisplay(const Head* head) { return head->serverDisplay ? head->serverDisplay->display : nullptr; }

void addZombie(PixmapRecord* pixmap) {
  if (pixmap->isZombie) return;
  PixmapRecord* head = lists().zombies;
  pixmap->zombieNext = head;
  pixmap->zombiePrevious = nullptr;
  if (head) head->zombiePrevious = pixmap;
  lists().zombies = pixmap;
  pixmap->isZombie = 1;
  lists().zombieCount++;
}

void removeZombie(PixmapRecord* pixmap) {
  if (!pixmap->isZombie) return;
  if (pixmap->zombiePrevious) {
    pixmap->zombiePrevious->zombieNext = pixmap->zombieNext;
  } else {
    lists().zombies = pixmap->zombieNext;
  }
  if (pixmap->zombieNext) pixmap->zombieNext->zombiePrevious = pixmap->zombiePrevious;
  pixmap->zombieNext = pixmap->zombiePrevious = nullptr;
  pixmap->isZombie = 0;
  lists().zombieCount--;
}

// One copy on one head: a pixmap of the head's size and depth filled from the
// client's server pixmap. Errors are trapped: the client's pixmap may be gone
// on that server. False when the copy could not be recorded.
bool copyPixmapToHead(PixmapRecord* pixmap, Head* head) {
  Display* display = headDisplay(head);
  if (!display) return true;
  u16 width = pixmap->width, height = pixmap->height;
  if (head->scaler) scaleSize(head->scaler, &width, &height);
  if (width == 0) width = 1;
  if (height == 0) height = 1;
  u32 depth = mapDepthForHead(pixmap->depth, head);
  auto* copy = static_cast<PixmapHeadCopy*>(std::calloc(1, sizeof(PixmapHeadCopy)));
  if (!copy) {
    PALVON_OOM();
    return false;
  }
  xErrorTrapBegin(display);
  Pixmap server = XfsCreatePixmap(display, head->root, width, height, depth);
  if (server) {
    GC gc = XfsCreateGC(display, server, 0, nullptr);
    if (gc) {
      XfsCopyArea(display, translateXid(pixmap->id, RT_PIXMAP, head), server, gc, 0, 0, width, height, 0, 0);
      XfsFreeGC(display, gc);
    }
  }
  XfsSync(display, False);
  xErrorTrapEnd();
  copy->head = head;
  copy->serverId = u32(server);
  copy->next = pixmap->headCopies;
  if (copy->next) copy->next->previous = copy;
  pixmap->headCopies = copy;
  return true;
}

void copyPixmapToHeads(PixmapRecord* pixmap) {
  if (currentClient) {
    // The owner's drawing must have reached the servers before it is copied.
    if (const char* error = syncClientLinks(currentClient)) {
      logProblem(error, __FILE__, __LINE__);
      return;
    }
  }
  if (!pixmap->screen) return;
  for (Head* head = pixmap->screen->heads; head; head = head->next) {
    if (!copyPixmapToHead(pixmap, head)) return;
  }
}

void destroyPixmap(PixmapRecord* pixmap) {
  ProxyClient* client = currentClient;
  if (pixmap->ownerPresent && client && client->hasLinks && pixmap->screen) {
    for (Head* head = pixmap->screen->heads; head; head = head->next) {
      if (needsVisualEmulation(pixmap->id, head)) continue;
      if (head->serverIndex >= client->linkCount || !client->links[head->serverIndex]) continue;
      u32 server = translateXid(pixmap->id, RT_PIXMAP, head);
      if (server) xprotoFreePixmap(&client->links[head->serverIndex]->writer, server);
    }
  }
  while (PixmapHeadCopy* copy = pixmap->headCopies) {
    pixmap->headCopies = copy->next;
    if (Display* display = headDisplay(copy->head)) {
      if (copy->serverId) XfsFreePixmap(display, copy->serverId);
      XfsFlush(display);
    }
    std::free(copy);
  }
  removeZombie(pixmap);
  std::free(pixmap);
}

}  // namespace

PixmapRecord* createPixmapRecord(u32 id, u16 width, u16 height, u8 depth, MetaScreen* screen, VisualRecord* visual) {
  auto* pixmap = static_cast<PixmapRecord*>(std::calloc(1, sizeof(PixmapRecord)));
  if (!pixmap) return nullptr;
  pixmap->id = id;
  pixmap->width = width;
  pixmap->height = height;
  pixmap->depth = depth;
  pixmap->screen = screen;
  pixmap->visual = visual;
  pixmap->ownerPresent = 1;
  return pixmap;
}

void refPixmap(PixmapRecord* pixmap, u32 referrerId) {
  if (!pixmap) return;
  pixmap->refCount++;
  if (referrerId && pixmap->id && resourceSlotOf(pixmap->id) != resourceSlotOf(referrerId) && !pixmap->headCopies) {
    copyPixmapToHeads(pixmap);
  }
}

void unrefPixmap(PixmapRecord* pixmap, int keepAsZombie) {
  if (!pixmap) return;
  if (pixmap->refCount > 0) {
    pixmap->refCount--;
    if (keepAsZombie) addZombie(pixmap);
    return;
  }
  destroyPixmap(pixmap);
}

void destroyPixmapResource(u32 id, PixmapRecord* pixmap) { unrefPixmap(pixmap, id != 0); }

u32 pixmapServerId(const PixmapRecord* pixmap, const Head* head) {
  if (!head) return pixmap->id;
  if (pixmap->ownerPresent) return translateXid(pixmap->id, RT_PIXMAP, head);
  for (const PixmapHeadCopy* copy = pixmap->headCopies; copy; copy = copy->next) {
    if (copy->head == head) return copy->serverId;
  }
  return pixmap->id;
}

bool isZombiePixmapId(u32 id) {
  for (const PixmapRecord* pixmap = lists().zombies; pixmap; pixmap = pixmap->zombieNext) {
    if (pixmap->id == id) return true;
  }
  return false;
}

void clearZombieOwners(u32 slot) {
  for (PixmapRecord* pixmap = lists().zombies; pixmap; pixmap = pixmap->zombieNext) {
    if (resourceSlotOf(pixmap->id) == slot) pixmap->ownerPresent = 0;
  }
}

}  // namespace palvon
