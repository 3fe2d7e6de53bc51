// What the pointer and keyboard coordination keeps per head and per server
// display: the crossing record of a head's rectangle, the rate-limited
// pointer motion waiting for its timer, the last real pointer position, the
// pointer transformation used by rotation, the auxiliary windows' state and
// the telepointer's last place; per display the last pointer position seen,
// the head under its pointer and the null mouse.
//
// Embedded in Head (`input`) and ServerDisplay (`input`), zeroed with them.
// Main thread only.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>

#include "base/strings.h"

namespace palvon {

struct Order;
struct CursorRecord;
struct ServerDisplay;
struct Head;

// Where a head lies for pointer crossing: all positions in one space shared
// by every head (1/10000 millimetre), so heads of different sizes and
// servers can be compared.
struct HeadArea {
  u8 excluded;            // the pointer never enters this head
  u8 wrapX, wrapY;        // leaving one side enters the opposite head of the row (column)
  i32 originX, originY;   // the head's top-left corner
  i32 x, y;               // the head's rectangle
  i32 width, height;
  i32 pointerX, pointerY; // where the pointer is (or leaves)
  i32 entryX, entryY;     // where it enters, set by findHeadEntry
};

// A move held back by the head's pointer sample rate.
struct PendingMotion {
  u8 pending;
  u8 relative;            // x, y add up; otherwise they replace
  i32 x, y;
  Order* timer;
};

struct HeadInput {
  HeadArea area;
  PendingMotion motion;
  u8 relativeMotion;      // moves on this head go out as relative warps
  u8 haveRealPosition;
  i32 lastRealX, lastRealY;   // last real pointer position seen on the head
  // The head's place on its server in 1/10000 mm (rotation maps through it).
  i32 transformX, transformY;
  u32 transformWidth, transformHeight;
  u8 overlapped;          // another head covers part of this one
  u8 obscured;            // the head's window is fully obscured
  u8 entered;             // the pointer is inside an in-window head's window
  u8 colormapsFollowPointer;
  u8 clickShown;          // the click window is mapped
  u8 clickCursorBlank;    // the click window's blank cursor is set
  u8 telepointerPlaced;
  u8 iconified;
  i32 telepointerX, telepointerY;
  CursorRecord* lastCursor;   // the cursor the telepointer last showed
  Window frame;           // the window manager's frame of an in-window head (0: the root)
  Window dragWindow;      // a press in it drags the head's window
  ServerDisplay* inputControlNote;  // the display that held input control when the head was clicked
  u64 colormapUndoMs;     // loop clock of the last undone colormap re-installation
  u64 panStartMs;         // loop clock when the pan modifier was first seen held
};

// The physical mouse taken away from the core pointer while another server
// holds input control (its motion then reaches the proxy as device events).
struct NullMouseState {
  u8 active;
  u8 motionType, pressType, releaseType;  // XInput event types of the physical mouse
  i32 grabbed;            // kNullMouseGrabbed while the physical mouse is grabbed
  u32 physicalId, nullId;
  XDevice* physical;
  XDevice* nullDevice;
};
constexpr i32 kNullMouseGrabbed = 0x7fffffff;

struct DisplayInput {
  i32 lastPointerX, lastPointerY;  // last position seen of this server's pointer
  Head* pointerHead;               // the head under this server's pointer
  NullMouseState nullMouse;
  // Keys the proxy pressed here for another server's keyboard, and the
  // presses and releases it made itself when this server began or stopped
  // taking the keys (no client is to hear those); by this server's keycodes.
  u8 handedKeys[32];
  u8 unheardPresses[32];
  u8 unheardReleases[32];
  // Buttons (state bits) the proxy held here for a drag the pointer brought
  // from the input server, and those it let go here that no client is to
  // hear.
  u32 carriedButtons;
  u32 unheardButtons;
  // The modifier and lock bits of this server's last pointer motion that
  // moved another server's pointer (a change is carried there first).
  u8 motionModifiers;
};

}  // namespace palvon
