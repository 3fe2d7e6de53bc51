// Rows of the drawing requests (opcodes 61 to 71) and of the text drawing
// requests (74 to 77).
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/requests/drawing.h"
#include "Proxy/requests/textengine.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_ClearArea, "ClearArea", ProcClearArea, nullptr, "bbsissss", "", exactSize(16), Route::kEveryHead},
    {X_CopyArea, "CopyArea", ProcCopyArea, nullptr, "bbsiiissssss", "", exactSize(28), Route::kEveryHead},
    {X_CopyPlane, "CopyPlane", ProcCopyPlane, nullptr, "bbsiiissssssi", "", exactSize(32), Route::kEveryHead},
    {X_PolyPoint, "PolyPoint", ProcPolyPoint, nullptr, "bbsiiS", "", listSize(12, 4), Route::kEveryHead},
    {X_PolyLine, "PolyLine", ProcPolyLine, nullptr, "bbsiiS", "", listSize(12, 4), Route::kEveryHead},
    {X_PolySegment, "PolySegment", ProcPolySegment, nullptr, "bbsiiS", "", listSize(12, 8), Route::kEveryHead},
    {X_PolyRectangle, "PolyRectangle", ProcPolyRectangle, nullptr, "bbsiiS", "", listSize(12, 8), Route::kEveryHead},
    {X_PolyArc, "PolyArc", ProcPolyArc, nullptr, "bbsiiS", "", listSize(12, 12), Route::kEveryHead},
    {X_FillPoly, "FillPoly", ProcFillPoly, nullptr, "bbsiibbbbS", "", listSize(16, 4), Route::kEveryHead},
    {X_PolyFillRectangle, "PolyFillRectangle", ProcPolyFillRectangle, nullptr, "bbsiiS", "", listSize(12, 8), Route::kEveryHead},
    {X_PolyFillArc, "PolyFillArc", ProcPolyFillArc, nullptr, "bbsiiS", "", listSize(12, 12), Route::kEveryHead},
};

// Font ids inside PolyText items are most significant byte first whatever
// the client's order, and characters are bytes or byte pairs: the layouts
// stop before the items.
constexpr RequestRow kTexts[] = {
    {X_PolyText8, "PolyText8", ProcPolyText8, nullptr, "bbsiiss", "", atLeastSize(16), Route::kEveryHead},
    {X_PolyText16, "PolyText16", ProcPolyText16, nullptr, "bbsiiss", "", atLeastSize(16), Route::kEveryHead},
    {X_ImageText8, "ImageText8", ProcImageText8, nullptr, "bbsiiss", "", countedSize(16, 1, 1, 8), Route::kEveryHead},
    {X_ImageText16, "ImageText16", ProcImageText16, nullptr, "bbsiiss", "", countedSize(16, 1, 1, 16), Route::kEveryHead},
};
// clang-format on

}  // namespace

const RowTable kDrawingRows = {kRows, rowCount(kRows)};
const RowTable kTextRows = {kTexts, rowCount(kTexts)};

}  // namespace palvon
