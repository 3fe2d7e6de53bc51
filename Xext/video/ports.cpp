// XVideo's virtual ports.
#include "Xext/video/ports.h"

#include "Proxy/heads/screen.h"
#include "base/logging.h"

namespace palvon {

namespace {

XvPortRange* ranges;

}  // namespace

XvPortRange* xvPortRanges() { return ranges; }

XvPortRange* findXvPortRange(u32 port) {
  for (XvPortRange* range = ranges; range; range = range->next)
    if (port >= range->first && u64{port} < u64{range->first} + range->count) return range;
  return nullptr;
}

u32 xvPort2server(u32 port, const Head* head) {
  const XvPortRange* range = findXvPortRange(port);
  if (!range || !head || head->numberInScreen >= kXvHeadSlots || !range->base[head->numberInScreen]) {
    LOGF(logChWarning, "Unknown video port #%u in xvPort2server(%s)", port, head ? headName(head) : "-");
    return port;
  }
  return port - range->first + range->base[head->numberInScreen];
}

u32 matchAdaptorBase(u8 type, const XvAdaptorFacts* adaptors, u32 count) {
  for (u32 k = 0; k < count; k++)
    if ((adaptors[k].type & type) == type) return adaptors[k].basePort;
  return 0;
}

XvPortRange* addXvPortRange(MetaScreen* screen, u32 adaptor, u32 first, u16 count, u8 type) {
  auto* range = static_cast<XvPortRange*>(memCalloc(1, sizeof(XvPortRange)));
  if (!range) return nullptr;
  range->screen = screen;
  range->adaptor = adaptor;
  range->first = first;
  range->count = count;
  range->type = type;
  XvPortRange** tail = &ranges;
  while (*tail) tail = &(*tail)->next;
  *tail = range;
  return range;
}

void removeXvPortRange(XvPortRange* range) {
  for (XvPortRange** at = &ranges; *at; at = &(*at)->next) {
    if (*at != range) continue;
    *at = range->next;
    freeIfNotNull(range);
    return;
  }
}

void freeXvPortRanges() {
  while (ranges) removeXvPortRange(ranges);
}

}  // namespace palvon
