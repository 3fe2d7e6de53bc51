// Rows of the core events (codes 2 to 34). Codes 0 and 1 are errors and
// replies, never events; GenericEvent (35) is routed by its extension.
#include <X11/X.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/events/translate.h"
#include "Proxy/resources/windowtree.h"

namespace palvon {

// clang-format off
const EventRow kCoreEventRows[] = {
    {KeyPress, "KeyPress", EventKeyPress, "bbsiiiisssss"},
    {KeyRelease, "KeyRelease", EventKeyRelease, "bbsiiiisssss"},
    {ButtonPress, "ButtonPress", EventButtonPress, "bbsiiiisssss"},
    {ButtonRelease, "ButtonRelease", EventButtonRelease, "bbsiiiisssss"},
    {MotionNotify, "MotionNotify", EventMotionNotify, "bbsiiiisssss"},
    {EnterNotify, "EnterNotify", EventEnterNotify, "bbsiiiisssss"},
    {LeaveNotify, "LeaveNotify", EventLeaveNotify, "bbsiiiisssss"},
    {FocusIn, "FocusIn", EventFocusIn, "bbsi"},
    {FocusOut, "FocusOut", EventFocusOut, "bbsi"},
    {KeymapNotify, "KeymapNotify", EventKeymapNotify, ""},  // no sequence number
    {Expose, "Expose", EventExpose, "bbsisssss"},
    {GraphicsExpose, "GraphicsExpose", EventGraphicsExpose, "bbsissssss"},
    {NoExpose, "NoExpose", EventNoExpose, "bbsis"},
    {VisibilityNotify, "VisibilityNotify", EventVisibilityNotify, "bbsi"},  // the proxy sends its own
    {CreateNotify, "CreateNotify", EventCreateNotify, "bbsiisssss"},
    {DestroyNotify, "DestroyNotify", EventDestroyNotify, "bbsii"},
    {UnmapNotify, "UnmapNotify", EventUnmapNotify, "bbsii"},
    {MapNotify, "MapNotify", EventMapNotify, "bbsii"},
    {MapRequest, "MapRequest", EventMapRequest, "bbsii"},
    {ReparentNotify, "ReparentNotify", EventReparentNotify, "bbsiiiss"},
    {ConfigureNotify, "ConfigureNotify", EventConfigureNotify, "bbsiiisssss"},
    {ConfigureRequest, "ConfigureRequest", EventConfigureRequest, "bbsiiissssss"},
    {GravityNotify, "GravityNotify", EventGravityNotify, "bbsiiss"},
    {ResizeRequest, "ResizeRequest", EventResizeRequest, "bbsiss"},
    {CirculateNotify, "CirculateNotify", EventCirculateNotify, "bbsiii"},
    {CirculateRequest, "CirculateRequest", EventCirculateRequest, "bbsiii"},
    {PropertyNotify, "PropertyNotify", EventPropertyNotify, "bbsiii"},
    {SelectionClear, "SelectionClear", EventSelectionClear, "bbsiii"},
    {SelectionRequest, "SelectionRequest", EventSelectionRequest, "bbsiiiiii"},
    {SelectionNotify, "SelectionNotify", EventSelectionNotify, "bbsiiiii"},
    {ColormapNotify, "ColormapNotify", EventColormapNotify, "bbsii"},
    {ClientMessage, "ClientMessage", EventClientMessage, "H2"},
    {MappingNotify, "MappingNotify", EventMappingNotify, "bbs"},
};
// clang-format on

const u32 kCoreEventRowCount = rowCount(kCoreEventRows);

}  // namespace palvon
