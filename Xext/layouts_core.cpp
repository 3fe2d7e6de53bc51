// Layout strings of the core protocol: every request and its reply by major
// opcode, and every event by code. A string covers the fixed part and, where
// the variable part is a flat list, the list; messages whose variable part
// needs counts use a special layout ("H" and its number).

#include "Xext/layouts.h"

namespace palvon {

const LayoutString coreErrorLayout = "bbsis";

// clang-format off
const LayoutString coreRequestLayouts[128] = {
    "bbs",               // 0 (invalid)
    "bbsiissssssiiI",    // 1 CreateWindow
    "bbsiiI",            // 2 ChangeWindowAttributes
    "bbsi",              // 3 GetWindowAttributes
    "bbsi",              // 4 DestroyWindow
    "bbsi",              // 5 DestroySubwindows
    "bbsi",              // 6 ChangeSaveSet
    "bbsiiss",           // 7 ReparentWindow
    "bbsi",              // 8 MapWindow
    "bbsi",              // 9 MapSubwindows
    "bbsi",              // 10 UnmapWindow
    "bbsi",              // 11 UnmapSubwindows
    "bbsisbbI",          // 12 ConfigureWindow
    "bbsi",              // 13 CirculateWindow
    "bbsi",              // 14 GetGeometry
    "bbsi",              // 15 QueryTree
    "bbss",              // 16 InternAtom
    "bbsi",              // 17 GetAtomName
    "H24",               // 18 ChangeProperty
    "bbsii",             // 19 DeleteProperty
    "bbsiiiii",          // 20 GetProperty
    "bbsi",              // 21 ListProperties
    "bbsiii",            // 22 SetSelectionOwner
    "bbsi",              // 23 GetSelectionOwner
    "bbsiiiii",          // 24 ConvertSelection
    "bbsii",             // 25 SendEvent (the event by its own layout)
    "bbsisbbiii",        // 26 GrabPointer
    "bbsi",              // 27 UngrabPointer
    "bbsisbbiibbs",      // 28 GrabButton
    "bbsis",             // 29 UngrabButton
    "bbsiis",            // 30 ChangeActivePointerGrab
    "bbsiibb",           // 31 GrabKeyboard
    "bbsi",              // 32 UngrabKeyboard
    "bbsisbbb",          // 33 GrabKey
    "bbsis",             // 34 UngrabKey
    "bbsi",              // 35 AllowEvents
    "bbs",               // 36 GrabServer
    "bbs",               // 37 UngrabServer
    "bbsi",              // 38 QueryPointer
    "bbsiii",            // 39 GetMotionEvents
    "bbsiiss",           // 40 TranslateCoordinates
    "bbsiissssss",       // 41 WarpPointer
    "bbsii",             // 42 SetInputFocus
    "bbs",               // 43 GetInputFocus
    "bbs",               // 44 QueryKeymap
    "bbsis",             // 45 OpenFont
    "bbsi",              // 46 CloseFont
    "bbsi",              // 47 QueryFont
    "bbsiS",             // 48 QueryTextExtents
    "bbsss",             // 49 ListFonts
    "bbsss",             // 50 ListFontsWithInfo
    "bbss",              // 51 SetFontPath
    "bbs",               // 52 GetFontPath
    "bbsiiss",           // 53 CreatePixmap
    "bbsi",              // 54 FreePixmap
    "bbsiiiI",           // 55 CreateGC
    "bbsiiI",            // 56 ChangeGC
    "bbsiii",            // 57 CopyGC
    "bbsiss",            // 58 SetDashes
    "bbsissS",           // 59 SetClipRectangles
    "bbsi",              // 60 FreeGC
    "bbsissss",          // 61 ClearArea
    "bbsiiissssss",      // 62 CopyArea
    "bbsiiissssssi",     // 63 CopyPlane
    "bbsiiS",            // 64 PolyPoint
    "bbsiiS",            // 65 PolyLine
    "bbsiiS",            // 66 PolySegment
    "bbsiiS",            // 67 PolyRectangle
    "bbsiiS",            // 68 PolyArc
    "bbsiibbbbS",        // 69 FillPoly
    "bbsiiS",            // 70 PolyFillRectangle
    "bbsiiS",            // 71 PolyFillArc
    "bbsiissssbb",       // 72 PutImage
    "bbsissssi",         // 73 GetImage
    "bbsiiss",           // 74 PolyText8 (font ids in the items are always MSB first)
    "bbsiiss",           // 75 PolyText16
    "bbsiiss",           // 76 ImageText8
    "bbsiiss",           // 77 ImageText16
    "bbsiii",            // 78 CreateColormap
    "bbsi",              // 79 FreeColormap
    "bbsii",             // 80 CopyColormapAndFree
    "bbsi",              // 81 InstallColormap
    "bbsi",              // 82 UninstallColormap
    "bbsi",              // 83 ListInstalledColormaps
    "bbsisss",           // 84 AllocColor
    "bbsis",             // 85 AllocNamedColor
    "bbsiss",            // 86 AllocColorCells
    "bbsissss",          // 87 AllocColorPlanes
    "bbsiiI",            // 88 FreeColors
    "bbsi[isssbb]",      // 89 StoreColors
    "bbsiis",            // 90 StoreNamedColor
    "bbsiI",             // 91 QueryColors
    "bbsis",             // 92 LookupColor
    "bbsiiissssssss",    // 93 CreateCursor
    "bbsiiissssssss",    // 94 CreateGlyphCursor
    "bbsi",              // 95 FreeCursor
    "bbsissssss",        // 96 RecolorCursor
    "bbsiss",            // 97 QueryBestSize
    "bbss",              // 98 QueryExtension
    "bbs",               // 99 ListExtensions
    "bbsbbbbI",          // 100 ChangeKeyboardMapping
    "bbsbb",             // 101 GetKeyboardMapping
    "bbsiI",             // 102 ChangeKeyboardControl
    "bbs",               // 103 GetKeyboardControl
    "bbs",               // 104 Bell
    "bbssssbb",          // 105 ChangePointerControl
    "bbs",               // 106 GetPointerControl
    "bbsssbb",           // 107 SetScreenSaver
    "bbs",               // 108 GetScreenSaver
    "bbsbbs",            // 109 ChangeHosts
    "bbs",               // 110 ListHosts
    "bbs",               // 111 SetAccessControl
    "bbs",               // 112 SetCloseDownMode
    "bbsi",              // 113 KillClient
    "bbsissI",           // 114 RotateProperties
    "bbs",               // 115 ForceScreenSaver
    "bbs",               // 116 SetPointerMapping
    "bbs",               // 117 GetPointerMapping
    "bbs",               // 118 SetModifierMapping
    "bbs",               // 119 GetModifierMapping
    "bbs", "bbs", "bbs", "bbs", "bbs", "bbs", "bbs",  // 120-126 (invalid)
    "bbs",               // 127 NoOperation
};

// Replies; "" for a request that has none. GetProperty and GetImage carry
// data whose unit only the handler knows (format, image depth).
const LayoutString coreReplyLayouts[128] = {
    "", "", "",
    "bbsiisbbiibbbbiiiss",  // 3 GetWindowAttributes
    "", "", "", "", "", "", "", "", "", "",
    "bbsiisssss",           // 14 GetGeometry
    "bbsiiissiiiI",         // 15 QueryTree
    "bbsii",                // 16 InternAtom
    "bbsis",                // 17 GetAtomName
    "", "",
    "bbsiiii",              // 20 GetProperty
    "bbsissiiiiiI",         // 21 ListProperties
    "",
    "bbsii",                // 23 GetSelectionOwner
    "", "",
    "bbsi",                 // 26 GrabPointer
    "", "", "", "",
    "bbsi",                 // 31 GrabKeyboard
    "", "", "", "", "", "",
    "bbsiiisssss",          // 38 QueryPointer
    "bbsiiiiiii[iss]",      // 39 GetMotionEvents
    "bbsiiss",              // 40 TranslateCoordinates
    "", "",
    "bbsii",                // 43 GetInputFocus
    "bbsi",                 // 44 QueryKeymap
    "", "",
    "H36",                  // 47 QueryFont
    "bbsissssiii",          // 48 QueryTextExtents
    "bbsis",                // 49 ListFonts
    "H35",                  // 50 ListFontsWithInfo
    "",
    "bbsis",                // 52 GetFontPath
    "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
    "bbsii",                // 73 GetImage
    "", "", "", "", "", "", "", "", "",
    "bbsissiiiiiI",         // 83 ListInstalledColormaps
    "bbsissssi",            // 84 AllocColor
    "bbsiissssss",          // 85 AllocNamedColor
    "bbsissiiiiiI",         // 86 AllocColorCells
    "bbsissiiiiiI",         // 87 AllocColorPlanes
    "", "", "",
    "bbsissiiiiiS",         // 91 QueryColors
    "bbsissssss",           // 92 LookupColor
    "", "", "", "",
    "bbsiss",               // 97 QueryBestSize
    "bbsibbbb",             // 98 QueryExtension
    "bbsi",                 // 99 ListExtensions
    "",
    "bbsiI",                // 101 GetKeyboardMapping
    "",
    "bbsiibbss",            // 103 GetKeyboardControl
    "", "",
    "bbsisss",              // 106 GetPointerControl
    "",
    "bbsissbb",             // 108 GetScreenSaver
    "",
    "H34",                  // 110 ListHosts
    "", "", "", "", "",
    "bbsi",                 // 116 SetPointerMapping
    "bbsi",                 // 117 GetPointerMapping
    "bbsi",                 // 118 SetModifierMapping
    "bbsi",                 // 119 GetModifierMapping
    "", "", "", "", "", "", "", "",
};

const LayoutString coreEventLayouts[35] = {
    "", "",                                                // 0, 1: error, reply
    "bbsiiiisssss", "bbsiiiisssss", "bbsiiiisssss",        // 2-4 KeyPress ... ButtonPress
    "bbsiiiisssss", "bbsiiiisssss", "bbsiiiisssss",        // 5-7 ButtonRelease ... EnterNotify
    "bbsiiiisssss",                                        // 8 LeaveNotify
    "bbsi", "bbsi",                                        // 9, 10 FocusIn, FocusOut
    "",                                                    // 11 KeymapNotify (no sequence)
    "bbsisssss",                                           // 12 Expose
    "bbsissssss",                                          // 13 GraphicsExpose
    "bbsis",                                               // 14 NoExpose
    "bbsi",                                                // 15 VisibilityNotify
    "bbsiisssss",                                          // 16 CreateNotify
    "bbsii", "bbsii", "bbsii", "bbsii",                    // 17-20
    "bbsiiiss",                                            // 21 ReparentNotify
    "bbsiiisssss",                                         // 22 ConfigureNotify
    "bbsiiissssss",                                        // 23 ConfigureRequest
    "bbsiiss",                                             // 24 GravityNotify
    "bbsiss",                                              // 25 ResizeRequest
    "bbsiii", "bbsiii", "bbsiii", "bbsiii",                // 26-29
    "bbsiiiiii",                                           // 30 SelectionRequest
    "bbsiiiii",                                            // 31 SelectionNotify
    "bbsii",                                               // 32 ColormapNotify
    "H2",                                                  // 33 ClientMessage
    "bbs",                                                 // 34 MappingNotify
};
// clang-format on

}  // namespace palvon
