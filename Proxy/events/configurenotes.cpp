// Notes of redirected ConfigureWindow value masks.
#include "Proxy/events/configurenotes.h"

#include <cstdlib>

#include "Proxy/resources/window.h"

namespace palvon {

namespace {

// A client that redirects but never reads its events must not make the
// list grow without end: beyond this many notes the oldest goes.
constexpr u32 kMaxNotes = 1024;

struct ConfigureNote {
  ConfigureNote* next;
  ProxyClient* client;
  u32 window;
  u16 mask;
};

// Oldest first.
ConfigureNote* notes;
ConfigureNote** tail = &notes;
u32 noteCount;

void unlinkNote(ConfigureNote** link) {
  ConfigureNote* note = *link;
  *link = note->next;
  if (tail == &note->next) tail = link;
  std::free(note);
  noteCount--;
}

void addNote(ProxyClient* client, u32 window, u16 mask) {
  if (noteCount >= kMaxNotes) unlinkNote(&notes);
  auto* note = static_cast<ConfigureNote*>(memCalloc(1, sizeof(ConfigureNote)));
  if (!note) return;
  *note = ConfigureNote{nullptr, client, window, mask};
  *tail = note;
  tail = &note->next;
  noteCount++;
}

}  // namespace

void queueConfigureNotes(ProxyClient* client, ProxyWindow* window, u16 mask) {
  if (!window || !window->parent) return;
  for (const EventSelection* selection = window->parent->selections; selection; selection = selection->next)
    if (selection->client != client && (selection->eventMask & kSubstructureRedirectMask))
      addNote(selection->client, window->id, mask);
}

bool takeRotatedValueMask(ProxyClient* client, u32 window, u16* mask) {
  for (ConfigureNote** link = &notes; *link; link = &(*link)->next) {
    if ((*link)->client != client || (*link)->window != window) continue;
    *mask = (*link)->mask;
    unlinkNote(link);
    return true;
  }
  return false;
}

void dropConfigureNotes(ProxyClient* client) {
  for (ConfigureNote** link = &notes; *link;) {
    if ((*link)->client == client) unlinkNote(link);
    else link = &(*link)->next;
  }
}

}  // namespace palvon
