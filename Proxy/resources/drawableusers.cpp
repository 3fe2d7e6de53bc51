// Ids freed along with a destroyed window.
#include "Proxy/resources/drawableusers.h"

#include "Proxy/heads/screen.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/gc.h"
#include "Proxy/resources/resource.h"
#include "Proxy/resources/window.h"

namespace palvon {

DrawableUserHooks drawableUserHooks;

namespace {

// Only scaled heads send a GC's clip and origins for the drawable at hand.
bool anyHeadScaled() {
  for (const MetaScreen* screen = proxyState.screens; screen; screen = screen->next)
    for (const Head* head = screen->heads; head; head = head->next)
      if (head->scaler) return true;
  return false;
}

int forgetPreparedDrawable(u32, void* object, ProxyClient*, void* drawable, Head*) {
  auto* gc = static_cast<GCRecord*>(object);
  if (gc->preparedDrawable == *static_cast<u32*>(drawable)) gc->preparedDrawable = 0;
  return 1;
}

}  // namespace

void detachDrawableUsers(u32 drawable) {
  // A new window may take the id: a GC must not take it for the old one.
  if (anyHeadScaled()) forEachResourceOfType(RT_GC, forgetPreparedDrawable, &drawable, nullptr);
  if (drawableUserHooks.freeWindowPictures) drawableUserHooks.freeWindowPictures(drawable);
}

void freeWindowBuffers(ProxyWindow* window) {
  if (drawableUserHooks.freeWindowBackBuffers) drawableUserHooks.freeWindowBackBuffers(window->id);
  if (drawableUserHooks.freeWindowImageBuffers) drawableUserHooks.freeWindowImageBuffers(window->id);
}

}  // namespace palvon
