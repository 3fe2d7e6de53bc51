#include "support/xwdimage.h"

#include <fstream>
#include <iterator>

#include "support/xprogram.h"

namespace palvon::test {

namespace {

uint32_t word(const std::string& data, size_t at) {
  auto b = [&](size_t i) { return uint32_t(uint8_t(data[at + i])); };
  return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);  // the header is big-endian
}

}  // namespace

namespace {

// A channel of `mask` in the pixel as 8 bits.
uint32_t channel(uint32_t pixel, uint32_t mask) {
  if (!mask) return 0;
  uint32_t value = (pixel & mask) >> __builtin_ctz(mask);
  int bits = __builtin_popcount(mask);
  if (bits >= 8) return value >> (bits - 8);
  uint32_t wide = 0;
  for (int have = 0; have < 8; have += bits) wide = wide << bits | value;
  return (wide >> ((8 + bits - 1) / bits * bits - 8)) & 0xff;
}

}  // namespace

bool parseXwd(const std::string& data, XwdImage* image, std::string* error) {
  if (data.size() < 100) return *error = "short header", false;
  uint32_t headerSize = word(data, 0), format = word(data, 8), width = word(data, 16), height = word(data, 20);
  uint32_t byteOrder = word(data, 28), bitsPerPixel = word(data, 44), bytesPerLine = word(data, 48);
  uint32_t red = word(data, 56), green = word(data, 60), blue = word(data, 64), colours = word(data, 76);
  if (format != 2) return *error = "not ZPixmap", false;
  if (bitsPerPixel != 32 && bitsPerPixel != 24 && bitsPerPixel != 16)
    return *error = "not 16, 24 or 32 bits per pixel", false;
  uint64_t offset = uint64_t(headerSize) + uint64_t(colours) * 12;
  uint32_t step = bitsPerPixel / 8;
  if (width > 16384 || height > 16384 || bytesPerLine < width * step ||
      offset + uint64_t(bytesPerLine) * height > data.size())
    return *error = "truncated image", false;
  image->width = int(width), image->height = int(height);
  image->pixels.assign(size_t(width) * height, 0);
  for (uint32_t y = 0; y < height; y++) {
    for (uint32_t x = 0; x < width; x++) {
      const auto* p = reinterpret_cast<const uint8_t*>(data.data() + offset + uint64_t(y) * bytesPerLine + x * step);
      uint32_t raw = 0;
      for (uint32_t i = 0; i < step; i++) raw |= uint32_t(p[byteOrder ? step - 1 - i : i]) << (8 * i);
      image->pixels[size_t(y) * width + x] = channel(raw, red) << 16 | channel(raw, green) << 8 | channel(raw, blue);
    }
  }
  return true;
}

long countDifferences(const XwdImage& a, int ax, int ay, const XwdImage& b, int bx, int by, int width, int height,
                      int slack) {
  auto fits = [&](const XwdImage& image, int x, int y) {
    return x >= 0 && y >= 0 && width >= 0 && height >= 0 && x + width <= image.width && y + height <= image.height;
  };
  if (!fits(a, ax, ay) || !fits(b, bx, by)) return -1;
  auto differs = [slack](uint32_t p, uint32_t q) {
    for (int shift = 0; shift < 24; shift += 8) {
      int d = int((p >> shift) & 0xff) - int((q >> shift) & 0xff);
      if (d > slack || d < -slack) return true;
    }
    return false;
  };
  long differ = 0;
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) differ += differs(a.at(ax + x, ay + y), b.at(bx + x, by + y));
  return differ;
}

XwdImage rootXwd(const std::string& display, const std::string& file) {
  XwdImage image;
  ProgramResult r = runProgram({"sh", "-c", "xwd -root -silent > " + file}, display, 30000);
  std::ifstream in(file, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  if (r.status != 0 || !parseXwd(data, &image, &error)) image = {};
  return image;
}

}  // namespace palvon::test
