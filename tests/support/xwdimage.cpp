#include "support/xwdimage.h"

namespace palvon::test {

namespace {

uint32_t word(const std::string& data, size_t at) {
  auto b = [&](size_t i) { return uint32_t(uint8_t(data[at + i])); };
  return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);  // the header is big-endian
}

}  // namespace

bool parseXwd(const std::string& data, XwdImage* image, std::string* error) {
  if (data.size() < 100) return *error = "short header", false;
  uint32_t headerSize = word(data, 0), format = word(data, 8), width = word(data, 16), height = word(data, 20);
  uint32_t byteOrder = word(data, 28), bitsPerPixel = word(data, 44), bytesPerLine = word(data, 48);
  uint32_t colours = word(data, 76);
  if (format != 2) return *error = "not ZPixmap", false;
  if (bitsPerPixel != 32 && bitsPerPixel != 24) return *error = "not 24 or 32 bits per pixel", false;
  uint64_t offset = uint64_t(headerSize) + uint64_t(colours) * 12;
  if (width > 16384 || height > 16384 || bytesPerLine < width * (bitsPerPixel / 8) ||
      offset + uint64_t(bytesPerLine) * height > data.size())
    return *error = "truncated image", false;
  image->width = int(width), image->height = int(height);
  image->pixels.assign(size_t(width) * height, 0);
  uint32_t step = bitsPerPixel / 8;
  for (uint32_t y = 0; y < height; y++) {
    for (uint32_t x = 0; x < width; x++) {
      const auto* p = reinterpret_cast<const uint8_t*>(data.data() + offset + uint64_t(y) * bytesPerLine + x * step);
      uint32_t value = byteOrder ? uint32_t(p[step - 3]) << 16 | uint32_t(p[step - 2]) << 8 | p[step - 1]
                                 : uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
      image->pixels[size_t(y) * width + x] = value;
    }
  }
  return true;
}

long countDifferences(const XwdImage& a, int ax, int ay, const XwdImage& b, int bx, int by, int width, int height) {
  auto fits = [&](const XwdImage& image, int x, int y) {
    return x >= 0 && y >= 0 && width >= 0 && height >= 0 && x + width <= image.width && y + height <= image.height;
  };
  if (!fits(a, ax, ay) || !fits(b, bx, by)) return -1;
  long differ = 0;
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) differ += a.at(ax + x, ay + y) != b.at(bx + x, by + y);
  return differ;
}

}  // namespace palvon::test
