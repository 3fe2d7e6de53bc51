// Rows of the cursor requests, QueryBestSize and the extension queries
// (opcodes 93 to 99).
#include <X11/Xproto.h>

#include "Proxy/queries.h"
#include "Proxy/rows.h"
#include "Proxy/serverqueries.h"

namespace palvon {

namespace {

// clang-format off
constexpr RequestRow kRows[] = {
    {X_CreateCursor, "CreateCursor", nullptr, nullptr, "bbsiiissssssss", "", exactSize(32), Route::kEveryScreen},
    {X_CreateGlyphCursor, "CreateGlyphCursor", nullptr, nullptr, "bbsiiissssssss", "", exactSize(32), Route::kEveryScreen},
    {X_FreeCursor, "FreeCursor", nullptr, nullptr, "bbsi", "", exactSize(8), Route::kEveryScreen},
    {X_RecolorCursor, "RecolorCursor", nullptr, nullptr, "bbsissssss", "", exactSize(20), Route::kEveryScreen},
    {X_QueryBestSize, "QueryBestSize", ProcQueryBestSize, nullptr, "bbsiss", "bbsiss", exactSize(12), Route::kImageHead},
    {X_QueryExtension, "QueryExtension", ProcQueryExtension, nullptr, "bbss", "bbsibbbb", countedSize(8, 4, 2, 8), Route::kLocal},
    {X_ListExtensions, "ListExtensions", ProcListExtensions, nullptr, "bbs", "bbsi", exactSize(4), Route::kLocal},
};
// clang-format on

}  // namespace

const RowTable kCursorRows = {kRows, rowCount(kRows)};

}  // namespace palvon
