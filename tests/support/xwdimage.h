// The image in an xwd file (ZPixmap, 16, 24 or 32 bits per pixel, either
// byte order) as 0xRRGGBB pixels, for comparing what programs and servers
// show. Narrower channels are widened with their top bits repeated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace palvon::test {

struct XwdImage {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;  // row by row
  uint32_t at(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

// false (with the reason in *error) when the data is not such an image.
bool parseXwd(const std::string& data, XwdImage* image, std::string* error);
// The pixels of a width x height area that differ between `a` from (ax, ay)
// on and `b` from (bx, by) on, by more than `slack` in some channel; -1
// when the area does not fit both.
long countDifferences(const XwdImage& a, int ax, int ay, const XwdImage& b, int bx, int by, int width, int height,
                      int slack = 0);
// "xwd -root" of the display, written to `file` and read back; an empty
// image when it failed.
XwdImage rootXwd(const std::string& display, const std::string& file);

}  // namespace palvon::test
