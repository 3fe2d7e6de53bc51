// Calls of the window attributes, window requests and window-tree changes
// into layers that are not in the tree yet. Each name is the one its layer
// will give it; window_pending.cpp holds quiet stand-ins (these run on
// every map, configure and destroy) that go away as the layers land.
#pragma once

#include "base/strings.h"

namespace palvon {

struct ProxyClient;
struct ProxyWindow;


}  // namespace palvon
