// Stand-ins for the calls of window_pending.h; see there. Quiet: they run on
// every window change, and doing nothing is what a proxy without those
// layers does (no grabs, no tiles, no buffers exist yet).
#include "Proxy/resources/window_pending.h"

namespace palvon {


}  // namespace palvon
