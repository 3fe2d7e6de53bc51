// Test helpers for byte-swap tests: messages written field by field in
// either byte order, so that the same message exists in both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace palvon::test {

using Wire = std::vector<uint8_t>;

class WireWriter {
 public:
  explicit WireWriter(char order) : msb_(order == 'B') {}
  WireWriter& u8(uint32_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  WireWriter& u16(uint32_t v) { return put(v, 2); }
  WireWriter& u32(uint32_t v) { return put(v, 4); }
  WireWriter& u64(uint64_t v) { return put(v, 8); }
  WireWriter& raw(const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  WireWriter& pad(size_t n) {
    bytes.insert(bytes.end(), n, 0);
    return *this;
  }
  WireWriter& align4() { return pad((4 - bytes.size() % 4) % 4); }
  // Writes the request length (in 4-byte units) into bytes 2 and 3.
  WireWriter& requestLength() {
    if (bytes.size() < 4) return *this;
    uint32_t units = static_cast<uint32_t>(bytes.size() / 4);
    bytes[2] = static_cast<uint8_t>(msb_ ? units >> 8 : units);
    bytes[3] = static_cast<uint8_t>(msb_ ? units : units >> 8);
    return *this;
  }
  Wire bytes;

 private:
  WireWriter& put(uint64_t v, int width) {
    for (int k = 0; k < width; k++) {
      int shift = 8 * (msb_ ? width - 1 - k : k);
      bytes.push_back(static_cast<uint8_t>(v >> shift));
    }
    return *this;
  }
  bool msb_;
};

// The same message in our order and in the other (this host is LSB first).
template <class Build>
inline void bothOrders(Build build, Wire& native, Wire& foreign) {
  WireWriter lsb('l'), msb('B');
  build(lsb);
  build(msb);
  native = lsb.bytes;
  foreign = msb.bytes;
}

}  // namespace palvon::test
