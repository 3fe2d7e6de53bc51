// Rows of the graphics-context requests (opcodes 55 to 60).
#include <X11/Xproto.h>

#include "Proxy/rows.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_CreateGC, "CreateGC", nullptr, nullptr, "bbsiiiI", "", maskSize(16, 12, 4), Route::kEveryHead},
    {X_ChangeGC, "ChangeGC", nullptr, nullptr, "bbsiiI", "", maskSize(12, 8, 4), Route::kEveryHead},
    {X_CopyGC, "CopyGC", nullptr, nullptr, "bbsiii", "", exactSize(16), Route::kEveryHead},
    {X_SetDashes, "SetDashes", nullptr, nullptr, "bbsiss", "", countedSize(12, 10, 2, 8), Route::kEveryHead},
    {X_SetClipRectangles, "SetClipRectangles", nullptr, nullptr, "bbsissS", "", listSize(12, 8), Route::kEveryHead},
    {X_FreeGC, "FreeGC", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryHead},
};
// clang-format on

}  // namespace

const RowTable kGCRows = {kRows, rowCount(kRows)};

}  // namespace palvon
