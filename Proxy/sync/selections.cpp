// Selection synchronisation between the real servers.
#include "Proxy/sync/selections.h"

#include <X11/Xatom.h>

#include <cstdlib>
#include <cstring>

#include "Proxy/heads/lookup.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "xsupport/misc.h"

namespace palvon {

SelectionSync* selectionSyncList;
SelectionSyncRequestSlot selectionSyncSlots[kSelectionSyncCount];

namespace {

// The first read of an answer; more is read in one second call.
constexpr long kFirstReadUnits = 8192;

SelectionSync* findRecord(const ServerDisplay* server) {
  for (SelectionSync* record = selectionSyncList; record; record = record->next)
    if (record->server == server) return record;
  return nullptr;
}

Display* displayOf(const SelectionSync* record) { return record->server->display; }

// The index of a selection atom of the record's display; -1 for others.
int selectionIndex(const SelectionSync* record, Atom selection) {
  if (!selection) return -1;
  for (u32 i = 0; i < kSelectionSyncCount; i++)
    if (record->atoms[i] == selection) return int(i);
  return -1;
}

void takeSelection(SelectionSync* record, u32 index) {
  XfsSetSelectionOwner(displayOf(record), record->atoms[index], record->window, CurrentTime);
}

void appendRecord(SelectionSync* record) {
  record->next = nullptr;
  if (!selectionSyncList) {
    record->tail = record;
    selectionSyncList = record;
    return;
  }
  selectionSyncList->tail->next = record;
  selectionSyncList->tail = record;
}

void unlinkRecord(SelectionSync* record) {
  SelectionSync** link = &selectionSyncList;
  while (*link && *link != record) link = &(*link)->next;
  if (*link) *link = record->next;
  if (!selectionSyncList) return;
  SelectionSync* last = selectionSyncList;
  while (last->next) last = last->next;
  selectionSyncList->tail = last;
}

// Answers the saved request of the slot: the requestor learns the property
// (None refuses) through an event the proxy sends on the requestor's server.
void sendSelectionNotify(SelectionSyncRequestSlot& slot, Atom property) {
  SelectionSync* from = slot.from;
  slot.from = nullptr;
  if (!from) return;
  const XSelectionRequestEvent& request = slot.request;
  XEvent event{};
  XSelectionEvent& notify = event.xselection;
  notify.type = SelectionNotify;
  notify.display = displayOf(from);
  // The event reaches a client of the proxy unchanged (sent events are not
  // translated), so it must already carry the client's id.
  notify.requestor = mapServerXidToClient(u32(request.requestor), from->server);
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = property;
  notify.time = request.time;
  XfsSendEvent(displayOf(from), request.requestor, False, 0, &event);
  XfsFlush(displayOf(from));
}

// A request that the proxy cannot serve is refused at once: a requestor
// left without an answer waits for ever.
void refuseRequest(SelectionSync* record, const XSelectionRequestEvent& request) {
  SelectionSyncRequestSlot refusal{};
  refusal.request = request;
  refusal.from = record;
  sendSelectionNotify(refusal, None);
}

// The property the answer goes to: obsolete requestors name none and get
// the target (as the selection conventions ask of owners).
Atom requestProperty(const XSelectionRequestEvent& request) {
  return request.property ? request.property : request.target;
}

// Translates ATOM and ATOM_PAIR data (format 32, in Xlib's longs) from the
// owner's display to the requestor's.
void translateAtomData(Display* from, Display* to, unsigned long* data, unsigned long count) {
  for (unsigned long i = 0; i < count; i++) data[i] = translateAtomBetweenDisplays(from, Atom(data[i]), to);
}

bool isAtomListType(Display* display, Atom type) {
  if (type == XA_ATOM) return true;
  Atom pair = XfsInternAtom(display, "ATOM_PAIR", True);
  return pair && type == pair;
}

// Reads the answer from the owner's window, deleting it; false when the
// read failed or data are left after the second read.
bool readAnswer(Display* display, Window window, Atom property, unsigned char** data, unsigned long* count,
                Atom* type, int* format) {
  unsigned long after = 0;
  *data = nullptr;
  if (XfsGetWindowProperty(display, window, property, 0, kFirstReadUnits, True, AnyPropertyType, type, format, count,
                           &after, data) != Success)
    return false;
  if (after) {
    if (*data) XFree(*data);
    *data = nullptr;
    long units = kFirstReadUnits + long((after + 3) / 4) + 1;
    if (XfsGetWindowProperty(display, window, property, 0, units, True, AnyPropertyType, type, format, count, &after,
                             data) != Success)
      return false;
  }
  return after == 0;
}

// Copies the owner's answer to the requestor; false refuses it (a failed
// read, no type or format, no items).
bool deliverAnswer(SelectionSync* owner, SelectionSyncRequestSlot& slot, Atom property) {
  Display* ownerDisplay = displayOf(owner);
  Display* requestorDisplay = displayOf(slot.from);
  unsigned char* data = nullptr;
  unsigned long count = 0;
  Atom type = None;
  int format = 0;
  bool usable = readAnswer(ownerDisplay, owner->window, property, &data, &count, &type, &format);
  // An incremental transfer would need a conversation the proxy does not
  // hold: refused at once rather than left to stall, and its pieces are
  // drained as they come.
  Atom incremental = usable && type != None ? XfsInternAtom(ownerDisplay, "INCR", True) : None;
  if (incremental && type == incremental) {
    owner->draining = property;
    usable = false;
  }
  usable = usable && type != None && format != 0 && count != 0 && data && count <= unsigned(INT32_MAX);
  if (usable && format == 32 && isAtomListType(ownerDisplay, type))
    translateAtomData(ownerDisplay, requestorDisplay, reinterpret_cast<unsigned long*>(data), count);
  Atom requestorType = usable ? translateSelectionTarget(ownerDisplay, 0, type, requestorDisplay, 0) : None;
  if (requestorType)
    XfsChangeProperty(requestorDisplay, slot.request.requestor, requestProperty(slot.request), requestorType, format,
                      PropModeReplace, data, int(count));
  if (data) XFree(data);
  return requestorType != None;
}

void refreshOtherDisplays(const SelectionSync* owner, u32 index) {
  for (SelectionSync* record = selectionSyncList; record; record = record->next) {
    if (record == owner || !record->refresh) continue;
    XfsSetSelectionOwner(displayOf(record), record->atoms[index], None, CurrentTime);
    takeSelection(record, index);
    XfsFlush(displayOf(record));
  }
}

}  // namespace

// --- Start and stop ---------------------------------------------------------------------------

const char* startSelectionSync(ServerDisplay* server, bool refresh) {
  Display* display = server->display;
  LOGF(logChInfo, "Starting selection sync to %s...", display ? xShortDisplayName(display) : server->displayName);
  if (findRecord(server)) return nullptr;
  auto* record = static_cast<SelectionSync*>(memCalloc(1, sizeof(SelectionSync)));
  if (!record) return PALVON_OOM();
  record->server = server;
  record->refresh = refresh;
  record->atoms[0] = XA_PRIMARY;
  record->atoms[1] = XA_SECONDARY;
  record->atoms[2] = XfsInternAtom(display, "CLIPBOARD", False);
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  record->window = XfsCreateWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent,
                                   CWEventMask, &attributes);
  for (u32 i = 0; i < kSelectionSyncCount; i++) {
    SelectionSyncRequestSlot& slot = selectionSyncSlots[i];
    Window owner = record->atoms[i] ? XfsGetSelectionOwner(display, record->atoms[i]) : None;
    if (owner == None || slot.owner) takeSelection(record, i);
    else slot.owner = record;
  }
  XfsFlush(display);
  appendRecord(record);
  return nullptr;
}

void stopSelectionSync(ServerDisplay* server) {
  SelectionSync* record = findRecord(server);
  if (!record) return;
  for (SelectionSyncRequestSlot& slot : selectionSyncSlots) {
    if (slot.from == record) slot.from = nullptr;
    if (slot.owner != record) continue;
    slot.owner = nullptr;
    sendSelectionNotify(slot, None);
  }
  if (server->display && !isDisplayOffline(server->display) && record->window) {
    XfsDestroyWindow(server->display, record->window);
    XfsFlush(server->display);
  }
  unlinkRecord(record);
  free(record);
}

bool isSelectionSyncActive() { return selectionSyncList != nullptr; }

bool isSelectionSyncWindow(const ServerDisplay* server, u32 window) {
  if (!window) return false;
  for (SelectionSync* record = selectionSyncList; record; record = record->next)
    if (record->server == server) return record->window == window;
  return false;
}

// --- Events -----------------------------------------------------------------------------------

bool selectionSyncClear(ServerDisplay* server, const XSelectionClearEvent* event) {
  if (event->send_event) return false;
  SelectionSync* taker = findRecord(server);
  if (!taker || taker->window != event->window) return false;
  int index = selectionIndex(taker, event->selection);
  if (index < 0) return false;
  SelectionSyncRequestSlot& slot = selectionSyncSlots[index];
  // A conversion in flight at the former owner would find its owner gone.
  if (slot.owner != taker) sendSelectionNotify(slot, None);
  for (SelectionSync* record = selectionSyncList; record; record = record->next) {
    if (record == taker) continue;
    takeSelection(record, u32(index));
    XfsFlush(displayOf(record));
  }
  slot.owner = taker;
  // A new owner program answers afresh.
  taker->draining = None;
  return true;
}

bool selectionSyncRequest(ServerDisplay* server, const XSelectionRequestEvent* event) {
  if (event->send_event) return false;
  SelectionSync* from = findRecord(server);
  if (!from || from->window != event->owner) return false;
  int index = selectionIndex(from, event->selection);
  SelectionSync* owner = index < 0 ? nullptr : selectionSyncSlots[index].owner;
  // An owner still writing a refused incremental answer drops what it is
  // asked meanwhile: refused at once.
  if (!owner || owner == from || owner->draining) {
    refuseRequest(from, *event);
    return true;
  }
  SelectionSyncRequestSlot& slot = selectionSyncSlots[index];
  // One conversion per selection: the request it replaces is refused, so
  // that no answer reaches a requestor that did not ask for it.
  sendSelectionNotify(slot, None);
  Display* requestorDisplay = displayOf(from);
  Display* ownerDisplay = displayOf(owner);
  Atom target =
      translateSelectionTarget(requestorDisplay, event->requestor, event->target, ownerDisplay, owner->window);
  Atom property = translateSelectionTarget(requestorDisplay, event->requestor, requestProperty(*event), ownerDisplay,
                                           owner->window);
  if (!target || !property) {
    refuseRequest(from, *event);
    return true;
  }
  XfsConvertSelection(ownerDisplay, owner->atoms[index], target, property, owner->window, CurrentTime);
  XfsFlush(ownerDisplay);
  slot.request = *event;
  slot.forwardedTarget = target;
  slot.forwardedProperty = property;
  slot.from = from;
  return true;
}

bool selectionSyncNotify(ServerDisplay* server, const XSelectionEvent* event) {
  SelectionSync* owner = findRecord(server);
  if (!owner || owner->window != event->requestor) return false;
  int index = selectionIndex(owner, event->selection);
  if (index < 0 || selectionSyncSlots[index].owner != owner) return false;
  SelectionSyncRequestSlot& slot = selectionSyncSlots[index];
  // Only the answer to the conversion in flight counts; a late answer to a
  // replaced one is dropped with its data.
  if (!slot.from || event->target != slot.forwardedTarget) {
    if (event->property) XfsDeleteProperty(displayOf(owner), owner->window, event->property);
    return true;
  }
  if (event->property == None || !deliverAnswer(owner, slot, event->property)) {
    sendSelectionNotify(slot, None);
    return true;
  }
  sendSelectionNotify(slot, requestProperty(slot.request));
  refreshOtherDisplays(owner, u32(index));
  return true;
}

bool selectionSyncProperty(ServerDisplay* server, const XPropertyEvent* event) {
  if (event->send_event || event->state != PropertyNewValue) return false;
  SelectionSync* record = findRecord(server);
  if (!record || record->window != event->window) return false;
  Display* display = displayOf(record);
  if (record->draining && event->atom == record->draining) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    // Length 0 reads nothing but tells the size: the empty piece ends it.
    if (XfsGetWindowProperty(display, record->window, event->atom, 0, 0, True, AnyPropertyType, &type, &format,
                             &count, &after, &data) == Success &&
        type != None && after == 0)
      record->draining = None;
    if (data) XFree(data);
    XfsDeleteProperty(display, record->window, event->atom);
    XfsFlush(display);
    return true;
  }
  for (const SelectionSyncRequestSlot& slot : selectionSyncSlots)
    if (slot.owner == record && slot.from && slot.forwardedProperty == event->atom) return true;
  XfsDeleteProperty(display, record->window, event->atom);
  XfsFlush(display);
  return true;
}

// --- Atoms ---------------------------------------------------------------------------------------

Atom translateAtomBetweenDisplays(Display* from, Atom atom, Display* to) {
  if (atom <= kLastPredefinedAtom) return atom;
  char* name = XfsGetAtomName(from, atom);
  if (!name) return 0;
  Atom result = XfsInternAtom(to, name, False);
  XFree(name);
  return result;
}

Atom translateSelectionTarget(Display* from, Window fromWindow, Atom atom, Display* to, Window toWindow) {
  if (atom <= kLastPredefinedAtom) return atom;
  char* name = XfsGetAtomName(from, atom);
  if (!name) return 0;
  Atom result = XfsInternAtom(to, name, False);
  if (result && toWindow && strcmp(name, "TARGETS") == 0) {
    copyProperty(from, fromWindow, atom, to, toWindow, result);
    XfsFlush(to);
  }
  XFree(name);
  return result;
}

}  // namespace palvon
