// What the shape and shared-memory tests through the proxy program share:
// a window's shape as text, the server's copy of a client window, and a
// SysV segment that goes with the test.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/shape.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <string>

#include "support/rawclient.h"

namespace palvon::test {

// Through a raw client: a mapped 200x100 window at (300, 50) whose bounding
// shape is set to one box (0, 0, 50, 40) at offset (5, 5); its id, with
// the reply to ShapeGetRectangles for it (empty when none came).
inline uint32_t shapedWindowThrough(RawClient& c, uint8_t shape, Bytes* rectangles) {
  uint32_t window = c.resourceIdBase() | 1;
  Bytes create(28);
  c.put32(create, 0, window);
  c.put32(create, 4, c.rootWindow());
  c.put16(create, 8, 300);
  c.put16(create, 10, 50);
  c.put16(create, 12, 200);
  c.put16(create, 14, 100);
  c.put16(create, 18, InputOutput);
  c.send(c.request(X_CreateWindow, 0, create));
  Bytes id(4);
  c.put32(id, 0, window);
  c.send(c.request(X_MapWindow, 0, id));
  Bytes box(20);  // Set, bounding, unsorted; offset (5, 5); one box
  c.put32(box, 4, window);
  c.put16(box, 8, 5);
  c.put16(box, 10, 5);
  c.put16(box, 16, 50);
  c.put16(box, 18, 40);
  c.send(c.request(shape, 1, box));
  Bytes get(8);
  c.put32(get, 0, window);
  c.send(c.request(shape, 8, get));
  *rectangles = c.readMessage();
  return window;
}

// The rectangles of a window's shape as text, "(x,y,w,h)" each.
inline std::string shapeText(Display* display, Window window, int kind) {
  int count = 0, ordering = 0;
  XRectangle* rectangles = XShapeGetRectangles(display, window, kind, &count, &ordering);
  std::string text;
  for (int i = 0; i < count; i++)
    text += "(" + std::to_string(rectangles[i].x) + "," + std::to_string(rectangles[i].y) + "," +
            std::to_string(rectangles[i].width) + "," + std::to_string(rectangles[i].height) + ")";
  if (rectangles) XFree(rectangles);
  return text;
}

// The server's copy of a client window (InputOutput) of that size,
// searched below `top` (the proxy may keep windows of its own in between).
inline Window findBySize(Display* display, Window top, unsigned width, unsigned height) {
  Window root = 0, parent = 0, *children = nullptr, found = 0;
  unsigned count = 0;
  if (!XQueryTree(display, top, &root, &parent, &children, &count)) return 0;
  for (unsigned i = 0; i < count && !found; i++) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, children[i], &attributes) && attributes.c_class == InputOutput &&
        unsigned(attributes.width) == width && unsigned(attributes.height) == height)
      found = children[i];
    else
      found = findBySize(display, children[i], width, height);
  }
  if (children) XFree(children);
  return found;
}

inline Window serverWindow(Display* display, unsigned width, unsigned height) {
  return findBySize(display, DefaultRootWindow(display), width, height);
}

// A private segment, attached by the test, removed with the object.
struct Segment {
  XShmSegmentInfo info{};
  explicit Segment(size_t size, int mode = 0600, bool readOnly = false) {
    info.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | mode);
    info.shmaddr = static_cast<char*>(shmat(info.shmid, nullptr, readOnly ? SHM_RDONLY : 0));
    info.readOnly = readOnly;
  }
  ~Segment() {
    shmdt(info.shmaddr);
    shmctl(info.shmid, IPC_RMID, nullptr);
  }
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;
};

// How many processes have the segment attached; -1 when it is gone.
inline int attachments(int shmid) {
  shmid_ds info{};
  return shmctl(shmid, IPC_STAT, &info) == 0 ? int(info.shm_nattch) : -1;
}

}  // namespace palvon::test
