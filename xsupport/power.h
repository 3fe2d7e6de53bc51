// Screen-saver and display power state of a real X server: core screen-saver
// settings, DPMS and FBPM (frame-buffer power management, whose client
// requests are carried here). Used to keep screens awake while a user works
// through the proxy and to hand the state from one server to another.
#pragma once

#include <X11/Xlib.h>

#include "base/strings.h"

namespace palvon {

struct PowerSettings {
  i32 timeout;          // screen saver, seconds
  i32 interval;
  i32 preferBlanking;
  i32 allowExposures;
  u8 dpmsPresent;       // listed and capable
  u8 dpmsOpcode;
  u8 dpmsEnabled;
  u16 dpmsLevel;        // 0 = on
  u16 dpmsStandby;      // time-outs, seconds
  u16 dpmsSuspend;
  u16 dpmsOff;
  u8 fbpmPresent;
  u8 fbpmEnabled;
  u16 fbpmLevel;        // 0 = on
};

// Always returns nullptr; fields of an absent extension stay "not present".
const char* xGetPowerSettings(Display* display, PowerSettings* settings);
void xSetPowerSettings(Display* display, const PowerSettings* settings);
// Nothing when both are the same display.
void xCopyPowerSettings(Display* from, Display* to);
// A pointer warp by 0,0 and a screen-saver reset, flushed.
void xResetIdle(Display* display);
// Resets the idle time and switches DPMS and FBPM back on when they are
// enabled at a power-saving level. With settings, only the extensions they
// mark present are asked.
void xForceDisplayOn(Display* display, const PowerSettings* settings);
void xWakeDisplay(Display* display);
void xActivateScreenSaver(Display* display);
// The screen whose root is the window, else ~0.
u32 xScreenOfRoot(Display* display, Window window);

// FBPM client requests. A display without FBPM gets XMissingExtension and
// the call returns 0.
Bool xFbpmQueryExtension(Display* display, int* eventBase, int* errorBase);
Status xFbpmGetVersion(Display* display, int* major, int* minor);
Bool xFbpmCapable(Display* display);
Status xFbpmEnable(Display* display, int level);
Status xFbpmDisable(Display* display);
Status xFbpmInfo(Display* display, u16* level, u8* enabled);

}  // namespace palvon
