// Calls of the window attributes, window requests and window-tree changes
// into layers that are not in the tree yet. Each name is the one its layer
// will give it; window_pending.cpp holds quiet stand-ins (these run on
// every map, configure and destroy) that go away as the layers land.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ProxyWindow;

// GCs and pictures whose drawable is the window let go of it.
void detachDrawableUsers(u32 drawable);
// DOUBLE-BUFFER back buffers and Multi-Buffering buffers made for the window.
void freeWindowBuffers(ProxyWindow* window);

}  // namespace palvon
