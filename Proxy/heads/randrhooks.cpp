// The core's side of RANDR.
#include "Proxy/heads/randrhooks.h"

#include <X11/X.h>

#include "Proxy/clients/client.h"
#include "Proxy/config/config.h"
#include "Proxy/dispatch/extensions.h"
#include "Proxy/dispatch/wire.h"
#include "Proxy/heads/screen.h"
#include "Proxy/links/pending.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/window.h"
#include "base/logging.h"

namespace palvon {

RandrHooks randrHooks;

namespace {
bool emulationChosen = false;
}  // namespace

bool randrEmulationActive() {
  return proxyState.extensions.moduleState[kModuleRandr] &&
         (emulationChosen || (proxyConfig.workarounds & kWorkaroundRandrEmulation));
}

bool anyScreenBeyondItsServer() {
  for (const MetaScreen* screen = proxyState.screens; screen; screen = screen->next) {
    const Head* head = screen->heads;
    if (!head) continue;
    if (head->next || head->inWindow || head->scaler) return true;
    // The server's RANDR reports its whole screen: a head framed or cut
    // to a part of it would be reported at the server's size.
    if (screen->width != head->width || screen->height != head->height) return true;
  }
  return false;
}

void chooseRandrEmulation(bool on) { emulationChosen = on; }

void sendRRScreenChangeNotify(MetaScreen* screen) {
  if (randrHooks.screenChange) randrHooks.screenChange(screen);
}

void sendRandrHeadNotify(Head* head) {
  if (randrHooks.headChange) randrHooks.headChange(head);
}

void sendRootConfigureNotify(ProxyWindow* root) {
  if (!root) return;
  u8 event[32] = {};
  event[0] = ConfigureNotify;
  put32(event + 4, root->id);
  put32(event + 8, root->id);
  put16(event + 16, u16(root->x));
  put16(event + 18, u16(root->y));
  put16(event + 20, root->width);
  put16(event + 22, root->height);
  put16(event + 24, root->borderWidth);
  event[26] = root->overrideRedirect;
  for (const EventSelection* selection = root->selections; selection; selection = selection->next) {
    ProxyClient* client = selection->client;
    if (!client || !(selection->eventMask & StructureNotifyMask)) continue;
    put16(event + 2, u16(client->requestCounter));
    sendComposedEvent(event, "bbsiiisssss", client);
    if (proxyConfig.logTypes & kLogTypeRandr)
      LOGF(logChNote, "<- root configure notify (%ux%u) to %s", root->width, root->height, clientName(client));
  }
}

}  // namespace palvon
