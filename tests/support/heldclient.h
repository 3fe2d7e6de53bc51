// A client whose later requests the server holds (a SYNC Await on a
// counter nobody sets, a fake input with a long delay) and that leaves
// meanwhile: what another client of the display sees of it.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/rawclient.h"

namespace palvon::test {

enum class HeldEnd {
  kKilledByAnother,  // another client's KillClient on its window
  kSocketClosed,     // its connection closes, as when its process dies
};
std::string heldEndName(HeldEnd end);
void PrintTo(HeldEnd end, std::ostream* out);

// The hold: sends, on the connected client, the request it is held behind
// and a request with a reply after it. False when it could not be sent.
using HoldRequest = std::function<bool(RawClient& held)>;

// On display number `number`: a raw client makes a window, selects the
// root's PropertyNotify and is held by `hold`; it ends as `end` says. The
// lines tell whether the client was held, whether its window went within
// `withinMs` (its end noticed at once), and whether another client is
// still served after changing a root property (an event the held client
// selected). The same on a plain server and through the proxy.
std::vector<std::string> endHeldClient(int number, const HoldRequest& hold, HeldEnd end, int withinMs);

// The same ending on a plain Xvfb and through the proxy in front of one:
// the client is held on the plain server, what the others see through the
// proxy is the same, and the proxy is still running.
void expectHeldEndAsOnAPlainServer(const HoldRequest& hold, HeldEnd end);

}  // namespace palvon::test
