// Talking to a server display: its time, request markers, the lock
// selection two proxies contest a server with, and probes of extensions the
// proxy uses itself.
#include <errno.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xatom.h>

#include "Proxy/servers/display.h"
#include "Proxy/servers/failsafe.h"
#include "base/logging.h"
#include "xsupport/xtarget.h"

namespace palvon {

namespace {

// A window nobody sees, to make the server send one event back.
Window createProbeWindow(Display* display, long eventMask) {
  XSetWindowAttributes attributes = {};
  attributes.event_mask = eventMask;
  return XfsCreateWindow(display, DefaultRootWindow(display), -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent,
                         CWEventMask, &attributes);
}

}  // namespace

Window pingDisplay(Display* display) {
  Window window = createProbeWindow(display, PropertyChangeMask);
  if (!window) return 0;
  long value = 0;
  XfsChangeProperty(display, window, XA_POINT, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
  XfsSelectInput(display, window, NoEventMask);
  XfsDestroyWindow(display, window);
  XfsFlush(display);
  return window;
}

Time getServerTime(Display* display) {
  Window window = pingDisplay(display);
  if (!window) return CurrentTime;
  XEvent event;
  XfsWindowEvent(display, window, PropertyChangeMask, &event);
  if (isDisplayOffline(display)) return CurrentTime;
  return event.xproperty.time;
}

void markDisplayRequest(Display* display, DisplayMarker* marker) {
  marker->request = NextRequest(display);
  marker->window = createProbeWindow(display, StructureNotifyMask);
  if (marker->window) XfsDestroyWindow(display, marker->window);
  XfsFlush(display);
}

// --- The lock selection ------------------------------------------------------

bool setSelectionText(Display* display, Atom selection, Window window, const char* text) {
  XfsGrabServer(display);
  Window owner = XfsGetSelectionOwner(display, selection);
  if (owner != None && owner != window) {
    XfsUngrabServer(display);
    XfsFlush(display);
    return false;
  }
  if (owner != window) XfsSetSelectionOwner(display, selection, window, CurrentTime);
  XfsChangeProperty(display, window, selection, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text), static_cast<int>(strlen(text) + 1));
  XfsUngrabServer(display);
  XfsFlush(display);
  return !isDisplayOffline(display);
}

bool getSelectionText(Display* display, Atom selection, Window* owner, char** text) {
  *text = nullptr;
  *owner = XfsGetSelectionOwner(display, selection);
  if (*owner == None) return false;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  XErrorTrap trap(display);
  int status = XfsGetWindowProperty(display, *owner, selection, 0, 1024, False, XA_STRING, &type, &format, &count,
                                    &after, &data);
  XfsSync(display, False);
  bool failed = trap.result() != 0;
  if (failed || status != Success || type != XA_STRING || format != 8 || !data) {
    if (data) XFree(data);
    PALVON_UNE();
    return false;
  }
  *text = static_cast<char*>(memdupz(data, count));
  XFree(data);
  return *text != nullptr;
}

// --- Extensions ----------------------------------------------------------------

const char* probeMitShm(Display* display) {
  if (!isDisplayLocal(display)) return "Display is remote";
  int major = 0, event = 0, error = 0;
  if (!XfsQueryExtension(display, "MIT-SHM", &major, &event, &error)) return "No MIT-SHM extension";
  int id = shmget(IPC_PRIVATE, 64, IPC_CREAT | 0600);
  if (id < 0) return tmpPrintf("shmget(64 bytes) failed: %s", errnoText(errno));
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    int saved = errno;
    shmctl(id, IPC_RMID, nullptr);
    return tmpPrintf("shmat() failed: %s", errnoText(saved));
  }
  XShmSegmentInfo info = {};
  info.shmid = id;
  info.shmaddr = static_cast<char*>(address);
  info.readOnly = False;
  XErrorTrap trap(display);
  XfsShmAttach(display, &info);
  XfsSync(display, False);
  XfsShmDetach(display, &info);
  XfsSync(display, False);
  bool failed = trap.result() != 0 || isDisplayOffline(display);
  shmdt(address);
  shmctl(id, IPC_RMID, nullptr);
  // A server on this host that cannot attach the segment runs in another
  // IPC namespace (or as another user): for shared memory it is remote.
  return failed ? "Display is remote" : nullptr;
}

bool queryDoubleBufferExtension(Display* display, int* major, int* minor) {
  static bool warned = false;
  int opcode = 0, event = 0, error = 0;
  if (!XfsQueryExtension(display, "DOUBLE-BUFFER", &opcode, &event, &error)) return false;
  // A DOUBLE-BUFFER without error codes is not the standard extension, and
  // its replies cannot be trusted to match.
  if (error < 1) {
    if (!warned) LOGF(logChError, "Can't support non-standard DOUBLE-BUFFER extension");
    warned = true;
    return false;
  }
  return XfsDbeQueryExtension(display, major, minor) != 0;
}

int queryMultiBufferingExtension(Display* display) {
  int opcode = 0, event = 0, error = 0;
  if (!XfsQueryExtension(display, "Multi-Buffering", &opcode, &event, &error)) return 0;
  return opcode;
}

void setXineramaCenterHint(Display* display, Window window, int x, int y) {
  Atom atom = XfsInternAtom(display, "XINERAMA_CENTER_HINT", False);
  if (!atom) {
    PALVON_UNE();
    return;
  }
  short values[2] = {static_cast<short>(x), static_cast<short>(y)};
  XfsChangeProperty(display, window, atom, XA_INTEGER, 16, PropModeReplace, reinterpret_cast<unsigned char*>(values),
                    2);
  XfsFlush(display);
}

}  // namespace palvon
