// The records of DOUBLE-BUFFER back-buffer names and Multi-Buffering image
// buffers, as far as drawing needs them: each belongs to a window, and on a
// display that carries DOUBLE-BUFFER as Multi-Buffering a name
// stands for a pair of image buffers, and drawing on the name goes to the
// one not shown. The modules (Xext/buffers/dbe.h, Xext/buffers/multibuf.h) make and free
// the records.
//
// Main thread only.
#pragma once

#include "base/strings.h"

namespace palvon {

struct Head;
struct ProxyWindow;
struct ServerDisplay;

// One back-buffer name (the object of its RT_DBE_BUFFER resource), on the
// module's list in allocation order.
struct DbeBuffer {
  DbeBuffer* next;
  DbeBuffer* previous;
  u32 window;                       // the client's window id; the window may be gone
  u32 id;                           // the back-buffer name
  u8 swapAction;                    // as given at allocation
  u8 toggle;                        // 0 at allocation, flipped by every swap
  u32 companion;                    // the second image buffer of the pair on emulating displays
  const ProxyWindow* windowRecord;  // compared, never followed (bufferOutlivedWindow)
};

// One image buffer (the object of its RT_MBUF_BUFFER resource), on the
// module's list in creation order, so that a window's buffers keep the
// order the client gave them.
struct MbufBuffer {
  MbufBuffer* next;
  MbufBuffer* previous;
  u32 id;
  u32 window;  // the client's window id; the window may be gone
  u8 updateAction;
  u8 updateHint;
  const ProxyWindow* windowRecord;  // compared, never followed (bufferOutlivedWindow)
};

DbeBuffer* lookupDbeBuffer(u32 id);

// Buffers go with their window, but the window tree tells no one when a
// window is destroyed: a buffer whose window id no longer names the record
// it was made for outlived its window and counts as gone.
bool bufferOutlivedWindow(u32 window, const ProxyWindow* record);

// The window of a buffer record of either type, null when it is gone.
ProxyWindow* bufferWindow(u32 type, void* object);

// Whether DOUBLE-BUFFER is carried as Multi-Buffering on the display.
bool displayEmulatesDoubleBuffer(const ServerDisplay* display);

// Which of the pair is not shown, and takes the drawing: the companion
// until the first swap shows it, then the name, and so on.
inline u32 hiddenBufferOfPair(u32 name, u32 companion, u8 toggle) { return toggle ? name : companion; }

// The id of a drawable on the head: a back-buffer name on an emulating
// display becomes the hidden buffer of its pair; every other id stays.
u32 resolveDoubleBufferDrawable(u32 id, const Head* head);

}  // namespace palvon
