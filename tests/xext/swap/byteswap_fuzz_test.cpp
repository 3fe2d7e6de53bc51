// Random messages against every layout: no byte outside the message is read
// or written (the message lies against an inaccessible page, and the rest of
// its page is checked), and swapping in and swapping back restores it.

#include "Proxy/dispatch/rows.h"
#include "Xext/swap/byteswap.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace palvon::test {
namespace {

// Three pages, the outer two inaccessible.
class GuardedPage {
 public:
  GuardedPage() : pageSize_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* map = mmap(nullptr, 3 * pageSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return;
    base_ = static_cast<uint8_t*>(map);
    mprotect(base_, pageSize_, PROT_NONE);
    mprotect(base_ + 2 * pageSize_, pageSize_, PROT_NONE);
  }
  ~GuardedPage() {
    if (base_) munmap(base_, 3 * pageSize_);
  }
  bool ok() const { return base_ != nullptr; }
  uint8_t* page() const { return base_ + pageSize_; }
  size_t size() const { return pageSize_; }

 private:
  size_t pageSize_;
  uint8_t* base_ = nullptr;
};

// Every layout a core row gives, the ones its choosers pick included.
std::vector<std::string> allLayouts() {
  std::vector<std::string> layouts;
  for (u32 t = 0; t < kCoreRequestTableCount; t++) {
    for (u32 k = 0; k < kCoreRequestTables[t]->count; k++) {
      const RequestRow& row = kCoreRequestTables[t]->rows[k];
      layouts.push_back(row.requestLayout);
      if (row.replyLayout) layouts.push_back(row.replyLayout);
      for (u32 byte = 0; byte < 256; byte++) {
        u8 message[44] = {};
        message[1] = message[12] = message[13] = static_cast<u8>(byte);
        if (row.requestLayoutOf) layouts.push_back(row.requestLayoutOf(message, sizeof message));
        if (row.replyLayoutOf) layouts.push_back(row.replyLayoutOf(message, sizeof message));
      }
    }
  }
  for (u32 k = 0; k < kCoreEventRowCount; k++) layouts.push_back(kCoreEventRows[k].layout);
  for (int n = 0; n <= 100; n++) {
    layouts.push_back("H" + std::to_string(n));
    layouts.push_back("H-" + std::to_string(n));
  }
  for (const char* l : {"bbsiH7", "bbsiH-7", "bbsiiiH39", "bbsi[isssbb]", "[is]", "bbslL", "iiH4", "iH5"}) {
    layouts.push_back(l);
  }
  return layouts;
}

// The walk back of a layout: the negative special for a positive one; a
// flat layout is its own inverse.
std::string inverse(const std::string& layout) {
  size_t h = layout.find('H');
  if (h == std::string::npos) return layout;
  std::string back = layout;
  if (back[h + 1] == '-') back.erase(h + 1, 1);
  else back.insert(h + 1, "-");
  return back;
}

// Bytes that make counts small and kinds valid often enough to walk deep.
uint8_t randomByte(std::mt19937& rng) {
  static const uint8_t kLikely[] = {0, 1, 2, 3, 4, 5, 6, 8, 16, 32, 255, 0x14};
  uint32_t pick = rng() % 16;
  return pick < 12 ? kLikely[pick] : static_cast<uint8_t>(rng());
}

TEST(ByteswapFuzz, StaysInsideTheMessageAndSwapsBack) {
  GuardedPage guard;
  ASSERT_TRUE(guard.ok());
  std::mt19937 rng(20261207);
  std::vector<std::string> layouts = allLayouts();
  std::vector<uint8_t> original;
  constexpr uint8_t kSentinel = 0xa5;
  for (int round = 0; round < 150; round++) {
    for (const std::string& layout : layouts) {
      size_t length = rng() % 4 == 0 ? rng() % 48 : rng() % 1024;
      // Against the end guard or against the start guard.
      bool atEnd = rng() % 2 == 0;
      uint8_t* page = guard.page();
      std::memset(page, kSentinel, guard.size());
      uint8_t* message = atEnd ? page + guard.size() - length : page;
      original.resize(length);
      for (auto& b : original) b = randomByte(rng);
      if (length) std::memcpy(message, original.data(), length);

      swapByFormat(layout.c_str(), message, message + length);
      swapByFormat(inverse(layout).c_str(), message, message + length);
      ASSERT_TRUE(length == 0 || std::memcmp(message, original.data(), length) == 0)
          << "layout " << layout << " length " << length << " did not swap back";
      // One layout both ways, as the link and the client use it.
      swapArriving(layout.c_str(), message, message + length);
      swapLeaving(layout.c_str(), message, message + length);
      ASSERT_TRUE(length == 0 || std::memcmp(message, original.data(), length) == 0)
          << "layout " << layout << " length " << length << " did not come back from arriving and leaving";
      uint8_t* before = page;
      size_t beforeLength = static_cast<size_t>(message - page);
      uint8_t* after = message + length;
      size_t afterLength = static_cast<size_t>(page + guard.size() - after);
      for (size_t k = 0; k < beforeLength; k++) ASSERT_EQ(before[k], kSentinel) << layout;
      for (size_t k = 0; k < afterLength; k++) ASSERT_EQ(after[k], kSentinel) << layout;
    }
  }
}

// Messages the fuzz targets found that did not come back: each swapped by
// its layout, then by the inverse, and arriving then leaving.
struct FoundMessage {
  const char* name;
  const char* layout;
  std::vector<uint8_t> bytes;
};

class ByteswapFound : public ::testing::TestWithParam<FoundMessage> {};

TEST_P(ByteswapFound, ComesBackBothWays) {
  const FoundMessage& found = GetParam();
  std::vector<uint8_t> message = found.bytes;
  swapByFormat(found.layout, message.data(), message.data() + message.size());
  swapByFormat(inverse(found.layout).c_str(), message.data(), message.data() + message.size());
  EXPECT_EQ(message, found.bytes);
  swapArriving(found.layout, message.data(), message.data() + message.size());
  swapLeaving(found.layout, message.data(), message.data() + message.size());
  EXPECT_EQ(message, found.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Found, ByteswapFound,
    ::testing::Values(
        // A GL value whose type is unknown in our order and a known type
        // (GL_BYTE) once swapped.
        FoundMessage{"GLValueOfUnknownType", "H-33",
                     {0x0f, 0x0f, 0x1e, 0x24, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x0f, 0x1e, 0x24, 0x00, 0x00, 0x00, 0x00,
                      0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace palvon::test
