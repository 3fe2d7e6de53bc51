// Meta screens and their heads. A MetaScreen is one screen offered to the
// clients; a Head is one screen of one real X server shown in it.
//
// Ownership: the screen list in ProxyState owns the meta screens for the
// process's lifetime; a meta screen owns its heads. Main thread only.
#pragma once

#include <X11/Xlib.h>

#include "gl/glcaps.h"
#include "base/strings.h"

namespace palvon {

struct ServerDisplay;
struct VisualRecord;
struct HeadScaler;
struct ProxyWindow;
struct Telepointer;
struct MetaScreen;
struct Order;

constexpr u32 kHeadNameMax = 255;
constexpr u32 kHeadCleanupSlots = 8;

struct HeadRect {
  i32 x, y;
  i32 width, height;
};

// Run when the head is removed, last slot first.
using HeadCleanup = void (*)(struct Head* head, void* argument);

struct Head {
  Head* next;                 // next head of the meta screen
  Head* back;                 // previous head of the meta screen
  Head* nextOnDisplay;        // next head of the same server display
  MetaScreen* metaScreen;
  ServerDisplay* serverDisplay;
  u32 serverIndex;            // selects the client's ServerLink for this head
  u32 id;                     // head id (resource type 9)
  u32 numberInScreen;
  u32 numberOnDisplay;
  Head* equivalentHead;       // first head showing the same screen with the same scaler
  char name[kHeadNameMax + 1];
  char configuredDisplay[kHeadNameMax + 1];
  Display* display;
  u32 screen;
  Window root;
  Colormap defaultColormap;
  u32 defaultDepth;
  u64 blackPixel, whitePixel;
  u32 width, height;          // pixels
  u32 widthMM, heightMM;
  VisualRecord* visuals;      // the screen's visuals, then the emulated ones
  i32 visualCount;
  VisualRecord* visualMatches;  // parallel to the meta screen's visuals (id 0: none)
  u8 depthTable[33];          // client depth -> depth used on the head
  double zoomX, zoomY;
  i16 panOffsetX, panOffsetY;
  u32 panModifiers;
  // Geometry.
  i32 borderWidth;
  HeadRect clip;              // on the real screen
  HeadRect logical;           // in the meta screen
  i32 offsetX, offsetY;       // offset on its real screen
  u32 rotation;               // 0..3
  HeadScaler* scaler;
  u32 tags;                   // HeadTags
  u32 given;                  // union of the settings' change bits
  Telepointer* telepointer;
  // The proxy's windows on the head's server.
  Window window;              // the head window
  Window innerWindow;
  Window rootWindow;          // the meta screen's root on this head
  Window cursorWindow;
  Window trackingWindow;
  Window keyGrabWindow;
  Pixmap backgroundPixmap;
  u8 inWindow;
  Window inWindowParent;
  HeadCleanup cleanup[kHeadCleanupSlots];
  void* cleanupArgument[kHeadCleanupSlots];
  i32 visualMatchCount;       // records in visualMatches (the meta screen's count when built)
};

struct MetaScreen {
  MetaScreen* next;
  MetaScreen* tail;           // in the first element only: the last element
  u32 number;
  Head* heads;
  VisualRecord* rootVisual;
  ProxyWindow* rootWindow;
  u32 rootId;
  u32 defaultColormap;
  u16 headCount;
  u8 backingStore;
  u8 saveUnders;
  u8 visualIdsConsecutive;
  u32 changed;
  i32 x, y;
  u32 width, height;
  double positionMMX, positionMMY;
  double widthMM, heightMM;
  u64 blackPixel, whitePixel;
  u32 minInstalledMaps, maxInstalledMaps;
  char* name;
  u32 placement;
  u32 referenceScreen;
  i32 offsetX, offsetY;
  Head* colorHead;
  Head* mainHead;
  VisualRecord* visuals;
  i32 visualCount;
  u32 glVersionCode;
  GLCapabilities gl;
  Head* tag40Head;
  u32 resizePolicy;
  i32 keepVisible;
};

struct MetaScreenSettings {
  u32 mask;
  char* name;         // 0x1
  i32 width;          // 0x2
  i32 height;         // 0x4
  u32 placement;      // 0x8
  u32 referenceScreen;  // 0x10
  i32 offsetX;        // 0x20
  i32 offsetY;        // 0x40
  i32 keepVisible;    // 0x80
  u32 widthMM;        // 0x400
  u32 heightMM;       // 0x800
  u32 resizePolicy;   // 0x1000
};

}  // namespace palvon
