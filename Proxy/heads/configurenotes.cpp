// Notes of ConfigureWindow value masks and geometries for redirecting
// clients (see configurenotes.h).
#include "Proxy/heads/configurenotes.h"

#include <cstdlib>

#include "Proxy/clients/client.h"
#include "Proxy/resources/window.h"
#include "base/logging.h"

namespace palvon {

struct RedirectNote {
  RedirectNote* next;
  u32 window;
  u16 mask;
  WindowGeometry asked;
};

namespace {

// More notes than requests a window manager leaves unanswered in flight:
// beyond it the oldest, whose event will not come any more, goes.
constexpr u32 kMaxNotes = 256;

void appendNote(ProxyClient* client, u32 window, u16 mask, const WindowGeometry& asked) {
  u32 count = 0;
  RedirectNote** tail = &client->redirectNotes;
  for (; *tail; tail = &(*tail)->next) count++;
  if (count >= kMaxNotes) {
    RedirectNote* oldest = client->redirectNotes;
    client->redirectNotes = oldest->next;
    if (tail == &oldest->next) tail = &client->redirectNotes;
    std::free(oldest);
  }
  auto* note = static_cast<RedirectNote*>(std::malloc(sizeof(RedirectNote)));
  if (!note) {
    PALVON_OOM();
    return;
  }
  *note = {nullptr, window, mask, asked};
  *tail = note;
}

}  // namespace

void queueConfigureNotes(ProxyClient* client, ProxyWindow* window, u16 mask, const WindowGeometry& asked) {
  const ProxyWindow* parent = window ? window->parent : nullptr;
  for (const EventSelection* s = parent ? parent->selections : nullptr; s; s = s->next) {
    if (s->client && s->client != client && (s->eventMask & kSubstructureRedirectMask))
      appendNote(s->client, window->id, mask, asked);
  }
}

bool takeConfigureNote(ProxyClient* client, u32 window, u16* mask, WindowGeometry* asked) {
  for (RedirectNote** p = client ? &client->redirectNotes : nullptr; p && *p; p = &(*p)->next) {
    RedirectNote* note = *p;
    if (note->window != window) continue;
    *mask = note->mask;
    *asked = note->asked;
    *p = note->next;
    std::free(note);
    return true;
  }
  return false;
}

void dropConfigureNotes(ProxyClient* client) {
  while (RedirectNote* note = client->redirectNotes) {
    client->redirectNotes = note->next;
    std::free(note);
  }
}

}  // namespace palvon
