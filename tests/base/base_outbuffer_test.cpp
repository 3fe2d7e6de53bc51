// Segmented output buffers with placeholders, and the descriptor helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "base/fd.h"
#include "base/outbuffer.h"

namespace palvon {
namespace {

// Writes to a closed peer must come back as EPIPE, not end the test.
const bool kPipeIgnored = (signal(SIGPIPE, SIG_IGN), true);

int gNonEmpty;
void countNonEmpty(void*) { gNonEmpty++; }

int segments(const OutBuffer& buffer) {
  int n = 0;
  for (OutSegment* s = buffer.head; s; s = s->next) n++;
  return n;
}

// Reads everything that arrives within ms of quiet.
std::string drain(int descriptor, int ms = 100) {
  std::string got;
  char chunk[65536];
  while (fdWaitReadable(descriptor, ms)) {
    ssize_t n = read(descriptor, chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
  }
  return got;
}

std::string pattern(size_t n, unsigned seed) {
  std::string text(n, 0);
  for (size_t i = 0; i < n; i++) text[i] = static_cast<char>((i * 131 + seed * 7 + i / 977) & 0xff);
  return text;
}

class OutBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kPipeIgnored);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    fdSetNonBlocking(pair[0]);
    gNonEmpty = 0;
    outbufferInit(&out, pair[0], countNonEmpty, nullptr);
  }
  void TearDown() override {
    outbufferFree(&out);
    close(pair[0]);
    if (pair[1] >= 0) close(pair[1]);
  }
  // Shrinks the send buffer so that writes stay partial.
  void smallSendBuffer() {
    int size = 4096;
    ASSERT_EQ(setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size), 0);
  }
  int pair[2];
  OutBuffer out;
};

// The capacity (what the backlog bounds read) follows the segments: none,
// one, several, and none again once flushed.
TEST_F(OutBufferTest, ReservationsFillSegmentsAndSignalTheFirstByte) {
  auto capacityFits = [&] { return outbufferCapacity(&out) == size_t(segments(out)) * kOutSegmentData; };
  EXPECT_EQ(outbufferCapacity(&out), 0u);
  ASSERT_TRUE(outbufferPut("abc", 3, &out));
  ASSERT_TRUE(outbufferPutByte('d', &out));
  EXPECT_EQ(gNonEmpty, 1);
  EXPECT_EQ(segments(out), 1);
  EXPECT_TRUE(capacityFits());
  ASSERT_NE(outbufferReserve(&out, kOutSegmentData - 4), nullptr);  // fills the block exactly
  EXPECT_EQ(segments(out), 1);
  ASSERT_NE(outbufferReserve(&out, 1), nullptr);
  EXPECT_EQ(segments(out), 2);
  EXPECT_TRUE(capacityFits());
  ASSERT_NE(outbufferReserve(&out, 65505), nullptr);  // a block of its own
  ASSERT_NE(outbufferReserve(&out, 1), nullptr);
  EXPECT_EQ(segments(out), 4);
  EXPECT_TRUE(capacityFits());

  u8* last = out.tail->end - 1;
  outbufferHold(&out, last);
  ASSERT_NE(outbufferReserve(&out, 1), nullptr);  // never behind a held tail
  EXPECT_EQ(segments(out), 5);
  EXPECT_EQ(gNonEmpty, 1);

  outbufferRelease(&out, last, 0);
  EXPECT_EQ(outbufferFlush(&out), 0);
  EXPECT_EQ(outbufferCapacity(&out), 0u);
  EXPECT_EQ(drain(pair[1]).size(), 4 + (kOutSegmentData - 4) + 1 + 65505 + 2u);
  ASSERT_TRUE(outbufferPut("x", 1, &out));
  EXPECT_EQ(gNonEmpty, 2);
  EXPECT_TRUE(capacityFits());
}

TEST_F(OutBufferTest, PlaceholderInTheMiddleHoldsTheBytesBehindIt) {
  ASSERT_TRUE(outbufferPut("AAAABBBB", 8, &out));
  u8* hold = outbufferInsertHold(&out, out.head->readPosition + 4, 3);
  ASSERT_NE(hold, nullptr);
  EXPECT_EQ(segments(out), 3);
  EXPECT_EQ(outbufferFlush(&out), 1);
  EXPECT_EQ(drain(pair[1], 50), "AAAA");
  memcpy(hold, "xyz", 3);
  outbufferRelease(&out, hold, 2);
  EXPECT_EQ(outbufferFlush(&out), 0);
  EXPECT_EQ(drain(pair[1], 50), "xyBBBB");
  EXPECT_EQ(out.head, nullptr);
  EXPECT_EQ(out.tail, nullptr);
}

int collect(const u8* start, size_t length, void* argument) {
  static_cast<std::string*>(argument)->append(reinterpret_cast<const char*>(start), length);
  return 0;
}

TEST_F(OutBufferTest, DeleteCutAndWalkWorkOnQueuedBytes) {
  ASSERT_TRUE(outbufferPut("0123456789", 10, &out));
  u8* start = out.head->readPosition;
  outbufferDelete(start + 8, 2, &out);  // the end
  outbufferDelete(start, 1, &out);      // the front
  outbufferDelete(start + 3, 2, &out);  // the middle
  std::string walked;
  EXPECT_EQ(outbufferForEach(&out, out.head->readPosition, 5, collect, &walked), 0);
  EXPECT_EQ(walked, "12567");

  OutSegment* cut = outbufferCutCopy(&out, out.head->readPosition + 1, 2);
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(outbufferSegmentData(cut)), 2), "25");
  outbufferAppendSegment(&out, cut);
  walked.clear();
  outbufferForEach(&out, out.head->readPosition, 5, collect, &walked);
  EXPECT_EQ(walked, "16725");

  // A placeholder whose bytes are all deleted is no longer held.
  memcpy(outbufferAppendSegment(&out, outbufferNewSegment(4)), "tail", 4);
  outbufferHold(&out, out.tail->readPosition);
  outbufferDelete(out.tail->readPosition, 4, &out);
  EXPECT_EQ(out.tail->held, 0u);

  // Addresses outside the queued bytes are refused, not followed.
  u8 elsewhere[4];
  EXPECT_EQ(outbufferInsertHold(&out, elsewhere, 1), nullptr);
  EXPECT_EQ(outbufferCutCopy(&out, elsewhere, 1), nullptr);
  outbufferDelete(out.head->readPosition, 100, &out);
  EXPECT_EQ(outbufferFlush(&out), 0);
  EXPECT_EQ(drain(pair[1], 50), "16725");
}

TEST_F(OutBufferTest, FlushReportsEmptiedRemainingAndBroken) {
  EXPECT_EQ(outbufferFlush(&out), 0);
  smallSendBuffer();
  std::string big = pattern(1 << 20, 1);
  ASSERT_TRUE(outbufferPut(big.data(), big.size(), &out));
  EXPECT_EQ(outbufferFlush(&out), 1);
  size_t left = outbufferSize(&out);
  EXPECT_GT(left, 0u);
  EXPECT_LT(left, big.size());
  close(pair[1]);
  pair[1] = -1;
  EXPECT_EQ(outbufferFlush(&out), 2);
  const char* why = nullptr;
  EXPECT_EQ(outbufferFlushBlocking(&out, 1000, &why), 0);
  ASSERT_NE(why, nullptr);
  EXPECT_NE(std::string(why).find("Can't write"), std::string::npos);
  EXPECT_EQ(out.maxPerWrite, 0x7fffffffu);
}

// A reader that takes small bites with pauses, as a slow client does.
std::string slowRead(int descriptor, size_t expected) {
  std::string got;
  char chunk[3000];
  while (got.size() < expected && fdWaitReadable(descriptor, 5000)) {
    ssize_t n = read(descriptor, chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return got;
}

TEST_F(OutBufferTest, PartialWritesToASlowReaderKeepEveryByteInOrder) {
  smallSendBuffer();
  out.maxPerWrite = 10000;
  // A placeholder at the very front keeps everything behind it queued.
  ASSERT_TRUE(outbufferPut("head", 4, &out));
  u8* front = outbufferInsertHold(&out, out.head->readPosition, 8);
  ASSERT_NE(front, nullptr);
  std::string expected;
  for (unsigned i = 0; i < 40; i++) {
    std::string piece = pattern(1000 + i * 2357, i);
    ASSERT_TRUE(outbufferPut(piece.data(), piece.size(), &out));
    expected += piece;
  }
  EXPECT_EQ(outbufferFlush(&out), 1);
  EXPECT_FALSE(fdWaitReadable(pair[1], 100));

  memcpy(front, "PLACE", 5);
  outbufferRelease(&out, front, 5);
  expected = "PLACE" + std::string("head") + expected;
  std::string got;
  std::thread reader([&] { got = slowRead(pair[1], expected.size()); });
  while (outbufferFlush(&out) == 1) ASSERT_TRUE(fdWaitWritable(pair[0], 5000));
  reader.join();
  EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
}

TEST_F(OutBufferTest, BlockingFlushWaitsForAReaderAndGivesUpBehindAHeldHead) {
  smallSendBuffer();
  std::string big = pattern(300000, 3);
  ASSERT_TRUE(outbufferPut(big.data(), big.size(), &out));
  std::string got;
  std::thread reader([&] { got = slowRead(pair[1], big.size()); });
  EXPECT_EQ(outbufferFlushBlocking(&out, 5000), 1);
  reader.join();
  EXPECT_TRUE(got == big);

  ASSERT_TRUE(outbufferPut("x", 1, &out));
  outbufferHold(&out, out.head->readPosition);
  const char* why = nullptr;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(outbufferFlushBlocking(&out, 200, &why), 0);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::seconds(3));
  ASSERT_NE(why, nullptr);
  EXPECT_NE(std::string(why).find("output held"), std::string::npos) << why;
  EXPECT_EQ(out.maxPerWrite, 0x7fffffffu);
}

TEST_F(OutBufferTest, DescriptorHelpers) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fdWaitReadable(pair[1], 60), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));

  smallSendBuffer();
  std::string big = pattern(500000, 9);
  std::string got;
  std::thread reader([&] { got = slowRead(pair[1], big.size()); });
  EXPECT_EQ(fdWriteAll(pair[0], big.data(), big.size()), nullptr);
  reader.join();
  EXPECT_TRUE(got == big);
  close(pair[1]);
  pair[1] = -1;
  const char* why = fdWriteAll(pair[0], "abc", 3);
  ASSERT_NE(why, nullptr);
  EXPECT_EQ(std::string(why), "Can't write 3 bytes to fd " + std::to_string(pair[0]) + ": " + errnoText(EPIPE));
}

}  // namespace
}  // namespace palvon
