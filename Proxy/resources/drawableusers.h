// What goes with a destroyed window besides its own record: the ids that
// the real servers free along with the window (RENDER pictures on it,
// DOUBLE-BUFFER back buffers and Multi-Buffering buffers made for it) leave
// the resource database too, so that a client may use those ids again as
// on a plain server; GCs forget that they were last prepared for it.
//
// Main thread only. Called by the window tree while it destroys a window.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyWindow;

// GCs prepared for the drawable forget it; pictures drawing on it go.
void detachDrawableUsers(u32 drawable);
// The window's DOUBLE-BUFFER and Multi-Buffering buffers go.
void freeWindowBuffers(ProxyWindow* window);

// The modules that keep those ids free them through these hooks while
// they run (the core does not link the modules); null otherwise. Each is
// given the window's id.
struct DrawableUserHooks {
  void (*freeWindowPictures)(u32 window);     // RENDER
  void (*freeWindowBackBuffers)(u32 window);  // DOUBLE-BUFFER
  void (*freeWindowImageBuffers)(u32 window); // Multi-Buffering
};
extern DrawableUserHooks drawableUserHooks;

}  // namespace palvon
