#include "support/testrows.h"

#include <gtest/gtest.h>

#include <deque>

#include "Proxy/proxystate.h"

namespace palvon::test {

namespace {

// Rows must not move once the tables point at them.
std::deque<RequestRow>& requestRows() {
  static std::deque<RequestRow> rows;
  return rows;
}
std::deque<ErrorRow>& errorRows() {
  static std::deque<ErrorRow> rows;
  return rows;
}

}  // namespace

void registerCoreRowsForTest() {
  const char* problem = initCoreDispatchTables();
  if (problem) ADD_FAILURE() << problem;
}

void setTestRequestRow(u8 major, RequestHandler handler, LayoutString layout, SizeRule size, ReplyHandler reply,
                       LayoutString replyLayout, Route route) {
  requestRows().push_back({major, "TestRequest", handler, reply, layout, replyLayout, size, route});
  for (u32 minor = 0; minor < 256; minor++)
    proxyState.dispatch.requests[requestKey(major, static_cast<u8>(minor))] = &requestRows().back();
}

void setTestErrorRow(u8 code, ErrorHandler handler) {
  const ErrorRow* core = errorRowOf(code);
  errorRows().push_back({code, core->name, handler, core->value});
  proxyState.dispatch.errors[code] = &errorRows().back();
}

}  // namespace palvon::test
