// Stand-ins for calls into modules that are not built yet (see
// heads/pending.h). Each logs "WIP" once, at its first call, and gives the
// neutral answer its declaration notes.
#include "Proxy/heads/pending.h"

#include "Proxy/resources/dbebuffer.h"

#include "Proxy/heads/lookup.h"
#include "Proxy/proxystate.h"
#include "Proxy/resources/window.h"
#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
// Xlibint.h (through servers/failsafe.h) defines min and max as macros.
#undef min
#undef max
#include "Proxy/heads/screen.h"
#include "base/logging.h"
#include "xsupport/misc.h"

#include <cstdlib>

namespace palvon {

// "WIP" on the problem channel, once per stand-in.
#define PENDING()              \
  do {                         \
    static bool reported;      \
    if (!reported) {           \
      reported = true;         \
      PALVON_WIP();            \
    }                          \
  } while (0)



void reparentWindowTree([[maybe_unused]] MetaScreen* screen, [[maybe_unused]] Head* from, [[maybe_unused]] Head* to) {
  PENDING();
}


bool rootCrossingFlag([[maybe_unused]] const MetaScreen* screen) {
  PENDING();
  return false;
}





// --- Start-up and exit steps of layers not built yet --------------------------------



// --- Core protocol services the reset and the close-down call ------------------------

// --- Used by event translation ---------------------------------------------------


}  // namespace palvon
