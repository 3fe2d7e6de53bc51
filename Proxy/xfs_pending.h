// The failsafe wrappers the heads layer calls, until the failsafe layer's
// own header is in the tree. Each takes the arguments of its Xlib call and
// returns its type; the stand-ins in heads_pending.cpp call Xlib directly
// (no offline protection) and refuse a null display with the failure value.
#pragma once

#include <X11/Xlib.h>

namespace palvon {

int XfsGrabServer(Display* display);
int XfsUngrabServer(Display* display);
int XfsDeleteProperty(Display* display, Window window, Atom property);
int XfsDestroyWindow(Display* display, Window window);
int XfsFreeColormap(Display* display, Colormap colormap);
int XfsFreePixmap(Display* display, Pixmap pixmap);
int XfsFreeCursor(Display* display, Cursor cursor);
int XfsFlush(Display* display);
Bool XfsQueryPointer(Display* display, Window window, Window* root, Window* child, int* rootX, int* rootY, int* x,
                     int* y, unsigned int* mask);
Status XfsSendEvent(Display* display, Window window, Bool propagate, long mask, XEvent* event);
int XfsInstallColormap(Display* display, Colormap colormap);
int XfsUninstallColormap(Display* display, Colormap colormap);
char* XfsGetAtomName(Display* display, Atom atom);
Atom XfsInternAtom(Display* display, const char* name, Bool onlyIfExists);
XFontStruct* XfsQueryFont(Display* display, XID font);
XFontStruct* XfsLoadQueryFont(Display* display, const char* name);
int XfsFreeFont(Display* display, XFontStruct* font);

}  // namespace palvon
