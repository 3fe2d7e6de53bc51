// Byte buffers, data blocks, string lists and bit helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "base/bits.h"
#include "base/buffer.h"
#include "base/strlist.h"

namespace palvon {
namespace {

std::string used(const ByteBuffer& b) { return std::string(reinterpret_cast<const char*>(b.data), b.used); }

TEST(ByteBuffer, GrowsBySizeClass) {
  EXPECT_EQ(bufferSizeClass(130972), 130972u);
  EXPECT_EQ(bufferSizeClass(130973), 4194204u);
  EXPECT_EQ(bufferSizeClass(70000000), 70000000u);

  ByteBuffer b{};
  ASSERT_EQ(bufferPutByte('x', &b), 1);
  std::string filler(129999, 'a');
  ASSERT_EQ(bufferAppend(filler.data(), filler.size(), &b), 1);
  EXPECT_EQ(bufferGrow(&b, 1000), 4194204u - 130000u);
  EXPECT_EQ(b.data[0], 'x');
  bufferFree(&b);
}

TEST(ByteBuffer, EditsKeepTheBytes) {
  ByteBuffer b{};
  ASSERT_EQ(bufferAppend("world", 5, &b), 1);
  ASSERT_EQ(bufferPrepend("hello ", 6, &b), 1);
  bufferDeleteAt(&b, b.data + 5, 1);
  EXPECT_EQ(used(b), "helloworld");

  ByteBuffer tail{};
  ASSERT_EQ(bufferSplitTail(&b, 5, &tail), 1);
  EXPECT_EQ(used(b), "hello");
  EXPECT_EQ(used(tail), "world");
  ASSERT_EQ(bufferAppendBuffer(&tail, &b), 1);
  ASSERT_EQ(bufferAppendTail(&tail, 3, &b), 1);
  EXPECT_EQ(used(b), "helloworldld");

  bufferConsume(&b, 5);
  EXPECT_EQ(used(b), "worldld");
  bufferConsume(&b, 7);  // exactly the used bytes: the storage goes
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.size, 0u);

  ByteBuffer moved{};
  ASSERT_EQ(bufferSplitTail(&tail, 0, &moved), 1);
  EXPECT_EQ(tail.data, nullptr);
  EXPECT_EQ(used(moved), "world");
  bufferFree(&moved);
}

struct CutCase {
  const char* bytes;
  size_t length;
  u64 expected;
};

class CutLine : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutLine, FindsTheFirstLineEnd) {
  const CutCase& c = GetParam();
  ByteBuffer b{};
  ASSERT_EQ(bufferAppend(c.bytes, c.length, &b), 1);
  // The size class leaves the bytes behind the used ones allocated; fill them
  // with line ends so that looking past the used bytes would be noticed.
  std::memset(b.data + b.used, '\n', b.size - b.used);
  EXPECT_EQ(bufferCutLine(&b), c.expected);
  if (c.expected) {
    EXPECT_STREQ(reinterpret_cast<char*>(b.data), c.length > 1 ? "ab" : "");
  }
  bufferFree(&b);
}

INSTANTIATE_TEST_SUITE_P(Ends, CutLine,
                         ::testing::Values(CutCase{"ab\r\ncd", 6, 4}, CutCase{"ab", 2, 0}, CutCase{"ab\n\rcd", 6, 4},
                                           CutCase{"ab\n\ncd", 6, 4}, CutCase{"ab\r\rcd", 6, 4},
                                           CutCase{"ab\nc", 4, 3}, CutCase{"ab\r", 3, 3}, CutCase{"\n", 1, 1}));

TEST(ByteBuffer, ReadFdReportsEndAndWouldBlock) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  ByteBuffer b{};
  EXPECT_EQ(bufferReadFd(fds[0], 16, &b), 2);
  ASSERT_EQ(write(fds[1], "abcd", 4), 4);
  // No more than asked, though the buffer has room for all of it.
  EXPECT_EQ(bufferReadFd(fds[0], 1, &b), 1);
  EXPECT_EQ(used(b), "a");
  EXPECT_EQ(bufferReadFd(fds[0], 16, &b), 1);
  EXPECT_EQ(used(b), "abcd");
  close(fds[1]);
  EXPECT_EQ(bufferReadFd(fds[0], 16, &b), 0);
  close(fds[0]);
  bufferFree(&b);
}

TEST(DataBlock, PayloadFollowsTheHeaderAfterAResize) {
  DataBlock* block = blockNewZeroed(10);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->data[9], 0);
  std::memcpy(block->data, "0123456789", 10);
  block = blockResize(block, 100000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->data, reinterpret_cast<u8*>(block + 1));
  EXPECT_EQ(std::memcmp(block->data, "0123456789", 10), 0);
  blockFree(block);
}

TEST(StringList, AddJoinCopyRemove) {
  u32 count = 0;
  char** list = nullptr;
  char* empty = strlistJoin(count, list);
  EXPECT_STREQ(empty, "");
  std::free(empty);
  ASSERT_EQ(strlistAdd(&count, &list, "a"), 1);
  ASSERT_EQ(strlistAdd(&count, &list, "bc"), 1);
  char* joined = strlistJoin(count, list);
  EXPECT_STREQ(joined, "a bc");
  std::free(joined);

  u32 otherCount = 0;
  char** other = nullptr;
  ASSERT_EQ(strlistCopy(&otherCount, &other, count, list), 1);
  ASSERT_EQ(strlistAddUnique(&otherCount, &other, count, list), 1);
  ASSERT_EQ(strlistAdd(&otherCount, &other, "a"), 1);
  strlistRemove(&otherCount, &other, "a");  // the last "a" goes
  ASSERT_EQ(otherCount, 2u);
  EXPECT_STREQ(other[0], "a");
  EXPECT_STREQ(other[1], "bc");

  ASSERT_EQ(strlistTerminate(&count, &list), 1);
  EXPECT_EQ(list[2], nullptr);
  strlistRemoveRange(&count, &list, 0, 2);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(list, nullptr);
  ASSERT_EQ(strlistAssign(&count, &list, otherCount, other), 1);
  EXPECT_EQ(strlistEqual(count, list, otherCount, other), 1);
  strlistFree(count, list);
  strlistFree(otherCount, other);
}

TEST(Bits, Helpers) {
  EXPECT_EQ(bitsNeeded(0), 0u);
  EXPECT_EQ(bitsNeeded(256), 8u);
  EXPECT_EQ(bitsNeeded(257), 9u);
  EXPECT_EQ(maskContiguous(0x0ff0), 1);
  EXPECT_EQ(maskContiguous(0x0f0f), 0);
  EXPECT_EQ(maskContiguous(0), 0);
  EXPECT_EQ(maskContiguous(0xffffffffu), 1);
  EXPECT_EQ(trailingZeros(0), 32u);
  EXPECT_EQ(bitsBelow(0xff00, 0x1000), 4u);
  for (u32 x : {0u, 1u, 0x80000000u, 0xffffffffu, 0x7fffffu, 0xdeadbeefu, 0x55555555u})
    EXPECT_EQ(bitCount(x), u32(__builtin_popcount(x))) << x;
}

u32 bits10(const u8* b) { return b[0] | (static_cast<u32>(b[1] & 3) << 8); }

TEST(Bits, ArrayShiftDropsTheEdgeBits) {
  u8 up[2] = {0x01, 0x02 | 0xf0};  // bits 0 and 9; bits beyond 10 must stay
  bitarrayShift(up, 10, 1);
  EXPECT_EQ(bits10(up), 0b0000000010u);
  EXPECT_EQ(up[1] & 0xf0, 0xf0);
  u8 down[2] = {0x01, 0x02};
  bitarrayShift(down, 10, -1);
  EXPECT_EQ(bits10(down), 0b0100000000u);
  u8 all[2] = {0xff, 0x03};
  bitarrayShift(all, 10, 40);
  EXPECT_EQ(bits10(all), 0u);
}

}  // namespace
}  // namespace palvon
