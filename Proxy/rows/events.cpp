// Rows of the core events (codes 2 to 34). Codes 0 and 1 are errors and
// replies, never events; GenericEvent (35) is routed by its extension.
#include <X11/X.h>

#include "Proxy/rows.h"
#include "Proxy/windowtree.h"

namespace palvon {

// clang-format off
const EventRow kCoreEventRows[] = {
    {KeyPress, "KeyPress", nullptr, "bbsiiiisssss"},
    {KeyRelease, "KeyRelease", nullptr, "bbsiiiisssss"},
    {ButtonPress, "ButtonPress", nullptr, "bbsiiiisssss"},
    {ButtonRelease, "ButtonRelease", nullptr, "bbsiiiisssss"},
    {MotionNotify, "MotionNotify", nullptr, "bbsiiiisssss"},
    {EnterNotify, "EnterNotify", nullptr, "bbsiiiisssss"},
    {LeaveNotify, "LeaveNotify", nullptr, "bbsiiiisssss"},
    {FocusIn, "FocusIn", nullptr, "bbsi"},
    {FocusOut, "FocusOut", nullptr, "bbsi"},
    {KeymapNotify, "KeymapNotify", nullptr, ""},  // no sequence number
    {Expose, "Expose", nullptr, "bbsisssss"},
    {GraphicsExpose, "GraphicsExpose", nullptr, "bbsissssss"},
    {NoExpose, "NoExpose", nullptr, "bbsis"},
    {VisibilityNotify, "VisibilityNotify", EventVisibilityNotify, "bbsi"},  // the proxy sends its own
    {CreateNotify, "CreateNotify", nullptr, "bbsiisssss"},
    {DestroyNotify, "DestroyNotify", nullptr, "bbsii"},
    {UnmapNotify, "UnmapNotify", nullptr, "bbsii"},
    {MapNotify, "MapNotify", nullptr, "bbsii"},
    {MapRequest, "MapRequest", nullptr, "bbsii"},
    {ReparentNotify, "ReparentNotify", nullptr, "bbsiiiss"},
    {ConfigureNotify, "ConfigureNotify", nullptr, "bbsiiisssss"},
    {ConfigureRequest, "ConfigureRequest", nullptr, "bbsiiissssss"},
    {GravityNotify, "GravityNotify", nullptr, "bbsiiss"},
    {ResizeRequest, "ResizeRequest", nullptr, "bbsiss"},
    {CirculateNotify, "CirculateNotify", nullptr, "bbsiii"},
    {CirculateRequest, "CirculateRequest", nullptr, "bbsiii"},
    {PropertyNotify, "PropertyNotify", nullptr, "bbsiii"},
    {SelectionClear, "SelectionClear", nullptr, "bbsiii"},
    {SelectionRequest, "SelectionRequest", nullptr, "bbsiiiiii"},
    {SelectionNotify, "SelectionNotify", nullptr, "bbsiiiii"},
    {ColormapNotify, "ColormapNotify", nullptr, "bbsii"},
    {ClientMessage, "ClientMessage", nullptr, "H2"},
    {MappingNotify, "MappingNotify", nullptr, "bbs"},
};
// clang-format on

const u32 kCoreEventRowCount = rowCount(kCoreEventRows);

}  // namespace palvon
