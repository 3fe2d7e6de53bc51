#include "support/xcbproto.h"

namespace palvon::test {

void clearUnusedReplyBytes(const FixedPart& reply, std::vector<uint8_t>* message) {
  std::vector<bool> used(32, false);
  for (uint32_t k = 0; k < 8; k++) used[k] = k != 1;
  for (const Field& f : reply.fields)
    for (uint32_t b = f.offset; b < f.offset + f.width && b < 32; b++) used[b] = true;
  for (uint32_t k = 0; k < 32 && k < message->size(); k++)
    if (!used[k]) (*message)[k] = 0;
}

}  // namespace palvon::test
