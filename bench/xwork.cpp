// The same X work straight against a server and through the proxy, round by
// round in turn, so that both see the same machine load; prints each
// work's median time on both and the ratio proxy / direct.
//
//   bench_xwork DIRECT_DISPLAY PROXY_DISPLAY [rounds]
//
// bench/run.sh starts the servers and the proxy (one and two heads).
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Work {
  const char* name;
  void (*run)(xcb_connection_t* c, const char* display);
};

void roundTrip(xcb_connection_t* c) { free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

void internAtoms(xcb_connection_t* c, const char*) {
  for (int i = 0; i < 2000; i++) {
    char name[32];
    snprintf(name, sizeof name, "PALVON_BENCH_%d", i % 64);
    free(xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr));
  }
}

void inputFocus(xcb_connection_t* c, const char*) {
  for (int i = 0; i < 2000; i++) roundTrip(c);
}

void noOperations(xcb_connection_t* c, const char*) {
  for (int i = 0; i < 100000; i++) xcb_no_operation(c);
  roundTrip(c);
}

void properties(xcb_connection_t* c, const char*) {
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  xcb_atom_t atom = 0;
  if (auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 15, "PALVON_BENCH_P"), nullptr)) {
    atom = reply->atom;
    free(reply);
  }
  uint8_t data[64];
  for (int i = 0; i < 1000; i++) {
    memset(data, i & 0xff, sizeof data);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, atom, XCB_ATOM_STRING, 8, sizeof data, data);
    free(xcb_get_property_reply(c, xcb_get_property(c, 0, root, atom, XCB_ATOM_ANY, 0, 64), nullptr));
  }
  xcb_delete_property(c, root, atom);
  roundTrip(c);
}

void connections(xcb_connection_t*, const char* display) {
  for (int i = 0; i < 50; i++) {
    xcb_connection_t* other = xcb_connect(display, nullptr);
    if (!xcb_connection_has_error(other)) roundTrip(other);
    xcb_disconnect(other);
  }
}

const Work kWorks[] = {
    {"InternAtom round trips (2000)", internAtoms},
    {"GetInputFocus round trips (2000)", inputFocus},
    {"NoOperation pipelined (100000)", noOperations},
    {"ChangeProperty + GetProperty (1000)", properties},
    {"connection set-up (50)", connections},
};

double seconds(const Work& work, xcb_connection_t* c, const char* display) {
  auto start = Clock::now();
  work.run(c, display);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s DIRECT_DISPLAY PROXY_DISPLAY [rounds]\n", argv[0]);
    return 2;
  }
  const char* displays[2] = {argv[1], argv[2]};
  int rounds = argc > 3 ? std::max(1, atoi(argv[3])) : 5;
  // One connection to each stays open throughout: the proxy keeps its
  // session, and no client leaving ends it.
  xcb_connection_t* connections[2];
  for (int k = 0; k < 2; k++) {
    connections[k] = xcb_connect(displays[k], nullptr);
    if (xcb_connection_has_error(connections[k])) {
      fprintf(stderr, "cannot connect to %s\n", displays[k]);
      return 1;
    }
  }
  printf("%-38s %12s %12s %8s\n", "work", "direct (ms)", "proxy (ms)", "ratio");
  for (const Work& work : kWorks) {
    std::vector<double> times[2];
    for (int r = 0; r < rounds; r++)
      for (int k = 0; k < 2; k++) times[k].push_back(seconds(work, connections[k], displays[k]));
    double direct = median(times[0]), proxy = median(times[1]);
    printf("%-38s %12.1f %12.1f %8.2f\n", work.name, direct * 1000, proxy * 1000, proxy / direct);
    fflush(stdout);
  }
  for (xcb_connection_t* c : connections) xcb_disconnect(c);
  return 0;
}
