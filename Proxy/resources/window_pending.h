// Calls of the window attributes, window requests and window-tree changes
// into layers that are not in the tree yet. Each name is the one its layer
// will give it; window_pending.cpp holds quiet stand-ins (these run on
// every map, configure and destroy) that go away as the layers land.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ProxyWindow;

// Heads: for a rotated main head, a note (window, value mask) on every other
// client that redirects the substructure of the window's parent.
void queueConfigureNotes(ProxyClient* client, ProxyWindow* window, u16 mask);

}  // namespace palvon
