// Window geometry that a zoomed or turned head reports back (the structure
// events of its meta screen's main head) in the terms the client gave it.
//
// A zoomed-out head shows neighbouring meta positions in one of its pixels,
// so a report scaled back can name a geometry no client set (13 comes back
// as 14). The report is answered instead with a meta geometry the proxy
// itself gave the window that scales to it: the window's geometry in the
// model, else one of the last geometries noted for it (a client may change
// a window again before the head reports the first change, and a window's
// gravity moves it with every resize of its parent). Only when none fits is
// the report scaled back, rounded.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyWindow;

// As ConfigureWindow carries it: the outer corner relative to the parent's
// inside, the inside size, the border.
struct WindowGeometry {
  i32 x, y, width, height, border;
};

// The window's geometry in the model.
WindowGeometry modelGeometry(const ProxyWindow* window);

// Notes the window's geometry in the model once it changed, when its meta
// screen's main head is zoomed or turned (else nothing: that head reports
// what it was given). Called by the model's changes of a window's place or
// size.
void noteWindowGeometry(const ProxyWindow* window);

// The meta geometry of the window that the head reports as `reported` (its
// own pixels), comparing the fields of `compare` (ConfigureWindow's bits: 1
// x, 2 y, 4 width, 8 height, 16 border); false when none is known to fit.
bool findSentGeometry(const Head* head, const ProxyWindow* window, const WindowGeometry& reported, u32 compare,
                      WindowGeometry* meta);

}  // namespace palvon
