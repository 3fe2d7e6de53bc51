// A head's settings: its name, its place in the meta screen (absolute or
// against another head), the clip rectangle it shows of its real screen, the
// border, rotation, pointer behaviour, keyboard map and tags. One routine,
// applyScreenSettings, applies a value mask of them at start-up (from the
// head's block), when roles are assigned, and at run time (the META request);
// it checks each value against the head's state and the proxy's phase, moves
// the proxy's windows on the real server and announces what changed.
//
// A head is "at run time" once the window that carries its meta screen's
// root exists (head->rootWindow); clients being connected is tested apart.
//
// Main thread only.
#pragma once

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "base/strings.h"

namespace palvon {

struct ProxyClient;

// HeadTags bits beyond those Proxy/heads/screen.h and Proxy/config/config.h name. The
// configuration words set the same bits in a head block's tags.
constexpr u32 kHeadTagFont = 0x4;
constexpr u32 kHeadTagImage = 0x8;
constexpr u32 kHeadTagKeepBelow = 0x10;
constexpr u32 kHeadTagOptimizedDraw = 0x20;
constexpr u32 kHeadTagKeepOnTop = 0x200;
constexpr u32 kHeadTagIconify = 0x1000;
constexpr u32 kHeadTagNotManaged = 0x2000;
constexpr u32 kHeadTagCooperative = 0x4000;
constexpr u32 kHeadTagServerFonts = 0x200000;
constexpr u32 kHeadTagProbeOnly = 0x800000;
constexpr u32 kHeadTagTime = 0x4000000;          // no configuration word
constexpr u32 kHeadTagInputControl = 0x8000000;  // reported only
constexpr u32 kHeadTagAnyScreen = 0x10000000;    // configuration only
constexpr u32 kHeadTagBuggyRandr = 0x20000000;
constexpr u32 kHeadTagByteSwap = 0x40000000;

// Change-mask bits of geometry: logical position and size, clip and border.
constexpr u32 kHeadGeometryBits = 0x3c030;
constexpr u32 kHeadClipBorderBits = 0x3e00;

// --- Settings -----------------------------------------------------------------------

// Applies the settings whose kHeadGiven* bits are in mask, in a fixed order.
// Every value is checked first, against what the settings before it would
// make of the head: a refusal returns its text with the head unchanged.
// Only a server or the memory failing on the way leaves what was applied
// before the failure.
// client is the requesting client (its links carry the window moves) or
// null. Every bit that changed joins head->given and is announced.
const char* applyScreenSettings(ProxyClient* client, Head* head, u32 mask, const HeadSettings* settings);

// The entry the META request will use, open to tests until it exists: the
// head named by its id (resource type 9), then applyScreenSettings. Null,
// "No head 0x%x", or the settings' error.
const char* applyScreenSettingsById(ProxyClient* client, u32 headId, u32 mask, const HeadSettings* settings);

// The head's current tag word: its stored tags with the role bits computed
// from the role holders (atom, time, font, image and input-control display,
// the meta screen's colour and GLX head) and from its display's flags.
u32 getHeadTags(const Head* head);

// Moves the head's meta root window to minus the logical origin with the
// meta screen's size, both through the head's scaler: through the client's
// link to the head's server when a client is given, else on the proxy's
// own connection. Then the pointer transformation is recomputed. Nothing
// when the head has no root window yet.
void placeHeadRootWindow(Head* head, ProxyClient* client, bool moveOnly);

// After a pan moved the logical origin: the root window and the clients
// that follow the head learn the new place (change flags as announced).
const char* reapplyHeadGeometry(Head* head, u32 changeFlags);

// --- Arithmetic (pure, for the settings above and their tests) ------------------------

// One axis of the clip rectangle on the real screen. position and size are
// the values given (posGiven / sizeGiven), current the head's; screen is the
// real screen's extent along the axis. False, with the reason, when a
// negative size leaves no room (the rectangle would be empty or negative),
// or, on a head shown on its root, when a position leaves no pixel before
// the screen's edge or a size exceeds the screen; a size that only runs past
// the edge from its position is cut there.
struct ClipAxisInput {
  i32 screen;
  i32 border;
  bool borderInMask;
  bool posGiven, sizeGiven;
  i32 position, size;
  i32 currentPosition, currentSize;
  bool inWindow;
  bool screenUnknown;  // a head without its server yet: nothing to refuse against
};
enum class ClipRefusal : u8 { kNone, kNoRoom, kPastTheEdge, kLargerThanTheScreen };
struct ClipAxisResult {
  i32 position, size;
  bool sizeFromScreen;  // size 0 asked for the screen less both borders
  ClipRefusal refusal;
};
bool computeClipAxis(const ClipAxisInput& in, ClipAxisResult* out);

// The logical origin of a head of size (width, height) placed in direction
// 1..9 against the rectangle of another head, plus the offsets. Direction 0
// gives the offsets.
void placeAgainstHead(u32 direction, const HeadRect& other, i32 width, i32 height, i32 offsetX, i32 offsetY, i32* x,
                      i32* y);

}  // namespace palvon
