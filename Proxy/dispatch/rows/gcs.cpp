// Rows of the graphics-context requests (opcodes 55 to 60).
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/resources/gc.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_CreateGC, "CreateGC", ProcCreateGC, nullptr, "bbsiiiI", "", maskSize(16, 12, 4), Route::kEveryHead},
    {X_ChangeGC, "ChangeGC", ProcChangeGC, nullptr, "bbsiiI", "", maskSize(12, 8, 4), Route::kEveryHead},
    {X_CopyGC, "CopyGC", ProcCopyGC, nullptr, "bbsiii", "", exactSize(16), Route::kEveryHead},
    {X_SetDashes, "SetDashes", ProcSetDashes, nullptr, "bbsiss", "", countedSize(12, 10, 2, 8), Route::kEveryHead},
    {X_SetClipRectangles, "SetClipRectangles", ProcSetClipRectangles, nullptr, "bbsissS", "", listSize(12, 8), Route::kEveryHead},
    {X_FreeGC, "FreeGC", ProcFreeGC, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
};
// clang-format on

}  // namespace

const RowTable kGCRows = {kRows, rowCount(kRows)};

}  // namespace palvon
