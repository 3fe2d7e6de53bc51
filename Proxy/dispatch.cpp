#include "Proxy/dispatch.h"

namespace palvon {

void setMajorHandlers(DispatchTables& tables, u8 major, RequestHandler request, ReplyHandler reply) {
  for (u32 minor = 0; minor < 256; minor++) {
    tables.requestHandlers[major + 256 * minor] = request;
    tables.replyHandlers[major + 256 * minor] = reply;
  }
}

}  // namespace palvon
