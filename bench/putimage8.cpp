// 8-bit images put onto a window of an 8-bit PseudoColor visual, as
// programs draw icons and pictures on such a visual: a batch of PutImages
// of 100x100 and one round trip, on each target in turn round by round, so
// that all see the same machine load. Prints each target's median rate in
// images a second and its ratio to the first target, the bare 8-bit server
// (higher is better), each proxy's ratio to the second, the relay, and the
// ratio of the best rounds (on a busy machine the rounds' rates spread
// widely, the bare server's most).
//
//   bench_putimage8 [-r ROUNDS] [-n IMAGES] LABEL=DISPLAY ...
//
// bench/emulated8.sh starts a plain 8-bit Xvfb, a relay in front of it and
// the proxy emulating the visual on a 24-bit Xvfb, alone and beside an
// 8-bit Xvfb.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kSide = 100;

struct Target {
  std::string label;
  std::string display;
  xcb_connection_t* c = nullptr;
  xcb_window_t window = 0;
  xcb_gcontext_t gc = 0;
  std::vector<double> rates;
};

void roundTrip(xcb_connection_t* c) { free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

xcb_visualid_t pseudoColor8(const xcb_screen_t* screen) {
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
    if (d.data->depth != 8) continue;
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
      if (v.data->_class == XCB_VISUAL_CLASS_PSEUDO_COLOR) return v.data->visual_id;
  }
  return 0;
}

// A mapped 300x300 window of the visual with a colormap of its own, and a GC.
bool connect(Target& t) {
  t.c = xcb_connect(t.display.c_str(), nullptr);
  if (xcb_connection_has_error(t.c)) return false;
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(t.c)).data;
  xcb_visualid_t visual = pseudoColor8(screen);
  if (!visual) return false;
  xcb_colormap_t colormap = xcb_generate_id(t.c);
  xcb_create_colormap(t.c, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, visual);
  t.window = xcb_generate_id(t.c);
  uint32_t values[] = {0, 1, colormap};
  xcb_create_window(t.c, 8, t.window, screen->root, 10, 10, 300, 300, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual,
                    XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP, values);
  xcb_map_window(t.c, t.window);
  t.gc = xcb_generate_id(t.c);
  xcb_create_gc(t.c, t.gc, t.window, 0, nullptr);
  roundTrip(t.c);
  return !xcb_connection_has_error(t.c);
}

// Images a second of one batch.
double putImages(Target& t, int images) {
  static std::vector<uint8_t> image = [] {
    std::vector<uint8_t> pixels(size_t(kSide) * kSide);
    for (size_t i = 0; i < pixels.size(); i++) pixels[i] = uint8_t(i * 7);
    return pixels;
  }();
  auto start = Clock::now();
  for (int i = 0; i < images; i++)
    xcb_put_image(t.c, XCB_IMAGE_FORMAT_Z_PIXMAP, t.window, t.gc, kSide, kSide, int16_t(i * 13 % 200),
                  int16_t(i * 7 % 200), 0, 8, uint32_t(image.size()), image.data());
  roundTrip(t.c);
  return images / std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int usage(const char* name) {
  fprintf(stderr, "usage: %s [-r ROUNDS] [-n IMAGES] LABEL=DISPLAY ...\n", name);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 9, images = 200;
  std::vector<Target> targets;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if ((arg == "-r" || arg == "-n") && i + 1 < argc) {
      (arg == "-r" ? rounds : images) = std::max(1, atoi(argv[++i]));
      continue;
    }
    size_t equals = arg.find('=');
    if (equals == std::string::npos) return usage(argv[0]);
    Target t;
    t.label = arg.substr(0, equals);
    t.display = arg.substr(equals + 1);
    targets.push_back(t);
  }
  if (targets.empty()) return usage(argv[0]);
  for (Target& t : targets) {
    if (!connect(t)) {
      fprintf(stderr, "no 8-bit PseudoColor window on %s (%s)\n", t.display.c_str(), t.label.c_str());
      return 1;
    }
    putImages(t, images);  // the proxy's and the servers' first images make their buffers
  }
  // Each round starts with another target, so none always runs first.
  size_t n = targets.size();
  for (int r = 0; r < rounds; r++)
    for (size_t j = 0; j < n; j++) {
      Target& t = targets[(j + size_t(r)) % n];
      t.rates.push_back(putImages(t, images));
    }
  auto best = [](const Target& t) { return *std::max_element(t.rates.begin(), t.rates.end()); };
  double bare = median(targets[0].rates), bareBest = best(targets[0]);
  printf("%d PutImages of %ux%u at depth 8 and a round trip, median of %d rounds\n", images, kSide, kSide, rounds);
  printf("  %-10s %12s %9s %9s %12s\n", "target", "images/s", "/bare", "/relay", "best/bare");
  for (size_t k = 0; k < n; k++) {
    double rate = median(targets[k].rates);
    printf("  %-10s %12.0f %9.3f", targets[k].label.c_str(), rate, rate / bare);
    if (k >= 2) printf(" %9.3f", rate / median(targets[1].rates));
    else printf(" %9s", "");
    printf(" %12.3f\n", best(targets[k]) / bareBest);
  }
  for (Target& t : targets) xcb_disconnect(t.c);
  return 0;
}
