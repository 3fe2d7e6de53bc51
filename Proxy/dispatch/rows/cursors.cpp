// Rows of the cursor requests, QueryBestSize and the extension queries
// (opcodes 93 to 99).
#include <X11/Xproto.h>

#include "Proxy/dispatch/rows.h"
#include "Proxy/requests/cursors.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_CreateCursor, "CreateCursor", ProcCreateCursor, nullptr, "bbsiiissssssss", "", exactSize(32), Route::kEveryScreen},
    {X_CreateGlyphCursor, "CreateGlyphCursor", ProcCreateGlyphCursor, nullptr, "bbsiiissssssss", "", exactSize(32), Route::kEveryScreen},
    {X_FreeCursor, "FreeCursor", ProcFreeCursor, nullptr, "bbsi", "", exactSize(8), Route::kEveryScreen},
    {X_RecolorCursor, "RecolorCursor", ProcRecolorCursor, nullptr, "bbsissssss", "", exactSize(20), Route::kEveryScreen},
    {X_QueryBestSize, "QueryBestSize", ProcQueryBestSize, ReplyQueryBestSize, "bbsiss", "bbsiss", exactSize(12), Route::kImageHead},
    {X_QueryExtension, "QueryExtension", ProcQueryExtension, ReplyQueryExtension, "bbss", "bbsibbbb", countedSize(8, 4, 2, 8), Route::kMainHead},
    {X_ListExtensions, "ListExtensions", ProcListExtensions, ReplyListExtensions, "bbs", "bbsi", exactSize(4), Route::kMainHead},
};
// clang-format on

}  // namespace

const RowTable kCursorRows = {kRows, rowCount(kRows)};

}  // namespace palvon
