// Handlers of a test put on the live dispatch tables as rows, with the core
// rows registered underneath. Rows made here live until the process ends.
#pragma once

#include "Proxy/dispatch/dispatch.h"

namespace palvon::test {

// Registers the core rows (once per process is enough; again is harmless).
void registerCoreRowsForTest();
// Puts a row with the handler on every key of the major (every minor); the
// dispatcher still counts, swaps by `layout` and checks `size`.
void setTestRequestRow(u8 major, RequestHandler handler, LayoutString layout = "bbs", SizeRule size = anySize(),
                       ReplyHandler reply = nullptr, LayoutString replyLayout = "", Route route = Route::kNone);
// The same for the row of one error code (null handler: the default).
void setTestErrorRow(u8 code, ErrorHandler handler);

}  // namespace palvon::test
