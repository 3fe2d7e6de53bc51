// The same X work against a bare server, a byte relay in front of it and the
// proxy (one head, two heads), round by round in turn, so that all see the
// same machine load. Prints each work's median on the bare server, every
// other target's ratio to it (higher is better: bare time / target time) and
// each proxy's ratio to the relay.
//
//   bench_xwork [-r ROUNDS] [-m CLIENTS] [-c CYCLES] [-w WORK] LABEL=DISPLAY[@PID] ...
//
// A target given as LABEL=DISPLAY+DISPLAY is a pair of bare servers. The
// works that two heads must hand to both their servers (drawing, images
// put, connections) run on both at once, one thread each, counted until both
// are done: the pair's ratio is the most two heads can reach on this
// machine, whatever the proxy does. The pair skips the other works: two
// round trips at once only show how much sooner this machine wakes a server
// while another core is busy.
//
// -w runs only the works whose name contains WORK (for profiling one). One
// work repeats the round trips with 200 other clients connected and idle on
// every target: a busy client must not pay for the idle ones. The window
// works among 100 and 1000 windows change one window above a crowd of
// overlapping mapped ones, made anew for each run.
// The first target is the bare server, the second the relay. A target with
// a pid also gets the memory section: the resident-set growth of that
// process per idle client (CLIENTS connections held open), then its
// resident set after each of CYCLES rounds of CLIENTS connects and
// disconnects. bench/run.sh starts the servers, the relay and the proxies.
#include <xcb/xcb.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
  std::string label;
  std::string display;
  long pid = 0;
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  xcb_pixmap_t pixmap = 0;  // 512 x 512, depth 24: one image is 1 MiB
  xcb_gcontext_t gc = 0;
  xcb_atom_t property = 0;  // 64 bytes on the root window
  std::shared_ptr<Target> twin;  // the pair's second server
  std::vector<xcb_window_t> windows;  // the work's crowd of windows; the last one is moved
};

// What one run of a work measured: seconds, and the bytes it moved (0 when
// the work counts operations, not bandwidth).
struct Run {
  double seconds;
  double bytes;
};

struct Work {
  const char* name;
  double (*run)(Target& t);  // bytes moved, or 0
  int idleClients = 0;  // held open on each target, untimed, while the work runs
  bool bothServers = false;  // two heads send all of it to both servers
  int windows = 0;  // mapped top-level windows made, untimed, before each run and destroyed after it
};

constexpr int kSide = 512;
constexpr uint32_t kImageBytes = kSide * kSide * 4;
constexpr int kImages = 32;

void roundTrip(xcb_connection_t* c) { free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

double internAtoms(Target& t) {
  for (int i = 0; i < 2000; i++) {
    char name[32];
    snprintf(name, sizeof name, "PALVON_BENCH_%d", i % 64);
    free(xcb_intern_atom_reply(t.c, xcb_intern_atom(t.c, 0, uint16_t(strlen(name)), name), nullptr));
  }
  return 0;
}

double inputFocus(Target& t) {
  for (int i = 0; i < 2000; i++) roundTrip(t.c);
  return 0;
}

double properties(Target& t) {
  for (int i = 0; i < 2000; i++)
    free(xcb_get_property_reply(
        t.c, xcb_get_property(t.c, 0, t.root, t.property, XCB_ATOM_ANY, 0, 64), nullptr));
  return 0;
}

double smallRequests(Target& t) {
  for (int i = 0; i < 100000; i++) {
    xcb_point_t point = {int16_t(i % kSide), int16_t((i / kSide) % kSide)};
    xcb_poly_point(t.c, XCB_COORD_MODE_ORIGIN, t.pixmap, t.gc, 1, &point);
  }
  roundTrip(t.c);
  return 0;
}

double smallRectangles(Target& t) {
  for (int i = 0; i < 100000; i++) {
    xcb_rectangle_t rectangle = {int16_t(i % kSide), int16_t((i / kSide) % kSide), 4, 4};
    xcb_poly_fill_rectangle(t.c, t.pixmap, t.gc, 1, &rectangle);
  }
  roundTrip(t.c);
  return 0;
}

// Requests with replies sent all at once, then the replies collected.
double pipelinedAtoms(Target& t) {
  static xcb_intern_atom_cookie_t cookies[10000];
  for (int i = 0; i < 10000; i++) {
    char name[32];
    snprintf(name, sizeof name, "PALVON_BENCH_%d", i % 64);
    cookies[i] = xcb_intern_atom(t.c, 0, uint16_t(strlen(name)), name);
  }
  for (xcb_intern_atom_cookie_t cookie : cookies) free(xcb_intern_atom_reply(t.c, cookie, nullptr));
  return 0;
}

double noOperations(Target& t) {
  for (int i = 0; i < 100000; i++) xcb_no_operation(t.c);
  roundTrip(t.c);
  return 0;
}

double putImages(Target& t) {
  static std::vector<uint8_t> image(kImageBytes, 0x5a);
  for (int i = 0; i < kImages; i++) {
    image[0] = uint8_t(i);
    xcb_put_image(t.c, XCB_IMAGE_FORMAT_Z_PIXMAP, t.pixmap, t.gc, kSide, kSide, 0, 0, 0, 24, kImageBytes,
                  image.data());
  }
  roundTrip(t.c);
  return double(kImages) * kImageBytes;
}

double getImages(Target& t) {
  double bytes = 0;
  for (int i = 0; i < kImages; i++) {
    auto* reply = xcb_get_image_reply(
        t.c, xcb_get_image(t.c, XCB_IMAGE_FORMAT_Z_PIXMAP, t.pixmap, 0, 0, kSide, kSide, ~0u), nullptr);
    if (reply) bytes += xcb_get_image_data_length(reply);
    free(reply);
  }
  return bytes;
}

// A top-level window of 120 x 90 that paints its background, as most
// programs' windows do; windows made one after another overlap their
// neighbours over the left part of the screen.
xcb_window_t newWindow(Target& t, int i) {
  xcb_window_t w = xcb_generate_id(t.c);
  uint32_t background = 0x336699u + uint32_t(i);
  xcb_create_window(t.c, XCB_COPY_FROM_PARENT, w, t.root, int16_t(i * 7 % 900), int16_t(i * 5 % 700), 120, 90, 1,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &background);
  return w;
}

void moveWindow(xcb_connection_t* c, xcb_window_t w, int x, int y) {
  uint32_t values[] = {uint32_t(x), uint32_t(y)};
  xcb_configure_window(c, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
}

// Each of 100 windows made, mapped, moved, resized, unmapped and destroyed,
// one step over all of them at a time.
double windowLifeCycle(Target& t) {
  xcb_window_t w[100];
  for (int i = 0; i < 100; i++) w[i] = newWindow(t, i);
  for (xcb_window_t each : w) xcb_map_window(t.c, each);
  for (int i = 0; i < 100; i++) moveWindow(t.c, w[i], i * 7 % 900 + 10, i * 5 % 700 + 10);
  for (xcb_window_t each : w) {
    uint32_t size[] = {130, 100};
    xcb_configure_window(t.c, each, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
  }
  for (xcb_window_t each : w) xcb_unmap_window(t.c, each);
  for (xcb_window_t each : w) xcb_destroy_window(t.c, each);
  roundTrip(t.c);
  return 0;
}

// The topmost of the crowd moved 400 times over the others.
double moveAmongWindows(Target& t) {
  xcb_window_t w = t.windows.back();
  for (int i = 0; i < 400; i++) moveWindow(t.c, w, i * 3 % 900, i * 2 % 700);
  roundTrip(t.c);
  return 0;
}

// The topmost of the crowd unmapped and mapped again 200 times.
double remapAmongWindows(Target& t) {
  xcb_window_t w = t.windows.back();
  for (int i = 0; i < 200; i++) {
    xcb_unmap_window(t.c, w);
    xcb_map_window(t.c, w);
  }
  roundTrip(t.c);
  return 0;
}

// The crowd is made before each run and destroyed after it: windows of the
// other targets, even unmapped, would lengthen the server's walks over the
// root's children.
void makeWindows(Target& t, int count) {
  for (int i = 0; i < count; i++) {
    t.windows.push_back(newWindow(t, i));
    xcb_map_window(t.c, t.windows.back());
  }
  roundTrip(t.c);
}

void dropWindows(Target& t) {
  for (xcb_window_t w : t.windows) xcb_destroy_window(t.c, w);
  t.windows.clear();
  roundTrip(t.c);
}

double changeGCs(Target& t) {
  for (int i = 0; i < 100000; i++) {
    uint32_t values[] = {uint32_t(i) & 0xffffff, ~uint32_t(i) & 0xffffff};
    xcb_change_gc(t.c, t.gc, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND, values);
  }
  roundTrip(t.c);
  return 0;
}

double smallImages(Target& t) {
  static uint8_t image[10 * 10 * 4];
  for (int i = 0; i < 20000; i++) {
    image[0] = uint8_t(i);
    xcb_put_image(t.c, XCB_IMAGE_FORMAT_Z_PIXMAP, t.pixmap, t.gc, 10, 10, int16_t(i * 10 % (kSide - 10)),
                  int16_t(i / 50 * 10 % (kSide - 10)), 0, 24, sizeof image, image);
  }
  roundTrip(t.c);
  return 0;
}

// One-rectangle fills and one-point draws in turn, flushed 5,000 at a time.
double smallDrawing(Target& t) {
  for (int i = 0; i < 100000; i++) {
    int16_t x = int16_t(i % kSide), y = int16_t((i / kSide) % kSide);
    if (i & 1) {
      xcb_point_t point = {x, y};
      xcb_poly_point(t.c, XCB_COORD_MODE_ORIGIN, t.pixmap, t.gc, 1, &point);
    } else {
      xcb_rectangle_t rectangle = {x, y, 4, 4};
      xcb_poly_fill_rectangle(t.c, t.pixmap, t.gc, 1, &rectangle);
    }
    if (i % 5000 == 4999) xcb_flush(t.c);
  }
  roundTrip(t.c);
  return 0;
}

double connections(Target& t) {
  for (int i = 0; i < 50; i++) {
    xcb_connection_t* other = xcb_connect(t.display.c_str(), nullptr);
    if (!xcb_connection_has_error(other)) roundTrip(other);
    xcb_disconnect(other);
  }
  return 0;
}

const Work kWorks[] = {
    {"InternAtom round trips (2000)", internAtoms},
    {"GetInputFocus round trips (2000)", inputFocus},
    {"GetProperty round trips (2000)", properties},
    {"GetInputFocus beside 200 idle clients", inputFocus, 200},
    {"InternAtom pipelined (10000)", pipelinedAtoms},
    {"NoOperation pipelined (100000) + sync", noOperations},
    {"small requests pipelined (100000)", smallRequests, 0, true},
    {"PolyFillRectangle pipelined (100000)", smallRectangles, 0, true},
    {"PutImage bandwidth (32 x 1 MiB)", putImages, 0, true},
    {"GetImage bandwidth (32 x 1 MiB)", getImages},
    {"connection set-up (50)", connections, 0, true},
    {"window life cycle (100 x 6 steps)", windowLifeCycle, 0, true},
    {"move among 100 windows (400)", moveAmongWindows, 0, true, 100},
    {"unmap+map among 100 windows (200)", remapAmongWindows, 0, true, 100},
    {"move among 1000 windows (400)", moveAmongWindows, 0, true, 1000},
    {"unmap+map among 1000 windows (200)", remapAmongWindows, 0, true, 1000},
    {"ChangeGC pipelined (100000)", changeGCs, 0, true},
    {"PutImage 10x10 pipelined (20000)", smallImages, 0, true},
    {"small drawing mixed (100000)", smallDrawing, 0, true},
};

Run measure(const Work& work, Target& t) {
  for (Target* each : {&t, t.twin.get()})
    if (each && work.windows) makeWindows(*each, work.windows);
  auto start = Clock::now();
  std::thread twin;
  if (t.twin) twin = std::thread([&work, &t] { work.run(*t.twin); });
  double bytes = work.run(t);
  if (twin.joinable()) twin.join();
  Run run{std::chrono::duration<double>(Clock::now() - start).count(), bytes};
  for (Target* each : {&t, t.twin.get()})
    if (each && work.windows) dropWindows(*each);
  return run;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool connect(Target& t) {
  if (t.twin && !connect(*t.twin)) return false;
  t.c = xcb_connect(t.display.c_str(), nullptr);
  if (xcb_connection_has_error(t.c)) return false;
  t.root = xcb_setup_roots_iterator(xcb_get_setup(t.c)).data->root;
  t.pixmap = xcb_generate_id(t.c);
  xcb_create_pixmap(t.c, 24, t.pixmap, t.root, kSide, kSide);
  t.gc = xcb_generate_id(t.c);
  xcb_create_gc(t.c, t.gc, t.pixmap, 0, nullptr);
  if (auto* reply = xcb_intern_atom_reply(t.c, xcb_intern_atom(t.c, 0, 14, "PALVON_BENCH_P"), nullptr)) {
    t.property = reply->atom;
    free(reply);
  }
  uint8_t value[64];
  memset(value, 'p', sizeof value);
  xcb_change_property(t.c, XCB_PROP_MODE_REPLACE, t.root, t.property, XCB_ATOM_STRING, 8, sizeof value, value);
  roundTrip(t.c);
  return !xcb_connection_has_error(t.c);
}

long residentBytes(long pid) {
  FILE* f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof line, f))
    if (sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
  fclose(f);
  return kb * 1024;
}

// Opens `count` clients, each through its first round trip.
std::vector<xcb_connection_t*> openClients(const Target& t, int count) {
  std::vector<xcb_connection_t*> clients;
  for (int i = 0; i < count; i++) {
    xcb_connection_t* c = xcb_connect(t.display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) {
      xcb_disconnect(c);
      fprintf(stderr, "%s: client %d of %d refused\n", t.label.c_str(), i + 1, count);
      break;
    }
    roundTrip(c);
    clients.push_back(c);
  }
  return clients;
}

// Closes the clients and waits until the target has seen them go: a round
// trip on the target's own connection, then a moment for the close-downs.
void closeClients(Target& t, std::vector<xcb_connection_t*>& clients) {
  for (xcb_connection_t* c : clients) xcb_disconnect(c);
  clients.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  roundTrip(t.c);
}

void memorySection(std::vector<Target>& targets, int clients, int cycles) {
  printf("\nmemory (%d idle clients; then resident set after each of %d cycles of %d connects)\n", clients, cycles,
         clients);
  for (Target& t : targets) {
    if (!t.pid) continue;
    long before = residentBytes(t.pid);
    std::vector<xcb_connection_t*> open = openClients(t, clients);
    long after = residentBytes(t.pid);
    size_t opened = open.size();
    closeClients(t, open);
    printf("  %-10s per idle client %7.1f kB   cycles (MB):", t.label.c_str(),
           opened ? double(after - before) / double(opened) / 1024 : 0.0);
    for (int k = 0; k < cycles; k++) {
      open = openClients(t, clients);
      closeClients(t, open);
      printf(" %.1f", double(residentBytes(t.pid)) / (1024 * 1024));
      fflush(stdout);
    }
    printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5, clients = 500, cycles = 10;
  const char* only = nullptr;
  std::vector<Target> targets;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "-w" && i + 1 < argc) {
      only = argv[++i];
      continue;
    }
    if ((arg == "-r" || arg == "-m" || arg == "-c") && i + 1 < argc) {
      int value = std::max(0, atoi(argv[++i]));
      (arg == "-r" ? rounds : arg == "-m" ? clients : cycles) = value;
      continue;
    }
    size_t equals = arg.find('='), at = arg.find('@');
    if (equals == std::string::npos) {
      fprintf(stderr, "usage: %s [-r ROUNDS] [-m CLIENTS] [-c CYCLES] [-w WORK] LABEL=DISPLAY[@PID] ...\n", argv[0]);
      return 2;
    }
    Target t;
    t.label = arg.substr(0, equals);
    t.display = arg.substr(equals + 1, at == std::string::npos ? std::string::npos : at - equals - 1);
    if (size_t plus = t.display.find('+'); plus != std::string::npos) {
      t.twin = std::make_shared<Target>();
      t.twin->label = t.label;
      t.twin->display = t.display.substr(plus + 1);
      t.display.resize(plus);
    }
    if (at != std::string::npos) t.pid = atol(arg.c_str() + at + 1);
    targets.push_back(t);
  }
  if (targets.size() < 2 || rounds < 1) {
    fprintf(stderr, "usage: %s [-r ROUNDS] [-m CLIENTS] [-c CYCLES] [-w WORK] LABEL=DISPLAY[@PID] ...\n", argv[0]);
    return 2;
  }
  // One connection to each stays open throughout: the proxy keeps its
  // session, and no client leaving ends it.
  for (Target& t : targets) {
    if (!connect(t)) {
      fprintf(stderr, "cannot connect to %s (%s)\n", t.display.c_str(), t.label.c_str());
      return 1;
    }
  }
  size_t n = targets.size();
  printf("%-38s %12s", "work (ratio to bare, higher is better)", (targets[0].label + " ms").c_str());
  for (size_t k = 1; k < n; k++) printf(" %9s", targets[k].label.c_str());
  for (size_t k = 2; k < n; k++) printf(" %9s", (targets[k].label + "/" + targets[1].label).substr(0, 9).c_str());
  printf("\n");
  for (const Work& work : kWorks) {
    if (only && !strstr(work.name, only)) continue;
    std::vector<std::vector<xcb_connection_t*>> idle(n);
    for (size_t k = 0; k < n && work.idleClients; k++)
      if (!targets[k].twin) idle[k] = openClients(targets[k], work.idleClients);

    std::vector<std::vector<double>> times(n);
    double bytes = 0;
    // Each round starts with another target, so none always runs first.
    for (int r = 0; r < rounds; r++) {
      for (size_t j = 0; j < n; j++) {
        size_t k = (j + size_t(r)) % n;
        if (targets[k].twin && !work.bothServers) continue;
        Run run = measure(work, targets[k]);
        times[k].push_back(run.seconds);
        if (k == 0) bytes = run.bytes;
      }
    }
    for (size_t k = 0; k < n; k++)
      if (!idle[k].empty()) closeClients(targets[k], idle[k]);
    std::vector<double> medians(n);
    for (size_t k = 0; k < n; k++) medians[k] = times[k].empty() ? 0 : median(times[k]);
    auto ratio = [](double num, double den) {
      if (num > 0 && den > 0)
        printf(" %9.2f", num / den);
      else
        printf(" %9s", "-");
    };
    char bare[32];
    if (bytes > 0)
      snprintf(bare, sizeof bare, "%.0f MB/s", bytes / medians[0] / 1e6);
    else
      snprintf(bare, sizeof bare, "%.1f", medians[0] * 1000);
    printf("%-38s %12s", work.name, bare);
    for (size_t k = 1; k < n; k++) ratio(medians[0], medians[k]);
    // A pair against the relay would compare two servers' work with one's.
    for (size_t k = 2; k < n; k++) ratio(targets[k].twin ? 0 : medians[1], medians[k]);
    if (bytes > 0) {
      printf("   MB/s:");
      for (size_t k = 1; k < n; k++) printf(" %.0f", medians[k] > 0 ? bytes / medians[k] / 1e6 : 0.0);
    }
    printf("\n");
    fflush(stdout);
  }
  if (clients > 0) memorySection(targets, clients, cycles);
  for (Target& t : targets) {
    xcb_disconnect(t.c);
    if (t.twin) xcb_disconnect(t.twin->c);
  }
  return 0;
}
