// Byte swapping by layout: any message under any layout the rows give (and
// every special layout both ways) stays inside its bytes, and swapping it in
// and back out restores it.
//
// An input is two bytes that pick the layout (least significant first),
// then the message. The message is copied to a block of exactly its size,
// so that a read or write past its end shows under the sanitizer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/rows.h"
#include "Xext/swap/byteswap.h"
#include "base/logging.h"

namespace {

using namespace palvon;

std::vector<std::string> gLayouts;

// Every layout of the core rows, those their choosers pick included, the
// event layouts and every special layout in both directions.
void collectLayouts() {
  for (u32 t = 0; t < kCoreRequestTableCount; t++) {
    for (u32 k = 0; k < kCoreRequestTables[t]->count; k++) {
      const RequestRow& row = kCoreRequestTables[t]->rows[k];
      gLayouts.push_back(row.requestLayout);
      if (row.replyLayout) gLayouts.push_back(row.replyLayout);
      for (u32 byte = 0; byte < 256; byte++) {
        u8 message[44] = {};
        message[1] = message[12] = message[13] = static_cast<u8>(byte);
        if (row.requestLayoutOf) gLayouts.push_back(row.requestLayoutOf(message, sizeof message));
        if (row.replyLayoutOf) gLayouts.push_back(row.replyLayoutOf(message, sizeof message));
      }
    }
  }
  for (u32 k = 0; k < kCoreEventRowCount; k++)
    if (kCoreEventRows[k].layout) gLayouts.push_back(kCoreEventRows[k].layout);
  for (int n = 0; n <= 100; n++) {
    gLayouts.push_back("H" + std::to_string(n));
    gLayouts.push_back("H-" + std::to_string(n));
  }
}

// The walk back of a layout: the negative special for a positive one; a
// layout without a special is its own inverse.
std::string inverse(const std::string& layout) {
  size_t h = layout.find('H');
  if (h == std::string::npos) return layout;
  std::string back = layout;
  if (back[h + 1] == '-')
    back.erase(h + 1, 1);
  else
    back.insert(h + 1, "-");
  return back;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Unknown special numbers are reported as unexpected states: thousands
  // of lines are noise here.
  logAllChannelsOff();
  collectLayouts();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string& layout = gLayouts[(data[0] | size_t{data[1]} << 8) % gLayouts.size()];
  data += 2;
  size -= 2;
  u8* message = static_cast<u8*>(std::malloc(size ? size : 1));
  if (!message) return 0;
  std::memcpy(message, data, size);
  swapArriving(layout.c_str(), message, message + size);
  swapLeaving(layout.c_str(), message, message + size);
  if (std::memcmp(message, data, size) != 0) abort();  // did not come back
  swapByFormat(layout.c_str(), message, message + size);
  swapByFormat(inverse(layout).c_str(), message, message + size);
  if (std::memcmp(message, data, size) != 0) abort();
  std::free(message);
  return 0;
}
